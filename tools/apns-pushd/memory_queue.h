// The queue of one instance: notifications kept in the process, per app in
// arrival order, with the state of each (and the outcomes of the last
// finished ones) for GET /v1/notifications/{id}. Nothing survives the
// process: that is what the Redis queue is for.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "tools/apns-pushd/queue.h"

namespace apns_pushd {

class MemoryQueue : public NotificationQueue {
 public:
  // aMax: notifications appended and not finished at most; aKeepFinished:
  // how many finished ones Lookup still knows (the oldest are forgotten).
  MemoryQueue(size_t aMax, size_t aKeepFinished);

  bool Append(const std::vector<Notification>& aBatch) override;
  std::vector<Notification> Take(const std::string& aApp, size_t aMax,
                                 std::chrono::milliseconds aWait) override;
  void MarkSent(const std::vector<std::string>& aIds) override;
  std::vector<bool> FinishEach(const std::vector<Outcome>& aOutcomes) override;
  void Release(const std::vector<Notification>& aNotifications) override;
  std::optional<NotificationStatus> Lookup(const std::string& aId) override;
  size_t Depth() override;
  void Close() override;

 private:
  const size_t FMax, FKeepFinished;
  std::mutex FLock;
  std::condition_variable FArrived;
  bool FClosed = false;
  size_t FDepth = 0;  // appended, not finished
  std::unordered_map<std::string, std::deque<Notification>> FWaiting;  // per app
  std::unordered_map<std::string, NotificationStatus> FStates;         // by id
  std::deque<std::string> FFinished;  // ids of finished ones, oldest first
};

// Provider tokens of this process: one per key, signed when there is none
// or the current one is 40 minutes old, or at once after APNs called it
// expired.
class LocalTokenSource : public ProviderTokenSource {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // aClock gives the time tokens are aged by (the steady clock by default).
  explicit LocalTokenSource(Clock aClock = [] { return std::chrono::steady_clock::now(); })
      : FClock(std::move(aClock)) {}

  std::string Current(const std::string& aTeamId, const std::string& aKeyId,
                      const Signer& aSign) override;
  void Expire(const std::string& aTeamId, const std::string& aKeyId,
              const std::string& aToken) override;

 private:
  struct Entry {
    std::string Token;
    std::chrono::steady_clock::time_point SignedAt;
  };
  const Clock FClock;
  std::mutex FLock;
  std::unordered_map<std::string, Entry> FTokens;  // by team id and key id
};

}  // namespace apns_pushd
