// The outcomes of a batch as they arrive on the client's threads: which
// device tokens still wait for one, the counts, the output lines and the
// progress line. One lock guards it all; the main thread waits on it.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tools/apns-push/output.h"

namespace apns_push {

using Clock = std::chrono::steady_clock;

// The outcomes of a batch: which tokens wait for one, the counts, and the
// output, which the client's threads and the main thread share.
class Outcomes {
 public:
  // aTotal: the device tokens in all, 0 when not known.
  // aOut receives the lines (standard output in the program).
  Outcomes(bool aText, size_t aTotal, size_t aClients, std::ostream& aOut = std::cout)
      : FText(aText), FTotal(aTotal), FOut(aOut), FOutstanding(aClients, 0) {}

  // aToken is about to be queued on client aClient.
  void Queued(size_t aClient, const std::string& aToken) {
    std::lock_guard guard(FLock);
    FWaiting[aToken].push_back({aClient, Clock::now()});
    ++FOutstanding[aClient];
    ++FSent;
  }

  // The outcome of a queued token. The first outcome of a token queued on
  // aClient counts; one that arrives after the token got its line (given up
  // meanwhile) is dropped, so no token gets two.
  void Done(size_t aClient, Result r) {
    std::lock_guard guard(FLock);
    auto at = FWaiting.find(r.Token);
    if (at == FWaiting.end()) return;
    auto& list = at->second;
    auto entry = std::find_if(list.begin(), list.end(),
                              [&](const Entry& e) { return e.Client == aClient; });
    if (entry == list.end()) return;
    r.Millis = std::chrono::duration<double, std::milli>(Clock::now() - entry->Start).count();
    list.erase(entry);
    if (list.empty()) FWaiting.erase(at);
    --FOutstanding[aClient];
    Print(r);
    FLastProgress = Clock::now();
    FChanged.notify_all();
  }

  // A token that was never queued (malformed, or no connection to take it).
  void NotSent(Result r) {
    std::lock_guard guard(FLock);
    Print(r);
  }

  // Every token still waiting on aClient gets aReason as its outcome.
  void GiveUp(size_t aClient, const std::string& aReason) {
    std::lock_guard guard(FLock);
    for (auto at = FWaiting.begin(); at != FWaiting.end();) {
      auto& list = at->second;
      for (auto e = list.begin(); e != list.end();) {
        if (e->Client != aClient) {
          ++e;
          continue;
        }
        Result r;
        r.Token = at->first;
        r.Reason = aReason;
        r.Millis = std::chrono::duration<double, std::milli>(Clock::now() - e->Start).count();
        Print(r);
        e = list.erase(e);
        --FOutstanding[aClient];
      }
      at = list.empty() ? FWaiting.erase(at) : std::next(at);
    }
    FChanged.notify_all();
  }

  size_t Outstanding(size_t aClient) {
    std::lock_guard guard(FLock);
    return FOutstanding[aClient];
  }
  size_t Outstanding() {
    std::lock_guard guard(FLock);
    return FWaitingCount();
  }
  Clock::time_point LastProgress() {
    std::lock_guard guard(FLock);
    return FLastProgress;
  }
  // Waits up to aTimeout for an outcome, then writes out what is buffered.
  void Wait(std::chrono::milliseconds aTimeout) {
    std::unique_lock lock(FLock);
    FChanged.wait_for(lock, aTimeout);
    FOut.flush();
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
    size_t Client;
    Clock::time_point Start;
  };
  size_t FWaitingCount() const {
    size_t n = 0;
    for (size_t count : FOutstanding) n += count;
    return n;
  }
  void Print(const Result& r) {
    if (r.Status == 200)
      ++FAccepted;
    else if (r.Status)
      ++FRejected;
    else
      ++FFailed;
    FOut << ResultLine(r, FText) << '\n';
  }

  const bool FText;
  const size_t FTotal;
  std::ostream& FOut;
  std::mutex FLock;
  std::condition_variable FChanged;
  // Tokens queued and waiting for their outcome; a token given twice waits twice.
  std::unordered_map<std::string, std::deque<Entry>> FWaiting;
  std::vector<size_t> FOutstanding;  // per client
  size_t FSent = 0, FAccepted = 0, FRejected = 0, FFailed = 0;
  Clock::time_point FLastProgress = Clock::now();
};

}  // namespace apns_push
