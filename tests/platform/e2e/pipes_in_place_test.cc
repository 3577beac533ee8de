// Named pipes in place of the user defaults file and of the public key file
// (the first key read): the decoder neither waits on them nor writes into
// them, and starts with a new identity and key pair; both pipes are kept
// beside as ".damaged".
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/platform/e2e/e2e_app.h"
#include "tests/support/pipe_release.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;

TEST(PipesInPlace, TheStartIsHeardWithANewIdentityAndANewKeyPair) {
  TempDir dir;
  const PlatformEnvironment env = installEnvironment(dir);
  const std::string publicKey = env.keyStoreFolder + "/" + SecurityKeys::kPublicTag + ".pem";
  std::filesystem::create_directories(env.keyStoreFolder);
  ASSERT_EQ(::mkfifo(env.userDefaultsFile.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(publicKey.c_str(), 0600), 0);

  std::shared_ptr<TLDecoder> decoder;
  ASSERT_TRUE(returnsDespitePipes([&] { decoder = TLDecoder::sharedDecoder(); },
                                  {env.userDefaultsFile, publicKey}));
  Record app;
  decoder->addDelegate(std::make_shared<AppDelegate>(app));
  auto recorder =
      decoder->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 16000);
  ASSERT_NE(recorder, nullptr);
  decoder->startDecoding();
  ASSERT_TRUE(app.waitForText("started")) << testing::PrintToString(app.texts());

  EXPECT_EQ(decoder->udid().size(), 16u);
  EXPECT_EQ(UserDefaults(env.userDefaultsFile).stringForKey(TLDecoder::kIdentityKey),
            decoder->udid());
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(publicKey)));
  EXPECT_TRUE(std::filesystem::is_fifo(env.userDefaultsFile + ".damaged"));
  EXPECT_TRUE(std::filesystem::is_fifo(publicKey + ".damaged"));
  decoder->stopDecoding();
  EXPECT_TRUE(app.waitForText("stopped"));
}

}  // namespace
}  // namespace tltest
