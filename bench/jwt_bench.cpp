// ES256 bearer tokens per second: the JWT client signing whole tokens (JSON,
// base64url, ECDSA through the run-time binding) next to OpenSSL's
// EVP_DigestSign on the same key and an input of the same size. The key text
// is parsed once by both; each token needs a fresh signature.
//
// Run: build/release/bench/jwt_bench; the ratio of the CPU-time rates is
// printed at the end.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <string>

#include "jwt/kfxHTTP_JWT_Client.h"

namespace {

struct TKey {
  TKey() {
    Key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PKCS8PrivateKey(bio, Key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    PEM.assign(data, static_cast<size_t>(length));
    BIO_free(bio);
  }
  ~TKey() { EVP_PKEY_free(Key); }
  EVP_PKEY* Key;
  std::string PEM;
};

TKey& Key() {
  static TKey key;
  return key;
}

// A client set up as the push window sets it up.
std::unique_ptr<TkfxHTTPComponentClient_JWT> NewClient() {
  auto client = std::make_unique<TkfxHTTPComponentClient_JWT>(nullptr);
  TkfxHTTP_JWT_Client_Options& options = client->JWTOptions();
  options.Header().alg = TkfxHTTP_JWT_Algorithm::jwtES256;
  options.Header().kid = "ABC123DEFG";
  options.Payload().iss = "DEF123GHIJ";
  options.Algorithms().ES().PrivateKey().SetText(Key().PEM);
  options.SetRefreshTokenAfter(2400);
  return client;
}

size_t SigningInputLength() {
  const std::string token = NewClient()->Sign();
  return token.rfind('.');
}

void BM_JWTClientSignES256(benchmark::State& state) {
  auto client = NewClient();
  for (auto _ : state) benchmark::DoNotOptimize(client->Sign());
  state.SetItemsProcessed(state.iterations());
  state.counters["tokens/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_JWTClientSignES256)->Unit(benchmark::kMicrosecond);

void BM_EVPDigestSignES256(benchmark::State& state) {
  const std::string input(SigningInputLength(), 'e');
  unsigned char signature[80];
  for (auto _ : state) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    size_t length = sizeof signature;
    if (EVP_DigestSignInit_ex(context, nullptr, "SHA256", nullptr, nullptr, Key().Key, nullptr) != 1 ||
        EVP_DigestSign(context, signature, &length,
                       reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1)
      state.SkipWithError("EVP_DigestSign failed");
    EVP_MD_CTX_free(context);
    benchmark::DoNotOptimize(signature);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["tokens/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EVPDigestSignES256)->Unit(benchmark::kMicrosecond);

// Prints the ratio of the two rates after the runs.
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    ConsoleReporter::ReportRuns(aRuns);
    for (const Run& run : aRuns) {
      if (run.run_type != Run::RT_Iteration) continue;
      // CPU time: the ratio should not depend on what else the machine runs.
      const double seconds = run.GetAdjustedCPUTime() / 1e6;  // microseconds per iteration
      const double rate = seconds > 0 ? 1 / seconds : 0;
      if (run.benchmark_name().find("JWTClient") != std::string::npos) FClient = rate;
      if (run.benchmark_name().find("EVPDigestSign") != std::string::npos) FEVP = rate;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (FClient > 0 && FEVP > 0)
      std::printf("ES256: JWT client %.0f tokens/s, EVP_DigestSign %.0f signatures/s, EVP/client %.2f\n",
                  FClient, FEVP, FEVP / FClient);
  }

 private:
  double FClient = 0, FEVP = 0;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
