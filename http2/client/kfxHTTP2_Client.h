// The HTTP/2 client component: the request API in its synchronous, result
// text and queued forms, the connection made, reused or replaced from each
// request's URL, bearer tokens, the answer to 401s, the HTTP/2 events in the
// three delivery modes, and the request queue with its thread and the
// re-queueing of unanswered requests after a reconnect.
//
// The component is a front over four parts, each with its own lock:
// - the token source (kfxHTTP2_Client_TokenSource.h): the provider-token
//   step, JWT through the process's token cache and OAuth;
// - the request scheduler (kfxHTTP2_Client_Scheduler.h): the queues of
//   queued requests (kfxHTTP2_Client_Requests.h) and the request thread;
// - the connection slot (kfxHTTP2_Client_ConnectionSlot.h): the live
//   connection, its GOAWAY and end, queued connects and the back-off after
//   a refused token update;
// - the event deliverer (kfxHTTP2_Client_Deliverer.h): the three modes.
// The component decides: which connection a request needs, what an answer
// or the end of a connection means for the queued requests, which event
// tells the application.
//
// Threads. The caller's thread makes synchronous requests and waits for
// their answers; the request thread sends queued requests; the TCP client's
// read thread (commands mode) writes every octet, reads and dispatches the
// frames and handles connects and disconnects. Events are delivered as
// NotifyEvents says; the five that answer through in-out parameters
// (authorization, before-request, pending-requests, push-promise,
// RST_STREAM) wait for the main thread when queued, unless nobody handles
// them.
//
// Queued requests. Each queued item carries its own copy of the request
// settings and body, taken when it was queued. An item lives in Requests
// until the request thread hands it to the connection, then in
// RequestsPending until its stream ends. Every item ends with exactly one
// outcome: OnHTTP2Response (or the 401 handling) for an answer, or
// OnHTTP2RequestFailed once it cannot be sent any more. A stream the server
// did not process (REFUSED_STREAM, above a GOAWAY's last stream) goes back
// to the front of Requests; one cut off by the end of its connection is
// sent again on the next connection, at most RequestMaxRetries times.
//
// Provider tokens. A JWT client's token lives in the process's token cache,
// shared by every component that signs with the same identity, and is kept
// for its lifetime whatever happens to connections; it is replaced when the
// server refuses it as expired or invalid (403). A 429
// TooManyProviderTokenUpdates keeps it: the component waits before it
// connects again (SetReconnectBackoffBounds). OAuth tokens are the
// component's own and are dropped with each connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "base/kfxBase_Classes.h"
#include "http2/core/kfxHTTP2_Classes.h"
#include "http2/client/kfxHTTP2_Client_Connection.h"
#include "http2/client/kfxHTTP2_Client_ConnectionSlot.h"
#include "http2/client/kfxHTTP2_Client_Deliverer.h"
#include "http2/client/kfxHTTP2_Client_Properties.h"
#include "http2/client/kfxHTTP2_Client_Requests.h"
#include "http2/client/kfxHTTP2_Client_Scheduler.h"
#include "http2/client/kfxHTTP2_Client_TokenSource.h"
#include "http2/client/kfxHTTP2_Client_Tokens.h"
#include "jwt/kfxHTTP_JWT_Client.h"
#include "jwt/kfxHTTP_OAuth_Client.h"
#include "rtl/Classes.h"
#include "rtl/DateTime.h"
#include "rtl/Streams.h"
#include "rtl/Thread.h"
#include "tcp/kfxTCP_Classes.h"
#include "tcp/kfxTCP_Client.h"

class TkfxHTTP2CLient_Base;

using TkfxHTTP2ClientConnectEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection)>;
using TkfxHTTP2ClientDisconnectEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection)>;
// Connection is null when the error came from a failed connect.
using TkfxHTTP2ClientExceptionEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection, Exception* E)>;
using TkfxHTTP2ClientResponseEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection,
                       TkfxHTTP2RequestProperty* Request, TkfxHTTP2ResponseProperty* Response)>;
using TkfxHTTP2ClientResponseFragmentEvent = std::function<void(
    TObject* Sender, TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2RequestProperty* Request,
    TkfxHTTP2ResponseFragmentProperty* Fragment)>;
using TkfxHTTP2ClientGoAwayEvent = std::function<void(
    TObject* Sender, TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2GoAwayProperty* GoAway)>;
using TkfxHTTP2ClientRSTStreamEvent = std::function<void(
    TObject* Sender, TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2RSTStreamProperty* RSTStream)>;
using TkfxHTTP2ClientPushPromiseEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection,
                       TkfxHTTP2_Frame_PushPromise* PushPromise, bool& Cancel)>;
using TkfxHTTP2ClientPendingRequestsEvent = std::function<void(
    TObject* Sender, TkfxHTTP2ConnectionClient* Connection, bool& aReconnect, bool& aClear)>;
using TkfxHTTP2ClientAuthorizationEvent = std::function<void(
    TObject* Sender, TkfxHTTP2ConnectionClient* Connection, const std::string& AuthType,
    const std::string& AuthData, std::string& UserName, std::string& Password, std::string& Token,
    bool& Handled)>;
using TkfxHTTPClientBeforeRequestEvent = std::function<void(
    TObject* Sender, TkfxHTTP2ConnectionClient* Connection, TStringList* Headers)>;
// A queued request that ends without an answer: dropped with its queue,
// out of retries, reset by the server, or not sendable. Connection may be null.
using TkfxHTTP2ClientRequestFailedEvent =
    std::function<void(TObject* Sender, TkfxHTTP2ConnectionClient* Connection,
                       TkfxHTTP2RequestProperty* Request, const std::string& aReason)>;

// Sends the queued requests of one connection (the scheduler's loop).
class TkfxHTTP2_ThreadRequests : public TThread {
 public:
  TkfxHTTP2_ThreadRequests(TkfxHTTP2CLient_Base* aClient, TkfxHTTP2_Requests* aRequests,
                           TkfxHTTP2_Requests* aRequestsPending);

 protected:
  void Execute() override;
  void TerminatedSet() override;

 private:
  TkfxHTTP2CLient_Base* FClient;
  TkfxHTTP2_Requests* FRequests;
  TkfxHTTP2_Requests* FRequestsPending;
};

// The TCP-level configuration (host, port, time-outs, TLS, proxy, heartbeat,
// watchdog, log file, throttle, NotifyEvents, Version) is the TCP client's.
class TkfxHTTP2CLient_Base : public TkfxTCPCLient_Common {
  friend class TkfxHTTP2_ThreadRequests;

 public:
  // Queued items the server refused unprocessed are sent again up to this
  // many times before they fail.
  static constexpr int MaxRefusedRetries = TkfxHTTP2_Scheduler::MaxRefusedRetries;

  explicit TkfxHTTP2CLient_Base(TComponent* AOwner);
  ~TkfxHTTP2CLient_Base() override;
  // Free() stops the request thread and the transport while the object is
  // still whole: those threads call virtual members.
  void BeforeDestruction() override;

  int RequestMaxRetries() const { return FRequestMaxRetries; }
  void SetRequestMaxRetries(int aValue) { FRequestMaxRetries = aValue; }
  TkfxHTTP2_Authentication_Options& Authentication() { return *FAuthentication; }
  void SetAuthentication(const TkfxHTTP2_Authentication_Options& aValue) {
    FAuthentication->Assign(&aValue);
  }
  // The header settings of every request.
  TkfxHTTP2Request& Request() { return *FRequest; }
  void SetRequest(const TkfxHTTP2Request& aValue) { FRequest->Assign(&aValue); }
  // The local SETTINGS values.
  TkfxHTTP2Settings& Settings() { return *FSettings; }
  void SetSettings(const TkfxHTTP2Settings& aValue) { FSettings->Assign(&aValue); }
  // The answer of the last synchronous request on the connection; null while
  // there is no connection.
  TkfxHTTP2Response* Response();
  TkfxHTTP2Response* GetResponse() { return Response(); }
  // The live connection object; null while there is none.
  TkfxHTTP2ConnectionClient* HTTP2Connection() const;
  TkfxHTTP2ConnectionClientRef HTTP2ConnectionRef() const;

  // The queues (created with the component).
  TkfxHTTP2_Requests& Requests() { return FScheduler->Requests(); }
  TkfxHTTP2_Requests& RequestsPending() { return FScheduler->RequestsPending(); }

  // Where this component's provider tokens are kept: the process's cache,
  // unless SetTokenClock gave it one of its own.
  TkfxHTTP2_ProviderTokens& ProviderTokens();
  // Reads the age of provider tokens from aClock (milliseconds on a
  // monotonic clock) in a cache of this component's own, which no other
  // component shares; null returns to the process's cache. Set before the
  // first request.
  void SetTokenClock(std::function<uint64_t()> aClock);

  // After a 429 TooManyProviderTokenUpdates the component connects again
  // (queued connects: reconnects, queued requests, the watchdog) no sooner
  // than a delay that starts at aFirstMs and doubles with each refused
  // reconnect up to aMaxMs; an answer of any other kind ends it. Defaults:
  // 1000 and 30000. A synchronous request still connects at once.
  void SetReconnectBackoffBounds(int aFirstMs, int aMaxMs);
  // The delay the last 429 set, in milliseconds; 0 when none is in force.
  int64_t ReconnectBackoff() const { return FSlot->Backoff(); }
  // A connect is being held back by that delay.
  bool ReconnectDelayed();

  // Synchronous requests, answer body written to aResponseContent; a null
  // aResponseContent queues the request instead. Each connects when needed
  // and raises "Cannot connect to server." when no connection could be
  // made; failures after that are not raised (the answer stays empty).
  void Get(const std::string& aURL, TStream* aResponseContent);
  void Post(const std::string& aURL, TStream* aSource, TStream* aResponseContent);
  void Post(const std::string& aURL, TStream* aSource, TStream& aResponseContent) {
    Post(aURL, aSource, &aResponseContent);
  }
  void Put(const std::string& aURL, TStream* aSource, TStream* aResponseContent);
  void Patch(const std::string& aURL, TStream* aSource, TStream* aResponseContent);
  void Delete(const std::string& aURL, TStream* aResponseContent);
  void Options(const std::string& aURL, TStream* aResponseContent);
  void Trace(const std::string& aURL, TStream* aResponseContent);
  void Connect(const std::string& aURL, TStream* aResponseContent);
  // The same with the answer body as text, decoded by its charset.
  std::string Get(const std::string& aURL);
  std::string Post(const std::string& aURL, TStream* aSource);
  std::string Put(const std::string& aURL, TStream* aSource);
  std::string Patch(const std::string& aURL, TStream* aSource);
  std::string Delete(const std::string& aURL);
  std::string Options(const std::string& aURL);
  std::string Trace(const std::string& aURL);
  std::string Connect(const std::string& aURL);
  // Queued: answers arrive as OnHTTP2Response, failures as
  // OnHTTP2RequestFailed. The body is copied at once.
  void GetAsync(const std::string& aURL);
  void PostAsync(const std::string& aURL, TStream* aSource);
  void PutAsync(const std::string& aURL, TStream* aSource);
  void PatchAsync(const std::string& aURL, TStream* aSource);
  void DeleteAsync(const std::string& aURL);
  void OptionsAsync(const std::string& aURL);
  void TraceAsync(const std::string& aURL);
  void ConnectAsync(const std::string& aURL);
  void Head(const std::string& aURL);

  void Ping();
  void Close(Th2ErrorCodes aCode, const std::string& aDescription);
  using TkfxTCPCLient_Common::Disconnect;
  void Disconnect();

  TkfxHTTP2ClientConnectEvent OnHTTP2Connect;
  TkfxHTTP2ClientDisconnectEvent OnHTTP2Disconnect;
  TkfxHTTP2ClientExceptionEvent OnHTTP2Exception;
  TkfxHTTP2ClientResponseEvent OnHTTP2Response;
  TkfxHTTP2ClientResponseFragmentEvent OnHTTP2ResponseFragment;
  TkfxHTTP2ClientGoAwayEvent OnHTTP2GoAway;
  TkfxHTTP2ClientRSTStreamEvent OnHTTP2RSTStream;
  TkfxHTTP2ClientPushPromiseEvent OnHTTP2PushPromise;
  TkfxHTTP2ClientPendingRequestsEvent OnHTTP2PendingRequests;
  TkfxHTTP2ClientAuthorizationEvent OnHTTP2Authorization;
  TkfxHTTPClientBeforeRequestEvent OnHTTP2BeforeRequest;
  TkfxHTTP2ClientRequestFailedEvent OnHTTP2RequestFailed;

  void DoNotifyDisconnect(TkfxTCPConnection* Connection) override;
  void DoException(TkfxTCPConnection* Connection, const std::string& aMessage, Exception* E) override;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

  virtual void DoRequeuePendingRequests();
  // The retries of a 401 answer; aItem is the queued item answered (null
  // for a request nobody queued), which waits for the retry's answer.
  virtual void DoRetryBasic(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2RequestProperty& aRequest,
                            TkfxHTTP2_RequestPtr& aItem, const std::string& UserName, const std::string& Password);
  virtual void DoRetryBearer(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2RequestProperty& aRequest,
                             TkfxHTTP2_RequestPtr& aItem, const std::string& Token);
  virtual void OnAuthTokenEvent(TObject* Sender, const std::string& TokenType,
                                const std::string& Token, const std::string& Data);
  virtual void OnAuthTokenErrorEvent(TObject* Sender, const std::string& Error,
                                     const std::string& ErrorDescription, const std::string& Data);
  // Puts the "authorization" line of a bearer token into aRequest (the copy
  // that is sent), replacing any earlier one, when a token source is
  // configured. Signs or fetches a token only when none is cached or the
  // cached one is too old.
  virtual void DoAuthorizationToken(TkfxHTTP2Request& aRequest);
  // The synchronous request path on the live connection; with a null
  // aResponseContent the request is sent without waiting.
  virtual void DoHTTP2Request(Th2Methods aMethod, const std::string& aURL, TStream* aSource,
                              TStream* aResponseContent, const std::string& aID);
  virtual void DoSendRequest(Th2Methods aMethod, const std::string& aURL, TStream* aSource,
                             TStream* aResponseContent);

  // Deliverers, callable from any thread.
  virtual void DoNotifyHTTP2Connect(const TkfxHTTP2ConnectionClientRef& Connection);
  virtual void DoNotifyHTTP2Disconnect(const TkfxHTTP2ConnectionClientRef& Connection);
  virtual void DoNotifyHTTP2Exception(const TkfxHTTP2ConnectionClientRef& Connection,
                                      const std::string& aMessage, Exception* E);
  virtual void DoNotifyHTTP2Response(const TkfxHTTP2ConnectionClientRef& Connection,
                                     TkfxHTTP2_StreamResponse* Stream);
  virtual void DoNotifyHTTP2ResponseFragment(const TkfxHTTP2ConnectionClientRef& Connection,
                                             TkfxHTTP2_StreamResponse* Stream, const TIdBytes& Bytes);
  virtual void DoNotifyHTTP2Authorization(const TkfxHTTP2ConnectionClientRef& Connection,
                                          TkfxHTTP2_StreamResponse* Stream, TkfxHTTP2_RequestPtr aItem);
  virtual void DoNotifyHTTP2BeforeRequest(const TkfxHTTP2ConnectionClientRef& Connection, TStringList* Headers);
  virtual void DoNotifyHTTP2GoAway(const TkfxHTTP2ConnectionClientRef& Connection,
                                   TkfxHTTP2GoAwayProperty* GoAway);
  virtual void DoNotifyHTTP2PendingRequests(const TkfxHTTP2ConnectionClientRef& Connection);
  virtual void DoNotifyHTTP2PushPromise(const TkfxHTTP2ConnectionClientRef& Connection,
                                        TkfxHTTP2_Frame_PushPromise* PushPromise);
  virtual void DoNotifyHTTP2RSTStream(const TkfxHTTP2ConnectionClientRef& Connection,
                                      TkfxHTTP2RSTStreamProperty* RSTStream);
  virtual void DoNotifyHTTP2RequestFailed(const TkfxHTTP2ConnectionClientRef& Connection,
                                          TkfxHTTP2_RequestPtr aItem, const std::string& aReason);

  // Raisers: each fires its event on the calling thread.
  virtual void DoEventHTTP2Connect(TkfxHTTP2ConnectionClient* Connection);
  virtual void DoEventHTTP2Disconnect(TkfxHTTP2ConnectionClient* Connection);
  virtual void DoEventHTTP2Exception(TkfxHTTP2ConnectionClient* Connection, const std::string& aMessage,
                                     Exception* E);
  virtual void DoEventHTTP2Response(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2RequestProperty* Request,
                                    TkfxHTTP2ResponseProperty* Response);
  virtual void DoEventHTTP2ResponseFragment(TkfxHTTP2ConnectionClient* Connection,
                                            TkfxHTTP2RequestProperty* Request,
                                            TkfxHTTP2ResponseFragmentProperty* Fragment);
  virtual void DoEventHTTP2Authorization(TkfxHTTP2ConnectionClient* Connection,
                                         TkfxHTTP2RequestProperty& aRequest,
                                         const std::string& aWWWAuthenticate, TkfxHTTP2_RequestPtr& aItem);
  virtual void DoEventHTTP2BeforeRequest(TkfxHTTP2ConnectionClient* Connection, TStringList* Headers);
  virtual void DoEventHTTP2GoAway(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2GoAwayProperty* GoAway);
  virtual void DoEventHTTP2PendingRequests(TkfxHTTP2ConnectionClient* Connection);
  virtual void DoEventHTTP2PushPromise(TkfxHTTP2ConnectionClient* Connection,
                                       TkfxHTTP2_Frame_PushPromise* PushPromise);
  virtual void DoEventHTTP2RSTStream(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2RSTStreamProperty* RSTStream);
  virtual void DoEventHTTP2RequestFailed(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2RequestProperty* Request,
                                         const std::string& aReason);

  // Handlers of the connection's events.
  virtual void OnConnectionCommandEvent(TkfxHTTP2ConnectionClient* Connection, TkfxTCPCommands Command,
                                        const TIdBytes& Bytes);
  virtual void OnConnectionConnectEvent(TkfxHTTP2ConnectionClient* Connection);
  virtual void OnConnectionRSTStreamEvent(TkfxHTTP2ConnectionClient* Connection,
                                          TkfxHTTP2RSTStreamProperty* RSTStream);
  virtual void OnConnectionGoAwayEvent(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2GoAwayProperty* GoAway);
  virtual void OnConnectionStreamResponseEvent(TkfxHTTP2ConnectionClient* Connection,
                                               TkfxHTTP2_StreamResponse* Stream);
  virtual void OnConnectionStreamResponseFragmentEvent(TkfxHTTP2ConnectionClient* Connection,
                                                       TkfxHTTP2_StreamResponse* Stream, const TIdBytes& Bytes);
  virtual void OnConnectionPushPromiseEvent(TkfxHTTP2ConnectionClient* Connection,
                                            TkfxHTTP2_Frame_PushPromise* PushPromise, bool& Cancel);
  virtual void OnConnectionBeforeRequestEvent(TkfxHTTP2ConnectionClient* Connection, TStringList* Headers);
  virtual void OnConnectionStreamFailedEvent(TkfxHTTP2ConnectionClient* Connection, int32_t aStreamIdentifier,
                                             const std::string& aRequestID, bool aRetry);

  void DoCreateConnection() override {}
  void OnClientConnected(TObject* Sender) override;
  void OnHeartBeatTimer(TObject* Sender) override;
  void OnHeartBeatTimerException(TObject* Sender, const Exception& E) override;
  void OnWatchDogTimer(TObject* Sender) override;
  void OnWatchDogTimerException(TObject* Sender, const Exception& E) override;
  void DoCommandExecuted(TkfxTCPCommands aCommand) override;

 private:
  // Queues one connect for the read thread (see TkfxHTTP2_ConnectionSlot).
  void QueueConnect(bool aAlways = false) { FSlot->QueueConnect(aAlways); }
  void ConnectDone() { FSlot->ConnectDone(); }
  // Where a handler's failure is reported: OnHTTP2Exception.
  void ReportHandlerFailure(std::exception_ptr aError) { FDeliverer->ReportFailure(std::move(aError)); }

  void CheckConnection(const std::string& aURL, bool aQueued);
  void ConnectTo(const std::string& aHost, int aPort, bool aQueued);
  std::string TLSIdentity();
  void TLSIdentityTo(std::string& aOut);
  // Drops the OAuth client's token this component holds.
  void DropOAuthToken() { FTokens->DropOAuthToken(); }
  // Has the bound JWT client sign a token, reported through
  // OnAuthTokenEvent on this thread; raises the client's error.
  TkfxProviderToken SignJWT(TkfxHTTPComponentClient_JWT& aJWT);
  // Sends aRequest on aConnection; returns the stream (0: not sent).
  int32_t SendOn(const TkfxHTTP2ConnectionClientRef& aConnection, Th2Methods aMethod, const std::string& aPath,
                 TStream* aSource, TStream* aResponseContent, TkfxHTTP2Request& aRequest);
  // An answer came: aReason is the APNs reason of a 403 or 429 (empty for
  // other answers), aToken the bearer token the request carried.
  void AfterAnswer(int aStatus, const std::string& aReason, const std::string& aToken);
  void SendRetry(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2Request& aRequest, TkfxHTTP2_RequestPtr& aItem);
  std::string ResultText(TStream& aContent);
  // The request thread's loop.
  void RunRequests(TkfxHTTP2_ThreadRequests& aThread) { FScheduler->Run(aThread); }
  void WakeRequests() { FScheduler->Wake(); }
  void StartRequestThread();
  void StopRequestThread() { FScheduler->StopThread(); }
  // The first step of destruction: no events, no request thread.
  void StopBeforeShutDown();
  // Each item's outcome, whatever befalls the others'.
  void FailItems(const TkfxHTTP2ConnectionClientRef& aConnection, std::deque<TkfxHTTP2_RequestPtr> aItems,
                 const std::string& aReason);
  bool IsLive(TkfxHTTP2ConnectionClient* aConnection) { return FSlot->IsLive(aConnection); }
  TkfxHTTP2ConnectionClientRef RefOf(TkfxHTTP2ConnectionClient* aConnection);

  int FRequestMaxRetries = 3;
  bool FPendingRequestsReconnect = false;
  bool FPendingRequestsClear = true;
  std::unique_ptr<TkfxHTTP2_Authentication_Options> FAuthentication;
  std::unique_ptr<TkfxHTTP2Request> FRequest;
  std::unique_ptr<TkfxHTTP2Settings> FSettings;
  bool FPushPromiseCancel = false;
  std::string FConnectedTLS;    // TLSIdentity of the live connection
  std::string FConnectedToken;  // token source identity of the live connection

  // The parts.
  std::unique_ptr<TkfxHTTP2_TokenSource> FTokens;
  std::unique_ptr<TkfxHTTP2_ConnectionSlot> FSlot;
  std::unique_ptr<TkfxHTTP2_Deliverer> FDeliverer;
  std::unique_ptr<TkfxHTTP2_Scheduler> FScheduler;
};
