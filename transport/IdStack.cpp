#include "transport/IdStack.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "transport/IdStackLinux.h"

TIdStack* GStack = nullptr;

namespace {

std::mutex& GStackCriticalSection() {
  static std::mutex section;
  return section;
}
int GStackUsage = 0;
thread_local int tLastSocketError = 0;

bool IsDigits(const std::string& aText) {
  return !aText.empty() &&
         std::all_of(aText.begin(), aText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string> SplitText(const std::string& aText, char aDelimiter) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = aText.find(aDelimiter, start);
    parts.push_back(aText.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// The eight groups of a valid IPv6 text (the rules of MakeCanonicalIPv6Address);
// false for an invalid text. aTailFromIPv4 tells that the last two groups came
// from a dotted IPv4 part.
bool ParseIPv6(const std::string& aAddr, std::array<uint16_t, 8>& aGroups, bool& aTailFromIPv4) {
  if (aAddr.empty()) return false;
  std::string text = aAddr;
  if (text.front() == ':') text.insert(text.begin(), '0');
  if (text.back() == ':') text.push_back('0');
  int colons = 0, dots = 0;
  for (char c : text) {
    if (c == ':') {
      ++colons;
    } else if (c == '.') {
      ++dots;
    } else if (c >= '0' && c <= '9') {
    } else if (HexValue(c) >= 0) {
      if (dots > 0) return false;  // letters only before the IPv4 part
    } else {
      return false;
    }
  }
  if (colons > 7 || dots > 3) return false;
  aTailFromIPv4 = dots == 3;
  std::string ipv4;
  if (dots == 0) {
    if (colons < 2) return false;
  } else if (dots == 3) {
    if (colons < 2 || colons > 6) return false;
    const size_t lastColon = text.rfind(':');
    if (lastColon > text.find('.')) return false;
    ipv4 = text.substr(lastColon + 1);
    text.erase(lastColon);  // the hexadecimal groups before the IPv4 part
    if (text.empty()) return false;
  } else {
    return false;
  }
  std::vector<uint16_t> head, tail;
  bool seenEmpty = false;
  for (const std::string& part : SplitText(text, ':')) {
    if (part.empty()) {
      if (seenEmpty) return false;
      seenEmpty = true;
      continue;
    }
    uint32_t value = 0;
    for (char c : part) {
      value = value * 16 + static_cast<uint32_t>(HexValue(c));
      if (value > 0xFFFF) return false;
    }
    (seenEmpty ? tail : head).push_back(static_cast<uint16_t>(value));
  }
  if (!ipv4.empty()) {
    const auto octets = SplitText(ipv4, '.');
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) {
      if (!IsDigits(octets[i]) || octets[i].size() > 3) return false;
      const int v = std::stoi(octets[i]);
      if (v > 255) return false;
      b[i] = static_cast<uint8_t>(v);
    }
    (seenEmpty ? tail : head).push_back(static_cast<uint16_t>(b[0] << 8 | b[1]));
    (seenEmpty ? tail : head).push_back(static_cast<uint16_t>(b[2] << 8 | b[3]));
  }
  const size_t given = head.size() + tail.size();
  if (given > 8 || (!seenEmpty && given != 8)) return false;
  aGroups.fill(0);
  std::copy(head.begin(), head.end(), aGroups.begin());
  std::copy(tail.begin(), tail.end(), aGroups.end() - static_cast<long>(tail.size()));
  return true;
}

std::string GroupText(uint16_t aGroup, bool aFourDigits) {
  static const char* kHex = "0123456789ABCDEF";
  std::string text;
  for (int shift = 12; shift >= 0; shift -= 4) {
    const char digit = kHex[(aGroup >> shift) & 0xF];
    if (text.empty() && digit == '0' && shift > 0 && !aFourDigits) continue;
    text.push_back(digit);
  }
  return text;
}

}  // namespace

void TIdStack::IncUsage() {
  std::lock_guard<std::mutex> lock(GStackCriticalSection());
  if (GStackUsage == 0) {
    if (GStack) throw EIdStackError("Stack already created.");
    GStack = new TIdStackLinux();
  }
  ++GStackUsage;
}

void TIdStack::DecUsage() {
  std::lock_guard<std::mutex> lock(GStackCriticalSection());
  if (GStackUsage == 0) return;
  if (--GStackUsage == 0) {
    delete GStack;
    GStack = nullptr;
  }
}

int GStackUsageCount() {
  std::lock_guard<std::mutex> lock(GStackCriticalSection());
  return GStackUsage;
}

std::string TIdStack::ResolveHost(const std::string& AHost, TIdIPVersion AIPVersion) {
  if (AIPVersion == TIdIPVersion::Id_IPv4) {
    if (SameText(AHost, "LOCALHOST")) return "127.0.0.1";
    if (IsIP(AHost)) return AHost;
  } else {
    if (SameText(AHost, "LOCALHOST")) return "::1";
    std::string canonical = MakeCanonicalIPv6Address(AHost);
    if (!canonical.empty()) return canonical;
  }
  return HostByName(AHost, AIPVersion);
}

bool TIdStack::IsIP(const std::string& AIP) {
  const auto parts = SplitText(AIP, '.');
  if (parts.size() != 4) return false;
  for (const std::string& part : parts) {
    if (!IsDigits(part) || part.size() > 3 || std::stoi(part) > 255) return false;
  }
  return true;
}

std::string TIdStack::MakeCanonicalIPv6Address(const std::string& AAddr) {
  std::array<uint16_t, 8> groups{};
  bool tailFromIPv4 = false;
  if (!ParseIPv6(AAddr, groups, tailFromIPv4)) return {};
  std::string result;
  for (size_t i = 0; i < groups.size(); ++i) {
    if (i) result.push_back(':');
    result += GroupText(groups[i], tailFromIPv4 && i >= 6);
  }
  return result;
}

int TIdStack::Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer) {
  return CheckForSocketError(WSRecv(ASocket, VBuffer.data(), static_cast<int>(VBuffer.size()), 0));
}

int TIdStack::Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, int AOffset, int ASize) {
  const int available = static_cast<int>(ABuffer.size()) - AOffset;
  if (ASize < 0 || ASize > available) ASize = available;
  if (ASize < 1 || AOffset < 0) return 0;
  return CheckForSocketError(WSSend(ASocket, ABuffer.data() + AOffset, ASize, 0));
}

uint16_t TIdStack::HostToNetwork(uint16_t AValue) {
  return static_cast<uint16_t>((AValue >> 8) | (AValue << 8));
}
uint32_t TIdStack::HostToNetwork(uint32_t AValue) { return __builtin_bswap32(AValue); }
uint64_t TIdStack::HostToNetwork(uint64_t AValue) { return __builtin_bswap64(AValue); }

int TIdStack::WSGetLastError() const { return tLastSocketError; }
void TIdStack::WSSetLastError(int AErr) { tLastSocketError = AErr; }

std::string TIdStack::WSTranslateSocketErrorMsg(int AErr) {
  switch (AErr) {
    case 10004: return "Interrupted system call.";
    case 10009: return "Bad file number.";
    case 10013: return "Access denied.";
    case 10014: return "Buffer fault.";
    case 10022: return "Invalid argument.";
    case 10024: return "Too many open files.";
    case 10035: return "Operation would block.";
    case 10036: return "Operation now in progress.";
    case 10037: return "Operation already in progress.";
    case 10038: return "Socket operation on non-socket.";
    case 10039: return "Destination address required.";
    case 10040: return "Message too long.";
    case 10041: return "Protocol wrong type for socket.";
    case 10042: return "Bad protocol option.";
    case 10043: return "Protocol not supported.";
    case 10044: return "Socket type not supported.";
    case 10045: return "Operation not supported on socket.";
    case 10046: return "Protocol family not supported.";
    case 10047: return "Address family not supported by protocol family.";
    case 10048: return "Address already in use.";
    case 10049: return "Cannot assign requested address.";
    case 10050: return "Network is down.";
    case 10051: return "Network is unreachable.";
    case 10052: return "Net dropped connection or reset.";
    case 10053: return "Software caused connection abort.";
    case 10054: return "Connection reset by peer.";
    case 10055: return "No buffer space available.";
    case 10056: return "Socket is already connected.";
    case 10057: return "Socket is not connected.";
    case 10058: return "Cannot send or receive after socket is closed.";
    case 10059: return "Too many references, cannot splice.";
    case 10060: return "Connection timed out.";
    case 10061: return "Connection refused.";
    case 10062: return "Too many levels of symbolic links.";
    case 10063: return "File name too long.";
    case 10064: return "Host is down.";
    case 10065: return "No route to host.";
    case 10066: return "Directory not empty";
    case 11001: return "Host not found.";
    default: return {};
  }
}

void TIdStack::RaiseSocketError(int AErr) {
  std::string message = "Socket Error # " + std::to_string(AErr) + "\r\n" + WSTranslateSocketErrorMsg(AErr);
  if (AErr == Id_WSAENOTSOCK) throw EIdNotASocket(AErr, message);
  throw EIdSocketError(AErr, message);
}

int TIdStack::CheckForSocketError(int AResult) {
  if (AResult == -1) RaiseLastSocketError();
  return AResult;
}

int TIdStack::CheckForSocketError(int AResult, const std::vector<int>& AIgnore) {
  if (AResult != -1) return 0;
  const int err = WSGetLastError();
  if (std::find(AIgnore.begin(), AIgnore.end(), err) != AIgnore.end()) return err;
  RaiseSocketError(err);
}

// --- TIdIPAddress ---

std::unique_ptr<TIdIPAddress> TIdIPAddress::MakeAddressObject(const std::string& AIP) {
  auto address = std::make_unique<TIdIPAddress>();
  if (TIdStack::IsIP(AIP)) {
    address->AddrType = TIdIPVersion::Id_IPv4;
    for (const std::string& part : SplitText(AIP, '.'))
      address->IPv4 = address->IPv4 << 8 | static_cast<uint32_t>(std::stoi(part));
    return address;
  }
  bool tail = false;
  if (ParseIPv6(AIP, address->IPv6, tail)) {
    address->AddrType = TIdIPVersion::Id_IPv6;
    return address;
  }
  return nullptr;
}

TIdBytes TIdIPAddress::HToNBytes() const {
  TIdBytes bytes;
  if (AddrType == TIdIPVersion::Id_IPv4) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(IPv4 >> shift));
  } else {
    for (uint16_t group : IPv6) {
      bytes.push_back(static_cast<uint8_t>(group >> 8));
      bytes.push_back(static_cast<uint8_t>(group));
    }
  }
  return bytes;
}

int TIdIPAddress::CompareAddress(const std::string& AIP) const {
  const auto other = MakeAddressObject(AIP);
  if (!other) return 1;
  const TIdBytes mine = HToNBytes(), theirs = other->HToNBytes();
  if (mine == theirs) return 0;
  return mine < theirs ? -1 : 1;
}

std::string TIdIPAddress::IPAsString() const {
  if (AddrType == TIdIPVersion::Id_IPv4) {
    return std::to_string(IPv4 >> 24) + "." + std::to_string((IPv4 >> 16) & 0xFF) + "." +
           std::to_string((IPv4 >> 8) & 0xFF) + "." + std::to_string(IPv4 & 0xFF);
  }
  std::string result;
  for (size_t i = 0; i < IPv6.size(); ++i) {
    if (i) result.push_back(':');
    result += GroupText(IPv6[i], false);
  }
  return result;
}

std::unique_ptr<TIdSocketList> TIdSocketList::CreateSocketList() {
  return std::make_unique<TIdSocketListLinux>();
}

bool TIdSocketList::Select(TIdSocketList* AReadList, TIdSocketList* AWriteList,
                           TIdSocketList* AExceptList, int ATimeout) {
  return TIdSocketListLinux::SelectLists(AReadList, AWriteList, AExceptList, ATimeout);
}
