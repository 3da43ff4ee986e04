// TIdCustomTransparentProxy: a proxy that the socket I/O handler connects to
// instead of the target. After the socket is connected to the proxy, Connect
// negotiates a tunnel to the real target over it; from then on the socket
// carries the client's own traffic as if connected to the target.
#pragma once

#include <cstdint>
#include <string>

#include "transport/IdComponent.h"
#include "transport/IdGlobal.h"
#include "rtl/PersistentFields.h"
#include "transport/IdExceptionCore.h"

class TIdIOHandler;

class EIdTransparentProxyCantBind : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdTransparentProxyUDPNotSupported : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdTransparentProxyCircularLink : public EIdException {
 public:
  using EIdException::EIdException;
};

class TIdCustomTransparentProxy : public TIdComponent {
 public:
  explicit TIdCustomTransparentProxy(TComponent* AOwner = nullptr) : TIdComponent(AOwner) {}
  ~TIdCustomTransparentProxy() override;

  // A new proxy of the same class with default settings, without an owner.
  virtual TIdCustomTransparentProxy* NewInstance() const = 0;

  // Runs the negotiation over AIOHandler, whose socket is connected to this
  // proxy; AHost and APort are the real target. Through an enabled chained
  // proxy first when one is set.
  void Connect(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
               TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4);

  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool) {}
  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& AValue) { FHost = AValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue) { FPassword = AValue; }
  uint16_t Port() const { return FPort; }
  void SetPort(uint16_t AValue) { FPort = AValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& AValue) { FUsername = AValue; }
  // The next proxy (not owned; forgotten when freed). EIdTransparentProxyCircularLink
  // "<class>: Circular links are not allowed" when the chain would lead back here.
  TIdCustomTransparentProxy* ChainedProxy() const { return FChainedProxy; }
  void SetChainedProxy(TIdCustomTransparentProxy* AValue);

  // Milliseconds the whole negotiation may take (each read also keeps the
  // handler's own ReadTimeout); 0 or negative: no bound beyond ReadTimeout.
  int NegotiationTimeout() const { return FNegotiationTimeout; }
  void SetNegotiationTimeout(int AValue) { FNegotiationTimeout = AValue; }

  // Each raises "UDP Not supported by this proxy." or "Transparent proxy cannot bind.".
  virtual void OpenUDP(TIdIOHandler* AHandle, const std::string& AHost = "", uint16_t APort = 0);
  virtual void CloseUDP(TIdIOHandler* AHandle);
  virtual void Bind(TIdIOHandler* AIOHandler, uint16_t APort);
  virtual void Listen(TIdIOHandler* AIOHandler, int ATimeOut);

  // Copies Host, Password, Port, IPVersion, Username and NegotiationTimeout
  // (not ChainedProxy).
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  virtual void NegotiateTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                               TIdIPVersion AIPVersion) = 0;
  void Notification(TComponent* AComponent, TOperation Operation) override;

  std::string FHost;
  std::string FPassword;
  uint16_t FPort = 0;
  TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4;
  std::string FUsername;
  TIdCustomTransparentProxy* FChainedProxy = nullptr;
  int FNegotiationTimeout = 30000;

 private:
  static const TPersistentFields<TIdCustomTransparentProxy>& Fields();
};

// Bounds a negotiation: Arm sets the handler's ReadTimeout for the next read
// to what is left of the time (never more than the handler's own limit) and
// raises EIdReadTimeout "Read timed out." once nothing is left. The handler's
// ReadTimeout is restored at the end.
class TIdProxyDeadline {
 public:
  TIdProxyDeadline(TIdIOHandler* AIOHandler, int ATimeout);
  ~TIdProxyDeadline();
  TIdProxyDeadline(const TIdProxyDeadline&) = delete;
  TIdProxyDeadline& operator=(const TIdProxyDeadline&) = delete;
  void Arm();

 private:
  TIdIOHandler* FIOHandler;
  int FSavedReadTimeout;
  uint64_t FDeadline;  // 0: none
};
