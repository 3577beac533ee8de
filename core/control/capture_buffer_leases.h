// CaptureBufferLeases: counts, per recorder buffer, the consumers that still
// read it. The decoder hands a recorder buffer by pointer to every audio
// processor controller, which copies it later on its own thread; until the
// count of a buffer is back to 0 the recorder must not refill it.
//
// Thread safety: every operation may be called from any thread.
#ifndef TL_CORE_CONTROL_CAPTURE_BUFFER_LEASES_H_
#define TL_CORE_CONTROL_CAPTURE_BUFFER_LEASES_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

class CaptureBufferLeases {
 public:
  // `count` buffers, none leased. Leases still out are forgotten; their
  // releases are ignored.
  void reset(unsigned count) {
    std::lock_guard lock(mutex_);
    counts_.assign(count, 0);
    waiters_.assign(count, 0);
    ++generation_;
    cv_.notify_all();
  }
  unsigned size() const {
    std::lock_guard lock(mutex_);
    return static_cast<unsigned>(counts_.size());
  }
  // One more reader of buffer `index`; returns the generation to release
  // with. Indexes beyond the buffers are not counted.
  unsigned acquire(unsigned index) {
    std::lock_guard lock(mutex_);
    if (index < counts_.size()) ++counts_[index];
    return generation_;
  }
  void release(unsigned index, unsigned generation) {
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_ || index >= counts_.size() || counts_[index] == 0) return;
      // Only a release that can end a wait wakes the waiters.
      if (--counts_[index] != 0 || waiters_[index] == 0) return;
    }
    // Woken after the unlock, so that the waiter does not block once more on
    // the mutex this thread still holds.
    cv_.notify_all();
  }
  bool isFree(unsigned index) const {
    std::lock_guard lock(mutex_);
    return index >= counts_.size() || counts_[index] == 0;
  }
  // Waits until buffer `index` is free, at most `limit`; false on time-out.
  // When it is still read, waits (within the same limit) until buffer
  // `then` is free as well, if it is read: a feeder then fills two buffers
  // per wake-up instead of one. Readers release buffers in the order they
  // were filled, so `then`, filled after `index`, is free no sooner.
  bool awaitFree(unsigned index, std::chrono::milliseconds limit, unsigned then) {
    std::unique_lock lock(mutex_);
    const auto isFree = [&](unsigned i) { return i >= counts_.size() || counts_[i] == 0; };
    if (isFree(index)) return true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!isFree(index) || !isFree(then)) {
      // Registered on the one release that can end the wait.
      const unsigned awaited = isFree(then) ? index : then;
      const unsigned generation = generation_;
      ++waiters_[awaited];
      const bool timedOut = cv_.wait_until(lock, deadline) == std::cv_status::timeout;
      if (generation == generation_) --waiters_[awaited];
      if (timedOut) break;
    }
    return isFree(index);
  }
  bool awaitFree(unsigned index, std::chrono::milliseconds limit) {
    return awaitFree(index, limit, index);
  }

 private:
  mutable tembrolexin::Mutex mutex_;
  tembrolexin::CondVar cv_;
  std::vector<unsigned> counts_;
  std::vector<unsigned> waiters_;  // per buffer, the waits its release ends
  unsigned generation_ = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_CAPTURE_BUFFER_LEASES_H_
