#include "http2/client/kfxHTTP2_Client_ConnectionSlot.h"

#include <algorithm>
#include <chrono>

#include "base/kfxBase_Errors.h"

namespace {

int64_t SteadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// --- the reconnect thread ---

TkfxHTTP2_ThreadReconnect::TkfxHTTP2_ThreadReconnect(TkfxHTTP2_ConnectionSlot* aSlot)
    : TThread(false), FSlot(aSlot) {}

void TkfxHTTP2_ThreadReconnect::Execute() {
  NameThreadForDebugging("HTTP2Reconnect");
  FSlot->RunDelayedConnects(*this);
}

void TkfxHTTP2_ThreadReconnect::TerminatedSet() {
  { std::lock_guard guard(FSlot->FDelayLock); }
  FSlot->FDelayChanged.notify_all();
}

// --- the slot ---

TkfxHTTP2_ConnectionSlot::TkfxHTTP2_ConnectionSlot(THost aHost) : FHost(std::move(aHost)) {}

TkfxHTTP2_ConnectionSlot::~TkfxHTTP2_ConnectionSlot() { StopReconnectThread(); }

void TkfxHTTP2_ConnectionSlot::Start(const void* aConnection) {
  FEndHandled.store(nullptr);
  FGoAwayOn.store(nullptr);
  std::lock_guard guard(FLiveLock);
  FLive = aConnection;
}

void TkfxHTTP2_ConnectionSlot::EndLive(const void* aConnection) {
  std::lock_guard guard(FLiveLock);
  if (FLive == aConnection) FLive = nullptr;
}

bool TkfxHTTP2_ConnectionSlot::IsLive(const void* aConnection) {
  std::lock_guard guard(FLiveLock);
  return aConnection && FLive == aConnection;
}

bool TkfxHTTP2_ConnectionSlot::WhileLive(const void* aConnection, const std::function<void()>& aWrite) {
  std::lock_guard guard(FLiveLock);
  if (!aConnection || FLive != aConnection) return false;
  aWrite();
  return true;
}

void TkfxHTTP2_ConnectionSlot::QueueConnect(bool aAlways) {
  if (FHost.Stopping()) return;
  const int64_t now = SteadyMillis() | 1;
  // After a 429 TooManyProviderTokenUpdates the connect waits its turn.
  if (const int64_t notBefore = FConnectNotBefore.load(); now < notBefore) {
    DelayConnect(notBefore);
    return;
  }
  int64_t queued = FConnectQueuedAt.load();
  // A connect that never reported back (its thread ended first) holds
  // nothing up beyond its own time budget.
  const int64_t budget = FHost.ActivationBudgetMs();
  do {
    if (!aAlways && queued != 0 && now - queued < budget) return;
  } while (!FConnectQueuedAt.compare_exchange_weak(queued, now));
  try {
    FHost.QueueActivation();
  } catch (...) {
    // Not queued: the next request may queue one. The raise goes on.
    ConnectDone();
    throw;
  }
}

void TkfxHTTP2_ConnectionSlot::CancelDelayedConnect() {
  std::lock_guard guard(FDelayLock);
  FDelayedConnectAt = 0;
}

bool TkfxHTTP2_ConnectionSlot::ConnectDelayed() {
  std::lock_guard guard(FDelayLock);
  return FDelayedConnectAt != 0;
}

void TkfxHTTP2_ConnectionSlot::DelayConnect(int64_t aAt) {
  std::lock_guard guard(FDelayLock);
  if (FHost.Stopping()) return;
  FDelayedConnectAt = std::max(FDelayedConnectAt, aAt);
  if (!FThreadReconnect) FThreadReconnect = NewObject<TkfxHTTP2_ThreadReconnect>(this);
  FDelayChanged.notify_all();
}

void TkfxHTTP2_ConnectionSlot::RunDelayedConnects(TkfxHTTP2_ThreadReconnect& aThread) {
  std::unique_lock lock(FDelayLock);
  while (!aThread.Terminated()) {
    if (FDelayedConnectAt == 0) {
      FDelayChanged.wait(lock, [&] { return aThread.Terminated() || FDelayedConnectAt != 0; });
      continue;
    }
    const int64_t wait = FDelayedConnectAt - SteadyMillis();
    if (wait > 0) {
      FDelayChanged.wait_for(lock, std::chrono::milliseconds(wait));
      continue;
    }
    FDelayedConnectAt = 0;
    lock.unlock();
    try {
      // Its time has come: queued now, unless a newer refusal set a later one.
      QueueConnect(true);
    } catch (...) {
      // Nowhere to report to on this thread. Nothing waits on this connect
      // alone: the requests it was for stay queued, and the next request,
      // the watchdog or the next refusal queue one again.
    }
    lock.lock();
  }
}

void TkfxHTTP2_ConnectionSlot::StopReconnectThread() {
  TkfxHTTP2_ThreadReconnect* thread;
  {
    std::lock_guard guard(FDelayLock);
    thread = FThreadReconnect;
    FThreadReconnect = nullptr;
    FDelayedConnectAt = 0;
  }
  if (!thread) return;
  thread->Terminate();
  thread->Free();
}

void TkfxHTTP2_ConnectionSlot::BackOff() {
  std::lock_guard guard(FBackoffLock);
  const int64_t now = SteadyMillis();
  // Refusals of requests sent before the delay was set count once.
  if (FBackoffMs.load() != 0 && now < FConnectNotBefore.load()) return;
  const int64_t first = std::max(FBackoffFirstMs.load(), 1);
  const int64_t most = std::max<int64_t>(FBackoffMaxMs.load(), first);
  const int64_t previous = FBackoffMs.load();
  const int64_t next = previous == 0 ? first : std::min(previous * 2, most);
  FBackoffMs = next;
  FConnectNotBefore = now + next;
}

void TkfxHTTP2_ConnectionSlot::EndBackOff() {
  if (FBackoffMs.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard guard(FBackoffLock);
  FBackoffMs = 0;
  FConnectNotBefore = 0;
}

void TkfxHTTP2_ConnectionSlot::SetBackoffBounds(int aFirstMs, int aMaxMs) {
  FBackoffFirstMs = aFirstMs;
  FBackoffMaxMs = aMaxMs;
}
