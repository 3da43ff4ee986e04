// The TCP component with its five events and their delivery, the TCP
// connection root, and the notification records and lists that carry events
// from worker threads to the main thread.
//
// Delivery follows NotifyEvents: neNoSync raises an event at once on the
// producing thread; neAsynchronous appends a record to the event's list and
// queues a drain on the main thread; neSynchronous does the same and waits
// for the drain. A record owns what it reports (a reference to the
// connection, copies of texts and bytes, the exception kept alive), and a
// drain takes its batch out of the list under the list's lock and raises the
// events without it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rtl/Streams.h"
#include "tcp/kfxSocket_Classes_Base.h"

enum class TtcpEOFScanBuffer { eofScanNone, eofScanLatestBytes, eofScanAllBytes };

class TkfxTCPConnection_Base : public TkfxSocketConnection {
 public:
  TkfxTCPConnection_Base();
  ~TkfxTCPConnection_Base() override;

  // The last text message received.
  std::string MsgReceived() const;
  void SetMsgReceived(const std::string& aValue);
  // The last binary message received; created on first read. Written and
  // read by the thread that reads the connection.
  TMemoryStream* MsgBinaryReceived();
  // The text of the exception being reported.
  std::string MsgException() const;
  void SetMsgException(const std::string& aValue);
  // Stop reading: the connection is to be closed.
  bool MustDisconnect() const { return FMustDisconnect.load(std::memory_order_acquire); }
  void SetMustDisconnect(bool aValue) { FMustDisconnect.store(aValue, std::memory_order_release); }
  TtcpEOFScanBuffer TCPEndOfFrameScanBuffer() const { return FTCPEndOfFrameScanBuffer; }
  void SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer aValue) { FTCPEndOfFrameScanBuffer = aValue; }
  // The end-of-frame marker, one byte at a time.
  void AddTCPEndOfFrame(uint8_t aByte) { FTCPEndOfFrame.push_back(aByte); }
  void ClearTCPEndOfFrame() { FTCPEndOfFrame.clear(); }
  const TIdBytes& TCPEndOfFrame() const { return FTCPEndOfFrame; }

  // Called after an exception was reported for the connection.
  virtual void DoAfterException() {}

 protected:
  std::string FMsgReceived;  // guarded by FCS
  std::unique_ptr<TMemoryStream> FMsgBinaryReceived;
  std::string FMsgException;  // guarded by FCS
  std::atomic<bool> FMustDisconnect{false};
  TtcpEOFScanBuffer FTCPEndOfFrameScanBuffer = TtcpEOFScanBuffer::eofScanNone;
  TIdBytes FTCPEndOfFrame;
};

class TkfxTCPConnection : public TkfxTCPConnection_Base {};

using TkfxTCPConnectionRef = std::shared_ptr<TkfxTCPConnection>;
// A shared reference to aConnection, or null when it is not held by one.
TkfxTCPConnectionRef ConnectionRefOf(TkfxTCPConnection* aConnection);

using TkfxTCPConnectEvent = std::function<void(TkfxTCPConnection* Connection)>;
using TkfxTCPDisconnectEvent = std::function<void(TkfxTCPConnection* Connection)>;
using TkfxTCPMessageEvent =
    std::function<void(TkfxTCPConnection* Connection, const std::string& Text)>;
using TkfxTCPBinaryEvent = std::function<void(TkfxTCPConnection* Connection, TMemoryStream* Data)>;
// Connection may be null; E lives for the call only.
using TkfxTCPExceptionEvent = std::function<void(TkfxTCPConnection* Connection, Exception* E)>;

// A reported exception kept past the report: a copy with its message, and
// the class name of the original.
struct TkfxKeptException {
  std::shared_ptr<Exception> Object;
  std::string RawClassName;

  static TkfxKeptException Keep(const Exception* E);
  Exception* Get() const { return Object.get(); }
};

// One pending notification.
class TkfxTCPNotifyObject : public TObject {
 public:
  ~TkfxTCPNotifyObject() override;

  // Null when the record names no connection. The record holds a shared
  // reference, so the object outlives the record.
  TkfxTCPConnection* Connection() const { return FConnection; }
  const TkfxTCPConnectionRef& ConnectionRef() const { return FConnectionRef; }
  void SetConnection(TkfxTCPConnection* aConnection);
  // The reported exception, kept alive by the record; null when none.
  Exception* RawException() const { return FRawException.Get(); }
  const std::string& RawExceptionClassName() const { return FRawException.RawClassName; }
  void SetRawException(const Exception* aException) {
    FRawException = TkfxKeptException::Keep(aException);
  }
  // Created on first access; owned.
  TMemoryStream* Stream();
  bool HasStream() const { return FStream != nullptr; }

  int FInt = 0;
  std::string Text;
  std::string Text1;

 private:
  TkfxTCPConnection* FConnection = nullptr;
  TkfxTCPConnectionRef FConnectionRef;
  TkfxKeptException FRawException;
  std::unique_ptr<TMemoryStream> FStream;
};

// A locked list of notification records; it owns them.
class TkfxTCPObjectList : public TkfxThreadList {
 public:
  ~TkfxTCPObjectList() override;

  void AddNotifyObject(TkfxTCPConnection* aConnection, const std::string& aParam);
  void AddNotifyObject(TkfxTCPConnection* aConnection, int aParam);
  // The record gets a copy of the whole stream.
  void AddNotifyObject(TkfxTCPConnection* aConnection, TMemoryStream* aParam);
  void AddNotifyObject(TkfxTCPConnection* aConnection);
  void AddNotifyObject(TkfxTCPConnection* aConnection, const std::string& aParam,
                       const std::string& aParam1);
  void AddNotifyObject(TkfxTCPConnection* aConnection, TMemoryStream* aStream, int aOpCode,
                       bool aBoolean);
  void AddNotifyObject(TkfxTCPConnection* aConnection, const std::string& aParam,
                       const Exception* aException);

  // Removes and frees every record from the front. With aFreeConnection,
  // each record's connection that is not already freed is marked freed first.
  void DeleteAll(bool aFreeConnection);
  // Takes every record out of the list, in order, under the lock.
  std::vector<std::unique_ptr<TkfxTCPNotifyObject>> TakeAll();
  // The records without taking them (for inspection under LockList).
  TkfxTCPNotifyObject* Items(int aIndex);

 private:
  void Append(std::unique_ptr<TkfxTCPNotifyObject> aObject);
};

class TkfxTCPComponent_Base : public TkfxSocketComponent_Base {
 public:
  using TkfxSocketComponent_Base::TkfxSocketComponent_Base;
};

class TkfxTCPComponent : public TkfxTCPComponent_Base {
 public:
  explicit TkfxTCPComponent(TComponent* AOwner);
  ~TkfxTCPComponent() override;

  // Hold text and binary messages instead of raising their events; setting
  // it to false releases what was held.
  bool QueueMessages() const { return FQueueMessages.load(); }
  virtual void SetQueueMessages(bool aValue);
  void QueueClear() { DoClearQueue(); }

  TkfxTCPConnectEvent OnConnect;
  TkfxTCPDisconnectEvent OnDisconnect;
  TkfxTCPMessageEvent OnMessage;
  TkfxTCPBinaryEvent OnBinary;
  TkfxTCPExceptionEvent OnException;

  // The raisers: each fires its event on the calling thread.
  virtual void DoEventConnect(TkfxTCPConnection* Connection);
  virtual void DoEventDisconnect(TkfxTCPConnection* Connection);
  virtual void DoEventMessage(TkfxTCPConnection* Connection, const std::string& Text);
  virtual void DoEventBinary(TkfxTCPConnection* Connection, TMemoryStream* Data);
  virtual void DoEventException(TkfxTCPConnection* Connection, const std::string& Msg,
                                Exception* E);

  // The deliverers, callable from any thread; they honour NotifyEvents and do
  // nothing while the component is being destroyed (nor for a null connection).
  virtual void DoNotifyConnect(TkfxTCPConnection* Connection);
  // The disconnect is followed by DoFreeConnection.
  virtual void DoNotifyDisconnect(TkfxTCPConnection* Connection);
  virtual void DoNotifyMessage(TkfxTCPConnection* Connection);
  virtual void DoNotifyBinary(TkfxTCPConnection* Connection);
  virtual void DoNotifyException(TkfxTCPConnection* Connection);
  virtual void DoNotifyException(const std::string& Msg, Exception* E);

  // Reports an exception; never raises.
  virtual void DoException(TkfxTCPConnection* Connection, const std::string& Msg, Exception* E);

  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  virtual void DoProcessQueuedMessages();
  virtual void DoClearQueue();

  // Delivers an exception report with the given values.
  void DeliverException(TkfxTCPConnection* Connection, const std::string& Msg,
                        const Exception* E);
  // Queues (neAsynchronous) or runs and waits for (neSynchronous) aDrain on
  // the main thread; a drain queued for a component freed meanwhile does nothing.
  void RunDrain(void (TkfxTCPComponent::*aDrain)());
  // Stops queued drains from running: the first step of destruction in the
  // subclasses, once their threads have stopped.
  void StopDrains();

  // Held messages.
  std::unique_ptr<TkfxTCPObjectList> FQueueMessage;
  std::unique_ptr<TkfxTCPObjectList> FQueueBinary;

 private:
  using TRaise = std::function<void(TkfxTCPNotifyObject&)>;
  void Drain(TkfxTCPObjectList& aList, bool& aInProgress, const TRaise& aRaise,
             bool aFreeConnection, bool aReportFailures);
  void DrainConnect();
  void DrainDisconnect();
  void DrainMessage();
  void DrainBinary();
  void DrainException();
  // Reports an exception that a handler raised during a drain.
  void ReportHandlerFailure(TkfxTCPConnection* Connection, std::exception_ptr aError);

  std::atomic<bool> FQueueMessages{false};
  std::atomic<bool> FQueueProcessing{false};
  // One list per event; drains run on the main thread, and the in-progress
  // flags (guarded by each list's lock) keep a nested drain from reordering.
  std::unique_ptr<TkfxTCPObjectList> FNotifyConnect;
  std::unique_ptr<TkfxTCPObjectList> FNotifyDisconnect;
  std::unique_ptr<TkfxTCPObjectList> FNotifyMessage;
  std::unique_ptr<TkfxTCPObjectList> FNotifyBinary;
  std::unique_ptr<TkfxTCPObjectList> FNotifyException;
  bool FAsyncConnect = false;
  bool FAsyncDisconnect = false;
  bool FAsyncMessage = false;
  bool FAsyncBinary = false;
  bool FAsyncException = false;
  // False once the component is being destroyed; drains hold a copy.
  std::shared_ptr<std::atomic<bool>> FAlive;
};
