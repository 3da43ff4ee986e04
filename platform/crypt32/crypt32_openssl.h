// The OpenSSL side of the certificate services, for the security package
// beside them: certificate contexts made from and read as OpenSSL objects.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <functional>

#include "platform/crypt32/crypt32.h"

// A new context for aCert (and its private key, when given) in aStore (a
// memory store when nullptr). The objects are shared (reference counts).
PCCERT_CONTEXT CertContextFromX509(X509* aCert, EVP_PKEY* aKey, HCERTSTORE aStore);
// The context's certificate and private key (nullptr when it has none);
// borrowed for the life of the context.
X509* CertContextX509(PCCERT_CONTEXT aContext);
EVP_PKEY* CertContextPrivateKey(PCCERT_CONTEXT aContext);
// A memory store holding the certificates of aCerts (nullptr: empty).
HCERTSTORE CertStoreFromX509Stack(STACK_OF(X509) * aCerts);
// Calls aVisit for each certificate of the store, in store order.
void CertStoreForEach(HCERTSTORE aStore, const std::function<void(X509*, EVP_PKEY*)>& aVisit);

// The system's trust anchors (chains built without an engine of exclusive
// roots) are one store per process, made again when OpenSSL's default file
// or folders or the "Root" folders change; the default file is read into it
// only when a chain needs a name that nothing else there has. Since the
// program started: how often that store was made, and how often the default
// file was read.
uint64_t SystemTrustStoreBuilds();
uint64_t DefaultTrustFileLoads();

// PKCS#12 imports are kept by their contents and password (the last few):
// since the program started, how many imports decrypted a file.
uint64_t Pkcs12Decryptions();
