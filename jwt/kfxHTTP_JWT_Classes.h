// The header and payload of a JSON Web Token and their JSON text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "jwt/kfxJSON.h"
#include "rtl/Classes.h"
#include "rtl/PersistentFields.h"

enum class TkfxHTTP_JWT_Algorithm {
  jwtNone,
  jwtHS256,
  jwtHS384,
  jwtHS512,
  jwtRS256,
  jwtRS384,
  jwtRS512,
  jwtES256,
  jwtES384,
  jwtES512
};
// Value names in ordinal order ("jwtES256"), for stored descriptions.
extern const std::vector<std::string> JWTAlgorithmNames;
// The "alg" text of a token header ("ES256"); empty for jwtNone.
std::string JWTAlgorithmText(TkfxHTTP_JWT_Algorithm aAlgorithm);

// Common base of header and payload: the object's own members followed by
// extra members, written through a JSON document.
class TkfxHTTP_JWTBase_JSON : public TPersistent {
 public:
  TkfxHTTP_JWTBase_JSON();
  ~TkfxHTTP_JWTBase_JSON() override;

  // The members as compact JSON: own members first, then the extra ones in
  // the order added, no white space, escaped so that the text is ASCII as
  // long as the member names are.
  virtual std::string JSONText();

  // An extra member. "true"/"false" are written as booleans, decimal 64-bit
  // integers as numbers, a text that is itself a JSON object or array
  // embedded, anything else as a string. A name already present (also a
  // built-in one) gets the new value in place.
  void AddKeyValue(const std::string& aKey, const std::string& aValue);
  void AddKeyValue(const std::string& aKey, bool aValue);
  void ClearKeyValues();
  // The extra members, name and value, in the order added.
  const std::vector<std::pair<std::string, std::string>>& KeyValues() const { return FKeyValues; }

 protected:
  // Empties the document; header and payload then add their own members.
  virtual void WriteMembers();
  TkfxJSON& JSON();

 private:
  TkfxJSONPtr FJSON;  // created on first use
  // name and value of each extra member, in the order added
  std::vector<std::pair<std::string, std::string>> FKeyValues;
};

class TkfxHTTP_JWTHeader : public TkfxHTTP_JWTBase_JSON {
 public:
  TkfxHTTP_JWTHeader();
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  TkfxHTTP_JWT_Algorithm alg = TkfxHTTP_JWT_Algorithm::jwtNone;
  std::string kid;
  std::string typ;

 protected:
  // "alg", "typ", then "kid" when not empty.
  void WriteMembers() override;

 private:
  static const TPersistentFields<TkfxHTTP_JWTHeader>& Fields();
};

// Claims; times are whole seconds since 1970-01-01 UTC.
class TkfxHTTP_JWTPayload : public TkfxHTTP_JWTBase_JSON {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  std::string aud;
  int64_t exp = 0;
  int64_t iat = 0;
  int64_t nbf = 0;
  std::string iss;
  std::string sub;
  std::string jti;

 protected:
  // The non-empty texts iss, sub, aud, jti, then the positive times iat, exp, nbf.
  void WriteMembers() override;

 private:
  static const TPersistentFields<TkfxHTTP_JWTPayload>& Fields();
};

// RFC 4648 section 5 Base64 of the bytes of aData, without padding or line breaks.
std::string Base64URLEncode(const std::string& aData);
std::string Base64URLEncode(const TIdBytes& aData);
// Decodes canonical unpadded base64url only: the "-_" alphabet, no "=", no
// white space, no length of 4n+1, and zero bits after the last octet.
// False, with aData untouched, for anything else.
bool Base64URLDecode(const std::string& aText, TIdBytes& aData);

// Overwrites the octets with zeros in a way the compiler keeps.
void WipeBytes(void* aData, size_t aLength);

// A copy of a secret (HS secret, private key text) that is wiped when it is
// freed or replaced.
class TkfxSecretBytes {
 public:
  TkfxSecretBytes() = default;
  explicit TkfxSecretBytes(const std::string& aText);
  // Takes a temporary copy of a secret and wipes that copy.
  explicit TkfxSecretBytes(std::string&& aText);
  explicit TkfxSecretBytes(const TIdBytes& aBytes);
  TkfxSecretBytes(TkfxSecretBytes&& aOther) noexcept;
  TkfxSecretBytes& operator=(TkfxSecretBytes&& aOther) noexcept;
  TkfxSecretBytes(const TkfxSecretBytes&) = delete;
  TkfxSecretBytes& operator=(const TkfxSecretBytes&) = delete;
  ~TkfxSecretBytes();

  const TIdBytes& Bytes() const { return FBytes; }
  bool operator==(const TIdBytes& aBytes) const { return FBytes == aBytes; }

 private:
  void Wipe();
  TIdBytes FBytes;
};

// Base of the signers: no state of its own.
class TkfxHTTP_JWT_Base : public TObject {};
