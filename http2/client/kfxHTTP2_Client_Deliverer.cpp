#include "http2/client/kfxHTTP2_Client_Deliverer.h"

#include "base/kfxBase_Errors.h"
#include "base/kfxWebSocket_Helpers.h"

TkfxHTTP2_Deliverer::TkfxHTTP2_Deliverer(const void* aOwner, TMode aMode, TStopping aStopping, TReport aReport)
    : FOwner(aOwner), FMode(std::move(aMode)), FStopping(std::move(aStopping)), FReport(std::move(aReport)) {}

void TkfxHTTP2_Deliverer::ReportFailure(std::exception_ptr aFailure) {
  try {
    ::ReportFailure(aFailure, [this](Exception& E) {
      try {
        FReport(E);
      } catch (...) {
        // The report's own handler failed: there is nowhere left to report
        // to, and the event it reports on has been delivered already.
      }
    });
  } catch (...) {
    // Neither an Exception nor a std::exception: it carries no text to
    // report, and letting it out would stop the other records' delivery.
  }
}

void TkfxHTTP2_Deliverer::Deliver(TList aList, std::function<void()> aRaise) {
  if (Stopping()) return;
  const TwsNotifyEvent mode = FMode();
  if (mode == TwsNotifyEvent::neNoSync) {
    try {
      aRaise();
    } catch (...) {
      ReportFailure(std::current_exception());
    }
    return;
  }
  TNotifyList& list = FLists[static_cast<size_t>(aList)];
  {
    std::lock_guard guard(list.Lock);
    list.Items.push_back(std::move(aRaise));
  }
  std::shared_ptr<std::atomic<bool>> alive = FAlive;
  auto drain = [this, alive, &list] {
    if (alive->load()) Drain(list);
  };
  if (mode == TwsNotifyEvent::neSynchronous)
    SynchronizeOnMainThread(drain);
  else
    QueueOnMainThread(drain, FOwner);
}

void TkfxHTTP2_Deliverer::Drain(TNotifyList& aList) {
  if (Stopping()) return;
  std::shared_ptr<std::atomic<bool>> alive = FAlive;
  {
    std::lock_guard guard(aList.Lock);
    // A drain of this list further up the stack delivers in order.
    if (aList.Draining) return;
    aList.Draining = true;
  }
  for (;;) {
    std::deque<std::function<void()>> batch;
    {
      std::lock_guard guard(aList.Lock);
      batch.swap(aList.Items);
      if (batch.empty()) {
        aList.Draining = false;
        return;
      }
    }
    for (auto& raise : batch) {
      try {
        raise();
      } catch (...) {
        if (!alive->load()) return;
        ReportFailure(std::current_exception());
      }
      // The owner was freed inside the handler: touch nothing of it.
      if (!alive->load()) return;
    }
  }
}

void TkfxHTTP2_Deliverer::DeliverAndWait(bool aAssigned, const std::function<void()>& aRaise) {
  if (Stopping()) return;
  // Nobody handles it, or the producer may wait for itself: run it here.
  if (!aAssigned || FMode() == TwsNotifyEvent::neNoSync || IsMainThread()) {
    aRaise();
    return;
  }
  std::shared_ptr<std::atomic<bool>> alive = FAlive;
  SynchronizeOnMainThread([&aRaise, alive] {
    if (alive->load()) aRaise();
  });
}
