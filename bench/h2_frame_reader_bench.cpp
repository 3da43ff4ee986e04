// Reading the same recorded byte stream, an nghttp2 server's answers to 1000
// APNs-like requests, with our client frame reader and with an nghttp2
// client session (nghttp2_session_mem_recv), in one run. The ratio printed
// at the end is nghttp2's CPU time over ours (>= 0.5: ours at least half as
// fast). Both sides hand every header to the application as a
// "name=value" string and gather the bodies; our reader releases each
// stream once answered, as the connection does.
#include <benchmark/benchmark.h>

#include "bench/ratio_reporter.h"
#include <nghttp2/nghttp2.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "http2/core/kfxHTTP2_Frame_Handler.h"

namespace {

constexpr int kRequests = 1000;

double ThreadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Literals and strings that outlive the call only: the pair points into them.
nghttp2_nv Nv(std::string_view aName, std::string_view aValue) {
  return {reinterpret_cast<uint8_t*>(const_cast<char*>(aName.data())),
          reinterpret_cast<uint8_t*>(const_cast<char*>(aValue.data())), aName.size(), aValue.size(),
          NGHTTP2_NV_FLAG_NONE};
}

struct Source {
  std::string text;
  size_t offset = 0;
  static ssize_t Read(nghttp2_session*, int32_t, uint8_t* aBuf, size_t aLength, uint32_t* aFlags,
                      nghttp2_data_source* aSource, void*) {
    auto* s = static_cast<Source*>(aSource->ptr);
    const size_t n = std::min(aLength, s->text.size() - s->offset);
    std::memcpy(aBuf, s->text.data() + s->offset, n);
    s->offset += n;
    if (s->offset == s->text.size()) *aFlags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(n);
  }
};

std::string Token(int i) {
  char buf[65];
  for (int k = 0; k < 64; ++k) buf[k] = "0123456789abcdef"[(i * 7919 + k * 31) % 16];
  buf[64] = 0;
  return buf;
}

// An nghttp2 client session that has sent the 1000 requests.
struct ClientSession {
  ClientSession() {
    nghttp2_session_callbacks* cb;
    nghttp2_session_callbacks_new(&cb);
    nghttp2_session_callbacks_set_on_header_callback(cb, OnHeader);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cb, OnData);
    // All 1000 requests go out before the server's SETTINGS arrive.
    nghttp2_option* option;
    nghttp2_option_new(&option);
    nghttp2_option_set_peer_max_concurrent_streams(option, kRequests);
    nghttp2_session_client_new2(&session, cb, this, option);
    nghttp2_option_del(option);
    nghttp2_session_callbacks_del(cb);
    nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
    bodies.resize(kRequests);
    for (int i = 0; i < kRequests; ++i) {
      bodies[i].text = "{\"aps\":{\"alert\":\"Notification " + std::to_string(i) + "\",\"sound\":\"default\"}}";
      const std::string path = "/3/device/" + Token(i), length = std::to_string(bodies[i].text.size());
      const nghttp2_nv nva[] = {Nv(":method", "POST"), Nv(":scheme", "https"), Nv(":path", path),
                                Nv(":authority", "api.push.apple.com"), Nv("content-length", length),
                                Nv("apns-topic", "com.example.pushapp")};
      nghttp2_data_provider provider;
      provider.source.ptr = &bodies[i];
      provider.read_callback = Source::Read;
      nghttp2_submit_request(session, nullptr, nva, 6, &provider, nullptr);
    }
  }
  ~ClientSession() { nghttp2_session_del(session); }
  std::vector<uint8_t> Send() {
    std::vector<uint8_t> out;
    const uint8_t* data;
    for (ssize_t n; (n = nghttp2_session_mem_send(session, &data)) > 0;) out.insert(out.end(), data, data + n);
    return out;
  }
  static int OnHeader(nghttp2_session*, const nghttp2_frame*, const uint8_t* n, size_t nl, const uint8_t* v,
                      size_t vl, uint8_t, void* u) {
    std::string line(reinterpret_cast<const char*>(n), nl);
    line.push_back('=');
    line.append(reinterpret_cast<const char*>(v), vl);
    static_cast<ClientSession*>(u)->headers.push_back(std::move(line));
    return 0;
  }
  static int OnData(nghttp2_session*, uint8_t, int32_t, const uint8_t* d, size_t l, void* u) {
    static_cast<ClientSession*>(u)->data.insert(static_cast<ClientSession*>(u)->data.end(), d, d + l);
    return 0;
  }
  nghttp2_session* session = nullptr;
  std::vector<Source> bodies;
  std::vector<std::string> headers;
  std::vector<uint8_t> data;
};

// The server's side of the recording: every 20th device token is refused
// with a JSON reason, the others succeed without a body.
std::vector<uint8_t> Record() {
  ClientSession client;
  nghttp2_session_callbacks* cb;
  nghttp2_session_callbacks_new(&cb);
  nghttp2_session* server;
  nghttp2_session_server_new(&server, cb, nullptr);
  nghttp2_session_callbacks_del(cb);
  nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 1000}};
  nghttp2_submit_settings(server, NGHTTP2_FLAG_NONE, settings, 1);
  const std::vector<uint8_t> requests = client.Send();
  nghttp2_session_mem_recv(server, requests.data(), requests.size());
  static std::vector<Source> reasons(kRequests);
  for (int i = 0; i < kRequests; ++i) {
    const int32_t id = 2 * i + 1;
    const std::string apnsId = "4C1F0C43-" + std::to_string(100000 + i) + "-4FF3-A0D5-6D3C1E6B0B2E";
    if (i % 20 == 7) {
      reasons[i].text = "{\"reason\":\"BadDeviceToken\"}";
      const std::string length = std::to_string(reasons[i].text.size());
      const nghttp2_nv nva[] = {Nv(":status", "400"), Nv("apns-id", apnsId),
                                Nv("content-type", "application/json; charset=utf-8"),
                                Nv("content-length", length)};
      nghttp2_data_provider provider;
      provider.source.ptr = &reasons[i];
      provider.read_callback = Source::Read;
      nghttp2_submit_response(server, id, nva, 4, &provider);
    } else {
      const nghttp2_nv nva[] = {Nv(":status", "200"), Nv("apns-id", apnsId)};
      nghttp2_submit_response(server, id, nva, 2, nullptr);
    }
  }
  std::vector<uint8_t> out;
  const uint8_t* data;
  for (ssize_t n; (n = nghttp2_session_mem_send(server, &data)) > 0;) out.insert(out.end(), data, data + n);
  nghttp2_session_del(server);
  return out;
}

const std::vector<uint8_t>& Recording() {
  static const std::vector<uint8_t> recording = Record();
  return recording;
}

void BM_Read_Ours(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = Recording();
  int64_t answers = 0;
  for (auto _ : state) {
    auto reader = std::make_unique<TkfxHTTP2_Frame>();
    reader->SetFrameRole(Th2FrameRole::h2frClientRead);
    reader->MaxConcurrentStreams = h2MaxInt32;
    reader->OnWriteBytes = [](TObject*, const TIdBytes& aBytes) { benchmark::DoNotOptimize(aBytes.data()); };
    TkfxHTTP2_Frame* r = reader.get();
    reader->OnReadStreamResponse = [r, &answers](TObject*, TkfxHTTP2_StreamResponse* aStream) {
      ++answers;
      const int32_t id = aStream->StreamIdentifier;
      r->ReleaseStream(id);
      r->AddClosedStream(id);
    };
    for (int i = 0; i < kRequests; ++i) reader->AddStreamRequest(2 * i + 1, Th2Methods::h2mePost);
    const double start = ThreadSeconds();
    reader->ReadBytes(bytes);
    state.SetIterationTime(ThreadSeconds() - start);
    reader.reset();
  }
  if (answers != static_cast<int64_t>(state.iterations()) * kRequests) state.SkipWithError("answers missing");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_Read_Nghttp2(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = Recording();
  for (auto _ : state) {
    auto client = std::make_unique<ClientSession>();
    client->Send();
    client->headers.reserve(kRequests * 4);
    const double start = ThreadSeconds();
    const ssize_t n = nghttp2_session_mem_recv(client->session, bytes.data(), bytes.size());
    state.SetIterationTime(ThreadSeconds() - start);
    if (n != static_cast<ssize_t>(bytes.size())) state.SkipWithError("nghttp2 refused the recording");
    client.reset();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// The timed part is measured in CPU time of this thread (the machine is
// shared), reported as the manual time.
BENCHMARK(BM_Read_Ours)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Read_Nghttp2)->UseManualTime()->Unit(benchmark::kMicrosecond);


}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TRatioReporter reporter(TRatioReporter::TClock::Real);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = reporter.Times["BM_Read_Ours/manual_time"], theirs = reporter.Times["BM_Read_Nghttp2/manual_time"];
  std::printf("\nrecording: %zu octets\n", Recording().size());
  if (ours > 0 && theirs > 0)
    std::printf("ratio = nghttp2 time / our time (>= 0.5: ours at least half as fast): %.2f\n", theirs / ours);
  benchmark::Shutdown();
  return 0;
}
