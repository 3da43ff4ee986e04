// HS256/384/512 token signatures: HMAC with SHA-2.
#pragma once

#include <string>

#include "jwt/kfxHTTP_JWT_Classes.h"

class TkfxHTTP_JWT_HMAC : public TkfxHTTP_JWT_Base {
 public:
  // The 32, 48 or 64 MAC octets of aValue under aKey. An empty key is
  // refused ("The HS secret cannot be empty."): a MAC under a key nobody
  // knows would be a token nobody can verify. "SHA256 hashing is not
  // available!" (and its 384/512 siblings) when the library cannot hash.
  TIdBytes SignHMAC256(const TIdBytes& aValue, const TIdBytes& aKey);
  TIdBytes SignHMAC384(const TIdBytes& aValue, const TIdBytes& aKey);
  TIdBytes SignHMAC512(const TIdBytes& aValue, const TIdBytes& aKey);

  // True when aSignature is exactly the base64url MAC of aHeader + "." +
  // aPayload under aSecret, compared in constant time; false for an empty secret.
  bool ValidateHMAC256(const std::string& aHeader, const std::string& aPayload,
                       const std::string& aSignature, const std::string& aSecret);
  bool ValidateHMAC384(const std::string& aHeader, const std::string& aPayload,
                       const std::string& aSignature, const std::string& aSecret);
  bool ValidateHMAC512(const std::string& aHeader, const std::string& aPayload,
                       const std::string& aSignature, const std::string& aSecret);

 protected:
  // The MAC with the SHA-2 digest of aBits (256, 384, 512).
  virtual TIdBytes Compute(int aBits, const TIdBytes& aValue, const TIdBytes& aKey);

 private:
  bool Validate(int aBits, const std::string& aHeader, const std::string& aPayload,
                const std::string& aSignature, const std::string& aSecret);
};
