#include "core/analytics/analytics_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
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

// The first file of a writer made at the fake clock's start.
constexpr char kFirstFile[] = "sdk_dev-1_2026-12-06_00.00.00_0.json";
// BackgroundData {backgroundType 0, status 1}: two i32 fields, then stop.
const std::string kCompleteBytes("\x08\x00\x01\x00\x00\x00\x00\x08\x00\x02\x00\x00\x00\x01\x00", 15);

bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 1000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::unique_ptr<ThriftParams> backgroundData(BackgroundDataStatus::type status) {
  BackgroundData data;
  data.backgroundType = BackgroundDataType::SDKAnalytics;
  data.status = status;
  return ThriftParamsFactory::createThriftParams(data);
}

CodewordEventParams codeword(int64_t msg) {
  // 2026-12-06 00:00:01.500 UTC.
  return CodewordEventParams(2, 0, 0, 0, 0, 3, 3, 0, 4, 1, 40, 30, msg, 6, 6, 0,
                             tltest::FakeClock::kStartWallMicros / 1000 + 1500, "", 0, 0, 0);
}

class AnalyticsEngineTest : public ::testing::Test {
 protected:
  AnalyticsEngineTest() : folder(dir.file("Analytics")) {
    setenv("TZ", "UTC", 1);
    tzset();
  }

  AnalyticsEngine::Environment environment() {
    AnalyticsEngine::Environment e;
    e.clock = &clock;
    return e;
  }
  std::unique_ptr<AnalyticsEngine> make(const ConfigurationMap& parameters = ConfigurationMap()) {
    auto engine =
        std::make_unique<AnalyticsEngine>(nullptr, &bus, environment());
    engine->setEngineParameters(&parameters);
    return engine;
  }
  // Path and identity as the decoder hands them over.
  void ready(AnalyticsEngine& engine) {
    engine.setFilePath(dir.path());
    engine.SetIdentityInfo("demoapp", "dev-1");
    ASSERT_NE(engine.writer(), nullptr);
  }
  ConfigurationMap withUrl(const std::string& base) {
    ConfigurationMap map;
    map.set("url", std::make_unique<ConfigurationParameter<std::string>>(base).get());
    return map;
  }
  // The service signs every file name under /up/ with /put/<name>, and
  // stores what is put there.
  void serve(int putStatus = 200) {
    server.handle("/up/" + std::string(kFirstFile), [this](const tltest::HttpRecordedRequest& r) {
      return tltest::replyWith(200, server.url("/put/" + r.path.substr(4)));
    });
    server.route("PUT", "/put/" + std::string(kFirstFile), tltest::replyWith(putStatus));
  }
  // The reply messages sent so far.
  std::vector<tltest::RecordingMessenger::Sent> replies() const { return bus.sent(); }
  bool awaitReplies(std::size_t n) {
    return eventually([&] { return bus.sentCount() >= n; });
  }

  tltest::TempDir dir;
  std::string folder;
  tltest::FakeClock clock;
  tltest::RecordingMessenger bus;
  tltest::HttpTestServer server;
};

TEST_F(AnalyticsEngineTest, RecordsEverythingPassesItOnAndHandsTheFileIn) {
  serve();
  auto engine = make(withUrl(server.url("/up")));
  EXPECT_EQ(bus.listeners(12), std::vector<IMessengerListener*>{engine.get()});
  EXPECT_EQ(bus.listeners(13), std::vector<IMessengerListener*>{engine.get()});

  // Before the writer exists nothing is recorded.
  const StartStopDecodingMsg early(0);
  EXPECT_EQ(engine->processEventParams(&early), &early);
  ready(*engine);

  const CodewordEventParams word = codeword(4242);
  const StartStopDecodingMsg pause(1), stop(2);
  for (const IProcessorEventParams* event :
       std::vector<const IProcessorEventParams*>{&word, &pause, &stop}) {
    EXPECT_EQ(engine->processEventParams(event), event);  // never consumed
  }
  engine->onReceive("platform", *backgroundData(BackgroundDataStatus::Start));

  ASSERT_TRUE(awaitReplies(1));
  const auto sent = replies();
  EXPECT_EQ(sent[0].senderName, "AnalyticsEngine");
  EXPECT_EQ(sent[0].params->getMsgType(), 13);
  EXPECT_EQ(std::string(sent[0].params->getData().begin(), sent[0].params->getData().end()),
            kCompleteBytes);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].body, "app_id=demoapp");
  EXPECT_EQ(linesOf(requests[1].body),
            (std::vector<std::string>{
                "{\"app_id\":\"demoapp\",\"id\":\"HEADER\",\"logversion\":1,\"sequence\":1,"
                "\"timestamp\":\"2026-12-06T00:00:00Z\",\"udid\":\"dev-1\",\"version\":\"IPHONE\"}",
                "{\"bitslicepos\":4,\"confidence\":1,\"cwdate\":\"20261206\","
                "\"cwtime\":\"00:00:01.500\",\"encodingscheme\":6,\"fec\":1,\"id\":\"CODEWORD\","
                "\"msg\":4242,\"signalstrength\":40,\"timestamp\":\"2026-12-06T00:00:00Z\","
                "\"volume\":30}",
                "{\"id\":\"DECODINGSTATUS\",\"status\":\"pause\",\"timestamp\":\"2026-12-06T00:00:00Z\"}",
                "{\"id\":\"DECODINGSTATUS\",\"status\":\"stop\",\"timestamp\":\"2026-12-06T00:00:00Z\"}",
                "{\"bitfield\":0,\"id\":\"FOOTER\",\"reason\":0,\"records\":3,"
                "\"timestamp\":\"2026-12-06T00:00:00Z\"}"}));
  EXPECT_TRUE(eventually([&] { return !fs::exists(folder + "/" + kFirstFile); }));

  engine.reset();
  EXPECT_TRUE(bus.listeners(12).empty());
  EXPECT_TRUE(bus.listeners(13).empty());
}

TEST_F(AnalyticsEngineTest, BusNotificationsAreRecordedAndOtherBackgroundDataIgnored) {
  auto engine = make(withUrl(server.url("/none")));  // uploads fail: the file stays
  ready(*engine);
  // NotificationData {1 "n", 2 "t", 3 "u", 4 "v"} in Thrift's binary encoding.
  const std::string bytes("\x0b\x00\x01\x00\x00\x00\x01n\x0b\x00\x02\x00\x00\x00\x01t"
                          "\x0b\x00\x03\x00\x00\x00\x01u\x0b\x00\x04\x00\x00\x00\x01v\x00",
                          33);
  engine->onReceive("platform", ThriftParams(12, bytes.size(), bytes.data()));
  // A Complete coming back over the bus is not a hand-in request.
  engine->onReceive("AnalyticsEngine", *backgroundData(BackgroundDataStatus::Complete));
  engine.reset();  // writes what is queued; the file stays without a footer
  EXPECT_EQ(bus.sentCount(), 0u);
  EXPECT_EQ(linesOf(readFile(folder + "/" + kFirstFile)),
            (std::vector<std::string>{
                "{\"app_id\":\"demoapp\",\"id\":\"HEADER\",\"logversion\":1,\"sequence\":1,"
                "\"timestamp\":\"2026-12-06T00:00:00Z\",\"udid\":\"dev-1\",\"version\":\"IPHONE\"}",
                "{\"id\":\"SCHEDULEDCONTENT\",\"notificationId\":\"n\",\"timestamp\":"
                "\"2026-12-06T00:00:00Z\",\"type\":\"t\",\"url\":\"u\",\"value\":\"v\"}"}));
}

struct HandInCase {
  const char* label;
  bool recordFirst;  // a record is written before the request
  int putStatus;     // of step 2; 0: the service knows no such file (404 at step 1)
  const char* logLine;
};

class HandInTest : public AnalyticsEngineTest, public ::testing::WithParamInterface<HandInCase> {};

TEST_P(HandInTest, IsAlwaysAnsweredComplete) {
  const HandInCase& c = GetParam();
  if (c.putStatus != 0) serve(c.putStatus);
  tltest::LogCapture log;
  auto engine = make(withUrl(server.url("/up")));
  ready(*engine);
  const StartStopDecodingMsg start(0);
  if (c.recordFirst) engine->processEventParams(&start);
  engine->onReceive("platform", *backgroundData(BackgroundDataStatus::Start));
  ASSERT_TRUE(awaitReplies(1));
  EXPECT_EQ(std::string(replies()[0].params->getData().begin(), replies()[0].params->getData().end()),
            kCompleteBytes);
  const auto lines = log.matching("Background upload");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].sender, "SDKANALYTICS");
  EXPECT_EQ(lines[0].message, c.logLine);
  EXPECT_EQ(fs::exists(folder + "/" + kFirstFile), c.recordFirst && c.putStatus != 200);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, HandInTest,
    ::testing::Values(
        HandInCase{"Uploaded", true, 200, "Background upload succeeded, notifying app"},
        HandInCase{"PutRefused", true, 403, "Background upload failed, notifying app"},
        HandInCase{"SignedUrlRefused", true, 0, "Background upload failed, notifying app"},
        HandInCase{"NothingRecorded", false, 200, "Background upload succeeded, notifying app"}),
    [](const ::testing::TestParamInfo<HandInCase>& info) { return std::string(info.param.label); });

struct ParameterCase {
  const char* label;
  std::function<void(ConfigurationMap&)> fill;
  bool enabled;
  bool writer;  // a writer is made once path and identity are known
};

class EngineParametersTest : public AnalyticsEngineTest,
                             public ::testing::WithParamInterface<ParameterCase> {};

template <typename T>
std::function<void(ConfigurationMap&)> entry(const char* key, T value) {
  return [key, value](ConfigurationMap& map) {
    map.set(key, std::make_unique<ConfigurationParameter<T>>(value).get());
  };
}

TEST_P(EngineParametersTest, OnlyValuesOfTheRightTypeCount) {
  ConfigurationMap map;
  GetParam().fill(map);
  tltest::LogCapture log;
  auto engine = make(map);
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
        ParameterCase{"EnabledFalse", entry("enabled", false), false, true},
        ParameterCase{"EnabledAsTextFalse", entry("enabled", std::string("false")), true, true},
        ParameterCase{"EnabledAsIntZero", entry("enabled", 0), true, true},
        ParameterCase{"EmptyUrlMeansNoWriter", entry("url", std::string()), true, false},
        ParameterCase{"UrlAsIntKeepsTheDefault", entry("url", 5), true, true}),
    [](const ::testing::TestParamInfo<ParameterCase>& info) { return std::string(info.param.label); });

TEST_F(AnalyticsEngineTest, WriterComesOnceWithEverythingKnownAndNeverChanges) {
  auto engine = make(withUrl(server.url("/none")));
  engine->SetIdentityInfo("demoapp", "dev-1");
  EXPECT_EQ(engine->writer(), nullptr);
  // A folder that cannot be made (its parent is a file): logged, no writer.
  std::ofstream(dir.file("plain")) << "x";
  tltest::LogCapture log;
  engine->setFilePath(dir.file("plain"));
  EXPECT_EQ(engine->writer(), nullptr);
  EXPECT_EQ(log.matching("Could not create the Analytics record writer: ").size(), 1u);

  engine->setFilePath(dir.path());
  AnalyticsEngine::Writer* writer = engine->writer();
  ASSERT_NE(writer, nullptr);
  EXPECT_TRUE(fs::is_directory(folder));
  engine->SetIdentityInfo("otherapp", "dev-2");
  engine->setFilePath(dir.file("elsewhere"));
  EXPECT_EQ(engine->writer(), writer);
  const StartStopDecodingMsg start(0);
  engine->processEventParams(&start);
  engine.reset();
  EXPECT_TRUE(fs::exists(folder + "/" + kFirstFile));  // the first identity's name
}

TEST_F(AnalyticsEngineTest, DisabledRecordsNothingAndIgnoresHandIn) {
  auto engine = make(withUrl(server.url("/up")));
  ready(*engine);
  const StartStopDecodingMsg start(0), stop(2);
  engine->processEventParams(&start);
  ConfigurationMap off;
  entry("enabled", false)(off);
  engine->setEngineParameters(&off);
  EXPECT_EQ(engine->processEventParams(&stop), &stop);
  engine->onReceive("platform", *backgroundData(BackgroundDataStatus::Start));
  engine.reset();
  EXPECT_EQ(bus.sentCount(), 0u);
  EXPECT_EQ(server.requestCount(), 0u);
  const auto lines = linesOf(readFile(folder + "/" + kFirstFile));
  ASSERT_EQ(lines.size(), 2u);  // header and the start; no stop, no footer
  EXPECT_NE(lines[1].find("\"status\":\"start\""), std::string::npos);
}

TEST_F(AnalyticsEngineTest, MalformedMessagesAreLoggedAndPassedOn) {
  auto engine = make(withUrl(server.url("/none")));
  ready(*engine);
  tltest::LogCapture log;
  // A string field announcing 2^31 - 1 bytes, for every type a creator reads.
  const std::string bytes("\x0b\x00\x03\x7f\xff\xff\xff", 7);
  for (int type : {4, 5, 28}) {
    const ThriftParams hostile(type, bytes.size(), bytes.data());
    EXPECT_EQ(engine->processEventParams(&hostile), &hostile);
  }
  engine->onReceive("platform", ThriftParams(12, bytes.size(), bytes.data()));
  engine->onReceive("platform", ThriftParams(13, bytes.size(), bytes.data()));
  EXPECT_EQ(log.matching("Could not record event: ").size(), 3u);
  EXPECT_EQ(log.matching("Could not record message: ").size(), 1u);
  EXPECT_EQ(log.matching("Could not read BackgroundData: ").size(), 1u);
  engine.reset();
  EXPECT_EQ(bus.sentCount(), 0u);
  EXPECT_FALSE(fs::exists(folder + "/" + kFirstFile));  // nothing was recorded
}

TEST_F(AnalyticsEngineTest, EventsFromOtherThreadsWhileTheWriterAppears) {
  auto engine = make(withUrl(server.url("/none")));
  std::atomic<bool> go{true};
  std::atomic<int> offered{0};
  std::thread reporter([&] {
    const StartStopDecodingMsg start(0);
    // Until the writer is there, and a few after that.
    for (int after = 0; after < 20; after += go.load() ? 0 : 1) {
      engine->processEventParams(&start);
      offered.fetch_add(1);
    }
  });
  ready(*engine);
  go.store(false);
  reporter.join();
  engine.reset();
  // Every line is whole: a header, then records that were offered after the
  // writer appeared.
  const auto lines = linesOf(readFile(folder + "/" + kFirstFile));
  ASSERT_GE(lines.size(), 21u);
  EXPECT_NE(lines[0].find("\"HEADER\""), std::string::npos);
  EXPECT_LE(lines.size(), static_cast<std::size_t>(offered.load()) + 1);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i],
              "{\"id\":\"DECODINGSTATUS\",\"status\":\"start\",\"timestamp\":\"2026-12-06T00:00:00Z\"}");
  }
}

TEST_F(AnalyticsEngineTest, FactoryCreatesTheEngineForItsType) {
  registerAnalyticsEngineType(environment());
  std::map<std::string, std::unique_ptr<IEngine>> engines;
  ConfigurationMap map;
  entry("type", std::string("SDKANALYTICS"))(map);
  entry("enabled", false)(map);
  IEngine::addEngineForMap(engines, &map, nullptr, &bus, nullptr);
  ASSERT_EQ(engines.count("SDKANALYTICS"), 1u);
  auto* engine = dynamic_cast<AnalyticsEngine*>(engines["SDKANALYTICS"].get());
  ASSERT_NE(engine, nullptr);
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_EQ(bus.listeners(13), std::vector<IMessengerListener*>{engine});
}

}  // namespace
}  // namespace tembrolexinsdk
