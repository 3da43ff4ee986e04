#include "tests/support/fixtures.h"

namespace apns_test {

std::string FixturePath(std::string_view name) {
  return std::string(APNS_BINARY_DIR) + "/fixtures/" + std::string(name);
}

std::string TLSFixturePath(std::string_view name) {
  return std::string(APNS_TLS_FIXTURES_DIR) + "/" + std::string(name);
}

std::string ApnsMockPath() {
  return APNS_MOCK_PATH;
}

}  // namespace apns_test
