#include "core/runtime/timed_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinsdk {
namespace {

using std::chrono::milliseconds;

// Counts callbacks; lets the test wait (in real time, bounded) for a count.
class Counter {
 public:
  void hit() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    cv_.notify_all();
  }
  int count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  bool await(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
};

class TimedEventTest : public ::testing::Test {
 protected:
  // Waits until the thread has looked at the clock twice more, so that at
  // least one full check happened after whatever the test just did.
  void settle() { ASSERT_TRUE(clock_.awaitWaits(clock_.waitCount() + 2)); }
  // Waits until a countdown of `delay` from the fake clock's present time is
  // running (a poll during an earlier countdown does not count).
  void countdownStarted(milliseconds delay) {
    ASSERT_TRUE(clock_.awaitDeadline(clock_.steadyNow() + delay));
  }

  tltest::FakeClock clock_;
  Counter counter_;
};

TEST_F(TimedEventTest, FiresAfterDelay) {
  TimedEvent event([&] { counter_.hit(); }, clock_);
  event.DoEventAfter(milliseconds(100));
  countdownStarted(milliseconds(100));
  clock_.advance(milliseconds(99));
  settle();
  EXPECT_EQ(counter_.count(), 0);
  clock_.advance(milliseconds(1));
  ASSERT_TRUE(counter_.await(1));
  clock_.advance(milliseconds(1000));
  event.DoEventAfter(milliseconds(0));  // requests are handled in order
  ASSERT_TRUE(counter_.await(2));
  EXPECT_EQ(counter_.count(), 2);
}

TEST_F(TimedEventTest, QuickRestartsDebounce) {
  TimedEvent event([&] { counter_.hit(); }, clock_);
  event.DoEventAfter(milliseconds(100));
  countdownStarted(milliseconds(100));
  clock_.advance(milliseconds(50));
  event.DoEventAfter(milliseconds(100));
  countdownStarted(milliseconds(100));  // the new countdown began at 50 ms
  clock_.advance(milliseconds(99));
  settle();
  EXPECT_EQ(counter_.count(), 0);  // 149 ms after the first call
  clock_.advance(milliseconds(1));
  ASSERT_TRUE(counter_.await(1));
  // Once more from idle: a single further callback.
  event.DoEventAfter(milliseconds(0));
  ASSERT_TRUE(counter_.await(2));
  EXPECT_EQ(counter_.count(), 2);
}

TEST_F(TimedEventTest, ZeroOrNegativeDelayFiresAtOnce) {
  TimedEvent event([&] { counter_.hit(); }, clock_);
  event.DoEventAfter(milliseconds(0));
  ASSERT_TRUE(counter_.await(1));
  event.DoEventAfter(milliseconds(-5));
  ASSERT_TRUE(counter_.await(2));
}

TEST_F(TimedEventTest, CancelNeverFires) {
  TimedEvent event([&] { counter_.hit(); }, clock_);
  // Cancelled while counting down.
  event.DoEventAfter(milliseconds(100));
  countdownStarted(milliseconds(100));
  event.Cancel();
  clock_.advance(milliseconds(1000));
  // Cancelled before the thread even took the request.
  event.DoEventAfter(milliseconds(100));
  event.Cancel();
  clock_.advance(milliseconds(1000));
  // Cancel on an idle event changes nothing.
  event.Cancel();
  // The thread handles requests in order: had a cancelled countdown fired,
  // it would show before this one.
  event.DoEventAfter(milliseconds(0));
  ASSERT_TRUE(counter_.await(1));
  EXPECT_EQ(counter_.count(), 1);
}

TEST_F(TimedEventTest, HugeDelayIsClampedToTheLimit) {
  TimedEvent event([&] { counter_.hit(); }, clock_);
  event.DoEventAfter(milliseconds::max());
  countdownStarted(milliseconds(kMaxTimerMillis));
  clock_.advance(milliseconds(kMaxTimerMillis - 1));
  settle();
  EXPECT_EQ(counter_.count(), 0);
  clock_.advance(milliseconds(1));
  ASSERT_TRUE(counter_.await(1));
}

TEST_F(TimedEventTest, DestroyingWithCountdownRunningNeverFires) {
  {
    TimedEvent event([&] { counter_.hit(); }, clock_);
    event.DoEventAfter(milliseconds(100));
    countdownStarted(milliseconds(100));
    clock_.advance(milliseconds(99));
  }
  clock_.advance(milliseconds(1000));
  EXPECT_EQ(counter_.count(), 0);
}

TEST_F(TimedEventTest, DestructorLogsEntryAndExitAtDebug) {
  tltest::LogCapture log;
  {
    TimedEvent event([] {}, clock_);
  }
  const auto lines = log.matching("TimedEvent: destructor");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "TimedEvent: destructor entry");
  EXPECT_EQ(lines[1].message, "TimedEvent: destructor exit");
  for (const auto& l : lines) {
    EXPECT_EQ(l.level, 1);
    EXPECT_EQ(l.sender, "<Unknown object>");
  }
}

TEST_F(TimedEventTest, CallbackExceptionsAreLoggedAndEventCanBeRearmed) {
  tltest::LogCapture log;
  std::atomic<int> calls{0};
  TimedEvent event(
      [&] {
        const int n = ++calls;
        if (n == 1) throw std::runtime_error("bad thing");
        if (n == 2) throw 7;
        counter_.hit();
      },
      clock_);
  // One request at a time: quick requests would be merged into one.
  for (int n = 1; n <= 3; ++n) {
    event.DoEventAfter(milliseconds(0));
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (calls.load() < n && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  ASSERT_TRUE(counter_.await(1));
  const auto lines = log.matching("TimedEvent thread died");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "TimedEvent thread died with an exception: bad thing");
  EXPECT_EQ(lines[1].message, "TimedEvent thread died with an unknown exception");
  for (const auto& l : lines) {
    EXPECT_EQ(l.level, 3);
    EXPECT_EQ(l.sender, "<Unknown object>");
  }
}

TEST_F(TimedEventTest, RearmAndCancelFromOwnCallbackDoNotDeadlock) {
  std::atomic<int> calls{0};
  std::unique_ptr<TimedEvent> event;
  event = std::make_unique<TimedEvent>(
      [&] {
        const int n = ++calls;
        if (n == 1) event->DoEventAfter(milliseconds(0));  // fires again after return
        if (n == 2) {
          event->DoEventAfter(milliseconds(50));
          event->Cancel();  // and this cancels that
        }
        counter_.hit();
      },
      clock_);
  event->DoEventAfter(milliseconds(0));
  ASSERT_TRUE(counter_.await(2));
  clock_.advance(milliseconds(100));
  event->DoEventAfter(milliseconds(0));
  ASSERT_TRUE(counter_.await(3));
  EXPECT_EQ(calls.load(), 3);
}

TEST_F(TimedEventTest, DestroyedFromOwnCallback) {
  std::unique_ptr<TimedEvent> event;
  event = std::make_unique<TimedEvent>(
      [&] {
        event.reset();
        counter_.hit();
      },
      clock_);
  event->DoEventAfter(milliseconds(0));
  ASSERT_TRUE(counter_.await(1));
}

TEST_F(TimedEventTest, CancelFromAnotherThreadWaitsForRunningCallback) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> inCallback{false};
  TimedEvent event(
      [&] {
        inCallback = true;
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return release; });
      },
      clock_);
  event.DoEventAfter(milliseconds(0));
  while (!inCallback.load()) std::this_thread::yield();
  std::atomic<bool> cancelReturned{false};
  std::thread other([&] {
    event.Cancel();
    cancelReturned = true;
  });
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(cancelReturned.load());
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  other.join();
  EXPECT_TRUE(cancelReturned.load());
}

TEST(TimedEventRealClockTest, FiresNotBeforeItsDelay) {
  Counter counter;
  std::atomic<int64_t> firedAfterMs{-1};
  const auto start = std::chrono::steady_clock::now();
  TimedEvent event([&] {
    firedAfterMs =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
    counter.hit();
  });
  event.DoEventAfter(milliseconds(30));
  ASSERT_TRUE(counter.await(1));
  EXPECT_GE(firedAfterMs.load(), 30);
}

}  // namespace
}  // namespace tembrolexinsdk
