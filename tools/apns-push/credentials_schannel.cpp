// The PKCS#12 check of the SChannel layer, apart from credentials.cpp: the
// certificate services' OpenSSL headers and the run-time binding of the
// OpenSSL layer cannot meet in one unit.
#include <algorithm>

#include "platform/crypt32/crypt32_openssl.h"
#include "tls/kfxSSL_WinSSPI.h"
#include "tools/apns-push/credentials.h"

namespace apns_push {

// The file's contents as the SChannel layer imports them: with the password,
// and a file written without any password also when it is empty.
TPKCS12FileContent ImportedPKCS12Content(std::string aData, const std::string& aPassword) {
  if (aData.empty()) return TPKCS12FileContent::p12NotPKCS12;
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(aData.size()), reinterpret_cast<BYTE*>(aData.data())};
  std::u16string password = Utf8ToUtf16(aPassword);
  HCERTSTORE store = WinSSPI::PFXImportCertStore(&blob, password.c_str(), 0);
  if (!store && aPassword.empty()) store = WinSSPI::PFXImportCertStore(&blob, nullptr, 0);
  std::fill(password.begin(), password.end(), u'\0');
  if (!store)
    return CryptGetLastError() == static_cast<DWORD>(CRYPT_E_BAD_ENCODE) ? TPKCS12FileContent::p12NotPKCS12
                                                                         : TPKCS12FileContent::p12WrongPassword;
  // The certificate with the key comes first, as the SChannel layer takes it.
  PCCERT_CONTEXT first = WinSSPI::CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                             CERT_FIND_ANY, nullptr, nullptr);
  const bool keyPair = first && CertContextPrivateKey(first);
  if (first) WinSSPI::CertFreeCertificateContext(first);
  WinSSPI::CertCloseStore(store, 0);
  return keyPair ? TPKCS12FileContent::p12KeyPair : TPKCS12FileContent::p12NoKeyPair;
}


}  // namespace apns_push
