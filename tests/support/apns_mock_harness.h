// The apns-mock harness: apns-mock started on a free loopback port with the
// fixture certificates, its request log read back, and provider tokens made
// with OpenSSL. It brings the support parts its interface uses (child
// processes, temporary folders, ports, fixture paths).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/fixtures.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace apns_test {

using namespace std::chrono_literals;

inline constexpr std::string_view kKeyId = "TEST123456";
inline constexpr std::string_view kTeamId = "TEAM123456";

struct TokenSpec {
  std::string kid{kKeyId};
  std::string iss{kTeamId};
  int64_t iat_offset_seconds = 0;  // added to the current time
  bool break_signature = false;
  std::optional<int64_t> iat{};  // this "iat" instead of the current time and offset
};

// An ES256 provider token signed with the fixture key AuthKey_TEST123456.p8.
std::string MakeProviderToken(const TokenSpec& spec = {});

// apns-mock started on a free loopback port with the fixture server
// certificate, a request log in its own temp folder and the given options.
class ApnsMock {
 public:
  // launcher, when given, runs the program (e.g. {"prlimit", "--nofile=40"}).
  explicit ApnsMock(std::vector<std::string> options, std::vector<std::string> launcher = {});

  // Options for both kinds of authentication: client certificates from the
  // test CA and tokens from the fixture key (kKeyId, kTeamId).
  static std::vector<std::string> BothAuthModes();

  uint16_t port() const { return port_; }
  pid_t pid() const { return process_->pid(); }
  // https://127.0.0.1:PORT/3/device/<device_token>
  std::string DeviceUrl(std::string_view device_token) const;
  std::vector<std::string> LogLines() const;
  std::string Stderr() const { return ReadFile(dir_.File("stderr")); }
  // SIGTERM; returns the exit code.
  int Stop() { return process_->Stop(); }

 private:
  TempDir dir_;
  std::optional<ChildProcess> process_;
  uint16_t port_ = 0;
};

// The raw JSON text of a top-level member of a one-line JSON object, e.g.
// JsonMember(line, "status") == "200", JsonMember(line, "reason") == "\"\"".
std::string JsonMember(std::string_view line, std::string_view name);

}  // namespace apns_test
