#include "tools/apns-mock/tls_context.h"

#include <openssl/err.h>

#include <stdexcept>

namespace apns_mock {
namespace {

constexpr unsigned char kSessionIdContext[] = "apns-mock";

[[noreturn]] void Fail(const std::string& what) {
  const unsigned long code = ERR_get_error();
  std::string message = what;
  if (code != 0) {
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    message += ": ";
    message += reason;
  }
  ERR_clear_error();
  throw std::runtime_error(message);
}

// Picks "h2" from the client's list; a client that offers ALPN without "h2"
// gets a no_application_protocol alert.
int SelectH2(SSL*, const unsigned char** out, unsigned char* out_length, const unsigned char* in,
             unsigned int in_length, void*) {
  for (unsigned int i = 0; i < in_length;) {
    const unsigned int length = in[i];
    if (i + 1 + length > in_length) break;
    if (length == 2 && in[i + 1] == 'h' && in[i + 2] == '2') {
      *out = in + i + 1;
      *out_length = 2;
      return SSL_TLSEXT_ERR_OK;
    }
    i += 1 + length;
  }
  return SSL_TLSEXT_ERR_ALERT_FATAL;
}

}  // namespace

SslCtxPtr MakeServerTlsContext(const std::string& cert_file, const std::string& key_file,
                               const std::string& client_ca_file) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) Fail("cannot create a TLS context");
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION);
  SSL_CTX_set_options(
      ctx.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // HTTP/2 forbids the TLS 1.2 suites without forward secrecy or AEAD.
  if (SSL_CTX_set_cipher_list(ctx.get(), "ECDHE+AESGCM:ECDHE+CHACHA20") != 1)
    Fail("cannot set the TLS 1.2 cipher list");
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_alpn_select_cb(ctx.get(), SelectH2, nullptr);

  if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert_file.c_str()) != 1)
    Fail("cannot use certificate file \"" + cert_file + "\"");
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), key_file.c_str(), SSL_FILETYPE_PEM) != 1)
    Fail("cannot use key file \"" + key_file + "\"");
  if (SSL_CTX_check_private_key(ctx.get()) != 1)
    Fail("key \"" + key_file + "\" does not match certificate \"" + cert_file + "\"");

  if (!client_ca_file.empty()) {
    if (SSL_CTX_load_verify_locations(ctx.get(), client_ca_file.c_str(), nullptr) != 1)
      Fail("cannot use client CA file \"" + client_ca_file + "\"");
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(client_ca_file.c_str());
    if (!names) Fail("no CA certificate in \"" + client_ca_file + "\"");
    SSL_CTX_set_client_CA_list(ctx.get(), names);  // takes ownership
    // Ask for a certificate but let connections without one through: those
    // authenticate with bearer tokens. A certificate that is sent must verify.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_id_context(ctx.get(), kSessionIdContext, sizeof kSessionIdContext - 1);
  }
  return ctx;
}

}  // namespace apns_mock
