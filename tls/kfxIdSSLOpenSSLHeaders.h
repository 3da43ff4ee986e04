// Run-time binding of the OpenSSL crypto and SSL libraries: loading them from
// a configurable folder, binding the entry points by name (required ones make
// the binding fail when missing and are named in the failure list), and the
// exception classes that turn OpenSSL error codes into messages.
//
// The entry points themselves are declared in kfxIdSSLOpenSSLHeaders_Entries.h
// (kept apart so that units which also include OpenSSL's own headers are not
// affected by their macros). Binding and unbinding are not locked here;
// callers serialise them with the start-up lock of kfxIdSSLOpenSSL.
#pragma once

#include <cstdint>
#include <string>

#include "base/IdException.h"
#include "tls/kfxSocket_Classes_TLS.h"

struct ssl_st;

// Process-wide API level asked for (default oslAPI_1_0): it chooses the
// library files tried, the entry points bound at the next binding (below) and
// whether OpenSSL serves the hashing classes (level 1.0 only).
TwsOpenSSLAPI GetOpenSSLAPIVersion();
void SetOpenSSLAPIVersion(TwsOpenSSLAPI aValue);
// The level the loaded libraries are bound at (the level asked for while none
// are loaded). Level 1.1 binds the 1.1 entry points. Level 1.0 binds a 1.0
// library with the 1.0 ones, and a library loaded for it that is 1.1 or later
// (no SSL_library_init, but OPENSSL_init_ssl and OpenSSL_version_num) with the
// 1.1 ones, so that the default level works with the OpenSSL 3 of current
// systems: its TLS and signing run as at level 1.1.
TwsOpenSSLAPI GetOpenSSLBoundAPIVersion();

// Folder the libraries are loaded from, with a trailing '/'; empty means the
// system's search order. Setting an empty text clears it.
std::string GetOpenSSLLibPath();
void IdOpenSSLSetLibPath(const std::string& aPath);

// Loads both libraries (unless loaded) and binds every entry point. True when
// both are loaded and no required entry point is missing; repeated calls
// return true at once after a success. A failed binding leaves a library that
// did load loaded, so that the next attempt reuses it.
bool BindOpenSSL();
// Library clean-up, unloading, and every entry point forgotten. The hook set
// with SetOpenSSLBeforeUnbind runs first, while the entry points still work,
// so that objects the libraries made can be freed.
void UnbindOpenSSL();
void SetOpenSSLBeforeUnbind(void (*aHook)());
// What the last binding missed: "Failed to load <file>." or the names of
// missing required entry points, one per line.
std::string WhichFailedToLoad();
// Module handles from dlopen (nullptr when not loaded). Units that need
// further entry points of the crypto library look them up in its handle.
void* GetCryptLibHandle();
void* GetSSLLibHandle();

// Protocol method families, available when their generic, client and server
// methods were all bound.
bool IsOpenSSL_SSLv2_Available();
bool IsOpenSSL_SSLv3_Available();
bool IsOpenSSL_SSLv23_Available();
bool IsOpenSSL_TLSv1_0_Available();
bool IsOpenSSL_TLSv1_1_Available();
bool IsOpenSSL_TLSv1_2_Available();
// True when the libraries are bound at level 1.1 (GetOpenSSLBoundAPIVersion).
bool IsOpenSSL_1_1();

// --- Exceptions ---

class EIdOpenSSLError : public EIdException {
 public:
  using EIdException::EIdException;
};

// Failure of an SSL_* call: the SSL_get_error code and the call's result.
class EIdOpenSSLAPISSLError : public EIdOpenSSLError {
 public:
  using EIdOpenSSLError::EIdOpenSSLError;
  int32_t ErrorCode() const { return FErrorCode; }
  int32_t RetCode() const { return FRetCode; }
  void SetCodes(int32_t aErrorCode, int32_t aRetCode) {
    FErrorCode = aErrorCode;
    FRetCode = aRetCode;
  }

  // The SSL form: looks at SSL_get_error(aSSL, aRetCode) and raises the queued
  // crypto error (EIdOSSLUnderlyingCryptoError), the socket error, or E.
  template <class E>
  [[noreturn]] static void RaiseException(ssl_st* aSSL, int32_t aRetCode, const std::string& AMsg = "");
  // E with AMsg + CR LF + the library's text for aErrCode (or the text alone).
  template <class E>
  [[noreturn]] static void RaiseExceptionCode(int32_t aErrCode, int32_t aRetCode,
                                              const std::string& AMsg = "");

 private:
  int32_t FErrorCode = 0;
  int32_t FRetCode = 0;
};

// Failure reported through the OpenSSL error queue.
class EIdOpenSSLAPICryptoError : public EIdOpenSSLError {
 public:
  using EIdOpenSSLError::EIdOpenSSLError;
  uint32_t ErrorCode() const { return FErrorCode; }
  void SetErrorCode(uint32_t aCode) { FErrorCode = aCode; }

  // E for the oldest queued error (ERR_get_error).
  template <class E>
  [[noreturn]] static void RaiseException(const std::string& AMsg = "");
  // E with AMsg + CR LF + the library's text for aErrCode (or the text alone).
  template <class E>
  [[noreturn]] static void RaiseExceptionCode(uint32_t aErrCode, const std::string& AMsg = "");

 private:
  uint32_t FErrorCode = 0;
};

class EIdOSSLUnderlyingCryptoError : public EIdOpenSSLAPICryptoError {
 public:
  using EIdOpenSSLAPICryptoError::EIdOpenSSLAPICryptoError;
};
class EIdDigestError : public EIdOpenSSLAPICryptoError {
 public:
  using EIdOpenSSLAPICryptoError::EIdOpenSSLAPICryptoError;
};
class EIdDigestFinalEx : public EIdDigestError {
 public:
  using EIdDigestError::EIdDigestError;
};
class EIdDigestInitEx : public EIdDigestError {
 public:
  using EIdDigestError::EIdDigestError;
};

// --- Error texts (used by the raising forms) ---

// ERR_get_error (0 when the library is not bound).
uint32_t OpenSSLGetError();
// ERR_error_string_n of the code into a 160-byte buffer.
std::string OpenSSLErrorString(uint32_t aErrCode);
// AMsg + CR LF + aText, or aText alone when AMsg is empty.
std::string OpenSSLErrorMessage(const std::string& AMsg, const std::string& aText);

// What the SSL form raises for a failed call, decided before anything is thrown.
struct TIdSSLErrorDecision {
  enum class TKind { ekCrypto, ekSocket, ekGiven } Kind = TKind::ekGiven;
  std::string Message;
  uint32_t CryptoCode = 0;  // ekCrypto
  int32_t ErrorCode = 0;    // ekGiven: the SSL_get_error code
  int SocketError = 0;      // ekSocket: errno
};
TIdSSLErrorDecision DecideSSLError(ssl_st* aSSL, int32_t aRetCode, const std::string& AMsg);
// The socket layer's error for an errno value (raised for SSL_ERROR_SYSCALL
// with a return code of -1).
[[noreturn]] void RaiseOpenSSLSocketError(int aErrno);
// The transport installs the raiser of its socket errors here; until then a
// plain EIdOpenSSLError with the system's text is raised.
void SetOpenSSLSocketErrorRaiser(void (*aRaiser)(int aErrno));

template <class E>
void EIdOpenSSLAPICryptoError::RaiseExceptionCode(uint32_t aErrCode, const std::string& AMsg) {
  E e(OpenSSLErrorMessage(AMsg, OpenSSLErrorString(aErrCode)));
  e.SetErrorCode(aErrCode);
  throw e;
}

template <class E>
void EIdOpenSSLAPICryptoError::RaiseException(const std::string& AMsg) {
  RaiseExceptionCode<E>(OpenSSLGetError(), AMsg);
}

template <class E>
void EIdOpenSSLAPISSLError::RaiseExceptionCode(int32_t aErrCode, int32_t aRetCode,
                                               const std::string& AMsg) {
  E e(OpenSSLErrorMessage(AMsg, OpenSSLErrorString(static_cast<uint32_t>(aErrCode))));
  e.SetCodes(aErrCode, aRetCode);
  throw e;
}

template <class E>
void EIdOpenSSLAPISSLError::RaiseException(ssl_st* aSSL, int32_t aRetCode, const std::string& AMsg) {
  const TIdSSLErrorDecision d = DecideSSLError(aSSL, aRetCode, AMsg);
  switch (d.Kind) {
    case TIdSSLErrorDecision::TKind::ekCrypto: {
      EIdOSSLUnderlyingCryptoError e(d.Message);
      e.SetErrorCode(d.CryptoCode);
      throw e;
    }
    case TIdSSLErrorDecision::TKind::ekSocket:
      RaiseOpenSSLSocketError(d.SocketError);
    case TIdSSLErrorDecision::TKind::ekGiven:
      break;
  }
  E e(d.Message);
  e.SetCodes(d.ErrorCode, aRetCode);
  throw e;
}
