// The provider-token step of the HTTP/2 client component: where the bearer
// token of each request comes from, and the rules each source follows.
//
// - A JWT client's token is not the component's: it lives in the process's
//   token cache (kfxHTTP2_Client_Tokens.h), shared by every component that
//   signs with the same identity, and is kept for its lifetime
//   (RefreshTokenAfter) whatever happens to connections. It is replaced when
//   it is older, when the server refuses it (Refused), or when the identity
//   changes.
// - An OAuth client's token is the component's own: fetched once for all
//   requests that need it while none is held, waited for up to the token
//   read time-out, and dropped with each connection (DropOAuthToken).
//
// Threads. Authorize runs on the caller's thread (synchronous requests) and
// on the request thread (queued ones), both at once. The source's lock
// guards the OAuth token and the token a JWT client reports while it signs;
// it is not held while a token request is waited for. The OAuth client's
// answer may arrive on any thread, even after the component is gone: it
// lands in a record the handlers share.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "http2/client/kfxHTTP2_Client_Tokens.h"
#include "http2/core/kfxHTTP2_Classes.h"
#include "jwt/kfxHTTP_JWT_Client.h"
#include "jwt/kfxHTTP_OAuth_Client.h"
#include "rtl/Classes.h"
#include "rtl/PersistentFields.h"

// Where bearer tokens come from. JWT and OAuth are references to components
// the application owns; the client is told when they are freed.
class TkfxHTTP2_Authentication_Token : public TPersistent {
 public:
  // aClient is the component these options belong to.
  explicit TkfxHTTP2_Authentication_Token(TComponent* aClient) : FClient(aClient) {}

  // Copies the references and the time-out.
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  TkfxHTTPComponentClient_JWT* JWT() const { return FJWT; }
  // Unbinding a JWT client takes back the handlers BindJWTEvents set on it.
  void SetJWT(TkfxHTTPComponentClient_JWT* aValue);
  // Sets the client's token handlers on the bound JWT client. They capture
  // the client, so they must not outlive the binding: SetJWT (also the
  // client's destructor, which unbinds) clears them again.
  void BindJWTEvents(TkfxOnAuthToken aOnAuthToken, TkfxOnAuthTokenError aOnAuthTokenError);
  // The bound JWT client is being destroyed: forgets it without touching
  // its events, which are already gone.
  void JWTDestroyed();
  TkfxHTTPComponentClient_OAuth* OAuth() const { return FOAuth; }
  // As SetJWT, for the OAuth client.
  void SetOAuth(TkfxHTTPComponentClient_OAuth* aValue);
  // Sets the client's token handlers on the bound OAuth client, once per
  // binding: later calls leave them alone, so a late answer from an earlier
  // request never meets a handler being replaced.
  void BindOAuthEvents(TkfxOnAuthToken aOnAuthToken, TkfxOnAuthTokenError aOnAuthTokenError);
  void OAuthDestroyed();
  // Milliseconds a request waits for a token.
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int aValue) { FReadTimeout = aValue; }

 private:
  static const TPersistentFields<TkfxHTTP2_Authentication_Token>& Fields();
  // Lets go of aOld (taking back our handlers when it carries them) and
  // follows aNew's free.
  void Hand(TkfxHTTPComponentClientAuthToken_Base* aOld, bool& aEventsBound,
            TkfxHTTPComponentClientAuthToken_Base* aNew);

  TComponent* FClient;
  TkfxHTTPComponentClient_JWT* FJWT = nullptr;
  bool FJWTEventsBound = false;  // FJWT carries our handlers
  TkfxHTTPComponentClient_OAuth* FOAuth = nullptr;
  bool FOAuthEventsBound = false;  // FOAuth carries our handlers
  int FReadTimeout = 60000;
};

class TkfxHTTP2_Authentication_Options : public TPersistent {
 public:
  explicit TkfxHTTP2_Authentication_Options(TComponent* aClient)
      : FToken(std::make_unique<TkfxHTTP2_Authentication_Token>(aClient)) {}

  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  TkfxHTTP2_Authentication_Token& Token() { return *FToken; }
  void SetToken(const TkfxHTTP2_Authentication_Token& aValue) { FToken->Assign(&aValue); }

 private:
  static const TPersistentFields<TkfxHTTP2_Authentication_Options>& Fields();
  std::unique_ptr<TkfxHTTP2_Authentication_Token> FToken;
};

// Whether aLine is an "authorization" header line (any case, any spacing).
bool IsAuthorizationLine(const std::string& aLine);
// The token of the last "authorization" line ("Bearer <token>") of aLines;
// empty when it has none.
std::string BearerTokenOf(const TStringList& aLines);

// The token step over one component's token options.
class TkfxHTTP2_TokenSource {
 public:
  // Signs a token with the JWT client; raises the client's error.
  using TSignJWT = std::function<TkfxProviderToken(TkfxHTTPComponentClient_JWT&)>;

  // aOptions is the component's and outlives the source.
  explicit TkfxHTTP2_TokenSource(TkfxHTTP2_Authentication_Token& aOptions) : FOptions(aOptions) {}
  TkfxHTTP2_TokenSource(const TkfxHTTP2_TokenSource&) = delete;
  TkfxHTTP2_TokenSource& operator=(const TkfxHTTP2_TokenSource&) = delete;

  // Puts the "authorization" line of a bearer token into aRequest, replacing
  // any earlier one, when a source is configured (OAuth asked first when both
  // are). A JWT token comes from the cache, signed through aSign only when
  // none is cached or the cached one is too old. Raises the source's error,
  // or a time-out error when no OAuth token came in time.
  void Authorize(TkfxHTTP2Request& aRequest, const TSignJWT& aSign);

  // Signs with aJWT while its events point at aOnToken/aOnError (through
  // the options' binding), which report to TokenSigned; returns what was
  // reported. The JWT client reports or raises before Start returns.
  TkfxProviderToken SignJWT(TkfxHTTPComponentClient_JWT& aJWT, TkfxOnAuthToken aOnToken,
                            TkfxOnAuthTokenError aOnError);
  // What the JWT client reported while SignJWT ran.
  void TokenSigned(const std::string& aTokenType, const std::string& aToken);

  // The server refused aToken as expired or invalid: the cache drops it,
  // and so does this source's OAuth token.
  void Refused(const std::string& aToken);
  // Drops the OAuth token this source holds (the JWT cache is untouched).
  void DropOAuthToken();
  // Whether an OAuth token is held.
  bool HasOAuthToken();

  // Who signs or fetches the tokens: the OAuth client by itself, a JWT
  // client by what it signs with (two with the same key and claims are one
  // source). Written into aOut, cleared first: checked per request, it
  // reuses the caller's buffer.
  void IdentityTo(std::string& aOut);
  std::string Identity();

  // The process's cache, unless SetTokenClock gave this source its own.
  TkfxHTTP2_ProviderTokens& ProviderTokens();
  // A cache of this source's own on aClock (milliseconds on a monotonic
  // clock); null returns to the process's cache. Set before the first request.
  void SetTokenClock(std::function<uint64_t()> aClock);

 private:
  // What the OAuth client answered. The handlers set on that client hold it
  // too, so an answer arriving late, on any thread, even after this source
  // is gone, lands in memory that is still alive. A delivered token moves
  // from here into FAuthToken at the next token step.
  struct TOAuthAnswer {
    std::mutex Lock;
    uint64_t Asked = 0;     // token requests started
    uint64_t Answered = 0;  // the latest of them answered
    std::chrono::steady_clock::time_point GiveUp;  // when the one in flight is abandoned
    std::string TokenType, Token, Error;
  };

  // The authorization line with the OAuth client's token: held, or asked
  // for and waited for up to the options' ReadTimeout.
  std::string OAuthTokenLine();
  // Drops the held OAuth token when the source changed. Under FLock.
  void CheckIdentity();

  TkfxHTTP2_Authentication_Token& FOptions;
  std::recursive_mutex FLock;
  std::string FAuthToken;        // guarded by FLock
  std::string FAuthTokenType;    // guarded by FLock
  std::string FAuthTokenSource;  // guarded by FLock: Identity of the held token
  std::string FSignedToken;      // guarded by FLock
  std::string FSignedTokenType;  // guarded by FLock
  std::unique_ptr<TkfxHTTP2_ProviderTokens> FOwnTokens;  // from SetTokenClock
  const std::shared_ptr<TOAuthAnswer> FOAuthAnswer = std::make_shared<TOAuthAnswer>();
};
