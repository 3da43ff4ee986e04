// Checks bearer tokens (ES256 JSON Web Tokens) the way APNs does: signature
// against the team's key, "kid" and "iss", and an "iat" at most an hour old.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tools/apns-mock/resources.h"

namespace apns_mock {

enum class TokenVerdict { kValid, kInvalid, kExpired };

// What is known about one token text once its signature has been checked.
struct TokenFacts {
  bool well_formed_and_signed = false;  // alg ES256, kid, iss and signature all right
  int64_t issued_at = 0;                // "iat", seconds since the epoch
  std::string key_id;                   // "kid" of a well-formed token
  std::string hash;                     // first 16 hex digits of the text's SHA-256
};

class TokenVerifier {
 public:
  static constexpr int64_t kLifetimeSeconds = 3600;
  static constexpr int64_t kClockSkewSeconds = 60;  // tolerated "iat" in the future

  // key may be null: then no token is valid.
  TokenVerifier(EvpPkeyPtr key, std::string key_id, std::string team_id);

  // The facts about token (the text after "bearer "). A token's signature is
  // verified once; later calls with the same text are a cache look-up. The
  // reference stays valid until the next call.
  const TokenFacts& Examine(std::string_view token);

  static TokenVerdict Judge(const TokenFacts& facts, int64_t now_seconds);

  // Reads an EC public key PEM, or the public half of a private key PEM
  // (PKCS#8 .p8 files). Throws std::runtime_error naming the file.
  static EvpPkeyPtr LoadKey(const std::string& file);

 private:
  static constexpr size_t kCacheLimit = 4096;

  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };

  TokenFacts Verify(std::string_view token) const;
  bool SignatureMatches(std::string_view signed_part, const std::string& signature) const;

  EvpPkeyPtr key_;
  std::string key_id_;
  std::string team_id_;
  std::unordered_map<std::string, TokenFacts, TextHash, std::equal_to<>> cache_;
};

}  // namespace apns_mock
