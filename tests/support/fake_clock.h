// A clock for tests: time stands still until the test advances it.
//
// `advance(d)` moves the steady clock, the wall clock and the up-time together;
// the setters move one reading alone (for example the wall clock jumping while
// the steady clock does not). Components that wait for a deadline through
// `waitUntil` are woken within a millisecond of real time after an advance.
// `waitCount()` counts the calls of `waitUntil`, so a test can tell that a
// timer thread has looked at the clock again since the last advance
// (`awaitWaits`) before it checks that nothing fired; `awaitDeadline` tells it
// that a countdown to a given deadline is running.
//
// Thread-safe: every operation may be called from any thread.
#ifndef TL_TESTS_SUPPORT_FAKE_CLOCK_H_
#define TL_TESTS_SUPPORT_FAKE_CLOCK_H_

#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/runtime/clock.h"

namespace tltest {

class FakeClock final : public tembrolexinsdk::Clock {
 public:
  // Wall clock at 2026-12-06 00:00:00 UTC, up-time 1 hour, steady clock at an
  // arbitrary point far from zero.
  static constexpr int64_t kStartWallMicros = 1796515200LL * 1000000;
  static constexpr int64_t kStartUpTimeMillis = 3600 * 1000;

  FakeClock();

  std::chrono::steady_clock::time_point steadyNow() const override;
  int64_t wallMicros() const override;
  int64_t upTimeMillis() const override;
  void waitUntil(tembrolexin::CondVar& cv, std::unique_lock<tembrolexin::Mutex>& lock,
                 std::chrono::steady_clock::time_point deadline) const override;

  void advance(std::chrono::microseconds d);
  void setWallMicros(int64_t micros) { wall_.store(micros); }
  void advanceWall(std::chrono::microseconds d) { wall_.fetch_add(d.count()); }
  void setUpTimeMillis(int64_t ms) { upTime_.store(ms * 1000); }

  uint64_t waitCount() const { return waits_.load(); }
  // Blocks (in real time, at most 5 s) until waitCount() >= count; false on
  // time-out.
  bool awaitWaits(uint64_t count) const;
  // Blocks (in real time, at most 5 s) until the latest waitUntil call waited
  // for exactly `deadline`; false on time-out. Tells a test that a timer
  // thread has begun the countdown it asked for, and not merely looked at
  // the clock during an earlier one.
  bool awaitDeadline(std::chrono::steady_clock::time_point deadline) const;

 private:
  std::atomic<int64_t> steady_;  // steady clock, nanoseconds since its epoch
  std::atomic<int64_t> wall_;
  std::atomic<int64_t> upTime_;  // microseconds since boot
  mutable std::atomic<uint64_t> waits_{0};
  // Deadline of the latest waitUntil call, nanoseconds since the steady
  // clock's epoch.
  mutable std::atomic<int64_t> lastDeadline_{0};
};

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_FAKE_CLOCK_H_
