// A TCP client component that makes an HTTP/2 connection object for each
// connection, as the HTTP/2 client component does: commands mode, writes and
// disconnects queued for the read thread, waiters released on disconnect.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http2/client/kfxHTTP2_Client_Connection.h"
#include "rtl/MainThread.h"

class TH2TestClient : public TkfxTCPCLient_Common {
 public:
  explicit TH2TestClient(int aPort) : TkfxTCPCLient_Common(nullptr) {
    SetTCPMode(TkfxTCPMode::tcpmCommands);
    SetNotifyEvents(TwsNotifyEvent::neNoSync);
    SetHost("127.0.0.1");
    SetPort(aPort);
    OnException = [this](TkfxTCPConnection*, Exception* E) { Note("exception " + E->Message()); };
  }
  ~TH2TestClient() override { ShutDown(); }

  TkfxHTTP2Settings Settings;
  // Assigns the connection's events before the preface is sent.
  std::function<void(TkfxHTTP2ConnectionClient&)> Wire;

  TkfxHTTP2ConnectionClientRef H2() {
    return std::dynamic_pointer_cast<TkfxHTTP2ConnectionClient>(ConnectionRef());
  }

  void Note(const std::string& aText) {
    std::lock_guard guard(FNotesLock);
    FNotes.push_back(aText);
  }
  std::vector<std::string> Notes() {
    std::lock_guard guard(FNotesLock);
    return FNotes;
  }

 protected:
  void DoCreateConnection() override {
    auto connection = std::make_shared<TkfxHTTP2ConnectionClient>();
    connection->SetTransport(TwsTransport::trpHTTP2);
    connection->OnCommand = [this](TObject*, TkfxHTTP2ConnectionClient*, TkfxTCPCommands aCommand,
                                   const TIdBytes& aBytes) {
      if (aCommand == TkfxTCPCommands::tcmWriteBytes)
        AddBytes(aBytes);
      else
        AddCommand(aCommand);
    };
    connection->OnException = [this](TObject*, TkfxHTTP2ConnectionClient*, Exception* E) {
      Note("h2 " + E->Message());
    };
    if (Wire) Wire(*connection);
    connection->SetHost(Host() + ":" + std::to_string(Port()));
    connection->SetTLS(TLS());
    SetConnectionSlot(connection);
    try {
      connection->DoHTTP2Initialize(TCPClient(), &Settings);
    } catch (Exception& E) {
      DoException(connection.get(), E.Message(), &E);
      connection->DoAfterException();
    }
  }

  void DoNotifyDisconnect(TkfxTCPConnection* aConnection) override {
    if (auto* h2 = dynamic_cast<TkfxHTTP2ConnectionClient*>(aConnection)) h2->SetWaitDisconnect();
    TkfxTCPCLient_Common::DoNotifyDisconnect(aConnection);
  }

 private:
  std::mutex FNotesLock;
  std::vector<std::string> FNotes;
};
