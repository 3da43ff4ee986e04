// The figures of a batch for its summary: outcomes counted by status and
// reason, answer times in a histogram (percentiles with about 1.5 %
// precision in constant memory), and the summary as text and as JSON.
// Only the main thread uses it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "tools/apns-push/output.h"

namespace apns_push {

// Answer times in microseconds: exact below 64 µs, then 32 buckets per
// power of two.
class AnswerTimes {
 public:
  void Add(double aMillis);
  size_t Count() const { return FCount; }
  // The time (ms) below which the fraction aShare (0..1) of the answers lie.
  double Percentile(double aShare) const;
  double Max() const { return FMaxMicros / 1000.0; }

 private:
  static constexpr size_t kBuckets = 64 + 40 * 32;
  static size_t Bucket(uint64_t aMicros);
  static double Middle(size_t aBucket);  // microseconds
  std::array<uint64_t, kBuckets> FCounts{};
  size_t FCount = 0;
  uint64_t FMaxMicros = 0;
};

struct Summary {
  size_t Lines = 0, Accepted = 0, Rejected = 0, Failed = 0;
  size_t Skipped = 0;   // device tokens --skip-done left out
  size_t Retried = 0;   // notifications sent more than once
  size_t Notifications = 0;  // lines of notifications sent at least once
  size_t Sent = 0;           // requests made, retries included
  double Seconds = 0;
  int Signal = 0;  // the signal that interrupted the batch, 0: none
  // Lines not accepted, by status and reason (the reason as in Result).
  std::map<std::pair<int, std::string>, size_t> ByAnswer;
  AnswerTimes Times;  // of the answered notifications (status not 0)

  // Counts a written line.
  void Add(const Result& r);
  // The lines written on stderr at the end.
  std::string Text() const;
  // The same figures as one JSON object (and a line break).
  std::string JSON() const;
};

}  // namespace apns_push
