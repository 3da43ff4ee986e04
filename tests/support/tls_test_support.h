// Helpers for the TLS tests: fixture paths, certificates made on the fly
// with OpenSSL, real peers (openssl s_server, nginx) started on a free
// loopback port and stopped by PID, and a blocking loopback TCP connect.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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
using apns_test::WriteFile;

// A certificate signed by the fixture CA (or self-signed) with a P-256 key.
struct CertSpec {
  std::string CommonName = "localhost";
  std::vector<std::string> DnsNames{"localhost"};
  std::vector<std::string> IpAddresses{"127.0.0.1"};
  std::string ExtendedKeyUsage = "serverAuth";  // empty: none
  long NotBeforeDays = -1;                        // relative to now
  long NotAfterDays = 30;
  bool SelfSigned = false;
};
struct CertFiles {
  std::string Cert;  // PEM
  std::string Key;   // PEM, unencrypted
};
CertFiles MakeCert(const TempDir& aDir, const std::string& aName, const CertSpec& aSpec);

// A PKCS#12 file of a fixture certificate and key, protected by aPassword;
// nullptr makes the variant without any password (not even the empty one).
void MakePkcs12(const std::string& aCertFile, const std::string& aKeyFile, const char* aPassword,
                const std::string& aOutFile);

// openssl s_server on 127.0.0.1 (or aHost) with the given extra arguments,
// ready once it printed ACCEPT. Its standard input is ours: lines sent with
// Send reach the client, or act as its one-letter commands (K, R, q).
class SServer {
 public:
  explicit SServer(const std::vector<std::string>& aArgs, const std::string& aHost = "127.0.0.1",
                   const CertFiles& aCert = {});
  ~SServer() { FProcess->Stop(); }
  uint16_t Port() const { return FPort; }
  const std::string& Host() const { return FHost; }
  void Send(const std::string& aText) { FProcess->WriteInput(aText); }
  std::string Output() const { return ReadFile(FDir.File("out")); }
  // Waits (bounded) until the output contains aText.
  bool WaitOutput(const std::string& aText, std::chrono::milliseconds aTimeout = 5s) const;
  void Stop() { FProcess->Stop(); }

 private:
  TempDir FDir;
  std::string FHost;
  uint16_t FPort = 0;
  std::unique_ptr<ChildProcess> FProcess;
};

// nginx with TLS 1.2 and 1.3, ALPN h2 and http/1.1, serving index.html
// ("hello\n") and big.bin (aBigSize pseudo-random octets) over HTTP/1.1 and
// HTTP/2; with aClientCert it requires a client certificate from the test CA.
class Nginx {
 public:
  explicit Nginx(bool aClientCert = false, size_t aBigSize = 4 << 20);
  ~Nginx();
  uint16_t Port() const { return FPort; }
  std::string BigFile() const { return FDir.File("www/big.bin"); }

 private:
  TempDir FDir;
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
