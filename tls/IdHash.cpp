#include "tls/IdHash.h"

#include <random>

bool TIdHash::IsAvailable(TIdHashAlgorithm aAlgorithm) {
  const TIdHashProvider& provider = IdHashProvider();
  return provider.IsHashingAvailable() && provider.IsAlgorithmAvailable(aAlgorithm);
}

TIdBytes TIdHash::HashBytes(const TIdBytes& aBytes) const {
  if (!IsAvailable(FAlgorithm)) throw EIdHashNotAvailable("Hashing is not available.");
  const TIdHashProvider& provider = IdHashProvider();
  void* context = provider.Start(FAlgorithm);
  try {
    provider.Update(context, aBytes.data(), aBytes.size());
  } catch (...) {
    try {
      provider.Finish(context);  // releases the context
    } catch (...) {
      // The update's failure is rethrown below; releasing must not replace it.
    }
    throw;
  }
  return provider.Finish(context);
}

TIdBytes TIdHash::HashString(const std::string& aText) const {
  return HashBytes(TIdBytes(aText.begin(), aText.end()));
}

bool TIdHMAC::IsAvailableFor() const {
  const TIdHashProvider& provider = IdHashProvider();
  return (provider.IsHMACAvailable() && provider.IsHMACAlgorithmAvailable(FAlgorithm)) ||
         TIdHash::IsAvailable(FAlgorithm);
}

TIdBytes TIdHMAC::HashValue(const TIdBytes& aBuffer) {
  if (Key.empty()) {
    std::random_device random;
    Key.resize(FDigestSize);
    for (uint8_t& b : Key) b = static_cast<uint8_t>(random());
  }
  const TIdHashProvider& provider = IdHashProvider();
  if (!(provider.IsHMACAvailable() && provider.IsHMACAlgorithmAvailable(FAlgorithm)))
    return GenericHMAC(aBuffer);
  void* context = provider.HMACStart(FAlgorithm, Key);
  try {
    provider.HMACUpdate(context, aBuffer.data(), aBuffer.size());
  } catch (...) {
    try {
      provider.HMACFinish(context);
    } catch (...) {
      // The update's failure is rethrown below; releasing must not replace it.
    }
    throw;
  }
  return provider.HMACFinish(context);
}

TIdBytes TIdHMAC::GenericHMAC(const TIdBytes& aBuffer) const {
  const TIdHash hash(FAlgorithm);
  TIdBytes key = Key.size() > FBlockSize ? hash.HashBytes(Key) : Key;
  key.resize(FBlockSize, 0);
  TIdBytes inner(FBlockSize), outer(FBlockSize);
  for (size_t i = 0; i < FBlockSize; ++i) {
    inner[i] = key[i] ^ 0x36;
    outer[i] = key[i] ^ 0x5C;
  }
  inner.insert(inner.end(), aBuffer.begin(), aBuffer.end());
  const TIdBytes innerDigest = hash.HashBytes(inner);
  outer.insert(outer.end(), innerDigest.begin(), innerDigest.end());
  return hash.HashBytes(outer);
}

bool GetFIPSMode() { return IdHashProvider().GetFIPSMode(); }
bool SetFIPSMode(bool aMode) { return IdHashProvider().SetFIPSMode(aMode); }
