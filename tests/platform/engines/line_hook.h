// LineHook: an app log delegate that runs a function for each line, on the
// thread that logs it; the engines' tests hold a thread at a logged point.
#ifndef TL_TESTS_PLATFORM_ENGINES_LINE_HOOK_H_
#define TL_TESTS_PLATFORM_ENGINES_LINE_HOOK_H_

#include <functional>
#include <string>
#include <utility>

#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

class LineHook : public TLLoggerDelegate {
 public:
  explicit LineHook(std::function<void(const std::string&)> onLine) : onLine_(std::move(onLine)) {}
  void logfromSender(const std::string&, const TLLogParams& params) override {
    onLine_(params.message);
  }

 private:
  std::function<void(const std::string&)> onLine_;
};

}  // namespace tembrolexinplatform

#endif  // TL_TESTS_PLATFORM_ENGINES_LINE_HOOK_H_
