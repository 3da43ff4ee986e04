#include "http2/client/kfxHTTP2_Client_Tokens.h"

#include <algorithm>
#include <chrono>

#include "base/kfxBase_Helpers.h"
#include "jwt/kfxHTTP_JWT_Client.h"
#include "platform/sha2/sha2.h"
#include "rtl/MainThread.h"

TkfxHTTP2_ProviderTokens::TkfxHTTP2_ProviderTokens(TClock aClock)
    : FClock(aClock ? std::move(aClock) : TClock(TicksNow)) {}

TkfxHTTP2_ProviderTokens& TkfxHTTP2_ProviderTokens::Process() {
  // Never destroyed: components freed during the process's exit may still ask.
  static TkfxHTTP2_ProviderTokens* const instance = new TkfxHTTP2_ProviderTokens();
  return *instance;
}

bool TkfxHTTP2_ProviderTokens::Fresh(const TEntry& aEntry, int64_t aLifetimeMs, uint64_t aNow) {
  return aEntry.Token && aLifetimeMs > 0 && TickDiff(aEntry.Time, aNow) < static_cast<uint64_t>(aLifetimeMs);
}

TkfxProviderTokenPtr TkfxHTTP2_ProviderTokens::Acquire(const std::string& aIdentity, int64_t aLifetimeMs,
                                                       int aWaitMs, const TSign& aSign) {
  {
    std::lock_guard guard(FLock);
    const auto at = FEntries.find(aIdentity);
    if (at != FEntries.end() && !at->second.Signing && Fresh(at->second, aLifetimeMs, FClock()))
      return at->second.Token;
  }
  // A copy: what runs while this caller waits or signs may reuse the
  // caller's text.
  const std::string identity = aIdentity;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(aWaitMs, 0));
  {
    std::unique_lock lock(FLock);
    for (;;) {
      TEntry& entry = FEntries[identity];
      if (!entry.Signing) {
        if (Fresh(entry, aLifetimeMs, FClock())) return entry.Token;
        entry.Signing = true;
        break;
      }
      // Another caller signs for this identity: its token is ours too.
      lock.unlock();
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      const bool finished = WaitServingMainThread(
          [&] {
            std::lock_guard guard(FLock);
            const auto at = FEntries.find(identity);
            return at == FEntries.end() || !at->second.Signing;
          },
          static_cast<int>(std::max<int64_t>(left.count(), 0)));
      lock.lock();
      if (!finished) return nullptr;
    }
  }
  TkfxProviderTokenPtr token;
  try {
    TkfxProviderToken made = aSign();
    if (!made.Token.empty()) token = std::make_shared<const TkfxProviderToken>(std::move(made));
  } catch (...) {
    Finish(identity, aLifetimeMs, nullptr);
    throw;
  }
  Finish(identity, aLifetimeMs, token);
  return token;
}

void TkfxHTTP2_ProviderTokens::Finish(const std::string& aIdentity, int64_t aLifetimeMs,
                                      TkfxProviderTokenPtr aToken) {
  {
    std::lock_guard guard(FLock);
    const uint64_t now = FClock();
    TEntry& entry = FEntries[aIdentity];
    entry.Signing = false;
    if (aToken) {
      entry.Token = std::move(aToken);
      entry.Time = now;
      entry.Lifetime = aLifetimeMs;
      ++FSignatures;
    }
    Prune(now);
  }
  // Wakes the callers waiting for this token; they look at it under FLock.
  SignalMainThread();
}

void TkfxHTTP2_ProviderTokens::Prune(uint64_t aNow) {
  for (auto at = FEntries.begin(); at != FEntries.end();) {
    const TEntry& entry = at->second;
    if (!entry.Signing && !Fresh(entry, entry.Lifetime, aNow))
      at = FEntries.erase(at);
    else
      ++at;
  }
}

bool TkfxHTTP2_ProviderTokens::Refused(const std::string& aToken) {
  if (aToken.empty()) return false;
  std::lock_guard guard(FLock);
  for (auto& [identity, entry] : FEntries) {
    if (entry.Token && entry.Token->Token == aToken) {
      entry.Token.reset();
      return true;
    }
  }
  return false;
}

void TkfxHTTP2_ProviderTokens::Clear() {
  std::lock_guard guard(FLock);
  for (auto at = FEntries.begin(); at != FEntries.end();) {
    if (at->second.Signing) {
      at->second.Token.reset();
      ++at;
    } else {
      at = FEntries.erase(at);
    }
  }
}

size_t TkfxHTTP2_ProviderTokens::Count() {
  std::lock_guard guard(FLock);
  return static_cast<size_t>(
      std::count_if(FEntries.begin(), FEntries.end(), [](const auto& aEntry) { return aEntry.second.Token != nullptr; }));
}

uint64_t TkfxHTTP2_ProviderTokens::Signatures() {
  std::lock_guard guard(FLock);
  return FSignatures;
}

// --- signing identity ---

namespace {

void AppendField(std::string& aOut, const std::string& aValue) {
  // Length-prefixed, so no value can pass for a neighbour's.
  aOut += std::to_string(aValue.size());
  aOut += ':';
  aOut += aValue;
}

void AppendLines(std::string& aOut, const TStringList& aLines) {
  aOut += std::to_string(aLines.Count());
  aOut += ':';
  for (int i = 0; i < aLines.Count(); ++i) AppendField(aOut, aLines[i]);
}

void AppendKeyValues(std::string& aOut, const std::vector<std::pair<std::string, std::string>>& aValues) {
  aOut += std::to_string(aValues.size());
  aOut += ':';
  for (const auto& [name, value] : aValues) {
    AppendField(aOut, name);
    AppendField(aOut, value);
  }
}

}  // namespace

namespace {

// What a signing identity is made of, copied from the options, so that the
// next request compares fields instead of building and hashing text.
struct TIdentityFields {
  int Alg = -1;
  std::string Typ, Kid, Iss, Sub, Aud, Jti, Secret;
  int64_t Nbf = 0;
  std::vector<std::pair<std::string, std::string>> HeaderValues, PayloadValues;
  std::vector<std::string> ESKey, RSKey;
};

}  // namespace

const std::string& JWTSigningIdentity(TkfxHTTPComponentClient_JWT& aJWT) {
  // Asked before every request: while the fields equal the last ones this
  // thread saw, the digest of that time is the answer.
  thread_local TIdentityFields last;
  thread_local std::string digest;
  TkfxHTTP_JWT_Client_Options& options = aJWT.JWTOptions();
  const TkfxHTTP_JWTHeader& header = options.Header();
  const TkfxHTTP_JWTPayload& payload = options.Payload();
  const TStringList& esKey = options.Algorithms().ES().PrivateKey();
  const TStringList& rsKey = options.Algorithms().RS().PrivateKey();
  const std::string& secret = options.Algorithms().HS().Secret();
  if (!digest.empty() && last.Alg == static_cast<int>(header.alg) && last.Typ == header.typ &&
      last.Kid == header.kid && last.Iss == payload.iss && last.Sub == payload.sub && last.Aud == payload.aud &&
      last.Jti == payload.jti && last.Nbf == payload.nbf && last.Secret == secret &&
      last.HeaderValues == header.KeyValues() && last.PayloadValues == payload.KeyValues() &&
      last.ESKey == esKey.Lines() && last.RSKey == rsKey.Lines())
    return digest;

  last.Alg = static_cast<int>(header.alg);
  last.Typ = header.typ;
  last.Kid = header.kid;
  last.Iss = payload.iss;
  last.Sub = payload.sub;
  last.Aud = payload.aud;
  last.Jti = payload.jti;
  last.Nbf = payload.nbf;
  last.Secret = secret;
  last.HeaderValues = header.KeyValues();
  last.PayloadValues = payload.KeyValues();
  last.ESKey = esKey.Lines();
  last.RSKey = rsKey.Lines();

  std::string text = "JWT\n";
  text += std::to_string(last.Alg);
  text += '\n';
  AppendField(text, last.Typ);
  AppendField(text, last.Kid);
  AppendKeyValues(text, last.HeaderValues);
  AppendField(text, last.Iss);
  AppendField(text, last.Sub);
  AppendField(text, last.Aud);
  AppendField(text, last.Jti);
  text += std::to_string(last.Nbf);
  text += '\n';
  AppendKeyValues(text, last.PayloadValues);
  AppendLines(text, esKey);
  AppendLines(text, rsKey);
  AppendField(text, last.Secret);
  static const char kDigits[] = "0123456789abcdef";
  const std::vector<uint8_t> bytes = PlatformSHA256(text.data(), text.size());
  digest.clear();
  for (const uint8_t b : bytes) {
    digest += kDigits[b >> 4];
    digest += kDigits[b & 0xF];
  }
  return digest;
}
