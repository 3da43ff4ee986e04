#include "tests/support/certificates.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <memory>
#include <random>
#include <stdexcept>

#include "tests/support/fixtures.h"

namespace tls_test {
namespace {

using apns_test::FixturePath;

struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};

X509* ReadCert(const std::string& aFile) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(aFile.c_str(), "r"));
  if (!bio) throw std::runtime_error("cannot read " + aFile);
  return PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
}

EVP_PKEY* ReadKey(const std::string& aFile) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(aFile.c_str(), "r"));
  if (!bio) throw std::runtime_error("cannot read " + aFile);
  return PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
}

void AddExtension(X509* aCert, X509* aIssuer, int aNid, const std::string& aValue) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, aIssuer, aCert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, aNid, aValue.c_str());
  if (!ext) throw std::runtime_error("bad extension " + aValue);
  X509_add_ext(aCert, ext, -1);
  X509_EXTENSION_free(ext);
}

}  // namespace

CertFiles MakeCert(const apns_test::TempDir& aDir, const std::string& aName, const CertSpec& aSpec) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  std::random_device random;
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(random() & 0x7FFFFFFF));
  X509_gmtime_adj(X509_getm_notBefore(cert), aSpec.NotBeforeDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(cert), aSpec.NotAfterDays * 86400L);
  X509_set_pubkey(cert, key);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(aSpec.CommonName.c_str()), -1,
                             -1, 0);
  X509* issuer = aSpec.SelfSigned ? cert : ReadCert(FixturePath("ca.crt"));
  EVP_PKEY* issuerKey = aSpec.SelfSigned ? key : ReadKey(FixturePath("ca.key"));
  X509_set_issuer_name(cert, X509_get_subject_name(issuer));
  std::string san;
  for (const auto& dns : aSpec.DnsNames) san += (san.empty() ? "" : ",") + ("DNS:" + dns);
  for (const auto& ip : aSpec.IpAddresses) san += (san.empty() ? "" : ",") + ("IP:" + ip);
  if (!san.empty()) AddExtension(cert, issuer, NID_subject_alt_name, san);
  if (!aSpec.ExtendedKeyUsage.empty()) AddExtension(cert, issuer, NID_ext_key_usage, aSpec.ExtendedKeyUsage);
  AddExtension(cert, issuer, NID_basic_constraints, "CA:FALSE");
  X509_sign(cert, issuerKey, EVP_sha256());

  CertFiles files{aDir.File(aName + ".crt"), aDir.File(aName + ".key")};
  std::unique_ptr<BIO, BioFree> certOut(BIO_new_file(files.Cert.c_str(), "w"));
  PEM_write_bio_X509(certOut.get(), cert);
  std::unique_ptr<BIO, BioFree> keyOut(BIO_new_file(files.Key.c_str(), "w"));
  PEM_write_bio_PrivateKey(keyOut.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  if (!aSpec.SelfSigned) {
    X509_free(issuer);
    EVP_PKEY_free(issuerKey);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return files;
}

void MakePkcs12(const std::string& aCertFile, const std::string& aKeyFile, const char* aPassword,
                const std::string& aOutFile) {
  X509* cert = ReadCert(aCertFile);
  EVP_PKEY* key = ReadKey(aKeyFile);
  STACK_OF(X509)* ca = sk_X509_new_null();
  sk_X509_push(ca, ReadCert(FixturePath("ca.crt")));
  PKCS12* p12 = PKCS12_create(aPassword, "test client", key, cert, ca, 0, 0, 0, 0, 0);
  if (!p12) throw std::runtime_error("PKCS12_create failed");
  std::unique_ptr<BIO, BioFree> out(BIO_new_file(aOutFile.c_str(), "wb"));
  i2d_PKCS12_bio(out.get(), p12);
  PKCS12_free(p12);
  sk_X509_pop_free(ca, X509_free);
  X509_free(cert);
  EVP_PKEY_free(key);
}
}  // namespace tls_test
