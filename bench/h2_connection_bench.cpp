// Requests per second of the HTTP/2 client connection against nghttpd on
// loopback, next to h2load against the same server in the same run:
// waited requests one at a time (h2load -c1 -m1) and queued requests with
// up to 100 streams in flight (h2load -c1 -m100). Prints the ratios.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <thread>

#include "apns_mock_harness.h"
#include "h2_test_client.h"

namespace {

using Clock = std::chrono::steady_clock;

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, (sockaddr*)&addr, sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, (sockaddr*)&addr, &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool PortOpen(int aPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(uint16_t(aPort));
  const bool ok = ::connect(fd, (sockaddr*)&addr, sizeof addr) == 0;
  ::close(fd);
  return ok;
}

double H2loadRate(int aPort, int aCount, int aStreams) {
  auto result = apns_test::RunCommand({"h2load", "-n", std::to_string(aCount), "-c", "1", "-m",
                                       std::to_string(aStreams), "http://127.0.0.1:" + std::to_string(aPort) + "/index.html"},
                                      std::chrono::seconds(60));
  std::smatch m;
  static const std::regex rate(R"(finished in [0-9.]+m?s, ([0-9.]+) req/s)");
  if (!std::regex_search(result.out, m, rate)) return 0;
  return std::stod(m[1]);
}

}  // namespace

int main() {
  const int kSync = 3000, kQueued = 20000;
  apns_test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "www");
  apns_test::WriteFile(dir.File("www/index.html"), "hello\n");
  const int port = FreePort();
  apns_test::ChildProcess server({"/usr/sbin/nghttpd", "-a", "127.0.0.1", "--no-tls", "-m", "100", "-d",
                                  dir.File("www"), std::to_string(port)},
                                 dir.File("out"), dir.File("err"));
  for (int i = 0; i < 500 && !PortOpen(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  TH2TestClient client(port);
  std::atomic<int> answered{0};
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnStreamResponse = [&](TObject*, TkfxHTTP2ConnectionClient* conn, TkfxHTTP2_StreamResponse* s) {
      ++answered;
      conn->DoCloseStream(s->StreamIdentifier);
    };
  };
  client.SetActive(true);
  auto h2 = client.H2();
  if (!h2) {
    std::fprintf(stderr, "no connection\n");
    return 1;
  }
  TkfxHTTP2Request request;
  for (int i = 0; i < 200; ++i) {
    TMemoryStream answer;
    h2->Get("/index.html", &answer, &request);
  }
  auto t0 = Clock::now();
  int good = 0;
  for (int i = 0; i < kSync && Clock::now() - t0 < std::chrono::seconds(60); ++i) {
    TMemoryStream answer;
    h2->Get("/index.html", &answer, &request);
    good += h2->WaitResult() == Th2WaitResult::h2wrAnswered;
  }
  const double syncRate = good / std::chrono::duration<double>(Clock::now() - t0).count();
  const double h2loadSync = H2loadRate(port, kSync, 1);

  t0 = Clock::now();
  std::thread queue([&] {
    TkfxHTTP2Request queued;
    for (int i = 0; i < kQueued && Clock::now() - t0 < std::chrono::seconds(60); ++i)
      h2->Get("/index.html", nullptr, &queued);
  });
  WaitFor([&] { return answered.load() >= kQueued; }, 60000);
  const double queuedRate = answered.load() / std::chrono::duration<double>(Clock::now() - t0).count();
  queue.join();
  const double h2loadQueued = H2loadRate(port, kQueued, 100);

  std::printf("waited, one at a time: %.0f req/s (%d answered); h2load -c1 -m1: %.0f req/s; time per request ratio %.2f (target <= 1.2)\n",
              syncRate, good, h2loadSync, syncRate > 0 ? h2loadSync / syncRate : 0.0);
  std::printf("queued, 100 in flight: %.0f req/s (%d answered); h2load -c1 -m100: %.0f req/s; ratio %.2f (target >= 0.8)\n",
              queuedRate, answered.load(), h2loadQueued, h2loadQueued > 0 ? queuedRate / h2loadQueued : 0.0);
  client.SetActive(false);
  server.Stop();
  return 0;
}
