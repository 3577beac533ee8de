// Timing: a timeline with timed callbacks.
//
// The timeline is a clock that can be started at any position (ms), stopped
// and restarted; `TimingEvent`s are scheduled by their position on it. Each
// scan fires every due event in time order: events up to 10 ms early; events
// 500 ms or more late are skipped unless the Timing was built with catch-up.
// A repeatable event does not fire again within 500.999 ms of wall-clock time
// of its last firing; a one-shot event fires once.
//
// Modes: kThreaded (default) owns a timing thread that sleeps until the next
// event is due and runs the callbacks. kManual starts no thread: `pump()` runs
// the same scan on the caller's thread, so tests drive a Timing on a fake
// clock without sleeping.
//
// Thread safety: every operation may be called from any thread, also from
// inside a callback (callbacks run without the Timing's lock). Registering or
// cancelling the event whose callback is running throws
// std::invalid_argument. A callback that throws is logged at Warning and
// counts as fired. Destroying a Timing from inside one of its own callbacks
// is allowed: the thread is detached and ends once the callback returns.
// The clock must outlive the Timing.
#ifndef TL_CORE_RUNTIME_TIMING_H_
#define TL_CORE_RUNTIME_TIMING_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"

namespace tembrolexinsdk {

class TimingEvent {
 public:
  // Asks the constructor for the next automatic id.
  static constexpr int kAutoId = -424242;
  // Settings word: bit 0 clear = repeatable; bits 0 and 1 set = one-shot that
  // is removed once it has fired. So 0 and 2 repeatable, 1 one-shot that
  // stays, 3 one-shot that goes.
  static constexpr int kRepeatable = 0;
  static constexpr int kOneShot = 1;
  static constexpr int kOneShotRemove = 3;

  // An automatic id takes the process-wide counter's value and increments
  // it (wrapping to 1 before it reaches INT32_MAX). An explicit id of 1 or
  // more sets the counter to id + 1 (to 1 for INT32_MAX).
  TimingEvent(std::function<void()> callback, std::chrono::milliseconds time, int id = kAutoId,
              int settings = kRepeatable);

  // Recomputes repeatable and remove-after-firing; fired and last-fired stay.
  void changeSettings(int settings);
  // Runs the firing decision once on the calling thread.
  void trigger(const Clock& clock = Clock::real());

  int id() const { return id_; }
  std::chrono::milliseconds time() const { return std::chrono::milliseconds(time_); }
  bool repeatable() const { return repeatable_; }
  bool removeAfterFiring() const { return removeAfterFiring_; }
  bool fired() const { return fired_; }
  // Wall-clock microseconds of the last firing; 0 when never fired.
  int64_t lastFired() const { return lastFired_; }

 private:
  friend class Timing;

  bool shouldFire(int64_t nowMicros) const;
  void markFired(int64_t nowMicros) {
    lastFired_ = nowMicros;
    fired_ = true;
  }

  int id_;
  // Shared between copies: Timing keeps copies and calls the callback
  // without its lock, so the callback must not move while it runs.
  std::shared_ptr<const std::function<void()>> callback_;
  int64_t time_;
  int64_t lastFired_ = 0;
  bool repeatable_ = true;
  bool fired_ = false;
  bool removeAfterFiring_ = false;
};

enum class TimingMode { kThreaded, kManual };

class Timing {
 public:
  // The id of "no event in progress".
  static constexpr int kNoEventInProgress = -424242;

  explicit Timing(bool catchUp, const Clock& clock = Clock::real(),
                  TimingMode mode = TimingMode::kThreaded);
  ~Timing();
  Timing(const Timing&) = delete;
  Timing& operator=(const Timing&) = delete;

  // Starts (or restarts) the timeline so that elapsed() is `position` now.
  // Positions and event times beyond +/- kMaxTimerMillis are clamped.
  void start(std::chrono::milliseconds position);
  // Stops the timeline; elapsed() counts again from 0. Events stay.
  void stop();
  // Time since the reference point, whole ms truncated toward zero.
  std::chrono::milliseconds elapsed();

  // Replaces any event with the same id by a copy of `event`.
  void registerEvent(const TimingEvent& event);
  // The same for several events with one re-sort; when one of them is the
  // event in progress, throws and registers none. A later event of the batch
  // replaces an earlier one with the same id.
  void registerEvents(const std::vector<TimingEvent>& events);
  // Removes every event with `event`'s id.
  void cancelEvent(const TimingEvent& event);
  // Removes every event but the one in progress, which goes once its
  // callback has returned.
  void clearEvents();

  // Manual mode only: fires every event that is due now, on the calling
  // thread, scanning again while events become due. Returns the time until
  // the next pending event, or nothing when no event is pending or the
  // timeline is stopped. A call from inside a callback of this Timing
  // returns nothing at once. Throws std::logic_error in threaded mode.
  std::optional<std::chrono::milliseconds> pump();

  // Number of registered events (for diagnostics and tests).
  size_t eventCount();

 private:
  struct State;
  struct ScanResult;

  static void threadMain(std::shared_ptr<State> state);
  static ScanResult scan(State& s, std::unique_lock<tembrolexin::Mutex>& lock);
  static int64_t elapsedLocked(const State& s);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_TIMING_H_
