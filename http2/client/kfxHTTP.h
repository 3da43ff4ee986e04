// The component classes applications put on their forms: the HTTP/2 client
// and the JWT client with their configuration published.
#pragma once

#include "http2/client/kfxHTTP2_Client.h"
#include "jwt/kfxHTTP_JWT_Client.h"

class TkfxHTTP2Client : public TkfxHTTP2CLient_Base {
 public:
  using TkfxHTTP2CLient_Base::TkfxHTTP2CLient_Base;
  void GetPublishedProperties(TPublishedProperties& aList) override;
};

class TkfxHTTP_JWT_Client : public TkfxHTTPComponentClient_JWT {
 public:
  using TkfxHTTPComponentClient_JWT::TkfxHTTPComponentClient_JWT;
  void GetPublishedProperties(TPublishedProperties& aList) override;
};
