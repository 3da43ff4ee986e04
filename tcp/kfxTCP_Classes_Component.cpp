#include "tcp/kfxTCP_Classes_Component.h"

#include <mutex>

#include "base/kfxBase_Errors.h"
#include "base/kfxWebSocket_Helpers.h"

// --- TkfxTCPConnection_Base ---

TkfxTCPConnection_Base::TkfxTCPConnection_Base() { FFreed.store(false); }

TkfxTCPConnection_Base::~TkfxTCPConnection_Base() = default;

std::string TkfxTCPConnection_Base::MsgReceived() const {
  std::lock_guard guard(*FCS);
  return FMsgReceived;
}

void TkfxTCPConnection_Base::SetMsgReceived(const std::string& aValue) {
  std::lock_guard guard(*FCS);
  FMsgReceived = aValue;
}

TMemoryStream* TkfxTCPConnection_Base::MsgBinaryReceived() {
  std::lock_guard guard(*FCS);
  if (!FMsgBinaryReceived) FMsgBinaryReceived = std::make_unique<TMemoryStream>();
  return FMsgBinaryReceived.get();
}

std::string TkfxTCPConnection_Base::MsgException() const {
  std::lock_guard guard(*FCS);
  return FMsgException;
}

void TkfxTCPConnection_Base::SetMsgException(const std::string& aValue) {
  std::lock_guard guard(*FCS);
  FMsgException = aValue;
}

TkfxTCPConnectionRef ConnectionRefOf(TkfxTCPConnection* aConnection) {
  if (!aConnection) return nullptr;
  return std::static_pointer_cast<TkfxTCPConnection>(aConnection->weak_from_this().lock());
}

// --- notification records ---

TkfxKeptException TkfxKeptException::Keep(const Exception* E) {
  TkfxKeptException kept;
  if (!E) return kept;
  // A copy, never the thrown object itself: that one belongs to the thread
  // that caught it and dies when its handler ends.
  kept.RawClassName = E->ClassName();
  kept.Object = std::make_shared<Exception>(E->Message());
  return kept;
}

TkfxTCPNotifyObject::~TkfxTCPNotifyObject() = default;

void TkfxTCPNotifyObject::SetConnection(TkfxTCPConnection* aConnection) {
  FConnection = aConnection;
  FConnectionRef = ConnectionRefOf(aConnection);
}

TMemoryStream* TkfxTCPNotifyObject::Stream() {
  if (!FStream) FStream = std::make_unique<TMemoryStream>();
  return FStream.get();
}

TkfxTCPObjectList::~TkfxTCPObjectList() { DeleteAll(false); }

void TkfxTCPObjectList::Append(std::unique_ptr<TkfxTCPNotifyObject> aObject) {
  AppendItem(aObject.release());
}

namespace {

std::unique_ptr<TkfxTCPNotifyObject> NewRecord(TkfxTCPConnection* aConnection) {
  auto record = std::make_unique<TkfxTCPNotifyObject>();
  record->SetConnection(aConnection);
  return record;
}

void CopyWholeStream(TMemoryStream* aSource, TMemoryStream& aDest) {
  if (!aSource) return;
  aDest.WriteBytes(aSource->Bytes());
  aDest.SetPosition(0);
}

}  // namespace

void TkfxTCPObjectList::AddNotifyObject(TkfxTCPConnection* aConnection, const std::string& aParam) {
  auto record = NewRecord(aConnection);
  record->Text = aParam;
  Append(std::move(record));
}

void TkfxTCPObjectList::AddNotifyObject(TkfxTCPConnection* aConnection, int aParam) {
  auto record = NewRecord(aConnection);
  record->FInt = aParam;
  Append(std::move(record));
}

void TkfxTCPObjectList::AddNotifyObject(TkfxTCPConnection* aConnection, TMemoryStream* aParam) {
  auto record = NewRecord(aConnection);
  CopyWholeStream(aParam, *record->Stream());
  Append(std::move(record));
}

void TkfxTCPObjectList::AddNotifyObject(TkfxTCPConnection* aConnection) {
  Append(NewRecord(aConnection));
}

void TkfxTCPObjectList::AddNotifyObject(TkfxTCPConnection* aConnection, const std::string& aParam,
                                        const std::string& aParam1) {
  auto record = NewRecord(aConnection);
  record->Text = aParam;
  record->Text1 = aParam1;
  Append(std::move(record));
}

void TkfxTCPObjectList::AddNotifyObject(TkfxTCPConnection* aConnection, TMemoryStream* aStream,
                                        int aOpCode, bool aBoolean) {
  auto record = NewRecord(aConnection);
  CopyWholeStream(aStream, *record->Stream());
  record->FInt = aOpCode;
  record->Text1.assign(1, aBoolean ? '1' : '0');
  Append(std::move(record));
}

void TkfxTCPObjectList::AddNotifyObject(TkfxTCPConnection* aConnection, const std::string& aParam,
                                        const Exception* aException) {
  auto record = NewRecord(aConnection);
  record->Text = aParam;
  record->SetRawException(aException);
  Append(std::move(record));
}

std::vector<std::unique_ptr<TkfxTCPNotifyObject>> TkfxTCPObjectList::TakeAll() {
  std::vector<void*> items = TakeAllItems();
  std::vector<std::unique_ptr<TkfxTCPNotifyObject>> batch;
  batch.reserve(items.size());
  for (void* item : items) batch.emplace_back(static_cast<TkfxTCPNotifyObject*>(item));
  return batch;
}

TkfxTCPNotifyObject* TkfxTCPObjectList::Items(int aIndex) {
  return static_cast<TkfxTCPNotifyObject*>(ItemAt(aIndex));
}

void TkfxTCPObjectList::DeleteAll(bool aFreeConnection) {
  // Taken out under the lock, released outside it: releasing the last
  // reference to a connection runs its destructor.
  auto batch = TakeAll();
  for (auto& record : batch) {
    if (aFreeConnection && record->Connection() && !record->Connection()->Freed()) {
      record->Connection()->SetFreed();
    }
    record.reset();
  }
}

// --- TkfxTCPComponent ---

TkfxTCPComponent::TkfxTCPComponent(TComponent* AOwner)
    : TkfxTCPComponent_Base(AOwner),
      FQueueMessage(std::make_unique<TkfxTCPObjectList>()),
      FQueueBinary(std::make_unique<TkfxTCPObjectList>()),
      FNotifyConnect(std::make_unique<TkfxTCPObjectList>()),
      FNotifyDisconnect(std::make_unique<TkfxTCPObjectList>()),
      FNotifyMessage(std::make_unique<TkfxTCPObjectList>()),
      FNotifyBinary(std::make_unique<TkfxTCPObjectList>()),
      FNotifyException(std::make_unique<TkfxTCPObjectList>()),
      FAlive(std::make_shared<std::atomic<bool>>(true)) {
  // The lists exist from the start: workers add to them from any thread.
  for (auto* list : {FQueueMessage.get(), FQueueBinary.get(), FNotifyConnect.get(),
                     FNotifyDisconnect.get(), FNotifyMessage.get(), FNotifyBinary.get(),
                     FNotifyException.get()})
    list->SetDuplicates(TDuplicates::dupAccept);
}

TkfxTCPComponent::~TkfxTCPComponent() {
  BeginDestroying();
  StopDrains();
  FNotifyConnect.reset();
  // Connections whose disconnect was never delivered are freed with their records.
  FNotifyDisconnect->DeleteAll(true);
  FNotifyDisconnect.reset();
  FNotifyMessage.reset();
  FNotifyBinary.reset();
  FNotifyException.reset();
  FQueueMessage.reset();
  FQueueBinary.reset();
}

void TkfxTCPComponent::StopDrains() {
  FAlive->store(false);
  RemoveQueuedEvents(this);
}

void TkfxTCPComponent::GetPublishedProperties(TPublishedProperties& aList) {
  TkfxTCPComponent_Base::GetPublishedProperties(aList);
}

// --- raisers ---

void TkfxTCPComponent::DoEventConnect(TkfxTCPConnection* Connection) {
  if (OnConnect) OnConnect(Connection);
}

void TkfxTCPComponent::DoEventDisconnect(TkfxTCPConnection* Connection) {
  if (OnDisconnect) OnDisconnect(Connection);
}

void TkfxTCPComponent::DoEventMessage(TkfxTCPConnection* Connection, const std::string& Text) {
  if (!OnMessage) return;
  if (QueueMessages())
    FQueueMessage->AddNotifyObject(Connection, Text);
  else
    OnMessage(Connection, Text);
}

void TkfxTCPComponent::DoEventBinary(TkfxTCPConnection* Connection, TMemoryStream* Data) {
  if (!OnBinary) return;
  if (QueueMessages())
    FQueueBinary->AddNotifyObject(Connection, Data);
  else
    OnBinary(Connection, Data);
}

void TkfxTCPComponent::DoEventException(TkfxTCPConnection* Connection, const std::string& Msg,
                                        Exception* E) {
  if (!OnException) return;
  if (!E) {
    Exception temporary(Msg);
    OnException(Connection, &temporary);
    return;
  }
  if (E->Message().empty()) E->SetMessage(Msg);
  OnException(Connection, E);
}

// --- deliverers ---

void TkfxTCPComponent::RunDrain(void (TkfxTCPComponent::*aDrain)()) {
  std::shared_ptr<std::atomic<bool>> alive = FAlive;
  auto drain = [this, alive, aDrain] {
    if (alive->load()) (this->*aDrain)();
  };
  if (NotifyEvents() == TwsNotifyEvent::neSynchronous)
    SynchronizeOnMainThread(drain);
  else
    QueueOnMainThread(drain, this);
}

void TkfxTCPComponent::DoNotifyConnect(TkfxTCPConnection* Connection) {
  if (IsDestroying() || !Connection) return;
  if (NotifyEvents() == TwsNotifyEvent::neNoSync) return DoEventConnect(Connection);
  // An event nobody handles is not worth a trip to the main thread, and a
  // synchronous delivery must not wait for one.
  if (!OnConnect) return;
  FNotifyConnect->AddNotifyObject(Connection);
  RunDrain(&TkfxTCPComponent::DrainConnect);
}

void TkfxTCPComponent::DoNotifyDisconnect(TkfxTCPConnection* Connection) {
  if (IsDestroying() || !Connection) return;
  if (NotifyEvents() == TwsNotifyEvent::neNoSync || !OnDisconnect) {
    // Keep the object for the length of this call, whoever lets go of it.
    TkfxTCPConnectionRef keep = ConnectionRefOf(Connection);
    try {
      if (NotifyEvents() == TwsNotifyEvent::neNoSync) DoEventDisconnect(Connection);
    } catch (...) {
      DoFreeConnection(Connection);
      throw;
    }
    DoFreeConnection(Connection);
    return;
  }
  FNotifyDisconnect->AddNotifyObject(Connection);
  RunDrain(&TkfxTCPComponent::DrainDisconnect);
}

void TkfxTCPComponent::DoNotifyMessage(TkfxTCPConnection* Connection) {
  if (IsDestroying() || !Connection) return;
  if (NotifyEvents() == TwsNotifyEvent::neNoSync)
    return DoEventMessage(Connection, Connection->MsgReceived());
  if (!OnMessage) return;
  FNotifyMessage->AddNotifyObject(Connection, Connection->MsgReceived());
  RunDrain(&TkfxTCPComponent::DrainMessage);
}

void TkfxTCPComponent::DoNotifyBinary(TkfxTCPConnection* Connection) {
  if (IsDestroying() || !Connection) return;
  if (NotifyEvents() == TwsNotifyEvent::neNoSync)
    return DoEventBinary(Connection, Connection->MsgBinaryReceived());
  if (!OnBinary) return;
  FNotifyBinary->AddNotifyObject(Connection, Connection->MsgBinaryReceived());
  RunDrain(&TkfxTCPComponent::DrainBinary);
}

void TkfxTCPComponent::DoNotifyException(TkfxTCPConnection* Connection) {
  if (!Connection) return;
  DeliverException(Connection, Connection->MsgException(), Connection->RawException());
}

void TkfxTCPComponent::DoNotifyException(const std::string& Msg, Exception* E) {
  DeliverException(nullptr, Msg, E);
}

void TkfxTCPComponent::DeliverException(TkfxTCPConnection* Connection, const std::string& Msg,
                                        const Exception* E) {
  if (IsDestroying()) return;
  if (NotifyEvents() == TwsNotifyEvent::neNoSync)
    return DoEventException(Connection, Msg, const_cast<Exception*>(E));
  if (!OnException) return;
  FNotifyException->AddNotifyObject(Connection, Msg, E);
  RunDrain(&TkfxTCPComponent::DrainException);
}

void TkfxTCPComponent::DoException(TkfxTCPConnection* Connection, const std::string& Msg,
                                   Exception* E) {
  try {
    if (OnException) {
      if (Connection) {
        Connection->SetMsgException(Msg);
        Connection->SetRawException(E);
        try {
          DeliverException(Connection, Msg, E);
        } catch (...) {
          Connection->SetRawException(nullptr);
          throw;
        }
        // The reference is valid only while the report runs.
        Connection->SetRawException(nullptr);
        Connection->DoAfterException();
      } else {
        DoNotifyException(Msg, E);
      }
    } else if (Connection) {
      Connection->DoAfterException();
    }
  } catch (...) {
    // This is the last report there is: a failing exception handler (or a
    // failure while filing the report) cannot be reported to itself, and the
    // callers are read threads and boundaries that must not unwind.
  }
}

// --- drains (main thread) ---

void TkfxTCPComponent::Drain(TkfxTCPObjectList& aList, bool& aInProgress, const TRaise& aRaise,
                             bool aFreeConnection, bool aReportFailures) {
  if (IsDestroying()) return;
  std::shared_ptr<std::atomic<bool>> alive = FAlive;
  aList.LockList();
  const bool busy = aInProgress;
  aInProgress = true;
  aList.UnlockList();
  // A drain of this list is running further up this thread's stack (its
  // handler pumps calls): it delivers what we would, in order.
  if (busy) return;
  for (;;) {
    std::vector<std::unique_ptr<TkfxTCPNotifyObject>> batch;
    {
      aList.LockList();
      batch = aList.TakeAll();
      if (batch.empty()) aInProgress = false;
      aList.UnlockList();
    }
    if (batch.empty()) return;
    for (auto& record : batch) {
      std::exception_ptr failure;
      try {
        aRaise(*record);
      } catch (...) {
        failure = std::current_exception();
      }
      // The component was freed inside the handler: touch nothing of it.
      if (!alive->load()) return;
      if (aFreeConnection && record->Connection() && !record->Connection()->Freed()) {
        try {
          DoFreeConnection(record->Connection());
        } catch (...) {
          // The disconnect was delivered; a subclass's failure to release the
          // connection leaves nothing to tell the application, and the drain
          // must go on with the next record.
        }
      }
      if (failure && aReportFailures) {
        ReportHandlerFailure(nullptr, failure);
        if (!alive->load()) return;
      }
      record.reset();
    }
  }
}

void TkfxTCPComponent::ReportHandlerFailure(TkfxTCPConnection* Connection,
                                            std::exception_ptr aError) {
  try {
    ReportFailure(aError, [&](Exception& e) { DoException(Connection, e.Message(), &e); });
  } catch (...) {
    // A handler threw something that is neither an Exception nor a
    // std::exception: it carries no text to report, and letting it leave
    // would end the drain with the records after it undelivered.
  }
}

void TkfxTCPComponent::DrainConnect() {
  Drain(*FNotifyConnect, FAsyncConnect,
        [this](TkfxTCPNotifyObject& r) { DoEventConnect(r.Connection()); }, false, true);
}

void TkfxTCPComponent::DrainDisconnect() {
  Drain(*FNotifyDisconnect, FAsyncDisconnect,
        [this](TkfxTCPNotifyObject& r) { DoEventDisconnect(r.Connection()); }, true, true);
}

void TkfxTCPComponent::DrainMessage() {
  Drain(*FNotifyMessage, FAsyncMessage,
        [this](TkfxTCPNotifyObject& r) { DoEventMessage(r.Connection(), r.Text); }, false, true);
}

void TkfxTCPComponent::DrainBinary() {
  Drain(*FNotifyBinary, FAsyncBinary,
        [this](TkfxTCPNotifyObject& r) { DoEventBinary(r.Connection(), r.Stream()); }, false,
        true);
}

void TkfxTCPComponent::DrainException() {
  // A failing exception handler cannot be reported to itself.
  Drain(*FNotifyException, FAsyncException,
        [this](TkfxTCPNotifyObject& r) {
          DoEventException(r.Connection(), r.Text, r.RawException());
        },
        false, false);
}

// --- held messages ---

void TkfxTCPComponent::SetQueueMessages(bool aValue) {
  if (FQueueProcessing.load()) return;
  FQueueMessages.store(aValue);
  if (!aValue) DoProcessQueuedMessages();
}

void TkfxTCPComponent::DoProcessQueuedMessages() {
  std::shared_ptr<std::atomic<bool>> alive = FAlive;
  FQueueProcessing.store(true);
  // Every held text goes before any held binary, whatever their order of arrival.
  for (auto& record : FQueueMessage->TakeAll()) {
    try {
      DoEventMessage(record->Connection(), record->Text);
    } catch (...) {
      if (alive->load()) ReportHandlerFailure(nullptr, std::current_exception());
    }
    if (!alive->load()) return;
  }
  for (auto& record : FQueueBinary->TakeAll()) {
    try {
      DoEventBinary(record->Connection(), record->Stream());
    } catch (...) {
      if (alive->load()) ReportHandlerFailure(nullptr, std::current_exception());
    }
    if (!alive->load()) return;
  }
  FQueueProcessing.store(false);
}

void TkfxTCPComponent::DoClearQueue() {
  FQueueMessage->DeleteAll(false);
  FQueueBinary->DeleteAll(false);
}
