// The security package against real TLS servers (openssl s_server, nginx) on
// loopback, driven by a small client loop that does what a caller of the
// package does: send tokens, receive records, decrypt and encrypt.
#include "platform/sspi/sspi.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/tls_peers.h"

using namespace tls_test;

namespace {

constexpr ULONG kRequirements = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;

std::vector<uint8_t> AlpnBlock(const std::vector<std::string>& aNames) {
  std::vector<uint8_t> list;
  for (const auto& name : aNames) {
    list.push_back(static_cast<uint8_t>(name.size()));
    list.insert(list.end(), name.begin(), name.end());
  }
  std::vector<uint8_t> block(10);
  const uint32_t listsSize = static_cast<uint32_t>(list.size() + 6);
  const uint32_t ext = SecApplicationProtocolNegotiationExt_ALPN;
  const uint16_t listSize = static_cast<uint16_t>(list.size());
  std::memcpy(block.data(), &listsSize, 4);
  std::memcpy(block.data() + 4, &ext, 4);
  std::memcpy(block.data() + 8, &listSize, 2);
  block.insert(block.end(), list.begin(), list.end());
  return block;
}

struct ClientOptions {
  DWORD Protocols = 0;
  std::vector<std::string> Alpn{"h2"};
  std::vector<ALG_ID> Algorithms{};
  DWORD Flags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
  std::string Target = "localhost";
  // Asked when the server wants a certificate the credentials lack; nullptr
  // goes on without one.
  std::function<PCCERT_CONTEXT()> OnCertificateRequest{};
};

// A TLS client on the package: the caller's side of the handshake and records.
class Client {
 public:
  Client(const std::string& aHost, uint16_t aPort, ClientOptions aOptions)
      : FOptions(std::move(aOptions)), FSocket(ConnectTcp(aHost, aPort)) {}
  ~Client() {
    if (FHaveContext) DeleteSecurityContext(&FContext);
    if (FHaveCredentials) FreeCredentialsHandle(&FCredentials);
    if (FSocket >= 0) close(FSocket);
  }

  SECURITY_STATUS Acquire(PCCERT_CONTEXT aCertificate, CredHandle& aHandle) {
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = FOptions.Protocols;
    cred.dwFlags = FOptions.Flags;
    cred.cSupportedAlgs = static_cast<DWORD>(FOptions.Algorithms.size());
    cred.palgSupportedAlgs = FOptions.Algorithms.empty() ? nullptr : FOptions.Algorithms.data();
    PCCERT_CONTEXT certs[1] = {aCertificate};
    if (aCertificate) {
      cred.cCreds = 1;
      cred.paCred = certs;
    }
    return AcquireCredentialsHandleW(nullptr, UNISP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr, &cred,
                                     nullptr, nullptr, &aHandle, nullptr);
  }

  // Runs the handshake to its end; the final status.
  SECURITY_STATUS Handshake() {
    if (FSocket < 0) return -1;
    SECURITY_STATUS status = Acquire(nullptr, FCredentials);
    if (status != SEC_E_OK) return status;
    FHaveCredentials = true;
    std::vector<uint8_t> alpn = AlpnBlock(FOptions.Alpn);
    SecBuffer inBuffers[1] = {{static_cast<ULONG>(alpn.size()), SECBUFFER_APPLICATION_PROTOCOLS, alpn.data()}};
    SecBufferDesc in{SECBUFFER_VERSION, FOptions.Alpn.empty() ? 0u : 1u, inBuffers};
    SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out{SECBUFFER_VERSION, 1, &outBuffer};
    ULONG attributes = 0;
    const std::u16string target = Utf8ToUtf16(FOptions.Target);
    status = InitializeSecurityContextW(&FCredentials, nullptr, target.c_str(), kRequirements, 0,
                                        SECURITY_NATIVE_DREP, &in, 0, &FContext, &out, &attributes, nullptr);
    if (status != SEC_I_CONTINUE_NEEDED) return status;
    FHaveContext = true;
    SendToken(outBuffer);
    bool needRead = true;
    for (int step = 0; step < 100; ++step) {
      if (needRead && !Receive()) return -1;
      needRead = false;
      SecBuffer tokens[2] = {{static_cast<ULONG>(FReceived.size()), SECBUFFER_TOKEN, FReceived.data()},
                             {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc input{SECBUFFER_VERSION, 2, tokens};
      outBuffer = {0, SECBUFFER_TOKEN, nullptr};
      status = InitializeSecurityContextW(&FCredentials, &FContext, nullptr, kRequirements, 0,
                                          SECURITY_NATIVE_DREP, &input, 0, nullptr, &out,
                                          &attributes, nullptr);
      SendToken(outBuffer);
      if (tokens[1].BufferType == SECBUFFER_EXTRA && tokens[1].cbBuffer > 0) {
        FReceived.erase(FReceived.begin(), FReceived.end() - tokens[1].cbBuffer);
      } else if (status != SEC_E_INCOMPLETE_MESSAGE) {
        FReceived.clear();
      }
      if (status == SEC_E_OK) return status;
      if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
        needRead = true;
      } else if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
        ++IncompleteCredentials;
        SecPkgContext_IssuerListInfoEx issuers{};
        if (QueryContextAttributesW(&FContext, SECPKG_ATTR_ISSUER_LIST_EX, &issuers) == SEC_E_OK) {
          for (DWORD i = 0; i < issuers.cIssuers; ++i) {
            Issuers.emplace_back(issuers.aIssuers[i].pbData,
                                 issuers.aIssuers[i].pbData + issuers.aIssuers[i].cbData);
          }
          FreeContextBuffer(issuers.aIssuers);
        }
        PCCERT_CONTEXT certificate = FOptions.OnCertificateRequest ? FOptions.OnCertificateRequest() : nullptr;
        if (certificate) {
          CredHandle fresh;
          const SECURITY_STATUS acquired = Acquire(certificate, fresh);
          CertFreeCertificateContext(certificate);
          if (acquired != SEC_E_OK) return acquired;
          FreeCredentialsHandle(&FCredentials);
          FCredentials = fresh;
        }
      } else {
        return status;
      }
    }
    return -2;
  }

  // Encrypts and sends aText in records of at most cbMaximumMessage octets.
  SECURITY_STATUS Send(const std::string& aText) {
    SecPkgContext_StreamSizes sizes{};
    SECURITY_STATUS status = QueryContextAttributesW(&FContext, SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (status != SEC_E_OK) return status;
    std::vector<uint8_t> record(sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer);
    for (size_t done = 0; done < aText.size();) {
      const size_t chunk = std::min<size_t>(aText.size() - done, sizes.cbMaximumMessage);
      std::memcpy(record.data() + sizes.cbHeader, aText.data() + done, chunk);
      SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                              {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + sizes.cbHeader},
                              {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + chunk},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
      status = EncryptMessage(&FContext, 0, &message, 0);
      if (status != SEC_E_OK) return status;
      const size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
      if (send(FSocket, record.data(), total, MSG_NOSIGNAL) != static_cast<ssize_t>(total)) return -1;
      done += chunk;
    }
    return SEC_E_OK;
  }

  // Decrypts records until aCount octets of data arrived or a status other
  // than SEC_E_OK ends it; that status (or -1 for a socket failure).
  SECURITY_STATUS Read(std::string& aData, size_t aCount) {
    for (int step = 0; step < 100000 && aData.size() < aCount; ++step) {
      SECURITY_STATUS status = DecryptOne(aData);
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        if (!Receive()) return -1;
      } else if (status != SEC_E_OK) {
        return status;
      }
    }
    return SEC_E_OK;
  }

  SECURITY_STATUS DecryptOne(std::string& aData) {
    SecBuffer buffers[4] = {{static_cast<ULONG>(FReceived.size()), SECBUFFER_DATA, FReceived.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&FContext, &message, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return status;
    size_t extra = 0;
    for (int i = 1; i < 4; ++i) {
      if (buffers[i].BufferType == SECBUFFER_DATA) {
        aData.append(static_cast<char*>(buffers[i].pvBuffer), buffers[i].cbBuffer);
      }
      if (buffers[i].BufferType == SECBUFFER_EXTRA) extra = buffers[i].cbBuffer;
    }
    if (status >= 0) FReceived.erase(FReceived.begin(), FReceived.end() - extra);
    return status;
  }

  // One recv appended to the received octets.
  bool Receive() {
    uint8_t chunk[65536];
    const ssize_t n = recv(FSocket, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    FReceived.insert(FReceived.end(), chunk, chunk + n);
    return true;
  }

  std::vector<uint8_t>& Received() { return FReceived; }
  int Socket() const { return FSocket; }
  PCtxtHandle Context() { return &FContext; }

  int IncompleteCredentials = 0;
  std::vector<std::vector<uint8_t>> Issuers;

 private:
  void SendToken(SecBuffer& aToken) {
    if (aToken.pvBuffer && aToken.cbBuffer > 0) {
      send(FSocket, aToken.pvBuffer, aToken.cbBuffer, MSG_NOSIGNAL);
    }
    FreeContextBuffer(aToken.pvBuffer);
    aToken.pvBuffer = nullptr;
  }

  ClientOptions FOptions;
  int FSocket;
  CredHandle FCredentials{};
  CtxtHandle FContext{};
  bool FHaveCredentials = false;
  bool FHaveContext = false;
  std::vector<uint8_t> FReceived;
};

std::string Alpn(PCtxtHandle aContext) {
  SecPkgContext_ApplicationProtocol protocol{};
  if (QueryContextAttributesW(aContext, SECPKG_ATTR_APPLICATION_PROTOCOL, &protocol) != SEC_E_OK ||
      protocol.ProtoNegoStatus != SecApplicationProtocolNegotiationStatus_Success) {
    return "";
  }
  return std::string(reinterpret_cast<char*>(protocol.ProtocolId), protocol.ProtocolIdSize);
}

// A certificate with its key from a PKCS#12 fixture; the caller frees it.
PCCERT_CONTEXT ClientCertificate(const std::string& aFile = "client.p12", const char16_t* aPassword = u"secret") {
  std::string data = ReadFile(FixturePath(aFile));
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(data.size()), reinterpret_cast<BYTE*>(data.data())};
  HCERTSTORE store = PFXImportCertStore(&blob, aPassword, 0);
  if (!store) return nullptr;
  PCCERT_CONTEXT certificate = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                          CERT_FIND_ANY, nullptr, nullptr);
  CertCloseStore(store, 0);
  return certificate;
}

std::vector<uint8_t> SubjectDer(const std::string& aCertFile) {
  BIO* bio = BIO_new_file(aCertFile.c_str(), "r");
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  std::vector<uint8_t> der(i2d_X509_NAME(X509_get_subject_name(cert), nullptr));
  uint8_t* p = der.data();
  i2d_X509_NAME(X509_get_subject_name(cert), &p);
  X509_free(cert);
  return der;
}

class SspiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("openssl")) GTEST_SKIP() << "openssl command line program is missing";
  }
};

struct VersionCase {
  const char* Name;
  DWORD Protocols;
  const char* ServerFlag;
  size_t LargestRecordBody;
};

class SspiVersionTest : public SspiTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(SspiVersionTest, HandshakeAlpnSizesAndDataBothWays) {
  const VersionCase& version = GetParam();
  SServer server({"-alpn", "h2", version.ServerFlag});
  Client client(server.Host(), server.Port(), {.Protocols = version.Protocols});
  ASSERT_EQ(client.Handshake(), SEC_E_OK);
  EXPECT_EQ(Alpn(client.Context()), "h2");

  SecPkgContext_ConnectionInfo info{};
  ASSERT_EQ(QueryContextAttributesW(client.Context(), SECPKG_ATTR_CONNECTION_INFO, &info), SEC_E_OK);
  EXPECT_EQ(info.dwProtocol, version.Protocols);
  EXPECT_EQ(info.aiExch, CALG_ECDH_EPHEM);
  EXPECT_GE(info.dwCipherStrength, 128u);

  SecPkgContext_StreamSizes sizes{};
  ASSERT_EQ(QueryContextAttributesW(client.Context(), SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_OK);
  EXPECT_EQ(sizes.cbHeader, 5u);
  EXPECT_EQ(sizes.cbMaximumMessage, 16384u);
  EXPECT_EQ(sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer, 5 + version.LargestRecordBody);

  PCCERT_CONTEXT remote = nullptr;
  ASSERT_EQ(QueryContextAttributesW(client.Context(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote), SEC_E_OK);
  ASSERT_NE(remote, nullptr);
  EXPECT_EQ(ReadFile(FixturePath("server.crt")).empty(), false);
  CertFreeCertificateContext(remote);

  ASSERT_EQ(client.Send("0ping\n"), SEC_E_OK);
  EXPECT_TRUE(server.WaitOutput("0ping"));
  server.Send("0pong\n");
  std::string data;
  ASSERT_EQ(client.Read(data, 6), SEC_E_OK);
  EXPECT_EQ(data, "0pong\n");
}

INSTANTIATE_TEST_SUITE_P(Versions, SspiVersionTest,
                         ::testing::Values(VersionCase{"tls1_2", SP_PROT_TLS1_2_CLIENT, "-tls1_2", 16384 + 2048},
                                           VersionCase{"tls1_3", SP_PROT_TLS1_3_CLIENT, "-tls1_3", 16384 + 256}),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

TEST_F(SspiTest, NoAlpnOfferedNoneAgreedAndMismatchIsFatal) {
  SServer server({"-alpn", "h2"});
  {
    Client client(server.Host(), server.Port(), {.Alpn = {}});
    ASSERT_EQ(client.Handshake(), SEC_E_OK);
    EXPECT_EQ(Alpn(client.Context()), "");
  }
  Client client(server.Host(), server.Port(), {.Alpn = {"http/1.1"}});
  EXPECT_EQ(client.Handshake(), SEC_E_ILLEGAL_MESSAGE);  // no_application_protocol alert
}

TEST_F(SspiTest, RecordsAreCutExactlyAndPartialRecordsConsumeNothing) {
  SServer server({"-tls1_2"});
  Client client(server.Host(), server.Port(), {.Protocols = SP_PROT_TLS1_2_CLIENT});
  ASSERT_EQ(client.Handshake(), SEC_E_OK);
  ASSERT_TRUE(client.Received().empty());
  // Three lines, three records, gathered raw before any is decrypted.
  size_t waiting = 0;
  for (const char* line : {"01\n", "02\n", "03\n"}) {
    server.Send(line);
    waiting = WaitForMoreOctets(client.Socket(), waiting);
  }
  for (int i = 0; i < 50 && client.Received().size() < 3 * (5 + 3 + 8 + 16); ++i) ASSERT_TRUE(client.Receive());
  const std::vector<uint8_t> all = client.Received();
  const size_t first = 5 + (size_t{all[3]} << 8 | all[4]);
  ASSERT_GT(all.size(), first);

  // The first record octet by octet: nothing is consumed until it is whole.
  std::string data;
  for (size_t length = 1; length < first; ++length) {
    client.Received().assign(all.begin(), all.begin() + length);
    ASSERT_EQ(client.DecryptOne(data), SEC_E_INCOMPLETE_MESSAGE) << length;
    ASSERT_EQ(client.Received().size(), length);
  }
  // Whole records: one per call, the rest returned as EXTRA.
  client.Received() = all;
  ASSERT_EQ(client.DecryptOne(data), SEC_E_OK);
  EXPECT_EQ(data, "01\n");
  EXPECT_EQ(client.Received().size(), all.size() - first);
  ASSERT_EQ(client.Read(data, 9), SEC_E_OK);
  EXPECT_EQ(data, "01\n02\n03\n");
  EXPECT_TRUE(client.Received().empty());
}

TEST_F(SspiTest, KeyUpdateIsAnsweredBeforeTheNextRecord) {
  SServer server({"-tls1_3", "-msg"});
  Client client(server.Host(), server.Port(), {.Protocols = SP_PROT_TLS1_3_CLIENT});
  ASSERT_EQ(client.Handshake(), SEC_E_OK);
  // Session tickets are read first, so that the next octets are the key update.
  std::string data;
  server.Send("0ready\n");
  ASSERT_EQ(client.Read(data, 7), SEC_E_OK);
  data.clear();
  server.Send("K\n");  // KeyUpdate, update requested
  WaitForMoreOctets(client.Socket(), PendingOctets(client.Socket()));  // it travels alone
  server.Send("0after\n");
  ASSERT_EQ(client.Read(data, 7), SEC_E_OK);
  EXPECT_EQ(data, "0after\n");
  ASSERT_EQ(client.Send("0reply\n"), SEC_E_OK);
  ASSERT_TRUE(server.WaitOutput("0reply"));
  const std::string output = server.Output();
  const size_t answer = output.find("<<< TLS 1.3, Handshake [length 0005], KeyUpdate");
  ASSERT_NE(answer, std::string::npos) << output;
  EXPECT_LT(answer, output.find("0reply"));
}

TEST_F(SspiTest, RenegotiationRequestIsRefused) {
  SServer server({"-tls1_2"});
  Client client(server.Host(), server.Port(), {.Protocols = SP_PROT_TLS1_2_CLIENT});
  ASSERT_EQ(client.Handshake(), SEC_E_OK);
  server.Send("R\n");
  std::string data;
  EXPECT_EQ(client.Read(data, 1), SEC_I_RENEGOTIATE);
  EXPECT_EQ(data, "");
}

TEST_F(SspiTest, FlippedOctetFailsTheRecordAndEveryLaterCall) {
  SServer server({"-tls1_2"});
  Client client(server.Host(), server.Port(), {.Protocols = SP_PROT_TLS1_2_CLIENT});
  ASSERT_EQ(client.Handshake(), SEC_E_OK);
  server.Send("0secret\n");
  ASSERT_TRUE(client.Receive());
  ASSERT_GT(client.Received().size(), 20u);
  client.Received()[15] ^= 0x01;
  std::string data;
  EXPECT_EQ(client.DecryptOne(data), SEC_E_DECRYPT_FAILURE);
  EXPECT_EQ(client.DecryptOne(data), SEC_E_DECRYPT_FAILURE);
  EXPECT_EQ(client.Send("x"), SEC_E_DECRYPT_FAILURE);
  EXPECT_EQ(data, "");
}

struct ClientCertCase {
  const char* Name;
  DWORD Protocols;
  const char* ServerFlag;
};

class SspiClientCertTest : public SspiTest, public ::testing::WithParamInterface<ClientCertCase> {};

TEST_P(SspiClientCertTest, CertificateRequestStopsOnceWithTheIssuerList) {
  const ClientCertCase& version = GetParam();
  SServer server({"-Verify", "1", "-CAfile", FixturePath("ca.crt"), "-verify_return_error", version.ServerFlag});
  Client client(server.Host(), server.Port(),
                {.Protocols = version.Protocols, .OnCertificateRequest = [] { return ClientCertificate(); }});
  ASSERT_EQ(client.Handshake(), SEC_E_OK);
  EXPECT_EQ(client.IncompleteCredentials, 1);
  ASSERT_EQ(client.Issuers.size(), 1u);
  EXPECT_EQ(client.Issuers[0], SubjectDer(FixturePath("ca.crt")));
  ASSERT_EQ(client.Send("0with cert\n"), SEC_E_OK);
  ASSERT_TRUE(server.WaitOutput("0with cert"));
  EXPECT_NE(server.Output().find("test client"), std::string::npos);
}

TEST_P(SspiClientCertTest, GoingOnWithoutACertificateEndsWithTheServersAlert) {
  const ClientCertCase& version = GetParam();
  SServer server({"-Verify", "1", "-CAfile", FixturePath("ca.crt"), "-verify_return_error", version.ServerFlag});
  Client client(server.Host(), server.Port(), {.Protocols = version.Protocols});
  SECURITY_STATUS status = client.Handshake();
  EXPECT_EQ(client.IncompleteCredentials, 1);
  if (status == SEC_E_OK) {
    // TLS 1.3: the client is done before the server has judged its certificate.
    std::string data;
    status = client.Read(data, 1);
  }
  EXPECT_EQ(status, SEC_E_ILLEGAL_MESSAGE);
}

INSTANTIATE_TEST_SUITE_P(Versions, SspiClientCertTest,
                         ::testing::Values(ClientCertCase{"tls1_2", SP_PROT_TLS1_2_CLIENT, "-tls1_2"},
                                           ClientCertCase{"tls1_3", SP_PROT_TLS1_3_CLIENT, "-tls1_3"}),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

TEST_F(SspiTest, AlgorithmListChoosesTheCipher) {
  struct Case {
    std::vector<ALG_ID> Algorithms{};
    SECURITY_STATUS Acquired;
    ALG_ID Cipher;
  };
  const Case cases[] = {{{CALG_AES_128}, SEC_E_OK, CALG_AES_128},
                        {{CALG_AES_256, 0x1234}, SEC_E_OK, CALG_AES_256},
                        {{CALG_AES_128, CALG_SHA_256, CALG_ECDH_EPHEM}, SEC_E_OK, CALG_AES_128},
                        {{CALG_RC4}, SEC_E_ALGORITHM_MISMATCH, 0}};
  SServer server({"-tls1_2"});
  for (const Case& c : cases) {
    Client client(server.Host(), server.Port(), {.Protocols = SP_PROT_TLS1_2_CLIENT, .Algorithms = c.Algorithms});
    ASSERT_EQ(client.Handshake(), c.Acquired) << c.Cipher;
    if (c.Acquired != SEC_E_OK) continue;
    SecPkgContext_ConnectionInfo info{};
    ASSERT_EQ(QueryContextAttributesW(client.Context(), SECPKG_ATTR_CONNECTION_INFO, &info), SEC_E_OK);
    EXPECT_EQ(info.aiCipher, c.Cipher);
  }
}

TEST_F(SspiTest, WithoutManualValidationTheServerIsCheckedByName) {
  TempDir dir;
  const CertFiles selfSigned = MakeCert(dir, "self", {.SelfSigned = true});
  setenv("SSL_CERT_FILE", FixturePath("ca.crt").c_str(), 1);
  struct Case {
    CertFiles Server;
    std::string Target;
    SECURITY_STATUS Expected;
  };
  const Case cases[] = {{{}, "localhost", SEC_E_OK},
                        {{}, "127.0.0.1", SEC_E_OK},
                        {{}, "otherhost", SEC_E_WRONG_PRINCIPAL},
                        {selfSigned, "localhost", SEC_E_UNTRUSTED_ROOT}};
  for (const Case& c : cases) {
    SServer server({}, "127.0.0.1", c.Server);
    Client client(server.Host(), server.Port(), {.Flags = SCH_CRED_NO_DEFAULT_CREDS, .Target = c.Target});
    EXPECT_EQ(client.Handshake(), c.Expected) << c.Target;
  }
  unsetenv("SSL_CERT_FILE");
}

TEST_F(SspiTest, LargeTransferFromNginxEndsWithCloseNotify) {
  if (!HaveProgram("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is missing";
  Nginx nginx(false, 3 << 20);
  Client client("127.0.0.1", nginx.Port(), {.Alpn = {"http/1.1"}});
  ASSERT_EQ(client.Handshake(), SEC_E_OK);
  EXPECT_EQ(Alpn(client.Context()), "http/1.1");
  ASSERT_EQ(client.Send("GET /big.bin HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"), SEC_E_OK);
  std::string data;
  const SECURITY_STATUS status = client.Read(data, SIZE_MAX);
  EXPECT_EQ(status, SEC_I_CONTEXT_EXPIRED);
  EXPECT_EQ(client.DecryptOne(data), SEC_I_CONTEXT_EXPIRED);  // for good
  const size_t body = data.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_TRUE(data.substr(body + 4) == ReadFile(nginx.BigFile()));
}

}  // namespace
