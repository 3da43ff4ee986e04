// The SChannel TLS session: a TLS client on the platform's security package,
// working directly on a connected socket. It performs the handshake itself
// (send/recv), then encrypts and decrypts application data record by record;
// it negotiates ALPN, presents a client certificate when the server asks (from
// a PKCS#12 file, from a store by SHA-1 thumbprint, or from the "MY" store by
// the server's issuer list) and optionally verifies the server.
//
// The session raises no exceptions: operations return a Boolean, a count or
// nullptr, and a failure leaves its text and status in the last-error record.
// That record is kept per thread (a failure is read on the thread that saw
// it, right after the call) and also in the session that failed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/sspi/sspi.h"
#include "rtl/Classes.h"
#include "rtl/Streams.h"
#include "rtl/StringList.h"
#include "tls/kfxSocket_Classes_TLS.h"

enum class TSSLInitItem { iCredentials, iContext };
using TSSLInit = TSet<TSSLInitItem>;

// The certificate settings of one handler.
class TkfxSChannelCertificate : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;

  const std::string& CertFilePassword() const { return FCertFilePassword; }
  void SetCertFilePassword(const std::string& aValue) { FCertFilePassword = aValue; }
  // SHA-1 thumbprint of a certificate in a system store, 40 hexadecimal characters.
  const std::string& CertHash() const { return FCertHash; }
  void SetCertHash(const std::string& aValue) { FCertHash = aValue; }
  // A PKCS#12 (.pfx/.p12) file.
  const std::string& CertFile() const { return FCertFile; }
  void SetCertFile(const std::string& aValue) { FCertFile = aValue; }
  TkfxSChannelCertStoreName CertStoreName() const { return FCertStoreName; }
  void SetCertStoreName(TkfxSChannelCertStoreName aValue) { FCertStoreName = aValue; }
  TkfxSChannelCertStorePath CertStorePath() const { return FCertStorePath; }
  void SetCertStorePath(TkfxSChannelCertStorePath aValue) { FCertStorePath = aValue; }
  // Verify the server's chain and name after the handshake.
  bool VerifyCertificate() const { return FVerifyCertificate; }
  void SetVerifyCertificate(bool aValue) { FVerifyCertificate = aValue; }
  // A PEM (or DER) file of root certificates that the verification trusts
  // in addition to the system's trust store; empty: the system's alone.
  const std::string& RootCertFile() const { return FRootCertFile; }
  void SetRootCertFile(const std::string& aValue) { FRootCertFile = aValue; }

 private:
  std::string FCertFilePassword;
  std::string FCertHash;
  std::string FCertFile;
  TkfxSChannelCertStoreName FCertStoreName = TkfxSChannelCertStoreName::scsnMY;
  TkfxSChannelCertStorePath FCertStorePath = TkfxSChannelCertStorePath::scspStoreCurrentUser;
  bool FVerifyCertificate = false;
  std::string FRootCertFile;
};

// An owned memory blob read from a file or stream.
class TkfxSChannelStream : public TObject {
 public:
  ~TkfxSChannelStream() override;
  uint8_t* Data() const { return FData; }
  int32_t DataSize() const { return FDataSize; }
  // Raises the stream's errors (EFOpenError for a file that cannot be opened).
  void LoadFromFile(const std::string& aFileName);
  void LoadFromStream(TStream& aSource);
  // Frees the previous block first; 0 leaves Data nullptr. The old contents are wiped.
  void SetSize(int32_t aSize);

 private:
  uint8_t* FData = nullptr;
  int32_t FDataSize = 0;
};

// What was negotiated.
class TkfxSChannelConnectionInfo : public TObject {
 public:
  uint32_t CiperStrength() const { return FCiperStrength; }
  const std::string& Cipher() const { return FCipher; }
  const std::string& Exchange() const { return FExchange; }
  uint32_t ExchangeStrength() const { return FExchangeStrength; }
  const std::string& Hash() const { return FHash; }
  uint32_t HashStrength() const { return FHashStrength; }
  TwsTLSVersions Protocol() const { return FProtocol; }
  ALG_ID CipherId() const { return FCipherId; }
  ALG_ID HashId() const { return FHashId; }
  ALG_ID ExchangeId() const { return FExchangeId; }

  // From a protocol bit: 0x80 tls1_0, 0x200 tls1_1, 0x800 tls1_2, 0x2000 tls1_3.
  virtual void SetProtocol(uint32_t aProtocol);
  // Setting an id also sets the name from the algorithm table (empty when absent).
  virtual void SetCipherId(ALG_ID aId);
  virtual void SetHashId(ALG_ID aId);
  virtual void SetExchangeId(ALG_ID aId);

  uint32_t FCiperStrength = 0;
  uint32_t FExchangeStrength = 0;
  uint32_t FHashStrength = 0;

 private:
  std::string FCipher;
  std::string FExchange;
  std::string FHash;
  TwsTLSVersions FProtocol = TwsTLSVersions::tlsUndefined;
  ALG_ID FCipherId = 0;
  ALG_ID FHashId = 0;
  ALG_ID FExchangeId = 0;
};

// The algorithm-name table: names and identifiers, in table order.
extern const std::vector<std::pair<std::string, ALG_ID>> SChannelAlgorithmNames;
// The name of an identifier (first row wins), empty when absent.
std::string SChannelAlgorithmName(ALG_ID aId);
// The identifier of a name (exact, case-sensitive), 0 when absent.
ALG_ID GetCipherId(const std::string& aCipher);

// The ALPN offer as a SECBUFFER_APPLICATION_PROTOCOLS block, sized to its
// list; empty names are skipped. Returns false (and no block) for a name
// longer than 255 octets. An empty list gives an empty block.
bool SChannelALPNBlock(const TStringList* aProtocols, std::vector<uint8_t>& aBlock);

struct TSSLInfo;
using TCredentialsCallBack = std::function<void(TSSLInfo* SSL, void* UserData)>;

// The loaded security interface: the package's function table and the
// current user's "MY" store. A session keeps the one it started with.
struct TSChannelBinding;

// One session, owned by the handle SChannelOpen returns.
struct TSSLInfo {
  TSSLInfo();
  ~TSSLInfo();
  TSSLInfo(const TSSLInfo&) = delete;
  TSSLInfo& operator=(const TSSLInfo&) = delete;

  TSSLInit Init;
  // Last socket error or last status of EncryptMessage, DecryptMessage or the ALPN query.
  std::atomic<uint32_t> Error{0};
  TCredentialsCallBack CredentialsCallBack;
  void* UserData = nullptr;
  int Socket = -1;
  std::string Servername;
  SCHANNEL_CRED SChannel{};
  CredHandle Credentials{};
  CtxtHandle Context{};
  std::vector<uint8_t> RecvBuffer;
  int32_t RecvCount = 0;
  std::vector<uint8_t> DataBuffer;
  int32_t DataCount = 0;
  int32_t DataStart = 0;
  SecPkgContext_StreamSizes BuffSizes{};
  std::vector<uint8_t> SendBuffer;
  TwsTLSVersions Version = TwsTLSVersions::tlsUndefined;
  const TStringList* ALPNProtocols = nullptr;
  SecPkgContext_ApplicationProtocol alpn_result{};
  bool CertVerify = false;
  std::string CertHash;
  std::string CertFile;
  std::string CertFilePassword;
  TkfxSChannelCertStorePath CertStorePath = TkfxSChannelCertStorePath::scspStoreCurrentUser;
  TkfxSChannelCertStoreName CertStoreName = TkfxSChannelCertStoreName::scsnMY;
  std::string RootCertFile;  // trusted besides the system store (DoVerifyCertificate)
  std::string CipherList;
  std::unique_ptr<TkfxSChannelConnectionInfo> ConnectionInfo;

  // The reading side's end: once the peer closed, a record failed or the
  // socket failed, every later read returns ReadResult again without
  // touching the socket or the package.
  bool ReadEnded = false;
  int ReadResult = 0;
  // The end or failure ReadAvailable met (HeldRead <= 0 with HeldErrno),
  // reported by the next Read; 1: none.
  int HeldRead = 1;
  int HeldErrno = 0;
  std::string ReadEndText;
  uint32_t ReadEndCode = 0;
  SECURITY_STATUS LastReadStatus = SEC_E_OK;
  // This session's own last failure (also in the thread's record); the
  // reading and the writing side both set it, under ErrorLock.
  std::mutex ErrorLock;
  std::string LastError;
  uint32_t LastErrorCode = 0;
  uint32_t LastCertStatus = 0;

  std::shared_ptr<TSChannelBinding> Binding;
  std::vector<ALG_ID> SupportedAlgs;

  void Clean();
  ALG_ID GetCipherId(const std::string& aCipher) const { return ::GetCipherId(aCipher); }
  int Read();
  // Takes what the socket holds without waiting: the octets added (> 0), 0
  // when there is nothing, < 0 when the socket ended or failed (held for the
  // next Read, which reports it without touching the socket).
  int ReadAvailable();
  int ReadLoop();
  bool InitBuffer();
  bool DoGetCertificateFromChainStore();
  bool DoGetCertificate();
  bool DoImportCertPFX(const std::string& aFileName, const std::string& aPassword);
  bool DoVerifyCertificate();
  // The number of decrypted octets waiting (reading and decrypting as
  // needed); 0 when the peer closed, negative on failure.
  int Readable();
  // Whether decrypted octets or a whole record are already buffered, so that
  // a read returns without waiting for the socket.
  bool Pending() const;
  int Decrypt(void* Data, int Size);
  int Encrypt(const void* Data, int Size);
  std::string GetALPN();
  TkfxSChannelConnectionInfo* GetConnectionInfo();

  int SendData(const uint8_t* aData, int aLength);
  bool SendToken(SecBuffer& aBuffer);
  // New credentials with aCertificate; on success they replace Credentials.
  bool AcquireWith(PCCERT_CONTEXT aCertificate);
  void SetError(uint32_t aCode, const std::string& aText);
  void SetErrorText(const std::string& aText);
  PSecurityFunctionTableW Table() const;
  HCERTSTORE MyStore() const;
};

// The last-error record of the calling thread. SChannelOpen clears it.
const std::string& SChannelLastError();
uint32_t SChannelLastErrorCode();
uint32_t SChannelLastCertStatus();

// The security interface, loaded by the first SChannelOpen; unloading never
// takes it from a session that is still open.
bool LoadSChannel();
void UnloadSChannel();
bool SChannelLoaded();

TSSLInfo* SChannelOpen(int Socket, const TkfxSChannelCertificate* Certificate,
                       const std::string& ServerName, const std::string& CipherList,
                       const TStringList* ALPNProtocols, TwsTLSVersions Version);
void SChannelSetCredentialsCallBack(TSSLInfo* SSL, TCredentialsCallBack CallBack, void* UserData);
// Decrypted octets copied (> 0), 0 when the peer closed the socket, < 0 on failure.
int SChannelRead(TSSLInfo* SSL, void* Data, int Size);
// Plaintext octets consumed, or the failing result (<= 0).
int SChannelWrite(TSSLInfo* SSL, const void* Data, int Size);
int SChannelClose(TSSLInfo* SSL);
std::string SChannelGetALPN(TSSLInfo* SSL);
TkfxSChannelConnectionInfo* SChannelGetConnectionInfo(TSSLInfo* SSL);
// Whether a read would return without waiting for the socket.
bool SChannelPending(const TSSLInfo* SSL);
// Takes what the socket holds without waiting (see TSSLInfo::ReadAvailable).
int SChannelReadAvailable(TSSLInfo* SSL);

// The Winsock number of a system error number (EAGAIN of a blocking socket
// is the expired receive or send time-out: 10060).
uint32_t SChannelSocketError(int aErrno);
