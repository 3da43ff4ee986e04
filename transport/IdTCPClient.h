// TIdTCPClientCustom / TIdTCPClient: the client side of a TCP connection with
// its settings (host, port, time-outs, local binding) and Connect, which opens
// the I/O handler (resolve, connect, proxy negotiation, TLS in a TLS handler).
#pragma once

#include <cstdint>
#include <string>

#include "transport/IdTCPConnection.h"

class TIdTCPClientCustom : public TIdTCPConnection {
 public:
  explicit TIdTCPClientCustom(TComponent* AOwner = nullptr);

  // EIdAlreadyConnected, EIdHostRequired, EIdPortRequired; any failure closes
  // the handler (a managed one is freed) and is raised again.
  virtual void Connect();
  void Connect(const std::string& AHost);
  void Connect(const std::string& AHost, uint16_t APort);
  // Connects, reads everything until the peer closes, disconnects.
  std::string ConnectAndGetAll();

  void SetIOHandler(TIdIOHandler* AValue) override;

  const std::string& Host() const { return FHost; }
  virtual void SetHost(const std::string& AValue);
  uint16_t Port() const { return FPort; }
  virtual void SetPort(uint16_t AValue);
  TIdIPVersion IPVersion() const { return FIPVersion; }
  virtual void SetIPVersion(TIdIPVersion AValue);
  const std::string& Destination() const { return FDestination; }
  void SetDestination(const std::string& AValue) { FDestination = AValue; }
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int AValue);
  int ReadTimeout() const;
  void SetReadTimeout(int AValue);
  const std::string& BoundIP() const { return FBoundIP; }
  void SetBoundIP(const std::string& AValue);
  uint16_t BoundPort() const { return FBoundPort; }
  void SetBoundPort(uint16_t AValue);
  uint16_t BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(uint16_t AValue);
  uint16_t BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(uint16_t AValue);
  TIdReuseSocket ReuseSocket() const;
  void SetReuseSocket(TIdReuseSocket AValue);
  bool UseNagle() const;
  void SetUseNagle(bool AValue);
  int LingerState() const { return FLingerState; }
  void SetLingerState(int AValue);
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& AValue) { FUsername = AValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue) { FPassword = AValue; }

  TNotifyEvent OnConnected;
  TNotifyEvent OnBeforeBind;
  TNotifyEvent OnAfterBind;
  TNotifyEvent OnSocketAllocated;

  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  virtual void DoOnConnected();
  // Copies the client's settings into the current handler.
  void CopySettings(TIdIOHandler* AHandler);

  std::string FBoundIP;
  uint16_t FBoundPort = 0;
  uint16_t FBoundPortMax = 0;
  uint16_t FBoundPortMin = 0;
  int FConnectTimeout = 0;
  std::string FDestination;
  std::string FHost;
  TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4;
  std::string FPassword;
  std::string FUsername;
  uint16_t FPort = 0;
  int FReadTimeout = -1;
  TIdReuseSocket FReuseSocket = TIdReuseSocket::rsOSDependent;
  bool FUseNagle = true;
  int FLingerState = -1;
};

class TIdTCPClient : public TIdTCPClientCustom {
 public:
  using TIdTCPClientCustom::TIdTCPClientCustom;
};
