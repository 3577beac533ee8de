// RecordingListener: an IProcessorListener for tests that keeps copies of
// everything a processor reports. Thread-safe; waitFor* block (in real time,
// at most 10 s) until a condition holds, for reports from worker threads.
#ifndef TL_TESTS_CORE_AUDIO_RECORDING_LISTENER_H_
#define TL_TESTS_CORE_AUDIO_RECORDING_LISTENER_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/i_processor_listener.h"
#include "core/runtime/logger.h"
#include "core/runtime/processor_params.h"

namespace tltest {

class RecordingListener : public tembrolexinsdk::IProcessorListener {
 public:
  struct Line {
    tembrolexinsdk::LogLevel level;
    std::string text;
  };

  void onProcessorEvent(const tembrolexinsdk::INamedObject*,
                        const tembrolexinsdk::IProcessorEventParams* params) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (params != nullptr) {
      events_.emplace_back(params->clone());
    }
    cond_.notify_all();
  }
  void onLogEvent(const tembrolexinsdk::INamedObject*,
                  const tembrolexinsdk::LogParams* params) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (params != nullptr) lines_.push_back({params->getLevel(), params->getMessage()});
    cond_.notify_all();
  }
  void onProcessorStatusChanged(const tembrolexinsdk::INamedObject*,
                                const tembrolexinsdk::IProcessorStatusParams* params) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (params != nullptr) statuses_.push_back(params->GetDescription());
    cond_.notify_all();
  }
  void onFailed(const tembrolexinsdk::FailureParams& failure) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    failures_.push_back(failure.GetDescription());
    cond_.notify_all();
  }
  void onNTPRequired() override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ++ntpRequests_;
    cond_.notify_all();
  }
  tembrolexinsdk::security::IDataSigner* signer() const override { return nullptr; }
  void onDecodersBuilt(const tembrolexinsdk::INamedObject*,
                       const tembrolexinsdk::DecoderBuildReport& report) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    builds_.push_back(report);
    cond_.notify_all();
  }

  std::vector<Line> lines() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return lines_;
  }
  // The texts of the lines that contain `part`.
  std::vector<std::string> matching(const std::string& part) const {
    std::vector<std::string> out;
    for (const Line& l : lines()) {
      if (l.text.find(part) != std::string::npos) out.push_back(l.text);
    }
    return out;
  }
  std::vector<std::string> failures() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return failures_;
  }
  std::vector<std::string> statuses() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return statuses_;
  }
  std::vector<tembrolexinsdk::DecoderBuildReport> builds() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return builds_;
  }
  int ntpRequests() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return ntpRequests_;
  }
  // Runs `visit` on the recorded events under the lock.
  void withEvents(
      const std::function<void(const std::vector<std::unique_ptr<
                                   tembrolexinsdk::IProcessorEventParams>>&)>& visit) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    visit(events_);
  }
  size_t eventCount() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return events_.size();
  }
  // Waits until `done` holds (checked under the lock after every report).
  bool waitFor(const std::function<bool()>& done) const {
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::seconds(10), done);
  }
  bool waitForEvents(size_t count) const {
    return waitFor([&] { return events_.size() >= count; });
  }
  bool waitForFailures(size_t count) const {
    return waitFor([&] { return failures_.size() >= count; });
  }

 private:
  // Recursive: waitFor predicates may call the accessors.
  mutable std::recursive_mutex mutex_;
  mutable std::condition_variable_any cond_;
  std::vector<std::unique_ptr<tembrolexinsdk::IProcessorEventParams>> events_;
  std::vector<Line> lines_;
  std::vector<std::string> statuses_;
  std::vector<std::string> failures_;
  std::vector<tembrolexinsdk::DecoderBuildReport> builds_;
  int ntpRequests_ = 0;
};

}  // namespace tltest

#endif  // TL_TESTS_CORE_AUDIO_RECORDING_LISTENER_H_
