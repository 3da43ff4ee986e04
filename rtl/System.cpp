#include "rtl/System.h"

#include <cxxabi.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

std::string ClassNameOf(const std::type_info& aType) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(aType.name(), nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? demangled.get() : aType.name();
  if (auto lt = name.find('<'); lt != std::string::npos) name.erase(lt);
  if (auto colon = name.rfind("::"); colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

void TObject::Free() {
  BeforeDestruction();
  delete this;
}

std::string ExceptionMessage(const std::exception_ptr& aException) {
  try {
    std::rethrow_exception(aException);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

std::string ExceptionClassName(const std::exception_ptr& aException) {
  try {
    std::rethrow_exception(aException);
  } catch (const Exception& e) {
    return e.ClassName();
  } catch (const std::exception& e) {
    return ClassNameOf(typeid(e));
  } catch (...) {
    return "Exception";
  }
}

int64_t StrToInt64(const std::string& aText) {
  std::string_view s = aText;
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s.front() == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  if (s.empty() || ec != std::errc() || end != s.data() + s.size() || value > limit)
    throw EConvertError("'" + aText + "' is not a valid integer value");
  return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

int StrToInt(const std::string& aText) {
  int64_t v = StrToInt64(aText);
  if (v < INT32_MIN || v > INT32_MAX) throw EConvertError("'" + aText + "' is not a valid integer value");
  return static_cast<int>(v);
}

std::string IntToStr(int64_t aValue) { return std::to_string(aValue); }

std::string IntToHex(uint64_t aValue, int aDigits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[aValue & 15]);
    aValue >>= 4;
  } while (aValue);
  if (static_cast<int>(out.size()) < aDigits) out.insert(0, aDigits - out.size(), '0');
  return out;
}

std::string UpperCase(std::string aText) {
  for (char& c : aText)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return aText;
}

std::string LowerCase(std::string aText) {
  for (char& c : aText)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return aText;
}

bool SameText(std::string_view a, std::string_view b) {
  // Compared in place: names are looked up this way for every answer.
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

std::string Trim(const std::string& aText) {
  size_t first = 0, last = aText.size();
  while (first < last && static_cast<unsigned char>(aText[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(aText[last - 1]) <= ' ') --last;
  return aText.substr(first, last - first);
}
