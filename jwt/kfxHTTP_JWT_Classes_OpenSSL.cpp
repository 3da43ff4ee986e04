#include "jwt/kfxHTTP_JWT_Classes_OpenSSL.h"

#include <dlfcn.h>

#include <climits>
#include <mutex>

#include "tls/kfxIdSSLOpenSSL.h"
#include "tls/kfxIdSSLOpenSSLHeaders.h"

int DeclinePEMPassword(char*, int, int, void*) {
  return -1;
}

void StartCryptoLibrary() {
  std::lock_guard guard(OpenSSLStartupLock());
  if (!GetCryptLibHandle()) StartOpenSSL();
}

void* FindCryptoEntry(const char* aName) {
  // The handle changes only under the start-up lock.
  std::lock_guard guard(OpenSSLStartupLock());
  // A null handle would make dlsym search every loaded module.
  void* library = GetCryptLibHandle();
  return library ? dlsym(library, aName) : nullptr;
}

TClearCryptoErrors::~TClearCryptoErrors() {
  if (const auto clear = OptionalCryptoEntry<void (*)()>("ERR_clear_error")) clear();
}

TkfxBIO NewMemoryBIO(const uint8_t* aData, size_t aLength) {
  const auto bioNewMemBuf = CryptoEntry<bio_st* (*)(const void*, int)>("BIO_new_mem_buf");
  const auto bioFree = CryptoEntry<int (*)(bio_st*)>("BIO_free");
  if (aLength > static_cast<size_t>(INT_MAX)) throw Exception("Key text is too long.");
  TkfxBIO bio(bioNewMemBuf(aLength ? aData : reinterpret_cast<const uint8_t*>(""),
                           static_cast<int>(aLength)),
              bioFree);
  if (!bio) throw Exception("Unable to create memory BIO");
  return bio;
}
