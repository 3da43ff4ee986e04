#include "http2/core/kfxHTTP2_Frame_Handler.h"

#include <algorithm>

namespace {

using FT = Th2FrameType;
using E = Th2ErrorCodes;
using FD = Th2FragmentedData;

[[noreturn]] void RaiseH2(E aCode, const std::string& aMessage, int32_t aStreamIdentifier = 0,
                          Th2ErrorResponse aResponse = Th2ErrorResponse::h2errGO_AWAY) {
  throw TkfxHTTP2Exception(aCode, aMessage, aResponse, aStreamIdentifier);
}

// Receive windows are topped up by this much once half of it is used.
constexpr int64_t kWindowIncrement = 65535;

// The octets of a padded DATA, HEADERS or PUSH_PROMISE payload between the
// pad length octet and the padding (the payload is validated before).
std::span<const uint8_t> WithoutPadding(std::span<const uint8_t> aPayload, bool aPadded) {
  if (!aPadded) return aPayload;
  return aPayload.subspan(1, aPayload.size() - 1 - aPayload[0]);
}

}  // namespace

TkfxHTTP2_Frame::TkfxHTTP2_Frame() = default;
TkfxHTTP2_Frame::~TkfxHTTP2_Frame() = default;

// --- owned objects ---

void TkfxHTTP2_Frame::SetFrameRole(Th2FrameRole aValue) {
  FFrameRole = aValue;
  for (TkfxHTTP2_Frame_Base* frame : std::initializer_list<TkfxHTTP2_Frame_Base*>{
           FFrame_Continuation.get(), FFrame_Data.get(), FFrame_GoAway.get(), FFrame_Headers.get(),
           FFrame_Ping.get(), FFrame_Priority.get(), FFrame_PushPromise.get(), FFrame_RSTStream.get(),
           FFrame_Settings.get(), FFrame_WindowUpdate.get()})
    if (frame) frame->FrameRole = aValue;
  if (FStreamIdentifierCounter) FStreamIdentifierCounter->FrameRole = aValue;
}

template <class T>
T& TkfxHTTP2_Frame::Working(std::unique_ptr<T>& aSlot) {
  if (!aSlot) {
    if constexpr (std::is_base_of_v<TkfxHTTP2_Frame_HPACK_Base, T>)
      aSlot = std::make_unique<T>(&HPACK(), &StreamIdentifierCounter(), FFrameRole);
    else
      aSlot = std::make_unique<T>(FFrameRole);
    aSlot->OnWriteBytes = [this](TObject* aSender, const TIdBytes& aBytes) { DoWriteBytes(aSender, aBytes); };
    if constexpr (std::is_same_v<T, TkfxHTTP2_Frame_Data>)
      aSlot->OnWriteDataFrame = [this](TObject* aFrame) { DoWriteDataFrame(aFrame); };
  }
  return *aSlot;
}

TkfxHTTP2_Frame_Continuation& TkfxHTTP2_Frame::Frame_Continuation() { return Working(FFrame_Continuation); }
TkfxHTTP2_Frame_Data& TkfxHTTP2_Frame::Frame_Data() { return Working(FFrame_Data); }
TkfxHTTP2_Frame_GoAway& TkfxHTTP2_Frame::Frame_GoAway() { return Working(FFrame_GoAway); }
TkfxHTTP2_Frame_Headers& TkfxHTTP2_Frame::Frame_Headers() { return Working(FFrame_Headers); }
TkfxHTTP2_Frame_Ping& TkfxHTTP2_Frame::Frame_Ping() { return Working(FFrame_Ping); }
TkfxHTTP2_Frame_Priority& TkfxHTTP2_Frame::Frame_Priority() { return Working(FFrame_Priority); }
TkfxHTTP2_Frame_PushPromise& TkfxHTTP2_Frame::Frame_PushPromise() { return Working(FFrame_PushPromise); }
TkfxHTTP2_Frame_RSTStream& TkfxHTTP2_Frame::Frame_RSTStream() { return Working(FFrame_RSTStream); }
TkfxHTTP2_Frame_Settings& TkfxHTTP2_Frame::Frame_Settings() { return Working(FFrame_Settings); }
TkfxHTTP2_Frame_WindowUpdate& TkfxHTTP2_Frame::Frame_WindowUpdate() { return Working(FFrame_WindowUpdate); }

TkfxHTTP2_HPACK& TkfxHTTP2_Frame::HPACK() {
  if (!FHPACK) FHPACK = std::make_unique<TkfxHTTP2_HPACK>();
  return *FHPACK;
}

TkfxHTTP2_StreamIdentifierCounter& TkfxHTTP2_Frame::StreamIdentifierCounter() {
  if (!FStreamIdentifierCounter) FStreamIdentifierCounter = std::make_unique<TkfxHTTP2_StreamIdentifierCounter>(FFrameRole);
  return *FStreamIdentifierCounter;
}

TkfxHTTP2_StreamResponses& TkfxHTTP2_Frame::Streams() {
  if (!FStreams) FStreams = std::make_unique<TkfxHTTP2_StreamResponses>();
  return *FStreams;
}

TkfxHTTP2_Write_Data_Frames& TkfxHTTP2_Frame::WriteDataFrames() {
  if (!FWriteDataFrames) FWriteDataFrames = std::make_unique<TkfxHTTP2_Write_Data_Frames>();
  return *FWriteDataFrames;
}

TkfxHTTP2_Read_Stream_Frames& TkfxHTTP2_Frame::ReadStreamFrames() {
  if (!FReadStreamFrames) FReadStreamFrames = std::make_unique<TkfxHTTP2_Read_Stream_Frames>();
  return *FReadStreamFrames;
}

// --- writer-side operations ---

void TkfxHTTP2_Frame::WriteBytes() {
  switch (FrameType) {
    case FT::h2ftHEADERS: Frame_Headers().WriteBytes(); break;
    case FT::h2ftRST_STREAM: Frame_RSTStream().WriteBytes(); break;
    case FT::h2ftPING: Frame_Ping().WriteBytes(); break;
    case FT::h2ftGOAWAY: Frame_GoAway().WriteBytes(); break;
    default: break;
  }
}

TkfxHTTP2_StreamResponse* TkfxHTTP2_Frame::AddStreamRequest(int32_t aStreamIdentifier, Th2Methods aMethod,
                                                            void* aUserData) {
  FMaxRequestStream = std::max(FMaxRequestStream, aStreamIdentifier);
  return Streams().AddRequest(aStreamIdentifier, aMethod, aUserData);
}

TkfxHTTP2_StreamResponse* TkfxHTTP2_Frame::GetStreamResponse(int32_t aStreamIdentifier) {
  return Streams().GetStream(aStreamIdentifier);
}

void TkfxHTTP2_Frame::DeleteStreamRequest(int32_t aStreamIdentifier) {
  if (aStreamIdentifier != 0) Streams().DeleteStream(aStreamIdentifier);
}

void TkfxHTTP2_Frame::DeleteReadStreamFrame(const TkfxHTTP2_StreamFrameKey& aKey) {
  ReadStreamFrames().DeleteFrame(aKey);
}

void TkfxHTTP2_Frame::ReleaseStream(int32_t aStreamIdentifier) {
  DeleteReadStreamFrame({aStreamIdentifier, FT::h2ftHEADERS});
  DeleteReadStreamFrame({aStreamIdentifier, FT::h2ftDATA});
  DeleteStreamRequest(aStreamIdentifier);
}

void TkfxHTTP2_Frame::SetWriteDataFramesInitialWindowSize(int32_t aValue) {
  WriteDataFrames().SetInitialWindowSize(aValue);
}

void TkfxHTTP2_Frame::SetWriteDataFramesWindowSize(int32_t aStreamIdentifier, int32_t aWindowSizeIncrement) {
  if (!WriteDataFrames().ApplyWindowUpdate(aStreamIdentifier, aWindowSizeIncrement)) return;
  if (aStreamIdentifier <= 0)
    WriteDataFrames().SendPendingFrames();
  else
    WriteDataFrames().SendStreamFrame(aStreamIdentifier);
}

void TkfxHTTP2_Frame::DoWriteBytes(TObject*, const TIdBytes& aBytes) {
  if (OnWriteBytes) OnWriteBytes(this, aBytes);
}

void TkfxHTTP2_Frame::DoWriteDataFrame(TObject* aFrame) {
  // The stream window is the peer's initial window, which the queue holds.
  WriteDataFrames().AddFrame(*static_cast<TkfxHTTP2_Frame_Data*>(aFrame), WriteDataFrames().InitialWindowSize());
}

// --- events ---

void TkfxHTTP2_Frame::DoReadFrameData(TkfxHTTP2_Frame_Data* aFrame) {
  if (OnReadFrameData) OnReadFrameData(this, aFrame);
}
void TkfxHTTP2_Frame::DoReadFrameHeaders(TkfxHTTP2_Frame_Headers* aFrame) {
  if (OnReadFrameHeaders) OnReadFrameHeaders(this, aFrame);
}
void TkfxHTTP2_Frame::DoReadFrameRSTStream(TkfxHTTP2_Frame_RSTStream* aFrame) {
  if (OnReadFrameRSTStream) OnReadFrameRSTStream(this, aFrame);
}
void TkfxHTTP2_Frame::DoReadFrameSettings(TkfxHTTP2_Frame_Settings* aFrame) {
  if (OnReadFrameSettings) OnReadFrameSettings(this, aFrame);
}
void TkfxHTTP2_Frame::DoReadFramePushPromise(TkfxHTTP2_Frame_PushPromise* aFrame) {
  if (OnReadFramePushPromise) OnReadFramePushPromise(this, aFrame);
}
void TkfxHTTP2_Frame::DoReadFramePing(TkfxHTTP2_Frame_Ping* aFrame) {
  if (OnReadFramePing) OnReadFramePing(this, aFrame);
}
void TkfxHTTP2_Frame::DoReadFrameGoAway(TkfxHTTP2_Frame_GoAway* aFrame) {
  if (OnReadFrameGoAway) OnReadFrameGoAway(this, aFrame);
}
void TkfxHTTP2_Frame::DoReadFrameWindowUpdate(TkfxHTTP2_Frame_WindowUpdate* aFrame) {
  if (OnReadFrameWindowUpdate) OnReadFrameWindowUpdate(this, aFrame);
}
void TkfxHTTP2_Frame::DoReadFrameContinuation(TkfxHTTP2_Frame_Continuation* aFrame) {
  if (OnReadFrameContinuation) OnReadFrameContinuation(this, aFrame);
}
void TkfxHTTP2_Frame::DoReadFramePriority(TkfxHTTP2_Frame_Priority* aFrame) {
  if (OnReadFramePriority) OnReadFramePriority(this, aFrame);
}
void TkfxHTTP2_Frame::DoReadStreamResponseFragment(TkfxHTTP2_StreamResponse* aStream, const TIdBytes& aBytes) {
  if (OnReadStreamResponseFragment) OnReadStreamResponseFragment(this, aStream, aBytes);
}

void TkfxHTTP2_Frame::DoReadStreamResponse(TkfxHTTP2_StreamResponse* aStream) {
  TkfxHTTP2_Frame_Headers* headers = aStream ? aStream->Frame_Headers() : nullptr;
  if (headers && headers->HasHeaders()) {
    for (const std::string& line : headers->Headers().Lines()) {
      if (line.compare(0, 15, "content-length=") != 0) continue;
      const std::string text = Trim(line.substr(15, 10));
      int64_t announced = 0;
      if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        announced = std::stoll(text);
      // Answers to HEAD, 204, 304 and informational answers carry no body
      // whatever their content-length says.
      const int status = headers->Status();
      bool bodiless = status == 204 || status == 304 || (status >= 100 && status < 200);
      if (aStream->RequestMethod == Th2Methods::h2meHead) bodiless = true;
      if (aStream->Frame_PushPromise() && aStream->Frame_PushPromise()->Method() == Th2Methods::h2meHead)
        bodiless = true;
      const int64_t body = aStream->Post_Stream ? aStream->Post_Stream->Size()
                           : aStream->Frame_Data() ? static_cast<int64_t>(aStream->Frame_Data()->Data.size())
                                                   : 0;
      if (!bodiless && announced != body)
        RaiseH2(E::h2erPROTOCOL_ERROR, "CONTENT-LENGTH is not equal the DATA frame payload length");
      break;
    }
  }
  if (OnReadStreamResponse) OnReadStreamResponse(this, aStream);
}

// --- reading ---

void TkfxHTTP2_Frame::ReadBytes(std::span<const uint8_t> aBytes) {
  if (FReadPos == ReadBuffer.size()) {
    // Nothing pending: the frames are read straight from aBytes and only a
    // partial frame at the end is kept.
    ReadBuffer.clear();
    FReadPos = 0;
    size_t pos = 0;
    struct TKeepRest {
      TkfxHTTP2_Frame& Self;
      std::span<const uint8_t> Bytes;
      size_t& Pos;
      ~TKeepRest() { Self.ReadBuffer.assign(Bytes.begin() + static_cast<std::ptrdiff_t>(Pos), Bytes.end()); }
    } keep{*this, aBytes, pos};
    DoReadFrame(aBytes, pos);
    return;
  }
  ReadBuffer.insert(ReadBuffer.end(), aBytes.begin(), aBytes.end());
  struct TCompact {
    TkfxHTTP2_Frame& Self;
    ~TCompact() {
      // Consumed octets are dropped from the front only once they are the
      // larger part, so that many small frames cost linear time.
      if (Self.FReadPos == Self.ReadBuffer.size()) {
        Self.ReadBuffer.clear();
        Self.FReadPos = 0;
      } else if (Self.FReadPos > Self.ReadBuffer.size() / 2) {
        Self.ReadBuffer.erase(Self.ReadBuffer.begin(), Self.ReadBuffer.begin() + static_cast<std::ptrdiff_t>(Self.FReadPos));
        Self.FReadPos = 0;
      }
    }
  } compact{*this};
  DoReadFrame(ReadBuffer, FReadPos);
}

void TkfxHTTP2_Frame::DoClearFrameHeader() {
  FrameLength = 0;
  FrameType = FT::h2ftDATA;
  StreamIdentifier = 0;
}

void TkfxHTTP2_Frame::DoReadFrame(std::span<const uint8_t> aBuffer, size_t& aPos) {
  using RS = TkfxHTTP2ReadState;
  for (;;) {
    if (ReadState == RS::h2rsHeader || ReadState == RS::h2rsHeaderWait) {
      if (aBuffer.size() - aPos < static_cast<size_t>(h2FrameHeaderLength)) {
        ReadState = RS::h2rsHeaderWait;
        return;
      }
      const uint8_t* header = aBuffer.data() + aPos;
      aPos += h2FrameHeaderLength;
      ProcessFrameHeader(header);
      ReadState = RS::h2rsPayload;
    }
    if (aBuffer.size() - aPos < static_cast<size_t>(FrameLength)) {
      ReadState = RS::h2rsPayloadWait;
      return;
    }
    const std::span<const uint8_t> payload = aBuffer.subspan(aPos, static_cast<size_t>(FrameLength));
    aPos += static_cast<size_t>(FrameLength);
    ReadState = RS::h2rsHeader;
    if (FrameType != FT::h2ftUNKNOWN) ProcessPayload(payload);
  }
}

bool TkfxHTTP2_Frame::KnownStream(int32_t aStreamIdentifier) const {
  const bool odd = aStreamIdentifier % 2 == 1;
  const bool own = FFrameRole == Th2FrameRole::h2frServerRead ? !odd : odd;
  if (own) return aStreamIdentifier <= FMaxRequestStream;
  return aStreamIdentifier <= std::max(FMaxPromisedStream,
                                       FFrameRole == Th2FrameRole::h2frServerRead ? LastStreamIdentifierRecv : 0);
}

void TkfxHTTP2_Frame::CheckStreamIdentifier() {
  const int32_t id = StreamIdentifier;
  if (FrameType == FT::h2ftDATA || FrameType == FT::h2ftHEADERS || FrameType == FT::h2ftPUSH_PROMISE ||
      FrameType == FT::h2ftCONTINUATION) {
    if (FFrameRole == Th2FrameRole::h2frServerRead) {
      // Only a new stream must come with a higher identifier.
      if (FrameType == FT::h2ftHEADERS && id < LastStreamIdentifierRecv && !Streams().GetStream(id))
        RaiseH2(E::h2erPROTOCOL_ERROR, "StreamIdentifier is lower than LAST Stream Received.");
    } else if (FFrameRole == Th2FrameRole::h2frClientRead) {
      // A stream this client opened, or one the server promised.
      if (id != 0 && !KnownStream(id)) RaiseH2(E::h2erPROTOCOL_ERROR, "StreamIdentifier is Unexpected.");
    }
    LastStreamIdentifierRecv = std::max(LastStreamIdentifierRecv, id);
  }
  const auto mustNotBeZero = [id](const char* aMessage) {
    if (id == 0) RaiseH2(E::h2erPROTOCOL_ERROR, aMessage);
  };
  const auto mustBeZero = [id](const char* aMessage) {
    if (id != 0) RaiseH2(E::h2erPROTOCOL_ERROR, aMessage);
  };
  switch (FrameType) {
    case FT::h2ftDATA:
      mustNotBeZero("DATA FRAME: Stream Identifier can not be zero.");
      if (IsClosedStream(id)) RaiseH2(E::h2erPROTOCOL_ERROR, "DATA FRAME: Stream Identifier already closed.");
      break;
    case FT::h2ftHEADERS:
      mustNotBeZero("HEADER FRAME: Stream Identifier can not be zero.");
      if (IsClosedStream(id)) RaiseH2(E::h2erPROTOCOL_ERROR, "HEADER FRAME: Stream Identifier already closed.");
      break;
    case FT::h2ftPRIORITY: mustNotBeZero("PRIORITY FRAME: Stream Identifier can not be zero."); break;
    case FT::h2ftRST_STREAM: mustNotBeZero("RST_STREAM FRAME: Stream Identifier can not be zero."); break;
    case FT::h2ftSETTINGS: mustBeZero("SETTINGS FRAME: Stream Identifier can not be greater than zero."); break;
    case FT::h2ftPUSH_PROMISE: mustNotBeZero("PUSH PROMISE FRAME: Stream Identifier can not be zero."); break;
    case FT::h2ftPING: mustBeZero("PING FRAME: Stream Identifier can not be greater than zero."); break;
    case FT::h2ftGOAWAY: mustBeZero("GO AWAY: Stream Identifier can not be greater than zero."); break;
    case FT::h2ftCONTINUATION: mustNotBeZero("CONTINUATION FRAME: Stream Identifier can not be zero."); break;
    default: break;
  }
}

void TkfxHTTP2_Frame::ProcessFrameHeader(const uint8_t* aHeader) {
  DoClearFrameHeader();
  if (aHeader[3] <= 9) {
    FrameType = static_cast<FT>(aHeader[3]);
  } else {
    FrameType = FT::h2ftUNKNOWN;
    if (!LastFrame.EndHeaders)
      RaiseH2(E::h2erPROTOCOL_ERROR, "UNKNOWN frame must be preceded by Frame with no EndHeaders.");
  }
  FrameLength = aHeader[0] << 16 | aHeader[1] << 8 | aHeader[2];
  if (FrameLength > MaxFrameSize)
    RaiseH2(E::h2erFRAME_SIZE_ERROR, "Frame size greater than MaxFrameSize: " + std::to_string(MaxFrameSize));
  if (FrameType == FT::h2ftPING && FrameLength != 8)
    RaiseH2(E::h2erFRAME_SIZE_ERROR, "PING FRAME: Frame size must be 8 octets.");
  FFlags = aHeader[4];
  bool endHeaders = true;
  switch (FrameType) {
    case FT::h2ftDATA: Frame_Data().ReadFlags(FFlags); break;
    case FT::h2ftHEADERS:
      Frame_Headers().ReadFlags(FFlags);
      endHeaders = Frame_Headers().EndHeaders;
      break;
    case FT::h2ftSETTINGS: Frame_Settings().ReadFlags(FFlags); break;
    case FT::h2ftPUSH_PROMISE:
      Frame_PushPromise().ReadFlags(FFlags);
      endHeaders = Frame_PushPromise().EndHeaders;
      break;
    case FT::h2ftPING: Frame_Ping().ReadFlags(FFlags); break;
    case FT::h2ftCONTINUATION:
      Frame_Continuation().ReadFlags(FFlags);
      endHeaders = Frame_Continuation().EndHeaders;
      break;
    default: break;
  }
  StreamIdentifier = static_cast<int32_t>((uint32_t{aHeader[5]} << 24 | uint32_t{aHeader[6]} << 16 |
                                           uint32_t{aHeader[7]} << 8 | aHeader[8]) &
                                          0x7FFFFFFF);
  CheckStreamIdentifier();
  // Header-block sequencing: an open block continues with CONTINUATION
  // frames of its own stream and nothing else, or the decoding contexts of
  // both ends would part.
  if (LastFrame.FrameType != FT::h2ftUNKNOWN) {
    if (LastFrame.EndHeaders) {
      if (FrameType == FT::h2ftCONTINUATION)
        RaiseH2(E::h2erPROTOCOL_ERROR, "CONTINUATION frame must be preceded by Frame with no EndHeaders.");
    } else if (FrameType == FT::h2ftHEADERS || FrameType == FT::h2ftPUSH_PROMISE) {
      RaiseH2(E::h2erPROTOCOL_ERROR, "CONTINUATION frame expected: the header block is not finished.");
    } else if (FrameType != FT::h2ftCONTINUATION) {
      RaiseH2(E::h2erPROTOCOL_ERROR, "CONTINUATION frame must be preceded by HEADERS, PUSH_PROMISE or CONTINUATION.");
    } else if (StreamIdentifier != LastFrame.StreamIdentifier) {
      RaiseH2(E::h2erPROTOCOL_ERROR, "CONTINUATION frame must be on the stream of its header block.");
    }
  } else if (FrameType == FT::h2ftCONTINUATION && FBlockType == FT::h2ftUNKNOWN) {
    RaiseH2(E::h2erPROTOCOL_ERROR, "CONTINUATION frame must be preceded by Frame with no EndHeaders.");
  }
  LastFrame = {FrameType, StreamIdentifier, endHeaders};
}

TkfxHTTP2_FramePtr TkfxHTTP2_Frame::NewFrame(FT aType) {
  TkfxHTTP2_FramePtr frame;
  const auto make = [&](auto& aWorking, auto aNew) {
    aNew->Assign(&aWorking);
    frame = std::move(aNew);
  };
  switch (aType) {
    case FT::h2ftDATA: make(Frame_Data(), std::make_shared<TkfxHTTP2_Frame_Data>(FFrameRole)); break;
    case FT::h2ftHEADERS:
      make(Frame_Headers(), std::make_shared<TkfxHTTP2_Frame_Headers>(&HPACK(), &StreamIdentifierCounter(), FFrameRole));
      break;
    case FT::h2ftPRIORITY: make(Frame_Priority(), std::make_shared<TkfxHTTP2_Frame_Priority>(FFrameRole)); break;
    case FT::h2ftRST_STREAM: make(Frame_RSTStream(), std::make_shared<TkfxHTTP2_Frame_RSTStream>(FFrameRole)); break;
    case FT::h2ftSETTINGS: make(Frame_Settings(), std::make_shared<TkfxHTTP2_Frame_Settings>(FFrameRole)); break;
    case FT::h2ftPUSH_PROMISE:
      make(Frame_PushPromise(),
           std::make_shared<TkfxHTTP2_Frame_PushPromise>(&HPACK(), &StreamIdentifierCounter(), FFrameRole));
      break;
    case FT::h2ftPING: make(Frame_Ping(), std::make_shared<TkfxHTTP2_Frame_Ping>(FFrameRole)); break;
    case FT::h2ftGOAWAY: make(Frame_GoAway(), std::make_shared<TkfxHTTP2_Frame_GoAway>(FFrameRole)); break;
    case FT::h2ftWINDOW_UPDATE:
      make(Frame_WindowUpdate(), std::make_shared<TkfxHTTP2_Frame_WindowUpdate>(FFrameRole));
      break;
    default: make(Frame_Continuation(), std::make_shared<TkfxHTTP2_Frame_Continuation>(FFrameRole)); break;
  }
  frame->FrameRole = FFrameRole;
  frame->StreamIdentifier = StreamIdentifier;
  frame->FrameLength = FrameLength;
  return frame;
}

TkfxHTTP2_Read_Stream_Frame& TkfxHTTP2_Frame::Record(const TkfxHTTP2_StreamFrameKey& aKey, FT aType) {
  if (TkfxHTTP2_Read_Stream_Frame* found = ReadStreamFrames().GetFrame(aKey)) return *found;
  auto record = std::make_unique<TkfxHTTP2_Read_Stream_Frame>();
  record->Key = aKey;
  record->FrameType = aType;
  record->WindowSize = InitialReadWindowSize;
  return ReadStreamFrames().AddFrame(std::move(record));
}

void TkfxHTTP2_Frame::ProcessPayload(std::span<const uint8_t> aPayload) {
  FKey = {StreamIdentifier, FrameType,
          (FrameType == FT::h2ftSETTINGS && Frame_Settings().ACK) || (FrameType == FT::h2ftPING && Frame_Ping().ACK)};
  // A frame that is complete in itself (a single frame, a header block in
  // one HEADERS frame, a body in one DATA frame) needs no record that
  // outlives it: it is read through a transient one. The stream record
  // shares its frame object.
  TkfxHTTP2_Read_Stream_Frame* existing = ReadStreamFrames().GetFrame(FKey);
  const bool complete = (FrameType == FT::h2ftHEADERS && Frame_Headers().EndHeaders) ||
                        (FrameType == FT::h2ftDATA && Frame_Data().EndStream) ||
                        (FrameType != FT::h2ftDATA && FrameType != FT::h2ftHEADERS &&
                         FrameType != FT::h2ftPUSH_PROMISE && FrameType != FT::h2ftCONTINUATION);
  TkfxHTTP2_Read_Stream_Frame transient;
  if (!existing && complete) {
    transient.Key = FKey;
    transient.FrameType = FrameType;
    transient.WindowSize = InitialReadWindowSize;
  }
  TkfxHTTP2_Read_Stream_Frame& record = existing ? *existing : complete ? transient : Record(FKey, FrameType);
  record.Frame = NewFrame(FrameType);
  switch (FrameType) {
    case FT::h2ftDATA: ReadData(record, aPayload); return;
    case FT::h2ftHEADERS: ReadHeaders(record, aPayload); return;
    case FT::h2ftPUSH_PROMISE: ReadPushPromise(record, aPayload); return;
    case FT::h2ftCONTINUATION: ReadContinuation(record, aPayload); return;
    default: break;
  }
  if (!aPayload.empty()) record.FrameLength += static_cast<int32_t>(aPayload.size());
  TkfxHTTP2_Frame_Base* frame = record.Frame.get();
  frame->ReadPayload(aPayload);
  switch (FrameType) {
    case FT::h2ftPRIORITY:
    case FT::h2ftRST_STREAM:
    case FT::h2ftWINDOW_UPDATE: {
      // Frames for a stream already released, or PRIORITY for any stream
      // without a record, change nothing.
      const bool released = !Streams().GetStream(StreamIdentifier) &&
                            (FrameType == FT::h2ftPRIORITY || KnownStream(StreamIdentifier));
      if (!released) Streams().AddFrame(&record);
      if (FrameType == FT::h2ftPRIORITY)
        DoReadFramePriority(static_cast<TkfxHTTP2_Frame_Priority*>(frame));
      else if (FrameType == FT::h2ftRST_STREAM)
        DoReadFrameRSTStream(static_cast<TkfxHTTP2_Frame_RSTStream*>(frame));
      else
        DoReadFrameWindowUpdate(static_cast<TkfxHTTP2_Frame_WindowUpdate*>(frame));
      break;
    }
    case FT::h2ftSETTINGS: DoReadFrameSettings(static_cast<TkfxHTTP2_Frame_Settings*>(frame)); break;
    case FT::h2ftPING: DoReadFramePing(static_cast<TkfxHTTP2_Frame_Ping*>(frame)); break;
    case FT::h2ftGOAWAY: DoReadFrameGoAway(static_cast<TkfxHTTP2_Frame_GoAway*>(frame)); break;
    default: break;
  }
}

void TkfxHTTP2_Frame::SendWindowUpdate(int32_t aStreamIdentifier, int32_t aIncrement) {
  TkfxHTTP2_Frame_WindowUpdate& update = Frame_WindowUpdate();
  update.StreamIdentifier = aStreamIdentifier;
  update.WindowSizeIncrement = aIncrement;
  update.WriteBytes();
}

void TkfxHTTP2_Frame::AccountReceived(TkfxHTTP2_Read_Stream_Frame& aRecord, int64_t aLength, bool aEndStream,
                                      bool aHasStream) {
  // The whole payload counts, padding included. A window is topped up once
  // half of it is used, so the peer never waits and never sees a window
  // above what it started with plus one increment.
  ReadWindowSize -= aLength;
  aRecord.WindowSize -= aLength;
  if (!aHasStream && aRecord.WindowSize < 0)
    RaiseH2(E::h2erFLOW_CONTROL_ERROR, "DATA FRAME: data for an unknown stream exceeds its window.", StreamIdentifier);
  if (!OnWriteBytes) return;
  if (ReadWindowSize <= kWindowIncrement / 2) {
    SendWindowUpdate(0, kWindowIncrement);
    ReadWindowSize += kWindowIncrement;
  }
  if (aHasStream && !aEndStream && aRecord.WindowSize <= kWindowIncrement / 2) {
    SendWindowUpdate(StreamIdentifier, kWindowIncrement);
    aRecord.WindowSize += kWindowIncrement;
  }
}

void TkfxHTTP2_Frame::ReadData(TkfxHTTP2_Read_Stream_Frame& aRecord, std::span<const uint8_t> aPayload) {
  auto* frame = static_cast<TkfxHTTP2_Frame_Data*>(aRecord.Frame.get());
  // Padding is checked and dropped frame by frame: only data is gathered.
  frame->ValidatePayload(aPayload);
  if (frame->Padded) frame->PadLength = aPayload[0];
  const std::span<const uint8_t> data = WithoutPadding(aPayload, frame->Padded);
  TkfxHTTP2_StreamResponse* stream = Streams().GetStream(StreamIdentifier);
  TStream* post = stream ? stream->Post_Stream : nullptr;
  if (!aPayload.empty()) {
    aRecord.FrameLength += static_cast<int32_t>(aPayload.size());
    if (!post) aRecord.PayLoad.insert(aRecord.PayLoad.end(), data.begin(), data.end());
  }
  AccountReceived(aRecord, static_cast<int64_t>(aPayload.size()), frame->EndStream, stream != nullptr);
  const bool buffered = FragmentedData != FD::h2fdOnlyFragmented;
  const bool fragmented = FragmentedData != FD::h2fdOnlyBuffer;
  if (frame->EndStream) {
    if (buffered && !post) frame->Data = std::move(aRecord.PayLoad);
    aRecord.PayLoad.clear();
    DoReadFrameData(frame);
    stream = Streams().AddFrame(&aRecord);
    if (fragmented) DoReadStreamResponseFragment(stream, TIdBytes(data.begin(), data.end()));
    if (post && !data.empty()) post->WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    if (buffered) DoReadStreamResponse(stream);
    if (post && OnReadDonePostStream)
      OnReadDonePostStream(this, stream->Frame_Headers() ? &stream->Frame_Headers()->Headers() : nullptr, post);
    return;
  }
  if (!stream) return;  // gathered until the stream is known, within its window
  if (fragmented) DoReadStreamResponseFragment(stream, TIdBytes(data.begin(), data.end()));
  if (post && !data.empty()) post->WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
}

void TkfxHTTP2_Frame::CheckBlockSize(size_t aSize) {
  if (aSize > static_cast<size_t>(MaxHeaderBlockSize))
    RaiseH2(E::h2erPROTOCOL_ERROR, "HEADER BLOCK is larger than " + std::to_string(MaxHeaderBlockSize) + " octets.");
}

void TkfxHTTP2_Frame::ReadHeaders(TkfxHTTP2_Read_Stream_Frame& aRecord, std::span<const uint8_t> aPayload) {
  auto* frame = static_cast<TkfxHTTP2_Frame_Headers*>(aRecord.Frame.get());
  frame->ValidatePayload(aPayload);
  // A block after the stream's complete header block is its trailer part,
  // which must end the stream; anything else there is refused.
  if (const TkfxHTTP2_StreamResponse* stream = Streams().GetStream(StreamIdentifier);
      stream && stream->HeadersComplete) {
    if (!frame->EndStream)
      RaiseH2(E::h2erPROTOCOL_ERROR, "HEADER Frame cannot be received after receive EndHeaders = True.");
    frame->Trailers = true;
  }
  // Every HEADERS frame starts a new block. Its padding is dropped here so
  // that CONTINUATION fragments join the block itself.
  const std::span<const uint8_t> block = WithoutPadding(aPayload, frame->Padded);
  aRecord.FrameLength = static_cast<int32_t>(aPayload.size());
  const int32_t padLength = frame->Padded ? aPayload[0] : 0;
  frame->Padded = false;
  CheckBlockSize(block.size());
  if (!frame->EndHeaders) {
    aRecord.PayLoad.assign(block.begin(), block.end());
    FBlockType = FT::h2ftHEADERS;
    Streams().AddFrame(&aRecord);
    return;
  }
  // A block complete in one frame is decoded where it lies.
  aRecord.PayLoad.clear();
  frame->ReadPayload(block);
  frame->PadLength = padLength;
  CompleteHeaders(aRecord);
}

// A complete, decoded header block of a HEADERS frame already read into the
// record's frame object.
void TkfxHTTP2_Frame::CompleteHeaders(TkfxHTTP2_Read_Stream_Frame& aRecord) {
  auto* frame = static_cast<TkfxHTTP2_Frame_Headers*>(aRecord.Frame.get());
  DoReadFrameHeaders(frame);
  TkfxHTTP2_StreamResponse* stream;
  if (FBlockType == FT::h2ftHEADERS) {
    // Filed when its first fragment came; the decoded object takes its place.
    stream = Streams().GetStream(frame->StreamIdentifier);
    if (!stream) stream = Streams().AddFrame(&aRecord);
    if (frame->Trailers)
      stream->SetFrame_Trailers(aRecord.Frame);
    else
      stream->SetFrame_Headers(aRecord.Frame);
  } else {
    stream = Streams().AddFrame(&aRecord);
  }
  if (!frame->Trailers) stream->HeadersComplete = true;
  if (frame->Trailers && FragmentedData != FD::h2fdOnlyFragmented && !stream->Post_Stream) {
    // The body ended without END_STREAM on its DATA: what was gathered
    // becomes the stream's body now.
    if (TkfxHTTP2_Read_Stream_Frame* data =
            ReadStreamFrames().GetFrame({frame->StreamIdentifier, FT::h2ftDATA});
        data && data->Frame) {
      static_cast<TkfxHTTP2_Frame_Data*>(data->Frame.get())->Data = std::move(data->PayLoad);
      data->PayLoad.clear();
      stream->SetFrame_Data(data->Frame);
    }
  }
  if (frame->EndStream) {
    DoReadStreamResponse(stream);
  } else if (frame->Method() == "POST" && OnReadCreatePostStream) {
    TStream* post = nullptr;
    OnReadCreatePostStream(this, &frame->Headers(), post);
    if (post) stream->Post_Stream = post;
  }
  CheckConcurrentStreams();
}

void TkfxHTTP2_Frame::ReadPushPromise(TkfxHTTP2_Read_Stream_Frame& aRecord, std::span<const uint8_t> aPayload) {
  auto* frame = static_cast<TkfxHTTP2_Frame_PushPromise*>(aRecord.Frame.get());
  frame->ValidatePayload(aPayload);
  const std::span<const uint8_t> body = WithoutPadding(aPayload, frame->Padded);
  aRecord.PayLoad.assign(body.begin(), body.end());
  aRecord.FrameLength = static_cast<int32_t>(aPayload.size());
  frame->Padded = false;
  CheckBlockSize(aRecord.PayLoad.size());
  if (!frame->EndHeaders) {
    FBlockType = FT::h2ftPUSH_PROMISE;
    return;
  }
  frame->ReadPayload(aRecord.PayLoad);
  CompletePushPromise(aRecord);
}

void TkfxHTTP2_Frame::CompletePushPromise(TkfxHTTP2_Read_Stream_Frame& aRecord) {
  auto* frame = static_cast<TkfxHTTP2_Frame_PushPromise*>(aRecord.Frame.get());
  const int32_t promised = frame->PromisedStreamid;
  // The record moves aside under its promised stream, so that the next
  // promise on the same stream starts afresh.
  TkfxHTTP2_StreamFrameKey aside = aRecord.Key;
  aside.PromisedStreamIdentifier = promised;
  ReadStreamFrames().Rename(aRecord, aside);
  frame->StreamIdentifier = promised;
  if (promised > FMaxPromisedStream && promised % 2 == (FFrameRole == Th2FrameRole::h2frClientRead ? 0 : 1))
    FMaxPromisedStream = promised;
  Streams().AddFrame(&aRecord);
  DoReadFramePushPromise(frame);
}

void TkfxHTTP2_Frame::ReadContinuation(TkfxHTTP2_Read_Stream_Frame& aRecord, std::span<const uint8_t> aPayload) {
  auto* frame = static_cast<TkfxHTTP2_Frame_Continuation*>(aRecord.Frame.get());
  frame->ReadPayload(aPayload);
  aRecord.PayLoad.insert(aRecord.PayLoad.end(), aPayload.begin(), aPayload.end());
  aRecord.FrameLength += static_cast<int32_t>(aPayload.size());
  TkfxHTTP2_Read_Stream_Frame* block = ReadStreamFrames().GetFrame({StreamIdentifier, FBlockType});
  if (!block) RaiseH2(E::h2erPROTOCOL_ERROR, "CONTINUATION frame must be preceded by Frame with no EndHeaders.");
  CheckBlockSize(block->PayLoad.size() + aRecord.PayLoad.size());
  if (FBlockType == FT::h2ftHEADERS) Streams().AddFrame(&aRecord);
  DoReadFrameContinuation(frame);
  if (!frame->EndHeaders) return;
  block->PayLoad.insert(block->PayLoad.end(), aRecord.PayLoad.begin(), aRecord.PayLoad.end());
  block->FrameLength += aRecord.FrameLength;
  ReadStreamFrames().DeleteFrame(FKey);  // aRecord is gone from here on
  block->Frame->ReadPayload(block->PayLoad);
  if (FBlockType == FT::h2ftHEADERS)
    CompleteHeaders(*block);
  else
    CompletePushPromise(*block);
  FBlockType = FT::h2ftUNKNOWN;
}

void TkfxHTTP2_Frame::CheckConcurrentStreams() {
  if (MaxConcurrentStreams == h2MaxInt32) return;
  // Only streams the peer opened count: those are what our limit allows it.
  const int parity = FFrameRole == Th2FrameRole::h2frClientRead || FFrameRole == Th2FrameRole::h2frClientWrite ? 0 : 1;
  if (Streams().ConcurrentStreams(parity) > MaxConcurrentStreams)
    RaiseH2(E::h2erPROTOCOL_ERROR, "CONCURRENT STREAM limit has been exceeded.");
}
