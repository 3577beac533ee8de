// TeardownThreads: the threads on which objects released inside a call into
// the app finish their teardown. Such a teardown may wait for a thread that
// waits for that very call, so it cannot run where the release was made;
// it runs on a thread of its own, which ends soon after the call has
// returned. Each owner (the decoders, the EVENT engines of the app's own)
// keeps one set, never destroyed: the ended threads are joined at the next
// start, and all of them by joinAll(), which the library's shutdown calls
// (at exit too), so that no teardown outlives it.
//
// A release on a main thread (MainQueue::callerIsMainThread) outside any
// call into the app also hands its teardown to a thread of its own, but
// waits for it (runUnlessAwaited) only until a block that another thread
// waits for is queued to that main thread: the teardown may wait for that
// thread, which waits for the main thread to take the block.
//
// Thread safety: every operation may be called from any thread; no lock is
// held while a thread is joined.
#ifndef TL_PLATFORM_RUNTIME_TEARDOWN_THREADS_H_
#define TL_PLATFORM_RUNTIME_TEARDOWN_THREADS_H_

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/thread_join.h"

namespace tembrolexinplatform {

class TeardownThreads {
 public:
  TeardownThreads() = default;
  TeardownThreads(const TeardownThreads&) = delete;
  TeardownThreads& operator=(const TeardownThreads&) = delete;

  // Joins the threads that have ended, then runs `body` on a thread of its
  // own. Throws std::system_error, running nothing, when the operating
  // system refuses a thread.
  void start(std::function<void()> body);
  // As start(), then waits until `body` has ended, unless meanwhile a block
  // that another thread waits for is queued on a main queue bound to the
  // calling thread, or the body's thread runs the process's exit: the
  // thread then ends on its own. True when the body has ended.
  bool runUnlessAwaited(std::function<void()> body);
  // Joins every thread, waiting for those still running and for those
  // started meanwhile. A thread that is the caller, or that runs the
  // process's exit, is let go instead (LibraryThread::join).
  void joinAll();

 private:
  struct Teardown {
    std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);
    tembrolexinsdk::LibraryThread thread;
  };
  // Joins those that have ended, or with `all` every one.
  void join(bool all);
  // Starts the thread of `body`; returns its record's end flag and id.
  std::pair<std::shared_ptr<std::atomic<bool>>, std::thread::id> launch(std::function<void()> body);

  tembrolexin::Mutex mutex_;
  std::vector<std::unique_ptr<Teardown>> teardowns_;  // guarded by mutex_
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_TEARDOWN_THREADS_H_
