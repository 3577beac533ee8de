#include "core/runtime/time_source.h"

namespace tembrolexinsdk {

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// Network-time values come from outside; arithmetic on them saturates rather
// than overflowing.
int64_t addSat(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? kMax : kMin;
  return r;
}

int64_t subSat(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? kMax : kMin;
  return r;
}

}  // namespace

ProcessorTimeProvider::ProcessorTimeProvider(const Clock& clock) : clock_(&clock) {
  updateReference(clock.wallMicros() / 1000, clock.upTimeMillis());
}

void ProcessorTimeProvider::updateReference(std::chrono::system_clock::time_point time,
                                            int64_t upTimeMs) {
  const int64_t micros =
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  updateReference(micros / 1000, upTimeMs);
}

void ProcessorTimeProvider::updateReference(int64_t epochMs, int64_t upTimeMs) {
  reference_.store(ReferencePoint{upTimeMs, epochMs});
}

int64_t ProcessorTimeProvider::getTimeSinceEpoch(int64_t upTimeMs) {
  const ReferencePoint ref = reference_.load();
  return addSat(subSat(upTimeMs, ref.uptime), ref.epoch);
}

std::string ProcessorTimeProvider::getTimeAdjustments() {
  const int64_t corrected = getTimeSinceEpoch(clock_->upTimeMillis());
  const int64_t system = clock_->wallMicros() / 1000;
  return "Corrected time: " + std::to_string(corrected) +
         ", system time: " + std::to_string(system) +
         ", difference: " + std::to_string(subSat(corrected, system));
}

int64_t ProcessorTimeProvider::secondsSinceLastReferenceUpdate() {
  return subSat(clock_->upTimeMillis(), reference_.load().uptime) / 1000;
}

std::string ProcessorNTPTimeProvider::getTimeAdjustments() {
  return "NTP-" + ProcessorTimeProvider::getTimeAdjustments();
}

int64_t ProcessorNTPTimeProvider::secondsSinceLastReferenceUpdate() {
  if (!ntpUsed_.load()) return kNeverUpdated;
  return ProcessorTimeProvider::secondsSinceLastReferenceUpdate();
}

void ProcessorNTPTimeProvider::updateReferenceWithNTP(const NTPInfo* info) {
  if (info == nullptr) return;
  ntpUsed_.store(true);
  updateReference(addSat(info->transmitTimestamp, info->roundTripDelay / 2), info->upTimeMillis);
}

}  // namespace tembrolexinsdk
