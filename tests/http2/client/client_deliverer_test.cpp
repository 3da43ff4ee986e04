// The event deliverer of the HTTP/2 client component on its own: where and
// when each mode raises an event, the order of one list's records, handler
// failures reported without stopping the others, and no delivery once it
// is stopped, even from a handler that stops it while its drain runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http2/client/kfxHTTP2_Client_Deliverer.h"
#include "rtl/MainThread.h"
#include "tests/support/wait.h"

namespace {

using TList = TkfxHTTP2_Deliverer::TList;

using apns_test::PumpUntil;

struct Fixture {
  explicit Fixture(TwsNotifyEvent aMode) : Mode(aMode) {
    Deliverer = std::make_unique<TkfxHTTP2_Deliverer>(
        this, [this] { return Mode.load(); }, [this] { return Stopping.load(); },
        [this](Exception& E) {
          std::lock_guard guard(Lock);
          Reports.push_back(E.Message());
        });
  }
  ~Fixture() { RemoveQueuedEvents(this); }

  // Appends aName to the log with the thread it ran on.
  std::function<void()> Record(const std::string& aName) {
    return [this, aName] {
      std::lock_guard guard(Lock);
      Log.push_back(aName + (IsMainThread() ? "@main" : "@worker"));
    };
  }
  size_t Logged() {
    std::lock_guard guard(Lock);
    return Log.size();
  }

  std::atomic<TwsNotifyEvent> Mode;
  std::atomic<bool> Stopping{false};
  std::mutex Lock;
  std::vector<std::string> Log, Reports;
  std::unique_ptr<TkfxHTTP2_Deliverer> Deliverer;
};

TEST(ClientDeliverer, EachModeRaisesWhereAndWhenItSays) {
  struct Case {
    TwsNotifyEvent Mode;
    const char* Where;
  };
  for (const Case c : {Case{TwsNotifyEvent::neNoSync, "@worker"}, Case{TwsNotifyEvent::neAsynchronous, "@main"},
                       Case{TwsNotifyEvent::neSynchronous, "@main"}}) {
    SCOPED_TRACE(static_cast<int>(c.Mode));
    Fixture f(c.Mode);
    std::atomic<bool> delivered{false};
    std::thread worker([&] {
      for (int i = 0; i < 3; ++i) f.Deliverer->Deliver(TList::Response, f.Record("r" + std::to_string(i)));
      delivered = true;
    });
    // A synchronous delivery waits for the main thread: served here.
    ASSERT_TRUE(PumpUntil([&] { return delivered.load(); }));
    worker.join();
    ASSERT_TRUE(PumpUntil([&] { return f.Logged() == 3; }));
    EXPECT_EQ(f.Log, (std::vector<std::string>{std::string("r0") + c.Where, std::string("r1") + c.Where,
                                               std::string("r2") + c.Where}));
  }
}

TEST(ClientDeliverer, AQueuedRecordWaitsForTheMainThread) {
  Fixture f(TwsNotifyEvent::neAsynchronous);
  std::thread worker([&] { f.Deliverer->Deliver(TList::Connect, f.Record("c")); });
  worker.join();
  EXPECT_EQ(f.Logged(), 0u);  // nothing runs until the main thread drains
  ASSERT_TRUE(PumpUntil([&] { return f.Logged() == 1; }));
  EXPECT_EQ(f.Log[0], "c@main");
}

TEST(ClientDeliverer, FailingHandlersAreReportedAndTheOthersStillRun) {
  for (const TwsNotifyEvent mode : {TwsNotifyEvent::neNoSync, TwsNotifyEvent::neAsynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Fixture f(mode);
    f.Deliverer->Deliver(TList::RequestFailed, [] { throw Exception("handler one failed"); });
    f.Deliverer->Deliver(TList::RequestFailed, f.Record("after-exception"));
    f.Deliverer->Deliver(TList::RequestFailed, [] { throw std::runtime_error("handler two failed"); });
    f.Deliverer->Deliver(TList::RequestFailed, [] { throw 42; });  // no text: dropped
    f.Deliverer->Deliver(TList::RequestFailed, f.Record("last"));
    ASSERT_TRUE(PumpUntil([&] { return f.Logged() == 2; }));
    EXPECT_EQ(f.Log[0].substr(0, 15), "after-exception");
    EXPECT_EQ(f.Log[1].substr(0, 4), "last");
    EXPECT_EQ(f.Reports, (std::vector<std::string>{"handler one failed", "handler two failed"}));
  }
}

TEST(ClientDeliverer, AFailingReportIsDroppedAndDeliveryGoesOn) {
  std::vector<std::string> log;
  TkfxHTTP2_Deliverer deliverer(
      &log, [] { return TwsNotifyEvent::neNoSync; }, [] { return false; },
      [](Exception&) { throw Exception("the report failed too"); });
  EXPECT_NO_THROW(deliverer.Deliver(TList::Exception, [] { throw Exception("handler failed"); }));
  deliverer.Deliver(TList::Exception, [&] { log.push_back("next"); });
  EXPECT_EQ(log, std::vector<std::string>{"next"});
}

TEST(ClientDeliverer, NothingIsDeliveredOnceStopped) {
  // Stopped before the drain ran, stopped by the owner's state, and stopped
  // by a handler in the middle of a drain (as when a handler frees the
  // component): the records behind it are not raised.
  enum class How { kBeforeDrain, kOwnerStopping, kInsideHandler };
  for (const How how : {How::kBeforeDrain, How::kOwnerStopping, How::kInsideHandler}) {
    SCOPED_TRACE(static_cast<int>(how));
    Fixture f(TwsNotifyEvent::neAsynchronous);
    std::thread worker([&] {
      f.Deliverer->Deliver(TList::GoAway, f.Record("first"));
      if (how == How::kInsideHandler) f.Deliverer->Deliver(TList::GoAway, [&] { f.Deliverer->Stop(); });
      f.Deliverer->Deliver(TList::GoAway, f.Record("second"));
    });
    worker.join();
    if (how == How::kBeforeDrain) f.Deliverer->Stop();
    if (how == How::kOwnerStopping) f.Stopping = true;
    for (int i = 0; i < 20; ++i) CheckSynchronize(1);
    const std::vector<std::string> expected =
        how == How::kInsideHandler ? std::vector<std::string>{"first@main"} : std::vector<std::string>{};
    EXPECT_EQ(f.Log, expected);
    f.Deliverer->Deliver(TList::GoAway, f.Record("later"));
    f.Deliverer->DeliverAndWait(true, f.Record("later-wait"));
    for (int i = 0; i < 5; ++i) CheckSynchronize(1);
    EXPECT_EQ(f.Log, expected);
  }
}

TEST(ClientDeliverer, DeliverAndWaitRunsOnTheMainThreadOnlyWhenSomebodyListens) {
  struct Case {
    TwsNotifyEvent Mode;
    bool Assigned;
    const char* Where;
  };
  for (const Case c : {Case{TwsNotifyEvent::neAsynchronous, true, "@main"},
                       Case{TwsNotifyEvent::neSynchronous, true, "@main"},
                       Case{TwsNotifyEvent::neAsynchronous, false, "@worker"},
                       Case{TwsNotifyEvent::neNoSync, true, "@worker"}}) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.Mode)) + (c.Assigned ? " assigned" : " unassigned"));
    Fixture f(c.Mode);
    std::atomic<bool> returned{false};
    std::string answer;
    std::string failure;
    std::thread worker([&] {
      // An in-out parameter set by the handler, and its raise carried back.
      f.Deliverer->DeliverAndWait(c.Assigned, [&] {
        f.Record("ask")();
        answer = "set";
      });
      try {
        f.Deliverer->DeliverAndWait(c.Assigned, [] { throw Exception("refused"); });
      } catch (const Exception& E) {
        failure = E.Message();
      }
      returned = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(answer, "set");
    EXPECT_EQ(failure, "refused");
    EXPECT_EQ(f.Log, std::vector<std::string>{std::string("ask") + c.Where});
  }
}

}  // namespace
