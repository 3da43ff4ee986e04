#include "tls/kfxBase_Helpers_OpenSSL.h"

#include "platform/sha2/sha2.h"
#include "tls/IdHash.h"
#include "tls/kfxIdSSLOpenSSL.h"

void SetOpenSSLLibraryFolder(const std::string& aFolder) {
  std::lock_guard guard(OpenSSLStartupLock());
  IdOpenSSLSetLibPath(aFolder);
}

namespace {

template <class THash>
TIdBytes Digest(const TIdBytes& aBytes, const char* aName,
                std::vector<uint8_t> (*aFallback)(const void*, size_t)) {
  try {
    BindOpenSSLOnce();
    if (!THash::IsAvailable()) throw Exception(std::string(aName) + " hashing is not available!");
    return THash().HashBytes(aBytes);
  } catch (...) {
    // OpenSSL missing or failing: the platform's digest gives the same
    // bytes, so the caller loses nothing.
    return aFallback(aBytes.data(), aBytes.size());
  }
}

}  // namespace

TIdBytes DigestSHA256(const TIdBytes& aBytes) {
  return Digest<TIdHashSHA256>(aBytes, "SHA256", PlatformSHA256);
}
TIdBytes DigestSHA384(const TIdBytes& aBytes) {
  return Digest<TIdHashSHA384>(aBytes, "SHA384", PlatformSHA384);
}
TIdBytes DigestSHA512(const TIdBytes& aBytes) {
  return Digest<TIdHashSHA512>(aBytes, "SHA512", PlatformSHA512);
}
