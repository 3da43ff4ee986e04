// The keyed queue of the HTTP/2 classes unit: a locked list of items found by
// their text ID. It sits with the base classes because the TCP client's
// command queue is one too, below the HTTP/2 layers that also use it.
#pragma once

#include <string>

#include "base/kfxWebSocket_Classes_SyncObjs.h"
#include "rtl/System.h"

// An item of a keyed queue: its text ID is the key.
class TkfxQueueItemBase : public TObject {
 public:
  std::string ID;
};

// A keyed queue: every operation takes the list's lock; lookups return the
// first item whose ID matches exactly. With OwnObjects, removed items are freed.
class TkfxQueue : public TkfxThreadList {
 public:
  ~TkfxQueue() override;

  void AddItem(TkfxQueueItemBase* aItem);
  TkfxQueueItemBase* GetItem(const std::string& aID);
  TkfxQueueItemBase* GetItemByIndex(int aIndex);
  void DeleteItem(const std::string& aID);
  void DeleteItem(int aIndex);
  void Clear() override;

  bool OwnObjects = false;

 protected:
  // Removes item aIndex under the lock, freeing it when owned.
  void RemoveAt(size_t aIndex);
};
