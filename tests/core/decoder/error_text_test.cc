#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/decoder/decoder_library.h"
#include "core/decoder/text_utils.h"

namespace tembrolexinsdk {
namespace {

// A failure on one thread must not overwrite the text another thread is
// about to read: each thread keeps its own error text.
TEST(DecoderErrorTextTest, EachThreadKeepsItsOwnText) {
  tembrolexinSetErrorText("main thread failure %d", 1);
  std::string seenOnWorker;
  std::thread worker([&] {
    seenOnWorker = tembrolexinErrorText();
    tembrolexinSetErrorText("worker failure");
  });
  worker.join();
  EXPECT_EQ(seenOnWorker, "");
  EXPECT_STREQ(tembrolexinErrorText(), "main thread failure 1");
}

TEST(DecoderErrorTextTest, RefusedInitLeavesItsTextOnTheCallingThreadOnly) {
  tembrolexinSetErrorText("untouched");
  std::string workerText;
  std::thread worker([&] {
    EXPECT_EQ(Tembrolexin_Init2("", 1), nullptr);
    workerText = tembrolexinErrorText();
  });
  worker.join();
  EXPECT_FALSE(workerText.empty());
  EXPECT_STREQ(tembrolexinErrorText(), "untouched");
}

}  // namespace
}  // namespace tembrolexinsdk
