#include "http2/client/kfxHTTP2_Client_Connection.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <vector>

#include "base/kfxBase_Helpers.h"
#include "http2/client/kfxHTTP2_Client_HeaderFields.h"
#include "rtl/DateTime.h"
#include "rtl/MainThread.h"

namespace {

using FT = Th2FrameType;

const char kPreface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

}  // namespace

std::string RFC1123DateGMT(TDateTime aLocal) {
  static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t seconds = static_cast<time_t>(DateTimeToUnix(aLocal, false));
  struct tm parts {};
  gmtime_r(&seconds, &parts);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %.2d %s %.4d %.2d:%.2d:%.2d GMT", kDays[parts.tm_wday], parts.tm_mday,
                kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

TkfxHTTP2ConnectionClient::TkfxHTTP2ConnectionClient() { SetTransport(TwsTransport::trpHTTP2); }

TkfxHTTP2ConnectionClient::~TkfxHTTP2ConnectionClient() {
  // Nobody may be left waiting on a connection that is gone; its handlers
  // are not called any more.
  OnStreamFailed = nullptr;
  SetWaitDisconnect();
}

// --- frame handlers ---

TkfxHTTP2_Frame& TkfxHTTP2ConnectionClient::FrameRead() {
  std::lock_guard guard(FFrameLock);
  if (!FFrameRead) {
    auto frame = std::make_unique<TkfxHTTP2_Frame>();
    frame->SetFrameRole(Th2FrameRole::h2frClientRead);
    frame->MaxConcurrentStreams = h2MaxInt32;
    frame->OnReadFrameData = [this](TObject* s, TkfxHTTP2_Frame_Data* f) { OnReadFrameDataEvent(s, f); };
    frame->OnReadFrameHeaders = [this](TObject* s, TkfxHTTP2_Frame_Headers* f) { OnReadFrameHeadersEvent(s, f); };
    frame->OnReadFrameRSTStream = [this](TObject* s, TkfxHTTP2_Frame_RSTStream* f) {
      OnReadFrameRSTStreamEvent(s, f);
    };
    frame->OnReadFramePriority = [this](TObject* s, TkfxHTTP2_Frame_Priority* f) {
      OnReadFramePriorityEvent(s, f);
    };
    frame->OnReadFrameSettings = [this](TObject* s, TkfxHTTP2_Frame_Settings* f) {
      OnReadFrameSettingsEvent(s, f);
    };
    frame->OnReadFramePushPromise = [this](TObject* s, TkfxHTTP2_Frame_PushPromise* f) {
      OnReadFramePushPromiseEvent(s, f);
    };
    frame->OnReadFramePing = [this](TObject* s, TkfxHTTP2_Frame_Ping* f) { OnReadFramePingEvent(s, f); };
    frame->OnReadFrameGoAway = [this](TObject* s, TkfxHTTP2_Frame_GoAway* f) { OnReadFrameGoAwayEvent(s, f); };
    frame->OnReadFrameWindowUpdate = [this](TObject* s, TkfxHTTP2_Frame_WindowUpdate* f) {
      OnReadFrameWindowUpdateEvent(s, f);
    };
    frame->OnReadFrameContinuation = [this](TObject* s, TkfxHTTP2_Frame_Continuation* f) {
      OnReadFrameContinuationEvent(s, f);
    };
    frame->OnReadStreamResponse = [this](TObject* s, TkfxHTTP2_StreamResponse* r) {
      OnReadStreamResponseEvent(s, r);
    };
    frame->OnReadStreamResponseFragment = [this](TObject* s, TkfxHTTP2_StreamResponse* r, const TIdBytes& b) {
      OnReadStreamResponseFragmentEvent(s, r, b);
    };
    // The reader writes its own WINDOW_UPDATE frames.
    frame->OnWriteBytes = [this](TObject*, const TIdBytes& aBytes) {
      if (!aBytes.empty()) WriteBytes(aBytes);
    };
    FFrameRead = std::move(frame);
  }
  return *FFrameRead;
}

TkfxHTTP2_Frame& TkfxHTTP2ConnectionClient::FrameWrite() {
  std::lock_guard guard(FFrameLock);
  if (!FFrameWrite) {
    auto frame = std::make_unique<TkfxHTTP2_Frame>();
    frame->SetFrameRole(Th2FrameRole::h2frClientWrite);
    frame->Frame_PushPromise().OnRequestPromisedStreamId = [this](int32_t& aStreamIdentifier) {
      OnRequestPromisedStreamIdEvent(aStreamIdentifier);
    };
    frame->OnWriteBytes = [this](TObject* s, const TIdBytes& aBytes) { OnWriteFrameBytesEvent(s, aBytes); };
    FFrameWrite = std::move(frame);
  }
  return *FFrameWrite;
}

void TkfxHTTP2ConnectionClient::OnWriteFrameBytesEvent(TObject*, const TIdBytes& aBuffer) {
  if (!aBuffer.empty()) WriteBytes(aBuffer);
}

void TkfxHTTP2ConnectionClient::OnRequestPromisedStreamIdEvent(int32_t& aStreamIdentifier) {
  aStreamIdentifier = FPromisedStreams.GetNewIdentifier();
}


TkfxHTTP2Response& TkfxHTTP2ConnectionClient::Response() {
  if (!FResponse) FResponse = std::make_unique<TkfxHTTP2Response>();
  return *FResponse;
}

// --- start ---

void TkfxHTTP2ConnectionClient::DoHTTP2Initialize(TIdTCPConnection* aTCPConnection,
                                                  const TkfxHTTP2Settings* aSettings) {
  SetTCPConnection(aTCPConnection);
  if (aSettings) {
    std::lock_guard read(FReadLock);
    TkfxHTTP2_Frame& reader = FrameRead();
    reader.MaxConcurrentStreams = aSettings->MaxConcurrentStreams;
    // What we advertise binds our reader. Values below the protocol's
    // defaults bind only once the peer has acknowledged them: until then it
    // may still send by the defaults.
    reader.MaxFrameSize = std::max(aSettings->MaxFrameSize, h2DefaultMaxFrameSize);
    reader.HPACK().SetDynamicTableSizeLimit(std::max(aSettings->HeaderTableSize, 4096));
    reader.InitialReadWindowSize = std::max(aSettings->InitialWindowSize, 65535);
  }
  std::lock_guard write(FWriteLock);
  if (aSettings) {
    TkfxHTTP2_Frame_Settings& settings = FrameWrite().Frame_Settings();
    settings.EnableConnectProtocol = aSettings->EnableConnectProtocol;
    settings.EnablePush = aSettings->EnablePush;
    settings.HeaderTableSize = aSettings->HeaderTableSize;
    settings.InitialWindowSize = aSettings->InitialWindowSize;
    settings.MaxConcurrentStreams = aSettings->MaxConcurrentStreams;
    settings.MaxFrameSize = aSettings->MaxFrameSize;
    settings.MaxHeaderListSize = aSettings->MaxHeaderListSize;
  }
  if (FTLS && ALPNProtocol() != "h2")
    throw TkfxHTTP2Exception(Th2ErrorCodes::h2erNO_ERROR, "ALPN h2 is not supported.",
                             Th2ErrorResponse::h2errGO_AWAY, 0);
  WriteBytes(TIdBytes(kPreface, kPreface + 24));
  TkfxHTTP2_Frame_Settings& settings = FrameWrite().Frame_Settings();
  settings.ACK = false;
  settings.WriteBytes();
}

void TkfxHTTP2ConnectionClient::CheckFirstFrame(Th2FrameType aFrameType) {
  if (FSettingsReceived.load() || aFrameType == FT::h2ftSETTINGS) return;
  // A server's connection preface is a SETTINGS frame; anything else first
  // is a protocol violation.
  throw TkfxHTTP2Exception(Th2ErrorCodes::h2erPROTOCOL_ERROR, "First frame received must be settings.",
                           Th2ErrorResponse::h2errGO_AWAY, 0);
}

// --- writing ---

void TkfxHTTP2ConnectionClient::WriteBytes(const TIdBytes& aBytes) {
  if (aBytes.empty()) return;
  std::lock_guard guard(FWriteLock);
  if (FGathering) {
    FGathered.insert(FGathered.end(), aBytes.begin(), aBytes.end());
    return;
  }
  if (OnCommand) {
    OnCommand(this, this, TkfxTCPCommands::tcmWriteBytes, aBytes);
    return;
  }
  TkfxTCPConnectionClient::WriteBytes(aBytes);
}

void TkfxHTTP2ConnectionClient::Disconnect() {
  if (OnCommand) {
    OnCommand(this, this, TkfxTCPCommands::tcmNotActive, TIdBytes());
    return;
  }
  DisconnectPeer();
}

void TkfxHTTP2ConnectionClient::DisconnectPeer() {
  TkfxTCPConnectionClient::DisconnectPeer();
  SetWaitDisconnect();
}

void TkfxHTTP2ConnectionClient::DoAfterException() {
  if (Disconnected()) return;
  SetDisconnected(true);
  DisconnectPeer();
}

void TkfxHTTP2ConnectionClient::CancelStream(int32_t aStreamIdentifier, Th2ErrorCodes aError) {
  std::lock_guard guard(FWriteLock);
  TkfxHTTP2_Frame_RSTStream& reset = FrameWrite().Frame_RSTStream();
  reset.StreamIdentifier = aStreamIdentifier;
  reset.ErrorCode = static_cast<int32_t>(aError);
  reset.WriteBytes();
}

void TkfxHTTP2ConnectionClient::DoPing() {
  std::lock_guard guard(FWriteLock);
  TkfxHTTP2_Frame_Ping& ping = FrameWrite().Frame_Ping();
  ping.ACK = false;
  if (ping.PayLoad.size() != 8) ping.PayLoad.assign(8, 0);
  ping.WriteBytes();
}

void TkfxHTTP2ConnectionClient::DoClose(Th2ErrorCodes aErrorCode, const std::string& aDescription) {
  {
    std::lock_guard guard(FWriteLock);
    if (!FGoAwaySent.exchange(true)) {
      TkfxHTTP2_Frame_GoAway& goAway = FrameWrite().Frame_GoAway();
      goAway.ErrorCode = static_cast<int32_t>(aErrorCode);
      goAway.AdditionalDebugData = aDescription;
      goAway.WriteBytes();
    }
  }
  std::this_thread::yield();
  Disconnect();
}

// --- reading ---

void TkfxHTTP2ConnectionClient::ReadData() {
  const int n = GetReadBufferSize();
  if (n <= 0) return;
  TIdBytes chunk;
  ReadBytes(chunk, n);
  DoReadBytes(chunk);
}

void TkfxHTTP2ConnectionClient::DoReadBytes(const TIdBytes& aBytes) {
  // After a connection error the rest of the stream means nothing.
  if (FReadStopped || aBytes.empty()) return;
  // The whole pass, events included, is one call into the reader.
  std::lock_guard read(FReadLock);
  ApplyReaderChanges();
  struct TReadPass {
    TkfxHTTP2ConnectionClient* Self;
    explicit TReadPass(TkfxHTTP2ConnectionClient* aSelf) : Self(aSelf) {
      Self->FReadingThread = std::this_thread::get_id();
      Self->FReadingBytes = true;
    }
    ~TReadPass() {
      Self->FReadingBytes = false;
      if (Self->FSlotSignalOwed) {
        Self->FSlotSignalOwed = false;
        Self->SignalSlotWaiters();
      }
    }
  } pass(this);
  try {
    FrameRead().ReadBytes(std::span<const uint8_t>(aBytes.data(), aBytes.size()));
  } catch (const TkfxHTTP2Exception& E) {
    DoHTTP2Error(E);
  } catch (const Exception& E) {
    // The reader's plain errors come from the header decoder: a header
    // block it cannot decode leaves the compression context unknown, which
    // ends the connection with COMPRESSION_ERROR.
    if (E.ClassName() != "Exception") throw;
    DoHTTP2Error(TkfxHTTP2Exception(Th2ErrorCodes::h2erCOMPRESSION_ERROR, E.Message(), Th2ErrorResponse::h2errGO_AWAY, 0));
  }
}

void TkfxHTTP2ConnectionClient::DoHTTP2Error(const TkfxHTTP2Exception& E) {
  if (E.ErrorResponse == Th2ErrorResponse::h2errRST_STREAM && E.StreamIdentifier != 0) {
    CancelStream(E.StreamIdentifier, E.ErrorCode);
    FailStream(E.StreamIdentifier, Th2WaitResult::h2wrReset, static_cast<int32_t>(E.ErrorCode));
    return;
  }
  // The reader's state is lost with the frame that broke it: read nothing more.
  FReadStopped = true;
  TkfxHTTP2Exception copy(E);
  DoConnectionException(copy);
  DoClose(E.ErrorCode, "");
}

void TkfxHTTP2ConnectionClient::DoConnectionException(Exception& E) {
  if (OnException) OnException(this, this, &E);
}

void TkfxHTTP2ConnectionClient::OnReadFrameSettingsEvent(TObject*, TkfxHTTP2_Frame_Settings* Frame) {
  if (Frame->ACK) {
    // Our SETTINGS are in force now, also the values below the defaults.
    FSettingsSent = true;
    std::lock_guard guard(FWriteLock);
    const TkfxHTTP2_Frame_Settings& ours = FrameWrite().Frame_Settings();
    TkfxHTTP2_Frame& reader = FrameRead();
    reader.MaxFrameSize = ours.MaxFrameSize;
    reader.HPACK().SetDynamicTableSizeLimit(ours.HeaderTableSize);
    reader.InitialReadWindowSize = ours.InitialWindowSize;
    return;
  }
  {
    std::lock_guard guard(FWriteLock);
    TkfxHTTP2_Frame& writer = FrameWrite();
    // Only what the frame carries changes; the rest keeps its value.
    if (Frame->Carries(Th2SettingsIdentifier::h2siInitialWindowSize))
      writer.SetWriteDataFramesInitialWindowSize(Frame->InitialWindowSize);
    if (Frame->Carries(Th2SettingsIdentifier::h2siHeaderTableSize))
      writer.HPACK().SetDynamicTableSizeLimit(Frame->HeaderTableSize);
    if (Frame->Carries(Th2SettingsIdentifier::h2siMaxConcurrentStreams)) {
      {
        std::lock_guard streams(FStreamLock);
        FPeerMaxConcurrentStreams = Frame->MaxConcurrentStreams;
      }
      SignalSlotWaiters();
      SignalMainThread();
    }
    // The acknowledgement; our own values stay in the working object.
    TkfxHTTP2_Frame_Settings& settings = writer.Frame_Settings();
    settings.ACK = true;
    try {
      settings.WriteBytes();
    } catch (...) {
      settings.ACK = false;
      throw;
    }
    settings.ACK = false;
  }
  // Only now: whoever waited for the server's SETTINGS must find its stream
  // limit in force, or it would open streams the server refuses.
  if (!FSettingsReceived.exchange(true)) SignalMainThread();
  if (OnConnect) OnConnect(this, this);
}

void TkfxHTTP2ConnectionClient::OnReadFramePingEvent(TObject*, TkfxHTTP2_Frame_Ping* Frame) {
  CheckFirstFrame(FT::h2ftPING);
  if (Frame->ACK) return;
  std::lock_guard guard(FWriteLock);
  TkfxHTTP2_Frame_Ping& ping = FrameWrite().Frame_Ping();
  ping.ACK = true;
  ping.PayLoad = Frame->PayLoad;
  ping.WriteBytes();
  ping.ACK = false;
}

void TkfxHTTP2ConnectionClient::OnReadFrameGoAwayEvent(TObject*, TkfxHTTP2_Frame_GoAway* Frame) {
  CheckFirstFrame(FT::h2ftGOAWAY);
  const int32_t last = Frame->LastStreamid;
  FGoAwayLastStream = last;
  FGoAwayReceived = true;
  SignalSlotWaiters();
  SignalMainThread();
  // Streams above the last one were not processed: they may go again elsewhere.
  std::vector<int32_t> refused;
  {
    std::lock_guard guard(FStreamLock);
    for (const auto& [id, open] : FOpenStreams)
      if (id > last) refused.push_back(id);
  }
  for (int32_t id : refused) FailStream(id, Th2WaitResult::h2wrRefused, Frame->ErrorCode);
  if (OnGoAway) {
    TkfxHTTP2GoAwayProperty property;
    property.LastStreamId = last;
    property.ErrorCode = Frame->ErrorCode;
    property.ErrorDescription = ErrorDescription(Frame->ErrorCode);
    property.AdditionalDebugData = Frame->AdditionalDebugData;
    OnGoAway(this, this, &property);
  }
  CheckGoAwayDone();
}

void TkfxHTTP2ConnectionClient::CheckGoAwayDone() {
  if (!FGoAwayReceived.load() || FGoAwaySent.load()) return;
  {
    std::lock_guard guard(FStreamLock);
    if (!FOpenStreams.empty() || FReservedSlots > 0) return;
  }
  DoClose(Th2ErrorCodes::h2erNO_ERROR, "");
}

void TkfxHTTP2ConnectionClient::OnReadFrameRSTStreamEvent(TObject*, TkfxHTTP2_Frame_RSTStream* Frame) {
  const int32_t id = Frame->TkfxHTTP2_Frame_Base::StreamIdentifier;
  const bool refused = Frame->ErrorCode == static_cast<int32_t>(Th2ErrorCodes::h2erREFUSED_STREAM);
  bool ours;
  {
    std::lock_guard guard(FStreamLock);
    ours = FOpenStreams.count(id) != 0;
  }
  // The event comes first, so a caller released below finds it reported.
  if (OnRSTStream) {
    TkfxHTTP2RSTStreamProperty property;
    property.ErrorCode = Frame->ErrorCode;
    property.ErrorDescription = ErrorDescription(Frame->ErrorCode);
    property.StreamIdentifier = id;
    OnRSTStream(this, this, &property);
  }
  if (ours)
    FailStream(id, refused ? Th2WaitResult::h2wrRefused : Th2WaitResult::h2wrReset, Frame->ErrorCode);
  else if (id % 2 == 0)
    DoCloseStream(id);  // a pushed stream
  CheckGoAwayDone();
}

void TkfxHTTP2ConnectionClient::OnReadFrameWindowUpdateEvent(TObject*, TkfxHTTP2_Frame_WindowUpdate* Frame) {
  CheckFirstFrame(FT::h2ftWINDOW_UPDATE);
  std::lock_guard guard(FWriteLock);
  FrameWrite().SetWriteDataFramesWindowSize(Frame->StreamIdentifier, Frame->WindowSizeIncrement);
}

void TkfxHTTP2ConnectionClient::OnReadFrameDataEvent(TObject*, TkfxHTTP2_Frame_Data*) {
  CheckFirstFrame(FT::h2ftDATA);
}

void TkfxHTTP2ConnectionClient::OnReadFrameHeadersEvent(TObject*, TkfxHTTP2_Frame_Headers*) {
  CheckFirstFrame(FT::h2ftHEADERS);
}

void TkfxHTTP2ConnectionClient::OnReadFramePriorityEvent(TObject*, TkfxHTTP2_Frame_Priority*) {
  CheckFirstFrame(FT::h2ftPRIORITY);
}

void TkfxHTTP2ConnectionClient::OnReadFramePushPromiseEvent(TObject*, TkfxHTTP2_Frame_PushPromise* Frame) {
  CheckFirstFrame(FT::h2ftPUSH_PROMISE);
  bool cancel = false;
  if (OnPushPromise) OnPushPromise(this, this, Frame, cancel);
  if (cancel) CancelStream(Frame->StreamIdentifier, Th2ErrorCodes::h2erREFUSED_STREAM);
}

void TkfxHTTP2ConnectionClient::OnReadStreamResponseFragmentEvent(TObject*, TkfxHTTP2_StreamResponse* Stream,
                                                                  const TIdBytes& Bytes) {
  if (OnStreamResponseFragment) OnStreamResponseFragment(this, this, Stream, Bytes);
}

void TkfxHTTP2ConnectionClient::OnReadStreamResponseEvent(TObject*, TkfxHTTP2_StreamResponse* Stream) {
  const int32_t id = Stream->StreamIdentifier;
  TkfxHTTP2_Frame_Headers* headers = Stream->Frame_Headers();
  if (headers && headers->Status() == 302 && FollowRedirect(Stream)) return;
  bool waited = false;
  {
    std::lock_guard guard(FStreamLock);
    auto at = FOpenStreams.find(id);
    waited = at != FOpenStreams.end() && at->second.Waiter;
  }
  if (waited) {
    // The waiter gets its own copy; the record is released here, on the
    // thread that filled it.
    FinishWaiter(id, Th2WaitResult::h2wrAnswered, 0, Stream);
    DoCloseStream(id);
  } else {
    ReleaseStreamSlot(id);
    if (OnStreamResponse) OnStreamResponse(this, this, Stream);
  }
  CheckGoAwayDone();
}

bool TkfxHTTP2ConnectionClient::FollowRedirect(TkfxHTTP2_StreamResponse* aStream) {
  const int32_t id = aStream->StreamIdentifier;
  std::string location = Trim(aStream->Frame_Headers()->Location());
  if (location.empty() || FGoAwayReceived.load() || FGoAwaySent.load() || WaitDisconnect()) return false;
  std::string path = location;
  if (location[0] != '/') {
    std::string protocol, host;
    int port = 443;
    try {
      if (!SplitHTTP2URL(location, protocol, host, port, path)) return false;
    } catch (const Exception&) {
      return false;
    }
    // Only the host this connection serves can be reached on it.
    std::string authority = FHost;
    const size_t colon = authority.rfind(':');
    std::string ourHost = colon != std::string::npos && authority.find(']') == std::string::npos
                              ? authority.substr(0, colon)
                              : authority;
    if (LowerCase(host) != LowerCase(ourHost) && LowerCase(host) != LowerCase(authority)) return false;
  }
  TOpenStream entry;
  {
    std::lock_guard guard(FStreamLock);
    auto at = FOpenStreams.find(id);
    if (at == FOpenStreams.end() || at->second.Redirects >= MaxRedirects) return false;
    entry = at->second;
    FOpenStreams.erase(at);
    ++FReservedSlots;  // the stream's slot passes to the redirected request
  }
  TkfxHTTP2Request request;
  if (const TkfxHTTP2Request* sent = StreamRequest(aStream)) request.Assign(sent);
  request.Redirect = true;
  request.Method = Th2Methods::h2meGet;
  request.URL = path;
  TStringList lines;
  BuildHTTP2HeaderLines(Th2Methods::h2meGet, path, FHost, nullptr, request, lines);
  DoCloseStream(id);
  int32_t next = 0;
  try {
    next = SendRequest(lines, nullptr, request, entry.Waiter);
  } catch (...) {
    // Dropped on purpose: a redirect that cannot be sent ends its request as
    // not sent just below (waiter, slot), which is all a failure here means.
    next = 0;
  }
  if (next == 0) {
    {
      std::lock_guard guard(FStreamLock);
      if (FReservedSlots > 0) --FReservedSlots;
    }
    if (entry.Waiter) {
      {
        std::lock_guard guard(entry.Waiter->Lock);
        entry.Waiter->Result = Th2WaitResult::h2wrNotSent;
      }
      entry.Waiter->Wake();
    }
    entry.Waiter.reset();
    SignalSlotWaiters();
    SignalMainThread();
    return true;
  }
  std::lock_guard guard(FStreamLock);
  auto at = FOpenStreams.find(next);
  if (at != FOpenStreams.end()) {
    at->second.Redirects = entry.Redirects + 1;
    at->second.RequestID = entry.RequestID;
  }
  return true;
}

void TkfxHTTP2ConnectionClient::DoCloseStream(int32_t aStreamIdentifier) {
  if (aStreamIdentifier == 0) return;
  ChangeReader(TReaderChangeKind::rcClose, aStreamIdentifier);
}

void TkfxHTTP2ConnectionClient::ChangeReader(TReaderChangeKind aKind, int32_t aStreamIdentifier,
                                             Th2Methods aMethod, std::unique_ptr<TStreamData> aData) {
  // Never waits for the reader: a read pass may be waiting for this very
  // thread (an event delivered on the main thread), so a busy reader gets
  // the change queued.
  std::unique_lock read(FReadLock, std::try_to_lock);
  {
    std::lock_guard guard(FStreamLock);
    FReaderChanges.push_back({aKind, aStreamIdentifier, aMethod, std::move(aData)});
  }
  if (read.owns_lock()) ApplyReaderChanges();
}

void TkfxHTTP2ConnectionClient::ApplyReaderChanges() {
  std::vector<TReaderChange> changes;
  {
    std::lock_guard guard(FStreamLock);
    if (FReaderChanges.empty()) return;
    changes.swap(FReaderChanges);
  }
  TkfxHTTP2_Frame& reader = FrameRead();
  for (TReaderChange& change : changes) {
    switch (change.Kind) {
      case TReaderChangeKind::rcOpen:
        reader.AddStreamRequest(change.StreamIdentifier, change.Method, change.Data.get());
        FStreamData.Set(change.StreamIdentifier, std::move(change.Data));
        break;
      case TReaderChangeKind::rcRelease:
      case TReaderChangeKind::rcClose:
        // The record goes before the data it points to.
        reader.ReleaseStream(change.StreamIdentifier);
        FStreamData.Erase(change.StreamIdentifier);
        if (change.Kind == TReaderChangeKind::rcClose) reader.AddClosedStream(change.StreamIdentifier);
        break;
    }
  }
}

// --- streams, waiters and slots ---

int32_t TkfxHTTP2ConnectionClient::OpenStreams() {
  std::lock_guard guard(FStreamLock);
  return static_cast<int32_t>(FOpenStreams.size()) + FReservedSlots;
}

void TkfxHTTP2ConnectionClient::SetWaitDisconnect() {
  FWaitDisconnect = true;
  FailAllStreams(Th2WaitResult::h2wrDisconnected);
}

bool TkfxHTTP2ConnectionClient::AcquireStreamSlot(int aTimeout) {
  auto free = [this] {
    return FWaitDisconnect.load() || FGoAwayReceived.load() ||
           static_cast<int64_t>(FOpenStreams.size()) + FReservedSlots < FPeerMaxConcurrentStreams.load();
  };
  {
    std::lock_guard guard(FStreamLock);
    if (free()) {
      if (FWaitDisconnect.load() || FGoAwayReceived.load()) return false;
      ++FReservedSlots;
      return true;
    }
  }
  // Wait for a stream to finish. On the main thread calls that worker threads
  // wait for keep running meanwhile. Each waiting thread has its own signal,
  // so a finished stream wakes the threads that wait for a slot and no other.
  TkfxWaitSignal signal;
  {
    std::lock_guard guard(FStreamLock);
    FSlotWaiters.push_back(&signal);
  }
  struct TUnregister {
    TkfxHTTP2ConnectionClient* Self;
    TkfxWaitSignal* Signal;
    ~TUnregister() {
      std::lock_guard guard(Self->FStreamLock);
      std::erase(Self->FSlotWaiters, Signal);
    }
  } unregister{this, &signal};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeout);
  for (;;) {
    {
      std::lock_guard guard(FStreamLock);
      if (free()) {
        if (FWaitDisconnect.load() || FGoAwayReceived.load()) return false;
        ++FReservedSlots;
        return true;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    WaitServingMainThread(
        [&] {
          std::lock_guard guard(FStreamLock);
          return free();
        },
        static_cast<int>(left.count()), signal);
  }
}

bool TkfxHTTP2ConnectionClient::TryAcquireStreamSlot() {
  std::lock_guard guard(FStreamLock);
  if (FWaitDisconnect.load() || FGoAwayReceived.load() ||
      static_cast<int64_t>(FOpenStreams.size()) + FReservedSlots >= FPeerMaxConcurrentStreams.load())
    return false;
  ++FReservedSlots;
  return true;
}

void TkfxHTTP2ConnectionClient::UnreserveStreamSlot() {
  std::lock_guard guard(FStreamLock);
  if (FReservedSlots > 0) --FReservedSlots;
}

void TkfxHTTP2ConnectionClient::SignalSlotWaiters() {
  // While the reader works through what arrived, the slots it frees are
  // announced once at the end: the waiting sender then fills them all at
  // once and its frames leave together.
  if (FReadingBytes && std::this_thread::get_id() == FReadingThread) {
    FSlotSignalOwed = true;
    return;
  }
  std::lock_guard guard(FStreamLock);
  for (TkfxWaitSignal* signal : FSlotWaiters) signal->Signal();
}

void TkfxHTTP2ConnectionClient::ReleaseStreamSlot(int32_t aStreamIdentifier) {
  {
    std::lock_guard guard(FStreamLock);
    FOpenStreams.erase(aStreamIdentifier);
  }
  SignalSlotWaiters();
  SignalMainThread();
}

std::optional<TkfxHTTP2ConnectionClient::TOpenStream> TkfxHTTP2ConnectionClient::TakeOpenStream(
    int32_t aStreamIdentifier) {
  std::lock_guard guard(FStreamLock);
  auto at = FOpenStreams.find(aStreamIdentifier);
  if (at == FOpenStreams.end()) return std::nullopt;
  std::optional<TOpenStream> entry(std::move(at->second));
  FOpenStreams.erase(at);
  return entry;
}

void TkfxHTTP2ConnectionClient::CompleteStream(TOpenStream& aEntry, Th2WaitResult aResult, int32_t aErrorCode,
                                               TkfxHTTP2_StreamResponse* aStream) {
  if (TkfxHTTP2WaiterRef waiter = std::move(aEntry.Waiter)) {
    {
      std::lock_guard done(waiter->Lock);
      if (waiter->Result == Th2WaitResult::h2wrNone) {
        waiter->Result = aResult;
        waiter->ErrorCode = aErrorCode;
        if (aStream) {
          if (TkfxHTTP2_Frame_Headers* headers = aStream->Frame_Headers())
            waiter->Headers.Assign(&headers->Headers());
          if (TkfxHTTP2_Frame_Headers* trailers = aStream->Frame_Trailers())
            waiter->Trailers.Assign(&trailers->Headers());
          if (TkfxHTTP2_Frame_Data* data = aStream->Frame_Data()) waiter->Body = data->Data;
        }
      }
    }
    waiter->Wake();
  }
  SignalSlotWaiters();
  SignalMainThread();
}

void TkfxHTTP2ConnectionClient::FinishWaiter(int32_t aStreamIdentifier, Th2WaitResult aResult, int32_t aErrorCode,
                                             TkfxHTTP2_StreamResponse* aStream) {
  if (std::optional<TOpenStream> entry = TakeOpenStream(aStreamIdentifier))
    CompleteStream(*entry, aResult, aErrorCode, aStream);
}

void TkfxHTTP2ConnectionClient::DropQueuedData(int32_t aStreamIdentifier) {
  if (!FFrameWrite) return;
  std::lock_guard guard(FWriteLock);
  FrameWrite().WriteDataFrames().DeleteStreamFrames(aStreamIdentifier);
}

void TkfxHTTP2ConnectionClient::FailStream(int32_t aStreamIdentifier, Th2WaitResult aResult, int32_t aErrorCode) {
  // Taking the stream out first makes this the one place that ends it: the
  // reader (a reset, a GOAWAY) and a sending thread (a GOAWAY it raced) may
  // both try, and the stream's failure must be reported once.
  std::optional<TOpenStream> entry = TakeOpenStream(aStreamIdentifier);
  DropQueuedData(aStreamIdentifier);
  // Frames the peer sent before it saw our reset may still come; they must
  // not read as an error, so the stream is not marked closed for the reader.
  ChangeReader(TReaderChangeKind::rcRelease, aStreamIdentifier);
  if (!entry) return;
  if (OnStreamFailed)
    OnStreamFailed(this, this, aStreamIdentifier, entry->RequestID, aResult == Th2WaitResult::h2wrRefused);
  CompleteStream(*entry, aResult, aErrorCode, nullptr);
}

void TkfxHTTP2ConnectionClient::FailStreamsAboveGoAway() {
  // A GOAWAY read between a stream's slot and its send did not see the
  // stream: the server will not process it, so it ends here as refused, like
  // those the GOAWAY named, and may go again elsewhere. The stream is filed
  // under FStreamLock before this reads FGoAwayReceived, and the reader sets
  // that before it looks at the filed streams: one of the two finds it.
  if (!FGoAwayReceived.load()) return;
  const int32_t last = FGoAwayLastStream.load();
  std::vector<int32_t> refused;
  {
    std::lock_guard guard(FStreamLock);
    for (const auto& [id, open] : FOpenStreams)
      if (id > last) refused.push_back(id);
  }
  for (int32_t id : refused) FailStream(id, Th2WaitResult::h2wrRefused, 0);
}

void TkfxHTTP2ConnectionClient::FailAllStreams(Th2WaitResult aResult) {
  std::map<int32_t, TOpenStream> open;
  {
    std::lock_guard guard(FStreamLock);
    open.swap(FOpenStreams);
  }
  // Streams above the last one of a GOAWAY were not processed, whenever the
  // connection ends: they are refused, not cut off, and may go again.
  const bool goAway = FGoAwayReceived.load();
  const int32_t last = FGoAwayLastStream.load();
  auto refused = [&](int32_t aStreamIdentifier) { return goAway && aStreamIdentifier > last; };
  for (auto& [id, entry] : open) {
    if (!entry.Waiter) continue;
    {
      std::lock_guard done(entry.Waiter->Lock);
      if (entry.Waiter->Result == Th2WaitResult::h2wrNone)
        entry.Waiter->Result = refused(id) ? Th2WaitResult::h2wrRefused : aResult;
    }
    entry.Waiter->Wake();
  }
  SignalSlotWaiters();
  SignalMainThread();
  if (OnStreamFailed)
    for (auto& [id, entry] : open) OnStreamFailed(this, this, id, entry.RequestID, refused(id));
}

// --- requests ---

int32_t TkfxHTTP2ConnectionClient::SendRequest(TStringList& aHeaders, TStream* aSource,
                                               const TkfxHTTP2Request& aRequest, const TkfxHTTP2WaiterRef& aWaiter,
                                               const std::shared_ptr<const TkfxHTTP2Request>& aShared,
                                               const THeaderSource* aFields) {
  // HTTP/2 forbids the fields of HTTP/1.x connection management, from
  // whichever source they came (the fields built directly leave them out).
  if (!aFields)
    for (int i = aHeaders.Count() - 1; i >= 0; --i)
      if (IsConnectionSpecificHeaderLine(aHeaders[i])) aHeaders.Delete(i);
  std::lock_guard write(FWriteLock);
  // HEADERS and DATA leave in one hand-off, so one send carries the
  // request. What was encoded goes out also after a failure: the peer's
  // header table must follow ours.
  struct TGather {
    TkfxHTTP2ConnectionClient* Self;
    const bool Own;
    explicit TGather(TkfxHTTP2ConnectionClient* aSelf) : Self(aSelf), Own(!aSelf->FGathering) {
      Self->FGathering = true;
    }
    void Flush() {
      if (!Own || !Self->FGathering) return;
      Self->FGathering = false;
      TIdBytes bytes;
      bytes.swap(Self->FGathered);
      Self->WriteBytes(bytes);
      // The buffer keeps its capacity for the next request.
      bytes.clear();
      Self->FGathered.swap(bytes);
    }
    ~TGather() {
      try {
        Flush();
      } catch (...) {
        // A destructor, on a path that is already failing and rethrows: the
        // write error that matters is that one. A write that fails here also
        // ends the connection, which fails the stream through its waiter.
      }
    }
  } gather(this);
  TkfxHTTP2_Frame& writer = FrameWrite();
  TkfxHTTP2_Frame_Headers& headers = writer.Frame_Headers();
  // Fields built straight into the frame's entries, before a stream
  // identifier is taken; they are encoded by the write below.
  const size_t fieldCount =
      aFields ? BuildHTTP2HeaderFields(aFields->Method, *aFields->Path, FHost, aSource, aRequest, headers.Fields())
              : 0;
  const int32_t id = writer.StreamIdentifierCounter().GetNewIdentifier();
  {
    // The waiter and the record exist before the HEADERS can reach the
    // peer, so an answer however fast finds them.
    std::lock_guard guard(FStreamLock);
    if (FReservedSlots > 0) --FReservedSlots;
    TOpenStream& entry = FOpenStreams[id];
    entry.Waiter = aWaiter;
    entry.RequestID = aRequest.ID;
  }
  if (aWaiter) aWaiter->StreamIdentifier = id;
  try {
    auto data = std::make_unique<TStreamData>();
    data->Request = aShared ? TkfxHTTP2RequestCopy(aShared, aRequest) : TkfxHTTP2RequestCopy(aRequest);
    ChangeReader(TReaderChangeKind::rcOpen, id, aRequest.Method, std::move(data));
    headers.EndHeaders = true;
    headers.EndStream = aSource == nullptr;
    if (aFields)
      headers.UseFields(fieldCount);
    else
      headers.Headers().Swap(aHeaders);  // the lines move into the frame; the caller's list is spent
    headers.StreamIdentifier = id;
    headers.WriteBytes();
    if (aSource && !WriteDataAtOnce(id, *aSource)) {
      TkfxHTTP2_Frame_Data& data = writer.Frame_Data();
      data.Clear();
      data.StreamIdentifier = id;
      data.SetStream(aSource);
      data.WriteBytes();
    }
    gather.Flush();
  } catch (...) {
    // Values not encoded (credentials among them) do not stay behind.
    for (size_t i = 0; i < fieldCount; ++i) headers.Fields()[i].Value.clear();
    {
      std::lock_guard guard(FStreamLock);
      FOpenStreams.erase(id);
      // The slot is the caller's again: every caller gives it back when
      // this throws, and must not take another request's reservation.
      ++FReservedSlots;
    }
    ChangeReader(TReaderChangeKind::rcRelease, id);
    SignalSlotWaiters();
    SignalMainThread();
    throw;
  }
  return id;
}

bool TkfxHTTP2ConnectionClient::WriteDataAtOnce(int32_t aStreamIdentifier, TStream& aSource) {
  const int64_t size = aSource.Size();
  // Every peer takes frames up to the default maximum size.
  if (size < 0 || size > h2DefaultMaxFrameSize) return false;
  TkfxHTTP2_Write_Data_Frames& queue = FrameWrite().WriteDataFrames();
  if (!queue.Empty()) {
    // Frames wait for the connection window: the new one waits behind them
    // and nothing is tried again before the window grows.
    if (size == 0 || queue.ConnectionWindowSize > 0) return false;
    TkfxHTTP2_Frame_Data& writer = FrameWrite().Frame_Data();
    auto item = std::make_unique<TkfxHTTP2_Write_Data_Frame>();
    item->WindowSize = queue.InitialWindowSize();
    item->Frame_Data = std::make_unique<TkfxHTTP2_Frame_Data>(writer.FrameRole);
    item->Frame_Data->StreamIdentifier = aStreamIdentifier;
    item->Frame_Data->SetStream(&aSource);
    item->Frame_Data->OnWriteBytes = writer.OnWriteBytes;
    queue.AddItem(std::move(item));
    return true;
  }
  // A new stream's window is the peer's initial window.
  if (size > queue.ConnectionWindowSize || size > queue.InitialWindowSize()) return false;
  const auto length = static_cast<uint32_t>(size);
  const auto stream = static_cast<uint32_t>(aStreamIdentifier) & 0x7FFFFFFF;
  FDataOut.resize(h2FrameHeaderLength + static_cast<size_t>(size));
  uint8_t* out = FDataOut.data();
  out[0] = static_cast<uint8_t>(length >> 16);
  out[1] = static_cast<uint8_t>(length >> 8);
  out[2] = static_cast<uint8_t>(length);
  out[3] = static_cast<uint8_t>(Th2FrameType::h2ftDATA);
  out[4] = h2flags::END_STREAM;
  out[5] = static_cast<uint8_t>(stream >> 24);
  out[6] = static_cast<uint8_t>(stream >> 16);
  out[7] = static_cast<uint8_t>(stream >> 8);
  out[8] = static_cast<uint8_t>(stream);
  aSource.SetPosition(0);
  if (size > 0) aSource.ReadBuffer(out + h2FrameHeaderLength, size);
  queue.ConnectionWindowSize -= size;
  WriteBytes(FDataOut);
  return true;
}

void TkfxHTTP2ConnectionClient::DoRequest(Th2Methods aMethod, const std::string& aPath, TStream* aSource,
                                          TStream* aResponseContent, TkfxHTTP2Request* aRequest) {
  SendAndWait(aMethod, aPath, aSource, aResponseContent, aRequest, nullptr);
}

void TkfxHTTP2ConnectionClient::RequestShared(Th2Methods aMethod, const std::string& aPath, TStream* aSource,
                                              TStream* aResponseContent,
                                              const std::shared_ptr<TkfxHTTP2Request>& aRequest) {
  SendAndWait(aMethod, aPath, aSource, aResponseContent, aRequest.get(), aRequest);
}

void TkfxHTTP2ConnectionClient::SendAndWait(Th2Methods aMethod, const std::string& aPath, TStream* aSource,
                                            TStream* aResponseContent, TkfxHTTP2Request* aRequest,
                                            const std::shared_ptr<const TkfxHTTP2Request>& aShared) {
  if (!aRequest) throw EArgumentException("A request is required.");
  if (aResponseContent) {
    // A failure must never read as the answer before it.
    Response().Clear();
    FResponseTrailers.Clear();
    FWaitResult = Th2WaitResult::h2wrNone;
  }
  aRequest->Method = aMethod;
  aRequest->URL = aPath;
  TStringList lines;
  const THeaderSource direct{aMethod, &aPath};
  const bool showLines = ShowsHeaderLines();
  if (showLines) {
    BuildHTTP2HeaderLines(aMethod, aPath, FHost, aSource, *aRequest, lines);
    OnBeforeRequest(this, this, &lines);
  }
  if (!AcquireStreamSlot(FResponseTimeoutMs.load())) {
    if (aResponseContent)
      FWaitResult = FWaitDisconnect.load() ? Th2WaitResult::h2wrDisconnected
                    : FGoAwayReceived.load() ? Th2WaitResult::h2wrRefused
                                             : Th2WaitResult::h2wrTimeout;
    return;
  }
  TkfxHTTP2WaiterRef waiter = aResponseContent ? std::make_shared<TkfxHTTP2Waiter>() : nullptr;
  int32_t id = 0;
  try {
    id = SendRequest(lines, aSource, *aRequest, waiter, aShared, showLines ? nullptr : &direct);
  } catch (...) {
    {
      std::lock_guard guard(FStreamLock);
      if (FReservedSlots > 0) --FReservedSlots;
    }
    if (aResponseContent) FWaitResult = Th2WaitResult::h2wrNotSent;
    throw;
  }
  // A disconnect between the slot and the send left this stream behind.
  if (FWaitDisconnect.load()) FailAllStreams(Th2WaitResult::h2wrDisconnected);
  FailStreamsAboveGoAway();
  if (waiter && id) DoWaitResponse(waiter, aResponseContent, FResponseTimeoutMs.load());
}

int32_t TkfxHTTP2ConnectionClient::SendRequestNoWait(Th2Methods aMethod, const std::string& aPath, TStream* aSource,
                                                     TkfxHTTP2Request* aRequest, int aTimeout) {
  if (!aRequest) throw EArgumentException("A request is required.");
  aRequest->Method = aMethod;
  aRequest->URL = aPath;
  TStringList lines;
  const THeaderSource direct{aMethod, &aPath};
  const bool showLines = ShowsHeaderLines();
  if (showLines) {
    BuildHTTP2HeaderLines(aMethod, aPath, FHost, aSource, *aRequest, lines);
    OnBeforeRequest(this, this, &lines);
  }
  if (!AcquireStreamSlot(aTimeout)) return 0;
  int32_t id = 0;
  try {
    id = SendRequest(lines, aSource, *aRequest, nullptr, nullptr, showLines ? nullptr : &direct);
  } catch (...) {
    {
      std::lock_guard guard(FStreamLock);
      if (FReservedSlots > 0) --FReservedSlots;
    }
    throw;
  }
  // A disconnect between the slot and the send left this stream behind.
  if (FWaitDisconnect.load()) FailAllStreams(Th2WaitResult::h2wrDisconnected);
  FailStreamsAboveGoAway();
  return id;
}

int TkfxHTTP2ConnectionClient::SendRequestsNoWait(std::span<TkfxHTTP2NoWaitRequest> aRequests, int aTimeout) {
  if (aRequests.empty()) return 0;
  // Header lists and the before-request event come first: the event may
  // wait for another thread, which must never happen under the write lock.
  // Without the event the fields are built at the send, with no lines.
  const bool showLines = ShowsHeaderLines();
  std::vector<TStringList> lines(showLines ? aRequests.size() : 1);
  for (size_t i = 0; i < aRequests.size(); ++i) {
    TkfxHTTP2NoWaitRequest& entry = aRequests[i];
    if (!entry.Request || !entry.Path) throw EArgumentException("A request is required.");
    entry.StreamIdentifier = 0;
    entry.Request->Method = entry.Method;
    entry.Request->URL = *entry.Path;
    if (showLines) {
      BuildHTTP2HeaderLines(entry.Method, *entry.Path, FHost, entry.Source, *entry.Request, lines[i]);
      OnBeforeRequest(this, this, &lines[i]);
    }
  }
  if (!AcquireStreamSlot(aTimeout)) return 0;
  size_t sent = 0;
  std::exception_ptr error;
  {
    std::lock_guard write(FWriteLock);
    FGathering = true;
    try {
      for (; sent < aRequests.size(); ++sent) {
        if (sent > 0 && !TryAcquireStreamSlot()) break;
        TkfxHTTP2NoWaitRequest& entry = aRequests[sent];
        try {
          const THeaderSource direct{entry.Method, entry.Path};
          entry.StreamIdentifier = SendRequest(lines[showLines ? sent : 0], entry.Source, *entry.Request, nullptr,
                                               entry.Shared, showLines ? nullptr : &direct);
        } catch (...) {
          UnreserveStreamSlot();
          throw;
        }
      }
    } catch (...) {
      error = std::current_exception();
    }
    FGathering = false;
    try {
      WriteBytes(FGathered);
    } catch (...) {
      // Raised below, unless an earlier failure is raised instead: one error
      // per call, the first.
      if (!error) error = std::current_exception();
    }
    FGathered.clear();
  }
  // A disconnect between the slot and the send left these streams behind.
  if (FWaitDisconnect.load()) FailAllStreams(Th2WaitResult::h2wrDisconnected);
  FailStreamsAboveGoAway();
  if (error) std::rethrow_exception(error);
  return static_cast<int>(sent);
}

void TkfxHTTP2ConnectionClient::DoWaitResponse(const TkfxHTTP2WaiterRef& aWaiter, TStream* aResponseContent,
                                               int aTimeout) {
  WaitServingMainThread([&] { return aWaiter->Finished() || FWaitDisconnect.load(); }, aTimeout,
                        aWaiter->Signal);
  Th2WaitResult result;
  {
    // Decided under both locks: an answer that comes now goes to the events.
    std::lock_guard guard(FStreamLock);
    std::lock_guard done(aWaiter->Lock);
    if (aWaiter->Result == Th2WaitResult::h2wrNone) {
      aWaiter->Result = FWaitDisconnect.load() ? Th2WaitResult::h2wrDisconnected : Th2WaitResult::h2wrTimeout;
      for (auto& [id, entry] : FOpenStreams)
        if (entry.Waiter == aWaiter) entry.Waiter.reset();
    }
    result = aWaiter->Result;
  }
  FWaitResult = result;
  if (result != Th2WaitResult::h2wrAnswered) return;
  TkfxHTTP2Response& response = Response();
  response.Headers().Assign(&aWaiter->Headers);
  FResponseTrailers.Assign(&aWaiter->Trailers);
  if (!aWaiter->Body.empty())
    aResponseContent->WriteBuffer(aWaiter->Body.data(), static_cast<int64_t>(aWaiter->Body.size()));
  aResponseContent->SetPosition(0);
  response.SetContent(aResponseContent);
}

void TkfxHTTP2ConnectionClient::Head(const std::string& aPath, TkfxHTTP2Request* aRequest) {
  DoRequest(Th2Methods::h2meHead, aPath, nullptr, nullptr, aRequest);
}
void TkfxHTTP2ConnectionClient::Get(const std::string& aPath, TStream* aResponseContent, TkfxHTTP2Request* aRequest) {
  DoRequest(Th2Methods::h2meGet, aPath, nullptr, aResponseContent, aRequest);
}
void TkfxHTTP2ConnectionClient::Options(const std::string& aPath, TStream* aResponseContent,
                                        TkfxHTTP2Request* aRequest) {
  DoRequest(Th2Methods::h2meOptions, aPath, nullptr, aResponseContent, aRequest);
}
void TkfxHTTP2ConnectionClient::Trace(const std::string& aPath, TStream* aResponseContent,
                                      TkfxHTTP2Request* aRequest) {
  DoRequest(Th2Methods::h2meTrace, aPath, nullptr, aResponseContent, aRequest);
}
void TkfxHTTP2ConnectionClient::Delete(const std::string& aPath, TStream* aResponseContent,
                                       TkfxHTTP2Request* aRequest) {
  DoRequest(Th2Methods::h2meDelete, aPath, nullptr, aResponseContent, aRequest);
}
void TkfxHTTP2ConnectionClient::Connect(const std::string& aPath, TStream* aResponseContent,
                                        TkfxHTTP2Request* aRequest) {
  DoRequest(Th2Methods::h2meConnect, aPath, nullptr, aResponseContent, aRequest);
}
void TkfxHTTP2ConnectionClient::Post(const std::string& aPath, TStream* aSource, TStream* aResponseContent,
                                     TkfxHTTP2Request* aRequest) {
  DoRequest(Th2Methods::h2mePost, aPath, aSource, aResponseContent, aRequest);
}
void TkfxHTTP2ConnectionClient::Put(const std::string& aPath, TStream* aSource, TStream* aResponseContent,
                                    TkfxHTTP2Request* aRequest) {
  DoRequest(Th2Methods::h2mePut, aPath, aSource, aResponseContent, aRequest);
}
void TkfxHTTP2ConnectionClient::Patch(const std::string& aPath, TStream* aSource, TStream* aResponseContent,
                                      TkfxHTTP2Request* aRequest) {
  DoRequest(Th2Methods::h2mePatch, aPath, aSource, aResponseContent, aRequest);
}
