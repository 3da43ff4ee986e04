#include "tests/support/tls_test_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace tls_test {

using namespace std::chrono_literals;

namespace {

// Polls every 10 ms, at most aTimeout, while the process lives.
template <class F>
bool WaitUntil(ChildProcess& aProcess, std::chrono::milliseconds aTimeout, F aReady) {
  const auto end = std::chrono::steady_clock::now() + aTimeout;
  while (std::chrono::steady_clock::now() < end) {
    if (aReady()) return true;
    if (aProcess.Wait(0ms)) return false;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

}  // namespace

SServer::SServer(const std::string& aCert, const std::string& aKey, std::vector<std::string> aOptions,
                 const std::string& aBindHost) {
  FPort = FreePort();
  std::vector<std::string> argv = {"openssl", "s_server", "-accept",
                                   aBindHost + ":" + std::to_string(FPort), "-cert", aCert,
                                   "-key", aKey, "-rev"};
  argv.insert(argv.end(), aOptions.begin(), aOptions.end());
  FProcess.emplace(argv, FDir.File("out"), FDir.File("err"));
  // "ACCEPT" on stdout: a connect probe would count as a client.
  FReady = WaitUntil(*FProcess, 5s, [this] { return Output().find("ACCEPT") != std::string::npos; });
}

SServer::~SServer() {
  if (FProcess) FProcess->Stop();
}

std::string SServer::Output() const { return apns_test::ReadFile(FDir.File("out")); }
std::string SServer::Errors() const { return apns_test::ReadFile(FDir.File("err")); }

bool Nginx::Installed() { return std::filesystem::exists("/usr/sbin/nginx"); }

Nginx::Nginx(bool aVerifyClient) {
  FPort = FreePort();
  const std::string d = FDir.path().string();
  std::filesystem::create_directories(FDir.path() / "tmp");
  std::filesystem::create_directories(FDir.path() / "www");
  apns_test::WriteFile(FDir.File("www/index.html"), "hello\n");
  const std::string port = std::to_string(FPort);
  std::string config = "worker_processes 1;\nerror_log " + d + "/error.log info;\n" +
                       "events { worker_connections 64; }\nhttp {\n    access_log " + d +
                       "/access.log;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    config += std::string("    ") + temp + "_temp_path " + d + "/tmp/" + temp + ";\n";
  config += "    server {\n        listen 127.0.0.1:" + port + " ssl http2;\n" +
            "        ssl_certificate " + FixturePath("server.crt") + ";\n" +
            "        ssl_certificate_key " + FixturePath("server.key") + ";\n" +
            "        ssl_protocols TLSv1.2 TLSv1.3;\n";
  if (aVerifyClient)
    config += "        ssl_client_certificate " + FixturePath("ca.crt") +
              ";\n        ssl_verify_client on;\n";
  config += "        root " + d + "/www;\n    }\n}\n";
  apns_test::WriteFile(FDir.File("nginx.conf"), config);
  FProcess.emplace(std::vector<std::string>{"/usr/sbin/nginx", "-e", d + "/error.log", "-p", d, "-c",
                                            d + "/nginx.conf", "-g",
                                            "daemon off; pid " + d + "/nginx.pid;"},
                   FDir.File("out"), FDir.File("err"));
  FReady = WaitUntil(*FProcess, 5s, [this] {
    const int fd = ConnectTcp("127.0.0.1", FPort);
    if (fd < 0) return false;
    close(fd);
    return true;
  });
}

Nginx::~Nginx() {
  if (FProcess) FProcess->Stop();
}

std::string Nginx::Errors() const { return apns_test::ReadFile(FDir.File("error.log")); }

}  // namespace tls_test
