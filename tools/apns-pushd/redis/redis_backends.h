// Makes the service's queue = "redis://host:port/name" work: registers the
// Redis queue and the shared provider tokens with the service's backends.
#pragma once

namespace apns_pushd::redis {

// Called once at start, before the service makes its queue. The queue holds
// at most the configuration's queue_max notifications; a malformed URL
// raises EConfigError naming the queue key.
void RegisterRedisBackends();

}  // namespace apns_pushd::redis
