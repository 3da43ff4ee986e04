#include "jwt/kfxHTTP_JWT_Classes.h"

#include <cstring>

#include "base/kfxBase_Helpers.h"

const std::vector<std::string> JWTAlgorithmNames{"jwtNone",  "jwtHS256", "jwtHS384", "jwtHS512",
                                                 "jwtRS256", "jwtRS384", "jwtRS512", "jwtES256",
                                                 "jwtES384", "jwtES512"};

std::string JWTAlgorithmText(TkfxHTTP_JWT_Algorithm aAlgorithm) {
  const std::string& name = JWTAlgorithmNames.at(static_cast<size_t>(aAlgorithm));
  return aAlgorithm == TkfxHTTP_JWT_Algorithm::jwtNone ? std::string() : name.substr(3);
}

namespace {

// A decimal 64-bit integer with an optional sign, nothing else.
bool ParseInt64(const std::string& aText, int64_t& aValue) {
  const size_t sign = !aText.empty() && (aText[0] == '+' || aText[0] == '-') ? 1 : 0;
  if (aText.size() == sign) return false;
  for (size_t i = sign; i < aText.size(); ++i)
    if (aText[i] < '0' || aText[i] > '9') return false;
  try {
    aValue = StrToInt64(aText);
    return true;
  } catch (const EConvertError&) {
    return false;  // out of range: written as a string
  }
}

}  // namespace

TkfxHTTP_JWTBase_JSON::TkfxHTTP_JWTBase_JSON() = default;
TkfxHTTP_JWTBase_JSON::~TkfxHTTP_JWTBase_JSON() = default;

TkfxJSON& TkfxHTTP_JWTBase_JSON::JSON() {
  if (!FJSON) {
    FJSON = NewJSONDocument();
    FJSON->EscapeStrings = true;
  }
  return *FJSON;
}

std::string TkfxHTTP_JWTBase_JSON::JSONText() {
  WriteMembers();
  TkfxJSON& json = JSON();
  for (const auto& [name, value] : FKeyValues) {
    int64_t number = 0;
    if (value == "true" || value == "false")
      json.AddPair(name, value == "true");
    else if (ParseInt64(value, number))
      json.AddPair(name, number);
    else
      json.AddPair(name, value);
  }
  return json.Text();
}

void TkfxHTTP_JWTBase_JSON::AddKeyValue(const std::string& aKey, const std::string& aValue) {
  FKeyValues.emplace_back(aKey, aValue);
}

void TkfxHTTP_JWTBase_JSON::AddKeyValue(const std::string& aKey, bool aValue) {
  AddKeyValue(aKey, std::string(aValue ? "true" : "false"));
}

void TkfxHTTP_JWTBase_JSON::ClearKeyValues() {
  FKeyValues.clear();
}

void TkfxHTTP_JWTBase_JSON::WriteMembers() {
  JSON().Clear();
}

// --- header ---

TkfxHTTP_JWTHeader::TkfxHTTP_JWTHeader() : typ("JWT") {}

const TPersistentFields<TkfxHTTP_JWTHeader>& TkfxHTTP_JWTHeader::Fields() {
  using C = TkfxHTTP_JWTHeader;
  static const auto fields = TPersistentFields<C>()
                                 .Enum("alg", JWTAlgorithmNames, &C::alg)
                                 .Field("kid", &C::kid)
                                 .Field("typ", &C::typ);
  return fields;
}

void TkfxHTTP_JWTHeader::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxHTTP_JWTHeader::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

void TkfxHTTP_JWTHeader::WriteMembers() {
  TkfxHTTP_JWTBase_JSON::WriteMembers();
  TkfxJSON& json = JSON();
  json.AddPair("alg", JWTAlgorithmText(alg));
  json.AddPair("typ", typ);
  if (!kid.empty()) json.AddPair("kid", kid);
}

// --- payload ---

const TPersistentFields<TkfxHTTP_JWTPayload>& TkfxHTTP_JWTPayload::Fields() {
  using C = TkfxHTTP_JWTPayload;
  static const auto fields = TPersistentFields<C>()
                                 .Field("aud", &C::aud)
                                 .Field("exp", &C::exp)
                                 .Field("iat", &C::iat)
                                 .Field("nbf", &C::nbf)
                                 .Field("iss", &C::iss)
                                 .Field("sub", &C::sub)
                                 .Field("jti", &C::jti);
  return fields;
}

void TkfxHTTP_JWTPayload::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxHTTP_JWTPayload::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}

void TkfxHTTP_JWTPayload::WriteMembers() {
  TkfxHTTP_JWTBase_JSON::WriteMembers();
  TkfxJSON& json = JSON();
  if (!iss.empty()) json.AddPair("iss", iss);
  if (!sub.empty()) json.AddPair("sub", sub);
  if (!aud.empty()) json.AddPair("aud", aud);
  if (!jti.empty()) json.AddPair("jti", jti);
  if (iat > 0) json.AddPair("iat", iat);
  if (exp > 0) json.AddPair("exp", exp);
  if (nbf > 0) json.AddPair("nbf", nbf);
}

void WipeBytes(void* aData, size_t aLength) {
  if (aLength > 0) explicit_bzero(aData, aLength);
}

TkfxSecretBytes::TkfxSecretBytes(const std::string& aText) : FBytes(aText.begin(), aText.end()) {}

TkfxSecretBytes::TkfxSecretBytes(std::string&& aText) : FBytes(aText.begin(), aText.end()) {
  WipeBytes(aText.data(), aText.size());
}

TkfxSecretBytes::TkfxSecretBytes(const TIdBytes& aBytes) : FBytes(aBytes) {}

TkfxSecretBytes::TkfxSecretBytes(TkfxSecretBytes&& aOther) noexcept
    : FBytes(std::move(aOther.FBytes)) {}

TkfxSecretBytes& TkfxSecretBytes::operator=(TkfxSecretBytes&& aOther) noexcept {
  if (this != &aOther) {
    Wipe();
    FBytes = std::move(aOther.FBytes);
  }
  return *this;
}

TkfxSecretBytes::~TkfxSecretBytes() {
  Wipe();
}

void TkfxSecretBytes::Wipe() {
  WipeBytes(FBytes.data(), FBytes.size());
  FBytes.clear();
}

std::string Base64URLEncode(const std::string& aData) {
  std::string text = Base64EncodeText(aData, true);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

std::string Base64URLEncode(const TIdBytes& aData) {
  return Base64URLEncode(std::string(aData.begin(), aData.end()));
}

bool Base64URLDecode(const std::string& aText, TIdBytes& aData) {
  if (aText.size() % 4 == 1) return false;
  TIdBytes out;
  out.reserve(aText.size() * 3 / 4);
  uint32_t bits = 0;
  int count = 0;
  for (const char c : aText) {
    uint32_t value;
    if (c >= 'A' && c <= 'Z')
      value = static_cast<uint32_t>(c - 'A');
    else if (c >= 'a' && c <= 'z')
      value = static_cast<uint32_t>(c - 'a' + 26);
    else if (c >= '0' && c <= '9')
      value = static_cast<uint32_t>(c - '0' + 52);
    else if (c == '-')
      value = 62;
    else if (c == '_')
      value = 63;
    else
      return false;
    bits = (bits << 6 | value) & 0xFFFFFF;
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  // The bits left over must be zero, or two texts would decode alike.
  if ((bits & ((1u << count) - 1)) != 0) return false;
  aData = std::move(out);
  return true;
}
