#include "tls/kfxSSL_SChannel_Id.h"

#include <sys/socket.h>
#include <sys/time.h>

#include "transport/IdStack.h"

TkfxIdSSLIOHandlerSocketSChannel::TkfxIdSSLIOHandlerSocketSChannel(TComponent* aOwner)
    : TIdSSLIOHandlerSocketBase(aOwner), FCertificate(std::make_unique<TkfxSChannelCertificate>()) {}

TkfxIdSSLIOHandlerSocketSChannel::~TkfxIdSSLIOHandlerSocketSChannel() {
  // The session goes before the socket it works on.
  SChannelClose(FSSL.exchange(nullptr));
}

TStringList& TkfxIdSSLIOHandlerSocketSChannel::ALPNProtocols() {
  if (!FALPNProtocols) FALPNProtocols = std::make_unique<TStringList>();
  return *FALPNProtocols;
}

void TkfxIdSSLIOHandlerSocketSChannel::SetOnCredentials(TCredentialsEvent aValue) {
  FOnCredentials = std::move(aValue);
  if (FSSL) InstallCredentialsCallBack();
}

void TkfxIdSSLIOHandlerSocketSChannel::InstallCredentialsCallBack() {
  if (FOnCredentials) {
    SChannelSetCredentialsCallBack(
        FSSL,
        [](TSSLInfo*, void* aUserData) {
          auto* handler = static_cast<TkfxIdSSLIOHandlerSocketSChannel*>(aUserData);
          if (handler->FOnCredentials) handler->FOnCredentials(handler);
        },
        this);
  } else {
    SChannelSetCredentialsCallBack(FSSL, nullptr, nullptr);
  }
}

void TkfxIdSSLIOHandlerSocketSChannel::ConnectClient() {
  // Resolve, connect and negotiate any proxy tunnel in plain.
  const bool passThrough = fPassThrough;
  fPassThrough = true;
  try {
    TIdSSLIOHandlerSocketBase::ConnectClient();
  } catch (...) {
    fPassThrough = passThrough;
    throw;
  }
  fPassThrough = passThrough;
  StartSSL();
}

void TkfxIdSSLIOHandlerSocketSChannel::StartSSL() {
  if (!fPassThrough) OpenSession();
}

void TkfxIdSSLIOHandlerSocketSChannel::OpenSession() {
  // The name sent and checked is the target's, also through a proxy tunnel.
  std::string serverName = FURIToCheck.empty() ? std::string() : IdURIHost(FURIToCheck);
  if (serverName.empty()) serverName = Host();
  // The handshake and every later receive are bounded by the read time-out
  // (30 s when the handler waits without limit); an expired receive is a read
  // time-out, not the end of the connection.
  const int timeout = ReadTimeout() < 1 ? 30000 : ReadTimeout();
  timeval value{timeout / 1000, (timeout % 1000) * 1000};
  const int socket = Binding()->Handle();
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
  FSSL = SChannelOpen(socket, FCertificate.get(), serverName, FCipherList, &ALPNProtocols(), FTLSVersion);
  if (!FSSL) {
    throw SChannelError("SChannel initialization error: " + SChannelLastError(), SChannelLastCertStatus());
  }
  if (FOnCredentials) InstallCredentialsCallBack();
}

void TkfxIdSSLIOHandlerSocketSChannel::SetPassThrough(bool AValue) {
  if (fPassThrough != AValue && !AValue && BindingAllocated() && !FSSL) OpenSession();
  TIdSSLIOHandlerSocketBase::SetPassThrough(AValue);
}

void TkfxIdSSLIOHandlerSocketSChannel::Close() {
  TSSLInfo* session = nullptr;
  FSessionUsers.Detach(
      [&] { return (session = FSSL.exchange(nullptr)) != nullptr; },
      // A read blocked on the socket ends at once; a write ends with its
      // send (bounded by the socket's send time-out).
      [&] {
        if (BindingAllocated()) ::shutdown(Binding()->Handle(), SHUT_RD);
      });
  if (session) SChannelClose(session);
  TIdSSLIOHandlerSocketBase::Close();
}

bool TkfxIdSSLIOHandlerSocketSChannel::Connected() {
  if (fPassThrough) return TIdSSLIOHandlerSocketBase::Connected();
  return FSSL != nullptr;
}

bool TkfxIdSSLIOHandlerSocketSChannel::Readable(int AMSec) {
  if (!fPassThrough) {
    const TkfxTLSSessionUse use(FSessionUsers, [this] { return FSSL.load() != nullptr; });
    if (use.Entered()) {
      TSSLInfo* ssl = FSSL.load();
      if (SChannelPending(ssl)) return true;
      // What the socket holds is taken without waiting, so no poll comes
      // before a read that finds data, nor before one that finds none.
      const int taken = SChannelReadAvailable(ssl);
      if (taken < 0 || SChannelPending(ssl)) return true;  // a record, or the end to report
      if (taken == 0 && AMSec == 0) return false;
    }
  }
  return TIdSSLIOHandlerSocketBase::Readable(AMSec);
}

std::unique_ptr<TIdSSLIOHandlerSocketBase> TkfxIdSSLIOHandlerSocketSChannel::Clone() {
  return std::make_unique<TkfxIdSSLIOHandlerSocketSChannel>();
}

std::string TkfxIdSSLIOHandlerSocketSChannel::GetALPNProtocol() { return SChannelGetALPN(FSSL); }

TkfxSChannelConnectionInfo* TkfxIdSSLIOHandlerSocketSChannel::GetInfo() {
  return SChannelGetConnectionInfo(FSSL);
}

int TkfxIdSSLIOHandlerSocketSChannel::RecvEnc(TIdBytes& VBuffer) {
  const TkfxTLSSessionUse use(FSessionUsers, [this] { return FSSL.load() != nullptr; });
  if (!use.Entered()) return 0;
  TSSLInfo* ssl = FSSL.load();
  const int length = static_cast<int>(VBuffer.size());
  int total = 0;
  for (;;) {
    const int result = SChannelRead(ssl, VBuffer.data() + total, length - total);
    if (result > 0) {
      total += result;
      // One read returns one record: the records already buffered are
      // taken as well, without waiting for the socket.
      if (total < length && SChannelPending(ssl) && !ssl->ReadEnded) continue;
      return total;
    }
    // What was read goes first; the next read reports the end again.
    if (total > 0) return total;
    // The peer's close_notify closes the connection like a closed socket.
    if (result < 0 && ssl->ReadEnded && ssl->LastReadStatus == SEC_I_CONTEXT_EXPIRED) return 0;
    return result;
  }
}

int TkfxIdSSLIOHandlerSocketSChannel::SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) {
  const TkfxTLSSessionUse use(FSessionUsers, [this] { return FSSL.load() != nullptr; });
  if (!use.Entered()) return -1;
  TSSLInfo* ssl = FSSL.load();
  int sent = 0;
  while (sent < ALength) {
    const int result = SChannelWrite(ssl, ABuffer.data() + AOffset + sent, ALength - sent);
    if (result <= 0) return result;
    sent += result;
  }
  return sent;
}

int TkfxIdSSLIOHandlerSocketSChannel::CheckForError(int ALastResult) {
  const TkfxTLSSessionUse use(FSessionUsers, [this] { return FSSL.load() != nullptr; });
  if (!fPassThrough && use.Entered() && ALastResult < 0) {
    // The stack learns the session's error: a socket error as the socket
    // gave it (10060 for an expired time-out), any failure of the TLS layer
    // as an aborted connection, which ends it once.
    const uint32_t error = FSSL.load()->Error;
    const bool socketError = error >= 10000 && error < 12000;
    GStack->WSSetLastError(socketError ? static_cast<int>(error) : Id_WSAECONNABORTED);
    return TIdSSLIOHandlerSocketBase::CheckForError(-1);
  }
  return TIdSSLIOHandlerSocketBase::CheckForError(ALastResult);
}
