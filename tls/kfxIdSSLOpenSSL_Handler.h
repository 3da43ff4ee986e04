// TIdSSLIOHandlerSocketOpenSSL: the client I/O handler that runs TLS through
// OpenSSL on the stack's connected socket (after any proxy tunnel).
//
// One thread at a time drives a handler: the TCP client's read thread reads,
// writes, handshakes and closes it; the OpenSSL connection is never shared.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "rtl/StringList.h"
#include "tls/IdSSL.h"
#include "tls/kfxIdSSLOpenSSL.h"

class TIdSSLIOHandlerSocketOpenSSL;

using TCallbackEvent = std::function<void(const std::string& AMsg)>;
using TCallbackExEvent = std::function<void(TObject* ASender, const ssl_st* AsslSocket, int AWhere,
                                            int Aret, const std::string& AType, const std::string& AMsg)>;
using TPasswordEvent = std::function<void(std::string& Password)>;
using TPasswordEventEx = std::function<void(TObject* ASender, std::string& VPassword, bool AIsWrite)>;
using TVerifyPeerEvent = std::function<bool(TIdX509* Certificate, bool AOk, int ADepth, int AError)>;
using TIOHandlerNotify = std::function<void(TIdSSLIOHandlerSocketOpenSSL* ASender)>;

class TIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketBase, public IIdSSLOpenSSLCallbacks {
 public:
  explicit TIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner = nullptr);
  ~TIdSSLIOHandlerSocketOpenSSL() override;

  void StartSSL() override;
  void SetPassThrough(bool AValue) override;
  void Open() override;
  void Close() override;
  // Without PassThrough: true when decrypted application data is waiting, or
  // when the connection ended (the next read reports how). Records without
  // application data (session tickets, key updates) are consumed while
  // waiting, so a read after a true answer does not block on them.
  bool Readable(int AMSec = IdTimeoutDefault) override;
  std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() override;
  std::string GetALPNProtocol() override;
  // SSL_get_version of the TLS connection ("TLSv1.3"), empty without one.
  std::string GetSSLVersion();

  TIdSSLOptions& SSLOptions() { return *fxSSLOptions; }
  void SetSSLOptions(const TIdSSLOptions& AValue) { fxSSLOptions->Assign(&AValue); }
  TIdSSLContext* SSLContext() const { return fSSLContext; }
  TIdSSLSocket* SSLSocket() const { return fSSLSocket.get(); }
  TStringList& ALPNProtocols();
  void SetALPNProtocols(const TStringList& AValue) { ALPNProtocols().Assign(&AValue); }

  // The password: OnGetPasswordEx first, then OnGetPassword while still empty.
  std::string GetPassword(bool IsWrite) override;

  TCallbackEvent OnStatusInfo;
  TCallbackExEvent OnStatusInfoEx;
  TPasswordEvent OnGetPassword;
  TPasswordEventEx OnGetPasswordEx;
  TVerifyPeerEvent OnVerifyPeer;
  TIOHandlerNotify OnBeforeConnect;

 protected:
  void ConnectClient() override;
  int RecvEnc(TIdBytes& VBuffer) override;
  int SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) override;
  int CheckForError(int ALastResult) override;
  [[noreturn]] void RaiseError(int AError) override;

  virtual void DoBeforeConnect(TIdSSLIOHandlerSocketOpenSSL* ASender);
  virtual void DoStatusInfo(const std::string& AMsg);
  virtual void DoGetPassword(std::string& Password);
  virtual void DoGetPasswordEx(std::string& VPassword, bool AIsWrite);
  // OnVerifyPeer's answer; the library's verdict AOk when none is assigned.
  virtual bool DoVerifyPeer(TIdX509* Certificate, bool AOk, int ADepth, int AError);
  virtual void OpenEncodedConnection();

  // The callbacks of the OpenSSL layer.
  void StatusInfo(const std::string& AMsg) override { DoStatusInfo(AMsg); }
  void StatusInfoEx(const ssl_st* AsslSocket, int AWhere, int Aret, const std::string& AType,
                    const std::string& AMsg) override;
  bool VerifyPeer(TIdX509* Certificate, bool AOk, int ADepth, int AError) override {
    return DoVerifyPeer(Certificate, AOk, ADepth, AError);
  }
  TIdSSLSocket* ParentSSLSocket() override { return fSSLSocket.get(); }

  // Creates the context from the options unless the handler has one.
  void Init();
  void FreeContext();
  // SO_RCVTIMEO and SO_SNDTIMEO of the socket, in milliseconds (0: none);
  // also the longest wait of a read or write inside the TLS layer.
  void SetSocketTimeouts(int AMSec);
  // Waits until the socket is ready for aEvents (poll); false when the
  // socket time-out passed first, which the next error check reports.
  bool WaitForSocket(short aEvents);

  TIdSSLContext* fSSLContext = nullptr;  // owned when its Parent is this handler
  std::unique_ptr<TIdSSLContext> FOwnedContext;
  std::unique_ptr<TIdSSLOptions> fxSSLOptions;
  std::unique_ptr<TIdSSLSocket> fSSLSocket;
  // Reads and writes on two threads keep fSSLSocket alive until Close has
  // waited for them.
  TkfxTLSSessionUsers FSessionUsers;
  bool fSessionClosing = false;  // guarded by FSessionUsers' lock
  std::unique_ptr<TStringList> FALPNProtocols;
  bool fSSLLayerClosed = true;
  // The peer's close was seen while waiting; the next read returns 0.
  bool fPeerClosed = false;
  // While the TLS layer runs the socket does not block: waits are polls
  // bounded by fSocketTimeout, and one read takes all the socket holds.
  int fSocketTimeout = 0;
  // A read or write gave up after fSocketTimeout: CheckForError reports it
  // as the socket's time-out.
  bool fTimedOut = false;
};
