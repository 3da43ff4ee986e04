// The throttling and log-file intercepts on real loopback connections.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tcp/kfxSocket_Classes_Id.h"
#include "tests/support/loopback_peer.h"
#include "transport/IdInterceptThrottler.h"
#include "transport/IdTCPClient.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using loopback::Peer;
using namespace std::string_literals;

int64_t MillisecondsSince(Clock::time_point aStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aStart).count();
}

std::string TempPath(const std::string& aName) {
  return ::testing::TempDir() + "/" + aName + "-" + std::to_string(::getpid());
}

std::string FileText(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(InterceptThrottler, DelayCarriesTheDroppedFraction) {
  const struct {
    int64_t length;
    int rate;
    int64_t delay;
  } cases[] = {{1000, 8000, 1000}, {1000, 0, 0}, {0, 8000, 0}, {1, 1000000, 0},
               {125000, 1000000, 1000}, {INT32_MAX, 1, int64_t{INT32_MAX} * 8000}};
  for (const auto& c : cases) {
    int64_t carry = 0;
    EXPECT_EQ(TIdInterceptThrottler::DelayFor(c.length, c.rate, carry), c.delay) << c.length;
  }
  // 1000 blocks of 100 octets at 1 Mbit/s: 0.8 ms each, 800 ms together.
  int64_t carry = 0, total = 0;
  for (int i = 0; i < 1000; ++i) total += TIdInterceptThrottler::DelayFor(100, 1000000, carry);
  EXPECT_EQ(total, 800);
}

TEST(InterceptThrottler, HoldsTheSenderBeforeTheSend) {
  Peer peer([&](int& aFD) {
    loopback::Receive(aFD, 1000 + 1000 + 100 * 100);
    loopback::ReceiveAll(aFD, 3000);
  });
  TIdTCPClient client;
  TIdInterceptThrottler throttler;
  client.SetIntercept(&throttler);
  client.SetHost("127.0.0.1");
  client.SetPort(peer.Port());
  client.Connect();
  throttler.SetBitsPerSec(0);  // nothing
  auto start = Clock::now();
  client.IOHandler()->Write(TIdBytes(1000, 'x'));
  EXPECT_LT(MillisecondsSince(start), 500);
  throttler.SetBitsPerSec(8000);  // 1000 octets: one second before the send
  EXPECT_EQ(throttler.SendBitsPerSec(), 8000);
  EXPECT_EQ(throttler.RecvBitsPerSec(), 8000);
  start = Clock::now();
  client.IOHandler()->Write(TIdBytes(1000, 'y'));
  EXPECT_GE(MillisecondsSince(start), 950);
  // Small blocks add up too: 100 x 100 octets at 1 Mbit/s take about 80 ms.
  throttler.SetBitsPerSec(1000000);
  start = Clock::now();
  for (int i = 0; i < 100; ++i) client.IOHandler()->Write(TIdBytes(100, 'z'));
  EXPECT_GE(MillisecondsSince(start), 75);
  client.Disconnect();
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FPath = TempPath(::testing::UnitTest::GetInstance()->current_test_info()->name() +
                     std::string(".log"));
    ::unlink(FPath.c_str());
  }
  void TearDown() override { ::unlink(FPath.c_str()); }
  std::string FPath;
};

TEST_F(LogFileTest, WritesTheExactLinesWithBinaryBytesUnchanged) {
  Peer peer([](int& aFD) {
    loopback::Receive(aFD, 3);
    loopback::SendAll(aFD, std::string("\x00\xFF\r\n", 4));
    loopback::ReceiveAll(aFD, 3000);
  });
  TkfxIdLogFileClient log;
  log.SetReplaceCRLF(false);
  log.SetLogTime(false);
  log.SetFilename(FPath);
  log.SetActive(true);
  struct stat info {};
  ASSERT_EQ(::stat(FPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // decrypted traffic: its owner's only
  try {
    log.SetFilename(FPath + ".other");
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Unable to set Filename while log file is open.");
  }
  // A second log cannot write into the same file meanwhile.
  TkfxIdLogFileClient second;
  second.SetFilename(FPath);
  EXPECT_THROW(second.SetActive(true), EFOpenError);

  TIdTCPClient client;
  client.SetIntercept(&log);
  client.SetHost("127.0.0.1");
  client.SetPort(peer.Port());
  client.Connect();
  client.IOHandler()->Write(TIdBytes{'a', 'b', 'c'});
  TIdBytes data;
  client.IOHandler()->ReadBytes(data, 4, false);
  client.Disconnect();
  EXPECT_EQ(FileText(FPath), "Stat Connected.\r\n"
                            "Sent : abc\r\n"
                            "Recv : \x00\xFF\r\n\r\n"
                            "Stat Disconnected.\r\n"s);
  log.SetActive(false);
  second.SetActive(true);  // free again
}

TEST_F(LogFileTest, TimeStampsAndReplacedLineEnds) {
  TkfxIdLogFileClient log;
  log.SetFilename(FPath);
  log.SetActive(true);
  TIdBytes data{'a', '\r', '\n', 'b', '\r', 'c', '\n'};
  log.Send(data);
  log.SetActive(false);
  const std::string text = FileText(FPath);
  // "Sent yyyy-mm-dd hh:nn:ss: a<EOL>b<CR>c<LF>"
  ASSERT_EQ(text.size(), std::string("Sent 2026-01-01 00:00:00: a<EOL>b<CR>c<LF>\r\n").size()) << text;
  EXPECT_EQ(text.substr(0, 5), "Sent ");
  EXPECT_EQ(text.substr(24), ": a<EOL>b<CR>c<LF>\r\n");
}

TEST_F(LogFileTest, LinesFromTwoThreadsNeverInterleave) {
  TkfxIdLogFileClient log;
  log.SetLogTime(false);
  log.SetReplaceCRLF(false);
  log.SetFilename(FPath);
  log.SetActive(true);
  const auto writer = [&log](char aMark) {
    for (int i = 0; i < 2000; ++i) {
      TIdBytes block(200 + i % 50, static_cast<uint8_t>(aMark));
      if (aMark == 'r')
        log.Receive(block);
      else
        log.Send(block);
    }
  };
  std::thread a(writer, 'r'), b(writer, 's');
  a.join();
  b.join();
  log.SetActive(false);
  std::istringstream lines(FileText(FPath));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\r');
    const std::string prefix = line.substr(0, 7);
    ASSERT_TRUE(prefix == "Recv : " || prefix == "Sent : ") << line.substr(0, 20);
    const char mark = prefix[0] == 'R' ? 'r' : 's';
    EXPECT_EQ(line.find_first_not_of(mark, 7), line.size() - 1) << "interleaved line";
    ++count;
  }
  EXPECT_EQ(count, 4000);
}

TEST_F(LogFileTest, ThrottlerFirstThenLog) {
  // In both directions the log line is written before the throttler holds.
  Peer peer([](int& aFD) { loopback::SendAll(aFD, loopback::Receive(aFD, 1000)); });
  TIdInterceptThrottler throttler;
  TkfxIdLogFileClient log;
  log.SetLogTime(false);
  log.SetFilename(FPath);
  log.SetActive(true);
  throttler.SetIntercept(&log);
  TIdTCPClient client;
  client.SetIntercept(&throttler);
  client.SetHost("127.0.0.1");
  client.SetPort(peer.Port());
  client.Connect();
  throttler.SetBitsPerSec(16000);  // half a second per 1000 octets
  std::thread watcher([&] {
    std::this_thread::sleep_for(250ms);  // inside the send's hold
    EXPECT_NE(FileText(FPath).find("Sent : "), std::string::npos);
  });
  client.IOHandler()->Write(TIdBytes(1000, 'q'));
  watcher.join();
  TIdBytes data;
  client.IOHandler()->ReadBytes(data, 1000, false);
  client.Disconnect();
  EXPECT_NE(FileText(FPath).find("Recv : " + std::string(1000, 'q')), std::string::npos);
}

}  // namespace
