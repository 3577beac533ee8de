// Conversion of up-time (ms since boot) to wall-clock time (ms since the
// epoch) through one reference point {up-time, epoch} taken at one instant.
//
// `ProcessorTimeProvider` takes its reference from the system clock;
// `ProcessorNTPTimeProvider` can move it to a network-time measurement. Each
// update replaces the reference whole: no smoothing, no drift correction.
//
// Thread safety: all operations may be called from any thread at once; the
// reference pair is read and written only as a pair, under a mutex. The
// clock given at construction must outlive the provider.
#ifndef TL_CORE_RUNTIME_TIME_SOURCE_H_
#define TL_CORE_RUNTIME_TIME_SOURCE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/network_time.h"

namespace tembrolexinsdk {

class ProcessorTimeProvider {
 public:
  struct ReferencePoint {
    int64_t uptime = 0;  // ms since boot
    int64_t epoch = 0;   // ms since 1970-01-01 00:00:00 UTC
  };

  // A reference point that readers never see half-updated.
  class AtomicReferencePoint {
   public:
    void store(const ReferencePoint& point) {
      std::lock_guard lock(mutex_);
      point_ = point;
    }
    ReferencePoint load() const {
      std::lock_guard lock(mutex_);
      return point_;
    }

   private:
    mutable tembrolexin::Mutex mutex_;
    ReferencePoint point_;
  };

  // Takes the first reference from the clock: {up-time now, wall clock now}.
  explicit ProcessorTimeProvider(const Clock& clock = Clock::real());
  virtual ~ProcessorTimeProvider() = default;
  ProcessorTimeProvider(const ProcessorTimeProvider&) = delete;
  ProcessorTimeProvider& operator=(const ProcessorTimeProvider&) = delete;

  // `time` in ms (microseconds / 1000, toward zero) paired with `upTimeMs`.
  virtual void updateReference(std::chrono::system_clock::time_point time, int64_t upTimeMs);
  virtual void updateReference(int64_t epochMs, int64_t upTimeMs);
  // upTimeMs − reference up-time + reference epoch (saturating at the int64
  // limits instead of overflowing).
  virtual int64_t getTimeSinceEpoch(int64_t upTimeMs);
  // "Corrected time: <c>, system time: <s>, difference: <c - s>".
  virtual std::string getTimeAdjustments();
  // Whole seconds of up-time since the reference was taken.
  virtual int64_t secondsSinceLastReferenceUpdate();

  ReferencePoint reference() const { return reference_.load(); }

 protected:
  const Clock& clock() const { return *clock_; }

 private:
  const Clock* clock_;
  AtomicReferencePoint reference_;
};

class ProcessorNTPTimeProvider : public ProcessorTimeProvider {
 public:
  // What secondsSinceLastReferenceUpdate() answers before the first network
  // time arrives: the reference is always stale.
  static constexpr int64_t kNeverUpdated = std::numeric_limits<int64_t>::max();

  explicit ProcessorNTPTimeProvider(const Clock& clock = Clock::real())
      : ProcessorTimeProvider(clock) {}

  // "NTP-" followed by the base text.
  std::string getTimeAdjustments() override;
  int64_t secondsSinceLastReferenceUpdate() override;
  // Reference = {info's up-time, transmit time + round-trip delay / 2}. A null
  // `info` is ignored.
  virtual void updateReferenceWithNTP(const NTPInfo* info);

  bool ntpUsed() const { return ntpUsed_.load(); }

 private:
  std::atomic<bool> ntpUsed_{false};
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_TIME_SOURCE_H_
