// TkfxTCPCLient_Common: activation, deactivation, commands, read-thread
// callbacks, timers and the connection slot.
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <mutex>

#include "base/kfxBase_Errors.h"
#include "base/kfxBase_Helpers.h"
#include "base/kfxWebSocket_Helpers.h"
#include "rtl/MainThread.h"
#include "tcp/kfxTCP_Client.h"
#include "transport/IdExceptionCore.h"

namespace {

// SO_RCVTIMEO / SO_SNDTIMEO in milliseconds; the socket takes a timeval.
void SetSocketTimeout(TIdSocketHandle* aBinding, int aOption, int aMilliseconds) {
  timeval value{aMilliseconds / 1000, (aMilliseconds % 1000) * 1000};
  if (::setsockopt(static_cast<int>(aBinding->Handle()), SOL_SOCKET, aOption, &value, sizeof value) != 0)
    GStack->RaiseLastSocketError();
}

}  // namespace

TkfxTLSSettings TLSSettingsFromOptions(const TkfxSocketTLS_Options& aOptions) {
  TkfxTLSSettings settings;
  settings.Version = aOptions.Version();
  settings.VerifyCertificate = aOptions.VerifyCertificate();
  settings.CertFile = aOptions.CertFile();
  settings.KeyFile = aOptions.KeyFile();
  settings.Password = aOptions.Password();
  settings.RootCertFile = aOptions.RootCertFile();
  const TStringList& protocols = aOptions.ALPNProtocols();
  for (int i = 0; i < protocols.Count(); ++i) settings.ALPNProtocols.push_back(protocols[i]);
  settings.SChannel.CertHash = aOptions.SChannel_Options().CertHash();
  settings.SChannel.CertStoreName = aOptions.SChannel_Options().CertStoreName();
  settings.SChannel.CertStorePath = aOptions.SChannel_Options().CertStorePath();
  settings.SChannel.CipherList = aOptions.SChannel_Options().CipherList();
  settings.OpenSSL.APIVersion = aOptions.OpenSSL_Options().APIVersion();
  settings.OpenSSL.LibPath = aOptions.OpenSSL_Options().LibPath();
  return settings;
}

TkfxTCPCLient_Common::TkfxTCPCLient_Common(TComponent* AOwner)
    : TkfxTCPComponent(AOwner),
      FTCPKeepAlive(std::make_unique<TkfxTCPKeepAlive>()),
      FHeartBeat(std::make_unique<TkfxTCPHeartBeat_Options>()),
      FCommands(std::make_unique<TkfxQueueCommands>()),
      FProxy(std::make_unique<TkfxTCPProxy_Options>()),
      FWatchDog(std::make_unique<TkfxTCPWatchDog_Options>()),
      FTLSOptions(std::make_unique<TkfxTCPTLS_Options>()) {
  FTCPKeepAlive->SetEnabled(false);
  FTCPKeepAlive->SetTime(7200000);
  FTCPKeepAlive->SetInterval(1000);
  FProxy->SetEnabled(false);
  FProxy->SetPort(8080);
  FWatchDog->SetEnabled(false);
  FWatchDog->SetInterval(10);
  SetNotifyEvents(TwsNotifyEvent::neAsynchronous);
}

TkfxTCPCLient_Common::~TkfxTCPCLient_Common() {
  ShutDown();
  TkfxTCPConnectionClientRef connection;
  {
    std::lock_guard guard(FSlotLock);
    connection.swap(FTCPConnection);
  }
  if (connection) DoFreeConnection(connection.get());
}

void TkfxTCPCLient_Common::BeforeDestruction() {
  TkfxTCPComponent::BeforeDestruction();
  ShutDown();
}

void TkfxTCPCLient_Common::ShutDown() {
  // No event is delivered from here on, and no queued drain runs. No
  // command starts any more work either (see DoProcessCommands), and an
  // activation under way is cut off, so waiting for the read thread below
  // takes no longer than the close of a socket.
  BeginDestroying();
  {
    std::lock_guard guard(FDeadlineLock);
    if (FDeadline) FDeadline->Expire();
  }
  StopDrains();
  FWatchDogEnabled = false;
  {
    std::lock_guard guard(FTimerLock);
    FreeThread(FHeartBeatTimer);
    FreeThread(FWatchDogTimer);
  }
  // The transport client stops its read thread first, then closes the
  // socket on this thread, which is then the only one using it.
  FreeTCPClient();
  FreeTLSHandler();
  FProxyIOHandler.reset();
  // Threads are gone: nothing can queue a drain any more.
  StopDrains();
}

void TkfxTCPCLient_Common::Loaded() {
  TkfxTCPComponent::Loaded();
  if (Active() != FActive) SetActive(FActive);
}

void TkfxTCPCLient_Common::GetPublishedProperties(TPublishedProperties& aList) {
  TkfxTCPComponent::GetPublishedProperties(aList);
}

TkfxTCPLogFile& TkfxTCPCLient_Common::LogFile() {
  if (!FLogFile) FLogFile = std::make_unique<TkfxTCPLogFile>();
  return *FLogFile;
}

TkfxTCPThrottle& TkfxTCPCLient_Common::Throttle() {
  if (!FThrottle) FThrottle = std::make_unique<TkfxTCPThrottle>();
  return *FThrottle;
}

// --- the connection slot ---

TkfxTCPConnectionClient* TkfxTCPCLient_Common::Connection() const {
  std::lock_guard guard(FSlotLock);
  return FTCPConnection.get();
}

TkfxTCPConnectionClientRef TkfxTCPCLient_Common::ConnectionRef() const {
  std::lock_guard guard(FSlotLock);
  return FTCPConnection;
}

void TkfxTCPCLient_Common::SetConnectionSlot(TkfxTCPConnectionClientRef aConnection) {
  TkfxTCPConnectionClientRef previous;
  {
    std::lock_guard guard(FSlotLock);
    previous.swap(FTCPConnection);
    FTCPConnection = std::move(aConnection);
  }
  if (previous && previous.get() != Connection()) DoFreeConnection(previous.get());
}

bool TkfxTCPCLient_Common::Active() {
  if (IsDesigning() || IsLoading()) return FActive;
  TkfxTCPConnectionClientRef connection = ConnectionRef();
  return connection && !connection->Disconnected();
}

// --- the transport client ---

TkfxIdTCPClient* TkfxTCPCLient_Common::GetTCPClient() {
  std::lock_guard guard(FClientLock);
  if (!FTCPClient) {
    auto client = std::make_unique<TkfxIdTCPClient>(nullptr);
    client->OnConnected = [this](TObject* Sender) { OnClientConnected(Sender); };
    client->OnStatus = [this](TObject* ASender, TIdStatus AStatus, const std::string& AText) {
      OnClientStatus(ASender, AStatus, AText);
    };
    client->OnThread = [this](TObject*) { OnClientThread(); };
    client->OnRead = [this](TObject*) { OnClientRead(); };
    client->OnReadException = [this](Exception& E) { OnClientReadException(E); };
    client->OnSocketAllocated = [this](TObject* Sender) {
      auto* socket = dynamic_cast<TIdIOHandlerSocket*>(Sender);
      std::lock_guard deadlineGuard(FDeadlineLock);
      if (FDeadline && socket && socket->Binding())
        FDeadline->SocketAllocated(static_cast<int>(socket->Binding()->Handle()));
    };
    client->SetTCPMode(FTCPMode);
    FTCPClient = std::move(client);
  }
  return FTCPClient.get();
}

void TkfxTCPCLient_Common::FreeTCPClient() {
  TkfxIdTCPClient* current;
  {
    std::lock_guard guard(FClientLock);
    current = FTCPClient.get();
  }
  if (!current) return;
  // Its read thread uses FTCPClient: it ends before the reference changes,
  // and none is made for this client again.
  current->Retire();
  std::unique_ptr<TkfxIdTCPClient> client;
  {
    std::lock_guard guard(FClientLock);
    client.swap(FTCPClient);
  }
  if (!client) return;
  // The handler we own must not be freed by the client.
  if (FHandlerSSL && client->IOHandler() == FHandlerSSL) client->SetIOHandler(nullptr);
  if (FProxyIOHandler && client->IOHandler() == FProxyIOHandler.get()) client->SetIOHandler(nullptr);
  client.reset();
}

void TkfxTCPCLient_Common::FreeTLSHandler() {
  if (!FHandlerSSL) return;
  {
    std::lock_guard guard(FClientLock);
    if (FTCPClient && FTCPClient->IOHandler() == FHandlerSSL) FTCPClient->SetIOHandler(nullptr);
  }
  TkfxTLSIOHandler* handler = FHandlerSSL;
  FHandlerSSL = nullptr;
  delete handler;
}

bool TkfxTCPCLient_Common::OnOwnerThread() {
  if (FTCPMode != TkfxTCPMode::tcpmCommands) return true;
  std::lock_guard guard(FClientLock);
  return FTCPClient && FTCPClient->IsReadThread();
}

int TkfxTCPCLient_Common::DefaultActivationTimeout() const {
  // Long enough for the configured connect and read time-outs, 10 s otherwise.
  int64_t budget = 10000;
  if (FConnectTimeout > 0 && FReadTimeout > 0)
    budget = std::max<int64_t>(budget, int64_t{FConnectTimeout} + FReadTimeout);
  return static_cast<int>(std::min<int64_t>(budget, INT32_MAX));
}

void TkfxTCPCLient_Common::CloseLeftOverSocket() {
  TkfxIdTCPClient* client;
  {
    std::lock_guard guard(FClientLock);
    client = FTCPClient.get();
  }
  if (!client || !client->IOHandler() || !client->IOHandler()->Opened()) return;
  try {
    client->Disconnect(false);
  } catch (...) {
    // The socket is abandoned either way; the failure that left it open is
    // the one the caller reports.
  }
}

// --- activation ---

void TkfxTCPCLient_Common::SetActive(bool aValue) {
  if (IsDesigning() || IsLoading()) {
    FActive = aValue;
    return;
  }
  if (aValue) {
    if (Active()) return;
    if (FTCPMode == TkfxTCPMode::tcpmCommands && !OnOwnerThread()) {
      const int budget = DefaultActivationTimeout();
      RunCommandAndWait(TkfxTCPCommands::tcmActive, budget);
      return;
    }
    if (FTCPMode == TkfxTCPMode::tcpmDefault) {
      // The read thread cannot replace the client it belongs to: the main
      // thread activates once the handler has returned.
      std::lock_guard guard(FClientLock);
      if (FTCPClient && FTCPClient->IsReadThread()) {
        QueueOnMainThread([this] { SetActive(true); }, this);
        return;
      }
    }
    DoActivate();
    return;
  }
  if (FTCPMode == TkfxTCPMode::tcpmCommands && !OnOwnerThread()) {
    FWatchDogEnabled = false;
    if (!ConnectionRef() || FDisconnecting) return;
    RunCommandAndWait(TkfxTCPCommands::tcmNotActive, 10000);
    return;
  }
  DoDeactivate();
}

bool TkfxTCPCLient_Common::RunCommandAndWait(TkfxTCPCommands aCommand, int aTimeoutMs) {
  if (IsDestroying()) return false;
  TkfxIdTCPClient* client = GetTCPClient();
  client->TCPRead();
  const uint64_t sequence = FCommands->AddCommand(aCommand, aTimeoutMs);
  client->WakeReadThread();
  // The activation cuts itself off after aTimeoutMs; the margin covers the
  // reports that follow.
  return WaitServingMainThread([this, sequence] { return FCommandsDone.load() >= sequence; },
                               aTimeoutMs + 2000);
}

void TkfxTCPCLient_Common::SetDeadline(TkfxActivationDeadline* aDeadline) {
  std::lock_guard guard(FDeadlineLock);
  FDeadline = aDeadline;
  // ShutDown expires the deadline it finds; one filed after it looked is
  // expired here.
  if (FDeadline && IsDestroying()) FDeadline->Expire();
}

void TkfxTCPCLient_Common::DoActivate() {
  int budget = FActivationTimeout.exchange(0);
  if (budget <= 0) budget = DefaultActivationTimeout();
  std::unique_ptr<TkfxActivationDeadline> deadline;
  ReportFailures(
      [&] {
        // A connect queued before the destruction began is dropped: what it
        // would use is about to be freed.
        if (IsDestroying() || Active()) return;
        CloseLeftOverSocket();
        FreeTLSHandler();
        if (FTCPMode == TkfxTCPMode::tcpmDefault) FreeTCPClient();
        TkfxIdTCPClient* client = GetTCPClient();
        DoSetTLSHandler();
        client->SetHost(FHost);
        client->SetPort(static_cast<uint16_t>(FPort));
        client->SetUseNagle(FUseNagle);
        client->SetIPVersion(FIPVersion);
        client->SetConnectTimeout(FConnectTimeout);
        client->SetReadTimeout(FReadTimeout);
        client->SetBoundPortMin(FBoundPortMin);
        client->SetBoundPortMax(FBoundPortMax);
        client->SetLingerState(FLingerState);
        DoSetProxy();
        client->SetIntercept(GetIntercept());
        FWatchDogEnabled = FWatchDog->Enabled();
        deadline = std::make_unique<TkfxActivationDeadline>(budget);
        SetDeadline(deadline.get());
        client->Connect();
        SetDeadline(nullptr);
        // A connection object that could not be made leaves no socket behind.
        if (!ConnectionRef()) CloseLeftOverSocket();
      },
      [&](Exception& E) {
        SetDeadline(nullptr);
        const bool expired = deadline && deadline->Expired();
        deadline.reset();
        CloseLeftOverSocket();
        if (expired) {
          EIdConnectTimeout timeout("Connect timed out.");
          DoException(Connection(), timeout.Message(), &timeout);
        } else {
          DoException(Connection(), E.Message(), &E);
        }
        if (FWatchDogEnabled &&
            (FWatchDog->Attempts() == 0 || FWatchDogAttempts < FWatchDog->Attempts()))
          DoStartWatchDog();
      });
}

void TkfxTCPCLient_Common::DoDeactivate() {
  FWatchDogEnabled = false;
  // Being destroyed: ShutDown closes the socket itself.
  if (IsDestroying()) return;
  TkfxTCPConnectionClientRef connection = ConnectionRef();
  if (!connection || FDisconnecting) return;
  ReportFailures(
      [&] {
        DoPrepareDisconnect();
        TkfxIdTCPClient* client = GetTCPClient();
        // Default mode: the read thread ends before this thread touches the
        // socket or its buffers (from the read thread itself it only terminates).
        if (FTCPMode == TkfxTCPMode::tcpmDefault) client->StopReadThread();
        if (TIdIOHandler* handler = client->IOHandler()) {
          handler->WriteBufferClear();
          if (handler->InputBuffer()) handler->InputBuffer()->Clear();
        }
        connection->SetDisconnected(true);
        client->Disconnect(false);
        // Reported by the status change already, unless the handler reports none.
        DoNotifyDisconnect(connection.get());
      },
      [&](Exception& E) {
        DoException(connection.get(), E.Message(), &E);
        if (FWatchDogEnabled) DoStartWatchDog();
      });
}

bool TkfxTCPCLient_Common::Connect(int aTimeout) {
  if (FTCPMode == TkfxTCPMode::tcpmCommands && !OnOwnerThread() && !IsDesigning() && !IsLoading()) {
    if (!Active()) RunCommandAndWait(TkfxTCPCommands::tcmActive, aTimeout > 0 ? aTimeout : DefaultActivationTimeout());
  } else {
    if (aTimeout > 0) FActivationTimeout = aTimeout;
    SetActive(true);
  }
  if (aTimeout <= 0) return false;
  return ConnectionRef() != nullptr;
}

bool TkfxTCPCLient_Common::Disconnect(int aTimeout) {
  SetActive(false);
  if (aTimeout <= 0) return false;
  return WaitServingMainThread([this] { return ConnectionRef() == nullptr; }, aTimeout);
}

void TkfxTCPCLient_Common::AddCommand(TkfxTCPCommands aCommand) {
  // Nothing is queued for a component being destroyed: its read thread may
  // be gone already, and a new one must not be made.
  if (IsDestroying()) return;
  TkfxIdTCPClient* client = GetTCPClient();
  client->TCPRead();
  FCommands->AddCommand(aCommand);
  client->WakeReadThread();
}

void TkfxTCPCLient_Common::AddBytes(TIdBytes ABytes) {
  if (IsDestroying()) return;
  TkfxIdTCPClient* client = GetTCPClient();
  client->TCPRead();
  FCommands->AddBytes(std::move(ABytes));
  client->WakeReadThread();
}

void TkfxTCPCLient_Common::QueueWrite(const TIdBytes& aBytes, uint64_t aGeneration) {
  if (IsDestroying()) return;
  TkfxIdTCPClient* client = GetTCPClient();
  FCommands->AddBytes(aBytes, aGeneration);
  client->WakeReadThread();
}

// --- commands (read thread) ---

void TkfxTCPCLient_Common::OnClientThread() {
  if (FTCPMode == TkfxTCPMode::tcpmCommands) DoProcessCommands();
}

void TkfxTCPCLient_Common::DoProcessCommands() {
  // Writes queued back to back go out together: one send (one TLS write)
  // for everything a burst of requests queued, in the order queued.
  constexpr size_t kMaxGathered = 256 * 1024;
  std::vector<std::unique_ptr<TkfxQueueCommand>> following;
  for (;;) {
    following.clear();
    std::unique_ptr<TkfxQueueCommand> item = FCommands->Pop(following, kMaxGathered);
    if (!item) break;
    if (!following.empty()) item->FSequence = following.back()->FSequence;
    if (IsDestroying()) {
      // Dropped: the component is being destroyed (ShutDown closes the
      // socket). Waiters see them done.
      FCommandsDone.store(item->FSequence);
      SignalMainThread();
      continue;
    }
    if (!following.empty()) {
      size_t total = item->FBytes.size();
      for (const auto& next : following) total += next->FBytes.size();
      item->FBytes.reserve(total);
      for (const auto& next : following) item->FBytes.insert(item->FBytes.end(), next->FBytes.begin(), next->FBytes.end());
    }
    ReportFailures(
        [&] {
          switch (item->FCommand) {
            case TkfxTCPCommands::tcmActive:
              if (!ConnectionRef()) {
                FActivationTimeout = item->FTimeout;
                SetActive(true);
              }
              DoCommandExecuted(TkfxTCPCommands::tcmActive);
              break;
            case TkfxTCPCommands::tcmNotActive:
              if (ConnectionRef()) SetActive(false);
              DoCommandExecuted(TkfxTCPCommands::tcmNotActive);
              break;
            case TkfxTCPCommands::tcmWriteBytes: {
              TkfxIdTCPClient* client = FTCPClient.get();
              if (!client || !client->IOHandler()) break;
              // Bytes meant for an earlier connection never reach a later one.
              if (item->FGeneration != 0 && item->FGeneration != FGeneration.load()) break;
              TkfxTCPConnectionClientRef connection = ConnectionRef();
              client->IOHandler()->Write(item->FBytes);
              if (connection) connection->AddSendBytes(static_cast<int64_t>(item->FBytes.size()));
              for (size_t i = 0; i <= following.size(); ++i) DoCommandExecuted(TkfxTCPCommands::tcmWriteBytes);
              break;
            }
            case TkfxTCPCommands::tcmNone:
              break;
          }
        },
        [&](Exception& E) { DoException(Connection(), E.Message(), &E); });
    FCommandsDone.store(item->FSequence);
    SignalMainThread();
  }
}

void TkfxTCPCLient_Common::DoCommandExecuted(TkfxTCPCommands) {}

// --- read thread callbacks ---

void TkfxTCPCLient_Common::OnClientRead() {
  if (IsDestroying()) return;
  // Held for the call: a disconnect delivered meanwhile cannot free it under us.
  TkfxTCPConnectionClientRef connection = ConnectionRef();
  if (!connection || connection->Disconnected()) return;
  FReadingThread = true;
  ReportFailures([&] { connection->DoRead(); },
                 [&](Exception& E) { DoException(connection.get(), E.Message(), &E); });
  FReadingThread = false;
}

void TkfxTCPCLient_Common::OnClientReadException(Exception& aException) {
  if (IsDestroying()) return;
  TkfxTCPConnectionClientRef connection = ConnectionRef();
  DoException(connection.get(), aException.Message(), &aException);
  TkfxIdTCPClient* client = FTCPClient.get();
  if (connection && client && client->IOHandler() && client->IOHandler()->InputBuffer())
    client->IOHandler()->InputBuffer()->Clear();
  if (!dynamic_cast<EIdClosedSocket*>(&aException) && connection) DoNotifyDisconnect(connection.get());
  // The socket is closed here, on its own thread, so a later activation
  // starts from a clean transport.
  if (client && client->IOHandler() && client->IOHandler()->Opened()) {
    try {
      client->IOHandler()->Close();
    } catch (...) {
      // The read error was reported above; closing the socket it broke may
      // fail again and has nothing new to say.
    }
  }
}

void TkfxTCPCLient_Common::OnClientStatus(TObject*, TIdStatus AStatus, const std::string&) {
  if (IsDestroying()) return;
  if (AStatus == TIdStatus::hsDisconnected) OnClientDisconnected();
}

void TkfxTCPCLient_Common::OnClientDisconnected() {
  if (IsDestroying()) return;
  TkfxTCPConnectionClientRef connection = ConnectionRef();
  if (!connection) return;
  // The end of the stream can be noticed in the same pass that read the
  // peer's last bytes: they are handed on before the disconnect, so answers
  // sent just before a close are not lost.
  TkfxIdTCPClient* client = FTCPClient.get();
  if (!FReadingThread && !connection->Disconnected() && client && client->IOHandler() &&
      !client->IOHandler()->InputBufferIsEmpty() && client->IsReadThread()) {
    FReadingThread = true;
    ReportFailures([&] { connection->DoRead(); },
                   [&](Exception& E) { DoException(connection.get(), E.Message(), &E); });
    FReadingThread = false;
    if (ConnectionRef() != connection) return;
  }
  ReportFailures([&] { DoNotifyDisconnect(connection.get()); },
                 [&](Exception& E) { DoException(connection.get(), E.Message(), &E); });
}

void TkfxTCPCLient_Common::DoNotifyDisconnect(TkfxTCPConnection* Connection) {
  if (!Connection) return;
  // Only the thread that takes the connection out of the slot delivers its
  // disconnect: deactivation and close detection may race.
  TkfxTCPConnectionClientRef taken;
  {
    std::lock_guard guard(FSlotLock);
    if (FTCPConnection.get() != Connection) return;
    taken.swap(FTCPConnection);
  }
  FDisconnecting = true;
  taken->SetDisconnected(true);
  DoStopHeartBeat();
  try {
    TkfxTCPComponent::DoNotifyDisconnect(taken.get());
  } catch (...) {
    FDisconnecting = false;
    SignalMainThread();
    throw;
  }
  FDisconnecting = false;
  SignalMainThread();
}

void TkfxTCPCLient_Common::OnClientConnected(TObject*) {
  if (IsDestroying()) return;
  FGeneration.fetch_add(1);
  // A connection that was made ends the outage: the watchdog counts afresh.
  FWatchDogAttempts = 0;
  ReportFailures(
      [&] {
        TkfxIdTCPClient* client = FTCPClient.get();
        TIdIOHandlerSocket* socket = client ? client->Socket() : nullptr;
        TIdSocketHandle* binding = socket ? socket->Binding() : nullptr;
        if (binding) {
          if (FWriteTimeout > 0) SetSocketTimeout(binding, SO_SNDTIMEO, FWriteTimeout);
          if (FTLSOptions->IOHandler() == TwsTLSIOHandler::iohSChannel && FReadTimeout < 0)
            SetSocketTimeout(binding, SO_RCVTIMEO, 10);
          if (FTCPKeepAlive->Enabled())
            binding->SetKeepAliveValues(true, FTCPKeepAlive->Time(), FTCPKeepAlive->Interval());
        }
        DoCreateConnection();
      },
      [&](Exception& E) { DoException(Connection(), E.Message(), &E); });
}

void TkfxTCPCLient_Common::DoCreateConnection() {
  ReportFailures(
      [&] {
        TkfxTCPConnectionClientRef connection = NewConnectionObject();
        connection->SetTransport(TwsTransport::trpTCP);
        connection->OnBinary = [this](TkfxTCPConnection* c, TMemoryStream* Data) {
          OnConnectionBinary(c, Data);
        };
        connection->OnBeforeDisconnect = [this](TObject* Sender) {
          OnConnectionBeforeDisconnect(Sender);
        };
        const uint64_t generation = FGeneration.load();
        connection->FWriteRouter = [this, generation](const TIdBytes& aBytes) {
          if (FTCPMode != TkfxTCPMode::tcpmCommands || OnOwnerThread()) return false;
          QueueWrite(aBytes, generation);
          return true;
        };
        connection->SetTCPConnection(FTCPClient.get());
        SetConnectionSlot(connection);
        DoNotifyConnect(connection.get());
      },
      [&](Exception& E) { DoException(Connection(), E.Message(), &E); });
}

TkfxTCPConnectionClientRef TkfxTCPCLient_Common::NewConnectionObject() {
  return std::make_shared<TkfxTCPConnectionClient>();
}

void TkfxTCPCLient_Common::OnConnectionBeforeDisconnect(TObject*) { DoPrepareDisconnect(); }

void TkfxTCPCLient_Common::OnConnectionBinary(TkfxTCPConnection* Connection, TMemoryStream* Data) {
  if (IsDestroying() || !Connection) return;
  ReportFailures(
      [&] {
        TMemoryStream* target = Connection->MsgBinaryReceived();
        target->Clear();
        if (Data) target->WriteBytes(Data->Bytes());
        target->SetPosition(0);
        DoNotifyBinary(Connection);
      },
      [&](Exception& E) { DoException(Connection, E.Message(), &E); });
}

void TkfxTCPCLient_Common::DoPrepareDisconnect() {
  if (NotifyEvents() == TwsNotifyEvent::neNoSync) DoStopReadThread();
}

void TkfxTCPCLient_Common::DoStopReadThread() {
  if (IsDestroying()) return;
  if (TkfxTCPConnectionClientRef connection = ConnectionRef()) connection->SetMustDisconnect(true);
  TkfxIdTCPClient* client = FTCPClient.get();
  if (!client) return;
  if (FTCPMode == TkfxTCPMode::tcpmCommands) {
    if (client->HasTCPRead()) client->TCPRead()->SetReadSocket(false);
    return;
  }
  // Never waits for itself: from the read thread it only terminates.
  client->StopReadThread();
}

// --- TLS, proxy, intercepts ---

void TkfxTCPCLient_Common::DoSetTLSHandler() {
  TkfxIdTCPClient* client = GetTCPClient();
  if (FTLS) {
    GetSSLHandler(TwsSSLHandler::sslClient, FHandlerSSL);
    client->SetIOHandler(FHandlerSSL);
  } else if (FHandlerSSL) {
    client->SetIOHandler(nullptr);
    FreeTLSHandler();
  }
}

void TkfxTCPCLient_Common::GetSSLHandler(TwsSSLHandler aType, TkfxTLSIOHandler*& aSSLHandler) {
  if (OnSSLGetHandler) OnSSLGetHandler(this, aType, aSSLHandler);
  if (aSSLHandler) return;
  TkfxTLSSettings settings = TLSSettingsFromOptions(*FTLSOptions);
  settings.OnGetPassword = [this](std::string& Password) { OnSSLGetPassword(Password); };
  aSSLHandler = NewTLSHandler(FTLSOptions->IOHandler(), settings).release();
  aSSLHandler->SetPassThrough(false);
  if (OnSSLAfterCreateHandler) OnSSLAfterCreateHandler(this, aType, aSSLHandler);
}

void TkfxTCPCLient_Common::OnSSLGetPassword(std::string& Password) {
  Password = FTLSOptions->Password();
}

void TkfxTCPCLient_Common::DoSetProxy() {
  TkfxIdTCPClient* client = GetTCPClient();
  if (!FProxy->Enabled()) {
    // Nothing of an earlier activation's tunnel stays in the way.
    if (FProxyIOHandler && client->IOHandler() == FProxyIOHandler.get()) client->SetIOHandler(nullptr);
    if (FHandlerSSL) FHandlerSSL->SetTransparentProxy(nullptr);
    return;
  }
  TIdIOHandlerSocket* carrier = FHandlerSSL;
  if (!FTLS || !carrier) {
    if (!FProxyIOHandler) FProxyIOHandler = std::make_unique<TIdIOHandlerStack>();
    carrier = FProxyIOHandler.get();
  }
  client->SetIOHandler(carrier);
  TIdCustomTransparentProxy* proxy;
  if (FProxy->ProxyType() == TwsProxy::pxyHTTP) {
    FreeObject(FProxySocks);
    // Taken from the options at every activation, like every other option.
    if (!FProxyHTTP) FProxyHTTP = new TIdConnectThroughHttpProxy(this);
    FProxyHTTP->SetEnabled(true);
    proxy = FProxyHTTP;
  } else {
    FreeObject(FProxyHTTP);
    if (!FProxySocks) FProxySocks = new TIdSocksInfo(this);
    FProxySocks->SetAuthentication(FProxy->Username().empty()
                                       ? TSocksAuthentication::saNoAuthentication
                                       : TSocksAuthentication::saUsernamePassword);
    FProxySocks->SetVersion(FProxy->ProxyType() == TwsProxy::pxySocks4    ? TSocksVersion::svSocks4
                            : FProxy->ProxyType() == TwsProxy::pxySocks4A ? TSocksVersion::svSocks4A
                                                                          : TSocksVersion::svSocks5);
    proxy = FProxySocks;
  }
  proxy->SetHost(FProxy->Host());
  proxy->SetPort(static_cast<uint16_t>(FProxy->Port()));
  proxy->SetUsername(FProxy->Username());
  proxy->SetPassword(FProxy->Password());
  carrier->SetTransparentProxy(proxy);
}

TIdConnectionIntercept* TkfxTCPCLient_Common::GetIntercept() {
  const bool throttle = FThrottle && FThrottle->Enabled();
  const bool log = FLogFile && FLogFile->Enabled() && !FLogFile->FileName().empty();
  if (log) {
    if (!FInterceptLogFile) {
      FInterceptLogFile = new TkfxIdLogFileClient(this);
      FInterceptLogFile->SetReplaceCRLF(false);
    }
    if (!FInterceptLogFile->Active()) FInterceptLogFile->SetFilename(FLogFile->FileName());
    FInterceptLogFile->SetIntercept(nullptr);
    FInterceptLogFile->SetActive(FLogFile->Enabled());
  }
  if (throttle) {
    if (!FInterceptThrottle) FInterceptThrottle = new TIdInterceptThrottler(this);
    FInterceptThrottle->SetBitsPerSec(FThrottle->BitsPerSec());
    // Sent data passes the throttler first, received data the log first.
    FInterceptThrottle->SetIntercept(log ? FInterceptLogFile : nullptr);
    return FInterceptThrottle;
  }
  return log ? FInterceptLogFile : nullptr;
}

// --- heartbeat and watchdog ---

void TkfxTCPCLient_Common::OnHeartBeatTimer(TObject*) {}

void TkfxTCPCLient_Common::OnHeartBeatTimerException(TObject*, const Exception&) {}

void TkfxTCPCLient_Common::DoStartHeartBeat() {
  if (!FHeartBeat->Enabled() || IsDestroying()) return;
  std::lock_guard guard(FTimerLock);
  if (!FHeartBeatTimer) {
    auto* timer = NewObject<TkfxTimer>();
    timer->SetDebugName("HeartBeat");
    timer->SetNotifyEvents(NotifyEvents());
    timer->OnTimer = [this](TObject* Sender) { OnHeartBeatTimer(Sender); };
    timer->OnException = [this](TObject* Sender, const Exception& E) {
      OnHeartBeatTimerException(Sender, E);
    };
    FHeartBeatTimer = timer;
  }
  const int64_t interval = int64_t{FHeartBeat->Interval()} * 1000;
  FHeartBeatTimer->SetInterval(static_cast<int>(std::min<int64_t>(interval, INT32_MAX)));
  if (interval > 0 && !FHeartBeatTimer->Enabled()) FHeartBeatTimer->SetEnabled(true);
}

void TkfxTCPCLient_Common::DoStopHeartBeat() {
  std::lock_guard guard(FTimerLock);
  if (FHeartBeatTimer) FHeartBeatTimer->SetEnabled(false);
}

void TkfxTCPCLient_Common::DoStartWatchDog() {
  if (!FWatchDog->Enabled() || IsDestroying()) return;
  std::lock_guard guard(FTimerLock);
  if (!FWatchDogTimer) {
    auto* timer = NewObject<TkfxTimer>();
    timer->SetDebugName("WatchDog");
    timer->SetNotifyEvents(NotifyEvents());
    timer->OnTimer = [this](TObject* Sender) { OnWatchDogTimer(Sender); };
    timer->OnException = [this](TObject* Sender, const Exception& E) {
      OnWatchDogTimerException(Sender, E);
    };
    FWatchDogTimer = timer;
  }
  const int64_t interval = int64_t{FWatchDog->Interval()} * 1000;
  FWatchDogTimer->SetInterval(static_cast<int>(std::min<int64_t>(interval, INT32_MAX)));
  if (interval > 0 && !FWatchDogTimer->Enabled()) FWatchDogTimer->SetEnabled(true);
}

void TkfxTCPCLient_Common::DoStopWatchDog() {
  std::lock_guard guard(FTimerLock);
  FreeThread(FWatchDogTimer);
}

void TkfxTCPCLient_Common::OnWatchDogTimer(TObject*) {
  const int attempts = FWatchDog->Attempts();
  if (attempts < 1) return;
  if (FWatchDogAttempts.fetch_add(1) + 1 >= attempts) DoStopWatchDog();
}

void TkfxTCPCLient_Common::OnWatchDogTimerException(TObject*, const Exception&) {}
