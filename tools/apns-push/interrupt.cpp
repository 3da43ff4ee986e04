#include "tools/apns-push/interrupt.h"

#include <csignal>

#include <atomic>

namespace apns_push {

namespace {

std::atomic<int> gSignal{0};
std::atomic<bool> gTwice{false};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int aSignal) {
  int none = 0;
  if (!gSignal.compare_exchange_strong(none, aSignal)) gTwice.store(true);
}

}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int InterruptSignal() {
  return gSignal.load();
}

bool InterruptedTwice() {
  return gTwice.load();
}

}  // namespace apns_push
