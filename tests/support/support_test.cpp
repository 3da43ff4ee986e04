// The test-support library itself: the bounds of its waits, child processes
// stopped by PID, temporary folders removed, ports found free and open.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "rtl/MainThread.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

using namespace apns_test;

// A wait ends as soon as its condition holds, and gives up at its bound.
TEST(SupportWait, EndsWhenTheConditionHoldsAndFailsAtTheBound) {
  std::atomic<bool> set{false};
  std::thread setter([&] { set = true; });
  EXPECT_TRUE(WaitUntil([&] { return set.load(); }));
  setter.join();

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitUntil([] { return false; }, 30ms));
  EXPECT_FALSE(PumpUntil([] { return false; }, 30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
}

// PumpUntil runs what worker threads queue for the main thread, which a
// plain wait would never see.
TEST(SupportWait, PumpUntilServesTheMainThreadQueue) {
  ASSERT_TRUE(IsMainThread());
  bool ran = false;  // written on the main thread only
  std::thread worker([&] { QueueOnMain([&] { ran = IsMainThread(); }); });
  worker.join();
  EXPECT_TRUE(PumpUntil([&] { return ran; }));
}

TEST(SupportTempDir, IsFreshReadableAndRemovedWithItsContents) {
  std::filesystem::path kept;
  {
    TempDir a("support-test");
    TempDir b("support-test");
    EXPECT_NE(a.path(), b.path());
    EXPECT_TRUE(std::filesystem::is_empty(a.path()));
    EXPECT_EQ(std::filesystem::status(a.path()).permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::others_read);
    std::filesystem::create_directories(a.File("sub/deeper"));
    WriteFile(a.File("sub/deeper/file"), std::string("x\0y", 3));
    EXPECT_EQ(ReadFile(a.File("sub/deeper/file")), std::string("x\0y", 3));
    kept = a.path();
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
  EXPECT_EQ(ReadFile("/nonexistent/file"), "");
  EXPECT_THROW(WriteFile("/nonexistent/file", "x"), std::runtime_error);
}

TEST(SupportProcess, RunsWaitsAndReportsTheExit) {
  const CommandResult ok = RunCommand({"sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(ok.exit_code, 3);
  EXPECT_EQ(ok.out, "out\n");
  EXPECT_EQ(ok.err, "err\n");
  EXPECT_THROW(ChildProcess({"/nonexistent/program"}, "/dev/null", "/dev/null"), std::runtime_error);
  EXPECT_TRUE(HaveProgram("sh"));
  EXPECT_FALSE(HaveProgram("/nonexistent/program"));
}

// A child that outlives the bound is reported as running, then stopped by
// its PID: SIGTERM first, SIGKILL when it ignores that.
TEST(SupportProcess, WaitIsBoundedAndStopEndsTheChild) {
  TempDir dir("support-test");
  ChildProcess sleeper({"sleep", "30"}, dir.File("out"), dir.File("err"));
  EXPECT_FALSE(sleeper.Wait(20ms).has_value());
  EXPECT_TRUE(sleeper.Running());
  EXPECT_EQ(sleeper.Stop(), 128 + SIGTERM);
  EXPECT_FALSE(sleeper.Running());

  // An ignored signal stays ignored across exec.
  ChildProcess stubborn({"sh", "-c", "trap '' TERM; echo ready; exec sleep 30"},
                        dir.File("out2"), dir.File("err2"));
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir.File("out2")) == "ready\n"; }));
  EXPECT_EQ(stubborn.Stop(100ms), 128 + SIGKILL);
  EXPECT_EQ(RunCommand({"sleep", "30"}, 50ms).exit_code, -1);
}

TEST(SupportProcess, InputPipeReachesTheChild) {
  TempDir dir("support-test");
  ChildProcess cat({"cat"}, dir.File("out"), dir.File("err"), true);
  cat.WriteInput("through the pipe\n");
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(dir.File("out")) == "through the pipe\n"; }));
  ChildProcess quiet({"true"}, dir.File("out2"), dir.File("err2"));
  EXPECT_THROW(quiet.WriteInput("x"), std::logic_error);
}

TEST(SupportPorts, FreePortCanBeBoundAndPortOpenSeesAListener) {
  const uint16_t port = FreePort();
  ASSERT_NE(port, 0);
  {
    loopback::Peer peer([](int&) {});
    EXPECT_TRUE(PortOpen(peer.Port()));
    const int fd = ConnectTcp("127.0.0.1", peer.Port());
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_FALSE(PortOpen(port));  // bound, not listening
  ::close(fd);
  EXPECT_EQ(ConnectTcp("not an address", port), -1);
}

}  // namespace
