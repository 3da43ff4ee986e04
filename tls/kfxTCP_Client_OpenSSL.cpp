#include "tls/kfxTCP_Client_OpenSSL.h"

bool TkfxIdSSLIOHandlerSocketOpenSSL::Readable(int AMSec) {
  if (!PassThrough() && !HasSession()) return false;
  return TIdSSLIOHandlerSocketOpenSSL::Readable(AMSec);
}

int TkfxIdSSLIOHandlerSocketOpenSSL::CheckForError(int ALastResult) {
  if (!PassThrough() && !HasSession()) return ALastResult;
  return TIdSSLIOHandlerSocketOpenSSL::CheckForError(ALastResult);
}

int TkfxIdSSLIOHandlerSocketOpenSSL::RecvEnc(TIdBytes& VBuffer) {
  if (!HasSession()) return -1;
  return TIdSSLIOHandlerSocketOpenSSL::RecvEnc(VBuffer);
}
