// The outcome of one device token and the line apns-push writes for it.
#pragma once

#include <string>

#include "rtl/StringList.h"

namespace apns_push {

struct Result {
  std::string Token;
  int Status = 0;  // 0: no answer from the server
  std::string Reason;
  bool ReasonIsJson = false;  // Reason is the server's string as written, escapes kept
  std::string ApnsId;
  std::string Timestamp;  // raw JSON number, for 410
  double Millis = 0;
  int Attempts = 0;  // sends made; 0: not sent (and not written in the line)
};

// aText on one line: its line breaks become single spaces.
std::string OneLine(const std::string& aText);

// The line of r, without its line break: JSON (one object) or, with aText,
// "TOKEN  STATUS  REASON  [apns-id ID]  [unregistered at T]  [N attempts]  MS ms".
// The JSON line has "attempts" (before "time_ms") once the token was sent.
std::string ResultLine(Result r, bool aText);
// The same, appended to aOut.
void AppendResultLine(std::string& aOut, Result r, bool aText);

// The value of the header aName ("name=value" lines, the name in any case),
// empty when there is none.
std::string HeaderValue(TStringList& aHeaders, const std::string& aName);

// Status, reason, apns-id and (for 410) the timestamp of an answer. The
// reason and timestamp come from a body that is one JSON object; the reason
// is kept as the server wrote it, escapes and all.
void ReadAnswer(Result& r, int aStatus, TStringList& aHeaders, const std::string& aBody);

// The device token of a request URL or path: what follows the last "/".
std::string TokenOfURL(const std::string& aURL);

}  // namespace apns_push
