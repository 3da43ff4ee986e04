#include "tools/apns-push/output.h"

#include <cstdio>

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

std::string ResultLine(Result r, bool aText) {
  if (!r.ReasonIsJson) r.Reason = OneLine(r.Reason);
  char ms[32];
  std::snprintf(ms, sizeof ms, "%.1f", r.Millis);
  std::string line;
  if (aText) {
    line = r.Token + "  " + (r.Status ? std::to_string(r.Status) : "---") + "  " +
           (r.Status == 200    ? "accepted"
            : r.Reason.empty() ? "rejected"
                               : r.Reason);
    if (!r.ApnsId.empty()) line += "  apns-id " + r.ApnsId;
    if (!r.Timestamp.empty()) line += "  unregistered at " + r.Timestamp;
    line += "  " + std::string(ms) + " ms";
  } else {
    line = "{\"token\":" + JSONQuotedString(r.Token) + ",\"status\":" + std::to_string(r.Status) +
           ",\"reason\":\"";
    AppendJSONString(line, r.Reason, r.ReasonIsJson);
    line += "\",\"apns-id\":" + JSONQuotedString(r.ApnsId);
    if (!r.Timestamp.empty()) line += ",\"timestamp\":" + r.Timestamp;
    line += ",\"time_ms\":" + std::string(ms) + "}";
  }
  return line;
}

std::string HeaderValue(TStringList& aHeaders, const std::string& aName) {
  for (int i = 0; i < aHeaders.Count(); ++i) {
    const std::string& line = aHeaders[i];
    size_t eq = line.find('=');
    if (eq != std::string::npos && SameText(line.substr(0, eq), aName)) return line.substr(eq + 1);
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
