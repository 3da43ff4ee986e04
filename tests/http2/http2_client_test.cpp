#include <gtest/gtest.h>

#include <string>

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

}  // namespace
