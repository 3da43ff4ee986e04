// Where final outcomes go once the queue has them: the JSON-lines file, the
// webhook (batched POSTs, retried with back-off) and the API calls waiting
// for them (?wait=1).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tools/apns-pushd/config.h"
#include "tools/apns-pushd/metrics.h"
#include "tools/apns-pushd/queue.h"

namespace apns_pushd {

// The outcome as one JSON object (the file's line, the webhook's item, the
// ?wait=1 answer's item).
std::string OutcomeJSON(const Outcome& o);

// The outcomes an API call waits for.
class OutcomeWaiter {
 public:
  explicit OutcomeWaiter(const std::vector<std::string>& aIds);
  // Stores an outcome of one of the ids; false when it is not one of them
  // or had one already.
  bool Put(const Outcome& o);
  // Waits until every id has its outcome or aUntil passes; meanwhile
  // every aPollEvery calls aPoll with the ids still waiting (a fleet's
  // other instances finish notifications too); aPoll returns false to end
  // the wait (the service stops). True when all came.
  bool Wait(std::chrono::steady_clock::time_point aUntil, std::chrono::milliseconds aPollEvery,
            const std::function<bool(const std::vector<std::string>&)>& aPoll);
  // The outcome of aId, when it came.
  std::optional<Outcome> Get(const std::string& aId);
  const std::vector<std::string>& Ids() const { return FIds; }

 private:
  const std::vector<std::string> FIds;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::unordered_map<std::string, std::optional<Outcome>> FOutcomes;
  size_t FLeft = 0;
};

class OutcomeSink {
 public:
  // Opens the outcome file (append) and starts the webhook thread when
  // configured. A file that cannot be opened raises EConfigError.
  OutcomeSink(const Config& aConfig, Metrics& aMetrics);
  ~OutcomeSink();
  OutcomeSink(const OutcomeSink&) = delete;
  OutcomeSink& operator=(const OutcomeSink&) = delete;

  // Outcomes the queue has finished: each goes to the file, the webhook,
  // the metrics and its waiter.
  void Deliver(const std::vector<Outcome>& aOutcomes);

  // Registers a waiter for aIds before they are queued; Unwatch after.
  std::shared_ptr<OutcomeWaiter> Watch(const std::vector<std::string>& aIds);
  void Unwatch(const OutcomeWaiter& aWaiter);

  // Gives the webhook until aUntil to take what is left, then stops it and
  // flushes the file. Outcomes that never reached the webhook are logged
  // and counted.
  void Stop(std::chrono::steady_clock::time_point aUntil);

 private:
  void WebhookLoop();
  bool PostBatch(const std::string& aBody);

  const Config& FConfig;
  Metrics& FMetrics;
  std::FILE* FFile = nullptr;
  std::mutex FFileLock;
  std::string FLines;  // under FFileLock

  std::mutex FWatchLock;
  std::unordered_map<std::string, std::shared_ptr<OutcomeWaiter>> FWatched;

  // The webhook's backlog: one JSON object per outcome.
  std::mutex FHookLock;
  std::condition_variable FHookChanged;
  std::deque<std::string> FHookBacklog;
  bool FHookStopping = false;
  std::chrono::steady_clock::time_point FHookUntil;
  std::thread FHookThread;
  std::string FHookHost, FHookPath;
};

}  // namespace apns_pushd
