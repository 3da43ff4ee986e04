// The service: the queue, the senders of the apps, the outcome sink and the
// HTTP API, started together and stopped gracefully.
//
// Stop. New notifications are refused (503) from the moment the stop
// begins; the senders finish what is in flight until the stop's bound and
// hand the rest back to the queue. With the queue in the process, what is
// left then gets the outcome "NotSent" (status 0) in the file, the webhook
// and waiting API calls, so no notification ends without one; a fleet's
// queue keeps it for another instance.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/apns-pushd/config.h"
#include "tools/apns-pushd/metrics.h"
#include "tools/apns-pushd/outcomes.h"
#include "tools/apns-pushd/queue.h"
#include "tools/apns-pushd/sender.h"

namespace httplib {
class Server;
}

namespace apns_pushd {

class Service {
 public:
  explicit Service(Config aConfig);
  ~Service();

  // Binds the API's address; the port it listens on (the configured one,
  // or the one the system chose for port 0). Raises EConfigError when it
  // cannot bind.
  int Start();
  // The graceful stop (see above), bounded by the configuration's
  // stop_timeout_ms. Returns the notifications without a final outcome
  // that were left in the queue (a fleet's) or marked NotSent.
  size_t Stop();

 private:
  void Routes();
  // The API's handlers.
  void PostNotifications(const std::string& aApp, const std::string& aBody, bool aWait, int& aStatus,
                         std::string& aAnswer, std::string& aRetryAfter);
  std::string StatusJSON(const std::string& aId, const std::optional<NotificationStatus>& aStatus);
  bool Authorized(const std::string& aHeader) const;
  std::string NewId();

  Config FConfig;
  Metrics FMetrics;
  std::unique_ptr<NotificationQueue> FQueue;
  std::unique_ptr<ProviderTokenSource> FTokens;
  std::unique_ptr<OutcomeSink> FSink;
  std::vector<std::unique_ptr<Sender>> FSenders;
  std::unique_ptr<httplib::Server> FServer;
  std::thread FListener;
  // Held shared by each call that queues, taken whole by the stop: after
  // the stop has begun nothing is queued any more.
  std::shared_mutex FGate;
  std::atomic<bool> FStopping{false};
  std::atomic<uint64_t> FIdCounter{0};
  uint64_t FIdPrefix = 0;
};

}  // namespace apns_pushd
