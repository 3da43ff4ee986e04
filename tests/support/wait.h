// Waiting in tests: on an awaited condition, never on the clock alone, and
// always with an upper bound so that a fault fails the test instead of
// hanging it.
#pragma once

#include <chrono>
#include <functional>

namespace apns_test {

using namespace std::chrono_literals;

// The bound a wait gets when the caller names none: generous, since a wait
// ends as soon as its condition holds.
inline constexpr std::chrono::milliseconds kWaitBound = 10s;

// Checks aDone() about every millisecond until it holds (true) or aBound
// has passed (false). For conditions that other threads make true.
bool WaitUntil(const std::function<bool()>& aDone, std::chrono::milliseconds aBound = kWaitBound);

// Serves the main-thread queue (CheckSynchronize) between the checks, so that
// queued and synchronized calls of worker threads run while the test waits.
bool PumpUntil(const std::function<bool()>& aDone, std::chrono::milliseconds aBound = kWaitBound);

// Serves the main-thread queue for aPeriod: for checks that nothing further
// arrives once the awaited events are in.
void PumpFor(std::chrono::milliseconds aPeriod);

// Runs aStep between the checks (an event loop of its own, for example).
bool WaitUntil(const std::function<bool()>& aDone, std::chrono::milliseconds aBound,
               const std::function<void()>& aStep);

}  // namespace apns_test
