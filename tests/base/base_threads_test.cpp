#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/kfxBase_Classes.h"
#include "base/kfxBase_Helpers.h"
#include "rtl/MainThread.h"
#include "tests/support/wait.h"

namespace {

using apns_test::PumpUntil;
using apns_test::WaitUntil;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Payload that reports its destruction.
class TPayload : public TObject {
 public:
  explicit TPayload(std::atomic<bool>& aFlag) : FFlag(aFlag) {}
  ~TPayload() override { FFlag = true; }

 private:
  std::atomic<bool>& FFlag;
};

// Records its hooks; a run step may throw once.
class TRecordingThread : public TIdThread {
 public:
  TRecordingThread(bool aSuspended, bool aLoop) : TIdThread(aSuspended, aLoop, "") {}
  std::mutex Lock;
  std::vector<std::string> Events;
  std::atomic<int> Runs{0};
  std::atomic<bool> ThrowInRun{false};
  std::atomic<bool> HandleExceptions{false};

  std::vector<std::string> Snapshot() {
    std::lock_guard g(Lock);
    return Events;
  }

 protected:
  void Note(const std::string& e) {
    std::lock_guard g(Lock);
    if (Events.empty() || Events.back() != e) Events.push_back(e);  // collapse repeated steps
  }
  void BeforeExecute() override { Note("BeforeExecute"); }
  void BeforeRun() override { Note("BeforeRun"); }
  void Run() override {
    Note("Run");
    ++Runs;
    if (ThrowInRun.exchange(false)) throw EIdException("run failed");
    std::this_thread::sleep_for(1ms);
  }
  void AfterRun() override { Note("AfterRun"); }
  void Cleanup() override {
    TIdThread::Cleanup();
    Note("Cleanup");
  }
  void AfterExecute() override { Note("AfterExecute"); }
  bool HandleRunException(const Exception&) override { return HandleExceptions.load(); }
};

TEST(IdThread, LoopRunsUntilStoppedAndSuspendModeResumes) {
  auto thread = MakeOwned<TRecordingThread>(true, true);
  EXPECT_TRUE(thread->Stopped());
  EXPECT_TRUE(thread->Options().Contains(TIdThreadOption::itoStopped));
  thread->SetStopMode(TIdThreadStopMode::smSuspend);
  std::atomic<int> stoppedCalls{0};
  thread->OnStopped = [&](TIdThread*) { ++stoppedCalls; };
  thread->Start();
  ASSERT_TRUE(WaitUntil([&] { return thread->Runs >= 3; }));
  EXPECT_EQ(thread->Name(), "IdThread (unknown)");

  thread->Stop();
  ASSERT_TRUE(WaitUntil([&] { return thread->Suspended(); }));
  EXPECT_TRUE(thread->Stopped());
  EXPECT_FALSE(thread->Terminated());
  const int runsWhenStopped = thread->Runs;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(thread->Runs, runsWhenStopped);
  EXPECT_GE(stoppedCalls, 1);

  thread->Start();
  ASSERT_TRUE(WaitUntil([&] { return thread->Runs > runsWhenStopped; }));
  thread->TerminateAndWaitFor();
  EXPECT_EQ(thread->Snapshot(),
            (std::vector<std::string>{"BeforeExecute", "BeforeRun", "Run", "AfterRun", "Cleanup",
                                      "BeforeRun", "Run", "AfterRun", "Cleanup", "AfterExecute"}));
}

TEST(IdThread, StopWithTerminateModeEndsTheThread) {
  auto thread = MakeOwned<TRecordingThread>(false, true);
  ASSERT_TRUE(WaitUntil([&] { return thread->Runs >= 1; }));
  thread->Stop();
  ASSERT_TRUE(WaitUntil([&] { return thread->Finished(); }));
  EXPECT_TRUE(thread->Terminated());
  thread->Start();  // a terminated thread stays stopped
  EXPECT_TRUE(thread->Options().Contains(TIdThreadOption::itoStopped));
}

TEST(IdThread, RunExceptionEndsTheThreadUnlessTheFilterHandlesIt) {
  for (bool handled : {false, true}) {
    std::atomic<bool> payloadFreed{false};
    auto thread = MakeOwned<TRecordingThread>(true, true);
    thread->SetData(new TPayload(payloadFreed));
    thread->HandleExceptions = handled;
    thread->ThrowInRun = true;
    std::string reported;
    thread->OnException = [&](TIdThread*, const Exception& E) { reported = E.Message(); };
    thread->Start();
    if (handled) {
      ASSERT_TRUE(WaitUntil([&] { return thread->Runs >= 3; }));
      EXPECT_FALSE(thread->Terminated());
      thread->TerminateAndWaitFor();
      EXPECT_EQ(thread->TerminatingException(), "");
    } else {
      ASSERT_TRUE(WaitUntil([&] { return thread->Finished(); }));
      EXPECT_EQ(thread->Runs, 1);
      EXPECT_EQ(thread->TerminatingException(), "run failed");
      EXPECT_EQ(thread->TerminatingExceptionClass(), "EIdException");
      EXPECT_EQ(reported, "run failed");
      const auto events = thread->Snapshot();
      EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
                (std::vector<std::string>{"AfterRun", "Cleanup", "AfterExecute"}));
    }
    EXPECT_TRUE(payloadFreed) << "the owned payload is freed at clean-up";
  }
}

TEST(IdThread, NonLoopingThreadWrapsEachStepInRunHooksAndCleanup) {
  auto thread = MakeOwned<TRecordingThread>(false, false);
  ASSERT_TRUE(WaitUntil([&] { return thread->Runs >= 2; }));
  thread->TerminateAndWaitFor();
  const auto events = thread->Snapshot();
  ASSERT_GE(events.size(), 10u);
  EXPECT_EQ(events.front(), "BeforeExecute");
  EXPECT_EQ(events.back(), "AfterExecute");
  const std::vector<std::string> cycle{"BeforeRun", "Run", "AfterRun", "Cleanup"};
  for (size_t i = 1; i + 1 < events.size(); ++i) EXPECT_EQ(events[i], cycle[(i - 1) % 4]) << i;
}

TEST(IdThread, TerminateAndWaitForRefusesSelfFreeingThreads) {
  auto* thread = NewObject<TRecordingThread>(true, true);
  thread->SetFreeOnTerminate(true);
  try {
    thread->TerminateAndWaitFor();
    FAIL() << "no exception";
  } catch (const EIdThreadTerminateAndWaitFor& e) {
    EXPECT_EQ(e.Message(), "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  }
  thread->SetFreeOnTerminate(false);
  thread->Free();
}

TEST(CriticalSection, IsReentrantAndTryAcquireDoesNotWait) {
  TkfxCriticalSection lock;
  lock.Acquire();
  EXPECT_TRUE(lock.TryAcquire());  // same thread again
  lock.Release();
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = lock.TryAcquire(); }).join();
  EXPECT_FALSE(otherGotIt);
  lock.Release();
  std::thread([&] {
    otherGotIt = lock.TryAcquire();
    if (otherGotIt) lock.Release();
  }).join();
  EXPECT_TRUE(otherGotIt);
}

// A timer that reports its own destruction.
class TWatchedTimer : public TkfxTimer {
 public:
  std::atomic<bool>* Destroyed = nullptr;
  std::atomic<int>* Destructions = nullptr;
  ~TWatchedTimer() override {
    if (Destroyed) *Destroyed = true;
    if (Destructions) ++*Destructions;
  }
};

struct TickLog {
  std::mutex Lock;
  std::vector<Clock::time_point> Ticks;
  std::vector<bool> OnMain;
  void Add() {
    std::lock_guard g(Lock);
    Ticks.push_back(Clock::now());
    OnMain.push_back(IsMainThread());
  }
  size_t Count() {
    std::lock_guard g(Lock);
    return Ticks.size();
  }
};

TEST(Timer, PeriodIsTheIntervalRoundedUpToWhole100ms) {
  for (int interval : {250, 100}) {
    TickLog log;
    auto timer = MakeOwned<TkfxTimer>();
    timer->OnTimer = [&](TObject*) { log.Add(); };
    timer->SetInterval(interval);
    const auto enabledAt = Clock::now();
    timer->SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return log.Count() >= 3; }));
    timer->SetEnabled(false);
    const auto period = std::chrono::milliseconds((interval + 99) / 100 * 100);
    std::lock_guard g(log.Lock);
    EXPECT_GE(log.Ticks[0] - enabledAt, period - 5ms);
    for (size_t i = 1; i < 3; ++i) EXPECT_GE(log.Ticks[i] - log.Ticks[i - 1], period - 5ms);
    EXPECT_FALSE(log.OnMain[0]);  // neNoSync ticks on the timer thread
  }
}

TEST(Timer, DisablingMidCountdownGivesNoTickAndReenablingStartsAFullPeriod) {
  // Enabled again after a pause, or at once: the stop must not be lost
  // either way, and the next tick comes a full period after re-enabling.
  for (auto pause : {400ms, 0ms}) {
    SCOPED_TRACE(pause.count());
    TickLog log;
    auto timer = MakeOwned<TkfxTimer>();
    timer->OnTimer = [&](TObject*) { log.Add(); };
    timer->SetInterval(300);
    timer->SetEnabled(true);
    std::this_thread::sleep_for(150ms);
    timer->SetEnabled(false);
    std::this_thread::sleep_for(pause);
    EXPECT_EQ(log.Count(), 0u);

    const auto reenabledAt = Clock::now();
    timer->SetEnabled(true);
    EXPECT_TRUE(timer->Enabled());
    ASSERT_TRUE(WaitUntil([&] { return log.Count() >= 1; }));
    EXPECT_GE(log.Ticks[0] - reenabledAt, 295ms);

    // A new interval applies from the next period.
    timer->SetInterval(100);
    ASSERT_TRUE(WaitUntil([&] { return log.Count() >= 4; }));
    std::lock_guard g(log.Lock);
    EXPECT_LT(log.Ticks[3] - log.Ticks[2], 290ms);
  }
}

TEST(Timer, FreeingAJustEnabledTimerNeverWaitsOutItsPeriod) {
  // A Terminate may land while the thread starts its first period; each free
  // must still end the countdown at once. The delays sweep that moment.
  for (int i = 0; i < 40; ++i) {
    auto timer = MakeOwned<TkfxTimer>();
    timer->SetInterval(3000);
    timer->SetEnabled(true);
    std::this_thread::sleep_for(std::chrono::microseconds(i * 10));
    const auto start = Clock::now();
    timer.reset();
    ASSERT_LT(Clock::now() - start, 1000ms) << "free " << i;
  }
}

TEST(Timer, TheLargestIntervalDoesNotWrapIntoAShortPeriod) {
  std::atomic<int> ticks{0};
  auto timer = MakeOwned<TkfxTimer>();
  timer->OnTimer = [&](TObject*) { ++ticks; };
  timer->SetInterval(INT_MAX);
  timer->SetEnabled(true);
  std::this_thread::sleep_for(350ms);
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, QueuedAndSynchronousTicksRunOnTheMainThread) {
  for (auto mode : {TwsNotifyEvent::neAsynchronous, TwsNotifyEvent::neSynchronous}) {
    TickLog log;
    auto timer = MakeOwned<TkfxTimer>();
    timer->SetNotifyEvents(mode);
    timer->OnTimer = [&](TObject*) { log.Add(); };
    timer->SetInterval(100);
    timer->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return log.Count() >= 2; }, 3s));
    timer.reset();  // discards a tick still queued
    std::lock_guard g(log.Lock);
    EXPECT_EQ(log.OnMain, std::vector<bool>(log.OnMain.size(), true));
  }
}

TEST(Timer, TickExceptionsGoToTheReportOrAreDropped) {
  // With a report: every failing tick reaches it and the timer goes on.
  std::atomic<int> reports{0};
  std::string message;
  auto timer = MakeOwned<TkfxTimer>();
  timer->OnTimer = [](TObject*) { throw Exception("tick failed"); };
  timer->OnException = [&](TObject*, const Exception& E) {
    message = E.Message();
    ++reports;
  };
  timer->SetInterval(100);
  timer->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return reports >= 2; }));
  timer.reset();
  EXPECT_EQ(message, "tick failed");
  EXPECT_FALSE(timer);

  // Without one, on the timer thread: dropped, and ticking goes on.
  std::atomic<int> ticks{0};
  auto quiet = MakeOwned<TkfxTimer>();
  quiet->OnTimer = [&](TObject*) {
    ++ticks;
    throw Exception("dropped");
  };
  quiet->SetInterval(100);
  quiet->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return ticks >= 2; }));
  EXPECT_FALSE(quiet->Finished());

  // Without one, queued to the main thread: it reaches the dispatcher.
  auto queued = MakeOwned<TkfxTimer>();
  queued->SetNotifyEvents(TwsNotifyEvent::neAsynchronous);
  queued->OnTimer = [](TObject*) { throw Exception("to the dispatcher"); };
  queued->SetInterval(100);
  queued->SetEnabled(true);
  bool reached = false;
  WaitUntil(
      [&] {
        try {
          CheckSynchronize(5);
        } catch (const Exception& e) {
          reached = e.Message() == "to the dispatcher";
        }
        return reached;
      },
      3s);
  EXPECT_TRUE(reached);
}

TEST(FreeThread, FromTheTimersOwnHandlerReturnsAtOnceAndTheTimerFreesItself) {
  for (auto mode : {TwsNotifyEvent::neNoSync, TwsNotifyEvent::neSynchronous, TwsNotifyEvent::neAsynchronous}) {
    std::atomic<bool> destroyed{false};
    std::atomic<bool> returned{false};
    TWatchedTimer* timer = NewObject<TWatchedTimer>();
    timer->Destroyed = &destroyed;
    timer->SetNotifyEvents(mode);
    timer->OnTimer = [&](TObject*) {
      FreeThread(timer);
      EXPECT_EQ(timer, nullptr);
      returned = true;
    };
    timer->SetInterval(100);
    timer->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return destroyed.load(); }, 3s)) << static_cast<int>(mode);
    EXPECT_TRUE(returned);
  }
}

TEST(FreeThread, FromTheMainThreadWhileASynchronousTickWaits) {
  std::atomic<bool> destroyed{false};
  std::atomic<int> ticks{0};
  TWatchedTimer* timer = NewObject<TWatchedTimer>();
  timer->Destroyed = &destroyed;
  timer->SetNotifyEvents(TwsNotifyEvent::neSynchronous);
  timer->OnTimer = [&](TObject*) { ++ticks; };
  // The wake-up hook tells when the timer has queued its synchronous tick,
  // which nobody serves until FreeThread waits.
  std::atomic<int> queued{0};
  SetWakeMainThread([&] { ++queued; });
  timer->SetInterval(100);
  timer->SetEnabled(true);
  const bool pending = WaitUntil([&] { return queued.load() > 0; }, 30s);
  SetWakeMainThread(nullptr);
  ASSERT_TRUE(pending);
  FreeThread(timer);  // its wait must serve the pending tick
  EXPECT_EQ(timer, nullptr);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(ticks, 1);
}

TEST(FreeThread, FromAnotherThreadWaitsForAHandlerRunningOnTheTimerThread) {
  std::atomic<bool> destroyed{false};
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
  auto ownerState = std::make_unique<std::string>("owner state");
  std::string seen;
  TWatchedTimer* timer = NewObject<TWatchedTimer>();
  timer->Destroyed = &destroyed;
  timer->OnTimer = [&](TObject*) {
    if (entered.exchange(true)) return;
    std::this_thread::sleep_for(200ms);
    seen = *ownerState;  // state the owner frees once FreeThread returned
    finished = true;
  };
  timer->SetInterval(100);
  timer->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
  FreeThread(timer);  // the main thread is not inside the handler: it must wait
  const bool finishedFirst = finished;
  const bool destroyedAtReturn = destroyed;
  WaitUntil([&] { return destroyed.load(); });  // keep the handler's captures alive either way
  ownerState.reset();
  EXPECT_EQ(timer, nullptr);
  EXPECT_TRUE(finishedFirst);
  EXPECT_TRUE(destroyedAtReturn);
  EXPECT_EQ(seen, "owner state");
}

TEST(FreeThread, ASelfFreeingTimerOutlivesAHandlerThatServesNestedCalls) {
  // A queued tick frees its timer, then waits while serving a synchronous
  // call from another thread. The timer thread ends meanwhile; it may free
  // the timer only once the tick has returned.
  std::atomic<bool> destroyed{false};
  std::atomic<int> ticks{0};
  bool destroyedInsideTick = true;
  TWatchedTimer* timer = NewObject<TWatchedTimer>();
  timer->Destroyed = &destroyed;
  timer->SetNotifyEvents(TwsNotifyEvent::neAsynchronous);
  timer->OnTimer = [&](TObject*) {
    if (ticks++) return;
    FreeThread(timer);
    std::atomic<bool> served{false};
    std::thread caller([&] { SynchronizeOnMain([&] { served = true; }); });
    WaitServingMainThread([&] { return served.load(); }, 3000);
    caller.join();
    WaitServingMainThread([&] { return destroyed.load(); }, 300);
    destroyedInsideTick = destroyed;
  };
  timer->SetInterval(100);
  timer->SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return destroyed.load(); }, 3s));
  EXPECT_FALSE(destroyedInsideTick);
}

TEST(FreeThread, FromAQueuedTickOfATimerDisabledMeanwhile) {
  // The tick was queued, then the timer was disabled (its thread suspends);
  // the tick frees the timer, whose thread must still run to its end.
  std::atomic<bool> destroyed{false};
  TWatchedTimer* timer = NewObject<TWatchedTimer>();
  timer->Destroyed = &destroyed;
  timer->SetNotifyEvents(TwsNotifyEvent::neAsynchronous);
  timer->OnTimer = [&](TObject*) { FreeThread(timer); };
  timer->SetInterval(100);
  timer->SetEnabled(true);
  std::this_thread::sleep_for(150ms);  // one tick queued, not yet run
  timer->SetEnabled(false);
  ASSERT_TRUE(WaitUntil([&] { return timer->Suspended(); }));
  EXPECT_TRUE(PumpUntil([&] { return destroyed.load(); }, 3s));
  EXPECT_EQ(timer, nullptr);
}

TEST(FreeThread, ATickServedWhileTheOwnerFreesTheTimerCannotFreeItAgain) {
  // The owner's free serves the waiting synchronous tick, whose handler
  // frees the timer once more through its Sender: one destruction only.
  std::atomic<int> destructions{0};
  std::atomic<int> ticks{0};
  TWatchedTimer* timer = NewObject<TWatchedTimer>();
  timer->Destructions = &destructions;
  timer->SetNotifyEvents(TwsNotifyEvent::neSynchronous);
  timer->OnTimer = [&](TObject* aSender) {
    ++ticks;
    auto* self = static_cast<TkfxTimer*>(aSender);
    FreeThread(self);
  };
  timer->SetInterval(100);
  timer->SetEnabled(true);
  std::this_thread::sleep_for(250ms);  // a synchronous tick waits, not yet served
  FreeThread(timer);
  std::this_thread::sleep_for(100ms);  // room for a second free from the ended thread
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(destructions, 1);
}

// A thread whose Terminate declines, like a read thread before its first step.
class TDecliningThread : public TkfxIdThread {
 public:
  TDecliningThread() : TkfxIdThread(true, true, "declining") {}
  void Terminate() override {}

 protected:
  void Run() override { TkfxIdThread::Run(); }
};

TEST(FreeThread, WaitsAboutASecondForADecliningTerminateThenFrees) {
  TDecliningThread* thread = NewObject<TDecliningThread>();
  const auto start = Clock::now();
  FreeThread(thread);
  const auto waited = Clock::now() - start;
  EXPECT_EQ(thread, nullptr);
  EXPECT_GE(waited, 1000ms);
  EXPECT_LT(waited, 5000ms);
}

TEST(KfxThread, IsCurrentThreadOnlyAfterTheFirstRunStep) {
  std::atomic<bool> insideAnswer{false};
  auto timer = MakeOwned<TkfxTimer>();
  EXPECT_FALSE(timer->IsCurrentThread());
  EXPECT_EQ(timer->ThreadId(), 0u);
  timer->SetDebugName("HeartBeat");
  EXPECT_EQ(timer->DebugName(), "HeartBeat");
  std::atomic<bool> ticked{false};
  timer->OnTimer = [&](TObject* aSender) {
    insideAnswer = static_cast<TkfxTimer*>(aSender)->IsCurrentThread() &&
                   static_cast<TkfxTimer*>(aSender)->IsExecuting();
    ticked = true;
  };
  timer->SetInterval(100);
  timer->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return ticked.load(); }));
  EXPECT_TRUE(insideAnswer);
  EXPECT_FALSE(timer->IsCurrentThread());
  EXPECT_NE(timer->ThreadId(), 0u);
}

TEST(BytesStream, HoldsACopyPositionedAtZero) {
  TIdBytes bytes{1, 2, 3};
  TkfxBytesStream stream(bytes);
  bytes[0] = 9;
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_EQ(stream.Size(), 3);
  EXPECT_EQ(stream.Bytes(), (TIdBytes{1, 2, 3}));
}

}  // namespace
