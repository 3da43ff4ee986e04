// The run-time binding against the system's OpenSSL 3: which files are
// tried, what the failure list says, which entry points a level binds for the
// library it finds, the hashing back end at both levels and the digest
// routines' fallback.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tls/IdHash.h"
#include "tls/kfxBase_Helpers_OpenSSL.h"
#include "tls/kfxIdSSLOpenSSL.h"
#include "tls/kfxIdSSLOpenSSLHeaders.h"
#include "tls/kfxIdSSLOpenSSLHeaders_Entries.h"
#include "tests/support/temp_dir.h"

namespace {

using apns_test::TempDir;

std::string Hex(const TIdBytes& aBytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : aBytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    text += digits;
  }
  return text;
}
TIdBytes Bytes(const std::string& aText) { return TIdBytes(aText.begin(), aText.end()); }

std::string SystemLibrary(const char* aName) {
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/", "/usr/lib64/", "/usr/lib/", "/lib/x86_64-linux-gnu/"}) {
    const std::string path = std::string(dir) + aName;
    if (std::filesystem::exists(path)) return path;
  }
  return {};
}

// Every test starts unbound with the system's search order.
class OpenSSLBinding : public ::testing::Test {
 protected:
  void SetUp() override { Reset(TwsOpenSSLAPI::oslAPI_1_1); }
  void TearDown() override { Reset(TwsOpenSSLAPI::oslAPI_1_1); }
  static void Reset(TwsOpenSSLAPI aAPI) {
    StopOpenSSL();
    SetOpenSSLAPIVersion(aAPI);
    SetOpenSSLLibraryFolder("");
  }
};

TEST_F(OpenSSLBinding, BindsTheSystemLibrariesAtLevel11) {
  ASSERT_TRUE(BindOpenSSL()) << WhichFailedToLoad();
  EXPECT_EQ(WhichFailedToLoad(), "");
  EXPECT_NE(GetCryptLibHandle(), nullptr);
  EXPECT_NE(GetSSLLibHandle(), nullptr);
  // Renamed entry points are bound under their new names.
  EXPECT_NE(IdOpenSSL::SSL_get_peer_certificate, nullptr);
  EXPECT_NE(IdOpenSSL::sk_num, nullptr);
  EXPECT_NE(IdOpenSSL::TLS_method, nullptr);
  EXPECT_TRUE(IsOpenSSL_TLSv1_2_Available());
  EXPECT_FALSE(IsOpenSSL_SSLv2_Available());
  EXPECT_TRUE(IsOpenSSL_1_1());
  // A second call succeeds at once; unbinding forgets every entry point.
  EXPECT_TRUE(BindOpenSSL());
  UnbindOpenSSL();
  EXPECT_EQ(GetCryptLibHandle(), nullptr);
  EXPECT_EQ(IdOpenSSL::SSL_connect, nullptr);
  EXPECT_EQ(IdOpenSSL::EVP_sha256, nullptr);
}

// Level 1.0, the default, finds the system's OpenSSL 3, which lacks the 1.0
// entry points: it is bound with the 1.1 ones and starts, as at level 1.1.
TEST_F(OpenSSLBinding, DefaultLevelBindsTheSystemLibraryWithThe11EntryPoints) {
  SetOpenSSLAPIVersion(TwsOpenSSLAPI::oslAPI_1_0);
  EXPECT_EQ(GetOpenSSLBoundAPIVersion(), TwsOpenSSLAPI::oslAPI_1_0);  // nothing loaded yet
  ASSERT_TRUE(BindOpenSSL()) << WhichFailedToLoad();
  EXPECT_EQ(WhichFailedToLoad(), "");
  EXPECT_EQ(GetOpenSSLAPIVersion(), TwsOpenSSLAPI::oslAPI_1_0);
  EXPECT_EQ(GetOpenSSLBoundAPIVersion(), TwsOpenSSLAPI::oslAPI_1_1);
  EXPECT_TRUE(IsOpenSSL_1_1());
  EXPECT_NE(IdOpenSSL::sk_num, nullptr);  // bound as OPENSSL_sk_num
  EXPECT_NE(IdOpenSSL::TLS_method, nullptr);
  EXPECT_EQ(IdOpenSSL::SSL_library_init, nullptr);
  ASSERT_TRUE(StartOpenSSL());
  EXPECT_GE(OpenSSLLibraryVersion(), 0x30000000UL);
  IdOpenSSL::SSL_CTX_free(IdOpenSSL::SSL_CTX_new(IdOpenSSL::TLS_method()));
  // Unbound, the level asked for applies again.
  StopOpenSSL();
  EXPECT_EQ(GetOpenSSLBoundAPIVersion(), TwsOpenSSLAPI::oslAPI_1_0);
  EXPECT_FALSE(IsOpenSSL_1_1());
}

// Which entry points a level binds depends on the library found: stand-ins
// that carry only a generation's marks (so binding fails and lists what
// each level asks for). A 1.0 library at level 1.0 is bound as 1.0; a
// current one at level 1.0 as 1.1; level 1.1 always binds 1.1.
TEST_F(OpenSSLBinding, TheLibraryFoundDecidesTheEntryPointsOfLevel10) {
  struct Case {
    const char* name;
    const char* stub;
    TwsOpenSSLAPI api;
    TwsOpenSSLAPI bound;
  };
  constexpr TwsOpenSSLAPI v10 = TwsOpenSSLAPI::oslAPI_1_0, v11 = TwsOpenSSLAPI::oslAPI_1_1;
  const Case cases[] = {
      {"1.0 library, level 1.0", OPENSSL_STUB_LEGACY, v10, v10},
      {"current library, level 1.0", OPENSSL_STUB_CURRENT, v10, v11},
      {"1.0 library, level 1.1", OPENSSL_STUB_LEGACY, v11, v11},
      {"current library, level 1.1", OPENSSL_STUB_CURRENT, v11, v11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir("openssl-binding");
    for (const char* name :
         {"libcrypto.so.1.0.2", "libssl.so.1.0.2", "libcrypto.so.3", "libssl.so.3"})
      std::filesystem::create_symlink(c.stub, dir.path().string() + "/" + name);
    Reset(c.api);
    SetOpenSSLLibraryFolder(dir.path().string());
    EXPECT_FALSE(BindOpenSSL());
    ASSERT_NE(GetSSLLibHandle(), nullptr);
    EXPECT_EQ(GetOpenSSLBoundAPIVersion(), c.bound);
    EXPECT_EQ(IsOpenSSL_1_1(), c.bound == v11);
    const std::string missing = "\r\n" + WhichFailedToLoad();
    auto listed = [&](const char* aName) {
      return missing.find("\r\n" + std::string(aName) + "\r\n") != std::string::npos;
    };
    const bool as10 = c.bound == v10;
    // Names each level requires, and one that both do.
    EXPECT_EQ(listed("CRYPTO_lock"), as10);
    EXPECT_EQ(listed("TLS_method"), !as10);
    EXPECT_TRUE(listed("SSL_new"));
    // The stand-in's own marks are found: a level's mark is listed only when
    // the library is of the other generation.
    const bool legacy = c.stub == std::string(OPENSSL_STUB_LEGACY);
    EXPECT_EQ(listed("SSL_library_init"), as10 && !legacy);
    EXPECT_EQ(listed("OpenSSL_version_num"), !as10 && legacy);
    EXPECT_FALSE(StartOpenSSL());
    Reset(c.api);
  }
}

TEST_F(OpenSSLBinding, FailureListNamesTheFirstFileTried) {
  TempDir empty("openssl-binding");
  struct Case {
    TwsOpenSSLAPI api;
    std::string file;
  };
  for (const Case& c : {Case{TwsOpenSSLAPI::oslAPI_1_1, "libcrypto.so.3"},
                        Case{TwsOpenSSLAPI::oslAPI_1_0, "libcrypto.so.1.0.2"}}) {
    StopOpenSSL();
    SetOpenSSLAPIVersion(c.api);
    SetOpenSSLLibraryFolder(empty.path().string());  // stored with its trailing '/'
    EXPECT_EQ(GetOpenSSLLibPath(), empty.path().string() + "/");
    EXPECT_FALSE(BindOpenSSL());
    EXPECT_EQ(WhichFailedToLoad(), "Failed to load " + empty.path().string() + "/" + c.file + ".\r\n");
    EXPECT_EQ(GetCryptLibHandle(), nullptr);
    EXPECT_FALSE(StartOpenSSL());
  }
  SetOpenSSLLibraryFolder("");
  EXPECT_EQ(GetOpenSSLLibPath(), "");
}

TEST_F(OpenSSLBinding, CryptoWithoutSSLKeepsTheCryptoLibraryLoaded) {
  const std::string crypto = SystemLibrary("libcrypto.so.3");
  if (crypto.empty()) GTEST_SKIP() << "libcrypto.so.3 not found in the usual folders";
  TempDir dir("openssl-binding");
  std::filesystem::create_symlink(crypto, dir.path().string() + "/libcrypto.so.3");
  SetOpenSSLLibraryFolder(dir.path().string());
  EXPECT_FALSE(BindOpenSSL());
  EXPECT_EQ(WhichFailedToLoad(), "Failed to load " + dir.path().string() + "/libssl.so.3.\r\n");
  EXPECT_NE(GetCryptLibHandle(), nullptr);
  EXPECT_EQ(GetSSLLibHandle(), nullptr);
}

const std::string kAbc256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kAbc384 =
    "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7";
const std::string kAbc512 =
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
    "454d4423643ce80e2a9ac94fa54ca49f";

// The hashing back end serves at the 1.0 level only; at 1.1 it reports the
// digests unavailable although the library is bound. Level 1.0 keeps it when
// it binds the system's OpenSSL 3 with the 1.1 entry points.
TEST_F(OpenSSLBinding, HashingBackEndByLevel) {
  ASSERT_TRUE(BindOpenSSL());
  EXPECT_FALSE(TIdHashSHA256::IsAvailable());
  EXPECT_THROW(TIdHashSHA256().HashBytes(Bytes("abc")), EIdHashNotAvailable);

  Reset(TwsOpenSSLAPI::oslAPI_1_0);
  ASSERT_TRUE(BindOpenSSL()) << WhichFailedToLoad();
  ASSERT_TRUE(TIdHashSHA256::IsAvailable());
  EXPECT_TRUE(TIdHashSHA1::IsAvailable());
  EXPECT_EQ(Hex(TIdHashSHA1().HashString("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(TIdHashSHA256().HashString("abc")), kAbc256);
  EXPECT_EQ(Hex(TIdHashSHA384().HashString("abc")), kAbc384);
  EXPECT_EQ(Hex(TIdHashSHA512().HashString("abc")), kAbc512);
}

// RFC 4231 test case 2 and the long-key case 6, through the library's HMAC
// and through the construction over the digest.
TEST_F(OpenSSLBinding, HMACThroughLibraryAndGenericConstruction) {
  Reset(TwsOpenSSLAPI::oslAPI_1_0);
  ASSERT_TRUE(BindOpenSSL()) << WhichFailedToLoad();
  struct Case {
    std::string key, data, mac256, mac512;
  };
  const Case cases[] = {
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
       "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fd"
       "caeab1a34d4a6b4b636e070a38bce737"},
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
       "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e52"
       "95e64f73f63f0aec8b915a985d786598"},
  };
  auto check = [&](const char* aPath) {
    SCOPED_TRACE(aPath);
    for (const Case& c : cases) {
      TIdHMACSHA256 h256;
      h256.Key = Bytes(c.key);
      EXPECT_EQ(Hex(h256.HashValue(Bytes(c.data))), c.mac256);
      TIdHMACSHA512 h512;
      h512.Key = Bytes(c.key);
      EXPECT_EQ(Hex(h512.HashValue(Bytes(c.data))), c.mac512);
    }
  };
  ASSERT_TRUE(IdHashProvider().IsHMACAvailable());
  check("library HMAC");
  // A library without HMAC contexts: the digest carries the construction.
  auto saved = IdOpenSSL::HMAC_CTX_init;
  IdOpenSSL::HMAC_CTX_init = nullptr;
  ASSERT_FALSE(IdHashProvider().IsHMACAvailable());
  check("generic HMAC");
  IdOpenSSL::HMAC_CTX_init = saved;

  // An empty key is replaced by a random one: two MACs of the same data differ.
  TIdHMACSHA256 a, b;
  EXPECT_NE(a.HashValue(Bytes("x")), b.HashValue(Bytes("x")));
  EXPECT_EQ(a.Key.size(), 32u);
}

// The digest routines give the same NIST results whichever way they compute.
TEST_F(OpenSSLBinding, DigestRoutinesWithAndWithoutTheLibrary) {
  TempDir empty("openssl-binding");
  struct Setting {
    const char* name;
    TwsOpenSSLAPI api;
    std::string folder;
    bool libraryHashes;
  };
  const Setting settings[] = {
      {"level 1.0: OpenSSL's digests", TwsOpenSSLAPI::oslAPI_1_0, "", true},
      {"level 1.1: own SHA-2", TwsOpenSSLAPI::oslAPI_1_1, "", false},
      {"no library: own SHA-2", TwsOpenSSLAPI::oslAPI_1_0, empty.path().string(), false},
  };
  for (const Setting& s : settings) {
    SCOPED_TRACE(s.name);
    Reset(s.api);
    SetOpenSSLLibraryFolder(s.folder);
    EXPECT_EQ(Hex(DigestSHA256(Bytes("abc"))), kAbc256);
    EXPECT_EQ(TIdHashSHA256::IsAvailable(), s.libraryHashes);
    EXPECT_EQ(Hex(DigestSHA384(Bytes("abc"))), kAbc384);
    EXPECT_EQ(Hex(DigestSHA512(Bytes("abc"))), kAbc512);
    EXPECT_EQ(Hex(DigestSHA256({})),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  }
}

TEST_F(OpenSSLBinding, ErrorTextsOfTheRaisingForms) {
  ASSERT_TRUE(StartOpenSSL());
  // The first context makes the library load its error texts.
  IdOpenSSL::SSL_CTX_free(IdOpenSSL::SSL_CTX_new(IdOpenSSL::TLS_method()));
  const uint32_t verifyFailed = 0x0A000086;  // SSL routines: certificate verify failed
  try {
    EIdOpenSSLAPICryptoError::RaiseExceptionCode<EIdOSSLUnderlyingCryptoError>(verifyFailed, "Step failed.");
    FAIL();
  } catch (const EIdOSSLUnderlyingCryptoError& e) {
    EXPECT_EQ(e.Message(), "Step failed.\r\nerror:0A000086:SSL routines::certificate verify failed");
    EXPECT_EQ(e.ErrorCode(), verifyFailed);
  }
  try {
    EIdOpenSSLAPICryptoError::RaiseExceptionCode<EIdDigestFinalEx>(verifyFailed);
    FAIL();
  } catch (const EIdDigestError& e) {
    EXPECT_EQ(e.Message(), "error:0A000086:SSL routines::certificate verify failed");
    EXPECT_EQ(e.ClassName(), "EIdDigestFinalEx");
  }
  try {
    EIdOpenSSLAPISSLError::RaiseExceptionCode<EIdOpenSSLAPISSLError>(2, -1, "Read failed.");
    FAIL();
  } catch (const EIdOpenSSLAPISSLError& e) {
    EXPECT_EQ(e.ErrorCode(), 2);
    EXPECT_EQ(e.RetCode(), -1);
    EXPECT_EQ(e.Message().rfind("Read failed.\r\nerror:00000002:", 0), 0u) << e.Message();
  }
}

}  // namespace
