// The helper routines of kfxBase_Helpers that rest on the OpenSSL binding.
#pragma once

#include <string>

#include "rtl/System.h"

// Where the OpenSSL libraries are loaded from (empty: the system's search order).
void SetOpenSSLLibraryFolder(const std::string& aFolder);

// SHA-256, SHA-384 and SHA-512 digests (32, 48 and 64 bytes). OpenSSL's
// digest is used when the hashing back end offers it; otherwise, and on any
// error there, the program's own SHA-2 computes the same digest, so these
// never fail.
TIdBytes DigestSHA256(const TIdBytes& aBytes);
TIdBytes DigestSHA384(const TIdBytes& aBytes);
TIdBytes DigestSHA512(const TIdBytes& aBytes);
