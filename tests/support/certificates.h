// Certificates and PKCS#12 files made on the fly with OpenSSL, signed by the
// test CA of tests/fixtures/ (or self-signed), for the TLS tests.
#pragma once

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace tls_test {

// A certificate with a P-256 key.
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
// Writes <aName>.crt and <aName>.key into aDir.
CertFiles MakeCert(const apns_test::TempDir& aDir, const std::string& aName, const CertSpec& aSpec);

// A PKCS#12 file of a certificate, its key and the test CA, protected by
// aPassword; nullptr makes the variant without any password (not even the
// empty one).
void MakePkcs12(const std::string& aCertFile, const std::string& aKeyFile, const char* aPassword,
                const std::string& aOutFile);

}  // namespace tls_test
