// The HTTP/2 client component end to end against apns-mock over TLS:
// certificate and token pushes with their answers, connection and token
// reuse, a switch of the kind of authentication, a server that is down,
// provider tokens shared by components and kept across connections, and
// queued pushes across GOAWAYs and abrupt closes, each ending exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/apns_mock_harness.h"
#include "tests/http2/client/test_oauth_client.h"
#include "base/kfxBase_Helpers.h"
#include "http2/client/kfxHTTP.h"
#include "platform/crypt32/crypt32.h"
#include "rtl/MainThread.h"
#include "tls/kfxSSL_SChannel.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using apns_test::PumpUntil;

const std::string kDevice(64, 'a');
const std::string kGone(64, 'b');
const std::string kPayload = "{\"aps\":{\"alert\":\"hi\"}}";

// The user's configuration folder with the test CA in the Root store, so
// the SChannel handler trusts apns-mock's certificate.
class StoreFolder {
 public:
  StoreFolder() {
    setenv("XDG_CONFIG_HOME", FDir.path().c_str(), 1);
    UnloadSChannel();
    const std::filesystem::path folder = CertStoreRootFolder() + "/CurrentUser/Root";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(apns_test::FixturePath("ca.crt"), folder / "ca.crt");
  }
  ~StoreFolder() {
    unsetenv("XDG_CONFIG_HOME");
    UnloadSChannel();
  }

 private:
  apns_test::TempDir FDir;
};

// The window's set-up of the two components, with either TLS handler.
struct Pusher {
  explicit Pusher(TwsTLSIOHandler aHandler) {
    client = MakeOwned<TkfxHTTP2Client>(nullptr);
    jwt = MakeOwned<TkfxHTTP_JWT_Client>(nullptr);
    client->TLSOptions().SetIOHandler(aHandler);
    client->TLSOptions().SetRootCertFile(apns_test::FixturePath("ca.crt"));
    client->TLSOptions().SetVerifyCertificate(true);
    client->OnHTTP2Exception = [this](TObject*, TkfxHTTP2ConnectionClient*, Exception* E) {
      std::lock_guard guard(lock);
      exceptions.push_back(E->Message());
    };
  }
  void Certificate() {
    client->Authentication().Token().SetJWT(nullptr);
    client->TLSOptions().SetCertFile(apns_test::FixturePath("client.p12"));
    // The same options for either back end: the PKCS#12 file holds the key.
    client->TLSOptions().SetPassword("secret");
    client->Request().CustomHeaders.Clear();
    client->Request().CustomHeaders.Add("apns-topic: com.example.App");
  }
  void Token(const std::string& aKeyId = std::string(apns_test::kKeyId)) {
    client->TLSOptions().SetCertFile("");
    client->TLSOptions().SetKeyFile("");
    client->Authentication().Token().SetJWT(jwt.get());
    TkfxHTTP_JWT_Client_Options& options = jwt->JWTOptions();
    options.Header().alg = TkfxHTTP_JWT_Algorithm::jwtES256;
    options.Header().kid = aKeyId;
    options.Payload().iss = std::string(apns_test::kTeamId);
    options.Algorithms().ES().PrivateKey().LoadFromFile(apns_test::FixturePath("AuthKey_TEST123456.p8"));
    options.SetRefreshTokenAfter(2400);
    client->Request().CustomHeaders.Clear();
    client->Request().CustomHeaders.Add("apns-topic: com.example.App");
  }
  // Step 8 of the window's push: the answer text and the log line.
  std::string Push(const std::string& aURL) {
    TMemoryStream body;
    body.WriteBuffer(kPayload.data(), static_cast<int64_t>(kPayload.size()));
    body.SetPosition(0);
    const std::string answer = client->Post(aURL, &body);
    TkfxHTTP2Response* response = client->Response();
    return response && response->Status() == 200 ? "Push Notification sent successfully." : answer;
  }

  TOwned<TkfxHTTP2Client> client;
  TOwned<TkfxHTTP_JWT_Client> jwt;
  std::mutex lock;
  std::vector<std::string> exceptions;
};

std::string Header(const std::string& aLogLine, const std::string& aName) {
  const std::string key = "[\"" + aName + "\",\"";
  const auto at = aLogLine.find(key);
  if (at == std::string::npos) return "";
  const auto start = at + key.size();
  return aLogLine.substr(start, aLogLine.find('"', start) - start);
}

// The provider tokens the mock's log shows, each once, in order of first use.
std::vector<std::string> TokensUsed(const std::vector<std::string>& aLines) {
  std::vector<std::string> tokens;
  for (const std::string& line : aLines) {
    const std::string hash = apns_test::JsonMember(line, "token_hash");
    if (hash != "null" && std::find(tokens.begin(), tokens.end(), hash) == tokens.end()) tokens.push_back(hash);
  }
  return tokens;
}

// Provider tokens live in the process's cache: each test starts without any.
class ClientApnsMock : public ::testing::TestWithParam<TwsTLSIOHandler> {
 protected:
  void SetUp() override { TkfxHTTP2_ProviderTokens::Process().Clear(); }
};

class ClientApnsMockToken : public ::testing::Test {
 protected:
  void SetUp() override { TkfxHTTP2_ProviderTokens::Process().Clear(); }
};

TEST_P(ClientApnsMock, CertificateAndTokenPushesAreAnswered) {
  std::optional<StoreFolder> store;
  if (GetParam() == TwsTLSIOHandler::iohSChannel) store.emplace();
  std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
  options.push_back("--unregistered");
  options.push_back(kGone + ":1700000000000");
  apns_test::ApnsMock mock(options);
  Pusher pusher(GetParam());
  struct Case {
    bool Token;
    std::string KeyId;
    std::string Device;
    std::string Logged;
  };
  const std::string key(apns_test::kKeyId);
  const std::vector<Case> cases = {
      {false, "", kDevice, "Push Notification sent successfully."},
      {false, "", "zz", "{\"reason\":\"BadDeviceToken\"}"},
      {false, "", kGone, "{\"reason\":\"Unregistered\",\"timestamp\":1700000000000}"},
      {true, key, kDevice, "Push Notification sent successfully."},
      {true, key, kDevice, "Push Notification sent successfully."},
      {true, key, "zz", "{\"reason\":\"BadDeviceToken\"}"},
      {true, "WRONG12345", kDevice, "{\"reason\":\"InvalidProviderToken\"}"},
      {true, key, kGone, "{\"reason\":\"Unregistered\",\"timestamp\":1700000000000}"},
      {false, "", kDevice, "Push Notification sent successfully."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Device + (c.Token ? " token " + c.KeyId : " certificate"));
    if (c.Token)
      pusher.Token(c.KeyId);
    else
      pusher.Certificate();
    EXPECT_EQ(pusher.Push(mock.DeviceUrl(c.Device)), c.Logged) << ::testing::PrintToString(pusher.exceptions);
  }
  pusher.client->SetActive(false);
  const auto lines = mock.LogLines();
  ASSERT_EQ(lines.size(), cases.size());
  // Certificate pushes on one connection; the token pushes on another,
  // sharing one token; a changed key id and the return to the first one
  // each on a connection of their own, the changed one with a token of its
  // own; the last certificate push on a connection of its own, with no
  // authorization line.
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    EXPECT_EQ(apns_test::JsonMember(lines[i], "auth"), cases[i].Token ? "\"token\"" : "\"certificate\"");
    EXPECT_EQ(Header(lines[i], "authorization").empty(), !cases[i].Token);
  }
  EXPECT_EQ(apns_test::JsonMember(lines[0], "conn"), apns_test::JsonMember(lines[2], "conn"));
  EXPECT_NE(apns_test::JsonMember(lines[2], "conn"), apns_test::JsonMember(lines[3], "conn"));
  EXPECT_EQ(apns_test::JsonMember(lines[3], "conn"), apns_test::JsonMember(lines[5], "conn"));
  EXPECT_EQ(Header(lines[3], "authorization"), Header(lines[4], "authorization"));
  EXPECT_EQ(Header(lines[3], "authorization"), Header(lines[5], "authorization"));
  EXPECT_NE(apns_test::JsonMember(lines[5], "conn"), apns_test::JsonMember(lines[6], "conn"));
  EXPECT_NE(Header(lines[6], "authorization"), Header(lines[5], "authorization"));
  EXPECT_NE(apns_test::JsonMember(lines[6], "conn"), apns_test::JsonMember(lines[7], "conn"));
  EXPECT_NE(Header(lines[7], "authorization"), Header(lines[6], "authorization"));
  // Back to the first key id: its token is still young, and still the one.
  EXPECT_EQ(Header(lines[7], "authorization"), Header(lines[3], "authorization"));
  EXPECT_NE(apns_test::JsonMember(lines[7], "conn"), apns_test::JsonMember(lines[8], "conn"));
}

INSTANTIATE_TEST_SUITE_P(Handlers, ClientApnsMock,
                         ::testing::Values(TwsTLSIOHandler::iohOpenSSL, TwsTLSIOHandler::iohSChannel),
                         [](const auto& info) {
                           return info.param == TwsTLSIOHandler::iohOpenSSL ? "OpenSSL" : "SChannel";
                         });

TEST(ClientApnsMockDown, ServerDownCannotConnect) {
  int port = 0;
  {
    apns_test::ApnsMock probe({});
    port = probe.port();
  }
  Pusher pusher(TwsTLSIOHandler::iohOpenSSL);
  pusher.Certificate();
  try {
    pusher.Push("https://127.0.0.1:" + std::to_string(port) + "/3/device/" + kDevice);
    FAIL() << "no exception";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "Cannot connect to server.");
  }
  EXPECT_EQ(pusher.exceptions.size(), 1u);
}

// The token lives RefreshTokenAfter seconds on the token clock, whatever
// happens to connections: the same token before, a freshly signed one from
// then on; a disconnect or an exception event in between changes nothing.
// The server takes a new token at once here.
TEST_F(ClientApnsMockToken, RefreshedAfterItsLifetimeAndKeptAcrossConnections) {
  std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--token-update-interval", "0"});
  apns_test::ApnsMock mock(options);
  Pusher pusher(TwsTLSIOHandler::iohOpenSSL);
  pusher.Token();
  std::atomic<uint64_t> clock{1000};
  pusher.client->SetTokenClock([&] { return clock.load(); });
  enum class TEnd { kNone, kDisconnect, kException };  // of the connection, before the push
  struct Step {
    uint64_t AtSeconds;
    TEnd End;
    bool NewToken;
  };
  const std::vector<Step> steps = {
      {0, TEnd::kNone, true},           {600, TEnd::kNone, false},       {2399, TEnd::kNone, false},
      {2400, TEnd::kNone, true},        {2401, TEnd::kNone, false},      {4000, TEnd::kDisconnect, false},
      {4001, TEnd::kNone, false},       {4500, TEnd::kException, false}, {4799, TEnd::kDisconnect, false},
      {4800, TEnd::kNone, true},        {4801, TEnd::kException, false},
  };
  for (const Step& step : steps) {
    clock = 1000 + step.AtSeconds * 1000;
    if (step.End == TEnd::kDisconnect) pusher.client->SetActive(false);
    if (step.End == TEnd::kException) {
      // Reported through OnHTTP2Exception; the connection is given up.
      Exception failure("The test ends the connection.");
      pusher.client->DoException(pusher.client->HTTP2Connection(), failure.Message(), &failure);
      ASSERT_TRUE(PumpUntil([&] { return !pusher.client->Active(); }, 5s));
    }
    EXPECT_EQ(pusher.Push(mock.DeviceUrl(kDevice)), "Push Notification sent successfully.") << step.AtSeconds;
  }
  pusher.client->SetActive(false);
  const auto lines = mock.LogLines();
  ASSERT_EQ(lines.size(), steps.size());
  for (size_t i = 1; i < lines.size(); ++i) {
    SCOPED_TRACE(steps[i].AtSeconds);
    EXPECT_EQ(Header(lines[i], "authorization") != Header(lines[i - 1], "authorization"), steps[i].NewToken);
    EXPECT_EQ(apns_test::JsonMember(lines[i], "conn") != apns_test::JsonMember(lines[i - 1], "conn"),
              steps[i].End != TEnd::kNone);
  }
  EXPECT_EQ(pusher.exceptions, std::vector<std::string>(2, "The test ends the connection."));
  // The component's own cache, not the process's.
  EXPECT_EQ(pusher.client->ProviderTokens().Signatures(), 3u);
  EXPECT_EQ(TkfxHTTP2_ProviderTokens::Process().Count(), 0u);
}

// Pushes every few seconds for hours on a token clock that runs 2400 times
// faster than the real one, against a server that refuses a new token sooner
// than 20 minutes (of that clock) after the last one: the token is renewed
// every 40 minutes on the same connection and never refused.
TEST_F(ClientApnsMockToken, RenewalNeverTooSoonForTheServer) {
  constexpr uint64_t kSpeedUp = 2400;
  std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--token-update-interval", std::to_string(20 * 60 * 1000 / kSpeedUp)});
  apns_test::ApnsMock mock(options);
  Pusher pusher(TwsTLSIOHandler::iohOpenSSL);
  pusher.Token();
  const auto start = std::chrono::steady_clock::now();
  pusher.client->SetTokenClock([start] {
    const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return static_cast<uint64_t>(real.count()) * kSpeedUp;
  });
  // 2 h 50 min of that clock after the first push (a slow connect must not
  // eat into it): the first token and four renewals.
  int pushes = 0;
  auto end = std::chrono::steady_clock::time_point::max();
  while (std::chrono::steady_clock::now() < end && pushes < 20000) {
    if (pushes == 1) end = std::chrono::steady_clock::now() + std::chrono::milliseconds(170 * 60 * 1000 / kSpeedUp);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::string logged = pusher.Push(mock.DeviceUrl(kDevice));
    ++pushes;
    if (logged != "Push Notification sent successfully.") {
      ADD_FAILURE() << "push " << pushes << ": " << logged;
      break;
    }
  }
  pusher.client->SetActive(false);
  const auto lines = mock.LogLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(pushes));
  std::vector<std::string> tokens;
  for (const std::string& line : lines) {
    EXPECT_EQ(apns_test::JsonMember(line, "conn"), apns_test::JsonMember(lines[0], "conn"));
    if (tokens.empty() || tokens.back() != apns_test::JsonMember(line, "token_hash"))
      tokens.push_back(apns_test::JsonMember(line, "token_hash"));
  }
  EXPECT_EQ(tokens.size(), 5u);
  EXPECT_EQ(std::set<std::string>(tokens.begin(), tokens.end()).size(), tokens.size());
}

// How many ids were counted more than once, with the first few of them.
std::string Repeated(const std::map<std::string, int>& aCounts) {
  std::string first;
  int repeated = 0;
  for (const auto& [id, n] : aCounts)
    if (n != 1 && ++repeated <= 5) first += " " + id + " x" + std::to_string(n);
  return repeated == 0 ? std::string() : std::to_string(repeated) + " ids:" + first;
}

// Queued pushes with unique ids through a server that ends its connections
// every few hundred requests: every push ends exactly once, none is
// answered twice, and the one-stream start of each token connection loses
// none.
// Bearer tokens fetched by an OAuth client that answers from a thread of its
// own (the tokens are ones apns-mock accepts): synchronous and queued pushes
// are answered 200 with one token request per source and connection (an
// OAuth token, unlike a provider token, goes with its connection), and a
// source that answers with an error fails the push with its text.
TEST_F(ClientApnsMockToken, OAuthTokensFromAnotherThread) {
  // Each token the sources fetch is a new one for the server's key.
  std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--token-update-interval", "0"});
  apns_test::ApnsMock mock(options);
  Pusher pusher(TwsTLSIOHandler::iohOpenSSL);
  pusher.Token();  // the JWT client stays set: the OAuth client is asked instead
  TkfxHTTP2Client& client = *pusher.client;
  TkfxHTTP_JWT_Client* jwt = pusher.jwt.get();
  auto signing = [jwt] {
    // Each answer signs at its own second, so tokens of two sources differ.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    return jwt->Sign();
  };
  auto first = MakeOwned<TTestOAuthClient>(nullptr);
  first->Mode = TTestOAuthClient::TMode::kLater;
  first->MakeToken = signing;
  client.Authentication().Token().SetOAuth(first.get());
  const std::string url = mock.DeviceUrl(kDevice);
  EXPECT_EQ(pusher.Push(url), "Push Notification sent successfully.");
  EXPECT_EQ(pusher.Push(url), "Push Notification sent successfully.");
  EXPECT_EQ(first->Starts.load(), 1);
  EXPECT_FALSE(jwt->OnAuthToken);
  // A disconnect drops it: the next push asks again.
  client.SetActive(false);
  EXPECT_EQ(pusher.Push(url), "Push Notification sent successfully.");
  EXPECT_EQ(first->Starts.load(), 2);
  EXPECT_EQ(client.ProviderTokens().Signatures(), 0u);

  std::mutex lock;
  std::vector<std::string> outcomes;
  client.OnHTTP2Response = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                               TkfxHTTP2ResponseProperty* Response) {
    std::lock_guard guard(lock);
    outcomes.push_back(std::to_string(Response->Status()));
  };
  client.OnHTTP2RequestFailed = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                    const std::string& aReason) {
    std::lock_guard guard(lock);
    outcomes.push_back(aReason);
  };
  auto queued = [&](int aCount) {
    {
      std::lock_guard guard(lock);
      outcomes.clear();
    }
    for (int i = 0; i < aCount; ++i) {
      TMemoryStream body;
      body.WriteBuffer(kPayload.data(), static_cast<int64_t>(kPayload.size()));
      body.SetPosition(0);
      client.PostAsync(url, &body);
    }
    EXPECT_TRUE(PumpUntil(
        [&] {
          std::lock_guard guard(lock);
          return outcomes.size() >= static_cast<size_t>(aCount);
        }, 15s));
    std::lock_guard guard(lock);
    return outcomes;
  };
  // A new source: its token is fetched once, on the request thread.
  auto second = MakeOwned<TTestOAuthClient>(nullptr);
  second->Mode = TTestOAuthClient::TMode::kLater;
  second->MakeToken = signing;
  client.Authentication().Token().SetOAuth(second.get());
  EXPECT_EQ(queued(20), std::vector<std::string>(20, "200"));
  EXPECT_EQ(second->Starts.load(), 1);

  auto refusing = MakeOwned<TTestOAuthClient>(nullptr);
  refusing->Mode = TTestOAuthClient::TMode::kError;
  std::atomic<int> disconnects{0};
  client.OnHTTP2Disconnect = [&](TObject*, TkfxHTTP2ConnectionClient*) { ++disconnects; };
  client.Authentication().Token().SetOAuth(refusing.get());
  // Another token source takes a new connection; the failed push gives that
  // one up too. A queued push then goes on a third.
  EXPECT_EQ(pusher.Push(url), "");
  EXPECT_TRUE(PumpUntil([&] { return disconnects.load() >= 2; }, 5s));
  EXPECT_EQ(queued(1), std::vector<std::string>{"Error invalid_grant. The grant has expired."});
  client.SetActive(false);

  // The server saw the first source's token twice, its next one once, then
  // the second source's.
  const auto lines = mock.LogLines();
  ASSERT_EQ(lines.size(), 23u);
  EXPECT_EQ(Header(lines[0], "authorization"), Header(lines[1], "authorization"));
  EXPECT_NE(Header(lines[1], "authorization"), Header(lines[2], "authorization"));
  EXPECT_NE(Header(lines[2], "authorization"), Header(lines[3], "authorization"));
  for (size_t i = 3; i < lines.size(); ++i) EXPECT_EQ(Header(lines[i], "authorization"), Header(lines[3], "authorization"));
  EXPECT_EQ(Header(lines[0], "authorization").rfind("Bearer ", 0), 0u) << lines[0];
}

// Answers of queued pushes, as they arrive (status and body).
struct Answers {
  explicit Answers(TkfxHTTP2Client& aClient) {
    aClient.OnHTTP2Response = [this](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                     TkfxHTTP2ResponseProperty* Response) {
      std::lock_guard guard(Lock);
      Items.push_back(std::to_string(Response->Status()) + " " + Response->DataUTF8());
    };
    aClient.OnHTTP2RequestFailed = [this](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                          const std::string& aReason) {
      std::lock_guard guard(Lock);
      Items.push_back(aReason);
    };
  }
  size_t Count() {
    std::lock_guard guard(Lock);
    return Items.size();
  }
  std::mutex Lock;
  std::vector<std::string> Items;
};

void PostQueued(TkfxHTTP2Client& aClient, const std::string& aURL, int aCount) {
  for (int i = 0; i < aCount; ++i) {
    TMemoryStream body;
    body.WriteBuffer(kPayload.data(), static_cast<int64_t>(kPayload.size()));
    body.SetPosition(0);
    aClient.PostAsync(aURL, &body);
  }
}

const std::string kExpired = "403 {\"reason\":\"ExpiredProviderToken\"}";

// A token that the server refuses as expired is replaced once, however many
// requests carried it: with pushes in flight, the refusals after the first
// find it replaced already. Synchronous and queued answers alike.
TEST_F(ClientApnsMockToken, RefusedAsExpiredMakesExactlyOneNewToken) {
  struct Case {
    const char* Name;
    bool Queued;
    int First, Then;  // pushes while the token is the expired one, and after
  };
  const Case cases[] = {{"synchronous", false, 1, 3}, {"queued", true, 300, 50}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TkfxHTTP2_ProviderTokens::Process().Clear();
    std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
    // All streams at once, each answered late: the first pushes are in
    // flight together.
    options.insert(options.end(), {"--no-auth-stream-limit", "--delay", "200"});
    apns_test::ApnsMock mock(options);
    Pusher pusher(TwsTLSIOHandler::iohOpenSSL);
    pusher.Token();
    TkfxHTTP2_ProviderTokens& tokens = pusher.client->ProviderTokens();
    // The identity's current token is one the server finds expired.
    const std::string expired = apns_test::MakeProviderToken({.iat_offset_seconds = -3700});
    ASSERT_TRUE(tokens.Acquire(JWTSigningIdentity(*pusher.jwt), 2400 * 1000, 1000,
                               [&] { return TkfxProviderToken{"Bearer", expired}; }));
    const uint64_t signatures = tokens.Signatures();
    const std::string url = mock.DeviceUrl(kDevice);
    std::vector<std::string> answers;
    if (c.Queued) {
      Answers queued(*pusher.client);
      PostQueued(*pusher.client, url, c.First);
      EXPECT_TRUE(PumpUntil([&] { return queued.Count() >= static_cast<size_t>(c.First); }, 30s));
      PostQueued(*pusher.client, url, c.Then);
      EXPECT_TRUE(PumpUntil([&] { return queued.Count() >= static_cast<size_t>(c.First + c.Then); }, 30s));
      std::lock_guard guard(queued.Lock);
      answers = queued.Items;
    } else {
      for (int i = 0; i < c.First + c.Then; ++i) {
        const std::string logged = pusher.Push(url);
        answers.push_back(logged == "Push Notification sent successfully." ? "200 " : "403 " + logged);
      }
    }
    pusher.client->SetActive(false);
    // The first pushes are refused (all of them, when they were in flight
    // together); the rest go out under the one new token.
    const size_t refused = static_cast<size_t>(std::count(answers.begin(), answers.end(), kExpired));
    EXPECT_GE(refused, 1u);
    EXPECT_EQ(std::count(answers.begin(), answers.end(), "200 "), static_cast<long>(answers.size() - refused))
        << ::testing::PrintToString(answers);
    EXPECT_EQ(tokens.Signatures() - signatures, 1u);
    const auto lines = mock.LogLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(c.First + c.Then));
    const std::vector<std::string> used = TokensUsed(lines);
    ASSERT_EQ(used.size(), 2u);
    for (const std::string& line : lines)
      EXPECT_EQ(apns_test::JsonMember(line, "status") == "403", apns_test::JsonMember(line, "token_hash") == used[0])
          << line;
    std::cout << c.Name << ": " << refused << " of " << answers.size() << " refused as expired\n";
  }
}

// Components that sign with one identity share one token, however their JWT
// clients are set up, also when their request threads ask at the same time;
// another key id or key is another identity, with a token of its own.
TEST_F(ClientApnsMockToken, SharedByComponentsThatSignWithOneIdentity) {
  apns_test::TempDir dir;
  const std::string otherKey = dir.File("other.p8");
  const apns_test::CommandResult made = apns_test::RunCommand(
      {"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", otherKey});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  enum class TSetUp { kOneJWTClient, kTwoJWTClients, kOtherKeyId, kOtherKey };
  struct Case {
    const char* Name;
    TSetUp SetUp;
    size_t Tokens;
  };
  const Case cases[] = {{"two components, one JWT client", TSetUp::kOneJWTClient, 1},
                        {"two JWT clients with one key", TSetUp::kTwoJWTClients, 1},
                        {"another key id", TSetUp::kOtherKeyId, 2},
                        {"another key", TSetUp::kOtherKey, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TkfxHTTP2_ProviderTokens& tokens = TkfxHTTP2_ProviderTokens::Process();
    tokens.Clear();
    const uint64_t signatures = tokens.Signatures();
    apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
    Pusher a(TwsTLSIOHandler::iohOpenSSL), b(TwsTLSIOHandler::iohOpenSSL);
    a.Token();
    b.Token(c.SetUp == TSetUp::kOtherKeyId ? "OTHER12345" : std::string(apns_test::kKeyId));
    if (c.SetUp == TSetUp::kOneJWTClient) b.client->Authentication().Token().SetJWT(a.jwt.get());
    if (c.SetUp == TSetUp::kOtherKey) b.jwt->JWTOptions().Algorithms().ES().PrivateKey().LoadFromFile(otherKey);
    const std::string url = mock.DeviceUrl(kDevice);
    const bool shared = c.Tokens == 1;
    if (shared) {
      // Both connect and send at once: their request threads ask together.
      Answers answersA(*a.client), answersB(*b.client);
      PostQueued(*a.client, url, 200);
      PostQueued(*b.client, url, 200);
      EXPECT_TRUE(PumpUntil([&] { return answersA.Count() >= 200 && answersB.Count() >= 200; }, 30s));
      std::lock_guard guardA(answersA.Lock), guardB(answersB.Lock);
      EXPECT_EQ(answersA.Items, std::vector<std::string>(200, "200 "));
      EXPECT_EQ(answersB.Items, std::vector<std::string>(200, "200 "));
    }
    // Synchronous pushes from both, and the first one's again: the server
    // does not know the other identity's key, and the first one's token is
    // still its own.
    EXPECT_EQ(a.Push(url), "Push Notification sent successfully.");
    EXPECT_EQ(b.Push(url), shared ? "Push Notification sent successfully." : "{\"reason\":\"InvalidProviderToken\"}");
    EXPECT_EQ(a.Push(url), "Push Notification sent successfully.");
    a.client->SetActive(false);
    b.client->SetActive(false);
    const auto lines = mock.LogLines();
    ASSERT_EQ(lines.size(), shared ? 403u : 3u);
    EXPECT_EQ(TokensUsed(lines).size(), c.Tokens);
    EXPECT_EQ(apns_test::JsonMember(lines.front(), "token_hash"), apns_test::JsonMember(lines.back(), "token_hash"));
    EXPECT_EQ(tokens.Signatures() - signatures, c.Tokens);
  }
}

// A server that refuses a new token as too soon after another (another
// process signed with the key): the component keeps its token, reports each
// refused push through OnHTTP2Response, and connects again only after a
// delay that doubles with each refusal up to its bound.
TEST_F(ClientApnsMockToken, TooManyTokenUpdatesKeepsTheTokenAndDelaysTheReconnect) {
  apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
  const std::string url = mock.DeviceUrl(kDevice);
  // The key's current token, made by a component with a cache of its own.
  Pusher other(TwsTLSIOHandler::iohOpenSSL);
  other.Token();
  other.client->SetTokenClock(TicksNow);
  ASSERT_EQ(other.Push(url), "Push Notification sent successfully.");
  other.client->SetActive(false);

  Pusher pusher(TwsTLSIOHandler::iohOpenSSL);
  pusher.Token();
  TkfxHTTP2Client& client = *pusher.client;
  client.SetNotifyEvents(TwsNotifyEvent::neNoSync);  // events at the moment they happen
  client.SetReconnectBackoffBounds(100, 400);
  const uint64_t signatures = client.ProviderTokens().Signatures();
  using Clock = std::chrono::steady_clock;
  struct Event {
    std::string What;
    Clock::time_point At;
    int64_t Backoff;
  };
  std::mutex lock;
  std::vector<Event> events;
  auto record = [&](const std::string& aWhat) {
    std::lock_guard guard(lock);
    events.push_back({aWhat, Clock::now(), client.ReconnectBackoff()});
  };
  client.OnHTTP2Connect = [&](TObject*, TkfxHTTP2ConnectionClient*) { record("connect"); };
  client.OnHTTP2Disconnect = [&](TObject*, TkfxHTTP2ConnectionClient*) { record("disconnect"); };
  client.OnHTTP2Response = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                               TkfxHTTP2ResponseProperty* Response) {
    record(std::to_string(Response->Status()) + " " + Response->DataUTF8());
  };
  client.OnHTTP2RequestFailed = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                    const std::string& aReason) { record(aReason); };
  // Pushes not sent wait for the next connection, as a batch sender has them.
  client.OnHTTP2PendingRequests = [](TObject*, TkfxHTTP2ConnectionClient*, bool& aReconnect, bool& aClear) {
    aReconnect = true;
    aClear = false;
  };
  constexpr int kPushes = 4;
  PostQueued(client, url, kPushes);
  const auto count = [&](const std::string& aWhat) {
    std::lock_guard guard(lock);
    return std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.What == aWhat; });
  };
  const std::string refused = "429 {\"reason\":\"TooManyProviderTokenUpdates\"}";
  EXPECT_TRUE(PumpUntil([&] { return count("disconnect") >= kPushes; }, 30s));
  client.SetActive(false);
  std::lock_guard guard(lock);
  // Each connection takes one push, refused, and ends; the next one comes
  // after the delay that refusal set: 100, 200, 400, 400 ms.
  std::vector<std::string> order;
  std::vector<int64_t> delays;
  for (const Event& e : events) {
    order.push_back(e.What);
    if (e.What == refused) delays.push_back(e.Backoff);
  }
  std::vector<std::string> expected;
  for (int i = 0; i < kPushes; ++i) expected.insert(expected.end(), {"connect", refused, "disconnect"});
  ASSERT_EQ(order, expected);
  EXPECT_EQ(delays, (std::vector<int64_t>{100, 200, 400, 400}));
  for (size_t i = 3; i < events.size(); i += 3) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(events[i].At - events[i - 2].At);
    EXPECT_GE(waited.count(), events[i - 2].Backoff / 2) << i;
  }
  // One token, signed once, refused each time and never replaced.
  EXPECT_EQ(client.ProviderTokens().Signatures() - signatures, 1u);
  const auto lines = mock.LogLines();
  ASSERT_EQ(lines.size(), 1u + kPushes);
  const std::vector<std::string> used = TokensUsed(lines);
  ASSERT_EQ(used.size(), 2u);
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(apns_test::JsonMember(lines[i], "status"), "429");
    EXPECT_EQ(apns_test::JsonMember(lines[i], "token_hash"), used[1]);
    EXPECT_EQ(apns_test::JsonMember(lines[i], "conn"), std::to_string(i + 1));
  }
}

// A waited-for push answered after the waiting time: the caller gets no
// answer; the late answer reaches OnHTTP2Response with the request the push
// was sent with, which its stream kept after the call returned.
TEST_F(ClientApnsMockToken, ALateAnswerToAWaitedPushComesWithItsRequest) {
  std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--delay", "600"});
  apns_test::ApnsMock mock(options);
  Pusher pusher(TwsTLSIOHandler::iohOpenSSL);
  pusher.Token();
  std::mutex lock;
  std::vector<std::string> late;
  pusher.client->OnHTTP2Response = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty* Request,
                                       TkfxHTTP2ResponseProperty* Response) {
    std::lock_guard guard(lock);
    const std::string headers = Request->Request().CustomHeaders.Text();
    late.push_back(std::to_string(Response->Status()) + " " + Request->URL() +
                   (headers.find("apns-collapse-id: late-one") != std::string::npos ? " late-one" : " ?"));
  };
  EXPECT_EQ(pusher.Push(mock.DeviceUrl(kDevice)), "Push Notification sent successfully.");
  ASSERT_NE(pusher.client->HTTP2Connection(), nullptr);
  pusher.client->HTTP2Connection()->SetResponseTimeoutMs(100);
  pusher.client->Request().CustomHeaders.Add("apns-collapse-id: late-one");
  EXPECT_NE(pusher.Push(mock.DeviceUrl(kDevice)), "Push Notification sent successfully.");
  // The caller's settings change at once; the stream's copy must not.
  pusher.client->Request().CustomHeaders.Clear();
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard guard(lock);
    return !late.empty();
  }));
  std::lock_guard guard(lock);
  EXPECT_EQ(late, (std::vector<std::string>{"200 /3/device/" + kDevice + " late-one"}));
}

TEST(ClientApnsMockQueued, EveryPushEndsOnceAcrossGoAwayAndClose) {
  struct Case {
    std::vector<std::string> Options;
    int Count;
  };
  // Short connections make many reconnects: each must find its way back.
  const std::vector<Case> cases = {{{"--goaway-after", "900"}, 10000},
                                   {{"--close-after", "700"}, 10000},
                                   {{"--close-after", "4", "--max-concurrent-streams", "8"}, 150}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Options[0] + " " + c.Options[1]);
    std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
    options.insert(options.end(), c.Options.begin(), c.Options.end());
    apns_test::ApnsMock mock(options);
    Pusher pusher(TwsTLSIOHandler::iohOpenSSL);
    pusher.Token();
    TkfxHTTP2Client& client = *pusher.client;
    client.SetRequestMaxRetries(50);
    std::mutex lock;
    std::map<std::string, int> answered, failed;
    std::atomic<int> outcomes{0};
    client.OnHTTP2Response = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                 TkfxHTTP2ResponseProperty* Response) {
      std::lock_guard guard(lock);
      if (Response->Status() == 200) ++answered[Response->Headers().Values("apns-id")];
      else ++failed["status " + std::to_string(Response->Status())];
      ++outcomes;
    };
    client.OnHTTP2RequestFailed = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty* Request,
                                      const std::string& aReason) {
      std::lock_guard guard(lock);
      ++failed[aReason + " " + Request->Request().CustomHeaders.Text()];
      ++outcomes;
    };
    client.OnHTTP2PendingRequests = [](TObject*, TkfxHTTP2ConnectionClient*, bool& aReconnect, bool& aClear) {
      aReconnect = true;
      aClear = false;
    };
    const int count = c.Count;
    std::set<std::string> ids;
    for (int i = 0; i < count; ++i) {
      char id[40];
      std::snprintf(id, sizeof id, "%08x-0000-4000-8000-%012x", 0xabc, i);
      ids.insert(id);
      client.Request().CustomHeaders.Clear();
      client.Request().CustomHeaders.Add("apns-topic: com.example.App");
      client.Request().CustomHeaders.Add(std::string("apns-id: ") + id);
      const std::string payload = "{\"aps\":{\"alert\":\"" + std::to_string(i) + "\"}}";
      TMemoryStream body;
      body.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));
      body.SetPosition(0);
      client.PostAsync(mock.DeviceUrl(kDevice), &body);
    }
    const bool done = PumpUntil([&] { return outcomes.load() >= count; }, 60s);
    if (!done) {
      std::map<std::string, int> statuses;
      for (const std::string& line : mock.LogLines())
        ++statuses[apns_test::JsonMember(line, "conn") + "/" + apns_test::JsonMember(line, "status")];
      ADD_FAILURE() << outcomes.load() << " queued " << client.Requests().Count() << " pending "
                    << client.RequestsPending().Count() << " enabled " << client.Requests().Enabled() << " conn "
                    << (client.HTTP2Connection() != nullptr) << " active " << client.Active() << " open "
                    << (client.HTTP2Connection() ? client.HTTP2Connection()->OpenStreams() : -1) << " "
                    << ::testing::PrintToString(statuses) << ::testing::PrintToString(pusher.exceptions);
      return;
    }
    CheckSynchronize(100);
    EXPECT_EQ(outcomes.load(), count);
    std::lock_guard guard(lock);
    EXPECT_TRUE(failed.empty()) << ::testing::PrintToString(failed);
    EXPECT_EQ(answered.size(), static_cast<size_t>(count));
    EXPECT_EQ(Repeated(answered), "");
    pusher.client->SetActive(false);
    // The server answered each push once.
    std::map<std::string, int> delivered;
    for (const std::string& line : mock.LogLines())
      if (apns_test::JsonMember(line, "status") == "200") ++delivered[Header(line, "apns-id")];
    EXPECT_EQ(delivered.size(), static_cast<size_t>(count));
    EXPECT_EQ(Repeated(delivered), "") << ::testing::PrintToString(pusher.exceptions);
  }
}

}  // namespace
