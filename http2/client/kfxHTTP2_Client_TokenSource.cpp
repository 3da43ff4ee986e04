#include "http2/client/kfxHTTP2_Client_TokenSource.h"

#include <algorithm>

#include "base/kfxBase_Helpers.h"
#include "rtl/MainThread.h"

// --- authentication options ---

// JWT and OAuth are references to other components, copied through their
// setters (which move the free notifications); they are not stored values.
const TPersistentFields<TkfxHTTP2_Authentication_Token>& TkfxHTTP2_Authentication_Token::Fields() {
  using C = TkfxHTTP2_Authentication_Token;
  static const auto fields =
      TPersistentFields<C>()
          .Custom([](C& aDest, const C& aSource) { aDest.SetJWT(aSource.FJWT); }, nullptr)
          .Custom([](C& aDest, const C& aSource) { aDest.SetOAuth(aSource.FOAuth); }, nullptr)
          .Field("ReadTimeout", &C::FReadTimeout);
  return fields;
}

void TkfxHTTP2_Authentication_Token::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxHTTP2_Authentication_Token::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

void TkfxHTTP2_Authentication_Token::Hand(TkfxHTTPComponentClientAuthToken_Base* aOld, bool& aEventsBound,
                                          TkfxHTTPComponentClientAuthToken_Base* aNew) {
  if (aOld && aEventsBound) {
    aOld->OnAuthToken = nullptr;
    aOld->OnAuthTokenError = nullptr;
  }
  aEventsBound = false;
  if (aOld && FClient) aOld->RemoveFreeNotification(FClient);
  if (aNew && FClient) aNew->FreeNotification(FClient);
}

void TkfxHTTP2_Authentication_Token::SetJWT(TkfxHTTPComponentClient_JWT* aValue) {
  if (aValue == FJWT) return;
  Hand(FJWT, FJWTEventsBound, aValue);
  FJWT = aValue;
}

void TkfxHTTP2_Authentication_Token::BindJWTEvents(TkfxOnAuthToken aOnAuthToken,
                                                   TkfxOnAuthTokenError aOnAuthTokenError) {
  if (!FJWT) return;
  FJWT->OnAuthToken = std::move(aOnAuthToken);
  FJWT->OnAuthTokenError = std::move(aOnAuthTokenError);
  FJWTEventsBound = true;
}

void TkfxHTTP2_Authentication_Token::JWTDestroyed() {
  FJWTEventsBound = false;
  SetJWT(nullptr);
}

void TkfxHTTP2_Authentication_Token::SetOAuth(TkfxHTTPComponentClient_OAuth* aValue) {
  if (aValue == FOAuth) return;
  Hand(FOAuth, FOAuthEventsBound, aValue);
  FOAuth = aValue;
}

void TkfxHTTP2_Authentication_Token::BindOAuthEvents(TkfxOnAuthToken aOnAuthToken,
                                                     TkfxOnAuthTokenError aOnAuthTokenError) {
  if (!FOAuth || FOAuthEventsBound) return;
  FOAuth->OnAuthToken = std::move(aOnAuthToken);
  FOAuth->OnAuthTokenError = std::move(aOnAuthTokenError);
  FOAuthEventsBound = true;
}

void TkfxHTTP2_Authentication_Token::OAuthDestroyed() {
  FOAuthEventsBound = false;
  SetOAuth(nullptr);
}

const TPersistentFields<TkfxHTTP2_Authentication_Options>& TkfxHTTP2_Authentication_Options::Fields() {
  using C = TkfxHTTP2_Authentication_Options;
  static const auto fields = TPersistentFields<C>().Object("Token", &C::FToken);
  return fields;
}

void TkfxHTTP2_Authentication_Options::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxHTTP2_Authentication_Options::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

// --- header lines ---

bool IsAuthorizationLine(const std::string& aLine) {
  const auto colon = aLine.find(':');
  return colon != std::string::npos && SameText(Trim(aLine.substr(0, colon)), "authorization");
}

std::string BearerTokenOf(const TStringList& aLines) {
  for (int i = aLines.Count() - 1; i >= 0; --i) {
    const std::string& line = aLines[i];
    if (!IsAuthorizationLine(line)) continue;
    const std::string value = Trim(line.substr(line.find(':') + 1));
    const auto space = value.find(' ');
    return space == std::string::npos ? std::string() : Trim(value.substr(space + 1));
  }
  return "";
}

// --- the token step ---

TkfxHTTP2_ProviderTokens& TkfxHTTP2_TokenSource::ProviderTokens() {
  return FOwnTokens ? *FOwnTokens : TkfxHTTP2_ProviderTokens::Process();
}

void TkfxHTTP2_TokenSource::SetTokenClock(std::function<uint64_t()> aClock) {
  if (aClock)
    FOwnTokens = std::make_unique<TkfxHTTP2_ProviderTokens>(std::move(aClock));
  else
    FOwnTokens.reset();
}

void TkfxHTTP2_TokenSource::DropOAuthToken() {
  std::lock_guard guard(FLock);
  FAuthToken.clear();
  FAuthTokenType.clear();
  FAuthTokenSource.clear();
  std::lock_guard answerGuard(FOAuthAnswer->Lock);
  FOAuthAnswer->Token.clear();
  FOAuthAnswer->TokenType.clear();
}

bool TkfxHTTP2_TokenSource::HasOAuthToken() {
  std::lock_guard guard(FLock);
  return !FAuthToken.empty();
}

void TkfxHTTP2_TokenSource::Refused(const std::string& aToken) {
  // Once for all the requests that carried it: the cache signs anew only
  // for the token it still holds.
  ProviderTokens().Refused(aToken);
  DropOAuthToken();
}

std::string TkfxHTTP2_TokenSource::Identity() {
  std::string identity;
  IdentityTo(identity);
  return identity;
}

void TkfxHTTP2_TokenSource::IdentityTo(std::string& aOut) {
  aOut.clear();
  aOut += std::to_string(reinterpret_cast<uintptr_t>(FOptions.OAuth()));
  aOut += '\n';
  if (TkfxHTTPComponentClient_JWT* jwt = FOptions.JWT()) aOut += JWTSigningIdentity(*jwt);
}

void TkfxHTTP2_TokenSource::CheckIdentity() {
  if (FAuthToken.empty()) return;
  thread_local std::string identity;
  IdentityTo(identity);
  if (FAuthTokenSource != identity) DropOAuthToken();
}

void TkfxHTTP2_TokenSource::Authorize(TkfxHTTP2Request& aRequest, const TSignJWT& aSign) {
  TkfxHTTPComponentClient_JWT* jwt = FOptions.JWT();
  if (!jwt && !FOptions.OAuth()) return;
  std::string line;
  if (FOptions.OAuth()) {
    // Asked first when both are set; the JWT client is left alone.
    line = OAuthTokenLine();
  } else {
    // The token of this signing identity, shared with every component of
    // the process that signs with it; one signing per lifetime, whichever
    // thread asks first.
    const int64_t lifetime = int64_t{jwt->JWTOptions().RefreshTokenAfter()} * 1000;
    const TkfxProviderTokenPtr token = ProviderTokens().Acquire(
        JWTSigningIdentity(*jwt), lifetime, FOptions.ReadTimeout(), [&aSign, jwt] { return aSign(*jwt); });
    if (token) line = "Authorization: " + token->TokenType + " " + token->Token;
  }
  if (line.empty()) return;
  TStringList& lines = aRequest.CustomHeaders;
  for (int i = lines.Count() - 1; i >= 0; --i)
    if (IsAuthorizationLine(lines[i])) lines.Delete(i);
  lines.Add(line);
}

std::string TkfxHTTP2_TokenSource::OAuthTokenLine() {
  using Clock = std::chrono::steady_clock;
  const int timeout = std::max(FOptions.ReadTimeout(), 0);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  const std::shared_ptr<TOAuthAnswer> answer = FOAuthAnswer;
  // Loops only when another thread's request was answered with a token that
  // was dropped again before this one read it.
  for (;;) {
    uint64_t round = 0;
    TkfxHTTPComponentClient_OAuth* start = nullptr;
    {
      std::lock_guard guard(FLock);
      CheckIdentity();
      std::lock_guard answerGuard(answer->Lock);
      if (FAuthToken.empty() && !answer->Token.empty()) {
        FAuthTokenType = std::move(answer->TokenType);
        FAuthToken = std::move(answer->Token);
        answer->TokenType.clear();
        answer->Token.clear();
        FAuthTokenSource = Identity();
      }
      if (!FAuthToken.empty()) return "Authorization: " + FAuthTokenType + " " + FAuthToken;
      // One token request at a time: later callers wait for the one in
      // flight, unless it has gone unanswered past its time-out.
      const Clock::time_point now = Clock::now();
      if (answer->Answered == answer->Asked || now >= answer->GiveUp) {
        ++answer->Asked;
        answer->Error.clear();
        answer->GiveUp = deadline;
        start = FOptions.OAuth();
        FOptions.BindOAuthEvents(
            [answer](TObject*, const std::string& TokenType, const std::string& Token, const std::string&) {
              {
                std::lock_guard guard(answer->Lock);
                answer->Answered = answer->Asked;
                answer->TokenType = TokenType;
                answer->Token = Token;
                answer->Error = Token.empty() ? "Error OAuth. The token is empty." : "";
              }
              SignalMainThread();
            },
            [answer](TObject*, const std::string& Error, const std::string& ErrorDescription, const std::string&) {
              {
                std::lock_guard guard(answer->Lock);
                answer->Answered = answer->Asked;
                answer->Token.clear();
                answer->Error = "Error " + Error + ". " + ErrorDescription;
              }
              SignalMainThread();
            });
      }
      round = answer->Asked;
    }
    if (start) {
      std::string failure;
      bool failed = true;
      try {
        start->Start();
        failed = false;
      } catch (Exception& E) {
        failure = E.Message();
      } catch (const std::exception& E) {
        failure = E.what();
      }
      if (failed) {
        if (failure.empty()) failure = "The token request could not be started.";
        std::lock_guard guard(answer->Lock);
        if (answer->Answered < round) {
          answer->Answered = round;
          answer->Error = "Error OAuth. " + failure;
        }
      }
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const bool answered = WaitServingMainThread(
        [&] {
          std::lock_guard guard(answer->Lock);
          return answer->Answered >= round;
        },
        static_cast<int>(std::max<int64_t>(left, 0)));
    std::lock_guard guard(answer->Lock);
    if (!answered && answer->Answered < round) {
      // Given up: the next step asks again; an answer that still comes is kept.
      answer->GiveUp = std::min(answer->GiveUp, Clock::now());
      throw Exception("Error OAuth. No token arrived within " + std::to_string(timeout) + " ms.");
    }
    if (!answer->Error.empty()) throw Exception(answer->Error);
  }
}

TkfxProviderToken TkfxHTTP2_TokenSource::SignJWT(TkfxHTTPComponentClient_JWT& aJWT, TkfxOnAuthToken aOnToken,
                                                 TkfxOnAuthTokenError aOnError) {
  // The cache lets one caller sign for an identity at a time, so the JWT
  // client's events point at this source's component while it signs: the
  // token it reports reaches the component that asked.
  std::lock_guard guard(FLock);
  FSignedToken.clear();
  FSignedTokenType.clear();
  FOptions.BindJWTEvents(std::move(aOnToken), std::move(aOnError));
  // The JWT client reports its token, or raises its error, before Start
  // returns, so there is nothing to wait for.
  aJWT.Start();
  TkfxProviderToken token{std::move(FSignedTokenType), std::move(FSignedToken)};
  FSignedToken.clear();
  FSignedTokenType.clear();
  return token;
}

void TkfxHTTP2_TokenSource::TokenSigned(const std::string& aTokenType, const std::string& aToken) {
  std::lock_guard guard(FLock);
  FSignedTokenType = aTokenType;
  FSignedToken = aToken;
}
