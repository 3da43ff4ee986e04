// The connection object bound to a transport TIdTCPConnection: cached
// addresses, counted reads and writes, and the close of this side.
//
// The transport connection is used only by the thread that owns its socket
// (the read thread in commands mode); the address getters answer from the
// values cached when the connection was attached, so any thread may ask them.
#pragma once

#include <functional>
#include <string>

#include "tcp/kfxTCP_Classes_Component.h"
#include "transport/IdTCPConnection.h"

class TkfxTCPConnection_Id : public TkfxTCPConnection {
 public:
  ~TkfxTCPConnection_Id() override;

  // From state: attached, not closed by this side, not freed.
  bool Active() override;
  std::string IP() override;
  std::string LocalIP() override;
  int LocalPort() override;
  int Port() override;
  TwsIPVersion IPVersion() override;

  TIdTCPConnection* TCPConnection() const { return FTCPConnection; }

  virtual bool HasTCPConnection() const;
  virtual void DoBeforeDisconnect();
  virtual void ClearReadBuffer();
  // Closes this side: DoBeforeDisconnect, then Disconnected, both buffers
  // cleared and the transport disconnected without notifying the peer.
  virtual void DisconnectPeer();
  virtual void WriteBytes(const TIdBytes& aBytes);
  // aText and CR LF (an empty line for empty text).
  virtual void WriteString(const std::string& aText);
  virtual void WriteBufferOpen();
  virtual void WriteBufferFlush();
  virtual void WriteBufferClose();
  // aCount bytes appended to aBytes; a negative count takes what is buffered,
  // waiting once for data when nothing is.
  virtual void ReadBytes(TIdBytes& aBytes, int aCount);
  virtual int GetReadBufferSize();

  TNotifyEvent OnBeforeDisconnect;

 protected:
  // Stores the transport connection and, when there is one, caches its
  // addresses while the socket is open.
  void AttachTCPConnection(TIdTCPConnection* aConnection);

  TIdTCPConnection* FTCPConnection = nullptr;  // not owned
};
