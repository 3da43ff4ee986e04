#include "tools/apns-mock/json.h"

#include <cstdint>

namespace apns_mock {
namespace {

// Recursive descent over the text; every Parse* returns false on bad syntax.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool ParseTopObject(JsonMembers& members) {
    SkipSpace();
    if (!Consume('{')) return false;
    SkipSpace();
    if (!Consume('}')) {
      do {
        SkipSpace();
        std::string name;
        if (!ParseString(name)) return false;
        SkipSpace();
        if (!Consume(':')) return false;
        SkipSpace();
        JsonScalar value;
        if (!ParseValue(value, 1)) return false;
        members[std::move(name)] = std::move(value);
        SkipSpace();
      } while (Consume(','));
      if (!Consume('}')) return false;
    }
    SkipSpace();
    return pos_ == text_.size();
  }

 private:
  static constexpr int kMaxDepth = 32;

  bool ParseValue(JsonScalar& value, int depth) {
    if (depth > kMaxDepth || pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '"') {
      value.is_string = true;
      return ParseString(value.text);
    }
    if (c == '{' || c == '[') return SkipContainer(depth);
    for (std::string_view word : {"true", "false", "null"}) {
      if (text_.substr(pos_, word.size()) == word) {
        value.text = word;
        pos_ += word.size();
        return true;
      }
    }
    return ParseNumber(value.text);
  }

  bool SkipContainer(int depth) {
    const char close = text_[pos_] == '{' ? '}' : ']';
    ++pos_;
    SkipSpace();
    if (Consume(close)) return true;
    do {
      SkipSpace();
      JsonScalar ignored;
      if (close == '}') {
        if (!ParseString(ignored.text)) return false;
        SkipSpace();
        if (!Consume(':')) return false;
        SkipSpace();
      }
      if (!ParseValue(ignored, depth + 1)) return false;
      SkipSpace();
    } while (Consume(','));
    return Consume(close);
  }

  bool ParseNumber(std::string& out) {
    const size_t start = pos_;
    Consume('-');
    if (Consume('0')) {
    } else if (!Digits()) {
      return false;
    }
    if (Consume('.') && !Digits()) return false;
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (!Consume('+')) Consume('-');
      if (!Digits()) return false;
    }
    out = text_.substr(start, pos_ - start);
    return true;
  }

  bool Digits() {
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }

  bool ParseString(std::string& out) {
    if (!Consume('"')) return false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return false;
      const char e = text_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t code = 0;
          if (!Hex4(code)) return false;
          if (code >= 0xD800 && code < 0xDC00) {
            uint32_t low = 0;
            if (!Consume('\\') || !Consume('u') || !Hex4(low) || low < 0xDC00 || low > 0xDFFF)
              return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
          }
          AppendUtf8(out, code);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool Hex4(uint32_t& code) {
    if (pos_ + 4 > text_.size()) return false;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      code <<= 4;
      if (c >= '0' && c <= '9') {
        code |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        code |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        code |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    return true;
  }

  static void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r'))
      ++pos_;
  }

  bool Consume(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<JsonMembers> ParseJsonObject(std::string_view text) {
  JsonMembers members;
  if (!Reader(text).ParseTopObject(members)) return std::nullopt;
  return members;
}

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      out += "\\u00";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace apns_mock
