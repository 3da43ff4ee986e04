// The service's log: one line per event on standard error, with the UTC
// time. Callers never pass secrets or request bodies.
#pragma once

#include <cstdint>
#include <string>

namespace apns_pushd {

void Log(const std::string& aLine);

// Milliseconds since the epoch, for outcome times.
int64_t NowMs();

}  // namespace apns_pushd
