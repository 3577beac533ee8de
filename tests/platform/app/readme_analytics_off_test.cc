// The README's way to turn analytics off: the engine list
// "AudioDecoder_engines" without the "SDKANALYTICS" entry, configured before
// the decoder initialises. A run then leaves no record file and sends
// nothing.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/platform/app/readme_app.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;

TEST(ReadmeAnalytics, AnEngineListWithoutItRecordsNothing) {
  TempDir dir;
  const PlatformEnvironment env = installApp(dir, "com.example.quiet");
  auto decoder = TLDecoder::sharedDecoder();
  decoder->configure({{"AudioDecoder_engines",
                       std::string(R"([{"type": "CONTENT"}, {"type": "EVENT2"},
                                       {"type": "HEARTBEAT"}])")}});
  Heard heard;
  decoder->addDelegate(std::make_shared<App>(heard));
  auto recorder = decoder->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 16000);
  ASSERT_NE(recorder, nullptr);
  ASSERT_TRUE(startAndListen(*decoder, *recorder, heard)) << testing::PrintToString(heard.texts());
  ASSERT_TRUE(stopAndWait(*decoder, heard));
  // A second start and stop, for any record the first stop could still owe.
  ASSERT_TRUE(startAndListen(*decoder, *recorder, heard));
  ASSERT_TRUE(stopAndWait(*decoder, heard));

  const std::string folder = env.documentsFolder + "/TL/Analytics";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    ADD_FAILURE() << "recorded: " << entry.path();
  }
}

}  // namespace
}  // namespace tltest

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::fflush(nullptr);
  std::_Exit(result);
}
