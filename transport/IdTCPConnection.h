// TIdTCPConnection: an I/O handler and an intercept chain joined into a
// connection with Connected and Disconnect and status reports.
#pragma once

#include <functional>
#include <string>

#include "transport/IdIOHandlerSocket.h"

class TIdTCPConnection : public TIdComponent {
 public:
  explicit TIdTCPConnection(TComponent* AOwner = nullptr);
  ~TIdTCPConnection() override;

  // The handler's answer; false without a handler.
  virtual bool Connected();
  // With ANotifyPeer and connected: DisconnectNotifyPeer (errors ignored).
  // Then, when the handler is open: hsDisconnecting, Close, OnDisconnected,
  // hsDisconnected.
  virtual void Disconnect(bool ANotifyPeer);
  void Disconnect() { Disconnect(true); }
  // The handler's CheckForDisconnect; without a handler EIdException "Not Connected" when asked.
  virtual void CheckForGracefulDisconnect(bool ARaiseExceptionIfDisconnected = true);

  TIdIOHandler* IOHandler() const { return FIOHandler; }
  // Not owned unless ManagedIOHandler; observed for freeing. The handler gets
  // this connection's intercept and forwards its work events here.
  virtual void SetIOHandler(TIdIOHandler* AValue);
  TIdConnectionIntercept* Intercept() const { return FIntercept; }
  virtual void SetIntercept(TIdConnectionIntercept* AValue);
  // The handler when it is a socket handler.
  TIdIOHandlerSocket* Socket() const { return FSocket; }
  bool ManagedIOHandler() const { return FManagedIOHandler; }
  void SetManagedIOHandler(bool AValue) { FManagedIOHandler = AValue; }
  // A new handler of the default class (owned by this connection, managed).
  // EIdException "Cannot change a connected IOHandler." when connected.
  TIdIOHandler* CreateIOHandler();

  TNotifyEvent OnDisconnected;

 protected:
  virtual void DoOnDisconnected();
  virtual void DisconnectNotifyPeer() {}
  void Notification(TComponent* AComponent, TOperation Operation) override;

  TIdConnectionIntercept* FIntercept = nullptr;
  TIdIOHandler* FIOHandler = nullptr;
  bool FManagedIOHandler = false;
  TIdIOHandlerSocket* FSocket = nullptr;
};
