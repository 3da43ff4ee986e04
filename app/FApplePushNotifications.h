// The push window: the operator picks the APNs server and the kind of
// authentication, enters device token, apns-topic and payload, and pushes.
// The window is also the root component that owns the HTTP/2 client and the
// JWT client; their settings come from the window's stored description.
#pragma once

#include <QWidget>
#include <any>
#include <string>

#include "apns/kfxAPNs_Setup.h"
#include "http2/client/kfxHTTP.h"
#include "rtl/Classes.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

// aURL as the base of push URLs: "scheme://host" with an optional ":port"
// and nothing after it (one trailing "/" is dropped). Raises EConvertError
// "Not a server URL (scheme://host[:port]): ..." for anything else.
std::string CheckServerURL(const std::string& aURL);

class TFRMApplePushNotifications : public QWidget, public TComponent {
  Q_OBJECT

 public:
  // Builds the controls, creates the two components and loads their stored
  // settings. A description that cannot be read raises.
  explicit TFRMApplePushNotifications(QWidget* aParent = nullptr);
  ~TFRMApplePushNotifications() override;

  // Offers the window's event handlers to the stored description.
  std::any MethodAddress(const std::string& aName) override;

  // The push action, bound to the button.
  void btnPushNotificationClick(QObject* Sender);
  // Handler of kfxHTTP2Client1's OnHTTP2Exception.
  void kfxHTTP2Client1HTTP2Exception(TObject* Sender, TkfxHTTP2ConnectionClient* Connection,
                                     Exception* E);

  // Panels, from top to bottom.
  QWidget* pnlServers;
  QWidget* pnlConfiguration;
  QWidget* pnlLog;
  QWidget* pnlBottom;

  QGroupBox* grpAppleServers;
  QRadioButton* optAppleDevelopmentServer;
  QRadioButton* optAppleProductionServer;

  QGroupBox* grpAuthentication;
  QRadioButton* optAuthenticationCertificate;
  QRadioButton* optAuthenticationTokenBased;
  QLineEdit* txtCertificate;
  QLineEdit* txtCertificatePassword;
  QLineEdit* txtPrivateKey;
  QLineEdit* txtAppleKeyId;
  QLineEdit* txtIssuerKey;
  QLineEdit* txtAPNS_TOPIC;

  QLabel* lblConfiguration;
  QLineEdit* txtDeviceToken;
  QPlainTextEdit* memoJSONPayload;

  QLabel* lblLog;
  QPlainTextEdit* memoLog;

  QPushButton* btnPushNotification;

  // Owned through the component tree.
  TkfxHTTP2Client* kfxHTTP2Client1;
  TkfxHTTP_JWT_Client* kfxHTTP_JWT_Client1;

  // The bases the two server choices push to: the APNs endpoints unless the
  // program was pointed at another server (a local test server).
  std::string DevelopmentServer = kAPNsDevelopmentServer;
  std::string ProductionServer = kAPNsProductionServer;

 private:
  void CreateControls();
  void CreateComponents();
  // Appends one entry to the log as a line of its own.
  void AddLogLine(const std::string& aText);
};
