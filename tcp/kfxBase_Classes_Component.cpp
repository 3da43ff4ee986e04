#include "tcp/kfxBase_Classes_Component.h"

#include "rtl/MainThread.h"

TkfxComponent_Base::~TkfxComponent_Base() { BeginDestroying(); }

void TkfxComponent_Base::BeginDestroying() {
  FDestroyingFlag.store(true, std::memory_order_release);
  Destroying();
}

bool TkfxComponent_Base::IsDesigning() const {
  return ComponentState().Contains(TComponentStateItem::csDesigning);
}

bool TkfxComponent_Base::IsDestroying() const {
  if (FDestroyingFlag.load(std::memory_order_acquire)) return true;
  // An owner marks its components before it frees them; that happens on the
  // thread that frees the owner, normally the main thread.
  return IsMainThread() && ComponentState().Contains(TComponentStateItem::csDestroying);
}

bool TkfxComponent_Base::IsLoading() const {
  return ComponentState().Contains(TComponentStateItem::csLoading);
}

void TkfxComponent_Base::GetPublishedProperties(TPublishedProperties& aList) {
  TComponent::GetPublishedProperties(aList);
  aList.push_back(TPublishedProperty{"Version", [this] { return Version(); }, nullptr, nullptr});
}
