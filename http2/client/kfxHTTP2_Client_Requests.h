// The queued requests of the HTTP/2 client component: one item per request,
// its ID, and the ordered queues that own the items.
//
// Threads. An item belongs to one queue at a time, or to the one thread that
// took it out; it is never shared. A queue may be used from any thread:
// each operation takes the queue's own lock for its duration and no other
// lock, so a queue can be used under the component's queue lock. Pointers
// that GetRequest and Find return stay valid only while nobody else takes
// the item out; the component calls them under its queue lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "base/kfxBase_Hash.h"
#include "http2/core/kfxHTTP2_Classes.h"
#include "rtl/Streams.h"
#include "rtl/System.h"

// The ID of a queued request: 128 random bits, written as 32 upper-case
// hexadecimal digits wherever it appears as text.
struct TkfxHTTP2_RequestKey {
  uint64_t Hi = 0;
  uint64_t Lo = 0;
  bool operator==(const TkfxHTTP2_RequestKey&) const = default;
  // A new random key.
  static TkfxHTTP2_RequestKey New();
  // The key of a text ID; false when aID is not 32 hexadecimal digits.
  static bool Parse(const std::string& aID, TkfxHTTP2_RequestKey& aKey);
  std::string Text() const;
  // The same, written into aOut (its storage reused).
  void TextTo(std::string& aOut) const;
};

// One queued request: method, URL and request settings shared read-only
// with the items queued alongside it, and its own copy of the body.
class TkfxHTTP2_Request : public TObject {
 public:
  // A new item with a new ID and a copy of aBody (aHasBody false: none).
  static std::unique_ptr<TkfxHTTP2_Request> Create(Th2Methods aMethod, std::shared_ptr<const std::string> aURL,
                                                   std::shared_ptr<const TkfxHTTP2Request> aRequest,
                                                   bool aHasBody, std::span<const uint8_t> aBody);
  // The whole of aSource, as a synchronous request sends it: a stream just
  // written (its position at the end) still has its body queued. The
  // stream's position is left as it was.
  static std::unique_ptr<TkfxHTTP2_Request> Create(Th2Methods aMethod, std::shared_ptr<const std::string> aURL,
                                                   std::shared_ptr<const TkfxHTTP2Request> aRequest,
                                                   TStream* aSource);

  // The ID as 32 hexadecimal digits.
  std::string ID() const { return FKey.Text(); }
  const TkfxHTTP2_RequestKey& Key() const { return FKey; }
  void SetKey(const TkfxHTTP2_RequestKey& aValue) { FKey = aValue; }
  Th2Methods Method() const { return FMethod; }
  // How often the item was sent again on a new connection.
  int NumReq() const { return FNumReq; }
  void SetNumReq(int aValue) { FNumReq = aValue; }
  // How often the server refused it unprocessed.
  int NumRefused() const { return FNumRefused; }
  void SetNumRefused(int aValue) { FNumRefused = aValue; }
  // The request settings of the item: a read-only copy that items queued
  // one after another with unchanged settings share.
  const TkfxHTTP2Request& Request() const;
  const std::shared_ptr<const TkfxHTTP2Request>& SharedRequest() const { return FRequest; }
  bool HasBody() const { return FHasBody; }
  std::span<const uint8_t> Body() const { return {FBody.get(), FBodySize}; }
  const std::string& URL() const;
  const std::shared_ptr<const std::string>& SharedURL() const { return FURL; }

 private:
  TkfxHTTP2_Request() = default;
  // Room for aSize octets (Create has checked that the size fits).
  void SetBodySize(size_t aSize);

  TkfxHTTP2_RequestKey FKey;
  std::shared_ptr<const TkfxHTTP2Request> FRequest;
  std::shared_ptr<const std::string> FURL;
  // The body's octets: a plain array and its size, as the smallest storage
  // for many queued items.
  std::unique_ptr<uint8_t[]> FBody;
  uint32_t FBodySize = 0;
  int FNumReq = 0;
  int FNumRefused = 0;
  Th2Methods FMethod = Th2Methods::h2meGet;
  bool FHasBody = false;
};

using TkfxHTTP2_RequestPtr = std::unique_ptr<TkfxHTTP2_Request>;

// An ordered queue of requests that owns its items. An indexed queue finds
// items by ID through a hash index; the others search. Items move between
// queues with Take and Append/Prepend.
class TkfxHTTP2_Requests : public TObject {
 public:
  explicit TkfxHTTP2_Requests(bool aIndexed = true) : FIndexed(aIndexed) {}
  TkfxHTTP2_Requests(const TkfxHTTP2_Requests&) = delete;
  TkfxHTTP2_Requests& operator=(const TkfxHTTP2_Requests&) = delete;

  bool Enabled() const { return FEnabled.load(); }
  void SetEnabled(bool aValue) { FEnabled.store(aValue); }

  // The first item while Enabled; null otherwise. It stays in the queue.
  TkfxHTTP2_Request* GetRequest();
  TkfxHTTP2_Request* Find(const std::string& aID);
  void Append(TkfxHTTP2_RequestPtr aItem);
  void Prepend(TkfxHTTP2_RequestPtr aItem);
  // Takes the item with that ID out; null when there is none.
  TkfxHTTP2_RequestPtr Take(const std::string& aID);
  TkfxHTTP2_RequestPtr Take(const TkfxHTTP2_RequestKey& aKey);
  TkfxHTTP2_RequestPtr TakeFirst();
  // Takes every item out, first to last.
  std::deque<TkfxHTTP2_RequestPtr> TakeAll();
  int Count();
  bool Empty();
  // Frees every item.
  void Clear();

 private:
  using TItems = std::list<TkfxHTTP2_RequestPtr>;
  struct TKeyHash {
    // The bits are random already.
    uint64_t operator()(const TkfxHTTP2_RequestKey& aKey) const { return aKey.Hi ^ aKey.Lo; }
  };
  // Under FLock; FItems.end() when there is none.
  TItems::iterator FindLocked(const TkfxHTTP2_RequestKey& aKey);
  TkfxHTTP2_RequestPtr TakeLocked(TItems::iterator aAt);
  void Insert(TItems::iterator aBefore, TkfxHTTP2_RequestPtr aItem);

  const bool FIndexed;
  std::atomic<bool> FEnabled{false};
  std::mutex FLock;
  TItems FItems;  // guarded by FLock, first to last
  // Guarded by FLock: where each item sits in FItems, when FIndexed.
  TkfxHashIndex<TkfxHTTP2_RequestKey, TItems::iterator, TKeyHash> FIndex;
};
