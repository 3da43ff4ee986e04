// The library's thread class, its periodic timer and a byte stream.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "rtl/Streams.h"
#include "tcp/kfxIdThread.h"

// How a component delivers its events: at once on the producing thread, queued
// to the main thread, or run on the main thread while the producer waits.
enum class TwsNotifyEvent { neNoSync, neAsynchronous, neSynchronous };

class TkfxIdThread : public TIdThread {
 public:
  TkfxIdThread(bool ACreateSuspended = true, bool ALoop = true, const std::string& AName = "");

  // A label set by the owner ("HeartBeat", "WatchDog"); used for nothing else.
  std::string DebugName() const;
  void SetDebugName(const std::string& aValue);
  // True while the thread is inside an event handler.
  bool IsExecuting() const { return FIsExecuting.load(std::memory_order_acquire); }
  // True when called on this thread (false before its first run step).
  bool IsCurrentThread() const;
  uint32_t ThreadId() const { return FThreadId.load(std::memory_order_acquire); }

 protected:
  // Records the thread's id; subclasses call it at the start of their run step.
  void Run() override;
  void SetIsExecuting(bool aValue) { FIsExecuting.store(aValue, std::memory_order_release); }

 private:
  std::string FDebugName;
  std::atomic<uint32_t> FThreadId{0};
  std::atomic<bool> FIsExecuting{false};
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
  // Waits aMilliseconds unless a stop request comes first; true when it did.
  bool WaitOrStop(int aMilliseconds);

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
