#include "tools/apns-pushd/metrics.h"

#include <cstdio>

namespace apns_pushd {

void Metrics::Outcome(const std::string& aApp, int aStatus) {
  std::lock_guard guard(FLock);
  ++FOutcomes[{aApp, aStatus}];
}

void Metrics::Answer(double aSeconds) {
  std::lock_guard guard(FLock);
  for (size_t i = 0; i < kBuckets.size(); ++i)
    if (aSeconds <= kBuckets[i]) ++FAnswerBuckets[i];
  ++FAnswerCount;
  FAnswerSum += aSeconds;
}

void Metrics::Retry(const std::string& aApp) {
  std::lock_guard guard(FLock);
  ++FRetries[aApp];
}

void Metrics::TokenSigned(const std::string& aApp) {
  std::lock_guard guard(FLock);
  ++FSignatures[aApp];
}

void Metrics::Connections(const std::string& aApp, int aDelta) {
  std::lock_guard guard(FLock);
  FConnections[aApp] += aDelta;
}

void Metrics::ApiAnswer(int aStatus) {
  std::lock_guard guard(FLock);
  ++FApi[aStatus];
}

void Metrics::WebhookFailure() {
  std::lock_guard guard(FLock);
  ++FWebhookFailures;
}

void Metrics::WebhookDropped(size_t aCount) {
  std::lock_guard guard(FLock);
  FWebhookDropped += aCount;
}

std::string Metrics::Text(size_t aDepth) {
  std::string t;
  char line[256];
  std::lock_guard guard(FLock);
  t += "# HELP apns_pushd_notifications_total Final outcomes by app and APNs status (0: no answer).\n";
  t += "# TYPE apns_pushd_notifications_total counter\n";
  for (const auto& [key, n] : FOutcomes)
    t += "apns_pushd_notifications_total{app=\"" + key.first + "\",status=\"" +
         std::to_string(key.second) + "\"} " + std::to_string(n) + "\n";
  t += "# HELP apns_pushd_queue_depth Notifications queued and not finished.\n";
  t += "# TYPE apns_pushd_queue_depth gauge\n";
  t += "apns_pushd_queue_depth " + std::to_string(aDepth) + "\n";
  t += "# HELP apns_pushd_connections Live APNs connections by app.\n";
  t += "# TYPE apns_pushd_connections gauge\n";
  for (const auto& [app, n] : FConnections)
    t += "apns_pushd_connections{app=\"" + app + "\"} " + std::to_string(n) + "\n";
  t += "# HELP apns_pushd_answer_seconds Time from sending a notification to APNs' answer.\n";
  t += "# TYPE apns_pushd_answer_seconds histogram\n";
  for (size_t i = 0; i < kBuckets.size(); ++i) {
    std::snprintf(line, sizeof line, "apns_pushd_answer_seconds_bucket{le=\"%g\"} %llu\n", kBuckets[i],
                  static_cast<unsigned long long>(FAnswerBuckets[i]));
    t += line;
  }
  t += "apns_pushd_answer_seconds_bucket{le=\"+Inf\"} " + std::to_string(FAnswerCount) + "\n";
  std::snprintf(line, sizeof line, "apns_pushd_answer_seconds_sum %.6f\n", FAnswerSum);
  t += line;
  t += "apns_pushd_answer_seconds_count " + std::to_string(FAnswerCount) + "\n";
  t += "# HELP apns_pushd_token_signatures_total Provider tokens signed by this instance.\n";
  t += "# TYPE apns_pushd_token_signatures_total counter\n";
  for (const auto& [app, n] : FSignatures)
    t += "apns_pushd_token_signatures_total{app=\"" + app + "\"} " + std::to_string(n) + "\n";
  t += "# HELP apns_pushd_retries_total Notifications sent again after 429, 500, 503 or a lost connection.\n";
  t += "# TYPE apns_pushd_retries_total counter\n";
  for (const auto& [app, n] : FRetries)
    t += "apns_pushd_retries_total{app=\"" + app + "\"} " + std::to_string(n) + "\n";
  t += "# HELP apns_pushd_api_requests_total API answers by HTTP status.\n";
  t += "# TYPE apns_pushd_api_requests_total counter\n";
  for (const auto& [code, n] : FApi)
    t += "apns_pushd_api_requests_total{code=\"" + std::to_string(code) + "\"} " + std::to_string(n) + "\n";
  t += "# HELP apns_pushd_webhook_failures_total Webhook POSTs that failed (retried).\n";
  t += "# TYPE apns_pushd_webhook_failures_total counter\n";
  t += "apns_pushd_webhook_failures_total " + std::to_string(FWebhookFailures) + "\n";
  t += "# HELP apns_pushd_webhook_dropped_total Outcomes the webhook never took (backlog full or stop).\n";
  t += "# TYPE apns_pushd_webhook_dropped_total counter\n";
  t += "apns_pushd_webhook_dropped_total " + std::to_string(FWebhookDropped) + "\n";
  return t;
}

}  // namespace apns_pushd
