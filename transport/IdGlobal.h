// Types and small helpers shared by every unit of the transport: the address
// family, the text encodings used when strings become bytes, time-out values.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/System.h"

// Address family of a connection.
enum class TIdIPVersion { Id_IPv4, Id_IPv6 };

// Time-out values in milliseconds: -1 stands for "the handler's own setting"
// where a parameter allows it; -2 (and -1 at the socket level) wait without limit.
constexpr int IdTimeoutDefault = -1;
constexpr int IdTimeoutInfinite = -2;

constexpr int Id_SOCK_STREAM = 1;
constexpr int Id_SOCK_DGRAM = 2;
constexpr int Id_IPPROTO_IP = 0;
constexpr int Id_IPPROTO_TCP = 6;

// How text becomes bytes and back. The framework's text is UTF-8:
// - encASCII: each character above 127 becomes '?', each byte above 127 reads as '?';
// - enc8Bit: one byte per character (U+0000..U+00FF), others become '?';
// - encUTF8: the text's own bytes;
// - encDefault: the encoding the caller falls back to (a handler's DefStringEncoding).
enum class TIdTextEncoding { encDefault, encASCII, enc8Bit, encUTF8 };

TIdBytes ToBytes(const std::string& AValue, TIdTextEncoding AEncoding);
std::string BytesToString(const TIdBytes& ABytes, size_t AStartIndex, size_t ALength,
                          TIdTextEncoding AEncoding);
inline std::string BytesToString(const TIdBytes& ABytes, TIdTextEncoding AEncoding) {
  return BytesToString(ABytes, 0, ABytes.size(), AEncoding);
}

// Milliseconds left until aDeadline (a TicksNow value), never negative.
int RemainingMS(uint64_t aDeadline);
