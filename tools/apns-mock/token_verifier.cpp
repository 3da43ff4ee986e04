#include "tools/apns-mock/token_verifier.h"

#include <openssl/pem.h>
#include <openssl/sha.h>

#include <charconv>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "tools/apns-mock/json.h"

namespace apns_mock {
namespace {

std::optional<std::string> Base64UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3 / 4);
  uint32_t bits = 0;
  int bit_count = 0;
  for (const char c : text) {
    uint32_t v = 0;
    if (c >= 'A' && c <= 'Z') {
      v = static_cast<uint32_t>(c - 'A');
    } else if (c >= 'a' && c <= 'z') {
      v = static_cast<uint32_t>(c - 'a' + 26);
    } else if (c >= '0' && c <= '9') {
      v = static_cast<uint32_t>(c - '0' + 52);
    } else if (c == '-') {
      v = 62;
    } else if (c == '_') {
      v = 63;
    } else {
      return std::nullopt;  // padding is not used in tokens
    }
    bits = (bits << 6) | v;
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      out += static_cast<char>((bits >> bit_count) & 0xFF);
    }
  }
  if (bit_count >= 6) return std::nullopt;  // one character left over cannot encode a byte
  return out;
}

std::string HashPrefix(std::string_view text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0xF];
  }
  return out;
}

bool IsString(const JsonMembers& members, const char* name, std::string_view expected) {
  const auto it = members.find(name);
  return it != members.end() && it->second.is_string && it->second.text == expected;
}

}  // namespace

TokenVerifier::TokenVerifier(EvpPkeyPtr key, std::string key_id, std::string team_id)
    : key_(std::move(key)), key_id_(std::move(key_id)), team_id_(std::move(team_id)) {}

EvpPkeyPtr TokenVerifier::LoadKey(const std::string& file) {
  std::unique_ptr<FILE, FreeWith<fclose>> f(std::fopen(file.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open token key file \"" + file + "\"");
  EvpPkeyPtr key(PEM_read_PUBKEY(f.get(), nullptr, nullptr, nullptr));
  if (!key) {
    std::rewind(f.get());
    key.reset(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr));
  }
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC || EVP_PKEY_get_bits(key.get()) != 256)
    throw std::runtime_error("\"" + file + "\" holds no EC P-256 key in PEM form");
  return key;
}

const TokenFacts& TokenVerifier::Examine(std::string_view token) {
  if (const auto it = cache_.find(token); it != cache_.end()) return it->second;
  // A bounded cache: when full, start over. Tokens are long-lived, so this
  // only happens under a flood of distinct ones.
  if (cache_.size() >= kCacheLimit) cache_.clear();
  return cache_.emplace(std::string(token), Verify(token)).first->second;
}

TokenVerdict TokenVerifier::Judge(const TokenFacts& facts, int64_t now_seconds) {
  // An "iat" before 1970 is no time a provider signs at. The comparisons
  // take the constants from the known-sane side, so no "iat" can overflow them.
  if (!facts.well_formed_and_signed || facts.issued_at < 0 ||
      facts.issued_at - kClockSkewSeconds > now_seconds)
    return TokenVerdict::kInvalid;
  if (facts.issued_at < now_seconds - kLifetimeSeconds) return TokenVerdict::kExpired;
  return TokenVerdict::kValid;
}

TokenFacts TokenVerifier::Verify(std::string_view token) const {
  TokenFacts facts;
  facts.hash = HashPrefix(token);
  if (!key_) return facts;

  const size_t dot1 = token.find('.');
  const size_t dot2 = dot1 == std::string_view::npos ? dot1 : token.find('.', dot1 + 1);
  if (dot2 == std::string_view::npos || token.find('.', dot2 + 1) != std::string_view::npos)
    return facts;
  const auto header_text = Base64UrlDecode(token.substr(0, dot1));
  const auto claims_text = Base64UrlDecode(token.substr(dot1 + 1, dot2 - dot1 - 1));
  const auto signature = Base64UrlDecode(token.substr(dot2 + 1));
  if (!header_text || !claims_text || !signature) return facts;
  const auto header = ParseJsonObject(*header_text);
  const auto claims = ParseJsonObject(*claims_text);
  if (!header || !claims) return facts;

  if (!IsString(*header, "alg", "ES256") || !IsString(*header, "kid", key_id_) ||
      !IsString(*claims, "iss", team_id_))
    return facts;
  const auto iat = claims->find("iat");
  if (iat == claims->end() || iat->second.is_string) return facts;
  const std::string& number = iat->second.text;
  const auto [end, ec] =
      std::from_chars(number.data(), number.data() + number.size(), facts.issued_at);
  if (ec != std::errc() || end != number.data() + number.size()) return facts;

  facts.well_formed_and_signed = SignatureMatches(token.substr(0, dot2), *signature);
  facts.key_id = key_id_;
  return facts;
}

// JWS carries the ECDSA signature as r||s (32 octets each for P-256);
// OpenSSL verifies the DER form of ECDSA-Sig-Value.
bool TokenVerifier::SignatureMatches(std::string_view signed_part,
                                     const std::string& signature) const {
  if (signature.size() != 64) return false;
  const auto* raw = reinterpret_cast<const unsigned char*>(signature.data());
  BignumPtr r(BN_bin2bn(raw, 32, nullptr));
  BignumPtr s(BN_bin2bn(raw + 32, 32, nullptr));
  EcdsaSigPtr sig(ECDSA_SIG_new());
  if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return false;
  r.release();  // now owned by sig
  s.release();
  unsigned char* der = nullptr;
  const int der_length = i2d_ECDSA_SIG(sig.get(), &der);
  if (der_length <= 0) return false;
  const std::unique_ptr<unsigned char, FreeWith<FreeOpenSslMemory>> der_owner(der);

  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), der, static_cast<size_t>(der_length),
                          reinterpret_cast<const unsigned char*>(signed_part.data()),
                          signed_part.size()) == 1;
}

}  // namespace apns_mock
