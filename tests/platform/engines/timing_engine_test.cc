// The EVENT engine's timing engine: sync times, the choice of the next event,
// and the timing thread on a fake clock.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/engines/timing_engine.h"
#include "platform/runtime/tl_logger.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinplatform {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

struct SyncTimeCase {
  std::string name;
  int64_t codeword;
  double syncTime;
};

class SyncTimeTest : public testing::TestWithParam<SyncTimeCase> {};

TEST_P(SyncTimeTest, FromTheCodeword) {
  tltest::FakeClock clock;
  TimingEngine timing(clock);
  EXPECT_NEAR(timing.getCodewordSyncTime(GetParam().codeword), GetParam().syncTime, 1e-9);
  EXPECT_EQ(timing.isSyncCodeword(GetParam().codeword), GetParam().syncTime >= 0);
}

// (c - 31743) x 20.16 + 0.108 with the values at creation.
INSTANTIATE_TEST_SUITE_P(Codewords, SyncTimeTest,
                         testing::Values(SyncTimeCase{"First", 31744, 20.268},
                                         SyncTimeCase{"Second", 31745, 40.428},
                                         SyncTimeCase{"Last", 32767, 20643.948},
                                         SyncTimeCase{"JustBelow", 31743, -1.0},
                                         SyncTimeCase{"JustAbove", 32768, -1.0}),
                         [](const auto& info) { return info.param.name; });

struct NextCase {
  std::string name;
  std::vector<TimedEventEngine> events;
  double now;
  std::optional<std::size_t> chosen;
};

class NextEventTest : public testing::TestWithParam<NextCase> {};

TEST_P(NextEventTest, ChoosesByTheOverdueWindow) {
  EXPECT_EQ(TimingEngine::chooseNextEvent(GetParam().events, GetParam().now), GetParam().chosen);
}

TimedEventEngine ev(double time, bool fired = false) { return TimedEventEngine{"e", time, fired}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, NextEventTest,
    testing::Values(NextCase{"NoEvents", {}, 10, std::nullopt},
                    NextCase{"Ahead", {ev(12)}, 10, 0},
                    NextCase{"ThreeTenthsOverdue", {ev(9.7)}, 10, 0},
                    NextCase{"HalfSecondOverdueSkipped", {ev(9.5), ev(11)}, 10, 1},
                    NextCase{"FiredAheadNotAgain", {ev(10.004, true), ev(11)}, 10, 1},
                    NextCase{"AllFired", {ev(11, true), ev(12, true)}, 10, std::nullopt},
                    NextCase{"ListOrderNotTimeOrder", {ev(30), ev(12)}, 10, 0},
                    NextCase{"EarlierListedAfterLaterOneFired", {ev(30, true), ev(12)}, 10, 1},
                    NextCase{"NoAnchorTimeline", {ev(-1.2)}, -1.0, 0}),
    [](const auto& info) { return info.param.name; });

// Records what the timing thread reports; optionally holds the thread in a
// timed event until released.
class Listener : public TimingListener {
 public:
  void onTimedEvent(const Event& event, uint64_t) override {
    std::unique_lock<std::mutex> lock(mutex_);
    fired_.push_back(event.eventValue.value_or("(none)"));
    dates_.push_back(event.eventTimestamp);
    inEvent_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return !hold_; });
    inEvent_ = false;
  }
  void onTimingSequenceEnded(uint64_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++ended_;
    cv_.notify_all();
  }
  bool await(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, seconds(5), done);
  }
  bool awaitFired(std::size_t n) { return await([&] { return fired_.size() >= n; }); }
  bool awaitEnded(int n) { return await([&] { return ended_ >= n; }); }
  void hold(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = on;
    cv_.notify_all();
  }
  std::vector<std::string> fired() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
  }
  std::vector<TLDate> dates() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dates_;
  }
  int ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
  }
  bool inEvent_ = false;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> fired_;
  std::vector<TLDate> dates_;
  int ended_ = 0;
  bool hold_ = false;
};

class TimingThreadTest : public testing::Test {
 protected:
  TimingThreadTest() { timing_.setListener(&listener_); }
  ~TimingThreadTest() override {
    listener_.hold(false);
    timing_.stopTiming();
  }

  static std::vector<TimedEventEngine> events(std::vector<std::pair<const char*, double>> list) {
    std::vector<TimedEventEngine> out;
    for (auto& [id, time] : list) out.push_back(TimedEventEngine{id, time, false});
    return out;
  }
  double upSeconds() const { return static_cast<double>(clock_.upTimeMillis()) / 1000.0; }
  // Anchors the timeline at `syncTime` now.
  void anchorAt(double syncTime) { timing_.syncWithAnchor(SyncAnchor{upSeconds(), syncTime}); }
  // Waits until the thread sleeps for an event `ahead` from now.
  bool awaitWaitFor(std::chrono::microseconds ahead) {
    return clock_.awaitDeadline(clock_.steadyNow() + ahead);
  }

  tltest::FakeClock clock_;
  Listener listener_;
  TimingEngine timing_{clock_};
};

TEST_F(TimingThreadTest, FiresEachEventWhenTheTimelineReachesItThenEnds) {
  timing_.prepareWithEvents(events({{"a", 21}, {"b", 25}}), 0);
  anchorAt(20);
  EXPECT_DOUBLE_EQ(timing_.currentSyncTime(), 20);
  ASSERT_TRUE(awaitWaitFor(seconds(1)));
  EXPECT_TRUE(listener_.fired().empty());
  clock_.advance(seconds(1));
  ASSERT_TRUE(listener_.awaitFired(1));
  ASSERT_TRUE(awaitWaitFor(seconds(4)));
  clock_.advance(seconds(4));
  ASSERT_TRUE(listener_.awaitEnded(1));
  EXPECT_EQ(listener_.fired(), (std::vector<std::string>{"a", "b"}));
  // Stamped with the wall clock at firing.
  const TLDate start = dateFromWallMicros(tltest::FakeClock::kStartWallMicros);
  EXPECT_EQ(listener_.dates(), (std::vector<TLDate>{start + seconds(1), start + seconds(5)}));
  const auto stats = timing_.errorStats();
  EXPECT_EQ(stats.errcnt, 2);
  EXPECT_DOUBLE_EQ(stats.maxerr, 0);
}

TEST_F(TimingThreadTest, OverdueEventsFireAtOnceWithinHalfASecondAndAreSkippedBeyond) {
  // At 20: 19.5 is half a second overdue, 19.75 a quarter, 20.004 due within 5 ms.
  timing_.prepareWithEvents(events({{"skipped", 19.5}, {"late", 19.75}, {"soon", 20.004}}), 0);
  anchorAt(20);
  ASSERT_TRUE(listener_.awaitEnded(1));
  EXPECT_EQ(listener_.fired(), (std::vector<std::string>{"late", "soon"}));
  EXPECT_EQ(clock_.waitCount(), 0u);  // never slept
}

TEST_F(TimingThreadTest, OutOfOrderEventReachedOnlyAfterTheLaterOne) {
  timing_.prepareWithEvents(events({{"later", 22}, {"earlier", 21}}), 0);
  anchorAt(20);
  ASSERT_TRUE(awaitWaitFor(seconds(2)));
  clock_.advance(seconds(2));
  ASSERT_TRUE(listener_.awaitEnded(1));
  EXPECT_EQ(listener_.fired(), (std::vector<std::string>{"later"}));
}

TEST_F(TimingThreadTest, AnchorMovingTheTimelineBackReplaysButJitterDoesNot) {
  timing_.prepareWithEvents(events({{"a", 21}, {"b", 22}, {"c", 40}}), 0);
  anchorAt(20);
  ASSERT_TRUE(awaitWaitFor(seconds(1)));
  clock_.advance(milliseconds(2250));  // a fires 1.25 s late, b (0.25 s overdue) at once
  ASSERT_TRUE(listener_.awaitFired(2));
  ASSERT_TRUE(awaitWaitFor(milliseconds(17750)));

  anchorAt(12.5);  // ten seconds back
  ASSERT_TRUE(awaitWaitFor(milliseconds(8500)));
  clock_.advance(milliseconds(8500));
  ASSERT_TRUE(listener_.awaitFired(3));
  ASSERT_TRUE(awaitWaitFor(seconds(1)));
  clock_.advance(seconds(1));
  ASSERT_TRUE(listener_.awaitFired(4));

  anchorAt(21.75);  // a quarter second back: b stays fired
  ASSERT_TRUE(awaitWaitFor(milliseconds(18250)));
  EXPECT_EQ(listener_.fired(), (std::vector<std::string>{"a", "b", "a", "b"}));
  const auto stats = timing_.errorStats();
  EXPECT_EQ(stats.errcnt, 3);
  EXPECT_DOUBLE_EQ(stats.minerr, 0);
  EXPECT_DOUBLE_EQ(stats.maxerr, 1.25);
  EXPECT_DOUBLE_EQ(stats.sumerr, 1.25);
}

TEST_F(TimingThreadTest, AnchorRightAfterAStopKeepsAThreadGoing) {
  timing_.prepareWithEvents(events({{"a", 25}}), 0);
  anchorAt(20);
  ASSERT_TRUE(awaitWaitFor(seconds(5)));
  timing_.stopTiming();
  anchorAt(20);  // the stop may not have been seen yet
  clock_.advance(seconds(5));
  ASSERT_TRUE(listener_.awaitFired(1));
  ASSERT_TRUE(listener_.awaitEnded(1));
}

TEST_F(TimingThreadTest, StopResetAndAnchorNeverWaitForABusyThread) {
  listener_.hold(true);
  timing_.prepareWithEvents(events({{"a", 20}}), 0);
  anchorAt(20);
  ASSERT_TRUE(listener_.awaitFired(1));  // the thread is held inside the listener
  timing_.stopTiming();
  timing_.resetEngine();
  timing_.prepareWithEvents(events({{"next", 30}}), 0);
  anchorAt(35);  // "next" is 5 s overdue
  EXPECT_TRUE(timing_.isTimingThreadRunning());
  listener_.hold(false);
  ASSERT_TRUE(listener_.awaitEnded(1));
  EXPECT_EQ(listener_.fired(), (std::vector<std::string>{"a"}));
}

// An app's log delegate may call back into the engine on any of its lines,
// on whichever thread logged it: the caller's, or the timing thread. The
// sync time's own lines are left out (they would call back for ever).
class CallingBackSink : public TLLoggerDelegate {
 public:
  explicit CallingBackSink(TimingEngine& timing) : timing_(timing) {}
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    if (sender.rfind("-[TimingEngine", 0) != 0 || sender == "-[TimingEngine currentSyncTime]") {
      return;
    }
    timing_.currentSyncTime();  // takes the engine's lock
    std::lock_guard<std::mutex> lock(mutex_);
    lines.push_back(params.message.substr(0, params.message.find(" at ")));
  }
  TimingEngine& timing_;
  std::mutex mutex_;
  std::vector<std::string> lines;
};

TEST_F(TimingThreadTest, LogDelegateMayCallBackIntoTheEngineOnItsLines) {
  auto sink = std::make_shared<CallingBackSink>(timing_);
  TLLogger::sharedLogger().setDelegate(sink);
  struct Unset {
    ~Unset() { TLLogger::sharedLogger().unsetDelegate(); }
  } unset;
  timing_.prepareWithEvents(events({{"a", 21}}), 0);
  anchorAt(20);
  ASSERT_TRUE(awaitWaitFor(seconds(1)));
  anchorAt(20);
  clock_.advance(seconds(1));
  ASSERT_TRUE(listener_.awaitFired(1));
  ASSERT_TRUE(listener_.awaitEnded(1));
  std::lock_guard<std::mutex> lock(sink->mutex_);
  // The caller's lines and the thread's reach the log as each lets the lock
  // go, so their order across the two threads is not fixed.
  for (const char* line : {"Starting timing thread", "Timing thread waiting for event",
                           "Signalling timing thread to re-schedule",
                           "Timing thread interrupted, re-scheduling..."}) {
    EXPECT_NE(std::find(sink->lines.begin(), sink->lines.end(), line), sink->lines.end()) << line;
  }
  ASSERT_FALSE(sink->lines.empty());
  EXPECT_EQ(sink->lines.back(), "No more events, stopping timing thread");
}

}  // namespace
}  // namespace tembrolexinplatform
