// Loopback ports for peers that tests start.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace apns_test {

// A port that was free a moment ago on 127.0.0.1 (bound to port 0, read,
// closed); 0 when none was found. Another process may take it before the
// caller binds it, so a peer started on it retries with another port.
uint16_t FreePort();

// Whether something accepts connections on 127.0.0.1:aPort.
bool PortOpen(uint16_t aPort);

// A blocking TCP connection to aHost:aPort (an IPv4 literal or "localhost")
// with receive and send time-outs of aTimeout and Nagle off; -1 on failure.
int ConnectTcp(const std::string& aHost, uint16_t aPort,
               std::chrono::milliseconds aTimeout = std::chrono::seconds(10));

}  // namespace apns_test
