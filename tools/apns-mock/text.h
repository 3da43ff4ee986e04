// Small ASCII text helpers shared by the option parser and the server.
#pragma once

#include <string>
#include <string_view>

namespace apns_mock {

inline bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline bool IsHex(std::string_view text) {
  for (char c : text) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

inline std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace apns_mock
