// The TLS back ends behind one table: each entry makes its I/O handler and
// maps the settings onto it itself, so a caller names a back end and hands
// over one set of settings, whichever back end it is.
//
// The settings are a plain struct: the option objects that publish them
// belong to the TCP client above this layer, which fills the struct from its
// TLSOptions at each activation (TLSSettingsFromOptions there).
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tls/IdSSL.h"
#include "tls/kfxSocket_Classes_TLS.h"

struct TkfxTLSSettings {
  // Protocol version to use; tlsUndefined leaves the handler's default.
  TwsTLSVersions Version = TwsTLSVersions::tlsUndefined;
  // Verify the server's certificate.
  bool VerifyCertificate = false;
  // Client certificate. A PKCS#12 file (".p12"/".pfx") with its Password
  // serves either back end alone; OpenSSL also takes a PEM certificate with
  // the PEM key in KeyFile.
  std::string CertFile;
  // Private key file (OpenSSL only); empty with a PKCS#12 CertFile: the key
  // is read from that file.
  std::string KeyFile;
  // Of the PKCS#12 file, or of the PEM key.
  std::string Password;
  // Root certificates (PEM) trusted in addition to the system's store.
  std::string RootCertFile;
  // Protocols offered by ALPN, in order.
  std::vector<std::string> ALPNProtocols;

  struct TSChannel {
    // SHA-1 thumbprint of a client certificate in a system store.
    std::string CertHash;
    TkfxSChannelCertStoreName CertStoreName = TkfxSChannelCertStoreName::scsnMY;
    TkfxSChannelCertStorePath CertStorePath = TkfxSChannelCertStorePath::scspStoreCurrentUser;
    // Colon-separated algorithm names.
    std::string CipherList;
  } SChannel;

  struct TOpenSSL {
    // Process-wide, set when a handler is made: the generation of the OpenSSL
    // interface to bind, and whether the libraries come from the
    // executable's folder.
    TwsOpenSSLAPI APIVersion = TwsOpenSSLAPI::oslAPI_1_0;
    TwsOpenSSLLibPath LibPath = TwsOpenSSLLibPath::oslpNone;
  } OpenSSL;

  // Asked by the OpenSSL handler whenever it needs the password; empty:
  // Password is the answer. The callee must outlive the handler.
  std::function<void(std::string& Password)> OnGetPassword;
};

struct TkfxTLSBackEnd {
  TwsTLSIOHandler IOHandler;
  // A new handler of this back end configured from aSettings, owned by the
  // caller; PassThrough is still true, as every handler starts.
  std::unique_ptr<TIdSSLIOHandlerSocketBase> (*NewHandler)(const TkfxTLSSettings& aSettings);
};

// Every back end, one entry per TwsTLSIOHandler value in ordinal order.
std::span<const TkfxTLSBackEnd> TLSBackEnds();

// The handler of aIOHandler's back end made from aSettings. A value outside
// the enumeration raises EArgumentException.
std::unique_ptr<TIdSSLIOHandlerSocketBase> NewTLSHandler(TwsTLSIOHandler aIOHandler,
                                                         const TkfxTLSSettings& aSettings);
