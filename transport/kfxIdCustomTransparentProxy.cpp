#include "transport/kfxIdCustomTransparentProxy.h"

#include <algorithm>
#include <vector>

#include "base/kfxBase_Helpers.h"
#include "transport/IdIOHandler.h"

TIdProxyDeadline::TIdProxyDeadline(TIdIOHandler* AIOHandler, int ATimeout)
    : FIOHandler(AIOHandler),
      FSavedReadTimeout(AIOHandler->ReadTimeout()),
      FDeadline(ATimeout > 0 ? TicksNow() + static_cast<uint64_t>(ATimeout) : 0) {}

TIdProxyDeadline::~TIdProxyDeadline() { FIOHandler->SetReadTimeout(FSavedReadTimeout); }

void TIdProxyDeadline::Arm() {
  if (FDeadline == 0) return;
  const int left = RemainingMS(FDeadline);
  if (left == 0) throw EIdReadTimeout("Read timed out.");
  FIOHandler->SetReadTimeout(FSavedReadTimeout > 0 ? std::min(FSavedReadTimeout, left) : left);
}

TIdCustomTransparentProxy::~TIdCustomTransparentProxy() { SetChainedProxy(nullptr); }

void TIdCustomTransparentProxy::Connect(TIdIOHandler* AIOHandler, const std::string& AHost,
                                        uint16_t APort, TIdIPVersion AIPVersion) {
  if (FChainedProxy && FChainedProxy->Enabled()) {
    NegotiateTunnel(AIOHandler, FChainedProxy->Host(), FChainedProxy->Port(),
                    TIdIPVersion::Id_IPv4);
    FChainedProxy->Connect(AIOHandler, AHost, APort, AIPVersion);
  } else {
    NegotiateTunnel(AIOHandler, AHost, APort, AIPVersion);
  }
}

void TIdCustomTransparentProxy::SetChainedProxy(TIdCustomTransparentProxy* AValue) {
  if (AValue == FChainedProxy) return;
  for (TIdCustomTransparentProxy* link = AValue; link; link = link->FChainedProxy)
    if (link == this)
      throw EIdTransparentProxyCircularLink(ClassName() + ": Circular links are not allowed");
  if (FChainedProxy) FChainedProxy->RemoveFreeNotification(this);
  FChainedProxy = AValue;
  if (FChainedProxy) FChainedProxy->FreeNotification(this);
}

void TIdCustomTransparentProxy::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent == FChainedProxy) FChainedProxy = nullptr;
  TIdComponent::Notification(AComponent, Operation);
}

void TIdCustomTransparentProxy::OpenUDP(TIdIOHandler*, const std::string&, uint16_t) {
  throw EIdTransparentProxyUDPNotSupported("UDP Not supported by this proxy.");
}

void TIdCustomTransparentProxy::CloseUDP(TIdIOHandler*) {
  throw EIdTransparentProxyUDPNotSupported("UDP Not supported by this proxy.");
}

void TIdCustomTransparentProxy::Bind(TIdIOHandler*, uint16_t) {
  throw EIdTransparentProxyCantBind("Transparent proxy cannot bind.");
}

void TIdCustomTransparentProxy::Listen(TIdIOHandler*, int) {
  throw EIdTransparentProxyCantBind("Transparent proxy cannot bind.");
}

void TIdCustomTransparentProxy::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TIdCustomTransparentProxy*>(Source);
  if (!other) return TIdComponent::Assign(Source);
  FHost = other->FHost;
  FPassword = other->FPassword;
  FPort = other->FPort;
  FIPVersion = other->FIPVersion;
  FUsername = other->FUsername;
  FNegotiationTimeout = other->FNegotiationTimeout;
}

void TIdCustomTransparentProxy::GetPublishedProperties(TPublishedProperties& aList) {
  TIdComponent::GetPublishedProperties(aList);
  aList.push_back(PublishField("Host", FHost));
  aList.push_back(PublishField("Password", FPassword));
  aList.push_back(PublishInteger(
      "Port", [this] { return FPort; }, [this](int64_t v) { FPort = static_cast<uint16_t>(v); }));
  aList.push_back(PublishEnumField<TIdIPVersion>("IPVersion", {"Id_IPv4", "Id_IPv6"}, FIPVersion));
  aList.push_back(PublishField("Username", FUsername));
}
