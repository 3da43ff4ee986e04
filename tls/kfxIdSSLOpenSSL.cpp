#include "tls/kfxIdSSLOpenSSL.h"

#include <arpa/inet.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include <sys/random.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <map>

#include "platform/sha2/sha2.h"
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
  // OpenSSL writes to its sockets without MSG_NOSIGNAL: a write to a peer
  // that has gone (a close-notify after a reset) would raise SIGPIPE and end
  // the program. The failed write is reported as an error instead.
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
  }
  // The start-up of the generation that was bound, which for level 1.0 may
  // be 1.1 or later (GetOpenSSLBoundAPIVersion).
  if (GetOpenSSLBoundAPIVersion() == TwsOpenSSLAPI::oslAPI_1_0) {
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

// ===================== Options =====================

const std::vector<std::string> IdSSLVersionNames{"sslvSSLv2",   "sslvSSLv23",  "sslvSSLv3",
                                                 "sslvTLSv1",   "sslvTLSv1_1", "sslvTLSv1_2",
                                                 "sslvTLSv1_3"};
const std::vector<std::string> IdSSLModeNames{"sslmUnassigned", "sslmClient", "sslmServer",
                                              "sslmBoth"};
namespace {
const std::vector<std::string> kVerifyModeNames{"sslvrfPeer", "sslvrfFailIfNoPeerCert",
                                                "sslvrfClientOnce"};

constexpr TIdSSLVersion kAllVersions[] = {
    TIdSSLVersion::sslvSSLv2,   TIdSSLVersion::sslvSSLv23,  TIdSSLVersion::sslvSSLv3,
    TIdSSLVersion::sslvTLSv1,   TIdSSLVersion::sslvTLSv1_1, TIdSSLVersion::sslvTLSv1_2,
    TIdSSLVersion::sslvTLSv1_3};

TIdSSLVersions AllButSSLv23() {
  TIdSSLVersions set;
  for (TIdSSLVersion v : kAllVersions)
    if (v != TIdSSLVersion::sslvSSLv23) set.Include(v);
  return set;
}

// A set as "[name,name]" for stored descriptions.
template <class E>
std::string SetToText(TSet<E> aSet, const std::vector<std::string>& aNames) {
  std::string text;
  for (size_t i = 0; i < aNames.size(); ++i)
    if (aSet.Contains(static_cast<E>(i))) text += (text.empty() ? "" : ",") + aNames[i];
  return "[" + text + "]";
}
template <class E>
TSet<E> TextToSet(const std::string& aText, const std::vector<std::string>& aNames) {
  std::string inner = Trim(aText);
  if (!inner.empty() && inner.front() == '[') inner.erase(0, 1);
  if (!inner.empty() && inner.back() == ']') inner.pop_back();
  TSet<E> set;
  size_t start = 0;
  while (start <= inner.size()) {
    const size_t comma = std::min(inner.find(',', start), inner.size());
    const std::string item = Trim(inner.substr(start, comma - start));
    if (!item.empty()) {
      size_t i = 0;
      while (i < aNames.size() && !SameText(aNames[i], item)) ++i;
      if (i == aNames.size()) throw EConvertError("Invalid property value '" + aText + "'");
      set.Include(static_cast<E>(i));
    }
    start = comma + 1;
  }
  return set;
}
}  // namespace

void TIdSSLOptions::SetMethod(TIdSSLVersion aValue) {
  FMethod = aValue;
  FSSLVersions = aValue == TIdSSLVersion::sslvSSLv23 ? AllButSSLv23() : TIdSSLVersions{aValue};
}

void TIdSSLOptions::SetSSLVersions(TIdSSLVersions aValue) {
  int count = 0;
  TIdSSLVersion single = TIdSSLVersion::sslvSSLv23;
  for (TIdSSLVersion v : kAllVersions)
    if (aValue.Contains(v)) {
      ++count;
      single = v;
    }
  if (count == 1 && single != TIdSSLVersion::sslvSSLv23) {
    FSSLVersions = aValue;
    FMethod = single;
    return;
  }
  FMethod = TIdSSLVersion::sslvSSLv23;
  if (aValue == TIdSSLVersions{TIdSSLVersion::sslvSSLv23})
    FSSLVersions = AllButSSLv23();
  else
    FSSLVersions = aValue - TIdSSLVersions{TIdSSLVersion::sslvSSLv23};
}

// Method and SSLVersions are copied through their setters, Method first: the
// setters keep the two consistent.
const TPersistentFields<TIdSSLOptions>& TIdSSLOptions::Fields() {
  using C = TIdSSLOptions;
  static const auto fields =
      TPersistentFields<C>()
          .Field("RootCertFile", &C::RootCertFile)
          .Field("CertFile", &C::CertFile)
          .Field("KeyFile", &C::KeyFile)
          .Field("DHParamsFile", &C::DHParamsFile)
          .Custom([](C& aDest, const C& aSource) { aDest.SetMethod(aSource.FMethod); },
                  [](C& aObject) {
                    return PublishEnum<TIdSSLVersion>(
                        "Method", IdSSLVersionNames, [&aObject] { return aObject.FMethod; },
                        [&aObject](TIdSSLVersion v) { aObject.SetMethod(v); });
                  })
          .Custom([](C& aDest, const C& aSource) { aDest.SetSSLVersions(aSource.FSSLVersions); },
                  [](C& aObject) {
                    return PublishString(
                        "SSLVersions",
                        [&aObject] { return SetToText(aObject.FSSLVersions, IdSSLVersionNames); },
                        [&aObject](const std::string& t) {
                          aObject.SetSSLVersions(TextToSet<TIdSSLVersion>(t, IdSSLVersionNames));
                        });
                  })
          .Enum("Mode", IdSSLModeNames, &C::Mode)
          .Custom([](C& aDest, const C& aSource) { aDest.VerifyMode = aSource.VerifyMode; },
                  [](C& aObject) {
                    return PublishString(
                        "VerifyMode", [&aObject] { return SetToText(aObject.VerifyMode, kVerifyModeNames); },
                        [&aObject](const std::string& t) {
                          aObject.VerifyMode = TextToSet<TIdSSLVerifyMode>(t, kVerifyModeNames);
                        });
                  })
          .Field("VerifyDepth", &C::VerifyDepth)
          .Field("VerifyDirs", &C::VerifyDirs)
          .Field("CipherList", &C::CipherList);
  return fields;
}

void TIdSSLOptions::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TIdSSLOptions::GetPublishedProperties(TPublishedProperties& aList) {
  TPersistent::GetPublishedProperties(aList);
  Fields().Publish(*this, aList);
}

// ===================== Callbacks =====================

namespace {

struct TCallbackLocks {
  TkfxCriticalSection Status, Password, Verify;
};
TCallbackLocks& CallbackLocks() {
  static TCallbackLocks locks;
  return locks;
}

// Keeps the thread's last socket error across a callback.
class TErrnoKeeper {
 public:
  TErrnoKeeper() : FSaved(errno) {}
  ~TErrnoKeeper() { errno = FSaved; }

 private:
  int FSaved;
};

int PasswordCallback(char* buf, int size, int rwflag, void* userdata) {
  TErrnoKeeper keeper;
  if (!buf || size <= 0) return 0;
  std::string password;
  {
    std::lock_guard guard(CallbackLocks().Password);
    auto* context = static_cast<TIdSSLContext*>(userdata);
    try {
      if (context) password = context->PasswordForLoading(rwflag > 0);
    } catch (...) {
      // Nothing may unwind through OpenSSL. Without a password the file
      // does not load, which the context reports ("check password").
      password.clear();
    }
  }
  std::memset(buf, 0, static_cast<size_t>(size));
  const size_t copied = std::min(password.size(), static_cast<size_t>(size) - 1);
  std::memcpy(buf, password.data(), copied);
  buf[size - 1] = 0;
  return static_cast<int>(copied);
}

TIdSSLSocket* SocketOf(const ssl_st* aSSL) {
  if (!aSSL || !SSL_get_ex_data) return nullptr;
  return static_cast<TIdSSLSocket*>(SSL_get_ex_data(aSSL, 0));
}

int VerifyCallback(int ok, PX509_STORE_CTX ctx) {
  std::lock_guard guard(CallbackLocks().Verify);
  PSSL ssl = nullptr;
  if (SSL_get_ex_data_X509_STORE_CTX_idx && X509_STORE_CTX_get_ex_data)
    ssl = static_cast<PSSL>(X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
  TIdSSLSocket* socket = SocketOf(ssl);
  // Without a handler that decides, the library's verdict stands.
  if (!socket || !socket->Parent()) return ok;
  try {
    TIdX509 certificate(X509_STORE_CTX_get_current_cert(ctx), false);
    const int error = X509_STORE_CTX_get_error(ctx);
    const int depth = X509_STORE_CTX_get_error_depth(ctx);
    const int maxDepth = socket->fSSLContext ? socket->fSSLContext->VerifyDepth : 0;
    // A depth of 0 leaves the library's own limit in force.
    const bool aok = ok == 1 && (maxDepth <= 0 || depth <= maxDepth);
    return socket->Parent()->VerifyPeer(&certificate, aok, depth, error) ? 1 : 0;
  } catch (...) {
    // Nothing may unwind through OpenSSL; a verifier that failed did not
    // accept the certificate, so the handshake fails.
    return 0;
  }
}

std::string AlertTypeText(int aRet) {
  return SSL_alert_type_string_long ? SSL_alert_type_string_long(aRet) : "";
}

void InfoCallback(const ssl_st* ssl, int where, int ret) {
  TErrnoKeeper keeper;
  std::lock_guard guard(CallbackLocks().Status);
  TIdSSLSocket* socket = SocketOf(ssl);
  if (!socket || !socket->Parent()) return;
  const std::string state = SSL_state_string_long ? SSL_state_string_long(ssl) : "";
  auto exitText = [ret](const char* aPrefix) {
    return std::string(aPrefix) + (ret < 0 ? " Error" : ret > 0 ? " Exit" : " Failed");
  };
  std::string type, message = state;
  switch (where) {
    case SSL_CB_HANDSHAKE_START: type = "Handshake Start"; break;
    case SSL_CB_HANDSHAKE_DONE: type = "Handshake Done"; break;
    case SSL_ST_CONNECT | SSL_CB_LOOP: type = "Connect Loop"; break;
    case SSL_ST_CONNECT | SSL_CB_EXIT: type = exitText("Connect"); break;
    case SSL_ST_ACCEPT | SSL_CB_LOOP: type = "Accept Loop"; break;
    case SSL_ST_ACCEPT | SSL_CB_EXIT: type = exitText("Accept"); break;
    case SSL_CB_ALERT: type = AlertTypeText(ret) + " Alert"; break;
    case SSL_CB_ALERT | SSL_CB_READ: type = AlertTypeText(ret) + " Read Alert"; break;
    case SSL_CB_ALERT | SSL_CB_WRITE: type = AlertTypeText(ret) + " Write Alert"; break;
    default: message.clear(); break;
  }
  if (where & SSL_CB_ALERT && !type.empty())
    message = SSL_alert_desc_string_long ? SSL_alert_desc_string_long(ret) : "";
  try {
    socket->Parent()->StatusInfo("SSL status: \"" + state + "\"");
    socket->Parent()->StatusInfoEx(ssl, where, ret, type, message);
  } catch (...) {
    // Nothing may unwind through OpenSSL, and a status text is only
    // information: the handshake goes on without it.
  }
}

// Releases an OpenSSL object at scope end.
template <class T, class F>
struct TFreeGuard {
  T* Object;
  F Free;
  ~TFreeGuard() {
    if (Object) Free(Object);
  }
};

bool ReadFileBytes(const std::string& aFileName, std::string& aData) {
  std::ifstream file(aFileName, std::ios::binary);
  if (!file) return false;
  std::ostringstream text;
  text << file.rdbuf();
  aData = text.str();
  return true;
}

// A read-only memory BIO over the file's bytes (nullptr when it cannot be read).
struct TFileBIO {
  std::string Data;
  PBIO Bio = nullptr;
  explicit TFileBIO(const std::string& aFileName) {
    if (ReadFileBytes(aFileName, Data) && BIO_new_mem_buf)
      Bio = BIO_new_mem_buf(Data.data(), static_cast<int>(Data.size()));
  }
  ~TFileBIO() {
    if (Bio) BIO_free(Bio);
  }
};

void FreeX509Stack(PSTACK aStack) {
  if (aStack && sk_pop_free)
    sk_pop_free(aStack, reinterpret_cast<void (*)(void*)>(reinterpret_cast<void*>(X509_free)));
}

bool IsIPAddress(const std::string& aHost) {
  in6_addr address6;
  in_addr address4;
  return inet_pton(AF_INET, aHost.c_str(), &address4) == 1 ||
         inet_pton(AF_INET6, aHost.c_str(), &address6) == 1;
}

std::string HexText(const uint8_t* aData, size_t aLength) {
  std::string text;
  char digits[4];
  for (size_t i = 0; i < aLength; ++i) {
    std::snprintf(digits, sizeof digits, "%.2x", aData[i]);
    if (i > 0) text += ':';
    text += digits;
  }
  return text;
}
std::string HexText(const TIdBytes& aBytes) { return HexText(aBytes.data(), aBytes.size()); }

}  // namespace

bool IsPKCS12File(const std::string& aFileName) {
  const size_t dot = aFileName.find_last_of('.');
  if (dot == std::string::npos) return false;
  const std::string extension = aFileName.substr(dot);
  return SameText(extension, ".p12") || SameText(extension, ".pfx");
}

// ===================== Context =====================

TIdSSLContext::TIdSSLContext() {
  if (!StartOpenSSL()) throw EIdOSSLCouldNotLoadSSLLibrary("Could not load SSL library.");
}

TIdSSLContext::~TIdSSLContext() {
  if (fContext) SSL_CTX_free(fContext);
}

TStringList& TIdSSLContext::ALPNProtocols() {
  if (!FALPNProtocols) FALPNProtocols = std::make_unique<TStringList>();
  return *FALPNProtocols;
}

PSSL_METHOD TIdSSLContext::SetSSLMethod() {
  if (Mode == TIdSSLMode::sslmUnassigned) throw EIdOSSLModeNotSet("Mode has not been set.");
  TIdSSLVersion method = Method;
  if (IsOpenSSL_1_1() && method < TIdSSLVersion::sslvTLSv1) method = TIdSSLVersion::sslvTLSv1_2;
  auto pick = [this](PSSL_METHOD (*aGeneric)(), PSSL_METHOD (*aServer)(),
                     PSSL_METHOD (*aClient)()) -> PSSL_METHOD (*)() {
    return Mode == TIdSSLMode::sslmClient ? aClient
           : Mode == TIdSSLMode::sslmServer ? aServer
                                            : aGeneric;
  };
  PSSL_METHOD (*tlsv1)() = pick(TLSv1_method, TLSv1_server_method, TLSv1_client_method);
  PSSL_METHOD (*entry)() = nullptr;
  switch (method) {
    case TIdSSLVersion::sslvSSLv2: entry = pick(SSLv2_method, SSLv2_server_method, SSLv2_client_method); break;
    case TIdSSLVersion::sslvSSLv23: entry = pick(SSLv23_method, SSLv23_server_method, SSLv23_client_method); break;
    case TIdSSLVersion::sslvSSLv3: entry = pick(SSLv3_method, SSLv3_server_method, SSLv3_client_method); break;
    case TIdSSLVersion::sslvTLSv1: entry = tlsv1; break;
    case TIdSSLVersion::sslvTLSv1_1:
      entry = pick(TLSv1_1_method, TLSv1_1_server_method, TLSv1_1_client_method);
      if (!entry) entry = tlsv1;
      break;
    case TIdSSLVersion::sslvTLSv1_2:
      entry = pick(TLSv1_2_method, TLSv1_2_server_method, TLSv1_2_client_method);
      if (!entry) entry = tlsv1;
      break;
    case TIdSSLVersion::sslvTLSv1_3:
      entry = TLS_method ? TLS_method : tlsv1;
      break;
  }
  PSSL_METHOD result = entry ? entry() : nullptr;
  if (!result) throw EIdOSSLGetMethodError("Error getting SSL method.");
  return result;
}

// ===================== Default trust anchors =====================

namespace {

std::atomic<uint64_t> GDefaultAnchorLoads{0};

// What the deferred lookup of one store keeps: the store's file lookup,
// which reads the library's default anchors' file the first time a chain
// asks for a name that nothing else in the store has.
struct TDeferredAnchors {
  PX509_LOOKUP File = nullptr;
  std::mutex Lock;
  bool Loaded = false;
};

void LoadDeferredAnchors(TDeferredAnchors& aAnchors) {
  std::lock_guard guard(aAnchors.Lock);
  if (aAnchors.Loaded) return;
  aAnchors.Loaded = true;
  // A missing or damaged file leaves no error behind, as when the anchors
  // are loaded while the context is set up; the chain then fails on its own.
  ERR_set_mark();
  X509_LOOKUP_ctrl(aAnchors.File, X509_L_FILE_LOAD, nullptr, X509_FILETYPE_DEFAULT, nullptr);
  ERR_pop_to_mark();
  GDefaultAnchorLoads.fetch_add(1);
}

// The library asks its lookups in turn once the certificates held by the
// store missed the name: this one loads the default file into the store and
// answers from what the store holds then. The answer borrows the store's
// object, as the library's own lookups do; the caller takes its reference.
int DeferredAnchorsBySubject(PX509_LOOKUP aLookup, int aType, const x509_name_st* aName,
                             PX509_OBJECT aResult) {
  auto* anchors = static_cast<TDeferredAnchors*>(X509_LOOKUP_get_method_data(aLookup));
  PX509_STORE store = X509_LOOKUP_get_store(aLookup);
  if (!anchors || !store || !aName || !aResult) return 0;
  LoadDeferredAnchors(*anchors);
  int found = 0;
  if (X509_STORE_lock(store) != 1) return 0;
  PX509_OBJECT object = X509_OBJECT_retrieve_by_subject(X509_STORE_get0_objects(store), aType, aName);
  if (object && aType == X509_LU_X509) {
    PX509 certificate = X509_OBJECT_get0_X509(object);
    if (certificate && X509_OBJECT_set1_X509(aResult, certificate) == 1) {
      X509_free(certificate);
      found = 1;
    }
  } else if (object && aType == X509_LU_CRL) {
    X509_crl_st* list = X509_OBJECT_get0_X509_CRL(object);
    if (list && X509_OBJECT_set1_X509_CRL(aResult, list) == 1) {
      X509_CRL_free(list);
      found = 1;
    }
  }
  X509_STORE_unlock(store);
  return found;
}

void FreeDeferredAnchors(PX509_LOOKUP aLookup) {
  delete static_cast<TDeferredAnchors*>(X509_LOOKUP_get_method_data(aLookup));
  X509_LOOKUP_set_method_data(aLookup, nullptr);
}

bool CanDeferDefaultAnchors() {
  return X509_LOOKUP_meth_new && X509_LOOKUP_meth_set_get_by_subject && X509_LOOKUP_meth_set_free &&
         X509_LOOKUP_file && X509_LOOKUP_hash_dir && X509_STORE_add_lookup && X509_LOOKUP_ctrl &&
         X509_LOOKUP_set_method_data && X509_LOOKUP_get_method_data && X509_LOOKUP_get_store &&
         X509_STORE_lock && X509_STORE_unlock && X509_STORE_get0_objects &&
         X509_OBJECT_retrieve_by_subject && X509_OBJECT_get0_X509 && X509_OBJECT_get0_X509_CRL &&
         X509_OBJECT_set1_X509 && X509_OBJECT_set1_X509_CRL && X509_CRL_free && X509_free &&
         ERR_set_mark && ERR_pop_to_mark && ERR_clear_error && SSL_CTX_get_cert_store;
}

// The lookup method, made once per bound library. A method is plain memory
// holding our callbacks, so one made by a library bound earlier stays sound.
PX509_LOOKUP_METHOD DeferredAnchorsMethod() {
  static std::mutex lock;
  static PX509_LOOKUP_METHOD method = nullptr;
  static void* madeBy = nullptr;
  std::lock_guard guard(lock);
  void* binding = reinterpret_cast<void*>(X509_LOOKUP_meth_new);
  if (method && madeBy == binding) return method;
  PX509_LOOKUP_METHOD made = X509_LOOKUP_meth_new("deferred default trust anchors");
  if (!made || X509_LOOKUP_meth_set_get_by_subject(made, DeferredAnchorsBySubject) != 1 ||
      X509_LOOKUP_meth_set_free(made, FreeDeferredAnchors) != 1)
    return nullptr;  // an unusable method is left behind; contexts load the file at once
  method = made;
  madeBy = binding;
  return method;
}

// The library's default trust anchors as SSL_CTX_set_default_verify_paths
// gives them (the default file, the hashed default folder and, from 3.0, the
// default store, in that order), except that the file is read only when a
// chain needs a name that neither the certificates the context loaded nor
// the folder lookups have. The folders are looked up by name in any case.
bool AddDeferredDefaultAnchors(PSSL_CTX aContext) {
  if (!CanDeferDefaultAnchors()) return false;
  PX509_LOOKUP_METHOD method = DeferredAnchorsMethod();
  PX509_STORE store = SSL_CTX_get_cert_store(aContext);
  if (!method || !store) return false;
  // Adding a lookup a store has already gives the one it has, so a failure
  // half-way leaves nothing that loading the defaults at once would repeat.
  PX509_LOOKUP file = X509_STORE_add_lookup(store, X509_LOOKUP_file());
  PX509_LOOKUP folder = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
  if (!file || !folder) return false;
  X509_LOOKUP_ctrl(folder, X509_L_ADD_DIR, nullptr, X509_FILETYPE_DEFAULT, nullptr);
  if (X509_LOOKUP_store) {
    PX509_LOOKUP uri = X509_STORE_add_lookup(store, X509_LOOKUP_store());
    if (!uri) return false;
    X509_LOOKUP_ctrl(uri, X509_L_ADD_STORE, nullptr, 0, nullptr);
  }
  PX509_LOOKUP deferred = X509_STORE_add_lookup(store, method);
  if (!deferred) return false;
  if (!X509_LOOKUP_get_method_data(deferred)) {
    auto anchors = std::make_unique<TDeferredAnchors>();
    anchors->File = file;
    if (X509_LOOKUP_set_method_data(deferred, anchors.get()) != 1) return false;
    anchors.release();  // freed with the lookup
  }
  ERR_clear_error();
  return true;
}

}  // namespace

uint64_t OpenSSLDefaultAnchorLoads() { return GDefaultAnchorLoads.load(); }

void SetDefaultTrustAnchors(PSSL_CTX aContext) {
  if (AddDeferredDefaultAnchors(aContext)) return;
  SSL_CTX_set_default_verify_paths(aContext);
  GDefaultAnchorLoads.fetch_add(1);
}

// ===================== Shared contexts =====================

namespace {

// One shared context: the cache holds a reference of its own.
struct TSharedContext {
  std::string Fingerprint;  // the contents its set-up read (ContentFingerprint)
  PSSL_CTX Context = nullptr;
  bool PasswordAsked = false;
  std::vector<uint8_t> PasswordDigest;
  uint64_t LastUse = 0;
};

// A few configurations per process are normal (one per client certificate
// or CA file); the least recently used one goes beyond this bound.
constexpr size_t kSharedContextLimit = 16;

struct TContextCache {
  std::mutex Lock;
  std::map<std::string, TSharedContext> Entries;
  uint64_t Uses = 0;
  std::atomic<uint64_t> Setups{0};
  std::once_flag ExitHook;
  // Passwords are compared by a salted digest; the salt never leaves the process.
  std::string Salt;
};

// Never destroyed: it is emptied at program end by its own exit handler and
// by the unbinding, which may run after this function's statics are gone.
TContextCache& ContextCache() {
  static TContextCache& cache = *[] {
    auto* made = new TContextCache;
    char salt[16] = {};
    if (getrandom(salt, sizeof salt, 0) != static_cast<ssize_t>(sizeof salt)) {
      std::ifstream random("/dev/urandom", std::ios::binary);
      random.read(salt, sizeof salt);
    }
    made->Salt.assign(salt, sizeof salt);
    return made;
  }();
  return cache;
}

std::vector<uint8_t> PasswordDigest(const std::string& aPassword) {
  const std::string salted = ContextCache().Salt + aPassword;
  return PlatformSHA256(salted.data(), salted.size());
}

// Appends aText so that no two lists of texts make the same key.
void AddKeyPart(std::string& aKey, const std::string& aText) {
  aKey += std::to_string(aText.size());
  aKey += ':';
  aKey += aText;
}

// What a file holds: its SHA-256, or a mark when it cannot be read (the
// set-up then fails and nothing is shared).
std::string FileContentIdentity(const std::string& aFileName) {
  std::string data;
  if (!ReadFileBytes(aFileName, data)) return "-";
  const std::vector<uint8_t> digest = PlatformSHA256(data.data(), data.size());
  return std::string(digest.begin(), digest.end());
}

// A file or folder whose contents are read lazily or are large: its
// identity and modification time (a changed file or folder is a new one).
std::string FileStatusIdentity(const std::string& aPath) {
  struct stat status {};
  if (aPath.empty() || ::stat(aPath.c_str(), &status) != 0) return "-";
  return std::to_string(status.st_dev) + '/' + std::to_string(status.st_ino) + '/' +
         std::to_string(status.st_size) + '/' + std::to_string(status.st_mtim.tv_sec) + '.' +
         std::to_string(status.st_mtim.tv_nsec) + '/' + std::to_string(status.st_ctim.tv_sec) + '.' +
         std::to_string(status.st_ctim.tv_nsec);
}

// The file the library loads its default trust anchors from.
std::string DefaultCertFile() {
  if (X509_get_default_cert_file_env) {
    if (const char* variable = X509_get_default_cert_file_env())
      if (const char* value = std::getenv(variable)) return value;
  }
  return X509_get_default_cert_file ? X509_get_default_cert_file() : "";
}

void ClearPKCS12Cache();

// Empties the shared contexts and the PKCS#12 reads at program end (before
// the libraries' own clean-up at exit, registered when they made their first
// context) and before the libraries are unbound.
void InstallCacheClearing() {
  std::call_once(ContextCache().ExitHook, [] {
    std::atexit(ClearOpenSSLContextCache);
    SetOpenSSLBeforeUnbind(ClearOpenSSLContextCache);
  });
}

// A reference to the shared context of aKey when it was made from the same
// contents (and, when its set-up asked for a password, the password that
// aContext gives now is the same); nullptr otherwise.
PSSL_CTX TakeSharedContext(const std::string& aKey, const std::string& aFingerprint,
                           TIdSSLContext& aContext) {
  TContextCache& cache = ContextCache();
  PSSL_CTX shared = nullptr;
  bool asked = false;
  std::vector<uint8_t> digest;
  {
    std::lock_guard guard(cache.Lock);
    const auto found = cache.Entries.find(aKey);
    if (found == cache.Entries.end()) return nullptr;
    if (found->second.Fingerprint != aFingerprint) {
      // The files changed: the old context is of no further use.
      SSL_CTX_free(found->second.Context);
      cache.Entries.erase(found);
      return nullptr;
    }
    shared = found->second.Context;
    SSL_CTX_up_ref(shared);
    found->second.LastUse = ++cache.Uses;
    asked = found->second.PasswordAsked;
    digest = found->second.PasswordDigest;
  }
  // The password is asked without the lock: the handler's event may wait
  // for another thread.
  if (asked && PasswordDigest(aContext.PasswordForLoading(false)) != digest) {
    SSL_CTX_free(shared);
    return nullptr;
  }
  return shared;
}

void ShareContext(const std::string& aKey, const std::string& aFingerprint, PSSL_CTX aContext,
                  bool aPasswordAsked, std::vector<uint8_t> aPasswordDigest) {
  TContextCache& cache = ContextCache();
  InstallCacheClearing();
  // Passwords are asked only while files are loaded; the context keeps no
  // pointer to the object that set it up.
  SSL_CTX_set_default_passwd_cb_userdata(aContext, nullptr);
  SSL_CTX_up_ref(aContext);
  PSSL_CTX replaced = nullptr;
  {
    std::lock_guard guard(cache.Lock);
    auto found = cache.Entries.find(aKey);
    if (found == cache.Entries.end()) {
      if (cache.Entries.size() >= kSharedContextLimit) {
        auto oldest = cache.Entries.begin();
        for (auto it = cache.Entries.begin(); it != cache.Entries.end(); ++it)
          if (it->second.LastUse < oldest->second.LastUse) oldest = it;
        replaced = oldest->second.Context;
        cache.Entries.erase(oldest);
      }
      found = cache.Entries.emplace(aKey, TSharedContext{}).first;
    } else {
      replaced = found->second.Context;
    }
    found->second = TSharedContext{aFingerprint, aContext, aPasswordAsked, std::move(aPasswordDigest),
                                   ++cache.Uses};
  }
  if (replaced) SSL_CTX_free(replaced);
}

}  // namespace

uint64_t OpenSSLContextSetups() { return ContextCache().Setups.load(); }

void ClearOpenSSLContextCache() {
  ClearPKCS12Cache();
  TContextCache& cache = ContextCache();
  std::map<std::string, TSharedContext> entries;
  {
    std::lock_guard guard(cache.Lock);
    entries.swap(cache.Entries);
  }
  if (!SSL_CTX_free) return;  // unbound already: the libraries freed everything
  for (auto& [key, entry] : entries) SSL_CTX_free(entry.Context);
}

std::string TIdSSLContext::PasswordForLoading(bool IsWrite) {
  std::string password;
  try {
    if (Parent) password = Parent->GetPassword(IsWrite);
  } catch (...) {
    password.clear();
  }
  FPasswordAsked = true;
  FPasswordGiven = password;
  return password;
}

// Everything that shapes the context apart from the contents of files.
std::string TIdSSLContext::ConfigurationKey(TIdSSLCtxMode CtxMode) const {
  std::string key;
  AddKeyPart(key, GetOpenSSLLibPath());
  AddKeyPart(key, std::to_string(static_cast<int>(GetOpenSSLBoundAPIVersion())));
  AddKeyPart(key, std::to_string(static_cast<int>(CtxMode)));
  AddKeyPart(key, std::to_string(static_cast<int>(Mode)));
  AddKeyPart(key, std::to_string(static_cast<int>(Method)));
  std::string versions;
  for (TIdSSLVersion v : kAllVersions) versions += SSLVersions.Contains(v) ? '1' : '0';
  AddKeyPart(key, versions);
  std::string verify;
  for (TIdSSLVerifyMode m : {TIdSSLVerifyMode::sslvrfPeer, TIdSSLVerifyMode::sslvrfFailIfNoPeerCert,
                             TIdSSLVerifyMode::sslvrfClientOnce})
    verify += VerifyMode.Contains(m) ? '1' : '0';
  AddKeyPart(key, verify);
  AddKeyPart(key, std::to_string(VerifyDepth));
  AddKeyPart(key, VerifyOn ? "1" : "0");
  AddKeyPart(key, StatusInfoOn ? "1" : "0");
  AddKeyPart(key, CipherList);
  AddKeyPart(key, RootCertFile);
  AddKeyPart(key, VerifyDirs);
  AddKeyPart(key, CertFile);
  AddKeyPart(key, KeyFile);
  AddKeyPart(key, DHParamsFile);
  AddKeyPart(key, DefaultCertFile());
  const char* certDir = std::getenv("SSL_CERT_DIR");
  AddKeyPart(key, certDir ? certDir : "");
  std::string alpn;
  if (CtxMode == TIdSSLCtxMode::sslCtxClient && FALPNProtocols)
    for (const std::string& protocol : FALPNProtocols->Lines()) AddKeyPart(alpn, protocol);
  AddKeyPart(key, alpn);
  return key;
}

// The contents the set-up reads: the named files, and the default trust
// anchors' file and the verify folders by their status.
std::string TIdSSLContext::ContentFingerprint() const {
  std::string fingerprint;
  for (const std::string* file : {&RootCertFile, &CertFile, &KeyFile, &DHParamsFile})
    AddKeyPart(fingerprint, file->empty() ? std::string() : FileContentIdentity(*file));
  AddKeyPart(fingerprint, FileStatusIdentity(DefaultCertFile()));
  size_t start = 0;
  while (start < VerifyDirs.size()) {
    const size_t end = std::min(VerifyDirs.find(':', start), VerifyDirs.size());
    AddKeyPart(fingerprint, FileStatusIdentity(VerifyDirs.substr(start, end - start)));
    start = end + 1;
  }
  return fingerprint;
}

void TIdSSLContext::InitContext(TIdSSLCtxMode CtxMode) {
  if (fContext) {
    SSL_CTX_free(fContext);
    fContext = nullptr;
  }
  if (Mode == TIdSSLMode::sslmUnassigned)
    Mode = CtxMode == TIdSSLCtxMode::sslCtxClient ? TIdSSLMode::sslmClient : TIdSSLMode::sslmServer;
  // Without reference counting (the 1.0 libraries) every context is its own.
  const bool shareable = SSL_CTX_up_ref != nullptr;
  std::string key, fingerprint;
  if (shareable) {
    key = ConfigurationKey(CtxMode);
    fingerprint = ContentFingerprint();
    if (PSSL_CTX shared = TakeSharedContext(key, fingerprint, *this)) {
      if (ERR_clear_error) ERR_clear_error();
      fContext = shared;
      FPasswordGiven.assign(FPasswordGiven.size(), '\0');
      FPasswordGiven.clear();
      return;
    }
  }
  FPasswordAsked = false;
  FPasswordGiven.clear();
  auto forgetKey = [this] {
    if (FPKCS12Key) EVP_PKEY_free(FPKCS12Key);
    FPKCS12Key = nullptr;
  };
  try {
    SetUpContext(CtxMode);
  } catch (...) {
    forgetKey();
    FPasswordGiven.assign(FPasswordGiven.size(), '\0');
    FPasswordGiven.clear();
    throw;
  }
  forgetKey();
  ContextCache().Setups.fetch_add(1);
  if (shareable)
    ShareContext(key, fingerprint, fContext, FPasswordAsked,
                 FPasswordAsked ? PasswordDigest(FPasswordGiven) : std::vector<uint8_t>());
  FPasswordGiven.assign(FPasswordGiven.size(), '\0');
  FPasswordGiven.clear();
}

void TIdSSLContext::SetUpContext(TIdSSLCtxMode CtxMode) {
  PSSL_METHOD method = SetSSLMethod();
  if (ERR_clear_error) ERR_clear_error();
  fContext = SSL_CTX_new(method);
  if (!fContext)
    EIdOpenSSLAPICryptoError::RaiseException<EIdOSSLCreatingContextError>("Error creating SSL context.");

  struct TProtocol {
    TIdSSLVersion Version;
    bool Available;
    uint32_t NoBit;
  };
  const TProtocol protocols[] = {
      {TIdSSLVersion::sslvSSLv2, IsOpenSSL_SSLv2_Available(), SSL_OP_NO_SSLv2},
      {TIdSSLVersion::sslvSSLv3, IsOpenSSL_SSLv3_Available(), SSL_OP_NO_SSLv3},
      {TIdSSLVersion::sslvTLSv1, IsOpenSSL_TLSv1_0_Available(), SSL_OP_NO_TLSv1},
      {TIdSSLVersion::sslvTLSv1_1, IsOpenSSL_TLSv1_1_Available(), SSL_OP_NO_TLSv1_1},
      {TIdSSLVersion::sslvTLSv1_2, IsOpenSSL_TLSv1_2_Available(), SSL_OP_NO_TLSv1_2},
      {TIdSSLVersion::sslvTLSv1_3, IsOpenSSL_1_1(), SSL_OP_NO_TLSv1_3},
  };
  for (const TProtocol& p : protocols) {
    if (!p.Available) continue;
    if (!SSLVersions.Contains(p.Version))
      SSL_CTX_set_options(fContext, p.NoBit);
    else if (Method == TIdSSLVersion::sslvSSLv23)
      SSL_CTX_clear_options(fContext, p.NoBit);
  }
  if (IsOpenSSL_1_1()) {
    long minimum = 0x0301;
    if (SSLVersions.Contains(TIdSSLVersion::sslvTLSv1_3) || SSLVersions.Contains(TIdSSLVersion::sslvTLSv1_2))
      minimum = 0x0303;
    else if (SSLVersions.Contains(TIdSSLVersion::sslvTLSv1_1))
      minimum = 0x0302;
    SSL_CTX_set_min_proto_version(fContext, minimum);
    SSL_CTX_set_max_proto_version(fContext, OpenSSLLibraryVersion() < 0x1010100FUL ? 0x0303 : 0x0304);
  }

  SSL_CTX_set_mode(fContext, SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_default_passwd_cb(fContext, PasswordCallback);
  SSL_CTX_set_default_passwd_cb_userdata(fContext, this);
  SetDefaultTrustAnchors(fContext);

  if ((!RootCertFile.empty() || !VerifyDirs.empty()) && !LoadRootCert())
    EIdOpenSSLAPICryptoError::RaiseException<EIdOSSLLoadingRootCertError>("Could not load root certificate.");
  if (!CertFile.empty() && !LoadCert())
    EIdOpenSSLAPICryptoError::RaiseException<EIdOSSLLoadingCertError>("Could not load certificate.");
  if (!KeyFile.empty() && !LoadKey())
    EIdOpenSSLAPICryptoError::RaiseException<EIdOSSLLoadingKeyError>("Could not load key, check password.");
  if (!DHParamsFile.empty() && !LoadDHParams())
    EIdOpenSSLAPICryptoError::RaiseException<EIdOSSLLoadingDHParamsError>("Could not load DH Parameters.");

  if (StatusInfoOn) SSL_CTX_set_info_callback_safe(fContext, InfoCallback);
  if (!CipherList.empty() && SSL_CTX_set_cipher_list(fContext, CipherList.c_str()) < 1)
    throw EIdOSSLSettingCipherError("SetCipher failed.");
  if (!VerifyMode.Empty()) SetVerifyMode(VerifyMode, VerifyOn);
  if (!RootCertFile.empty() && SSL_load_client_CA_file) {
    if (PSTACK names = SSL_load_client_CA_file(RootCertFile.c_str()))
      SSL_CTX_set_client_CA_list(fContext, names);
  }
  if (CtxMode == TIdSSLCtxMode::sslCtxClient) SetALPNProtocols();
}

void TIdSSLContext::SetVerifyMode(TIdSSLVerifyModeSet aMode, bool CheckRoutine) {
  int bits = 0;
  for (TIdSSLVerifyMode m : {TIdSSLVerifyMode::sslvrfPeer, TIdSSLVerifyMode::sslvrfFailIfNoPeerCert,
                             TIdSSLVerifyMode::sslvrfClientOnce})
    if (aMode.Contains(m)) bits |= 1 << static_cast<int>(m);
  SSL_CTX_set_verify(fContext, bits, CheckRoutine ? VerifyCallback : nullptr);
  // 0 keeps the library's default depth, so chains with intermediates pass.
  if (VerifyDepth > 0) SSL_CTX_set_verify_depth(fContext, VerifyDepth);
}

void TIdSSLContext::SetALPNProtocols() {
  if (!FALPNProtocols) return;
  std::string buffer;
  for (const std::string& protocol : FALPNProtocols->Lines()) {
    if (protocol.empty()) continue;
    const size_t length = std::min<size_t>(protocol.size(), 255);
    buffer += static_cast<char>(length);
    buffer.append(protocol, 0, length);
  }
  if (buffer.empty() || !SSL_CTX_set_alpn_protos) return;
  if (SSL_CTX_set_alpn_protos(fContext, reinterpret_cast<const unsigned char*>(buffer.data()),
                              static_cast<unsigned>(buffer.size())) != 0)
    throw Exception("Error Updating ALPN Protocols");
}

bool TIdSSLContext::LoadRootCert() {
  bool ok = true;
  PX509_STORE store = SSL_CTX_get_cert_store(fContext);
  if (!RootCertFile.empty()) {
    TFileBIO file(RootCertFile);
    PSTACK infos = file.Bio ? PEM_X509_INFO_read_bio(file.Bio, nullptr, nullptr, nullptr) : nullptr;
    int added = 0;
    if (infos) {
      struct TInfo {  // the leading fields of X509_INFO
        PX509 x509;
        void* crl;
      };
      for (int i = 0; i < sk_num(infos); ++i) {
        auto* info = static_cast<TInfo*>(sk_value(infos, i));
        if (info->x509 && X509_STORE_add_cert(store, info->x509) == 1) ++added;
        if (info->crl && X509_STORE_add_crl(store, info->crl) == 1) ++added;
      }
      sk_pop_free(infos, reinterpret_cast<void (*)(void*)>(reinterpret_cast<void*>(X509_INFO_free)));
    }
    ok = added > 0;
  }
  if (ok && !VerifyDirs.empty())
    ok = X509_STORE_load_locations(store, nullptr, VerifyDirs.c_str()) == 1;
  return ok;
}

namespace {

// The key and certificate of the last few PKCS#12 files read, by a digest of
// their contents and password. Decrypting one costs several key derivations,
// and a program reads the same file to check it and again to set up its
// context. Failures are not kept. The entries are freed before the libraries
// are unbound (ClearOpenSSLContextCache).
struct TPKCS12Kept {
  std::vector<uint8_t> Digest;
  PEVP_PKEY Key = nullptr;
  PX509 Certificate = nullptr;
};

struct TPKCS12Cache {
  std::mutex Lock;
  std::vector<TPKCS12Kept> Kept;  // the most recent first
  std::atomic<uint64_t> Decryptions{0};
};
constexpr size_t kPKCS12Kept = 4;

TPKCS12Cache& PKCS12Cache() {
  static TPKCS12Cache* const cache = new TPKCS12Cache;  // never destroyed, as the context cache
  return *cache;
}

// Salted as the shared contexts' password digests are.
std::vector<uint8_t> PKCS12Digest(const std::string& aData, const char* aPassword) {
  std::string keyed = ContextCache().Salt;
  keyed += std::to_string(aData.size()) + ':';
  keyed += aData;
  keyed += aPassword;
  std::vector<uint8_t> digest = PlatformSHA256(keyed.data(), keyed.size());
  std::fill(keyed.begin(), keyed.end(), '\0');
  return digest;
}

bool CanShareKeys() { return EVP_PKEY_up_ref && X509_up_ref; }

void FreeKept(TPKCS12Kept& aKept) {
  if (aKept.Key) EVP_PKEY_free(aKept.Key);
  if (aKept.Certificate) X509_free(aKept.Certificate);
}

void ClearPKCS12Cache() {
  TPKCS12Cache& cache = PKCS12Cache();
  std::vector<TPKCS12Kept> kept;
  {
    std::lock_guard guard(cache.Lock);
    kept.swap(cache.Kept);
  }
  if (!EVP_PKEY_free || !X509_free) return;  // unbound already: the libraries freed everything
  for (TPKCS12Kept& entry : kept) FreeKept(entry);
}

// The certificate, key and CA stack of a PKCS#12 file.
struct TPKCS12Contents {
  PEVP_PKEY Key = nullptr;
  PX509 Certificate = nullptr;
  PSTACK CA = nullptr;
  ~TPKCS12Contents() {
    if (Key) EVP_PKEY_free(Key);
    if (Certificate) X509_free(Certificate);
    FreeX509Stack(CA);
  }
  // What aData holds opened with aPassword: p12NotPKCS12, p12WrongPassword,
  // or (read) p12KeyPair / p12NoKeyPair. A file read before with the same
  // password gives references to the key and certificate read then (its CA
  // stack, which no caller uses, is not kept).
  TPKCS12FileContent Read(const std::string& aData, const char* aPassword) {
    const bool share = CanShareKeys();
    std::vector<uint8_t> digest;
    if (share) {
      digest = PKCS12Digest(aData, aPassword);
      TPKCS12Cache& cache = PKCS12Cache();
      std::lock_guard guard(cache.Lock);
      for (auto at = cache.Kept.begin(); at != cache.Kept.end(); ++at) {
        if (at->Digest != digest) continue;
        if (at->Key) EVP_PKEY_up_ref(at->Key);
        if (at->Certificate) X509_up_ref(at->Certificate);
        Key = at->Key;
        Certificate = at->Certificate;
        std::rotate(cache.Kept.begin(), at, at + 1);
        return Content();
      }
    }
    PBIO bio = BIO_new_mem_buf ? BIO_new_mem_buf(aData.data(), static_cast<int>(aData.size())) : nullptr;
    PKCS12_st* p12 = bio ? d2i_PKCS12_bio(bio, nullptr) : nullptr;
    if (bio) BIO_free(bio);
    if (!p12) return TPKCS12FileContent::p12NotPKCS12;
    PKCS12Cache().Decryptions.fetch_add(1);
    const int ok = PKCS12_parse(p12, aPassword, &Key, &Certificate, &CA);
    PKCS12_free(p12);
    if (ok != 1) return TPKCS12FileContent::p12WrongPassword;
    if (share) {
      InstallCacheClearing();
      TPKCS12Kept kept{std::move(digest), Key, Certificate};
      if (Key) EVP_PKEY_up_ref(Key);
      if (Certificate) X509_up_ref(Certificate);
      TPKCS12Kept dropped;
      {
        TPKCS12Cache& cache = PKCS12Cache();
        std::lock_guard guard(cache.Lock);
        cache.Kept.insert(cache.Kept.begin(), std::move(kept));
        if (cache.Kept.size() > kPKCS12Kept) {
          dropped = std::move(cache.Kept.back());
          cache.Kept.pop_back();
        }
      }
      FreeKept(dropped);
    }
    return Content();
  }
  // The file aFileName, the password taken from aContext's password event.
  bool Read(const std::string& aFileName, TIdSSLContext* aContext) {
    std::string data;
    if (!ReadFileBytes(aFileName, data)) return false;
    char password[1024];
    PasswordCallback(password, sizeof password, 0, aContext);
    const TPKCS12FileContent content = Read(data, password);
    std::memset(password, 0, sizeof password);
    return content == TPKCS12FileContent::p12KeyPair || content == TPKCS12FileContent::p12NoKeyPair;
  }
  TPKCS12FileContent Content() const {
    return Key && Certificate ? TPKCS12FileContent::p12KeyPair : TPKCS12FileContent::p12NoKeyPair;
  }
};
}  // namespace

uint64_t OpenSSLPKCS12Decryptions() { return PKCS12Cache().Decryptions.load(); }

TPKCS12FileContent ReadPKCS12FileContent(const std::string& aFileName,
                                         const std::string& aPassword) {
  if (!StartOpenSSL()) throw EIdOSSLCouldNotLoadSSLLibrary("Could not load SSL library.");
  std::string data;
  if (!ReadFileBytes(aFileName, data)) return TPKCS12FileContent::p12Unreadable;
  TPKCS12Contents parts;
  const TPKCS12FileContent content = parts.Read(data, aPassword.c_str());
  if (ERR_clear_error) ERR_clear_error();  // a failed read leaves its reasons queued
  return content;
}

bool TIdSSLContext::LoadCert() {
  if (IsPKCS12File(CertFile)) {
    TPKCS12Contents p12;
    if (!p12.Read(CertFile, this) || !p12.Certificate ||
        SSL_CTX_use_certificate(fContext, p12.Certificate) != 1)
      return false;
    if (KeyFile == CertFile && p12.Key) {
      if (FPKCS12Key) EVP_PKEY_free(FPKCS12Key);
      FPKCS12Key = p12.Key;  // LoadKey takes it
      p12.Key = nullptr;
    }
    return true;
  }
  TFileBIO file(CertFile);
  if (!file.Bio) return false;
  PX509 certificate = PEM_read_bio_X509_AUX(file.Bio, nullptr, PasswordCallback, this);
  if (!certificate) return false;
  const bool ok = SSL_CTX_use_certificate(fContext, certificate) == 1;
  X509_free(certificate);  // the context holds its own reference
  if (!ok || !SSL_CTX_use_certificate_chain_file) return ok;
  // The rest of a PEM chain: the certificates that lead to the root.
  SSL_CTX_clear_chain_certs(fContext);
  if (!PEM_read_bio_X509) return true;
  while (PX509 next = PEM_read_bio_X509(file.Bio, nullptr, PasswordCallback, this)) {
    if (SSL_CTX_add0_chain_cert(fContext, next) != 1) {
      X509_free(next);
      return false;
    }
  }
  if (ERR_clear_error) ERR_clear_error();  // the end of the file is queued as an error
  return true;
}

bool TIdSSLContext::LoadKey() {
  bool ok = false;
  if (FPKCS12Key && KeyFile == CertFile) {
    ok = SSL_CTX_use_PrivateKey(fContext, FPKCS12Key) == 1;
  } else if (IsPKCS12File(KeyFile)) {
    TPKCS12Contents p12;
    ok = p12.Read(KeyFile, this) && p12.Key && SSL_CTX_use_PrivateKey(fContext, p12.Key) == 1;
  } else {
    TFileBIO file(KeyFile);
    PEVP_PKEY key = file.Bio && PEM_read_bio_PrivateKey
                        ? PEM_read_bio_PrivateKey(file.Bio, nullptr, PasswordCallback, this)
                        : nullptr;
    if (key) {
      ok = SSL_CTX_use_PrivateKey(fContext, key) == 1;
      EVP_PKEY_free(key);
    }
  }
  return ok && SSL_CTX_check_private_key(fContext) > 0;
}

bool TIdSSLContext::LoadDHParams() {
  TFileBIO file(DHParamsFile);
  if (!file.Bio || !PEM_read_bio_DHparams) return false;
  dh_st* dh = PEM_read_bio_DHparams(file.Bio, nullptr, nullptr, nullptr);
  if (!dh) return false;
  const long ok = SSL_CTX_set_tmp_dh(fContext, dh);
  DH_free(dh);
  return ok > 0;
}

// ===================== TLS connection =====================

TIdSSLSocket::~TIdSSLSocket() { FreeSSL(); }

void TIdSSLSocket::FreeSSL() {
  if (!fSSL) return;
  if (ERR_clear_error) ERR_clear_error();
  SSL_shutdown(fSSL);
  SSL_free(fSSL);
  fSSL = nullptr;
  if (ERR_clear_error) ERR_clear_error();
}

void TIdSSLSocket::NewSSL(int pHandle) {
  FreeSSL();
  fPeerCert.reset();
  if (ERR_clear_error) ERR_clear_error();
  fSSL = SSL_new(fSSLContext->Context());
  if (!fSSL) throw EIdOSSLCreatingSessionError("Error creating SSL session.");
  int error = SSL_set_ex_data(fSSL, 0, this);
  if (error < 1)
    EIdOpenSSLAPISSLError::RaiseException<EIdOSSLDataBindingError>(fSSL, error,
                                                                   "Error binding data to SSL socket.");
  error = SSL_set_fd(fSSL, pHandle);
  if (error < 1)
    EIdOpenSSLAPISSLError::RaiseException<EIdOSSLFDSetError>(fSSL, error,
                                                             "Error setting File Descriptor for SSL");
}

void TIdSSLSocket::Accept(int pHandle) {
  NewSSL(pHandle);
  const int error = SSL_accept(fSSL);
  if (error < 1)
    EIdOpenSSLAPISSLError::RaiseException<EIdOSSLAcceptError>(fSSL, error, "Error accepting connection with SSL.");
}

void TIdSSLSocket::Connect(int pHandle) {
  NewSSL(pHandle);
  if (fParent) {
    TIdSSLSocket* parentSocket = fParent->ParentSSLSocket();
    if (parentSocket && parentSocket != this && parentSocket->fSSL)
      SSL_copy_session_id(fSSL, parentSocket->fSSL);
  }
  const bool literal = IsIPAddress(HostName);
  // With peer verification the certificate must also name the host we asked for.
  if (fSSLContext->VerifyMode.Contains(TIdSSLVerifyMode::sslvrfPeer) && !HostName.empty() &&
      SSL_get0_param) {
    X509_VERIFY_PARAM_st* param = SSL_get0_param(fSSL);
    if (literal) {
      X509_VERIFY_PARAM_set1_ip_asc(param, HostName.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      X509_VERIFY_PARAM_set1_host(param, HostName.c_str(), HostName.size());
    }
  }
  // Address literals are not server names (RFC 6066): no SNI for them.
  if (!HostName.empty() && !literal) SSL_set_tlsext_host_name(fSSL, HostName.c_str());
  const int error = SSL_connect(fSSL);
  if (error < 1)
    EIdOpenSSLAPISSLError::RaiseException<EIdOSSLConnectError>(fSSL, error, "Error connecting with SSL.");
  if (fParent) {
    fParent->StatusInfo("Cipher: name = " + fCipher.Name() + "; " + "description = " +
                        fCipher.Description() + "; " + "bits = " + std::to_string(fCipher.Bits()) +
                        "; " + "version = " + fCipher.Version() + "; ");
  }
}

int TIdSSLSocket::Recv(uint8_t* aBuffer, int aLength) {
  if (ERR_clear_error) ERR_clear_error();
  return SSL_read(fSSL, aBuffer, aLength);
}

int TIdSSLSocket::Send(const uint8_t* aBuffer, int aLength) {
  if (ERR_clear_error) ERR_clear_error();
  return SSL_write(fSSL, aBuffer, aLength);
}

int TIdSSLSocket::GetSSLError(int retCode) const { return SSL_get_error(fSSL, retCode); }

void TIdSSLSocket::Shutdown() {
  if (!fSSL) return;
  if (SSL_shutdown(fSSL) == 0) SSL_shutdown(fSSL);
  if (ERR_clear_error) ERR_clear_error();
}

std::string TIdSSLSocket::GetALPNProtocol() const {
  if (!fSSL || !SSL_get0_alpn_selected) return {};
  const unsigned char* data = nullptr;
  unsigned length = 0;
  SSL_get0_alpn_selected(fSSL, &data, &length);
  if (!data || length == 0) return {};
  return std::string(reinterpret_cast<const char*>(data), length);
}

std::string TIdSSLSocket::GetSSLVersion() const {
  if (!fSSL || !SSL_get_version) return {};
  return SSL_get_version(fSSL);
}

TIdX509* TIdSSLSocket::PeerCert() {
  if (!fPeerCert && fSSL) {
    if (PX509 certificate = SSL_get_peer_certificate(fSSL))
      fPeerCert = std::make_unique<TIdX509>(certificate, true);
  }
  return fPeerCert.get();
}

// ===================== Wrappers =====================

std::string TIdSSLCipher::Name() const {
  PSSL_CIPHER cipher = SSL_get_current_cipher(FSSLSocket->SSLHandle());
  return cipher ? SSL_CIPHER_get_name(cipher) : "";
}

std::string TIdSSLCipher::Description() const {
  PSSL_CIPHER cipher = SSL_get_current_cipher(FSSLSocket->SSLHandle());
  if (!cipher) return {};
  char buffer[256] = {};
  SSL_CIPHER_description(cipher, buffer, sizeof buffer);
  std::string text = buffer;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

int TIdSSLCipher::Bits() const {
  PSSL_CIPHER cipher = SSL_get_current_cipher(FSSLSocket->SSLHandle());
  int bits = 0;
  if (cipher) SSL_CIPHER_get_bits(cipher, &bits);
  return bits;
}

std::string TIdSSLCipher::Version() const {
  PSSL_CIPHER cipher = SSL_get_current_cipher(FSSLSocket->SSLHandle());
  return cipher ? SSL_CIPHER_get_version(cipher) : "";
}

std::string TIdX509Name::OneLine() const {
  if (!FX509Name) return {};
  char buffer[1024] = {};
  X509_NAME_oneline(FX509Name, buffer, sizeof buffer);
  return buffer;
}

uint32_t TIdX509Name::Hash() const {
  if (!FX509Name) return 0;
  if (X509_NAME_hash_ex) {
    int ok = 0;
    return static_cast<uint32_t>(X509_NAME_hash_ex(FX509Name, nullptr, nullptr, &ok));
  }
  return X509_NAME_hash ? static_cast<uint32_t>(X509_NAME_hash(FX509Name)) : 0;
}

std::string TIdX509Name::HashAsString() const { return IntToHex(Hash(), 8); }

namespace {
TIdBytes CertificateDigest(PX509 aX509, PEVP_MD (*aDigest)()) {
  if (!aX509 || !aDigest || !X509_digest) return {};
  TIdBytes result(EVP_MAX_MD_SIZE);
  unsigned length = 0;
  if (X509_digest(aX509, aDigest(), result.data(), &length) != 1) return {};
  result.resize(length);
  return result;
}
}  // namespace

TIdBytes TIdX509Fingerprints::MD5() const { return CertificateDigest(FX509, EVP_md5); }
TIdBytes TIdX509Fingerprints::SHA1() const { return CertificateDigest(FX509, EVP_sha1); }
TIdBytes TIdX509Fingerprints::SHA224() const { return CertificateDigest(FX509, EVP_sha224); }
TIdBytes TIdX509Fingerprints::SHA256() const { return CertificateDigest(FX509, EVP_sha256); }
TIdBytes TIdX509Fingerprints::SHA384() const { return CertificateDigest(FX509, EVP_sha384); }
TIdBytes TIdX509Fingerprints::SHA512() const { return CertificateDigest(FX509, EVP_sha512); }
std::string TIdX509Fingerprints::MD5AsString() const { return HexText(MD5()); }
std::string TIdX509Fingerprints::SHA1AsString() const { return HexText(SHA1()); }
std::string TIdX509Fingerprints::SHA224AsString() const { return HexText(SHA224()); }
std::string TIdX509Fingerprints::SHA256AsString() const { return HexText(SHA256()); }
std::string TIdX509Fingerprints::SHA384AsString() const { return HexText(SHA384()); }
std::string TIdX509Fingerprints::SHA512AsString() const { return HexText(SHA512()); }

TIdX509::TIdX509(x509_st* aX509, bool aCanFreeX509)
    : FX509(aX509),
      FFingerprints(aX509),
      FSubject(aX509 ? X509_get_subject_name(aX509) : nullptr),
      FIssuer(aX509 ? X509_get_issuer_name(aX509) : nullptr) {
  if (FX509 && !aCanFreeX509 && X509_up_ref) X509_up_ref(FX509);
  else if (!aCanFreeX509) FX509 = nullptr;  // cannot hold a reference of its own
}

TIdX509::~TIdX509() {
  if (FX509) X509_free(FX509);
}

int TIdX509::Version() const {
  return FX509 && X509_get_version ? static_cast<int>(X509_get_version(FX509)) : -1;
}

TIdX509SigInfo TIdX509::SigInfo() const {
  TIdX509SigInfo info;
  if (!FX509) return info;
  if (X509_get_signature_nid) {
    info.SigType = X509_get_signature_nid(FX509);
    if (OBJ_nid2ln && OBJ_nid2ln(info.SigType)) info.SigTypeAsString = OBJ_nid2ln(info.SigType);
  }
  if (X509_get0_signature && ASN1_STRING_get0_data && ASN1_STRING_length) {
    const asn1_string_st* signature = nullptr;
    X509_get0_signature(&signature, nullptr, FX509);
    if (signature)
      info.Signature = HexText(ASN1_STRING_get0_data(signature),
                               static_cast<size_t>(ASN1_STRING_length(signature)));
  }
  return info;
}

namespace {
TDateTime ASN1TimeToDateTime(const asn1_string_st* aTime) {
  if (!aTime || !ASN1_TIME_to_tm) return 0;
  struct tm parts {};
  if (ASN1_TIME_to_tm(aTime, &parts) != 1) return 0;
  return UnixToDateTime(timegm(&parts), false);
}
}  // namespace

TDateTime TIdX509::notBefore() const {
  return FX509 && X509_get0_notBefore ? ASN1TimeToDateTime(X509_get0_notBefore(FX509)) : 0;
}
TDateTime TIdX509::notAfter() const {
  return FX509 && X509_get0_notAfter ? ASN1TimeToDateTime(X509_get0_notAfter(FX509)) : 0;
}

std::string TIdX509::SerialNumber() const {
  if (!FX509 || !ASN1_STRING_get0_data || !ASN1_STRING_length) return {};
  const asn1_string_st* serial = X509_get_serialNumber(FX509);
  return serial ? HexText(ASN1_STRING_get0_data(serial), static_cast<size_t>(ASN1_STRING_length(serial)))
                : "";
}

std::string TIdX509::DisplayInfo() const {
  return "Subject: " + FSubject.OneLine() + "\r\nIssuer: " + FIssuer.OneLine() +
         "\r\nSerial number: " + SerialNumber();
}
