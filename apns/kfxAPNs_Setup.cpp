#include "apns/kfxAPNs_Setup.h"

#include "base/kfxBase_Helpers.h"
#include "rtl/DateTime.h"

const char* APNsServerURL(TkfxAPNsServer aServer) {
  return aServer == TkfxAPNsServer::apnsProduction ? kAPNsProductionServer
                                                   : kAPNsDevelopmentServer;
}

std::string APNsDeviceURL(const std::string& aBase, const std::string& aDeviceToken) {
  return aBase + kAPNsDevicePath + aDeviceToken;
}

void UseAPNsCertificate(TkfxHTTP2Client& aClient, const std::string& aCertFile,
                        const std::string& aPassword) {
  aClient.Authentication().Token().SetJWT(nullptr);
  aClient.TLSOptions().SetCertFile(aCertFile);
  aClient.TLSOptions().SetPassword(aPassword);
}

void UseAPNsToken(TkfxHTTP2Client& aClient, TkfxHTTP_JWT_Client& aJWT,
                  const std::string& aKeyFile, const std::string& aKeyId,
                  const std::string& aTeamId) {
  // The password stays as it is: only a certificate would use it.
  aClient.TLSOptions().SetCertFile("");
  aClient.Authentication().Token().SetJWT(&aJWT);
  TkfxHTTP_JWT_Client_Options& jwt = aJWT.JWTOptions();
  jwt.Header().alg = TkfxHTTP_JWT_Algorithm::jwtES256;
  jwt.Header().kid = aKeyId;
  jwt.Payload().iss = aTeamId;
  // Signing sets iat and exp again (the refresh interval is above 0); this
  // value only shows in the options until then.
  jwt.Payload().iat = StrToInt64(UnixTimeText(Now(), false));
  jwt.Algorithms().ES().PrivateKey().LoadFromFile(aKeyFile);
  jwt.SetRefreshTokenAfter(kAPNsTokenRefreshSeconds);
}

void SetAPNsHeaders(TkfxHTTP2Client& aClient, const TkfxAPNsHeaders& aHeaders) {
  TStringList& lines = aClient.Request().CustomHeaders;
  lines.Clear();
  lines.Add("apns-topic: " + aHeaders.Topic);
  const std::pair<const char*, const std::string*> optional[] = {
      {"apns-push-type: ", &aHeaders.PushType},     {"apns-priority: ", &aHeaders.Priority},
      {"apns-expiration: ", &aHeaders.Expiration},  {"apns-collapse-id: ", &aHeaders.CollapseId},
      {"apns-id: ", &aHeaders.ApnsId}};
  for (const auto& [name, value] : optional)
    if (!value->empty()) lines.Add(name + *value);
}
