#include "transport/IdSocketHandle.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <mutex>

TIdSocketHandle::TIdSocketHandle() {
  TIdStack::IncUsage();
  FReadSocketList = TIdSocketList::CreateSocketList();
  Reset(true);
}

TIdSocketHandle::~TIdSocketHandle() {
  CloseSocket();
  FReadSocketList.reset();
  TIdStack::DecUsage();
}

void TIdSocketHandle::AllocateSocket(int ASocketType, int AProtocol) {
  CloseSocket();
  if (FHandleAllocated) Reset(true);
  SetHandle(GStack->NewSocketHandle(ASocketType, AProtocol, FIPVersion, FOverLapped));
}

void TIdSocketHandle::SetHandle(TIdStackSocketHandle AHandle) {
  if (FHandle != Id_INVALID_SOCKET) FReadSocketList->Remove(FHandle);
  FHandle = AHandle;
  FHandleAllocated = AHandle != Id_INVALID_SOCKET;
  if (!FHandleAllocated) {
    FSocketType = 0;
    return;
  }
  FReadSocketList->Add(FHandle);
  FSocketType = GStack->GetSocketOption(FHandle, SOL_SOCKET, SO_TYPE);
  if (FSocketType == Id_SOCK_STREAM)
    FUseNagle = GStack->GetSocketOption(FHandle, IPPROTO_TCP, TCP_NODELAY) == 0;
}

void TIdSocketHandle::Bind() {
  SetSockOpt(SOL_SOCKET, SO_REUSEADDR, FReuseSocket == TIdReuseSocket::rsTrue ? 1 : 0);
  if (FPort == 0 && FClientPortMin != 0 && FClientPortMax != 0) {
    if (FClientPortMax < FClientPortMin)
      throw EIdInvalidPortRange("Invalid Port Range (" + std::to_string(FClientPortMin) + " - " +
                                std::to_string(FClientPortMax) + ")");
    bool bound = false;
    for (int port = FClientPortMax; port >= FClientPortMin && !bound; --port) {
      try {
        GStack->Bind(FHandle, FIP, static_cast<uint16_t>(port), FIPVersion);
        bound = true;
      } catch (const EIdSocketError&) {
        // This port is taken: try the next; an exhausted range raises below.
      }
    }
    if (!bound)
      throw EIdCanNotBindPortInRange("Can not bind in port range (" +
                                     std::to_string(FClientPortMin) + " - " +
                                     std::to_string(FClientPortMax) + ")");
  } else {
    GStack->Bind(FHandle, FIP, FPort, FIPVersion);
  }
  UpdateBindingLocal();
}

bool TIdSocketHandle::Connect(int ATimeout) {
  if (!GStack->Connect(FHandle, FPeerIP, FPeerPort, FIPVersion, ATimeout)) {
    CloseSocket();
    return false;
  }
  std::lock_guard<TIdCriticalSection> lock(FConnectionHandle);
  if (FHandleAllocated) {
    UpdateBindingLocal();
    UpdateBindingPeer();
  }
  return true;
}

void TIdSocketHandle::CloseSocket() {
  std::lock_guard<TIdCriticalSection> lock(FConnectionHandle);
  if (!FHandleAllocated) return;
  FHandleAllocated = false;
  const TIdStackSocketHandle handle = FHandle;
  SetHandle(Id_INVALID_SOCKET);
  GStack->Disconnect(handle, FLingerState);
}

int TIdSocketHandle::Receive(TIdBytes& VBuffer) {
  return GStack->WSRecv(FHandle, VBuffer.data(), static_cast<int>(VBuffer.size()), 0);
}

int TIdSocketHandle::Send(const TIdBytes& ABuffer, int AOffset, int ASize) {
  const int available = static_cast<int>(ABuffer.size()) - AOffset;
  if (ASize < 0 || ASize > available) ASize = available;
  if (ASize < 1 || AOffset < 0) return 0;
  return GStack->WSSend(FHandle, ABuffer.data() + AOffset, ASize, 0);
}

bool TIdSocketHandle::Readable(int AMSec) {
  if (!FHandleAllocated) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
  return Select(AMSec < 0 ? IdTimeoutInfinite : AMSec);
}

bool TIdSocketHandle::Select(int ATimeout) { return FReadSocketList->SelectRead(ATimeout); }

void TIdSocketHandle::SetPeer(const std::string& AIP, uint16_t APort, TIdIPVersion AIPVersion) {
  FPeerIP = AIP;
  FPeerPort = APort;
  FIPVersion = AIPVersion;
}

void TIdSocketHandle::SetBinding(const std::string& AIP, uint16_t APort, TIdIPVersion AIPVersion) {
  FIP = AIP;
  FPort = APort;
  FIPVersion = AIPVersion;
}

void TIdSocketHandle::Reset(bool AResetLocal) {
  // A socket still open here would be lost: close it rather than leak it.
  CloseSocket();
  SetHandle(Id_INVALID_SOCKET);
  if (AResetLocal) {
    FIP.clear();
    FPort = 0;
  }
  FPeerIP.clear();
  FPeerPort = 0;
  FIPVersion = TIdIPVersion::Id_IPv4;
}

void TIdSocketHandle::UpdateBindingLocal() {
  TIdIPVersion version;
  GStack->GetSocketName(FHandle, FIP, FPort, version);
}

void TIdSocketHandle::UpdateBindingPeer() {
  TIdIPVersion version;
  GStack->GetPeerName(FHandle, FPeerIP, FPeerPort, version);
}

void TIdSocketHandle::SetSockOpt(int ALevel, int AOptName, int AOptVal) {
  GStack->SetSocketOption(FHandle, ALevel, AOptName, AOptVal);
}

int TIdSocketHandle::GetSockOpt(int ALevel, int AOptName) {
  return GStack->GetSocketOption(FHandle, ALevel, AOptName);
}

void TIdSocketHandle::SetKeepAliveValues(bool AEnabled, int ATimeMS, int AInterval) {
  GStack->SetKeepAliveValues(FHandle, AEnabled, ATimeMS, AInterval);
}

void TIdSocketHandle::SetTTL(int AValue) {
  if (FIPVersion == TIdIPVersion::Id_IPv4)
    SetSockOpt(IPPROTO_IP, IP_TTL, AValue);
  else
    SetSockOpt(IPPROTO_IPV6, IPV6_UNICAST_HOPS, AValue);
}

void TIdSocketHandle::SetIPVersion(TIdIPVersion AValue) {
  if (AValue == FIPVersion) return;
  if (FHandleAllocated)
    throw EIdCannotSetIPVersionWhenConnected("Cannot change IPVersion when connected");
  FIPVersion = AValue;
}

void TIdSocketHandle::SetUseNagle(bool AValue) {
  if (AValue == FUseNagle) return;
  FUseNagle = AValue;
  if (FHandleAllocated && FSocketType == Id_SOCK_STREAM)
    SetSockOpt(IPPROTO_TCP, TCP_NODELAY, AValue ? 0 : 1);
}

void TIdSocketHandle::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishField("BroadcastEnabled", FBroadcastEnabled));
  aList.push_back(PublishInteger(
      "ClientPortMin", [this] { return FClientPortMin; },
      [this](int64_t v) { FClientPortMin = static_cast<uint16_t>(v); }));
  aList.push_back(PublishInteger(
      "ClientPortMax", [this] { return FClientPortMax; },
      [this](int64_t v) { FClientPortMax = static_cast<uint16_t>(v); }));
  aList.push_back(PublishField("IP", FIP));
  aList.push_back(PublishField("LingerState", FLingerState));
  aList.push_back(PublishInteger(
      "Port", [this] { return FPort; }, [this](int64_t v) { FPort = static_cast<uint16_t>(v); }));
  aList.push_back(PublishBoolean(
      "UseNagle", [this] { return FUseNagle; }, [this](bool v) { SetUseNagle(v); }));
}
