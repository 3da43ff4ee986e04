// The OpenSSL I/O handler under the TCP client, against openssl s_server and
// nginx on loopback: handshakes, ALPN, data both ways, closes, refusals,
// client certificates, and life without the libraries.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <future>
#include <thread>

#include "tests/support/tls_peers.h"
#include "tls/kfxBase_Helpers_OpenSSL.h"
#include "tls/kfxIdSSLOpenSSLHeaders_Entries.h"
#include "tls/kfxTCP_Client_OpenSSL.h"
#include "transport/IdTCPClient.h"
#include "transport/kfxIdCustomTransparentProxy.h"

namespace {

using tls_test::FixturePath;
using tls_test::Nginx;
using tls_test::SServer;
using tls_test::TLSFixturePath;

// A plain TCP listener on loopback that accepts one connection and then runs
// aServe on it (a thread of the test, joined at the end).
class TPlainServer {
 public:
  explicit TPlainServer(std::function<void(int)> aServe) {
    FListener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    listen(FListener, 4);
    FThread = std::thread([this, aServe] {
      const int fd = accept(FListener, nullptr, nullptr);
      if (fd >= 0) {
        aServe(fd);
        close(fd);
      }
    });
  }
  ~TPlainServer() {
    shutdown(FListener, SHUT_RDWR);
    close(FListener);
    FThread.join();
  }
  uint16_t Port() const { return FPort; }

 private:
  int FListener;
  uint16_t FPort;
  std::thread FThread;
};

class OpenSSLHandler : public ::testing::Test {
 protected:
  // The binding's level stays at the default (1.0) unless a test sets it.
  void SetUp() override {
    StopOpenSSL();
    SetOpenSSLLibraryFolder("");
  }
  void TearDown() override {
    FClient.Disconnect(false);
    FClient.SetIOHandler(nullptr);
    StopOpenSSL();
    SetOpenSSLLibraryFolder("");
  }

  // The handler as the TCP client makes it: TLS on, client mode, the test CA.
  TkfxIdSSLIOHandlerSocketOpenSSL& MakeHandler(TIdSSLVersion aMethod, bool aVerify = true) {
    FClient.SetIOHandler(nullptr);  // the client lets go of the previous handler first
    FHandler = std::make_unique<TkfxIdSSLIOHandlerSocketOpenSSL>();
    FHandler->SetPassThrough(false);
    FHandler->SSLOptions().SetMethod(aMethod);
    FHandler->SSLOptions().Mode = TIdSSLMode::sslmClient;
    if (aVerify) {
      FHandler->SSLOptions().RootCertFile = FixturePath("ca.crt");
      FHandler->SSLOptions().VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
    }
    FHandler->ALPNProtocols().Add("h2");
    FHandler->OnGetPassword = [this](std::string& aPassword) { aPassword = FPassword; };
    FClient.SetIOHandler(FHandler.get());
    return *FHandler;
  }

  TIdTCPClient FClient;
  std::unique_ptr<TkfxIdSSLIOHandlerSocketOpenSSL> FHandler;
  std::string FPassword;
};

TEST_F(OpenSSLHandler, TLS12And13WithSServer) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"), {"-alpn", "h2"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  struct Case {
    TIdSSLVersion method;
    const char* version;
  };
  for (const Case& c : {Case{TIdSSLVersion::sslvTLSv1_2, "TLSv1.2"},
                        Case{TIdSSLVersion::sslvTLSv1_3, "TLSv1.3"}}) {
    SCOPED_TRACE(c.version);
    auto& handler = MakeHandler(c.method);
    std::vector<std::string> status;
    handler.OnStatusInfo = [&](const std::string& aMsg) { status.push_back(aMsg); };
    FClient.Connect("localhost", server.Port());
    EXPECT_FALSE(handler.PassThrough());
    EXPECT_EQ(handler.GetSSLVersion(), c.version);
    EXPECT_EQ(handler.GetALPNProtocol(), "h2");
    EXPECT_FALSE(status.empty());
    handler.WriteLn("hello handler");
    EXPECT_EQ(handler.ReadLn(), "reldnah olleh");
    // The server ends the connection with close-notify: a graceful close.
    handler.WriteLn("CLOSE");
    EXPECT_THROW(
        for (int i = 0; i < 50; ++i) handler.ReadLn("\n", 5000), EIdConnClosedGracefully);
    EXPECT_FALSE(FClient.Connected());
    FClient.Disconnect(false);
  }
}

// Either API level binds the system's OpenSSL 3 with the 1.1 entry points:
// the default (1.0) and the explicit 1.1 both verify the server, agree on h2
// and offer TLS 1.3.
TEST_F(OpenSSLHandler, DefaultAndExplicit11LevelsConnect) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"), {"-alpn", "h2"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  for (const TwsOpenSSLAPI api : {TwsOpenSSLAPI::oslAPI_1_0, TwsOpenSSLAPI::oslAPI_1_1}) {
    SCOPED_TRACE(api == TwsOpenSSLAPI::oslAPI_1_0 ? "level 1.0 (default)" : "level 1.1");
    StopOpenSSL();
    SetOpenSSLAPIVersion(api);
    auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
    ASSERT_NO_THROW(FClient.Connect("localhost", server.Port()));
    EXPECT_EQ(GetOpenSSLBoundAPIVersion(), TwsOpenSSLAPI::oslAPI_1_1);
    EXPECT_EQ(handler.GetSSLVersion(), "TLSv1.3");
    EXPECT_EQ(handler.GetALPNProtocol(), "h2");
    handler.WriteLn("either level");
    EXPECT_EQ(handler.ReadLn(), "level rehtie");
    FClient.Disconnect(false);
  }
  SetOpenSSLAPIVersion(TwsOpenSSLAPI::oslAPI_1_0);
}

// TLS 1.3 servers send session tickets after the handshake: records without
// application data. A reader polling with a time-out gets "no data" instead
// of blocking until application data comes.
TEST_F(OpenSSLHandler, PostHandshakeRecordsDoNotBlockAPollingReader) {
  auto server = std::make_unique<SServer>(FixturePath("server.crt"), FixturePath("server.key"),
                                          std::vector<std::string>{});
  ASSERT_TRUE(server->Ready()) << server->Errors();
  auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
  FClient.Connect("localhost", server->Port());
  auto poll = std::async(std::launch::async, [&handler] { return handler.CheckForDataOnSource(200); });
  if (poll.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "the poll blocked";
    server.reset();  // ends the connection, so the blocked read returns
  }
  EXPECT_FALSE(poll.get());
  // Data after the tickets still arrives.
  handler.WriteLn("after tickets");
  EXPECT_EQ(handler.ReadLn(), "stekcit retfa");
}

// A peer that vanishes without close-notify: the read ends as a disconnect.
TEST_F(OpenSSLHandler, EndOfStreamWithoutCloseNotifyIsADisconnect) {
  auto server = std::make_unique<SServer>(FixturePath("server.crt"), FixturePath("server.key"),
                                          std::vector<std::string>{"-alpn", "h2"});
  ASSERT_TRUE(server->Ready()) << server->Errors();
  auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
  FClient.Connect("127.0.0.1", server->Port());
  handler.WriteLn("ping");
  EXPECT_EQ(handler.ReadLn(), "gnip");
  server.reset();  // SIGTERM: s_server exits, the kernel closes the socket
  EXPECT_THROW(handler.ReadLn("\n", 5000), EIdConnClosedGracefully);
}

TEST_F(OpenSSLHandler, NginxHTTP2WithAndWithoutClientCertificate) {
  if (!Nginx::Installed()) GTEST_SKIP() << "nginx is not installed";
  for (bool verifyClient : {false, true}) {
    SCOPED_TRACE(verifyClient ? "client certificate required" : "no client certificate");
    Nginx nginx(verifyClient);
    ASSERT_TRUE(nginx.Ready()) << nginx.Errors();
    for (TIdSSLVersion method : {TIdSSLVersion::sslvTLSv1_2, TIdSSLVersion::sslvTLSv1_3}) {
      auto& handler = MakeHandler(method);
      if (verifyClient) {
        handler.SSLOptions().CertFile = FixturePath("client.p12");
        handler.SSLOptions().KeyFile = FixturePath("client.p12");
        FPassword = "secret";
      }
      FClient.Connect("localhost", nginx.Port());
      EXPECT_EQ(handler.GetALPNProtocol(), "h2");
      // The client preface and an empty SETTINGS frame; the server answers
      // with its own SETTINGS frame (type 4 on stream 0).
      const std::string preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
      TIdBytes out(preface.begin(), preface.end());
      for (uint8_t b : {0, 0, 0, 4, 0, 0, 0, 0, 0}) out.push_back(b);
      handler.Write(out);
      TIdBytes frameHeader;
      handler.ReadBytes(frameHeader, 9, false);
      EXPECT_EQ(frameHeader[3], 4);
      EXPECT_EQ(frameHeader[5] | frameHeader[6] | frameHeader[7] | frameHeader[8], 0);
      FClient.Disconnect(false);
    }
  }
}

// Refusals close the connection: the TCP client closes the handler, and the
// error is the connect error with the library's reason.
TEST_F(OpenSSLHandler, RefusedServersLeaveNoConnection) {
  struct Case {
    const char* name;
    std::string cert, key, host;
    std::vector<std::string> options;
    std::string reason;
  };
  const Case cases[] = {
      {"untrusted CA", TLSFixturePath("untrusted-server.crt"), TLSFixturePath("untrusted-server.key"),
       "localhost", {}, "certificate verify failed"},
      {"another name", TLSFixturePath("other-name.crt"), TLSFixturePath("other-name.key"),
       "localhost", {}, "certificate verify failed"},
      {"expired", TLSFixturePath("expired.crt"), TLSFixturePath("expired.key"), "localhost", {},
       "certificate verify failed"},
      {"no h2", FixturePath("server.crt"), FixturePath("server.key"), "localhost",
       {"-alpn", "http/1.1"}, "no application protocol"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SServer server(c.cert, c.key, c.options);
    ASSERT_TRUE(server.Ready()) << server.Errors();
    auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
    try {
      FClient.Connect(c.host, server.Port());
      ADD_FAILURE() << "connected";
    } catch (const EIdOSSLUnderlyingCryptoError& e) {
      EXPECT_EQ(e.Message().rfind("Error connecting with SSL.\r\n", 0), 0u) << e.Message();
      EXPECT_NE(e.Message().find(c.reason), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(handler.BindingAllocated());
    EXPECT_FALSE(FClient.Connected());
  }
}

// 127.0.0.2 is not in the localhost certificate (it names 127.0.0.1).
TEST_F(OpenSSLHandler, AddressLiteralIsCheckedAgainstTheCertificate) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"), {}, "127.0.0.2");
  ASSERT_TRUE(server.Ready()) << server.Errors();
  MakeHandler(TIdSSLVersion::sslvTLSv1_3);
  EXPECT_THROW(FClient.Connect("127.0.0.2", server.Port()), EIdOSSLUnderlyingCryptoError);
  // URIToCheck names the host to check: the same server passes as "localhost".
  SServer local(FixturePath("server.crt"), FixturePath("server.key"), {});
  ASSERT_TRUE(local.Ready());
  auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
  handler.SetURIToCheck("https://localhost:443/3/device/x");
  FClient.Connect("127.0.0.1", local.Port());
  handler.WriteLn("uri");
  EXPECT_EQ(handler.ReadLn(), "iru");
}

// A reset after the handshake reaches the reader as the stack's socket error.
TEST_F(OpenSSLHandler, ResetAfterHandshakeIsASocketError) {
  ASSERT_TRUE(StartOpenSSL());
  TIdSSLContext serverContext;
  serverContext.Mode = TIdSSLMode::sslmServer;
  serverContext.Method = TIdSSLVersion::sslvTLSv1_3;
  serverContext.SSLVersions = {TIdSSLVersion::sslvTLSv1_3};
  serverContext.CertFile = FixturePath("server.crt");
  serverContext.KeyFile = FixturePath("server.key");
  serverContext.InitContext(TIdSSLCtxMode::sslCtxServer);
  TPlainServer server([&](int fd) {
    TIdSSLSocket tls(nullptr);
    tls.fSSLContext = &serverContext;
    try {
      tls.Accept(fd);
      uint8_t buffer[64];
      tls.Recv(buffer, sizeof buffer);
      const std::string answer = "bye\n";
      tls.Send(reinterpret_cast<const uint8_t*>(answer.data()), static_cast<int>(answer.size()));
      tls.Recv(buffer, sizeof buffer);  // the client has read the answer
    } catch (const Exception&) {
      return;
    }
    // Leave without close-notify, and close with a reset.
    IdOpenSSL::SSL_set_shutdown(tls.SSLHandle(), 3);
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  });
  auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
  FClient.Connect("localhost", server.Port());
  handler.WriteLn("hello");
  EXPECT_EQ(handler.ReadLn(), "bye");
  handler.WriteLn("ack");
  try {
    handler.ReadLn("\n", 5000);
    ADD_FAILURE() << "read after the reset";
  } catch (const EIdConnClosedGracefully&) {
    // a close noticed before the reset arrived
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.Message().rfind("Socket Error # 10054", 0), 0u) << e.Message();
  }
  EXPECT_FALSE(FClient.Connected());
}

// A proxy whose tunnel is the connection itself: the socket reaches the
// server at the proxy's address, and the TLS name must still be the target's.
class TDirectTunnel : public TIdCustomTransparentProxy {
 public:
  using TIdCustomTransparentProxy::TIdCustomTransparentProxy;
  TIdCustomTransparentProxy* NewInstance() const override { return new TDirectTunnel; }
  bool Enabled() const override { return true; }
  std::string TunnelTarget;

 protected:
  void NegotiateTunnel(TIdIOHandler*, const std::string& AHost, uint16_t, TIdIPVersion) override {
    TunnelTarget = AHost;
  }
};

TEST_F(OpenSSLHandler, ServerNameIsTheTunnelTargetNotTheProxy) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"), {"-tlsextdebug"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  TDirectTunnel proxy(&FClient);  // owned by the client, referenced by the handler
  proxy.SetHost("127.0.0.1");
  proxy.SetPort(server.Port());
  auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
  handler.SetTransparentProxy(&proxy);
  FClient.Connect("localhost", 1);  // the port of the target behind the proxy
  EXPECT_EQ(proxy.TunnelTarget, "localhost");
  handler.WriteLn("tunnel");
  EXPECT_EQ(handler.ReadLn(), "lennut");
  // The address literal of the proxy would have sent no server name at all.
  EXPECT_NE(server.Output().find("server name"), std::string::npos) << server.Output();
  FClient.Disconnect(false);
  handler.SetTransparentProxy(nullptr);
}

TEST_F(OpenSSLHandler, PeerClosingDuringHandshakeFailsTheConnect) {
  TPlainServer server([](int fd) {
    char buffer[512];
    (void)!recv(fd, buffer, sizeof buffer, 0);  // the ClientHello, then close
  });
  auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
  EXPECT_THROW(FClient.Connect("127.0.0.1", server.Port()), EIdOpenSSLError);
  EXPECT_FALSE(handler.BindingAllocated());
}

TEST_F(OpenSSLHandler, WithoutTheLibrariesOnlyPlainConnectionsWork) {
  tls_test::TempDir empty;
  SetOpenSSLLibraryFolder(empty.path().string());
  {
    // PassThrough true: a plain connection, TLS cannot be switched on later.
    TPlainServer server([](int fd) {
      char buffer[64];
      const auto n = recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) (void)!send(fd, buffer, static_cast<size_t>(n), 0);
    });
    auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
    handler.SetPassThrough(true);
    FClient.Connect("127.0.0.1", server.Port());
    handler.WriteLn("plain");
    EXPECT_EQ(handler.ReadLn(), "plain");
    try {
      handler.SetPassThrough(false);
      ADD_FAILURE() << "TLS started";
    } catch (const EIdOSSLCouldNotLoadSSLLibrary& e) {
      EXPECT_EQ(e.Message(), "Could not load SSL library.");
    }
    FClient.Disconnect(false);
  }
  TPlainServer server([](int) {});
  auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
  try {
    FClient.Connect("127.0.0.1", server.Port());
    ADD_FAILURE() << "connected";
  } catch (const EIdOSSLCouldNotLoadSSLLibrary& e) {
    EXPECT_EQ(e.Message(), "Could not load SSL library.");
  }
  EXPECT_FALSE(handler.BindingAllocated());
}

// The client's handler before its TLS session exists.
TEST_F(OpenSSLHandler, NoSessionYetIsSafeToPoll) {
  struct TProbe : TkfxIdSSLIOHandlerSocketOpenSSL {
    using TkfxIdSSLIOHandlerSocketOpenSSL::CheckForError;
    using TkfxIdSSLIOHandlerSocketOpenSSL::RecvEnc;
  } probe;
  probe.SetPassThrough(false);
  EXPECT_FALSE(probe.Readable(0));
  EXPECT_EQ(probe.CheckForError(-7), -7);
  TIdBytes buffer(16);
  EXPECT_EQ(probe.RecvEnc(buffer), -1);
  EXPECT_EQ(probe.GetALPNProtocol(), "");
}

TEST_F(OpenSSLHandler, TimeoutsCloneAndPassword) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"),
                 {"-Verify", "1", "-CAfile", FixturePath("ca.crt"), "-verify_return_error"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  auto& handler = MakeHandler(TIdSSLVersion::sslvTLSv1_3);
  handler.SSLOptions().CertFile = FixturePath("client.crt");
  handler.SSLOptions().KeyFile = TLSFixturePath("client-enc.key");
  bool askedEx = false;
  handler.OnGetPasswordEx = [&](TObject*, std::string& aPassword, bool) {
    askedEx = true;
    aPassword = "keypass";  // OnGetPassword is not asked then
  };
  FPassword = "wrong";
  FClient.SetReadTimeout(0);
  FClient.Connect("localhost", server.Port());
  EXPECT_TRUE(askedEx);
  timeval value{};
  socklen_t length = sizeof value;
  getsockopt(handler.Binding()->Handle(), SOL_SOCKET, SO_RCVTIMEO, &value, &length);
  EXPECT_EQ(value.tv_sec, 30);
  handler.WriteLn("cert");
  EXPECT_EQ(handler.ReadLn(), "trec");

  auto clone = handler.Clone();
  auto* copy = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(clone.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->SSLOptions().KeyFile, TLSFixturePath("client-enc.key"));
  EXPECT_EQ(copy->SSLOptions().Method(), TIdSSLVersion::sslvTLSv1_3);
  ASSERT_NE(copy->SSLSocket(), nullptr);
  EXPECT_EQ(copy->SSLSocket()->Parent(), static_cast<IIdSSLOpenSSLCallbacks*>(&handler));
  EXPECT_EQ(copy->GetPassword(false), "keypass");
}

}  // namespace
