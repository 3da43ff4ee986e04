#include "tests/support/apns_mock_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace apns_test {
namespace {

constexpr auto kPollStep = 5ms;
constexpr auto kStartTimeout = 10s;

template <auto FreeFn>
struct FreeWith {
  template <class T>
  void operator()(T* p) const {
    FreeFn(p);
  }
};

std::string Base64Url(const unsigned char* data, size_t length) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  uint32_t bits = 0;
  int bit_count = 0;
  for (size_t i = 0; i < length; ++i) {
    bits = (bits << 8) | data[i];
    bit_count += 8;
    while (bit_count >= 6) {
      bit_count -= 6;
      out += kAlphabet[(bits >> bit_count) & 0x3F];
    }
  }
  if (bit_count > 0) out += kAlphabet[(bits << (6 - bit_count)) & 0x3F];
  return out;
}

std::string Base64Url(std::string_view text) {
  return Base64Url(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace

std::string MakeProviderToken(const TokenSpec& spec) {
  const int64_t iat = spec.iat ? *spec.iat
                              : std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                        .count() +
                                    spec.iat_offset_seconds;
  const std::string signed_part =
      Base64Url("{\"alg\":\"ES256\",\"kid\":\"" + spec.kid + "\"}") + "." +
      Base64Url("{\"iss\":\"" + spec.iss + "\",\"iat\":" + std::to_string(iat) + "}");

  const std::string key_file = FixturePath("AuthKey_TEST123456.p8");
  std::unique_ptr<BIO, FreeWith<BIO_free>> bio(BIO_new_file(key_file.c_str(), "r"));
  std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>> key(
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) throw std::runtime_error("cannot read " + key_file);

  std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX_free>> ctx(EVP_MD_CTX_new());
  size_t der_length = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &der_length,
                     reinterpret_cast<const unsigned char*>(signed_part.data()),
                     signed_part.size()) != 1)
    throw std::runtime_error("cannot sign a token");
  std::vector<unsigned char> der(der_length);
  if (EVP_DigestSign(ctx.get(), der.data(), &der_length,
                     reinterpret_cast<const unsigned char*>(signed_part.data()),
                     signed_part.size()) != 1)
    throw std::runtime_error("cannot sign a token");

  // DER ECDSA-Sig-Value to the r||s form of JWS.
  const unsigned char* p = der.data();
  std::unique_ptr<ECDSA_SIG, FreeWith<ECDSA_SIG_free>> sig(
      d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_length)));
  if (!sig) throw std::runtime_error("bad DER signature");
  unsigned char rs[64];
  BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), rs, 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), rs + 32, 32);
  if (spec.break_signature) rs[10] ^= 0x01;
  return signed_part + "." + Base64Url(rs, sizeof rs);
}

ApnsMock::ApnsMock(std::vector<std::string> options, std::vector<std::string> launcher) {
  std::vector<std::string> argv = std::move(launcher);
  const std::vector<std::string> program = {ApnsMockPath(), "--cert", FixturePath("server.crt"),
                                            "--key",        FixturePath("server.key"),
                                            "--port",       "0",
                                            "--log",        dir_.File("requests.log")};
  argv.insert(argv.end(), program.begin(), program.end());
  argv.insert(argv.end(), options.begin(), options.end());
  process_.emplace(argv, dir_.File("stdout"), dir_.File("stderr"));

  // Ready when the port is printed: it listens before printing.
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  for (;;) {
    const std::string out = ReadFile(dir_.File("stdout"));
    if (const size_t end = out.find('\n'); end != std::string::npos) {
      port_ = static_cast<uint16_t>(std::stoul(out.substr(0, end)));
      return;
    }
    if (process_->Wait(0ms) || std::chrono::steady_clock::now() >= deadline)
      throw std::runtime_error("apns-mock did not start: " + Stderr());
    std::this_thread::sleep_for(kPollStep);
  }
}

std::vector<std::string> ApnsMock::BothAuthModes() {
  return {
      "--client-ca", FixturePath("ca.crt"), "--auth-key", FixturePath("AuthKey_TEST123456.pub.pem"),
      "--key-id",    std::string(kKeyId),   "--team-id",  std::string(kTeamId)};
}

std::string ApnsMock::DeviceUrl(std::string_view device_token) const {
  return "https://127.0.0.1:" + std::to_string(port_) + "/3/device/" + std::string(device_token);
}

std::vector<std::string> ApnsMock::LogLines() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(dir_.File("requests.log")));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string JsonMember(std::string_view line, std::string_view name) {
  const std::string key = "\"" + std::string(name) + "\":";
  size_t pos = 0;
  for (;;) {
    pos = line.find(key, pos);
    if (pos == std::string_view::npos) return {};
    // Inside a JSON string every quote is escaped, so an unescaped key after
    // '{' or ',' is a member of some object; the log nests no objects.
    if (pos > 0 && (line[pos - 1] == '{' || line[pos - 1] == ',')) break;
    pos += key.size();
  }
  const size_t start = pos + key.size();
  int depth = 0;
  bool in_string = false;
  for (size_t i = start; i < line.size(); ++i) {
    const char c = line[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      if (depth == 0) return std::string(line.substr(start, i - start));
      --depth;
    } else if (c == ',' && depth == 0) {
      return std::string(line.substr(start, i - start));
    }
  }
  return {};
}

}  // namespace apns_test
