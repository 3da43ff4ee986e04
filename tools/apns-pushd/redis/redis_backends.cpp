#include "tools/apns-pushd/redis/redis_backends.h"

#include "tools/apns-pushd/backends.h"
#include "tools/apns-pushd/redis/redis_queue.h"

namespace apns_pushd::redis {

void RegisterRedisBackends() {
  SetRedisFactories(
      [](const Config& aConfig) -> std::unique_ptr<NotificationQueue> {
        RedisQueueOptions options;
        options.MaxDepth = aConfig.QueueMax;
        try {
          return MakeRedisQueue(aConfig.Queue, options);
        } catch (const RedisUrlError& e) {
          throw EConfigError(std::string("queue: ") + e.what());
        }
      },
      [](const Config& aConfig) -> std::unique_ptr<ProviderTokenSource> {
        try {
          return MakeRedisTokenSource(aConfig.Queue);
        } catch (const RedisUrlError& e) {
          throw EConfigError(std::string("queue: ") + e.what());
        }
      });
}

}  // namespace apns_pushd::redis
