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

const std::string& JWTSigningIdentity(TkfxHTTPComponentClient_JWT& aJWT) {
  // Asked before every request: the digest is made again only when the
  // identity's text differs from the last one this thread saw.
  thread_local std::string text, lastText, digest;
  TkfxHTTP_JWT_Client_Options& options = aJWT.JWTOptions();
  const TkfxHTTP_JWTHeader& header = options.Header();
  const TkfxHTTP_JWTPayload& payload = options.Payload();
  text.clear();
  text += "JWT\n";
  text += std::to_string(static_cast<int>(header.alg));
  text += '\n';
  AppendField(text, header.typ);
  AppendField(text, header.kid);
  AppendKeyValues(text, header.KeyValues());
  AppendField(text, payload.iss);
  AppendField(text, payload.sub);
  AppendField(text, payload.aud);
  AppendField(text, payload.jti);
  text += std::to_string(payload.nbf);
  text += '\n';
  AppendKeyValues(text, payload.KeyValues());
  AppendLines(text, options.Algorithms().ES().PrivateKey());
  AppendLines(text, options.Algorithms().RS().PrivateKey());
  AppendField(text, options.Algorithms().HS().Secret());
  if (text != lastText || digest.empty()) {
    static const char kDigits[] = "0123456789abcdef";
    const std::vector<uint8_t> bytes = PlatformSHA256(text.data(), text.size());
    digest.clear();
    for (const uint8_t b : bytes) {
      digest += kDigits[b >> 4];
      digest += kDigits[b & 0xF];
    }
    lastText.swap(text);
  }
  return digest;
}
