// The library's thread class, its periodic timer and a byte stream.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "base/kfxIdThread.h"
#include "rtl/Streams.h"

// How a component delivers its events: at once on the producing thread, queued
// to the main thread, or run on the main thread while the producer waits.
enum class TwsNotifyEvent { neNoSync, neAsynchronous, neSynchronous };

class TkfxIdThread : public TIdThread {
 public:
  TkfxIdThread(bool ACreateSuspended = true, bool ALoop = true, const std::string& AName = "");

  // A label set by the owner ("HeartBeat", "WatchDog"); used for nothing else.
  std::string DebugName() const;
  void SetDebugName(const std::string& aValue);
  // True while the thread is inside an event handler, on whichever thread
  // that handler runs (the timer's own, or the main thread).
  bool IsExecuting() const { return FIsExecuting.load(std::memory_order_acquire); }
  // True when the calling thread is the one running that handler: only then
  // is a caller possibly inside it.
  bool IsExecutingOnCallingThread() const;
  // True when called on this thread (false before its first run step).
  bool IsCurrentThread() const;
  uint32_t ThreadId() const { return FThreadId.load(std::memory_order_acquire); }

 protected:
  // Records the thread's id; subclasses call it at the start of their run step.
  void Run() override;
  // Marks the start (true) and end (false) of a handler call on the calling
  // thread. Calls nest: a handler that pumps the main thread's queue may run
  // the next tick inside itself.
  void SetIsExecuting(bool aValue);

 private:
  std::string FDebugName;
  std::atomic<uint32_t> FThreadId{0};
  std::atomic<bool> FIsExecuting{false};
  std::atomic<uint32_t> FExecutingThreadId{0};  // the thread running the handler
  int FExecutingDepth = 0;                       // guarded by FLock
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TkfxTimerOnException = std::function<void(TObject* Sender, const Exception& E)>;

// A periodic timer on its own thread. Each period is Interval rounded up to
// a multiple of 100 ms; a stop request ends a countdown at once, without a tick.
class TkfxTimer : public TkfxIdThread {
 public:
  TkfxTimer();
  void BeforeDestruction() override;

  int Interval() const { return FInterval.load(); }
  void SetInterval(int aValue) { FInterval.store(aValue); }
  bool Enabled() const { return FEnabled.load(); }
  void SetEnabled(bool aValue);
  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents; }
  void SetNotifyEvents(TwsNotifyEvent aValue) { FNotifyEvents = aValue; }

  TNotifyEvent OnTimer;
  TkfxTimerOnException OnException;

 protected:
  void Run() override;
  void StopRequested() override;
  // Fires OnTimer.
  virtual void DoTimer();
  // Fires OnException.
  virtual void DoTimerException(const Exception& E);

 private:
  // The number of stop requests so far; a period remembers it at its start.
  uint64_t StopRequests();
  // Waits until aDeadline unless a stop request beyond aSeen comes first;
  // true when one did.
  bool WaitOrStop(std::chrono::steady_clock::time_point aDeadline, uint64_t aSeen);

  std::atomic<bool> FEnabled{false};
  std::atomic<int> FInterval{60000};
  std::atomic<TwsNotifyEvent> FNotifyEvents{TwsNotifyEvent::neNoSync};
  std::mutex FWaitLock;
  std::condition_variable FWake;
  uint64_t FStopRequests = 0;  // guarded by FWaitLock
};

// A memory stream holding a copy of the given bytes, positioned at 0.
class TkfxBytesStream : public TMemoryStream {
 public:
  explicit TkfxBytesStream(const TIdBytes& ABytes);
};
