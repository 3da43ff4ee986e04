#include "rtl/MainThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

struct TSyncEntry {
  TThreadMethod Method;
  const void* Owner = nullptr;
  bool Synchronous = false;
  // For synchronous entries: where the caller waits for the outcome.
  bool* Done = nullptr;
  std::exception_ptr* Error = nullptr;
};

struct TDispatcher {
  std::mutex Lock;
  std::condition_variable Changed;  // new entry, entry done, or a signalled wait
  std::deque<TSyncEntry> Queue;
  std::function<void()> Wake;
  // Queued entries running now, per owner. Entries nest (a handler that waits
  // with WaitServingMainThread runs synchronous calls meanwhile, and a GUI
  // handler may pump the event loop), so this is a count, not one record.
  std::unordered_map<const void*, int> Running;
  std::thread::id MainThreadId = std::this_thread::get_id();
  // The signals the main thread waits on now, innermost last: a synchronous
  // call queued meanwhile must wake it.
  std::vector<TkfxWaitSignal*> MainSignals;
  // Threads inside the SignalMainThread kind of wait; while none is, a
  // signal needs no broadcast.
  std::atomic<int> GenericWaiters{0};
};

TDispatcher& Dispatcher() {
  static TDispatcher instance;
  return instance;
}

// Captures the initialising thread as the main thread at program start.
[[maybe_unused]] const bool kMainThreadCaptured = (Dispatcher(), true);

void Enqueue(TSyncEntry aEntry) {
  auto& d = Dispatcher();
  std::function<void()> wake;
  {
    std::lock_guard guard(d.Lock);
    const bool synchronous = aEntry.Synchronous;
    d.Queue.push_back(std::move(aEntry));
    wake = d.Wake;
    // Signals stay registered while d.Lock is held, so none is gone here.
    if (synchronous && !d.MainSignals.empty()) d.MainSignals.back()->Signal();
  }
  d.Changed.notify_all();
  if (wake) wake();
}

}  // namespace

bool IsMainThread() { return std::this_thread::get_id() == Dispatcher().MainThreadId; }

void SetMainThread() {
  std::lock_guard guard(Dispatcher().Lock);
  Dispatcher().MainThreadId = std::this_thread::get_id();
}

void SetWakeMainThread(std::function<void()> aWake) {
  std::lock_guard guard(Dispatcher().Lock);
  Dispatcher().Wake = std::move(aWake);
}

void QueueOnMain(TThreadMethod aMethod, const void* aOwner, bool aDeferOnMain) {
  if (IsMainThread() && !aDeferOnMain) return aMethod();
  Enqueue(TSyncEntry{std::move(aMethod), aOwner, false, nullptr, nullptr});
}

void SynchronizeOnMain(TThreadMethod aMethod) {
  if (IsMainThread()) return aMethod();
  auto& d = Dispatcher();
  bool done = false;
  std::exception_ptr error;
  Enqueue(TSyncEntry{std::move(aMethod), nullptr, true, &done, &error});
  {
    std::unique_lock guard(d.Lock);
    d.Changed.wait(guard, [&] { return done; });
  }
  if (error) std::rethrow_exception(error);
}

bool CheckSynchronize(int aTimeoutMs, bool aSynchronousOnly) {
  if (!IsMainThread()) return false;
  auto& d = Dispatcher();
  auto eligible = [&](const TSyncEntry& e) { return e.Synchronous || !aSynchronousOnly; };
  auto findNext = [&] {
    for (auto it = d.Queue.begin(); it != d.Queue.end(); ++it)
      if (eligible(*it)) return it;
    return d.Queue.end();
  };
  std::unique_lock guard(d.Lock);
  if (aTimeoutMs > 0)
    d.Changed.wait_for(guard, std::chrono::milliseconds(aTimeoutMs),
                       [&] { return findNext() != d.Queue.end(); });
  bool ranAny = false;
  for (auto it = findNext(); it != d.Queue.end(); it = findNext()) {
    TSyncEntry entry = std::move(*it);
    d.Queue.erase(it);
    if (entry.Owner) ++d.Running[entry.Owner];
    guard.unlock();
    ranAny = true;
    std::exception_ptr error;
    try {
      entry.Method();
    } catch (...) {
      error = std::current_exception();
    }
    entry.Method = nullptr;  // release captured state before anyone is told
    guard.lock();
    if (entry.Owner) {
      const auto running = d.Running.find(entry.Owner);
      if (--running->second == 0) d.Running.erase(running);
    }
    if (entry.Synchronous) {
      *entry.Error = error;
      *entry.Done = true;
      d.Changed.notify_all();
    } else {
      d.Changed.notify_all();
      if (error) {
        guard.unlock();
        std::rethrow_exception(error);
      }
    }
  }
  return ranAny;
}

void RemoveQueuedEvents(const void* aOwner) {
  if (!aOwner) return;
  auto& d = Dispatcher();
  std::unique_lock guard(d.Lock);
  std::erase_if(d.Queue, [&](const TSyncEntry& e) { return !e.Synchronous && e.Owner == aOwner; });
  // On the main thread a running entry of aOwner is further up our own stack:
  // waiting for it would never end.
  if (!IsMainThread()) d.Changed.wait(guard, [&] { return !d.Running.contains(aOwner); });
}

bool WaitServingMainThread(const std::function<bool()>& aDone, int aTimeoutMs) {
  auto& d = Dispatcher();
  const bool onMain = IsMainThread();
  // Counted before aDone() is first looked at: a signaller that changes the
  // condition and then finds no waiter counted knows aDone() will see it.
  d.GenericWaiters.fetch_add(1);
  struct TUncount {
    TDispatcher& D;
    ~TUncount() { D.GenericWaiters.fetch_sub(1); }
  } uncount{d};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  for (;;) {
    if (onMain) CheckSynchronize(0, true);
    std::unique_lock guard(d.Lock);
    auto ready = [&] {
      if (aDone()) return true;
      if (!onMain) return false;
      for (const auto& e : d.Queue)
        if (e.Synchronous) return true;
      return false;
    };
    if (aTimeoutMs < 0) {
      d.Changed.wait(guard, ready);
    } else if (!d.Changed.wait_until(guard, deadline, ready)) {
      return aDone();
    }
    if (aDone()) return true;
  }
}

void SignalMainThread() {
  auto& d = Dispatcher();
  // A read-modify-write, like the waiter's count: when it finds no waiter,
  // the waiter's later count reads its result and so the waiter's first look
  // at its condition sees what the caller changed before calling.
  if (d.GenericWaiters.fetch_add(0) == 0) return;
  { std::lock_guard guard(d.Lock); }
  d.Changed.notify_all();
}

void TkfxWaitSignal::Signal() {
  {
    std::lock_guard guard(FLock);
    FSignalled = true;
  }
  FChanged.notify_one();
}

bool WaitServingMainThread(const std::function<bool()>& aDone, int aTimeoutMs, TkfxWaitSignal& aSignal) {
  auto& d = Dispatcher();
  const bool onMain = IsMainThread();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  struct TRegistration {
    TDispatcher& D;
    TkfxWaitSignal* Signal;
    explicit TRegistration(TDispatcher& aD, TkfxWaitSignal* aSignal) : D(aD), Signal(aSignal) {
      if (!Signal) return;
      std::lock_guard guard(D.Lock);
      D.MainSignals.push_back(Signal);
      // A synchronous call queued before we came must not wait for the next one.
      for (const auto& e : D.Queue)
        if (e.Synchronous) {
          Signal->Signal();
          break;
        }
    }
    ~TRegistration() {
      if (!Signal) return;
      std::lock_guard guard(D.Lock);
      std::erase(D.MainSignals, Signal);
    }
  } registration(d, onMain ? &aSignal : nullptr);
  for (;;) {
    if (onMain) CheckSynchronize(0, true);
    if (aDone()) return true;
    std::unique_lock guard(aSignal.FLock);
    if (aTimeoutMs < 0) {
      aSignal.FChanged.wait(guard, [&] { return aSignal.FSignalled; });
    } else if (!aSignal.FChanged.wait_until(guard, deadline, [&] { return aSignal.FSignalled; })) {
      guard.unlock();
      return aDone();
    }
    aSignal.FSignalled = false;
  }
}
