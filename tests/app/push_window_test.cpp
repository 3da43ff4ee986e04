// The push window driven like an operator drives it: fill the fields, click
// the button, read the log. The pushes go over the real client to apns-mock
// on loopback, whose request log shows what the window sent, byte for byte.
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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "app/Application.h"
#include "app/FApplePushNotifications.h"
#include "base/IdException.h"
#include "base/kfxBase_Helpers.h"
#include "rtl/DateTime.h"
#include "rtl/MainThread.h"
#include "tests/support/apns_mock_harness.h"
#include "tls/kfxSSL_SChannel.h"
#include "tests/support/wait.h"

namespace {

using apns_test::ApnsMock;
using apns_test::FixturePath;
using apns_test::JsonMember;
using apns_test::ReadFile;

const std::string kKeyFile = std::string(APNS_BINARY_DIR) + "/fixtures/AuthKey_TEST123456.p8";
const std::string kDevelopment = "https://api.sandbox.push.apple.com";
const std::string kProduction = "https://api.push.apple.com";
// A device token apns-mock accepts, and one it reports as unregistered.
const std::string kDevice = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kGoneDevice = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";
const std::string kSuccess = "Push Notification sent successfully.";

TApplication& Application() {
  return *static_cast<TApplication*>(QCoreApplication::instance());
}

// Runs the event loop until aDone() holds (bounded).
bool WaitFor(const std::function<bool()>& aDone,
             std::chrono::milliseconds aBound = apns_test::kWaitBound) {
  return apns_test::WaitUntil(aDone, aBound,
                              [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
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

// The JSON strings of a text such as [["a","b"],["c","d"]], in order. The
// mock escapes quotes, backslashes and control characters only.
std::vector<std::string> JsonStrings(const std::string& aJson) {
  std::vector<std::string> strings;
  for (size_t i = 0; i < aJson.size(); ++i) {
    if (aJson[i] != '"') continue;
    std::string text;
    for (++i; i < aJson.size() && aJson[i] != '"'; ++i) {
      if (aJson[i] != '\\') {
        text += aJson[i];
      } else if (aJson[++i] == 'u') {
        text += static_cast<char>(std::stoi(aJson.substr(i + 1, 4), nullptr, 16));
        i += 4;
      } else {
        text += aJson[i];
      }
    }
    strings.push_back(text);
  }
  return strings;
}

// One request as apns-mock logged it.
struct TLoggedRequest {
  explicit TLoggedRequest(const std::string& aLine) : Line(aLine) {
    const std::vector<std::string> strings = JsonStrings(JsonMember(aLine, "headers"));
    for (size_t i = 0; i + 1 < strings.size(); i += 2) Headers.emplace_back(strings[i], strings[i + 1]);
    const std::vector<std::string> body = JsonStrings(JsonMember(aLine, "body_hex"));
    const std::string hex = body.empty() ? std::string() : body[0];
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      Body += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  // The value of the only field aName; "<absent>" or "<repeated>" otherwise.
  std::string Header(const std::string& aName) const {
    std::string value = "<absent>";
    for (const auto& [name, text] : Headers)
      if (name == aName) value = value == "<absent>" ? text : "<repeated>";
    return value;
  }
  bool Has(const std::string& aName) const { return Header(aName) != "<absent>"; }
  std::string Member(const std::string& aName) const { return JsonMember(Line, aName); }

  std::string Line;
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
};

class PushWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Provider tokens outlive windows: each test starts without any.
    TkfxHTTP2_ProviderTokens::Process().Clear();
    Application().SetExceptionReporter([this](const std::string& aMessage) {
      Errors.push_back(aMessage);
      LogAtError.push_back(LogLines());
    });
    Window = std::make_unique<TFRMApplePushNotifications>();
    Window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
  }

  void TearDown() override {
    Window.reset();
    Application().SetExceptionReporter([](const std::string& aMessage) {
      ADD_FAILURE() << "error box after a test: " << aMessage;
    });
  }

  TkfxHTTP2Client& Client() { return *Window->kfxHTTP2Client1; }
  TkfxHTTP_JWT_Client& JWTClient() { return *Window->kfxHTTP_JWT_Client1; }

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
};

// The window pointed at apns-mock: the development choice at
// https://127.0.0.1:PORT, the production choice at https://localhost:PORT
// (another host text, so switching servers makes a new connection). The
// SChannel layer trusts the test CA through a Root store in a temporary
// configuration folder.
class PushWindowMockTest : public PushWindowTest {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) OldConfigHome = old;
    setenv("XDG_CONFIG_HOME", ConfigHome.path().c_str(), 1);
    const std::filesystem::path root = ConfigHome.path() / "apns-provider/certstores/CurrentUser/Root";
    std::filesystem::create_directories(root);
    std::filesystem::copy_file(FixturePath("ca.crt"), root / "ca.crt");
    UnloadSChannel();  // its stores open again in this folder
    StartMock();
    PushWindowTest::SetUp();
    PointWindowAtMock();
    Window->txtDeviceToken->setText(QString::fromStdString(kDevice));
  }

  void TearDown() override {
    PushWindowTest::TearDown();
    if (OldConfigHome)
      setenv("XDG_CONFIG_HOME", OldConfigHome->c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
    UnloadSChannel();
  }

  void StartMock(const std::vector<std::string>& aMore = {}) {
    std::vector<std::string> options = ApnsMock::BothAuthModes();
    for (const std::string& option : {std::string("--log-bodies"), std::string("--unregistered"),
                                      kGoneDevice + ":1700000000000"})
      options.push_back(option);
    options.insert(options.end(), aMore.begin(), aMore.end());
    Mock.emplace(options);
  }

  void PointWindowAtMock() {
    const std::string port = std::to_string(Mock->port());
    Window->DevelopmentServer = "https://127.0.0.1:" + port;
    Window->ProductionServer = "https://localhost:" + port;
  }

  void UseCertificateAuthentication(const std::string& aTopic) {
    QTest::mouseClick(Window->optAuthenticationCertificate, Qt::LeftButton);
    Window->txtCertificate->setText(QString::fromStdString(FixturePath("client.p12")));
    Window->txtCertificatePassword->setText("secret");
    Window->txtAPNS_TOPIC->setText(QString::fromStdString(aTopic));
  }

  void UseTokenAuthentication(const std::string& aTopic) {
    QTest::mouseClick(Window->optAuthenticationTokenBased, Qt::LeftButton);
    Window->txtPrivateKey->setText(QString::fromStdString(kKeyFile));
    Window->txtAppleKeyId->setText("TEST123456");
    Window->txtIssuerKey->setText("TEAM123456");
    Window->txtAPNS_TOPIC->setText(QString::fromStdString(aTopic));
  }

  void Push() { QTest::mouseClick(Window->btnPushNotification, Qt::LeftButton); }

  // The requests the mock has logged so far.
  std::vector<TLoggedRequest> Requests() const {
    std::vector<TLoggedRequest> requests;
    for (const std::string& line : Mock->LogLines()) requests.emplace_back(line);
    return requests;
  }

  // The last request the mock has logged; an empty one (and a failure) when none.
  TLoggedRequest LastRequest() const {
    const std::vector<TLoggedRequest> requests = Requests();
    if (requests.empty()) {
      ADD_FAILURE() << "the mock has logged no request";
      return TLoggedRequest("{}");
    }
    return requests.back();
  }

  apns_test::TempDir ConfigHome;
  std::optional<std::string> OldConfigHome;
  std::optional<ApnsMock> Mock;
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

// --- the push action, against apns-mock ---

TEST_F(PushWindowMockTest, RequestURLIsTheChosenServerAndTheDeviceTokenAsTyped) {
  struct TCase {
    bool Production;
    std::string DeviceToken;
    std::string Authority, Path, Logged;
  };
  const std::string port = std::to_string(Mock->port());
  const TCase cases[] = {
      {false, kDevice, "127.0.0.1", "/3/device/" + kDevice, kSuccess},
      {true, kDevice, "localhost", "/3/device/" + kDevice, kSuccess},
      {false, "", "127.0.0.1", "/3/device/", R"({"reason":"BadDeviceToken"})"},
      {true, "%s%d", "localhost", "/3/device/%s%d", R"({"reason":"BadDeviceToken"})"},
  };
  UseCertificateAuthentication("com.example.app");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Path);
    QTest::mouseClick(
        c.Production ? Window->optAppleProductionServer : Window->optAppleDevelopmentServer,
        Qt::LeftButton);
    Window->txtDeviceToken->clear();
    QTest::keyClicks(Window->txtDeviceToken, QString::fromStdString(c.DeviceToken));
    const size_t before = Requests().size();
    Push();
    const std::vector<TLoggedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), before + 1);
    const TLoggedRequest& sent = requests.back();
    EXPECT_EQ(sent.Header(":method"), "POST");
    EXPECT_EQ(sent.Header(":scheme"), "https");
    EXPECT_EQ(sent.Header(":path"), c.Path);
    EXPECT_EQ(sent.Header(":authority"), c.Authority + ":" + port) << sent.Line;
    EXPECT_EQ(sent.Header("user-agent"), "Mozilla/5.0 (kfxWebSockets 4.4.9)");
    EXPECT_EQ(LogLines().back(), c.Logged);
  }
  // One connection per server: each switch connects anew, pushes to the
  // same server reuse the connection.
  Push();
  std::vector<std::string> connections;
  for (const TLoggedRequest& request : Requests()) connections.push_back(request.Member("conn"));
  EXPECT_EQ(connections, (std::vector<std::string>{"1", "2", "3", "4", "4"}));
  EXPECT_TRUE(Errors.empty());
}

TEST_F(PushWindowMockTest, PayloadIsSentWithCRLFBetweenItsLinesByteForByte) {
  const std::pair<QString, std::string> cases[] = {
      {QStringLiteral(R"({"aps":{"alert":"Alert from kfxWebSockets!"}})"),
       R"({"aps":{"alert":"Alert from kfxWebSockets!"}})"},
      {QStringLiteral("{\n  \"aps\": {\"alert\": \"Gr\u00fc\u00dfe\"}\n}"),
       "{\r\n  \"aps\": {\"alert\": \"Gr\xc3\xbc\xc3\x9f"
       "e\"}\r\n}"},
      {QStringLiteral("line\n\nafter an empty line\n"), "line\r\n\r\nafter an empty line\r\n"},
      {QString(), ""},
  };
  UseCertificateAuthentication("com.example.app");
  for (const auto& [memo, body] : cases) {
    SCOPED_TRACE(body);
    Window->memoJSONPayload->setPlainText(memo);
    Push();
    const TLoggedRequest sent = LastRequest();
    EXPECT_EQ(sent.Body, body);
    EXPECT_EQ(sent.Member("body_length"), std::to_string(body.size()));
    EXPECT_EQ(sent.Header("content-length"), std::to_string(body.size()));
  }
  EXPECT_EQ(Requests().size(), std::size(cases));
  // The mock refuses an empty payload.
  EXPECT_EQ(LogLines(), (std::vector<std::string>{kSuccess, kSuccess, kSuccess,
                                                  R"({"reason":"PayloadEmpty"})"}));
}

TEST_F(PushWindowMockTest, CertificateModePresentsTheClientCertificateAndSetsATopicOnlyWhenOneIsGiven) {
  struct TCase {
    const char* Topic;
    std::string TopicHeader, Logged;
  };
  const TCase cases[] = {
      {"com.example.app", "com.example.app", kSuccess},
      // Without a topic the custom lines stay as they were.
      {"", "<absent>", R"({"reason":"MissingTopic"})"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Topic);
    Client().Request().CustomHeaders.Clear();
    Client().Request().CustomHeaders.Add("x-left-over: 1");
    Client().TLSOptions().SetIOHandler(TwsTLSIOHandler::iohOpenSSL);
    Client().Authentication().Token().SetJWT(&JWTClient());
    UseCertificateAuthentication(c.Topic);
    Push();
    const TLoggedRequest sent = LastRequest();
    EXPECT_EQ(sent.Member("auth"), "\"certificate\"");
    EXPECT_FALSE(sent.Has("authorization"));
    EXPECT_EQ(sent.Header("apns-topic"), c.TopicHeader);
    EXPECT_EQ(sent.Header("x-left-over"), c.TopicHeader == "<absent>" ? "1" : "<absent>");
    EXPECT_EQ(LogLines().back(), c.Logged);
    EXPECT_EQ(Client().TLSOptions().IOHandler(), TwsTLSIOHandler::iohSChannel);
    EXPECT_EQ(Client().TLSOptions().CertFile(), FixturePath("client.p12"));
    EXPECT_EQ(Client().TLSOptions().Password(), "secret");
    EXPECT_EQ(Client().Authentication().Token().JWT(), nullptr);
  }
  EXPECT_TRUE(Errors.empty());
}

TEST_F(PushWindowMockTest, TokenModeSignsAnES256TokenAndAlwaysSetsTheTopicLine) {
  const std::string key = ReadFile(kKeyFile);
  ASSERT_FALSE(key.empty());
  struct TCase {
    const char* Topic;
    std::string Logged;
  };
  // An empty apns-topic value is sent, and refused by the mock.
  const TCase cases[] = {{"com.example.app", kSuccess}, {"", R"({"reason":"MissingTopic"})"}};
  // Each case signs a token of its own, which the server takes at once.
  StartMock({"--token-update-interval", "0"});
  PointWindowAtMock();
  std::vector<std::string> tokens;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Topic);
    Client().SetActive(false);
    TkfxHTTP2_ProviderTokens::Process().Clear();  // the token of the case before is kept otherwise
    Window->memoLog->clear();
    Client().Request().CustomHeaders.Add("x-left-over: 1");
    Client().TLSOptions().SetCertFile("client.p12");
    Client().TLSOptions().SetPassword("kept");
    UseTokenAuthentication(c.Topic);
    const int64_t before = DateTimeToUnix(NowUTC());
    Push();
    const int64_t after = DateTimeToUnix(NowUTC());
    EXPECT_EQ(LogLines(), std::vector<std::string>{c.Logged});

    const TLoggedRequest sent = LastRequest();
    EXPECT_EQ(sent.Member("auth"), "\"token\"");
    EXPECT_EQ(sent.Header("apns-topic"), c.Topic);
    EXPECT_FALSE(sent.Has("x-left-over"));
    const std::string authorization = sent.Header("authorization");
    ASSERT_EQ(authorization.rfind("Bearer ", 0), 0u) << authorization;
    const std::string token = authorization.substr(7);
    tokens.push_back(token);
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
    // An ES256 signature is r||s, 64 octets.
    EXPECT_EQ(Base64URLDecode(parts[2]).size(), 64u);

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
  }
  EXPECT_TRUE(Errors.empty());
}

TEST_F(PushWindowMockTest, TwoPushesShareConnectionAndTokenAndACertificatePushSendsNoAuthorization) {
  UseTokenAuthentication("com.example.app");
  Push();
  Push();
  std::vector<TLoggedRequest> sent = Requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].Member("conn"), sent[1].Member("conn"));
  EXPECT_NE(sent[0].Member("token_hash"), "null");
  EXPECT_EQ(sent[0].Member("token_hash"), sent[1].Member("token_hash"));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{kSuccess, kSuccess}));
  // The token went on the requests sent, not into the shared header lines.
  EXPECT_EQ(Client().Request().CustomHeaders.Lines(),
            std::vector<std::string>{"apns-topic: com.example.app"});

  // Certificate mode with an empty topic keeps the topic line of the token
  // push, but no authorization goes out. The client makes a new connection
  // for the changed certificate settings, which presents the certificate.
  QTest::mouseClick(Window->optAuthenticationCertificate, Qt::LeftButton);
  Window->txtCertificate->setText(QString::fromStdString(FixturePath("client.p12")));
  Window->txtCertificatePassword->setText("secret");
  Window->txtAPNS_TOPIC->clear();
  Push();
  sent = Requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_FALSE(sent[2].Has("authorization"));
  EXPECT_EQ(sent[2].Member("token_hash"), "null");
  EXPECT_EQ(sent[2].Header("apns-topic"), "com.example.app");
  EXPECT_EQ(sent[2].Member("auth"), "\"certificate\"");
  EXPECT_NE(sent[2].Member("conn"), sent[0].Member("conn"));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{kSuccess, kSuccess, kSuccess}));
  EXPECT_TRUE(Errors.empty());
}

TEST_F(PushWindowMockTest, TokenModeWithAKeyTheSignerCannotUseSendsNothingAndLogsAnEmptyEntry) {
  UseTokenAuthentication("com.example.app");
  // A PEM file, but a public key: signing fails with "Unable to load private key".
  Window->txtPrivateKey->setText(QString::fromStdString(FixturePath("AuthKey_TEST123456.pub.pem")));
  Push();
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(LogLines(), std::vector<std::string>{""});
  EXPECT_TRUE(Errors.empty());
  EXPECT_EQ(JWTClient().JWTOptions().Header().alg, TkfxHTTP_JWT_Algorithm::jwtES256);
  // The failed request gave up its connection; the next push connects again.
  UseCertificateAuthentication("com.example.app");
  Push();
  ASSERT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Requests()[0].Member("conn"), "2");
  EXPECT_EQ(LogLines().back(), kSuccess);
}

TEST_F(PushWindowMockTest, LogShowsSuccessForStatus200AndOtherwiseTheAnswerBody) {
  struct TCase {
    bool Token;
    std::string DeviceToken, KeyId, Logged;
  };
  const TCase cases[] = {
      {false, kDevice, "", kSuccess},
      {false, "a1b2c3", "", R"({"reason":"BadDeviceToken"})"},
      {false, kGoneDevice, "", R"({"reason":"Unregistered","timestamp":1700000000000})"},
      {true, kDevice, "TEST123456", kSuccess},
      // A token the mock cannot verify: the key id is not the one it knows.
      {true, kDevice, "OTHER12345", R"({"reason":"InvalidProviderToken"})"},
  };
  std::vector<std::string> expected;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Logged);
    if (c.Token) {
      Client().SetActive(false);
      UseTokenAuthentication("com.example.app");
      Window->txtAppleKeyId->setText(QString::fromStdString(c.KeyId));
    } else {
      UseCertificateAuthentication("com.example.app");
    }
    Window->txtDeviceToken->setText(QString::fromStdString(c.DeviceToken));
    Push();
    expected.push_back(c.Logged);
    EXPECT_EQ(LogLines(), expected);
  }
  EXPECT_EQ(Requests().size(), std::size(cases));
  EXPECT_TRUE(Errors.empty());
}

TEST_F(PushWindowMockTest, MissingPrivateKeyFileShowsTheErrorAndSendsAndLogsNothing) {
  UseTokenAuthentication("com.example.app");
  const std::string missing = "no-such-folder/AuthKey_MISSING.p8";
  Window->txtPrivateKey->setText(QString::fromStdString(missing));
  Push();
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].rfind("Cannot open file \"", 0), 0u) << Errors[0];
  EXPECT_NE(Errors[0].find(missing), std::string::npos) << Errors[0];
  EXPECT_TRUE(LogLines().empty());
  EXPECT_FALSE(Client().Active());
  EXPECT_TRUE(Requests().empty());
  // The window goes on working.
  UseCertificateAuthentication("com.example.app");
  Push();
  EXPECT_EQ(LogLines(), std::vector<std::string>{kSuccess});
}

TEST_F(PushWindowMockTest, ServerDownLogsTheExceptionThenShowsCannotConnect) {
  // Nothing listens on the mock's port once it has stopped.
  EXPECT_EQ(Mock->Stop(), 0);
  UseCertificateAuthentication("com.example.app");
  Push();
  const std::vector<std::string> logged{"#exception: Socket Error # 10061", "Connection refused."};
  ASSERT_EQ(Errors, std::vector<std::string>{"Cannot connect to server."});
  EXPECT_EQ(LogAtError[0], logged);  // the exception line came first
  EXPECT_EQ(LogLines(), logged);     // and no outcome line followed
  EXPECT_EQ(Client().Response(), nullptr);

  // A server that is up again is reached by the next push.
  StartMock();
  PointWindowAtMock();
  Push();
  EXPECT_EQ(LogLines().back(), kSuccess);
  EXPECT_EQ(Requests().size(), 1u);
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

// --- the program ---

TEST(PushProgram, ServerOptionTakesSchemeHostAndPortOnly) {
  const std::pair<const char*, const char*> good[] = {
      {"https://127.0.0.1:2197", "https://127.0.0.1:2197"},
      {"https://localhost:8443/", "https://localhost:8443"},
      {"https://api.sandbox.push.apple.com", "https://api.sandbox.push.apple.com"},
  };
  for (const auto& [url, base] : good) EXPECT_EQ(CheckServerURL(url), base);
  for (const char* bad : {"", "127.0.0.1:2197", "https://", "https://host:", "https://host:0",
                          "https://host:65536", "https://host:80x", "https://host/3/device",
                          "https://ho st", "://host"}) {
    try {
      CheckServerURL(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("Not a server URL (scheme://host[:port]): ") + bad);
    }
  }
  // The program refuses a bad --server and any other argument before it opens a window.
  const auto bad = apns_test::RunCommand({APNS_PROVIDER_PATH, "-platform", "offscreen", "--server", "x"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.err.find("apns-provider: --server: Not a server URL (scheme://host[:port]): x"),
            std::string::npos)
      << bad.err;
  const auto other = apns_test::RunCommand({APNS_PROVIDER_PATH, "-platform", "offscreen", "--serve"});
  EXPECT_EQ(other.exit_code, 2);
  EXPECT_NE(other.err.find("unexpected argument \"--serve\""), std::string::npos) << other.err;
}

// A connect that fails (nothing listens on port 1) is reported through the
// exception event, then raised.
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
