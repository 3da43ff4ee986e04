#include "tcp/kfxTCP_Classes_Id.h"

#include <mutex>

#include "transport/IdIOHandlerSocket.h"

TkfxTCPConnection_Id::~TkfxTCPConnection_Id() { FTCPConnection = nullptr; }

bool TkfxTCPConnection_Id::Active() {
  return FTCPConnection && !Disconnected() && !MustDisconnect() && !Freed();
}

std::string TkfxTCPConnection_Id::IP() {
  std::lock_guard guard(*FCS);
  return FIP;
}

std::string TkfxTCPConnection_Id::LocalIP() {
  std::lock_guard guard(*FCS);
  return FLocalIP;
}

int TkfxTCPConnection_Id::LocalPort() {
  std::lock_guard guard(*FCS);
  return FLocalPort;
}

int TkfxTCPConnection_Id::Port() {
  std::lock_guard guard(*FCS);
  return FPort;
}

TwsIPVersion TkfxTCPConnection_Id::IPVersion() {
  std::lock_guard guard(*FCS);
  return FIPVersion;
}

void TkfxTCPConnection_Id::AttachTCPConnection(TIdTCPConnection* aConnection) {
  FTCPConnection = aConnection;
  if (!aConnection) return;
  try {
    TIdIOHandlerSocket* socket = aConnection->Socket();
    if (!socket || !socket->Binding()) return;
    TIdSocketHandle* binding = socket->Binding();
    std::lock_guard guard(*FCS);
    FIP = binding->PeerIP();
    FPort = binding->PeerPort();
    FLocalIP = binding->IP();
    FLocalPort = binding->Port();
    FIPVersion = binding->IPVersion() == TIdIPVersion::Id_IPv6 ? TwsIPVersion::ipV6
                                                                : TwsIPVersion::ipV4;
  } catch (...) {
    // Addresses are a convenience; a socket that cannot tell them still works.
  }
}

bool TkfxTCPConnection_Id::HasTCPConnection() const { return FTCPConnection != nullptr; }

void TkfxTCPConnection_Id::DoBeforeDisconnect() {
  if (OnBeforeDisconnect) OnBeforeDisconnect(this);
}

void TkfxTCPConnection_Id::ClearReadBuffer() {
  if (!FTCPConnection || !FTCPConnection->IOHandler()) return;
  TIdIOHandler* handler = FTCPConnection->IOHandler();
  if (!handler->InputBufferIsEmpty()) handler->InputBuffer()->Clear();
}

void TkfxTCPConnection_Id::DisconnectPeer() {
  DoBeforeDisconnect();
  if (!FTCPConnection || !FTCPConnection->IOHandler()) return;
  SetDisconnected(true);
  TIdIOHandler* handler = FTCPConnection->IOHandler();
  handler->WriteBufferClear();
  if (handler->InputBuffer()) handler->InputBuffer()->Clear();
  FTCPConnection->Disconnect(false);
}

void TkfxTCPConnection_Id::WriteBytes(const TIdBytes& aBytes) {
  if (!FTCPConnection || !FTCPConnection->IOHandler())
    throw EIdNotConnected("Not Connected");
  FTCPConnection->IOHandler()->Write(aBytes);
  FSendBytes.fetch_add(static_cast<int64_t>(aBytes.size()));
}

void TkfxTCPConnection_Id::WriteString(const std::string& aText) {
  if (!FTCPConnection || !FTCPConnection->IOHandler())
    throw EIdNotConnected("Not Connected");
  FTCPConnection->IOHandler()->WriteLn(aText);
}

void TkfxTCPConnection_Id::WriteBufferOpen() {
  if (FTCPConnection && FTCPConnection->IOHandler())
    FTCPConnection->IOHandler()->WriteBufferOpen(-1);
}

void TkfxTCPConnection_Id::WriteBufferFlush() {
  if (FTCPConnection && FTCPConnection->IOHandler())
    FTCPConnection->IOHandler()->WriteBufferFlush(-1);
}

void TkfxTCPConnection_Id::WriteBufferClose() {
  if (FTCPConnection && FTCPConnection->IOHandler())
    FTCPConnection->IOHandler()->WriteBufferClose();
}

void TkfxTCPConnection_Id::ReadBytes(TIdBytes& aBytes, int aCount) {
  if (!FTCPConnection || !FTCPConnection->IOHandler()) return;
  const size_t before = aBytes.size();
  FTCPConnection->IOHandler()->ReadBytes(aBytes, aCount, true);
  FRecBytes.fetch_add(static_cast<int64_t>(aBytes.size() - before));
}

int TkfxTCPConnection_Id::GetReadBufferSize() {
  if (!FTCPConnection || !FTCPConnection->IOHandler() ||
      !FTCPConnection->IOHandler()->InputBuffer())
    return 0;
  return FTCPConnection->IOHandler()->InputBuffer()->Size();
}
