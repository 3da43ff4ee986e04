#include "tests/tools/apns-pushd/redis/redis_server.h"

#include <signal.h>

#include <vector>

#include "tests/support/ports.h"

namespace apns_pushd_test {

RedisServer::RedisServer(bool aAppendOnly) : FAppendOnly(aAppendOnly) {
  // A port free a moment ago may be taken meanwhile: another one then.
  for (int i = 0; i < 5 && !Ready(); ++i) {
    FPort = apns_test::FreePort();
    Launch();
  }
}

RedisServer::~RedisServer() { FProcess.reset(); }

std::string RedisServer::Url(const std::string& aName) const {
  return "redis://127.0.0.1:" + std::to_string(FPort) + "/" + aName;
}

bool RedisServer::Launch() {
  FProcess.reset();
  std::vector<std::string> argv = {"redis-server", "--port", std::to_string(FPort), "--bind", "127.0.0.1",
                                    "--dir", FDir.path().string(), "--save", "", "--daemonize", "no",
                                    "--appendonly", FAppendOnly ? "yes" : "no"};
  if (FAppendOnly) argv.insert(argv.end(), {"--appendfsync", "always"});
  const std::string log = FDir.File("redis-" + std::to_string(++FStarts) + ".log");
  FProcess = std::make_unique<loopback::ServerProcess>(argv, FPort, log);
  return FProcess->Ready();
}

void RedisServer::Kill() {
  if (FProcess && FProcess->Pid() > 0) ::kill(FProcess->Pid(), SIGKILL);
  FProcess.reset();  // reaps it
}

bool RedisServer::Start() { return Launch(); }

}  // namespace apns_pushd_test
