// Handshake plus a 1 MiB download from nginx (HTTP/1.1 over TLS 1.2 and
// 1.3, on loopback): through the SChannel session on a socket and OpenSSL
// driven directly on a socket, and through the transport's TCP client with
// the SChannel I/O handler and with the OpenSSL I/O handler. Run from
// build/release/bench:
//   ./schannel_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
// The figure that matters is the ratio of the two in one run.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "tests/support/tls_peers.h"
#include "tls/kfxIdSSLOpenSSLHeaders.h"
#include "tls/kfxSSL_SChannel.h"
#include "tls/kfxSSL_SChannel_Id.h"
#include "tls/kfxTCP_Client_OpenSSL.h"
#include "transport/IdTCPClient.h"

using namespace tls_test;

namespace {

constexpr size_t kBody = 1 << 20;
const char kRequest[] = "GET /big.bin HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";

Nginx& Server() {
  static Nginx nginx(false, kBody);
  return nginx;
}

void SChannelDownload(benchmark::State& state) {
  const auto version = static_cast<TwsTLSVersions>(state.range(0));
  std::vector<char> buffer(65536);
  for (auto _ : state) {
    const int s = ConnectTcp("127.0.0.1", Server().Port());
    TSSLInfo* ssl = SChannelOpen(s, nullptr, "localhost", "", nullptr, version);
    if (!ssl) {
      state.SkipWithError(SChannelLastError().c_str());
      close(s);
      break;
    }
    SChannelWrite(ssl, kRequest, sizeof kRequest - 1);
    size_t total = 0;
    for (int n; (n = SChannelRead(ssl, buffer.data(), static_cast<int>(buffer.size()))) > 0;) total += n;
    SChannelClose(ssl);
    close(s);
    if (total < kBody) state.SkipWithError("short download");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBody));
}

void OpenSSLDownload(benchmark::State& state) {
  const int version = state.range(0) == static_cast<int>(TwsTLSVersions::tls1_3) ? TLS1_3_VERSION : TLS1_2_VERSION;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(ctx, version);
  SSL_CTX_set_max_proto_version(ctx, version);
  std::vector<char> buffer(65536);
  for (auto _ : state) {
    const int s = ConnectTcp("127.0.0.1", Server().Port());
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, s);
    SSL_set_tlsext_host_name(ssl, "localhost");
    if (SSL_connect(ssl) != 1) {
      state.SkipWithError("SSL_connect failed");
      SSL_free(ssl);
      close(s);
      break;
    }
    SSL_write(ssl, kRequest, sizeof kRequest - 1);
    size_t total = 0;
    for (int n; (n = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()))) > 0;) total += n;
    SSL_free(ssl);
    close(s);
    if (total < kBody) state.SkipWithError("short download");
  }
  SSL_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBody));
}

// One download through a TCP client and its TLS handler; the octets received.
size_t HandlerDownload(TIdIOHandler* aHandler) {
  TIdTCPClient client;
  client.SetIOHandler(aHandler);
  client.SetHost("127.0.0.1");
  client.SetPort(Server().Port());
  size_t total = 0;
  try {
    client.Connect();
    client.IOHandler()->Write(TIdBytes(kRequest, kRequest + sizeof kRequest - 1));
    for (int i = 0; i < 100000; ++i) {
      TIdBytes chunk;
      client.IOHandler()->ReadBytes(chunk, -1, false);
      total += chunk.size();
    }
  } catch (const EIdConnClosedGracefully&) {
  } catch (const Exception&) {
    total = 0;
  }
  client.Disconnect(false);
  client.SetIOHandler(nullptr);
  return total;
}

void SChannelHandlerDownload(benchmark::State& state) {
  for (auto _ : state) {
    TkfxIdSSLIOHandlerSocketSChannel handler;
    handler.SetPassThrough(false);
    handler.SetTLSVersion(static_cast<TwsTLSVersions>(state.range(0)));
    if (HandlerDownload(&handler) < kBody) state.SkipWithError("short download");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBody));
}

void OpenSSLHandlerDownload(benchmark::State& state) {
  const bool tls13 = state.range(0) == static_cast<int>(TwsTLSVersions::tls1_3);
  for (auto _ : state) {
    TkfxIdSSLIOHandlerSocketOpenSSL handler;
    handler.SetPassThrough(false);
    handler.SSLOptions().SetMethod(tls13 ? TIdSSLVersion::sslvTLSv1_3 : TIdSSLVersion::sslvTLSv1_2);
    handler.SSLOptions().Mode = TIdSSLMode::sslmClient;
    if (HandlerDownload(&handler) < kBody) state.SkipWithError("short download");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBody));
}

BENCHMARK(SChannelHandlerDownload)
    ->Arg(static_cast<int>(TwsTLSVersions::tls1_2))
    ->Arg(static_cast<int>(TwsTLSVersions::tls1_3))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(OpenSSLHandlerDownload)
    ->Arg(static_cast<int>(TwsTLSVersions::tls1_2))
    ->Arg(static_cast<int>(TwsTLSVersions::tls1_3))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SChannelDownload)
    ->Arg(static_cast<int>(TwsTLSVersions::tls1_2))
    ->Arg(static_cast<int>(TwsTLSVersions::tls1_3))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(OpenSSLDownload)
    ->Arg(static_cast<int>(TwsTLSVersions::tls1_2))
    ->Arg(static_cast<int>(TwsTLSVersions::tls1_3))
    ->Unit(benchmark::kMillisecond);

}  // namespace
