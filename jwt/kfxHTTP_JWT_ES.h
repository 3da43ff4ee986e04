// ES256/384/512 token signatures: ECDSA over P-256, P-384 and P-521 with
// SHA-2, as the fixed-length concatenation of r and s (64, 96, 132 octets).
#pragma once

#include <string>

#include "jwt/kfxHTTP_JWT_Classes.h"

struct ec_key_st;

class TkfxHTTP_JWT_ES : public TkfxHTTP_JWT_Base {
 public:
  TkfxHTTP_JWT_ES();
  ~TkfxHTTP_JWT_ES() override;

  // aKey is the PEM text of the private key (PKCS#8 "PRIVATE KEY" or the
  // traditional EC form); its curve must be the one of the algorithm. The
  // parsed key is kept for the next call with the same key text. Errors
  // raise Exception with the texts of the library ("Unable to load private
  // key", "Unable to get EC Key", "Method ... cannot be loaded.").
  TIdBytes SignES256(const TIdBytes& aValue, const TIdBytes& aKey);
  TIdBytes SignES384(const TIdBytes& aValue, const TIdBytes& aKey);
  TIdBytes SignES512(const TIdBytes& aValue, const TIdBytes& aKey);

  // True when aSignature (base64url) is a valid signature of aHeader + "." +
  // aPayload under the PEM public key aPublicKey. Signatures of the wrong
  // length for the curve, non-canonical base64url and keys on another curve
  // are false.
  bool ValidateES256(const std::string& aHeader, const std::string& aPayload,
                     const std::string& aSignature, const std::string& aPublicKey);
  bool ValidateES384(const std::string& aHeader, const std::string& aPayload,
                     const std::string& aSignature, const std::string& aPublicKey);
  bool ValidateES512(const std::string& aHeader, const std::string& aPayload,
                     const std::string& aSignature, const std::string& aPublicKey);

 protected:
  // The sign and verify steps for a digest of aBits (256, 384, 512).
  virtual TIdBytes Sign(int aBits, const TIdBytes& aValue, const TIdBytes& aKey);
  virtual bool Verify(int aBits, const std::string& aHeader, const std::string& aPayload,
                      const std::string& aSignature, const std::string& aPublicKey);

 private:
  void ForgetKey();
  ec_key_st* PrivateKey(const TIdBytes& aKey);

  // The last private key read, with its key text, the library's function
  // that frees it, and a reference that keeps that library loaded meanwhile.
  TkfxSecretBytes FKeyText;
  ec_key_st* FKey = nullptr;
  void (*FKeyFree)(ec_key_st*) = nullptr;
  void* FKeyLibrary = nullptr;
};
