// The layers an activation assembles, against real peers on loopback: an
// HTTP CONNECT proxy (squid) and a SOCKS 5 proxy (microsocks) in front of an
// echo peer, and the log-file and throttling intercepts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rtl/MainThread.h"
#include "tcp/kfxTCP_Client.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/server_process.h"
#include "tests/support/tcp_echo_peer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

using apns_test::FreePort;
using apns_test::PumpUntil;

class TProxyClient : public TkfxTCPCLient_Common {
 public:
  TProxyClient() : TkfxTCPCLient_Common(nullptr) {
    SetTCPMode(TkfxTCPMode::tcpmCommands);
    SetNotifyEvents(TwsNotifyEvent::neNoSync);
    SetHost("127.0.0.1");
    OnBinary = [this](TkfxTCPConnection*, TMemoryStream* Data) {
      std::lock_guard guard(Lock);
      Received.append(Data->Bytes().begin(), Data->Bytes().end());
    };
    OnException = [this](TkfxTCPConnection*, Exception* E) {
      std::lock_guard guard(Lock);
      Errors.push_back(E->Message());
    };
  }
  ~TProxyClient() override { ShutDown(); }
  std::string ReceivedCopy() {
    std::lock_guard guard(Lock);
    return Received;
  }
  bool Echoes(const std::string& aText) {
    {
      std::lock_guard guard(Lock);
      Received.clear();
    }
    AddBytes(TIdBytes(aText.begin(), aText.end()));
    return PumpUntil([&] { return ReceivedCopy() == aText; });
  }
  std::mutex Lock;
  std::string Received;
  std::vector<std::string> Errors;
};

class TCPClientLayers : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FEcho.Start()); }
  TEchoPeer FEcho;
};

// HTTP CONNECT through squid and SOCKS 5 with credentials through
// microsocks: the echo peer answers through each tunnel. A change of the
// proxy options takes effect at the next activation.
TEST_F(TCPClientLayers, ProxiesCarryTheConnection) {
  const bool haveSquid = apns_test::HaveProgram("/usr/sbin/squid");
  const bool haveSocks = apns_test::HaveProgram("/usr/bin/microsocks");
  if (!haveSquid && !haveSocks) GTEST_SKIP() << "neither squid nor microsocks is installed";

  if (haveSocks) {
    const apns_test::TempDir temp("tcpclient-socks");
    const uint16_t port = FreePort();
    loopback::ServerProcess socks({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(port),
                                   "-u", "alice", "-P", "s3cret"},
                                  port, temp.File("microsocks.log"));
    ASSERT_TRUE(socks.Ready()) << apns_test::ReadFile(temp.File("microsocks.log"));
    TProxyClient client;
    client.SetPort(FEcho.Port());
    client.Proxy().SetEnabled(true);
    client.Proxy().SetProxyType(TwsProxy::pxySocks5);
    client.Proxy().SetHost("127.0.0.1");
    client.Proxy().SetPort(port);
    client.Proxy().SetUsername("alice");
    client.Proxy().SetPassword("s3cret");
    ASSERT_TRUE(client.Connect(5000)) << ::testing::PrintToString(client.Errors);
    EXPECT_TRUE(client.Echoes("through socks"));
    client.Disconnect(5000);
    // Wrong password, next activation: refused by the proxy.
    client.Proxy().SetPassword("wrong");
    EXPECT_FALSE(client.Connect(5000));
    client.Proxy().SetPassword("s3cret");
    EXPECT_TRUE(client.Connect(5000));
    client.Disconnect(5000);
  }

  if (haveSquid) {
    const apns_test::TempDir temp("tcpclient-squid");
    const std::string folder = temp.path().string();
    const uint16_t port = FreePort();
    std::ofstream(folder + "/squid.conf")
        << "http_port 127.0.0.1:" << port << "\npid_filename " << folder
        << "/squid.pid\ncache_log " << folder << "/cache.log\naccess_log stdio:" << folder
        << "/access.log\ncache_store_log none\nnetdb_filename none\ndns_nameservers 127.0.0.1\n"
           "pinger_enable off\ncoredump_dir "
        << folder
        << "\ncache deny all\ncache_mem 8 MB\nshutdown_lifetime 0 seconds\n"
           "acl SSL_ports port 443 1025-65535\nacl CONNECT method CONNECT\n"
           "acl loop src 127.0.0.0/8 ::1\nhttp_access deny CONNECT !SSL_ports\n"
           "http_access allow loop\nhttp_access deny all\n";
    std::system(("chown -R proxy:proxy " + folder).c_str());
    loopback::ServerProcess squid({"/usr/sbin/squid", "-N", "-n", "sq" + std::to_string(port), "-f",
                                   folder + "/squid.conf"},
                                  port, temp.File("squid.log"));
    ASSERT_TRUE(squid.Ready()) << apns_test::ReadFile(temp.File("squid.log"));
    TProxyClient client;
    client.SetPort(FEcho.Port());
    client.Proxy().SetEnabled(true);
    client.Proxy().SetProxyType(TwsProxy::pxyHTTP);
    client.Proxy().SetHost("127.0.0.1");
    client.Proxy().SetPort(port);
    ASSERT_TRUE(client.Connect(5000)) << ::testing::PrintToString(client.Errors);
    EXPECT_TRUE(client.Echoes("through connect"));
    client.Disconnect(5000);
    // The CONNECT object takes the new proxy port at the next activation.
    client.Proxy().SetPort(FreePort());
    EXPECT_FALSE(client.Connect(5000));
    client.Proxy().SetPort(port);
    EXPECT_TRUE(client.Connect(5000));
    EXPECT_TRUE(client.Echoes("again"));
    client.Disconnect(5000);
    // Without the proxy the client goes straight to the peer again.
    client.Proxy().SetEnabled(false);
    squid.Stop();
    EXPECT_TRUE(client.Connect(5000));
    EXPECT_TRUE(client.Echoes("direct"));
    client.Disconnect(5000);
  }
}

// The log file records what went out and came back; the throttler in front
// of it holds each sent block for its time at the configured rate.
TEST_F(TCPClientLayers, LogFileAndThrottle) {
  const apns_test::TempDir temp("tcpclient-log");
  const std::string file = temp.File("traffic.log");
  {
    TProxyClient client;
    client.SetPort(FEcho.Port());
    client.LogFile().SetEnabled(true);
    client.LogFile().SetFileName(file);
    client.Throttle().SetEnabled(true);
    client.Throttle().SetBitsPerSec(8000);  // 100 bytes: 100 ms each way
    ASSERT_TRUE(client.Connect(5000)) << ::testing::PrintToString(client.Errors);
    const std::string block(100, 'z');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client.Echoes(block));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    client.Disconnect(5000);
  }
  const std::string log = apns_test::ReadFile(file);
  EXPECT_NE(log.find("Stat Connected.\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Sent "), std::string::npos) << log;
  EXPECT_NE(log.find("Recv "), std::string::npos) << log;
  EXPECT_NE(log.find(": " + std::string(100, 'z') + "\r\n"), std::string::npos) << log;
}

}  // namespace
