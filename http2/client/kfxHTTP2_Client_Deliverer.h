// Delivery of the HTTP/2 client component's events to the application, in
// the three modes of NotifyEvents: neNoSync raises each event at once on the
// thread that produced it; neAsynchronous keeps a record per event and
// drains it on the main thread later; neSynchronous drains on the main
// thread and waits until it has run.
//
// Threads. Deliver and DeliverAndWait are called from any thread (the read
// thread, the request thread, the caller's). Each event kind has its own
// list with its own lock, held only to add a record or take a batch out,
// never while a handler runs, so a handler may deliver again. Drains run on
// the main thread; the records of one list are raised in the order they
// were delivered. Stop (the component's destruction) ends delivery: a drain
// already running stops after the handler it is in, even when that handler
// freed the component.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "base/kfxBase_Classes.h"
#include "rtl/System.h"

class TkfxHTTP2_Deliverer {
 public:
  // One list per kind of queued event.
  enum class TList { Connect, Disconnect, Exception, Response, ResponseFragment, GoAway, RequestFailed, Count };
  // The delivery mode now (read at each delivery: it may change).
  using TMode = std::function<TwsNotifyEvent()>;
  // Whether the owner is going: nothing is delivered then.
  using TStopping = std::function<bool()>;
  // Where a failing handler is reported: the owner's exception event. A
  // failure of the report itself is dropped.
  using TReport = std::function<void(Exception&)>;

  // aOwner tags the queued drains, so that the owner can discard them with
  // RemoveQueuedEvents(aOwner) when it is freed.
  TkfxHTTP2_Deliverer(const void* aOwner, TMode aMode, TStopping aStopping, TReport aReport);
  TkfxHTTP2_Deliverer(const TkfxHTTP2_Deliverer&) = delete;
  TkfxHTTP2_Deliverer& operator=(const TkfxHTTP2_Deliverer&) = delete;
  ~TkfxHTTP2_Deliverer() { Stop(); }

  // No delivery and no drain from now on.
  void Stop() { FAlive->store(false); }

  // Raises aRaise as the mode says: at once here (neNoSync), or as a record
  // of aList drained on the main thread, waiting for it (neSynchronous) or
  // not (neAsynchronous). A handler that raises is reported and its record
  // dropped.
  void Deliver(TList aList, std::function<void()> aRaise);
  // For events that answer through in-out parameters: runs aRaise on the
  // main thread and waits, unless the mode is neNoSync, aAssigned is false
  // (nobody handles it) or this is the main thread: then at once here. A
  // handler's raise reaches the caller.
  void DeliverAndWait(bool aAssigned, const std::function<void()>& aRaise);
  // Reports a failure caught earlier (std::current_exception()) as a
  // failing handler is reported.
  void ReportFailure(std::exception_ptr aFailure);

 private:
  struct TNotifyList {
    std::mutex Lock;
    std::deque<std::function<void()>> Items;  // guarded by Lock
    bool Draining = false;                    // guarded by Lock
  };

  void Drain(TNotifyList& aList);
  bool Stopping() const { return !FAlive->load() || FStopping(); }

  const void* const FOwner;
  const TMode FMode;
  const TStopping FStopping;
  const TReport FReport;
  std::array<TNotifyList, static_cast<size_t>(TList::Count)> FLists;
  // Queued drains hold it: they find out whether the deliverer is still there.
  const std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
};
