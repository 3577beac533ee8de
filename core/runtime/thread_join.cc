#include "core/runtime/thread_join.h"

#include <unistd.h>

#include <atomic>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

namespace {

// Guards the exiting thread's id, the list of Wakes and every Ended flag;
// `changed` is notified whenever one of them changes. Never destroyed:
// threads end, and the exit begins, while static objects go.
struct Registry {
  tembrolexin::Mutex mutex;
  tembrolexin::CondVar changed;
  std::thread::id exiting;
  ProcessExit::Wake* wakes = nullptr;
};

Registry& registry() {
  static Registry* const r = new Registry();
  return *r;
}

// Read without the lock by isExiting(); set once, under it.
std::atomic<std::thread::id> gExiting{};

// The process the library runs in; 0 until its first thread starts. A child
// made by fork() inherits the value and differs from it.
std::atomic<pid_t> gLibraryProcess{0};

}  // namespace

void ProcessExit::begin() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.exiting != std::thread::id()) return;
  r.exiting = std::this_thread::get_id();
  gExiting.store(r.exiting);
  r.changed.notify_all();
  // Each waiter checks its condition under its own mutex: notified under
  // it, a waiter that has just found the exit not begun is already waiting.
  for (Wake* w = r.wakes; w != nullptr; w = w->next_) {
    std::lock_guard waiterLock(w->mutex_);
    w->cv_.notify_all();
  }
}

bool ProcessExit::isExiting(std::thread::id thread) {
  return thread != std::thread::id() && gExiting.load() == thread;
}

void ProcessExit::noteLibraryStarted() {
  if (gLibraryProcess.load() != 0) return;
  pid_t none = 0;
  gLibraryProcess.compare_exchange_strong(none, ::getpid());
}

bool ProcessExit::inForkedChild() {
  const pid_t owner = gLibraryProcess.load();
  return owner != 0 && owner != ::getpid();
}

ProcessExit::Wake::Wake(tembrolexin::Mutex& mutex, tembrolexin::CondVar& cv)
    : mutex_(mutex), cv_(cv) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  next_ = r.wakes;
  if (next_ != nullptr) next_->prev_ = this;
  r.wakes = this;
}

ProcessExit::Wake::~Wake() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (prev_ != nullptr) {
    prev_->next_ = next_;
  } else {
    r.wakes = next_;
  }
  if (next_ != nullptr) next_->prev_ = prev_;
}

struct LibraryThread::Ended {
  bool ended = false;  // guarded by the registry's mutex
};

LibraryThread::LibraryThread(std::function<void()> body) : ended_(std::make_shared<Ended>()) {
  ProcessExit::noteLibraryStarted();
  thread_ = std::thread([ended = ended_, body = std::move(body)] {
    body();
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    ended->ended = true;
    r.changed.notify_all();
  });
}

LibraryThread::~LibraryThread() { join(); }

LibraryThread::LibraryThread(LibraryThread&& other) noexcept
    : thread_(std::move(other.thread_)), ended_(std::move(other.ended_)) {}

LibraryThread& LibraryThread::operator=(LibraryThread&& other) noexcept {
  if (this != &other) {
    join();
    thread_ = std::move(other.thread_);
    ended_ = std::move(other.ended_);
  }
  return *this;
}

bool LibraryThread::join() {
  if (!thread_.joinable()) return false;
  const std::thread::id id = thread_.get_id();
  bool ended = false;
  if (id != std::this_thread::get_id()) {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    r.changed.wait(lock, [&] { return ended_->ended || r.exiting == id; });
    ended = ended_->ended;
  }
  if (!ended) {
    // The caller itself, or the thread that runs the exit: it never comes
    // back to end.
    thread_.detach();
    return false;
  }
  thread_.join();  // its body has returned; only its thread-local objects are left
  return true;
}

void LibraryThread::detach() {
  if (thread_.joinable()) thread_.detach();
}

}  // namespace tembrolexinsdk
