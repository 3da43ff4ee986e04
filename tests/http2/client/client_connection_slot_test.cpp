// The connection slot of the HTTP/2 client component on its own: which
// connection may write, one end handled per connection, one activation per
// burst of connects, and the back-off after a refused token update that
// holds a connect back and queues it when its time has come.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "http2/client/kfxHTTP2_Client_ConnectionSlot.h"
#include "rtl/System.h"
#include "tests/support/wait.h"

namespace {

struct Fixture {
  explicit Fixture(int64_t aBudgetMs = 60000) : Budget(aBudgetMs) {
    Slot = std::make_unique<TkfxHTTP2_ConnectionSlot>(TkfxHTTP2_ConnectionSlot::THost{
        [this] { return Stopping.load(); },
        [this] {
          if (FailActivation) throw Exception("The command queue is gone.");
          ++Activations;
        },
        [this] { return Budget.load(); }});
  }
  bool WaitActivations(int aCount) {
    return apns_test::WaitUntil([&] { return Activations.load() >= aCount; });
  }

  std::atomic<bool> Stopping{false};
  std::atomic<bool> FailActivation{false};
  std::atomic<int> Activations{0};
  std::atomic<int64_t> Budget;
  std::unique_ptr<TkfxHTTP2_ConnectionSlot> Slot;
};

TEST(ClientConnectionSlot, OnlyTheLiveConnectionWritesAndItsEndIsHandledOnce) {
  Fixture f;
  int a = 0, b = 0;  // two connections, by address
  int writes = 0;
  auto write = [&] { ++writes; };
  EXPECT_FALSE(f.Slot->IsLive(&a));
  EXPECT_FALSE(f.Slot->WhileLive(&a, write));
  f.Slot->Start(&a);
  EXPECT_TRUE(f.Slot->IsLive(&a));
  EXPECT_FALSE(f.Slot->IsLive(nullptr));
  EXPECT_TRUE(f.Slot->WhileLive(&a, write));
  EXPECT_FALSE(f.Slot->WhileLive(&b, write));
  EXPECT_EQ(writes, 1);
  f.Slot->SetGoneAway(&a);
  EXPECT_TRUE(f.Slot->GoneAway(&a));
  EXPECT_FALSE(f.Slot->GoneAway(&b));
  // The end: once, whoever comes first.
  EXPECT_TRUE(f.Slot->ClaimEnd(&a));
  EXPECT_FALSE(f.Slot->ClaimEnd(&a));
  f.Slot->EndLive(&b);  // not the live one: no effect
  EXPECT_TRUE(f.Slot->IsLive(&a));
  f.Slot->EndLive(&a);
  EXPECT_FALSE(f.Slot->WhileLive(&a, write));
  // A new connection at the same address is a new one: live, no GOAWAY,
  // its end not handled.
  f.Slot->Start(&a);
  EXPECT_TRUE(f.Slot->IsLive(&a));
  EXPECT_FALSE(f.Slot->GoneAway(&a));
  EXPECT_TRUE(f.Slot->ClaimEnd(&a));
}

TEST(ClientConnectionSlot, OneActivationPerBurstOfConnects) {
  struct Case {
    const char* Name;
    int64_t BudgetMs;
    bool Always;
    bool DoneBetween;
    int Expected;  // activations after five connects
  };
  for (const Case& c : {Case{"a burst", 60000, false, false, 1}, Case{"reconnects", 60000, true, false, 5},
                        Case{"each after the last one ran", 60000, false, true, 5},
                        Case{"the last one overran its budget", 0, false, false, 5}}) {
    SCOPED_TRACE(c.Name);
    Fixture f(c.BudgetMs);
    for (int i = 0; i < 5; ++i) {
      f.Slot->QueueConnect(c.Always);
      if (c.DoneBetween) f.Slot->ConnectDone();
      // Milliseconds apart, so that an overrun budget shows.
      if (c.BudgetMs == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(f.Activations.load(), c.Expected);
  }
}

TEST(ClientConnectionSlot, AnActivationThatCannotBeQueuedHoldsNothingUp) {
  Fixture f;
  f.FailActivation = true;
  EXPECT_THROW(f.Slot->QueueConnect(), Exception);
  f.FailActivation = false;
  f.Slot->QueueConnect();
  EXPECT_EQ(f.Activations.load(), 1);
  // Going: nothing is queued any more.
  f.Slot->ConnectDone();
  f.Stopping = true;
  f.Slot->QueueConnect(true);
  EXPECT_EQ(f.Activations.load(), 1);
}

TEST(ClientConnectionSlot, BackOffDoublesUpToItsBoundAndEnds) {
  Fixture f;
  f.Slot->SetBackoffBounds(40, 100);
  EXPECT_EQ(f.Slot->Backoff(), 0);
  f.Slot->BackOff();
  EXPECT_EQ(f.Slot->Backoff(), 40);
  // Refusals of requests sent before the delay was set count once.
  f.Slot->BackOff();
  EXPECT_EQ(f.Slot->Backoff(), 40);
  // Each refused reconnect after the delay doubles it, up to the bound.
  for (const int64_t expected : {80, 100, 100}) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(f.Slot->Backoff() + 5);
    std::this_thread::sleep_until(deadline);
    f.Slot->BackOff();
    EXPECT_EQ(f.Slot->Backoff(), expected);
  }
  f.Slot->EndBackOff();
  EXPECT_EQ(f.Slot->Backoff(), 0);
  f.Slot->QueueConnect();
  EXPECT_EQ(f.Activations.load(), 1);
  EXPECT_FALSE(f.Slot->ConnectDelayed());
}

TEST(ClientConnectionSlot, AConnectDuringTheBackOffIsQueuedWhenItsTimeHasCome) {
  Fixture f;
  f.Slot->SetBackoffBounds(300, 300);
  f.Slot->BackOff();
  f.Slot->QueueConnect(true);
  EXPECT_EQ(f.Activations.load(), 0);
  EXPECT_TRUE(f.Slot->ConnectDelayed());
  // The reconnect thread queues it.
  ASSERT_TRUE(f.WaitActivations(1));
  EXPECT_FALSE(f.Slot->ConnectDelayed());
  f.Slot->ConnectDone();
  // A held-back connect that the application connected for meanwhile (a
  // synchronous request) is not queued any more.
  f.Slot->EndBackOff();
  f.Slot->SetBackoffBounds(60000, 60000);
  f.Slot->BackOff();
  f.Slot->QueueConnect(true);
  EXPECT_TRUE(f.Slot->ConnectDelayed());
  f.Slot->CancelDelayedConnect();
  EXPECT_FALSE(f.Slot->ConnectDelayed());
  // Stopping the thread forgets a held-back connect too.
  f.Slot->QueueConnect(true);
  EXPECT_TRUE(f.Slot->ConnectDelayed());
  f.Slot->StopReconnectThread();
  EXPECT_FALSE(f.Slot->ConnectDelayed());
  EXPECT_EQ(f.Activations.load(), 1);
}

}  // namespace
