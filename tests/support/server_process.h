// A server program started by a test as its own child on a loopback port,
// with its output in a file, stopped by its PID.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_peer.h"
#include "tests/support/ports.h"

extern char** environ;

namespace loopback {

class ServerProcess {
 public:
  // Starts aArgv (an absolute program path first) with stdout and stderr in
  // aLog, then waits (at most 10 s) until aPort accepts or the child ends.
  ServerProcess(const std::vector<std::string>& aArgv, uint16_t aPort, const std::string& aLog) {
    std::vector<char*> argv;
    for (const std::string& arg : aArgv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, aLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (::posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; FPid > 0 && i < 1000; ++i) {
      if (apns_test::PortOpen(aPort)) {
        FReady = true;
        break;
      }
      int status;
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool Ready() const { return FReady; }
  pid_t Pid() const { return FPid; }

  // SIGTERM, up to 5 s for the end, then SIGKILL.
  void Stop() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    int status;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, &status, 0);
    FPid = -1;
  }

 private:
  pid_t FPid = -1;
  bool FReady = false;
};

inline bool Executable(const std::string& aPath) { return ::access(aPath.c_str(), X_OK) == 0; }

}  // namespace loopback
