// Certificate services on OpenSSL 3; see crypt32.h for the model.
#include "platform/crypt32/crypt32.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/crypt32/crypt32_openssl.h"

namespace {

thread_local DWORD tLastError = 0;

template <class T>
T Fail(DWORD aError, T aResult) {
  tLastError = aError;
  return aResult;
}

// One certificate of a store, with its private key when the store has it.
struct CertEntry {
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;
  CertEntry(X509* aCert, EVP_PKEY* aKey) : cert(aCert), key(aKey) {
    X509_up_ref(cert);
    if (key) EVP_PKEY_up_ref(key);
  }
  ~CertEntry() {
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  CertEntry(const CertEntry&) = delete;
  CertEntry& operator=(const CertEntry&) = delete;
};
using EntryPtr = std::shared_ptr<CertEntry>;

std::vector<uint8_t> Der(X509* aCert) {
  std::vector<uint8_t> der(std::max(0, i2d_X509(aCert, nullptr)));
  uint8_t* p = der.data();
  if (!der.empty()) i2d_X509(aCert, &p);
  return der;
}

struct X509Deleter {
  void operator()(X509* p) const { X509_free(p); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct Pkcs12Deleter {
  void operator()(PKCS12* p) const { PKCS12_free(p); }
};
struct BioDeleter {
  void operator()(BIO* p) const { BIO_free(p); }
};
struct StackDeleter {
  void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
struct StoreCtxDeleter {
  void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
};
using UniqueX509 = std::unique_ptr<X509, X509Deleter>;
using UniquePkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using UniqueStack = std::unique_ptr<STACK_OF(X509), StackDeleter>;

// The legacy provider decrypts PKCS#12 files made with older algorithms
// (RC2, 3DES); it is loaded the first time such a file fails to open.
bool LoadLegacyProvider() {
  // Kept for the life of the process.
  static std::once_flag once;
  static OSSL_PROVIDER* legacy = nullptr;
  std::call_once(once, [] { legacy = OSSL_PROVIDER_try_load(nullptr, "legacy", 1); });
  return legacy != nullptr;
}

// Parses a PKCS#12 blob. aPassword nullptr is the absent password, "" the
// empty one: the two are different MAC keys and are kept apart here.
bool ParsePkcs12(const uint8_t* aData, size_t aSize, const char* aPassword,
                 std::vector<EntryPtr>& aEntries) {
  const uint8_t* p = aData;
  std::unique_ptr<PKCS12, Pkcs12Deleter> p12(d2i_PKCS12(nullptr, &p, static_cast<long>(aSize)));
  if (!p12) return Fail(CRYPT_E_BAD_ENCODE, false);
  if (PKCS12_mac_present(p12.get()) &&
      !PKCS12_verify_mac(p12.get(), aPassword, aPassword ? -1 : 0)) {
    return Fail(ERROR_INVALID_PASSWORD, false);
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* ca = nullptr;
  bool parsed = PKCS12_parse(p12.get(), aPassword, &key, &cert, &ca) == 1;
  if (!parsed && LoadLegacyProvider()) {
    ERR_clear_error();
    parsed = PKCS12_parse(p12.get(), aPassword, &key, &cert, &ca) == 1;
  }
  ERR_clear_error();
  UniquePkey keyOwner(key);
  UniqueX509 certOwner(cert);
  UniqueStack caOwner(ca);
  if (!parsed) return Fail(ERROR_INVALID_PASSWORD, false);
  // The certificate that holds the key comes first: "find any" yields it.
  if (cert) aEntries.push_back(std::make_shared<CertEntry>(cert, key));
  for (int i = 0; ca && i < sk_X509_num(ca); ++i) {
    aEntries.push_back(std::make_shared<CertEntry>(sk_X509_value(ca, i), nullptr));
  }
  return true;
}

// The last few PKCS#12 files imported, by a digest of their contents and
// password: decrypting one costs several key derivations, and a process
// imports the same file again for every connection it makes (and once to
// check it before). The entries hold certificates and keys that no store
// changes, so stores share them. Failures are not kept.
using ImportKey = std::array<uint8_t, SHA256_DIGEST_LENGTH>;
std::atomic<uint64_t> gPkcs12Decryptions{0};

ImportKey ImportKeyOf(const uint8_t* aData, size_t aSize, const std::string* aPassword) {
  ImportKey key{};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const uint8_t marker = aPassword ? 1 : 0;  // no password is not the empty one
  const uint64_t size = aSize;
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  EVP_DigestUpdate(ctx, &size, sizeof size);
  EVP_DigestUpdate(ctx, aData, aSize);
  EVP_DigestUpdate(ctx, &marker, 1);
  if (aPassword) EVP_DigestUpdate(ctx, aPassword->data(), aPassword->size());
  EVP_DigestFinal_ex(ctx, key.data(), nullptr);
  EVP_MD_CTX_free(ctx);
  return key;
}

class ImportCache {
 public:
  bool Find(const ImportKey& aKey, std::vector<EntryPtr>& aEntries) {
    std::lock_guard guard(FLock);
    for (auto at = FKept.begin(); at != FKept.end(); ++at) {
      if (at->first != aKey) continue;
      aEntries = at->second;
      std::rotate(FKept.begin(), at, at + 1);  // most recent first
      return true;
    }
    return false;
  }
  void Keep(const ImportKey& aKey, const std::vector<EntryPtr>& aEntries) {
    std::lock_guard guard(FLock);
    FKept.insert(FKept.begin(), {aKey, aEntries});
    if (FKept.size() > kKept) FKept.pop_back();
  }

 private:
  static constexpr size_t kKept = 4;
  std::mutex FLock;
  std::vector<std::pair<ImportKey, std::vector<EntryPtr>>> FKept;
};

ImportCache& Imports() {
  // Never destroyed: stores closed while the process ends may still share
  // its entries.
  static ImportCache* const cache = new ImportCache();
  return *cache;
}

// Certificates of a PEM (or single DER) file; a private key in the file goes
// with the certificate whose public key it matches.
void LoadCertFile(const std::string& aText, std::vector<EntryPtr>& aEntries) {
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(aText.data(), static_cast<int>(aText.size())));
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr);
  std::vector<X509*> certs;
  std::vector<EVP_PKEY*> keys;
  for (int i = 0; infos && i < sk_X509_INFO_num(infos); ++i) {
    X509_INFO* info = sk_X509_INFO_value(infos, i);
    if (info->x509) certs.push_back(info->x509);
    if (info->x_pkey && info->x_pkey->dec_pkey) keys.push_back(info->x_pkey->dec_pkey);
  }
  if (certs.empty()) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(aText.data());
    UniqueX509 der(d2i_X509(nullptr, &p, static_cast<long>(aText.size())));
    if (der) aEntries.push_back(std::make_shared<CertEntry>(der.get(), nullptr));
  }
  for (X509* cert : certs) {
    EVP_PKEY* match = nullptr;
    for (EVP_PKEY* key : keys) {
      if (X509_check_private_key(cert, key) == 1) match = key;
    }
    aEntries.push_back(std::make_shared<CertEntry>(cert, match));
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  ERR_clear_error();
}

std::string ReadWholeFile(const std::filesystem::path& aPath) {
  std::string text;
  if (FILE* f = std::fopen(aPath.c_str(), "rb")) {
    char chunk[8192];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    std::fclose(f);
  }
  return text;
}

std::vector<EntryPtr> LoadFolder(const std::string& aFolder) {
  std::vector<EntryPtr> entries;
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  for (const auto& item : std::filesystem::directory_iterator(aFolder, ec)) {
    if (item.is_regular_file(ec)) files.push_back(item.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string data = ReadWholeFile(file);
    if (ext == ".p12" || ext == ".pfx") {
      const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
      if (!ParsePkcs12(bytes, data.size(), nullptr, entries)) {
        ParsePkcs12(bytes, data.size(), "", entries);
      }
    } else if (ext == ".pem" || ext == ".crt" || ext == ".cer") {
      LoadCertFile(data, entries);
    }
  }
  return entries;
}

std::string SystemStoreFolder(DWORD aLocation, const std::string& aName) {
  const char* location = aLocation == CERT_SYSTEM_STORE_LOCAL_MACHINE ? "LocalMachine" : "CurrentUser";
  return CertStoreRootFolder() + "/" + location + "/" + aName;
}

}  // namespace

// A store: a list of shared entries; a system store re-reads its folder when
// an enumeration starts, so files added meanwhile are seen.
struct CertStore {
  std::atomic<int> refs{1};
  std::mutex lock;
  std::vector<EntryPtr> entries;
  std::string folder;  // empty for a memory store

  std::vector<EntryPtr> Snapshot(bool aReload) {
    std::lock_guard<std::mutex> guard(lock);
    if (aReload && !folder.empty()) entries = LoadFolder(folder);
    return entries;
  }
  void Add(EntryPtr aEntry) {
    std::lock_guard<std::mutex> guard(lock);
    entries.push_back(std::move(aEntry));
  }
};

namespace {

void AddRef(HCERTSTORE aStore) {
  if (aStore) aStore->refs.fetch_add(1);
}

void Release(HCERTSTORE aStore) {
  if (aStore && aStore->refs.fetch_sub(1) == 1) delete aStore;
}

// Every context handed out is one of these.
struct CertContextImpl : CERT_CONTEXT {
  mutable std::atomic<int> refs{1};
  EntryPtr entry;
  std::vector<uint8_t> der;
};

const CertContextImpl* Impl(PCCERT_CONTEXT aContext) {
  return static_cast<const CertContextImpl*>(aContext);
}

PCCERT_CONTEXT NewContext(EntryPtr aEntry, HCERTSTORE aStore) {
  auto* context = new CertContextImpl();
  context->entry = std::move(aEntry);
  context->der = Der(context->entry->cert);
  context->dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  context->pbCertEncoded = context->der.data();
  context->cbCertEncoded = static_cast<DWORD>(context->der.size());
  context->pCertInfo = nullptr;
  context->hCertStore = aStore;
  AddRef(aStore);
  return context;
}

bool Sha1Matches(X509* aCert, const CRYPT_HASH_BLOB* aHash) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!aHash || !aHash->pbData || X509_digest(aCert, EVP_sha1(), digest, &length) != 1) return false;
  return aHash->cbData == length && std::memcmp(digest, aHash->pbData, length) == 0;
}

// The extended key usages of a certificate as dotted OIDs; nullopt-like flag
// "unrestricted" when it has none or the any-usage value.
struct KeyUsages {
  bool unrestricted = true;
  std::vector<std::string> oids;
  bool Allows(const std::string& aOid) const {
    return unrestricted || std::find(oids.begin(), oids.end(), aOid) != oids.end();
  }
};

KeyUsages UsagesOf(X509* aCert) {
  KeyUsages usages;
  auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(aCert, NID_ext_key_usage, nullptr, nullptr));
  if (!eku) return usages;
  usages.unrestricted = false;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
    char text[128];
    OBJ_obj2txt(text, sizeof text, sk_ASN1_OBJECT_value(eku, i), 1);
    usages.oids.emplace_back(text);
    if (usages.oids.back() == "2.5.29.37.0") usages.unrestricted = true;
  }
  EXTENDED_KEY_USAGE_free(eku);
  return usages;
}

DWORD TrustBitOf(int aVerifyError) {
  switch (aVerifyError) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CERT_TRUST_IS_NOT_TIME_VALID;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    case X509_V_ERR_CERT_REVOKED:
      return CERT_TRUST_IS_REVOKED;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return CERT_TRUST_IS_UNTRUSTED_ROOT;
    case X509_V_ERR_INVALID_PURPOSE:
      return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    default:
      // Missing issuers and every other defect: the chain does not reach a root.
      return CERT_TRUST_IS_PARTIAL_CHAIN;
  }
}

// A chain engine other than the default one.
struct ChainEngine {
  bool exclusive = false;  // the roots below are the only trust anchors
  std::vector<EntryPtr> roots;
  std::vector<EntryPtr> additional;  // issuers offered to every chain, untrusted
};

// --- the system's trust anchors ------------------------------------------------

std::atomic<uint64_t> gSystemAnchorBuilds{0};
std::atomic<uint64_t> gDefaultFileLoads{0};

// What the deferred lookup of one store keeps: the store's file lookup, which
// reads OpenSSL's default anchors' file the first time a chain asks for a
// name that nothing else in the store has.
struct DeferredAnchors {
  X509_LOOKUP* file = nullptr;
  std::mutex lock;
  bool loaded = false;
};

void LoadDeferredAnchors(DeferredAnchors& aAnchors) {
  std::lock_guard<std::mutex> guard(aAnchors.lock);
  if (aAnchors.loaded) return;
  aAnchors.loaded = true;
  // Errors of a missing or damaged file are dropped, as when the defaults are
  // loaded at once; the chain then fails on its own.
  ERR_set_mark();
  X509_LOOKUP_load_file(aAnchors.file, nullptr, X509_FILETYPE_DEFAULT);
  ERR_pop_to_mark();
  gDefaultFileLoads.fetch_add(1);
}

// Asked after the certificates the store holds and the folder lookups missed
// the name: loads the default file into the store and answers from what the
// store holds then. The answer borrows the store's object, as OpenSSL's own
// lookups do; the caller takes its reference.
int DeferredAnchorsBySubject(X509_LOOKUP* aLookup, X509_LOOKUP_TYPE aType, const X509_NAME* aName,
                             X509_OBJECT* aResult) {
  auto* anchors = static_cast<DeferredAnchors*>(X509_LOOKUP_get_method_data(aLookup));
  X509_STORE* store = X509_LOOKUP_get_store(aLookup);
  if (!anchors || !store || !aName || !aResult) return 0;
  LoadDeferredAnchors(*anchors);
  int found = 0;
  if (X509_STORE_lock(store) != 1) return 0;
  X509_OBJECT* object = X509_OBJECT_retrieve_by_subject(X509_STORE_get0_objects(store), aType,
                                                        const_cast<X509_NAME*>(aName));
  if (object && aType == X509_LU_X509) {
    X509* cert = X509_OBJECT_get0_X509(object);
    if (cert && X509_OBJECT_set1_X509(aResult, cert) == 1) {
      X509_free(cert);
      found = 1;
    }
  } else if (object && aType == X509_LU_CRL) {
    X509_CRL* list = X509_OBJECT_get0_X509_CRL(object);
    if (list && X509_OBJECT_set1_X509_CRL(aResult, list) == 1) {
      X509_CRL_free(list);
      found = 1;
    }
  }
  X509_STORE_unlock(store);
  return found;
}

void FreeDeferredAnchors(X509_LOOKUP* aLookup) {
  delete static_cast<DeferredAnchors*>(X509_LOOKUP_get_method_data(aLookup));
  X509_LOOKUP_set_method_data(aLookup, nullptr);
}

// Kept for the life of the process.
X509_LOOKUP_METHOD* DeferredAnchorsMethod() {
  static X509_LOOKUP_METHOD* const method = [] {
    X509_LOOKUP_METHOD* made = X509_LOOKUP_meth_new("deferred default trust anchors");
    if (made) {
      X509_LOOKUP_meth_set_get_by_subject(made, DeferredAnchorsBySubject);
      X509_LOOKUP_meth_set_free(made, FreeDeferredAnchors);
    }
    return made;
  }();
  return method;
}

// OpenSSL's default trust anchors as X509_STORE_set_default_paths gives them
// (the default file, the hashed default folder, the default store, in that
// order), except that the file is read only when a chain needs a name that
// nothing else in the store has. The folders are looked up by name anyway.
void AddDefaultAnchors(X509_STORE* aStore) {
  X509_LOOKUP_METHOD* method = DeferredAnchorsMethod();
  X509_LOOKUP* file = method ? X509_STORE_add_lookup(aStore, X509_LOOKUP_file()) : nullptr;
  X509_LOOKUP* folder = file ? X509_STORE_add_lookup(aStore, X509_LOOKUP_hash_dir()) : nullptr;
  X509_LOOKUP* uri = folder ? X509_STORE_add_lookup(aStore, X509_LOOKUP_store()) : nullptr;
  X509_LOOKUP* deferred = uri ? X509_STORE_add_lookup(aStore, method) : nullptr;
  auto anchors = std::make_unique<DeferredAnchors>();
  anchors->file = file;
  if (!deferred || X509_LOOKUP_set_method_data(deferred, anchors.get()) != 1) {
    // Adding a lookup the store has gives the one it has: nothing is doubled.
    X509_STORE_set_default_paths(aStore);
    gDefaultFileLoads.fetch_add(1);
    return;
  }
  anchors.release();  // freed with the lookup
  X509_LOOKUP_add_dir(folder, nullptr, X509_FILETYPE_DEFAULT);
  X509_LOOKUP_add_store(uri, nullptr);
}

// The system's trust anchors: OpenSSL's defaults plus the "Root" folders.
X509_STORE* NewSystemAnchors() {
  X509_STORE* store = X509_STORE_new();
  if (!store) return nullptr;
  AddDefaultAnchors(store);
  for (DWORD location : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE}) {
    for (const EntryPtr& entry : LoadFolder(SystemStoreFolder(location, "Root"))) {
      X509_STORE_add_cert(store, entry->cert);
    }
  }
  ERR_clear_error();
  gSystemAnchorBuilds.fetch_add(1);
  return store;
}

// A file or folder by its identity, size and times ("-" when missing): a
// changed one is a new one.
std::string PathStatus(const std::string& aPath) {
  struct stat status {};
  if (aPath.empty() || ::stat(aPath.c_str(), &status) != 0) return "-";
  return std::to_string(status.st_dev) + '/' + std::to_string(status.st_ino) + '/' +
         std::to_string(status.st_size) + '/' + std::to_string(status.st_mtim.tv_sec) + '.' +
         std::to_string(status.st_mtim.tv_nsec) + '/' + std::to_string(status.st_ctim.tv_sec) + '.' +
         std::to_string(status.st_ctim.tv_nsec);
}

void AddKeyPart(std::string& aKey, const std::string& aText) {
  aKey += std::to_string(aText.size());
  aKey += ':';
  aKey += aText;
}

// What the system anchors are made of: where OpenSSL's defaults are and the
// status of the file and folders there, and the "Root" folders with the
// status of each file in them.
std::string SystemAnchorsKey() {
  std::string key;
  const char* fileVariable = secure_getenv(X509_get_default_cert_file_env());
  const std::string file = fileVariable ? fileVariable : X509_get_default_cert_file();
  AddKeyPart(key, file);
  AddKeyPart(key, PathStatus(file));
  const char* dirVariable = secure_getenv(X509_get_default_cert_dir_env());
  const std::string dirs = dirVariable ? dirVariable : X509_get_default_cert_dir();
  AddKeyPart(key, dirs);
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    AddKeyPart(key, PathStatus(dirs.substr(start, end - start)));
    start = end + 1;
  }
  for (DWORD location : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE}) {
    const std::string folder = SystemStoreFolder(location, "Root");
    AddKeyPart(key, folder);
    AddKeyPart(key, PathStatus(folder));
    std::error_code ec;
    std::vector<std::string> files;
    for (const auto& item : std::filesystem::directory_iterator(folder, ec)) files.push_back(item.path());
    std::sort(files.begin(), files.end());
    for (const std::string& name : files) {
      AddKeyPart(key, name);
      AddKeyPart(key, PathStatus(name));
    }
  }
  return key;
}

using SharedStore = std::shared_ptr<X509_STORE>;

SharedStore ShareStore(X509_STORE* aStore) {
  return aStore ? SharedStore(aStore, [](X509_STORE* p) { X509_STORE_free(p); }) : nullptr;
}

// One system store per process, made again when what it is made of changes.
// Chain checks on many threads use it at once (OpenSSL locks the store).
SharedStore SystemAnchors() {
  static std::mutex lock;
  static std::string cachedKey;
  static SharedStore* cached = new SharedStore;  // never destroyed: chains may be checked at exit
  const std::string key = SystemAnchorsKey();
  std::lock_guard<std::mutex> guard(lock);
  if (!*cached || key != cachedKey) {
    SharedStore made = ShareStore(NewSystemAnchors());
    if (!made) return nullptr;
    *cached = std::move(made);
    cachedKey = key;
  }
  return *cached;
}

// The trust anchors: the system's (shared), or an engine's exclusive roots.
SharedStore TrustAnchors(const ChainEngine* aEngine) {
  if (!aEngine || !aEngine->exclusive) return SystemAnchors();
  SharedStore store = ShareStore(X509_STORE_new());
  if (!store) return nullptr;
  for (const EntryPtr& entry : aEngine->roots) X509_STORE_add_cert(store.get(), entry->cert);
  ERR_clear_error();
  return store;
}

struct ChainErrors {
  std::vector<DWORD> byDepth;
  void Add(int aDepth, DWORD aBit) {
    if (aDepth < 0) aDepth = 0;
    if (static_cast<size_t>(aDepth) >= byDepth.size()) byDepth.resize(aDepth + 1, 0);
    byDepth[aDepth] |= aBit;
  }
};

int CollectVerifyErrors(int aOk, X509_STORE_CTX* aContext) {
  if (!aOk) {
    auto* errors = static_cast<ChainErrors*>(X509_STORE_CTX_get_app_data(aContext));
    errors->Add(X509_STORE_CTX_get_error_depth(aContext),
                TrustBitOf(X509_STORE_CTX_get_error(aContext)));
  }
  return 1;  // keep going: every defect is recorded, the chain is built as far as it goes
}

struct ChainImpl : CERT_CHAIN_CONTEXT {
  CERT_SIMPLE_CHAIN simple{};
  PCERT_SIMPLE_CHAIN simplePointer = &simple;
  std::vector<CERT_CHAIN_ELEMENT> elements;
  std::vector<PCERT_CHAIN_ELEMENT> elementPointers;
  size_t findIndex = 0;  // position in the store of the chain's leaf (CertFindChainInStore)

  ~ChainImpl() {
    for (auto& element : elements) CertFreeCertificateContext(element.pCertContext);
  }
};

// Builds the chain of aLeaf with aUntrusted as helpers; the leaf's element
// holds a duplicate of aLeafContext.
ChainImpl* BuildChain(PCCERT_CONTEXT aLeafContext, STACK_OF(X509) * aUntrusted,
                      const FILETIME* aTime, const ChainEngine* aEngine = nullptr) {
  X509* leaf = CertContextX509(aLeafContext);
  const SharedStore anchors = TrustAnchors(aEngine);
  std::unique_ptr<X509_STORE_CTX, StoreCtxDeleter> context(X509_STORE_CTX_new());
  if (!anchors || !context || X509_STORE_CTX_init(context.get(), anchors.get(), leaf, aUntrusted) != 1) {
    return Fail(ERROR_INVALID_PARAMETER, nullptr);
  }
  ChainErrors errors;
  X509_STORE_CTX_set_app_data(context.get(), &errors);
  X509_STORE_CTX_set_verify_cb(context.get(), CollectVerifyErrors);
  if (aTime) {
    // FILETIME: 100 ns units since 1601-01-01.
    const uint64_t ticks = (uint64_t{aTime->dwHighDateTime} << 32) | aTime->dwLowDateTime;
    X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(context.get()),
                               static_cast<time_t>(ticks / 10000000ULL) - 11644473600LL);
  }
  X509_verify_cert(context.get());
  UniqueStack built(X509_STORE_CTX_get1_chain(context.get()));
  ERR_clear_error();

  auto* chain = new ChainImpl();
  const int count = built ? sk_X509_num(built.get()) : 0;
  HCERTSTORE chainStore = CertStoreFromX509Stack(built.get());
  chain->elements.resize(std::max(count, 1));
  for (size_t i = 0; i < chain->elements.size(); ++i) {
    CERT_CHAIN_ELEMENT& element = chain->elements[i];
    element.cbSize = sizeof(CERT_CHAIN_ELEMENT);
    element.pCertContext = i == 0 ? CertDuplicateCertificateContext(aLeafContext)
                                  : CertContextFromX509(sk_X509_value(built.get(), static_cast<int>(i)),
                                                        nullptr, chainStore);
    element.TrustStatus = {i < errors.byDepth.size() ? errors.byDepth[i] : 0, 0};
    chain->simple.TrustStatus.dwErrorStatus |= element.TrustStatus.dwErrorStatus;
  }
  // Errors reported for depths beyond the built chain belong to its end.
  for (size_t i = chain->elements.size(); i < errors.byDepth.size(); ++i) {
    chain->elements.back().TrustStatus.dwErrorStatus |= errors.byDepth[i];
    chain->simple.TrustStatus.dwErrorStatus |= errors.byDepth[i];
  }
  CertCloseStore(chainStore, 0);
  for (auto& element : chain->elements) chain->elementPointers.push_back(&element);
  chain->simple.cbSize = sizeof(CERT_SIMPLE_CHAIN);
  chain->simple.cElement = static_cast<DWORD>(chain->elements.size());
  chain->simple.rgpElement = chain->elementPointers.data();
  chain->cbSize = sizeof(CERT_CHAIN_CONTEXT);
  chain->TrustStatus = chain->simple.TrustStatus;
  chain->cChain = 1;
  chain->rgpChain = &chain->simplePointer;
  return chain;
}

void MarkUsageError(ChainImpl* aChain) {
  aChain->elements[0].TrustStatus.dwErrorStatus |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
  aChain->simple.TrustStatus.dwErrorStatus |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
  aChain->TrustStatus.dwErrorStatus |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
}

UniqueStack StoreStack(HCERTSTORE aStore) {
  UniqueStack stack(sk_X509_new_null());
  if (aStore) {
    CertStoreForEach(aStore, [&](X509* aCert, EVP_PKEY*) {
      X509_up_ref(aCert);
      sk_X509_push(stack.get(), aCert);
    });
  }
  return stack;
}

std::vector<uint8_t> NameDer(const X509_NAME* aName) {
  std::vector<uint8_t> der(std::max(0, i2d_X509_NAME(aName, nullptr)));
  uint8_t* p = der.data();
  if (!der.empty()) i2d_X509_NAME(aName, &p);
  return der;
}

bool IsIpLiteral(const std::string& aName) {
  unsigned char address[16];
  return inet_pton(AF_INET, aName.c_str(), address) == 1 ||
         inet_pton(AF_INET6, aName.c_str(), address) == 1;
}

}  // namespace

// ---------------------------------------------------------------------------

DWORD CryptGetLastError() { return tLastError; }

std::u16string Utf8ToUtf16(const std::string& aText) {
  std::u16string out;
  for (size_t i = 0; i < aText.size();) {
    const auto c = static_cast<unsigned char>(aText[i]);
    uint32_t code = 0xFFFD;
    size_t length = 1;
    if (c < 0x80) {
      code = c;
    } else if ((c >> 5) == 0x6 && i + 1 < aText.size()) {
      code = ((c & 0x1F) << 6) | (aText[i + 1] & 0x3F);
      length = 2;
    } else if ((c >> 4) == 0xE && i + 2 < aText.size()) {
      code = ((c & 0x0F) << 12) | ((aText[i + 1] & 0x3F) << 6) | (aText[i + 2] & 0x3F);
      length = 3;
    } else if ((c >> 3) == 0x1E && i + 3 < aText.size()) {
      code = ((c & 0x07) << 18) | ((aText[i + 1] & 0x3F) << 12) | ((aText[i + 2] & 0x3F) << 6) |
             (aText[i + 3] & 0x3F);
      length = 4;
    }
    i += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& aText) {
  std::string out;
  for (size_t i = 0; i < aText.size(); ++i) {
    uint32_t code = aText[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < aText.size() && aText[i + 1] >= 0xDC00 &&
        aText[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (aText[++i] - 0xDC00);
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

std::string CertStoreRootFolder() {
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    config = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    config = std::string(home) + "/.config";
  } else {
    config = ".config";
  }
  return config + "/apns-provider/certstores";
}

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD, HCRYPTPROV_LEGACY, DWORD dwFlags,
                         const void* pvPara) {
  if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) return new CertStore();
  if (lpszStoreProvider == CERT_STORE_PROV_FILENAME_W) {
    // The certificates of one file, read now; the store keeps no tie to it.
    const std::string path = pvPara ? Utf16ToUtf8(static_cast<LPCWSTR>(pvPara)) : "";
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_regular_file(path, ec)) {
      return Fail<HCERTSTORE>(ERROR_FILE_NOT_FOUND, nullptr);
    }
    std::vector<EntryPtr> entries;
    LoadCertFile(ReadWholeFile(path), entries);
    if (entries.empty()) return Fail<HCERTSTORE>(CRYPT_E_BAD_ENCODE, nullptr);
    auto* store = new CertStore();
    store->entries = std::move(entries);
    return store;
  }
  if (lpszStoreProvider != CERT_STORE_PROV_SYSTEM || !pvPara) {
    return Fail<HCERTSTORE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  const std::string name = Utf16ToUtf8(static_cast<LPCWSTR>(pvPara));
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    return Fail<HCERTSTORE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  const DWORD location = dwFlags & CERT_SYSTEM_STORE_LOCATION_MASK;
  if (location != 0 && location != CERT_SYSTEM_STORE_CURRENT_USER &&
      location != CERT_SYSTEM_STORE_LOCAL_MACHINE) {
    return Fail<HCERTSTORE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  const std::string folder = SystemStoreFolder(location, name);
  std::error_code ec;
  if ((dwFlags & CERT_STORE_OPEN_EXISTING_FLAG) && !std::filesystem::is_directory(folder, ec)) {
    return Fail<HCERTSTORE>(CRYPT_E_NOT_FOUND, nullptr);
  }
  auto* store = new CertStore();
  store->folder = folder;
  return store;
}

HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY, LPCWSTR szSubsystemProtocol) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                       CERT_SYSTEM_STORE_CURRENT_USER, szSubsystemProtocol);
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD) {
  Release(hCertStore);
  return TRUE;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext, DWORD,
                                      PCCERT_CONTEXT* ppStoreContext) {
  if (!hCertStore || !pCertContext) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  EntryPtr entry = Impl(pCertContext)->entry;
  hCertStore->Add(entry);
  if (ppStoreContext) *ppStoreContext = NewContext(entry, hCertStore);
  return TRUE;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD, DWORD, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
  if (!hCertStore) {
    CertFreeCertificateContext(pPrevCertContext);
    return Fail<PCCERT_CONTEXT>(ERROR_INVALID_PARAMETER, nullptr);
  }
  const std::vector<EntryPtr> entries = hCertStore->Snapshot(pPrevCertContext == nullptr);
  size_t start = 0;
  if (pPrevCertContext) {
    const std::vector<uint8_t>& previous = Impl(pPrevCertContext)->der;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i] == Impl(pPrevCertContext)->entry || Der(entries[i]->cert) == previous) {
        start = i + 1;
        break;
      }
    }
    CertFreeCertificateContext(pPrevCertContext);
  }
  for (size_t i = start; i < entries.size(); ++i) {
    bool match = false;
    switch (dwFindType) {
      case CERT_FIND_ANY:
        match = true;
        break;
      case CERT_FIND_SHA1_HASH:
        match = Sha1Matches(entries[i]->cert, static_cast<const CRYPT_HASH_BLOB*>(pvFindPara));
        break;
      default:
        return Fail<PCCERT_CONTEXT>(ERROR_INVALID_PARAMETER, nullptr);
    }
    if (match) return NewContext(entries[i], hCertStore);
  }
  return Fail<PCCERT_CONTEXT>(CRYPT_E_NOT_FOUND, nullptr);
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (pCertContext) Impl(pCertContext)->refs.fetch_add(1);
  return pCertContext;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (pCertContext) {
    auto* context = const_cast<CertContextImpl*>(Impl(pCertContext));
    if (context->refs.fetch_sub(1) == 1) {
      HCERTSTORE store = context->hCertStore;
      delete context;
      Release(store);
    }
  }
  return TRUE;
}

HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD) {
  if (!pPFX || !pPFX->pbData) return Fail<HCERTSTORE>(ERROR_INVALID_PARAMETER, nullptr);
  std::string password;
  if (szPassword) password = Utf16ToUtf8(szPassword);
  const ImportKey key = ImportKeyOf(pPFX->pbData, pPFX->cbData, szPassword ? &password : nullptr);
  std::vector<EntryPtr> entries;
  bool parsed = Imports().Find(key, entries);
  if (!parsed) {
    ++gPkcs12Decryptions;
    parsed = ParsePkcs12(pPFX->pbData, pPFX->cbData, szPassword ? password.c_str() : nullptr, entries);
    if (parsed) Imports().Keep(key, entries);
  }
  OPENSSL_cleanse(password.data(), password.size());
  if (!parsed) return nullptr;
  auto* store = new CertStore();
  store->entries = std::move(entries);
  return store;
}

BOOL CertCreateCertificateChainEngine(const CERT_CHAIN_ENGINE_CONFIG* pConfig,
                                      HCERTCHAINENGINE* phChainEngine) {
  if (!pConfig || !phChainEngine || pConfig->hRestrictedRoot || pConfig->hRestrictedTrust ||
      pConfig->hRestrictedOther || (pConfig->cAdditionalStore && !pConfig->rghAdditionalStore)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  auto engine = std::make_unique<ChainEngine>();
  if (pConfig->hExclusiveRoot) {
    engine->exclusive = true;
    engine->roots = pConfig->hExclusiveRoot->Snapshot(true);
  }
  for (DWORD i = 0; i < pConfig->cAdditionalStore; ++i) {
    if (!pConfig->rghAdditionalStore[i]) continue;
    for (EntryPtr& entry : pConfig->rghAdditionalStore[i]->Snapshot(true)) {
      engine->additional.push_back(std::move(entry));
    }
  }
  *phChainEngine = engine.release();
  return TRUE;
}

void CertFreeCertificateChainEngine(HCERTCHAINENGINE hChainEngine) {
  delete static_cast<ChainEngine*>(hChainEngine);
}

BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                             const FILETIME* pTime, HCERTSTORE hAdditionalStore,
                             const CERT_CHAIN_PARA* pChainPara, DWORD, void*,
                             PCCERT_CHAIN_CONTEXT* ppChainContext) {
  if (!pCertContext || !ppChainContext) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *ppChainContext = nullptr;
  const auto* engine = static_cast<const ChainEngine*>(hChainEngine);
  UniqueStack untrusted = StoreStack(hAdditionalStore);
  if (engine) {
    for (const EntryPtr& entry : engine->additional) {
      X509_up_ref(entry->cert);
      sk_X509_push(untrusted.get(), entry->cert);
    }
  }
  ChainImpl* chain = BuildChain(pCertContext, untrusted.get(), pTime, engine);
  if (!chain) return FALSE;
  if (pChainPara && pChainPara->RequestedUsage.Usage.cUsageIdentifier > 0) {
    const KeyUsages usages = UsagesOf(CertContextX509(pCertContext));
    const CERT_ENHKEY_USAGE& requested = pChainPara->RequestedUsage.Usage;
    const bool any = pChainPara->RequestedUsage.dwType == USAGE_MATCH_TYPE_OR;
    bool ok = !any;
    for (DWORD i = 0; i < requested.cUsageIdentifier; ++i) {
      const bool allowed = usages.Allows(requested.rgpszUsageIdentifier[i]);
      ok = any ? (ok || allowed) : (ok && allowed);
    }
    if (!ok) MarkUsageError(chain);
  }
  *ppChainContext = chain;
  return TRUE;
}

PCCERT_CHAIN_CONTEXT CertFindChainInStore(HCERTSTORE hCertStore, DWORD, DWORD, DWORD dwFindType,
                                          const void* pvFindPara,
                                          PCCERT_CHAIN_CONTEXT pPrevChainContext) {
  const auto* para = static_cast<const CERT_CHAIN_FIND_BY_ISSUER_PARA*>(pvFindPara);
  size_t start = 0;
  if (pPrevChainContext) {
    start = static_cast<const ChainImpl*>(pPrevChainContext)->findIndex + 1;
    CertFreeCertificateChain(pPrevChainContext);
  }
  if (!hCertStore || dwFindType != CERT_CHAIN_FIND_BY_ISSUER || !para || para->pfnFindCallback) {
    return Fail<PCCERT_CHAIN_CONTEXT>(ERROR_INVALID_PARAMETER, nullptr);
  }
  const std::vector<EntryPtr> entries = hCertStore->Snapshot(pPrevChainContext == nullptr);
  UniqueStack untrusted(sk_X509_new_null());
  for (const EntryPtr& entry : entries) {
    X509_up_ref(entry->cert);
    sk_X509_push(untrusted.get(), entry->cert);
  }
  for (size_t i = start; i < entries.size(); ++i) {
    if (!entries[i]->key) continue;
    if (para->pszUsageIdentifier && !UsagesOf(entries[i]->cert).Allows(para->pszUsageIdentifier)) {
      continue;
    }
    PCCERT_CONTEXT leaf = NewContext(entries[i], hCertStore);
    ChainImpl* chain = BuildChain(leaf, untrusted.get(), nullptr);
    CertFreeCertificateContext(leaf);
    if (!chain) continue;
    bool issuerMatch = para->cIssuer == 0;
    for (size_t e = 0; e < chain->elements.size() && !issuerMatch; ++e) {
      X509* cert = CertContextX509(chain->elements[e].pCertContext);
      const std::vector<uint8_t> issuer = NameDer(X509_get_issuer_name(cert));
      for (DWORD k = 0; k < para->cIssuer && !issuerMatch; ++k) {
        const CERT_NAME_BLOB& wanted = para->rgIssuer[k];
        issuerMatch = wanted.cbData == issuer.size() &&
                      std::memcmp(wanted.pbData, issuer.data(), issuer.size()) == 0;
      }
    }
    if (issuerMatch) {
      chain->findIndex = i;
      return chain;
    }
    CertFreeCertificateChain(chain);
  }
  return Fail<PCCERT_CHAIN_CONTEXT>(CRYPT_E_NOT_FOUND, nullptr);
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  delete static_cast<const ChainImpl*>(pChainContext);
}

BOOL CertVerifyCertificateChainPolicy(LPCSTR pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      const CERT_CHAIN_POLICY_PARA* pPolicyPara,
                                      CERT_CHAIN_POLICY_STATUS* pPolicyStatus) {
  if (pszPolicyOID != CERT_CHAIN_POLICY_SSL || !pChainContext || !pPolicyStatus ||
      pChainContext->cChain == 0 || pChainContext->rgpChain[0]->cElement == 0) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const auto* extra =
      pPolicyPara ? static_cast<const HTTPSPolicyCallbackData*>(pPolicyPara->pvExtraPolicyPara) : nullptr;
  const DWORD checks = extra ? extra->fdwChecks : 0;
  const DWORD authType = extra ? extra->dwAuthType : AUTHTYPE_SERVER;
  const CERT_SIMPLE_CHAIN* simple = pChainContext->rgpChain[0];
  X509* leaf = CertContextX509(simple->rgpElement[0]->pCertContext);

  pPolicyStatus->dwError = 0;
  pPolicyStatus->lChainIndex = -1;
  pPolicyStatus->lElementIndex = -1;
  auto fail = [&](DWORD aError, DWORD aTrustBit) {
    pPolicyStatus->dwError = aError;
    pPolicyStatus->lChainIndex = 0;
    pPolicyStatus->lElementIndex = 0;
    for (DWORD i = 0; aTrustBit && i < simple->cElement; ++i) {
      if (simple->rgpElement[i]->TrustStatus.dwErrorStatus & aTrustBit) {
        pPolicyStatus->lElementIndex = static_cast<LONG>(i);
        break;
      }
    }
    return TRUE;
  };

  const DWORD trust = pChainContext->TrustStatus.dwErrorStatus;
  if (trust & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
    return fail(TRUST_E_CERT_SIGNATURE, CERT_TRUST_IS_NOT_SIGNATURE_VALID);
  }
  if (!(checks & SECURITY_FLAG_IGNORE_UNKNOWN_CA)) {
    if (trust & CERT_TRUST_IS_UNTRUSTED_ROOT) return fail(CERT_E_UNTRUSTEDROOT, CERT_TRUST_IS_UNTRUSTED_ROOT);
    if (trust & CERT_TRUST_IS_PARTIAL_CHAIN) return fail(CERT_E_CHAINING, CERT_TRUST_IS_PARTIAL_CHAIN);
  }
  if (trust & CERT_TRUST_IS_REVOKED) return fail(CERT_E_REVOKED, CERT_TRUST_IS_REVOKED);
  if ((trust & CERT_TRUST_IS_NOT_TIME_VALID) && !(checks & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID)) {
    return fail(CERT_E_EXPIRED, CERT_TRUST_IS_NOT_TIME_VALID);
  }
  if (!(checks & SECURITY_FLAG_IGNORE_WRONG_USAGE)) {
    if (trust & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
      return fail(CERT_E_WRONG_USAGE, CERT_TRUST_IS_NOT_VALID_FOR_USAGE);
    }
    const KeyUsages usages = UsagesOf(leaf);
    const bool usable = authType == AUTHTYPE_CLIENT
                            ? usages.Allows(szOID_PKIX_KP_CLIENT_AUTH)
                            : usages.Allows(szOID_PKIX_KP_SERVER_AUTH) ||
                                  usages.Allows(szOID_SERVER_GATED_CRYPTO) ||
                                  usages.Allows(szOID_SGC_NETSCAPE);
    if (!usable) return fail(CERT_E_WRONG_USAGE, 0);
  }
  if (extra && authType == AUTHTYPE_SERVER && !(checks & SECURITY_FLAG_IGNORE_CERT_CN_INVALID)) {
    const std::string name = extra->pwszServerName ? Utf16ToUtf8(extra->pwszServerName) : "";
    const bool matches = !name.empty() && (IsIpLiteral(name)
                                               ? X509_check_ip_asc(leaf, name.c_str(), 0) == 1
                                               : X509_check_host(leaf, name.data(), name.size(), 0,
                                                                 nullptr) == 1);
    if (!matches) return fail(CERT_E_CN_NO_MATCH, 0);
  }
  return TRUE;
}

BOOL CryptStringToBinaryW(LPCWSTR pszString, DWORD cchString, DWORD dwFlags, BYTE* pbBinary,
                          DWORD* pcbBinary, DWORD* pdwSkip, DWORD* pdwFlags) {
  if (!pszString || !pcbBinary || dwFlags != CRYPT_STRING_HEX) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const std::u16string text =
      cchString ? std::u16string(pszString, cchString) : std::u16string(pszString);
  std::vector<BYTE> bytes;
  int high = -1;
  for (char16_t c : text) {
    int digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n') {
      continue;
    } else {
      return Fail(CRYPT_E_BAD_ENCODE, FALSE);
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<BYTE>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return Fail(CRYPT_E_BAD_ENCODE, FALSE);
  if (pdwSkip) *pdwSkip = 0;
  if (pdwFlags) *pdwFlags = CRYPT_STRING_HEX;
  if (!pbBinary) {
    *pcbBinary = static_cast<DWORD>(bytes.size());
    return TRUE;
  }
  if (*pcbBinary < bytes.size()) {
    *pcbBinary = static_cast<DWORD>(bytes.size());
    return Fail(ERROR_MORE_DATA, FALSE);
  }
  std::copy(bytes.begin(), bytes.end(), pbBinary);
  *pcbBinary = static_cast<DWORD>(bytes.size());
  return TRUE;
}

// --- OpenSSL side ----------------------------------------------------------

PCCERT_CONTEXT CertContextFromX509(X509* aCert, EVP_PKEY* aKey, HCERTSTORE aStore) {
  auto entry = std::make_shared<CertEntry>(aCert, aKey);
  if (aStore) {
    aStore->Add(entry);
    return NewContext(entry, aStore);
  }
  HCERTSTORE store = new CertStore();
  store->Add(entry);
  PCCERT_CONTEXT context = NewContext(entry, store);
  Release(store);  // the context keeps it
  return context;
}

X509* CertContextX509(PCCERT_CONTEXT aContext) {
  return aContext ? Impl(aContext)->entry->cert : nullptr;
}

EVP_PKEY* CertContextPrivateKey(PCCERT_CONTEXT aContext) {
  return aContext ? Impl(aContext)->entry->key : nullptr;
}

HCERTSTORE CertStoreFromX509Stack(STACK_OF(X509) * aCerts) {
  auto* store = new CertStore();
  for (int i = 0; aCerts && i < sk_X509_num(aCerts); ++i) {
    store->entries.push_back(std::make_shared<CertEntry>(sk_X509_value(aCerts, i), nullptr));
  }
  return store;
}

void CertStoreForEach(HCERTSTORE aStore, const std::function<void(X509*, EVP_PKEY*)>& aVisit) {
  for (const EntryPtr& entry : aStore->Snapshot(false)) aVisit(entry->cert, entry->key);
}

uint64_t SystemTrustStoreBuilds() { return gSystemAnchorBuilds.load(); }
uint64_t Pkcs12Decryptions() { return gPkcs12Decryptions.load(); }

uint64_t DefaultTrustFileLoads() { return gDefaultFileLoads.load(); }
