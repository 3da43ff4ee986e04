// The APNs set-up: what it sets on a client and its JWT client for either
// kind of authentication, and the header lines of a push.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "apns/kfxAPNs_Setup.h"
#include "tests/support/fixtures.h"

namespace {

const std::string kKeyFile = apns_test::FixturePath("AuthKey_TEST123456.p8");

struct SetupTest : ::testing::Test {
  TComponent Owner{nullptr};
  TkfxHTTP2Client* Client = new TkfxHTTP2Client(&Owner);
  TkfxHTTP_JWT_Client* JWT = new TkfxHTTP_JWT_Client(&Owner);

  std::string Lines() { return Client->Request().CustomHeaders.Text(); }
};

TEST(APNsSetup, ServersAndDeviceURLs) {
  EXPECT_STREQ(APNsServerURL(TkfxAPNsServer::apnsDevelopment), "https://api.sandbox.push.apple.com");
  EXPECT_STREQ(APNsServerURL(TkfxAPNsServer::apnsProduction), "https://api.push.apple.com");
  EXPECT_EQ(APNsDeviceURL("https://127.0.0.1:2197", "ab CD"), "https://127.0.0.1:2197/3/device/ab CD");
  EXPECT_EQ(APNsDeviceURL(kAPNsProductionServer, ""), "https://api.push.apple.com/3/device/");
}

TEST_F(SetupTest, TokenThenCertificateSwitchesTheWholeAuthentication) {
  Client->TLSOptions().SetCertFile("old.p12");
  Client->TLSOptions().SetPassword("kept");
  UseAPNsToken(*Client, *JWT, kKeyFile, "KEY123", "TEAM456");
  EXPECT_EQ(Client->Authentication().Token().JWT(), JWT);
  EXPECT_EQ(Client->TLSOptions().CertFile(), "");
  EXPECT_EQ(Client->TLSOptions().Password(), "kept");
  TkfxHTTP_JWT_Client_Options& jwt = JWT->JWTOptions();
  EXPECT_EQ(jwt.Header().alg, TkfxHTTP_JWT_Algorithm::jwtES256);
  EXPECT_EQ(jwt.Header().kid, "KEY123");
  EXPECT_EQ(jwt.Payload().iss, "TEAM456");
  EXPECT_GT(jwt.Payload().iat, 1600000000);
  EXPECT_EQ(jwt.RefreshTokenAfter(), kAPNsTokenRefreshSeconds);
  EXPECT_EQ(kAPNsTokenRefreshSeconds, 2400);
  EXPECT_NE(jwt.Algorithms().ES().PrivateKey().Text().find("BEGIN PRIVATE KEY"), std::string::npos);
  // The token is one the signer can make from these settings.
  const std::string token = JWT->Sign();
  EXPECT_EQ(std::count(token.begin(), token.end(), '.'), 2);

  UseAPNsCertificate(*Client, "client.p12", "secret");
  EXPECT_EQ(Client->Authentication().Token().JWT(), nullptr);
  EXPECT_EQ(Client->TLSOptions().CertFile(), "client.p12");
  EXPECT_EQ(Client->TLSOptions().Password(), "secret");
  // No key file line: either TLS back end reads the key from the PKCS#12 file.
  EXPECT_EQ(Client->TLSOptions().KeyFile(), "");
}

TEST_F(SetupTest, AKeyFileThatCannotBeReadRaisesAfterTheClientWasSet) {
  EXPECT_THROW(UseAPNsToken(*Client, *JWT, kKeyFile + ".missing", "K", "T"), EFOpenError);
  EXPECT_EQ(Client->Authentication().Token().JWT(), JWT);
}

TEST_F(SetupTest, HeaderLinesReplaceTheOldOnesAndOnlyTheTopicIsAlwaysThere) {
  Client->Request().CustomHeaders.Add("x-old: 1");
  SetAPNsHeaders(*Client, {});
  EXPECT_EQ(Lines(), "apns-topic: \r\n");
  SetAPNsHeaders(*Client, {"com.example.app", "alert", "10", "0", "group", "123e4567-e89b-12d3-a456-4266554400a0"});
  EXPECT_EQ(Lines(),
            "apns-topic: com.example.app\r\napns-push-type: alert\r\napns-priority: 10\r\n"
            "apns-expiration: 0\r\napns-collapse-id: group\r\n"
            "apns-id: 123e4567-e89b-12d3-a456-4266554400a0\r\n");
  TkfxAPNsHeaders some;
  some.Topic = "t";
  some.Priority = "5";
  SetAPNsHeaders(*Client, some);
  EXPECT_EQ(Lines(), "apns-topic: t\r\napns-priority: 5\r\n");
}

}  // namespace
