// The client side of one live HTTP/2 connection: the preface and SETTINGS,
// the reader and writer frame handlers, SETTINGS, PING, GOAWAY, RST_STREAM,
// WINDOW_UPDATE and PUSH_PROMISE handling, requests turned into HEADERS and
// DATA, one caller waiting for its answer and events for the others.
//
// Threads. The read thread feeds every received octet through ReadData and
// runs all frame handlers. Requests are made from the caller's thread (the
// application for synchronous calls, the request thread for queued ones).
// One write lock covers choosing the next stream identifier, HPACK encoding
// and handing the octets on, so identifiers rise on the wire and the
// encoder's table follows the order of the blocks, whichever thread writes
// (requests, redirects, PINGs, acknowledgements, RST_STREAM, GOAWAY).
// Octets reach the wire in that order when OnCommand hands them all to one
// queue (the component's commands mode); without it a write made on the
// read thread goes out at once, ahead of writes still queued by others.
//
// The frame handlers take no locks (see kfxHTTP2_Frame_Handler.h): this
// connection serialises every call into them. The writer is used only under
// the write lock. The reader is used only under the read lock, which a read
// pass (DoReadBytes) holds throughout, its events included. Other threads
// never wait for the read lock: a change to the reader they cannot make at
// once (a stream opened, failed or closed) is queued and made before the
// next octets are read, which is before any answer to it can be read. The
// read lock comes before the write lock, never after. Octets leave through
// OnCommand under the write lock only, never under a lock of the handlers.
//
// Waiting. A caller that waits for its answer registers a waiter before its
// HEADERS frame is queued. The read thread completes it with an owned copy
// of headers and body and releases the stream record itself; RST_STREAM, a
// GOAWAY that excludes the stream, a disconnect and the time-out complete it
// at once as a failure. A disconnect is remembered, so a request started
// after it fails at once instead of waiting out its time-out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/kfxBase_Hash.h"
#include "http2/core/kfxHTTP2_Classes.h"
#include "http2/core/kfxHTTP2_Frame_Handler.h"
#include "rtl/MainThread.h"
#include "tcp/kfxTCP_Client.h"

class TkfxHTTP2ConnectionClient;

using TkfxHTTP2ClientCommandEvent = std::function<void(
    TObject* Sender, TkfxHTTP2ConnectionClient* Connection, TkfxTCPCommands Command, const TIdBytes& Bytes)>;
using TkfxHTTP2ConnectionConnectEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection)>;
using TkfxHTTP2ConnectionGoAwayEvent = std::function<void(
    TObject* Sender, TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2GoAwayProperty* GoAway)>;
using TkfxHTTP2ConnectionRSTStreamEvent = std::function<void(
    TObject* Sender, TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2RSTStreamProperty* RSTStream)>;
using TkfxHTTP2ClientStreamResponseEvent = std::function<void(
    TObject* Sender, TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2_StreamResponse* Stream)>;
using TkfxHTTP2ClientStreamResponseFragmentEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection,
                       TkfxHTTP2_StreamResponse* Stream, const TIdBytes& Bytes)>;
using TkfxHTTP2ConnectionPushPromiseEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection,
                       TkfxHTTP2_Frame_PushPromise* PushPromise, bool& Cancel)>;
using TkfxHTTP2ConnectionExceptionEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection, Exception* E)>;
using TkfxHTTP2ConnectionBeforeRequestEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection, TStringList* Headers)>;
// A stream this connection opened ended without an answer: reset by the
// peer, above the last stream of a GOAWAY, or cut off by the end of the
// connection. aRetry is true when the peer has not processed it, so it is
// safe to send again. aRequestID is the ID of the request that opened it.
using TkfxHTTP2ClientStreamFailedEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection, int32_t aStreamIdentifier,
                       const std::string& aRequestID, bool aRetry)>;

// How a waited request ended.
enum class Th2WaitResult { h2wrNone, h2wrAnswered, h2wrTimeout, h2wrReset, h2wrRefused, h2wrDisconnected, h2wrNotSent };

// The completion slot of one waited request. The read thread fills it once;
// the waiting caller owns what it holds afterwards.
class TkfxHTTP2Waiter {
 public:
  std::mutex Lock;
  std::condition_variable Changed;
  Th2WaitResult Result = Th2WaitResult::h2wrNone;  // guarded by Lock
  int32_t StreamIdentifier = 0;
  int32_t ErrorCode = 0;
  int Redirects = 0;
  TStringList Headers;   // "name=value" lines
  TStringList Trailers;  // the trailer part, when the answer had one
  TIdBytes Body;

  // Wakes the waiting caller, and only it.
  TkfxWaitSignal Signal;

  bool Finished() {
    std::lock_guard guard(Lock);
    return Result != Th2WaitResult::h2wrNone;
  }
  // After Result was set.
  void Wake() {
    Changed.notify_all();
    Signal.Signal();
  }
};
using TkfxHTTP2WaiterRef = std::shared_ptr<TkfxHTTP2Waiter>;

// One request of a batch sent without waiting (SendRequestsNoWait).
struct TkfxHTTP2NoWaitRequest {
  Th2Methods Method = Th2Methods::h2meGet;
  const std::string* Path = nullptr;     // required
  TStream* Source = nullptr;             // the body; null without one
  TkfxHTTP2Request* Request = nullptr;   // required; the connection keeps its own copy
  // Optional: settings equal to *Request in every field but ID, URL and
  // method; the stream then shares them instead of copying *Request.
  std::shared_ptr<const TkfxHTTP2Request> Shared;
  int32_t StreamIdentifier = 0;          // set once sent
};

class TkfxHTTP2ConnectionClient : public TkfxTCPConnectionClient {
 public:
  // This connection's data for a stream it opened: the request copy the
  // stream's record points to (its user data). Owned by the connection.
  struct TStreamData {
    TkfxHTTP2RequestCopy Request;  // empty once taken
  };

  // Redirects followed for one request before the 302 itself is the answer.
  static constexpr int MaxRedirects = 5;
  // Milliseconds a waited request waits for its answer, by default.
  static constexpr int ResponseTimeout = 10000;
  // The time-out this connection applies (ResponseTimeout unless changed);
  // also bounds the wait for a free stream. Set before requests are made.
  int ResponseTimeoutMs() const { return FResponseTimeoutMs.load(); }
  void SetResponseTimeoutMs(int aValue) { FResponseTimeoutMs = aValue; }

  TkfxHTTP2ConnectionClient();
  ~TkfxHTTP2ConnectionClient() override;

  // Requests. A non-null aResponseContent makes the call wait for the answer
  // (body written there, headers in Response); null returns once the frames
  // are handed on. aRequest is required; the connection keeps its own copy.
  void Head(const std::string& aPath, TkfxHTTP2Request* aRequest);
  void Get(const std::string& aPath, TStream* aResponseContent, TkfxHTTP2Request* aRequest);
  void Options(const std::string& aPath, TStream* aResponseContent, TkfxHTTP2Request* aRequest);
  void Trace(const std::string& aPath, TStream* aResponseContent, TkfxHTTP2Request* aRequest);
  void Delete(const std::string& aPath, TStream* aResponseContent, TkfxHTTP2Request* aRequest);
  void Connect(const std::string& aPath, TStream* aResponseContent, TkfxHTTP2Request* aRequest);
  void Post(const std::string& aPath, TStream* aSource, TStream* aResponseContent, TkfxHTTP2Request* aRequest);
  // A request of aMethod sent and waited for as the calls above send and
  // wait, whose stream keeps aRequest itself instead of a copy of it: the
  // caller must not change aRequest afterwards. The owner's synchronous
  // requests come this way.
  void RequestShared(Th2Methods aMethod, const std::string& aPath, TStream* aSource, TStream* aResponseContent,
                     const std::shared_ptr<TkfxHTTP2Request>& aRequest);
  void Put(const std::string& aPath, TStream* aSource, TStream* aResponseContent, TkfxHTTP2Request* aRequest);
  void Patch(const std::string& aPath, TStream* aSource, TStream* aResponseContent, TkfxHTTP2Request* aRequest);

  // Sends a request without waiting for its answer. Returns its stream
  // identifier, or 0 when it was not sent: the connection is ending, a
  // GOAWAY came, or no stream slot became free within aTimeout ms.
  int32_t SendRequestNoWait(Th2Methods aMethod, const std::string& aPath, TStream* aSource,
                            TkfxHTTP2Request* aRequest, int aTimeout = ResponseTimeout);
  // Sends aRequests in order without waiting for their answers; the frames
  // of the whole batch are handed on as one write. The first request waits
  // up to aTimeout ms for a free stream slot, the others take only slots
  // that are free at once. Returns how many were sent: the first ones, each
  // with its StreamIdentifier set. An error sending one is raised once the
  // frames of those before it are handed on.
  int SendRequestsNoWait(std::span<TkfxHTTP2NoWaitRequest> aRequests, int aTimeout = ResponseTimeout);

  void Ping() { DoPing(); }
  void Close(Th2ErrorCodes aCode, const std::string& aDescription) { DoClose(aCode, aDescription); }
  // Hands the disconnect to the owner when OnCommand is assigned.
  void Disconnect();
  void CancelStream(int32_t aStreamIdentifier, Th2ErrorCodes aError);

  // The answer of the last waited request; cleared when each waited request
  // starts, so a failure never reads as an earlier answer.
  TkfxHTTP2Response& Response();
  TkfxHTTP2Response& GetResponse() { return Response(); }
  // How the last waited request ended.
  Th2WaitResult WaitResult() const { return FWaitResult; }
  // The trailer fields ("name=value") of the last waited answer; empty when
  // it had none. Cleared with Response.
  const TStringList& ResponseTrailers() const { return FResponseTrailers; }

  bool TLS() const { return FTLS; }
  void SetTLS(bool aValue) { FTLS = aValue; }
  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& aValue) { FHost = aValue; }
  bool SettingsReceived() const { return FSettingsReceived.load(); }
  bool SettingsSent() const { return FSettingsSent.load(); }
  // The peer's SETTINGS_MAX_CONCURRENT_STREAMS (unlimited until it says).
  int32_t PeerMaxConcurrentStreams() const { return FPeerMaxConcurrentStreams.load(); }
  // Streams this side opened that are not finished.
  int32_t OpenStreams();

  // Set by the owner when the connection ends: waiting callers stop at once,
  // and requests made afterwards fail without waiting.
  void SetWaitDisconnect();
  bool WaitDisconnect() const { return FWaitDisconnect.load(); }

  TkfxHTTP2ClientCommandEvent OnCommand;
  TkfxHTTP2ConnectionConnectEvent OnConnect;
  TkfxHTTP2ConnectionGoAwayEvent OnGoAway;
  TkfxHTTP2ConnectionRSTStreamEvent OnRSTStream;
  TkfxHTTP2ClientStreamResponseEvent OnStreamResponse;
  TkfxHTTP2ClientStreamResponseFragmentEvent OnStreamResponseFragment;
  TkfxHTTP2ConnectionPushPromiseEvent OnPushPromise;
  TkfxHTTP2ConnectionExceptionEvent OnException;
  TkfxHTTP2ConnectionBeforeRequestEvent OnBeforeRequest;
  TkfxHTTP2ClientStreamFailedEvent OnStreamFailed;
  // Asked before each request or batch: whether OnBeforeRequest has anyone
  // to show the header lines to (an owner that forwards the event to its own
  // may have no one). When it says no, the event is not raised and no lines
  // are made: the fields go straight into the HEADERS frame. Unset, a set
  // OnBeforeRequest is the answer.
  std::function<bool()> WantsHeaderLines;

  // Called once by the owner right after the transport connected: the ALPN
  // check, the preface and our SETTINGS. aSettings may be null (defaults).
  virtual void DoHTTP2Initialize(TIdTCPConnection* aTCPConnection, const TkfxHTTP2Settings* aSettings);
  // GOAWAY with aErrorCode and aDescription, then Disconnect.
  virtual void DoClose(Th2ErrorCodes aErrorCode, const std::string& aDescription);
  // Frees the records of a finished stream; 0 frees nothing. Safe to call
  // for a stream already released. Off the read pass the records go before
  // the next octets are read.
  virtual void DoCloseStream(int32_t aStreamIdentifier);
  // The request a stream was opened with (this connection's copy, which the
  // stream's record carries as its user data); null for a stream the peer
  // opened. Lives as long as the record, so handlers of the stream events
  // may read it.
  // (Made whole on first use: the reader's thread only.)
  static const TkfxHTTP2Request* StreamRequest(const TkfxHTTP2_StreamResponse* aStream) {
    TStreamData* data = aStream ? static_cast<TStreamData*>(aStream->UserData) : nullptr;
    return data && !data->Request.Empty() ? &data->Request.Whole() : nullptr;
  }
  // The ID of that request; empty without one.
  static const std::string& StreamRequestID(const TkfxHTTP2_StreamResponse* aStream) {
    static const std::string kNone;
    const TStreamData* data = aStream ? static_cast<const TStreamData*>(aStream->UserData) : nullptr;
    return data ? data->Request.ID() : kNone;
  }
  // Takes the request copy out of a stream's record, for a reader that is
  // done with the stream (StreamRequest gives null afterwards).
  static TkfxHTTP2RequestCopy TakeStreamRequest(TkfxHTTP2_StreamResponse* aStream) {
    TStreamData* data = aStream ? static_cast<TStreamData*>(aStream->UserData) : nullptr;
    return data ? std::move(data->Request) : TkfxHTTP2RequestCopy();
  }

  // Feeds received octets to the reader (read thread).
  virtual void DoReadBytes(const TIdBytes& aBytes);

  void DoAfterException() override;
  void WriteBytes(const TIdBytes& aBytes) override;
  void ReadData() override;
  void DisconnectPeer() override;

  // The frame handlers, created on first use. FrameRead only under the read
  // lock (within a read pass), FrameWrite only under the write lock.
  TkfxHTTP2_Frame& FrameRead();
  TkfxHTTP2_Frame& FrameWrite();

 protected:
  virtual void DoHTTP2Error(const TkfxHTTP2Exception& E);
  virtual void OnReadFrameDataEvent(TObject* Sender, TkfxHTTP2_Frame_Data* Frame);
  virtual void OnReadFrameGoAwayEvent(TObject* Sender, TkfxHTTP2_Frame_GoAway* Frame);
  virtual void OnReadFrameHeadersEvent(TObject* Sender, TkfxHTTP2_Frame_Headers* Frame);
  virtual void OnReadFramePriorityEvent(TObject* Sender, TkfxHTTP2_Frame_Priority* Frame);
  virtual void OnReadFramePingEvent(TObject* Sender, TkfxHTTP2_Frame_Ping* Frame);
  virtual void OnReadFramePushPromiseEvent(TObject* Sender, TkfxHTTP2_Frame_PushPromise* Frame);
  virtual void OnReadFrameSettingsEvent(TObject* Sender, TkfxHTTP2_Frame_Settings* Frame);
  virtual void OnReadFrameWindowUpdateEvent(TObject* Sender, TkfxHTTP2_Frame_WindowUpdate* Frame);
  virtual void OnReadFrameRSTStreamEvent(TObject* Sender, TkfxHTTP2_Frame_RSTStream* Frame);
  virtual void OnReadFrameContinuationEvent(TObject*, TkfxHTTP2_Frame_Continuation*) {}
  virtual void OnReadStreamResponseEvent(TObject* Sender, TkfxHTTP2_StreamResponse* Stream);
  virtual void OnReadStreamResponseFragmentEvent(TObject* Sender, TkfxHTTP2_StreamResponse* Stream,
                                                 const TIdBytes& Bytes);
  virtual void OnWriteFrameBytesEvent(TObject* Sender, const TIdBytes& aBuffer);
  virtual void OnRequestPromisedStreamIdEvent(int32_t& aStreamIdentifier);
  virtual void DoPing();
  // Waits for the waiter's answer up to aTimeout ms and copies it into
  // aResponseContent and Response.
  virtual void DoWaitResponse(const TkfxHTTP2WaiterRef& aWaiter, TStream* aResponseContent, int aTimeout);
  virtual void DoRequest(Th2Methods aMethod, const std::string& aPath, TStream* aSource,
                         TStream* aResponseContent, TkfxHTTP2Request* aRequest);
  // DoRequest's work; with aShared (which is aRequest) the stream keeps it.
  void SendAndWait(Th2Methods aMethod, const std::string& aPath, TStream* aSource, TStream* aResponseContent,
                   TkfxHTTP2Request* aRequest, const std::shared_ptr<const TkfxHTTP2Request>& aShared);
  virtual void DoConnectionException(Exception& E);

 private:
  // True when OnBeforeRequest is to be raised with the header lines.
  bool ShowsHeaderLines() const { return OnBeforeRequest && (!WantsHeaderLines || WantsHeaderLines()); }
  // What a request's fields are built from at the send when no
  // before-request event asks for its header lines.
  struct THeaderSource {
    Th2Methods Method;
    const std::string* Path;
  };
  // Sends HEADERS (and DATA) for a new stream under the write lock; registers
  // aWaiter (may be null) and the stream record before the HEADERS go out.
  // Returns the stream identifier, 0 when nothing was sent. The fields are
  // aHeaders' lines, which are spent (they move into the HEADERS frame), or,
  // with aFields, built from it straight into the frame's entries.
  int32_t SendRequest(TStringList& aHeaders, TStream* aSource, const TkfxHTTP2Request& aRequest,
                      const TkfxHTTP2WaiterRef& aWaiter,
                      const std::shared_ptr<const TkfxHTTP2Request>& aShared = nullptr,
                      const THeaderSource* aFields = nullptr);
  // Waits for a free stream slot under the peer's limit; false when the
  // connection ends or aTimeout ms pass first.
  bool AcquireStreamSlot(int aTimeout);
  // The same without waiting: false when no slot is free now.
  bool TryAcquireStreamSlot();
  // Gives back a slot taken for a request that was not sent.
  void UnreserveStreamSlot();
  void ReleaseStreamSlot(int32_t aStreamIdentifier);
  // Wakes the threads waiting in AcquireStreamSlot (not under FStreamLock).
  void SignalSlotWaiters();
  // Completes the waiter of a stream, if any, and forgets it.
  void FinishWaiter(int32_t aStreamIdentifier, Th2WaitResult aResult, int32_t aErrorCode,
                    TkfxHTTP2_StreamResponse* aStream);
  // Ends a stream without an answer: waiter, queued DATA, record, slot, event.
  void FailStream(int32_t aStreamIdentifier, Th2WaitResult aResult, int32_t aErrorCode);
  // Ends as refused the streams opened above the last stream of a GOAWAY
  // that was read while they were being sent.
  void FailStreamsAboveGoAway();
  // Ends every stream still open as aResult.
  void FailAllStreams(Th2WaitResult aResult);
  void DropQueuedData(int32_t aStreamIdentifier);
  // After a GOAWAY from the peer: once no stream at or below its last stream
  // is open, our GOAWAY goes out and the connection closes.
  void CheckGoAwayDone();
  // Writes all of aSource as one DATA frame that ends the stream, when no
  // other DATA is queued and the send windows take it whole, or queues it
  // behind frames that wait for the connection window; false leaves it to
  // the DATA queue. Under FWriteLock.
  bool WriteDataAtOnce(int32_t aStreamIdentifier, TStream& aSource);
  bool FollowRedirect(TkfxHTTP2_StreamResponse* aStream);
  // A change to the reader's streams from any thread: made at once when the
  // read lock is free or already held by this thread, else queued for the
  // next read pass. Changes are made in the order they were asked for.
  enum class TReaderChangeKind { rcOpen, rcRelease, rcClose };
  void ChangeReader(TReaderChangeKind aKind, int32_t aStreamIdentifier,
                    Th2Methods aMethod = Th2Methods::h2meGet, std::unique_ptr<TStreamData> aData = nullptr);
  // Makes the queued changes; under FReadLock.
  void ApplyReaderChanges();
  void CheckFirstFrame(Th2FrameType aFrameType);
  void WriteFrame(TkfxHTTP2_Frame_Base& aFrame);

  std::atomic<bool> FSettingsReceived{false};
  std::atomic<bool> FSettingsSent{false};
  std::unique_ptr<TkfxHTTP2_Frame> FFrameRead;
  std::unique_ptr<TkfxHTTP2_Frame> FFrameWrite;
  std::mutex FFrameLock;  // creation of the two handlers
  // Serialises everything the reader does; see the preamble.
  std::recursive_mutex FReadLock;
  // The data of the streams this connection opened, filed by stream under FReadLock.
  TkfxHashIndex<int32_t, std::unique_ptr<TStreamData>> FStreamData;
  struct TReaderChange {
    TReaderChangeKind Kind = TReaderChangeKind::rcRelease;
    int32_t StreamIdentifier = 0;
    Th2Methods Method = Th2Methods::h2meGet;
    std::unique_ptr<TStreamData> Data;
  };
  std::vector<TReaderChange> FReaderChanges;  // guarded by FStreamLock
  // Identifiers for a PUSH_PROMISE written by the writer (under FWriteLock).
  TkfxHTTP2_StreamIdentifierCounter FPromisedStreams{Th2FrameRole::h2frClientRead};
  std::atomic<bool> FWaitDisconnect{false};
  std::unique_ptr<TkfxHTTP2Response> FResponse;
  Th2WaitResult FWaitResult = Th2WaitResult::h2wrNone;
  TStringList FResponseTrailers;
  bool FTLS = false;
  std::string FHost;
  std::atomic<int> FResponseTimeoutMs{ResponseTimeout};

  // Serialises everything written: stream identifiers, HPACK, frame objects.
  std::recursive_mutex FWriteLock;
  // While a batch is sent, its octets collect here (guarded by FWriteLock).
  bool FGathering = false;
  TIdBytes FGathered;
  TIdBytes FDataOut;  // the frame WriteDataAtOnce writes

  // Streams this side opened and has not finished, with their waiters and
  // redirect counts; guarded by FStreamLock.
  struct TOpenStream {
    TkfxHTTP2WaiterRef Waiter;
    std::string RequestID;
    int Redirects = 0;
  };
  // Takes a stream out of FOpenStreams (under FStreamLock); none when it is
  // not there, so one caller alone goes on to end it.
  std::optional<TOpenStream> TakeOpenStream(int32_t aStreamIdentifier);
  // Completes a taken stream's waiter, if any, and wakes who waits for a slot.
  void CompleteStream(TOpenStream& aEntry, Th2WaitResult aResult, int32_t aErrorCode,
                      TkfxHTTP2_StreamResponse* aStream);
  std::mutex FStreamLock;
  std::vector<TkfxWaitSignal*> FSlotWaiters;  // threads waiting for a slot
  std::map<int32_t, TOpenStream> FOpenStreams;
  int32_t FReservedSlots = 0;  // slots taken by requests not yet sent
  std::atomic<int32_t> FPeerMaxConcurrentStreams{h2MaxInt32};

  // Read thread only.
  bool FReadStopped = false;  // a connection error ended reading
  // DoReadBytes is running on FReadingThread: slot signals wait for its end.
  std::atomic<bool> FReadingBytes{false};
  std::atomic<std::thread::id> FReadingThread{};
  bool FSlotSignalOwed = false;
  std::atomic<bool> FGoAwayReceived{false};
  std::atomic<int32_t> FGoAwayLastStream{0};
  std::atomic<bool> FGoAwaySent{false};
};

using TkfxHTTP2ConnectionClientRef = std::shared_ptr<TkfxHTTP2ConnectionClient>;

// "Tue, 05 Mar 2024 14:07:09 GMT" for a local date-time.
std::string RFC1123DateGMT(TDateTime aLocal);
