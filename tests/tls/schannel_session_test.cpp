// The SChannel session on real sockets against openssl s_server and nginx:
// handshake and ALPN, verification, the three client-certificate paths, and
// the record paths (partial records, small reads, key update, refusals,
// closes and damaged records), each ending once and without a busy loop.
#include "tls/kfxSSL_SChannel.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/pem.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/crypt32/crypt32_openssl.h"
#include "tests/support/environment.h"
#include "tests/support/tls_peers.h"

using namespace tls_test;

namespace {

struct SessionCloser {
  void operator()(TSSLInfo* aSSL) const { SChannelClose(aSSL); }
};
using Session = std::unique_ptr<TSSLInfo, SessionCloser>;

// A socket and the session on it; Open reports the last-error text on failure.
class Connection {
 public:
  Connection(const std::string& aHost, uint16_t aPort) : FSocket(ConnectTcp(aHost, aPort)) {}
  ~Connection() {
    FSession.reset();
    if (FSocket >= 0) close(FSocket);
  }
  bool Open(const TkfxSChannelCertificate& aCertificate = {}, const std::string& aServerName = "localhost",
            TwsTLSVersions aVersion = TwsTLSVersions::tls1_2, const std::vector<std::string>& aAlpn = {"h2"},
            const std::string& aCipherList = "") {
    TStringList alpn;
    for (const auto& name : aAlpn) alpn.Add(name);
    FSession.reset(SChannelOpen(FSocket, &aCertificate, aServerName, aCipherList, &alpn, aVersion));
    return FSession != nullptr;
  }
  TSSLInfo* SSL() const { return FSession.get(); }
  int Socket() const { return FSocket; }

  // Reads until aCount octets arrived or a read returned <= 0 (that result).
  int ReadUpTo(std::string& aData, size_t aCount, int aChunk = 65536) {
    std::vector<char> buffer(static_cast<size_t>(aChunk));
    for (int step = 0; step < 1000000 && aData.size() < aCount; ++step) {
      const int n = SChannelRead(SSL(), buffer.data(), aChunk);
      if (n <= 0) return n;
      aData.append(buffer.data(), static_cast<size_t>(n));
    }
    return static_cast<int>(aData.size());
  }
  bool Write(const std::string& aText) {
    return SChannelWrite(SSL(), aText.data(), static_cast<int>(aText.size())) == static_cast<int>(aText.size());
  }

 private:
  int FSocket;
  Session FSession;
};

std::string Sha1Hex(const std::string& aCertFile) {
  BIO* bio = BIO_new_file(aCertFile.c_str(), "r");
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  unsigned char digest[20];
  unsigned int length = 0;
  X509_digest(cert, EVP_sha1(), digest, &length);
  X509_free(cert);
  static const char* hex = "0123456789ABCDEF";
  std::string text;
  for (unsigned char c : digest) {
    text += hex[c >> 4];
    text += hex[c & 15];
  }
  return text;
}

// The user's configuration folder for one test, with its certificate stores.
class StoreFolder {
 public:
  // The "MY" store stays open while the security interface is loaded:
  // unloading makes the next session open the test's folder.
  StoreFolder() {
    setenv("XDG_CONFIG_HOME", FDir.path().c_str(), 1);
    UnloadSChannel();
  }
  ~StoreFolder() {
    unsetenv("XDG_CONFIG_HOME");
    UnloadSChannel();
  }
  void Put(const std::string& aStore, const std::string& aFile) {
    const std::filesystem::path folder = CertStoreRootFolder() + "/CurrentUser/" + aStore;
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(aFile, folder / std::filesystem::path(aFile).filename(),
                               std::filesystem::copy_options::overwrite_existing);
  }
  const TempDir& Dir() const { return FDir; }

 private:
  TempDir FDir;
};

class SChannelSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("openssl")) GTEST_SKIP() << "openssl command line program is missing";
  }
};

// --- pieces without a peer ---------------------------------------------------------

TEST(SChannelPieces, AlpnBlock) {
  struct Case {
    std::vector<std::string> Names;
    bool Ok;
    std::vector<uint8_t> Block;
  };
  const std::string tooLong(256, 'x');
  const Case cases[] = {
      {{"h2"}, true, {0x09, 0, 0, 0, 0x02, 0, 0, 0, 0x03, 0, 0x02, 'h', '2'}},
      {{}, true, {}},
      {{""}, true, {}},
      {{"h2", "", "http/1.1"}, true, {0x12, 0, 0, 0, 0x02, 0, 0, 0, 0x0C, 0, 2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'}},
      {{"h2", tooLong}, false, {}},
  };
  for (const Case& c : cases) {
    TStringList list;
    for (const auto& name : c.Names) list.Add(name);
    std::vector<uint8_t> block{1, 2, 3};
    EXPECT_EQ(SChannelALPNBlock(&list, block), c.Ok);
    EXPECT_EQ(block, c.Block);
  }
  // A list of 200 names of 200 octets has size fields wider than one octet.
  TStringList many;
  for (int i = 0; i < 200; ++i) many.Add(std::string(200, 'a'));
  std::vector<uint8_t> block;
  ASSERT_TRUE(SChannelALPNBlock(&many, block));
  const uint32_t total = 200 * 201;
  EXPECT_EQ(block.size(), 10 + total);
  EXPECT_EQ(block[0] | block[1] << 8 | block[2] << 16, total + 6);
  EXPECT_EQ(block[8] | block[9] << 8, total);
}

TEST(SChannelPieces, AlgorithmTableAndConnectionInfo) {
  EXPECT_EQ(SChannelAlgorithmNames.size(), 50u);
  struct Case {
    std::string Name;
    ALG_ID Id;
  };
  const Case cases[] = {{"CALG_AES_128", 0x660E}, {"CALG_AES_256", 0x6610}, {"CALG_ECDH_EPHEM", 0xAE06},
                        {"CALG_SHA_256", 0x800C}, {"CALG_SHA", 0x8004},    {"CALG_SHA1", 0x8004},
                        {"CALG_OID_INFO_CNG_ONLY", 0xFFFFFFFF}, {"CALG_OID_INFO_PARAMETERS", 0xFFFFFFFE},
                        {"calg_aes_256", 0}, {"CALG_AES_256 ", 0}, {"", 0}};
  for (const Case& c : cases) EXPECT_EQ(GetCipherId(c.Name), c.Id) << c.Name;

  TkfxSChannelConnectionInfo info;
  info.SetHashId(0x8004);
  EXPECT_EQ(info.Hash(), "CALG_SHA");  // the first row with the id
  info.SetCipherId(0x1234);
  EXPECT_EQ(info.Cipher(), "");
  EXPECT_EQ(info.CipherId(), 0x1234u);
  const std::pair<uint32_t, TwsTLSVersions> protocols[] = {
      {0x80, TwsTLSVersions::tls1_0}, {0x200, TwsTLSVersions::tls1_1}, {0x800, TwsTLSVersions::tls1_2},
      {0x2000, TwsTLSVersions::tls1_3}, {0x40, TwsTLSVersions::tlsUndefined}};
  for (const auto& [bit, version] : protocols) {
    info.SetProtocol(bit);
    EXPECT_EQ(info.Protocol(), version) << bit;
  }
}

TEST(SChannelPieces, CertificateSettingsAndBlob) {
  TkfxSChannelCertificate source;
  source.SetCertFilePassword("pw");
  source.SetCertHash("AB");
  source.SetCertFile("file.p12");
  source.SetCertStoreName(TkfxSChannelCertStoreName::scsnCA);
  source.SetCertStorePath(TkfxSChannelCertStorePath::scspStoreLocalMachine);
  source.SetVerifyCertificate(true);
  source.SetRootCertFile("roots.pem");
  TkfxSChannelCertificate copy;
  copy.Assign(&source);
  EXPECT_EQ(copy.CertFilePassword(), "pw");
  EXPECT_EQ(copy.CertHash(), "AB");
  EXPECT_EQ(copy.CertFile(), "file.p12");
  EXPECT_EQ(copy.CertStoreName(), TkfxSChannelCertStoreName::scsnCA);
  EXPECT_EQ(copy.CertStorePath(), TkfxSChannelCertStorePath::scspStoreLocalMachine);
  EXPECT_TRUE(copy.VerifyCertificate());
  EXPECT_EQ(copy.RootCertFile(), "roots.pem");
  TStringList foreign;
  EXPECT_THROW(copy.Assign(&foreign), EConvertError);

  TempDir dir;
  WriteFile(dir.File("blob"), "0123456789");
  TkfxSChannelStream blob;
  blob.LoadFromFile(dir.File("blob"));
  ASSERT_EQ(blob.DataSize(), 10);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(blob.Data()), 10), "0123456789");
  TMemoryStream memory;
  memory.Write("abcdef", 6);
  memory.SetPosition(2);
  blob.LoadFromStream(memory);
  ASSERT_EQ(blob.DataSize(), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(blob.Data()), 4), "cdef");
  blob.SetSize(0);
  EXPECT_EQ(blob.Data(), nullptr);
  EXPECT_THROW(blob.LoadFromFile(dir.File("missing")), EFOpenError);
}

// --- handshakes -----------------------------------------------------------------------

struct VersionCase {
  const char* Name;
  TwsTLSVersions Version;
  const char* ServerFlag;
};

class SChannelVersionTest : public SChannelSessionTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(SChannelVersionTest, HandshakeAlpnReportAndDataBothWays) {
  const VersionCase& c = GetParam();
  SServer server({"-alpn", "h2", c.ServerFlag});
  Connection connection(server.Host(), server.Port());
  ASSERT_TRUE(connection.Open({}, "localhost", c.Version)) << SChannelLastError();
  EXPECT_EQ(SChannelGetALPN(connection.SSL()), "h2");
  TkfxSChannelConnectionInfo* info = SChannelGetConnectionInfo(connection.SSL());
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info, SChannelGetConnectionInfo(connection.SSL()));  // made once
  EXPECT_EQ(info->Protocol(), c.Version);
  EXPECT_EQ(info->Exchange(), "CALG_ECDH_EPHEM");
  EXPECT_NE(info->Cipher(), "");
  EXPECT_GE(info->CiperStrength(), 128u);

  ASSERT_TRUE(connection.Write("0ping\n"));
  EXPECT_TRUE(server.WaitOutput("0ping"));
  server.Send("0pong\n");
  std::string data;
  EXPECT_EQ(connection.ReadUpTo(data, 6), 6);
  EXPECT_EQ(data, "0pong\n");
}

TEST_P(SChannelVersionTest, NginxAgreesOnH2) {
  if (!HaveProgram("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is missing";
  const VersionCase& c = GetParam();
  Nginx nginx(false, 1024);
  Connection connection("127.0.0.1", nginx.Port());
  ASSERT_TRUE(connection.Open({}, "localhost", c.Version, {"h2", "http/1.1"})) << SChannelLastError();
  EXPECT_EQ(SChannelGetALPN(connection.SSL()), "h2");
  EXPECT_EQ(SChannelGetConnectionInfo(connection.SSL())->Protocol(), c.Version);
  // The server's first frame is its SETTINGS (type 4) on stream 0.
  ASSERT_TRUE(connection.Write("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"));
  std::string data;
  ASSERT_GE(connection.ReadUpTo(data, 9), 9);
  EXPECT_EQ(data[3], 4);
}

INSTANTIATE_TEST_SUITE_P(Versions, SChannelVersionTest,
                         ::testing::Values(VersionCase{"tls1_2", TwsTLSVersions::tls1_2, "-tls1_2"},
                                           VersionCase{"tls1_3", TwsTLSVersions::tls1_3, "-tls1_3"}),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

TEST_F(SChannelSessionTest, NilSessionAnswersQuietly) {
  SChannelSetCredentialsCallBack(nullptr, [](TSSLInfo*, void*) {}, nullptr);
  EXPECT_EQ(SChannelGetALPN(nullptr), "");
  EXPECT_EQ(SChannelGetConnectionInfo(nullptr), nullptr);
  EXPECT_EQ(SChannelClose(nullptr), 0);
}

TEST_F(SChannelSessionTest, CipherListPicksTheAlgorithm) {
  SServer server({"-tls1_2"});
  struct Case {
    std::string List;
    std::string Cipher;
  };
  const Case cases[] = {{"CALG_AES_256:bogus", "CALG_AES_256"}, {"CALG_AES_128", "CALG_AES_128"},
                        {"bogus:other", ""}};
  for (const Case& c : cases) {
    Connection connection(server.Host(), server.Port());
    ASSERT_TRUE(connection.Open({}, "localhost", TwsTLSVersions::tls1_2, {}, c.List)) << SChannelLastError();
    const std::string cipher = SChannelGetConnectionInfo(connection.SSL())->Cipher();
    if (!c.Cipher.empty()) {
      EXPECT_EQ(cipher, c.Cipher) << c.List;
    }  // else the default choice
  }
}

// The test CA is trusted through the certificate settings' root file, not
// through the process environment; without the file its servers are not.
TEST_F(SChannelSessionTest, ServerVerification) {
  unsetenv("SSL_CERT_FILE");  // the system's trust store without the test CA
  TempDir dir;
  const CertFiles selfSigned = MakeCert(dir, "self", {.SelfSigned = true});
  const CertFiles expired = MakeCert(dir, "expired", {.NotBeforeDays = -10, .NotAfterDays = -1});
  const std::string ca = FixturePath("ca.crt");
  const std::string missing = dir.File("missing.crt");
  struct Case {
    const char* Name;
    CertFiles Server;
    std::string Host;
    bool Verify;
    std::string RootFile;
    uint32_t CertStatus;
    std::string Text;  // the failure's text when it is no policy verdict
  };
  const Case cases[] = {
      {"trusted", {}, "127.0.0.1", true, ca, 0, ""},
      {"without the root file", {}, "127.0.0.1", true, "", 0x800B010A, ""},
      {"untrusted root", selfSigned, "127.0.0.1", true, ca, 0x800B0109, ""},
      {"wrong name", {}, "127.0.0.2", true, ca, 0x800B010F, ""},
      {"expired", expired, "127.0.0.1", true, ca, 0x800B0101, ""},
      {"not verified", selfSigned, "127.0.0.1", false, ca, 0, ""},
      {"root file missing", {}, "127.0.0.1", true, missing, 0, "Could not load root certificate file " + missing + "."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    SServer server({}, c.Host, c.Server);
    Connection connection(c.Host, server.Port());
    TkfxSChannelCertificate certificate;
    certificate.SetVerifyCertificate(c.Verify);
    certificate.SetRootCertFile(c.RootFile);
    const bool opened = connection.Open(certificate, c.Host);
    EXPECT_EQ(opened, c.CertStatus == 0 && c.Text.empty());
    EXPECT_EQ(SChannelLastCertStatus(), c.CertStatus);
    if (opened) continue;
    if (!c.Text.empty()) {
      EXPECT_EQ(SChannelLastError(), c.Text);
      EXPECT_EQ(SChannelLastErrorCode(), ERROR_FILE_NOT_FOUND);
      continue;
    }
    char expected[64];
    std::snprintf(expected, sizeof expected, "CertVerifyCertificateChainPolicy.vStatus = %08X", c.CertStatus);
    EXPECT_EQ(SChannelLastError(), expected);
    EXPECT_EQ(SChannelLastErrorCode(), c.CertStatus);
  }
}

// A root file that anchors the chain makes the system's trust store
// unneeded: the default anchors' file is not read. A file that does not
// anchor it leaves the verdict to the system store, which reads the file once.
TEST_F(SChannelSessionTest, RootFileThatAnchorsTheChainLeavesTheSystemStoreUnread) {
  const apns_test::TestDefaultAnchors anchors;
  struct Case {
    const char* Name;
    std::string RootFile;
    uint64_t Loads;
  };
  const Case cases[] = {
      {"root file with the server's CA", FixturePath("ca.crt"), 0},
      {"root file with another CA", FixturePath("other-ca.crt"), 1},
      {"the system store again", FixturePath("other-ca.crt"), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    SServer server({}, "127.0.0.1");
    Connection connection("127.0.0.1", server.Port());
    TkfxSChannelCertificate certificate;
    certificate.SetVerifyCertificate(true);
    certificate.SetRootCertFile(c.RootFile);
    const uint64_t loads = DefaultTrustFileLoads();
    EXPECT_TRUE(connection.Open(certificate, "127.0.0.1")) << SChannelLastError();
    EXPECT_EQ(SChannelLastCertStatus(), 0u);
    EXPECT_EQ(DefaultTrustFileLoads(), loads + c.Loads);
  }
}

// --- client certificates -----------------------------------------------------------------------

TEST_F(SChannelSessionTest, ClientCertificateFromFileStoreOrIssuerList) {
  StoreFolder stores;
  MakePkcs12(FixturePath("client.crt"), FixturePath("client.key"), nullptr, stores.Dir().File("none.p12"));
  struct Case {
    const char* Name;
    std::string File;
    std::string Password;
    std::string Hash;
    bool InMyStore;
    std::string Error;  // empty: the server receives the certificate
  };
  const std::string hash = Sha1Hex(FixturePath("client.crt"));
  const Case cases[] = {
      {"file with password", FixturePath("client.p12"), "secret", "", false, ""},
      {"file with empty password", FixturePath("client-nopass.p12"), "", "", false, ""},
      {"file without any password", stores.Dir().File("none.p12"), "", "", false, ""},
      {"wrong password", FixturePath("client.p12"), "wrong", "", false, "Cannot import the certificate."},
      {"missing file", stores.Dir().File("missing.p12"), "", "", false, "Cannot import the certificate."},
      {"store by thumbprint", "", "", hash, true, ""},
      {"issuer list", "", "", "", true, ""},
      {"hash of 39", "", "", hash.substr(1), true, "Invalid Certificate Hash Length, must be 40."},
      {"hash of 41", "", "", hash + "0", true, "Invalid Certificate Hash Length, must be 40."},
      {"hash not hex", "", "", std::string(40, 'z'), true, "Error calling method CryptStringToBinary."},
      {"hash absent", "", "", std::string(40, '0'), true,
       "Certificate not found in Store MY with Hash " + std::string(40, '0')},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(CertStoreRootFolder());
    std::filesystem::create_directories(CertStoreRootFolder() + "/CurrentUser/MY");
    if (c.InMyStore) stores.Put("MY", FixturePath("client-nopass.p12"));
    SServer server({"-Verify", "1", "-CAfile", FixturePath("ca.crt"), "-verify_return_error", "-tls1_2"});
    Connection connection(server.Host(), server.Port());
    TkfxSChannelCertificate certificate;
    certificate.SetCertFile(c.File);
    certificate.SetCertFilePassword(c.Password);
    certificate.SetCertHash(c.Hash);
    const bool opened = connection.Open(certificate);
    if (c.Error.empty()) {
      ASSERT_TRUE(opened) << c.Name << ": " << SChannelLastError();
      ASSERT_TRUE(connection.Write("0hello\n"));
      ASSERT_TRUE(server.WaitOutput("0hello")) << c.Name;
      EXPECT_NE(server.Output().find("test client"), std::string::npos) << c.Name;
    } else {
      EXPECT_FALSE(opened) << c.Name;
      EXPECT_EQ(SChannelLastError(), c.Error) << c.Name;
    }
  }
}

TEST_F(SChannelSessionTest, StoreThatIsMissingAndServerThatAsksForNothing) {
  StoreFolder stores;
  std::filesystem::create_directories(CertStoreRootFolder() + "/CurrentUser/MY");
  {
    SServer server({"-Verify", "1", "-CAfile", FixturePath("ca.crt"), "-verify_return_error", "-tls1_2"});
    Connection connection(server.Host(), server.Port());
    TkfxSChannelCertificate certificate;
    certificate.SetCertHash(std::string(39, '0'));
    certificate.SetCertStoreName(TkfxSChannelCertStoreName::scsnCA);  // no such folder
    EXPECT_FALSE(connection.Open(certificate));
    EXPECT_EQ(SChannelLastError(), "Cannot Open Certificate Store.");
  }
  // A server that asks for no certificate never makes the session read one.
  SServer server({"-tls1_2"});
  Connection connection(server.Host(), server.Port());
  TkfxSChannelCertificate certificate;
  certificate.SetCertFile(stores.Dir().File("does-not-exist.p12"));
  certificate.SetCertHash("not even a hash");
  EXPECT_TRUE(connection.Open(certificate)) << SChannelLastError();
}

// --- records -------------------------------------------------------------------------------

TEST_F(SChannelSessionTest, SmallReadsPartialRecordsAndSeveralRecordsPerRead) {
  SServer server({"-tls1_2"});
  RelayProxy relay(server.Host(), server.Port());
  Connection connection("127.0.0.1", relay.Port());
  ASSERT_TRUE(connection.Open()) << SChannelLastError();

  // Three records gathered by one receive; a one-octet buffer drains them
  // without waiting for the socket between the octets of a record.
  size_t waiting = 0;
  for (const char* line : {"0abc\n", "0def\n", "0ghi\n"}) {
    server.Send(line);
    waiting = WaitForMoreOctets(connection.Socket(), waiting);
  }
  std::string data;
  ASSERT_EQ(connection.ReadUpTo(data, 1, 1), 1);
  EXPECT_TRUE(SChannelPending(connection.SSL()));
  ASSERT_EQ(connection.ReadUpTo(data, 15, 1), 15);
  EXPECT_EQ(data, "0abc\n0def\n0ghi\n");
  EXPECT_FALSE(SChannelPending(connection.SSL()));

  // One record arriving an octet at a time.
  relay.Dribble(true);
  server.Send("0slowly\n");
  data.clear();
  ASSERT_EQ(connection.ReadUpTo(data, 8), 8);
  EXPECT_EQ(data, "0slowly\n");
}

TEST_F(SChannelSessionTest, MegabytesBothWaysByteExact) {
  // Client to server: s_server writes what it decrypts to its output.
  {
    SServer server({"-tls1_3"});
    Connection connection(server.Host(), server.Port());
    ASSERT_TRUE(connection.Open({}, "localhost", TwsTLSVersions::tls1_3, {})) << SChannelLastError();
    std::string upload(2 << 20, '\0');
    for (size_t i = 0; i < upload.size(); ++i) upload[i] = static_cast<char>(i * 7 + i / 4093);
    ASSERT_TRUE(connection.Write(upload));
    // The output holds s_server's own lines, then the octets it received.
    bool arrived = false;
    for (int i = 0; i < 1000 && !arrived; ++i) {
      const std::string output = server.Output();
      arrived = output.size() >= upload.size() && output.find(upload) != std::string::npos;
      if (!arrived) usleep(10000);
    }
    EXPECT_TRUE(arrived);
  }
  // Server to client: a file from nginx over HTTP/1.1, ending with close_notify.
  if (!HaveProgram("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is missing";
  Nginx nginx(false, 3 << 20);
  Connection connection("127.0.0.1", nginx.Port());
  ASSERT_TRUE(connection.Open({}, "localhost", TwsTLSVersions::tls1_2, {"http/1.1"})) << SChannelLastError();
  ASSERT_TRUE(connection.Write("GET /big.bin HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"));
  std::string data;
  EXPECT_EQ(connection.ReadUpTo(data, SIZE_MAX), -1);
  EXPECT_EQ(SChannelLastError(), "DecryptMessage returns SEC_I_CONTEXT_EXPIRED");
  EXPECT_EQ(SChannelLastErrorCode(), 0x00090317u);
  const size_t body = data.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_TRUE(data.substr(body + 4) == ReadFile(nginx.BigFile()));
  // The end is reported again, without reading or decrypting.
  char octet;
  EXPECT_EQ(SChannelRead(connection.SSL(), &octet, 1), -1);
  EXPECT_EQ(SChannelLastError(), "DecryptMessage returns SEC_I_CONTEXT_EXPIRED");
}

TEST_F(SChannelSessionTest, KeyUpdateThenData) {
  SServer server({"-tls1_3"});
  Connection connection(server.Host(), server.Port());
  ASSERT_TRUE(connection.Open({}, "localhost", TwsTLSVersions::tls1_3)) << SChannelLastError();
  // Session tickets are read first, so that the next octets are the key update.
  std::string data;
  server.Send("0ready\n");
  ASSERT_EQ(connection.ReadUpTo(data, 7), 7);
  data.clear();
  server.Send("K\n");
  WaitForMoreOctets(connection.Socket(), PendingOctets(connection.Socket()));  // it travels alone
  server.Send("0after\n");
  ASSERT_EQ(connection.ReadUpTo(data, 7), 7);
  EXPECT_EQ(data, "0after\n");
  ASSERT_TRUE(connection.Write("0reply\n"));
  EXPECT_TRUE(server.WaitOutput("0reply"));
}

// Each of these ends the connection with one result, reported again by a
// second read without touching the socket.
TEST_F(SChannelSessionTest, EndsOfTheConnection) {
  struct Case {
    const char* Name;
    std::function<void(SServer&, RelayProxy&)> Provoke;
    int Result;
    std::string Error;
  };
  const Case cases[] = {
      {"renegotiation request", [](SServer& s, RelayProxy&) { s.Send("R\n"); }, -1,
       "DecryptMessage returns SEC_I_RENEGOTIATE"},
      {"killed peer", [](SServer&, RelayProxy& r) { r.Kill(); }, 0, ""},
      {"flipped octet",
       [](SServer& s, RelayProxy& r) {
         r.FlipServerOctet(10);
         s.Send("0damaged\n");
       },
       -1, "DecryptMessage returns SEC_E_DECRYPT_FAILURE"},
  };
  for (const Case& c : cases) {
    SServer server({"-tls1_2"});
    RelayProxy relay(server.Host(), server.Port());
    Connection connection("127.0.0.1", relay.Port());
    ASSERT_TRUE(connection.Open()) << SChannelLastError();
    c.Provoke(server, relay);
    char buffer[64];
    EXPECT_EQ(SChannelRead(connection.SSL(), buffer, sizeof buffer), c.Result) << c.Name;
    if (!c.Error.empty()) {
      EXPECT_EQ(SChannelLastError(), c.Error) << c.Name;
    }
    EXPECT_EQ(SChannelRead(connection.SSL(), buffer, sizeof buffer), c.Result) << c.Name;
    EXPECT_TRUE(SChannelPending(connection.SSL())) << c.Name;  // the answer is ready at once
  }
}

TEST_F(SChannelSessionTest, ExpiredReceiveTimeoutIsNotTheEnd) {
  SServer server({"-tls1_2"});
  Connection connection(server.Host(), server.Port());
  ASSERT_TRUE(connection.Open()) << SChannelLastError();
  timeval shortWait{0, 100000};
  setsockopt(connection.Socket(), SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
  char buffer[64];
  EXPECT_EQ(SChannelRead(connection.SSL(), buffer, sizeof buffer), -1);
  EXPECT_EQ(connection.SSL()->Error.load(), 10060u);
  EXPECT_EQ(SChannelLastError(), "recv returns 0000274C");
  server.Send("0late\n");
  timeval longWait{10, 0};
  setsockopt(connection.Socket(), SOL_SOCKET, SO_RCVTIMEO, &longWait, sizeof longWait);
  std::string data;
  EXPECT_EQ(connection.ReadUpTo(data, 6), 6);
  EXPECT_EQ(data, "0late\n");
}

TEST_F(SChannelSessionTest, PeerThatClosesDuringTheHandshakeFailsTheStart) {
  // A listener that accepts and closes at once.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  Connection connection("127.0.0.1", ntohs(address.sin_port));
  close(accept(listener, nullptr, nullptr));
  close(listener);
  EXPECT_FALSE(connection.Open());
  EXPECT_EQ(SChannelLastError().rfind("recv returns ", 0), 0u) << SChannelLastError();
}

TEST_F(SChannelSessionTest, ManyHandshakesReleaseEverything) {
  // Run under AddressSanitizer, this shows that open and close leak nothing.
  SServer server({"-tls1_3", "-alpn", "h2"});
  for (int i = 0; i < 30; ++i) {
    Connection connection(server.Host(), server.Port());
    ASSERT_TRUE(connection.Open({}, "localhost", TwsTLSVersions::tls1_3)) << i << ": " << SChannelLastError();
    ASSERT_EQ(SChannelGetALPN(connection.SSL()), "h2");
    ASSERT_NE(SChannelGetConnectionInfo(connection.SSL()), nullptr);
  }
}

}  // namespace
