#include "tools/apns-pushd/redis/redis_token_source.h"

#include <unistd.h>

#include <random>
#include <thread>

namespace apns_pushd::redis {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// KEYS: the token, its floor, the signing lock, the signature counter.
// ARGV: the token, its lifetime (ms), the floor's lifetime (ms), the lock
// holder. Stores a token signed under the lock and lets the lock go.
const char* const kStoreScript = R"lua(
redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
redis.call('SET', KEYS[2], '1', 'PX', ARGV[3])
redis.call('INCR', KEYS[4])
if redis.call('GET', KEYS[3]) == ARGV[4] then redis.call('DEL', KEYS[3]) end
return 1
)lua";

// KEYS: the token, its floor, the signing lock. ARGV: the lock holder. Lets
// the lock go when signing failed.
const char* const kUnlockScript = R"lua(
if redis.call('GET', KEYS[3]) == ARGV[1] then redis.call('DEL', KEYS[3]) end
return 1
)lua";

// KEYS: the token, its floor. ARGV: the token APNs refused. Drops it unless
// it is younger than the floor. 1 when the next reader gets another token.
const char* const kRenewScript = R"lua(
local cur = redis.call('GET', KEYS[1])
if not cur or cur ~= ARGV[1] then return 1 end
if redis.call('EXISTS', KEYS[2]) == 1 then return 0 end
redis.call('DEL', KEYS[1])
return 1
)lua";

std::string LockOwner() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) std::snprintf(host, sizeof host, "host");
  std::random_device rd;
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, "%08x%08x", static_cast<unsigned>(rd()), static_cast<unsigned>(rd()));
  return std::string(host) + "-" + std::to_string(getpid()) + "-" + suffix;
}

}  // namespace

RedisTokenSource::RedisTokenSource(RedisAddress aAddress, RedisTokenOptions aOptions)
    : FOptions(aOptions), FClient(aAddress, FOptions.Client), FPrefix(aAddress.Name + ":"),
      FOwner(LockOwner()) {}

RedisTokenSource::~RedisTokenSource() = default;

std::string RedisTokenSource::Key(const std::string& aTeamId, const std::string& aKeyId) const {
  return FPrefix + "token:" + aTeamId + ":" + aKeyId;
}

RedisTokenSource::Cached& RedisTokenSource::Entry(const std::string& aKey) {
  std::lock_guard<std::mutex> lock(FLock);
  auto& e = FCache[aKey];
  if (!e) e = std::make_unique<Cached>();
  return *e;
}

std::string RedisTokenSource::Current(const std::string& aTeamId, const std::string& aKeyId,
                                      const Signer& aSign) {
  const std::string key = Key(aTeamId, aKeyId);
  const std::string lock_key = key + ":lock", floor_key = key + ":floor";
  Cached& cached = Entry(key);
  std::lock_guard<std::mutex> hold(cached.Lock);
  if (!cached.Token.empty() && Clock::now() < cached.ValidUntil) return cached.Token;

  // Another instance holding the lock stores its token within LockFor, or
  // its lock runs out and this one signs.
  const auto deadline = Clock::now() + FOptions.LockFor + FOptions.Client.RetryFor;
  for (;;) {
    std::string token;
    long long ttl = -2;
    bool locked = false;
    FClient.Run([&](RedisConnection& c) {
      token.clear();
      locked = false;
      auto read = [&] {
        const auto r = c.Pipeline({{"GET", key}, {"PTTL", key}});
        CheckReply(r[0], "reading the provider token");
        token = r[0].IsNil() ? std::string() : r[0].Str;
        ttl = r[1].Number(-2);
        if (ttl <= 0) token.clear();
      };
      read();
      if (!token.empty()) return;
      const RedisValue l =
          c.Command({"SET", lock_key, FOwner, "NX", "PX", std::to_string(FOptions.LockFor.count())});
      CheckReply(l, "locking the provider token");
      locked = l.Type == RedisValue::Kind::Status && l.Str == "OK";
      // The previous holder may have stored its token and let go of the lock
      // between the read and the lock.
      if (locked) read();
    });
    if (!token.empty()) {
      if (locked) {
        FClient.Run([&](RedisConnection& c) {
          CheckReply(EvalScript(c, kUnlockScript, {key, floor_key, lock_key}, {FOwner}), "unlocking");
        });
      }
      cached.Token = token;
      cached.ValidUntil = Clock::now() + milliseconds(ttl);
      return token;
    }
    if (locked) {
      std::string signed_token;
      try {
        signed_token = aSign();
      } catch (...) {
        try {
          FClient.Run([&](RedisConnection& c) {
            EvalScript(c, kUnlockScript, {key, floor_key, lock_key}, {FOwner});
          });
        } catch (const RedisError&) {
          // the lock runs out by itself
        }
        throw;
      }
      FClient.Run([&](RedisConnection& c) {
        CheckReply(EvalScript(c, kStoreScript, {key, floor_key, lock_key, key + ":signatures"},
                              {signed_token, std::to_string(FOptions.RenewAfter.count()),
                               std::to_string(FOptions.MinInterval.count()), FOwner}),
                   "storing the provider token");
      });
      cached.Token = signed_token;
      cached.ValidUntil = Clock::now() + FOptions.RenewAfter;
      return signed_token;
    }
    if (Clock::now() > deadline)
      throw RedisError("redis " + FClient.Address().Endpoint() + ": no provider token for key " + aKeyId +
                           ": another instance holds the signing lock and stores none",
                       false);
    std::this_thread::sleep_for(milliseconds(10));  // the holder is another process
  }
}

bool RedisTokenSource::Renew(const std::string& aTeamId, const std::string& aKeyId,
                             const std::string& aToken) {
  const std::string key = Key(aTeamId, aKeyId);
  long long renewed = 0;
  FClient.Run([&](RedisConnection& c) {
    renewed = CheckReply(EvalScript(c, kRenewScript, {key, key + ":floor"}, {aToken}), "renewing").Number(0);
  });
  if (renewed == 1) {
    Cached& cached = Entry(key);
    std::lock_guard<std::mutex> hold(cached.Lock);
    if (cached.Token == aToken) cached.Token.clear();
  }
  return renewed == 1;
}

long long RedisTokenSource::Signatures(const std::string& aTeamId, const std::string& aKeyId) {
  long long n = 0;
  FClient.Run([&](RedisConnection& c) {
    n = CheckReply(c.Command({"GET", Key(aTeamId, aKeyId) + ":signatures"}), "signatures").Number(0);
  });
  return n;
}

std::unique_ptr<RedisTokenSource> MakeRedisTokenSource(const std::string& aUrl,
                                                       const RedisTokenOptions& aOptions) {
  const RedisAddress address = ParseRedisUrl(aUrl);
  RedisTokenOptions options = aOptions;
  if (address.RetryMs) options.Client.RetryFor = milliseconds(address.RetryMs);
  auto source = std::make_unique<RedisTokenSource>(address, options);
  source->Signatures("", "");  // reaches the server now, so that a wrong address shows at start
  return source;
}

}  // namespace apns_pushd::redis
