// Helpers on the hot paths of the client: JSON escaping of token claims,
// Base64, keyed-queue lookups by stream id, main-thread dispatch round trips.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>

#include "base/kfxBase_Helpers.h"
#include "http2/core/kfxHTTP2_Classes.h"
#include "rtl/MainThread.h"

namespace {

void BM_EscapeJSONString(benchmark::State& state) {
  const std::string text = "{\"aps\":{\"alert\":\"Caf\xC3\xA9 / \xF0\x9F\x98\x80 line\\n\"}}";
  for (auto _ : state) benchmark::DoNotOptimize(EscapeJSONString(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EscapeJSONString);

void BM_Base64EncodeText(benchmark::State& state) {
  const std::string text(static_cast<size_t>(state.range(0)), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(Base64EncodeText(text, true));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Base64EncodeText)->Arg(64)->Arg(4096);

// A stream table lookup: items keyed by odd stream ids, looking up the newest.
void BM_QueueGetItem(benchmark::State& state) {
  TkfxQueue<> queue;
  queue.OwnObjects = true;
  const int count = static_cast<int>(state.range(0));
  for (int i = 0; i < count; ++i) {
    auto* item = new TkfxQueueItemBase;
    item->ID = std::to_string(2 * i + 1);
    queue.AddItem(item);
  }
  const std::string last = std::to_string(2 * count - 1);
  for (auto _ : state) benchmark::DoNotOptimize(queue.GetItem(last));
}
BENCHMARK(BM_QueueGetItem)->Arg(1)->Arg(100)->Arg(1000);

void BM_SplitHTTP2URL(benchmark::State& state) {
  const std::string url =
      "https://api.sandbox.push.apple.com/3/device/"
      "740f4707bebcf74f9b7c25d48e3358945f6aa01da5ddb387462c7eaf61bb78ad";
  std::string protocol, host, path;
  int port = 0;
  for (auto _ : state) benchmark::DoNotOptimize(SplitHTTP2URL(url, protocol, host, port, path));
}
BENCHMARK(BM_SplitHTTP2URL);

// A worker waiting for the main thread: the latency a synchronous event costs.
void BM_SynchronizeRoundTrip(benchmark::State& state) {
  std::atomic<bool> stop{false}, done{false};
  std::atomic<int64_t> calls{0};
  std::thread worker([&] {
    while (!stop) SynchronizeOnMain([&] { ++calls; });
    done = true;
  });
  for (auto _ : state) {
    const int64_t before = calls;
    while (calls == before) CheckSynchronize(1);
  }
  stop = true;
  while (!done) CheckSynchronize(1);  // serve the call the worker may be waiting in
  worker.join();
}
BENCHMARK(BM_SynchronizeRoundTrip)->UseRealTime();

}  // namespace
