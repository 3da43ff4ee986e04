// The HTTP/2 client connection over TLS against the project's apns-mock:
// ALPN h2, answers with statuses and reasons, and the one-stream start of a
// token connection that the server raises after the first valid token.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "apns_mock_harness.h"
#include "h2_test_client.h"

namespace {

std::string Text(TMemoryStream& aStream) {
  const TIdBytes& bytes = aStream.Bytes();
  return std::string(bytes.begin(), bytes.end());
}

const std::string kDevice(64, 'a');

TEST(ClientConnectionApnsMock, PushesAreAnsweredWithStatusAndReason) {
  apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
  TH2TestClient client(mock.port());
  client.SetTLS(true);
  client.TLSOptions().SetIOHandler(TwsTLSIOHandler::iohOpenSSL);
  client.TLSOptions().ALPNProtocols().Add("h2");
  client.TLSOptions().SetVersion(TwsTLSVersions::tls1_2);
  client.TLSOptions().OpenSSL_Options().SetAPIVersion(TwsOpenSSLAPI::oslAPI_1_1);
  ASSERT_TRUE(client.Connect(10000)) << ::testing::PrintToString(client.Notes());
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  ASSERT_TRUE(WaitFor([&] { return h2->PeerMaxConcurrentStreams() == 1; }));
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
  EXPECT_TRUE(WaitFor([&] { return h2->PeerMaxConcurrentStreams() == 1000; }));
  client.Disconnect(5000);
  const auto lines = mock.LogLines();
  ASSERT_EQ(lines.size(), cases.size());
  EXPECT_EQ(apns_test::JsonMember(lines[0], "status"), "200");
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
  client.TLSOptions().OpenSSL_Options().SetAPIVersion(TwsOpenSSLAPI::oslAPI_1_1);
  bool refused = false;
  for (int attempt = 0; attempt < 50 && !refused; ++attempt) {
    client.Connect(5000);
    for (const std::string& note : client.Notes())
      if (note == "exception ALPN h2 is not supported.") refused = true;
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(20));  // nginx still starting
  }
  EXPECT_TRUE(refused) << ::testing::PrintToString(client.Notes());
  EXPECT_TRUE(WaitFor([&] { return !client.Active(); }));
  client.Disconnect(5000);
  nginx.Stop();
  EXPECT_EQ(apns_test::ReadFile(dir.File("access.log")), "");
}

}  // namespace
