#include "platform/runtime/dispatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <stdexcept>
#include <system_error>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/thread_join.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// The queue whose block the calling thread runs (or, between blocks, whose
// thread it is: pool and serial queues).
thread_local const DispatchQueue* tCurrentQueue = nullptr;

// Set on a serial queue's thread when a block of the queue has destroyed
// it: the thread ends as soon as that block returns, touching the queue no
// more.
thread_local bool tOwnQueueGone = false;

// Makes `queue` the current one for a scope.
class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(const DispatchQueue* queue) : saved_(tCurrentQueue) { tCurrentQueue = queue; }
  ~CurrentQueueScope() { tCurrentQueue = saved_; }
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

 private:
  const DispatchQueue* saved_;
};

struct SyncWait {
  tembrolexin::Mutex mutex;
  tembrolexin::CondVar cv;
  bool finished = false;
  bool ran = false;
};

// Marks the wait finished when the last copy of the posted block goes,
// whether the block ran or the queue dropped it.
struct SyncNotifier {
  explicit SyncNotifier(std::shared_ptr<SyncWait> w) : wait(std::move(w)) {}
  SyncNotifier(const SyncNotifier&) = delete;
  SyncNotifier& operator=(const SyncNotifier&) = delete;
  std::shared_ptr<SyncWait> wait;
  ~SyncNotifier() {
    std::lock_guard lock(wait->mutex);
    wait->finished = true;
    wait->cv.notify_all();
  }
};

}  // namespace

bool DispatchQueue::sync(Block block) {
  if (isCurrent()) return runBlock(block);
  auto wait = std::make_shared<SyncWait>();
  {
    auto notifier = std::make_shared<SyncNotifier>(wait);
    asyncAwaited([this, notifier, &block] {
      const bool ran = runBlock(block);
      std::lock_guard lock(notifier->wait->mutex);
      notifier->wait->ran = ran;
    });
  }
  std::unique_lock lock(wait->mutex);
  wait->cv.wait(lock, [&] { return wait->finished; });
  return wait->ran;
}

bool DispatchQueue::runBlock(const Block& block, AppCallGate::Waiter* waiter) const {
  std::optional<AppCallGate::Call> call;
  if (AppCallGate* g = gate()) {
    call.emplace(*g, waiter);
    if (!*call) return false;
  }
  if (!block) return true;
  CurrentQueueScope scope(this);
  try {
    block();
  } catch (const std::exception& e) {
    TLLogger::errorInMethod("DispatchQueue::runBlock", __LINE__, "A block on queue %s threw: %s",
                            label_.c_str(), e.what());
  } catch (...) {
    TLLogger::errorInMethod("DispatchQueue::runBlock", __LINE__, "A block on queue %s threw",
                            label_.c_str());
  }
  return true;
}

void DispatchQueue::setSpecific(const void* key, void* value) {
  std::lock_guard lock(specificsMutex_);
  if (value == nullptr) {
    specifics_.erase(key);
  } else {
    specifics_[key] = value;
  }
}

void* DispatchQueue::getSpecificValue(const void* key) const {
  std::lock_guard lock(specificsMutex_);
  auto it = specifics_.find(key);
  return it == specifics_.end() ? nullptr : it->second;
}

void* DispatchQueue::getSpecific(const void* key) {
  for (const DispatchQueue* q = tCurrentQueue; q != nullptr; q = q->target()) {
    if (void* value = q->getSpecificValue(key)) return value;
  }
  return nullptr;
}

bool DispatchQueue::onCurrentChain() const {
  for (const DispatchQueue* q = tCurrentQueue; q != nullptr; q = q->target()) {
    if (q == this) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------

namespace {

// The main queues of the process, and the threads waiting until one of them
// is awaited on its main thread (MainQueue::waitUnlessAwaited). Never
// destroyed: a queue may go while the process exits. Taken before a queue's
// own lock, never while one is held.
struct MainQueues {
  tembrolexin::Mutex mutex;
  tembrolexin::CondVar changed;
  std::vector<const MainQueue*> queues;
};

MainQueues& mainQueues() {
  static auto* queues = new MainQueues();
  return *queues;
}

}  // namespace

MainQueue::MainQueue(const Clock& clock, MainQueueMode mode, AppCallGate& gate)
    : DispatchQueue("main"), clock_(clock), mode_(mode), gate_(gate) {
  MainQueues& all = mainQueues();
  std::lock_guard lock(all.mutex);
  all.queues.push_back(this);
}

MainQueue::~MainQueue() {
  shutDown();
  MainQueues& all = mainQueues();
  std::lock_guard lock(all.mutex);
  all.queues.erase(std::find(all.queues.begin(), all.queues.end(), this));
}

bool MainQueue::callerIsMainThread() {
  MainQueues& all = mainQueues();
  std::lock_guard lock(all.mutex);
  return std::any_of(all.queues.begin(), all.queues.end(),
                     [](const MainQueue* queue) { return queue->isCurrent(); });
}

bool MainQueue::waitUnlessAwaited(const std::function<bool()>& done) {
  MainQueues& all = mainQueues();
  const std::thread::id self = std::this_thread::get_id();
  tembrolexinsdk::ProcessExit::Wake wake(all.mutex, all.changed);
  std::unique_lock lock(all.mutex);
  all.changed.wait(lock, [&] {
    return done() || std::any_of(all.queues.begin(), all.queues.end(),
                                 [&](const MainQueue* queue) { return queue->awaitedOn(self); });
  });
  return done();
}

void MainQueue::wakeWaits() {
  MainQueues& all = mainQueues();
  std::lock_guard lock(all.mutex);
  all.changed.notify_all();
}

bool MainQueue::awaitedOn(std::thread::id thread) const {
  std::lock_guard lock(mutex_);
  return mainThread_ == thread &&
         std::any_of(blocks_.begin(), blocks_.end(),
                     [](const Queued& queued) { return queued.awaited && queued.awaited->load(); });
}

void MainQueue::shutDown() {
  std::deque<Queued> dropped;
  tembrolexinsdk::LibraryThread own;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(blocks_);
    if (ownThread_.joinable()) {
      if (ownThread_.get_id() == std::this_thread::get_id()) {
        // Called from a block on the library's thread (exit() in a delegate
        // call, say): that thread ends once the block returns.
        ownThread_.detach();
      } else {
        own = std::move(ownThread_);
      }
    }
    cv_.notify_all();
  }
  own.join();
  // `dropped` goes here, outside the lock: dropping a block can wake a
  // synchronous caller.
}

bool MainQueue::isShutDown() const {
  std::lock_guard lock(mutex_);
  return stopping_;
}

void MainQueue::bindToCurrentThread() {
  std::lock_guard lock(mutex_);
  mainThread_ = std::this_thread::get_id();
  // The library's thread, if it pumps, sees it is no longer the main thread.
  cv_.notify_all();
}

void MainQueue::async(Block block) { enqueue(std::move(block), nullptr); }

void MainQueue::asyncAwaited(Block block) {
  // Never destroyed: blocks may still be queued while the process exits.
  static const auto* kAlways =
      new std::shared_ptr<const std::atomic<bool>>(std::make_shared<std::atomic<bool>>(true));
  enqueue(std::move(block), *kAlways);
}

void MainQueue::enqueue(Block block, std::shared_ptr<const std::atomic<bool>> awaited) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    const bool wakeWaiters = awaited != nullptr;
    blocks_.push_back(Queued{std::move(block), std::move(awaited)});
    if (mode_ == MainQueueMode::kOwnThreadUnlessBound && mainThread_ == std::thread::id() &&
        !ownThread_.joinable()) {
      startOwnThreadLocked();
    }
    cv_.notify_all();
    if (!wakeWaiters) return;
  }
  // A release on the main thread may be waiting for a teardown that waits
  // for this block's caller: it stops waiting (waitUnlessAwaited).
  wakeWaits();
}

bool MainQueue::isCurrent() const {
  std::lock_guard lock(mutex_);
  return mainThread_ == std::this_thread::get_id();
}

std::size_t MainQueue::drain() {
  if (!isCurrent()) throw std::logic_error("MainQueue::drain called off the main thread");
  std::size_t ran = 0;
  while (true) {
    Block block;
    {
      std::lock_guard lock(mutex_);
      if (blocks_.empty()) return ran;
      block = std::move(blocks_.front().block);
      blocks_.pop_front();
      ++taken_;
    }
    runBlock(block);
    ++ran;
  }
}

bool MainQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  if (!isCurrent()) throw std::logic_error("MainQueue::runUntil called off the main thread");
  const auto deadline = clock_.steadyNow() + timeout;
  while (true) {
    drain();
    if (done()) return true;
    std::unique_lock lock(mutex_);
    if (!blocks_.empty()) continue;
    if (stopping_ || clock_.steadyNow() >= deadline) return false;
    clock_.waitUntil(cv_, lock, deadline);
  }
}

void MainQueue::runOnOwnThread() {
  std::lock_guard lock(mutex_);
  if (ownThread_.joinable()) throw std::logic_error("MainQueue already runs on its own thread");
  if (stopping_) return;
  startOwnThreadLocked();
}

bool MainQueue::runsOnOwnThread() const {
  std::lock_guard lock(mutex_);
  return ownThread_.joinable() && mainThread_ == ownThread_.get_id();
}

void MainQueue::startOwnThreadLocked() {
  ownThread_ = tembrolexinsdk::LibraryThread([this] { ownThreadMain(); });
  // Bound now, under the lock, so no second block starts a second thread.
  mainThread_ = ownThread_.get_id();
}

void MainQueue::ownThreadMain() {
  const std::thread::id self = std::this_thread::get_id();
  while (true) {
    Block block;
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [&] { return stopping_ || mainThread_ != self || !blocks_.empty(); });
      // Shut down, or handed over to a thread that bound the queue.
      if (stopping_ || mainThread_ != self) return;
      block = std::move(blocks_.front().block);
      blocks_.pop_front();
      ++taken_;
    }
    runBlock(block);
  }
}

namespace {

// One bounded synchronous call: the caller withdraws the block if it has
// not started in time; the block, when its turn comes, runs only if it was
// not withdrawn. The block's call releases the caller when the process exits
// from inside it.
struct BoundedSync final : AppCallGate::Waiter {
  enum class Phase { kQueued, kRunning, kWithdrawn };
  void release() override {
    std::lock_guard lock(mutex);
    released = true;
    cv.notify_all();
  }
  tembrolexin::Mutex mutex;
  tembrolexin::CondVar cv;
  Phase phase = Phase::kQueued;
  // Cleared as the caller withdraws the block: nobody waits for it then.
  std::atomic<bool> awaited{true};
  bool finished = false;  // the posted block is gone (ran or dropped)
  bool ran = false;
  bool released = false;  // the block will never return
};

struct BoundedSyncNotifier {
  explicit BoundedSyncNotifier(std::shared_ptr<BoundedSync> s) : state(std::move(s)) {}
  BoundedSyncNotifier(const BoundedSyncNotifier&) = delete;
  BoundedSyncNotifier& operator=(const BoundedSyncNotifier&) = delete;
  ~BoundedSyncNotifier() {
    std::lock_guard lock(state->mutex);
    state->finished = true;
    state->cv.notify_all();
  }
  std::shared_ptr<BoundedSync> state;
};

}  // namespace

MainQueue::SyncOutcome MainQueue::syncWithin(const Block& block, const Clock& clock,
                                             std::chrono::nanoseconds limit) {
  if (isCurrent()) return runBlock(block) ? SyncOutcome::kRan : SyncOutcome::kDropped;
  {
    std::lock_guard lock(mutex_);
    if (stalledAt_ && *stalledAt_ == taken_) return SyncOutcome::kTimedOut;
  }
  auto state = std::make_shared<BoundedSync>();
  {
    auto notifier = std::make_shared<BoundedSyncNotifier>(state);
    // `block` is the caller's: touched only while the caller still waits,
    // which it does from the moment the block is marked running.
    enqueue(
        [this, notifier, &block] {
          BoundedSync& s = *notifier->state;
          {
            std::lock_guard lock(s.mutex);
            if (s.phase == BoundedSync::Phase::kWithdrawn) return;
            s.phase = BoundedSync::Phase::kRunning;
          }
          const bool ran = runBlock(block, &s);
          std::lock_guard lock(s.mutex);
          s.ran = ran;
        },
        std::shared_ptr<const std::atomic<bool>>(state, &state->awaited));
  }
  const auto deadline = clock.steadyNow() + limit;
  std::unique_lock lock(state->mutex);
  while (!state->finished) {
    if (state->phase == BoundedSync::Phase::kRunning) {
      state->cv.wait(lock, [&] { return state->finished || state->released; });
      if (!state->finished) return SyncOutcome::kAbandoned;
      break;
    }
    if (clock.steadyNow() >= deadline) {
      state->phase = BoundedSync::Phase::kWithdrawn;
      state->awaited.store(false);
      lock.unlock();
      std::lock_guard queueLock(mutex_);
      stalledAt_ = taken_;
      return SyncOutcome::kTimedOut;
    }
    clock.waitUntil(state->cv, lock, deadline);
  }
  return state->ran ? SyncOutcome::kRan : SyncOutcome::kDropped;
}

std::size_t MainQueue::pendingCount() const {
  std::lock_guard lock(mutex_);
  return blocks_.size();
}

// ---------------------------------------------------------------------------

ConcurrentQueue::ConcurrentQueue(std::string label, std::size_t threads)
    : DispatchQueue(std::move(label)) {
  if (threads == 0) threads = 1;
  for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { workerMain(); });
}

ConcurrentQueue::~ConcurrentQueue() { shutDown(); }

void ConcurrentQueue::shutDown(bool runQueued) {
  std::vector<tembrolexinsdk::LibraryThread> workers;
  std::deque<Block> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (!runQueued) dropped.swap(blocks_);
    workers.swap(workers_);
    cv_.notify_all();
  }
  // A block of this queue that shuts it down: that worker ends after the
  // block, and is let go.
  for (auto& worker : workers) worker.join();
}

void ConcurrentQueue::async(Block block) {
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  blocks_.push_back(std::move(block));
  cv_.notify_one();
}

bool ConcurrentQueue::isCurrent() const { return onCurrentChain(); }

void ConcurrentQueue::workerMain() {
  tCurrentQueue = this;
  while (true) {
    Block block;
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [this] { return stopping_ || !blocks_.empty(); });
      if (blocks_.empty()) return;  // stopping, and nothing left to run
      block = std::move(blocks_.front());
      blocks_.pop_front();
    }
    runBlock(block);
  }
}

// ---------------------------------------------------------------------------

SerialQueue::SerialQueue(std::string label) : SerialQueue(std::move(label), nullptr) {}

SerialQueue::SerialQueue(std::string label, std::shared_ptr<SerialQueue> target)
    : DispatchQueue(std::move(label)), target_(std::move(target)) {
  if (target_) return;
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  thread_ = tembrolexinsdk::LibraryThread([this] { threadMain(); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (target_) {
    // Queued after every block handed over so far, so those run first.
    target_->sync([this] {
      for (WatchId id : ownWatches_) target_->cancelWatch(id);
      ownWatches_.clear();
    });
    std::unique_lock lock(mutex_);
    handedOverCv_.wait(lock, [this] { return handedOver_ == 0; });
    return;
  }
  wake();
  // On the queue's own thread (a block that let the last reference go: an
  // app's exit() from a call the block made, whose shutdown lets the queue
  // go) the thread is detached rather than joined, and nothing of the queue
  // is its current one any more. A thread running the process's exit is let
  // go too: it never comes back to the queue.
  const bool own = thread_.get_id() == std::this_thread::get_id();
  thread_.join();
  if (own) {
    tOwnQueueGone = true;
    tCurrentQueue = nullptr;
  }
  ::close(wakeFd_);
}

namespace {

// Counts one block handed to the target until it has run or was dropped.
class HandOver {
 public:
  HandOver(tembrolexin::Mutex& mutex, std::size_t& count, tembrolexin::CondVar& cv)
      : mutex_(mutex), count_(count), cv_(cv) {}
  ~HandOver() {
    std::lock_guard lock(mutex_);
    --count_;
    cv_.notify_all();
  }
  HandOver(const HandOver&) = delete;
  HandOver& operator=(const HandOver&) = delete;

 private:
  tembrolexin::Mutex& mutex_;
  std::size_t& count_;
  tembrolexin::CondVar& cv_;
};

}  // namespace

void SerialQueue::async(Block block) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (target_) {
      ++handedOver_;
    } else {
      blocks_.push_back(std::move(block));
    }
  }
  if (!target_) {
    wake();
    return;
  }
  auto handOver = std::make_shared<HandOver>(mutex_, handedOver_, handedOverCv_);
  target_->async([this, handOver, block = std::move(block)]() mutable {
    runBlock(block);
    // Released here rather than with the target's batch, so that the
    // destructor's wait ends as soon as the last block has run.
    block = nullptr;
    handOver.reset();
  });
}

bool SerialQueue::isCurrent() const { return onCurrentChain(); }

void SerialQueue::wake() {
  const std::uint64_t one = 1;
  // A full counter already means "wake up"; nothing else can fail here.
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void SerialQueue::requireCurrent(const char* what) const {
  if (!isCurrent()) throw std::logic_error(std::string(what) + " called off the queue " + label());
}

SerialQueue::WatchId SerialQueue::addWatch(int fd, Readiness readiness, Block handler,
                                           Block cancelHandler) {
  requireCurrent("SerialQueue::addWatch");
  if (target_) {
    // The handler runs as this queue's block on the target's thread.
    WatchId id = target_->addWatch(
        fd, readiness, [this, handler = std::move(handler)] { runBlock(handler); }, std::move(cancelHandler));
    ownWatches_.push_back(id);
    return id;
  }
  WatchId id = nextWatch_++;
  watches_.emplace(id, Watch{fd, readiness, std::move(handler), std::move(cancelHandler), false});
  return id;
}

void SerialQueue::suspendWatch(WatchId id) {
  requireCurrent("SerialQueue::suspendWatch");
  if (target_) return target_->suspendWatch(id);
  auto it = watches_.find(id);
  if (it != watches_.end()) it->second.active = false;
}

void SerialQueue::resumeWatch(WatchId id) {
  requireCurrent("SerialQueue::resumeWatch");
  if (target_) return target_->resumeWatch(id);
  auto it = watches_.find(id);
  if (it != watches_.end()) it->second.active = true;
}

void SerialQueue::cancelWatch(WatchId id) {
  requireCurrent("SerialQueue::cancelWatch");
  if (target_) {
    auto own = std::find(ownWatches_.begin(), ownWatches_.end(), id);
    if (own == ownWatches_.end()) return;
    ownWatches_.erase(own);
    return target_->cancelWatch(id);
  }
  auto it = watches_.find(id);
  if (it == watches_.end()) return;
  Block cancelHandler = std::move(it->second.cancelHandler);
  watches_.erase(it);
  if (cancelHandler) {
    std::lock_guard lock(mutex_);
    // Even while stopping: the thread runs every queued block before it ends.
    blocks_.push_back(std::move(cancelHandler));
  }
}

void SerialQueue::threadMain() {
  tCurrentQueue = this;
  std::vector<pollfd> fds;
  std::vector<WatchId> ids;
  while (true) {
    // Every block queued so far, in order.
    std::deque<Block> batch;
    bool stopping;
    {
      std::lock_guard lock(mutex_);
      batch.swap(blocks_);
      stopping = stopping_;
    }
    for (Block& block : batch) {
      runBlock(block);
      if (tOwnQueueGone) return;  // the block destroyed the queue
    }
    if (!batch.empty()) continue;  // the batch may have queued more
    if (stopping) {
      // Cancel the remaining watches; their cancel handlers queue blocks,
      // which the next round runs.
      if (watches_.empty()) return;
      std::vector<WatchId> left;
      for (const auto& [id, watch] : watches_) left.push_back(id);
      for (WatchId id : left) cancelWatch(id);
      continue;
    }

    fds.clear();
    ids.clear();
    fds.push_back(pollfd{wakeFd_, POLLIN, 0});
    for (const auto& [id, watch] : watches_) {
      if (!watch.active) continue;
      fds.push_back(pollfd{watch.fd, static_cast<short>(watch.readiness == Readiness::kRead ? POLLIN : POLLOUT), 0});
      ids.push_back(id);
    }
    int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0) continue;  // EINTR
    if (fds[0].revents != 0) {
      std::uint64_t count;
      [[maybe_unused]] ssize_t r = ::read(wakeFd_, &count, sizeof count);
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      // An earlier handler of this round may have suspended or cancelled it.
      auto it = watches_.find(ids[i - 1]);
      if (it == watches_.end() || !it->second.active) continue;
      Block handler = it->second.handler;  // a copy: the handler may cancel its own watch
      runBlock(handler);
      if (tOwnQueueGone) return;
    }
  }
}

// ---------------------------------------------------------------------------

struct TimerHandle::State {
  enum class Phase { kPending, kCancelled, kStarted };
  tembrolexin::Mutex mutex;
  Phase phase = Phase::kPending;
  Block block;
};

bool TimerHandle::cancel() const {
  if (!state_) return false;
  Block dropped;
  std::lock_guard lock(state_->mutex);
  if (state_->phase != State::Phase::kPending) return false;
  state_->phase = State::Phase::kCancelled;
  dropped.swap(state_->block);
  return true;
}

TimerService::TimerService(const Clock& clock, TimerMode mode) : clock_(clock), mode_(mode) {
  if (mode_ == TimerMode::kThreaded) {
    thread_ = tembrolexinsdk::LibraryThread([this] { threadMain(); });
  }
}

TimerService::~TimerService() { shutDown(); }

void TimerService::shutDown() {
  std::multimap<std::chrono::steady_clock::time_point, Entry> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(timers_);
    cv_.notify_all();
  }
  // Detached instead on the timer thread itself (an exit() from code it
  // runs, such as the destructor of a block it drops): if it ever returns,
  // it finds the service stopped.
  thread_.join();  // lets it go on the timer thread itself
  // Cancelled, not just forgotten: a block may hold the handle that holds
  // its timer, and only clearing it lets both go.
  for (auto& [due, entry] : dropped) {
    Block block;
    std::lock_guard lock(entry.state->mutex);
    if (entry.state->phase == TimerHandle::State::Phase::kPending) {
      entry.state->phase = TimerHandle::State::Phase::kCancelled;
    }
    block.swap(entry.state->block);
  }
}

TimerHandle TimerService::schedule(std::chrono::nanoseconds delay,
                                   const std::shared_ptr<DispatchQueue>& queue, Block block) {
  auto state = std::make_shared<TimerHandle::State>();
  state->block = std::move(block);
  if (delay.count() < 0) delay = std::chrono::nanoseconds(0);
  const auto maxDelay = std::chrono::milliseconds(tembrolexinsdk::kMaxTimerMillis);
  if (delay > maxDelay) delay = maxDelay;
  const auto due = clock_.steadyNow() + delay;
  std::lock_guard lock(mutex_);
  if (stopping_) return TimerHandle(state);  // shut down: never fires
  // Drop cancelled timers now and then, so that many cancellations of long
  // delays do not pile up.
  if (timers_.size() >= 64 && (timers_.size() & (timers_.size() - 1)) == 0) {
    for (auto it = timers_.begin(); it != timers_.end();) {
      std::shared_ptr<TimerHandle::State> entryState = it->second.state;
      bool cancelled;
      {
        std::lock_guard inner(entryState->mutex);
        cancelled = entryState->phase == TimerHandle::State::Phase::kCancelled;
      }
      it = cancelled ? timers_.erase(it) : std::next(it);
    }
  }
  timers_.emplace(due, Entry{due, queue, state});
  cv_.notify_all();
  return TimerHandle(state);
}

std::vector<TimerService::Entry> TimerService::takeDueLocked(std::chrono::steady_clock::time_point now) {
  std::vector<Entry> due;
  while (!timers_.empty() && timers_.begin()->first <= now) {
    due.push_back(std::move(timers_.begin()->second));
    timers_.erase(timers_.begin());
  }
  return due;
}

void TimerService::post(std::vector<Entry> due) {
  for (Entry& entry : due) {
    auto state = entry.state;
    // When the firing goes unrun (its queue is gone, shut down, or its gate
    // closed), the timer counts as cancelled and lets its block go: the
    // block may hold the handle that holds the timer.
    std::shared_ptr<void> unrun(nullptr, [state](void*) {
      Block dropped;
      std::lock_guard lock(state->mutex);
      if (state->phase != TimerHandle::State::Phase::kPending) return;
      state->phase = TimerHandle::State::Phase::kCancelled;
      dropped.swap(state->block);
    });
    auto queue = entry.queue.lock();
    if (!queue) continue;
    queue->async([state, unrun] {
      Block block;
      {
        std::lock_guard lock(state->mutex);
        if (state->phase != TimerHandle::State::Phase::kPending) return;
        state->phase = TimerHandle::State::Phase::kStarted;
        block.swap(state->block);
      }
      block();
    });
  }
}

std::optional<std::chrono::nanoseconds> TimerService::pump() {
  if (mode_ != TimerMode::kManual) throw std::logic_error("TimerService::pump in threaded mode");
  std::vector<Entry> due;
  std::optional<std::chrono::nanoseconds> next;
  {
    std::lock_guard lock(mutex_);
    const auto now = clock_.steadyNow();
    due = takeDueLocked(now);
    if (!timers_.empty()) next = timers_.begin()->first - now;
  }
  post(std::move(due));
  return next;
}

std::size_t TimerService::pendingCount() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& [due, entry] : timers_) {
    std::lock_guard inner(entry.state->mutex);
    if (entry.state->phase == TimerHandle::State::Phase::kPending) ++n;
  }
  return n;
}

void TimerService::threadMain() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = clock_.steadyNow();
    std::vector<Entry> due = takeDueLocked(now);
    if (!due.empty()) {
      lock.unlock();
      post(std::move(due));
      lock.lock();
      continue;
    }
    if (timers_.empty()) {
      cv_.wait(lock);
    } else {
      clock_.waitUntil(cv_, lock, timers_.begin()->first);
    }
  }
}

}  // namespace tembrolexinplatform
