// The APNs set-up shared by the push window and apns-push: the two server
// endpoints, the device path, the two ways of authenticating a provider
// (a client certificate, or ES256 provider tokens signed with a key id and
// a team id and renewed every 40 minutes) and the apns-* request header lines.
//
// Everything here runs on the thread that drives the client (the window's
// GUI thread, apns-push's main thread) before a push; it only sets options,
// which the client takes into use at its next connect or request.
#pragma once

#include <string>

#include "http2/client/kfxHTTP.h"

// APNs endpoints: scheme and host only (the client uses port 443).
inline constexpr const char* kAPNsDevelopmentServer = "https://api.sandbox.push.apple.com";
inline constexpr const char* kAPNsProductionServer = "https://api.push.apple.com";

enum class TkfxAPNsServer { apnsDevelopment, apnsProduction };

// The endpoint of aServer.
const char* APNsServerURL(TkfxAPNsServer aServer);

// The path of a device below a server ("/3/device/" and the token).
inline constexpr const char* kAPNsDevicePath = "/3/device/";
// aBase ("https://host[:port]", no trailing "/") joined with the device path
// and aDeviceToken exactly as given.
std::string APNsDeviceURL(const std::string& aBase, const std::string& aDeviceToken);

// Seconds a provider token is used before a new one is signed.
inline constexpr int kAPNsTokenRefreshSeconds = 2400;

// Certificate authentication: no provider token; the TLS layer presents the
// client certificate of the PKCS#12 file aCertFile opened with aPassword
// (either TLS back end reads the key from that file).
void UseAPNsCertificate(TkfxHTTP2Client& aClient, const std::string& aCertFile,
                        const std::string& aPassword);

// Token authentication: no client certificate; aJWT signs ES256 tokens whose
// header names aKeyId and whose claims name aTeamId as issuer, with the key
// read from the PKCS#8 file aKeyFile, renewed every kAPNsTokenRefreshSeconds.
// A key file that cannot be read raises (EFOpenError) after the client and
// aJWT were set: nothing is sent in between.
void UseAPNsToken(TkfxHTTP2Client& aClient, TkfxHTTP_JWT_Client& aJWT,
                  const std::string& aKeyFile, const std::string& aKeyId,
                  const std::string& aTeamId);

// The apns-* header lines of a push. Topic is always written, also when
// empty; the others only when set.
struct TkfxAPNsHeaders {
  std::string Topic;       // apns-topic: the app's bundle ID
  std::string PushType;    // apns-push-type
  std::string Priority;    // apns-priority
  std::string Expiration;  // apns-expiration
  std::string CollapseId;  // apns-collapse-id
  std::string ApnsId;      // apns-id
};

// Replaces the custom header lines of aClient's request with aHeaders.
void SetAPNsHeaders(TkfxHTTP2Client& aClient, const TkfxAPNsHeaders& aHeaders);
