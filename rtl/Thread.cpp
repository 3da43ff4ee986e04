#include "rtl/Thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "rtl/MainThread.h"

TThread::TThread(bool CreateSuspended) : FSuspended(CreateSuspended), FCreateSuspended(CreateSuspended) {}

TThread::~TThread() {
  // Normally BeforeDestruction has already waited. A thread deleting itself
  // (FreeOnTerminate) cannot join itself.
  if (FThread.joinable()) {
    if (FThread.get_id() == std::this_thread::get_id())
      FThread.detach();
    else
      FThread.join();
  }
}

void TThread::AfterConstruction() {
  if (!FCreateSuspended) Launch();
}

void TThread::Launch() {
  std::lock_guard guard(FStateLock);
  if (FLaunched) return;
  FLaunched = true;
  FSuspended = false;
  FThread = std::thread([this] { ThreadProc(); });
}

void TThread::BeforeDestruction() {
  if (IsCallingThread()) return;  // released by itself: Execute has returned
  bool launched;
  {
    std::lock_guard guard(FStateLock);
    launched = FLaunched;
    // From now on the object is ours to free: a handler that runs while we
    // wait (a synchronous call we serve) and asks it to free itself must not
    // make it free itself as well.
    FReleasing = true;
  }
  Terminate();
  if (launched && !Finished()) {
    Start();
    WaitFor();
  }
  if (FThread.joinable()) FThread.join();
}

void TThread::ThreadProc() {
  try {
    if (!Terminated()) Execute();
  } catch (...) {
    FFatalException = std::current_exception();
  }
  try {
    DoTerminate();
  } catch (...) {
  }
  bool freeIt;
  {
    std::lock_guard guard(FStateLock);
    freeIt = FFreeOnTerminate && !FReleasing;
    FFinished.store(true, std::memory_order_release);
  }
  // Once finished is set, only a self-releasing thread may touch the object.
  SignalMainThread();
  if (freeIt) Free();
}

void TThread::Start() {
  bool launch;
  {
    std::lock_guard guard(FStateLock);
    launch = !FLaunched;
    if (!launch && FSuspended) {
      FSuspended = false;
      FResumed.notify_all();
    }
  }
  if (launch) Launch();
}

void TThread::SuspendWhile(const std::function<bool()>& aStillWanted) {
  std::unique_lock guard(FStateLock);
  if (!aStillWanted()) return;
  FSuspended = true;
  FResumed.wait(guard, [this] { return !FSuspended; });
}

void TThread::Terminate() {
  FTerminated.store(true, std::memory_order_release);
  TerminatedSet();
}

int TThread::WaitFor() {
  if (IsCallingThread()) throw EThread("Thread cannot wait for itself");
  WaitServingMainThread([this] { return Finished(); });
  return ReturnValue();
}

bool TThread::FreeOnTerminate() const {
  std::lock_guard guard(FStateLock);
  return FFreeOnTerminate;
}

void TThread::SetFreeOnTerminate(bool aValue) {
  std::lock_guard guard(FStateLock);
  FFreeOnTerminate = aValue;
}

bool TThread::FreeOnTerminateUnlessFinished() {
  std::lock_guard guard(FStateLock);
  if (FReleasing) return false;  // already being freed by another caller
  if (Finished()) return true;
  FFreeOnTerminate = true;
  return false;
}

bool TThread::IsCallingThread() const {
  // FThread is written once, by Launch, before the thread runs.
  std::lock_guard guard(FStateLock);
  return FLaunched && FThread.get_id() == std::this_thread::get_id();
}

uint32_t TThread::CurrentThreadOSId() {
  // Asked on every read and event; the kernel is asked once per thread.
  thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return id;
}

void TThread::NameThreadForDebugging(const std::string& aName) {
  ::pthread_setname_np(::pthread_self(), aName.substr(0, 15).c_str());
}
