// Socket-level option objects of the socket components: TLS (with its OpenSSL
// and SChannel sub-options), proxy, heartbeat, throttle, log file and TCP
// keep-alive. Each is a persistent object that a component publishes and
// copies with Assign; the TCP-level subclasses live in kfxTCP_Classes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "rtl/Classes.h"
#include "rtl/PersistentFields.h"
#include "rtl/StringList.h"
#include "tls/kfxSocket_Classes_TLS.h"
#include "transport/IdGlobal.h"

extern const std::vector<std::string> IdIPVersionNames;

enum class TwsProxy { pxyHTTP, pxySocks4, pxySocks4A, pxySocks5 };

// The value names of each enumeration, in ordinal order (stored descriptions use them).
extern const std::vector<std::string> TLSIOHandlerNames;
extern const std::vector<std::string> TLSVersionNames;
extern const std::vector<std::string> OpenSSLAPINames;
extern const std::vector<std::string> OpenSSLLibPathNames;
extern const std::vector<std::string> SChannelCertStoreNameNames;
extern const std::vector<std::string> SChannelCertStorePathNames;
extern const std::vector<std::string> ProxyNames;

// Seconds as milliseconds, saturated at the limits of a 32-bit integer.
int SecondsToMS(int aSeconds);

// Settings of the OpenSSL library binding; they act process-wide when a
// TLS handler is created.
class TkfxSocketOpenSSL_Options : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  // The generation of the OpenSSL interface to bind. The default, 1.0, also
  // works with a 1.1 or later library (the OpenSSL 3 of current systems),
  // which the binding then binds with the 1.1 entry points; a real 1.0
  // library is bound as 1.0 (GetOpenSSLBoundAPIVersion).
  TwsOpenSSLAPI APIVersion() const { return FAPIVersion; }
  void SetAPIVersion(TwsOpenSSLAPI aValue) { FAPIVersion = aValue; }
  TwsOpenSSLLibPath LibPath() const { return FLibPath; }
  void SetLibPath(TwsOpenSSLLibPath aValue) { FLibPath = aValue; }

 private:
  static const TPersistentFields<TkfxSocketOpenSSL_Options>& Fields();
  TwsOpenSSLAPI FAPIVersion = TwsOpenSSLAPI::oslAPI_1_0;
  TwsOpenSSLLibPath FLibPath = TwsOpenSSLLibPath::oslpNone;
};

class TkfxOpenSSLClient_Options : public TkfxSocketOpenSSL_Options {};

// Client certificate selection from a system store and the cipher list of
// the SChannel handler.
class TkfxSocketSChannel_Options : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  const std::string& CertHash() const { return FCertHash; }
  void SetCertHash(const std::string& aValue) { FCertHash = aValue; }
  TkfxSChannelCertStoreName CertStoreName() const { return FCertStoreName; }
  void SetCertStoreName(TkfxSChannelCertStoreName aValue) { FCertStoreName = aValue; }
  TkfxSChannelCertStorePath CertStorePath() const { return FCertStorePath; }
  void SetCertStorePath(TkfxSChannelCertStorePath aValue) { FCertStorePath = aValue; }
  // Colon-separated algorithm names.
  const std::string& CipherList() const { return FCipherList; }
  void SetCipherList(const std::string& aValue) { FCipherList = aValue; }

 private:
  static const TPersistentFields<TkfxSocketSChannel_Options>& Fields();
  std::string FCertHash;
  TkfxSChannelCertStoreName FCertStoreName = TkfxSChannelCertStoreName::scsnMY;
  TkfxSChannelCertStorePath FCertStorePath = TkfxSChannelCertStorePath::scspStoreCurrentUser;
  std::string FCipherList;
};

class TkfxSChannelClient_Options : public TkfxSocketSChannel_Options {};

// Certificate, key and verification settings shared by every TLS handler.
class TkfxSocketTLS_Options_Base : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  // Client certificate: a PKCS#12 file (".p12"/".pfx") with Password, for
  // either TLS implementation; for OpenSSL also a PEM certificate.
  const std::string& CertFile() const { return FCertFile; }
  void SetCertFile(const std::string& aValue) { FCertFile = aValue; }
  // The PEM key of a PEM CertFile (OpenSSL only); not needed with PKCS#12.
  const std::string& KeyFile() const { return FKeyFile; }
  void SetKeyFile(const std::string& aValue) { FKeyFile = aValue; }
  // Of the key (OpenSSL) or of the PKCS#12 file (SChannel).
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& aValue) { FPassword = aValue; }
  // Root certificates (PEM) trusted in addition to the system's trust store
  // when the server is verified, by either handler.
  const std::string& RootCertFile() const { return FRootCertFile; }
  void SetRootCertFile(const std::string& aValue) { FRootCertFile = aValue; }
  bool VerifyCertificate() const { return FVerifyCertificate; }
  void SetVerifyCertificate(bool aValue) { FVerifyCertificate = aValue; }
  // Stored and copied; no handler reads it.
  int VerifyDepth() const { return FVerifyDepth; }
  void SetVerifyDepth(int aValue) { FVerifyDepth = aValue; }
  TwsTLSVersions Version() const { return FVersion; }
  void SetVersion(TwsTLSVersions aValue) { FVersion = aValue; }

 private:
  static const TPersistentFields<TkfxSocketTLS_Options_Base>& Fields();
  std::string FCertFile;
  std::string FKeyFile;
  std::string FPassword;
  std::string FRootCertFile;
  bool FVerifyCertificate = false;
  int FVerifyDepth = 0;
  TwsTLSVersions FVersion = TwsTLSVersions::tlsUndefined;
};

// Adds the choice of TLS implementation, the ALPN offer and the
// implementation-specific sub-options, all owned.
class TkfxSocketTLS_Options : public TkfxSocketTLS_Options_Base {
 public:
  TkfxSocketTLS_Options();
  ~TkfxSocketTLS_Options() override;

  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  TwsTLSIOHandler IOHandler() const { return FIOHandler; }
  void SetIOHandler(TwsTLSIOHandler aValue) { FIOHandler = aValue; }
  // Protocols offered by ALPN, in order.
  TStringList& ALPNProtocols() { return *FALPNProtocols; }
  const TStringList& ALPNProtocols() const { return *FALPNProtocols; }
  void SetALPNProtocols(const TStringList& aValue) { FALPNProtocols->Assign(&aValue); }
  TkfxOpenSSLClient_Options& OpenSSL_Options() { return *FOpenSSL_Options; }
  const TkfxOpenSSLClient_Options& OpenSSL_Options() const { return *FOpenSSL_Options; }
  void SetOpenSSL_Options(const TkfxOpenSSLClient_Options& aValue) {
    FOpenSSL_Options->Assign(&aValue);
  }
  TkfxSChannelClient_Options& SChannel_Options() { return *FSChannel_Options; }
  const TkfxSChannelClient_Options& SChannel_Options() const { return *FSChannel_Options; }
  void SetSChannel_Options(const TkfxSChannelClient_Options& aValue) {
    FSChannel_Options->Assign(&aValue);
  }

 private:
  static const TPersistentFields<TkfxSocketTLS_Options>& Fields();
  TwsTLSIOHandler FIOHandler = TwsTLSIOHandler::iohOpenSSL;
  std::unique_ptr<TStringList> FALPNProtocols;
  std::unique_ptr<TkfxOpenSSLClient_Options> FOpenSSL_Options;
  std::unique_ptr<TkfxSChannelClient_Options> FSChannel_Options;
};

class TkfxSocketProxy_Options : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& aValue) { FHost = aValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& aValue) { FPassword = aValue; }
  int Port() const { return FPort; }
  void SetPort(int aValue) { FPort = aValue; }
  TwsProxy ProxyType() const { return FProxyType; }
  void SetProxyType(TwsProxy aValue) { FProxyType = aValue; }
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& aValue) { FUsername = aValue; }

 private:
  static const TPersistentFields<TkfxSocketProxy_Options>& Fields();
  bool FEnabled = false;
  std::string FHost;
  std::string FPassword;
  int FPort = 0;
  TwsProxy FProxyType = TwsProxy::pxyHTTP;
  std::string FUsername;
};

class TkfxSocketHeartBeat_Options : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  // Seconds between two beats.
  int Interval() const { return FInterval; }
  void SetInterval(int aValue) { FInterval = aValue; }
  // Interval in milliseconds, saturated at the 32-bit range (no overflow).
  int IntervalMS() const { return SecondsToMS(FInterval); }

 private:
  static const TPersistentFields<TkfxSocketHeartBeat_Options>& Fields();
  bool FEnabled = false;
  int FInterval = 60;
};

class TkfxSocketThrottle : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  // 0 does not throttle.
  int BitsPerSec() const { return FBitsPerSec; }
  void SetBitsPerSec(int aValue) { FBitsPerSec = aValue; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }

 private:
  static const TPersistentFields<TkfxSocketThrottle>& Fields();
  int FBitsPerSec = 0;
  bool FEnabled = false;
};

class TkfxSocketLogFile : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& aValue) { FFileName = aValue; }

 private:
  static const TPersistentFields<TkfxSocketLogFile>& Fields();
  bool FEnabled = false;
  std::string FFileName;
};

// The owning component gives the defaults; this class sets none.
class TkfxSocketKeepAlive : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  // Milliseconds between probes.
  int Interval() const { return FInterval; }
  void SetInterval(int aValue) { FInterval = aValue; }
  // Milliseconds of silence before the first probe.
  int Time() const { return FTime; }
  void SetTime(int aValue) { FTime = aValue; }

 private:
  static const TPersistentFields<TkfxSocketKeepAlive>& Fields();
  bool FEnabled = false;
  int FInterval = 0;
  int FTime = 0;
};
