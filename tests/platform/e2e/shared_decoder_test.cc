// The shared decoder on the process-wide bus: told when another decoder's
// release stops that bus under it. Each scenario runs in a child process of
// its own, since the shared decoder is made once per process and a stopped
// bus stays so.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "platform/runtime/tl_logger.h"
#include "tests/platform/e2e/e2e_app.h"
#include "tests/support/child_process.h"
#include "tests/support/hang_guard.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;
using namespace std::chrono_literals;

constexpr char kBusStoppedUnderIt[] =
    "The message bus was stopped for good by the release of another decoder on it: this decoder "
    "hears nothing more";

// The library's Error lines, as "<sender>: <text>".
class ErrorLines : public TLLoggerDelegate {
 public:
  explicit ErrorLines(Record& r) : r_(r) {}
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    if (params.level == 4) r_.add(sender + ": " + params.message);
  }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

TEST(SharedDecoder, ToldWhenAnotherDecodersReleaseStopsTheBus) {
  const std::string seen = inChild([] {
    HangGuard guard("the shared decoder told of the stopped bus", 90s);
    TempDir dir;
    installEnvironment(dir);
    Record app, errors;
    TLLogger::sharedLogger().setDelegate(std::make_shared<ErrorLines>(errors));
    auto shared = TLDecoder::sharedDecoder();
    shared->addDelegate(std::make_shared<AppDelegate>(app));
    auto recorder = shared->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 16000);
    shared->startDecoding();
    if (!app.waitForText("started")) return std::string("never started");
    TLDecoder::create(TLDecoder::Options{}).reset();
    const bool failed = app.waitForText(std::string("failed:") + kBusStoppedUnderIt);
    const bool stopped = app.waitForText("stopped");
    const auto lines = errors.texts();
    const auto told = std::count(lines.begin(), lines.end(),
                                 std::string("-[TLDecoder dealloc]: ") + kBusStoppedUnderIt);
    TLLogger::sharedLogger().unsetDelegate();
    return "failedWithError " + std::to_string(failed) + ", stoppedListening " +
           std::to_string(stopped) + ", Error lines " + std::to_string(told);
  });
  EXPECT_EQ(seen, "failedWithError 1, stoppedListening 1, Error lines 1");
}

}  // namespace
}  // namespace tltest
