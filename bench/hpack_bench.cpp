// HPACK encoding and decoding of the same header lists with our codec and
// with libnghttp2's, in one run; the ratios (nghttp2 time / our time, above 1
// means we are faster, from CPU time: the machine is shared) are printed
// at the end.
//
// Each iteration runs a sequence of 64 requests on one fresh context, so the
// dynamic table fills and churns as on a real connection. Both decoders
// produce the same result: one "name=value" string per field.
#include <benchmark/benchmark.h>

#include "bench/ratio_reporter.h"
#include <nghttp2/nghttp2.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "http2/core/kfxHTTP2_HPACK.h"

namespace {

using Field = std::pair<std::string, std::string>;
using Request = std::vector<Field>;

std::string Hex(uint64_t aSeed, int aLength) {
  std::string s;
  for (int i = 0; i < aLength; ++i) {
    aSeed = aSeed * 6364136223846793005ull + 1442695040888963407ull;
    s.push_back("0123456789abcdef"[aSeed >> 60]);
  }
  return s;
}

// What the push window sends: a new device token and body length per push,
// the same topic and provider token.
std::vector<Request> ApnsRequests() {
  const std::string jwt = "bearer eyJhbGciOiJFUzI1NiIsImtpZCI6IkFCQzEyM0RFRkcifQ.eyJpc3MiOiJERUYxMjNHSElKIiwiaWF0"
                          "IjoxNzAwMDAwMDAwLCJleHAiOjE3MDAwMDI0MDB9." +
                          Hex(7, 86);
  std::vector<Request> out;
  for (int i = 0; i < 64; ++i)
    out.push_back({{":method", "POST"},
                   {":scheme", "https"},
                   {":path", "/3/device/" + Hex(static_cast<uint64_t>(i) + 1, 64)},
                   {":authority", "api.push.apple.com"},
                   {"content-length", std::to_string(60 + i * 3)},
                   {"accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
                   {"user-agent", "Mozilla/5.0 (kfxWebSockets 4.5.1)"},
                   {"apns-topic", "com.example.pushapp"},
                   {"apns-push-type", "alert"},
                   {"authorization", jwt}});
  return out;
}

// A page load: many fields, most repeated from request to request.
std::vector<Request> BrowserRequests() {
  std::vector<Request> out;
  const std::string cookie = "session=" + Hex(11, 40) + "; prefs=" + Hex(12, 24) + "; _ga=GA1.2." + Hex(13, 20);
  for (int i = 0; i < 64; ++i)
    out.push_back({{":method", "GET"},
                   {":authority", "www.example.com"},
                   {":scheme", "https"},
                   {":path", "/static/" + Hex(static_cast<uint64_t>(i) + 100, 12) + (i % 3 ? ".js" : ".css") +
                                 "?v=" + std::to_string(i % 5)},
                   {"sec-ch-ua", "\"Chromium\";v=\"118\", \"Not=A?Brand\";v=\"99\""},
                   {"sec-ch-ua-mobile", "?0"},
                   {"user-agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                                  "Chrome/118.0.0.0 Safari/537.36"},
                   {"sec-ch-ua-platform", "\"Linux\""},
                   {"accept", i % 3 ? "*/*" : "text/css,*/*;q=0.1"},
                   {"sec-fetch-site", "same-origin"},
                   {"sec-fetch-mode", "no-cors"},
                   {"sec-fetch-dest", i % 3 ? "script" : "style"},
                   {"referer", "https://www.example.com/articles/" + std::to_string(i / 16)},
                   {"accept-encoding", "gzip, deflate, br"},
                   {"accept-language", "en-US,en;q=0.9,de;q=0.8"},
                   {"cookie", cookie},
                   {"if-none-match", "\"" + Hex(static_cast<uint64_t>(i) + 500, 16) + "\""},
                   {"priority", "u=1"}});
  return out;
}

const std::vector<Request>& Requests(int aSet) {
  static const std::vector<Request> apns = ApnsRequests(), browser = BrowserRequests();
  return aSet == 0 ? apns : browser;
}
const char* SetName(int aSet) { return aSet == 0 ? "APNs" : "Browser"; }

std::vector<nghttp2_nv> ToNv(const Request& aRequest) {
  std::vector<nghttp2_nv> nva;
  for (const auto& [n, v] : aRequest)
    nva.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(n.data())),
                   reinterpret_cast<uint8_t*>(const_cast<char*>(v.data())), n.size(), v.size(),
                   NGHTTP2_NV_FLAG_NONE});
  return nva;
}

std::vector<std::vector<uint8_t>> Nghttp2Blocks(int aSet) {
  nghttp2_hd_deflater* deflater;
  nghttp2_hd_deflate_new(&deflater, 4096);
  std::vector<std::vector<uint8_t>> blocks;
  for (const Request& r : Requests(aSet)) {
    auto nva = ToNv(r);
    std::vector<uint8_t> out(nghttp2_hd_deflate_bound(deflater, nva.data(), nva.size()));
    out.resize(static_cast<size_t>(nghttp2_hd_deflate_hd(deflater, out.data(), out.size(), nva.data(), nva.size())));
    blocks.push_back(std::move(out));
  }
  nghttp2_hd_deflate_del(deflater);
  return blocks;
}

int64_t FieldCount(int aSet) {
  int64_t n = 0;
  for (const Request& r : Requests(aSet)) n += static_cast<int64_t>(r.size());
  return n;
}

void BM_Encode_Ours(benchmark::State& state) {
  const int set = static_cast<int>(state.range(0));
  std::vector<std::vector<TkfxHTTP2_TableEntry>> lists;
  for (const Request& r : Requests(set)) {
    lists.emplace_back();
    for (const auto& [n, v] : r) lists.back().emplace_back(n, v);
  }
  TIdBytes out;
  int64_t octets = 0;
  for (auto _ : state) {
    TkfxHTTP2_HPACK codec;
    octets = 0;
    for (const auto& list : lists) {
      int used = 0, count = 0;
      codec.Encode(out, 0, list, used, count);
      octets += used;
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.counters["octets"] = static_cast<double>(octets);  // block octets of one run
  state.SetItemsProcessed(state.iterations() * FieldCount(set));
  state.SetLabel(SetName(set));
}

void BM_Encode_Nghttp2(benchmark::State& state) {
  const int set = static_cast<int>(state.range(0));
  std::vector<std::vector<nghttp2_nv>> lists;
  for (const Request& r : Requests(set)) lists.push_back(ToNv(r));
  std::vector<uint8_t> out(1 << 16);
  int64_t octets = 0;
  for (auto _ : state) {
    nghttp2_hd_deflater* deflater;
    nghttp2_hd_deflate_new(&deflater, 4096);
    octets = 0;
    for (const auto& nva : lists) {
      const ssize_t n = nghttp2_hd_deflate_hd(deflater, out.data(), out.size(), nva.data(), nva.size());
      octets += n;
      benchmark::DoNotOptimize(n);
    }
    nghttp2_hd_deflate_del(deflater);
  }
  state.counters["octets"] = static_cast<double>(octets);
  state.SetItemsProcessed(state.iterations() * FieldCount(set));
  state.SetLabel(SetName(set));
}

void BM_Decode_Ours(benchmark::State& state) {
  const int set = static_cast<int>(state.range(0));
  const auto blocks = Nghttp2Blocks(set);
  TStringList headers;
  for (auto _ : state) {
    TkfxHTTP2_HPACK codec;
    for (const auto& block : blocks) {
      codec.Decode(block, 0, static_cast<int>(block.size()), headers);
      benchmark::DoNotOptimize(headers.Lines().data());
    }
  }
  state.SetItemsProcessed(state.iterations() * FieldCount(set));
  state.SetLabel(SetName(set));
}

void BM_Decode_Nghttp2(benchmark::State& state) {
  const int set = static_cast<int>(state.range(0));
  const auto blocks = Nghttp2Blocks(set);
  std::vector<std::string> headers;
  for (auto _ : state) {
    nghttp2_hd_inflater* inflater;
    nghttp2_hd_inflate_new(&inflater);
    for (const auto& block : blocks) {
      headers.clear();
      const uint8_t* in = block.data();
      size_t left = block.size();
      for (;;) {
        nghttp2_nv nv;
        int flags = 0;
        const ssize_t r = nghttp2_hd_inflate_hd2(inflater, &nv, &flags, in, left, 1);
        if (r < 0) state.SkipWithError("nghttp2 refused a block");
        if (r < 0) break;
        in += r;
        left -= static_cast<size_t>(r);
        if (flags & NGHTTP2_HD_INFLATE_EMIT) {
          std::string line(reinterpret_cast<const char*>(nv.name), nv.namelen);
          line.push_back('=');
          line.append(reinterpret_cast<const char*>(nv.value), nv.valuelen);
          headers.push_back(std::move(line));
        }
        if (flags & NGHTTP2_HD_INFLATE_FINAL) {
          nghttp2_hd_inflate_end_headers(inflater);
          break;
        }
      }
      benchmark::DoNotOptimize(headers.data());
    }
    nghttp2_hd_inflate_del(inflater);
  }
  state.SetItemsProcessed(state.iterations() * FieldCount(set));
  state.SetLabel(SetName(set));
}

BENCHMARK(BM_Encode_Ours)->Arg(0)->Arg(1);
BENCHMARK(BM_Encode_Nghttp2)->Arg(0)->Arg(1);
BENCHMARK(BM_Decode_Ours)->Arg(0)->Arg(1);
BENCHMARK(BM_Decode_Nghttp2)->Arg(0)->Arg(1);


}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TRatioReporter reporter(TRatioReporter::TClock::CPU);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nratio = nghttp2 time / our time (>= 1.0: ours at least as fast)\n");
  for (const char* op : {"Encode", "Decode"})
    for (int set = 0; set < 2; ++set) {
      const std::string arg = "/" + std::to_string(set);
      const auto ours = reporter.Times.find(std::string("BM_") + op + "_Ours" + arg);
      const auto theirs = reporter.Times.find(std::string("BM_") + op + "_Nghttp2" + arg);
      if (ours != reporter.Times.end() && theirs != reporter.Times.end() && ours->second > 0)
        std::printf("%s %-8s %.2f\n", op, SetName(set), theirs->second / ours->second);
    }
  benchmark::Shutdown();
  return 0;
}
