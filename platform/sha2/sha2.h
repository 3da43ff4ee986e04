// SHA-256, SHA-384 and SHA-512 (FIPS 180-4), used where the OpenSSL digests
// are not available. Incremental contexts and one-shot helpers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

class TSHA256Context {
 public:
  TSHA256Context();
  void Update(const void* aData, size_t aLength);
  // The 32-byte digest; the context must not be updated afterwards.
  std::array<uint8_t, 32> Final();

 private:
  void Block(const uint8_t* aBlock);
  std::array<uint32_t, 8> FState;
  std::array<uint8_t, 64> FBuffer{};
  size_t FBuffered = 0;
  uint64_t FLength = 0;  // bytes hashed so far
};

// SHA-512 and, with the other initial values and a cut result, SHA-384.
class TSHA512Context {
 public:
  explicit TSHA512Context(bool aSHA384 = false);
  void Update(const void* aData, size_t aLength);
  // 64 bytes, or 48 for SHA-384.
  std::vector<uint8_t> Final();

 private:
  void Block(const uint8_t* aBlock);
  bool FSHA384;
  std::array<uint64_t, 8> FState;
  std::array<uint8_t, 128> FBuffer{};
  size_t FBuffered = 0;
  uint64_t FLength = 0;  // bytes; inputs beyond 2^61 bytes are not expected
};

std::vector<uint8_t> PlatformSHA256(const void* aData, size_t aLength);
std::vector<uint8_t> PlatformSHA384(const void* aData, size_t aLength);
std::vector<uint8_t> PlatformSHA512(const void* aData, size_t aLength);
