#include "tools/apns-pushd/backends.h"

#include "tools/apns-pushd/memory_queue.h"

namespace apns_pushd {

namespace {

QueueFactory& RedisQueue() {
  static QueueFactory factory;
  return factory;
}

TokenSourceFactory& RedisTokens() {
  static TokenSourceFactory factory;
  return factory;
}

}  // namespace

void SetRedisFactories(QueueFactory aQueue, TokenSourceFactory aTokens) {
  RedisQueue() = std::move(aQueue);
  RedisTokens() = std::move(aTokens);
}

bool InProcessQueue(const Config& aConfig) { return aConfig.Queue == "memory"; }

std::unique_ptr<NotificationQueue> MakeQueue(const Config& aConfig) {
  if (InProcessQueue(aConfig)) return std::make_unique<MemoryQueue>(aConfig.QueueMax, aConfig.KeepFinished);
  if (!RedisQueue()) throw EConfigError("queue: the Redis queue is not built into this program");
  return RedisQueue()(aConfig);
}

std::unique_ptr<ProviderTokenSource> MakeTokenSource(const Config& aConfig) {
  if (InProcessQueue(aConfig)) return std::make_unique<LocalTokenSource>();
  if (!RedisTokens()) throw EConfigError("queue: the Redis queue is not built into this program");
  return RedisTokens()(aConfig);
}

}  // namespace apns_pushd
