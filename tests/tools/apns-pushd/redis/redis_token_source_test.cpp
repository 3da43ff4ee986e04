// Provider tokens shared by the instances of a fleet through a real
// redis-server on loopback: one signature per key, renewal once per fleet,
// the floor between two tokens, a signer that died or failed.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tests/support/wait.h"
#include "tests/tools/apns-pushd/redis/redis_server.h"
#include "tools/apns-pushd/redis/redis_queue.h"

namespace {

using namespace std::chrono_literals;
using apns_pushd::redis::MakeRedisTokenSource;
using apns_pushd::redis::ParseRedisUrl;
using apns_pushd::redis::RedisConnection;
using apns_pushd::redis::RedisTokenOptions;
using apns_pushd::redis::RedisTokenSource;
using apns_pushd_test::RedisServer;

// Counts signatures per key; each takes a while, so that racing instances
// would sign twice if nothing kept them apart.
class CountingSigner {
 public:
  apns_pushd::ProviderTokenSource::Signer For(const std::string& aKeyId) {
    return [this, aKeyId] {
      std::this_thread::sleep_for(20ms);
      std::lock_guard<std::mutex> hold(FLock);
      return "token-" + aKeyId + "-" + std::to_string(++FCount[aKeyId]);
    };
  }
  int Count(const std::string& aKeyId) {
    std::lock_guard<std::mutex> hold(FLock);
    return FCount[aKeyId];
  }

 private:
  std::mutex FLock;
  std::map<std::string, int> FCount;
};

class RedisTokenSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!apns_test::HaveProgram("redis-server")) GTEST_SKIP() << "redis-server is not installed";
    ASSERT_TRUE(FServer.Ready()) << "redis-server did not start";
  }
  std::vector<std::unique_ptr<RedisTokenSource>> Fleet(size_t aCount, RedisTokenOptions aOptions = {}) {
    std::vector<std::unique_ptr<RedisTokenSource>> fleet;
    for (size_t i = 0; i < aCount; ++i) fleet.push_back(MakeRedisTokenSource(FServer.Url("f"), aOptions));
    return fleet;
  }
  RedisServer FServer;
  CountingSigner FSigner;
};

TEST_F(RedisTokenSourceTest, AFleetSignsOneTokenPerKeyAndEveryThreadGetsIt) {
  auto fleet = Fleet(3);
  std::mutex lock;
  std::map<std::string, std::set<std::string>> seen;
  std::vector<std::thread> threads;
  for (auto& source : fleet)
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, s = source.get(), t] {
        for (int i = 0; i < 20; ++i) {
          const std::string key = (i + t) % 2 ? "K1" : "K2";
          const std::string token = s->Current("TEAM", key, FSigner.For(key));
          std::lock_guard<std::mutex> hold(lock);
          seen[key].insert(token);
        }
      });
  for (auto& t : threads) t.join();
  EXPECT_EQ(FSigner.Count("K1"), 1);
  EXPECT_EQ(FSigner.Count("K2"), 1);
  EXPECT_EQ(seen["K1"], std::set<std::string>{"token-K1-1"});
  EXPECT_EQ(seen["K2"], std::set<std::string>{"token-K2-1"});
  EXPECT_EQ(fleet[2]->Signatures("TEAM", "K1"), 1);
  EXPECT_EQ(fleet[0]->Current("OTHER", "K1", FSigner.For("K1")), "token-K1-2") << "a team's key is its own";
}

// When the token reaches its renewal age, the first instance to need it
// signs the next one and the others take that.
TEST_F(RedisTokenSourceTest, TheFleetRenewsOnceWhenTheTokenIsDue) {
  RedisTokenOptions o;
  o.RenewAfter = 1000ms;
  o.MinInterval = 100ms;
  auto fleet = Fleet(3, o);
  const std::string first = fleet[0]->Current("TEAM", "K1", FSigner.For("K1"));
  std::vector<std::thread> threads;
  std::atomic<int> renewed{0};
  for (auto& source : fleet)
    threads.emplace_back([&, s = source.get()] {
      if (apns_test::WaitUntil([&] { return s->Current("TEAM", "K1", FSigner.For("K1")) != first; }, 20s))
        ++renewed;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(renewed, 3);
  EXPECT_EQ(FSigner.Count("K1"), 2);
  EXPECT_EQ(fleet[1]->Current("TEAM", "K1", FSigner.For("K1")), "token-K1-2");
}

// APNs refused the token: it is replaced, but never sooner than the floor
// after it was signed, and once for the fleet; each instance drops its copy
// when APNs refuses it there.
TEST_F(RedisTokenSourceTest, ARefusedTokenIsReplacedOnceAndNotBeforeTheFloor) {
  RedisTokenOptions o;
  o.MinInterval = 500ms;
  auto fleet = Fleet(2, o);
  const std::string first = fleet[0]->Current("TEAM", "K1", FSigner.For("K1"));
  EXPECT_FALSE(fleet[0]->Renew("TEAM", "K1", first)) << "replaced within the floor";
  EXPECT_EQ(fleet[1]->Current("TEAM", "K1", FSigner.For("K1")), first);
  EXPECT_TRUE(apns_test::WaitUntil([&] { return fleet[0]->Renew("TEAM", "K1", first); }));
  const std::string second = fleet[0]->Current("TEAM", "K1", FSigner.For("K1"));
  EXPECT_NE(second, first);
  // The other instance is refused the old token on its own connections.
  EXPECT_TRUE(fleet[1]->Renew("TEAM", "K1", first)) << "another instance replaced it already";
  EXPECT_EQ(fleet[1]->Current("TEAM", "K1", FSigner.For("K1")), second);
  EXPECT_EQ(FSigner.Count("K1"), 2);
}

// A signer that died holding the lock delays the others until the lock runs
// out; one whose signing failed lets it go at once.
TEST_F(RedisTokenSourceTest, ALostOrFailedSignerDoesNotStopTheOthers) {
  RedisTokenOptions o;
  o.LockFor = 300ms;
  auto fleet = Fleet(2, o);
  RedisConnection redis(ParseRedisUrl(FServer.Url("f")), 2s, 5s);
  redis.Command({"SET", "f:token:TEAM:K1:lock", "dead-instance", "PX", "300"});
  EXPECT_EQ(fleet[0]->Current("TEAM", "K1", FSigner.For("K1")), "token-K1-1");

  RedisTokenOptions slow;
  slow.LockFor = 60s;  // a lock left behind would block the test for a minute
  auto pair = Fleet(2, slow);
  EXPECT_THROW(pair[0]->Current("TEAM", "K2", [] () -> std::string { throw std::runtime_error("no key"); }),
               std::runtime_error);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pair[1]->Current("TEAM", "K2", FSigner.For("K2")), "token-K2-1");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

}  // namespace
