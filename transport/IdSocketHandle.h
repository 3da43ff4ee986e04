// TIdSocketHandle: one operating-system socket of the transport, with its
// local and peer addresses, binding (also within a port range), connect,
// receive, send, readiness wait, close and the options the client sets.
// Every system call goes through GStack.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "rtl/Classes.h"
#include "transport/IdStack.h"

enum class TIdReuseSocket { rsOSDependent, rsTrue, rsFalse };

class TIdSocketHandle : public TPersistent {
 public:
  TIdSocketHandle();
  ~TIdSocketHandle() override;

  // Closes any socket, then makes a new one of the type and protocol for IPVersion.
  void AllocateSocket(int ASocketType = Id_SOCK_STREAM, int AProtocol = Id_IPPROTO_IP);
  // Binds to IP and Port, or, with Port 0 and a port range, to the first
  // free port of the range tried from the top down.
  void Bind();
  // Connects to PeerIP and PeerPort; ATimeout in milliseconds, 0 or negative:
  // no limit. False when the time-out expired first (the socket is then
  // closed). The local and peer addresses are read back afterwards.
  bool Connect(int ATimeout = 0);
  // Under the connection lock: closes the socket with this socket's linger value.
  void CloseSocket();
  // One receive into the whole buffer: the count, 0 (peer closed) or -1
  // (GStack->WSGetLastError tells why).
  int Receive(TIdBytes& VBuffer);
  // One send of the slice: the count or -1.
  int Send(const TIdBytes& ABuffer, int AOffset = 0, int ASize = -1);
  // Whether the socket becomes readable within AMSec (negative: no limit).
  // Without a socket: EIdConnClosedGracefully.
  bool Readable(int AMSec = IdTimeoutInfinite);
  bool Select(int ATimeout = IdTimeoutInfinite);

  void SetPeer(const std::string& AIP, uint16_t APort,
               TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4);
  void SetBinding(const std::string& AIP, uint16_t APort,
                  TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4);
  // Forgets the socket (without closing it: the caller closes or owns it) and
  // the peer; with AResetLocal also the local address.
  void Reset(bool AResetLocal = true);
  void UpdateBindingLocal();
  void UpdateBindingPeer();

  void SetSockOpt(int ALevel, int AOptName, int AOptVal);
  int GetSockOpt(int ALevel, int AOptName);
  void SetKeepAliveValues(bool AEnabled, int ATimeMS, int AInterval);
  // Seconds of linger applied when this socket closes; negative: none.
  int LingerState() const { return FLingerState; }
  void SetLingerState(int AValue) { FLingerState = AValue; }
  void SetTTL(int AValue);

  TIdStackSocketHandle Handle() const { return FHandle; }
  bool HandleAllocated() const { return FHandleAllocated; }
  int SocketType() const { return FSocketType; }
  const std::string& IP() const { return FIP; }
  void SetIP(const std::string& AValue) { FIP = AValue; }
  uint16_t Port() const { return FPort; }
  void SetPort(uint16_t AValue) { FPort = AValue; }
  const std::string& PeerIP() const { return FPeerIP; }
  uint16_t PeerPort() const { return FPeerPort; }
  uint16_t ClientPortMin() const { return FClientPortMin; }
  void SetClientPortMin(uint16_t AValue) { FClientPortMin = AValue; }
  uint16_t ClientPortMax() const { return FClientPortMax; }
  void SetClientPortMax(uint16_t AValue) { FClientPortMax = AValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  // EIdCannotSetIPVersionWhenConnected when changed while a socket exists.
  void SetIPVersion(TIdIPVersion AValue);
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool AValue);
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
  bool BroadcastEnabled() const { return FBroadcastEnabled; }
  void SetBroadcastEnabled(bool AValue) { FBroadcastEnabled = AValue; }
  bool OverLapped() const { return FOverLapped; }
  void SetOverLapped(bool AValue) { FOverLapped = AValue; }

  void GetPublishedProperties(TPublishedProperties& aList) override;

 private:
  void SetHandle(TIdStackSocketHandle AHandle);

  int FLingerState = -1;
  uint16_t FClientPortMin = 0;
  uint16_t FClientPortMax = 0;
  TIdStackSocketHandle FHandle = Id_INVALID_SOCKET;
  bool FHandleAllocated = false;
  std::string FIP;
  std::string FPeerIP;
  uint16_t FPort = 0;
  uint16_t FPeerPort = 0;
  std::unique_ptr<TIdSocketList> FReadSocketList;
  int FSocketType = 0;
  bool FOverLapped = false;
  TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4;
  TIdCriticalSection FConnectionHandle;
  bool FBroadcastEnabled = false;
  bool FUseNagle = true;
  TIdReuseSocket FReuseSocket = TIdReuseSocket::rsOSDependent;
};
