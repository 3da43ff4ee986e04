// TStringList: an ordered list of text lines with name=value access and
// delimited-text splitting and joining.
#pragma once

#include <string>
#include <vector>

#include "rtl/Classes.h"

class TStream;

class TStringList : public TPersistent {
 public:
  TStringList() = default;

  int Count() const { return static_cast<int>(FLines.size()); }
  // Line aIndex; EStringListError "List index out of bounds (i)" outside.
  const std::string& Strings(int aIndex) const;
  void SetStrings(int aIndex, const std::string& aValue);
  const std::string& operator[](int aIndex) const { return Strings(aIndex); }
  const std::vector<std::string>& Lines() const { return FLines; }

  int Add(const std::string& aLine);
  int Add(std::string&& aLine);
  void Insert(int aIndex, const std::string& aLine);
  void Delete(int aIndex);
  void Clear() { FLines.clear(); }
  void AddStrings(const TStringList& aSource);
  int IndexOf(const std::string& aLine) const;

  // Every line followed by LineBreak (CR LF). Setting splits at CR LF, CR or LF;
  // a final line break adds no empty line.
  std::string Text() const;
  void SetText(const std::string& aText);

  // name=value lines: the name is the part before the first NameValueSeparator.
  std::string Names(int aIndex) const;
  std::string ValueFromIndex(int aIndex) const;
  int IndexOfName(const std::string& aName) const;
  std::string Values(const std::string& aName) const;
  // Sets the value of the first line with that name; an empty value deletes the line,
  // an unknown name appends a line.
  void SetValues(const std::string& aName, const std::string& aValue);

  // Delimited text. Unless StrictDelimiter, spaces and control characters also
  // separate items; QuoteChar starts a quoted item in which a doubled QuoteChar
  // stands for one. Reading joins the items with Delimiter, quoting those that
  // hold a delimiter, a quote or (unless StrictDelimiter) a space or control character.
  std::string DelimitedText() const;
  void SetDelimitedText(const std::string& aText);
  std::string CommaText() const;
  void SetCommaText(const std::string& aText);

  void LoadFromFile(const std::string& aFileName);
  void LoadFromStream(TStream& aStream);
  void SaveToFile(const std::string& aFileName) const;
  void SaveToStream(TStream& aStream) const;

  void Assign(const TPersistent* Source) override;
  // Exchanges the lines of the two lists (their storage moves with them).
  void Swap(TStringList& aOther) { FLines.swap(aOther.FLines); }

  // Published as one text of lines (for stored descriptions).
  void GetPublishedProperties(TPublishedProperties& aList) override;

  bool operator==(const TStringList& aOther) const { return FLines == aOther.FLines; }

  char Delimiter = ',';
  char QuoteChar = '"';
  char NameValueSeparator = '=';
  bool StrictDelimiter = false;
  bool CaseSensitive = false;
  std::string LineBreak = "\r\n";

 private:
  bool SameLine(const std::string& a, const std::string& b) const;
  std::vector<std::string> FLines;
};
using TStrings = TStringList;
