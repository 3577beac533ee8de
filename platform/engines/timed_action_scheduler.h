// TimedActionScheduler: turns the scheduled actions of the ready bundles into
// local notifications that fire at each action's time.
//
// Each update withdraws every pending notification this scheduler posted
// (those whose user info "NotificationTag" is "SCHEDULE"), then posts the
// current set again: the actions of engine "schedule" that are not completed,
// in fire order, skipping those whose time has passed, at most 30. Other
// notifications (the content engine's own) are never touched.
//
// Updates are serialised: an update that arrives while one is in progress
// (the centre may answer its pending list later, on another thread) is run
// after it, and of several waiting updates only the latest runs, so the set
// posted always matches the latest bundle list and nothing is posted twice.
//
// Ownership: holds the notification centre (shared) and the clock (not
// owned, outlives the scheduler).
//
// Thread safety: every operation may be called from any thread.
#ifndef TL_PLATFORM_ENGINES_TIMED_ACTION_SCHEDULER_H_
#define TL_PLATFORM_ENGINES_TIMED_ACTION_SCHEDULER_H_

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "platform/engines/tl_bundle.h"
#include "platform/runtime/local_notifications.h"

namespace tembrolexinplatform {

class TimedActionScheduler : public std::enable_shared_from_this<TimedActionScheduler> {
 public:
  static constexpr std::size_t kMaxNotifications = 30;
  static constexpr const char* kTagKey = "NotificationTag";
  static constexpr const char* kTagValue = "SCHEDULE";

  static std::shared_ptr<TimedActionScheduler> create(
      std::shared_ptr<LocalNotificationCenter> center,
      const tembrolexinsdk::Clock& clock = tembrolexinsdk::Clock::real());

  // Withdraw, then select and post (serialised, see above).
  void updateBundles(const TLBundleList& bundles);
  // Withdraws this scheduler's pending notifications, then calls `done`.
  void cancelScheduledActions(std::function<void()> done);
  // Actions of engine "schedule" that are not completed, by fire time.
  static std::vector<std::shared_ptr<TLBundleAction>> sortBundlesInToBundleActionsByFireDate(
      const TLBundleList& bundles);
  // Posts up to 30 of them whose fire time has not passed; returns how many.
  std::size_t scheduleActionsForAssets(const std::vector<std::shared_ptr<TLBundleAction>>& actions);

 private:
  TimedActionScheduler(std::shared_ptr<LocalNotificationCenter> center,
                       const tembrolexinsdk::Clock& clock);
  void runNext();

  const std::shared_ptr<LocalNotificationCenter> center_;
  const tembrolexinsdk::Clock& clock_;
  tembrolexin::Mutex mutex_;
  bool busy_ = false;
  std::optional<TLBundleList> waiting_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TIMED_ACTION_SCHEDULER_H_
