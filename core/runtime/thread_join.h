// How the library ends its threads when the app may end the process from
// inside one of them.
//
// The library calls into the app on its own threads (delegate calls, the
// app's log delegate on whichever thread logged the line), and an app may
// call exit() from inside such a call. That thread never returns to the
// library: the process ends inside exit(), after the exit handlers have run
// on it. Two things follow.
//  - The exit-time shutdown runs on that very thread and stops the thread's
//    owner: joining would throw std::system_error
//    (resource_deadlock_would_occur) inside the exit handler.
//  - A shutdown that the app runs on another thread meanwhile, or that began
//    before, may be waiting for the exiting thread -- to join it, or for a
//    call on it to end -- while the exit waits for that shutdown to finish.
// So every owner ends its thread through LibraryThread::join() (or
// joinUnlessSelf): joined from any other thread, but let go (detached) when
// it is the calling thread or the thread that runs the process's exit, and
// every wait of the shutdown for a call on another thread ends too when that
// thread runs the exit (ProcessExit::isExiting and ProcessExit::Wake). A thread let go
// normally never returns to its own code; if it does, whatever it touches
// next must still be valid, which the owner sees to (objects that library
// threads reach are never destroyed, or the thread is told to end without
// touching its owner).
//
// ProcessExit::begin() is called by the library's exit handler, first, on
// the exiting thread.
//
// A child made by fork() once the library runs holds only the thread that
// forked: none of the library's threads, and copies of locks that other
// threads of the parent may have held, and of files the parent writes. The
// exit there must leave all of them alone (ProcessExit::inForkedChild).
//
// Thread safety: ProcessExit's operations may be called from any thread. A
// LibraryThread is used like std::thread: one owner at a time.
#ifndef TL_CORE_RUNTIME_THREAD_JOIN_H_
#define TL_CORE_RUNTIME_THREAD_JOIN_H_

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

class ProcessExit {
 public:
  // Marks the calling thread as the one that runs the process's exit and
  // ends every wait for it (joins and waitUnlessExiting). Once only; later
  // calls change nothing.
  static void begin();
  // Whether `thread` runs the process's exit.
  static bool isExiting(std::thread::id thread);

  // Notes the calling process as the one the library runs in, unless one is
  // noted already; every LibraryThread notes it as it starts.
  static void noteLibraryStarted();
  // Whether the calling process is a child made by fork() from the one the
  // library runs in (false when the library started nowhere yet, or in this
  // very process). Takes no lock.
  static bool inForkedChild();

  // Wakes `cv` (notifying under `mutex`) when the exit begins, while it
  // lives, so that a wait whose condition counts a call on the exiting
  // thread as ended (isExiting) sees it:
  //   ProcessExit::Wake wake(mutex, cv);   // before the lock
  //   std::unique_lock lock(mutex);
  //   cv.wait(lock, [&] { return done || ProcessExit::isExiting(thread); });
  // Made before `mutex` is locked, and destroyed after it is released;
  // both must outlive it.
  class Wake {
   public:
    Wake(tembrolexin::Mutex& mutex, tembrolexin::CondVar& cv);
    ~Wake();
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

   private:
    friend class ProcessExit;
    tembrolexin::Mutex& mutex_;
    tembrolexin::CondVar& cv_;
    Wake* next_ = nullptr;
    Wake* prev_ = nullptr;
  };
};

// A thread of the library's (see above). Like std::thread, but join() lets
// the thread go instead of waiting when it is the caller, or once it runs
// the process's exit. Destroying a joinable LibraryThread joins it that way.
class LibraryThread {
 public:
  LibraryThread() = default;
  // Starts a thread running `body`. Throws std::system_error when the
  // operating system refuses one.
  explicit LibraryThread(std::function<void()> body);
  ~LibraryThread();
  LibraryThread(LibraryThread&& other) noexcept;
  // Joins (as join()) the thread held before.
  LibraryThread& operator=(LibraryThread&& other) noexcept;

  bool joinable() const { return thread_.joinable(); }
  std::thread::id get_id() const { return thread_.get_id(); }

  // Waits for the thread to end and joins it; true then. Detaches it and
  // returns false when it is the calling thread, or once it runs the
  // process's exit (at once or while waiting), and when not joinable.
  bool join();
  void detach();

 private:
  struct Ended;
  std::thread thread_;
  std::shared_ptr<Ended> ended_;
};

// Joins `thread`, or lets it go (see LibraryThread::join). True when it was
// joined (it has ended).
inline bool joinUnlessSelf(LibraryThread& thread) { return thread.join(); }

// For a thread that never calls into the app, and so never runs the exit
// unless from the exit handler's own stop: joins it, or detaches it when the
// caller is that thread. True when it was joined.
inline bool joinUnlessSelf(std::thread& thread) {
  if (!thread.joinable()) return false;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
    return false;
  }
  thread.join();
  return true;
}

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_THREAD_JOIN_H_
