#include "jwt/kfxHTTP_JWT_RSA.h"

#include "jwt/kfxHTTP_JWT_Classes_OpenSSL.h"
#include "tls/kfxIdSSLOpenSSL.h"

namespace {

using TReadRSA = rsa_st* (*)(bio_st*, rsa_st**, TPEMPasswordCallback, void*);
using TOneShotDigest = unsigned char* (*)(const unsigned char*, size_t, unsigned char*);

const char* DigestName(int aBits) {
  switch (aBits) {
    case 256: return "EVP_sha256";
    case 384: return "EVP_sha384";
    default: return "EVP_sha512";
  }
}

}  // namespace

void TkfxHTTP_JWT_RSA::LookUpEntryPoints() {
  for (const char* name : {"RSA_verify", "SHA256", "SHA384", "SHA512", "PEM_read_bio_RSA_PUBKEY"})
    CryptoEntry<void*>(name);
}

TIdBytes TkfxHTTP_JWT_RSA::Sign(int aBits, const TIdBytes& aValue, const TIdBytes& aKey) {
  StartCryptoLibrary();
  const TClearCryptoErrors clearErrors;
  LookUpEntryPoints();
  const auto readKey = CryptoEntry<TReadRSA>("PEM_read_bio_RSAPrivateKey");
  const auto freeRSA = CryptoEntry<void (*)(rsa_st*)>("RSA_free");
  const auto newKey = CryptoEntry<evp_pkey_st* (*)()>("EVP_PKEY_new");
  const auto setRSA = CryptoEntry<int (*)(evp_pkey_st*, rsa_st*)>("EVP_PKEY_set1_RSA");
  const auto freeKey = CryptoEntry<void (*)(evp_pkey_st*)>("EVP_PKEY_free");
  const auto digestOf = CryptoEntry<const evp_md_st* (*)()>(DigestName(aBits));
  // EVP_MD_CTX_create/destroy were renamed in 1.1.
  const auto newContext = CryptoEntry<evp_md_ctx_st* (*)()>("EVP_MD_CTX_new", "EVP_MD_CTX_create");
  const auto freeContext =
      CryptoEntry<void (*)(evp_md_ctx_st*)>("EVP_MD_CTX_free", "EVP_MD_CTX_destroy");
  const auto signInit = CryptoEntry<int (*)(evp_md_ctx_st*, evp_pkey_ctx_st**, const evp_md_st*,
                                            engine_st*, evp_pkey_st*)>("EVP_DigestSignInit");
  // A function since 3.0, a macro for EVP_DigestUpdate before.
  const auto signUpdate = CryptoEntry<int (*)(evp_md_ctx_st*, const void*, size_t)>(
      "EVP_DigestSignUpdate", "EVP_DigestUpdate");
  const auto signFinal = CryptoEntry<int (*)(evp_md_ctx_st*, unsigned char*, size_t*)>(
      "EVP_DigestSignFinal");

  TkfxBIO bio = NewMemoryBIO(aKey.data(), aKey.size());
  TkfxCryptoPtr<rsa_st> rsa(readKey(bio.get(), nullptr, DeclinePEMPassword, nullptr), freeRSA);
  bio.reset();
  if (!rsa) throw Exception("Unable to load private key");
  TkfxCryptoPtr<evp_pkey_st> key(newKey(), freeKey);
  if (!key || setRSA(key.get(), rsa.get()) != 1) throw Exception("Unable to extract private key");
  const evp_md_st* digest = digestOf();
  if (!digest) throw Exception("Unsupported signing algorithm!");

  TkfxCryptoPtr<evp_md_ctx_st> context(newContext(), freeContext);
  if (!context || signInit(context.get(), nullptr, digest, nullptr, key.get()) != 1)
    throw Exception("Unable to init context");
  if (signUpdate(context.get(), aValue.data(), aValue.size()) != 1)
    throw Exception("Unable to update context with payload");
  size_t length = 0;
  if (signFinal(context.get(), nullptr, &length) != 1 || length == 0)
    throw Exception("Unable to sign RSA");
  TIdBytes signature(length);
  // Never hand out the buffer unless the library says it filled it.
  if (signFinal(context.get(), signature.data(), &length) != 1 || length == 0 ||
      length > signature.size())
    throw Exception("Unable to sign RSA");
  signature.resize(length);
  return signature;
}

bool TkfxHTTP_JWT_RSA::Verify(int aBits, const std::string& aHeader, const std::string& aPayload,
                              const std::string& aSignature, const std::string& aPublicKey) {
  StartCryptoLibrary();
  const TClearCryptoErrors clearErrors;
  LookUpEntryPoints();
  const auto verify =
      CryptoEntry<int (*)(int, const unsigned char*, unsigned int, const unsigned char*,
                          unsigned int, rsa_st*)>("RSA_verify");
  const auto freeRSA = CryptoEntry<void (*)(rsa_st*)>("RSA_free");
  const bool pkcs1 = aPublicKey.compare(0, 30, "-----BEGIN RSA PUBLIC KEY-----") == 0;
  const auto readKey = CryptoEntry<TReadRSA>(pkcs1 ? "PEM_read_bio_RSAPublicKey"
                                                   : "PEM_read_bio_RSA_PUBKEY");
  TkfxBIO bio =
      NewMemoryBIO(reinterpret_cast<const uint8_t*>(aPublicKey.data()), aPublicKey.size());
  TkfxCryptoPtr<rsa_st> rsa(readKey(bio.get(), nullptr, DeclinePEMPassword, nullptr), freeRSA);
  if (!rsa) throw Exception("Cannot Load Public Key.");

  int nid;
  const char* digestName;
  size_t digestLength;
  switch (aBits) {
    case 256: nid = 672, digestName = "SHA256", digestLength = 32; break;
    case 384: nid = 673, digestName = "SHA384", digestLength = 48; break;
    case 512: nid = 674, digestName = "SHA512", digestLength = 64; break;
    default: throw Exception("[RSA] Unsupported signing algorithm!");
  }
  TIdBytes signature;
  if (!Base64URLDecode(aSignature, signature) || signature.empty()) return false;
  const std::string data = aHeader + "." + aPayload;
  unsigned char digest[64];
  CryptoEntry<TOneShotDigest>(digestName)(reinterpret_cast<const unsigned char*>(data.data()),
                                          data.size(), digest);
  return verify(nid, digest, static_cast<unsigned int>(digestLength), signature.data(),
                static_cast<unsigned int>(signature.size()), rsa.get()) == 1;
}

TIdBytes TkfxHTTP_JWT_RSA::SignRSA256(const TIdBytes& aValue, const TIdBytes& aKey) {
  return Sign(256, aValue, aKey);
}

TIdBytes TkfxHTTP_JWT_RSA::SignRSA384(const TIdBytes& aValue, const TIdBytes& aKey) {
  return Sign(384, aValue, aKey);
}

TIdBytes TkfxHTTP_JWT_RSA::SignRSA512(const TIdBytes& aValue, const TIdBytes& aKey) {
  return Sign(512, aValue, aKey);
}

bool TkfxHTTP_JWT_RSA::ValidateRSA256(const std::string& aHeader, const std::string& aPayload,
                                      const std::string& aSignature, const std::string& aPublicKey) {
  return Verify(256, aHeader, aPayload, aSignature, aPublicKey);
}

bool TkfxHTTP_JWT_RSA::ValidateRSA384(const std::string& aHeader, const std::string& aPayload,
                                      const std::string& aSignature, const std::string& aPublicKey) {
  return Verify(384, aHeader, aPayload, aSignature, aPublicKey);
}

bool TkfxHTTP_JWT_RSA::ValidateRSA512(const std::string& aHeader, const std::string& aPayload,
                                      const std::string& aSignature, const std::string& aPublicKey) {
  return Verify(512, aHeader, aPayload, aSignature, aPublicKey);
}
