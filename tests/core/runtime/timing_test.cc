#include "core/runtime/timing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinsdk {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using ::testing::ElementsAre;

// Records callback names in firing order.
class Recorder {
 public:
  std::function<void()> note(const std::string& name) {
    return [this, name] { add(name); };
  }
  void add(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    names_.push_back(name);
    cv_.notify_all();
  }
  std::vector<std::string> names() {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_;
  }
  // Real-time wait for threaded tests; generous so a loaded machine passes.
  bool awaitCount(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return names_.size() >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> names_;
};

class ManualTimingTest : public ::testing::Test {
 protected:
  ManualTimingTest() : timing_(false, clock_, TimingMode::kManual) {}
  tltest::FakeClock clock_;
  Recorder rec_;
  Timing timing_;
};

TEST_F(ManualTimingTest, FiresUpToTenMillisecondsEarlyAndOnce) {
  timing_.registerEvent(
      TimingEvent(rec_.note("a"), milliseconds(1000), TimingEvent::kAutoId, TimingEvent::kOneShot));
  timing_.start(milliseconds(0));
  EXPECT_EQ(timing_.pump(), milliseconds(1000));
  clock_.advance(milliseconds(989));
  EXPECT_EQ(timing_.pump(), milliseconds(11));
  EXPECT_TRUE(rec_.names().empty());
  clock_.advance(milliseconds(1));
  EXPECT_EQ(timing_.pump(), std::nullopt);
  EXPECT_THAT(rec_.names(), ElementsAre("a"));
  clock_.advance(milliseconds(5000));
  timing_.pump();
  EXPECT_THAT(rec_.names(), ElementsAre("a"));
  EXPECT_EQ(timing_.eventCount(), 1u);  // one-shot that stays
}

struct LateCase {
  bool catchUp;
  int64_t time;
  bool firesAtOnce;
};

class StartLateTest : public ::testing::TestWithParam<LateCase> {};

TEST_P(StartLateTest, StartAtFiveSeconds) {
  tltest::FakeClock clock;
  Recorder rec;
  Timing timing(GetParam().catchUp, clock, TimingMode::kManual);
  timing.registerEvent(TimingEvent(rec.note("e"), milliseconds(GetParam().time),
                                   TimingEvent::kAutoId, TimingEvent::kOneShot));
  timing.start(milliseconds(5000));
  timing.pump();
  EXPECT_EQ(rec.names().size(), GetParam().firesAtOnce ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, StartLateTest,
                         ::testing::Values(LateCase{false, 4500, false},
                                           LateCase{false, 4501, true}, LateCase{false, 4600, true},
                                           LateCase{false, 5008, true}, LateCase{false, 5010, true},
                                           LateCase{false, 5011, false}, LateCase{true, 0, true},
                                           LateCase{true, 4500, true}, LateCase{true, 5010, true},
                                           LateCase{true, 5011, false}));

TEST(TimingSequenceTest, WithoutCatchUpSkipsLateEventsAndFiresTheRestInOrder) {
  tltest::FakeClock clock;
  Recorder rec;
  Timing timing(false, clock, TimingMode::kManual);
  // Registered out of order in one batch; the timeline sorts them.
  timing.registerEvents({TimingEvent(rec.note("6000"), milliseconds(6000)),
                         TimingEvent(rec.note("5008"), milliseconds(5008)),
                         TimingEvent(rec.note("4500"), milliseconds(4500)),
                         TimingEvent(rec.note("4600"), milliseconds(4600))});
  timing.start(milliseconds(5000));
  EXPECT_EQ(timing.pump(), milliseconds(1000));
  EXPECT_THAT(rec.names(), ElementsAre("4600", "5008"));
  clock.advance(milliseconds(990));
  EXPECT_EQ(timing.pump(), std::nullopt);
  EXPECT_THAT(rec.names(), ElementsAre("4600", "5008", "6000"));
}

TEST(TimingSequenceTest, WithCatchUpFiresEverythingDueInTimeOrder) {
  tltest::FakeClock clock;
  Recorder rec;
  Timing timing(true, clock, TimingMode::kManual);
  timing.registerEvents({TimingEvent(rec.note("5008"), milliseconds(5008)),
                         TimingEvent(rec.note("4500"), milliseconds(4500)),
                         TimingEvent(rec.note("0"), milliseconds(0)),
                         TimingEvent(rec.note("6000"), milliseconds(6000)),
                         TimingEvent(rec.note("4600"), milliseconds(4600))});
  timing.start(milliseconds(5000));
  EXPECT_EQ(timing.pump(), milliseconds(1000));
  EXPECT_THAT(rec.names(), ElementsAre("0", "4500", "4600", "5008"));
}

TEST(TimingSequenceTest, EqualTimesKeepRegistrationOrder) {
  tltest::FakeClock clock;
  Recorder rec;
  Timing timing(false, clock, TimingMode::kManual);
  timing.registerEvent(TimingEvent(rec.note("first"), milliseconds(100)));
  timing.registerEvents({TimingEvent(rec.note("second"), milliseconds(100)),
                         TimingEvent(rec.note("early"), milliseconds(50)),
                         TimingEvent(rec.note("third"), milliseconds(100))});
  timing.start(milliseconds(100));
  timing.pump();
  EXPECT_THAT(rec.names(), ElementsAre("early", "first", "second", "third"));
}

// A repeatable event fired at wall time W, passed again after a restart at
// an earlier position with the wall clock at W + offset.
struct GuardCase {
  int64_t offsetMicros;
  bool firesAgain;
};

class RepeatGuardTest : public ::testing::TestWithParam<GuardCase> {};

TEST_P(RepeatGuardTest, HalfSecondGuardOnWallClock) {
  tltest::FakeClock clock;
  Recorder rec;
  Timing timing(false, clock, TimingMode::kManual);
  timing.registerEvent(TimingEvent(rec.note("r"), milliseconds(1000)));
  timing.start(milliseconds(0));
  clock.advance(milliseconds(990));
  timing.pump();
  ASSERT_EQ(rec.names().size(), 1u);
  const int64_t firedAt = clock.wallMicros();

  clock.advance(milliseconds(100));
  timing.start(milliseconds(0));  // earlier position while running
  clock.advance(milliseconds(995));
  clock.setWallMicros(firedAt + GetParam().offsetMicros);
  timing.pump();
  EXPECT_EQ(rec.names().size(), GetParam().firesAgain ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, RepeatGuardTest,
                         ::testing::Values(GuardCase{-501000, true}, GuardCase{-500999, false},
                                           GuardCase{0, false}, GuardCase{500999, false},
                                           GuardCase{501000, true}));

TEST(TimingRestartTest, OneShotFiresAgainOnlyIfItNeverFired) {
  tltest::FakeClock clock;
  Recorder rec;
  Timing timing(false, clock, TimingMode::kManual);
  timing.registerEvents({TimingEvent(rec.note("skipped"), milliseconds(100), TimingEvent::kAutoId,
                                     TimingEvent::kOneShot),
                         TimingEvent(rec.note("fired"), milliseconds(1000), TimingEvent::kAutoId,
                                     TimingEvent::kOneShot)});
  timing.start(milliseconds(1000));  // 100 is 900 ms late: skipped
  timing.pump();
  EXPECT_THAT(rec.names(), ElementsAre("fired"));
  timing.start(milliseconds(100));
  timing.pump();
  clock.advance(milliseconds(1000));
  timing.pump();
  EXPECT_THAT(rec.names(), ElementsAre("fired", "skipped"));
}

TEST(TimingRestartTest, RepeatableFiresAgainAfterRestartOnceGuardPassed) {
  tltest::FakeClock clock;
  Recorder rec;
  Timing timing(false, clock, TimingMode::kManual);
  timing.registerEvent(TimingEvent(rec.note("r"), milliseconds(1000)));
  timing.start(milliseconds(0));
  clock.advance(milliseconds(1000));
  timing.pump();
  clock.advance(milliseconds(200));
  timing.start(milliseconds(500));
  EXPECT_EQ(timing.pump(), milliseconds(500));
  clock.advance(milliseconds(500));  // 700 ms of wall time since it fired
  timing.pump();
  EXPECT_THAT(rec.names(), ElementsAre("r", "r"));
}

TEST_F(ManualTimingTest, RegisteringAnExistingIdReplacesIt) {
  timing_.registerEvent(TimingEvent(rec_.note("old"), milliseconds(1000), 7001));
  timing_.registerEvent(TimingEvent(rec_.note("new"), milliseconds(2000), 7001));
  EXPECT_EQ(timing_.eventCount(), 1u);
  timing_.start(milliseconds(1000));
  timing_.pump();
  EXPECT_TRUE(rec_.names().empty());
  clock_.advance(milliseconds(1000));
  timing_.pump();
  EXPECT_THAT(rec_.names(), ElementsAre("new"));
}

TEST_F(ManualTimingTest, RunningEventCannotBeReplacedOrCancelled) {
  std::vector<std::string> errors;
  TimingEvent self([] {}, milliseconds(0), 7100, TimingEvent::kOneShot);
  TimingEvent other(rec_.note("other"), milliseconds(5000), 7101);
  timing_.registerEvents({TimingEvent(
      [&] {
        rec_.add("self");
        try {
          timing_.registerEvent(self);
        } catch (const std::invalid_argument& e) {
          errors.push_back(e.what());
        }
        try {
          timing_.registerEvents({other, self});
        } catch (const std::invalid_argument& e) {
          errors.push_back(e.what());
        }
        try {
          timing_.cancelEvent(self);
        } catch (const std::invalid_argument& e) {
          errors.push_back(e.what());
        }
        EXPECT_EQ(timing_.eventCount(), 1u);  // nothing changed
      },
      milliseconds(0), 7100, TimingEvent::kOneShot)});
  timing_.start(milliseconds(0));
  timing_.pump();
  EXPECT_THAT(errors, ElementsAre("Cannot replace an event that is currently in progress",
                                  "Cannot replace an event that is currently in progress",
                                  "Cannot cancel an event currently in progress"));
  // Outside the callback the same calls work.
  timing_.cancelEvent(self);
  EXPECT_EQ(timing_.eventCount(), 0u);
}

TEST_F(ManualTimingTest, CallbackMayRegisterAndCancelOtherIds) {
  TimingEvent doomed(rec_.note("doomed"), milliseconds(20), 7201);
  timing_.registerEvents({TimingEvent(
                              [&] {
                                rec_.add("a");
                                timing_.cancelEvent(doomed);
                                timing_.registerEvent(
                                    TimingEvent(rec_.note("added"), milliseconds(5), 7202));
                              },
                              milliseconds(10), 7200),
                          doomed});
  timing_.start(milliseconds(30));
  timing_.pump();
  EXPECT_THAT(rec_.names(), ElementsAre("a", "added"));
  EXPECT_EQ(timing_.eventCount(), 2u);
}

// A change of the list from a callback is picked up even when the callback
// also restarts the timeline at the same position (which clears the rescan
// flag), and the fired flag lands on the right event after the re-sort.
TEST_F(ManualTimingTest, ListChangeDuringCallbackNoticedDespiteStartClearingRescan) {
  timing_.registerEvents({TimingEvent(
                              [&] {
                                rec_.add("a");
                                timing_.registerEvent(TimingEvent(rec_.note("b"), milliseconds(90),
                                                                  TimingEvent::kAutoId,
                                                                  TimingEvent::kOneShot));
                                timing_.start(milliseconds(150));
                              },
                              milliseconds(100), TimingEvent::kAutoId, TimingEvent::kOneShot),
                          TimingEvent(rec_.note("c"), milliseconds(120), TimingEvent::kAutoId,
                                      TimingEvent::kOneShot)});
  timing_.start(milliseconds(150));
  timing_.pump();
  EXPECT_THAT(rec_.names(), ::testing::UnorderedElementsAre("a", "b", "c"));
  EXPECT_EQ(rec_.names().front(), "a");
  clock_.advance(milliseconds(100));
  timing_.start(milliseconds(0));
  clock_.advance(milliseconds(150));
  timing_.pump();
  EXPECT_EQ(rec_.names().size(), 3u);  // all one-shot, all marked fired
}

TEST_F(ManualTimingTest, ClearEventsFromCallbackLeavesOnlyRunningEventUntilItReturns) {
  size_t countInside = 99;
  timing_.registerEvents({TimingEvent(
                              [&] {
                                rec_.add("a");
                                timing_.clearEvents();
                                countInside = timing_.eventCount();
                              },
                              milliseconds(100)),
                          TimingEvent(rec_.note("b"), milliseconds(150)),
                          TimingEvent(rec_.note("c"), milliseconds(5000))});
  timing_.start(milliseconds(100));
  EXPECT_EQ(timing_.pump(), std::nullopt);
  EXPECT_EQ(countInside, 1u);
  EXPECT_EQ(timing_.eventCount(), 0u);
  clock_.advance(milliseconds(10000));
  timing_.pump();
  EXPECT_THAT(rec_.names(), ElementsAre("a"));
}

TEST_F(ManualTimingTest, StopHoldsEventsUntilNextStart) {
  timing_.registerEvent(TimingEvent(rec_.note("a"), milliseconds(1000)));
  timing_.start(milliseconds(0));
  clock_.advance(milliseconds(500));
  timing_.stop();
  EXPECT_EQ(timing_.elapsed(), milliseconds(0));
  clock_.advance(milliseconds(2000));
  EXPECT_EQ(timing_.pump(), std::nullopt);
  EXPECT_TRUE(rec_.names().empty());
  EXPECT_EQ(timing_.elapsed(), milliseconds(2000));  // counts from the stop
  timing_.start(milliseconds(990));
  EXPECT_EQ(timing_.elapsed(), milliseconds(990));
  timing_.pump();
  EXPECT_THAT(rec_.names(), ElementsAre("a"));
}

TEST_F(ManualTimingTest, StopFromCallbackEndsTheScan) {
  timing_.registerEvents({TimingEvent(
                              [&] {
                                rec_.add("a");
                                timing_.stop();
                              },
                              milliseconds(10)),
                          TimingEvent(rec_.note("b"), milliseconds(20))});
  timing_.start(milliseconds(30));
  timing_.pump();
  EXPECT_THAT(rec_.names(), ElementsAre("a"));
}

TEST_F(ManualTimingTest, ElapsedTruncatesTowardZero) {
  timing_.start(milliseconds(0));
  clock_.advance(microseconds(1999));
  EXPECT_EQ(timing_.elapsed(), milliseconds(1));
  timing_.start(milliseconds(-5));
  clock_.advance(microseconds(1500));
  EXPECT_EQ(timing_.elapsed(), milliseconds(-3));
}

TEST_F(ManualTimingTest, ThrowingCallbackCountsAsFiredAndScanGoesOn) {
  tltest::LogCapture log;
  timing_.registerEvents(
      {TimingEvent([] { throw std::runtime_error("boom"); }, milliseconds(10), TimingEvent::kAutoId,
                   TimingEvent::kOneShot),
       TimingEvent([] { throw 42; }, milliseconds(11), 7300, TimingEvent::kOneShotRemove),
       TimingEvent(rec_.note("after"), milliseconds(12))});
  timing_.start(milliseconds(20));
  EXPECT_NO_THROW(timing_.pump());
  EXPECT_THAT(rec_.names(), ElementsAre("after"));
  EXPECT_EQ(timing_.eventCount(), 2u);  // the removable one went
  const auto lines = log.matching("Timing: callback of event ");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].sender, "<Unknown object>");
  EXPECT_NE(lines[0].message.find(" threw an exception: boom"), std::string::npos);
  EXPECT_EQ(lines[1].message, "Timing: callback of event 7300 threw an unknown exception");
  EXPECT_EQ(lines[1].level, 3);
  timing_.start(milliseconds(0));
  clock_.advance(milliseconds(20));
  timing_.pump();  // the first one-shot counted as fired: no second throw
  EXPECT_EQ(timing_.eventCount(), 2u);
}

TEST_F(ManualTimingTest, PumpFromInsideCallbackReturnsAtOnce) {
  std::optional<milliseconds> inner = milliseconds(-1);
  timing_.registerEvents({TimingEvent([&] { inner = timing_.pump(); }, milliseconds(0)),
                          TimingEvent(rec_.note("b"), milliseconds(0))});
  timing_.start(milliseconds(0));
  timing_.pump();
  EXPECT_EQ(inner, std::nullopt);
  EXPECT_THAT(rec_.names(), ElementsAre("b"));
}

TEST(TimingManualLifetimeTest, CallbackMayDestroyItsTiming) {
  tltest::FakeClock clock;
  Recorder rec;
  auto timing = std::make_unique<Timing>(false, clock, TimingMode::kManual);
  Timing* raw = timing.get();
  timing->registerEvents({TimingEvent([&] { timing.reset(); }, milliseconds(0)),
                          TimingEvent(rec.note("never"), milliseconds(0))});
  timing->start(milliseconds(0));
  raw->pump();
  EXPECT_EQ(timing, nullptr);
  EXPECT_TRUE(rec.names().empty());
}

TEST(TimingLimitsTest, ExtremeTimesAreClampedNotOverflowed) {
  tltest::FakeClock clock;
  Recorder rec;
  Timing timing(true, clock, TimingMode::kManual);
  timing.registerEvents({TimingEvent(rec.note("min"), milliseconds::min()),
                         TimingEvent(rec.note("max"), milliseconds::max())});
  timing.start(milliseconds::min());
  EXPECT_EQ(timing.elapsed(), milliseconds(-kMaxTimerMillis));
  timing.pump();
  EXPECT_THAT(rec.names(), ElementsAre("min"));
  timing.start(milliseconds::max());
  EXPECT_EQ(timing.elapsed(), milliseconds(kMaxTimerMillis));
  timing.pump();
  EXPECT_THAT(rec.names(), ElementsAre("min", "max"));
}

TEST(TimingModeTest, PumpNeedsManualMode) {
  Timing timing(false);
  EXPECT_THROW(timing.pump(), std::logic_error);
}

TEST(TimingEventTest, SettingsWord) {
  struct Case {
    int settings;
    bool repeatable;
    bool remove;
  };
  for (const Case& c : {Case{0, true, false}, Case{1, false, false}, Case{2, true, false},
                        Case{3, false, true}, Case{7, false, true}, Case{5, false, false}}) {
    TimingEvent e([] {}, milliseconds(0), TimingEvent::kAutoId, c.settings);
    EXPECT_EQ(e.repeatable(), c.repeatable) << c.settings;
    EXPECT_EQ(e.removeAfterFiring(), c.remove) << c.settings;
  }
}

TEST(TimingEventTest, TriggerAppliesFiringDecision) {
  tltest::FakeClock clock;
  int count = 0;
  TimingEvent once([&] { ++count; }, milliseconds(0), TimingEvent::kAutoId, TimingEvent::kOneShot);
  once.trigger(clock);
  once.trigger(clock);
  EXPECT_EQ(count, 1);
  EXPECT_TRUE(once.fired());
  EXPECT_EQ(once.lastFired(), clock.wallMicros());
  once.changeSettings(TimingEvent::kRepeatable);  // fired flag and time stay
  EXPECT_TRUE(once.fired());
  once.trigger(clock);
  EXPECT_EQ(count, 1);
  clock.advance(microseconds(501000));
  once.trigger(clock);
  EXPECT_EQ(count, 2);
}

TEST(TimingEventIdTest, CounterRules) {
  TimingEvent a([] {}, milliseconds(0));
  TimingEvent b([] {}, milliseconds(0));
  EXPECT_EQ(b.id(), a.id() + 1);
  TimingEvent forty([] {}, milliseconds(0), 40);
  EXPECT_EQ(TimingEvent([] {}, milliseconds(0)).id(), 41);
  // An explicit id below 1 leaves the counter alone.
  TimingEvent zero([] {}, milliseconds(0), 0);
  TimingEvent negative([] {}, milliseconds(0), -7);
  EXPECT_EQ(TimingEvent([] {}, milliseconds(0)).id(), 42);
  // A smaller explicit id sets the counter back.
  TimingEvent five([] {}, milliseconds(0), 5);
  EXPECT_EQ(TimingEvent([] {}, milliseconds(0)).id(), 6);
  // The largest id wraps the counter to 1 instead of overflowing.
  TimingEvent max([] {}, milliseconds(0), INT_MAX);
  EXPECT_EQ(TimingEvent([] {}, milliseconds(0)).id(), 1);
  TimingEvent nearMax([] {}, milliseconds(0), INT_MAX - 2);
  EXPECT_EQ(TimingEvent([] {}, milliseconds(0)).id(), INT_MAX - 1);
  EXPECT_EQ(TimingEvent([] {}, milliseconds(0)).id(), 1);
  TimingEvent restore([] {}, milliseconds(0), 1000);
}

TEST(TimingEventIdTest, ConcurrentAutomaticIdsAreDistinct) {
  TimingEvent base([] {}, milliseconds(0), 2000);
  std::vector<std::vector<int>> ids(4);
  std::vector<std::thread> threads;
  for (auto& v : ids) {
    threads.emplace_back([&v] {
      for (int i = 0; i < 1000; ++i) v.push_back(TimingEvent([] {}, milliseconds(0)).id());
    });
  }
  for (auto& t : threads) t.join();
  std::set<int> all;
  for (auto& v : ids) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), 4000u);
  EXPECT_EQ(*all.begin(), 2001);
  EXPECT_EQ(*all.rbegin(), 6000);
}

// Real threads: tolerances survive a loaded machine.
TEST(ThreadedTimingTest, FiresOnItsOwnThreadNotBeforeTenMillisecondsEarly) {
  Timing timing(false);
  Recorder rec;
  std::thread::id firedOn;
  std::atomic<int64_t> elapsedAtFire{-1};
  timing.registerEvent(TimingEvent(
      [&] {
        firedOn = std::this_thread::get_id();
        elapsedAtFire = timing.elapsed().count();
        rec.add("a");
      },
      milliseconds(60), TimingEvent::kAutoId, TimingEvent::kOneShot));
  timing.start(milliseconds(0));
  ASSERT_TRUE(rec.awaitCount(1));
  EXPECT_NE(firedOn, std::this_thread::get_id());
  EXPECT_GE(elapsedAtFire.load(), 50);
}

TEST(ThreadedTimingTest, FollowsFakeClockAndStops) {
  tltest::FakeClock clock;
  Recorder rec;
  Timing timing(false, clock);
  timing.registerEvents({TimingEvent(rec.note("a"), milliseconds(1000)),
                         TimingEvent(rec.note("b"), milliseconds(3000))});
  timing.start(milliseconds(0));
  clock.advance(milliseconds(1000));
  ASSERT_TRUE(rec.awaitCount(1));
  timing.stop();
  const uint64_t waits = clock.waitCount();
  clock.advance(milliseconds(5000));
  // Nothing waits on the clock while stopped; give the thread a moment.
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(clock.waitCount(), waits);
  EXPECT_THAT(rec.names(), ElementsAre("a"));
  timing.start(milliseconds(2995));
  ASSERT_TRUE(rec.awaitCount(2));
  EXPECT_THAT(rec.names(), ElementsAre("a", "b"));
}

TEST(ThreadedTimingTest, RegisteringWakesTheThread) {
  Timing timing(true);
  Recorder rec;
  timing.start(milliseconds(0));
  timing.registerEvent(TimingEvent(rec.note("a"), milliseconds(0)));
  ASSERT_TRUE(rec.awaitCount(1));
  timing.registerEvent(TimingEvent(rec.note("b"), milliseconds(5)));
  ASSERT_TRUE(rec.awaitCount(2));
}

TEST(ThreadedTimingTest, CallbackMayDestroyItsTiming) {
  Recorder rec;
  auto timing = std::make_unique<Timing>(false);
  timing->registerEvents({TimingEvent(
                              [&] {
                                timing.reset();
                                rec.add("destroyed");
                              },
                              milliseconds(0)),
                          TimingEvent(rec.note("never"), milliseconds(0))});
  timing->start(milliseconds(0));
  ASSERT_TRUE(rec.awaitCount(1));
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_THAT(rec.names(), ElementsAre("destroyed"));
}

TEST(ThreadedTimingTest, DestructorJoinsWhileEventsPending) {
  Recorder rec;
  {
    Timing timing(false);
    timing.registerEvent(TimingEvent(rec.note("late"), milliseconds(60000)));
    timing.start(milliseconds(0));
  }
  EXPECT_TRUE(rec.names().empty());
}

}  // namespace
}  // namespace tembrolexinsdk
