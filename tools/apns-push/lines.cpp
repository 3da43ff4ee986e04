#include "tools/apns-push/lines.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "jwt/kfxJSON.h"
#include "tools/apns-push/error.h"
#include "tools/apns-push/inputs.h"
#include "tools/apns-push/options.h"
#include "tools/apns-push/text.h"

namespace apns_push {

namespace {

// Lines nest objects and arrays at most this deep (the payload one less).
constexpr int kMaxLineDepth = 66;
constexpr size_t kBlock = 64 * 1024;

size_t SkipSpace(std::string_view s, size_t i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
  return i;
}

// The end of the string that starts at s[i] (its opening quote): the
// position after its closing quote. s is valid JSON.
size_t SkipString(std::string_view s, size_t i) {
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\')
      ++i;
    else if (s[i] == '"')
      return i + 1;
  }
  return s.size();
}

// The end of the value that starts at s[i]. s is valid JSON.
size_t SkipValue(std::string_view s, size_t i) {
  if (s[i] == '"') return SkipString(s, i);
  if (s[i] == '{' || s[i] == '[') {
    int depth = 0;
    for (; i < s.size(); ++i) {
      const char c = s[i];
      if (c == '"') {
        i = SkipString(s, i) - 1;
      } else if (c == '{' || c == '[') {
        ++depth;
      } else if (c == '}' || c == ']') {
        if (--depth == 0) return i + 1;
      }
    }
    return s.size();
  }
  while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && s[i] != ' ' &&
         s[i] != '\t' && s[i] != '\r' && s[i] != '\n')
    ++i;
  return i;
}

// A member's value as header text: a string without escapes, or a number.
bool HeaderText(std::string_view aValue, std::string& aOut) {
  if (aValue.empty()) return false;
  if (aValue.front() == '"') {
    const std::string_view inner = aValue.substr(1, aValue.size() - 2);
    if (inner.find('\\') != std::string_view::npos) return false;
    aOut.assign(inner);
    return true;
  }
  if (aValue.front() == '-' || (aValue.front() >= '0' && aValue.front() <= '9')) {
    aOut.assign(aValue);
    return true;
  }
  return false;
}

bool SameHeaders(const TkfxAPNsHeaders& a, const TkfxAPNsHeaders& b) {
  return a.Topic == b.Topic && a.PushType == b.PushType && a.Priority == b.Priority &&
         a.Expiration == b.Expiration && a.CollapseId == b.CollapseId && a.ApnsId == b.ApnsId;
}

}  // namespace

LineReader::Got LineReader::Next(std::string& aLine, int aTimeoutMs) {
  for (;;) {
    const size_t eol = FBuffer.find('\n', FStart);
    if (eol != std::string::npos) {
      if (FSkipping) {  // the rest of a line too long
        FSkipping = false;
        FStart = eol + 1;
        continue;
      }
      aLine.assign(FBuffer, FStart, eol - FStart);
      FStart = eol + 1;
      ++FLine;
      return Got::Line;
    }
    if (FBuffer.size() - FStart >= kMaxLine || (FSkipping && FStart < FBuffer.size())) {
      const bool first = !FSkipping;
      FBuffer.clear();
      FStart = 0;
      FSkipping = true;
      if (first) {
        ++FLine;
        return Got::TooLong;
      }
    }
    if (FEnd) {
      if (FStart < FBuffer.size() && !FSkipping) {  // a last line without a line break
        aLine.assign(FBuffer, FStart);
        FBuffer.clear();
        FStart = 0;
        ++FLine;
        return Got::Line;
      }
      return Got::End;
    }
    // Room for the next block: the unread part moves to the front.
    if (FStart > 0) {
      FBuffer.erase(0, FStart);
      FStart = 0;
    }
    pollfd p{FFd, POLLIN, 0};
    const int ready = poll(&p, 1, aTimeoutMs);
    if (ready == 0) return Got::Wait;
    if (ready < 0) {
      if (errno == EINTR) return Got::Wait;
      Fail("cannot read " + FName + ": " + std::strerror(errno));
    }
    const size_t had = FBuffer.size();
    FBuffer.resize(had + kBlock);
    const ssize_t n = read(FFd, FBuffer.data() + had, kBlock);
    if (n < 0) {
      FBuffer.resize(had);
      if (errno == EINTR || errno == EAGAIN) return Got::Wait;
      Fail("cannot read " + FName + ": " + std::strerror(errno));
    }
    FBuffer.resize(had + static_cast<size_t>(n));
    if (n == 0) FEnd = true;
  }
}

bool LineParser::Skip(std::string_view aLine) {
  const size_t b = SkipSpace(aLine, 0);
  return b == aLine.size() || aLine[b] == '#';
}

bool LineParser::Parse(const std::string& aText, Notification& n, std::string& aProblem,
                       std::string& aToken) {
  const std::string_view aLine = aText;
  n = Notification{};
  aToken.clear();
  const size_t first = SkipSpace(aLine, 0);
  if (first == aLine.size() || aLine[first] != '{') {
    aProblem = "MalformedLine: not a JSON object";
    return false;
  }
  // The line is checked whole first: the scan below relies on valid JSON.
  std::string problem = JSONSyntaxError(aText, kMaxLineDepth);
  if (!problem.empty()) {
    aProblem = "MalformedLine: " + problem;
    return false;
  }
  TkfxAPNsHeaders headers = FDefaults.Headers;
  bool ownHeaders = false, haveToken = false;
  std::string_view payload;
  std::string text;
  size_t i = SkipSpace(aLine, first + 1);
  while (i < aLine.size() && aLine[i] == '"') {
    const size_t keyEnd = SkipString(aLine, i);
    const std::string_view key = aLine.substr(i + 1, keyEnd - i - 2);
    i = SkipSpace(aLine, SkipSpace(aLine, keyEnd) + 1);  // past the ':'
    const size_t valueEnd = SkipValue(aLine, i);
    const std::string_view value = aLine.substr(i, valueEnd - i);
    i = SkipSpace(aLine, valueEnd);
    if (i < aLine.size() && aLine[i] == ',') i = SkipSpace(aLine, i + 1);
    if (key == "token") {
      if (value.front() != '"') {
        aProblem = "MissingToken: \"token\" is not a string";
        return false;
      }
      aToken.assign(value.substr(1, value.size() - 2));
      haveToken = true;
    } else if (key == "payload") {
      if (value.front() != '{') {
        aProblem = "BadPayload: \"payload\" is not a JSON object";
        return false;
      }
      payload = value;
    } else {
      std::string* target = key == "topic"         ? &headers.Topic
                            : key == "push-type"   ? &headers.PushType
                            : key == "priority"    ? &headers.Priority
                            : key == "expiration"  ? &headers.Expiration
                            : key == "collapse-id" ? &headers.CollapseId
                            : key == "apns-id"     ? &headers.ApnsId
                                                   : nullptr;
      if (!target) {
        aProblem = "MalformedLine: unknown member \"" + std::string(key) + "\"";
        return false;
      }
      if (!HeaderText(value, text)) {
        aProblem = "BadHeader: \"" + std::string(key) + "\" is not plain text or a number";
        return false;
      }
      if (std::string bad = HeaderProblem(std::string(key), text); !bad.empty()) {
        aProblem = "BadHeader: \"" + std::string(key) + "\": " + bad + ", not \"" + text + "\"";
        return false;
      }
      if (key == "topic" && text.empty()) {
        aProblem = "BadHeader: \"topic\" is empty";
        return false;
      }
      *target = std::move(text);
      ownHeaders = true;
    }
  }
  if (!haveToken || aToken.empty()) {
    aProblem = "MissingToken: the line has no \"token\"";
    return false;
  }
  if (!WellFormedToken(aToken)) {
    aProblem = "MalformedDeviceToken";
    return false;
  }
  if (payload.empty()) {
    if (!FDefaults.HavePayload) {
      aProblem = "BadPayload: the line has no \"payload\" and the command line none either";
      return false;
    }
  } else {
    const size_t limit = PayloadLimit(headers.PushType);
    if (payload.size() > limit) {
      aProblem = "PayloadTooLarge: " + std::to_string(payload.size()) +
                 " octets; APNs accepts at most " + std::to_string(limit);
      return false;
    }
    n.Payload = std::make_shared<const std::string>(payload);
  }
  // A line without its own payload sends the command line's, whose size
  // was checked for the command line's push type, not the line's.
  if (payload.empty() && FDefaults.PayloadSize > PayloadLimit(headers.PushType)) {
    aProblem = "PayloadTooLarge: the command line's payload is " +
               std::to_string(FDefaults.PayloadSize) + " octets; APNs accepts at most " +
               std::to_string(PayloadLimit(headers.PushType));
    return false;
  }
  if (ownHeaders) {
    if (!FLastHeaders || !SameHeaders(*FLastHeaders, headers))
      FLastHeaders = std::make_shared<const TkfxAPNsHeaders>(std::move(headers));
    n.Headers = FLastHeaders;
  }
  n.Token = std::move(aToken);
  aToken.clear();
  return true;
}

std::string LowerToken(std::string_view aToken) {
  std::string out(aToken);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::unordered_set<std::string> ReadDoneTokens(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) Fail("cannot read --skip-done file " + aPath + ": " + std::strerror(errno));
  std::unordered_set<std::string> done;
  auto final = [](int aStatus) { return aStatus != 0 && !RetriableStatus(aStatus); };
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("{\"token\":\"")) {
      // {"token":"…","status":N,…} as apns-push writes it.
      const size_t end = line.find('"', 10);
      const size_t status = line.find("\"status\":", end);
      if (end == std::string::npos || status == std::string::npos) continue;
      if (final(std::atoi(line.c_str() + status + 9))) done.insert(LowerToken(std::string_view(line).substr(10, end - 10)));
    } else {
      // TOKEN  STATUS  …
      const size_t gap = line.find("  ");
      if (gap == std::string::npos || gap == 0) continue;
      if (final(std::atoi(line.c_str() + gap + 2))) done.insert(LowerToken(std::string_view(line).substr(0, gap)));
    }
  }
  if (in.bad()) Fail("cannot read --skip-done file " + aPath);
  return done;
}

}  // namespace apns_push
