// The socket stack on POSIX sockets, and its socket list.
#pragma once

#include <vector>

#include "transport/IdStack.h"

class TIdStackLinux : public TIdStackBSDBase {
 public:
  std::string HostByName(const std::string& AHostName, TIdIPVersion AIPVersion) override;
  std::string HostByAddress(const std::string& AAddress, TIdIPVersion AIPVersion) override;
  std::string ReadHostName() override;
  TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol, TIdIPVersion AIPVersion,
                                       bool ANonBlocking = false) override;
  bool Connect(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
               TIdIPVersion AIPVersion, int ATimeout = 0) override;
  void Bind(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
            TIdIPVersion AIPVersion) override;
  void Listen(TIdStackSocketHandle ASocket, int ABacklog) override;
  TIdStackSocketHandle Accept(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                              TIdIPVersion& VIPVersion) override;
  int WSRecv(TIdStackSocketHandle ASocket, void* ABuffer, int ALength, int AFlags) override;
  int WSSend(TIdStackSocketHandle ASocket, const void* ABuffer, int ALength, int AFlags) override;
  void GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                     TIdIPVersion& VIPVersion) override;
  void GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                   TIdIPVersion& VIPVersion) override;
  void Disconnect(TIdStackSocketHandle ASocket, int ALingerState = -1) override;
  void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                       int AOptVal) override;
  int GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName) override;
  void SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, int ATimeMS,
                          int AInterval) override;
  void SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) override;
  bool SupportsIPv4() override;
  bool SupportsIPv6() override;
  bool CheckIPVersionSupport(TIdIPVersion AIPVersion) override;
  void GetLocalAddressList(TIdStackLocalAddressList& AAddresses) override;

  // The stack's error number for a system error number. aTransfer: the error
  // came from a receive or send, where EAGAIN means the socket's time-out ran out.
  static int TranslateErrno(int aErrno, bool aTransfer = false);
  // The stack's error number for a getaddrinfo result.
  static int TranslateGAIError(int aResult, int aErrno);
};

class TIdSocketListLinux : public TIdSocketList {
 public:
  void Add(TIdStackSocketHandle AHandle) override;
  void Remove(TIdStackSocketHandle AHandle) override;
  void Clear() override;
  int Count() const override;
  bool ContainsSocket(TIdStackSocketHandle AHandle) const override;
  TIdStackSocketHandle Items(int AIndex) const override;
  std::unique_ptr<TIdSocketList> Clone() const override;
  bool SelectRead(int ATimeout = IdTimeoutInfinite) override;
  bool SelectReadList(std::unique_ptr<TIdSocketList>& VSocketList,
                      int ATimeout = IdTimeoutInfinite) override;

  // TIdSocketList::Select on poll: no limit on descriptor numbers.
  static bool SelectLists(TIdSocketList* AReadList, TIdSocketList* AWriteList,
                          TIdSocketList* AExceptList, int ATimeout);

 private:
  std::vector<TIdStackSocketHandle> FHandles;
};
