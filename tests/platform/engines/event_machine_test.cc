// The EVENT engine's state machine over a manual main queue, manual timers on
// a fake clock and a fake timing engine.

#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/engines/event_machine.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/engines/line_hook.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinplatform {
namespace {

constexpr int64_t kTrack = 1001;        // time-out 10 s
constexpr int64_t kOtherTrack = 1002;   // no time-out
constexpr int64_t kUnregistered = 555;
constexpr int64_t kSync = 31744;

// Records what the machine asks of its timing engine, one text per call.
class FakeTiming : public EventTiming {
 public:
  bool isSyncCodeword(int64_t cw) const override { return (cw >> 10) == 31; }
  double getCodewordSyncTime(int64_t cw) const override {
    return isSyncCodeword(cw) ? static_cast<double>(cw - 31743) * 20.16 + 0.108 : -1.0;
  }
  void syncWithCodeword(int64_t cw, double ts) override { add("sync %lld@%.3f", (long long)cw, ts); }
  void syncWithAnchor(SyncAnchor a) override { add("anchor %.3f/%.3f", a.anchorTime, a.syncTime); }
  void prepareWithEvents(std::vector<TimedEventEngine> events, uint64_t run) override {
    add("prepare %zu", events.size());
    preparedRun = run;
  }
  void stopTiming() override { calls.push_back("stop"); }
  void resetEngine() override { calls.push_back("reset"); }

  std::vector<std::string> calls;
  uint64_t preparedRun = 0;

 private:
  template <typename... Args>
  void add(const char* format, Args... args) {
    char text[96];
    std::snprintf(text, sizeof text, format, args...);
    calls.push_back(text);
  }
};

struct Delivered {
  int32_t type;
  std::optional<std::string> value;
  TLDate at;
  std::string stateThen;
  std::thread::id thread;
};

class FakeEngine : public EventEngineLink {
 public:
  bool codewordHasEventSequence(int64_t cw) const override { return sequences.count(cw) != 0; }
  std::optional<EventSequence> eventSequence(int64_t cw) const override {
    auto it = sequences.find(cw);
    if (it == sequences.end()) return std::nullopt;
    return it->second;
  }
  void onEventEngineEvent(const Event& e) override {
    delivered.push_back({e.eventType, e.eventValue, e.eventTimestamp,
                         machine ? machine->currentStateName() : "", std::this_thread::get_id()});
    if (onDelivery) onDelivery(e);
  }
  std::vector<int32_t> types() const {
    std::vector<int32_t> out;
    for (const Delivered& d : delivered) out.push_back(d.type);
    return out;
  }

  std::map<int64_t, EventSequence> sequences{
      {kTrack, EventSequence{{{"a", 21, false}, {"b", 22, false}}, 10}},
      {kOtherTrack, EventSequence{{{"c", 30, false}}, 0}}};
  std::vector<Delivered> delivered;
  Machine* machine = nullptr;
  std::function<void(const Event&)> onDelivery;
};

class MachineTest : public testing::Test {
 protected:
  MachineTest() {
    dispatcher_.mainQueue()->bindToCurrentThread();
    engine_.machine = &machine_;
  }
  ~MachineTest() override { engine_.machine = nullptr; }

  void codeword(int64_t cw, int64_t durationMs = 2500) {
    machine_.processCodeword(TLCodewordEventParams(cw, clock_.upTimeMillis(), 0, durationMs));
  }
  // Lets `ms` pass and runs what came due, on the main queue.
  void wait(int64_t ms) {
    clock_.advance(std::chrono::milliseconds(ms));
    dispatcher_.timers().pump();
    dispatcher_.mainQueue()->drain();
  }
  // Runs one step of a case's script.
  void step(const std::string& s) {
    if (s == "track") return codeword(kTrack);
    if (s == "track2") return codeword(kOtherTrack);
    if (s == "other") return codeword(kUnregistered);
    if (s == "sync") return codeword(kSync);
    if (s == "sync500") return codeword(kSync, 500);
    if (s == "turn") return wait(0);
    if (s == "pause") return machine_.pauseTiming();
    if (s == "stop") return machine_.stopTiming();
    if (s == "halt") return machine_.stop();
    if (s == "endOfRun0") return machine_.onTimingSequenceEnded(0);
    if (s == "end") return machine_.onTimingSequenceEnded(timing_.preparedRun);
    if (s == "timed") {
      return machine_.onTimedEvent(Event{kEventTimedEvent, "x", TLDate()}, timing_.preparedRun);
    }
    if (s.rfind("wait:", 0) == 0) return wait(std::stoll(s.substr(5)));
    FAIL() << "unknown step " << s;
  }

  tltest::FakeClock clock_;
  Dispatcher dispatcher_{Dispatcher::Options{&clock_, TimerMode::kManual, 1, false}};
  FakeTiming timing_;
  FakeEngine engine_;
  Machine machine_{dispatcher_, timing_, engine_};
};

struct Case {
  std::string name;
  std::vector<std::string> steps;
  std::vector<int32_t> events;
  std::string state;
  std::string timingCalls;  // joined with "; "
};

class StateTableTest : public MachineTest, public testing::WithParamInterface<Case> {};

TEST_P(StateTableTest, EventsStateAndTimingCalls) {
  for (const std::string& s : GetParam().steps) step(s);
  EXPECT_EQ(engine_.types(), GetParam().events);
  EXPECT_EQ(machine_.currentStateName(), GetParam().state);
  std::string calls;
  for (const std::string& c : timing_.calls) calls += (calls.empty() ? "" : "; ") + c;
  EXPECT_EQ(calls, GetParam().timingCalls);
}

// Codewords are captured at up-time 3600 s plus the waits; a sync codeword
// marks 20.268 s; the reverse anchor of a 2500 ms codeword lives 2.2 s.
INSTANTIATE_TEST_SUITE_P(
    Transitions, StateTableTest,
    testing::Values(
        Case{"IdleIgnoresUnregistered", {"other"}, {}, "StateIdle", ""},
        Case{"IdleTrackMakesReady", {"track"}, {0}, "StateReady", "prepare 2"},
        Case{"ReverseAnchorWithinItsLifetime", {"sync", "wait:2199", "track"}, {0, 4},
             "StateSynchronised", "prepare 2; anchor 3600.000/20.268"},
        Case{"ReverseAnchorGoneAfter2200ms", {"sync", "wait:2200", "track"}, {0}, "StateReady",
             "prepare 2"},
        Case{"ShortCodewordAnchorLastsUntilTheNextTurn", {"sync500", "turn", "track"}, {0},
             "StateReady", "prepare 2"},
        Case{"ShortCodewordAnchorUsedInTheSameTurn", {"sync500", "track"}, {0, 4},
             "StateSynchronised", "prepare 2; anchor 3600.000/20.268"},
        Case{"ReadySyncSynchronises", {"track", "wait:1000", "sync"}, {0, 4}, "StateSynchronised",
             "prepare 2; sync 31744@3601.000"},
        Case{"ReadyIgnoresItsTrack", {"track", "track"}, {0}, "StateReady", "prepare 2"},
        Case{"ReadyOtherTrackReentersAndRepeatIsDropped", {"track", "track2"}, {0}, "StateReady",
             "prepare 2; prepare 1"},
        Case{"ReadyUnregisteredGoesIdle", {"track", "other"}, {0}, "StateIdle", "prepare 2; reset"},
        Case{"MissedCodewordsThenIdle", {"track", "sync", "wait:10000"}, {0, 4, 3}, "StateIdle",
             "prepare 2; sync 31744@3600.000; reset"},
        Case{"TrackCodewordRestartsTheTimer", {"track", "sync", "wait:9000", "track", "wait:9999"},
             {0, 4}, "StateSynchronised", "prepare 2; sync 31744@3600.000"},
        Case{"SyncCodewordRestartsTheTimer", {"track", "sync", "wait:9000", "sync", "wait:9999"},
             {0, 4}, "StateSynchronised", "prepare 2; sync 31744@3600.000; sync 31744@3609.000"},
        Case{"RestartedTimerRunsOutAfterTenSeconds",
             {"track", "sync", "wait:9000", "track", "wait:10000"}, {0, 4, 3}, "StateIdle",
             "prepare 2; sync 31744@3600.000; reset"},
        Case{"OtherTrackInterrupts", {"track", "sync", "track2"}, {0, 4, 5, 0}, "StateReady",
             "prepare 2; sync 31744@3600.000; prepare 1"},
        Case{"UnregisteredInterrupts", {"track", "sync", "other", "wait:20000"}, {0, 4, 5},
             "StateIdle", "prepare 2; sync 31744@3600.000; reset"},
        Case{"NoTimeoutNeverMisses", {"track2", "sync", "wait:1000000"}, {0, 4},
             "StateSynchronised", "prepare 1; sync 31744@3600.000"},
        Case{"PauseCancelsTheTimerUntilTheNextSync",
             {"track", "sync", "pause", "wait:20000", "sync", "wait:10000"}, {0, 4, 3}, "StateIdle",
             "prepare 2; sync 31744@3600.000; stop; sync 31744@3620.000; reset"},
        Case{"TrackDetectedTwiceReachesTheEngineOnce", {"track", "other", "track"}, {0},
             "StateReady", "prepare 2; reset; prepare 2"},
        Case{"TimedEventsAreNeverDropped", {"track", "sync", "timed", "timed"}, {0, 4, 1, 1},
             "StateSynchronised", "prepare 2; sync 31744@3600.000"},
        Case{"TimingRanOut", {"track", "sync", "end"}, {0, 4, 2}, "StateSequenceEnded",
             "prepare 2; sync 31744@3600.000; stop"},
        Case{"SequenceEndedResyncs", {"track", "sync", "end", "sync"}, {0, 4, 2, 4},
             "StateSynchronised", "prepare 2; sync 31744@3600.000; stop; sync 31744@3600.000"},
        Case{"SequenceEndedOtherTrack", {"track", "sync", "end", "track2"}, {0, 4, 2, 0},
             "StateReady", "prepare 2; sync 31744@3600.000; stop; prepare 1"},
        Case{"SequenceEndedUnregistered", {"track", "sync", "end", "other"}, {0, 4, 2}, "StateIdle",
             "prepare 2; sync 31744@3600.000; stop; reset"},
        Case{"LateEndOfAResetRunIsIgnored", {"track", "other", "end"}, {0}, "StateIdle",
             "prepare 2; reset"},
        Case{"StopGoesIdleAndCancelsTheTimer", {"track", "sync", "stop", "wait:20000"}, {0, 4},
             "StateIdle", "prepare 2; sync 31744@3600.000; reset; reset"},
        Case{"StopDropsTheReverseAnchor", {"sync", "halt", "track"}, {0}, "StateReady",
             "reset; prepare 2"},
        Case{"EndDecidedBeforeAStopKeepsTheNextTrack",
             {"track", "sync", "halt", "track2", "sync", "endOfRun0"}, {0, 4, 0, 4},
             "StateSynchronised",
             "prepare 2; sync 31744@3600.000; reset; reset; prepare 1; sync 31744@3600.000"}),
    [](const auto& info) { return info.param.name; });

TEST_F(MachineTest, TrackDetectedCarriesTheTrackAndMissedCodewordsTheArmingTime) {
  const TLDate start = dateFromWallMicros(tltest::FakeClock::kStartWallMicros);
  step("track");
  wait(3000);
  step("sync");  // armed at start + 3 s
  wait(10000);
  ASSERT_EQ(engine_.types(), (std::vector<int32_t>{0, 4, 3}));
  EXPECT_EQ(engine_.delivered[0].value, "1001");
  EXPECT_EQ(engine_.delivered[0].at, start);
  EXPECT_EQ(engine_.delivered[2].value, std::nullopt);
  EXPECT_EQ(engine_.delivered[2].at, start + std::chrono::seconds(3));
  // The app hears of the missed codewords before the machine goes idle.
  EXPECT_EQ(engine_.delivered[2].stateThen, "StateSynchronised");
  EXPECT_EQ(machine_.currentStateName(), "StateIdle");
}

TEST_F(MachineTest, ReverseAnchorKeepsTheCaptureTimeAndANewerOneLivesItsFullTime) {
  step("sync");
  wait(2000);
  step("sync");  // a second one 2 s later: the first clearing must not cut it short
  wait(1000);
  ASSERT_TRUE(machine_.reverseSyncAnchor().has_value());
  EXPECT_DOUBLE_EQ(machine_.reverseSyncAnchor()->anchorTime, 3602.0);
  EXPECT_DOUBLE_EQ(machine_.reverseSyncAnchor()->syncTime, 20.268);
  wait(1200);
  EXPECT_FALSE(machine_.reverseSyncAnchor().has_value());
}

// The library's shutdown stops the engine, which takes the machine's lock:
// a step's events reach the app only once the step is whole and the lock is
// free, so an app that ends the process from one never leaves it held.
TEST_F(MachineTest, EventsReachTheAppOnceTheirStepIsWholeAndItsLockFree) {
  std::vector<std::string> seen;
  std::vector<std::thread> others;
  engine_.onDelivery = [&](const Event& e) {
    auto taken = std::make_shared<std::promise<void>>();
    std::future<void> done = taken->get_future();
    others.emplace_back([this, taken] {
      machine_.currentStateName();
      taken->set_value();
    });
    const bool free = done.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    seen.push_back(std::to_string(e.eventType) + " " + machine_.currentStateName() + " " +
                   std::to_string(timing_.calls.size()) + (free ? " free" : " held"));
  };
  step("sync");
  step("track");   // track detected, then synchronised on the reverse anchor
  step("track2");  // interrupted, then the other track detected
  for (std::thread& t : others) t.join();
  EXPECT_EQ(seen, (std::vector<std::string>{"0 StateSynchronised 2 free", "4 StateSynchronised 2 free",
                                            "5 StateReady 3 free", "0 StateReady 3 free"}));
}

TEST_F(MachineTest, EndOfSequenceFromTheTimingThreadIsAppliedOnTheMainQueue) {
  step("track");
  step("sync");
  std::thread timingThread([&] { machine_.onTimingSequenceEnded(timing_.preparedRun); });
  ASSERT_TRUE(dispatcher_.mainQueue()->runUntil([&] { return engine_.delivered.size() == 3; },
                                                std::chrono::seconds(5)));
  timingThread.join();
  EXPECT_EQ(engine_.delivered[2].type, kEventSequenceEnded);
  EXPECT_EQ(engine_.delivered[2].thread, std::this_thread::get_id());
  EXPECT_EQ(machine_.currentStateName(), "StateSequenceEnded");
}

bool await(std::shared_future<void> signal) {
  return signal.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

// A stop on another thread while the app hears the state changes of the
// stop's own step (the lines come once its lock is free): a codeword's step
// taken then, and held before its events are handed over until the stop has
// returned, lies wholly after the stop. Its track is heard, and so is the
// synchronisation that follows.
TEST_F(MachineTest, CodewordStepAfterAStopOnAnotherThreadIsHeard) {
  step("track");
  step("sync");
  std::promise<void> inStop, inStep, stopped;
  std::shared_future<void> stopLine = inStop.get_future().share();
  std::shared_future<void> stepLine = inStep.get_future().share();
  std::shared_future<void> stopReturned = stopped.get_future().share();
  const std::thread::id main = std::this_thread::get_id();
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line == "Entering state StateIdle" && std::this_thread::get_id() != main) {
      inStop.set_value();
      EXPECT_TRUE(await(stepLine));
    } else if (line == "Entering state StateReady" && std::this_thread::get_id() == main) {
      inStep.set_value();
      EXPECT_TRUE(await(stopReturned));
    }
  }));
  std::thread stopper([&] {
    machine_.stop();
    stopped.set_value();
  });
  ASSERT_TRUE(await(stopLine));
  step("track2");
  stopper.join();
  TLLogger::sharedLogger().unsetDelegate();
  step("sync");
  EXPECT_EQ(engine_.types(), (std::vector<int32_t>{0, 4, 0, 4}));
  EXPECT_EQ(engine_.delivered[2].value, std::to_string(kOtherTrack));
  EXPECT_EQ(machine_.currentStateName(), "StateSynchronised");
}

// The missed-codeword block has begun on the main queue, where leaving
// "synchronised" no longer cancels it, when another thread stops the
// machine: its event is dropped.
TEST_F(MachineTest, MissedCodewordsBegunBeforeAStopOnAnotherThreadAreDropped) {
  step("track");
  step("sync");
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line.rfind("No codeword of the track", 0) == 0) std::thread([&] { machine_.stop(); }).join();
  }));
  wait(10000);
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_EQ(engine_.types(), (std::vector<int32_t>{0, 4}));
  EXPECT_EQ(machine_.currentStateName(), "StateIdle");
}

}  // namespace
}  // namespace tembrolexinplatform
