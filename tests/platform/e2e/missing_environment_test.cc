// An app that starts the decoder without installing its PlatformEnvironment:
// the decoder writes nothing anywhere (no "TL" folder, no key in the working
// folder), refuses to start with a clear error through the delegate, and
// starts once the app installs its environment.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/platform/e2e/e2e_app.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;

TEST(MissingEnvironment, DecoderRefusesToStartUntilTheAppInstallsIt) {
  TempDir cwd;
  ASSERT_EQ(::chdir(cwd.path().c_str()), 0);  // where stray files would land
  Record app;
  auto decoder = TLDecoder::sharedDecoder();
  decoder->addDelegate(std::make_shared<AppDelegate>(app));
  decoder->startDecoding();
  const std::string refused =
      "failed:The decoder cannot start: no PlatformEnvironment is installed (its documentsFolder "
      "and keyStoreFolder are empty); install the app's with PlatformEnvironment::install before "
      "starting";
  ASSERT_TRUE(app.waitForText(refused)) << testing::PrintToString(app.texts());
  EXPECT_TRUE(std::filesystem::is_empty(cwd.path()));
  EXPECT_FALSE(std::filesystem::exists("/TL"));
  EXPECT_FALSE(app.contains("started"));
  EXPECT_FALSE(app.contains("initialised"));

  // Installed late, the environment is taken up by the next start.
  TempDir data;
  const PlatformEnvironment env = installEnvironment(data);
  auto recorder =
      decoder->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 16000);
  ASSERT_NE(recorder, nullptr);
  decoder->startDecoding();
  EXPECT_TRUE(app.waitForText("started")) << testing::PrintToString(app.texts());
  EXPECT_TRUE(std::filesystem::is_directory(env.documentsFolder + "/TL"));
  EXPECT_TRUE(std::filesystem::exists(env.keyStoreFolder + "/" + SecurityKeys::kPrivateTag + ".pem"));
  EXPECT_EQ(decoder->privateFolder(), env.documentsFolder + "/TL");
  EXPECT_EQ(decoder->udid().size(), 16u);
  EXPECT_TRUE(std::filesystem::is_empty(cwd.path()));
  decoder->stopDecoding();
  EXPECT_TRUE(app.waitForText("stopped"));
}

}  // namespace
}  // namespace tltest
