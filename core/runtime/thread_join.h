// joinUnlessSelf: how an owner ends a thread it started when the owner may
// be stopped from that very thread.
//
// The library calls into the app on its own threads (the app's log delegate
// runs on whichever thread logged the line), and an app may end its process
// with exit() from inside such a call. The exit-time shutdown then runs on
// that thread and stops the thread's owner; joining would throw
// std::system_error (resource_deadlock_would_occur) inside the exit handler
// and abort the process. So an owner ends its thread here: joined from any
// other thread, detached when it is the calling thread. A detached thread
// normally never returns to its own code (the process ends inside exit());
// if it does, whatever it touches next must still be valid, which the owner
// sees to (objects that library threads reach are never destroyed, or the
// thread is told to end without touching its owner).
//
// Thread safety: as std::thread's: `thread` is not joined, detached or
// assigned by another thread meanwhile.
#ifndef TL_CORE_RUNTIME_THREAD_JOIN_H_
#define TL_CORE_RUNTIME_THREAD_JOIN_H_

#include <thread>

namespace tembrolexinsdk {

// Joins `thread`, or detaches it when the caller is that thread. True when it
// was joined (it has ended); false when it was detached or not joinable.
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
