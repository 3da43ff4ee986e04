#include "base/kfxBase_Helpers.h"

#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "rtl/MainThread.h"

void FreeThread(TkfxIdThread*& aThread) {
  TkfxIdThread* thread = aThread;
  if (!thread) return;
  if (thread->IsCurrentThread() || thread->IsExecutingOnCallingThread()) {
    // We are the thread, or inside one of its handlers on this thread:
    // waiting here would wait for ourselves, so the thread frees itself.
    // A handler running on another thread is no reason to return early: the
    // path below waits for it.
    thread->Terminate();
    // A thread that was disabled (suspended) must run on to its end.
    thread->Start();
    aThread = nullptr;
    if (thread->FreeOnTerminateUnlessFinished()) {
      // It had already ended, so nobody else will free it: do so once the
      // handler that called us has returned.
      QueueOnMain([thread] { thread->Free(); }, nullptr, true);
    }
    return;
  }
  if (!thread->Terminated()) {
    thread->Terminate();
    // A subclass's Terminate may decline (a read thread before its first step).
    for (int i = 0; i < 1001 && !thread->Terminated(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  aThread = nullptr;
  thread->Free();
}

namespace {

// Decodes one code point at aText[aPos]; advances aPos. Invalid input yields U+FFFD.
uint32_t NextCodePoint(const std::string& aText, size_t& aPos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(aText[i]); };
  const uint8_t lead = byte(aPos);
  if (lead < 0x80) {
    ++aPos;
    return lead;
  }
  int length = 0;
  uint32_t cp = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    cp = lead & 0x07;
  } else {
    ++aPos;
    return 0xFFFD;
  }
  if (aPos + static_cast<size_t>(length) > aText.size()) {
    ++aPos;
    return 0xFFFD;
  }
  for (int i = 1; i < length; ++i) {
    const uint8_t b = byte(aPos + static_cast<size_t>(i));
    if ((b & 0xC0) != 0x80) {
      ++aPos;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  static const uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++aPos;
    return 0xFFFD;
  }
  aPos += static_cast<size_t>(length);
  return cp;
}


}  // namespace

void AppendUTF8(std::string& aOut, uint32_t aCp) {
  if (aCp < 0x80) {
    aOut += static_cast<char>(aCp);
  } else if (aCp < 0x800) {
    aOut += static_cast<char>(0xC0 | (aCp >> 6));
    aOut += static_cast<char>(0x80 | (aCp & 0x3F));
  } else if (aCp < 0x10000) {
    aOut += static_cast<char>(0xE0 | (aCp >> 12));
    aOut += static_cast<char>(0x80 | ((aCp >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aCp & 0x3F));
  } else {
    aOut += static_cast<char>(0xF0 | (aCp >> 18));
    aOut += static_cast<char>(0x80 | ((aCp >> 12) & 0x3F));
    aOut += static_cast<char>(0x80 | ((aCp >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aCp & 0x3F));
  }
}

std::string UTF8BytesToString(const TIdBytes& aBytes) {
  const std::string raw(aBytes.begin(), aBytes.end());
  std::string out;
  out.reserve(raw.size());
  for (size_t pos = 0; pos < raw.size();) {
    // Runs of ASCII are copied as they are.
    if (static_cast<uint8_t>(raw[pos]) < 0x80) {
      out += raw[pos++];
      continue;
    }
    AppendUTF8(out, NextCodePoint(raw, pos));
  }
  return out;
}

TIdBytes StringToUTF8Bytes(const std::string& aText) { return TIdBytes(aText.begin(), aText.end()); }

std::string NewGUIDText() {
  uint8_t bytes[16];
  // The 16 octets from the kernel's generator in one call (a stream on
  // /dev/urandom would read a buffer of 8 KB for them).
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    std::random_device device;
    for (auto& b : bytes) b = static_cast<uint8_t>(device());
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // variant 1
  std::string out;
  for (uint8_t b : bytes) out += IntToHex(b, 2);
  return out;
}

std::string UnixTimeText(TDateTime aDateTime, bool aInputIsUTC) {
  return IntToStr(DateTimeToUnix(aDateTime, aInputIsUTC));
}

std::string ReplaceText(const std::string& aText, const std::string& aFrom, const std::string& aTo) {
  if (aFrom.empty()) return aText;
  std::string out;
  size_t start = 0;
  for (size_t hit = aText.find(aFrom); hit != std::string::npos; hit = aText.find(aFrom, start)) {
    out.append(aText, start, hit - start);
    out += aTo;
    start = hit + aFrom.size();
  }
  out.append(aText, start, std::string::npos);
  return out;
}

uint64_t TicksNow() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

uint64_t TickDiff(uint64_t aStart, uint64_t aNow) {
  const uint32_t start = static_cast<uint32_t>(aStart);
  const uint32_t now = static_cast<uint32_t>(aNow);
  return now >= start ? uint64_t{now} - start : uint64_t{now} - start + (uint64_t{1} << 32);
}

std::string Base64EncodeText(const std::string& aText, bool /*aUTF8*/) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((aText.size() + 2) / 3 * 4);
  size_t i = 0;
  const auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(aText[k])); };
  for (; i + 2 < aText.size(); i += 3) {
    const uint32_t n = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  if (i + 1 == aText.size()) {
    const uint32_t n = at(i) << 16;
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += "==";
  } else if (i + 2 == aText.size()) {
    const uint32_t n = at(i) << 16 | at(i + 1) << 8;
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string EscapeJSONString(const std::string& aText) {
  std::string out;
  out.reserve(aText.size());
  const auto escapeUnit = [&](uint32_t aUnit) { out += "\\u" + IntToHex(aUnit, 4); };
  for (size_t pos = 0; pos < aText.size();) {
    const uint32_t cp = NextCodePoint(aText, pos);
    switch (cp) {
      case 8: out += "\\b"; break;
      case 9: out += "\\t"; break;
      case 10: out += "\\n"; break;
      case 12: out += "\\f"; break;
      case 13: out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '/': out += "\\/"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (cp < 32 || (cp > 126 && cp < 0x10000)) {
          escapeUnit(cp);
        } else if (cp >= 0x10000) {
          const uint32_t v = cp - 0x10000;
          escapeUnit(0xD800 + (v >> 10));
          escapeUnit(0xDC00 + (v & 0x3FF));
        } else {
          out += static_cast<char>(cp);
        }
    }
  }
  return out;
}

void ConcatBytes(const TIdBytes& aSource, TIdBytes& aDest) {
  aDest.insert(aDest.end(), aSource.begin(), aSource.end());
}

void MoveBytes(const void* aSource, void* aDest, int64_t aCount) {
  if (aCount > 0) std::memmove(aDest, aSource, static_cast<size_t>(aCount));
}

std::string ExecutableFolder() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/') + 1);
}
