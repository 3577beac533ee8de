// ActiveObject: the thread, queue and state loop that every active component
// of the core shares. A component derives from ActiveObject<Component>, gives
// the constructor its initial state, its done state and its quit code, calls
// startThread() as the last step of its own constructor and quitAndJoin() as
// the first step of its destructor.
//
// The component's thread runs the current state (a member function without
// arguments) again and again until the current state is the done state. A
// state function usually consists of one call of serveState(), which takes
// the signals with the codes that the state accepts, one at a time, and
// returns as soon as a signal has switched the state. Signals of other codes
// stay queued, in arrival order, for a later state that accepts them.
//
// Thread safety: pushSignal(), quit() and onOwnThread() may be called from any
// thread. The current state is read and written by the component's own thread
// only (and by the constructor before the thread starts).
#ifndef TL_CORE_RUNTIME_ACTIVE_OBJECT_H_
#define TL_CORE_RUNTIME_ACTIVE_OBJECT_H_

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/runtime/signal_queue.h"
#include "core/runtime/state_signal.h"
#include "core/runtime/thread_join.h"

namespace tembrolexinsdk {

// The thread of an active object. Ends it by joining, except on the thread
// itself (an object destroyed from its own thread, typically when that thread
// calls exit()), where joining would deadlock, and when the thread runs the
// process's exit (LibraryThread): then the thread is detached and must not
// touch the object any more.
class ActiveThread {
 public:
  ActiveThread() = default;
  // Joins or detaches, as finish() does.
  ~ActiveThread();

  ActiveThread(const ActiveThread&) = delete;
  ActiveThread& operator=(const ActiveThread&) = delete;

  // Starts the thread running `body`. Throws std::system_error when the
  // operating system refuses a thread. Call once.
  void start(std::function<void()> body);

  // Whether the calling thread is this thread. Any thread.
  bool isCurrent() const;

  // Joins the thread, or detaches it when called on the thread itself or
  // when it runs the process's exit. Harmless when the thread was never
  // started or is already finished. Returns true when the thread was joined
  // (it has ended).
  bool finish();

 private:
  LibraryThread thread_;
  // Kept apart from thread_ so that isCurrent() may run while another thread
  // joins. Set by the thread itself before it runs anything.
  std::atomic<std::thread::id> id_{};
};

template <typename Derived>
class ActiveObject {
 public:
  using State = void (Derived::*)();

  ActiveObject(const ActiveObject&) = delete;
  ActiveObject& operator=(const ActiveObject&) = delete;

  // Hands a signal to the component's thread; takes ownership. Any thread.
  void pushSignal(StateSignal* signal) { queue_.push(signal); }
  void pushSignal(std::unique_ptr<StateSignal> signal) {
    queue_.push(signal.release());
  }

  // Queues the quit code. Any thread.
  void quit() { queue_.push(new StateSignal(quitCode_)); }

  // Whether the caller runs on the component's own thread.
  bool onOwnThread() const { return thread_.isCurrent(); }

 protected:
  ActiveObject(State initial, State done, int quitCode,
               std::string queueName = std::string())
      : initial_(initial),
        done_(done),
        current_(initial),
        quitCode_(quitCode),
        queue_(queueName.empty() ? SignalQueue() : SignalQueue(std::move(queueName))) {}

  // Safety net for a component that forgot quitAndJoin(): better a late join
  // than std::terminate. Its own members are gone by now, so components must
  // call quitAndJoin() themselves.
  virtual ~ActiveObject() { quitAndJoin(); }

  // Starts the thread; call as the last step of the component's constructor.
  void startThread() {
    thread_.start([this] { threadMain(); });
  }

  // Queues the quit code and waits for the thread to end (detaches when
  // called on the component's own thread). Idempotent.
  void quitAndJoin() {
    quit();
    thread_.finish();
  }

  // Waits for the thread to end without queueing anything.
  void join() { thread_.finish(); }

  SignalQueue& signalQueue() { return queue_; }
  const SignalQueue& signalQueue() const { return queue_; }

  // Own thread only.
  void setState(State state) { current_ = state; }
  State currentState() const { return current_; }
  bool inState(State state) const { return current_ == state; }
  int quitCode() const { return quitCode_; }

  // The body of a state function: while `self` stays the current state, take
  // the oldest signal whose code is in `codes` (waiting for one), hand it to
  // `handle` and delete it afterwards, also when `handle` throws.
  template <typename Handler>
  void serveState(State self, std::initializer_list<int> codes, Handler&& handle) {
    const std::vector<int> accepted(codes);
    const auto filter = [&accepted](StateSignal* signal) {
      return std::find(accepted.begin(), accepted.end(), signal->GetCode()) !=
             accepted.end();
    };
    while (current_ == self) {
      std::unique_ptr<StateSignal> signal = queue_.takeMatch(filter);
      handle(*signal);
    }
  }

  // Called on the component's thread when a state function throws; `error` is
  // null for an exception that is not a std::exception. The loop then runs the
  // current state again. Must not throw.
  virtual void onStateFailure(const std::exception* error) { (void)error; }

  // Called on the component's thread after the done state was reached, as the
  // thread's last step.
  virtual void onThreadEnd() {}

 private:
  void threadMain() {
    current_ = initial_;
    Derived* self = static_cast<Derived*>(this);
    for (;;) {
      try {
        (self->*current_)();
      } catch (const std::exception& error) {
        onStateFailure(&error);
      } catch (...) {
        onStateFailure(nullptr);
      }
      if (current_ == done_) break;
    }
    onThreadEnd();
  }

  const State initial_;
  const State done_;
  State current_;
  const int quitCode_;
  SignalQueue queue_;
  ActiveThread thread_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_ACTIVE_OBJECT_H_
