// The seams of apns-pushd between the service and where its work is kept:
// the notification queue (in the process, or a Redis stream shared by a
// fleet of instances) and the source of provider tokens (signed here, or
// signed by one instance of a fleet and shared through Redis).
//
// The service takes notifications from the HTTP API, appends them to a
// NotificationQueue, and its senders take them per app, push them to APNs
// and hand back each final outcome. A notification is acknowledged only
// once its final outcome is written (Finish); one taken and not finished
// goes back (Release) or, when its instance died, is claimed by another
// instance after a time-out.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace apns_pushd {

// One notification as the API accepted it. Id is the service's own id
// (answered to the caller, used by GET /v1/notifications/{id}); the APNs
// header fields are empty when not given.
struct Notification {
  std::string Id;
  std::string App;
  std::string DeviceToken;
  std::string Payload;  // the JSON payload as text
  std::string Topic, PushType, Priority, Expiration, CollapseId, ApnsId;
  int Attempts = 0;     // attempts already made (a retry or a claim keeps it)
  int64_t QueuedAtMs = 0;  // milliseconds since the epoch
};

enum class NotificationState { Queued, Sent, Done };

// A notification's final outcome: APNs' status (0 when no answer came),
// its reason (empty on 200), the apns-id of the answer, the attempts made.
struct Outcome {
  std::string Id;
  std::string App;
  std::string DeviceToken;
  int Status = 0;
  std::string Reason;
  std::string ApnsId;
  int Attempts = 0;
  int64_t DoneAtMs = 0;  // milliseconds since the epoch
};

// What GET /v1/notifications/{id} answers.
struct NotificationStatus {
  NotificationState State = NotificationState::Queued;
  std::optional<Outcome> Final;  // set when State is Done
};

class NotificationQueue {
 public:
  virtual ~NotificationQueue() = default;

  // Appends the whole batch, or nothing when it would take the queue over
  // its maximum (the caller answers 429). Throws on a failure of the store
  // (the caller answers 503); nothing of the batch is then acknowledged.
  virtual bool Append(const std::vector<Notification>& aBatch) = 0;

  // Up to aMax notifications of app aApp ready to send, waiting at most
  // aWait for the first. Empty after Close() or when none came in time.
  virtual std::vector<Notification> Take(const std::string& aApp, size_t aMax,
                                         std::chrono::milliseconds aWait) = 0;

  // Marks taken notifications as sent (state only; they stay unfinished).
  virtual void MarkSent(const std::vector<std::string>& aIds) = 0;

  // Writes the final outcomes and then acknowledges their notifications,
  // each exactly once: an outcome for a notification that already has one
  // is dropped. The result says of each outcome, in order, whether it was
  // written (and so is to be reported); a call repeated after its answer
  // was lost finds its own outcomes written.
  virtual std::vector<bool> FinishEach(const std::vector<Outcome>& aOutcomes) = 0;

  // FinishEach, and how many outcomes were written.
  size_t Finish(const std::vector<Outcome>& aOutcomes) {
    const std::vector<bool> written = FinishEach(aOutcomes);
    return static_cast<size_t>(std::count(written.begin(), written.end(), true));
  }

  // FinishEach, keeping in aOutcomes only those written.
  void FinishAndKeepWritten(std::vector<Outcome>& aOutcomes) {
    const std::vector<bool> written = FinishEach(aOutcomes);
    size_t kept = 0;
    for (size_t i = 0; i < aOutcomes.size(); ++i) {
      if (i >= written.size() || !written[i]) continue;
      if (kept != i) aOutcomes[kept] = std::move(aOutcomes[i]);
      ++kept;
    }
    aOutcomes.resize(kept);
  }

  // Hands taken notifications back unfinished: to the queue's front in the
  // process; in a fleet, left pending for another instance to claim.
  virtual void Release(const std::vector<Notification>& aNotifications) = 0;

  // The state of a notification, nothing when the id is unknown (or its
  // record expired).
  virtual std::optional<NotificationStatus> Lookup(const std::string& aId) = 0;

  // Notifications appended and not yet finished.
  virtual size_t Depth() = 0;

  // Wakes every Take and makes later ones return empty at once.
  virtual void Close() = 0;
};

// The provider token (a signed ES256 JWT) that a key's connections present.
// Sign makes a new one; the source decides when (every 40 minutes at most
// once per key, in a fleet once per key for all instances).
class ProviderTokenSource {
 public:
  using Signer = std::function<std::string()>;
  virtual ~ProviderTokenSource() = default;
  // The current token of the key named by aTeamId and aKeyId, signed with
  // aSign when none is current.
  virtual std::string Current(const std::string& aTeamId, const std::string& aKeyId,
                              const Signer& aSign) = 0;
  // APNs refused aToken as expired (403 ExpiredProviderToken): the next
  // Current signs a new one, unless another took its place meanwhile.
  virtual void Expire(const std::string& aTeamId, const std::string& aKeyId,
                      const std::string& aToken) = 0;
};

}  // namespace apns_pushd
