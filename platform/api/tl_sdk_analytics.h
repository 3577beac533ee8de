// TLSDKAnalytics: the facade's analytics bridge, told when decoding starts
// and stops. When decoding stops it asks the core's analytics engine to close
// and upload its record file (BackgroundData {SDKAnalytics, Start}, sent as
// "TLSDKAnalytics") and keeps the app running in the background, under a
// background task named "AnalyticsSDK", until the core answers
// BackgroundData {SDKAnalytics, Complete} or the platform's time for the task
// runs out. A second stop while a task runs asks again but begins no second
// task.
//
// BackgroundTasks is the platform's background-task service: begin a named
// task with an expiry handler (an identifier, or kInvalidBackgroundTask when
// none can be had) and end one by identifier. On Linux an app is never
// suspended, so ProcessBackgroundTasks only keeps the books; tests put a
// double in its place.
//
// Ownership: the Messenger is not owned and outlives this object, which
// registers for BackgroundData (13) at construction and unregisters at
// destruction.
//
// Thread safety: start and stop may be called from any thread; the core's
// answer arrives on the bus thread and the expiry handler on the service's
// thread. The task identifier is guarded by the object's lock, which is never
// held while sending or calling the service.
#ifndef TL_PLATFORM_API_TL_SDK_ANALYTICS_H_
#define TL_PLATFORM_API_TL_SDK_ANALYTICS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/messenger.h"

namespace tembrolexinplatform {

using BackgroundTaskIdentifier = uint64_t;
inline constexpr BackgroundTaskIdentifier kInvalidBackgroundTask = 0;

class BackgroundTasks {
 public:
  virtual ~BackgroundTasks() = default;
  virtual BackgroundTaskIdentifier beginBackgroundTaskWithName(const std::string& name,
                                                               std::function<void()> expirationHandler) = 0;
  virtual void endBackgroundTask(BackgroundTaskIdentifier identifier) = 0;
};

// Bookkeeping only: identifiers from 1, never expired. Thread-safe.
class ProcessBackgroundTasks final : public BackgroundTasks {
 public:
  static std::shared_ptr<ProcessBackgroundTasks> shared();
  BackgroundTaskIdentifier beginBackgroundTaskWithName(const std::string& name,
                                                       std::function<void()> expirationHandler) override;
  void endBackgroundTask(BackgroundTaskIdentifier identifier) override;
  std::size_t runningTasks() const;

 private:
  mutable tembrolexin::Mutex mutex_;
  BackgroundTaskIdentifier next_ = 1;
  std::map<BackgroundTaskIdentifier, std::string> tasks_;
};

class ITLSDKAnalytics {
 public:
  virtual ~ITLSDKAnalytics() = default;
  virtual void start() = 0;
  virtual void stop() = 0;
};

class TLSDKAnalytics final : public ITLSDKAnalytics, public IThriftMessageReceiver {
 public:
  static constexpr const char* kSenderName = "TLSDKAnalytics";
  static constexpr const char* kTaskName = "AnalyticsSDK";

  // `tasks` null: ProcessBackgroundTasks::shared().
  explicit TLSDKAnalytics(Messenger& messenger, std::shared_ptr<BackgroundTasks> tasks = nullptr);
  ~TLSDKAnalytics() override;
  TLSDKAnalytics(const TLSDKAnalytics&) = delete;
  TLSDKAnalytics& operator=(const TLSDKAnalytics&) = delete;

  void start() override {}
  void stop() override;
  void onReceive(const TLThriftParams& message, const std::string& sender) override;

  BackgroundTaskIdentifier backgroundTask() const;

 private:
  // The task's books, shared with the expiry handler so that a late expiry
  // never reaches a destroyed object.
  struct TaskState {
    std::shared_ptr<BackgroundTasks> tasks;
    tembrolexin::Mutex mutex;
    BackgroundTaskIdentifier task = kInvalidBackgroundTask;
    // Ends the running task, if any, and marks none.
    void end();
  };

  Messenger& messenger_;
  const std::shared_ptr<TaskState> state_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_API_TL_SDK_ANALYTICS_H_
