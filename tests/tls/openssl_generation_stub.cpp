// A stand-in for an OpenSSL library of one generation, for the binding's
// tests: it exports only the marks by which the binding tells a 1.0 library
// from a 1.1 or later one, so binding it fails and names what is missing.
// Built twice: with OPENSSL_STUB_LEGACY as a 1.0 library (SSL_library_init,
// SSLeay), without it as a current one (OPENSSL_init_ssl, OpenSSL_version_num).
// One file serves as both the crypto and the SSL library.
#define STUB_EXPORT extern "C" __attribute__((visibility("default")))

#ifdef OPENSSL_STUB_LEGACY
STUB_EXPORT int SSL_library_init() { return 1; }
STUB_EXPORT void SSL_load_error_strings() {}
STUB_EXPORT unsigned long SSLeay() { return 0x1000214FUL; }
#else
STUB_EXPORT int OPENSSL_init_ssl(unsigned long long, const void*) { return 1; }
STUB_EXPORT unsigned long OpenSSL_version_num() { return 0x30000020UL; }
#endif
