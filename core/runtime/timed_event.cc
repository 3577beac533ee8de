#include "core/runtime/timed_event.h"

#include <exception>
#include <string>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

namespace {

void logDebug(const char* text) { logWithLogger<LogLevel::Debug>(nullptr, text); }
void logWarning(const std::string& text) { logWithLogger<LogLevel::Warning>(nullptr, text); }

}  // namespace

struct TimedEvent::State {
  State(std::function<void()> cb, const Clock& c) : clock(&c), callback(std::move(cb)) {}

  const Clock* clock;
  tembrolexin::Mutex mutex;
  tembrolexin::CondVar cv;
  int64_t delayMs = 0;
  std::function<void()> callback;
  bool interrupt = false;
  bool counting = false;
  bool startRequested = false;
  bool quit = false;
  bool firing = false;
  std::thread::id threadId;
};

TimedEvent::TimedEvent(std::function<void()> callback, const Clock& clock)
    : state_(std::make_shared<State>(std::move(callback), clock)) {
  std::lock_guard lock(state_->mutex);
  thread_ = std::thread(threadMain, state_);
  state_->threadId = thread_.get_id();
}

TimedEvent::~TimedEvent() {
  logDebug("TimedEvent: destructor entry");
  bool own;
  {
    std::lock_guard lock(state_->mutex);
    state_->quit = true;
    state_->interrupt = true;
    own = std::this_thread::get_id() == state_->threadId;
  }
  state_->cv.notify_all();
  if (own) {
    // Called from the callback: the thread still needs the state (which it
    // shares) to return; it ends once the callback returns.
    thread_.detach();
  } else {
    thread_.join();
  }
  logDebug("TimedEvent: destructor exit");
}

void TimedEvent::awaitCallback(State& s, std::unique_lock<tembrolexin::Mutex>& lock) {
  if (std::this_thread::get_id() == s.threadId) return;
  s.cv.wait(lock, [&] { return !s.firing; });
}

void TimedEvent::DoEventAfter(std::chrono::milliseconds delay) {
  // Holds the state while waiting for a running callback, which may destroy
  // this TimedEvent.
  const std::shared_ptr<State> keep = state_;
  State& s = *keep;
  {
    std::unique_lock lock(s.mutex);
    awaitCallback(s, lock);
    s.delayMs = clampTimerMillis(delay.count());
    s.startRequested = true;
    if (s.counting) s.interrupt = true;
    // Wake under the lock: once it is released, the callback may destroy
    // this TimedEvent and its state.
    s.cv.notify_all();
  }
}

void TimedEvent::Cancel() {
  const std::shared_ptr<State> keep = state_;
  State& s = *keep;
  {
    std::unique_lock lock(s.mutex);
    awaitCallback(s, lock);
    s.startRequested = false;
    if (s.counting) s.interrupt = true;
    s.cv.notify_all();
  }
}

void TimedEvent::threadMain(std::shared_ptr<State> state) {
  State& s = *state;
  std::unique_lock lock(s.mutex);
  for (;;) {
    s.cv.wait(lock, [&] { return s.quit || s.startRequested; });
    if (s.quit) return;
    s.startRequested = false;
    s.interrupt = false;
    s.counting = true;
    const auto deadline = s.clock->steadyNow() + std::chrono::milliseconds(s.delayMs);
    bool fire = s.delayMs < 1;
    while (!fire && !s.interrupt) {
      if (s.clock->steadyNow() >= deadline) {
        fire = true;
      } else {
        s.clock->waitUntil(s.cv, lock, deadline);
      }
    }
    s.counting = false;
    s.interrupt = false;
    if (!fire || s.quit) continue;
    s.firing = true;
    lock.unlock();
    try {
      s.callback();
    } catch (const std::exception& e) {
      logWarning(std::string("TimedEvent thread died with an exception: ") + e.what());
    } catch (...) {
      logWarning("TimedEvent thread died with an unknown exception");
    }
    lock.lock();
    s.firing = false;
    s.cv.notify_all();
  }
}

}  // namespace tembrolexinsdk
