#include "rtl/StringList.h"

#include <algorithm>

#include "rtl/Streams.h"

const std::string& TStringList::Strings(int aIndex) const {
  if (aIndex < 0 || aIndex >= Count())
    throw EStringListError("List index out of bounds (" + IntToStr(aIndex) + ")");
  return FLines[static_cast<size_t>(aIndex)];
}

void TStringList::SetStrings(int aIndex, const std::string& aValue) {
  Strings(aIndex);  // bounds check
  FLines[static_cast<size_t>(aIndex)] = aValue;
}

int TStringList::Add(const std::string& aLine) {
  FLines.push_back(aLine);
  return Count() - 1;
}

int TStringList::Add(std::string&& aLine) {
  FLines.push_back(std::move(aLine));
  return Count() - 1;
}

void TStringList::Insert(int aIndex, const std::string& aLine) {
  if (aIndex < 0 || aIndex > Count())
    throw EStringListError("List index out of bounds (" + IntToStr(aIndex) + ")");
  FLines.insert(FLines.begin() + aIndex, aLine);
}

void TStringList::Delete(int aIndex) {
  Strings(aIndex);
  FLines.erase(FLines.begin() + aIndex);
}

void TStringList::AddStrings(const TStringList& aSource) {
  FLines.insert(FLines.end(), aSource.FLines.begin(), aSource.FLines.end());
}

bool TStringList::SameLine(const std::string& a, const std::string& b) const {
  return CaseSensitive ? a == b : SameText(a, b);
}

int TStringList::IndexOf(const std::string& aLine) const {
  for (int i = 0; i < Count(); ++i)
    if (SameLine(FLines[static_cast<size_t>(i)], aLine)) return i;
  return -1;
}

std::string TStringList::Text() const {
  std::string out;
  for (const auto& line : FLines) {
    out += line;
    out += LineBreak;
  }
  return out;
}

void TStringList::SetText(const std::string& aText) {
  FLines.clear();
  size_t start = 0;
  const size_t n = aText.size();
  while (start < n) {
    // One pass over the characters (find_first_of searches the set per character).
    size_t end = start;
    while (end < n && aText[end] != '\r' && aText[end] != '\n') ++end;
    if (end == n) end = std::string::npos;
    if (end == std::string::npos) {
      FLines.push_back(aText.substr(start));
      break;
    }
    FLines.push_back(aText.substr(start, end - start));
    if (aText[end] == '\r' && end + 1 < n && aText[end + 1] == '\n') ++end;
    start = end + 1;
  }
}

std::string TStringList::Names(int aIndex) const {
  const std::string& line = Strings(aIndex);
  const auto sep = line.find(NameValueSeparator);
  return sep == std::string::npos ? std::string() : line.substr(0, sep);
}

std::string TStringList::ValueFromIndex(int aIndex) const {
  const std::string& line = Strings(aIndex);
  const auto sep = line.find(NameValueSeparator);
  return sep == std::string::npos ? std::string() : line.substr(sep + 1);
}

int TStringList::IndexOfName(const std::string& aName) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = FLines[static_cast<size_t>(i)];
    const auto sep = line.find(NameValueSeparator);
    if (sep == std::string::npos) continue;
    // The name is compared in place: names are looked up for every answer.
    const std::string_view name = std::string_view(line).substr(0, sep);
    if (CaseSensitive ? name == aName : SameText(name, aName)) return i;
  }
  return -1;
}

std::string TStringList::Values(const std::string& aName) const {
  const int i = IndexOfName(aName);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStringList::SetValues(const std::string& aName, const std::string& aValue) {
  const int i = IndexOfName(aName);
  if (aValue.empty()) {
    if (i >= 0) Delete(i);
  } else if (i < 0) {
    Add(aName + NameValueSeparator + aValue);
  } else {
    FLines[static_cast<size_t>(i)] = aName + NameValueSeparator + aValue;
  }
}

namespace {

bool IsBlank(char c) { return c != '\0' && static_cast<unsigned char>(c) <= ' '; }

// Reads a quoted item starting at aText[aPos] == aQuote; a doubled quote is one
// quote character; an unterminated item runs to the end of the text.
std::string ExtractQuoted(const std::string& aText, size_t& aPos, char aQuote) {
  std::string out;
  ++aPos;
  while (aPos < aText.size()) {
    if (aText[aPos] == aQuote) {
      if (aPos + 1 < aText.size() && aText[aPos + 1] == aQuote) {
        out += aQuote;
        aPos += 2;
        continue;
      }
      ++aPos;
      return out;
    }
    out += aText[aPos++];
  }
  return out;
}

// Splits delimited text. Unless aStrict, blanks around items are skipped and
// also end an unquoted item; a quoted item may hold anything.
std::vector<std::string> SplitDelimited(const std::string& aText, char aDelimiter, char aQuote,
                                        bool aStrict) {
  std::vector<std::string> items;
  const size_t n = aText.size();
  size_t p = 0;
  auto skipBlanks = [&] {
    if (!aStrict)
      while (p < n && IsBlank(aText[p])) ++p;
  };
  skipBlanks();
  while (p < n) {
    if (aText[p] == aQuote) {
      items.push_back(ExtractQuoted(aText, p, aQuote));
    } else {
      const size_t start = p;
      while (p < n && aText[p] != aDelimiter && (aStrict || !IsBlank(aText[p]))) ++p;
      items.push_back(aText.substr(start, p - start));
    }
    skipBlanks();
    if (p < n && aText[p] == aDelimiter) {
      if (p + 1 == n) items.emplace_back();  // a final delimiter ends with an empty item
      ++p;
      skipBlanks();
    }
  }
  return items;
}

std::string JoinDelimited(const std::vector<std::string>& aLines, char aDelimiter, char aQuote,
                          bool aStrict) {
  if (aLines.size() == 1 && aLines[0].empty()) return std::string(2, aQuote);
  std::string out;
  for (size_t i = 0; i < aLines.size(); ++i) {
    const std::string& s = aLines[i];
    const bool quote = std::any_of(s.begin(), s.end(), [&](char c) {
      return c == aQuote || c == aDelimiter || (!aStrict && static_cast<unsigned char>(c) <= ' ');
    });
    if (quote) {
      out += aQuote;
      for (char c : s) {
        if (c == aQuote) out += aQuote;
        out += c;
      }
      out += aQuote;
    } else {
      out += s;
    }
    if (i + 1 < aLines.size()) out += aDelimiter;
  }
  return out;
}

}  // namespace

void TStringList::SetDelimitedText(const std::string& aText) {
  FLines = SplitDelimited(aText, Delimiter, QuoteChar, StrictDelimiter);
}

std::string TStringList::DelimitedText() const {
  return JoinDelimited(FLines, Delimiter, QuoteChar, StrictDelimiter);
}

std::string TStringList::CommaText() const { return JoinDelimited(FLines, ',', '"', false); }

void TStringList::SetCommaText(const std::string& aText) { FLines = SplitDelimited(aText, ',', '"', false); }

void TStringList::LoadFromStream(TStream& aStream) {
  const int64_t size = aStream.Size() - aStream.Position();
  std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (!text.empty()) aStream.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
  // A UTF-8 byte order mark is not part of the text.
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  SetText(text);
}

void TStringList::LoadFromFile(const std::string& aFileName) {
  TFileStream stream(aFileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(stream);
}

void TStringList::SaveToStream(TStream& aStream) const {
  const std::string text = Text();
  aStream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

void TStringList::SaveToFile(const std::string& aFileName) const {
  TFileStream stream(aFileName, fmCreate);
  SaveToStream(stream);
}

void TStringList::Assign(const TPersistent* Source) {
  if (auto* list = dynamic_cast<const TStringList*>(Source)) {
    if (list != this) FLines = list->FLines;
    return;
  }
  TPersistent::Assign(Source);
}

void TStringList::GetPublishedProperties(TPublishedProperties& aList) {
  // The lines are stored as one comma text, e.g. Strings = 'h2,"a b"'.
  aList.push_back(PublishString("Strings", [this] { return CommaText(); },
                                [this](const std::string& v) { SetCommaText(v); }));
}
