// The HTTP/2 client component pushing to apns-mock over TLS with a provider
// token, next to h2load against the same server in the same run:
//  - synchronous Post, one at a time (h2load -c1 -m1), time per request;
//  - queued PostAsync on one connection (h2load -c1 -m100), pushes per second;
//  - peak memory (RSS) while 100000 queued pushes go out, all queued at once
//    and with at most 1000 outstanding, sampled along the way.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "tests/support/apns_mock_harness.h"
#include "http2/client/kfxHTTP.h"
#include "rtl/MainThread.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kDevice = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kPayload = R"({"aps":{"alert":"Hello from the benchmark","badge":1,"sound":"default"}})";

double Seconds(Clock::time_point aStart) { return std::chrono::duration<double>(Clock::now() - aStart).count(); }

// CPU seconds (user and system) of this process, or of its waited-for
// children: on a busy machine the CPU spent per request compares fairer
// than rates.
double CPUSeconds(int aWho) {
  rusage usage{};
  getrusage(aWho, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// VmRSS or VmHWM of this process in MB.
double MemoryMB(const char* aField) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(aField, 0) == 0) return std::stod(line.substr(std::strlen(aField))) / 1024.0;
  return 0;
}

double H2loadRate(const apns_test::ApnsMock& aMock, const std::string& aToken, const std::string& aPayloadFile,
                  int aCount, int aStreams) {
  auto result = apns_test::RunCommand(
      {"h2load", "-n", std::to_string(aCount), "-c", "1", "-m", std::to_string(aStreams), "-H",
       "authorization: bearer " + aToken, "-H", "apns-topic: com.example.App", "-d", aPayloadFile,
       aMock.DeviceUrl(kDevice)},
      std::chrono::seconds(120));
  std::smatch m;
  static const std::regex rate(R"(finished in [0-9.]+m?s, ([0-9.]+) req/s)");
  if (!std::regex_search(result.out, m, rate)) {
    std::fprintf(stderr, "h2load: %s%s\n", result.out.c_str(), result.err.c_str());
    return 0;
  }
  const double value = std::stod(m[1]);
  static const std::regex ok(R"(([0-9]+) succeeded)");
  if (std::regex_search(result.out, m, ok) && std::stoi(m[1]) != aCount)
    std::fprintf(stderr, "h2load: only %s of %d succeeded\n", m[1].str().c_str(), aCount);
  return value;
}

struct Pusher {
  Pusher() {
    client = MakeOwned<TkfxHTTP2Client>(nullptr);
    jwt = MakeOwned<TkfxHTTP_JWT_Client>(nullptr);
    client->SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client->TLSOptions().SetIOHandler(TwsTLSIOHandler::iohOpenSSL);
    client->TLSOptions().SetRootCertFile(apns_test::FixturePath("ca.crt"));
    client->TLSOptions().SetVerifyCertificate(true);
    client->Authentication().Token().SetJWT(jwt.get());
    TkfxHTTP_JWT_Client_Options& options = jwt->JWTOptions();
    options.Header().alg = TkfxHTTP_JWT_Algorithm::jwtES256;
    options.Header().kid = std::string(apns_test::kKeyId);
    options.Payload().iss = std::string(apns_test::kTeamId);
    options.Algorithms().ES().PrivateKey().LoadFromFile(apns_test::FixturePath("AuthKey_TEST123456.p8"));
    options.SetRefreshTokenAfter(2400);
    client->Request().CustomHeaders.Add("apns-topic: com.example.App");
    body.WriteBuffer(kPayload.data(), static_cast<int64_t>(kPayload.size()));
    client->OnHTTP2Response = [this](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                     TkfxHTTP2ResponseProperty* Response) {
      if (Response->Status() == 200) ++answered;
      else ++failed;
    };
    client->OnHTTP2RequestFailed = [this](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                          const std::string&) { ++failed; };
  }
  bool WaitDone(int aCount, int aSeconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(aSeconds);
    while (answered.load() + failed.load() < aCount) {
      if (Clock::now() > deadline) return false;
      CheckSynchronize(1);
    }
    return true;
  }
  void Reset() {
    answered = 0;
    failed = 0;
  }

  TOwned<TkfxHTTP2Client> client;
  TOwned<TkfxHTTP_JWT_Client> jwt;
  TMemoryStream body;
  std::atomic<int> answered{0}, failed{0};
};

}  // namespace

int main() {
  const int kSync = 3000, kQueued = 20000, kMemory = 100000, kWindow = 1000;
  // h2load opens its 100 streams before any answer: without the one-stream
  // start none of them is refused. Our client has its streams raised by the
  // warm-up before anything is measured.
  std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
  options.push_back("--no-auth-stream-limit");
  // h2load's token and the client's are two tokens for one key.
  options.insert(options.end(), {"--token-update-interval", "0"});
  apns_test::ApnsMock mock(options);
  apns_test::TempDir dir;
  apns_test::WriteFile(dir.File("payload.json"), kPayload);
  const auto token = apns_test::RunCommand({std::string(APNS_SOURCE_DIR) + "/tools/apns-mock/make-token.sh",
                                            apns_test::FixturePath("AuthKey_TEST123456.p8"),
                                            std::string(apns_test::kKeyId), std::string(apns_test::kTeamId)},
                                           std::chrono::seconds(10));
  std::string jwtText = token.out;
  while (!jwtText.empty() && (jwtText.back() == '\n' || jwtText.back() == '\r')) jwtText.pop_back();
  const std::string url = mock.DeviceUrl(kDevice);

  const double rssStart = MemoryMB("VmRSS:");
  Pusher pusher;
  // Connection, token and warm-up.
  for (int i = 0; i < 200; ++i) pusher.client->Post(url, &pusher.body);
  if (!pusher.client->Response() || pusher.client->Response()->Status() != 200) {
    std::fprintf(stderr, "the warm-up push was not answered 200\n");
    return 1;
  }

  // Memory first: queued pushes with a bounded number outstanding, which
  // should stay flat after warm-up.
  pusher.Reset();
  auto t0 = Clock::now();
  double samples[4] = {};
  int sent = 0;
  while (pusher.answered.load() + pusher.failed.load() < kMemory && Seconds(t0) < 120) {
    while (sent < kMemory && sent - (pusher.answered.load() + pusher.failed.load()) < kWindow) {
      pusher.client->PostAsync(url, &pusher.body);
      ++sent;
      if (sent % (kMemory / 4) == 0) samples[sent / (kMemory / 4) - 1] = MemoryMB("VmRSS:");
    }
    CheckSynchronize(1);
  }
  const double windowRate = pusher.answered.load() / Seconds(t0);
  const int windowAnswered = pusher.answered.load();
  const double peakWindow = MemoryMB("VmHWM:");
  // One synchronous Post at a time.
  t0 = Clock::now();
  int good = 0;
  for (int i = 0; i < kSync && Seconds(t0) < 60; ++i) {
    pusher.client->Post(url, &pusher.body);
    good += pusher.client->Response() && pusher.client->Response()->Status() == 200;
  }
  const double syncRate = good / Seconds(t0);
  const double h2loadSync = H2loadRate(mock, jwtText, dir.File("payload.json"), kSync, 1);

  // Queued pushes on the same connection.
  pusher.Reset();
  t0 = Clock::now();
  double cpu0 = CPUSeconds(RUSAGE_SELF);
  for (int i = 0; i < kQueued; ++i) pusher.client->PostAsync(url, &pusher.body);
  pusher.WaitDone(kQueued, 60);
  const double queuedRate = pusher.answered.load() / Seconds(t0);
  const double queuedCPU = (CPUSeconds(RUSAGE_SELF) - cpu0) * 1e6 / kQueued;
  const int queuedFailed = pusher.failed.load();
  cpu0 = CPUSeconds(RUSAGE_CHILDREN);
  const double h2loadQueued = H2loadRate(mock, jwtText, dir.File("payload.json"), kQueued, 100);
  const double h2loadCPU = (CPUSeconds(RUSAGE_CHILDREN) - cpu0) * 1e6 / kQueued;

  // Memory again: all queued at once.
  pusher.Reset();
  t0 = Clock::now();
  for (int i = 0; i < kMemory; ++i) pusher.client->PostAsync(url, &pusher.body);
  const double rssQueued = MemoryMB("VmRSS:");
  pusher.WaitDone(kMemory, 120);
  const double allRate = pusher.answered.load() / Seconds(t0);
  const int allAnswered = pusher.answered.load();
  const double peakAll = MemoryMB("VmHWM:");

  pusher.client->SetActive(false);

  std::printf("synchronous Post, one at a time: %.0f req/s (%d answered), %.1f us/request; h2load -c1 -m1: %.0f req/s, "
              "%.1f us/request; time per request ratio %.2f (target <= 1.3)\n",
              syncRate, good, 1e6 / syncRate, h2loadSync, 1e6 / h2loadSync, syncRate > 0 ? h2loadSync / syncRate : 0.0);
  std::printf("queued PostAsync, one connection: %.0f pushes/s (%d answered, %d failed); h2load -c1 -m100: %.0f req/s; "
              "ratio %.2f (target >= 0.85)\n",
              queuedRate, kQueued - queuedFailed, queuedFailed, h2loadQueued,
              h2loadQueued > 0 ? queuedRate / h2loadQueued : 0.0);
  std::printf("queued PostAsync, CPU per push (all client threads): %.1f us; h2load -c1 -m100: %.1f us per request; "
              "ratio %.2f (target <= 2)\n",
              queuedCPU, h2loadCPU, h2loadCPU > 0 ? queuedCPU / h2loadCPU : 0.0);
  std::printf("memory: RSS at start %.1f MB; %d pushes, at most %d outstanding: RSS %.1f / %.1f / %.1f / %.1f MB "
              "after each quarter, peak %.1f MB (target <= 30), %d answered at %.0f pushes/s\n",
              rssStart, kMemory, kWindow, samples[0], samples[1], samples[2], samples[3], peakWindow, windowAnswered,
              windowRate);
  std::printf("memory: %d queued at once: RSS %.1f MB with all queued, peak %.1f MB (%.0f octets per queued push), "
              "%d answered at %.0f pushes/s\n",
              kMemory, rssQueued, peakAll, (peakAll - peakWindow) * 1024 * 1024 / kMemory, allAnswered, allRate);
  return 0;
}
