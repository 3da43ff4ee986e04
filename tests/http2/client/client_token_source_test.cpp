// The token source of the HTTP/2 client component on its own: one JWT
// token per signing identity kept for its lifetime and signed anew when
// refused or when the identity changes; an OAuth token held until it is
// dropped or its source changes; the authorization line each request gets.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "test_oauth_client.h"
#include "http2/client/kfxHTTP2_Client_TokenSource.h"
#include "rtl/Thread.h"

namespace {

struct Fixture {
  Fixture() : Options(nullptr), Source(Options) {
    Source.SetTokenClock([this] { return Clock.load(); });
    JWT->JWTOptions().SetRefreshTokenAfter(60);  // seconds
    JWT->JWTOptions().Header().kid = "KEY1";
  }
  // The authorization lines a request gets, with an earlier one in it.
  std::string Step() {
    TkfxHTTP2Request request;
    request.CustomHeaders.Add("Authorization: Bearer stale");
    request.CustomHeaders.Add("apns-topic: com.example.App");
    Source.Authorize(request, [this](TkfxHTTPComponentClient_JWT&) {
      ++Signed;
      return TkfxProviderToken{"Bearer", "jwt" + std::to_string(Signed.load())};
    });
    std::string lines;
    for (int i = 0; i < request.CustomHeaders.Count(); ++i) lines += request.CustomHeaders[i] + "|";
    return lines;
  }

  TkfxHTTP2_Authentication_Token Options;
  TkfxHTTP2_TokenSource Source;
  std::atomic<uint64_t> Clock{1000};
  std::atomic<int> Signed{0};
  TOwned<TkfxHTTPComponentClient_JWT> JWT = MakeOwned<TkfxHTTPComponentClient_JWT>(nullptr);
};

TEST(ClientTokenSource, WithoutASourceRequestsAreLeftAlone) {
  Fixture f;
  EXPECT_EQ(f.Step(), "Authorization: Bearer stale|apns-topic: com.example.App|");
  EXPECT_EQ(f.Signed.load(), 0);
}

TEST(ClientTokenSource, OneJWTTokenPerIdentityForItsLifetime) {
  Fixture f;
  f.Options.SetJWT(f.JWT.get());
  const std::string first = "apns-topic: com.example.App|Authorization: Bearer jwt1|";
  EXPECT_EQ(f.Step(), first);
  EXPECT_EQ(f.Step(), first);  // kept
  f.Clock += 59000;
  EXPECT_EQ(f.Step(), first);  // still young enough
  f.Clock += 2000;
  EXPECT_EQ(f.Step(), "apns-topic: com.example.App|Authorization: Bearer jwt2|");  // too old
  // Refused by the server: signed anew once, whoever refused it again.
  f.Source.Refused("jwt2");
  f.Source.Refused("jwt2");
  EXPECT_EQ(f.Step(), "apns-topic: com.example.App|Authorization: Bearer jwt3|");
  f.Source.Refused("jwt2");  // an old token's refusal drops nothing
  EXPECT_EQ(f.Step(), "apns-topic: com.example.App|Authorization: Bearer jwt3|");
  // Another key id is another identity, with its own token; the first one
  // is still there for it when the key id comes back.
  const std::string identity = f.Source.Identity();
  f.JWT->JWTOptions().Header().kid = "KEY2";
  EXPECT_NE(f.Source.Identity(), identity);
  EXPECT_EQ(f.Step(), "apns-topic: com.example.App|Authorization: Bearer jwt4|");
  f.JWT->JWTOptions().Header().kid = "KEY1";
  EXPECT_EQ(f.Step(), "apns-topic: com.example.App|Authorization: Bearer jwt3|");
  EXPECT_EQ(f.Signed.load(), 4);
}

TEST(ClientTokenSource, SigningReportsThroughTheBoundHandlers) {
  Fixture f;
  f.Options.SetJWT(f.JWT.get());
  // What the JWT client reports while it signs is what SignJWT returns;
  // the default options sign nothing and report an error, which is raised.
  std::string reported;
  EXPECT_THROW(f.Source.SignJWT(
                   *f.JWT,
                   [&](TObject*, const std::string& aType, const std::string& aToken, const std::string&) {
                     reported = aType + " " + aToken;
                     f.Source.TokenSigned(aType, aToken);
                   },
                   [](TObject*, const std::string& aError, const std::string& aDescription, const std::string&) {
                     throw Exception("Error " + aError + ". " + aDescription);
                   }),
               Exception);
  EXPECT_TRUE(f.JWT->OnAuthToken);  // bound until the binding ends
  f.Options.SetJWT(nullptr);
  EXPECT_FALSE(f.JWT->OnAuthToken);
  EXPECT_TRUE(reported.empty());
}

TEST(ClientTokenSource, AnOAuthTokenIsHeldUntilDroppedOrItsSourceChanges) {
  Fixture f;
  auto oauth = MakeOwned<TTestOAuthClient>(nullptr);
  f.Options.SetOAuth(oauth.get());
  f.Options.SetJWT(f.JWT.get());  // asked after the OAuth client: left alone
  EXPECT_FALSE(f.Source.HasOAuthToken());
  EXPECT_EQ(f.Step(), "apns-topic: com.example.App|Authorization: Bearer tok1|");
  EXPECT_TRUE(f.Source.HasOAuthToken());
  EXPECT_EQ(f.Step(), "apns-topic: com.example.App|Authorization: Bearer tok1|");
  f.Source.DropOAuthToken();  // the connection ended
  EXPECT_EQ(f.Step(), "apns-topic: com.example.App|Authorization: Bearer tok2|");
  // Another JWT key is another source: the token held is not its own.
  f.JWT->JWTOptions().Header().kid = "KEY2";
  EXPECT_EQ(f.Step(), "apns-topic: com.example.App|Authorization: Bearer tok3|");
  EXPECT_EQ(f.Signed.load(), 0);
  EXPECT_EQ(oauth->Starts.load(), 3);
  f.Options.SetOAuth(nullptr);
  f.Options.SetJWT(nullptr);
}

}  // namespace
