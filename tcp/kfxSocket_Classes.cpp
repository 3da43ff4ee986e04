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

// Each class's fields are listed once, in published order; Assign and the
// published properties both come from that list.

// --- OpenSSL ---

const TPersistentFields<TkfxSocketOpenSSL_Options>& TkfxSocketOpenSSL_Options::Fields() {
  using C = TkfxSocketOpenSSL_Options;
  static const auto fields = TPersistentFields<C>()
                                 .Enum("APIVersion", OpenSSLAPINames, &C::FAPIVersion)
                                 .Enum("LibPath", OpenSSLLibPathNames, &C::FLibPath);
  return fields;
}

void TkfxSocketOpenSSL_Options::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxSocketOpenSSL_Options::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

// --- SChannel ---

const TPersistentFields<TkfxSocketSChannel_Options>& TkfxSocketSChannel_Options::Fields() {
  using C = TkfxSocketSChannel_Options;
  static const auto fields = TPersistentFields<C>()
                                 .Field("CertHash", &C::FCertHash)
                                 .Enum("CertStoreName", SChannelCertStoreNameNames, &C::FCertStoreName)
                                 .Enum("CertStorePath", SChannelCertStorePathNames, &C::FCertStorePath)
                                 .Field("CipherList", &C::FCipherList);
  return fields;
}

void TkfxSocketSChannel_Options::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxSocketSChannel_Options::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

// --- TLS ---

const TPersistentFields<TkfxSocketTLS_Options_Base>& TkfxSocketTLS_Options_Base::Fields() {
  using C = TkfxSocketTLS_Options_Base;
  static const auto fields = TPersistentFields<C>()
                                 .Field("CertFile", &C::FCertFile)
                                 .Field("KeyFile", &C::FKeyFile)
                                 .Field("Password", &C::FPassword)
                                 .Field("RootCertFile", &C::FRootCertFile)
                                 .Field("VerifyCertificate", &C::FVerifyCertificate)
                                 .Field("VerifyDepth", &C::FVerifyDepth)
                                 .Enum("Version", TLSVersionNames, &C::FVersion);
  return fields;
}

void TkfxSocketTLS_Options_Base::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxSocketTLS_Options_Base::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

TkfxSocketTLS_Options::TkfxSocketTLS_Options()
    : FALPNProtocols(std::make_unique<TStringList>()),
      FOpenSSL_Options(std::make_unique<TkfxOpenSSLClient_Options>()),
      FSChannel_Options(std::make_unique<TkfxSChannelClient_Options>()) {}

TkfxSocketTLS_Options::~TkfxSocketTLS_Options() = default;

// A full copy: the root fields and the SChannel sub-options go along with the
// handler choice, the ALPN list and the OpenSSL sub-options.
const TPersistentFields<TkfxSocketTLS_Options>& TkfxSocketTLS_Options::Fields() {
  using C = TkfxSocketTLS_Options;
  static const auto fields = TPersistentFields<C>()
                                 .Object("ALPNProtocols", &C::FALPNProtocols)
                                 .Enum("IOHandler", TLSIOHandlerNames, &C::FIOHandler)
                                 .Object("OpenSSL_Options", &C::FOpenSSL_Options)
                                 .Object("SChannel_Options", &C::FSChannel_Options);
  return fields;
}

void TkfxSocketTLS_Options::Assign(const TPersistent* Source) {
  TkfxSocketTLS_Options_Base::Assign(Source);
  Fields().AssignFrom(*this, Source);
}

void TkfxSocketTLS_Options::GetPublishedProperties(TPublishedProperties& aList) {
  TkfxSocketTLS_Options_Base::GetPublishedProperties(aList);
  Fields().Publish(*this, aList);
}

// --- proxy ---

const TPersistentFields<TkfxSocketProxy_Options>& TkfxSocketProxy_Options::Fields() {
  using C = TkfxSocketProxy_Options;
  static const auto fields = TPersistentFields<C>()
                                 .Field("Enabled", &C::FEnabled)
                                 .Field("Host", &C::FHost)
                                 .Field("Password", &C::FPassword)
                                 .Field("Port", &C::FPort)
                                 .Enum("ProxyType", ProxyNames, &C::FProxyType)
                                 .Field("Username", &C::FUsername);
  return fields;
}

void TkfxSocketProxy_Options::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxSocketProxy_Options::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

// --- heartbeat ---

const TPersistentFields<TkfxSocketHeartBeat_Options>& TkfxSocketHeartBeat_Options::Fields() {
  using C = TkfxSocketHeartBeat_Options;
  static const auto fields = TPersistentFields<C>()
                                 .Field("Enabled", &C::FEnabled)
                                 .Field("Interval", &C::FInterval);
  return fields;
}

void TkfxSocketHeartBeat_Options::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxSocketHeartBeat_Options::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

// --- throttle ---

const TPersistentFields<TkfxSocketThrottle>& TkfxSocketThrottle::Fields() {
  using C = TkfxSocketThrottle;
  static const auto fields = TPersistentFields<C>()
                                 .Field("BitsPerSec", &C::FBitsPerSec)
                                 .Field("Enabled", &C::FEnabled);
  return fields;
}

void TkfxSocketThrottle::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxSocketThrottle::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

// --- log file ---

const TPersistentFields<TkfxSocketLogFile>& TkfxSocketLogFile::Fields() {
  using C = TkfxSocketLogFile;
  static const auto fields = TPersistentFields<C>()
                                 .Field("Enabled", &C::FEnabled)
                                 .Field("FileName", &C::FFileName);
  return fields;
}

void TkfxSocketLogFile::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxSocketLogFile::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

// --- keep-alive ---

const TPersistentFields<TkfxSocketKeepAlive>& TkfxSocketKeepAlive::Fields() {
  using C = TkfxSocketKeepAlive;
  static const auto fields = TPersistentFields<C>()
                                 .Field("Enabled", &C::FEnabled)
                                 .Field("Interval", &C::FInterval)
                                 .Field("Time", &C::FTime);
  return fields;
}

void TkfxSocketKeepAlive::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxSocketKeepAlive::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}
