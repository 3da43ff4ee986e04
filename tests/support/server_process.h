// A server program started by a test as its own child on a loopback port,
// with its output in a file, stopped by its PID.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

namespace loopback {

class ServerProcess {
 public:
  // Starts aArgv (an absolute program path first) with stdout and stderr in
  // aLog, then waits (at most 10 s) until aPort accepts or the child ends.
  ServerProcess(const std::vector<std::string>& aArgv, uint16_t aPort, const std::string& aLog) {
    try {
      FProcess.emplace(aArgv, aLog, aLog);
    } catch (const std::runtime_error&) {
      return;  // not started: Ready() stays false and the test reports it
    }
    apns_test::WaitUntil(
        [&] { return (FReady = apns_test::PortOpen(aPort)) || !FProcess->Running(); },
        apns_test::kWaitBound, [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); });
  }
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool Ready() const { return FReady; }
  pid_t Pid() const { return FProcess ? FProcess->pid() : -1; }

  // SIGTERM, up to 5 s for the end, then SIGKILL.
  void Stop() {
    if (FProcess) FProcess->Stop(std::chrono::seconds(5));
  }

 private:
  std::optional<apns_test::ChildProcess> FProcess;
  bool FReady = false;
};

}  // namespace loopback
