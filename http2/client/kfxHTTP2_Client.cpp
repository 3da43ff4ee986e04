#include "http2/client/kfxHTTP2_Client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

#include "base/IdException.h"
#include "base/kfxBase_Helpers.h"
#include "base/kfxWebSocket_Helpers.h"
#include "rtl/MainThread.h"

namespace {

TIdBytes ReadRest(TStream& aStream) {
  const int64_t size = aStream.Size() - aStream.Position();
  TIdBytes bytes(static_cast<size_t>(size > 0 ? size : 0));
  if (!bytes.empty()) aStream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  return bytes;
}

bool IsAuthorizationLine(const std::string& aLine) {
  const auto colon = aLine.find(':');
  return colon != std::string::npos && SameText(Trim(aLine.substr(0, colon)), "authorization");
}

// Whether two request settings would put the same fields on the wire.
bool SameRequest(const TkfxHTTP2Request& a, const TkfxHTTP2Request& b) {
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
         a.TransferEncoding == b.TransferEncoding && a.UserAgent == b.UserAgent && a.ID == b.ID &&
         a.Method == b.Method && a.Password == b.Password && a.URL == b.URL && a.Username == b.Username &&
         a.Redirect == b.Redirect;
}

// The reason of an APNs-style JSON answer body, {"reason":"..."}.
std::string ReasonOf(const std::string& aBody) {
  const auto key = aBody.find("\"reason\"");
  if (key == std::string::npos) return "";
  const auto open = aBody.find('"', aBody.find(':', key));
  if (open == std::string::npos) return "";
  const auto close = aBody.find('"', open + 1);
  return close == std::string::npos ? "" : aBody.substr(open + 1, close - open - 1);
}

// The token of the request's "authorization" line ("Bearer <token>"); empty
// when it has none.
std::string BearerTokenOf(const TStringList& aLines) {
  for (int i = aLines.Count() - 1; i >= 0; --i) {
    const std::string& line = aLines[i];
    if (!IsAuthorizationLine(line)) continue;
    const std::string value = Trim(line.substr(line.find(':') + 1));
    const auto space = value.find(' ');
    return space == std::string::npos ? std::string() : Trim(value.substr(space + 1));
  }
  return "";
}

int64_t SteadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string PathOf(const std::string& aURL) {
  std::string protocol, host, path;
  int port = 443;
  try {
    if (SplitHTTP2URL(aURL, protocol, host, port, path)) return path;
  } catch (const Exception&) {
  }
  return aURL;
}

}  // namespace

// --- authentication options ---

void TkfxHTTP2_Authentication_Token::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxHTTP2_Authentication_Token*>(Source);
  if (!other) return TPersistent::Assign(Source);
  SetJWT(other->FJWT);
  SetOAuth(other->FOAuth);
  FReadTimeout = other->FReadTimeout;
}

void TkfxHTTP2_Authentication_Token::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishField("ReadTimeout", FReadTimeout));
}

void TkfxHTTP2_Authentication_Token::Hand(TkfxHTTPComponentClientAuthToken_Base* aOld, bool& aEventsBound,
                                          TkfxHTTPComponentClientAuthToken_Base* aNew) {
  if (aOld && aEventsBound) {
    aOld->OnAuthToken = nullptr;
    aOld->OnAuthTokenError = nullptr;
  }
  aEventsBound = false;
  if (aOld && FClient) aOld->RemoveFreeNotification(FClient);
  if (aNew && FClient) aNew->FreeNotification(FClient);
}

void TkfxHTTP2_Authentication_Token::SetJWT(TkfxHTTPComponentClient_JWT* aValue) {
  if (aValue == FJWT) return;
  Hand(FJWT, FJWTEventsBound, aValue);
  FJWT = aValue;
}

void TkfxHTTP2_Authentication_Token::BindJWTEvents(TkfxOnAuthToken aOnAuthToken,
                                                   TkfxOnAuthTokenError aOnAuthTokenError) {
  if (!FJWT) return;
  FJWT->OnAuthToken = std::move(aOnAuthToken);
  FJWT->OnAuthTokenError = std::move(aOnAuthTokenError);
  FJWTEventsBound = true;
}

void TkfxHTTP2_Authentication_Token::JWTDestroyed() {
  FJWTEventsBound = false;
  SetJWT(nullptr);
}

void TkfxHTTP2_Authentication_Token::SetOAuth(TkfxHTTPComponentClient_OAuth* aValue) {
  if (aValue == FOAuth) return;
  Hand(FOAuth, FOAuthEventsBound, aValue);
  FOAuth = aValue;
}

void TkfxHTTP2_Authentication_Token::BindOAuthEvents(TkfxOnAuthToken aOnAuthToken,
                                                     TkfxOnAuthTokenError aOnAuthTokenError) {
  if (!FOAuth || FOAuthEventsBound) return;
  FOAuth->OnAuthToken = std::move(aOnAuthToken);
  FOAuth->OnAuthTokenError = std::move(aOnAuthTokenError);
  FOAuthEventsBound = true;
}

void TkfxHTTP2_Authentication_Token::OAuthDestroyed() {
  FOAuthEventsBound = false;
  SetOAuth(nullptr);
}

void TkfxHTTP2_Authentication_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxHTTP2_Authentication_Options*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FToken->Assign(other->FToken.get());
}

void TkfxHTTP2_Authentication_Options::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishObject("Token", [this] { return FToken.get(); }));
}

// --- queued requests ---

TkfxHTTP2_RequestKey TkfxHTTP2_RequestKey::New() {
  thread_local std::mt19937_64 random{std::random_device{}() ^
                                      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
  TkfxHTTP2_RequestKey key;
  key.Hi = random();
  key.Lo = random();
  return key;
}

bool TkfxHTTP2_RequestKey::Parse(const std::string& aID, TkfxHTTP2_RequestKey& aKey) {
  if (aID.size() != 32) return false;
  uint64_t half[2] = {};
  for (size_t i = 0; i < 32; ++i) {
    const char c = aID[i];
    uint64_t digit;
    if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
    else if (c >= 'A' && c <= 'F') digit = static_cast<uint64_t>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
    else return false;
    half[i / 16] = half[i / 16] << 4 | digit;
  }
  aKey.Hi = half[0];
  aKey.Lo = half[1];
  return true;
}

void TkfxHTTP2_RequestKey::TextTo(std::string& aOut) const {
  static const char kDigits[] = "0123456789ABCDEF";
  aOut.resize(32);
  for (int i = 0; i < 16; ++i) {
    aOut[static_cast<size_t>(i)] = kDigits[(Hi >> (60 - 4 * i)) & 0xF];
    aOut[static_cast<size_t>(16 + i)] = kDigits[(Lo >> (60 - 4 * i)) & 0xF];
  }
}

std::string TkfxHTTP2_RequestKey::Text() const {
  std::string text;
  TextTo(text);
  return text;
}

std::unique_ptr<TkfxHTTP2_Request> TkfxHTTP2_Request::Create(Th2Methods aMethod,
                                                             std::shared_ptr<const std::string> aURL,
                                                             std::shared_ptr<const TkfxHTTP2Request> aRequest,
                                                             bool aHasBody, std::span<const uint8_t> aBody) {
  if (aBody.size() > UINT32_MAX) throw Exception("The request body is too large to queue.");
  // One allocation: the item, its body right behind it.
  void* memory = ::operator new(sizeof(TkfxHTTP2_Request) + aBody.size());
  std::unique_ptr<TkfxHTTP2_Request> item(::new (memory) TkfxHTTP2_Request());
  item->FKey = TkfxHTTP2_RequestKey::New();
  item->FMethod = aMethod;
  item->FURL = std::move(aURL);
  item->FRequest = std::move(aRequest);
  item->FHasBody = aHasBody;
  item->FBodySize = static_cast<uint32_t>(aBody.size());
  if (!aBody.empty()) std::memcpy(item->BodyData(), aBody.data(), aBody.size());
  return item;
}

std::unique_ptr<TkfxHTTP2_Request> TkfxHTTP2_Request::Create(Th2Methods aMethod,
                                                             std::shared_ptr<const std::string> aURL,
                                                             std::shared_ptr<const TkfxHTTP2Request> aRequest,
                                                             TStream* aSource) {
  if (!aSource) return Create(aMethod, std::move(aURL), std::move(aRequest), false, {});
  const int64_t size = aSource->Size();
  if (size < 0 || static_cast<uint64_t>(size) > UINT32_MAX) throw Exception("The request body is too large to queue.");
  void* memory = ::operator new(sizeof(TkfxHTTP2_Request) + static_cast<size_t>(size));
  std::unique_ptr<TkfxHTTP2_Request> item(::new (memory) TkfxHTTP2_Request());
  item->FKey = TkfxHTTP2_RequestKey::New();
  item->FMethod = aMethod;
  item->FURL = std::move(aURL);
  item->FRequest = std::move(aRequest);
  item->FHasBody = true;
  item->FBodySize = static_cast<uint32_t>(size);
  const int64_t position = aSource->Position();
  aSource->SetPosition(0);
  if (size > 0) aSource->ReadBuffer(item->BodyData(), size);
  aSource->SetPosition(position);
  return item;
}

const TkfxHTTP2Request& TkfxHTTP2_Request::Request() const {
  static const TkfxHTTP2Request kEmpty;
  return FRequest ? *FRequest : kEmpty;
}

const std::string& TkfxHTTP2_Request::URL() const {
  static const std::string kEmpty;
  return FURL ? *FURL : kEmpty;
}

TkfxHTTP2_Requests::~TkfxHTTP2_Requests() { Clear(); }

TkfxHTTP2_Request* TkfxHTTP2_Requests::FindLocked(const TkfxHTTP2_RequestKey& aKey) {
  if (FIndexed) {
    auto at = FIndex.find(aKey);
    return at == FIndex.end() ? nullptr : *at;
  }
  for (TkfxHTTP2_Request* item = FFirst; item; item = item->FNext)
    if (item->FKey == aKey) return item;
  return nullptr;
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Requests::Unlink(TkfxHTTP2_Request* aItem) {
  (aItem->FPrev ? aItem->FPrev->FNext : FFirst) = aItem->FNext;
  (aItem->FNext ? aItem->FNext->FPrev : FLast) = aItem->FPrev;
  aItem->FPrev = aItem->FNext = nullptr;
  --FCount;
  if (FIndexed) FIndex.erase(aItem);
  return TkfxHTTP2_RequestPtr(aItem);
}

TkfxHTTP2_Request* TkfxHTTP2_Requests::GetRequest() {
  std::lock_guard guard(FLock);
  return FEnabled.load() ? FFirst : nullptr;
}

TkfxHTTP2_Request* TkfxHTTP2_Requests::Find(const std::string& aID) {
  TkfxHTTP2_RequestKey key;
  if (!TkfxHTTP2_RequestKey::Parse(aID, key)) return nullptr;
  std::lock_guard guard(FLock);
  return FindLocked(key);
}

void TkfxHTTP2_Requests::Append(TkfxHTTP2_RequestPtr aItem) {
  if (!aItem) return;
  std::lock_guard guard(FLock);
  if (FIndexed) FIndex.insert(aItem.get());
  TkfxHTTP2_Request* item = aItem.release();
  item->FPrev = FLast;
  item->FNext = nullptr;
  (FLast ? FLast->FNext : FFirst) = item;
  FLast = item;
  ++FCount;
}

void TkfxHTTP2_Requests::Prepend(TkfxHTTP2_RequestPtr aItem) {
  if (!aItem) return;
  std::lock_guard guard(FLock);
  if (FIndexed) FIndex.insert(aItem.get());
  TkfxHTTP2_Request* item = aItem.release();
  item->FPrev = nullptr;
  item->FNext = FFirst;
  (FFirst ? FFirst->FPrev : FLast) = item;
  FFirst = item;
  ++FCount;
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Requests::Take(const std::string& aID) {
  TkfxHTTP2_RequestKey key;
  if (!TkfxHTTP2_RequestKey::Parse(aID, key)) return nullptr;
  return Take(key);
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Requests::Take(const TkfxHTTP2_RequestKey& aKey) {
  std::lock_guard guard(FLock);
  TkfxHTTP2_Request* item = FindLocked(aKey);
  return item ? Unlink(item) : nullptr;
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Requests::TakeFirst() {
  std::lock_guard guard(FLock);
  return FFirst ? Unlink(FFirst) : nullptr;
}

std::deque<TkfxHTTP2_RequestPtr> TkfxHTTP2_Requests::TakeAll() {
  std::lock_guard guard(FLock);
  std::deque<TkfxHTTP2_RequestPtr> items;
  for (TkfxHTTP2_Request* item = FFirst; item;) {
    TkfxHTTP2_Request* next = item->FNext;
    item->FPrev = item->FNext = nullptr;
    items.emplace_back(item);
    item = next;
  }
  FFirst = FLast = nullptr;
  FCount = 0;
  FIndex.clear();
  return items;
}

int TkfxHTTP2_Requests::Count() {
  std::lock_guard guard(FLock);
  return static_cast<int>(FCount);
}

bool TkfxHTTP2_Requests::Empty() {
  std::lock_guard guard(FLock);
  return FCount == 0;
}

void TkfxHTTP2_Requests::Clear() {
  std::deque<TkfxHTTP2_RequestPtr> items = TakeAll();
  items.clear();
  TkfxQueue::Clear();
}

TkfxHTTP2_ThreadRequests::TkfxHTTP2_ThreadRequests(TkfxHTTP2CLient_Base* aClient, TkfxHTTP2_Requests* aRequests,
                                                   TkfxHTTP2_Requests* aRequestsPending)
    : TThread(false), FClient(aClient), FRequests(aRequests), FRequestsPending(aRequestsPending) {}

void TkfxHTTP2_ThreadRequests::Execute() {
  NameThreadForDebugging("HTTP2Requests");
  FClient->RunRequests(*this);
}

void TkfxHTTP2_ThreadRequests::TerminatedSet() { FClient->WakeRequests(); }

TkfxHTTP2_ThreadReconnect::TkfxHTTP2_ThreadReconnect(TkfxHTTP2CLient_Base* aClient)
    : TThread(false), FClient(aClient) {}

void TkfxHTTP2_ThreadReconnect::Execute() {
  NameThreadForDebugging("HTTP2Reconnect");
  FClient->RunDelayedConnects(*this);
}

void TkfxHTTP2_ThreadReconnect::TerminatedSet() {
  { std::lock_guard guard(FClient->FDelayLock); }
  FClient->FDelayChanged.notify_all();
}

// --- the client ---

TkfxHTTP2CLient_Base::TkfxHTTP2CLient_Base(TComponent* AOwner)
    : TkfxTCPCLient_Common(AOwner),
      // Only the pending queue is searched by ID (answers find their item).
      FRequests(std::make_unique<TkfxHTTP2_Requests>(false)),
      FRequestsPending(std::make_unique<TkfxHTTP2_Requests>()),
      FAuthentication(std::make_unique<TkfxHTTP2_Authentication_Options>(this)),
      FRequest(std::make_unique<TkfxHTTP2Request>()),
      FSettings(std::make_unique<TkfxHTTP2Settings>()),
      FAlive(std::make_shared<std::atomic<bool>>(true)) {
  // Every HTTP/2 write goes through the read thread's command queue; TLS
  // with ALPN "h2" and TLS 1.2.
  SetNotifyEvents(TwsNotifyEvent::neAsynchronous);
  SetTCPMode(TkfxTCPMode::tcpmCommands);
  FRequestsPending->OwnObjects = true;
  FTLS = true;
  if (FTLSOptions->ALPNProtocols().IndexOf("h2") < 0) FTLSOptions->ALPNProtocols().Add("h2");
  FTLSOptions->SetVersion(TwsTLSVersions::tls1_2);
}

void TkfxHTTP2CLient_Base::StopBeforeShutDown() {
  // No event from here on. The request thread goes first: it writes through
  // the transport client that ShutDown frees; a connection that is ending
  // releases it from any wait for a stream slot.
  FAlive->store(false);
  BeginDestroying();
  if (TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef()) connection->SetWaitDisconnect();
  StopRequestThread();
  StopReconnectThread();
}

void TkfxHTTP2CLient_Base::BeforeDestruction() {
  StopBeforeShutDown();
  TkfxTCPCLient_Common::BeforeDestruction();
}

TkfxHTTP2CLient_Base::~TkfxHTTP2CLient_Base() {
  StopBeforeShutDown();
  ShutDown();
  if (TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef()) {
    connection->OnCommand = nullptr;
    connection->OnConnect = nullptr;
    connection->OnGoAway = nullptr;
    connection->OnRSTStream = nullptr;
    connection->OnStreamResponse = nullptr;
    connection->OnStreamResponseFragment = nullptr;
    connection->OnPushPromise = nullptr;
    connection->OnBeforeRequest = nullptr;
    connection->OnStreamFailed = nullptr;
  }
  RemoveQueuedEvents(this);
  FAuthentication->Token().SetJWT(nullptr);
  FAuthentication->Token().SetOAuth(nullptr);
  FRequests->Clear();
  FRequestsPending->Clear();
}

TkfxHTTP2ConnectionClientRef TkfxHTTP2CLient_Base::HTTP2ConnectionRef() const {
  return std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRef());
}

TkfxHTTP2ConnectionClient* TkfxHTTP2CLient_Base::HTTP2Connection() const { return HTTP2ConnectionRef().get(); }

TkfxHTTP2Response* TkfxHTTP2CLient_Base::Response() {
  TkfxHTTP2ConnectionClient* connection = HTTP2Connection();
  return connection ? &connection->Response() : nullptr;
}

void TkfxHTTP2CLient_Base::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove) return;
  TkfxHTTP2_Authentication_Token& token = FAuthentication->Token();
  if (token.JWT() && static_cast<TComponent*>(token.JWT()) == AComponent) token.JWTDestroyed();
  if (token.OAuth() && static_cast<TComponent*>(token.OAuth()) == AComponent) token.OAuthDestroyed();
}

// --- connection management ---

std::string TkfxHTTP2CLient_Base::TLSIdentity() {
  const TkfxTCPTLS_Options& options = *FTLSOptions;
  return std::to_string(static_cast<int>(options.IOHandler())) + "\n" + options.CertFile() + "\n" +
         options.Password() + "\n" + options.KeyFile() + "\n" + (FTLS ? "1" : "0");
}

void TkfxHTTP2CLient_Base::CheckConnection(const std::string& aURL, bool aQueued) {
  std::string protocol, host, path;
  int port = 443;
  if (SplitHTTP2URL(aURL, protocol, host, port, path)) {
    const bool moved = host != FHost || port != FPort;
    if (moved) {
      // Requests sent to the old host are not sent to the new one.
      std::deque<TkfxHTTP2_RequestPtr> dropped;
      {
        std::lock_guard guard(FQueueLock);
        dropped = FRequestsPending->TakeAll();
      }
      FailItems(HTTP2ConnectionRef(), std::move(dropped), "The request was dropped: the client moved to another host.");
    }
    TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef();
    // Certificate and TLS settings take effect at an activation: changed
    // ones need a new connection.
    // The same goes for another token source or key: a server takes only
    // rare token changes on one connection.
    bool tlsChanged = false;
    bool tokenChanged = false;
    if (connection) {
      thread_local std::string identity;
      TokenSourceIdentityTo(identity);
      tokenChanged = FConnectedToken != identity;
      tlsChanged = tokenChanged || FConnectedTLS != TLSIdentity();
    }
    // A server or a token other than the one refused need not wait.
    if ((moved || tokenChanged) && FBackoffMs.load() != 0) {
      std::lock_guard guard(FBackoffLock);
      FBackoffMs = 0;
      FConnectNotBefore = 0;
    }
    if (!connection) {
      ConnectTo(host, port, aQueued);
    } else if (moved || tlsChanged) {
      if (Active()) {
        StopRequestThread();
        TkfxTCPCLient_Common::Disconnect(10000);
      }
      ConnectTo(host, port, aQueued);
    } else if (!Active()) {
      ConnectTo(host, port, aQueued);
    }
  }
  if (FRequest->Host != FHost) FRequest->Host = FHost;
}

void TkfxHTTP2CLient_Base::ConnectTo(const std::string& aHost, int aPort, bool aQueued) {
  // A queued connect may be running on the read thread, which reads these:
  // unchanged values are not written again.
  if (FHost != aHost) FHost = aHost;
  if (FPort != aPort) FPort = aPort;
  if (TCPMode() == TkfxTCPMode::tcpmCommands && aQueued)
    QueueConnect();
  else
    SetActive(true);
}

void TkfxHTTP2CLient_Base::QueueConnect(bool aAlways) {
  if (IsDestroying()) return;
  const int64_t now = SteadyMillis() | 1;
  // After a 429 TooManyProviderTokenUpdates the connect waits its turn.
  if (const int64_t notBefore = FConnectNotBefore.load(); now < notBefore) {
    DelayConnect(notBefore);
    return;
  }
  int64_t queued = FConnectQueuedAt.load();
  // A connect that never reported back (its thread ended first) holds
  // nothing up beyond its own time budget.
  const int64_t budget = int64_t{DefaultActivationTimeout()} + 2000;
  do {
    if (!aAlways && queued != 0 && now - queued < budget) return;
  } while (!FConnectQueuedAt.compare_exchange_weak(queued, now));
  try {
    AddCommand(TkfxTCPCommands::tcmActive);
  } catch (...) {
    ConnectDone();
    throw;
  }
}

void TkfxHTTP2CLient_Base::OnClientConnected(TObject* Sender) {
  TkfxTCPCLient_Common::OnClientConnected(Sender);
  ConnectDone();
  if (IsDestroying()) return;
  {
    // Connected by other means (a synchronous request): nothing to hold back.
    std::lock_guard guard(FDelayLock);
    FDelayedConnectAt = 0;
  }
  DoStopWatchDog();
  auto connection = std::make_shared<TkfxHTTP2ConnectionClient>();
  // The new connection may sit where an ended one was freed: its end has
  // not been handled, whatever the address says.
  FDisconnectHandled.store(nullptr);
  try {
    connection->SetTransport(TwsTransport::trpHTTP2);
    connection->OnBeforeDisconnect = [this](TObject* S) { OnConnectionBeforeDisconnect(S); };
    connection->OnConnect = [this](TObject*, TkfxHTTP2ConnectionClient* C) { OnConnectionConnectEvent(C); };
    connection->OnGoAway = [this](TObject*, TkfxHTTP2ConnectionClient* C, TkfxHTTP2GoAwayProperty* G) {
      OnConnectionGoAwayEvent(C, G);
    };
    connection->OnRSTStream = [this](TObject*, TkfxHTTP2ConnectionClient* C, TkfxHTTP2RSTStreamProperty* R) {
      OnConnectionRSTStreamEvent(C, R);
    };
    connection->OnStreamResponse = [this](TObject*, TkfxHTTP2ConnectionClient* C, TkfxHTTP2_StreamResponse* S) {
      OnConnectionStreamResponseEvent(C, S);
    };
    connection->OnStreamResponseFragment = [this](TObject*, TkfxHTTP2ConnectionClient* C,
                                                  TkfxHTTP2_StreamResponse* S, const TIdBytes& B) {
      OnConnectionStreamResponseFragmentEvent(C, S, B);
    };
    connection->OnPushPromise = [this](TObject*, TkfxHTTP2ConnectionClient* C, TkfxHTTP2_Frame_PushPromise* P,
                                       bool& Cancel) { OnConnectionPushPromiseEvent(C, P, Cancel); };
    connection->OnBeforeRequest = [this](TObject*, TkfxHTTP2ConnectionClient* C, TStringList* H) {
      OnConnectionBeforeRequestEvent(C, H);
    };
    connection->OnStreamFailed = [this](TObject*, TkfxHTTP2ConnectionClient* C, int32_t aStream,
                                        const std::string& aID, bool aRetry) {
      OnConnectionStreamFailedEvent(C, aStream, aID, aRetry);
    };
    if (TCPMode() == TkfxTCPMode::tcpmCommands)
      connection->OnCommand = [this](TObject*, TkfxHTTP2ConnectionClient* C, TkfxTCPCommands aCommand,
                                     const TIdBytes& aBytes) { OnConnectionCommandEvent(C, aCommand, aBytes); };
    connection->SetTLS(FTLS);
    connection->SetHost(FPort == 443 ? FHost : FHost + ":" + std::to_string(FPort));
    FGoAwayOn = nullptr;
    FConnectedTLS = TLSIdentity();
    FConnectedToken = TokenSourceIdentity();
    {
      std::lock_guard guard(FQueueLock);
      FSendBlocked = false;
    }
    {
      std::lock_guard guard(FLiveLock);
      FLive = connection.get();
    }
    SetConnectionSlot(connection);
    connection->DoHTTP2Initialize(TCPClient(), FSettings.get());
    DoRequeuePendingRequests();
    DoNotifyHTTP2Connect(connection);
    StartRequestThread();
    DoStartHeartBeat();
    FRequests->SetEnabled(true);
    WakeRequests();
  } catch (Exception& E) {
    DoException(connection.get(), E.Message(), &E);
  } catch (const std::exception& e) {
    Exception error(e.what());
    DoException(connection.get(), error.Message(), &error);
  }
}

bool TkfxHTTP2CLient_Base::IsLive(TkfxHTTP2ConnectionClient* aConnection) {
  std::lock_guard guard(FLiveLock);
  return aConnection && FLive == aConnection;
}

void TkfxHTTP2CLient_Base::OnConnectionCommandEvent(TkfxHTTP2ConnectionClient* Connection, TkfxTCPCommands Command,
                                                    const TIdBytes& Bytes) {
  // Octets of a connection that has ended never reach the next one: the
  // check and the queueing happen under the lock the end takes.
  std::lock_guard guard(FLiveLock);
  if (FLive != Connection || IsDestroying()) return;
  if (Command == TkfxTCPCommands::tcmWriteBytes)
    AddBytes(Bytes);
  else
    AddCommand(Command);
}

void TkfxHTTP2CLient_Base::DoNotifyDisconnect(TkfxTCPConnection* Connection) {
  if (!Connection) return;
  auto* h2 = dynamic_cast<TkfxHTTP2ConnectionClient*>(Connection);
  if (IsDestroying() || !h2 || ConnectionRef().get() != Connection ||
      FDisconnectHandled.exchange(Connection) == Connection) {
    TkfxTCPCLient_Common::DoNotifyDisconnect(Connection);
    return;
  }
  TkfxHTTP2ConnectionClientRef connection = std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection));
  FRequests->SetEnabled(false);
  {
    std::lock_guard guard(FLiveLock);
    if (FLive == h2) FLive = nullptr;
  }
  // Waiting callers stop at once; streams in flight stay pending.
  h2->SetWaitDisconnect();
  bool reconnect = false;
  StopRequestThread();
  DoStopHeartBeat();
  try {
    bool any;
    {
      std::lock_guard guard(FQueueLock);
      any = !FRequests->Empty() || !FRequestsPending->Empty();
    }
    FPendingRequestsReconnect = false;
    FPendingRequestsClear = true;
    if (any) {
      try {
        DoNotifyHTTP2PendingRequests(connection);
      } catch (...) {
        // A handler that failed has decided nothing: its requests are
        // dropped as by default, each with its own outcome, instead of
        // waiting in queues that no connection serves any more.
        FPendingRequestsReconnect = false;
        FPendingRequestsClear = true;
        ReportHandlerFailure(std::current_exception());
      }
    }
    if (any && FPendingRequestsClear) {
      std::deque<TkfxHTTP2_RequestPtr> dropped;
      {
        std::lock_guard guard(FQueueLock);
        dropped = FRequestsPending->TakeAll();
        for (auto& item : FRequests->TakeAll()) dropped.push_back(std::move(item));
      }
      FailItems(connection, std::move(dropped), "The request was dropped: the connection ended.");
    }
    reconnect = any && FPendingRequestsReconnect;
    DoNotifyHTTP2Disconnect(connection);
  } catch (...) {
    // Handlers' failures are reported where they are raised; what is left
    // (no memory for a notification record) must not keep the end of the
    // connection from being handled below.
  }
  TkfxTCPCLient_Common::DoNotifyDisconnect(Connection);
  // Queued only once the ended connection has left its slot: a connect
  // command that ran before would find it there and connect nothing.
  if (reconnect) {
    try {
      QueueConnect(true);
    } catch (...) {
    }
  }
  if (FWatchDogEnabled && (FWatchDog->Attempts() == 0 || FWatchDogAttempts < FWatchDog->Attempts()))
    DoStartWatchDog();
}

void TkfxHTTP2CLient_Base::DoException(TkfxTCPConnection* Connection, const std::string& aMessage, Exception* E) {
  if (IsDestroying()) return;
  auto* h2 = dynamic_cast<TkfxHTTP2ConnectionClient*>(Connection);
  if (!h2) {
    // A failed connect: reported at once on this thread. The next request
    // may try again.
    ConnectDone();
    try {
      DoEventHTTP2Exception(nullptr, aMessage, E);
    } catch (...) {
    }
    return;
  }
  TkfxHTTP2ConnectionClientRef connection = std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(h2));
  h2->SetMsgException(aMessage);
  DoNotifyHTTP2Exception(connection, aMessage, E);
  // The socket belongs to the read thread: elsewhere the close is queued.
  if (OnOwnerThread()) {
    h2->DoAfterException();
    // A socket that failed underneath may report no close of its own: the
    // end of the connection is handled here then (once, whoever comes first).
    if (ConnectionRef().get() == h2) DoNotifyDisconnect(h2);
  } else if (IsLive(h2))
    AddCommand(TkfxTCPCommands::tcmNotActive);
}

void TkfxHTTP2CLient_Base::DoCommandExecuted(TkfxTCPCommands aCommand) {
  if (aCommand == TkfxTCPCommands::tcmActive) {
    ConnectDone();
    if (HTTP2ConnectionRef()) FRequests->SetEnabled(true);
    WakeRequests();
  } else if (aCommand == TkfxTCPCommands::tcmNotActive) {
    FRequests->SetEnabled(false);
  }
}

void TkfxHTTP2CLient_Base::OnHeartBeatTimer(TObject*) {
  TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef();
  if (!connection || connection->Disconnected()) return;
  try {
    connection->Ping();
  } catch (Exception& E) {
    DoException(connection.get(), E.Message(), &E);
  }
}

void TkfxHTTP2CLient_Base::OnHeartBeatTimerException(TObject*, const Exception& E) {
  Exception copy(E.Message());
  DoException(Connection(), E.Message(), &copy);
}

void TkfxHTTP2CLient_Base::OnWatchDogTimer(TObject* Sender) {
  if (IsDestroying()) return;
  if (TCPMode() == TkfxTCPMode::tcpmCommands)
    QueueConnect(true);
  else
    SetActive(true);
  TkfxTCPCLient_Common::OnWatchDogTimer(Sender);
}

void TkfxHTTP2CLient_Base::OnWatchDogTimerException(TObject*, const Exception& E) {
  Exception copy(E.Message());
  DoException(Connection(), E.Message(), &copy);
}

void TkfxHTTP2CLient_Base::Ping() {
  if (TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef()) connection->Ping();
}

void TkfxHTTP2CLient_Base::Close(Th2ErrorCodes aCode, const std::string& aDescription) {
  if (TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef()) connection->Close(aCode, aDescription);
}

void TkfxHTTP2CLient_Base::Disconnect() {
  if (TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef()) connection->Disconnect();
}

// --- the request API ---

void TkfxHTTP2CLient_Base::Get(const std::string& aURL, TStream* aResponseContent) {
  DoSendRequest(Th2Methods::h2meGet, aURL, nullptr, aResponseContent);
}
void TkfxHTTP2CLient_Base::Post(const std::string& aURL, TStream* aSource, TStream* aResponseContent) {
  DoSendRequest(Th2Methods::h2mePost, aURL, aSource, aResponseContent);
}
void TkfxHTTP2CLient_Base::Put(const std::string& aURL, TStream* aSource, TStream* aResponseContent) {
  DoSendRequest(Th2Methods::h2mePut, aURL, aSource, aResponseContent);
}
void TkfxHTTP2CLient_Base::Patch(const std::string& aURL, TStream* aSource, TStream* aResponseContent) {
  DoSendRequest(Th2Methods::h2mePatch, aURL, aSource, aResponseContent);
}
void TkfxHTTP2CLient_Base::Delete(const std::string& aURL, TStream* aResponseContent) {
  DoSendRequest(Th2Methods::h2meDelete, aURL, nullptr, aResponseContent);
}
void TkfxHTTP2CLient_Base::Options(const std::string& aURL, TStream* aResponseContent) {
  DoSendRequest(Th2Methods::h2meOptions, aURL, nullptr, aResponseContent);
}
void TkfxHTTP2CLient_Base::Trace(const std::string& aURL, TStream* aResponseContent) {
  DoSendRequest(Th2Methods::h2meTrace, aURL, nullptr, aResponseContent);
}
void TkfxHTTP2CLient_Base::Connect(const std::string& aURL, TStream* aResponseContent) {
  DoSendRequest(Th2Methods::h2meConnect, aURL, nullptr, aResponseContent);
}

std::string TkfxHTTP2CLient_Base::ResultText(TStream& aContent) {
  TkfxHTTP2Response* response = Response();
  const std::string charset = response ? response->Charset() : std::string();
  const TIdBytes bytes = ReadRest(aContent);
  return DecodeCharsetText(bytes.data(), bytes.size(), charset);
}

#define KFX_RESULT_TEXT(CALL) \
  TMemoryStream content;      \
  CALL;                       \
  return ResultText(content)

std::string TkfxHTTP2CLient_Base::Get(const std::string& aURL) { KFX_RESULT_TEXT(Get(aURL, &content)); }
std::string TkfxHTTP2CLient_Base::Post(const std::string& aURL, TStream* aSource) {
  KFX_RESULT_TEXT(Post(aURL, aSource, &content));
}
std::string TkfxHTTP2CLient_Base::Put(const std::string& aURL, TStream* aSource) {
  KFX_RESULT_TEXT(Put(aURL, aSource, &content));
}
std::string TkfxHTTP2CLient_Base::Patch(const std::string& aURL, TStream* aSource) {
  KFX_RESULT_TEXT(Patch(aURL, aSource, &content));
}
std::string TkfxHTTP2CLient_Base::Delete(const std::string& aURL) { KFX_RESULT_TEXT(Delete(aURL, &content)); }
std::string TkfxHTTP2CLient_Base::Options(const std::string& aURL) { KFX_RESULT_TEXT(Options(aURL, &content)); }
std::string TkfxHTTP2CLient_Base::Trace(const std::string& aURL) { KFX_RESULT_TEXT(Trace(aURL, &content)); }
std::string TkfxHTTP2CLient_Base::Connect(const std::string& aURL) { KFX_RESULT_TEXT(Connect(aURL, &content)); }

#undef KFX_RESULT_TEXT

void TkfxHTTP2CLient_Base::GetAsync(const std::string& aURL) { Get(aURL, nullptr); }
void TkfxHTTP2CLient_Base::PostAsync(const std::string& aURL, TStream* aSource) { Post(aURL, aSource, nullptr); }
void TkfxHTTP2CLient_Base::PutAsync(const std::string& aURL, TStream* aSource) { Put(aURL, aSource, nullptr); }
void TkfxHTTP2CLient_Base::PatchAsync(const std::string& aURL, TStream* aSource) { Patch(aURL, aSource, nullptr); }
void TkfxHTTP2CLient_Base::DeleteAsync(const std::string& aURL) { Delete(aURL, nullptr); }
void TkfxHTTP2CLient_Base::OptionsAsync(const std::string& aURL) { Options(aURL, nullptr); }
void TkfxHTTP2CLient_Base::TraceAsync(const std::string& aURL) { Trace(aURL, nullptr); }
void TkfxHTTP2CLient_Base::ConnectAsync(const std::string& aURL) { Connect(aURL, nullptr); }
void TkfxHTTP2CLient_Base::Head(const std::string& aURL) {
  DoSendRequest(Th2Methods::h2meHead, aURL, nullptr, nullptr);
}

void TkfxHTTP2CLient_Base::DoSendRequest(Th2Methods aMethod, const std::string& aURL, TStream* aSource,
                                         TStream* aResponseContent) {
  if (!aResponseContent) {
    // A connection that must be replaced (another host, TLS settings or
    // token source) is replaced first, so the request thread cannot hand
    // this request to the old one.
    CheckConnection(aURL, true);
    QueueRequest(aMethod, aURL, aSource);
    return;
  }
  CheckConnection(aURL, false);
  if (!Active()) throw Exception("Cannot connect to server.");
  DoHTTP2Request(aMethod, aURL, aSource, aResponseContent, "");
}

void TkfxHTTP2CLient_Base::QueueRequest(Th2Methods aMethod, const std::string& aURL, TStream* aSource) {
  std::lock_guard guard(FQueueLock);
  // Items queued with the same settings share one copy of them.
  if (!FLastSnapshot || !SameRequest(*FLastSnapshot, *FRequest)) {
    auto snapshot = std::make_shared<TkfxHTTP2Request>();
    snapshot->Assign(FRequest.get());
    FLastSnapshot = std::move(snapshot);
  }
  if (!FLastURL || *FLastURL != aURL) FLastURL = std::make_shared<const std::string>(aURL);
  FRequests->Append(TkfxHTTP2_Request::Create(aMethod, FLastURL, FLastSnapshot, aSource));
  FQueueChanged.notify_all();
}

int32_t TkfxHTTP2CLient_Base::SendOn(const TkfxHTTP2ConnectionClientRef& aConnection, Th2Methods aMethod,
                                     const std::string& aPath, TStream* aSource, TStream* aResponseContent,
                                     TkfxHTTP2Request& aRequest) {
  if (aResponseContent) {
    TkfxHTTP2ConnectionClient& c = *aConnection;
    switch (aMethod) {
      case Th2Methods::h2meHead: c.Head(aPath, &aRequest); break;
      case Th2Methods::h2meGet: c.Get(aPath, aResponseContent, &aRequest); break;
      case Th2Methods::h2mePost: c.Post(aPath, aSource, aResponseContent, &aRequest); break;
      case Th2Methods::h2meOptions: c.Options(aPath, aResponseContent, &aRequest); break;
      case Th2Methods::h2meTrace: c.Trace(aPath, aResponseContent, &aRequest); break;
      case Th2Methods::h2mePut: c.Put(aPath, aSource, aResponseContent, &aRequest); break;
      case Th2Methods::h2meDelete: c.Delete(aPath, aResponseContent, &aRequest); break;
      case Th2Methods::h2meConnect: c.Connect(aPath, aResponseContent, &aRequest); break;
      case Th2Methods::h2mePatch: c.Patch(aPath, aSource, aResponseContent, &aRequest); break;
    }
    return c.WaitResult() == Th2WaitResult::h2wrNotSent ? 0 : 1;
  }
  const bool body = aMethod == Th2Methods::h2mePost || aMethod == Th2Methods::h2mePut ||
                    aMethod == Th2Methods::h2mePatch;
  if (aSource && body) aSource->SetPosition(0);
  return aConnection->SendRequestNoWait(aMethod, aPath, body ? aSource : nullptr, &aRequest);
}

void TkfxHTTP2CLient_Base::DoHTTP2Request(Th2Methods aMethod, const std::string& aURL, TStream* aSource,
                                          TStream* aResponseContent, const std::string& aID) {
  std::string protocol, host, path;
  int port = 443;
  if (!SplitHTTP2URL(aURL, protocol, host, port, path)) return;
  TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef();
  if (!connection) return;
  try {
    // The request that is sent is a copy: the token line and the ID belong
    // to this request only.
    TkfxHTTP2Request request;
    request.Assign(FRequest.get());
    DoAuthorizationToken(request);
    request.ID = aID;
    SendOn(connection, aMethod, path, aSource, aResponseContent, request);
    if (aResponseContent && connection->WaitResult() == Th2WaitResult::h2wrAnswered) {
      // Only a refused token needs the body looked at.
      const int status = connection->Response().Status();
      std::string reason;
      if (status == 403 || status == 429) {
        const TIdBytes& body = connection->Response().Content().Bytes();
        reason = ReasonOf(std::string(body.begin(), body.end()));
      }
      AfterAnswer(status, reason, reason.empty() ? std::string() : BearerTokenOf(request.CustomHeaders));
    }
  } catch (...) {
    // The caller gets no exception; the connection is given up, unless it
    // has already ended and another one taken its place.
    if (IsLive(connection.get())) AddCommand(TkfxTCPCommands::tcmNotActive);
  }
}

void TkfxHTTP2CLient_Base::AfterAnswer(int aStatus, const std::string& aReason, const std::string& aToken) {
  if (aStatus == 429 && aReason == "TooManyProviderTokenUpdates") {
    // The server keeps the token it had: ours is not signed again, the
    // connect after this one waits.
    BackOff();
    return;
  }
  if (FBackoffMs.load(std::memory_order_relaxed) != 0) {
    std::lock_guard guard(FBackoffLock);
    FBackoffMs = 0;
    FConnectNotBefore = 0;
  }
  if (aStatus == 403 && (aReason == "ExpiredProviderToken" || aReason == "InvalidProviderToken")) {
    // The server no longer takes this token: the next request signs anew,
    // once for all the requests that carried it.
    ProviderTokens().Refused(aToken);
    DropOAuthToken();
  }
}

void TkfxHTTP2CLient_Base::BackOff() {
  std::lock_guard guard(FBackoffLock);
  const int64_t now = SteadyMillis();
  // Refusals of requests sent before the delay was set count once.
  if (FBackoffMs.load() != 0 && now < FConnectNotBefore.load()) return;
  const int64_t first = std::max(FBackoffFirstMs.load(), 1);
  const int64_t most = std::max<int64_t>(FBackoffMaxMs.load(), first);
  const int64_t previous = FBackoffMs.load();
  const int64_t next = previous == 0 ? first : std::min(previous * 2, most);
  FBackoffMs = next;
  FConnectNotBefore = now + next;
}

void TkfxHTTP2CLient_Base::SetReconnectBackoffBounds(int aFirstMs, int aMaxMs) {
  FBackoffFirstMs = aFirstMs;
  FBackoffMaxMs = aMaxMs;
}

bool TkfxHTTP2CLient_Base::ReconnectDelayed() {
  std::lock_guard guard(FDelayLock);
  return FDelayedConnectAt != 0;
}

void TkfxHTTP2CLient_Base::DelayConnect(int64_t aAt) {
  std::lock_guard guard(FDelayLock);
  if (IsDestroying()) return;
  FDelayedConnectAt = std::max(FDelayedConnectAt, aAt);
  if (!FThreadReconnect) FThreadReconnect = NewObject<TkfxHTTP2_ThreadReconnect>(this);
  FDelayChanged.notify_all();
}

void TkfxHTTP2CLient_Base::RunDelayedConnects(TkfxHTTP2_ThreadReconnect& aThread) {
  std::unique_lock lock(FDelayLock);
  while (!aThread.Terminated()) {
    if (FDelayedConnectAt == 0) {
      FDelayChanged.wait(lock, [&] { return aThread.Terminated() || FDelayedConnectAt != 0; });
      continue;
    }
    const int64_t wait = FDelayedConnectAt - SteadyMillis();
    if (wait > 0) {
      FDelayChanged.wait_for(lock, std::chrono::milliseconds(wait));
      continue;
    }
    FDelayedConnectAt = 0;
    lock.unlock();
    try {
      // Its time has come: queued now, unless a newer refusal set a later one.
      QueueConnect(true);
    } catch (...) {
    }
    lock.lock();
  }
}

void TkfxHTTP2CLient_Base::StopReconnectThread() {
  TkfxHTTP2_ThreadReconnect* thread;
  {
    std::lock_guard guard(FDelayLock);
    thread = FThreadReconnect;
    FThreadReconnect = nullptr;
    FDelayedConnectAt = 0;
  }
  if (!thread) return;
  thread->Terminate();
  thread->Free();
}

// --- tokens ---

TkfxHTTP2_ProviderTokens& TkfxHTTP2CLient_Base::ProviderTokens() {
  return FOwnTokens ? *FOwnTokens : TkfxHTTP2_ProviderTokens::Process();
}

void TkfxHTTP2CLient_Base::SetTokenClock(std::function<uint64_t()> aClock) {
  if (aClock)
    FOwnTokens = std::make_unique<TkfxHTTP2_ProviderTokens>(std::move(aClock));
  else
    FOwnTokens.reset();
}

void TkfxHTTP2CLient_Base::DropOAuthToken() {
  std::lock_guard guard(FTokenLock);
  FAuthToken.clear();
  FAuthTokenType.clear();
  FAuthTokenSource.clear();
  std::lock_guard answerGuard(FOAuthAnswer->Lock);
  FOAuthAnswer->Token.clear();
  FOAuthAnswer->TokenType.clear();
}

std::string TkfxHTTP2CLient_Base::TokenSourceIdentity() {
  std::string identity;
  TokenSourceIdentityTo(identity);
  return identity;
}

void TkfxHTTP2CLient_Base::TokenSourceIdentityTo(std::string& aOut) {
  // The OAuth client is a source by itself; a JWT client is one by what it
  // signs with, so two of them with the same key and claims are one source.
  TkfxHTTP2_Authentication_Token& source = FAuthentication->Token();
  aOut.clear();
  aOut += std::to_string(reinterpret_cast<uintptr_t>(source.OAuth()));
  aOut += '\n';
  if (TkfxHTTPComponentClient_JWT* jwt = source.JWT()) aOut += JWTSigningIdentity(*jwt);
}

void TkfxHTTP2CLient_Base::CheckTokenSource() {
  if (FAuthToken.empty()) return;
  thread_local std::string identity;
  TokenSourceIdentityTo(identity);
  if (FAuthTokenSource != identity) DropOAuthToken();
}

void TkfxHTTP2CLient_Base::DoAuthorizationToken(TkfxHTTP2Request& aRequest) {
  TkfxHTTP2_Authentication_Token& source = FAuthentication->Token();
  TkfxHTTPComponentClient_JWT* jwt = source.JWT();
  if (!jwt && !source.OAuth()) return;
  std::string line;
  if (source.OAuth()) {
    // Asked first when both are set; the JWT client is left alone.
    line = OAuthTokenLine();
  } else {
    // The token of this signing identity, shared with every component of
    // the process that signs with it; one signing per lifetime, whichever
    // thread asks first.
    const int64_t lifetime = int64_t{jwt->JWTOptions().RefreshTokenAfter()} * 1000;
    const TkfxProviderTokenPtr token = ProviderTokens().Acquire(
        JWTSigningIdentity(*jwt), lifetime, source.ReadTimeout(), [this, jwt] { return SignJWT(*jwt); });
    if (token) line = "Authorization: " + token->TokenType + " " + token->Token;
  }
  if (line.empty()) return;
  TStringList& lines = aRequest.CustomHeaders;
  for (int i = lines.Count() - 1; i >= 0; --i)
    if (IsAuthorizationLine(lines[i])) lines.Delete(i);
  lines.Add(line);
}

std::string TkfxHTTP2CLient_Base::OAuthTokenLine() {
  using Clock = std::chrono::steady_clock;
  TkfxHTTP2_Authentication_Token& source = FAuthentication->Token();
  const int timeout = std::max(source.ReadTimeout(), 0);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  const std::shared_ptr<TOAuthAnswer> answer = FOAuthAnswer;
  // Loops only when another thread's request was answered with a token that
  // was dropped again before this one read it.
  for (;;) {
    uint64_t round = 0;
    TkfxHTTPComponentClient_OAuth* start = nullptr;
    {
      std::lock_guard guard(FTokenLock);
      CheckTokenSource();
      std::lock_guard answerGuard(answer->Lock);
      if (FAuthToken.empty() && !answer->Token.empty()) {
        FAuthTokenType = std::move(answer->TokenType);
        FAuthToken = std::move(answer->Token);
        answer->TokenType.clear();
        answer->Token.clear();
        FAuthTokenSource = TokenSourceIdentity();
      }
      if (!FAuthToken.empty()) return "Authorization: " + FAuthTokenType + " " + FAuthToken;
      // One token request at a time: later callers wait for the one in
      // flight, unless it has gone unanswered past its time-out.
      const Clock::time_point now = Clock::now();
      if (answer->Answered == answer->Asked || now >= answer->GiveUp) {
        ++answer->Asked;
        answer->Error.clear();
        answer->GiveUp = deadline;
        start = source.OAuth();
        source.BindOAuthEvents(
            [answer](TObject*, const std::string& TokenType, const std::string& Token, const std::string&) {
              {
                std::lock_guard guard(answer->Lock);
                answer->Answered = answer->Asked;
                answer->TokenType = TokenType;
                answer->Token = Token;
                answer->Error = Token.empty() ? "Error OAuth. The token is empty." : "";
              }
              SignalMainThread();
            },
            [answer](TObject*, const std::string& Error, const std::string& ErrorDescription, const std::string&) {
              {
                std::lock_guard guard(answer->Lock);
                answer->Answered = answer->Asked;
                answer->Token.clear();
                answer->Error = "Error " + Error + ". " + ErrorDescription;
              }
              SignalMainThread();
            });
      }
      round = answer->Asked;
    }
    if (start) {
      std::string failure;
      bool failed = true;
      try {
        start->Start();
        failed = false;
      } catch (Exception& E) {
        failure = E.Message();
      } catch (const std::exception& E) {
        failure = E.what();
      }
      if (failed) {
        if (failure.empty()) failure = "The token request could not be started.";
        std::lock_guard guard(answer->Lock);
        if (answer->Answered < round) {
          answer->Answered = round;
          answer->Error = "Error OAuth. " + failure;
        }
      }
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const bool answered = WaitServingMainThread(
        [&] {
          std::lock_guard guard(answer->Lock);
          return answer->Answered >= round;
        },
        static_cast<int>(std::max<int64_t>(left, 0)));
    std::lock_guard guard(answer->Lock);
    if (!answered && answer->Answered < round) {
      // Given up: the next step asks again; an answer that still comes is kept.
      answer->GiveUp = std::min(answer->GiveUp, Clock::now());
      throw Exception("Error OAuth. No token arrived within " + std::to_string(timeout) + " ms.");
    }
    if (!answer->Error.empty()) throw Exception(answer->Error);
  }
}

TkfxProviderToken TkfxHTTP2CLient_Base::SignJWT(TkfxHTTPComponentClient_JWT& aJWT) {
  // The cache lets one caller sign for an identity at a time, so the JWT
  // client's events point at this component while it signs: the token it
  // reports reaches the component that asked.
  std::lock_guard guard(FTokenLock);
  FSignedToken.clear();
  FSignedTokenType.clear();
  FAuthentication->Token().BindJWTEvents(
      [this](TObject* Sender, const std::string& TokenType, const std::string& Token, const std::string& Data) {
        OnAuthTokenEvent(Sender, TokenType, Token, Data);
      },
      [this](TObject* Sender, const std::string& Error, const std::string& ErrorDescription, const std::string& Data) {
        OnAuthTokenErrorEvent(Sender, Error, ErrorDescription, Data);
      });
  // The JWT client reports its token, or raises its error, before Start
  // returns, so there is nothing to wait for.
  aJWT.Start();
  TkfxProviderToken token{std::move(FSignedTokenType), std::move(FSignedToken)};
  FSignedToken.clear();
  FSignedTokenType.clear();
  return token;
}

void TkfxHTTP2CLient_Base::OnAuthTokenEvent(TObject*, const std::string& TokenType, const std::string& Token,
                                            const std::string&) {
  std::lock_guard guard(FTokenLock);
  FSignedTokenType = TokenType;
  FSignedToken = Token;
}

void TkfxHTTP2CLient_Base::OnAuthTokenErrorEvent(TObject*, const std::string& Error,
                                                 const std::string& ErrorDescription, const std::string&) {
  throw Exception("Error " + Error + ". " + ErrorDescription);
}

// --- the request thread ---

void TkfxHTTP2CLient_Base::WakeRequests() {
  { std::lock_guard guard(FQueueLock); }
  FQueueChanged.notify_all();
}

void TkfxHTTP2CLient_Base::StartRequestThread() {
  std::lock_guard guard(FThreadLock);
  if (!FThreadRequests && !IsDestroying())
    FThreadRequests = NewObject<TkfxHTTP2_ThreadRequests>(this, FRequests.get(), FRequestsPending.get());
}

void TkfxHTTP2CLient_Base::StopRequestThread() {
  TkfxHTTP2_ThreadRequests* thread;
  {
    std::lock_guard guard(FThreadLock);
    thread = FThreadRequests;
    FThreadRequests = nullptr;
  }
  if (!thread) return;
  // From the thread itself (a handler it runs) it only ends its loop.
  if (thread->IsCallingThread()) {
    thread->Terminate();
    thread->SetFreeOnTerminate(true);
    return;
  }
  thread->Terminate();
  WakeRequests();
  thread->Free();
}

namespace {

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

}  // namespace

void TkfxHTTP2CLient_Base::RunRequests(TkfxHTTP2_ThreadRequests& aThread) {
  // Items are taken in batches of at most this many, and never more than
  // the connection has free streams.
  constexpr int32_t kMaxBatch = 128;
  std::vector<std::unique_ptr<TQueuedSend>> sends;
  std::vector<TkfxHTTP2NoWaitRequest> batch;
  std::vector<TQueuedSend*> order;  // the item of each batch entry
  // Queued items mostly share one URL: it is split once.
  std::shared_ptr<const std::string> splitURL;
  std::string splitPath;
  while (!aThread.Terminated()) {
    TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef();
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
        if (!connection || IsLive(connection.get())) FSendBlocked = true;
        continue;
      }
      for (; count < static_cast<size_t>(limit); ++count) {
        TkfxHTTP2_RequestPtr taken = FRequests->TakeFirst();
        if (!taken) break;
        if (sends.size() <= count) sends.push_back(std::make_unique<TQueuedSend>());
        TQueuedSend& send = *sends[count];
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
    }
    // A token connection starts with one stream; the server's SETTINGS say
    // how many it takes, so the first requests wait for them briefly.
    if (!connection->SettingsReceived())
      WaitServingMainThread([&] { return connection->SettingsReceived() || connection->WaitDisconnect() ||
                                         aThread.Terminated(); },
                            2000);
    // Each item gets its token line, ID and host; one that cannot ends here.
    batch.clear();
    order.clear();
    for (size_t i = 0; i < count; ++i) {
      TQueuedSend& send = *sends[i];
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
      std::string failure;
      try {
        if (!send.URL) throw Exception("The request has no URL.");
        if (send.URL != splitURL && (!splitURL || *send.URL != *splitURL)) {
          std::string protocol, host, path;
          int port = 443;
          if (!SplitHTTP2URL(*send.URL, protocol, host, port, path))
            throw Exception("The URL has no host: " + *send.URL);
          splitPath = std::move(path);
        }
        splitURL = send.URL;
        send.Path = splitPath;
        DoAuthorizationToken(send.Request);
        send.Key.TextTo(send.Request.ID);
        send.Request.Host = FHost;
      } catch (Exception& E) {
        failure = E.Message().empty() ? std::string("The request could not be sent.") : E.Message();
      } catch (const std::exception& E) {
        failure = E.what();
      }
      if (!failure.empty()) {
        TkfxHTTP2_RequestPtr item;
        {
          std::lock_guard guard(FQueueLock);
          item = FRequestsPending->Take(send.Key);
        }
        if (item) DoNotifyHTTP2RequestFailed(connection, std::move(item), failure);
        continue;
      }
      const bool body = send.Method == Th2Methods::h2mePost || send.Method == Th2Methods::h2mePut ||
                        send.Method == Th2Methods::h2mePatch;
      TkfxHTTP2NoWaitRequest entry;
      entry.Method = send.Method;
      entry.Path = &send.Path;
      entry.Source = body && send.HasBody ? &send.Body : nullptr;
      entry.Request = &send.Request;
      batch.push_back(entry);
      order.push_back(&send);
    }
    size_t sent = 0;
    std::string failure;
    try {
      sent = static_cast<size_t>(connection->SendRequestsNoWait(batch));
    } catch (Exception& E) {
      failure = E.Message().empty() ? std::string("The request could not be sent.") : E.Message();
    } catch (const std::exception& E) {
      failure = E.what();
    }
    while (sent < batch.size() && batch[sent].StreamIdentifier != 0) ++sent;
    size_t next = sent;
    if (!failure.empty() && next < batch.size()) {
      TkfxHTTP2_RequestPtr item;
      {
        std::lock_guard guard(FQueueLock);
        item = FRequestsPending->Take(order[next]->Key);
      }
      if (item) DoNotifyHTTP2RequestFailed(connection, std::move(item), failure);
      ++next;
    }
    if (next == batch.size()) continue;
    // Not sent: back to the front, in their order. A connection that ends
    // or got a GOAWAY takes nothing more; the next one sends them.
    std::lock_guard guard(FQueueLock);
    for (size_t i = batch.size(); i > next; --i)
      if (TkfxHTTP2_RequestPtr item = FRequestsPending->Take(order[i - 1]->Key)) FRequests->Prepend(std::move(item));
    if ((connection->WaitDisconnect() || FGoAwayOn.load() == connection.get()) && IsLive(connection.get()))
      FSendBlocked = true;
  }
}

void TkfxHTTP2CLient_Base::DoRequeuePendingRequests() {
  std::deque<TkfxHTTP2_RequestPtr> failed;
  {
    std::lock_guard guard(FQueueLock);
    std::deque<TkfxHTTP2_RequestPtr> pending = FRequestsPending->TakeAll();
    // The items themselves go back, ahead of those not sent yet: a
    // re-queued item replaces its pending original.
    for (auto at = pending.rbegin(); at != pending.rend(); ++at) {
      TkfxHTTP2_RequestPtr& item = *at;
      item->SetNumReq(item->NumReq() + 1);
      if (item->NumReq() >= FRequestMaxRetries)
        failed.push_front(std::move(item));
      else
        FRequests->Prepend(std::move(item));
    }
  }
  FailItems(HTTP2ConnectionRef(), std::move(failed),
            "The request was not answered: its retries are used up.");
}

void TkfxHTTP2CLient_Base::FailItems(const TkfxHTTP2ConnectionClientRef& aConnection,
                                     std::deque<TkfxHTTP2_RequestPtr> aItems, const std::string& aReason) {
  for (auto& item : aItems) DoNotifyHTTP2RequestFailed(aConnection, std::move(item), aReason);
}

// --- the connection's events ---

void TkfxHTTP2CLient_Base::OnConnectionConnectEvent(TkfxHTTP2ConnectionClient* Connection) {
  DoNotifyConnect(Connection);
  WakeRequests();
}

void TkfxHTTP2CLient_Base::OnConnectionGoAwayEvent(TkfxHTTP2ConnectionClient* Connection,
                                                   TkfxHTTP2GoAwayProperty* GoAway) {
  if (IsLive(Connection)) {
    FGoAwayOn = Connection;
    std::lock_guard guard(FQueueLock);
    FSendBlocked = true;
  }
  DoNotifyHTTP2GoAway(std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection)), GoAway);
}

void TkfxHTTP2CLient_Base::OnConnectionRSTStreamEvent(TkfxHTTP2ConnectionClient* Connection,
                                                      TkfxHTTP2RSTStreamProperty* RSTStream) {
  DoNotifyHTTP2RSTStream(std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection)),
                         RSTStream);
}

void TkfxHTTP2CLient_Base::OnConnectionStreamFailedEvent(TkfxHTTP2ConnectionClient* Connection, int32_t,
                                                         const std::string& aRequestID, bool aRetry) {
  if (IsDestroying() || aRequestID.empty()) return;
  TkfxHTTP2_RequestPtr failed;
  std::string reason;
  {
    std::lock_guard guard(FQueueLock);
    if (!aRetry && Connection->WaitDisconnect()) return;  // stays pending for the next connection
    TkfxHTTP2_RequestPtr item = FRequestsPending->Take(aRequestID);
    if (!item) return;
    if (aRetry) {
      // Not processed by the server: safe to send again.
      item->SetNumRefused(item->NumRefused() + 1);
      if (item->NumRefused() <= MaxRefusedRetries) {
        FRequests->Prepend(std::move(item));
        FQueueChanged.notify_all();
        return;
      }
      reason = "The request was refused by the server.";
    } else {
      reason = "The stream of the request was reset.";
    }
    failed = std::move(item);
  }
  DoNotifyHTTP2RequestFailed(std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection)),
                             std::move(failed), reason);
}

void TkfxHTTP2CLient_Base::OnConnectionStreamResponseEvent(TkfxHTTP2ConnectionClient* Connection,
                                                           TkfxHTTP2_StreamResponse* Stream) {
  TkfxHTTP2ConnectionClientRef connection =
      std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection));
  const int32_t streamID = Stream->StreamIdentifier;
  const TkfxHTTP2Request* sent = TkfxHTTP2ConnectionClient::StreamRequest(Stream);
  const std::string id = sent ? sent->ID : std::string();
  TkfxHTTP2_RequestPtr item;
  if (!id.empty()) {
    {
      std::lock_guard guard(FQueueLock);
      item = FRequestsPending->Take(id);
      FQueueChanged.notify_all();
    }
    // Its outcome was given already (dropped with its queue).
    if (!item) {
      Connection->DoCloseStream(streamID);
      return;
    }
  }
  TkfxHTTP2_Frame_Headers* headers = Stream->Frame_Headers();
  const int status = headers ? headers->Status() : 0;
  std::string reason;
  if (status == 403 || status == 429) {
    TkfxHTTP2_Frame_Data* data = Stream->Frame_Data();
    if (data) reason = ReasonOf(std::string(data->Data.begin(), data->Data.end()));
  }
  AfterAnswer(status, reason,
              reason.empty() || !sent ? std::string() : BearerTokenOf(sent->CustomHeaders));
  if (status == 401)
    DoNotifyHTTP2Authorization(connection, Stream, std::move(item));
  else
    DoNotifyHTTP2Response(connection, Stream);
}

void TkfxHTTP2CLient_Base::OnConnectionStreamResponseFragmentEvent(TkfxHTTP2ConnectionClient* Connection,
                                                                   TkfxHTTP2_StreamResponse* Stream,
                                                                   const TIdBytes& Bytes) {
  DoNotifyHTTP2ResponseFragment(std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection)),
                                Stream, Bytes);
}

void TkfxHTTP2CLient_Base::OnConnectionPushPromiseEvent(TkfxHTTP2ConnectionClient* Connection,
                                                        TkfxHTTP2_Frame_PushPromise* PushPromise, bool& Cancel) {
  DoNotifyHTTP2PushPromise(std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection)),
                           PushPromise);
  Cancel = FPushPromiseCancel;
}

void TkfxHTTP2CLient_Base::OnConnectionBeforeRequestEvent(TkfxHTTP2ConnectionClient* Connection,
                                                          TStringList* Headers) {
  DoNotifyHTTP2BeforeRequest(std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection)),
                             Headers);
}

// --- delivery ---

void TkfxHTTP2CLient_Base::ReportHandlerFailure(std::exception_ptr aError) {
  try {
    std::rethrow_exception(aError);
  } catch (Exception& E) {
    try {
      DoEventHTTP2Exception(nullptr, E.Message(), &E);
    } catch (...) {
    }
  } catch (const std::exception& e) {
    try {
      DoEventHTTP2Exception(nullptr, e.what(), nullptr);
    } catch (...) {
    }
  } catch (...) {
  }
}

void TkfxHTTP2CLient_Base::Deliver(TNotifyList& aList, std::function<void()> aRaise) {
  if (IsDestroying()) return;
  if (NotifyEvents() == TwsNotifyEvent::neNoSync) {
    try {
      aRaise();
    } catch (...) {
      ReportHandlerFailure(std::current_exception());
    }
    return;
  }
  {
    std::lock_guard guard(aList.Lock);
    aList.Items.push_back(std::move(aRaise));
  }
  std::shared_ptr<std::atomic<bool>> alive = FAlive;
  TNotifyList* list = &aList;
  auto drain = [this, alive, list] {
    if (alive->load()) Drain(*list);
  };
  if (NotifyEvents() == TwsNotifyEvent::neSynchronous)
    SynchronizeOnMainThread(drain);
  else
    QueueOnMainThread(drain, this);
}

void TkfxHTTP2CLient_Base::Drain(TNotifyList& aList) {
  if (IsDestroying()) return;
  std::shared_ptr<std::atomic<bool>> alive = FAlive;
  {
    std::lock_guard guard(aList.Lock);
    // A drain of this list further up the stack delivers in order.
    if (aList.Draining) return;
    aList.Draining = true;
  }
  for (;;) {
    std::deque<std::function<void()>> batch;
    {
      std::lock_guard guard(aList.Lock);
      batch.swap(aList.Items);
      if (batch.empty()) {
        aList.Draining = false;
        return;
      }
    }
    for (auto& raise : batch) {
      try {
        raise();
      } catch (...) {
        if (!alive->load()) return;
        ReportHandlerFailure(std::current_exception());
      }
      // The component was freed inside the handler: touch nothing of it.
      if (!alive->load()) return;
    }
  }
}

void TkfxHTTP2CLient_Base::DeliverAndWait(bool aAssigned, const std::function<void()>& aRaise) {
  if (IsDestroying()) return;
  // Nobody handles it, or the producer may wait for itself: run it here.
  if (!aAssigned || NotifyEvents() == TwsNotifyEvent::neNoSync || IsMainThread()) {
    aRaise();
    return;
  }
  std::shared_ptr<std::atomic<bool>> alive = FAlive;
  SynchronizeOnMainThread([&aRaise, alive] {
    if (alive->load()) aRaise();
  });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2Connect(const TkfxHTTP2ConnectionClientRef& Connection) {
  if (!Connection || (!OnHTTP2Connect && NotifyEvents() != TwsNotifyEvent::neNoSync)) return;
  Deliver(FNotifyHTTP2Connect, [this, Connection] { DoEventHTTP2Connect(Connection.get()); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2Disconnect(const TkfxHTTP2ConnectionClientRef& Connection) {
  if (!Connection) return;
  // A provider token outlives its connections; an OAuth token does not.
  DropOAuthToken();
  if (!OnHTTP2Disconnect) return;
  Deliver(FNotifyHTTP2Disconnect, [this, Connection] { DoEventHTTP2Disconnect(Connection.get()); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2Exception(const TkfxHTTP2ConnectionClientRef& Connection,
                                                  const std::string& aMessage, Exception* E) {
  if (!Connection) return;
  DropOAuthToken();
  if (!OnHTTP2Exception) return;
  if (NotifyEvents() == TwsNotifyEvent::neNoSync) {
    // The caught exception itself, valid for this call.
    try {
      DoEventHTTP2Exception(Connection.get(), aMessage, E);
    } catch (...) {
    }
    return;
  }
  // Delivered later: the record carries the text, not the object.
  const std::string message = E && !E->Message().empty() ? E->Message() : aMessage;
  Deliver(FNotifyHTTP2Exception,
          [this, Connection, message] { DoEventHTTP2Exception(Connection.get(), message, nullptr); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2Response(const TkfxHTTP2ConnectionClientRef& Connection,
                                                 TkfxHTTP2_StreamResponse* Stream) {
  if (!Connection || !Stream) return;
  const int32_t streamID = Stream->StreamIdentifier;
  // The properties are the record: built here, from the stream record the
  // reader is done with, which is released right after.
  auto request = std::make_shared<TkfxHTTP2RequestProperty>();
  auto response = std::make_shared<TkfxHTTP2ResponseProperty>();
  std::string failure;
  try {
    BuildHTTP2ResponseProperties(*Stream, *request, *response);
  } catch (Exception& E) {
    failure = E.Message();
  } catch (const std::exception& E) {
    failure = E.what();
  }
  const TkfxHTTP2Request* sent = TkfxHTTP2ConnectionClient::StreamRequest(Stream);
  const std::string id = sent ? sent->ID : std::string();
  Connection->DoCloseStream(streamID);
  if (!failure.empty()) {
    if (!id.empty()) {
      // The answer of a queued item that cannot be read: its outcome.
      TkfxHTTP2_RequestKey key;
      if (TkfxHTTP2_RequestKey::Parse(id, key)) {
        auto settings = std::make_shared<TkfxHTTP2Request>();
        settings->Assign(&request->Request());
        TkfxHTTP2_RequestPtr item = TkfxHTTP2_Request::Create(
            request->Method(), std::make_shared<const std::string>(request->URL()), std::move(settings), false, {});
        item->SetKey(key);
        DoNotifyHTTP2RequestFailed(Connection, std::move(item), failure);
      }
    }
    DoNotifyHTTP2Exception(Connection, failure, nullptr);
    return;
  }
  if (!OnHTTP2Response && NotifyEvents() != TwsNotifyEvent::neNoSync) return;
  Deliver(FNotifyHTTP2Response, [this, Connection, request, response] {
    DoEventHTTP2Response(Connection.get(), request.get(), response.get());
  });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2ResponseFragment(const TkfxHTTP2ConnectionClientRef& Connection,
                                                         TkfxHTTP2_StreamResponse* Stream, const TIdBytes& Bytes) {
  if (!Connection || !Stream || !OnHTTP2ResponseFragment) return;
  auto request = std::make_shared<TkfxHTTP2RequestProperty>();
  auto fragment = std::make_shared<TkfxHTTP2ResponseFragmentProperty>();
  BuildHTTP2FragmentProperties(*Stream, Bytes, *request, *fragment);
  Deliver(FNotifyHTTP2ResponseFragment, [this, Connection, request, fragment] {
    DoEventHTTP2ResponseFragment(Connection.get(), request.get(), fragment.get());
  });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2Authorization(const TkfxHTTP2ConnectionClientRef& Connection,
                                                      TkfxHTTP2_StreamResponse* Stream, TkfxHTTP2_RequestPtr aItem) {
  if (!Connection || !Stream) return;
  TkfxHTTP2RequestProperty request;
  if (const TkfxHTTP2Request* sent = TkfxHTTP2ConnectionClient::StreamRequest(Stream)) {
    request.SetRequest(*sent);
    request.SetMethod(sent->Method);
    request.SetURL(sent->URL);
  }
  TkfxHTTP2_Frame_Headers* headers = Stream->Frame_Headers();
  const std::string challenge = headers ? headers->Headers().Values("www-authenticate") : std::string();
  Connection->DoCloseStream(Stream->StreamIdentifier);
  DeliverAndWait(static_cast<bool>(OnHTTP2Authorization),
                 [&] { DoEventHTTP2Authorization(Connection.get(), request, challenge, aItem); });
  // Not delivered (the component is going): the item ends here.
  if (aItem) DoNotifyHTTP2RequestFailed(Connection, std::move(aItem), "Unauthorized");
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2BeforeRequest(const TkfxHTTP2ConnectionClientRef& Connection,
                                                      TStringList* Headers) {
  if (!Connection || !OnHTTP2BeforeRequest) return;
  DeliverAndWait(true, [&] { DoEventHTTP2BeforeRequest(Connection.get(), Headers); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2GoAway(const TkfxHTTP2ConnectionClientRef& Connection,
                                               TkfxHTTP2GoAwayProperty* GoAway) {
  if (!Connection || !GoAway || !OnHTTP2GoAway) return;
  auto copy = std::make_shared<TkfxHTTP2GoAwayProperty>();
  copy->LastStreamId = GoAway->LastStreamId;
  copy->ErrorCode = GoAway->ErrorCode;
  copy->ErrorDescription = GoAway->ErrorDescription;
  copy->AdditionalDebugData = GoAway->AdditionalDebugData;
  Deliver(FNotifyHTTP2GoAway, [this, Connection, copy] { DoEventHTTP2GoAway(Connection.get(), copy.get()); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2PendingRequests(const TkfxHTTP2ConnectionClientRef& Connection) {
  if (!Connection) return;
  DeliverAndWait(static_cast<bool>(OnHTTP2PendingRequests),
                 [&] { DoEventHTTP2PendingRequests(Connection.get()); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2PushPromise(const TkfxHTTP2ConnectionClientRef& Connection,
                                                    TkfxHTTP2_Frame_PushPromise* PushPromise) {
  FPushPromiseCancel = false;
  if (!Connection || !OnHTTP2PushPromise) return;
  DeliverAndWait(true, [&] { DoEventHTTP2PushPromise(Connection.get(), PushPromise); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2RSTStream(const TkfxHTTP2ConnectionClientRef& Connection,
                                                  TkfxHTTP2RSTStreamProperty* RSTStream) {
  if (!Connection || !RSTStream || !OnHTTP2RSTStream) return;
  DeliverAndWait(true, [&] { DoEventHTTP2RSTStream(Connection.get(), RSTStream); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2RequestFailed(const TkfxHTTP2ConnectionClientRef& Connection,
                                                      TkfxHTTP2_RequestPtr aItem, const std::string& aReason) {
  if (!aItem || IsDestroying() || !OnHTTP2RequestFailed) return;
  auto request = std::make_shared<TkfxHTTP2RequestProperty>();
  request->SetMethod(aItem->Method());
  request->SetURL(aItem->URL());
  request->SetRequest(aItem->Request());
  request->Request().ID = aItem->ID();
  aItem.reset();
  Deliver(FNotifyHTTP2RequestFailed, [this, Connection, request, aReason] {
    DoEventHTTP2RequestFailed(Connection.get(), request.get(), aReason);
  });
}

// --- raisers ---

void TkfxHTTP2CLient_Base::DoEventHTTP2Connect(TkfxHTTP2ConnectionClient* Connection) {
  if (OnHTTP2Connect) OnHTTP2Connect(this, Connection);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2Disconnect(TkfxHTTP2ConnectionClient* Connection) {
  DropOAuthToken();
  if (OnHTTP2Disconnect) OnHTTP2Disconnect(this, Connection);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2Exception(TkfxHTTP2ConnectionClient* Connection, const std::string& aMessage,
                                                 Exception* E) {
  DropOAuthToken();
  if (aMessage == "Connection Closed Gracefully.") return;
  if (!OnHTTP2Exception) return;
  if (E) {
    if (E->Message().empty()) E->SetMessage(aMessage);
    OnHTTP2Exception(this, Connection, E);
  } else {
    Exception temporary(aMessage);
    OnHTTP2Exception(this, Connection, &temporary);
  }
}

void TkfxHTTP2CLient_Base::DoEventHTTP2Response(TkfxHTTP2ConnectionClient* Connection,
                                                TkfxHTTP2RequestProperty* Request,
                                                TkfxHTTP2ResponseProperty* Response) {
  if (OnHTTP2Response) OnHTTP2Response(this, Connection, Request, Response);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2ResponseFragment(TkfxHTTP2ConnectionClient* Connection,
                                                        TkfxHTTP2RequestProperty* Request,
                                                        TkfxHTTP2ResponseFragmentProperty* Fragment) {
  if (OnHTTP2ResponseFragment) OnHTTP2ResponseFragment(this, Connection, Request, Fragment);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2Authorization(TkfxHTTP2ConnectionClient* Connection,
                                                     TkfxHTTP2RequestProperty& aRequest,
                                                     const std::string& aWWWAuthenticate, TkfxHTTP2_RequestPtr& aItem) {
  auto unauthorized = [&] {
    Exception error("Unauthorized");
    TkfxHTTP2ConnectionClientRef connection =
        std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection));
    if (aItem) DoNotifyHTTP2RequestFailed(connection, std::move(aItem), error.Message());
    if (Connection) DoException(Connection, error.Message(), &error);
  };
  // A retry answered with 401 again is not retried once more.
  if (!OnHTTP2Authorization || aRequest.Request().BasicAuthentication || aRequest.Request().BearerAuthentication)
    return unauthorized();
  std::string authType, authData = aWWWAuthenticate;
  if (!authData.empty()) {
    const auto space = authData.find(' ');
    authType = space == std::string::npos ? authData : authData.substr(0, space);
    authData = space == std::string::npos ? std::string() : authData.substr(space + 1);
  }
  std::string userName, password, token;
  bool handled = false;
  OnHTTP2Authorization(this, Connection, authType, authData, userName, password, token, handled);
  if (handled) {
    // The handler took it over: the item's outcome is this answer.
    aItem.reset();
    return;
  }
  if (authType == "Basic")
    DoRetryBasic(Connection, aRequest, aItem, userName, password);
  else if (authType == "Bearer")
    DoRetryBearer(Connection, aRequest, aItem, token);
  else
    unauthorized();
}

void TkfxHTTP2CLient_Base::SendRetry(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2Request& aRequest,
                                     TkfxHTTP2_RequestPtr& aItem) {
  // Credentials go only where they belong: the retry carries the one
  // authorization line its settings make.
  TStringList& lines = aRequest.CustomHeaders;
  for (int i = lines.Count() - 1; i >= 0; --i)
    if (IsAuthorizationLine(lines[i])) lines.Delete(i);
  TkfxHTTP2ConnectionClientRef connection =
      std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection));
  // The retry repeats the request it answers, method and body included; a
  // queued item waits for the retry's answer in the pending queue.
  std::unique_ptr<TMemoryStream> body;
  const std::string id = aItem ? aItem->ID() : std::string();
  if (aItem && aItem->HasBody()) {
    body = std::make_unique<TMemoryStream>();
    const std::span<const uint8_t> bytes = aItem->Body();
    if (!bytes.empty()) body->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    body->SetPosition(0);
  }
  if (aItem) {
    std::lock_guard guard(FQueueLock);
    FRequestsPending->Append(std::move(aItem));
  }
  int32_t stream = 0;
  std::string failure = "The retry could not be sent.";
  try {
    if (connection) stream = SendOn(connection, aRequest.Method, PathOf(aRequest.URL), body.get(), nullptr, aRequest);
  } catch (Exception& E) {
    failure = E.Message();
  } catch (const std::exception& E) {
    failure = E.what();
  }
  if (stream != 0 || id.empty()) return;
  TkfxHTTP2_RequestPtr item;
  {
    std::lock_guard guard(FQueueLock);
    item = FRequestsPending->Take(id);
  }
  if (item) DoNotifyHTTP2RequestFailed(connection, std::move(item), failure);
}

void TkfxHTTP2CLient_Base::DoRetryBasic(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2RequestProperty& aRequest,
                                        TkfxHTTP2_RequestPtr& aItem, const std::string& UserName,
                                        const std::string& Password) {
  TkfxHTTP2Request request;
  request.Assign(&aRequest.Request());
  request.BasicAuthentication = true;
  request.Username = UserName;
  request.Password = Password;
  SendRetry(Connection, request, aItem);
}

void TkfxHTTP2CLient_Base::DoRetryBearer(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2RequestProperty& aRequest,
                                         TkfxHTTP2_RequestPtr& aItem, const std::string& Token) {
  TkfxHTTP2Request request;
  request.Assign(&aRequest.Request());
  request.BearerAuthentication = true;
  request.BearerToken = Token;
  SendRetry(Connection, request, aItem);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2BeforeRequest(TkfxHTTP2ConnectionClient* Connection, TStringList* Headers) {
  if (OnHTTP2BeforeRequest) OnHTTP2BeforeRequest(this, Connection, Headers);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2GoAway(TkfxHTTP2ConnectionClient* Connection,
                                              TkfxHTTP2GoAwayProperty* GoAway) {
  if (OnHTTP2GoAway) OnHTTP2GoAway(this, Connection, GoAway);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2PendingRequests(TkfxHTTP2ConnectionClient* Connection) {
  FPendingRequestsReconnect = false;
  FPendingRequestsClear = true;
  if (OnHTTP2PendingRequests)
    OnHTTP2PendingRequests(this, Connection, FPendingRequestsReconnect, FPendingRequestsClear);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2PushPromise(TkfxHTTP2ConnectionClient* Connection,
                                                   TkfxHTTP2_Frame_PushPromise* PushPromise) {
  FPushPromiseCancel = false;
  if (OnHTTP2PushPromise) OnHTTP2PushPromise(this, Connection, PushPromise, FPushPromiseCancel);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2RSTStream(TkfxHTTP2ConnectionClient* Connection,
                                                 TkfxHTTP2RSTStreamProperty* RSTStream) {
  if (OnHTTP2RSTStream) OnHTTP2RSTStream(this, Connection, RSTStream);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2RequestFailed(TkfxHTTP2ConnectionClient* Connection,
                                                     TkfxHTTP2RequestProperty* Request, const std::string& aReason) {
  if (OnHTTP2RequestFailed) OnHTTP2RequestFailed(this, Connection, Request, aReason);
}

