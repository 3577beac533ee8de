// SignalQueue: the queue through which other threads talk to an active object.
// Any number of threads push StateSignals; the object's own thread takes them
// out with a filter that accepts the codes its current state handles. Signals
// that the filter rejects stay where they are, in arrival order.
//
// Ownership: push() takes ownership of the signal. A signal taken out with
// waitForMatch() or checkForSignal() belongs to the caller, who deletes it.
// Signals dropped by clear(), by close() or by the destructor are deleted by
// the queue.
//
// Storage: the queued pointers live in one vector that keeps its capacity,
// so a queue whose length stays bounded allocates nothing once it has grown
// to that length (an audio worker gets a signal per buffer).
//
// Thread safety: every operation is serialised by the queue's own mutex and
// may be called from any thread. Filters run while that mutex is held: they
// only inspect the signal and never touch the queue. push() wakes the
// consumer after releasing the mutex, so the consumer may take the signal
// and have the queue destroyed while that push is still returning: the
// destructor waits for such pushes. Starting a push on a queue whose
// destruction has begun remains the caller's error.
#ifndef TL_CORE_RUNTIME_SIGNAL_QUEUE_H_
#define TL_CORE_RUNTIME_SIGNAL_QUEUE_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/state_signal.h"

namespace tembrolexinsdk {

class SignalQueue : public INamedObject {
 public:
  using Filter = std::function<bool(StateSignal*)>;

  // The class name, returned by GetName() for every queue.
  static const std::string& kName;

  SignalQueue();
  // A named queue describes itself as "SignalQueue (" + name + ")".
  explicit SignalQueue(std::string name);
  ~SignalQueue() override;

  SignalQueue(const SignalQueue&) = delete;
  SignalQueue& operator=(const SignalQueue&) = delete;

  // Appends `signal` and wakes the consumer. A null signal is ignored. On a
  // closed queue the signal is deleted at once.
  void push(StateSignal* signal);

  // Blocks until a queued signal satisfies `filter`, removes the oldest such
  // signal and returns it (never null). No time-out: the owner pushes its
  // quit code to end the wait.
  StateSignal* waitForMatch(const Filter& filter);

  // As waitForMatch() without blocking: null when nothing queued matches.
  StateSignal* checkForSignal(const Filter& filter);

  // The same two operations with the ownership spelt out.
  std::unique_ptr<StateSignal> takeMatch(const Filter& filter) {
    return std::unique_ptr<StateSignal>(waitForMatch(filter));
  }
  std::unique_ptr<StateSignal> tryTakeMatch(const Filter& filter) {
    return std::unique_ptr<StateSignal>(checkForSignal(filter));
  }

  // Deletes every queued signal.
  void clear();
  // Deletes every queued signal that satisfies `filter`; the rest keep their
  // order.
  void clear(const Filter& filter);

  // Deletes every queued signal and makes later pushes delete their signal at
  // once. Used by an object whose thread has ended for good, so that nothing
  // piles up in a queue that nobody reads any more. Final.
  void close();
  bool closed() const;

  bool empty();
  size_t size() const;

  // "Signal Queue Size: <n>\n" then "Signal number: <code>\n" per signal,
  // oldest first.
  std::string Dump() const;

  // Always "SignalQueue", whatever the description.
  const std::string& GetName() const override;
  // "" for an unnamed queue, "SignalQueue (<name>)" otherwise.
  const std::string& description() const { return description_; }

 private:
  // Removes and returns the oldest signal that satisfies `filter`, or null.
  // Requires mutex_.
  StateSignal* takeLocked(const Filter& filter);

  // The queued signals are signals_[head_..], oldest first; the slots before
  // head_ were taken and are reused once the vector is full or empty.
  std::vector<StateSignal*> signals_;
  size_t head_ = 0;
  mutable tembrolexin::Mutex mutex_;
  tembrolexin::CondVar cond_;
  // Pushes between their first step and their wake-up; the destructor waits
  // for them (they touch cond_ after releasing mutex_).
  std::atomic<int> pushing_{0};
  const std::string description_;
  bool closed_ = false;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_SIGNAL_QUEUE_H_
