#include "transport/IdIOHandlerStack.h"

#include "base/kfxBase_Helpers.h"

namespace {

// A class-level registration: a connection without a handler gets a stack handler.
const bool kRegistered = [] {
  TIdIOHandler::SetDefaultClass([](TComponent* AOwner) -> TIdIOHandler* {
    return new TIdIOHandlerStack(AOwner);
  });
  TIdIOHandler::RegisterIOHandler([](TComponent* AOwner) -> TIdIOHandler* {
    return new TIdIOHandlerStack(AOwner);
  });
  return true;
}();

}  // namespace

TIdIOHandlerStack::TIdIOHandlerStack(TComponent* AOwner) : TIdIOHandlerSocket(AOwner) {
  (void)kRegistered;
}

bool TIdIOHandlerStack::Connected() {
  try {
    ReadFromSource(false, 0, false);
  } catch (const EIdSocketError&) {
    // The error closed the handler; the answer below reflects it.
  }
  return TIdIOHandlerSocket::Connected();
}

void TIdIOHandlerStack::CheckForDisconnect(bool ARaiseExceptionIfDisconnected,
                                           bool AIgnoreBuffer) {
  bool disconnected = false;
  // Draining after a failed send is bounded: a peer that neither sends nor
  // closes does not keep the connection open.
  if (FWriteClosed && !FClosedGracefully && TicksNow() >= FWriteClosedDeadline) FClosedGracefully = true;
  if (FClosedGracefully || !BindingAllocated()) {
    if (BindingAllocated()) {
      Close();
      DoStatus(TIdStatus::hsDisconnected);
    }
    disconnected = true;
  }
  if (disconnected && ARaiseExceptionIfDisconnected && (AIgnoreBuffer || InputBufferIsEmpty())) {
    // A reset is not a graceful close, also when it is noticed only later.
    if (FCloseError != 0 && InputBufferIsEmpty()) RaiseError(FCloseError);
    throw EIdConnClosedGracefully("Connection Closed Gracefully.");
  }
}

bool TIdIOHandlerStack::Readable(int AMSec) {
  if (!FBinding) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
  return FBinding->Readable(AMSec);
}

void TIdIOHandlerStack::ConnectClient() {
  TIdIOHandlerSocket::ConnectClient();
  TIdCustomTransparentProxy* proxy = TransparentProxy();
  const bool tunnel = proxy && proxy->Enabled();
  const std::string host = tunnel ? proxy->Host() : FHost;
  const TIdIPVersion version = tunnel ? proxy->IPVersion() : FIPVersion;
  const int port = tunnel ? proxy->Port() : FPort;
  std::string ip;
  if (version == TIdIPVersion::Id_IPv6) {
    ip = TIdStack::MakeCanonicalIPv6Address(host);
  } else if (TIdStack::IsIP(host)) {
    ip = host;
  }
  if (ip.empty()) {
    if (OnStatus) DoStatus(TIdStatus::hsResolving, host);
    ip = GStack->ResolveHost(host, version);
  }
  FBinding->SetPeer(ip, static_cast<uint16_t>(port), version);
  if (OnStatus) DoStatus(TIdStatus::hsConnecting, ip);
  if (!FBinding->Connect(FConnectTimeout > 0 ? FConnectTimeout : 0)) {
    Close();
    throw EIdConnectTimeout("Connect timed out.");
  }
  if (!tunnel) return;
  // The negotiation is between this handler and the proxy: it carries the
  // proxy's credentials and is no traffic of the connection, so the
  // intercepts (log, throttle) do not see it.
  TIdConnectionIntercept* intercept = FIntercept;
  FIntercept = nullptr;
  try {
    proxy->Connect(this, FHost, static_cast<uint16_t>(FPort), FIPVersion);
  } catch (...) {
    FIntercept = intercept;
    throw;
  }
  FIntercept = intercept;
}

int TIdIOHandlerStack::ReadDataFromSource(TIdBytes& VBuffer) {
  if (!BindingAllocated()) {
    GStack->WSSetLastError(Id_WSAESHUTDOWN);
    return -1;
  }
  return FBinding->Receive(VBuffer);
}

int TIdIOHandlerStack::WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) {
  if (!BindingAllocated()) {
    GStack->WSSetLastError(Id_WSAESHUTDOWN);
    return -1;
  }
  return FBinding->Send(ABuffer, AOffset, ALength);
}

int TIdIOHandlerStack::CheckForError(int ALastResult) {
  return GStack->CheckForSocketError(
      ALastResult, {Id_WSAESHUTDOWN, Id_WSAECONNABORTED, Id_WSAECONNRESET, Id_WSAETIMEDOUT});
}

void TIdIOHandlerStack::RaiseError(int AError) { GStack->RaiseSocketError(AError); }
