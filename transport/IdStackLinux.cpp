#include "transport/IdStackLinux.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/kfxBase_Helpers.h"

namespace {

int Family(TIdIPVersion aVersion) {
  return aVersion == TIdIPVersion::Id_IPv4 ? AF_INET : AF_INET6;
}

// Address text of a socket address; EIdIPVersionUnsupported for other families.
void AddressText(const sockaddr_storage& aAddr, std::string& VIP, uint16_t& VPort,
                 TIdIPVersion& VIPVersion) {
  if (aAddr.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(aAddr);
    const uint32_t host = ntohl(in.sin_addr.s_addr);
    VIP = std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 0xFF) + "." +
          std::to_string((host >> 8) & 0xFF) + "." + std::to_string(host & 0xFF);
    VPort = ntohs(in.sin_port);
    VIPVersion = TIdIPVersion::Id_IPv4;
  } else if (aAddr.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(aAddr);
    TIdIPAddress address;
    address.AddrType = TIdIPVersion::Id_IPv6;
    for (int i = 0; i < 8; ++i)
      address.IPv6[i] = static_cast<uint16_t>(in6.sin6_addr.s6_addr[2 * i] << 8 |
                                              in6.sin6_addr.s6_addr[2 * i + 1]);
    VIP = address.IPAsString();
    VPort = ntohs(in6.sin6_port);
    VIPVersion = TIdIPVersion::Id_IPv6;
  } else {
    throw EIdIPVersionUnsupported("The requested IPVersion / Address family is not supported.");
  }
}

// A zero-filled socket address of the version's family with the port in
// network order; returns the length used. An IPv4 text must be a valid dotted
// address (four numbers 0..255), an IPv6 text a valid IPv6 address.
socklen_t FillAddress(sockaddr_storage& aAddr, const std::string& AIP, uint16_t APort,
                      TIdIPVersion AIPVersion) {
  std::memset(&aAddr, 0, sizeof(aAddr));
  if (AIPVersion == TIdIPVersion::Id_IPv4) {
    auto& in = reinterpret_cast<sockaddr_in&>(aAddr);
    in.sin_family = AF_INET;
    in.sin_port = htons(APort);
    if (!AIP.empty()) {
      uint32_t value = 0;
      int parts = 0;
      size_t start = 0;
      for (;;) {
        const size_t dot = AIP.find('.', start);
        const int part = StrToInt(Trim(AIP.substr(start, dot == std::string::npos ? dot : dot - start)));
        if (part < 0 || part > 255 || ++parts > 4)
          throw EIdInvalidIPv4Address(AIP + " is not a valid IPv4 address");
        value = value << 8 | static_cast<uint32_t>(part);
        if (dot == std::string::npos) break;
        start = dot + 1;
      }
      if (parts != 4) throw EIdInvalidIPv4Address(AIP + " is not a valid IPv4 address");
      in.sin_addr.s_addr = htonl(value);
    }
    return sizeof(sockaddr_in);
  }
  auto& in6 = reinterpret_cast<sockaddr_in6&>(aAddr);
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(APort);
  if (!AIP.empty()) {
    const auto address = TIdIPAddress::MakeAddressObject(AIP);
    if (!address || address->AddrType != TIdIPVersion::Id_IPv6)
      throw EIdInvalidIPv6Address(AIP + " is not a valid IPv6 address");
    const TIdBytes bytes = address->HToNBytes();
    std::memcpy(in6.sin6_addr.s6_addr, bytes.data(), 16);
  }
  return sizeof(sockaddr_in6);
}

bool PollOne(int aFD, short aEvents, int aTimeout) {
  const uint64_t deadline = aTimeout < 0 ? 0 : TicksNow() + static_cast<uint64_t>(aTimeout);
  for (;;) {
    pollfd item{aFD, aEvents, 0};
    const int result = ::poll(&item, 1, aTimeout < 0 ? -1 : RemainingMS(deadline));
    if (result >= 0) return result > 0;
    if (errno != EINTR) return false;
  }
}

}  // namespace

int TIdStackLinux::TranslateErrno(int aErrno, bool aTransfer) {
  switch (aErrno) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EAGAIN: return aTransfer ? Id_WSAETIMEDOUT : Id_WSAEWOULDBLOCK;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: case EPIPE: return 10054;
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return aErrno;
  }
}

int TIdStackLinux::TranslateGAIError(int aResult, int aErrno) {
  switch (aResult) {
    case EAI_AGAIN: return 11002;
    case EAI_BADFLAGS: return 10022;
    case EAI_FAIL: return 11003;
    case EAI_FAMILY: return 10047;
    case EAI_MEMORY: return 8;
    case EAI_NODATA: case EAI_ADDRFAMILY: return 11004;
    case EAI_NONAME: return Id_WSAHOST_NOT_FOUND;
    case EAI_SERVICE: return 10109;
    case EAI_SOCKTYPE: return 10044;
    case EAI_SYSTEM: return TranslateErrno(aErrno);
    default: return aResult;
  }
}

std::string TIdStackLinux::HostByName(const std::string& AHostName, TIdIPVersion AIPVersion) {
  addrinfo hints{};
  hints.ai_family = Family(AIPVersion);
  hints.ai_socktype = SOCK_STREAM;
  // A text of digits and dots is an address or nothing, never a name to look
  // up; the resolver's lenient forms ("1.2.3", "1.2.3.300" read as 1.2.3.44)
  // are not addresses here.
  if (!AHostName.empty() && AHostName.find_first_not_of("0123456789.") == std::string::npos) {
    if (AIPVersion != TIdIPVersion::Id_IPv4 || !IsIP(AHostName)) RaiseSocketError(Id_WSAHOST_NOT_FOUND);
    return AHostName;
  }
  addrinfo* list = nullptr;
  const int result = ::getaddrinfo(AHostName.c_str(), nullptr, &hints, &list);
  if (result != 0) {
    const int err = TranslateGAIError(result, errno);
    RaiseSocketError(err);
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(list, ::freeaddrinfo);
  for (addrinfo* item = list; item; item = item->ai_next) {
    if (item->ai_family != hints.ai_family) continue;
    sockaddr_storage addr{};
    std::memcpy(&addr, item->ai_addr, std::min<size_t>(item->ai_addrlen, sizeof(addr)));
    std::string ip;
    uint16_t port = 0;
    TIdIPVersion version;
    AddressText(addr, ip, port, version);
    return ip;
  }
  RaiseSocketError(Id_WSAHOST_NOT_FOUND);
}

std::string TIdStackLinux::HostByAddress(const std::string& AAddress, TIdIPVersion AIPVersion) {
  sockaddr_storage addr;
  const socklen_t length = FillAddress(addr, AAddress, 0, AIPVersion);
  char host[NI_MAXHOST];
  const int result = ::getnameinfo(reinterpret_cast<sockaddr*>(&addr), length, host, sizeof(host),
                                   nullptr, 0, NI_NAMEREQD);
  if (result != 0) RaiseSocketError(TranslateGAIError(result, errno));
  return host;
}

std::string TIdStackLinux::ReadHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
  return name;
}

TIdStackSocketHandle TIdStackLinux::NewSocketHandle(int ASocketType, int AProtocol,
                                                    TIdIPVersion AIPVersion, bool ANonBlocking) {
  int type = ASocketType | SOCK_CLOEXEC;
  if (ANonBlocking) type |= SOCK_NONBLOCK;
  const int handle = ::socket(Family(AIPVersion), type, AProtocol);
  if (handle < 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
  return handle;
}

bool TIdStackLinux::Connect(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                            TIdIPVersion AIPVersion, int ATimeout) {
  sockaddr_storage addr;
  const socklen_t length = FillAddress(addr, AIP, APort, AIPVersion);
  // Always non-blocking underneath, so that an interrupted connect and the
  // time-out are handled the same way; the caller's blocking mode is restored.
  const int flags = ::fcntl(ASocket, F_GETFL);
  if (flags < 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
  ::fcntl(ASocket, F_SETFL, flags | O_NONBLOCK);
  int err = 0;
  if (::connect(ASocket, reinterpret_cast<sockaddr*>(&addr), length) != 0) err = errno;
  if (err == EINPROGRESS || err == EINTR) {
    if (!PollOne(ASocket, POLLOUT, ATimeout > 0 ? ATimeout : -1)) {
      ::fcntl(ASocket, F_SETFL, flags);
      return false;
    }
    socklen_t size = sizeof(err);
    if (::getsockopt(ASocket, SOL_SOCKET, SO_ERROR, &err, &size) != 0) err = errno;
  }
  ::fcntl(ASocket, F_SETFL, flags);
  if (err != 0) {
    WSSetLastError(TranslateErrno(err));
    RaiseLastSocketError();
  }
  return true;
}

void TIdStackLinux::Bind(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                         TIdIPVersion AIPVersion) {
  sockaddr_storage addr;
  const socklen_t length = FillAddress(addr, AIP, APort, AIPVersion);
  if (::bind(ASocket, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
}

void TIdStackLinux::Listen(TIdStackSocketHandle ASocket, int ABacklog) {
  if (::listen(ASocket, ABacklog) != 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
}

TIdStackSocketHandle TIdStackLinux::Accept(TIdStackSocketHandle ASocket, std::string& VIP,
                                           uint16_t& VPort, TIdIPVersion& VIPVersion) {
  sockaddr_storage addr{};
  socklen_t length = sizeof(addr);
  int handle;
  do {
    handle = ::accept4(ASocket, reinterpret_cast<sockaddr*>(&addr), &length, SOCK_CLOEXEC);
  } while (handle < 0 && errno == EINTR);
  if (handle < 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
  try {
    AddressText(addr, VIP, VPort, VIPVersion);
  } catch (...) {
    ::close(handle);
    throw;
  }
  return handle;
}

int TIdStackLinux::WSRecv(TIdStackSocketHandle ASocket, void* ABuffer, int ALength, int AFlags) {
  for (;;) {
    const ssize_t result = ::recv(ASocket, ABuffer, static_cast<size_t>(ALength), AFlags);
    if (result >= 0) return static_cast<int>(result);
    if (errno == EINTR) continue;
    WSSetLastError(TranslateErrno(errno, true));
    return -1;
  }
}

int TIdStackLinux::WSSend(TIdStackSocketHandle ASocket, const void* ABuffer, int ALength,
                          int AFlags) {
  for (;;) {
    const ssize_t result =
        ::send(ASocket, ABuffer, static_cast<size_t>(ALength), AFlags | MSG_NOSIGNAL);
    if (result >= 0) return static_cast<int>(result);
    if (errno == EINTR) continue;
    WSSetLastError(TranslateErrno(errno, true));
    return -1;
  }
}

void TIdStackLinux::GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                                  TIdIPVersion& VIPVersion) {
  sockaddr_storage addr{};
  socklen_t length = sizeof(addr);
  if (::getsockname(ASocket, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
  AddressText(addr, VIP, VPort, VIPVersion);
}

void TIdStackLinux::GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                                TIdIPVersion& VIPVersion) {
  sockaddr_storage addr{};
  socklen_t length = sizeof(addr);
  if (::getpeername(ASocket, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
  AddressText(addr, VIP, VPort, VIPVersion);
}

void TIdStackLinux::Disconnect(TIdStackSocketHandle ASocket, int ALingerState) {
  if (ALingerState < 0) {
    // Both directions: a thread still waiting on this socket wakes up at once.
    ::shutdown(ASocket, SHUT_RDWR);
  } else {
    linger value{1, ALingerState};
    ::setsockopt(ASocket, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
  }
  ::close(ASocket);
}

void TIdStackLinux::SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                                    int AOptVal) {
  if (::setsockopt(ASocket, ALevel, AOptName, &AOptVal, sizeof(AOptVal)) != 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
}

int TIdStackLinux::GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName) {
  int value = 0;
  socklen_t size = sizeof(value);
  if (::getsockopt(ASocket, ALevel, AOptName, &value, &size) != 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
  return value;
}

void TIdStackLinux::SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, int ATimeMS,
                                       int AInterval) {
  if (!AEnabled) {
    SetSocketOption(ASocket, SOL_SOCKET, SO_KEEPALIVE, 0);
    return;
  }
  const int on = 1;
  ::setsockopt(ASocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
  // The system counts whole seconds; round up so that a short value still probes.
  const int idle = std::max(1, (std::max(ATimeMS, 0) + 999) / 1000);
  const int interval = std::max(1, (std::max(AInterval, 0) + 999) / 1000);
  ::setsockopt(ASocket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
  ::setsockopt(ASocket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
}

void TIdStackLinux::SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) {
  const int flags = ::fcntl(ASocket, F_GETFL);
  if (flags < 0 ||
      ::fcntl(ASocket, F_SETFL, ABlocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) != 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
}

bool TIdStackLinux::SupportsIPv4() { return CheckIPVersionSupport(TIdIPVersion::Id_IPv4); }
bool TIdStackLinux::SupportsIPv6() { return CheckIPVersionSupport(TIdIPVersion::Id_IPv6); }

bool TIdStackLinux::CheckIPVersionSupport(TIdIPVersion AIPVersion) {
  const int handle = ::socket(Family(AIPVersion), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (handle < 0) return false;
  ::close(handle);
  return true;
}

void TIdStackLinux::GetLocalAddressList(TIdStackLocalAddressList& AAddresses) {
  AAddresses.Clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    WSSetLastError(TranslateErrno(errno));
    RaiseLastSocketError();
  }
  std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> guard(list, ::freeifaddrs);
  for (ifaddrs* item = list; item; item = item->ifa_next) {
    if (!item->ifa_addr || (item->ifa_flags & IFF_LOOPBACK) || !(item->ifa_flags & IFF_UP))
      continue;
    const int family = item->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    sockaddr_storage addr{};
    std::memcpy(&addr, item->ifa_addr, family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    TIdStackLocalAddress& entry = AAddresses.Add();
    uint16_t port = 0;
    AddressText(addr, entry.IPAddress, port, entry.IPVersion);
    entry.InterfaceName = item->ifa_name ? item->ifa_name : "";
    entry.InterfaceIndex = ::if_nametoindex(entry.InterfaceName.c_str());
    if (family == AF_INET && item->ifa_netmask) {
      sockaddr_storage mask{};
      std::memcpy(&mask, item->ifa_netmask, sizeof(sockaddr_in));
      TIdIPVersion version;
      AddressText(mask, entry.SubNetMask, port, version);
    }
  }
}

// --- TIdSocketListLinux ---

void TIdSocketListLinux::Add(TIdStackSocketHandle AHandle) {
  std::lock_guard<TIdCriticalSection> lock(FLock);
  if (std::find(FHandles.begin(), FHandles.end(), AHandle) != FHandles.end()) return;
  if (static_cast<int>(FHandles.size()) >= MaxSockets)
    throw EIdStackSetSizeExceeded("Set Size Exceeded.");
  FHandles.push_back(AHandle);
}

void TIdSocketListLinux::Remove(TIdStackSocketHandle AHandle) {
  std::lock_guard<TIdCriticalSection> lock(FLock);
  FHandles.erase(std::remove(FHandles.begin(), FHandles.end(), AHandle), FHandles.end());
}

void TIdSocketListLinux::Clear() {
  std::lock_guard<TIdCriticalSection> lock(FLock);
  FHandles.clear();
}

int TIdSocketListLinux::Count() const {
  std::lock_guard<TIdCriticalSection> lock(FLock);
  return static_cast<int>(FHandles.size());
}

bool TIdSocketListLinux::ContainsSocket(TIdStackSocketHandle AHandle) const {
  std::lock_guard<TIdCriticalSection> lock(FLock);
  return std::find(FHandles.begin(), FHandles.end(), AHandle) != FHandles.end();
}

TIdStackSocketHandle TIdSocketListLinux::Items(int AIndex) const {
  std::lock_guard<TIdCriticalSection> lock(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FHandles.size())) return Id_INVALID_SOCKET;
  return FHandles[static_cast<size_t>(AIndex)];
}

std::unique_ptr<TIdSocketList> TIdSocketListLinux::Clone() const {
  auto clone = std::make_unique<TIdSocketListLinux>();
  std::lock_guard<TIdCriticalSection> lock(FLock);
  clone->FHandles = FHandles;
  return clone;
}

bool TIdSocketListLinux::SelectRead(int ATimeout) {
  auto ready = Clone();
  return SelectLists(ready.get(), nullptr, nullptr, ATimeout);
}

bool TIdSocketListLinux::SelectReadList(std::unique_ptr<TIdSocketList>& VSocketList, int ATimeout) {
  auto ready = Clone();
  const bool result = SelectLists(ready.get(), nullptr, nullptr, ATimeout);
  VSocketList = std::move(ready);
  return result;
}

bool TIdSocketListLinux::SelectLists(TIdSocketList* AReadList, TIdSocketList* AWriteList,
                                     TIdSocketList* AExceptList, int ATimeout) {
  TIdSocketListLinux* lists[3] = {dynamic_cast<TIdSocketListLinux*>(AReadList),
                                  dynamic_cast<TIdSocketListLinux*>(AWriteList),
                                  dynamic_cast<TIdSocketListLinux*>(AExceptList)};
  static const short kEvents[3] = {POLLIN, POLLOUT, POLLPRI};
  std::vector<pollfd> items;
  for (int l = 0; l < 3; ++l) {
    if (!lists[l]) continue;
    std::lock_guard<TIdCriticalSection> lock(lists[l]->FLock);
    for (TIdStackSocketHandle handle : lists[l]->FHandles) items.push_back({handle, kEvents[l], 0});
  }
  const uint64_t deadline = ATimeout < 0 ? 0 : TicksNow() + static_cast<uint64_t>(ATimeout);
  int result;
  for (;;) {
    result = ::poll(items.data(), items.size(), ATimeout < 0 ? -1 : RemainingMS(deadline));
    if (result >= 0) break;
    if (errno != EINTR) {
      GStack->WSSetLastError(TIdStackLinux::TranslateErrno(errno));
      GStack->RaiseLastSocketError();
    }
  }
  size_t at = 0;
  for (int l = 0; l < 3; ++l) {
    if (!lists[l]) continue;
    std::lock_guard<TIdCriticalSection> lock(lists[l]->FLock);
    std::vector<TIdStackSocketHandle> ready;
    for (size_t i = 0; i < lists[l]->FHandles.size() && at < items.size(); ++i, ++at) {
      // A hang-up or error counts as readable: the next receive reports it.
      short wanted = kEvents[l];
      if (l == 0) wanted |= POLLHUP | POLLERR;
      if (l == 1) wanted |= POLLERR | POLLHUP;
      if (items[at].revents & (wanted | POLLNVAL)) ready.push_back(items[at].fd);
    }
    lists[l]->FHandles = std::move(ready);
  }
  return result > 0;
}
