// The connection slot of the HTTP/2 client component: which connection is
// the live one (the one whose writes may reach the TCP client's command
// queue), whether it got a GOAWAY, whether its end has been handled, and
// when the next activation is queued: once for a burst of queued requests,
// at once for a reconnect, or, after a 429 TooManyProviderTokenUpdates,
// held back by a delay that doubles with each refusal and queued then by the
// reconnect thread.
//
// The connection object itself sits in the TCP client's slot
// (SetConnectionSlot), which also frees it once; this part keeps what the
// HTTP/2 component decides about it.
//
// Threads. The read thread makes connections live and ends them; the
// caller's thread and the request thread ask whether a connection is live
// and queue connects; the reconnect thread queues the connect that was held
// back. The live lock is held while a write is handed on (WhileLive), so the
// end of a connection and a write of it never interleave. The delay lock
// guards the held-back connect and the reconnect thread, the back-off lock
// the growing of the delay; the rest are atomics. No lock is held while the
// host's activation is queued, except that WhileLive runs its write under
// the live lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "rtl/Thread.h"

class TkfxHTTP2_ConnectionSlot;

// Queues a component's delayed connect once its time has come.
class TkfxHTTP2_ThreadReconnect : public TThread {
 public:
  explicit TkfxHTTP2_ThreadReconnect(TkfxHTTP2_ConnectionSlot* aSlot);

 protected:
  void Execute() override;
  void TerminatedSet() override;

 private:
  TkfxHTTP2_ConnectionSlot* FSlot;
};

class TkfxHTTP2_ConnectionSlot {
 public:
  // What the slot needs of its component.
  struct THost {
    // The component is going: no connect is queued any more.
    std::function<bool()> Stopping;
    // Queues one activation on the TCP client's command queue.
    std::function<void()> QueueActivation;
    // How long one activation may take at most, in milliseconds.
    std::function<int64_t()> ActivationBudgetMs;
  };

  explicit TkfxHTTP2_ConnectionSlot(THost aHost);
  TkfxHTTP2_ConnectionSlot(const TkfxHTTP2_ConnectionSlot&) = delete;
  TkfxHTTP2_ConnectionSlot& operator=(const TkfxHTTP2_ConnectionSlot&) = delete;
  ~TkfxHTTP2_ConnectionSlot();

  // --- the live connection (identified by address, never dereferenced) ---
  // aConnection starts: live, no GOAWAY, its end not handled yet (it may
  // sit where an ended one was freed).
  void Start(const void* aConnection);
  // aConnection is no longer live, when it was.
  void EndLive(const void* aConnection);
  bool IsLive(const void* aConnection);
  // Runs aWrite under the live lock when aConnection is the live one; false
  // when it is not (its octets must not reach the next connection).
  bool WhileLive(const void* aConnection, const std::function<void()>& aWrite);
  // aConnection got a GOAWAY: it takes no new requests.
  void SetGoneAway(const void* aConnection) { FGoAwayOn.store(aConnection); }
  // A GOAWAY of an ended connection never blocks the next one.
  bool GoneAway(const void* aConnection) const { return aConnection && FGoAwayOn.load() == aConnection; }
  // True once per connection: the caller handles its end.
  bool ClaimEnd(const void* aConnection) { return FEndHandled.exchange(aConnection) != aConnection; }

  // --- connects ---
  // Queues one activation, unless one is queued or running already: a burst
  // of queued requests before any connection makes one activation, not one
  // each. aAlways queues it even so: a reconnect after a connection ended
  // must not be taken for a connect that ran before the end was handled.
  // During a back-off the connect is held back instead. Raises what the
  // activation's queueing raised.
  void QueueConnect(bool aAlways = false);
  // The queued activation has run (or failed): the next may be queued.
  void ConnectDone() { FConnectQueuedAt.store(0); }
  // Connected by other means (a synchronous request): nothing to hold back.
  void CancelDelayedConnect();
  // Stops the reconnect thread and forgets a held-back connect.
  void StopReconnectThread();

  // --- back-off after a 429 TooManyProviderTokenUpdates ---
  // The server refused a new token: connects wait, first aFirstMs, then
  // twice as long with each refused reconnect up to aMaxMs. Refusals of
  // requests sent before the delay was set count once.
  void BackOff();
  // Any other answer, another server or another token: no more waiting.
  void EndBackOff();
  void SetBackoffBounds(int aFirstMs, int aMaxMs);
  // The delay in force, in milliseconds; 0 when none.
  int64_t Backoff() const { return FBackoffMs.load(); }
  // A connect is being held back.
  bool ConnectDelayed();

 private:
  friend class TkfxHTTP2_ThreadReconnect;
  // Holds a queued connect until aAt (steady clock milliseconds).
  void DelayConnect(int64_t aAt);
  void RunDelayedConnects(TkfxHTTP2_ThreadReconnect& aThread);

  const THost FHost;

  std::mutex FLiveLock;
  const void* FLive = nullptr;  // guarded by FLiveLock
  std::atomic<const void*> FGoAwayOn{nullptr};
  std::atomic<const void*> FEndHandled{nullptr};
  // When the queued connect was queued (monotonic milliseconds), 0 when
  // none is queued or running.
  std::atomic<int64_t> FConnectQueuedAt{0};

  std::mutex FBackoffLock;
  std::atomic<int> FBackoffFirstMs{1000}, FBackoffMaxMs{30000};
  std::atomic<int64_t> FBackoffMs{0};         // 0: none in force
  std::atomic<int64_t> FConnectNotBefore{0};  // steady clock milliseconds

  std::mutex FDelayLock;
  std::condition_variable FDelayChanged;
  int64_t FDelayedConnectAt = 0;                           // guarded by FDelayLock; 0: none
  TkfxHTTP2_ThreadReconnect* FThreadReconnect = nullptr;  // guarded by FDelayLock
};
