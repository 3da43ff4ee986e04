// The base of OAuth2 clients that fetch bearer tokens for the HTTP/2 client.
#pragma once

#include "jwt/kfxHTTP_JWT_Client.h"

// A token source whose answer may take time: Start begins a token request
// and returns; the outcome is reported once, later or before Start returns,
// on any thread, through OnAuthToken(TokenType, Token, Data) or
// OnAuthTokenError(Error, ErrorDescription, Data) (DoAuthToken and
// DoAuthTokenError fire them). How the token is obtained (grant, token
// endpoint, credentials) is the subclass's business.
//
// A client that uses this source sets both events once, before its first
// Start, and clears them when it lets the source go; the subclass must not
// report while that happens.
class TkfxHTTPComponentClient_OAuth : public TkfxHTTPComponentClientAuthToken_Base {
 public:
  using TkfxHTTPComponentClientAuthToken_Base::TkfxHTTPComponentClientAuthToken_Base;

  // Starts a token request. An exception raised here counts as the
  // request's error.
  virtual void Start() = 0;
};
