// TkfxIdSSLIOHandlerSocketSChannel: the SChannel session under the transport's
// I/O handler. While PassThrough is true the handler moves plain bytes; when
// it is false the bytes pass through the session, which the handler opens on
// the connected socket (after any proxy tunnel) and owns.
//
// One thread drives the reading side; writes may come from another thread
// (the session keeps the two sides' buffers apart).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "rtl/StringList.h"
#include "tls/IdSSL.h"
#include "tls/kfxSSL_SChannel.h"

// A session could not be started. CertStatus is the chain policy's status
// when a certificate check ran (else 0).
class SChannelError : public Exception {
 public:
  SChannelError(const std::string& AMsg, uint32_t AStatus) : Exception(AMsg), CertStatus(AStatus) {}
  uint32_t CertStatus;
};

using TCredentialsEvent = std::function<void(TObject* Sender)>;

class TkfxIdSSLIOHandlerSocketSChannel : public TIdSSLIOHandlerSocketBase {
 public:
  explicit TkfxIdSSLIOHandlerSocketSChannel(TComponent* aOwner = nullptr);
  ~TkfxIdSSLIOHandlerSocketSChannel() override;

  // Fired when the session searches the "MY" store for a client certificate.
  const TCredentialsEvent& OnCredentials() const { return FOnCredentials; }
  void SetOnCredentials(TCredentialsEvent aValue);
  // Protocols offered by ALPN; created on first access.
  TStringList& ALPNProtocols();
  void SetALPNProtocols(const TStringList& aValue) { ALPNProtocols().Assign(&aValue); }
  TkfxSChannelCertificate& Certificate() { return *FCertificate; }
  void SetCertificate(const TkfxSChannelCertificate& aValue) { FCertificate->Assign(&aValue); }
  // ':'-separated algorithm names.
  const std::string& CipherList() const { return FCipherList; }
  void SetCipherList(const std::string& aValue) { FCipherList = aValue; }
  TwsTLSVersions TLSVersion() const { return FTLSVersion; }
  void SetTLSVersion(TwsTLSVersions aValue) { FTLSVersion = aValue; }

  void StartSSL() override;
  void SetPassThrough(bool AValue) override;
  void Close() override;
  bool Connected() override;
  // With a session: true at once when a read would not wait for the socket
  // (decrypted octets, a whole record or the session's end are buffered);
  // otherwise the socket is polled for AMSec.
  bool Readable(int AMSec = IdTimeoutDefault) override;
  std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() override;
  std::string GetALPNProtocol() override;
  TkfxSChannelConnectionInfo* GetInfo();
  // The open session, nullptr when none.
  TSSLInfo* SSL() const { return FSSL.load(); }

 protected:
  void ConnectClient() override;
  int RecvEnc(TIdBytes& VBuffer) override;
  int SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) override;
  int CheckForError(int ALastResult) override;
  // Opens the session on the connected socket; SChannelError on failure.
  virtual void OpenSession();

 private:
  void InstallCredentialsCallBack();

  std::unique_ptr<TStringList> FALPNProtocols;
  std::atomic<TSSLInfo*> FSSL{nullptr};  // owned; released by Close
  TkfxTLSSessionUsers FSessionUsers;
  TCredentialsEvent FOnCredentials;
  std::unique_ptr<TkfxSChannelCertificate> FCertificate;
  std::string FCipherList;
  TwsTLSVersions FTLSVersion = TwsTLSVersions::tls1_0;
};
