// Small ASCII text helpers of the option and input checks.
#pragma once

#include <cctype>
#include <string>

namespace apns_push {

inline bool IsDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

inline bool IsHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace apns_push
