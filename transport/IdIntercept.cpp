#include "transport/IdIntercept.h"

TIdConnectionIntercept::~TIdConnectionIntercept() { SetIntercept(nullptr); }

void TIdConnectionIntercept::Connect(TComponent* AConnection) {
  FConnection = AConnection;
  if (OnConnect) OnConnect(this);
  if (FIntercept) FIntercept->Connect(AConnection);
}

void TIdConnectionIntercept::Disconnect() {
  if (FIntercept) FIntercept->Disconnect();
  if (OnDisconnect) OnDisconnect(this);
  FConnection = nullptr;
}

void TIdConnectionIntercept::Receive(TIdBytes& ABuffer) {
  if (FIntercept) FIntercept->Receive(ABuffer);
  if (OnReceive) OnReceive(this, ABuffer);
}

void TIdConnectionIntercept::Send(TIdBytes& ABuffer) {
  if (OnSend) OnSend(this, ABuffer);
  if (FIntercept) FIntercept->Send(ABuffer);
}

void TIdConnectionIntercept::SetIntercept(TIdConnectionIntercept* AValue) {
  if (AValue == FIntercept) return;
  for (TIdConnectionIntercept* link = AValue; link; link = link->FIntercept)
    if (link == this)
      throw EIdInterceptCircularLink(ClassName() + ": Circular links are not allowed");
  if (FIntercept) FIntercept->RemoveFreeNotification(this);
  FIntercept = AValue;
  if (FIntercept) FIntercept->FreeNotification(this);
}

void TIdConnectionIntercept::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent == FIntercept) FIntercept = nullptr;
  TIdBaseComponent::Notification(AComponent, Operation);
}
