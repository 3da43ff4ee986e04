// TIdSSLIOHandlerSocketBase: the base of the TLS I/O handlers. While
// PassThrough is true the handler moves plain bytes through the stack;
// otherwise every read and write goes through the subclass's TLS layer.
#pragma once

#include <memory>
#include <string>

#include "transport/IdIOHandlerStack.h"

class TIdSSLIOHandlerSocketBase : public TIdIOHandlerStack {
 public:
  explicit TIdSSLIOHandlerSocketBase(TComponent* AOwner = nullptr) : TIdIOHandlerStack(AOwner) {}

  bool PassThrough() const { return fPassThrough; }
  // Subclasses start or stop their TLS layer here; the base stores the value.
  virtual void SetPassThrough(bool AValue) { fPassThrough = AValue; }
  bool IsPeer() const { return fIsPeer; }
  void SetIsPeer(bool AValue) { fIsPeer = AValue; }
  // The URI whose host is the TLS server name (empty: the handler's Host).
  const std::string& URIToCheck() const { return FURIToCheck; }
  virtual void SetURIToCheck(const std::string& AValue) { FURIToCheck = AValue; }

  // A new handler of the same class, owned by the caller.
  virtual std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() = 0;
  // Opens the TLS layer on the connected socket unless PassThrough is set.
  virtual void StartSSL() = 0;
  // The protocol agreed by ALPN; empty before a TLS session or without one.
  virtual std::string GetALPNProtocol() { return {}; }

 protected:
  // One decrypting read into the whole buffer / an encrypting write of the
  // slice: byte counts as ReadDataFromSource and WriteDataToTarget return them
  // (positive: moved; 0: closed; negative: failure).
  virtual int RecvEnc(TIdBytes& VBuffer) = 0;
  virtual int SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) = 0;

  int ReadDataFromSource(TIdBytes& VBuffer) override {
    return fPassThrough ? TIdIOHandlerStack::ReadDataFromSource(VBuffer) : RecvEnc(VBuffer);
  }
  int WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) override {
    return fPassThrough ? TIdIOHandlerStack::WriteDataToTarget(ABuffer, AOffset, ALength)
                        : SendEnc(ABuffer, AOffset, ALength);
  }

  bool fPassThrough = true;
  bool fIsPeer = false;
  std::string FURIToCheck;
};

// The host part of a URI ("https://user@host:443/path" gives "host", "[::1]"
// gives "::1"); a text without "://" is read as starting with the authority.
std::string IdURIHost(const std::string& AURI);
