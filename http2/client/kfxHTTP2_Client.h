// The HTTP/2 client component: the request API in its synchronous, result
// text and queued forms, the connection made, reused or replaced from each
// request's URL, bearer tokens from a JWT client, the answer to 401s, the
// HTTP/2 events in the three delivery modes, and the request queue with its
// thread and the re-queueing of unanswered requests after a reconnect.
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
// Provider tokens. A JWT client's token is not the component's: it lives in
// the process's token cache (kfxHTTP2_Client_Tokens.h), shared by every
// component that signs with the same identity, and is kept for its lifetime
// (RefreshTokenAfter) whatever happens to connections. It is replaced when it
// is older, when the server refuses it as expired or invalid (403), or when
// the identity changes. A 429 TooManyProviderTokenUpdates keeps it: the
// component waits before it connects again (SetReconnectBackoffBounds).
// OAuth tokens are the component's own and are dropped with each connection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_set>

#include "base/kfxBase_Classes.h"
#include "http2/core/kfxHTTP2_Classes.h"
#include "http2/client/kfxHTTP2_Client_Connection.h"
#include "http2/client/kfxHTTP2_Client_Properties.h"
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

// Where bearer tokens come from. JWT and OAuth are references to components
// the application owns; the client is told when they are freed.
class TkfxHTTP2_Authentication_Token : public TPersistent {
 public:
  // aClient is the component these options belong to.
  explicit TkfxHTTP2_Authentication_Token(TComponent* aClient) : FClient(aClient) {}

  // Copies the references and the time-out.
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  TkfxHTTPComponentClient_JWT* JWT() const { return FJWT; }
  // Unbinding a JWT client takes back the handlers BindJWTEvents set on it.
  void SetJWT(TkfxHTTPComponentClient_JWT* aValue);
  // Sets the client's token handlers on the bound JWT client. They capture
  // the client, so they must not outlive the binding: SetJWT (also the
  // client's destructor, which unbinds) clears them again.
  void BindJWTEvents(TkfxOnAuthToken aOnAuthToken, TkfxOnAuthTokenError aOnAuthTokenError);
  // The bound JWT client is being destroyed: forgets it without touching
  // its events, which are already gone.
  void JWTDestroyed();
  TkfxHTTPComponentClient_OAuth* OAuth() const { return FOAuth; }
  // As SetJWT, for the OAuth client.
  void SetOAuth(TkfxHTTPComponentClient_OAuth* aValue);
  // Sets the client's token handlers on the bound OAuth client, once per
  // binding: later calls leave them alone, so a late answer from an earlier
  // request never meets a handler being replaced.
  void BindOAuthEvents(TkfxOnAuthToken aOnAuthToken, TkfxOnAuthTokenError aOnAuthTokenError);
  void OAuthDestroyed();
  // Milliseconds a request waits for a token.
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int aValue) { FReadTimeout = aValue; }

 private:
  // Lets go of aOld (taking back our handlers when it carries them) and
  // follows aNew's free.
  void Hand(TkfxHTTPComponentClientAuthToken_Base* aOld, bool& aEventsBound,
            TkfxHTTPComponentClientAuthToken_Base* aNew);

  TComponent* FClient;
  TkfxHTTPComponentClient_JWT* FJWT = nullptr;
  bool FJWTEventsBound = false;  // FJWT carries our handlers
  TkfxHTTPComponentClient_OAuth* FOAuth = nullptr;
  bool FOAuthEventsBound = false;  // FOAuth carries our handlers
  int FReadTimeout = 60000;
};

class TkfxHTTP2_Authentication_Options : public TPersistent {
 public:
  explicit TkfxHTTP2_Authentication_Options(TComponent* aClient)
      : FToken(std::make_unique<TkfxHTTP2_Authentication_Token>(aClient)) {}

  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  TkfxHTTP2_Authentication_Token& Token() { return *FToken; }
  void SetToken(const TkfxHTTP2_Authentication_Token& aValue) { FToken->Assign(&aValue); }

 private:
  std::unique_ptr<TkfxHTTP2_Authentication_Token> FToken;
};

// The ID of a queued request: 128 random bits, written as 32 upper-case
// hexadecimal digits wherever it appears as text.
struct TkfxHTTP2_RequestKey {
  uint64_t Hi = 0;
  uint64_t Lo = 0;
  bool operator==(const TkfxHTTP2_RequestKey&) const = default;
  // A new random key.
  static TkfxHTTP2_RequestKey New();
  // The key of a text ID; false when aID is not 32 hexadecimal digits.
  static bool Parse(const std::string& aID, TkfxHTTP2_RequestKey& aKey);
  std::string Text() const;
  // The same, written into aOut (its storage reused).
  void TextTo(std::string& aOut) const;
};

// One queued request: method, URL and request settings shared read-only
// with the items queued alongside it, and its own copy of the body, kept in
// the same allocation as the item.
class TkfxHTTP2_Request : public TObject {
  friend class TkfxHTTP2_Requests;

 public:
  // A new item with a new ID and a copy of aBody (aHasBody false: none).
  static std::unique_ptr<TkfxHTTP2_Request> Create(Th2Methods aMethod, std::shared_ptr<const std::string> aURL,
                                                   std::shared_ptr<const TkfxHTTP2Request> aRequest,
                                                   bool aHasBody, std::span<const uint8_t> aBody);
  // The whole of aSource, as a synchronous request sends it: a stream just
  // written (its position at the end) still has its body queued.
  static std::unique_ptr<TkfxHTTP2_Request> Create(Th2Methods aMethod, std::shared_ptr<const std::string> aURL,
                                                   std::shared_ptr<const TkfxHTTP2Request> aRequest,
                                                   TStream* aSource);
  static void operator delete(void* aItem) { ::operator delete(aItem); }

  // The ID as 32 hexadecimal digits.
  std::string ID() const { return FKey.Text(); }
  const TkfxHTTP2_RequestKey& Key() const { return FKey; }
  void SetKey(const TkfxHTTP2_RequestKey& aValue) { FKey = aValue; }
  Th2Methods Method() const { return FMethod; }
  // How often the item was sent again on a new connection.
  int NumReq() const { return FNumReq; }
  void SetNumReq(int aValue) { FNumReq = aValue; }
  // How often the server refused it unprocessed.
  int NumRefused() const { return FNumRefused; }
  void SetNumRefused(int aValue) { FNumRefused = aValue; }
  // The request settings of the item: a read-only copy that items queued
  // one after another with unchanged settings share.
  const TkfxHTTP2Request& Request() const;
  const std::shared_ptr<const TkfxHTTP2Request>& SharedRequest() const { return FRequest; }
  bool HasBody() const { return FHasBody; }
  std::span<const uint8_t> Body() const { return {reinterpret_cast<const uint8_t*>(this + 1), FBodySize}; }
  const std::string& URL() const;
  const std::shared_ptr<const std::string>& SharedURL() const { return FURL; }

 private:
  TkfxHTTP2_Request() = default;
  // The body's octets, right behind the item.
  uint8_t* BodyData() { return reinterpret_cast<uint8_t*>(this + 1); }

  TkfxHTTP2_Request* FPrev = nullptr;  // neighbours in the queue holding it
  TkfxHTTP2_Request* FNext = nullptr;
  TkfxHTTP2_RequestKey FKey;
  std::shared_ptr<const TkfxHTTP2Request> FRequest;
  std::shared_ptr<const std::string> FURL;
  int FNumReq = 0;
  int FNumRefused = 0;
  uint32_t FBodySize = 0;
  Th2Methods FMethod = Th2Methods::h2meGet;
  bool FHasBody = false;
};

using TkfxHTTP2_RequestPtr = std::unique_ptr<TkfxHTTP2_Request>;

// An ordered queue of requests that owns its items. An indexed queue finds
// items by ID through a hash index over the items themselves; the others
// search. Items move between queues with Take and Append/Prepend.
class TkfxHTTP2_Requests : public TkfxQueue {
 public:
  explicit TkfxHTTP2_Requests(bool aIndexed = true) : FIndexed(aIndexed) {}
  ~TkfxHTTP2_Requests() override;

  bool Enabled() const { return FEnabled.load(); }
  void SetEnabled(bool aValue) { FEnabled.store(aValue); }

  // The first item while Enabled; null otherwise. It stays in the queue.
  TkfxHTTP2_Request* GetRequest();
  TkfxHTTP2_Request* Find(const std::string& aID);
  void Append(TkfxHTTP2_RequestPtr aItem);
  void Prepend(TkfxHTTP2_RequestPtr aItem);
  // Takes the item with that ID out; null when there is none.
  TkfxHTTP2_RequestPtr Take(const std::string& aID);
  TkfxHTTP2_RequestPtr Take(const TkfxHTTP2_RequestKey& aKey);
  TkfxHTTP2_RequestPtr TakeFirst();
  // Takes every item out, first to last.
  std::deque<TkfxHTTP2_RequestPtr> TakeAll();
  int Count();
  bool Empty();
  // Frees every item.
  void Clear() override;

 private:
  struct TKeyHash {
    using is_transparent = void;
    // The bits are random already.
    size_t operator()(const TkfxHTTP2_RequestKey& aKey) const noexcept { return aKey.Hi ^ aKey.Lo; }
    size_t operator()(const TkfxHTTP2_Request* aItem) const noexcept { return (*this)(aItem->Key()); }
  };
  struct TKeyEqual {
    using is_transparent = void;
    static const TkfxHTTP2_RequestKey& KeyOf(const TkfxHTTP2_RequestKey& aKey) { return aKey; }
    static const TkfxHTTP2_RequestKey& KeyOf(const TkfxHTTP2_Request* aItem) { return aItem->Key(); }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept { return KeyOf(a) == KeyOf(b); }
  };
  // Under FLock.
  TkfxHTTP2_Request* FindLocked(const TkfxHTTP2_RequestKey& aKey);
  TkfxHTTP2_RequestPtr Unlink(TkfxHTTP2_Request* aItem);

  const bool FIndexed;
  std::atomic<bool> FEnabled{false};
  // Guarded by FLock: the items first to last, linked through the items.
  TkfxHTTP2_Request* FFirst = nullptr;
  TkfxHTTP2_Request* FLast = nullptr;
  size_t FCount = 0;
  std::unordered_set<TkfxHTTP2_Request*, TKeyHash, TKeyEqual> FIndex;
};

// Sends the queued requests of one connection.
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

// Queues a component's delayed connect once its time has come.
class TkfxHTTP2_ThreadReconnect : public TThread {
 public:
  explicit TkfxHTTP2_ThreadReconnect(TkfxHTTP2CLient_Base* aClient);

 protected:
  void Execute() override;
  void TerminatedSet() override;

 private:
  TkfxHTTP2CLient_Base* FClient;
};

// The TCP-level configuration (host, port, time-outs, TLS, proxy, heartbeat,
// watchdog, log file, throttle, NotifyEvents, Version) is the TCP client's.
class TkfxHTTP2CLient_Base : public TkfxTCPCLient_Common {
  friend class TkfxHTTP2_ThreadRequests;
  friend class TkfxHTTP2_ThreadReconnect;

 public:
  // Queued items the server refused unprocessed are sent again up to this
  // many times before they fail.
  static constexpr int MaxRefusedRetries = 100;

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
  TkfxHTTP2_Requests& Requests() { return *FRequests; }
  TkfxHTTP2_Requests& RequestsPending() { return *FRequestsPending; }

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
  int64_t ReconnectBackoff() const { return FBackoffMs.load(); }
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
  // Queues one connect for the read thread, unless one is queued or running
  // already: a burst of queued requests before any connection makes one
  // activation, not one each. aAlways queues it even so: a reconnect after
  // a connection ended must not be taken for a connect that ran before the
  // end was handled.
  void QueueConnect(bool aAlways = false);
  void ConnectDone() { FConnectQueuedAt.store(0); }
  // One list of queued deliveries per event; a drain takes its batch out
  // under the lock and raises the events without it.
  struct TNotifyList {
    std::mutex Lock;
    std::deque<std::function<void()>> Items;
    bool Draining = false;
  };

  void Deliver(TNotifyList& aList, std::function<void()> aRaise);
  // Runs aRaise on the main thread and waits, unless NotifyEvents is
  // neNoSync or aAssigned is false: then at once on this thread.
  void DeliverAndWait(bool aAssigned, const std::function<void()>& aRaise);
  void Drain(TNotifyList& aList);
  void ReportHandlerFailure(std::exception_ptr aError);

  void CheckConnection(const std::string& aURL, bool aQueued);
  void ConnectTo(const std::string& aHost, int aPort, bool aQueued);
  std::string TLSIdentity();
  // Drops the OAuth client's token this component holds.
  void DropOAuthToken();
  // Drops the cached OAuth token when the token source changed.
  void CheckTokenSource();
  // Has the bound JWT client sign a token, reported through
  // OnAuthTokenEvent on this thread; raises the client's error.
  TkfxProviderToken SignJWT(TkfxHTTPComponentClient_JWT& aJWT);
  std::string TokenSourceIdentity();
  // The same, written into aOut (cleared first): checked per request, it
  // reuses the caller's buffer instead of building new strings.
  void TokenSourceIdentityTo(std::string& aOut);
  // Sends aRequest on aConnection; returns the stream (0: not sent).
  int32_t SendOn(const TkfxHTTP2ConnectionClientRef& aConnection, Th2Methods aMethod, const std::string& aPath,
                 TStream* aSource, TStream* aResponseContent, TkfxHTTP2Request& aRequest);
  // An answer came: aReason is the APNs reason of a 403 or 429 (empty for
  // other answers), aToken the bearer token the request carried.
  void AfterAnswer(int aStatus, const std::string& aReason, const std::string& aToken);
  // A 429 TooManyProviderTokenUpdates: connects wait longer.
  void BackOff();
  // Holds a queued connect until aAt (steady clock milliseconds).
  void DelayConnect(int64_t aAt);
  void RunDelayedConnects(TkfxHTTP2_ThreadReconnect& aThread);
  void StopReconnectThread();
  void SendRetry(TkfxHTTP2ConnectionClient* Connection, TkfxHTTP2Request& aRequest, TkfxHTTP2_RequestPtr& aItem);
  std::string ResultText(TStream& aContent);
  void QueueRequest(Th2Methods aMethod, const std::string& aURL, TStream* aSource);
  // The request thread's loop.
  void RunRequests(TkfxHTTP2_ThreadRequests& aThread);
  void WakeRequests();
  void StartRequestThread();
  void StopRequestThread();
  // The first step of destruction: no events, no request thread.
  void StopBeforeShutDown();
  void FailItems(const TkfxHTTP2ConnectionClientRef& aConnection, std::deque<TkfxHTTP2_RequestPtr> aItems,
                 const std::string& aReason);
  bool IsLive(TkfxHTTP2ConnectionClient* aConnection);

  int FRequestMaxRetries = 3;
  bool FPendingRequestsReconnect = false;
  bool FPendingRequestsClear = true;
  std::unique_ptr<TkfxHTTP2_Requests> FRequests;
  std::unique_ptr<TkfxHTTP2_Requests> FRequestsPending;
  TkfxHTTP2_ThreadRequests* FThreadRequests = nullptr;  // released with FreeThread
  std::mutex FThreadLock;                                // FThreadRequests
  // The OAuth client's token.
  std::string FAuthToken;        // guarded by FTokenLock
  std::string FAuthTokenType;    // guarded by FTokenLock
  std::string FAuthTokenSource;  // TokenSourceIdentity of the cached token
  // What the JWT client reported to OnAuthTokenEvent while SignJWT ran.
  std::string FSignedToken;      // guarded by FTokenLock
  std::string FSignedTokenType;  // guarded by FTokenLock
  std::recursive_mutex FTokenLock;
  std::unique_ptr<TkfxHTTP2_ProviderTokens> FOwnTokens;  // from SetTokenClock
  // The delay after a 429 TooManyProviderTokenUpdates.
  std::mutex FBackoffLock;
  std::atomic<int> FBackoffFirstMs{1000}, FBackoffMaxMs{30000};
  std::atomic<int64_t> FBackoffMs{0};         // 0: none in force
  std::atomic<int64_t> FConnectNotBefore{0};  // steady clock milliseconds
  // The connect held back until FDelayedConnectAt (0: none) and the thread
  // that queues it then.
  std::mutex FDelayLock;
  std::condition_variable FDelayChanged;
  int64_t FDelayedConnectAt = 0;                           // guarded by FDelayLock
  TkfxHTTP2_ThreadReconnect* FThreadReconnect = nullptr;  // guarded by FDelayLock
  // What the OAuth client answered. The handlers set on that client hold it
  // too, so an answer arriving late, on any thread, even after this
  // component is gone, lands in memory that is still alive. A delivered
  // token moves from here into FAuthToken at the next token step.
  struct TOAuthAnswer {
    std::mutex Lock;
    uint64_t Asked = 0;     // token requests started
    uint64_t Answered = 0;  // the latest of them answered
    std::chrono::steady_clock::time_point GiveUp;  // when the one in flight is abandoned
    std::string TokenType, Token, Error;
  };
  const std::shared_ptr<TOAuthAnswer> FOAuthAnswer = std::make_shared<TOAuthAnswer>();
  // The authorization line with the OAuth client's token: cached, or asked
  // for and waited for up to Authentication.Token.ReadTimeout. Raises the
  // client's error, or a time-out error.
  std::string OAuthTokenLine();
  std::unique_ptr<TkfxHTTP2_Authentication_Options> FAuthentication;
  std::unique_ptr<TkfxHTTP2Request> FRequest;
  std::unique_ptr<TkfxHTTP2Settings> FSettings;
  bool FPushPromiseCancel = false;

  // Both queues, the request thread's wake-up and its view of the connection.
  std::mutex FQueueLock;
  std::condition_variable FQueueChanged;
  bool FSendBlocked = false;  // the connection takes no more requests
  std::shared_ptr<const TkfxHTTP2Request> FLastSnapshot;  // shared by queued items
  std::shared_ptr<const std::string> FLastURL;            // the same for their URL

  // The connection whose writes may reach the command queue.
  std::mutex FLiveLock;
  TkfxHTTP2ConnectionClient* FLive = nullptr;
  // The connection that got a GOAWAY: it takes no new requests. A GOAWAY of
  // an ended connection never blocks the next one.
  std::atomic<TkfxHTTP2ConnectionClient*> FGoAwayOn{nullptr};
  std::atomic<TkfxTCPConnection*> FDisconnectHandled{nullptr};
  // When the queued connect was queued (monotonic milliseconds), 0 when
  // none is queued or running.
  std::atomic<int64_t> FConnectQueuedAt{0};
  std::string FConnectedTLS;    // TLSIdentity of the live connection
  std::string FConnectedToken;  // TokenSourceIdentity of the live connection

  TNotifyList FNotifyHTTP2Connect, FNotifyHTTP2Disconnect, FNotifyHTTP2Exception, FNotifyHTTP2Response,
      FNotifyHTTP2ResponseFragment, FNotifyHTTP2GoAway, FNotifyHTTP2RequestFailed;
  std::shared_ptr<std::atomic<bool>> FAlive;
};
