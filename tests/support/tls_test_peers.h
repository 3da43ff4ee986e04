// Real TLS peers for the OpenSSL tests: openssl s_server and nginx started on
// a free loopback port in a folder of their own, stopped by PID.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/apns_mock_harness.h"

namespace tls_test {

using apns_test::ChildProcess;
using apns_test::FixturePath;
using apns_test::TLSFixturePath;
using apns_test::TempDir;

using apns_test::ConnectTcp;
using apns_test::FreePort;

// openssl s_server in "-rev" mode (each line comes back reversed, "CLOSE"
// ends the connection), with the given certificate and further options.
class SServer {
 public:
  SServer(const std::string& aCert, const std::string& aKey, std::vector<std::string> aOptions,
          const std::string& aBindHost = "127.0.0.1");
  ~SServer();
  bool Ready() const { return FReady; }
  uint16_t Port() const { return FPort; }
  std::string Output() const;
  std::string Errors() const;

 private:
  TempDir FDir;
  uint16_t FPort = 0;
  std::optional<ChildProcess> FProcess;
  bool FReady = false;
};

// nginx serving HTTP/2 over TLS 1.2 and 1.3 with the fixture server
// certificate; optionally requiring a client certificate from the test CA.
class Nginx {
 public:
  explicit Nginx(bool aVerifyClient = false);
  ~Nginx();
  bool Ready() const { return FReady; }
  uint16_t Port() const { return FPort; }
  std::string Errors() const;
  static bool Installed();

 private:
  TempDir FDir;
  uint16_t FPort = 0;
  std::optional<ChildProcess> FProcess;
  bool FReady = false;
};

}  // namespace tls_test
