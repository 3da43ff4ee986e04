// The socket component root (its locks and how it delivers events) and the
// root of the connection objects, one per live connection.
//
// Connection objects are shared: the component's slot, every queued
// notification that names one and every call in progress on it hold a
// std::shared_ptr, so a connection is never destroyed under a thread that
// still uses it. "Freeing" a connection marks it Freed and gives up the
// component's reference; the object goes with the last holder.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "base/kfxBase_Classes.h"
#include "base/kfxWebSocket_Classes_SyncObjs.h"
#include "tcp/kfxBase_Classes_Component.h"

enum class TwsTransport {
  trpUndefined,
  trpRFC6455,
  trpHixie76,
  trpFlash,
  trpSSE,
  trpTCP,
  trpHTTP,
  trpRFC8441,
  trpHTTP2,
  trpUDP,
  trpQUIC
};
enum class TwsIPVersion { ipV4, ipV6 };

class TkfxSocketConnection_Base;

class TkfxSocketComponent_Base : public TkfxComponent_Base {
 public:
  static constexpr int kCSArraySize = 6;

  explicit TkfxSocketComponent_Base(TComponent* AOwner);
  ~TkfxSocketComponent_Base() override;

  virtual void DoEnterCS();
  virtual void DoEnterCS(int Index);
  virtual void DoLeaveCS();
  virtual void DoLeaveCS(int Index);
  virtual bool IsCSAssigned() const;
  virtual bool IsCSArrayAssigned(int Index) const;

  // Read by every thread that delivers an event.
  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents.load(std::memory_order_acquire); }
  virtual void SetNotifyEvents(TwsNotifyEvent aValue);

  // Marks the connection Freed. The caller has given up the component's
  // reference; holders of a shared reference keep the object until they let go.
  virtual void DoFreeConnection(TkfxSocketConnection_Base* aConnection);

  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  std::array<std::unique_ptr<TkfxCriticalSection>, kCSArraySize> FCSArray;
  std::unique_ptr<TkfxCriticalSection> FCS;

 private:
  std::atomic<TwsNotifyEvent> FNotifyEvents{TwsNotifyEvent::neAsynchronous};
};

extern const std::vector<std::string> NotifyEventNames;

class TkfxSocketConnection_Base : public TObject,
                                  public std::enable_shared_from_this<TkfxSocketConnection_Base> {
 public:
  static constexpr int kCSArraySize = 6;

  TkfxSocketConnection_Base();
  ~TkfxSocketConnection_Base() override;

  virtual void DoEnterCS();
  virtual void DoEnterCS(int Index);
  virtual void DoLeaveCS();
  virtual void DoLeaveCS(int Index);

  virtual bool Active() = 0;
  // A new GUID text on first read, the same one afterwards.
  virtual std::string Guid();
  virtual std::string IP() = 0;
  virtual std::string LocalIP() = 0;
  virtual int LocalPort() = 0;
  virtual int Port() = 0;
  virtual TwsIPVersion IPVersion() = 0;

  int64_t RecBytes() const { return FRecBytes.load(); }
  int64_t SendBytes() const { return FSendBytes.load(); }
  // Counts bytes moved on the connection's behalf by its component.
  void AddRecBytes(int64_t aCount) { FRecBytes.fetch_add(aCount); }
  void AddSendBytes(int64_t aCount) { FSendBytes.fetch_add(aCount); }
  TwsTransport Transport() const { return FTransport.load(); }
  virtual void SetTransport(TwsTransport aValue);
  // This side has closed the connection.
  bool Disconnected() const { return FDisconnected.load(std::memory_order_acquire); }
  void SetDisconnected(bool aValue) { FDisconnected.store(aValue, std::memory_order_release); }
  // The exception being reported for this connection; null outside a report.
  Exception* RawException() const;
  void SetRawException(Exception* aValue);
  // Free slot for the application, not owned.
  TObject* Data() const { return FData; }
  void SetData(TObject* aValue) { FData = aValue; }
  bool IsInternal() const { return FIsInternal; }
  void SetIsInternal(bool aValue) { FIsInternal = aValue; }
  // Being or already freed: nobody delivers or frees it again.
  bool Freed() const { return FFreed.load(std::memory_order_acquire); }
  void SetFreed() { FFreed.store(true, std::memory_order_release); }

  void BeforeDestruction() override { SetFreed(); }

 protected:
  std::unique_ptr<TkfxCriticalSection> FCS;
  std::array<std::unique_ptr<TkfxCriticalSection>, kCSArraySize> FCSArray;
  bool FIsInternal = false;
  std::string FGuid;                  // guarded by FCS
  std::atomic<int64_t> FRecBytes{0};
  std::atomic<int64_t> FSendBytes{0};
  // Cached addresses, guarded by FCS.
  std::string FIP;
  std::string FLocalIP;
  int FLocalPort = 0;
  int FPort = 0;
  TwsIPVersion FIPVersion = TwsIPVersion::ipV4;
  std::atomic<TwsTransport> FTransport{TwsTransport::trpUndefined};
  std::atomic<bool> FDisconnected{false};
  Exception* FRawException = nullptr;  // guarded by FCS
  TObject* FData = nullptr;
  std::atomic<bool> FFreed{false};
};

class TkfxSocketConnection : public TkfxSocketConnection_Base {};
