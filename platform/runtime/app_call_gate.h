// AppCallGate: the door through which the library calls into the app's code
// -- decoder and engine delegates, network-time receivers, recorder
// listeners, the blocks of the main queue and the app's log delegate.
//
// A gate is open until it is closed, and closing is final. The process's
// gate (process()) is closed by the shutdown that runs at process exit: main
// has returned, what an app's object refers to may be gone, and from then on
// no call enters the app. Closing waits, for a bounded time, until the calls
// already inside have returned. It does not wait for the calls the closing
// thread is itself inside (an app that exits from a delegate call, or from a
// block it pumps on its main queue): they never return, since the process
// ends inside them. Whoever waits for one of those on another thread (a
// thread of the library's in a synchronous main-queue dispatch, given as the
// call's Waiter) is released at the close, so that the shutdown can join it.
// Nothing else ever releases a waiter: a call of a thread that does not close
// the gate is waited for to its end.
//
//   AppCallGate::Call call(gate);
//   if (call) delegate->startedListening();   // or gate.run([&] { ... });
//
// A closed gate turns calls away and counts them (refusedCount).
//
// Other gates of the class guard other work that the shutdown waits for or
// turns away (TLDecoder's start-ups); only process() stands for the app.
//
// Ownership: process() is made on first use and never destroyed (threads of
// the library and of the app may still call in while the process exits). A
// gate outlives its Calls.
//
// Thread safety: every operation may be called from any thread; a Call lives
// in one scope of one thread. No lock is held while a call runs, so a call
// may enter the gate again (a delegate that logs). A Waiter is released on
// the closing thread, while its call's frame is still there (it never
// unwinds): it must stay valid for as long as the call may run.
#ifndef TL_PLATFORM_RUNTIME_APP_CALL_GATE_H_
#define TL_PLATFORM_RUNTIME_APP_CALL_GATE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"

namespace tembrolexinplatform {

class AppCallGate {
 public:
  // How long the exit-time shutdown waits for the calls inside the process's
  // gate to return (as long as an engine's delegate call waits for the main
  // thread to take it).
  static constexpr std::chrono::milliseconds kExitWaitLimit{5000};

  AppCallGate() = default;
  AppCallGate(const AppCallGate&) = delete;
  AppCallGate& operator=(const AppCallGate&) = delete;

  // The process's gate.
  static AppCallGate& process();

  // A thread that waits for a call running on another one.
  class Waiter {
   public:
    // Ends the wait at once: the call will not return (the process exits
    // from inside it). Called on the thread inside the call, perhaps more
    // than once.
    virtual void release() = 0;

   protected:
    ~Waiter() = default;
  };

  // One call into the app for the scope of the object: admitted (true)
  // while the gate is open, and counted as inside until it is destroyed.
  // `waiter`, if any, is the thread that waits for this call to return.
  class Call {
   public:
    explicit Call(AppCallGate& gate, Waiter* waiter = nullptr);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    explicit operator bool() const { return admitted_; }

   private:
    friend class AppCallGate;
    AppCallGate& gate_;
    Waiter* const waiter_;
    const bool admitted_;
    // The admitted call of any gate that the thread was inside when this
    // one began.
    const Call* outer_ = nullptr;
  };

  // Runs `call` as one call into the app unless the gate is closed; true
  // when it ran.
  template <typename F>
  bool run(F&& call) {
    Call entry(*this);
    if (!entry) return false;
    std::forward<F>(call)();
    return true;
  }

  // Closes the gate for good, releases the waiters of the calls the calling
  // thread is inside, then waits until no call is inside but those, at most
  // `limit` on `clock`. True when none was left in time. Closing a closed
  // gate only releases and waits.
  bool close(std::chrono::nanoseconds limit, const tembrolexinsdk::Clock& clock =
                                                 tembrolexinsdk::Clock::real());
  bool isClosed() const;
  // Whether the calling thread is inside a call this gate admitted.
  bool callerInside() const;
  // Whether the calling thread is inside such a call that another thread
  // waits for (one given a Waiter).
  bool callerAwaited() const;
  // Calls turned away since the gate closed.
  uint64_t refusedCount() const;

 private:
  std::size_t callerDepth() const;

  mutable tembrolexin::Mutex mutex_;
  tembrolexin::CondVar cv_;
  bool closed_ = false;
  std::size_t inside_ = 0;
  uint64_t refused_ = 0;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_APP_CALL_GATE_H_
