#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace apns_test {
namespace {

constexpr auto kPollStep = 5ms;

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& out_file,
                           const std::string& err_file, bool aInputPipe) {
  if (argv.empty()) throw std::runtime_error("no program to start");
  int input[2] = {-1, -1};
  if (aInputPipe && ::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (aInputPipe)
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (err_file == out_file)
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int error = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (aInputPipe) {
    ::close(input[0]);
    input_ = input[1];
  }
  if (error != 0) {
    if (input_ >= 0) ::close(input_);
    throw std::runtime_error("cannot start " + argv[0]);
  }
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    Wait(5s);
  }
  if (input_ >= 0) ::close(input_);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = DecodeStatus(status);
    } else if (done < 0) {
      status_ = -1;
    } else if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    } else {
      std::this_thread::sleep_for(kPollStep);
    }
  }
  return status_;
}

int ChildProcess::Stop(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  ::kill(pid_, SIGTERM);
  if (const auto code = Wait(timeout)) return *code;
  ::kill(pid_, SIGKILL);
  return Wait(5s).value_or(-1);
}

void ChildProcess::WriteInput(const std::string& aText) {
  if (input_ < 0) throw std::logic_error("the child was started without an input pipe");
  // A child that has gone makes the write fail with EPIPE instead of
  // raising SIGPIPE in the test.
  ::signal(SIGPIPE, SIG_IGN);
  size_t done = 0;
  while (done < aText.size()) {
    const ssize_t n = ::write(input_, aText.data() + done, aText.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  TempDir dir("apns-command");
  CommandResult result;
  {
    ChildProcess child(argv, dir.File("out"), dir.File("err"));
    const auto code = child.Wait(timeout);
    result.exit_code = code ? *code : (child.Stop(0ms), -1);
  }
  result.out = ReadFile(dir.File("out"));
  result.err = ReadFile(dir.File("err"));
  return result;
}

bool HaveProgram(const std::string& aProgram) {
  if (aProgram.find('/') != std::string::npos) return ::access(aProgram.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');)
    if (!folder.empty() && ::access((folder + "/" + aProgram).c_str(), X_OK) == 0) return true;
  return false;
}

}  // namespace apns_test
