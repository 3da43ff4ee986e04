// Reading an unencrypted EC private key from its PEM text: the PKCS#8
// "PRIVATE KEY" form (what a .p8 provider key file holds) and the
// traditional "EC PRIVATE KEY" form, on the curves P-256, P-384 and P-521.
//
// The crypto library's own reader builds a chain of decoders for every key
// it reads, several times the cost of the rest of a first token; this reader
// takes the few fields a signing key needs. Anything it does not recognise
// (another form, an encrypted key, extra members, another curve, several
// blocks) is left to the library's reader, so it never refuses a key the
// library would take.
#pragma once

#include <cstdint>
#include <span>

#include "jwt/kfxHTTP_JWT_Classes.h"

struct TkfxECPrivateKeyParts {
  TkfxECPrivateKeyParts() = default;
  TkfxECPrivateKeyParts(const TkfxECPrivateKeyParts&) = delete;
  TkfxECPrivateKeyParts& operator=(const TkfxECPrivateKeyParts&) = delete;
  ~TkfxECPrivateKeyParts();

  int CurveNID = 0;  // 415 P-256, 715 P-384, 716 P-521
  int CurveSize = 0;  // octets of a coordinate: 32, 48, 66
  TIdBytes Private;  // the private scalar, big-endian, 1 to CurveSize octets; wiped when freed
  TIdBytes Public;   // the public point as stored (0x04 X Y, or 0x02/0x03 X), or empty when absent
};

// True when aText is exactly one unencrypted EC private key in a form above
// (surrounding white space allowed); aParts then holds its fields.
bool ReadECPrivateKeyPEM(std::span<const uint8_t> aText, TkfxECPrivateKeyParts& aParts);
