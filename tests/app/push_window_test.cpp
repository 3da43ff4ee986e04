// The push window driven like an operator drives it: fill the fields, click
// the button, read the log. A request recorder stands in for the network, so
// what the window composed can be checked byte for byte.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "app/Application.h"
#include "app/FApplePushNotifications.h"
#include "rtl/DateTime.h"
#include "rtl/MainThread.h"
#include "tcp/IdException.h"
#include "tcp/kfxBase_Helpers.h"

namespace {

const std::string kKeyFile = std::string(APNS_BINARY_DIR) + "/fixtures/AuthKey_TEST123456.p8";
const std::string kDevelopment = "https://api.sandbox.push.apple.com";
const std::string kProduction = "https://api.push.apple.com";

TApplication& Application() {
  return *static_cast<TApplication*>(QCoreApplication::instance());
}

// Runs the event loop until aDone() holds, at most aTimeoutMs.
bool WaitFor(const std::function<bool()>& aDone, int aTimeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  while (!aDone() && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return aDone();
}

std::string ReadFile(const std::string& aFileName) {
  std::ifstream in(aFileName, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Base64URLDecode(const std::string& aText) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : aText) {
    const auto value = kAlphabet.find(c);
    if (value == std::string::npos) return "<not base64url>";
    bits = bits << 6 | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::vector<std::string> Split(const std::string& aText, char aSeparator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(aText);
  while (std::getline(in, part, aSeparator)) parts.push_back(part);
  if (!aText.empty() && aText.back() == aSeparator) parts.emplace_back();
  return parts;
}

// What the recorder kept of one request.
struct TSentRequest {
  Th2Methods Method;
  std::string URL, Host, Path, RequestHost, UserAgent, BearerToken, Body;
  int Port;
  std::vector<std::string> CustomHeaders;
};

// What the signer was asked to sign.
struct TSigning {
  TkfxHTTP_JWT_Algorithm Algorithm;
  std::string Input, Key;
};

class PushWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application().SetExceptionReporter([this](const std::string& aMessage) {
      Errors.push_back(aMessage);
      LogAtError.push_back(LogLines());
    });
    Window = std::make_unique<TFRMApplePushNotifications>();
    Window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
    Client().SetRequestRecorder(
        {[this](const std::string& aHost, int aPort) {
           Connects.push_back(aHost + ":" + std::to_string(aPort));
           if (ConnectError) throw EIdException(*ConnectError);
         },
         [this](const TkfxHTTP2RecordedRequest& aRequest, TkfxHTTP2Response& aResponse) {
           const TkfxHTTP2Request& request = aRequest.Request;
           Sent.push_back({aRequest.Method, aRequest.URL, aRequest.Host, aRequest.Path,
                           request.Host, request.UserAgent, aRequest.BearerToken,
                           std::string(aRequest.Body.begin(), aRequest.Body.end()), aRequest.Port,
                           request.CustomHeaders.Lines()});
           aResponse.Headers().Add(":status=" + std::to_string(AnswerStatus));
           for (const std::string& line : AnswerHeaders) aResponse.Headers().Add(line);
           aResponse.Content().WriteBuffer(AnswerBody.data(),
                                           static_cast<int64_t>(AnswerBody.size()));
         }});
  }

  void TearDown() override {
    Window.reset();
    Application().SetExceptionReporter([](const std::string& aMessage) {
      ADD_FAILURE() << "error box after a test: " << aMessage;
    });
  }

  TkfxHTTP2Client& Client() { return *Window->kfxHTTP2Client1; }
  TkfxHTTP_JWT_Client& JWTClient() { return *Window->kfxHTTP_JWT_Client1; }

  // A signer that records its input and signs with three fixed bytes ("AQID").
  void InstallSigner() {
    JWTClient().SetSigner(
        [this](TkfxHTTP_JWT_Algorithm aAlgorithm, const TIdBytes& aInput, const TIdBytes& aKey) {
          Signings.push_back({aAlgorithm, std::string(aInput.begin(), aInput.end()),
                              std::string(aKey.begin(), aKey.end())});
          return TIdBytes{1, 2, 3};
        });
  }

  void UseTokenAuthentication(const std::string& aTopic) {
    QTest::mouseClick(Window->optAuthenticationTokenBased, Qt::LeftButton);
    Window->txtPrivateKey->setText(QString::fromStdString(kKeyFile));
    Window->txtAppleKeyId->setText("TEST123456");
    Window->txtIssuerKey->setText("TEAM123456");
    Window->txtAPNS_TOPIC->setText(QString::fromStdString(aTopic));
  }

  void Push() { QTest::mouseClick(Window->btnPushNotification, Qt::LeftButton); }

  // The log's entries: every entry is a line ended by a line break.
  std::vector<std::string> LogLines() const {
    const std::string text = Window->memoLog->toPlainText().toStdString();
    std::vector<std::string> lines = Split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
  }

  std::unique_ptr<TFRMApplePushNotifications> Window;
  std::vector<std::string> Errors;
  std::vector<std::vector<std::string>> LogAtError;  // the log when each error was shown
  std::vector<std::string> Connects;
  std::optional<std::string> ConnectError;
  std::vector<TSentRequest> Sent;
  std::vector<TSigning> Signings;
  int AnswerStatus = 200;
  std::vector<std::string> AnswerHeaders;
  std::string AnswerBody;
};

// --- the window as built ---

TEST_F(PushWindowTest, ControlsCarryTheirNamesCaptionsDefaultsAndMasking) {
  EXPECT_EQ(Window->windowTitle().toStdString(),
            "kfxWebSockets - Apple Push Notifications Provider Server");
  EXPECT_EQ(Window->size(), QSize(690, 729));

  struct TControl {
    const char* Name;
    const char* Caption;  // the button's text or the label naming the field
    const char* Text;     // default text of an edit or memo
    bool Masked;
  };
  const TControl edits[] = {
      {"txtCertificate", "Certificate FileName", "certificate.p12", false},
      {"txtCertificatePassword", "Certificate Password", "", true},
      {"txtPrivateKey", "Private Key FileName", "AuthKey_*****.p8", false},
      {"txtAppleKeyId", "Key Id", "", true},
      {"txtIssuerKey", "Issuer Key", "", false},
      {"txtAPNS_TOPIC", "apns-topic", "", false},
      {"txtDeviceToken", "Device Token", "", true},
  };
  const auto labelOf = [this](const QWidget* aField) -> std::string {
    for (const QLabel* label : Window->findChildren<QLabel*>())
      if (label->buddy() == aField) return label->text().toStdString();
    return "<no label>";
  };
  for (const TControl& c : edits) {
    SCOPED_TRACE(c.Name);
    const auto* edit = Window->findChild<QLineEdit*>(c.Name);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(labelOf(edit), c.Caption);
    EXPECT_EQ(edit->text().toStdString(), c.Text);
    EXPECT_EQ(edit->echoMode() == QLineEdit::Password, c.Masked);
    if (c.Masked) {
      EXPECT_EQ(edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, edit),
                '*');
    }
  }

  const TControl radios[] = {
      {"optAppleDevelopmentServer", "Apple Development Server", "grpAppleServers", true},
      {"optAppleProductionServer", "Apple Production Server", "grpAppleServers", false},
      {"optAuthenticationCertificate", "Certificate", "grpAuthentication", true},
      {"optAuthenticationTokenBased", "Token Based", "grpAuthentication", false},
  };
  for (const TControl& c : radios) {  // Text holds the group box, Masked the checked state
    SCOPED_TRACE(c.Name);
    const auto* radio = Window->findChild<QRadioButton*>(c.Name);
    ASSERT_NE(radio, nullptr);
    EXPECT_EQ(radio->text().toStdString(), c.Caption);
    EXPECT_EQ(radio->parentWidget()->objectName().toStdString(), c.Text);
    EXPECT_EQ(radio->isChecked(), c.Masked);
  }
  EXPECT_EQ(Window->grpAppleServers->title().toStdString(), "Apple Servers");
  EXPECT_EQ(Window->grpAuthentication->title().toStdString(), "Authentication");

  const auto* payload = Window->findChild<QPlainTextEdit*>("memoJSONPayload");
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(labelOf(payload), "JSON Payload");
  EXPECT_EQ(payload->toPlainText().toStdString(),
            R"({"aps":{"alert":"Alert from kfxWebSockets!"}})");
  const auto* log = Window->findChild<QPlainTextEdit*>("memoLog");
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(log->toPlainText().isEmpty());
  const auto* button = Window->findChild<QPushButton*>("btnPushNotification");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text().toStdString(), "Push Notification");

  for (const QLabel* label : {Window->lblConfiguration, Window->lblLog})
    EXPECT_TRUE(label->font().bold());
  EXPECT_EQ(Window->lblConfiguration->text().toStdString(), "Push Notification Configuration");
  EXPECT_EQ(Window->lblLog->text().toStdString(), "Log Server Responses");
}

TEST_F(PushWindowTest, TabOrderFollowsTheControlTable) {
  const std::vector<std::string> expected{"optAppleDevelopmentServer",
                                          "optAppleProductionServer",
                                          "optAuthenticationCertificate",
                                          "optAuthenticationTokenBased",
                                          "txtCertificate",
                                          "txtCertificatePassword",
                                          "txtPrivateKey",
                                          "txtAppleKeyId",
                                          "txtIssuerKey",
                                          "txtAPNS_TOPIC",
                                          "txtDeviceToken",
                                          "memoJSONPayload",
                                          "memoLog",
                                          "btnPushNotification"};
  std::vector<std::string> chain;
  QWidget* widget = Window->optAppleDevelopmentServer;
  for (int i = 0; i < 200 && chain.size() < expected.size();
       ++i, widget = widget->nextInFocusChain()) {
    const std::string name = widget->objectName().toStdString();
    if (std::find(expected.begin(), expected.end(), name) != expected.end()) chain.push_back(name);
  }
  EXPECT_EQ(chain, expected);
}

TEST_F(PushWindowTest, RadioButtonsOfAGroupExcludeEachOther) {
  QTest::mouseClick(Window->optAppleProductionServer, Qt::LeftButton);
  QTest::mouseClick(Window->optAuthenticationTokenBased, Qt::LeftButton);
  EXPECT_FALSE(Window->optAppleDevelopmentServer->isChecked());
  EXPECT_TRUE(Window->optAppleProductionServer->isChecked());
  EXPECT_FALSE(Window->optAuthenticationCertificate->isChecked());
  EXPECT_TRUE(Window->optAuthenticationTokenBased->isChecked());
  QTest::mouseClick(Window->optAppleDevelopmentServer, Qt::LeftButton);
  EXPECT_FALSE(Window->optAppleProductionServer->isChecked());
  EXPECT_TRUE(Window->optAuthenticationTokenBased->isChecked());
}

TEST_F(PushWindowTest, PanelsAreStackedWithTheirSizesAndStretchWithTheWindow) {
  const auto check = [this](int aWidth, int aHeight) {
    SCOPED_TRACE(std::to_string(aWidth) + "x" + std::to_string(aHeight));
    Window->resize(aWidth, aHeight);
    ASSERT_TRUE(WaitFor([&] { return Window->size() == QSize(aWidth, aHeight); }));
    QCoreApplication::processEvents();
    const QRect servers = Window->pnlServers->geometry();
    const QRect configuration = Window->pnlConfiguration->geometry();
    const QRect log = Window->pnlLog->geometry();
    const QRect bottom = Window->pnlBottom->geometry();
    EXPECT_EQ(servers, QRect(3, 3, aWidth - 6, 161));
    EXPECT_EQ(configuration, QRect(3, servers.bottom() + 1 + 6, aWidth - 13, 186));
    EXPECT_EQ(bottom, QRect(3, aHeight - 3 - 41, aWidth - 6, 41));
    EXPECT_EQ(log, QRect(3, configuration.bottom() + 1 + 6, aWidth - 6,
                         bottom.top() - 6 - (configuration.bottom() + 1 + 6)));
    // Apple Servers keeps its size; Authentication takes the rest of the width.
    EXPECT_EQ(Window->grpAppleServers->size(), QSize(269, 148));
    EXPECT_EQ(Window->grpAuthentication->size(), QSize(380 + aWidth - 690, 148));
    // The log box fills its panel inside its margins (25, 30, 20, 10).
    EXPECT_EQ(Window->memoLog->geometry(), QRect(25, 30, log.width() - 45, log.height() - 40));
    // The button keeps its place at the right edge.
    const QRect button = Window->btnPushNotification->geometry();
    EXPECT_EQ(bottom.width() - 1 - button.right(), 12);
    EXPECT_TRUE(QRect(QPoint(0, 0), bottom.size()).contains(button));
  };
  check(690, 729);
  check(900, 900);
}

TEST_F(PushWindowTest, StartsCentredOnTheScreen) {
  Window.reset();
  Window = std::make_unique<TFRMApplePushNotifications>();
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((Window->geometry().center() - screen.center()).manhattanLength(), 1);
}

// --- the stored description ---

TEST_F(PushWindowTest, StoredSettingsComeFromTheDescription) {
  const std::pair<const char*, const char*> client[] = {
      {"Active", "False"},
      {"Port", "80"},
      {"ConnectTimeout", "0"},
      {"ReadTimeout", "-1"},
      {"TLS", "True"},
      {"Proxy.Enabled", "False"},
      {"Proxy.Port", "8080"},
      {"Proxy.ProxyType", "pxyHTTP"},
      {"IPVersion", "Id_IPv4"},
      {"NotifyEvents", "neAsynchronous"},
      {"LogFile.Enabled", "False"},
      {"HeartBeat.Enabled", "False"},
      {"HeartBeat.Interval", "60"},
      {"WatchDog.Enabled", "False"},
      {"WatchDog.Attempts", "0"},
      {"WatchDog.Interval", "10"},
      {"Throttle.Enabled", "False"},
      {"Throttle.BitsPerSec", "0"},
      {"TLSOptions.VerifyCertificate", "True"},
      {"TLSOptions.VerifyDepth", "0"},
      {"TLSOptions.Version", "tls1_2"},
      {"TLSOptions.ALPNProtocols.Strings", "h2"},
      {"TLSOptions.IOHandler", "iohSChannel"},
      {"TLSOptions.OpenSSL_Options.APIVersion", "oslAPI_1_0"},
      {"TLSOptions.OpenSSL_Options.LibPath", "oslpNone"},
      {"TLSOptions.SChannel_Options.CertStoreName", "scsnMY"},
      {"TLSOptions.SChannel_Options.CertStorePath", "scspStoreCurrentUser"},
      {"Request.Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
      {"Request.BasicAuthentication", "False"},
      {"Request.BearerAuthentication", "False"},
      {"Request.UserAgent", "Mozilla/5.0 (kfxWebSockets 4.4.9)"},
      {"Settings.EnablePush", "True"},
      {"Settings.HeaderTableSize", "4096"},
      {"Settings.InitialWindowSize", "65535"},
      {"Settings.MaxConcurrentStreams", "2147483647"},
      {"Settings.MaxFrameSize", "16384"},
      {"Settings.MaxHeaderListSize", "2147483647"},
      {"Authentication.Token.ReadTimeout", "60000"},
  };
  for (const auto& [path, expected] : client) {
    std::string value;
    EXPECT_TRUE(Client().GetPublishedValue(path, value)) << path;
    EXPECT_EQ(value, expected) << path;
  }
  const std::pair<const char*, const char*> jwt[] = {
      {"JWTOptions.Header.alg", "jwtNone"}, {"JWTOptions.Header.typ", "JWT"},
      {"JWTOptions.Payload.exp", "0"},      {"JWTOptions.Payload.iat", "0"},
      {"JWTOptions.Payload.nbf", "0"},      {"JWTOptions.RefreshTokenAfter", "0"},
  };
  for (const auto& [path, expected] : jwt) {
    std::string value;
    EXPECT_TRUE(JWTClient().GetPublishedValue(path, value)) << path;
    EXPECT_EQ(value, expected) << path;
  }
  EXPECT_EQ(Client().Owner(), static_cast<TComponent*>(Window.get()));
  EXPECT_EQ(JWTClient().Owner(), static_cast<TComponent*>(Window.get()));
  EXPECT_EQ(Client().Authentication().Token().JWT(), nullptr);
  EXPECT_EQ(Client().Version(), "4.5.1");
}

TEST_F(PushWindowTest, TheExceptionEventIsBoundByHandlerNameAndLogsTheMessage) {
  ASSERT_TRUE(Client().OnHTTP2Exception);
  Exception error("Connection reset by peer.");
  Client().OnHTTP2Exception(&Client(), nullptr, &error);
  EXPECT_EQ(LogLines(), std::vector<std::string>{"#exception: Connection reset by peer."});

  // The same lookup refuses unknown handlers and handlers of another event type.
  EXPECT_THROW(Client().SetPublishedValue("OnHTTP2Exception", "NoSuchHandler"), EConvertError);
  EXPECT_THROW(Client().SetPublishedValue("OnHTTP2Connect", "kfxHTTP2Client1HTTP2Exception"),
               EConvertError);
  EXPECT_TRUE(Client().SetPublishedValue("OnHTTP2Exception", ""));
  EXPECT_FALSE(Client().OnHTTP2Exception);
}

// --- the push action ---

TEST_F(PushWindowTest, RequestURLIsTheChosenServerAndTheDeviceTokenAsTyped) {
  struct TCase {
    bool Production;
    const char* DeviceToken;
    std::string URL, Host, Path;
  };
  const TCase cases[] = {
      {false, "a1b2c3", kDevelopment + "/3/device/a1b2c3", "api.sandbox.push.apple.com",
       "/3/device/a1b2c3"},
      {true, "a1b2c3", kProduction + "/3/device/a1b2c3", "api.push.apple.com", "/3/device/a1b2c3"},
      {false, "", kDevelopment + "/3/device/", "api.sandbox.push.apple.com", "/3/device/"},
      {true, "%s%d", kProduction + "/3/device/%s%d", "api.push.apple.com", "/3/device/%s%d"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.URL);
    Sent.clear();
    QTest::mouseClick(
        c.Production ? Window->optAppleProductionServer : Window->optAppleDevelopmentServer,
        Qt::LeftButton);
    Window->txtDeviceToken->clear();
    QTest::keyClicks(Window->txtDeviceToken, QString::fromLatin1(c.DeviceToken));
    Push();
    ASSERT_EQ(Sent.size(), 1u);
    EXPECT_EQ(Sent[0].Method, Th2Methods::h2mePost);
    EXPECT_EQ(Sent[0].URL, c.URL);
    EXPECT_EQ(Sent[0].Host, c.Host);
    EXPECT_EQ(Sent[0].RequestHost, c.Host);
    EXPECT_EQ(Sent[0].Port, 443);
    EXPECT_EQ(Sent[0].Path, c.Path);
    EXPECT_EQ(Sent[0].UserAgent, "Mozilla/5.0 (kfxWebSockets 4.4.9)");
  }
  // One connection per server: pushes to the same server reuse it.
  EXPECT_EQ(Connects,
            (std::vector<std::string>{"api.sandbox.push.apple.com:443", "api.push.apple.com:443",
                                      "api.sandbox.push.apple.com:443", "api.push.apple.com:443"}));
  Push();
  EXPECT_EQ(Connects.size(), 4u);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(PushWindowTest, PayloadIsSentWithCRLFBetweenItsLinesByteForByte) {
  const std::pair<QString, std::string> cases[] = {
      {QStringLiteral(R"({"aps":{"alert":"Alert from kfxWebSockets!"}})"),
       R"({"aps":{"alert":"Alert from kfxWebSockets!"}})"},
      {QStringLiteral("{\n  \"aps\": {\"alert\": \"Gr\u00fc\u00dfe\"}\n}"),
       "{\r\n  \"aps\": {\"alert\": \"Gr\xc3\xbc\xc3\x9f"
       "e\"}\r\n}"},
      {QStringLiteral("line\n\nafter an empty line\n"), "line\r\n\r\nafter an empty line\r\n"},
      {QString(), ""},
  };
  for (const auto& [memo, body] : cases) {
    SCOPED_TRACE(body);
    Sent.clear();
    Window->memoJSONPayload->setPlainText(memo);
    Push();
    ASSERT_EQ(Sent.size(), 1u);
    EXPECT_EQ(Sent[0].Body, body);
    EXPECT_EQ(Sent[0].Body.size(), body.size());
  }
}

TEST_F(PushWindowTest, CertificateModeSetsTheTLSOptionsAndATopicOnlyWhenOneIsGiven) {
  struct TCase {
    const char* Topic;
    std::vector<std::string> Headers;
  };
  const TCase cases[] = {
      {"", {"x-left-over: 1"}},
      {"com.example.app", {"apns-topic: com.example.app"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Topic);
    Sent.clear();
    Client().Request().CustomHeaders.Clear();
    Client().Request().CustomHeaders.Add("x-left-over: 1");
    Client().TLSOptions().SetIOHandler(TwsTLSIOHandler::iohOpenSSL);
    Client().Authentication().Token().SetJWT(&JWTClient());
    Window->txtCertificate->setText("client.p12");
    Window->txtCertificatePassword->setText("secret");
    Window->txtAPNS_TOPIC->setText(c.Topic);
    Push();
    ASSERT_EQ(Sent.size(), 1u);
    EXPECT_EQ(Sent[0].CustomHeaders, c.Headers);
    EXPECT_EQ(Sent[0].BearerToken, "");
    EXPECT_EQ(Client().TLSOptions().IOHandler(), TwsTLSIOHandler::iohSChannel);
    EXPECT_EQ(Client().TLSOptions().CertFile(), "client.p12");
    EXPECT_EQ(Client().TLSOptions().Password(), "secret");
    EXPECT_EQ(Client().Authentication().Token().JWT(), nullptr);
  }
}

TEST_F(PushWindowTest, TokenModeSignsATokenAndAlwaysSetsTheTopicLine) {
  InstallSigner();
  const std::string key = ReadFile(kKeyFile);
  ASSERT_FALSE(key.empty());
  for (const char* topic : {"", "com.example.app"}) {
    SCOPED_TRACE(topic);
    Client().SetActive(false);  // a disconnect drops the cached token: each case signs anew
    Sent.clear();
    Signings.clear();
    Window->memoLog->clear();
    Client().Request().CustomHeaders.Add("x-left-over: 1");
    Client().TLSOptions().SetCertFile("client.p12");
    Client().TLSOptions().SetPassword("kept");
    UseTokenAuthentication(topic);
    const int64_t before = DateTimeToUnix(NowUTC());
    Push();
    const int64_t after = DateTimeToUnix(NowUTC());

    ASSERT_EQ(Sent.size(), 1u);
    ASSERT_EQ(Signings.size(), 1u);
    const std::string token = Sent[0].BearerToken;
    EXPECT_EQ(Sent[0].CustomHeaders, (std::vector<std::string>{"apns-topic: " + std::string(topic),
                                                               "Authorization: Bearer " + token}));
    const std::vector<std::string> parts = Split(token, '.');
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(Base64URLDecode(parts[0]), R"({"alg":"ES256","typ":"JWT","kid":"TEST123456"})");
    const std::string claims = Base64URLDecode(parts[1]);
    int64_t iat = 0, exp = 0;
    ASSERT_EQ(
        std::sscanf(claims.c_str(), R"({"iss":"TEAM123456","iat":%ld,"exp":%ld})", &iat, &exp), 2)
        << claims;
    EXPECT_GE(iat, before);
    EXPECT_LE(iat, after);
    EXPECT_EQ(exp, iat + 2400);
    EXPECT_EQ(parts[2], "AQID");
    EXPECT_EQ(Signings[0].Algorithm, TkfxHTTP_JWT_Algorithm::jwtES256);
    EXPECT_EQ(Signings[0].Input, parts[0] + "." + parts[1]);
    EXPECT_EQ(Signings[0].Key, key);

    // What the window wrote into the two components.
    TkfxHTTP_JWT_Client_Options& jwt = JWTClient().JWTOptions();
    EXPECT_EQ(jwt.Header().alg, TkfxHTTP_JWT_Algorithm::jwtES256);
    EXPECT_EQ(jwt.Header().kid, "TEST123456");
    EXPECT_EQ(jwt.Payload().iss, "TEAM123456");
    EXPECT_EQ(jwt.Payload().iat, iat);
    EXPECT_EQ(jwt.Algorithms().ES().PrivateKey().Text(), key);
    EXPECT_EQ(jwt.RefreshTokenAfter(), 2400);
    EXPECT_EQ(Client().Authentication().Token().JWT(), &JWTClient());
    EXPECT_EQ(Client().TLSOptions().CertFile(), "");
    EXPECT_EQ(Client().TLSOptions().Password(), "kept");
    EXPECT_EQ(Client().TLSOptions().IOHandler(), TwsTLSIOHandler::iohSChannel);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Push Notification sent successfully."});
  }
}

TEST_F(PushWindowTest, PushesReuseTheTokenAndACertificatePushWithoutTopicKeepsTheTopicLine) {
  InstallSigner();
  UseTokenAuthentication("com.example.app");
  Push();
  Push();
  ASSERT_EQ(Sent.size(), 2u);
  EXPECT_EQ(Signings.size(), 1u);  // cached for RefreshTokenAfter seconds
  EXPECT_EQ(Sent[1].CustomHeaders, Sent[0].CustomHeaders);
  const std::vector<std::string> tokenLines = Sent[1].CustomHeaders;

  // Certificate mode with an empty topic keeps the topic line of the token
  // push, but not its bearer line.
  ASSERT_EQ(tokenLines.size(), 2u);
  EXPECT_EQ(tokenLines[1].rfind("Authorization: Bearer ", 0), 0u);
  QTest::mouseClick(Window->optAuthenticationCertificate, Qt::LeftButton);
  Window->txtAPNS_TOPIC->clear();
  Push();
  ASSERT_EQ(Sent.size(), 3u);
  EXPECT_EQ(Sent[2].CustomHeaders, std::vector<std::string>{"apns-topic: com.example.app"});
  EXPECT_EQ(Sent[2].BearerToken, "");
  EXPECT_EQ(Connects.size(), 1u);
  EXPECT_EQ(LogLines().size(), 3u);
}

TEST_F(PushWindowTest, TokenModeWithAKeyTheSignerCannotUseSendsNothingAndLogsAnEmptyEntry) {
  UseTokenAuthentication("com.example.app");
  // A PEM file, but a public key: signing fails with "Unable to load private key".
  Window->txtPrivateKey->setText(QString::fromStdString(
      std::string(APNS_BINARY_DIR) + "/fixtures/AuthKey_TEST123456.pub.pem"));
  Push();
  EXPECT_TRUE(Sent.empty());
  EXPECT_EQ(LogLines(), std::vector<std::string>{""});
  EXPECT_TRUE(Errors.empty());
  EXPECT_EQ(JWTClient().JWTOptions().Header().alg, TkfxHTTP_JWT_Algorithm::jwtES256);
  // The failed request gave up its connection; the next push connects again.
  Push();
  EXPECT_EQ(Connects.size(), 2u);
}

TEST_F(PushWindowTest, LogShowsSuccessForStatus200AndOtherwiseTheAnswerBody) {
  struct TCase {
    int Status;
    std::vector<std::string> Headers;
    std::string Body, Logged;
  };
  const TCase cases[] = {
      {200, {}, "", "Push Notification sent successfully."},
      {200, {}, R"({"ignored":true})", "Push Notification sent successfully."},
      {400, {}, R"({"reason":"BadDeviceToken"})", R"({"reason":"BadDeviceToken"})"},
      {403,
       {"content-type=application/json"},
       R"({"reason":"InvalidProviderToken"})",
       R"({"reason":"InvalidProviderToken"})"},
      {410,
       {"content-type=application/json; charset=utf-8"},
       "{\"reason\":\"Unregistered\",\"note\":\"\xc3\xa9\"}",
       "{\"reason\":\"Unregistered\",\"note\":\"\xc3\xa9\"}"},
      {500, {}, "", ""},
  };
  std::vector<std::string> expected;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Status);
    AnswerStatus = c.Status;
    AnswerHeaders = c.Headers;
    AnswerBody = c.Body;
    Push();
    expected.push_back(c.Logged);
    EXPECT_EQ(LogLines(), expected);
  }
  EXPECT_TRUE(Errors.empty());
}

TEST_F(PushWindowTest, MissingPrivateKeyFileShowsTheErrorAndSendsAndLogsNothing) {
  UseTokenAuthentication("com.example.app");
  const std::string missing = "no-such-folder/AuthKey_MISSING.p8";
  Window->txtPrivateKey->setText(QString::fromStdString(missing));
  Push();
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].rfind("Cannot open file \"", 0), 0u) << Errors[0];
  EXPECT_NE(Errors[0].find(missing), std::string::npos) << Errors[0];
  EXPECT_TRUE(LogLines().empty());
  EXPECT_TRUE(Connects.empty());
  EXPECT_TRUE(Sent.empty());
  // The window goes on working.
  QTest::mouseClick(Window->optAuthenticationCertificate, Qt::LeftButton);
  Push();
  EXPECT_EQ(LogLines(), std::vector<std::string>{"Push Notification sent successfully."});
}

TEST_F(PushWindowTest, FailedConnectLogsTheExceptionThenShowsCannotConnect) {
  ConnectError = "Socket Error # 10061\r\nConnection refused.";
  Push();
  const std::vector<std::string> logged{"#exception: Socket Error # 10061", "Connection refused."};
  ASSERT_EQ(Errors, std::vector<std::string>{"Cannot connect to server."});
  EXPECT_EQ(LogAtError[0], logged);  // the exception line came first
  EXPECT_EQ(LogLines(), logged);     // and no outcome line followed
  EXPECT_TRUE(Sent.empty());
  EXPECT_EQ(Client().Response(), nullptr);

  ConnectError.reset();
  Push();
  EXPECT_EQ(LogLines().back(), "Push Notification sent successfully.");
}

// --- the application ---

TEST_F(PushWindowTest, CallsQueuedByOtherThreadsRunOnTheGUIThreadAndErrorsAreReported) {
  const std::thread::id gui = std::this_thread::get_id();
  std::thread::id ranOn;
  bool after = false;
  std::thread worker([&] {
    QueueOnMain([&] { ranOn = std::this_thread::get_id(); });
    QueueOnMain([] { throw Exception("queued failure"); });
    QueueOnMain([&] { after = true; });
  });
  worker.join();
  EXPECT_TRUE(WaitFor([&] { return after; }));
  EXPECT_EQ(ranOn, gui);
  EXPECT_EQ(Errors, std::vector<std::string>{"queued failure"});
}

// Without a network transport the client reports a failed connect the way it
// reports one to an unreachable server: the exception event, then the raise.
TEST(PushClientTest, PostWithoutAServerRaisesCannotConnectAfterTheExceptionEvent) {
  TComponent owner(nullptr);
  auto* client = new TkfxHTTP2Client(&owner);
  std::vector<std::string> events;
  client->OnHTTP2Exception = [&](TObject* Sender, TkfxHTTP2ConnectionClient* Connection,
                                 Exception* E) {
    EXPECT_EQ(Sender, client);
    EXPECT_EQ(Connection, nullptr);
    events.push_back(E->Message());
  };
  TMemoryStream body;
  try {
    client->Post("https://127.0.0.1:1/3/device/abc", &body);
    ADD_FAILURE() << "Post returned";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot connect to server.");
  }
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].empty());
  EXPECT_EQ(client->Host(), "127.0.0.1");
  EXPECT_EQ(client->Port(), 1);
  EXPECT_FALSE(client->Active());
  EXPECT_EQ(client->Response(), nullptr);
}

}  // namespace
