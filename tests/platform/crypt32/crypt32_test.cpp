// Certificate services: PKCS#12 import, store folders, chain building and the
// SSL policy, with the fixture PKI and certificates made for each case.
#include "platform/crypt32/crypt32.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/crypt32/crypt32_openssl.h"
#include "tests/support/environment.h"
#include "tests/support/tls_peers.h"

using namespace tls_test;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string CommonName(PCCERT_CONTEXT aContext) {
  char name[256] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(CertContextX509(aContext)), NID_commonName, name,
                            sizeof name);
  return name;
}

HCERTSTORE Import(const std::string& aFile, const char16_t* aPassword) {
  std::string data = ReadFile(aFile);
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(data.size()), reinterpret_cast<BYTE*>(data.data())};
  return PFXImportCertStore(&blob, aPassword, 0);
}

std::vector<BYTE> Sha1(const std::string& aCertFile) {
  BIO* bio = BIO_new_file(aCertFile.c_str(), "r");
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  std::vector<BYTE> digest(20);
  unsigned int length = 0;
  X509_digest(cert, EVP_sha1(), digest.data(), &length);
  X509_free(cert);
  return digest;
}

std::vector<BYTE> SubjectDer(const std::string& aCertFile) {
  BIO* bio = BIO_new_file(aCertFile.c_str(), "r");
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  std::vector<BYTE> der(i2d_X509_NAME(X509_get_subject_name(cert), nullptr));
  BYTE* p = der.data();
  i2d_X509_NAME(X509_get_subject_name(cert), &p);
  X509_free(cert);
  return der;
}

// A folder of system stores for the test, in place of the user's.
class StoreFolder {
 public:
  StoreFolder() {
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) FOld = old;
    setenv("XDG_CONFIG_HOME", FDir.path().c_str(), 1);
  }
  ~StoreFolder() {
    if (FOld.empty()) {
      unsetenv("XDG_CONFIG_HOME");
    } else {
      setenv("XDG_CONFIG_HOME", FOld.c_str(), 1);
    }
  }
  // Copies aFile into the store folder <location>/<name>.
  void Put(const std::string& aLocation, const std::string& aName, const std::string& aFile) {
    const std::filesystem::path folder = CertStoreRootFolder() + "/" + aLocation + "/" + aName;
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(aFile, folder / std::filesystem::path(aFile).filename(),
                               std::filesystem::copy_options::overwrite_existing);
  }
  const TempDir& Dir() const { return FDir; }

 private:
  TempDir FDir;
  std::string FOld;
};

TEST(Pkcs12Import, PasswordsAbsentAndEmptyAreKeptApart) {
  TempDir dir;
  MakePkcs12(FixturePath("client.crt"), FixturePath("client.key"), nullptr, dir.File("none.p12"));
  const std::string legacy = dir.File("legacy.p12");
  // An old-style file (RC2 and 3DES), as older tools write them.
  const std::string command = "openssl pkcs12 -export -legacy -inkey " + FixturePath("client.key") + " -in " +
                              FixturePath("client.crt") + " -passout pass:old -out " + legacy + " 2>/dev/null";
  const bool made = std::system(command.c_str()) == 0;
  struct Case {
    std::string File;
    const char16_t* Password;
    bool Imports;
  };
  const Case cases[] = {
      {FixturePath("client.p12"), u"secret", true},
      {FixturePath("client.p12"), u"wrong", false},
      {FixturePath("client.p12"), nullptr, false},
      {FixturePath("client-nopass.p12"), u"", true},
      {FixturePath("client-nopass.p12"), nullptr, false},
      {dir.File("none.p12"), nullptr, true},
      {dir.File("none.p12"), u"", false},
      {legacy, u"old", made},
  };
  for (const Case& c : cases) {
    HCERTSTORE store = Import(c.File, c.Password);
    EXPECT_EQ(store != nullptr, c.Imports) << c.File << " " << (c.Password ? Utf16ToUtf8(c.Password) : "nil");
    if (!store) continue;
    // "Any" yields the certificate with the key first, then the CA, then nothing.
    PCCERT_CONTEXT first = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_ANY, nullptr, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(CommonName(first), "test client");
    EXPECT_NE(CertContextPrivateKey(first), nullptr);
    EXPECT_EQ(first->hCertStore, store);
    PCCERT_CONTEXT next = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_ANY, nullptr, first);
    if (c.File != legacy) {
      ASSERT_NE(next, nullptr);
      EXPECT_EQ(CommonName(next), "Test CA");
      EXPECT_EQ(CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_ANY, nullptr, next), nullptr);
    } else {
      CertFreeCertificateContext(next);
    }
    CertCloseStore(store, 0);
  }
  std::string garbage = "not a pkcs12 file";
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(garbage.size()), reinterpret_cast<BYTE*>(garbage.data())};
  EXPECT_EQ(PFXImportCertStore(&blob, u"", 0), nullptr);
}

// A file imported again with the same password is not decrypted again; its
// stores are independent of each other. Another password, other contents
// or a failed import are not taken for it.
TEST(Pkcs12Import, TheSameFileAndPasswordAreDecryptedOnce) {
  TempDir dir;
  MakePkcs12(FixturePath("client.crt"), FixturePath("client.key"), "other", dir.File("other.p12"));
  const uint64_t before = Pkcs12Decryptions();
  HCERTSTORE first = Import(FixturePath("client.p12"), u"secret");
  ASSERT_NE(first, nullptr);
  HCERTSTORE second = Import(FixturePath("client.p12"), u"secret");
  ASSERT_NE(second, nullptr);
  EXPECT_LE(Pkcs12Decryptions() - before, 1u);  // an earlier test may have imported it
  CertCloseStore(first, 0);
  PCCERT_CONTEXT any = CertFindCertificateInStore(second, kEncoding, 0, CERT_FIND_ANY, nullptr, nullptr);
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(CommonName(any), "test client");
  EXPECT_NE(CertContextPrivateKey(any), nullptr);
  CertFreeCertificateContext(any);
  CertCloseStore(second, 0);

  const uint64_t kept = Pkcs12Decryptions();
  EXPECT_EQ(Import(FixturePath("client.p12"), u"wrong"), nullptr);
  EXPECT_EQ(Import(FixturePath("client.p12"), u"wrong"), nullptr);
  EXPECT_EQ(Pkcs12Decryptions() - kept, 2u);  // failures are tried each time
  HCERTSTORE other = Import(dir.File("other.p12"), u"other");
  ASSERT_NE(other, nullptr);
  CertCloseStore(other, 0);
  EXPECT_EQ(Import(dir.File("other.p12"), u"secret"), nullptr);
  EXPECT_EQ(Pkcs12Decryptions() - kept, 4u);
}

TEST(CertStores, SystemStoresAreFoldersSearchedByThumbprint) {
  StoreFolder folder;
  folder.Put("CurrentUser", "MY", FixturePath("client-nopass.p12"));
  folder.Put("LocalMachine", "CA", FixturePath("ca.crt"));

  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM, kEncoding, 0,
                          CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, u"Root"),
            nullptr);
  EXPECT_EQ(CryptGetLastError(), CRYPT_E_NOT_FOUND);
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"../MY"),
            nullptr);

  struct Case {
    DWORD Location;
    const char16_t* Name;
    std::string Thumbprint;
    std::string Found;  // common name, empty: none
  };
  const Case cases[] = {
      {CERT_SYSTEM_STORE_CURRENT_USER, u"MY", FixturePath("client.crt"), "test client"},
      {CERT_SYSTEM_STORE_CURRENT_USER, u"MY", FixturePath("ca.crt"), "Test CA"},
      {CERT_SYSTEM_STORE_CURRENT_USER, u"MY", FixturePath("server.crt"), ""},
      {CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA", FixturePath("ca.crt"), "Test CA"},
  };
  for (const Case& c : cases) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM, kEncoding, 0,
                                     c.Location | CERT_STORE_OPEN_EXISTING_FLAG, c.Name);
    ASSERT_NE(store, nullptr);
    std::vector<BYTE> hash = Sha1(c.Thumbprint);
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    CertCloseStore(store, 0);  // the context keeps its store alive
    EXPECT_EQ(found ? CommonName(found) : "", c.Found);
    if (found && c.Found == "test client") {
      EXPECT_NE(CertContextPrivateKey(found), nullptr);
    }
    CertFreeCertificateContext(found);
  }

  // The kept-open "MY" store sees files added after it was opened.
  HCERTSTORE my = CertOpenSystemStoreW(0, u"MY");
  ASSERT_NE(my, nullptr);
  PCCERT_CONTEXT any = CertFindCertificateInStore(my, kEncoding, 0, CERT_FIND_ANY, nullptr, nullptr);
  ASSERT_NE(any, nullptr);
  CertFreeCertificateContext(any);
  CertCloseStore(my, 0);
}

TEST(CertStores, ChainSearchByIssuerFindsTheClientCertificate) {
  StoreFolder folder;
  folder.Put("CurrentUser", "MY", FixturePath("client-nopass.p12"));
  HCERTSTORE my = CertOpenSystemStoreW(0, u"MY");
  ASSERT_NE(my, nullptr);
  std::vector<BYTE> testCa = SubjectDer(FixturePath("ca.crt"));
  std::vector<BYTE> otherCa = SubjectDer(FixturePath("other-ca.crt"));
  struct Case {
    std::vector<std::vector<BYTE>*> Issuers;
    bool Found;
  };
  const Case cases[] = {{{&testCa}, true}, {{&otherCa}, false}, {{&otherCa, &testCa}, true}, {{}, true}};
  for (const Case& c : cases) {
    std::vector<CERT_NAME_BLOB> issuers;
    for (auto* der : c.Issuers) issuers.push_back({static_cast<DWORD>(der->size()), der->data()});
    CERT_CHAIN_FIND_BY_ISSUER_PARA para{};
    para.cbSize = sizeof para;
    para.pszUsageIdentifier = szOID_PKIX_KP_CLIENT_AUTH;
    para.cIssuer = static_cast<DWORD>(issuers.size());
    para.rgIssuer = issuers.data();
    PCCERT_CHAIN_CONTEXT chain = CertFindChainInStore(my, X509_ASN_ENCODING, 0, CERT_CHAIN_FIND_BY_ISSUER, &para, nullptr);
    ASSERT_EQ(chain != nullptr, c.Found);
    if (!chain) continue;
    PCCERT_CONTEXT leaf = chain->rgpChain[0]->rgpElement[0]->pCertContext;
    EXPECT_EQ(CommonName(leaf), "test client");
    EXPECT_NE(CertContextPrivateKey(leaf), nullptr);
    // The CA in the store is not a client certificate with a key: nothing follows.
    EXPECT_EQ(CertFindChainInStore(my, X509_ASN_ENCODING, 0, CERT_CHAIN_FIND_BY_ISSUER, &para, chain), nullptr);
  }
  CertCloseStore(my, 0);
}

TEST(CertStrings, HexThumbprints) {
  struct Case {
    std::u16string Text;
    bool Ok;
    std::vector<BYTE> Bytes;
  };
  const Case cases[] = {{u"00ff10Ab", true, {0x00, 0xFF, 0x10, 0xAB}},
                        {u"00 ff\r\n10 ab", true, {0x00, 0xFF, 0x10, 0xAB}},
                        {u"0ff", false, {}},
                        {u"zz", false, {}},
                        {u"", true, {}}};
  for (const Case& c : cases) {
    DWORD size = 0;
    EXPECT_EQ(CryptStringToBinaryW(c.Text.c_str(), 0, CRYPT_STRING_HEX, nullptr, &size, nullptr, nullptr) == TRUE,
              c.Ok);
    if (!c.Ok) continue;
    EXPECT_EQ(size, c.Bytes.size());
    std::vector<BYTE> bytes(size + 1);
    DWORD small = size ? size - 1 : 0;
    if (size) {
      EXPECT_FALSE(CryptStringToBinaryW(c.Text.c_str(), 0, CRYPT_STRING_HEX, bytes.data(), &small, nullptr, nullptr));
      EXPECT_EQ(CryptGetLastError(), ERROR_MORE_DATA);
    }
    DWORD room = static_cast<DWORD>(bytes.size());
    ASSERT_TRUE(CryptStringToBinaryW(c.Text.c_str(), 0, CRYPT_STRING_HEX, bytes.data(), &room, nullptr, nullptr));
    bytes.resize(room);
    EXPECT_EQ(bytes, c.Bytes);
  }
}

// The chain of a server certificate with its issuers as the peer would send
// them, checked by the SSL policy for a server name.
DWORD PolicyStatus(const CertFiles& aServer, const std::vector<std::string>& aSentChain,
                   const char16_t* aServerName, HCERTCHAINENGINE aEngine = nullptr) {
  BIO* bio = BIO_new_file(aServer.Cert.c_str(), "r");
  X509* leaf = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  STACK_OF(X509)* sent = sk_X509_new_null();
  sk_X509_push(sent, leaf);
  for (const auto& file : aSentChain) {
    BIO* b = BIO_new_file(file.c_str(), "r");
    sk_X509_push(sent, PEM_read_bio_X509(b, nullptr, nullptr, nullptr));
    BIO_free(b);
  }
  HCERTSTORE store = CertStoreFromX509Stack(sent);
  sk_X509_pop_free(sent, X509_free);
  PCCERT_CONTEXT context = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_ANY, nullptr, nullptr);
  LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH), const_cast<LPSTR>(szOID_SERVER_GATED_CRYPTO),
                    const_cast<LPSTR>(szOID_SGC_NETSCAPE)};
  CERT_CHAIN_PARA para{sizeof para, {USAGE_MATCH_TYPE_OR, {3, usages}}};
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  DWORD result = 0xFFFFFFFF;
  if (CertGetCertificateChain(aEngine, context, nullptr, store, &para, 0, nullptr, &chain)) {
    HTTPSPolicyCallbackData https{sizeof https, AUTHTYPE_SERVER, 0, aServerName};
    CERT_CHAIN_POLICY_PARA policy{sizeof policy, 0, &https};
    CERT_CHAIN_POLICY_STATUS status{sizeof status, 0, 0, 0, nullptr};
    if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) result = status.dwError;
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(context);
  CertCloseStore(store, 0);
  return result;
}

TEST(ChainPolicy, SslPolicyStatusValues) {
  TempDir dir;
  setenv("SSL_CERT_FILE", FixturePath("ca.crt").c_str(), 1);
  const CertFiles good{FixturePath("server.crt"), FixturePath("server.key")};
  const CertFiles expired = MakeCert(dir, "expired", {.NotBeforeDays = -10, .NotAfterDays = -1});
  const CertFiles selfSigned = MakeCert(dir, "self", {.SelfSigned = true});
  const CertFiles clientOnly = MakeCert(dir, "client", {.ExtendedKeyUsage = "clientAuth"});
  const CertFiles noUsage = MakeCert(dir, "nousage", {.ExtendedKeyUsage = ""});
  const CertFiles byOtherCa{FixturePath("untrusted-client.crt"), FixturePath("untrusted-client.key")};
  struct Case {
    const char* Name;
    CertFiles Server;
    std::vector<std::string> Sent;
    const char16_t* ServerName;
    DWORD Expected;
  };
  const Case cases[] = {
      {"good by name", good, {}, u"localhost", 0},
      {"good by IPv4", good, {}, u"127.0.0.1", 0},
      {"good by IPv6", good, {}, u"::1", 0},
      {"good with its CA sent", good, {FixturePath("ca.crt")}, u"localhost", 0},
      {"wrong IP", good, {}, u"127.0.0.2", CERT_E_CN_NO_MATCH},
      {"wrong name", good, {}, u"example.org", CERT_E_CN_NO_MATCH},
      {"empty name", good, {}, u"", CERT_E_CN_NO_MATCH},
      {"no name", good, {}, nullptr, CERT_E_CN_NO_MATCH},
      {"expired", expired, {}, u"localhost", CERT_E_EXPIRED},
      {"self-signed", selfSigned, {}, u"localhost", CERT_E_UNTRUSTEDROOT},
      {"untrusted CA sent", byOtherCa, {FixturePath("other-ca.crt")}, u"localhost", CERT_E_UNTRUSTEDROOT},
      {"issuer missing", byOtherCa, {}, u"localhost", CERT_E_CHAINING},
      {"client usage only", clientOnly, {}, u"localhost", CERT_E_WRONG_USAGE},
      {"no usage restriction", noUsage, {}, u"localhost", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PolicyStatus(c.Server, c.Sent, c.ServerName), c.Expected) << c.Name;
  }
  unsetenv("SSL_CERT_FILE");
  // Without the test CA in the trust store the good server is untrusted too.
  EXPECT_EQ(PolicyStatus(good, {FixturePath("ca.crt")}, u"localhost"), CERT_E_UNTRUSTEDROOT);

  // A "Root" store folder is trusted like the system store.
  StoreFolder folder;
  folder.Put("LocalMachine", "Root", FixturePath("ca.crt"));
  EXPECT_EQ(PolicyStatus(good, {}, u"localhost"), 0u);
}

// The system's trust anchors are one store per process: two chain checks
// make it and read OpenSSL's default file once. The file is read only when a
// chain needs a name the "Root" folders do not have, and a change to the
// file or the folders makes the store again.
TEST(ChainPolicy, SystemAnchorsAreSharedAndTheDefaultFileReadWhenNeeded) {
  const apns_test::TestDefaultAnchors anchors;
  const std::string& bundle = anchors.Bundle();
  const CertFiles good{FixturePath("server.crt"), FixturePath("server.key")};

  uint64_t builds = SystemTrustStoreBuilds(), loads = DefaultTrustFileLoads();
  EXPECT_EQ(PolicyStatus(good, {}, u"localhost"), 0u);
  EXPECT_EQ(PolicyStatus(good, {FixturePath("ca.crt")}, u"127.0.0.1"), 0u);
  EXPECT_EQ(SystemTrustStoreBuilds(), builds + 1);
  EXPECT_EQ(DefaultTrustFileLoads(), loads + 1);

  {
    // The test CA in a "Root" folder: a new store, which anchors the chain
    // without the default file.
    StoreFolder folder;
    folder.Put("CurrentUser", "Root", FixturePath("ca.crt"));
    builds = SystemTrustStoreBuilds();
    loads = DefaultTrustFileLoads();
    EXPECT_EQ(PolicyStatus(good, {}, u"localhost"), 0u);
    EXPECT_EQ(PolicyStatus(good, {}, u"localhost"), 0u);
    EXPECT_EQ(SystemTrustStoreBuilds(), builds + 1);
    EXPECT_EQ(DefaultTrustFileLoads(), loads);
  }

  // The default file without the test CA: the store is made again and the
  // server's chain ends at an untrusted root, as it does with no such file.
  WriteFile(bundle, ReadFile(FixturePath("other-ca.crt")));
  builds = SystemTrustStoreBuilds();
  loads = DefaultTrustFileLoads();
  EXPECT_EQ(PolicyStatus(good, {FixturePath("ca.crt")}, u"localhost"), CERT_E_UNTRUSTEDROOT);
  EXPECT_EQ(PolicyStatus(good, {}, u"localhost"), CERT_E_CHAINING);
  EXPECT_EQ(SystemTrustStoreBuilds(), builds + 1);
  EXPECT_EQ(DefaultTrustFileLoads(), loads + 1);
}

HCERTSTORE OpenFileStore(const std::string& aFile) {
  const std::u16string path = Utf8ToUtf16(aFile);
  return CertOpenStore(CERT_STORE_PROV_FILENAME_W, kEncoding, 0,
                       CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, path.c_str());
}

// A file store holds the certificates of one PEM file; a file without any,
// or no file, opens no store.
TEST(ChainEngine, FileStores) {
  TempDir dir;
  HCERTSTORE store = OpenFileStore(FixturePath("ca.crt"));
  ASSERT_NE(store, nullptr);
  PCCERT_CONTEXT first =
      CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_ANY, nullptr, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(CommonName(first), "Test CA");
  EXPECT_EQ(CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_ANY, nullptr, first),
            nullptr);
  CertCloseStore(store, 0);
  EXPECT_EQ(OpenFileStore(dir.File("missing.pem")), nullptr);
  EXPECT_EQ(CryptGetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenFileStore(dir.path().string()), nullptr);  // a folder
  EXPECT_EQ(CryptGetLastError(), ERROR_FILE_NOT_FOUND);
  WriteFile(dir.File("empty.pem"), "no certificate here\n");
  EXPECT_EQ(OpenFileStore(dir.File("empty.pem")), nullptr);
  EXPECT_EQ(CryptGetLastError(), CRYPT_E_BAD_ENCODE);
}

// An engine with an exclusive root store trusts that store's certificates
// and nothing else, whatever the system store holds; its additional stores
// offer issuers without trusting them.
TEST(ChainEngine, ExclusiveRootsAndAdditionalStores) {
  unsetenv("SSL_CERT_FILE");
  TempDir dir;
  const CertFiles good{FixturePath("server.crt"), FixturePath("server.key")};
  const CertFiles selfSigned = MakeCert(dir, "self", {.SelfSigned = true});
  const CertFiles byOtherCa{FixturePath("untrusted-client.crt"), FixturePath("untrusted-client.key")};
  struct TEngine {
    HCERTSTORE Store = nullptr;
    HCERTCHAINENGINE Engine = nullptr;
    TEngine(const std::string& aFile, bool aExclusive) : Store(OpenFileStore(aFile)) {
      CERT_CHAIN_ENGINE_CONFIG config{};
      config.cbSize = sizeof config;
      if (aExclusive) {
        config.hExclusiveRoot = Store;
      } else {
        config.cAdditionalStore = 1;
        config.rghAdditionalStore = &Store;
      }
      EXPECT_TRUE(CertCreateCertificateChainEngine(&config, &Engine));
    }
    ~TEngine() {
      CertFreeCertificateChainEngine(Engine);
      CertCloseStore(Store, 0);
    }
  };
  TEngine testCA(FixturePath("ca.crt"), true);
  struct Case {
    const char* Name;
    CertFiles Server;
    std::vector<std::string> Sent;
    const char16_t* ServerName;
    DWORD WithEngine, Default;
  };
  constexpr DWORD kUntrusted = CERT_E_UNTRUSTEDROOT;
  const Case cases[] = {
      {"good", good, {}, u"localhost", 0, CERT_E_CHAINING},
      {"good with its CA sent", good, {FixturePath("ca.crt")}, u"localhost", 0, kUntrusted},
      {"wrong name", good, {}, u"example.org", CERT_E_CN_NO_MATCH, CERT_E_CHAINING},
      {"self-signed", selfSigned, {}, u"localhost", kUntrusted, kUntrusted},
      {"other CA sent", byOtherCa, {FixturePath("other-ca.crt")}, u"localhost", kUntrusted, kUntrusted},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PolicyStatus(c.Server, c.Sent, c.ServerName, testCA.Engine), c.WithEngine) << c.Name;
    EXPECT_EQ(PolicyStatus(c.Server, c.Sent, c.ServerName), c.Default) << c.Name;
  }

  // An additional store completes the chain without trusting its CA.
  TEngine issuers(FixturePath("ca.crt"), false);
  EXPECT_EQ(PolicyStatus(good, {}, u"localhost", issuers.Engine), CERT_E_UNTRUSTEDROOT);
  {
    // The test CA in a "Root" folder: trusted by default and through the
    // additional store's issuer, not by an engine whose only root is
    // another CA.
    StoreFolder folder;
    folder.Put("LocalMachine", "Root", FixturePath("ca.crt"));
    TEngine otherCA(FixturePath("other-ca.crt"), true);
    EXPECT_EQ(PolicyStatus(good, {FixturePath("ca.crt")}, u"localhost"), 0u);
    EXPECT_EQ(PolicyStatus(good, {}, u"localhost", issuers.Engine), 0u);
    EXPECT_EQ(PolicyStatus(good, {FixturePath("ca.crt")}, u"localhost", otherCA.Engine),
              CERT_E_UNTRUSTEDROOT);
  }

  // Restricted stores are not offered.
  CERT_CHAIN_ENGINE_CONFIG restricted{};
  restricted.cbSize = sizeof restricted;
  restricted.hRestrictedRoot = testCA.Store;
  HCERTCHAINENGINE engine = nullptr;
  EXPECT_FALSE(CertCreateCertificateChainEngine(&restricted, &engine));
  EXPECT_EQ(CryptGetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
