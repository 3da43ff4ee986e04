// Provider tokens: the bearer tokens that a JWT client signs, kept once per
// signing identity for the whole process.
//
// A server that takes provider tokens (APNs) wants one token per signing key
// reused for its whole lifetime: a new token sooner than its update interval
// is refused. So a token is not a connection's or a component's: every
// component of the process that signs with the same identity (key material,
// key id, issuer, algorithm and the other fixed claims) uses the same token,
// across reconnects and connections, until it is older than its lifetime or
// the server refuses it.
//
// The cache knows nothing of components or connections: it keeps tokens by
// identity, lets one caller per identity sign at a time and hands the others
// that caller's token.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

class TkfxHTTPComponentClient_JWT;

// A bearer token as a token source reports it.
struct TkfxProviderToken {
  std::string TokenType;  // "Bearer"
  std::string Token;      // the compact JWT
};

using TkfxProviderTokenPtr = std::shared_ptr<const TkfxProviderToken>;

class TkfxHTTP2_ProviderTokens {
 public:
  // Milliseconds on a monotonic clock.
  using TClock = std::function<uint64_t()>;
  // Makes a new token; raises when it cannot. An empty token is no token.
  using TSign = std::function<TkfxProviderToken()>;

  // aClock null: the monotonic tick count.
  explicit TkfxHTTP2_ProviderTokens(TClock aClock = nullptr);
  TkfxHTTP2_ProviderTokens(const TkfxHTTP2_ProviderTokens&) = delete;
  TkfxHTTP2_ProviderTokens& operator=(const TkfxHTTP2_ProviderTokens&) = delete;

  // The cache that components share, on the monotonic tick count.
  static TkfxHTTP2_ProviderTokens& Process();

  // The token of aIdentity while it is younger than aLifetimeMs (0 or less:
  // a token is never reused); otherwise one made by aSign, which then
  // replaces it. One caller per identity signs at a time: another one asking
  // meanwhile waits for that token (up to aWaitMs; on the main thread it
  // serves synchronous calls meanwhile) and takes it when it is still
  // young enough, else signs in turn. A raise of aSign reaches only the
  // caller that signed and leaves no token behind. Null when no token came:
  // aSign gave an empty one, or the wait ran out.
  TkfxProviderTokenPtr Acquire(const std::string& aIdentity, int64_t aLifetimeMs, int aWaitMs,
                               const TSign& aSign);

  // The server refused aToken (expired or invalid): the identity that holds
  // it as its current token drops it, so the next Acquire signs anew. A
  // token already replaced is left alone: many refusals of one token make
  // one new token. True when a token was dropped.
  bool Refused(const std::string& aToken);

  // Drops every token (a signing in progress still stores its own).
  void Clear();
  // Identities holding a token.
  size_t Count();
  // Tokens made by aSign through this cache since it was created.
  uint64_t Signatures();

 private:
  struct TEntry {
    TkfxProviderTokenPtr Token;
    uint64_t Time = 0;      // FClock when it was stored
    int64_t Lifetime = 0;   // ms, as asked by the caller that signed it
    bool Signing = false;   // a caller is making its token
  };

  static bool Fresh(const TEntry& aEntry, int64_t aLifetimeMs, uint64_t aNow);
  // Ends the signing of aIdentity, storing aToken when it is one.
  void Finish(const std::string& aIdentity, int64_t aLifetimeMs, TkfxProviderTokenPtr aToken);
  // Forgets the tokens that have outlived the lifetime they were signed for. Under FLock.
  void Prune(uint64_t aNow);

  const TClock FClock;
  std::mutex FLock;
  std::unordered_map<std::string, TEntry> FEntries;  // guarded by FLock
  uint64_t FSignatures = 0;                          // guarded by FLock
};

// The signing identity of a JWT client's tokens: algorithm, the header and
// claims that are the same in every token it signs (not iat and exp), the
// extra members and the key material, as a SHA-256 digest in hexadecimal, so
// that no key text is kept with the tokens. The reference stays valid until
// the next call on the same thread.
const std::string& JWTSigningIdentity(TkfxHTTPComponentClient_JWT& aJWT);
