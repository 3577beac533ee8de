#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/engines/event_engine2.h"
#include "core/engines/heartbeat_engine.h"
#include "core/engines/sync_engine_signal.h"
#include "core/runtime/control_messages.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/processor_params.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_messenger.h"

namespace tembrolexinsdk {
namespace {

using std::chrono::milliseconds;

// Start of 2026 (the fake clock's year), seconds since the epoch.
constexpr int64_t kYear2026 = 1767225600;

// Keeps the sync signals and priority texts the engine reports; may call a
// hook on each signal (to re-enter the engine from a firing event).
class Listener : public IProcessorListener {
 public:
  void onProcessorEvent(const INamedObject*, const IProcessorEventParams* params) override {
    std::function<void(const SyncEngineSignal&)> hook;
    if (const auto* t = dynamic_cast<const ThriftParams*>(params)) {
      auto signal = ThriftParamsFactory::readThriftParams<SyncEngineSignal>(*t);
      std::lock_guard<std::mutex> lock(mutex);
      signals.push_back(*signal);
      hook = onSignal;
    } else if (const auto* p = EventEngine2Priority::Cast(params)) {
      priorities.push_back(p->getPriorities());
    } else if (const auto* h = HeartbeatPriority::Cast(params)) {
      priorities.push_back(h->getPriorities());
    }
    if (hook) hook(signals.back());
  }
  void onLogEvent(const INamedObject*, const LogParams*) override {}
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {}
  void onFailed(const FailureParams&) override {}
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override { return nullptr; }

  // "<eventType>@<position>" per signal, e.g. "0@12000" for a sync.
  std::vector<std::string> brief() {
    std::vector<std::string> out;
    for (const auto& s : signals) {
      out.push_back(std::to_string(s.eventType) + "@" +
                    std::to_string(s.millisecondsInMediaStream) +
                    (s.eventId.empty() ? "" : ":" + s.eventId));
    }
    return out;
  }

  std::mutex mutex;
  std::vector<SyncEngineSignal> signals;
  std::vector<std::string> priorities;
  std::function<void(const SyncEngineSignal&)> onSignal;
};

std::unique_ptr<ThriftParams> eventData(int64_t id, std::string json, int64_t timeout = 30,
                                        EngineType::type type = EngineType::EVENT2,
                                        std::string amId = "") {
  EventData data;
  data.__set_mediaStreamId(id);
  data.__set_mediaStreamAMId(amId);
  data.__set_syncTimeoutSecs(timeout);
  data.__set_eventJson(json);
  data.__set_engineType(type);
  return ThriftParamsFactory::createThriftParams(data);
}

template <typename Engine>
class SyncEngineTest : public ::testing::Test {
 protected:
  SyncEngineTest() : engine_(&listener_, &bus_, {&clock_, TimingMode::kManual}) {}

  // A code word meant for `ref`, captured `age` ms ago: its steady stamp is
  // on the core's up-time, which the fake clock keeps far from its steady
  // clock, as a machine that has been suspended does.
  std::unique_ptr<CodewordEventParams> codeword(int64_t msg, int64_t duration,
                                                const std::string& ref, int64_t age = 0) {
    return std::make_unique<CodewordEventParams>(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, msg, 0, 0,
                                                 clock_.upTimeMillis() - age, 0, ref, 0, duration,
                                                 0);
  }
  void offer(const IProcessorEventParams& params) { engine_.processEventParams(&params); }
  void configure(int64_t id, const std::string& json, int64_t timeout = 30) {
    EXPECT_EQ(engine_.processEventParams(eventData(id, json, timeout,
                                                   std::is_same_v<Engine, HeartbeatEngine>
                                                       ? EngineType::HEARTBEAT
                                                       : EngineType::EVENT2)
                                             .get()),
              nullptr);
  }
  void advance(int64_t ms) {
    clock_.advance(milliseconds(ms));
    engine_.timing().pump();
  }

  tltest::FakeClock clock_;
  tltest::RecordingMessenger bus_;
  Listener listener_;
  Engine engine_;
};

using EventEngine2Test = SyncEngineTest<EventEngine2>;
using HeartbeatEngineTest = SyncEngineTest<HeartbeatEngine>;

struct SignalCase {
  std::string name;
  MediaStream stream;
  int64_t position, reference, clockMs, epoch;
  int64_t expectedEpoch, expectedDevice;
};

class SyncSignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SyncSignalTest, FieldsFollowTheRules) {
  const SignalCase& c = GetParam();
  tltest::FakeClock clock;
  auto params = syncengine::generateSyncEngineSignalThriftParam(
      EngineType::HEARTBEAT, c.stream, EventType::timedEvent, c.position, "e1", c.reference,
      c.clockMs, c.epoch, clock);
  auto s = ThriftParamsFactory::readThriftParams<SyncEngineSignal>(*params);
  EXPECT_EQ(s->millisecondsSinceEpochInMediaStream, c.expectedEpoch);
  EXPECT_EQ(s->millisecondsSinceEpochDeviceTime, c.expectedDevice);
  EXPECT_EQ(s->originalUpTime, tltest::FakeClock::kStartUpTimeMillis);
  const bool am = c.stream.kind == MediaStream::kAudioMatch;
  EXPECT_EQ(s->signalType, am ? SignalType::amevent : SignalType::codeword);
  EXPECT_EQ(s->mediaStreamAMId, am ? c.stream.amId : "");
  EXPECT_EQ(s->mediaStreamId, am ? 0 : c.stream.id);
  EXPECT_EQ(s->engineType, EngineType::HEARTBEAT);
  EXPECT_EQ(s->eventId, "e1");
}

constexpr int64_t kWallMs = tltest::FakeClock::kStartWallMicros / 1000;

INSTANTIATE_TEST_SUITE_P(
    Rules, SyncSignalTest,
    ::testing::Values(SignalCase{"PositionZeroKeepsNoEpoch", MediaStream::codeword(5), 0, -1, -1,
                                 -1, -1, 0},
                      SignalCase{"PositionOneGetsYearStart", MediaStream::codeword(5), 1, -1, -1,
                                 -1, kYear2026 * 1000 + 1, 0},
                      SignalCase{"OwnEpochKept", MediaStream::codeword(5), 7000, -1, -1,
                                 1583020800000, 1583020800000, 0},
                      SignalCase{"ReferenceGivesDeviceTime", MediaStream::audioMatch("am7"), 1500,
                                 1500, 1200, -1, kYear2026 * 1000 + 1500, 1500 - 1200 + kWallMs}),
    [](const auto& info) { return info.param.name; });

TEST_F(EventEngine2Test, CodewordSyncsAndWatchdogDesyncsAfterTimeout) {
  offer(*codeword(0x3dffffff, 2000, "EVENT2"));     // not an EVENT2 word
  offer(*codeword(0x3e000805, 2000, "HEARTBEAT"));  // meant for another engine
  EXPECT_TRUE(listener_.signals.empty());
  offer(*codeword(0x3e000805, 2000, "EVENT2", 250));  // track 1, offset 5
  EXPECT_EQ(engine_.machine().syncedMediaStream(), MediaStream::codeword(1));
  EXPECT_EQ(engine_.timing().elapsed().count(), 12250);
  advance(29989);  // 10 ms early counts as due
  EXPECT_EQ(listener_.brief(), (std::vector<std::string>{"0@12000"}));
  advance(1);
  EXPECT_EQ(listener_.brief(), (std::vector<std::string>{"0@12000", "1@42250"}));
  EXPECT_TRUE(engine_.machine().syncedMediaStream().isNull());
  EXPECT_EQ(listener_.signals[1].engineType, EngineType::EVENT2);
  EXPECT_EQ(listener_.signals[1].mediaStreamId, 1);
}

TEST_F(EventEngine2Test, ResyncPushesWatchdogAndSwitchSendsDesyncThenSync) {
  configure(1, "{}", 10);
  offer(*codeword(0x3e000800, 1000, "EVENT2"));  // track 1 at 1000
  advance(3990);
  offer(*codeword(0x3e000804, 1000, "EVENT2"));  // track 1 at 5000: no message
  advance(10000 - 11);
  EXPECT_EQ(listener_.brief().size(), 1u);  // not at 11000
  advance(1);
  EXPECT_EQ(listener_.brief(), (std::vector<std::string>{"0@1000", "1@15000"}));
  offer(*codeword(0x3e000800, 1000, "EVENT2"));  // track 1 again: sync
  offer(*codeword(0x3e001001, 1000, "EVENT2"));  // track 2 at 2000
  offer(*codeword(0x3e001002, 1000, "EVENT2"));  // track 2 at 3000
  EXPECT_EQ(listener_.brief(),
            (std::vector<std::string>{"0@1000", "1@15000", "0@1000", "1@2000", "0@2000"}));
  EXPECT_EQ(listener_.signals[3].mediaStreamId, 1);
  EXPECT_EQ(listener_.signals[4].mediaStreamId, 2);
}

TEST_F(EventEngine2Test, TicksAndTimedEventsFireAtTheirPositions) {
  configure(1, R"({"events":[{"id":"a","time":0.0005},{"id":"b","time":13.5}],
                   "ticks":[{"id":"t","period":5},{"id":"t","period":9},{"id":"f","period":2.7},
                            {"id":"z","period":0}]})");
  offer(*codeword(0x3e000800 + 11, 1000, "EVENT2"));  // track 1 at 12000
  advance(1500);                                      // 13500: b
  advance(500);                                       // 14000: f
  advance(1000);                                      // 15000: t
  advance(1000);                                      // 16000: f
  advance(2000);                                      // 18000: f
  advance(2000);                                      // 20000: t, f
  EXPECT_EQ(listener_.brief(),
            (std::vector<std::string>{"0@12000", "2@13500:b", "3@14000:f", "3@15000:t", "3@16000:f",
                                      "3@18000:f", "3@20000:t", "3@20000:f"}));
  const SyncEngineSignal& tick = listener_.signals[3];
  EXPECT_EQ(tick.engineType, EngineType::EVENT2);
  EXPECT_EQ(tick.millisecondsSinceEpochDeviceTime, 15000 - 15000 + kWallMs + 3000);
}

TEST_F(EventEngine2Test, SyncDuringFiringTickOrWatchdogNeitherThrowsNorDuplicatesTicks) {
  configure(1, R"({"ticks":[{"id":"t","period":1}]})", 2);
  int tickResyncs = 0;
  int desyncResyncs = 0;
  listener_.onSignal = [&](const SyncEngineSignal& s) {
    // Re-enter from the firing event, as a processor thread could meanwhile.
    if ((s.eventType == EventType::tick && tickResyncs++ < 2) ||
        (s.eventType == EventType::desync && desyncResyncs++ < 1)) {
      offer(*codeword(0x3e000800, 1000, "EVENT2"));
    }
  };
  offer(*codeword(0x3e000800, 1000, "EVENT2"));  // track 1 at 1000
  advance(1000);                                 // tick at 2000 resyncs to 1000
  advance(1000);                                 // tick at 2000 resyncs again
  advance(1000);                                 // tick at 2000
  advance(1000);  // watchdog at 3000 desyncs, the listener syncs again
  advance(1000);  // tick at 2000
  EXPECT_EQ(listener_.brief(),
            (std::vector<std::string>{"0@1000", "3@2000:t", "3@2000:t", "3@2000:t", "1@3000",
                                      "0@1000", "3@2000:t"}));
}

TEST_F(EventEngine2Test, WatchdogRunsUnderTheTimeoutIdAndEachArmingReplacesIt) {
  EXPECT_EQ(Machine::timeoutId, -117);
  configure(1, "{}", 10);
  offer(*codeword(0x3e000800, 1000, "EVENT2"));  // track 1 at 1000
  offer(*codeword(0x3e000804, 1000, "EVENT2"));  // track 1 at 5000: armed again
  EXPECT_EQ(engine_.timing().eventCount(), 1u);
  // Cancelling that one id leaves no watchdog behind.
  engine_.timing().cancelEvent(TimingEvent([] {}, milliseconds(0), Machine::timeoutId));
  EXPECT_EQ(engine_.timing().eventCount(), 0u);
  advance(60000);
  EXPECT_EQ(listener_.brief(), (std::vector<std::string>{"0@1000"}));
}

struct TickCase {
  std::string name;
  int64_t offset;  // code-word periods of 1000 ms before the sync position
  int64_t period;
  int64_t first, second;  // positions of the first two firings
};

class RegisterTickTest : public EventEngine2Test, public ::testing::WithParamInterface<TickCase> {};

TEST_P(RegisterTickTest, FiresAtTheNextMultipleOfItsPeriodAndGoesOn) {
  const TickCase& c = GetParam();
  offer(*codeword(0x3e000800 + c.offset, 1000, "EVENT2"));  // track 1, no sequence
  const int64_t from = (c.offset + 1) * 1000;
  const TimingEvent tick = engine_.machine().registerTick(MediaStream::codeword(1), &engine_,
                                                          &listener_, {"t", c.period}, from);
  EXPECT_EQ(tick.time().count(), c.first);
  EXPECT_GT(tick.id(), 0);
  EXPECT_FALSE(tick.repeatable());
  EXPECT_TRUE(tick.removeAfterFiring());
  engine_.timing().registerEvent(tick);
  advance(c.first - from);
  advance(c.second - c.first);
  const std::string t = ":t";
  EXPECT_EQ(listener_.brief(),
            (std::vector<std::string>{"0@" + std::to_string(from), "3@" + std::to_string(c.first) + t,
                                      "3@" + std::to_string(c.second) + t}));
  EXPECT_EQ(listener_.signals[1].mediaStreamId, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, RegisterTickTest,
    ::testing::Values(TickCase{"FromTwelveSeconds", 11, 5000, 15000, 20000},
                      TickCase{"FromAMultipleMovesOn", 9, 5000, 15000, 20000},
                      TickCase{"ShortPeriod", 1, 3000, 3000, 6000}),
    [](const auto& info) { return info.param.name; });

TEST_F(EventEngine2Test, RegisteredTickIsCancelledByTheNextSyncAndAZeroPeriodIsRefused) {
  offer(*codeword(0x3e000800 + 11, 1000, "EVENT2"));  // track 1 at 12000
  engine_.timing().registerEvent(engine_.machine().registerTick(
      MediaStream::codeword(1), &engine_, &listener_, {"t", 5000}, 12000));
  offer(*codeword(0x3e000800 + 12, 1000, "EVENT2"));  // track 1 at 13000
  advance(5000);
  EXPECT_EQ(listener_.brief(), (std::vector<std::string>{"0@12000"}));
  EXPECT_THROW(engine_.machine().registerTick(MediaStream::codeword(1), &engine_, &listener_,
                                              {"z", 0}, 12000),
               std::invalid_argument);
}

struct SequenceCase {
  std::string name;
  std::string json;
  int64_t timeout;
  bool registered;
};

class EventEngine2SequenceTest : public EventEngine2Test,
                                 public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(EventEngine2SequenceTest, RegistersOnlyUsableSequences) {
  tltest::LogCapture logs;
  configure(4, R"({"events":[{"id":"old","time":1}]})");
  configure(4, "");  // removed
  configure(4, GetParam().json, GetParam().timeout);
  EXPECT_EQ(engine_.machine().getConfiguredMediaStreams().size(), GetParam().registered ? 1u : 0u);
  if (!GetParam().registered && GetParam().timeout >= 0) {
    EXPECT_EQ(logs.matching("Failed to parse JSON event sequence for mediaStream CWid=4").size(),
              1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Json, EventEngine2SequenceTest,
    ::testing::Values(
        SequenceCase{"EmptyObject", "{}", 30, true},
        SequenceCase{"NegativeTimeoutRemoves", "{}", -1, false},
        SequenceCase{"Null", "null", 30, false}, SequenceCase{"NotJson", "{events", 30, false},
        SequenceCase{"Array", "[1]", 30, false},
        SequenceCase{"TimeIsText", R"({"events":[{"id":"a","time":"1"}]})", 30, false},
        SequenceCase{"IdIsObject", R"({"events":[{"id":{},"time":1}]})", 30, false},
        SequenceCase{"TimeOutOfRange", R"({"events":[{"id":"a","time":1e300}]})", 30, false},
        SequenceCase{"TicksNotArray", R"({"ticks":{"id":"t"}})", 30, false},
        SequenceCase{"MissingIdSkipped", R"({"events":[{"time":1}]})", 30, true},
        SequenceCase{"NestedTooDeep",
                     R"({"events":)" + std::string(1000, '[') + std::string(1000, ']') + "}", 30,
                     false}),
    [](const auto& info) { return info.param.name; });

TEST_F(EventEngine2Test, OnlyOwnEventDataIsConsumedAndZeroTimeoutDesyncsAtOnce) {
  auto foreign = eventData(1, "{}", 30, EngineType::HEARTBEAT);
  EXPECT_EQ(engine_.processEventParams(foreign.get()), foreign.get());
  engine_.onReceive("bus", *foreign);
  EXPECT_TRUE(engine_.machine().getConfiguredMediaStreams().empty());
  engine_.onReceive("bus", *eventData(1, "{}", 0));
  engine_.onReceive("bus", ThriftParams(1, 3, "\xff\xff\xff"));  // unreadable: no throw
  offer(*codeword(0x3e000800, 1000, "EVENT2"));
  engine_.timing().pump();
  EXPECT_EQ(listener_.brief(), (std::vector<std::string>{"0@1000", "1@1000"}));
}

TEST_F(EventEngine2Test, PrioritiesListTracksInOrderAndAudioMatchesSyncByOffset) {
  const EventEngine2Affirm affirm;
  engine_.processEventParams(eventData(0, "{}", 30, EngineType::EVENT2, "song").get());
  EXPECT_EQ(engine_.processEventParams(&affirm), nullptr);  // audio matches only: nothing
  configure(9, "{}");
  configure(0, "{}");
  configure(3, "{}");
  EXPECT_EQ(engine_.processEventParams(&affirm), nullptr);
  ASSERT_EQ(listener_.priorities.size(), 1u);
  EXPECT_EQ(listener_.priorities[0],
            "[{\"durationSecs\":300,\"secondsIn\":0,\"trackId\":0},"
            "{\"durationSecs\":300,\"secondsIn\":0,\"trackId\":3},"
            "{\"durationSecs\":300,\"secondsIn\":0,\"trackId\":9}]\n");
  const AMEvent match("db", "song", 0, 4000, 500, {});
  EXPECT_EQ(engine_.processEventParams(&match), &match);
  EXPECT_EQ(engine_.machine().syncedMediaStream(), MediaStream::audioMatch("song"));
  EXPECT_EQ(listener_.signals.at(0).mediaStreamAMId, "song");
  EXPECT_EQ(listener_.signals.at(0).millisecondsInMediaStream, 4500);
}

std::unique_ptr<ThriftParams> partial(int64_t first, int64_t wallMs, const std::string& ref) {
  PartialCodewordSignal p;
  p.__set_firstCodeword(first);
  p.__set_stopTime(wallMs - 100);
  p.__set_codewordDuration(1000);
  p.__set_timeSeqStart(wallMs - 300);
  p.__set_systemTimeStamp(wallMs);
  p.__set_engineRef(ref);
  return ThriftParamsFactory::createThriftParams(p);
}

TEST_F(EventEngine2Test, PartialCodewordSyncsOnlyWhenFreeOrOnSameTrack) {
  offer(*codeword(0x3e001800, 1000, "EVENT2"));    // track 3
  offer(*partial(0x3e003802, kWallMs, "EVENT2"));  // track 7: ignored
  EXPECT_EQ(engine_.machine().syncedMediaStream(), MediaStream::codeword(3));
  engine_.stop();
  offer(*partial(0x3e003802, kWallMs - 5000, "EVENT2"));  // too old
  EXPECT_TRUE(engine_.machine().syncedMediaStream().isNull());
  offer(*partial(0x3e003802, kWallMs, "EVENT2"));
  EXPECT_EQ(engine_.machine().syncedMediaStream(), MediaStream::codeword(7));
  EXPECT_EQ(listener_.brief().back(), "0@2300");  // 1000 x 2 + 300
}

TEST_F(HeartbeatEngineTest, StationsSyncByCounterAndEventsByWallClockTime) {
  configure(1, R"({"events":[{"id":"march","time":1583020800},{"id":"zero","time":0}]})");
  offer(*codeword(1340080129, 20000, "HEARTBEAT"));          // station 639, counter 1: refused
  offer(*codeword(int64_t{640} << 21, 20000, "HEARTBEAT"));  // station 640: refused
  offer(*codeword(0x00200064, 20000, "EVENT2"));
  EXPECT_TRUE(listener_.signals.empty());
  offer(*codeword(0x00200064, 20000, "HEARTBEAT", 40));  // station 1, counter 100
  EXPECT_EQ(listener_.brief(), (std::vector<std::string>{"0@2020000"}));
  EXPECT_EQ(listener_.signals[0].engineType, EngineType::HEARTBEAT);
  offer(*codeword(0x00200000 + 259199, 20000, "HEARTBEAT"));  // 5184000000 ms: 60 days in
  advance(0);
  ASSERT_EQ(listener_.signals.size(), 2u);
  EXPECT_EQ(listener_.brief()[1], "2@5184000000:march");
  EXPECT_EQ(listener_.signals[1].millisecondsSinceEpochInMediaStream, 1583020800000);
  offer(*codeword(1340080128, 20000, "HEARTBEAT"));  // station 639, counter 0: accepted
  EXPECT_EQ(engine_.machine().syncedMediaStream(), MediaStream::codeword(639));
}

// Words of 3584 ms (a transmitter that counts by the day, as no year's
// count fits 21 bits at that length), on 2026-12-06 (a Sunday, day 339 of
// the year) at 10:00 UTC. Each counter range counts from its own period and
// the position is still the time since January 1 at the word's end.
struct HeartbeatDateCase {
  std::string name;
  int32_t counter;
  int64_t position;
};

class HeartbeatDateTest : public HeartbeatEngineTest,
                          public ::testing::WithParamInterface<HeartbeatDateCase> {};

TEST_P(HeartbeatDateTest, CounterRangesCountFromTheirOwnPeriods) {
  constexpr int64_t kDay = 86400000;
  clock_.advanceWall(std::chrono::hours(10));
  offer(*codeword((int64_t{5} << 21) | GetParam().counter, 3584, "HEARTBEAT"));
  ASSERT_EQ(listener_.signals.size(), 1u);
  EXPECT_EQ(listener_.signals[0].millisecondsInMediaStream, GetParam().position);
  EXPECT_EQ(listener_.signals[0].millisecondsSinceEpochInMediaStream,
            kYear2026 * 1000 + GetParam().position);
  EXPECT_LE(listener_.signals[0].millisecondsSinceEpochInMediaStream, kWallMs + 10 * kDay / 24);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, HeartbeatDateTest,
    ::testing::Values(
        // 10000 words into today: 09:57:20, ending 09:57:23.584.
        HeartbeatDateCase{"DayToday", 1900000 + 10000, 339 * 86400000LL + 10001 * 3584},
        // 19:54:40 today has not come yet: yesterday's.
        HeartbeatDateCase{"DayNotYetEndedIsYesterdays", 1900000 + 20000,
                          338 * 86400000LL + 20001 * 3584},
        // From Monday 30 November (day 333).
        HeartbeatDateCase{"Week", 1860000 + 100, 333 * 86400000LL + 101 * 3584},
        // From 1 December (day 334).
        HeartbeatDateCase{"Month", 1680000 + 1000, 334 * 86400000LL + 1001 * 3584},
        HeartbeatDateCase{"Year", 1000, 1001 * 3584}),
    [](const auto& info) { return info.param.name; });

TEST_F(HeartbeatEngineTest, PrioritiesAndForeignEvents) {
  configure(9, "{}");
  configure(3, "{}");
  auto foreign = eventData(5, "{}", 30, EngineType::EVENT2);
  EXPECT_EQ(engine_.processEventParams(foreign.get()), foreign.get());
  const AMEvent match("db", "song", 0, 4000, 500, {});
  EXPECT_EQ(engine_.processEventParams(&match), &match);
  const HeartbeatAffirm affirm;
  EXPECT_EQ(engine_.processEventParams(&affirm), nullptr);
  EXPECT_EQ(listener_.priorities,
            std::vector<std::string>{"[{\"id\":3,\"lag\":0},{\"id\":9,\"lag\":0}]\n"});
  EXPECT_TRUE(listener_.signals.empty());
}

TEST(SyncEngineLifetimeTest, DestroyedWithEventsPendingOnItsThread) {
  Listener listener;
  tltest::RecordingMessenger bus;
  for (int i = 0; i < 20; ++i) {
    EventEngine2 engine(&listener, &bus);
    EXPECT_EQ(bus.listeners(1).size(), 1u);
    engine.processEventParams(
        eventData(1, R"({"events":[{"id":"a","time":0.001}],"ticks":[{"id":"t","period":1}]})")
            .get());
    const CodewordEventParams word(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x3e000800, 0, 0, 0, 0,
                                   "EVENT2", 0, 1, 0);
    engine.processEventParams(&word);
  }
  EXPECT_TRUE(bus.listeners(1).empty());
}

}  // namespace
}  // namespace tembrolexinsdk
