#include "tcp/kfxSocket_Classes.h"

#include <climits>
#include <cstdint>

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

int SecondsToMS(int aSeconds) {
  const int64_t ms = int64_t{aSeconds} * 1000;
  if (ms > INT32_MAX) return INT32_MAX;
  if (ms < INT32_MIN) return INT32_MIN;
  return static_cast<int>(ms);
}

// --- OpenSSL ---

void TkfxSocketOpenSSL_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketOpenSSL_Options*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FAPIVersion = other->FAPIVersion;
  FLibPath = other->FLibPath;
}

void TkfxSocketOpenSSL_Options::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishEnumField("APIVersion", OpenSSLAPINames, FAPIVersion));
  aList.push_back(PublishEnumField("LibPath", OpenSSLLibPathNames, FLibPath));
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
  aList.push_back(PublishField("CertHash", FCertHash));
  aList.push_back(PublishEnumField("CertStoreName", SChannelCertStoreNameNames, FCertStoreName));
  aList.push_back(PublishEnumField("CertStorePath", SChannelCertStorePathNames, FCertStorePath));
  aList.push_back(PublishField("CipherList", FCipherList));
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
  aList.push_back(PublishField("VerifyCertificate", FVerifyCertificate));
  aList.push_back(PublishField("VerifyDepth", FVerifyDepth));
  aList.push_back(PublishEnumField("Version", TLSVersionNames, FVersion));
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
  aList.push_back(PublishEnumField("IOHandler", TLSIOHandlerNames, FIOHandler));
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
  aList.push_back(PublishField("Enabled", FEnabled));
  aList.push_back(PublishField("Host", FHost));
  aList.push_back(PublishField("Password", FPassword));
  aList.push_back(PublishField("Port", FPort));
  aList.push_back(PublishEnumField("ProxyType", ProxyNames, FProxyType));
  aList.push_back(PublishField("Username", FUsername));
}

// --- heartbeat ---

void TkfxSocketHeartBeat_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketHeartBeat_Options*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FEnabled = other->FEnabled;
  FInterval = other->FInterval;
}

void TkfxSocketHeartBeat_Options::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishField("Enabled", FEnabled));
  aList.push_back(PublishField("Interval", FInterval));
}

// --- throttle ---

void TkfxSocketThrottle::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketThrottle*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FEnabled = other->FEnabled;
  FBitsPerSec = other->FBitsPerSec;
}

void TkfxSocketThrottle::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishField("BitsPerSec", FBitsPerSec));
  aList.push_back(PublishField("Enabled", FEnabled));
}

// --- log file ---

void TkfxSocketLogFile::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxSocketLogFile*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FEnabled = other->FEnabled;
  FFileName = other->FFileName;
}

void TkfxSocketLogFile::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishField("Enabled", FEnabled));
  aList.push_back(PublishField("FileName", FFileName));
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
  aList.push_back(PublishField("Enabled", FEnabled));
  aList.push_back(PublishField("Interval", FInterval));
  aList.push_back(PublishField("Time", FTime));
}
