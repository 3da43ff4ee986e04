#include "jwt/kfxJSON.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

#include "base/kfxBase_Helpers.h"

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

std::string FloatText(double aValue) {
  char buffer[32];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, aValue, std::chars_format::general, 15);
  // Near the largest doubles 15 digits round up past them, and the text
  // would read back as infinity; the shortest exact form does not.
  double back = 0;
  if (std::from_chars(buffer, result.ptr, back).ec == std::errc::result_out_of_range)
    result = std::to_chars(buffer, buffer + sizeof buffer, aValue);
  return std::string(buffer, result.ptr);
}

template <class T>
std::string IntegerText(T aValue) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, aValue);
  return std::string(buffer, result.ptr);
}

// Length of the well-formed UTF-8 sequence at aPos (no overlong forms, no
// surrogates, nothing above U+10FFFF), 0 when there is none.
size_t UTF8SequenceLength(const std::string& aText, size_t aPos) {
  const auto at = [&](size_t i) { return static_cast<uint8_t>(aText[i]); };
  const uint8_t lead = at(aPos);
  size_t length;
  uint8_t low = 0x80, high = 0xBF;  // range of the second octet
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (aPos + length > aText.size()) return 0;
  if (at(aPos + 1) < low || at(aPos + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (at(aPos + i) < 0x80 || at(aPos + i) > 0xBF) return 0;
  return length;
}

// Octets written as they stand: printable ASCII except the quote and the
// backslash. A table: every octet of every string written is looked up.
constexpr auto kPlainOctets = [] {
  std::array<bool, 256> table{};
  for (int c = 0x20; c <= 0x7E; ++c) table[static_cast<size_t>(c)] = c != '"' && c != '\\';
  return table;
}();

}  // namespace

// The one string escaper of the library: every string the writer puts out
// goes through here, and programs that write JSON lines of their own use it.
void AppendJSONString(std::string& aOut, const std::string& aText, bool aKeepEscapes) {
  for (size_t pos = 0; pos < aText.size();) {
    // A run of printable ASCII without quotes or backslashes is written as
    // it stands, in one go: most texts are nothing else.
    size_t run = pos;
    while (run < aText.size() && kPlainOctets[static_cast<uint8_t>(aText[run])]) ++run;
    if (run > pos) {
      aOut.append(aText, pos, run - pos);
      pos = run;
      continue;
    }
    const char c = aText[pos];
    if (aKeepEscapes && c == '\\' && pos + 1 < aText.size()) {
      // A valid escape of the stored form stays as it is.
      const char next = aText[pos + 1];
      if (next == 'u' && pos + 6 <= aText.size() &&
          std::all_of(aText.begin() + static_cast<ptrdiff_t>(pos) + 2,
                      aText.begin() + static_cast<ptrdiff_t>(pos) + 6, IsHexDigit)) {
        aOut.append(aText, pos, 6);
        pos += 6;
        continue;
      }
      if (std::string_view("\"\\/bfnrt").find(next) != std::string_view::npos) {
        aOut.append(aText, pos, 2);
        pos += 2;
        continue;
      }
    }
    switch (c) {
      case '"': aOut += "\\\""; ++pos; continue;
      case '\\': aOut += "\\\\"; ++pos; continue;
      case '\b': aOut += "\\b"; ++pos; continue;
      case '\t': aOut += "\\t"; ++pos; continue;
      case '\n': aOut += "\\n"; ++pos; continue;
      case '\f': aOut += "\\f"; ++pos; continue;
      case '\r': aOut += "\\r"; ++pos; continue;
      default: break;
    }
    if (static_cast<uint8_t>(c) < 0x20) {
      aOut += "\\u" + IntToHex(static_cast<uint8_t>(c), 4);
      ++pos;
      continue;
    }
    const size_t length = UTF8SequenceLength(aText, pos);
    if (length == 0) {
      aOut += "\\uFFFD";
      ++pos;
      continue;
    }
    aOut.append(aText, pos, length);
    pos += length;
  }
}

std::string JSONQuotedString(const std::string& aText) {
  std::string out = "\"";
  AppendJSONString(out, aText, false);
  return out += '"';
}

namespace {

// The number text in JSON form: leading "+" and leading zeros dropped.
// False when aText is no number at all.
bool NormalizeNumber(const std::string& aText, std::string& aOut) {
  size_t pos = 0;
  const auto digits = [&] {
    const size_t start = pos;
    while (pos < aText.size() && IsDigit(aText[pos])) ++pos;
    return pos > start;
  };
  aOut.clear();
  if (pos < aText.size() && (aText[pos] == '+' || aText[pos] == '-')) {
    if (aText[pos] == '-') aOut += '-';
    ++pos;
  }
  size_t start = pos;
  if (!digits()) return false;
  while (start + 1 < pos && aText[start] == '0') ++start;
  aOut.append(aText, start, pos - start);
  start = pos;
  if (pos < aText.size() && aText[pos] == '.') {
    ++pos;
    if (!digits()) return false;
  }
  if (pos < aText.size() && (aText[pos] == 'e' || aText[pos] == 'E')) {
    ++pos;
    if (pos < aText.size() && (aText[pos] == '+' || aText[pos] == '-')) ++pos;
    if (!digits()) return false;
  }
  if (pos != aText.size()) return false;
  aOut.append(aText, start, pos - start);
  return true;
}

// Strict RFC 8259 syntax check with a nesting limit. The first fault ends
// it, with what is wrong and where.
class TStrictJSONCheck {
 public:
  TStrictJSONCheck(const std::string& aText, int aMaxDepth)
      : FText(aText), FMaxDepth(aMaxDepth) {}

  // Empty when the text is one JSON value; otherwise the fault.
  std::string Document() {
    SkipWhiteSpace();
    const char first = Peek();
    if (!Value(0)) return FError;
    SkipWhiteSpace();
    if (FPos == FText.size()) return "";
    const char* what = first == '{' ? "object" : first == '[' ? "array" : "value";
    return Fail(std::string("unexpected text after the ") + what), FError;
  }

 private:
  bool AtEnd() const { return FPos >= FText.size(); }
  char Peek() const { return AtEnd() ? '\0' : FText[FPos]; }
  bool Fail(const std::string& aWhat) {
    FError = aWhat + " at offset " + std::to_string(FPos);
    return false;
  }
  // The character aChar, or the fault of its absence.
  bool Expect(char aChar) {
    if (AtEnd()) return Fail("unexpected end of JSON");
    if (Peek() != aChar) return Fail(std::string("expected '") + aChar + "'");
    ++FPos;
    return true;
  }
  void SkipWhiteSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r'))
      ++FPos;
  }
  bool Literal(std::string_view aWord) {
    if (FText.compare(FPos, aWord.size(), aWord) != 0) return Number();
    FPos += aWord.size();
    return true;
  }
  bool Value(int aDepth) {
    if (AtEnd()) return Fail("unexpected end of JSON");
    switch (Peek()) {
      case '{':
      case '[':
        if (aDepth >= FMaxDepth) return Fail("nested too deeply");
        return Peek() == '{' ? Object(aDepth + 1) : Array(aDepth + 1);
      case '"': return String();
      case 't': return Literal("true");
      case 'f': return Literal("false");
      case 'n': return Literal("null");
      default: return Number();
    }
  }
  bool Object(int aDepth) {
    ++FPos;
    SkipWhiteSpace();
    if (Peek() == '}') return ++FPos, true;
    for (;;) {
      SkipWhiteSpace();
      if (AtEnd()) return Fail("unexpected end of JSON");
      if (Peek() != '"') return Fail("expected '\"'");
      if (!String()) return false;
      SkipWhiteSpace();
      if (!Expect(':')) return false;
      SkipWhiteSpace();
      if (!Value(aDepth)) return false;
      SkipWhiteSpace();
      if (Peek() == ',') {
        ++FPos;
        continue;
      }
      return Expect('}');
    }
  }
  bool Array(int aDepth) {
    ++FPos;
    SkipWhiteSpace();
    if (Peek() == ']') return ++FPos, true;
    for (;;) {
      SkipWhiteSpace();
      if (!Value(aDepth)) return false;
      SkipWhiteSpace();
      if (Peek() == ',') {
        ++FPos;
        continue;
      }
      return Expect(']');
    }
  }
  bool String() {
    ++FPos;
    while (!AtEnd()) {
      const char c = FText[FPos];
      if (c == '"') return ++FPos, true;
      if (c == '\\') {
        const char next = FPos + 1 < FText.size() ? FText[FPos + 1] : '\0';
        if (next == 'u') {
          for (size_t i = FPos + 2; i < FPos + 6; ++i) {
            if (i >= FText.size()) return FPos = i, Fail("unexpected end of JSON");
            if (!IsHexDigit(FText[i])) return FPos = i, Fail("bad \\u escape");
          }
          FPos += 6;
        } else if (next == '\0' && FPos + 1 >= FText.size()) {
          return FPos += 1, Fail("unexpected end of JSON");
        } else if (std::string_view("\"\\/bfnrt").find(next) != std::string_view::npos) {
          FPos += 2;
        } else {
          return FPos += 1, Fail("bad escape");
        }
      } else if (static_cast<uint8_t>(c) < 0x20) {
        return Fail("control character in a string");
      } else {
        const size_t length = UTF8SequenceLength(FText, FPos);
        if (length == 0) return Fail("malformed UTF-8 in a string");
        FPos += length;
      }
    }
    return Fail("unexpected end of JSON");
  }
  bool Number() {
    const auto digits = [this] {
      if (!IsDigit(Peek())) return AtEnd() ? Fail("unexpected end of JSON") : Fail("bad number");
      while (IsDigit(Peek())) ++FPos;
      return true;
    };
    if (Peek() == '-') ++FPos;
    if (Peek() == '0') {
      ++FPos;
    } else if (!digits()) {
      return false;
    }
    if (Peek() == '.') {
      ++FPos;
      if (!digits()) return false;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++FPos;
      if (Peek() == '+' || Peek() == '-') ++FPos;
      if (!digits()) return false;
    }
    return true;
  }

  const std::string& FText;
  const int FMaxDepth;
  size_t FPos = 0;
  std::string FError;
};

}  // namespace

std::string JSONValueText(const TkfxJSONValue& aValue) {
  struct TVisitor {
    std::string operator()(std::monostate) const { return ""; }
    std::string operator()(const std::string& aText) const { return aText; }
    std::string operator()(int32_t aValue) const { return IntegerText(aValue); }
    std::string operator()(int64_t aValue) const { return IntegerText(aValue); }
    std::string operator()(double aValue) const { return FloatText(aValue); }
    std::string operator()(bool aValue) const { return aValue ? "true" : "false"; }
  };
  return std::visit(TVisitor{}, aValue);
}

bool IsValidJSON(const std::string& aText) {
  return TStrictJSONCheck(aText, TkfxJSON::kMaxJSONDepth).Document().empty();
}

std::string JSONSyntaxError(const std::string& aText, int aMaxDepth) {
  return TStrictJSONCheck(aText, aMaxDepth).Document();
}

// --- TInterfacedComponent ---

TInterfacedComponent::TInterfacedComponent(TComponent* AOwner) : TComponent(nullptr) {
  SetOwnerComponent(AOwner);
}

TInterfacedComponent::~TInterfacedComponent() = default;

int32_t TInterfacedComponent::_AddRef() {
  return ++RefCount;
}

int32_t TInterfacedComponent::_Release() {
  const int32_t count = --RefCount;
  if (count == 0 && DestroyObject) delete this;
  return count;
}

void TInterfacedComponent::Destroy() {
  if (DestroyObject) return;
  DestroyObject = true;
  if (RefCount == 0) delete this;
}

void TInterfacedComponent::SetOwnerComponent(TComponent* aOwner) {
  if (FOwnerComponent) FOwnerComponent->RemoveFreeNotification(this);
  FOwnerComponent = aOwner;
  if (FOwnerComponent) FOwnerComponent->FreeNotification(this);
  DestroyObject = false;
}

void TInterfacedComponent::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FOwnerComponent) {
    FOwnerComponent = nullptr;
    Destroy();  // may free this object: nothing may follow
  }
}

// --- TkfxObjectJSONList ---

TkfxObjectJSONList::~TkfxObjectJSONList() {
  Clear();
}

int TkfxObjectJSONList::IndexOf(const TkfxObjectJSON* aNode) const {
  const auto it = std::find(FItems.begin(), FItems.end(), aNode);
  return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

void TkfxObjectJSONList::Add(TkfxObjectJSON* aNode) {
  FItems.push_back(aNode);
}

void TkfxObjectJSONList::Replace(int aIndex, TkfxObjectJSON* aNode) {
  TkfxObjectJSON* old = std::exchange(FItems[static_cast<size_t>(aIndex)], aNode);
  if (old != aNode) old->Destroy();
}

void TkfxObjectJSONList::Delete(int aIndex) {
  TkfxObjectJSON* old = FItems[static_cast<size_t>(aIndex)];
  FItems.erase(FItems.begin() + aIndex);
  old->Destroy();
}

void TkfxObjectJSONList::Extract(const TkfxObjectJSON* aNode) {
  std::erase(FItems, aNode);
}

void TkfxObjectJSONList::Clear() {
  // Taken out first: a node freed here reports back to its document.
  std::vector<TkfxObjectJSON*> items;
  items.swap(FItems);
  for (TkfxObjectJSON* node : items) node->Destroy();
}

// --- reader ---

// Reads text into documents. Every step consumes at least one character or
// fails, a failure anywhere ends the whole read, and nothing past the end of
// the text is looked at.
class TkfxJSONReader {
 public:
  explicit TkfxJSONReader(const std::string& aText) : FText(aText) {}

  void Read(TkfxJSON& aDocument) {
    if (!FText.empty() && FText[0] == '[') {
      aDocument.FIsArray = true;
      ReadArray(aDocument, 1);
    } else {
      ReadObject(aDocument, 1);
    }
  }

 private:
  bool AtEnd() const { return FPos >= FText.size(); }
  char Peek() const { return FText[FPos]; }

  // White space and "#" comments that run to the end of the line.
  void SkipWhiteSpace() {
    while (!AtEnd()) {
      if (IsWhiteSpace(Peek())) {
        ++FPos;
      } else if (Peek() == '#') {
        while (!AtEnd() && Peek() != '\n') ++FPos;
      } else {
        return;
      }
    }
  }

  bool ReadObject(TkfxJSON& aDocument, int aDepth) {
    if (aDepth > TkfxJSON::kMaxJSONDepth) return false;
    SkipWhiteSpace();
    if (AtEnd() || Peek() != '{') return false;
    ++FPos;
    for (;;) {
      SkipWhiteSpace();
      if (AtEnd()) return false;
      if (Peek() == '}') return ++FPos, true;
      std::string name;
      if (Peek() != '"' || !ReadString(name)) return false;
      aDocument.FJSONName = std::move(name);
      aDocument.FJSONType = TkfxJSONtype::kfxJSONUndefined;
      aDocument.FJSONValue.clear();
      SkipWhiteSpace();
      if (AtEnd() || Peek() != ':') return false;
      ++FPos;
      if (!ReadValue(aDocument, aDepth)) return false;
      SkipWhiteSpace();
      if (!AtEnd() && Peek() == ',') ++FPos;
    }
  }

  bool ReadArray(TkfxJSON& aDocument, int aDepth) {
    if (aDepth > TkfxJSON::kMaxJSONDepth) return false;
    SkipWhiteSpace();
    if (AtEnd() || Peek() != '[') return false;
    ++FPos;
    for (;;) {
      SkipWhiteSpace();
      if (AtEnd()) return false;
      if (Peek() == ']') return ++FPos, true;
      aDocument.FJSONName.clear();
      aDocument.FJSONType = TkfxJSONtype::kfxJSONUndefined;
      aDocument.FJSONValue.clear();
      if (!ReadValue(aDocument, aDepth)) return false;
      SkipWhiteSpace();
      if (!AtEnd() && Peek() == ',') ++FPos;
    }
  }

  bool ReadValue(TkfxJSON& aDocument, int aDepth) {
    SkipWhiteSpace();
    if (AtEnd()) return false;
    const char c = Peek();
    if (c == '[' || c == '{') {
      if (aDepth >= TkfxJSON::kMaxJSONDepth) return false;
      const bool list = c == '[';
      auto* node = new TkfxObjectJSON(&aDocument);
      node->FName = aDocument.FJSONName;
      node->FNameEscaped = true;
      node->FJSONType = list ? TkfxJSONtype::kfxJSONList : TkfxJSONtype::kfxJSONObject;
      aDocument.Data().Add(node);
      TkfxJSON& nested = *node->JSONObject();
      if (!list) return ReadObject(nested, aDepth + 1);
      nested.FIsArray = true;
      return ReadArray(nested, aDepth + 1);
    }
    if (c == '"') {
      if (!ReadString(aDocument.FJSONValue)) return false;
      aDocument.FJSONType = TkfxJSONtype::kfxJSONString;
    } else if (c == '+' || c == '-' || IsDigit(c)) {
      if (!ReadNumber(aDocument.FJSONValue)) return false;
      aDocument.FJSONType = TkfxJSONtype::kfxJSONNumber;
    } else if (c == 't' || c == 'T' || c == 'f' || c == 'F' || c == 'n' || c == 'N') {
      const std::string_view word = c == 't' || c == 'T'   ? "true"
                                    : c == 'f' || c == 'F' ? "false"
                                                           : "null";
      if (FText.size() - FPos < word.size() ||
          !SameText(FText.substr(FPos, word.size()), std::string(word)))
        return false;
      FPos += word.size();
      aDocument.FJSONValue = word;
      aDocument.FJSONType = word == "null" ? TkfxJSONtype::kfxJSONNull : TkfxJSONtype::kfxJSONBoolean;
    } else {
      return false;
    }
    auto* node = new TkfxObjectJSON(&aDocument);
    node->FName = aDocument.FJSONName;
    node->FNameEscaped = true;
    node->FJSONType = aDocument.FJSONType;
    node->FValue = aDocument.FJSONValue;
    node->FValueEscaped = true;
    aDocument.Data().Add(node);
    return true;
  }

  // The raw text between the quotes. A backslash always takes the next
  // character with it ("\u" four more), so only an unescaped quote ends it.
  bool ReadString(std::string& aValue) {
    const size_t start = ++FPos;
    while (!AtEnd()) {
      const char c = Peek();
      if (c == '"') {
        aValue.assign(FText, start, FPos - start);
        ++FPos;
        return true;
      }
      if (c == '\\') {
        const size_t length = FPos + 1 < FText.size() && FText[FPos + 1] == 'u' ? 6 : 2;
        if (FText.size() - FPos < length) return false;
        FPos += length;
      } else {
        ++FPos;
      }
    }
    return false;
  }

  // Optional sign, digits, optionally "." and digits, optionally an exponent.
  bool ReadNumber(std::string& aValue) {
    const size_t start = FPos;
    const auto digits = [this] {
      const size_t first = FPos;
      while (!AtEnd() && IsDigit(Peek())) ++FPos;
      return FPos > first;
    };
    if (Peek() == '+' || Peek() == '-') ++FPos;
    if (!digits()) return false;
    if (!AtEnd() && Peek() == '.') {
      ++FPos;
      if (!digits()) return false;
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      ++FPos;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++FPos;
      if (!digits()) return false;
    }
    aValue.assign(FText, start, FPos - start);
    return true;
  }

  const std::string& FText;
  size_t FPos = 0;
};

// --- writer ---

class TkfxJSONWriter {
 public:
  static void Document(std::string& aOut, const TkfxJSON& aDocument, bool aAsArray) {
    aOut += aAsArray ? '[' : '{';
    for (int i = 0; i < aDocument.Count(); ++i) {
      if (i > 0) aOut += ',';
      Node(aOut, *(*aDocument.FData)[i], aAsArray);
    }
    aOut += aAsArray ? ']' : '}';
  }

 private:
  static void Node(std::string& aOut, TkfxObjectJSON& aNode, bool aInArray) {
    if (!aInArray) {
      aOut += '"';
      AppendJSONString(aOut, aNode.FName, aNode.FNameEscaped);
      aOut += "\":";
    }
    switch (aNode.FJSONType) {
      case TkfxJSONtype::kfxJSONObject:
        if (aNode.FJSONObject)
          Document(aOut, *aNode.FJSONObject, aNode.FJSONObject->FIsArray);
        else
          aOut += "{}";
        break;
      case TkfxJSONtype::kfxJSONList:
        if (aNode.FJSONObject)
          Document(aOut, *aNode.FJSONObject, true);
        else
          aOut += "[]";
        break;
      case TkfxJSONtype::kfxJSONString: String(aOut, aNode); break;
      case TkfxJSONtype::kfxJSONNumber: Number(aOut, aNode.FValue); break;
      case TkfxJSONtype::kfxJSONBoolean: {
        const std::string text = JSONValueText(aNode.FValue);
        aOut += text == "true" || text == "false" ? text : "null";
        break;
      }
      case TkfxJSONtype::kfxJSONNull:
      case TkfxJSONtype::kfxJSONUndefined: aOut += "null"; break;
    }
  }

  static void String(std::string& aOut, const TkfxObjectJSON& aNode) {
    const std::string text = JSONValueText(aNode.FValue);
    // Embedded JSON goes in raw, but only when it really is JSON.
    if (!aNode.Quoted && IsValidJSON(text)) {
      aOut += text;
      return;
    }
    aOut += '"';
    AppendJSONString(aOut, text,
                     aNode.FValueEscaped && std::holds_alternative<std::string>(aNode.FValue));
    aOut += '"';
  }

  static void Number(std::string& aOut, const TkfxJSONValue& aValue) {
    if (const double* value = std::get_if<double>(&aValue); value && !std::isfinite(*value)) {
      aOut += "null";
      return;
    }
    if (std::holds_alternative<bool>(aValue)) {
      aOut += std::get<bool>(aValue) ? "1" : "0";
      return;
    }
    std::string number;
    aOut += NormalizeNumber(JSONValueText(aValue), number) ? number : "null";
  }
};

// --- TkfxObjectJSON ---

TkfxObjectJSON::TkfxObjectJSON(TComponent* AOwner) : TInterfacedComponent(AOwner) {}

TkfxObjectJSON::~TkfxObjectJSON() {
  Clear();
  // Freed while still listed (someone deleted it): leave the list first.
  if (auto* document = dynamic_cast<TkfxJSON*>(OwnerComponent()); document && document->FData)
    document->FData->Extract(this);
}

void TkfxObjectJSON::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent == FJSONObject) FJSONObject = nullptr;
  TInterfacedComponent::Notification(AComponent, Operation);
}

TkfxJSON* TkfxObjectJSON::JSONObject() {
  if (!FJSONObject) FJSONObject = new TkfxJSON(this);
  if (FJSONType != TkfxJSONtype::kfxJSONList) FJSONType = TkfxJSONtype::kfxJSONObject;
  return FJSONObject;
}

int TkfxObjectJSON::Count() const {
  return FJSONObject ? FJSONObject->Count() : 0;
}

TkfxJSONValue TkfxObjectJSON::Value() {
  if (FJSONType == TkfxJSONtype::kfxJSONObject) return JSONObject()->GetText();
  if (FJSONType == TkfxJSONtype::kfxJSONList) {
    TkfxJSON* nested = JSONObject();
    nested->FIsArray = true;
    return nested->GetText();
  }
  return FValue;
}

TkfxObjectJSON* TkfxObjectJSON::Item(int aIndex) const {
  return FJSONObject ? FJSONObject->Item(aIndex) : nullptr;
}

TkfxObjectJSON* TkfxObjectJSON::Node(const std::string& aName) const {
  return FJSONObject ? FJSONObject->Node(aName) : nullptr;
}

TInterfaceRef<IkfxJSON> TkfxObjectJSON::GetJSONObject() {
  return JSONObject();
}

void TkfxObjectJSON::SetJSONObject(IkfxJSON* aValue) {
  auto* document = dynamic_cast<TkfxJSON*>(aValue);
  if (document == FJSONObject) return;
  // A document that holds this node cannot become part of it.
  if (document) {
    for (TComponent* owner = OwnerComponent(); owner;) {
      if (owner == document) return;
      const auto* up = dynamic_cast<TInterfacedComponent*>(owner);
      owner = up ? up->OwnerComponent() : nullptr;
    }
  }
  TInterfaceRef<IkfxJSON> keep(document);  // alive while it changes hands
  if (FJSONObject) {
    TkfxJSON* old = std::exchange(FJSONObject, nullptr);
    old->Destroy();
  }
  if (!document) return;
  if (auto* previous = dynamic_cast<TkfxObjectJSON*>(document->OwnerComponent());
      previous && previous->FJSONObject == document)
    previous->FJSONObject = nullptr;
  document->SetOwnerComponent(this);
  FJSONObject = document;
  if (FJSONType != TkfxJSONtype::kfxJSONList) FJSONType = TkfxJSONtype::kfxJSONObject;
}

void TkfxObjectJSON::SetJSONType(TkfxJSONtype aValue) {
  FJSONType = aValue;
}

TInterfaceRef<IkfxObjectJSON> TkfxObjectJSON::GetNode(const std::string& aName) {
  return Node(aName);
}

void TkfxObjectJSON::SetNode(const std::string& aName, IkfxObjectJSON* aValue) {
  JSONObject()->SetNode(aName, aValue);
}

TInterfaceRef<IkfxObjectJSON> TkfxObjectJSON::GetItem(int aIndex) {
  return Item(aIndex);
}

void TkfxObjectJSON::SetItem(int aIndex, IkfxObjectJSON* aValue) {
  JSONObject()->SetItem(aIndex, aValue);
}

void TkfxObjectJSON::SetValue(const TkfxJSONValue& aValue) {
  Clear();
  FValue = aValue;
  FValueEscaped = false;
  Quoted = true;
  switch (aValue.index()) {
    case 0: FJSONType = TkfxJSONtype::kfxJSONNull; break;
    case 1: FJSONType = TkfxJSONtype::kfxJSONString; break;
    case 5: FJSONType = TkfxJSONtype::kfxJSONBoolean; break;
    default: FJSONType = TkfxJSONtype::kfxJSONNumber; break;
  }
}

void TkfxObjectJSON::SetName(const std::string& aValue) {
  FName = aValue;
  FNameEscaped = false;
}

void TkfxObjectJSON::Clear() {
  if (TkfxJSON* nested = std::exchange(FJSONObject, nullptr)) nested->Destroy();
}

// --- TkfxJSON ---

TkfxJSON::TkfxJSON(TComponent* AOwner) : TInterfacedComponent(AOwner) {}

TkfxJSON::~TkfxJSON() {
  Clear();
}

TkfxObjectJSONList& TkfxJSON::Data() {
  if (!FData) FData = std::make_unique<TkfxObjectJSONList>();
  return *FData;
}

TkfxObjectJSON* TkfxJSON::Item(int aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) return nullptr;
  return (*FData)[aIndex];
}

TkfxObjectJSON* TkfxJSON::Node(const std::string& aName) const {
  for (int i = 0; i < Count(); ++i)
    if ((*FData)[i]->FName == aName) return (*FData)[i];
  return nullptr;
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::GetNode(const std::string& aName) {
  return Node(aName);
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::GetItem(int aIndex) {
  return Item(aIndex);
}

void TkfxJSON::SetNode(const std::string& aName, IkfxObjectJSON* aValue) {
  if (TkfxObjectJSON* node = Node(aName)) PutNode(FData->IndexOf(node), aValue);
}

void TkfxJSON::SetItem(int aIndex, IkfxObjectJSON* aValue) {
  if (aIndex >= 0 && aIndex < Count()) PutNode(aIndex, aValue);
}

bool TkfxJSON::IsInside(const TkfxObjectJSON* aNode) const {
  for (const TComponent* owner = this; owner;) {
    if (owner == aNode) return true;
    const auto* up = dynamic_cast<const TInterfacedComponent*>(owner);
    owner = up ? up->OwnerComponent() : nullptr;
  }
  return false;
}

void TkfxJSON::PutNode(int aIndex, IkfxObjectJSON* aValue) {
  auto* node = dynamic_cast<TkfxObjectJSON*>(aValue);
  if (!node) {
    if (!aValue) Data().Delete(aIndex);
    return;
  }
  if (node == (*FData)[aIndex] || IsInside(node)) return;
  TInterfaceRef<IkfxObjectJSON> keep(node);  // alive while it changes hands
  if (auto* previous = dynamic_cast<TkfxJSON*>(node->OwnerComponent());
      previous && previous->FData) {
    // Taking it out may shift our own positions when it moves within this document.
    const TkfxObjectJSON* target = (*FData)[aIndex];
    previous->FData->Extract(node);
    aIndex = FData->IndexOf(target);
  }
  node->SetOwnerComponent(this);
  FData->Replace(aIndex, node);
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::AddValue(const std::string& aName, TkfxJSONtype aKind,
                                                 const TkfxJSONValue& aValue) {
  TkfxObjectJSON* node = Node(EscapeStrings ? EscapeJSONString(aName) : aName);
  if (!node) {
    node = new TkfxObjectJSON(this);
    node->FName = EscapeStrings ? EscapeJSONString(aName) : aName;
    node->FNameEscaped = EscapeStrings;
    Data().Add(node);
  }
  // A node found by name takes the new value with its kind, as a new one would.
  TInterfaceRef<IkfxObjectJSON> result(node);
  node->Clear();
  node->FJSONType = aKind;
  node->Quoted = true;
  node->FValueEscaped = false;
  node->FValue = std::monostate{};
  switch (aKind) {
    case TkfxJSONtype::kfxJSONObject:
    case TkfxJSONtype::kfxJSONList: {
      TkfxJSON& nested = *node->JSONObject();
      nested.Read(std::get<std::string>(aValue));
      if (aKind == TkfxJSONtype::kfxJSONList) nested.FIsArray = true;
      break;
    }
    case TkfxJSONtype::kfxJSONString: {
      const std::string& text = std::get<std::string>(aValue);
      if (!text.empty() && (text[0] == '{' || text[0] == '[') && IsValidJSON(text)) {
        node->Quoted = false;
        node->FValue = text;
      } else if (EscapeStrings) {
        node->FValue = EscapeJSONString(text);
        node->FValueEscaped = true;
      } else {
        node->FValue = text;
      }
      break;
    }
    default: node->FValue = aValue; break;
  }
  return result;
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::AddPair(const std::string& aName,
                                                const std::string& aValue) {
  return AddValue(aName, TkfxJSONtype::kfxJSONString, aValue);
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::AddPair(const std::string& aName, int32_t aValue) {
  return AddValue(aName, TkfxJSONtype::kfxJSONNumber, aValue);
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::AddPair(const std::string& aName, int64_t aValue) {
  return AddValue(aName, TkfxJSONtype::kfxJSONNumber, aValue);
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::AddPair(const std::string& aName, double aValue) {
  return AddValue(aName, TkfxJSONtype::kfxJSONNumber, aValue);
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::AddPair(const std::string& aName, bool aValue) {
  return AddValue(aName, TkfxJSONtype::kfxJSONBoolean, std::string(aValue ? "true" : "false"));
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::AddPair(const std::string& aName) {
  return AddValue(aName, TkfxJSONtype::kfxJSONNull, std::string());
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::AddObject(const std::string& aName,
                                                  const std::string& aValue) {
  return AddValue(aName, TkfxJSONtype::kfxJSONObject, aValue);
}

TInterfaceRef<IkfxObjectJSON> TkfxJSON::AddArray(const std::string& aName,
                                                 const std::string& aValue) {
  return AddValue(aName, TkfxJSONtype::kfxJSONList, aValue);
}

void TkfxJSON::Clear() {
  if (FData) FData->Clear();
  FData.reset();
}

void TkfxJSON::Read(const std::string& aText) {
  Clear();
  FIsArray = false;
  TkfxJSONReader(aText).Read(*this);
  FJSONName.clear();
  FJSONType = TkfxJSONtype::kfxJSONUndefined;
  FJSONValue.clear();
}

std::string TkfxJSON::GetText() {
  std::string text;
  TkfxJSONWriter::Document(text, *this, FIsArray);
  return text;
}

TkfxJSONPtr NewJSONDocument(const std::string& aText) {
  TkfxJSONPtr document(new TkfxJSON(nullptr));
  if (!aText.empty()) document->Read(aText);
  return document;
}
