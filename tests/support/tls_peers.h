// Real TLS peers on loopback for the TLS tests: openssl s_server and nginx,
// each started on a free port in a folder of its own and stopped by PID,
// and a relay that makes the faults a real server does not make.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/certificates.h"
#include "tests/support/fixtures.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace tls_test {

using namespace std::chrono_literals;
using apns_test::ChildProcess;
using apns_test::ConnectTcp;
using apns_test::FixturePath;
using apns_test::FreePort;
using apns_test::HaveProgram;
using apns_test::ReadFile;
using apns_test::TempDir;
using apns_test::TLSFixturePath;
using apns_test::WriteFile;

// openssl s_server on a free port of aHost.
class SServer {
 public:
  // With aArgs after the certificate (the fixture server certificate unless
  // aCert names one), ready once it printed ACCEPT; throws when it does not
  // start. Its standard input is ours: lines sent with Send reach the
  // client, or act as its one-letter commands (K, R, q).
  explicit SServer(const std::vector<std::string>& aArgs, const std::string& aHost = "127.0.0.1",
                   const CertFiles& aCert = {});
  // In "-rev" mode (each line comes back reversed, "CLOSE" ends the
  // connection) with aCert, aKey and aOptions; Ready() says whether it started.
  SServer(const std::string& aCert, const std::string& aKey, std::vector<std::string> aOptions,
          const std::string& aBindHost = "127.0.0.1");
  ~SServer();
  SServer(const SServer&) = delete;
  SServer& operator=(const SServer&) = delete;

  bool Ready() const { return FReady; }
  uint16_t Port() const { return FPort; }
  const std::string& Host() const { return FHost; }
  void Send(const std::string& aText) { FProcess->WriteInput(aText); }
  std::string Output() const { return ReadFile(FDir.File("out")); }
  std::string Errors() const { return ReadFile(FDir.File("err")); }
  // Waits (bounded) until the output contains aText.
  bool WaitOutput(const std::string& aText, std::chrono::milliseconds aTimeout = 5s) const;
  void Stop() { FProcess->Stop(); }

 private:
  // Starts it on a free port, trying another when the port was taken
  // meanwhile; false when no attempt printed ACCEPT within aBound.
  bool Start(const std::vector<std::string>& aArgs, const std::string& aCert,
             const std::string& aKey, bool aInputPipe, std::chrono::milliseconds aBound);

  TempDir FDir{"tls-test"};
  std::string FHost;
  uint16_t FPort = 0;
  std::unique_ptr<ChildProcess> FProcess;
  bool FReady = false;
};

// nginx with TLS 1.2 and 1.3, ALPN h2 and http/1.1, serving index.html
// ("hello\n") and big.bin (aBigSize pseudo-random octets) over HTTP/1.1 and
// HTTP/2; with aClientCert it requires a client certificate from the test CA.
// Throws when it does not start.
class Nginx {
 public:
  explicit Nginx(bool aClientCert = false, size_t aBigSize = 4 << 20);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  static bool Installed() { return HaveProgram(kProgram); }
  bool Ready() const { return FProcess != nullptr; }
  uint16_t Port() const { return FPort; }
  std::string BigFile() const { return FDir.File("www/big.bin"); }
  std::string Errors() const { return ReadFile(FDir.File("error.log")); }

 private:
  static constexpr const char* kProgram = "/usr/sbin/nginx";
  TempDir FDir{"tls-test"};
  uint16_t FPort = 0;
  std::unique_ptr<ChildProcess> FProcess;
};

// A TCP relay on 127.0.0.1 between one client and aHost:aPort, for faults
// a real server does not make: octets from the server can be passed on one
// at a time, or one of them flipped.
class RelayProxy {
 public:
  RelayProxy(const std::string& aHost, uint16_t aPort);
  ~RelayProxy();
  RelayProxy(const RelayProxy&) = delete;
  RelayProxy& operator=(const RelayProxy&) = delete;
  uint16_t Port() const { return FPort; }
  // From now on the server's octets go out one per send, 1 ms apart.
  void Dribble(bool aOn) { FDribble = aOn; }
  // Flips octet aIndex (counted from now) of what the server sends next.
  void FlipServerOctet(size_t aIndex) { FFlipAt = static_cast<long>(aIndex); }
  // Closes both connections at once (the server's side with a reset).
  void Kill();

 private:
  void Run();
  int FListen = -1;
  uint16_t FPort = 0;
  std::string FHost;
  uint16_t FTargetPort = 0;
  std::atomic<bool> FDribble{false};
  std::atomic<long> FFlipAt{-1};
  std::atomic<bool> FStop{false};
  std::atomic<int> FClient{-1};
  std::atomic<int> FServer{-1};
  std::thread FThread;
};

// The octets waiting unread on a socket.
size_t PendingOctets(int aSocket);
// Waits (bounded) until more than aBefore octets wait unread on aSocket, so
// that what a peer sends next is sure to travel separately; the count then.
size_t WaitForMoreOctets(int aSocket, size_t aBefore, std::chrono::milliseconds aTimeout = 5s);

}  // namespace tls_test
