// Reads arbitrary octets as the PEM text of an EC private key: the reader
// must end on any input without reading outside it, and what it takes must
// have the shape of a key on one of its curves.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "jwt/kfxHTTP_JWT_ECKey.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  TkfxECPrivateKeyParts parts;
  if (!ReadECPrivateKeyPEM(std::span<const uint8_t>(aData, aSize), parts)) {
    if (!parts.Private.empty() || !parts.Public.empty() || parts.CurveNID != 0) std::abort();
    return 0;
  }
  const size_t size = static_cast<size_t>(parts.CurveSize);
  const bool curve = (parts.CurveNID == 415 && size == 32) || (parts.CurveNID == 715 && size == 48) ||
                     (parts.CurveNID == 716 && size == 66);
  const size_t point = parts.Public.size();
  if (!curve || parts.Private.empty() || parts.Private.size() > size ||
      (point != 0 && point != 1 + size && point != 1 + 2 * size))
    std::abort();
  return 0;
}
