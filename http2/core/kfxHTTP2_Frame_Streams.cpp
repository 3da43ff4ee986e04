#include "http2/core/kfxHTTP2_Frame_Streams.h"

#include <algorithm>
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

// --- reassembly records ---

TkfxHTTP2_Read_Stream_Frame* TkfxHTTP2_Read_Stream_Frames::GetFrame(const TkfxHTTP2_StreamFrameKey& aKey) {
  const auto* found = FRecords.Find(aKey);
  return found ? found->get() : nullptr;
}

TkfxHTTP2_Read_Stream_Frame& TkfxHTTP2_Read_Stream_Frames::AddFrame(
    std::unique_ptr<TkfxHTTP2_Read_Stream_Frame> aRecord) {
  const TkfxHTTP2_StreamFrameKey key = aRecord->Key;
  return *FRecords.Set(key, std::move(aRecord));
}

void TkfxHTTP2_Read_Stream_Frames::DeleteFrame(const TkfxHTTP2_StreamFrameKey& aKey) {
  FRecords.Erase(aKey);
}

void TkfxHTTP2_Read_Stream_Frames::Rename(TkfxHTTP2_Read_Stream_Frame& aRecord, const TkfxHTTP2_StreamFrameKey& aKey) {
  auto* slot = FRecords.Find(aRecord.Key);
  if (!slot || slot->get() != &aRecord) return;
  std::unique_ptr<TkfxHTTP2_Read_Stream_Frame> record = std::move(*slot);
  FRecords.Erase(aRecord.Key);
  record->Key = aKey;
  FRecords.Set(aKey, std::move(record));
}

// --- stream record ---

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
  const auto* found = FStreams.Find(aStreamIdentifier);
  return found ? found->get() : nullptr;
}

TkfxHTTP2_StreamResponse* TkfxHTTP2_StreamResponses::AddFrame(TkfxHTTP2_Read_Stream_Frame* aStreamFrame) {
  const int32_t id = aStreamFrame->Frame->StreamIdentifier;
  if (TkfxHTTP2_StreamResponse* stream = GetStream(id)) {
    stream->AddFrame(aStreamFrame->FrameType, aStreamFrame->Frame);
    return stream;
  }
  // A refused frame leaves no record behind: the record is filed only once
  // it took the frame.
  auto created = std::make_unique<TkfxHTTP2_StreamResponse>();
  created->StreamIdentifier = id;
  created->WindowSize = aStreamFrame->WindowSize;
  created->AddFrame(aStreamFrame->FrameType, aStreamFrame->Frame);
  return FStreams.Set(id, std::move(created)).get();
}

TkfxHTTP2_StreamResponse* TkfxHTTP2_StreamResponses::AddRequest(int32_t aStreamIdentifier, Th2Methods aMethod,
                                                               void* aUserData) {
  if (TkfxHTTP2_StreamResponse* existing = GetStream(aStreamIdentifier)) return existing;
  auto created = std::make_unique<TkfxHTTP2_StreamResponse>();
  created->StreamIdentifier = aStreamIdentifier;
  created->StreamState = Th2StreamState::h2ssOpen;
  created->RequestMethod = aMethod;
  created->UserData = aUserData;
  return FStreams.Set(aStreamIdentifier, std::move(created)).get();
}

int TkfxHTTP2_StreamResponses::ConcurrentStreams() {
  int count = 0;
  FStreams.ForEach([&count](int32_t, const std::unique_ptr<TkfxHTTP2_StreamResponse>& aStream) {
    count += IsActive(aStream->StreamState);
  });
  return count;
}

int TkfxHTTP2_StreamResponses::ConcurrentStreams(int aParity) {
  int count = 0;
  FStreams.ForEach([&count, aParity](int32_t, const std::unique_ptr<TkfxHTTP2_StreamResponse>& aStream) {
    count += IsActive(aStream->StreamState) && aStream->StreamIdentifier % 2 == aParity;
  });
  return count;
}

// --- DATA queue ---

void TkfxHTTP2_Write_Data_Frames::AddFrame(const TkfxHTTP2_Frame_Data& aFrame, int64_t aInitialWindowSize) {
  auto item = std::make_unique<TkfxHTTP2_Write_Data_Frame>();
  item->WindowSize = aInitialWindowSize;
  item->Frame_Data = std::make_unique<TkfxHTTP2_Frame_Data>(aFrame.FrameRole);
  item->Frame_Data->Assign(&aFrame);
  item->Frame_Data->OnWriteBytes = aFrame.OnWriteBytes;
  FItems.push_back(std::move(item));
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

TkfxHTTP2_Write_Data_Frame* TkfxHTTP2_Write_Data_Frames::GetItemByIndex(int aIndex) const {
  if (aIndex < 0 || aIndex >= static_cast<int>(FItems.size())) return nullptr;
  return FItems[static_cast<size_t>(aIndex)].get();
}

void TkfxHTTP2_Write_Data_Frames::RemoveAt(size_t aIndex) {
  FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(aIndex));
}

void TkfxHTTP2_Write_Data_Frames::DeleteStreamFrames(int32_t aStreamIdentifier) {
  std::erase_if(FItems, [aStreamIdentifier](const std::unique_ptr<TkfxHTTP2_Write_Data_Frame>& aItem) {
    return aItem->Frame_Data->StreamIdentifier == aStreamIdentifier;
  });
}

void TkfxHTTP2_Write_Data_Frames::SendPendingFrames() {
  // Streams whose oldest frame is still queued: a few numbers, searched
  // from the newest; nothing is allocated while every frame goes out.
  std::vector<int32_t> waiting;
  for (size_t i = 0; i < FItems.size();) {
    TkfxHTTP2_Write_Data_Frame* item = FItems[i].get();
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
  for (size_t i = 0; i < FItems.size(); ++i) {
    TkfxHTTP2_Write_Data_Frame* item = FItems[i].get();
    if (item->Frame_Data->StreamIdentifier != aStreamIdentifier) continue;
    if (SendFrame(*item)) RemoveAt(i);
    return;
  }
}

void TkfxHTTP2_Write_Data_Frames::ApplyInitialWindowSize(int32_t aValue) {
  const int64_t delta = static_cast<int64_t>(aValue) - FInitialWindowSize;
  FInitialWindowSize = aValue;
  for (const auto& item : FItems) {
    item->WindowSize += delta;
    if (item->WindowSize > h2MaxInt32)
      RaiseH2(Th2ErrorCodes::h2erFLOW_CONTROL_ERROR, "Invalid Initial Window Size");
  }
  SendPendingFrames();
}

bool TkfxHTTP2_Write_Data_Frames::ApplyWindowUpdate(int32_t aStreamIdentifier, int32_t aWindowSizeIncrement) {
  const char* overflow = "WINDOW UPDATE FRAME: Window Size Increment has exceed 2^30.";
  if (aStreamIdentifier == 0) {
    ConnectionWindowSize += aWindowSizeIncrement;
    if (ConnectionWindowSize > h2MaxInt32) RaiseH2(Th2ErrorCodes::h2erFLOW_CONTROL_ERROR, overflow);
    return true;
  }
  bool applied = false;
  for (const auto& item : FItems) {
    if (item->Frame_Data->StreamIdentifier != aStreamIdentifier) continue;
    applied = true;
    item->WindowSize += aWindowSizeIncrement;
    if (item->WindowSize > h2MaxInt32)
      RaiseH2(Th2ErrorCodes::h2erFLOW_CONTROL_ERROR, overflow, aStreamIdentifier, Th2ErrorResponse::h2errRST_STREAM);
  }
  return applied;
}
