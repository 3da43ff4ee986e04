// The bound OpenSSL entry points (nullptr until bound or when not found),
// the constants this program passes to them, and the control-call helpers
// that stand for OpenSSL's function-like macros. Only the units of this
// binding and its users include this header; it never includes OpenSSL's.
#pragma once

#include <cstddef>
#include <cstdint>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_method_st;
struct ssl_cipher_st;
struct ssl_session_st;
struct x509_st;
struct x509_name_st;
struct x509_store_st;
struct x509_store_ctx_st;
struct x509_lookup_st;
struct x509_lookup_method_st;
struct x509_object_st;
struct X509_crl_st;
struct X509_VERIFY_PARAM_st;
struct X509_info_st;
struct asn1_string_st;
struct asn1_object_st;
struct bio_st;
struct bio_method_st;
struct evp_md_st;
struct evp_md_ctx_st;
struct evp_pkey_st;
struct engine_st;
struct hmac_ctx_st;
struct dh_st;
struct PKCS12_st;
struct stack_st;

namespace IdOpenSSL {

using PSSL = ssl_st*;
using PSSL_CTX = ssl_ctx_st*;
using PSSL_METHOD = const ssl_method_st*;
using PSSL_CIPHER = const ssl_cipher_st*;
using PX509 = x509_st*;
using PX509_NAME = x509_name_st*;
using PX509_STORE = x509_store_st*;
using PX509_STORE_CTX = x509_store_ctx_st*;
using PBIO = bio_st*;
using PEVP_MD = const evp_md_st*;
using PEVP_MD_CTX = evp_md_ctx_st*;
using PEVP_PKEY = evp_pkey_st*;
using PHMAC_CTX = hmac_ctx_st*;
using PSTACK = stack_st*;

using TPasswordCallback = int (*)(char* buf, int size, int rwflag, void* userdata);
using TVerifyCallback = int (*)(int ok, PX509_STORE_CTX ctx);
using TInfoCallback = void (*)(const ssl_st* ssl, int where, int ret);

// --- Constants ---
constexpr int SSL_ERROR_NONE = 0;
constexpr int SSL_ERROR_SSL = 1;
constexpr int SSL_ERROR_WANT_READ = 2;
constexpr int SSL_ERROR_WANT_WRITE = 3;
constexpr int SSL_ERROR_SYSCALL = 5;
constexpr int SSL_ERROR_ZERO_RETURN = 6;

constexpr int SSL_CTRL_SET_TMP_DH = 3;
constexpr int SSL_CTRL_OPTIONS = 32;
constexpr int SSL_CTRL_MODE = 33;
constexpr int SSL_CTRL_SET_READ_AHEAD = 41;
constexpr int SSL_CTRL_SET_TLSEXT_HOSTNAME = 55;
constexpr int SSL_CTRL_CLEAR_OPTIONS = 77;
constexpr int SSL_CTRL_CLEAR_CHAIN_CERTS = 88;
constexpr int SSL_CTRL_CHAIN_CERT = 89;
constexpr int SSL_CTRL_SET_ECDH_AUTO = 94;
constexpr int SSL_CTRL_SET_MIN_PROTO_VERSION = 123;
constexpr int SSL_CTRL_SET_MAX_PROTO_VERSION = 124;
constexpr int TLSEXT_NAMETYPE_host_name = 0;
constexpr int BIO_CTRL_INFO = 3;
constexpr int BIO_CTRL_PENDING = 10;
constexpr int X509_L_FILE_LOAD = 1;
constexpr int X509_L_ADD_DIR = 2;
constexpr int X509_L_ADD_STORE = 3;
constexpr int X509_FILETYPE_PEM = 1;
constexpr int X509_FILETYPE_DEFAULT = 3;
// What a store lookup asks for (X509_LOOKUP_TYPE).
constexpr int X509_LU_X509 = 1;
constexpr int X509_LU_CRL = 2;

constexpr long SSL_MODE_AUTO_RETRY = 4;
constexpr uint32_t SSL_OP_NO_SSLv2 = 0x01000000;
constexpr uint32_t SSL_OP_NO_SSLv3 = 0x02000000;
constexpr uint32_t SSL_OP_NO_TLSv1 = 0x04000000;
constexpr uint32_t SSL_OP_NO_TLSv1_2 = 0x08000000;
constexpr uint32_t SSL_OP_NO_TLSv1_1 = 0x10000000;
constexpr uint32_t SSL_OP_NO_TLSv1_3 = 0x20000000;

constexpr int SSL_VERIFY_NONE = 0;
constexpr int SSL_VERIFY_PEER = 1;

constexpr int SSL_CB_ALERT = 0x4000;
constexpr int SSL_CB_READ = 0x04;
constexpr int SSL_CB_WRITE = 0x08;
constexpr int SSL_CB_LOOP = 0x01;
constexpr int SSL_CB_EXIT = 0x02;
constexpr int SSL_ST_CONNECT = 0x1000;
constexpr int SSL_ST_ACCEPT = 0x2000;
constexpr int SSL_CB_HANDSHAKE_START = 0x10;
constexpr int SSL_CB_HANDSHAKE_DONE = 0x20;

constexpr int CRYPTO_LOCK = 1;
constexpr int ERR_LIB_SSL = 20;
constexpr int ERR_LIB_X509 = 11;
// OpenSSL 3 reports a peer that closed without close-notify as this SSL error.
constexpr int SSL_R_UNEXPECTED_EOF_WHILE_READING = 294;
constexpr unsigned X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS = 0x4;
constexpr int EVP_MAX_MD_SIZE = 64;

// --- SSL library ---
inline int (*SSL_CTX_set_cipher_list)(PSSL_CTX, const char*) = nullptr;
inline PSSL_CTX (*SSL_CTX_new)(PSSL_METHOD) = nullptr;
inline void (*SSL_CTX_free)(PSSL_CTX) = nullptr;
// Counts up a context's references (1.1 and later; absent before).
inline int (*SSL_CTX_up_ref)(PSSL_CTX) = nullptr;
inline int (*SSL_set_fd)(PSSL, int) = nullptr;
inline int (*SSL_CTX_use_PrivateKey)(PSSL_CTX, PEVP_PKEY) = nullptr;
inline int (*SSL_CTX_use_certificate)(PSSL_CTX, PX509) = nullptr;
inline const char* (*SSL_state_string_long)(const ssl_st*) = nullptr;
inline const char* (*SSL_alert_desc_string_long)(int) = nullptr;
inline const char* (*SSL_alert_type_string_long)(int) = nullptr;
// Bound under SSL_get1_peer_certificate where that exists; the caller frees the result.
inline PX509 (*SSL_get_peer_certificate)(const ssl_st*) = nullptr;
inline void (*SSL_CTX_set_verify)(PSSL_CTX, int, TVerifyCallback) = nullptr;
inline void (*SSL_CTX_set_verify_depth)(PSSL_CTX, int) = nullptr;
inline int (*SSL_CTX_get_verify_depth)(const ssl_ctx_st*) = nullptr;
inline void (*SSL_CTX_set_default_passwd_cb)(PSSL_CTX, TPasswordCallback) = nullptr;
inline void (*SSL_CTX_set_default_passwd_cb_userdata)(PSSL_CTX, void*) = nullptr;
inline int (*SSL_CTX_check_private_key)(const ssl_ctx_st*) = nullptr;
inline PSSL (*SSL_new)(PSSL_CTX) = nullptr;
inline void (*SSL_free)(PSSL) = nullptr;
inline int (*SSL_accept)(PSSL) = nullptr;
inline int (*SSL_connect)(PSSL) = nullptr;
inline int (*SSL_read)(PSSL, void*, int) = nullptr;
inline int (*SSL_write)(PSSL, const void*, int) = nullptr;
inline long (*SSL_ctrl)(PSSL, int, long, void*) = nullptr;
inline long (*SSL_CTX_ctrl)(PSSL_CTX, int, long, void*) = nullptr;
inline int (*SSL_get_error)(const ssl_st*, int) = nullptr;
inline int (*SSL_shutdown)(PSSL) = nullptr;
inline void (*SSL_set_shutdown)(PSSL, int) = nullptr;
inline int (*SSL_copy_session_id)(PSSL, const ssl_st*) = nullptr;
inline PSTACK (*SSL_load_client_CA_file)(const char*) = nullptr;
inline void (*SSL_CTX_set_client_CA_list)(PSSL_CTX, PSTACK) = nullptr;
inline int (*SSL_CTX_set_default_verify_paths)(PSSL_CTX) = nullptr;
inline char* (*SSL_CIPHER_description)(PSSL_CIPHER, char*, int) = nullptr;
inline PSSL_CIPHER (*SSL_get_current_cipher)(const ssl_st*) = nullptr;
inline const char* (*SSL_CIPHER_get_name)(PSSL_CIPHER) = nullptr;
inline const char* (*SSL_CIPHER_get_version)(PSSL_CIPHER) = nullptr;
inline int (*SSL_CIPHER_get_bits)(PSSL_CIPHER, int*) = nullptr;
inline PX509_STORE (*SSL_CTX_get_cert_store)(const ssl_ctx_st*) = nullptr;
inline int (*SSL_load_error_strings)() = nullptr;
inline int (*SSL_library_init)() = nullptr;
inline PSSL_METHOD (*TLS_method)() = nullptr;
inline const char* (*SSL_get_version)(const ssl_st*) = nullptr;
inline int (*SSL_get_ex_data_X509_STORE_CTX_idx)() = nullptr;
inline int (*SSL_CTX_use_certificate_chain_file)(PSSL_CTX, const char*) = nullptr;
inline int (*SSL_pending)(const ssl_st*) = nullptr;
inline int (*SSL_peek)(PSSL, void*, int) = nullptr;
// 1.1.0 and later: any octets held, decrypted or not (optional).
inline int (*SSL_has_pending)(const ssl_st*) = nullptr;
inline PSSL_METHOD (*SSLv2_method)() = nullptr;
inline PSSL_METHOD (*SSLv2_server_method)() = nullptr;
inline PSSL_METHOD (*SSLv2_client_method)() = nullptr;
inline PSSL_METHOD (*SSLv3_method)() = nullptr;
inline PSSL_METHOD (*SSLv3_server_method)() = nullptr;
inline PSSL_METHOD (*SSLv3_client_method)() = nullptr;
inline PSSL_METHOD (*SSLv23_method)() = nullptr;
inline PSSL_METHOD (*SSLv23_server_method)() = nullptr;
inline PSSL_METHOD (*SSLv23_client_method)() = nullptr;
inline PSSL_METHOD (*TLSv1_method)() = nullptr;
inline PSSL_METHOD (*TLSv1_server_method)() = nullptr;
inline PSSL_METHOD (*TLSv1_client_method)() = nullptr;
inline PSSL_METHOD (*TLSv1_1_method)() = nullptr;
inline PSSL_METHOD (*TLSv1_1_server_method)() = nullptr;
inline PSSL_METHOD (*TLSv1_1_client_method)() = nullptr;
inline PSSL_METHOD (*TLSv1_2_method)() = nullptr;
inline PSSL_METHOD (*TLSv1_2_server_method)() = nullptr;
inline PSSL_METHOD (*TLSv1_2_client_method)() = nullptr;
inline int (*SSL_set_ex_data)(PSSL, int, void*) = nullptr;
inline void* (*SSL_get_ex_data)(const ssl_st*, int) = nullptr;
inline int (*SSL_CTX_set_alpn_protos)(PSSL_CTX, const unsigned char*, unsigned) = nullptr;
inline void (*SSL_get0_alpn_selected)(const ssl_st*, const unsigned char**, unsigned*) = nullptr;
inline PSTACK (*SSL_COMP_get_compression_methods)() = nullptr;
inline void (*SSL_COMP_free_compression_methods)() = nullptr;
inline void (*SSL_CTX_set_info_callback)(PSSL_CTX, TInfoCallback) = nullptr;
inline X509_VERIFY_PARAM_st* (*SSL_get0_param)(PSSL) = nullptr;
// Functions since 1.1 (OpenSSL 3 no longer answers their control numbers);
// the helpers below fall back to the control call where they are missing.
inline uint64_t (*SSL_CTX_set_options_entry)(PSSL_CTX, uint64_t) = nullptr;
inline uint64_t (*SSL_CTX_clear_options_entry)(PSSL_CTX, uint64_t) = nullptr;

// --- Crypto library ---
inline void (*CRYPTO_free)(void*, const char*, int) = nullptr;
inline unsigned long (*SSLeay)() = nullptr;  // bound under OpenSSL_version_num where renamed
inline unsigned long (*OpenSSL_version_num)() = nullptr;
inline int (*CRYPTO_num_locks)() = nullptr;
inline void (*CRYPTO_set_locking_callback)(void (*)(int, int, const char*, int)) = nullptr;
inline void (*OpenSSL_add_all_algorithms)() = nullptr;
inline void (*OpenSSL_add_all_ciphers)() = nullptr;
inline void (*OpenSSL_add_all_digests)() = nullptr;
inline void (*CRYPTO_cleanup_all_ex_data)() = nullptr;
inline void (*RAND_screen)() = nullptr;
inline void (*RAND_cleanup)() = nullptr;
inline int (*RAND_bytes)(unsigned char*, int) = nullptr;

inline unsigned long (*ERR_get_error)() = nullptr;
inline unsigned long (*ERR_peek_error)() = nullptr;
inline unsigned long (*ERR_peek_last_error)() = nullptr;
// Errors raised after a mark can be dropped without the earlier ones (optional).
inline int (*ERR_set_mark)() = nullptr;
inline int (*ERR_pop_to_mark)() = nullptr;
inline void (*ERR_clear_error)() = nullptr;
inline void (*ERR_error_string_n)(unsigned long, char*, size_t) = nullptr;
inline void (*ERR_put_error)(int, int, int, const char*, int) = nullptr;
inline void (*ERR_free_strings)() = nullptr;
inline void (*ERR_remove_thread_state)(void*) = nullptr;
inline void (*ERR_remove_state)(unsigned long) = nullptr;
inline void (*EVP_cleanup)() = nullptr;

inline PBIO (*BIO_new)(const bio_method_st*) = nullptr;
inline int (*BIO_free)(PBIO) = nullptr;
inline PBIO (*BIO_new_mem_buf)(const void*, int) = nullptr;
inline const bio_method_st* (*BIO_s_mem)() = nullptr;
inline long (*BIO_ctrl)(PBIO, int, long, void*) = nullptr;

inline PX509 (*PEM_read_bio_X509_AUX)(PBIO, PX509*, TPasswordCallback, void*) = nullptr;
inline PX509 (*PEM_read_bio_X509)(PBIO, PX509*, TPasswordCallback, void*) = nullptr;
inline PEVP_PKEY (*PEM_read_bio_PrivateKey)(PBIO, PEVP_PKEY*, TPasswordCallback, void*) = nullptr;
inline dh_st* (*PEM_read_bio_DHparams)(PBIO, dh_st**, TPasswordCallback, void*) = nullptr;
inline PSTACK (*PEM_X509_INFO_read_bio)(PBIO, PSTACK, TPasswordCallback, void*) = nullptr;
inline void (*X509_INFO_free)(X509_info_st*) = nullptr;
inline void (*DH_free)(dh_st*) = nullptr;

inline int (*sk_num)(const stack_st*) = nullptr;
inline void* (*sk_value)(const stack_st*, int) = nullptr;
inline void (*sk_free)(PSTACK) = nullptr;
inline void (*sk_pop_free)(PSTACK, void (*)(void*)) = nullptr;

inline int (*X509_STORE_add_cert)(PX509_STORE, PX509) = nullptr;
inline int (*X509_STORE_add_crl)(PX509_STORE, void*) = nullptr;
inline int (*X509_STORE_load_locations)(PX509_STORE, const char*, const char*) = nullptr;
inline int (*X509_STORE_CTX_get_error)(PX509_STORE_CTX) = nullptr;
inline int (*X509_STORE_CTX_get_error_depth)(PX509_STORE_CTX) = nullptr;
inline PX509 (*X509_STORE_CTX_get_current_cert)(PX509_STORE_CTX) = nullptr;
inline void* (*X509_STORE_CTX_get_ex_data)(PX509_STORE_CTX, int) = nullptr;
inline const char* (*X509_verify_cert_error_string)(long) = nullptr;
inline void (*X509_free)(PX509) = nullptr;
inline int (*X509_up_ref)(PX509) = nullptr;
// Where the library looks for its default trust anchors, and the environment
// variable that overrides the file.
inline const char* (*X509_get_default_cert_file)() = nullptr;
inline const char* (*X509_get_default_cert_file_env)() = nullptr;
// Lookups of a certificate store, for trust anchors found by name when a
// chain needs them (1.1 and later; the store lookup 3.0 and later). All
// optional: without them the default anchors are loaded at once.
using PX509_LOOKUP = x509_lookup_st*;
using PX509_LOOKUP_METHOD = x509_lookup_method_st*;
using PX509_OBJECT = x509_object_st*;
using TLookupBySubject = int (*)(PX509_LOOKUP, int aType, const x509_name_st* aName, PX509_OBJECT aResult);
using TLookupFree = void (*)(PX509_LOOKUP);
inline PX509_LOOKUP_METHOD (*X509_LOOKUP_meth_new)(const char*) = nullptr;
inline int (*X509_LOOKUP_meth_set_get_by_subject)(PX509_LOOKUP_METHOD, TLookupBySubject) = nullptr;
inline int (*X509_LOOKUP_meth_set_free)(PX509_LOOKUP_METHOD, TLookupFree) = nullptr;
inline PX509_LOOKUP_METHOD (*X509_LOOKUP_file)() = nullptr;
inline PX509_LOOKUP_METHOD (*X509_LOOKUP_hash_dir)() = nullptr;
inline PX509_LOOKUP_METHOD (*X509_LOOKUP_store)() = nullptr;
inline PX509_LOOKUP (*X509_STORE_add_lookup)(PX509_STORE, PX509_LOOKUP_METHOD) = nullptr;
inline int (*X509_LOOKUP_ctrl)(PX509_LOOKUP, int, const char*, long, char**) = nullptr;
inline int (*X509_LOOKUP_set_method_data)(PX509_LOOKUP, void*) = nullptr;
inline void* (*X509_LOOKUP_get_method_data)(const x509_lookup_st*) = nullptr;
inline PX509_STORE (*X509_LOOKUP_get_store)(const x509_lookup_st*) = nullptr;
inline int (*X509_STORE_lock)(PX509_STORE) = nullptr;
inline int (*X509_STORE_unlock)(PX509_STORE) = nullptr;
inline PSTACK (*X509_STORE_get0_objects)(const x509_store_st*) = nullptr;
inline PX509_OBJECT (*X509_OBJECT_retrieve_by_subject)(PSTACK, int, const x509_name_st*) = nullptr;
inline int (*X509_OBJECT_get_type)(const x509_object_st*) = nullptr;
inline PX509 (*X509_OBJECT_get0_X509)(const x509_object_st*) = nullptr;
inline X509_crl_st* (*X509_OBJECT_get0_X509_CRL)(const x509_object_st*) = nullptr;
inline int (*X509_OBJECT_set1_X509)(PX509_OBJECT, PX509) = nullptr;
inline int (*X509_OBJECT_set1_X509_CRL)(PX509_OBJECT, X509_crl_st*) = nullptr;
inline void (*X509_CRL_free)(X509_crl_st*) = nullptr;
inline PX509_NAME (*X509_get_subject_name)(const x509_st*) = nullptr;
inline PX509_NAME (*X509_get_issuer_name)(const x509_st*) = nullptr;
inline char* (*X509_NAME_oneline)(const x509_name_st*, char*, int) = nullptr;
// X509_NAME_hash, or X509_NAME_hash_ex (name, library context, properties, ok) where renamed.
inline unsigned long (*X509_NAME_hash)(PX509_NAME) = nullptr;
inline unsigned long (*X509_NAME_hash_ex)(PX509_NAME, void*, const char*, int*) = nullptr;
inline int (*X509_digest)(const x509_st*, PEVP_MD, unsigned char*, unsigned*) = nullptr;
inline asn1_string_st* (*X509_get_serialNumber)(PX509) = nullptr;
inline long (*X509_get_version)(const x509_st*) = nullptr;
inline const asn1_string_st* (*X509_get0_notBefore)(const x509_st*) = nullptr;
inline const asn1_string_st* (*X509_get0_notAfter)(const x509_st*) = nullptr;
inline int (*X509_get_signature_nid)(const x509_st*) = nullptr;
inline void (*X509_get0_signature)(const asn1_string_st**, const void**, const x509_st*) = nullptr;
inline int (*ASN1_TIME_to_tm)(const asn1_string_st*, struct tm*) = nullptr;
inline int (*ASN1_STRING_length)(const asn1_string_st*) = nullptr;
inline const unsigned char* (*ASN1_STRING_get0_data)(const asn1_string_st*) = nullptr;
inline const char* (*OBJ_nid2ln)(int) = nullptr;
inline int (*X509_VERIFY_PARAM_set1_host)(X509_VERIFY_PARAM_st*, const char*, size_t) = nullptr;
inline int (*X509_VERIFY_PARAM_set1_ip_asc)(X509_VERIFY_PARAM_st*, const char*) = nullptr;
inline void (*X509_VERIFY_PARAM_set_hostflags)(X509_VERIFY_PARAM_st*, unsigned) = nullptr;

inline PKCS12_st* (*d2i_PKCS12_bio)(PBIO, PKCS12_st**) = nullptr;
inline int (*PKCS12_parse)(PKCS12_st*, const char*, PEVP_PKEY*, PX509*, PSTACK*) = nullptr;
inline void (*PKCS12_free)(PKCS12_st*) = nullptr;
inline void (*EVP_PKEY_free)(PEVP_PKEY) = nullptr;
inline int (*EVP_PKEY_up_ref)(PEVP_PKEY) = nullptr;  // 1.1 and later

inline PEVP_MD (*EVP_md4)() = nullptr;
inline PEVP_MD (*EVP_md5)() = nullptr;
inline PEVP_MD (*EVP_sha1)() = nullptr;
inline PEVP_MD (*EVP_sha224)() = nullptr;
inline PEVP_MD (*EVP_sha256)() = nullptr;
inline PEVP_MD (*EVP_sha384)() = nullptr;
inline PEVP_MD (*EVP_sha512)() = nullptr;
inline int (*EVP_DigestInit_ex)(PEVP_MD_CTX, PEVP_MD, engine_st*) = nullptr;
inline int (*EVP_DigestUpdate)(PEVP_MD_CTX, const void*, size_t) = nullptr;
inline int (*EVP_DigestFinal_ex)(PEVP_MD_CTX, unsigned char*, unsigned*) = nullptr;
// EVP_MD_CTX_init and _cleanup are bound under EVP_MD_CTX_reset where renamed;
// _create and _destroy under EVP_MD_CTX_new and _free.
inline int (*EVP_MD_CTX_init)(PEVP_MD_CTX) = nullptr;
inline int (*EVP_MD_CTX_cleanup)(PEVP_MD_CTX) = nullptr;
inline PEVP_MD_CTX (*EVP_MD_CTX_create)() = nullptr;
inline void (*EVP_MD_CTX_destroy)(PEVP_MD_CTX) = nullptr;

// HMAC_CTX_init and _cleanup are bound under HMAC_CTX_reset where renamed.
inline int (*HMAC_CTX_init)(PHMAC_CTX) = nullptr;
inline int (*HMAC_CTX_cleanup)(PHMAC_CTX) = nullptr;
inline PHMAC_CTX (*HMAC_CTX_new)() = nullptr;
inline void (*HMAC_CTX_free)(PHMAC_CTX) = nullptr;
// Libraries 1.0.0 up to 2.0 return a status from these; other versions are
// bound into the second set and their result is not looked at.
inline int (*HMAC_Init_ex)(PHMAC_CTX, const void*, int, PEVP_MD, engine_st*) = nullptr;
inline int (*HMAC_Update)(PHMAC_CTX, const unsigned char*, size_t) = nullptr;
inline int (*HMAC_Final)(PHMAC_CTX, unsigned char*, unsigned*) = nullptr;
inline void (*HMAC_Init_ex_void)(PHMAC_CTX, const void*, int, PEVP_MD, engine_st*) = nullptr;
inline void (*HMAC_Update_void)(PHMAC_CTX, const unsigned char*, size_t) = nullptr;
inline void (*HMAC_Final_void)(PHMAC_CTX, unsigned char*, unsigned*) = nullptr;

inline int (*FIPS_mode)() = nullptr;
inline int (*FIPS_mode_set)(int) = nullptr;

// --- Control-call helpers (OpenSSL's macros) ---
inline uint64_t SSL_CTX_set_options(PSSL_CTX ctx, uint64_t op) {
  if (SSL_CTX_set_options_entry) return SSL_CTX_set_options_entry(ctx, op);
  return static_cast<uint64_t>(SSL_CTX_ctrl(ctx, SSL_CTRL_OPTIONS, static_cast<long>(op), nullptr));
}
inline uint64_t SSL_CTX_clear_options(PSSL_CTX ctx, uint64_t op) {
  if (SSL_CTX_clear_options_entry) return SSL_CTX_clear_options_entry(ctx, op);
  return static_cast<uint64_t>(SSL_CTX_ctrl(ctx, SSL_CTRL_CLEAR_OPTIONS, static_cast<long>(op), nullptr));
}
inline long SSL_CTX_set_mode(PSSL_CTX ctx, long op) { return SSL_CTX_ctrl(ctx, SSL_CTRL_MODE, op, nullptr); }
inline long SSL_CTX_set_tmp_dh(PSSL_CTX ctx, dh_st* dh) {
  return SSL_CTX_ctrl(ctx, SSL_CTRL_SET_TMP_DH, 0, dh);
}
inline long SSL_CTX_set_min_proto_version(PSSL_CTX ctx, long version) {
  return SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, version, nullptr);
}
inline long SSL_CTX_set_max_proto_version(PSSL_CTX ctx, long version) {
  return SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MAX_PROTO_VERSION, version, nullptr);
}
inline long SSL_CTX_set_ecdh_auto(PSSL_CTX ctx, long onoff) {
  return SSL_CTX_ctrl(ctx, SSL_CTRL_SET_ECDH_AUTO, onoff, nullptr);
}
inline long SSL_CTX_add0_chain_cert(PSSL_CTX ctx, PX509 cert) {
  return SSL_CTX_ctrl(ctx, SSL_CTRL_CHAIN_CERT, 0, cert);
}
inline long SSL_CTX_clear_chain_certs(PSSL_CTX ctx) {
  return SSL_CTX_ctrl(ctx, SSL_CTRL_CLEAR_CHAIN_CERTS, 0, nullptr);
}
// The name is passed as 8-bit text (the bytes of the UTF-8 string).
inline long SSL_set_tlsext_host_name(PSSL ssl, const char* name) {
  return SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                  const_cast<char*>(name));
}
inline long BIO_get_mem_data(PBIO b, char** pp) { return BIO_ctrl(b, BIO_CTRL_INFO, 0, pp); }
inline long BIO_pending(PBIO b) { return BIO_ctrl(b, BIO_CTRL_PENDING, 0, nullptr); }
constexpr int ERR_GET_LIB(unsigned long code) { return static_cast<int>((code >> 24) & 0xFF); }
constexpr int ERR_GET_REASON(unsigned long code) { return static_cast<int>(code & 0xFFF); }
// Queue an error of the X509 or SSL library (nothing when ERR_put_error is not bound).
void X509err(int f, int r);
void SSLerr(int f, int r);
// The info callback of a context, through SSL_CTX_set_info_callback.
void SSL_CTX_set_info_callback_safe(PSSL_CTX ctx, TInfoCallback cb);

}  // namespace IdOpenSSL
