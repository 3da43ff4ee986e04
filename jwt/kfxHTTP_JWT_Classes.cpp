#include "jwt/kfxHTTP_JWT_Classes.h"

#include "tcp/kfxBase_Helpers.h"

const std::vector<std::string> JWTAlgorithmNames{"jwtNone",  "jwtHS256", "jwtHS384", "jwtHS512",
                                                 "jwtRS256", "jwtRS384", "jwtRS512", "jwtES256",
                                                 "jwtES384", "jwtES512"};

std::string JWTAlgorithmText(TkfxHTTP_JWT_Algorithm aAlgorithm) {
  const std::string& name = JWTAlgorithmNames.at(static_cast<size_t>(aAlgorithm));
  return aAlgorithm == TkfxHTTP_JWT_Algorithm::jwtNone ? std::string() : name.substr(3);
}

namespace {

// "true"/"false" as booleans, 64-bit decimal integers as numbers, anything
// else as a string (one whose escaped form opens an object or array stays unquoted).
std::string ExtraMemberValue(const std::string& aValue) {
  if (aValue == "true" || aValue == "false") return aValue;
  const size_t digits = !aValue.empty() && (aValue[0] == '+' || aValue[0] == '-') ? 1 : 0;
  bool numeric = aValue.size() > digits;
  for (size_t i = digits; i < aValue.size() && numeric; ++i)
    numeric = aValue[i] >= '0' && aValue[i] <= '9';
  if (numeric) {
    try {
      return IntToStr(StrToInt64(aValue));
    } catch (const EConvertError&) {
      // out of range: written as a string
    }
  }
  const std::string escaped = EscapeJSONString(aValue);
  if (!escaped.empty() && (escaped[0] == '{' || escaped[0] == '[')) return escaped;
  return "\"" + escaped + "\"";
}

}  // namespace

TkfxHTTP_JWTBase_JSON::TkfxHTTP_JWTBase_JSON() = default;
TkfxHTTP_JWTBase_JSON::~TkfxHTTP_JWTBase_JSON() = default;

std::string TkfxHTTP_JWTBase_JSON::JSONText() {
  WriteMembers();
  if (FKeyValues)
    for (int i = 0; i < FKeyValues->Count(); ++i)
      AddMember(FKeyValues->Names(i), ExtraMemberValue(FKeyValues->ValueFromIndex(i)));
  std::string text = "{";
  for (size_t i = 0; i < FMembers.size(); ++i) {
    if (i > 0) text += ',';
    text += "\"" + FMembers[i].first + "\":" + FMembers[i].second;
  }
  return text + "}";
}

void TkfxHTTP_JWTBase_JSON::AddKeyValue(const std::string& aKey, const std::string& aValue) {
  if (!FKeyValues) FKeyValues = std::make_unique<TStringList>();
  FKeyValues->Add(aKey + "=" + aValue);
}

void TkfxHTTP_JWTBase_JSON::AddKeyValue(const std::string& aKey, bool aValue) {
  AddKeyValue(aKey, std::string(aValue ? "true" : "false"));
}

void TkfxHTTP_JWTBase_JSON::ClearKeyValues() {
  if (FKeyValues) FKeyValues->Clear();
}

void TkfxHTTP_JWTBase_JSON::WriteMembers() {
  FMembers.clear();
}

void TkfxHTTP_JWTBase_JSON::AddMember(const std::string& aName, const std::string& aJSONValue) {
  FMembers.emplace_back(aName, aJSONValue);
}

void TkfxHTTP_JWTBase_JSON::AddTextMember(const std::string& aName, const std::string& aText) {
  AddMember(aName, "\"" + EscapeJSONString(aText) + "\"");
}

// --- header ---

TkfxHTTP_JWTHeader::TkfxHTTP_JWTHeader() : typ("JWT") {}

void TkfxHTTP_JWTHeader::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxHTTP_JWTHeader*>(Source);
  if (!other) return TPersistent::Assign(Source);
  alg = other->alg;
  typ = other->typ;
  kid = other->kid;
}

void TkfxHTTP_JWTHeader::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishEnumField("alg", JWTAlgorithmNames, alg));
  aList.push_back(PublishField("kid", kid));
  aList.push_back(PublishField("typ", typ));
}

void TkfxHTTP_JWTHeader::WriteMembers() {
  TkfxHTTP_JWTBase_JSON::WriteMembers();
  AddMember("alg", "\"" + JWTAlgorithmText(alg) + "\"");
  AddTextMember("typ", typ);
  if (!kid.empty()) AddTextMember("kid", kid);
}

// --- payload ---

void TkfxHTTP_JWTPayload::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxHTTP_JWTPayload*>(Source);
  if (!other) return TPersistent::Assign(Source);
  aud = other->aud;
  exp = other->exp;
  iat = other->iat;
  nbf = other->nbf;
  iss = other->iss;
  sub = other->sub;
  jti = other->jti;
}

void TkfxHTTP_JWTPayload::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishField("aud", aud));
  aList.push_back(PublishField("exp", exp));
  aList.push_back(PublishField("iat", iat));
  aList.push_back(PublishField("nbf", nbf));
  aList.push_back(PublishField("iss", iss));
  aList.push_back(PublishField("sub", sub));
  aList.push_back(PublishField("jti", jti));
}

void TkfxHTTP_JWTPayload::WriteMembers() {
  TkfxHTTP_JWTBase_JSON::WriteMembers();
  if (!iss.empty()) AddTextMember("iss", iss);
  if (!sub.empty()) AddTextMember("sub", sub);
  if (!aud.empty()) AddTextMember("aud", aud);
  if (!jti.empty()) AddTextMember("jti", jti);
  if (iat > 0) AddMember("iat", IntToStr(iat));
  if (exp > 0) AddMember("exp", IntToStr(exp));
  if (nbf > 0) AddMember("nbf", IntToStr(nbf));
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
