#include "http2/client/kfxHTTP2_Client.h"

#include "tcp/IdException.h"
#include "tcp/kfxBase_Helpers.h"

namespace {

std::string DecodeUTF16(const TIdBytes& aBytes, bool aBigEndian) {
  size_t i = 0;
  if (aBytes.size() >= 2) {
    if (aBytes[0] == 0xFF && aBytes[1] == 0xFE)
      aBigEndian = false, i = 2;
    else if (aBytes[0] == 0xFE && aBytes[1] == 0xFF)
      aBigEndian = true, i = 2;
  }
  auto unit = [&](size_t k) -> uint32_t {
    return aBigEndian ? (aBytes[k] << 8 | aBytes[k + 1]) : (aBytes[k + 1] << 8 | aBytes[k]);
  };
  std::string text;
  for (; i + 1 < aBytes.size(); i += 2) {
    uint32_t code = unit(i);
    if (code >= 0xD800 && code < 0xDC00 && i + 3 < aBytes.size()) {
      const uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    AppendUTF8(text, code);
  }
  return text;
}

// The answer body as text in the encoding its charset names; an empty or
// unknown charset reads one character per octet.
std::string DecodeAnswerText(const TIdBytes& aBytes, const std::string& aCharset) {
  const std::string charset = LowerCase(Trim(aCharset));
  if (charset == "utf-8" || charset == "utf8") return UTF8BytesToString(aBytes);
  if (charset == "utf-16" || charset == "utf-16le") return DecodeUTF16(aBytes, false);
  if (charset == "utf-16be") return DecodeUTF16(aBytes, true);
  std::string text;
  for (const uint8_t octet : aBytes) AppendUTF8(text, octet);
  return text;
}

TIdBytes ReadRest(TStream& aStream) {
  const int64_t size = aStream.Size() - aStream.Position();
  TIdBytes bytes(static_cast<size_t>(size > 0 ? size : 0));
  if (!bytes.empty()) aStream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  return bytes;
}

}  // namespace

// --- authentication options ---

void TkfxHTTP2_Authentication_Token::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxHTTP2_Authentication_Token*>(Source);
  if (!other) return TPersistent::Assign(Source);
  SetJWT(other->FJWT);
  FOAuth = other->FOAuth;
  FReadTimeout = other->FReadTimeout;
}

void TkfxHTTP2_Authentication_Token::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishField("ReadTimeout", FReadTimeout));
}

void TkfxHTTP2_Authentication_Token::SetJWT(TkfxHTTPComponentClient_JWT* aValue) {
  if (aValue == FJWT) return;
  if (FJWT && FJWTEventsBound) {
    FJWT->OnAuthToken = nullptr;
    FJWT->OnAuthTokenError = nullptr;
  }
  FJWTEventsBound = false;
  if (FJWT && FClient) FJWT->RemoveFreeNotification(FClient);
  FJWT = aValue;
  if (FJWT && FClient) FJWT->FreeNotification(FClient);
}

void TkfxHTTP2_Authentication_Token::BindJWTEvents(TkfxOnAuthToken aOnAuthToken,
                                                   TkfxOnAuthTokenError aOnAuthTokenError) {
  if (!FJWT) return;
  FJWT->OnAuthToken = std::move(aOnAuthToken);
  FJWT->OnAuthTokenError = std::move(aOnAuthTokenError);
  FJWTEventsBound = true;
}

void TkfxHTTP2_Authentication_Token::JWTDestroyed() {
  FJWTEventsBound = false;
  SetJWT(nullptr);
}

void TkfxHTTP2_Authentication_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxHTTP2_Authentication_Options*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FToken->Assign(other->FToken.get());
}

void TkfxHTTP2_Authentication_Options::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishObject("Token", [this] { return FToken.get(); }));
}

// --- the client ---

TkfxHTTP2CLient_Base::TkfxHTTP2CLient_Base(TComponent* AOwner)
    : TkfxTCPCLient_Common(AOwner),
      FAuthentication(std::make_unique<TkfxHTTP2_Authentication_Options>(this)),
      FRequest(std::make_unique<TkfxHTTP2Request>()),
      FSettings(std::make_unique<TkfxHTTP2Settings>()) {
  // Every HTTP/2 write goes through the read thread's command queue; TLS
  // with ALPN "h2" and TLS 1.2.
  SetTCPMode(TkfxTCPMode::tcpmCommands);
  FTLS = true;
  if (FTLSOptions->ALPNProtocols().IndexOf("h2") < 0) FTLSOptions->ALPNProtocols().Add("h2");
  FTLSOptions->SetVersion(TwsTLSVersions::tls1_2);
}

TkfxHTTP2CLient_Base::~TkfxHTTP2CLient_Base() {
  ShutDown();
  DoDeactivate();
  FAuthentication->Token().SetJWT(nullptr);
}

bool TkfxHTTP2CLient_Base::Active() {
  if (IsLoading() || IsDesigning()) return FActive;
  return FRecordedConnection != nullptr;
}

void TkfxHTTP2CLient_Base::SetActive(bool aValue) {
  if (IsLoading() || IsDesigning()) {
    FActive = aValue;
    return;
  }
  if (aValue)
    DoActivate();
  else
    DoDeactivate();
}

// Connects on the calling thread. A failure is reported through DoException,
// never raised.
void TkfxHTTP2CLient_Base::DoActivate() {
  if (Active()) return;
  try {
    if (!FRecorder)
      throw EIdException("No network transport is available to connect to " + FHost + ":" +
                         IntToStr(FPort) + ".");
    if (FRecorder->Connect) FRecorder->Connect(FHost, FPort);
    auto connection = std::make_unique<TRecordedConnection>();
    connection->Host = FHost;
    connection->Port = FPort;
    FRecordedConnection = std::move(connection);
  } catch (Exception& e) {
    DoException(nullptr, e.Message(), &e);
  } catch (const std::exception& e) {
    Exception error(e.what());
    DoException(nullptr, error.Message(), &error);
  }
}

void TkfxHTTP2CLient_Base::DoDeactivate() {
  if (!FRecordedConnection) return;
  FRecordedConnection.reset();
  // as the disconnect event does
  DropAuthToken();
}

void TkfxHTTP2CLient_Base::DropAuthToken() {
  FAuthToken.clear();
  FAuthTokenType.clear();
}

void TkfxHTTP2CLient_Base::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove) return;
  TkfxHTTP2_Authentication_Token& token = FAuthentication->Token();
  if (token.JWT() && static_cast<TComponent*>(token.JWT()) == AComponent) token.JWTDestroyed();
}

TkfxHTTP2Response* TkfxHTTP2CLient_Base::Response() {
  return FRecordedConnection ? &FRecordedConnection->Response : nullptr;
}

void TkfxHTTP2CLient_Base::SetRequestRecorder(TkfxHTTP2RequestRecorder aRecorder) {
  FRecorder = std::make_unique<TkfxHTTP2RequestRecorder>(std::move(aRecorder));
}

std::string TkfxHTTP2CLient_Base::Post(const std::string& aURL, TStream* aSource) {
  TMemoryStream content;
  Post(aURL, aSource, content);
  TkfxHTTP2Response* response = Response();
  const std::string charset = response ? response->Charset() : std::string();
  return DecodeAnswerText(ReadRest(content), charset);
}

void TkfxHTTP2CLient_Base::Post(const std::string& aURL, TStream* aSource,
                                TStream& aResponseContent) {
  DoPost(aURL, aSource, &aResponseContent);
}

void TkfxHTTP2CLient_Base::DoPost(const std::string& aURL, TStream* aSource,
                                  TStream* aResponseContent) {
  DoSendRequest(Th2Methods::h2mePost, aURL, aSource, aResponseContent);
}

void TkfxHTTP2CLient_Base::DoSendRequest(Th2Methods aMethod, const std::string& aURL,
                                         TStream* aSource, TStream* aResponseContent) {
  if (!aResponseContent) throw EInvalidOperation("Queued requests are not available.");
  CheckConnection(aURL);
  if (!Active()) throw Exception("Cannot connect to server.");
  DoHTTP2Request(aMethod, aURL, aSource, aResponseContent, "");
}

// Reuses the connection when it goes to the URL's host and port; otherwise
// closes it and connects there.
void TkfxHTTP2CLient_Base::CheckConnection(const std::string& aURL) {
  std::string protocol, host, path;
  int port = 443;
  if (SplitHTTP2URL(aURL, protocol, host, port, path)) {
    if (Active() && (host != FHost || port != FPort)) DoDeactivate();
    if (!Active()) ConnectTo(host, port);
  }
  FRequest->Host = FHost;
}

void TkfxHTTP2CLient_Base::ConnectTo(const std::string& aHost, int aPort) {
  FHost = aHost;
  FPort = aPort;
  SetActive(true);
}

void TkfxHTTP2CLient_Base::DoHTTP2Request(Th2Methods aMethod, const std::string& aURL,
                                          TStream* aSource, TStream* aResponseContent,
                                          const std::string& aID) {
  std::string protocol, host, path;
  int port = 443;
  if (!SplitHTTP2URL(aURL, protocol, host, port, path)) return;
  if (!FRecordedConnection) return;
  try {
    // An answer of an earlier request never stands for this one.
    FRecordedConnection->Response.Clear();
    DoAuthorizationToken();
    FRequest->ID = aID;
    TkfxHTTP2RecordedRequest request;
    request.Method = aMethod;
    request.URL = aURL;
    request.Host = host;
    request.Port = port;
    request.Path = path;
    request.Request.Assign(FRequest.get());
    const TkfxHTTP2_Authentication_Token& source = FAuthentication->Token();
    if (source.JWT() || source.OAuth()) request.BearerToken = FAuthToken;
    if (aSource) request.Body = ReadRest(*aSource);
    TkfxHTTP2Response& response = FRecordedConnection->Response;
    if (FRecorder->Send) FRecorder->Send(request, response);
    if (aResponseContent) {
      const int64_t start = aResponseContent->Position();
      const TIdBytes& body = response.Content().Bytes();
      if (!body.empty()) aResponseContent->WriteBytes(body);
      aResponseContent->SetPosition(start);
    }
  } catch (...) {
    // The caller gets no exception; the connection is given up.
    DoDeactivate();
  }
}

void TkfxHTTP2CLient_Base::DoAuthorizationToken() {
  TkfxHTTP2_Authentication_Token& source = FAuthentication->Token();
  TkfxHTTPComponentClient_JWT* jwt = source.JWT();
  if (!jwt && !source.OAuth()) return;
  if (jwt && Now() > FAuthTokenExpiry) DropAuthToken();
  if (FAuthToken.empty()) {
    if (source.OAuth()) throw Exception("OAuth2 token requests are not available.");
    source.BindJWTEvents(
        [this](TObject* Sender, const std::string& TokenType, const std::string& Token,
               const std::string& Data) { OnAuthTokenEvent(Sender, TokenType, Token, Data); },
        [this](TObject* Sender, const std::string& Error, const std::string& ErrorDescription,
               const std::string& Data) {
          OnAuthTokenErrorEvent(Sender, Error, ErrorDescription, Data);
        });
    // The JWT client reports its token, or raises its error, before Start
    // returns, so there is nothing to wait for. (An OAuth2 client answers
    // later; waiting up to Token.ReadTimeout belongs to that path.)
    jwt->Start();
  }
  if (!FAuthToken.empty())
    FRequest->CustomHeaders.Add("Authorization: " + FAuthTokenType + " " + FAuthToken);
}

void TkfxHTTP2CLient_Base::OnAuthTokenEvent(TObject*, const std::string& TokenType,
                                            const std::string& Token, const std::string&) {
  FAuthTokenType = TokenType;
  FAuthToken = Token;
  if (TkfxHTTPComponentClient_JWT* jwt = FAuthentication->Token().JWT(); jwt && !Token.empty())
    FAuthTokenExpiry = Now() + jwt->JWTOptions().RefreshTokenAfter() * 1000.0 / kMSecsPerDay;
}

void TkfxHTTP2CLient_Base::OnAuthTokenErrorEvent(TObject*, const std::string& Error,
                                                 const std::string& ErrorDescription,
                                                 const std::string&) {
  throw Exception("Error " + Error + ". " + ErrorDescription);
}

void TkfxHTTP2CLient_Base::DoException(TkfxHTTP2ConnectionClient* Connection,
                                       const std::string& aMessage, Exception* E) {
  if (IsDestroying()) return;
  // Connection objects come with the HTTP/2 connection; until then every
  // error is one of a connect, reported at once on this thread.
  DoEventHTTP2Exception(Connection, E ? E->Message() : aMessage, E);
}

void TkfxHTTP2CLient_Base::DoEventHTTP2Exception(TkfxHTTP2ConnectionClient* Connection,
                                                 const std::string& aMessage, Exception* E) {
  DropAuthToken();
  if (aMessage == "Connection Closed Gracefully.") return;
  if (!OnHTTP2Exception) return;
  if (E) {
    if (E->Message().empty()) E->SetMessage(aMessage);
    OnHTTP2Exception(this, Connection, E);
  } else {
    Exception temporary(aMessage);
    OnHTTP2Exception(this, Connection, &temporary);
  }
}
