// The library's re-entrant lock and the locked list that every notification
// list and keyed queue builds on.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "rtl/System.h"

// A re-entrant lock: the owning thread may acquire it again; each
// acquisition needs its own release.
class TkfxCriticalSection : public TObject {
 public:
  void Acquire();
  void Release();
  // True when the lock was taken without waiting.
  bool TryAcquire();

  // For std::lock_guard and friends.
  void lock() { Acquire(); }
  void unlock() { Release(); }
  bool try_lock() { return TryAcquire(); }

 private:
  std::recursive_mutex FSection;
};
using TIdCriticalSection = TkfxCriticalSection;

enum class TDuplicates { dupIgnore, dupAccept, dupError };
enum class TkfxThreadListType { tdlThreadDictionary, tdlOnlyThread, tdlOnlyDictionary };

// An ordered list of references guarded by its own lock. The list never owns
// its items. Multi-step access goes between LockList and UnlockList; since
// the lock is re-entrant, the holder may call Add, Delete or Clear meanwhile.
class TkfxThreadList : public TObject {
 public:
  TkfxThreadList() = default;
  ~TkfxThreadList() override;

  // Appends aItem; with dupIgnore or dupError an item already present is not
  // added again (dupError raises EListError "List does not allow duplicates ($0<hex>)").
  void Add(void* aItem);
  void AddKey(void* aItem, const std::string& aKey);
  void Delete(int aIndex);
  void DeleteKey(int aIndex, const std::string& aKey);
  // Removes the first occurrence of aItem.
  void Remove(void* aItem);
  virtual void Clear();

  std::vector<void*>& LockList();
  void UnlockList();

  void* GetValue(const std::string& aKey) const;
  bool IsEmpty() const;
  int Count();

  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates aValue) { FDuplicates = aValue; }
  TkfxThreadListType ListType() const { return FListType; }
  void SetListType(TkfxThreadListType) { FListType = TkfxThreadListType::tdlOnlyThread; }

 protected:
  // For subclasses that keep typed items in the list: appends without the
  // duplicate check, takes every item out first to last, reads item aIndex
  // (null past the end). Each takes the lock.
  void AppendItem(void* aItem);
  std::vector<void*> TakeAllItems();
  void* ItemAt(int aIndex);

  mutable TkfxCriticalSection FLock;

 private:
  // IsEmpty reads the count without the lock; everything that changes FList
  // calls this under the lock afterwards.
  void CountChanged() { FCount.store(FList.size(), std::memory_order_relaxed); }

  std::vector<void*> FList;
  TDuplicates FDuplicates = TDuplicates::dupIgnore;
  TkfxThreadListType FListType = TkfxThreadListType::tdlOnlyThread;
  std::atomic<size_t> FCount{0};
};
