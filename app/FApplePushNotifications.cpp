#include "app/FApplePushNotifications.h"

#include <QApplication>
#include <algorithm>
#include <cctype>
#include <QFile>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

#include "app/Application.h"
#include "base/kfxBase_Helpers.h"
#include "rtl/Streams.h"

namespace {

constexpr const char* kDescriptionResource = ":/app/FApplePushNotifications.desc";

// 8 pt at 96 dpi is 11 pixels. Tahoma where the system has it, otherwise the
// closest installed relative: the condensed cut of DejaVu Sans, then DejaVu Sans.
QFont WindowFont() {
  QFont font = QApplication::font();
  for (const char* family : {"Tahoma", "DejaVu Sans Condensed", "DejaVu Sans"}) {
    if (QFontDatabase::hasFamily(QString::fromLatin1(family))) {
      font.setFamily(QString::fromLatin1(family));
      break;
    }
  }
  font.setPixelSize(11);
  return font;
}

QFont BoldFont(QFont aFont) {
  aFont.setBold(true);
  return aFont;
}

std::string Text(const QLineEdit* aEdit) {
  return aEdit->text().toStdString();
}

// The memo's lines separated by CR LF, as a memo holds them.
std::string MemoText(const QPlainTextEdit* aMemo) {
  return aMemo->toPlainText().replace(QLatin1Char('\n'), QLatin1String("\r\n")).toStdString();
}

QLineEdit* NewEdit(QWidget* aParent, const char* aName, const char* aText = "",
                   bool aMasked = false) {
  auto* edit = new QLineEdit(QString::fromUtf8(aText), aParent);
  edit->setObjectName(QString::fromLatin1(aName));
  if (aMasked) {
    edit->setEchoMode(QLineEdit::Password);
    edit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
  }
  return edit;
}

QLabel* NewLabel(QWidget* aParent, const char* aName, const char* aCaption,
                 QWidget* aBuddy = nullptr) {
  auto* label = new QLabel(QString::fromUtf8(aCaption), aParent);
  label->setObjectName(QString::fromLatin1(aName));
  if (aBuddy) label->setBuddy(aBuddy);
  return label;
}

QRadioButton* NewRadio(QWidget* aParent, const char* aName, const char* aCaption, bool aChecked) {
  auto* radio = new QRadioButton(QString::fromUtf8(aCaption), aParent);
  radio->setObjectName(QString::fromLatin1(aName));
  radio->setChecked(aChecked);
  return radio;
}

// A panel placed with its margins around it.
QLayout* WithMargins(QWidget* aPanel, int aLeft, int aTop, int aRight, int aBottom) {
  auto* layout = new QVBoxLayout;
  layout->setContentsMargins(aLeft, aTop, aRight, aBottom);
  layout->addWidget(aPanel);
  return layout;
}

bool IsHostText(const std::string& aText) {
  return !aText.empty() && std::all_of(aText.begin(), aText.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
  });
}

std::string ReadDescription() {
  QFile file(QString::fromLatin1(kDescriptionResource));
  if (!file.open(QIODevice::ReadOnly))
    throw EFOpenError(std::string("Cannot open the window description ") + kDescriptionResource);
  return file.readAll().toStdString();
}

}  // namespace

std::string CheckServerURL(const std::string& aURL) {
  std::string url = aURL;
  if (!url.empty() && url.back() == '/') url.pop_back();
  const size_t scheme = url.find("://");
  bool valid = scheme != std::string::npos && scheme > 0 &&
               std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(scheme),
                           [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; });
  if (valid) {
    const std::string authority = url.substr(scheme + 3);
    const size_t colon = authority.find(':');
    valid = IsHostText(authority.substr(0, colon));
    if (valid && colon != std::string::npos) {
      const std::string port = authority.substr(colon + 1);
      valid = !port.empty() && port.size() <= 5 &&
              std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
              std::stoi(port) >= 1 && std::stoi(port) <= 65535;
    }
  }
  if (!valid) throw EConvertError("Not a server URL (scheme://host[:port]): " + aURL);
  return url;
}

TFRMApplePushNotifications::TFRMApplePushNotifications(QWidget* aParent)
    : QWidget(aParent), TComponent(nullptr) {
  SetName("FRMApplePushNotifications");
  CreateControls();
  CreateComponents();
}

// The component base goes before the widget base: the components are freed
// while the controls still exist.
TFRMApplePushNotifications::~TFRMApplePushNotifications() = default;

void TFRMApplePushNotifications::CreateControls() {
  setObjectName(QStringLiteral("FRMApplePushNotifications"));
  setWindowTitle(QStringLiteral("kfxWebSockets - Apple Push Notifications Provider Server"));
  setFont(WindowFont());
  const QFont bold = BoldFont(font());

  // 1. servers and authentication
  pnlServers = new QWidget(this);
  pnlServers->setObjectName(QStringLiteral("pnlServers"));
  pnlServers->setFixedHeight(161);

  grpAppleServers = new QGroupBox(QStringLiteral("Apple Servers"), pnlServers);
  grpAppleServers->setObjectName(QStringLiteral("grpAppleServers"));
  grpAppleServers->setFixedSize(269, 148);
  optAppleDevelopmentServer =
      NewRadio(grpAppleServers, "optAppleDevelopmentServer", "Apple Development Server", true);
  optAppleProductionServer =
      NewRadio(grpAppleServers, "optAppleProductionServer", "Apple Production Server", false);
  auto* servers = new QVBoxLayout(grpAppleServers);
  servers->setContentsMargins(14, 10, 14, 10);
  servers->setSpacing(10);
  servers->addWidget(optAppleDevelopmentServer, 0, Qt::AlignLeft);
  servers->addWidget(optAppleProductionServer, 0, Qt::AlignLeft);
  servers->addStretch();

  grpAuthentication = new QGroupBox(QStringLiteral("Authentication"), pnlServers);
  grpAuthentication->setObjectName(QStringLiteral("grpAuthentication"));
  grpAuthentication->setFixedHeight(148);
  grpAuthentication->setMinimumWidth(380);
  grpAuthentication->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  QWidget* auth = grpAuthentication;
  optAuthenticationCertificate =
      NewRadio(auth, "optAuthenticationCertificate", "Certificate", true);
  optAuthenticationTokenBased = NewRadio(auth, "optAuthenticationTokenBased", "Token Based", false);
  txtCertificate = NewEdit(auth, "txtCertificate", "certificate.p12");
  txtCertificatePassword = NewEdit(auth, "txtCertificatePassword", "", true);
  txtPrivateKey = NewEdit(auth, "txtPrivateKey", "AuthKey_*****.p8");
  txtAppleKeyId = NewEdit(auth, "txtAppleKeyId", "", true);
  txtIssuerKey = NewEdit(auth, "txtIssuerKey");
  txtAPNS_TOPIC = NewEdit(auth, "txtAPNS_TOPIC");
  auto* grid = new QGridLayout(auth);
  grid->setContentsMargins(10, 0, 10, 4);
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(0);
  grid->addWidget(optAuthenticationCertificate, 0, 0, Qt::AlignLeft);
  grid->addWidget(optAuthenticationTokenBased, 0, 1, 1, 2, Qt::AlignLeft);
  grid->addWidget(NewLabel(auth, "lblCertificate", "Certificate FileName", txtCertificate), 1, 0);
  grid->addWidget(NewLabel(auth, "lblPrivateKey", "Private Key FileName", txtPrivateKey), 1, 1, 1,
                  2);
  grid->addWidget(txtCertificate, 2, 0);
  grid->addWidget(txtPrivateKey, 2, 1, 1, 2);
  grid->addWidget(
      NewLabel(auth, "lblCertificatePassword", "Certificate Password", txtCertificatePassword), 3,
      0);
  grid->addWidget(NewLabel(auth, "lblAppleKeyId", "Key Id", txtAppleKeyId), 3, 1);
  grid->addWidget(NewLabel(auth, "lblIssuerKey", "Issuer Key", txtIssuerKey), 3, 2);
  grid->addWidget(txtCertificatePassword, 4, 0);
  grid->addWidget(txtAppleKeyId, 4, 1);
  grid->addWidget(txtIssuerKey, 4, 2);
  auto* topic = new QHBoxLayout;
  topic->setContentsMargins(0, 3, 0, 0);
  topic->setSpacing(6);
  topic->addWidget(NewLabel(auth, "lblAPNS_TOPIC", "apns-topic", txtAPNS_TOPIC));
  topic->addWidget(txtAPNS_TOPIC, 1);
  grid->addLayout(topic, 5, 0, 1, 3);
  grid->setColumnStretch(0, 2);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(2, 1);

  auto* serversRow = new QHBoxLayout(pnlServers);
  serversRow->setContentsMargins(12, 6, 11, 7);
  serversRow->setSpacing(12);
  serversRow->addWidget(grpAppleServers);
  serversRow->addWidget(grpAuthentication, 1);

  // 2. configuration
  pnlConfiguration = new QWidget(this);
  pnlConfiguration->setObjectName(QStringLiteral("pnlConfiguration"));
  pnlConfiguration->setFixedHeight(186);
  lblConfiguration =
      NewLabel(pnlConfiguration, "lblConfiguration", "Push Notification Configuration");
  lblConfiguration->setFont(bold);
  txtDeviceToken = NewEdit(pnlConfiguration, "txtDeviceToken", "", true);
  memoJSONPayload = new QPlainTextEdit(
      QStringLiteral(R"({"aps":{"alert":"Alert from kfxWebSockets!"}})"), pnlConfiguration);
  memoJSONPayload->setObjectName(QStringLiteral("memoJSONPayload"));
  auto* configuration = new QVBoxLayout(pnlConfiguration);
  configuration->setContentsMargins(12, 6, 9, 4);
  configuration->setSpacing(1);
  configuration->addWidget(lblConfiguration);
  configuration->addSpacing(6);
  configuration->addWidget(
      NewLabel(pnlConfiguration, "lblDeviceToken", "Device Token", txtDeviceToken));
  configuration->addWidget(txtDeviceToken);
  configuration->addSpacing(6);
  configuration->addWidget(
      NewLabel(pnlConfiguration, "lblJSONPayload", "JSON Payload", memoJSONPayload));
  configuration->addWidget(memoJSONPayload, 1);

  // 3. log
  pnlLog = new QWidget(this);
  pnlLog->setObjectName(QStringLiteral("pnlLog"));
  lblLog = NewLabel(pnlLog, "lblLog", "Log Server Responses");
  lblLog->setFont(bold);
  lblLog->move(25, 10);
  lblLog->adjustSize();
  memoLog = new QPlainTextEdit(pnlLog);
  memoLog->setObjectName(QStringLiteral("memoLog"));
  memoLog->setMinimumHeight(60);
  auto* log = new QVBoxLayout(pnlLog);
  log->setContentsMargins(25, 30, 20, 10);
  log->addWidget(memoLog);

  // 4. bottom
  pnlBottom = new QWidget(this);
  pnlBottom->setObjectName(QStringLiteral("pnlBottom"));
  pnlBottom->setFixedHeight(41);
  btnPushNotification = new QPushButton(QStringLiteral("Push Notification"), pnlBottom);
  btnPushNotification->setObjectName(QStringLiteral("btnPushNotification"));
  btnPushNotification->setFixedSize(130, 25);
  auto* bottom = new QHBoxLayout(pnlBottom);
  bottom->setContentsMargins(0, 0, 12, 0);
  bottom->addStretch();
  bottom->addWidget(btnPushNotification);

  // The panels, each with a 3-pixel margin; the configuration panel keeps 10 on the right.
  auto* panels = new QVBoxLayout(this);
  panels->setContentsMargins(0, 0, 0, 0);
  panels->setSpacing(0);
  panels->addLayout(WithMargins(pnlServers, 3, 3, 3, 3));
  panels->addLayout(WithMargins(pnlConfiguration, 3, 3, 10, 3));
  panels->addLayout(WithMargins(pnlLog, 3, 3, 3, 3), 1);
  panels->addLayout(WithMargins(pnlBottom, 3, 3, 3, 3));

  QWidget* const tabOrder[] = {optAppleDevelopmentServer,
                               optAppleProductionServer,
                               optAuthenticationCertificate,
                               optAuthenticationTokenBased,
                               txtCertificate,
                               txtCertificatePassword,
                               txtPrivateKey,
                               txtAppleKeyId,
                               txtIssuerKey,
                               txtAPNS_TOPIC,
                               txtDeviceToken,
                               memoJSONPayload,
                               memoLog,
                               btnPushNotification};
  for (size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

  connect(btnPushNotification, &QPushButton::clicked, this,
          [this] { RunEventHandler([this] { btnPushNotificationClick(btnPushNotification); }); });

  resize(690, 729);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TFRMApplePushNotifications::CreateComponents() {
  kfxHTTP2Client1 = new TkfxHTTP2Client(this);
  kfxHTTP2Client1->SetName("kfxHTTP2Client1");
  kfxHTTP_JWT_Client1 = new TkfxHTTP_JWT_Client(this);
  kfxHTTP_JWT_Client1->SetName("kfxHTTP_JWT_Client1");
  ReadComponentDescription(this, ReadDescription());
}

std::any TFRMApplePushNotifications::MethodAddress(const std::string& aName) {
  if (SameText(aName, "kfxHTTP2Client1HTTP2Exception"))
    return TkfxHTTP2ClientExceptionEvent(
        [this](TObject* Sender, TkfxHTTP2ConnectionClient* Connection, Exception* E) {
          kfxHTTP2Client1HTTP2Exception(Sender, Connection, E);
        });
  return TComponent::MethodAddress(aName);
}

void TFRMApplePushNotifications::btnPushNotificationClick(QObject*) {
  const std::string server =
      optAppleDevelopmentServer->isChecked() ? DevelopmentServer : ProductionServer;
  // The device token goes in exactly as typed.
  const std::string url = APNsDeviceURL(server, Text(txtDeviceToken));

  TMemoryStream body;
  const std::string payload = MemoText(memoJSONPayload);
  body.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));
  body.SetPosition(0);

  TkfxHTTP2Client& client = *kfxHTTP2Client1;
  client.TLSOptions().SetIOHandler(TwsTLSIOHandler::iohSChannel);
  TkfxAPNsHeaders headers;
  headers.Topic = Text(txtAPNS_TOPIC);
  if (optAuthenticationCertificate->isChecked()) {
    UseAPNsCertificate(client, Text(txtCertificate), Text(txtCertificatePassword));
    // Without a topic the lines stay as they were. The client puts bearer
    // tokens only on the copy of the request it sends, so no token-mode line
    // is left among them.
    if (!headers.Topic.empty()) SetAPNsHeaders(client, headers);
  } else {
    UseAPNsToken(client, *kfxHTTP_JWT_Client1, Text(txtPrivateKey), Text(txtAppleKeyId),
                 Text(txtIssuerKey));
    // Also an empty topic is sent, as an empty apns-topic line.
    SetAPNsHeaders(client, headers);
  }

  const std::string answer = client.Post(url, &body);
  TkfxHTTP2Response* response = client.Response();
  if (response && response->Status() == 200)
    AddLogLine("Push Notification sent successfully.");
  else
    AddLogLine(answer);
}

void TFRMApplePushNotifications::kfxHTTP2Client1HTTP2Exception(TObject*, TkfxHTTP2ConnectionClient*,
                                                               Exception* E) {
  AddLogLine("#exception: " + E->Message());
}

void TFRMApplePushNotifications::AddLogLine(const std::string& aText) {
  QString text = QString::fromStdString(aText);
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"))
      .replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QTextCursor cursor(memoLog->document());
  cursor.movePosition(QTextCursor::End);
  // Like adding a line to a memo: a line of its own, ended by a line break.
  if (!cursor.block().text().isEmpty()) cursor.insertText(QStringLiteral("\n"));
  cursor.insertText(text + QLatin1Char('\n'));
  memoLog->verticalScrollBar()->setValue(memoLog->verticalScrollBar()->maximum());
}
