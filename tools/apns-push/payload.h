// The payload a notification carries: given whole (--payload), built from
// the options for the common keys (--alert, --badge, ... --data), or both,
// the options merged into the given one.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace apns_push {

// The payload options of the command line; unset ones are left out.
struct PayloadOptions {
  std::optional<std::string> Alert, Title, Subtitle, Sound, Category, ThreadId, InterruptionLevel;
  std::optional<int> Badge;
  std::optional<double> RelevanceScore;
  bool ContentAvailable = false, MutableContent = false;
  // --data KEY=JSON, in the order given: top-level members beside "aps".
  std::vector<std::pair<std::string, std::string>> Data;

  bool Any() const {
    return Alert || Title || Subtitle || Sound || Category || ThreadId || InterruptionLevel ||
           Badge || RelevanceScore || ContentAvailable || MutableContent || !Data.empty();
  }
};

// One --data value "KEY=JSON" checked and split; EUsageError says what is wrong.
std::pair<std::string, std::string> ParseDataOption(const std::string& aText);

// aBase (a JSON object's text, "{}" when none was given) with the options'
// members put into its "aps" dictionary and beside it, replacing members of
// the same name. --alert is the alert's text, or its "body" once --title or
// --subtitle make the alert a dictionary (an alert text of aBase becomes
// that dictionary's body). Text is escaped as JSON needs.
std::string MergePayload(const std::string& aBase, const PayloadOptions& aOptions);

}  // namespace apns_push
