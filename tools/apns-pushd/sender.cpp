#include "tools/apns-pushd/sender.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

#include "apns/kfxAPNs_Setup.h"
#include "http2/client/kfxHTTP.h"
#include "jwt/kfxHTTP_JWT_Classes.h"
#include "jwt/kfxHTTP_JWT_ES.h"
#include "jwt/kfxJSON.h"
#include "rtl/DateTime.h"
#include "rtl/Streams.h"
#include "tls/kfxIdSSLOpenSSL.h"
#include "tools/apns-pushd/log.h"

namespace apns_pushd {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A random (version 4) UUID in lower case, as APNs writes apns-id.
std::string NewUUID(std::mt19937_64& aRandom) {
  uint64_t hi = aRandom(), lo = aRandom();
  hi = (hi & ~0xF000ULL) | 0x4000ULL;
  lo = (lo & ~(0xC000ULL << 48)) | (0x8000ULL << 48);
  char text[37];
  std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx",
                static_cast<unsigned long long>(hi >> 32), static_cast<unsigned long long>((hi >> 16) & 0xFFFF),
                static_cast<unsigned long long>(hi & 0xFFFF), static_cast<unsigned long long>(lo >> 48),
                static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFULL));
  return text;
}

// The value of header aName in "name=value" (answer) or "name: value"
// (request) lines; empty when absent.
std::string HeaderValue(const TStringList& aLines, const std::string& aName) {
  for (int i = 0; i < aLines.Count(); ++i) {
    const std::string& line = aLines[i];
    if (line.size() <= aName.size() || Lower(line.substr(0, aName.size())) != aName) continue;
    const char sep = line[aName.size()];
    if (sep != '=' && sep != ':') continue;
    size_t at = aName.size() + 1;
    while (at < line.size() && line[at] == ' ') ++at;
    return line.substr(at);
  }
  return "";
}

// The "reason" of an APNs error body; empty when there is none.
std::string ReasonOfBody(const std::string& aBody) {
  if (aBody.empty() || !IsValidJSON(aBody)) return "";
  TkfxJSONPtr doc = NewJSONDocument(aBody);
  TInterfaceRef<IkfxObjectJSON> node = doc->GetNode("reason");
  if (!node || node->GetJSONType() != TkfxJSONtype::kfxJSONString) return "";
  return JSONValueText(node->GetValue());
}

// The device token of a request's URL (after the last "/").
std::string TokenOfURL(const std::string& aURL) { return aURL.substr(aURL.rfind('/') + 1); }

// In-flight keys: by the apns-id the request carried ("i:"), or by its
// device token ("t:") when it carried none, which is the usual case: then
// the requests of a run share their header settings on the client, and
// the answers are matched by device token. A notification to a device that
// already has one in flight gets an apns-id, so no two in flight share a key
// of either kind.
std::string IdKey(const std::string& aApnsId) { return "i:" + Lower(aApnsId); }
// The URL carries the device token exactly as the notification has it.
std::string TokenKey(const std::string& aToken) { return "t:" + aToken; }

bool Retryable(int aStatus) { return aStatus == 429 || aStatus == 500 || aStatus == 503; }

}  // namespace

std::string SignProviderToken(const std::string& aKeyText, const std::string& aKeyId,
                              const std::string& aTeamId) {
  TkfxHTTP_JWTHeader header;
  header.alg = TkfxHTTP_JWT_Algorithm::jwtES256;
  header.kid = aKeyId;
  TkfxHTTP_JWTPayload payload;
  payload.iss = aTeamId;
  payload.iat = DateTimeToUnix(NowUTC());
  const std::string input = Base64URLEncode(header.JSONText()) + "." + Base64URLEncode(payload.JSONText());
  TkfxSecretBytes key(aKeyText);
  TkfxHTTP_JWT_ES signer;
  const TIdBytes signature = signer.SignES256(TIdBytes(input.begin(), input.end()), key.Bytes());
  return input + "." + Base64URLEncode(signature);
}

void CheckCredentials(const AppConfig& aApp) {
  const std::string where = "app \"" + aApp.Name + "\"";
  if (aApp.TokenMode()) {
    std::ifstream in(aApp.KeyFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    try {
      SignProviderToken(text.str(), aApp.KeyId, aApp.TeamId);
    } catch (const Exception& e) {
      throw EConfigError(where + ".key: " + aApp.KeyFile + " does not sign ES256 tokens: " + e.Message());
    }
    return;
  }
  TPKCS12FileContent content;
  try {
    content = ReadPKCS12FileContent(aApp.CertFile, aApp.CertPassword);
  } catch (const Exception& e) {
    throw EConfigError(where + ".certificate: " + aApp.CertFile + ": " + e.Message());
  }
  switch (content) {
    case TPKCS12FileContent::p12KeyPair: return;
    case TPKCS12FileContent::p12Unreadable: throw EConfigError(where + ".certificate: cannot read " + aApp.CertFile);
    case TPKCS12FileContent::p12NotPKCS12:
      throw EConfigError(where + ".certificate: " + aApp.CertFile + " is not a PKCS#12 (.p12) file");
    case TPKCS12FileContent::p12WrongPassword:
      throw EConfigError(where + ".certificate: wrong password for " + aApp.CertFile);
    case TPKCS12FileContent::p12NoKeyPair:
      throw EConfigError(where + ".certificate: " + aApp.CertFile + " holds no certificate with its private key");
  }
}

std::chrono::milliseconds RetryDelay(int aAttempts, uint64_t aRandom) {
  int64_t ms = 500;
  for (int i = 1; i < aAttempts && ms < 30000; ++i) ms *= 2;
  ms = std::min<int64_t>(ms, 30000);
  return std::chrono::milliseconds(ms / 2 + static_cast<int64_t>(aRandom % static_cast<uint64_t>(ms / 2 + 1)));
}

struct Sender::Connection {
  TkfxHTTP2Client* Client = nullptr;  // owned by FOwner
  // The header lines the client's request settings hold now (sender's
  // thread): rewritten only when a notification needs others.
  std::string Topic, PushType, Priority, Expiration, CollapseId, ApnsId;
  std::shared_ptr<const std::string> Token;
  bool HeadersSet = false;
  std::atomic<bool> Up{false};
  std::mutex ErrorLock;
  std::string LastError;
  Clock::time_point NextTry = Clock::now();
  std::chrono::milliseconds Backoff{1000};
};

Sender::Sender(const AppConfig& aApp, NotificationQueue& aQueue, ProviderTokenSource& aTokens,
               OutcomeSink& aSink, Metrics& aMetrics)
    : FApp(aApp), FQueue(aQueue), FTokens(aTokens), FSink(aSink), FMetrics(aMetrics),
      FOwner(std::make_unique<TComponent>(nullptr)), FLoad(static_cast<size_t>(aApp.Connections), 0),
      FJitter(std::random_device{}()), FIds(std::random_device{}()) {
  if (FApp.TokenMode()) {
    std::ifstream in(FApp.KeyFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    FKeyText = text.str();
  }
  const std::string host = FApp.Server.Host.find(':') != std::string::npos ? "[" + FApp.Server.Host + "]"
                                                                           : FApp.Server.Host;
  FBaseURL = APNsDeviceURL("https://" + host + ":" + std::to_string(FApp.Server.Port), "");
  for (int c = 0; c < FApp.Connections; ++c) {
    FConns.push_back(std::make_unique<Connection>());
    Configure(*FConns.back());
  }
}

Sender::~Sender() {
  if (FThread.joinable()) Stop(Clock::now());
  FOwner.reset();  // the clients go before the state their handlers use
}

void Sender::Configure(Connection& aConn) {
  aConn.Client = new TkfxHTTP2Client(FOwner.get());
  TkfxHTTP2Client& client = *aConn.Client;
  const size_t index = FConns.size() - 1;
  client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  client.SetConnectTimeout(10000);
  client.SetRequestMaxRetries(FApp.MaxAttempts);
  client.SetReconnectBackoffBounds(FApp.ReconnectBackoffFirstMs, FApp.ReconnectBackoffMaxMs);
  client.TLSOptions().SetIOHandler(FApp.TLS);
  client.TLSOptions().SetVerifyCertificate(true);
  client.TLSOptions().SetRootCertFile(FApp.CAFile);
  if (FApp.Proxy.Enabled) {
    TkfxTCPProxy_Options& p = client.Proxy();
    p.SetEnabled(true);
    p.SetProxyType(FApp.Proxy.Type);
    p.SetHost(FApp.Proxy.Address.Host);
    p.SetPort(FApp.Proxy.Address.Port);
    p.SetUsername(FApp.Proxy.User);
    p.SetPassword(FApp.Proxy.Password);
  }
  if (FApp.TokenMode()) {
    // The token comes from the token source and is put on each request
    // here, so a fleet can share it; the client signs nothing itself.
    client.Authentication().Token().SetJWT(nullptr);
    client.TLSOptions().SetCertFile("");
  } else {
    UseAPNsCertificate(client, FApp.CertFile, FApp.CertPassword);
  }
  client.SetHost(FApp.Server.Host);
  client.SetPort(FApp.Server.Port);
  Connection* conn = &aConn;
  client.OnHTTP2Connect = [this, conn](TObject*, TkfxHTTP2ConnectionClient*) {
    if (!conn->Up.exchange(true)) FMetrics.Connections(FApp.Name, 1);
  };
  client.OnHTTP2Disconnect = [this, conn](TObject*, TkfxHTTP2ConnectionClient*) {
    if (conn->Up.exchange(false)) FMetrics.Connections(FApp.Name, -1);
  };
  client.OnHTTP2Exception = [conn](TObject*, TkfxHTTP2ConnectionClient* Connection, Exception* E) {
    if (Connection) return;
    std::lock_guard guard(conn->ErrorLock);
    conn->LastError = E->Message();
  };
  client.OnHTTP2Response = [this, index](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty* Request,
                                         TkfxHTTP2ResponseProperty* Response) {
    const int status = Response->Status();
    const std::string answerId = HeaderValue(Response->Headers(), "apns-id");
    std::string reason;
    if (status != 200)
      if (TMemoryStream* data = Response->Data(); data && !data->Bytes().empty())
        reason = ReasonOfBody(std::string(data->Bytes().begin(), data->Bytes().end()));
    // APNs answers with the request's apns-id when it carried one.
    Answered(index, IdKey(answerId), TokenKey(TokenOfURL(Request->URL())), status, reason, answerId);
  };
  client.OnHTTP2RequestFailed = [this, index](TObject*, TkfxHTTP2ConnectionClient*,
                                              TkfxHTTP2RequestProperty* Request, const std::string& aReason) {
    const std::string sent = HeaderValue(Request->Request().CustomHeaders, "apns-id");
    Failed(index, sent.empty() ? TokenKey(TokenOfURL(Request->URL())) : IdKey(sent), aReason);
  };
  // Requests sent and not answered when a connection ends (GOAWAY, close)
  // stay queued and go out again on the next connection, which is made at
  // once: they may have been delivered already (at least once).
  client.OnHTTP2PendingRequests = [this](TObject*, TkfxHTTP2ConnectionClient*, bool& aReconnect,
                                         bool& aClear) {
    std::lock_guard guard(FLock);
    aReconnect = !FHandingBack;
    aClear = false;
  };
}

void Sender::Start() {
  FThread = std::thread([this] { Loop(); });
}

size_t Sender::Stop(Clock::time_point aUntil) {
  {
    std::lock_guard guard(FLock);
    if (!FStopping || aUntil < FStopUntil) FStopUntil = aUntil;
    FStopping = true;
  }
  FChanged.notify_all();
  if (FThread.joinable()) FThread.join();
  return FHandedBack;
}

void Sender::Send(Notification& n, size_t aConn) {
  Connection& conn = *FConns[aConn];
  TkfxHTTP2Client& client = *conn.Client;
  ++n.Attempts;
  std::string key = TokenKey(n.DeviceToken);
  if (n.ApnsId.empty()) {
    // Only this thread adds in-flight entries: the answer stays true.
    std::lock_guard guard(FLock);
    if (FInFlight.count(key)) n.ApnsId = NewUUID(FIds);
  }
  if (!n.ApnsId.empty()) key = IdKey(n.ApnsId);
  const std::string& topic = n.Topic.empty() ? FApp.Topic : n.Topic;
  if (!conn.HeadersSet || conn.Token != FToken || conn.Topic != topic || conn.PushType != n.PushType ||
      conn.Priority != n.Priority || conn.Expiration != n.Expiration || conn.CollapseId != n.CollapseId ||
      conn.ApnsId != n.ApnsId) {
    conn.HeadersSet = true;
    conn.Token = FToken;
    conn.Topic = topic;
    conn.PushType = n.PushType;
    conn.Priority = n.Priority;
    conn.Expiration = n.Expiration;
    conn.CollapseId = n.CollapseId;
    conn.ApnsId = n.ApnsId;
    TStringList& lines = client.Request().CustomHeaders;
    lines.Clear();
    if (FToken) lines.Add(FAuthorization);
    lines.Add("apns-topic: " + topic);
    if (!n.PushType.empty()) lines.Add("apns-push-type: " + n.PushType);
    if (!n.Priority.empty()) lines.Add("apns-priority: " + n.Priority);
    if (!n.Expiration.empty()) lines.Add("apns-expiration: " + n.Expiration);
    if (!n.CollapseId.empty()) lines.Add("apns-collapse-id: " + n.CollapseId);
    if (!n.ApnsId.empty()) lines.Add("apns-id: " + n.ApnsId);
  }
  FBody.Clear();
  FBody.WriteBuffer(n.Payload.data(), static_cast<int64_t>(n.Payload.size()));
  FURL.assign(FBaseURL).append(n.DeviceToken);
  {
    std::lock_guard guard(FLock);
    FInFlight[key].push_back(InFlight{n, aConn, Clock::now(), FToken});
    ++FLoad[aConn];
  }
  try {
    client.PostAsync(FURL, &FBody);
  } catch (const Exception& e) {
    Failed(aConn, key, e.Message());
  } catch (const std::exception& e) {
    Failed(aConn, key, e.what());
  }
}

void Sender::RefreshToken() {
  if (!FApp.TokenMode()) return;
  std::string token = FTokens.Current(FApp.TeamId, FApp.KeyId, [this] {
    FMetrics.TokenSigned(FApp.Name);
    Log("app " + FApp.Name + ": signed a provider token for key " + FApp.KeyId);
    return SignProviderToken(FKeyText, FApp.KeyId, FApp.TeamId);
  });
  if (FToken && *FToken == token) return;
  FToken = std::make_shared<const std::string>(std::move(token));
  FAuthorization = "authorization: bearer " + *FToken;
}

bool Sender::TakeInFlight(size_t aConn, const std::string& aKey, InFlight& aOut) {
  auto it = FInFlight.find(aKey);
  if (it == FInFlight.end()) return false;
  auto& list = it->second;
  auto entry = std::find_if(list.begin(), list.end(), [&](const InFlight& f) { return f.Conn == aConn; });
  if (entry == list.end()) entry = list.begin();
  aOut = std::move(*entry);
  list.erase(entry);
  if (list.empty()) FInFlight.erase(it);
  --FLoad[aOut.Conn];
  return true;
}

void Sender::Settle(InFlight&& f, int aStatus, const std::string& aReason, const std::string& aAnswerId,
                    bool aRetryable, bool aAtOnce) {
  if (aRetryable && FHandingBack) {
    // Handed back with the rest (HandBack collects the retries last).
    FRetries.push_back(Retry{std::move(f.N), Clock::now()});
    return;
  }
  if (aRetryable && f.N.Attempts < FApp.MaxAttempts) {
    const auto due = aAtOnce ? Clock::now() : Clock::now() + RetryDelay(f.N.Attempts, FJitter());
    FRetries.push_back(Retry{std::move(f.N), due});
    FMetrics.Retry(FApp.Name);
    return;
  }
  Outcome o;
  o.Id = f.N.Id;
  o.App = f.N.App;
  o.DeviceToken = f.N.DeviceToken;
  o.Status = aStatus;
  o.Reason = aReason;
  o.ApnsId = aAnswerId.empty() ? f.N.ApnsId : aAnswerId;
  o.Attempts = f.N.Attempts;
  o.DoneAtMs = NowMs();
  const bool wake = FDone.empty();
  FDone.push_back(std::move(o));
  if (wake) FChanged.notify_all();
}

void Sender::Answered(size_t aConn, const std::string& aIdKey, const std::string& aTokenKey, int aStatus,
                      const std::string& aReason, const std::string& aAnswerId) {
  InFlight f;
  {
    std::lock_guard guard(FLock);
    if (!(TakeInFlight(aConn, aIdKey, f) || TakeInFlight(aConn, aTokenKey, f))) return;
  }
  FMetrics.Answer(std::chrono::duration<double>(Clock::now() - f.Sent).count());
  const bool expiredToken = aStatus == 403 && aReason == "ExpiredProviderToken";
  // The token goes before the notification is queued again, so that its
  // next send carries a new one.
  if (expiredToken && f.Token && FApp.TokenMode()) FTokens.Expire(FApp.TeamId, FApp.KeyId, *f.Token);
  std::lock_guard guard(FLock);
  Settle(std::move(f), aStatus, aReason, aAnswerId, Retryable(aStatus) || expiredToken, expiredToken);
}

void Sender::Failed(size_t aConn, const std::string& aKey, const std::string& aReason) {
  std::lock_guard guard(FLock);
  InFlight f;
  if (!TakeInFlight(aConn, aKey, f)) return;
  Settle(std::move(f), 0, aReason, "", true, false);
}

void Sender::FinishDone() {
  std::vector<Outcome> done;
  {
    std::lock_guard guard(FLock);
    done.swap(FDone);
  }
  if (done.empty()) return;
  try {
    // Only what was written is reported: another instance may have
    // finished some of these first.
    FQueue.FinishAndKeepWritten(done);
  } catch (const std::exception& e) {
    // The store is away: the outcomes wait for the next round.
    Log("app " + FApp.Name + ": cannot finish outcomes: " + e.what());
    std::lock_guard guard(FLock);
    FDone.insert(FDone.begin(), done.begin(), done.end());
    return;
  }
  FSink.Deliver(done);
}

void Sender::Maintain() {
  const auto now = Clock::now();
  for (size_t c = 0; c < FConns.size(); ++c) {
    Connection& conn = *FConns[c];
    if (conn.Client->Active()) {
      conn.Backoff = std::chrono::milliseconds(1000);
      continue;
    }
    size_t load;
    {
      std::lock_guard guard(FLock);
      load = FLoad[c];
    }
    // Connected when there is work; the client reconnects by itself after
    // a GOAWAY while requests wait, this is for a connect that failed.
    if (load == 0 || now < conn.NextTry || conn.Client->ReconnectDelayed()) continue;
    conn.NextTry = now + conn.Backoff;
    conn.Backoff = std::min(conn.Backoff * 2, std::chrono::milliseconds(30000));
    try {
      conn.Client->SetActive(true);
    } catch (const Exception& e) {
      Log("app " + FApp.Name + ": cannot connect: " + e.Message());
    } catch (const std::exception& e) {
      Log("app " + FApp.Name + ": cannot connect: " + e.what());
    }
    if (!conn.Client->Active()) {
      std::lock_guard guard(conn.ErrorLock);
      if (!conn.LastError.empty()) Log("app " + FApp.Name + ": cannot connect: " + conn.LastError);
    }
  }
}

size_t Sender::HandBack() {
  {
    std::lock_guard guard(FLock);
    FHandingBack = true;
  }
  // Nothing queued on the clients is answered any more. Answers already on
  // their way are still taken (a final one is an outcome, a retry goes back
  // with the rest) until the clients are freed, which ends their threads.
  for (auto& conn : FConns) {
    conn->Client->Requests().TakeAll();
    conn->Client->RequestsPending().TakeAll();
  }
  FOwner.reset();  // closes the connections
  std::vector<Notification> back;
  {
    std::lock_guard guard(FLock);
    for (auto& [key, list] : FInFlight)
      for (InFlight& f : list) back.push_back(std::move(f.N));
    for (Retry& r : FRetries) back.push_back(std::move(r.N));
    FInFlight.clear();
    FRetries.clear();
    std::fill(FLoad.begin(), FLoad.end(), 0);
  }
  if (!back.empty()) {
    std::sort(back.begin(), back.end(),
              [](const Notification& a, const Notification& b) { return a.QueuedAtMs < b.QueuedAtMs; });
    try {
      FQueue.Release(back);
    } catch (const std::exception& e) {
      Log("app " + FApp.Name + ": cannot hand back: " + e.what());
    }
    Log("app " + FApp.Name + ": handed back " + std::to_string(back.size()) + " notifications unfinished");
  }
  return back.size();
}

void Sender::Loop() {
  Maintain();
  for (auto& conn : FConns) {
    // The first connect at start, so a wrong server shows in the log early.
    try {
      conn->Client->SetActive(true);
    } catch (...) {
    }
    if (!conn->Client->Active()) {
      std::lock_guard guard(conn->ErrorLock);
      Log("app " + FApp.Name + ": cannot connect to " + FApp.Server.Host + ":" + std::to_string(FApp.Server.Port) +
          (conn->LastError.empty() ? "" : ": " + conn->LastError));
    }
  }
  std::vector<Notification> resend;
  for (;;) {
    FinishDone();
    const auto now = Clock::now();
    size_t free = 0, inFlight = 0;
    bool stopping;
    Clock::time_point until;
    resend.clear();
    {
      std::lock_guard guard(FLock);
      stopping = FStopping;
      until = FStopUntil;
      for (size_t c = 0; c < FLoad.size(); ++c) {
        inFlight += FLoad[c];
        free += FLoad[c] < kWindowPerConnection ? kWindowPerConnection - FLoad[c] : 0;
      }
      if (!stopping) {
        auto due = std::partition(FRetries.begin(), FRetries.end(), [&](const Retry& r) { return r.Due > now; });
        for (auto it = due; it != FRetries.end(); ++it) resend.push_back(std::move(it->N));
        FRetries.erase(due, FRetries.end());
      }
    }
    if (stopping) {
      if (inFlight == 0 || now >= until) {
        FHandedBack = HandBack();
        FinishDone();
        return;
      }
      std::unique_lock lock(FLock);
      FChanged.wait_for(lock, std::chrono::milliseconds(20), [&] { return !FDone.empty(); });
      continue;
    }
    Maintain();
    auto pick = [&] {
      std::lock_guard guard(FLock);
      return static_cast<size_t>(std::min_element(FLoad.begin(), FLoad.end()) - FLoad.begin());
    };
    // The current token once per round: a token refused as expired is
    // replaced before the round that sends its notifications again.
    std::vector<Notification> batch;
    try {
      if (!resend.empty() || free > 0) RefreshToken();
      free = free > resend.size() ? free - resend.size() : 0;
      for (Notification& n : resend) Send(n, pick());
      resend.clear();  // sent: the catch below puts back only unsent ones
      if (free > 0) {
        const bool idle = inFlight == 0;
        batch = FQueue.Take(FApp.Name, std::min<size_t>(free, 500),
                            idle ? std::chrono::milliseconds(50) : std::chrono::milliseconds(0));
        std::vector<std::string> ids;
        ids.reserve(batch.size());
        for (Notification& n : batch) {
          Send(n, pick());
          ids.push_back(n.Id);
        }
        if (!ids.empty()) FQueue.MarkSent(ids);
      }
    } catch (const std::exception& e) {
      // No token could be signed, or the queue's store is away: the
      // notifications not sent yet wait for the next round, a second on.
      Log("app " + FApp.Name + ": " + e.what());
      std::unique_lock lock(FLock);
      for (Notification& n : resend) FRetries.push_back(Retry{std::move(n), Clock::now() + std::chrono::seconds(1)});
      resend.clear();
      FChanged.wait_for(lock, std::chrono::seconds(1), [&] { return FStopping; });
      continue;
    }
    if (batch.empty() && resend.empty()) {
      std::unique_lock lock(FLock);
      FChanged.wait_for(lock, std::chrono::milliseconds(free > 0 && inFlight ? 2 : 20),
                        [&] { return !FDone.empty() || FStopping; });
    }
  }
}

}  // namespace apns_pushd
