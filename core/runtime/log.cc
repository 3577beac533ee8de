#include "core/runtime/log.h"

#include <utility>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

Log::Log(IProcessorListener* listener, const INamedObject* sender)
    : listener_(listener), sender_(sender) {}

Log::Log(const Log& other) : listener_(other.listener_.load()), sender_(other.sender_.load()) {}

Log& Log::operator=(Log other) {
  swap(*this, other);
  return *this;
}

void swap(Log& a, Log& b) {
  b.listener_.store(a.listener_.exchange(b.listener_.load()));
  b.sender_.store(a.sender_.exchange(b.sender_.load()));
}

void Log::registerListener(IProcessorListener* listener) {
  std::deque<LogParams> waiting;
  {
    // Stored under the backlog's mutex: a line that found no listener is
    // either in the backlog taken here or sees the new listener.
    std::lock_guard lock(backlogMutex_);
    listener_.store(listener);
    if (listener == nullptr) return;
    waiting.swap(backlog_);
  }
  while (!waiting.empty()) {
    listener->onLogEvent(sender_.load(), &waiting.front());
    waiting.pop_front();
  }
}

void Log::registerSender(const INamedObject* sender) { sender_.store(sender); }

std::size_t Log::backlogSize() const {
  std::lock_guard lock(backlogMutex_);
  return backlog_.size();
}

void Log::send(LogLevel level, const std::string& text) {
  if (text.empty()) return;
  const LogParams params(level, "(processor) - " + text);
  IProcessorListener* listener = listener_.load();
  if (listener == nullptr) {
    std::lock_guard lock(backlogMutex_);
    listener = listener_.load();
    if (listener == nullptr) {
      backlog_.push_back(params);
      return;
    }
  }
  listener->onLogEvent(sender_.load(), &params);
}

}  // namespace tembrolexinsdk
