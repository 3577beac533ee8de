#include "platform/api/tl_sdk_analytics.h"

#include "core/runtime/checked_mutex.h"
#include "platform/messages/message_types.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {
constexpr int32_t kBackgroundDataType = 13;
constexpr int32_t kSDKAnalytics = 0;
constexpr int32_t kStatusStart = 0;
constexpr int32_t kStatusComplete = 1;
}  // namespace

std::shared_ptr<ProcessBackgroundTasks> ProcessBackgroundTasks::shared() {
  static auto* tasks = new std::shared_ptr<ProcessBackgroundTasks>(std::make_shared<ProcessBackgroundTasks>());
  return *tasks;
}

BackgroundTaskIdentifier ProcessBackgroundTasks::beginBackgroundTaskWithName(const std::string& name,
                                                                             std::function<void()>) {
  std::lock_guard lock(mutex_);
  BackgroundTaskIdentifier id = next_++;
  tasks_[id] = name;
  return id;
}

void ProcessBackgroundTasks::endBackgroundTask(BackgroundTaskIdentifier identifier) {
  std::lock_guard lock(mutex_);
  tasks_.erase(identifier);
}

std::size_t ProcessBackgroundTasks::runningTasks() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

void TLSDKAnalytics::TaskState::end() {
  BackgroundTaskIdentifier running;
  {
    std::lock_guard lock(mutex);
    running = task;
    task = kInvalidBackgroundTask;
  }
  if (running != kInvalidBackgroundTask) tasks->endBackgroundTask(running);
}

TLSDKAnalytics::TLSDKAnalytics(Messenger& messenger, std::shared_ptr<BackgroundTasks> tasks)
    : messenger_(messenger), state_(std::make_shared<TaskState>()) {
  state_->tasks = tasks ? std::move(tasks) : ProcessBackgroundTasks::shared();
  messenger_.registerReceiver(this, kBackgroundDataType);
}

TLSDKAnalytics::~TLSDKAnalytics() { messenger_.unregisterReceiver(this, kBackgroundDataType); }

void TLSDKAnalytics::stop() {
  BackgroundData start;
  start.__set_backgroundType(kSDKAnalytics);
  start.__set_status(kStatusStart);
  messenger_.sendMessage(start, kSenderName);

  {
    std::lock_guard lock(state_->mutex);
    if (state_->task != kInvalidBackgroundTask) return;
  }
  std::weak_ptr<TaskState> weak = state_;
  BackgroundTaskIdentifier id = state_->tasks->beginBackgroundTaskWithName(kTaskName, [weak] {
    TLLogger::infoInMethod("-[TLSDKAnalytics stop]_block_invoke", __LINE__,
                           "Background task commencing: Notify SDK of background if enabled");
    if (auto state = weak.lock()) state->end();
  });
  bool duplicate = false;
  {
    std::lock_guard lock(state_->mutex);
    // Two stops racing: the later task is not kept.
    if (state_->task != kInvalidBackgroundTask) {
      duplicate = true;
    } else {
      state_->task = id;
    }
  }
  if (duplicate && id != kInvalidBackgroundTask) state_->tasks->endBackgroundTask(id);
}

void TLSDKAnalytics::onReceive(const TLThriftParams& message, const std::string&) {
  auto data = message.newMessageOfType<BackgroundData>();
  if (!data || !data->__isset.backgroundType || !data->__isset.status) return;
  if (data->backgroundType != kSDKAnalytics || data->status != kStatusComplete) return;
  TLLogger::infoInMethod("-[TLSDKAnalytics onReceive:sender:]", __LINE__, "Complete backgroundtask successfully");
  state_->end();
}

BackgroundTaskIdentifier TLSDKAnalytics::backgroundTask() const {
  std::lock_guard lock(state_->mutex);
  return state_->task;
}

}  // namespace tembrolexinplatform
