// The outcomes of a batch as they arrive on the client's threads: which
// device tokens still wait for one, the counts, the output lines and the
// progress line. One lock guards the state; only the main thread writes.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "base/kfxBase_Hash.h"
#include "tools/apns-push/output.h"

namespace apns_push {

using Clock = std::chrono::steady_clock;

// The outcomes of a batch: which tokens wait for one, the counts, and the
// output. The client's threads hand outcomes in (Done) and go on at once;
// the main thread writes the lines when it waits (Wait, Flush), so the
// read threads never format or write. The main thread is woken only when
// it has something to do: a connection's outstanding count fell to the low
// water mark (room to queue more), or nothing is outstanding any more.
class Outcomes {
 public:
  // aTotal: the device tokens in all, 0 when not known.
  // aOut receives the lines (standard output in the program).
  // aLowWater: the outstanding count per client at which a waiting main
  // thread is woken to queue more.
  Outcomes(bool aText, size_t aTotal, size_t aClients, std::ostream& aOut = std::cout, size_t aLowWater = 0)
      : FText(aText), FTotal(aTotal), FOut(aOut), FLowWater(aLowWater), FOutstanding(aClients, 0) {}

  // aToken is about to be queued on client aClient.
  void Queued(size_t aClient, const std::string& aToken) {
    const Entry entry{aClient, Clock::now()};
    std::lock_guard guard(FLock);
    if (Waits* waits = FWaiting.Find(aToken))
      waits->More.push_back(entry);
    else
      FWaiting.Set(aToken, Waits{entry, {}});
    ++FOutstanding[aClient];
    ++FOutstandingTotal;
    ++FSent;
  }

  // The outcome of a queued token. The first outcome of a token queued on
  // aClient counts; one that arrives after the token got its line (given up
  // meanwhile) is dropped, so no token gets two.
  void Done(size_t aClient, Result r) {
    const auto now = Clock::now();
    std::lock_guard guard(FLock);
    Waits* waits = FWaiting.Find(r.Token);
    if (!waits) return;
    Clock::time_point start;
    if (waits->First.Client == aClient) {
      start = waits->First.Start;
      if (waits->More.empty()) {
        FWaiting.Erase(r.Token);
      } else {
        waits->First = waits->More.front();
        waits->More.erase(waits->More.begin());
      }
    } else {
      auto entry = std::find_if(waits->More.begin(), waits->More.end(),
                                [&](const Entry& e) { return e.Client == aClient; });
      if (entry == waits->More.end()) return;
      start = entry->Start;
      waits->More.erase(entry);
    }
    r.Millis = std::chrono::duration<double, std::milli>(now - start).count();
    --FOutstanding[aClient];
    --FOutstandingTotal;
    FLastProgress = now;
    Count(std::move(r));
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
  // Main thread: writes out the lines that arrived.
  void Flush() {
    std::vector<Result> done;
    {
      std::lock_guard guard(FLock);
      done.swap(FDone);
    }
    FLines.clear();
    for (Result& r : done) {
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
  void Progress(Clock::time_point aStart) {
    std::lock_guard guard(FLock);
    const double secs = std::chrono::duration<double>(Clock::now() - aStart).count();
    const size_t done = FAccepted + FRejected + FFailed;
    const double rate = secs > 0 ? done / secs : 0;
    // Tokens from standard input are not counted beforehand: no total then.
    std::string total, left;
    if (FTotal && FTotal >= done) {
      total = "/" + std::to_string(FTotal);
      char text[48];
      std::snprintf(text, sizeof text, ", %.0f s left", rate > 0 ? (FTotal - done) / rate : 0.0);
      left = text;
    }
    std::fprintf(stderr, "\rsent %zu%s, answered %zu, failed %zu, %.0f/s%s ", FSent, total.c_str(),
                 FAccepted + FRejected, FFailed, rate, left.c_str());
  }

  size_t Accepted() const { return FAccepted; }
  size_t Rejected() const { return FRejected; }
  size_t Failed() const { return FFailed; }
  size_t Lines() const { return FAccepted + FRejected + FFailed; }

 private:
  struct Entry {
    size_t Client = 0;
    Clock::time_point Start;
  };
  // The queued entries of one token: almost always one, so the first is
  // kept in place and only a token given more than once uses More.
  struct Waits {
    Entry First;
    std::vector<Entry> More;
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
  // Under FLock.
  void WakeMain() {
    FWake = true;
    if (FMainWaiting) FChanged.notify_one();
  }

  const bool FText;
  const size_t FTotal;
  std::ostream& FOut;
  const size_t FLowWater;
  std::string FLines;  // main thread: the lines being written
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FMainWaiting = false, FWake = false;
  // Tokens queued and waiting for their outcome; a token given twice waits twice.
  TkfxHashIndex<std::string, Waits> FWaiting;
  std::vector<size_t> FOutstanding;  // per client
  size_t FOutstandingTotal = 0;
  std::vector<Result> FDone;  // outcomes not written yet
  size_t FSent = 0, FAccepted = 0, FRejected = 0, FFailed = 0;
  Clock::time_point FLastProgress = Clock::now();
};

}  // namespace apns_push
