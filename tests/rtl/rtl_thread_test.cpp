#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "rtl/MainThread.h"
#include "rtl/Thread.h"
#include "tests/support/wait.h"

namespace {

using apns_test::PumpUntil;

using namespace std::chrono_literals;

TEST(MainThreadDispatch, QueuedCallsRunInOrderOnTheMainThread) {
  ASSERT_TRUE(IsMainThread());
  std::vector<int> order;
  std::atomic<bool> wrongThread{false};
  std::thread worker([&] {
    for (int i = 0; i < 5; ++i)
      QueueOnMain([&, i] {
        if (!IsMainThread()) wrongThread = true;
        order.push_back(i);
      });
  });
  worker.join();
  EXPECT_TRUE(PumpUntil([&] { return order.size() == 5; }));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(wrongThread);

  // On the main thread itself a queued call runs at once, unless deferred.
  bool ran = false;
  QueueOnMain([&] { ran = true; });
  EXPECT_TRUE(ran);
  ran = false;
  QueueOnMain([&] { ran = true; }, nullptr, true);
  EXPECT_FALSE(ran);
  CheckSynchronize();
  EXPECT_TRUE(ran);
}

TEST(MainThreadDispatch, SynchronizeWaitsAndCarriesExceptionsBack) {
  std::atomic<bool> returned{false};
  std::string caught;
  int value = 0;
  std::thread worker([&] {
    SynchronizeOnMain([&] { value = 42; });
    try {
      SynchronizeOnMain([] { throw std::runtime_error("from main"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    returned = true;
  });
  EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_EQ(value, 42);
  EXPECT_EQ(caught, "from main");
}

TEST(MainThreadDispatch, QueuedExceptionReachesTheDispatcherAndLaterEntriesSurvive) {
  bool second = false;
  std::thread worker([&] {
    QueueOnMain([] { throw std::runtime_error("queued failure"); });
    QueueOnMain([&] { second = true; });
  });
  worker.join();
  EXPECT_THROW(CheckSynchronize(), std::runtime_error);
  CheckSynchronize();
  EXPECT_TRUE(second);
}

// A wait on its own signal: a signal given before the wait is not lost, the
// main thread keeps serving synchronous calls meanwhile, and a worker waiting
// on its signal is not released by another waiter's signal or the broadcast.
TEST(MainThreadDispatch, WaitOnOwnSignal) {
  {
    TkfxWaitSignal signal;
    std::atomic<bool> done{false};
    std::thread setter([&] {
      done = true;
      signal.Signal();
    });
    setter.join();  // signalled before anyone waits
    EXPECT_TRUE(WaitServingMainThread([&] { return done.load(); }, 5000, signal));
  }
  {
    // The worker needs the main thread before it can finish.
    TkfxWaitSignal signal;
    std::atomic<bool> done{false};
    int servedOn = 0;
    std::thread worker([&] {
      std::this_thread::sleep_for(20ms);
      SynchronizeOnMain([&] { servedOn = IsMainThread() ? 1 : 2; });
      done = true;
      signal.Signal();
    });
    EXPECT_TRUE(WaitServingMainThread([&] { return done.load(); }, 5000, signal));
    worker.join();
    EXPECT_EQ(servedOn, 1);
  }
  {
    TkfxWaitSignal mine, other;
    std::atomic<bool> mineDone{false}, otherDone{false}, released{false};
    std::thread waiter([&] {
      EXPECT_TRUE(WaitServingMainThread([&] { return mineDone.load(); }, 5000, mine));
      released = true;
    });
    otherDone = true;
    other.Signal();
    SignalMainThread();
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(released.load());
    mineDone = true;
    mine.Signal();
    waiter.join();
    EXPECT_TRUE(released.load());
  }
  {
    // Without a signal the wait ends at its time-out with the condition's value.
    TkfxWaitSignal signal;
    EXPECT_FALSE(WaitServingMainThread([] { return false; }, 20, signal));
  }
}

TEST(MainThreadDispatch, RemoveQueuedEventsDiscardsAnOwnersCalls) {
  int owner = 0;
  bool ranOwned = false, ranOther = false;
  std::thread worker([&] {
    QueueOnMain([&] { ranOwned = true; }, &owner);
    QueueOnMain([&] { ranOther = true; });
  });
  worker.join();
  RemoveQueuedEvents(&owner);
  CheckSynchronize();
  EXPECT_FALSE(ranOwned);
  EXPECT_TRUE(ranOther);
}

class TCountingThread : public TThread {
 public:
  explicit TCountingThread(bool aSuspended, bool aThrow = false)
      : TThread(aSuspended), FThrow(aThrow) {}
  std::atomic<int> Steps{0};
  std::atomic<bool>* Destroyed = nullptr;
  ~TCountingThread() override {
    if (Destroyed) *Destroyed = true;
  }

 protected:
  void Execute() override {
    if (FThrow) throw std::runtime_error("execute failed");
    while (!Terminated()) {
      ++Steps;
      std::this_thread::sleep_for(1ms);
    }
    SetReturnValue(7);
  }

 private:
  bool FThrow;
};

TEST(Thread, StartsSuspendedRunsTerminatesAndReturns) {
  TOwned<TCountingThread> thread = MakeOwned<TCountingThread>(true);
  EXPECT_TRUE(thread->Suspended());
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(thread->Steps, 0);
  thread->Start();
  EXPECT_FALSE(thread->Suspended());
  while (thread->Steps < 3) std::this_thread::sleep_for(1ms);
  thread->Terminate();
  EXPECT_EQ(thread->WaitFor(), 7);
  EXPECT_TRUE(thread->Finished());
}

TEST(Thread, FreeingARunningOrNeverStartedThreadWaitsForIt) {
  std::atomic<bool> destroyed{false};
  auto* running = NewObject<TCountingThread>(false);
  running->Destroyed = &destroyed;
  while (running->Steps == 0) std::this_thread::sleep_for(1ms);
  running->Free();  // terminates and waits before any destructor runs
  EXPECT_TRUE(destroyed);
  NewObject<TCountingThread>(true)->Free();
}

TEST(Thread, ExceptionFromExecuteIsKeptAndFreeOnTerminateReleasesItself) {
  auto thread = MakeOwned<TCountingThread>(false, true);
  thread->WaitFor();
  ASSERT_TRUE(thread->FatalException());
  EXPECT_THROW(std::rethrow_exception(thread->FatalException()), std::runtime_error);

  std::atomic<bool> destroyed{false};
  auto* selfFreeing = NewObject<TCountingThread>(false);
  selfFreeing->Destroyed = &destroyed;
  while (selfFreeing->Steps == 0) std::this_thread::sleep_for(1ms);
  // Terminate first: once it may free itself, the object is no longer ours.
  selfFreeing->Terminate();
  if (selfFreeing->FreeOnTerminateUnlessFinished()) selfFreeing->Free();
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (!destroyed && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(destroyed);
}

// A thread that waits for the main thread while the main thread waits for it.
class TSyncingThread : public TThread {
 public:
  TSyncingThread() : TThread(false) {}
  std::atomic<int> Calls{0};

 protected:
  void Execute() override {
    while (!Terminated()) SynchronizeOnMain([this] { ++Calls; });
  }
};

TEST(Thread, WaitForOnTheMainThreadServesSynchronousCalls) {
  auto* thread = NewObject<TSyncingThread>();
  while (thread->Calls == 0) CheckSynchronize(10);
  thread->Free();  // would dead-lock if the wait did not serve the thread's calls
  SUCCEED();
}

}  // namespace
