#include "tests/support/wait.h"

#include <thread>

#include "rtl/MainThread.h"

namespace apns_test {

bool WaitUntil(const std::function<bool()>& aDone, std::chrono::milliseconds aBound,
               const std::function<void()>& aStep) {
  const auto deadline = std::chrono::steady_clock::now() + aBound;
  for (;;) {
    if (aDone()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    aStep();
  }
}

bool WaitUntil(const std::function<bool()>& aDone, std::chrono::milliseconds aBound) {
  return WaitUntil(aDone, aBound, [] { std::this_thread::sleep_for(1ms); });
}

bool PumpUntil(const std::function<bool()>& aDone, std::chrono::milliseconds aBound) {
  // CheckSynchronize returns early when a call is queued, so the condition is
  // checked again as soon as a worker thread hands something over; a change
  // made on another thread without a queued call is seen within 2 ms (the
  // benchmarks that wait this way time their runs up to that point).
  return WaitUntil(aDone, aBound, [] { CheckSynchronize(2); });
}

void PumpFor(std::chrono::milliseconds aPeriod) {
  const auto until = std::chrono::steady_clock::now() + aPeriod;
  while (std::chrono::steady_clock::now() < until) CheckSynchronize(2);
}

}  // namespace apns_test
