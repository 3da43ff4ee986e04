#include "http2/client/kfxHTTP2_Client_HeaderFields.h"

#include <algorithm>
#include <array>

#include "base/kfxBase_Helpers.h"
#include "http2/client/kfxHTTP2_Client_Connection.h"
#include "http2/core/kfxHTTP2_Frame.h"
#include "rtl/Streams.h"

namespace {

constexpr std::array<std::string_view, 5> kConnectionSpecific = {"connection", "keep-alive", "transfer-encoding",
                                                                 "upgrade", "proxy-connection"};

bool IsBlank(char aChar) { return static_cast<unsigned char>(aChar) <= ' '; }

// aText without surrounding blanks and control characters.
std::string_view TrimBlanks(std::string_view aText) {
  while (!aText.empty() && IsBlank(aText.front())) aText.remove_prefix(1);
  while (!aText.empty() && IsBlank(aText.back())) aText.remove_suffix(1);
  return aText;
}

// Writes the fields into aFields from its first entry on, reusing the
// entries' storage, as the writer would read the lines BuildHTTP2HeaderLines
// makes.
class TFieldWriter {
 public:
  explicit TFieldWriter(std::vector<TkfxHTTP2_TableEntry>& aFields) : FFields(aFields) {}
  size_t Count() const { return FCount; }

  // A line "aName: aValue" of a name in lower case without blanks: the value
  // loses its surrounding blanks.
  void Add(std::string_view aName, std::string_view aValue) {
    TkfxHTTP2_TableEntry& field = Next();
    field.Name.assign(aName);
    field.Value.assign(TrimBlanks(aValue));
  }
  // Only a non-empty value makes a line.
  void AddSet(std::string_view aName, const std::string& aValue) {
    if (!aValue.empty()) Add(aName, aValue);
  }
  // A value made of two parts, its blanks trimmed as one text.
  void AddJoined(std::string_view aName, std::string_view aFirst, std::string_view aSecond) {
    TkfxHTTP2_TableEntry& field = Next();
    field.Name.assign(aName);
    field.Value.assign(aFirst);
    field.Value.append(aSecond);
    const std::string_view trimmed = TrimBlanks(field.Value);
    const auto begin = static_cast<size_t>(trimmed.data() - field.Value.data());
    field.Value.resize(begin + trimmed.size());
    field.Value.erase(0, begin);
  }
  // A line of any text, read as the writer reads it.
  void AddLine(std::string_view aLine) {
    if (IsConnectionSpecificHeaderLine(aLine)) return;
    TkfxHTTP2_Frame_HPACK_Base::ParseHeaderLine(aLine, Next());
  }

 private:
  TkfxHTTP2_TableEntry& Next() {
    if (FCount == FFields.size()) FFields.emplace_back();
    TkfxHTTP2_TableEntry& field = FFields[FCount++];
    field.Sensitive = false;
    return field;
  }

  std::vector<TkfxHTTP2_TableEntry>& FFields;
  size_t FCount = 0;
};

}  // namespace

bool IsConnectionSpecificHeaderLine(std::string_view aLine) {
  if (aLine.empty() || aLine[0] == ':') return false;
  // Checked for every line of every request: compared in place.
  const std::string_view name = TrimBlanks(aLine.substr(0, aLine.find(':')));
  for (std::string_view forbidden : kConnectionSpecific)
    if (name.size() == forbidden.size() &&
        std::equal(name.begin(), name.end(), forbidden.begin(),
                   [](char a, char b) { return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b; }))
      return true;
  return false;
}

void BuildHTTP2HeaderLines(Th2Methods aMethod, const std::string& aPath, const std::string& aAuthority,
                           TStream* aSource, const TkfxHTTP2Request& aRequest, TStringList& aHeaders) {
  aHeaders.Clear();
  auto add = [&aHeaders](std::string_view aName, const std::string& aValue) {
    if (aValue.empty()) return;
    std::string line;
    line.reserve(aName.size() + 2 + aValue.size());
    line.append(aName).append(": ").append(aValue);
    aHeaders.Add(std::move(line));
  };
  aHeaders.Add(std::string(":method: ") + MethodName(aMethod));
  aHeaders.Add(":scheme: https");
  add(":path", aPath);
  add(":authority", aAuthority);
  if (aSource) aHeaders.Add("content-length: " + std::to_string(aSource->Size()));
  add("accept", aRequest.Accept);
  add("accept-charset", aRequest.AcceptCharSet);
  add("accept-encoding", aRequest.AcceptEncoding);
  add("accept-language", aRequest.AcceptLanguage);
  add("cache-control", aRequest.CacheControl);
  if (!aRequest.ContentType.empty())
    add("content-type",
        aRequest.ContentType + (aRequest.CharSet.empty() ? std::string() : "; charset=" + aRequest.CharSet));
  add("connection", aRequest.Connection);
  add("content-disposition", aRequest.ContentDisposition);
  add("content-version", aRequest.ContentVersion);
  if (aRequest.Date > 0) add("date", RFC1123DateGMT(aRequest.Date));
  add("etag", aRequest.ETag);
  if (aRequest.Expires > 0) add("expires", RFC1123DateGMT(aRequest.Expires));
  add("from", aRequest.From);
  if (aRequest.LastModified > 0) add("If-Modified-Since", RFC1123DateGMT(aRequest.LastModified));
  add("referer", aRequest.Referer);
  add("transfer-encoding", aRequest.TransferEncoding);
  add("user-agent", aRequest.UserAgent);
  if (aRequest.BasicAuthentication)
    aHeaders.Add("authorization: Basic " + Base64EncodeText(aRequest.Username + ":" + aRequest.Password, false));
  if (aRequest.BearerAuthentication) aHeaders.Add("authorization: Bearer " + aRequest.BearerToken);
  if (aRequest.HasCookies())
    aHeaders.Add("cookie: " + const_cast<TkfxHTTP2Request&>(aRequest).GetCookiesHeader());
  aHeaders.AddStrings(aRequest.CustomHeaders);
}

size_t BuildHTTP2HeaderFields(Th2Methods aMethod, const std::string& aPath, const std::string& aAuthority,
                              TStream* aSource, const TkfxHTTP2Request& aRequest,
                              std::vector<TkfxHTTP2_TableEntry>& aFields) {
  // The lines above, field by field; "connection" and "transfer-encoding"
  // are connection-specific and never make a field.
  TFieldWriter out(aFields);
  out.Add(":method", MethodName(aMethod));
  out.Add(":scheme", "https");
  out.AddSet(":path", aPath);
  out.AddSet(":authority", aAuthority);
  if (aSource) out.Add("content-length", std::to_string(aSource->Size()));
  out.AddSet("accept", aRequest.Accept);
  out.AddSet("accept-charset", aRequest.AcceptCharSet);
  out.AddSet("accept-encoding", aRequest.AcceptEncoding);
  out.AddSet("accept-language", aRequest.AcceptLanguage);
  out.AddSet("cache-control", aRequest.CacheControl);
  if (!aRequest.ContentType.empty())
    out.AddJoined("content-type", aRequest.ContentType,
                  aRequest.CharSet.empty() ? std::string() : "; charset=" + aRequest.CharSet);
  out.AddSet("content-disposition", aRequest.ContentDisposition);
  out.AddSet("content-version", aRequest.ContentVersion);
  if (aRequest.Date > 0) out.Add("date", RFC1123DateGMT(aRequest.Date));
  out.AddSet("etag", aRequest.ETag);
  if (aRequest.Expires > 0) out.Add("expires", RFC1123DateGMT(aRequest.Expires));
  out.AddSet("from", aRequest.From);
  if (aRequest.LastModified > 0) out.Add("if-modified-since", RFC1123DateGMT(aRequest.LastModified));
  out.AddSet("referer", aRequest.Referer);
  out.AddSet("user-agent", aRequest.UserAgent);
  if (aRequest.BasicAuthentication)
    out.AddJoined("authorization", "Basic ",
                  Base64EncodeText(aRequest.Username + ":" + aRequest.Password, false));
  if (aRequest.BearerAuthentication) out.AddJoined("authorization", "Bearer ", aRequest.BearerToken);
  if (aRequest.HasCookies())
    out.AddJoined("cookie", "", const_cast<TkfxHTTP2Request&>(aRequest).GetCookiesHeader());
  for (const std::string& line : aRequest.CustomHeaders.Lines()) out.AddLine(line);
  return out.Count();
}
