// TIdSocksInfo: SOCKS 4, 4A (the proxy resolves the host) and 5 (with
// username/password authentication) as a transparent proxy.
#pragma once

#include <exception>

#include "transport/kfxIdCustomTransparentProxy.h"
#include "rtl/PersistentFields.h"

enum class TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum class TSocksAuthentication { saNoAuthentication, saUsernamePassword };

class EIdSocksError : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdSocksRequestFailed : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksRequestServerFailed : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksRequestIdentFailed : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksUnknownError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
// A reply that could not be read; InnerException is what failed the read.
class EIdSocksServerRespondError : public EIdSocksError {
 public:
  EIdSocksServerRespondError(const std::string& AMessage, std::exception_ptr AInner)
      : EIdSocksError(AMessage), InnerException(std::move(AInner)) {}
  std::exception_ptr InnerException;
};
class EIdSocksAuthMethodError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksAuthError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksServerGeneralError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksServerPermissionError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksServerNetUnreachableError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksServerHostUnreachableError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksServerConnectionRefusedError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksServerTTLExpiredError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksServerCommandError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};
class EIdSocksServerAddressError : public EIdSocksError {
 public:
  using EIdSocksError::EIdSocksError;
};

class TIdSocksInfo : public TIdCustomTransparentProxy {
 public:
  explicit TIdSocksInfo(TComponent* AOwner = nullptr);

  TIdCustomTransparentProxy* NewInstance() const override { return new TIdSocksInfo(); }
  // True for SOCKS 4, 4A and 5; the setter does nothing.
  bool Enabled() const override { return FVersion != TSocksVersion::svNoSocks; }

  TSocksAuthentication Authentication() const { return FAuthentication; }
  void SetAuthentication(TSocksAuthentication AValue) { FAuthentication = AValue; }
  TSocksVersion Version() const { return FVersion; }
  void SetVersion(TSocksVersion AValue) { FVersion = AValue; }

  // Also copies Authentication and Version from another SOCKS proxy.
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  void NegotiateTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                       TIdIPVersion AIPVersion) override;
  void MakeSocks4Connection(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort);
  void MakeSocks5Connection(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort);

  TSocksAuthentication FAuthentication = TSocksAuthentication::saNoAuthentication;
  TSocksVersion FVersion = TSocksVersion::svNoSocks;

 private:
  static const TPersistentFields<TIdSocksInfo>& Fields();
};
