#include "platform/runtime/teardown_threads.h"

#include <utility>

#include "platform/runtime/dispatch.h"

namespace tembrolexinplatform {

void TeardownThreads::start(std::function<void()> body) {
  join(/*all=*/false);
  launch(std::move(body));
}

bool TeardownThreads::runUnlessAwaited(std::function<void()> body) {
  join(/*all=*/false);
  const auto [ended, id] = launch(std::move(body));
  const bool done = MainQueue::waitUnlessAwaited([&ended = ended, id = id] {
    return ended->load() || tembrolexinsdk::ProcessExit::isExiting(id);
  });
  if (done && ended->load()) join(/*all=*/false);
  return ended->load();
}

std::pair<std::shared_ptr<std::atomic<bool>>, std::thread::id> TeardownThreads::launch(
    std::function<void()> body) {
  auto teardown = std::make_unique<Teardown>();
  auto ended = teardown->ended;
  teardown->thread = tembrolexinsdk::LibraryThread([body = std::move(body), ended] {
    body();
    ended->store(true);
    // A release on a main thread may be waiting for this end.
    MainQueue::wakeWaits();
  });
  const std::thread::id id = teardown->thread.get_id();
  std::lock_guard lock(mutex_);
  teardowns_.push_back(std::move(teardown));
  return {std::move(ended), id};
}

void TeardownThreads::joinAll() { join(/*all=*/true); }

void TeardownThreads::join(bool all) {
  for (;;) {
    std::vector<std::unique_ptr<Teardown>> taken;
    {
      std::lock_guard lock(mutex_);
      for (auto it = teardowns_.begin(); it != teardowns_.end();) {
        if (all || (*it)->ended->load()) {
          taken.push_back(std::move(*it));
          it = teardowns_.erase(it);
        } else {
          ++it;
        }
      }
    }
    if (taken.empty()) return;
    for (const auto& teardown : taken) teardown->thread.join();
    if (!all) return;
  }
}

}  // namespace tembrolexinplatform
