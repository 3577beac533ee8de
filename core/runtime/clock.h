// The one seam through which timers and time providers read time.
//
// Three readings: the steady clock (timelines and countdowns), the wall clock
// in microseconds since the Unix epoch (repeat guards, epoch stamps) and the
// up-time in milliseconds since boot. `Clock::real()` reads the machine's
// clocks; tests hand a fake clock that they advance by hand.
//
// A component that waits for a deadline asks its clock to do the waiting
// (`waitUntil`), so that a fake clock can wake it when it is advanced instead
// of the component sleeping in real time.
//
// Thread safety: every operation of every Clock may be called from any thread
// at any time. `Clock::real()` lives for the whole run.
#ifndef TL_CORE_RUNTIME_CLOCK_H_
#define TL_CORE_RUNTIME_CLOCK_H_

#include <chrono>
#include <cstdint>
#include <mutex>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

// Timeline positions and delays are clamped to +/- this many milliseconds
// (100 years), so that adding them to a steady-clock time (nanoseconds in 64
// bits) cannot overflow.
inline constexpr int64_t kMaxTimerMillis = 100LL * 365 * 24 * 3600 * 1000;

inline int64_t clampTimerMillis(int64_t ms) {
  return ms > kMaxTimerMillis ? kMaxTimerMillis : (ms < -kMaxTimerMillis ? -kMaxTimerMillis : ms);
}

class Clock {
 public:
  virtual ~Clock() = default;

  virtual std::chrono::steady_clock::time_point steadyNow() const = 0;
  // Wall clock, microseconds since 1970-01-01 00:00:00 UTC.
  virtual int64_t wallMicros() const = 0;
  // Milliseconds since the device booted: the core's up-time
  // (uptime::getUpTime), on which steady time stamps are taken.
  virtual int64_t upTimeMillis() const = 0;

  // Waits on `cv` (whose mutex `lock` holds) until notified or until
  // steadyNow() reaches `deadline`, whichever comes first; may also return
  // early for no reason. Callers re-check their own state and the time after
  // every return.
  virtual void waitUntil(tembrolexin::CondVar& cv, std::unique_lock<tembrolexin::Mutex>& lock,
                         std::chrono::steady_clock::time_point deadline) const = 0;

  // The machine's clocks. Never null; never destroyed.
  static const Clock& real();
};

namespace uptime {

// Milliseconds since boot, suspended time included (CLOCK_BOOTTIME),
// truncated toward zero; 0 when the clock cannot be read.
//
// The core's up-time is the time base of every steady time stamp of the
// system: code words are stamped with it at capture, sync-engine messages
// carry it as their original up-time, network-time replies are paired with
// it, and whatever compares such a stamp with "now" (the sync engines, the
// platform's EVENT timing) reads it through Clock::upTimeMillis. It runs on
// while the machine is suspended, as the broadcast a track follows does; the
// steady clock (CLOCK_MONOTONIC) stops then, so it only measures intervals
// and deadlines.
int64_t getUpTime();

}  // namespace uptime

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_CLOCK_H_
