// Every queued request of the HTTP/2 client component ends with an outcome,
// even when giving one of them its outcome fails: the end of a connection
// drops the queued requests one by one, and a failure while one of them is
// reported neither loses the others nor the disconnect event. The server
// (apns-mock) keeps the first requests unanswered and closes the connection
// abruptly at the third.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/apns_mock_harness.h"
#include "http2/client/kfxHTTP.h"
#include "rtl/MainThread.h"
#include "tests/support/wait.h"

namespace {

const std::string kDevice(64, 'b');
const std::string kPayload = "{\"aps\":{\"alert\":\"hi\"}}";

// A component whose outcome delivery fails once, as an override (or a
// notification record that cannot be made) may.
class TFailingOnceClient : public TkfxHTTP2Client {
 public:
  using TkfxHTTP2Client::TkfxHTTP2Client;
  std::atomic<bool> Failed{false};

 protected:
  void DoNotifyHTTP2RequestFailed(const TkfxHTTP2ConnectionClientRef& Connection, TkfxHTTP2_RequestPtr aItem,
                                  const std::string& aReason) override {
    if (!Failed.exchange(true)) throw Exception("The outcome could not be delivered.");
    TkfxHTTP2Client::DoNotifyHTTP2RequestFailed(Connection, std::move(aItem), aReason);
  }
};

TEST(ClientOutcomes, AFailedOutcomeLosesNeitherTheOthersNorTheDisconnect) {
  constexpr int kPushes = 6;
  std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--close-after", "3", "--delay", "60000"});
  apns_test::ApnsMock mock(options);
  auto client = MakeOwned<TFailingOnceClient>(nullptr);
  client->SetNotifyEvents(TwsNotifyEvent::neNoSync);
  client->TLSOptions().SetIOHandler(TwsTLSIOHandler::iohOpenSSL);
  client->TLSOptions().SetRootCertFile(apns_test::FixturePath("ca.crt"));
  client->TLSOptions().SetVerifyCertificate(true);
  client->TLSOptions().SetCertFile(apns_test::FixturePath("client.p12"));
  client->TLSOptions().SetKeyFile(apns_test::FixturePath("client.p12"));
  client->TLSOptions().SetPassword("secret");
  client->Request().CustomHeaders.Add("apns-topic: com.example.App");
  std::mutex lock;
  std::vector<std::string> failures, exceptions;
  std::atomic<int> disconnects{0}, answers{0};
  client->OnHTTP2RequestFailed = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                     const std::string& aReason) {
    std::lock_guard guard(lock);
    failures.push_back(aReason);
  };
  client->OnHTTP2Exception = [&](TObject*, TkfxHTTP2ConnectionClient*, Exception* E) {
    std::lock_guard guard(lock);
    exceptions.push_back(E ? E->Message() : "");
  };
  client->OnHTTP2Disconnect = [&](TObject*, TkfxHTTP2ConnectionClient*) { ++disconnects; };
  client->OnHTTP2Response = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                TkfxHTTP2ResponseProperty*) { ++answers; };
  TMemoryStream body;
  body.WriteBuffer(kPayload.data(), static_cast<int64_t>(kPayload.size()));
  for (int i = 0; i < kPushes; ++i) client->PostAsync(mock.DeviceUrl(kDevice), &body);
  auto failed = [&] {
    std::lock_guard guard(lock);
    return failures.size();
  };
  // The one whose delivery failed is reported instead of its outcome.
  const bool done = apns_test::PumpUntil([&] { return failed() == kPushes - 1 && disconnects.load() == 1; }, std::chrono::seconds(30));
  std::lock_guard guard(lock);
  EXPECT_TRUE(done) << failures.size() << " failed, " << disconnects.load() << " disconnects, "
                    << ::testing::PrintToString(exceptions);
  EXPECT_TRUE(client->Failed.load());
  EXPECT_EQ(answers.load(), 0);
  EXPECT_NE(std::find(exceptions.begin(), exceptions.end(), "The outcome could not be delivered."), exceptions.end())
      << ::testing::PrintToString(exceptions);
  for (const std::string& reason : failures)
    EXPECT_TRUE(reason == "The request was dropped: the connection ended." ||
                reason == "The stream of the request was reset.")
        << reason;
  EXPECT_TRUE(client->Requests().Empty());
  EXPECT_TRUE(client->RequestsPending().Empty());
}

}  // namespace
