// The SChannel session from several threads: failures of two connections at
// once keep their texts apart, and one session is read by one thread while
// another writes to it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/tls_peers.h"
#include "tls/kfxSSL_SChannel.h"

using namespace tls_test;

namespace {

TEST(SChannelThreads, FailuresOfTwoConnectionsKeepTheirTexts) {
  if (!HaveProgram("openssl")) GTEST_SKIP() << "openssl command line program is missing";
  TempDir dir;
  const CertFiles selfSigned = MakeCert(dir, "self", {.SelfSigned = true});
  // One server with an untrusted certificate, one reached by a wrong name.
  SServer untrusted({"-tls1_2"}, "127.0.0.1", selfSigned);
  SServer misnamed({"-tls1_2"}, "127.0.0.2");
  struct Side {
    const SServer* Server;
    std::string Expected;
    std::atomic<int> Mismatches{0};
  };
  Side sides[2] = {{&untrusted, "CertVerifyCertificateChainPolicy.vStatus = 800B0109"},
                   {&misnamed, "CertVerifyCertificateChainPolicy.vStatus = 800B010F"}};
  std::vector<std::thread> threads;
  for (Side& side : sides) {
    threads.emplace_back([&side] {
      TkfxSChannelCertificate certificate;
      certificate.SetVerifyCertificate(true);
      certificate.SetRootCertFile(FixturePath("ca.crt"));
      for (int i = 0; i < 10; ++i) {
        const int s = ConnectTcp(side.Server->Host(), side.Server->Port());
        TSSLInfo* ssl = SChannelOpen(s, &certificate, side.Server->Host(), "", nullptr, TwsTLSVersions::tls1_2);
        if (ssl || SChannelLastError() != side.Expected) ++side.Mismatches;
        SChannelClose(ssl);
        close(s);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sides[0].Mismatches.load(), 0);
  EXPECT_EQ(sides[1].Mismatches.load(), 0);
}

TEST(SChannelThreads, OneThreadReadsWhileAnotherWrites) {
  if (!HaveProgram("openssl")) GTEST_SKIP() << "openssl command line program is missing";
  // s_server -rev answers every line with the line reversed.
  SServer server({"-tls1_3", "-rev"});
  const int s = ConnectTcp(server.Host(), server.Port());
  TSSLInfo* ssl = SChannelOpen(s, nullptr, "localhost", "", nullptr, TwsTLSVersions::tls1_3);
  ASSERT_NE(ssl, nullptr) << SChannelLastError();
  constexpr int kLines = 300;
  std::thread writer([ssl] {
    for (int i = 0; i < kLines; ++i) {
      const std::string line = "line " + std::to_string(1000 + i) + "\n";
      if (SChannelWrite(ssl, line.data(), static_cast<int>(line.size())) != static_cast<int>(line.size())) return;
    }
  });
  std::string received;
  const size_t expected = kLines * 10;  // "line NNNN\n" comes back as "NNNN enil\n"
  char buffer[4096];
  for (int step = 0; step < 100000 && received.size() < expected; ++step) {
    const int n = SChannelRead(ssl, buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  writer.join();
  EXPECT_EQ(received.size(), expected);
  EXPECT_EQ(received.substr(0, 10), "0001 enil\n");
  SChannelClose(ssl);
  close(s);
}

}  // namespace
