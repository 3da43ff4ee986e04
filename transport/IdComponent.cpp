#include "transport/IdComponent.h"

TIdComponent::~TIdComponent() { SetWorkTarget(nullptr); }

std::string TIdComponent::StatusText(TIdStatus AStatus, const std::string& AArg) {
  switch (AStatus) {
    case TIdStatus::hsResolving: return "Resolving hostname " + AArg + ".";
    case TIdStatus::hsConnecting: return "Connecting to " + AArg + ".";
    case TIdStatus::hsConnected: return "Connected.";
    case TIdStatus::hsDisconnecting: return "Disconnecting.";
    case TIdStatus::hsDisconnected: return "Disconnected.";
    case TIdStatus::hsStatusText: return AArg;
  }
  return AArg;
}

void TIdComponent::SetWorkTarget(TIdComponent* AValue) {
  if (FWorkTarget == AValue) return;
  if (FWorkTarget) FWorkTarget->RemoveFreeNotification(this);
  FWorkTarget = AValue;
  if (FWorkTarget) FWorkTarget->FreeNotification(this);
}

void TIdComponent::DoStatus(TIdStatus AStatus, const std::string& AArg) {
  if (OnStatus) OnStatus(this, AStatus, StatusText(AStatus, AArg));
}

void TIdComponent::DoWork(TWorkMode AWorkMode, int64_t ACount) {
  if (FWorkTarget)
    FWorkTarget->DoWork(AWorkMode, ACount);
  else if (OnWork)
    OnWork(this, AWorkMode, ACount);
}

void TIdComponent::DoWorkBegin(TWorkMode AWorkMode, int64_t ACountMax) {
  if (FWorkTarget)
    FWorkTarget->DoWorkBegin(AWorkMode, ACountMax);
  else if (OnWorkBegin)
    OnWorkBegin(this, AWorkMode, ACountMax);
}

void TIdComponent::DoWorkEnd(TWorkMode AWorkMode) {
  if (FWorkTarget)
    FWorkTarget->DoWorkEnd(AWorkMode);
  else if (OnWorkEnd)
    OnWorkEnd(this, AWorkMode);
}

void TIdComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent == FWorkTarget) FWorkTarget = nullptr;
  TIdBaseComponent::Notification(AComponent, Operation);
}
