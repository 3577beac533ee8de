// Local notifications: messages the app shows the user at once or after a
// delay, identified by a text id.
//
// LocalNotificationCenter is the role the library posts through;
// InProcessNotificationCenter is the Linux implementation: pending requests
// live in the process, each one waits on the dispatcher's timers and, when
// due, is taken off the pending list and handed to the app's delivery
// callback on the main queue. Adding a request with the id of a pending one
// replaces it (the old one is never delivered). Nothing survives the process.
//
// Ownership: the centre owns its pending requests; timer blocks refer to it
// weakly, so destroying the centre drops them.
//
// Thread safety: every operation may be called from any thread; completions
// run on the calling thread before the call returns; delivery runs on the
// main queue with no lock held.
#ifndef TL_PLATFORM_RUNTIME_LOCAL_NOTIFICATIONS_H_
#define TL_PLATFORM_RUNTIME_LOCAL_NOTIFICATIONS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/safe_dispatch.h"

namespace tembrolexinplatform {

struct LocalNotificationRequest {
  std::string identifier;
  std::string title;
  std::string body;
  std::string sound = "default";
  std::map<std::string, std::string> userInfo;
  // Seconds until delivery; none: deliver now.
  std::optional<double> delaySeconds;
};

class LocalNotificationCenter {
 public:
  // "" when added, else the error's description.
  using AddCompletion = std::function<void(const std::string& error)>;
  using PendingCompletion = std::function<void(std::vector<LocalNotificationRequest>)>;

  virtual ~LocalNotificationCenter() = default;
  virtual void addNotificationRequest(const LocalNotificationRequest& request,
                                      AddCompletion completion) = 0;
  // The requests not delivered yet, in the order they were added.
  virtual void getPendingNotificationRequests(PendingCompletion completion) = 0;
  // Unknown ids are ignored.
  virtual void removePendingNotificationRequests(const std::vector<std::string>& ids) = 0;

  // The process-wide centre: an InProcessNotificationCenter on
  // Dispatcher::shared() until the app sets its own.
  static std::shared_ptr<LocalNotificationCenter> current();
  static void setCurrent(std::shared_ptr<LocalNotificationCenter> center);
};

class InProcessNotificationCenter final : public LocalNotificationCenter {
 public:
  using Delivery = std::function<void(const LocalNotificationRequest&)>;

  // `dispatcher` must outlive the centre; `deliver` may be empty (delivered
  // requests are then only dropped from the pending list).
  InProcessNotificationCenter(Dispatcher& dispatcher, Delivery deliver);
  ~InProcessNotificationCenter() override;

  // An empty identifier or a delay that is not a finite number of seconds
  // (0 or more) is refused with an error.
  void addNotificationRequest(const LocalNotificationRequest& request,
                              AddCompletion completion) override;
  void getPendingNotificationRequests(PendingCompletion completion) override;
  void removePendingNotificationRequests(const std::vector<std::string>& ids) override;
  // Replaces the delivery callback (the app's, which usually hands the
  // request's user info to the content engine when the user opens it).
  void setDelivery(Delivery deliver);

 private:
  struct State;
  Dispatcher& dispatcher_;
  std::shared_ptr<State> state_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_LOCAL_NOTIFICATIONS_H_
