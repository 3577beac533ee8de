#include "core/runtime/active_object.h"

namespace tembrolexinsdk {

ActiveThread::~ActiveThread() { finish(); }

void ActiveThread::start(std::function<void()> body) {
  thread_ = LibraryThread([this, body = std::move(body)] {
    id_.store(std::this_thread::get_id());
    body();
  });
}

bool ActiveThread::isCurrent() const {
  return id_.load() == std::this_thread::get_id();
}

bool ActiveThread::finish() {
  return thread_.join();
}

}  // namespace tembrolexinsdk
