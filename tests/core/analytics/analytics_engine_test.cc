#include "core/analytics/analytics_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/configuration_map.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/control_messages.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/processor_params.h"
#include "schema/tembrolexin_types.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/http_test_server.h"
#include "tests/support/recording_messenger.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// The first file of a writer made at the fake clock's start.
const std::string kFirstFile = "sdk_dev-1_2026-12-06_00.00.00_0.json";
// BackgroundData {backgroundType 0, status 1}: two i32 fields, then stop.
const std::string kComplete("\x08\x00\x01\x00\x00\x00\x00\x08\x00\x02\x00\x00\x00\x01\x00", 15);
const std::string kHeader =
    "{\"app_id\":\"demoapp\",\"id\":\"HEADER\",\"logversion\":1,\"sequence\":1,"
    "\"timestamp\":\"2026-12-06T00:00:00Z\",\"udid\":\"dev-1\",\"version\":\"IPHONE\"}";
std::string status(const char* word) {
  return std::string("{\"id\":\"DECODINGSTATUS\",\"status\":\"") + word +
         "\",\"timestamp\":\"2026-12-06T00:00:00Z\"}";
}

bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 1000 && !condition(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}
Lines linesOf(std::istream&& in) {
  Lines out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}
std::unique_ptr<ThriftParams> handIn(BackgroundDataStatus::type status) {
  BackgroundData data;
  data.status = status;
  return ThriftParamsFactory::createThriftParams(data);
}
template <typename T>
void put(ConfigurationMap& map, const char* key, T value) {
  map.set(key, std::make_unique<ConfigurationParameter<T>>(value).get());
}

class AnalyticsEngineTest : public ::testing::Test {
 protected:
  AnalyticsEngineTest() : folder(dir.file("Analytics")) {
    setenv("TZ", "UTC", 1);
    environment.clock = &clock;
    put(parameters, "url", server.url("/up"));
  }
  std::unique_ptr<AnalyticsEngine> make() {
    auto engine = std::make_unique<AnalyticsEngine>(nullptr, &bus, environment);
    engine->setEngineParameters(&parameters);
    return engine;
  }
  void ready(AnalyticsEngine& engine) {
    engine.setFilePath(dir.path());
    engine.SetIdentityInfo("demoapp", "dev-1");
    ASSERT_NE(engine.writer(), nullptr);
  }
  // Step 1 signs the first file with /put/<name>; step 2 answers `putStatus`.
  void serve(int putStatus) {
    server.handle("/up/" + kFirstFile, [this](const tltest::HttpRecordedRequest&) {
      return tltest::replyWith(200, server.url("/put/" + kFirstFile));
    });
    server.route("PUT", "/put/" + kFirstFile, tltest::replyWith(putStatus));
  }
  std::string reply(std::size_t i) const {
    const auto& data = bus.sent().at(i).params->getData();
    return std::string(data.begin(), data.end());
  }
  Lines fileLines() const { return linesOf(std::ifstream(folder + "/" + kFirstFile)); }

  tltest::TempDir dir;
  std::string folder;
  tltest::FakeClock clock;
  tltest::RecordingMessenger bus;
  tltest::HttpTestServer server;
  AnalyticsEngine::Environment environment;
  ConfigurationMap parameters;
};

TEST_F(AnalyticsEngineTest, MadeByTypeRecordsEverythingPassesItOnAndHandsTheFileIn) {
  serve(200);
  registerAnalyticsEngineType(environment);
  std::map<std::string, std::unique_ptr<IEngine>> engines;
  put(parameters, "type", std::string("SDKANALYTICS"));
  IEngine::addEngineForMap(engines, &parameters, nullptr, &bus, nullptr);
  auto* engine = dynamic_cast<AnalyticsEngine*>(engines["SDKANALYTICS"].get());
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(bus.listeners(12), std::vector<IMessengerListener*>{engine});
  EXPECT_EQ(bus.listeners(13), std::vector<IMessengerListener*>{engine});

  const StartStopDecodingMsg start(0), pause(1), stop(2);
  EXPECT_EQ(engine->processEventParams(&start), &start);  // no writer yet: not recorded
  ready(*engine);
  // 2026-12-06 00:00:01.500 UTC.
  const CodewordEventParams word(2, 0, 0, 0, 0, 3, 3, 0, 4, 1, 40, 30, 4242, 6, 6, 0,
                                 tltest::FakeClock::kStartWallMicros / 1000 + 1500, "", 0, 0, 0);
  // The same word routed to a second engine: recorded once.
  const CodewordEventParams twin(2, 0, 0, 0, 0, 3, 3, 0, 4, 1, 40, 30, 4242, 6, 6, 0,
                                 tltest::FakeClock::kStartWallMicros / 1000 + 1500, "TRIGGER", 0, 0,
                                 0);
  const std::string bad("\x0b\x00\x03\x7f\xff\xff\xff", 7);  // a text of 2^31 - 1 bytes
  const ThriftParams hostile(28, bad.size(), bad.data());
  ContentSignal content;
  content.bundleId = "b", content.timestamp = 1234, content.emitKey = "decoder";
  const auto fired = ThriftParamsFactory::createThriftParams(content);
  tltest::LogCapture log;
  for (const IProcessorEventParams* event : std::vector<const IProcessorEventParams*>{
           &word, &twin, &hostile, fired.get(), &pause, &stop}) {
    EXPECT_EQ(engine->processEventParams(event), event);  // never consumed
  }
  engine->onReceive("platform", ThriftParams(13, bad.size(), bad.data()));
  EXPECT_EQ(log.matching("Could not record event: ").size(), 1u);
  EXPECT_EQ(log.matching("Could not read BackgroundData: ").size(), 1u);
  // NotificationData {1 "n", 2 "t", 3 "u", 4 "v"}; then a Complete, which is no request.
  const std::string bytes("\x0b\x00\x01\x00\x00\x00\x01n\x0b\x00\x02\x00\x00\x00\x01t"
                          "\x0b\x00\x03\x00\x00\x00\x01u\x0b\x00\x04\x00\x00\x00\x01v\x00", 33);
  engine->onReceive("platform", ThriftParams(12, bytes.size(), bytes.data()));
  engine->onReceive("AnalyticsEngine", *handIn(BackgroundDataStatus::Complete));
  engine->onReceive("platform", *handIn(BackgroundDataStatus::Start));

  ASSERT_TRUE(eventually([&] { return bus.sentCount() == 1; }));
  EXPECT_EQ(bus.sent()[0].senderName, "AnalyticsEngine");
  EXPECT_EQ(bus.sent()[0].params->getMsgType(), 13);
  EXPECT_EQ(reply(0), kComplete);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].body, "app_id=demoapp");
  EXPECT_EQ(linesOf(std::istringstream(requests[1].body)),
            (Lines{kHeader,
                   "{\"bitslicepos\":4,\"confidence\":1,\"cwdate\":\"20261206\","
                   "\"cwtime\":\"00:00:01.500\",\"encodingscheme\":6,\"fec\":1,\"id\":\"CODEWORD\","
                   "\"msg\":4242,\"signalstrength\":40,\"timestamp\":\"2026-12-06T00:00:00Z\","
                   "\"volume\":30}",
                   "{\"actionId\":\"\",\"bundleId\":\"b\",\"id\":\"CONTENT\",\"timestamp\":1234,"
                   "\"type\":\"decoder\",\"value\":\"\"}",  // the signal's time wins
                   status("pause"), status("stop"),
                   "{\"id\":\"SCHEDULEDCONTENT\",\"notificationId\":\"n\",\"timestamp\":"
                   "\"2026-12-06T00:00:00Z\",\"type\":\"t\",\"url\":\"u\",\"value\":\"v\"}",
                   "{\"bitfield\":0,\"id\":\"FOOTER\",\"reason\":0,\"records\":5,"
                   "\"timestamp\":\"2026-12-06T00:00:00Z\"}"}));
  EXPECT_TRUE(eventually([&] { return !fs::exists(folder + "/" + kFirstFile); }));

  engines.clear();
  EXPECT_TRUE(bus.listeners(12).empty());
  EXPECT_TRUE(bus.listeners(13).empty());
}

struct HandInCase {
  const char* label;
  bool recordFirst;  // something is recorded before the request
  int putStatus;     // of step 2; 0: step 1 fails (404)
  bool folderGone;   // the record folder is removed before anything is recorded
  const char* logLine;
};

class HandInTest : public AnalyticsEngineTest, public ::testing::WithParamInterface<HandInCase> {};

TEST_P(HandInTest, IsAlwaysAnsweredComplete) {
  const HandInCase& c = GetParam();
  if (c.putStatus != 0) serve(c.putStatus);
  tltest::LogCapture log;
  auto engine = make();
  ready(*engine);
  if (c.folderGone) fs::remove_all(folder);
  const StartStopDecodingMsg start(0);
  if (c.recordFirst) engine->processEventParams(&start);
  engine->onReceive("platform", *handIn(BackgroundDataStatus::Start));
  ASSERT_TRUE(eventually([&] { return bus.sentCount() == 1; }));
  EXPECT_EQ(reply(0), kComplete);
  const auto lines = log.matching("Background upload");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].sender, "SDKANALYTICS");
  EXPECT_EQ(lines[0].message, c.logLine);
  EXPECT_EQ(fs::exists(folder + "/" + kFirstFile), c.recordFirst && c.putStatus != 200);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, HandInTest,
    ::testing::Values(
        HandInCase{"Uploaded", true, 200, false, "Background upload succeeded, notifying app"},
        HandInCase{"PutRefused", true, 403, false, "Background upload failed, notifying app"},
        HandInCase{"SignedUrlRefused", true, 0, false, "Background upload failed, notifying app"},
        HandInCase{"NothingRecorded", false, 200, false,
                   "Background upload succeeded, notifying app"},
        HandInCase{"RecordLost", true, 200, true, "Background upload failed, notifying app"}),
    [](const ::testing::TestParamInfo<HandInCase>& info) { return std::string(info.param.label); });

struct ParameterCase {
  const char* label;
  std::function<void(ConfigurationMap&)> fill;
  bool enabled;
  bool writer;  // a writer is made once path and identity are known
};

class EngineParametersTest : public AnalyticsEngineTest,
                             public ::testing::WithParamInterface<ParameterCase> {};

TEST_P(EngineParametersTest, OnlyValuesOfTheRightTypeCount) {
  GetParam().fill(parameters);
  tltest::LogCapture log;
  auto engine = make();
  EXPECT_EQ(engine->isEnabled(), GetParam().enabled);
  const auto lines = log.matching("SDK Analytics ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, GetParam().enabled ? "SDK Analytics enabled." : "SDK Analytics disabled.");
  engine->setFilePath(dir.path());
  engine->SetIdentityInfo("demoapp", "dev-1");
  EXPECT_EQ(engine->writer() != nullptr, GetParam().writer);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, EngineParametersTest,
    ::testing::Values(
        ParameterCase{"Defaults", [](ConfigurationMap&) {}, true, true},
        ParameterCase{"EnabledFalse", [](ConfigurationMap& m) { put(m, "enabled", false); }, false, true},
        ParameterCase{"EnabledAsText",
                      [](ConfigurationMap& m) { put(m, "enabled", std::string("false")); }, true, true},
        // No service: the records are kept, never sent.
        ParameterCase{"EmptyUrl", [](ConfigurationMap& m) { put(m, "url", std::string()); }, true, true},
        ParameterCase{"UrlAsIntIsIgnored", [](ConfigurationMap& m) { put(m, "url", 5); }, true, true}),
    [](const ::testing::TestParamInfo<ParameterCase>& info) { return std::string(info.param.label); });

struct PendingCase {
  const char* label;
  std::function<void(ConfigurationMap&)> fill;
  std::size_t left;  // files waiting after six hand-ins that the service refuses
};

class PendingFilesTest : public AnalyticsEngineTest,
                         public ::testing::WithParamInterface<PendingCase> {};

TEST_P(PendingFilesTest, TheAppSetsHowManyFilesMayWait) {
  GetParam().fill(parameters);
  auto engine = make();
  ready(*engine);
  const StartStopDecodingMsg start(0);
  for (int i = 0; i < 6; ++i) {
    clock.advance(std::chrono::seconds(1));
    engine->processEventParams(&start);
    engine->onReceive("platform", *handIn(BackgroundDataStatus::Start));
    ASSERT_TRUE(eventually([&] { return bus.sentCount() == static_cast<std::size_t>(i) + 1; }));
  }
  EXPECT_EQ(pendingRecordFiles(folder).size(), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, PendingFilesTest,
    ::testing::Values(
        PendingCase{"Default", [](ConfigurationMap&) {}, 6},
        PendingCase{"Two", [](ConfigurationMap& m) { put(m, "maxPendingFiles", 2LL); }, 2},
        PendingCase{"TwoAsInt", [](ConfigurationMap& m) { put(m, "maxPendingFiles", 2); }, 2},
        PendingCase{"ZeroIsRefused", [](ConfigurationMap& m) { put(m, "maxPendingFiles", 0LL); }, 6},
        PendingCase{"TextIsIgnored",
                    [](ConfigurationMap& m) { put(m, "maxPendingFiles", std::string("2")); }, 6}),
    [](const ::testing::TestParamInfo<PendingCase>& info) { return std::string(info.param.label); });

TEST_F(AnalyticsEngineTest, WriterComesOnceWithEverythingKnownAndNeverChanges) {
  auto engine = make();
  engine->SetIdentityInfo("demoapp", "dev-1");
  EXPECT_EQ(engine->writer(), nullptr);
  engine->onReceive("platform", *handIn(BackgroundDataStatus::Start));  // no writer: no answer
  EXPECT_EQ(bus.sentCount(), 0u);
  std::ofstream(dir.file("plain")) << "x";  // a file cannot hold the folder: logged, no writer
  tltest::LogCapture log;
  engine->setFilePath(dir.file("plain"));
  EXPECT_EQ(engine->writer(), nullptr);
  EXPECT_EQ(log.matching("Could not create the Analytics record writer: ").size(), 1u);

  engine->setFilePath(dir.path());
  AnalyticsEngine::Writer* writer = engine->writer();
  ASSERT_NE(writer, nullptr);
  engine->SetIdentityInfo("otherapp", "dev-2");
  engine->setFilePath(dir.file("elsewhere"));
  EXPECT_EQ(engine->writer(), writer);
  const StartStopDecodingMsg start(0), stop(2);
  engine->processEventParams(&start);
  // Disabled: nothing more is recorded, a hand-in is ignored.
  put(parameters, "enabled", false);
  engine->setEngineParameters(&parameters);
  EXPECT_EQ(engine->processEventParams(&stop), &stop);
  engine->onReceive("platform", *handIn(BackgroundDataStatus::Start));
  engine.reset();  // the open file stays, without a footer
  EXPECT_EQ(bus.sentCount(), 0u);
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(fileLines(), (Lines{kHeader, status("start")}));  // the first identity's file
}

TEST_F(AnalyticsEngineTest, EventsFromAnotherThreadWhileTheWriterAppears) {
  auto engine = make();
  std::atomic<bool> waiting{true};
  std::thread reporter([&] {
    const StartStopDecodingMsg start(0);
    // Until the writer is there, and 20 times after that.
    for (int after = 0; after < 20;) {
      const bool counted = !waiting.load();
      engine->processEventParams(&start);
      after += counted ? 1 : 0;
    }
  });
  ready(*engine);
  waiting.store(false);
  reporter.join();
  engine.reset();
  const Lines lines = fileLines();
  ASSERT_GE(lines.size(), 21u);
  EXPECT_EQ(lines[0], kHeader);
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i], status("start"));
}

}  // namespace
}  // namespace tembrolexinsdk
