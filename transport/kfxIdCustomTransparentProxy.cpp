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

static const std::vector<std::string> kIPVersionNames{"Id_IPv4", "Id_IPv6"};

// The port is published as an integer and kept as 16 bits. NegotiationTimeout
// is a public setting that stored descriptions do not carry; Assign copies it.
const TPersistentFields<TIdCustomTransparentProxy>& TIdCustomTransparentProxy::Fields() {
  using C = TIdCustomTransparentProxy;
  static const auto fields =
      TPersistentFields<C>()
          .Field("Host", &C::FHost)
          .Field("Password", &C::FPassword)
          .Custom([](C& aDest, const C& aSource) { aDest.FPort = aSource.FPort; },
                  [](C& aObject) {
                    return PublishInteger(
                        "Port", [&aObject] { return aObject.FPort; },
                        [&aObject](int64_t v) { aObject.FPort = static_cast<uint16_t>(v); });
                  })
          .Enum("IPVersion", kIPVersionNames, &C::FIPVersion)
          .Field("Username", &C::FUsername)
          .Unpublished(&C::FNegotiationTimeout);
  return fields;
}

void TIdCustomTransparentProxy::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TIdComponent::Assign(Source);
}

void TIdCustomTransparentProxy::GetPublishedProperties(TPublishedProperties& aList) {
  TIdComponent::GetPublishedProperties(aList);
  Fields().Publish(*this, aList);
}
