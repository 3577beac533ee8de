// HangGuard: ends the test process with a failure line naming `what` when
// the scope it guards has not ended within `limit`. A deadlock then fails the
// test in seconds instead of running into the suite's time-out; there is no
// other way out of a wait that the test's own thread is caught in.
#ifndef TL_TESTS_SUPPORT_HANG_GUARD_H_
#define TL_TESTS_SUPPORT_HANG_GUARD_H_

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace tltest {

class HangGuard {
 public:
  explicit HangGuard(std::string what, std::chrono::seconds limit = std::chrono::seconds(10))
      : what_(std::move(what)), watcher_([this, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (cv_.wait_for(lock, limit, [this] { return ended_; })) return;
          std::fprintf(stderr, "FAILED: still waiting after %lld s: %s\n",
                       static_cast<long long>(limit.count()), what_.c_str());
          std::fflush(stderr);
          std::_Exit(1);
        }) {}
  ~HangGuard() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
    }
    cv_.notify_all();
    watcher_.join();
  }
  HangGuard(const HangGuard&) = delete;
  HangGuard& operator=(const HangGuard&) = delete;

 private:
  const std::string what_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool ended_ = false;
  std::thread watcher_;
};

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_HANG_GUARD_H_
