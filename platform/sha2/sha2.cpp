#include "platform/sha2/sha2.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t K256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint64_t K512[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

constexpr uint32_t Rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
constexpr uint64_t Rotr64(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

uint32_t LoadBE32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
uint64_t LoadBE64(const uint8_t* p) {
  return uint64_t{LoadBE32(p)} << 32 | LoadBE32(p + 4);
}
void StoreBE(uint64_t aValue, uint8_t* p, int aBytes) {
  for (int i = aBytes - 1; i >= 0; --i, aValue >>= 8) p[i] = static_cast<uint8_t>(aValue);
}

// Feeds aData through aBlock in whole blocks, keeping the rest in aBuffer.
template <size_t N, class F>
void Feed(std::array<uint8_t, N>& aBuffer, size_t& aBuffered, const uint8_t* aData, size_t aLength,
          F aBlock) {
  if (aBuffered > 0) {
    const size_t take = std::min(N - aBuffered, aLength);
    std::memcpy(aBuffer.data() + aBuffered, aData, take);
    aBuffered += take;
    aData += take;
    aLength -= take;
    if (aBuffered < N) return;
    aBlock(aBuffer.data());
    aBuffered = 0;
  }
  for (; aLength >= N; aData += N, aLength -= N) aBlock(aData);
  if (aLength > 0) std::memcpy(aBuffer.data(), aData, aLength);
  aBuffered = aLength;
}

}  // namespace

TSHA256Context::TSHA256Context()
    : FState{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void TSHA256Context::Block(const uint8_t* aBlock) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) w[i] = LoadBE32(aBlock + 4 * i);
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotr32(w[i - 15], 7) ^ Rotr32(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = Rotr32(w[i - 2], 17) ^ Rotr32(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = FState[0], b = FState[1], c = FState[2], d = FState[3];
  uint32_t e = FState[4], f = FState[5], g = FState[6], h = FState[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + (Rotr32(e, 6) ^ Rotr32(e, 11) ^ Rotr32(e, 25)) + ((e & f) ^ (~e & g)) +
                        K256[i] + w[i];
    const uint32_t t2 = (Rotr32(a, 2) ^ Rotr32(a, 13) ^ Rotr32(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g; g = f; f = e; e = d + t1;
    d = c; c = b; b = a; a = t1 + t2;
  }
  FState[0] += a; FState[1] += b; FState[2] += c; FState[3] += d;
  FState[4] += e; FState[5] += f; FState[6] += g; FState[7] += h;
}

void TSHA256Context::Update(const void* aData, size_t aLength) {
  if (aLength == 0) return;
  FLength += aLength;
  Feed(FBuffer, FBuffered, static_cast<const uint8_t*>(aData), aLength,
       [this](const uint8_t* aBlock) { Block(aBlock); });
}

std::array<uint8_t, 32> TSHA256Context::Final() {
  const uint64_t bits = FLength * 8;
  uint8_t pad[72] = {0x80};
  const size_t padLength = (FBuffered < 56 ? 56 : 120) - FBuffered;
  StoreBE(bits, pad + padLength, 8);
  Update(pad, padLength + 8);
  std::array<uint8_t, 32> result;
  for (int i = 0; i < 8; ++i) StoreBE(FState[i], result.data() + 4 * i, 4);
  return result;
}

TSHA512Context::TSHA512Context(bool aSHA384) : FSHA384(aSHA384) {
  if (aSHA384)
    FState = {0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17, 0x152fecd8f70e5939,
              0x67332667ffc00b31, 0x8eb44a8768581511, 0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
  else
    FState = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
              0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
}

void TSHA512Context::Block(const uint8_t* aBlock) {
  uint64_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = LoadBE64(aBlock + 8 * i);
  for (int i = 16; i < 80; ++i) {
    const uint64_t s0 = Rotr64(w[i - 15], 1) ^ Rotr64(w[i - 15], 8) ^ (w[i - 15] >> 7);
    const uint64_t s1 = Rotr64(w[i - 2], 19) ^ Rotr64(w[i - 2], 61) ^ (w[i - 2] >> 6);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint64_t a = FState[0], b = FState[1], c = FState[2], d = FState[3];
  uint64_t e = FState[4], f = FState[5], g = FState[6], h = FState[7];
  for (int i = 0; i < 80; ++i) {
    const uint64_t t1 = h + (Rotr64(e, 14) ^ Rotr64(e, 18) ^ Rotr64(e, 41)) +
                        ((e & f) ^ (~e & g)) + K512[i] + w[i];
    const uint64_t t2 =
        (Rotr64(a, 28) ^ Rotr64(a, 34) ^ Rotr64(a, 39)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g; g = f; f = e; e = d + t1;
    d = c; c = b; b = a; a = t1 + t2;
  }
  FState[0] += a; FState[1] += b; FState[2] += c; FState[3] += d;
  FState[4] += e; FState[5] += f; FState[6] += g; FState[7] += h;
}

void TSHA512Context::Update(const void* aData, size_t aLength) {
  if (aLength == 0) return;
  FLength += aLength;
  Feed(FBuffer, FBuffered, static_cast<const uint8_t*>(aData), aLength,
       [this](const uint8_t* aBlock) { Block(aBlock); });
}

std::vector<uint8_t> TSHA512Context::Final() {
  // The length field is 128 bits; the upper half carries the bits shifted out.
  const uint64_t high = FLength >> 61;
  const uint64_t low = FLength << 3;
  uint8_t pad[144] = {0x80};
  const size_t padLength = (FBuffered < 112 ? 112 : 240) - FBuffered;
  StoreBE(high, pad + padLength, 8);
  StoreBE(low, pad + padLength + 8, 8);
  Update(pad, padLength + 16);
  std::vector<uint8_t> result(64);
  for (int i = 0; i < 8; ++i) StoreBE(FState[i], result.data() + 8 * i, 8);
  if (FSHA384) result.resize(48);
  return result;
}

std::vector<uint8_t> PlatformSHA256(const void* aData, size_t aLength) {
  TSHA256Context context;
  context.Update(aData, aLength);
  const auto digest = context.Final();
  return {digest.begin(), digest.end()};
}

std::vector<uint8_t> PlatformSHA384(const void* aData, size_t aLength) {
  TSHA512Context context(true);
  context.Update(aData, aLength);
  return context.Final();
}

std::vector<uint8_t> PlatformSHA512(const void* aData, size_t aLength) {
  TSHA512Context context;
  context.Update(aData, aLength);
  return context.Final();
}
