#include "tools/apns-mock/options.h"

#include <charconv>
#include <chrono>
#include <string_view>

#include "tools/apns-mock/text.h"

namespace apns_mock {
namespace {

constexpr const char* kUsage = R"(usage: apns-mock --cert FILE --key FILE [options]

A local APNs test server: HTTP/2 over TLS (ALPN h2, TLS 1.2 and 1.3) that
answers POST /3/device/<token> as APNs does. Prints the listening port on the
first line of standard output. Stops on SIGTERM or SIGINT (exit code 0).

TLS:
  --cert FILE                 server certificate chain (PEM)
  --key FILE                  server private key (PEM)
  --client-ca FILE            request a client certificate and verify it
                              against the CA certificates in FILE
Listening:
  --host ADDR                 numeric IPv4 or IPv6 address (default 127.0.0.1)
  --port N                    TCP port, 0 picks a free one (default 2197)
Bearer tokens (ES256 JWT in "authorization: bearer <jwt>"):
  --auth-key FILE             EC P-256 key that signs the tokens: a public key
                              PEM or the PKCS#8 private key (.p8)
  --key-id ID                 the "kid" tokens must carry
  --team-id ID                the "iss" tokens must carry
Answers:
  --unregistered TOKEN[:MS]   answer 410 Unregistered for this device token,
                              with timestamp MS (ms since the epoch; default:
                              start time); repeatable
  --fail TOKEN=STATUS[:N]     answer the first N requests for this device
                              token (on any connection; default: every one)
                              with STATUS: 429 TooManyRequests, 500
                              InternalServerError or 503 ServiceUnavailable;
                              later ones get their usual answer; repeatable
  --delay MS                  answer each request MS milliseconds late
  --token-update-interval MS  answer 429 TooManyProviderTokenUpdates to a
                              token that would replace its key's current one
                              (on any connection) sooner than MS milliseconds
                              after the last replacement (default 1200000,
                              20 minutes; 0 takes every new token)
Connections:
  --max-concurrent-streams N  SETTINGS_MAX_CONCURRENT_STREAMS (default 1000)
  --no-auth-stream-limit      give connections without a client certificate
                              the full stream limit at once instead of 1
                              until a request with a valid token is answered
  --goaway-after N            send GOAWAY {"reason":"Shutdown"} after
                              answering N requests on a connection
  --close-after N             close a connection abruptly (no GOAWAY, no TLS
                              close_notify) when its N-th request has arrived,
                              without answering that request
  --handshake-timeout MS      close a connection whose TLS handshake has not
                              completed after MS milliseconds (default 10000)
  --idle-timeout S            send GOAWAY {"reason":"IdleTimeout"} and close
                              a connection that has sent nothing and awaits
                              no answer for S seconds (default 600)
Log:
  --log FILE                  one JSON line per request to FILE ("-": stdout)
  --log-bodies                the log lines also carry the request body, as
                              "body_hex" (its first 65536 octets)
  --help                      this text
  --version                   the version number

Device tokens are 64 to 200 hex digits, an even number of them.
)";

uint32_t ParseNumber(std::string_view option, std::string_view text, uint32_t max) {
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > max)
    throw UsageError(std::string(option) + ": expected a whole number from 0 to " +
                     std::to_string(max) + ", got \"" + std::string(text) + "\"");
  return value;
}

}  // namespace

const char* UsageText() {
  return kUsage;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  const int64_t start_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::string_view {
      if (i + 1 >= argc) throw UsageError(std::string(arg) + ": missing value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--host") {
      options.host = value();
    } else if (arg == "--port") {
      options.port = static_cast<uint16_t>(ParseNumber(arg, value(), 65535));
    } else if (arg == "--cert") {
      options.cert_file = value();
    } else if (arg == "--key") {
      options.key_file = value();
    } else if (arg == "--client-ca") {
      options.client_ca_file = value();
    } else if (arg == "--auth-key") {
      options.auth_key_file = value();
    } else if (arg == "--key-id") {
      options.key_id = value();
    } else if (arg == "--team-id") {
      options.team_id = value();
    } else if (arg == "--unregistered") {
      const std::string_view text = value();
      const size_t colon = text.find(':');
      const std::string_view token = text.substr(0, colon);
      if (token.empty() || !IsHex(token))
        throw UsageError("--unregistered: \"" + std::string(token) +
                         "\" is not a hex device token");
      int64_t timestamp = start_ms;
      if (colon != std::string_view::npos) {
        const std::string_view ms = text.substr(colon + 1);
        const auto [end, ec] = std::from_chars(ms.data(), ms.data() + ms.size(), timestamp);
        if (ec != std::errc() || end != ms.data() + ms.size() || ms.empty() || timestamp < 0)
          throw UsageError("--unregistered: bad timestamp \"" + std::string(ms) + "\"");
      }
      options.unregistered[Lower(token)] = timestamp;
    } else if (arg == "--fail") {
      const std::string_view text = value();
      const size_t equals = text.find('=');
      const std::string_view token = text.substr(0, equals);
      if (token.empty() || !IsHex(token))
        throw UsageError("--fail: \"" + std::string(token) + "\" is not a hex device token");
      if (equals == std::string_view::npos)
        throw UsageError("--fail: expected TOKEN=STATUS[:N], got \"" + std::string(text) + "\"");
      const std::string_view rest = text.substr(equals + 1);
      const size_t colon = rest.find(':');
      Options::Failure failure;
      failure.status = static_cast<int>(ParseNumber("--fail", rest.substr(0, colon), 999));
      if (failure.status != 429 && failure.status != 500 && failure.status != 503)
        throw UsageError("--fail: the status is 429, 500 or 503, not " +
                         std::to_string(failure.status));
      if (colon != std::string_view::npos) {
        failure.attempts = ParseNumber("--fail", rest.substr(colon + 1), UINT32_MAX);
        if (failure.attempts == 0) throw UsageError("--fail: the number of requests must be positive");
      }
      options.failures[Lower(token)] = failure;
    } else if (arg == "--delay") {
      options.delay_ms = ParseNumber(arg, value(), 600000);
    } else if (arg == "--token-update-interval") {
      options.token_update_interval_ms = ParseNumber(arg, value(), UINT32_MAX);
    } else if (arg == "--goaway-after") {
      options.goaway_after = ParseNumber(arg, value(), UINT32_MAX);
    } else if (arg == "--close-after") {
      options.close_after = ParseNumber(arg, value(), UINT32_MAX);
    } else if (arg == "--max-concurrent-streams") {
      options.max_concurrent_streams = ParseNumber(arg, value(), INT32_MAX);
    } else if (arg == "--handshake-timeout") {
      options.handshake_timeout_ms = ParseNumber(arg, value(), 600000);
      if (options.handshake_timeout_ms == 0) throw UsageError("--handshake-timeout: must be positive");
    } else if (arg == "--idle-timeout") {
      options.idle_timeout_s = ParseNumber(arg, value(), 86400);
      if (options.idle_timeout_s == 0) throw UsageError("--idle-timeout: must be positive");
    } else if (arg == "--no-auth-stream-limit") {
      options.limit_streams_before_auth = false;
    } else if (arg == "--log-bodies") {
      options.log_bodies = true;
    } else if (arg == "--log") {
      options.log_file = value();
      if (options.log_file.empty()) throw UsageError("--log: empty file name");
    } else {
      throw UsageError("unknown option \"" + std::string(arg) + "\"");
    }
  }
  if (options.help || options.version) return options;
  if (options.cert_file.empty() || options.key_file.empty())
    throw UsageError("--cert and --key are required");
  const int token_parts =
      !options.auth_key_file.empty() + !options.key_id.empty() + !options.team_id.empty();
  if (token_parts != 0 && token_parts != 3)
    throw UsageError("--auth-key, --key-id and --team-id go together");
  return options;
}

}  // namespace apns_mock
