// TimedEvent: a restartable one-shot delay on a thread of its own.
//
// `DoEventAfter(d)` (re)starts a countdown of d ms; when it runs out without
// being interrupted the callback runs on the TimedEvent's thread. A new
// `DoEventAfter` abandons the running countdown and starts a fresh one, so
// quick successive calls give one callback, d after the last call. `Cancel`
// abandons the countdown without calling back.
//
// Thread safety: `DoEventAfter` and `Cancel` may be called from any thread;
// from another thread they wait while the callback runs, so after they
// return the callback is not running. From inside the callback they take
// effect without waiting (a re-arm from the callback starts a new countdown
// once it returns). A callback exception is logged at Warning and the
// TimedEvent stays usable. The destructor abandons a running countdown
// without calling back and joins the thread, or detaches it when called from
// inside the callback. The clock must outlive the TimedEvent.
#ifndef TL_CORE_RUNTIME_TIMED_EVENT_H_
#define TL_CORE_RUNTIME_TIMED_EVENT_H_

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"

namespace tembrolexinsdk {

class TimedEvent {
 public:
  explicit TimedEvent(std::function<void()> callback, const Clock& clock = Clock::real());
  virtual ~TimedEvent();
  TimedEvent(const TimedEvent&) = delete;
  TimedEvent& operator=(const TimedEvent&) = delete;

  // A delay below 1 ms fires at once; delays beyond kMaxTimerMillis are
  // clamped to it.
  void DoEventAfter(std::chrono::milliseconds delay);
  // No effect on an idle TimedEvent.
  void Cancel();

 private:
  struct State;
  static void threadMain(std::shared_ptr<State> state);
  // Waits (lock held) until no callback runs, unless called from the callback.
  static void awaitCallback(State& s, std::unique_lock<tembrolexin::Mutex>& lock);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_TIMED_EVENT_H_
