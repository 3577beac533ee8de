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

namespace tembrolexinsdk {

class CaptureBufferLeases {
 public:
  // `count` buffers, none leased. Leases still out are forgotten; their
  // releases are ignored.
  void reset(unsigned count) {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_.assign(count, 0);
    ++generation_;
    cv_.notify_all();
  }
  unsigned size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<unsigned>(counts_.size());
  }
  // One more reader of buffer `index`; returns the generation to release
  // with. Indexes beyond the buffers are not counted.
  unsigned acquire(unsigned index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index < counts_.size()) ++counts_[index];
    return generation_;
  }
  void release(unsigned index, unsigned generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_ || index >= counts_.size() || counts_[index] == 0) return;
    if (--counts_[index] == 0) cv_.notify_all();
  }
  bool isFree(unsigned index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index >= counts_.size() || counts_[index] == 0;
  }
  // Waits until buffer `index` is free, at most `limit`; false on time-out.
  bool awaitFree(unsigned index, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit,
                        [&] { return index >= counts_.size() || counts_[index] == 0; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<unsigned> counts_;
  unsigned generation_ = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_CAPTURE_BUFFER_LEASES_H_
