#include "transport/IdTCPClient.h"

#include "transport/IdIOHandlerStack.h"

TIdTCPClientCustom::TIdTCPClientCustom(TComponent* AOwner) : TIdTCPConnection(AOwner) {}

void TIdTCPClientCustom::Connect() {
  if (Connected()) throw EIdAlreadyConnected("Already connected.");
  if (FHost.empty()) throw EIdHostRequired("A Host is required");
  if (FPort == 0) throw EIdPortRequired("A Port is required");
  if (!FIOHandler) {
    CreateIOHandler();
    FIOHandler->OnStatus = [this](TObject*, TIdStatus AStatus, const std::string& AText) {
      if (OnStatus) OnStatus(this, AStatus, AText);
    };
  }
  try {
    if (!FDestination.empty()) FIOHandler->SetDestination(FDestination);
    CopySettings(FIOHandler);
    FIOHandler->Open();
    if (FIOHandler->Intercept()) FIOHandler->Intercept()->Connect(this);
    DoStatus(TIdStatus::hsConnected, FHost);
    DoOnConnected();
  } catch (...) {
    if (FIOHandler) {
      try {
        FIOHandler->Close();
      } catch (...) {
        // The connect failure is rethrown below; a failure to close the
        // half-open socket must not replace it.
      }
      if (FManagedIOHandler) SetIOHandler(nullptr);
    }
    throw;
  }
}

void TIdTCPClientCustom::Connect(const std::string& AHost) {
  SetHost(AHost);
  Connect();
}

void TIdTCPClientCustom::Connect(const std::string& AHost, uint16_t APort) {
  SetHost(AHost);
  SetPort(APort);
  Connect();
}

std::string TIdTCPClientCustom::ConnectAndGetAll() {
  Connect();
  std::string result;
  try {
    result = FIOHandler->AllData();
  } catch (...) {
    Disconnect();
    throw;
  }
  Disconnect();
  return result;
}

void TIdTCPClientCustom::CopySettings(TIdIOHandler* AHandler) {
  AHandler->SetPort(FPort);
  AHandler->SetHost(FHost);
  AHandler->SetConnectTimeout(FConnectTimeout);
  AHandler->SetReadTimeout(FReadTimeout);
  if (auto* socket = dynamic_cast<TIdIOHandlerSocket*>(AHandler)) {
    socket->SetBoundIP(FBoundIP);
    socket->SetBoundPort(FBoundPort);
    socket->SetBoundPortMin(FBoundPortMin);
    socket->SetBoundPortMax(FBoundPortMax);
    socket->SetIPVersion(FIPVersion);
    socket->SetReuseSocket(FReuseSocket);
    socket->SetUseNagle(FUseNagle);
    socket->SetLingerState(FLingerState);
    socket->OnBeforeBind = OnBeforeBind;
    socket->OnAfterBind = OnAfterBind;
    socket->OnSocketAllocated = OnSocketAllocated;
  }
}

void TIdTCPClientCustom::SetIOHandler(TIdIOHandler* AValue) {
  TIdTCPConnection::SetIOHandler(AValue);
  if (FIOHandler) CopySettings(FIOHandler);
}

void TIdTCPClientCustom::DoOnConnected() {
  if (OnConnected) OnConnected(this);
}

void TIdTCPClientCustom::SetHost(const std::string& AValue) {
  FHost = AValue;
  if (FIOHandler) FIOHandler->SetHost(AValue);
}

void TIdTCPClientCustom::SetPort(uint16_t AValue) {
  FPort = AValue;
  if (FIOHandler) FIOHandler->SetPort(AValue);
}

void TIdTCPClientCustom::SetIPVersion(TIdIPVersion AValue) {
  FIPVersion = AValue;
  if (FSocket) FSocket->SetIPVersion(AValue);
}

void TIdTCPClientCustom::SetConnectTimeout(int AValue) {
  FConnectTimeout = AValue;
  if (FIOHandler) FIOHandler->SetConnectTimeout(AValue);
}

int TIdTCPClientCustom::ReadTimeout() const {
  return FIOHandler ? FIOHandler->ReadTimeout() : FReadTimeout;
}

void TIdTCPClientCustom::SetReadTimeout(int AValue) {
  FReadTimeout = AValue;
  if (FIOHandler) FIOHandler->SetReadTimeout(AValue);
}

void TIdTCPClientCustom::SetBoundIP(const std::string& AValue) {
  FBoundIP = AValue;
  if (FSocket) FSocket->SetBoundIP(AValue);
}

void TIdTCPClientCustom::SetBoundPort(uint16_t AValue) {
  FBoundPort = AValue;
  if (FSocket) FSocket->SetBoundPort(AValue);
}

void TIdTCPClientCustom::SetBoundPortMin(uint16_t AValue) {
  FBoundPortMin = AValue;
  if (FSocket) FSocket->SetBoundPortMin(AValue);
}

void TIdTCPClientCustom::SetBoundPortMax(uint16_t AValue) {
  FBoundPortMax = AValue;
  if (FSocket) FSocket->SetBoundPortMax(AValue);
}

TIdReuseSocket TIdTCPClientCustom::ReuseSocket() const {
  return FSocket ? FSocket->ReuseSocket() : FReuseSocket;
}

void TIdTCPClientCustom::SetReuseSocket(TIdReuseSocket AValue) {
  FReuseSocket = AValue;
  if (FSocket) FSocket->SetReuseSocket(AValue);
}

bool TIdTCPClientCustom::UseNagle() const { return FSocket ? FSocket->UseNagle() : FUseNagle; }

void TIdTCPClientCustom::SetUseNagle(bool AValue) {
  FUseNagle = AValue;
  if (FSocket) FSocket->SetUseNagle(AValue);
}

void TIdTCPClientCustom::SetLingerState(int AValue) {
  FLingerState = AValue;
  if (FSocket) FSocket->SetLingerState(AValue);
}

void TIdTCPClientCustom::GetPublishedProperties(TPublishedProperties& aList) {
  TIdTCPConnection::GetPublishedProperties(aList);
  aList.push_back(PublishString(
      "BoundIP", [this] { return FBoundIP; }, [this](const std::string& v) { SetBoundIP(v); }));
  aList.push_back(PublishInteger(
      "BoundPort", [this] { return FBoundPort; },
      [this](int64_t v) { SetBoundPort(static_cast<uint16_t>(v)); }));
  aList.push_back(PublishInteger(
      "ConnectTimeout", [this] { return FConnectTimeout; },
      [this](int64_t v) { SetConnectTimeout(static_cast<int>(v)); }));
  aList.push_back(PublishString(
      "Host", [this] { return FHost; }, [this](const std::string& v) { SetHost(v); }));
  aList.push_back(PublishEnum<TIdIPVersion>(
      "IPVersion", {"Id_IPv4", "Id_IPv6"}, [this] { return FIPVersion; },
      [this](TIdIPVersion v) { SetIPVersion(v); }));
  aList.push_back(PublishInteger(
      "Port", [this] { return FPort; }, [this](int64_t v) { SetPort(static_cast<uint16_t>(v)); }));
  aList.push_back(PublishInteger(
      "ReadTimeout", [this] { return ReadTimeout(); },
      [this](int64_t v) { SetReadTimeout(static_cast<int>(v)); }));
  aList.push_back(PublishEnum<TIdReuseSocket>(
      "ReuseSocket", {"rsOSDependent", "rsTrue", "rsFalse"}, [this] { return ReuseSocket(); },
      [this](TIdReuseSocket v) { SetReuseSocket(v); }));
  aList.push_back(PublishBoolean(
      "UseNagle", [this] { return UseNagle(); }, [this](bool v) { SetUseNagle(v); }));
}
