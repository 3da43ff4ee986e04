#include "tools/apns-push/output.h"

#include <cstdio>

#include "tools/apns-push/json_check.h"
#include "rtl/System.h"

namespace apns_push {

namespace {

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\')
      out += '\\', out += static_cast<char>(c);
    else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else
      out += static_cast<char>(c);
  }
  return out + "\"";
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
    line = "{\"token\":" + JsonString(r.Token) + ",\"status\":" + std::to_string(r.Status) +
           ",\"reason\":" + (r.ReasonIsJson ? "\"" + r.Reason + "\"" : JsonString(r.Reason)) +
           ",\"apns-id\":" + JsonString(r.ApnsId);
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
  JsonChecker reply(aBody);
  if (!reply.CheckObject().empty()) return;
  auto reason = reply.Members().find("reason");
  if (reason != reply.Members().end() && reason->second.front() == '"') {
    r.Reason = reason->second.substr(1, reason->second.size() - 2);
    r.ReasonIsJson = true;
  }
  auto ts = reply.Members().find("timestamp");
  if (aStatus == 410 && ts != reply.Members().end()) r.Timestamp = ts->second;
}

// The device token of a request URL or path: what follows the last "/".
std::string TokenOfURL(const std::string& aURL) {
  size_t slash = aURL.rfind('/');
  return slash == std::string::npos ? aURL : aURL.substr(slash + 1);
}

}  // namespace apns_push
