// --input: one notification per JSON line, read as it is sent, and
// --skip-done: the device tokens an earlier run's output shows as done.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "apns/kfxAPNs_Setup.h"
#include "tools/apns-push/notification.h"

namespace apns_push {

// Lines from a file descriptor, read in blocks; a line longer than
// kMaxLine is given as too long (and its octets dropped) so memory stays
// bounded. Waits for input at most a given time, so a caller reading a
// pipe keeps doing its other work.
class LineReader {
 public:
  static constexpr size_t kMaxLine = 1 << 20;
  enum class Got { Line, TooLong, Wait, End };

  // aFd is read, not closed; aName names it in messages.
  LineReader(int aFd, std::string aName) : FFd(aFd), FName(std::move(aName)) {}

  // The next line (without its line break) in aLine; Wait when none came
  // within aTimeoutMs. Errors of read() end the input (EUsageError).
  Got Next(std::string& aLine, int aTimeoutMs);
  const std::string& Name() const { return FName; }
  size_t LineNumber() const { return FLine; }

 private:
  int FFd;
  std::string FName;
  std::string FBuffer;
  size_t FStart = 0;  // where the unread part of FBuffer begins
  size_t FLine = 0;
  bool FEnd = false, FSkipping = false;
};

// The command line's side of the lines: the headers a line does not set,
// whether there is a payload for lines without one, and the payload limit
// that applies.
struct LineDefaults {
  TkfxAPNsHeaders Headers;
  bool HavePayload = false;
  size_t PayloadSize = 0;
};

// Turns JSON lines into notifications: {"token":..., "payload":{...}} with
// "topic", "push-type", "priority", "expiration", "collapse-id" and
// "apns-id" optional, each overriding the command line's value. Lines with
// equal headers share them.
class LineParser {
 public:
  explicit LineParser(LineDefaults aDefaults) : FDefaults(std::move(aDefaults)) {}

  // True for a blank line or one starting with "#": nothing to send.
  static bool Skip(std::string_view aLine);
  // aLine as n (n.Attempts 0); false with aProblem (a short reason for the
  // output line) and aToken (the line's token when one could be read).
  bool Parse(const std::string& aLine, Notification& n, std::string& aProblem, std::string& aToken);

 private:
  LineDefaults FDefaults;
  std::shared_ptr<const TkfxAPNsHeaders> FLastHeaders;
};

// The device tokens of earlier output lines (JSON or text, as apns-push
// writes them) that have a final answer: accepted, or refused by APNs with
// an answer that is not asked to be retried (429, 500, 503). Tokens are
// kept in lower case. A file that cannot be read raises EUsageError.
std::unordered_set<std::string> ReadDoneTokens(const std::string& aPath);

// aToken in lower case.
std::string LowerToken(std::string_view aToken);

}  // namespace apns_push
