// The receive buffer under the read thread's pattern (append a socket read,
// consume frames in small pieces) and the loopback path through the I/O
// handler: bytes per second for a stream of blocks and for line reads.
#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "tests/support/loopback_peer.h"
#include "transport/IdBuffer.h"
#include "transport/IdTCPClient.h"

namespace {

void BM_BufferAppendConsume(benchmark::State& state) {
  TIdBuffer buffer;
  const TIdBytes read(static_cast<size_t>(state.range(0)), 0x5A);
  const int piece = 9;  // an HTTP/2 frame header at a time
  TIdBytes out;
  for (auto _ : state) {
    buffer.Write(read);
    while (buffer.Size() >= piece) {
      out.clear();
      buffer.ExtractToBytes(out, piece, false);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_BufferAppendConsume)->Arg(1024)->Arg(16384)->Arg(32768);

void BM_LoopbackBlocks(benchmark::State& state) {
  loopback::Peer peer([](int& aFD) {
    char buffer[65536];
    while (::recv(aFD, buffer, sizeof(buffer), 0) > 0) {
    }
  });
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(peer.Port());
  client.Connect();
  const TIdBytes block(static_cast<size_t>(state.range(0)), 0x42);
  for (auto _ : state) client.IOHandler()->Write(block);
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
  client.Disconnect();
}
BENCHMARK(BM_LoopbackBlocks)->Arg(100)->Arg(16384);

void BM_LoopbackReadLn(benchmark::State& state) {
  const std::string line = std::string(78, 'x') + "\r\n";
  loopback::Peer peer([&](int& aFD) {
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += line;
    while (loopback::Receive(aFD, 1, 5000) == "m") loopback::SendAll(aFD, burst);
  });
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(peer.Port());
  client.Connect();
  for (auto _ : state) {
    client.IOHandler()->Write("m");
    for (int i = 0; i < 1000; ++i) benchmark::DoNotOptimize(client.IOHandler()->ReadLn());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 1000 * int64_t(line.size()));
  client.Disconnect();
}
BENCHMARK(BM_LoopbackReadLn);

}  // namespace
