// Per-stream state of a connection and the flow-controlled sending of DATA:
// the stream records a reading frame handler files received frames with,
// and the queue of DATA frames waiting for send window.
#pragma once

#include <cstdint>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http2/core/kfxHTTP2_Classes.h"
#include "http2/core/kfxHTTP2_Frame.h"
#include "http2/core/kfxHTTP2_Types.h"

// A frame object shared between the reassembly record that read it and the
// stream record it was filed with, so that neither outlives the other's use.
using TkfxHTTP2_FramePtr = std::shared_ptr<TkfxHTTP2_Frame_Base>;

// One stream: its state, the request that opened it and the frames that make
// up its answer. ID is the stream identifier in decimal.
class TkfxHTTP2_StreamResponse : public TkfxQueueItemBase {
 public:
  TkfxHTTP2_StreamResponse() = default;

  // Advances the state, tests the identifier and keeps DATA, HEADERS and
  // PUSH_PROMISE frames; raises before keeping anything.
  void AddFrame(Th2FrameType aFrameType, const TkfxHTTP2_FramePtr& aFrame);

  // The request copy; created on first use.
  TkfxHTTP2Request& Request();
  bool HasRequest() const { return FRequest != nullptr; }
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

 protected:
  virtual void DoUpdateStreamState(Th2FrameType aFrameType, TkfxHTTP2_Frame_Base* aFrame);
  virtual void DoCheckStreamIdentifier(Th2FrameType aFrameType, TkfxHTTP2_Frame_Base* aFrame);

 private:
  std::unique_ptr<TkfxHTTP2Request> FRequest;
  TkfxHTTP2_FramePtr FFrame_Data, FFrame_Headers, FFrame_PushPromise, FFrame_Trailers;
};

// A keyed queue that owns its items and finds them by ID through a hash
// index instead of a scan. Items must be added, renamed and removed through
// this class (its operations hide the scanning ones of TkfxQueue); IDs are
// unique. Removing moves the last item into the gap, so the order of the
// items is not kept.
class TkfxHTTP2_IndexedQueue : public TkfxQueue {
 public:
  TkfxHTTP2_IndexedQueue() { OwnObjects = true; }
  ~TkfxHTTP2_IndexedQueue() override;

  void AddItem(TkfxQueueItemBase* aItem);
  TkfxQueueItemBase* GetItem(std::string_view aID);
  void DeleteItem(std::string_view aID);
  void DeleteItem(int aIndex);
  // Gives a queued item another ID.
  void Rename(TkfxQueueItemBase* aItem, const std::string& aID);
  void Clear() override;

 private:
  // ID -> position in FList: open addressing with linear probing, the keys
  // (short texts) stored in the slots, so lookups allocate nothing.
  class TKeyIndex {
   public:
    size_t* Find(std::string_view aKey);
    void Insert(const std::string& aKey, size_t aPosition);  // keeps an existing key
    // Removes aKey when it maps to aPosition (any position: SIZE_MAX).
    void Erase(std::string_view aKey, size_t aPosition = SIZE_MAX);
    void Clear();

   private:
    struct TSlot {
      uint64_t Hash = 0;  // 0: empty
      std::string Key;
      size_t Position = 0;
    };
    static uint64_t Hash(std::string_view aKey);
    std::vector<TSlot> FSlots;
    size_t FUsed = 0;
  };

  void RemoveSlot(size_t aIndex);
  TKeyIndex FIndex;
};

// A reassembly record: the frames read under one key (stream, type and, for
// SETTINGS and PING, the ACK flag) and the octets gathered from them.
class TkfxHTTP2_Read_Stream_Frame : public TkfxQueueItemBase {
 public:
  TkfxHTTP2_FramePtr Frame;  // replaced for every frame read under the key
  Th2FrameType FrameType = Th2FrameType::h2ftUNKNOWN;
  int32_t FrameLength = 0;
  int32_t Offset = 0;
  TIdBytes PayLoad;
  int64_t WindowSize = 65535;  // receive window of the stream (DATA records)
};

class TkfxHTTP2_Read_Stream_Frames : public TkfxHTTP2_IndexedQueue {
 public:
  TkfxHTTP2_Read_Stream_Frame* GetFrame(std::string_view aID) {
    return static_cast<TkfxHTTP2_Read_Stream_Frame*>(GetItem(aID));
  }
};

class TkfxHTTP2_StreamResponses : public TkfxHTTP2_IndexedQueue {
 public:

  // Files the record's frame with its stream, creating the stream record
  // (with the record's window) when there is none.
  TkfxHTTP2_StreamResponse* AddFrame(TkfxHTTP2_Read_Stream_Frame* aStreamFrame);
  // The record of a stream just opened by sending HEADERS; an existing one is
  // returned unchanged.
  TkfxHTTP2_StreamResponse* AddRequest(int32_t aStreamIdentifier, const TkfxHTTP2Request* aRequest);
  TkfxHTTP2_StreamResponse* GetStream(int32_t aStreamIdentifier);
  // Records in state open or half closed.
  int ConcurrentStreams();
  // The same, counting only streams whose identifier has parity aParity.
  int ConcurrentStreams(int aParity);
};

// A DATA frame waiting to be sent and the send window left for its stream.
class TkfxHTTP2_Write_Data_Frame : public TkfxQueueItemBase {
 public:
  std::unique_ptr<TkfxHTTP2_Frame_Data> Frame_Data;
  int64_t WindowSize = 65535;
};

// DATA frames to send, oldest first, with the connection's send window.
// Every frame is limited by the smaller of its stream window and the
// connection window; a stream without window does not hold back the others.
// Operations hold the queue's lock while they write.
class TkfxHTTP2_Write_Data_Frames : public TkfxQueue {
 public:
  TkfxHTTP2_Write_Data_Frames() { OwnObjects = true; }

  // Queues a copy of aFrame with aInitialWindowSize as its stream window
  // and sends what fits.
  void AddFrame(const TkfxHTTP2_Frame_Data& aFrame, int64_t aInitialWindowSize);

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
  // Sends what the windows allow of item aIndex; true when it is finished.
  bool SendFrame(TkfxHTTP2_Write_Data_Frame& aItem);
  int32_t FInitialWindowSize = 65535;
};
