// The dispatch layer: main-queue pumping, synchronous hand-offs, serial
// queues watching descriptors, and delayed blocks with cancel handles on a
// fake clock with manual timers.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/runtime/safe_dispatch.h"
#include "platform/runtime/tl_logger.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

// A dispatcher on a fake clock with manual timers; the test thread is main.
struct ManualDispatch {
  ManualDispatch(bool testHost = false)
      : dispatcher(Dispatcher::Options{&clock, TimerMode::kManual, 2, testHost}), safe(dispatcher) {
    dispatcher.mainQueue()->bindToCurrentThread();
  }
  // Advances the clock, posts due timers and runs the main queue.
  void advance(std::chrono::milliseconds d) {
    clock.advance(d);
    dispatcher.timers().pump();
    dispatcher.mainQueue()->drain();
  }
  tltest::FakeClock clock;
  Dispatcher dispatcher;
  SafeDispatch safe;
};

TEST(MainQueueTest, BlocksRunOnlyWhenPumpedInOrderOnTheMainThread) {
  ManualDispatch d;
  std::vector<int> ran;
  std::vector<std::thread::id> threads;
  std::thread poster([&] {
    for (int i = 0; i < 3; ++i) {
      d.dispatcher.mainQueue()->async([&, i] {
        ran.push_back(i);
        threads.push_back(std::this_thread::get_id());
      });
    }
  });
  poster.join();
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(d.dispatcher.mainQueue()->pendingCount(), 3u);
  EXPECT_EQ(d.dispatcher.mainQueue()->drain(), 3u);
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  bool refused = false;
  std::thread([&] {
    try {
      d.dispatcher.mainQueue()->drain();
    } catch (const std::logic_error&) {
      refused = true;
    }
  }).join();
  EXPECT_TRUE(refused);
}

TEST(MainQueueTest, SynchronousDispatchWaitsForThePumpOrRunsInline) {
  Dispatcher dispatcher(Dispatcher::Options{&Clock::real(), TimerMode::kManual, 1, false});
  dispatcher.mainQueue()->bindToCurrentThread();
  SafeDispatch safe(dispatcher);

  bool inline_ran = false;
  safe.safeDispatchSyncOnMainQueue([&] { inline_ran = true; });
  EXPECT_TRUE(inline_ran);  // on the main thread: before the call returns

  std::atomic<bool> returned{false};
  std::thread::id ran_on;
  std::thread caller([&] {
    safe.safeDispatchSyncOnMainQueue([&] { ran_on = std::this_thread::get_id(); });
    // runUntil looks at its condition after blocks, so say so with one.
    dispatcher.mainQueue()->async([&] { returned = true; });
  });
  EXPECT_TRUE(dispatcher.mainQueue()->runUntil([&] { return returned.load(); }, 10s));
  caller.join();
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(MainQueueTest, OnTheLibrarysOwnThread) {
  auto queue = std::make_shared<MainQueue>();
  queue->runOnOwnThread();
  EXPECT_FALSE(queue->isMainThread());
  bool on_main = false;
  std::thread::id ran_on;
  EXPECT_TRUE(queue->sync([&] {
    on_main = queue->isMainThread();
    ran_on = std::this_thread::get_id();
  }));
  EXPECT_TRUE(on_main);
  EXPECT_NE(ran_on, std::this_thread::get_id());
  EXPECT_THROW(queue->runOnOwnThread(), std::logic_error);
}

TEST(MainQueueTest, SyncCallerIsReleasedWhenTheQueueGoesUnpumped) {
  auto queue = std::make_shared<MainQueue>();
  std::promise<bool> result;
  std::thread caller([&] { result.set_value(queue->sync([] {})); });
  while (queue->pendingCount() == 0) std::this_thread::yield();
  queue.reset();  // drops the block unrun
  caller.join();
  EXPECT_FALSE(result.get_future().get());
}

// What the shared logger hands to its sink, for one test.
class WarningSink : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (params.level == 3) lines_.push_back(sender + " | " + params.message);
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST(MainQueueTest, UnboundQueueStartsALibraryThreadWithItsFirstBlock) {
  MainQueue queue(Clock::real(), MainQueueMode::kOwnThreadUnlessBound);
  EXPECT_FALSE(queue.runsOnOwnThread());  // nothing queued yet: no thread
  std::promise<std::pair<std::thread::id, bool>> first;
  queue.async([&] { first.set_value({std::this_thread::get_id(), queue.isMainThread()}); });
  const auto [ranOn, wasMain] = first.get_future().get();
  EXPECT_NE(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(wasMain);
  EXPECT_TRUE(queue.runsOnOwnThread());
  EXPECT_FALSE(queue.isMainThread());
  // A synchronous call from another thread is taken without anyone pumping.
  std::thread::id syncOn;
  EXPECT_TRUE(queue.sync([&] { syncOn = std::this_thread::get_id(); }));
  EXPECT_EQ(syncOn, ranOn);
}

TEST(MainQueueTest, BindingBeforeTheFirstBlockKeepsTheLibraryThreadAway) {
  MainQueue queue(Clock::real(), MainQueueMode::kOwnThreadUnlessBound);
  queue.bindToCurrentThread();
  bool ran = false;
  std::thread([&] { queue.async([&] { ran = true; }); }).join();
  EXPECT_FALSE(queue.runsOnOwnThread());
  EXPECT_EQ(queue.pendingCount(), 1u);
  EXPECT_FALSE(ran);
  EXPECT_EQ(queue.drain(), 1u);
  EXPECT_TRUE(ran);
}

TEST(MainQueueTest, BindingHandsTheQueueOverFromTheLibraryThread) {
  MainQueue queue(Clock::real(), MainQueueMode::kOwnThreadUnlessBound);
  EXPECT_TRUE(queue.sync([] {}));  // runs on the library's thread
  ASSERT_TRUE(queue.runsOnOwnThread());
  queue.bindToCurrentThread();
  EXPECT_FALSE(queue.runsOnOwnThread());
  std::vector<std::thread::id> ranOn;
  std::thread([&] {
    for (int i = 0; i < 3; ++i) queue.async([&] { ranOn.push_back(std::this_thread::get_id()); });
  }).join();
  // The library's thread takes none of them: they wait for this thread.
  EXPECT_EQ(queue.pendingCount(), 3u);
  EXPECT_EQ(queue.drain(), 3u);
  EXPECT_EQ(ranOn, std::vector<std::thread::id>(3, std::this_thread::get_id()));
}

// A caller on another thread waits for the main thread (this one) within a
// limit of 5 s on a fake clock.
struct BoundedCaller {
  explicit BoundedCaller(MainQueue& queue, const tltest::FakeClock& clock, bool* ran) {
    thread = std::thread([&queue, &clock, ran, this] {
      outcome.set_value(queue.syncWithin([ran] { *ran = true; }, clock, 5s));
    });
  }
  ~BoundedCaller() { thread.join(); }
  std::promise<MainQueue::SyncOutcome> outcome;
  std::thread thread;
};

TEST(MainQueueTest, BoundedCallThatNobodyTakesIsWithdrawnOnceTheLimitPasses) {
  tltest::FakeClock clock;
  MainQueue queue;
  queue.bindToCurrentThread();
  bool ran = false;
  auto deadline = clock.steadyNow() + 5s;
  {
    BoundedCaller caller(queue, clock, &ran);
    auto outcome = caller.outcome.get_future();
    ASSERT_TRUE(clock.awaitDeadline(deadline));
    clock.advance(4999ms);
    EXPECT_EQ(outcome.wait_for(20ms), std::future_status::timeout);
    clock.advance(1ms);
    EXPECT_EQ(outcome.get(), MainQueue::SyncOutcome::kTimedOut);
  }
  // While the main thread has taken nothing since, the next call gives up
  // at once, without queuing anything.
  EXPECT_EQ(queue.pendingCount(), 1u);
  EXPECT_EQ(std::async(std::launch::async, [&] {
              return queue.syncWithin([&] { ran = true; }, clock, 5s);
            }).get(),
            MainQueue::SyncOutcome::kTimedOut);
  EXPECT_EQ(queue.pendingCount(), 1u);
  // The withdrawn block never runs, even when the thread pumps again.
  EXPECT_EQ(queue.drain(), 1u);
  EXPECT_FALSE(ran);
  // Pumping again ends the stall: the next call waits and is taken.
  std::atomic<bool> returned{false};
  std::thread again([&] {
    EXPECT_EQ(queue.syncWithin([&] { ran = true; }, clock, 5s), MainQueue::SyncOutcome::kRan);
    returned = true;
    queue.async([] {});  // wakes runUntil below
  });
  EXPECT_TRUE(queue.runUntil([&] { return returned.load(); }, 10s));
  again.join();
  EXPECT_TRUE(ran);
}

TEST(MainQueueTest, BoundedCallThatHasStartedIsWaitedForPastTheLimit) {
  tltest::FakeClock clock;
  MainQueue queue;
  queue.bindToCurrentThread();
  std::atomic<bool> ran{false};
  std::promise<MainQueue::SyncOutcome> outcome;
  std::thread caller([&] {
    outcome.set_value(queue.syncWithin(
        [&] {
          clock.advance(1min);  // the delegate call outlasts the limit
          ran = true;
        },
        clock, 5s));
  });
  while (queue.pendingCount() == 0) std::this_thread::yield();
  EXPECT_EQ(queue.drain(), 1u);
  EXPECT_EQ(outcome.get_future().get(), MainQueue::SyncOutcome::kRan);
  EXPECT_TRUE(ran);
  caller.join();
}

TEST(MainQueueTest, ShutDownReleasesWaitingCallersAndTakesNoMore) {
  tltest::FakeClock clock;
  MainQueue queue(Clock::real(), MainQueueMode::kOwnThreadUnlessBound);
  queue.bindToCurrentThread();
  bool ran = false;
  std::promise<MainQueue::SyncOutcome> outcome;
  std::thread caller([&] { outcome.set_value(queue.syncWithin([&] { ran = true; }, clock, 5s)); });
  while (queue.pendingCount() == 0) std::this_thread::yield();
  queue.shutDown();
  EXPECT_EQ(outcome.get_future().get(), MainQueue::SyncOutcome::kDropped);
  caller.join();
  EXPECT_TRUE(queue.isShutDown());
  queue.async([&] { ran = true; });
  EXPECT_EQ(queue.pendingCount(), 0u);
  EXPECT_FALSE(std::async(std::launch::async, [&] { return queue.sync([&] { ran = true; }); }).get());
  EXPECT_FALSE(ran);
  queue.shutDown();  // again: nothing happens
}

TEST(MainQueueTest, ShutDownJoinsTheLibraryThread) {
  MainQueue queue(Clock::real(), MainQueueMode::kOwnThreadUnlessBound);
  EXPECT_TRUE(queue.sync([] {}));
  ASSERT_TRUE(queue.runsOnOwnThread());
  queue.shutDown();
  EXPECT_FALSE(queue.runsOnOwnThread());
}

TEST(SafeDispatchTest, SyncCallThatTheMainThreadDoesNotTakeIsDroppedWithAWarningNamingTheCaller) {
  tltest::FakeClock clock;
  Dispatcher::Options options{&clock, TimerMode::kManual, 1, false};
  options.mainQueueWaitLimit = 2500ms;
  Dispatcher dispatcher(options);
  dispatcher.mainQueue()->bindToCurrentThread();  // and never pumped
  auto sink = std::make_shared<WarningSink>();
  TLLogger::sharedLogger().setDelegate(sink);
  bool ran = false;
  const auto deadline = clock.steadyNow() + 2500ms;
  std::thread engine([&] {
    SafeDispatch(dispatcher).safeDispatchSyncOnMainQueue([&] { ran = true; }, "TRIGGER");
  });
  ASSERT_TRUE(clock.awaitDeadline(deadline));
  clock.advance(2500ms);
  engine.join();
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_FALSE(ran);
  EXPECT_EQ(sink->lines(), std::vector<std::string>{
                               "-[NSObject(SafeDispatch) safeDispatchSyncOnMainQueue:] | TRIGGER: "
                               "the main queue did not take the call within 2500 ms; the call is "
                               "dropped (the thread bound to the main queue does not pump it)"});
}

TEST(DispatcherTest, ShutDownRunsTheGlobalQueueDropsTimersAndStopsTakingBlocks) {
  tltest::FakeClock clock;
  Dispatcher dispatcher(Dispatcher::Options{&clock, TimerMode::kManual, 2, false});
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> globalRuns{0};
  // Two blocks hold both workers; a third waits behind them.
  for (int i = 0; i < 3; ++i) {
    dispatcher.globalQueue()->async([&, released] {
      released.wait();
      ++globalRuns;
    });
  }
  bool timerRan = false;
  SafeDispatch(dispatcher).dispatchOnQueue(dispatcher.globalQueue(), [&] { timerRan = true; }, 1);
  std::thread shutter([&] { dispatcher.shutDown(); });
  release.set_value();
  shutter.join();
  EXPECT_EQ(globalRuns.load(), 3);  // what was queued still ran
  clock.advance(2s);
  dispatcher.timers().pump();
  bool late = false;
  dispatcher.globalQueue()->async([&] { late = true; });
  dispatcher.mainQueue()->async([&] { late = true; });
  EXPECT_FALSE(timerRan);
  EXPECT_FALSE(late);
  EXPECT_EQ(dispatcher.mainQueue()->pendingCount(), 0u);
}

TEST(DelayedBlockTest, FiringThatTheQueueDropsUnrunCancelsTheTimerAndLetsItsBlockGo) {
  tltest::FakeClock clock;
  TimerService timers(clock, TimerMode::kManual);
  auto queue = std::make_shared<MainQueue>();
  queue->bindToCurrentThread();
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> held = token;
  TimerHandle handle = timers.schedule(1s, queue, [token] {});
  token.reset();
  clock.advance(1s);
  timers.pump();  // the firing waits on the queue...
  queue->shutDown();  // ...which drops it
  EXPECT_TRUE(held.expired());
  EXPECT_FALSE(handle.cancel());  // it never runs, and there is nothing left to cancel
}

TEST(DelayedBlockTest, RunsOnceAtItsTimeAndNotBefore) {
  ManualDispatch d;
  int runs = 0;
  CancelHandle handle = d.safe.dispatchOnMainQueue([&] { ++runs; }, 0.5);
  d.advance(499ms);
  EXPECT_EQ(runs, 0);
  d.advance(1ms);
  EXPECT_EQ(runs, 1);
  d.safe.cancelDelayedBlock(handle);  // after it ran: changes nothing
  handle(false);
  d.advance(1s);
  EXPECT_EQ(runs, 1);
}

TEST(DelayedBlockTest, CancelledInTimeNeverRuns) {
  ManualDispatch d;
  int runs = 0;
  CancelHandle handle = d.safe.dispatchOnMainQueue([&] { ++runs; }, 0.5);
  d.advance(100ms);
  d.safe.cancelDelayedBlock(handle);
  d.advance(1s);
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(d.dispatcher.timers().pendingCount(), 0u);
}

TEST(DelayedBlockTest, OnAnotherQueueRunsThereAfterTheFiring) {
  ManualDispatch d;
  auto serial = std::make_shared<SerialQueue>("worker");
  std::promise<bool> on_serial;
  d.safe.dispatchOnQueue(serial, [&] { on_serial.set_value(serial->isCurrent()); }, 0.25);
  d.advance(250ms);
  EXPECT_TRUE(on_serial.get_future().get());
}

TEST(DelayedBlockTest, UnderATestHostWaitsInTheSharedBlockQueue) {
  TLBlockQueue::sharedBlockQueue().removeAll();
  ManualDispatch d(/*testHost=*/true);
  int runs = 0;
  CancelHandle first = d.safe.dispatchOnMainQueue([&] { runs += 1; }, 10);
  CancelHandle second = d.safe.dispatchOnMainQueue([&] { runs += 10; }, 10);
  EXPECT_EQ(TLBlockQueue::sharedBlockQueue().count(), 2u);
  d.advance(1min);
  EXPECT_EQ(runs, 0);
  d.safe.cancelDelayedBlock(first);
  EXPECT_EQ(TLBlockQueue::sharedBlockQueue().count(), 1u);
  EXPECT_TRUE(TLBlockQueue::sharedBlockQueue().popAndDoBlock());
  EXPECT_EQ(runs, 10);
  EXPECT_FALSE(TLBlockQueue::sharedBlockQueue().popAndDoBlock());
}

TEST(DelayedBlockTest, RacingCancelAndFiringNeverRunTwice) {
  TimerService timers;  // real clock, own thread
  auto queue = std::make_shared<SerialQueue>("race");
  constexpr int kRounds = 300;
  std::vector<std::atomic<int>> runs(kRounds);
  std::vector<bool> cancelled(kRounds);
  for (int i = 0; i < kRounds; ++i) {
    TimerHandle handle = timers.schedule(0ns, queue, [&runs, i] { runs[i]++; });
    if (i % 3 == 0) std::this_thread::yield();
    cancelled[i] = handle.cancel();
  }
  // A timer that was not cancelled has started (or is about to run) on the
  // queue; wait for those runs, then for anything queued behind them.
  const int expected = static_cast<int>(std::count(cancelled.begin(), cancelled.end(), false));
  auto total = [&] {
    int sum = 0;
    for (auto& r : runs) sum += r.load();
    return sum;
  };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (total() < expected && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  queue->sync([] {});
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_EQ(runs[i].load(), cancelled[i] ? 0 : 1) << "round " << i;
  }
}

TEST(DelayedBlockTest, CancelHandleRacingItsFiringRunsAtMostOnce) {
  Dispatcher dispatcher(Dispatcher::Options{&Clock::real(), TimerMode::kThreaded, 2, false});
  SafeDispatch safe(dispatcher);
  auto queue = std::make_shared<SerialQueue>("race");
  constexpr int kRounds = 300;
  std::vector<std::atomic<int>> runs(kRounds);
  std::vector<CancelHandle> handles;
  for (int i = 0; i < kRounds; ++i) {
    handles.push_back(safe.dispatchOnQueue(queue, [&runs, i] { runs[i]++; }, 0));
    if (i % 2 == 0) safe.cancelTimerBlock(handles.back());
  }
  // Every handle gets called: at once when cancelled, else by its firing,
  // which queues the block once more on the queue.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline &&
         !std::all_of(handles.begin(), handles.end(), [](const CancelHandle& h) { return h.used(); })) {
    std::this_thread::yield();
  }
  queue->sync([] {});
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_LE(runs[i].load(), 1) << "round " << i;
    if (i % 2 == 1) {
      EXPECT_EQ(runs[i].load(), 1) << "round " << i;
    }
    EXPECT_TRUE(handles[i].used());
  }
}

TEST(SerialQueueTest, RunsInOrderAndSyncFromItselfRunsInline) {
  auto queue = std::make_shared<SerialQueue>("serial");
  std::vector<int> order;
  for (int i = 0; i < 5; ++i) queue->async([&, i] { order.push_back(i); });
  bool nested = false;
  EXPECT_TRUE(queue->sync([&] { queue->sync([&] { nested = true; }); }));
  EXPECT_TRUE(nested);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(SerialQueueTest, WatchesADescriptorUntilCancelled) {
  auto queue = std::make_shared<SerialQueue>("watcher");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::promise<char> got;
  std::promise<void> closed;
  SerialQueue::WatchId id = 0;
  queue->sync([&] {
    id = queue->addWatch(fds[0], Readiness::kRead,
                         [&] {
                           char c = 0;
                           ASSERT_EQ(::read(fds[0], &c, 1), 1);
                           got.set_value(c);
                           queue->cancelWatch(id);  // from inside its own handler
                         },
                         [&] {
                           ::close(fds[0]);
                           closed.set_value();
                         });
    queue->resumeWatch(id);
  });
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_EQ(got.get_future().get(), 'x');
  closed.get_future().get();
  ::close(fds[1]);
  EXPECT_THROW(queue->addWatch(0, Readiness::kRead, [] {}), std::logic_error);  // off the queue
}

// A block that lets the last reference go (an app's exit() from inside it,
// whose shutdown lets the queue go) lets the queue's thread go: the block
// goes on, on no queue any more, and nothing behind it runs.
TEST(SerialQueueTest, DestroyedFromItsOwnBlockLetsItsThreadGo) {
  auto queue = std::make_shared<SerialQueue>("own");
  static const char kKey = 0;
  int value = 1;
  queue->setSpecific(&kKey, &value);
  std::promise<void> released, behindGone;
  std::promise<void*> specificAfter;
  std::atomic<bool> behindRan{false};
  queue->async([&, q = queue]() mutable {
    released.get_future().wait();
    q.reset();
    specificAfter.set_value(DispatchQueue::getSpecific(&kKey));
  });
  std::shared_ptr<void> sentinel(nullptr, [&](void*) { behindGone.set_value(); });
  queue->async([&, sentinel] { behindRan = true; });
  sentinel.reset();
  queue.reset();
  released.set_value();
  EXPECT_EQ(specificAfter.get_future().get(), nullptr);
  behindGone.get_future().wait();
  EXPECT_FALSE(behindRan.load());
}

TEST(SerialQueueTest, TargetingQueueRunsItsBlocksInOrderOnTheTargetsThread) {
  auto target = std::make_shared<SerialQueue>("target");
  std::thread::id targetThread;
  target->sync([&] { targetThread = std::this_thread::get_id(); });
  auto inner = std::make_unique<SerialQueue>("inner", target);
  std::vector<std::string> order;  // touched on the target's thread only
  struct Seen {
    bool innerCurrent, targetCurrent;
    std::thread::id thread;
  };
  std::vector<Seen> seen;
  for (int i = 0; i < 3; ++i) {
    inner->async([&, i] {
      order.push_back("inner" + std::to_string(i));
      seen.push_back({inner->isCurrent(), target->isCurrent(), std::this_thread::get_id()});
    });
    target->async([&, i] {
      order.push_back("target" + std::to_string(i));
      seen.push_back({inner->isCurrent(), target->isCurrent(), std::this_thread::get_id()});
    });
  }
  // Waiting for the targeting queue from its target's own block would wait
  // for itself; from inside its own block, sync runs inline.
  bool inline_ = false;
  EXPECT_TRUE(inner->sync([&] { inner->sync([&] { inline_ = true; }); }));
  EXPECT_TRUE(inline_);
  EXPECT_FALSE(inner->isCurrent());
  target->sync([] {});
  EXPECT_EQ(order, (std::vector<std::string>{"inner0", "target0", "inner1", "target1", "inner2", "target2"}));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].innerCurrent, i % 2 == 0) << i;
    EXPECT_TRUE(seen[i].targetCurrent) << i;
    EXPECT_EQ(seen[i].thread, targetThread) << i;
  }
  // Destroying it waits for what it handed over, which still runs.
  std::atomic<bool> release{false};
  std::atomic<int> ran{0};
  target->async([&] {
    while (!release) std::this_thread::yield();
  });
  inner->async([&] { ++ran; });
  std::thread destroyer([&] { inner.reset(); });
  release = true;
  destroyer.join();
  EXPECT_EQ(ran.load(), 1);
}

TEST(SerialQueueTest, TargetingQueueWatchesRunAsItsOwnBlocks) {
  auto target = std::make_shared<SerialQueue>("target");
  auto inner = std::make_shared<SerialQueue>("inner", target);
  SerialQueue* innerQueue = inner.get();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::promise<bool> handlerOnInner;
  std::promise<void> closed;
  SerialQueue::WatchId id = 0;
  inner->sync([&] {
    id = inner->addWatch(fds[0], Readiness::kRead,
                         [&] {
                           char c = 0;
                           ASSERT_EQ(::read(fds[0], &c, 1), 1);
                           const bool asItsOwn = innerQueue->isCurrent() && target->isCurrent();
                           innerQueue->suspendWatch(id);
                           handlerOnInner.set_value(asItsOwn);
                         },
                         [&] {
                           ::close(fds[0]);
                           closed.set_value();
                         });
    inner->resumeWatch(id);
  });
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_TRUE(handlerOnInner.get_future().get());
  // Watches still open when the queue goes are cancelled with it.
  inner.reset();
  closed.get_future().get();
  ::close(fds[1]);
}

TEST(QueueSpecificTest, FoundOnTheCurrentQueueOrAQueueItTargets) {
  static const char key = 0, otherKey = 0;
  int innerValue = 1, targetValue = 2;
  auto target = std::make_shared<SerialQueue>("target");
  auto inner = std::make_shared<SerialQueue>("inner", target);
  auto unrelated = std::make_shared<SerialQueue>("unrelated");
  inner->setSpecific(&key, &innerValue);
  target->setSpecific(&key, &targetValue);
  target->setSpecific(&otherKey, &targetValue);
  EXPECT_EQ(inner->getSpecificValue(&key), &innerValue);
  EXPECT_EQ(inner->getSpecificValue(&otherKey), nullptr);
  EXPECT_EQ(DispatchQueue::getSpecific(&key), nullptr);  // off every queue

  void *innerKey = nullptr, *innerOther = nullptr, *targetKey = nullptr, *unrelatedKey = nullptr;
  inner->sync([&] {
    innerKey = DispatchQueue::getSpecific(&key);
    innerOther = DispatchQueue::getSpecific(&otherKey);  // from the target
  });
  target->sync([&] { targetKey = DispatchQueue::getSpecific(&key); });
  unrelated->sync([&] { unrelatedKey = DispatchQueue::getSpecific(&key); });
  EXPECT_EQ(innerKey, &innerValue);
  EXPECT_EQ(innerOther, &targetValue);
  EXPECT_EQ(targetKey, &targetValue);
  EXPECT_EQ(unrelatedKey, nullptr);

  target->setSpecific(&key, nullptr);
  target->sync([&] { targetKey = DispatchQueue::getSpecific(&key); });
  EXPECT_EQ(targetKey, nullptr);

  // A main-queue block sees the main queue's values.
  ManualDispatch d;
  d.dispatcher.mainQueue()->setSpecific(&key, &innerValue);
  void* onMain = nullptr;
  d.dispatcher.mainQueue()->async([&] { onMain = DispatchQueue::getSpecific(&key); });
  d.dispatcher.mainQueue()->drain();
  EXPECT_EQ(onMain, &innerValue);
}

}  // namespace
}  // namespace tembrolexinplatform
