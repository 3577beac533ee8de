#include "core/assets/latest_sender.h"

#include <utility>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

uint64_t LatestSender::begin() {
  std::lock_guard lock(mutex_);
  return ++begun_;
}

void LatestSender::publish(uint64_t ticket, std::unique_ptr<ThriftParams> reading,
                           const Send& send) {
  std::unique_lock lock(mutex_);
  if (ticket <= newest_) return;  // a newer picture was sent or waits
  newest_ = ticket;
  waiting_ = std::move(reading);
  if (sending_) return;  // the sending thread sends it after its own
  sending_ = true;
  while (waiting_) {
    std::unique_ptr<ThriftParams> next = std::move(waiting_);
    lock.unlock();
    try {
      send(std::move(next));
    } catch (...) {
      lock.lock();
      sending_ = false;
      throw;
    }
    lock.lock();
  }
  sending_ = false;
}

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk
