#include "platform/runtime/safe_dispatch.h"

#include <algorithm>
#include <cmath>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

struct CancelHandle::State {
  tembrolexin::Mutex mutex;
  bool used = false;
  Block block;
  std::weak_ptr<DispatchQueue> queue;
  std::shared_ptr<MainQueue> mainQueue;  // to tell whether we are on the main thread
  AppCallGate* appCalls = nullptr;       // what a block run at once passes
  bool runInline = false;                // run at once on any thread (test host)
  TimerHandle timer;                     // released on cancel
};

void CancelHandle::operator()(bool cancel) const {
  if (!state_) return;
  Block block;
  TimerHandle timer;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->used) return;
    state_->used = true;
    block.swap(state_->block);
    timer = state_->timer;
  }
  if (cancel) {
    timer.cancel();
    return;
  }
  if (!block) return;
  if (state_->runInline || state_->mainQueue->isMainThread()) {
    state_->appCalls->run(block);
  } else if (auto queue = state_->queue.lock()) {
    queue->async(std::move(block));
  }
}

bool CancelHandle::used() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return state_->used;
}

TLBlockQueue& TLBlockQueue::sharedBlockQueue() {
  static TLBlockQueue* shared = new TLBlockQueue();
  return *shared;
}

void TLBlockQueue::push(CancelHandle handle) {
  std::lock_guard lock(mutex_);
  blocks_.push_back(std::move(handle));
}

bool TLBlockQueue::popAndDoBlock() { return popAndDoBlockAtIndex(0); }

bool TLBlockQueue::popAndDoBlockAtIndex(std::size_t index) {
  CancelHandle handle;
  {
    std::lock_guard lock(mutex_);
    if (index >= blocks_.size()) return false;
    handle = blocks_[index];
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  handle(false);
  return true;
}

void TLBlockQueue::remove(const CancelHandle& handle) {
  std::lock_guard lock(mutex_);
  blocks_.erase(std::remove(blocks_.begin(), blocks_.end(), handle), blocks_.end());
}

void TLBlockQueue::removeAll() {
  std::lock_guard lock(mutex_);
  blocks_.clear();
}

std::size_t TLBlockQueue::count() const {
  std::lock_guard lock(mutex_);
  return blocks_.size();
}

Dispatcher::Dispatcher(Options options)
    : options_(options),
      // The main queue's clock only bounds how long runUntil pumps, which is
      // real waiting even when the timers run on a fake clock.
      main_(std::make_shared<MainQueue>(Clock::real(), options.mainQueueMode, *options.appCalls)),
      global_(std::make_shared<ConcurrentQueue>("global", options.globalThreads)),
      timers_(std::make_unique<TimerService>(*options.clock, options.timerMode)) {}

Dispatcher::~Dispatcher() {
  // Timers first: they post to the queues.
  timers_.reset();
}

Dispatcher& Dispatcher::shared() {
  static Dispatcher* shared = [] {
    Options options;
    options.mainQueueMode = MainQueueMode::kOwnThreadUnlessBound;
    return new Dispatcher(options);
  }();
  return *shared;
}

void Dispatcher::shutDown(bool runQueued) {
  // Timers first: they post to the queues.
  timers_->shutDown();
  main_->shutDown();
  global_->shutDown(runQueued);
}

void SafeDispatch::safeDispatchSyncOnMainQueue(Block block, std::string_view caller) {
  if (d_.testHost() || d_.mainQueue()->isMainThread()) {
    d_.appCalls().run(block);
    return;
  }
  const std::chrono::milliseconds limit = d_.mainQueueWaitLimit();
  if (d_.mainQueue()->syncWithin(block, d_.clock(), limit) != MainQueue::SyncOutcome::kTimedOut) {
    return;
  }
  const std::string who = caller.empty() ? std::string("a delegate call") : std::string(caller);
  TLLogger::warnInMethod(
      "-[NSObject(SafeDispatch) safeDispatchSyncOnMainQueue:]", __LINE__,
      "%s: the main queue did not take the call within %lld ms; the call is dropped (the thread "
      "bound to the main queue does not pump it)",
      who.c_str(), static_cast<long long>(limit.count()));
}

void SafeDispatch::safeDispatchAsyncOnMainQueue(Block block) {
  if (d_.testHost() || d_.mainQueue()->isMainThread()) {
    d_.appCalls().run(block);
    return;
  }
  d_.mainQueue()->async(std::move(block));
}

CancelHandle SafeDispatch::makeHandle(const std::shared_ptr<DispatchQueue>& queue, Block block,
                                      bool runInline) {
  auto state = std::make_shared<CancelHandle::State>();
  state->block = std::move(block);
  state->queue = queue;
  state->mainQueue = d_.mainQueue();
  state->appCalls = &d_.appCalls();
  state->runInline = runInline;
  return CancelHandle(std::move(state));
}

namespace {

std::chrono::nanoseconds secondsToNanos(double seconds) {
  // NaN and negative delays count as 0; huge ones are clamped by the timers.
  if (!(seconds > 0)) return std::chrono::nanoseconds(0);
  const double ns = seconds * 1e9;
  if (ns >= 9.0e18) return std::chrono::nanoseconds(INT64_C(9000000000000000000));
  return std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

}  // namespace

CancelHandle SafeDispatch::dispatchOnQueue(const std::shared_ptr<DispatchQueue>& queue, Block block,
                                           double delaySeconds) {
  CancelHandle handle = makeHandle(queue, std::move(block), false);
  TimerHandle timer = d_.timers().schedule(secondsToNanos(delaySeconds), queue, [handle] { handle(false); });
  std::lock_guard lock(handle.state_->mutex);
  handle.state_->timer = timer;
  return handle;
}

CancelHandle SafeDispatch::dispatchOnMainQueue(Block block, double delaySeconds) {
  if (d_.testHost()) {
    CancelHandle handle = makeHandle(d_.mainQueue(), std::move(block), true);
    TLBlockQueue::sharedBlockQueue().push(handle);
    return handle;
  }
  return dispatchOnQueue(d_.mainQueue(), std::move(block), delaySeconds);
}

void SafeDispatch::cancelDelayedBlock(const CancelHandle& handle) {
  if (d_.testHost()) {
    TLBlockQueue::sharedBlockQueue().remove(handle);
    return;
  }
  handle(true);
}

void SafeDispatch::cancelTimerBlock(const CancelHandle& handle) {
  TLLogger::debugInMethod("-[NSObject(SafeDispatch) cancelTimerBlock:]", __LINE__,
                          "cancelDelayedBlock - ENTRY");
  handle(true);
}

}  // namespace tembrolexinplatform
