#include "base/kfxBase_Classes.h"

#include <chrono>

#include "base/kfxBase_Errors.h"
#include "base/kfxWebSocket_Helpers.h"

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

bool TkfxIdThread::IsExecutingOnCallingThread() const {
  const uint32_t id = FExecutingThreadId.load(std::memory_order_acquire);
  return id != 0 && id == CurrentThreadOSId();
}

void TkfxIdThread::SetIsExecuting(bool aValue) {
  std::lock_guard guard(FLock);
  if (aValue) {
    if (FExecutingDepth++ == 0) {
      FExecutingThreadId.store(CurrentThreadOSId(), std::memory_order_release);
      FIsExecuting.store(true, std::memory_order_release);
    }
  } else if (FExecutingDepth > 0 && --FExecutingDepth == 0) {
    FIsExecuting.store(false, std::memory_order_release);
    FExecutingThreadId.store(0, std::memory_order_release);
  }
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

uint64_t TkfxTimer::StopRequests() {
  std::lock_guard guard(FWaitLock);
  return FStopRequests;
}

bool TkfxTimer::WaitOrStop(std::chrono::steady_clock::time_point aDeadline, uint64_t aSeen) {
  std::unique_lock guard(FWaitLock);
  return FWake.wait_until(guard, aDeadline, [&] { return FStopRequests != aSeen; });
}

void TkfxTimer::Run() {
  TkfxIdThread::Run();
  // The stop counter is read before the flags: Stop and Terminate set their
  // flag before they count, so a request is either seen by the check below
  // or ends the countdown. Either way the period ends without a tick, and a
  // timer enabled again starts a full new period.
  const uint64_t seen = StopRequests();
  if (Stopped() || !Enabled()) return;
  // One period: Interval (read now) rounded up to whole 100 ms steps, at least one.
  const int64_t steps = std::max<int64_t>(1, (int64_t{Interval()} + 99) / 100);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(steps * 100);
  if (WaitOrStop(deadline, seen)) return;
  if (Stopped() || !Enabled()) return;
  ReportFailures(
      [this] {
        switch (NotifyEvents()) {
          case TwsNotifyEvent::neNoSync: DoTimer(); break;
          case TwsNotifyEvent::neAsynchronous: QueueOnMainThread([this] { DoTimer(); }, this); break;
          case TwsNotifyEvent::neSynchronous: SynchronizeOnMainThread([this] { DoTimer(); }); break;
        }
      },
      [this](Exception& E) { DoTimerException(E); });
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
