#include "tcp/kfxBase_Classes.h"

#include <chrono>

#include "tcp/kfxWebSocket_Helpers.h"

TkfxIdThread::TkfxIdThread(bool ACreateSuspended, bool ALoop, const std::string& AName)
    : TIdThread(ACreateSuspended, ALoop, AName) {}

std::string TkfxIdThread::DebugName() const {
  std::lock_guard guard(FLock);
  return FDebugName;
}

void TkfxIdThread::SetDebugName(const std::string& aValue) {
  std::lock_guard guard(FLock);
  FDebugName = aValue;
}

bool TkfxIdThread::IsCurrentThread() const {
  const uint32_t id = ThreadId();
  return id != 0 && id == CurrentThreadOSId();
}

void TkfxIdThread::Run() {
  if (ThreadId() == 0) FThreadId.store(CurrentThreadOSId(), std::memory_order_release);
}

// --- TkfxTimer ---

TkfxTimer::TkfxTimer() : TkfxIdThread(true, true, "") {
  // Disabling suspends the loop; enabling resumes it.
  SetStopMode(TIdThreadStopMode::smSuspend);
}

void TkfxTimer::BeforeDestruction() {
  TkfxIdThread::BeforeDestruction();
  // Ticks still queued for the main thread must not reach a freed timer; a
  // tick running there is waited for (unless we are that tick).
  RemoveQueuedEvents(this);
}

void TkfxTimer::SetEnabled(bool aValue) {
  FEnabled.store(aValue);
  if (aValue)
    Start();
  else
    Stop();
}

void TkfxTimer::StopRequested() {
  {
    std::lock_guard guard(FWaitLock);
    ++FStopRequests;
  }
  FWake.notify_all();
}

bool TkfxTimer::WaitOrStop(int aMilliseconds) {
  std::unique_lock guard(FWaitLock);
  const uint64_t seen = FStopRequests;
  return FWake.wait_for(guard, std::chrono::milliseconds(aMilliseconds),
                        [&] { return FStopRequests != seen; });
}

void TkfxTimer::Run() {
  TkfxIdThread::Run();
  // One period: Interval (read now) rounded up to whole 100 ms steps, at least one.
  const int steps = std::max(1, (Interval() + 99) / 100);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(steps * 100);
  for (;;) {
    if (Stopped() || !Enabled()) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    WaitOrStop(static_cast<int>(left));
  }
  if (Stopped() || !Enabled()) return;
  try {
    switch (NotifyEvents()) {
      case TwsNotifyEvent::neNoSync: DoTimer(); break;
      case TwsNotifyEvent::neAsynchronous: QueueOnMainThread([this] { DoTimer(); }, this); break;
      case TwsNotifyEvent::neSynchronous: SynchronizeOnMainThread([this] { DoTimer(); }); break;
    }
  } catch (const Exception& E) {
    DoTimerException(E);
  } catch (const std::exception& E) {
    DoTimerException(Exception(E.what()));
  }
}

void TkfxTimer::DoTimer() {
  if (!OnTimer) return;
  SetIsExecuting(true);
  try {
    OnTimer(this);
  } catch (const Exception& E) {
    SetIsExecuting(false);
    if (!OnException) throw;
    DoTimerException(E);
    return;
  } catch (...) {
    SetIsExecuting(false);
    throw;
  }
  SetIsExecuting(false);
}

void TkfxTimer::DoTimerException(const Exception& E) {
  if (!OnException) return;
  SetIsExecuting(true);
  try {
    OnException(this, E);
  } catch (...) {
    SetIsExecuting(false);
    throw;
  }
  SetIsExecuting(false);
}

// --- TkfxBytesStream ---

TkfxBytesStream::TkfxBytesStream(const TIdBytes& ABytes) {
  FData = ABytes;
  FPosition = 0;
}
