// Environment variables for the length of a test, and OpenSSL's default
// trust anchors pointed at a test bundle through them.
#pragma once

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace apns_test {

// Sets environment variables for its life; each goes back to what it was
// (unset again when it was not set).
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment();

  void Set(const char* aName, const std::string& aValue);

 private:
  struct Saved {
    const char* Name;
    std::string Value;
    bool WasSet;
  };
  std::vector<Saved> FSaved;
};

// For its life, OpenSSL's default trust anchors are a test bundle (the
// fixtures' other-ca.crt, then ca.crt) and an empty hashed folder, through
// SSL_CERT_FILE and SSL_CERT_DIR.
class TestDefaultAnchors {
 public:
  TestDefaultAnchors();
  // The bundle's path: a test may write another bundle there.
  const std::string& Bundle() const { return FBundle; }

 private:
  TempDir FDir;
  std::string FBundle;
  ScopedEnvironment FEnvironment;
};

}  // namespace apns_test
