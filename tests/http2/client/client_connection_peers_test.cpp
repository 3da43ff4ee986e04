// The HTTP/2 client connection against real servers on loopback: nghttpd
// (cleartext h2) with small windows, a zero header table, a stream limit,
// pushes, trailers and a multi-megabyte answer, and nginx with http2.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "tests/support/apns_mock_harness.h"
#include "tests/http2/client/h2_test_client.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using apns_test::PumpUntil;

using apns_test::ChildProcess;
using apns_test::TempDir;

using apns_test::FreePort;
using apns_test::PortOpen;

bool WaitPort(int aPort, ChildProcess& aProcess) {
  for (int i = 0; i < 500; ++i) {
    if (PortOpen(aPort)) return true;
    if (aProcess.Wait(std::chrono::milliseconds(10))) return false;
  }
  return false;
}

std::string Text(TMemoryStream& aStream) {
  const TIdBytes& bytes = aStream.Bytes();
  return std::string(bytes.begin(), bytes.end());
}

std::string RandomText(size_t aSize) {
  std::mt19937 random(7);
  std::string text(aSize, '\0');
  for (char& c : text) c = char('a' + random() % 26);
  return text;
}

// nghttpd serving a folder in cleartext h2 on a free loopback port.
class Nghttpd {
 public:
  explicit Nghttpd(std::vector<std::string> aOptions) {
    std::filesystem::create_directories(FDir.path() / "www");
    FPort = FreePort();
    std::vector<std::string> argv = {"/usr/sbin/nghttpd", "-a", "127.0.0.1", "--no-tls", "-d", FDir.File("www")};
    argv.insert(argv.end(), aOptions.begin(), aOptions.end());
    argv.push_back(std::to_string(FPort));
    FProcess.emplace(argv, FDir.File("out"), FDir.File("err"));
    FReady = WaitPort(FPort, *FProcess);
  }
  ~Nghttpd() {
    if (FProcess) FProcess->Stop();
  }
  void AddFile(const std::string& aName, const std::string& aContent) {
    std::filesystem::create_directories((FDir.path() / "www" / aName).parent_path());
    apns_test::WriteFile((FDir.path() / "www" / aName).string(), aContent);
  }
  int Port() const { return FPort; }
  bool Ready() const { return FReady; }

 private:
  TempDir FDir;
  int FPort = 0;
  std::optional<ChildProcess> FProcess;
  bool FReady = false;
};

bool HaveNghttpd() { return ::access("/usr/sbin/nghttpd", X_OK) == 0; }

TEST(ClientConnectionNghttpd, AnswersUnderEachServerSetting) {
  if (!HaveNghttpd()) GTEST_SKIP() << "nghttpd is not installed";
  const std::string big = RandomText(3 * 1024 * 1024 + 17);
  struct Case {
    const char* Name;
    std::vector<std::string> Options;
  };
  const std::vector<Case> cases = {
      {"defaults", {}},
      {"small windows", {"-w", "10", "-W", "12"}},
      {"no header table", {"-c", "0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto options = c.Options;
    options.push_back("--echo-upload");
    Nghttpd server(options);
    ASSERT_TRUE(server.Ready());
    server.AddFile("index.html", "hello\n");
    server.AddFile("big.bin", big);
    TH2TestClient client(server.Port());
    client.SetActive(true);
    auto h2 = client.H2();
    ASSERT_TRUE(h2);
    TkfxHTTP2Request request;
    request.CustomHeaders.Add("x-repeated: the same value each time");
    // Several requests in turn: the header tables stay in step.
    for (int i = 0; i < 3; ++i) {
      TMemoryStream answer;
      h2->Get("/index.html", &answer, &request);
      ASSERT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered) << ::testing::PrintToString(client.Notes());
      EXPECT_EQ(h2->Response().Status(), 200);
      EXPECT_EQ(Text(answer), "hello\n");
    }
    TMemoryStream download;
    h2->Get("/big.bin", &download, &request);
    ASSERT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered) << ::testing::PrintToString(client.Notes());
    EXPECT_EQ(download.Size(), int64_t(big.size()));
    EXPECT_TRUE(Text(download) == big);
    // An upload through the send windows, echoed back.
    TMemoryStream source, echo;
    source.WriteBuffer(big.data(), int64_t(big.size()));
    h2->Post("/upload", &source, &echo, &request);
    ASSERT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
    EXPECT_EQ(echo.Size(), int64_t(big.size()));
    EXPECT_TRUE(Text(echo) == big);
    TMemoryStream missing;
    h2->Get("/missing", &missing, &request);
    EXPECT_EQ(h2->Response().Status(), 404);
    client.SetActive(false);
  }
}

// nghttpd --trailer ends each answer with a trailer part after its DATA:
// the answer keeps its own header block, the trailers come beside it, for
// waited and queued requests, small and large bodies.
TEST(ClientConnectionNghttpd, TrailersArriveBesideTheHeaders) {
  if (!HaveNghttpd()) GTEST_SKIP() << "nghttpd is not installed";
  Nghttpd server({"--trailer", "x-checksum: abc123", "--trailer", "x-note: done"});
  ASSERT_TRUE(server.Ready());
  const std::string big = RandomText(200 * 1024 + 3);
  server.AddFile("index.html", "hello\n");
  server.AddFile("big.bin", big);
  std::mutex lock;
  std::vector<std::string> queued;
  TH2TestClient client(server.Port());
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnStreamResponse = [&](TObject*, TkfxHTTP2ConnectionClient* conn, TkfxHTTP2_StreamResponse* s) {
      std::string line = std::to_string(s->Frame_Headers()->Status());
      if (s->Frame_Trailers())
        for (const std::string& t : s->Frame_Trailers()->Headers().Lines()) line += " " + t;
      std::lock_guard guard(lock);
      queued.push_back(line);
      conn->DoCloseStream(s->StreamIdentifier);
    };
  };
  client.SetActive(true);
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  TkfxHTTP2Request request;
  for (const auto& [path, body] : {std::pair<std::string, std::string>{"/index.html", "hello\n"}, {"/big.bin", big}}) {
    SCOPED_TRACE(path);
    TMemoryStream answer;
    h2->Get(path, &answer, &request);
    ASSERT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered) << ::testing::PrintToString(client.Notes());
    EXPECT_EQ(h2->Response().Status(), 200);
    EXPECT_TRUE(Text(answer) == body);
    EXPECT_EQ(h2->ResponseTrailers().Lines(), (std::vector<std::string>{"x-checksum=abc123", "x-note=done"}));
    EXPECT_EQ(h2->Response().Headers().Values(":status"), "200");
  }
  for (int i = 0; i < 3; ++i) h2->Get("/index.html", nullptr, &request);
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard guard(lock);
    return queued.size() == 3;
  }));
  for (const std::string& line : queued) EXPECT_EQ(line, "200 x-checksum=abc123 x-note=done");
  EXPECT_EQ(client.Notes(), std::vector<std::string>{});
  client.SetActive(false);
}

TEST(ClientConnectionNghttpd, QueuedRequestsBeyondTheStreamLimitAllAnswered) {
  if (!HaveNghttpd()) GTEST_SKIP() << "nghttpd is not installed";
  Nghttpd server({"-m", "2"});
  ASSERT_TRUE(server.Ready());
  server.AddFile("index.html", "hello\n");
  TH2TestClient client(server.Port());
  std::atomic<int> ok{0}, other{0};
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnStreamResponse = [&](TObject*, TkfxHTTP2ConnectionClient* conn, TkfxHTTP2_StreamResponse* s) {
      (s->Frame_Headers() && s->Frame_Headers()->Status() == 200 ? ok : other)++;
      conn->DoCloseStream(s->StreamIdentifier);
    };
  };
  client.SetActive(true);
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  ASSERT_TRUE(PumpUntil([&] { return h2->PeerMaxConcurrentStreams() == 2; }));
  TkfxHTTP2Request request;
  for (int i = 0; i < 50; ++i) h2->Get("/index.html", nullptr, &request);
  EXPECT_TRUE(PumpUntil([&] { return ok.load() + other.load() == 50; }, 10s));
  EXPECT_EQ(ok.load(), 50);
  EXPECT_LE(h2->OpenStreams(), 0);
}

TEST(ClientConnectionNghttpd, PushedAnswersArriveAsEvents) {
  if (!HaveNghttpd()) GTEST_SKIP() << "nghttpd is not installed";
  Nghttpd server({"-p/index.html=/pushed.css"});
  ASSERT_TRUE(server.Ready());
  server.AddFile("index.html", "hello\n");
  server.AddFile("pushed.css", "body{}\n");
  TH2TestClient client(server.Port());
  std::mutex lock;
  std::string promised, pushedBody;
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnPushPromise = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2_Frame_PushPromise* f, bool&) {
      std::lock_guard guard(lock);
      promised = f->URL();
    };
    c.OnStreamResponse = [&](TObject*, TkfxHTTP2ConnectionClient* conn, TkfxHTTP2_StreamResponse* s) {
      std::lock_guard guard(lock);
      if (s->Frame_Data()) pushedBody = s->Frame_Data()->DataString();
      conn->DoCloseStream(s->StreamIdentifier);
    };
  };
  client.SetActive(true);
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  TkfxHTTP2Request request;
  TMemoryStream answer;
  h2->Get("/index.html", &answer, &request);
  EXPECT_EQ(Text(answer), "hello\n");
  EXPECT_TRUE(PumpUntil([&] {
    std::lock_guard guard(lock);
    return !pushedBody.empty();
  }));
  std::lock_guard guard(lock);
  EXPECT_EQ(promised, "/pushed.css");
  EXPECT_EQ(pushedBody, "body{}\n");
}

// Synchronous requests on the main thread while another thread queues
// requests and pings: identifiers, HPACK state and waiters stay consistent.
TEST(ClientConnectionNghttpd, SynchronousAndQueuedRequestsInterleave) {
  if (!HaveNghttpd()) GTEST_SKIP() << "nghttpd is not installed";
  Nghttpd server({"-w", "14", "--echo-upload"});
  ASSERT_TRUE(server.Ready());
  server.AddFile("index.html", "hello\n");
  TH2TestClient client(server.Port());
  std::atomic<int> answered{0};
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnStreamResponse = [&](TObject*, TkfxHTTP2ConnectionClient* conn, TkfxHTTP2_StreamResponse* s) {
      ++answered;
      conn->DoCloseStream(s->StreamIdentifier);
    };
  };
  client.SetActive(true);
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  const std::string body = RandomText(40000);
  std::thread queued([&] {
    TkfxHTTP2Request request;
    request.CustomHeaders.Add("x-from: queue");
    for (int i = 0; i < 40; ++i) {
      TMemoryStream source;
      source.WriteBuffer(body.data(), int64_t(body.size()));
      h2->Post("/up", &source, nullptr, &request);
      if (i % 5 == 0) h2->Ping();
    }
  });
  TkfxHTTP2Request request;
  request.CustomHeaders.Add("x-from: main");
  int good = 0;
  for (int i = 0; i < 40; ++i) {
    TMemoryStream answer;
    h2->Get("/index.html", &answer, &request);
    good += h2->WaitResult() == Th2WaitResult::h2wrAnswered && Text(answer) == "hello\n";
  }
  queued.join();
  EXPECT_EQ(good, 40);
  EXPECT_TRUE(PumpUntil([&] { return answered.load() == 40; }, 10s));
}

bool HaveNginx() { return ::access("/usr/sbin/nginx", X_OK) == 0; }

// nginx with cleartext http2 (prior knowledge) and few requests per connection.
TEST(ClientConnectionNginx, KeepaliveLimitEndsWithGoAwayAndNoStaleAnswer) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not installed";
  TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  std::filesystem::create_directories(dir.path() / "www");
  std::filesystem::create_directories(dir.path() / "tmp");
  apns_test::WriteFile(dir.File("www/index.html"), "hello\n");
  const int port = FreePort();
  const std::string d = dir.path().string();
  apns_test::WriteFile(dir.File("nginx.conf"),
                       "worker_processes 1;\nerror_log " + d + "/error.log info;\nevents { worker_connections 64; }\n"
                       "http {\n access_log " + d + "/access.log;\n client_body_temp_path " + d +
                           "/tmp/body;\n proxy_temp_path " + d + "/tmp/proxy;\n fastcgi_temp_path " + d +
                           "/tmp/fastcgi;\n uwsgi_temp_path " + d + "/tmp/uwsgi;\n scgi_temp_path " + d +
                           "/tmp/scgi;\n keepalive_requests 3;\n server {\n  listen 127.0.0.1:" +
                           std::to_string(port) + " http2;\n  root " + d + "/www;\n }\n}\n");
  ChildProcess nginx({"/usr/sbin/nginx", "-e", d + "/error.log", "-p", d, "-c", d + "/nginx.conf", "-g",
                      "daemon off; pid " + d + "/nginx.pid;"},
                     dir.File("out"), dir.File("err"));
  ASSERT_TRUE(WaitPort(port, nginx)) << apns_test::ReadFile(dir.File("err"));
  TH2TestClient client(port);
  std::atomic<int> goAways{0};
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnGoAway = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2GoAwayProperty*) { ++goAways; };
  };
  client.SetActive(true);
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  TkfxHTTP2Request request;
  for (int i = 0; i < 3; ++i) {
    TMemoryStream answer;
    h2->Get("/index.html", &answer, &request);
    EXPECT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
    EXPECT_EQ(Text(answer), "hello\n");
  }
  EXPECT_TRUE(PumpUntil([&] { return goAways.load() == 1 && !client.Active(); }));
  TMemoryStream late;
  h2->Get("/index.html", &late, &request);
  EXPECT_NE(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
  EXPECT_EQ(h2->Response().Status(), 0);
  EXPECT_EQ(late.Size(), 0);
  nginx.Stop();
}

}  // namespace
