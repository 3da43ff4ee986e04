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

TEST(HTTP2ClientJWT, HandlersLeaveTheJWTClientWithTheBindingOrTheClient) {
  // The client sets handlers capturing itself on the JWT client at its token
  // step; once unbound or freed, a JWT client that starts must not call them.
  enum class Ending { kUnbound, kClientFreed };
  for (Ending ending : {Ending::kUnbound, Ending::kClientFreed}) {
    SCOPED_TRACE(static_cast<int>(ending));
    auto jwt = MakeOwned<TkfxHTTPComponentClient_JWT>(nullptr);
    auto client = MakeOwned<TTokenClient>(nullptr);
    client->Authentication().Token().SetJWT(jwt.get());
    // No signer is installed, so the token step fails; it has set the handlers by then.
    EXPECT_THROW(client->DoAuthorizationToken(), Exception);
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
  EXPECT_THROW(client->DoAuthorizationToken(), Exception);
  jwt.reset();
  EXPECT_EQ(client->Authentication().Token().JWT(), nullptr);
}

}  // namespace
