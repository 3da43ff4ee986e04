// Tunnels through real proxies started by the tests on loopback: squid for
// HTTP CONNECT, microsocks and dante for SOCKS 5 and 4, ssh -D for SOCKS 4A.
// Each tunnel carries data and a TLS handshake to a loopback listener.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>

#include "tests/support/loopback_peer.h"
#include "tests/support/process.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"
#include "transport/IdTCPClient.h"
#include "transport/kfxIdConnectThroughHttpProxy.h"
#include "transport/kfxIdSocks.h"

namespace {

using loopback::Peer;
using loopback::ServerProcess;
using apns_test::WriteFile;

const std::string kFixtures = APNS_BINARY_DIR "/fixtures/";

void Echo(int& aFD) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(aFD, buffer, sizeof(buffer), 0);
    if (n <= 0) return;
    loopback::SendAll(aFD, std::string(buffer, static_cast<size_t>(n)));
  }
}

void BoundWaits(int aFD) {
  timeval five{5, 0};
  ::setsockopt(aFD, SOL_SOCKET, SO_RCVTIMEO, &five, sizeof(five));
  ::setsockopt(aFD, SOL_SOCKET, SO_SNDTIMEO, &five, sizeof(five));
}

// Serves TLS on one connection: the handshake, then one block echoed.
void TLSEcho(int& aFD) {
  BoundWaits(aFD);
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate_file(context, (kFixtures + "server.crt").c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_use_PrivateKey_file(context, (kFixtures + "server.key").c_str(), SSL_FILETYPE_PEM);
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, aFD);
  if (SSL_accept(ssl) == 1) {
    char buffer[64];
    const int n = SSL_read(ssl, buffer, sizeof(buffer));
    if (n > 0) SSL_write(ssl, buffer, n);
  }
  SSL_free(ssl);
  SSL_CTX_free(context);
}

// A TLS handshake over the tunnel's socket and one block back and forth.
std::string TLSPing(int aFD) {
  BoundWaits(aFD);
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, aFD);
  std::string answer = "handshake failed";
  if (SSL_connect(ssl) == 1 && SSL_write(ssl, "ping", 4) == 4) {
    char buffer[64];
    const int n = SSL_read(ssl, buffer, sizeof(buffer));
    answer = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "no answer";
  }
  SSL_free(ssl);
  SSL_CTX_free(context);
  return answer;
}

// A shell command line run to its end (bounded); its output without the
// last line end.
std::string Command(const std::string& aCommand) {
  std::string output = apns_test::RunCommand({"sh", "-c", aCommand}).out;
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

// A client whose handler goes through AProxy to host:port; statuses recorded.
struct TProxiedClient {
  TComponent Owner{nullptr};
  TIdTCPClient Client{&Owner};
  std::vector<std::string> Statuses;

  TProxiedClient(TIdCustomTransparentProxy* AProxy, uint16_t AProxyPort, const std::string& AHost,
                 uint16_t APort) {
    AProxy->SetHost("127.0.0.1");
    AProxy->SetPort(AProxyPort);
    AProxy->SetNegotiationTimeout(10000);
    Client.CreateIOHandler();
    Client.IOHandler()->OnStatus = [this](TObject*, TIdStatus, const std::string& AText) {
      Statuses.push_back(AText);
    };
    Client.Socket()->SetTransparentProxy(AProxy);
    Client.SetHost(AHost);
    Client.SetPort(APort);
  }
  int Connects() const {
    int count = 0;
    for (const std::string& s : Statuses) count += s.rfind("Connecting to", 0) == 0;
    return count;
  }
};

// The two targets every tunnel is tried with.
struct TTargets {
  Peer EchoTarget{Echo, false, 100};
  Peer TLSTarget{TLSEcho, false, 100};
};

// A tunnel through the proxy carries a line to the echo target and a TLS
// handshake to the TLS target (which fails on any stray byte).
void ExpectTunnels(const std::function<TIdCustomTransparentProxy*(TComponent*)>& AMakeProxy,
                   uint16_t AProxyPort, const std::string& AHost, TTargets& ATargets) {
  {
    TComponent owner(nullptr);
    TProxiedClient client(AMakeProxy(&owner), AProxyPort, AHost, ATargets.EchoTarget.Port());
    client.Client.Connect();
    client.Client.IOHandler()->WriteLn("through the tunnel");
    EXPECT_EQ(client.Client.IOHandler()->ReadLn(), "through the tunnel");
    client.Client.Disconnect();
  }
  {
    TComponent owner(nullptr);
    TProxiedClient client(AMakeProxy(&owner), AProxyPort, AHost, ATargets.TLSTarget.Port());
    client.Client.Connect();
    EXPECT_TRUE(client.Client.IOHandler()->InputBufferIsEmpty());
    EXPECT_EQ(TLSPing(client.Client.Socket()->Binding()->Handle()), "ping");
    client.Client.Disconnect();
  }
}

template <class E>
void ExpectRefusal(TIdCustomTransparentProxy* AProxy, uint16_t AProxyPort, const std::string& AHost,
                   uint16_t APort, const std::string& AMessage) {
  TProxiedClient client(AProxy, AProxyPort, AHost, APort);
  try {
    client.Client.Connect();
    ADD_FAILURE() << "tunnel opened, expected " << AMessage;
  } catch (const E& e) {
    EXPECT_EQ(e.Message(), AMessage);
  }
  EXPECT_FALSE(client.Client.Connected());
}

uint16_t ClosedPort() { return apns_test::FreePort(); }

// --- squid ---

class SquidProxy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!apns_test::HaveProgram("/usr/sbin/squid")) return;
    FTemp = std::make_unique<apns_test::TempDir>("squid-test");
    FFolder = FTemp->path().string();
    FOpenPort = apns_test::FreePort();
    FAuthPort = apns_test::FreePort();
    WriteFile(FFolder + "/squid.conf",
              "http_port 127.0.0.1:" + std::to_string(FOpenPort) + "\n" +
              "http_port 127.0.0.1:" + std::to_string(FAuthPort) + " name=authport\n" +
              "pid_filename " + FFolder + "/squid.pid\n"
              "cache_log " + FFolder + "/cache.log\n"
              "access_log stdio:" + FFolder + "/access.log\n"
              "cache_store_log none\nnetdb_filename none\ndns_nameservers 127.0.0.1\n"
              "pinger_enable off\ncoredump_dir " + FFolder + "\ncache deny all\ncache_mem 8 MB\n"
              "shutdown_lifetime 0 seconds\n"
              "acl SSL_ports port 443 1025-65535\nacl CONNECT method CONNECT\n"
              "acl loop src 127.0.0.0/8 ::1\nacl authport myportname authport\n"
              "http_access deny CONNECT !SSL_ports\n"
              "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + FFolder + "/passwd\n"
              "auth_param basic realm test-proxy\nacl authed proxy_auth REQUIRED\n"
              "http_access deny authport !authed\n"
              "http_access allow loop\nhttp_access deny all\n");
    WriteFile(FFolder + "/passwd", "alice:" + Command("openssl passwd -apr1 s3cret") + "\n");
    Command("chown -R proxy:proxy " + FFolder);
    FSquid = new ServerProcess({"/usr/sbin/squid", "-N", "-n", "sq" + std::to_string(FOpenPort),
                                "-f", FFolder + "/squid.conf"},
                               FOpenPort, FFolder + "/stdout.log");
    for (int i = 0; i < 500 && FSquid->Ready() && !apns_test::PortOpen(FAuthPort); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  static void TearDownTestSuite() {
    delete FSquid;
    FSquid = nullptr;
    FTemp.reset();
  }
  void SetUp() override {
    if (!apns_test::HaveProgram("/usr/sbin/squid")) GTEST_SKIP() << "squid is not installed";
    ASSERT_TRUE(FSquid && FSquid->Ready()) << Command("cat " + FFolder + "/*.log");
  }
  static TIdCustomTransparentProxy* Http(TComponent* AOwner, const std::string& AUser = "",
                                         const std::string& APassword = "") {
    auto* proxy = new TIdConnectThroughHttpProxy(AOwner);
    proxy->SetEnabled(true);
    proxy->SetUsername(AUser);
    proxy->SetPassword(APassword);
    return proxy;
  }

  static inline std::unique_ptr<apns_test::TempDir> FTemp;
  static inline std::string FFolder;  // FTemp's path
  static inline uint16_t FOpenPort = 0;
  static inline uint16_t FAuthPort = 0;
  static inline ServerProcess* FSquid = nullptr;
};

TEST_F(SquidProxy, TunnelsCarryDataAndTLS) {
  TTargets targets;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    ExpectTunnels([](TComponent* o) { return Http(o); }, FOpenPort, host, targets);
  }
}

TEST_F(SquidProxy, BasicAuthenticationAfterA407WithABody) {
  TTargets targets;
  TComponent owner(nullptr);
  // Without credentials: the proxy's refusal.
  ExpectRefusal<EIdHttpProxyError>(Http(&owner), FAuthPort, "127.0.0.1", targets.EchoTarget.Port(),
                                   "407 Proxy Authentication Required");
  ExpectRefusal<EIdHttpProxyError>(Http(&owner, "alice", "wrong"), FAuthPort, "127.0.0.1",
                                   targets.EchoTarget.Port(), "407 Proxy Authentication Required");
  // With them: squid closes after a 407 to an HTTP/1.0 CONNECT ("Connection:
  // close"), so the request is repeated with credentials on a new connection.
  TProxiedClient client(Http(&owner, "alice", "s3cret"), FAuthPort, "127.0.0.1",
                        targets.EchoTarget.Port());
  client.Client.Connect();
  EXPECT_EQ(client.Connects(), 2);
  client.Client.IOHandler()->WriteLn("authorised");
  EXPECT_EQ(client.Client.IOHandler()->ReadLn(), "authorised");
  client.Client.Disconnect();
  ExpectTunnels([](TComponent* o) { return Http(o, "alice", "s3cret"); }, FAuthPort, "127.0.0.1",
                targets);
}

TEST_F(SquidProxy, RefusedDestinations) {
  TComponent owner(nullptr);
  // Port 9 is not among the ports squid tunnels to; nobody listens on the other.
  ExpectRefusal<EIdHttpProxyError>(Http(&owner), FOpenPort, "127.0.0.1", 9, "403 Forbidden");
  ExpectRefusal<EIdHttpProxyError>(Http(&owner), FOpenPort, "127.0.0.1", ClosedPort(),
                                   "503 Service Unavailable");
}

TEST_F(SquidProxy, IPv6TargetInBrackets) {
  Peer target(Echo, true);
  TComponent owner(nullptr);
  TProxiedClient client(Http(&owner), FOpenPort, "::1", target.Port());
  client.Client.SetIPVersion(TIdIPVersion::Id_IPv4);  // the proxy itself is reached over IPv4
  client.Client.Connect();
  client.Client.IOHandler()->WriteLn("six");
  EXPECT_EQ(client.Client.IOHandler()->ReadLn(), "six");
  client.Client.Disconnect();
}

// --- microsocks: SOCKS 5 with and without user name and password ---

class MicrosocksProxy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!apns_test::HaveProgram("/usr/bin/microsocks")) return;
    FTemp = std::make_unique<apns_test::TempDir>("microsocks-test");
    FFolder = FTemp->path().string();
    FOpenPort = apns_test::FreePort();
    FOpen = new ServerProcess({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(FOpenPort)},
                              FOpenPort, FFolder + "/open.log");
    FAuthPort = apns_test::FreePort();
    FAuth = new ServerProcess({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p",
                               std::to_string(FAuthPort), "-u", "alice", "-P", "s3cret"},
                              FAuthPort, FFolder + "/auth.log");
  }
  static void TearDownTestSuite() {
    delete FOpen;
    delete FAuth;
    FOpen = FAuth = nullptr;
    FTemp.reset();
  }
  void SetUp() override {
    if (!apns_test::HaveProgram("/usr/bin/microsocks")) GTEST_SKIP() << "microsocks is not installed";
    ASSERT_TRUE(FOpen && FOpen->Ready() && FAuth && FAuth->Ready());
  }
  static TIdCustomTransparentProxy* Socks5(TComponent* AOwner, const std::string& AUser = "",
                                           const std::string& APassword = "") {
    auto* proxy = new TIdSocksInfo(AOwner);
    proxy->SetVersion(TSocksVersion::svSocks5);
    if (!AUser.empty()) proxy->SetAuthentication(TSocksAuthentication::saUsernamePassword);
    proxy->SetUsername(AUser);
    proxy->SetPassword(APassword);
    return proxy;
  }

  static inline std::unique_ptr<apns_test::TempDir> FTemp;
  static inline std::string FFolder;  // FTemp's path
  static inline uint16_t FOpenPort = 0, FAuthPort = 0;
  static inline ServerProcess* FOpen = nullptr;
  static inline ServerProcess* FAuth = nullptr;
};

TEST_F(MicrosocksProxy, TunnelsWithAndWithoutAuthentication) {
  TTargets targets;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    ExpectTunnels([](TComponent* o) { return Socks5(o); }, FOpenPort, host, targets);
    ExpectTunnels([](TComponent* o) { return Socks5(o, "alice", "s3cret"); }, FAuthPort, host,
                  targets);
  }
}

TEST_F(MicrosocksProxy, Refusals) {
  TComponent owner(nullptr);
  ExpectRefusal<EIdSocksAuthError>(Socks5(&owner, "alice", "wrong"), FAuthPort, "127.0.0.1", 443,
                                   "Authentication error to socks server.");
  ExpectRefusal<EIdSocksAuthMethodError>(Socks5(&owner), FAuthPort, "127.0.0.1", 443,
                                         "Invalid socks authentication method.");
  ExpectRefusal<EIdSocksServerConnectionRefusedError>(Socks5(&owner), FOpenPort, "127.0.0.1",
                                                      ClosedPort(), "Connection refused.");
}

TEST_F(MicrosocksProxy, IPv6TargetAddress) {
  Peer target(Echo, true);
  TComponent owner(nullptr);
  TProxiedClient client(Socks5(&owner), FOpenPort, "::1", target.Port());
  client.Client.Connect();
  client.Client.IOHandler()->WriteLn("six");
  EXPECT_EQ(client.Client.IOHandler()->ReadLn(), "six");
  client.Client.Disconnect();
}

// --- dante: SOCKS 4 and the rule-based refusals ---

class DanteProxy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!apns_test::HaveProgram("/usr/sbin/danted")) return;
    FTemp = std::make_unique<apns_test::TempDir>("danted-test");
    FFolder = FTemp->path().string();
    FPort = apns_test::FreePort();
    WriteFile(FFolder + "/danted.conf",
              "logoutput: " + FFolder + "/danted.log\n"
              "internal: 127.0.0.1 port = " + std::to_string(FPort) + "\n"
              "external: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
              "user.privileged: root\nuser.unprivileged: nobody\n"
              "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
              "socks block { from: 0.0.0.0/0 to: 127.0.0.1/32 port = 9 }\n"
              "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n");
    FDante = new ServerProcess({"/usr/sbin/danted", "-f", FFolder + "/danted.conf", "-p",
                                FFolder + "/danted.pid"},
                               FPort, FFolder + "/stdout.log");
  }
  static void TearDownTestSuite() {
    delete FDante;
    FDante = nullptr;
    FTemp.reset();
  }
  void SetUp() override {
    if (!apns_test::HaveProgram("/usr/sbin/danted")) GTEST_SKIP() << "danted is not installed";
    ASSERT_TRUE(FDante && FDante->Ready()) << Command("cat " + FFolder + "/*.log");
  }
  static TIdCustomTransparentProxy* Socks(TComponent* AOwner, TSocksVersion AVersion) {
    auto* proxy = new TIdSocksInfo(AOwner);
    proxy->SetVersion(AVersion);
    return proxy;
  }

  static inline std::unique_ptr<apns_test::TempDir> FTemp;
  static inline std::string FFolder;  // FTemp's path
  static inline uint16_t FPort = 0;
  static inline ServerProcess* FDante = nullptr;
};

TEST_F(DanteProxy, Socks4TunnelsAndRefusals) {
  TTargets targets;
  ExpectTunnels([](TComponent* o) { return Socks(o, TSocksVersion::svSocks4); }, FPort, "127.0.0.1",
                targets);
  ExpectTunnels([](TComponent* o) { return Socks(o, TSocksVersion::svSocks4); }, FPort, "localhost",
                targets);
  TComponent owner(nullptr);
  ExpectRefusal<EIdSocksRequestFailed>(Socks(&owner, TSocksVersion::svSocks4), FPort, "127.0.0.1",
                                       ClosedPort(), "Request rejected or failed.");
}

TEST_F(DanteProxy, Socks5RuleRefusals) {
  TComponent owner(nullptr);
  ExpectRefusal<EIdSocksServerPermissionError>(Socks(&owner, TSocksVersion::svSocks5), FPort,
                                               "127.0.0.1", 9, "Connection not allowed by ruleset.");
  ExpectRefusal<EIdSocksServerConnectionRefusedError>(Socks(&owner, TSocksVersion::svSocks5), FPort,
                                                      "127.0.0.1", ClosedPort(),
                                                      "Connection refused.");
}

// --- ssh -D: SOCKS 4A ---

class SshSocksProxy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Available()) return;
    FTemp = std::make_unique<apns_test::TempDir>("sshd-test");
    FFolder = FTemp->path().string();
    const std::string d = FFolder;
    Command("ssh-keygen -q -t ed25519 -N '' -f " + d + "/hostkey && ssh-keygen -q -t ed25519 -N '' -f " +
            d + "/userkey && cp " + d + "/userkey.pub " + d + "/authorized_keys && mkdir -p /run/sshd");
    const uint16_t sshPort = apns_test::FreePort();
    WriteFile(d + "/sshd_config",
              "Port " + std::to_string(sshPort) + "\nListenAddress 127.0.0.1\nHostKey " + d +
                  "/hostkey\nPidFile " + d + "/sshd.pid\nAuthorizedKeysFile " + d +
                  "/authorized_keys\nPermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                  "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\n"
                  "AllowTcpForwarding yes\nPermitOpen 127.0.0.1:* localhost:*\n");
    FSshd = new ServerProcess({"/usr/sbin/sshd", "-D", "-e", "-f", d + "/sshd_config"}, sshPort,
                              d + "/sshd.log");
    if (!FSshd->Ready()) return;
    FPort = apns_test::FreePort();
    FSsh = new ServerProcess(
        {"/usr/bin/ssh", "-N", "-D", "127.0.0.1:" + std::to_string(FPort), "-p",
         std::to_string(sshPort), "-i", d + "/userkey", "-o", "BatchMode=yes", "-o",
         "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null", "-o",
         "ExitOnForwardFailure=yes", "-o", "LogLevel=ERROR", "root@127.0.0.1"},
        FPort, d + "/ssh.log");
  }
  static void TearDownTestSuite() {
    delete FSsh;  // the client first: its session ends with it
    delete FSshd;
    FSsh = FSshd = nullptr;
    FTemp.reset();
  }
  static bool Available() {
    return apns_test::HaveProgram("/usr/sbin/sshd") && apns_test::HaveProgram("/usr/bin/ssh") &&
           apns_test::HaveProgram("/usr/bin/ssh-keygen");
  }
  void SetUp() override {
    if (!Available()) GTEST_SKIP() << "sshd or ssh is not installed";
    ASSERT_TRUE(FSshd && FSshd->Ready() && FSsh && FSsh->Ready())
        << Command("cat " + FFolder + "/*.log");
  }

  static inline std::unique_ptr<apns_test::TempDir> FTemp;
  static inline std::string FFolder;  // FTemp's path
  static inline uint16_t FPort = 0;
  static inline ServerProcess* FSshd = nullptr;
  static inline ServerProcess* FSsh = nullptr;
};

TEST_F(SshSocksProxy, Socks4ALetsTheProxyResolve) {
  TTargets targets;
  ExpectTunnels(
      [](TComponent* o) -> TIdCustomTransparentProxy* {
        auto* proxy = new TIdSocksInfo(o);
        proxy->SetVersion(TSocksVersion::svSocks4A);
        return proxy;
      },
      FPort, "localhost", targets);
  // ssh refuses by closing the connection without a reply.
  TComponent owner(nullptr);
  auto* proxy = new TIdSocksInfo(&owner);
  proxy->SetVersion(TSocksVersion::svSocks4A);
  ExpectRefusal<EIdSocksRequestFailed>(proxy, FPort, "localhost", ClosedPort(),
                                       "Request rejected or failed.");
}

}  // namespace
