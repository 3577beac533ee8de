// An app that binds the main queue to its thread and then stops pumping it:
// the TRIGGER engine's delegate call waits for the main queue only for the
// dispatcher's limit (5 s on a fake clock here), then is dropped with a
// Warning naming the engine; the bus goes on, so the stop still reaches the
// app's decoder delegate.
#include <mutex>

#include <gtest/gtest.h>

#include "platform/runtime/tl_logger.h"
#include "tests/platform/e2e/e2e_app.h"
#include "tests/support/fake_clock.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;
using namespace std::chrono_literals;

// Warnings of the shared logger.
class Warnings : public TLLoggerDelegate {
 public:
  explicit Warnings(Record& r) : r_(r) {}
  void logfromSender(const std::string&, const TLLogParams& params) override {
    if (params.level == 3) r_.add(params.message);
  }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

TEST(StalledMainQueue, DelegateCallGivesUpAfterTheLimitAndTheBusGoesOn) {
  TempDir dir;
  installEnvironment(dir);
  Record app, words, warnings;
  TLLogger::sharedLogger().setDelegate(std::make_shared<Warnings>(warnings));

  FakeClock clock;
  Dispatcher::Options dispatch{&clock, TimerMode::kManual, 2, false};
  dispatch.mainQueueWaitLimit = 5s;
  Dispatcher dispatcher(dispatch);
  dispatcher.mainQueue()->bindToCurrentThread();  // and never pumped below
  TLDecoder::Options options;
  options.dispatcher = &dispatcher;
  auto decoder = TLDecoder::create(options);
  TLTriggerEngine::sharedEngine()->setDispatcher(&dispatcher);

  decoder->initWithPlugins(triggerPlugin());
  ASSERT_NE(decoder->connectEngineDelegate(std::make_shared<WordDelegate>(words),
                                           TLEngineType::kTrigger),
            nullptr);
  decoder->addDelegate(std::make_shared<AppDelegate>(app));
  auto recorder =
      decoder->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 16000);
  ASSERT_NE(recorder, nullptr);
  decoder->startDecoding();
  ASSERT_TRUE(app.waitForText("started")) << testing::PrintToString(app.texts());

  // The word's delegate call waits on the main queue, for 5 s of the clock.
  ASSERT_TRUE(feedAll(*recorder, wordAudio({4242})));
  ASSERT_TRUE(clock.awaitDeadline(clock.steadyNow() + 5s));
  clock.advance(5s);
  const std::string gaveUp =
      "TRIGGER: the main queue did not take the call within 5000 ms; the call is dropped (the "
      "thread bound to the main queue does not pump it)";
  EXPECT_TRUE(warnings.waitForText(gaveUp)) << testing::PrintToString(warnings.texts());

  // The bus is free: the stop reaches the app's delegate (on the global
  // queue), while the main queue is still not pumped.
  decoder->stopDecoding();
  EXPECT_TRUE(app.waitForText("stopped")) << testing::PrintToString(app.texts());
  EXPECT_TRUE(words.texts().empty());
  TLLogger::sharedLogger().unsetDelegate();
  TLTriggerEngine::sharedEngine()->setDispatcher(nullptr);  // the test's dispatcher goes
}

}  // namespace
}  // namespace tltest
