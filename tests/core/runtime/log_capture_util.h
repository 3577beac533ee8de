// LogCapture: routes the process-wide Logger to a recording bus for the
// lifetime of the object, so a test can read the log lines that the code
// under test produced. One at a time; detaches on destruction.
#ifndef TL_TESTS_CORE_RUNTIME_LOG_CAPTURE_UTIL_H_
#define TL_TESTS_CORE_RUNTIME_LOG_CAPTURE_UTIL_H_

#include <string>
#include <vector>

#include "core/runtime/logger.h"
#include "core/runtime/message_factory.h"
#include "schema/tembrolexin_types.h"
#include "tests/support/recording_messenger.h"

namespace tltest {

class LogCapture {
 public:
  struct Line {
    int level;
    std::string sender;
    std::string message;
  };

  // Lines logged before (kept in the Logger's backlog) are flushed with the
  // marker line and not reported.
  LogCapture() {
    tembrolexinsdk::Logger::getInstance()->registerMessenger(&bus_);
    const tembrolexinsdk::LogParams marker(tembrolexinsdk::LogLevel::Debug, kMarker);
    tembrolexinsdk::Logger::getInstance()->Log("LogCapture", &marker);
  }
  ~LogCapture() { tembrolexinsdk::Logger::getInstance()->detachMessenger(&bus_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line sent while capturing.
  std::vector<Line> lines() const {
    std::vector<Line> out;
    bool started = false;
    for (const auto& sent : bus_.sent()) {
      auto signal =
          tembrolexinsdk::ThriftParamsFactory::readThriftParams<tembrolexinsdk::LogSignal>(
              *sent.params);
      if (signal && !started) {
        started = signal->sender == "LogCapture" && signal->message == kMarker;
      } else if (signal) {
        out.push_back({static_cast<int>(signal->logType), signal->sender, signal->message});
      }
    }
    return out;
  }

  // The lines whose text contains `part`.
  std::vector<Line> matching(const std::string& part) const {
    std::vector<Line> out;
    for (const Line& l : lines()) {
      if (l.message.find(part) != std::string::npos) out.push_back(l);
    }
    return out;
  }

 private:
  static constexpr const char* kMarker = "-- log capture starts --";
  RecordingMessenger bus_;
};

}  // namespace tltest

#endif  // TL_TESTS_CORE_RUNTIME_LOG_CAPTURE_UTIL_H_
