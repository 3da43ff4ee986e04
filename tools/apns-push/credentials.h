// The files that authenticate apns-push, checked before the first connect
// with the library's own loading, so that a file passes here exactly when
// the client can use it: the PKCS#12 certificate as the TLS layer reads it,
// the .p8 key as the token signer reads it, the CA file as the TLS layer
// reads root certificates. Each problem raises EUsageError with one line.
#pragma once

#include <string>

#include "tls/kfxSocket_Classes_TLS.h"
#include "tls/kfxTLS_PKCS12.h"

namespace apns_push {

// aFile is a PKCS#12 file that opens with aPassword and holds a certificate
// with its private key, read as aHandler's TLS layer reads it (the
// certificate services keep what they decrypted for the connections).
void CheckPKCS12(const std::string& aFile, const std::string& aPassword, TwsTLSIOHandler aHandler);

// The content of the PKCS#12 file aData as the SChannel layer imports it
// with aPassword.
TPKCS12FileContent ImportedPKCS12Content(std::string aData, const std::string& aPassword);

// aFile is a PEM private key on P-256 that signs ES256 provider tokens.
void CheckP8Key(const std::string& aFile);

// aFile holds a PEM certificate.
void CheckCAFile(const std::string& aFile);

// The certificate password: the first line of aPasswordFile when given, else
// aPassword when given (aHavePassword), else $APNS_CERT_PASSWORD, else empty.
std::string CertificatePassword(const std::string& aPasswordFile, bool aHavePassword,
                                const std::string& aPassword);

}  // namespace apns_push
