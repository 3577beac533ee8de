#include "core/engines/content_engine.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/engines/content_signals.h"
#include "core/engines/engine_factory.h"
#include "core/runtime/configuration_map.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/processor_params.h"
#include "tests/core/engines/content_test_util.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/damaged_store.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_messenger.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

// Every kind of section, with codewords 0, -5, 77, an audio-match id, a
// stream with a window [1.5 s, 20 s] on one onSync entry, a heartbeat stream
// without onDesync entries, a default and a scheduled action.
const char* const kBundle = R"({
  "entryPoint": "index.html",
  "triggerEngine": [{"scheme": "T2", "actions": [
    {"codeword": 77, "id": "t77", "notification": {"text": "hi", "title": "T", "delay": 5}},
    {"codeword": 0, "id": "t0"},
    {"codeword": -5, "id": "tm5"},
    {"codeword": null, "am_id": "abc", "id": "tabc"}]}],
  "eventEngine": [{"scheme": "E", "actions": [
    {"codeword": 1234, "events": [{"id": "intro", "notification": {"text": "n"}}],
     "onSync": [{"id": "s1"}, {"id": "s2", "timeStart": 1.5, "timeEnd": 20}],
     "onDesync": [{"id": "d1", "timeStart": {}, "timeEnd": []}]}]}],
  "heartbeatEngine": [{"scheme": "H", "actions": [
    {"am_id": "hb", "events": [{"id": "e1"}], "onSync": [{"id": "hs"}]}]}],
  "defaultAction": {"id": "home"},
  "scheduleEngine": [{"actions": [{"id": "a1", "timestamps": ["2020-01-02 03:04:05"]}]}]
})";

const std::string kStatusSyncE2 =
    "{\n\t\"engine\" : \"EVENT2\",\n\t\"status\" : \"DECODER_SYNC\",\n"
    "\t\"trigger\" : \"1234\"\n}\n";

CodewordEventParams codeword(int64_t msg, const std::string& engineRef, int32_t syncState = 2,
                             int64_t time = 1000) {
  return CodewordEventParams(syncState, 0, 0, /*currentVolume=*/-7, /*currentSignalStrength=*/42,
                             0, 0, 0, 0, 0, 0, 0, msg, 0, 0, 0, time, engineRef, 0, 0, 0);
}

SyncEngineSignal syncSignal(EventType::type event, EngineType::type engine, int64_t position,
                            int64_t streamId = 1234, const std::string& amId = "",
                            const std::string& eventId = "") {
  SyncEngineSignal s;
  s.__set_mediaStreamId(streamId);
  s.__set_mediaStreamAMId(amId);
  s.__set_signalType(amId.empty() ? SignalType::codeword : SignalType::amevent);
  s.__set_engineType(engine);
  s.__set_eventType(event);
  s.__set_eventId(eventId);
  s.__set_millisecondsInMediaStream(position);
  s.__set_millisecondsSinceEpochDeviceTime(5000);
  return s;
}

// "status" for a stream-status signal, else the action id.
std::vector<std::string> names(const std::vector<ContentSignal>& signals) {
  std::vector<std::string> out;
  for (const auto& s : signals) out.push_back(s.emitKey == "decoder" ? "status" : s.actionId);
  return out;
}

class ContentEngineTest : public ::testing::Test {
 protected:
  void configure(const std::string& id, const std::string& json, bool unconfigure = false) {
    CachedActionParams params(id, id + "_name", json, "/ready/" + id, unconfigure);
    EXPECT_EQ(engine->processEventParams(&params), nullptr);
  }
  std::vector<AssetActionList> lists() const {
    std::vector<AssetActionList> out;
    for (const auto& m : bus.sent()) {
      if (auto l = ThriftParamsFactory::readThriftParams<AssetActionList>(*m.params)) {
        EXPECT_EQ(m.senderName, "CONTENT");
        out.push_back(*l);
      }
    }
    return out;
  }
  std::vector<ContentSignal> sync(const SyncEngineSignal& s) {
    events.clear();
    const auto params = ThriftParamsFactory::createThriftParams(s);
    EXPECT_EQ(engine->processEventParams(params.get()), params.get());
    return events.read<ContentSignal>();
  }
  void questionnaire(const std::string& bundleId, const std::string& json) {
    AssetMessage m;
    m.__set_assetId(bundleId);
    m.__set_messageJson(json);
    engine->onReceive("platform", *ThriftParamsFactory::createThriftParams(m));
  }
  // The reply to a page request, or null when none came.
  std::unique_ptr<JavascriptMessage> page(const std::string& bundleId, const std::string& json) {
    JavascriptMessage m;
    m.__set_messageType(JavascriptMessageType::Request);
    m.__set_bundleId(bundleId);
    m.__set_messageContent(json);
    events.clear();
    engine->onReceive("platform", *ThriftParamsFactory::createThriftParams(m));
    const auto replies = events.read<JavascriptMessage>();
    EXPECT_LE(replies.size(), 1u);
    return replies.empty() ? nullptr : std::make_unique<JavascriptMessage>(replies[0]);
  }

  tltest::TempDir dir;
  std::unique_ptr<DB::Database> store =
      std::make_unique<DB::Database>(dir.file("audiodecoder.db"), "audiodecoder");
  tltest::RecordingMessenger bus;
  tltest::EmittedEvents events;
  tltest::FakeClock clock;
  std::unique_ptr<ContentEngine> engine =
      std::make_unique<ContentEngine>(&events, &bus, store.get(), clock);
};

TEST_F(ContentEngineTest, StartsByAskingForCachedBundlesAndListensToPages) {
  ASSERT_EQ(bus.sentCount(), 1u);
  EXPECT_EQ(bus.sent()[0].senderName, "CONTENT");
  auto request = ThriftParamsFactory::readThriftParams<StringRequest>(*bus.sent()[0].params);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->messageType, MessageType::Request);
  EXPECT_EQ(request->contentType, ContentType::CachedActions);
  EXPECT_EQ(bus.listeners(16).size(), 1u);
  EXPECT_EQ(bus.listeners(26).size(), 1u);
  engine.reset();
  EXPECT_TRUE(bus.listeners(16).empty());
  EXPECT_TRUE(bus.listeners(26).empty());
}

TEST_F(ContentEngineTest, ActionListHoldsEveryTableInOrder) {
  configure("b1", kBundle);
  const auto published = lists();
  ASSERT_EQ(published.size(), 1u);
  ASSERT_EQ(published[0].assetActionMap.count("b1"), 1u);
  const std::vector<AssetAction>& list = published[0].assetActionMap.at("b1");
  struct Row {
    const char* id;
    int engine;
    const char* trigger;
    const char* notificationId;
  };
  // Default, triggers by key (bytes: "-5" < "0" < "77" < "abc"), timed
  // events, onSync, onDesync, heartbeat, scheduled.
  const Row expected[] = {
      {"home", 0, "", ""},
      {"tm5", 1, "-5", "b1tm5"},
      {"t0", 1, "0", "b1t0"},
      {"t77", 1, "77", "b1t77"},
      {"tabc", 1, "abc", "b1tabc"},
      {"intro", 2, "1234", "schedule_engine_asset_b1_action_intro"},
      {"s1", 2, "1234", "schedule_engine_asset_b1_action_s1"},
      {"s2", 2, "1234", "schedule_engine_asset_b1_action_s2"},
      {"d1", 2, "1234", "schedule_engine_asset_b1_action_d1"},
      {"e1", 2, "hb", "schedule_engine_asset_b1_action_e1"},
      {"hs", 2, "hb", "schedule_engine_asset_b1_action_hs"},
      {"a1", 3, "scheduled", "b1a11577934245"},
  };
  ASSERT_EQ(list.size(), std::size(expected));
  for (std::size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(expected[i].id);
    EXPECT_EQ(list[i].actionID, expected[i].id);
    EXPECT_EQ(list[i].engine, expected[i].engine);
    EXPECT_EQ(list[i].trigger, expected[i].trigger);
    EXPECT_EQ(list[i].notificationID, expected[i].notificationId);
    EXPECT_EQ(list[i].assetID, "b1");
    EXPECT_EQ(list[i].timeStamp, 0);
    EXPECT_FALSE(list[i].completed);
  }
  const AssetAction& t77 = list[3];
  EXPECT_EQ(t77.scheme, "T2");
  EXPECT_EQ(t77.entryPoint, "index.html");
  EXPECT_EQ(t77.secondsDelay, 5);
  EXPECT_EQ(t77.notificationText, "hi");
  EXPECT_EQ(t77.notificationTitle, "T");
  EXPECT_EQ(t77.json,
            "{\n\t\"engine\" : \"TRIGGER\",\n\t\"id\" : \"t77\",\n\t\"timestamp\" : 0,\n"
            "\t\"trigger\" : \"77\"\n}\n");
  EXPECT_EQ(list[10].scheme, "H");
  EXPECT_EQ(list[11].scheduleEngineActionTimestamp, 1577934245);
}

TEST_F(ContentEngineTest, ConfiguringTwiceAddsNothingAndUnconfigureClearsTheTables) {
  configure("b1", kBundle);
  configure("b1", kBundle);
  auto published = lists();
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(published[0], published[1]);
  EXPECT_EQ(names(sync(syncSignal(EventType::sync, EngineType::EVENT2, 10000))),
            (std::vector<std::string>{"status", "s1", "s2"}));
  configure("b1", "", true);
  published = lists();
  ASSERT_EQ(published.size(), 3u);
  EXPECT_TRUE(published[2].assetActionMap.empty());
  // An unconfigure of a bundle that has nothing still publishes.
  configure("nothing", "", true);
  EXPECT_EQ(lists().size(), 4u);
}

TEST_F(ContentEngineTest, EveryConfiguredBundleIsListedUntilUnconfigured) {
  // What the cache sends for a bundle without actions or entry page.
  configure("none", "null\n");
  // Map (0x0d) field 1: string keys (0x0b) to lists (0x0f), one entry, the
  // key "none", a list of structs (0x0c) with no element; then the stop byte.
  const std::vector<signed char> expected = {0x0d, 0, 1, 0x0b, 0x0f, 0, 0, 0, 1, 0, 0, 0, 4,
                                             'n',  'o', 'n', 'e', 0x0c, 0, 0, 0, 0, 0};
  ASSERT_EQ(bus.sentCount(), 2u);
  EXPECT_EQ(bus.sent()[1].params->getMsgType(), 20);
  EXPECT_EQ(bus.sent()[1].params->getData(), expected);
  configure("b1", R"({"triggerEngine": [{"actions": [{"codeword": 9, "id": "t"}]}]})");
  configure("none", "", true);
  configure("b1", "", true);
  const auto published = lists();
  ASSERT_EQ(published.size(), 4u);
  const auto bundles = [](const AssetActionList& l) {
    std::vector<std::string> out;
    for (const auto& [id, actions] : l.assetActionMap) {
      out.push_back(id + ":" + std::to_string(actions.size()));
    }
    return out;
  };
  EXPECT_EQ(bundles(published[1]), (std::vector<std::string>{"b1:1", "none:0"}));
  EXPECT_EQ(bundles(published[2]), (std::vector<std::string>{"b1:1"}));
  EXPECT_TRUE(published[3].assetActionMap.empty());
}

TEST_F(ContentEngineTest, SyncEntriesWithoutIdAreEachAnActionAndAreListedOnceWhenConfiguredAgain) {
  const char* const bundle = R"({"eventEngine": [{"actions": [{"codeword": 1234,
      "onSync": [{"notification": {"text": "a"}}, {"notification": {"text": "b"}}, {"id": "s"}],
      "onDesync": [{}, {}]}]}]})";
  configure("b1", bundle);
  configure("b1", bundle);
  const auto synced = sync(syncSignal(EventType::sync, EngineType::EVENT2, 10000));
  EXPECT_EQ(names(synced), (std::vector<std::string>{"status", "", "", "s"}));
  EXPECT_EQ(names(sync(syncSignal(EventType::desync, EngineType::EVENT2, 10000))),
            (std::vector<std::string>{"status", "", ""}));
  const auto published = lists();
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(published[0], published[1]);
  EXPECT_EQ(published[1].assetActionMap.at("b1").size(), 5u);
}

TEST_F(ContentEngineTest, FirstBundleKeepsASharedTrigger) {
  configure("first", R"({"triggerEngine": [{"actions": [{"codeword": 9, "id": "f"}]}]})");
  configure("second", R"({"triggerEngine": [{"actions": [{"codeword": 9, "id": "s"}]}]})");
  auto fire = [&] {
    events.clear();
    const auto cw = codeword(9, "TRIGGER");
    engine->processEventParams(&cw);
    return names(events.read<ContentSignal>());
  };
  EXPECT_EQ(fire(), std::vector<std::string>{"f"});
  configure("first", "", true);
  EXPECT_TRUE(fire().empty());
  configure("second", R"({"triggerEngine": [{"actions": [{"codeword": 9, "id": "s"}]}]})");
  EXPECT_EQ(fire(), std::vector<std::string>{"s"});
}

TEST_F(ContentEngineTest, BadDocumentsAreLoggedKeepWhatWasReadAndStillPublish) {
  tltest::LogCapture log;
  configure("bad", "{\"triggerEngine\": [");
  // The second action is a text: the first one stays.
  configure("typed", R"({"triggerEngine": [{"actions": [{"codeword": 1, "id": "ok"}, "oops"]}],
                         "eventEngine": 5})");
  configure("cw", R"({"triggerEngine": [{"actions": [{"codeword": "12", "id": "x"}]}]})");
  const auto published = lists();
  ASSERT_EQ(published.size(), 3u);
  // Every bundle is listed; those whose documents gave nothing, empty.
  ASSERT_EQ(published[2].assetActionMap.size(), 3u);
  ASSERT_EQ(published[2].assetActionMap.at("typed").size(), 1u);
  EXPECT_EQ(published[2].assetActionMap.at("typed")[0].actionID, "ok");
  EXPECT_TRUE(published[2].assetActionMap.at("bad").empty());
  EXPECT_TRUE(published[2].assetActionMap.at("cw").empty());
  EXPECT_EQ(log.matching("Failed to parse json from CachedActionParamsbad_name: bad").size(), 1u);
  EXPECT_EQ(log.matching("Failed to parse json from CachedActionParamstyped_name: typed").size(),
            1u);
  EXPECT_EQ(log.matching("Failed to parse json from CachedActionParamscw_name: cw").size(), 1u);
}

struct SyncCase {
  const char* name;
  SyncEngineSignal signal;
  std::vector<std::string> expected;
};

class ContentEngineSyncTest : public ContentEngineTest,
                              public ::testing::WithParamInterface<SyncCase> {};

TEST_P(ContentEngineSyncTest, SignalsFollowTheTables) {
  configure("b1", kBundle);
  EXPECT_EQ(names(sync(GetParam().signal)), GetParam().expected);
}

const SyncCase kSyncCases[] = {
    {"SyncInWindow", syncSignal(EventType::sync, EngineType::EVENT2, 10000),
     {"status", "s1", "s2"}},
    {"SyncAtWindowEnd", syncSignal(EventType::sync, EngineType::EVENT2, 20000),
     {"status", "s1", "s2"}},
    {"SyncAfterWindow", syncSignal(EventType::sync, EngineType::EVENT2, 20001), {"status", "s1"}},
    {"SyncBeforeWindow", syncSignal(EventType::sync, EngineType::EVENT2, 1499), {"status", "s1"}},
    {"Desync", syncSignal(EventType::desync, EngineType::EVENT2, 99999), {"status", "d1"}},
    {"UnknownStream", syncSignal(EventType::sync, EngineType::EVENT2, 0, 4321), {"status"}},
    {"HeartbeatSync", syncSignal(EventType::sync, EngineType::HEARTBEAT, 0, 0, "hb"),
     {"status", "hs"}},
    {"HeartbeatDesyncWithoutActions",
     syncSignal(EventType::desync, EngineType::HEARTBEAT, 0, 0, "hb"), {"status"}},
    {"TimedEvent", syncSignal(EventType::timedEvent, EngineType::EVENT2, 0, 1234, "", "intro"),
     {"intro"}},
    {"HeartbeatTimedEvent",
     syncSignal(EventType::timedEvent, EngineType::HEARTBEAT, 0, 0, "hb", "e1"), {"e1"}},
    {"TimedEventWithoutAction",
     syncSignal(EventType::timedEvent, EngineType::EVENT2, 0, 1234, "", "nope"), {}},
    {"Tick", syncSignal(EventType::tick, EngineType::EVENT2, 0), {}},
    {"TriggerEngineType", syncSignal(EventType::sync, EngineType::TRIGGER, 0), {}},
    {"ScheduleEngineType", syncSignal(EventType::sync, EngineType::SCHEDULE, 0), {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, ContentEngineSyncTest, ::testing::ValuesIn(kSyncCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ContentEngineTest, SyncSignalFieldsAndCompletedActionsDropped) {
  configure("b1", kBundle);
  auto signals = sync(syncSignal(EventType::sync, EngineType::EVENT2, 10000));
  ASSERT_EQ(signals.size(), 3u);
  EXPECT_EQ(signals[0], contentengine::makeContentSignal("", "", 5000, "decoder", kStatusSyncE2,
                                                         10000));
  EXPECT_EQ(signals[1], contentengine::makeContentSignal("b1", "s1", 5000, "action", "", 10000));
  EXPECT_EQ(events.senders()[0], "CONTENT");
  questionnaire("b1", R"({"type": "questionnaire", "completed": true, "id": "s1"})");
  EXPECT_EQ(names(sync(syncSignal(EventType::sync, EngineType::EVENT2, 10000))),
            (std::vector<std::string>{"status", "s2"}));
}

TEST_F(ContentEngineTest, UnreadableSyncSignalIsPassedOn) {
  tltest::LogCapture log;
  const signed char junk[] = {0x0b, 0x00, 0x02, 0x7f, 0x7f, 0x7f, 0x7f};
  ThriftParams params(28, sizeof junk, junk);
  EXPECT_EQ(engine->processEventParams(&params), &params);
  EXPECT_EQ(events.count(), 0u);
  EXPECT_EQ(log.matching("Unreadable SyncEngineSignal").size(), 1u);
}

TEST_F(ContentEngineTest, TriggerFiresUntilCompletedAndCompletionOutlivesTheEngine) {
  configure("b1", kBundle);
  for (int i = 0; i < 2; ++i) {
    const auto cw = codeword(77, "TRIGGER", 2, 1000 + i);
    EXPECT_EQ(engine->processEventParams(&cw), &cw);
  }
  AMEvent match("db", "abc", 300, 45, 10, {});
  EXPECT_EQ(engine->processEventParams(&match), &match);
  const auto other = codeword(77, "EVENT2");
  engine->processEventParams(&other);
  EXPECT_EQ(events.read<ContentSignal>(),
            (std::vector<ContentSignal>{
                contentengine::makeContentSignal("b1", "t77", 1000, "action", "", -1),
                contentengine::makeContentSignal("b1", "t77", 1001, "action", "", -1),
                contentengine::makeContentSignal("b1", "tabc", 345, "action", "", -1)}));

  questionnaire("b1", R"({"type": "questionnaire", "completed": false, "id": "t77"})");
  questionnaire("b1", R"({"type": "survey", "completed": true, "id": "t77"})");
  EXPECT_EQ(lists().size(), 1u);  // nothing changed, nothing published
  questionnaire("b1", R"({"type": "questionnaire", "completed": true, "id": "t77"})");
  ASSERT_EQ(lists().size(), 2u);
  EXPECT_TRUE(lists()[1].assetActionMap.at("b1")[3].completed);
  EXPECT_EQ(store->select<std::string>("schedule_engine_asset_b1_action_t77"), "1");
  events.clear();
  const auto again = codeword(77, "TRIGGER");
  engine->processEventParams(&again);
  EXPECT_EQ(events.count(), 0u);

  // A new engine on a new connection to the same file reads the flag back.
  engine.reset();
  store = std::make_unique<DB::Database>(dir.file("audiodecoder.db"), "audiodecoder");
  engine = std::make_unique<ContentEngine>(&events, &bus, store.get(), clock);
  configure("b1", kBundle);
  EXPECT_TRUE(lists().back().assetActionMap.at("b1")[3].completed);
  EXPECT_FALSE(lists().back().assetActionMap.at("b1")[2].completed);
}

struct QualityCase {
  const char* name;
  int32_t syncState;
  const char* confidence;
};

class ContentEngineQualityTest : public ContentEngineTest,
                                 public ::testing::WithParamInterface<QualityCase> {};

TEST_P(ContentEngineQualityTest, ConfidenceReportBecomesAPerformanceSignal) {
  const auto report = codeword(-1, "CONFIDENCE", GetParam().syncState);
  EXPECT_EQ(engine->processEventParams(&report), &report);
  ContentSignal expected;
  expected.__set_emitKey("performance");
  expected.__set_emitValue(std::string("{\n\t\"confidence\" : \"") + GetParam().confidence +
                           "\",\n\t\"signalStrength\" : 42,\n\t\"volume\" : -7\n}\n");
  EXPECT_EQ(events.read<ContentSignal>(), std::vector<ContentSignal>{expected});
}

INSTANTIATE_TEST_SUITE_P(Cases, ContentEngineQualityTest,
                         ::testing::Values(QualityCase{"Unknown0", 0, "CONFIDENCE_UNKNOWN"},
                                           QualityCase{"Low", 1, "CONFIDENCE_LOW"},
                                           QualityCase{"Medium", 2, "CONFIDENCE_MEDIUM"},
                                           QualityCase{"High", 3, "CONFIDENCE_HIGH"},
                                           QualityCase{"Unknown4", 4, "CONFIDENCE_UNKNOWN"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ContentSignalsTest, PerformanceTextAtTheLevelsExtremes) {
  const ContentSignal low = contentengine::makePerformanceDataSignal(1, -32768, 32767);
  EXPECT_EQ(low.emitValue,
            "{\n\t\"confidence\" : \"CONFIDENCE_LOW\",\n\t\"signalStrength\" : -32768,\n"
            "\t\"volume\" : 32767\n}\n");
  EXPECT_EQ(contentengine::makePerformanceDataSignal(-1, 0, 0).emitValue,
            "{\n\t\"confidence\" : \"CONFIDENCE_UNKNOWN\",\n\t\"signalStrength\" : 0,\n"
            "\t\"volume\" : 0\n}\n");
}

TEST_F(ContentEngineTest, ConfidenceWithACodewordGivesNothing) {
  const auto report = codeword(3, "CONFIDENCE");
  engine->processEventParams(&report);
  EXPECT_EQ(events.count(), 0u);
}

TEST_F(ContentEngineTest, DecoderStartStopAndFailure) {
  const int64_t now = tltest::FakeClock::kStartWallMicros / 1000;
  engine->onStartListening();
  engine->onStopListening();
  engine->onFailed(FailureParams(std::string("mic \"gone\"")));
  EXPECT_EQ(events.read<ContentSignal>(),
            (std::vector<ContentSignal>{
                contentengine::makeContentSignal(
                    "", "", now, "decoder", "{\n\t\"status\" : \"DECODER_STARTED\"\n}\n", -1),
                contentengine::makeContentSignal(
                    "", "", now, "decoder", "{\n\t\"status\" : \"DECODER_STOPPED\"\n}\n", -1),
                contentengine::makeContentSignal(
                    "", "", now, "decoder", "{\n\t\"message\" : \"mic \\\"gone\\\"\"\n}\n", -1)}));
}

TEST_F(ContentEngineTest, AssetsInfoRequestNeedsABoolTrue) {
  tltest::LogCapture log;
  const ConfigurationParameter<int> asInt(1);
  const ConfigurationParameter<bool> yes(true);
  const ConfigurationParameters intRequest{{"CONTENT_assetsInfoRequest", &asInt}};
  const ConfigurationParameters boolRequest{{"CONTENT_assetsInfoRequest", &yes}};
  const ConfigurationParameters unrelated{{"CONTENT_other", &yes}};
  engine->Configure(&unrelated);
  engine->Configure(&intRequest);
  EXPECT_EQ(lists().size(), 0u);
  engine->Configure(&boolRequest);
  EXPECT_EQ(lists().size(), 1u);
  const auto lines = log.matching("New Configuration Assets information requested ");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "New Configuration Assets information requested 0");
  EXPECT_EQ(lines[1].message, "New Configuration Assets information requested 1");
}

// Emission happens with no engine lock held: a listener may call back in.
TEST_F(ContentEngineTest, ListenerMayReenterAndThreadsMayRace) {
  configure("b1", kBundle);
  events.onEvent = [this] { engine->buildActionList(); };
  std::atomic<bool> stop{false};
  std::thread bundles([&] {
    for (int i = 0; i < 50; ++i) {
      configure("b2", kBundle);
      configure("b2", "", true);
    }
    stop = true;
  });
  while (!stop) {
    const auto cw = codeword(77, "TRIGGER");
    engine->processEventParams(&cw);
    sync(syncSignal(EventType::sync, EngineType::EVENT2, 10000));
  }
  bundles.join();
  events.onEvent = nullptr;
  EXPECT_EQ(names(sync(syncSignal(EventType::sync, EngineType::EVENT2, 10000))),
            (std::vector<std::string>{"status", "s1", "s2"}));
}

// --- page storage ---

TEST_F(ContentEngineTest, StoreAndLoadRepliesByteForByte) {
  engine->setFilePath(dir.path());
  auto reply = page("b1", R"({"action": "storeData", "key": "k", "value": "v1"})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, contentengine::makeJavascriptMessage(JavascriptMessageType::StoreResponse,
                                                         "b1", "k", "{\"success\":true}\n"));
  page("b1", R"({"action": "storeData", "key": "k", "value": "v2"})");
  reply = page("b1", R"({"action": "loadData", "key": "k"})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, contentengine::makeJavascriptMessage(JavascriptMessageType::LoadResponse,
                                                         "b1", "k", "v2"));
  reply = page("b1", R"({"action": "loadData", "key": "never"})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->messageContent, "");
  DB::Database table(dir.file("BundleData.db"), "b1");
  EXPECT_EQ(table.listKeys(), std::vector<std::string>{"k"});
  // Replies coming back over the bus are not requests.
  JavascriptMessage back = *reply;
  events.clear();
  engine->onReceive("platform", *ThriftParamsFactory::createThriftParams(back));
  EXPECT_EQ(events.count(), 0u);
}

TEST_F(ContentEngineTest, HostileBundleIdsGetTheirOwnTables) {
  engine->setFilePath(dir.path());
  const std::string ids[] = {"a`b", "x\"y'z", "t`; DROP TABLE audiodecoder; --", "b1"};
  for (const auto& id : ids) {
    ASSERT_TRUE(page(id, R"({"action": "storeData", "key": "k", "value": ")" + id.substr(0, 1) +
                             "\"}"));
  }
  for (const auto& id : ids) {
    const auto reply = page(id, R"({"action": "loadData", "key": "k"})");
    ASSERT_TRUE(reply) << id;
    EXPECT_EQ(reply->messageContent, id.substr(0, 1)) << id;
    DB::Database table(dir.file("BundleData.db"), id);
    EXPECT_EQ(table.select<std::string>("k"), id.substr(0, 1)) << id;
  }
  EXPECT_TRUE(store->insert("still", std::string("here")));
}

struct RefusedCase {
  const char* name;
  bool withPath;
  const char* content;
  const char* warning;
};

class ContentEnginePageRefusalTest : public ContentEngineTest,
                                     public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(ContentEnginePageRefusalTest, WarnsAndDoesNotReply) {
  tltest::LogCapture log;
  if (GetParam().withPath) engine->setFilePath(dir.path());
  EXPECT_FALSE(page("b1", GetParam().content));
  EXPECT_EQ(log.matching(GetParam().warning).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContentEnginePageRefusalTest,
    ::testing::Values(
        RefusedCase{"NoFilePath", false, R"({"action": "loadData", "key": "k"})",
                    "Filepath for DB not valid"},
        RefusedCase{"Unparsable", true, "{", "Failed to read JavascriptMessage."},
        RefusedCase{"NotAnObject", true, "[1]", "Failed to read JavascriptMessage."},
        RefusedCase{"KeyOfWrongType", true, R"({"action": "loadData", "key": {}})",
                    "Failed to read JavascriptMessage."},
        RefusedCase{"EmptyKey", true, R"({"action": "storeData", "value": "v"})", "Key not found"},
        RefusedCase{"BadAction", true, R"({"action": "drop", "key": "k"})",
                    "Bad action type drop for JavascriptMessage."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ContentEngineTest, StoreThatCannotOpenFailsCleanlyAndIsRetried) {
  engine->setFilePath(dir.file("later"));
  const auto stored = page("b1", R"({"action": "storeData", "key": "k", "value": "v"})");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->messageContent, "{\"success\":false}\n");
  EXPECT_FALSE(page("b1", R"({"action": "loadData", "key": "k"})"));
  ASSERT_EQ(::mkdir(dir.file("later").c_str(), 0700), 0);
  EXPECT_EQ(page("b1", R"({"action": "storeData", "key": "k", "value": "v"})")->messageContent,
            "{\"success\":true}\n");
}

// A damaged "BundleData.db" is set aside as the first page opens it. Damaged
// while a store of another bundle has it open, it stays for this run and is
// set aside at the next start.
TEST_F(ContentEngineTest, DamagedPageStoreIsSetAsideWhenNoStoreHasItOpen) {
  const std::string path = dir.file("BundleData.db");
  tltest::writeGarbageStore(path);
  const std::string garbage = tltest::readFile(path);
  tltest::LogCapture log;
  const auto store = [this](const std::string& bundleId) {
    return page(bundleId, R"({"action": "storeData", "key": "k", "value": "v"})")->messageContent;
  };
  engine->setFilePath(dir.path());
  EXPECT_EQ(store("b1"), "{\"success\":true}\n");
  EXPECT_EQ(tltest::readFile(path + ".damaged"), garbage);

  std::string bytes = tltest::readFile(path);
  bytes.replace(0, 16, "no database here");
  tltest::writeFile(path, bytes);
  EXPECT_EQ(store("b2"), "{\"success\":false}\n");
  EXPECT_EQ(tltest::readFile(path), bytes);

  engine = std::make_unique<ContentEngine>(&events, &bus, this->store.get(), clock);
  engine->setFilePath(dir.path());
  EXPECT_EQ(store("b2"), "{\"success\":true}\n");
  EXPECT_EQ(tltest::readFile(path + ".damaged"), bytes);

  std::vector<std::string> warnings;
  for (const auto& line : log.lines()) {
    if (line.level == 3 && line.sender == "CONTENT") warnings.push_back(line.message);
  }
  const std::string damaged = "Store " + path + " is damaged (file is not a database, code 26); ";
  const std::string setAside =
      damaged + "it is set aside as " + path + ".damaged and a new, empty store is made";
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                setAside,
                damaged + "another store of this run has it open, so it is set aside "
                          "at the next start",
                "Could not open the store of b2: Create table failed. Error code: 26", setAside}));
}

// A bad free-page pointer in "BundleData.db": the page of a bundle whose
// table exists opens it first, and the check sets the file aside then, so a
// bundle without a table yet can store. The data of the others is in the
// kept copy.
TEST_F(ContentEngineTest, PageStoreDamagedPastItsFirstPageIsSetAsideAtItsFirstOpening) {
  const std::string path = dir.file("BundleData.db");
  tltest::writeBadFreelistStore(path);  // table "t", which holds "k1"
  const std::string before = tltest::readFile(path);
  tltest::LogCapture log;
  engine->setFilePath(dir.path());
  EXPECT_EQ(page("t", R"({"action": "loadData", "key": "k1"})")->messageContent, "");
  EXPECT_EQ(page("b3", R"({"action": "storeData", "key": "k", "value": "v"})")->messageContent,
            "{\"success\":true}\n");
  EXPECT_TRUE(tltest::readFile(path + ".damaged") == before);
  std::vector<std::string> warnings;
  for (const auto& line : log.lines()) {
    if (line.level >= 3) warnings.push_back(line.message);
  }
  EXPECT_EQ(warnings, std::vector<std::string>{
                          "Store " + path +
                          " is damaged (quick_check: Main freelist: invalid page number 999); it "
                          "is set aside as " +
                          path + ".damaged and a new, empty store is made"});
}

// A "BundleData.db" whose header names a schema format that no SQLite
// writes (SQLite's code 1, "unsupported file format") is damaged too.
class ContentEnginePageStoreFormatTest : public ContentEngineTest,
                                         public ::testing::WithParamInterface<unsigned> {};

TEST_P(ContentEnginePageStoreFormatTest, IsSetAsideAtItsFirstOpening) {
  const std::string path = dir.file("BundleData.db");
  tltest::writeSchemaFormatStore(path, GetParam());
  const std::string before = tltest::readFile(path);
  tltest::LogCapture log;
  engine->setFilePath(dir.path());
  const auto stored = page("b1", R"({"action": "storeData", "key": "k", "value": "v"})");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->messageContent, "{\"success\":true}\n");
  const auto loaded = page("b1", R"({"action": "loadData", "key": "k"})");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->messageContent, "v");
  EXPECT_TRUE(tltest::readFile(path + ".damaged") == before);
  std::vector<std::string> warnings;
  for (const auto& line : log.lines()) {
    if (line.level >= 3) warnings.push_back(line.message);
  }
  EXPECT_EQ(warnings, std::vector<std::string>{"Store " + path +
                                               " is damaged (unsupported file format, code 1); "
                                               "it is set aside as " +
                                               path + ".damaged and a new, empty store is made"});
}

INSTANTIATE_TEST_SUITE_P(Formats, ContentEnginePageStoreFormatTest,
                         ::testing::Values(5u, 255u, 0xFFFFFFFFu));

TEST_F(ContentEngineTest, KeyWithSeveralRowsIsLoggedNotThrown) {
  // A table made elsewhere without the unique key.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("BundleData.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE dup (Key TEXT, Value BLOB);"
                         "INSERT INTO dup VALUES ('k', 'a'); INSERT INTO dup VALUES ('k', 'b');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  tltest::LogCapture log;
  engine->setFilePath(dir.path());
  EXPECT_FALSE(page("dup", R"({"action": "loadData", "key": "k"})"));
  EXPECT_EQ(log.matching("More than one value found for key").size(), 1u);
}

TEST_F(ContentEngineTest, FactoryCreatesContentOnlyWithAStore) {
  std::map<std::string, std::unique_ptr<IEngine>> engines;
  const ConfigurationParameter<std::string> type("CONTENT");
  ConfigurationMap entry;
  entry.set("type", &type);
  EXPECT_THROW(IEngine::addEngineForMap(engines, &entry, &events, &bus, nullptr),
               std::runtime_error);
  EXPECT_TRUE(engines.empty());
  IEngine::addEngineForMap(engines, &entry, &events, &bus, store.get());
  ASSERT_EQ(engines.count("CONTENT"), 1u);
  EXPECT_NE(dynamic_cast<ContentEngine*>(engines.at("CONTENT").get()), nullptr);
}

}  // namespace
}  // namespace tembrolexinsdk
