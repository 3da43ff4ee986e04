// The outcomes of a batch as they arrive on the client's threads: which
// device tokens still wait for one, the retries due later, the counts, the
// output lines and the progress line. One lock guards the state; only the
// main thread writes.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "base/kfxBase_Hash.h"
#include "tools/apns-push/notification.h"
#include "tools/apns-push/output.h"
#include "tools/apns-push/summary.h"

namespace apns_push {

using Clock = std::chrono::steady_clock;

// How a batch retries: at most Retries more sends of a notification that
// got a retriable answer (after a back-off that doubles from FirstDelay up
// to MaxDelay, with jitter), or, with ResendCutOff, whose connection ended
// before its answer (at once).
struct RetryPolicy {
  int Retries = 3;
  bool ResendCutOff = false;
  std::chrono::milliseconds FirstDelay{200};
  std::chrono::milliseconds MaxDelay{10000};
};

// The outcomes of a batch: which tokens wait for one, the counts, and the
// output. The client's threads hand outcomes in (Done) and go on at once;
// the main thread writes the lines when it waits (Wait, Flush), so the
// read threads never format or write. The main thread is woken only when
// it has something to do: a connection's outstanding count fell to the low
// water mark (room to queue more), or nothing is outstanding any more.
// An outcome that asks for a retry is not written: the notification waits
// (TakeDueRetries) until the main thread queues it again.
class Outcomes {
 public:
  // aTotal: the device tokens in all, 0 when not known.
  // aOut receives the lines (standard output in the program).
  // aLowWater: the outstanding count per client at which a waiting main
  // thread is woken to queue more.
  Outcomes(bool aText, size_t aTotal, size_t aClients, std::ostream& aOut = std::cout,
           size_t aLowWater = 0, RetryPolicy aRetry = {})
      : FText(aText), FTotal(aTotal), FOut(aOut), FLowWater(aLowWater), FRetry(aRetry),
        FOutstanding(aClients, 0) {}

  // aToken is about to be queued on client aClient (sent the first time).
  void Queued(size_t aClient, const std::string& aToken) {
    Notification n;
    n.Token = aToken;
    n.Attempts = 1;
    Queued(aClient, n);
  }
  // n is about to be queued on client aClient; n.Attempts counts this send.
  void Queued(size_t aClient, const Notification& n) {
    const Entry entry{aClient, Clock::now(), n.Attempts, n.Payload, n.Headers};
    std::lock_guard guard(FLock);
    if (Waits* waits = FWaiting.Find(n.Token))
      waits->More.push_back(entry);
    else
      FWaiting.Set(n.Token, Waits{entry, {}});
    ++FOutstanding[aClient];
    ++FOutstandingTotal;
    ++FSent;
  }

  // How a queued notification ended without an answer.
  enum class Unanswered {
    No,      // it was answered (or failed as the client says)
    CutOff,  // its connection ended before the answer
    NotSent  // taken back from the client before it was sent
  };
  // The outcome of a queued token. The first outcome of a token queued on
  // aClient counts; one that arrives after the token got its line (given up
  // meanwhile) is dropped, so no token gets two.
  void Done(size_t aClient, Result r, Unanswered aHow = Unanswered::No) {
    const bool aCutOff = aHow == Unanswered::CutOff;
    const auto now = Clock::now();
    std::lock_guard guard(FLock);
    Waits* waits = FWaiting.Find(r.Token);
    if (!waits) return;
    Entry entry;
    if (waits->First.Client == aClient) {
      entry = std::move(waits->First);
      if (waits->More.empty()) {
        FWaiting.Erase(r.Token);
      } else {
        waits->First = std::move(waits->More.front());
        waits->More.erase(waits->More.begin());
      }
    } else {
      auto at = std::find_if(waits->More.begin(), waits->More.end(),
                             [&](const Entry& e) { return e.Client == aClient; });
      if (at == waits->More.end()) return;
      entry = std::move(*at);
      waits->More.erase(at);
    }
    r.Millis = std::chrono::duration<double, std::milli>(now - entry.Start).count();
    r.Attempts = aHow == Unanswered::NotSent ? entry.Attempts - 1 : entry.Attempts;
    --FOutstanding[aClient];
    --FOutstandingTotal;
    FLastProgress = now;
    if (aHow != Unanswered::NotSent && entry.Attempts <= FRetry.Retries &&
        (aCutOff ? FRetry.ResendCutOff : RetriableAnswer(r.Status, r.Reason))) {
      Later(std::move(r), std::move(entry), aCutOff ? now : now + Backoff(entry.Attempts));
    } else {
      Count(std::move(r));
    }
    if (FOutstanding[aClient] == FLowWater || FOutstandingTotal == 0) WakeMain();
  }

  // A token that was never queued (malformed, or no connection to take it).
  void NotSent(Result r) {
    std::lock_guard guard(FLock);
    Count(std::move(r));
  }

  // Every token still waiting on aClient gets aReason as its outcome.
  void GiveUp(size_t aClient, const std::string& aReason) {
    const auto now = Clock::now();
    std::lock_guard guard(FLock);
    std::vector<std::string> emptied;
    FWaiting.ForEach([&](const std::string& aToken, Waits& aWaits) {
      auto give = [&](const Entry& e) {
        Result r;
        r.Token = aToken;
        r.Reason = aReason;
        r.Attempts = e.Attempts;
        r.Millis = std::chrono::duration<double, std::milli>(now - e.Start).count();
        Count(std::move(r));
        --FOutstanding[aClient];
        --FOutstandingTotal;
      };
      std::erase_if(aWaits.More, [&](const Entry& e) {
        if (e.Client != aClient) return false;
        give(e);
        return true;
      });
      if (aWaits.First.Client != aClient) return;
      give(aWaits.First);
      if (aWaits.More.empty()) {
        emptied.push_back(aToken);
      } else {
        aWaits.First = aWaits.More.front();
        aWaits.More.erase(aWaits.More.begin());
      }
    });
    for (const std::string& token : emptied) FWaiting.Erase(token);
    WakeMain();
  }

  // Main thread: the notifications whose retry is due by aNow, appended to
  // aOut with their sends so far (at most aMax of them).
  void TakeDueRetries(Clock::time_point aNow, std::vector<Notification>& aOut, size_t aMax) {
    std::lock_guard guard(FLock);
    if (FLater.empty() || FNextDue > aNow) return;
    Clock::time_point next = Clock::time_point::max();
    std::erase_if(FLater, [&](Retry& w) {
      if (w.Due > aNow || aOut.size() >= aMax) {
        next = std::min(next, w.Due);
        return false;
      }
      aOut.push_back(std::move(w.What));
      return true;
    });
    FNextDue = next;
  }
  // Main thread: every notification waiting for a retry gets its last
  // outcome as its line (the batch stops).
  void EndRetries() {
    std::lock_guard guard(FLock);
    for (Retry& w : FLater) Count(std::move(w.Last));
    FLater.clear();
  }
  // Notifications waiting for their retry.
  size_t RetriesWaiting() {
    std::lock_guard guard(FLock);
    return FLater.size();
  }

  size_t Outstanding(size_t aClient) {
    std::lock_guard guard(FLock);
    return FOutstanding[aClient];
  }
  size_t Outstanding() {
    std::lock_guard guard(FLock);
    return FOutstandingTotal;
  }
  Clock::time_point LastProgress() {
    std::lock_guard guard(FLock);
    return FLastProgress;
  }
  // Main thread: waits up to aTimeout for a reason to go on (see the class
  // comment), then writes out the lines that arrived.
  void Wait(std::chrono::milliseconds aTimeout) {
    {
      std::unique_lock lock(FLock);
      FMainWaiting = true;
      FChanged.wait_for(lock, aTimeout, [&] { return FWake; });
      FMainWaiting = false;
      FWake = false;
    }
    Flush();
  }
  // Wakes a main thread that waits (from a signal's watcher, say).
  void Wake() {
    std::lock_guard guard(FLock);
    WakeMain();
  }
  // Main thread: writes out the lines that arrived.
  void Flush() {
    std::vector<Result> done;
    {
      std::lock_guard guard(FLock);
      done.swap(FDone);
    }
    FLines.clear();
    for (Result& r : done) {
      FSummary.Add(r);
      AppendResultLine(FLines, std::move(r), FText);
      FLines += '\n';
    }
    FOut.write(FLines.data(), static_cast<std::streamsize>(FLines.size()));
    FOut.flush();
    // The next batch reuses the storage.
    done.clear();
    std::lock_guard guard(FLock);
    if (FDone.empty()) FDone.swap(done);
  }
  // The progress line on stderr; aSkipped device tokens were left out as
  // done in an earlier run (they count towards the total).
  void Progress(Clock::time_point aStart, size_t aSkipped = 0) {
    std::lock_guard guard(FLock);
    const double secs = std::chrono::duration<double>(Clock::now() - aStart).count();
    const size_t done = FAccepted + FRejected + FFailed + aSkipped;
    const double rate = secs > 0 ? (done - aSkipped) / secs : 0;
    // Tokens from standard input are not counted beforehand: no total then.
    std::string total, left, retrying;
    if (FTotal && FTotal >= done) {
      total = "/" + std::to_string(FTotal);
      char text[48];
      std::snprintf(text, sizeof text, ", %.0f s left", rate > 0 ? (FTotal - done) / rate : 0.0);
      left = text;
    }
    if (!FLater.empty()) retrying = ", " + std::to_string(FLater.size()) + " to retry";
    std::fprintf(stderr, "\rdone %zu%s, accepted %zu, failed %zu%s, %.0f/s%s ", done,
                 total.c_str(), FAccepted, FRejected + FFailed, retrying.c_str(), rate,
                 left.c_str());
  }

  size_t Accepted() const { return FAccepted; }
  size_t Rejected() const { return FRejected; }
  size_t Failed() const { return FFailed; }
  size_t Lines() const { return FAccepted + FRejected + FFailed; }
  // Main thread: the figures of the lines written so far.
  Summary& Figures() { return FSummary; }

 private:
  struct Entry {
    size_t Client = 0;
    Clock::time_point Start;
    int Attempts = 1;
    std::shared_ptr<const std::string> Payload;
    std::shared_ptr<const TkfxAPNsHeaders> Headers;
  };
  // The queued entries of one token: almost always one, so the first is
  // kept in place and only a token given more than once uses More.
  struct Waits {
    Entry First;
    std::vector<Entry> More;
  };
  // A notification waiting to be sent again, with the outcome it gets if
  // the batch stops first.
  struct Retry {
    Clock::time_point Due;
    Notification What;
    Result Last;
  };
  // Under FLock: counts the outcome and keeps it for the main thread.
  void Count(Result&& r) {
    if (r.Status == 200)
      ++FAccepted;
    else if (r.Status)
      ++FRejected;
    else
      ++FFailed;
    FDone.push_back(std::move(r));
  }
  // Under FLock: the notification of e waits to be sent again at aDue.
  void Later(Result&& r, Entry&& e, Clock::time_point aDue) {
    Retry w;
    w.Due = aDue;
    w.What.Token = r.Token;
    w.What.Payload = std::move(e.Payload);
    w.What.Headers = std::move(e.Headers);
    w.What.Attempts = e.Attempts;
    w.Last = std::move(r);
    FLater.push_back(std::move(w));
    FNextDue = std::min(FNextDue, aDue);
  }
  // Under FLock: the wait before send aAttempts + 1, with jitter: between
  // half and all of FirstDelay doubled for each send so far.
  Clock::duration Backoff(int aAttempts) {
    auto delay = FRetry.FirstDelay * (int64_t{1} << std::min(aAttempts - 1, 20));
    if (delay > FRetry.MaxDelay) delay = FRetry.MaxDelay;
    FRandom ^= FRandom << 13;
    FRandom ^= FRandom >> 7;
    FRandom ^= FRandom << 17;
    const double share = 0.5 + static_cast<double>(FRandom >> 11) / 9007199254740992.0 / 2;
    return std::chrono::duration_cast<Clock::duration>(delay * share);
  }
  // Under FLock.
  void WakeMain() {
    FWake = true;
    if (FMainWaiting) FChanged.notify_one();
  }

  const bool FText;
  const size_t FTotal;
  std::ostream& FOut;
  const size_t FLowWater;
  const RetryPolicy FRetry;
  std::string FLines;  // main thread: the lines being written
  Summary FSummary;    // main thread
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FMainWaiting = false, FWake = false;
  // Tokens queued and waiting for their outcome; a token given twice waits twice.
  TkfxHashIndex<std::string, Waits> FWaiting;
  std::vector<size_t> FOutstanding;  // per client
  size_t FOutstandingTotal = 0;
  std::vector<Result> FDone;  // outcomes not written yet
  std::vector<Retry> FLater;  // waiting for a retry
  Clock::time_point FNextDue = Clock::time_point::max();
  uint64_t FRandom = static_cast<uint64_t>(Clock::now().time_since_epoch().count()) | 1;
  size_t FSent = 0, FAccepted = 0, FRejected = 0, FFailed = 0;
  Clock::time_point FLastProgress = Clock::now();
};

}  // namespace apns_push
