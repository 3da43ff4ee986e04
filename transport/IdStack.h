// The socket stack: the one place where the transport meets the operating
// system's sockets. One process-wide object, GStack, lives while any user has
// counted itself in (IncUsage/DecUsage). Every failed system call becomes an
// EIdSocketError carrying the error number of the stack's table (the Winsock
// numbering: 10061 connection refused, 10060 timed out, 10054 reset ...), so
// messages read the same on every platform.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/kfxWebSocket_Classes_SyncObjs.h"
#include "transport/IdExceptionCore.h"
#include "transport/IdGlobal.h"

using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;

// Error numbers of the stack's table that the transport tests for.
constexpr int Id_WSAEINTR = 10004;
constexpr int Id_WSAEINVAL = 10022;
constexpr int Id_WSAEWOULDBLOCK = 10035;
constexpr int Id_WSAENOTSOCK = 10038;
constexpr int Id_WSAEMSGSIZE = 10040;
constexpr int Id_WSAECONNABORTED = 10053;
constexpr int Id_WSAECONNRESET = 10054;
constexpr int Id_WSAESHUTDOWN = 10058;
constexpr int Id_WSAETIMEDOUT = 10060;
constexpr int Id_WSAECONNREFUSED = 10061;
constexpr int Id_WSAHOST_NOT_FOUND = 11001;

// A set of sockets to wait on. At most 64 entries; every operation holds the
// list's lock.
class TIdSocketList : public TObject {
 public:
  static constexpr int MaxSockets = 64;
  // A new list of the platform's class.
  static std::unique_ptr<TIdSocketList> CreateSocketList();
  // Waits until a socket of a list is readable, writable or has an exception
  // (each list may be null); the lists keep only the ready sockets. ATimeout in
  // milliseconds, negative: no limit. True when any socket is ready.
  static bool Select(TIdSocketList* AReadList, TIdSocketList* AWriteList,
                     TIdSocketList* AExceptList, int ATimeout = IdTimeoutInfinite);

  void Lock() { FLock.Acquire(); }
  void Unlock() { FLock.Release(); }

  // EIdStackSetSizeExceeded "Set Size Exceeded." when the list is full.
  virtual void Add(TIdStackSocketHandle AHandle) = 0;
  virtual void Remove(TIdStackSocketHandle AHandle) = 0;
  virtual void Clear() = 0;
  virtual int Count() const = 0;
  virtual bool ContainsSocket(TIdStackSocketHandle AHandle) const = 0;
  virtual TIdStackSocketHandle Items(int AIndex) const = 0;
  virtual std::unique_ptr<TIdSocketList> Clone() const = 0;
  // Waits until one of the sockets is readable (negative ATimeout: no limit).
  virtual bool SelectRead(int ATimeout = IdTimeoutInfinite) = 0;
  // As SelectRead; VSocketList receives the readable sockets.
  virtual bool SelectReadList(std::unique_ptr<TIdSocketList>& VSocketList,
                              int ATimeout = IdTimeoutInfinite) = 0;

 protected:
  mutable TIdCriticalSection FLock;
};

// One unicast address of this machine.
class TIdStackLocalAddress : public TObject {
 public:
  TIdIPVersion IPVersion = TIdIPVersion::Id_IPv4;
  std::string IPAddress;
  std::string SubNetMask;  // IPv4 only
  std::string InterfaceName;
  uint32_t InterfaceIndex = 0;
};
using TIdStackLocalAddressIPv4 = TIdStackLocalAddress;
using TIdStackLocalAddressIPv6 = TIdStackLocalAddress;

class TIdStackLocalAddressList : public TObject {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  const TIdStackLocalAddress& Addresses(int AIndex) const { return *FItems.at(AIndex); }
  TIdStackLocalAddress& Add() { return *FItems.emplace_back(std::make_unique<TIdStackLocalAddress>()); }
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TIdStackLocalAddress>> FItems;
};

// A parsed IPv4 or IPv6 address.
class TIdIPAddress : public TObject {
 public:
  // Null when the text is neither a valid IPv4 nor a valid IPv6 address.
  static std::unique_ptr<TIdIPAddress> MakeAddressObject(const std::string& AIP);
  // The address in network order: 4 or 16 octets.
  TIdBytes HToNBytes() const;
  // -1, 0 or 1 against another address text (an invalid text compares as smaller).
  int CompareAddress(const std::string& AIP) const;
  std::string IPAsString() const;

  TIdIPVersion AddrType = TIdIPVersion::Id_IPv4;
  uint32_t IPv4 = 0;
  std::array<uint16_t, 8> IPv6{};
};

class TIdStack : public TObject {
 public:
  ~TIdStack() override = default;

  // Counts a user in, creating GStack for the first.
  static void IncUsage();
  // Counts a user out, freeing GStack after the last.
  static void DecUsage();

  // Address text of a host: "localhost" and literal addresses without asking
  // the resolver, anything else through HostByName.
  std::string ResolveHost(const std::string& AHost,
                          TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4);
  // True for exactly four dot-separated decimal numbers 0..255.
  static bool IsIP(const std::string& AIP);
  // The eight groups in upper-case hexadecimal without leading zeros or "::"
  // shortening; empty for an invalid text.
  static std::string MakeCanonicalIPv6Address(const std::string& AAddr);
  static bool IsValidIPv6(const std::string& AAddr) { return !MakeCanonicalIPv6Address(AAddr).empty(); }

  virtual std::string HostByName(const std::string& AHostName, TIdIPVersion AIPVersion) = 0;
  virtual std::string HostByAddress(const std::string& AAddress, TIdIPVersion AIPVersion) = 0;
  virtual std::string ReadHostName() = 0;

  virtual TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol,
                                               TIdIPVersion AIPVersion,
                                               bool ANonBlocking = false) = 0;
  // Connects; ATimeout in milliseconds, 0 or negative: no limit. Returns false
  // when the time-out expired first (the socket is then unusable and must be
  // closed); a failure raises.
  virtual bool Connect(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                       TIdIPVersion AIPVersion, int ATimeout = 0) = 0;
  // An empty address binds to any.
  virtual void Bind(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                    TIdIPVersion AIPVersion) = 0;
  virtual void Listen(TIdStackSocketHandle ASocket, int ABacklog) = 0;
  virtual TIdStackSocketHandle Accept(TIdStackSocketHandle ASocket, std::string& VIP,
                                      uint16_t& VPort, TIdIPVersion& VIPVersion) = 0;
  // One receive into the whole buffer: the count, 0 when the peer closed; raises on failure.
  int Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer);
  // Sends the slice (ASize -1: to the end; below 1 sends nothing); raises on failure.
  int Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, int AOffset = 0, int ASize = -1);
  // The raw calls: the count, or -1 with the error in WSGetLastError. A
  // receive or send time-out reads 10060, a closed pipe 10054; interrupted
  // calls are repeated; a send never raises SIGPIPE.
  virtual int WSRecv(TIdStackSocketHandle ASocket, void* ABuffer, int ALength, int AFlags) = 0;
  virtual int WSSend(TIdStackSocketHandle ASocket, const void* ABuffer, int ALength,
                     int AFlags) = 0;
  virtual void GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                             TIdIPVersion& VIPVersion) = 0;
  virtual void GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                           TIdIPVersion& VIPVersion) = 0;
  // Closes the socket. ALingerState below 0: shut down, then close; otherwise
  // SO_LINGER on with that many seconds, then close. The linger value belongs
  // to the socket being closed; nothing is kept for other sockets.
  virtual void Disconnect(TIdStackSocketHandle ASocket, int ALingerState = -1) = 0;
  virtual void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                               int AOptVal) = 0;
  virtual int GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName) = 0;
  // Enabling sets SO_KEEPALIVE with the first probe after ATimeMS of silence
  // and further probes every AInterval ms (failures of the timing are not
  // reported); disabling clears SO_KEEPALIVE.
  virtual void SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, int ATimeMS,
                                  int AInterval) = 0;
  virtual void SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) = 0;
  bool WouldBlock(int AResult) const { return AResult != 0 && WSGetLastError() == Id_WSAEWOULDBLOCK; }
  virtual bool SupportsIPv4() = 0;
  virtual bool SupportsIPv6() = 0;
  // Whether a stream socket of the family can be created.
  virtual bool CheckIPVersionSupport(TIdIPVersion AIPVersion) = 0;
  virtual void GetLocalAddressList(TIdStackLocalAddressList& AAddresses) = 0;

  static uint16_t HostToNetwork(uint16_t AValue);
  static uint32_t HostToNetwork(uint32_t AValue);
  static uint64_t HostToNetwork(uint64_t AValue);
  static uint16_t NetworkToHost(uint16_t AValue) { return HostToNetwork(AValue); }
  static uint32_t NetworkToHost(uint32_t AValue) { return HostToNetwork(AValue); }
  static uint64_t NetworkToHost(uint64_t AValue) { return HostToNetwork(AValue); }

  // The calling thread's last socket error, in the stack's numbering.
  int WSGetLastError() const;
  void WSSetLastError(int AErr);
  // The stack's fixed text for an error number (empty when not in the table).
  static std::string WSTranslateSocketErrorMsg(int AErr);
  // EIdNotASocket for 10038, EIdSocketError otherwise, with the message
  // "Socket Error # <n>\r\n<text>".
  [[noreturn]] void RaiseSocketError(int AErr);
  [[noreturn]] void RaiseLastSocketError() { RaiseSocketError(WSGetLastError()); }
  // A result of -1 raises the last error; returns the result otherwise.
  int CheckForSocketError(int AResult);
  // As above, but an error listed in AIgnore is returned instead of raised
  // (0 when AResult is not -1).
  int CheckForSocketError(int AResult, const std::vector<int>& AIgnore);
};

// The BSD-socket family of stacks.
class TIdStackBSDBase : public TIdStack {};

// The stack object of this process while its usage count is above 0.
extern TIdStack* GStack;
// Usage count of GStack (for tests and diagnostics).
int GStackUsageCount();
