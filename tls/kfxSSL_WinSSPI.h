// Run-time binding of the certificate functions the SChannel session calls.
// Each is offered under its usual name and signature; the first call of any
// of them binds the platform's certificate services and security package
// once per process (a failure raises Exception with the platform's message),
// and later calls go straight through the bound entry points.
#pragma once

#include "platform/crypt32/crypt32.h"
#include "platform/sspi/sspi.h"

namespace WinSSPI {

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertCreateCertificateChainEngine(const CERT_CHAIN_ENGINE_CONFIG* pConfig,
                                      HCERTCHAINENGINE* phChainEngine);
void CertFreeCertificateChainEngine(HCERTCHAINENGINE hChainEngine);
BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                             const FILETIME* pTime, HCERTSTORE hAdditionalStore,
                             const CERT_CHAIN_PARA* pChainPara, DWORD dwFlags, void* pvReserved,
                             PCCERT_CHAIN_CONTEXT* ppChainContext);
BOOL CertVerifyCertificateChainPolicy(LPCSTR pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      const CERT_CHAIN_POLICY_PARA* pPolicyPara,
                                      CERT_CHAIN_POLICY_STATUS* pPolicyStatus);
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);
HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void* pvPara);
HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR szSubsystemProtocol);
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext);
PCCERT_CHAIN_CONTEXT CertFindChainInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara,
                                          PCCERT_CHAIN_CONTEXT pPrevChainContext);
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);
BOOL CryptStringToBinaryW(LPCWSTR pszString, DWORD cchString, DWORD dwFlags, BYTE* pbBinary,
                          DWORD* pcbBinary, DWORD* pdwSkip, DWORD* pdwFlags);

}  // namespace WinSSPI
