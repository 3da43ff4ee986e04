#include "http2/client/kfxHTTP2_Client.h"

#include "base/IdException.h"
#include "base/kfxBase_Errors.h"
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

// The reason of an APNs-style JSON answer body, {"reason":"..."}.
std::string ReasonOf(const std::string& aBody) {
  const auto key = aBody.find("\"reason\"");
  if (key == std::string::npos) return "";
  const auto open = aBody.find('"', aBody.find(':', key));
  if (open == std::string::npos) return "";
  const auto close = aBody.find('"', open + 1);
  return close == std::string::npos ? "" : aBody.substr(open + 1, close - open - 1);
}

std::string PathOf(const std::string& aURL) {
  std::string protocol, host, path;
  int port = 443;
  try {
    if (SplitHTTP2URL(aURL, protocol, host, port, path)) return path;
  } catch (const Exception&) {
    // Not a URL this client can split: it is sent as the path itself.
  }
  return aURL;
}

}  // namespace

// --- the client ---

TkfxHTTP2CLient_Base::TkfxHTTP2CLient_Base(TComponent* AOwner)
    : TkfxTCPCLient_Common(AOwner),
      FAuthentication(std::make_unique<TkfxHTTP2_Authentication_Options>(this)),
      FRequest(std::make_unique<TkfxHTTP2Request>()),
      FSettings(std::make_unique<TkfxHTTP2Settings>()),
      FTokens(std::make_unique<TkfxHTTP2_TokenSource>(FAuthentication->Token())),
      FSlot(std::make_unique<TkfxHTTP2_ConnectionSlot>(TkfxHTTP2_ConnectionSlot::THost{
          [this] { return IsDestroying(); }, [this] { AddCommand(TkfxTCPCommands::tcmActive); },
          [this] { return int64_t{DefaultActivationTimeout()} + 2000; }})),
      FDeliverer(std::make_unique<TkfxHTTP2_Deliverer>(
          this, [this] { return NotifyEvents(); }, [this] { return IsDestroying(); },
          [this](Exception& E) { DoEventHTTP2Exception(nullptr, E.Message(), &E); })),
      FScheduler(std::make_unique<TkfxHTTP2_Scheduler>(TkfxHTTP2_Scheduler::THost{
          [this] { return HTTP2ConnectionRef(); }, [this](TkfxHTTP2ConnectionClient* C) { return IsLive(C); },
          [this](TkfxHTTP2ConnectionClient* C) { return FSlot->GoneAway(C); },
          [this](TkfxHTTP2Request& aRequest) {
            DoAuthorizationToken(aRequest);
            aRequest.Host = FHost;
          },
          [this](const TkfxHTTP2ConnectionClientRef& C, TkfxHTTP2_RequestPtr aItem, const std::string& aReason) {
            DoNotifyHTTP2RequestFailed(C, std::move(aItem), aReason);
          }})) {
  // Every HTTP/2 write goes through the read thread's command queue; TLS
  // with ALPN "h2" and TLS 1.2.
  SetNotifyEvents(TwsNotifyEvent::neAsynchronous);
  SetTCPMode(TkfxTCPMode::tcpmCommands);
  FTLS = true;
  if (FTLSOptions->ALPNProtocols().IndexOf("h2") < 0) FTLSOptions->ALPNProtocols().Add("h2");
  FTLSOptions->SetVersion(TwsTLSVersions::tls1_2);
}

void TkfxHTTP2CLient_Base::StopBeforeShutDown() {
  // No event from here on. The request thread goes first: it writes through
  // the transport client that ShutDown frees; a connection that is ending
  // releases it from any wait for a stream slot.
  FDeliverer->Stop();
  BeginDestroying();
  if (TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef()) connection->SetWaitDisconnect();
  StopRequestThread();
  FSlot->StopReconnectThread();
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
    connection->WantsHeaderLines = nullptr;
    connection->OnStreamFailed = nullptr;
  }
  RemoveQueuedEvents(this);
  FAuthentication->Token().SetJWT(nullptr);
  FAuthentication->Token().SetOAuth(nullptr);
  Requests().Clear();
  RequestsPending().Clear();
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
  std::string identity;
  TLSIdentityTo(identity);
  return identity;
}

void TkfxHTTP2CLient_Base::TLSIdentityTo(std::string& aOut) {
  const TkfxTCPTLS_Options& options = *FTLSOptions;
  aOut.clear();
  aOut.append(std::to_string(static_cast<int>(options.IOHandler()))).append("\n");
  aOut.append(options.CertFile()).append("\n");
  aOut.append(options.Password()).append("\n");
  aOut.append(options.KeyFile()).append("\n");
  aOut.append(FTLS ? "1" : "0");
}

void TkfxHTTP2CLient_Base::CheckConnection(const std::string& aURL, bool aQueued) {
  // Every request passes here: the path, which is not needed here, goes
  // into a text that keeps its storage (host and port are used after events
  // that may check another request on this thread).
  thread_local std::string path;
  std::string protocol, host;
  int port = 443;
  if (SplitHTTP2URL(aURL, protocol, host, port, path)) {
    const bool moved = host != FHost || port != FPort;
    if (moved) {
      // Requests sent to the old host are not sent to the new one.
      FailItems(HTTP2ConnectionRef(), FScheduler->TakeAll(false),
                "The request was dropped: the client moved to another host.");
    }
    TkfxHTTP2ConnectionClientRef connection = HTTP2ConnectionRef();
    // Certificate and TLS settings take effect at an activation: changed
    // ones need a new connection.
    // The same goes for another token source or key: a server takes only
    // rare token changes on one connection.
    bool tlsChanged = false;
    bool tokenChanged = false;
    if (connection) {
      // Every queued request passes here: the identities are written into
      // buffers that keep their storage.
      thread_local std::string identity;
      FTokens->IdentityTo(identity);
      tokenChanged = FConnectedToken != identity;
      if (!tokenChanged) {
        TLSIdentityTo(identity);
        tlsChanged = FConnectedTLS != identity;
      }
      tlsChanged = tlsChanged || tokenChanged;
    }
    // A server or a token other than the one refused need not wait.
    if (moved || tokenChanged) FSlot->EndBackOff();
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

void TkfxHTTP2CLient_Base::OnClientConnected(TObject* Sender) {
  TkfxTCPCLient_Common::OnClientConnected(Sender);
  ConnectDone();
  if (IsDestroying()) return;
  // Connected by other means (a synchronous request): nothing to hold back.
  FSlot->CancelDelayedConnect();
  DoStopWatchDog();
  auto connection = std::make_shared<TkfxHTTP2ConnectionClient>();
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
    connection->WantsHeaderLines = [this] { return static_cast<bool>(OnHTTP2BeforeRequest); };
    connection->OnStreamFailed = [this](TObject*, TkfxHTTP2ConnectionClient* C, int32_t aStream,
                                        const std::string& aID, bool aRetry) {
      OnConnectionStreamFailedEvent(C, aStream, aID, aRetry);
    };
    if (TCPMode() == TkfxTCPMode::tcpmCommands)
      connection->OnCommand = [this](TObject*, TkfxHTTP2ConnectionClient* C, TkfxTCPCommands aCommand,
                                     const TIdBytes& aBytes) { OnConnectionCommandEvent(C, aCommand, aBytes); };
    connection->SetTLS(FTLS);
    connection->SetHost(FPort == 443 ? FHost : FHost + ":" + std::to_string(FPort));
    FConnectedTLS = TLSIdentity();
    FConnectedToken = FTokens->Identity();
    FScheduler->SetSendBlocked(false);
    // The new connection may sit where an ended one was freed: its end has
    // not been handled, whatever the address says.
    FSlot->Start(connection.get());
    SetConnectionSlot(connection);
    connection->DoHTTP2Initialize(TCPClient(), FSettings.get());
    DoRequeuePendingRequests();
    DoNotifyHTTP2Connect(connection);
    StartRequestThread();
    DoStartHeartBeat();
    Requests().SetEnabled(true);
    WakeRequests();
  } catch (Exception& E) {
    DoException(connection.get(), E.Message(), &E);
  } catch (const std::exception& e) {
    Exception error(e.what());
    DoException(connection.get(), error.Message(), &error);
  }
}

void TkfxHTTP2CLient_Base::OnConnectionCommandEvent(TkfxHTTP2ConnectionClient* Connection, TkfxTCPCommands Command,
                                                    const TIdBytes& Bytes) {
  // Octets of a connection that has ended never reach the next one: the
  // check and the queueing happen under the lock the end takes.
  FSlot->WhileLive(Connection, [&] {
    if (IsDestroying()) return;
    if (Command == TkfxTCPCommands::tcmWriteBytes)
      AddBytes(Bytes);
    else
      AddCommand(Command);
  });
}

void TkfxHTTP2CLient_Base::DoNotifyDisconnect(TkfxTCPConnection* Connection) {
  if (!Connection) return;
  auto* h2 = dynamic_cast<TkfxHTTP2ConnectionClient*>(Connection);
  if (IsDestroying() || !h2 || ConnectionRef().get() != Connection || !FSlot->ClaimEnd(Connection)) {
    TkfxTCPCLient_Common::DoNotifyDisconnect(Connection);
    return;
  }
  TkfxHTTP2ConnectionClientRef connection = std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection));
  Requests().SetEnabled(false);
  FSlot->EndLive(h2);
  // Waiting callers stop at once; streams in flight stay pending.
  h2->SetWaitDisconnect();
  bool reconnect = false;
  StopRequestThread();
  DoStopHeartBeat();
  try {
    const bool any = FScheduler->Any();
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
      FailItems(connection, FScheduler->TakeAll(true), "The request was dropped: the connection ended.");
    }
    reconnect = any && FPendingRequestsReconnect;
    DoNotifyHTTP2Disconnect(connection);
  } catch (...) {
    // Each item's outcome and each event is delivered under its own guard;
    // what is left (no memory for a notification record) is reported, and
    // must not keep the end of the connection from being handled below.
    ReportHandlerFailure(std::current_exception());
  }
  TkfxTCPCLient_Common::DoNotifyDisconnect(Connection);
  // Queued only once the ended connection has left its slot: a connect
  // command that ran before would find it there and connect nothing.
  if (reconnect) {
    try {
      QueueConnect(true);
    } catch (...) {
      // The kept requests stay queued for the next connect (the next
      // request's or the watchdog's); the application is told this one
      // could not be queued.
      ReportHandlerFailure(std::current_exception());
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
      // OnHTTP2Exception itself failed: it is where failures are reported,
      // so there is nowhere left to report this one, and the read thread
      // that runs the connect must go on.
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
    if (HTTP2ConnectionRef()) Requests().SetEnabled(true);
    WakeRequests();
  } else if (aCommand == TkfxTCPCommands::tcmNotActive) {
    Requests().SetEnabled(false);
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
    FScheduler->Queue(aMethod, aURL, aSource, *FRequest);
    return;
  }
  CheckConnection(aURL, false);
  if (!Active()) throw Exception("Cannot connect to server.");
  DoHTTP2Request(aMethod, aURL, aSource, aResponseContent, "");
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
    // to this request only. A waited-for request's stream keeps this copy.
    const auto shared = std::make_shared<TkfxHTTP2Request>();
    TkfxHTTP2Request& request = *shared;
    request.Assign(FRequest.get());
    DoAuthorizationToken(request);
    request.ID = aID;
    if (aResponseContent && aMethod != Th2Methods::h2meHead) {
      const bool body = aMethod == Th2Methods::h2mePost || aMethod == Th2Methods::h2mePut ||
                        aMethod == Th2Methods::h2mePatch;
      connection->RequestShared(aMethod, path, body ? aSource : nullptr, aResponseContent, shared);
    } else {
      SendOn(connection, aMethod, path, aSource, aResponseContent, request);
    }
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
    FSlot->BackOff();
    return;
  }
  FSlot->EndBackOff();
  if (aStatus == 403 && (aReason == "ExpiredProviderToken" || aReason == "InvalidProviderToken")) {
    // The server no longer takes this token: the next request signs anew,
    // once for all the requests that carried it.
    FTokens->Refused(aToken);
  }
}

void TkfxHTTP2CLient_Base::SetReconnectBackoffBounds(int aFirstMs, int aMaxMs) {
  FSlot->SetBackoffBounds(aFirstMs, aMaxMs);
}

bool TkfxHTTP2CLient_Base::ReconnectDelayed() { return FSlot->ConnectDelayed(); }

// --- tokens ---

TkfxHTTP2_ProviderTokens& TkfxHTTP2CLient_Base::ProviderTokens() { return FTokens->ProviderTokens(); }

void TkfxHTTP2CLient_Base::SetTokenClock(std::function<uint64_t()> aClock) {
  FTokens->SetTokenClock(std::move(aClock));
}

void TkfxHTTP2CLient_Base::DoAuthorizationToken(TkfxHTTP2Request& aRequest) {
  FTokens->Authorize(aRequest, [this](TkfxHTTPComponentClient_JWT& aJWT) { return SignJWT(aJWT); });
}

TkfxProviderToken TkfxHTTP2CLient_Base::SignJWT(TkfxHTTPComponentClient_JWT& aJWT) {
  // The JWT client's events reach this component's handlers while it signs.
  return FTokens->SignJWT(
      aJWT,
      [this](TObject* Sender, const std::string& TokenType, const std::string& Token, const std::string& Data) {
        OnAuthTokenEvent(Sender, TokenType, Token, Data);
      },
      [this](TObject* Sender, const std::string& Error, const std::string& ErrorDescription, const std::string& Data) {
        OnAuthTokenErrorEvent(Sender, Error, ErrorDescription, Data);
      });
}

void TkfxHTTP2CLient_Base::OnAuthTokenEvent(TObject*, const std::string& TokenType, const std::string& Token,
                                            const std::string&) {
  FTokens->TokenSigned(TokenType, Token);
}

void TkfxHTTP2CLient_Base::OnAuthTokenErrorEvent(TObject*, const std::string& Error,
                                                 const std::string& ErrorDescription, const std::string&) {
  throw Exception("Error " + Error + ". " + ErrorDescription);
}

// --- the request thread ---

TkfxHTTP2_ThreadRequests::TkfxHTTP2_ThreadRequests(TkfxHTTP2CLient_Base* aClient, TkfxHTTP2_Requests* aRequests,
                                                   TkfxHTTP2_Requests* aRequestsPending)
    : TThread(false), FClient(aClient), FRequests(aRequests), FRequestsPending(aRequestsPending) {}

void TkfxHTTP2_ThreadRequests::Execute() {
  NameThreadForDebugging("HTTP2Requests");
  FClient->RunRequests(*this);
}

void TkfxHTTP2_ThreadRequests::TerminatedSet() { FClient->WakeRequests(); }

void TkfxHTTP2CLient_Base::StartRequestThread() {
  FScheduler->StartThread([this]() -> TThread* {
    if (IsDestroying()) return nullptr;
    return NewObject<TkfxHTTP2_ThreadRequests>(this, &Requests(), &RequestsPending());
  });
}

void TkfxHTTP2CLient_Base::DoRequeuePendingRequests() {
  FailItems(HTTP2ConnectionRef(), FScheduler->Requeue(FRequestMaxRetries),
            "The request was not answered: its retries are used up.");
}

void TkfxHTTP2CLient_Base::FailItems(const TkfxHTTP2ConnectionClientRef& aConnection,
                                     std::deque<TkfxHTTP2_RequestPtr> aItems, const std::string& aReason) {
  // A delivery that fails is reported in place of that item's outcome; the
  // items behind it still get theirs instead of vanishing with the batch.
  for (auto& item : aItems) {
    try {
      DoNotifyHTTP2RequestFailed(aConnection, std::move(item), aReason);
    } catch (...) {
      ReportHandlerFailure(std::current_exception());
    }
  }
}

TkfxHTTP2ConnectionClientRef TkfxHTTP2CLient_Base::RefOf(TkfxHTTP2ConnectionClient* aConnection) {
  return std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(aConnection));
}

// --- the connection's events ---

void TkfxHTTP2CLient_Base::OnConnectionConnectEvent(TkfxHTTP2ConnectionClient* Connection) {
  DoNotifyConnect(Connection);
  WakeRequests();
}

void TkfxHTTP2CLient_Base::OnConnectionGoAwayEvent(TkfxHTTP2ConnectionClient* Connection,
                                                   TkfxHTTP2GoAwayProperty* GoAway) {
  if (IsLive(Connection)) {
    FSlot->SetGoneAway(Connection);
    FScheduler->SetSendBlocked(true);
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
  std::string reason;
  TkfxHTTP2_RequestPtr failed =
      FScheduler->StreamFailed(aRequestID, aRetry, !aRetry && Connection->WaitDisconnect(), reason);
  if (failed) DoNotifyHTTP2RequestFailed(RefOf(Connection), std::move(failed), reason);
}

void TkfxHTTP2CLient_Base::OnConnectionStreamResponseEvent(TkfxHTTP2ConnectionClient* Connection,
                                                           TkfxHTTP2_StreamResponse* Stream) {
  TkfxHTTP2ConnectionClientRef connection =
      std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRefOf(Connection));
  const int32_t streamID = Stream->StreamIdentifier;
  const std::string& id = TkfxHTTP2ConnectionClient::StreamRequestID(Stream);
  TkfxHTTP2_RequestPtr item;
  if (!id.empty()) {
    item = FScheduler->Answered(id);
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
  const TkfxHTTP2Request* sent = reason.empty() ? nullptr : TkfxHTTP2ConnectionClient::StreamRequest(Stream);
  AfterAnswer(status, reason, sent ? BearerTokenOf(sent->CustomHeaders) : std::string());
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

void TkfxHTTP2CLient_Base::DoNotifyHTTP2Connect(const TkfxHTTP2ConnectionClientRef& Connection) {
  if (!Connection || (!OnHTTP2Connect && NotifyEvents() != TwsNotifyEvent::neNoSync)) return;
  FDeliverer->Deliver(TkfxHTTP2_Deliverer::TList::Connect, [this, Connection] { DoEventHTTP2Connect(Connection.get()); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2Disconnect(const TkfxHTTP2ConnectionClientRef& Connection) {
  if (!Connection) return;
  // A provider token outlives its connections; an OAuth token does not.
  DropOAuthToken();
  if (!OnHTTP2Disconnect) return;
  FDeliverer->Deliver(TkfxHTTP2_Deliverer::TList::Disconnect, [this, Connection] { DoEventHTTP2Disconnect(Connection.get()); });
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
      // OnHTTP2Exception itself failed: it is where failures are reported,
      // so there is nowhere left to report this one.
    }
    return;
  }
  // Delivered later: the record carries the text, not the object.
  const std::string message = E && !E->Message().empty() ? E->Message() : aMessage;
  FDeliverer->Deliver(TkfxHTTP2_Deliverer::TList::Exception,
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
  // The stream's request copy moves into the property: the record goes
  // right after this.
  TkfxHTTP2RequestCopy sent = TkfxHTTP2ConnectionClient::TakeStreamRequest(Stream);
  const std::string id = sent.ID();
  if (!sent.Empty()) request->AdoptRequest(std::move(sent));
  std::string failure;
  try {
    BuildHTTP2ResponseProperties(*Stream, *request, *response);
  } catch (Exception& E) {
    failure = E.Message();
  } catch (const std::exception& E) {
    failure = E.what();
  }
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
  FDeliverer->Deliver(TkfxHTTP2_Deliverer::TList::Response, [this, Connection, request, response] {
    DoEventHTTP2Response(Connection.get(), request.get(), response.get());
  });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2ResponseFragment(const TkfxHTTP2ConnectionClientRef& Connection,
                                                         TkfxHTTP2_StreamResponse* Stream, const TIdBytes& Bytes) {
  if (!Connection || !Stream || !OnHTTP2ResponseFragment) return;
  auto request = std::make_shared<TkfxHTTP2RequestProperty>();
  auto fragment = std::make_shared<TkfxHTTP2ResponseFragmentProperty>();
  BuildHTTP2FragmentProperties(*Stream, Bytes, *request, *fragment);
  FDeliverer->Deliver(TkfxHTTP2_Deliverer::TList::ResponseFragment, [this, Connection, request, fragment] {
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
  FDeliverer->DeliverAndWait(static_cast<bool>(OnHTTP2Authorization),
                 [&] { DoEventHTTP2Authorization(Connection.get(), request, challenge, aItem); });
  // Not delivered (the component is going): the item ends here.
  if (aItem) DoNotifyHTTP2RequestFailed(Connection, std::move(aItem), "Unauthorized");
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2BeforeRequest(const TkfxHTTP2ConnectionClientRef& Connection,
                                                      TStringList* Headers) {
  if (!Connection || !OnHTTP2BeforeRequest) return;
  FDeliverer->DeliverAndWait(true, [&] { DoEventHTTP2BeforeRequest(Connection.get(), Headers); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2GoAway(const TkfxHTTP2ConnectionClientRef& Connection,
                                               TkfxHTTP2GoAwayProperty* GoAway) {
  if (!Connection || !GoAway || !OnHTTP2GoAway) return;
  auto copy = std::make_shared<TkfxHTTP2GoAwayProperty>();
  copy->LastStreamId = GoAway->LastStreamId;
  copy->ErrorCode = GoAway->ErrorCode;
  copy->ErrorDescription = GoAway->ErrorDescription;
  copy->AdditionalDebugData = GoAway->AdditionalDebugData;
  FDeliverer->Deliver(TkfxHTTP2_Deliverer::TList::GoAway, [this, Connection, copy] { DoEventHTTP2GoAway(Connection.get(), copy.get()); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2PendingRequests(const TkfxHTTP2ConnectionClientRef& Connection) {
  if (!Connection) return;
  FDeliverer->DeliverAndWait(static_cast<bool>(OnHTTP2PendingRequests),
                 [&] { DoEventHTTP2PendingRequests(Connection.get()); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2PushPromise(const TkfxHTTP2ConnectionClientRef& Connection,
                                                    TkfxHTTP2_Frame_PushPromise* PushPromise) {
  FPushPromiseCancel = false;
  if (!Connection || !OnHTTP2PushPromise) return;
  FDeliverer->DeliverAndWait(true, [&] { DoEventHTTP2PushPromise(Connection.get(), PushPromise); });
}

void TkfxHTTP2CLient_Base::DoNotifyHTTP2RSTStream(const TkfxHTTP2ConnectionClientRef& Connection,
                                                  TkfxHTTP2RSTStreamProperty* RSTStream) {
  if (!Connection || !RSTStream || !OnHTTP2RSTStream) return;
  FDeliverer->DeliverAndWait(true, [&] { DoEventHTTP2RSTStream(Connection.get(), RSTStream); });
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
  FDeliverer->Deliver(TkfxHTTP2_Deliverer::TList::RequestFailed, [this, Connection, request, aReason] {
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
  if (aItem) FScheduler->AddPending(std::move(aItem));
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
  if (TkfxHTTP2_RequestPtr item = FScheduler->TakePending(id))
    DoNotifyHTTP2RequestFailed(connection, std::move(item), failure);
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

