// LogCapture: collects the process-wide Logger's lines while it lives, so a
// test can read what the code under test logged.
//
// It uses the process-wide bus (as every bus-based test of this folder does,
// so the order in which tests run does not matter): it listens to log
// messages (type 8) and registers that bus with the Logger (registering the
// same bus again moves the watcher behind this collector, so a finished
// await() means "collected"). Lines logged before it started, including a
// flushed backlog, are not reported.
#ifndef TL_TESTS_CORE_RUNTIME_LOG_CAPTURE_UTIL_H_
#define TL_TESTS_CORE_RUNTIME_LOG_CAPTURE_UTIL_H_

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/i_messenger.h"
#include "core/runtime/logger.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"
#include "schema/tembrolexin_types.h"

namespace tltest {

class LogCapture : public tembrolexinsdk::IMessengerListener {
 public:
  struct Line {
    int level;
    std::string sender;
    std::string message;
  };

  LogCapture() {
    using namespace tembrolexinsdk;
    getMessenger()->registerListener(8, this);
    Logger::getInstance()->registerMessenger(getMessenger());
    const LogParams marker(LogLevel::Debug, kMarker);
    Logger::getInstance()->Log("LogCapture", &marker);
    EXPECT_TRUE(Logger::getInstance()->getWatcher()->await(std::chrono::seconds(10)));
  }
  ~LogCapture() override { tembrolexinsdk::getMessenger()->unregisterListener(8, this); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void onReceive(const std::string&, const tembrolexinsdk::ThriftParams& params) override {
    auto signal =
        tembrolexinsdk::ThriftParamsFactory::readThriftParams<tembrolexinsdk::LogSignal>(params);
    if (!signal) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) {
      started_ = signal->sender == "LogCapture" && signal->message == kMarker;
      return;
    }
    lines_.push_back({static_cast<int>(signal->logType), signal->sender, signal->message});
  }

  // Every line logged since the capture started (waits for their delivery).
  std::vector<Line> lines() {
    EXPECT_TRUE(
        tembrolexinsdk::Logger::getInstance()->getWatcher()->await(std::chrono::seconds(10)));
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  // The lines whose text contains `part`.
  std::vector<Line> matching(const std::string& part) {
    std::vector<Line> out;
    for (const Line& l : lines()) {
      if (l.message.find(part) != std::string::npos) out.push_back(l);
    }
    return out;
  }

 private:
  static constexpr const char* kMarker = "-- log capture starts --";
  std::mutex mutex_;
  bool started_ = false;
  std::vector<Line> lines_;
};

}  // namespace tltest

#endif  // TL_TESTS_CORE_RUNTIME_LOG_CAPTURE_UTIL_H_
