#include "platform/runtime/teardown_threads.h"

#include <utility>

namespace tembrolexinplatform {

void TeardownThreads::start(std::function<void()> body) {
  join(/*all=*/false);
  auto teardown = std::make_unique<Teardown>();
  teardown->thread =
      tembrolexinsdk::LibraryThread([body = std::move(body), ended = teardown->ended] {
        body();
        ended->store(true);
      });
  std::lock_guard lock(mutex_);
  teardowns_.push_back(std::move(teardown));
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
