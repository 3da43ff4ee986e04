// The in-process queue and token source of apns-pushd: each notification
// finished once, whole batches or nothing, hand-backs to the front, Close
// waking the senders; provider tokens signed once per key and 40 minutes,
// and again at once after APNs called the current one expired.
#include <gtest/gtest.h>

#include <thread>

#include "tools/apns-pushd/memory_queue.h"

namespace {

using namespace apns_pushd;
using namespace std::chrono_literals;

Notification N(const std::string& aId, const std::string& aApp = "a") {
  Notification n;
  n.Id = aId;
  n.App = aApp;
  n.DeviceToken = std::string(64, '0');
  return n;
}

Outcome O(const std::string& aId, int aStatus) {
  Outcome o;
  o.Id = aId;
  o.App = "a";
  o.Status = aStatus;
  return o;
}

TEST(ApnsPushdMemoryQueue, BatchesAreWholeAndEachIsFinishedOnce) {
  MemoryQueue q(3, 10);
  EXPECT_TRUE(q.Append({N("1"), N("2")}));
  EXPECT_FALSE(q.Append({N("3"), N("4")}));  // over the maximum: nothing of it
  EXPECT_EQ(q.Depth(), 2u);
  EXPECT_FALSE(q.Lookup("3"));
  auto taken = q.Take("a", 10, 0ms);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].Id, "1");
  q.MarkSent({"1", "2"});
  EXPECT_EQ(q.Lookup("2")->State, NotificationState::Sent);
  EXPECT_EQ(q.FinishEach({O("1", 200), O("2", 410), O("1", 500), O("9", 200)}),
            (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(q.Depth(), 0u);
  const auto one = q.Lookup("1");
  ASSERT_TRUE(one && one->Final);
  EXPECT_EQ(one->State, NotificationState::Done);
  EXPECT_EQ(one->Final->Status, 200);  // the first outcome holds
  EXPECT_EQ(q.Finish({O("2", 200)}), 0u);
}

TEST(ApnsPushdMemoryQueue, HandedBackGoFirstAndAppsStayApart) {
  MemoryQueue q(10, 10);
  ASSERT_TRUE(q.Append({N("1"), N("2"), N("3"), N("b1", "b")}));
  auto first = q.Take("a", 2, 0ms);
  ASSERT_EQ(first.size(), 2u);
  q.Release(first);
  auto again = q.Take("a", 10, 0ms);
  ASSERT_EQ(again.size(), 3u);
  EXPECT_EQ(again[0].Id, "1");
  EXPECT_EQ(again[1].Id, "2");
  EXPECT_EQ(again[2].Id, "3");
  EXPECT_EQ(q.Take("b", 10, 0ms).size(), 1u);
  // A finished one handed back (a late hand-back) stays finished.
  q.Finish({O("1", 200)});
  q.Release({again[0]});
  EXPECT_TRUE(q.Take("a", 10, 0ms).empty());
}

TEST(ApnsPushdMemoryQueue, FinishedAreForgottenOldestFirst) {
  MemoryQueue q(10, 2);
  ASSERT_TRUE(q.Append({N("1"), N("2"), N("3")}));
  q.Finish({O("1", 200), O("2", 200), O("3", 200)});
  EXPECT_FALSE(q.Lookup("1"));
  EXPECT_TRUE(q.Lookup("2"));
  EXPECT_TRUE(q.Lookup("3"));
}

TEST(ApnsPushdMemoryQueue, CloseWakesAWaitingTake) {
  MemoryQueue q(10, 10);
  std::vector<Notification> got{N("x")};
  std::thread taker([&] { got = q.Take("a", 10, 60s); });
  // Whether the Take is waiting yet or not, it returns at once, empty.
  q.Close();
  taker.join();
  EXPECT_TRUE(got.empty());
  EXPECT_THROW(q.Append({N("1")}), std::runtime_error);
}

TEST(ApnsPushdTokens, SignedOncePerKeyAndRenewedAfter40MinutesOrWhenExpired) {
  auto now = std::chrono::steady_clock::time_point{} + 1h;
  LocalTokenSource tokens([&] { return now; });
  int signatures = 0;
  auto sign = [&] { return "token" + std::to_string(++signatures); };
  EXPECT_EQ(tokens.Current("T", "K", sign), "token1");
  EXPECT_EQ(tokens.Current("T", "K", sign), "token1");
  EXPECT_EQ(tokens.Current("T", "K2", sign), "token2");  // another key, its own token
  now += 39min;
  EXPECT_EQ(tokens.Current("T", "K", sign), "token1");
  now += 1min;
  EXPECT_EQ(tokens.Current("T", "K", sign), "token3");  // 40 minutes old
  // APNs refused an older token as expired: the current one stays.
  tokens.Expire("T", "K", "token1");
  EXPECT_EQ(tokens.Current("T", "K", sign), "token3");
  // The current one refused: a new one at once.
  tokens.Expire("T", "K", "token3");
  EXPECT_EQ(tokens.Current("T", "K", sign), "token4");
  EXPECT_EQ(signatures, 4);
}

}  // namespace
