// The OpenSSL handler the TCP client creates: safe to poll and check before
// its TLS session exists.
#pragma once

#include "tls/kfxIdSSLOpenSSL_Handler.h"

class TkfxIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketOpenSSL {
 public:
  using TIdSSLIOHandlerSocketOpenSSL::TIdSSLIOHandlerSocketOpenSSL;

  // False unless PassThrough is set or a TLS session exists.
  bool Readable(int AMSec = IdTimeoutDefault) override;

 protected:
  // The result unchanged while there is no TLS session.
  int CheckForError(int ALastResult) override;
  // -1 without a TLS session.
  int RecvEnc(TIdBytes& VBuffer) override;

 private:
  bool HasSession() const { return SSLSocket() && SSLSocket()->SSLHandle(); }
};
