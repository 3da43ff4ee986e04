#include "transport/IdTCPConnection.h"

#include "transport/IdIOHandlerStack.h"

TIdTCPConnection::TIdTCPConnection(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdTCPConnection::~TIdTCPConnection() {
  if (FIOHandler) {
    try {
      if (FIOHandler->Opened()) FIOHandler->Close();
    } catch (...) {
      // A destructor: the handler is released either way, and nobody is
      // left to hear of a failed close.
    }
  }
  SetIOHandler(nullptr);
  SetIntercept(nullptr);
}

bool TIdTCPConnection::Connected() { return FIOHandler && FIOHandler->Connected(); }

void TIdTCPConnection::Disconnect(bool ANotifyPeer) {
  if (ANotifyPeer) {
    try {
      if (Connected()) DisconnectNotifyPeer();
    } catch (...) {
      // The goodbye is a courtesy: a peer that cannot take it is closed all
      // the same, and the close below is what the caller asked for.
    }
  }
  if (FIOHandler && FIOHandler->Opened()) {
    DoStatus(TIdStatus::hsDisconnecting);
    FIOHandler->Close();
    DoOnDisconnected();
    DoStatus(TIdStatus::hsDisconnected);
  }
}

void TIdTCPConnection::CheckForGracefulDisconnect(bool ARaiseExceptionIfDisconnected) {
  if (FIOHandler)
    FIOHandler->CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
  else if (ARaiseExceptionIfDisconnected)
    throw EIdException("Not Connected");
}

void TIdTCPConnection::DoOnDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* AValue) {
  if (AValue == FIOHandler) return;
  if (AValue && FIntercept && AValue->Intercept() && AValue->Intercept() != FIntercept)
    throw EIdException("The IOHandler already has a different Intercept assigned");
  TIdIOHandler* old = FIOHandler;
  const bool managed = FManagedIOHandler;
  FIOHandler = nullptr;
  FSocket = nullptr;
  FManagedIOHandler = false;
  if (old) {
    old->SetWorkTarget(nullptr);
    old->RemoveFreeNotification(this);
    if (managed) old->Free();
  }
  if (AValue) {
    FIOHandler = AValue;
    AValue->SetWorkTarget(this);  // also observes it for freeing
    if (FIntercept) AValue->SetIntercept(FIntercept);
    FSocket = dynamic_cast<TIdIOHandlerSocket*>(AValue);
  }
}

void TIdTCPConnection::SetIntercept(TIdConnectionIntercept* AValue) {
  if (AValue == FIntercept) return;
  if (AValue && FIOHandler && FIOHandler->Intercept() && FIOHandler->Intercept() != AValue)
    throw EIdException("The IOHandler already has a different Intercept assigned");
  if (FIntercept) FIntercept->RemoveFreeNotification(this);
  FIntercept = AValue;
  if (FIntercept) FIntercept->FreeNotification(this);
  if (FIOHandler) FIOHandler->SetIntercept(FIntercept);
}

TIdIOHandler* TIdTCPConnection::CreateIOHandler() {
  if (Connected()) throw EIdException("Cannot change a connected IOHandler.");
  TIdIOHandler* handler = TIdIOHandler::MakeDefaultIOHandler(this);
  if (!handler) handler = new TIdIOHandlerStack(this);
  SetIOHandler(handler);
  FManagedIOHandler = true;
  return handler;
}

void TIdTCPConnection::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove) {
    if (AComponent == FIOHandler) {
      FIOHandler = nullptr;
      FSocket = nullptr;
      FManagedIOHandler = false;
    }
    if (AComponent == FIntercept) FIntercept = nullptr;
  }
  TIdComponent::Notification(AComponent, Operation);
}
