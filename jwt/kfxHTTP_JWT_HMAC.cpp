#include "jwt/kfxHTTP_JWT_HMAC.h"

#include <memory>

#include "tls/IdHash.h"
#include "jwt/kfxHTTP_JWT_Classes_OpenSSL.h"

namespace {

// Equal texts, in a time that depends on their lengths only.
bool SameInConstantTime(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i)
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace

TIdBytes TkfxHTTP_JWT_HMAC::Compute(int aBits, const TIdBytes& aValue, const TIdBytes& aKey) {
  StartCryptoLibrary();  // a missing library shows as hashing not available
  bool available;
  std::unique_ptr<TIdHMAC> hmac;
  switch (aBits) {
    case 256:
      available = TIdHashSHA256::IsAvailable();
      hmac = std::make_unique<TIdHMACSHA256>();
      break;
    case 384:
      available = TIdHashSHA384::IsAvailable();
      hmac = std::make_unique<TIdHMACSHA384>();
      break;
    default:
      available = TIdHashSHA512::IsAvailable();
      hmac = std::make_unique<TIdHMACSHA512>();
      break;
  }
  if (!available) throw Exception("SHA" + std::to_string(aBits) + " hashing is not available!");
  if (aKey.empty()) throw Exception("The HS secret cannot be empty.");
  hmac->Key = aKey;
  struct TWipeKey {
    TIdBytes& Key;
    ~TWipeKey() { WipeBytes(Key.data(), Key.size()); }
  } wipe{hmac->Key};
  return hmac->HashValue(aValue);
}

bool TkfxHTTP_JWT_HMAC::Validate(int aBits, const std::string& aHeader,
                                 const std::string& aPayload, const std::string& aSignature,
                                 const std::string& aSecret) {
  if (aSecret.empty()) return false;
  const std::string data = aHeader + "." + aPayload;
  const TkfxSecretBytes secret(aSecret);
  const TIdBytes mac = Compute(aBits, TIdBytes(data.begin(), data.end()), secret.Bytes());
  return SameInConstantTime(Base64URLEncode(mac), aSignature);
}

TIdBytes TkfxHTTP_JWT_HMAC::SignHMAC256(const TIdBytes& aValue, const TIdBytes& aKey) {
  return Compute(256, aValue, aKey);
}

TIdBytes TkfxHTTP_JWT_HMAC::SignHMAC384(const TIdBytes& aValue, const TIdBytes& aKey) {
  return Compute(384, aValue, aKey);
}

TIdBytes TkfxHTTP_JWT_HMAC::SignHMAC512(const TIdBytes& aValue, const TIdBytes& aKey) {
  return Compute(512, aValue, aKey);
}

bool TkfxHTTP_JWT_HMAC::ValidateHMAC256(const std::string& aHeader, const std::string& aPayload,
                                        const std::string& aSignature, const std::string& aSecret) {
  return Validate(256, aHeader, aPayload, aSignature, aSecret);
}

bool TkfxHTTP_JWT_HMAC::ValidateHMAC384(const std::string& aHeader, const std::string& aPayload,
                                        const std::string& aSignature, const std::string& aSecret) {
  return Validate(384, aHeader, aPayload, aSignature, aSecret);
}

bool TkfxHTTP_JWT_HMAC::ValidateHMAC512(const std::string& aHeader, const std::string& aPayload,
                                        const std::string& aSignature, const std::string& aSecret) {
  return Validate(512, aHeader, aPayload, aSignature, aSecret);
}
