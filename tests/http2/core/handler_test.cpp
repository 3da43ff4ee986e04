#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <sstream>

#include "http2/core/kfxHTTP2_Frame_Handler.h"
#include "tests/http2/core/nghttp2_peer.h"

namespace {

using peer::Hex;
using Lines = std::vector<std::string>;
using FT = Th2FrameType;
using EC = Th2ErrorCodes;

TIdBytes Frame(uint8_t aType, uint8_t aFlags, int32_t aStream, const TIdBytes& aPayload) {
  TIdBytes out;
  AppendFrameHeader(out, static_cast<uint32_t>(aPayload.size()), static_cast<FT>(aType), aFlags, aStream);
  out.insert(out.end(), aPayload.begin(), aPayload.end());
  return out;
}
TIdBytes operator+(TIdBytes a, const TIdBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string Digest(const TIdBytes& aBytes) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : aBytes) h = (h ^ b) * 1099511628211ull;
  return std::to_string(aBytes.size()) + "#" + std::to_string(h % 100000);
}

// A client reader whose events are written into a log, one line each.
struct Reader {
  explicit Reader(Th2FragmentedData aMode = Th2FragmentedData::h2fdOnlyBuffer) {
    frame.SetFrameRole(Th2FrameRole::h2frClientRead);
    frame.MaxConcurrentStreams = h2MaxInt32;
    frame.FragmentedData = aMode;
    frame.OnWriteBytes = [this](TObject*, const TIdBytes& aBytes) { written.insert(written.end(), aBytes.begin(), aBytes.end()); };
    frame.OnReadFrameSettings = [this](TObject*, TkfxHTTP2_Frame_Settings* f) {
      std::ostringstream s;
      s << "settings" << (f->ACK ? " ack" : "") << " hts=" << f->HeaderTableSize << " mcs=" << f->MaxConcurrentStreams
        << " iws=" << f->InitialWindowSize << " carried=" << f->Carried;
      log.push_back(s.str());
    };
    frame.OnReadFramePing = [this](TObject*, TkfxHTTP2_Frame_Ping* f) {
      log.push_back(std::string("ping") + (f->ACK ? " ack " : " ") + Digest(f->PayLoad));
    };
    frame.OnReadFrameHeaders = [this](TObject*, TkfxHTTP2_Frame_Headers* f) {
      std::string line = "headers " + std::to_string(f->StreamIdentifier) + (f->EndStream ? " end" : "");
      for (const auto& h : f->Headers().Lines()) line += " " + (h.size() > 40 ? h.substr(0, 20) + "..." + std::to_string(h.size()) : h);
      log.push_back(line);
    };
    frame.OnReadFrameData = [this](TObject*, TkfxHTTP2_Frame_Data* f) {
      log.push_back("data " + std::to_string(f->StreamIdentifier) + " " + Digest(f->Data));
    };
    frame.OnReadFrameRSTStream = [this](TObject*, TkfxHTTP2_Frame_RSTStream* f) {
      log.push_back("rst " + std::to_string(f->TkfxHTTP2_Frame_Base::StreamIdentifier) + " " + std::to_string(f->ErrorCode));
    };
    frame.OnReadFrameGoAway = [this](TObject*, TkfxHTTP2_Frame_GoAway* f) {
      log.push_back("goaway " + std::to_string(f->LastStreamid) + " " + std::to_string(f->ErrorCode) + " " +
                    f->AdditionalDebugData);
    };
    frame.OnReadFrameWindowUpdate = [this](TObject*, TkfxHTTP2_Frame_WindowUpdate* f) {
      log.push_back("window " + std::to_string(f->StreamIdentifier) + " " + std::to_string(f->WindowSizeIncrement));
    };
    frame.OnReadFramePushPromise = [this](TObject*, TkfxHTTP2_Frame_PushPromise* f) {
      log.push_back("push " + std::to_string(f->StreamIdentifier) + " " + f->URL());
    };
    frame.OnReadStreamResponse = [this](TObject*, TkfxHTTP2_StreamResponse* s) {
      const TIdBytes body = s->Frame_Data() ? s->Frame_Data()->Data : TIdBytes();
      log.push_back("response " + std::to_string(s->StreamIdentifier) + " " +
                    std::to_string(s->Frame_Headers() ? s->Frame_Headers()->Status() : 0) + " " + Digest(body));
      bodies[s->StreamIdentifier] = body;
    };
    frame.OnReadStreamResponseFragment = [this](TObject*, TkfxHTTP2_StreamResponse* s, const TIdBytes& aBytes) {
      auto& f = fragments[s->StreamIdentifier];
      f.insert(f.end(), aBytes.begin(), aBytes.end());
    };
  }
  void Open(int32_t aFrom, int32_t aTo, Th2Methods aMethod = Th2Methods::h2mePost) {
    for (int32_t id = aFrom; id <= aTo; id += 2) frame.AddStreamRequest(id, aMethod);
  }
  // Feeds aBytes in pieces whose ends come from aCuts (0: whole).
  void Feed(const TIdBytes& aBytes, int aCuts, std::mt19937* aRandom = nullptr) {
    for (size_t pos = 0; pos < aBytes.size();) {
      size_t n = aBytes.size() - pos;
      if (aCuts == 1) n = 1;
      if (aCuts == 2) n = std::min(n, static_cast<size_t>(1 + (*aRandom)() % 40));
      frame.ReadBytes(std::span<const uint8_t>(aBytes.data() + pos, n));
      pos += n;
    }
  }
  TkfxHTTP2_Frame frame;
  Lines log;
  TIdBytes written;
  std::map<int32_t, TIdBytes> bodies, fragments;
};

// A writer: the frames our connection would send, collected.
struct Writer {
  Writer() {
    frame.SetFrameRole(Th2FrameRole::h2frClientWrite);
    frame.OnWriteBytes = [this](TObject*, const TIdBytes& aBytes) { out.insert(out.end(), aBytes.begin(), aBytes.end()); };
  }
  int32_t Request(const std::string& aPath, bool aEndStream, const std::vector<std::string>& aExtra = {}) {
    TkfxHTTP2_Frame_Headers& h = frame.Frame_Headers();
    h.Headers().Clear();
    for (const char* line : {":method: POST", ":scheme: https", ":authority: localhost"}) h.Headers().Add(line);
    h.Headers().Add(":path: " + aPath);
    for (const auto& line : aExtra) h.Headers().Add(line);
    h.StreamIdentifier = 0;
    h.EndHeaders = true;
    h.EndStream = aEndStream;
    frame.FrameType = FT::h2ftHEADERS;
    frame.WriteBytes();
    return h.StreamIdentifier;
  }
  void Body(int32_t aStream, const std::string& aBody) {
    TMemoryStream source;
    source.WriteBuffer(aBody.data(), static_cast<int64_t>(aBody.size()));
    frame.Frame_Data().StreamIdentifier = aStream;
    frame.Frame_Data().SetStream(&source);
    frame.Frame_Data().WriteBytes();
  }
  TIdBytes Take() {
    TIdBytes taken;
    taken.swap(out);
    return taken;
  }
  TkfxHTTP2_Frame frame;
  TIdBytes out;
};

TIdBytes Preface() {
  return TIdBytes(peer::kClientPreface.begin(), peer::kClientPreface.end()) + Hex("000000 04 00 00000000");
}

// A body served by an nghttp2 data provider.
struct Body {
  std::string text;
  size_t offset = 0;
  static ssize_t Read(nghttp2_session*, int32_t, uint8_t* aBuf, size_t aLength, uint32_t* aFlags,
                      nghttp2_data_source* aSource, void*) {
    auto* body = static_cast<Body*>(aSource->ptr);
    const size_t n = std::min(aLength, body->text.size() - body->offset);
    std::memcpy(aBuf, body->text.data() + body->offset, n);
    body->offset += n;
    if (body->offset == body->text.size()) *aFlags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(n);
  }
  nghttp2_data_provider Provider() {
    nghttp2_data_provider p;
    p.source.ptr = this;
    p.read_callback = Read;
    return p;
  }
};

std::string Pattern(size_t aSize, int aSeed) {
  std::string s(aSize, 0);
  for (size_t i = 0; i < aSize; ++i) s[i] = static_cast<char>((i * 131 + static_cast<size_t>(aSeed) * 7) % 251);
  return s;
}
TIdBytes AsBytes(const std::string& aText) { return TIdBytes(aText.begin(), aText.end()); }

void Submit(peer::Session& aServer, int32_t aStream, const peer::Fields& aHeaders, Body* aBody) {
  auto nva = peer::ToNv(aHeaders);
  nghttp2_data_provider provider;
  if (aBody) provider = aBody->Provider();
  ASSERT_EQ(nghttp2_submit_response(aServer.Get(), aStream, nva.data(), nva.size(), aBody ? &provider : nullptr), 0);
}

// An nghttp2 server answers a batch of our requests with everything a
// server sends; the same bytes fed whole, octet by octet and in random cuts
// give the same events.
TEST(FrameHandlerInterop, ReaderFollowsAnNghttp2Server) {
  peer::Session server(true, true, /*aPadding=*/true);
  Writer writer;
  for (int i = 0; i < 4; ++i) writer.Request("/r" + std::to_string(i), true);
  const TIdBytes request = Preface() + writer.Take();
  ASSERT_EQ(server.Receive(request), static_cast<ssize_t>(request.size()));

  nghttp2_settings_entry first[] = {{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 100},
                                    {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 1 << 20},
                                    {NGHTTP2_SETTINGS_HEADER_TABLE_SIZE, 8192}};
  nghttp2_submit_settings(server.Get(), NGHTTP2_FLAG_NONE, first, 3);
  nghttp2_settings_entry second[] = {{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 70000}};
  nghttp2_submit_settings(server.Get(), NGHTTP2_FLAG_NONE, second, 1);
  const uint8_t opaque[8] = {9, 8, 7, 6, 5, 4, 3, 2};
  nghttp2_submit_ping(server.Get(), NGHTTP2_FLAG_NONE, opaque);
  // Answers out of stream order: 5, a push on 1, 1 (large header block,
  // a body over many padded frames), 3 (an error with a JSON body); 7 reset.
  Body five{"five"}, pushed{Pattern(3000, 2)}, one{Pattern(50000, 1)}, three{"{\"reason\":\"BadDeviceToken\"}"};
  Submit(server, 5, {{":status", "200"}, {"apns-id", "id-5"}, {"content-length", "4"}}, &five);
  peer::Fields promise = {{":method", "GET"}, {":scheme", "https"}, {":path", "/style.css"}, {":authority", "localhost"}};
  auto promiseNv = peer::ToNv(promise);
  ASSERT_EQ(nghttp2_submit_push_promise(server.Get(), 0, 1, promiseNv.data(), promiseNv.size(), nullptr), 2);
  Submit(server, 2, {{":status", "200"}, {"content-type", "text/css"}}, &pushed);
  Submit(server, 1, {{":status", "200"}, {"x-large", std::string(20000, 'L')}, {"content-length", "50000"}}, &one);
  Submit(server, 3, {{":status", "400"}, {"content-type", "application/json"}}, &three);
  nghttp2_submit_rst_stream(server.Get(), NGHTTP2_FLAG_NONE, 7, NGHTTP2_CANCEL);
  nghttp2_submit_window_update(server.Get(), NGHTTP2_FLAG_NONE, 0, 12345);
  const std::string debug = "bye now";
  nghttp2_submit_goaway(server.Get(), NGHTTP2_FLAG_NONE, 7, NGHTTP2_NO_ERROR,
                        reinterpret_cast<const uint8_t*>(debug.data()), debug.size());
  const TIdBytes answers = server.Send();
  int padded = 0, continuations = 0;
  for (size_t pos = 0; pos + 9 <= answers.size(); pos += 9 + (answers[pos] << 16 | answers[pos + 1] << 8 | answers[pos + 2])) {
    padded += answers[pos + 3] <= 1 && (answers[pos + 4] & h2flags::PADDED);
    continuations += answers[pos + 3] == 9;
  }
  EXPECT_GT(padded, 4);
  EXPECT_GT(continuations, 0);

  std::mt19937 random(2024);
  std::vector<Lines> logs;
  for (int cuts = 0; cuts < 3; ++cuts) {
    Reader reader;
    reader.Open(1, 7);
    reader.Feed(answers, cuts, &random);
    logs.push_back(reader.log);
    EXPECT_EQ(reader.bodies[1], AsBytes(one.text));
    EXPECT_EQ(reader.bodies[2], AsBytes(pushed.text));
    EXPECT_EQ(reader.bodies[3], AsBytes(three.text));
    EXPECT_EQ(reader.bodies[5], AsBytes("five"));
    // Our WINDOW_UPDATE frames are welcome to the server.
    if (cuts == 0) {
      EXPECT_FALSE(reader.written.empty());
      EXPECT_EQ(server.Receive(reader.written), static_cast<ssize_t>(reader.written.size()));
      EXPECT_EQ(server.invalid, 0);
    }
  }
  EXPECT_EQ(logs[0], logs[1]);
  EXPECT_EQ(logs[0], logs[2]);
  const Lines& log = logs[0];
  auto has = [&log](const std::string& aLine) { return std::find(log.begin(), log.end(), aLine) != log.end(); };
  EXPECT_TRUE(has("settings hts=8192 mcs=100 iws=1048576 carried=26")) << ::testing::PrintToString(log);
  EXPECT_TRUE(has("settings hts=4096 mcs=2147483647 iws=70000 carried=16"));
  EXPECT_TRUE(has("settings ack hts=4096 mcs=2147483647 iws=65535 carried=0"));
  EXPECT_TRUE(has("ping " + Digest(TIdBytes(opaque, opaque + 8))));
  EXPECT_TRUE(has("push 2 /style.css"));
  EXPECT_TRUE(has("response 5 200 " + Digest(AsBytes("five"))));
  EXPECT_TRUE(has("response 1 200 " + Digest(AsBytes(one.text))));
  EXPECT_TRUE(has("response 3 400 " + Digest(AsBytes(three.text))));
  EXPECT_TRUE(has("rst 7 8"));
  EXPECT_TRUE(has("window 0 12345"));
  EXPECT_TRUE(has("goaway 7 0 bye now"));
  // Stream 5 was answered before stream 1.
  const auto at = [&log](const std::string& aPrefix) {
    return std::find_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(aPrefix, 0) == 0; }) - log.begin();
  };
  EXPECT_LT(at("response 5 "), at("response 1 "));
}

// A body of several megabytes under nghttp2's flow control: our reader's
// WINDOW_UPDATE frames keep it flowing and never overflow the server's
// windows, whatever the cuts of the byte stream.
TEST(FrameHandlerInterop, MegabytesFlowWithOurWindowUpdates) {
  for (int cuts : {0, 2}) {
    SCOPED_TRACE(cuts);
    peer::Session server(true);
    Writer writer;
    writer.Request("/big", true);
    const TIdBytes request = Preface() + writer.Take();
    ASSERT_EQ(server.Receive(request), static_cast<ssize_t>(request.size()));
    nghttp2_submit_settings(server.Get(), NGHTTP2_FLAG_NONE, nullptr, 0);
    Body big{Pattern(5 * 1024 * 1024 + 17, 5)};
    Submit(server, 1, {{":status", "200"}, {"content-length", std::to_string(big.text.size())}}, &big);
    Reader reader;
    reader.Open(1, 1);
    std::mt19937 random(11);
    int rounds = 0;
    for (; rounds < 5000 && reader.bodies.empty(); ++rounds) {
      const TIdBytes out = server.Send();
      reader.Feed(out, cuts, &random);
      ASSERT_EQ(server.Receive(reader.written), static_cast<ssize_t>(reader.written.size()));
      reader.written.clear();
    }
    ASSERT_EQ(reader.bodies.size(), 1u) << "stalled after " << rounds << " rounds";
    EXPECT_EQ(reader.bodies[1], AsBytes(big.text));
    EXPECT_EQ(server.invalid, 0);
    EXPECT_TRUE(server.closed.count(1) == 0 || server.closed[1] == 0);
  }
}

// Hand-built frames for the reader's rules. Header blocks come from an
// encoder that mirrors the reader's decoder, so blocks must be made in order.
struct Script {
  TIdBytes H(int32_t aStream, uint8_t aFlags, const Lines& aLines) {
    return Frame(1, aFlags, aStream, Block(aLines));
  }
  TIdBytes Block(const Lines& aLines) {
    std::vector<TkfxHTTP2_TableEntry> entries;
    for (const auto& line : aLines) {
      const size_t eq = line.find('=', 1);
      entries.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    TIdBytes block;
    int used = 0, count = 0;
    encoder.Encode(block, 0, entries, used, count);
    return block;
  }
  TIdBytes Promise(int32_t aStream, int32_t aPromised, const std::string& aPath, uint8_t aFlags = h2flags::END_HEADERS) {
    TIdBytes payload;
    WriteBigEndianInteger(aPromised, 0, 4, payload);
    return Frame(5, aFlags, aStream, payload + Block({":method=GET", ":scheme=https", ":path=" + aPath, ":authority=a"}));
  }
  TkfxHTTP2_HPACK encoder;
};

constexpr uint8_t ES = h2flags::END_STREAM, EH = h2flags::END_HEADERS;
const Lines kOk = {":status=200"};

struct ErrorCase {
  const char* message;
  EC code;
  std::function<TIdBytes(Script&)> bytes;
  std::function<void(Reader&)> setup = nullptr;
  Th2ErrorResponse response = Th2ErrorResponse::h2errGO_AWAY;
  int32_t stream = 0;
};

TEST(FrameHandler, ReaderErrors) {
  using R = Th2ErrorResponse;
  const TIdBytes ping = Hex("0102030405060708");
  const std::vector<ErrorCase> cases = {
      {"Frame size greater than MaxFrameSize: 16384", EC::h2erFRAME_SIZE_ERROR,
       [](Script&) { return Frame(0, 0, 1, TIdBytes(16385)); }},
      {"PING FRAME: Frame size must be 8 octets.", EC::h2erFRAME_SIZE_ERROR,
       [](Script&) { return Frame(6, 0, 0, TIdBytes(7)); }},
      {"UNKNOWN frame must be preceded by Frame with no EndHeaders.", EC::h2erPROTOCOL_ERROR,
       [](Script&) { return Frame(0x20, 0, 0, {}); }},
      {"DATA FRAME: Stream Identifier can not be zero.", EC::h2erPROTOCOL_ERROR,
       [](Script&) { return Frame(0, 0, 0, Hex("00")); }},
      {"HEADER FRAME: Stream Identifier can not be zero.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(0, EH, kOk); }},
      {"PRIORITY FRAME: Stream Identifier can not be zero.", EC::h2erPROTOCOL_ERROR,
       [](Script&) { return Frame(2, 0, 0, Hex("0000000010")); }},
      {"RST_STREAM FRAME: Stream Identifier can not be zero.", EC::h2erPROTOCOL_ERROR,
       [](Script&) { return Frame(3, 0, 0, Hex("00000008")); }},
      {"SETTINGS FRAME: Stream Identifier can not be greater than zero.", EC::h2erPROTOCOL_ERROR,
       [](Script&) { return Frame(4, 0, 1, {}); }},
      {"PUSH PROMISE FRAME: Stream Identifier can not be zero.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.Promise(0, 2, "/"); }},
      {"PING FRAME: Stream Identifier can not be greater than zero.", EC::h2erPROTOCOL_ERROR,
       [ping](Script&) { return Frame(6, 0, 1, ping); }},
      {"GO AWAY: Stream Identifier can not be greater than zero.", EC::h2erPROTOCOL_ERROR,
       [](Script&) { return Frame(7, 0, 1, Hex("0000000000000000")); }},
      {"CONTINUATION FRAME: Stream Identifier can not be zero.", EC::h2erPROTOCOL_ERROR,
       [](Script&) { return Frame(9, EH, 0, {}); }},
      {"DATA FRAME: Stream Identifier already closed.", EC::h2erPROTOCOL_ERROR,
       [](Script&) { return Frame(0, ES, 3, Hex("00")); }, [](Reader& r) { r.frame.AddClosedStream(3); }},
      {"HEADER FRAME: Stream Identifier already closed.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(3, EH, kOk); }, [](Reader& r) { r.frame.AddClosedStream(3); }},
      {"StreamIdentifier is Unexpected.", EC::h2erPROTOCOL_ERROR, [](Script& s) { return s.H(101, EH, kOk); }},
      {"StreamIdentifier is Unexpected.", EC::h2erPROTOCOL_ERROR, [](Script& s) { return s.H(2, EH, kOk); }},
      {"CONTINUATION frame must be preceded by HEADERS, PUSH_PROMISE or CONTINUATION.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, 0, kOk) + Frame(0, 0, 1, Hex("00")); }},
      {"CONTINUATION frame must be preceded by Frame with no EndHeaders.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, EH, kOk) + Frame(9, EH, 1, {}); }},
      {"CONTINUATION frame must be preceded by Frame with no EndHeaders.", EC::h2erPROTOCOL_ERROR,
       [](Script&) { return Frame(9, EH, 1, {}); }},
      {"CONTINUATION frame must be on the stream of its header block.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, 0, kOk) + Frame(9, EH, 3, {}); }},
      {"CONTINUATION frame expected: the header block is not finished.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, 0, kOk) + s.H(3, EH, kOk); }},
      {"UNKNOWN frame must be preceded by Frame with no EndHeaders.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, 0, kOk) + Frame(0x20, 0, 1, {}); }},
      {"CONCURRENT STREAM limit has been exceeded.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) {
         TIdBytes b = s.Promise(1, 2, "/a");
         b = b + s.Promise(1, 4, "/b");
         b = b + s.H(2, EH, kOk);
         return b + s.H(4, EH, kOk);
       },
       [](Reader& r) { r.frame.MaxConcurrentStreams = 1; }},
      {"CONTENT-LENGTH is not equal the DATA frame payload length", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, EH, {":status=200", "content-length=10"}) + Frame(0, ES, 1, TIdBytes(9)); }},
      {"HEADER BLOCK is larger than 100 octets.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) {
         const TIdBytes block = s.Block({":status=200", "x=" + std::string(150, '!')});
         return Frame(1, 0, 1, TIdBytes(block.begin(), block.begin() + 60)) +
                Frame(9, EH, 1, TIdBytes(block.begin() + 60, block.end()));
       },
       [](Reader& r) { r.frame.MaxHeaderBlockSize = 100; }},
      {"DATA FRAME: data for an unknown stream exceeds its window.", EC::h2erFLOW_CONTROL_ERROR,
       [](Script&) {
         TIdBytes b;
         for (int i = 0; i < 5; ++i) b = b + Frame(0, 0, 3, TIdBytes(16384));
         return b;
       },
       [](Reader& r) { r.frame.DeleteStreamRequest(3); }, R::h2errGO_AWAY, 3},
      {"Padding Length is invalid.", EC::h2erPROTOCOL_ERROR, [](Script&) { return Frame(0, h2flags::PADDED, 1, Hex("05 00")); }},
      {"GO AWAY FRAME: Payload must be at least 8 octets.", EC::h2erFRAME_SIZE_ERROR,
       [](Script&) { return Frame(7, 0, 0, Hex("00000000")); }},
      {"PSEUDO-HEADER :status not found.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, EH, {"content-type=text/plain"}); }},
      {"Idle Stream only accepts HEADERS or PUSHPROMISE frames.", EC::h2erPROTOCOL_ERROR,
       [](Script&) { return Frame(0, ES, 3, Hex("00")); }, [](Reader& r) { r.frame.DeleteStreamRequest(3); }},
      {"Half Closed Remote Stream only accepts RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.", EC::h2erSTREAM_CLOSED,
       [](Script& s) { return s.H(1, EH | ES, {":status=204"}) + Frame(0, ES, 1, {}); }},
      {"Half Closed Remote Stream only accepts PRIORITY Frames.", EC::h2erSTREAM_CLOSED,
       [](Script& s) { return s.H(1, EH, kOk) + Frame(3, 0, 1, Hex("00000008")) + Frame(0, ES, 1, {}); }},
      {"Reserved Remote Stream only accepts HEADERS, RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.",
       EC::h2erPROTOCOL_ERROR, [](Script& s) { return s.Promise(1, 2, "/p") + Frame(0, ES, 2, {}); }},
      {"Received Stream Identifier is Odd.", EC::h2erPROTOCOL_ERROR, [](Script& s) { return s.Promise(1, 3, "/p"); }},
      {"HEADER Frame cannot be received after receive EndHeaders = True.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, EH, kOk) + s.H(1, EH, kOk); }},
      // A trailer part must end the stream and carry no pseudo-headers.
      {"HEADER Frame cannot be received after receive EndHeaders = True.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, EH, kOk) + Frame(0, 0, 1, AsBytes("ab")) + s.H(1, EH, {"x-sum=1"}); }},
      {"PSEUDO-HEADER fields are not allowed in trailers.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, EH, kOk) + Frame(0, 0, 1, AsBytes("ab")) + s.H(1, EH | ES, {"x-sum=1", ":status=200"}); }},
      {"CONNECTION HEADER fields are not allowed.", EC::h2erPROTOCOL_ERROR,
       [](Script& s) { return s.H(1, EH, kOk) + s.H(1, EH | ES, {"connection=close"}); }},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.message);
    Reader reader;
    reader.Open(1, 99);
    if (c.setup) c.setup(reader);
    Script script;
    try {
      reader.Feed(c.bytes(script), 0);
      ADD_FAILURE() << "no error";
    } catch (const TkfxHTTP2Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_EQ(e.ErrorCode, c.code);
      EXPECT_EQ(e.ErrorResponse, c.response);
      EXPECT_EQ(e.StreamIdentifier, c.stream);
    }
  }
  // A server reader takes new streams in rising order only; frames of
  // earlier streams still come.
  {
    TkfxHTTP2_Frame server;
    server.SetFrameRole(Th2FrameRole::h2frServerRead);
    server.MaxConcurrentStreams = h2MaxInt32;
    Script s;
    const Lines request = {":method=GET", ":scheme=https", ":path=/", ":authority=a"};
    TIdBytes first = s.H(5, EH, request);  // blocks in order: they share the table
    first = first + s.H(1, EH, request);
    try {
      server.ReadBytes(first);
      ADD_FAILURE() << "no error";
    } catch (const TkfxHTTP2Exception& e) {
      EXPECT_EQ(e.Message(), "StreamIdentifier is lower than LAST Stream Received.");
      EXPECT_EQ(e.ErrorCode, EC::h2erPROTOCOL_ERROR);
    }
  }
  // Codec errors pass through as they are.
  Reader reader;
  reader.Open(1, 1);
  EXPECT_THROW(
      {
        try {
          reader.Feed(Frame(1, EH, 1, Hex("80")), 0);
        } catch (const TkfxHTTP2Exception&) {
        } catch (const Exception& e) {
          EXPECT_EQ(e.Message(), "Table Header item not found.");
          throw;
        }
      },
      Exception);
}

// Legal input the reader takes: answers on any stream of a batch, frames for
// released streams, bodiless answers with a content-length, a limit that
// counts only pushed streams, unknown frames between blocks, padding and
// priority, and header blocks over CONTINUATION for answers and promises.
TEST(FrameHandler, ReaderAcceptsLegalInput) {
  Reader reader;
  reader.Open(1, 199);
  reader.Open(201, 201, Th2Methods::h2meHead);
  reader.frame.MaxConcurrentStreams = 1;
  Script s;
  TIdBytes bytes = s.H(101, EH | ES, {":status=204", "content-length=5"});
  bytes = bytes + s.H(1, EH, {":status=200", "content-length=3"});
  bytes = bytes + Frame(0x20, 0xFF, 1, Hex("0102"));  // unknown type between blocks
  bytes = bytes + Frame(0, ES, 1, AsBytes("abc"));
  bytes = bytes + s.H(3, EH | ES, {":status=304", "content-length=100"});
  bytes = bytes + s.H(201, EH | ES, {":status=200", "content-length=100"});
  // Padding and priority around a block.
  TIdBytes padded = Hex("03 00000001 20") + s.Block({":status=200"}) + Hex("000000");
  bytes = bytes + Frame(1, EH | ES | h2flags::PADDED | h2flags::PRIORITY, 5, padded);
  // A padded block over CONTINUATION without END_STREAM: the answer is
  // complete only with its DATA.
  const TIdBytes big = s.Block({":status=200", "x-big=" + std::string(300, 'b'), "content-length=2"});
  bytes = bytes + Frame(1, h2flags::PADDED, 7, Hex("04") + TIdBytes(big.begin(), big.begin() + 100) + Hex("00000000"));
  bytes = bytes + Frame(9, 0, 7, TIdBytes(big.begin() + 100, big.begin() + 200));
  bytes = bytes + Frame(9, EH, 7, TIdBytes(big.begin() + 200, big.end()));
  bytes = bytes + Frame(0, h2flags::PADDED | ES, 7, Hex("01 6869 00"));
  // A promise over CONTINUATION, its answer; two pushed streams never run at once.
  TIdBytes promise = s.Promise(9, 2, "/pushed.css", 0);
  bytes = bytes + TIdBytes(promise.begin(), promise.begin() + 20);
  bytes[bytes.size() - 20] = 0;
  bytes[bytes.size() - 19] = 0;
  bytes[bytes.size() - 18] = 11;  // the first 11 payload octets
  bytes = bytes + Frame(9, EH, 9, TIdBytes(promise.begin() + 20, promise.end()));
  bytes = bytes + s.H(2, EH | ES, {":status=200"});
  bytes = bytes + s.Promise(9, 4, "/second.css") + s.H(4, EH | ES, {":status=200"});
  // Frames for streams released or closed are ignored.
  bytes = bytes + Frame(8, 0, 1, Hex("00000100")) + Frame(3, 0, 1, Hex("00000000"));
  bytes = bytes + s.H(11, EH, kOk) + Frame(3, 0, 11, Hex("00000008")) + Frame(8, 0, 11, Hex("00000010"));
  bytes = bytes + Frame(2, 0, 151, Hex("0000000010"));  // PRIORITY for a stream without a record
  // The connection releases stream 1 once its answer is complete.
  TkfxHTTP2_Frame& f = reader.frame;
  f.OnReadStreamResponse = [&reader, old = f.OnReadStreamResponse](TObject* aSender, TkfxHTTP2_StreamResponse* aStream) {
    old(aSender, aStream);
    if (aStream->StreamIdentifier == 1) reader.frame.DeleteStreamRequest(1);
  };
  EXPECT_NO_THROW(reader.Feed(bytes, 0));
  const Lines& log = reader.log;
  auto has = [&log](const std::string& aLine) { return std::find(log.begin(), log.end(), aLine) != log.end(); };
  EXPECT_TRUE(has("response 101 204 " + Digest({}))) << ::testing::PrintToString(log);
  EXPECT_TRUE(has("response 1 200 " + Digest(AsBytes("abc"))));
  EXPECT_TRUE(has("response 3 304 " + Digest({})));
  EXPECT_TRUE(has("response 201 200 " + Digest({})));
  EXPECT_TRUE(has("response 5 200 " + Digest({})));
  EXPECT_TRUE(has("response 7 200 " + Digest(AsBytes("hi"))));
  EXPECT_TRUE(has("push 2 /pushed.css"));
  EXPECT_TRUE(has("push 4 /second.css"));
  EXPECT_TRUE(has("window 1 256"));
  EXPECT_TRUE(has("rst 11 8"));
  EXPECT_TRUE(has("window 11 16"));
  // The answer on 7 came after its DATA, not with its header block.
  const auto at = [&log](const std::string& aPrefix) {
    return std::find_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(aPrefix, 0) == 0; }) - log.begin();
  };
  EXPECT_LT(at("data 7"), at("response 7"));
}

// The owner's data rides on the records of the streams it opened and on no
// other; reassembly records are kept apart by stream, type and promised
// stream; releasing a stream forgets its record and what was gathered for it.
TEST(FrameHandler, StreamRecordsCarryTheOwnersDataAndReleasingForgetsThem) {
  Reader reader;
  int one = 1, three = 3;
  reader.frame.AddStreamRequest(1, Th2Methods::h2meGet, &one);
  reader.frame.AddStreamRequest(3, Th2Methods::h2meHead, &three);
  std::map<int32_t, void*> answered;
  reader.frame.OnReadStreamResponse = [&](TObject*, TkfxHTTP2_StreamResponse* aStream) {
    answered[aStream->StreamIdentifier] = aStream->UserData;
  };
  Script s;
  TIdBytes bytes = s.H(1, EH, {":status=200", "content-length=5"}) + Frame(0, 0, 1, AsBytes("abc"));
  bytes = bytes + s.Promise(1, 2, "/pushed");
  bytes = bytes + s.H(3, EH | ES, {":status=200", "content-length=5"});  // the answer to a HEAD
  bytes = bytes + s.H(2, EH | ES, {":status=204"});
  try {
    reader.Feed(bytes, 1);
  } catch (const Exception& e) {
    FAIL() << e.Message();
  }
  EXPECT_EQ(answered, (std::map<int32_t, void*>{{2, nullptr}, {3, &three}}));
  ASSERT_NE(reader.frame.GetStreamResponse(1), nullptr);
  EXPECT_EQ(reader.frame.GetStreamResponse(1)->UserData, &one);
  TkfxHTTP2_Read_Stream_Frames& records = reader.frame.ReadStreamFrames();
  const TkfxHTTP2_Read_Stream_Frame* gathered = records.GetFrame({1, Th2FrameType::h2ftDATA});
  ASSERT_NE(gathered, nullptr);
  EXPECT_EQ(gathered->PayLoad, AsBytes("abc"));
  // The completed promise moved aside under the stream it promised.
  EXPECT_EQ(records.GetFrame({1, Th2FrameType::h2ftPUSH_PROMISE}), nullptr);
  EXPECT_NE(records.GetFrame({1, Th2FrameType::h2ftPUSH_PROMISE, false, 2}), nullptr);

  reader.frame.ReleaseStream(1);
  EXPECT_EQ(reader.frame.GetStreamResponse(1), nullptr);
  EXPECT_EQ(records.GetFrame({1, Th2FrameType::h2ftDATA}), nullptr);
  ASSERT_NE(reader.frame.GetStreamResponse(3), nullptr);
  EXPECT_EQ(reader.frame.GetStreamResponse(3)->UserData, &three);
}

// A trailer part after the body, in one frame or over CONTINUATION, ends the
// stream: the answer keeps its own header block and the trailers beside it.
TEST(FrameHandler, ReaderKeepsTrailersBesideTheHeaders) {
  for (const bool split : {false, true}) {
    SCOPED_TRACE(split ? "over CONTINUATION" : "one frame");
    Reader reader;
    reader.Open(1, 3);
    std::map<int32_t, std::pair<Lines, Lines>> seen;  // headers, trailers per answer
    reader.frame.OnReadStreamResponse = [&](TObject*, TkfxHTTP2_StreamResponse* aStream) {
      seen[aStream->StreamIdentifier] = {aStream->Frame_Headers()->Headers().Lines(),
                                         aStream->Frame_Trailers() ? aStream->Frame_Trailers()->Headers().Lines() : Lines{}};
      reader.log.push_back("response " + std::to_string(aStream->StreamIdentifier));
    };
    Script s;
    TIdBytes bytes = s.H(1, EH, {":status=200", "content-length=5", "trailer=x-checksum"});
    bytes = bytes + Frame(0, 0, 1, AsBytes("hel")) + Frame(0, 0, 1, AsBytes("lo"));
    const TIdBytes trailer = s.Block({"x-checksum=abc", "x-more=" + std::string(60, 'm')});
    if (split) {
      bytes = bytes + Frame(1, ES, 1, TIdBytes(trailer.begin(), trailer.begin() + 10));
      bytes = bytes + Frame(9, EH, 1, TIdBytes(trailer.begin() + 10, trailer.end()));
    } else {
      bytes = bytes + Frame(1, EH | ES, 1, trailer);
    }
    // A stream without trailers is unaffected.
    bytes = bytes + s.H(3, EH | ES, {":status=204"});
    try {
      reader.Feed(bytes, 1);
    } catch (const Exception& e) {
      ADD_FAILURE() << e.Message();
    }
    EXPECT_EQ(std::count(reader.log.begin(), reader.log.end(), "response 1"), 1) << ::testing::PrintToString(reader.log);
    EXPECT_EQ(seen[1].first, (Lines{":status=200", "content-length=5", "trailer=x-checksum"}));
    EXPECT_EQ(seen[1].second, (Lines{"x-checksum=abc", "x-more=" + std::string(60, 'm')}));
    EXPECT_EQ(reader.frame.GetStreamResponse(1)->Frame_Data()->Data, AsBytes("hello"));
    EXPECT_EQ(seen[3].first, (Lines{":status=204"}));
    EXPECT_TRUE(seen[3].second.empty());
    EXPECT_EQ(reader.frame.GetStreamResponse(1)->StreamState, Th2StreamState::h2ssHalfClosedRemote);
  }
}

// The split of a write into frames: their payload lengths and flags.
std::vector<std::pair<uint32_t, uint8_t>> Frames(const TIdBytes& aBytes) {
  std::vector<std::pair<uint32_t, uint8_t>> out;
  for (size_t pos = 0; pos + 9 <= aBytes.size();) {
    const uint32_t length = aBytes[pos] << 16 | aBytes[pos + 1] << 8 | aBytes[pos + 2];
    out.emplace_back(length, aBytes[pos + 4]);
    pos += 9 + length;
  }
  return out;
}
using Split = std::vector<std::pair<uint32_t, uint8_t>>;

TEST(DataQueue, StreamAndConnectionWindows) {
  Writer w;
  TkfxHTTP2_Write_Data_Frames& queue = w.frame.WriteDataFrames();
  // Both windows start at 65535: a 100000-octet body sends 65535 and waits.
  w.Body(1, std::string(100000, 'x'));
  EXPECT_EQ(Frames(w.Take()), (Split{{16384, 0}, {16384, 0}, {16384, 0}, {16383, 0}}));
  // A stream update alone does not pass the empty connection window...
  w.frame.SetWriteDataFramesWindowSize(1, 34465);
  EXPECT_TRUE(w.out.empty());
  // ...and a connection update credits the connection only.
  w.frame.SetWriteDataFramesWindowSize(0, 1000000);
  EXPECT_EQ(Frames(w.Take()), (Split{{16384, 0}, {16384, 0}, {1697, 1}}));
  EXPECT_EQ(queue.Count(), 0);

  // A stream without window does not hold back another stream's DATA; an
  // empty body goes out even without any window.
  w.Body(3, std::string(70000, 'y'));
  EXPECT_EQ(Frames(w.Take()).size(), 4u);  // 65535 of it
  ASSERT_EQ(queue.Count(), 1);
  EXPECT_EQ(static_cast<TkfxHTTP2_Write_Data_Frame*>(queue.GetItemByIndex(0))->WindowSize, 0);
  w.Body(5, "hello");
  EXPECT_EQ(Frames(w.Take()), (Split{{5, 1}}));
  w.frame.SetWriteDataFramesWindowSize(0, -static_cast<int32_t>(queue.ConnectionWindowSize));  // drain the connection window
  w.Body(7, "");
  EXPECT_EQ(Frames(w.Take()), (Split{{0, 1}}));

  // A new initial window moves every queued window by the difference.
  w.frame.SetWriteDataFramesInitialWindowSize(100);
  EXPECT_EQ(static_cast<TkfxHTTP2_Write_Data_Frame*>(queue.GetItemByIndex(0))->WindowSize, 100 - 65535);
  w.frame.SetWriteDataFramesInitialWindowSize(70000);
  EXPECT_EQ(static_cast<TkfxHTTP2_Write_Data_Frame*>(queue.GetItemByIndex(0))->WindowSize, 70000 - 65535);
  EXPECT_TRUE(w.out.empty());  // the connection window is still empty
  w.frame.SetWriteDataFramesWindowSize(0, 100000);
  EXPECT_EQ(Frames(w.Take()), (Split{{4465, 1}}));
}

TEST(DataQueue, WindowOverflows) {
  struct Case {
    int32_t stream;
    EC code;
    Th2ErrorResponse response;
  };
  for (const Case& c : {Case{0, EC::h2erFLOW_CONTROL_ERROR, Th2ErrorResponse::h2errGO_AWAY},
                        Case{1, EC::h2erFLOW_CONTROL_ERROR, Th2ErrorResponse::h2errRST_STREAM}}) {
    Writer w;
    // The window in question has room left, so the increment overflows it.
    w.Body(1, std::string(c.stream == 0 ? 100 : 70000, 'x'));
    w.frame.SetWriteDataFramesWindowSize(c.stream, 1);
    try {
      w.frame.SetWriteDataFramesWindowSize(c.stream, h2MaxInt32);
      ADD_FAILURE() << "no error";
    } catch (const TkfxHTTP2Exception& e) {
      EXPECT_EQ(e.Message(), "WINDOW UPDATE FRAME: Window Size Increment has exceed 2^30.");
      EXPECT_EQ(e.ErrorCode, c.code);
      EXPECT_EQ(e.ErrorResponse, c.response);
      EXPECT_EQ(e.StreamIdentifier, c.stream);
    }
  }
}

TEST(StreamRecords, StatesAndIdentifierParity) {
  using SS = Th2StreamState;
  struct Case {
    SS from;
    FT type;
    bool endStream;
    int32_t stream;
    Th2FrameRole role;
    SS to;
    const char* message;
    EC code;
  };
  const auto R = Th2FrameRole::h2frClientRead;
  const EC P = EC::h2erPROTOCOL_ERROR, C = EC::h2erSTREAM_CLOSED;
  const std::vector<Case> cases = {
      {SS::h2ssIdle, FT::h2ftHEADERS, false, 1, R, SS::h2ssOpen, "", P},
      {SS::h2ssIdle, FT::h2ftHEADERS, true, 1, R, SS::h2ssHalfClosedRemote, "", P},
      {SS::h2ssIdle, FT::h2ftPUSH_PROMISE, false, 2, R, SS::h2ssReservedRemote, "", P},
      {SS::h2ssIdle, FT::h2ftDATA, true, 1, R, SS::h2ssIdle, "Idle Stream only accepts HEADERS or PUSHPROMISE frames.", P},
      {SS::h2ssReservedLocal, FT::h2ftWINDOW_UPDATE, false, 1, R, SS::h2ssReservedLocal, "", P},
      {SS::h2ssReservedLocal, FT::h2ftRST_STREAM, false, 2, R, SS::h2ssClosed, "", P},
      {SS::h2ssReservedLocal, FT::h2ftDATA, false, 2, R, SS::h2ssReservedLocal,
       "Reserved Local Stream only accepts RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.", P},
      {SS::h2ssReservedRemote, FT::h2ftHEADERS, false, 1, R, SS::h2ssHalfClosedLocal, "", P},
      {SS::h2ssReservedRemote, FT::h2ftHEADERS, true, 1, R, SS::h2ssClosed, "", P},
      {SS::h2ssOpen, FT::h2ftDATA, true, 1, R, SS::h2ssHalfClosedRemote, "", P},
      {SS::h2ssOpen, FT::h2ftRST_STREAM, false, 1, R, SS::h2ssClosed, "", P},
      {SS::h2ssHalfClosedLocal, FT::h2ftDATA, true, 1, R, SS::h2ssClosed, "", P},
      {SS::h2ssHalfClosedRemote, FT::h2ftWINDOW_UPDATE, false, 1, R, SS::h2ssHalfClosedRemote, "", P},
      {SS::h2ssHalfClosedRemote, FT::h2ftDATA, false, 1, R, SS::h2ssHalfClosedRemote,
       "Half Closed Remote Stream only accepts RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.", C},
      {SS::h2ssClosed, FT::h2ftWINDOW_UPDATE, false, 1, R, SS::h2ssClosed, "", P},
      {SS::h2ssClosed, FT::h2ftHEADERS, false, 1, R, SS::h2ssClosed,
       "Half Closed Remote Stream only accepts PRIORITY Frames.", C},
      // Parity: a client reads answers on odd streams and promises of even ones.
      {SS::h2ssIdle, FT::h2ftHEADERS, false, 2, R, SS::h2ssOpen, "Received Stream Identifier is Even.", P},
      {SS::h2ssIdle, FT::h2ftPUSH_PROMISE, false, 3, R, SS::h2ssReservedRemote, "Received Stream Identifier is Odd.", P},
      {SS::h2ssIdle, FT::h2ftHEADERS, false, 1, Th2FrameRole::h2frClientWrite, SS::h2ssOpen,
       "Received Stream Identifier is Odd.", P},
      {SS::h2ssIdle, FT::h2ftHEADERS, false, 2, Th2FrameRole::h2frServerRead, SS::h2ssOpen,
       "Received Stream Identifier is Even.", P},
  };
  TkfxHTTP2_HPACK hpack;
  TkfxHTTP2_StreamIdentifierCounter counter(R);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.from)) + "/" + std::to_string(static_cast<int>(c.type)) + "/" +
                 std::to_string(c.stream));
    TkfxHTTP2_StreamResponses streams;
    TkfxHTTP2_StreamResponse* stream = streams.AddRequest(c.stream, Th2Methods::h2meGet, nullptr);
    stream->StreamState = c.from;
    TkfxHTTP2_FramePtr frame;
    if (c.type == FT::h2ftHEADERS) {
      auto h = std::make_shared<TkfxHTTP2_Frame_Headers>(&hpack, &counter, c.role);
      h->EndStream = c.endStream;
      frame = h;
    } else if (c.type == FT::h2ftPUSH_PROMISE) {
      frame = std::make_shared<TkfxHTTP2_Frame_PushPromise>(&hpack, &counter, c.role);
    } else if (c.type == FT::h2ftDATA) {
      auto d = std::make_shared<TkfxHTTP2_Frame_Data>(c.role);
      d->EndStream = c.endStream;
      frame = d;
    } else if (c.type == FT::h2ftRST_STREAM) {
      frame = std::make_shared<TkfxHTTP2_Frame_RSTStream>(c.role);
    } else {
      frame = std::make_shared<TkfxHTTP2_Frame_WindowUpdate>(c.role);
    }
    frame->StreamIdentifier = c.stream;
    try {
      stream->AddFrame(c.type, frame);
      EXPECT_STREQ("", c.message);
    } catch (const TkfxHTTP2Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_EQ(e.ErrorCode, c.code);
      continue;
    }
    EXPECT_EQ(stream->StreamState, c.to);
  }
}

// Our writer's frames for many streams at once go to an nghttp2 server whose
// windows change meanwhile; it takes them all without a flow-control error
// and receives every body octet exactly once.
TEST(FrameHandlerInterop, WriterDataUnderChangingWindows) {
  peer::Session server(true);
  nghttp2_settings_entry small[] = {{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 3000}};
  nghttp2_submit_settings(server.Get(), NGHTTP2_FLAG_NONE, small, 1);
  Writer writer;
  Reader reader;  // reads the server's SETTINGS and WINDOW_UPDATE for the writer
  reader.frame.OnReadFrameSettings = [&writer](TObject*, TkfxHTTP2_Frame_Settings* f) {
    if (!f->ACK && f->Carries(Th2SettingsIdentifier::h2siInitialWindowSize))
      writer.frame.SetWriteDataFramesInitialWindowSize(f->InitialWindowSize);
  };
  reader.frame.OnReadFrameWindowUpdate = [&writer](TObject*, TkfxHTTP2_Frame_WindowUpdate* f) {
    writer.frame.SetWriteDataFramesWindowSize(f->StreamIdentifier, f->WindowSizeIncrement);
  };
  TIdBytes toServer = Preface();
  writer.frame.Frame_Settings().WriteBytes();
  std::map<int32_t, std::string> sent;
  const size_t sizes[] = {0, 1, 5000, 70000, 16384, 200000, 333, 65535, 65536, 120000};
  for (int i = 0; i < 20; ++i) {
    const std::string body = Pattern(sizes[i % 10] + static_cast<size_t>(i), i);
    const int32_t id = writer.Request("/upload/" + std::to_string(i), false,
                                      {"content-length: " + std::to_string(body.size())});
    reader.Open(id, id);
    writer.Body(id, body);
    sent[id] = body;
  }
  writer.frame.Frame_Ping().PayLoad = Hex("0001020304050607");
  writer.frame.FrameType = FT::h2ftPING;
  writer.frame.WriteBytes();
  writer.frame.Frame_WindowUpdate().StreamIdentifier = 0;
  writer.frame.Frame_WindowUpdate().WindowSizeIncrement = 100000;
  writer.frame.Frame_WindowUpdate().WriteBytes();
  const int32_t cancelled = writer.Request("/cancelled", false);
  writer.frame.Frame_RSTStream().StreamIdentifier = cancelled;
  writer.frame.Frame_RSTStream().ErrorCode = static_cast<int32_t>(EC::h2erCANCEL);
  writer.frame.FrameType = FT::h2ftRST_STREAM;
  writer.frame.WriteBytes();
  reader.Open(cancelled, cancelled);
  toServer = toServer + writer.Take();
  int rounds = 0;
  for (; rounds < 3000; ++rounds) {
    ASSERT_EQ(server.Receive(toServer), static_cast<ssize_t>(toServer.size())) << "round " << rounds;
    if (rounds == 5) {
      nghttp2_settings_entry wide[] = {{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 100000}};
      nghttp2_submit_settings(server.Get(), NGHTTP2_FLAG_NONE, wide, 1);
    }
    if (rounds == 12) {
      nghttp2_settings_entry narrow[] = {{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 500}};
      nghttp2_submit_settings(server.Get(), NGHTTP2_FLAG_NONE, narrow, 1);
    }
    if (rounds == 20) {
      nghttp2_settings_entry back[] = {{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 65535}};
      nghttp2_submit_settings(server.Get(), NGHTTP2_FLAG_NONE, back, 1);
    }
    const TIdBytes fromServer = server.Send();
    reader.Feed(fromServer, 0);
    toServer = writer.Take();
    size_t complete = 0;
    for (const auto& [id, body] : sent) complete += server.bodies[id].size() == body.size();
    if (complete == sent.size() && rounds > 20) break;
  }
  writer.frame.Frame_GoAway().LastStreamid = 0;
  writer.frame.FrameType = FT::h2ftGOAWAY;
  writer.frame.WriteBytes();
  const TIdBytes last = writer.Take();
  ASSERT_EQ(server.Receive(last), static_cast<ssize_t>(last.size()));
  for (const auto& [id, body] : sent) EXPECT_EQ(server.bodies[id], body) << "stream " << id;
  EXPECT_EQ(server.invalid, 0);
  for (const auto& line : reader.log) {
    EXPECT_EQ(line.rfind("goaway", 0), std::string::npos) << line;
    EXPECT_EQ(line.rfind("rst", 0), std::string::npos) << line;
  }
  EXPECT_EQ(server.closed.at(cancelled), static_cast<uint32_t>(EC::h2erCANCEL));
  std::set<int> types;
  for (const auto& f : server.frames) types.insert(f.type);
  EXPECT_EQ(types, (std::set<int>{NGHTTP2_DATA, NGHTTP2_HEADERS, NGHTTP2_RST_STREAM, NGHTTP2_SETTINGS, NGHTTP2_PING,
                                  NGHTTP2_GOAWAY, NGHTTP2_WINDOW_UPDATE}));
}

}  // namespace
