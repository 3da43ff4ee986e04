#include "http2/client/kfxHTTP2_Client_Scheduler.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <vector>

#include "base/kfxBase_Helpers.h"
#include "rtl/MainThread.h"

namespace {

// Whether two request settings would put the same fields on the wire; with
// aOwnToo false, each request's own ID, method and URL are not compared.
bool SameRequest(const TkfxHTTP2Request& a, const TkfxHTTP2Request& b, bool aOwnToo = true) {
  if (a.CustomHeaders.Lines() != b.CustomHeaders.Lines() || a.HasCookies() != b.HasCookies()) return false;
  if (a.HasCookies() &&
      const_cast<TkfxHTTP2Request&>(a).Cookies().Lines() != const_cast<TkfxHTTP2Request&>(b).Cookies().Lines())
    return false;
  return a.Accept == b.Accept && a.AcceptCharSet == b.AcceptCharSet && a.AcceptEncoding == b.AcceptEncoding &&
         a.AcceptLanguage == b.AcceptLanguage && a.BasicAuthentication == b.BasicAuthentication &&
         a.BearerAuthentication == b.BearerAuthentication && a.BearerToken == b.BearerToken &&
         a.CacheControl == b.CacheControl && a.CharSet == b.CharSet && a.Connection == b.Connection &&
         a.ContentDisposition == b.ContentDisposition && a.ContentType == b.ContentType &&
         a.ContentVersion == b.ContentVersion && a.Date == b.Date && a.ETag == b.ETag && a.Expires == b.Expires &&
         a.From == b.From && a.Host == b.Host && a.LastModified == b.LastModified && a.Referer == b.Referer &&
         a.TransferEncoding == b.TransferEncoding && a.UserAgent == b.UserAgent && a.Password == b.Password &&
         a.Username == b.Username && a.Redirect == b.Redirect &&
         (!aOwnToo || (a.ID == b.ID && a.Method == b.Method && a.URL == b.URL));
}

// What the request thread sends for one item, copied out of it while it is
// moved to the pending queue (an answer may free the item meanwhile). The
// objects are kept from batch to batch: the request settings are copied
// again only when the item's settings differ from the last ones.
struct TQueuedSend {
  TkfxHTTP2_RequestKey Key;
  Th2Methods Method = Th2Methods::h2meGet;
  std::shared_ptr<const std::string> URL;
  std::string Path;
  bool HasBody = false;
  TMemoryStream Body;
  TkfxHTTP2Request Request;
  std::shared_ptr<const TkfxHTTP2Request> Settings;  // the item's
  std::shared_ptr<const TkfxHTTP2Request> From;      // the settings Request holds
};

// The text of a failure to send, never empty.
std::string FailureText(const std::exception_ptr& aFailure) {
  std::string text;
  try {
    std::rethrow_exception(aFailure);
  } catch (Exception& E) {
    text = E.Message();
  } catch (const std::exception& E) {
    text = E.what();
  }
  return text.empty() ? std::string("The request could not be sent.") : text;
}

}  // namespace

struct TkfxHTTP2_Scheduler::TRun {
  std::vector<std::unique_ptr<TQueuedSend>> Sends;
  std::vector<TkfxHTTP2NoWaitRequest> Batch;
  std::vector<TQueuedSend*> Order;  // the item of each batch entry
  // Queued items mostly share one URL: it is split once.
  std::shared_ptr<const std::string> SplitURL;
  std::string SplitPath;
  std::string SplitProtocol, SplitHost;  // kept for their storage
  // The settings the last sends shared with their streams (all but each
  // request's own ID, method and URL), made again when they differ.
  std::shared_ptr<const TkfxHTTP2Request> Shared;
};

TkfxHTTP2_Scheduler::TkfxHTTP2_Scheduler(THost aHost)
    : FHost(std::move(aHost)),
      // Only the pending queue is searched by ID (answers find their item).
      FRequests(std::make_unique<TkfxHTTP2_Requests>(false)),
      FRequestsPending(std::make_unique<TkfxHTTP2_Requests>()) {}

TkfxHTTP2_Scheduler::~TkfxHTTP2_Scheduler() {
  FRequests->Clear();
  FRequestsPending->Clear();
}

// --- the queues ---

void TkfxHTTP2_Scheduler::Queue(Th2Methods aMethod, const std::string& aURL, TStream* aSource,
                                const TkfxHTTP2Request& aSettings) {
  std::lock_guard guard(FQueueLock);
  if (!FLastSettings || !SameRequest(*FLastSettings, aSettings)) {
    auto settings = std::make_shared<TkfxHTTP2Request>();
    settings->Assign(&aSettings);
    FLastSettings = std::move(settings);
  }
  if (!FLastURL || *FLastURL != aURL) FLastURL = std::make_shared<const std::string>(aURL);
  FRequests->Append(TkfxHTTP2_Request::Create(aMethod, FLastURL, FLastSettings, aSource));
  FQueueChanged.notify_all();
}

void TkfxHTTP2_Scheduler::Wake() {
  { std::lock_guard guard(FQueueLock); }
  FQueueChanged.notify_all();
}

void TkfxHTTP2_Scheduler::SetSendBlocked(bool aValue) {
  std::lock_guard guard(FQueueLock);
  FSendBlocked = aValue;
}

bool TkfxHTTP2_Scheduler::Any() {
  std::lock_guard guard(FQueueLock);
  return !FRequests->Empty() || !FRequestsPending->Empty();
}

std::deque<TkfxHTTP2_RequestPtr> TkfxHTTP2_Scheduler::Requeue(int aMaxRetries) {
  std::deque<TkfxHTTP2_RequestPtr> failed;
  std::lock_guard guard(FQueueLock);
  std::deque<TkfxHTTP2_RequestPtr> pending = FRequestsPending->TakeAll();
  // The items themselves go back, ahead of those not sent yet: a re-queued
  // item replaces its pending original.
  for (auto at = pending.rbegin(); at != pending.rend(); ++at) {
    TkfxHTTP2_RequestPtr& item = *at;
    item->SetNumReq(item->NumReq() + 1);
    if (item->NumReq() >= aMaxRetries)
      failed.push_front(std::move(item));
    else
      FRequests->Prepend(std::move(item));
  }
  return failed;
}

std::deque<TkfxHTTP2_RequestPtr> TkfxHTTP2_Scheduler::TakeAll(bool aQueuedToo) {
  std::lock_guard guard(FQueueLock);
  std::deque<TkfxHTTP2_RequestPtr> items = FRequestsPending->TakeAll();
  if (aQueuedToo)
    for (auto& item : FRequests->TakeAll()) items.push_back(std::move(item));
  return items;
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Scheduler::Answered(const std::string& aID) {
  std::lock_guard guard(FQueueLock);
  TkfxHTTP2_RequestPtr item = FRequestsPending->Take(aID);
  // A stream slot is free again.
  FQueueChanged.notify_all();
  return item;
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Scheduler::StreamFailed(const std::string& aID, bool aRetry, bool aEnding,
                                                       std::string& aReason) {
  std::lock_guard guard(FQueueLock);
  if (!aRetry && aEnding) return nullptr;  // stays pending for the next connection
  TkfxHTTP2_RequestPtr item = FRequestsPending->Take(aID);
  if (!item) return nullptr;
  if (aRetry) {
    // Not processed by the server: safe to send again.
    item->SetNumRefused(item->NumRefused() + 1);
    if (item->NumRefused() <= MaxRefusedRetries) {
      FRequests->Prepend(std::move(item));
      FQueueChanged.notify_all();
      return nullptr;
    }
    aReason = "The request was refused by the server.";
  } else {
    aReason = "The stream of the request was reset.";
  }
  return item;
}

void TkfxHTTP2_Scheduler::AddPending(TkfxHTTP2_RequestPtr aItem) {
  std::lock_guard guard(FQueueLock);
  FRequestsPending->Append(std::move(aItem));
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Scheduler::TakePending(const std::string& aID) {
  std::lock_guard guard(FQueueLock);
  return FRequestsPending->Take(aID);
}

// --- the thread ---

void TkfxHTTP2_Scheduler::StartThread(const std::function<TThread*()>& aMake) {
  std::lock_guard guard(FThreadLock);
  if (!FThread) FThread = aMake();
}

void TkfxHTTP2_Scheduler::StopThread() {
  TThread* thread;
  {
    std::lock_guard guard(FThreadLock);
    thread = FThread;
    FThread = nullptr;
  }
  if (!thread) return;
  if (thread->IsCallingThread()) {
    thread->Terminate();
    thread->SetFreeOnTerminate(true);
    return;
  }
  thread->Terminate();
  Wake();
  thread->Free();
}

void TkfxHTTP2_Scheduler::Run(TThread& aThread) {
  // Items are taken in batches of at most this many, and never more than
  // the connection has free streams.
  constexpr int32_t kMaxBatch = 128;
  TRun run;
  while (!aThread.Terminated()) {
    TkfxHTTP2ConnectionClientRef connection = FHost.Connection();
    int32_t limit = 1;
    if (connection && connection->SettingsReceived())
      limit = std::clamp(connection->PeerMaxConcurrentStreams() - connection->OpenStreams(), 1, kMaxBatch);
    size_t count = 0;
    {
      std::unique_lock lock(FQueueLock);
      // Woken by a new item, a new connection, a free slot or the end;
      // the bound only guards against a lost wake-up.
      FQueueChanged.wait_for(lock, std::chrono::milliseconds(500), [&] {
        return aThread.Terminated() || (!FSendBlocked && FRequests->GetRequest() != nullptr);
      });
      if (aThread.Terminated()) break;
      if (FSendBlocked || !FRequests->GetRequest()) continue;
      if (!connection || connection->WaitDisconnect()) {
        if (!connection || FHost.IsLive(connection.get())) FSendBlocked = true;
        continue;
      }
      count = TakeBatch(run, static_cast<size_t>(limit));
    }
    // A token connection starts with one stream; the server's SETTINGS say
    // how many it takes, so the first requests wait for them briefly.
    if (!connection->SettingsReceived())
      WaitServingMainThread([&] { return connection->SettingsReceived() || connection->WaitDisconnect() ||
                                         aThread.Terminated(); },
                            2000);
    SendBatch(run, connection, count);
  }
}

size_t TkfxHTTP2_Scheduler::TakeBatch(TRun& aRun, size_t aLimit) {
  size_t count = 0;
  for (; count < aLimit; ++count) {
    TkfxHTTP2_RequestPtr taken = FRequests->TakeFirst();
    if (!taken) break;
    if (aRun.Sends.size() <= count) aRun.Sends.push_back(std::make_unique<TQueuedSend>());
    TQueuedSend& send = *aRun.Sends[count];
    send.Key = taken->Key();
    send.Method = taken->Method();
    send.URL = taken->SharedURL();
    send.HasBody = taken->HasBody();
    if (send.HasBody) {
      const std::span<const uint8_t> bytes = taken->Body();
      send.Body.SetSize(0);
      if (!bytes.empty()) send.Body.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
      send.Body.SetPosition(0);
    }
    send.Settings = taken->SharedRequest();
    // Pending before it is sent, so an answer however fast finds it.
    FRequestsPending->Append(std::move(taken));
  }
  return count;
}

void TkfxHTTP2_Scheduler::Fail(const TkfxHTTP2ConnectionClientRef& aConnection, const TkfxHTTP2_RequestKey& aKey,
                               const std::string& aReason) {
  TkfxHTTP2_RequestPtr item;
  {
    std::lock_guard guard(FQueueLock);
    item = FRequestsPending->Take(aKey);
  }
  if (item) FHost.Failed(aConnection, std::move(item), aReason);
}

void TkfxHTTP2_Scheduler::SendBatch(TRun& aRun, const TkfxHTTP2ConnectionClientRef& aConnection, size_t aCount) {
  // Each item gets its token line, ID and host; one that cannot ends here.
  aRun.Batch.clear();
  aRun.Order.clear();
  for (size_t i = 0; i < aCount; ++i) {
    TQueuedSend& send = *aRun.Sends[i];
    // The settings are copied without the queue lock: the shared copy
    // is read-only.
    static const TkfxHTTP2Request kNoSettings;
    const TkfxHTTP2Request& settings = send.Settings ? *send.Settings : kNoSettings;
    if (!send.Settings || send.From != send.Settings) {
      send.From = send.Settings;
      send.Request.Assign(&settings);
    } else {
      // The token line of the last send goes; the settings' own lines stay.
      send.Request.CustomHeaders.Assign(&settings.CustomHeaders);
    }
    send.Settings.reset();
    std::exception_ptr failure;
    try {
      if (!send.URL) throw Exception("The request has no URL.");
      if (send.URL != aRun.SplitURL && (!aRun.SplitURL || *send.URL != *aRun.SplitURL)) {
        // Split into texts that keep their storage: with a URL per device
        // every item is split.
        int port = 443;
        aRun.SplitURL.reset();
        if (!SplitHTTP2URL(*send.URL, aRun.SplitProtocol, aRun.SplitHost, port, aRun.SplitPath))
          throw Exception("The URL has no host: " + *send.URL);
      }
      aRun.SplitURL = send.URL;
      send.Path = aRun.SplitPath;
      FHost.Prepare(send.Request);
      send.Key.TextTo(send.Request.ID);
    } catch (const Exception&) {
      failure = std::current_exception();
    } catch (const std::exception&) {
      failure = std::current_exception();
    }
    if (failure) {
      Fail(aConnection, send.Key, FailureText(failure));
      continue;
    }
    const bool body = send.Method == Th2Methods::h2mePost || send.Method == Th2Methods::h2mePut ||
                      send.Method == Th2Methods::h2mePatch;
    // Compared field by field: cheaper than the copy each stream would
    // otherwise keep.
    if (!aRun.Shared || !SameRequest(*aRun.Shared, send.Request, false)) {
      auto shared = std::make_shared<TkfxHTTP2Request>();
      shared->Assign(&send.Request);
      aRun.Shared = std::move(shared);
    }
    TkfxHTTP2NoWaitRequest entry;
    entry.Method = send.Method;
    entry.Path = &send.Path;
    entry.Source = body && send.HasBody ? &send.Body : nullptr;
    entry.Request = &send.Request;
    entry.Shared = aRun.Shared;
    aRun.Batch.push_back(entry);
    aRun.Order.push_back(&send);
  }
  std::vector<TkfxHTTP2NoWaitRequest>& batch = aRun.Batch;
  size_t sent = 0;
  std::exception_ptr failure;
  try {
    sent = static_cast<size_t>(aConnection->SendRequestsNoWait(batch));
  } catch (const Exception&) {
    failure = std::current_exception();
  } catch (const std::exception&) {
    failure = std::current_exception();
  }
  while (sent < batch.size() && batch[sent].StreamIdentifier != 0) ++sent;
  size_t next = sent;
  if (failure && next < batch.size()) {
    // The item the send broke off at ends; the others are tried again.
    Fail(aConnection, aRun.Order[next]->Key, FailureText(failure));
    ++next;
  }
  if (next == batch.size()) return;
  // Not sent: back to the front, in their order. A connection that ends
  // or got a GOAWAY takes nothing more; the next one sends them.
  std::lock_guard guard(FQueueLock);
  for (size_t i = batch.size(); i > next; --i)
    if (TkfxHTTP2_RequestPtr item = FRequestsPending->Take(aRun.Order[i - 1]->Key)) FRequests->Prepend(std::move(item));
  if ((aConnection->WaitDisconnect() || FHost.GoneAway(aConnection.get())) && FHost.IsLive(aConnection.get()))
    FSendBlocked = true;
}
