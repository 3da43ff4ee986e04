#include "tcp/kfxSocket_Classes.h"

#include <climits>

const std::vector<std::string> IdIPVersionNames{"Id_IPv4", "Id_IPv6"};
const std::vector<std::string> TLSIOHandlerNames{"iohOpenSSL", "iohSChannel"};
const std::vector<std::string> TLSVersionNames{"tlsUndefined", "tls1_0", "tls1_1", "tls1_2",
                                               "tls1_3"};
const std::vector<std::string> OpenSSLAPINames{"oslAPI_1_0", "oslAPI_1_1"};
const std::vector<std::string> OpenSSLLibPathNames{"oslpNone", "oslpDefaultFolder"};
const std::vector<std::string> SChannelCertStoreNameNames{"scsnMY", "scsnRoot", "scsnTrust",
                                                          "scsnCA"};
const std::vector<std::string> SChannelCertStorePathNames{"scspStoreCurrentUser",
                                                          "scspStoreLocalMachine"};
const std::vector<std::string> ProxyNames{"pxyHTTP", "pxySocks4", "pxySocks4A", "pxySocks5"};

TPublishedProperty PublishInt32(std::string aName, std::function<int()> aGet,
                                std::function<void(int)> aSet) {
  const std::string name = aName;
  return PublishInteger(
      std::move(aName), [aGet] { return int64_t{aGet()}; },
      [aSet, name](int64_t aValue) {
        if (aValue < INT_MIN || aValue > INT_MAX)
          throw EConvertError("Value out of range for " + name);
        aSet(static_cast<int>(aValue));
      });
}

// --- OpenSSL ---

void TkfxSocketOpenSSL_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketOpenSSL_Options*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FAPIVersion = other->FAPIVersion;
  FLibPath = other->FLibPath;
}

void TkfxSocketOpenSSL_Options::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishEnum<TwsOpenSSLAPI>(
      "APIVersion", OpenSSLAPINames, [this] { return FAPIVersion; },
      [this](TwsOpenSSLAPI v) { FAPIVersion = v; }));
  aList.push_back(PublishEnum<TwsOpenSSLLibPath>(
      "LibPath", OpenSSLLibPathNames, [this] { return FLibPath; },
      [this](TwsOpenSSLLibPath v) { FLibPath = v; }));
}

// --- SChannel ---

void TkfxSocketSChannel_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketSChannel_Options*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FCertHash = other->FCertHash;
  FCertStoreName = other->FCertStoreName;
  FCertStorePath = other->FCertStorePath;
  FCipherList = other->FCipherList;
}

void TkfxSocketSChannel_Options::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishString(
      "CertHash", [this] { return FCertHash; }, [this](const std::string& v) { FCertHash = v; }));
  aList.push_back(PublishEnum<TkfxSChannelCertStoreName>(
      "CertStoreName", SChannelCertStoreNameNames, [this] { return FCertStoreName; },
      [this](TkfxSChannelCertStoreName v) { FCertStoreName = v; }));
  aList.push_back(PublishEnum<TkfxSChannelCertStorePath>(
      "CertStorePath", SChannelCertStorePathNames, [this] { return FCertStorePath; },
      [this](TkfxSChannelCertStorePath v) { FCertStorePath = v; }));
  aList.push_back(PublishString(
      "CipherList", [this] { return FCipherList; },
      [this](const std::string& v) { FCipherList = v; }));
}

// --- TLS ---

void TkfxSocketTLS_Options_Base::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketTLS_Options_Base*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FCertFile = other->FCertFile;
  FKeyFile = other->FKeyFile;
  FPassword = other->FPassword;
  FRootCertFile = other->FRootCertFile;
  FVersion = other->FVersion;
  FVerifyCertificate = other->FVerifyCertificate;
  FVerifyDepth = other->FVerifyDepth;
}

void TkfxSocketTLS_Options_Base::GetPublishedProperties(TPublishedProperties& aList) {
  auto text = [&](const char* aName, std::string& aField) {
    aList.push_back(PublishString(
        aName, [&aField] { return aField; }, [&aField](const std::string& v) { aField = v; }));
  };
  text("CertFile", FCertFile);
  text("KeyFile", FKeyFile);
  text("Password", FPassword);
  text("RootCertFile", FRootCertFile);
  aList.push_back(PublishBoolean(
      "VerifyCertificate", [this] { return FVerifyCertificate; },
      [this](bool v) { FVerifyCertificate = v; }));
  aList.push_back(PublishInt32(
      "VerifyDepth", [this] { return FVerifyDepth; }, [this](int v) { FVerifyDepth = v; }));
  aList.push_back(PublishEnum<TwsTLSVersions>(
      "Version", TLSVersionNames, [this] { return FVersion; },
      [this](TwsTLSVersions v) { FVersion = v; }));
}

TkfxSocketTLS_Options::TkfxSocketTLS_Options()
    : FALPNProtocols(std::make_unique<TStringList>()),
      FOpenSSL_Options(std::make_unique<TkfxOpenSSLClient_Options>()),
      FSChannel_Options(std::make_unique<TkfxSChannelClient_Options>()) {}

TkfxSocketTLS_Options::~TkfxSocketTLS_Options() = default;

// A full copy: the root fields and the SChannel sub-options go along with the
// handler choice, the ALPN list and the OpenSSL sub-options.
void TkfxSocketTLS_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketTLS_Options*>(Source);
  if (!other) return TkfxSocketTLS_Options_Base::Assign(Source);
  TkfxSocketTLS_Options_Base::Assign(Source);
  FIOHandler = other->FIOHandler;
  FALPNProtocols->Assign(other->FALPNProtocols.get());
  FOpenSSL_Options->Assign(other->FOpenSSL_Options.get());
  FSChannel_Options->Assign(other->FSChannel_Options.get());
}

void TkfxSocketTLS_Options::GetPublishedProperties(TPublishedProperties& aList) {
  TkfxSocketTLS_Options_Base::GetPublishedProperties(aList);
  aList.push_back(PublishObject("ALPNProtocols", [this] { return FALPNProtocols.get(); }));
  aList.push_back(PublishEnum<TwsTLSIOHandler>(
      "IOHandler", TLSIOHandlerNames, [this] { return FIOHandler; },
      [this](TwsTLSIOHandler v) { FIOHandler = v; }));
  aList.push_back(PublishObject("OpenSSL_Options", [this] { return FOpenSSL_Options.get(); }));
  aList.push_back(PublishObject("SChannel_Options", [this] { return FSChannel_Options.get(); }));
}

// --- proxy ---

void TkfxSocketProxy_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketProxy_Options*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FEnabled = other->FEnabled;
  FHost = other->FHost;
  FPort = other->FPort;
  FUsername = other->FUsername;
  FPassword = other->FPassword;
  FProxyType = other->FProxyType;
}

void TkfxSocketProxy_Options::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishBoolean(
      "Enabled", [this] { return FEnabled; }, [this](bool v) { FEnabled = v; }));
  aList.push_back(PublishString(
      "Host", [this] { return FHost; }, [this](const std::string& v) { FHost = v; }));
  aList.push_back(PublishString(
      "Password", [this] { return FPassword; }, [this](const std::string& v) { FPassword = v; }));
  aList.push_back(PublishInt32(
      "Port", [this] { return FPort; }, [this](int v) { FPort = v; }));
  aList.push_back(PublishEnum<TwsProxy>(
      "ProxyType", ProxyNames, [this] { return FProxyType; },
      [this](TwsProxy v) { FProxyType = v; }));
  aList.push_back(PublishString(
      "Username", [this] { return FUsername; }, [this](const std::string& v) { FUsername = v; }));
}

// --- heartbeat ---

void TkfxSocketHeartBeat_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketHeartBeat_Options*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FEnabled = other->FEnabled;
  FInterval = other->FInterval;
}

void TkfxSocketHeartBeat_Options::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishBoolean(
      "Enabled", [this] { return FEnabled; }, [this](bool v) { FEnabled = v; }));
  aList.push_back(PublishInt32(
      "Interval", [this] { return FInterval; }, [this](int v) { FInterval = v; }));
}

// --- throttle ---

void TkfxSocketThrottle::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketThrottle*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FEnabled = other->FEnabled;
  FBitsPerSec = other->FBitsPerSec;
}

void TkfxSocketThrottle::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishInt32(
      "BitsPerSec", [this] { return FBitsPerSec; }, [this](int v) { FBitsPerSec = v; }));
  aList.push_back(PublishBoolean(
      "Enabled", [this] { return FEnabled; }, [this](bool v) { FEnabled = v; }));
}

// --- log file ---

void TkfxSocketLogFile::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketLogFile*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FEnabled = other->FEnabled;
  FFileName = other->FFileName;
}

void TkfxSocketLogFile::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishBoolean(
      "Enabled", [this] { return FEnabled; }, [this](bool v) { FEnabled = v; }));
  aList.push_back(PublishString(
      "FileName", [this] { return FFileName; }, [this](const std::string& v) { FFileName = v; }));
}

// --- keep-alive ---

void TkfxSocketKeepAlive::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketKeepAlive*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FEnabled = other->FEnabled;
  FInterval = other->FInterval;
  FTime = other->FTime;
}

void TkfxSocketKeepAlive::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishBoolean(
      "Enabled", [this] { return FEnabled; }, [this](bool v) { FEnabled = v; }));
  aList.push_back(PublishInt32(
      "Interval", [this] { return FInterval; }, [this](int v) { FInterval = v; }));
  aList.push_back(PublishInt32(
      "Time", [this] { return FTime; }, [this](int v) { FTime = v; }));
}
