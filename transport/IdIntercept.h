// TIdConnectionIntercept: one link of the chain that sees, and may change,
// every block of bytes a connection sends or receives. The first link sees
// outgoing data first and incoming data last.
#pragma once

#include <functional>

#include "transport/IdComponent.h"
#include "transport/IdExceptionCore.h"

class TIdConnectionIntercept;
using TIdInterceptNotifyEvent = std::function<void(TIdConnectionIntercept* ASender)>;
// The handler may replace the bytes.
using TIdInterceptStreamEvent = std::function<void(TIdConnectionIntercept* ASender, TIdBytes& ABuffer)>;

class TIdConnectionIntercept : public TIdBaseComponent {
 public:
  explicit TIdConnectionIntercept(TComponent* AOwner = nullptr) : TIdBaseComponent(AOwner) {}
  ~TIdConnectionIntercept() override;

  // Stores the connection, fires OnConnect, then tells the next link.
  virtual void Connect(TComponent* AConnection);
  // Tells the next link, fires OnDisconnect, then forgets the connection.
  virtual void Disconnect();
  // The next link first, then OnReceive.
  virtual void Receive(TIdBytes& ABuffer);
  // OnSend first, then the next link.
  virtual void Send(TIdBytes& ABuffer);

  TComponent* Connection() const { return FConnection; }
  // The next link (not owned). EIdInterceptCircularLink
  // "<class>: Circular links are not allowed" when the chain would lead back here.
  TIdConnectionIntercept* Intercept() const { return FIntercept; }
  void SetIntercept(TIdConnectionIntercept* AValue);
  bool IsClient() const { return FIsClient; }
  TObject* Data() const { return FData; }
  void SetData(TObject* AValue) { FData = AValue; }

  TIdInterceptNotifyEvent OnConnect;
  TIdInterceptNotifyEvent OnDisconnect;
  TIdInterceptStreamEvent OnReceive;
  TIdInterceptStreamEvent OnSend;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

  TComponent* FConnection = nullptr;
  TIdConnectionIntercept* FIntercept = nullptr;
  bool FIsClient = true;
  TObject* FData = nullptr;
};
