// The table of TLS back ends: which handler each entry makes, and what each
// makes of the settings (settings in, handler settings out, for both back
// ends), including a PKCS#12 CertFile given without a KeyFile.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/kfxBase_Helpers.h"
#include "tls/kfxIdSSLOpenSSLHeaders.h"
#include "tls/kfxSSL_SChannel_Id.h"
#include "tls/kfxTCP_Client_OpenSSL.h"
#include "tls/kfxTLS_Factory.h"

namespace {

std::vector<std::string> Lines(const TStringList& aList) {
  std::vector<std::string> lines;
  for (int i = 0; i < aList.Count(); ++i) lines.push_back(aList[i]);
  return lines;
}

// What the OpenSSL handler was given.
struct TOpenSSLView {
  TIdSSLVersion Method = TIdSSLVersion::sslvTLSv1;
  std::string RootCertFile, CertFile, KeyFile;
  bool VerifyPeer = false;
  std::vector<std::string> ALPN;
  std::string Password;
  TwsOpenSSLAPI APIVersion = TwsOpenSSLAPI::oslAPI_1_0;
  bool operator==(const TOpenSSLView&) const = default;
};

void PrintTo(const TOpenSSLView& v, std::ostream* os) {
  *os << "{method " << static_cast<int>(v.Method) << ", root '" << v.RootCertFile << "', cert '"
      << v.CertFile << "', key '" << v.KeyFile << "', verify " << v.VerifyPeer << ", alpn "
      << ::testing::PrintToString(v.ALPN) << ", password '" << v.Password << "', api "
      << static_cast<int>(v.APIVersion) << "}";
}

// What the SChannel handler was given.
struct TSChannelView {
  TwsTLSVersions Version = TwsTLSVersions::tlsUndefined;
  bool Verify = false;
  std::string CertHash;
  TkfxSChannelCertStoreName StoreName = TkfxSChannelCertStoreName::scsnMY;
  TkfxSChannelCertStorePath StorePath = TkfxSChannelCertStorePath::scspStoreCurrentUser;
  std::string CipherList;
  std::vector<std::string> ALPN;
  std::string CertFile, Password, RootCertFile;
  bool operator==(const TSChannelView&) const = default;
};

void PrintTo(const TSChannelView& v, std::ostream* os) {
  *os << "{version " << static_cast<int>(v.Version) << ", verify " << v.Verify << ", hash '"
      << v.CertHash << "', store " << static_cast<int>(v.StoreName) << "/"
      << static_cast<int>(v.StorePath) << ", ciphers '" << v.CipherList << "', alpn "
      << ::testing::PrintToString(v.ALPN) << ", cert '" << v.CertFile << "', password '"
      << v.Password << "', root '" << v.RootCertFile << "'}";
}

TOpenSSLView ViewOf(TkfxIdSSLIOHandlerSocketOpenSSL& aHandler) {
  TIdSSLOptions& ssl = aHandler.SSLOptions();
  EXPECT_EQ(ssl.Mode, TIdSSLMode::sslmClient);
  return {ssl.Method(),
          ssl.RootCertFile,
          ssl.CertFile,
          ssl.KeyFile,
          ssl.VerifyMode.Contains(TIdSSLVerifyMode::sslvrfPeer),
          Lines(aHandler.ALPNProtocols()),
          aHandler.GetPassword(false),
          GetOpenSSLAPIVersion()};
}

TSChannelView ViewOf(TkfxIdSSLIOHandlerSocketSChannel& aHandler) {
  TkfxSChannelCertificate& c = aHandler.Certificate();
  return {aHandler.TLSVersion(), c.VerifyCertificate(),  c.CertHash(),
          c.CertStoreName(),     c.CertStorePath(),      aHandler.CipherList(),
          Lines(aHandler.ALPNProtocols()), c.CertFile(), c.CertFilePassword(),
          c.RootCertFile()};
}

// Restores the process-wide OpenSSL settings the factory changes.
class TLSFactory : public ::testing::Test {
 protected:
  void SetUp() override {
    FAPI = GetOpenSSLAPIVersion();
    FLibPath = GetOpenSSLLibPath();
  }
  void TearDown() override {
    SetOpenSSLAPIVersion(FAPI);
    IdOpenSSLSetLibPath(FLibPath);
  }

 private:
  TwsOpenSSLAPI FAPI = TwsOpenSSLAPI::oslAPI_1_0;
  std::string FLibPath;
};

TEST_F(TLSFactory, OneEntryPerBackEndMakesItsHandler) {
  const auto backEnds = TLSBackEnds();
  ASSERT_EQ(backEnds.size(), 2u);
  EXPECT_EQ(backEnds[0].IOHandler, TwsTLSIOHandler::iohOpenSSL);
  EXPECT_EQ(backEnds[1].IOHandler, TwsTLSIOHandler::iohSChannel);
  const TkfxTLSSettings settings;
  auto openssl = NewTLSHandler(TwsTLSIOHandler::iohOpenSSL, settings);
  auto schannel = NewTLSHandler(TwsTLSIOHandler::iohSChannel, settings);
  EXPECT_EQ(openssl->ClassName(), "TkfxIdSSLIOHandlerSocketOpenSSL");
  EXPECT_EQ(schannel->ClassName(), "TkfxIdSSLIOHandlerSocketSChannel");
  // Every handler starts in plain mode; the caller decides when TLS starts.
  EXPECT_TRUE(openssl->PassThrough());
  EXPECT_TRUE(schannel->PassThrough());
  try {
    NewTLSHandler(static_cast<TwsTLSIOHandler>(7), settings);
    ADD_FAILURE() << "no exception";
  } catch (const EArgumentException& e) {
    EXPECT_EQ(e.Message(), "No TLS back end 7.");
  }
}

// Settings in, handler settings out, for both back ends.
TEST_F(TLSFactory, EachBackEndMapsTheSettings) {
  struct TCase {
    const char* Name;
    TkfxTLSSettings Settings;
    TOpenSSLView OpenSSL;
    TSChannelView SChannel;
  };
  // A default value with aChange applied.
  auto with = [](auto aValue, auto aChange) {
    aChange(aValue);
    return aValue;
  };
  using TS = TkfxTLSSettings;
  using TO = TOpenSSLView;
  using TC = TSChannelView;
  const std::vector<TCase> cases = {
      {"defaults", {}, {}, {}},
      {"everything, PEM certificate and key",
       with(TS{},
            [](TS& s) {
              s.Version = TwsTLSVersions::tls1_2;
              s.VerifyCertificate = true;
              s.CertFile = "client.crt";
              s.KeyFile = "client.key";
              s.Password = "secret";
              s.RootCertFile = "ca.crt";
              s.ALPNProtocols = {"h2", "", "http/1.1"};
              s.SChannel.CertHash = "00112233445566778899aabbccddeeff00112233";
              s.SChannel.CertStoreName = TkfxSChannelCertStoreName::scsnCA;
              s.SChannel.CertStorePath = TkfxSChannelCertStorePath::scspStoreLocalMachine;
              s.SChannel.CipherList = "AES256:AES128";
              s.OpenSSL.APIVersion = TwsOpenSSLAPI::oslAPI_1_1;
            }),
       {TIdSSLVersion::sslvTLSv1_2, "ca.crt", "client.crt", "client.key", true,
        {"h2", "", "http/1.1"}, "secret", TwsOpenSSLAPI::oslAPI_1_1},
       {TwsTLSVersions::tls1_2, true, "00112233445566778899aabbccddeeff00112233",
        TkfxSChannelCertStoreName::scsnCA, TkfxSChannelCertStorePath::scspStoreLocalMachine,
        "AES256:AES128", {"h2", "", "http/1.1"}, "client.crt", "secret", "ca.crt"}},
      {"PKCS#12 alone serves OpenSSL as the key file too",
       with(TS{},
            [](TS& s) {
              s.CertFile = "/keys/client.p12";
              s.Password = "secret";
            }),
       with(TO{},
            [](TO& v) {
              v.CertFile = v.KeyFile = "/keys/client.p12";
              v.Password = "secret";
            }),
       with(TC{},
            [](TC& v) {
              v.CertFile = "/keys/client.p12";
              v.Password = "secret";
            })},
      {"PKCS#12 in upper case", with(TS{}, [](TS& s) { s.CertFile = "CLIENT.PFX"; }),
       with(TO{}, [](TO& v) { v.CertFile = v.KeyFile = "CLIENT.PFX"; }),
       with(TC{}, [](TC& v) { v.CertFile = "CLIENT.PFX"; })},
      {"PKCS#12 with its own KeyFile keeps it",
       with(TS{},
            [](TS& s) {
              s.CertFile = "client.p12";
              s.KeyFile = "other.p12";
            }),
       with(TO{},
            [](TO& v) {
              v.CertFile = "client.p12";
              v.KeyFile = "other.p12";
            }),
       with(TC{}, [](TC& v) { v.CertFile = "client.p12"; })},
      {"PEM certificate alone gets no key file",
       with(TS{}, [](TS& s) { s.CertFile = "client.p12.pem"; }),
       with(TO{}, [](TO& v) { v.CertFile = "client.p12.pem"; }),
       with(TC{}, [](TC& v) { v.CertFile = "client.p12.pem"; })},
      {"TLS 1.0", with(TS{}, [](TS& s) { s.Version = TwsTLSVersions::tls1_0; }),
       with(TO{}, [](TO& v) { v.Method = TIdSSLVersion::sslvTLSv1; }),
       with(TC{}, [](TC& v) { v.Version = TwsTLSVersions::tls1_0; })},
      {"TLS 1.1", with(TS{}, [](TS& s) { s.Version = TwsTLSVersions::tls1_1; }),
       with(TO{}, [](TO& v) { v.Method = TIdSSLVersion::sslvTLSv1_1; }),
       with(TC{}, [](TC& v) { v.Version = TwsTLSVersions::tls1_1; })},
      {"TLS 1.3", with(TS{}, [](TS& s) { s.Version = TwsTLSVersions::tls1_3; }),
       with(TO{}, [](TO& v) { v.Method = TIdSSLVersion::sslvTLSv1_3; }),
       with(TC{}, [](TC& v) { v.Version = TwsTLSVersions::tls1_3; })},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto openssl = NewTLSHandler(TwsTLSIOHandler::iohOpenSSL, c.Settings);
    EXPECT_EQ(ViewOf(dynamic_cast<TkfxIdSSLIOHandlerSocketOpenSSL&>(*openssl)), c.OpenSSL);
    auto schannel = NewTLSHandler(TwsTLSIOHandler::iohSChannel, c.Settings);
    EXPECT_EQ(ViewOf(dynamic_cast<TkfxIdSSLIOHandlerSocketSChannel&>(*schannel)), c.SChannel);
  }
}

// The OpenSSL handler asks the caller's password callback when one is given,
// every time it needs the password.
TEST_F(TLSFactory, OpenSSLAsksThePasswordCallback) {
  TkfxTLSSettings settings;
  settings.Password = "not asked";
  int asked = 0;
  settings.OnGetPassword = [&](std::string& Password) {
    ++asked;
    Password = "answer " + std::to_string(asked);
  };
  auto handler = NewTLSHandler(TwsTLSIOHandler::iohOpenSSL, settings);
  auto& openssl = dynamic_cast<TkfxIdSSLIOHandlerSocketOpenSSL&>(*handler);
  EXPECT_EQ(openssl.GetPassword(false), "answer 1");
  EXPECT_EQ(openssl.GetPassword(true), "answer 2");
}

// The library folder is process-wide and set only when asked for.
TEST_F(TLSFactory, OpenSSLLibraryFolder) {
  IdOpenSSLSetLibPath("/nowhere/");
  TkfxTLSSettings settings;
  NewTLSHandler(TwsTLSIOHandler::iohOpenSSL, settings);
  EXPECT_EQ(GetOpenSSLLibPath(), "/nowhere/");
  NewTLSHandler(TwsTLSIOHandler::iohSChannel, settings);
  EXPECT_EQ(GetOpenSSLLibPath(), "/nowhere/");
  settings.OpenSSL.LibPath = TwsOpenSSLLibPath::oslpDefaultFolder;
  NewTLSHandler(TwsTLSIOHandler::iohOpenSSL, settings);
  EXPECT_EQ(GetOpenSSLLibPath(), ExecutableFolder());
}

}  // namespace
