// Small ASCII text helpers of the option and input checks.
#pragma once

#include <cctype>
#include <string>

namespace apns_push {

inline bool IsDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The hexadecimal digits, as isxdigit gives them in any locale, without a
// library call per character (every device token passes here).
inline bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace apns_push
