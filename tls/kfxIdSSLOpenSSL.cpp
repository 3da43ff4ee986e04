#include "tls/kfxIdSSLOpenSSL.h"

#include <mutex>
#include <vector>

#include "tls/kfxIdSSLOpenSSLHeaders_Entries.h"

using namespace IdOpenSSL;

namespace {

struct TStartupState {
  TkfxCriticalSection Lock;
  bool Started = false;
  // Locks of the 1.0 libraries' locking callback.
  std::vector<std::unique_ptr<std::mutex>> LibraryLocks;
  unsigned long LibraryVersion = 0;
  // The settings of the last failed binding (BindOpenSSLOnce).
  bool BindFailed = false;
  std::string FailedPath;
  TwsOpenSSLAPI FailedAPI = TwsOpenSSLAPI::oslAPI_1_0;
  ~TStartupState() { Stop(); }

  void Stop() {
    std::lock_guard guard(Lock);
    if (CRYPTO_set_locking_callback) CRYPTO_set_locking_callback(nullptr);
    if (RAND_cleanup) RAND_cleanup();
    UnbindOpenSSL();
    LibraryLocks.clear();
    Started = false;
  }
};

TStartupState& State() {
  static TStartupState state;
  return state;
}

void LockingCallback(int aMode, int aIndex, const char*, int) {
  auto& locks = State().LibraryLocks;
  if (aIndex < 0 || static_cast<size_t>(aIndex) >= locks.size()) return;
  if (aMode & CRYPTO_LOCK)
    locks[static_cast<size_t>(aIndex)]->lock();
  else
    locks[static_cast<size_t>(aIndex)]->unlock();
}

}  // namespace

TkfxCriticalSection& OpenSSLStartupLock() { return State().Lock; }

bool StartOpenSSL() {
  TStartupState& state = State();
  std::lock_guard guard(state.Lock);
  if (state.Started) return true;
  if (!BindOpenSSL()) return false;
  if (GetOpenSSLAPIVersion() == TwsOpenSSLAPI::oslAPI_1_0) {
    OpenSSL_add_all_ciphers();
    OpenSSL_add_all_digests();
    if (RAND_screen) RAND_screen();
    SSL_load_error_strings();
    if (SSL_library_init() <= 0) return false;
    const int count = CRYPTO_num_locks();
    state.LibraryLocks.clear();
    for (int i = 0; i < count; ++i) state.LibraryLocks.push_back(std::make_unique<std::mutex>());
    CRYPTO_set_locking_callback(LockingCallback);
  } else {
    state.LibraryVersion = OpenSSL_version_num();
  }
  state.Started = true;
  return true;
}

void StopOpenSSL() { State().Stop(); }

bool BindOpenSSLOnce() {
  TStartupState& state = State();
  std::lock_guard guard(state.Lock);
  if (state.BindFailed && state.FailedPath == GetOpenSSLLibPath() &&
      state.FailedAPI == GetOpenSSLAPIVersion())
    return false;
  const bool ok = BindOpenSSL();
  state.BindFailed = !ok;
  state.FailedPath = GetOpenSSLLibPath();
  state.FailedAPI = GetOpenSSLAPIVersion();
  return ok;
}

unsigned long OpenSSLLibraryVersion() { return State().LibraryVersion; }
