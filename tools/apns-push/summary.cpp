#include "tools/apns-push/summary.h"

#include <bit>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "jwt/kfxJSON.h"

namespace apns_push {

size_t AnswerTimes::Bucket(uint64_t aMicros) {
  if (aMicros < 64) return static_cast<size_t>(aMicros);
  const int shift = std::bit_width(aMicros) - 6;  // 1 and up: aMicros >> shift is 32..63
  const size_t bucket = 64 + static_cast<size_t>(shift - 1) * 32 + ((aMicros >> shift) - 32);
  return bucket < kBuckets ? bucket : kBuckets - 1;
}

double AnswerTimes::Middle(size_t aBucket) {
  if (aBucket < 64) return static_cast<double>(aBucket);
  const size_t shift = (aBucket - 64) / 32 + 1;
  const double low = static_cast<double>(((aBucket - 64) % 32 + 32) << shift);
  return low + static_cast<double>(uint64_t{1} << shift) / 2;
}

void AnswerTimes::Add(double aMillis) {
  const uint64_t micros = aMillis > 0 ? static_cast<uint64_t>(aMillis * 1000.0) : 0;
  ++FCounts[Bucket(micros)];
  ++FCount;
  if (micros > FMaxMicros) FMaxMicros = micros;
}

double AnswerTimes::Percentile(double aShare) const {
  if (!FCount) return 0;
  const auto rank = static_cast<uint64_t>(std::ceil(aShare * static_cast<double>(FCount)));
  uint64_t seen = 0;
  for (size_t b = 0; b < kBuckets; ++b) {
    seen += FCounts[b];
    if (seen >= rank && seen) return std::min(Middle(b), static_cast<double>(FMaxMicros)) / 1000.0;
  }
  return Max();
}

void Summary::Add(const Result& r) {
  ++Lines;
  if (r.Status == 200)
    ++Accepted;
  else if (r.Status)
    ++Rejected;
  else
    ++Failed;
  if (r.Attempts > 1) ++Retried;
  if (r.Attempts) ++Notifications;
  Sent += static_cast<size_t>(r.Attempts);
  if (r.Status) Times.Add(r.Millis);
  // Most lines are accepted: they are counted as Accepted alone. Lines
  // that were not sent count by the kind of problem, without its details.
  if (r.Status == 200) return;
  if (r.Status == 0 && !r.Attempts) {
    size_t word = 0;
    while (word < r.Reason.size() && std::isalpha(static_cast<unsigned char>(r.Reason[word]))) ++word;
    if (word && word < r.Reason.size() && r.Reason[word] == ':') {
      ++ByAnswer[{0, r.Reason.substr(0, word)}];
      return;
    }
  }
  ++ByAnswer[{r.Status, r.Reason}];
}

namespace {

std::string Format(const char* aFormat, double aValue) {
  char text[64];
  std::snprintf(text, sizeof text, aFormat, aValue);
  return text;
}

}  // namespace

std::string Summary::Text() const {
  std::string out = "apns-push: " + std::to_string(Lines) + " device tokens: " +
                    std::to_string(Accepted) + " accepted, " + std::to_string(Rejected) +
                    " rejected, " + std::to_string(Failed) + " failed in " +
                    Format("%.2f", Seconds) + " s\n";
  if (Signal) out += "apns-push: interrupted by signal " + std::to_string(Signal) + "\n";
  if (Skipped) out += "apns-push: " + std::to_string(Skipped) + " skipped (done in an earlier run)\n";
  if (Retried) out += "apns-push: " + std::to_string(Retried) + " sent more than once\n";
  if (Lines) {
    out += "apns-push: by answer:";
    bool first = true;
    if (Accepted) {
      out += " 200 accepted: " + std::to_string(Accepted);
      first = false;
    }
    for (const auto& [answer, count] : ByAnswer) {
      out += first ? " " : ", ";
      first = false;
      out += answer.first ? std::to_string(answer.first) : "---";
      if (!answer.second.empty()) out += " " + OneLine(answer.second);
      out += ": " + std::to_string(count);
    }
    out += "\n";
  }
  const double rate = Seconds > 0 ? static_cast<double>(Notifications) / Seconds : 0;
  out += "apns-push: " + Format("%.0f", rate) + " notifications/s (" + std::to_string(Sent) +
         " requests)";
  if (Times.Count())
    out += "; answer times p50 " + Format("%.1f", Times.Percentile(0.5)) + " ms, p90 " +
           Format("%.1f", Times.Percentile(0.9)) + " ms, p99 " +
           Format("%.1f", Times.Percentile(0.99)) + " ms, max " + Format("%.1f", Times.Max()) +
           " ms";
  out += "\n";
  return out;
}

std::string Summary::JSON() const {
  TkfxJSONPtr doc = NewJSONDocument();
  doc->AddPair("lines", static_cast<int64_t>(Lines));
  doc->AddPair("accepted", static_cast<int64_t>(Accepted));
  doc->AddPair("rejected", static_cast<int64_t>(Rejected));
  doc->AddPair("failed", static_cast<int64_t>(Failed));
  doc->AddPair("skipped", static_cast<int64_t>(Skipped));
  doc->AddPair("retried", static_cast<int64_t>(Retried));
  doc->AddPair("sent", static_cast<int64_t>(Sent));
  doc->AddPair("seconds", Seconds);
  doc->AddPair("per_second", Seconds > 0 ? static_cast<double>(Notifications) / Seconds : 0.0);
  doc->AddPair("interrupted", Signal != 0);
  if (Signal) doc->AddPair("signal", static_cast<int32_t>(Signal));
  std::string times = "{\"count\":" + std::to_string(Times.Count());
  if (Times.Count()) {
    times += ",\"p50\":" + JSONValueText(Times.Percentile(0.5)) +
             ",\"p90\":" + JSONValueText(Times.Percentile(0.9)) +
             ",\"p99\":" + JSONValueText(Times.Percentile(0.99)) +
             ",\"max\":" + JSONValueText(Times.Max());
  }
  doc->AddObject("answer_ms", times + "}");
  std::string answers = "[";
  if (Accepted) answers += "{\"status\":200,\"reason\":\"\",\"count\":" + std::to_string(Accepted) + "}";
  for (const auto& [answer, count] : ByAnswer) {
    if (answers.size() > 1) answers += ',';
    // Reasons are kept as the lines write them: escaped already.
    answers += "{\"status\":" + std::to_string(answer.first) + ",\"reason\":\"";
    AppendJSONString(answers, answer.second, true);
    answers += "\",\"count\":" + std::to_string(count) + "}";
  }
  doc->AddArray("by_answer", answers + "]");
  return doc->Text() + "\n";
}

}  // namespace apns_push
