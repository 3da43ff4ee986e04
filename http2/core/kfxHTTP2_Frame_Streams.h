// Per-stream state of a connection and the flow-controlled sending of DATA:
// the stream records a reading frame handler files received frames with,
// the reassembly records it gathers a frame's parts in, and the queue of
// DATA frames waiting for send window. Like the rest of the core, nothing
// here locks: the frame handler that owns these is used by one thread at a
// time (its owner serialises the calls).
#pragma once

#include <cstdint>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/kfxBase_Hash.h"
#include "http2/core/kfxHTTP2_Classes.h"
#include "http2/core/kfxHTTP2_Frame.h"
#include "http2/core/kfxHTTP2_Types.h"

// A frame object shared between the reassembly record that read it and the
// stream record it was filed with, so that neither outlives the other's use.
using TkfxHTTP2_FramePtr = std::shared_ptr<TkfxHTTP2_Frame_Base>;

// One stream: its state, what opened it from this side and the frames that
// make up its answer.
class TkfxHTTP2_StreamResponse : public TObject {
 public:
  TkfxHTTP2_StreamResponse() = default;

  // Advances the state, tests the identifier and keeps DATA, HEADERS and
  // PUSH_PROMISE frames; raises before keeping anything.
  void AddFrame(Th2FrameType aFrameType, const TkfxHTTP2_FramePtr& aFrame);

  TkfxHTTP2_Frame_Data* Frame_Data() const { return static_cast<TkfxHTTP2_Frame_Data*>(FFrame_Data.get()); }
  TkfxHTTP2_Frame_Headers* Frame_Headers() const {
    return static_cast<TkfxHTTP2_Frame_Headers*>(FFrame_Headers.get());
  }
  TkfxHTTP2_Frame_PushPromise* Frame_PushPromise() const {
    return static_cast<TkfxHTTP2_Frame_PushPromise*>(FFrame_PushPromise.get());
  }
  void SetFrame_Headers(const TkfxHTTP2_FramePtr& aFrame) { FFrame_Headers = aFrame; }
  void SetFrame_Data(const TkfxHTTP2_FramePtr& aFrame) { FFrame_Data = aFrame; }
  // The trailer block (fields sent after the body), null when none came.
  TkfxHTTP2_Frame_Headers* Frame_Trailers() const {
    return static_cast<TkfxHTTP2_Frame_Headers*>(FFrame_Trailers.get());
  }
  void SetFrame_Trailers(const TkfxHTTP2_FramePtr& aFrame) { FFrame_Trailers = aFrame; }
  // The stream's header block is complete: a later one is its trailer part.
  bool HeadersComplete = false;

  int32_t StreamIdentifier = 0;
  Th2StreamState StreamState = Th2StreamState::h2ssIdle;
  int64_t WindowSize = 65535;
  TStream* Post_Stream = nullptr;  // not owned
  // The method of the request that opened the stream from this side: the
  // answer to a HEAD carries no body whatever its content-length says.
  Th2Methods RequestMethod = Th2Methods::h2meGet;
  // The owner's data for a stream it opened (AddStreamRequest): never read
  // or freed here; null for streams the peer opened.
  void* UserData = nullptr;

 protected:
  virtual void DoUpdateStreamState(Th2FrameType aFrameType, TkfxHTTP2_Frame_Base* aFrame);
  virtual void DoCheckStreamIdentifier(Th2FrameType aFrameType, TkfxHTTP2_Frame_Base* aFrame);

 private:
  TkfxHTTP2_FramePtr FFrame_Data, FFrame_Headers, FFrame_PushPromise, FFrame_Trailers;
};

// What a reassembly record is filed under: the stream and frame type, for
// SETTINGS and PING the ACK flag, and for a PUSH_PROMISE whose block is
// complete the stream it promised (it moves aside there, so that the next
// promise on the same stream starts afresh).
struct TkfxHTTP2_StreamFrameKey {
  int32_t StreamIdentifier = 0;
  Th2FrameType FrameType = Th2FrameType::h2ftUNKNOWN;
  bool ACK = false;
  int32_t PromisedStreamIdentifier = 0;

  bool operator==(const TkfxHTTP2_StreamFrameKey&) const = default;
};

template <>
struct TkfxHash<TkfxHTTP2_StreamFrameKey> {
  uint64_t operator()(const TkfxHTTP2_StreamFrameKey& aKey) const {
    const uint64_t packed = static_cast<uint32_t>(aKey.StreamIdentifier) |
                            uint64_t{static_cast<uint8_t>(aKey.FrameType)} << 32 | uint64_t{aKey.ACK} << 40;
    return kfxHashMix(packed + kfxHashMix(static_cast<uint32_t>(aKey.PromisedStreamIdentifier)));
  }
};

// A reassembly record: the frames read under one key and the octets
// gathered from them.
class TkfxHTTP2_Read_Stream_Frame : public TObject {
 public:
  TkfxHTTP2_StreamFrameKey Key;
  TkfxHTTP2_FramePtr Frame;  // replaced for every frame read under the key
  Th2FrameType FrameType = Th2FrameType::h2ftUNKNOWN;
  int32_t FrameLength = 0;
  int32_t Offset = 0;
  TIdBytes PayLoad;
  int64_t WindowSize = 65535;  // receive window of the stream (DATA records)
};

// The reassembly records, owned and found by key. A record stays where it
// is until it is deleted, whatever else is added or deleted.
class TkfxHTTP2_Read_Stream_Frames : public TObject {
 public:
  TkfxHTTP2_Read_Stream_Frame* GetFrame(const TkfxHTTP2_StreamFrameKey& aKey);
  // Files aRecord under its Key, which must be free.
  TkfxHTTP2_Read_Stream_Frame& AddFrame(std::unique_ptr<TkfxHTTP2_Read_Stream_Frame> aRecord);
  void DeleteFrame(const TkfxHTTP2_StreamFrameKey& aKey);
  // Files a record of this list under another (free) key.
  void Rename(TkfxHTTP2_Read_Stream_Frame& aRecord, const TkfxHTTP2_StreamFrameKey& aKey);
  int Count() const { return static_cast<int>(FRecords.Count()); }
  void Clear() { FRecords.Clear(); }

 private:
  TkfxHashIndex<TkfxHTTP2_StreamFrameKey, std::unique_ptr<TkfxHTTP2_Read_Stream_Frame>> FRecords;
};

// The stream records, owned and found by stream identifier. A record stays
// where it is until it is deleted.
class TkfxHTTP2_StreamResponses : public TObject {
 public:
  // Files the record's frame with its stream, creating the stream record
  // (with the record's window) when there is none.
  TkfxHTTP2_StreamResponse* AddFrame(TkfxHTTP2_Read_Stream_Frame* aStreamFrame);
  // The record of a stream just opened by sending HEADERS; an existing one is
  // returned unchanged.
  TkfxHTTP2_StreamResponse* AddRequest(int32_t aStreamIdentifier, Th2Methods aMethod, void* aUserData);
  TkfxHTTP2_StreamResponse* GetStream(int32_t aStreamIdentifier);
  void DeleteStream(int32_t aStreamIdentifier) { FStreams.Erase(aStreamIdentifier); }
  int Count() const { return static_cast<int>(FStreams.Count()); }
  void Clear() { FStreams.Clear(); }
  // Records in state open or half closed.
  int ConcurrentStreams();
  // The same, counting only streams whose identifier has parity aParity.
  int ConcurrentStreams(int aParity);

 private:
  TkfxHashIndex<int32_t, std::unique_ptr<TkfxHTTP2_StreamResponse>> FStreams;
};

// A DATA frame waiting to be sent and the send window left for its stream.
class TkfxHTTP2_Write_Data_Frame : public TObject {
 public:
  std::unique_ptr<TkfxHTTP2_Frame_Data> Frame_Data;
  int64_t WindowSize = 65535;
};

// DATA frames to send, oldest first, with the connection's send window.
// Every frame is limited by the smaller of its stream window and the
// connection window; a stream without window does not hold back the others.
// Sending calls the frames' OnWriteBytes; nothing here locks.
class TkfxHTTP2_Write_Data_Frames : public TObject {
 public:
  // Queues a copy of aFrame with aInitialWindowSize as its stream window
  // and sends what fits.
  void AddFrame(const TkfxHTTP2_Frame_Data& aFrame, int64_t aInitialWindowSize);
  // Queues aItem as it is, last, without sending anything.
  void AddItem(std::unique_ptr<TkfxHTTP2_Write_Data_Frame> aItem) { FItems.push_back(std::move(aItem)); }
  // The frame at aIndex (0: oldest), null past the end.
  TkfxHTTP2_Write_Data_Frame* GetItemByIndex(int aIndex) const;
  int Count() const { return static_cast<int>(FItems.size()); }
  bool Empty() const { return FItems.empty(); }
  // Drops every queued frame of one stream.
  void DeleteStreamFrames(int32_t aStreamIdentifier);
  void Clear() { FItems.clear(); }

  int32_t InitialWindowSize() const { return FInitialWindowSize; }
  // A new SETTINGS_INITIAL_WINDOW_SIZE of the peer.
  void SetInitialWindowSize(int32_t aValue) { ApplyInitialWindowSize(aValue); }

  virtual void SendPendingFrames();
  virtual void SendStreamFrame(int32_t aStreamIdentifier);
  // Moves every queued stream window by the difference between the new and
  // the old initial window (a window may go negative), then sends.
  virtual void ApplyInitialWindowSize(int32_t aValue);
  // Credits the connection window (stream 0) or the windows of the queued
  // frames of one stream; result: whether any window changed.
  virtual bool ApplyWindowUpdate(int32_t aStreamIdentifier, int32_t aWindowSizeIncrement);

  int64_t ConnectionWindowSize = 65535;

 private:
  // Sends what the windows allow of aItem; true when it is finished.
  bool SendFrame(TkfxHTTP2_Write_Data_Frame& aItem);
  void RemoveAt(size_t aIndex);
  // Oldest first; sent frames leave from the front.
  std::deque<std::unique_ptr<TkfxHTTP2_Write_Data_Frame>> FItems;
  int32_t FInitialWindowSize = 65535;
};
