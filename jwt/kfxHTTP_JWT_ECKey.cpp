#include "jwt/kfxHTTP_JWT_ECKey.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace {

void Wipe(TIdBytes& aBytes) {
  if (!aBytes.empty()) explicit_bzero(aBytes.data(), aBytes.size());
  aBytes.clear();
}

// Wipes what it holds when it goes: the decoded DER of a private key.
struct TWipedBytes {
  TIdBytes Bytes;
  ~TWipedBytes() { Wipe(Bytes); }
};

// --- PEM ---

int Base64Value(uint8_t aChar) {
  if (aChar >= 'A' && aChar <= 'Z') return aChar - 'A';
  if (aChar >= 'a' && aChar <= 'z') return aChar - 'a' + 26;
  if (aChar >= '0' && aChar <= '9') return aChar - '0' + 52;
  if (aChar == '+') return 62;
  if (aChar == '/') return 63;
  return -1;
}

bool IsSpace(uint8_t aChar) { return aChar == ' ' || aChar == '\t' || aChar == '\r' || aChar == '\n'; }

// The base64 body between the armour lines: characters of the alphabet and
// white space, padding only at the end, nothing else.
bool DecodeBase64Body(std::string_view aBody, TIdBytes& aOut) {
  uint32_t group = 0;
  int count = 0, padding = 0;
  for (const char c : aBody) {
    const auto octet = static_cast<uint8_t>(c);
    if (IsSpace(octet)) continue;
    if (octet == '=') {
      ++padding;
      if (padding > 2) return false;
      group <<= 6;
      ++count;
    } else {
      const int value = Base64Value(octet);
      if (value < 0 || padding > 0) return false;
      group = group << 6 | static_cast<uint32_t>(value);
      ++count;
    }
    if (count == 4) {
      aOut.push_back(static_cast<uint8_t>(group >> 16));
      if (padding < 2) aOut.push_back(static_cast<uint8_t>(group >> 8));
      if (padding < 1) aOut.push_back(static_cast<uint8_t>(group));
      group = 0;
      count = 0;
    }
  }
  explicit_bzero(&group, sizeof group);
  return count == 0;
}

std::string_view TrimSpace(std::string_view aText) {
  while (!aText.empty() && IsSpace(static_cast<uint8_t>(aText.front()))) aText.remove_prefix(1);
  while (!aText.empty() && IsSpace(static_cast<uint8_t>(aText.back()))) aText.remove_suffix(1);
  return aText;
}

// The DER of the one block labelled aLabel that makes up the whole text.
bool ReadPEMBlock(std::string_view aText, std::string_view aLabel, TIdBytes& aDER) {
  const std::string begin = "-----BEGIN " + std::string(aLabel) + "-----";
  const std::string end = "-----END " + std::string(aLabel) + "-----";
  Wipe(aDER);
  aText = TrimSpace(aText);
  if (aText.size() < begin.size() + end.size() || aText.substr(0, begin.size()) != begin ||
      aText.substr(aText.size() - end.size()) != end)
    return false;
  const std::string_view body = aText.substr(begin.size(), aText.size() - begin.size() - end.size());
  // A body on the BEGIN line, or armour headers (an encrypted key), are not
  // this reader's.
  if (body.empty() || (body.front() != '\n' && body.front() != '\r')) return false;
  return DecodeBase64Body(body, aDER) && !aDER.empty();
}

// --- DER ---

// A cursor over DER octets; every read is bounded by the end.
class TDER {
 public:
  explicit TDER(std::span<const uint8_t> aBytes) : FBytes(aBytes) {}
  bool AtEnd() const { return FPos == FBytes.size(); }
  bool Peek(uint8_t aTag) const { return FPos < FBytes.size() && FBytes[FPos] == aTag; }
  // The contents of the next element, which must carry aTag.
  bool Read(uint8_t aTag, std::span<const uint8_t>& aContents) {
    if (!Peek(aTag) || FPos + 2 > FBytes.size()) return false;
    ++FPos;
    size_t length = FBytes[FPos++];
    if (length & 0x80) {
      const size_t octets = length & 0x7F;
      if (octets == 0 || octets > 2 || FPos + octets > FBytes.size()) return false;
      length = 0;
      for (size_t i = 0; i < octets; ++i) length = length << 8 | FBytes[FPos++];
      if (length < 0x80) return false;  // not the shortest form
    }
    if (length > FBytes.size() - FPos) return false;
    aContents = FBytes.subspan(FPos, length);
    FPos += length;
    return true;
  }
  // An INTEGER that must equal the small value aValue.
  bool ReadSmallInteger(uint8_t aValue) {
    std::span<const uint8_t> value;
    return Read(0x02, value) && value.size() == 1 && value[0] == aValue;
  }

 private:
  std::span<const uint8_t> FBytes;
  size_t FPos = 0;
};

constexpr uint8_t kSequence = 0x30, kOID = 0x06, kOctetString = 0x04, kBitString = 0x03;
constexpr uint8_t kParameters = 0xA0, kPublicKey = 0xA1;

// id-ecPublicKey, 1.2.840.10045.2.1
constexpr std::array<uint8_t, 7> kECPublicKey = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};

struct TNamedCurve {
  std::span<const uint8_t> OID;
  int NID;
  int Size;
};
// prime256v1 1.2.840.10045.3.1.7, secp384r1 1.3.132.0.34, secp521r1 1.3.132.0.35
constexpr std::array<uint8_t, 8> kP256 = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::array<uint8_t, 5> kP384 = {0x2B, 0x81, 0x04, 0x00, 0x22};
constexpr std::array<uint8_t, 5> kP521 = {0x2B, 0x81, 0x04, 0x00, 0x23};
const TNamedCurve kCurves[] = {{kP256, 415, 32}, {kP384, 715, 48}, {kP521, 716, 66}};

const TNamedCurve* CurveOf(std::span<const uint8_t> aOID) {
  for (const TNamedCurve& curve : kCurves)
    if (std::ranges::equal(curve.OID, aOID)) return &curve;
  return nullptr;
}

bool SameCurve(const TNamedCurve* aFirst, const TNamedCurve* aSecond) {
  return aFirst && aSecond && aFirst->NID == aSecond->NID;
}

// ECPrivateKey of RFC 5915: version 1, the scalar, then optionally the
// curve ([0]) and the public key ([1]). aCurve is the curve the PKCS#8
// wrapper named, or null for the traditional form, which must name it.
bool ReadECPrivateKey(std::span<const uint8_t> aDER, const TNamedCurve* aCurve, TkfxECPrivateKeyParts& aParts) {
  TDER outer(aDER);
  std::span<const uint8_t> body;
  if (!outer.Read(kSequence, body) || !outer.AtEnd()) return false;
  TDER key(body);
  std::span<const uint8_t> scalar;
  if (!key.ReadSmallInteger(1) || !key.Read(kOctetString, scalar)) return false;
  const TNamedCurve* curve = aCurve;
  if (key.Peek(kParameters)) {
    std::span<const uint8_t> parameters, oid;
    if (!key.Read(kParameters, parameters)) return false;
    TDER named(parameters);
    if (!named.Read(kOID, oid) || !named.AtEnd()) return false;
    const TNamedCurve* stated = CurveOf(oid);
    if (aCurve ? !SameCurve(aCurve, stated) : !stated) return false;
    curve = stated;
  }
  if (!curve) return false;
  std::span<const uint8_t> point;
  if (key.Peek(kPublicKey)) {
    std::span<const uint8_t> wrapped, bits;
    if (!key.Read(kPublicKey, wrapped)) return false;
    TDER inner(wrapped);
    if (!inner.Read(kBitString, bits) || !inner.AtEnd() || bits.empty() || bits[0] != 0) return false;
    point = bits.subspan(1);
    const auto size = static_cast<size_t>(curve->Size);
    const bool uncompressed = point.size() == 1 + 2 * size && point[0] == 0x04;
    const bool compressed = point.size() == 1 + size && (point[0] == 0x02 || point[0] == 0x03);
    if (!uncompressed && !compressed) return false;
  }
  if (!key.AtEnd()) return false;
  if (scalar.empty() || scalar.size() > static_cast<size_t>(curve->Size)) return false;
  if (std::all_of(scalar.begin(), scalar.end(), [](uint8_t aOctet) { return aOctet == 0; })) return false;
  aParts.CurveNID = curve->NID;
  aParts.CurveSize = curve->Size;
  aParts.Private.assign(scalar.begin(), scalar.end());
  aParts.Public.assign(point.begin(), point.end());
  return true;
}

// PrivateKeyInfo of PKCS#8 (version 0, no attributes) around an EC key.
bool ReadPKCS8(std::span<const uint8_t> aDER, TkfxECPrivateKeyParts& aParts) {
  TDER outer(aDER);
  std::span<const uint8_t> body, algorithm, algorithmOID, curveOID, wrapped;
  if (!outer.Read(kSequence, body) || !outer.AtEnd()) return false;
  TDER info(body);
  if (!info.ReadSmallInteger(0) || !info.Read(kSequence, algorithm)) return false;
  TDER identifier(algorithm);
  if (!identifier.Read(kOID, algorithmOID) || !std::ranges::equal(algorithmOID, kECPublicKey) ||
      !identifier.Read(kOID, curveOID) || !identifier.AtEnd())
    return false;
  const TNamedCurve* curve = CurveOf(curveOID);
  if (!curve || !info.Read(kOctetString, wrapped) || !info.AtEnd()) return false;
  return ReadECPrivateKey(wrapped, curve, aParts);
}

}  // namespace

TkfxECPrivateKeyParts::~TkfxECPrivateKeyParts() {
  Wipe(Private);
}

bool ReadECPrivateKeyPEM(std::span<const uint8_t> aText, TkfxECPrivateKeyParts& aParts) {
  const std::string_view text(reinterpret_cast<const char*>(aText.data()), aText.size());
  TWipedBytes der;
  bool read = false;
  if (ReadPEMBlock(text, "PRIVATE KEY", der.Bytes))
    read = ReadPKCS8(der.Bytes, aParts);
  else if (ReadPEMBlock(text, "EC PRIVATE KEY", der.Bytes))
    read = ReadECPrivateKey(der.Bytes, nullptr, aParts);
  if (!read) {
    Wipe(aParts.Private);
    aParts.Public.clear();
    aParts.CurveNID = aParts.CurveSize = 0;
  }
  return read;
}
