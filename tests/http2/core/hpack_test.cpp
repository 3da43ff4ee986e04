#include <gtest/gtest.h>

#include <random>

#include "http2/core/kfxHTTP2_Classes.h"
#include "http2/core/kfxHTTP2_HPACK.h"
#include "tests/http2/core/nghttp2_peer.h"

namespace {

using peer::Field;
using peer::Fields;
using peer::Hex;
using Lines = std::vector<std::string>;

Lines Decode(TkfxHTTP2_HPACK& aCodec, const std::vector<uint8_t>& aBlock) {
  TStringList headers;
  aCodec.Decode(aBlock, 0, static_cast<int>(aBlock.size()), headers);
  return headers.Lines();
}

std::vector<uint8_t> Encode(TkfxHTTP2_HPACK& aCodec, const std::vector<TkfxHTTP2_TableEntry>& aFields) {
  TIdBytes out;
  int used = 0, count = 0;
  aCodec.Encode(out, 0, aFields, used, count);
  EXPECT_EQ(used, static_cast<int>(out.size()));
  EXPECT_EQ(count, static_cast<int>(aFields.size()));
  return out;
}

std::vector<TkfxHTTP2_TableEntry> Entries(const Lines& aLines) {
  std::vector<TkfxHTTP2_TableEntry> out;
  for (const auto& line : aLines) {
    const size_t eq = line.find('=', 1);
    out.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return out;
}

// The examples of RFC 7541 Appendix C: each sequence of blocks runs on one
// context; every block decodes to its list and table size and our encoder
// produces exactly its octets. C.4 and C.6 code every literal with Huffman,
// even where it saves nothing, so our encoder runs with h2huAlways there.
struct Block {
  const char* hex;
  Lines headers;
  int tableSize;
};
struct Example {
  const char* name;
  int32_t tableMax;
  TkfxHPackHuffmanStrategy strategy;
  bool encode;  // our indexing policy produces these octets
  std::vector<Block> blocks;
};

const Lines kReq1 = {":method=GET", ":scheme=http", ":path=/", ":authority=www.example.com"};
const Lines kReq2 = {":method=GET", ":scheme=http", ":path=/", ":authority=www.example.com",
                     "cache-control=no-cache"};
const Lines kReq3 = {":method=GET", ":scheme=https", ":path=/index.html", ":authority=www.example.com",
                     "custom-key=custom-value"};
const Lines kResp1 = {":status=302", "cache-control=private", "date=Mon, 21 Oct 2013 20:13:21 GMT",
                      "location=https://www.example.com"};
const Lines kResp2 = {":status=307", "cache-control=private", "date=Mon, 21 Oct 2013 20:13:21 GMT",
                      "location=https://www.example.com"};
const Lines kResp3 = {":status=200", "cache-control=private", "date=Mon, 21 Oct 2013 20:13:22 GMT",
                      "location=https://www.example.com", "content-encoding=gzip",
                      "set-cookie=foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1"};

const std::vector<Example> kExamples = {
    {"C.2.1", 4096, TkfxHPackHuffmanStrategy::h2huNever, true,
     {{"400a 6375 7374 6f6d 2d6b 6579 0d63 7573 746f 6d2d 6865 6164 6572", {"custom-key=custom-header"}, 55}}},
    {"C.2.2", 4096, TkfxHPackHuffmanStrategy::h2huNever, false,
     {{"040c 2f73 616d 706c 652f 7061 7468", {":path=/sample/path"}, 0}}},
    {"C.2.4", 4096, TkfxHPackHuffmanStrategy::h2huNever, true, {{"82", {":method=GET"}, 0}}},
    {"C.3", 4096, TkfxHPackHuffmanStrategy::h2huNever, true,
     {{"8286 8441 0f77 7777 2e65 7861 6d70 6c65 2e63 6f6d", kReq1, 57},
      {"8286 84be 5808 6e6f 2d63 6163 6865", kReq2, 110},
      {"8287 85bf 400a 6375 7374 6f6d 2d6b 6579 0c63 7573 746f 6d2d 7661 6c75 65", kReq3, 164}}},
    {"C.4", 4096, TkfxHPackHuffmanStrategy::h2huAlways, true,
     {{"8286 8441 8cf1 e3c2 e5f2 3a6b a0ab 90f4 ff", kReq1, 57},
      {"8286 84be 5886 a8eb 1064 9cbf", kReq2, 110},
      {"8287 85bf 4088 25a8 49e9 5ba9 7d7f 8925 a849 e95b b8e8 b4bf", kReq3, 164}}},
    {"C.5", 256, TkfxHPackHuffmanStrategy::h2huNever, true,
     {{"4803 3330 3258 0770 7269 7661 7465 611d 4d6f 6e2c 2032 3120 4f63 7420 3230 3133 2032 303a "
       "3133 3a32 3120 474d 546e 1768 7474 7073 3a2f 2f77 7777 2e65 7861 6d70 6c65 2e63 6f6d",
       kResp1, 222},
      {"4803 3330 37c1 c0bf", kResp2, 222},
      {"88c1 611d 4d6f 6e2c 2032 3120 4f63 7420 3230 3133 2032 303a 3133 3a32 3220 474d 54c0 5a04 "
       "677a 6970 7738 666f 6f3d 4153 444a 4b48 514b 425a 584f 5157 454f 5049 5541 5851 5745 4f49 "
       "553b 206d 6178 2d61 6765 3d33 3630 303b 2076 6572 7369 6f6e 3d31",
       kResp3, 215}}},
    {"C.6", 256, TkfxHPackHuffmanStrategy::h2huAlways, true,
     {{"4882 6402 5885 aec3 771a 4b61 96d0 7abe 9410 54d4 44a8 2005 9504 0b81 66e0 82a6 2d1b ff6e "
       "919d 29ad 1718 63c7 8f0b 97c8 e9ae 82ae 43d3",
       kResp1, 222},
      {"4883 640e ffc1 c0bf", kResp2, 222},
      {"88c1 6196 d07a be94 1054 d444 a820 0595 040b 8166 e084 a62d 1bff c05a 839b d9ab 77ad 94e7 "
       "821d d7f2 e6c7 b335 dfdf cd5b 3960 d5af 2708 7f36 72c1 ab27 0fb5 291f 9587 3160 65c0 03ed "
       "4ee5 b106 3d50 07",
       kResp3, 215}}},
};

TEST(HPACK, RFC7541ExamplesDecodeAndEncode) {
  for (const Example& example : kExamples) {
    SCOPED_TRACE(example.name);
    TkfxHTTP2_HPACK decoder, encoder;
    decoder.HeaderTable().SetMaxDynamicTableSize(example.tableMax);
    encoder.HeaderTable().SetMaxDynamicTableSize(example.tableMax);
    encoder.SetHuffmanStrategy(example.strategy);
    for (const Block& block : example.blocks) {
      EXPECT_EQ(Decode(decoder, Hex(block.hex)), block.headers);
      EXPECT_EQ(decoder.DynamicTableUsedSize(), block.tableSize);
      if (!example.encode) continue;
      EXPECT_EQ(Encode(encoder, Entries(block.headers)), Hex(block.hex));
      EXPECT_EQ(encoder.DynamicTableUsedSize(), block.tableSize);
    }
  }
  // C.2.3: a never-indexed literal is decoded and kept out of the table; the
  // encoder writes a sensitive field the same way.
  TkfxHTTP2_HPACK codec;
  const auto neverIndexed = Hex("1008 7061 7373 776f 7264 0673 6563 7265 74");
  EXPECT_EQ(Decode(codec, neverIndexed), Lines{"password=secret"});
  EXPECT_EQ(codec.DynamicTableLength(), 0);
  codec.SetHuffmanStrategy(TkfxHPackHuffmanStrategy::h2huNever);
  EXPECT_EQ(Encode(codec, {TkfxHTTP2_TableEntry("password", "secret", true)}), neverIndexed);
  EXPECT_EQ(codec.DynamicTableLength(), 0);
}

TEST(HPACK, EncoderRepresentations) {
  TkfxHTTP2_HPACK codec;
  EXPECT_EQ(Encode(codec, {{":method", "GET"}}), Hex("82"));

  // A value in neither table: literal with incremental indexing on the
  // static name, added at 62; sent again it is the one indexed octet.
  auto path = Encode(codec, {{":path", "/3/device/abc"}});
  EXPECT_EQ(path.at(0), 0x44);
  EXPECT_EQ(codec.HeaderTable().GetItem(62)->Value, "/3/device/abc");
  EXPECT_EQ(Encode(codec, {{"apns-topic", "com.example.app"}}).at(0), 0x40);
  EXPECT_EQ(Encode(codec, {{"apns-topic", "com.example.app"}}), Hex("be"));

  // Huffman only when strictly shorter: "&*" codes to exactly two octets.
  codec.SetHuffmanStrategy(TkfxHPackHuffmanStrategy::h2huIfSmaller);
  TIdBytes out;
  codec.EncodeString(out, "&*");
  EXPECT_EQ(out, Hex("02 262a"));
  out.clear();
  codec.SetHuffmanStrategy(TkfxHPackHuffmanStrategy::h2huAlways);
  codec.EncodeString(out, "&*");
  EXPECT_EQ(out, Hex("82 f8f9"));

  // Sensitive fields are never indexed: new names as a literal after 0x10,
  // known names by a 4-bit index with flag bits 0x10.
  codec.SetHuffmanStrategy(TkfxHPackHuffmanStrategy::h2huNever);
  const int before = codec.DynamicTableLength();
  EXPECT_EQ(Encode(codec, {TkfxHTTP2_TableEntry("x-secret", "v", true)}), Hex("10 0878 2d73 6563 7265 74 0176"));
  EXPECT_EQ(Encode(codec, {TkfxHTTP2_TableEntry("authorization", "v", true)}), Hex("1f08 0176"));
  EXPECT_EQ(codec.DynamicTableLength(), before);

  // Prefixed integers of RFC 7541 C.1.
  out.clear();
  TkfxHTTP2_HPACK::EncodeInteger(out, 0x20, 5, 10);
  TkfxHTTP2_HPACK::EncodeInteger(out, 0x20, 5, 1337);
  TkfxHTTP2_HPACK::EncodeInteger(out, 0x00, 7, 42);
  EXPECT_EQ(out, Hex("2a 3f9a0a 2a"));
}

TEST(HPACK, TableSizeUpdatesAndEviction) {
  // A size update decodes its prefixed integer (1337 = 1F 9A 0A with five bits).
  TkfxHTTP2_HPACK decoder;
  EXPECT_EQ(Decode(decoder, Hex("3f9a0a 82")), Lines{":method=GET"});
  EXPECT_EQ(decoder.DynamicTableSize(), 1337);

  // The encoder announces the smallest size set since the last block, then
  // the final one, and uses the smaller table at once.
  TkfxHTTP2_HPACK encoder;
  encoder.SetHuffmanStrategy(TkfxHPackHuffmanStrategy::h2huNever);
  Encode(encoder, {{"x-a", "1"}, {"x-b", "2"}});
  EXPECT_EQ(encoder.DynamicTableLength(), 2);
  encoder.SetDynamicTableSize(0);
  EXPECT_EQ(encoder.DynamicTableLength(), 0);
  encoder.SetDynamicTableSize(100);
  auto block = Encode(encoder, {{"x-a", "1"}});
  EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 3), Hex("20 3f45"));
  EXPECT_EQ(Encode(encoder, {{"x-a", "1"}}), Hex("be"));  // no update the second time

  // Evicting: the oldest entries go first, sizes are 32 + name + value.
  TkfxHTTP2_DynamicTable table;
  table.SetMaxTableSize(100);
  table.AddItem("a", std::string(10, 'x'));  // 43
  table.AddItem("b", std::string(10, 'y'));  // 43
  table.AddItem("c", std::string(10, 'z'));  // 43: evicts "a"
  EXPECT_EQ(table.Count(), 2);
  EXPECT_EQ(table.GetItem(0)->Name, "c");
  EXPECT_EQ(table.GetItem(1)->Name, "b");
  EXPECT_EQ(table.UsedSize(), 86);
  table.SetMaxTableSize(50);
  EXPECT_EQ(table.Count(), 1);
  EXPECT_TRUE(table.DeleteItem(0));
  EXPECT_FALSE(table.DeleteItem(0));
  EXPECT_EQ(table.UsedSize(), 0);

  // A new field named by the only entry of a full table evicts that entry
  // to make room: the name it took from there must survive, in the list and
  // in the table. (Size update to 50, "x-name: v1" indexed, then name 62
  // with "v22", 41 octets.)
  for (bool blockWise : {true, false}) {
    SCOPED_TRACE(blockWise);
    TkfxHTTP2_HPACK small;
    const auto fields = Hex("3f13 40 06 782d6e616d65 02 7631 7e 03 763232");
    Lines got;
    if (blockWise) {
      got = Decode(small, fields);
    } else {
      for (int pos = 0; pos < static_cast<int>(fields.size());) {
        pos += small.Decode(fields, pos);
        if (small.DecoderIdle() && !small.DecoderHeaderField().Name.empty()) {
          got.push_back(small.DecoderHeaderField().Name + "=" + small.DecoderHeaderField().Value);
          small.DecoderHeaderField().Name.clear();
        }
      }
    }
    EXPECT_EQ(got, (Lines{"x-name=v1", "x-name=v22"}));
    ASSERT_EQ(small.DynamicTableLength(), 1);
    EXPECT_EQ(small.HeaderTable().GetItem(62)->Name, "x-name");
    EXPECT_EQ(small.HeaderTable().GetItem(62)->Value, "v22");
  }

  // An entry larger than the table empties it; with a zero-size table
  // nothing is added (the peer's table stays empty too).
  TkfxHTTP2_DynamicTable big;
  big.AddItem("a", "b");
  try {
    big.AddItem("n", std::string(4096 - 32, 'v'));  // 4097
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Header Field greater than MaxTableSize");
  }
  EXPECT_EQ(big.Count(), 0);
  EXPECT_EQ(big.UsedSize(), 0);
  big.SetMaxTableSize(0);
  big.AddItem("a", "b");
  EXPECT_EQ(big.Count(), 0);
  EXPECT_EQ(big.UsedSize(), 0);
}

TEST(HPACK, DecodingErrors) {
  struct Case {
    const char* block;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"ffffffffff0f", "Invalid Integer."},
      {"ff80808080808000", "Invalid Integer."},
      {"40 7f 82ff3f", "Maximum string length exceeded"},  // 1048577,
      {"00 84 ffffffff", "Encountered EOS in huffman code"},
      {"00 82 1fff", "Padding exceeds 7 bits"},
      {"00 81 18", "Invalid padding"},
      {"80", "Table Header item not found."},
      {"be", "Table Header item not found."},
      {"7f00 01 78", "Table Header item not found."},
      {"82 20", "Table update is not allowed."},
      {"3fe21f", "Table size limit exceeded"},
      {"40 05 6162", "HPACK: header block ends inside a field."},
      {"82 ff", "HPACK: header block ends inside a field."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block);
    TkfxHTTP2_HPACK codec;
    try {
      Decode(codec, Hex(c.block));
      ADD_FAILURE() << "no error";
    } catch (const TkfxHTTP2Exception& e) {
      ADD_FAILURE() << "unexpected HTTP/2 exception " << e.Message();
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_EQ(e.ClassName(), "Exception");
    }
  }
  // An indexed field whose entry is too large for the table.
  TkfxHTTP2_HPACK codec;
  std::vector<uint8_t> block = Hex("40 01 6e 7f e1 1e");  // value of 4064 octets: size 4097
  block.resize(block.size() + 4064, 'v');
  EXPECT_THROW(
      {
        try {
          Decode(codec, block);
        } catch (const Exception& e) {
          EXPECT_EQ(e.Message(), "Header Field greater than MaxTableSize");
          throw;
        }
      },
      Exception);

  // A few octets may name large entries many times: the decoded list is
  // bounded (":method: GET" counts 42).
  TkfxHTTP2_HPACK bounded;
  bounded.MaxHeaderListSize = 100;
  EXPECT_EQ(Decode(bounded, Hex("82 82")), (Lines{":method=GET", ":method=GET"}));
  try {
    Decode(bounded, Hex("82 82 82"));
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "HPACK: header list exceeds the size limit.");
  }

  // An empty name is a compression error of the connection.
  TkfxHTTP2_HPACK empty;
  try {
    Decode(empty, Hex("40 00 01 78"));
    ADD_FAILURE() << "no error";
  } catch (const TkfxHTTP2Exception& e) {
    EXPECT_EQ(e.Message(), "HPACK: field name cannot be empty.");
    EXPECT_EQ(e.ErrorCode, Th2ErrorCodes::h2erCOMPRESSION_ERROR);
    EXPECT_EQ(e.ErrorResponse, Th2ErrorResponse::h2errGO_AWAY);
  }
}

TEST(HPACK, ResumableSingleFieldDecoding) {
  // Fed one octet at a time, the field-by-field decoder continues integers
  // and strings where the previous call stopped.
  const auto whole = Hex("8286 8441 8cf1 e3c2 e5f2 3a6b a0ab 90f4 ff 4088 25a8 49e9 5ba9 7d7f 8925 a849 e95b b8e8 b4bf");
  TkfxHTTP2_HPACK codec;
  Lines fields;
  std::vector<uint8_t> buffer;
  for (uint8_t octet : whole) {
    buffer.push_back(octet);
    const int pos = static_cast<int>(buffer.size()) - 1;
    EXPECT_EQ(codec.Decode(buffer, pos), 1);
    if (codec.DecoderIdle())
      fields.push_back(codec.DecoderHeaderField().Name + "=" + codec.DecoderHeaderField().Value);
  }
  EXPECT_EQ(fields, (Lines{":method=GET", ":scheme=http", ":path=/", ":authority=www.example.com",
                           "custom-key=custom-value"}));
  EXPECT_EQ(codec.DynamicTableLength(), 2);
}

// Varied header lists from a seed: APNs-like requests, long values, every
// octet value, repeated fields and sensitive ones.
Fields RandomFields(std::mt19937& aRandom, int aBlock) {
  auto pick = [&](int n) { return static_cast<int>(aRandom() % static_cast<unsigned>(n)); };
  auto text = [&](int aLength, bool aBinary) {
    std::string s;
    for (int i = 0; i < aLength; ++i)
      s.push_back(static_cast<char>(aBinary ? pick(256) : 'a' + pick(26)));
    return s;
  };
  Fields f = {{":method", pick(2) ? "POST" : "GET"},
              {":scheme", "https"},
              {":path", "/3/device/" + text(64, false)},
              {":authority", "api.example.com"}};
  const int extra = pick(12);
  for (int i = 0; i < extra; ++i) {
    switch (pick(6)) {
      case 0: f.push_back({"apns-topic", "com.example.app" + std::to_string(pick(3))}); break;
      case 1: f.push_back({"x-long", text(pick(2) ? 3000 + pick(3000) : 200, false)}); break;
      case 2: f.push_back({"x-octets", text(1 + pick(300), true)}); break;
      case 3: f.push_back({"cookie", "a=" + std::to_string(pick(5))}); f.push_back(f.back()); break;
      case 4: f.push_back({"x-name-" + text(1 + pick(8), false), text(pick(20), false)}); break;
      default: f.push_back({"content-length", std::to_string(aBlock * 7)}); break;
    }
  }
  return f;
}

Lines AsLines(const Fields& aFields) {
  Lines out;
  for (const auto& [n, v] : aFields) out.push_back(n + "=" + v);
  return out;
}

TEST(HPACKInterop, OurEncoderNghttp2Inflater) {
  std::mt19937 random(7541);
  TkfxHTTP2_HPACK encoder;
  peer::Inflater inflater;
  const int32_t sizes[] = {4096, 0, 256, 4096, 1000, 0, 0, 4096};
  for (int block = 0; block < 400; ++block) {
    if (block % 50 == 49) encoder.SetDynamicTableSize(sizes[(block / 50) % 8]);
    if (block % 97 == 0) encoder.SetHuffmanStrategy(static_cast<TkfxHPackHuffmanStrategy>(block % 3));
    const Fields fields = RandomFields(random, block);
    std::vector<TkfxHTTP2_TableEntry> entries;
    for (const auto& [n, v] : fields) entries.emplace_back(n, v, n == "authorization");
    const auto bytes = Encode(encoder, entries);
    ASSERT_EQ(AsLines(inflater.Inflate(bytes)), AsLines(fields)) << "block " << block;
    ASSERT_EQ(static_cast<int>(inflater.TableSize()), encoder.DynamicTableUsedSize()) << "block " << block;
  }
  // Every octet value through the Huffman code.
  encoder.SetHuffmanStrategy(TkfxHPackHuffmanStrategy::h2huAlways);
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  const auto bytes = Encode(encoder, {{"x-all", all}, {"x-reverse", std::string(all.rbegin(), all.rend())}});
  EXPECT_EQ(AsLines(inflater.Inflate(bytes)),
            (Lines{"x-all=" + all, "x-reverse=" + std::string(all.rbegin(), all.rend())}));
}

TEST(HPACKInterop, Nghttp2DeflaterOurDecoder) {
  std::mt19937 random(9113);
  peer::Deflater deflater;
  TkfxHTTP2_HPACK decoder;
  const size_t sizes[] = {4096, 0, 512, 4096, 100, 0, 2048, 4096};
  for (int block = 0; block < 400; ++block) {
    if (block % 50 == 49) deflater.ChangeTableSize(sizes[(block / 50) % 8]);
    const Fields fields = RandomFields(random, block);
    ASSERT_EQ(Decode(decoder, deflater.Deflate(fields)), AsLines(fields)) << "block " << block;
    ASSERT_EQ(static_cast<size_t>(decoder.DynamicTableUsedSize()),
              nghttp2_hd_deflate_get_dynamic_table_size(deflater.Get()))
        << "block " << block;
  }
}

}  // namespace
