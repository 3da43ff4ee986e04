// The HTTP/2 client connection over TLS against the project's apns-mock:
// ALPN h2, answers with statuses and reasons, and the one-stream start of a
// token connection that the server raises after the first valid token.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "tests/support/apns_mock_harness.h"
#include "tests/http2/client/h2_test_client.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using apns_test::PumpUntil;

std::string Text(TMemoryStream& aStream) {
  const TIdBytes& bytes = aStream.Bytes();
  return std::string(bytes.begin(), bytes.end());
}

const std::string kDevice(64, 'a');
const std::string kPayload = "{\"aps\":{\"alert\":\"hi\"}}";

void UseTLS(TH2TestClient& aClient) {
  aClient.SetTLS(true);
  aClient.TLSOptions().SetIOHandler(TwsTLSIOHandler::iohOpenSSL);
  aClient.TLSOptions().ALPNProtocols().Add("h2");
  aClient.TLSOptions().SetVersion(TwsTLSVersions::tls1_2);
}

void SetPush(TkfxHTTP2Request& aRequest, const std::string& aToken, const std::string& aID = "") {
  aRequest.ID = aID;
  aRequest.CustomHeaders.Clear();
  aRequest.CustomHeaders.Add("apns-topic: com.example.App");
  aRequest.CustomHeaders.Add("authorization: bearer " + aToken);
}

// Posts the payload; waits for the answer when aAnswer is given.
void Push(TkfxHTTP2ConnectionClient& aConnection, TkfxHTTP2Request& aRequest, TMemoryStream* aAnswer) {
  TMemoryStream payload;
  payload.WriteBuffer(kPayload.data(), static_cast<int64_t>(kPayload.size()));
  aConnection.Post("/3/device/" + kDevice, &payload, aAnswer, &aRequest);
}

// What the connection's events reported, collected across threads.
struct Outcomes {
  std::mutex Lock;
  std::vector<std::string> Answers;  // "stream status"
  std::vector<std::string> Failed;   // "stream id retry|final"
  std::vector<std::string> GoAways;  // "last code debug"
  void Wire(TkfxHTTP2ConnectionClient& c) {
    c.OnStreamResponse = [this](TObject*, TkfxHTTP2ConnectionClient* conn, TkfxHTTP2_StreamResponse* s) {
      {
        std::lock_guard guard(Lock);
        Answers.push_back(std::to_string(s->StreamIdentifier) + " " + std::to_string(s->Frame_Headers()->Status()));
      }
      conn->DoCloseStream(s->StreamIdentifier);
    };
    c.OnStreamFailed = [this](TObject*, TkfxHTTP2ConnectionClient*, int32_t aStream, const std::string& aID, bool aRetry) {
      std::lock_guard guard(Lock);
      Failed.push_back(std::to_string(aStream) + " " + aID + (aRetry ? " retry" : " final"));
    };
    c.OnGoAway = [this](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2GoAwayProperty* g) {
      std::lock_guard guard(Lock);
      GoAways.push_back(std::to_string(g->LastStreamId) + " " + std::to_string(g->ErrorCode) + " " +
                        g->AdditionalDebugData);
    };
  }
  template <class F>
  auto With(F aRead) {
    std::lock_guard guard(Lock);
    return aRead(*this);
  }
};

TEST(ClientConnectionApnsMock, PushesAreAnsweredWithStatusAndReason) {
  apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
  TH2TestClient client(mock.port());
  client.SetTLS(true);
  client.TLSOptions().SetIOHandler(TwsTLSIOHandler::iohOpenSSL);
  client.TLSOptions().ALPNProtocols().Add("h2");
  client.TLSOptions().SetVersion(TwsTLSVersions::tls1_2);
  ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.Notes());
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  ASSERT_TRUE(PumpUntil([&] { return h2->PeerMaxConcurrentStreams() == 1; }));
  const std::string token = apns_test::MakeProviderToken();
  struct Case {
    std::string Device;
    std::string Authorization;
    int Status;
    std::string Body;
  };
  const std::vector<Case> cases = {
      {kDevice, "bearer " + token, 200, ""},
      {"zz", "bearer " + token, 400, "{\"reason\":\"BadDeviceToken\"}"},
      {kDevice, "bearer " + apns_test::MakeProviderToken({.break_signature = true}), 403,
       "{\"reason\":\"InvalidProviderToken\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Device + " " + std::to_string(c.Status));
    TkfxHTTP2Request request;
    request.CustomHeaders.Add("apns-topic: com.example.App");
    request.CustomHeaders.Add("authorization: " + c.Authorization);
    TMemoryStream payload, answer;
    payload.WriteBuffer("{\"aps\":{\"alert\":\"hi\"}}", 22);
    h2->Post("/3/device/" + c.Device, &payload, &answer, &request);
    ASSERT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered) << ::testing::PrintToString(client.Notes());
    EXPECT_EQ(h2->Response().Status(), c.Status);
    EXPECT_EQ(Text(answer), c.Body);
  }
  // The first valid token lifted the one-stream start.
  EXPECT_TRUE(PumpUntil([&] { return h2->PeerMaxConcurrentStreams() == 1000; }));
  client.Disconnect(5000);
  const auto lines = mock.LogLines();
  ASSERT_EQ(lines.size(), cases.size());
  EXPECT_EQ(apns_test::JsonMember(lines[0], "status"), "200");
}

// GOAWAY after the third answer: the streams up to its last stream are
// answered, those above it are reported as safe to send again, and the
// connection ends after our own GOAWAY.
TEST(ClientConnectionApnsMock, GoAwayAfterAnswersRefusesTheStreamsAboveItsLast) {
  auto options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--goaway-after", "3", "--no-auth-stream-limit"});
  apns_test::ApnsMock mock(options);
  TH2TestClient client(mock.port());
  UseTLS(client);
  Outcomes outcomes;
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) { outcomes.Wire(c); };
  ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.Notes());
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  ASSERT_TRUE(PumpUntil([&] { return h2->SettingsReceived(); }));
  const std::string token = apns_test::MakeProviderToken();
  for (int i = 0; i < 6; ++i) {
    TkfxHTTP2Request request;
    SetPush(request, token, "push-" + std::to_string(i));
    Push(*h2, request, nullptr);
  }
  ASSERT_TRUE(PumpUntil([&] { return !client.Active(); }, 10s)) << ::testing::PrintToString(client.Notes());
  outcomes.With([](Outcomes& o) {
    EXPECT_EQ(o.Answers, (std::vector<std::string>{"1 200", "3 200", "5 200"}));
    // The six go out at once; one queued after the GOAWAY came would not be
    // sent at all, so only the streams that were sent are reported.
    const std::vector<std::string> above = {"7 push-3 retry", "9 push-4 retry", "11 push-5 retry"};
    EXPECT_LE(o.Failed.size(), above.size());
    for (size_t i = 0; i < o.Failed.size(); ++i) EXPECT_EQ(o.Failed[i], above[i]);
    EXPECT_EQ(o.GoAways, (std::vector<std::string>{"5 0 {\"reason\":\"Shutdown\"}"}));
    return 0;
  });
  // A request after the GOAWAY is not sent.
  TkfxHTTP2Request late;
  SetPush(late, token);
  TMemoryStream answer;
  Push(*h2, late, &answer);
  EXPECT_NE(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
  EXPECT_EQ(h2->Response().Status(), 0);
  client.Disconnect(5000);
  int answered = 0;
  for (const std::string& line : mock.LogLines()) answered += apns_test::JsonMember(line, "status") == "200";
  EXPECT_EQ(answered, 3);
}

// The server drops the connection when the second request arrives: the
// waiting caller is released at once as a failure, never with a success.
TEST(ClientConnectionApnsMock, AbruptCloseReleasesTheWaiterAsAFailure) {
  auto options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--close-after", "2"});
  apns_test::ApnsMock mock(options);
  TH2TestClient client(mock.port());
  UseTLS(client);
  ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.Notes());
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  TkfxHTTP2Request request;
  SetPush(request, apns_test::MakeProviderToken());
  TMemoryStream first, second;
  Push(*h2, request, &first);
  ASSERT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
  EXPECT_EQ(h2->Response().Status(), 200);
  const auto start = std::chrono::steady_clock::now();
  Push(*h2, request, &second);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(h2->WaitResult(), Th2WaitResult::h2wrDisconnected);
  EXPECT_EQ(h2->Response().Status(), 0);
  EXPECT_EQ(second.Size(), 0);
  EXPECT_LT(waited, std::chrono::seconds(5));  // released by the close, not by the 10 s time-out
  EXPECT_TRUE(PumpUntil([&] { return !client.Active(); }));
  client.Disconnect(5000);
}

// Answers later than the waiting time: the caller gets the time-out, the
// late answer arrives as an event and frees its stream.
TEST(ClientConnectionApnsMock, LateAnswerAfterTheTimeOutArrivesAsAnEvent) {
  auto options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--delay", "700", "--no-auth-stream-limit"});
  apns_test::ApnsMock mock(options);
  TH2TestClient client(mock.port());
  UseTLS(client);
  Outcomes outcomes;
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    outcomes.Wire(c);
    c.SetResponseTimeoutMs(200);
  };
  ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.Notes());
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  TkfxHTTP2Request request;
  SetPush(request, apns_test::MakeProviderToken());
  TMemoryStream answer;
  Push(*h2, request, &answer);
  EXPECT_EQ(h2->WaitResult(), Th2WaitResult::h2wrTimeout);
  EXPECT_EQ(h2->Response().Status(), 0);
  EXPECT_EQ(answer.Size(), 0);
  ASSERT_TRUE(PumpUntil([&] { return outcomes.With([](Outcomes& o) { return o.Answers.size(); }) == 1; }));
  outcomes.With([](Outcomes& o) {
    EXPECT_EQ(o.Answers, (std::vector<std::string>{"1 200"}));
    EXPECT_TRUE(o.Failed.empty());
    return 0;
  });
  EXPECT_EQ(h2->OpenStreams(), 0);
  // The connection goes on: a waited request with time enough is answered.
  h2->SetResponseTimeoutMs(5000);
  TMemoryStream second;
  Push(*h2, request, &second);
  EXPECT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
  EXPECT_EQ(h2->Response().Status(), 200);
  client.Disconnect(5000);
}

// A second token on the connection within 20 minutes: 429
// TooManyProviderTokenUpdates, then GOAWAY; the answer is delivered, the
// connection ends and nothing more is sent on it.
TEST(ClientConnectionApnsMock, TooManyTokenUpdatesEndsTheConnection) {
  apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
  TH2TestClient client(mock.port());
  UseTLS(client);
  Outcomes outcomes;
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) { outcomes.Wire(c); };
  ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.Notes());
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  TkfxHTTP2Request request;
  SetPush(request, apns_test::MakeProviderToken());
  TMemoryStream first, second;
  Push(*h2, request, &first);
  ASSERT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
  EXPECT_EQ(h2->Response().Status(), 200);
  SetPush(request, apns_test::MakeProviderToken({.iat_offset_seconds = -30}));
  Push(*h2, request, &second);
  ASSERT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered) << ::testing::PrintToString(client.Notes());
  EXPECT_EQ(h2->Response().Status(), 429);
  EXPECT_EQ(Text(second), "{\"reason\":\"TooManyProviderTokenUpdates\"}");
  ASSERT_TRUE(PumpUntil([&] { return !client.Active(); }, 5s));
  outcomes.With([](Outcomes& o) {
    EXPECT_EQ(o.GoAways, (std::vector<std::string>{"3 0 {\"reason\":\"TooManyProviderTokenUpdates\"}"}));
    return 0;
  });
  client.Disconnect(5000);
  EXPECT_EQ(mock.LogLines().size(), 2u);
}

// A TLS server that speaks only HTTP/1.1: the connection refuses it before
// the preface, so the server never sees a request.
TEST(ClientConnectionApnsMock, ServerWithoutH2IsRefusedBeforeThePreface) {
  if (::access("/usr/sbin/nginx", X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
  apns_test::TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  std::filesystem::create_directories(dir.path() / "tmp");
  const std::string d = dir.path().string();
  int port = 0;
  {
    apns_test::ApnsMock probe({});  // only to learn a free port
    port = probe.port();
  }
  apns_test::WriteFile(dir.File("nginx.conf"),
                       "worker_processes 1;\nerror_log " + d + "/error.log info;\nevents { worker_connections 64; }\n"
                       "http {\n access_log " + d + "/access.log;\n client_body_temp_path " + d +
                           "/tmp/body;\n proxy_temp_path " + d + "/tmp/proxy;\n fastcgi_temp_path " + d +
                           "/tmp/fastcgi;\n uwsgi_temp_path " + d + "/tmp/uwsgi;\n scgi_temp_path " + d +
                           "/tmp/scgi;\n server {\n  listen 127.0.0.1:" + std::to_string(port) +
                           " ssl;\n  ssl_certificate " + apns_test::FixturePath("server.crt") +
                           ";\n  ssl_certificate_key " + apns_test::FixturePath("server.key") +
                           ";\n  location / { return 200 'h1'; }\n }\n}\n");
  apns_test::ChildProcess nginx({"/usr/sbin/nginx", "-e", d + "/error.log", "-p", d, "-c", d + "/nginx.conf", "-g",
                                 "daemon off; pid " + d + "/nginx.pid;"},
                                dir.File("out"), dir.File("err"));
  TH2TestClient client(port);
  client.SetTLS(true);
  client.TLSOptions().SetIOHandler(TwsTLSIOHandler::iohOpenSSL);
  client.TLSOptions().ALPNProtocols().Add("h2");
  client.TLSOptions().ALPNProtocols().Add("http/1.1");
  client.TLSOptions().SetVersion(TwsTLSVersions::tls1_2);
  bool refused = false;
  for (int attempt = 0; attempt < 50 && !refused; ++attempt) {
    client.Connect(5000);
    for (const std::string& note : client.Notes())
      if (note == "exception ALPN h2 is not supported.") refused = true;
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(20));  // nginx still starting
  }
  EXPECT_TRUE(refused) << ::testing::PrintToString(client.Notes());
  EXPECT_TRUE(PumpUntil([&] { return !client.Active(); }));
  client.Disconnect(5000);
  nginx.Stop();
  EXPECT_EQ(apns_test::ReadFile(dir.File("access.log")), "");
}

}  // namespace
