#include "tests/support/environment.h"

#include <cstdlib>
#include <filesystem>

#include "tests/support/fixtures.h"

namespace apns_test {

ScopedEnvironment::~ScopedEnvironment() {
  for (auto it = FSaved.rbegin(); it != FSaved.rend(); ++it) {
    if (it->WasSet)
      setenv(it->Name, it->Value.c_str(), 1);
    else
      unsetenv(it->Name);
  }
}

void ScopedEnvironment::Set(const char* aName, const std::string& aValue) {
  const char* old = std::getenv(aName);
  FSaved.push_back({aName, old ? std::string(old) : std::string(), old != nullptr});
  setenv(aName, aValue.c_str(), 1);
}

TestDefaultAnchors::TestDefaultAnchors() : FDir("apns-anchors"), FBundle(FDir.File("bundle.pem")) {
  WriteFile(FBundle, ReadFile(FixturePath("other-ca.crt")) + ReadFile(FixturePath("ca.crt")));
  const std::string emptyFolder = FDir.File("certs");
  std::filesystem::create_directory(emptyFolder);
  FEnvironment.Set("SSL_CERT_FILE", FBundle);
  FEnvironment.Set("SSL_CERT_DIR", emptyFolder);
}

}  // namespace apns_test
