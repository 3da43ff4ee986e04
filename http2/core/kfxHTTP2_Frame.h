// HTTP/2 frame objects: one class per frame type that reads its flags and
// payload from the wire and writes itself back as one or more frames; the
// stream identifier counter; header-block encoding and the header block
// checks of received HEADERS.
//
// Received payloads are validated before they are parsed: no read looks past
// the payload it was given. Errors are TkfxHTTP2Exception with the HTTP/2
// error code to report (GOAWAY unless stated otherwise); HPACK errors pass
// through unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "http2/core/kfxHTTP2_Classes.h"
#include "http2/core/kfxHTTP2_HPACK.h"
#include "http2/core/kfxHTTP2_Types.h"
#include "rtl/Classes.h"
#include "rtl/StringList.h"
#include "rtl/Streams.h"

// Sender and the octets to send.
using TkfxHTTP2WriteBytesEvent = std::function<void(TObject* Sender, const TIdBytes& aBytes)>;
using TkfxHTTP2NotifyEvent = std::function<void(TObject* Sender)>;
using TkfxHTTP2RequestStreamIdEvent = std::function<void(int32_t& aStreamIdentifier)>;

// Hands out new stream identifiers: 1, 3, 5 ... for writing roles, 2, 4, 6 ...
// for reading roles.
class TkfxHTTP2_StreamIdentifierCounter : public TObject {
 public:
  explicit TkfxHTTP2_StreamIdentifierCounter(Th2FrameRole aFrameRole) : FrameRole(aFrameRole) {}
  // The next identifier; raises once the 31-bit space is used up.
  int32_t GetNewIdentifier();
  int32_t LastStreamIdentifier() const { return NewStreamIdentifier; }

  int32_t NewStreamIdentifier = 0;
  Th2FrameRole FrameRole;
};

class TkfxHTTP2_Frame_Base : public TPersistent {
 public:
  explicit TkfxHTTP2_Frame_Base(Th2FrameRole aFrameRole) : FrameRole(aFrameRole) {}

  // Same class: the fields each type names; another frame object: role,
  // stream identifier and frame length.
  void Assign(const TPersistent* Source) override;
  virtual Th2FrameType FrameType() const = 0;

  // Writes aPayload from Offset as frames of at most 16384 octets: one frame
  // without a limit (aLimit <= 0), otherwise as many as aLimit octets allow.
  // aFlags go on every frame but the one that leaves nothing, which gets
  // aLastFlags. All frames go out in one OnWriteBytes call. Result: payload
  // octets still unwritten. Only DATA keeps Offset between calls.
  virtual int64_t WriteFrame(Th2FrameType aType, uint8_t aLastFlags, uint8_t aFlags,
                             int32_t aStreamIdentifier, const TIdBytes& aPayload, int64_t aLimit);

  void ClearFlags() { DoClearFlags(); }
  void Clear() { DoClear(); }
  void ReadFlags(uint8_t aByte) {
    ClearFlags();
    DoReadFlags(aByte);
  }
  void ReadPayload(std::span<const uint8_t> aBytes) {
    Clear();
    DoReadPayload(aBytes);
  }
  void ValidatePayload(std::span<const uint8_t> aBytes) { DoValidatePayload(aBytes); }
  void WriteBytes() { DoWriteBytes(); }

  int64_t Offset = 0;
  TkfxHTTP2_StreamIdentifierCounter* StreamIdentifierCounter = nullptr;  // not owned
  int32_t FrameLength = 0;
  Th2FrameRole FrameRole;
  int32_t StreamIdentifier = 0;
  TkfxHTTP2WriteBytesEvent OnWriteBytes;

 protected:
  virtual void DoClearFlags() {}
  virtual void DoClear() {}
  virtual void DoReadFlags(uint8_t) {}
  // Validates, then parses; subclasses call this first.
  virtual void DoReadPayload(std::span<const uint8_t> aBytes) { DoValidatePayload(aBytes); }
  virtual void DoValidatePayload(std::span<const uint8_t>) {}
  virtual void DoWriteBytes() {}
  // Writes one complete frame with aPayload, in one OnWriteBytes call.
  void WriteSingle(Th2FrameType aType, uint8_t aFlags, int32_t aStreamIdentifier, const TIdBytes& aPayload);
};

class TkfxHTTP2_Frame_Data : public TkfxHTTP2_Frame_Base {
 public:
  using TkfxHTTP2_Frame_Base::TkfxHTTP2_Frame_Base;
  void Assign(const TPersistent* Source) override;
  Th2FrameType FrameType() const override { return Th2FrameType::h2ftDATA; }

  std::string DataString() const { return std::string(Data.begin(), Data.end()); }
  // Empties Data; with a stream, Data takes its whole content and EndStream is set.
  void SetStream(TStream* aStream);
  // Sends from Offset within aLimit octets (the queue's window); result:
  // payload octets still unwritten. END_STREAM goes on the frame that
  // carries the last octet. Written frames carry no padding.
  int64_t SendData(int64_t aLimit);

  TIdBytes Data;
  bool EndStream = false;
  bool Padded = false;
  int32_t PadLength = 0;
  int32_t StreamIdentifierRequest = 0;
  TkfxHTTP2NotifyEvent OnWriteDataFrame;

 protected:
  void DoClearFlags() override;
  void DoClear() override;
  void DoReadFlags(uint8_t aByte) override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;
};

// HEADERS and PUSH_PROMISE: frames that carry a header block.
class TkfxHTTP2_Frame_HPACK_Base : public TkfxHTTP2_Frame_Base {
 public:
  TkfxHTTP2_Frame_HPACK_Base(TkfxHTTP2_HPACK* aHPACK, TkfxHTTP2_StreamIdentifierCounter* aStreamIdentifierCounter,
                             Th2FrameRole aFrameRole);

  // Header lines ("name: value", pseudo-headers with a leading colon) to a
  // header block, with the table size policy of the writing codec.
  void EncodeHeaderList(const TStringList& aHeaders, TIdBytes& aBlock);
  int32_t GetNewStreamIdentifier();
  // "name=value" lines read, or "name: value" lines to write; created on first use.
  TStringList& Headers();
  bool HasHeaders() const { return FHeaders != nullptr; }
  // The fields to write given as entries instead of as lines: the next
  // write encodes the first aCount entries of Fields() and leaves Headers()
  // alone. The entries keep their storage from write to write; their values
  // are cleared once encoded.
  std::vector<TkfxHTTP2_TableEntry>& Fields() { return FFields; }
  void UseFields(size_t aCount) { FGivenFields = aCount; }
  // A header line as the writer reads it into a field: the name is the first
  // token (up to a colon, blank or control character, a pseudo-header keeping
  // its leading colon) in lower case, the value the text after the first
  // colon from the second character on, without surrounding blanks and
  // control characters.
  static void ParseHeaderLine(std::string_view aLine, TkfxHTTP2_TableEntry& aField);

  int32_t NewStreamIdentifier = 0;
  TkfxHTTP2_HPACK* HPACK;  // the owning handler's codec

 protected:
  // Encodes Headers() and writes aPrefix and the block as a frame of aType
  // followed by CONTINUATION frames as needed, END_HEADERS on the last one,
  // all in one OnWriteBytes call.
  void WriteHeaderList(Th2FrameType aType, uint8_t aFlags, int32_t aStreamIdentifier, std::span<const uint8_t> aPrefix);
  // The same for a payload given as aPrefix followed by aBlock.
  void WriteHeaderBlock(Th2FrameType aType, uint8_t aFlags, int32_t aStreamIdentifier, std::span<const uint8_t> aPrefix,
                        std::span<const uint8_t> aBlock);
  // The value of the first line named aName ("" when absent).
  std::string HeaderValue(const std::string& aName) const;

  std::unique_ptr<TStringList> FHeaders;

 private:
  // Header lines to the first aHeaders.Count() entries of FFields.
  void ParseHeaderLines(const TStringList& aHeaders);
  // Applies the table size policy and encodes the first aCount entries of
  // FFields into aBuffer from aOffset.
  void EncodeFields(size_t aCount, TIdBytes& aBuffer, size_t aOffset);
  std::vector<TkfxHTTP2_TableEntry> FFields;  // reused from block to block
  std::optional<size_t> FGivenFields;         // UseFields for the next write
  TIdBytes FOut;                              // the frames of the last block written
};

class TkfxHTTP2_Frame_Headers : public TkfxHTTP2_Frame_HPACK_Base {
 public:
  using TkfxHTTP2_Frame_HPACK_Base::TkfxHTTP2_Frame_HPACK_Base;
  void Assign(const TPersistent* Source) override;
  Th2FrameType FrameType() const override { return Th2FrameType::h2ftHEADERS; }

  // Raises the first rule a decoded header list breaks for aFrameRole.
  static void CheckHeaderBlock(const TStringList& aHeaders, Th2FrameRole aFrameRole);
  // The same for a trailer block: regular fields only.
  static void CheckTrailerBlock(const TStringList& aHeaders);

  int Status() const;
  std::string Location() const { return HeaderValue("location"); }
  std::string ContentType() const { return HeaderValue("content-type"); }
  std::string Charset() const;
  std::string Method() const { return HeaderValue(":method"); }
  int64_t ContentLength() const;

  bool EndHeaders = false;
  bool EndStream = false;
  bool Padded = false;
  bool Priority = false;
  int32_t PadLength = 0;
  int32_t StreamDependency = 0;
  int32_t Weight = 0;
  // The block follows the stream's complete header block: it is the
  // trailer part and is checked as such. Set by the reading handler before
  // the payload is read; not copied by Assign.
  bool Trailers = false;

 protected:
  void DoClearFlags() override;
  void DoClear() override;
  void DoReadFlags(uint8_t aByte) override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;
};

class TkfxHTTP2_Frame_PushPromise : public TkfxHTTP2_Frame_HPACK_Base {
 public:
  using TkfxHTTP2_Frame_HPACK_Base::TkfxHTTP2_Frame_HPACK_Base;
  void Assign(const TPersistent* Source) override;
  Th2FrameType FrameType() const override { return Th2FrameType::h2ftPUSH_PROMISE; }

  std::string URL() const { return HeaderValue(":path"); }
  Th2Methods Method() const;

  bool EndHeaders = false;
  bool Padded = false;
  int32_t PadLength = 0;
  int32_t PromisedStreamid = 0;
  TkfxHTTP2RequestStreamIdEvent OnRequestPromisedStreamId;

 protected:
  void DoClearFlags() override;
  void DoClear() override;
  void DoReadFlags(uint8_t aByte) override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;
};

class TkfxHTTP2_Frame_Priority : public TkfxHTTP2_Frame_Base {
 public:
  using TkfxHTTP2_Frame_Base::TkfxHTTP2_Frame_Base;
  void Assign(const TPersistent* Source) override;
  Th2FrameType FrameType() const override { return Th2FrameType::h2ftPRIORITY; }

  int32_t StreamDependency = 0;
  int32_t Weight = 0;

 protected:
  void DoClear() override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
};

class TkfxHTTP2_Frame_RSTStream : public TkfxHTTP2_Frame_Base {
 public:
  using TkfxHTTP2_Frame_Base::TkfxHTTP2_Frame_Base;
  void Assign(const TPersistent* Source) override;
  Th2FrameType FrameType() const override { return Th2FrameType::h2ftRST_STREAM; }

  int32_t ErrorCode = 0;
  // The stream to reset when writing. It hides the base field on purpose: a
  // received frame's stream is in TkfxHTTP2_Frame_Base::StreamIdentifier.
  int32_t StreamIdentifier = 0;

 protected:
  void DoClear() override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;
};

// SETTINGS identifiers.
enum class Th2SettingsIdentifier : uint16_t {
  h2siHeaderTableSize = 1, h2siEnablePush = 2, h2siMaxConcurrentStreams = 3, h2siInitialWindowSize = 4,
  h2siMaxFrameSize = 5, h2siMaxHeaderListSize = 6, h2siEnableConnectProtocol = 8
};

class TkfxHTTP2_Frame_Settings : public TkfxHTTP2_Frame_Base {
 public:
  using TkfxHTTP2_Frame_Base::TkfxHTTP2_Frame_Base;
  void Assign(const TPersistent* Source) override;
  Th2FrameType FrameType() const override { return Th2FrameType::h2ftSETTINGS; }

  // Whether the last frame read carried the setting; a peer's SETTINGS
  // changes only the values it carries.
  bool Carries(Th2SettingsIdentifier aIdentifier) const { return (Carried >> static_cast<int>(aIdentifier)) & 1; }
  // Takes only the values aReceived carried (and none of its ACK flag).
  void AssignCarried(const TkfxHTTP2_Frame_Settings& aReceived);

  bool ACK = false;
  bool EnableConnectProtocol = false;
  bool EnablePush = true;
  int32_t HeaderTableSize = 4096;
  int32_t InitialWindowSize = 65535;
  int32_t MaxConcurrentStreams = h2MaxInt32;
  int32_t MaxFrameSize = 16384;
  int32_t MaxHeaderListSize = h2MaxInt32;
  uint32_t Carried = 0;  // bit n: identifier n was in the payload

 protected:
  void DoClearFlags() override { ACK = false; }
  void DoClear() override;
  void DoReadFlags(uint8_t aByte) override { ACK = aByte & h2flags::ACK; }
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;
};

class TkfxHTTP2_Frame_Ping : public TkfxHTTP2_Frame_Base {
 public:
  explicit TkfxHTTP2_Frame_Ping(Th2FrameRole aFrameRole) : TkfxHTTP2_Frame_Base(aFrameRole), PayLoad(8, 0) {}
  void Assign(const TPersistent* Source) override;
  Th2FrameType FrameType() const override { return Th2FrameType::h2ftPING; }

  bool ACK = false;
  TIdBytes PayLoad;  // 8 octets

 protected:
  void DoClearFlags() override { ACK = false; }
  void DoClear() override { PayLoad.assign(8, 0); }
  void DoReadFlags(uint8_t aByte) override { ACK = aByte & h2flags::ACK; }
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;
};

class TkfxHTTP2_Frame_GoAway : public TkfxHTTP2_Frame_Base {
 public:
  using TkfxHTTP2_Frame_Base::TkfxHTTP2_Frame_Base;
  void Assign(const TPersistent* Source) override;
  Th2FrameType FrameType() const override { return Th2FrameType::h2ftGOAWAY; }

  std::string AdditionalDebugData;
  int32_t ErrorCode = 0;
  int32_t LastStreamid = 0;

 protected:
  void DoClear() override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;
};

class TkfxHTTP2_Frame_WindowUpdate : public TkfxHTTP2_Frame_Base {
 public:
  using TkfxHTTP2_Frame_Base::TkfxHTTP2_Frame_Base;
  void Assign(const TPersistent* Source) override;
  Th2FrameType FrameType() const override { return Th2FrameType::h2ftWINDOW_UPDATE; }

  int32_t WindowSizeIncrement = 0;

 protected:
  void DoClear() override { WindowSizeIncrement = 0; }
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;
};

class TkfxHTTP2_Frame_Continuation : public TkfxHTTP2_Frame_Base {
 public:
  using TkfxHTTP2_Frame_Base::TkfxHTTP2_Frame_Base;
  void Assign(const TPersistent* Source) override;
  Th2FrameType FrameType() const override { return Th2FrameType::h2ftCONTINUATION; }

  bool EndHeaders = false;
  TIdBytes PayLoad;

 protected:
  void DoClearFlags() override { EndHeaders = false; }
  void DoClear() override { PayLoad.clear(); }
  void DoReadFlags(uint8_t aByte) override { EndHeaders = aByte & h2flags::END_HEADERS; }
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
};

// Appends a 9-octet frame header.
void AppendFrameHeader(TIdBytes& aOut, uint32_t aLength, Th2FrameType aType, uint8_t aFlags,
                       int32_t aStreamIdentifier);
