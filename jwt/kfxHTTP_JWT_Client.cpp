#include "jwt/kfxHTTP_JWT_Client.h"

#include <climits>

#include "base/kfxBase_Helpers.h"
#include "rtl/DateTime.h"

// --- signing options ---

const TPersistentFields<TkfxHTTP_JWT_Client_HS_Options>& TkfxHTTP_JWT_Client_HS_Options::Fields() {
  using C = TkfxHTTP_JWT_Client_HS_Options;
  static const auto fields = TPersistentFields<C>()
                                 .Field("Secret", &C::FSecret);
  return fields;
}

void TkfxHTTP_JWT_Client_HS_Options::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxHTTP_JWT_Client_HS_Options::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

const TPersistentFields<TkfxHTTP_JWT_Client_Algorithms_Options>& TkfxHTTP_JWT_Client_Algorithms_Options::Fields() {
  using C = TkfxHTTP_JWT_Client_Algorithms_Options;
  static const auto fields = TPersistentFields<C>()
                                 .Object("ES", &C::FES)
                                 .Object("HS", &C::FHS)
                                 .Object("RS", &C::FRS);
  return fields;
}

void TkfxHTTP_JWT_Client_Algorithms_Options::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxHTTP_JWT_Client_Algorithms_Options::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

TkfxHTTP_JWT_Client_Options::TkfxHTTP_JWT_Client_Options()
    : FAlgorithms(std::make_unique<TkfxHTTP_JWT_Client_Algorithms_Options>()) {}

TkfxHTTP_JWT_Client_Options::~TkfxHTTP_JWT_Client_Options() = default;

TkfxHTTP_JWTHeader& TkfxHTTP_JWT_Client_Options::Header() {
  if (!FHeader) FHeader = std::make_unique<TkfxHTTP_JWTHeader>();
  return *FHeader;
}

TkfxHTTP_JWTPayload& TkfxHTTP_JWT_Client_Options::Payload() {
  if (!FPayload) FPayload = std::make_unique<TkfxHTTP_JWTPayload>();
  return *FPayload;
}

const TPersistentFields<TkfxHTTP_JWT_Client_Options>& TkfxHTTP_JWT_Client_Options::Fields() {
  using C = TkfxHTTP_JWT_Client_Options;
  static const auto fields = TPersistentFields<C>()
                                 .Object("Algorithms", &C::FAlgorithms)
                                 .Object("Header", &C::Header)
                                 .Object("Payload", &C::Payload)
                                 .Field("RefreshTokenAfter", &C::FRefreshTokenAfter);
  return fields;
}

void TkfxHTTP_JWT_Client_Options::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxHTTP_JWT_Client_Options::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

// --- components ---

void TkfxHTTPComponentClientAuthToken_Base::DoAuthToken(const std::string& aTokenType,
                                                        const std::string& aToken,
                                                        const std::string& aData) {
  if (OnAuthToken) OnAuthToken(this, aTokenType, aToken, aData);
}

void TkfxHTTPComponentClientAuthToken_Base::DoAuthTokenError(const std::string& aError,
                                                             const std::string& aErrorDescription,
                                                             const std::string& aData) {
  if (OnAuthTokenError) OnAuthTokenError(this, aError, aErrorDescription, aData);
}

TkfxHTTPComponentClient_JWT::TkfxHTTPComponentClient_JWT(TComponent* AOwner)
    : TkfxHTTPComponentClientAuthToken_Base(AOwner),
      FJWTOptions(std::make_unique<TkfxHTTP_JWT_Client_Options>()) {}

TkfxHTTPComponentClient_JWT::~TkfxHTTPComponentClient_JWT() = default;

std::string TkfxHTTPComponentClient_JWT::Sign() {
  TkfxHTTP_JWTHeader& header = FJWTOptions->Header();
  TkfxHTTP_JWTPayload& payload = FJWTOptions->Payload();
  if (const int32_t lifetime = FJWTOptions->RefreshTokenAfter(); lifetime > 0) {
    // Straight from the UTC clock: a detour through local time is ambiguous
    // in the hour a daylight-saving change repeats.
    payload.iat = DateTimeToUnix(NowUTC());
    payload.exp = payload.iat + lifetime;
  }
  const TkfxHTTP_JWT_Algorithm alg = header.alg;
  if (alg == TkfxHTTP_JWT_Algorithm::jwtNone) return "";

  const std::string signingInput =
      Base64URLEncode(header.JSONText()) + "." + Base64URLEncode(payload.JSONText());
  TkfxHTTP_JWT_Client_Algorithms_Options& keys = FJWTOptions->Algorithms();
  TkfxSecretBytes key;
  switch (alg) {
    case TkfxHTTP_JWT_Algorithm::jwtHS256:
    case TkfxHTTP_JWT_Algorithm::jwtHS384:
    case TkfxHTTP_JWT_Algorithm::jwtHS512:
      key = TkfxSecretBytes(keys.HS().Secret());
      break;
    case TkfxHTTP_JWT_Algorithm::jwtRS256:
    case TkfxHTTP_JWT_Algorithm::jwtRS384:
    case TkfxHTTP_JWT_Algorithm::jwtRS512:
      key = TkfxSecretBytes(keys.RS().PrivateKey().Text());
      break;
    default:
      key = TkfxSecretBytes(keys.ES().PrivateKey().Text());
      break;
  }
  const TIdBytes input(signingInput.begin(), signingInput.end());
  const TIdBytes signature =
      FSigner ? FSigner(alg, input, key.Bytes()) : SignWith(alg, input, key.Bytes());
  if (signature.empty()) return "";
  return signingInput + "." + Base64URLEncode(signature);
}

TIdBytes TkfxHTTPComponentClient_JWT::SignWith(TkfxHTTP_JWT_Algorithm aAlgorithm,
                                               const TIdBytes& aInput, const TIdBytes& aKey) {
  switch (aAlgorithm) {
    case TkfxHTTP_JWT_Algorithm::jwtHS256: return HMAC().SignHMAC256(aInput, aKey);
    case TkfxHTTP_JWT_Algorithm::jwtHS384: return HMAC().SignHMAC384(aInput, aKey);
    case TkfxHTTP_JWT_Algorithm::jwtHS512: return HMAC().SignHMAC512(aInput, aKey);
    case TkfxHTTP_JWT_Algorithm::jwtRS256: return RSA().SignRSA256(aInput, aKey);
    case TkfxHTTP_JWT_Algorithm::jwtRS384: return RSA().SignRSA384(aInput, aKey);
    case TkfxHTTP_JWT_Algorithm::jwtRS512: return RSA().SignRSA512(aInput, aKey);
    case TkfxHTTP_JWT_Algorithm::jwtES256: return ES().SignES256(aInput, aKey);
    case TkfxHTTP_JWT_Algorithm::jwtES384: return ES().SignES384(aInput, aKey);
    case TkfxHTTP_JWT_Algorithm::jwtES512: return ES().SignES512(aInput, aKey);
    case TkfxHTTP_JWT_Algorithm::jwtNone: break;
  }
  return {};
}

TkfxHTTP_JWT_HMAC& TkfxHTTPComponentClient_JWT::HMAC() {
  if (!FHMAC) FHMAC = std::make_unique<TkfxHTTP_JWT_HMAC>();
  return *FHMAC;
}

TkfxHTTP_JWT_RSA& TkfxHTTPComponentClient_JWT::RSA() {
  if (!FRSA) FRSA = std::make_unique<TkfxHTTP_JWT_RSA>();
  return *FRSA;
}

TkfxHTTP_JWT_ES& TkfxHTTPComponentClient_JWT::ES() {
  if (!FES) FES = std::make_unique<TkfxHTTP_JWT_ES>();
  return *FES;
}

void TkfxHTTPComponentClient_JWT::Start() {
  std::string token;
  std::string failure;
  bool failed = false;
  try {
    token = Sign();
  } catch (...) {
    // Not dropped: every signing failure is reported below as OnAuthTokenError
    // with its message, which is this component's way of failing.
    failed = true;
    failure = ExceptionMessage(std::current_exception());
  }
  // Reported after the guard: what an error handler raises leaves Start.
  if (failed)
    DoAuthTokenError("JWT Error", failure, "");
  else if (token.empty())
    DoAuthTokenError("JWT Error", "JWT Token cannot be empty.", "");
  else
    DoAuthToken("Bearer", token, "");
}
