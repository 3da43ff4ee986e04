#include "tls/kfxIdSSLOpenSSLHeaders.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <string_view>
#include <vector>

#include "rtl/StringList.h"
#include "tls/IdHash.h"
#include "tls/kfxIdSSLOpenSSLHeaders_Entries.h"

using namespace IdOpenSSL;

namespace {

// The level asked for (SetOpenSSLAPIVersion) chooses the files tried and the
// hashing back end. The entry points are bound at the level of the library
// actually loaded (GBoundAPI): the one asked for, except that a library
// loaded for level 1.0 that turns out to be 1.1 or later is bound with the
// 1.1 entry points (see BoundLevelOf). A default of 1.0 thus binds the
// OpenSSL 3 that current systems ship with the same entry points as level
// 1.1, and still binds a real 1.0 library as 1.0.
// Atomic: every activation of every component sets the level, and the
// binding reads it, from their own threads.
std::atomic<TwsOpenSSLAPI> GAPIVersion{TwsOpenSSLAPI::oslAPI_1_0};
std::atomic<TwsOpenSSLAPI> GBoundAPI{TwsOpenSSLAPI::oslAPI_1_0};
std::string GLibPath;
std::atomic<void*> GCryptoHandle{nullptr};
std::atomic<void*> GSSLHandle{nullptr};
TStringList GFailed;

bool Requested11() { return GAPIVersion == TwsOpenSSLAPI::oslAPI_1_1; }

// The level the entry points are bound at: the bound one while both
// libraries are loaded, the requested one before.
TwsOpenSSLAPI BindingLevel() { return GCryptoHandle && GSSLHandle ? GBoundAPI : GAPIVersion; }
bool API11() { return BindingLevel() == TwsOpenSSLAPI::oslAPI_1_1; }

// Sonames per API level, then the system's current library, so that the
// crypto library is found on a current system at either level.
std::vector<std::string> CryptoFileNames() {
  if (Requested11()) return {"libcrypto.so.3", "libcrypto.so.1.1"};
  return {"libcrypto.so.1.0.2", "libcrypto.so.1.0.0", "libcrypto.so.10", "libcrypto.so.3"};
}
std::vector<std::string> SSLFileNames() {
  if (Requested11()) return {"libssl.so.3", "libssl.so.1.1"};
  return {"libssl.so.1.0.2", "libssl.so.1.0.0", "libssl.so.10", "libssl.so.3"};
}

// Which generation the loaded pair is. Level 1.1 asks for 1.1 entry points
// and gets them (a 1.0 library then fails on the names it lacks). Under level
// 1.0 a library that lacks SSL_library_init and offers OPENSSL_init_ssl and
// OpenSSL_version_num is 1.1 or later: its 1.0 entry points are gone (or are
// macros now), so it is bound with the 1.1 ones. A library that still has
// SSL_library_init is a real 1.0 library and is bound as 1.0.
TwsOpenSSLAPI BoundLevelOf(void* aCrypto, void* aSSL) {
  if (Requested11()) return TwsOpenSSLAPI::oslAPI_1_1;
  const bool modern = !dlsym(aSSL, "SSL_library_init") && dlsym(aSSL, "OPENSSL_init_ssl") &&
                      dlsym(aCrypto, "OpenSSL_version_num");
  return modern ? TwsOpenSSLAPI::oslAPI_1_1 : TwsOpenSSLAPI::oslAPI_1_0;
}

void* LoadFirst(const std::vector<std::string>& aNames) {
  for (const std::string& name : aNames) {
    if (void* handle = dlopen((GLibPath + name).c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
  }
  return nullptr;
}

// Names that OpenSSL 1.1 and 3 renamed: the new name is tried first, and a
// name missing under both is reported under its old name.
const std::map<std::string_view, std::string_view> kRenamed = {
    {"SSL_get_peer_certificate", "SSL_get1_peer_certificate"},
    {"X509_NAME_hash", "X509_NAME_hash_ex"},
    {"EVP_CIPHER_flags", "EVP_CIPHER_get_flags"},
    {"EVP_CIPHER_type", "EVP_CIPHER_get_type"},
    {"EVP_MD_type", "EVP_MD_get_type"},
    {"EVP_MD_size", "EVP_MD_get_size"},
    {"EVP_MD_block_size", "EVP_MD_get_block_size"},
    {"EVP_CIPHER_nid", "EVP_CIPHER_get_nid"},
    {"EVP_CIPHER_block_size", "EVP_CIPHER_get_block_size"},
    {"EVP_CIPHER_key_length", "EVP_CIPHER_get_key_length"},
    {"EVP_CIPHER_iv_length", "EVP_CIPHER_get_iv_length"},
    {"EVP_PKEY_id", "EVP_PKEY_get_id"},
    {"EVP_PKEY_base_id", "EVP_PKEY_get_base_id"},
    {"EVP_PKEY_bits", "EVP_PKEY_get_bits"},
    {"EVP_PKEY_size", "EVP_PKEY_get_size"},
    {"EVP_MD_flags", "EVP_MD_get_flags"},
    {"SSLeay", "OpenSSL_version_num"},
    {"SSLeay_version", "OpenSSL_version"},
    {"EVP_MD_CTX_init", "EVP_MD_CTX_reset"},
    {"EVP_MD_CTX_cleanup", "EVP_MD_CTX_reset"},
    {"EVP_MD_CTX_create", "EVP_MD_CTX_new"},
    {"EVP_MD_CTX_destroy", "EVP_MD_CTX_free"},
    {"HMAC_CTX_init", "HMAC_CTX_reset"},
    {"HMAC_CTX_cleanup", "HMAC_CTX_reset"},
};

// A name whose second binding is tried only after the first one.
const std::map<std::string_view, std::string_view> kFallback = {
    {"OpenSSL_add_all_algorithms", "OPENSSL_add_all_algorithms_noconf"},
    {"DES_set_odd_parity", "_ossl_old_des_set_odd_parity"},
    {"DES_set_key", "_ossl_old_des_set_key"},
    {"DES_ecb_encrypt", "_ossl_old_des_ecb_encrypt"},
};

void* LookupName(void* aLib, std::string_view aName) {
  if (!aLib) return nullptr;
  std::string name(aName);
  if (API11() && name.rfind("sk_", 0) == 0) name = "OPENSSL_" + name;
  return dlsym(aLib, name.c_str());
}

void* Lookup(void* aLib, std::string_view aName) {
  if (auto it = kRenamed.find(aName); it != kRenamed.end()) {
    if (void* p = LookupName(aLib, it->second)) return p;
  }
  if (void* p = LookupName(aLib, aName)) return p;
  if (auto it = kFallback.find(aName); it != kFallback.end()) return LookupName(aLib, it->second);
  return nullptr;
}

enum class TLib { libSSL, libCrypto };

// One bound slot. Slots are written only when their value changes, so that a
// repeated binding run does not race with threads calling through them.
struct TSlot {
  const char* Name;
  void* Address;  // the function-pointer variable
  TLib Lib;
};

template <class F>
TSlot S(const char* aName, F& aSlot, TLib aLib = TLib::libCrypto) {
  return TSlot{aName, reinterpret_cast<void*>(&aSlot), aLib};
}

void Store(void* aAddress, void* aValue) {
  void*& slot = *static_cast<void**>(aAddress);
  if (slot != aValue) slot = aValue;
}

const std::vector<TSlot>& Slots() {
  constexpr TLib ssl = TLib::libSSL;
  // Never destroyed: the start-up state unbinds at program end, possibly
  // after this function's statics would be gone.
  static const std::vector<TSlot>& slots = *new std::vector<TSlot>{
      S("SSL_CTX_set_cipher_list", SSL_CTX_set_cipher_list, ssl), S("SSL_CTX_new", SSL_CTX_new, ssl),
      S("SSL_CTX_free", SSL_CTX_free, ssl), S("SSL_CTX_up_ref", SSL_CTX_up_ref, ssl),
      S("SSL_set_fd", SSL_set_fd, ssl),
      S("SSL_CTX_use_PrivateKey", SSL_CTX_use_PrivateKey, ssl),
      S("SSL_CTX_use_certificate", SSL_CTX_use_certificate, ssl),
      S("SSL_state_string_long", SSL_state_string_long, ssl),
      S("SSL_alert_desc_string_long", SSL_alert_desc_string_long, ssl),
      S("SSL_alert_type_string_long", SSL_alert_type_string_long, ssl),
      S("SSL_get_peer_certificate", SSL_get_peer_certificate, ssl),
      S("SSL_CTX_set_verify", SSL_CTX_set_verify, ssl),
      S("SSL_CTX_set_verify_depth", SSL_CTX_set_verify_depth, ssl),
      S("SSL_CTX_get_verify_depth", SSL_CTX_get_verify_depth, ssl),
      S("SSL_CTX_set_default_passwd_cb", SSL_CTX_set_default_passwd_cb, ssl),
      S("SSL_CTX_set_default_passwd_cb_userdata", SSL_CTX_set_default_passwd_cb_userdata, ssl),
      S("SSL_CTX_check_private_key", SSL_CTX_check_private_key, ssl), S("SSL_new", SSL_new, ssl),
      S("SSL_free", SSL_free, ssl), S("SSL_accept", SSL_accept, ssl),
      S("SSL_connect", SSL_connect, ssl), S("SSL_read", SSL_read, ssl),
      S("SSL_write", SSL_write, ssl), S("SSL_ctrl", SSL_ctrl, ssl),
      S("SSL_CTX_ctrl", SSL_CTX_ctrl, ssl), S("SSL_get_error", SSL_get_error, ssl),
      S("SSL_shutdown", SSL_shutdown, ssl),
      S("SSL_set_shutdown", SSL_set_shutdown, ssl), S("SSL_copy_session_id", SSL_copy_session_id, ssl),
      S("SSL_load_client_CA_file", SSL_load_client_CA_file, ssl),
      S("SSL_CTX_set_client_CA_list", SSL_CTX_set_client_CA_list, ssl),
      S("SSL_CTX_set_default_verify_paths", SSL_CTX_set_default_verify_paths, ssl),
      S("SSL_CIPHER_description", SSL_CIPHER_description, ssl),
      S("SSL_get_current_cipher", SSL_get_current_cipher, ssl),
      S("SSL_CIPHER_get_name", SSL_CIPHER_get_name, ssl),
      S("SSL_CIPHER_get_version", SSL_CIPHER_get_version, ssl),
      S("SSL_CIPHER_get_bits", SSL_CIPHER_get_bits, ssl),
      S("SSL_CTX_get_cert_store", SSL_CTX_get_cert_store, ssl),
      S("SSL_load_error_strings", SSL_load_error_strings, ssl),
      S("SSL_library_init", SSL_library_init, ssl), S("TLS_method", TLS_method, ssl),
      S("SSL_get_version", SSL_get_version, ssl),
      S("SSL_get_ex_data_X509_STORE_CTX_idx", SSL_get_ex_data_X509_STORE_CTX_idx, ssl),
      S("SSL_CTX_use_certificate_chain_file", SSL_CTX_use_certificate_chain_file, ssl),
      S("SSL_pending", SSL_pending, ssl), S("SSL_peek", SSL_peek, ssl),
      S("SSL_has_pending", SSL_has_pending, ssl), S("SSLv2_method", SSLv2_method, ssl),
      S("SSLv2_server_method", SSLv2_server_method, ssl),
      S("SSLv2_client_method", SSLv2_client_method, ssl), S("SSLv3_method", SSLv3_method, ssl),
      S("SSLv3_server_method", SSLv3_server_method, ssl),
      S("SSLv3_client_method", SSLv3_client_method, ssl), S("SSLv23_method", SSLv23_method, ssl),
      S("SSLv23_server_method", SSLv23_server_method, ssl),
      S("SSLv23_client_method", SSLv23_client_method, ssl), S("TLSv1_method", TLSv1_method, ssl),
      S("TLSv1_server_method", TLSv1_server_method, ssl),
      S("TLSv1_client_method", TLSv1_client_method, ssl),
      S("TLSv1_1_method", TLSv1_1_method, ssl),
      S("TLSv1_1_server_method", TLSv1_1_server_method, ssl),
      S("TLSv1_1_client_method", TLSv1_1_client_method, ssl),
      S("TLSv1_2_method", TLSv1_2_method, ssl),
      S("TLSv1_2_server_method", TLSv1_2_server_method, ssl),
      S("TLSv1_2_client_method", TLSv1_2_client_method, ssl),
      S("SSL_set_ex_data", SSL_set_ex_data, ssl), S("SSL_get_ex_data", SSL_get_ex_data, ssl),
      S("SSL_CTX_set_alpn_protos", SSL_CTX_set_alpn_protos, ssl),
      S("SSL_get0_alpn_selected", SSL_get0_alpn_selected, ssl),
      S("SSL_COMP_get_compression_methods", SSL_COMP_get_compression_methods, ssl),
      S("SSL_COMP_free_compression_methods", SSL_COMP_free_compression_methods, ssl),
      S("SSL_CTX_set_info_callback", SSL_CTX_set_info_callback, ssl),
      S("SSL_get0_param", SSL_get0_param, ssl),
      S("SSL_CTX_set_options", SSL_CTX_set_options_entry, ssl),
      S("SSL_CTX_clear_options", SSL_CTX_clear_options_entry, ssl),

      S("CRYPTO_free", CRYPTO_free), S("SSLeay", SSLeay),
      S("OpenSSL_version_num", OpenSSL_version_num), S("CRYPTO_num_locks", CRYPTO_num_locks),
      S("CRYPTO_set_locking_callback", CRYPTO_set_locking_callback),
      S("OpenSSL_add_all_algorithms", OpenSSL_add_all_algorithms),
      S("OpenSSL_add_all_ciphers", OpenSSL_add_all_ciphers),
      S("OpenSSL_add_all_digests", OpenSSL_add_all_digests),
      S("CRYPTO_cleanup_all_ex_data", CRYPTO_cleanup_all_ex_data), S("RAND_screen", RAND_screen),
      S("RAND_cleanup", RAND_cleanup), S("RAND_bytes", RAND_bytes),
      S("ERR_get_error", ERR_get_error), S("ERR_peek_error", ERR_peek_error),
      S("ERR_peek_last_error", ERR_peek_last_error), S("ERR_clear_error", ERR_clear_error),
      S("ERR_set_mark", ERR_set_mark), S("ERR_pop_to_mark", ERR_pop_to_mark),
      S("ERR_error_string_n", ERR_error_string_n), S("ERR_put_error", ERR_put_error),
      S("ERR_free_strings", ERR_free_strings),
      S("ERR_remove_thread_state", ERR_remove_thread_state), S("EVP_cleanup", EVP_cleanup),
      S("BIO_new", BIO_new), S("BIO_free", BIO_free), S("BIO_new_mem_buf", BIO_new_mem_buf),
      S("BIO_s_mem", BIO_s_mem), S("BIO_ctrl", BIO_ctrl),
      S("PEM_read_bio_X509_AUX", PEM_read_bio_X509_AUX),
      S("PEM_read_bio_X509", PEM_read_bio_X509),
      S("PEM_read_bio_PrivateKey", PEM_read_bio_PrivateKey),
      S("PEM_read_bio_DHparams", PEM_read_bio_DHparams),
      S("PEM_X509_INFO_read_bio", PEM_X509_INFO_read_bio), S("X509_INFO_free", X509_INFO_free),
      S("DH_free", DH_free), S("sk_num", sk_num), S("sk_value", sk_value), S("sk_free", sk_free),
      S("sk_pop_free", sk_pop_free), S("X509_STORE_add_cert", X509_STORE_add_cert),
      S("X509_STORE_add_crl", X509_STORE_add_crl),
      S("X509_STORE_load_locations", X509_STORE_load_locations),
      S("X509_STORE_CTX_get_error", X509_STORE_CTX_get_error),
      S("X509_STORE_CTX_get_error_depth", X509_STORE_CTX_get_error_depth),
      S("X509_STORE_CTX_get_current_cert", X509_STORE_CTX_get_current_cert),
      S("X509_STORE_CTX_get_ex_data", X509_STORE_CTX_get_ex_data),
      S("X509_verify_cert_error_string", X509_verify_cert_error_string),
      S("X509_free", X509_free), S("X509_up_ref", X509_up_ref),
      S("X509_get_default_cert_file", X509_get_default_cert_file),
      S("X509_get_default_cert_file_env", X509_get_default_cert_file_env),
      S("X509_LOOKUP_meth_new", X509_LOOKUP_meth_new),
      S("X509_LOOKUP_meth_set_get_by_subject", X509_LOOKUP_meth_set_get_by_subject),
      S("X509_LOOKUP_meth_set_free", X509_LOOKUP_meth_set_free),
      S("X509_LOOKUP_file", X509_LOOKUP_file), S("X509_LOOKUP_hash_dir", X509_LOOKUP_hash_dir),
      S("X509_LOOKUP_store", X509_LOOKUP_store), S("X509_STORE_add_lookup", X509_STORE_add_lookup),
      S("X509_LOOKUP_ctrl", X509_LOOKUP_ctrl),
      S("X509_LOOKUP_set_method_data", X509_LOOKUP_set_method_data),
      S("X509_LOOKUP_get_method_data", X509_LOOKUP_get_method_data),
      S("X509_LOOKUP_get_store", X509_LOOKUP_get_store), S("X509_STORE_lock", X509_STORE_lock),
      S("X509_STORE_unlock", X509_STORE_unlock),
      S("X509_STORE_get0_objects", X509_STORE_get0_objects),
      S("X509_OBJECT_retrieve_by_subject", X509_OBJECT_retrieve_by_subject),
      S("X509_OBJECT_get_type", X509_OBJECT_get_type),
      S("X509_OBJECT_get0_X509", X509_OBJECT_get0_X509),
      S("X509_OBJECT_get0_X509_CRL", X509_OBJECT_get0_X509_CRL),
      S("X509_OBJECT_set1_X509", X509_OBJECT_set1_X509),
      S("X509_OBJECT_set1_X509_CRL", X509_OBJECT_set1_X509_CRL), S("X509_CRL_free", X509_CRL_free),
      S("X509_get_subject_name", X509_get_subject_name),
      S("X509_get_issuer_name", X509_get_issuer_name), S("X509_NAME_oneline", X509_NAME_oneline),
      S("X509_digest", X509_digest), S("X509_get_serialNumber", X509_get_serialNumber),
      S("X509_get_version", X509_get_version), S("X509_get0_notBefore", X509_get0_notBefore),
      S("X509_get0_notAfter", X509_get0_notAfter),
      S("X509_get_signature_nid", X509_get_signature_nid),
      S("X509_get0_signature", X509_get0_signature), S("ASN1_TIME_to_tm", ASN1_TIME_to_tm),
      S("ASN1_STRING_length", ASN1_STRING_length),
      S("ASN1_STRING_get0_data", ASN1_STRING_get0_data), S("OBJ_nid2ln", OBJ_nid2ln),
      S("X509_VERIFY_PARAM_set1_host", X509_VERIFY_PARAM_set1_host),
      S("X509_VERIFY_PARAM_set1_ip_asc", X509_VERIFY_PARAM_set1_ip_asc),
      S("X509_VERIFY_PARAM_set_hostflags", X509_VERIFY_PARAM_set_hostflags),
      S("d2i_PKCS12_bio", d2i_PKCS12_bio), S("PKCS12_parse", PKCS12_parse),
      S("PKCS12_free", PKCS12_free), S("EVP_PKEY_free", EVP_PKEY_free),
      S("EVP_PKEY_up_ref", EVP_PKEY_up_ref), S("EVP_md4", EVP_md4),
      S("EVP_md5", EVP_md5), S("EVP_sha1", EVP_sha1), S("EVP_sha224", EVP_sha224),
      S("EVP_sha256", EVP_sha256), S("EVP_sha384", EVP_sha384), S("EVP_sha512", EVP_sha512),
      S("EVP_DigestInit_ex", EVP_DigestInit_ex), S("EVP_DigestUpdate", EVP_DigestUpdate),
      S("EVP_DigestFinal_ex", EVP_DigestFinal_ex), S("EVP_MD_CTX_init", EVP_MD_CTX_init),
      S("EVP_MD_CTX_cleanup", EVP_MD_CTX_cleanup), S("EVP_MD_CTX_create", EVP_MD_CTX_create),
      S("EVP_MD_CTX_destroy", EVP_MD_CTX_destroy), S("HMAC_CTX_init", HMAC_CTX_init),
      S("HMAC_CTX_cleanup", HMAC_CTX_cleanup), S("HMAC_CTX_new", HMAC_CTX_new),
      S("HMAC_CTX_free", HMAC_CTX_free), S("FIPS_mode", FIPS_mode),
      S("FIPS_mode_set", FIPS_mode_set),
  };
  return slots;
}

// Required entry points, per library and API level. CRYPTO_mem_ctrl,
// RAND_screen and RAND_event are not required: the first was removed without
// replacement, the other two exist on Windows only.
const std::vector<std::string_view> kSSLRequired = {
    "SSL_CTX_set_cipher_list", "SSL_CTX_new", "SSL_CTX_free", "SSL_set_fd",
    "SSL_CTX_use_PrivateKey_file", "SSL_CTX_use_PrivateKey", "SSL_CTX_use_certificate",
    "SSL_CTX_use_certificate_file", "SSL_state_string_long", "SSL_alert_desc_string_long",
    "SSL_alert_type_string_long", "SSL_get_peer_certificate", "SSL_CTX_set_verify",
    "SSL_CTX_set_verify_depth", "SSL_CTX_get_verify_depth", "SSL_CTX_set_default_passwd_cb",
    "SSL_CTX_set_default_passwd_cb_userdata", "SSL_CTX_check_private_key", "SSL_new", "SSL_free",
    "SSL_accept", "SSL_connect", "SSL_read", "SSL_write", "SSL_ctrl", "SSL_callback_ctrl",
    "SSL_CTX_ctrl", "SSL_CTX_callback_ctrl", "SSL_get_error", "SSL_shutdown", "SSL_set_shutdown",
    "SSL_CTX_load_verify_locations", "SSL_get_session", "SSL_SESSION_get_id",
    "SSL_copy_session_id", "SSL_load_client_CA_file", "SSL_CTX_set_client_CA_list",
    "SSL_CTX_set_default_verify_paths", "SSL_CTX_set_session_id_context", "SSL_CIPHER_description",
    "SSL_get_current_cipher", "SSL_CIPHER_get_name", "SSL_CIPHER_get_version",
    "SSL_CIPHER_get_bits", "SSL_CTX_get_cert_store"};
const std::vector<std::string_view> kSSLRequired10 = {"SSL_load_error_strings", "SSL_library_init"};
const std::vector<std::string_view> kSSLRequired11 = {"TLS_method", "SSL_get_version",
                                                      "SSL_get_ex_data_X509_STORE_CTX_idx"};

const std::vector<std::string_view> kCryptoRequired = {
    "CRYPTO_set_mem_functions", "CRYPTO_malloc", "CRYPTO_free",
    // certificates and names
    "d2i_X509_NAME", "i2d_X509_NAME", "X509_NAME_oneline", "X509_NAME_cmp", "X509_NAME_hash",
    "X509_get_issuer_name", "X509_get_subject_name", "X509_digest", "X509_STORE_add_cert",
    "X509_STORE_add_crl", "X509_STORE_CTX_get_error", "X509_STORE_CTX_get_error_depth",
    "X509_STORE_CTX_get_current_cert", "X509_STORE_add_lookup", "X509_STORE_load_locations",
    "X509V3_set_ctx", "d2i_X509_bio", "d2i_X509", "X509_get_default_cert_file",
    "X509_get_default_cert_file_env", "X509_free", "X509_NAME_new", "X509_NAME_free",
    "X509_NAME_add_entry_by_txt", "X509_INFO_free", "X509_get_serialNumber",
    // RSA, DSA, DH and other encodings
    "i2d_DSAPrivateKey", "d2i_DSAPrivateKey", "DH_free", "d2i_DHparams", "d2i_PrivateKey",
    "d2i_PrivateKey_bio", "i2d_NETSCAPE_CERT_SEQUENCE",
    // random numbers
    "RAND_bytes", "RAND_pseudo_bytes", "RAND_seed", "RAND_add", "RAND_status",
    // DES
    "DES_set_odd_parity", "DES_set_key", "DES_ecb_encrypt",
    // BIO
    "BIO_new", "BIO_free", "BIO_new_mem_buf", "BIO_s_mem", "BIO_ctrl", "BIO_new_file",
    // errors (ERR_remove_state is checked apart)
    "ERR_peek_last_error", "ERR_clear_error",
    // stacks
    "sk_num", "sk_new", "sk_new_null", "sk_free", "sk_push", "sk_dup", "sk_find", "sk_value",
    // objects and ASN.1
    "OBJ_obj2nid", "OBJ_nid2obj", "OBJ_nid2ln", "OBJ_nid2sn", "ASN1_INTEGER_set",
    "ASN1_INTEGER_get", "ASN1_INTEGER_to_BN", "ASN1_STRING_type_new", "ASN1_STRING_free",
    "ASN1_dup",
    // PKCS#12, PEM
    "d2i_PKCS12_bio", "PKCS12_parse", "PKCS12_create", "i2d_PKCS12_bio", "PKCS12_free",
    "PEM_X509_INFO_read_bio", "PEM_read_bio_X509_AUX",
    // ciphers and digests
    "EVP_des_cfb64", "EVP_EncryptUpdate", "EVP_DecryptUpdate", "EVP_get_cipherbyname",
    "EVP_CIPHER_flags", "EVP_CIPHER_type", "EVP_CIPHER_CTX_cipher", "EVP_CIPHER_CTX_get_app_data",
    "EVP_CIPHER_CTX_set_app_data", "EVP_sha1", "EVP_md5", "EVP_DigestInit", "EVP_DigestInit_ex",
    "EVP_DigestUpdate", "EVP_DigestFinal_ex", "EVP_get_digestbyname", "EVP_MD_type", "EVP_MD_size",
    "EVP_MD_block_size", "EVP_MD_CTX_md",
    // keys
    "EVP_PKEY_type", "EVP_PKEY_new", "EVP_PKEY_free", "EVP_PKEY_assign",
    // HMAC
    "HMAC_Init_ex", "HMAC_Update", "HMAC_Final"};
const std::vector<std::string_view> kCryptoRequired10 = {
    "SSLeay_version", "SSLeay", "CRYPTO_lock", "CRYPTO_num_locks", "CRYPTO_set_locking_callback",
    "CRYPTO_mem_leaks", "CRYPTO_set_mem_debug_functions", "OpenSSL_add_all_algorithms",
    "OpenSSL_add_all_ciphers", "OpenSSL_add_all_digests", "ERR_free_strings",
    "EVP_CIPHER_CTX_flags", "EVP_cleanup", "EVP_MD_CTX_init", "EVP_MD_CTX_cleanup",
    "HMAC_CTX_init", "HMAC_CTX_cleanup"};
const std::vector<std::string_view> kCryptoRequired11 = {"OpenSSL_version_num", "OpenSSL_version"};

void CheckRequired(void* aLib, const std::vector<std::string_view>& aNames) {
  for (std::string_view name : aNames)
    if (!Lookup(aLib, name)) GFailed.Add(std::string(name));
}

void BindHMAC() {
  void* init = Lookup(GCryptoHandle, "HMAC_Init_ex");
  void* update = Lookup(GCryptoHandle, "HMAC_Update");
  void* final = Lookup(GCryptoHandle, "HMAC_Final");
  const unsigned long version = SSLeay ? SSLeay() : 0;
  const bool withStatus = version >= 0x10000000UL && version < 0x20000000UL;
  Store(&HMAC_Init_ex, withStatus ? init : nullptr);
  Store(&HMAC_Update, withStatus ? update : nullptr);
  Store(&HMAC_Final, withStatus ? final : nullptr);
  Store(&HMAC_Init_ex_void, withStatus ? nullptr : init);
  Store(&HMAC_Update_void, withStatus ? nullptr : update);
  Store(&HMAC_Final_void, withStatus ? nullptr : final);
}

void ClearSlots() {
  for (const TSlot& slot : Slots()) Store(slot.Address, nullptr);
  for (void* address :
       {reinterpret_cast<void*>(&HMAC_Init_ex), reinterpret_cast<void*>(&HMAC_Update),
        reinterpret_cast<void*>(&HMAC_Final), reinterpret_cast<void*>(&HMAC_Init_ex_void),
        reinterpret_cast<void*>(&HMAC_Update_void), reinterpret_cast<void*>(&HMAC_Final_void),
        reinterpret_cast<void*>(&ERR_remove_state), reinterpret_cast<void*>(&X509_NAME_hash_ex)})
    Store(address, nullptr);
}

bool HMACBound() {
  return (HMAC_Init_ex && HMAC_Update && HMAC_Final) ||
         (HMAC_Init_ex_void && HMAC_Update_void && HMAC_Final_void);
}

}  // namespace

TwsOpenSSLAPI GetOpenSSLAPIVersion() { return GAPIVersion; }
void SetOpenSSLAPIVersion(TwsOpenSSLAPI aValue) { GAPIVersion = aValue; }
TwsOpenSSLAPI GetOpenSSLBoundAPIVersion() { return BindingLevel(); }

std::string GetOpenSSLLibPath() { return GLibPath; }
void IdOpenSSLSetLibPath(const std::string& aPath) {
  GLibPath = aPath;
  if (!GLibPath.empty() && GLibPath.back() != '/') GLibPath += '/';
}

bool BindOpenSSL() {
  if (GCryptoHandle && GSSLHandle && GFailed.Count() == 0) return true;
  GFailed.Clear();
  if (!GCryptoHandle) {
    GCryptoHandle = LoadFirst(CryptoFileNames());
    if (!GCryptoHandle) {
      GFailed.Add("Failed to load " + GLibPath + CryptoFileNames().front() + ".");
      return false;
    }
  }
  if (!GSSLHandle) {
    GSSLHandle = LoadFirst(SSLFileNames());
    if (!GSSLHandle) {
      GFailed.Add("Failed to load " + GLibPath + SSLFileNames().front() + ".");
      return false;
    }
  }
  // Written only when it changes, like the slots below.
  if (const TwsOpenSSLAPI level = BoundLevelOf(GCryptoHandle, GSSLHandle); level != GBoundAPI)
    GBoundAPI = level;
  for (const TSlot& slot : Slots())
    Store(slot.Address, Lookup(slot.Lib == TLib::libSSL ? GSSLHandle : GCryptoHandle, slot.Name));
  // The renamed hash takes different arguments: it gets a slot of its own.
  if (LookupName(GCryptoHandle, "X509_NAME_hash_ex")) {
    Store(&X509_NAME_hash, nullptr);
    Store(&X509_NAME_hash_ex, LookupName(GCryptoHandle, "X509_NAME_hash_ex"));
  } else {
    Store(&X509_NAME_hash_ex, nullptr);
  }
  CheckRequired(GSSLHandle, kSSLRequired);
  CheckRequired(GSSLHandle, API11() ? kSSLRequired11 : kSSLRequired10);
  CheckRequired(GCryptoHandle, kCryptoRequired);
  CheckRequired(GCryptoHandle, API11() ? kCryptoRequired11 : kCryptoRequired10);
  if (!ERR_remove_thread_state) {
    Store(&ERR_remove_state, Lookup(GCryptoHandle, "ERR_remove_state"));
    if (!ERR_remove_state) GFailed.Add("ERR_remove_state");
  } else {
    Store(&ERR_remove_state, nullptr);
  }
  BindHMAC();
  return GFailed.Count() == 0;
}

namespace {
std::atomic<void (*)()> GBeforeUnbind{nullptr};
}  // namespace

void SetOpenSSLBeforeUnbind(void (*aHook)()) { GBeforeUnbind = aHook; }

void UnbindOpenSSL() {
  if (void (*hook)() = GBeforeUnbind.load(); hook && GSSLHandle) hook();
  if (GSSLHandle) {
    if (SSL_COMP_free_compression_methods) {
      SSL_COMP_free_compression_methods();
    } else if (SSLeay && SSLeay() == 0x0090801FUL && SSL_COMP_get_compression_methods &&
               sk_pop_free && CRYPTO_free) {
      // 0.9.8a frees with a one-argument CRYPTO_free.
      sk_pop_free(SSL_COMP_get_compression_methods(),
                  reinterpret_cast<void (*)(void*)>(reinterpret_cast<void*>(CRYPTO_free)));
    }
    if (CRYPTO_cleanup_all_ex_data) CRYPTO_cleanup_all_ex_data();
    if (ERR_free_strings) ERR_free_strings();
    if (ERR_remove_thread_state)
      ERR_remove_thread_state(nullptr);
    else if (ERR_remove_state)
      ERR_remove_state(0);
    if (EVP_cleanup) EVP_cleanup();
    dlclose(GSSLHandle);
    GSSLHandle = nullptr;
  }
  if (GCryptoHandle) {
    dlclose(GCryptoHandle);
    GCryptoHandle = nullptr;
  }
  ClearSlots();
}

std::string WhichFailedToLoad() { return GFailed.Text(); }
void* GetCryptLibHandle() { return GCryptoHandle; }
void* GetSSLLibHandle() { return GSSLHandle; }

bool IsOpenSSL_SSLv2_Available() {
  return SSLv2_method && SSLv2_server_method && SSLv2_client_method;
}
bool IsOpenSSL_SSLv3_Available() {
  return SSLv3_method && SSLv3_server_method && SSLv3_client_method;
}
bool IsOpenSSL_SSLv23_Available() {
  return SSLv23_method && SSLv23_server_method && SSLv23_client_method;
}
bool IsOpenSSL_TLSv1_0_Available() {
  return TLSv1_method && TLSv1_server_method && TLSv1_client_method;
}
bool IsOpenSSL_TLSv1_1_Available() {
  return TLSv1_1_method && TLSv1_1_server_method && TLSv1_1_client_method;
}
bool IsOpenSSL_TLSv1_2_Available() {
  return TLSv1_2_method && TLSv1_2_server_method && TLSv1_2_client_method;
}
bool IsOpenSSL_1_1() { return API11(); }

// --- Errors ---

uint32_t OpenSSLGetError() { return ERR_get_error ? static_cast<uint32_t>(ERR_get_error()) : 0; }

std::string OpenSSLErrorString(uint32_t aErrCode) {
  if (!ERR_error_string_n) return {};
  char buffer[160] = {};
  ERR_error_string_n(aErrCode, buffer, sizeof buffer);
  return buffer;
}

std::string OpenSSLErrorMessage(const std::string& AMsg, const std::string& aText) {
  return AMsg.empty() ? aText : AMsg + "\r\n" + aText;
}

TIdSSLErrorDecision DecideSSLError(ssl_st* aSSL, int32_t aRetCode, const std::string& AMsg) {
  const int savedErrno = errno;
  TIdSSLErrorDecision d;
  const int code = SSL_get_error ? SSL_get_error(aSSL, aRetCode) : SSL_ERROR_SSL;
  const std::string prefix = AMsg.empty() ? std::string() : AMsg + "\r\n";
  if (code == SSL_ERROR_SSL) {
    d.Kind = TIdSSLErrorDecision::TKind::ekCrypto;
    d.CryptoCode = OpenSSLGetError();
    d.Message = prefix + OpenSSLErrorString(d.CryptoCode);
    return d;
  }
  if (code == SSL_ERROR_SYSCALL) {
    if (const uint32_t queued = OpenSSLGetError()) {
      d.Kind = TIdSSLErrorDecision::TKind::ekCrypto;
      d.CryptoCode = queued;
      d.Message = prefix + OpenSSLErrorString(queued);
      return d;
    }
    if (aRetCode == 0) {
      d.Message = prefix + "EOF was observed that violates the protocol";
      d.ErrorCode = code;
      return d;
    }
    if (aRetCode == -1) {
      d.Kind = TIdSSLErrorDecision::TKind::ekSocket;
      d.SocketError = savedErrno;
      return d;
    }
  }
  d.ErrorCode = code;
  d.Message = prefix + OpenSSLErrorString(static_cast<uint32_t>(code));
  return d;
}

namespace {
[[noreturn]] void DefaultRaiseSocketError(int aErrno) {
  throw EIdOpenSSLError("Socket Error # " + std::to_string(aErrno) + "\r\n" + std::strerror(aErrno));
}
void (*GRaiseSocketError)(int) = DefaultRaiseSocketError;
}  // namespace

void SetOpenSSLSocketErrorRaiser(void (*aRaiser)(int)) {
  GRaiseSocketError = aRaiser ? aRaiser : DefaultRaiseSocketError;
}

void RaiseOpenSSLSocketError(int aErrno) {
  GRaiseSocketError(aErrno);
  DefaultRaiseSocketError(aErrno);  // a raiser that returned
}

void IdOpenSSL::X509err(int f, int r) {
  if (ERR_put_error) ERR_put_error(ERR_LIB_X509, f, r, nullptr, 0);
}
void IdOpenSSL::SSLerr(int f, int r) {
  if (ERR_put_error) ERR_put_error(ERR_LIB_SSL, f, r, nullptr, 0);
}
void IdOpenSSL::SSL_CTX_set_info_callback_safe(PSSL_CTX ctx, TInfoCallback cb) {
  if (SSL_CTX_set_info_callback) SSL_CTX_set_info_callback(ctx, cb);
}

// --- The hashing classes' back end ---

namespace {

PEVP_MD DigestOf(TIdHashAlgorithm aAlgorithm) {
  switch (aAlgorithm) {
    case TIdHashAlgorithm::hashMD4: return EVP_md4 ? EVP_md4() : nullptr;
    case TIdHashAlgorithm::hashMD5: return EVP_md5 ? EVP_md5() : nullptr;
    case TIdHashAlgorithm::hashSHA1: return EVP_sha1 ? EVP_sha1() : nullptr;
    case TIdHashAlgorithm::hashSHA224: return EVP_sha224 ? EVP_sha224() : nullptr;
    case TIdHashAlgorithm::hashSHA256: return EVP_sha256 ? EVP_sha256() : nullptr;
    case TIdHashAlgorithm::hashSHA384: return EVP_sha384 ? EVP_sha384() : nullptr;
    case TIdHashAlgorithm::hashSHA512: return EVP_sha512 ? EVP_sha512() : nullptr;
  }
  return nullptr;
}

bool AlgorithmBound(TIdHashAlgorithm aAlgorithm) {
  switch (aAlgorithm) {
    case TIdHashAlgorithm::hashMD4: return EVP_md4 != nullptr;
    case TIdHashAlgorithm::hashMD5: return EVP_md5 != nullptr;
    case TIdHashAlgorithm::hashSHA1: return EVP_sha1 != nullptr;
    case TIdHashAlgorithm::hashSHA224: return EVP_sha224 != nullptr;
    case TIdHashAlgorithm::hashSHA256: return EVP_sha256 != nullptr;
    case TIdHashAlgorithm::hashSHA384: return EVP_sha384 != nullptr;
    case TIdHashAlgorithm::hashSHA512: return EVP_sha512 != nullptr;
  }
  return false;
}

// Follows the level asked for, not the one bound: level 1.0 (the default)
// keeps OpenSSL's digests also when it bound a 1.1 or later library, whose
// contexts the functions below allocate through EVP_MD_CTX_new; level 1.1
// leaves hashing to the callers' own fall-backs.
bool HashingAvailable() {
  return EVP_DigestInit_ex && EVP_DigestUpdate && EVP_DigestFinal_ex &&
         GAPIVersion == TwsOpenSSLAPI::oslAPI_1_0;
}

// Room for a digest context of the 1.0 libraries, whose callers allocate it.
constexpr size_t kLegacyContextSize = 512;

PEVP_MD_CTX NewDigestContext() {
  if (EVP_MD_CTX_create) return EVP_MD_CTX_create();
  return reinterpret_cast<PEVP_MD_CTX>(new (std::nothrow) uint8_t[kLegacyContextSize]());
}
void FreeDigestContext(PEVP_MD_CTX aContext) {
  if (EVP_MD_CTX_destroy) {
    EVP_MD_CTX_destroy(aContext);
  } else {
    if (EVP_MD_CTX_cleanup) EVP_MD_CTX_cleanup(aContext);
    delete[] reinterpret_cast<uint8_t*>(aContext);
  }
}

void* DigestStart(TIdHashAlgorithm aAlgorithm) {
  PEVP_MD_CTX context = NewDigestContext();
  if (!context) EIdOpenSSLAPICryptoError::RaiseException<EIdDigestInitEx>("EVP_DigestInit_ex error");
  if (EVP_MD_CTX_init) EVP_MD_CTX_init(context);
  if (EVP_DigestInit_ex(context, DigestOf(aAlgorithm), nullptr) != 1) {
    FreeDigestContext(context);
    EIdOpenSSLAPICryptoError::RaiseException<EIdDigestInitEx>("EVP_DigestInit_ex error");
  }
  return context;
}

void DigestUpdate(void* aContext, const uint8_t* aData, size_t aLength) {
  if (EVP_DigestUpdate(static_cast<PEVP_MD_CTX>(aContext), aData, aLength) != 1)
    EIdOpenSSLAPICryptoError::RaiseException<EIdDigestInitEx>("EVP_DigestUpdate error");
}

TIdBytes DigestFinish(void* aContext) {
  auto* context = static_cast<PEVP_MD_CTX>(aContext);
  TIdBytes result(EVP_MAX_MD_SIZE);
  unsigned length = 0;
  const int ok = EVP_DigestFinal_ex(context, result.data(), &length);
  FreeDigestContext(context);
  if (ok != 1) EIdOpenSSLAPICryptoError::RaiseException<EIdDigestFinalEx>("EVP_DigestFinal_ex error");
  result.resize(length);
  return result;
}

bool HMACAvailable() { return HMAC_CTX_init && HMAC_CTX_cleanup && HMACBound(); }

struct THMACContext {
  PHMAC_CTX Context = nullptr;
  bool Owned = false;  // allocated here (1.0 libraries), not by HMAC_CTX_new
};

void HMACRelease(THMACContext* aContext) {
  if (aContext->Context) {
    HMAC_CTX_cleanup(aContext->Context);
    if (aContext->Owned)
      delete[] reinterpret_cast<uint8_t*>(aContext->Context);
    else if (HMAC_CTX_free)
      HMAC_CTX_free(aContext->Context);
  }
  delete aContext;
}

void* HMACStart(TIdHashAlgorithm aAlgorithm, const TIdBytes& aKey) {
  auto* context = new THMACContext;
  if (HMAC_CTX_new) {
    context->Context = HMAC_CTX_new();
  } else {
    context->Context = reinterpret_cast<PHMAC_CTX>(new uint8_t[kLegacyContextSize]());
    context->Owned = true;
  }
  HMAC_CTX_init(context->Context);
  const int keyLength = static_cast<int>(aKey.size());
  if (HMAC_Init_ex) {
    if (HMAC_Init_ex(context->Context, aKey.data(), keyLength, DigestOf(aAlgorithm), nullptr) != 1) {
      HMACRelease(context);
      EIdOpenSSLAPICryptoError::RaiseException<EIdDigestInitEx>("HMAC_Init_ex error");
    }
  } else {
    HMAC_Init_ex_void(context->Context, aKey.data(), keyLength, DigestOf(aAlgorithm), nullptr);
  }
  return context;
}

void HMACUpdate(void* aContext, const uint8_t* aData, size_t aLength) {
  auto* context = static_cast<THMACContext*>(aContext);
  if (HMAC_Update) {
    if (HMAC_Update(context->Context, aData, aLength) != 1)
      EIdOpenSSLAPICryptoError::RaiseException<EIdDigestInitEx>("HMAC_Update error");
  } else {
    HMAC_Update_void(context->Context, aData, aLength);
  }
}

TIdBytes HMACFinish(void* aContext) {
  auto* context = static_cast<THMACContext*>(aContext);
  TIdBytes result(EVP_MAX_MD_SIZE);
  unsigned length = 0;
  bool ok = true;
  if (HMAC_Final)
    ok = HMAC_Final(context->Context, result.data(), &length) == 1;
  else
    HMAC_Final_void(context->Context, result.data(), &length);
  HMACRelease(context);
  if (!ok) EIdOpenSSLAPICryptoError::RaiseException<EIdDigestFinalEx>("HMAC_Final error");
  result.resize(length);
  return result;
}

bool FIPSModeGet() { return FIPS_mode && FIPS_mode() != 0; }
bool FIPSModeSet(bool aMode) { return FIPS_mode_set && FIPS_mode_set(aMode ? 1 : 0) != 0; }

const TIdHashProvider kOpenSSLHashProvider = {
    HashingAvailable, AlgorithmBound, DigestStart,   DigestUpdate, DigestFinish,
    HMACAvailable,    AlgorithmBound, HMACStart,     HMACUpdate,   HMACFinish,
    FIPSModeGet,      FIPSModeSet};

}  // namespace

const TIdHashProvider& IdHashProvider() { return kOpenSSLHashProvider; }
