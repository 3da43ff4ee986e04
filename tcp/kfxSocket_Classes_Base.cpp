#include "tcp/kfxSocket_Classes_Base.h"

#include <mutex>

#include "base/kfxBase_Helpers.h"

const std::vector<std::string> NotifyEventNames{"neNoSync", "neAsynchronous", "neSynchronous"};

// --- TkfxSocketComponent_Base ---

TkfxSocketComponent_Base::TkfxSocketComponent_Base(TComponent* AOwner)
    : TkfxComponent_Base(AOwner), FCS(std::make_unique<TkfxCriticalSection>()) {
  for (auto& cs : FCSArray) cs = std::make_unique<TkfxCriticalSection>();
  // A program delivers on its main thread; there is no shared-library build
  // of the library, where neNoSync would be the default.
  FNotifyEvents.store(TwsNotifyEvent::neAsynchronous);
}

TkfxSocketComponent_Base::~TkfxSocketComponent_Base() = default;

void TkfxSocketComponent_Base::DoEnterCS() {
  if (FCS) FCS->Acquire();
}

void TkfxSocketComponent_Base::DoEnterCS(int Index) {
  if (IsCSArrayAssigned(Index)) FCSArray[static_cast<size_t>(Index)]->Acquire();
}

void TkfxSocketComponent_Base::DoLeaveCS() {
  if (FCS) FCS->Release();
}

void TkfxSocketComponent_Base::DoLeaveCS(int Index) {
  if (IsCSArrayAssigned(Index)) FCSArray[static_cast<size_t>(Index)]->Release();
}

bool TkfxSocketComponent_Base::IsCSAssigned() const { return FCS != nullptr; }

bool TkfxSocketComponent_Base::IsCSArrayAssigned(int Index) const {
  return Index >= 0 && Index < kCSArraySize && FCSArray[static_cast<size_t>(Index)] != nullptr;
}

void TkfxSocketComponent_Base::SetNotifyEvents(TwsNotifyEvent aValue) {
  FNotifyEvents.store(aValue, std::memory_order_release);
}

void TkfxSocketComponent_Base::DoFreeConnection(TkfxSocketConnection_Base* aConnection) {
  if (aConnection) aConnection->SetFreed();
}

void TkfxSocketComponent_Base::GetPublishedProperties(TPublishedProperties& aList) {
  TkfxComponent_Base::GetPublishedProperties(aList);
}

// --- TkfxSocketConnection_Base ---

TkfxSocketConnection_Base::TkfxSocketConnection_Base()
    : FCS(std::make_unique<TkfxCriticalSection>()) {
  for (auto& cs : FCSArray) cs = std::make_unique<TkfxCriticalSection>();
}

TkfxSocketConnection_Base::~TkfxSocketConnection_Base() { SetFreed(); }

void TkfxSocketConnection_Base::DoEnterCS() { FCS->Acquire(); }

void TkfxSocketConnection_Base::DoEnterCS(int Index) {
  if (Index >= 0 && Index < kCSArraySize) FCSArray[static_cast<size_t>(Index)]->Acquire();
}

void TkfxSocketConnection_Base::DoLeaveCS() { FCS->Release(); }

void TkfxSocketConnection_Base::DoLeaveCS(int Index) {
  if (Index >= 0 && Index < kCSArraySize) FCSArray[static_cast<size_t>(Index)]->Release();
}

std::string TkfxSocketConnection_Base::Guid() {
  std::lock_guard guard(*FCS);
  if (FGuid.empty()) FGuid = NewGUIDText();
  return FGuid;
}

void TkfxSocketConnection_Base::SetTransport(TwsTransport aValue) { FTransport.store(aValue); }

Exception* TkfxSocketConnection_Base::RawException() const {
  std::lock_guard guard(*FCS);
  return FRawException;
}

void TkfxSocketConnection_Base::SetRawException(Exception* aValue) {
  std::lock_guard guard(*FCS);
  FRawException = aValue;
}
