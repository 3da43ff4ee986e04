#include "tools/apns-push/output.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "jwt/kfxJSON.h"
#include "rtl/System.h"

namespace apns_push {

namespace {

// Answers nest objects and arrays at most this deep.
constexpr int kMaxAnswerDepth = 65;

// A member's value as JSON text: strings with their quotes, escapes kept.
std::string MemberJSON(TkfxObjectJSON& aNode) {
  const std::string text = JSONValueText(aNode.Value());
  if (aNode.JSONType() != TkfxJSONtype::kfxJSONString) return text;
  std::string quoted = "\"";
  AppendJSONString(quoted, text, true);
  return quoted + '"';
}

}  // namespace

std::string OneLine(const std::string& aText) {
  std::string out;
  for (char c : aText) {
    if (c == '\r' || c == '\n') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

void AppendResultLine(std::string& aOut, Result r, bool aText) {
  if (!r.ReasonIsJson && r.Reason.find_first_of("\r\n") != std::string::npos) r.Reason = OneLine(r.Reason);
  // Milliseconds with one decimal, rounded as printf's "%.1f" rounds them
  // (room for any double written out in full).
  char digits[330];
  const auto written = std::to_chars(digits, digits + sizeof digits, r.Millis, std::chars_format::fixed, 1);
  const std::string_view ms(digits, written.ec == std::errc() ? static_cast<size_t>(written.ptr - digits) : 0);
  if (aText) {
    aOut += r.Token;
    aOut += "  ";
    aOut += r.Status ? std::to_string(r.Status) : "---";
    aOut += "  ";
    aOut += r.Status == 200 ? "accepted" : r.Reason.empty() ? "rejected" : r.Reason;
    if (!r.ApnsId.empty()) aOut.append("  apns-id ").append(r.ApnsId);
    if (!r.Timestamp.empty()) aOut.append("  unregistered at ").append(r.Timestamp);
    if (r.Attempts) {
      aOut.append("  ").append(std::to_string(r.Attempts));
      aOut.append(r.Attempts == 1 ? " attempt" : " attempts");
    }
    aOut.append("  ").append(ms).append(" ms");
  } else {
    aOut += "{\"token\":\"";
    AppendJSONString(aOut, r.Token, false);
    aOut += "\",\"status\":";
    aOut += std::to_string(r.Status);
    aOut += ",\"reason\":\"";
    AppendJSONString(aOut, r.Reason, r.ReasonIsJson);
    aOut += "\",\"apns-id\":\"";
    AppendJSONString(aOut, r.ApnsId, false);
    aOut += '"';
    if (!r.Timestamp.empty()) aOut.append(",\"timestamp\":").append(r.Timestamp);
    if (r.Attempts) aOut.append(",\"attempts\":").append(std::to_string(r.Attempts));
    aOut.append(",\"time_ms\":").append(ms).append("}");
  }
}

std::string ResultLine(Result r, bool aText) {
  std::string line;
  AppendResultLine(line, std::move(r), aText);
  return line;
}

std::string HeaderValue(TStringList& aHeaders, const std::string& aName) {
  for (int i = 0; i < aHeaders.Count(); ++i) {
    const std::string& line = aHeaders[i];
    if (line.size() <= aName.size() || line[aName.size()] != '=') continue;
    if (std::equal(aName.begin(), aName.end(), line.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        }))
      return line.substr(aName.size() + 1);
  }
  return "";
}

void ReadAnswer(Result& r, int aStatus, TStringList& aHeaders, const std::string& aBody) {
  r.Status = aStatus;
  r.ApnsId = HeaderValue(aHeaders, "apns-id");
  const size_t first = aBody.find_first_not_of(" \t\n\r");
  if (first == std::string::npos || aBody[first] != '{' ||
      !JSONSyntaxError(aBody, kMaxAnswerDepth).empty())
    return;
  TkfxJSONPtr reply = NewJSONDocument(aBody);
  if (TkfxObjectJSON* reason = reply->Node("reason");
      reason && reason->JSONType() == TkfxJSONtype::kfxJSONString) {
    r.Reason = JSONValueText(reason->Value());
    r.ReasonIsJson = true;
  }
  if (TkfxObjectJSON* ts = reply->Node("timestamp"); aStatus == 410 && ts)
    r.Timestamp = MemberJSON(*ts);
}

// The device token of a request URL or path: what follows the last "/".
std::string TokenOfURL(const std::string& aURL) {
  size_t slash = aURL.rfind('/');
  return slash == std::string::npos ? aURL : aURL.substr(slash + 1);
}

}  // namespace apns_push
