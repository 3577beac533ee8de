// The EVENT2 and HEARTBEAT engines: the EventData they send, the priority
// configuration, the run-state gate on sync signals, the value objects the
// delegates receive, registrations that cannot be sent, and what waits for
// a decoder to connect.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/engines/tl_sync_engines.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/engines/engine_world.h"
#include "tests/schema/wire.h"

namespace tembrolexinplatform {
namespace {

using tl_test::Bytes;
using tl_test::Hex;

struct Event2Log : TLEventEngine2Delegate {
  void onEventEngineEvent(const TLEventEngine2Event& e) override { events.push_back(e); }
  std::vector<TLEventEngine2Event> events;
};

struct HeartbeatLog : TLHeartbeatEngineDelegate {
  void onHeartbeatEngineEvent(const TLHeartbeatEngineEvent& e) override { events.push_back(e); }
  std::vector<TLHeartbeatEngineEvent> events;
};

struct LogSink : TLLoggerDelegate {
  void logfromSender(const std::string& sender, const TLLogParams& p) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(std::to_string(p.level) + " " + sender + ": " + p.message);
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

class SyncEngineTest : public testing::Test {
 protected:
  SyncEngineTest() {
    for (TLSyncEngine* e : engines()) {
      e->setDispatcher(&world_.dispatcher());
      e->setDecoder(world_.decoder());
      e->setMessenger(world_.sharedMessenger());
      e->start();
    }
    event2_->setDelegate(event2Log_);
    heartbeat_->setDelegate(heartbeatLog_);
  }
  ~SyncEngineTest() override {
    for (TLSyncEngine* e : engines()) {
      e->setDelegate(nullptr);
      e->setDispatcher(nullptr);
      e->setDecoder({});
    }
  }
  std::vector<TLSyncEngine*> engines() { return {event2_.get(), heartbeat_.get()}; }

  // A signal made `ageMs` before now on the core's up-time.
  SyncEngineSignal signal(int32_t engineType, int32_t eventType, int64_t ageMs = 0) {
    SyncEngineSignal s;
    if (engineType >= 0) s.__set_engineType(engineType);  // -1: untagged
    s.__set_eventType(eventType);
    s.__set_originalUpTime(world_.clock().upTimeMillis() - ageMs);
    return s;
  }
  static void deliver(TLSyncEngine& engine, const SyncEngineSignal& s) {
    engine.processEventParams(std::make_shared<TLThriftParams>(MessageEnvelope::wrap(s)), "Core");
  }

  tltest::EngineWorld world_;
  std::shared_ptr<TLEventEngine2> event2_ = TLEventEngine2::sharedEngine();
  std::shared_ptr<TLHeartbeatEngine> heartbeat_ = TLHeartbeatEngine::sharedEngine();
  std::shared_ptr<Event2Log> event2Log_ = std::make_shared<Event2Log>();
  std::shared_ptr<HeartbeatLog> heartbeatLog_ = std::make_shared<HeartbeatLog>();
};

TEST_F(SyncEngineTest, RegistrationIsOneEventDataWithTheTimeOutTruncated) {
  std::optional<TLError> error = TLError{};
  EXPECT_TRUE(event2_->registerEventSequenceWithID(4242, "{}", 7.9, &error));
  EXPECT_FALSE(error.has_value());
  // Fields in id order: stream id 4242, empty audio-match id, 7 seconds, the
  // text unchanged, engine type 2.
  EXPECT_EQ(Hex(world_.bytesSent("EVENT2").at(0)),
            Hex(Bytes("0a 0001 0000000000001092 | 0b 0002 00000000 | 0a 0003 0000000000000007 |"
                      "0b 0004 00000002 '{}' | 08 0005 00000002 | 00")));

  EXPECT_TRUE(heartbeat_->registerEventSequenceWithID(9, "", -0.5));
  EXPECT_TRUE(event2_->registerEventSequenceWithAudioMatchID("am-9", "{}", 1e30));
  const auto hb = world_.sent<EventData>("HEARTBEAT");
  ASSERT_EQ(hb.size(), 1u);
  EXPECT_EQ(hb[0].engineType, 4);
  EXPECT_EQ(hb[0].syncTimeoutSecs, 0);  // toward zero
  const auto am = world_.sent<EventData>("EVENT2");
  ASSERT_EQ(am.size(), 2u);
  EXPECT_EQ(am[1].mediaStreamId, -1);
  EXPECT_EQ(am[1].mediaStreamAMId, "am-9");
  EXPECT_EQ(am[1].syncTimeoutSecs, INT64_MAX);
}

TEST_F(SyncEngineTest, RegistrationsThatCannotBeSentAnswerNoAndSendNothing) {
  std::ofstream(world_.dir().file("good.json")) << "{\"events\":[]}";
  std::ofstream(world_.dir().file("latin1.json")) << "{\"name\":\"caf\xe9\"}";
  std::optional<TLError> error;

  EXPECT_TRUE(event2_->registerEventSequenceWithIDFromBundleFile(5, "good.json", 3, &error));
  EXPECT_FALSE(heartbeat_->registerEventSequenceWithIDFromBundleFile(5, "missing.json", 3, &error));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code, 12);
  EXPECT_FALSE(
      event2_->registerEventSequenceWithAudioMatchIDFromBundleFile("a", "latin1.json", 3, &error));
  EXPECT_FALSE(event2_->registerEventSequenceWithID(5, "{}", std::nan(""), &error));
  EXPECT_EQ(error->code, 1);

  const auto sent = world_.sent<EventData>("EVENT2");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].eventJson, "{\"events\":[]}");
  EXPECT_TRUE(world_.sent<EventData>("HEARTBEAT").empty());
}

TEST_F(SyncEngineTest, BeforeADecoderConnectsEverythingWaitsAndGoesOutInOrder) {
  for (TLSyncEngine* e : engines()) {
    e->setMessenger(nullptr);
    e->setDecoder({});
  }
  std::optional<TLError> error = TLError{};
  EXPECT_TRUE(event2_->registerEventSequenceWithID(5, "{}", 3, &error));
  EXPECT_FALSE(error.has_value());
  TLEventEngine2Priority tracks;
  tracks.addTrackId(3, 30, 60);
  event2_->setPrioritySettings(&tracks);
  EXPECT_TRUE(event2_->registerEventSequenceWithAudioMatchID("am-1", R"({"ticks":[]})", 1));
  EXPECT_TRUE(heartbeat_->registerEventSequenceWithID(9, R"({"events":[]})", 2));
  EXPECT_TRUE(world_.sendOrder().empty());

  // Connected as an app connects them: what each kept leaves in order.
  world_.decoder()->connectEngineDelegate(event2Log_, TLEngineType::kEvent2);
  EXPECT_EQ(world_.sendOrder(),
            (std::vector<std::string>{"EVENT2:1", "SDKPrivateObjcpp:30", "EVENT2:1"}));
  world_.decoder()->connectEngineDelegate(heartbeatLog_, TLEngineType::kHeartbeat);
  const auto sent = world_.sent<EventData>("EVENT2");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].mediaStreamId, 5);
  EXPECT_EQ(sent[1].mediaStreamAMId, "am-1");
  ASSERT_EQ(world_.sent<EventData>("HEARTBEAT").size(), 1u);
  EXPECT_EQ(world_.sent<EventData>("HEARTBEAT")[0].eventJson, R"({"events":[]})");
  EXPECT_EQ(world_.configurations().size(), 1u);
}

// What the core's sequence reader refuses is refused to the app (code 14,
// the reader's reason beneath, a Warning) and nothing is sent; what it
// takes, and an empty text (a removal), is sent. Events that never fire and
// text that is not UTF-8 are taken and logged.
struct SequenceCase {
  std::string name;
  std::string text;
  bool taken;
  std::string warning;  // a Warning that contains this; empty: none
};

class SequenceTextTest : public SyncEngineTest, public testing::WithParamInterface<SequenceCase> {};

TEST_P(SequenceTextTest, TheCoresReaderJudgesBeforeAnythingIsSent) {
  auto sink = std::make_shared<LogSink>();
  TLLogger::sharedLogger().setDelegate(sink);
  for (TLSyncEngine* engine : engines()) {
    std::optional<TLError> error;
    EXPECT_EQ(engine->registerEventSequenceWithID(31, GetParam().text, 5, &error),
              GetParam().taken);
    EXPECT_EQ(world_.sent<EventData>(engine->engineName()).size(), GetParam().taken ? 1u : 0u);
    if (!GetParam().taken) {
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->code, 14);
      EXPECT_EQ(error->localizedDescription, "Failed to parse JSON event sequence");
      ASSERT_NE(error->underlyingError, nullptr);
      EXPECT_FALSE(error->underlyingError->localizedDescription.empty());
    }
  }
  TLLogger::sharedLogger().unsetDelegate();
  std::size_t warnings = 0;
  for (const std::string& line : sink->lines) {
    if (line.rfind("3 ", 0) == 0 && !GetParam().warning.empty() &&
        line.find(GetParam().warning) != std::string::npos) {
      ++warnings;
    }
  }
  EXPECT_EQ(warnings, GetParam().warning.empty() ? 0u : 2u) << testing::PrintToString(sink->lines);
  for (TLSyncEngine* engine : engines()) engine->registerEventSequenceWithID(31, "", 5);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SequenceTextTest,
    testing::Values(
        SequenceCase{"EmptyRemoves", "", true, ""}, SequenceCase{"EmptyObject", "{}", true, ""},
        SequenceCase{
            "EventsAndTicks",
            R"({"events":[{"id":"a","time":1.5},{"time":2}],"ticks":[{"id":"t","period":5}]})",
            true, ""},
        SequenceCase{"NotJson", "hello", false,
                     "Failed to parse JSON event sequence for CWid=31: "},
        SequenceCase{"NotAnObject", "[1]", false, "CWid=31: the text is not a JSON object"},
        SequenceCase{"TimeIsText", R"({"events":[{"id":"a","time":"soon"}]})", false,
                     "\"time\" of events[0] (id a) is not a finite number"},
        SequenceCase{"EventsNotAnArray", R"({"events":{}})", false, "\"events\" is not an array"},
        SequenceCase{"NegativeTime", R"({"events":[{"id":"early","time":-3}]})", true,
                     "Event early of CWid=31 has a negative time (-3 s): it never fires"},
        SequenceCase{"NotUtf8", "{\"events\":[{\"id\":\"caf\xe9\",\"time\":1}]}", true,
                     "The event sequence for CWid=31 is not UTF-8 text"}),
    [](const auto& info) { return info.param.name; });

// The core makes its engines as the decoder initialises; what was sent
// before found none. Each engine sends its registrations again then, in the
// order registered, without the removed ones.
TEST_F(SyncEngineTest, RegistrationsGoOutAgainWhenTheDecoderHasInitialised) {
  const auto mine = [&](const std::string& engine) {
    std::vector<std::string> out;
    for (const EventData& d : world_.sent<EventData>(engine)) {
      if ((d.mediaStreamId >= 900 && d.mediaStreamId < 1000) || d.mediaStreamAMId == "am-900") {
        out.push_back(std::to_string(d.mediaStreamId) + d.mediaStreamAMId + ":" + d.eventJson);
      }
    }
    return out;
  };
  EXPECT_TRUE(event2_->registerEventSequenceWithID(902, R"({"ticks":[]})", 3));
  EXPECT_TRUE(event2_->registerEventSequenceWithAudioMatchID("am-900", "{}", 3));
  EXPECT_TRUE(event2_->registerEventSequenceWithID(901, "{}", 3));
  EXPECT_TRUE(event2_->registerEventSequenceWithID(902, "{}", 3));  // the core keeps the first
  EXPECT_TRUE(event2_->registerEventSequenceWithID(901, "", 3));    // removed
  EXPECT_TRUE(heartbeat_->registerEventSequenceWithID(903, "{}", 3));
  const std::size_t before = mine("EVENT2").size();
  event2_->decoderInitialised();
  heartbeat_->decoderInitialised();
  const std::vector<std::string> all = mine("EVENT2");
  const std::vector<std::string> again(all.begin() + static_cast<std::ptrdiff_t>(before),
                                       all.end());
  EXPECT_EQ(again, (std::vector<std::string>{"902:{\"ticks\":[]}", "-1am-900:{}"}));
  EXPECT_EQ(mine("HEARTBEAT"), (std::vector<std::string>{"903:{}", "903:{}"}));
  for (int64_t id : {902, 903}) {
    event2_->registerEventSequenceWithID(id, "", 3);
    heartbeat_->registerEventSequenceWithID(id, "", 3);
  }
  event2_->registerEventSequenceWithAudioMatchID("am-900", "", 3);
}

TEST_F(SyncEngineTest, PrioritiesAreOnePrettyJsonTextUnderEachKey) {
  TLEventEngine2Priority tracks;
  tracks.addTrackId(3, 30, 60);
  tracks.addTrackId(4, 0, 300);
  event2_->setPrioritySettings(&tracks);
  TLHeartbeatPriority stations;
  heartbeat_->setPrioritySettings(&stations);
  heartbeat_->setPrioritySettings(nullptr);

  const std::string json =
      "[\n  {\n    \"trackId\" : 3,\n    \"secondsIn\" : 30,\n    \"durationSecs\" : 60\n  },\n"
      "  {\n    \"trackId\" : 4,\n    \"secondsIn\" : 0,\n    \"durationSecs\" : 300\n  }\n]";
  const std::vector<ConfigDictionary> expected{
      {{"tembrolexin_DB_EventEngineSequences", json},
       {"tembrolexin_EchoMod_EventEngineSequences", json}},
      {{"tembrolexin_DB_CandidateStations", std::string("[]")}}};
  EXPECT_EQ(world_.configurations(), expected);

  stations.addStationId(7, -2);
  EXPECT_EQ(stations.jsonPriorities(), "[\n  {\n    \"id\" : 7,\n    \"lag\" : -2\n  }\n]");
}

// One signal per step: (engine type, event type).
struct GateCase {
  std::string name;
  bool startStopped;
  std::vector<std::pair<int32_t, int32_t>> signals;
  std::vector<int64_t> deliveredStatuses;
  bool runningAfter;
};

class GateTest : public SyncEngineTest, public testing::WithParamInterface<GateCase> {};

TEST_P(GateTest, Event2DeliversWhatPassesTheGate) {
  if (GetParam().startStopped) event2_->pause();
  for (const auto& [engineType, eventType] : GetParam().signals) {
    deliver(*event2_, signal(engineType, eventType));
  }
  std::vector<int64_t> statuses;
  for (const auto& e : event2Log_->events) statuses.push_back(e.eventStatus());
  EXPECT_EQ(statuses, GetParam().deliveredStatuses);
  EXPECT_EQ(event2_->isRunning(), GetParam().runningAfter);
  EXPECT_EQ(event2_->isPaused(), !GetParam().runningAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, GateTest,
    testing::Values(
        GateCase{"SyncStartsAStoppedEngine", true, {{2, 0}}, {0}, true},
        GateCase{"TickWhileStoppedIsDropped", true, {{2, 3}, {2, 1}, {2, 2}}, {}, false},
        GateCase{"SyncThenTickAfterStop", true, {{2, 3}, {2, 0}, {2, 3}}, {0, 3}, true},
        GateCase{"AllKindsWhileRunning", false, {{2, 0}, {2, 1}, {2, 2}, {2, 3}}, {0, 1, 2, 3}, true},
        GateCase{"UnknownKindDeliversNothing", false, {{2, 4}, {2, -1}}, {}, true},
        GateCase{"HeartbeatSignalNeitherStartsNorDelivers", true, {{4, 0}, {4, 2}}, {}, false},
        GateCase{"OtherEngineTypeWhileRunning", false, {{1, 2}, {3, 0}}, {}, true},
        GateCase{"UntaggedNeitherStartsNorDelivers", true, {{-1, 0}}, {}, false}),
    [](const testing::TestParamInfo<GateCase>& info) { return info.param.name; });

TEST_F(SyncEngineTest, Event2ValuesNameTheStreamAndAdvanceByTheSignalsAge) {
  SyncEngineSignal timed = signal(2, 2, 1500);
  timed.__set_mediaStreamId(4242);
  timed.__set_eventId("chorus");
  timed.__set_millisecondsInMediaStream(60000);
  deliver(*event2_, timed);
  SyncEngineSignal byAm = signal(2, 1, 20);
  byAm.__set_mediaStreamId(-1);
  byAm.__set_mediaStreamAMId("am-9");
  byAm.__set_eventId("ignored for desync");
  byAm.__set_millisecondsInMediaStream(100);
  deliver(*event2_, byAm);

  ASSERT_EQ(event2Log_->events.size(), 2u);
  const auto& a = event2Log_->events[0];
  EXPECT_EQ(a.eventType(), 1);
  EXPECT_EQ(a.eventStatus(), 2);
  EXPECT_EQ(a.eventId(), "4242");
  EXPECT_EQ(a.event(), "chorus");
  EXPECT_EQ(a.timeInTrack(), 61500);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::microseconds>(a.date().time_since_epoch()).count(),
            tltest::FakeClock::kStartWallMicros);
  const auto& b = event2Log_->events[1];
  EXPECT_EQ(b.eventType(), 0);
  EXPECT_EQ(b.eventId(), "am-9");
  EXPECT_EQ(b.event(), "Desync");
  EXPECT_EQ(b.timeInTrack(), 120);
}

TEST_F(SyncEngineTest, HeartbeatValuesCarryDeviceTimeOnlyForTimedEvents) {
  for (int32_t kind : {0, 2}) {
    SyncEngineSignal s = signal(4, kind, 250);
    s.__set_mediaStreamId(31);
    s.__set_eventId("news");
    s.__set_millisecondsInMediaStream(1000);
    s.__set_millisecondsSinceEpochInMediaStream(1700000000000);
    s.__set_millisecondsSinceEpochDeviceTime(1700000000900);
    deliver(*heartbeat_, s);
  }
  ASSERT_EQ(heartbeatLog_->events.size(), 2u);
  const auto& sync = heartbeatLog_->events[0];
  EXPECT_EQ(sync.event(), "Sync");
  EXPECT_EQ(sync.stationId(), "31");
  EXPECT_EQ(sync.timeInYear(), 1250);
  EXPECT_EQ(sync.millisecondsSinceEpoch(), 1700000000250);
  EXPECT_EQ(sync.millisecondsSinceEpochDeviceTime(), -1);
  const auto& timed = heartbeatLog_->events[1];
  EXPECT_EQ(timed.eventType(), 2);
  EXPECT_EQ(timed.event(), "news");
  EXPECT_EQ(timed.millisecondsSinceEpochDeviceTime(), 1700000000900);
}

}  // namespace
}  // namespace tembrolexinplatform
