// The client-side TCP component: one transport client, the TLS, proxy and
// intercept layers assembled at each activation, the read thread with its
// command queue, heartbeat and watchdog timers, and the plain-TCP connection
// object with framed reading.
//
// Threads. In commands mode (tcpmCommands) the read thread owns the socket:
// it alone connects, handshakes, reads, writes and closes. Every other thread
// queues a command; Active := true and Active := false queue theirs and wait
// for it (serving the main thread meanwhile). The read thread waits in one
// poll on the socket and on a wake-up descriptor that the command queue
// signals, so a queued write goes out at once. In default mode activation
// and writes run on the caller's thread and the read thread only reads; it
// is stopped before the socket is closed.
//
// Lifetimes. The connection object is held by std::shared_ptr in the slot
// FTCPConnection, by queued notifications and by each call in progress. The
// thread that takes it out of the slot delivers the disconnect, once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/kfxBase_Classes.h"
#include "base/kfxHTTP2_Classes_Queue.h"
#include "tcp/kfxTCP_Classes.h"
#include "tcp/kfxTCP_Classes_Id.h"
#include "tcp/kfxSocket_Classes_Id.h"
#include "tls/IdSSL.h"
#include "tls/kfxTLS_Factory.h"
#include "transport/IdIOHandlerStack.h"
#include "transport/IdInterceptThrottler.h"
#include "transport/IdTCPClient.h"
#include "transport/kfxIdConnectThroughHttpProxy.h"
#include "transport/kfxIdSocks.h"

enum class TkfxTCPMode { tcpmDefault, tcpmCommands };
enum class TkfxTCPCommands { tcmNone, tcmActive, tcmNotActive, tcmWriteBytes };
enum class TwsSSLHandler { sslClient, sslServer, sslSession };

extern const std::vector<std::string> TCPModeNames;

// The settings the TLS factory makes a handler from, as aOptions give them;
// the password callback is left to the caller.
TkfxTLSSettings TLSSettingsFromOptions(const TkfxSocketTLS_Options& aOptions);

// The base of both TLS I/O handlers.
using TkfxTLSIOHandler = TIdSSLIOHandlerSocketBase;

using TkfxTCPOnSSLGetHandler =
    std::function<void(TObject* Sender, TwsSSLHandler aType, TkfxTLSIOHandler*& aSSLHandler)>;
using TkfxTCPOnSSLAfterCreateHandler =
    std::function<void(TObject* Sender, TwsSSLHandler aType, TkfxTLSIOHandler* aSSLHandler)>;
using TkfxReadThreadExceptionEvent = std::function<void(Exception& aException)>;

class TkfxIdTCPClient;

// Reads the socket of its client and runs its command queue (commands mode).
class TkfxTCPReadThread : public TkfxIdThread {
 public:
  explicit TkfxTCPReadThread(TkfxIdTCPClient* aClient);
  ~TkfxTCPReadThread() override;

  TNotifyEvent OnReadThread;
  TNotifyEvent OnReadMessage;
  TkfxReadThreadExceptionEvent OnReadException;

  bool ReadSocket() const { return FReadSocket.load(std::memory_order_acquire); }
  void SetReadSocket(bool aValue);
  TkfxTCPMode TCPMode() const { return FTCPMode.load(); }
  void SetTCPMode(TkfxTCPMode aValue) { FTCPMode.store(aValue); }
  bool Executed() const { return FExecuted.load(); }

  // Commands mode: always. Default mode: only once the first run step began.
  void Terminate() override;
  // Terminates whatever the mode and state (the owner is done with the thread).
  void TerminateNow() { TkfxIdThread::Terminate(); }
  // Ends the current wait at once (a command was queued).
  void Wake();

 protected:
  void Run() override;
  void StopRequested() override { Wake(); }
  virtual void DoReadMessage();
  virtual void DoReadException(Exception& aException);

 private:
  // Waits up to aTimeoutMs for bytes (appended to the input buffer) or a wake-up.
  void WaitForData(TIdIOHandler* aHandler, int aTimeoutMs);
  void WaitForWake(int aTimeoutMs);
  // Layered handlers: takes in what the socket already holds.
  void GatherAvailable(TIdIOHandler* aHandler);
  void DrainWake();

  TkfxIdTCPClient* FClient;
  std::atomic<bool> FReadSocket{false};
  std::atomic<bool> FExecuted{false};
  std::atomic<TkfxTCPMode> FTCPMode{TkfxTCPMode::tcpmDefault};
  // The reader left bytes it cannot use yet: wait for more before the next read.
  bool FNeedMoreData = false;
  // GatherAvailable found nothing more: the next wait need not look first.
  bool FSourceEmpty = false;
  int FWakeFd = -1;
  // A wake-up is written and not yet drained: further ones add nothing.
  std::atomic<bool> FWakePending{false};
};

// The transport client of the component, with its read thread and lock.
class TkfxIdTCPClient : public TIdTCPClient {
 public:
  explicit TkfxIdTCPClient(TComponent* AOwner = nullptr);
  ~TkfxIdTCPClient() override;

  using TIdTCPClient::Connect;
  using TIdTCPClient::Disconnect;
  void Connect() override;
  void Disconnect(bool ANotifyPeer) override;

  TNotifyEvent OnThread;
  TNotifyEvent OnRead;
  TkfxReadThreadExceptionEvent OnReadException;

  // Created on first access, wired to this client's events; null once the
  // client is retired.
  TkfxTCPReadThread* TCPRead();
  bool HasTCPRead();
  // True on the read thread itself.
  bool IsReadThread();
  void WakeReadThread();
  TkfxTCPMode TCPMode() const { return FTCPMode; }
  void SetTCPMode(TkfxTCPMode aValue) { FTCPMode = aValue; }

  void EnterCS() { DoEnterCS(); }
  void LeaveCS() { DoLeaveCS(); }

  virtual void DoThread();
  virtual void DoRead();
  virtual void DoReadException(Exception& aException);

  // Stops the read thread and waits for its end; from the thread itself it
  // only terminates it.
  void StopReadThread();
  // Stops the read thread for good: no read thread is made for this client
  // again, so a command that is still running when its owner lets go of the
  // client (a connect that ends with TCPRead) cannot start a new one.
  void Retire();

 protected:
  virtual void DoEnterCS();
  virtual void DoLeaveCS();

 private:
  TkfxTCPReadThread* FTCPRead = nullptr;  // owned, released with FreeThread
  std::mutex FTCPReadLock;                 // creation and release of FTCPRead, FRetired
  bool FRetired = false;
  TkfxTCPMode FTCPMode = TkfxTCPMode::tcpmDefault;
  std::unique_ptr<TkfxCriticalSection> FCS;
};

class TkfxQueueCommand : public TkfxQueueItemBase {
 public:
  const TIdBytes& Bytes() const { return FBytes; }
  void SetBytes(const TIdBytes& aValue) { FBytes = aValue; }
  TkfxTCPCommands Command() const { return FCommand; }
  void SetCommand(TkfxTCPCommands aValue) { FCommand = aValue; }

  TIdBytes FBytes;
  TkfxTCPCommands FCommand = TkfxTCPCommands::tcmNone;
  // Which connection a write belongs to (0: none in particular).
  uint64_t FGeneration = 0;
  uint64_t FSequence = 0;
  // Time budget of a tcmActive, in milliseconds.
  int FTimeout = 10000;
};

// The command queue; owns its items.
class TkfxQueueCommands : public TkfxQueue<TkfxQueueCommand> {
 public:
  TkfxQueueCommands() { OwnObjects = true; }
  // Each returns the command's sequence number (1, 2, ...).
  uint64_t AddCommand(TkfxTCPCommands aCommand, int aTimeout = 10000);
  // Takes the bytes: the caller's array is not referenced afterwards.
  uint64_t AddBytes(TIdBytes ABytes, uint64_t aGeneration = 0);
  // Takes the first command out of the queue; null when it is empty.
  std::unique_ptr<TkfxQueueCommand> Pop();
  // Takes the first command and, when it is a write, the writes of the same
  // generation right behind it, up to about aMaxBytes octets in all: they
  // can go out in one send. Null when the queue is empty.
  std::unique_ptr<TkfxQueueCommand> Pop(std::vector<std::unique_ptr<TkfxQueueCommand>>& aFollowing,
                                        size_t aMaxBytes);

 private:
  uint64_t Append(std::unique_ptr<TkfxQueueCommand> aCommand);
  uint64_t FLastSequence = 0;  // stamped under the queue's lock
};

class TkfxTCPConnectionClient;
using TkfxTCPConnectionClientRef = std::shared_ptr<TkfxTCPConnectionClient>;

// The plain-TCP connection object: every chunk read (or every frame ended by
// the end-of-frame marker) is one binary message.
class TkfxTCPConnectionClient : public TkfxTCPConnection_Id {
 public:
  TkfxTCPBinaryEvent OnBinary;

  // Empty unless a TLS handler negotiated one.
  std::string ALPNProtocol();

  // Consumes what the input buffer holds. Framed reading keeps the bytes
  // after the last marker (and chunks without one) for the next read.
  virtual void ReadData();
  // Reads while complete data is buffered; returns when the reader needs
  // more bytes, so the read thread can run commands while it waits.
  virtual void DoRead();
  void SetTCPConnection(TIdTCPConnection* aConnection) { AttachTCPConnection(aConnection); }
  virtual void DoBinary(TMemoryStream* aStream);

  // In commands mode writes from threads other than the read thread become
  // queued commands; the component installs the router.
  void WriteBytes(const TIdBytes& aBytes) override;
  std::function<bool(const TIdBytes& aBytes)> FWriteRouter;

 protected:
  void DeliverFrame(const TIdBytes& aBytes, size_t aCount);
  TIdBytes FCarry;
};

// Stops an activation that runs past its time budget: shuts the socket down
// (without closing it, which stays with the owning thread), so a blocked
// connect, proxy negotiation or TLS handshake returns with an error. One
// thread of the process watches every deadline, so an activation starts and
// joins no thread of its own.
class TkfxActivationDeadline {
 public:
  explicit TkfxActivationDeadline(int aTimeoutMs);
  // Once it returns, the watching thread no longer touches this deadline.
  ~TkfxActivationDeadline();
  void SocketAllocated(int aHandle);
  // Cuts the activation off now (its owner is being destroyed).
  void Expire();
  bool Expired() const { return FExpired.load(); }

 private:
  std::mutex FLock;
  bool FWatched = false;
  int FHandle = -1;  // a duplicate of the socket's descriptor
  std::atomic<bool> FExpired{false};
};

class TkfxTCPCLient_Common : public TkfxTCPComponent {
 public:
  explicit TkfxTCPCLient_Common(TComponent* AOwner);
  // A subclass that overrides the callbacks of this class calls ShutDown()
  // first in its own destructor: the threads that call them must be gone
  // before any part of the object is. Free() does it by itself.
  ~TkfxTCPCLient_Common() override;
  void BeforeDestruction() override;
  // Stops timers and threads and closes the socket without delivering events;
  // the first step of destruction.
  void ShutDown();

  // From state: a connection object exists and is open. Never reads the socket.
  virtual bool Active();
  // Never raises; failures go to DoException.
  virtual void SetActive(bool aValue);
  // Active := true and whether a connection object exists then; the
  // activation is cut off after aTimeout ms. False for aTimeout <= 0.
  bool Connect(int aTimeout);
  // Active := false and waits up to aTimeout ms for the connection object to go.
  bool Disconnect(int aTimeout);
  // Callable from any thread.
  void AddCommand(TkfxTCPCommands aCommand);
  // Takes the bytes (the caller's array is not referenced afterwards).
  void AddBytes(TIdBytes ABytes);

  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& aValue) { FHost = aValue; }
  int Port() const { return FPort; }
  void SetPort(int aValue) { FPort = aValue; }
  bool TLS() const { return FTLS; }
  void SetTLS(bool aValue) { FTLS = aValue; }
  TkfxTCPTLS_Options& TLSOptions() { return *FTLSOptions; }
  virtual void SetTLSOptions(const TkfxTCPTLS_Options& aValue) { FTLSOptions->Assign(&aValue); }
  TkfxTCPProxy_Options& Proxy() { return *FProxy; }
  virtual void SetProxy(const TkfxTCPProxy_Options& aValue) { FProxy->Assign(&aValue); }
  TkfxTCPHeartBeat_Options& HeartBeat() { return *FHeartBeat; }
  void SetHeartBeat(const TkfxTCPHeartBeat_Options& aValue) { FHeartBeat->Assign(&aValue); }
  TkfxTCPWatchDog_Options& WatchDog() { return *FWatchDog; }
  virtual void SetWatchDog(const TkfxTCPWatchDog_Options& aValue) { FWatchDog->Assign(&aValue); }
  // Created on first access.
  virtual TkfxTCPLogFile& LogFile();
  virtual void SetLogFile(const TkfxTCPLogFile& aValue) { LogFile().Assign(&aValue); }
  virtual TkfxTCPThrottle& Throttle();
  virtual void SetThrottle(const TkfxTCPThrottle& aValue) { Throttle().Assign(&aValue); }
  TkfxTCPKeepAlive& TCPKeepAlive() { return *FTCPKeepAlive; }
  void SetTCPKeepAlive(const TkfxTCPKeepAlive& aValue) { FTCPKeepAlive->Assign(&aValue); }
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool aValue) { FUseNagle = aValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion aValue) { FIPVersion = aValue; }
  // Milliseconds; 0 waits without limit.
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int aValue) { FConnectTimeout = aValue; }
  // Milliseconds; -1 waits without limit.
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int aValue) { FReadTimeout = aValue; }
  // Milliseconds; 0 leaves the socket's setting alone.
  int WriteTimeout() const { return FWriteTimeout; }
  void SetWriteTimeout(int aValue) { FWriteTimeout = aValue; }
  TkfxTCPMode TCPMode() const { return FTCPMode; }
  void SetTCPMode(TkfxTCPMode aValue) { FTCPMode = aValue; }
  uint16_t BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(uint16_t aValue) { FBoundPortMin = aValue; }
  uint16_t BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(uint16_t aValue) { FBoundPortMax = aValue; }
  int LingerState() const { return FLingerState; }
  void SetLingerState(int aValue) { FLingerState = aValue; }
  // The connection object; null when there is none. ConnectionRef keeps it
  // alive for as long as the caller holds the reference.
  TkfxTCPConnectionClient* Connection() const;
  TkfxTCPConnectionClientRef ConnectionRef() const;
  // The transport client (created on first use).
  TkfxIdTCPClient* TCPClient() { return GetTCPClient(); }

  TkfxTCPOnSSLGetHandler OnSSLGetHandler;
  TkfxTCPOnSSLAfterCreateHandler OnSSLAfterCreateHandler;

  void DoNotifyDisconnect(TkfxTCPConnection* Connection) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  void Loaded() override;

  virtual void DoStopReadThread();
  virtual void OnClientRead();
  virtual void OnClientReadException(Exception& aException);
  virtual void OnClientThread();
  // What a beat sends is the subclass's; nothing here.
  virtual void OnHeartBeatTimer(TObject* Sender);
  virtual void OnHeartBeatTimerException(TObject* Sender, const Exception& E);
  virtual void DoStartHeartBeat();
  virtual void DoStopHeartBeat();
  virtual void DoCommandExecuted(TkfxTCPCommands aCommand);
  virtual void DoProcessCommands();
  virtual void DoCreateConnection();
  // The connection object DoCreateConnection wires up and files.
  virtual TkfxTCPConnectionClientRef NewConnectionObject();
  virtual void OnConnectionBeforeDisconnect(TObject* Sender);
  virtual void OnClientConnected(TObject* Sender);
  virtual void OnClientDisconnected();
  virtual void OnClientStatus(TObject* ASender, TIdStatus AStatus, const std::string& AStatusText);
  virtual void OnConnectionBinary(TkfxTCPConnection* Connection, TMemoryStream* Data);
  virtual void DoPrepareDisconnect();
  // Unless OnSSLGetHandler supplies one, the TLS factory makes the handler of
  // TLSOptions.IOHandler from TLSOptions, answering passwords through
  // OnSSLGetPassword.
  virtual void GetSSLHandler(TwsSSLHandler aType, TkfxTLSIOHandler*& aSSLHandler);
  virtual void DoSetTLSHandler();
  virtual void OnSSLGetPassword(std::string& Password);
  virtual void DoStartWatchDog();
  virtual void DoStopWatchDog();
  // Counts the attempt; the subclass reconnects before calling this.
  virtual void OnWatchDogTimer(TObject* Sender);
  virtual void OnWatchDogTimerException(TObject* Sender, const Exception& E);

  // Creates (with its wiring) the transport client when there is none.
  TkfxIdTCPClient* GetTCPClient();
  // The connection object of the live connection (shared slot).
  void SetConnectionSlot(TkfxTCPConnectionClientRef aConnection);
  // The activation and deactivation steps, on the thread that owns the socket.
  void DoActivate();
  void DoDeactivate();
  // True on the thread that may use the socket now.
  bool OnOwnerThread();
  // Runs aCommand on the read thread and waits up to aTimeoutMs for it.
  bool RunCommandAndWait(TkfxTCPCommands aCommand, int aTimeoutMs);
  TkfxQueueCommands& Commands() { return *FCommands; }
  int DefaultActivationTimeout() const;
  // Closes what an activation left open without a connection object.
  void CloseLeftOverSocket();
  // Builds the intercept chain for this activation (may be null).
  virtual TIdConnectionIntercept* GetIntercept();
  virtual void DoSetProxy();

  std::unique_ptr<TkfxIdTCPClient> FTCPClient;
  std::unique_ptr<TkfxTCPKeepAlive> FTCPKeepAlive;
  std::atomic<bool> FReadingThread{false};
  TkfxTimer* FHeartBeatTimer = nullptr;  // released with FreeThread
  std::unique_ptr<TkfxTCPHeartBeat_Options> FHeartBeat;
  std::unique_ptr<TkfxQueueCommands> FCommands;
  std::atomic<bool> FDisconnecting{false};
  std::unique_ptr<TkfxTCPLogFile> FLogFile;
  std::unique_ptr<TkfxTCPThrottle> FThrottle;
  // Intercepts and proxy objects are components owned by this one, kept
  // across activations; the proxy objects are refreshed at each activation.
  TIdInterceptThrottler* FInterceptThrottle = nullptr;
  TkfxIdLogFileClient* FInterceptLogFile = nullptr;
  std::unique_ptr<TkfxTCPProxy_Options> FProxy;
  std::unique_ptr<TIdIOHandlerStack> FProxyIOHandler;
  TIdConnectThroughHttpProxy* FProxyHTTP = nullptr;
  TIdSocksInfo* FProxySocks = nullptr;
  TkfxTLSIOHandler* FHandlerSSL = nullptr;  // owned
  std::unique_ptr<TkfxTCPWatchDog_Options> FWatchDog;
  std::atomic<int> FWatchDogAttempts{0};
  TkfxTimer* FWatchDogTimer = nullptr;  // released with FreeThread
  std::atomic<bool> FWatchDogEnabled{false};
  std::string FHost;
  int FPort = 80;
  bool FTLS = false;
  std::unique_ptr<TkfxTCPTLS_Options> FTLSOptions;
  bool FUseNagle = false;
  TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4;
  int FConnectTimeout = 0;
  int FReadTimeout = -1;
  TkfxTCPMode FTCPMode = TkfxTCPMode::tcpmDefault;
  int FWriteTimeout = 0;
  uint16_t FBoundPortMax = 0;
  uint16_t FBoundPortMin = 0;
  int FLingerState = -1;
  bool FActive = false;

 private:
  void FreeTLSHandler();
  void FreeTCPClient();
  // Queues a write for the connection of aGeneration.
  void QueueWrite(const TIdBytes& aBytes, uint64_t aGeneration);

  mutable std::mutex FSlotLock;
  TkfxTCPConnectionClientRef FTCPConnection;  // guarded by FSlotLock
  std::recursive_mutex FTimerLock;           // the two timer references
  std::mutex FClientLock;                     // creation of the transport client
  std::atomic<uint64_t> FCommandsDone{0};
  std::atomic<uint64_t> FGeneration{0};
  std::atomic<int> FActivationTimeout{0};
  std::mutex FDeadlineLock;
  TkfxActivationDeadline* FDeadline = nullptr;  // during an activation; guarded by FDeadlineLock
  // Files aDeadline as the running activation's (null: none). Filed while
  // the component is being destroyed, it expires at once.
  void SetDeadline(TkfxActivationDeadline* aDeadline);
};
