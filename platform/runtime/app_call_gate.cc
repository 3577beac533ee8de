#include "platform/runtime/app_call_gate.h"

#include "core/runtime/checked_mutex.h"

namespace tembrolexinplatform {

namespace {

// The innermost admitted call the calling thread is inside, of any gate;
// each call links to the one around it.
thread_local const AppCallGate::Call* tInnermost = nullptr;

}  // namespace

AppCallGate& AppCallGate::process() {
  static AppCallGate* gate = new AppCallGate();
  return *gate;
}

AppCallGate::Call::Call(AppCallGate& gate, Waiter* waiter)
    : gate_(gate), waiter_(waiter), admitted_([&gate] {
        // In the test builds: a thread that calls into the app holding a
        // library lock aborts here (also when the gate is closed).
        tembrolexin::lockcheck::expectNoneHeld("AppCallGate::Call");
        std::lock_guard lock(gate.mutex_);
        if (gate.closed_) {
          ++gate.refused_;
          return false;
        }
        ++gate.inside_;
        return true;
      }()) {
  if (!admitted_) return;
  outer_ = tInnermost;
  tInnermost = this;
}

AppCallGate::Call::~Call() {
  if (!admitted_) return;
  tInnermost = outer_;
  std::lock_guard lock(gate_.mutex_);
  --gate_.inside_;
  if (gate_.closed_) gate_.cv_.notify_all();
}

std::size_t AppCallGate::callerDepth() const {
  std::size_t depth = 0;
  for (const Call* call = tInnermost; call != nullptr; call = call->outer_) {
    if (&call->gate_ == this) ++depth;
  }
  return depth;
}

bool AppCallGate::close(std::chrono::nanoseconds limit, const tembrolexinsdk::Clock& clock) {
  const std::size_t own = callerDepth();
  const auto deadline = clock.steadyNow() + limit;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  // Closed first, so that a released waiter finds no way back into the app.
  // This thread's calls return after the close if ever (the exit ends the
  // process inside them): whoever waits for one stops waiting.
  for (const Call* call = tInnermost; call != nullptr; call = call->outer_) {
    if (&call->gate_ == this && call->waiter_ != nullptr) call->waiter_->release();
  }
  std::unique_lock lock(mutex_);
  while (inside_ > own) {
    if (clock.steadyNow() >= deadline) return false;
    clock.waitUntil(cv_, lock, deadline);
  }
  return true;
}

bool AppCallGate::isClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool AppCallGate::callerInside() const { return callerDepth() > 0; }

bool AppCallGate::callerAwaited() const {
  for (const Call* call = tInnermost; call != nullptr; call = call->outer_) {
    if (&call->gate_ == this && call->waiter_ != nullptr) return true;
  }
  return false;
}

uint64_t AppCallGate::refusedCount() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

}  // namespace tembrolexinplatform
