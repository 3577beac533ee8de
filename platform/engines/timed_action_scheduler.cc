#include "platform/engines/timed_action_scheduler.h"

#include <algorithm>
#include <ctime>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

std::string utcText(double secondsSince1970) {
  const std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

}  // namespace

std::shared_ptr<TimedActionScheduler> TimedActionScheduler::create(
    std::shared_ptr<LocalNotificationCenter> center, const tembrolexinsdk::Clock& clock) {
  return std::shared_ptr<TimedActionScheduler>(new TimedActionScheduler(std::move(center), clock));
}

TimedActionScheduler::TimedActionScheduler(std::shared_ptr<LocalNotificationCenter> center,
                                           const tembrolexinsdk::Clock& clock)
    : center_(std::move(center)), clock_(clock) {}

void TimedActionScheduler::updateBundles(const TLBundleList& bundles) {
  TLLogger::debugInMethod("-[TimedActionScheduler updateBundles:]", __LINE__,
                          "TimedActionScheduler updateBundles");
  {
    std::lock_guard lock(mutex_);
    waiting_ = bundles;
    if (busy_) return;
    busy_ = true;
  }
  runNext();
}

void TimedActionScheduler::runNext() {
  TLBundleList bundles;
  {
    std::lock_guard lock(mutex_);
    if (!waiting_) {
      busy_ = false;
      return;
    }
    bundles = std::move(*waiting_);
    waiting_.reset();
  }
  auto self = shared_from_this();
  cancelScheduledActions([self, bundles] {
    self->scheduleActionsForAssets(sortBundlesInToBundleActionsByFireDate(bundles));
    self->runNext();
  });
}

void TimedActionScheduler::cancelScheduledActions(std::function<void()> done) {
  TLLogger::debugInMethod("-[TimedActionScheduler cancelScheduledActions:]", __LINE__,
                          "TimedActionScheduler cancelScheduledActions > 10.0");
  auto center = center_;
  center->getPendingNotificationRequests(
      [center, done](std::vector<LocalNotificationRequest> pending) {
        std::vector<std::string> ids;
        for (const auto& r : pending) {
          auto it = r.userInfo.find(kTagKey);
          if (it != r.userInfo.end() && it->second == kTagValue) ids.push_back(r.identifier);
        }
        center->removePendingNotificationRequests(ids);
        if (done) done();
      });
}

std::vector<std::shared_ptr<TLBundleAction>>
TimedActionScheduler::sortBundlesInToBundleActionsByFireDate(const TLBundleList& bundles) {
  constexpr const char* kMethod = "-[TimedActionScheduler sortBundlesInToBundleActionsByFireDate:]";
  TLLogger::debugInMethod(kMethod, __LINE__,
                          "TimedActionScheduler sortBundlesInToBundleActionsByFireDate");
  std::vector<std::shared_ptr<TLBundleAction>> out;
  if (bundles.empty()) {
    TLLogger::warnInMethod(kMethod, __LINE__, "Assets dictionary empty!");
    return out;
  }
  for (const auto& bundle : bundles) {
    auto actions = bundle->getActions();
    if (!actions) continue;
    for (const auto& a : *actions) {
      if (!a->isCompleted() && a->engine() == kActionEngineSchedule) out.push_back(a);
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const auto& x, const auto& y) {
    return x->scheduleEngineActionTimestamp() < y->scheduleEngineActionTimestamp();
  });
  return out;
}

std::size_t TimedActionScheduler::scheduleActionsForAssets(
    const std::vector<std::shared_ptr<TLBundleAction>>& actions) {
  constexpr const char* kMethod = "-[TimedActionScheduler scheduleActionsForAssets:]";
  std::size_t posted = 0;
  for (const auto& action : actions) {
    if (posted >= kMaxNotifications) break;
    const double now = static_cast<double>(clock_.wallMicros()) / 1e6;
    const double delay = static_cast<double>(action->scheduleEngineActionTimestamp()) - now;
    if (delay < 0) continue;
    auto bundle = action->getBundle();
    LocalNotificationRequest request;
    request.identifier = action->notificationID();
    request.title = action->notificationTitle();
    request.body = action->notificationText();
    request.delaySeconds = delay;
    request.userInfo = {{"value", action->actionId()},
                        {"key", "action"},
                        {"url", action->entryPoint()},
                        {"TYPE", "IContentEngine"},
                        {"uid", action->notificationID()},
                        {"assetId", bundle ? bundle->bundleId() : ""},
                        {kTagKey, kTagValue}};
    TLLogger::debugInMethod(kMethod, __LINE__, "TimedActionScheduler > 10.0 -   date: %s UTC",
                            utcText(now + delay).c_str());
    center_->addNotificationRequest(request, [](const std::string& error) {
      if (!error.empty()) {
        TLLogger::debugInMethod("-[TimedActionScheduler scheduleActionsForAssets:]", __LINE__,
                                "Something went wrong: %s", error.c_str());
      }
    });
    ++posted;
  }
  return posted;
}

}  // namespace tembrolexinplatform
