// The objects the client's response events hand to the application: the
// request an answer belongs to, the answer (headers, body with its content
// encoding undone, push promise) and one received piece of a body; plus the
// charset decoding of answer texts and the inflating of compressed bodies.
//
// Text is UTF-8 throughout. Where an 8-bit "ANSI" reading of octets is asked
// for (DataString), this system reads them as Windows-1252: one character per
// octet, the 32 octets 0x80-0x9F being the code page's typographic characters
// (its five unassigned ones stay their own code points). It never fails, so
// it shows any body, which is what the reading is for; DataUTF8 is the text
// reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "http2/core/kfxHTTP2_Classes.h"
#include "rtl/StringList.h"
#include "rtl/Streams.h"

class TkfxHTTP2_StreamResponse;

// A compressed answer body that cannot be inflated: not the encoding it is
// marked with, cut short, followed by other data, or larger than the limit.
class EZDecompressionError : public Exception {
  using Exception::Exception;
};

// The request an answer belongs to; handed to the response events and freed
// after them.
class TkfxHTTP2RequestProperty : public TObject {
 public:
  Th2Methods Method() const { return FMethod; }
  void SetMethod(Th2Methods aValue) { FMethod = aValue; }
  // A copy of the request settings the stream was opened with; created on first use.
  TkfxHTTP2Request& Request();
  void SetRequest(const TkfxHTTP2Request& aValue) { Request().Assign(&aValue); }
  // Takes aValue over instead of copying it.
  void AdoptRequest(TkfxHTTP2RequestCopy aValue) { FRequest = std::move(aValue); }
  // The request as kept, without making it whole.
  const TkfxHTTP2RequestCopy& RequestCopy() const { return FRequest; }
  const std::string& URL() const { return FURL; }
  void SetURL(const std::string& aValue) { FURL = aValue; }

 private:
  Th2Methods FMethod = Th2Methods::h2meGet;
  TkfxHTTP2RequestCopy FRequest;
  std::string FURL;
};

// A finished answer; handed to OnHTTP2Response and freed after it.
class TkfxHTTP2ResponseProperty : public TObject {
 public:
  // "name=value" lines, pseudo-headers included; created on first use.
  TStringList& Headers();
  // The body with its content encoding undone, positioned at 0; null when
  // the answer had no body.
  TMemoryStream* Data() const { return FData.get(); }
  // Takes the body over (null: none).
  void SetData(std::unique_ptr<TMemoryStream> aValue) { FData = std::move(aValue); }
  // For a pushed answer the header lines of its PUSH_PROMISE ("name=value");
  // created on first use, empty otherwise.
  TStringList& PushPromise();

  // Data read as Windows-1252 (one character per octet); empty without Data.
  std::string DataString() const;
  // Data read as UTF-8 (malformed sequences become U+FFFD); empty without Data.
  std::string DataUTF8() const;
  // The charset parameter of the content-type line, without quotes; empty when absent.
  std::string Charset() const;
  // The :status line as a number; 0 when it is missing or not a number.
  int Status() const;

 private:
  std::unique_ptr<TStringList> FHeaders;
  std::unique_ptr<TMemoryStream> FData;
  std::unique_ptr<TStringList> FPushPromise;
};

// One received piece of an answer body, as it arrived (no content decoding).
class TkfxHTTP2ResponseFragmentProperty : public TObject {
 public:
  TIdBytes Data;

  // The octets as text: UTF-8 or UTF-16 (little or big endian) when they
  // start with that byte-order mark, which is dropped; Windows-1252 otherwise.
  std::string DataString() const;
};

// Builds the properties of OnHTTP2Response from a finished stream record: the
// request copy, URL and method (those of the PUSH_PROMISE for a pushed
// stream), the HEADERS lines, the promise's lines and the body, inflated when
// content-encoding is exactly "deflate" (zlib-wrapped or raw) or "gzip".
// aInflateLimit bounds the inflated size (0: HTTP2InflateLimit()). Raises
// EZDecompressionError for a body that cannot be inflated; the properties are
// then partly filled and the caller drops them.
void BuildHTTP2ResponseProperties(TkfxHTTP2_StreamResponse& aStream, TkfxHTTP2RequestProperty& aRequest,
                                  TkfxHTTP2ResponseProperty& aResponse, size_t aInflateLimit = 0);
// Builds the properties of OnHTTP2ResponseFragment: the stream's request copy
// with its URL and method, and aBytes as the fragment.
void BuildHTTP2FragmentProperties(TkfxHTTP2_StreamResponse& aStream, const TIdBytes& aBytes,
                                  TkfxHTTP2RequestProperty& aRequest, TkfxHTTP2ResponseFragmentProperty& aFragment);

// The largest inflated body a response property accepts, in octets: 64 MiB
// unless changed. Process-wide; safe to read and set from any thread.
constexpr size_t h2DefaultInflateLimit = 64 * 1024 * 1024;
size_t HTTP2InflateLimit();
// 0 restores the default.
void SetHTTP2InflateLimit(size_t aValue);

// Undoes the content encoding aEncoding ("deflate", "gzip"; compared exactly)
// of aSize octets at aData into aOut; any other encoding copies the octets.
// At most aLimit octets are produced (0: HTTP2InflateLimit()). Raises
// EZDecompressionError for data that is not of that encoding, is cut short,
// has anything after its end, or inflates beyond aLimit. No octets are
// inflated from no octets.
void DecodeHTTP2Content(const uint8_t* aData, size_t aSize, const std::string& aEncoding, TIdBytes& aOut,
                        size_t aLimit = 0);

// Octets as UTF-8 text in the encoding aCharset names (case and surrounding
// blanks ignored): utf-8; utf-16 (little endian unless a byte-order mark says
// otherwise), utf-16le, utf-16be; iso-8859-1 and its aliases; iso-8859-15;
// windows-1252; us-ascii (octets above 0x7F become U+FFFD). A byte-order mark
// at the start overrides a UTF label and is dropped. An empty or unknown
// charset reads one character per octet, its value the code point.
std::string DecodeCharsetText(const uint8_t* aData, size_t aSize, const std::string& aCharset);
// Octets read as Windows-1252, one character per octet.
std::string AnsiBytesToString(const uint8_t* aData, size_t aSize);
// The charset parameter of a content-type value, unquoted; empty when absent.
std::string ContentTypeCharset(const std::string& aContentType);
