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
// block it pumps on its main queue): they can only return after it.
//
//   AppCallGate::Call call(gate);
//   if (call) delegate->startedListening();   // or gate.run([&] { ... });
//
// A closed gate turns calls away and counts them (refusedCount).
//
// Ownership: process() is made on first use and never destroyed (threads of
// the library and of the app may still call in while the process exits). A
// gate outlives its Calls.
//
// Thread safety: every operation may be called from any thread; a Call lives
// in one scope of one thread. No lock is held while a call runs, so a call
// may enter the gate again (a delegate that logs).
#ifndef TL_PLATFORM_RUNTIME_APP_CALL_GATE_H_
#define TL_PLATFORM_RUNTIME_APP_CALL_GATE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

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

  // One call into the app for the scope of the object: admitted (true)
  // while the gate is open, and counted as inside until it is destroyed.
  class Call {
   public:
    explicit Call(AppCallGate& gate);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    explicit operator bool() const { return admitted_; }

   private:
    friend class AppCallGate;
    AppCallGate& gate_;
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

  // Closes the gate for good, then waits until no call is inside but those
  // the calling thread is inside itself, at most `limit` on `clock`. True
  // when none was left in time. Closing a closed gate only waits.
  bool close(std::chrono::nanoseconds limit, const tembrolexinsdk::Clock& clock =
                                                 tembrolexinsdk::Clock::real());
  bool isClosed() const;
  // Whether the calling thread is inside a call this gate admitted.
  bool callerInside() const;
  // Calls turned away since the gate closed.
  uint64_t refusedCount() const;

 private:
  std::size_t callerDepth() const;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool closed_ = false;
  std::size_t inside_ = 0;
  uint64_t refused_ = 0;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_APP_CALL_GATE_H_
