#include "base/kfxWebSocket_Classes_SyncObjs.h"

#include <algorithm>

void TkfxCriticalSection::Acquire() {
  try {
    FSection.lock();
  } catch (...) {
    // A failure to enter is swallowed, as the lock's callers expect.
  }
}

void TkfxCriticalSection::Release() {
  try {
    FSection.unlock();
  } catch (...) {
    // Swallowed like a failure to enter: the lock's callers never handle one.
  }
}

bool TkfxCriticalSection::TryAcquire() { return FSection.try_lock(); }

TkfxThreadList::~TkfxThreadList() {
  // Wait for any holder before the list goes away.
  std::lock_guard guard(FLock);
  FList.clear();
}

void TkfxThreadList::Add(void* aItem) {
  std::lock_guard guard(FLock);
  if (FDuplicates != TDuplicates::dupAccept &&
      std::find(FList.begin(), FList.end(), aItem) != FList.end()) {
    if (FDuplicates == TDuplicates::dupError)
      throw EListError("List does not allow duplicates ($0" +
                       IntToHex(reinterpret_cast<uintptr_t>(aItem), 0) + ")");
    return;
  }
  FList.push_back(aItem);
  CountChanged();
}

void TkfxThreadList::AddKey(void* aItem, const std::string&) { Add(aItem); }

void TkfxThreadList::Delete(int aIndex) {
  std::lock_guard guard(FLock);
  if (aIndex < 0 || aIndex >= static_cast<int>(FList.size()))
    throw EListError("List index out of bounds (" + IntToStr(aIndex) + ")");
  FList.erase(FList.begin() + aIndex);
  CountChanged();
}

void TkfxThreadList::DeleteKey(int aIndex, const std::string&) { Delete(aIndex); }

void TkfxThreadList::Remove(void* aItem) {
  std::lock_guard guard(FLock);
  auto it = std::find(FList.begin(), FList.end(), aItem);
  if (it != FList.end()) {
    FList.erase(it);
    CountChanged();
  }
}

void TkfxThreadList::Clear() {
  std::lock_guard guard(FLock);
  FList.clear();
  CountChanged();
}

std::vector<void*>& TkfxThreadList::LockList() {
  FLock.Acquire();
  return FList;
}

void TkfxThreadList::UnlockList() {
  // A holder may have edited the inner list directly.
  CountChanged();
  FLock.Release();
}

void TkfxThreadList::AppendItem(void* aItem) {
  std::lock_guard guard(FLock);
  FList.push_back(aItem);
  CountChanged();
}

std::vector<void*> TkfxThreadList::TakeAllItems() {
  std::lock_guard guard(FLock);
  std::vector<void*> items;
  items.swap(FList);
  CountChanged();
  return items;
}

void* TkfxThreadList::ItemAt(int aIndex) {
  std::lock_guard guard(FLock);
  if (aIndex < 0 || aIndex >= static_cast<int>(FList.size())) return nullptr;
  return FList[static_cast<size_t>(aIndex)];
}

void* TkfxThreadList::GetValue(const std::string&) const { return nullptr; }

bool TkfxThreadList::IsEmpty() const { return FCount.load(std::memory_order_relaxed) == 0; }

int TkfxThreadList::Count() {
  std::lock_guard guard(FLock);
  return static_cast<int>(FList.size());
}
