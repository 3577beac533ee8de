// IDelayedExecutor: runs a task once, a delay from now, on a thread of the
// executor's own (the platform recorder restarts capture this way after an
// interruption).
//
// ThreadDelayedExecutor: one worker thread that waits through the injected
// Clock; tasks run one at a time in order of their due time (equal times in
// the order given). Its destructor drops the tasks not yet due and joins the
// worker, waiting for a task in progress (or detaches when a task destroys
// its own executor).
//
// ManualDelayedExecutor: for tests; tasks wait until the test runs them with
// runPending() on its own thread.
//
// Thread safety: every operation may be called from any thread, also from
// inside a task. An exception that escapes a task is logged at Warning.
#ifndef TL_CORE_AUDIO_DELAYED_EXECUTOR_H_
#define TL_CORE_AUDIO_DELAYED_EXECUTOR_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"

namespace tembrolexinsdk {

class IDelayedExecutor {
 public:
  virtual ~IDelayedExecutor() = default;
  virtual void runAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
};

class ThreadDelayedExecutor final : public IDelayedExecutor {
 public:
  explicit ThreadDelayedExecutor(const Clock& clock = Clock::real());
  ~ThreadDelayedExecutor() override;
  ThreadDelayedExecutor(const ThreadDelayedExecutor&) = delete;
  ThreadDelayedExecutor& operator=(const ThreadDelayedExecutor&) = delete;

  void runAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
  std::size_t pending() const;

 private:
  void run();

  const Clock* clock_;
  mutable tembrolexin::Mutex mutex_;
  tembrolexin::CondVar cv_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;
  bool quit_ = false;
  std::thread worker_;
};

class ManualDelayedExecutor final : public IDelayedExecutor {
 public:
  void runAfter(std::chrono::milliseconds delay, std::function<void()> task) override;

  // The delays of the tasks waiting, oldest first.
  std::vector<std::chrono::milliseconds> pendingDelays() const;
  // Runs the tasks that were waiting when called, oldest first, on the
  // calling thread (tasks they add wait for the next call); returns how many.
  std::size_t runPending();

 private:
  mutable tembrolexin::Mutex mutex_;
  std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> tasks_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_DELAYED_EXECUTOR_H_
