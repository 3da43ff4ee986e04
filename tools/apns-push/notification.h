// One notification to send: its device token and, when they differ from the
// command line's, its own payload and apns-* headers, with how often it was
// sent so far.
#pragma once

#include <memory>
#include <string>

#include "apns/kfxAPNs_Setup.h"

namespace apns_push {

struct Notification {
  std::string Token;
  // Null: the command line's payload / headers. Shared, read-only: a
  // retry sends the same ones again, and lines with equal headers share them.
  std::shared_ptr<const std::string> Payload;
  std::shared_ptr<const TkfxAPNsHeaders> Headers;
  int Attempts = 0;  // sends so far
};

// Answers APNs asks to send again later: 429 TooManyRequests, 500
// InternalServerError, 503 ServiceUnavailable.
inline bool RetriableStatus(int aStatus) {
  return aStatus == 429 || aStatus == 500 || aStatus == 503;
}

// The same for an answer with its reason: a 429 TooManyProviderTokenUpdates
// is about the provider token, which the client keeps and the server goes
// on refusing for a long time; sending again soon would not help.
inline bool RetriableAnswer(int aStatus, const std::string& aReason) {
  return RetriableStatus(aStatus) && aReason != "TooManyProviderTokenUpdates";
}

}  // namespace apns_push
