// Requests sent as one batch without waiting, against the project's
// apns-mock over TLS: a batch takes only the stream slots that are free, its
// frames reach the server as valid requests, and what it could not send goes
// out in a later batch.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/apns_mock_harness.h"
#include "tests/http2/client/h2_test_client.h"
#include "tests/support/wait.h"

namespace {

using apns_test::PumpUntil;

const std::string kPath = "/3/device/" + std::string(64, 'b');

TEST(ClientConnectionBatch, TakesOnlyFreeSlotsAndEveryRequestIsAnswered) {
  auto options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--no-auth-stream-limit", "--max-concurrent-streams", "3"});
  apns_test::ApnsMock mock(options);
  TH2TestClient client(mock.port());
  std::mutex lock;
  std::vector<std::string> answers;  // "request-id status"
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnStreamResponse = [&](TObject*, TkfxHTTP2ConnectionClient* conn, TkfxHTTP2_StreamResponse* s) {
      {
        std::lock_guard guard(lock);
        answers.push_back(TkfxHTTP2ConnectionClient::StreamRequest(s)->ID + " " + std::to_string(s->Frame_Headers()->Status()));
      }
      conn->DoCloseStream(s->StreamIdentifier);
    };
  };
  client.SetTLS(true);
  client.TLSOptions().SetIOHandler(TwsTLSIOHandler::iohOpenSSL);
  client.TLSOptions().ALPNProtocols().Add("h2");
  client.TLSOptions().SetVersion(TwsTLSVersions::tls1_2);
  ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.Notes());
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  ASSERT_TRUE(PumpUntil([&] { return h2->SettingsReceived() && h2->PeerMaxConcurrentStreams() == 3; }));

  const std::string token = apns_test::MakeProviderToken();
  constexpr int kCount = 5;
  TkfxHTTP2Request requests[kCount];
  TMemoryStream bodies[kCount];
  std::vector<TkfxHTTP2NoWaitRequest> batch(kCount);
  for (int i = 0; i < kCount; ++i) {
    requests[i].ID = "push-" + std::to_string(i);
    requests[i].CustomHeaders.Add("apns-topic: com.example.App");
    requests[i].CustomHeaders.Add("authorization: bearer " + token);
    const std::string payload = "{\"aps\":{\"alert\":\"" + std::to_string(i) + "\"}}";
    bodies[i].WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));
    batch[static_cast<size_t>(i)] = {Th2Methods::h2mePost, &kPath, &bodies[i], &requests[i], 0};
  }
  // Three slots: the first three go, in order, on rising streams.
  ASSERT_EQ(h2->SendRequestsNoWait(batch, 2000), 3);
  EXPECT_EQ(batch[0].StreamIdentifier, 1);
  EXPECT_EQ(batch[1].StreamIdentifier, 3);
  EXPECT_EQ(batch[2].StreamIdentifier, 5);
  EXPECT_EQ(batch[3].StreamIdentifier, 0);
  EXPECT_EQ(batch[4].StreamIdentifier, 0);
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard guard(lock);
    return answers.size() == 3;
  }));
  // The rest in a second batch once the answers freed their slots.
  ASSERT_TRUE(PumpUntil([&] { return h2->OpenStreams() == 0; }));
  std::span<TkfxHTTP2NoWaitRequest> rest(batch.data() + 3, 2);
  ASSERT_EQ(h2->SendRequestsNoWait(rest, 2000), 2);
  EXPECT_EQ(batch[3].StreamIdentifier, 7);
  EXPECT_EQ(batch[4].StreamIdentifier, 9);
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard guard(lock);
    return answers.size() == kCount;
  }));
  {
    std::lock_guard guard(lock);
    std::sort(answers.begin(), answers.end());
    EXPECT_EQ(answers, (std::vector<std::string>{"push-0 200", "push-1 200", "push-2 200", "push-3 200",
                                                 "push-4 200"}));
  }
  client.Disconnect(5000);
  // The server read each body whole.
  const auto lines = mock.LogLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kCount));
  for (const std::string& line : lines) EXPECT_EQ(apns_test::JsonMember(line, "status"), "200") << line;
}

}  // namespace
