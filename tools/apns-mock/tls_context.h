// The server's TLS set-up: TLS 1.2 and 1.3, ALPN "h2" only, optional client
// certificates checked against a CA file.
#pragma once

#include <string>

#include "tools/apns-mock/resources.h"

namespace apns_mock {

// Throws std::runtime_error (with OpenSSL's reason) when a file cannot be used.
SslCtxPtr MakeServerTlsContext(const std::string& cert_file, const std::string& key_file,
                               const std::string& client_ca_file);

}  // namespace apns_mock
