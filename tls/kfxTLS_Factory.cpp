#include "tls/kfxTLS_Factory.h"

#include <array>

#include "base/kfxBase_Helpers.h"
#include "rtl/StringList.h"
#include "tls/kfxIdSSLOpenSSL.h"
#include "tls/kfxIdSSLOpenSSLHeaders.h"
#include "tls/kfxSSL_SChannel_Id.h"
#include "tls/kfxTCP_Client_OpenSSL.h"

namespace {

void SetALPN(TStringList& aList, const std::vector<std::string>& aProtocols) {
  aList.Clear();
  for (const std::string& protocol : aProtocols) aList.Add(protocol);
}

std::unique_ptr<TIdSSLIOHandlerSocketBase> NewSChannelHandler(const TkfxTLSSettings& aSettings) {
  auto handler = std::make_unique<TkfxIdSSLIOHandlerSocketSChannel>();
  handler->SetTLSVersion(aSettings.Version);
  TkfxSChannelCertificate& certificate = handler->Certificate();
  certificate.SetVerifyCertificate(aSettings.VerifyCertificate);
  certificate.SetCertHash(aSettings.SChannel.CertHash);
  certificate.SetCertStorePath(aSettings.SChannel.CertStorePath);
  certificate.SetCertStoreName(aSettings.SChannel.CertStoreName);
  handler->SetCipherList(aSettings.SChannel.CipherList);
  SetALPN(handler->ALPNProtocols(), aSettings.ALPNProtocols);
  // Always read as PKCS#12; a KeyFile has no meaning here.
  certificate.SetCertFile(aSettings.CertFile);
  certificate.SetCertFilePassword(aSettings.Password);
  // Trusted besides the system store, as the OpenSSL handler trusts it.
  certificate.SetRootCertFile(aSettings.RootCertFile);
  return handler;
}

std::unique_ptr<TIdSSLIOHandlerSocketBase> NewOpenSSLHandler(const TkfxTLSSettings& aSettings) {
  // Process-wide settings of the OpenSSL binding.
  SetOpenSSLAPIVersion(aSettings.OpenSSL.APIVersion);
  if (aSettings.OpenSSL.LibPath == TwsOpenSSLLibPath::oslpDefaultFolder)
    IdOpenSSLSetLibPath(ExecutableFolder());
  auto handler = std::make_unique<TkfxIdSSLIOHandlerSocketOpenSSL>();
  TIdSSLOptions& ssl = handler->SSLOptions();
  switch (aSettings.Version) {
    case TwsTLSVersions::tls1_0: ssl.SetMethod(TIdSSLVersion::sslvTLSv1); break;
    case TwsTLSVersions::tls1_1: ssl.SetMethod(TIdSSLVersion::sslvTLSv1_1); break;
    case TwsTLSVersions::tls1_2: ssl.SetMethod(TIdSSLVersion::sslvTLSv1_2); break;
    case TwsTLSVersions::tls1_3: ssl.SetMethod(TIdSSLVersion::sslvTLSv1_3); break;
    case TwsTLSVersions::tlsUndefined: break;
  }
  SetALPN(handler->ALPNProtocols(), aSettings.ALPNProtocols);
  ssl.Mode = TIdSSLMode::sslmClient;
  ssl.RootCertFile = aSettings.RootCertFile;
  ssl.CertFile = aSettings.CertFile;
  // A PKCS#12 file holds the key beside the certificate: given alone, as the
  // SChannel back end takes it, it is read for both.
  ssl.KeyFile = aSettings.KeyFile.empty() && IsPKCS12File(aSettings.CertFile) ? aSettings.CertFile
                                                                               : aSettings.KeyFile;
  ssl.VerifyMode = aSettings.VerifyCertificate ? TIdSSLVerifyModeSet{TIdSSLVerifyMode::sslvrfPeer}
                                               : TIdSSLVerifyModeSet{};
  if (aSettings.OnGetPassword)
    handler->OnGetPassword = aSettings.OnGetPassword;
  else
    handler->OnGetPassword = [password = aSettings.Password](std::string& Password) { Password = password; };
  return handler;
}

constexpr std::array<TkfxTLSBackEnd, 2> kBackEnds{{
    {TwsTLSIOHandler::iohOpenSSL, NewOpenSSLHandler},
    {TwsTLSIOHandler::iohSChannel, NewSChannelHandler},
}};

}  // namespace

std::span<const TkfxTLSBackEnd> TLSBackEnds() { return kBackEnds; }

std::unique_ptr<TIdSSLIOHandlerSocketBase> NewTLSHandler(TwsTLSIOHandler aIOHandler,
                                                         const TkfxTLSSettings& aSettings) {
  for (const TkfxTLSBackEnd& backEnd : kBackEnds)
    if (backEnd.IOHandler == aIOHandler) return backEnd.NewHandler(aSettings);
  throw EArgumentException("No TLS back end " + std::to_string(static_cast<int>(aIOHandler)) + ".");
}
