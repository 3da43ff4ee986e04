#include "transport/IdIOHandlerSocket.h"

#include <algorithm>

TIdIOHandlerSocket::TIdIOHandlerSocket(TComponent* AOwner) : TIdIOHandler(AOwner) {}

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  SetTransparentProxy(nullptr);
  if (FBinding) FBinding->CloseSocket();
}

std::string TIdIOHandlerSocket::Destination() const {
  const std::string host =
      FHost.find(':') != std::string::npos ? "[" + FHost + "]" : FHost;
  if (FPort > 0 && FPort != FDefaultPort) return host + ":" + std::to_string(FPort);
  return host;
}

void TIdIOHandlerSocket::SetDestination(const std::string& AValue) {
  const auto portOf = [this](const std::string& aText) {
    const std::string text = Trim(aText);
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
      return FDefaultPort;
    return std::stoi(text);
  };
  if (!AValue.empty() && AValue.front() == '[') {
    const size_t close = AValue.find(']');
    if (close != std::string::npos) {
      SetHost(AValue.substr(1, close - 1));
      const std::string rest = AValue.substr(close + 1);
      SetPort(!rest.empty() && rest.front() == ':' ? portOf(rest.substr(1)) : FDefaultPort);
      return;
    }
  }
  const size_t colon = AValue.rfind(':');
  if (colon == std::string::npos) return;
  SetHost(AValue.substr(0, colon));
  SetPort(portOf(AValue.substr(colon + 1)));
}

bool TIdIOHandlerSocket::Connected() {
  return (BindingAllocated() && TIdIOHandler::Connected()) || !InputBufferIsEmpty();
}

void TIdIOHandlerSocket::Close() {
  if (FBinding) FBinding->CloseSocket();
  TIdIOHandler::Close();
}

void TIdIOHandlerSocket::Open() {
  TIdIOHandler::Open();
  if (FBinding)
    FBinding->Reset(true);
  else
    FBinding = std::make_unique<TIdSocketHandle>();
  FBinding->SetClientPortMin(FBoundPortMin);
  FBinding->SetClientPortMax(FBoundPortMax);
  if (!FHost.empty() && FPort > 0) ConnectClient();
}

void TIdIOHandlerSocket::ConnectClient() {
  DoBeforeBind();
  FBinding->SetIPVersion(FIPVersion);
  FBinding->AllocateSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
  DoSocketAllocated();
  if (!FBoundIP.empty()) FBinding->SetIP(FBoundIP);
  FBinding->SetPort(FBoundPort);
  FBinding->SetClientPortMin(FBoundPortMin);
  FBinding->SetClientPortMax(FBoundPortMax);
  FBinding->SetReuseSocket(FReuseSocket);
  // Binding to any address and any port is what connect does anyway; doing it
  // beforehand would only take an ephemeral port out of connect's hands.
  if (!FBinding->IP().empty() || FBinding->Port() != 0 ||
      (FBinding->ClientPortMin() != 0 && FBinding->ClientPortMax() != 0))
    FBinding->Bind();
  FBinding->SetUseNagle(FUseNagle);
  FBinding->SetLingerState(FLingerState);
  DoAfterBind();
}

void TIdIOHandlerSocket::DoBeforeBind() {
  if (OnBeforeBind) OnBeforeBind(this);
}

void TIdIOHandlerSocket::DoAfterBind() {
  if (OnAfterBind) OnAfterBind(this);
}

void TIdIOHandlerSocket::DoSocketAllocated() {
  if (OnSocketAllocated) OnSocketAllocated(this);
}

void TIdIOHandlerSocket::SetTransparentProxy(TIdCustomTransparentProxy* AProxy) {
  if (AProxy == FTransparentProxy && AProxy) return;
  if (!AProxy) {
    if (FTransparentProxy && !FImplicitTransparentProxy)
      FTransparentProxy->RemoveFreeNotification(this);
    FTransparentProxy = nullptr;
    FImplicitTransparentProxy.reset();
    return;
  }
  if (AProxy->Owner()) {
    if (FTransparentProxy && !FImplicitTransparentProxy)
      FTransparentProxy->RemoveFreeNotification(this);
    FImplicitTransparentProxy.reset();
    FTransparentProxy = AProxy;
    AProxy->FreeNotification(this);
    return;
  }
  if (!FImplicitTransparentProxy ||
      FImplicitTransparentProxy->ClassName() != AProxy->ClassName()) {
    if (FTransparentProxy && !FImplicitTransparentProxy)
      FTransparentProxy->RemoveFreeNotification(this);
    FImplicitTransparentProxy.reset(AProxy->NewInstance());
  }
  FImplicitTransparentProxy->Assign(AProxy);
  FTransparentProxy = FImplicitTransparentProxy.get();
}

void TIdIOHandlerSocket::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent == FTransparentProxy &&
      !FImplicitTransparentProxy)
    FTransparentProxy = nullptr;
  TIdIOHandler::Notification(AComponent, Operation);
}

void TIdIOHandlerSocket::GetPublishedProperties(TPublishedProperties& aList) {
  TIdIOHandler::GetPublishedProperties(aList);
  aList.push_back(PublishField("BoundIP", FBoundIP));
  aList.push_back(PublishInteger(
      "BoundPort", [this] { return FBoundPort; },
      [this](int64_t v) { FBoundPort = static_cast<uint16_t>(v); }));
  aList.push_back(PublishField("DefaultPort", FDefaultPort));
  aList.push_back(PublishEnumField<TIdIPVersion>("IPVersion", {"Id_IPv4", "Id_IPv6"}, FIPVersion));
  aList.push_back(PublishEnumField<TIdReuseSocket>(
      "ReuseSocket", {"rsOSDependent", "rsTrue", "rsFalse"}, FReuseSocket));
  aList.push_back(PublishField("UseNagle", FUseNagle));
}
