// Dispatch queues for the platform layer: a small Linux stand-in for the
// queues, readiness sources and timers that the platform code is written
// against.
//
//  - MainQueue: the queue of the app's main thread. The app (or a test)
//    binds it to one of its threads and pumps it there (drain, runUntil), or
//    lets it run on a thread of the library's: explicitly (runOnOwnThread),
//    or, in kOwnThreadUnlessBound mode, by itself as soon as a block arrives
//    while no thread is bound. Binding hands the queue over from the
//    library's thread to the binder. A synchronous call may be bounded
//    (syncWithin): a block that has not started when the time is up is
//    withdrawn, so a bound thread that stops pumping holds nobody for ever.
//    A wait on a main thread can end as soon as a block that another thread
//    waits for is queued to it (waitUnlessAwaited), so that it never waits
//    for a thread that waits for it.
//    Its blocks are calls into the app: each one, queued or run inline on
//    the main thread, passes the queue's AppCallGate, and once that gate
//    has closed a block is taken and dropped unrun.
//  - ConcurrentQueue: a small pool of threads (the global concurrent queue).
//  - SerialQueue: one thread running blocks in submission order; it can also
//    watch file descriptors for read or write readiness (like dispatch read
//    and write sources), with handlers running on the queue. A serial queue
//    may instead target another serial queue: it has no thread of its own,
//    and its blocks and watch handlers run in order on the target's thread,
//    serialised with the target's own blocks.
//  - TimerService: runs a block on a queue once a delay has passed; the
//    handle cancels it. A block runs at most once, and a cancel that comes
//    before the block starts means it never runs; so does a queue that drops
//    the firing unrun (shut down, or its gate closed), which cancels it.
//    Time comes from the runtime's Clock; kManual mode starts no thread and
//    fires due timers in pump(), so tests drive timers on a fake clock.
//
// Every queue can carry queue-specific values (setSpecific); getSpecific
// finds the value of the queue whose block the caller runs, or failing that
// of the queue it targets, and so on up.
//
// Queues are held by shared_ptr; anything that posts to a queue later (a
// timer) holds it weakly, so destroying a queue never leaves a dangling
// reference. A block that throws is caught and logged at Error; the queue
// goes on.
//
// Thread safety: every operation may be called from any thread unless its
// comment says otherwise.
#ifndef TL_PLATFORM_RUNTIME_DISPATCH_H_
#define TL_PLATFORM_RUNTIME_DISPATCH_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/thread_join.h"
#include "platform/runtime/app_call_gate.h"

namespace tembrolexinplatform {

using Block = std::function<void()>;
using tembrolexinsdk::Clock;

class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  // Queues `block`; returns at once. A queue that is shutting down drops it.
  virtual void async(Block block) = 0;
  // Runs `block` on the queue and returns once it has run: inline when the
  // caller is already on the queue (so a serial queue cannot deadlock on
  // itself), else queued and waited for. False when the queue dropped the
  // block unrun (it shut down, or its gate closed); a block that throws
  // still counts as run.
  bool sync(Block block);
  // Whether the calling thread is one of this queue's threads (for the main
  // queue: the thread it is bound to). A serial queue is also current while
  // a block of a queue that targets it runs.
  virtual bool isCurrent() const = 0;

  const std::string& label() const { return label_; }

  // Puts `value` under `key` on this queue; a null value removes the key.
  void setSpecific(const void* key, void* value);
  // This queue's own value under `key`, or null.
  void* getSpecificValue(const void* key) const;
  // The value under `key` of the queue whose block (or watch handler) the
  // caller runs, else of the queue that one targets, and so on; null when
  // none has it or the caller runs on no queue.
  static void* getSpecific(const void* key);

 protected:
  explicit DispatchQueue(std::string label) : label_(std::move(label)) {}
  // Queues the block of a sync() from another thread, which waits for it.
  virtual void asyncAwaited(Block block) { async(std::move(block)); }
  // Runs one block as this queue's (for isCurrent and getSpecific), catching
  // and logging what it throws, unless the queue's gate has closed. False
  // when it did not run. `waiter` is the thread that waits for the block, if
  // any (see AppCallGate::Waiter).
  bool runBlock(const Block& block, AppCallGate::Waiter* waiter = nullptr) const;
  // The gate every block of this queue passes; null for none.
  virtual AppCallGate* gate() const { return nullptr; }
  // The queue whose thread runs this queue's blocks, if not its own.
  virtual const DispatchQueue* target() const { return nullptr; }
  // Whether this queue is the one the caller runs a block of, or one that
  // queue targets.
  bool onCurrentChain() const;

 private:
  const std::string label_;
  mutable tembrolexin::Mutex specificsMutex_;
  std::map<const void*, void*> specifics_;
};

enum class MainQueueMode {
  // Blocks wait until a bound thread pumps them (or runOnOwnThread).
  kPumpedWhenBound,
  // The first block that arrives while no thread is bound starts a thread of
  // the library's, which pumps until a thread binds the queue.
  kOwnThreadUnlessBound,
};

class MainQueue final : public DispatchQueue {
 public:
  // How a bounded synchronous call ended.
  enum class SyncOutcome {
    kRan,        // the block ran (or threw)
    kDropped,    // the queue shut down before it ran
    kTimedOut,   // it had not started when the time was up; it never runs
    kAbandoned,  // the process exits from inside the block: it never returns
  };

  // `clock` times runUntil and must outlive the queue, as must `gate`, which
  // every block passes.
  explicit MainQueue(const Clock& clock = Clock::real(),
                     MainQueueMode mode = MainQueueMode::kPumpedWhenBound,
                     AppCallGate& gate = AppCallGate::process());
  // shutDown().
  ~MainQueue() override;

  // The calling thread becomes the main thread. When a thread of the
  // library's pumps the queue, it stops taking blocks (one it is running
  // finishes there) and the caller pumps from now on.
  void bindToCurrentThread();
  void async(Block block) override;
  bool isCurrent() const override;
  bool isMainThread() const { return isCurrent(); }

  // On the main thread only (else std::logic_error): runs queued blocks,
  // including those queued meanwhile, until none is left. Returns how many
  // were taken (run, or dropped by a closed gate).
  std::size_t drain();
  // On the main thread only: runs blocks as they come until `done` answers
  // true or `timeout` has passed on the clock. `done` is asked at the start
  // and after each batch of blocks, so what makes it true should reach the
  // main thread as a block.
  // True when `done` answered true.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Starts a thread of the library's, binds the queue to it and pumps there
  // until the queue shuts down or another thread binds it. Once only (else
  // std::logic_error).
  void runOnOwnThread();
  // Whether a thread of the library's pumps the queue now.
  bool runsOnOwnThread() const;

  // Whether the calling thread is the one a main queue of the process is
  // bound to (a library's own main thread included).
  static bool callerIsMainThread();
  // Waits until `done` answers true, or until a block that another thread
  // waits for (sync, syncWithin) is queued on a main queue bound to the
  // calling thread: waiting on could then wait for a thread that waits for
  // this one. True when `done` answered true. `done` is asked under a lock
  // of the dispatch queues, so it takes no lock; whoever makes it true calls
  // wakeWaits() afterwards. The process's exit (ProcessExit::begin) wakes
  // the wait too.
  static bool waitUnlessAwaited(const std::function<bool()>& done);
  static void wakeWaits();

  // Runs `block` on the main thread and waits for it, as sync() does, but
  // waits at most `limit` on `clock` for it to start: a block that has not
  // started by then is withdrawn (kTimedOut). A block that has started is
  // waited for to its end, unless the thread running it closes the gate
  // from inside it -- the process's exit, which ends the process there --
  // which ends the wait (kAbandoned); `block` is then still referred to by
  // that thread's frame, which never unwinds. Inline on the main thread.
  // kDropped also when the gate had closed.
  SyncOutcome syncWithin(const Block& block, const Clock& clock, std::chrono::nanoseconds limit);

  // Final: takes no more blocks, drops those not yet run (their synchronous
  // callers return), and joins the library's thread unless called on it.
  // Idempotent.
  void shutDown();
  bool isShutDown() const;

  std::size_t pendingCount() const;

 private:
  // A queued block; `awaited` is set while another thread waits for it.
  struct Queued {
    Block block;
    std::shared_ptr<const std::atomic<bool>> awaited;
  };

  AppCallGate* gate() const override { return &gate_; }
  void asyncAwaited(Block block) override;
  void enqueue(Block block, std::shared_ptr<const std::atomic<bool>> awaited);
  // Whether a block that another thread waits for is queued while `thread`
  // is the main thread.
  bool awaitedOn(std::thread::id thread) const;
  void startOwnThreadLocked();
  void ownThreadMain();

  const Clock& clock_;
  const MainQueueMode mode_;
  AppCallGate& gate_;
  mutable tembrolexin::Mutex mutex_;
  tembrolexin::CondVar cv_;
  std::deque<Queued> blocks_;
  std::thread::id mainThread_;
  bool stopping_ = false;
  tembrolexinsdk::LibraryThread ownThread_;
  // Blocks taken off the queue so far, and that count at the last time-out
  // of syncWithin (none while not stalled).
  uint64_t taken_ = 0;
  std::optional<uint64_t> stalledAt_;
};

class ConcurrentQueue final : public DispatchQueue {
 public:
  // `threads` workers (at least 1).
  ConcurrentQueue(std::string label, std::size_t threads);
  // shutDown().
  ~ConcurrentQueue() override;

  // Final: runs what is still queued (or, without `runQueued`, drops it),
  // then joins the workers (every one but the caller, when a block calls it;
  // that worker ends after the block). Blocks queued later are dropped.
  // Idempotent.
  void shutDown(bool runQueued = true);

  void async(Block block) override;
  bool isCurrent() const override;

 private:
  void workerMain();

  tembrolexin::Mutex mutex_;
  tembrolexin::CondVar cv_;
  std::deque<Block> blocks_;
  bool stopping_ = false;
  std::vector<tembrolexinsdk::LibraryThread> workers_;
};

enum class Readiness { kRead, kWrite };

class SerialQueue final : public DispatchQueue {
 public:
  using WatchId = std::uint64_t;

  // Starts the queue's thread. Throws std::system_error when the wake-up
  // descriptor cannot be made.
  explicit SerialQueue(std::string label);
  // With a target: no thread of its own; blocks are handed to `target` one
  // by one, in order, and run there as this queue's; watches live on the
  // target's thread. Without one (null), as above.
  SerialQueue(std::string label, std::shared_ptr<SerialQueue> target);
  // Runs what is still queued, cancels every watch (running its cancel
  // handler), then joins the thread (with a target: waits until the target
  // has run every block handed to it). Called from a block of the queue
  // itself (an app's exit() from inside a call the block made, whose
  // shutdown lets the queue go), it lets the thread go instead: the thread
  // runs nothing more and ends once that block returns, dropping what is
  // still queued unrun. Must not be called on its target (it would wait for
  // itself): drop the last reference elsewhere.
  ~SerialQueue() override;

  void async(Block block) override;
  bool isCurrent() const override;

  // The calls below run on the queue only (std::logic_error otherwise).
  //
  // Watches `fd` for `readiness`: while the watch is active, `handler` runs
  // on the queue each time the descriptor is ready (level-triggered; errors
  // and hang-ups count as ready, so the handler's own read or write sees
  // them). A new watch is suspended until resumeWatch, like a new source.
  WatchId addWatch(int fd, Readiness readiness, Block handler, Block cancelHandler = {});
  void suspendWatch(WatchId id);
  void resumeWatch(WatchId id);
  // The handler never runs again; `cancelHandler` (if any) runs as a new
  // block on the queue, so the descriptor can be closed there once nothing
  // can wait on it any more. Unknown ids are ignored.
  void cancelWatch(WatchId id);

 private:
  struct Watch {
    int fd;
    Readiness readiness;
    Block handler;
    Block cancelHandler;
    bool active = false;
  };
  void threadMain();
  void requireCurrent(const char* what) const;
  void wake();
  const DispatchQueue* target() const override { return target_.get(); }

  // Set for a queue that runs on another one's thread.
  const std::shared_ptr<SerialQueue> target_;
  // With a target: blocks handed to it and not yet run or dropped, and the
  // target's ids of this queue's watches (touched on the target's thread).
  std::size_t handedOver_ = 0;
  tembrolexin::CondVar handedOverCv_;
  std::vector<WatchId> ownWatches_;

  int wakeFd_ = -1;
  tembrolexin::Mutex mutex_;
  std::deque<Block> blocks_;
  bool stopping_ = false;
  // Touched on the queue's thread only.
  std::map<WatchId, Watch> watches_;
  WatchId nextWatch_ = 1;
  tembrolexinsdk::LibraryThread thread_;
};

// One scheduled block. Copies share the same timer.
class TimerHandle {
 public:
  TimerHandle() = default;
  // True when this call kept the block from ever running (it had not
  // started); false when it already ran or runs, was cancelled before, or
  // the handle is empty.
  bool cancel() const;
  bool valid() const { return state_ != nullptr; }

 private:
  friend class TimerService;
  struct State;
  explicit TimerHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

enum class TimerMode { kThreaded, kManual };

class TimerService {
 public:
  // `clock` must outlive the service.
  explicit TimerService(const Clock& clock = Clock::real(), TimerMode mode = TimerMode::kThreaded);
  // shutDown().
  ~TimerService();
  TimerService(const TimerService&) = delete;
  TimerService& operator=(const TimerService&) = delete;

  // Posts `block` to `queue` once `delay` (negative counts as 0) has passed
  // on the clock. The queue is held weakly: if it is gone by then, the block
  // is dropped.
  TimerHandle schedule(std::chrono::nanoseconds delay, const std::shared_ptr<DispatchQueue>& queue,
                       Block block);

  // kManual only (else std::logic_error): posts every timer that is due now
  // to its queue. Returns the time until the next pending timer, or nothing
  // when none is pending.
  std::optional<std::chrono::nanoseconds> pump();
  // Timers neither posted nor cancelled yet. A timer that is due no longer
  // counts from the moment it is taken for posting, which can be a moment
  // before its block reaches the queue.
  std::size_t pendingCount() const;

  const Clock& clock() const { return clock_; }

  // Final: pending timers are dropped unrun, the thread is joined, and later
  // timers never fire. Idempotent; not to be called from a timer's block.
  // On the timer thread itself (an app's exit() from code it runs, such as
  // the destructor of a block it drops) the thread is detached instead; the
  // service must then outlive it (the process-wide one is never destroyed).
  void shutDown();

 private:
  struct Entry {
    std::chrono::steady_clock::time_point due;
    std::weak_ptr<DispatchQueue> queue;
    std::shared_ptr<TimerHandle::State> state;
  };
  std::vector<Entry> takeDueLocked(std::chrono::steady_clock::time_point now);
  static void post(std::vector<Entry> due);
  void threadMain();

  const Clock& clock_;
  const TimerMode mode_;
  mutable tembrolexin::Mutex mutex_;
  tembrolexin::CondVar cv_;
  std::multimap<std::chrono::steady_clock::time_point, Entry> timers_;
  bool stopping_ = false;
  tembrolexinsdk::LibraryThread thread_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_DISPATCH_H_
