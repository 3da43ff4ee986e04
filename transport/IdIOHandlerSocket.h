// TIdIOHandlerSocket: an I/O handler that owns a socket handle (its Binding),
// the local binding options and the transparent proxy, and runs the first
// half of the connect step (allocate and bind the socket).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "transport/IdIOHandler.h"
#include "transport/IdSocketHandle.h"
#include "transport/kfxIdCustomTransparentProxy.h"

using TNotifyEvent = std::function<void(TObject* Sender)>;

class TIdIOHandlerSocket : public TIdIOHandler {
 public:
  explicit TIdIOHandlerSocket(TComponent* AOwner = nullptr);
  ~TIdIOHandlerSocket() override;

  // Host and, when positive and not DefaultPort, ":" and the port; an IPv6
  // host is written in brackets.
  std::string Destination() const override;
  // Splits at the last colon into host and port (a port part that is not a
  // number gives DefaultPort); "[v6-address]:port" gives the address without
  // brackets. A value without a colon is ignored.
  void SetDestination(const std::string& AValue) override;

  bool Connected() override;
  void Close() override;
  void Open() override;

  // The socket handle; null before the first Open.
  TIdSocketHandle* Binding() const { return FBinding.get(); }
  bool BindingAllocated() const { return FBinding && FBinding->HandleAllocated(); }

  const std::string& BoundIP() const { return FBoundIP; }
  void SetBoundIP(const std::string& AValue) { FBoundIP = AValue; }
  uint16_t BoundPort() const { return FBoundPort; }
  void SetBoundPort(uint16_t AValue) { FBoundPort = AValue; }
  uint16_t BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(uint16_t AValue) { FBoundPortMin = AValue; }
  uint16_t BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(uint16_t AValue) { FBoundPortMax = AValue; }
  int DefaultPort() const { return FDefaultPort; }
  void SetDefaultPort(int AValue) { FDefaultPort = AValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool AValue) { FUseNagle = AValue; }
  // Seconds of linger for this handler's sockets; negative: none.
  int LingerState() const { return FLingerState; }
  void SetLingerState(int AValue) { FLingerState = AValue; }

  // The proxy in use, or null. A proxy with an owner is referenced; one
  // without is copied into a proxy of the same class owned by this handler.
  TIdCustomTransparentProxy* TransparentProxy() const { return FTransparentProxy; }
  void SetTransparentProxy(TIdCustomTransparentProxy* AProxy);
  bool ImplicitTransparentProxy() const { return FImplicitTransparentProxy != nullptr; }

  TNotifyEvent OnBeforeBind;
  TNotifyEvent OnAfterBind;
  TNotifyEvent OnSocketAllocated;

  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  // Allocates the socket for IPVersion and binds it (BoundIP, BoundPort, the
  // port range); the stack class adds resolution, connect and proxy.
  virtual void ConnectClient();
  virtual void DoBeforeBind();
  virtual void DoAfterBind();
  virtual void DoSocketAllocated();
  bool SourceIsAvailable() override { return BindingAllocated(); }
  void Notification(TComponent* AComponent, TOperation Operation) override;

  std::unique_ptr<TIdSocketHandle> FBinding;
  std::string FBoundIP;
  uint16_t FBoundPort = 0;
  uint16_t FBoundPortMax = 0;
  uint16_t FBoundPortMin = 0;
  int FDefaultPort = 0;
  TIdCustomTransparentProxy* FTransparentProxy = nullptr;
  std::unique_ptr<TIdCustomTransparentProxy> FImplicitTransparentProxy;
  bool FUseNagle = true;
  TIdReuseSocket FReuseSocket = TIdReuseSocket::rsOSDependent;
  TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4;
  int FLingerState = -1;
};
