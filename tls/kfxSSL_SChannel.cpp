#include "tls/kfxSSL_SChannel.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "tls/kfxSSL_WinSSPI.h"

namespace {

constexpr ULONG kContextRequirements = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                       ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                       ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;  // 0xC11C
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr int32_t kHandshakeBufferSize = 65536;
// The largest record a peer may send: header, 2^14 octets and the expansion TLS 1.2 allows.
constexpr int32_t kLargestRecord = 5 + 16384 + 2048;
// Calls of the handshake that may follow one another without a read.
constexpr int kStepsWithoutRead = 8;

struct TLastError {
  std::string Text;
  uint32_t Code = 0;
  uint32_t CertStatus = 0;
};
thread_local TLastError tLastError;

std::string Hex8(uint32_t aValue) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", aValue);
  return text;
}

const char* StoreNameText(TkfxSChannelCertStoreName aName) {
  switch (aName) {
    case TkfxSChannelCertStoreName::scsnMY: return "MY";
    case TkfxSChannelCertStoreName::scsnRoot: return "Root";
    case TkfxSChannelCertStoreName::scsnTrust: return "Trust";
    case TkfxSChannelCertStoreName::scsnCA: return "CA";
  }
  return "MY";
}

DWORD StoreLocation(TkfxSChannelCertStorePath aPath) {
  return aPath == TkfxSChannelCertStorePath::scspStoreLocalMachine ? CERT_SYSTEM_STORE_LOCAL_MACHINE
                                                                  : CERT_SYSTEM_STORE_CURRENT_USER;
}

DWORD ProtocolMask(TwsTLSVersions aVersion) {
  switch (aVersion) {
    case TwsTLSVersions::tls1_0: return 0xF0;
    case TwsTLSVersions::tls1_1: return 0x300;
    case TwsTLSVersions::tls1_2: return 0xC00;
    case TwsTLSVersions::tls1_3: return 0x3000;
    case TwsTLSVersions::tlsUndefined: return 0;
  }
  return 0;
}

void Wipe(std::string& aText) {
  OPENSSL_cleanse(aText.data(), aText.size());
  aText.clear();
}

void Wipe(std::u16string& aText) {
  OPENSSL_cleanse(aText.data(), aText.size() * sizeof(char16_t));
  aText.clear();
}

}  // namespace

// --- certificate settings, blob, connection report ------------------------------

void TkfxSChannelCertificate::Assign(const TPersistent* Source) {
  if (const auto* source = dynamic_cast<const TkfxSChannelCertificate*>(Source)) {
    FCertFilePassword = source->FCertFilePassword;
    FCertHash = source->FCertHash;
    FCertFile = source->FCertFile;
    FCertStoreName = source->FCertStoreName;
    FCertStorePath = source->FCertStorePath;
    FVerifyCertificate = source->FVerifyCertificate;
    FRootCertFile = source->FRootCertFile;
    return;
  }
  TPersistent::Assign(Source);
}

TkfxSChannelStream::~TkfxSChannelStream() { SetSize(0); }

void TkfxSChannelStream::SetSize(int32_t aSize) {
  if (FData) {
    OPENSSL_cleanse(FData, static_cast<size_t>(FDataSize));
    delete[] FData;
  }
  FData = nullptr;
  FDataSize = 0;
  if (aSize > 0) {
    FData = new uint8_t[static_cast<size_t>(aSize)];
    FDataSize = aSize;
  }
}

void TkfxSChannelStream::LoadFromFile(const std::string& aFileName) {
  TFileStream file(aFileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TkfxSChannelStream::LoadFromStream(TStream& aSource) {
  const int64_t remaining = aSource.Size() - aSource.Position();
  SetSize(static_cast<int32_t>(std::clamp<int64_t>(remaining, 0, INT32_MAX)));
  if (FDataSize > 0) aSource.ReadBuffer(FData, FDataSize);
}

void TkfxSChannelConnectionInfo::SetProtocol(uint32_t aProtocol) {
  switch (aProtocol) {
    case 0x80: FProtocol = TwsTLSVersions::tls1_0; break;
    case 0x200: FProtocol = TwsTLSVersions::tls1_1; break;
    case 0x800: FProtocol = TwsTLSVersions::tls1_2; break;
    case 0x2000: FProtocol = TwsTLSVersions::tls1_3; break;
    default: FProtocol = TwsTLSVersions::tlsUndefined; break;
  }
}

void TkfxSChannelConnectionInfo::SetCipherId(ALG_ID aId) {
  FCipherId = aId;
  FCipher = SChannelAlgorithmName(aId);
}

void TkfxSChannelConnectionInfo::SetHashId(ALG_ID aId) {
  FHashId = aId;
  FHash = SChannelAlgorithmName(aId);
}

void TkfxSChannelConnectionInfo::SetExchangeId(ALG_ID aId) {
  FExchangeId = aId;
  FExchange = SChannelAlgorithmName(aId);
}

const std::vector<std::pair<std::string, ALG_ID>> SChannelAlgorithmNames{
    {"CALG_3DES", 0x6603},
    {"CALG_3DES_112", 0x6609},
    {"CALG_AES", 0x6611},
    {"CALG_AES_128", 0x660E},
    {"CALG_AES_192", 0x660F},
    {"CALG_AES_256", 0x6610},
    {"CALG_AGREEDKEY_ANY", 0xAA03},
    {"CALG_CYLINK_MEK", 0x660C},
    {"CALG_DES", 0x6601},
    {"CALG_DESX", 0x6604},
    {"CALG_DH_EPHEM", 0xAA02},
    {"CALG_DH_SF", 0xAA01},
    {"CALG_DSS_SIGN", 0x2200},
    {"CALG_ECDH", 0xAA05},
    {"CALG_ECDH_EPHEM", 0xAE06},
    {"CALG_ECDSA", 0x2203},
    {"CALG_ECMQV", 0xA001},
    {"CALG_HASH_REPLACE_OWF", 0x800B},
    {"CALG_HUGHES_MD5", 0xA003},
    {"CALG_HMAC", 0x8009},
    {"CALG_KEA_KEYX", 0xAA04},
    {"CALG_MAC", 0x8005},
    {"CALG_MD2", 0x8001},
    {"CALG_MD4", 0x8002},
    {"CALG_MD5", 0x8003},
    {"CALG_NO_SIGN", 0x2000},
    {"CALG_OID_INFO_CNG_ONLY", 0xFFFFFFFF},
    {"CALG_OID_INFO_PARAMETERS", 0xFFFFFFFE},
    {"CALG_PCT1_MASTER", 0x4C04},
    {"CALG_RC2", 0x6602},
    {"CALG_RC4", 0x6801},
    {"CALG_RC5", 0x660D},
    {"CALG_RSA_KEYX", 0xA400},
    {"CALG_RSA_SIGN", 0x2400},
    {"CALG_SCHANNEL_ENC_KEY", 0x4C07},
    {"CALG_SCHANNEL_MAC_KEY", 0x4C03},
    {"CALG_SCHANNEL_MASTER_HASH", 0x4C02},
    {"CALG_SEAL", 0x6802},
    {"CALG_SHA", 0x8004},
    {"CALG_SHA1", 0x8004},
    {"CALG_SHA_256", 0x800C},
    {"CALG_SHA_384", 0x800D},
    {"CALG_SHA_512", 0x800E},
    {"CALG_SKIPJACK", 0x660A},
    {"CALG_SSL2_MASTER", 0x4C05},
    {"CALG_SSL3_MASTER", 0x4C01},
    {"CALG_SSL3_SHAMD5", 0x8008},
    {"CALG_TEK", 0x660B},
    {"CALG_TLS1_MASTER", 0x4C06},
    {"CALG_TLS1PRF", 0x800A},
};

std::string SChannelAlgorithmName(ALG_ID aId) {
  for (const auto& [name, id] : SChannelAlgorithmNames) {
    if (id == aId) return name;
  }
  return "";
}

ALG_ID GetCipherId(const std::string& aCipher) {
  for (const auto& [name, id] : SChannelAlgorithmNames) {
    if (name == aCipher) return id;
  }
  return 0;
}

bool SChannelALPNBlock(const TStringList* aProtocols, std::vector<uint8_t>& aBlock) {
  aBlock.clear();
  std::vector<uint8_t> list;
  for (int i = 0; aProtocols && i < aProtocols->Count(); ++i) {
    const std::string& name = aProtocols->Strings(i);
    if (name.empty()) continue;
    if (name.size() > 255) return false;
    list.push_back(static_cast<uint8_t>(name.size()));
    list.insert(list.end(), name.begin(), name.end());
  }
  if (list.empty()) return true;
  if (list.size() > 0xFFFF) return false;
  // ProtocolListsSize (32 bit), ProtoNegoExt = ALPN (32 bit), ProtocolListSize
  // (16 bit), all little-endian, then the length-prefixed names.
  const uint32_t listsSize = static_cast<uint32_t>(list.size() + 6);
  aBlock = {static_cast<uint8_t>(listsSize), static_cast<uint8_t>(listsSize >> 8),
            static_cast<uint8_t>(listsSize >> 16), static_cast<uint8_t>(listsSize >> 24),
            2, 0, 0, 0,
            static_cast<uint8_t>(list.size()), static_cast<uint8_t>(list.size() >> 8)};
  aBlock.insert(aBlock.end(), list.begin(), list.end());
  return true;
}

// --- the loaded security interface -----------------------------------------------------

struct TSChannelBinding {
  PSecurityFunctionTableW Table = nullptr;
  HCERTSTORE MyStore = nullptr;
  ~TSChannelBinding() {
    if (MyStore) WinSSPI::CertCloseStore(MyStore, 0);
  }
};

namespace {

std::mutex gBindingLock;
std::shared_ptr<TSChannelBinding> gBinding;

std::shared_ptr<TSChannelBinding> CurrentBinding() {
  std::lock_guard<std::mutex> guard(gBindingLock);
  return gBinding;
}

void SetLastError(uint32_t aCode, const std::string& aText) {
  tLastError.Code = aCode;
  tLastError.Text = aText;
}

void SetLastErrorText(const std::string& aText) { tLastError.Text = aText; }

}  // namespace

const std::string& SChannelLastError() { return tLastError.Text; }
uint32_t SChannelLastErrorCode() { return tLastError.Code; }
uint32_t SChannelLastCertStatus() { return tLastError.CertStatus; }

bool LoadSChannel() {
  tLastError.Code = 0;
  std::lock_guard<std::mutex> guard(gBindingLock);
  if (gBinding) return true;
  auto binding = std::make_shared<TSChannelBinding>();
  try {
    binding->Table = InitSecurityInterfaceW();
    if (!binding->Table) {
      SetLastErrorText("InitSecurityInterface() returns nil");
      return false;
    }
    binding->MyStore = WinSSPI::CertOpenSystemStoreW(0, u"MY");
  } catch (const Exception& e) {
    SetLastErrorText(e.Message());
    return false;
  }
  if (!binding->MyStore) {
    SetLastErrorText("CertOpenSystemStore(0, 'MY') returns 0");
    return false;
  }
  gBinding = std::move(binding);
  return true;
}

void UnloadSChannel() {
  std::shared_ptr<TSChannelBinding> old;
  {
    std::lock_guard<std::mutex> guard(gBindingLock);
    old = std::move(gBinding);
  }
  // Sessions still open keep their own reference; the store closes with the last.
}

bool SChannelLoaded() { return CurrentBinding() != nullptr; }

uint32_t SChannelSocketError(int aErrno) {
  switch (aErrno) {
    case 0: return 0;
    case EAGAIN:  // a blocking socket whose SO_RCVTIMEO or SO_SNDTIMEO expired
    case ETIMEDOUT: return 10060;
    case ECONNRESET: return 10054;
    case ECONNABORTED: return 10053;
    case EPIPE:
    case ESHUTDOWN: return 10058;
    case ENOTCONN: return 10057;
    case ECONNREFUSED: return 10061;
    case EBADF:
    case ENOTSOCK: return 10038;
    case EINTR: return 10004;
    case EINVAL: return 10022;
    case EMSGSIZE: return 10040;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case EHOSTUNREACH: return 10065;
    case ENOBUFS:
    case ENOMEM: return 10055;
    default: return 10000 + static_cast<uint32_t>(aErrno);
  }
}

// --- the session --------------------------------------------------------------------

TSSLInfo::TSSLInfo() = default;

TSSLInfo::~TSSLInfo() {
  Clean();
  Wipe(CertFilePassword);
}

PSecurityFunctionTableW TSSLInfo::Table() const { return Binding->Table; }
HCERTSTORE TSSLInfo::MyStore() const { return Binding->MyStore; }

void TSSLInfo::SetError(uint32_t aCode, const std::string& aText) {
  {
    std::lock_guard<std::mutex> guard(ErrorLock);
    LastErrorCode = aCode;
    LastError = aText;
  }
  SetLastError(aCode, aText);
}

void TSSLInfo::SetErrorText(const std::string& aText) {
  {
    std::lock_guard<std::mutex> guard(ErrorLock);
    LastError = aText;
  }
  SetLastErrorText(aText);
}

void TSSLInfo::Clean() {
  // Everything acquired is released: handles, buffers and the report.
  if (Init.Contains(TSSLInitItem::iContext)) Table()->DeleteSecurityContext(&Context);
  if (Init.Contains(TSSLInitItem::iCredentials)) Table()->FreeCredentialsHandle(&Credentials);
  Init = TSSLInit();
  ConnectionInfo.reset();
}

int TSSLInfo::SendData(const uint8_t* aData, int aLength) {
  int sent = 0;
  while (sent < aLength) {
    ssize_t n;
    do {
      n = send(Socket, aData + sent, static_cast<size_t>(aLength - sent), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      const int saved = n < 0 ? errno : 0;
      const uint32_t error = SChannelSocketError(saved);
      Error = error;
      SetError(0, "send returns " + std::to_string(error));
      errno = saved;
      return static_cast<int>(n);
    }
    sent += static_cast<int>(n);
  }
  return sent;
}

bool TSSLInfo::SendToken(SecBuffer& aBuffer) {
  if (aBuffer.cbBuffer == 0 || !aBuffer.pvBuffer) return true;
  if (SendData(static_cast<const uint8_t*>(aBuffer.pvBuffer), static_cast<int>(aBuffer.cbBuffer)) <= 0) {
    return false;
  }
  Table()->FreeContextBuffer(aBuffer.pvBuffer);
  aBuffer.pvBuffer = nullptr;
  return true;
}

int TSSLInfo::Read() {
  // The buffer always has room: it holds the largest legal record, and a
  // partial record never fills it.
  if (RecvCount >= static_cast<int32_t>(RecvBuffer.size())) {
    RecvBuffer.resize(std::max<size_t>(RecvBuffer.size() * 2, kLargestRecord));
  }
  ssize_t n;
  if (HeldRead <= 0) {
    n = HeldRead;
    errno = HeldErrno;
    HeldRead = 1;
  } else {
    do {
      n = recv(Socket, RecvBuffer.data() + RecvCount, RecvBuffer.size() - static_cast<size_t>(RecvCount), 0);
    } while (n < 0 && errno == EINTR);
  }
  if (n > 0) {
    RecvCount += static_cast<int32_t>(n);
  } else {
    const int saved = n < 0 ? errno : 0;
    Error = SChannelSocketError(saved);
    SetError(0, "recv returns " + Hex8(Error));
    errno = saved;
  }
  return static_cast<int>(n);
}

int TSSLInfo::ReadAvailable() {
  if (ReadEnded || HeldRead <= 0) return -1;
  if (RecvCount >= static_cast<int32_t>(RecvBuffer.size())) {
    RecvBuffer.resize(std::max<size_t>(RecvBuffer.size() * 2, kLargestRecord));
  }
  ssize_t n;
  do {
    n = recv(Socket, RecvBuffer.data() + RecvCount, RecvBuffer.size() - static_cast<size_t>(RecvCount),
             MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    RecvCount += static_cast<int32_t>(n);
    return static_cast<int>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  HeldRead = static_cast<int>(n);
  HeldErrno = n < 0 ? errno : 0;
  return -1;
}

int TSSLInfo::ReadLoop() {
  bool readNeeded = true;
  int stepsWithoutRead = 0;
  SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
  for (;;) {
    if (readNeeded) {
      readNeeded = false;
      stepsWithoutRead = 0;
      const int n = Read();
      // A peer that closes during the handshake fails it.
      if (n == 0) return -1;
      if (n < 0) return n;
    } else if (++stepsWithoutRead > kStepsWithoutRead) {
      SetError(Error, "InitializeSecurityContext returns " + Hex8(Error));
      return -1;
    }
    SecBuffer inBuffers[2] = {{static_cast<ULONG>(RecvCount), SECBUFFER_TOKEN, RecvBuffer.data()},
                              {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
    outBuffer = {0, SECBUFFER_TOKEN, nullptr};
    ULONG attributes = 0;
    const SECURITY_STATUS status =
        Table()->InitializeSecurityContextW(&Credentials, &Context, nullptr, kContextRequirements, 0,
                                            SECURITY_NATIVE_DREP, &inDesc, 0, nullptr, &outDesc,
                                            &attributes, nullptr);
    Error = static_cast<uint32_t>(status);
    // A fatal status still hands out the alert to send.
    const bool sent = SendToken(outBuffer);
    if (outBuffer.pvBuffer) Table()->FreeContextBuffer(outBuffer.pvBuffer);
    if (!sent) return -1;
    if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0) {
      const int32_t extra = static_cast<int32_t>(inBuffers[1].cbBuffer);
      std::memmove(RecvBuffer.data(), RecvBuffer.data() + RecvCount - extra, static_cast<size_t>(extra));
      RecvCount = extra;
    } else if (status != SEC_E_INCOMPLETE_MESSAGE) {
      RecvCount = 0;
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE || status == SEC_I_CONTINUE_NEEDED) {
      readNeeded = true;
    } else if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
      // The server asks for a certificate.
      if (!CertHash.empty()) {
        if (!DoGetCertificate()) return -1;
      } else if (!CertFile.empty()) {
        if (!DoImportCertPFX(CertFile, CertFilePassword)) return -1;
      } else {
        DoGetCertificateFromChainStore();
      }
    } else if (status == SEC_E_OK) {
      return 0;
    } else if (status < 0) {
      SetError(Error, "InitializeSecurityContext returns " + Hex8(static_cast<uint32_t>(status)));
      return -1;
    } else if (RecvCount == 0) {
      // Another informational status: go on once more octets have arrived.
      readNeeded = true;
    }
  }
}

bool TSSLInfo::AcquireWith(PCCERT_CONTEXT aCertificate) {
  SCHANNEL_CRED cred = SChannel;
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  cred.cCreds = 1;
  cred.paCred = &aCertificate;
  CredHandle fresh{};
  const SECURITY_STATUS status = Table()->AcquireCredentialsHandleW(
      nullptr, UNISP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr, &fresh, nullptr);
  if (status != SEC_E_OK) return false;
  if (Init.Contains(TSSLInitItem::iCredentials)) Table()->FreeCredentialsHandle(&Credentials);
  Credentials = fresh;
  Init.Include(TSSLInitItem::iCredentials);
  return true;
}

bool TSSLInfo::DoGetCertificate() {
  if (CertHash.empty()) return false;
  const std::u16string storeName = Utf8ToUtf16(StoreNameText(CertStoreName));
  HCERTSTORE store = WinSSPI::CertOpenStore(CERT_STORE_PROV_SYSTEM, kEncoding, 0,
                                            StoreLocation(CertStorePath) | CERT_STORE_OPEN_EXISTING_FLAG,
                                            storeName.c_str());
  if (!store) {
    SetErrorText("Cannot Open Certificate Store.");
    return false;
  }
  bool ok = false;
  if (CertHash.size() != 40) {
    SetErrorText("Invalid Certificate Hash Length, must be 40.");
  } else {
    BYTE hash[20];
    DWORD size = sizeof hash;
    const std::u16string hex = Utf8ToUtf16(CertHash);
    if (!WinSSPI::CryptStringToBinaryW(hex.c_str(), 40, CRYPT_STRING_HEX, hash, &size, nullptr, nullptr) ||
        size != sizeof hash) {
      SetErrorText("Error calling method CryptStringToBinary.");
    } else {
      CRYPT_HASH_BLOB blob{size, hash};
      PCCERT_CONTEXT certificate =
          WinSSPI::CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
      if (!certificate) {
        SetErrorText(std::string("Certificate not found in Store ") + StoreNameText(CertStoreName) +
                     " with Hash " + CertHash);
      } else {
        ok = AcquireWith(certificate);
        WinSSPI::CertFreeCertificateContext(certificate);
      }
    }
  }
  WinSSPI::CertCloseStore(store, 0);
  return ok;
}

bool TSSLInfo::DoImportCertPFX(const std::string& aFileName, const std::string& aPassword) {
  TkfxSChannelStream blob;
  try {
    blob.LoadFromFile(aFileName);
  } catch (const Exception&) {
    SetErrorText("Cannot import the certificate.");
    return false;
  }
  CRYPT_DATA_BLOB data{static_cast<DWORD>(blob.DataSize()), blob.Data()};
  std::u16string password = Utf8ToUtf16(aPassword);
  HCERTSTORE store = data.pbData ? WinSSPI::PFXImportCertStore(&data, password.c_str(), 0) : nullptr;
  // A file written without any password does not open with the empty one.
  if (!store && aPassword.empty() && data.pbData) store = WinSSPI::PFXImportCertStore(&data, nullptr, 0);
  Wipe(password);
  if (!store) {
    SetErrorText("Cannot import the certificate.");
    return false;
  }
  bool ok = false;
  PCCERT_CONTEXT certificate =
      WinSSPI::CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_ANY, nullptr, nullptr);
  if (!certificate) {
    SetErrorText("Cannot import the certificate.");
  } else {
    ok = AcquireWith(certificate);
    WinSSPI::CertFreeCertificateContext(certificate);
  }
  WinSSPI::CertCloseStore(store, 0);
  return ok;
}

bool TSSLInfo::DoGetCertificateFromChainStore() {
  if (CredentialsCallBack) CredentialsCallBack(this, UserData);
  SecPkgContext_IssuerListInfoEx issuers{};
  const SECURITY_STATUS status = Table()->QueryContextAttributesW(&Context, SECPKG_ATTR_ISSUER_LIST_EX, &issuers);
  if (status != SEC_E_OK) {
    Error = static_cast<uint32_t>(status);
    SetError(Error, "QueryContextAttributes(SECPKG_ATTR_ISSUER_LIST_EX) returns " + Hex8(Error));
    return false;
  }
  CERT_CHAIN_FIND_BY_ISSUER_PARA para{};
  para.cbSize = sizeof para;
  para.pszUsageIdentifier = szOID_PKIX_KP_CLIENT_AUTH;
  para.cIssuer = issuers.cIssuers;
  para.rgIssuer = issuers.aIssuers;
  DWORD chainIndex = 0, elementIndex = 0;
  para.pdwIssuerChainIndex = &chainIndex;
  para.pdwIssuerElementIndex = &elementIndex;
  bool ok = false;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  for (;;) {
    chain = WinSSPI::CertFindChainInStore(MyStore(), X509_ASN_ENCODING, 0, CERT_CHAIN_FIND_BY_ISSUER, &para, chain);
    if (!chain) {
      SetError(0, "CertFindChainInStore returns nil");
      break;
    }
    if (AcquireWith(chain->rgpChain[0]->rgpElement[0]->pCertContext)) {
      ok = true;
      WinSSPI::CertFreeCertificateChain(chain);
      break;
    }
  }
  Table()->FreeContextBuffer(issuers.aIssuers);
  return ok;
}

namespace {

// The SSL policy's verdict (dwError) on the chain that aEngine (nullptr: the
// system's trust store) builds for aServer; false when the chain cannot be
// built or the policy not evaluated.
bool ServerPolicyStatus(HCERTCHAINENGINE aEngine, PCCERT_CONTEXT aServer, const std::string& aServerName,
                        DWORD& aStatus) {
  LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH), const_cast<LPSTR>(szOID_SERVER_GATED_CRYPTO),
                    const_cast<LPSTR>(szOID_SGC_NETSCAPE)};
  CERT_CHAIN_PARA chainPara{sizeof chainPara, {USAGE_MATCH_TYPE_OR, {3, usages}}};
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!WinSSPI::CertGetCertificateChain(aEngine, aServer, nullptr, aServer->hCertStore, &chainPara, 0, nullptr,
                                        &chain))
    return false;
  const std::u16string name = Utf8ToUtf16(aServerName);
  HTTPSPolicyCallbackData https{sizeof https, AUTHTYPE_SERVER, 0, name.c_str()};
  CERT_CHAIN_POLICY_PARA policy{sizeof policy, 0, &https};
  CERT_CHAIN_POLICY_STATUS result{sizeof result, 0, 0, 0, nullptr};
  const bool evaluated = WinSSPI::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result);
  WinSSPI::CertFreeCertificateChain(chain);
  if (evaluated) aStatus = result.dwError;
  return evaluated;
}

// A chain engine whose only trust anchors are the certificates of a file.
struct TRootFileEngine {
  HCERTSTORE Store = nullptr;
  HCERTCHAINENGINE Engine = nullptr;
  ~TRootFileEngine() {
    if (Engine) WinSSPI::CertFreeCertificateChainEngine(Engine);
    if (Store) WinSSPI::CertCloseStore(Store, 0);
  }
  bool Open(const std::string& aFileName) {
    const std::u16string path = Utf8ToUtf16(aFileName);
    Store = WinSSPI::CertOpenStore(CERT_STORE_PROV_FILENAME_W, kEncoding, 0,
                                   CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, path.c_str());
    if (!Store) return false;
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = sizeof config;
    config.hExclusiveRoot = Store;
    return WinSSPI::CertCreateCertificateChainEngine(&config, &Engine);
  }
};

}  // namespace

// With a root certificate file its certificates are trusted in addition to
// the system's trust store, as the OpenSSL handler trusts its RootCertFile.
// The chain is built on the file's certificates alone first: when they
// accept it, so does the pair, and the system store (all the system's
// anchors) is not needed. Otherwise the system store's verdict stands when
// it accepts, or when the file did not anchor the chain either (untrusted
// root, incomplete chain), as without a file; else the file's verdict does.
bool TSSLInfo::DoVerifyCertificate() {
  PCCERT_CONTEXT server = nullptr;
  const SECURITY_STATUS status = Table()->QueryContextAttributesW(&Context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server);
  if (status != SEC_E_OK || !server) {
    Error = static_cast<uint32_t>(status);
    SetError(Error, "QueryCredentialsAttributes returns " + Hex8(Error));
    return false;
  }
  TRootFileEngine rootFile;
  if (!RootCertFile.empty() && !rootFile.Open(RootCertFile)) {
    SetError(CryptGetLastError(), "Could not load root certificate file " + RootCertFile + ".");
    WinSSPI::CertFreeCertificateContext(server);
    return false;
  }
  DWORD ownVerdict = 0;
  const bool ownEvaluated = rootFile.Engine && ServerPolicyStatus(rootFile.Engine, server, Servername, ownVerdict);
  DWORD verdict = 0;
  bool evaluated = ownEvaluated && ownVerdict == 0;
  if (!evaluated) {
    evaluated = ServerPolicyStatus(nullptr, server, Servername, verdict);
    if (evaluated && verdict != 0 && ownEvaluated && ownVerdict != CERT_E_UNTRUSTEDROOT &&
        ownVerdict != CERT_E_CHAINING)
      verdict = ownVerdict;
  }
  WinSSPI::CertFreeCertificateContext(server);
  if (!evaluated) return false;  // no text, as the policy check gives none
  LastCertStatus = verdict;
  tLastError.CertStatus = verdict;
  if (verdict == 0) return true;
  SetError(verdict, "CertVerifyCertificateChainPolicy.vStatus = " + Hex8(verdict));
  return false;
}

bool TSSLInfo::InitBuffer() {
  const SECURITY_STATUS status = Table()->QueryContextAttributesW(&Context, SECPKG_ATTR_STREAM_SIZES, &BuffSizes);
  if (status != SEC_E_OK) {
    Error = static_cast<uint32_t>(status);
    SetError(Error, "QueryContextAttributes(SECPKG_ATTR_STREAM_SIZES) returns " + Hex8(Error));
    return false;
  }
  const size_t record = size_t{BuffSizes.cbHeader} + BuffSizes.cbMaximumMessage + BuffSizes.cbTrailer;
  // Octets already received stay; the buffer never shrinks below them or
  // below the largest record a peer may send.
  RecvBuffer.resize(std::max({record, static_cast<size_t>(RecvCount), static_cast<size_t>(kLargestRecord)}));
  SendBuffer.resize(record);
  DataCount = 0;
  DataStart = 0;
  return true;
}

bool TSSLInfo::Pending() const {
  if (DataCount - DataStart > 0) return true;
  if (ReadEnded) return true;  // the read answers at once with its result
  if (RecvCount < 5) return false;
  const int32_t length = 5 + (RecvBuffer[3] << 8 | RecvBuffer[4]);
  return RecvCount >= length;
}

int TSSLInfo::Readable() {
  if (DataCount - DataStart != 0) return DataCount - DataStart;
  DataCount = 0;
  DataStart = 0;
  if (ReadEnded) {
    // The end was reported once; it stays as it was.
    SetLastError(ReadEndCode, ReadEndText);
    return ReadResult;
  }
  auto end = [this](int aResult) {
    ReadEnded = true;
    ReadResult = aResult;
    std::lock_guard<std::mutex> guard(ErrorLock);
    ReadEndText = LastError;
    ReadEndCode = LastErrorCode;
    return aResult;
  };
  SECURITY_STATUS status = SEC_E_OK;
  for (;;) {
    if (status != SEC_E_INCOMPLETE_MESSAGE) Error = 0;
    if (RecvCount == 0 || status == SEC_E_INCOMPLETE_MESSAGE) {
      const int n = Read();
      if (n <= 0) {
        // An expired receive time-out is not the end: the next read tries again.
        if (n < 0 && Error == 10060) return n;
        return end(n);
      }
    }
    SecBuffer buffers[4] = {{static_cast<ULONG>(RecvCount), SECBUFFER_DATA, RecvBuffer.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    status = Table()->DecryptMessage(&Context, &message, 0, nullptr);
    Error = static_cast<uint32_t>(status);
    LastReadStatus = status;
    if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
    if (status == SEC_I_CONTEXT_EXPIRED) {
      SetError(Error, "DecryptMessage returns SEC_I_CONTEXT_EXPIRED");
      return end(-1);
    }
    if (status == SEC_E_DECRYPT_FAILURE) {
      SetErrorText("DecryptMessage returns SEC_E_DECRYPT_FAILURE");
      return end(-1);
    }
    RecvCount = 0;
    for (int i = 1; i < 4; ++i) {
      if (buffers[i].BufferType == SECBUFFER_DATA && buffers[i].cbBuffer > 0) {
        const size_t need = static_cast<size_t>(DataCount) + buffers[i].cbBuffer;
        if (DataBuffer.size() < need) DataBuffer.resize(need);
        std::memcpy(DataBuffer.data() + DataCount, buffers[i].pvBuffer, buffers[i].cbBuffer);
        DataCount += static_cast<int32_t>(buffers[i].cbBuffer);
      } else if (buffers[i].BufferType == SECBUFFER_EXTRA && buffers[i].cbBuffer > 0) {
        std::memmove(RecvBuffer.data(), buffers[i].pvBuffer, buffers[i].cbBuffer);
        RecvCount = static_cast<int32_t>(buffers[i].cbBuffer);
      }
    }
    if (status == SEC_I_RENEGOTIATE) {
      // The package refuses renegotiation; waiting for a new handshake would
      // only wait for the read time-out.
      SetError(Error, "DecryptMessage returns SEC_I_RENEGOTIATE");
      return end(-1);
    }
    if (status != SEC_E_OK) {
      SetError(Error, "DecryptMessage returns " + Hex8(Error));
      return end(-1);
    }
    if (DataCount > 0) return DataCount;
  }
}

int TSSLInfo::Decrypt(void* Data, int Size) {
  const int n = Readable();
  if (n <= 0) return n;
  const int count = std::min(n, Size);
  std::memcpy(Data, DataBuffer.data() + DataStart, static_cast<size_t>(count));
  DataStart += count;
  return count;
}

int TSSLInfo::Encrypt(const void* Data, int Size) {
  const auto* source = static_cast<const uint8_t*>(Data);
  int done = 0;
  while (done < Size) {
    const int chunk = std::min<int>(Size - done, static_cast<int>(BuffSizes.cbMaximumMessage));
    std::memcpy(SendBuffer.data() + BuffSizes.cbHeader, source + done, static_cast<size_t>(chunk));
    SecBuffer buffers[4] = {
        {BuffSizes.cbHeader, SECBUFFER_STREAM_HEADER, SendBuffer.data()},
        {static_cast<ULONG>(chunk), SECBUFFER_DATA, SendBuffer.data() + BuffSizes.cbHeader},
        {BuffSizes.cbTrailer, SECBUFFER_STREAM_TRAILER, SendBuffer.data() + BuffSizes.cbHeader + chunk},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = Table()->EncryptMessage(&Context, 0, &message, 0);
    Error = static_cast<uint32_t>(status);
    if (status < 0) {
      SetError(Error, "EncryptMessage returns " + Hex8(Error));
      return -1;
    }
    const int total = static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    const int sent = SendData(SendBuffer.data(), total);
    if (sent <= 0) return sent;
    done += chunk;
  }
  return done;
}

std::string TSSLInfo::GetALPN() {
  std::memset(&alpn_result, 0, sizeof alpn_result);
  const SECURITY_STATUS status = Table()->QueryContextAttributesW(&Context, SECPKG_ATTR_APPLICATION_PROTOCOL, &alpn_result);
  Error = static_cast<uint32_t>(status);
  if (status != SEC_E_OK) {
    SetErrorText("QueryContextAttributes(SECPKG_ATTR_APPLICATION_PROTOCOL) returns " + Hex8(Error));
    return "";
  }
  if (alpn_result.ProtoNegoStatus == SecApplicationProtocolNegotiationStatus_Success &&
      alpn_result.ProtoNegoExt == SecApplicationProtocolNegotiationExt_ALPN) {
    return std::string(reinterpret_cast<const char*>(alpn_result.ProtocolId), alpn_result.ProtocolIdSize);
  }
  return "";
}

TkfxSChannelConnectionInfo* TSSLInfo::GetConnectionInfo() {
  if (ConnectionInfo) return ConnectionInfo.get();
  SecPkgContext_ConnectionInfo info{};
  if (Table()->QueryContextAttributesW(&Context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) return nullptr;
  ConnectionInfo = std::make_unique<TkfxSChannelConnectionInfo>();
  ConnectionInfo->SetProtocol(info.dwProtocol);
  ConnectionInfo->SetCipherId(info.aiCipher);
  ConnectionInfo->FCiperStrength = info.dwCipherStrength;
  ConnectionInfo->SetHashId(info.aiHash);
  ConnectionInfo->FHashStrength = info.dwHashStrength;
  ConnectionInfo->SetExchangeId(info.aiExch);
  ConnectionInfo->FExchangeStrength = info.dwExchStrength;
  return ConnectionInfo.get();
}

// --- the free functions --------------------------------------------------------------------

namespace {

// The connect steps: credentials, the first token, the handshake loop,
// verification and the stream sizes.
bool Connect(TSSLInfo& aSSL) {
  aSSL.SChannel = SCHANNEL_CRED{};
  aSSL.SChannel.dwVersion = SCHANNEL_CRED_VERSION;
  aSSL.SChannel.grbitEnabledProtocols = ProtocolMask(aSSL.Version);
  aSSL.SChannel.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
  if (!aSSL.CipherList.empty()) {
    size_t start = 0;
    while (start <= aSSL.CipherList.size()) {
      size_t end = aSSL.CipherList.find(':', start);
      if (end == std::string::npos) end = aSSL.CipherList.size();
      if (const ALG_ID id = aSSL.GetCipherId(aSSL.CipherList.substr(start, end - start))) {
        aSSL.SupportedAlgs.push_back(id);
      }
      start = end + 1;
    }
    if (!aSSL.SupportedAlgs.empty()) {
      aSSL.SChannel.cSupportedAlgs = static_cast<DWORD>(aSSL.SupportedAlgs.size());
      aSSL.SChannel.palgSupportedAlgs = aSSL.SupportedAlgs.data();
    }
  }
  SECURITY_STATUS status = aSSL.Table()->AcquireCredentialsHandleW(
      nullptr, UNISP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr, &aSSL.SChannel, nullptr, nullptr,
      &aSSL.Credentials, nullptr);
  if (status != SEC_E_OK) {
    aSSL.SetError(static_cast<uint32_t>(status), "AcquireCredentialsHandle returns " + Hex8(static_cast<uint32_t>(status)));
    return false;
  }
  aSSL.Init = TSSLInit{TSSLInitItem::iCredentials};

  std::vector<uint8_t> alpn;
  if (!SChannelALPNBlock(aSSL.ALPNProtocols, alpn)) {
    aSSL.SetError(0, "ALPN protocol name longer than 255 octets");
    return false;
  }
  SecBuffer inBuffer{static_cast<ULONG>(alpn.size()), SECBUFFER_APPLICATION_PROTOCOLS, alpn.data()};
  SecBufferDesc inDesc{SECBUFFER_VERSION, alpn.empty() ? 0u : 1u, &inBuffer};
  SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
  ULONG attributes = 0;
  const std::u16string target = Utf8ToUtf16(aSSL.Servername);
  status = aSSL.Table()->InitializeSecurityContextW(&aSSL.Credentials, nullptr, target.c_str(), kContextRequirements,
                                                    0, SECURITY_NATIVE_DREP, &inDesc, 0, &aSSL.Context,
                                                    &outDesc, &attributes, nullptr);
  if (status != SEC_I_CONTINUE_NEEDED) {
    if (outBuffer.pvBuffer) aSSL.Table()->FreeContextBuffer(outBuffer.pvBuffer);
    aSSL.SetError(static_cast<uint32_t>(status),
                  "First call to InitializeSecurityContext returns " + Hex8(static_cast<uint32_t>(status)));
    return false;
  }
  aSSL.Init.Include(TSSLInitItem::iContext);
  const bool sent = aSSL.SendToken(outBuffer);
  if (outBuffer.pvBuffer) aSSL.Table()->FreeContextBuffer(outBuffer.pvBuffer);
  if (!sent) return false;

  aSSL.RecvBuffer.assign(kHandshakeBufferSize, 0);
  aSSL.RecvCount = 0;
  if (aSSL.ReadLoop() < 0) return false;
  if (aSSL.CertVerify && !aSSL.DoVerifyCertificate()) return false;
  return aSSL.InitBuffer();
}

}  // namespace

TSSLInfo* SChannelOpen(int Socket, const TkfxSChannelCertificate* Certificate, const std::string& ServerName,
                       const std::string& CipherList, const TStringList* ALPNProtocols, TwsTLSVersions Version) {
  tLastError = TLastError{};
  if (!LoadSChannel()) return nullptr;
  auto ssl = std::make_unique<TSSLInfo>();
  ssl->Binding = CurrentBinding();
  if (!ssl->Binding) return nullptr;
  ssl->Socket = Socket;
  ssl->Servername = ServerName;
  ssl->Version = Version;
  ssl->ALPNProtocols = ALPNProtocols;
  if (Certificate) {
    ssl->CertVerify = Certificate->VerifyCertificate();
    ssl->CertHash = Certificate->CertHash();
    ssl->CertFile = Certificate->CertFile();
    ssl->CertFilePassword = Certificate->CertFilePassword();
    ssl->CertStorePath = Certificate->CertStorePath();
    ssl->CertStoreName = Certificate->CertStoreName();
    ssl->RootCertFile = Certificate->RootCertFile();
  }
  ssl->CipherList = CipherList;
  const bool connected = Connect(*ssl);
  // The handshake is over: the password is no longer needed.
  Wipe(ssl->CertFilePassword);
  ssl->ALPNProtocols = nullptr;
  if (connected) return ssl.release();
  const uint32_t code = tLastError.Code;
  ssl.reset();  // releases everything the start acquired
  if (code == static_cast<uint32_t>(SEC_E_ILLEGAL_MESSAGE) || code == static_cast<uint32_t>(SEC_E_INTERNAL_ERROR)) {
    UnloadSChannel();
  }
  return nullptr;
}

void SChannelSetCredentialsCallBack(TSSLInfo* SSL, TCredentialsCallBack CallBack, void* UserData) {
  if (!SSL) return;
  SSL->CredentialsCallBack = std::move(CallBack);
  SSL->UserData = UserData;
}

int SChannelRead(TSSLInfo* SSL, void* Data, int Size) {
  if (!SSL) return -1;
  return SSL->Decrypt(Data, Size);
}

int SChannelWrite(TSSLInfo* SSL, const void* Data, int Size) {
  if (!SSL) return -1;
  return SSL->Encrypt(Data, Size);
}

int SChannelClose(TSSLInfo* SSL) {
  delete SSL;  // runs Clean
  return 0;
}

std::string SChannelGetALPN(TSSLInfo* SSL) { return SSL ? SSL->GetALPN() : ""; }

TkfxSChannelConnectionInfo* SChannelGetConnectionInfo(TSSLInfo* SSL) {
  return SSL ? SSL->GetConnectionInfo() : nullptr;
}

bool SChannelPending(const TSSLInfo* SSL) { return SSL && SSL->Pending(); }

int SChannelReadAvailable(TSSLInfo* SSL) { return SSL ? SSL->ReadAvailable() : -1; }
