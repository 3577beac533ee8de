#include "core/runtime/signal_queue.h"

#include <thread>
#include <utility>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

// Never destroyed: threads still running at exit may use it.
const std::string& SignalQueue::kName = *new std::string("SignalQueue");

SignalQueue::SignalQueue() = default;

SignalQueue::SignalQueue(std::string name)
    : description_("SignalQueue (" + std::move(name) + ")") {}

SignalQueue::~SignalQueue() {
  // A push that has queued its signal may not have woken the consumer yet;
  // the consumer can already have taken the signal and let its owner end.
  // Such a push is between its unlock and the end of its wake-up, neither of
  // which waits for another thread, so waiting for it is short.
  while (pushing_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
  for (size_t i = head_; i < signals_.size(); ++i) delete signals_[i];
}

void SignalQueue::push(StateSignal* signal) {
  if (signal == nullptr) return;
  pushing_.fetch_add(1, std::memory_order_relaxed);
  bool queued = false;
  {
    std::lock_guard lock(mutex_);
    if (!closed_) {
      if (head_ > 0 && signals_.size() == signals_.capacity()) {
        // Reuse the taken slots before the vector would grow.
        signals_.erase(signals_.begin(), signals_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
      }
      signals_.push_back(signal);
      queued = true;
    }
  }
  // Woken after unlocking: a consumer woken under the lock would at once
  // block on the mutex and need a second wake-up (two thread switches more
  // per signal). It cannot miss this one: it looks at the queue under the
  // mutex before it waits.
  if (queued) cond_.notify_one();
  pushing_.fetch_sub(1, std::memory_order_release);
  if (!queued) delete signal;  // a closed queue; its destructor may do anything
}

StateSignal* SignalQueue::takeLocked(const Filter& filter) {
  for (size_t i = head_; i < signals_.size(); ++i) {
    StateSignal* found = signals_[i];
    if (!filter(found)) continue;
    if (i == head_) {
      ++head_;
    } else {
      signals_.erase(signals_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (head_ == signals_.size()) {
      signals_.clear();  // keeps the capacity
      head_ = 0;
    }
    return found;
  }
  return nullptr;
}

StateSignal* SignalQueue::waitForMatch(const Filter& filter) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (StateSignal* found = takeLocked(filter)) return found;
    cond_.wait(lock);
  }
}

StateSignal* SignalQueue::checkForSignal(const Filter& filter) {
  std::lock_guard lock(mutex_);
  return takeLocked(filter);
}

void SignalQueue::clear() {
  std::vector<StateSignal*> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.assign(signals_.begin() + static_cast<std::ptrdiff_t>(head_), signals_.end());
    signals_.clear();
    head_ = 0;
  }
  // Deleted outside the lock: a signal's destructor may do anything.
  for (StateSignal* signal : dropped) delete signal;
}

void SignalQueue::clear(const Filter& filter) {
  std::vector<StateSignal*> dropped;
  {
    std::lock_guard lock(mutex_);
    size_t kept = 0;
    for (size_t i = head_; i < signals_.size(); ++i) {
      if (filter(signals_[i])) {
        dropped.push_back(signals_[i]);
      } else {
        signals_[kept++] = signals_[i];
      }
    }
    signals_.resize(kept);
    head_ = 0;
  }
  for (StateSignal* signal : dropped) delete signal;
}

void SignalQueue::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  clear();
}

bool SignalQueue::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool SignalQueue::empty() {
  std::lock_guard lock(mutex_);
  return head_ == signals_.size();
}

size_t SignalQueue::size() const {
  std::lock_guard lock(mutex_);
  return signals_.size() - head_;
}

std::string SignalQueue::Dump() const {
  std::lock_guard lock(mutex_);
  std::string text = "Signal Queue Size: " + std::to_string(signals_.size() - head_) + "\n";
  for (size_t i = head_; i < signals_.size(); ++i) {
    text += "Signal number: " + std::to_string(signals_[i]->GetCode()) + "\n";
  }
  return text;
}

const std::string& SignalQueue::GetName() const { return kName; }

}  // namespace tembrolexinsdk
