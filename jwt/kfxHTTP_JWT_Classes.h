// The header and payload of a JSON Web Token and their JSON text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rtl/Classes.h"
#include "rtl/StringList.h"

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
// extra members given as name=value lines.
class TkfxHTTP_JWTBase_JSON : public TPersistent {
 public:
  TkfxHTTP_JWTBase_JSON();
  ~TkfxHTTP_JWTBase_JSON() override;

  // The members as compact JSON: own members first, then the extra ones in the
  // order added, no white space. Member names are written as given.
  virtual std::string JSONText();

  void AddKeyValue(const std::string& aKey, const std::string& aValue);
  void AddKeyValue(const std::string& aKey, bool aValue);
  void ClearKeyValues();

 protected:
  // Rebuilds the member list; this base only empties it.
  virtual void WriteMembers();
  void AddMember(const std::string& aName, const std::string& aJSONValue);
  // A text member, escaped and quoted.
  void AddTextMember(const std::string& aName, const std::string& aText);

 private:
  // name and ready JSON value, in writing order
  std::vector<std::pair<std::string, std::string>> FMembers;
  std::unique_ptr<TStringList> FKeyValues;  // created on first use
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
};

// RFC 4648 section 5 Base64 of the bytes of aData, without padding or line breaks.
std::string Base64URLEncode(const std::string& aData);
