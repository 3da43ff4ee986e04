// TIdIOHandlerStack: the socket I/O handler that reads and writes through the
// socket stack and connects: resolve, connect (bounded by ConnectTimeout),
// then the proxy negotiation when a transparent proxy is enabled. The TLS
// handlers derive from it and start their handshake after ConnectClient.
#pragma once

#include "transport/IdIOHandlerSocket.h"

class TIdIOHandlerStack : public TIdIOHandlerSocket {
 public:
  explicit TIdIOHandlerStack(TComponent* AOwner = nullptr);

  bool Connected() override;
  void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true,
                          bool AIgnoreBuffer = false) override;
  bool Readable(int AMSec = IdTimeoutDefault) override;

 protected:
  // Resolves the target (or the proxy), connects with ConnectTimeout, and
  // negotiates the tunnel when a transparent proxy is enabled.
  void ConnectClient() override;
  int ReadDataFromSource(TIdBytes& VBuffer) override;
  int WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) override;
  // Tolerates shutdown, abort, reset and time-out (returned); raises the rest.
  int CheckForError(int ALastResult) override;
  [[noreturn]] void RaiseError(int AError) override;
};
