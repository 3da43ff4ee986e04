#include "tests/support/tls_peers.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>

namespace tls_test {
namespace {

constexpr int kStartAttempts = 5;

}  // namespace

SServer::SServer(const std::vector<std::string>& aArgs, const std::string& aHost,
                 const CertFiles& aCert)
    : FHost(aHost) {
  const std::string cert = aCert.Cert.empty() ? FixturePath("server.crt") : aCert.Cert;
  const std::string key = aCert.Key.empty() ? FixturePath("server.key") : aCert.Key;
  if (!Start(aArgs, cert, key, true, 10s))
    throw std::runtime_error("s_server did not start: " + Errors());
}

SServer::SServer(const std::string& aCert, const std::string& aKey,
                 std::vector<std::string> aOptions, const std::string& aBindHost)
    : FHost(aBindHost) {
  aOptions.insert(aOptions.begin(), "-rev");
  // Standard input stays /dev/null: in "-rev" mode nothing is typed.
  Start(aOptions, aCert, aKey, false, 5s);
}

SServer::~SServer() {
  if (FProcess) FProcess->Stop();
}

bool SServer::Start(const std::vector<std::string>& aArgs, const std::string& aCert,
                    const std::string& aKey, bool aInputPipe, std::chrono::milliseconds aBound) {
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    FPort = FreePort();
    std::vector<std::string> argv{"openssl", "s_server", "-accept",
                                  FHost + ":" + std::to_string(FPort), "-cert", aCert,
                                  "-key", aKey};
    argv.insert(argv.end(), aArgs.begin(), aArgs.end());
    FProcess = std::make_unique<ChildProcess>(argv, FDir.File("out"), FDir.File("err"), aInputPipe);
    // "ACCEPT" on its output, not a connect probe, which would count as a client.
    FReady = WaitOutput("ACCEPT", aBound);
    if (FReady) return true;
    FProcess->Stop();  // the port was taken meanwhile, or the server refused its arguments
  }
  return false;
}

bool SServer::WaitOutput(const std::string& aText, std::chrono::milliseconds aTimeout) const {
  const auto deadline = std::chrono::steady_clock::now() + aTimeout;
  for (;;) {
    if (Output().find(aText) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline || !FProcess->Running()) return false;
    std::this_thread::sleep_for(5ms);
  }
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
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
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
    auto process = std::make_unique<ChildProcess>(
        std::vector<std::string>{kProgram, "-e", d + "/error.log", "-p", d, "-c",
                                 d + "/nginx.conf", "-g", "daemon off;"},
        FDir.File("out"), FDir.File("err"));
    for (int i = 0; i < 500 && process->Running(); ++i) {
      const int s = ConnectTcp("127.0.0.1", FPort, 1s);
      if (s >= 0) {
        close(s);
        FProcess = std::move(process);
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    process->Stop();
  }
  throw std::runtime_error("nginx did not start: " + Errors());
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
