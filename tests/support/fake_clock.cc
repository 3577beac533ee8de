#include "tests/support/fake_clock.h"

#include <thread>

namespace tltest {

FakeClock::FakeClock()
    : steady_(int64_t{1000000} * 1000000000),
      wall_(kStartWallMicros),
      upTime_(kStartUpTimeMillis * 1000) {}

std::chrono::steady_clock::time_point FakeClock::steadyNow() const {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::nanoseconds(steady_.load())));
}

int64_t FakeClock::wallMicros() const { return wall_.load(); }

int64_t FakeClock::upTimeMillis() const { return upTime_.load() / 1000; }

void FakeClock::waitUntil(tembrolexin::CondVar& cv, std::unique_lock<tembrolexin::Mutex>& lock,
                          std::chrono::steady_clock::time_point deadline) const {
  lastDeadline_.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count());
  waits_.fetch_add(1);
  if (steadyNow() >= deadline) return;
  // Advances do not notify the waiter's condition variable (they do not know
  // it), so wait in short real-time slices; the caller re-checks the time.
  cv.wait_for(lock, std::chrono::milliseconds(1));
}

void FakeClock::advance(std::chrono::microseconds d) {
  steady_.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
  wall_.fetch_add(d.count());
  upTime_.fetch_add(d.count());
}

bool FakeClock::awaitWaits(uint64_t count) const {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (waits_.load() < count) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

bool FakeClock::awaitDeadline(std::chrono::steady_clock::time_point deadline) const {
  const int64_t wanted =
      std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (lastDeadline_.load() != wanted) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace tltest
