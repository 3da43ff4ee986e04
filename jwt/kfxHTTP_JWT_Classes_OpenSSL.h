// What the JWT signers need of the crypto library besides the binding's own
// entry points: look-ups by name in the library handle, owners that free
// OpenSSL objects with the library's functions, and reading PEM keys.
//
// OpenSSL's headers are not used here: the library is loaded at run time,
// and its objects are opaque pointers to the signers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "rtl/System.h"

struct bio_st;
struct evp_pkey_st;
struct ec_key_st;
struct ec_group_st;
struct ECDSA_SIG_st;
struct bignum_st;
struct rsa_st;
struct evp_md_st;
struct evp_md_ctx_st;
struct engine_st;
struct evp_pkey_ctx_st;

// Signature of PEM password callbacks.
using TPEMPasswordCallback = int (*)(char* aBuffer, int aSize, int aRWFlag, void* aUserData);
// Declines every password request, so that an encrypted key fails to load
// instead of prompting on a terminal.
int DeclinePEMPassword(char* aBuffer, int aSize, int aRWFlag, void* aUserData);

// The OpenSSL start-up that every sign and validate operation runs first.
// Its result is not looked at: a missing library shows up as a missing
// entry point. Once the crypto library is loaded it is not run again, since
// a start that keeps failing (a level whose names this library lacks) would
// bind the whole library anew for every token.
void StartCryptoLibrary();

// The entry point aName of the loaded crypto library, nullptr when the
// library is not loaded or lacks it (never a look-up in other modules).
void* FindCryptoEntry(const char* aName);

// The entry point as a function of type F; raises "Method <name> cannot be
// loaded." when it is missing.
template <class F>
F CryptoEntry(const char* aName) {
  void* entry = FindCryptoEntry(aName);
  if (!entry) throw Exception(std::string("Method ") + aName + " cannot be loaded.");
  return reinterpret_cast<F>(entry);
}

// The first of two names that exists (renamed entry points), raising with the first name.
template <class F>
F CryptoEntry(const char* aName, const char* aAlternative) {
  if (void* entry = FindCryptoEntry(aName)) return reinterpret_cast<F>(entry);
  if (void* entry = FindCryptoEntry(aAlternative)) return reinterpret_cast<F>(entry);
  throw Exception(std::string("Method ") + aName + " cannot be loaded.");
}

template <class F>
F OptionalCryptoEntry(const char* aName) {
  return reinterpret_cast<F>(FindCryptoEntry(aName));
}

// Owns an OpenSSL object and frees it with the library's function.
template <class T, class R = void>
class TkfxCryptoPtr {
 public:
  using TFree = R (*)(T*);
  TkfxCryptoPtr() = default;
  TkfxCryptoPtr(T* aObject, TFree aFree) : FObject(aObject), FFree(aFree) {}
  TkfxCryptoPtr(TkfxCryptoPtr&& aOther) noexcept
      : FObject(std::exchange(aOther.FObject, nullptr)), FFree(aOther.FFree) {}
  TkfxCryptoPtr& operator=(TkfxCryptoPtr&& aOther) noexcept {
    if (this != &aOther) {
      reset();
      FObject = std::exchange(aOther.FObject, nullptr);
      FFree = aOther.FFree;
    }
    return *this;
  }
  ~TkfxCryptoPtr() { reset(); }

  T* get() const { return FObject; }
  T* release() { return std::exchange(FObject, nullptr); }
  explicit operator bool() const { return FObject != nullptr; }
  void reset() {
    if (FObject && FFree) FFree(FObject);
    FObject = nullptr;
  }

 private:
  T* FObject = nullptr;
  TFree FFree = nullptr;
};

// Leaves the thread's OpenSSL error queue empty when it goes, so that what a
// failed signature left there is never reported later as a TLS error.
struct TClearCryptoErrors {
  TClearCryptoErrors() = default;
  TClearCryptoErrors(const TClearCryptoErrors&) = delete;
  TClearCryptoErrors& operator=(const TClearCryptoErrors&) = delete;
  ~TClearCryptoErrors();
};

using TkfxBIO = TkfxCryptoPtr<bio_st, int>;
// A read-only memory BIO over aData (not copied: aData must outlive it).
TkfxBIO NewMemoryBIO(const uint8_t* aData, size_t aLength);

// Big-number helpers of the signers.
using TBN_num_bits = int (*)(const bignum_st*);
using TBN_bn2bin = int (*)(const bignum_st*, unsigned char*);
using TBN_bin2bn = bignum_st* (*)(const unsigned char*, int, bignum_st*);
