// The connection option objects: defaults, copy rules, stored descriptions.
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "tcp/kfxTCP_Classes.h"

namespace {

TEST(TCPOptions, Defaults) {
  TkfxTCPTLS_Options tls;
  EXPECT_EQ(tls.IOHandler(), TwsTLSIOHandler::iohOpenSSL);
  EXPECT_EQ(tls.Version(), TwsTLSVersions::tlsUndefined);
  EXPECT_FALSE(tls.VerifyCertificate());
  EXPECT_EQ(tls.VerifyDepth(), 0);
  EXPECT_EQ(tls.ALPNProtocols().Count(), 0);
  EXPECT_EQ(tls.OpenSSL_Options().APIVersion(), TwsOpenSSLAPI::oslAPI_1_0);
  EXPECT_EQ(tls.OpenSSL_Options().LibPath(), TwsOpenSSLLibPath::oslpNone);
  EXPECT_EQ(tls.SChannel_Options().CertStoreName(), TkfxSChannelCertStoreName::scsnMY);
  EXPECT_EQ(tls.SChannel_Options().CertStorePath(), TkfxSChannelCertStorePath::scspStoreCurrentUser);
  TkfxTCPProxy_Options proxy;
  EXPECT_FALSE(proxy.Enabled());
  EXPECT_EQ(proxy.Port(), 0);
  EXPECT_EQ(proxy.ProxyType(), TwsProxy::pxyHTTP);
  TkfxTCPHeartBeat_Options heartBeat;
  EXPECT_FALSE(heartBeat.Enabled());
  EXPECT_EQ(heartBeat.Interval(), 60);
  TkfxTCPWatchDog_Options watchDog;
  EXPECT_FALSE(watchDog.Enabled());
  EXPECT_EQ(watchDog.Interval(), 60);
  EXPECT_EQ(watchDog.Attempts(), 0);
  TkfxTCPThrottle throttle;
  EXPECT_FALSE(throttle.Enabled());
  EXPECT_EQ(throttle.BitsPerSec(), 0);
  TkfxTCPLogFile logFile;
  EXPECT_FALSE(logFile.Enabled());
  EXPECT_EQ(logFile.FileName(), "");
  TkfxTCPKeepAlive keepAlive;
  EXPECT_FALSE(keepAlive.Enabled());
  EXPECT_EQ(keepAlive.Time(), 0);
  EXPECT_EQ(keepAlive.Interval(), 0);
}

// Each option class copies its fields from its own class; a foreign source is
// the framework's assignment error.
TEST(TCPOptions, CopyRules) {
  const auto copies = [](TPersistent& aSource, TPersistent& aTarget,
                         const std::vector<std::pair<std::string, std::string>>& aValues) {
    for (const auto& [path, value] : aValues) ASSERT_TRUE(aSource.SetPublishedValue(path, value)) << path;
    aTarget.Assign(&aSource);
    for (const auto& [path, value] : aValues) {
      std::string copied;
      ASSERT_TRUE(aTarget.GetPublishedValue(path, copied)) << path;
      EXPECT_EQ(copied, value) << aTarget.ClassName() << "." << path;
    }
  };
  {
    TkfxTCPProxy_Options a, b;
    copies(a, b, {{"Enabled", "True"}, {"Host", "proxy.local"}, {"Port", "3128"},
                  {"Username", "u"}, {"Password", "p"}, {"ProxyType", "pxySocks4A"}});
  }
  {
    TkfxTCPHeartBeat_Options a, b;
    copies(a, b, {{"Enabled", "True"}, {"Interval", "15"}});
  }
  {
    TkfxTCPWatchDog_Options a, b;
    copies(a, b, {{"Enabled", "True"}, {"Interval", "10"}, {"Attempts", "2"}});
  }
  {
    TkfxTCPThrottle a, b;
    copies(a, b, {{"Enabled", "True"}, {"BitsPerSec", "8000"}});
  }
  {
    TkfxTCPLogFile a, b;
    copies(a, b, {{"Enabled", "True"}, {"FileName", "/tmp/x.log"}});
  }
  {
    TkfxTCPKeepAlive a, b;
    copies(a, b, {{"Enabled", "True"}, {"Interval", "1000"}, {"Time", "7200000"}});
  }
  {
    // Everything of a TLS options object goes along (the choice made for TLS
    // options: a full copy, nested options and the ALPN list included).
    TkfxTCPTLS_Options a, b;
    a.ALPNProtocols().Add("h2");
    copies(a, b, {{"CertFile", "c.pem"}, {"KeyFile", "k.pem"}, {"Password", "pw"},
                  {"RootCertFile", "r.pem"}, {"VerifyCertificate", "True"}, {"VerifyDepth", "3"},
                  {"Version", "tls1_2"}, {"IOHandler", "iohSChannel"},
                  {"OpenSSL_Options.APIVersion", "oslAPI_1_1"},
                  {"OpenSSL_Options.LibPath", "oslpDefaultFolder"},
                  {"SChannel_Options.CertHash", "ABCD"},
                  {"SChannel_Options.CertStoreName", "scsnRoot"},
                  {"SChannel_Options.CertStorePath", "scspStoreLocalMachine"},
                  {"SChannel_Options.CipherList", "AES"}});
    EXPECT_EQ(b.ALPNProtocols().Lines(), std::vector<std::string>{"h2"});
  }
  TkfxTCPThrottle throttle;
  TkfxTCPLogFile logFile;
  try {
    logFile.Assign(&throttle);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TkfxTCPThrottle to a TkfxTCPLogFile");
  }
}

TEST(TCPOptions, IntervalsInMillisecondsDoNotOverflow) {
  const struct {
    int seconds;
    int ms;
  } cases[] = {{60, 60000}, {0, 0}, {-1, -1000}, {2147483, 2147483000},
               {2147484, INT_MAX}, {INT_MAX, INT_MAX}, {INT_MIN, INT_MIN}};
  for (const auto& c : cases) {
    TkfxTCPHeartBeat_Options heartBeat;
    heartBeat.SetInterval(c.seconds);
    EXPECT_EQ(heartBeat.IntervalMS(), c.ms) << c.seconds;
    TkfxTCPWatchDog_Options watchDog;
    watchDog.SetInterval(c.seconds);
    EXPECT_EQ(watchDog.IntervalMS(), c.ms) << c.seconds;
  }
}

}  // namespace
