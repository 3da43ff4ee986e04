// RS256/384/512 token signatures: RSASSA-PKCS1-v1_5 with SHA-2.
#pragma once

#include <string>

#include "jwt/kfxHTTP_JWT_Classes.h"

class TkfxHTTP_JWT_RSA : public TkfxHTTP_JWT_Base {
 public:
  // The signature of aValue under the PEM private key aKey (as many octets as
  // the modulus has). Errors raise Exception with the library's texts
  // ("Unable to load private key", "Method ... cannot be loaded." ...).
  TIdBytes SignRSA256(const TIdBytes& aValue, const TIdBytes& aKey);
  TIdBytes SignRSA384(const TIdBytes& aValue, const TIdBytes& aKey);
  TIdBytes SignRSA512(const TIdBytes& aValue, const TIdBytes& aKey);

  // True when aSignature (canonical base64url) is a valid signature of
  // aHeader + "." + aPayload under aPublicKey ("BEGIN RSA PUBLIC KEY" or
  // "BEGIN PUBLIC KEY" PEM text).
  bool ValidateRSA256(const std::string& aHeader, const std::string& aPayload,
                      const std::string& aSignature, const std::string& aPublicKey);
  bool ValidateRSA384(const std::string& aHeader, const std::string& aPayload,
                      const std::string& aSignature, const std::string& aPublicKey);
  bool ValidateRSA512(const std::string& aHeader, const std::string& aPayload,
                      const std::string& aSignature, const std::string& aPublicKey);

 protected:
  // Raises "Method <name> cannot be loaded." for the first of RSA_verify,
  // SHA256, SHA384, SHA512 and PEM_read_bio_RSA_PUBKEY that is missing.
  virtual void LookUpEntryPoints();
  virtual TIdBytes Sign(int aBits, const TIdBytes& aValue, const TIdBytes& aKey);

 private:
  bool Verify(int aBits, const std::string& aHeader, const std::string& aPayload,
              const std::string& aSignature, const std::string& aPublicKey);
};
