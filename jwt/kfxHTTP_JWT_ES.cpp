#include "jwt/kfxHTTP_JWT_ES.h"

#include <dlfcn.h>

#include <mutex>

#include "jwt/kfxHTTP_JWT_Classes_OpenSSL.h"
#include "jwt/kfxHTTP_JWT_ECKey.h"
#include "tls/kfxBase_Helpers_OpenSSL.h"
#include "tls/kfxIdSSLOpenSSL.h"
#include "tls/kfxIdSSLOpenSSLHeaders.h"

struct ec_point_st;

namespace {

struct TCurve {
  int NID;      // of the named curve
  size_t Half;  // octets of r and of s
};

TCurve CurveOf(int aBits) {
  switch (aBits) {
    case 256: return {415, 32};  // P-256 (prime256v1)
    case 384: return {715, 48};  // P-384 (secp384r1)
    default: return {716, 66};   // P-521 (secp521r1)
  }
}

TIdBytes Digest(int aBits, const TIdBytes& aValue) {
  // These fall back to the program's own SHA-2 when the library's hashing
  // is not available, so a digest is always there.
  switch (aBits) {
    case 256: return DigestSHA256(aValue);
    case 384: return DigestSHA384(aValue);
    default: return DigestSHA512(aValue);
  }
}

// The layout of ECDSA_SIG in the libraries before it became opaque.
struct TLegacyECDSASig {
  bignum_st* r;
  bignum_st* s;
};

// The entry points of the ES operations, all looked up before any is called;
// the first missing one of the first eight is reported by name.
struct TESEntries {
  TESEntries()
      : ECDSA_do_sign(CryptoEntry<decltype(ECDSA_do_sign)>("ECDSA_do_sign")),
        ECDSA_SIG_free(CryptoEntry<decltype(ECDSA_SIG_free)>("ECDSA_SIG_free")),
        BN_num_bits(CryptoEntry<TBN_num_bits>("BN_num_bits")),
        BN_bn2bin(CryptoEntry<TBN_bn2bin>("BN_bn2bin")),
        BN_bin2bn(CryptoEntry<TBN_bin2bn>("BN_bin2bn")),
        ECDSA_do_verify(CryptoEntry<decltype(ECDSA_do_verify)>("ECDSA_do_verify")),
        EC_KEY_free(CryptoEntry<decltype(EC_KEY_free)>("EC_KEY_free")),
        ECDSA_SIG_new(CryptoEntry<decltype(ECDSA_SIG_new)>("ECDSA_SIG_new")),
        EC_KEY_get0_group(CryptoEntry<decltype(EC_KEY_get0_group)>("EC_KEY_get0_group")),
        EC_GROUP_get_curve_name(
            CryptoEntry<decltype(EC_GROUP_get_curve_name)>("EC_GROUP_get_curve_name")),
        EVP_PKEY_get1_EC_KEY(CryptoEntry<decltype(EVP_PKEY_get1_EC_KEY)>("EVP_PKEY_get1_EC_KEY")),
        EVP_PKEY_free(CryptoEntry<decltype(EVP_PKEY_free)>("EVP_PKEY_free")),
        BN_free(CryptoEntry<decltype(BN_free)>("BN_free")),
        ECDSA_SIG_get0(OptionalCryptoEntry<decltype(ECDSA_SIG_get0)>("ECDSA_SIG_get0")),
        ECDSA_SIG_set0(OptionalCryptoEntry<decltype(ECDSA_SIG_set0)>("ECDSA_SIG_set0")) {}

  ECDSA_SIG_st* (*ECDSA_do_sign)(const unsigned char*, int, ec_key_st*);
  void (*ECDSA_SIG_free)(ECDSA_SIG_st*);
  TBN_num_bits BN_num_bits;
  TBN_bn2bin BN_bn2bin;
  TBN_bin2bn BN_bin2bn;
  int (*ECDSA_do_verify)(const unsigned char*, int, const ECDSA_SIG_st*, ec_key_st*);
  void (*EC_KEY_free)(ec_key_st*);
  ECDSA_SIG_st* (*ECDSA_SIG_new)();
  const ec_group_st* (*EC_KEY_get0_group)(const ec_key_st*);
  int (*EC_GROUP_get_curve_name)(const ec_group_st*);
  ec_key_st* (*EVP_PKEY_get1_EC_KEY)(evp_pkey_st*);
  void (*EVP_PKEY_free)(evp_pkey_st*);
  void (*BN_free)(bignum_st*);
  // Accessors of the opaque ECDSA_SIG (1.1 and later); the older libraries
  // lack them and expose the fields.
  void (*ECDSA_SIG_get0)(const ECDSA_SIG_st*, const bignum_st**, const bignum_st**);
  int (*ECDSA_SIG_set0)(ECDSA_SIG_st*, bignum_st*, bignum_st*);

  bool OnCurve(ec_key_st* aKey, const TCurve& aCurve) const {
    const ec_group_st* group = EC_KEY_get0_group(aKey);
    return group && EC_GROUP_get_curve_name(group) == aCurve.NID;
  }
};

// r or s, left-padded with zeros to fill its half.
void PutHalf(const TESEntries& aApi, const bignum_st* aNumber, uint8_t* aHalf, size_t aSize) {
  if (!aNumber) throw Exception("Unable to sign ECDSA");
  const size_t length = static_cast<size_t>(aApi.BN_num_bits(aNumber) + 7) / 8;
  if (length > aSize) throw Exception("Unable to sign ECDSA");
  aApi.BN_bn2bin(aNumber, aHalf + (aSize - length));
}

}  // namespace

TkfxHTTP_JWT_ES::TkfxHTTP_JWT_ES() = default;

TkfxHTTP_JWT_ES::~TkfxHTTP_JWT_ES() {
  ForgetKey();
}

void TkfxHTTP_JWT_ES::ForgetKey() {
  if (FKey) FKeyFree(FKey);
  if (FKeyLibrary) dlclose(FKeyLibrary);
  FKey = nullptr;
  FKeyFree = nullptr;
  FKeyLibrary = nullptr;
  FKeyText = TkfxSecretBytes();
}

namespace {

// The key read last by any signer of the process, shared by reference: a
// program that checks its key before it signs with it (a signer of its own
// for the check), or signs with several signers, reads the PEM text once.
// Reading a key is most of the cost of a first token.
struct TSharedKey {
  std::mutex Lock;
  TkfxSecretBytes Text;
  ec_key_st* Key = nullptr;
  void (*Free)(ec_key_st*) = nullptr;
  void* Library = nullptr;
};

TSharedKey& SharedKey() {
  // Never destroyed: signers freed while the process ends may still ask.
  static TSharedKey* const shared = new TSharedKey();
  return *shared;
}

// The key of aParts built from its fields, or null when the library lacks
// an entry point or finds the key inconsistent (a public point that is not
// the scalar's, a scalar out of range): such keys are left to its reader.
ec_key_st* BuildECKey(const TkfxECPrivateKeyParts& aParts, void (*aKeyFree)(ec_key_st*)) {
  const auto newKey = OptionalCryptoEntry<ec_key_st* (*)(int)>("EC_KEY_new_by_curve_name");
  const auto bin2bn = OptionalCryptoEntry<TBN_bin2bn>("BN_bin2bn");
  const auto clearFree = OptionalCryptoEntry<void (*)(bignum_st*)>("BN_clear_free");
  const auto setPrivate = OptionalCryptoEntry<int (*)(ec_key_st*, const bignum_st*)>("EC_KEY_set_private_key");
  const auto setPublic = OptionalCryptoEntry<int (*)(ec_key_st*, const ec_point_st*)>("EC_KEY_set_public_key");
  const auto octToKey =
      OptionalCryptoEntry<int (*)(ec_key_st*, const unsigned char*, size_t, void*)>("EC_KEY_oct2key");
  const auto getGroup = OptionalCryptoEntry<const ec_group_st* (*)(const ec_key_st*)>("EC_KEY_get0_group");
  const auto newPoint = OptionalCryptoEntry<ec_point_st* (*)(const ec_group_st*)>("EC_POINT_new");
  const auto freePoint = OptionalCryptoEntry<void (*)(ec_point_st*)>("EC_POINT_free");
  const auto multiply =
      OptionalCryptoEntry<int (*)(const ec_group_st*, ec_point_st*, const bignum_st*, const ec_point_st*,
                                  const bignum_st*, void*)>("EC_POINT_mul");
  const auto checkKey = OptionalCryptoEntry<int (*)(const ec_key_st*)>("EC_KEY_check_key");
  if (!newKey || !bin2bn || !clearFree || !setPrivate || !setPublic || !octToKey || !getGroup || !newPoint ||
      !freePoint || !multiply || !checkKey)
    return nullptr;
  TkfxCryptoPtr<ec_key_st> key(newKey(aParts.CurveNID), aKeyFree);
  if (!key) return nullptr;
  TkfxCryptoPtr<bignum_st> scalar(
      bin2bn(aParts.Private.data(), static_cast<int>(aParts.Private.size()), nullptr), clearFree);
  if (!scalar || setPrivate(key.get(), scalar.get()) != 1) return nullptr;
  if (!aParts.Public.empty()) {
    if (octToKey(key.get(), aParts.Public.data(), aParts.Public.size(), nullptr) != 1) return nullptr;
  } else {
    // The public point follows from the scalar, as the library's reader
    // computes it for a key stored without one.
    const ec_group_st* group = getGroup(key.get());
    TkfxCryptoPtr<ec_point_st> point(group ? newPoint(group) : nullptr, freePoint);
    if (!point || multiply(group, point.get(), scalar.get(), nullptr, nullptr, nullptr) != 1 ||
        setPublic(key.get(), point.get()) != 1)
      return nullptr;
  }
  if (checkKey(key.get()) != 1) return nullptr;
  return key.release();
}

// A handle that keeps the library of aEntry loaded, or null.
void* HoldLibraryOf(void* aEntry) {
  Dl_info library{};
  if (dladdr(aEntry, &library) && library.dli_fname) return dlopen(library.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  return nullptr;
}

}  // namespace

ec_key_st* TkfxHTTP_JWT_ES::PrivateKey(const TIdBytes& aKey) {
  // The kept key serves while the binding still uses the library that made it.
  const auto keyFree = CryptoEntry<void (*)(ec_key_st*)>("EC_KEY_free");
  if (FKey && FKeyFree == keyFree && FKeyText == aKey) return FKey;
  ForgetKey();
  const auto upRef = CryptoEntry<int (*)(ec_key_st*)>("EC_KEY_up_ref");
  TSharedKey& shared = SharedKey();
  if (upRef) {
    std::lock_guard guard(shared.Lock);
    if (shared.Key && shared.Free == keyFree && shared.Text == aKey && upRef(shared.Key) == 1) {
      FKeyLibrary = HoldLibraryOf(reinterpret_cast<void*>(keyFree));
      FKey = shared.Key;
      FKeyFree = keyFree;
      FKeyText = TkfxSecretBytes(aKey);
      return FKey;
    }
  }
  TkfxCryptoPtr<ec_key_st> ecKey(nullptr, keyFree);
  {
    TkfxECPrivateKeyParts parts;
    if (ReadECPrivateKeyPEM(aKey, parts)) ecKey = TkfxCryptoPtr<ec_key_st>(BuildECKey(parts, keyFree), keyFree);
  }
  if (!ecKey) {
    const auto readKey =
        CryptoEntry<evp_pkey_st* (*)(bio_st*, evp_pkey_st**, TPEMPasswordCallback, void*)>(
            "PEM_read_bio_PrivateKey");
    const auto getECKey = CryptoEntry<ec_key_st* (*)(evp_pkey_st*)>("EVP_PKEY_get1_EC_KEY");
    const auto freeKey = CryptoEntry<void (*)(evp_pkey_st*)>("EVP_PKEY_free");
    TkfxBIO bio = NewMemoryBIO(aKey.data(), aKey.size());
    TkfxCryptoPtr<evp_pkey_st> key(readKey(bio.get(), nullptr, DeclinePEMPassword, nullptr),
                                   freeKey);
    if (!key) throw Exception("Unable to load private key");
    ecKey = TkfxCryptoPtr<ec_key_st>(getECKey(key.get()), keyFree);
    if (!ecKey) throw Exception("Unable to get EC Key");
  }
  // Keep the library loaded while the key lives, even when the binding
  // unloads it meanwhile: the key can always be freed by its own library.
  FKeyLibrary = HoldLibraryOf(reinterpret_cast<void*>(keyFree));
  FKey = ecKey.release();
  FKeyFree = keyFree;
  FKeyText = TkfxSecretBytes(aKey);
  if (upRef) {
    std::lock_guard guard(shared.Lock);
    if (upRef(FKey) == 1) {
      if (shared.Key) shared.Free(shared.Key);
      if (shared.Library) dlclose(shared.Library);
      shared.Key = FKey;
      shared.Free = keyFree;
      shared.Library = HoldLibraryOf(reinterpret_cast<void*>(keyFree));
      shared.Text = TkfxSecretBytes(aKey);
    }
  }
  return FKey;
}

TIdBytes TkfxHTTP_JWT_ES::Sign(int aBits, const TIdBytes& aValue, const TIdBytes& aKey) {
  StartCryptoLibrary();
  const TClearCryptoErrors clearErrors;
  const TESEntries api;
  const TCurve curve = CurveOf(aBits);
  ec_key_st* key = PrivateKey(aKey);
  if (!api.OnCurve(key, curve))
    throw Exception("The private key is not on the curve of ES" + std::to_string(aBits) + ".");
  const TIdBytes digest = Digest(aBits, aValue);
  TkfxCryptoPtr<ECDSA_SIG_st> signature(
      api.ECDSA_do_sign(digest.data(), static_cast<int>(digest.size()), key), api.ECDSA_SIG_free);
  if (!signature) throw Exception("Unable to sign ECDSA");
  const bignum_st* r = nullptr;
  const bignum_st* s = nullptr;
  if (api.ECDSA_SIG_get0) {
    api.ECDSA_SIG_get0(signature.get(), &r, &s);
  } else {
    const auto* legacy = reinterpret_cast<const TLegacyECDSASig*>(signature.get());
    r = legacy->r;
    s = legacy->s;
  }
  TIdBytes result(2 * curve.Half, 0);
  PutHalf(api, r, result.data(), curve.Half);
  PutHalf(api, s, result.data() + curve.Half, curve.Half);
  return result;
}

bool TkfxHTTP_JWT_ES::Verify(int aBits, const std::string& aHeader, const std::string& aPayload,
                             const std::string& aSignature, const std::string& aPublicKey) {
  StartCryptoLibrary();
  const TClearCryptoErrors clearErrors;
  const auto readKey =
      CryptoEntry<evp_pkey_st* (*)(bio_st*, evp_pkey_st**, TPEMPasswordCallback, void*)>(
          "PEM_read_bio_PUBKEY");
  const TESEntries api;
  TkfxBIO bio =
      NewMemoryBIO(reinterpret_cast<const uint8_t*>(aPublicKey.data()), aPublicKey.size());
  TkfxCryptoPtr<evp_pkey_st> publicKey(readKey(bio.get(), nullptr, DeclinePEMPassword, nullptr),
                                       api.EVP_PKEY_free);
  if (!publicKey) throw Exception("Cannot Load Public Key.");
  TkfxCryptoPtr<ec_key_st> key(api.EVP_PKEY_get1_EC_KEY(publicKey.get()), api.EC_KEY_free);
  if (!key) throw Exception("Cannot get EC_KEY.");

  const TCurve curve = CurveOf(aBits);
  TIdBytes octets;
  if (!api.OnCurve(key.get(), curve) || !Base64URLDecode(aSignature, octets) ||
      octets.size() != 2 * curve.Half)
    return false;
  TkfxCryptoPtr<ECDSA_SIG_st> signature(api.ECDSA_SIG_new(), api.ECDSA_SIG_free);
  if (!signature) return false;
  const int half = static_cast<int>(curve.Half);
  if (api.ECDSA_SIG_set0) {
    TkfxCryptoPtr<bignum_st> r(api.BN_bin2bn(octets.data(), half, nullptr), api.BN_free);
    TkfxCryptoPtr<bignum_st> s(api.BN_bin2bn(octets.data() + half, half, nullptr), api.BN_free);
    if (!r || !s || api.ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) return false;
    r.release();  // the signature owns them now
    s.release();
  } else {
    auto* legacy = reinterpret_cast<TLegacyECDSASig*>(signature.get());
    if (!api.BN_bin2bn(octets.data(), half, legacy->r) ||
        !api.BN_bin2bn(octets.data() + half, half, legacy->s))
      return false;
  }
  const std::string data = aHeader + "." + aPayload;
  const TIdBytes digest = Digest(aBits, TIdBytes(data.begin(), data.end()));
  return api.ECDSA_do_verify(digest.data(), static_cast<int>(digest.size()), signature.get(),
                             key.get()) == 1;
}

TIdBytes TkfxHTTP_JWT_ES::SignES256(const TIdBytes& aValue, const TIdBytes& aKey) {
  return Sign(256, aValue, aKey);
}

TIdBytes TkfxHTTP_JWT_ES::SignES384(const TIdBytes& aValue, const TIdBytes& aKey) {
  return Sign(384, aValue, aKey);
}

TIdBytes TkfxHTTP_JWT_ES::SignES512(const TIdBytes& aValue, const TIdBytes& aKey) {
  return Sign(512, aValue, aKey);
}

bool TkfxHTTP_JWT_ES::ValidateES256(const std::string& aHeader, const std::string& aPayload,
                                    const std::string& aSignature, const std::string& aPublicKey) {
  return Verify(256, aHeader, aPayload, aSignature, aPublicKey);
}

bool TkfxHTTP_JWT_ES::ValidateES384(const std::string& aHeader, const std::string& aPayload,
                                    const std::string& aSignature, const std::string& aPublicKey) {
  return Verify(384, aHeader, aPayload, aSignature, aPublicKey);
}

bool TkfxHTTP_JWT_ES::ValidateES512(const std::string& aHeader, const std::string& aPayload,
                                    const std::string& aSignature, const std::string& aPublicKey) {
  return Verify(512, aHeader, aPayload, aSignature, aPublicKey);
}
