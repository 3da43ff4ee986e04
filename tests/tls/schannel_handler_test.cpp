// The SChannel I/O handler under the transport's TCP client, against
// openssl s_server and nginx on loopback.
#include "tls/kfxSSL_SChannel_Id.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/tls_peers.h"
#include "transport/IdTCPClient.h"

using namespace tls_test;

namespace {

TIdBytes Bytes(const std::string& aText) { return TIdBytes(aText.begin(), aText.end()); }
std::string Text(const TIdBytes& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }

// A client with an SChannel handler set up as the TCP client component does:
// PassThrough cleared before the connect.
struct TlsClient {
  explicit TlsClient(const std::string& aHost, uint16_t aPort, bool aPassThrough = false) {
    Handler = std::make_unique<TkfxIdSSLIOHandlerSocketSChannel>();
    Handler->SetPassThrough(aPassThrough);
    Handler->ALPNProtocols().Add("h2");
    Handler->SetTLSVersion(TwsTLSVersions::tls1_2);
    Client.SetIOHandler(Handler.get());
    Client.SetHost(aHost);
    Client.SetPort(aPort);
  }
  ~TlsClient() {
    try {
      Client.Disconnect();
    } catch (...) {
    }
    Client.SetIOHandler(nullptr);
  }
  TIdIOHandler& IO() { return *Client.IOHandler(); }

  std::unique_ptr<TkfxIdSSLIOHandlerSocketSChannel> Handler;
  TIdTCPClient Client;
};

class SChannelHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("openssl")) GTEST_SKIP() << "openssl command line program is missing";
  }
};

TEST(SChannelHandler, CloneHasDefaultSettingsAndNoSessionAnswersEmpty) {
  TkfxIdSSLIOHandlerSocketSChannel handler;
  EXPECT_TRUE(handler.PassThrough());
  EXPECT_EQ(handler.TLSVersion(), TwsTLSVersions::tls1_0);
  handler.SetTLSVersion(TwsTLSVersions::tls1_3);
  handler.Certificate().SetCertFile("client.p12");
  handler.Certificate().SetVerifyCertificate(true);
  handler.Certificate().SetCertStoreName(TkfxSChannelCertStoreName::scsnCA);
  handler.ALPNProtocols().Add("h2");
  handler.SetCipherList("CALG_AES_256");
  std::unique_ptr<TIdSSLIOHandlerSocketBase> clone = handler.Clone();
  auto* copy = dynamic_cast<TkfxIdSSLIOHandlerSocketSChannel*>(clone.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->TLSVersion(), TwsTLSVersions::tls1_0);
  EXPECT_EQ(copy->Certificate().CertFile(), "");
  EXPECT_FALSE(copy->Certificate().VerifyCertificate());
  EXPECT_EQ(copy->Certificate().CertStoreName(), TkfxSChannelCertStoreName::scsnMY);
  EXPECT_EQ(copy->Certificate().CertStorePath(), TkfxSChannelCertStorePath::scspStoreCurrentUser);
  EXPECT_EQ(copy->ALPNProtocols().Count(), 0);
  EXPECT_EQ(copy->CipherList(), "");
  EXPECT_EQ(handler.GetALPNProtocol(), "");
  EXPECT_EQ(handler.GetInfo(), nullptr);
  EXPECT_EQ(handler.SSL(), nullptr);
}

TEST_F(SChannelHandlerTest, ConnectRunsTheHandshakeAfterThePlainConnect) {
  SServer server({"-alpn", "h2", "-tls1_2"});
  TlsClient tls(server.Host(), server.Port());
  tls.Client.Connect();
  ASSERT_NE(tls.Handler->SSL(), nullptr);
  EXPECT_FALSE(tls.Handler->PassThrough());
  EXPECT_TRUE(tls.Handler->Connected());
  EXPECT_EQ(tls.Handler->GetALPNProtocol(), "h2");
  ASSERT_NE(tls.Handler->GetInfo(), nullptr);
  EXPECT_EQ(tls.Handler->GetInfo()->Protocol(), TwsTLSVersions::tls1_2);

  tls.IO().Write(Bytes("0from client\n"));
  EXPECT_TRUE(server.WaitOutput("0from client"));
  server.Send("0from server\n");
  EXPECT_EQ(tls.IO().ReadLn(), "0from server");
}

TEST_F(SChannelHandlerTest, PlainUntilPassThroughIsCleared) {
  // s_server takes the plain octets as the start of a handshake and fails it,
  // so the plain part is checked against a listener of the test's own.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  {
    TlsClient plain("127.0.0.1", ntohs(address.sin_port), true);
    plain.Client.Connect();
    const int peer = accept(listener, nullptr, nullptr);
    plain.IO().Write(Bytes("plain"));
    char buffer[8] = {};
    EXPECT_EQ(recv(peer, buffer, 5, MSG_WAITALL), 5);
    EXPECT_EQ(std::string(buffer), "plain");
    EXPECT_EQ(plain.Handler->SSL(), nullptr);
    close(peer);
  }
  close(listener);

  // Clearing PassThrough on the connected plain handler starts TLS at once.
  SServer server({"-tls1_3"});
  TlsClient tls(server.Host(), server.Port(), true);
  tls.Handler->SetTLSVersion(TwsTLSVersions::tls1_3);
  tls.Client.Connect();
  EXPECT_EQ(tls.Handler->SSL(), nullptr);
  tls.Handler->SetPassThrough(false);
  ASSERT_NE(tls.Handler->SSL(), nullptr);
  tls.IO().Write(Bytes("0now encrypted\n"));
  EXPECT_TRUE(server.WaitOutput("0now encrypted"));
}

TEST_F(SChannelHandlerTest, FailedStartRaisesSChannelErrorWithTheCertificateStatus) {
  TempDir dir;
  const CertFiles selfSigned = MakeCert(dir, "self", {.SelfSigned = true});
  SServer server({"-tls1_2"}, "127.0.0.1", selfSigned);
  TlsClient tls(server.Host(), server.Port());
  tls.Handler->Certificate().SetVerifyCertificate(true);
  try {
    tls.Client.Connect();
    FAIL() << "connected to an untrusted server";
  } catch (const SChannelError& e) {
    EXPECT_EQ(e.Message(), "SChannel initialization error: CertVerifyCertificateChainPolicy.vStatus = 800B0109");
    EXPECT_EQ(e.CertStatus, 0x800B0109u);
  }
  EXPECT_EQ(tls.Handler->SSL(), nullptr);
  EXPECT_FALSE(tls.Handler->Connected());
}

TEST(SChannelHandler, SilentServerFailsTheHandshakeAfterTheReadTimeout) {
  // A listener that accepts (the kernel does) and never answers.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  TlsClient tls("127.0.0.1", ntohs(address.sin_port));
  tls.Client.SetReadTimeout(300);
  const auto start = std::chrono::steady_clock::now();
  try {
    tls.Client.Connect();
    FAIL() << "a handshake without a server";
  } catch (const SChannelError& e) {
    EXPECT_EQ(e.Message(), "SChannel initialization error: recv returns 0000274C");
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(10));
  close(listener);
}

TEST_F(SChannelHandlerTest, TheTlsNameIsTheTunnelsTargetNotTheProxy) {
  // A "proxy" that is really the server: the tunnel needs no negotiation, and
  // the name checked must be the target's ("localhost"), not the proxy's.
  class DirectProxy : public TIdCustomTransparentProxy {
   public:
    TIdCustomTransparentProxy* NewInstance() const override { return new DirectProxy(); }
    bool Enabled() const override { return true; }

   protected:
    void NegotiateTunnel(TIdIOHandler*, const std::string&, uint16_t, TIdIPVersion) override {}
  };
  TempDir dir;
  CertSpec spec;
  spec.IpAddresses.clear();  // valid for "localhost" only
  const CertFiles byName = MakeCert(dir, "byname", spec);
  SServer server({"-tls1_2"}, "127.0.0.1", byName);
  DirectProxy proxy;
  proxy.SetHost("127.0.0.1");
  proxy.SetPort(server.Port());
  TlsClient tls("localhost", 1);  // the target as the tunnel names it
  tls.Handler->SetTransparentProxy(&proxy);
  tls.Handler->Certificate().SetVerifyCertificate(true);
  tls.Handler->Certificate().SetRootCertFile(FixturePath("ca.crt"));
  EXPECT_NO_THROW(tls.Client.Connect());
  EXPECT_NE(tls.Handler->SSL(), nullptr);
  tls.Handler->SetTransparentProxy(nullptr);
}

TEST_F(SChannelHandlerTest, ReadTimeoutLeavesTheConnectionUsable) {
  SServer server({"-tls1_2"});
  TlsClient tls(server.Host(), server.Port());
  tls.Client.SetReadTimeout(200);
  tls.Client.Connect();
  TIdBytes data;
  EXPECT_THROW(tls.IO().ReadBytes(data, 5, false), EIdReadTimeout);
  server.Send("0late\n");
  tls.Client.SetReadTimeout(5000);
  tls.IO().ReadBytes(data, 6, false);
  EXPECT_EQ(Text(data), "0late\n");
}

TEST_F(SChannelHandlerTest, ReadableWaitsOnlyWhenNothingIsBuffered) {
  SServer server({"-tls1_2"});
  TlsClient tls(server.Host(), server.Port());
  tls.Client.Connect();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(tls.Handler->Readable(100));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  const int socket = tls.Handler->Binding()->Handle();
  server.Send("0one\n");
  const size_t one = WaitForMoreOctets(socket, 0);
  server.Send("0two\n");
  WaitForMoreOctets(socket, one);
  // One read takes both records off the socket and decrypts the first; the
  // second is buffered, invisible to the socket.
  TIdBytes first(5);
  ASSERT_EQ(SChannelRead(tls.Handler->SSL(), first.data(), 5), 5);
  EXPECT_EQ(Text(first), "0one\n");
  EXPECT_TRUE(tls.Handler->Readable(0));
}

TEST_F(SChannelHandlerTest, CloseNotifyIsAGracefulClose) {
  if (!HaveProgram("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is missing";
  Nginx nginx(false, 1 << 20);
  TlsClient tls("127.0.0.1", nginx.Port());
  tls.Handler->ALPNProtocols().Clear();
  tls.Handler->ALPNProtocols().Add("http/1.1");
  tls.Client.Connect();
  tls.IO().Write(Bytes("GET /big.bin HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"));
  std::string received;
  bool closed = false;
  for (int i = 0; i < 100000 && !closed; ++i) {
    try {
      TIdBytes chunk;
      tls.IO().ReadBytes(chunk, -1, false);
      received += Text(chunk);
    } catch (const EIdConnClosedGracefully&) {
      closed = true;
    }
  }
  EXPECT_TRUE(closed);
  const size_t body = received.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_TRUE(received.substr(body + 4) == ReadFile(nginx.BigFile()));
}

TEST_F(SChannelHandlerTest, DamagedRecordEndsTheConnectionOnce) {
  SServer server({"-tls1_2"});
  RelayProxy relay(server.Host(), server.Port());
  TlsClient tls("127.0.0.1", relay.Port());
  tls.Client.Connect();
  relay.FlipServerOctet(10);
  server.Send("0damaged\n");
  TIdBytes data;
  try {
    tls.IO().ReadBytes(data, 9, false);
    FAIL() << "a damaged record was read";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError, 10053);
  }
  // The handler is closed: the next read says so at once.
  EXPECT_THROW(tls.IO().ReadBytes(data, 9, false), EIdException);
  EXPECT_EQ(tls.Handler->SSL(), nullptr);
}

}  // namespace
