#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "http2/core/kfxHTTP2_Frame.h"
#include "tests/http2/core/nghttp2_peer.h"

namespace {

using peer::Hex;
using Lines = std::vector<std::string>;
using FT = Th2FrameType;
using EC = Th2ErrorCodes;

// The frame objects of one side with one codec and counter.
struct Frames {
  explicit Frames(Th2FrameRole aRole) : counter(aRole), role(aRole) {}
  std::unique_ptr<TkfxHTTP2_Frame_Base> Make(FT aType) {
    switch (aType) {
      case FT::h2ftDATA: return std::make_unique<TkfxHTTP2_Frame_Data>(role);
      case FT::h2ftHEADERS: return std::make_unique<TkfxHTTP2_Frame_Headers>(&hpack, &counter, role);
      case FT::h2ftPRIORITY: return std::make_unique<TkfxHTTP2_Frame_Priority>(role);
      case FT::h2ftRST_STREAM: return std::make_unique<TkfxHTTP2_Frame_RSTStream>(role);
      case FT::h2ftSETTINGS: return std::make_unique<TkfxHTTP2_Frame_Settings>(role);
      case FT::h2ftPUSH_PROMISE: return std::make_unique<TkfxHTTP2_Frame_PushPromise>(&hpack, &counter, role);
      case FT::h2ftPING: return std::make_unique<TkfxHTTP2_Frame_Ping>(role);
      case FT::h2ftGOAWAY: return std::make_unique<TkfxHTTP2_Frame_GoAway>(role);
      case FT::h2ftWINDOW_UPDATE: return std::make_unique<TkfxHTTP2_Frame_WindowUpdate>(role);
      default: return std::make_unique<TkfxHTTP2_Frame_Continuation>(role);
    }
  }
  TkfxHTTP2_HPACK hpack;
  TkfxHTTP2_StreamIdentifierCounter counter;
  Th2FrameRole role;
};

// Every write of a frame object, one entry per OnWriteBytes call.
struct Wire {
  void Attach(TkfxHTTP2_Frame_Base& aFrame) {
    aFrame.OnWriteBytes = [this](TObject*, const TIdBytes& aBytes) { writes.push_back(aBytes); };
  }
  TIdBytes All() const {
    TIdBytes all;
    for (const auto& w : writes) all.insert(all.end(), w.begin(), w.end());
    return all;
  }
  std::vector<TIdBytes> writes;
};

struct FrameHeader {
  uint32_t length;
  uint8_t type, flags;
  int32_t stream;
};
// The frame headers in aBytes, in order.
std::vector<FrameHeader> Split(const TIdBytes& aBytes) {
  std::vector<FrameHeader> out;
  for (size_t pos = 0; pos + 9 <= aBytes.size();) {
    FrameHeader h{uint32_t{aBytes[pos]} << 16 | uint32_t{aBytes[pos + 1]} << 8 | aBytes[pos + 2], aBytes[pos + 3],
                  aBytes[pos + 4],
                  static_cast<int32_t>((uint32_t{aBytes[pos + 5]} << 24 | uint32_t{aBytes[pos + 6]} << 16 |
                                        uint32_t{aBytes[pos + 7]} << 8 | aBytes[pos + 8]) &
                                       0x7FFFFFFF)};
    out.push_back(h);
    pos += 9 + h.length;
  }
  return out;
}

TEST(Frames, PayloadErrors) {
  struct Case {
    FT type;
    uint8_t flags;
    int32_t stream;
    const char* payload;
    EC code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {FT::h2ftDATA, 0x08, 1, "05 6162", EC::h2erPROTOCOL_ERROR, "Padding Length is invalid."},
      {FT::h2ftDATA, 0x08, 1, "", EC::h2erPROTOCOL_ERROR, "Padding Length is invalid."},
      {FT::h2ftHEADERS, 0x0C, 1, "04 82 0000", EC::h2erPROTOCOL_ERROR, "Padding Length is invalid."},
      {FT::h2ftHEADERS, 0x2C, 1, "03 00000003 10 88", EC::h2erPROTOCOL_ERROR, "Padding Length is invalid."},
      {FT::h2ftHEADERS, 0x24, 1, "000000", EC::h2erPROTOCOL_ERROR,
       "HEADERS FRAME: Priority fields do not fit the payload."},
      {FT::h2ftHEADERS, 0x24, 3, "80000003 10 88", EC::h2erPROTOCOL_ERROR, "Stream cannot depends on itself."},
      {FT::h2ftPUSH_PROMISE, 0x04, 1, "000002", EC::h2erFRAME_SIZE_ERROR,
       "PUSH PROMISE FRAME: Payload too short for the promised stream."},
      {FT::h2ftPUSH_PROMISE, 0x0C, 1, "02 00000002", EC::h2erPROTOCOL_ERROR, "Padding Length is invalid."},
      {FT::h2ftPRIORITY, 0, 5, "00000001", EC::h2erFRAME_SIZE_ERROR, "Frame Size Error."},
      {FT::h2ftRST_STREAM, 0, 5, "000000", EC::h2erFRAME_SIZE_ERROR, "Frame Size Error."},
      {FT::h2ftRST_STREAM, 0, 5, "0000000800", EC::h2erFRAME_SIZE_ERROR, "Frame Size Error."},
      {FT::h2ftSETTINGS, 0x01, 0, "000100001000", EC::h2erFRAME_SIZE_ERROR,
       "When Settings FRAME has ACK enabled, payload must be empty."},
      {FT::h2ftSETTINGS, 0, 0, "00010000100000", EC::h2erFRAME_SIZE_ERROR,
       "SETTINGS FRAME: Payload must be multiple of 6 octets."},
      {FT::h2ftSETTINGS, 0, 0, "000200000100", EC::h2erPROTOCOL_ERROR, "Invalid value Enable Push"},
      {FT::h2ftSETTINGS, 0, 0, "000480000000", EC::h2erFLOW_CONTROL_ERROR, "Invalid Initial Window Size"},
      {FT::h2ftSETTINGS, 0, 0, "000500003fff", EC::h2erPROTOCOL_ERROR, "Invalid Max Frame Size"},
      {FT::h2ftSETTINGS, 0, 0, "000501000000", EC::h2erPROTOCOL_ERROR, "Invalid Max Frame Size"},
      {FT::h2ftPING, 0, 0, "01020304050607", EC::h2erFRAME_SIZE_ERROR, "Invalid Ping Frame Payload."},
      {FT::h2ftGOAWAY, 0, 0, "00000001000000", EC::h2erFRAME_SIZE_ERROR,
       "GO AWAY FRAME: Payload must be at least 8 octets."},
      {FT::h2ftWINDOW_UPDATE, 0, 0, "000001", EC::h2erFRAME_SIZE_ERROR,
       "WINDOW UPDATE FRAME: Payload must be multiple of 4 octets."},
      {FT::h2ftWINDOW_UPDATE, 0, 0, "", EC::h2erFRAME_SIZE_ERROR, "WINDOW UPDATE FRAME: Payload must be 4 octets."},
      {FT::h2ftWINDOW_UPDATE, 0, 0, "0000000100000001", EC::h2erFRAME_SIZE_ERROR,
       "WINDOW UPDATE FRAME: Payload must be 4 octets."},
      {FT::h2ftWINDOW_UPDATE, 0, 1, "00000000", EC::h2erPROTOCOL_ERROR,
       "WINDOW UPDATE FRAME: WindowSizeIncrement value must be between 1 and 2^30"},
      {FT::h2ftWINDOW_UPDATE, 0, 1, "80000000", EC::h2erPROTOCOL_ERROR,
       "WINDOW UPDATE FRAME: WindowSizeIncrement value must be between 1 and 2^30"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + std::string(" / ") + c.payload);
    Frames frames(Th2FrameRole::h2frClientRead);
    auto frame = frames.Make(c.type);
    frame->ReadFlags(c.flags);
    frame->StreamIdentifier = c.stream;
    try {
      frame->ReadPayload(Hex(c.payload));
      ADD_FAILURE() << "no error";
    } catch (const TkfxHTTP2Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_EQ(e.ErrorCode, c.code);
      EXPECT_EQ(e.ErrorResponse, Th2ErrorResponse::h2errGO_AWAY);
      EXPECT_EQ(e.StreamIdentifier, c.type == FT::h2ftPRIORITY ? 5 : 0);
    }
  }
}

TEST(Frames, ReadingPayloads) {
  Frames f(Th2FrameRole::h2frClientRead);
  TkfxHTTP2_Frame_Data data(Th2FrameRole::h2frClientRead);
  data.ReadFlags(0x09);
  data.ReadPayload(Hex("02 6869 0000"));
  EXPECT_TRUE(data.EndStream);
  EXPECT_EQ(data.PadLength, 2);
  EXPECT_EQ(data.DataString(), "hi");

  // HEADERS with padding and priority: the block lies between them.
  TkfxHTTP2_Frame_Headers headers(&f.hpack, &f.counter, Th2FrameRole::h2frClientRead);
  headers.ReadFlags(0x2D);
  headers.StreamIdentifier = 1;
  headers.ReadPayload(Hex("03 80000003 0f 88 5f 10 6170706c69636174696f6e2f6a736f6e 5c0131 000000"));
  EXPECT_TRUE(headers.EndHeaders && headers.EndStream && headers.Padded && headers.Priority);
  EXPECT_EQ(headers.StreamDependency, static_cast<int32_t>(0x80000003));
  EXPECT_EQ(headers.Weight, 15);
  EXPECT_EQ(headers.Headers().Lines(), (Lines{":status=200", "content-type=application/json", "content-length=1"}));
  EXPECT_EQ(headers.Status(), 200);
  EXPECT_EQ(headers.ContentLength(), 1);
  EXPECT_EQ(headers.ContentType(), "application/json");

  TkfxHTTP2_Frame_PushPromise promise(&f.hpack, &f.counter, Th2FrameRole::h2frClientRead);
  promise.ReadFlags(0x04);
  promise.ReadPayload(Hex("80000002 8384 41 09 6c6f63616c686f7374 87"));
  EXPECT_EQ(promise.PromisedStreamid, 2);
  EXPECT_EQ(promise.Method(), Th2Methods::h2mePost);
  EXPECT_EQ(promise.URL(), "/");

  TkfxHTTP2_Frame_GoAway away(Th2FrameRole::h2frClientRead);
  away.ReadPayload(Hex("00000007 0000000b 63616c6d"));
  EXPECT_EQ(away.LastStreamid, 7);
  EXPECT_EQ(away.ErrorCode, 11);
  EXPECT_EQ(away.AdditionalDebugData, "calm");

  TkfxHTTP2_Frame_WindowUpdate update(Th2FrameRole::h2frClientRead);
  update.ReadPayload(Hex("80010000"));  // the reserved bit is ignored
  EXPECT_EQ(update.WindowSizeIncrement, 65536);

  // SETTINGS: values in order, unknown identifiers skipped, the limits of
  // MAX_FRAME_SIZE accepted, 32-bit counts clamped; the frame records what
  // it carried, and a second one with one value changes only that value.
  TkfxHTTP2_Frame_Settings settings(Th2FrameRole::h2frClientRead);
  settings.ReadPayload(Hex("0001 00000100 0002 00000000 0003 ffffffff 0004 00100000 0005 00004000 0100 00000007 "
                           "0006 00002000 0008 00000001"));
  EXPECT_EQ(settings.HeaderTableSize, 256);
  EXPECT_FALSE(settings.EnablePush);
  EXPECT_EQ(settings.MaxConcurrentStreams, h2MaxInt32);
  EXPECT_EQ(settings.InitialWindowSize, 1048576);
  EXPECT_EQ(settings.MaxFrameSize, 16384);
  EXPECT_EQ(settings.MaxHeaderListSize, 8192);
  EXPECT_TRUE(settings.EnableConnectProtocol);
  TkfxHTTP2_Frame_Settings peer(Th2FrameRole::h2frClientWrite);
  peer.AssignCarried(settings);
  settings.ReadPayload(Hex("0005 00ffffff"));
  EXPECT_TRUE(settings.Carries(Th2SettingsIdentifier::h2siMaxFrameSize));
  EXPECT_FALSE(settings.Carries(Th2SettingsIdentifier::h2siInitialWindowSize));
  peer.AssignCarried(settings);
  EXPECT_EQ(peer.MaxFrameSize, 16777215);
  EXPECT_EQ(peer.InitialWindowSize, 1048576);
  EXPECT_EQ(peer.HeaderTableSize, 256);
  EXPECT_FALSE(peer.EnablePush);
}

TEST(Frames, HeaderBlockChecks) {
  using R = Th2FrameRole;
  struct Case {
    Lines lines;
    R role;
    const char* message;  // "" when the block passes
  };
  const std::vector<Case> cases = {
      {{":status=200", "content-type=text/plain", "te=trailers"}, R::h2frClientRead, ""},
      {{":method=GET", ":scheme=https", ":path=/", ":authority=a"}, R::h2frServerRead, ""},
      {{"content-type=text/plain"}, R::h2frClientRead, "PSEUDO-HEADER :status not found."},
      {{":method=GET", ":scheme=https", ":path=/"}, R::h2frServerRead, "PSEUDO-HEADER :authority not found."},
      {{"x=1", ":status=200"}, R::h2frClientRead,
       "PSEUDO-HEADERS cannot appear in a Header Block AFTER a REGULAR field."},
      {{":status=200", "connection=close"}, R::h2frClientRead, "CONNECTION HEADER fields are not allowed."},
      {{":status=200", "Content-Type=x"}, R::h2frClientRead, "HEADER name cannot contain UPPERCASE letters."},
      {{":status=ok"}, R::h2frClientRead, "PSEUDO-HEADER :status value \"ok\" is invalid."},
      {{":method=get", ":scheme=https", ":path=/", ":authority=a"}, R::h2frServerRead,
       "PSEUDO-HEADER :method value \"get\" is invalid."},
      {{":method=GET", ":scheme=https", ":path=", ":authority=a"}, R::h2frServerRead,
       "PSEUDO-HEADER :path value \"\" is invalid."},
      {{":status=200", "te=gzip"}, R::h2frClientRead, "TE HEADER must not contain any value other than \"trailers\"."},
      {{":status=200", ":status=204"}, R::h2frClientRead, "PSEUDO-HEADER field cannot be duplicated."},
      {{":status=200", ":path=/"}, R::h2frClientRead, "PSEUDO-HEADER field is Unknown."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TStringList list;
    for (const auto& line : c.lines) list.Add(line);
    if (*c.message == 0) {
      EXPECT_NO_THROW(TkfxHTTP2_Frame_Headers::CheckHeaderBlock(list, c.role));
      continue;
    }
    try {
      TkfxHTTP2_Frame_Headers::CheckHeaderBlock(list, c.role);
      ADD_FAILURE() << "no error";
    } catch (const TkfxHTTP2Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_EQ(e.ErrorCode, EC::h2erPROTOCOL_ERROR);
    }
  }
}

TEST(Frames, WritingDataWithinALimit) {
  struct Case {
    size_t size;
    int64_t limit;
    std::vector<uint32_t> frames;
    int64_t left;
  };
  const std::vector<Case> cases = {
      {40000, 65535, {16384, 16384, 7232}, 0},
      {40000, 20000, {16384, 3616}, 20000},
      {40000, 0, {16384}, 23616},
      {0, 65535, {0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " within " + std::to_string(c.limit));
    TkfxHTTP2_Frame_Data data(Th2FrameRole::h2frClientWrite);
    Wire wire;
    wire.Attach(data);
    TMemoryStream body;
    const std::string text(c.size, 'b');
    body.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
    data.SetStream(&body);
    data.StreamIdentifier = 3;
    EXPECT_EQ(data.SendData(c.limit), c.left);
    ASSERT_EQ(wire.writes.size(), 1u);
    const auto split = Split(wire.writes[0]);
    ASSERT_EQ(split.size(), c.frames.size());
    for (size_t i = 0; i < split.size(); ++i) {
      EXPECT_EQ(split[i].length, c.frames[i]);
      EXPECT_EQ(split[i].type, 0);
      EXPECT_EQ(split[i].stream, 3);
      EXPECT_EQ(split[i].flags, c.left == 0 && i + 1 == split.size() ? 1 : 0);
    }
  }
}

TEST(Frames, StreamIdentifiersAndSettingsPayload) {
  Frames client(Th2FrameRole::h2frClientWrite);
  TkfxHTTP2_Frame_Headers headers(&client.hpack, &client.counter, Th2FrameRole::h2frClientWrite);
  Wire wire;
  wire.Attach(headers);
  std::vector<int32_t> ids;
  for (int i = 0; i < 3; ++i) {
    headers.StreamIdentifier = 0;
    headers.Headers().Clear();
    headers.Headers().Add(":method: GET");
    headers.WriteBytes();
    ids.push_back(headers.StreamIdentifier);
  }
  EXPECT_EQ(ids, (std::vector<int32_t>{1, 3, 5}));
  TkfxHTTP2_StreamIdentifierCounter reader(Th2FrameRole::h2frClientRead);
  EXPECT_EQ(reader.GetNewIdentifier(), 2);
  EXPECT_EQ(reader.GetNewIdentifier(), 4);

  // Only values that differ from the protocol defaults are written.
  TkfxHTTP2_Frame_Settings settings(Th2FrameRole::h2frClientWrite);
  Wire out;
  out.Attach(settings);
  settings.WriteBytes();
  settings.EnablePush = false;
  settings.InitialWindowSize = 1 << 20;
  settings.WriteBytes();
  settings.ACK = true;
  settings.WriteBytes();
  EXPECT_EQ(out.writes.at(0), Hex("000000 04 00 00000000"));
  EXPECT_EQ(out.writes.at(1), Hex("00000c 04 00 00000000 0002 00000000 0004 00100000"));
  EXPECT_EQ(out.writes.at(2), Hex("000000 04 01 00000000"));
}

// The writing codec never uses a larger table than the peer allows: when the
// peer's limit drops (to 0 here) the next block starts with the size update,
// and once the peer allows a table again it is taken back into use.
TEST(Frames, HeaderBlocksFollowThePeersTableLimit) {
  Frames client(Th2FrameRole::h2frClientWrite);
  TkfxHTTP2_Frame_Headers headers(&client.hpack, &client.counter, client.role);
  peer::Inflater peerDecoder;
  TStringList list;
  for (const char* line : {":method: POST", ":path: /3/device/abc", "apns-topic: com.example"}) list.Add(line);
  const peer::Fields expected = {{":method", "POST"}, {":path", "/3/device/abc"}, {"apns-topic", "com.example"}};
  struct Step {
    int32_t limit;
    const char* start;  // the block's first octets
    int32_t tableSize;
  };
  for (const Step& step : {Step{4096, "83", 4096}, Step{0, "20", 0}, Step{0, "83", 0}, Step{4096, "3fe11f", 4096},
                           Step{1024, "3fe107", 1024}}) {
    SCOPED_TRACE(step.limit);
    client.hpack.SetDynamicTableSizeLimit(step.limit);
    TIdBytes block;
    headers.EncodeHeaderList(list, block);
    const TIdBytes start = Hex(step.start);
    EXPECT_EQ(TIdBytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(start.size())), start);
    EXPECT_EQ(client.hpack.DynamicTableSize(), step.tableSize);
    EXPECT_EQ(peerDecoder.Inflate(block), expected);
  }
}

// Header lines become fields as an nghttp2 decoder reads them: names in
// lower case up to the first colon or blank, values trimmed and free to hold
// colons. Each list follows a longer one on the same frame object, so no
// text of the one before may show through.
TEST(Frames, HeaderLinesToFields) {
  Frames client(Th2FrameRole::h2frClientWrite);
  TkfxHTTP2_Frame_Headers headers(&client.hpack, &client.counter, client.role);
  Wire wire;
  wire.Attach(headers);
  peer::Inflater peerDecoder;
  struct Case {
    Lines lines;
    peer::Fields fields;
  };
  const std::string longValue(300, 'v');
  const Case cases[] = {
      {{":method: POST", ":path: /3/device/" + longValue, "Apns-Topic: com.example", "X-Long: " + longValue,
        "Authorization: bearer " + longValue},
       {{":method", "POST"}, {":path", "/3/device/" + longValue}, {"apns-topic", "com.example"},
        {"x-long", longValue}, {"authorization", "bearer " + longValue}}},
      {{":Path:  /a:b:c  ", "HOST:\texample.org:443", "x-empty:", "x-blank:   "},
       {{":path", "/a:b:c"}, {"host", "example.org:443"}, {"x-empty", ""}, {"x-blank", ""}}},
      {{"A: 1"}, {{"a", "1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines[0]);
    headers.Headers().Clear();
    for (const std::string& line : c.lines) headers.Headers().Add(line);
    headers.StreamIdentifier = 0;
    wire.writes.clear();
    headers.WriteBytes();
    ASSERT_EQ(wire.writes.size(), 1u);
    const TIdBytes& frame = wire.writes[0];
    const auto split = Split(frame);
    ASSERT_EQ(split.size(), 1u);
    EXPECT_EQ(split[0].type, NGHTTP2_HEADERS);
    EXPECT_EQ(split[0].flags & NGHTTP2_FLAG_END_HEADERS, NGHTTP2_FLAG_END_HEADERS);
    EXPECT_EQ(split[0].stream, headers.StreamIdentifier);
    EXPECT_EQ(frame.size(), 9 + split[0].length);
    EXPECT_EQ(peerDecoder.Inflate(TIdBytes(frame.begin() + 9, frame.end())), c.fields);
  }
}

// A PUSH_PROMISE whose header list needs CONTINUATION frames: the promised
// stream leads the first payload, the block runs on across the frames and
// only the last one carries END_HEADERS.
TEST(Frames, LargePushPromiseIsContinued) {
  Frames server(Th2FrameRole::h2frServerWrite);
  TkfxHTTP2_Frame_PushPromise promise(&server.hpack, &server.counter, server.role);
  Wire wire;
  wire.Attach(promise);
  promise.StreamIdentifier = 1;
  promise.OnRequestPromisedStreamId = [](int32_t& aId) { aId = 0x01020304; };
  std::string big;
  for (int i = 0; i < 20000; ++i) big.push_back(static_cast<char>('a' + i * 11 % 26));
  peer::Fields expected = {{":method", "GET"}, {":scheme", "https"}, {":path", "/pushed"},
                           {":authority", "localhost"}};
  for (const auto& [n, v] : expected) promise.Headers().Add(n + ": " + v);
  for (int i = 0; i < 4; ++i) {
    promise.Headers().Add("x-big-" + std::to_string(i) + ": " + big);
    expected.push_back({"x-big-" + std::to_string(i), big});
  }
  promise.WriteBytes();
  ASSERT_EQ(wire.writes.size(), 1u);
  const TIdBytes& all = wire.writes[0];
  const auto frames = Split(all);
  ASSERT_GE(frames.size(), 3u);
  TIdBytes block;
  size_t pos = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(frames[i].type, i == 0 ? NGHTTP2_PUSH_PROMISE : NGHTTP2_CONTINUATION);
    EXPECT_EQ(frames[i].flags, i + 1 == frames.size() ? NGHTTP2_FLAG_END_HEADERS : 0);
    EXPECT_EQ(frames[i].stream, 1);
    EXPECT_LE(frames[i].length, 16384u);
    if (i + 1 < frames.size()) {
      EXPECT_EQ(frames[i].length, 16384u);
    }
    pos += 9;
    block.insert(block.end(), all.begin() + static_cast<std::ptrdiff_t>(pos),
                 all.begin() + static_cast<std::ptrdiff_t>(pos + frames[i].length));
    pos += frames[i].length;
  }
  EXPECT_EQ(pos, all.size());
  ASSERT_GE(block.size(), 4u);
  EXPECT_EQ(TIdBytes(block.begin(), block.begin() + 4), Hex("01020304"));
  peer::Inflater peerDecoder;
  EXPECT_EQ(peerDecoder.Inflate(TIdBytes(block.begin() + 4, block.end())), expected);
}

// Our writer's frames, HEADERS with a header list far beyond one frame
// included, go to an nghttp2 server, which must take them without error.
TEST(FramesInterop, Nghttp2ServerAcceptsOurFrames) {
  Frames client(Th2FrameRole::h2frClientWrite);
  Wire wire;
  TkfxHTTP2_Frame_Settings settings(client.role);
  TkfxHTTP2_Frame_Headers headers(&client.hpack, &client.counter, client.role);
  TkfxHTTP2_Frame_Data data(client.role);
  TkfxHTTP2_Frame_Ping ping(client.role);
  TkfxHTTP2_Frame_WindowUpdate update(client.role);
  TkfxHTTP2_Frame_RSTStream reset(client.role);
  TkfxHTTP2_Frame_GoAway away(client.role);
  for (TkfxHTTP2_Frame_Base* f : std::initializer_list<TkfxHTTP2_Frame_Base*>{
           &settings, &headers, &data, &ping, &update, &reset, &away})
    wire.Attach(*f);

  settings.InitialWindowSize = 1 << 20;
  settings.WriteBytes();
  // Request 1: a large header list (CONTINUATION) and a 100000-octet body.
  headers.Headers().Add(":method: POST");
  headers.Headers().Add(":scheme: https");
  headers.Headers().Add(":path: /3/device/abc");
  headers.Headers().Add(":authority: localhost");
  std::string big;
  for (int i = 0; i < 9000; ++i) big.push_back(static_cast<char>('a' + i * 7 % 26));
  for (int i = 0; i < 6; ++i) headers.Headers().Add("X-Large-" + std::to_string(i) + ": " + big + std::to_string(i));
  headers.WriteBytes();
  const int32_t first = headers.StreamIdentifier;
  std::string body(100000, 0);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31 % 251);
  TMemoryStream source;
  source.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
  data.SetStream(&source);
  data.StreamIdentifier = first;
  EXPECT_EQ(data.SendData(65535), 100000 - 65535);
  update.StreamIdentifier = 0;
  update.WindowSizeIncrement = 1000;
  update.WriteBytes();
  ping.PayLoad = Hex("0102030405060708");
  ping.WriteBytes();
  // Request 2, reset at once.
  headers.StreamIdentifier = 0;
  headers.EndStream = true;
  headers.Headers().Clear();
  for (const char* line : {":method: GET", ":scheme: https", ":path: /x", ":authority: localhost"})
    headers.Headers().Add(line);
  headers.WriteBytes();
  reset.StreamIdentifier = headers.StreamIdentifier;
  reset.ErrorCode = static_cast<int32_t>(EC::h2erCANCEL);
  reset.WriteBytes();

  peer::Session server(true);
  TIdBytes bytes(peer::kClientPreface.begin(), peer::kClientPreface.end());
  const TIdBytes ours = wire.All();
  bytes.insert(bytes.end(), ours.begin(), ours.end());
  ASSERT_EQ(server.Receive(bytes), static_cast<ssize_t>(bytes.size()));
  // The server's window for stream 1 is open again after its own updates.
  server.Send();
  EXPECT_EQ(data.SendData(65535), 0);
  away.LastStreamid = 0;
  away.AdditionalDebugData = "bye";
  away.WriteBytes();
  const TIdBytes all = wire.All();
  const TIdBytes rest(all.begin() + static_cast<std::ptrdiff_t>(ours.size()), all.end());
  ASSERT_EQ(server.Receive(rest), static_cast<ssize_t>(rest.size()));
  EXPECT_EQ(server.invalid, 0);

  ASSERT_EQ(server.headers[first].size(), 10u);
  EXPECT_EQ(server.headers[first][4].first, "x-large-0");
  EXPECT_EQ(server.headers[first][9].second, big + "5");
  EXPECT_EQ(server.bodies[first], body);
  EXPECT_EQ(server.closed.at(3), static_cast<uint32_t>(EC::h2erCANCEL));
  std::vector<uint8_t> types;
  for (const auto& f : server.frames) types.push_back(f.type);
  for (int type : {NGHTTP2_SETTINGS, NGHTTP2_HEADERS, NGHTTP2_DATA, NGHTTP2_PING, NGHTTP2_WINDOW_UPDATE,
                   NGHTTP2_RST_STREAM, NGHTTP2_GOAWAY})
    EXPECT_NE(std::find(types.begin(), types.end(), type), types.end()) << type;
  // The server answered our PING and sent no GOAWAY of its own.
  for (const auto& h : Split(server.Send())) EXPECT_NE(h.type, NGHTTP2_GOAWAY);
}

// Frames an nghttp2 server writes parse into our objects.
TEST(FramesInterop, Nghttp2FramesParseIntoOurObjects) {
  peer::Session server(true);
  nghttp2_settings_entry entries[] = {{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 100},
                                      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 70000},
                                      {NGHTTP2_SETTINGS_HEADER_TABLE_SIZE, 8192}};
  nghttp2_submit_settings(server.Get(), NGHTTP2_FLAG_NONE, entries, 3);
  // Our request opens stream 1 on the server.
  Frames client(Th2FrameRole::h2frClientWrite);
  TkfxHTTP2_Frame_Headers request(&client.hpack, &client.counter, client.role);
  Wire wire;
  wire.Attach(request);
  request.EndStream = true;
  for (const char* line : {":method: GET", ":scheme: https", ":path: /", ":authority: localhost"})
    request.Headers().Add(line);
  request.WriteBytes();
  TIdBytes in(peer::kClientPreface.begin(), peer::kClientPreface.end());
  const TIdBytes emptySettings = Hex("000000 04 00 00000000"), ours = wire.All();
  in.insert(in.end(), emptySettings.begin(), emptySettings.end());
  in.insert(in.end(), ours.begin(), ours.end());
  ASSERT_EQ(server.Receive(in), static_cast<ssize_t>(in.size()));

  const std::string large(20000, 'v');
  peer::Fields response = {{":status", "200"}, {"content-type", "text/plain"}, {"x-large", large}};
  auto nva = peer::ToNv(response);
  nghttp2_data_provider provider;
  static const std::string kBody = "hello body";
  provider.source.ptr = nullptr;
  provider.read_callback = [](nghttp2_session*, int32_t, uint8_t* buf, size_t, uint32_t* flags, nghttp2_data_source*,
                              void*) -> ssize_t {
    memcpy(buf, kBody.data(), kBody.size());
    *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(kBody.size());
  };
  peer::Fields pushed = {{":method", "GET"}, {":scheme", "https"}, {":path", "/style.css"}, {":authority", "localhost"}};
  auto pushNva = peer::ToNv(pushed);
  const int32_t promised = nghttp2_submit_push_promise(server.Get(), 0, 1, pushNva.data(), pushNva.size(), nullptr);
  ASSERT_EQ(promised, 2);
  ASSERT_EQ(nghttp2_submit_response(server.Get(), 1, nva.data(), nva.size(), &provider), 0);
  const uint8_t opaque[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  nghttp2_submit_ping(server.Get(), 0, opaque);
  nghttp2_submit_window_update(server.Get(), 0, 0, 12345);
  nghttp2_submit_rst_stream(server.Get(), 0, 2, NGHTTP2_REFUSED_STREAM);
  const std::string debug = "going away";
  nghttp2_submit_goaway(server.Get(), 0, 1, NGHTTP2_ENHANCE_YOUR_CALM, reinterpret_cast<const uint8_t*>(debug.data()),
                        debug.size());
  const TIdBytes out = server.Send();

  Frames reader(Th2FrameRole::h2frClientRead);
  TIdBytes block;
  std::vector<std::string> seen;
  int32_t blockStream = 0;
  bool blockIsPromise = false;
  size_t pos = 0;
  for (const auto& h : Split(out)) {
    const std::span<const uint8_t> payload(out.data() + pos + 9, h.length);
    pos += 9 + h.length;
    const FT type = static_cast<FT>(h.type);
    auto frame = reader.Make(type);
    frame->ReadFlags(h.flags);
    frame->StreamIdentifier = h.stream;
    if ((type == FT::h2ftHEADERS || type == FT::h2ftPUSH_PROMISE) && !(h.flags & h2flags::END_HEADERS)) {
      block.assign(payload.begin(), payload.end());
      blockStream = h.stream;
      blockIsPromise = type == FT::h2ftPUSH_PROMISE;
      continue;
    }
    if (type == FT::h2ftCONTINUATION) {
      EXPECT_EQ(h.stream, blockStream);
      block.insert(block.end(), payload.begin(), payload.end());
      if (!(h.flags & h2flags::END_HEADERS)) continue;
      frame = reader.Make(blockIsPromise ? FT::h2ftPUSH_PROMISE : FT::h2ftHEADERS);
      frame->ReadFlags(h2flags::END_HEADERS);
      frame->StreamIdentifier = blockStream;
      frame->ReadPayload(block);
    } else {
      frame->ReadPayload(payload);
    }
    seen.push_back(std::to_string(static_cast<int>(frame->FrameType())) + "@" + std::to_string(frame->StreamIdentifier));
    if (auto* s = dynamic_cast<TkfxHTTP2_Frame_Settings*>(frame.get()); s && !s->ACK) {
      EXPECT_EQ(s->MaxConcurrentStreams, 100);
      EXPECT_EQ(s->InitialWindowSize, 70000);
      EXPECT_EQ(s->HeaderTableSize, 8192);
    } else if (auto* p = dynamic_cast<TkfxHTTP2_Frame_PushPromise*>(frame.get())) {
      EXPECT_EQ(p->PromisedStreamid, 2);
      EXPECT_EQ(p->URL(), "/style.css");
    } else if (auto* r = dynamic_cast<TkfxHTTP2_Frame_Headers*>(frame.get())) {
      EXPECT_EQ(r->Headers().Lines(), (Lines{":status=200", "content-type=text/plain", "x-large=" + large}));
    } else if (auto* d = dynamic_cast<TkfxHTTP2_Frame_Data*>(frame.get())) {
      EXPECT_EQ(d->DataString(), kBody);
      EXPECT_TRUE(d->EndStream);
    } else if (auto* g = dynamic_cast<TkfxHTTP2_Frame_Ping*>(frame.get())) {
      EXPECT_EQ(g->PayLoad, TIdBytes(opaque, opaque + 8));
    } else if (auto* w = dynamic_cast<TkfxHTTP2_Frame_WindowUpdate*>(frame.get())) {
      EXPECT_EQ(w->WindowSizeIncrement, 12345);
    } else if (auto* x = dynamic_cast<TkfxHTTP2_Frame_RSTStream*>(frame.get())) {
      EXPECT_EQ(x->ErrorCode, NGHTTP2_REFUSED_STREAM);
    } else if (auto* a = dynamic_cast<TkfxHTTP2_Frame_GoAway*>(frame.get())) {
      EXPECT_EQ(a->LastStreamid, 1);
      EXPECT_EQ(a->ErrorCode, NGHTTP2_ENHANCE_YOUR_CALM);
      EXPECT_EQ(a->AdditionalDebugData, debug);
    }
  }
  for (const char* expected : {"4@0", "5@1", "1@1", "0@1", "6@0", "8@0", "3@2", "7@0"})
    EXPECT_NE(std::find(seen.begin(), seen.end(), expected), seen.end()) << expected;
}

}  // namespace
