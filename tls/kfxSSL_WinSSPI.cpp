#include "tls/kfxSSL_WinSSPI.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <mutex>
#include <string>

#include "rtl/System.h"

namespace WinSSPI {
namespace {

// The entry points, bound on first use and kept for the life of the process.
struct TEntryPoints {
  decltype(&::CertFreeCertificateContext) FreeCertificateContext;
  decltype(&::CertCreateCertificateChainEngine) CreateCertificateChainEngine;
  decltype(&::CertFreeCertificateChainEngine) FreeCertificateChainEngine;
  decltype(&::CertGetCertificateChain) GetCertificateChain;
  decltype(&::CertVerifyCertificateChainPolicy) VerifyCertificateChainPolicy;
  decltype(&::CertFreeCertificateChain) FreeCertificateChain;
  decltype(&::CertOpenStore) OpenStore;
  decltype(&::CertOpenSystemStoreW) OpenSystemStoreW;
  decltype(&::CertFindCertificateInStore) FindCertificateInStore;
  decltype(&::CertFindChainInStore) FindChainInStore;
  decltype(&::CertCloseStore) CloseStore;
  decltype(&::PFXImportCertStore) ImportCertStore;
  decltype(&::CryptStringToBinaryW) StringToBinaryW;
};

const TEntryPoints& Bound() {
  static std::once_flag once;
  static TEntryPoints entries;
  // A throwing attempt leaves the flag unset: the next call tries again.
  std::call_once(once, [] {
    // The services run on the TLS library, which must start.
    if (OPENSSL_init_ssl(0, nullptr) != 1) {
      char text[256];
      ERR_error_string_n(ERR_get_error(), text, sizeof text);
      throw Exception(text);
    }
    entries = {::CertFreeCertificateContext, ::CertCreateCertificateChainEngine,
               ::CertFreeCertificateChainEngine, ::CertGetCertificateChain,
               ::CertVerifyCertificateChainPolicy, ::CertFreeCertificateChain, ::CertOpenStore,
               ::CertOpenSystemStoreW, ::CertFindCertificateInStore, ::CertFindChainInStore,
               ::CertCloseStore, ::PFXImportCertStore, ::CryptStringToBinaryW};
  });
  return entries;
}

}  // namespace

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  return Bound().FreeCertificateContext(pCertContext);
}

BOOL CertCreateCertificateChainEngine(const CERT_CHAIN_ENGINE_CONFIG* pConfig,
                                      HCERTCHAINENGINE* phChainEngine) {
  return Bound().CreateCertificateChainEngine(pConfig, phChainEngine);
}

void CertFreeCertificateChainEngine(HCERTCHAINENGINE hChainEngine) {
  Bound().FreeCertificateChainEngine(hChainEngine);
}

BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                             const FILETIME* pTime, HCERTSTORE hAdditionalStore,
                             const CERT_CHAIN_PARA* pChainPara, DWORD dwFlags, void* pvReserved,
                             PCCERT_CHAIN_CONTEXT* ppChainContext) {
  return Bound().GetCertificateChain(hChainEngine, pCertContext, pTime, hAdditionalStore,
                                     pChainPara, dwFlags, pvReserved, ppChainContext);
}

BOOL CertVerifyCertificateChainPolicy(LPCSTR pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      const CERT_CHAIN_POLICY_PARA* pPolicyPara,
                                      CERT_CHAIN_POLICY_STATUS* pPolicyStatus) {
  return Bound().VerifyCertificateChainPolicy(pszPolicyOID, pChainContext, pPolicyPara,
                                              pPolicyStatus);
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  Bound().FreeCertificateChain(pChainContext);
}

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void* pvPara) {
  return Bound().OpenStore(lpszStoreProvider, dwEncodingType, hCryptProv, dwFlags, pvPara);
}

HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR szSubsystemProtocol) {
  return Bound().OpenSystemStoreW(hProv, szSubsystemProtocol);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
  return Bound().FindCertificateInStore(hCertStore, dwCertEncodingType, dwFindFlags, dwFindType,
                                        pvFindPara, pPrevCertContext);
}

PCCERT_CHAIN_CONTEXT CertFindChainInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara,
                                          PCCERT_CHAIN_CONTEXT pPrevChainContext) {
  return Bound().FindChainInStore(hCertStore, dwCertEncodingType, dwFindFlags, dwFindType,
                                  pvFindPara, pPrevChainContext);
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  return Bound().CloseStore(hCertStore, dwFlags);
}

HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags) {
  return Bound().ImportCertStore(pPFX, szPassword, dwFlags);
}

BOOL CryptStringToBinaryW(LPCWSTR pszString, DWORD cchString, DWORD dwFlags, BYTE* pbBinary,
                          DWORD* pcbBinary, DWORD* pdwSkip, DWORD* pdwFlags) {
  return Bound().StringToBinaryW(pszString, cchString, dwFlags, pbBinary, pcbBinary, pdwSkip,
                                 pdwFlags);
}

}  // namespace WinSSPI
