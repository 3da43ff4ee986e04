// TLS through the OpenSSL libraries: the library start-up, the option object,
// the context wrapper, one TLS connection, certificate and cipher wrappers.
// The client I/O handler on top is in kfxIdSSLOpenSSL_Handler.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <vector>

#include "base/kfxWebSocket_Classes_SyncObjs.h"
#include "rtl/Classes.h"
#include "rtl/PersistentFields.h"
#include "rtl/DateTime.h"
#include "rtl/StringList.h"
#include "tls/kfxIdSSLOpenSSLHeaders.h"
#include "tls/kfxTLS_PKCS12.h"

// Binds and initialises the libraries once per process (under the start-up
// lock); true when they are ready. A failed start is tried again on the next
// call.
bool StartOpenSSL();
// The program-end counterpart: removes the locking callback, unbinds and
// frees the locks. Runs by itself when the program ends.
void StopOpenSSL();
// The process-wide start-up lock; binding and unbinding happen under it.
TkfxCriticalSection& OpenSSLStartupLock();
// BindOpenSSL under the start-up lock; a failure is remembered and answered
// at once until the folder or the API level changes.
bool BindOpenSSLOnce();
// True when aFileName ends in ".p12" or ".pfx", in any case: a context reads
// such a certificate or key file as PKCS#12, other files as PEM.
bool IsPKCS12File(const std::string& aFileName);
// What the PKCS#12 file aFileName holds when opened with aPassword, read
// through the binding as a context reads a client certificate and its key
// from it, so that a program can check the file before it connects. Raises
// EIdOSSLCouldNotLoadSSLLibrary when the libraries cannot be started.
TPKCS12FileContent ReadPKCS12FileContent(const std::string& aFileName, const std::string& aPassword);
// PKCS#12 files decrypted since the program started: a file read again with
// the same contents and password (by the check above or a context's set-up)
// is taken from the last few read and not counted.
uint64_t OpenSSLPKCS12Decryptions();

struct ssl_st;
struct ssl_ctx_st;
struct x509_st;
struct x509_name_st;
struct evp_pkey_st;

enum class TIdSSLVersion {
  sslvSSLv2, sslvSSLv23, sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3
};
using TIdSSLVersions = TSet<TIdSSLVersion>;
enum class TIdSSLMode { sslmUnassigned, sslmClient, sslmServer, sslmBoth };
enum class TIdSSLVerifyMode { sslvrfPeer, sslvrfFailIfNoPeerCert, sslvrfClientOnce };
// Bit n for value n: the bits are OpenSSL's SSL_VERIFY_* flags as they stand.
using TIdSSLVerifyModeSet = TSet<TIdSSLVerifyMode>;
enum class TIdSSLCtxMode { sslCtxClient, sslCtxServer };

extern const std::vector<std::string> IdSSLVersionNames;
extern const std::vector<std::string> IdSSLModeNames;

// --- Exceptions of the TLS layer ---
class EIdOSSLCouldNotLoadSSLLibrary : public EIdOpenSSLError {
 public:
  using EIdOpenSSLError::EIdOpenSSLError;
};
class EIdOSSLModeNotSet : public EIdOpenSSLError {
 public:
  using EIdOpenSSLError::EIdOpenSSLError;
};
class EIdOSSLGetMethodError : public EIdOpenSSLError {
 public:
  using EIdOpenSSLError::EIdOpenSSLError;
};
class EIdOSSLCreatingContextError : public EIdOpenSSLAPICryptoError {
 public:
  using EIdOpenSSLAPICryptoError::EIdOpenSSLAPICryptoError;
};
class EIdOSSLLoadingRootCertError : public EIdOpenSSLAPICryptoError {
 public:
  using EIdOpenSSLAPICryptoError::EIdOpenSSLAPICryptoError;
};
class EIdOSSLLoadingCertError : public EIdOpenSSLAPICryptoError {
 public:
  using EIdOpenSSLAPICryptoError::EIdOpenSSLAPICryptoError;
};
class EIdOSSLLoadingKeyError : public EIdOpenSSLAPICryptoError {
 public:
  using EIdOpenSSLAPICryptoError::EIdOpenSSLAPICryptoError;
};
class EIdOSSLLoadingDHParamsError : public EIdOpenSSLAPICryptoError {
 public:
  using EIdOpenSSLAPICryptoError::EIdOpenSSLAPICryptoError;
};
class EIdOSSLSettingCipherError : public EIdOpenSSLError {
 public:
  using EIdOpenSSLError::EIdOpenSSLError;
};
class EIdOSSLCreatingSessionError : public EIdOpenSSLAPISSLError {
 public:
  using EIdOpenSSLAPISSLError::EIdOpenSSLAPISSLError;
};
class EIdOSSLDataBindingError : public EIdOpenSSLAPISSLError {
 public:
  using EIdOpenSSLAPISSLError::EIdOpenSSLAPISSLError;
};
class EIdOSSLFDSetError : public EIdOpenSSLAPISSLError {
 public:
  using EIdOpenSSLAPISSLError::EIdOpenSSLAPISSLError;
};
class EIdOSSLConnectError : public EIdOpenSSLAPISSLError {
 public:
  using EIdOpenSSLAPISSLError::EIdOpenSSLAPISSLError;
};
class EIdOSSLAcceptError : public EIdOpenSSLAPISSLError {
 public:
  using EIdOpenSSLAPISSLError::EIdOpenSSLAPISSLError;
};

// --- Option object ---
class TIdSSLOptions : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  std::string RootCertFile, CertFile, KeyFile, DHParamsFile;
  TIdSSLMode Mode = TIdSSLMode::sslmUnassigned;
  TIdSSLVerifyModeSet VerifyMode;
  int32_t VerifyDepth = 0;
  std::string VerifyDirs;
  std::string CipherList;

  TIdSSLVersion Method() const { return FMethod; }
  // Also sets SSLVersions to that one version (sslvSSLv23: every other version).
  void SetMethod(TIdSSLVersion aValue);
  TIdSSLVersions SSLVersions() const { return FSSLVersions; }
  // Exactly one real version sets Method to it; any other set makes Method
  // sslvSSLv23 and drops sslvSSLv23 from the set ([sslvSSLv23] alone: all others).
  void SetSSLVersions(TIdSSLVersions aValue);

 private:
  static const TPersistentFields<TIdSSLOptions>& Fields();
  TIdSSLVersion FMethod = TIdSSLVersion::sslvTLSv1;
  TIdSSLVersions FSSLVersions{TIdSSLVersion::sslvTLSv1};
};

// --- Certificate and cipher wrappers (made on request, read-only) ---
class TIdX509Name : public TObject {
 public:
  explicit TIdX509Name(x509_name_st* aName) : FX509Name(aName) {}
  std::string OneLine() const;
  uint32_t Hash() const;
  std::string HashAsString() const;  // eight upper-case hex digits
  x509_name_st* CertificateName() const { return FX509Name; }

 private:
  x509_name_st* FX509Name;  // owned by its certificate
};

struct TIdX509SigInfo {
  std::string Signature;  // hex text "%.2x" joined by ':'
  int SigType = 0;
  std::string SigTypeAsString;
};

class TIdX509Fingerprints : public TObject {
 public:
  explicit TIdX509Fingerprints(x509_st* aX509) : FX509(aX509) {}
  TIdBytes MD5() const;
  TIdBytes SHA1() const;
  TIdBytes SHA224() const;  // the SHA-2 ones are empty when the library lacks the digest
  TIdBytes SHA256() const;
  TIdBytes SHA384() const;
  TIdBytes SHA512() const;
  std::string MD5AsString() const;
  std::string SHA1AsString() const;
  std::string SHA224AsString() const;
  std::string SHA256AsString() const;
  std::string SHA384AsString() const;
  std::string SHA512AsString() const;

 private:
  x509_st* FX509;
};

// One certificate. Owns a reference to it (taken or counted up on creation).
class TIdX509 : public TObject {
 public:
  // aCanFreeX509: the wrapper takes over the caller's reference; otherwise it
  // takes a reference of its own.
  TIdX509(x509_st* aX509, bool aCanFreeX509 = true);
  ~TIdX509() override;
  int Version() const;
  TIdX509SigInfo SigInfo() const;
  TIdX509Fingerprints& Fingerprints() { return FFingerprints; }
  TIdBytes Fingerprint() const { return FFingerprints.MD5(); }
  std::string FingerprintAsString() const { return FFingerprints.MD5AsString(); }
  TIdX509Name& Subject() { return FSubject; }
  TIdX509Name& Issuer() { return FIssuer; }
  TDateTime notBefore() const;  // local time
  TDateTime notAfter() const;
  std::string SerialNumber() const;  // hex digits of the serial, joined by ':'
  std::string DisplayInfo() const;
  x509_st* Certificate() const { return FX509; }

 private:
  x509_st* FX509;
  TIdX509Fingerprints FFingerprints;
  TIdX509Name FSubject;
  TIdX509Name FIssuer;
};

class TIdSSLSocket;

class TIdSSLCipher : public TObject {
 public:
  explicit TIdSSLCipher(TIdSSLSocket* aOwner) : FSSLSocket(aOwner) {}
  std::string Name() const;
  std::string Description() const;
  int Bits() const;
  std::string Version() const;

 private:
  TIdSSLSocket* FSSLSocket;
};

// What the OpenSSL callbacks ask of the object that owns a context or a TLS
// connection (the I/O handler). Calls come on the thread that drives the
// handshake or the read.
class IIdSSLOpenSSLCallbacks {
 public:
  virtual ~IIdSSLOpenSSLCallbacks() = default;
  virtual void StatusInfo(const std::string& AMsg) = 0;
  virtual void StatusInfoEx(const ssl_st* AsslSocket, int AWhere, int Aret, const std::string& AType,
                            const std::string& AMsg) = 0;
  virtual std::string GetPassword(bool IsWrite) = 0;
  virtual bool VerifyPeer(TIdX509* Certificate, bool AOk, int ADepth, int AError) = 0;
  // The handler's own TLS connection (a clone's connection copies its session).
  virtual TIdSSLSocket* ParentSSLSocket() = 0;
};

// --- Context ---
class TIdSSLContext : public TObject {
 public:
  // Starts the libraries: EIdOSSLCouldNotLoadSSLLibrary "Could not load SSL
  // library." when they cannot be bound.
  TIdSSLContext();
  ~TIdSSLContext() override;

  // Creates the OpenSSL context from the fields below (a previous one is freed).
  // Contexts are shared process-wide per configuration: a second context
  // with the same fields, the same contents of the files they name, the same
  // default trust anchors and, where loading asked for one, the same password
  // takes a reference to the first one's OpenSSL context instead of loading
  // the trust anchors, certificate and key again. A shared OpenSSL context is
  // never changed once made.
  void InitContext(TIdSSLCtxMode CtxMode);
  ssl_ctx_st* Context() const { return fContext; }
  TStringList& ALPNProtocols();

  TIdSSLVersion Method = TIdSSLVersion::sslvTLSv1;
  TIdSSLVersions SSLVersions{TIdSSLVersion::sslvTLSv1};
  TIdSSLMode Mode = TIdSSLMode::sslmUnassigned;
  std::string RootCertFile, CertFile, KeyFile, DHParamsFile;
  int32_t VerifyDepth = 0;
  TIdSSLVerifyModeSet VerifyMode;
  std::string VerifyDirs;
  std::string CipherList;
  bool StatusInfoOn = false;
  bool VerifyOn = false;
  uint32_t SessionIdContext = 1;
  // The handler the context belongs to; the callbacks speak to it.
  IIdSSLOpenSSLCallbacks* Parent = nullptr;

  // The password for a file being loaded, from Parent (empty without one or
  // when it raises); remembered so that a shared context can tell whether a
  // later configuration gives the same one.
  std::string PasswordForLoading(bool IsWrite);

 private:
  void SetUpContext(TIdSSLCtxMode CtxMode);
  std::string ConfigurationKey(TIdSSLCtxMode CtxMode) const;
  std::string ContentFingerprint() const;
  const struct ssl_method_st* SetSSLMethod();
  void SetVerifyMode(TIdSSLVerifyModeSet aMode, bool CheckRoutine);
  bool LoadRootCert();
  bool LoadCert();
  bool LoadKey();
  bool LoadDHParams();
  void SetALPNProtocols();

  ssl_ctx_st* fContext = nullptr;  // one reference of its own
  // The key of a PKCS#12 CertFile that is the KeyFile too, kept from
  // LoadCert for LoadKey so that the file is decrypted once per set-up.
  evp_pkey_st* FPKCS12Key = nullptr;
  std::unique_ptr<TStringList> FALPNProtocols;
  bool FPasswordAsked = false;
  std::string FPasswordGiven;
};

// OpenSSL contexts built from their files since the program started (one
// taken from the shared ones is not counted).
uint64_t OpenSSLContextSetups();
// Forgets the shared contexts (connections keep theirs): the next context of
// each configuration is built afresh. Runs by itself at program end and
// before the libraries are unbound.
void ClearOpenSSLContextCache();

// Gives a client or server context the library's default trust anchors. The
// hashed default folder (and store) are looked up by name as the library
// does; the default anchors' file, which holds every anchor of the system,
// is read only when a chain asks for a name that nothing else in the
// context's store has. Libraries without custom lookups (1.0) read it at once.
void SetDefaultTrustAnchors(ssl_ctx_st* aContext);
// Times the default anchors' file was read since the program started.
uint64_t OpenSSLDefaultAnchorLoads();

// --- One TLS connection over a connected socket ---
class TIdSSLSocket : public TObject {
 public:
  explicit TIdSSLSocket(IIdSSLOpenSSLCallbacks* aParent) : fParent(aParent) {}
  // Shuts the connection down and frees it.
  ~TIdSSLSocket() override;

  // The client handshake on the socket descriptor; raises on failure with
  // the connection freed again.
  void Connect(int pHandle);
  // The server handshake on an accepted socket descriptor.
  void Accept(int pHandle);
  // One SSL_read / SSL_write (the caller handles the result).
  int Recv(uint8_t* aBuffer, int aLength);
  int Send(const uint8_t* aBuffer, int aLength);
  // SSL_get_error for a result of Recv or Send.
  int GetSSLError(int retCode) const;
  // SSL_shutdown, twice when the first call returned 0.
  void Shutdown();
  std::string GetALPNProtocol() const;
  std::string GetSSLVersion() const;

  TIdX509* PeerCert();  // nullptr when the peer sent none
  TIdSSLCipher& Cipher() { return fCipher; }
  ssl_st* SSLHandle() const { return fSSL; }
  IIdSSLOpenSSLCallbacks* Parent() const { return fParent; }

  TIdSSLContext* fSSLContext = nullptr;  // not owned
  std::string HostName;  // the name sent with SNI and checked in the certificate

 private:
  void FreeSSL();
  // SSL_new, ex-data and descriptor for a new connection.
  void NewSSL(int pHandle);

  IIdSSLOpenSSLCallbacks* fParent;
  ssl_st* fSSL = nullptr;
  std::unique_ptr<TIdX509> fPeerCert;
  TIdSSLCipher fCipher{this};
};

// The library version remembered at start-up when bound at level 1.1 (0 before).
unsigned long OpenSSLLibraryVersion();
