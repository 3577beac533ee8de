#include "platform/runtime/local_notifications.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinplatform {

namespace {
tembrolexin::Mutex& currentMutex() {
  static tembrolexin::Mutex* m = new tembrolexin::Mutex();
  return *m;
}
std::shared_ptr<LocalNotificationCenter>& currentSlot() {
  static auto* slot = new std::shared_ptr<LocalNotificationCenter>();
  return *slot;
}
}  // namespace

std::shared_ptr<LocalNotificationCenter> LocalNotificationCenter::current() {
  std::lock_guard lock(currentMutex());
  if (!currentSlot()) {
    currentSlot() = std::make_shared<InProcessNotificationCenter>(Dispatcher::shared(), nullptr);
  }
  return currentSlot();
}

void LocalNotificationCenter::setCurrent(std::shared_ptr<LocalNotificationCenter> center) {
  // The centre let go of may be the app's: it ends after the lock is
  // released.
  std::shared_ptr<LocalNotificationCenter> old;
  std::lock_guard lock(currentMutex());
  old = std::exchange(currentSlot(), std::move(center));
}

struct InProcessNotificationCenter::State {
  struct Pending {
    LocalNotificationRequest request;
    uint64_t serial;
    TimerHandle timer;
  };
  Delivery deliver;
  tembrolexin::Mutex mutex;
  std::vector<Pending> pending;
  uint64_t nextSerial = 1;

  // On the main queue: delivers the request if it is still the pending one
  // of that serial.
  void fire(const std::string& id, uint64_t serial) {
    std::optional<LocalNotificationRequest> due;
    Delivery deliverNow;
    {
      std::lock_guard lock(mutex);
      auto it = std::find_if(pending.begin(), pending.end(), [&](const Pending& p) {
        return p.request.identifier == id && p.serial == serial;
      });
      if (it == pending.end()) return;
      due = std::move(it->request);
      pending.erase(it);
      deliverNow = deliver;
    }
    if (deliverNow) deliverNow(*due);
  }
};

InProcessNotificationCenter::InProcessNotificationCenter(Dispatcher& dispatcher, Delivery deliver)
    : dispatcher_(dispatcher), state_(std::make_shared<State>()) {
  state_->deliver = std::move(deliver);
}

void InProcessNotificationCenter::setDelivery(Delivery deliver) {
  // The delivery let go of is the app's: it ends after the lock is released.
  Delivery old;
  std::lock_guard lock(state_->mutex);
  old = std::exchange(state_->deliver, std::move(deliver));
}

InProcessNotificationCenter::~InProcessNotificationCenter() {
  std::lock_guard lock(state_->mutex);
  for (auto& p : state_->pending) p.timer.cancel();
  state_->pending.clear();
}

void InProcessNotificationCenter::addNotificationRequest(const LocalNotificationRequest& request,
                                                         AddCompletion completion) {
  std::string error;
  const double delay = request.delaySeconds.value_or(0.0);
  if (request.identifier.empty()) {
    error = "A notification request needs an identifier";
  } else if (!std::isfinite(delay) || delay < 0 || delay > 1e9) {
    error = "A notification delay must be a number of seconds from 0 to 1e9";
  }
  if (error.empty()) {
    std::lock_guard lock(state_->mutex);
    auto& pending = state_->pending;
    for (auto it = pending.begin(); it != pending.end();) {
      if (it->request.identifier == request.identifier) {
        it->timer.cancel();
        it = pending.erase(it);
      } else {
        ++it;
      }
    }
    const uint64_t serial = state_->nextSerial++;
    std::weak_ptr<State> weak = state_;
    const std::string id = request.identifier;
    TimerHandle timer = dispatcher_.timers().schedule(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(delay)),
        dispatcher_.mainQueue(), [weak, id, serial] {
          if (auto state = weak.lock()) state->fire(id, serial);
        });
    pending.push_back({request, serial, timer});
  }
  if (completion) completion(error);
}

void InProcessNotificationCenter::getPendingNotificationRequests(PendingCompletion completion) {
  std::vector<LocalNotificationRequest> out;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& p : state_->pending) out.push_back(p.request);
  }
  if (completion) completion(std::move(out));
}

void InProcessNotificationCenter::removePendingNotificationRequests(
    const std::vector<std::string>& ids) {
  std::lock_guard lock(state_->mutex);
  auto& pending = state_->pending;
  for (auto it = pending.begin(); it != pending.end();) {
    if (std::find(ids.begin(), ids.end(), it->request.identifier) != ids.end()) {
      it->timer.cancel();
      it = pending.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace tembrolexinplatform
