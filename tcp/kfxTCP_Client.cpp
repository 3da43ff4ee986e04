#include "tcp/kfxTCP_Client.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <typeinfo>
#include <thread>

#include "base/kfxBase_Helpers.h"
#include "base/kfxWebSocket_Helpers.h"
#include "tls/kfxSSL_SChannel_Id.h"
#include "tls/kfxTCP_Client_OpenSSL.h"
#include "transport/IdExceptionCore.h"

const std::vector<std::string> TCPModeNames{"tcpmDefault", "tcpmCommands"};

namespace {

// Command identifiers are never looked up; a fast generator keeps the write
// path free of a random-device read per command.
std::string CommandGUIDText() {
  thread_local std::mt19937_64 generator([] {
    const std::string seed = NewGUIDText();
    return std::hash<std::string>{}(seed);
  }());
  static const char kHex[] = "0123456789ABCDEF";
  std::string text(32, '0');
  for (int half = 0; half < 2; ++half) {
    uint64_t value = generator();
    for (int i = 0; i < 16; ++i, value >>= 4) text[static_cast<size_t>(half * 16 + i)] = kHex[value & 15];
  }
  return text;
}

}  // namespace

// --- TkfxActivationDeadline ---

namespace {

// The thread that watches every activation's deadline, started with the
// first one and kept for the life of the process (it is never destroyed, so
// it cannot outlive its own state at exit).
class TDeadlineWatch {
 public:
  using Clock = std::chrono::steady_clock;

  static TDeadlineWatch& Get() {
    static TDeadlineWatch* watch = new TDeadlineWatch;
    return *watch;
  }

  void Add(TkfxActivationDeadline* aDeadline, Clock::time_point aAt) {
    std::lock_guard guard(FLock);
    FDeadlines.emplace(aAt, aDeadline);
    if (!FStarted) {
      std::thread([this] { Run(); }).detach();
      FStarted = true;
    }
    FChanged.notify_one();
  }

  // After it returns the deadline is neither watched nor being expired.
  void Remove(TkfxActivationDeadline* aDeadline) {
    std::unique_lock lock(FLock);
    for (auto at = FDeadlines.begin(); at != FDeadlines.end(); ++at) {
      if (at->second == aDeadline) {
        FDeadlines.erase(at);
        break;
      }
    }
    FExpired.wait(lock, [&] { return FExpiring != aDeadline; });
  }

 private:
  [[noreturn]] void Run() {
    std::unique_lock lock(FLock);
    for (;;) {
      if (FDeadlines.empty()) {
        FChanged.wait(lock);
        continue;
      }
      const auto first = FDeadlines.begin();
      // A copy: the wait takes it by reference, and the entry may go while
      // the lock is released.
      const Clock::time_point at = first->first;
      if (Clock::now() < at) {
        FChanged.wait_until(lock, at);
        continue;
      }
      TkfxActivationDeadline* deadline = first->second;
      FExpiring = deadline;
      FDeadlines.erase(first);
      lock.unlock();
      deadline->Expire();
      lock.lock();
      FExpiring = nullptr;
      FExpired.notify_all();
    }
  }

  std::mutex FLock;
  std::condition_variable FChanged, FExpired;
  std::multimap<Clock::time_point, TkfxActivationDeadline*> FDeadlines;
  TkfxActivationDeadline* FExpiring = nullptr;  // being expired, outside the lock
  bool FStarted = false;
};

}  // namespace

TkfxActivationDeadline::TkfxActivationDeadline(int aTimeoutMs) {
  if (aTimeoutMs <= 0) return;
  FWatched = true;
  TDeadlineWatch::Get().Add(this, TDeadlineWatch::Clock::now() + std::chrono::milliseconds(aTimeoutMs));
}

TkfxActivationDeadline::~TkfxActivationDeadline() {
  if (FWatched) TDeadlineWatch::Get().Remove(this);
  if (FHandle >= 0) ::close(FHandle);
}

void TkfxActivationDeadline::Expire() {
  std::lock_guard guard(FLock);
  FExpired = true;
  if (FHandle >= 0) ::shutdown(FHandle, SHUT_RDWR);
}

void TkfxActivationDeadline::SocketAllocated(int aHandle) {
  std::lock_guard guard(FLock);
  if (FHandle >= 0) ::close(FHandle);
  // A duplicate names the same socket and cannot be reused for another one
  // while we hold it, whatever the owner does with its descriptor.
  FHandle = aHandle >= 0 ? ::dup(aHandle) : -1;
  if (FExpired && FHandle >= 0) ::shutdown(FHandle, SHUT_RDWR);
}

// --- TkfxTCPReadThread ---

TkfxTCPReadThread::TkfxTCPReadThread(TkfxIdTCPClient* aClient)
    : TkfxIdThread(true, true, ""), FClient(aClient) {
  FWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

TkfxTCPReadThread::~TkfxTCPReadThread() {
  if (FWakeFd >= 0) ::close(FWakeFd);
}

void TkfxTCPReadThread::SetReadSocket(bool aValue) {
  FReadSocket.store(aValue, std::memory_order_release);
  Wake();
}

void TkfxTCPReadThread::Terminate() {
  if (FTCPMode == TkfxTCPMode::tcpmDefault && !FExecuted.load()) return;
  TkfxIdThread::Terminate();
}

void TkfxTCPReadThread::Wake() {
  if (FWakeFd < 0) return;
  // The thread looks at its commands after every drain, so one wake-up
  // outstanding covers everything queued before the drain.
  if (FWakePending.exchange(true)) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(FWakeFd, &one, sizeof one);
}

void TkfxTCPReadThread::DrainWake() {
  // One read resets the counter.
  uint64_t count;
  [[maybe_unused]] const ssize_t n = ::read(FWakeFd, &count, sizeof count);
  // Cleared after the read: a Wake that came before this point wrote nothing
  // or was drained, and its command runs next, since commands run after each
  // drain; one that comes later writes again.
  FWakePending.store(false);
}

void TkfxTCPReadThread::WaitForWake(int aTimeoutMs) {
  pollfd fd{FWakeFd, POLLIN, 0};
  if (::poll(&fd, 1, aTimeoutMs) > 0) DrainWake();
}

void TkfxTCPReadThread::WaitForData(TIdIOHandler* aHandler, int aTimeoutMs) {
  // A layer above the socket (TLS) may hold data the socket no longer shows,
  // unless the last gathering just found it empty.
  const bool layered = typeid(*aHandler) != typeid(TIdIOHandlerStack);
  if (layered && !FSourceEmpty && aHandler->CheckForDataOnSource(0)) return;
  auto* socket = dynamic_cast<TIdIOHandlerSocket*>(aHandler);
  if (!socket || !socket->BindingAllocated() || Terminated()) return WaitForWake(aTimeoutMs);
  pollfd fds[2] = {{static_cast<int>(socket->Binding()->Handle()), POLLIN, 0},
                   {FWakeFd, POLLIN, 0}};
  if (::poll(fds, 2, aTimeoutMs) <= 0) return;
  if (fds[1].revents) DrainWake();
  if (fds[0].revents) {
    FSourceEmpty = false;
    aHandler->ReadFromSource(false, 0, false);
  }
}

void TkfxTCPReadThread::GatherAvailable(TIdIOHandler* aHandler) {
  // A layer above the socket (TLS) hands over one record per read. What is
  // already on the socket is taken now, so the reader sees it in one pass
  // and answers it in one go, instead of one wake-up per record.
  if (typeid(*aHandler) == typeid(TIdIOHandlerStack)) return;
  constexpr int kMaxGathered = 256 * 1024;
  FClient->EnterCS();
  try {
    for (int i = 0; i < 256 && aHandler->InputBuffer()->Size() < kMaxGathered; ++i)
      if (aHandler->ReadFromSource(false, 0, false) <= 0) {
        FSourceEmpty = true;
        break;
      }
  } catch (...) {
    FClient->LeaveCS();
    throw;
  }
  FClient->LeaveCS();
}

void TkfxTCPReadThread::Run() {
  TkfxIdThread::Run();
  FExecuted.store(true);
  try {
    if (!Terminated() && OnReadThread) OnReadThread(this);
    if (!ReadSocket()) {
      FSourceEmpty = false;
      // Commands are picked up at once through the wake-up descriptor.
      WaitForWake(10);
      return;
    }
    TIdIOHandler* handler = FClient ? FClient->IOHandler() : nullptr;
    if (!Terminated() && handler && (handler->InputBufferIsEmpty() || FNeedMoreData)) {
      FClient->EnterCS();
      try {
        WaitForData(handler, 10);
      } catch (...) {
        FClient->LeaveCS();
        throw;
      }
      FClient->LeaveCS();
      FNeedMoreData = false;
    }
    handler = FClient ? FClient->IOHandler() : nullptr;
    if (!Terminated() && handler && !handler->InputBufferIsEmpty()) {
      GatherAvailable(handler);
      const int before = handler->InputBuffer()->Size();
      DoReadMessage();
      handler = FClient ? FClient->IOHandler() : nullptr;
      // Nothing taken: the reader waits for the rest of a frame.
      FNeedMoreData = handler && !handler->InputBufferIsEmpty() &&
                      handler->InputBuffer()->Size() == before;
    }
    if (Terminated()) return;
    if (ReadSocket() && FClient && FClient->IOHandler())
      FClient->IOHandler()->CheckForDisconnect(true, false);
  } catch (Exception& E) {
    FNeedMoreData = false;
    FSourceEmpty = false;
    if (FTCPMode == TkfxTCPMode::tcpmCommands)
      FReadSocket.store(false);
    else if (!Terminated())
      Terminate();
    DoReadException(E);
    if (FTCPMode == TkfxTCPMode::tcpmDefault && dynamic_cast<EIdSilentException*>(&E)) throw;
  }
}

void TkfxTCPReadThread::DoReadMessage() {
  if (!OnReadMessage) return;
  SetIsExecuting(true);
  try {
    OnReadMessage(this);
  } catch (...) {
    SetIsExecuting(false);
    throw;
  }
  SetIsExecuting(false);
}

void TkfxTCPReadThread::DoReadException(Exception& aException) {
  if (!OnReadException) return;
  SetIsExecuting(true);
  try {
    OnReadException(aException);
  } catch (...) {
    SetIsExecuting(false);
    throw;
  }
  SetIsExecuting(false);
}

// --- TkfxIdTCPClient ---

TkfxIdTCPClient::TkfxIdTCPClient(TComponent* AOwner)
    : TIdTCPClient(AOwner), FCS(std::make_unique<TkfxCriticalSection>()) {}

TkfxIdTCPClient::~TkfxIdTCPClient() {
  TkfxTCPReadThread* thread;
  {
    std::lock_guard guard(FTCPReadLock);
    FRetired = true;
    thread = FTCPRead;
    FTCPRead = nullptr;
  }
  if (thread) {
    thread->TerminateNow();
    FreeThread(thread);
  }
  // The socket goes before the lock and the events it reports through.
  try {
    if (IOHandler() && IOHandler()->Opened()) IOHandler()->Close();
  } catch (...) {
    // A destructor: the socket is released whether or not the close
    // reported a failure, and nobody is left to hear of it.
  }
  OnStatus = nullptr;
}

TkfxTCPReadThread* TkfxIdTCPClient::TCPRead() {
  std::lock_guard guard(FTCPReadLock);
  if (!FTCPRead && !FRetired) {
    auto* thread = NewObject<TkfxTCPReadThread>(this);
    thread->OnReadMessage = [this](TObject*) { DoRead(); };
    thread->OnReadException = [this](Exception& E) { DoReadException(E); };
    thread->OnReadThread = [this](TObject*) { DoThread(); };
    thread->SetTCPMode(FTCPMode);
    thread->Start();
    FTCPRead = thread;
  }
  return FTCPRead;
}

bool TkfxIdTCPClient::HasTCPRead() {
  std::lock_guard guard(FTCPReadLock);
  return FTCPRead != nullptr;
}

bool TkfxIdTCPClient::IsReadThread() {
  std::lock_guard guard(FTCPReadLock);
  return FTCPRead && FTCPRead->IsCallingThread();
}

void TkfxIdTCPClient::WakeReadThread() {
  std::lock_guard guard(FTCPReadLock);
  if (FTCPRead) FTCPRead->Wake();
}

void TkfxIdTCPClient::StopReadThread() {
  TkfxTCPReadThread* thread;
  {
    std::lock_guard guard(FTCPReadLock);
    thread = FTCPRead;
    if (thread && thread->IsCallingThread()) {
      thread->TerminateNow();
      return;
    }
    FTCPRead = nullptr;
  }
  if (!thread) return;
  thread->TerminateNow();
  FreeThread(thread);
}

void TkfxIdTCPClient::Retire() {
  {
    std::lock_guard guard(FTCPReadLock);
    FRetired = true;
  }
  StopReadThread();
}

void TkfxIdTCPClient::Connect() {
  if (FTCPMode == TkfxTCPMode::tcpmCommands) {
    // Writes go out from the read thread, which also reads: a peer that
    // resets while taking our data is still read to its end.
    if (IOHandler()) IOHandler()->SetReadAfterWriteError(true);
    TIdTCPClient::Connect();
    if (IOHandler()) IOHandler()->SetReadAfterWriteError(true);
    // Retired meanwhile: the owner closes what this connect opened.
    if (TkfxTCPReadThread* thread = TCPRead()) thread->SetReadSocket(true);
    return;
  }
  StopReadThread();
  TIdTCPClient::Connect();
  try {
    if (TkfxTCPReadThread* thread = TCPRead()) thread->SetReadSocket(true);
  } catch (const Exception&) {
    // No read thread could be started: the connection is given up at once,
    // which reports the disconnect; the failure itself is not passed on.
    Disconnect(true);
  }
}

void TkfxIdTCPClient::Disconnect(bool ANotifyPeer) {
  if (FTCPMode == TkfxTCPMode::tcpmCommands) {
    {
      std::lock_guard guard(FTCPReadLock);
      if (FTCPRead) FTCPRead->SetReadSocket(false);
    }
    TIdTCPClient::Disconnect(ANotifyPeer);
    if (IOHandler() && !IOHandler()->InputBufferIsEmpty()) IOHandler()->InputBuffer()->Clear();
    return;
  }
  // Default mode: the read thread ends before the socket is closed, so the
  // socket is never used by two threads. From the read thread itself the
  // close happens here and the thread ends after this step.
  StopReadThread();
  TIdTCPClient::Disconnect(ANotifyPeer);
  if (IOHandler() && !IOHandler()->InputBufferIsEmpty()) IOHandler()->InputBuffer()->Clear();
}

void TkfxIdTCPClient::DoThread() {
  if (OnThread) OnThread(this);
}

void TkfxIdTCPClient::DoRead() {
  if (OnRead) OnRead(this);
}

void TkfxIdTCPClient::DoReadException(Exception& aException) {
  if (OnReadException) OnReadException(aException);
}

void TkfxIdTCPClient::DoEnterCS() { FCS->Acquire(); }

void TkfxIdTCPClient::DoLeaveCS() { FCS->Release(); }

// --- command queue ---

uint64_t TkfxQueueCommands::Append(std::unique_ptr<TkfxQueueCommand> aCommand) {
  aCommand->ID = CommandGUIDText();
  uint64_t sequence = 0;
  AddItemStamped(aCommand.release(), [&](TkfxQueueCommand& aItem) { sequence = aItem.FSequence = ++FLastSequence; });
  return sequence;
}

uint64_t TkfxQueueCommands::AddCommand(TkfxTCPCommands aCommand, int aTimeout) {
  auto item = std::make_unique<TkfxQueueCommand>();
  item->FCommand = aCommand;
  item->FTimeout = aTimeout;
  return Append(std::move(item));
}

uint64_t TkfxQueueCommands::AddBytes(TIdBytes ABytes, uint64_t aGeneration) {
  auto item = std::make_unique<TkfxQueueCommand>();
  item->FCommand = TkfxTCPCommands::tcmWriteBytes;
  item->FBytes = std::move(ABytes);
  item->FGeneration = aGeneration;
  return Append(std::move(item));
}

std::unique_ptr<TkfxQueueCommand> TkfxQueueCommands::Pop() {
  std::vector<TkfxQueueCommand*> taken = TakeFirstRun([](const TkfxQueueCommand&, const TkfxQueueCommand&) { return false; });
  return std::unique_ptr<TkfxQueueCommand>(taken.empty() ? nullptr : taken.front());
}

std::unique_ptr<TkfxQueueCommand> TkfxQueueCommands::Pop(
    std::vector<std::unique_ptr<TkfxQueueCommand>>& aFollowing, size_t aMaxBytes) {
  size_t bytes = SIZE_MAX;  // counted from the first item on
  std::vector<TkfxQueueCommand*> taken =
      TakeFirstRun([&](const TkfxQueueCommand& aFirst, const TkfxQueueCommand& aNext) {
        if (bytes == SIZE_MAX) bytes = aFirst.FBytes.size();
        if (aFirst.FCommand != TkfxTCPCommands::tcmWriteBytes || aNext.FCommand != TkfxTCPCommands::tcmWriteBytes ||
            aNext.FGeneration != aFirst.FGeneration || bytes >= aMaxBytes)
          return false;
        bytes += aNext.FBytes.size();
        return true;
      });
  if (taken.empty()) return nullptr;
  for (size_t i = 1; i < taken.size(); ++i) aFollowing.emplace_back(taken[i]);
  return std::unique_ptr<TkfxQueueCommand>(taken.front());
}

// --- TkfxTCPConnectionClient ---

std::string TkfxTCPConnectionClient::ALPNProtocol() {
  if (!FTCPConnection || !FTCPConnection->IOHandler()) return "";
  TIdIOHandler* handler = FTCPConnection->IOHandler();
  // Only the two handlers the component creates tell; a subclass may not.
  if (typeid(*handler) != typeid(TkfxIdSSLIOHandlerSocketOpenSSL) &&
      typeid(*handler) != typeid(TkfxIdSSLIOHandlerSocketSChannel))
    return "";
  return static_cast<TIdSSLIOHandlerSocketBase*>(handler)->GetALPNProtocol();
}

void TkfxTCPConnectionClient::WriteBytes(const TIdBytes& aBytes) {
  if (FWriteRouter && FWriteRouter(aBytes)) return;
  TkfxTCPConnection_Id::WriteBytes(aBytes);
}

void TkfxTCPConnectionClient::DoRead() {
  auto readable = [this] {
    return FTCPConnection && FTCPConnection->IOHandler() &&
           !FTCPConnection->IOHandler()->InputBufferIsEmpty() && !Disconnected() &&
           !MustDisconnect();
  };
  while (readable()) {
    const int before = GetReadBufferSize();
    ReadData();
    if (GetReadBufferSize() == before) break;
  }
}

void TkfxTCPConnectionClient::DeliverFrame(const TIdBytes& aBytes, size_t aCount) {
  TMemoryStream stream;
  if (aCount) stream.WriteBuffer(aBytes.data(), static_cast<int64_t>(aCount));
  stream.SetPosition(0);
  DoBinary(&stream);
}

void TkfxTCPConnectionClient::ReadData() {
  const int n = GetReadBufferSize();
  if (n <= 0) return;
  TIdBytes chunk;
  ReadBytes(chunk, n);
  const TIdBytes& marker = FTCPEndOfFrame;
  if (FTCPEndOfFrameScanBuffer == TtcpEOFScanBuffer::eofScanNone || marker.empty()) {
    DeliverFrame(chunk, chunk.size());
    return;
  }
  ConcatBytes(chunk, FCarry);
  if (FTCPEndOfFrameScanBuffer == TtcpEOFScanBuffer::eofScanLatestBytes) {
    // Everything up to a chunk that ends with the marker is one message.
    if (FCarry.size() >= marker.size() &&
        std::equal(marker.begin(), marker.end(), FCarry.end() - static_cast<long>(marker.size()))) {
      TIdBytes frame;
      frame.swap(FCarry);
      DeliverFrame(frame, frame.size());
    }
    return;
  }
  // eofScanAllBytes: every marker ends one message; the rest waits.
  for (;;) {
    auto at = std::search(FCarry.begin(), FCarry.end(), marker.begin(), marker.end());
    if (at == FCarry.end()) break;
    const size_t count = static_cast<size_t>(at - FCarry.begin()) + marker.size();
    TIdBytes frame(FCarry.begin(), FCarry.begin() + static_cast<long>(count));
    FCarry.erase(FCarry.begin(), FCarry.begin() + static_cast<long>(count));
    DeliverFrame(frame, frame.size());
    if (Disconnected() || MustDisconnect()) break;
  }
}

void TkfxTCPConnectionClient::DoBinary(TMemoryStream* aStream) {
  if (OnBinary) OnBinary(this, aStream);
}
