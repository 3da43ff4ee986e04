// A redis-server of a test's own: on a free loopback port, its data in a
// temporary folder, stopped (or killed, to play a crash) by its PID and
// started again on the same port with the same data.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace apns_pushd_test {

class RedisServer {
 public:
  // aAppendOnly: every write is in the append-only file, flushed before it
  // is answered, so that a killed server loses nothing it acknowledged.
  explicit RedisServer(bool aAppendOnly = false);
  ~RedisServer();

  bool Ready() const { return FProcess && FProcess->Ready(); }
  uint16_t Port() const { return FPort; }
  // redis://127.0.0.1:port/aName
  std::string Url(const std::string& aName) const;

  // SIGKILL: the server ends at once, as in a crash.
  void Kill();
  // Starts it again on the same port; true when it accepts connections.
  bool Start();

 private:
  bool Launch();
  apns_test::TempDir FDir{"apns-redis"};
  bool FAppendOnly;
  uint16_t FPort = 0;
  int FStarts = 0;
  std::unique_ptr<loopback::ServerProcess> FProcess;
};

}  // namespace apns_pushd_test
