// The TCP client over each TLS back end against real servers on loopback:
// openssl s_server with ALPN "h2", with and without a required client
// certificate, and nginx with HTTP/2.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "rtl/MainThread.h"
#include "tcp/kfxTCP_Client.h"
#include "tests/tls/tls_test_peers.h"
#include "tcp_echo_peer.h"

namespace {

using tls_test::FixturePath;

bool PumpUntil(const std::function<bool()>& aDone, int aTimeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  while (!aDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    CheckSynchronize(2);
  }
  return true;
}

class TTLSClient : public TkfxTCPCLient_Common {
 public:
  TTLSClient(TwsTLSIOHandler aBackEnd, TkfxTCPMode aMode) : TkfxTCPCLient_Common(nullptr) {
    SetTCPMode(aMode);
    SetHost("127.0.0.1");
    SetTLS(true);
    TLSOptions().SetIOHandler(aBackEnd);
    TLSOptions().ALPNProtocols().Add("h2");
    TLSOptions().SetVersion(TwsTLSVersions::tls1_2);
    // The generation of the system's OpenSSL.
    TLSOptions().OpenSSL_Options().SetAPIVersion(TwsOpenSSLAPI::oslAPI_1_1);
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
// fails and is reported; with the fixture's certificate it succeeds, for the
// OpenSSL back end (PEM files) and the SChannel one (PKCS#12 with password).
TEST(TCPClientTLS, RequiredClientCertificate) {
  tls_test::SServer server(FixturePath("server.crt"), FixturePath("server.key"),
                           {"-alpn", "h2", "-Verify", "1", "-CAfile", FixturePath("ca.crt")});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  for (const TBackEnd& backEnd : kBackEnds) {
    SCOPED_TRACE(backEnd.HandlerClass);
    TTLSClient client(backEnd.Kind, TkfxTCPMode::tcpmCommands);
    client.SetPort(server.Port());
    client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    if (backEnd.Kind == TwsTLSIOHandler::iohOpenSSL) {
      client.TLSOptions().SetCertFile(FixturePath("client.crt"));
      client.TLSOptions().SetKeyFile(FixturePath("client.key"));
    } else {
      client.TLSOptions().SetCertFile(FixturePath("client.p12"));
      client.TLSOptions().SetPassword("secret");
    }
    ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.EventsCopy());
    client.Send("with certificate\n");
    EXPECT_TRUE(PumpUntil([&] { return client.ReceivedCopy() == "etacifitrec htiw\n"; }))
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
