// The OpenSSL side of the certificate services, for the security package
// beside them: certificate contexts made from and read as OpenSSL objects.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

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
