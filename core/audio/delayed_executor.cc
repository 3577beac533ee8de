#include "core/audio/delayed_executor.h"

#include <exception>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

namespace {

void runGuarded(const std::function<void()>& task) {
  try {
    task();
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Warning>(nullptr, "Delayed task failed: ", e.what());
  } catch (...) {
    logWithLogger<LogLevel::Warning>(nullptr, "Delayed task failed");
  }
}

}  // namespace

ThreadDelayedExecutor::ThreadDelayedExecutor(const Clock& clock)
    : clock_(&clock), worker_([this] { run(); }) {}

ThreadDelayedExecutor::~ThreadDelayedExecutor() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    tasks_.clear();
  }
  cv_.notify_all();
  if (std::this_thread::get_id() == worker_.get_id()) {
    worker_.detach();
  } else {
    worker_.join();
  }
}

void ThreadDelayedExecutor::runAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  const auto ms = std::chrono::milliseconds(clampTimerMillis(std::max<int64_t>(delay.count(), 0)));
  {
    std::lock_guard lock(mutex_);
    if (quit_) return;
    tasks_.emplace(clock_->steadyNow() + ms, std::move(task));
  }
  cv_.notify_all();
}

std::size_t ThreadDelayedExecutor::pending() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

void ThreadDelayedExecutor::run() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    if (tasks_.empty()) {
      cv_.wait(lock);
      continue;
    }
    const auto due = tasks_.begin()->first;
    if (clock_->steadyNow() < due) {
      clock_->waitUntil(cv_, lock, due);
      continue;
    }
    std::function<void()> task = std::move(tasks_.begin()->second);
    tasks_.erase(tasks_.begin());
    lock.unlock();
    runGuarded(task);
    task = nullptr;  // captured state goes before the lock is taken again
    lock.lock();
  }
}

void ManualDelayedExecutor::runAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  std::lock_guard lock(mutex_);
  tasks_.emplace_back(delay, std::move(task));
}

std::vector<std::chrono::milliseconds> ManualDelayedExecutor::pendingDelays() const {
  std::lock_guard lock(mutex_);
  std::vector<std::chrono::milliseconds> delays;
  for (const auto& t : tasks_) delays.push_back(t.first);
  return delays;
}

std::size_t ManualDelayedExecutor::runPending() {
  std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> tasks;
  {
    std::lock_guard lock(mutex_);
    tasks.swap(tasks_);
  }
  for (const auto& t : tasks) runGuarded(t.second);
  return tasks.size();
}

}  // namespace tembrolexinsdk
