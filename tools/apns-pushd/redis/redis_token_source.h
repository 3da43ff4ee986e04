// The provider tokens of apns-pushd's fleet mode, shared through Redis by
// every instance that names the same queue (redis_queue.h lists the keys).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tools/apns-pushd/queue.h"
#include "tools/apns-pushd/redis/redis_connection.h"

namespace apns_pushd::redis {

// Provider tokens shared by a fleet: per signing key (team id and key id) one
// instance signs, under a lock, and stores the token; the others read it.
// The stored token expires at RenewAfter, when the first instance to need it
// signs the next; a token is never replaced sooner than MinInterval after it
// was signed.
struct RedisTokenOptions {
  std::chrono::milliseconds RenewAfter{40 * 60 * 1000};
  std::chrono::milliseconds MinInterval{20 * 60 * 1000};
  // How long the signer's lock holds when its holder dies before storing.
  std::chrono::milliseconds LockFor{10000};
  RedisClientOptions Client;
};

class RedisTokenSource : public ProviderTokenSource {
 public:
  RedisTokenSource(RedisAddress aAddress, RedisTokenOptions aOptions);
  ~RedisTokenSource() override;

  std::string Current(const std::string& aTeamId, const std::string& aKeyId,
                      const Signer& aSign) override;

  // The service's word that APNs refused aToken as expired: Renew.
  void Expire(const std::string& aTeamId, const std::string& aKeyId, const std::string& aToken) override {
    Renew(aTeamId, aKeyId, aToken);
  }

  // APNs refused aToken (ExpiredProviderToken): drops it so that the next
  // Current signs a new one, unless it is younger than MinInterval. True
  // when the next Current gives another token (this call dropped it, or
  // another instance had replaced it already).
  bool Renew(const std::string& aTeamId, const std::string& aKeyId, const std::string& aToken);

  // Tokens signed for this key by the whole fleet (for /metrics and tests).
  long long Signatures(const std::string& aTeamId, const std::string& aKeyId);

 private:
  struct Cached {
    std::string Token;
    std::chrono::steady_clock::time_point ValidUntil{};
    std::mutex Lock;  // one thread of this instance asks Redis at a time
  };
  std::string Key(const std::string& aTeamId, const std::string& aKeyId) const;
  Cached& Entry(const std::string& aKey);

  RedisTokenOptions FOptions;
  RedisClient FClient;
  const std::string FPrefix;
  const std::string FOwner;  // the value of a lock this instance holds
  std::mutex FLock;
  std::map<std::string, std::unique_ptr<Cached>> FCache;
};

// The token source of the fleet named by aUrl, the same URL as the queue's.
std::unique_ptr<RedisTokenSource> MakeRedisTokenSource(const std::string& aUrl,
                                                       const RedisTokenOptions& aOptions = {});

}  // namespace apns_pushd::redis
