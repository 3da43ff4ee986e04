// Owning handles for the C resources the server uses: file descriptors and
// OpenSSL / libnghttp2 objects, each released by its own free function.
#pragma once

#include <nghttp2/nghttp2.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace apns_mock {

template <auto FreeFn>
struct FreeWith {
  template <class T>
  void operator()(T* p) const {
    FreeFn(p);
  }
};

inline void FreeOpenSslMemory(unsigned char* p) {
  OPENSSL_free(p);
}

using SslCtxPtr = std::unique_ptr<SSL_CTX, FreeWith<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, FreeWith<SSL_free>>;
using BioPtr = std::unique_ptr<BIO, FreeWith<BIO_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, FreeWith<ECDSA_SIG_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, FreeWith<BN_free>>;
using Nghttp2SessionPtr = std::unique_ptr<nghttp2_session, FreeWith<nghttp2_session_del>>;
using Nghttp2CallbacksPtr =
    std::unique_ptr<nghttp2_session_callbacks, FreeWith<nghttp2_session_callbacks_del>>;
using Nghttp2OptionPtr = std::unique_ptr<nghttp2_option, FreeWith<nghttp2_option_del>>;

// A file descriptor closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace apns_mock
