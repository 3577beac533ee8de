// Two processes of one app on a fresh data folder, the second loading its
// user defaults before the first has run: each stores a value, starts the
// decoder and numbers two prepared upload files.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/api/tl_decoder.h"
#include "platform/net/plugin_file_manager.h"
#include "platform/runtime/platform_environment.h"
#include "tests/platform/e2e/e2e_app.h"
#include "tests/support/child_process.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;

struct Device : TLPluginFileManagerDelegate {
  int32_t deviceId() override { return 42; }
};

// One process's run: "<setter's answer> <identity> <first>-<last>" of its
// files' sequence numbers (taken though the plug-in has no upload path).
std::string runApp(const TempDir& data, const std::string& name) {
  const bool stored = UserDefaults::standard()->setString(name + "Setting", "on");
  const std::shared_ptr<TLDecoder> decoder = TLDecoder::sharedDecoder();
  const auto files = TLPluginFileManager::initWithPluginName(
      "tembrolexin_VorselTW", std::make_shared<Device>(),
      TLPluginFileManager::Options{TLNetworkManager::create({}), nullptr, ""});
  CheckedFilePreparedEventSignal prepared;
  for (const char* file : {"a.zip", "b.zip"}) {
    writeFile(data.file(name + "/" + file), name + file);
    prepared.mPathsToPreparedFilesWithChecks[data.file(name + "/" + file)] = "";
  }
  files->uploadFiles(prepared);
  const int64_t next = files->nextSequenceNumber();
  return std::string(stored ? "stored " : "refused ") + decoder->udid() + " " +
         std::to_string(next - 2) + "-" + std::to_string(next - 1);
}

// Catches a process writing from stale defaults: the file must keep both
// values, one identity, and no sequence number taken twice.
TEST(DefaultsAcrossProcesses, BothValuesOneIdentityAndNoNumberTakenTwice) {
  TempDir data;
  const PlatformEnvironment env = installEnvironment(data);
  // This process's defaults, loaded before the other process runs.
  ASSERT_FALSE(UserDefaults::standard()->hasValueForKey(UserDefaults::kIdentityKey));
  const std::string first = inChild([&] { return runApp(data, "first"); });
  const std::string second = runApp(data, "second");
  const UserDefaults stored(env.userDefaultsFile);
  const std::string identity = stored.stringForKey(UserDefaults::kIdentityKey).value_or("none");
  EXPECT_EQ(identity.size(), 16u);
  EXPECT_EQ(first, "stored " + identity + " 1-2");
  EXPECT_EQ(second, "stored " + identity + " 3-4");
  EXPECT_EQ(stored.stringForKey("firstSetting"), "on");
  EXPECT_EQ(stored.stringForKey("secondSetting"), "on");
  EXPECT_EQ(stored.integerForKey("tembrolexin_VorselTW_meta_sequenceNum"), 5);
}

}  // namespace
}  // namespace tltest
