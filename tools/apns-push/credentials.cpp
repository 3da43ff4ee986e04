#include "tools/apns-push/credentials.h"

#include <cstdlib>

#include "jwt/kfxHTTP_JWT_ES.h"
#include "rtl/StringList.h"
#include "tls/kfxIdSSLOpenSSL.h"
#include "tls/kfxIdSSLOpenSSLHeaders_Entries.h"
#include "tools/apns-push/error.h"
#include "tools/apns-push/inputs.h"

namespace apns_push {

void CheckPKCS12(const std::string& aFile, const std::string& aPassword, TwsTLSIOHandler aHandler) {
  // Read first for the message of a missing or unreadable file.
  std::string data = ReadWholeFile(aFile, "certificate");
  TPKCS12FileContent content;
  try {
    content = aHandler == TwsTLSIOHandler::iohSChannel ? ImportedPKCS12Content(std::move(data), aPassword)
                                                       : ReadPKCS12FileContent(aFile, aPassword);
  } catch (const Exception& e) {
    Fail("certificate " + aFile + ": " + e.Message());
  }
  switch (content) {
    case TPKCS12FileContent::p12KeyPair: return;
    case TPKCS12FileContent::p12Unreadable: Fail("cannot read certificate " + aFile);
    case TPKCS12FileContent::p12NotPKCS12:
      Fail("certificate " + aFile + " is not a PKCS#12 (.p12) file");
    case TPKCS12FileContent::p12WrongPassword: Fail("wrong password for certificate " + aFile);
    case TPKCS12FileContent::p12NoKeyPair:
      Fail("certificate " + aFile + " holds no certificate with its private key");
  }
}

void CheckP8Key(const std::string& aFile) {
  ReadWholeFile(aFile, "key");
  // The key text as the token client hands it to the signer: the file's
  // lines, each ended by CR LF.
  TStringList lines;
  lines.LoadFromFile(aFile);
  const std::string text = lines.Text();
  const TIdBytes key(text.begin(), text.end());
  try {
    TkfxHTTP_JWT_ES().SignES256(TIdBytes{'.'}, key);
  } catch (const Exception& e) {
    if (e.Message() == "Unable to load private key")
      Fail("key " + aFile + " is not a PEM private key (.p8)");
    if (e.Message() == "Unable to get EC Key" || e.Message().find("curve") != std::string::npos)
      Fail("key " + aFile + " is not an ES256 (P-256) key");
    Fail("key " + aFile + ": " + e.Message());
  }
}

void CheckCAFile(const std::string& aFile) {
  using namespace IdOpenSSL;
  const std::string data = ReadWholeFile(aFile, "CA file");
  if (!StartOpenSSL() || !BIO_new_mem_buf || !PEM_read_bio_X509)
    Fail("CA file " + aFile + ": Could not load SSL library.");
  PX509 cert = nullptr;
  if (PBIO bio = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()))) {
    cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
  }
  if (ERR_clear_error) ERR_clear_error();  // a failed read leaves its reasons queued
  if (!cert) Fail("CA file " + aFile + " holds no PEM certificate");
  X509_free(cert);
}

std::string CertificatePassword(const std::string& aPasswordFile, bool aHavePassword,
                                const std::string& aPassword) {
  if (!aPasswordFile.empty()) {
    const std::string text = ReadWholeFile(aPasswordFile, "password file");
    return text.substr(0, text.find_first_of("\r\n"));
  }
  if (aHavePassword) return aPassword;
  const char* env = std::getenv("APNS_CERT_PASSWORD");
  return env ? env : "";
}

}  // namespace apns_push
