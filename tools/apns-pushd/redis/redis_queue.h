// The fleet mode of apns-pushd: the notification queue and the provider
// token source kept in one Redis server, shared by every instance that names
// the same queue (queue = "redis://host:port/name").
//
// Keys, all under the queue's name N:
//   N:app:{app}     a stream per app holding its notifications; every
//                   instance reads it through the consumer group "apns-pushd"
//                   under a consumer name of its own
//   N:n:{id}        a hash per notification: its state (queued, sent, done),
//                   its stream entry, the sends made, and once done its final
//                   outcome; it expires (StateTtl) once the outcome is in
//   N:depth         notifications appended and not yet finished
//   N:outcomes      a stream of the final outcomes, trimmed to about
//                   OutcomesMaxLen entries
//   N:token:{team}:{key}[:lock|:floor|:signatures]  the shared provider token
//
// Exactly one final outcome per notification: Finish writes the outcome and
// acknowledges the entry in one script, and drops an outcome for a
// notification that already has one. A notification taken by an instance
// that died is claimed by another once it has been idle for ClaimAfter, and
// a claimer skips (and acknowledges) entries whose notification already has
// its final outcome. What remains is the window between APNs' answer and
// Finish on an instance that dies in it: those notifications are sent again
// by the claimer (at least once for what was in flight on a dead instance).
//
// A lost connection is retried with backoff (50 ms doubling to 1 s) for
// RetryFor; Append, Finish, Release, Lookup and Depth then throw RedisError,
// so that the API answers 503 and nothing unacknowledged is reported as
// queued. Take waits out a lost connection within its own wait and returns
// empty (its caller loops); MarkSent gives up its state change after
// RetryFor (the sends go on). An error the server answers (a key of the
// wrong type) is thrown as RedisError by every call. A call retried after
// its answer got lost does no harm: a notification whose id is stored
// already is not appended twice, and a second outcome is dropped (Finish
// then counts the outcomes of the lost answer as dropped).
//
// Release leaves the entries pending, made idle for ClaimAfter, rather than
// appending copies and acknowledging the originals: nothing is ever
// acknowledged and not yet appended again (a stop that dies half-way loses
// nothing and doubles nothing), the entries keep their place and their
// records, and the next claim sweep of any instance takes them over.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tools/apns-pushd/queue.h"
#include "tools/apns-pushd/redis/redis_connection.h"
#include "tools/apns-pushd/redis/redis_token_source.h"

namespace apns_pushd::redis {

struct RedisQueueOptions {
  // Notifications appended and not finished that the queue holds at most.
  size_t MaxDepth = 100000;
  // How long a taken notification stays with its instance without news
  // before another instance may claim it (a live instance renews its hold
  // every third of this, from a thread of the queue's own, so that a full
  // window or a long retry back-off is not taken for a dead instance). After
  // its connection to the server was lost an instance claims nothing for
  // this long, so that the holders renew first once the server is back.
  std::chrono::milliseconds ClaimAfter{30000};
  // False: holds are renewed only from Take, as by an instance whose
  // threads are held up (a test's stand-in for a frozen process).
  bool RenewHolds = true;
  // How long a notification's record stays readable once it is done.
  std::chrono::seconds StateTtl{24 * 3600};
  size_t OutcomesMaxLen = 1000000;
  // This instance's consumer name in the group; empty: host name, process id
  // and a random suffix.
  std::string Consumer;
  RedisClientOptions Client;
};

class RedisQueue : public NotificationQueue {
 public:
  RedisQueue(RedisAddress aAddress, RedisQueueOptions aOptions);
  ~RedisQueue() override;

  bool Append(const std::vector<Notification>& aBatch) override;
  std::vector<Notification> Take(const std::string& aApp, size_t aMax,
                                 std::chrono::milliseconds aWait) override;
  void MarkSent(const std::vector<std::string>& aIds) override;
  // Returns the number of outcomes written; the others were dropped.
  std::vector<bool> FinishEach(const std::vector<Outcome>& aOutcomes) override;
  // Hands taken notifications back at once: they stay pending in the group,
  // made idle for ClaimAfter, so that the next claim sweep of any instance
  // (this one included) takes them over.
  void Release(const std::vector<Notification>& aNotifications) override;
  std::optional<NotificationStatus> Lookup(const std::string& aId) override;
  size_t Depth() override;
  void Close() override;

  const std::string& Consumer() const { return FOptions.Consumer; }
  const RedisAddress& Address() const { return FClient.Address(); }

 private:
  struct AppState {
    bool GroupReady = false;
    std::string Cursor = "0-0";
    std::chrono::steady_clock::time_point NextSweep{};
    std::chrono::steady_clock::time_point NextRenewal{};
  };
  void Renew(RedisConnection& aConnection, const std::string& aApp);
  std::string StreamKey(const std::string& aApp) const;
  void EnsureGroup(RedisConnection& aConnection, const std::string& aApp);
  std::vector<Notification> Claim(RedisConnection& aConnection, const std::string& aApp, size_t aMax);
  std::chrono::milliseconds SweepEvery() const;

  RedisQueueOptions FOptions;
  RedisClient FClient;
  const std::string FPrefix;  // "N:"
  std::mutex FAppsLock;
  std::map<std::string, AppState> FApps;
  // What this instance took and has not finished or released: id -> app and
  // stream entry. Take renews the hold on them every third of ClaimAfter, so
  // that a long retry is not taken for a dead instance; a claim sweep that
  // meets one of them renews it too and does not hand it out a second time.
  struct Held {
    std::string App, Entry;
  };
  std::map<std::string, Held> FHeld;
  // Marks each Finish call: this object's own random part and a count.
  const std::string FFinishMark;
  std::atomic<uint64_t> FFinishCalls{0};
  // The renewal thread: renews the holds of every app until Close.
  void RenewLoop();
  std::mutex FRenewLock;
  std::condition_variable FRenewWake;
  bool FClosed = false;  // guarded by FRenewLock
  std::thread FRenewer;
};

// The queue of aUrl (redis://host:port/name). Throws RedisUrlError for a
// malformed URL and RedisError when the server cannot be reached within the
// options' RetryFor.
std::unique_ptr<RedisQueue> MakeRedisQueue(const std::string& aUrl, const RedisQueueOptions& aOptions = {});

}  // namespace apns_pushd::redis
