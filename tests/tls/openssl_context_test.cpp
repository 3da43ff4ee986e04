// Contexts and TLS connections against openssl s_server on loopback:
// protocol versions, SNI, ALPN, server verification and its refusals, client
// certificates from PEM and PKCS#12 files, and the callbacks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peers.h"
#include "tls/kfxIdSSLOpenSSL.h"
#include "tls/kfxIdSSLOpenSSLHeaders_Entries.h"

namespace {

using tls_test::FixturePath;
using tls_test::SServer;
using tls_test::TLSFixturePath;

// Stands for the I/O handler: records what the callbacks report.
class TTestParent : public IIdSSLOpenSSLCallbacks {
 public:
  void StatusInfo(const std::string& AMsg) override { Status.push_back(AMsg); }
  void StatusInfoEx(const ssl_st*, int, int, const std::string& AType, const std::string&) override {
    if (!AType.empty()) Types.push_back(AType);
  }
  std::string GetPassword(bool) override {
    ++PasswordCalls;
    return Password;
  }
  bool VerifyPeer(TIdX509* Certificate, bool AOk, int ADepth, int AError) override {
    Depths.push_back(ADepth);
    Subjects.push_back(Certificate->Subject().OneLine());
    return OnVerify ? OnVerify(AOk, AError) : AOk;
  }
  TIdSSLSocket* ParentSSLSocket() override { return nullptr; }

  std::vector<std::string> Status, Types, Subjects;
  std::vector<int> Depths;
  std::string Password;
  int PasswordCalls = 0;
  std::function<bool(bool, int)> OnVerify;
};

class OpenSSLContext : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(StartOpenSSL()) << WhichFailedToLoad(); }

  // A client context for the test CA, offering h2.
  std::unique_ptr<TIdSSLContext> ClientContext(TIdSSLVersion aMethod, bool aVerify = true) {
    auto context = std::make_unique<TIdSSLContext>();
    context->Parent = &FParent;
    context->Method = aMethod;
    context->SSLVersions = {aMethod};
    context->Mode = TIdSSLMode::sslmClient;
    if (aVerify) {
      context->RootCertFile = FixturePath("ca.crt");
      context->VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
    }
    context->ALPNProtocols().Add("h2");
    return context;
  }

  // Connects a TLS socket over a fresh TCP connection; the descriptor is
  // closed when the test ends.
  std::unique_ptr<TIdSSLSocket> Connect(TIdSSLContext& aContext, uint16_t aPort,
                                        const std::string& aHostName,
                                        const std::string& aAddress = "127.0.0.1") {
    const int fd = tls_test::ConnectTcp(aAddress, aPort);
    EXPECT_GE(fd, 0);
    FDescriptors.push_back(fd);
    auto socket = std::make_unique<TIdSSLSocket>(&FParent);
    socket->fSSLContext = &aContext;
    socket->HostName = aHostName;
    socket->Connect(fd);
    return socket;
  }

  void TearDown() override {
    for (int fd : FDescriptors) close(fd);
  }

  // Sends a line and reads the reversed answer (s_server -rev).
  static std::string RoundTrip(TIdSSLSocket& aSocket, const std::string& aLine) {
    const std::string out = aLine + "\n";
    EXPECT_EQ(aSocket.Send(reinterpret_cast<const uint8_t*>(out.data()), static_cast<int>(out.size())),
              static_cast<int>(out.size()));
    std::string in;
    uint8_t buffer[256];
    for (int i = 0; i < 20 && in.find('\n') == std::string::npos; ++i) {
      const int n = aSocket.Recv(buffer, sizeof buffer);
      if (n <= 0) break;
      in.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
    }
    return in;
  }

  TTestParent FParent;
  std::vector<int> FDescriptors;
};

TEST(OpenSSLOptions, MethodAndVersionsFollowEachOther) {
  using V = TIdSSLVersion;
  TIdSSLOptions options;
  EXPECT_EQ(options.Method(), V::sslvTLSv1);
  EXPECT_TRUE(options.SSLVersions() == TIdSSLVersions{V::sslvTLSv1});
  options.SetMethod(V::sslvTLSv1_2);
  EXPECT_TRUE(options.SSLVersions() == TIdSSLVersions{V::sslvTLSv1_2});

  const TIdSSLVersions allButSSLv23{V::sslvSSLv2, V::sslvSSLv3, V::sslvTLSv1, V::sslvTLSv1_1,
                                    V::sslvTLSv1_2, V::sslvTLSv1_3};
  struct Case {
    TIdSSLVersions set;
    V method;
    TIdSSLVersions result;
  };
  const Case cases[] = {
      {{V::sslvTLSv1_3}, V::sslvTLSv1_3, {V::sslvTLSv1_3}},
      {{V::sslvTLSv1_2, V::sslvTLSv1_3}, V::sslvSSLv23, {V::sslvTLSv1_2, V::sslvTLSv1_3}},
      {{V::sslvSSLv23}, V::sslvSSLv23, allButSSLv23},
      {{V::sslvSSLv23, V::sslvTLSv1_2}, V::sslvSSLv23, {V::sslvTLSv1_2}},
  };
  for (const Case& c : cases) {
    options.SetSSLVersions(c.set);
    EXPECT_EQ(options.Method(), c.method);
    EXPECT_TRUE(options.SSLVersions() == c.result);
  }
  options.SetMethod(V::sslvSSLv23);
  EXPECT_TRUE(options.SSLVersions() == allButSSLv23);

  options.SetMethod(V::sslvTLSv1_2);
  options.VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
  options.VerifyDepth = 4;
  options.CertFile = "c.pem";
  TIdSSLOptions copy;
  copy.Assign(&options);
  EXPECT_EQ(copy.Method(), V::sslvTLSv1_2);
  EXPECT_TRUE(copy.SSLVersions() == TIdSSLVersions{V::sslvTLSv1_2});
  EXPECT_TRUE(copy.VerifyMode == options.VerifyMode);
  EXPECT_EQ(copy.VerifyDepth, 4);
  EXPECT_EQ(copy.CertFile, "c.pem");
  std::string stored;
  ASSERT_TRUE(copy.GetPublishedValue("SSLVersions", stored));
  EXPECT_EQ(stored, "[sslvTLSv1_2]");
  ASSERT_TRUE(copy.SetPublishedValue("SSLVersions", "[sslvTLSv1_2,sslvTLSv1_3]"));
  EXPECT_EQ(copy.Method(), V::sslvSSLv23);
}

// Version options and limits the context gets at the 1.1 level.
TEST_F(OpenSSLContext, ProtocolLimitsByVersionSet) {
  using V = TIdSSLVersion;
  constexpr int kGetMin = 130, kGetMax = 131;
  struct Case {
    TIdSSLVersion method;
    TIdSSLVersions versions;
    long min;
    uint32_t noBits;
  };
  const Case cases[] = {
      {V::sslvTLSv1_2, {V::sslvTLSv1_2}, 0x0303,
       IdOpenSSL::SSL_OP_NO_TLSv1 | IdOpenSSL::SSL_OP_NO_TLSv1_1 | IdOpenSSL::SSL_OP_NO_TLSv1_3},
      {V::sslvTLSv1_3, {V::sslvTLSv1_3}, 0x0303,
       IdOpenSSL::SSL_OP_NO_TLSv1 | IdOpenSSL::SSL_OP_NO_TLSv1_1 | IdOpenSSL::SSL_OP_NO_TLSv1_2},
      {V::sslvSSLv23, {V::sslvTLSv1_1, V::sslvTLSv1_2}, 0x0302,
       IdOpenSSL::SSL_OP_NO_TLSv1 | IdOpenSSL::SSL_OP_NO_TLSv1_3},
  };
  for (const Case& c : cases) {
    TIdSSLContext context;
    context.Method = c.method;
    context.SSLVersions = c.versions;
    context.InitContext(TIdSSLCtxMode::sslCtxClient);
    EXPECT_EQ(context.Mode, TIdSSLMode::sslmClient);
    // Fixed-version methods ignore the limits; the generic method keeps them.
    if (c.method == V::sslvTLSv1_3) {
      EXPECT_EQ(IdOpenSSL::SSL_CTX_ctrl(context.Context(), kGetMin, 0, nullptr), c.min);
      EXPECT_EQ(IdOpenSSL::SSL_CTX_ctrl(context.Context(), kGetMax, 0, nullptr), 0x0304);
    }
    const auto options = static_cast<uint32_t>(IdOpenSSL::SSL_CTX_set_options(context.Context(), 0));
    const uint32_t all = IdOpenSSL::SSL_OP_NO_TLSv1 | IdOpenSSL::SSL_OP_NO_TLSv1_1 |
                         IdOpenSSL::SSL_OP_NO_TLSv1_2 | IdOpenSSL::SSL_OP_NO_TLSv1_3;
    EXPECT_EQ(options & all, c.noBits);
  }
}

TEST_F(OpenSSLContext, SetUpFailuresRaiseTheirErrors) {
  struct Case {
    const char* name;
    std::function<void(TIdSSLContext&)> set;
    std::string className, message;
  };
  const Case cases[] = {
      {"root file missing", [](TIdSSLContext& c) { c.RootCertFile = "/nonexistent/ca.crt"; },
       "EIdOSSLLoadingRootCertError", "Could not load root certificate.\r\n"},
      {"certificate missing", [](TIdSSLContext& c) { c.CertFile = "/nonexistent/c.crt"; },
       "EIdOSSLLoadingCertError", "Could not load certificate.\r\n"},
      {"PKCS#12 with the wrong password",
       [this](TIdSSLContext& c) {
         c.CertFile = FixturePath("client.p12");
         FParent.Password = "wrong";
       },
       "EIdOSSLLoadingCertError", "Could not load certificate.\r\n"},
      {"encrypted key with the wrong password",
       [this](TIdSSLContext& c) {
         c.CertFile = FixturePath("client.crt");
         c.KeyFile = TLSFixturePath("client-enc.key");
         FParent.Password = "wrong";
       },
       "EIdOSSLLoadingKeyError", "Could not load key, check password.\r\n"},
      {"cipher list", [](TIdSSLContext& c) { c.CipherList = "NO-SUCH-CIPHER"; },
       "EIdOSSLSettingCipherError", "SetCipher failed."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIdSSLContext context;
    context.Parent = &FParent;
    context.Method = TIdSSLVersion::sslvTLSv1_2;
    c.set(context);
    try {
      context.InitContext(TIdSSLCtxMode::sslCtxClient);
      ADD_FAILURE() << "no exception";
    } catch (const EIdOpenSSLError& e) {
      EXPECT_EQ(e.ClassName(), c.className);
      EXPECT_EQ(e.Message().substr(0, c.message.size()), c.message);
    }
  }
}

TEST_F(OpenSSLContext, HandshakeVersionsWithSNIAndALPN) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"), {"-alpn", "h2", "-tlsextdebug"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  struct Case {
    TIdSSLVersion method;
    const char* version;
  };
  for (const Case& c : {Case{TIdSSLVersion::sslvTLSv1_2, "TLSv1.2"},
                        Case{TIdSSLVersion::sslvTLSv1_3, "TLSv1.3"}}) {
    SCOPED_TRACE(c.version);
    auto context = ClientContext(c.method);
    context->StatusInfoOn = true;
    context->InitContext(TIdSSLCtxMode::sslCtxClient);
    FParent.Status.clear();
    FParent.Types.clear();
    auto socket = Connect(*context, server.Port(), "localhost");
    EXPECT_EQ(socket->GetSSLVersion(), c.version);
    EXPECT_EQ(socket->GetALPNProtocol(), "h2");
    EXPECT_EQ(RoundTrip(*socket, "hello"), "olleh\n");
    ASSERT_NE(socket->PeerCert(), nullptr);
    EXPECT_EQ(socket->PeerCert()->Subject().OneLine(), "/CN=localhost");
    EXPECT_EQ(socket->PeerCert()->Issuer().OneLine(), "/CN=Test CA");
    EXPECT_EQ(socket->PeerCert()->Fingerprints().SHA256().size(), 32u);
    EXPECT_GT(socket->PeerCert()->notAfter(), socket->PeerCert()->notBefore());
    // Status texts: the handshake steps and the cipher summary.
    ASSERT_FALSE(FParent.Status.empty());
    EXPECT_EQ(FParent.Status.front().rfind("SSL status: \"", 0), 0u);
    const std::string cipherText = "Cipher: name = " + socket->Cipher().Name() + "; description = ";
    EXPECT_NE(std::find_if(FParent.Status.begin(), FParent.Status.end(),
                           [&](const std::string& s) { return s.rfind(cipherText, 0) == 0; }),
              FParent.Status.end());
    EXPECT_NE(std::find(FParent.Types.begin(), FParent.Types.end(), "Handshake Start"), FParent.Types.end());
    EXPECT_NE(std::find(FParent.Types.begin(), FParent.Types.end(), "Handshake Done"), FParent.Types.end());
    EXPECT_EQ(RoundTrip(*socket, "CLOSE").find("olleh"), std::string::npos);
  }
  // SNI carried "localhost" (the hex dump of the extension shows it).
  EXPECT_NE(server.Output().find("server name"), std::string::npos);
  EXPECT_NE(server.Output().find("localhost"), std::string::npos);
}

// Refusals of a careful client: each is the connect error with the library's
// reason, raised during SSL_connect.
TEST_F(OpenSSLContext, UntrustedWrongNameAndExpiredServersAreRefused) {
  struct Case {
    const char* name;
    std::string cert, key;
    std::string bind, hostName;
  };
  const Case cases[] = {
      {"untrusted CA", TLSFixturePath("untrusted-server.crt"), TLSFixturePath("untrusted-server.key"),
       "127.0.0.1", "localhost"},
      {"certificate for another name", TLSFixturePath("other-name.crt"),
       TLSFixturePath("other-name.key"), "127.0.0.1", "localhost"},
      {"address not in the certificate", FixturePath("server.crt"), FixturePath("server.key"),
       "127.0.0.2", "127.0.0.2"},
      {"expired", TLSFixturePath("expired.crt"), TLSFixturePath("expired.key"), "127.0.0.1",
       "localhost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SServer server(c.cert, c.key, {}, c.bind);
    ASSERT_TRUE(server.Ready()) << server.Errors();
    auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
    context->InitContext(TIdSSLCtxMode::sslCtxClient);
    try {
      Connect(*context, server.Port(), c.hostName, c.bind);
      ADD_FAILURE() << "connected";
    } catch (const EIdOSSLUnderlyingCryptoError& e) {
      EXPECT_EQ(e.Message(),
                "Error connecting with SSL.\r\nerror:0A000086:SSL routines::certificate verify failed");
    }
  }
}

// A chain through an intermediate passes with the default depth, with and
// without a verify handler that keeps the library's verdict.
TEST_F(OpenSSLContext, ChainWithIntermediateIsAccepted) {
  SServer server(TLSFixturePath("chain-server.crt"), TLSFixturePath("chain-server.key"),
                 {"-cert_chain", TLSFixturePath("intermediate.crt")});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  for (bool withHandler : {false, true}) {
    SCOPED_TRACE(withHandler ? "verify handler" : "library only");
    FParent.Depths.clear();
    auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
    context->VerifyOn = withHandler;
    context->InitContext(TIdSSLCtxMode::sslCtxClient);
    auto socket = Connect(*context, server.Port(), "localhost");
    EXPECT_EQ(RoundTrip(*socket, "chain"), "niahc\n");
    if (withHandler) {
      EXPECT_EQ(FParent.Depths.back(), 0);
      EXPECT_EQ(*std::max_element(FParent.Depths.begin(), FParent.Depths.end()), 2);
    }
  }
  // A handler may still refuse what the library accepts.
  FParent.OnVerify = [](bool, int) { return false; };
  auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
  context->VerifyOn = true;
  context->InitContext(TIdSSLCtxMode::sslCtxClient);
  EXPECT_THROW(Connect(*context, server.Port(), "localhost"), EIdOSSLUnderlyingCryptoError);
}

TEST_F(OpenSSLContext, ClientCertificatesFromPEMAndPKCS12) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"),
                 {"-Verify", "1", "-CAfile", FixturePath("ca.crt"), "-verify_return_error"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  tls_test::TempDir dir;
  const std::string upperPFX = dir.File("client.PFX");
  std::filesystem::copy_file(FixturePath("client.p12"), upperPFX);
  struct Case {
    const char* name;
    std::string cert, key, password;
  };
  const Case cases[] = {
      {"PEM", FixturePath("client.crt"), FixturePath("client.key"), ""},
      {"encrypted PEM key", FixturePath("client.crt"), TLSFixturePath("client-enc.key"), "keypass"},
      {"PKCS#12 with password", FixturePath("client.p12"), FixturePath("client.p12"), "secret"},
      {"PKCS#12 without password", FixturePath("client-nopass.p12"), FixturePath("client-nopass.p12"), ""},
      {"upper-case .PFX", upperPFX, upperPFX, "secret"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
    context->CertFile = c.cert;
    context->KeyFile = c.key;
    FParent.Password = c.password;
    context->InitContext(TIdSSLCtxMode::sslCtxClient);
    auto socket = Connect(*context, server.Port(), "localhost");
    EXPECT_EQ(RoundTrip(*socket, "client"), "tneilc\n");
  }
  EXPECT_GT(FParent.PasswordCalls, 0);
  // Without a certificate the server refuses (during the handshake under TLS 1.2).
  auto context = ClientContext(TIdSSLVersion::sslvTLSv1_2);
  context->InitContext(TIdSSLCtxMode::sslCtxClient);
  EXPECT_THROW(Connect(*context, server.Port(), "localhost"), EIdOSSLUnderlyingCryptoError);
}

TEST_F(OpenSSLContext, ALPNOfferAndRefusal) {
  {
    // Empty entries are left out of the offer (the library refuses a list
    // with an empty entry); an offer of empty entries only is none at all.
    SServer server(FixturePath("server.crt"), FixturePath("server.key"), {"-alpn", "h2"});
    ASSERT_TRUE(server.Ready()) << server.Errors();
    auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
    context->ALPNProtocols().Add("");
    context->InitContext(TIdSSLCtxMode::sslCtxClient);
    EXPECT_EQ(Connect(*context, server.Port(), "localhost")->GetALPNProtocol(), "h2");
    auto empty = ClientContext(TIdSSLVersion::sslvTLSv1_3);
    empty->ALPNProtocols().Clear();
    empty->ALPNProtocols().Add("");
    empty->InitContext(TIdSSLCtxMode::sslCtxClient);
    EXPECT_EQ(Connect(*empty, server.Port(), "localhost")->GetALPNProtocol(), "");
  }
  // A server that speaks http/1.1 only: no "h2" is agreed.
  SServer server(FixturePath("server.crt"), FixturePath("server.key"), {"-alpn", "http/1.1"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
  context->InitContext(TIdSSLCtxMode::sslCtxClient);
  try {
    const std::string agreed = Connect(*context, server.Port(), "localhost")->GetALPNProtocol();
    EXPECT_EQ(agreed, "");
  } catch (const EIdOSSLUnderlyingCryptoError& e) {
    EXPECT_NE(e.Message().find("no application protocol"), std::string::npos) << e.Message();
  }
}

// Contexts with the same configuration share one set-up (the trust anchors
// and credentials are loaded once per process); any change to what shapes
// the context, including the contents of the files it names, makes a new one.
TEST_F(OpenSSLContext, SameConfigurationSharesOneSetUp) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"), {"-alpn", "h2"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  tls_test::TempDir dir;
  const std::string caFile = dir.File("ca.crt");
  std::filesystem::copy_file(FixturePath("ca.crt"), caFile);
  ClearOpenSSLContextCache();

  auto make = [&](const std::string& aCAFile) {
    auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
    context->RootCertFile = aCAFile;
    context->InitContext(TIdSSLCtxMode::sslCtxClient);
    return context;
  };
  const uint64_t before = OpenSSLContextSetups();
  auto first = make(caFile);
  auto second = make(caFile);
  EXPECT_EQ(OpenSSLContextSetups(), before + 1);
  EXPECT_EQ(first->Context(), second->Context());
  // Both connect and verify; the first context's end leaves the second working.
  EXPECT_EQ(RoundTrip(*Connect(*first, server.Port(), "localhost"), "one"), "eno\n");
  first.reset();
  auto socket = Connect(*second, server.Port(), "localhost");
  EXPECT_EQ(socket->GetALPNProtocol(), "h2");
  EXPECT_EQ(RoundTrip(*socket, "two"), "owt\n");
  socket.reset();  // the server takes one connection at a time

  struct Case {
    const char* name;
    std::function<void(TIdSSLContext&)> change;
  };
  const Case cases[] = {
      {"another CA file", [&](TIdSSLContext& c) { c.RootCertFile = FixturePath("ca.crt"); }},
      {"another version", [](TIdSSLContext& c) {
         c.Method = TIdSSLVersion::sslvTLSv1_2;
         c.SSLVersions = {TIdSSLVersion::sslvTLSv1_2};
       }},
      {"no peer verification", [](TIdSSLContext& c) { c.VerifyMode = {}; }},
      {"verify callback", [](TIdSSLContext& c) { c.VerifyOn = true; }},
      {"another ALPN offer", [](TIdSSLContext& c) { c.ALPNProtocols().Add("http/1.1"); }},
      {"a client certificate", [](TIdSSLContext& c) {
         c.CertFile = FixturePath("client.crt");
         c.KeyFile = FixturePath("client.key");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
    context->RootCertFile = caFile;
    c.change(*context);
    const uint64_t setups = OpenSSLContextSetups();
    context->InitContext(TIdSSLCtxMode::sslCtxClient);
    EXPECT_EQ(OpenSSLContextSetups(), setups + 1);
    EXPECT_NE(context->Context(), second->Context());
  }

  // The CA file now holds another CA: the shared context is not used, and
  // the server's certificate is refused as the new contents say.
  apns_test::WriteFile(caFile, apns_test::ReadFile(FixturePath("other-ca.crt")));
  const uint64_t setups = OpenSSLContextSetups();
  auto changed = make(caFile);
  EXPECT_EQ(OpenSSLContextSetups(), setups + 1);
  EXPECT_THROW(Connect(*changed, server.Port(), "localhost"), EIdOSSLUnderlyingCryptoError);
  // And back: a new set-up again, which verifies.
  apns_test::WriteFile(caFile, apns_test::ReadFile(FixturePath("ca.crt")));
  auto restored = make(caFile);
  EXPECT_EQ(OpenSSLContextSetups(), setups + 2);
  EXPECT_EQ(RoundTrip(*Connect(*restored, server.Port(), "localhost"), "three"), "eerht\n");
}

// A PKCS#12 file named as both certificate and key is decrypted once per
// set-up (its password is asked once), and the pair it holds is used.
TEST_F(OpenSSLContext, PKCS12CertificateAndKeyFileIsReadOnce) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"),
                 {"-Verify", "1", "-CAfile", FixturePath("ca.crt"), "-verify_return_error"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  ClearOpenSSLContextCache();
  auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
  context->CertFile = FixturePath("client.p12");
  context->KeyFile = FixturePath("client.p12");
  FParent.Password = "secret";
  FParent.PasswordCalls = 0;
  context->InitContext(TIdSSLCtxMode::sslCtxClient);
  EXPECT_EQ(FParent.PasswordCalls, 1);
  EXPECT_EQ(RoundTrip(*Connect(*context, server.Port(), "localhost"), "once"), "ecno\n");
  ClearOpenSSLContextCache();
}

// A PKCS#12 file that a program checked before it connects is not decrypted
// again for its context, also under another name; a wrong password is never
// kept, and the key kept serves the handshake.
TEST_F(OpenSSLContext, APKCS12FileCheckedBeforeTheSetUpIsDecryptedOnce) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"),
                 {"-Verify", "1", "-CAfile", FixturePath("ca.crt"), "-verify_return_error"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  ClearOpenSSLContextCache();
  tls_test::TempDir dir;
  const std::string copy = dir.File("renamed.p12");
  std::filesystem::copy_file(FixturePath("client.p12"), copy);
  uint64_t decrypted = OpenSSLPKCS12Decryptions();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ReadPKCS12FileContent(FixturePath("client.p12"), "wrong"), TPKCS12FileContent::p12WrongPassword);
    EXPECT_EQ(OpenSSLPKCS12Decryptions(), ++decrypted);
  }
  EXPECT_EQ(ReadPKCS12FileContent(FixturePath("client.p12"), "secret"), TPKCS12FileContent::p12KeyPair);
  EXPECT_EQ(OpenSSLPKCS12Decryptions(), ++decrypted);
  auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
  context->CertFile = copy;
  context->KeyFile = copy;
  FParent.Password = "secret";
  context->InitContext(TIdSSLCtxMode::sslCtxClient);
  EXPECT_EQ(OpenSSLPKCS12Decryptions(), decrypted);
  EXPECT_EQ(RoundTrip(*Connect(*context, server.Port(), "localhost"), "kept"), "tpek\n");
  EXPECT_EQ(ReadPKCS12FileContent(FixturePath("client-nopass.p12"), ""), TPKCS12FileContent::p12KeyPair);
  EXPECT_EQ(OpenSSLPKCS12Decryptions(), ++decrypted);
  ClearOpenSSLContextCache();  // forgets the files read as well
  EXPECT_EQ(ReadPKCS12FileContent(copy, "secret"), TPKCS12FileContent::p12KeyPair);
  EXPECT_EQ(OpenSSLPKCS12Decryptions(), ++decrypted);
  ClearOpenSSLContextCache();
}

// A shared context made with a password is used only with the same password:
// the wrong one fails as it did without sharing.
TEST_F(OpenSSLContext, SharedContextWithAPasswordNeedsTheSamePassword) {
  SServer server(FixturePath("server.crt"), FixturePath("server.key"),
                 {"-Verify", "1", "-CAfile", FixturePath("ca.crt"), "-verify_return_error"});
  ASSERT_TRUE(server.Ready()) << server.Errors();
  ClearOpenSSLContextCache();
  auto make = [&](const std::string& aPassword) {
    auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
    context->CertFile = FixturePath("client.p12");
    context->KeyFile = FixturePath("client.p12");
    FParent.Password = aPassword;
    context->InitContext(TIdSSLCtxMode::sslCtxClient);
    return context;
  };
  const uint64_t before = OpenSSLContextSetups();
  auto first = make("secret");
  EXPECT_EQ(OpenSSLContextSetups(), before + 1);
  try {
    make("wrong");
    ADD_FAILURE() << "no exception";
  } catch (const EIdOpenSSLError& e) {
    EXPECT_EQ(e.ClassName(), "EIdOSSLLoadingCertError");
    EXPECT_EQ(e.Message().substr(0, 29), "Could not load certificate.\r\n");
  }
  FParent.PasswordCalls = 0;
  auto second = make("secret");
  EXPECT_EQ(OpenSSLContextSetups(), before + 1);
  EXPECT_EQ(second->Context(), first->Context());
  EXPECT_GT(FParent.PasswordCalls, 0);  // the password is still asked for
  EXPECT_EQ(RoundTrip(*Connect(*second, server.Port(), "localhost"), "client"), "tneilc\n");
}

}  // namespace

namespace {

// The default trust anchors' file is read only when a chain needs a name
// that the context's own CA file does not have; what is trusted stays the
// same. The default file is a test bundle here (SSL_CERT_FILE, with an empty
// SSL_CERT_DIR) except in the first case, which keeps the system's.
TEST_F(OpenSSLContext, DefaultAnchorsFileIsReadOnlyWhenAChainNeedsIt) {
  const std::string refused =
      "Error connecting with SSL.\r\nerror:0A000086:SSL routines::certificate verify failed";
  struct Case {
    const char* name;
    std::string cert, key;
    std::vector<std::string> serverArgs;
    std::string rootCertFile;
    bool testBundle;
    bool accepted;
    uint64_t loads;  // reads of the default file for two connections
  };
  const Case cases[] = {
      {"CA file names the server's CA, system defaults", FixturePath("server.crt"),
       FixturePath("server.key"), {}, FixturePath("ca.crt"), false, true, 0},
      {"CA file names the server's CA", FixturePath("server.crt"), FixturePath("server.key"), {},
       FixturePath("ca.crt"), true, true, 0},
      {"CA only in the default file", FixturePath("server.crt"), FixturePath("server.key"), {}, "",
       true, true, 1},
      {"root of a chain only in the default file", TLSFixturePath("chain-server.crt"),
       TLSFixturePath("chain-server.key"), {"-cert_chain", TLSFixturePath("intermediate.crt")}, "",
       true, true, 1},
      {"unknown CA with a CA file", TLSFixturePath("untrusted-server.crt"),
       TLSFixturePath("untrusted-server.key"), {}, FixturePath("ca.crt"), true, false, 1},
      {"unknown CA without a CA file", TLSFixturePath("untrusted-server.crt"),
       TLSFixturePath("untrusted-server.key"), {}, "", true, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<apns_test::TestDefaultAnchors> anchors;
    if (c.testBundle) anchors.emplace();
    ClearOpenSSLContextCache();
    SServer server(c.cert, c.key, c.serverArgs);
    ASSERT_TRUE(server.Ready()) << server.Errors();
    const uint64_t before = OpenSSLDefaultAnchorLoads();
    for (int connection = 0; connection < 2; ++connection) {
      auto context = ClientContext(TIdSSLVersion::sslvTLSv1_3);
      context->RootCertFile = c.rootCertFile;
      context->InitContext(TIdSSLCtxMode::sslCtxClient);
      if (c.accepted) {
        auto socket = Connect(*context, server.Port(), "localhost");
        EXPECT_EQ(RoundTrip(*socket, "anchor"), "rohcna\n");
      } else {
        try {
          Connect(*context, server.Port(), "localhost");
          ADD_FAILURE() << "connected";
        } catch (const EIdOSSLUnderlyingCryptoError& e) {
          EXPECT_EQ(e.Message(), refused);
        }
      }
    }
    EXPECT_EQ(OpenSSLDefaultAnchorLoads(), before + c.loads);
  }
  ClearOpenSSLContextCache();
}

}  // namespace
