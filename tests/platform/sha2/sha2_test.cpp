// The fallback SHA-2 against the FIPS 180-4 example vectors, and against
// OpenSSL for every length around the block and padding boundaries.
#include "platform/sha2/sha2.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <string>

namespace {

std::string Hex(const std::vector<uint8_t>& aBytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : aBytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    text += digits;
  }
  return text;
}

struct Vector {
  std::string input;
  std::string sha256, sha384, sha512;
};

const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
    "mnopqrstnopqrstu";

const Vector kVectors[] = {
    {"",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f"
     "63b931bd47417a81a538327af927da3e"},
    {"abc",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
     "454d4423643ce80e2a9ac94fa54ca49f"},
    {k448,
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
     "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c8452b",
     "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789ca0"
     "31ad85c7a71dd70354ec631238ca3445"},
    {k896,
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
     "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039",
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433a"
     "c7d329eeb6dd26545e96e55b874be909"},
    {std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
     "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985",
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31b"
     "eb009c5c2c49aa2e4eadb217ad8cc09b"},
};

TEST(PlatformSHA2, NISTVectors) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE("input of " + std::to_string(v.input.size()) + " bytes");
    EXPECT_EQ(Hex(PlatformSHA256(v.input.data(), v.input.size())), v.sha256);
    EXPECT_EQ(Hex(PlatformSHA384(v.input.data(), v.input.size())), v.sha384);
    EXPECT_EQ(Hex(PlatformSHA512(v.input.data(), v.input.size())), v.sha512);
  }
}

std::vector<uint8_t> OpenSSLDigest(const EVP_MD* aMD, const std::string& aInput) {
  std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned length = 0;
  EXPECT_EQ(EVP_Digest(aInput.data(), aInput.size(), digest.data(), &length, aMD, nullptr), 1);
  digest.resize(length);
  return digest;
}

// Every length from 0 to 300 crosses both block sizes and both places where
// the length field no longer fits into the last block; the input is fed in
// uneven pieces so the buffering between updates is exercised too.
TEST(PlatformSHA2, AgreesWithOpenSSLAcrossPaddingBoundaries) {
  std::string input;
  for (int length = 0; length <= 300; ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    TSHA256Context c256;
    TSHA512Context c384(true), c512;
    for (size_t at = 0, piece = 1; at < input.size(); at += piece, piece = piece * 3 % 71 + 1) {
      const size_t take = std::min(piece, input.size() - at);
      c256.Update(input.data() + at, take);
      c384.Update(input.data() + at, take);
      c512.Update(input.data() + at, take);
    }
    const auto d256 = c256.Final();
    EXPECT_EQ(std::vector<uint8_t>(d256.begin(), d256.end()), OpenSSLDigest(EVP_sha256(), input));
    EXPECT_EQ(c384.Final(), OpenSSLDigest(EVP_sha384(), input));
    EXPECT_EQ(c512.Final(), OpenSSLDigest(EVP_sha512(), input));
    input.push_back(static_cast<char>(length * 7 + 1));
  }
}

}  // namespace
