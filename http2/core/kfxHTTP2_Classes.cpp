#include "http2/core/kfxHTTP2_Classes.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "base/kfxBase_Helpers.h"

const std::array<const char*, 9> h2MethodNames = {"HEAD", "GET",    "POST",    "OPTIONS", "TRACE",
                                                  "PUT",  "DELETE", "CONNECT", "PATCH"};

std::string ErrorDescription(int64_t aErrorCode) {
  static const char* const kDescriptions[] = {"no error",
                                              "protocol error",
                                              "internal error",
                                              "flow control error",
                                              "settings timeout",
                                              "stream closed",
                                              "frame size error",
                                              "refused stream",
                                              "cancel",
                                              "compression error",
                                              "connect error",
                                              "enhance your calm",
                                              "inadequate security",
                                              "required"};
  if (aErrorCode < 0 || aErrorCode > 13) return {};
  return kDescriptions[aErrorCode];
}

// --- TkfxHTTP2Request ---

// A date-time field, published as the text of its number of days.
static TPublishedProperty PublishDate(const std::string& aName, TDateTime& aField) {
  return PublishString(
      aName,
      [&aField] {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.17g", aField);
        return std::string(buffer);
      },
      [&aField](const std::string& v) {
        char* end = nullptr;
        const double value = std::strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0') throw EConvertError("'" + v + "' is not a valid floating point value");
        aField = value;
      });
}

// The published fields in published order, then the public ones (method, URL,
// cookies, redirect mark), which Assign copies but stored descriptions do not
// carry.
namespace {

// aDest := aSource as its text reads back: a line holding a line break
// becomes several lines. Lines without breaks read back as they are, so
// they are copied as they stand (every queued request copies its lines).
void CopyLinesAsText(TStringList& aDest, const TStringList& aSource) {
  const std::vector<std::string>& lines = aSource.Lines();
  const bool plain = std::none_of(lines.begin(), lines.end(), [](const std::string& aLine) {
    // Two scans for one character each: a set of two is looked up octet by
    // octet, and token lines are long.
    return aLine.empty() || aLine.find('\r') != std::string::npos || aLine.find('\n') != std::string::npos;
  });
  if (plain)
    aDest.Assign(&aSource);
  else
    aDest.SetText(aSource.Text());
}

}  // namespace

const TPersistentFields<TkfxHTTP2Request>& TkfxHTTP2Request::Fields() {
  using C = TkfxHTTP2Request;
  static const auto fields =
      TPersistentFields<C>()
          .Field("Accept", &C::Accept)
          .Field("AcceptCharSet", &C::AcceptCharSet)
          .Field("AcceptEncoding", &C::AcceptEncoding)
          .Field("AcceptLanguage", &C::AcceptLanguage)
          .Field("BasicAuthentication", &C::BasicAuthentication)
          .Field("BearerAuthentication", &C::BearerAuthentication)
          .Field("BearerToken", &C::BearerToken)
          .Field("CacheControl", &C::CacheControl)
          .Field("CharSet", &C::CharSet)
          .Field("Connection", &C::Connection)
          .Field("ContentDisposition", &C::ContentDisposition)
          .Field("ContentType", &C::ContentType)
          .Field("ContentVersion", &C::ContentVersion)
          .Field("Date", &C::Date, PublishDate)
          .Field("ETag", &C::ETag)
          .Field("Expires", &C::Expires, PublishDate)
          .Field("From", &C::From)
          .Field("Host", &C::Host)
          .Field("LastModified", &C::LastModified, PublishDate)
          .Field("Referer", &C::Referer)
          .Field("TransferEncoding", &C::TransferEncoding)
          .Field("UserAgent", &C::UserAgent)
          .Custom([](C& aDest, const C& aSource) { CopyLinesAsText(aDest.CustomHeaders, aSource.CustomHeaders); },
                  [](C& aObject) {
                    return PublishObject("CustomHeaders", [&aObject] { return &aObject.CustomHeaders; });
                  })
          .Field("ID", &C::ID)
          .Field("Password", &C::Password)
          .Field("Username", &C::Username)
          .Unpublished(&C::Method)
          .Unpublished(&C::URL)
          .Custom(
              [](C& aDest, const C& aSource) {
                if (aSource.FCookies)
                  CopyLinesAsText(aDest.Cookies(), *aSource.FCookies);
                else if (aDest.FCookies)
                  aDest.FCookies->Clear();
              },
              nullptr)
          .Unpublished(&C::Redirect);
  return fields;
}

void TkfxHTTP2Request::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxHTTP2Request::GetPublishedProperties(TPublishedProperties& aList) {
  TPersistent::GetPublishedProperties(aList);
  Fields().Publish(*this, aList);
}

// --- TkfxHTTP2RequestCopy ---

TkfxHTTP2RequestCopy::TkfxHTTP2RequestCopy(const TkfxHTTP2Request& aRequest)
    : FWhole(std::make_unique<TkfxHTTP2Request>()) {
  FWhole->Assign(&aRequest);
}

TkfxHTTP2RequestCopy::TkfxHTTP2RequestCopy(std::shared_ptr<const TkfxHTTP2Request> aBase,
                                           const TkfxHTTP2Request& aRequest)
    : FBase(std::move(aBase)), FID(aRequest.ID), FURL(aRequest.URL), FMethod(aRequest.Method) {}

TkfxHTTP2Request& TkfxHTTP2RequestCopy::Whole() {
  if (!FWhole) {
    auto whole = std::make_unique<TkfxHTTP2Request>();
    if (FBase) {
      whole->Assign(FBase.get());
      whole->ID = FID;
      whole->URL = FURL;
      whole->Method = FMethod;
    }
    FWhole = std::move(whole);
    FBase.reset();
  }
  return *FWhole;
}

TStringList& TkfxHTTP2Request::Cookies() {
  if (!FCookies) FCookies = std::make_unique<TStringList>();
  return *FCookies;
}

void TkfxHTTP2Request::AddCookie(const std::string& aName, const std::string& aValue) {
  Cookies().Add(aName + "=" + aValue);
}

void TkfxHTTP2Request::ClearCookies() {
  if (FCookies) FCookies->Clear();
}

std::string TkfxHTTP2Request::GetCookiesHeader() {
  std::string out;
  if (!FCookies) return out;
  for (int i = 0; i < FCookies->Count(); ++i) {
    const std::string& line = FCookies->Strings(i);
    const auto eq = line.find('=');
    const std::string name = eq == std::string::npos ? line : line.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    if (!out.empty()) out += ';';
    out += name + "=" + value;
  }
  return out;
}

// --- TkfxHTTP2Response ---

TMemoryStream& TkfxHTTP2Response::Content() {
  if (!FContent) FContent = std::make_unique<TMemoryStream>();
  return *FContent;
}

TStringList& TkfxHTTP2Response::Headers() {
  if (!FHeaders) FHeaders = std::make_unique<TStringList>();
  return *FHeaders;
}

std::string TkfxHTTP2Response::Charset() {
  const std::string contentType = Headers().Values("content-type");
  size_t start = 0;
  while (start <= contentType.size()) {
    size_t end = contentType.find(';', start);
    if (end == std::string::npos) end = contentType.size();
    const std::string param = Trim(contentType.substr(start, end - start));
    const auto eq = param.find('=');
    if (eq != std::string::npos && SameText(Trim(param.substr(0, eq)), "charset")) {
      std::string value = Trim(param.substr(eq + 1));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front())
        value = value.substr(1, value.size() - 2);
      return value;
    }
    start = end + 1;
  }
  return {};
}

int TkfxHTTP2Response::Status() {
  try {
    return StrToInt(Headers().Values(":status"));
  } catch (const EConvertError&) {
    return 0;
  }
}

void TkfxHTTP2Response::Clear() {
  if (FContent) FContent->Clear();
  if (FHeaders) FHeaders->Clear();
}

void TkfxHTTP2Response::SetContent(TStream* aValue) {
  TMemoryStream& content = Content();
  content.Clear();
  if (!aValue) return;
  const int64_t position = aValue->Position();
  const int64_t count = aValue->Size() - position;
  if (count > 0) content.CopyFrom(*aValue, count);
  aValue->SetPosition(position);
  content.SetPosition(position);
}

// --- TkfxHTTP2Settings ---

// EnableConnectProtocol is a public setting only: Assign copies it, stored
// descriptions do not carry it.
const TPersistentFields<TkfxHTTP2Settings>& TkfxHTTP2Settings::Fields() {
  using C = TkfxHTTP2Settings;
  static const auto fields = TPersistentFields<C>()
                                 .Unpublished(&C::EnableConnectProtocol)
                                 .Field("EnablePush", &C::EnablePush)
                                 .Field("HeaderTableSize", &C::HeaderTableSize)
                                 .Field("InitialWindowSize", &C::InitialWindowSize)
                                 .Field("MaxConcurrentStreams", &C::MaxConcurrentStreams)
                                 .Field("MaxFrameSize", &C::MaxFrameSize)
                                 .Field("MaxHeaderListSize", &C::MaxHeaderListSize);
  return fields;
}

void TkfxHTTP2Settings::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxHTTP2Settings::GetPublishedProperties(TPublishedProperties& aList) {
  TPersistent::GetPublishedProperties(aList);
  Fields().Publish(*this, aList);
}

// --- notify objects ---

TkfxHTTP2GoAwayProperty& TkfxHTTP2NotifyObject::GoAway() {
  if (!FGoAway) FGoAway = std::make_unique<TkfxHTTP2GoAwayProperty>();
  return *FGoAway;
}

void TkfxHTTP2NotifyObject::SetGoAway(const TkfxHTTP2GoAwayProperty* aValue) {
  if (!aValue) return;
  TkfxHTTP2GoAwayProperty& own = GoAway();
  own.AdditionalDebugData = aValue->AdditionalDebugData;
  own.ErrorCode = aValue->ErrorCode;
  own.ErrorDescription = aValue->ErrorDescription;
  own.LastStreamId = aValue->LastStreamId;
}

TkfxHTTP2RSTStreamProperty& TkfxHTTP2NotifyObject::RSTStream() {
  if (!FRSTStream) FRSTStream = std::make_unique<TkfxHTTP2RSTStreamProperty>();
  return *FRSTStream;
}

void TkfxHTTP2NotifyObject::SetRSTStream(const TkfxHTTP2RSTStreamProperty* aValue) {
  if (!aValue) return;
  TkfxHTTP2RSTStreamProperty& own = RSTStream();
  own.ErrorCode = aValue->ErrorCode;
  own.ErrorDescription = aValue->ErrorDescription;
  own.StreamIdentifier = aValue->StreamIdentifier;
}

TkfxHTTP2ObjectList::~TkfxHTTP2ObjectList() {
  DeleteAll();
}

TkfxHTTP2NotifyObject* TkfxHTTP2ObjectList::Append(std::unique_ptr<TkfxHTTP2NotifyObject> aObject) {
  AppendItem(aObject.get());
  return aObject.release();
}

TkfxHTTP2NotifyObject* TkfxHTTP2ObjectList::AddNotifyObject(TObject* Connection) {
  auto o = std::make_unique<TkfxHTTP2NotifyObject>();
  o->Connection = Connection;
  return Append(std::move(o));
}

TkfxHTTP2NotifyObject* TkfxHTTP2ObjectList::AddNotifyObject(TObject* Connection,
                                                            const std::string& aText,
                                                            std::exception_ptr aException) {
  auto o = std::make_unique<TkfxHTTP2NotifyObject>();
  o->Connection = Connection;
  o->Text = aText;
  o->RawException = std::move(aException);
  return Append(std::move(o));
}

TkfxHTTP2NotifyObject* TkfxHTTP2ObjectList::AddNotifyObject(
    TObject* Connection, const TkfxHTTP2GoAwayProperty* aGoAway) {
  auto o = std::make_unique<TkfxHTTP2NotifyObject>();
  o->Connection = Connection;
  o->SetGoAway(aGoAway);
  return Append(std::move(o));
}

TkfxHTTP2NotifyObject* TkfxHTTP2ObjectList::AddNotifyObject(TObject* Connection, TObject* aObject,
                                                            const TIdBytes& aBytes) {
  auto o = std::make_unique<TkfxHTTP2NotifyObject>();
  o->Connection = Connection;
  o->RawObject = aObject;
  o->Bytes = aBytes;
  return Append(std::move(o));
}

TkfxHTTP2NotifyObject* TkfxHTTP2ObjectList::AddNotifyObject(TObject* Connection,
                                                            TStringList* aHeaders) {
  auto o = std::make_unique<TkfxHTTP2NotifyObject>();
  o->Connection = Connection;
  o->Headers = aHeaders;
  return Append(std::move(o));
}

TkfxHTTP2NotifyObject* TkfxHTTP2ObjectList::AddNotifyObject(TObject* Connection, TObject* aObject) {
  auto o = std::make_unique<TkfxHTTP2NotifyObject>();
  o->Connection = Connection;
  o->RawObject = aObject;
  return Append(std::move(o));
}

TkfxHTTP2NotifyObject* TkfxHTTP2ObjectList::AddNotifyObject(
    TObject* Connection, const TkfxHTTP2RSTStreamProperty* aRSTStream) {
  auto o = std::make_unique<TkfxHTTP2NotifyObject>();
  o->Connection = Connection;
  o->SetRSTStream(aRSTStream);
  return Append(std::move(o));
}

void TkfxHTTP2ObjectList::DeleteAll() {
  for (void* item : TakeAllItems()) static_cast<TkfxHTTP2NotifyObject*>(item)->Free();
}

// --- push promises ---

TStringList& TkfxHTTP2PushPromiseItem::Links() {
  if (!FLinks) FLinks = std::make_unique<TStringList>();
  return *FLinks;
}

void TkfxHTTP2PushPromiseList::AddPushPromise(const std::string& aPath, const TStringList& aLinks) {
  auto item = std::make_unique<TkfxHTTP2PushPromiseItem>();
  item->SetPath(aPath);
  item->Links().Assign(&aLinks);
  AddItem(item.release());
}

TStringList* TkfxHTTP2PushPromiseList::GetPushPromiseLinks(const std::string& aPath) {
  TkfxHTTP2PushPromiseItem* item = GetItem(aPath);
  return item && item->HasLinks() ? &item->Links() : nullptr;
}

// --- helpers ---

uint32_t ReadBigEndianInteger(const TIdBytes& aBytes, int aSize, int aPosition) {
  if (aSize < 1 || aSize > 4 || aPosition < 0 ||
      static_cast<size_t>(aPosition) + static_cast<size_t>(aSize) > aBytes.size())
    return 0;
  uint32_t value = 0;
  for (int i = 0; i < aSize; ++i) value = value << 8 | aBytes[static_cast<size_t>(aPosition + i)];
  return value;
}

void WriteBigEndianInteger(int64_t aValue, int aPosition, int aSize, TIdBytes& aBytes) {
  if (aSize <= 0 || aPosition < 0) return;
  const size_t end = static_cast<size_t>(aPosition) + static_cast<size_t>(aSize);
  if (aBytes.size() < end) aBytes.resize(end);
  for (size_t i = static_cast<size_t>(aPosition); i < end; ++i) aBytes[i] = 0;
  if (aValue < 0 || aValue > 2147483647) return;
  int needed = aValue < 256 ? 1 : aValue < 65536 ? 2 : aValue < 16777216 ? 3 : 4;
  needed = std::min(needed, aSize);
  for (int i = 0; i < needed; ++i)
    aBytes[end - 1 - static_cast<size_t>(i)] = static_cast<uint8_t>(aValue >> (8 * i));
}

TIdBytes AnsiStringToBytes(const std::string& aText) {
  return TIdBytes(aText.begin(), aText.end());
}

int AnsiByteLength(const std::string& aText) {
  return static_cast<int>(aText.size());
}

int ASCIIByteCount(const std::string& aText) {
  // One byte per character: every byte that does not continue a UTF-8 sequence.
  int count = 0;
  for (char c : aText)
    if ((static_cast<uint8_t>(c) & 0xC0) != 0x80) ++count;
  return count;
}

namespace {

// A bracketed IPv6 literal as the authority (its colons do not separate a
// port): host and port read, true. False for any other authority.
bool ReadBracketedHost(const std::string& aAuthority, std::string& aHost, int& aPort) {
  const size_t closing = aAuthority.find(']');
  if (aAuthority.empty() || aAuthority.front() != '[' || closing == std::string::npos) return false;
  aHost = aAuthority.substr(1, closing - 1);
  if (closing + 1 < aAuthority.size() && aAuthority[closing + 1] == ':')
    aPort = StrToInt(aAuthority.substr(closing + 2));
  return true;
}

// The general reading: the URL as a delimited list on "/", where blanks also
// separate items and quotes group them.
bool SplitHTTP2URLItems(const std::string& aURL, std::string& aProtocol, std::string& aHost, int& aPort,
                        std::string& aPath) {
  aPort = 443;
  aPath.clear();
  TStringList items;
  items.Delimiter = '/';
  items.SetDelimitedText(aURL);
  if (items.Count() > 0) aProtocol = LowerCase(ReplaceText(items[0], ":", ""));
  if (items.Count() < 3) return false;
  const std::string& authority = items[2];
  if (!ReadBracketedHost(authority, aHost, aPort)) {
    TStringList hostAndPort;
    hostAndPort.Delimiter = ':';
    hostAndPort.StrictDelimiter = true;
    hostAndPort.SetDelimitedText(authority);
    aHost = hostAndPort.Count() > 0 ? hostAndPort[0] : std::string();
    if (hostAndPort.Count() == 2) aPort = StrToInt(hostAndPort[1]);
  }
  for (int i = 3; i < items.Count(); ++i) {
    aPath += '/';
    aPath += items[i];
  }
  if (aPath.empty()) aPath.push_back('/');
  return true;
}

// Text without blanks, control characters or quotes splits on "/" alone, so
// its items are plain substrings: the common case, read without a list.
bool PlainURLText(const std::string& aText) {
  // A table: every URL of every request is looked at octet by octet.
  static constexpr auto kBreaks = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c <= ' '; ++c) table[static_cast<size_t>(c)] = true;
    table['"'] = true;
    return table;
  }();
  return std::none_of(aText.begin(), aText.end(), [](char c) { return kBreaks[static_cast<unsigned char>(c)]; });
}

}  // namespace

namespace {

// A port of one to nine decimal digits, read without a copy; anything else
// goes to StrToInt, which reads signs and hexadecimal or raises.
int ReadPort(std::string_view aText) {
  if (!aText.empty() && aText.size() < 10 &&
      std::all_of(aText.begin(), aText.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    int port = 0;
    for (char c : aText) port = port * 10 + (c - '0');
    return port;
  }
  return StrToInt(std::string(aText));
}

}  // namespace

bool SplitHTTP2URL(const std::string& aURL, std::string& aProtocol, std::string& aHost, int& aPort,
                   std::string& aPath) {
  if (aURL.empty() || !PlainURLText(aURL)) return SplitHTTP2URLItems(aURL, aProtocol, aHost, aPort, aPath);
  aPort = 443;
  aPath.clear();
  // Items: scheme "/" "" "/" authority "/" path items...
  const std::string_view url(aURL);
  const size_t first = url.find('/');
  aProtocol.clear();
  for (char c : url.substr(0, first))
    if (c != ':') aProtocol += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  if (first == std::string::npos) return false;
  const size_t second = url.find('/', first + 1);
  if (second == std::string::npos) return false;
  const size_t third = url.find('/', second + 1);
  const std::string_view authority =
      url.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
  if (!authority.empty() && authority.front() == '[' && authority.find(']') != std::string::npos) {
    ReadBracketedHost(std::string(authority), aHost, aPort);
  } else {
    // Host and port only when the authority has exactly one colon.
    const size_t colon = authority.find(':');
    aHost.assign(authority.substr(0, colon));
    if (colon != std::string::npos && authority.find(':', colon + 1) == std::string::npos)
      aPort = ReadPort(authority.substr(colon + 1));
  }
  if (third == std::string::npos)
    aPath = "/";
  else
    aPath.assign(aURL, third, std::string::npos);
  return true;
}
