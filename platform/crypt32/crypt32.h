// The platform's certificate services: PKCS#12 import, certificate stores,
// chain building and the SSL chain policy, under their usual names and with
// their usual structures and status values, implemented on OpenSSL 3.
//
// Stores are folders: a system store "NAME" at location CurrentUser or
// LocalMachine is <config>/apns-provider/certstores/<location>/<NAME>, where
// <config> is $XDG_CONFIG_HOME or ~/.config. A store folder holds PEM files
// (.pem/.crt/.cer; certificates, optionally with the private key of the first
// one) and PKCS#12 files (.p12/.pfx) protected by the empty or no password.
// Chains are built on the system trust store (OpenSSL's default paths, so
// SSL_CERT_FILE and SSL_CERT_DIR are honoured) plus the certificates of the
// "Root" store folders, or, with a chain engine made with an exclusive root
// store, on that store's certificates alone. A file store
// (CERT_STORE_PROV_FILENAME_W) holds the certificates of one PEM or DER file,
// e.g. a CA file to build such an engine on.
//
// Ownership follows the usual rules: every context, chain and store returned
// is released by its Free/Close function; CertFindCertificateInStore and
// CertFindChainInStore release the previous context they are given.
#pragma once

#include <cstdint>
#include <string>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using BOOL = int32_t;
using WCHAR = char16_t;  // the wide character of the API: UTF-16
using LPCWSTR = const WCHAR*;
using LPCSTR = const char*;
using LPSTR = char*;
using ALG_ID = uint32_t;
using HCRYPTPROV = uintptr_t;
using HCRYPTPROV_LEGACY = uintptr_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// Status values of the certificate functions and of the chain policy.
inline constexpr DWORD CERT_E_EXPIRED = 0x800B0101;
inline constexpr DWORD CERT_E_UNTRUSTEDROOT = 0x800B0109;
inline constexpr DWORD CERT_E_CHAINING = 0x800B010A;
inline constexpr DWORD CERT_E_REVOKED = 0x800B010C;
inline constexpr DWORD CERT_E_CN_NO_MATCH = 0x800B010F;
inline constexpr DWORD CERT_E_WRONG_USAGE = 0x800B0110;
inline constexpr DWORD TRUST_E_CERT_SIGNATURE = 0x80096004;
inline constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
inline constexpr DWORD CRYPT_E_BAD_ENCODE = 0x80092002;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 0x2;
inline constexpr DWORD ERROR_INVALID_PASSWORD = 0x56;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 0x57;
inline constexpr DWORD ERROR_MORE_DATA = 0xEA;

inline constexpr DWORD X509_ASN_ENCODING = 0x1;
inline constexpr DWORD PKCS_7_ASN_ENCODING = 0x10000;

// Store providers and flags.
inline const LPCSTR CERT_STORE_PROV_MEMORY = reinterpret_cast<LPCSTR>(2);
inline const LPCSTR CERT_STORE_PROV_FILENAME_W = reinterpret_cast<LPCSTR>(8);  // pvPara: LPCWSTR
inline const LPCSTR CERT_STORE_PROV_SYSTEM = reinterpret_cast<LPCSTR>(10);
inline constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x10000;
inline constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 0x20000;
inline constexpr DWORD CERT_SYSTEM_STORE_LOCATION_MASK = 0xFF0000;
inline constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x4000;
inline constexpr DWORD CERT_STORE_READONLY_FLAG = 0x8000;

// Find types.
inline constexpr DWORD CERT_FIND_ANY = 0;
inline constexpr DWORD CERT_FIND_SHA1_HASH = 0x10000;
inline constexpr DWORD CERT_CHAIN_FIND_BY_ISSUER = 1;

// CryptStringToBinary formats.
inline constexpr DWORD CRYPT_STRING_HEX = 0x4;

// Chain trust status bits.
inline constexpr DWORD CERT_TRUST_NO_ERROR = 0;
inline constexpr DWORD CERT_TRUST_IS_NOT_TIME_VALID = 0x1;
inline constexpr DWORD CERT_TRUST_IS_REVOKED = 0x4;
inline constexpr DWORD CERT_TRUST_IS_NOT_SIGNATURE_VALID = 0x8;
inline constexpr DWORD CERT_TRUST_IS_NOT_VALID_FOR_USAGE = 0x10;
inline constexpr DWORD CERT_TRUST_IS_UNTRUSTED_ROOT = 0x20;
inline constexpr DWORD CERT_TRUST_IS_PARTIAL_CHAIN = 0x10000;

inline constexpr DWORD USAGE_MATCH_TYPE_AND = 0;
inline constexpr DWORD USAGE_MATCH_TYPE_OR = 1;

// Chain policies and their parameters.
inline const LPCSTR CERT_CHAIN_POLICY_SSL = reinterpret_cast<LPCSTR>(4);
inline constexpr DWORD AUTHTYPE_CLIENT = 1;
inline constexpr DWORD AUTHTYPE_SERVER = 2;
inline constexpr DWORD SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x100;
inline constexpr DWORD SECURITY_FLAG_IGNORE_WRONG_USAGE = 0x200;
inline constexpr DWORD SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x1000;
inline constexpr DWORD SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x2000;

inline constexpr const char* szOID_PKIX_KP_SERVER_AUTH = "1.3.6.1.5.5.7.3.1";
inline constexpr const char* szOID_PKIX_KP_CLIENT_AUTH = "1.3.6.1.5.5.7.3.2";
inline constexpr const char* szOID_SERVER_GATED_CRYPTO = "1.3.6.1.4.1.311.10.3.3";
inline constexpr const char* szOID_SGC_NETSCAPE = "2.16.840.1.113730.4.1";

struct CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
};
using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;
using CRYPT_HASH_BLOB = CRYPTOAPI_BLOB;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;  // a DER-encoded distinguished name
using PCERT_NAME_BLOB = CERT_NAME_BLOB*;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct CertStore;  // opaque
using HCERTSTORE = CertStore*;
// nullptr is the default engine; others come from CertCreateCertificateChainEngine.
using HCERTCHAINENGINE = void*;

struct CERT_INFO;  // not exposed; pCertInfo is always nullptr here

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;  // the DER certificate
  DWORD cbCertEncoded;
  CERT_INFO* pCertInfo;
  HCERTSTORE hCertStore;  // the store the certificate came from
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
};

struct CERT_CHAIN_ELEMENT {
  DWORD cbSize;
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
};
using PCERT_CHAIN_ELEMENT = CERT_CHAIN_ELEMENT*;

struct CERT_SIMPLE_CHAIN {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cElement;
  PCERT_CHAIN_ELEMENT* rgpElement;  // leaf first
};
using PCERT_SIMPLE_CHAIN = CERT_SIMPLE_CHAIN*;

struct CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cChain;
  PCERT_SIMPLE_CHAIN* rgpChain;
};
using PCCERT_CHAIN_CONTEXT = const CERT_CHAIN_CONTEXT*;

struct CERT_ENHKEY_USAGE {
  DWORD cUsageIdentifier;
  LPSTR* rgpszUsageIdentifier;
};

struct CERT_USAGE_MATCH {
  DWORD dwType;  // USAGE_MATCH_TYPE_AND or _OR
  CERT_ENHKEY_USAGE Usage;
};

struct CERT_CHAIN_PARA {
  DWORD cbSize;
  CERT_USAGE_MATCH RequestedUsage;
};

// A chain engine's settings. Supported: hExclusiveRoot (the only trust
// anchors: its certificates at the time the engine is made) and the
// additional stores (searched for issuers, not trusted). The restricted
// stores must be nullptr; the other fields are ignored.
struct CERT_CHAIN_ENGINE_CONFIG {
  DWORD cbSize;
  HCERTSTORE hRestrictedRoot;
  HCERTSTORE hRestrictedTrust;
  HCERTSTORE hRestrictedOther;
  DWORD cAdditionalStore;
  HCERTSTORE* rghAdditionalStore;
  DWORD dwFlags;
  DWORD dwUrlRetrievalTimeout;
  DWORD MaximumCachedCertificates;
  DWORD CycleDetectionModulus;
  HCERTSTORE hExclusiveRoot;
  HCERTSTORE hExclusiveTrustedPeople;
  DWORD dwExclusiveFlags;
};

struct CERT_CHAIN_FIND_BY_ISSUER_PARA {
  DWORD cbSize;
  LPCSTR pszUsageIdentifier;  // nullptr: any usage
  DWORD dwKeySpec;
  DWORD dwAcquirePrivateKeyFlags;
  DWORD cIssuer;  // 0: any issuer
  CERT_NAME_BLOB* rgIssuer;
  void* pfnFindCallback;  // not supported; must be nullptr
  void* pvFindArg;
  DWORD* pdwIssuerChainIndex;
  DWORD* pdwIssuerElementIndex;
};

struct HTTPSPolicyCallbackData {
  DWORD cbStruct;
  DWORD dwAuthType;
  DWORD fdwChecks;
  const WCHAR* pwszServerName;  // nullptr or empty fails the name check
};
using SSL_EXTRA_CERT_CHAIN_POLICY_PARA = HTTPSPolicyCallbackData;

struct CERT_CHAIN_POLICY_PARA {
  DWORD cbSize;
  DWORD dwFlags;
  void* pvExtraPolicyPara;  // SSL: HTTPSPolicyCallbackData or nullptr (no name check)
};

struct CERT_CHAIN_POLICY_STATUS {
  DWORD cbSize;
  DWORD dwError;
  LONG lChainIndex;
  LONG lElementIndex;
  void* pvExtraPolicyStatus;
};

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void* pvPara);
HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR szSubsystemProtocol);
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext);

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);

BOOL CertCreateCertificateChainEngine(const CERT_CHAIN_ENGINE_CONFIG* pConfig,
                                      HCERTCHAINENGINE* phChainEngine);
void CertFreeCertificateChainEngine(HCERTCHAINENGINE hChainEngine);
BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                             const FILETIME* pTime, HCERTSTORE hAdditionalStore,
                             const CERT_CHAIN_PARA* pChainPara, DWORD dwFlags, void* pvReserved,
                             PCCERT_CHAIN_CONTEXT* ppChainContext);
PCCERT_CHAIN_CONTEXT CertFindChainInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara,
                                          PCCERT_CHAIN_CONTEXT pPrevChainContext);
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);
BOOL CertVerifyCertificateChainPolicy(LPCSTR pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      const CERT_CHAIN_POLICY_PARA* pPolicyPara,
                                      CERT_CHAIN_POLICY_STATUS* pPolicyStatus);

BOOL CryptStringToBinaryW(LPCWSTR pszString, DWORD cchString, DWORD dwFlags, BYTE* pbBinary,
                          DWORD* pcbBinary, DWORD* pdwSkip, DWORD* pdwFlags);

// The thread's last error of these functions (0 after a success is not promised).
DWORD CryptGetLastError();

// UTF-8 and UTF-16 conversions for callers of the wide functions.
std::u16string Utf8ToUtf16(const std::string& aText);
std::string Utf16ToUtf8(const std::u16string& aText);

// The root folder of the system stores (see above).
std::string CertStoreRootFolder();
