// Hashing classes of the transport library: SHA-1 and SHA-2 digests and
// HMAC over them. The digests are computed by a back end that the OpenSSL
// binding supplies (kfxIdSSLOpenSSLHeaders); the HMAC classes use the
// library's HMAC when it offers one and the RFC 2104 construction over the
// digest otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/IdException.h"
#include "rtl/System.h"

enum class TIdHashAlgorithm { hashMD4, hashMD5, hashSHA1, hashSHA224, hashSHA256, hashSHA384, hashSHA512 };

// The back end of the hashing classes. Contexts are opaque; Finish and
// HMACFinish release the context also when they raise.
struct TIdHashProvider {
  bool (*IsHashingAvailable)();
  bool (*IsAlgorithmAvailable)(TIdHashAlgorithm aAlgorithm);
  void* (*Start)(TIdHashAlgorithm aAlgorithm);
  void (*Update)(void* aContext, const uint8_t* aData, size_t aLength);
  TIdBytes (*Finish)(void* aContext);
  bool (*IsHMACAvailable)();
  bool (*IsHMACAlgorithmAvailable)(TIdHashAlgorithm aAlgorithm);
  void* (*HMACStart)(TIdHashAlgorithm aAlgorithm, const TIdBytes& aKey);
  void (*HMACUpdate)(void* aContext, const uint8_t* aData, size_t aLength);
  TIdBytes (*HMACFinish)(void* aContext);
  bool (*GetFIPSMode)();
  bool (*SetFIPSMode)(bool aMode);
};

// The installed back end (the OpenSSL binding's).
const TIdHashProvider& IdHashProvider();

// Raised when a digest is asked of a hashing class that is not available.
class EIdHashNotAvailable : public EIdException {
 public:
  using EIdException::EIdException;
};

class TIdHash : public TObject {
 public:
  explicit TIdHash(TIdHashAlgorithm aAlgorithm) : FAlgorithm(aAlgorithm) {}
  TIdHashAlgorithm Algorithm() const { return FAlgorithm; }
  bool IsAvailableFor() const { return IsAvailable(FAlgorithm); }
  // The digest of the bytes; EIdHashNotAvailable when the back end cannot
  // compute it, the back end's digest errors otherwise.
  TIdBytes HashBytes(const TIdBytes& aBytes) const;
  TIdBytes HashString(const std::string& aText) const;
  static bool IsAvailable(TIdHashAlgorithm aAlgorithm);

 private:
  TIdHashAlgorithm FAlgorithm;
};

class TIdHashSHA1 : public TIdHash {
 public:
  TIdHashSHA1() : TIdHash(TIdHashAlgorithm::hashSHA1) {}
  static bool IsAvailable() { return TIdHash::IsAvailable(TIdHashAlgorithm::hashSHA1); }
};
class TIdHashSHA224 : public TIdHash {
 public:
  TIdHashSHA224() : TIdHash(TIdHashAlgorithm::hashSHA224) {}
  static bool IsAvailable() { return TIdHash::IsAvailable(TIdHashAlgorithm::hashSHA224); }
};
class TIdHashSHA256 : public TIdHash {
 public:
  TIdHashSHA256() : TIdHash(TIdHashAlgorithm::hashSHA256) {}
  static bool IsAvailable() { return TIdHash::IsAvailable(TIdHashAlgorithm::hashSHA256); }
};
class TIdHashSHA384 : public TIdHash {
 public:
  TIdHashSHA384() : TIdHash(TIdHashAlgorithm::hashSHA384) {}
  static bool IsAvailable() { return TIdHash::IsAvailable(TIdHashAlgorithm::hashSHA384); }
};
class TIdHashSHA512 : public TIdHash {
 public:
  TIdHashSHA512() : TIdHash(TIdHashAlgorithm::hashSHA512) {}
  static bool IsAvailable() { return TIdHash::IsAvailable(TIdHashAlgorithm::hashSHA512); }
};

// HMAC (RFC 2104) with the digest of the subclass. An empty Key is replaced
// by random bytes of the digest's length when a value is hashed, so a MAC is
// never made under an empty key.
class TIdHMAC : public TObject {
 public:
  TIdHMAC(TIdHashAlgorithm aAlgorithm, size_t aBlockSize, size_t aDigestSize)
      : FAlgorithm(aAlgorithm), FBlockSize(aBlockSize), FDigestSize(aDigestSize) {}
  TIdBytes Key;
  TIdBytes HashValue(const TIdBytes& aBuffer);
  // The digest under the HMAC is available (through the library's HMAC or
  // the hashing back end).
  bool IsAvailableFor() const;

 private:
  TIdBytes GenericHMAC(const TIdBytes& aBuffer) const;
  TIdHashAlgorithm FAlgorithm;
  size_t FBlockSize;
  size_t FDigestSize;
};

class TIdHMACSHA256 : public TIdHMAC {
 public:
  TIdHMACSHA256() : TIdHMAC(TIdHashAlgorithm::hashSHA256, 64, 32) {}
};
class TIdHMACSHA384 : public TIdHMAC {
 public:
  TIdHMACSHA384() : TIdHMAC(TIdHashAlgorithm::hashSHA384, 128, 48) {}
};
class TIdHMACSHA512 : public TIdHMAC {
 public:
  TIdHMACSHA512() : TIdHMAC(TIdHashAlgorithm::hashSHA512, 128, 64) {}
};

// FIPS mode of the back end (false when it has none).
bool GetFIPSMode();
bool SetFIPSMode(bool aMode);
