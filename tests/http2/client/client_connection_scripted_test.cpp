// The HTTP/2 client connection against a scripted server on loopback: the
// protocol errors real servers do not make, and the stream endings (reset,
// GOAWAY, redirect, stream limit) checked frame by frame.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/http2/client/h2_test_client.h"
#include "tests/http2/client/scripted_peer.h"
#include "tests/support/wait.h"

namespace {

using apns_test::PumpUntil;

using namespace h2t;

std::string Text(TMemoryStream& aStream) {
  const TIdBytes& bytes = aStream.Bytes();
  return std::string(bytes.begin(), bytes.end());
}

std::string Value(const HeaderFields& aFields, const std::string& aName) {
  for (auto& [name, value] : aFields)
    if (name == aName) return value;
  return "<none>";
}

struct Misbehaviour {
  const char* Name;
  std::function<void(ScriptedPeer&)> Act;  // after the client's preface and SETTINGS were read
  uint32_t GoAwayCode;
  const char* Message;
  bool OnStream = false;  // the client opens stream 1 first (Act reads its HEADERS)
};

TEST(ClientConnectionScripted, ProtocolViolationsEndTheConnectionWithGoAway) {
  const std::string big(16385, 'x');
  const std::vector<Misbehaviour> cases = {
      {"ping before settings", [](ScriptedPeer& p) { p.Send(PING, 0, 0, std::string(8, '\1')); }, 1,
       "First frame received must be settings."},
      {"oversized frame",
       [&](ScriptedPeer& p) {
         p.SendSettings();
         p.Send(DATA, 0, 1, big);
       },
       6, "Frame size greater than MaxFrameSize: 16384"},
      {"window overflow",
       [](ScriptedPeer& p) {
         p.SendSettings();
         p.Send(WINDOW_UPDATE, 0, 0, U32(0x7fffffff));
       },
       3, nullptr},
      {"short goaway",
       [](ScriptedPeer& p) {
         p.SendSettings();
         p.Send(GOAWAY, 0, 0, U32(0));
       },
       6, nullptr},
      {"hpack garbage",
       [](ScriptedPeer& p) {
         p.SendSettings();
         if (!p.Expect(HEADERS)) return;
         p.Send(HEADERS, END_HEADERS, 1, std::string("\xff\xff\xff\xff\xff\xff\xff\xff\x7f", 9));
       },
       9, "Invalid Integer.", true},
      {"hpack index beyond the tables",
       [](ScriptedPeer& p) {
         p.SendSettings();
         if (!p.Expect(HEADERS)) return;
         p.Send(HEADERS, END_HEADERS | END_STREAM, 1, "\x88\xbe");
       },
       9, "Table Header item not found.", true},
      {"trailer part without end of stream",
       [](ScriptedPeer& p) {
         p.SendSettings();
         if (!p.Expect(HEADERS)) return;
         p.SendHeaders(1, {{":status", "200"}}, false);
         p.Send(DATA, 0, 1, "ab");
         p.SendHeaders(1, {{"x-checksum", "1"}}, false);
       },
       1, "HEADER Frame cannot be received after receive EndHeaders = True.", true},
      {"pseudo-header in a trailer part",
       [](ScriptedPeer& p) {
         p.SendSettings();
         if (!p.Expect(HEADERS)) return;
         p.SendHeaders(1, {{":status", "200"}}, false);
         p.Send(DATA, 0, 1, "ab");
         p.SendHeaders(1, {{"x-checksum", "1"}, {":status", "200"}}, true);
       },
       1, "PSEUDO-HEADER fields are not allowed in trailers.", true},
      {"continuation flood",
       [](ScriptedPeer& p) {
         p.SendSettings();
         p.Send(HEADERS, 0, 1, p.Block({{":status", "200"}}));
         const std::string chunk(16384, '\x40');
         for (int i = 0; i < 80; ++i) p.Send(CONTINUATION, 0, 1, chunk);
       },
       0xff, nullptr},
  };
  for (const Misbehaviour& c : cases) {
    SCOPED_TRACE(c.Name);
    std::optional<RawFrame> goAway;
    bool pingAnswered = false, closed = false;
    ScriptedServer server([&](ScriptedPeer& p) {
      if (!p.ReadPreface() || !p.Expect(SETTINGS)) return;
      c.Act(p);
      goAway = p.Expect(GOAWAY);
      // Nothing more is read after the error: a PING now stays unanswered.
      p.SendSettings();
      p.Send(PING, 0, 0, std::string(8, '\2'));
      closed = p.WaitClosed();
      for (const RawFrame& f : p.BufferedFrames())
        if (f.Type == PING) pingAnswered = true;
    });
    TH2TestClient client(server.Port());
    client.SetActive(true);  // the connection may already be gone when this returns
    TkfxHTTP2Request request;
    if (c.OnStream)
      if (auto h2 = client.H2()) h2->Get("/", nullptr, &request);
    server.Join();
    ASSERT_TRUE(goAway.has_value());
    ASSERT_GE(goAway->Payload.size(), 8u);
    if (c.GoAwayCode != 0xff) EXPECT_EQ(ReadU32(goAway->Payload, 4), c.GoAwayCode);
    else EXPECT_NE(ReadU32(goAway->Payload, 4), 0u);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(pingAnswered);
    bool reported = false;
    for (const std::string& note : client.Notes())
      if (note.rfind("h2 ", 0) == 0 && (!c.Message || note == std::string("h2 ") + c.Message)) reported = true;
    EXPECT_TRUE(reported) << "notes: " << ::testing::PrintToString(client.Notes());
    EXPECT_TRUE(PumpUntil([&] { return !client.Active(); }));
  }
}

TEST(ClientConnectionScripted, PingIsEchoedAndItsPayloadReusedByOurPing) {
  std::optional<RawFrame> echo, ours;
  ScriptedServer server([&](ScriptedPeer& p) {
    if (!p.Handshake()) return;
    p.Send(PING, 0, 0, "\1\2\3\4\5\6\7\x08");
    echo = p.Expect(PING);
    ours = p.Expect(PING);
  });
  TH2TestClient client(server.Port());
  client.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] {
    auto h2 = client.H2();
    return h2 != nullptr && h2->SettingsReceived();
  }));
  // Our PING after the echo carries the echoed payload, without ACK.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  client.H2()->Ping();
  server.Join();
  ASSERT_TRUE(echo && ours);
  EXPECT_EQ(echo->Flags, ACK);
  EXPECT_EQ(echo->Payload, std::string("\1\2\3\4\5\6\7\x08"));
  EXPECT_EQ(ours->Flags, 0);
  EXPECT_EQ(ours->Payload, echo->Payload);
}

// How a waited request ends when the server resets or refuses its stream.
TEST(ClientConnectionScripted, ResetAndGoAwayReleaseTheWaiterAtOnce) {
  struct Case {
    const char* Name;
    std::function<void(ScriptedPeer&, int32_t)> Act;
    Th2WaitResult Result;
    bool Retry;
  };
  const std::vector<Case> cases = {
      {"RST_STREAM REFUSED_STREAM", [](ScriptedPeer& p, int32_t s) { p.Send(RST_STREAM, 0, s, U32(7)); },
       Th2WaitResult::h2wrRefused, true},
      {"RST_STREAM CANCEL", [](ScriptedPeer& p, int32_t s) { p.Send(RST_STREAM, 0, s, U32(8)); },
       Th2WaitResult::h2wrReset, false},
      {"GOAWAY below the stream",
       [](ScriptedPeer& p, int32_t) { p.Send(GOAWAY, 0, 0, U32(0) + U32(0) + "{\"reason\":\"Shutdown\"}"); },
       Th2WaitResult::h2wrRefused, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ScriptedServer server([&](ScriptedPeer& p) {
      if (!p.Handshake()) return;
      auto first = p.Expect(HEADERS);
      if (!first) return;
      // The first request is answered, so a stale answer could be mistaken.
      p.SendAnswer(first->Stream, "200", "first");
      auto second = p.Expect(HEADERS);
      if (!second) return;
      c.Act(p, second->Stream);
      p.WaitClosed(3000);
    });
    TH2TestClient client(server.Port());
    std::atomic<int> failedStream{0};
    std::atomic<bool> retry{false};
    std::atomic<int> resetStream{0};
    client.Wire = [&](TkfxHTTP2ConnectionClient& c2) {
      c2.OnStreamFailed = [&](TObject*, TkfxHTTP2ConnectionClient*, int32_t aStream, const std::string&, bool aRetry) {
        failedStream = aStream;
        retry = aRetry;
      };
      c2.OnRSTStream = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RSTStreamProperty* p) {
        resetStream = p->StreamIdentifier;
      };
    };
    client.SetActive(true);
    auto h2 = client.H2();
    ASSERT_TRUE(h2);
    TkfxHTTP2Request request;
    TMemoryStream first, second;
    h2->Get("/first", &first, &request);
    ASSERT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
    EXPECT_EQ(Text(first), "first");
    EXPECT_EQ(h2->Response().Status(), 200);
    const auto started = std::chrono::steady_clock::now();
    h2->Get("/second", &second, &request);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(h2->WaitResult(), c.Result);
    EXPECT_EQ(second.Size(), 0);
    // Nothing of the first answer is left to be read as this one's.
    EXPECT_EQ(h2->Response().Status(), 0);
    EXPECT_EQ(h2->Response().Content().Size(), 0);
    EXPECT_EQ(failedStream.load(), 3);
    EXPECT_EQ(retry.load(), c.Retry);
    if (std::string(c.Name).rfind("RST", 0) == 0) {
      EXPECT_EQ(resetStream.load(), 3);
    }
    client.SetActive(false);
  }
}

TEST(ClientConnectionScripted, GoAwayLetsStreamsBelowItsLastStreamFinish) {
  std::optional<RawFrame> clientGoAway;
  bool answeredBeforeGoAway = false;
  ScriptedServer server([&](ScriptedPeer& p) {
    if (!p.Handshake()) return;
    auto a = p.Expect(HEADERS);
    auto b = p.Expect(HEADERS);
    if (!a || !b) return;
    p.Send(GOAWAY, 0, 0, U32(uint32_t(a->Stream)) + U32(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.SendAnswer(a->Stream, "200", "kept");
    answeredBeforeGoAway = true;
    clientGoAway = p.Expect(GOAWAY);
    p.WaitClosed();
  });
  TH2TestClient client(server.Port());
  std::mutex lock;
  std::vector<std::string> seen;
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnStreamResponse = [&](TObject*, TkfxHTTP2ConnectionClient* conn, TkfxHTTP2_StreamResponse* s) {
      std::lock_guard guard(lock);
      seen.push_back("answer " + std::to_string(s->StreamIdentifier) + " " + s->Frame_Data()->DataString());
      conn->DoCloseStream(s->StreamIdentifier);
    };
    c.OnStreamFailed = [&](TObject*, TkfxHTTP2ConnectionClient*, int32_t aStream, const std::string& aID, bool aRetry) {
      std::lock_guard guard(lock);
      seen.push_back("failed " + std::to_string(aStream) + " " + aID + (aRetry ? " retry" : ""));
    };
  };
  client.SetActive(true);
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  TkfxHTTP2Request request;
  request.ID = "one";
  h2->Get("/a", nullptr, &request);
  request.ID = "two";
  h2->Get("/b", nullptr, &request);
  server.Join();
  ASSERT_TRUE(clientGoAway.has_value());
  EXPECT_TRUE(answeredBeforeGoAway);
  std::lock_guard guard(lock);
  EXPECT_EQ(seen, (std::vector<std::string>{"failed 3 two retry", "answer 1 kept"}));
}

TEST(ClientConnectionScripted, StreamsOpenedWhileTheReaderIsBusyAreAnsweredWithTheirRequests) {
  // A read pass runs the stream events. One that waits for another thread
  // while that thread opens a stream must not hold it up, and the new stream
  // is known to the reader before its answer is read, with its own request.
  ScriptedServer server([&](ScriptedPeer& p) {
    if (!p.Handshake()) return;
    auto first = p.Expect(HEADERS);
    if (!first) return;
    p.SendAnswer(first->Stream, "200", "one");
    auto second = p.Expect(HEADERS);
    if (!second) return;
    p.SendAnswer(second->Stream, "200", "two");
    p.WaitClosed(3000);
  });
  TH2TestClient client(server.Port());
  std::mutex lock;
  std::condition_variable changed;
  bool inEvent = false, secondSent = false;
  std::vector<std::string> seen;
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnStreamResponse = [&](TObject*, TkfxHTTP2ConnectionClient* conn, TkfxHTTP2_StreamResponse* s) {
      const TkfxHTTP2Request* sent = TkfxHTTP2ConnectionClient::StreamRequest(s);
      std::unique_lock guard(lock);
      seen.push_back(std::to_string(s->StreamIdentifier) + " " + (sent ? sent->ID : "<none>") + " " +
                     s->Frame_Data()->DataString());
      if (!inEvent) {
        inEvent = true;
        changed.notify_all();
        changed.wait_for(guard, std::chrono::seconds(5), [&] { return secondSent; });
      }
      guard.unlock();
      conn->DoCloseStream(s->StreamIdentifier);
    };
  };
  client.SetActive(true);
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  ASSERT_TRUE(PumpUntil([&] { return h2->SettingsReceived(); }));
  TkfxHTTP2Request first, second;
  first.ID = "first";
  second.ID = "second";
  ASSERT_EQ(h2->SendRequestNoWait(Th2Methods::h2meGet, "/one", nullptr, &first), 1);
  {
    std::unique_lock guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(5), [&] { return inEvent; }));
  }
  // The reader is inside the first answer's event, waiting for this thread.
  EXPECT_EQ(h2->SendRequestNoWait(Th2Methods::h2meGet, "/two", nullptr, &second), 3);
  {
    std::lock_guard guard(lock);
    secondSent = true;
    changed.notify_all();
  }
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard guard(lock);
    return seen.size() == 2;
  }));
  {
    std::lock_guard guard(lock);
    EXPECT_EQ(seen, (std::vector<std::string>{"1 first one", "3 second two"}));
  }
  EXPECT_EQ(h2->OpenStreams(), 0);
  client.SetActive(false);
}

// The same fields whether they are built as the lines a before-request event
// sees or straight into the frame without one.
TEST(ClientConnectionScripted, RequestHeadersAreOrderedAndWithoutConnectionFields) {
  for (const bool withEvent : {false, true}) {
    SCOPED_TRACE(withEvent ? "with a before-request event" : "without one");
    HeaderFields fields;
    std::string body;
    ScriptedServer server([&](ScriptedPeer& p) {
      if (!p.Handshake()) return;
      auto headers = p.Expect(HEADERS);
      if (!headers) return;
      fields = p.Decode(headers->Payload);
      auto data = p.Expect(DATA);
      if (data) body = data->Payload;
      p.SendAnswer(headers->Stream, "200", "");
      p.WaitClosed(3000);
    });
    TH2TestClient client(server.Port());
    client.SetActive(true);
    auto h2 = client.H2();
    ASSERT_TRUE(h2);
    int shown = 0;
    if (withEvent) h2->OnBeforeRequest = [&shown](TObject*, TkfxHTTP2ConnectionClient*, TStringList*) { ++shown; };
    TkfxHTTP2Request request;
    request.Connection = "keep-alive";
    request.TransferEncoding = "chunked";
    request.ContentType = "application/json";
    request.CharSet = "utf-8";
    request.CustomHeaders.Add("apns-topic: com.example.App");
    request.CustomHeaders.Add("Upgrade: h2c");
    request.CustomHeaders.Add("Keep-Alive: timeout=5");
    request.CustomHeaders.Add("Proxy-Connection: close");
    request.CustomHeaders.Add("X-Mixed-Case: Value");
    TMemoryStream source, answer;
    source.WriteBuffer("{\"aps\":{}}", 10);
    h2->Post("/3/device/abc", &source, &answer, &request);
    EXPECT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
    client.SetActive(false);
    server.Join();
    const HeaderFields expected = {{":method", "POST"},
                                   {":scheme", "https"},
                                   {":path", "/3/device/abc"},
                                   {":authority", "127.0.0.1:" + std::to_string(server.Port())},
                                   {"content-length", "10"},
                                   {"accept", request.Accept},
                                   {"content-type", "application/json; charset=utf-8"},
                                   {"user-agent", request.UserAgent},
                                   {"apns-topic", "com.example.App"},
                                   {"x-mixed-case", "Value"}};
    EXPECT_EQ(fields, expected);
    EXPECT_EQ(body, "{\"aps\":{}}");
    EXPECT_EQ(shown, withEvent ? 1 : 0);
  }
}

TEST(ClientConnectionScripted, RedirectsAreFollowedOnTheConnectionAndBounded) {
  struct Case {
    const char* Name;
    std::string Location;  // of every 302
    int Answer302s;        // 302s before the 200
    int Status;            // what the waiting caller gets
    std::string Body;
  };
  const std::vector<Case> cases = {
      {"relative", "/next", 1, 200, "final"},
      {"absolute, same host", "https://127.0.0.1/next", 2, 200, "final"},
      {"other host", "https://elsewhere.example/next", 1, 302, "moved"},
      {"endless", "/again", 100, 302, "moved"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::string> paths;
    ScriptedServer server([&](ScriptedPeer& p) {
      if (!p.Handshake()) return;
      for (int i = 0;; ++i) {
        auto headers = p.Expect(HEADERS, 1000);
        if (!headers) break;
        paths.push_back(Value(p.Decode(headers->Payload), ":path"));
        if (i < c.Answer302s)
          p.SendAnswer(headers->Stream, "302", "moved", {{"location", c.Location}});
        else
          p.SendAnswer(headers->Stream, "200", "final");
      }
    });
    TH2TestClient client(server.Port());
    client.SetActive(true);
    auto h2 = client.H2();
    ASSERT_TRUE(h2);
    TkfxHTTP2Request request;
    TMemoryStream answer;
    h2->Get("/start", &answer, &request);
    EXPECT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
    EXPECT_EQ(h2->Response().Status(), c.Status);
    EXPECT_EQ(Text(answer), c.Body);
    client.SetActive(false);
    server.Join();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.front(), "/start");
    EXPECT_LE(paths.size(), size_t(TkfxHTTP2ConnectionClient::MaxRedirects + 1));
  }
}

TEST(ClientConnectionScripted, StreamsBeyondThePeersLimitWaitTheirTurn) {
  std::vector<int32_t> order;
  int maxOpen = 0;
  ScriptedServer server([&](ScriptedPeer& p) {
    if (!p.Handshake({{3, 1}})) return;  // MAX_CONCURRENT_STREAMS 1
    for (int i = 0; i < 4; ++i) {
      auto headers = p.Expect(HEADERS, 3000);
      if (!headers) return;
      order.push_back(headers->Stream);
      // Nothing else may arrive while this stream is open.
      auto extra = p.ReadFrame(100);
      if (extra && extra->Type == HEADERS) maxOpen = 2;
      p.SendAnswer(headers->Stream, "200", "ok");
    }
    p.WaitClosed(3000);
  });
  TH2TestClient client(server.Port());
  std::atomic<int> answers{0};
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnStreamResponse = [&](TObject*, TkfxHTTP2ConnectionClient* conn, TkfxHTTP2_StreamResponse* s) {
      ++answers;
      conn->DoCloseStream(s->StreamIdentifier);
    };
  };
  client.SetActive(true);
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  ASSERT_TRUE(PumpUntil([&] { return h2->PeerMaxConcurrentStreams() == 1; }));
  std::thread queued([&] {
    TkfxHTTP2Request request;
    for (int i = 0; i < 3; ++i) h2->Get("/q", nullptr, &request);
  });
  TkfxHTTP2Request request;
  TMemoryStream answer;
  h2->Get("/sync", &answer, &request);
  queued.join();
  EXPECT_EQ(h2->WaitResult(), Th2WaitResult::h2wrAnswered);
  EXPECT_TRUE(PumpUntil([&] { return answers.load() == 3; }));
  client.SetActive(false);
  server.Join();
  EXPECT_EQ(order, (std::vector<int32_t>{1, 3, 5, 7}));
  EXPECT_EQ(maxOpen, 0);
}

TEST(ClientConnectionScripted, CancelledPushIsRefused) {
  std::optional<RawFrame> reset;
  ScriptedServer server([&](ScriptedPeer& p) {
    if (!p.Handshake()) return;
    auto headers = p.Expect(HEADERS);
    if (!headers) return;
    p.Send(PUSH_PROMISE, END_HEADERS, headers->Stream,
           U32(2) + p.Block({{":method", "GET"}, {":scheme", "https"}, {":path", "/pushed"}, {":authority", "x"}}));
    reset = p.Expect(RST_STREAM);
    p.SendAnswer(headers->Stream, "200", "page");
    p.WaitClosed(3000);
  });
  TH2TestClient client(server.Port());
  std::string promised;
  client.Wire = [&](TkfxHTTP2ConnectionClient& c) {
    c.OnPushPromise = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2_Frame_PushPromise* f, bool& Cancel) {
      promised = f->URL();
      Cancel = true;
    };
  };
  client.SetActive(true);
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  TkfxHTTP2Request request;
  TMemoryStream answer;
  h2->Get("/", &answer, &request);
  EXPECT_EQ(Text(answer), "page");
  client.SetActive(false);
  server.Join();
  EXPECT_EQ(promised, "/pushed");
  ASSERT_TRUE(reset.has_value());
  EXPECT_EQ(reset->Stream, 2);
  EXPECT_EQ(ReadU32(reset->Payload, 0), 7u);
}

TEST(ClientConnectionScripted, DisconnectReleasesTheWaiterAndLaterRequestsFailAtOnce) {
  ScriptedServer server([&](ScriptedPeer& p) {
    if (!p.Handshake()) return;
    p.Expect(HEADERS);  // never answered: the server goes away instead
  });
  TH2TestClient client(server.Port());
  client.SetActive(true);
  auto h2 = client.H2();
  ASSERT_TRUE(h2);
  TkfxHTTP2Request request;
  TMemoryStream answer;
  const auto started = std::chrono::steady_clock::now();
  h2->Get("/", &answer, &request);
  EXPECT_EQ(h2->WaitResult(), Th2WaitResult::h2wrDisconnected);
  h2->Get("/again", &answer, &request);
  EXPECT_EQ(h2->WaitResult(), Th2WaitResult::h2wrDisconnected);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
