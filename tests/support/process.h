// Child processes of a test: started directly (no shell), waited for with a
// bound, stopped by their PID. Never anything the test did not start.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace apns_test {

using namespace std::chrono_literals;

// A direct child (argv[0] searched in PATH) with its output and errors in
// files (one file for both when they are the same name). Its standard input is /dev/null, or with aInputPipe a pipe that
// WriteInput writes to. Still running on destruction, it is killed (SIGKILL)
// and reaped; an owner that wants a clean end calls Stop first.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& out_file,
               const std::string& err_file, bool aInputPipe = false);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The exit code (128 + signal number when killed), or nullopt while it
  // still runs after timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running() { return !Wait(0ms); }
  // SIGTERM, wait up to timeout, then SIGKILL. Returns the exit code.
  int Stop(std::chrono::milliseconds timeout = 3s);
  // Writes aText to the child's standard input (made with aInputPipe); a
  // child that has ended is ignored.
  void WriteInput(const std::string& aText);

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  std::optional<int> status_;
};

struct CommandResult {
  int exit_code = -1;  // 128 + signal number when killed, -1 when it timed out
  std::string out;
  std::string err;
};

// Runs a command to its end; it is killed after timeout.
CommandResult RunCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = 20s);

// Whether a program can be started: a path that is executable, or a name
// found in PATH (for GTEST_SKIP when a peer is not installed).
bool HaveProgram(const std::string& aProgram);

}  // namespace apns_test
