// The HTTP/2 client component's threads against apns-mock: synchronous and
// queued pushes at once in each delivery mode, a waiting event while the
// main thread waits for its own answer, freeing the component with pushes
// still queued, and components signing provider tokens at once. Meant for
// ThreadSanitizer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/apns_mock_harness.h"
#include "http2/client/kfxHTTP.h"
#include "rtl/MainThread.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using apns_test::PumpUntil;

const std::string kDevice(64, 'a');
const std::string kPayload = "{\"aps\":{\"alert\":\"hi\"}}";

struct Pusher {
  explicit Pusher(TwsNotifyEvent aMode) {
    client = MakeOwned<TkfxHTTP2Client>(nullptr);
    client->SetNotifyEvents(aMode);
    client->TLSOptions().SetIOHandler(TwsTLSIOHandler::iohOpenSSL);
    client->TLSOptions().SetRootCertFile(apns_test::FixturePath("ca.crt"));
    client->TLSOptions().SetVerifyCertificate(true);
    client->TLSOptions().SetCertFile(apns_test::FixturePath("client.p12"));
    client->TLSOptions().SetKeyFile(apns_test::FixturePath("client.p12"));
    client->TLSOptions().SetPassword("secret");
    client->Request().CustomHeaders.Add("apns-topic: com.example.App");
    body.WriteBuffer(kPayload.data(), static_cast<int64_t>(kPayload.size()));
    client->OnHTTP2Response = [this](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                     TkfxHTTP2ResponseProperty* Response) {
      if (Response->Status() == 200) ++answered;
      ++outcomes;
    };
    client->OnHTTP2RequestFailed = [this](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                          const std::string& aReason) {
      std::lock_guard guard(lock);
      failures.push_back(aReason);
      ++outcomes;
    };
  }
  bool PushNow(const std::string& aURL) {
    client->Post(aURL, &body);
    TkfxHTTP2Response* response = client->Response();
    return response && response->Status() == 200;
  }

  TOwned<TkfxHTTP2Client> client;
  TMemoryStream body;
  std::atomic<int> answered{0}, outcomes{0};
  std::mutex lock;
  std::vector<std::string> failures;
};

class ClientThreads : public ::testing::TestWithParam<TwsNotifyEvent> {};

// Queued pushes go out on the request thread while the main thread pushes
// synchronously, with a waiting event (before each request) assigned: every
// push ends once and nothing waits for itself.
TEST_P(ClientThreads, SynchronousAndQueuedPushesTogether) {
  apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
  Pusher pusher(GetParam());
  std::atomic<int> before{0};
  pusher.client->OnHTTP2BeforeRequest = [&](TObject*, TkfxHTTP2ConnectionClient*, TStringList*) { ++before; };
  const std::string url = mock.DeviceUrl(kDevice);
  ASSERT_TRUE(pusher.PushNow(url));  // connected
  constexpr int kQueued = 300, kSync = 30;
  int synchronous = 0;
  for (int i = 0; i < kQueued; ++i) {
    pusher.client->PostAsync(url, &pusher.body);
    if (i % (kQueued / kSync) == 0) synchronous += pusher.PushNow(url);
  }
  EXPECT_EQ(synchronous, kSync);
  EXPECT_TRUE(PumpUntil([&] { return pusher.outcomes.load() >= kQueued; }, 30s)) << pusher.outcomes.load();
  CheckSynchronize(50);
  EXPECT_EQ(pusher.answered.load(), kQueued);
  EXPECT_EQ(pusher.outcomes.load(), kQueued);
  EXPECT_GE(before.load(), kQueued + kSync);
  pusher.client->SetActive(false);
}

// The component is freed while pushes are still queued and being sent, with
// a waiting event assigned: no hang, no race, and no event afterwards.
TEST_P(ClientThreads, FreedWithPushesPending) {
  apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
  for (int round = 0; round < 3; ++round) {
    auto pusher = std::make_unique<Pusher>(GetParam());
    pusher->client->OnHTTP2BeforeRequest = [](TObject*, TkfxHTTP2ConnectionClient*, TStringList*) {};
    const std::string url = mock.DeviceUrl(kDevice);
    ASSERT_TRUE(pusher->PushNow(url));  // connected
    for (int i = 0; i < 500; ++i) pusher->client->PostAsync(url, &pusher->body);
    PumpUntil([&] { return pusher->outcomes.load() >= 20 * round; }, 10s);
    const auto start = std::chrono::steady_clock::now();
    pusher->client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    const int after = pusher->outcomes.load();
    CheckSynchronize(50);
    EXPECT_EQ(pusher->outcomes.load(), after) << "an event after the component was freed";
  }
}

// A burst of queued pushes before any connection exists makes one
// activation, not one per push: every push is answered once, in bounded time.
TEST_P(ClientThreads, QueuedBurstBeforeAnyConnection) {
  apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
  Pusher pusher(GetParam());
  std::atomic<int> connects{0};
  pusher.client->OnHTTP2Connect = [&](TObject*, TkfxHTTP2ConnectionClient*) { ++connects; };
  const std::string url = mock.DeviceUrl(kDevice);
  constexpr int kQueued = 2000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kQueued; ++i) pusher.client->PostAsync(url, &pusher.body);
  EXPECT_TRUE(PumpUntil([&] { return pusher.outcomes.load() >= kQueued; }, 60s)) << pusher.outcomes.load();
  CheckSynchronize(50);
  EXPECT_EQ(pusher.answered.load(), kQueued);
  EXPECT_EQ(pusher.outcomes.load(), kQueued);
  EXPECT_EQ(connects.load(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  pusher.client->SetActive(false);
}

// A queued connect that fails does not hold up the next one: a later push
// connects (here to a server that is up) and is answered.
TEST_P(ClientThreads, QueuedConnectAfterFailedOne) {
  // A loopback port nothing listens on (bound once, then closed).
  const int closed = apns_test::FreePort();
  ASSERT_NE(closed, 0);
  Pusher pusher(GetParam());
  std::atomic<int> exceptions{0};
  pusher.client->OnHTTP2Exception = [&](TObject*, TkfxHTTP2ConnectionClient*, Exception*) { ++exceptions; };
  for (int i = 0; i < 20; ++i) pusher.client->PostAsync("https://127.0.0.1:" + std::to_string(closed) + "/3/device/" + kDevice, &pusher.body);
  EXPECT_TRUE(PumpUntil([&] { return exceptions.load() >= 1; }, 15s));
  CheckSynchronize(50);
  apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
  const int before = pusher.answered.load();
  for (int i = 0; i < 20; ++i) pusher.client->PostAsync(mock.DeviceUrl(kDevice), &pusher.body);
  EXPECT_TRUE(PumpUntil([&] { return pusher.answered.load() >= before + 20; }, 30s)) << pusher.answered.load();
  pusher.client->SetActive(false);
}

// Components sending at once from their request threads, each with its own
// JWT client or two of them with one, all signing with one key: one token
// is signed and every push goes out under it.
TEST_P(ClientThreads, OneProviderTokenForComponentsSigningAtOnce) {
  TkfxHTTP2_ProviderTokens::Process().Clear();
  const uint64_t signatures = TkfxHTTP2_ProviderTokens::Process().Signatures();
  apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
  constexpr int kComponents = 5, kPushes = 100;
  std::vector<std::unique_ptr<Pusher>> pushers;
  std::vector<TOwned<TkfxHTTP_JWT_Client>> jwts;
  for (int i = 0; i < kComponents; ++i) {
    auto pusher = std::make_unique<Pusher>(GetParam());
    TkfxHTTP2Client& client = *pusher->client;
    client.TLSOptions().SetCertFile("");
    client.TLSOptions().SetKeyFile("");
    // The last two share one JWT client.
    if (i < kComponents - 1) {
      jwts.push_back(MakeOwned<TkfxHTTP_JWT_Client>(nullptr));
      TkfxHTTP_JWT_Client_Options& options = jwts.back()->JWTOptions();
      options.Header().alg = TkfxHTTP_JWT_Algorithm::jwtES256;
      options.Header().kid = std::string(apns_test::kKeyId);
      options.Payload().iss = std::string(apns_test::kTeamId);
      options.Algorithms().ES().PrivateKey().LoadFromFile(apns_test::FixturePath("AuthKey_TEST123456.p8"));
      options.SetRefreshTokenAfter(2400);
    }
    client.Authentication().Token().SetJWT(jwts.back().get());
    pushers.push_back(std::move(pusher));
  }
  // They connect at once (each on its own read thread, setting the OpenSSL
  // level as they go) and ask for a token at once.
  const std::string url = mock.DeviceUrl(kDevice);
  for (int n = 0; n < kPushes; ++n)
    for (auto& pusher : pushers) pusher->client->PostAsync(url, &pusher->body);
  EXPECT_TRUE(PumpUntil(
      [&] {
        return std::all_of(pushers.begin(), pushers.end(), [](const auto& p) { return p->outcomes.load() >= kPushes; });
      }, 30s));
  CheckSynchronize(50);
  for (auto& pusher : pushers) {
    EXPECT_EQ(pusher->answered.load(), kPushes);
    pusher->client->SetActive(false);
  }
  EXPECT_EQ(TkfxHTTP2_ProviderTokens::Process().Signatures() - signatures, 1u);
  std::set<std::string> tokens, connections;
  for (const std::string& line : mock.LogLines()) {
    tokens.insert(apns_test::JsonMember(line, "token_hash"));
    connections.insert(apns_test::JsonMember(line, "conn"));
  }
  EXPECT_EQ(tokens.size(), 1u);
  EXPECT_EQ(connections.size(), static_cast<size_t>(kComponents));
  pushers.clear();  // the components go before the JWT clients they point at
}

// A pending-requests handler that fails when a connection ends with pushes
// outstanding decides nothing: the pushes are dropped as by default, each
// with its outcome, and the failure is reported; none waits for ever.
TEST_P(ClientThreads, FailingPendingRequestsHandlerDropsThePushes) {
  std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--close-after", "5"});
  apns_test::ApnsMock mock(options);
  Pusher pusher(GetParam());
  std::atomic<int> reported{0};
  pusher.client->OnHTTP2Exception = [&](TObject*, TkfxHTTP2ConnectionClient*, Exception* E) {
    if (E->Message() == "no decision") ++reported;
  };
  pusher.client->OnHTTP2PendingRequests = [](TObject*, TkfxHTTP2ConnectionClient*, bool& aReconnect, bool& aClear) {
    aReconnect = true;
    aClear = false;
    throw Exception("no decision");
  };
  constexpr int kQueued = 20;
  for (int i = 0; i < kQueued; ++i) pusher.client->PostAsync(mock.DeviceUrl(kDevice), &pusher.body);
  EXPECT_TRUE(PumpUntil([&] { return pusher.outcomes.load() >= kQueued; }, 30s)) << pusher.outcomes.load();
  EXPECT_TRUE(PumpUntil([&] { return reported.load() >= 1; }, 10s));
  CheckSynchronize(50);
  EXPECT_EQ(pusher.outcomes.load(), kQueued);
  EXPECT_LE(pusher.answered.load(), 4);  // the fifth request ended the connection
  pusher.client->SetActive(false);
}

INSTANTIATE_TEST_SUITE_P(Modes, ClientThreads,
                         ::testing::Values(TwsNotifyEvent::neNoSync, TwsNotifyEvent::neAsynchronous,
                                           TwsNotifyEvent::neSynchronous),
                         [](const auto& info) {
                           switch (info.param) {
                             case TwsNotifyEvent::neNoSync: return std::string("NoSync");
                             case TwsNotifyEvent::neAsynchronous: return std::string("Asynchronous");
                             case TwsNotifyEvent::neSynchronous: break;
                           }
                           return std::string("Synchronous");
                         });

}  // namespace
