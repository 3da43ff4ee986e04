// Three apns-pushd instances sharing one Redis queue and one apns-mock, all
// on loopback: one instance is killed (SIGKILL) half-way and the Redis
// server is killed and started again later (its append-only file flushed
// before each answer). Every notification the API acknowledged ends with
// exactly one final outcome; the mock sees a notification twice only when
// it was in flight on the killed instance; the fleet signs one provider
// token for its key.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <set>

#include "tests/support/apns_mock_harness.h"
#include "tests/support/wait.h"
#include "tests/tools/apns-pushd/redis/redis_server.h"
#include "tools/apns-pushd/redis/redis_connection.h"

namespace {

using namespace std::chrono_literals;
using apns_pushd::redis::ParseRedisUrl;
using apns_pushd::redis::RedisConnection;
using apns_pushd::redis::RedisValue;
using apns_pushd_test::RedisServer;
using apns_test::ApnsMock;
using apns_test::ChildProcess;
using apns_test::FixturePath;
using apns_test::ReadFile;
using apns_test::TempDir;

constexpr int kCount = 100000;
constexpr int kBatch = 500;
const std::string kApiToken = "fleet-test-api-token-0123456789";

std::string DeviceToken(int aIndex) {
  char text[65];
  std::snprintf(text, sizeof text, "%064x", aIndex);
  return text;
}

// One apns-pushd of the fleet, started on a free port.
class Instance {
 public:
  Instance(const std::string& aQueue, const ApnsMock& aMock, int aIndex) {
    const std::string config =
        "listen = \"127.0.0.1:0\"\napi_tokens = [\"" + kApiToken + "\"]\nqueue = \"" + aQueue +
        "\"\nqueue_max = 1000000\nstop_timeout_ms = 5000\noutcome_file = \"" + Outcomes() +
        "\"\n\n[[app]]\nname = \"app\"\nserver = \"https://127.0.0.1:" + std::to_string(aMock.port()) +
        "\"\ntopic = \"com.example.app\"\nkey = \"" + FixturePath("AuthKey_TEST123456.p8") + "\"\nkey_id = \"" +
        std::string(apns_test::kKeyId) + "\"\nteam_id = \"" + std::string(apns_test::kTeamId) +
        "\"\nca_file = \"" + FixturePath("ca.crt") + "\"\n";
    apns_test::WriteFile(FDir.File("pushd.toml"), config);
    FProcess.emplace(std::vector<std::string>{APNS_PUSHD_PATH, "--config", FDir.File("pushd.toml")},
                     FDir.File("stdout"), FDir.File("stderr"));
    const bool up = apns_test::WaitUntil([&] {
      return ReadFile(FDir.File("stdout")).find('\n') != std::string::npos || !FProcess->Running();
    });
    const std::string out = ReadFile(FDir.File("stdout"));
    if (!up || out.find("listening on ") != 0)
      throw std::runtime_error("apns-pushd " + std::to_string(aIndex) + " did not start: " + Stderr());
    FPort = std::stoi(out.substr(out.rfind(':') + 1));
  }

  pid_t Pid() const { return FProcess->pid(); }
  std::string Outcomes() const { return FDir.File("outcomes.jsonl"); }
  std::string Stderr() const { return ReadFile(FDir.File("stderr")); }
  void Kill() {
    ::kill(FProcess->pid(), SIGKILL);
    FProcess->Wait(5s);
  }
  int Stop() { return FProcess->Stop(20s); }
  // GET /v1/notifications/aId: the status and the body.
  std::pair<int, std::string> Get(const std::string& aId) const {
    httplib::Client c("127.0.0.1", FPort);
    c.set_bearer_token_auth(kApiToken);
    const auto r = c.Get("/v1/notifications/" + aId);
    return r ? std::make_pair(r->status, r->body) : std::make_pair(0, std::string());
  }
  // The ids the API acknowledged (202), or nothing when it did not.
  std::optional<std::vector<std::string>> Post(const std::string& aBody) const {
    httplib::Client c("127.0.0.1", FPort);
    c.set_read_timeout(std::chrono::seconds(60));
    c.set_bearer_token_auth(kApiToken);
    const auto r = c.Post("/v1/apps/app/notifications", aBody, "application/json");
    if (!r || r->status != 202) return std::nullopt;
    std::vector<std::string> ids;
    for (size_t at = r->body.find("\"ids\":[") + 7; at < r->body.size() && r->body[at] == '"';) {
      const size_t end = r->body.find('"', at + 1);
      ids.push_back(r->body.substr(at + 1, end - at - 1));
      at = end + 2;
    }
    return ids;
  }

 private:
  TempDir FDir{"apns-pushd-fleet"};
  std::optional<ChildProcess> FProcess;
  int FPort = 0;
};

std::string Field(const RedisValue& aFields, const std::string& aName) {
  for (size_t i = 0; i + 1 < aFields.Elements.size(); i += 2)
    if (aFields.Elements[i].Str == aName) return aFields.Elements[i + 1].Str;
  return {};
}

TEST(ApnsPushdFleet, EveryAcknowledgedNotificationEndsOnceThroughAKillAndARedisRestart) {
  if (!apns_test::HaveProgram("redis-server")) GTEST_SKIP() << "redis-server is not installed";
  RedisServer redis(true);
  ASSERT_TRUE(redis.Ready());
  // Answers 20 ms late, so that each instance always has work in flight.
  auto mockOptions = ApnsMock::BothAuthModes();
  mockOptions.insert(mockOptions.end(), {"--delay", "20"});
  ApnsMock mock(mockOptions);
  const std::string queue = redis.Url("fleet") + "?claim_after_ms=2000&retry_ms=30000";
  std::vector<std::unique_ptr<Instance>> fleet;
  for (int i = 0; i < 3; ++i) fleet.push_back(std::make_unique<Instance>(queue, mock, i));
  auto connect = [&] { return RedisConnection(ParseRedisUrl(redis.Url("fleet")), 2s, 30s); };

  // The notifications go out in batches to the instances in turn; instance
  // 2 is killed half-way, the Redis server at three quarters.
  const auto start = std::chrono::steady_clock::now();
  std::set<std::string> acknowledged;
  std::set<std::string> inFlightOnKilled;  // device tokens
  std::vector<bool> alive = {true, true, true};
  int next = 0, refused = 0, killedAt = -1;
  std::string viaOne;  // an id instance 1 acknowledged
  for (int b = 0; b < kCount / kBatch; ++b) {
    if (b >= kCount / kBatch / 2 && alive[2]) {
      // From half-way on, killed as soon as it holds notifications (pending
      // under its consumer name, host-pid-suffix): frozen first, so that
      // what it holds can be read before it dies.
      RedisConnection r = connect();
      const std::string mark = "-" + std::to_string(fleet[2]->Pid()) + "-";
      std::set<std::string> entries;
      ::kill(fleet[2]->Pid(), SIGSTOP);
      const RedisValue pending = r.Command({"XPENDING", "fleet:app:app", "apns-pushd", "-", "+", "1000000"});
      for (const auto& p : pending.Elements)
        if (p.Elements.size() >= 2 && p.Elements[1].Str.find(mark) != std::string::npos)
          entries.insert(p.Elements[0].Str);
      if (entries.empty()) {
        ::kill(fleet[2]->Pid(), SIGCONT);
      } else {
        fleet[2]->Kill();
        alive[2] = false;
        killedAt = b;
      }
      for (const auto& e : entries) {
        const RedisValue entry = r.Command({"XRANGE", "fleet:app:app", e, e});
        if (!entry.Elements.empty()) inFlightOnKilled.insert(Field(entry.Elements[0].Elements[1], "tok"));
      }
    }
    if (b == kCount / kBatch * 3 / 4) {
      redis.Kill();
      ASSERT_TRUE(redis.Start());
    }
    std::string body = "{\"notifications\":[";
    for (int i = 0; i < kBatch; ++i)
      body += std::string(i ? "," : "") + "{\"device_token\":\"" + DeviceToken(b * kBatch + i) +
              "\",\"payload\":{\"aps\":{\"alert\":\"n" + std::to_string(b * kBatch + i) + "\"}}}";
    body += "]}";
    std::optional<std::vector<std::string>> ids;
    for (int attempt = 0; attempt < 20 && !ids; ++attempt) {
      do next = (next + 1) % 3;
      while (!alive[next]);
      ids = fleet[next]->Post(body);
      if (!ids) ++refused;
    }
    ASSERT_TRUE(ids) << "batch " << b << " was never acknowledged";
    ASSERT_EQ(ids->size(), static_cast<size_t>(kBatch));
    acknowledged.insert(ids->begin(), ids->end());
    if (next == 1) viaOne = ids->front();
  }
  ASSERT_EQ(acknowledged.size(), static_cast<size_t>(kCount));
  EXPECT_FALSE(alive[2]) << "instance 2 never held anything to be killed with";
  EXPECT_LT(killedAt, kCount / kBatch * 3 / 4);

  // Done when the queue is empty and every outcome is in.
  RedisConnection r = connect();
  EXPECT_TRUE(apns_test::WaitUntil(
      [&] {
        return r.Command({"GET", "fleet:depth"}).Number(-1) == 0 &&
               r.Command({"XLEN", "fleet:outcomes"}).Number(0) >= kCount;
      },
      180s))
      << r.Command({"GET", "fleet:depth"}).Number(-1) << " unfinished";
  const auto took = std::chrono::steady_clock::now() - start;
  // Its state on another instance.
  const auto [status, body] = fleet[0]->Get(viaOne);
  EXPECT_EQ(status, 200);
  EXPECT_NE(body.find("\"state\":\"done\""), std::string::npos) << body;
  EXPECT_NE(body.find("\"status\":200"), std::string::npos) << body;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(fleet[i]->Stop(), 0) << fleet[i]->Stderr();

  // Exactly one final outcome each, in the outcome stream and the records.
  std::map<std::string, int> outcomes;
  int notOk = 0;
  const RedisValue stream = r.Command({"XRANGE", "fleet:outcomes", "-", "+"});
  for (const auto& entry : stream.Elements) {
    ++outcomes[Field(entry.Elements[1], "id")];
    if (Field(entry.Elements[1], "status") != "200") ++notOk;
  }
  EXPECT_EQ(notOk, 0);
  EXPECT_EQ(outcomes.size(), acknowledged.size());
  int missing = 0, twice = 0;
  for (const auto& id : acknowledged) {
    const int n = outcomes.count(id) ? outcomes[id] : 0;
    missing += n == 0;
    twice += n > 1;
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(twice, 0);
  std::vector<std::vector<std::string>> lookups;
  for (const auto& id : acknowledged) lookups.push_back({"HGET", "fleet:n:" + id, "st"});
  int notDone = 0;
  for (const auto& v : r.Pipeline(lookups)) notDone += v.Str != "done";
  EXPECT_EQ(notDone, 0);

  // Each instance's outcome file has a notification at most once.
  std::map<std::string, int> filed;
  for (const auto& instance : fleet) {
    const std::string text = ReadFile(instance->Outcomes());
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      ++filed[apns_test::JsonMember(text.substr(at, end - at), "id")];
  }
  int filedTwice = 0;
  for (const auto& [id, n] : filed) filedTwice += n > 1;
  EXPECT_EQ(filedTwice, 0);

  // The mock: each device token once, but for what the killed instance had
  // in flight; one provider token for the whole run.
  std::map<std::string, int> delivered;
  std::set<std::string> tokens;
  int tooManyUpdates = 0;
  for (const std::string& line : mock.LogLines()) {
    const size_t at = line.find("/3/device/");
    if (at == std::string::npos) continue;
    ++delivered[line.substr(at + 10, 64)];
    tokens.insert(apns_test::JsonMember(line, "token_hash"));
    tooManyUpdates += line.find("TooManyProviderTokenUpdates") != std::string::npos;
  }
  EXPECT_EQ(delivered.size(), static_cast<size_t>(kCount));
  int duplicates = 0, unexplained = 0;
  for (const auto& [token, n] : delivered) {
    if (n < 2) continue;
    ++duplicates;
    unexplained += !inFlightOnKilled.count(token);
  }
  EXPECT_EQ(unexplained, 0) << "delivered twice without having been in flight on the killed instance";
  EXPECT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tooManyUpdates, 0);
  EXPECT_EQ(r.Command({"GET", "fleet:token:" + std::string(apns_test::kTeamId) + ":" +
                              std::string(apns_test::kKeyId) + ":signatures"})
                .Number(0),
            1);
  std::cout << "fleet: " << kCount << " notifications in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms; "
            << "instance 2 killed after " << killedAt * kBatch << " holding " << inFlightOnKilled.size()
            << ", " << duplicates << " of them delivered twice; " << refused << " batches refused and posted again\n";
}

}  // namespace
