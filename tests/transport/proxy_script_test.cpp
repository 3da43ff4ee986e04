// The proxy negotiations against a scripted proxy on loopback: the exact
// request bytes, and the replies real proxies will not send.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "tcp/kfxSocket_Classes_Id.h"
#include "tests/support/loopback_peer.h"
#include "transport/IdIOHandlerStack.h"
#include "transport/IdTCPClient.h"
#include "transport/kfxIdConnectThroughHttpProxy.h"
#include "transport/kfxIdSocks.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;
using loopback::Peer;

std::string Text(const TIdBytes& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }

// A client whose handler goes through AProxy (owned by AOwner) to host:port.
struct TProxiedClient {
  TComponent Owner{nullptr};
  TIdTCPClient Client{&Owner};

  TProxiedClient(TIdCustomTransparentProxy* AProxy, uint16_t AProxyPort, const std::string& AHost,
                 uint16_t APort) {
    AProxy->SetHost("127.0.0.1");
    AProxy->SetPort(AProxyPort);
    Client.CreateIOHandler();
    Client.Socket()->SetTransparentProxy(AProxy);
    Client.SetHost(AHost);
    Client.SetPort(APort);
  }
  TIdIOHandler& IO() { return *Client.IOHandler(); }
};

TIdConnectThroughHttpProxy* HttpProxy(TComponent* AOwner) {
  auto* proxy = new TIdConnectThroughHttpProxy(AOwner);
  proxy->SetEnabled(true);
  return proxy;
}

TIdSocksInfo* SocksProxy(TComponent* AOwner, TSocksVersion AVersion) {
  auto* proxy = new TIdSocksInfo(AOwner);
  proxy->SetVersion(AVersion);
  return proxy;
}

// --- HTTP CONNECT ---

TEST(HttpConnectScript, RequestLinesAndATunnelThatStartsAtTheRightByte) {
  const struct {
    const char* host;
    const char* request;
  } cases[] = {
      {"h.example", "CONNECT h.example:443 HTTP/1.0\r\n\r\n"},
      {"::1", "CONNECT [::1]:443 HTTP/1.0\r\n\r\n"},
  };
  for (const auto& c : cases) {
    std::string request;
    Peer proxy([&](int& aFD) {
      request = loopback::Receive(aFD, std::string(c.request).size());
      // A 2xx has no body, whatever it claims: these bytes are the target's.
      loopback::SendAll(aFD, "HTTP/1.1 200 Connection established\r\nContent-Length: 5\r\n\r\nHELLO");
      loopback::ReceiveAll(aFD, 3000);
    });
    TComponent owner(nullptr);
    TProxiedClient client(HttpProxy(&owner), proxy.Port(), c.host, 443);
    client.Client.Connect();
    TIdBytes data;
    client.IO().ReadBytes(data, 5, false);
    EXPECT_EQ(Text(data), "HELLO");
    EXPECT_EQ(request, c.request);
    client.Client.Disconnect();
  }
}

TEST(HttpConnectScript, OnlyAProperTwoHundredOpensTheTunnel) {
  const struct {
    std::string reply;
    const char* message;
  } cases[] = {
      {"HTTP/1.1 OK\r\n\r\n", "Invalid response from proxy: \"HTTP/1.1 OK\""},
      {"\r\n\r\n", "Invalid response from proxy: \"\""},
      {"FOO 200 OK\r\n\r\n", "Invalid response from proxy: \"FOO 200 OK\""},
      {"HTTP/1.1 2000 OK\r\n\r\n", "Invalid response from proxy: \"HTTP/1.1 2000 OK\""},
      {"HTTP/1.0 403 Forbidden\r\nContent-Length: 3\r\n\r\nno!", "403 Forbidden"},
      {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", "407 Proxy Authentication Required"},
      {"HTTP/1.1 200 OK\r\n", "Proxy closed the connection."},
      {"HTTP/1.1 200 OK\r\n" + std::string(200, 'X') + "\r\n", "Proxy closed the connection."},
      {"HTTP/1.1 200 OK\r\n" + std::string(9000, 'h') + "\r\n\r\n", "Proxy reply line too long."},
      {[] {
         std::string many = "HTTP/1.1 200 OK\r\n";
         for (int i = 0; i < 101; ++i) many += "X-" + std::to_string(i) + ": 1\r\n";
         return many + "\r\n";
       }(),
       "Too many header lines in the proxy reply."},
  };
  for (const auto& c : cases) {
    Peer proxy([&](int& aFD) {
      loopback::Receive(aFD, 34);
      loopback::SendAll(aFD, c.reply);
    });
    TComponent owner(nullptr);
    TProxiedClient client(HttpProxy(&owner), proxy.Port(), "h.example", 443);
    try {
      client.Client.Connect();
      ADD_FAILURE() << "tunnel opened for " << c.reply.substr(0, 40);
    } catch (const EIdHttpProxyError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_FALSE(client.Client.Connected());
  }
}

TEST(HttpConnectScript, ASilentProxyRunsIntoTheNegotiationDeadline) {
  Peer proxy([](int& aFD) { loopback::ReceiveAll(aFD, 3000); });
  TComponent owner(nullptr);
  auto* http = HttpProxy(&owner);
  http->SetNegotiationTimeout(300);
  TProxiedClient client(http, proxy.Port(), "h.example", 443);
  EXPECT_EQ(client.Client.ReadTimeout(), -1);  // no limit of its own
  const auto start = Clock::now();
  try {
    client.Client.Connect();
    FAIL();
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), "Read timed out.");
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_GE(elapsed.count(), 290);
  EXPECT_LT(elapsed.count(), 3000);
}

TEST(HttpConnectScript, A407ThatClosesIsRetriedOnANewConnectionWithCredentials) {
  std::vector<std::string> requests;
  Peer proxy(
      [&](int& aFD) {
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
          const std::string more = loopback::Receive(aFD, 1, 2000);
          if (more.empty()) break;
          request += more;
        }
        requests.push_back(request);
        if (requests.size() == 1) {
          loopback::SendAll(aFD, "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                 "Proxy-Connection: close\r\nContent-Length: 4\r\n\r\nnope");
        } else {
          loopback::SendAll(aFD, "HTTP/1.1 200 OK\r\n\r\nTUNNEL");
          loopback::ReceiveAll(aFD, 3000);
        }
      },
      false, 2);
  TComponent owner(nullptr);
  auto* http = HttpProxy(&owner);
  http->SetUsername("alice");
  http->SetPassword("s3cret");
  TProxiedClient client(http, proxy.Port(), "h.example", 8443);
  client.Client.Connect();
  TIdBytes data;
  client.IO().ReadBytes(data, 6, false);
  EXPECT_EQ(Text(data), "TUNNEL");
  client.Client.Disconnect();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], "CONNECT h.example:8443 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(requests[1],
            "CONNECT h.example:8443 HTTP/1.0\r\nProxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n\r\n");
}

// --- SOCKS ---

TEST(SocksScript, Socks4ARequestIsSentEvenWithWriteBufferingOpen) {
  std::string request;
  Peer proxy([&](int& aFD) {
    request = loopback::Receive(aFD, 19);
    loopback::SendAll(aFD, "\x00\x5A\x00\x00\x00\x00\x00\x00T"s);
    loopback::ReceiveAll(aFD, 3000);
  });
  TComponent owner(nullptr);
  TProxiedClient client(SocksProxy(&owner, TSocksVersion::svSocks4A), proxy.Port(), "h.example", 80);
  client.IO().WriteBufferOpen();
  client.Client.Connect();
  EXPECT_EQ(request, "\x04\x01\x00\x50\x00\x00\x00\x01\x00h.example\x00"s);
  TIdBytes data;
  client.IO().ReadBytes(data, 1, false);
  EXPECT_EQ(Text(data), "T");
  client.Client.Disconnect();
}

TEST(SocksScript, Socks4RefusalsRaiseTheirErrors) {
  const struct {
    std::string reply;  // empty: the proxy closes without a reply
    const char* className;
    const char* message;
  } cases[] = {
      {"\x00\x5B\0\0\0\0\0\0"s, "EIdSocksRequestFailed", "Request rejected or failed."},
      {"\x00\x5C\0\0\0\0\0\0"s, "EIdSocksRequestServerFailed",
       "Request rejected because SOCKS server cannot connect."},
      {"\x00\x5D\0\0\0\0\0\0"s, "EIdSocksRequestIdentFailed",
       "Request rejected because the client program and identd report different user-ids."},
      {"\x00\x01\0\0\0\0\0\0"s, "EIdSocksUnknownError", "Unknown socks error."},
      {"", "EIdSocksRequestFailed", "Request rejected or failed."},
  };
  for (const auto& c : cases) {
    Peer proxy([&](int& aFD) {
      loopback::Receive(aFD, 9);
      loopback::SendAll(aFD, c.reply);
    });
    TComponent owner(nullptr);
    auto* socks = SocksProxy(&owner, TSocksVersion::svSocks4);
    socks->SetUsername("");
    TProxiedClient client(socks, proxy.Port(), "127.0.0.1", 80);
    try {
      client.Client.Connect();
      ADD_FAILURE() << c.message;
    } catch (const EIdSocksError& e) {
      EXPECT_EQ(e.ClassName(), c.className);
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST(SocksScript, Socks5RequestsAndReplyLengths) {
  const struct {
    const char* host;
    std::string request;  // after the method exchange
    std::string reply;    // the connect reply, then one tunnel byte "T"
  } cases[] = {
      {"10.0.0.1", "\x05\x01\x00\x01\x0A\x00\x00\x01\x01\xBB"s,
       "\x05\x00\x00\x01\x7F\x00\x00\x01\x04\x38T"s},
      {"::1", "\x05\x01\x00\x04"s + std::string(15, '\0') + "\x01\x01\xBB"s,
       "\x05\x00\x00\x04"s + std::string(15, '\0') + "\x01\x04\x38T"s},
      {"localhost", "\x05\x01\x00\x03\x09localhost\x01\xBB"s,
       "\x05\x00\x00\x03\x0Bproxy.local\x04\x38T"s},
  };
  for (const auto& c : cases) {
    std::string methods, request;
    Peer proxy([&](int& aFD) {
      methods = loopback::Receive(aFD, 3);
      loopback::SendAll(aFD, "\x05\x00"s);
      request = loopback::Receive(aFD, c.request.size());
      loopback::SendAll(aFD, c.reply);
      loopback::ReceiveAll(aFD, 3000);
    });
    TComponent owner(nullptr);
    TProxiedClient client(SocksProxy(&owner, TSocksVersion::svSocks5), proxy.Port(), c.host, 443);
    client.Client.Connect();
    EXPECT_EQ(methods, "\x05\x01\x00"s);
    EXPECT_EQ(request, c.request) << c.host;
    TIdBytes data;
    client.IO().ReadBytes(data, 1, false);
    EXPECT_EQ(Text(data), "T") << c.host;
    client.Client.Disconnect();
  }
}

TEST(SocksScript, Socks5Failures) {
  const struct {
    TSocksAuthentication auth;
    std::string script;  // what the proxy answers, in one go after the first request
    const char* className;
    const char* message;
  } cases[] = {
      {TSocksAuthentication::saUsernamePassword, "\x05\x00"s, "EIdSocksAuthMethodError",
       "Invalid socks authentication method."},
      {TSocksAuthentication::saNoAuthentication, "\x05\xFF"s, "EIdSocksAuthMethodError",
       "Invalid socks authentication method."},
      {TSocksAuthentication::saUsernamePassword, "\x05\x02\x01\x01"s, "EIdSocksAuthError",
       "Authentication error to socks server."},
      {TSocksAuthentication::saNoAuthentication, ""s, "EIdSocksServerRespondError",
       "Socks server did not respond."},
      {TSocksAuthentication::saNoAuthentication, "\x05\x00\x05\x02\x00\x01\x00"s,
       "EIdSocksServerPermissionError", "Connection not allowed by ruleset."},
      {TSocksAuthentication::saNoAuthentication, "\x05\x00\x05\x00\x00\x07\x00\x00\x00\x00\x00"s,
       "EIdSocksUnknownError", "Unknown socks error."},  // unknown address type
      {TSocksAuthentication::saNoAuthentication, "\x05\x00\x05\x00\x00\x01\x00"s,
       "EIdSocksServerRespondError", "Socks server did not respond."},  // cut short
  };
  for (const auto& c : cases) {
    Peer proxy([&](int& aFD) {
      loopback::Receive(aFD, 3);
      loopback::SendAll(aFD, c.script);
      std::this_thread::sleep_for(50ms);
    });
    TComponent owner(nullptr);
    auto* socks = SocksProxy(&owner, TSocksVersion::svSocks5);
    socks->SetAuthentication(c.auth);
    socks->SetUsername("alice");
    socks->SetPassword("s3cret");
    TProxiedClient client(socks, proxy.Port(), "127.0.0.1", 443);
    try {
      client.Client.Connect();
      ADD_FAILURE() << c.message;
    } catch (const EIdSocksError& e) {
      EXPECT_EQ(e.ClassName(), c.className) << c.message;
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

// --- the log never sees the negotiation ---

TEST(ProxyScript, CredentialsStayOutOfTheLog) {
  const std::string path = ::testing::TempDir() + "/proxy-log-" + std::to_string(::getpid());
  ::unlink(path.c_str());
  Peer proxy(
      [](int& aFD) {
        const std::string first = loopback::Receive(aFD, 3);
        if (first[0] == 5) {  // SOCKS 5 with user name and password
          loopback::SendAll(aFD, "\x05\x02"s);
          loopback::Receive(aFD, 3 + 5 + 6);
          loopback::SendAll(aFD, "\x01\x00"s);
          loopback::Receive(aFD, 10);
          loopback::SendAll(aFD, "\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00"s);
        } else {  // HTTP with credentials after a 407
          std::string request = first;
          while (request.find("\r\n\r\n") == std::string::npos) request += loopback::Receive(aFD, 1);
          // A body on a kept-alive connection: read, then CONNECT again on it.
          loopback::SendAll(aFD, "HTTP/1.1 407 Auth\r\nContent-Length: 6\r\n\r\ndenied");
          request.clear();
          while (request.find("\r\n\r\n") == std::string::npos) request += loopback::Receive(aFD, 1);
          loopback::SendAll(aFD, "HTTP/1.1 200 OK\r\n\r\n");
        }
        loopback::SendAll(aFD, loopback::Receive(aFD, 4));
      },
      false, 2);
  TkfxIdLogFileClient log;
  log.SetLogTime(false);
  log.SetFilename(path);
  log.SetActive(true);
  TComponent owner(nullptr);
  auto* socks = SocksProxy(&owner, TSocksVersion::svSocks5);
  socks->SetAuthentication(TSocksAuthentication::saUsernamePassword);
  auto* http = HttpProxy(&owner);
  for (TIdCustomTransparentProxy* proxyObject : std::vector<TIdCustomTransparentProxy*>{socks, http}) {
    proxyObject->SetUsername("alice");
    proxyObject->SetPassword("s3cret");
    TProxiedClient client(proxyObject, proxy.Port(), "127.0.0.1", 443);
    client.Client.SetIntercept(&log);
    client.Client.Connect();
    client.IO().Write("ping");
    TIdBytes data;
    client.IO().ReadBytes(data, 4, false);
    client.Client.Disconnect();
    client.Client.SetIntercept(nullptr);
  }
  log.SetActive(false);
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string once = "Stat Connected.\r\nSent : ping\r\nRecv : ping\r\nStat Disconnected.\r\n";
  EXPECT_EQ(text.str(), once + once);
  ::unlink(path.c_str());
}

}  // namespace
