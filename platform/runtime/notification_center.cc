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
  std::lock_guard lock(mutex_);
  const Token token = next_++;
  entries_.push_back({token, name, std::make_shared<Observer>(std::move(observer))});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(mutex_);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const Entry& e) { return e.token == token; }),
                 entries_.end());
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
