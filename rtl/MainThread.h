// Main-thread dispatch.
//
// One process-wide queue of calls for the main thread. Other threads either
// queue a call and go on (QueueOnMain) or queue it and wait until it has run
// (SynchronizeOnMain). The main thread runs the queue in CheckSynchronize:
// a console program or a test calls it itself; a GUI application installs a
// wake-up hook that makes its event loop call it soon after each new entry.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

using TThreadMethod = std::function<void()>;

// The main thread is the thread that initialised the program, unless a
// program names another one with SetMainThread (called on that thread).
bool IsMainThread();
void SetMainThread();

// Installed by a GUI: called (from any thread) whenever an entry is queued.
// It must make the main thread call CheckSynchronize soon; it must not run it.
void SetWakeMainThread(std::function<void()> aWake);

// Queues aMethod for the main thread and returns at once. On the main thread
// it runs at once, unless aDeferOnMain. aOwner tags the entry for RemoveQueuedEvents.
void QueueOnMain(TThreadMethod aMethod, const void* aOwner = nullptr, bool aDeferOnMain = false);

// Runs aMethod on the main thread and waits until it has returned; an
// exception it raises is raised again in the caller. On the main thread it
// runs at once.
void SynchronizeOnMain(TThreadMethod aMethod);

// Main thread only: runs the pending calls, waiting up to aTimeoutMs for the
// first one (0: no wait). Returns true when it ran any. An exception raised
// by a queued (not synchronous) call leaves CheckSynchronize; the entries
// behind it stay queued. With aSynchronousOnly, queued calls are left alone.
bool CheckSynchronize(int aTimeoutMs = 0, bool aSynchronousOnly = false);

// Discards the queued calls tagged with aOwner. When calls of aOwner are
// running on the main thread (nested ones included) and the caller is another
// thread, waits until all of them have returned.
void RemoveQueuedEvents(const void* aOwner);

// Waits until aDone() is true. On the main thread it keeps running
// synchronous calls meanwhile, so a thread that waits for the main thread can
// finish. Whoever makes aDone() true must call SignalMainThread() afterwards.
// aTimeoutMs < 0 waits without limit; returns aDone().
bool WaitServingMainThread(const std::function<bool()>& aDone, int aTimeoutMs = -1);
// Wakes the waits above. Costs a lock and nothing more while none is waiting.
void SignalMainThread();

// The wake-up of one waiter: whoever makes its condition true calls Signal,
// which wakes that waiter only (a signal given while nobody waits is kept for
// the next wait). Many threads may wait each on its own signal without waking
// each other, as they would on SignalMainThread.
class TkfxWaitSignal {
 public:
  void Signal();

 private:
  friend bool WaitServingMainThread(const std::function<bool()>&, int, TkfxWaitSignal&);
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FSignalled = false;  // guarded by FLock
};

// As above, but woken by aSignal (and, on the main thread, by a synchronous
// call queued for it) instead of SignalMainThread.
bool WaitServingMainThread(const std::function<bool()>& aDone, int aTimeoutMs, TkfxWaitSignal& aSignal);
