// The TCP client over each TLS back end against real servers on loopback:
// openssl s_server with ALPN "h2", with and without a required client
// certificate, and nginx with HTTP/2.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rtl/MainThread.h"
#include "tcp/kfxTCP_Client.h"
#include "tests/support/tcp_echo_peer.h"
#include "tests/support/tls_peers.h"
#include "tls/kfxIdSSLOpenSSL.h"
#include "tls/kfxTCP_Client_OpenSSL.h"
#include "tests/support/wait.h"

namespace {

using apns_test::PumpUntil;

using tls_test::FixturePath;

class TTLSClient : public TkfxTCPCLient_Common {
 public:
  TTLSClient(TwsTLSIOHandler aBackEnd, TkfxTCPMode aMode) : TkfxTCPCLient_Common(nullptr) {
    SetTCPMode(aMode);
    SetHost("127.0.0.1");
    SetTLS(true);
    TLSOptions().SetIOHandler(aBackEnd);
    TLSOptions().ALPNProtocols().Add("h2");
    TLSOptions().SetVersion(TwsTLSVersions::tls1_2);
    OnConnect = [this](TkfxTCPConnection* c) {
      Add("connect alpn=" + static_cast<TkfxTCPConnectionClient*>(c)->ALPNProtocol());
    };
    OnDisconnect = [this](TkfxTCPConnection*) { Add("disconnect"); };
    OnException = [this](TkfxTCPConnection*, Exception* E) { Add("exception " + E->Message()); };
    OnBinary = [this](TkfxTCPConnection*, TMemoryStream* Data) {
      std::lock_guard guard(Lock);
      Received.append(Data->Bytes().begin(), Data->Bytes().end());
    };
    OnSSLAfterCreateHandler = [this](TObject*, TwsSSLHandler, TkfxTLSIOHandler* aHandler) {
      Add(std::string("created ") + aHandler->ClassName());
    };
  }
  ~TTLSClient() override { ShutDown(); }

  void Add(const std::string& aWhat) {
    std::lock_guard guard(Lock);
    Events.push_back(aWhat);
  }
  std::vector<std::string> EventsCopy() {
    std::lock_guard guard(Lock);
    return Events;
  }
  std::string ReceivedCopy() {
    std::lock_guard guard(Lock);
    return Received;
  }
  int QueuedCommands() { return Commands().Count(); }
  void Send(const std::string& aText) {
    if (TCPMode() == TkfxTCPMode::tcpmCommands)
      AddBytes(TIdBytes(aText.begin(), aText.end()));
    else if (auto connection = ConnectionRef())
      connection->WriteBytes(TIdBytes(aText.begin(), aText.end()));
  }

  std::mutex Lock;
  std::vector<std::string> Events;
  std::string Received;
};

struct TBackEnd {
  TwsTLSIOHandler Kind;
  const char* HandlerClass;
};
const std::vector<TBackEnd> kBackEnds = {
    {TwsTLSIOHandler::iohOpenSSL, "TkfxIdSSLIOHandlerSocketOpenSSL"},
    {TwsTLSIOHandler::iohSChannel, "TkfxIdSSLIOHandlerSocketSChannel"},
};

// Each back end in each mode: the handler is built from TLSOptions, "h2" is
// negotiated, data goes both ways, and a server close is one disconnect.
TEST(TCPClientTLS, EachBackEndInEachModeWithSServer) {
  tls_test::SServer server(FixturePath("server.crt"), FixturePath("server.key"), {"-alpn", "h2"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  for (const TBackEnd& backEnd : kBackEnds) {
    for (TkfxTCPMode mode : {TkfxTCPMode::tcpmCommands, TkfxTCPMode::tcpmDefault}) {
      SCOPED_TRACE(std::string(backEnd.HandlerClass) + (mode == TkfxTCPMode::tcpmCommands ? " commands" : " default"));
      TTLSClient client(backEnd.Kind, mode);
      client.SetPort(server.Port());
      ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.EventsCopy());
      ASSERT_TRUE(PumpUntil([&] { return client.EventsCopy().size() >= 2; }));
      client.Send("hello tls\n");
      ASSERT_TRUE(PumpUntil([&] { return client.ReceivedCopy() == "slt olleh\n"; }))
          << client.ReceivedCopy();
      // s_server closes the connection on "CLOSE".
      client.Send("CLOSE\n");
      ASSERT_TRUE(PumpUntil([&] { return !client.Active(); }));
      PumpUntil([&] {
        auto e = client.EventsCopy();
        return std::count(e.begin(), e.end(), "disconnect") == 1;
      });
      const auto events = client.EventsCopy();
      ASSERT_GE(events.size(), 3u) << ::testing::PrintToString(events);
      EXPECT_EQ(events[0], std::string("created ") + backEnd.HandlerClass);
      EXPECT_EQ(events[1], "connect alpn=h2");
      EXPECT_EQ(std::count(events.begin(), events.end(), "disconnect"), 1)
          << ::testing::PrintToString(events);
    }
  }
}

// A server that accepts TCP and never answers the TLS hello holds nobody
// beyond the activation's time-out, with either back end.
TEST(TCPClientTLS, SilentServerTimesOutTheHandshake) {
  TEchoPeer peer(TEchoPeer::TMode::Mute);
  ASSERT_TRUE(peer.Start());
  for (const TBackEnd& backEnd : kBackEnds) {
    SCOPED_TRACE(backEnd.HandlerClass);
    TTLSClient client(backEnd.Kind, TkfxTCPMode::tcpmCommands);
    client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client.SetPort(peer.Port());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Connect(500));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    const auto events = client.EventsCopy();
    EXPECT_NE(std::find(events.begin(), events.end(), "exception Connect timed out."), events.end())
        << ::testing::PrintToString(events);
    EXPECT_FALSE(client.Active());
  }
}

// A server that requires a client certificate: without one the activation
// fails and is reported; with the fixture's certificate it succeeds. Both
// back ends take the PKCS#12 file with its password alone; OpenSSL also takes
// PEM files, and the PKCS#12 file named as its key file too.
TEST(TCPClientTLS, RequiredClientCertificate) {
  tls_test::SServer server(FixturePath("server.crt"), FixturePath("server.key"),
                           {"-alpn", "h2", "-Verify", "1", "-CAfile", FixturePath("ca.crt")});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  struct Case {
    const char* Name;
    TBackEnd BackEnd;
    std::string CertFile, KeyFile, Password;
    std::string Refusal;  // empty: the connection is made
  };
  const std::string p12 = FixturePath("client.p12");
  const Case cases[] = {
      {"PEM certificate and key", kBackEnds[0], FixturePath("client.crt"), FixturePath("client.key"), "", ""},
      {"PKCS#12 as certificate and key", kBackEnds[0], p12, p12, "secret", ""},
      {"PKCS#12 alone", kBackEnds[0], p12, "", "secret", ""},
      {"PKCS#12 alone without a password", kBackEnds[0], FixturePath("client-nopass.p12"), "", "", ""},
      {"PKCS#12 alone, wrong password", kBackEnds[0], p12, "", "wrong", "exception Could not load certificate."},
      {"no certificate", kBackEnds[0], "", "", "", "exception "},
      {"PKCS#12", kBackEnds[1], p12, "", "secret", ""},
      {"no certificate", kBackEnds[1], "", "", "", "exception "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.BackEnd.HandlerClass) + ", " + c.Name);
    TTLSClient client(c.BackEnd.Kind, TkfxTCPMode::tcpmCommands);
    client.SetPort(server.Port());
    client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client.TLSOptions().SetCertFile(c.CertFile);
    client.TLSOptions().SetKeyFile(c.KeyFile);
    client.TLSOptions().SetPassword(c.Password);
    const bool connected = client.Connect(10000);
    if (!c.Refusal.empty()) {
      // Refused in the handshake, or by the server right after it (TLS 1.3).
      EXPECT_TRUE(PumpUntil([&] {
        const auto events = client.EventsCopy();
        return !client.Active() &&
               std::any_of(events.begin(), events.end(),
                           [&](const std::string& e) { return e.rfind(c.Refusal, 0) == 0; });
      })) << ::testing::PrintToString(client.EventsCopy());
      continue;
    }
    ASSERT_TRUE(connected) << ::testing::PrintToString(client.EventsCopy());
    client.Send("with certificate\n");
    EXPECT_TRUE(PumpUntil([&] { return client.ReceivedCopy() == "etacifitrec htiw\n"; }))
        << client.ReceivedCopy();
    client.Disconnect(5000);
  }
}

// TLSOptions in, TLS factory settings out: every field a back end takes.
TEST(TCPClientTLS, TLSOptionsBecomeTheFactorySettings) {
  TkfxTCPTLS_Options options;
  const TkfxTLSSettings defaults = TLSSettingsFromOptions(options);
  EXPECT_EQ(defaults.Version, TwsTLSVersions::tlsUndefined);
  EXPECT_FALSE(defaults.VerifyCertificate);
  EXPECT_TRUE(defaults.CertFile.empty() && defaults.KeyFile.empty() && defaults.Password.empty() &&
              defaults.RootCertFile.empty() && defaults.ALPNProtocols.empty());
  EXPECT_TRUE(defaults.SChannel.CertHash.empty() && defaults.SChannel.CipherList.empty());
  EXPECT_EQ(defaults.SChannel.CertStoreName, TkfxSChannelCertStoreName::scsnMY);
  EXPECT_EQ(defaults.SChannel.CertStorePath, TkfxSChannelCertStorePath::scspStoreCurrentUser);
  EXPECT_EQ(defaults.OpenSSL.APIVersion, TwsOpenSSLAPI::oslAPI_1_0);
  EXPECT_EQ(defaults.OpenSSL.LibPath, TwsOpenSSLLibPath::oslpNone);

  options.SetVersion(TwsTLSVersions::tls1_3);
  options.SetVerifyCertificate(true);
  options.SetVerifyDepth(4);  // stored only: no back end reads it
  options.SetCertFile("client.p12");
  options.SetKeyFile("client.key");
  options.SetPassword("secret");
  options.SetRootCertFile("ca.crt");
  options.ALPNProtocols().Add("h2");
  options.ALPNProtocols().Add("");
  options.SChannel_Options().SetCertHash("abc");
  options.SChannel_Options().SetCertStoreName(TkfxSChannelCertStoreName::scsnTrust);
  options.SChannel_Options().SetCertStorePath(TkfxSChannelCertStorePath::scspStoreLocalMachine);
  options.SChannel_Options().SetCipherList("AES256");
  options.OpenSSL_Options().SetAPIVersion(TwsOpenSSLAPI::oslAPI_1_1);
  options.OpenSSL_Options().SetLibPath(TwsOpenSSLLibPath::oslpDefaultFolder);
  const TkfxTLSSettings s = TLSSettingsFromOptions(options);
  EXPECT_EQ(s.Version, TwsTLSVersions::tls1_3);
  EXPECT_TRUE(s.VerifyCertificate);
  EXPECT_EQ(s.CertFile, "client.p12");
  EXPECT_EQ(s.KeyFile, "client.key");
  EXPECT_EQ(s.Password, "secret");
  EXPECT_EQ(s.RootCertFile, "ca.crt");
  EXPECT_EQ(s.ALPNProtocols, (std::vector<std::string>{"h2", ""}));
  EXPECT_EQ(s.SChannel.CertHash, "abc");
  EXPECT_EQ(s.SChannel.CertStoreName, TkfxSChannelCertStoreName::scsnTrust);
  EXPECT_EQ(s.SChannel.CertStorePath, TkfxSChannelCertStorePath::scspStoreLocalMachine);
  EXPECT_EQ(s.SChannel.CipherList, "AES256");
  EXPECT_EQ(s.OpenSSL.APIVersion, TwsOpenSSLAPI::oslAPI_1_1);
  EXPECT_EQ(s.OpenSSL.LibPath, TwsOpenSSLLibPath::oslpDefaultFolder);
  EXPECT_FALSE(s.OnGetPassword);
}

// The component's built-in handlers ask it for the password
// (OnSSLGetPassword, which a subclass may answer), and a handler supplied by
// OnSSLGetHandler is used as it is.
TEST(TCPClientTLS, TheComponentMakesItsHandlersThroughTheFactory) {
  class TClient : public TTLSClient {
   public:
    using TTLSClient::TTLSClient;
    using TkfxTCPCLient_Common::GetSSLHandler;
    void OnSSLGetPassword(std::string& Password) override {
      TTLSClient::OnSSLGetPassword(Password);
      Password += " via the component";
    }
  };
  for (const TBackEnd& backEnd : kBackEnds) {
    SCOPED_TRACE(backEnd.HandlerClass);
    TClient client(backEnd.Kind, TkfxTCPMode::tcpmDefault);
    client.TLSOptions().SetPassword("secret");
    TkfxTLSIOHandler* made = nullptr;
    client.GetSSLHandler(TwsSSLHandler::sslClient, made);
    std::unique_ptr<TkfxTLSIOHandler> handler(made);
    ASSERT_TRUE(handler);
    EXPECT_EQ(handler->ClassName(), backEnd.HandlerClass);
    EXPECT_FALSE(handler->PassThrough());
    EXPECT_EQ(client.EventsCopy(), std::vector<std::string>{std::string("created ") + backEnd.HandlerClass});
    if (auto* openssl = dynamic_cast<TkfxIdSSLIOHandlerSocketOpenSSL*>(handler.get())) {
      EXPECT_EQ(openssl->GetPassword(false), "secret via the component");
    }

    // Supplied by the application: kept as it is, no "created" event.
    auto own = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
    client.OnSSLGetHandler = [&](TObject*, TwsSSLHandler, TkfxTLSIOHandler*& aHandler) { aHandler = own.get(); };
    TkfxTLSIOHandler* supplied = nullptr;
    client.GetSSLHandler(TwsSSLHandler::sslClient, supplied);
    EXPECT_EQ(supplied, own.get());
    EXPECT_TRUE(own->PassThrough());
    EXPECT_EQ(client.EventsCopy().size(), 1u);
  }
}

// A std::exception from the application's OnSSLGetHandler is the
// activation's failure, reported like any other, in either mode; nothing
// leaves Active := true.
TEST(TCPClientTLS, AForeignExceptionWhileMakingTheHandlerIsReported) {
  for (TkfxTCPMode mode : {TkfxTCPMode::tcpmDefault, TkfxTCPMode::tcpmCommands}) {
    SCOPED_TRACE(mode == TkfxTCPMode::tcpmCommands ? "commands" : "default");
    TTLSClient client(TwsTLSIOHandler::iohOpenSSL, mode);
    client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client.OnSSLGetHandler = [](TObject*, TwsSSLHandler, TkfxTLSIOHandler*&) {
      throw std::runtime_error("no handler today");
    };
    EXPECT_FALSE(client.Connect(5000));
    EXPECT_EQ(client.EventsCopy(), std::vector<std::string>{"exception no handler today"});
    EXPECT_FALSE(client.Active());
  }
}

// TLSOptions.RootCertFile reaches either back end: with VerifyCertificate a
// server certificate from the test CA is accepted when the CA file is given
// and refused without it, with the environment naming no CA file.
TEST(TCPClientTLS, RootCertFileIsTrustedByEitherBackEnd) {
  unsetenv("SSL_CERT_FILE");  // the system's trust store without the test CA
  tls_test::SServer server(FixturePath("server.crt"), FixturePath("server.key"), {"-alpn", "h2"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  struct Case {
    TBackEnd BackEnd;
    std::string RootCertFile;
    std::string Refusal;  // empty: the connection is made
  };
  const Case cases[] = {
      {kBackEnds[1], FixturePath("ca.crt"), ""},
      {kBackEnds[1], "",
       "exception SChannel initialization error: CertVerifyCertificateChainPolicy.vStatus = "
       "800B010A"},
      {kBackEnds[0], FixturePath("ca.crt"), ""},
      {kBackEnds[0], "", "certificate verify failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.BackEnd.HandlerClass) +
                 (c.RootCertFile.empty() ? " without" : " with") + " RootCertFile");
    TTLSClient client(c.BackEnd.Kind, TkfxTCPMode::tcpmCommands);
    client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client.SetPort(server.Port());
    client.TLSOptions().SetVerifyCertificate(true);
    client.TLSOptions().SetRootCertFile(c.RootCertFile);
    const bool connected = client.Connect(10000);
    const auto events = client.EventsCopy();
    if (c.Refusal.empty()) {
      ASSERT_TRUE(connected) << ::testing::PrintToString(events);
      client.Send("verified\n");
      EXPECT_TRUE(PumpUntil([&] { return client.ReceivedCopy() == "deifirev\n"; }));
      client.Disconnect(5000);
      continue;
    }
    EXPECT_FALSE(connected);
    EXPECT_NE(
        std::find_if(events.begin(), events.end(),
                     [&](const std::string& e) { return e.find(c.Refusal) != std::string::npos; }),
        events.end())
        << ::testing::PrintToString(events);
  }
}

// The OpenSSL back end at its default API level and at level 1.1, both on
// the system's OpenSSL 3.
TEST(TCPClientTLS, OpenSSLAtEitherAPILevel) {
  tls_test::SServer server(FixturePath("server.crt"), FixturePath("server.key"), {"-alpn", "h2"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  for (const TwsOpenSSLAPI api : {TwsOpenSSLAPI::oslAPI_1_0, TwsOpenSSLAPI::oslAPI_1_1}) {
    SCOPED_TRACE(api == TwsOpenSSLAPI::oslAPI_1_0 ? "level 1.0 (default)" : "level 1.1");
    StopOpenSSL();  // each level binds afresh
    TTLSClient client(TwsTLSIOHandler::iohOpenSSL, TkfxTCPMode::tcpmCommands);
    client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client.SetPort(server.Port());
    client.TLSOptions().OpenSSL_Options().SetAPIVersion(api);
    ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.EventsCopy());
    EXPECT_EQ(GetOpenSSLAPIVersion(), api);
    EXPECT_EQ(GetOpenSSLBoundAPIVersion(), TwsOpenSSLAPI::oslAPI_1_1);
    client.Send("api level\n");
    EXPECT_TRUE(PumpUntil([&] { return client.ReceivedCopy() == "level ipa\n"; }))
        << client.ReceivedCopy();
    client.Disconnect(5000);
  }
}

// nginx speaking HTTP/2: the connection preface goes out through the
// command queue and the server's SETTINGS frame comes back.
TEST(TCPClientTLS, NginxAnswersTheHTTP2Preface) {
  if (!tls_test::Nginx::Installed()) GTEST_SKIP() << "nginx is not installed";
  tls_test::Nginx nginx;
  ASSERT_TRUE(nginx.Ready()) << nginx.Errors();
  for (const TBackEnd& backEnd : kBackEnds) {
    SCOPED_TRACE(backEnd.HandlerClass);
    TTLSClient client(backEnd.Kind, TkfxTCPMode::tcpmCommands);
    client.SetPort(nginx.Port());
    ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.EventsCopy());
    const std::string preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    client.Send(preface + std::string("\x00\x00\x00\x04\x00\x00\x00\x00\x00", 9));
    // A SETTINGS frame: type 4 in the fourth octet of the first frame header.
    ASSERT_TRUE(PumpUntil([&] { return client.ReceivedCopy().size() >= 9; }));
    EXPECT_EQ(client.ReceivedCopy()[3], '\x04');
    client.Disconnect(5000);
  }
}

}  // namespace

namespace {

// A TLS peer that answers and then resets the connection while the client
// still writes: it takes the client's first bytes, stops reading (the
// client's sends soon wait), sends its answer, and closes with a reset.
class TTLSAnswerThenResetPeer {
 public:
  bool Start() {
    FContext = SSL_CTX_new(TLS_server_method());
    if (!FContext || SSL_CTX_use_certificate_chain_file(FContext, FixturePath("server.crt").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(FContext, FixturePath("server.key").c_str(), SSL_FILETYPE_PEM) != 1)
      return false;
    SSL_CTX_set_alpn_select_cb(
        FContext,
        [](SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char*, unsigned, void*) {
          static const unsigned char kH2[] = {'h', '2'};
          *out = kH2;
          *outlen = 2;
          return SSL_TLSEXT_ERR_OK;
        },
        nullptr);
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListen < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    int window = 16 * 1024;
    ::setsockopt(FListen, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    socklen_t length = sizeof address;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    return ::listen(FListen, 4) == 0;
  }
  ~TTLSAnswerThenResetPeer() {
    if (FThread.joinable()) FThread.join();
    if (FListen >= 0) ::close(FListen);
    if (FContext) SSL_CTX_free(FContext);
  }
  uint16_t Port() const { return FPort; }
  // aTakeBeforeClose 0: no waiting for the client's writes, and an orderly
  // end (close_notify, then FIN) right after the answer.
  void Serve(const std::string& aAnswer, size_t aTakeBeforeClose) {
    FThread = std::thread([this, aAnswer, aTakeBeforeClose] {
      pollfd listening{FListen, POLLIN, 0};
      if (::poll(&listening, 1, 5000) <= 0) return;
      const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      timeval limit{5, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
      SSL* ssl = SSL_new(FContext);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) == 1) {
        char sink[16384];
        for (size_t taken = 0; taken < aTakeBeforeClose;) {
          const int n = SSL_read(ssl, sink, sizeof sink);
          if (n <= 0) break;
          taken += static_cast<size_t>(n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // Several records, as a server writes its answers one by one.
        for (size_t at = 0; at < aAnswer.size(); at += 4096)
          SSL_write(ssl, aAnswer.data() + at, static_cast<int>(std::min<size_t>(4096, aAnswer.size() - at)));
        if (aTakeBeforeClose == 0) {
          SSL_shutdown(ssl);
          ::shutdown(fd, SHUT_WR);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      if (aTakeBeforeClose > 0) {
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      }
      SSL_free(ssl);
      ::close(fd);
    });
  }

 private:
  SSL_CTX* FContext = nullptr;
  int FListen = -1;
  uint16_t FPort = 0;
  std::thread FThread;
};

}  // namespace

// Over either TLS back end: a peer that answers and then resets while the
// client still writes, or that ends with close_notify right after its
// answer, has its whole answer delivered before the one disconnect; the
// failed send does not throw away the records that wait.
TEST(TCPClientTLS, AnswersBeforeAResetWhileWritingAreDelivered) {
  std::string answer;
  for (int i = 0; answer.size() < 32 * 1024; ++i) answer += "answer-" + std::to_string(i) + "\n";
  answer += "last-words\n";
  for (const TBackEnd& backEnd : kBackEnds) {
    for (int round = 0; round < 4; ++round) {
      // Odd rounds: the peer ends with close_notify right after its answer,
      // so the end is read in the same pass as the last records.
      const bool orderly = round % 2 == 1;
      SCOPED_TRACE(std::string(backEnd.HandlerClass) + (orderly ? " close_notify" : " reset") + " round " +
                   std::to_string(round));
      TTLSAnswerThenResetPeer peer;
      ASSERT_TRUE(peer.Start());
      peer.Serve(answer, orderly ? 0 : 64 * 1024);
      TTLSClient client(backEnd.Kind, TkfxTCPMode::tcpmCommands);
      client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
      client.SetPort(peer.Port());
      ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.EventsCopy());
      const std::string block(64 * 1024, 'w');
      auto disconnects = [&] {
        auto e = client.EventsCopy();
        return std::count(e.begin(), e.end(), "disconnect");
      };
      // Bounded: the client keeps writing until its connection ends.
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (disconnects() == 0 && std::chrono::steady_clock::now() < until) {
        if (!orderly)
          for (int i = client.QueuedCommands(); i < 16; ++i) client.Send(block);
        CheckSynchronize(1);
      }
      ASSERT_EQ(disconnects(), 1) << ::testing::PrintToString(client.EventsCopy());
      const std::string received = client.ReceivedCopy();
      EXPECT_EQ(received.size(), answer.size());
      EXPECT_TRUE(received == answer);
      client.Disconnect(5000);
    }
  }
}
