// TIdConnectThroughHttpProxy: opens the tunnel with an HTTP CONNECT request,
// with Basic proxy authentication when the proxy asks for it (407).
#pragma once

#include "transport/kfxIdCustomTransparentProxy.h"
#include "rtl/PersistentFields.h"

class EIdHttpProxyError : public EIdException {
 public:
  using EIdException::EIdException;
};

class TIdConnectThroughHttpProxy : public TIdCustomTransparentProxy {
 public:
  using TIdCustomTransparentProxy::TIdCustomTransparentProxy;

  // Limits on what a proxy may send before the tunnel opens.
  static constexpr int MaxHeaderLines = 100;
  static constexpr int MaxLineLength = 8192;
  static constexpr int64_t MaxDiscardedBody = 1 << 20;

  TIdCustomTransparentProxy* NewInstance() const override { return new TIdConnectThroughHttpProxy(); }
  bool Enabled() const override { return FEnabled; }
  void SetEnabled(bool AValue) override { FEnabled = AValue; }

  // Also copies Enabled from another HTTP proxy.
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  void NegotiateTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                       TIdIPVersion AIPVersion) override;
  // Sends CONNECT (with credentials when asked) and reads the answer. Only a
  // 2xx status opens the tunnel; 407 is retried once with credentials, on
  // the same connection when the answer's end is known and the proxy keeps
  // it open, otherwise on a new one. Everything else raises EIdHttpProxyError
  // (the status line without its version), a time-out EIdReadTimeout.
  virtual void NegotiateHttpTunnel(TIdIOHandler* AIOHandler, const std::string& AHost,
                                   uint16_t APort, bool AWithCredentials, TIdIPVersion AIPVersion);

  bool FAuthorizationRequired = false;
  bool FEnabled = false;

 private:
  static const TPersistentFields<TIdConnectThroughHttpProxy>& Fields();
};
