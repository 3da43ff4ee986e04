#include "tls/kfxIdSSLOpenSSL_Handler.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "tls/kfxIdSSLOpenSSLHeaders_Entries.h"
#include "transport/IdStack.h"
#include "transport/IdStackLinux.h"

using namespace IdOpenSSL;

namespace {

// Keeps the socket stack alive while this code uses it.
struct TStackUse {
  TStackUse() { TIdStack::IncUsage(); }
  ~TStackUse() { TIdStack::DecUsage(); }
};

// SSL_ERROR_SYSCALL with a return code of -1 raises the stack's socket error.
[[noreturn]] void RaiseStackSocketError(int aErrno) {
  const TStackUse use;
  GStack->RaiseSocketError(TIdStackLinux::TranslateErrno(aErrno));
}

const bool kRaiserInstalled = [] {
  SetOpenSSLSocketErrorRaiser(RaiseStackSocketError);
  return true;
}();

void SetSocketBlocking(int aFd, bool aBlocking) {
  const int flags = fcntl(aFd, F_GETFL);
  if (flags < 0) return;
  const int wanted = aBlocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  if (wanted != flags) fcntl(aFd, F_SETFL, wanted);
}

}  // namespace

TIdSSLIOHandlerSocketOpenSSL::TIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner)
    : TIdSSLIOHandlerSocketBase(AOwner), fxSSLOptions(std::make_unique<TIdSSLOptions>()) {
  (void)kRaiserInstalled;
}

TIdSSLIOHandlerSocketOpenSSL::~TIdSSLIOHandlerSocketOpenSSL() {
  // The TLS connection says goodbye while the socket is still open; the base
  // classes close the socket afterwards.
  fSSLSocket.reset();
  FreeContext();
}

TStringList& TIdSSLIOHandlerSocketOpenSSL::ALPNProtocols() {
  if (!FALPNProtocols) FALPNProtocols = std::make_unique<TStringList>();
  return *FALPNProtocols;
}

void TIdSSLIOHandlerSocketOpenSSL::FreeContext() {
  // Only a context this handler made is owned (FOwnedContext); others are forgotten.
  FOwnedContext.reset();
  fSSLContext = nullptr;
}

void TIdSSLIOHandlerSocketOpenSSL::Init() {
  if (fSSLContext) return;
  auto context = std::make_unique<TIdSSLContext>();  // raises when OpenSSL cannot start
  context->Parent = this;
  const TIdSSLOptions& options = *fxSSLOptions;
  context->RootCertFile = options.RootCertFile;
  context->CertFile = options.CertFile;
  context->KeyFile = options.KeyFile;
  context->DHParamsFile = options.DHParamsFile;
  context->VerifyDepth = options.VerifyDepth;
  context->VerifyMode = options.VerifyMode;
  context->VerifyDirs = options.VerifyDirs;
  context->CipherList = options.CipherList;
  context->Method = options.Method();
  context->SSLVersions = options.SSLVersions();
  context->Mode = options.Mode;
  context->VerifyOn = static_cast<bool>(OnVerifyPeer);
  context->StatusInfoOn = OnStatusInfo || OnStatusInfoEx;
  if (FALPNProtocols) context->ALPNProtocols().Assign(FALPNProtocols.get());
  context->InitContext(TIdSSLCtxMode::sslCtxClient);
  FOwnedContext = std::move(context);
  fSSLContext = FOwnedContext.get();
}

void TIdSSLIOHandlerSocketOpenSSL::ConnectClient() {
  try {
    Init();
  } catch (const EIdOSSLCouldNotLoadSSLLibrary&) {
    // Plain connections keep working without OpenSSL.
    if (!fPassThrough) throw;
  }
  const bool passThrough = fPassThrough;
  fPassThrough = true;
  try {
    TIdSSLIOHandlerSocketBase::ConnectClient();
  } catch (...) {
    fPassThrough = passThrough;
    throw;
  }
  fPassThrough = passThrough;
  DoBeforeConnect(this);
  StartSSL();
}

void TIdSSLIOHandlerSocketOpenSSL::StartSSL() {
  if (!fPassThrough) OpenEncodedConnection();
}

void TIdSSLIOHandlerSocketOpenSSL::SetSocketTimeouts(int AMSec) {
  fSocketTimeout = AMSec;
  if (!BindingAllocated()) return;
  timeval value{};
  value.tv_sec = AMSec / 1000;
  value.tv_usec = (AMSec % 1000) * 1000;
  const int fd = Binding()->Handle();
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

void TIdSSLIOHandlerSocketOpenSSL::OpenEncodedConnection() {
  if (!fSSLContext) throw EIdOSSLCouldNotLoadSSLLibrary("Could not load SSL library.");
  if (!fSSLSocket) fSSLSocket = std::make_unique<TIdSSLSocket>(this);
  fSSLSocket->fSSLContext = fSSLContext;
  SetSocketTimeouts(ReadTimeout() < 1 ? 30000 : ReadTimeout());
  const TIdSSLMode mode = fxSSLOptions->Mode;
  const bool client = mode == TIdSSLMode::sslmClient ||
                      (mode != TIdSSLMode::sslmServer && !fIsPeer);
  if (client) {
    // The name checked and sent is the target's, also through a proxy tunnel.
    std::string host = FURIToCheck.empty() ? std::string() : IdURIHost(FURIToCheck);
    if (host.empty()) host = Host();
    fSSLSocket->HostName = host;
    fSSLSocket->Connect(Binding()->Handle());
  } else {
    fSSLSocket->Accept(Binding()->Handle());
  }
  // The handshake is done; from here on the socket does not block. A read
  // takes in one system call whatever the socket holds (read-ahead), and
  // every wait is a poll bounded by the socket time-out.
  if (SSL_ctrl) SSL_ctrl(fSSLSocket->SSLHandle(), SSL_CTRL_SET_READ_AHEAD, 1, nullptr);
  SetSocketBlocking(Binding()->Handle(), false);
  fTimedOut = false;
  fSSLLayerClosed = false;
  fPeerClosed = false;
  fPassThrough = false;
}

void TIdSSLIOHandlerSocketOpenSSL::SetPassThrough(bool AValue) {
  if (fPassThrough != AValue) {
    if (AValue) {
      if (fSSLSocket && fSSLSocket->SSLHandle()) {
        // Plain reads and writes block again; the TLS goodbye waits for the
        // peer's, so its close_notify is not read as plain data.
        if (BindingAllocated()) SetSocketBlocking(Binding()->Handle(), true);
        fSSLSocket->Shutdown();
        SetSocketTimeouts(0);
      }
    } else if (BindingAllocated()) {
      if (!fSSLContext) throw EIdOSSLCouldNotLoadSSLLibrary("Could not load SSL library.");
      OpenEncodedConnection();
    }
  }
  TIdSSLIOHandlerSocketBase::SetPassThrough(AValue);
}

void TIdSSLIOHandlerSocketOpenSSL::Open() {
  fSSLLayerClosed = true;
  FSessionUsers.Locked([this] { fSessionClosing = false; });
  TIdSSLIOHandlerSocketBase::Open();
}

void TIdSSLIOHandlerSocketOpenSSL::Close() {
  FSessionUsers.Detach(
      [this] {
        fSessionClosing = true;
        return fSSLSocket != nullptr;
      },
      // A read blocked on the socket ends at once; a write ends with its
      // send (bounded by the socket's send time-out).
      [this] {
        if (BindingAllocated()) ::shutdown(Binding()->Handle(), SHUT_RD);
      });
  fSSLSocket.reset();
  fPeerClosed = false;
  FreeContext();
  fSSLLayerClosed = true;
  TIdSSLIOHandlerSocketBase::Close();
}

bool TIdSSLIOHandlerSocketOpenSSL::Readable(int AMSec) {
  if (fPassThrough) return TIdSSLIOHandlerSocketBase::Readable(AMSec);
  if (!fSSLSocket) return false;
  PSSL ssl = fSSLSocket->SSLHandle();
  if (fPeerClosed || (ssl && SSL_pending && SSL_pending(ssl) > 0)) return true;
  if (!ssl || !SSL_peek) return TIdSSLIOHandlerSocketBase::Readable(AMSec);
  // Bytes on the socket need not be application data: the library takes what
  // is there (the socket does not block), and the wait goes on until data,
  // the end of the connection, or the time-out. What the library or the
  // socket already holds is looked at first, so no poll precedes a read
  // that finds data.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(AMSec, 0));
  for (;;) {
    if (ERR_clear_error) ERR_clear_error();
    uint8_t probe;
    const int result = SSL_peek(ssl, &probe, 1);
    if (result > 0) return true;
    const int error = SSL_get_error(ssl, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      const unsigned long queued = ERR_peek_error ? ERR_peek_error() : 0;
      fPeerClosed = error == SSL_ERROR_ZERO_RETURN ||
                    (error == SSL_ERROR_SSL &&
                     ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
                    (error == SSL_ERROR_SYSCALL && result == 0 && queued == 0);
      return true;  // the read reports the end or the error
    }
    int wait = AMSec;
    if (AMSec >= 0) {
      wait = static_cast<int>(std::max<int64_t>(
          0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
      if (wait == 0) return false;
    }
    if (!TIdSSLIOHandlerSocketBase::Readable(wait)) return false;
  }
}

bool TIdSSLIOHandlerSocketOpenSSL::WaitForSocket(short aEvents) {
  if (!BindingAllocated()) return true;  // the call that follows reports it
  pollfd item{Binding()->Handle(), aEvents, 0};
  const int result = ::poll(&item, 1, fSocketTimeout > 0 ? fSocketTimeout : -1);
  if (result != 0) return true;  // ready, or an error the call reports
  fTimedOut = true;
  return false;
}

int TIdSSLIOHandlerSocketOpenSSL::RecvEnc(TIdBytes& VBuffer) {
  const TkfxTLSSessionUse use(FSessionUsers, [this] { return !fSessionClosing; });
  if (!use.Entered() || !fSSLSocket || !fSSLSocket->SSLHandle()) return -1;
  if (fPeerClosed) {
    if (ERR_clear_error) ERR_clear_error();
    return 0;
  }
  const int length = static_cast<int>(VBuffer.size());
  PSSL ssl = fSSLSocket->SSLHandle();
  int total = 0;
  for (;;) {
    const int result = fSSLSocket->Recv(VBuffer.data() + total, length - total);
    if (result > 0) {
      total += result;
      // One read returns one record: the records the library already holds
      // are taken as well, without a system call.
      if (total < length && SSL_has_pending && SSL_has_pending(ssl)) continue;
      return total;
    }
    // The rest of a record is not there yet, or the end came: what was
    // read goes first, the next read finds the same state again.
    if (total > 0) return total;
    const int error = fSSLSocket->GetSSLError(result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (!WaitForSocket(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) return -1;
      continue;
    }
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    // A peer that closes without close-notify ends the stream as well; OpenSSL 3
    // reports it as an SSL error, older libraries as a system-call EOF.
    const unsigned long queued = ERR_peek_error ? ERR_peek_error() : 0;
    if ((error == SSL_ERROR_SSL && ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
        (error == SSL_ERROR_SYSCALL && result == 0 && queued == 0)) {
      if (ERR_clear_error) ERR_clear_error();
      return 0;
    }
    return result;
  }
}

int TIdSSLIOHandlerSocketOpenSSL::SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) {
  const TkfxTLSSessionUse use(FSessionUsers, [this] { return !fSessionClosing; });
  if (!use.Entered() || !fSSLSocket || !fSSLSocket->SSLHandle()) return -1;
  int sent = 0;
  while (sent < ALength) {
    const int result = fSSLSocket->Send(ABuffer.data() + AOffset + sent, ALength - sent);
    if (result > 0) {
      sent += result;
      continue;
    }
    const int error = fSSLSocket->GetSSLError(result);
    // The same call is repeated once the socket is ready, as the library asks.
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (!WaitForSocket(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) return -1;
      continue;
    }
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    return result;
  }
  return sent;
}

int TIdSSLIOHandlerSocketOpenSSL::CheckForError(int ALastResult) {
  const TkfxTLSSessionUse session(FSessionUsers, [this] { return !fSessionClosing; });
  if (fPassThrough || !session.Entered() || !fSSLSocket || !fSSLSocket->SSLHandle())
    return TIdSSLIOHandlerSocketBase::CheckForError(ALastResult);
  if (fTimedOut && ALastResult < 0) {
    fTimedOut = false;
    const TStackUse use;
    GStack->WSSetLastError(Id_WSAETIMEDOUT);
    return TIdSSLIOHandlerSocketBase::CheckForError(-1);
  }
  const int savedErrno = errno;
  const int error = fSSLSocket->GetSSLError(ALastResult);
  if (error == SSL_ERROR_NONE) return 0;
  if (error != SSL_ERROR_SYSCALL)
    EIdOpenSSLAPISSLError::RaiseExceptionCode<EIdOpenSSLAPISSLError>(error, ALastResult);
  // The system call's error in the stack's numbering, as the base check reads it.
  const TStackUse use;
  GStack->WSSetLastError(TIdStackLinux::TranslateErrno(savedErrno));
  return TIdSSLIOHandlerSocketBase::CheckForError(-1);
}

void TIdSSLIOHandlerSocketOpenSSL::RaiseError(int AError) {
  if (!fPassThrough && fSSLSocket && fSSLSocket->SSLHandle() && AError != Id_WSAECONNABORTED &&
      AError != Id_WSAECONNRESET && AError != Id_WSAESHUTDOWN)
    EIdOpenSSLAPISSLError::RaiseException<EIdOpenSSLAPISSLError>(fSSLSocket->SSLHandle(), AError);
  TIdSSLIOHandlerSocketBase::RaiseError(AError);
}

std::unique_ptr<TIdSSLIOHandlerSocketBase> TIdSSLIOHandlerSocketOpenSSL::Clone() {
  auto clone = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>(nullptr);
  clone->SSLOptions().Assign(fxSSLOptions.get());
  clone->OnStatusInfo = [this](const std::string& AMsg) { DoStatusInfo(AMsg); };
  clone->OnGetPassword = [this](std::string& Password) { DoGetPassword(Password); };
  clone->OnVerifyPeer = [this](TIdX509* Certificate, bool AOk, int ADepth, int AError) {
    return DoVerifyPeer(Certificate, AOk, ADepth, AError);
  };
  clone->OnGetPasswordEx = OnGetPasswordEx;
  clone->fSSLSocket = std::make_unique<TIdSSLSocket>(this);
  return clone;
}

std::string TIdSSLIOHandlerSocketOpenSSL::GetALPNProtocol() {
  return fSSLSocket ? fSSLSocket->GetALPNProtocol() : std::string();
}

std::string TIdSSLIOHandlerSocketOpenSSL::GetSSLVersion() {
  return fSSLSocket ? fSSLSocket->GetSSLVersion() : std::string();
}

std::string TIdSSLIOHandlerSocketOpenSSL::GetPassword(bool IsWrite) {
  std::string password;
  DoGetPasswordEx(password, IsWrite);
  if (password.empty()) DoGetPassword(password);
  return password;
}

void TIdSSLIOHandlerSocketOpenSSL::StatusInfoEx(const ssl_st* AsslSocket, int AWhere, int Aret,
                                                const std::string& AType, const std::string& AMsg) {
  if (OnStatusInfoEx) OnStatusInfoEx(this, AsslSocket, AWhere, Aret, AType, AMsg);
}

void TIdSSLIOHandlerSocketOpenSSL::DoBeforeConnect(TIdSSLIOHandlerSocketOpenSSL* ASender) {
  if (OnBeforeConnect) OnBeforeConnect(ASender);
}
void TIdSSLIOHandlerSocketOpenSSL::DoStatusInfo(const std::string& AMsg) {
  if (OnStatusInfo) OnStatusInfo(AMsg);
}
void TIdSSLIOHandlerSocketOpenSSL::DoGetPassword(std::string& Password) {
  if (OnGetPassword) OnGetPassword(Password);
}
void TIdSSLIOHandlerSocketOpenSSL::DoGetPasswordEx(std::string& VPassword, bool AIsWrite) {
  if (OnGetPasswordEx) OnGetPasswordEx(this, VPassword, AIsWrite);
}
bool TIdSSLIOHandlerSocketOpenSSL::DoVerifyPeer(TIdX509* Certificate, bool AOk, int ADepth,
                                                int AError) {
  return OnVerifyPeer ? OnVerifyPeer(Certificate, AOk, ADepth, AError) : AOk;
}
