#include "core/runtime/timing.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

namespace {

std::atomic<int> gNextEventId{1};

// The next id after `id`, never reaching INT32_MAX.
int successor(int id) { return id >= INT_MAX - 1 ? 1 : id + 1; }

// A repeatable event fired within this many microseconds (either side of
// now) does not fire again.
constexpr int64_t kRepeatGuardMicros = 500999;
constexpr int64_t kEarlyMs = 10;
constexpr int64_t kLateMs = 500;

void logWarning(const std::string& text) { logWithLogger<LogLevel::Warning>(nullptr, text); }

}  // namespace

TimingEvent::TimingEvent(std::function<void()> callback, std::chrono::milliseconds time, int id,
                         int settings)
    : callback_(std::make_shared<const std::function<void()>>(std::move(callback))),
      time_(clampTimerMillis(time.count())) {
  if (id == kAutoId) {
    int current = gNextEventId.load();
    while (!gNextEventId.compare_exchange_weak(current, successor(current))) {
    }
    id_ = current;
  } else {
    id_ = id;
    if (id >= 1) gNextEventId.store(successor(id));
  }
  changeSettings(settings);
}

void TimingEvent::changeSettings(int settings) {
  repeatable_ = (settings & 1) == 0;
  removeAfterFiring_ = (settings & 3) == 3;
}

bool TimingEvent::shouldFire(int64_t nowMicros) const {
  if (repeatable_) {
    // Never fired: a wall clock near the epoch must not hold it back.
    if (!fired_) return true;
    // Unsigned difference: wall clocks far apart must not overflow.
    const uint64_t diff = static_cast<uint64_t>(nowMicros) - static_cast<uint64_t>(lastFired_);
    const bool recent = diff <= static_cast<uint64_t>(kRepeatGuardMicros) ||
                        diff >= static_cast<uint64_t>(-kRepeatGuardMicros);
    return !recent;
  }
  return !fired_;
}

void TimingEvent::trigger(const Clock& clock) {
  const int64_t now = clock.wallMicros();
  if (!shouldFire(now)) return;
  if (*callback_) (*callback_)();
  markFired(now);
}

struct Timing::State {
  State(const Clock& c, bool catchUpIn, bool manualIn)
      : clock(&c), catchUp(catchUpIn), manual(manualIn), reference(c.steadyNow()) {}

  const Clock* clock;
  const bool catchUp;
  const bool manual;
  tembrolexin::Mutex mutex;
  tembrolexin::CondVar cv;
  std::vector<TimingEvent> events;  // sorted by time, stable
  std::chrono::steady_clock::time_point reference;
  bool quit = false;
  bool running = false;
  bool rescan = false;
  int inProgress = kNoEventInProgress;
  // Bumped by every change of the events or of the timeline, so that a scan
  // notices changes made while a callback ran even when start() cleared the
  // rescan flag meanwhile.
  uint64_t generation = 0;
  bool scanning = false;  // manual mode: a pump() is running callbacks
  std::thread::id threadId;
};

struct Timing::ScanResult {
  std::optional<int64_t> pendingTime;
  int64_t elapsed;
};

Timing::Timing(bool catchUp, const Clock& clock, TimingMode mode)
    : state_(std::make_shared<State>(clock, catchUp, mode == TimingMode::kManual)) {
  if (mode == TimingMode::kThreaded) {
    // The thread shares the state, so that it can outlive a Timing destroyed
    // from inside one of its callbacks.
    std::lock_guard lock(state_->mutex);
    thread_ = std::thread(threadMain, state_);
    state_->threadId = thread_.get_id();
  }
}

Timing::~Timing() {
  {
    std::lock_guard lock(state_->mutex);
    state_->quit = true;
  }
  state_->cv.notify_all();
  if (thread_.joinable()) {
    if (std::this_thread::get_id() == thread_.get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

int64_t Timing::elapsedLocked(const State& s) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(s.clock->steadyNow() - s.reference)
      .count();
}

std::chrono::milliseconds Timing::elapsed() {
  std::lock_guard lock(state_->mutex);
  return std::chrono::milliseconds(elapsedLocked(*state_));
}

void Timing::start(std::chrono::milliseconds position) {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    const bool wasRunning = s.running;
    const int64_t before = elapsedLocked(s);
    s.reference =
        s.clock->steadyNow() - std::chrono::milliseconds(clampTimerMillis(position.count()));
    s.running = true;
    s.rescan = wasRunning && before > clampTimerMillis(position.count());
    ++s.generation;
    // Wake under the lock: once it is released, a callback on the timing
    // thread may destroy this Timing and its state.
    s.cv.notify_all();
  }
}

void Timing::stop() {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    s.reference = s.clock->steadyNow();
    s.running = false;
    ++s.generation;
    s.cv.notify_all();
  }
}

void Timing::registerEvent(const TimingEvent& event) { registerEvents({event}); }

void Timing::registerEvents(const std::vector<TimingEvent>& events) {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    for (const TimingEvent& e : events) {
      if (e.id() == s.inProgress) {
        throw std::invalid_argument("Cannot replace an event that is currently in progress");
      }
    }
    for (const TimingEvent& e : events) {
      std::erase_if(s.events, [&](const TimingEvent& x) { return x.id() == e.id(); });
      s.events.push_back(e);
    }
    std::stable_sort(s.events.begin(), s.events.end(),
                     [](const TimingEvent& a, const TimingEvent& b) { return a.time_ < b.time_; });
    s.rescan = true;
    ++s.generation;
    s.cv.notify_all();
  }
}

void Timing::cancelEvent(const TimingEvent& event) {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (event.id() == s.inProgress) {
      throw std::invalid_argument("Cannot cancel an event currently in progress");
    }
    std::erase_if(s.events, [&](const TimingEvent& x) { return x.id() == event.id(); });
    s.rescan = true;
    ++s.generation;
    s.cv.notify_all();
  }
}

void Timing::clearEvents() {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    std::erase_if(s.events, [&](const TimingEvent& x) { return x.id() != s.inProgress; });
    for (TimingEvent& e : s.events) e.changeSettings(TimingEvent::kOneShotRemove);
    s.rescan = true;
    ++s.generation;
    s.cv.notify_all();
  }
}

size_t Timing::eventCount() {
  std::lock_guard lock(state_->mutex);
  return state_->events.size();
}

Timing::ScanResult Timing::scan(State& s, std::unique_lock<tembrolexin::Mutex>& lock) {
  ScanResult result{std::nullopt, elapsedLocked(s)};
  const int64_t e = result.elapsed;
  if (!s.running) return result;
  bool restartFromFirst = false;
  size_t i = 0;
  while (i < s.events.size()) {
    const TimingEvent& event = s.events[i];
    if (e + kEarlyMs < event.time_) {
      result.pendingTime = event.time_;
      break;
    }
    if (!s.catchUp && event.time_ <= e - kLateMs) {
      ++i;
      continue;
    }
    const int64_t now = s.clock->wallMicros();
    if (event.shouldFire(now)) {
      const int id = event.id();
      const auto callback = event.callback_;
      const uint64_t generation = s.generation;
      s.inProgress = id;
      lock.unlock();
      try {
        if (*callback) (*callback)();
      } catch (const std::exception& ex) {
        logWarning("Timing: callback of event " + std::to_string(id) +
                   " threw an exception: " + ex.what());
      } catch (...) {
        logWarning("Timing: callback of event " + std::to_string(id) +
                   " threw an unknown exception");
      }
      lock.lock();
      s.inProgress = kNoEventInProgress;
      // The list may have been re-sorted while the lock was released: find
      // the event again by its id.
      for (TimingEvent& x : s.events) {
        if (x.id() == id) {
          x.markFired(now);
          break;
        }
      }
      if (s.quit) break;
      if (s.rescan || s.generation != generation) {
        s.rescan = false;
        restartFromFirst = true;
        break;
      }
      if (!s.running) break;
    } else if (s.rescan) {
      s.rescan = false;
      restartFromFirst = true;
      break;
    }
    ++i;
  }
  std::erase_if(s.events, [](const TimingEvent& x) { return x.removeAfterFiring_ && x.fired_; });
  if (restartFromFirst && s.running && !s.events.empty()) {
    result.pendingTime = s.events.front().time_;
  }
  return result;
}

void Timing::threadMain(std::shared_ptr<State> state) {
  State& s = *state;
  std::unique_lock lock(s.mutex);
  bool pending = false;
  // The generation of the last scan: a change made before this thread first
  // waited (or while it ran a callback) is never lost to a missed wake-up.
  uint64_t seen = 0;
  while (!s.quit) {
    s.cv.wait(lock, [&] { return s.quit || (s.running && (pending || s.generation != seen)); });
    if (s.quit) return;
    pending = false;
    for (;;) {
      seen = s.generation;
      const ScanResult r = scan(s, lock);
      if (s.quit) return;
      if (!r.pendingTime) break;
      const int64_t wait = *r.pendingTime - r.elapsed;
      if (wait < 1) {
        if (!s.running) break;
        continue;
      }
      pending = true;
      s.clock->waitUntil(s.cv, lock, s.clock->steadyNow() + std::chrono::milliseconds(wait));
      break;
    }
  }
}

std::optional<std::chrono::milliseconds> Timing::pump() {
  // Keep the state alive: a callback may destroy this Timing.
  std::shared_ptr<State> keep = state_;
  State& s = *keep;
  if (!s.manual) throw std::logic_error("Timing::pump needs a Timing in manual mode");
  std::unique_lock lock(s.mutex);
  if (s.scanning) return std::nullopt;
  s.scanning = true;
  std::optional<std::chrono::milliseconds> next;
  while (!s.quit && s.running) {
    const ScanResult r = scan(s, lock);
    if (!r.pendingTime || s.quit) break;
    const int64_t wait = *r.pendingTime - r.elapsed;
    if (wait >= 1) {
      next = std::chrono::milliseconds(wait);
      break;
    }
  }
  s.scanning = false;
  return next;
}

}  // namespace tembrolexinsdk
