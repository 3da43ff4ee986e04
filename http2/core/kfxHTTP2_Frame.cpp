#include "http2/core/kfxHTTP2_Frame.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

using E = Th2ErrorCodes;

[[noreturn]] void RaiseH2(Th2ErrorCodes aCode, const std::string& aMessage, int32_t aStreamIdentifier = 0,
                          Th2ErrorResponse aResponse = Th2ErrorResponse::h2errGO_AWAY) {
  throw TkfxHTTP2Exception(aCode, aMessage, aResponse, aStreamIdentifier);
}

uint32_t Read32(const uint8_t* aData) {
  return uint32_t{aData[0]} << 24 | uint32_t{aData[1]} << 16 | uint32_t{aData[2]} << 8 | aData[3];
}

void Append32(TIdBytes& aOut, uint32_t aValue) {
  aOut.push_back(static_cast<uint8_t>(aValue >> 24));
  aOut.push_back(static_cast<uint8_t>(aValue >> 16));
  aOut.push_back(static_cast<uint8_t>(aValue >> 8));
  aOut.push_back(static_cast<uint8_t>(aValue));
}

// The padding check shared by DATA, HEADERS and PUSH_PROMISE: the pad length
// octet must be there, and it and the padding must fit the payload together
// with aFixed octets of fields that follow the pad length.
void CheckPadding(std::span<const uint8_t> aBytes, bool aPadded, size_t aFixed) {
  if (!aPadded) return;
  if (aBytes.empty() || size_t{aBytes[0]} + 1 + aFixed > aBytes.size())
    RaiseH2(E::h2erPROTOCOL_ERROR, "Padding Length is invalid.");
}

bool IsDigits(const std::string& aText) {
  return !aText.empty() && std::all_of(aText.begin(), aText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

namespace {
// Writes a 9-octet frame header at aOut.
void PutFrameHeader(uint8_t* aOut, uint32_t aLength, Th2FrameType aType, uint8_t aFlags, int32_t aStreamIdentifier) {
  const uint32_t stream = static_cast<uint32_t>(aStreamIdentifier) & 0x7FFFFFFF;
  aOut[0] = static_cast<uint8_t>(aLength >> 16);
  aOut[1] = static_cast<uint8_t>(aLength >> 8);
  aOut[2] = static_cast<uint8_t>(aLength);
  aOut[3] = static_cast<uint8_t>(aType);
  aOut[4] = aFlags;
  aOut[5] = static_cast<uint8_t>(stream >> 24);
  aOut[6] = static_cast<uint8_t>(stream >> 16);
  aOut[7] = static_cast<uint8_t>(stream >> 8);
  aOut[8] = static_cast<uint8_t>(stream);
}
}  // namespace

void AppendFrameHeader(TIdBytes& aOut, uint32_t aLength, Th2FrameType aType, uint8_t aFlags,
                       int32_t aStreamIdentifier) {
  const size_t at = aOut.size();
  aOut.resize(at + h2FrameHeaderLength);
  PutFrameHeader(aOut.data() + at, aLength, aType, aFlags, aStreamIdentifier);
}

// --- stream identifier counter ---

int32_t TkfxHTTP2_StreamIdentifierCounter::GetNewIdentifier() {
  if (NewStreamIdentifier == 0) {
    NewStreamIdentifier = IsReadingRole(FrameRole) ? 2 : 1;
  } else {
    if (NewStreamIdentifier > h2MaxInt32 - 2)
      RaiseH2(E::h2erREFUSED_STREAM, "Stream identifiers are used up.");
    NewStreamIdentifier += 2;
  }
  return NewStreamIdentifier;
}

// --- base ---

void TkfxHTTP2_Frame_Base::Assign(const TPersistent* Source) {
  if (const auto* frame = dynamic_cast<const TkfxHTTP2_Frame_Base*>(Source)) {
    FrameRole = frame->FrameRole;
    StreamIdentifier = frame->StreamIdentifier;
    FrameLength = frame->FrameLength;
    return;
  }
  TPersistent::Assign(Source);
}

int64_t TkfxHTTP2_Frame_Base::WriteFrame(Th2FrameType aType, uint8_t aLastFlags, uint8_t aFlags,
                                         int32_t aStreamIdentifier, const TIdBytes& aPayload, int64_t aLimit) {
  if (aType != Th2FrameType::h2ftDATA) Offset = 0;
  const int64_t size = static_cast<int64_t>(aPayload.size());
  Offset = std::clamp<int64_t>(Offset, 0, size);
  int64_t remaining = size - Offset;
  TIdBytes out;
  out.reserve(static_cast<size_t>(
      std::min<int64_t>(aLimit > 0 ? std::min(aLimit, remaining) : std::min<int64_t>(remaining, h2DefaultMaxFrameSize),
                        remaining) +
      h2FrameHeaderLength * (remaining / h2DefaultMaxFrameSize + 1)));
  do {
    int64_t chunk = std::min<int64_t>(remaining, h2DefaultMaxFrameSize);
    if (aLimit > 0) {
      chunk = std::min(chunk, aLimit);
      aLimit -= chunk;
    }
    remaining -= chunk;
    AppendFrameHeader(out, static_cast<uint32_t>(chunk), aType, remaining > 0 ? aFlags : aLastFlags,
                      aStreamIdentifier);
    out.insert(out.end(), aPayload.begin() + Offset, aPayload.begin() + Offset + chunk);
    Offset += chunk;
  } while (remaining > 0 && aLimit > 0);
  if (OnWriteBytes) OnWriteBytes(this, out);
  return remaining;
}

void TkfxHTTP2_Frame_Base::WriteSingle(Th2FrameType aType, uint8_t aFlags, int32_t aStreamIdentifier,
                                       const TIdBytes& aPayload) {
  TIdBytes out;
  out.reserve(aPayload.size() + h2FrameHeaderLength);
  AppendFrameHeader(out, static_cast<uint32_t>(aPayload.size()), aType, aFlags, aStreamIdentifier);
  out.insert(out.end(), aPayload.begin(), aPayload.end());
  if (OnWriteBytes) OnWriteBytes(this, out);
}

// --- DATA ---

void TkfxHTTP2_Frame_Data::Assign(const TPersistent* Source) {
  if (const auto* data = dynamic_cast<const TkfxHTTP2_Frame_Data*>(Source)) {
    EndStream = data->EndStream;
    Padded = data->Padded;
    StreamIdentifier = data->StreamIdentifier;
    Data = data->Data;
    return;
  }
  TkfxHTTP2_Frame_Base::Assign(Source);
}

void TkfxHTTP2_Frame_Data::SetStream(TStream* aStream) {
  Data.clear();
  if (!aStream) return;
  aStream->SetPosition(0);
  Data.resize(static_cast<size_t>(aStream->Size()));
  if (!Data.empty()) aStream->ReadBuffer(Data.data(), static_cast<int64_t>(Data.size()));
  EndStream = true;
}

int64_t TkfxHTTP2_Frame_Data::SendData(int64_t aLimit) {
  return WriteFrame(Th2FrameType::h2ftDATA, EndStream ? h2flags::END_STREAM : 0, 0, StreamIdentifier, Data, aLimit);
}

void TkfxHTTP2_Frame_Data::DoClearFlags() {
  EndStream = false;
  Padded = false;
}

void TkfxHTTP2_Frame_Data::DoClear() {
  Data.clear();
  PadLength = 0;
  StreamIdentifierRequest = 0;
}

void TkfxHTTP2_Frame_Data::DoReadFlags(uint8_t aByte) {
  EndStream = aByte & h2flags::END_STREAM;
  Padded = aByte & h2flags::PADDED;
}

void TkfxHTTP2_Frame_Data::DoValidatePayload(std::span<const uint8_t> aBytes) {
  CheckPadding(aBytes, Padded, 0);
}

void TkfxHTTP2_Frame_Data::DoReadPayload(std::span<const uint8_t> aBytes) {
  TkfxHTTP2_Frame_Base::DoReadPayload(aBytes);
  if (Padded) {
    PadLength = aBytes[0];
    Data.assign(aBytes.begin() + 1, aBytes.end() - PadLength);
  } else {
    Data.assign(aBytes.begin(), aBytes.end());
  }
}

void TkfxHTTP2_Frame_Data::DoWriteBytes() {
  if (OnWriteDataFrame) OnWriteDataFrame(this);
}

// --- header block frames ---

TkfxHTTP2_Frame_HPACK_Base::TkfxHTTP2_Frame_HPACK_Base(TkfxHTTP2_HPACK* aHPACK,
                                                       TkfxHTTP2_StreamIdentifierCounter* aStreamIdentifierCounter,
                                                       Th2FrameRole aFrameRole)
    : TkfxHTTP2_Frame_Base(aFrameRole), HPACK(aHPACK) {
  StreamIdentifierCounter = aStreamIdentifierCounter;
}

TStringList& TkfxHTTP2_Frame_HPACK_Base::Headers() {
  if (!FHeaders) FHeaders = std::make_unique<TStringList>();
  return *FHeaders;
}

int32_t TkfxHTTP2_Frame_HPACK_Base::GetNewStreamIdentifier() {
  if (StreamIdentifierCounter) NewStreamIdentifier = StreamIdentifierCounter->GetNewIdentifier();
  return NewStreamIdentifier;
}

std::string TkfxHTTP2_Frame_HPACK_Base::HeaderValue(const std::string& aName) const {
  if (!FHeaders) return {};
  for (const std::string& line : FHeaders->Lines())
    if (line.size() > aName.size() && line[aName.size()] == '=' && line.compare(0, aName.size(), aName) == 0)
      return line.substr(aName.size() + 1);
  return {};
}

void TkfxHTTP2_Frame_HPACK_Base::ParseHeaderLine(std::string_view aLine, TkfxHTTP2_TableEntry& aField) {
  const bool pseudo = !aLine.empty() && aLine[0] == ':';
  size_t end = pseudo ? 1 : 0;
  while (end < aLine.size() && aLine[end] != ':' && static_cast<uint8_t>(aLine[end]) > ' ') ++end;
  // The name in lower case (a pseudo-header keeps its colon).
  aField.Name.assign(aLine.data(), end);
  for (size_t c = pseudo ? 1 : 0; c < aField.Name.size(); ++c)
    if (aField.Name[c] >= 'A' && aField.Name[c] <= 'Z') aField.Name[c] = static_cast<char>(aField.Name[c] + 32);
  const size_t colon = aLine.find(':', 1);
  std::string_view value = colon == std::string_view::npos ? std::string_view() : aLine.substr(colon + 1);
  while (!value.empty() && static_cast<uint8_t>(value.front()) <= ' ') value.remove_prefix(1);
  while (!value.empty() && static_cast<uint8_t>(value.back()) <= ' ') value.remove_suffix(1);
  aField.Value.assign(value);
  aField.Sensitive = false;
}

void TkfxHTTP2_Frame_HPACK_Base::ParseHeaderLines(const TStringList& aHeaders) {
  // The fields are parsed into entries kept from call to call, so that
  // their texts reuse the storage of the previous request's.
  const std::vector<std::string>& lines = aHeaders.Lines();
  if (FFields.size() < lines.size()) FFields.resize(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) ParseHeaderLine(lines[i], FFields[i]);
}

void TkfxHTTP2_Frame_HPACK_Base::EncodeFields(size_t aCount, TIdBytes& aBuffer, size_t aOffset) {
  // The writing codec's table: never larger than the peer allows, back in
  // use once the peer allows a table again, and renewed when nearly full.
  TkfxHTTP2_HPACK& codec = *HPACK;
  const int32_t max = codec.DynamicTableSize();
  const int32_t limit = codec.DynamicTableSizeLimit();
  if (max > limit) {
    codec.SetDynamicTableSize(limit);
  } else if (max == 0 && limit > 0) {
    codec.SetDynamicTableSize(std::min(limit, 4096));
  } else if (static_cast<int64_t>(0.9 * max) < codec.DynamicTableUsedSize()) {
    codec.SetDynamicTableSize(max < limit ? limit : static_cast<int32_t>(0.5 * max));
  }
  struct TForget {
    // Values (credentials among them) do not stay behind in the kept
    // entries once encoded; their storage does.
    std::vector<TkfxHTTP2_TableEntry>& Fields;
    size_t Count;
    ~TForget() {
      for (size_t i = 0; i < Count; ++i) Fields[i].Value.clear();
    }
  } forget{FFields, aCount};
  int used = 0, count = 0;
  codec.Encode(aBuffer, static_cast<int>(aOffset), std::span<const TkfxHTTP2_TableEntry>(FFields.data(), aCount), used,
               count);
}

void TkfxHTTP2_Frame_HPACK_Base::EncodeHeaderList(const TStringList& aHeaders, TIdBytes& aBlock) {
  ParseHeaderLines(aHeaders);
  aBlock.clear();
  EncodeFields(static_cast<size_t>(aHeaders.Count()), aBlock, 0);
}

void TkfxHTTP2_Frame_HPACK_Base::WriteHeaderList(Th2FrameType aType, uint8_t aFlags, int32_t aStreamIdentifier,
                                                 std::span<const uint8_t> aPrefix) {
  // The block is encoded straight after room for the frame header and the
  // prefix; a block that fits one frame is sent from there without a copy.
  size_t count = 0;
  if (FGivenFields) {
    count = std::min(*FGivenFields, FFields.size());
    FGivenFields.reset();
  } else {
    ParseHeaderLines(Headers());
    count = static_cast<size_t>(Headers().Count());
  }
  TIdBytes& out = FOut;
  out.resize(h2FrameHeaderLength + aPrefix.size());
  if (!aPrefix.empty()) std::memcpy(out.data() + h2FrameHeaderLength, aPrefix.data(), aPrefix.size());
  EncodeFields(count, out, out.size());
  const size_t length = out.size() - h2FrameHeaderLength;
  if (length > static_cast<size_t>(h2DefaultMaxFrameSize)) {
    WriteHeaderBlock(aType, aFlags, aStreamIdentifier, {},
                     std::span<const uint8_t>(out.data() + h2FrameHeaderLength, length));
    return;
  }
  PutFrameHeader(out.data(), static_cast<uint32_t>(length), aType, aFlags | h2flags::END_HEADERS, aStreamIdentifier);
  if (OnWriteBytes) OnWriteBytes(this, out);
}

void TkfxHTTP2_Frame_HPACK_Base::WriteHeaderBlock(Th2FrameType aType, uint8_t aFlags, int32_t aStreamIdentifier,
                                                  std::span<const uint8_t> aPrefix, std::span<const uint8_t> aBlock) {
  // The payload is the prefix followed by the block, cut into frames.
  const size_t total = aPrefix.size() + aBlock.size();
  const auto octet = [&](size_t i) { return i < aPrefix.size() ? aPrefix[i] : aBlock[i - aPrefix.size()]; };
  TIdBytes out;
  out.reserve(total + h2FrameHeaderLength * (total / h2DefaultMaxFrameSize + 1));
  size_t sent = 0;
  Th2FrameType type = aType;
  uint8_t flags = aFlags;
  do {
    const size_t chunk = std::min<size_t>(total - sent, h2DefaultMaxFrameSize);
    const bool last = sent + chunk == total;
    AppendFrameHeader(out, static_cast<uint32_t>(chunk), type, flags | (last ? h2flags::END_HEADERS : 0),
                      aStreamIdentifier);
    size_t i = sent;
    for (; i < sent + chunk && i < aPrefix.size(); ++i) out.push_back(octet(i));
    if (i < sent + chunk) {
      const auto from = aBlock.begin() + static_cast<std::ptrdiff_t>(i - aPrefix.size());
      out.insert(out.end(), from, from + static_cast<std::ptrdiff_t>(sent + chunk - i));
    }
    sent += chunk;
    type = Th2FrameType::h2ftCONTINUATION;  // END_STREAM stays on the first frame
    flags = 0;
  } while (sent < total);
  if (OnWriteBytes) OnWriteBytes(this, out);
}

// --- HEADERS ---

void TkfxHTTP2_Frame_Headers::Assign(const TPersistent* Source) {
  if (const auto* headers = dynamic_cast<const TkfxHTTP2_Frame_Headers*>(Source)) {
    EndHeaders = headers->EndHeaders;
    EndStream = headers->EndStream;
    Padded = headers->Padded;
    Priority = headers->Priority;
    return;
  }
  TkfxHTTP2_Frame_Base::Assign(Source);
}

void TkfxHTTP2_Frame_Headers::DoClearFlags() {
  EndHeaders = EndStream = Padded = Priority = false;
}

void TkfxHTTP2_Frame_Headers::DoClear() {
  if (FHeaders) FHeaders->Clear();
  PadLength = StreamDependency = Weight = 0;
}

void TkfxHTTP2_Frame_Headers::DoReadFlags(uint8_t aByte) {
  EndStream = aByte & h2flags::END_STREAM;
  EndHeaders = aByte & h2flags::END_HEADERS;
  Padded = aByte & h2flags::PADDED;
  Priority = aByte & h2flags::PRIORITY;
}

void TkfxHTTP2_Frame_Headers::DoValidatePayload(std::span<const uint8_t> aBytes) {
  CheckPadding(aBytes, Padded, Priority ? 5 : 0);
  if (Priority && aBytes.size() < (Padded ? 6u : 5u))
    RaiseH2(E::h2erPROTOCOL_ERROR, "HEADERS FRAME: Priority fields do not fit the payload.");
}

void TkfxHTTP2_Frame_Headers::DoReadPayload(std::span<const uint8_t> aBytes) {
  TkfxHTTP2_Frame_Base::DoReadPayload(aBytes);
  size_t pos = 0, end = aBytes.size();
  if (Padded) {
    PadLength = aBytes[pos++];
    end -= static_cast<size_t>(PadLength);
  }
  if (Priority) {
    StreamDependency = static_cast<int32_t>(Read32(&aBytes[pos]));
    Weight = aBytes[pos + 4];
    pos += 5;
    if ((StreamDependency & 0x7FFFFFFF) != 0 && (StreamDependency & 0x7FFFFFFF) == StreamIdentifier)
      RaiseH2(E::h2erPROTOCOL_ERROR, "Stream cannot depends on itself.");
  }
  HPACK->Decode(aBytes, static_cast<int>(pos), static_cast<int>(end), Headers());
  if (Trailers)
    CheckTrailerBlock(Headers());
  else
    CheckHeaderBlock(Headers(), FrameRole);
}

void TkfxHTTP2_Frame_Headers::CheckTrailerBlock(const TStringList& aHeaders) {
  for (const std::string& line : aHeaders.Lines())
    if (!line.empty() && line[0] == ':')
      RaiseH2(E::h2erPROTOCOL_ERROR, "PSEUDO-HEADER fields are not allowed in trailers.");
  // The rules for regular fields; a writing role asks for no pseudo-headers.
  CheckHeaderBlock(aHeaders, Th2FrameRole::h2frClientWrite);
}

void TkfxHTTP2_Frame_Headers::DoWriteBytes() {
  if (StreamIdentifier == 0) StreamIdentifier = GetNewStreamIdentifier();
  WriteHeaderList(Th2FrameType::h2ftHEADERS, EndStream ? h2flags::END_STREAM : 0, StreamIdentifier, {});
}

int TkfxHTTP2_Frame_Headers::Status() const {
  const std::string value = Trim(HeaderValue(":status"));
  return IsDigits(value) && value.size() <= 9 ? std::stoi(value) : 0;
}

int64_t TkfxHTTP2_Frame_Headers::ContentLength() const {
  const std::string value = Trim(HeaderValue("content-length"));
  return IsDigits(value) && value.size() <= 18 ? std::stoll(value) : 0;
}

std::string TkfxHTTP2_Frame_Headers::Charset() const {
  const std::string type = ContentType();
  const std::string lower = LowerCase(type);
  const size_t at = lower.find("charset=");
  if (at == std::string::npos) return {};
  std::string value = type.substr(at + 8);
  value = Trim(value.substr(0, value.find(';')));
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
  return value;
}

namespace {
std::string_view TrimView(std::string_view aText) {
  while (!aText.empty() && static_cast<uint8_t>(aText.front()) <= ' ') aText.remove_prefix(1);
  while (!aText.empty() && static_cast<uint8_t>(aText.back()) <= ' ') aText.remove_suffix(1);
  return aText;
}
}  // namespace

void TkfxHTTP2_Frame_Headers::CheckHeaderBlock(const TStringList& aHeaders, Th2FrameRole aFrameRole) {
  // Views into the lines: the check runs for every answer, without copies.
  static constexpr std::string_view kClient[] = {":status"};
  static constexpr std::string_view kServer[] = {":method", ":scheme", ":path", ":authority"};
  bool regular = false;
  std::string_view pseudos[8];
  size_t pseudoCount = 0;
  bool duplicated = false, unknown = false;
  std::span<const std::string_view> allowed;
  if (aFrameRole == Th2FrameRole::h2frClientRead) allowed = kClient;
  if (aFrameRole == Th2FrameRole::h2frServerRead) allowed = kServer;
  for (const std::string& text : aHeaders.Lines()) {
    const std::string_view line = text;
    const bool pseudo = !line.empty() && line[0] == ':';
    const size_t eq = line.find('=', pseudo ? 1 : 0);
    const std::string_view rawName = TrimView(line.substr(pseudo ? 1 : 0, eq == std::string_view::npos ? eq : eq - (pseudo ? 1 : 0)));
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : TrimView(line.substr(eq + 1));
    std::string joined;
    std::string_view name = rawName;
    if (pseudo) {
      joined.reserve(rawName.size() + 1);
      joined.push_back(':');
      joined.append(rawName);
      name = joined;
    }
    if (pseudo && regular)
      RaiseH2(E::h2erPROTOCOL_ERROR, "PSEUDO-HEADERS cannot appear in a Header Block AFTER a REGULAR field.");
    if (!pseudo) {
      regular = true;
      for (const char* connection : h2ConnectionHeaders)
        if (name == connection) RaiseH2(E::h2erPROTOCOL_ERROR, "CONNECTION HEADER fields are not allowed.");
    }
    if (std::any_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
      RaiseH2(E::h2erPROTOCOL_ERROR, "HEADER name cannot contain UPPERCASE letters.");
    if (pseudo) {
      bool valid = true;
      if (name == ":method")
        valid = std::find_if(h2MethodNames.begin(), h2MethodNames.end(),
                             [&](const char* m) { return value == m; }) != h2MethodNames.end();
      else if (name == ":scheme" || name == ":path" || name == ":authority")
        valid = !value.empty();
      else if (name == ":status")
        valid = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
      if (!valid)
        RaiseH2(E::h2erPROTOCOL_ERROR,
                "PSEUDO-HEADER " + std::string(name) + " value \"" + std::string(value) + "\" is invalid.");
      // Names are kept as views into the lines; a pseudo-header is one of
      // a few known names or unknown.
      std::string_view known;
      for (std::string_view candidate : {":method", ":scheme", ":path", ":authority", ":status"})
        if (name == candidate) known = candidate;
      if (known.empty()) {
        unknown = true;
      } else {
        for (size_t i = 0; i < pseudoCount; ++i) duplicated |= pseudos[i] == known;
        if (pseudoCount < std::size(pseudos)) pseudos[pseudoCount++] = known;
        unknown |= std::find(allowed.begin(), allowed.end(), known) == allowed.end();
      }
    } else if (name == "te" && value != "trailers") {
      RaiseH2(E::h2erPROTOCOL_ERROR, "TE HEADER must not contain any value other than \"trailers\".");
    }
  }
  if (allowed.empty()) return;
  for (std::string_view name : allowed)
    if (std::find(pseudos, pseudos + pseudoCount, name) == pseudos + pseudoCount)
      RaiseH2(E::h2erPROTOCOL_ERROR, "PSEUDO-HEADER " + std::string(name) + " not found.");
  if (duplicated) RaiseH2(E::h2erPROTOCOL_ERROR, "PSEUDO-HEADER field cannot be duplicated.");
  if (unknown) RaiseH2(E::h2erPROTOCOL_ERROR, "PSEUDO-HEADER field is Unknown.");
}

// --- PUSH_PROMISE ---

void TkfxHTTP2_Frame_PushPromise::Assign(const TPersistent* Source) {
  if (const auto* promise = dynamic_cast<const TkfxHTTP2_Frame_PushPromise*>(Source)) {
    EndHeaders = promise->EndHeaders;
    Padded = promise->Padded;
    return;
  }
  TkfxHTTP2_Frame_Base::Assign(Source);
}

Th2Methods TkfxHTTP2_Frame_PushPromise::Method() const {
  const std::string value = HeaderValue(":method");
  for (size_t i = 0; i < h2MethodNames.size(); ++i)
    if (value == h2MethodNames[i]) return static_cast<Th2Methods>(i);
  return Th2Methods::h2meHead;
}

void TkfxHTTP2_Frame_PushPromise::DoClearFlags() {
  EndHeaders = Padded = false;
}

void TkfxHTTP2_Frame_PushPromise::DoClear() {
  PadLength = PromisedStreamid = 0;
  if (FHeaders) FHeaders->Clear();
}

void TkfxHTTP2_Frame_PushPromise::DoReadFlags(uint8_t aByte) {
  EndHeaders = aByte & h2flags::END_HEADERS;
  Padded = aByte & h2flags::PADDED;
}

void TkfxHTTP2_Frame_PushPromise::DoValidatePayload(std::span<const uint8_t> aBytes) {
  CheckPadding(aBytes, Padded, 4);
  if (aBytes.size() < (Padded ? 5u : 4u))
    RaiseH2(E::h2erFRAME_SIZE_ERROR, "PUSH PROMISE FRAME: Payload too short for the promised stream.");
}

void TkfxHTTP2_Frame_PushPromise::DoReadPayload(std::span<const uint8_t> aBytes) {
  TkfxHTTP2_Frame_Base::DoReadPayload(aBytes);
  size_t pos = 0, end = aBytes.size();
  if (Padded) {
    PadLength = aBytes[pos++];
    end -= static_cast<size_t>(PadLength);
  }
  PromisedStreamid = static_cast<int32_t>(Read32(&aBytes[pos]) & 0x7FFFFFFF);
  pos += 4;
  HPACK->Decode(aBytes, static_cast<int>(pos), static_cast<int>(end), Headers());
}

void TkfxHTTP2_Frame_PushPromise::DoWriteBytes() {
  PromisedStreamid = 0;
  if (OnRequestPromisedStreamId) OnRequestPromisedStreamId(PromisedStreamid);
  TIdBytes prefix;
  Append32(prefix, static_cast<uint32_t>(PromisedStreamid));
  WriteHeaderList(Th2FrameType::h2ftPUSH_PROMISE, 0, StreamIdentifier, prefix);
}

// --- PRIORITY ---

void TkfxHTTP2_Frame_Priority::Assign(const TPersistent* Source) {
  if (const auto* priority = dynamic_cast<const TkfxHTTP2_Frame_Priority*>(Source)) {
    StreamDependency = priority->StreamDependency;
    Weight = priority->Weight;
    return;
  }
  TkfxHTTP2_Frame_Base::Assign(Source);
}

void TkfxHTTP2_Frame_Priority::DoClear() {
  StreamDependency = Weight = 0;
}

void TkfxHTTP2_Frame_Priority::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (aBytes.size() != 5) RaiseH2(E::h2erFRAME_SIZE_ERROR, "Frame Size Error.", StreamIdentifier);
}

void TkfxHTTP2_Frame_Priority::DoReadPayload(std::span<const uint8_t> aBytes) {
  TkfxHTTP2_Frame_Base::DoReadPayload(aBytes);
  StreamDependency = static_cast<int32_t>(Read32(aBytes.data()));
  Weight = aBytes[4];
}

// --- RST_STREAM ---

void TkfxHTTP2_Frame_RSTStream::Assign(const TPersistent* Source) {
  if (const auto* reset = dynamic_cast<const TkfxHTTP2_Frame_RSTStream*>(Source)) {
    ErrorCode = reset->ErrorCode;
    return;
  }
  TkfxHTTP2_Frame_Base::Assign(Source);
}

void TkfxHTTP2_Frame_RSTStream::DoClear() {
  ErrorCode = 0;
  StreamIdentifier = 0;
}

void TkfxHTTP2_Frame_RSTStream::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (aBytes.size() != 4) RaiseH2(E::h2erFRAME_SIZE_ERROR, "Frame Size Error.", StreamIdentifier);
}

void TkfxHTTP2_Frame_RSTStream::DoReadPayload(std::span<const uint8_t> aBytes) {
  TkfxHTTP2_Frame_Base::DoReadPayload(aBytes);
  ErrorCode = static_cast<int32_t>(Read32(aBytes.data()));
}

void TkfxHTTP2_Frame_RSTStream::DoWriteBytes() {
  TIdBytes payload;
  Append32(payload, static_cast<uint32_t>(ErrorCode));
  WriteSingle(Th2FrameType::h2ftRST_STREAM, 0, StreamIdentifier, payload);
}

// --- SETTINGS ---

void TkfxHTTP2_Frame_Settings::Assign(const TPersistent* Source) {
  if (const auto* settings = dynamic_cast<const TkfxHTTP2_Frame_Settings*>(Source)) {
    ACK = settings->ACK;
    EnableConnectProtocol = settings->EnableConnectProtocol;
    EnablePush = settings->EnablePush;
    HeaderTableSize = settings->HeaderTableSize;
    InitialWindowSize = settings->InitialWindowSize;
    MaxConcurrentStreams = settings->MaxConcurrentStreams;
    MaxFrameSize = settings->MaxFrameSize;
    MaxHeaderListSize = settings->MaxHeaderListSize;
    Carried = settings->Carried;
    return;
  }
  TkfxHTTP2_Frame_Base::Assign(Source);
}

void TkfxHTTP2_Frame_Settings::AssignCarried(const TkfxHTTP2_Frame_Settings& aReceived) {
  using S = Th2SettingsIdentifier;
  if (aReceived.Carries(S::h2siHeaderTableSize)) HeaderTableSize = aReceived.HeaderTableSize;
  if (aReceived.Carries(S::h2siEnablePush)) EnablePush = aReceived.EnablePush;
  if (aReceived.Carries(S::h2siMaxConcurrentStreams)) MaxConcurrentStreams = aReceived.MaxConcurrentStreams;
  if (aReceived.Carries(S::h2siInitialWindowSize)) InitialWindowSize = aReceived.InitialWindowSize;
  if (aReceived.Carries(S::h2siMaxFrameSize)) MaxFrameSize = aReceived.MaxFrameSize;
  if (aReceived.Carries(S::h2siMaxHeaderListSize)) MaxHeaderListSize = aReceived.MaxHeaderListSize;
  if (aReceived.Carries(S::h2siEnableConnectProtocol)) EnableConnectProtocol = aReceived.EnableConnectProtocol;
  Carried |= aReceived.Carried;
}

void TkfxHTTP2_Frame_Settings::DoClear() {
  HeaderTableSize = 4096;
  EnablePush = true;
  MaxConcurrentStreams = h2MaxInt32;
  InitialWindowSize = 65535;
  MaxFrameSize = 16384;
  MaxHeaderListSize = h2MaxInt32;
  EnableConnectProtocol = false;
  Carried = 0;
}

void TkfxHTTP2_Frame_Settings::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (ACK && !aBytes.empty())
    RaiseH2(E::h2erFRAME_SIZE_ERROR, "When Settings FRAME has ACK enabled, payload must be empty.");
  if (aBytes.size() % 6 != 0)
    RaiseH2(E::h2erFRAME_SIZE_ERROR, "SETTINGS FRAME: Payload must be multiple of 6 octets.");
}

void TkfxHTTP2_Frame_Settings::DoReadPayload(std::span<const uint8_t> aBytes) {
  TkfxHTTP2_Frame_Base::DoReadPayload(aBytes);
  // Sizes and counts the 32-bit fields cannot hold mean "as many as you like".
  auto clamp = [](uint32_t v) { return static_cast<int32_t>(std::min<uint32_t>(v, h2MaxInt32)); };
  for (size_t pos = 0; pos + 6 <= aBytes.size(); pos += 6) {
    const int id = aBytes[pos] << 8 | aBytes[pos + 1];
    const uint32_t value = Read32(&aBytes[pos + 2]);
    switch (id) {
      case 1: HeaderTableSize = clamp(value); break;
      case 2:
        if (value > 1) RaiseH2(E::h2erPROTOCOL_ERROR, "Invalid value Enable Push");
        EnablePush = value == 1;
        break;
      case 3: MaxConcurrentStreams = clamp(value); break;
      case 4:
        if (value > static_cast<uint32_t>(h2MaxInt32))
          RaiseH2(E::h2erFLOW_CONTROL_ERROR, "Invalid Initial Window Size");
        InitialWindowSize = static_cast<int32_t>(value);
        break;
      case 5:
        if (value < 16384 || value > 16777215) RaiseH2(E::h2erPROTOCOL_ERROR, "Invalid Max Frame Size");
        MaxFrameSize = static_cast<int32_t>(value);
        break;
      case 6: MaxHeaderListSize = clamp(value); break;
      case 8: EnableConnectProtocol = (value & 0xFF) != 0; break;
      default: continue;  // unknown identifiers are ignored
    }
    Carried |= 1u << id;
  }
}

void TkfxHTTP2_Frame_Settings::DoWriteBytes() {
  TIdBytes payload;
  if (!ACK) {
    auto entry = [&payload](int aId, uint32_t aValue) {
      payload.push_back(static_cast<uint8_t>(aId >> 8));
      payload.push_back(static_cast<uint8_t>(aId));
      Append32(payload, aValue);
    };
    if (HeaderTableSize != 4096) entry(1, static_cast<uint32_t>(HeaderTableSize));
    if (!EnablePush) entry(2, 0);
    if (MaxConcurrentStreams != h2MaxInt32) entry(3, static_cast<uint32_t>(MaxConcurrentStreams));
    if (InitialWindowSize != 65535) entry(4, static_cast<uint32_t>(InitialWindowSize));
    if (MaxFrameSize != 16384) entry(5, static_cast<uint32_t>(MaxFrameSize));
    if (MaxHeaderListSize != h2MaxInt32) entry(6, static_cast<uint32_t>(MaxHeaderListSize));
    if (EnableConnectProtocol) entry(8, 1);
  }
  WriteSingle(Th2FrameType::h2ftSETTINGS, ACK ? h2flags::ACK : 0, 0, payload);
}

// --- PING ---

void TkfxHTTP2_Frame_Ping::Assign(const TPersistent* Source) {
  if (const auto* ping = dynamic_cast<const TkfxHTTP2_Frame_Ping*>(Source)) {
    ACK = ping->ACK;
    return;
  }
  TkfxHTTP2_Frame_Base::Assign(Source);
}

void TkfxHTTP2_Frame_Ping::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (aBytes.size() != 8) RaiseH2(E::h2erFRAME_SIZE_ERROR, "Invalid Ping Frame Payload.");
}

void TkfxHTTP2_Frame_Ping::DoReadPayload(std::span<const uint8_t> aBytes) {
  TkfxHTTP2_Frame_Base::DoReadPayload(aBytes);
  PayLoad.assign(aBytes.begin(), aBytes.end());
}

void TkfxHTTP2_Frame_Ping::DoWriteBytes() {
  TIdBytes payload = PayLoad;
  payload.resize(8, 0);
  WriteSingle(Th2FrameType::h2ftPING, ACK ? h2flags::ACK : 0, 0, payload);
}

// --- GOAWAY ---

void TkfxHTTP2_Frame_GoAway::Assign(const TPersistent* Source) {
  if (const auto* away = dynamic_cast<const TkfxHTTP2_Frame_GoAway*>(Source)) {
    AdditionalDebugData = away->AdditionalDebugData;
    ErrorCode = away->ErrorCode;
    LastStreamid = away->LastStreamid;
    return;
  }
  TkfxHTTP2_Frame_Base::Assign(Source);
}

void TkfxHTTP2_Frame_GoAway::DoClear() {
  AdditionalDebugData.clear();
  ErrorCode = LastStreamid = 0;
}

void TkfxHTTP2_Frame_GoAway::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (aBytes.size() < 8) RaiseH2(E::h2erFRAME_SIZE_ERROR, "GO AWAY FRAME: Payload must be at least 8 octets.");
}

void TkfxHTTP2_Frame_GoAway::DoReadPayload(std::span<const uint8_t> aBytes) {
  TkfxHTTP2_Frame_Base::DoReadPayload(aBytes);
  LastStreamid = static_cast<int32_t>(Read32(aBytes.data()));
  ErrorCode = static_cast<int32_t>(Read32(aBytes.data() + 4));
  AdditionalDebugData.assign(aBytes.begin() + 8, aBytes.end());
}

void TkfxHTTP2_Frame_GoAway::DoWriteBytes() {
  TIdBytes payload;
  Append32(payload, static_cast<uint32_t>(LastStreamid));
  Append32(payload, static_cast<uint32_t>(ErrorCode));
  // The debug text is cut to what one frame of the smallest size holds.
  payload.insert(payload.end(), AdditionalDebugData.begin(),
                 AdditionalDebugData.begin() +
                     static_cast<std::ptrdiff_t>(std::min<size_t>(AdditionalDebugData.size(), h2DefaultMaxFrameSize - 8)));
  WriteSingle(Th2FrameType::h2ftGOAWAY, 0, 0, payload);
}

// --- WINDOW_UPDATE ---

void TkfxHTTP2_Frame_WindowUpdate::Assign(const TPersistent* Source) {
  if (const auto* update = dynamic_cast<const TkfxHTTP2_Frame_WindowUpdate*>(Source)) {
    WindowSizeIncrement = update->WindowSizeIncrement;
    return;
  }
  TkfxHTTP2_Frame_Base::Assign(Source);
}

void TkfxHTTP2_Frame_WindowUpdate::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (aBytes.size() % 4 != 0)
    RaiseH2(E::h2erFRAME_SIZE_ERROR, "WINDOW UPDATE FRAME: Payload must be multiple of 4 octets.");
  if (aBytes.size() != 4) RaiseH2(E::h2erFRAME_SIZE_ERROR, "WINDOW UPDATE FRAME: Payload must be 4 octets.");
  // The reserved bit is ignored.
  if ((Read32(aBytes.data()) & 0x7FFFFFFF) == 0)
    RaiseH2(E::h2erPROTOCOL_ERROR, "WINDOW UPDATE FRAME: WindowSizeIncrement value must be between 1 and 2^30");
}

void TkfxHTTP2_Frame_WindowUpdate::DoReadPayload(std::span<const uint8_t> aBytes) {
  TkfxHTTP2_Frame_Base::DoReadPayload(aBytes);
  WindowSizeIncrement = static_cast<int32_t>(Read32(aBytes.data()) & 0x7FFFFFFF);
}

void TkfxHTTP2_Frame_WindowUpdate::DoWriteBytes() {
  TIdBytes payload;
  Append32(payload, static_cast<uint32_t>(WindowSizeIncrement));
  WriteSingle(Th2FrameType::h2ftWINDOW_UPDATE, 0, StreamIdentifier, payload);
}

// --- CONTINUATION ---

void TkfxHTTP2_Frame_Continuation::Assign(const TPersistent* Source) {
  if (const auto* continuation = dynamic_cast<const TkfxHTTP2_Frame_Continuation*>(Source)) {
    EndHeaders = continuation->EndHeaders;
    return;
  }
  TkfxHTTP2_Frame_Base::Assign(Source);
}

void TkfxHTTP2_Frame_Continuation::DoReadPayload(std::span<const uint8_t> aBytes) {
  TkfxHTTP2_Frame_Base::DoReadPayload(aBytes);
  PayLoad.assign(aBytes.begin(), aBytes.end());
}
