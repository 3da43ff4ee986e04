#include "http2/client/kfxHTTP2_Client_Properties.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <climits>

#include "base/kfxBase_Helpers.h"
#include "http2/client/kfxHTTP2_Client_Connection.h"
#include "http2/core/kfxHTTP2_Frame_Streams.h"

namespace {

std::atomic<size_t> gInflateLimit{h2DefaultInflateLimit};

constexpr uint32_t kReplacement = 0xFFFD;

// Windows-1252 at 0x80-0x9F; the unassigned octets map to themselves.
constexpr uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t Windows1252(uint8_t aOctet) {
  return aOctet >= 0x80 && aOctet <= 0x9F ? kWindows1252High[aOctet - 0x80] : aOctet;
}

// ISO-8859-15 differs from ISO-8859-1 in eight places.
uint32_t Latin9(uint8_t aOctet) {
  switch (aOctet) {
    case 0xA4: return 0x20AC;
    case 0xA6: return 0x0160;
    case 0xA8: return 0x0161;
    case 0xB4: return 0x017D;
    case 0xB8: return 0x017E;
    case 0xBC: return 0x0152;
    case 0xBD: return 0x0153;
    case 0xBE: return 0x0178;
    default: return aOctet;
  }
}

template <class TMap>
std::string SingleByteText(const uint8_t* aData, size_t aSize, TMap aMap) {
  std::string text;
  text.reserve(aSize);
  for (size_t i = 0; i < aSize; ++i) AppendUTF8(text, aMap(aData[i]));
  return text;
}

std::string UTF8Text(const uint8_t* aData, size_t aSize) {
  return UTF8BytesToString(TIdBytes(aData, aData + aSize));
}

// Unpaired surrogates and an odd last octet become U+FFFD.
std::string UTF16Text(const uint8_t* aData, size_t aSize, bool aBigEndian) {
  auto unit = [&](size_t k) -> uint32_t {
    return aBigEndian ? (uint32_t{aData[k]} << 8 | aData[k + 1]) : (uint32_t{aData[k + 1]} << 8 | aData[k]);
  };
  std::string text;
  text.reserve(aSize / 2);
  size_t i = 0;
  for (; i + 1 < aSize; i += 2) {
    uint32_t code = unit(i);
    if (code >= 0xD800 && code < 0xDC00) {
      const uint32_t low = i + 3 < aSize ? unit(i + 2) : 0;
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        code = kReplacement;
      }
    } else if (code >= 0xDC00 && code < 0xE000) {
      code = kReplacement;
    }
    AppendUTF8(text, code);
  }
  if (i < aSize) AppendUTF8(text, kReplacement);
  return text;
}

enum class TBOM { None, UTF8, UTF16LE, UTF16BE };

TBOM DetectBOM(const uint8_t* aData, size_t aSize, size_t& aLength) {
  if (aSize >= 3 && aData[0] == 0xEF && aData[1] == 0xBB && aData[2] == 0xBF) return aLength = 3, TBOM::UTF8;
  if (aSize >= 2 && aData[0] == 0xFF && aData[1] == 0xFE) return aLength = 2, TBOM::UTF16LE;
  if (aSize >= 2 && aData[0] == 0xFE && aData[1] == 0xFF) return aLength = 2, TBOM::UTF16BE;
  aLength = 0;
  return TBOM::None;
}

// Text after a byte-order mark; false when there is none.
bool DecodeWithBOM(const uint8_t* aData, size_t aSize, std::string& aText) {
  size_t length = 0;
  switch (DetectBOM(aData, aSize, length)) {
    case TBOM::UTF8: aText = UTF8Text(aData + length, aSize - length); return true;
    case TBOM::UTF16LE: aText = UTF16Text(aData + length, aSize - length, false); return true;
    case TBOM::UTF16BE: aText = UTF16Text(aData + length, aSize - length, true); return true;
    case TBOM::None: break;
  }
  return false;
}

bool IsOneOf(const std::string& aName, std::initializer_list<const char*> aNames) {
  return std::any_of(aNames.begin(), aNames.end(), [&](const char* n) { return aName == n; });
}

// --- inflating ---

[[noreturn]] void RaiseInflate(const std::string& aEncoding, const std::string& aReason) {
  throw EZDecompressionError("The " + aEncoding + " answer body cannot be inflated: " + aReason);
}

class TInflater {
 public:
  TInflater(const std::string& aEncoding, int aWindowBits) : FEncoding(aEncoding) {
    if (inflateInit2(&FStream, aWindowBits) != Z_OK) RaiseInflate(FEncoding, "the inflater cannot be set up.");
  }
  ~TInflater() { inflateEnd(&FStream); }
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;

  // Inflates one stream from aData; returns how many octets it used.
  // aOverLimit tells the limit from other failures.
  size_t Run(const uint8_t* aData, size_t aSize, TIdBytes& aOut, size_t aLimit, bool& aOverLimit) {
    FStream.next_in = const_cast<Bytef*>(aData);
    size_t left = aSize;
    uint8_t chunk[16384];
    for (;;) {
      const uInt feed = static_cast<uInt>(std::min<size_t>(left, UINT_MAX));
      FStream.avail_in = feed;
      FStream.next_out = chunk;
      FStream.avail_out = sizeof chunk;
      const int result = inflate(&FStream, Z_NO_FLUSH);
      left -= feed - FStream.avail_in;
      const size_t produced = sizeof chunk - FStream.avail_out;
      if (produced > aLimit - aOut.size()) {
        aOverLimit = true;
        RaiseInflate(FEncoding, "it exceeds the limit of " + std::to_string(aLimit) + " octets.");
      }
      aOut.insert(aOut.end(), chunk, chunk + produced);
      if (result == Z_STREAM_END) return aSize - left;
      if (result == Z_BUF_ERROR || (result == Z_OK && left == 0 && produced == 0 && FStream.avail_out != 0))
        RaiseInflate(FEncoding, "the compressed data ends too early.");
      if (result != Z_OK)
        RaiseInflate(FEncoding, FStream.msg ? std::string(FStream.msg) + "." : "the data is not valid.");
    }
  }

  void Reset() { inflateReset(&FStream); }

 private:
  std::string FEncoding;
  z_stream FStream{};
};

// zlib's two-octet header: deflate method, a window of at most 32 KiB, check bits.
bool HasZlibHeader(const uint8_t* aData, size_t aSize) {
  return aSize >= 2 && (aData[0] & 0x0F) == 8 && (aData[0] >> 4) <= 7 && ((aData[0] << 8) | aData[1]) % 31 == 0;
}

void Inflate(const uint8_t* aData, size_t aSize, const std::string& aEncoding, TIdBytes& aOut, size_t aLimit) {
  if (aEncoding == "deflate") {
    // HTTP's deflate is meant to be zlib-wrapped, but many servers send raw
    // deflate. Raw data can start like a zlib header by chance: when reading
    // it as zlib fails for any reason but the limit, it is read raw.
    bool overLimit = false;
    auto run = [&](int aWindowBits) {
      aOut.clear();
      TInflater inflater(aEncoding, aWindowBits);
      if (inflater.Run(aData, aSize, aOut, aLimit, overLimit) != aSize)
        RaiseInflate(aEncoding, "data follows the end of the compressed stream.");
    };
    if (!HasZlibHeader(aData, aSize)) return run(-MAX_WBITS);
    try {
      run(MAX_WBITS);
    } catch (const EZDecompressionError&) {
      if (overLimit) throw;
      const std::exception_ptr wrapped = std::current_exception();
      try {
        run(-MAX_WBITS);
      } catch (const EZDecompressionError&) {
        aOut.clear();
        std::rethrow_exception(wrapped);
      }
    }
    return;
  }
  // gzip: one member, or several concatenated ones as gzip itself writes them.
  TInflater inflater(aEncoding, 16 + MAX_WBITS);
  bool overLimit = false;
  size_t used = 0;
  do {
    if (used > 0) {
      if (aSize - used < 2 || aData[used] != 0x1F || aData[used + 1] != 0x8B)
        RaiseInflate(aEncoding, "data follows the end of the compressed stream.");
      inflater.Reset();
    }
    used += inflater.Run(aData + used, aSize - used, aOut, aLimit, overLimit);
  } while (used < aSize);
}

void ReadHeaderLines(TkfxHTTP2_Frame_HPACK_Base* aFrame, TStringList& aLines) {
  aLines.Clear();
  if (aFrame && aFrame->HasHeaders()) aLines.AddStrings(aFrame->Headers());
}

// Request copy, URL and method of the stream; those of the promise when asked
// and the stream was pushed.
void BuildRequestProperty(TkfxHTTP2_StreamResponse& aStream, TkfxHTTP2RequestProperty& aRequest,
                          bool aPushed) {
  if (const TkfxHTTP2Request* sent = TkfxHTTP2ConnectionClient::StreamRequest(&aStream)) aRequest.SetRequest(*sent);
  TkfxHTTP2_Frame_PushPromise* promise = aPushed ? aStream.Frame_PushPromise() : nullptr;
  if (promise) {
    aRequest.SetURL(promise->URL());
    aRequest.SetMethod(promise->Method());
  } else {
    aRequest.SetURL(aRequest.RequestCopy().URL());
    aRequest.SetMethod(aRequest.RequestCopy().Method());
  }
}

}  // namespace

// --- limit ---

size_t HTTP2InflateLimit() { return gInflateLimit.load(std::memory_order_relaxed); }

void SetHTTP2InflateLimit(size_t aValue) {
  gInflateLimit.store(aValue ? aValue : h2DefaultInflateLimit, std::memory_order_relaxed);
}

// --- texts ---

std::string AnsiBytesToString(const uint8_t* aData, size_t aSize) {
  return SingleByteText(aData, aSize, Windows1252);
}

std::string DecodeCharsetText(const uint8_t* aData, size_t aSize, const std::string& aCharset) {
  const std::string charset = LowerCase(Trim(aCharset));
  const bool utf16 = IsOneOf(charset, {"utf-16", "utf16", "utf-16le", "utf-16be", "unicode", "unicodefffe"});
  std::string text;
  if ((utf16 || IsOneOf(charset, {"utf-8", "utf8", "unicode-1-1-utf-8"})) && DecodeWithBOM(aData, aSize, text))
    return text;
  if (IsOneOf(charset, {"utf-8", "utf8", "unicode-1-1-utf-8"})) return UTF8Text(aData, aSize);
  if (utf16) return UTF16Text(aData, aSize, IsOneOf(charset, {"utf-16be", "unicodefffe"}));
  if (IsOneOf(charset, {"windows-1252", "cp1252", "x-cp1252"})) return SingleByteText(aData, aSize, Windows1252);
  if (IsOneOf(charset, {"iso-8859-15", "iso8859-15", "iso_8859-15", "latin-9", "latin9"}))
    return SingleByteText(aData, aSize, Latin9);
  if (IsOneOf(charset, {"us-ascii", "ascii", "iso646-us", "ansi_x3.4-1968"}))
    return SingleByteText(aData, aSize, [](uint8_t o) { return o < 0x80 ? uint32_t{o} : kReplacement; });
  // iso-8859-1 and its aliases, and every name not listed: one character per
  // octet, the octet's value its code point.
  return SingleByteText(aData, aSize, [](uint8_t o) { return uint32_t{o}; });
}

std::string ContentTypeCharset(const std::string& aContentType) {
  size_t start = aContentType.find(';');
  while (start != std::string::npos) {
    ++start;
    size_t end = aContentType.find(';', start);
    const std::string param =
        Trim(aContentType.substr(start, end == std::string::npos ? std::string::npos : end - start));
    const size_t eq = param.find('=');
    if (eq != std::string::npos && SameText(Trim(param.substr(0, eq)), "charset")) {
      std::string value = Trim(param.substr(eq + 1));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
      return value;
    }
    start = end;
  }
  return {};
}

void DecodeHTTP2Content(const uint8_t* aData, size_t aSize, const std::string& aEncoding, TIdBytes& aOut,
                        size_t aLimit) {
  aOut.clear();
  if (aEncoding != "deflate" && aEncoding != "gzip") {
    aOut.assign(aData, aData + aSize);
    return;
  }
  if (aSize == 0) return;
  Inflate(aData, aSize, aEncoding, aOut, aLimit ? aLimit : HTTP2InflateLimit());
}

// --- request property ---

TkfxHTTP2Request& TkfxHTTP2RequestProperty::Request() { return FRequest.Whole(); }

// --- response property ---

TStringList& TkfxHTTP2ResponseProperty::Headers() {
  if (!FHeaders) FHeaders = std::make_unique<TStringList>();
  return *FHeaders;
}

TStringList& TkfxHTTP2ResponseProperty::PushPromise() {
  if (!FPushPromise) FPushPromise = std::make_unique<TStringList>();
  return *FPushPromise;
}

std::string TkfxHTTP2ResponseProperty::DataString() const {
  if (!FData) return {};
  return AnsiBytesToString(FData->Memory(), FData->Bytes().size());
}

std::string TkfxHTTP2ResponseProperty::DataUTF8() const {
  if (!FData) return {};
  return UTF8Text(FData->Memory(), FData->Bytes().size());
}

std::string TkfxHTTP2ResponseProperty::Charset() const {
  return FHeaders ? ContentTypeCharset(FHeaders->Values("content-type")) : std::string();
}

int TkfxHTTP2ResponseProperty::Status() const {
  if (!FHeaders) return 0;
  const std::string value = Trim(FHeaders->Values(":status"));
  if (value.empty() || value.size() > 9 || !std::all_of(value.begin(), value.end(), [](char c) {
        return c >= '0' && c <= '9';
      }))
    return 0;
  return std::stoi(value);
}

// --- fragment property ---

std::string TkfxHTTP2ResponseFragmentProperty::DataString() const {
  std::string text;
  if (DecodeWithBOM(Data.data(), Data.size(), text)) return text;
  return AnsiBytesToString(Data.data(), Data.size());
}

// --- building ---

void BuildHTTP2ResponseProperties(TkfxHTTP2_StreamResponse& aStream, TkfxHTTP2RequestProperty& aRequest,
                                  TkfxHTTP2ResponseProperty& aResponse, size_t aInflateLimit) {
  BuildRequestProperty(aStream, aRequest, true);
  ReadHeaderLines(aStream.Frame_Headers(), aResponse.Headers());
  ReadHeaderLines(aStream.Frame_PushPromise(), aResponse.PushPromise());
  aResponse.SetData(nullptr);
  const TkfxHTTP2_Frame_Data* data = aStream.Frame_Data();
  if (!data) return;
  auto body = std::make_unique<TMemoryStream>();
  TIdBytes octets;
  DecodeHTTP2Content(data->Data.data(), data->Data.size(), aResponse.Headers().Values("content-encoding"), octets,
                     aInflateLimit);
  if (!octets.empty()) body->WriteBuffer(octets.data(), static_cast<int64_t>(octets.size()));
  body->SetPosition(0);
  aResponse.SetData(std::move(body));
}

void BuildHTTP2FragmentProperties(TkfxHTTP2_StreamResponse& aStream, const TIdBytes& aBytes,
                                  TkfxHTTP2RequestProperty& aRequest, TkfxHTTP2ResponseFragmentProperty& aFragment) {
  BuildRequestProperty(aStream, aRequest, false);
  aFragment.Data = aBytes;
}
