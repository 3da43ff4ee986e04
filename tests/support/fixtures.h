// Paths of the certificates and keys the build generates for the tests
// (tests/fixtures/), and of the programs under test.
#pragma once

#include <string>
#include <string_view>

namespace apns_test {

// A file made by tests/fixtures/make-fixtures.sh, e.g. "ca.crt".
std::string FixturePath(std::string_view name);

// A file made by tests/fixtures/make-tls-fixtures.sh, e.g. "expired.crt".
std::string TLSFixturePath(std::string_view name);

// The apns-mock program of this build.
std::string ApnsMockPath();

}  // namespace apns_test
