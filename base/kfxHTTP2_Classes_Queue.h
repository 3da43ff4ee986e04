// The keyed queue of the HTTP/2 classes unit: a locked, ordered queue of items
// found by their text ID. It sits with the base classes because the TCP
// client's command queue is one too, below the HTTP/2 layers that also use it.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/kfxWebSocket_Classes_SyncObjs.h"
#include "rtl/System.h"

// An item of a keyed queue: its text ID is the key.
class TkfxQueueItemBase : public TObject {
 public:
  std::string ID;
};

// A keyed queue of TItem: every operation takes the queue's lock; lookups
// return the first item whose ID matches exactly. With OwnObjects, removed
// items (and those left at destruction) are freed; without it the caller
// keeps them alive. The storage is the queue's own: a subclass works on it
// only through the protected operations below, which keep the lock and the
// lock-free count right.
template <class TItem = TkfxQueueItemBase>
class TkfxQueue : public TObject {
  static_assert(std::is_base_of_v<TkfxQueueItemBase, TItem>, "queue items carry an ID");

 public:
  TkfxQueue() = default;
  TkfxQueue(const TkfxQueue&) = delete;
  TkfxQueue& operator=(const TkfxQueue&) = delete;
  ~TkfxQueue() override { Clear(); }

  void AddItem(TItem* aItem) {
    std::lock_guard guard(FLock);
    FItems.push_back(aItem);
    CountChanged();
  }
  TItem* GetItem(const std::string& aID) {
    std::lock_guard guard(FLock);
    for (TItem* item : FItems)
      if (item->ID == aID) return item;
    return nullptr;
  }
  TItem* GetItemByIndex(int aIndex) {
    std::lock_guard guard(FLock);
    if (aIndex < 0 || static_cast<size_t>(aIndex) >= FItems.size()) return nullptr;
    return FItems[static_cast<size_t>(aIndex)];
  }
  void DeleteItem(const std::string& aID) {
    std::lock_guard guard(FLock);
    for (size_t i = 0; i < FItems.size(); ++i)
      if (FItems[i]->ID == aID) return RemoveAt(i);
  }
  void DeleteItem(int aIndex) {
    std::lock_guard guard(FLock);
    if (aIndex >= 0 && static_cast<size_t>(aIndex) < FItems.size()) RemoveAt(static_cast<size_t>(aIndex));
  }
  virtual void Clear() {
    std::lock_guard guard(FLock);
    while (!FItems.empty()) RemoveAt(FItems.size() - 1);
  }

  int Count() const {
    std::lock_guard guard(FLock);
    return static_cast<int>(FItems.size());
  }
  // Reads the count without the lock: a hint for polling loops.
  bool IsEmpty() const { return FCount.load(std::memory_order_relaxed) == 0; }

  bool OwnObjects = false;

 protected:
  // Appends aItem after aStamp(*aItem) ran under the same lock, so whatever
  // the stamp numbers comes out in queue order.
  template <class TStamp>
  void AddItemStamped(TItem* aItem, TStamp&& aStamp) {
    std::lock_guard guard(FLock);
    aStamp(*aItem);
    FItems.push_back(aItem);
    CountChanged();
  }

  // Takes the first item and, while aMore(first, next) holds, the items right
  // behind it, first to last; empty when the queue is. The items are handed
  // over, not freed, whatever OwnObjects says.
  template <class TMore>
  std::vector<TItem*> TakeFirstRun(TMore&& aMore) {
    std::vector<TItem*> taken;
    std::lock_guard guard(FLock);
    if (FItems.empty()) return taken;
    taken.push_back(FItems.front());
    size_t count = 1;
    while (count < FItems.size() && aMore(*taken.front(), *FItems[count])) taken.push_back(FItems[count++]);
    FItems.erase(FItems.begin(), FItems.begin() + static_cast<std::ptrdiff_t>(count));
    CountChanged();
    return taken;
  }

 private:
  // Under the lock: removes item aIndex, freeing it when owned.
  void RemoveAt(size_t aIndex) {
    TItem* item = FItems[aIndex];
    FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(aIndex));
    CountChanged();
    if (OwnObjects) item->Free();
  }
  void CountChanged() { FCount.store(FItems.size(), std::memory_order_relaxed); }

  // Re-entrant: an item's destructor may use the queue that frees it.
  mutable TkfxCriticalSection FLock;
  std::deque<TItem*> FItems;  // guarded by FLock, first to last
  std::atomic<size_t> FCount{0};
};
