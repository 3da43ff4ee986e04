#include "http2/core/kfxHTTP2_Frame_Streams.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <vector>

namespace {

using FT = Th2FrameType;
using SS = Th2StreamState;

[[noreturn]] void RaiseH2(Th2ErrorCodes aCode, const std::string& aMessage, int32_t aStreamIdentifier = 0,
                          Th2ErrorResponse aResponse = Th2ErrorResponse::h2errGO_AWAY) {
  throw TkfxHTTP2Exception(aCode, aMessage, aResponse, aStreamIdentifier);
}

bool EndStreamOf(FT aType, TkfxHTTP2_Frame_Base* aFrame) {
  if (aType == FT::h2ftDATA) return static_cast<TkfxHTTP2_Frame_Data*>(aFrame)->EndStream;
  if (aType == FT::h2ftHEADERS) return static_cast<TkfxHTTP2_Frame_Headers*>(aFrame)->EndStream;
  return false;
}

bool IsActive(SS aState) {
  return aState == SS::h2ssOpen || aState == SS::h2ssHalfClosedLocal || aState == SS::h2ssHalfClosedRemote;
}

}  // namespace

// --- indexed queue ---

uint64_t TkfxHTTP2_IndexedQueue::TKeyIndex::Hash(std::string_view aKey) {
  uint64_t h = 14695981039346656037ull;
  for (char c : aKey) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  return (h ^ (h >> 29)) | 1;
}

size_t* TkfxHTTP2_IndexedQueue::TKeyIndex::Find(std::string_view aKey) {
  if (FSlots.empty()) return nullptr;
  const uint64_t hash = Hash(aKey);
  const size_t mask = FSlots.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    TSlot& slot = FSlots[i];
    if (slot.Hash == 0) return nullptr;
    if (slot.Hash == hash && slot.Key == aKey) return &slot.Position;
  }
}

void TkfxHTTP2_IndexedQueue::TKeyIndex::Insert(const std::string& aKey, size_t aPosition) {
  if ((FUsed + 1) * 2 > FSlots.size()) {
    std::vector<TSlot> old(std::max<size_t>(32, FSlots.size() * 2));
    old.swap(FSlots);
    FUsed = 0;
    for (TSlot& slot : old)
      if (slot.Hash != 0) Insert(slot.Key, slot.Position);
  }
  const uint64_t hash = Hash(aKey);
  const size_t mask = FSlots.size() - 1;
  size_t i = hash & mask;
  for (; FSlots[i].Hash != 0; i = (i + 1) & mask)
    if (FSlots[i].Hash == hash && FSlots[i].Key == aKey) return;
  FSlots[i].Hash = hash;
  FSlots[i].Key = aKey;
  FSlots[i].Position = aPosition;
  ++FUsed;
}

void TkfxHTTP2_IndexedQueue::TKeyIndex::Erase(std::string_view aKey, size_t aPosition) {
  if (FSlots.empty()) return;
  const uint64_t hash = Hash(aKey);
  const size_t mask = FSlots.size() - 1;
  size_t i = hash & mask;
  while (!(FSlots[i].Hash == hash && FSlots[i].Key == aKey)) {
    if (FSlots[i].Hash == 0) return;
    i = (i + 1) & mask;
  }
  if (aPosition != SIZE_MAX && FSlots[i].Position != aPosition) return;
  // Backward-shift deletion keeps every probe sequence unbroken.
  for (size_t j = (i + 1) & mask; FSlots[j].Hash != 0; j = (j + 1) & mask) {
    const size_t home = FSlots[j].Hash & mask;
    if (((j - home) & mask) >= ((j - i) & mask)) {
      FSlots[i].Hash = FSlots[j].Hash;
      FSlots[i].Key.swap(FSlots[j].Key);
      FSlots[i].Position = FSlots[j].Position;
      i = j;
    }
  }
  FSlots[i].Hash = 0;
  --FUsed;
}

void TkfxHTTP2_IndexedQueue::TKeyIndex::Clear() {
  FSlots.clear();
  FUsed = 0;
}

TkfxHTTP2_IndexedQueue::~TkfxHTTP2_IndexedQueue() {
  Clear();
}

void TkfxHTTP2_IndexedQueue::AddItem(TkfxQueueItemBase* aItem) {
  std::lock_guard guard(FLock);
  FIndex.Insert(aItem->ID, FList.size());
  TkfxQueue::AddItem(aItem);
}

TkfxQueueItemBase* TkfxHTTP2_IndexedQueue::GetItem(std::string_view aID) {
  std::lock_guard guard(FLock);
  const size_t* position = FIndex.Find(aID);
  return position ? static_cast<TkfxQueueItemBase*>(FList[*position]) : nullptr;
}

void TkfxHTTP2_IndexedQueue::RemoveSlot(size_t aIndex) {
  auto* item = static_cast<TkfxQueueItemBase*>(FList[aIndex]);
  FIndex.Erase(item->ID, aIndex);
  if (aIndex + 1 != FList.size()) {
    FList[aIndex] = FList.back();
    if (size_t* moved = FIndex.Find(static_cast<TkfxQueueItemBase*>(FList[aIndex])->ID);
        moved && *moved == FList.size() - 1)
      *moved = aIndex;
  }
  FList.pop_back();
  CountChanged();
  if (OwnObjects) item->Free();
}

void TkfxHTTP2_IndexedQueue::DeleteItem(std::string_view aID) {
  std::lock_guard guard(FLock);
  if (const size_t* position = FIndex.Find(aID)) RemoveSlot(*position);
}

void TkfxHTTP2_IndexedQueue::DeleteItem(int aIndex) {
  std::lock_guard guard(FLock);
  if (aIndex >= 0 && aIndex < static_cast<int>(FList.size())) RemoveSlot(static_cast<size_t>(aIndex));
}

void TkfxHTTP2_IndexedQueue::Rename(TkfxQueueItemBase* aItem, const std::string& aID) {
  std::lock_guard guard(FLock);
  const size_t* position = FIndex.Find(aItem->ID);
  if (!position || FList[*position] != aItem) return;
  const size_t at = *position;
  FIndex.Erase(aItem->ID, at);
  aItem->ID = aID;
  FIndex.Insert(aID, at);
}

void TkfxHTTP2_IndexedQueue::Clear() {
  std::lock_guard guard(FLock);
  FIndex.Clear();
  TkfxQueue::Clear();
}

// --- stream record ---

TkfxHTTP2Request& TkfxHTTP2_StreamResponse::Request() {
  if (!FRequest) FRequest = std::make_unique<TkfxHTTP2Request>();
  return *FRequest;
}

void TkfxHTTP2_StreamResponse::DoUpdateStreamState(FT aFrameType, TkfxHTTP2_Frame_Base* aFrame) {
  if (aFrame->TkfxHTTP2_Frame_Base::StreamIdentifier == 0) return;
  const bool endStream = EndStreamOf(aFrameType, aFrame);
  const auto error = [](Th2ErrorCodes aCode, const char* aMessage) { RaiseH2(aCode, aMessage); };
  using E = Th2ErrorCodes;
  switch (StreamState) {
    case SS::h2ssIdle:
      if (aFrameType == FT::h2ftHEADERS)
        StreamState = endStream ? SS::h2ssHalfClosedRemote : SS::h2ssOpen;
      else if (aFrameType == FT::h2ftPUSH_PROMISE)
        StreamState = SS::h2ssReservedRemote;
      else
        error(E::h2erPROTOCOL_ERROR, "Idle Stream only accepts HEADERS or PUSHPROMISE frames.");
      break;
    case SS::h2ssReservedLocal:
      if (aFrameType == FT::h2ftRST_STREAM)
        StreamState = SS::h2ssClosed;
      else if (aFrameType != FT::h2ftPRIORITY && aFrameType != FT::h2ftWINDOW_UPDATE)
        error(E::h2erPROTOCOL_ERROR,
              "Reserved Local Stream only accepts RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.");
      break;
    case SS::h2ssReservedRemote:
      // A pushed answer that ends with its header block closes the stream.
      if (aFrameType == FT::h2ftHEADERS)
        StreamState = endStream ? SS::h2ssClosed : SS::h2ssHalfClosedLocal;
      else if (aFrameType == FT::h2ftRST_STREAM)
        StreamState = SS::h2ssClosed;
      else if (aFrameType != FT::h2ftPRIORITY && aFrameType != FT::h2ftWINDOW_UPDATE)
        error(E::h2erPROTOCOL_ERROR,
              "Reserved Remote Stream only accepts HEADERS, RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.");
      break;
    case SS::h2ssOpen:
      if (aFrameType == FT::h2ftRST_STREAM)
        StreamState = SS::h2ssClosed;
      else if ((aFrameType == FT::h2ftDATA || aFrameType == FT::h2ftHEADERS) && endStream)
        StreamState = SS::h2ssHalfClosedRemote;
      break;
    case SS::h2ssHalfClosedLocal:
      if (aFrameType == FT::h2ftRST_STREAM || ((aFrameType == FT::h2ftDATA || aFrameType == FT::h2ftHEADERS) && endStream))
        StreamState = SS::h2ssClosed;
      break;
    case SS::h2ssHalfClosedRemote:
      if (aFrameType == FT::h2ftRST_STREAM)
        StreamState = SS::h2ssClosed;
      else if (aFrameType != FT::h2ftPRIORITY && aFrameType != FT::h2ftWINDOW_UPDATE &&
               aFrameType != FT::h2ftCONTINUATION)
        RaiseH2(E::h2erSTREAM_CLOSED,
                "Half Closed Remote Stream only accepts RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.");
      break;
    case SS::h2ssClosed:
      // A closed stream may still see frames the peer sent before it learnt
      // of the closing: WINDOW_UPDATE and RST_STREAM are ignored.
      if (aFrameType != FT::h2ftPRIORITY && aFrameType != FT::h2ftWINDOW_UPDATE &&
          aFrameType != FT::h2ftRST_STREAM)
        RaiseH2(E::h2erSTREAM_CLOSED, "Half Closed Remote Stream only accepts PRIORITY Frames.");
      break;
  }
}

void TkfxHTTP2_StreamResponse::DoCheckStreamIdentifier(FT aFrameType, TkfxHTTP2_Frame_Base* aFrame) {
  if (aFrame->TkfxHTTP2_Frame_Base::StreamIdentifier == 0) return;
  if (aFrameType == FT::h2ftPRIORITY || aFrameType == FT::h2ftRST_STREAM || aFrameType == FT::h2ftCONTINUATION)
    return;
  if (aFrameType == FT::h2ftSETTINGS && static_cast<TkfxHTTP2_Frame_Settings*>(aFrame)->ACK) return;
  if (aFrameType == FT::h2ftPING && static_cast<TkfxHTTP2_Frame_Ping*>(aFrame)->ACK) return;
  if ((aFrameType == FT::h2ftDATA || aFrameType == FT::h2ftHEADERS) && FFrame_PushPromise) return;
  const bool reading = IsReadingRole(aFrame->FrameRole);
  const bool odd = StreamIdentifier % 2 == 1;
  // Promised streams are opened by the other side than the stream they were
  // promised on.
  const bool wantOdd = (aFrameType == FT::h2ftPUSH_PROMISE) != reading;
  if (odd != wantOdd)
    RaiseH2(Th2ErrorCodes::h2erPROTOCOL_ERROR,
            odd ? "Received Stream Identifier is Odd." : "Received Stream Identifier is Even.");
}

void TkfxHTTP2_StreamResponse::AddFrame(FT aFrameType, const TkfxHTTP2_FramePtr& aFrame) {
  DoUpdateStreamState(aFrameType, aFrame.get());
  DoCheckStreamIdentifier(aFrameType, aFrame.get());
  switch (aFrameType) {
    case FT::h2ftDATA: FFrame_Data = aFrame; break;
    case FT::h2ftPUSH_PROMISE: FFrame_PushPromise = aFrame; break;
    case FT::h2ftHEADERS:
      if (static_cast<TkfxHTTP2_Frame_Headers*>(aFrame.get())->Trailers) {
        FFrame_Trailers = aFrame;
        break;
      }
      if (FFrame_Headers && static_cast<TkfxHTTP2_Frame_Headers*>(aFrame.get())->EndHeaders)
        RaiseH2(Th2ErrorCodes::h2erPROTOCOL_ERROR, "HEADER Frame cannot be received after receive EndHeaders = True.");
      FFrame_Headers = aFrame;
      break;
    case FT::h2ftWINDOW_UPDATE:
      // What the peer allows us to send on this stream; the DATA queue keeps
      // the windows that decide sending, this is the record's view of them.
      if (FFrame_Headers)
        WindowSize = std::min<int64_t>(
            WindowSize + static_cast<TkfxHTTP2_Frame_WindowUpdate*>(aFrame.get())->WindowSizeIncrement, h2MaxInt32);
      break;
    default: break;
  }
}

// --- stream records ---

TkfxHTTP2_StreamResponse* TkfxHTTP2_StreamResponses::GetStream(int32_t aStreamIdentifier) {
  // The ID is formatted on the stack: this runs for every frame read.
  char text[16];
  const auto end = std::to_chars(text, text + sizeof text, aStreamIdentifier).ptr;
  return static_cast<TkfxHTTP2_StreamResponse*>(GetItem(std::string_view(text, static_cast<size_t>(end - text))));
}

TkfxHTTP2_StreamResponse* TkfxHTTP2_StreamResponses::AddFrame(TkfxHTTP2_Read_Stream_Frame* aStreamFrame) {
  std::lock_guard guard(FLock);
  const int32_t id = aStreamFrame->Frame->StreamIdentifier;
  TkfxHTTP2_StreamResponse* stream = GetStream(id);
  if (!stream) {
    auto created = std::make_unique<TkfxHTTP2_StreamResponse>();
    created->ID = std::to_string(id);
    created->StreamIdentifier = id;
    created->WindowSize = aStreamFrame->WindowSize;
    stream = created.get();
    AddItem(created.release());
    try {
      stream->AddFrame(aStreamFrame->FrameType, aStreamFrame->Frame);
    } catch (...) {
      DeleteItem(stream->ID);  // a refused frame leaves no record behind
      throw;
    }
    return stream;
  }
  stream->AddFrame(aStreamFrame->FrameType, aStreamFrame->Frame);
  return stream;
}

TkfxHTTP2_StreamResponse* TkfxHTTP2_StreamResponses::AddRequest(int32_t aStreamIdentifier,
                                                               const TkfxHTTP2Request* aRequest) {
  std::lock_guard guard(FLock);
  if (TkfxHTTP2_StreamResponse* existing = GetStream(aStreamIdentifier)) return existing;
  auto created = std::make_unique<TkfxHTTP2_StreamResponse>();
  created->ID = std::to_string(aStreamIdentifier);
  created->StreamIdentifier = aStreamIdentifier;
  created->StreamState = Th2StreamState::h2ssOpen;
  if (aRequest) created->Request().Assign(aRequest);
  TkfxHTTP2_StreamResponse* stream = created.get();
  AddItem(created.release());
  return stream;
}

int TkfxHTTP2_StreamResponses::ConcurrentStreams() {
  std::lock_guard guard(FLock);
  int count = 0;
  for (void* item : FList) count += IsActive(static_cast<TkfxHTTP2_StreamResponse*>(item)->StreamState);
  return count;
}

int TkfxHTTP2_StreamResponses::ConcurrentStreams(int aParity) {
  std::lock_guard guard(FLock);
  int count = 0;
  for (void* item : FList) {
    auto* stream = static_cast<TkfxHTTP2_StreamResponse*>(item);
    count += IsActive(stream->StreamState) && stream->StreamIdentifier % 2 == aParity;
  }
  return count;
}

// --- DATA queue ---

void TkfxHTTP2_Write_Data_Frames::AddFrame(const TkfxHTTP2_Frame_Data& aFrame, int64_t aInitialWindowSize) {
  std::lock_guard guard(FLock);
  auto item = std::make_unique<TkfxHTTP2_Write_Data_Frame>();
  item->ID = std::to_string(aFrame.StreamIdentifier);
  item->WindowSize = aInitialWindowSize;
  item->Frame_Data = std::make_unique<TkfxHTTP2_Frame_Data>(aFrame.FrameRole);
  item->Frame_Data->Assign(&aFrame);
  item->Frame_Data->OnWriteBytes = aFrame.OnWriteBytes;
  AddItem(item.release());
  SendPendingFrames();
}

bool TkfxHTTP2_Write_Data_Frames::SendFrame(TkfxHTTP2_Write_Data_Frame& aItem) {
  TkfxHTTP2_Frame_Data& frame = *aItem.Frame_Data;
  const int64_t left = static_cast<int64_t>(frame.Data.size()) - frame.Offset;
  if (left <= 0) {
    // An empty frame (the END_STREAM of an empty body) takes no window.
    frame.SendData(0);
    return true;
  }
  const int64_t limit = std::min(aItem.WindowSize, ConnectionWindowSize);
  if (limit < 1) return false;
  const int64_t before = frame.Offset;
  const int64_t remaining = frame.SendData(limit);
  const int64_t written = frame.Offset - before;
  aItem.WindowSize -= written;
  ConnectionWindowSize -= written;
  return remaining == 0;
}

void TkfxHTTP2_Write_Data_Frames::SendPendingFrames() {
  std::lock_guard guard(FLock);
  // Streams whose oldest frame is still queued: a few numbers, searched
  // from the newest; nothing is allocated while every frame goes out.
  std::vector<int32_t> waiting;
  for (size_t i = 0; i < FList.size();) {
    auto* item = static_cast<TkfxHTTP2_Write_Data_Frame*>(FList[i]);
    const int32_t stream = item->Frame_Data->StreamIdentifier;
    const bool empty = static_cast<int64_t>(item->Frame_Data->Data.size()) <= item->Frame_Data->Offset;
    // Frames of one stream go in order; without connection window only
    // empty frames can still go.
    if (std::find(waiting.rbegin(), waiting.rend(), stream) != waiting.rend()) {
      ++i;
      continue;
    }
    if ((ConnectionWindowSize <= 0 && !empty) || !SendFrame(*item)) {
      waiting.push_back(stream);
      ++i;
      continue;
    }
    RemoveAt(i);
  }
}

void TkfxHTTP2_Write_Data_Frames::SendStreamFrame(int32_t aStreamIdentifier) {
  std::lock_guard guard(FLock);
  for (size_t i = 0; i < FList.size(); ++i) {
    auto* item = static_cast<TkfxHTTP2_Write_Data_Frame*>(FList[i]);
    if (item->Frame_Data->StreamIdentifier != aStreamIdentifier) continue;
    if (SendFrame(*item)) RemoveAt(i);
    return;
  }
}

void TkfxHTTP2_Write_Data_Frames::ApplyInitialWindowSize(int32_t aValue) {
  std::lock_guard guard(FLock);
  const int64_t delta = static_cast<int64_t>(aValue) - FInitialWindowSize;
  FInitialWindowSize = aValue;
  for (void* entry : FList) {
    auto* item = static_cast<TkfxHTTP2_Write_Data_Frame*>(entry);
    item->WindowSize += delta;
    if (item->WindowSize > h2MaxInt32)
      RaiseH2(Th2ErrorCodes::h2erFLOW_CONTROL_ERROR, "Invalid Initial Window Size");
  }
  SendPendingFrames();
}

bool TkfxHTTP2_Write_Data_Frames::ApplyWindowUpdate(int32_t aStreamIdentifier, int32_t aWindowSizeIncrement) {
  const char* overflow = "WINDOW UPDATE FRAME: Window Size Increment has exceed 2^30.";
  std::lock_guard guard(FLock);
  if (aStreamIdentifier == 0) {
    ConnectionWindowSize += aWindowSizeIncrement;
    if (ConnectionWindowSize > h2MaxInt32) RaiseH2(Th2ErrorCodes::h2erFLOW_CONTROL_ERROR, overflow);
    return true;
  }
  bool applied = false;
  for (void* entry : FList) {
    auto* item = static_cast<TkfxHTTP2_Write_Data_Frame*>(entry);
    if (item->Frame_Data->StreamIdentifier != aStreamIdentifier) continue;
    applied = true;
    item->WindowSize += aWindowSizeIncrement;
    if (item->WindowSize > h2MaxInt32)
      RaiseH2(Th2ErrorCodes::h2erFLOW_CONTROL_ERROR, overflow, aStreamIdentifier, Th2ErrorResponse::h2errRST_STREAM);
  }
  return applied;
}
