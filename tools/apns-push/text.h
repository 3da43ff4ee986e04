// Small ASCII text helpers of the option and input checks.
#pragma once

#include <array>
#include <cctype>
#include <string>

namespace apns_push {

inline bool IsDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The hexadecimal digits, as isxdigit gives them in any locale, by a table
// (every character of every device token passes here).
inline constexpr auto kHexDigits = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c)
    table[static_cast<size_t>(c)] = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  return table;
}();

inline bool IsHex(char c) { return kHexDigits[static_cast<unsigned char>(c)]; }

}  // namespace apns_push
