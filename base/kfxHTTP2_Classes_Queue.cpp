#include "base/kfxHTTP2_Classes_Queue.h"

#include <cstddef>
#include <mutex>

TkfxQueue::~TkfxQueue() {
  Clear();
}

void TkfxQueue::AddItem(TkfxQueueItemBase* aItem) {
  std::lock_guard guard(FLock);
  FList.push_back(aItem);
  CountChanged();
}

TkfxQueueItemBase* TkfxQueue::GetItem(const std::string& aID) {
  std::lock_guard guard(FLock);
  for (void* item : FList) {
    auto* queued = static_cast<TkfxQueueItemBase*>(item);
    if (queued->ID == aID) return queued;
  }
  return nullptr;
}

TkfxQueueItemBase* TkfxQueue::GetItemByIndex(int aIndex) {
  std::lock_guard guard(FLock);
  if (aIndex < 0 || aIndex >= static_cast<int>(FList.size())) return nullptr;
  return static_cast<TkfxQueueItemBase*>(FList[static_cast<size_t>(aIndex)]);
}

void TkfxQueue::RemoveAt(size_t aIndex) {
  auto* item = static_cast<TkfxQueueItemBase*>(FList[aIndex]);
  FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(aIndex));
  CountChanged();
  if (OwnObjects) item->Free();
}

void TkfxQueue::DeleteItem(const std::string& aID) {
  std::lock_guard guard(FLock);
  for (size_t i = 0; i < FList.size(); ++i)
    if (static_cast<TkfxQueueItemBase*>(FList[i])->ID == aID) return RemoveAt(i);
}

void TkfxQueue::DeleteItem(int aIndex) {
  std::lock_guard guard(FLock);
  if (aIndex >= 0 && aIndex < static_cast<int>(FList.size())) RemoveAt(static_cast<size_t>(aIndex));
}

void TkfxQueue::Clear() {
  std::lock_guard guard(FLock);
  while (!FList.empty()) RemoveAt(FList.size() - 1);
}
