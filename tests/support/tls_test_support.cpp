#include "tests/support/tls_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tls_test {
namespace {

struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};

X509* ReadCert(const std::string& aFile) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(aFile.c_str(), "r"));
  if (!bio) throw std::runtime_error("cannot read " + aFile);
  return PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
}

EVP_PKEY* ReadKey(const std::string& aFile) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(aFile.c_str(), "r"));
  if (!bio) throw std::runtime_error("cannot read " + aFile);
  return PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
}

void AddExtension(X509* aCert, X509* aIssuer, int aNid, const std::string& aValue) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, aIssuer, aCert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, aNid, aValue.c_str());
  if (!ext) throw std::runtime_error("bad extension " + aValue);
  X509_add_ext(aCert, ext, -1);
  X509_EXTENSION_free(ext);
}

}  // namespace

CertFiles MakeCert(const TempDir& aDir, const std::string& aName, const CertSpec& aSpec) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  std::random_device random;
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(random() & 0x7FFFFFFF));
  X509_gmtime_adj(X509_getm_notBefore(cert), aSpec.NotBeforeDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(cert), aSpec.NotAfterDays * 86400L);
  X509_set_pubkey(cert, key);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(aSpec.CommonName.c_str()), -1,
                             -1, 0);
  X509* issuer = aSpec.SelfSigned ? cert : ReadCert(FixturePath("ca.crt"));
  EVP_PKEY* issuerKey = aSpec.SelfSigned ? key : ReadKey(FixturePath("ca.key"));
  X509_set_issuer_name(cert, X509_get_subject_name(issuer));
  std::string san;
  for (const auto& dns : aSpec.DnsNames) san += (san.empty() ? "" : ",") + ("DNS:" + dns);
  for (const auto& ip : aSpec.IpAddresses) san += (san.empty() ? "" : ",") + ("IP:" + ip);
  if (!san.empty()) AddExtension(cert, issuer, NID_subject_alt_name, san);
  if (!aSpec.ExtendedKeyUsage.empty()) AddExtension(cert, issuer, NID_ext_key_usage, aSpec.ExtendedKeyUsage);
  AddExtension(cert, issuer, NID_basic_constraints, "CA:FALSE");
  X509_sign(cert, issuerKey, EVP_sha256());

  CertFiles files{aDir.File(aName + ".crt"), aDir.File(aName + ".key")};
  std::unique_ptr<BIO, BioFree> certOut(BIO_new_file(files.Cert.c_str(), "w"));
  PEM_write_bio_X509(certOut.get(), cert);
  std::unique_ptr<BIO, BioFree> keyOut(BIO_new_file(files.Key.c_str(), "w"));
  PEM_write_bio_PrivateKey(keyOut.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  if (!aSpec.SelfSigned) {
    X509_free(issuer);
    EVP_PKEY_free(issuerKey);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return files;
}

void MakePkcs12(const std::string& aCertFile, const std::string& aKeyFile, const char* aPassword,
                const std::string& aOutFile) {
  X509* cert = ReadCert(aCertFile);
  EVP_PKEY* key = ReadKey(aKeyFile);
  STACK_OF(X509)* ca = sk_X509_new_null();
  sk_X509_push(ca, ReadCert(FixturePath("ca.crt")));
  PKCS12* p12 = PKCS12_create(aPassword, "test client", key, cert, ca, 0, 0, 0, 0, 0);
  if (!p12) throw std::runtime_error("PKCS12_create failed");
  std::unique_ptr<BIO, BioFree> out(BIO_new_file(aOutFile.c_str(), "wb"));
  i2d_PKCS12_bio(out.get(), p12);
  PKCS12_free(p12);
  sk_X509_pop_free(ca, X509_free);
  X509_free(cert);
  EVP_PKEY_free(key);
}

SServer::SServer(const std::vector<std::string>& aArgs, const std::string& aHost, const CertFiles& aCert)
    : FHost(aHost) {
  const std::string cert = aCert.Cert.empty() ? FixturePath("server.crt") : aCert.Cert;
  const std::string key = aCert.Key.empty() ? FixturePath("server.key") : aCert.Key;
  for (int attempt = 0; attempt < 5; ++attempt) {
    FPort = FreePort();
    std::vector<std::string> argv{"openssl", "s_server", "-accept", FHost + ":" + std::to_string(FPort),
                                  "-cert", cert, "-key", key};
    argv.insert(argv.end(), aArgs.begin(), aArgs.end());
    FProcess = std::make_unique<ChildProcess>(argv, FDir.File("out"), FDir.File("err"), true);
    if (WaitOutput("ACCEPT", 10s)) return;
    FProcess->Stop();  // the port was taken meanwhile, or the server refused its arguments
  }
  throw std::runtime_error("s_server did not start: " + ReadFile(FDir.File("err")));
}

bool SServer::WaitOutput(const std::string& aText, std::chrono::milliseconds aTimeout) const {
  const auto deadline = std::chrono::steady_clock::now() + aTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Output().find(aText) != std::string::npos) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

Nginx::Nginx(bool aClientCert, size_t aBigSize) {
  std::filesystem::create_directories(FDir.File("www"));
  std::filesystem::create_directories(FDir.File("tmp"));
  WriteFile(FDir.File("www/index.html"), "hello\n");
  std::string big(aBigSize, '\0');
  std::mt19937 random(12345);
  for (auto& c : big) c = static_cast<char>(random());
  WriteFile(FDir.File("www/big.bin"), big);
  const std::string d = FDir.path().string();
  for (int attempt = 0; attempt < 5; ++attempt) {
    FPort = FreePort();
    std::ostringstream conf;
    conf << "worker_processes 1;\nerror_log " << d << "/error.log info;\npid " << d << "/nginx.pid;\n"
         << "events { worker_connections 64; }\nhttp {\n  access_log off;\n"
         << "  client_body_temp_path " << d << "/tmp/body;\n  proxy_temp_path " << d << "/tmp/proxy;\n"
         << "  fastcgi_temp_path " << d << "/tmp/fastcgi;\n  uwsgi_temp_path " << d << "/tmp/uwsgi;\n"
         << "  scgi_temp_path " << d << "/tmp/scgi;\n"
         << "  server {\n    listen 127.0.0.1:" << FPort << " ssl http2;\n"
         << "    ssl_certificate " << FixturePath("server.crt") << ";\n"
         << "    ssl_certificate_key " << FixturePath("server.key") << ";\n"
         << "    ssl_protocols TLSv1.2 TLSv1.3;\n"
         << (aClientCert ? "    ssl_client_certificate " + FixturePath("ca.crt") + ";\n    ssl_verify_client on;\n" : "")
         << "    root " << d << "/www;\n  }\n}\n";
    WriteFile(FDir.File("nginx.conf"), conf.str());
    FProcess = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/nginx", "-e", d + "/error.log", "-p", d, "-c",
                                 d + "/nginx.conf", "-g", "daemon off;"},
        FDir.File("out"), FDir.File("err"));
    for (int i = 0; i < 500 && FProcess->Running(); ++i) {
      const int s = ConnectTcp("127.0.0.1", FPort, 1s);
      if (s >= 0) {
        close(s);
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    FProcess->Stop();
  }
  throw std::runtime_error("nginx did not start: " + ReadFile(FDir.File("error.log")));
}

Nginx::~Nginx() {
  if (FProcess) FProcess->Stop();
}

RelayProxy::RelayProxy(const std::string& aHost, uint16_t aPort) : FHost(aHost), FTargetPort(aPort) {
  FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(FListen, 1);
  getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length);
  FPort = ntohs(address.sin_port);
  FThread = std::thread([this] { Run(); });
}

RelayProxy::~RelayProxy() {
  FStop = true;
  Kill();
  shutdown(FListen, SHUT_RDWR);
  FThread.join();
  close(FListen);
}

void RelayProxy::Kill() {
  if (const int server = FServer.exchange(-1); server >= 0) {
    linger hard{1, 0};
    setsockopt(server, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    shutdown(server, SHUT_RDWR);
  }
  if (const int client = FClient.exchange(-1); client >= 0) shutdown(client, SHUT_RDWR);
}

void RelayProxy::Run() {
  pollfd wait{FListen, POLLIN, 0};
  while (!FStop && poll(&wait, 1, 100) == 0) {
  }
  if (FStop) return;
  const int client = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
  const int server = ConnectTcp(FHost, FTargetPort);
  if (client < 0 || server < 0) {
    if (client >= 0) close(client);
    if (server >= 0) close(server);
    return;
  }
  FClient = client;
  FServer = server;
  const int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char buffer[65536];
  // Bounded: the relay ends with either side, a kill or after ten minutes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
  while (!FStop && std::chrono::steady_clock::now() < deadline) {
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (poll(fds, 2, 100) <= 0) continue;
    if (fds[0].revents) {
      const ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0 || send(server, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
    }
    if (fds[1].revents) {
      const ssize_t n = recv(server, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      const long flip = FFlipAt.load();
      if (flip >= 0) {
        if (flip < n) {
          buffer[flip] ^= 0x01;
          FFlipAt = -1;
        } else {
          FFlipAt = flip - n;
        }
      }
      if (FDribble) {
        for (ssize_t i = 0; i < n && !FStop; ++i) {
          if (send(client, buffer + i, 1, MSG_NOSIGNAL) != 1) break;
          std::this_thread::sleep_for(1ms);
        }
      } else if (send(client, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
        break;
      }
    }
  }
  Kill();
  close(client);
  close(server);
}

size_t PendingOctets(int aSocket) {
  int count = 0;
  ioctl(aSocket, FIONREAD, &count);
  return static_cast<size_t>(std::max(count, 0));
}

size_t WaitForMoreOctets(int aSocket, size_t aBefore, std::chrono::milliseconds aTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + aTimeout;
  size_t now = PendingOctets(aSocket);
  while (now <= aBefore && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
    now = PendingOctets(aSocket);
  }
  return now;
}

}  // namespace tls_test
