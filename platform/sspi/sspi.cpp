// The TLS client security package on OpenSSL 3; see sspi.h for the contract.
//
// A context is one SSL object between two memory BIOs. Input tokens are cut
// into whole TLS records before OpenSSL sees them, so a partial record is
// never half-consumed: it stays with the caller (SEC_E_INCOMPLETE_MESSAGE or
// the tail of a SECBUFFER_EXTRA) until the rest has arrived.
#include "platform/sspi/sspi.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crypt32/crypt32_openssl.h"

namespace {

constexpr uintptr_t kCredentialTag = 0x43524544;  // marks a credentials handle
constexpr uintptr_t kContextTag = 0x43545854;     // marks a context handle
constexpr size_t kRecordHeader = 5;
constexpr size_t kMaxPlaintext = 16384;
// Largest legal record bodies: plaintext plus the expansion each version allows.
constexpr size_t kMaxBodyTls12 = kMaxPlaintext + 2048;
constexpr size_t kMaxBodyTls13 = kMaxPlaintext + 256;

struct SslCtxDeleter {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};

// Immutable once acquired; shared by its handle and the contexts using it.
struct Credential {
  std::shared_ptr<SSL_CTX> ctx;
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;
  STACK_OF(X509)* chain = nullptr;  // issuers sent after the certificate
  bool manualValidation = false;

  Credential() = default;
  Credential(const Credential&) = delete;
  Credential& operator=(const Credential&) = delete;
  ~Credential() {
    X509_free(cert);
    EVP_PKEY_free(key);
    sk_X509_pop_free(chain, X509_free);
  }
};

struct CredentialHolder {
  std::shared_ptr<Credential> credential;
};

enum class State { Handshake, Open, Closed, Failed };

struct Context {
  std::mutex lock;
  SSL* ssl = nullptr;
  BIO* rbio = nullptr;  // owned by ssl
  BIO* wbio = nullptr;  // owned by ssl
  std::shared_ptr<Credential> credential;
  std::string target;
  State state = State::Handshake;
  bool handshakeDone = false;
  SECURITY_STATUS failure = SEC_E_OK;
  bool certificateAsked = false;     // SEC_I_INCOMPLETE_CREDENTIALS was returned
  bool awaitingCredentials = false;  // the handshake waits for the next call's credentials
  bool helloRequest = false;         // set by the message callback

  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { SSL_free(ssl); }
};

Credential* CredentialOf(PCredHandle aHandle) {
  if (!aHandle || aHandle->dwUpper != kCredentialTag || !aHandle->dwLower) return nullptr;
  return reinterpret_cast<CredentialHolder*>(aHandle->dwLower)->credential.get();
}

std::shared_ptr<Credential> SharedCredentialOf(PCredHandle aHandle) {
  if (!CredentialOf(aHandle)) return nullptr;
  return reinterpret_cast<CredentialHolder*>(aHandle->dwLower)->credential;
}

Context* ContextOf(PCtxtHandle aHandle) {
  if (!aHandle || aHandle->dwUpper != kContextTag || !aHandle->dwLower) return nullptr;
  return reinterpret_cast<Context*>(aHandle->dwLower);
}

SecBuffer* FindBuffer(PSecBufferDesc aDesc, ULONG aType) {
  for (ULONG i = 0; aDesc && aDesc->pBuffers && i < aDesc->cBuffers; ++i) {
    if (aDesc->pBuffers[i].BufferType == aType) return &aDesc->pBuffers[i];
  }
  return nullptr;
}

std::vector<uint8_t> Drain(BIO* aBio) {
  std::vector<uint8_t> out(BIO_ctrl_pending(aBio));
  if (!out.empty()) {
    const int n = BIO_read(aBio, out.data(), static_cast<int>(out.size()));
    out.resize(std::max(n, 0));
  }
  return out;
}

size_t MaxBody(const SSL* aSsl) {
  return SSL_version(aSsl) == TLS1_3_VERSION ? kMaxBodyTls13 : kMaxBodyTls12;
}

// The length of the leading whole records of aData. A header that no legal
// record has (unknown type, oversized length) counts as whole, so that OpenSSL
// sees it and fails the connection instead of waiting for octets that will
// never make it valid.
size_t WholeRecords(const uint8_t* aData, size_t aSize, size_t* aMissing) {
  size_t at = 0;
  *aMissing = 0;
  while (aSize - at >= kRecordHeader) {
    const uint8_t type = aData[at];
    const size_t body = size_t{aData[at + 3]} << 8 | aData[at + 4];
    if (type < 20 || type > 24 || aData[at + 1] != 3 || body > kMaxBodyTls12) {
      return at + kRecordHeader;
    }
    if (aSize - at < kRecordHeader + body) {
      *aMissing = kRecordHeader + body - (aSize - at);
      return at;
    }
    at += kRecordHeader + body;
  }
  if (at < aSize) *aMissing = kRecordHeader - (aSize - at);
  return at;
}

bool IsIpLiteral(const std::string& aName) {
  unsigned char address[16];
  return inet_pton(AF_INET, aName.c_str(), address) == 1 ||
         inet_pton(AF_INET6, aName.c_str(), address) == 1;
}

// The status for an OpenSSL failure on the thread's error queue.
SECURITY_STATUS StatusOfSslError() {
  const unsigned long error = ERR_peek_last_error();
  ERR_clear_error();
  if (ERR_GET_LIB(error) != ERR_LIB_SSL) return error ? SEC_E_INTERNAL_ERROR : SEC_E_ILLEGAL_MESSAGE;
  switch (ERR_GET_REASON(error)) {
    case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
    case SSL_R_DECRYPTION_FAILED:
      return SEC_E_DECRYPT_FAILURE;
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_WRONG_SSL_VERSION:
      return SEC_E_ALGORITHM_MISMATCH;
    default:
      return SEC_E_ILLEGAL_MESSAGE;
  }
}

void SetCertificate(SSL* aSsl, const Credential& aCredential) {
  SSL_use_certificate(aSsl, aCredential.cert);
  SSL_use_PrivateKey(aSsl, aCredential.key);
  if (aCredential.chain) SSL_set1_chain(aSsl, aCredential.chain);
}

// Runs when the server has asked for a certificate. Without one in the
// credentials the handshake stops once (SEC_I_INCOMPLETE_CREDENTIALS); the
// next call brings new credentials or continues without a certificate.
int CertificateCallback(SSL* aSsl, void*) {
  auto* context = static_cast<Context*>(SSL_get_app_data(aSsl));
  if (context->credential->cert) {
    SetCertificate(aSsl, *context->credential);
    return 1;
  }
  if (!context->certificateAsked) {
    context->certificateAsked = true;
    return -1;
  }
  return 1;
}

void MessageCallback(int aWrite, int, int aContentType, const void* aBuffer, size_t aLength,
                     SSL* aSsl, void*) {
  if (aWrite || aContentType != SSL3_RT_HANDSHAKE || aLength < 1) return;
  if (static_cast<const uint8_t*>(aBuffer)[0] == SSL3_MT_HELLO_REQUEST) {
    static_cast<Context*>(SSL_get_app_data(aSsl))->helloRequest = true;
  }
}

// --- algorithm selection ----------------------------------------------------

bool Listed(const std::vector<ALG_ID>& aList, std::initializer_list<ALG_ID> aAny) {
  for (ALG_ID id : aAny) {
    if (std::find(aList.begin(), aList.end(), id) != aList.end()) return true;
  }
  return false;
}

bool EndsWith(const std::string& aText, const std::string& aTail) {
  return aText.size() >= aTail.size() && aText.compare(aText.size() - aTail.size(), aTail.size(), aTail) == 0;
}

// Whether a suite uses only algorithms of the list. The list restricts each
// class it names (bulk cipher, hash, key exchange, signature); a class the
// list does not name is free.
bool SuiteAllowed(const SSL_CIPHER* aCipher, const std::vector<ALG_ID>& aAlgs) {
  std::vector<ALG_ID> ciphers, hashes, exchanges, signatures;
  for (ALG_ID id : aAlgs) {
    switch (id & 0xE000) {
      case 0x6000: ciphers.push_back(id); break;
      case 0x8000: hashes.push_back(id); break;
      case 0xA000: exchanges.push_back(id); break;
      case 0x2000: signatures.push_back(id); break;
      default: break;
    }
  }
  const std::string name = SSL_CIPHER_standard_name(aCipher) ? SSL_CIPHER_standard_name(aCipher) : "";
  if (!ciphers.empty()) {
    bool ok = false;
    if (name.find("_AES_128_") != std::string::npos) ok = Listed(ciphers, {CALG_AES_128, CALG_AES});
    if (name.find("_AES_256_") != std::string::npos) ok = Listed(ciphers, {CALG_AES_256, CALG_AES});
    if (name.find("_3DES_") != std::string::npos) ok = Listed(ciphers, {CALG_3DES});
    if (name.find("_RC4_") != std::string::npos) ok = Listed(ciphers, {CALG_RC4});
    if (name.find("_DES_") != std::string::npos) ok = Listed(ciphers, {CALG_DES});
    if (!ok) return false;
  }
  if (!hashes.empty()) {
    bool ok = false;
    if (EndsWith(name, "_SHA")) ok = Listed(hashes, {CALG_SHA1});
    if (EndsWith(name, "_SHA256")) ok = Listed(hashes, {CALG_SHA_256});
    if (EndsWith(name, "_SHA384")) ok = Listed(hashes, {CALG_SHA_384});
    if (EndsWith(name, "_MD5")) ok = Listed(hashes, {CALG_MD5});
    if (!ok) return false;
  }
  if (!exchanges.empty()) {
    bool ok = false;
    switch (SSL_CIPHER_get_kx_nid(aCipher)) {
      case NID_kx_ecdhe: ok = Listed(exchanges, {CALG_ECDH_EPHEM, CALG_ECDH}); break;
      case NID_kx_dhe: ok = Listed(exchanges, {CALG_DH_EPHEM}); break;
      case NID_kx_rsa: ok = Listed(exchanges, {CALG_RSA_KEYX}); break;
      case NID_kx_any: ok = Listed(exchanges, {CALG_ECDH_EPHEM, CALG_ECDH, CALG_DH_EPHEM}); break;
      default: break;
    }
    if (!ok) return false;
  }
  if (!signatures.empty()) {
    bool ok = false;
    switch (SSL_CIPHER_get_auth_nid(aCipher)) {
      case NID_auth_ecdsa: ok = Listed(signatures, {CALG_ECDSA}); break;
      case NID_auth_rsa: ok = Listed(signatures, {CALG_RSA_SIGN}); break;
      case NID_auth_dss: ok = Listed(signatures, {CALG_DSS_SIGN}); break;
      case NID_auth_any: ok = true; break;
      default: break;
    }
    if (!ok) return false;
  }
  return true;
}

// Restricts the context's suites to the algorithms and strengths asked for.
// Returns false when no suite remains.
bool SelectSuites(SSL_CTX* aCtx, const SCHANNEL_CRED& aCred, bool aLegacy) {
  const std::string level = aLegacy ? "@SECLEVEL=0" : "@SECLEVEL=1";
  if (aCred.cSupportedAlgs == 0 && aCred.dwMinimumCipherStrength == 0 &&
      aCred.dwMaximumCipherStrength == 0) {
    return SSL_CTX_set_cipher_list(aCtx, ("DEFAULT:" + level).c_str()) == 1;
  }
  const std::vector<ALG_ID> algs(aCred.palgSupportedAlgs,
                                 aCred.palgSupportedAlgs ? aCred.palgSupportedAlgs + aCred.cSupportedAlgs
                                                         : aCred.palgSupportedAlgs);
  // Every suite the library offers is a candidate.
  std::unique_ptr<SSL_CTX, SslCtxDeleter> all(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_cipher_list(all.get(), ("ALL:" + level).c_str());
  SSL_CTX_set_ciphersuites(all.get(),
                           "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
  std::string legacyList, modernList;
  STACK_OF(SSL_CIPHER)* suites = SSL_CTX_get_ciphers(all.get());
  for (int i = 0; i < sk_SSL_CIPHER_num(suites); ++i) {
    const SSL_CIPHER* suite = sk_SSL_CIPHER_value(suites, i);
    const int bits = SSL_CIPHER_get_bits(suite, nullptr);
    if (aCred.dwMinimumCipherStrength && bits < static_cast<int>(aCred.dwMinimumCipherStrength)) continue;
    if (aCred.dwMaximumCipherStrength && bits > static_cast<int>(aCred.dwMaximumCipherStrength)) continue;
    if (!algs.empty() && !SuiteAllowed(suite, algs)) continue;
    std::string& list = SSL_CIPHER_get_protocol_id(suite) >> 8 == 0x13 ? modernList : legacyList;
    list += (list.empty() ? "" : ":") + std::string(SSL_CIPHER_get_name(suite));
  }
  if (legacyList.empty() && modernList.empty()) return false;
  SSL_CTX_set_ciphersuites(aCtx, modernList.c_str());
  if (legacyList.empty()) {
    // No TLS 1.2 suite is left; TLS 1.3 alone can still be agreed.
    SSL_CTX_set_cipher_list(aCtx, "eNULL:!eNULL");
  } else {
    SSL_CTX_set_cipher_list(aCtx, (legacyList + ":" + level).c_str());
  }
  ERR_clear_error();
  return true;
}

// The protocol bit of the connection, as the connection information reports it.
DWORD ProtocolBit(const SSL* aSsl) {
  switch (SSL_version(aSsl)) {
    case TLS1_VERSION: return SP_PROT_TLS1_0_CLIENT;
    case TLS1_1_VERSION: return SP_PROT_TLS1_1_CLIENT;
    case TLS1_2_VERSION: return SP_PROT_TLS1_2_CLIENT;
    case TLS1_3_VERSION: return SP_PROT_TLS1_3_CLIENT;
    default: return 0;
  }
}

// --- server verification -------------------------------------------------------

SECURITY_STATUS VerifyServer(Context& aContext) {
  STACK_OF(X509)* peerChain = SSL_get_peer_cert_chain(aContext.ssl);
  if (!peerChain || sk_X509_num(peerChain) == 0) return SEC_E_CERT_UNKNOWN;
  HCERTSTORE store = CertStoreFromX509Stack(peerChain);
  PCCERT_CONTEXT leaf = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr);
  LPSTR usage = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  CERT_CHAIN_PARA chainPara{sizeof(CERT_CHAIN_PARA), {USAGE_MATCH_TYPE_OR, {1, &usage}}};
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  SECURITY_STATUS status = SEC_E_CERT_UNKNOWN;
  if (CertGetCertificateChain(nullptr, leaf, nullptr, store, &chainPara, 0, nullptr, &chain)) {
    const std::u16string name = Utf8ToUtf16(aContext.target);
    HTTPSPolicyCallbackData https{sizeof(HTTPSPolicyCallbackData), AUTHTYPE_SERVER, 0, name.c_str()};
    CERT_CHAIN_POLICY_PARA policy{sizeof(CERT_CHAIN_POLICY_PARA), 0, &https};
    CERT_CHAIN_POLICY_STATUS result{sizeof(CERT_CHAIN_POLICY_STATUS), 0, 0, 0, nullptr};
    if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result)) {
      switch (result.dwError) {
        case 0: status = SEC_E_OK; break;
        case CERT_E_UNTRUSTEDROOT:
        case CERT_E_CHAINING: status = SEC_E_UNTRUSTED_ROOT; break;
        case CERT_E_CN_NO_MATCH: status = SEC_E_WRONG_PRINCIPAL; break;
        case CERT_E_EXPIRED: status = SEC_E_CERT_EXPIRED; break;
        default: status = SEC_E_CERT_UNKNOWN; break;
      }
    }
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(leaf);
  CertCloseStore(store, 0);
  return status;
}

// --- helpers for the token calls --------------------------------------------------

SECURITY_STATUS PutToken(PSecBufferDesc aOutput, ULONG aContextReq, const std::vector<uint8_t>& aToken) {
  SecBuffer* token = FindBuffer(aOutput, SECBUFFER_TOKEN);
  if (!token) return aToken.empty() ? SEC_E_OK : SEC_E_INVALID_TOKEN;
  if (aContextReq & ISC_REQ_ALLOCATE_MEMORY) {
    token->pvBuffer = nullptr;
    token->cbBuffer = 0;
    if (aToken.empty()) return SEC_E_OK;
    token->pvBuffer = std::malloc(aToken.size());
    if (!token->pvBuffer) return SEC_E_INSUFFICIENT_MEMORY;
  } else if (token->cbBuffer < aToken.size() || (!token->pvBuffer && !aToken.empty())) {
    return SEC_E_BUFFER_TOO_SMALL;
  }
  if (!aToken.empty()) std::memcpy(token->pvBuffer, aToken.data(), aToken.size());
  token->cbBuffer = static_cast<ULONG>(aToken.size());
  return SEC_E_OK;
}

// Reports the unconsumed tail of the input token in its second buffer.
void PutExtra(PSecBufferDesc aInput, size_t aExtra) {
  if (!aInput || aInput->cBuffers < 2 || !aInput->pBuffers) return;
  SecBuffer& second = aInput->pBuffers[1];
  if (aExtra > 0) {
    second.BufferType = SECBUFFER_EXTRA;
    second.cbBuffer = static_cast<ULONG>(aExtra);
    second.pvBuffer = nullptr;
  } else if (second.BufferType == SECBUFFER_EXTRA) {
    second.BufferType = SECBUFFER_EMPTY;
    second.cbBuffer = 0;
  }
}

// Reads the ALPN offer of a SECBUFFER_APPLICATION_PROTOCOLS block:
// ProtocolListsSize (32 bit), then lists of {ProtoNegoExt (32 bit),
// ProtocolListSize (16 bit), length-prefixed names}.
bool SetAlpn(SSL* aSsl, const SecBuffer& aBlock) {
  const auto* data = static_cast<const uint8_t*>(aBlock.pvBuffer);
  if (!data || aBlock.cbBuffer < 4) return false;
  uint32_t listsSize;
  std::memcpy(&listsSize, data, 4);
  if (listsSize > aBlock.cbBuffer - 4) return false;
  size_t at = 4;
  const size_t end = 4 + listsSize;
  while (at < end) {
    if (end - at < 6) return false;
    uint32_t ext;
    uint16_t size;
    std::memcpy(&ext, data + at, 4);
    std::memcpy(&size, data + at + 4, 2);
    at += 6;
    if (size > end - at) return false;
    if (ext == SecApplicationProtocolNegotiationExt_ALPN && size > 0) {
      for (size_t p = at; p < at + size; p += 1 + data[p]) {
        if (data[p] == 0 || p + 1 + data[p] > at + size) return false;
      }
      if (SSL_set_alpn_protos(aSsl, data + at, size) != 0) return false;
    }
    at += size;
  }
  return true;
}

SECURITY_STATUS Fail(Context& aContext, SECURITY_STATUS aStatus) {
  aContext.state = State::Failed;
  aContext.failure = aStatus;
  return aStatus;
}

// One step of the handshake on the records of aInput.
SECURITY_STATUS Handshake(Context& aContext, PSecBufferDesc aInput, ULONG aContextReq,
                          PSecBufferDesc aOutput) {
  SecBuffer* token = aInput && aInput->cBuffers > 0 && aInput->pBuffers &&
                             aInput->pBuffers[0].BufferType == SECBUFFER_TOKEN
                         ? &aInput->pBuffers[0]
                         : nullptr;
  const auto* data = token ? static_cast<const uint8_t*>(token->pvBuffer) : nullptr;
  const size_t size = data ? token->cbBuffer : 0;
  size_t missing = 0;
  const size_t whole = WholeRecords(data, size, &missing);
  if (whole == 0 && !aContext.awaitingCredentials) {
    if (SecBuffer* free = aInput && aInput->cBuffers > 1 ? &aInput->pBuffers[1] : nullptr) {
      free->BufferType = SECBUFFER_MISSING;
      free->cbBuffer = static_cast<ULONG>(missing);
    }
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  aContext.awaitingCredentials = false;
  if (whole > 0) BIO_write(aContext.rbio, data, static_cast<int>(whole));
  ERR_clear_error();
  const int result = SSL_do_handshake(aContext.ssl);
  const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(aContext.ssl, result);
  SECURITY_STATUS status;
  if (result == 1) {
    aContext.state = State::Open;
    aContext.handshakeDone = true;
    status = aContext.credential->manualValidation ? SEC_E_OK : VerifyServer(aContext);
  } else if (error == SSL_ERROR_WANT_READ) {
    status = SEC_I_CONTINUE_NEEDED;
  } else if (error == SSL_ERROR_WANT_X509_LOOKUP) {
    aContext.awaitingCredentials = true;
    status = SEC_I_INCOMPLETE_CREDENTIALS;
  } else {
    status = StatusOfSslError();
  }
  ERR_clear_error();
  const size_t unread = Drain(aContext.rbio).size();
  // With ISC_REQ_EXTENDED_ERROR a failure still hands out the alert to send.
  const std::vector<uint8_t> out = Drain(aContext.wbio);
  const SECURITY_STATUS put = PutToken(aOutput, aContextReq, out);
  if (status < 0) return Fail(aContext, status);
  if (put != SEC_E_OK) return Fail(aContext, put);
  PutExtra(aInput, unread + (size - whole));
  return status;
}

// The library context of a protocol and algorithm choice. Making one costs
// more than a handshake's worth of work, and nothing in it depends on the
// credentials' certificate (that is set per connection), so credentials of
// the same choice share one.
SECURITY_STATUS SharedContext(const SCHANNEL_CRED& aCred, std::shared_ptr<SSL_CTX>& aContext) {
  // Server bits count as their client twins; SSL 3.0 is not offered.
  DWORD mask = aCred.grbitEnabledProtocols;
  mask = (mask & 0x2AA0) | ((mask & 0x1550) << 1);
  if (mask == 0) mask = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  const std::pair<DWORD, int> versions[] = {{SP_PROT_TLS1_0_CLIENT, TLS1_VERSION},
                                            {SP_PROT_TLS1_1_CLIENT, TLS1_1_VERSION},
                                            {SP_PROT_TLS1_2_CLIENT, TLS1_2_VERSION},
                                            {SP_PROT_TLS1_3_CLIENT, TLS1_3_VERSION}};
  int minimum = 0, maximum = 0;
  for (const auto& [bit, version] : versions) {
    if (mask & bit) {
      if (!minimum) minimum = version;
      maximum = version;
    }
  }
  if (!minimum) return SEC_E_ALGORITHM_MISMATCH;
  std::vector<ALG_ID> algs(aCred.palgSupportedAlgs,
                           aCred.palgSupportedAlgs ? aCred.palgSupportedAlgs + aCred.cSupportedAlgs
                                                   : aCred.palgSupportedAlgs);
  std::sort(algs.begin(), algs.end());
  std::string key = std::to_string(minimum) + "/" + std::to_string(maximum) + "/" +
                    std::to_string(aCred.dwMinimumCipherStrength) + "/" +
                    std::to_string(aCred.dwMaximumCipherStrength);
  for (ALG_ID id : algs) key += "/" + std::to_string(id);

  static std::mutex lock;
  static std::map<std::string, std::shared_ptr<SSL_CTX>> contexts;
  std::lock_guard<std::mutex> guard(lock);
  if (auto found = contexts.find(key); found != contexts.end()) {
    aContext = found->second;
    return SEC_E_OK;
  }
  std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  SSL_CTX* ctx = context.get();
  if (!ctx) return SEC_E_INTERNAL_ERROR;
  SSL_CTX_set_min_proto_version(ctx, minimum);
  SSL_CTX_set_max_proto_version(ctx, maximum);
  // TLS 1.0 and 1.1 need the old signature and digest algorithms.
  const bool legacy = minimum < TLS1_2_VERSION;
  if (legacy) SSL_CTX_set_security_level(ctx, 0);
  if (!SelectSuites(ctx, aCred, legacy)) return SEC_E_ALGORITHM_MISMATCH;
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_cert_cb(ctx, CertificateCallback, nullptr);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  ERR_clear_error();
  contexts.emplace(key, context);
  aContext = std::move(context);
  return SEC_E_OK;
}

}  // namespace

// ---------------------------------------------------------------------------

SECURITY_STATUS AcquireCredentialsHandleW(const WCHAR*, const WCHAR* pszPackage, ULONG fCredentialUse,
                                          void*, void* pAuthData, void*, void*,
                                          PCredHandle phCredential, TimeStamp* ptsExpiry) {
  if (!phCredential) return SEC_E_INVALID_HANDLE;
  if (!pszPackage || std::u16string(pszPackage) != UNISP_NAME_W) return SEC_E_SECPKG_NOT_FOUND;
  if (fCredentialUse != SECPKG_CRED_OUTBOUND) return SEC_E_UNSUPPORTED_FUNCTION;
  SCHANNEL_CRED defaults{};
  defaults.dwVersion = SCHANNEL_CRED_VERSION;
  const SCHANNEL_CRED& cred = pAuthData ? *static_cast<const SCHANNEL_CRED*>(pAuthData) : defaults;
  if (cred.dwVersion != SCHANNEL_CRED_VERSION) return SEC_E_UNKNOWN_CREDENTIALS;

  auto credential = std::make_shared<Credential>();
  const SECURITY_STATUS made = SharedContext(cred, credential->ctx);
  if (made != SEC_E_OK) return made;

  if (cred.cCreds > 0 && cred.paCred && cred.paCred[0]) {
    PCCERT_CONTEXT certificate = cred.paCred[0];
    EVP_PKEY* key = CertContextPrivateKey(certificate);
    if (!key) return SEC_E_NO_CREDENTIALS;
    credential->cert = CertContextX509(certificate);
    X509_up_ref(credential->cert);
    EVP_PKEY_up_ref(key);
    credential->key = key;
    credential->chain = sk_X509_new_null();
    if (certificate->hCertStore) {
      CertStoreForEach(certificate->hCertStore, [&](X509* aCert, EVP_PKEY*) {
        if (X509_cmp(aCert, credential->cert) != 0 && X509_check_ca(aCert) > 0) {
          X509_up_ref(aCert);
          sk_X509_push(credential->chain, aCert);
        }
      });
    }
  }
  credential->manualValidation = (cred.dwFlags & SCH_CRED_MANUAL_CRED_VALIDATION) != 0;

  auto* holder = new CredentialHolder{std::move(credential)};
  phCredential->dwLower = reinterpret_cast<uintptr_t>(holder);
  phCredential->dwUpper = kCredentialTag;
  if (ptsExpiry) *ptsExpiry = INT64_MAX;
  return SEC_E_OK;
}

SECURITY_STATUS FreeCredentialsHandle(PCredHandle phCredential) {
  if (!CredentialOf(phCredential)) return SEC_E_INVALID_HANDLE;
  delete reinterpret_cast<CredentialHolder*>(phCredential->dwLower);
  phCredential->dwLower = 0;
  phCredential->dwUpper = 0;
  return SEC_E_OK;
}

SECURITY_STATUS InitializeSecurityContextW(PCredHandle phCredential, PCtxtHandle phContext,
                                           const WCHAR* pszTargetName, ULONG fContextReq, ULONG,
                                           ULONG, PSecBufferDesc pInput, ULONG,
                                           PCtxtHandle phNewContext, PSecBufferDesc pOutput,
                                           ULONG* pfContextAttr, TimeStamp* ptsExpiry) {
  if (pfContextAttr) {
    *pfContextAttr = fContextReq & (ISC_RET_REPLAY_DETECT | ISC_RET_SEQUENCE_DETECT |
                                    ISC_RET_CONFIDENTIALITY | ISC_RET_ALLOCATED_MEMORY |
                                    ISC_RET_EXTENDED_ERROR | ISC_RET_STREAM);
  }
  if (ptsExpiry) *ptsExpiry = INT64_MAX;
  std::shared_ptr<Credential> credential = SharedCredentialOf(phCredential);

  if (!phContext) {
    // The first call: a new context and the ClientHello.
    if (!credential || !phNewContext) return SEC_E_INVALID_HANDLE;
    auto context = std::make_unique<Context>();
    context->credential = credential;
    context->target = pszTargetName ? Utf16ToUtf8(pszTargetName) : "";
    context->ssl = SSL_new(credential->ctx.get());
    context->rbio = BIO_new(BIO_s_mem());
    context->wbio = BIO_new(BIO_s_mem());
    if (!context->ssl || !context->rbio || !context->wbio) {
      BIO_free(context->rbio);
      BIO_free(context->wbio);
      return SEC_E_INSUFFICIENT_MEMORY;
    }
    SSL_set_bio(context->ssl, context->rbio, context->wbio);
    SSL_set_app_data(context->ssl, context.get());
    SSL_set_msg_callback(context->ssl, MessageCallback);
    SSL_set_connect_state(context->ssl);
    if (!context->target.empty() && !IsIpLiteral(context->target)) {
      SSL_set_tlsext_host_name(context->ssl, context->target.c_str());
    }
    if (SecBuffer* alpn = FindBuffer(pInput, SECBUFFER_APPLICATION_PROTOCOLS)) {
      if (!SetAlpn(context->ssl, *alpn)) return SEC_E_INVALID_TOKEN;
    }
    ERR_clear_error();
    const int result = SSL_do_handshake(context->ssl);
    if (result == 1 || SSL_get_error(context->ssl, result) != SSL_ERROR_WANT_READ) {
      ERR_clear_error();
      return SEC_E_INTERNAL_ERROR;
    }
    const SECURITY_STATUS put = PutToken(pOutput, fContextReq, Drain(context->wbio));
    if (put != SEC_E_OK) return put;
    phNewContext->dwLower = reinterpret_cast<uintptr_t>(context.release());
    phNewContext->dwUpper = kContextTag;
    return SEC_I_CONTINUE_NEEDED;
  }

  Context* context = ContextOf(phContext);
  if (!context) return SEC_E_INVALID_HANDLE;
  std::lock_guard<std::mutex> guard(context->lock);
  switch (context->state) {
    case State::Failed:
      return context->failure;
    case State::Open:
    case State::Closed:
      return SEC_E_UNSUPPORTED_FUNCTION;  // renegotiation is not offered
    case State::Handshake:
      break;
  }
  if (credential) context->credential = credential;
  if (phNewContext && phNewContext != phContext) *phNewContext = *phContext;
  return Handshake(*context, pInput, fContextReq, pOutput);
}

SECURITY_STATUS DeleteSecurityContext(PCtxtHandle phContext) {
  Context* context = ContextOf(phContext);
  if (!context) return SEC_E_INVALID_HANDLE;
  delete context;
  phContext->dwLower = 0;
  phContext->dwUpper = 0;
  return SEC_E_OK;
}

SECURITY_STATUS QueryContextAttributesW(PCtxtHandle phContext, ULONG ulAttribute, void* pBuffer) {
  Context* context = ContextOf(phContext);
  if (!context) return SEC_E_INVALID_HANDLE;
  if (!pBuffer) return SEC_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(context->lock);
  SSL* ssl = context->ssl;
  const bool established = context->handshakeDone;
  switch (ulAttribute) {
    case SECPKG_ATTR_STREAM_SIZES: {
      if (!established) return SEC_E_INVALID_HANDLE;
      auto* sizes = static_cast<SecPkgContext_StreamSizes*>(pBuffer);
      sizes->cbHeader = kRecordHeader;
      sizes->cbMaximumMessage = kMaxPlaintext;
      sizes->cbTrailer = static_cast<ULONG>(MaxBody(ssl) - kMaxPlaintext);
      sizes->cBuffers = 4;
      const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
      const EVP_CIPHER* evp = cipher ? EVP_get_cipherbynid(SSL_CIPHER_get_cipher_nid(cipher)) : nullptr;
      sizes->cbBlockSize = evp ? static_cast<ULONG>(EVP_CIPHER_get_block_size(evp)) : 1;
      return SEC_E_OK;
    }
    case SECPKG_ATTR_APPLICATION_PROTOCOL: {
      auto* protocol = static_cast<SecPkgContext_ApplicationProtocol*>(pBuffer);
      std::memset(protocol, 0, sizeof *protocol);
      const unsigned char* selected = nullptr;
      unsigned int length = 0;
      if (established) SSL_get0_alpn_selected(ssl, &selected, &length);
      protocol->ProtoNegoExt = SecApplicationProtocolNegotiationExt_ALPN;
      if (selected && length > 0 && length <= sizeof protocol->ProtocolId) {
        protocol->ProtoNegoStatus = SecApplicationProtocolNegotiationStatus_Success;
        protocol->ProtocolIdSize = static_cast<uint8_t>(length);
        std::memcpy(protocol->ProtocolId, selected, length);
      }
      return SEC_E_OK;
    }
    case SECPKG_ATTR_REMOTE_CERT_CONTEXT: {
      STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl);
      if (!chain || sk_X509_num(chain) == 0) return SEC_E_NO_CREDENTIALS;
      HCERTSTORE store = CertStoreFromX509Stack(chain);
      *static_cast<PCCERT_CONTEXT*>(pBuffer) =
          CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr);
      CertCloseStore(store, 0);  // the context keeps it
      return SEC_E_OK;
    }
    case SECPKG_ATTR_ISSUER_LIST_EX: {
      auto* list = static_cast<SecPkgContext_IssuerListInfoEx*>(pBuffer);
      // On a client this is the list the server sent with its certificate request.
      const STACK_OF(X509_NAME)* names = SSL_get_client_CA_list(ssl);
      const int count = names ? sk_X509_NAME_num(names) : 0;
      std::vector<std::vector<uint8_t>> ders;
      size_t total = 0;
      for (int i = 0; i < count; ++i) {
        const X509_NAME* name = sk_X509_NAME_value(names, i);
        std::vector<uint8_t> der(std::max(0, i2d_X509_NAME(name, nullptr)));
        uint8_t* p = der.data();
        if (!der.empty()) i2d_X509_NAME(name, &p);
        total += der.size();
        ders.push_back(std::move(der));
      }
      // One block: the blob array, then the names it points at.
      auto* block = static_cast<uint8_t*>(std::malloc(sizeof(CERT_NAME_BLOB) * ders.size() + total + 1));
      if (!block) return SEC_E_INSUFFICIENT_MEMORY;
      auto* blobs = reinterpret_cast<CERT_NAME_BLOB*>(block);
      uint8_t* bytes = block + sizeof(CERT_NAME_BLOB) * ders.size();
      for (size_t i = 0; i < ders.size(); ++i) {
        std::memcpy(bytes, ders[i].data(), ders[i].size());
        blobs[i] = {static_cast<DWORD>(ders[i].size()), bytes};
        bytes += ders[i].size();
      }
      list->aIssuers = blobs;
      list->cIssuers = static_cast<DWORD>(ders.size());
      return SEC_E_OK;
    }
    case SECPKG_ATTR_CONNECTION_INFO: {
      if (!established) return SEC_E_INVALID_HANDLE;
      const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
      if (!cipher) return SEC_E_INVALID_HANDLE;
      auto* info = static_cast<SecPkgContext_ConnectionInfo*>(pBuffer);
      std::memset(info, 0, sizeof *info);
      info->dwProtocol = ProtocolBit(ssl);
      const std::string name = SSL_CIPHER_standard_name(cipher) ? SSL_CIPHER_standard_name(cipher) : "";
      if (name.find("_AES_128_") != std::string::npos) info->aiCipher = CALG_AES_128;
      if (name.find("_AES_256_") != std::string::npos) info->aiCipher = CALG_AES_256;
      if (name.find("_3DES_") != std::string::npos) info->aiCipher = CALG_3DES;
      info->dwCipherStrength = static_cast<DWORD>(SSL_CIPHER_get_bits(cipher, nullptr));
      const EVP_MD* md = SSL_CIPHER_get_handshake_digest(cipher);
      if (const int digest = SSL_CIPHER_get_digest_nid(cipher); digest != NID_undef) {
        md = EVP_get_digestbynid(digest);
      }
      if (md) {
        switch (EVP_MD_get_type(md)) {
          case NID_sha1: info->aiHash = CALG_SHA1; break;
          case NID_sha256: info->aiHash = CALG_SHA_256; break;
          case NID_sha384: info->aiHash = CALG_SHA_384; break;
          case NID_sha512: info->aiHash = CALG_SHA_512; break;
          default: break;
        }
        info->dwHashStrength = static_cast<DWORD>(EVP_MD_get_size(md) * 8);
      }
      switch (SSL_CIPHER_get_kx_nid(cipher)) {
        case NID_kx_ecdhe: info->aiExch = CALG_ECDH_EPHEM; break;
        case NID_kx_dhe: info->aiExch = CALG_DH_EPHEM; break;
        case NID_kx_rsa: info->aiExch = CALG_RSA_KEYX; break;
        default: info->aiExch = CALG_ECDH_EPHEM; break;  // TLS 1.3 groups here are elliptic
      }
      EVP_PKEY* exchangeKey = nullptr;
      if (SSL_get_peer_tmp_key(ssl, &exchangeKey) == 1) {
        info->dwExchStrength = static_cast<DWORD>(EVP_PKEY_get_bits(exchangeKey));
        EVP_PKEY_free(exchangeKey);
      }
      ERR_clear_error();
      return SEC_E_OK;
    }
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

SECURITY_STATUS FreeContextBuffer(void* pvContextBuffer) {
  std::free(pvContextBuffer);
  return SEC_E_OK;
}

SECURITY_STATUS EncryptMessage(PCtxtHandle phContext, ULONG, PSecBufferDesc pMessage, ULONG) {
  Context* context = ContextOf(phContext);
  if (!context) return SEC_E_INVALID_HANDLE;
  SecBuffer* header = FindBuffer(pMessage, SECBUFFER_STREAM_HEADER);
  SecBuffer* data = FindBuffer(pMessage, SECBUFFER_DATA);
  SecBuffer* trailer = FindBuffer(pMessage, SECBUFFER_STREAM_TRAILER);
  if (!header || !data || !trailer || !header->pvBuffer) return SEC_E_INVALID_TOKEN;
  auto* start = static_cast<uint8_t*>(header->pvBuffer);
  if (data->pvBuffer != start + header->cbBuffer ||
      trailer->pvBuffer != start + header->cbBuffer + data->cbBuffer) {
    return SEC_E_INVALID_TOKEN;  // the record is written in one piece
  }
  if (data->cbBuffer > kMaxPlaintext) return SEC_E_BUFFER_TOO_SMALL;
  std::lock_guard<std::mutex> guard(context->lock);
  if (context->state == State::Failed) return context->failure;
  if (context->state == State::Handshake) return SEC_E_CONTEXT_EXPIRED;
  const size_t capacity = size_t{header->cbBuffer} + data->cbBuffer + trailer->cbBuffer;
  if (data->cbBuffer > 0) {
    ERR_clear_error();
    if (SSL_write(context->ssl, data->pvBuffer, static_cast<int>(data->cbBuffer)) <= 0) {
      return Fail(*context, StatusOfSslError());
    }
  }
  // Anything queued by the reading side (a key-update answer, an alert)
  // leaves first, then the record.
  const std::vector<uint8_t> out = Drain(context->wbio);
  if (out.size() > capacity) return Fail(*context, SEC_E_BUFFER_TOO_SMALL);
  std::memcpy(start, out.data(), out.size());
  // Only the sum of the three lengths has a meaning for the caller: the
  // payload keeps its length, the header its own (or less), the trailer the rest.
  const size_t payload = std::min<size_t>(data->cbBuffer, out.size());
  const size_t headLength = std::min<size_t>(out.size() - payload, header->cbBuffer);
  header->cbBuffer = static_cast<ULONG>(headLength);
  data->cbBuffer = static_cast<ULONG>(payload);
  trailer->cbBuffer = static_cast<ULONG>(out.size() - headLength - payload);
  return SEC_E_OK;
}

SECURITY_STATUS DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, ULONG, ULONG* pfQOP) {
  Context* context = ContextOf(phContext);
  if (!context) return SEC_E_INVALID_HANDLE;
  if (pfQOP) *pfQOP = 0;
  if (!pMessage || !pMessage->pBuffers || pMessage->cBuffers < 4) return SEC_E_INVALID_TOKEN;
  SecBuffer* buffers = pMessage->pBuffers;
  SecBuffer* input = FindBuffer(pMessage, SECBUFFER_DATA);
  if (!input || !input->pvBuffer) return SEC_E_INVALID_TOKEN;
  auto* bytes = static_cast<uint8_t*>(input->pvBuffer);
  const size_t size = input->cbBuffer;
  std::lock_guard<std::mutex> guard(context->lock);
  switch (context->state) {
    case State::Failed: return context->failure;
    case State::Closed: return SEC_I_CONTEXT_EXPIRED;
    case State::Handshake: return SEC_E_CONTEXT_EXPIRED;
    case State::Open: break;
  }
  // One record: its header says how long it is.
  if (size < kRecordHeader) {
    buffers[1] = {static_cast<ULONG>(kRecordHeader - size), SECBUFFER_MISSING, nullptr};
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  const size_t body = size_t{bytes[3]} << 8 | bytes[4];
  if (body > MaxBody(context->ssl)) return Fail(*context, SEC_E_ILLEGAL_MESSAGE);
  if (size < kRecordHeader + body) {
    buffers[1] = {static_cast<ULONG>(kRecordHeader + body - size), SECBUFFER_MISSING, nullptr};
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  const size_t record = kRecordHeader + body;
  BIO_write(context->rbio, bytes, static_cast<int>(record));
  ERR_clear_error();
  context->helloRequest = false;
  // The plaintext is never longer than the body, so it is written in place.
  size_t plain = 0;
  SECURITY_STATUS status = SEC_E_OK;
  while (plain < body) {
    const int n = SSL_read(context->ssl, bytes + kRecordHeader + plain, static_cast<int>(body - plain));
    if (n > 0) {
      plain += static_cast<size_t>(n);
      if (SSL_pending(context->ssl) > 0) continue;
      break;
    }
    switch (SSL_get_error(context->ssl, n)) {
      case SSL_ERROR_WANT_READ:
        // A record without application data: a ticket, a key update, a warning.
        if (context->helloRequest) status = SEC_I_RENEGOTIATE;
        break;
      case SSL_ERROR_ZERO_RETURN:
        context->state = State::Closed;
        status = SEC_I_CONTEXT_EXPIRED;
        break;
      default:
        status = Fail(*context, StatusOfSslError());
        break;
    }
    break;
  }
  ERR_clear_error();
  Drain(context->rbio);
  if (status < 0) return status;
  buffers[0] = {static_cast<ULONG>(kRecordHeader), SECBUFFER_STREAM_HEADER, bytes};
  buffers[1] = {static_cast<ULONG>(plain), SECBUFFER_DATA, bytes + kRecordHeader};
  buffers[2] = {static_cast<ULONG>(body - plain), SECBUFFER_STREAM_TRAILER, bytes + kRecordHeader + plain};
  if (size > record) {
    buffers[3] = {static_cast<ULONG>(size - record), SECBUFFER_EXTRA, bytes + record};
  } else {
    buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
  }
  return status;
}

PSecurityFunctionTableW InitSecurityInterfaceW() {
  static SecurityFunctionTableW table{1,
                                      AcquireCredentialsHandleW,
                                      FreeCredentialsHandle,
                                      InitializeSecurityContextW,
                                      DeleteSecurityContext,
                                      QueryContextAttributesW,
                                      FreeContextBuffer,
                                      EncryptMessage,
                                      DecryptMessage};
  return &table;
}
