// An app that never binds or pumps the main queue, as one written from the
// README's first lines would: the engines' delegate calls run on a thread of
// the library's, so the TRIGGER word arrives and the stop is heard.

#include <gtest/gtest.h>

#include "tests/platform/e2e/e2e_app.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;

TEST(UnpumpedMainQueue, WordsAndTheStopReachAnAppThatNeverPumps) {
  TempDir dir;
  installEnvironment(dir);
  Record app, words;
  auto decoder = TLDecoder::sharedDecoder();
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

  ASSERT_TRUE(feedAll(*recorder, wordAudio({4242, 4243})));
  // On the library's thread, the test's thread never having run the queue.
  EXPECT_TRUE(words.waitForText("word:4242@library")) << testing::PrintToString(words.texts());
  EXPECT_TRUE(words.waitForText("word:4243@library")) << testing::PrintToString(words.texts());
  decoder->stopDecoding();
  EXPECT_TRUE(app.waitForText("stopped")) << testing::PrintToString(app.texts());
}

}  // namespace
}  // namespace tltest
