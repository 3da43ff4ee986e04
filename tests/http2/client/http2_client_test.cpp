#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/http2/client/test_oauth_client.h"
#include "http2/client/kfxHTTP2_Client.h"

namespace {

// The token step, reachable from a test.
class TTokenClient : public TkfxHTTP2CLient_Base {
 public:
  using TkfxHTTP2CLient_Base::TkfxHTTP2CLient_Base;
  using TkfxHTTP2CLient_Base::DoAuthorizationToken;
};

// The default JWT options sign no usable token, so the step reports an
// error; either way it has set the client's handlers on the JWT client.
void RunTokenStep(TTokenClient& aClient) {
  try {
    TkfxHTTP2Request request;
    aClient.DoAuthorizationToken(request);
  } catch (const Exception&) {
  }
}

TEST(HTTP2ClientJWT, HandlersLeaveTheJWTClientWithTheBindingOrTheClient) {
  // The client sets handlers capturing itself on the JWT client at its token
  // step; once unbound or freed, a JWT client that starts must not call them.
  enum class Ending { kUnbound, kClientFreed };
  for (Ending ending : {Ending::kUnbound, Ending::kClientFreed}) {
    SCOPED_TRACE(static_cast<int>(ending));
    auto jwt = MakeOwned<TkfxHTTPComponentClient_JWT>(nullptr);
    auto client = MakeOwned<TTokenClient>(nullptr);
    client->Authentication().Token().SetJWT(jwt.get());
    RunTokenStep(*client);
    ASSERT_TRUE(jwt->OnAuthTokenError);
    if (ending == Ending::kUnbound)
      client->Authentication().Token().SetJWT(nullptr);
    else
      client.reset();
    EXPECT_FALSE(jwt->OnAuthToken);
    EXPECT_FALSE(jwt->OnAuthTokenError);
    EXPECT_NO_THROW(jwt->Start());
  }
  // A JWT client freed first leaves the client with no reference to it.
  auto client = MakeOwned<TTokenClient>(nullptr);
  auto jwt = MakeOwned<TkfxHTTPComponentClient_JWT>(nullptr);
  client->Authentication().Token().SetJWT(jwt.get());
  RunTokenStep(*client);
  jwt.reset();
  EXPECT_EQ(client->Authentication().Token().JWT(), nullptr);
}

// The authorization line the token step puts into a request, or the text of
// the error it raises.
std::string TokenStep(TTokenClient& aClient) {
  TkfxHTTP2Request request;
  request.CustomHeaders.Add("authorization: Bearer stale");
  request.CustomHeaders.Add("apns-topic: com.example.App");
  try {
    aClient.DoAuthorizationToken(request);
  } catch (const Exception& E) {
    return "raised: " + E.Message();
  }
  std::string lines;
  for (int i = 0; i < request.CustomHeaders.Count(); ++i) lines += request.CustomHeaders[i] + "|";
  return lines;
}

using TMode = TTestOAuthClient::TMode;

TEST(HTTP2ClientOAuth, TokenStepWithEachKindOfAnswer) {
  struct Case {
    const char* Name;
    TMode Mode;
    bool EmptyToken;
    std::string First, Second;  // the outcome of two token steps
    int Starts;                 // token requests started by them
  };
  const std::string good = "apns-topic: com.example.App|Authorization: Bearer tok1|";
  const std::vector<Case> cases = {
      {"at once", TMode::kAtOnce, false, good, good, 1},
      {"from another thread", TMode::kLater, false, good, good, 1},
      {"error", TMode::kError, false, "raised: Error invalid_grant. The grant has expired.",
       "raised: Error invalid_grant. The grant has expired.", 2},
      {"raises", TMode::kThrow, false, "raised: Error OAuth. The token endpoint is unreachable (1).",
       "raised: Error OAuth. The token endpoint is unreachable (2).", 2},
      {"empty token", TMode::kAtOnce, true, "raised: Error OAuth. The token is empty.",
       "raised: Error OAuth. The token is empty.", 2},
      // An unanswered request is given up after ReadTimeout; the next step
      // asks again.
      {"never", TMode::kNever, false, "raised: Error OAuth. No token arrived within 80 ms.",
       "raised: Error OAuth. No token arrived within 80 ms.", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto oauth = MakeOwned<TTestOAuthClient>(nullptr);
    oauth->Mode = c.Mode;
    if (c.EmptyToken) oauth->MakeToken = [] { return std::string(); };
    auto client = MakeOwned<TTokenClient>(nullptr);
    client->Authentication().Token().SetOAuth(oauth.get());
    client->Authentication().Token().SetReadTimeout(80);
    EXPECT_EQ(TokenStep(*client), c.First);
    EXPECT_EQ(TokenStep(*client), c.Second);
    EXPECT_EQ(oauth->Starts.load(), c.Starts);
  }
}

TEST(HTTP2ClientOAuth, OneRequestServesConcurrentStepsAndALateAnswerIsKept) {
  auto oauth = MakeOwned<TTestOAuthClient>(nullptr);
  oauth->Mode = TMode::kLater;
  oauth->DelayMs = 60;
  auto client = MakeOwned<TTokenClient>(nullptr);
  client->Authentication().Token().SetOAuth(oauth.get());
  std::vector<std::string> outcomes(8);
  std::vector<std::thread> threads;
  for (std::string& outcome : outcomes) threads.emplace_back([&] { outcome = TokenStep(*client); });
  for (std::thread& thread : threads) thread.join();
  for (const std::string& outcome : outcomes)
    EXPECT_EQ(outcome, "apns-topic: com.example.App|Authorization: Bearer tok1|");
  EXPECT_EQ(oauth->Starts.load(), 1);

  // An answer later than ReadTimeout fails its request but is not wasted:
  // the next step takes it without asking again.
  auto late = MakeOwned<TTestOAuthClient>(nullptr);
  late->Mode = TMode::kLater;
  late->DelayMs = 100;
  late->MakeToken = [] { return std::string("late"); };
  client->Authentication().Token().SetOAuth(late.get());
  client->Authentication().Token().SetReadTimeout(10);
  EXPECT_EQ(TokenStep(*client), "raised: Error OAuth. No token arrived within 10 ms.");
  late->Join();
  EXPECT_EQ(TokenStep(*client), "apns-topic: com.example.App|Authorization: Bearer late|");
  EXPECT_EQ(late->Starts.load(), 1);
}

TEST(HTTP2ClientOAuth, AskedInsteadOfAJWTClientAndLetGoLikeIt) {
  auto jwt = MakeOwned<TkfxHTTPComponentClient_JWT>(nullptr);
  auto oauth = MakeOwned<TTestOAuthClient>(nullptr);
  auto client = MakeOwned<TTokenClient>(nullptr);
  client->Authentication().Token().SetJWT(jwt.get());
  client->Authentication().Token().SetOAuth(oauth.get());
  EXPECT_EQ(TokenStep(*client), "apns-topic: com.example.App|Authorization: Bearer tok1|");
  EXPECT_FALSE(jwt->OnAuthToken);
  ASSERT_TRUE(oauth->OnAuthToken);

  // Another OAuth client: the cached token came from the old one, so the
  // new one is asked, and the old one no longer carries the handlers.
  auto other = MakeOwned<TTestOAuthClient>(nullptr);
  other->MakeToken = [] { return std::string("other"); };
  client->Authentication().Token().SetOAuth(other.get());
  EXPECT_FALSE(oauth->OnAuthToken);
  EXPECT_FALSE(oauth->OnAuthTokenError);
  EXPECT_EQ(TokenStep(*client), "apns-topic: com.example.App|Authorization: Bearer other|");

  // Freed first, it is forgotten; freeing the client takes its handlers back.
  other.reset();
  EXPECT_EQ(client->Authentication().Token().OAuth(), nullptr);
  client->Authentication().Token().SetOAuth(oauth.get());
  TokenStep(*client);
  client.reset();
  EXPECT_FALSE(oauth->OnAuthToken);
  EXPECT_FALSE(oauth->OnAuthTokenError);
}

}  // namespace
