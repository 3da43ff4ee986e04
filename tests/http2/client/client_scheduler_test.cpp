// The request scheduler of the HTTP/2 client component without a
// connection: items share their settings while these stay the same; the
// moves between the queues when streams are refused or reset and when a
// connection ends or starts; and a request thread that, with no connection
// to send on, sends nothing, loses nothing and stops when told.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http2/client/kfxHTTP2_Client_Scheduler.h"
#include "rtl/MainThread.h"
#include "tests/support/wait.h"

namespace {

struct Fixture {
  Fixture() {
    TkfxHTTP2_Scheduler::THost host;
    host.Connection = [this] {
      ++ConnectionAsked;
      return TkfxHTTP2ConnectionClientRef();
    };
    host.IsLive = [](TkfxHTTP2ConnectionClient*) { return false; };
    host.GoneAway = [](TkfxHTTP2ConnectionClient*) { return false; };
    host.Prepare = [](TkfxHTTP2Request&) {};
    host.Failed = [this](const TkfxHTTP2ConnectionClientRef&, TkfxHTTP2_RequestPtr aItem, const std::string& aReason) {
      Failures.push_back(aItem->ID() + " " + aReason);
    };
    Scheduler = std::make_unique<TkfxHTTP2_Scheduler>(std::move(host));
  }
  // Moves every queued item to the pending queue, as the thread does.
  std::vector<std::string> SendAll() {
    std::vector<std::string> ids;
    for (auto& item : Scheduler->Requests().TakeAll()) {
      ids.push_back(item->ID());
      Scheduler->AddPending(std::move(item));
    }
    return ids;
  }
  std::vector<std::string> IDs(TkfxHTTP2_Requests& aQueue) {
    std::vector<std::string> ids;
    for (auto& item : aQueue.TakeAll()) {
      ids.push_back(item->ID());
      aQueue.Append(std::move(item));
    }
    return ids;
  }

  TkfxHTTP2Request Settings;
  std::atomic<int> ConnectionAsked{0};
  std::vector<std::string> Failures;
  std::unique_ptr<TkfxHTTP2_Scheduler> Scheduler;
};

TEST(ClientScheduler, ItemsShareSettingsAndURLWhileTheyStayTheSame) {
  Fixture f;
  f.Settings.CustomHeaders.Add("apns-topic: com.example.App");
  const std::string url = "https://127.0.0.1:2197/3/device/a";
  for (int i = 0; i < 3; ++i) f.Scheduler->Queue(Th2Methods::h2mePost, url, nullptr, f.Settings);
  f.Settings.CustomHeaders.Add("apns-priority: 5");
  f.Scheduler->Queue(Th2Methods::h2mePost, url, nullptr, f.Settings);
  f.Scheduler->Queue(Th2Methods::h2mePost, url + "b", nullptr, f.Settings);
  std::deque<TkfxHTTP2_RequestPtr> items = f.Scheduler->Requests().TakeAll();
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0]->SharedRequest(), items[2]->SharedRequest());
  EXPECT_EQ(items[0]->SharedURL(), items[3]->SharedURL());
  EXPECT_NE(items[2]->SharedRequest(), items[3]->SharedRequest());
  EXPECT_EQ(items[3]->SharedRequest(), items[4]->SharedRequest());
  EXPECT_NE(items[3]->SharedURL(), items[4]->SharedURL());
  // A copy taken when queued: later changes do not reach it.
  EXPECT_EQ(items[0]->Request().CustomHeaders.Count(), 1);
  EXPECT_EQ(items[4]->URL(), url + "b");
}

TEST(ClientScheduler, RequeueCountsTriesAndPutsPendingFirst) {
  Fixture f;
  for (int i = 0; i < 3; ++i) f.Scheduler->Queue(Th2Methods::h2mePost, "https://h/x", nullptr, f.Settings);
  const std::vector<std::string> pending = f.SendAll();
  f.Scheduler->Queue(Th2Methods::h2mePost, "https://h/y", nullptr, f.Settings);
  const std::string waiting = f.IDs(f.Scheduler->Requests()).at(0);
  // Two tries allowed: the first connection's end re-queues all of them,
  // pending first, in their order; the second one's end fails them.
  EXPECT_TRUE(f.Scheduler->Requeue(2).empty());
  EXPECT_EQ(f.IDs(f.Scheduler->Requests()),
            (std::vector<std::string>{pending[0], pending[1], pending[2], waiting}));
  EXPECT_TRUE(f.Scheduler->RequestsPending().Empty());
  f.SendAll();
  std::deque<TkfxHTTP2_RequestPtr> failed = f.Scheduler->Requeue(2);
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed[0]->ID(), pending[0]);
  EXPECT_EQ(failed[2]->ID(), pending[2]);
  EXPECT_EQ(failed[0]->NumReq(), 2);
  // The one sent once so far went back.
  EXPECT_EQ(f.IDs(f.Scheduler->Requests()), std::vector<std::string>{waiting});
}

TEST(ClientScheduler, StreamEndsWithoutAnswer) {
  struct Case {
    const char* Name;
    bool Retry, Ending;
    int Refusals;  // earlier refusals of the item
    const char* Reason;  // empty: no outcome yet
    bool BackInQueue;
  };
  const int most = TkfxHTTP2_Scheduler::MaxRefusedRetries;
  for (const Case& c : {Case{"refused: sent again", true, false, 0, "", true},
                        Case{"refused while ending: sent again", true, true, 0, "", true},
                        Case{"refused once too often", true, false, most, "The request was refused by the server.", false},
                        Case{"reset", false, false, 0, "The stream of the request was reset.", false},
                        Case{"reset while ending: stays pending", false, true, 0, "", false}}) {
    SCOPED_TRACE(c.Name);
    Fixture f;
    f.Scheduler->Queue(Th2Methods::h2mePost, "https://h/x", nullptr, f.Settings);
    f.Scheduler->Queue(Th2Methods::h2mePost, "https://h/y", nullptr, f.Settings);
    TkfxHTTP2_RequestPtr first = f.Scheduler->Requests().TakeFirst();
    first->SetNumRefused(c.Refusals);
    const std::string id = first->ID();
    f.Scheduler->AddPending(std::move(first));
    std::string reason;
    TkfxHTTP2_RequestPtr failed = f.Scheduler->StreamFailed(id, c.Retry, c.Ending, reason);
    EXPECT_EQ(reason, c.Reason);
    EXPECT_EQ(static_cast<bool>(failed), *c.Reason != 0);
    if (failed) {
      EXPECT_EQ(failed->ID(), id);
    }
    EXPECT_EQ(f.IDs(f.Scheduler->Requests()).front() == id, c.BackInQueue);
    EXPECT_EQ(f.Scheduler->RequestsPending().Find(id) != nullptr, !failed && !c.BackInQueue);
    // An item whose outcome was given already is not found again.
    if (failed) {
      EXPECT_FALSE(f.Scheduler->StreamFailed(id, c.Retry, false, reason));
      EXPECT_FALSE(f.Scheduler->Answered(id));
    }
  }
}

TEST(ClientScheduler, TakeAllAndAnswers) {
  Fixture f;
  for (int i = 0; i < 4; ++i) f.Scheduler->Queue(Th2Methods::h2mePost, "https://h/x", nullptr, f.Settings);
  TkfxHTTP2_RequestPtr a = f.Scheduler->Requests().TakeFirst();
  TkfxHTTP2_RequestPtr b = f.Scheduler->Requests().TakeFirst();
  const std::string ida = a->ID(), idb = b->ID();
  f.Scheduler->AddPending(std::move(a));
  f.Scheduler->AddPending(std::move(b));
  EXPECT_TRUE(f.Scheduler->Any());
  EXPECT_EQ(f.Scheduler->Answered(ida)->ID(), ida);
  EXPECT_FALSE(f.Scheduler->Answered(ida));
  // Pending only, then pending and queued, pending first.
  EXPECT_EQ(f.Scheduler->TakeAll(false).size(), 1u);
  EXPECT_EQ(f.Scheduler->TakeAll(true).size(), 2u);
  EXPECT_FALSE(f.Scheduler->Any());
  EXPECT_FALSE(f.Scheduler->TakePending(idb));
}

// A request thread over the scheduler, as the component makes one.
class TRunner : public TThread {
 public:
  explicit TRunner(TkfxHTTP2_Scheduler* aScheduler) : TThread(false), FScheduler(aScheduler) {}

 protected:
  void Execute() override { FScheduler->Run(*this); }
  void TerminatedSet() override { FScheduler->Wake(); }

 private:
  TkfxHTTP2_Scheduler* FScheduler;
};

TEST(ClientScheduler, WithoutAConnectionTheThreadSendsNothingAndStops) {
  Fixture f;
  f.Scheduler->Requests().SetEnabled(true);
  int made = 0;
  auto make = [&]() -> TThread* {
    ++made;
    return NewObject<TRunner>(f.Scheduler.get());
  };
  f.Scheduler->StartThread(make);
  f.Scheduler->StartThread(make);  // runs already
  EXPECT_EQ(made, 1);
  for (int i = 0; i < 5; ++i) f.Scheduler->Queue(Th2Methods::h2mePost, "https://h/x", nullptr, f.Settings);
  // The thread looks for a connection, finds none and waits for a change.
  ASSERT_TRUE(apns_test::WaitUntil([&] { return f.ConnectionAsked.load() > 0; }));
  f.Scheduler->StopThread();
  EXPECT_EQ(f.Scheduler->Requests().Count(), 5);
  EXPECT_TRUE(f.Scheduler->RequestsPending().Empty());
  EXPECT_TRUE(f.Failures.empty());
  f.Scheduler->StartThread(make);  // a new one once stopped
  EXPECT_EQ(made, 2);
  f.Scheduler->StopThread();
}

}  // namespace
