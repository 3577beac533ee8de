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
#include "tests/support/recording_messenger.h"

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

// ChildLog: in a forked child (tltest::inChild), where the process-wide
// bus has no thread, takes the Logger's lines onto a recording bus of its
// own. The parent calls beforeFork() right before it forks; the child makes
// a ChildLog first.
class ChildLog {
 public:
  // Makes the process-wide bus (so the child starts no thread) and waits
  // until no line is on its way.
  static bool beforeFork() {
    tembrolexinsdk::getMessenger();
    return tembrolexinsdk::Logger::getInstance()->getWatcher()->await(std::chrono::seconds(10));
  }

  ChildLog() {
    tembrolexinsdk::Logger* logger = tembrolexinsdk::Logger::getInstance();
    logger->detachMessenger(tembrolexinsdk::getMessenger());
    logger->registerMessenger(&bus_);
    // Lines of the parent's that waited for a bus go out ahead of it.
    const tembrolexinsdk::LogParams marker(tembrolexinsdk::LogLevel::Debug, "-- child log --");
    logger->Log("ChildLog", &marker);
    start_ = bus_.sentCount();
  }
  ~ChildLog() { tembrolexinsdk::Logger::getInstance()->detachMessenger(&bus_); }

  // "<sender>: <message>\n" of each line logged since at Warning level or above.
  std::string warnings() const {
    std::string text;
    const auto sent = bus_.sent();
    for (std::size_t i = start_; i < sent.size(); ++i) {
      const auto line =
          tembrolexinsdk::ThriftParamsFactory::readThriftParams<tembrolexinsdk::LogSignal>(
              *sent[i].params);
      if (line && line->logType >= tembrolexinsdk::LogType::Warning) {
        text += line->sender + ": " + line->message + "\n";
      }
    }
    return text;
  }

 private:
  RecordingMessenger bus_;  // not copyable
  std::size_t start_ = 0;   // the lines sent before the child's first
};

}  // namespace tltest

#endif  // TL_TESTS_CORE_RUNTIME_LOG_CAPTURE_UTIL_H_
