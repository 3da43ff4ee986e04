// The server and proxy addresses of the command line.
#pragma once

#include <string>

#include "tls/kfxSocket_Classes_TLS.h"
#include "tcp/kfxSocket_Classes.h"

namespace apns_push {

struct HostPort {
  std::string Host;
  int Port = 0;
};

// "host:port" or "[v6]:port"; the port is required when aDefaultPort is 0.
// aWhat names the text in messages. Faults raise EUsageError.
HostPort ParseHostPort(const std::string& s, int aDefaultPort, const std::string& aWhat);

struct ProxySetting {
  TwsProxy Type = TwsProxy::pxyHTTP;
  HostPort Address;
  std::string User, Password;
};

// "scheme://[user[:password]@]host:port" with scheme http, socks5, socks4 or
// socks4a; user and password may be %-escaped.
ProxySetting ParseProxy(const std::string& aURL);

// "https://host[:port]" with nothing after it; the port defaults to 443.
HostPort ParseServer(const std::string& aURL);

}  // namespace apns_push
