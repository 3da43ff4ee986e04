// The request scheduler of the HTTP/2 client component: the two queues of
// queued requests (Requests, not sent yet; RequestsPending, sent and not yet
// answered), the request thread that sends them in batches as the
// connection has free streams, and the moves between the queues when
// streams are refused or reset and when connections end and start.
//
// Threads. The caller's thread queues items (Queue); the request thread
// runs Run; the read thread takes answered and failed items out and puts
// items back at a reconnect. One lock (the queue lock) covers both queues
// together and the thread's view of whether it may send, so an item is in
// exactly one queue, or held by the one thread that took it out, at every
// moment; the queues' own locks nest inside it. The thread lock guards the
// thread object only. No lock of the scheduler is held while the host's
// callbacks run (they send, sign tokens and deliver events), except that
// the request thread checks IsLive under the queue lock, so IsLive takes
// no lock that is held while the queue lock is taken.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "http2/client/kfxHTTP2_Client_Connection.h"
#include "http2/client/kfxHTTP2_Client_Requests.h"
#include "rtl/Thread.h"

class TkfxHTTP2_Scheduler {
 public:
  // What the scheduler needs of its component.
  struct THost {
    // The connection the next batch goes to; null while there is none.
    std::function<TkfxHTTP2ConnectionClientRef()> Connection;
    // Whether aConnection's writes may reach the command queue.
    std::function<bool(TkfxHTTP2ConnectionClient*)> IsLive;
    // Whether aConnection got a GOAWAY.
    std::function<bool(TkfxHTTP2ConnectionClient*)> GoneAway;
    // Completes the copy of an item's settings that is sent: the token line
    // and the host. Raises when the item cannot be sent.
    std::function<void(TkfxHTTP2Request&)> Prepare;
    // aItem ends without an answer, for aReason.
    std::function<void(const TkfxHTTP2ConnectionClientRef&, TkfxHTTP2_RequestPtr, const std::string&)> Failed;
  };

  // Queued items the server refused unprocessed are sent again up to this
  // many times before they fail.
  static constexpr int MaxRefusedRetries = 100;

  explicit TkfxHTTP2_Scheduler(THost aHost);
  TkfxHTTP2_Scheduler(const TkfxHTTP2_Scheduler&) = delete;
  TkfxHTTP2_Scheduler& operator=(const TkfxHTTP2_Scheduler&) = delete;
  // The thread must have been stopped (StopThread).
  ~TkfxHTTP2_Scheduler();

  TkfxHTTP2_Requests& Requests() { return *FRequests; }
  TkfxHTTP2_Requests& RequestsPending() { return *FRequestsPending; }

  // Appends a request with a copy of aSource's whole content; items queued
  // one after another with the same aSettings and URL share one copy of them.
  void Queue(Th2Methods aMethod, const std::string& aURL, TStream* aSource, const TkfxHTTP2Request& aSettings);
  // Wakes the request thread to look at the queue and the connection again.
  void Wake();
  // Whether the connection takes requests: blocked once it got a GOAWAY or
  // is ending, until the next connection starts.
  void SetSendBlocked(bool aValue);
  // Whether anything is queued or pending.
  bool Any();

  // At a new connection: the items sent on the last one go back to the
  // front, ahead of those not sent yet, each with one more try counted;
  // the items out of tries (aMaxRetries) are returned, in their order.
  std::deque<TkfxHTTP2_RequestPtr> Requeue(int aMaxRetries);
  // Takes out the pending items and, with aQueuedToo, then the queued ones.
  std::deque<TkfxHTTP2_RequestPtr> TakeAll(bool aQueuedToo);
  // An answer came for the item aID: takes it out of the pending queue.
  // Null when its outcome was given already.
  TkfxHTTP2_RequestPtr Answered(const std::string& aID);
  // The stream of the item aID ended without an answer: aRetry when the
  // server did not process it (it goes back to the front, up to
  // MaxRefusedRetries times); aEnding when its connection is ending (a
  // stream reset then stays pending for the next connection). Returns the
  // item that fails, with aReason; null when it has none to give.
  TkfxHTTP2_RequestPtr StreamFailed(const std::string& aID, bool aRetry, bool aEnding, std::string& aReason);
  // An item whose retry is sent waits for its answer in the pending queue.
  void AddPending(TkfxHTTP2_RequestPtr aItem);
  TkfxHTTP2_RequestPtr TakePending(const std::string& aID);

  // Starts the request thread, made by aMake, unless it runs.
  void StartThread(const std::function<TThread*()>& aMake);
  // Stops the request thread and waits for it; from the thread itself (a
  // handler it runs) it only ends its loop.
  void StopThread();
  // The request thread's loop, until aThread is terminated.
  void Run(TThread& aThread);

 private:
  // What one run of the loop keeps from batch to batch.
  struct TRun;
  // Moves up to aLimit items from the queue to the pending queue and copies
  // what their sends need into aRun; returns how many. Under FQueueLock.
  size_t TakeBatch(TRun& aRun, size_t aLimit);
  // Sends the aCount items TakeBatch took; the ones not sent go back to the
  // front.
  void SendBatch(TRun& aRun, const TkfxHTTP2ConnectionClientRef& aConnection, size_t aCount);
  void Fail(const TkfxHTTP2ConnectionClientRef& aConnection, const TkfxHTTP2_RequestKey& aKey,
            const std::string& aReason);

  const THost FHost;
  const std::unique_ptr<TkfxHTTP2_Requests> FRequests;
  const std::unique_ptr<TkfxHTTP2_Requests> FRequestsPending;

  std::mutex FQueueLock;  // both queues together, and:
  std::condition_variable FQueueChanged;
  bool FSendBlocked = false;                              // the connection takes no more requests
  std::shared_ptr<const TkfxHTTP2Request> FLastSettings;  // shared by queued items
  std::shared_ptr<const std::string> FLastURL;            // the same for their URL

  std::mutex FThreadLock;
  TThread* FThread = nullptr;  // guarded by FThreadLock; released with Free
};
