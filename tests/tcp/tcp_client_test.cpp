// The TCP client component against a real loopback peer: activation and
// deactivation in both modes and all three delivery modes, queued writes,
// peer close and reset, failed connects, heartbeat and watchdog, framed
// reading and many activation cycles without leaks.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtl/MainThread.h"
#include "tcp/kfxTCP_Client.h"
#include "tests/support/tcp_echo_peer.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using apns_test::PumpUntil;
using apns_test::PumpFor;

std::string Text(const TMemoryStream* aData) {
  return std::string(aData->Bytes().begin(), aData->Bytes().end());
}

TIdBytes Bytes(const std::string& aText) { return TIdBytes(aText.begin(), aText.end()); }

int CountEntries(const char* aFolder) {
  int count = 0;
  if (DIR* dir = ::opendir(aFolder)) {
    while (::readdir(dir)) ++count;
    ::closedir(dir);
  }
  return count;
}

// Records events with the thread they ran on; the client reconnects from
// its watchdog and writes on each heartbeat, as a subclass is meant to.
class TTestClient : public TkfxTCPCLient_Common {
 public:
  ~TTestClient() override { ShutDown(); }
  explicit TTestClient(TkfxTCPMode aMode) : TkfxTCPCLient_Common(nullptr) {
    SetTCPMode(aMode);
    SetHost("127.0.0.1");
    OnConnect = [this](TkfxTCPConnection*) { Add("connect"); };
    OnDisconnect = [this](TkfxTCPConnection* c) { Add(c->Freed() ? "disconnect freed" : "disconnect"); };
    OnException = [this](TkfxTCPConnection*, Exception* E) { Add("exception " + E->Message()); };
    OnBinary = [this](TkfxTCPConnection*, TMemoryStream* Data) {
      std::lock_guard guard(Lock);
      Received += Text(Data);
      Frames.push_back(Text(Data));
    };
  }

  void Add(const std::string& aWhat) {
    std::lock_guard guard(Lock);
    Events.push_back(aWhat);
    OnMainThread.push_back(IsMainThread());
  }
  std::vector<std::string> EventsCopy() {
    std::lock_guard guard(Lock);
    return Events;
  }
  size_t Count(const std::string& aWhat) {
    std::lock_guard guard(Lock);
    return static_cast<size_t>(std::count(Events.begin(), Events.end(), aWhat));
  }
  int QueuedCommands() { return Commands().Count(); }
  std::string ReceivedCopy() {
    std::lock_guard guard(Lock);
    return Received;
  }
  // Writes as an application would: queued in commands mode, directly otherwise.
  void Send(const std::string& aText) {
    if (TCPMode() == TkfxTCPMode::tcpmCommands)
      AddBytes(Bytes(aText));
    else if (auto connection = ConnectionRef())
      connection->WriteBytes(Bytes(aText));
  }

  std::atomic<int> Beats{0};
  std::atomic<int> WatchDogTicks{0};
  std::mutex Lock;
  std::vector<std::string> Events;
  std::vector<bool> OnMainThread;
  std::string Received;
  std::vector<std::string> Frames;

 protected:
  void OnHeartBeatTimer(TObject*) override {
    ++Beats;
    Send("beat");
  }
  void OnWatchDogTimer(TObject* Sender) override {
    ++WatchDogTicks;
    if (TCPMode() == TkfxTCPMode::tcpmCommands)
      AddCommand(TkfxTCPCommands::tcmActive);
    else
      SetActive(true);
    TkfxTCPCLient_Common::OnWatchDogTimer(Sender);
  }
  void OnClientConnected(TObject* Sender) override {
    TkfxTCPCLient_Common::OnClientConnected(Sender);
    DoStopWatchDog();
    DoStartHeartBeat();
  }
  void DoNotifyDisconnect(TkfxTCPConnection* Connection) override {
    const bool restart = FWatchDogEnabled && ConnectionRef().get() == Connection;
    TkfxTCPCLient_Common::DoNotifyDisconnect(Connection);
    if (restart && (WatchDog().Attempts() == 0 || FWatchDogAttempts < WatchDog().Attempts()))
      DoStartWatchDog();
  }
};

struct TModes {
  TkfxTCPMode Mode;
  TwsNotifyEvent Notify;
};

std::string Describe(const TModes& m) {
  return std::string(m.Mode == TkfxTCPMode::tcpmCommands ? "commands" : "default") + "/" +
         std::to_string(static_cast<int>(m.Notify));
}

const std::vector<TModes> kAllModes = {
    {TkfxTCPMode::tcpmDefault, TwsNotifyEvent::neNoSync},
    {TkfxTCPMode::tcpmDefault, TwsNotifyEvent::neAsynchronous},
    {TkfxTCPMode::tcpmDefault, TwsNotifyEvent::neSynchronous},
    {TkfxTCPMode::tcpmCommands, TwsNotifyEvent::neNoSync},
    {TkfxTCPMode::tcpmCommands, TwsNotifyEvent::neAsynchronous},
    {TkfxTCPMode::tcpmCommands, TwsNotifyEvent::neSynchronous},
};

// Connect, exchange, disconnect in every mode: events in order, on the
// thread the delivery mode selects, the connection freed after its
// disconnect event, no connection object afterwards.
TEST(TCPClient, ConnectExchangeDisconnectInEveryMode) {
  TEchoPeer peer;
  ASSERT_TRUE(peer.Start());
  for (const TModes& m : kAllModes) {
    SCOPED_TRACE(Describe(m));
    TTestClient client(m.Mode);
    client.SetNotifyEvents(m.Notify);
    client.SetPort(peer.Port());
    EXPECT_TRUE(client.Connect(5000));
    EXPECT_TRUE(client.Active());
    ASSERT_TRUE(PumpUntil([&] { return client.Count("connect") == 1; }));
    client.Send("hello");
    ASSERT_TRUE(PumpUntil([&] { return client.ReceivedCopy() == "hello"; }));
    EXPECT_TRUE(client.Disconnect(5000));
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.Connection(), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return client.Count("disconnect") == 1; }));
    PumpFor(20ms);
    EXPECT_EQ(client.EventsCopy(), (std::vector<std::string>{"connect", "disconnect"}));
    // Without synchronisation an event runs where it happened: on the
    // caller's thread in default mode, on the read thread in commands mode.
    const bool expectMain =
        m.Notify != TwsNotifyEvent::neNoSync || m.Mode == TkfxTCPMode::tcpmDefault;
    for (size_t i = 0; i < client.OnMainThread.size(); ++i)
      EXPECT_EQ(client.OnMainThread[i], expectMain) << client.Events[i];
  }
}

// A burst of queued writes reaches the peer in order and comes back whole.
TEST(TCPClient, QueuedWritesArriveInOrder) {
  TEchoPeer peer;
  ASSERT_TRUE(peer.Start());
  TTestClient client(TkfxTCPMode::tcpmCommands);
  client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  client.SetPort(peer.Port());
  ASSERT_TRUE(client.Connect(5000));
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    const std::string line = "msg-" + std::to_string(i) + "\n";
    expected += line;
    client.AddBytes(Bytes(line));
  }
  ASSERT_TRUE(PumpUntil([&] { return client.ReceivedCopy().size() >= expected.size(); }, 10s));
  EXPECT_EQ(client.ReceivedCopy(), expected);
  EXPECT_EQ(client.ConnectionRef()->SendBytes(), static_cast<int64_t>(expected.size()));
  client.Disconnect(5000);
}

// Writes queued back to back are taken together, in order, up to a size
// bound, never across a command or into another connection's writes.
TEST(TCPClient, CommandQueueGathersConsecutiveWrites) {
  TkfxQueueCommands queue;
  queue.AddBytes(Bytes("a"), 1);
  queue.AddBytes(Bytes("bb"), 1);
  queue.AddBytes(Bytes("ccc"), 2);
  queue.AddBytes(Bytes("d"), 2);
  queue.AddCommand(TkfxTCPCommands::tcmNotActive);
  queue.AddBytes(Bytes("eeee"), 2);
  queue.AddBytes(Bytes("ffff"), 2);
  queue.AddBytes(Bytes("g"), 2);
  std::vector<std::string> batches;
  std::vector<uint64_t> last;
  std::vector<std::unique_ptr<TkfxQueueCommand>> following;
  while (auto item = queue.Pop(following, 6)) {
    std::string batch = item->FCommand == TkfxTCPCommands::tcmWriteBytes
                            ? std::string(item->FBytes.begin(), item->FBytes.end())
                            : std::string("<command>");
    uint64_t sequence = item->FSequence;
    for (const auto& next : following) {
      batch += "+" + std::string(next->FBytes.begin(), next->FBytes.end());
      sequence = next->FSequence;
    }
    batches.push_back(batch);
    last.push_back(sequence);
    following.clear();
  }
  EXPECT_EQ(batches, (std::vector<std::string>{"a+bb", "ccc+d", "<command>", "eeee+ffff", "g"}));
  EXPECT_EQ(last, (std::vector<uint64_t>{2, 4, 5, 7, 8}));
  EXPECT_EQ(queue.Count(), 0);
}

// Each write waits for its echo before the next is queued, from two threads
// in turn: every wake-up of the read thread must be noticed (a lost one
// leaves a write waiting out the read thread's poll interval, and once the
// wake-up flag is stuck, every later write does).
TEST(TCPClient, WakeUpsAreNotLostBetweenWrites) {
  TEchoPeer peer;
  ASSERT_TRUE(peer.Start());
  TTestClient client(TkfxTCPMode::tcpmCommands);
  client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  client.SetPort(peer.Port());
  ASSERT_TRUE(client.Connect(5000));
  constexpr int kRounds = 1500;  // at the 10 ms poll interval this would take 15 s
  std::atomic<bool> stop{false};
  auto writer = [&](int aFirst) {
    for (int i = aFirst; i < kRounds && !stop; i += 2) {
      while (!stop && client.ReceivedCopy().size() < static_cast<size_t>(i)) std::this_thread::yield();
      client.AddBytes(Bytes("x"));
    }
  };
  const auto start = std::chrono::steady_clock::now();
  std::thread even(writer, 0), odd(writer, 1);
  const bool done = PumpUntil([&] { return client.ReceivedCopy().size() >= static_cast<size_t>(kRounds); }, 10s);
  stop = true;
  even.join();
  odd.join();
  EXPECT_TRUE(done) << client.ReceivedCopy().size() << " of " << kRounds << " after "
                    << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                           .count()
                    << " ms";
  client.Disconnect(5000);
}

// The peer closes or resets: the disconnect is delivered once, with the
// exception report, in both modes; a later activation reconnects.
TEST(TCPClient, PeerCloseAndResetAreDetectedOnce) {
  TEchoPeer peer;
  ASSERT_TRUE(peer.Start());
  for (TkfxTCPMode mode : {TkfxTCPMode::tcpmDefault, TkfxTCPMode::tcpmCommands}) {
    for (bool reset : {false, true}) {
      SCOPED_TRACE(std::string(mode == TkfxTCPMode::tcpmCommands ? "commands" : "default") +
                   (reset ? " reset" : " close"));
      TTestClient client(mode);
      client.SetPort(peer.Port());
      const int accepted = peer.Accepted();
      ASSERT_TRUE(client.Connect(5000));
      ASSERT_TRUE(PumpUntil([&] { return client.Count("connect") == 1; }));
      ASSERT_TRUE(peer.WaitAccepted(accepted + 1));
      peer.CloseClients(reset);
      ASSERT_TRUE(PumpUntil([&] { return client.Count("disconnect") == 1; }))
          << ::testing::PrintToString(client.EventsCopy());
      PumpFor(50ms);
      EXPECT_EQ(client.Count("disconnect"), 1u);
      EXPECT_FALSE(client.Active());
      const auto events = client.EventsCopy();
      ASSERT_GE(events.size(), 3u);
      const std::string expected =
          reset ? "Connection reset by peer." : "exception Connection Closed Gracefully.";
      EXPECT_NE(std::find_if(events.begin(), events.end(),
                             [&](const std::string& e) { return e.find(expected) != std::string::npos; }),
                events.end())
          << ::testing::PrintToString(events);
      // Nothing was left open: the next activation connects again.
      EXPECT_TRUE(client.Connect(5000));
      ASSERT_TRUE(PumpUntil([&] { return client.Count("connect") == 2; }));
      client.Disconnect(5000);
    }
  }
}

// Failed activations report through OnException, never raise, and leave the
// component inactive and able to connect once the server is there.
TEST(TCPClient, FailedActivationsAreReported) {
  for (TkfxTCPMode mode : {TkfxTCPMode::tcpmDefault, TkfxTCPMode::tcpmCommands}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TTestClient client(mode);
    client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client.SetHost("");
    client.SetActive(true);
    EXPECT_FALSE(client.Active());
    client.SetHost("127.0.0.1");
    TEchoPeer probe;
    ASSERT_TRUE(probe.Start());
    const uint16_t port = probe.Port();
    probe.Stop();
    client.SetPort(port);
    EXPECT_FALSE(client.Connect(5000));
    EXPECT_FALSE(client.Connect(0));
    TEchoPeer peer;
    ASSERT_TRUE(peer.Start(port));
    EXPECT_TRUE(client.Connect(5000));
    const auto events = client.EventsCopy();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[0], "exception A Host is required");
    EXPECT_EQ(events[1], "exception Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(events.back(), "connect");
    client.Disconnect(5000);
  }
}

// A handler that, once connected, waits for the server to speak first, as a
// TLS handshake waits for the server's hello.
class TWaitForServerHandler : public TIdSSLIOHandlerSocketBase {
 public:
  std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() override {
    return std::make_unique<TWaitForServerHandler>();
  }
  void StartSSL() override {}

 protected:
  void ConnectClient() override {
    TIdSSLIOHandlerSocketBase::ConnectClient();
    TIdBytes hello;
    ReadBytes(hello, 1);
  }
  int RecvEnc(TIdBytes& VBuffer) override { return TIdIOHandlerStack::ReadDataFromSource(VBuffer); }
  int SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) override {
    return TIdIOHandlerStack::WriteDataToTarget(ABuffer, AOffset, ALength);
  }
};

// A server that accepts and never answers holds an activation no longer than
// its time-out, in both modes; the failure is reported as a connect time-out.
TEST(TCPClient, SilentServerCannotHoldTheActivation) {
  TEchoPeer peer(TEchoPeer::TMode::Mute);
  ASSERT_TRUE(peer.Start());
  for (TkfxTCPMode mode : {TkfxTCPMode::tcpmDefault, TkfxTCPMode::tcpmCommands}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TTestClient client(mode);
    client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client.SetPort(peer.Port());
    client.SetTLS(true);
    int created = 0;
    client.OnSSLGetHandler = [&](TObject*, TwsSSLHandler, TkfxTLSIOHandler*& aHandler) {
      aHandler = new TWaitForServerHandler();
      ++created;
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Connect(300));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(created, 1);
    EXPECT_EQ(client.EventsCopy(), std::vector<std::string>{"exception Connect timed out."});
    EXPECT_FALSE(client.Active());
  }
}

// The heartbeat writes once a period; when the server goes away and comes
// back the watchdog reconnects, after every outage.
TEST(TCPClient, HeartbeatWritesAndWatchdogReconnects) {
  for (TkfxTCPMode mode : {TkfxTCPMode::tcpmDefault, TkfxTCPMode::tcpmCommands}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TEchoPeer peer;
    ASSERT_TRUE(peer.Start());
    const uint16_t port = peer.Port();
    TTestClient client(mode);
    client.SetPort(port);
    client.HeartBeat().SetEnabled(true);
    client.HeartBeat().SetInterval(1);
    client.WatchDog().SetEnabled(true);
    client.WatchDog().SetInterval(1);
    client.WatchDog().SetAttempts(3);
    ASSERT_TRUE(client.Connect(5000));
    ASSERT_TRUE(PumpUntil([&] { return client.ReceivedCopy().find("beat") != std::string::npos; }));
    // The server goes away and comes back: the watchdog reconnects, and after
    // that success the attempts count afresh for the next outage.
    for (int outage = 0; outage < 2; ++outage) {
      peer.Stop();
      ASSERT_TRUE(PumpUntil([&] { return !client.Active(); }));
      PumpFor(1200ms);
      ASSERT_TRUE(peer.Start(port));
      ASSERT_TRUE(PumpUntil([&] { return client.Active(); }, 8s)) << "outage " << outage;
    }
    client.SetActive(false);
    EXPECT_FALSE(client.Active());
  }
}

// With Attempts 2 the watchdog gives up after two failed reconnections, in
// both modes.
TEST(TCPClient, WatchdogStopsAfterItsAttempts) {
  for (TkfxTCPMode mode : {TkfxTCPMode::tcpmDefault, TkfxTCPMode::tcpmCommands}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TEchoPeer probe;
    ASSERT_TRUE(probe.Start());
    const uint16_t port = probe.Port();
    probe.Stop();
    TTestClient client(mode);
    client.SetPort(port);
    client.WatchDog().SetEnabled(true);
    client.WatchDog().SetInterval(1);
    client.WatchDog().SetAttempts(2);
    client.SetActive(true);
    PumpFor(3500ms);
    EXPECT_EQ(client.WatchDogTicks.load(), 2);
    EXPECT_EQ(client.Count("exception Socket Error # 10061\r\nConnection refused."), 3u);
  }
}

// Framed reading keeps what follows a marker, and chunks without one.
TEST(TCPClient, FramedReadingCarriesOver) {
  TEchoPeer peer;
  ASSERT_TRUE(peer.Start());
  struct TCase {
    TtcpEOFScanBuffer Scan;
    std::vector<std::string> Writes;
    std::vector<std::string> Frames;
  };
  const std::vector<TCase> cases = {
      {TtcpEOFScanBuffer::eofScanAllBytes, {"a\nb", "c\nd\ne\n"}, {"a\n", "bc\n", "d\n", "e\n"}},
      {TtcpEOFScanBuffer::eofScanAllBytes, {"no marker ", "yet", "\n"}, {"no marker yet\n"}},
      {TtcpEOFScanBuffer::eofScanLatestBytes, {"x\ny", "z\n"}, {"x\nyz\n"}},
  };
  for (const TCase& tc : cases) {
    TTestClient client(TkfxTCPMode::tcpmCommands);
    client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client.SetPort(peer.Port());
    // On the read thread, before anything is read.
    client.OnConnect = [&](TkfxTCPConnection* c) {
      c->SetTCPEndOfFrameScanBuffer(tc.Scan);
      c->AddTCPEndOfFrame('\n');
    };
    ASSERT_TRUE(client.Connect(5000));
    size_t sent = 0;
    for (const std::string& w : tc.Writes) {
      sent += w.size();
      client.AddBytes(Bytes(w));
      // Separate chunks: wait for the echo of each write before the next.
      PumpUntil([&] { return client.ConnectionRef() && client.ConnectionRef()->RecBytes() >= static_cast<int64_t>(sent); });
    }
    ASSERT_TRUE(PumpUntil([&] {
      std::lock_guard guard(client.Lock);
      return client.Frames.size() >= tc.Frames.size();
    }));
    std::lock_guard guard(client.Lock);
    EXPECT_EQ(client.Frames, tc.Frames);
  }
}

// A reader that takes only whole four-byte frames and leaves the rest.
class TFrameConnection : public TkfxTCPConnectionClient {
 public:
  void ReadData() override {
    const int whole = GetReadBufferSize() / 4 * 4;
    if (whole == 0) return;
    TIdBytes bytes;
    ReadBytes(bytes, whole);
    DeliverFrame(bytes, bytes.size());
  }
};

class TFrameClient : public TTestClient {
 public:
  using TTestClient::TTestClient;
  ~TFrameClient() override { ShutDown(); }

 protected:
  TkfxTCPConnectionClientRef NewConnectionObject() override {
    return std::make_shared<TFrameConnection>();
  }
};

// Half a frame in the input buffer does not hold the read thread: the
// queued write that completes the frame still goes out.
TEST(TCPClient, PartialFrameDoesNotHoldQueuedWrites) {
  TEchoPeer peer;
  ASSERT_TRUE(peer.Start());
  TFrameClient client(TkfxTCPMode::tcpmCommands);
  client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  client.SetPort(peer.Port());
  ASSERT_TRUE(client.Connect(5000));
  client.AddBytes(Bytes("ab"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the echo of "ab" waits in the buffer
  EXPECT_EQ(client.ReceivedCopy(), "");
  client.AddBytes(Bytes("cd"));
  ASSERT_TRUE(PumpUntil([&] { return client.ReceivedCopy() == "abcd"; }, 2s)) << client.ReceivedCopy();
  client.Disconnect(5000);
}

// A handler on the read thread that deactivates the client (neNoSync) ends
// the connection once and does not wait for its own thread, in both modes.
TEST(TCPClient, DeactivationFromTheReadThread) {
  TEchoPeer peer;
  ASSERT_TRUE(peer.Start());
  for (TkfxTCPMode mode : {TkfxTCPMode::tcpmDefault, TkfxTCPMode::tcpmCommands}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TTestClient client(mode);
    client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client.SetPort(peer.Port());
    client.OnBinary = [&](TkfxTCPConnection*, TMemoryStream*) { client.SetActive(false); };
    ASSERT_TRUE(client.Connect(5000));
    client.Send("bye");
    ASSERT_TRUE(PumpUntil([&] { return client.Count("disconnect") == 1; }));
    PumpUntil([] { return false; }, 50ms);
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.EventsCopy(), (std::vector<std::string>{"connect", "disconnect"}));
    // And it connects again afterwards.
    EXPECT_TRUE(client.Connect(5000));
    client.Disconnect(5000);
  }
}

// Many activation cycles leave no thread and no descriptor behind.
TEST(ActivationDeadline, OneThreadExpiresEachDeadlineInTurnAndNoneAfterItEnds) {
  // Made in an order other than their expiry; the one that ends first is
  // never expired afterwards, whatever the watch does meanwhile.
  auto late = std::make_unique<TkfxActivationDeadline>(60000);
  auto second = std::make_unique<TkfxActivationDeadline>(80);
  auto first = std::make_unique<TkfxActivationDeadline>(20);
  auto ended = std::make_unique<TkfxActivationDeadline>(40);
  ended.reset();
  ASSERT_TRUE(apns_test::WaitUntil([&] { return first->Expired(); }));
  ASSERT_TRUE(apns_test::WaitUntil([&] { return second->Expired(); }));
  EXPECT_FALSE(late->Expired());
  late.reset();  // unwatched at once, not after its minute
}

TEST(TCPClient, ActivationCyclesLeakNothing) {
  TEchoPeer peer;
  ASSERT_TRUE(peer.Start());
  // The process's one deadline thread starts with the first deadline and
  // stays: it is there before the counting starts.
  { TkfxActivationDeadline warm(60000); }
  for (TkfxTCPMode mode : {TkfxTCPMode::tcpmCommands, TkfxTCPMode::tcpmDefault}) {
    SCOPED_TRACE(static_cast<int>(mode));
    const int fdsBefore = CountEntries("/proc/self/fd");
    const int threadsBefore = CountEntries("/proc/self/task");
    int connects = 0;
    {
      TTestClient client(mode);
      client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
      client.OnConnect = [&](TkfxTCPConnection*) { ++connects; };
      client.SetPort(peer.Port());
      for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(client.Connect(5000)) << i;
        ASSERT_TRUE(client.Disconnect(5000)) << i;
      }
    }
    EXPECT_EQ(connects, 1000);
    // The peer closes its ends as it notices, and a thread that released
    // itself may still be on its way out: a leak is what stays.
    for (int i = 0; i < 2000 && peer.Open() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 2000 && CountEntries("/proc/self/task") > threadsBefore; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
    EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore);
  }
}

// Deactivation racing the peer's close delivers one disconnect per
// connection in every delivery mode.
TEST(TCPClient, DisconnectRacingPeerCloseIsDeliveredOnce) {
  TEchoPeer peer;
  ASSERT_TRUE(peer.Start());
  for (TwsNotifyEvent notify :
       {TwsNotifyEvent::neNoSync, TwsNotifyEvent::neAsynchronous, TwsNotifyEvent::neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(notify));
    TTestClient client(TkfxTCPMode::tcpmCommands);
    client.SetNotifyEvents(notify);
    client.OnException = nullptr;
    client.SetPort(peer.Port());
    const int cycles = 100;
    for (int i = 0; i < cycles; ++i) {
      ASSERT_TRUE(client.Connect(5000)) << i;
      std::thread closer([&] { peer.CloseClients(i % 2 == 0); });
      client.Disconnect(5000);
      closer.join();
      PumpUntil([&] { return client.Count("disconnect") >= static_cast<size_t>(i + 1); }, 2s);
    }
    PumpFor(20ms);
    EXPECT_EQ(client.Count("disconnect"), static_cast<size_t>(cycles));
    EXPECT_EQ(client.Count("connect"), static_cast<size_t>(cycles));
  }
}

// Freeing the component while drains are queued and timers run: nothing is
// delivered afterwards and nothing is touched after it went.
TEST(TCPClient, FreeingWithPendingDrainsAndTimers) {
  TEchoPeer peer;
  ASSERT_TRUE(peer.Start());
  std::atomic<bool> deleted{false};
  std::atomic<int> late{0};
  for (TkfxTCPMode mode : {TkfxTCPMode::tcpmDefault, TkfxTCPMode::tcpmCommands}) {
    deleted = false;
    auto* client = new TTestClient(mode);
    client->SetPort(peer.Port());
    client->HeartBeat().SetEnabled(true);
    client->HeartBeat().SetInterval(1);
    client->WatchDog().SetEnabled(true);
    client->WatchDog().SetInterval(1);
    client->OnBinary = [&](TkfxTCPConnection*, TMemoryStream*) { late += deleted ? 1 : 0; };
    client->OnDisconnect = [&](TkfxTCPConnection*) { late += deleted ? 1 : 0; };
    ASSERT_TRUE(client->Connect(5000));
    for (int i = 0; i < 50; ++i) client->Send("x");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    delete client;
    deleted = true;
    PumpFor(50ms);
  }
  EXPECT_EQ(late.load(), 0);
}

}  // namespace

namespace {

// A peer that answers and then ends the connection while the client is
// still writing: it sends aAnswer, takes the client's bytes for a while
// without looking at them, then closes with a reset (or only a FIN), so the
// client's next send fails while the answer still waits in its socket.
class TAnswerThenResetPeer {
 public:
  bool Start() {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListen < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    // A small receive window: the client's writes soon wait.
    int window = 16 * 1024;
    ::setsockopt(FListen, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    socklen_t length = sizeof address;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    return ::listen(FListen, 4) == 0;
  }
  ~TAnswerThenResetPeer() {
    if (FThread.joinable()) FThread.join();
    if (FListen >= 0) ::close(FListen);
  }
  uint16_t Port() const { return FPort; }
  // Serves one connection on a thread of its own.
  void Serve(const std::string& aAnswer, size_t aTakeBeforeClose, bool aReset) {
    FThread = std::thread([this, aAnswer, aTakeBeforeClose, aReset] {
      pollfd listening{FListen, POLLIN, 0};
      if (::poll(&listening, 1, 5000) <= 0) return;
      const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      // Takes the client's first bytes, then no more: the client's writes
      // fill the socket and its send waits while the answer arrives.
      size_t taken = 0;
      char sink[16384];
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (taken < aTakeBeforeClose && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n <= 0) break;
        taken += static_cast<size_t>(n);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      for (size_t sent = 0; sent < aAnswer.size() && std::chrono::steady_clock::now() < deadline;) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::send(fd, aAnswer.data() + sent, aAnswer.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN) break;
        if (n > 0) sent += static_cast<size_t>(n);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (aReset) {
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      } else {
        // Half-closed first; the close then resets, since the client's
        // bytes were never read.
        ::shutdown(fd, SHUT_WR);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      ::close(fd);
    });
  }

 private:
  int FListen = -1;
  uint16_t FPort = 0;
  std::thread FThread;
};

}  // namespace

// A peer that answers and then resets (or half-closes) while the client
// still writes: every answer byte it sent is delivered before the one
// disconnect, and the failed send does not throw away what waits in the
// socket.
TEST(TCPClient, AnswersBeforeAResetWhileWritingAreDelivered) {
  std::string answer;
  for (int i = 0; answer.size() < 32 * 1024; ++i) answer += "answer-" + std::to_string(i) + "\n";
  answer += "last-words\n";
  for (bool reset : {true, false}) {
    for (int round = 0; round < 5; ++round) {
      SCOPED_TRACE(std::string(reset ? "reset" : "half-close") + " round " + std::to_string(round));
      TAnswerThenResetPeer peer;
      ASSERT_TRUE(peer.Start());
      peer.Serve(answer, 64 * 1024, reset);
      TTestClient client(TkfxTCPMode::tcpmCommands);
      client.SetNotifyEvents(TwsNotifyEvent::neNoSync);
      client.SetPort(peer.Port());
      ASSERT_TRUE(client.Connect(5000));
      // Bounded: the client keeps writing until its connection ends.
      const std::string block(64 * 1024, 'w');
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (client.Count("disconnect") == 0 && std::chrono::steady_clock::now() < until) {
        for (int i = client.QueuedCommands(); i < 16; ++i) client.AddBytes(Bytes(block));
        CheckSynchronize(1);
      }
      ASSERT_EQ(client.Count("disconnect"), 1u) << ::testing::PrintToString(client.EventsCopy());
      PumpFor(50ms);
      EXPECT_EQ(client.Count("disconnect"), 1u);
      const std::string received = client.ReceivedCopy();
      EXPECT_EQ(received.size(), answer.size());
      EXPECT_TRUE(received == answer) << received.substr(received.size() > 40 ? received.size() - 40 : 0);
      client.Disconnect(5000);
    }
  }
}
