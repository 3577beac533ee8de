// The gate of calls into the app: closing it never waits for the closing
// thread's own calls, nor beyond its limit, and releases only the waiters of
// those calls; once it is closed no path of the dispatch layer enters the
// app. (That it waits for a call running on another thread, and the
// logger's and the facade's paths, are tested at process exit, in the e2e
// exit test.)

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/runtime/app_call_gate.h"
#include "platform/runtime/safe_dispatch.h"
#include "tests/platform/runtime/bus_probe.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

// A thread inside a call of `gate` until released.
class CallInside {
 public:
  explicit CallInside(AppCallGate& gate)
      : thread_([this, &gate] { gate.run([this] { entered_.open(); release_.wait(); }); }) {
    entered_.wait();
  }
  ~CallInside() {
    release_.open();
    thread_.join();
  }

 private:
  tltest::Gate entered_;
  tltest::Gate release_;
  std::thread thread_;
};

TEST(AppCallGateTest, ClosedGateTurnsCallsAwayAndCountsThem) {
  AppCallGate gate;
  int calls = 0;
  EXPECT_TRUE(gate.run([&] { ++calls; }));
  EXPECT_TRUE(gate.close(0ns));
  EXPECT_TRUE(gate.isClosed());
  EXPECT_FALSE(gate.run([&] { ++calls; }));
  AppCallGate::Call call(gate);
  EXPECT_FALSE(call);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(gate.refusedCount(), 2u);
}

TEST(AppCallGateTest, CloseGivesUpOnACallThatOutlastsTheLimit) {
  AppCallGate gate;
  tltest::FakeClock clock;
  CallInside inside(gate);
  const auto deadline = clock.steadyNow() + 5s;
  bool allEnded = true;
  std::thread closer([&] { allEnded = gate.close(5s, clock); });
  ASSERT_TRUE(clock.awaitDeadline(deadline));
  clock.advance(5s);
  closer.join();
  EXPECT_FALSE(allEnded);
}

TEST(AppCallGateTest, ClosingFromInsideCallsWaitsOnlyForOtherThreads) {
  AppCallGate gate;
  AppCallGate other;
  bool allEnded = false;
  EXPECT_FALSE(gate.callerInside());
  // Inside two calls of this gate and one of another: none of them is
  // waited for (the real clock would make a wrong wait last 30 s).
  gate.run([&] {
    other.run([&] {
      gate.run([&] {
        EXPECT_TRUE(gate.callerInside());
        allEnded = gate.close(30s);
      });
    });
  });
  EXPECT_TRUE(allEnded);
  EXPECT_FALSE(gate.callerInside());
  EXPECT_FALSE(other.isClosed());
}

// A thread of the library's waits (syncWithin) for a block on the main
// queue's own thread while the gate closes: from inside the block (the exit
// from a delegate call, which never returns) the wait ends at once, while
// the block still runs; from another thread the block is waited for to its
// end.
struct WaitedCall {
  const char* name;
  bool closeInside;
  MainQueue::SyncOutcome outcome;
};

void PrintTo(const WaitedCall& c, std::ostream* os) { *os << c.name; }

class AppCallGateWaitedCallTest : public testing::TestWithParam<WaitedCall> {};

TEST_P(AppCallGateWaitedCallTest, OnlyClosingFromInsideTheCallReleasesItsWaiter) {
  const WaitedCall& c = GetParam();
  AppCallGate gate;
  tltest::Gate entered, waiterReturned, blockMayEnd;
  std::atomic<bool> awaitedInside{false}, awaitedUnwaited{true}, blockEnded{false};
  bool blockEndedFirst = false;  // when the waiter returned
  const Block block = [&] {
    awaitedInside = gate.callerAwaited();
    entered.open();
    if (c.closeInside) {
      gate.close(0ns);
      waiterReturned.wait();
    } else {
      blockMayEnd.wait();
    }
    blockEnded = true;
  };
  MainQueue queue(Clock::real(), MainQueueMode::kOwnThreadUnlessBound, gate);
  queue.async([&] { awaitedUnwaited = gate.callerAwaited(); });
  std::promise<MainQueue::SyncOutcome> outcome;
  std::thread waiter([&] {
    const MainQueue::SyncOutcome got = queue.syncWithin(block, Clock::real(), 30s);
    blockEndedFirst = blockEnded.load();
    outcome.set_value(got);
    waiterReturned.open();
  });
  ASSERT_TRUE(entered.wait());
  auto returned = outcome.get_future();
  if (!c.closeInside) {
    EXPECT_FALSE(gate.close(0ns));  // the block is inside
    EXPECT_EQ(returned.wait_for(20ms), std::future_status::timeout);
    blockMayEnd.open();
  }
  EXPECT_EQ(returned.get(), c.outcome);
  waiter.join();
  EXPECT_EQ(blockEndedFirst, !c.closeInside);
  queue.shutDown();  // joins the queue's thread once the block has ended
  EXPECT_TRUE(awaitedInside.load());
  EXPECT_FALSE(awaitedUnwaited.load());
  EXPECT_FALSE(gate.callerAwaited());
}

INSTANTIATE_TEST_SUITE_P(
    Closes, AppCallGateWaitedCallTest,
    testing::Values(WaitedCall{"FromInsideTheCall", true, MainQueue::SyncOutcome::kAbandoned},
                    WaitedCall{"FromAnotherThread", false, MainQueue::SyncOutcome::kRan}),
    [](const testing::TestParamInfo<WaitedCall>& info) { return std::string(info.param.name); });

// One way a block of the app's reaches it through the dispatch layer; it
// returns once the block ran or was turned away.
struct DispatchPath {
  const char* name;
  bool bindMain;  // the test thread is the main thread
  std::function<void(Dispatcher&, tltest::FakeClock&, const Block&)> deliver;
};

void PrintTo(const DispatchPath& path, std::ostream* os) { *os << path.name; }

class AppCallGatePathTest : public testing::TestWithParam<DispatchPath> {};

TEST_P(AppCallGatePathTest, RunsTheAppsBlockOnlyWhileTheGateIsOpen) {
  const DispatchPath& path = GetParam();
  AppCallGate gate;
  tltest::FakeClock clock;
  Dispatcher::Options options{&clock, TimerMode::kManual, 1, false};
  options.mainQueueMode = MainQueueMode::kOwnThreadUnlessBound;
  options.appCalls = &gate;
  Dispatcher dispatcher(options);
  if (path.bindMain) dispatcher.mainQueue()->bindToCurrentThread();
  int ran = 0;
  const Block block = [&] { ++ran; };
  path.deliver(dispatcher, clock, block);
  ASSERT_EQ(ran, 1);
  gate.close(0ns);
  path.deliver(dispatcher, clock, block);
  EXPECT_EQ(ran, 1);
  EXPECT_GE(gate.refusedCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, AppCallGatePathTest,
    testing::Values(
        DispatchPath{"QueuedAndPumped", true,
                     [](Dispatcher& d, tltest::FakeClock&, const Block& b) {
                       d.mainQueue()->async(b);
                       d.mainQueue()->drain();
                     }},
        DispatchPath{"OnTheLibrarysMainThread", false,
                     [](Dispatcher& d, tltest::FakeClock&, const Block& b) {
                       d.mainQueue()->async(b);
                       d.mainQueue()->sync([] {});  // after the block, in order
                     }},
        DispatchPath{"SyncInlineOnTheMainThread", true,
                     [](Dispatcher& d, tltest::FakeClock&, const Block& b) { d.mainQueue()->sync(b); }},
        DispatchPath{"BoundedSyncInlineOnTheMainThread", true,
                     [](Dispatcher& d, tltest::FakeClock& c, const Block& b) {
                       d.mainQueue()->syncWithin(b, c, 1s);
                     }},
        DispatchPath{"BoundedSyncFromAnotherThread", true,
                     [](Dispatcher& d, tltest::FakeClock&, const Block& b) {
                       std::atomic<bool> done{false};
                       std::thread caller([&] {
                         d.mainQueue()->syncWithin(b, Clock::real(), 30s);
                         done = true;
                         d.mainQueue()->async([] {});  // wakes the pump
                       });
                       d.mainQueue()->runUntil([&] { return done.load(); }, 30s);
                       caller.join();
                     }},
        DispatchPath{"SafeSyncOnTheMainThread", true,
                     [](Dispatcher& d, tltest::FakeClock&, const Block& b) {
                       SafeDispatch(d).safeDispatchSyncOnMainQueue(b, "ENGINE");
                     }},
        DispatchPath{"SafeAsyncOnTheMainThread", true,
                     [](Dispatcher& d, tltest::FakeClock&, const Block& b) {
                       SafeDispatch(d).safeDispatchAsyncOnMainQueue(b);
                     }},
        DispatchPath{"DelayedBlockOnTheMainQueue", true,
                     [](Dispatcher& d, tltest::FakeClock& c, const Block& b) {
                       SafeDispatch(d).dispatchOnMainQueue(b, 0.5);
                       c.advance(1s);
                       d.timers().pump();
                       d.mainQueue()->drain();
                     }}),
    [](const testing::TestParamInfo<DispatchPath>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tembrolexinplatform
