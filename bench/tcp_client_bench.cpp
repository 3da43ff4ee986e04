// Round trips of small messages, one at a time, through a commands-mode TCP
// client (queued write, read thread, binary event) next to the same exchange
// over a plain blocking socket, against one loopback echo peer in the same
// run. Prints both medians and their ratio.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tcp/kfxTCP_Client.h"
#include "tests/support/tcp_echo_peer.h"

namespace {

using TClock = std::chrono::steady_clock;

double MedianMicros(std::vector<double> aSamples) {
  std::sort(aSamples.begin(), aSamples.end());
  return aSamples.empty() ? 0 : aSamples[aSamples.size() / 2];
}

std::vector<double> PlainSocket(uint16_t aPort, int aCount, const TIdBytes& aMessage) {
  std::vector<double> samples;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(aPort);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return samples;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<uint8_t> buffer(aMessage.size());
  for (int i = 0; i < aCount; ++i) {
    const auto start = TClock::now();
    if (::send(fd, aMessage.data(), aMessage.size(), 0) != static_cast<ssize_t>(aMessage.size())) break;
    size_t got = 0;
    while (got < buffer.size()) {
      const ssize_t n = ::recv(fd, buffer.data() + got, buffer.size() - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    samples.push_back(std::chrono::duration<double, std::micro>(TClock::now() - start).count());
  }
  ::close(fd);
  return samples;
}

std::vector<double> CommandsClient(uint16_t aPort, int aCount, const TIdBytes& aMessage) {
  std::vector<double> samples;
  TkfxTCPCLient_Common client(nullptr);
  client.SetTCPMode(TkfxTCPMode::tcpmCommands);
  client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  client.SetHost("127.0.0.1");
  client.SetPort(aPort);
  std::atomic<size_t> received{0};
  client.OnBinary = [&](TkfxTCPConnection*, TMemoryStream* Data) {
    received.fetch_add(static_cast<size_t>(Data->Size()));
    received.notify_one();
  };
  if (!client.Connect(5000)) return samples;
  size_t expected = 0;
  for (int i = 0; i < aCount; ++i) {
    const auto start = TClock::now();
    expected += aMessage.size();
    client.AddBytes(aMessage);
    // Bounded: a lost message ends the run instead of hanging it.
    const auto limit = start + std::chrono::seconds(5);
    for (size_t seen = received.load(); seen < expected; seen = received.load()) {
      if (TClock::now() > limit) return samples;
      received.wait(seen);
    }
    samples.push_back(std::chrono::duration<double, std::micro>(TClock::now() - start).count());
  }
  client.Disconnect(5000);
  return samples;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  TEchoPeer peer;
  if (!peer.Start()) return 1;
  const TIdBytes message(16, 'm');
  // Warm up both paths, then measure them interleaved in halves.
  PlainSocket(peer.Port(), 200, message);
  CommandsClient(peer.Port(), 200, message);
  std::vector<double> plain = PlainSocket(peer.Port(), count / 2, message);
  std::vector<double> queued = CommandsClient(peer.Port(), count / 2, message);
  for (double s : PlainSocket(peer.Port(), count - count / 2, message)) plain.push_back(s);
  for (double s : CommandsClient(peer.Port(), count - count / 2, message)) queued.push_back(s);
  const double plainMedian = MedianMicros(plain);
  const double queuedMedian = MedianMicros(queued);
  std::printf("round trips: %zu plain, %zu commands-mode\n", plain.size(), queued.size());
  std::printf("median round trip: plain blocking socket %.1f us, commands-mode client %.1f us, ratio %.2f\n",
              plainMedian, queuedMedian, plainMedian > 0 ? queuedMedian / plainMedian : 0.0);
  return plain.size() == static_cast<size_t>(count) && queued.size() == static_cast<size_t>(count) ? 0 : 1;
}
