// The HTTP/2 client component: configuration, the request API, bearer tokens
// from a JWT client, and the authentication options.
//
// The transport below it (TCP client, TLS handlers, the HTTP/2 connection
// object) is not part of this build yet: an activation reports a failed
// connect, so a synchronous request raises "Cannot connect to server." after
// the exception event, as it does when no server can be reached. A request
// recorder (SetRequestRecorder) can stand in for the network; it receives
// each request as the client composed it and answers it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http2/client/kfxHTTP2_Classes.h"
#include "jwt/kfxHTTP_JWT_Client.h"
#include "rtl/Classes.h"
#include "rtl/DateTime.h"
#include "rtl/Streams.h"
#include "tcp/kfxBase_Classes.h"
#include "tcp/kfxTCP_Classes.h"
#include "tcp/kfxTCP_Client.h"

class TkfxHTTP2ConnectionClient;
class TkfxHTTP2RequestProperty;
class TkfxHTTP2ResponseProperty;
class TkfxHTTP2ResponseFragmentProperty;
class TkfxHTTP2_Frame_PushPromise;
class TkfxHTTPComponentClient_OAuth;

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
  void SetOAuth(TkfxHTTPComponentClient_OAuth* aValue) { FOAuth = aValue; }
  // Milliseconds a request waits for a token.
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int aValue) { FReadTimeout = aValue; }

 private:
  TComponent* FClient;
  TkfxHTTPComponentClient_JWT* FJWT = nullptr;
  bool FJWTEventsBound = false;  // FJWT carries our handlers
  TkfxHTTPComponentClient_OAuth* FOAuth = nullptr;
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

// A request as it would go on the wire, handed to a request recorder.
struct TkfxHTTP2RecordedRequest {
  Th2Methods Method = Th2Methods::h2meGet;
  std::string URL;
  std::string Host;
  int Port = 0;
  std::string Path;
  // The client's Request as sent: Host, header fields and the custom header
  // lines, an "Authorization:" line from the token step included.
  TkfxHTTP2Request Request;
  // The bearer token the token step added to this request; empty when no
  // token source is configured.
  std::string BearerToken;
  TIdBytes Body;
};

// Stands in for the network. Connect runs at each activation (an exception
// it raises is the connect failure); Send answers each request by filling
// the response (":status" and other "name=value" header lines, content).
struct TkfxHTTP2RequestRecorder {
  std::function<void(const std::string& aHost, int aPort)> Connect;
  std::function<void(const TkfxHTTP2RecordedRequest& aRequest, TkfxHTTP2Response& aResponse)> Send;
};

// The TCP-level configuration (host, port, time-outs, TLS, proxy, heartbeat,
// watchdog, log file, throttle, NotifyEvents, Version) is the TCP client's.
class TkfxHTTP2CLient_Base : public TkfxTCPCLient_Common {
 public:
  explicit TkfxHTTP2CLient_Base(TComponent* AOwner);
  ~TkfxHTTP2CLient_Base() override;

  // Answered and carried out by the request recorder's stand-in connection.
  bool Active() override;
  void SetActive(bool aValue) override;

  // HTTP/2 settings.
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
  // The live connection object; null while there is none.
  TkfxHTTP2ConnectionClient* HTTP2Connection() const { return nullptr; }

  // POST with the answer body as text. Connects when needed; raises
  // "Cannot connect to server." when no connection could be made. Failures
  // after that are not raised: the result is then empty.
  std::string Post(const std::string& aURL, TStream* aSource);
  // POST with the answer body written to aResponseContent.
  void Post(const std::string& aURL, TStream* aSource, TStream& aResponseContent);

  // Replaces the network with a recorder (tests); an empty Connect accepts
  // every connect. Takes effect at the next activation.
  void SetRequestRecorder(TkfxHTTP2RequestRecorder aRecorder);

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

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

  virtual void OnAuthTokenEvent(TObject* Sender, const std::string& TokenType,
                                const std::string& Token, const std::string& Data);
  virtual void OnAuthTokenErrorEvent(TObject* Sender, const std::string& Error,
                                     const std::string& ErrorDescription, const std::string& Data);
  // Adds the "Authorization:" line of a bearer token to Request.CustomHeaders
  // when a token source is configured.
  virtual void DoAuthorizationToken();
  virtual void DoHTTP2Request(Th2Methods aMethod, const std::string& aURL, TStream* aSource,
                              TStream* aResponseContent, const std::string& aID);
  virtual void DoSendRequest(Th2Methods aMethod, const std::string& aURL, TStream* aSource,
                             TStream* aResponseContent);
  virtual void DoPost(const std::string& aURL, TStream* aSource, TStream* aResponseContent);
  // Reports an error of a connection, or of a connect when Connection is null.
  virtual void DoException(TkfxHTTP2ConnectionClient* Connection, const std::string& aMessage,
                           Exception* E);
  virtual void DoEventHTTP2Exception(TkfxHTTP2ConnectionClient* Connection,
                                     const std::string& aMessage, Exception* E);

 private:
  // A connection to the request recorder.
  struct TRecordedConnection {
    std::string Host;
    int Port = 0;
    TkfxHTTP2Response Response;
  };

  void CheckConnection(const std::string& aURL);
  void ConnectTo(const std::string& aHost, int aPort);
  void DoActivate();
  void DoDeactivate();
  void DropAuthToken();

  // HTTP/2
  int FRequestMaxRetries = 3;
  std::string FAuthToken;
  std::string FAuthTokenType;
  TDateTime FAuthTokenExpiry = 0;
  std::unique_ptr<TkfxHTTP2_Authentication_Options> FAuthentication;
  std::unique_ptr<TkfxHTTP2Request> FRequest;
  std::unique_ptr<TkfxHTTP2Settings> FSettings;

  std::unique_ptr<TkfxHTTP2RequestRecorder> FRecorder;
  std::unique_ptr<TRecordedConnection> FRecordedConnection;
};
