// The I/O handler and TCP client against real sockets on loopback: a
// listener made by the test (loopback_peer.h) plays the server.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_peer.h"
#include "transport/IdIOHandlerStack.h"
#include "transport/IdTCPClient.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using loopback::Peer;

TIdBytes Bytes(const std::string& aText) { return TIdBytes(aText.begin(), aText.end()); }
std::string Text(const TIdBytes& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }
int64_t MillisecondsSince(Clock::time_point aStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aStart).count();
}

// A client connected to the peer's port.
std::unique_ptr<TIdTCPClient> ConnectTo(const Peer& aPeer, const std::string& aHost = "127.0.0.1",
                                        TIdIPVersion aVersion = TIdIPVersion::Id_IPv4) {
  auto client = std::make_unique<TIdTCPClient>();
  client->SetHost(aHost);
  client->SetPort(aPeer.Port());
  client->SetIPVersion(aVersion);
  client->Connect();
  return client;
}

// Echoes every byte until the client closes.
void Echo(int& aFD) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(aFD, buffer, sizeof(buffer), 0);
    if (n <= 0) return;
    loopback::SendAll(aFD, std::string(buffer, static_cast<size_t>(n)));
  }
}

// --- connect ---

TEST(TCPClient, ConnectsOverIPv4AndIPv6ByNameAndLiteral) {
  const struct {
    const char* host;
    TIdIPVersion version;
    bool ipv6Listener;
    const char* peerIP;
    const char* connecting;  // the address the status report names
  } cases[] = {
      {"127.0.0.1", TIdIPVersion::Id_IPv4, false, "127.0.0.1", "127.0.0.1"},
      {"localhost", TIdIPVersion::Id_IPv4, false, "127.0.0.1", "127.0.0.1"},
      {"::1", TIdIPVersion::Id_IPv6, true, "0:0:0:0:0:0:0:1", "0:0:0:0:0:0:0:1"},
      {"localhost", TIdIPVersion::Id_IPv6, true, "0:0:0:0:0:0:0:1", "::1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    Peer peer(Echo, c.ipv6Listener);
    std::vector<std::string> statuses;
    TIdTCPClient client;
    client.OnStatus = [&](TObject*, TIdStatus, const std::string& AText) { statuses.push_back(AText); };
    client.SetHost(c.host);
    client.SetPort(peer.Port());
    client.SetIPVersion(c.version);
    client.Connect();
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Socket()->Binding()->PeerIP(), c.peerIP);
    EXPECT_EQ(client.Socket()->Binding()->PeerPort(), peer.Port());
    EXPECT_NE(client.Socket()->Binding()->Port(), 0);
    client.IOHandler()->WriteLn("ping");
    EXPECT_EQ(client.IOHandler()->ReadLn(), "ping");
    client.Disconnect();
    EXPECT_FALSE(client.Connected());
    // A literal address needs no resolution.
    std::vector<std::string> expected;
    if (std::string(c.host) == "localhost")
      expected.push_back("Resolving hostname localhost.");
    expected.push_back(std::string("Connecting to ") + c.connecting + ".");
    expected.insert(expected.end(), {"Connected.", "Disconnecting.", "Disconnected."});
    EXPECT_EQ(statuses, expected);
  }
}

TEST(TCPClient, RefusedConnectRaisesSocketError10061) {
  uint16_t port;
  {
    Peer closed(nullptr);
    port = closed.Port();
  }  // nobody listens there any more
  for (int connectTimeout : {0, -1, 5000}) {
    SCOPED_TRACE(connectTimeout);
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(port);
    client.SetConnectTimeout(connectTimeout);
    try {
      client.Connect();
      FAIL() << "connected";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.LastError, 10061);
      EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    // The managed handler of a failed connect is gone; the next one makes a new one.
    EXPECT_EQ(client.IOHandler(), nullptr);
  }
}

TEST(TCPClient, UnknownHostRaisesHostNotFound) {
  TIdTCPClient client;
  client.SetHost("no-such-host.invalid");
  client.SetPort(80);
  try {
    client.Connect();
    FAIL() << "connected";
  } catch (const EIdSocketError& e) {
    // Without a reachable name server the resolver can only say "try again" (11002).
    EXPECT_TRUE(e.LastError == 11001 || e.LastError == 11002) << e.LastError;
    if (e.LastError == 11001) {
      EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
    }
  }
  client.SetHost("1.2.3.300");  // not an address, and never 1.2.3.44
  try {
    client.Connect();
    FAIL() << "connected";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError, 11001);
  }
}

TEST(TCPClient, RequiredSettingsAndAlreadyConnected) {
  TIdTCPClient client;
  try {
    client.Connect();
    FAIL();
  } catch (const EIdHostRequired& e) {
    EXPECT_EQ(e.Message(), "A Host is required");
  }
  client.SetHost("127.0.0.1");
  try {
    client.Connect();
    FAIL();
  } catch (const EIdPortRequired& e) {
    EXPECT_EQ(e.Message(), "A Port is required");
  }
  Peer peer(Echo);
  client.SetPort(peer.Port());
  client.Connect();
  try {
    client.Connect();
    FAIL();
  } catch (const EIdAlreadyConnected& e) {
    EXPECT_EQ(e.Message(), "Already connected.");
  }
  client.Disconnect();
  // A disconnect of a closed handler reports nothing.
  int disconnected = 0;
  client.OnDisconnected = [&](TObject*) { ++disconnected; };
  client.Disconnect();
  EXPECT_EQ(disconnected, 0);
}

// A listener whose accept queue is full drops further SYNs: a connect to it
// stays pending until ConnectTimeout.
TEST(TCPClient, ConnectTimeoutAgainstAFullAcceptQueue) {
  Peer peer(nullptr, false, 0, 0);  // never accepts, backlog 0
  std::vector<int> fillers;
  // Fill the queue: until a connect no longer completes at once.
  for (int i = 0; i < 64; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(peer.Port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    fillers.push_back(fd);
    pollfd item{fd, POLLOUT, 0};
    if (::poll(&item, 1, 200) == 0) break;
  }
  const int descriptors = loopback::OpenDescriptors();
  const int threads = loopback::Threads();
  for (int round = 0; round < 3; ++round) {
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(peer.Port());
    client.SetConnectTimeout(300);
    const auto start = Clock::now();
    try {
      client.Connect();
      FAIL() << "connected";
    } catch (const EIdConnectTimeout& e) {
      EXPECT_EQ(e.Message(), "Connect timed out.");
    }
    const int64_t elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 2000);  // generous: only "not the system's own minutes"
  }
  EXPECT_EQ(loopback::OpenDescriptors(), descriptors);
  EXPECT_EQ(loopback::Threads(), threads);
  for (int fd : fillers) ::close(fd);
}

TEST(TCPClient, NoDescriptorOrThreadLeaksOverManyCycles) {
  Peer peer([](int& aFD) { loopback::SendAll(aFD, "hi\n"); loopback::ReceiveAll(aFD, 2000); },
            false, 200);
  {
    // Warm up once: the first connect may create process-wide state.
    auto client = ConnectTo(peer);
    client->Disconnect();
  }
  // Count while the peer holds no connection of its own.
  const auto peerIdle = [&](int aServed) {
    for (int i = 0; i < 500 && peer.Served() < aServed; ++i) std::this_thread::sleep_for(5ms);
    return peer.Served() == aServed;
  };
  ASSERT_TRUE(peerIdle(1));
  const int descriptors = loopback::OpenDescriptors();
  const int threads = loopback::Threads();
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(peer.Port());
  client.SetConnectTimeout(2000);
  for (int i = 0; i < 150; ++i) {
    client.Connect();
    ASSERT_EQ(client.IOHandler()->ReadLn(), "hi");
    client.Disconnect();
  }
  ASSERT_TRUE(peerIdle(151));
  EXPECT_EQ(loopback::OpenDescriptors(), descriptors);
  EXPECT_EQ(loopback::Threads(), threads);
}

TEST(TCPClient, DescriptorAbove1023) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 1100) {
    rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    ASSERT_GE(raised.rlim_cur, 1100u) << "the hard limit allows no descriptor above 1023";
  }
  Peer peer(Echo);
  // Occupy every low descriptor number so the client's socket gets a high one.
  std::vector<int> fillers;
  for (;;) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    fillers.push_back(fd);
    if (fd >= 1030) break;
  }
  {
    auto client = ConnectTo(peer);
    EXPECT_GT(client->Socket()->Binding()->Handle(), 1023);
    client->IOHandler()->WriteLn("high");
    EXPECT_TRUE(client->IOHandler()->CheckForDataOnSource(3000));
    EXPECT_EQ(client->IOHandler()->ReadLn(), "high");
    client->Disconnect();
  }
  for (int fd : fillers) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(TCPClient, BindsWithinAPortRange) {
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(9);
  client.SetBoundPortMin(5000);
  client.SetBoundPortMax(4999);
  try {
    client.Connect();
    FAIL();
  } catch (const EIdInvalidPortRange& e) {
    EXPECT_EQ(e.Message(), "Invalid Port Range (5000 - 4999)");
  }
  // Three busy ports in a row: nothing to bind. Listeners on any address
  // hold them (a port left in TIME_WAIT by an earlier run is skipped).
  const auto hold = [](uint16_t aPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(aPort);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && ::listen(fd, 1) == 0)
      return fd;
    ::close(fd);
    return -1;
  };
  std::vector<int> holders;
  uint16_t first = 0;
  for (uint16_t base = 20011; base < 30000 && holders.size() < 3; base += 97) {
    for (int fd : holders) ::close(fd);
    holders.clear();
    first = base;
    for (uint16_t p = base; p < base + 3; ++p) {
      const int fd = hold(p);
      if (fd < 0) break;
      holders.push_back(fd);
    }
  }
  ASSERT_EQ(holders.size(), 3u);
  Peer peer(Echo);
  client.SetPort(peer.Port());
  client.SetBoundPortMin(first);
  client.SetBoundPortMax(first + 2);
  try {
    client.Connect();
    FAIL();
  } catch (const EIdCanNotBindPortInRange& e) {
    EXPECT_EQ(e.Message(), "Can not bind in port range (" + std::to_string(first) + " - " +
                               std::to_string(first + 2) + ")");
  }
  // Free the lowest port: the range is tried from the top down and takes it.
  ::close(holders[0]);
  client.Connect();
  EXPECT_EQ(client.Socket()->Binding()->Port(), first);
  client.Disconnect();
  ::close(holders[1]);
  ::close(holders[2]);
}

TEST(TCPClient, NagleAndLingerAreSettingsOfEachSocket) {
  // One client lingers 0 seconds (its close resets), the other does not linger.
  std::mutex lock;
  std::vector<std::string> ends;
  Peer peer(
      [&](int& aFD) {
        char c;
        const ssize_t n = ::recv(aFD, &c, 1, 0);
        std::lock_guard<std::mutex> guard(lock);
        ends.push_back(n == 0 ? "FIN" : errno == ECONNRESET ? "RST" : "other");
      },
      false, 3);
  auto lingering = std::make_unique<TIdTCPClient>();
  lingering->SetHost("127.0.0.1");
  lingering->SetPort(peer.Port());
  lingering->SetLingerState(0);
  lingering->SetUseNagle(false);
  lingering->Connect();
  EXPECT_EQ(lingering->Socket()->Binding()->GetSockOpt(IPPROTO_TCP, TCP_NODELAY), 1);
  lingering->Disconnect();
  auto plain = ConnectTo(peer);
  EXPECT_EQ(plain->Socket()->Binding()->GetSockOpt(IPPROTO_TCP, TCP_NODELAY), 0);
  plain->Disconnect();
  for (int i = 0; i < 300 && peer.Served() < 2; ++i) std::this_thread::sleep_for(10ms);
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(ends, (std::vector<std::string>{"RST", "FIN"}));
}

TEST(SocketHandle, ResetClosesTheDescriptorAndIPVersionIsFixedWhileAllocated) {
  const int before = loopback::OpenDescriptors();
  {
    TIdSocketHandle handle;
    handle.SetIPVersion(TIdIPVersion::Id_IPv6);
    handle.AllocateSocket();
    EXPECT_TRUE(handle.HandleAllocated());
    EXPECT_EQ(handle.SocketType(), Id_SOCK_STREAM);
    EXPECT_EQ(loopback::OpenDescriptors(), before + 1);
    try {
      handle.SetIPVersion(TIdIPVersion::Id_IPv4);
      FAIL();
    } catch (const EIdCannotSetIPVersionWhenConnected& e) {
      EXPECT_EQ(e.Message(), "Cannot change IPVersion when connected");
    }
    handle.Reset(true);
    EXPECT_FALSE(handle.HandleAllocated());
    EXPECT_EQ(loopback::OpenDescriptors(), before);
    try {
      handle.Readable(0);
      FAIL();
    } catch (const EIdConnClosedGracefully& e) {
      EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
    }
    handle.AllocateSocket();
  }  // destruction closes as well
  EXPECT_EQ(loopback::OpenDescriptors(), before);
}

// --- reading ---

TEST(IOHandler, PeerCloseIsGracefulAfterTheBufferDrains) {
  Peer peer([](int& aFD) { loopback::SendAll(aFD, "0123456789"); });
  auto client = ConnectTo(peer);
  TIdIOHandler* io = client->IOHandler();
  std::this_thread::sleep_for(100ms);  // the data and the close have arrived
  TIdBytes data;
  io->ReadBytes(data, 10, false);
  EXPECT_EQ(Text(data), "0123456789");
  try {
    io->ReadBytes(data, 1, false);
    FAIL() << "read after close";
  } catch (const EIdConnClosedGracefully& e) {
    EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
  }
  EXPECT_FALSE(client->Connected());
}

TEST(IOHandler, ResetIsSocketError10054OnceTheBufferIsEmpty) {
  Peer peer([](int& aFD) {
    loopback::SendAll(aFD, "abc");
    std::this_thread::sleep_for(100ms);
    loopback::Reset(aFD);
  });
  auto client = ConnectTo(peer);
  TIdIOHandler* io = client->IOHandler();
  TIdBytes data;
  io->ReadBytes(data, 3, false);
  EXPECT_EQ(Text(data), "abc");
  try {
    io->ReadBytes(data, 1, false);
    FAIL() << "read after reset";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError, 10054);
    EXPECT_EQ(e.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
  }
  EXPECT_FALSE(io->Opened());
}

TEST(IOHandler, PartialReadsAndLargeWrites) {
  // The peer answers a 4 MB block in small pieces after reading all of it.
  constexpr size_t size = 4 << 20;
  Peer peer([](int& aFD) {
    const std::string block = loopback::Receive(aFD, size, 5000);
    for (size_t at = 0; at < block.size(); at += 65536) {
      loopback::SendAll(aFD, block.substr(at, 65536));
      if (at < 5 * 65536) std::this_thread::sleep_for(5ms);
    }
  });
  auto client = ConnectTo(peer);
  std::string block(size, '\0');
  for (size_t i = 0; i < size; ++i) block[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
  client->IOHandler()->Write(Bytes(block));
  TIdBytes answer;
  client->IOHandler()->ReadBytes(answer, static_cast<int>(size), false);
  EXPECT_TRUE(Text(answer) == block);
}

TEST(IOHandler, ReadTimeouts) {
  Peer peer([](int& aFD) { loopback::SendAll(aFD, "ab"); loopback::ReceiveAll(aFD, 3000); });
  auto client = ConnectTo(peer);
  TIdIOHandler* io = client->IOHandler();
  io->SetReadTimeout(200);
  TIdBytes data;
  auto start = Clock::now();
  try {
    io->ReadBytes(data, 5, false);
    FAIL();
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), "Read timed out.");
  }
  EXPECT_GE(MillisecondsSince(start), 190);
  // -1: what is there, after one wait: the two bytes, then nothing without raising.
  data.clear();
  io->ReadBytes(data, -1, false);
  EXPECT_EQ(Text(data), "ab");
  start = Clock::now();
  io->ReadBytes(data, -1, false);
  EXPECT_TRUE(data.empty());
  EXPECT_GE(MillisecondsSince(start), 190);
  EXPECT_EQ(io->ReadLn(), "");
  EXPECT_TRUE(io->ReadLnTimedOut());
}

TEST(IOHandler, WaitingForDataWakesWhenBytesArriveAndKeepsItsBound) {
  Peer peer([](int& aFD) {
    std::this_thread::sleep_for(150ms);
    loopback::SendAll(aFD, "x");
    loopback::ReceiveAll(aFD, 3000);
  });
  auto client = ConnectTo(peer);
  TIdIOHandler* io = client->IOHandler();
  auto start = Clock::now();
  EXPECT_TRUE(io->CheckForDataOnSource(10000));
  EXPECT_LT(MillisecondsSince(start), 3000);  // woke with the data, not at the bound
  EXPECT_EQ(io->InputBuffer()->Size(), 1);
  start = Clock::now();
  EXPECT_FALSE(io->CheckForDataOnSource(100));
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 95);
  EXPECT_LT(elapsed, 1000);
  EXPECT_FALSE(io->CheckForDataOnSource(0));
}

TEST(IOHandler, LinesAndTheirLimits) {
  Peer peer([](int& aFD) {
    loopback::SendAll(aFD, "abc\r\nabc\nde\r");
    std::this_thread::sleep_for(50ms);
    loopback::SendAll(aFD, "\nf|g||");  // the CR LF of "de" is split across reads
    loopback::SendAll(aFD, std::string(20000, 'x') + "\n" + std::string(20000, 'y') + "\n");
    loopback::ReceiveAll(aFD, 3000);
  });
  auto client = ConnectTo(peer);
  TIdIOHandler* io = client->IOHandler();
  EXPECT_EQ(io->ReadLn(), "abc");
  EXPECT_EQ(io->ReadLn(), "abc");
  EXPECT_EQ(io->ReadLn(), "de");
  EXPECT_EQ(io->ReadLn("|"), "f");
  EXPECT_EQ(io->ReadLn("||"), "g");
  try {
    io->ReadLn();
    FAIL();
  } catch (const EIdReadLnMaxLineLengthExceeded& e) {
    EXPECT_EQ(e.Message(), "Max line length exceeded.");
  }
  io->InputBuffer()->Remove(20001);  // drop the x line
  io->SetMaxLineAction(TIdMaxLineAction::maSplit);
  const std::string first = io->ReadLn();
  EXPECT_EQ(first, std::string(16384, 'y'));
  EXPECT_TRUE(io->ReadLnSplit());
  EXPECT_EQ(io->ReadLn(), std::string(20000 - 16384, 'y'));
  EXPECT_FALSE(io->ReadLnSplit());
}

TEST(IOHandler, CaptureDiscardAndTypedReads) {
  Peer peer([](int& aFD) {
    loopback::SendAll(aFD, "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\n\r\n");
    loopback::SendAll(aFD, std::string(100000, 'z'));
    loopback::SendAll(aFD, std::string("\x01\x02\x03\x04\x05\x06", 6));
    loopback::ReceiveAll(aFD, 3000);
  });
  auto client = ConnectTo(peer);
  TIdIOHandler* io = client->IOHandler();
  EXPECT_EQ(io->ReadLn(), "HTTP/1.1 200 OK");
  TStringList headers;
  io->Capture(headers, "");
  EXPECT_EQ(headers.Lines(), (std::vector<std::string>{"A: 1", "B: 2"}));
  io->Discard(100000);
  EXPECT_EQ(io->ReadUInt16(), 0x0102);
  EXPECT_EQ(io->ReadUInt32(), 0x03040506u);
}

// --- writing ---

// Records each block that reaches the socket (the last link sees what is sent).
class TRecorder : public TIdConnectionIntercept {
 public:
  void Send(TIdBytes& ABuffer) override {
    TIdConnectionIntercept::Send(ABuffer);
    Sent.push_back(ABuffer.size());
  }
  std::vector<size_t> Sent;
};

TEST(IOHandler, WriteBufferingWithAndWithoutThreshold) {
  Peer peer([](int& aFD) { loopback::SendAll(aFD, loopback::ReceiveAll(aFD, 3000)); });
  auto client = ConnectTo(peer);
  TIdIOHandler* io = client->IOHandler();
  TRecorder recorder;
  io->SetIntercept(&recorder);
  io->Write(TIdBytes());  // nothing, not even a connection check
  io->WriteBufferOpen(100);
  io->Write(TIdBytes(250, 'a'));
  EXPECT_EQ(recorder.Sent, (std::vector<size_t>{100, 100}));
  io->WriteBufferClose();
  EXPECT_EQ(recorder.Sent, (std::vector<size_t>{100, 100, 50}));
  recorder.Sent.clear();
  io->WriteBufferOpen();  // no threshold: only on request
  io->Write(TIdBytes(5000, 'b'));
  io->WriteLn("end");
  EXPECT_TRUE(recorder.Sent.empty());
  io->WriteBufferFlush(1000);
  EXPECT_EQ(recorder.Sent, (std::vector<size_t>{1000}));
  io->WriteBufferClose();
  EXPECT_EQ(recorder.Sent, (std::vector<size_t>{1000, 4005}));
  EXPECT_FALSE(io->WriteBufferingActive());
  io->WriteBufferOpen();
  io->Write(TIdBytes(10, 'c'));
  io->WriteBufferCancel();  // dropped
  io->SetIntercept(nullptr);
  ::shutdown(client->Socket()->Binding()->Handle(), SHUT_WR);
  TIdBytes echoed;
  client->IOHandler()->SetReadTimeout(3000);
  try {
    for (;;) client->IOHandler()->ReadBytes(echoed, -1, true);
  } catch (const EIdConnClosedGracefully&) {
  }
  EXPECT_EQ(Text(echoed), std::string(250, 'a') + std::string(5000, 'b') + "end\r\n");
}

TEST(IOHandler, InterceptsSeeAndChangeBlocksInBothDirections) {
  Peer peer([](int& aFD) {
    const std::string got = loopback::Receive(aFD, 6);
    loopback::SendAll(aFD, "in:" + got);
    std::this_thread::sleep_for(50ms);
    loopback::SendAll(aFD, "drop");  // swallowed by the intercept: not a close
    std::this_thread::sleep_for(50ms);
    loopback::SendAll(aFD, "kept");
    loopback::ReceiveAll(aFD, 3000);
  });
  auto client = ConnectTo(peer);
  TIdIOHandler* io = client->IOHandler();
  std::vector<std::string> order;
  TIdConnectionIntercept first, second;
  first.SetIntercept(&second);
  first.OnSend = [&](TIdConnectionIntercept*, TIdBytes& b) {
    order.push_back("first send " + Text(b));
    TIdBytes doubled = b;
    doubled.insert(doubled.end(), b.begin(), b.end());
    b = doubled;
  };
  second.OnSend = [&](TIdConnectionIntercept*, TIdBytes& b) { order.push_back("second send " + Text(b)); };
  second.OnReceive = [&](TIdConnectionIntercept*, TIdBytes& b) {
    order.push_back("second recv " + Text(b));
    if (Text(b) == "drop") b.clear();
  };
  first.OnReceive = [&](TIdConnectionIntercept*, TIdBytes& b) {
    for (auto& c : b) c = static_cast<uint8_t>(std::toupper(c));
  };
  io->SetIntercept(&first);
  io->Write(Bytes("abc"));
  TIdBytes data;
  io->ReadBytes(data, 9, false);
  EXPECT_EQ(Text(data), "IN:ABCABC");
  EXPECT_EQ(order, (std::vector<std::string>{"first send abc", "second send abcabc",
                                             "second recv in:abcabc"}));
  data.clear();
  io->ReadBytes(data, 4, false);
  EXPECT_EQ(Text(data), "KEPT");
  EXPECT_TRUE(client->Connected());
  try {
    first.SetIntercept(nullptr);
    second.SetIntercept(&first);
    first.SetIntercept(&second);
    FAIL();
  } catch (const EIdInterceptCircularLink& e) {
    EXPECT_EQ(e.Message(), "TIdConnectionIntercept: Circular links are not allowed");
  }
  io->SetIntercept(nullptr);
}

TEST(IOHandler, ClosedPeerNeverKillsTheWriter) {
  // A send to a reset connection fails with an error instead of SIGPIPE.
  Peer peer([](int& aFD) {
    std::this_thread::sleep_for(50ms);  // after the client's connect has returned
    loopback::Reset(aFD);
  });
  auto client = ConnectTo(peer);
  std::this_thread::sleep_for(200ms);
  TIdIOHandler* io = client->IOHandler();
  try {
    for (int i = 0; i < 100; ++i) io->Write(TIdBytes(1000, 'x'));
    FAIL() << "writes to a reset connection succeeded";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError, 10054);
  } catch (const EIdConnClosedGracefully&) {
  }
  EXPECT_FALSE(io->Opened());
}

TEST(IOHandler, ASendThatFailsPartWayClosesTheConnection) {
  // The peer takes the first byte, then resets while the rest is on its way.
  Peer peer([](int& aFD) {
    loopback::Receive(aFD, 1, 10000);
    std::this_thread::sleep_for(100ms);
    loopback::Reset(aFD);
  });
  const TIdBytes block(64 << 20, 'x');
  auto client = ConnectTo(peer);
  TIdIOHandler* io = client->IOHandler();
  int64_t written = 0;
  client->OnWork = [&](TObject*, TWorkMode AMode, int64_t ACount) {
    if (AMode == TWorkMode::wmWrite) written += ACount;
  };
  try {
    io->Write(block);
    FAIL() << "the whole block went out";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError, 10054);
  }
  EXPECT_GT(written, 0);
  // Nothing more can follow the half-written block.
  EXPECT_FALSE(io->Opened());
  EXPECT_FALSE(client->Socket()->BindingAllocated());
  EXPECT_THROW(io->Write(Bytes("more")), EIdSocketError);
}

// --- the handler's settings ---

TEST(IOHandler, DestinationSplitsAtTheLastColonAndKnowsBrackets) {
  const struct {
    const char* value;
    const char* host;
    int port;
    const char* destination;
  } cases[] = {
      {"example.com:8080", "example.com", 8080, "example.com:8080"},
      {"example.com: 8081 ", "example.com", 8081, "example.com:8081"},
      {"example.com:http", "example.com", 443, "example.com"},  // not a number: DefaultPort
      {"[::1]:8443", "::1", 8443, "[::1]:8443"},
      {"[2001:db8::1]", "2001:db8::1", 443, "[2001:db8::1]"},
      {"plainhost", "old", 1, "old:1"},  // no colon: ignored
  };
  for (const auto& c : cases) {
    TIdIOHandlerStack io;
    io.SetDefaultPort(443);
    io.SetHost("old");
    io.SetPort(1);
    io.SetDestination(c.value);
    EXPECT_EQ(io.Host(), c.host) << c.value;
    EXPECT_EQ(io.Port(), c.port) << c.value;
    EXPECT_EQ(io.Destination(), c.destination) << c.value;
  }
}

// A proxy that only records what it was asked and writes a marker.
class TMarkerProxy : public TIdCustomTransparentProxy {
 public:
  using TIdCustomTransparentProxy::TIdCustomTransparentProxy;
  TIdCustomTransparentProxy* NewInstance() const override { return new TMarkerProxy(); }
  bool Enabled() const override { return true; }
  std::string Asked;

 protected:
  void NegotiateTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                       TIdIPVersion) override {
    Asked = AHost + ":" + std::to_string(APort);
    AIOHandler->WriteLn("TUNNEL " + Asked);
  }
};

TEST(IOHandler, ATransparentProxyIsConnectedToAndNegotiatesTheTarget) {
  std::string seen;
  Peer proxy([&](int& aFD) { seen = loopback::Receive(aFD, 27); });
  TComponent owner(nullptr);
  auto* marker = new TMarkerProxy(&owner);
  marker->SetHost("127.0.0.1");
  marker->SetPort(proxy.Port());
  TIdTCPClient client;
  client.CreateIOHandler();
  client.Socket()->SetTransparentProxy(marker);
  client.SetHost("target.example");
  client.SetPort(443);
  client.Connect();
  EXPECT_EQ(marker->Asked, "target.example:443");
  client.Disconnect();
  // An owned proxy is referenced and forgotten when freed.
  delete marker;
  EXPECT_EQ(client.Socket()->TransparentProxy(), nullptr);
  // One without an owner is copied into the handler's own.
  TMarkerProxy loose;
  loose.SetHost("h");
  client.Socket()->SetTransparentProxy(&loose);
  ASSERT_NE(client.Socket()->TransparentProxy(), &loose);
  EXPECT_EQ(client.Socket()->TransparentProxy()->Host(), "h");
  EXPECT_TRUE(client.Socket()->ImplicitTransparentProxy());
  for (int i = 0; i < 300 && proxy.Served() < 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(seen, "TUNNEL target.example:443\r\n");
}

}  // namespace
