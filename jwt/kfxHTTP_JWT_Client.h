// The JWT client component: signs bearer tokens from its options and reports
// them through OnAuthToken / OnAuthTokenError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "jwt/kfxHTTP_JWT_Classes.h"
#include "jwt/kfxHTTP_JWT_ES.h"
#include "jwt/kfxHTTP_JWT_HMAC.h"
#include "jwt/kfxHTTP_JWT_RSA.h"
#include "rtl/Classes.h"
#include "rtl/PersistentFields.h"
#include "rtl/StringList.h"

class TkfxHTTP_JWT_Client_Algorithm_Options : public TPersistent {};

class TkfxHTTP_JWT_Client_HS_Options : public TkfxHTTP_JWT_Client_Algorithm_Options {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  const std::string& Secret() const { return FSecret; }
  void SetSecret(const std::string& aValue) { FSecret = aValue; }

 private:
  std::string FSecret;

 private:
  static const TPersistentFields<TkfxHTTP_JWT_Client_HS_Options>& Fields();
};

// Options of a private-key algorithm family: the key as PEM text lines. TSelf
// is the family's own class, so a key copies only from options of the same family.
template <class TSelf>
class TkfxHTTP_JWT_Client_PrivateKey_Options : public TkfxHTTP_JWT_Client_Algorithm_Options {
 public:
  void Assign(const TPersistent* Source) override {
    if (!dynamic_cast<const TSelf*>(Source)) return TPersistent::Assign(Source);
    Fields().AssignFrom(*this, Source);
  }
  void GetPublishedProperties(TPublishedProperties& aList) override { Fields().Publish(*this, aList); }

  TStringList& PrivateKey() { return FPrivateKey; }
  void SetPrivateKey(const TStringList& aValue) { FPrivateKey.Assign(&aValue); }

 private:
  static const TPersistentFields<TkfxHTTP_JWT_Client_PrivateKey_Options>& Fields() {
    using C = TkfxHTTP_JWT_Client_PrivateKey_Options;
    static const auto fields = TPersistentFields<C>().Object("PrivateKey", &C::FPrivateKey);
    return fields;
  }

  TStringList FPrivateKey;
};

class TkfxHTTP_JWT_Client_RS_Options
    : public TkfxHTTP_JWT_Client_PrivateKey_Options<TkfxHTTP_JWT_Client_RS_Options> {};

class TkfxHTTP_JWT_Client_ES_Options
    : public TkfxHTTP_JWT_Client_PrivateKey_Options<TkfxHTTP_JWT_Client_ES_Options> {};

class TkfxHTTP_JWT_Client_Algorithms_Options : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  TkfxHTTP_JWT_Client_ES_Options& ES() { return FES; }
  TkfxHTTP_JWT_Client_HS_Options& HS() { return FHS; }
  TkfxHTTP_JWT_Client_RS_Options& RS() { return FRS; }

 private:
  TkfxHTTP_JWT_Client_ES_Options FES;
  TkfxHTTP_JWT_Client_HS_Options FHS;
  TkfxHTTP_JWT_Client_RS_Options FRS;

 private:
  static const TPersistentFields<TkfxHTTP_JWT_Client_Algorithms_Options>& Fields();
};

class TkfxHTTP_JWT_Client_Options : public TPersistent {
 public:
  TkfxHTTP_JWT_Client_Options();
  ~TkfxHTTP_JWT_Client_Options() override;

  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  TkfxHTTP_JWT_Client_Algorithms_Options& Algorithms() { return *FAlgorithms; }
  // Header and Payload are created on first access.
  TkfxHTTP_JWTHeader& Header();
  TkfxHTTP_JWTPayload& Payload();
  // Seconds a signed token stays valid; with a value above 0 every signing
  // sets iat to now and exp to iat + RefreshTokenAfter.
  int32_t RefreshTokenAfter() const { return FRefreshTokenAfter; }
  void SetRefreshTokenAfter(int32_t aValue) { FRefreshTokenAfter = aValue; }

 private:
  std::unique_ptr<TkfxHTTP_JWT_Client_Algorithms_Options> FAlgorithms;
  std::unique_ptr<TkfxHTTP_JWTHeader> FHeader;
  std::unique_ptr<TkfxHTTP_JWTPayload> FPayload;
  int32_t FRefreshTokenAfter = 0;

 private:
  static const TPersistentFields<TkfxHTTP_JWT_Client_Options>& Fields();
};

using TkfxOnAuthToken = std::function<void(TObject* Sender, const std::string& TokenType,
                                           const std::string& Token, const std::string& Data)>;
using TkfxOnAuthTokenError =
    std::function<void(TObject* Sender, const std::string& Error,
                       const std::string& ErrorDescription, const std::string& Data)>;

// Base of the components that hand out bearer tokens.
class TkfxHTTPComponentClientAuthToken_Base : public TComponent {
 public:
  using TComponent::TComponent;

  TkfxOnAuthToken OnAuthToken;
  TkfxOnAuthTokenError OnAuthTokenError;

 protected:
  // Fire the events when assigned.
  virtual void DoAuthToken(const std::string& aTokenType, const std::string& aToken,
                           const std::string& aData);
  virtual void DoAuthTokenError(const std::string& aError, const std::string& aErrorDescription,
                                const std::string& aData);
};

// The signature bytes of aInput made with aKey for aAlgorithm.
using TkfxHTTP_JWT_Signer = std::function<TIdBytes(TkfxHTTP_JWT_Algorithm aAlgorithm,
                                                   const TIdBytes& aInput, const TIdBytes& aKey)>;

class TkfxHTTPComponentClient_JWT : public TkfxHTTPComponentClientAuthToken_Base {
 public:
  explicit TkfxHTTPComponentClient_JWT(TComponent* AOwner);
  ~TkfxHTTPComponentClient_JWT() override;

  TkfxHTTP_JWT_Client_Options& JWTOptions() { return *FJWTOptions; }
  void SetJWTOptions(const TkfxHTTP_JWT_Client_Options& aValue) { FJWTOptions->Assign(&aValue); }

  // Header.Payload.Signature in compact form; empty for jwtNone or an empty
  // signature. Signing errors are raised. Signs with the HS secret, the RS
  // or the ES private key text of the options, as the algorithm says.
  std::string Sign();
  // Signs and reports the outcome through the events before returning:
  // OnAuthToken("Bearer", token) or OnAuthTokenError("JWT Error", reason).
  void Start();

  // Replaces the built-in signers (tests record what is signed this way);
  // an empty function restores them.
  void SetSigner(TkfxHTTP_JWT_Signer aSigner) { FSigner = std::move(aSigner); }

 protected:
  // The signature of aInput under aKey with the signer family of aAlgorithm.
  virtual TIdBytes SignWith(TkfxHTTP_JWT_Algorithm aAlgorithm, const TIdBytes& aInput,
                            const TIdBytes& aKey);
  // The signers, created on first use.
  TkfxHTTP_JWT_HMAC& HMAC();
  TkfxHTTP_JWT_RSA& RSA();
  TkfxHTTP_JWT_ES& ES();

 private:
  std::unique_ptr<TkfxHTTP_JWT_Client_Options> FJWTOptions;
  TkfxHTTP_JWT_Signer FSigner;
  std::unique_ptr<TkfxHTTP_JWT_HMAC> FHMAC;
  std::unique_ptr<TkfxHTTP_JWT_RSA> FRSA;
  std::unique_ptr<TkfxHTTP_JWT_ES> FES;
};
