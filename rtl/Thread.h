// TThread: an operating-system thread as an object.
//
// A subclass supplies Execute. The thread starts when construction is
// complete (NewObject calls AfterConstruction), or at the first Start when
// created suspended. A thread suspends itself at its own check points
// (Suspend) and another thread resumes it with Start. Release a thread with
// Free (or TOwned): that terminates it, resumes it when suspended and waits
// for its end before any destructor runs. With FreeOnTerminate the thread
// releases itself when Execute has returned.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "rtl/System.h"

class TThread : public TObject {
 public:
  explicit TThread(bool CreateSuspended);
  ~TThread() override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

  // Starts a thread created suspended, or resumes one that suspended itself.
  void Start();
  // Sets Terminated and calls TerminatedSet; Execute must look at Terminated.
  void Terminate();
  // Waits for the end of the thread and returns ReturnValue. On the main
  // thread it runs synchronous main-thread calls meanwhile.
  int WaitFor();

  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  bool Suspended() const { return FSuspended.load(std::memory_order_acquire); }
  bool Finished() const { return FFinished.load(std::memory_order_acquire); }
  bool FreeOnTerminate() const;
  void SetFreeOnTerminate(bool aValue);
  // Atomically: when the thread has already finished, returns true (the caller
  // now frees it); otherwise sets FreeOnTerminate and returns false. Also
  // false, changing nothing, while another caller is freeing the thread.
  bool FreeOnTerminateUnlessFinished();
  int ReturnValue() const { return FReturnValue.load(); }
  void SetReturnValue(int aValue) { FReturnValue.store(aValue); }
  // The exception that left Execute, if any.
  std::exception_ptr FatalException() const { return FFatalException; }
  // True when called on this object's own thread.
  bool IsCallingThread() const;

  // The operating-system id of the calling thread.
  static uint32_t CurrentThreadOSId();
  // Names the calling thread (shown by debuggers; 15 characters at most).
  static void NameThreadForDebugging(const std::string& aName);

 protected:
  virtual void Execute() = 0;
  virtual void TerminatedSet() {}
  // Runs on the thread after Execute, also when Execute raised.
  virtual void DoTerminate() {}
  // Called on the thread itself: when aStillWanted() holds (checked under the
  // same lock Start takes, so a Start cannot slip in between), blocks until
  // Start resumes it. aStillWanted must not call Start.
  void SuspendWhile(const std::function<bool()>& aStillWanted);

 private:
  void Launch();
  void ThreadProc();

  std::thread FThread;
  mutable std::mutex FStateLock;
  std::condition_variable FResumed;
  bool FLaunched = false;
  std::atomic<bool> FSuspended;
  bool FCreateSuspended;
  bool FFreeOnTerminate = false;
  bool FReleasing = false;  // Free has begun on another thread; guarded by FStateLock
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<int> FReturnValue{0};
  std::exception_ptr FFatalException;
};

// Creates a framework object and completes its construction (starting a thread).
template <class T, class... A>
T* NewObject(A&&... aArgs) {
  T* object = new T(std::forward<A>(aArgs)...);
  object->AfterConstruction();
  return object;
}
template <class T, class... A>
TOwned<T> MakeOwned(A&&... aArgs) {
  return TOwned<T>(NewObject<T>(std::forward<A>(aArgs)...));
}
