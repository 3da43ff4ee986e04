// A strict reader of one JSON object for the payload check and for the
// answers of the server.
#pragma once

#include <cstring>
#include <map>
#include <string>

#include "tools/apns-push/text.h"

namespace apns_push {

// A strict reader of one JSON text that keeps the raw text of the top-level
// members of an object.
class JsonChecker {
 public:
  explicit JsonChecker(const std::string& aText) : s_(aText) {}


  // Empty when the text is one JSON object; otherwise what is wrong.
  std::string CheckObject() {
    try {
      Space();
      if (p_ >= s_.size() || s_[p_] != '{') return "not a JSON object";
      Value(0);
      Space();
      if (p_ != s_.size()) Error("unexpected text after the object");
    } catch (const std::string& e) {
      return e;
    }
    return "";
  }
  const std::map<std::string, std::string>& Members() const { return members_; }

 private:
  [[noreturn]] void Error(const std::string& what) {
    throw what + " at offset " + std::to_string(p_);
  }
  void Space() {
    while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\t' || s_[p_] == '\n' || s_[p_] == '\r'))
      ++p_;
  }
  char Peek() {
    if (p_ >= s_.size()) Error("unexpected end of JSON");
    return s_[p_];
  }
  void Expect(char c) {
    if (Peek() != c) Error(std::string("expected '") + c + "'");
    ++p_;
  }
  std::string String() {
    Expect('"');
    std::string out;
    for (;;) {
      char c = Peek();
      ++p_;
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Error("control character in a string");
      if (c == '\\') {
        char e = Peek();
        ++p_;
        if (e == 'u') {
          for (int k = 0; k < 4; ++k, ++p_)
            if (!IsHex(Peek())) Error("bad \\u escape");
        } else if (!std::strchr("\"\\/bfnrt", e)) {
          Error("bad escape");
        }
      }
      out += c;
    }
  }
  void Number() {
    size_t start = p_;
    if (Peek() == '-') ++p_;
    if (Peek() == '0')
      ++p_;
    else if (std::isdigit(static_cast<unsigned char>(Peek())))
      while (p_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[p_]))) ++p_;
    else
      Error("bad number");
    if (p_ < s_.size() && s_[p_] == '.') {
      ++p_;
      if (!std::isdigit(static_cast<unsigned char>(Peek()))) Error("bad number");
      while (p_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[p_]))) ++p_;
    }
    if (p_ < s_.size() && (s_[p_] == 'e' || s_[p_] == 'E')) {
      ++p_;
      if (Peek() == '+' || Peek() == '-') ++p_;
      if (!std::isdigit(static_cast<unsigned char>(Peek()))) Error("bad number");
      while (p_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[p_]))) ++p_;
    }
    if (p_ == start) Error("bad number");
  }
  void Value(int depth) {
    if (depth > 64) Error("nested too deeply");
    Space();
    char c = Peek();
    if (c == '{') {
      ++p_;
      Space();
      if (Peek() == '}') {
        ++p_;
        return;
      }
      for (;;) {
        Space();
        std::string name = String();
        Space();
        Expect(':');
        Space();
        size_t start = p_;
        Value(depth + 1);
        if (depth == 0) members_[name] = s_.substr(start, p_ - start);
        Space();
        if (Peek() == ',') {
          ++p_;
          continue;
        }
        Expect('}');
        return;
      }
    } else if (c == '[') {
      ++p_;
      Space();
      if (Peek() == ']') {
        ++p_;
        return;
      }
      for (;;) {
        Value(depth + 1);
        Space();
        if (Peek() == ',') {
          ++p_;
          continue;
        }
        Expect(']');
        return;
      }
    } else if (c == '"') {
      String();
    } else if (s_.compare(p_, 4, "true") == 0 || s_.compare(p_, 4, "null") == 0) {
      p_ += 4;
    } else if (s_.compare(p_, 5, "false") == 0) {
      p_ += 5;
    } else {
      Number();
    }
  }

  const std::string& s_;
  size_t p_ = 0;
  std::map<std::string, std::string> members_;
};

}  // namespace apns_push
