// The locks that the library's shutdown takes, or the threads it waits for
// take, are free while the library calls into the app: were one held around
// the call, an exit() made there would wait for the shutdown and the
// shutdown for the lock, for ever. At each place below the app is called
// (its log delegate on a line, or the ANALYTICS delegate asked for the
// connection type), and another thread takes the lock in question meanwhile:
// it gets it at once. One process of its own: the AUDIOMATCH and EVENT2
// engines are the process's.

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/analytics_engine.h"
#include "platform/engines/tl_audio_match_engine.h"
#include "platform/engines/tl_sync_engines.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/net/fake_transport.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

struct World;

struct Place {
  const char* name;
  const char* line;                  // a text of the line; empty: the connection-type question
  std::function<void(World&)> run;   // has the library call the app there
  std::function<void(World&)> take;  // takes the lock in question
};

void PrintTo(const Place& p, std::ostream* os) { *os << p.name; }

struct World {
  explicit World(const Place& p) : place(p) {}
  // At the place, once: `take` on another thread, and whether it ended soon.
  void called() {
    if (asked.exchange(true)) return;
    taking = std::async(std::launch::async, [this] { place.take(*this); });
    free = taking.wait_for(2s) == std::future_status::ready;
  }

  const Place& place;
  std::atomic<bool> asked{false};
  bool free = false;
  std::future<void> taking;
  tltest::TempDir dir;
  tltest::FakeClock clock;
  Dispatcher dispatcher{Dispatcher::Options{&clock, TimerMode::kManual, 1, false}};
  std::shared_ptr<tltest::FakeTransport> transport = std::make_shared<tltest::FakeTransport>();
  std::shared_ptr<TLNetworkManager> network = TLNetworkManager::create({&dispatcher, transport});
  std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>(dir.file("d.json"));
  std::shared_ptr<TLAnalyticsEngine> analytics = TLAnalyticsEngine::create(
      {&dispatcher, network, nullptr, {nullptr, defaults, dir.file("k")}});
  tembrolexinsdk::Messenger bus;
  std::shared_ptr<TLDecoder> decoder;
};

struct Sink : TLLoggerDelegate {
  explicit Sink(World& w) : w(w) {}
  void logfromSender(const std::string&, const TLLogParams& p) override {
    if (*w.place.line != '\0' && p.message.find(w.place.line) != std::string::npos) w.called();
  }
  World& w;
};

struct AskedApp : TLAnalyticsEngineDelegate {
  explicit AskedApp(World& w) : w(w) {}
  void processorWithNameRaisedEvent(const std::string&,
                                    std::shared_ptr<const TLProcessorEventParams>) override {}
  void processorWithNameChangedStatus(const std::string&,
                                      std::shared_ptr<const TLGenericStatusParams>) override {}
  void levelMeasured(int16_t) override {}
  void audioSupport(int32_t) override {}
  int32_t currentNetworkConnectionType() override {
    if (*w.place.line == '\0') w.called();
    return 1;
  }
  World& w;
};

void completeAnUpload(World& w) {
  w.network->setSecureServerURL("https://srv", 1, 3, true, 300000, nullptr);
  w.network->requestForURL("https://srv/x", {}, {});
  w.transport->last()->ok();
}

class UnlockedAppCallTest : public testing::TestWithParam<Place> {};

TEST_P(UnlockedAppCallTest, TheLockIsFreeWhileTheAppIsCalled) {
  World w(GetParam());
  TLLogger::sharedLogger().setDelegate(std::make_shared<Sink>(w));
  GetParam().run(w);
  TLLogger::sharedLogger().unsetDelegate();
  ASSERT_TRUE(w.asked) << "the app was not called there";
  w.taking.wait();
  EXPECT_TRUE(w.free) << "the lock was held while the app was called";
}

CheckedFilePreparedEventSignal prepared() {
  CheckedFilePreparedEventSignal message;
  message.__set_mPathsToPreparedFilesWithChecks({{"/nowhere/f.zip", "x"}});
  return message;
}

INSTANTIATE_TEST_SUITE_P(
    Places, UnlockedAppCallTest,
    testing::Values(
        Place{"UploadCompletedLine", "Request to https://srv/x successful", completeAnUpload,
              [](World& w) { w.network->requestsForType(4); }},
        Place{"RequestCancelledLine", "cancelled",
              [](World& w) {
                w.network->setSecureServerURL("https://srv", 1, 3, true, 300000, nullptr);
                w.network->requestForURL("https://srv/x", {}, {});
                w.network->stop();
              },
              [](World& w) { w.network->requestsForType(4); }},
        Place{"AlertScheduledLine", "Scheduling server comms failure in 3600 secs",
              completeAnUpload, [](World& w) { w.network->secureServerURL(); }},
        Place{"UploadQueuedLine", "queued request to uploaddbg",
              [](World& w) { w.network->requestUpload(kDebugPluginName, {}, {}); },
              [](World& w) { w.network->debugUploadRequests(); }},
        Place{"ConnectionTypeQuestion", "",
              [](World& w) {
                w.analytics->setDelegate(std::make_shared<AskedApp>(w));
                w.network->requestForURL("https://srv/x", {}, {});
              },
              [](World& w) { w.network->requestTypeQueue(4)->current()->requestUrl(); }},
        Place{"PluginFileManagerLine", "Next sequence number will be 1",
              [](World& w) {
                w.analytics->processEventParams(TLThriftParams::initWithMessage(prepared()), "P");
              },
              [](World& w) { w.analytics->fileManagerCount(); }},
        Place{"DefaultsSetAsideLine", "User defaults file",
              [](World& w) {
                std::filesystem::create_directory(w.dir.file("d.json"));
                w.defaults->setString("k", "v");
              },
              [](World& w) { w.defaults->hasValueForKey("k"); }},
        Place{"AudioMatchAddWaitingLine", "Not connected yet",
              [](World& w) { TLAudioMatchEngine::sharedEngine()->addDatabase(w.dir.file("db")); },
              [](World&) { TLAudioMatchEngine::sharedEngine()->heldCommandCount(); }},
        Place{
            "Event2RegistrationWaitingLine", "Not connected yet",
            [](World&) { TLEventEngine2::sharedEngine()->registerEventSequenceWithID(1, "{}", 5); },
            [](World&) {
              TLEventEngine2::sharedEngine()->registerEventSequenceWithID(2, "{}", 5);
            }},
        Place{"DecoderSetUpLine", "The stored device identity",
              [](World& w) {
                PlatformEnvironment::install({});  // the set-up waits for one
                TLDecoder::Options options;
                options.bus = &w.bus;
                options.coreBridge = {};
                options.dispatcher = &w.dispatcher;
                w.decoder = TLDecoder::create(options);
                tltest::writeFile(w.dir.file("app.json"), R"({"PluginIdentityUdid": 5})");
                PlatformEnvironment env;
                env.documentsFolder = w.dir.file("Documents");
                env.keyStoreFolder = w.dir.file("keys");
                env.userDefaultsFile = w.dir.file("app.json");
                PlatformEnvironment::install(env);
                w.decoder->startDecoding();
              },
              [](World& w) { w.decoder->startDecoding(); }}),
    [](const testing::TestParamInfo<Place>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tembrolexinplatform
