// The platform's security package for TLS clients: credentials, the
// handshake driven by the caller's own socket I/O, stream sizes and record
// encryption, under the usual function names, structures, buffer types and
// status codes. It runs on OpenSSL 3 with memory BIOs and never touches a
// socket: tokens go in and out through SecBuffers.
//
// What callers rely on:
// - InitializeSecurityContextW and DecryptMessage take whole TLS records.
//   SEC_E_INCOMPLETE_MESSAGE consumes nothing (a SECBUFFER_MISSING buffer, when
//   one is free, says how many octets are lacking); every other status
//   consumes the input except a SECBUFFER_EXTRA, which is exactly the trailing
//   unconsumed octets.
// - DecryptMessage decrypts one record in place: the buffers come back as
//   STREAM_HEADER, DATA, STREAM_TRAILER and, when more octets follow, EXTRA.
//   Post-handshake messages (session tickets, key updates) give SEC_E_OK and
//   no data; a key-update answer leaves with the next EncryptMessage, ahead of
//   its record. A renegotiation request gives SEC_I_RENEGOTIATE and is refused
//   (the peer gets a no_renegotiation warning with the next record). The
//   peer's close_notify gives SEC_I_CONTEXT_EXPIRED, a record that does not
//   authenticate SEC_E_DECRYPT_FAILURE, a fatal alert or malformed record
//   SEC_E_ILLEGAL_MESSAGE; after a failure every call repeats it.
// - EncryptMessage writes one record contiguously from the start of the
//   header buffer (header, data and trailer buffers must be adjacent); the
//   three lengths returned add up to the octets to send.
// - STREAM_SIZES are upper bounds: cbHeader + cbMaximumMessage + cbTrailer
//   holds the largest record the peer may legally send and the largest one
//   EncryptMessage writes (with a pending key-update answer).
// - When the server asks for a certificate the credentials lack, the
//   handshake stops once with SEC_I_INCOMPLETE_CREDENTIALS; the issuer list is
//   then available (SECPKG_ATTR_ISSUER_LIST_EX). The next call continues with
//   the credentials it is given, with or without a certificate.
// - The target name gives SNI (not for IP literals); without
//   SCH_CRED_MANUAL_CRED_VALIDATION it is also checked against the server's
//   chain on the system trust store after the handshake.
// - Contexts lock themselves: one thread may encrypt while another decrypts.
#pragma once

#include <cstdint>

#include "platform/crypt32/crypt32.h"

using ULONG = uint32_t;
using SECURITY_STATUS = int32_t;

struct SecHandle {
  uintptr_t dwLower;
  uintptr_t dwUpper;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;
using PCredHandle = SecHandle*;
using PCtxtHandle = SecHandle*;
using TimeStamp = int64_t;

inline constexpr SECURITY_STATUS SEC_E_OK = 0;
inline constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
inline constexpr SECURITY_STATUS SEC_I_CONTEXT_EXPIRED = 0x00090317;
inline constexpr SECURITY_STATUS SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
inline constexpr SECURITY_STATUS SEC_I_RENEGOTIATE = 0x00090321;
inline constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = static_cast<int32_t>(0x80090300);
inline constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = static_cast<int32_t>(0x80090301);
inline constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = static_cast<int32_t>(0x80090302);
inline constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = static_cast<int32_t>(0x80090304);
inline constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = static_cast<int32_t>(0x80090305);
inline constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = static_cast<int32_t>(0x80090308);
inline constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = static_cast<int32_t>(0x8009030D);
inline constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = static_cast<int32_t>(0x8009030E);
inline constexpr SECURITY_STATUS SEC_E_CONTEXT_EXPIRED = static_cast<int32_t>(0x80090317);
inline constexpr SECURITY_STATUS SEC_E_INCOMPLETE_MESSAGE = static_cast<int32_t>(0x80090318);
inline constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = static_cast<int32_t>(0x80090321);
inline constexpr SECURITY_STATUS SEC_E_WRONG_PRINCIPAL = static_cast<int32_t>(0x80090322);
inline constexpr SECURITY_STATUS SEC_E_UNTRUSTED_ROOT = static_cast<int32_t>(0x80090325);
inline constexpr SECURITY_STATUS SEC_E_ILLEGAL_MESSAGE = static_cast<int32_t>(0x80090326);
inline constexpr SECURITY_STATUS SEC_E_CERT_UNKNOWN = static_cast<int32_t>(0x80090327);
inline constexpr SECURITY_STATUS SEC_E_CERT_EXPIRED = static_cast<int32_t>(0x80090328);
inline constexpr SECURITY_STATUS SEC_E_DECRYPT_FAILURE = static_cast<int32_t>(0x80090330);
inline constexpr SECURITY_STATUS SEC_E_ALGORITHM_MISMATCH = static_cast<int32_t>(0x80090331);
inline constexpr SECURITY_STATUS SEC_E_INVALID_PARAMETER = static_cast<int32_t>(0x8009035D);

// Buffer types.
inline constexpr ULONG SECBUFFER_VERSION = 0;
inline constexpr ULONG SECBUFFER_EMPTY = 0;
inline constexpr ULONG SECBUFFER_DATA = 1;
inline constexpr ULONG SECBUFFER_TOKEN = 2;
inline constexpr ULONG SECBUFFER_MISSING = 4;
inline constexpr ULONG SECBUFFER_EXTRA = 5;
inline constexpr ULONG SECBUFFER_STREAM_TRAILER = 6;
inline constexpr ULONG SECBUFFER_STREAM_HEADER = 7;
inline constexpr ULONG SECBUFFER_APPLICATION_PROTOCOLS = 18;

// Context requirements (ISC_REQ_*) and the attributes returned (ISC_RET_*).
inline constexpr ULONG ISC_REQ_REPLAY_DETECT = 0x4;
inline constexpr ULONG ISC_REQ_SEQUENCE_DETECT = 0x8;
inline constexpr ULONG ISC_REQ_CONFIDENTIALITY = 0x10;
inline constexpr ULONG ISC_REQ_ALLOCATE_MEMORY = 0x100;
inline constexpr ULONG ISC_REQ_EXTENDED_ERROR = 0x4000;
inline constexpr ULONG ISC_REQ_STREAM = 0x8000;
inline constexpr ULONG ISC_RET_REPLAY_DETECT = ISC_REQ_REPLAY_DETECT;
inline constexpr ULONG ISC_RET_SEQUENCE_DETECT = ISC_REQ_SEQUENCE_DETECT;
inline constexpr ULONG ISC_RET_CONFIDENTIALITY = ISC_REQ_CONFIDENTIALITY;
inline constexpr ULONG ISC_RET_ALLOCATED_MEMORY = ISC_REQ_ALLOCATE_MEMORY;
inline constexpr ULONG ISC_RET_EXTENDED_ERROR = ISC_REQ_EXTENDED_ERROR;
inline constexpr ULONG ISC_RET_STREAM = ISC_REQ_STREAM;

inline constexpr ULONG SECURITY_NATIVE_DREP = 0x10;
inline constexpr ULONG SECPKG_CRED_OUTBOUND = 2;

// Context attributes.
inline constexpr ULONG SECPKG_ATTR_STREAM_SIZES = 4;
inline constexpr ULONG SECPKG_ATTR_APPLICATION_PROTOCOL = 35;
inline constexpr ULONG SECPKG_ATTR_REMOTE_CERT_CONTEXT = 0x53;
inline constexpr ULONG SECPKG_ATTR_ISSUER_LIST_EX = 0x59;
inline constexpr ULONG SECPKG_ATTR_CONNECTION_INFO = 0x5A;

// The TLS package and its credential description.
inline constexpr const WCHAR* UNISP_NAME_W = u"Microsoft Unified Security Protocol Provider";
inline constexpr DWORD SCHANNEL_CRED_VERSION = 4;
inline constexpr DWORD SP_PROT_SSL3_SERVER = 0x10;
inline constexpr DWORD SP_PROT_SSL3_CLIENT = 0x20;
inline constexpr DWORD SP_PROT_TLS1_0_SERVER = 0x40;
inline constexpr DWORD SP_PROT_TLS1_0_CLIENT = 0x80;
inline constexpr DWORD SP_PROT_TLS1_1_SERVER = 0x100;
inline constexpr DWORD SP_PROT_TLS1_1_CLIENT = 0x200;
inline constexpr DWORD SP_PROT_TLS1_2_SERVER = 0x400;
inline constexpr DWORD SP_PROT_TLS1_2_CLIENT = 0x800;
inline constexpr DWORD SP_PROT_TLS1_3_SERVER = 0x1000;
inline constexpr DWORD SP_PROT_TLS1_3_CLIENT = 0x2000;
inline constexpr DWORD SCH_CRED_MANUAL_CRED_VALIDATION = 0x8;
inline constexpr DWORD SCH_CRED_NO_DEFAULT_CREDS = 0x10;

// Algorithm identifiers the package understands in palgSupportedAlgs and
// reports in the connection information.
inline constexpr ALG_ID CALG_DES = 0x6601;
inline constexpr ALG_ID CALG_3DES = 0x6603;
inline constexpr ALG_ID CALG_RC4 = 0x6801;
inline constexpr ALG_ID CALG_AES_128 = 0x660E;
inline constexpr ALG_ID CALG_AES_192 = 0x660F;
inline constexpr ALG_ID CALG_AES_256 = 0x6610;
inline constexpr ALG_ID CALG_AES = 0x6611;
inline constexpr ALG_ID CALG_MD5 = 0x8003;
inline constexpr ALG_ID CALG_SHA1 = 0x8004;
inline constexpr ALG_ID CALG_SHA_256 = 0x800C;
inline constexpr ALG_ID CALG_SHA_384 = 0x800D;
inline constexpr ALG_ID CALG_SHA_512 = 0x800E;
inline constexpr ALG_ID CALG_RSA_KEYX = 0xA400;
inline constexpr ALG_ID CALG_DH_EPHEM = 0xAA02;
inline constexpr ALG_ID CALG_ECDH = 0xAA05;
inline constexpr ALG_ID CALG_ECDH_EPHEM = 0xAE06;
inline constexpr ALG_ID CALG_DSS_SIGN = 0x2200;
inline constexpr ALG_ID CALG_ECDSA = 0x2203;
inline constexpr ALG_ID CALG_RSA_SIGN = 0x2400;

struct SecBuffer {
  ULONG cbBuffer;
  ULONG BufferType;
  void* pvBuffer;
};
using PSecBuffer = SecBuffer*;

struct SecBufferDesc {
  ULONG ulVersion;
  ULONG cBuffers;
  PSecBuffer pBuffers;
};
using PSecBufferDesc = SecBufferDesc*;

struct SCHANNEL_CRED {
  DWORD dwVersion;
  DWORD cCreds;
  PCCERT_CONTEXT* paCred;  // the client certificate (first entry, with its private key)
  HCERTSTORE hRootStore;
  DWORD cMappers;
  void** aphMappers;
  DWORD cSupportedAlgs;
  ALG_ID* palgSupportedAlgs;
  DWORD grbitEnabledProtocols;  // SP_PROT_*; 0: TLS 1.2 and 1.3
  DWORD dwMinimumCipherStrength;
  DWORD dwMaximumCipherStrength;
  DWORD dwSessionLifespan;
  DWORD dwFlags;
  DWORD dwCredFormat;
};

struct SecPkgContext_StreamSizes {
  ULONG cbHeader;
  ULONG cbTrailer;
  ULONG cbMaximumMessage;
  ULONG cBuffers;
  ULONG cbBlockSize;
};

inline constexpr ULONG SecApplicationProtocolNegotiationStatus_None = 0;
inline constexpr ULONG SecApplicationProtocolNegotiationStatus_Success = 1;
inline constexpr ULONG SecApplicationProtocolNegotiationExt_ALPN = 2;

struct SecPkgContext_ApplicationProtocol {
  ULONG ProtoNegoStatus;
  ULONG ProtoNegoExt;
  uint8_t ProtocolIdSize;
  uint8_t ProtocolId[255];
};

struct SecPkgContext_ConnectionInfo {
  DWORD dwProtocol;  // one SP_PROT_*_CLIENT bit
  ALG_ID aiCipher;
  DWORD dwCipherStrength;
  ALG_ID aiHash;
  DWORD dwHashStrength;
  ALG_ID aiExch;
  DWORD dwExchStrength;
};

// aIssuers is one block released with FreeContextBuffer.
struct SecPkgContext_IssuerListInfoEx {
  PCERT_NAME_BLOB aIssuers;
  DWORD cIssuers;
};

using ACQUIRE_CREDENTIALS_HANDLE_FN_W = SECURITY_STATUS (*)(const WCHAR*, const WCHAR*, ULONG,
                                                             void*, void*, void*, void*,
                                                             PCredHandle, TimeStamp*);
using FREE_CREDENTIALS_HANDLE_FN = SECURITY_STATUS (*)(PCredHandle);
using INITIALIZE_SECURITY_CONTEXT_FN_W = SECURITY_STATUS (*)(PCredHandle, PCtxtHandle,
                                                              const WCHAR*, ULONG, ULONG, ULONG,
                                                              PSecBufferDesc, ULONG, PCtxtHandle,
                                                              PSecBufferDesc, ULONG*, TimeStamp*);
using DELETE_SECURITY_CONTEXT_FN = SECURITY_STATUS (*)(PCtxtHandle);
using QUERY_CONTEXT_ATTRIBUTES_FN_W = SECURITY_STATUS (*)(PCtxtHandle, ULONG, void*);
using FREE_CONTEXT_BUFFER_FN = SECURITY_STATUS (*)(void*);
using ENCRYPT_MESSAGE_FN = SECURITY_STATUS (*)(PCtxtHandle, ULONG, PSecBufferDesc, ULONG);
using DECRYPT_MESSAGE_FN = SECURITY_STATUS (*)(PCtxtHandle, PSecBufferDesc, ULONG, ULONG*);

// The package's function table.
struct SecurityFunctionTableW {
  ULONG dwVersion;
  ACQUIRE_CREDENTIALS_HANDLE_FN_W AcquireCredentialsHandleW;
  FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
  INITIALIZE_SECURITY_CONTEXT_FN_W InitializeSecurityContextW;
  DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
  QUERY_CONTEXT_ATTRIBUTES_FN_W QueryContextAttributesW;
  FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
  ENCRYPT_MESSAGE_FN EncryptMessage;
  DECRYPT_MESSAGE_FN DecryptMessage;
};
using PSecurityFunctionTableW = SecurityFunctionTableW*;

// pszPackage must be UNISP_NAME_W and fCredentialUse SECPKG_CRED_OUTBOUND;
// pAuthData is an SCHANNEL_CRED or nullptr.
SECURITY_STATUS AcquireCredentialsHandleW(const WCHAR* pszPrincipal, const WCHAR* pszPackage,
                                          ULONG fCredentialUse, void* pvLogonId, void* pAuthData,
                                          void* pGetKeyFn, void* pvGetKeyArgument,
                                          PCredHandle phCredential, TimeStamp* ptsExpiry);
SECURITY_STATUS FreeCredentialsHandle(PCredHandle phCredential);
SECURITY_STATUS InitializeSecurityContextW(PCredHandle phCredential, PCtxtHandle phContext,
                                           const WCHAR* pszTargetName, ULONG fContextReq,
                                           ULONG Reserved1, ULONG TargetDataRep,
                                           PSecBufferDesc pInput, ULONG Reserved2,
                                           PCtxtHandle phNewContext, PSecBufferDesc pOutput,
                                           ULONG* pfContextAttr, TimeStamp* ptsExpiry);
SECURITY_STATUS DeleteSecurityContext(PCtxtHandle phContext);
SECURITY_STATUS QueryContextAttributesW(PCtxtHandle phContext, ULONG ulAttribute, void* pBuffer);
SECURITY_STATUS FreeContextBuffer(void* pvContextBuffer);
SECURITY_STATUS EncryptMessage(PCtxtHandle phContext, ULONG fQOP, PSecBufferDesc pMessage,
                               ULONG MessageSeqNo);
SECURITY_STATUS DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, ULONG MessageSeqNo,
                               ULONG* pfQOP);

PSecurityFunctionTableW InitSecurityInterfaceW();
