// The little JSON apns-mock needs: reading the top-level members of a token's
// header and claims, and escaping strings for answers and the log.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace apns_mock {

// A top-level member of an object: the decoded text of a string, or the
// literal text of a number, true, false or null. Nested objects and arrays are
// checked for syntax and skipped.
struct JsonScalar {
  std::string text;
  bool is_string = false;
};
using JsonMembers = std::unordered_map<std::string, JsonScalar>;

// Parses one JSON object (with nothing but white space around it); nullopt
// when the text is not one. A repeated member keeps its last value.
std::optional<JsonMembers> ParseJsonObject(std::string_view text);

// Appends text as a quoted JSON string.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace apns_mock
