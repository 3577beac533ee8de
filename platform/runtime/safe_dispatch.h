// The platform layer's dispatch context and its safe-dispatch helpers.
//
// Dispatcher bundles the main queue, the global concurrent queue, the timer
// service, the clock and the gate of calls into the app (AppCallGate, the
// process's unless a test gives its own): the main queue's blocks pass it,
// and so do the blocks that the helpers below run at once instead of
// queueing them. Dispatcher::shared() is the process-wide one (real
// clock, threaded timers, a main queue that runs on a thread of the
// library's unless the app binds it to one of its own); tests make their own
// with a fake clock and manual timers, and may set `testHost`, which makes the
// helpers behave as they do under a unit-test host:
//   - safeDispatchSync/AsyncOnMainQueue run the block at once on any thread;
//   - dispatchOnMainQueue does not schedule the block but pushes its handle
//     onto the shared TLBlockQueue (TLBlockQueue::sharedBlockQueue()), which
//     the test runs by hand (popAndDoBlock).
//
// SafeDispatch (on a Dispatcher):
//   safeDispatchSyncOnMainQueue(b)   on the main thread: run now; else run on
//                                    the main queue and wait for it, at most
//                                    the dispatcher's mainQueueWaitLimit for
//                                    it to start (then it is dropped, with a
//                                    Warning naming the caller), and to its
//                                    end unless the process exits from
//                                    inside it (MainQueue::syncWithin)
//   safeDispatchAsyncOnMainQueue(b)  on the main thread: run now; else queue
//   dispatchOnQueue(q, b, seconds)   run b once after the delay; returns a
//                                    handle that cancels it
//   dispatchOnMainQueue(b, seconds)  the same on the main queue
//   cancelDelayedBlock / cancelTimerBlock   call the handle with cancel = true
//
// A CancelHandle runs its block at most once: the first call of the handle,
// with cancel true or false, decides and clears it, under the handle's lock,
// so a cancellation on one thread and the firing on another never both run
// the block. When fired, the block runs at once on the main thread (through
// the gate), else it is queued again on its queue.
//
// Thread safety: every operation may be called from any thread.
// TLBlockQueue serves a test on one thread but is locked anyway.
#ifndef TL_PLATFORM_RUNTIME_SAFE_DISPATCH_H_
#define TL_PLATFORM_RUNTIME_SAFE_DISPATCH_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/dispatch.h"

namespace tembrolexinplatform {

class Dispatcher;

class CancelHandle {
 public:
  CancelHandle() = default;
  // The first call decides: cancel == false runs the block (at once on the
  // main thread, else queued on its queue), cancel == true drops it. Later
  // calls do nothing. An empty handle does nothing.
  void operator()(bool cancel) const;
  bool valid() const { return state_ != nullptr; }
  // Whether the handle has been called (the block ran, was queued or was
  // dropped).
  bool used() const;
  friend bool operator==(const CancelHandle& a, const CancelHandle& b) { return a.state_ == b.state_; }

 private:
  friend class SafeDispatch;
  struct State;
  explicit CancelHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

// The handles that dispatchOnMainQueue pushes under a test host: one list
// for the process, which tests drive by hand and empty (removeAll) when
// they end.
class TLBlockQueue {
 public:
  // The one queue, made on first use; never destroyed.
  static TLBlockQueue& sharedBlockQueue();

  void push(CancelHandle handle);
  // Removes the first (or the index-th) handle and calls it with cancel =
  // false; false when there is none.
  bool popAndDoBlock();
  bool popAndDoBlockAtIndex(std::size_t index);
  // Removes every entry of this handle.
  void remove(const CancelHandle& handle);
  void removeAll();
  std::size_t count() const;

 private:
  mutable tembrolexin::Mutex mutex_;
  std::vector<CancelHandle> blocks_;
};

class Dispatcher {
 public:
  struct Options {
    const Clock* clock = &Clock::real();
    TimerMode timerMode = TimerMode::kThreaded;
    std::size_t globalThreads = 4;
    bool testHost = false;
    MainQueueMode mainQueueMode = MainQueueMode::kPumpedWhenBound;
    // How long a synchronous main-queue call waits for the main thread to
    // take it (on `clock`).
    std::chrono::milliseconds mainQueueWaitLimit{5000};
    // The gate of calls into the app; must outlive the dispatcher.
    AppCallGate* appCalls = &AppCallGate::process();
  };
  explicit Dispatcher(Options options);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // The process-wide dispatcher (kOwnThreadUnlessBound); never destroyed.
  static Dispatcher& shared();

  // Final: the main queue drops what it holds and takes nothing more, the
  // global queue runs what it holds (or, without `runQueued`, drops it), the
  // timers are dropped, and every thread is joined (but the caller's own).
  // Idempotent.
  void shutDown(bool runQueued = true);

  const std::shared_ptr<MainQueue>& mainQueue() const { return main_; }
  const std::shared_ptr<ConcurrentQueue>& globalQueue() const { return global_; }
  TimerService& timers() { return *timers_; }
  const Clock& clock() const { return *options_.clock; }
  bool testHost() const { return options_.testHost; }
  AppCallGate& appCalls() const { return *options_.appCalls; }
  std::chrono::milliseconds mainQueueWaitLimit() const { return options_.mainQueueWaitLimit; }

 private:
  Options options_;
  std::shared_ptr<MainQueue> main_;
  std::shared_ptr<ConcurrentQueue> global_;
  std::unique_ptr<TimerService> timers_;
};

class SafeDispatch {
 public:
  explicit SafeDispatch(Dispatcher& dispatcher = Dispatcher::shared()) : d_(dispatcher) {}

  // `caller` (an engine's name, say) is named in the Warning when the main
  // queue did not take the block in time and it was dropped.
  void safeDispatchSyncOnMainQueue(Block block, std::string_view caller = {});
  void safeDispatchAsyncOnMainQueue(Block block);
  CancelHandle dispatchOnQueue(const std::shared_ptr<DispatchQueue>& queue, Block block,
                               double delaySeconds);
  CancelHandle dispatchOnMainQueue(Block block, double delaySeconds);
  // For handles of dispatchOnMainQueue: under a test host, removes the handle
  // from the block queue (it never runs); else calls it with cancel = true.
  void cancelDelayedBlock(const CancelHandle& handle);
  // For handles of dispatchOnQueue: logs Debug "cancelDelayedBlock - ENTRY",
  // then calls the handle with cancel = true.
  void cancelTimerBlock(const CancelHandle& handle);

 private:
  CancelHandle makeHandle(const std::shared_ptr<DispatchQueue>& queue, Block block, bool runInline);

  Dispatcher& d_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_SAFE_DISPATCH_H_
