// The body of POST /v1/apps/{app}/notifications read into notifications:
// one object, an array of them, or {"notifications":[...]}. Each object has
// device_token and payload (a JSON object) and may have topic, push_type,
// priority, expiration, collapse_id and apns_id. Everything is checked
// before anything is queued; the first fault names the notification (its
// index in the batch) and the field.
#pragma once

#include <string>
#include <vector>

#include "tools/apns-pushd/queue.h"

namespace apns_pushd {

// APNs takes payloads of at most this many octets, VoIP ones up to 5120.
inline constexpr size_t kMaxPayload = 4096;
inline constexpr size_t kMaxVoIPPayload = 5120;

struct ParsedBatch {
  std::vector<Notification> Notifications;  // Id, App and QueuedAtMs not set
  std::string Error;                        // empty when the batch is sound
  int Index = -1;                           // the notification at fault, -1 for the whole body
};

ParsedBatch ParseNotifications(const std::string& aBody, size_t aBatchMax);

// 64 to 200 hexadecimal digits, an even number of them.
bool WellFormedDeviceToken(const std::string& aToken);

}  // namespace apns_pushd
