#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "http2/client/kfxHTTP2_Client_Connection.h"
#include "http2/client/kfxHTTP2_Client_Properties.h"
#include "http2/core/kfxHTTP2_Frame_Streams.h"

namespace {

TIdBytes AsBytes(const std::string& aText) { return TIdBytes(aText.begin(), aText.end()); }

// aText compressed by zlib: windowBits 15 zlib-wrapped, -15 raw deflate, 31 gzip.
TIdBytes Compress(const TIdBytes& aData, int aWindowBits) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, Z_BEST_COMPRESSION, Z_DEFLATED, aWindowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  TIdBytes out(deflateBound(&s, aData.size()) + 32);
  s.next_in = const_cast<Bytef*>(aData.data());
  s.avail_in = static_cast<uInt>(aData.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

TIdBytes Text(size_t aSize, uint32_t aSeed) {
  // Words from a small vocabulary: compressible, but not trivially.
  static const char* words[] = {"alert", "badge", "sound", "topic", "device", "token", "apns", "push", "\r\n"};
  std::mt19937 random(aSeed);
  std::string text;
  while (text.size() < aSize) text += std::string(words[random() % 9]) + ' ';
  text.resize(aSize);
  return AsBytes(text);
}

// A finished stream record as the reading frame handler leaves it: the
// connection's request copy as its user data, the answer's HEADERS, its
// gathered DATA and, for a pushed answer, the PUSH_PROMISE. Frames carry
// stream 0, which the record files without state checks.
struct TStreamFixture {
  TkfxHTTP2ConnectionClient::TStreamData data;
  TkfxHTTP2_StreamResponses streams;
  TkfxHTTP2_StreamResponse* stream = nullptr;

  explicit TStreamFixture(const std::vector<std::string>& aHeaders, const TIdBytes* aBody = nullptr,
                          const std::vector<std::string>& aPromise = {}) {
    TkfxHTTP2Request request;
    request.Method = Th2Methods::h2mePost;
    request.URL = "https://localhost:8443/3/device/abc";
    request.ID = "QUEUED1";
    request.CustomHeaders.Add("apns-topic: com.example");
    data.Request = TkfxHTTP2RequestCopy(request);
    stream = streams.AddRequest(aPromise.empty() ? 1 : 2, request.Method, &data);
    if (!aPromise.empty()) {
      auto promise = std::make_shared<TkfxHTTP2_Frame_PushPromise>(nullptr, nullptr, Th2FrameRole::h2frClientRead);
      for (const auto& line : aPromise) promise->Headers().Add(line);
      stream->AddFrame(Th2FrameType::h2ftPUSH_PROMISE, promise);
    }
    auto headers = std::make_shared<TkfxHTTP2_Frame_Headers>(nullptr, nullptr, Th2FrameRole::h2frClientRead);
    for (const auto& line : aHeaders) headers->Headers().Add(line);
    headers->EndHeaders = true;
    stream->AddFrame(Th2FrameType::h2ftHEADERS, headers);
    if (aBody) {
      auto data = std::make_shared<TkfxHTTP2_Frame_Data>(Th2FrameRole::h2frClientRead);
      data->Data = *aBody;
      data->EndStream = true;
      stream->AddFrame(Th2FrameType::h2ftDATA, data);
    }
  }
};

TIdBytes DataOf(const TkfxHTTP2ResponseProperty& aResponse) {
  return aResponse.Data() ? aResponse.Data()->Bytes() : TIdBytes();
}

TEST(HTTP2ResponseProperties, ContentEncodings) {
  const TIdBytes plain = Text(200000, 7);
  struct Case {
    const char* name;
    std::string encoding;
    TIdBytes body;
    TIdBytes expected;
  };
  TIdBytes twoMembers = Compress(AsBytes("first half, "), 31);
  const TIdBytes second = Compress(AsBytes("second half"), 31);
  twoMembers.insert(twoMembers.end(), second.begin(), second.end());
  const TIdBytes brotliLike = Compress(plain, 31);
  // Raw deflate whose first two octets pass as a zlib header (08 1D): a
  // stored block of 29 octets, then an empty final block.
  const std::string stored = "twenty-nine octets, stored!!!";
  TIdBytes rawLikeZlib = {0x08, 29, 0, 0xE2, 0xFF};
  rawLikeZlib.insert(rawLikeZlib.end(), stored.begin(), stored.end());
  rawLikeZlib.insert(rawLikeZlib.end(), {0x03, 0x00});
  const Case cases[] = {
      {"gzip", "gzip", Compress(plain, 31), plain},
      {"zlib-wrapped deflate", "deflate", Compress(plain, 15), plain},
      {"raw deflate", "deflate", Compress(plain, -15), plain},
      {"raw deflate that starts like zlib", "deflate", rawLikeZlib, AsBytes(stored)},
      {"gzip members in a row", "gzip", twoMembers, AsBytes("first half, second half")},
      {"empty gzip body", "gzip", {}, {}},
      // Not supported, or not an exact match: the octets as received.
      {"br", "br", brotliLike, brotliLike},
      {"upper-case GZIP", "GZIP", brotliLike, brotliLike},
      {"identity", "identity", plain, plain},
      {"no content-encoding", "", plain, plain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> headers = {":status=200", "content-type=text/plain"};
    if (!c.encoding.empty()) headers.push_back("content-encoding=" + c.encoding);
    TStreamFixture fixture(headers, &c.body);
    TkfxHTTP2RequestProperty request;
    TkfxHTTP2ResponseProperty response;
    BuildHTTP2ResponseProperties(*fixture.stream, request, response);
    ASSERT_NE(response.Data(), nullptr);
    EXPECT_EQ(response.Data()->Position(), 0);
    EXPECT_EQ(DataOf(response), c.expected);
    // The raw octets are left in the stream record.
    EXPECT_EQ(fixture.stream->Frame_Data()->Data, c.body);
  }
}

TEST(HTTP2ResponseProperties, BadCompressedBodiesAreErrorsNotData) {
  const TIdBytes plain = Text(100000, 3);
  const TIdBytes gzip = Compress(plain, 31), zlib = Compress(plain, 15), raw = Compress(plain, -15);
  auto cut = [](TIdBytes b, size_t n) { return b.resize(b.size() - n), b; };
  auto append = [](TIdBytes b, const std::string& s) { return b.insert(b.end(), s.begin(), s.end()), b; };
  TIdBytes flipped = zlib;
  flipped[flipped.size() / 2] ^= 0x55;
  TIdBytes badCheck = gzip;
  badCheck[badCheck.size() - 6] ^= 1;  // CRC-32 of the member
  struct Case {
    const char* name;
    const char* encoding;
    TIdBytes body;
    size_t limit;
    std::string message;
  };
  const std::string gz = "The gzip answer body cannot be inflated: ";
  const std::string df = "The deflate answer body cannot be inflated: ";
  const Case cases[] = {
      {"gzip cut short", "gzip", cut(gzip, 20), 0, gz + "the compressed data ends too early."},
      {"gzip without its trailer", "gzip", cut(gzip, 8), 0, gz + "the compressed data ends too early."},
      {"zlib cut short", "deflate", cut(zlib, 30), 0, df + "the compressed data ends too early."},
      {"raw deflate cut short", "deflate", cut(raw, 30), 0, df + "the compressed data ends too early."},
      {"gzip with trailing garbage", "gzip", append(gzip, "garbage"), 0,
       gz + "data follows the end of the compressed stream."},
      {"gzip with a trailing zero", "gzip", append(gzip, std::string(1, '\0')), 0,
       gz + "data follows the end of the compressed stream."},
      {"zlib with trailing garbage", "deflate", append(zlib, "xx"), 0,
       df + "data follows the end of the compressed stream."},
      {"gzip with a wrong checksum", "gzip", badCheck, 0, gz + "incorrect data check."},
      {"plain text marked gzip", "gzip", plain, 0, gz + "incorrect header check."},
      {"corrupted zlib stream", "deflate", flipped, 0, ""},
      {"over the limit", "gzip", gzip, plain.size() - 1,
       gz + "it exceeds the limit of " + std::to_string(plain.size() - 1) + " octets."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TStreamFixture fixture({":status=200", std::string("content-encoding=") + c.encoding}, &c.body);
    TkfxHTTP2RequestProperty request;
    TkfxHTTP2ResponseProperty response;
    try {
      BuildHTTP2ResponseProperties(*fixture.stream, request, response, c.limit);
      ADD_FAILURE() << "inflated to " << DataOf(response).size() << " octets";
    } catch (const EZDecompressionError& e) {
      if (!c.message.empty())
        EXPECT_EQ(e.Message(), c.message);
      else
        EXPECT_EQ(e.Message().rfind(df, 0), 0u) << e.Message();
    }
    EXPECT_EQ(response.Data(), nullptr);
  }
  // Exactly at the limit is fine.
  TIdBytes out;
  DecodeHTTP2Content(gzip.data(), gzip.size(), "gzip", out, plain.size());
  EXPECT_EQ(out, plain);
}

TEST(HTTP2ResponseProperties, TheProcessWideLimitBoundsABomb) {
  // 64 MiB of zeros compress to about 64 KiB; with the limit lowered the
  // inflater stops at the limit instead of filling memory.
  const TIdBytes bomb = Compress(TIdBytes(64u << 20, 0), 31);
  ASSERT_LT(bomb.size(), 100000u);
  EXPECT_EQ(HTTP2InflateLimit(), h2DefaultInflateLimit);
  SetHTTP2InflateLimit(1 << 20);
  TIdBytes out;
  EXPECT_THROW(DecodeHTTP2Content(bomb.data(), bomb.size(), "gzip", out), EZDecompressionError);
  EXPECT_LE(out.size(), 1u << 20);
  SetHTTP2InflateLimit(0);
  EXPECT_EQ(HTTP2InflateLimit(), h2DefaultInflateLimit);
  DecodeHTTP2Content(bomb.data(), bomb.size(), "gzip", out);
  EXPECT_EQ(out.size(), 64u << 20);
}

TEST(HTTP2ResponseProperties, RequestHeadersStatusAndCharset) {
  const TIdBytes body = AsBytes("{\"reason\":\"BadDeviceToken\"}");
  TStreamFixture fixture({":status=400", "content-type=application/json; charset=\"UTF-8\"", "apns-id=42=x"}, &body);
  TkfxHTTP2RequestProperty request;
  TkfxHTTP2ResponseProperty response;
  BuildHTTP2ResponseProperties(*fixture.stream, request, response);
  EXPECT_EQ(request.Method(), Th2Methods::h2mePost);
  EXPECT_EQ(request.URL(), "https://localhost:8443/3/device/abc");
  EXPECT_EQ(request.Request().ID, "QUEUED1");
  EXPECT_EQ(request.Request().CustomHeaders.Text(), "apns-topic: com.example\r\n");
  EXPECT_EQ(response.Headers().Text(),
            ":status=400\r\ncontent-type=application/json; charset=\"UTF-8\"\r\napns-id=42=x\r\n");
  EXPECT_EQ(response.Status(), 400);
  EXPECT_EQ(response.Charset(), "UTF-8");
  EXPECT_EQ(response.PushPromise().Count(), 0);
  EXPECT_EQ(response.DataUTF8(), "{\"reason\":\"BadDeviceToken\"}");

  // Status and charset from header lines.
  struct Case {
    std::vector<std::string> lines;
    int status;
    std::string charset;
  };
  const Case cases[] = {
      {{":status=200", "content-type=text/html;charset=iso-8859-1"}, 200, "iso-8859-1"},
      {{":status=204", "content-type=text/plain; format=flowed; CharSet='windows-1252' "}, 204, "windows-1252"},
      {{"content-type=text/plain"}, 0, ""},
      {{":status=abc", "content-type=text/plain; xcharset=utf-8"}, 0, ""},
      {{":status=", "content-type=charset=utf-8"}, 0, ""},
      {{":status=99999999999999"}, 0, ""},
  };
  for (const Case& c : cases) {
    TStreamFixture f(c.lines);
    TkfxHTTP2RequestProperty rq;
    TkfxHTTP2ResponseProperty rs;
    BuildHTTP2ResponseProperties(*f.stream, rq, rs);
    EXPECT_EQ(rs.Status(), c.status) << c.lines[0];
    EXPECT_EQ(rs.Charset(), c.charset) << c.lines.back();
    // No DATA: no body, and empty texts.
    EXPECT_EQ(rs.Data(), nullptr);
    EXPECT_EQ(rs.DataString(), "");
    EXPECT_EQ(rs.DataUTF8(), "");
  }
  TkfxHTTP2ResponseProperty empty;
  EXPECT_EQ(empty.Status(), 0);
  EXPECT_EQ(empty.Charset(), "");
}

TEST(HTTP2ResponseProperties, DataStringIsTheAnsiReadingAndDataUTF8TheText) {
  // "café €5 “ok”" in UTF-8.
  const std::string utf8 = "caf\xC3\xA9 \xE2\x82\xAC" "5 \xE2\x80\x9Cok\xE2\x80\x9D";
  const TIdBytes body = AsBytes(utf8);
  TStreamFixture fixture({":status=200", "content-type=text/plain; charset=utf-8"}, &body);
  TkfxHTTP2RequestProperty request;
  TkfxHTTP2ResponseProperty response;
  BuildHTTP2ResponseProperties(*fixture.stream, request, response);
  EXPECT_EQ(response.DataUTF8(), utf8);
  // Each octet one Windows-1252 character: C3 A9 -> "Ã©", E2 82 AC -> "â‚¬",
  // E2 80 9C -> "â€œ", E2 80 9D -> "â€\x9D" (0x9D is unassigned: U+009D).
  EXPECT_EQ(response.DataString(),
            "caf\xC3\x83\xC2\xA9 \xC3\xA2\xE2\x80\x9A\xC2\xAC" "5 \xC3\xA2\xE2\x82\xAC\xC5\x93ok\xC3\xA2\xE2\x82\xAC\xC2\x9D");
  // A body that is not UTF-8 at all: every octet shows in DataString,
  // DataUTF8 marks what it cannot read.
  const TIdBytes latin = {'n', 0xE4, 'h', 0x80, 0xFF};
  TStreamFixture other({":status=200"}, &latin);
  TkfxHTTP2ResponseProperty response2;
  BuildHTTP2ResponseProperties(*other.stream, request, response2);
  EXPECT_EQ(response2.DataString(), "n\xC3\xA4h\xE2\x82\xAC\xC3\xBF");
  EXPECT_EQ(response2.DataUTF8(), "n\xEF\xBF\xBDh\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(HTTP2ResponseProperties, PushedAnswer) {
  const TIdBytes css = AsBytes("body{}");
  TStreamFixture fixture({":status=200", "content-type=text/css"}, &css,
                         {":method=GET", ":scheme=https", ":path=/style.css", ":authority=localhost"});
  TkfxHTTP2RequestProperty request;
  TkfxHTTP2ResponseProperty response;
  BuildHTTP2ResponseProperties(*fixture.stream, request, response);
  EXPECT_EQ(request.URL(), "/style.css");
  EXPECT_EQ(request.Method(), Th2Methods::h2meGet);
  // The request copy is still the one the stream holds.
  EXPECT_EQ(request.Request().URL, "https://localhost:8443/3/device/abc");
  EXPECT_EQ(response.PushPromise().Text(),
            ":method=GET\r\n:scheme=https\r\n:path=/style.css\r\n:authority=localhost\r\n");
  EXPECT_EQ(response.Status(), 200);
  EXPECT_EQ(response.DataUTF8(), "body{}");

  // A fragment of a pushed stream names the stream's own request, not the promise.
  TkfxHTTP2RequestProperty fragmentRequest;
  TkfxHTTP2ResponseFragmentProperty fragment;
  BuildHTTP2FragmentProperties(*fixture.stream, AsBytes("bo"), fragmentRequest, fragment);
  EXPECT_EQ(fragmentRequest.URL(), "https://localhost:8443/3/device/abc");
  EXPECT_EQ(fragmentRequest.Method(), Th2Methods::h2mePost);
  EXPECT_EQ(fragment.Data, AsBytes("bo"));
}

TEST(HTTP2ResponseProperties, FragmentTextFollowsItsByteOrderMark) {
  struct Case {
    const char* name;
    TIdBytes bytes;
    std::string text;
  };
  const Case cases[] = {
      {"UTF-8 BOM", {0xEF, 0xBB, 0xBF, 'h', 0xC3, 0xA9}, "h\xC3\xA9"},
      {"UTF-16LE BOM", {0xFF, 0xFE, 'h', 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE}, "h\xC3\xA9\xF0\x9F\x98\x80"},
      {"UTF-16BE BOM", {0xFE, 0xFF, 0, 'h', 0x20, 0xAC}, "h\xE2\x82\xAC"},
      {"UTF-16LE with a lone surrogate and an odd octet", {0xFF, 0xFE, 0x00, 0xDC, 'x'}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"no BOM: ANSI", {'h', 0xC3, 0xA9, 0x80}, "h\xC3\x83\xC2\xA9\xE2\x82\xAC"},
      {"empty", {}, ""},
  };
  for (const Case& c : cases) {
    TkfxHTTP2ResponseFragmentProperty fragment;
    fragment.Data = c.bytes;
    EXPECT_EQ(fragment.DataString(), c.text) << c.name;
  }
}

TEST(HTTP2CharsetText, Table) {
  const TIdBytes utf8 = AsBytes("\xC3\xA9\xE2\x82\xAC");  // "é€"
  const TIdBytes high = {'a', 0x80, 0xA4, 0xE9};
  const TIdBytes utf16le = {0xE9, 0x00, 0xAC, 0x20};
  const TIdBytes utf16be = {0x00, 0xE9, 0x20, 0xAC};
  struct Case {
    std::string charset;
    TIdBytes bytes;
    std::string text;
  };
  const std::string eEuro = "\xC3\xA9\xE2\x82\xAC";
  const Case cases[] = {
      {"utf-8", utf8, eEuro},
      {" UTF8 ", utf8, eEuro},
      {"utf-8", {0xEF, 0xBB, 0xBF, 'x'}, "x"},
      {"utf-8", {'x', 0xFF}, "x\xEF\xBF\xBD"},
      {"utf-16", utf16le, eEuro},
      {"UTF-16LE", utf16le, eEuro},
      {"utf-16be", utf16be, eEuro},
      {"utf-16", {0xFE, 0xFF, 0x00, 0xE9, 0x20, 0xAC}, eEuro},
      // A byte-order mark wins over the label.
      {"utf-16le", {0xFE, 0xFF, 0x00, 0xE9}, "\xC3\xA9"},
      {"utf-16be", {0xFF, 0xFE, 0xE9, 0x00}, "\xC3\xA9"},
      {"iso-8859-1", high, "a\xC2\x80\xC2\xA4\xC3\xA9"},
      {"Latin1", high, "a\xC2\x80\xC2\xA4\xC3\xA9"},
      {"iso-8859-15", high, "a\xC2\x80\xE2\x82\xAC\xC3\xA9"},
      {"windows-1252", high, "a\xE2\x82\xAC\xC2\xA4\xC3\xA9"},
      {"us-ascii", high, "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      // Unknown or none: one character per octet.
      {"", high, "a\xC2\x80\xC2\xA4\xC3\xA9"},
      {"x-klingon", high, "a\xC2\x80\xC2\xA4\xC3\xA9"},
      {"", {}, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DecodeCharsetText(c.bytes.data(), c.bytes.size(), c.charset), c.text) << "charset " << c.charset;
}

}  // namespace
