// The counters of the service, written as Prometheus text by GET /metrics.
// Labels are app names and status codes only: no device token, no secret.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace apns_pushd {

class Metrics {
 public:
  // A final outcome of app aApp: APNs' status (0: no answer).
  void Outcome(const std::string& aApp, int aStatus);
  // The time from a notification's send to APNs' answer.
  void Answer(double aSeconds);
  void Retry(const std::string& aApp);
  void TokenSigned(const std::string& aApp);
  void Connections(const std::string& aApp, int aDelta);
  void ApiAnswer(int aStatus);
  void WebhookFailure();
  void WebhookDropped(size_t aCount);

  // The whole text; aDepth is the queue's depth now.
  std::string Text(size_t aDepth);

 private:
  static constexpr std::array<double, 10> kBuckets{0.001, 0.0025, 0.005, 0.01, 0.025,
                                                   0.05,  0.1,    0.25,  1,    5};
  std::mutex FLock;
  std::map<std::pair<std::string, int>, uint64_t> FOutcomes;
  std::map<std::string, uint64_t> FRetries, FSignatures;
  std::map<std::string, int64_t> FConnections;
  std::map<int, uint64_t> FApi;
  std::array<uint64_t, kBuckets.size()> FAnswerBuckets{};
  uint64_t FAnswerCount = 0;
  double FAnswerSum = 0;
  uint64_t FWebhookFailures = 0, FWebhookDropped = 0;
};

}  // namespace apns_pushd
