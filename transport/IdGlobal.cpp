#include "transport/IdGlobal.h"

#include "base/kfxBase_Helpers.h"

namespace {

// Decodes the UTF-8 text into code points; an invalid sequence yields U+FFFD.
template <class F>
void ForEachCodePoint(const std::string& aText, F aVisit) {
  size_t i = 0;
  while (i < aText.size()) {
    const uint8_t lead = static_cast<uint8_t>(aText[i]);
    int length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + static_cast<size_t>(length) > aText.size()) {
      aVisit(0xFFFDu);
      ++i;
      continue;
    }
    uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    bool ok = true;
    for (int k = 1; k < length; ++k) {
      const uint8_t b = static_cast<uint8_t>(aText[i + static_cast<size_t>(k)]);
      if ((b & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (!ok) {
      aVisit(0xFFFDu);
      ++i;
      continue;
    }
    aVisit(cp);
    i += static_cast<size_t>(length);
  }
}

}  // namespace

TIdBytes ToBytes(const std::string& AValue, TIdTextEncoding AEncoding) {
  if (AEncoding == TIdTextEncoding::encUTF8) return TIdBytes(AValue.begin(), AValue.end());
  const uint32_t limit = AEncoding == TIdTextEncoding::enc8Bit ? 0xFF : 0x7F;
  TIdBytes result;
  result.reserve(AValue.size());
  ForEachCodePoint(AValue, [&](uint32_t cp) {
    result.push_back(cp <= limit ? static_cast<uint8_t>(cp) : static_cast<uint8_t>('?'));
  });
  return result;
}

std::string BytesToString(const TIdBytes& ABytes, size_t AStartIndex, size_t ALength,
                          TIdTextEncoding AEncoding) {
  if (AStartIndex >= ABytes.size()) return {};
  if (ALength > ABytes.size() - AStartIndex) ALength = ABytes.size() - AStartIndex;
  const auto* first = ABytes.data() + AStartIndex;
  std::string result;
  result.reserve(ALength);
  for (size_t i = 0; i < ALength; ++i) {
    const uint8_t b = first[i];
    if (b < 0x80 || AEncoding == TIdTextEncoding::encUTF8)
      result.push_back(static_cast<char>(b));
    else if (AEncoding == TIdTextEncoding::enc8Bit)
      AppendUTF8(result, b);
    else
      result.push_back('?');
  }
  return result;
}

int RemainingMS(uint64_t aDeadline) {
  const uint64_t now = TicksNow();
  if (now >= aDeadline) return 0;
  const uint64_t left = aDeadline - now;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}
