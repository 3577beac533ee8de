#include "platform/runtime/notification_center.h"

#include <algorithm>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinplatform {

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter();  // used during exit
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name,
                                                         Observer observer) {
  // Made before the lock: should the entry not be stored, the app's
  // observer ends with no lock held.
  auto held = std::make_shared<Observer>(std::move(observer));
  std::lock_guard lock(mutex_);
  const Token token = next_++;
  entries_.push_back({token, name, std::move(held)});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  // The app's observer, and what it holds, ends after the lock is released:
  // it may log as it ends (and the log delegate post), or remove another.
  std::shared_ptr<Observer> removed;
  std::lock_guard lock(mutex_);
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& e) { return e.token == token; });
  if (it == entries_.end()) return;
  removed = std::move(it->observer);
  entries_.erase(it);
}

void NotificationCenter::postNotification(const Notification& notification) {
  std::vector<std::shared_ptr<Observer>> matching;
  {
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_) {
      if (e.name == notification.name && *e.observer) matching.push_back(e.observer);
    }
  }
  for (const auto& observer : matching) (*observer)(notification);
}

}  // namespace tembrolexinplatform
