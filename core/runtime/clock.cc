#include "core/runtime/clock.h"

#include <time.h>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

namespace uptime {

int64_t getUpTime() {
  timespec ts{};
  if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return 0;
  return static_cast<int64_t>(ts.tv_sec) * 1000 + static_cast<int64_t>(ts.tv_nsec) / 1000000;
}

}  // namespace uptime

namespace {

class RealClock final : public Clock {
 public:
  std::chrono::steady_clock::time_point steadyNow() const override {
    return std::chrono::steady_clock::now();
  }
  int64_t wallMicros() const override {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  int64_t upTimeMillis() const override { return uptime::getUpTime(); }
  void waitUntil(tembrolexin::CondVar& cv, std::unique_lock<tembrolexin::Mutex>& lock,
                 std::chrono::steady_clock::time_point deadline) const override {
    cv.wait_until(lock, deadline);
  }
};

}  // namespace

const Clock& Clock::real() {
  // Never destroyed, so that timers running during static destruction can
  // still read it.
  static const RealClock* clock = new RealClock();
  return *clock;
}

}  // namespace tembrolexinsdk
