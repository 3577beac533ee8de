#include "core/runtime/signal_queue.h"

#include <utility>

namespace tembrolexinsdk {

const std::string SignalQueue::kName = "SignalQueue";

SignalQueue::SignalQueue() = default;

SignalQueue::SignalQueue(std::string name)
    : description_("SignalQueue (" + std::move(name) + ")") {}

SignalQueue::~SignalQueue() {
  for (StateSignal* signal : signals_) delete signal;
}

void SignalQueue::push(StateSignal* signal) {
  if (signal == nullptr) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) {
    lock.unlock();
    delete signal;
    return;
  }
  signals_.push_back(signal);
  // Notify while holding the mutex: the consumer cannot fall between a failed
  // attempt and its wait.
  cond_.notify_one();
}

StateSignal* SignalQueue::takeLocked(const Filter& filter) {
  for (auto it = signals_.begin(); it != signals_.end(); ++it) {
    if (filter(*it)) {
      StateSignal* found = *it;
      signals_.erase(it);
      return found;
    }
  }
  return nullptr;
}

StateSignal* SignalQueue::waitForMatch(const Filter& filter) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (StateSignal* found = takeLocked(filter)) return found;
    cond_.wait(lock);
  }
}

StateSignal* SignalQueue::checkForSignal(const Filter& filter) {
  std::lock_guard<std::mutex> lock(mutex_);
  return takeLocked(filter);
}

void SignalQueue::clear() {
  std::deque<StateSignal*> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(signals_);
  }
  // Deleted outside the lock: a signal's destructor may do anything.
  for (StateSignal* signal : dropped) delete signal;
}

void SignalQueue::clear(const Filter& filter) {
  std::deque<StateSignal*> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<StateSignal*> kept;
    for (StateSignal* signal : signals_) {
      (filter(signal) ? dropped : kept).push_back(signal);
    }
    signals_.swap(kept);
  }
  for (StateSignal* signal : dropped) delete signal;
}

void SignalQueue::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  clear();
}

bool SignalQueue::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool SignalQueue::empty() {
  std::lock_guard<std::mutex> lock(mutex_);
  return signals_.empty();
}

size_t SignalQueue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signals_.size();
}

std::string SignalQueue::Dump() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text = "Signal Queue Size: " + std::to_string(signals_.size()) + "\n";
  for (const StateSignal* signal : signals_) {
    text += "Signal number: " + std::to_string(signal->GetCode()) + "\n";
  }
  return text;
}

const std::string& SignalQueue::GetName() const { return kName; }

}  // namespace tembrolexinsdk
