// An app that starts the decoder without installing its PlatformEnvironment:
// the decoder writes nothing anywhere (no "TL" folder, no key in the working
// folder), says nothing before a start is asked (an app may install its
// environment after taking the decoder), refuses to start with a clear error
// in the log and through the delegate, and starts once the app installs its
// environment.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/runtime/tl_logger.h"
#include "tests/platform/e2e/e2e_app.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;

// The facade's own Warning and Error lines, as "<sender>: <text>".
class FacadeComplaints : public TLLoggerDelegate {
 public:
  explicit FacadeComplaints(Record& r) : r_(r) {}
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    if (params.level >= 3 && sender.rfind("-[TLDecoder", 0) == 0) {
      r_.add(sender + ": " + params.message);
    }
  }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

TEST(MissingEnvironment, DecoderRefusesToStartUntilTheAppInstallsIt) {
  TempDir cwd;
  ASSERT_EQ(::chdir(cwd.path().c_str()), 0);  // where stray files would land
  Record app, log;
  TLLogger::sharedLogger().setDelegate(std::make_shared<FacadeComplaints>(log));
  auto decoder = TLDecoder::sharedDecoder();
  decoder->addDelegate(std::make_shared<AppDelegate>(app));
  EXPECT_TRUE(log.texts().empty()) << testing::PrintToString(log.texts());
  decoder->startDecoding();
  const std::string reason =
      "The decoder cannot start: no PlatformEnvironment is installed (its documentsFolder and "
      "keyStoreFolder are empty); install the app's with PlatformEnvironment::install before "
      "starting";
  ASSERT_TRUE(app.waitForText("failed:" + reason)) << testing::PrintToString(app.texts());
  EXPECT_EQ(log.texts(), std::vector<std::string>{"-[TLDecoder startDecoding]: " + reason});
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
