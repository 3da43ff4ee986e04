// The frame handler: in a reading role it cuts received octets into frames,
// checks every frame header, gathers frames per stream, raises one event per
// frame and keeps the receive windows; in a writing role it owns the frame
// objects the connection fills in and the outgoing DATA queue. No I/O:
// octets come in through ReadBytes and go out through OnWriteBytes.
//
// Threads. A handler, with everything it owns (HPACK context, stream and
// reassembly records, DATA queue), takes no locks and is used by one thread
// at a time: its owner serialises every call, property access included, and
// events and OnWriteBytes run on the calling thread within the call. A
// handler may be called again from its own events (to release a stream, to
// write); it must not be called from another thread meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "http2/core/kfxHTTP2_Frame.h"
#include "http2/core/kfxHTTP2_Frame_Streams.h"
#include "http2/core/kfxHTTP2_HPACK.h"

template <class TFrame>
using TkfxHTTP2ReadFrameEvent = std::function<void(TObject* Sender, TFrame* aFrame)>;
using TkfxHTTP2ReadStreamResponseEvent = std::function<void(TObject* Sender, TkfxHTTP2_StreamResponse* aStream)>;
using TkfxHTTP2ReadStreamResponseFragmentEvent =
    std::function<void(TObject* Sender, TkfxHTTP2_StreamResponse* aStream, const TIdBytes& aBytes)>;
using TkfxHTTP2ReadCreatePostStreamEvent =
    std::function<void(TObject* Sender, TStringList* aHeaders, TStream*& aStream)>;
using TkfxHTTP2ReadDonePostStreamEvent =
    std::function<void(TObject* Sender, TStringList* aHeaders, TStream* aStream)>;

struct TkfxHTTP2_LastFrame {
  Th2FrameType FrameType = Th2FrameType::h2ftUNKNOWN;
  int32_t StreamIdentifier = 0;
  bool EndHeaders = false;
};

class TkfxHTTP2_Frame : public TObject {
 public:
  TkfxHTTP2_Frame();
  ~TkfxHTTP2_Frame() override;

  // Reading role: feeds received octets; every complete frame is processed
  // before the call returns, a partial one waits for the next call.
  void ReadBytes(std::span<const uint8_t> aBytes);
  // Writes the working object of the current FrameType (HEADERS,
  // RST_STREAM, PING or GOAWAY; other types write nothing).
  void WriteBytes();

  // Files a stream this side opened (before its HEADERS go out), with the
  // request's method and the owner's per-stream data (see
  // TkfxHTTP2_StreamResponse::UserData); an existing record is returned as it is.
  TkfxHTTP2_StreamResponse* AddStreamRequest(int32_t aStreamIdentifier, Th2Methods aMethod,
                                             void* aUserData = nullptr);
  TkfxHTTP2_StreamResponse* GetStreamResponse(int32_t aStreamIdentifier);
  void DeleteStreamRequest(int32_t aStreamIdentifier);
  void DeleteReadStreamFrame(const TkfxHTTP2_StreamFrameKey& aKey);
  // Forgets a stream: its record and what was gathered of its HEADERS and DATA.
  void ReleaseStream(int32_t aStreamIdentifier);
  void AddClosedStream(int32_t aStreamIdentifier) { ClosedStream = aStreamIdentifier; }
  bool IsClosedStream(int32_t aStreamIdentifier) const { return aStreamIdentifier == ClosedStream; }
  // The peer's SETTINGS_INITIAL_WINDOW_SIZE for the outgoing DATA queue.
  void SetWriteDataFramesInitialWindowSize(int32_t aValue);
  // A WINDOW_UPDATE of the peer for the outgoing DATA queue: stream 0 (or
  // less) sends every queued frame that now fits, a stream that stream's.
  void SetWriteDataFramesWindowSize(int32_t aStreamIdentifier, int32_t aWindowSizeIncrement);

  // Working objects, the codec, the counter and the queues: created on first use, owned.
  TkfxHTTP2_Frame_Continuation& Frame_Continuation();
  TkfxHTTP2_Frame_Data& Frame_Data();
  TkfxHTTP2_Frame_GoAway& Frame_GoAway();
  TkfxHTTP2_Frame_Headers& Frame_Headers();
  TkfxHTTP2_Frame_Ping& Frame_Ping();
  TkfxHTTP2_Frame_Priority& Frame_Priority();
  TkfxHTTP2_Frame_PushPromise& Frame_PushPromise();
  TkfxHTTP2_Frame_RSTStream& Frame_RSTStream();
  TkfxHTTP2_Frame_Settings& Frame_Settings();
  TkfxHTTP2_Frame_WindowUpdate& Frame_WindowUpdate();
  TkfxHTTP2_HPACK& HPACK();
  TkfxHTTP2_StreamIdentifierCounter& StreamIdentifierCounter();
  TkfxHTTP2_StreamResponses& Streams();
  TkfxHTTP2_Write_Data_Frames& WriteDataFrames();
  TkfxHTTP2_Read_Stream_Frames& ReadStreamFrames();

  Th2FrameRole FrameRole() const { return FFrameRole; }
  void SetFrameRole(Th2FrameRole aValue);

  int32_t ClosedStream = 0;
  int64_t ReadWindowSize = 65535;  // receive window of the connection
  TkfxHTTP2_LastFrame LastFrame;
  TkfxHTTP2ReadState ReadState = TkfxHTTP2ReadState::h2rsHeader;
  Th2FrameType FrameType = Th2FrameType::h2ftUNKNOWN;
  int32_t FrameLength = 0;
  int32_t MaxFrameSize = h2DefaultMaxFrameSize;
  int32_t StreamIdentifier = 0;
  int32_t LastStreamIdentifierRecv = 0;
  // Streams the peer may open at once; h2MaxInt32 switches the limit off.
  int32_t MaxConcurrentStreams = 0;
  Th2FragmentedData FragmentedData = Th2FragmentedData::h2fdOnlyBuffer;
  // The stream window we advertise (our SETTINGS_INITIAL_WINDOW_SIZE): data
  // gathered for a stream without a record may not exceed it.
  int32_t InitialReadWindowSize = 65535;
  // The largest header block (HEADERS or PUSH_PROMISE with its CONTINUATION
  // frames) accepted, in octets.
  int32_t MaxHeaderBlockSize = 1048576;

  TkfxHTTP2WriteBytesEvent OnWriteBytes;
  TkfxHTTP2ReadFrameEvent<TkfxHTTP2_Frame_Data> OnReadFrameData;
  TkfxHTTP2ReadFrameEvent<TkfxHTTP2_Frame_Headers> OnReadFrameHeaders;
  TkfxHTTP2ReadFrameEvent<TkfxHTTP2_Frame_Priority> OnReadFramePriority;
  TkfxHTTP2ReadFrameEvent<TkfxHTTP2_Frame_Settings> OnReadFrameSettings;
  TkfxHTTP2ReadFrameEvent<TkfxHTTP2_Frame_PushPromise> OnReadFramePushPromise;
  TkfxHTTP2ReadFrameEvent<TkfxHTTP2_Frame_Ping> OnReadFramePing;
  TkfxHTTP2ReadFrameEvent<TkfxHTTP2_Frame_GoAway> OnReadFrameGoAway;
  TkfxHTTP2ReadFrameEvent<TkfxHTTP2_Frame_WindowUpdate> OnReadFrameWindowUpdate;
  TkfxHTTP2ReadFrameEvent<TkfxHTTP2_Frame_RSTStream> OnReadFrameRSTStream;
  TkfxHTTP2ReadFrameEvent<TkfxHTTP2_Frame_Continuation> OnReadFrameContinuation;
  TkfxHTTP2ReadStreamResponseEvent OnReadStreamResponse;
  TkfxHTTP2ReadStreamResponseFragmentEvent OnReadStreamResponseFragment;
  TkfxHTTP2ReadCreatePostStreamEvent OnReadCreatePostStream;
  TkfxHTTP2ReadDonePostStreamEvent OnReadDonePostStream;

 protected:
  virtual void DoClearFrameHeader();
  // Processes what the buffer holds from aPos on; advances aPos.
  virtual void DoReadFrame(std::span<const uint8_t> aBuffer, size_t& aPos);
  virtual void DoWriteFrame() {}
  virtual void DoReadFrameData(TkfxHTTP2_Frame_Data* aFrame);
  virtual void DoReadFrameHeaders(TkfxHTTP2_Frame_Headers* aFrame);
  virtual void DoReadFrameRSTStream(TkfxHTTP2_Frame_RSTStream* aFrame);
  virtual void DoReadFrameSettings(TkfxHTTP2_Frame_Settings* aFrame);
  virtual void DoReadFramePushPromise(TkfxHTTP2_Frame_PushPromise* aFrame);
  virtual void DoReadFramePing(TkfxHTTP2_Frame_Ping* aFrame);
  virtual void DoReadFrameGoAway(TkfxHTTP2_Frame_GoAway* aFrame);
  virtual void DoReadFrameWindowUpdate(TkfxHTTP2_Frame_WindowUpdate* aFrame);
  virtual void DoReadFrameContinuation(TkfxHTTP2_Frame_Continuation* aFrame);
  virtual void DoReadStreamResponse(TkfxHTTP2_StreamResponse* aStream);
  virtual void DoReadStreamResponseFragment(TkfxHTTP2_StreamResponse* aStream, const TIdBytes& aBytes);
  virtual void DoWriteBytes(TObject* aSender, const TIdBytes& aBytes);
  virtual void DoWriteDataFrame(TObject* aFrame);
  void DoReadFramePriority(TkfxHTTP2_Frame_Priority* aFrame);

 private:
  void ProcessFrameHeader(const uint8_t* aHeader);
  void ProcessPayload(std::span<const uint8_t> aPayload);
  void ReadData(TkfxHTTP2_Read_Stream_Frame& aRecord, std::span<const uint8_t> aPayload);
  void ReadHeaders(TkfxHTTP2_Read_Stream_Frame& aRecord, std::span<const uint8_t> aPayload);
  void ReadPushPromise(TkfxHTTP2_Read_Stream_Frame& aRecord, std::span<const uint8_t> aPayload);
  void ReadContinuation(TkfxHTTP2_Read_Stream_Frame& aRecord, std::span<const uint8_t> aPayload);
  void CompleteHeaders(TkfxHTTP2_Read_Stream_Frame& aRecord);
  void CompletePushPromise(TkfxHTTP2_Read_Stream_Frame& aRecord);
  TkfxHTTP2_Read_Stream_Frame& Record(const TkfxHTTP2_StreamFrameKey& aKey, Th2FrameType aType);
  TkfxHTTP2_FramePtr NewFrame(Th2FrameType aType);
  void CheckStreamIdentifier();
  void CheckConcurrentStreams();
  void CheckBlockSize(size_t aSize);
  void SendWindowUpdate(int32_t aStreamIdentifier, int32_t aIncrement);
  void AccountReceived(TkfxHTTP2_Read_Stream_Frame& aRecord, int64_t aLength, bool aEndStream, bool aHasStream);
  bool KnownStream(int32_t aStreamIdentifier) const;
  template <class T>
  T& Working(std::unique_ptr<T>& aSlot);

  Th2FrameRole FFrameRole = Th2FrameRole::h2frClientRead;
  TIdBytes ReadBuffer;  // received octets not yet consumed, from FReadPos on
  size_t FReadPos = 0;
  uint8_t FFlags = 0;
  int32_t FMaxRequestStream = 0;  // highest stream this side opened
  int32_t FMaxPromisedStream = 0;  // highest stream the peer promised
  Th2FrameType FBlockType = Th2FrameType::h2ftUNKNOWN;  // the frame that opened the header block
  TkfxHTTP2_StreamFrameKey FKey;  // of the frame being read

  std::unique_ptr<TkfxHTTP2_StreamIdentifierCounter> FStreamIdentifierCounter;
  std::unique_ptr<TkfxHTTP2_HPACK> FHPACK;
  std::unique_ptr<TkfxHTTP2_StreamResponses> FStreams;
  std::unique_ptr<TkfxHTTP2_Write_Data_Frames> FWriteDataFrames;
  std::unique_ptr<TkfxHTTP2_Read_Stream_Frames> FReadStreamFrames;
  std::unique_ptr<TkfxHTTP2_Frame_Continuation> FFrame_Continuation;
  std::unique_ptr<TkfxHTTP2_Frame_Data> FFrame_Data;
  std::unique_ptr<TkfxHTTP2_Frame_GoAway> FFrame_GoAway;
  std::unique_ptr<TkfxHTTP2_Frame_Headers> FFrame_Headers;
  std::unique_ptr<TkfxHTTP2_Frame_Ping> FFrame_Ping;
  std::unique_ptr<TkfxHTTP2_Frame_Priority> FFrame_Priority;
  std::unique_ptr<TkfxHTTP2_Frame_PushPromise> FFrame_PushPromise;
  std::unique_ptr<TkfxHTTP2_Frame_RSTStream> FFrame_RSTStream;
  std::unique_ptr<TkfxHTTP2_Frame_Settings> FFrame_Settings;
  std::unique_ptr<TkfxHTTP2_Frame_WindowUpdate> FFrame_WindowUpdate;
};
