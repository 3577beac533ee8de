// The library's mutexes: every lock of core/ and platform/ is a Mutex,
// RecursiveMutex or SharedMutex, and every condition variable waiting on one
// a CondVar. Lock them with the standard guards (std::lock_guard,
// std::unique_lock, std::shared_lock); a CondVar waits with a
// std::unique_lock<Mutex>.
//
// In the builds users get they are std::mutex, std::recursive_mutex,
// std::shared_mutex and std::condition_variable, nothing more.
//
// Built with the CMake option TL_LOCK_CHECK (on by default in the sanitizer
// builds, which run the test suite), each thread keeps the list of library
// mutexes it holds, and the places where the library calls into the app
// (AppCallGate's entry, TLLogger's hand-off of a line to its sink) call
// lockcheck::expectNoneHeld: a thread that holds one there prints where
// each such mutex was made (the function that constructed it) and its stack,
// and aborts. The app may call exit() from any such call, and the shutdown
// that follows takes the library's locks or waits for threads that take
// them, so a lock held around the call could hold the exit for ever. Every
// library mutex counts, not only those the shutdown takes: which those are
// changes with the code, and no lock of the library needs to be held around
// a call into the app.
//
// Ownership: as the standard types; not copyable or movable.
//
// Thread safety: as the standard types. The list of held mutexes belongs to
// its thread.
#ifndef TL_CORE_RUNTIME_CHECKED_MUTEX_H_
#define TL_CORE_RUNTIME_CHECKED_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "core/runtime/lock_check.h"

namespace tembrolexin {

#if TL_LOCK_CHECK

namespace lockcheck {

inline constexpr bool kEnabled = true;

// Where a mutex was made.
struct Origin {
  const char* file;
  unsigned line;
  const char* function;
};

// The calling thread took / let go of `mutex`.
void acquired(const void* mutex, const Origin* origin) noexcept;
void released(const void* mutex) noexcept;
// Aborts, naming `where` and each mutex, when the calling thread holds a
// library mutex.
void expectNoneHeld(const char* where) noexcept;

}  // namespace lockcheck

class CondVar;

template <typename Native>
class CheckedMutex {
 public:
  // The arguments name the code that makes the mutex (for a member, the
  // owner's constructor); leave them to their defaults.
  explicit CheckedMutex(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                        const char* function = __builtin_FUNCTION()) noexcept
      : origin_{file, line, function} {}
  CheckedMutex(const CheckedMutex&) = delete;
  CheckedMutex& operator=(const CheckedMutex&) = delete;

  void lock() {
    native_.lock();
    note();
  }
  bool try_lock() {
    if (!native_.try_lock()) return false;
    note();
    return true;
  }
  void unlock() {
    lockcheck::released(this);
    native_.unlock();
  }

  void lock_shared()
    requires requires(Native& n) { n.lock_shared(); }
  {
    native_.lock_shared();
    note();
  }
  bool try_lock_shared()
    requires requires(Native& n) { n.try_lock_shared(); }
  {
    if (!native_.try_lock_shared()) return false;
    note();
    return true;
  }
  void unlock_shared()
    requires requires(Native& n) { n.unlock_shared(); }
  {
    lockcheck::released(this);
    native_.unlock_shared();
  }

 private:
  friend class CondVar;
  void note() { lockcheck::acquired(this, &origin_); }

  Native native_;
  const lockcheck::Origin origin_;
};

using Mutex = CheckedMutex<std::mutex>;
using RecursiveMutex = CheckedMutex<std::recursive_mutex>;
using SharedMutex = CheckedMutex<std::shared_mutex>;

// std::condition_variable over a Mutex: the mutex counts as released while
// the thread waits.
class CondVar {
 public:
  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

  void wait(std::unique_lock<Mutex>& lock) {
    Suspended s(lock);
    cv_.wait(s.native);
  }
  template <typename Predicate>
  void wait(std::unique_lock<Mutex>& lock, Predicate done) {
    while (!done()) wait(lock);
  }
  template <typename Clock, typename Duration>
  std::cv_status wait_until(std::unique_lock<Mutex>& lock,
                            const std::chrono::time_point<Clock, Duration>& deadline) {
    Suspended s(lock);
    return cv_.wait_until(s.native, deadline);
  }
  template <typename Clock, typename Duration, typename Predicate>
  bool wait_until(std::unique_lock<Mutex>& lock,
                  const std::chrono::time_point<Clock, Duration>& deadline, Predicate done) {
    while (!done()) {
      if (wait_until(lock, deadline) == std::cv_status::timeout) return done();
    }
    return true;
  }
  template <typename Rep, typename Period>
  std::cv_status wait_for(std::unique_lock<Mutex>& lock,
                          const std::chrono::duration<Rep, Period>& time) {
    return wait_until(lock, std::chrono::steady_clock::now() + time);
  }
  template <typename Rep, typename Period, typename Predicate>
  bool wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& time,
                Predicate done) {
    return wait_until(lock, std::chrono::steady_clock::now() + time, std::move(done));
  }

 private:
  // The held Mutex, released from the thread's list and handed to the
  // standard condition variable for one wait.
  struct Suspended {
    explicit Suspended(std::unique_lock<Mutex>& lock)
        : mutex(*lock.mutex()), native(mutex.native_, std::adopt_lock) {
      lockcheck::released(&mutex);
    }
    ~Suspended() {
      native.release();
      mutex.note();
    }
    Mutex& mutex;
    std::unique_lock<std::mutex> native;
  };

  std::condition_variable cv_;
};

#else  // !TL_LOCK_CHECK

namespace lockcheck {
inline constexpr bool kEnabled = false;
inline void expectNoneHeld(const char*) noexcept {}
}  // namespace lockcheck

using Mutex = std::mutex;
using RecursiveMutex = std::recursive_mutex;
using SharedMutex = std::shared_mutex;
using CondVar = std::condition_variable;

#endif  // TL_LOCK_CHECK

}  // namespace tembrolexin

#endif  // TL_CORE_RUNTIME_CHECKED_MUTEX_H_
