// Command line of apns-mock.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace apns_mock {

// A bad command line; the message says what is wrong.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 2197;
  std::string cert_file;
  std::string key_file;
  std::string client_ca_file;  // empty: no client certificate is requested

  std::string auth_key_file;  // EC public key (or private key) that signs bearer tokens
  std::string key_id;
  std::string team_id;

  // Device tokens (lower-case hex) answered 410 Unregistered, with the
  // timestamp (ms since the epoch) to report.
  std::unordered_map<std::string, int64_t> unregistered;

  // Device tokens (lower-case hex) answered with a passing failure: 429
  // TooManyRequests, 500 InternalServerError or 503 ServiceUnavailable.
  struct Failure {
    int status = 0;
    uint32_t attempts = 0;  // the first this many requests for the token; 0: every one
  };
  std::unordered_map<std::string, Failure> failures;

  uint32_t delay_ms = 0;
  uint32_t token_update_interval_ms = 20 * 60 * 1000;  // a new token sooner: 429
  uint32_t goaway_after = 0;  // 0: never
  uint32_t close_after = 0;   // 0: never
  uint32_t max_concurrent_streams = 1000;
  bool limit_streams_before_auth = true;
  uint32_t handshake_timeout_ms = 10000;  // TLS handshake and ALPN must be done by then
  uint32_t idle_timeout_s = 600;          // no request for this long: GOAWAY IdleTimeout

  std::string log_file;  // empty: no log; "-": standard output
  bool log_bodies = false;  // the log also carries each request body (in hex)
  bool help = false;
  bool version = false;
};

// Parses argv; throws UsageError. Checks the shape of the values only, files
// are opened later by whoever uses them.
Options ParseOptions(int argc, char** argv);

const char* UsageText();

}  // namespace apns_mock
