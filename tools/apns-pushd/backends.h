// Where the service keeps its work, chosen by the configuration's queue
// key: "memory" (the default) keeps the queue and the provider tokens in the
// process; "redis://host:port/name" uses the Redis stream and the shared
// tokens that the Redis part registers with SetRedisFactories.
#pragma once

#include <functional>
#include <memory>

#include "tools/apns-pushd/config.h"
#include "tools/apns-pushd/queue.h"

namespace apns_pushd {

using QueueFactory = std::function<std::unique_ptr<NotificationQueue>(const Config&)>;
using TokenSourceFactory = std::function<std::unique_ptr<ProviderTokenSource>(const Config&)>;

// Registers the Redis implementations (called once before MakeQueue).
void SetRedisFactories(QueueFactory aQueue, TokenSourceFactory aTokens);

// The queue the configuration names. A Redis URL without registered
// factories raises EConfigError.
std::unique_ptr<NotificationQueue> MakeQueue(const Config& aConfig);
// The provider-token source that belongs to that queue.
std::unique_ptr<ProviderTokenSource> MakeTokenSource(const Config& aConfig);

// Whether the queue is the process's own (its notifications end with the
// process).
bool InProcessQueue(const Config& aConfig);

}  // namespace apns_pushd
