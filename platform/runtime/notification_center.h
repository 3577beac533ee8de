// NotificationCenter: named notifications within the process, each with an
// object (any value, often the poster's shared_ptr) and a text dictionary.
//
//   auto token = NotificationCenter::defaultCenter().addObserver(
//       "kNetworkReachabilityChangedNotification",
//       [](const Notification& n) { ... });
//   NotificationCenter::defaultCenter().postNotification({"name", object, {}});
//   NotificationCenter::defaultCenter().removeObserver(token);
//
// Observers run synchronously on the posting thread, in the order they were
// added, with no lock of the centre held (an observer may add or remove
// observers, or post). removeObserver waits for nothing: an observer removed
// on another thread may still be running one call. An observer, and what it
// captures, ends with no lock of the centre held either: in removeObserver,
// or at the end of a post that was running it meanwhile. So it may log, add
// or remove observers, or post as it ends too.
//
// Thread safety: every operation may be called from any thread.
#ifndef TL_PLATFORM_RUNTIME_NOTIFICATION_CENTER_H_
#define TL_PLATFORM_RUNTIME_NOTIFICATION_CENTER_H_

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinplatform {

struct Notification {
  std::string name;
  std::any object;
  std::map<std::string, std::string> userInfo;
};

class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  using Token = uint64_t;

  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The process-wide centre; never destroyed.
  static NotificationCenter& defaultCenter();

  // `observer` sees every notification named `name`. Returns the token that
  // removes it.
  Token addObserver(const std::string& name, Observer observer);
  // Unknown tokens are ignored.
  void removeObserver(Token token);
  void postNotification(const Notification& notification);

 private:
  struct Entry {
    Token token;
    std::string name;
    std::shared_ptr<Observer> observer;
  };
  tembrolexin::Mutex mutex_;
  std::vector<Entry> entries_;
  Token next_ = 1;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_NOTIFICATION_CENTER_H_
