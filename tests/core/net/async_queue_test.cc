#include "core/net/async_queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/net/outcome_util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/http_test_server.h"

namespace tembrolexinsdk::Http {
namespace {

using std::chrono::milliseconds;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
using tltest::HttpReply;
using tltest::HttpTestServer;
using tltest::Outcome;

// Collects the queue's log lines.
class LogListener : public IProcessorListener {
 public:
  void onProcessorEvent(const INamedObject*, const IProcessorEventParams*) override {}
  void onLogEvent(const INamedObject*, const LogParams* params) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(params->getMessage());
  }
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {}
  void onFailed(const FailureParams&) override {}
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override { return nullptr; }

  bool contains(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class AsyncQueueTest : public ::testing::Test {
 protected:
  std::unique_ptr<Configuration> get(const std::string& path, Outcome& outcome) {
    return std::make_unique<Configuration>(server.url(path), outcome.stringWriter(), log);
  }
  // Runs an empty function through `queue` and waits for it: every event
  // registered before it (at time 0) has run.
  static void drain(AsyncQueue& queue) {
    std::promise<void> ran;
    queue.registerFunction([&] { ran.set_value(); }, milliseconds(0));
    ASSERT_EQ(ran.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }

  HttpTestServer server;
  LogListener listener;
  Log log{&listener, nullptr};
};

TEST_F(AsyncQueueTest, ImmediateRequestsRunInOrderOnTheQueueThread) {
  server.route("/1", tltest::replyWith(200, "one").after(milliseconds(50)));
  server.route("/2", tltest::replyWith(200, "two"));
  AsyncQueue queue(true, log);
  Outcome first, second;
  queue.addRequest(get("/1", first), AsyncQueue::Immediate, TimingEvent::kOneShotRemove);
  queue.addRequest(get("/2", second), AsyncQueue::Immediate, TimingEvent::kOneShotRemove);
  ASSERT_TRUE(second.await());
  ASSERT_TRUE(first.await());
  EXPECT_EQ(first.body, "one");
  EXPECT_EQ(second.body, "two");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/1");  // the slow one was not overtaken
  EXPECT_EQ(first.thread, second.thread);
  EXPECT_NE(first.thread, std::this_thread::get_id());
}

TEST_F(AsyncQueueTest, DeferredRequestWaitsForPerformAndCanRunAgain) {
  server.route("/d", tltest::replyWith(200, "d"));
  AsyncQueue queue(true, log);
  Outcome outcome;
  const int id = queue.addRequest(get("/d", outcome), AsyncQueue::Deferred, TimingEvent::kOneShot);
  drain(queue);
  EXPECT_EQ(server.requestCount(), 0u);
  queue.perform(id);
  ASSERT_TRUE(outcome.await(1));
  // The writer reports before its event has finished; a repeat may only be
  // scheduled once that event is over.
  drain(queue);
  queue.perform(id);
  ASSERT_TRUE(outcome.await(2));
  EXPECT_EQ(outcome.body, "d");
  EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(AsyncQueueTest, UnknownIdsThrowOnPerformAndRemove) {
  AsyncQueue queue(true, log);
  EXPECT_THAT([&] { queue.perform(-5); },
              ThrowsMessage<std::out_of_range>(StrEq("map::at:  key not found")));
  EXPECT_THAT([&] { queue.remove(-5); },
              ThrowsMessage<std::out_of_range>(StrEq("map::at:  key not found")));
}

TEST_F(AsyncQueueTest, BatchRunsInParallelThenDoneOnce) {
  server.route("/hang", tltest::hangingReply());
  server.route("/ok", tltest::replyWith(200, "ok"));
  AsyncQueue queue(true, log);
  Outcome hanging, ok, removed;
  const int a = queue.addRequest(get("/hang", hanging), AsyncQueue::Deferred, 1);
  const int b = queue.addRequest(get("/ok", ok), AsyncQueue::Deferred, 1);
  const int gone = queue.addRequest(get("/ok", removed), AsyncQueue::Deferred, 1);
  // Removing a request while its build event runs is refused as "in
  // progress": the builds come first.
  drain(queue);
  queue.remove(gone);
  std::promise<int> done;
  int doneCalls = 0;
  queue.perform({a, gone, b}, [&] { done.set_value(++doneCalls); });
  // The second request is served while the first still hangs: parallel.
  ASSERT_TRUE(server.awaitRequests(2));
  ASSERT_TRUE(ok.await());
  // Held by the running batch: neither freed nor performed a second time.
  EXPECT_THAT([&] { queue.remove(a); },
              ThrowsMessage<std::invalid_argument>(
                  StrEq("Cannot cancel an event currently in progress")));
  EXPECT_THAT([&] { queue.perform(a); },
              ThrowsMessage<std::invalid_argument>(
                  StrEq("Cannot replace an event that is currently in progress")));
  server.releaseHangs();
  auto future = done.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(future.get(), 1);
  EXPECT_EQ(hanging.calls, 1);
  EXPECT_EQ(hanging.error, 52);
  EXPECT_EQ(removed.calls, 0);
  drain(queue);
  queue.remove(a);
  EXPECT_EQ(queue.size(), 1u);
}

TEST_F(AsyncQueueTest, SingleAndEmptyListsRunDoneAfterwards) {
  server.route("/s", tltest::replyWith(200, "s"));
  AsyncQueue queue(true, log);
  Outcome outcome;
  const int id = queue.addRequest(get("/s", outcome), AsyncQueue::Deferred, 1);
  for (const std::list<int>& ids : {std::list<int>{id}, std::list<int>{}}) {
    std::promise<std::thread::id> done;
    queue.perform(ids, [&] { done.set_value(std::this_thread::get_id()); });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NE(future.get(), std::this_thread::get_id());
  }
  EXPECT_EQ(outcome.calls, 1);  // the single request ran before its done
}

TEST_F(AsyncQueueTest, SingleListRequestIsHeldWhileItRuns) {
  server.route("/hang", tltest::hangingReply());
  AsyncQueue queue(true, log);
  Outcome outcome;
  const int id = queue.addRequest(get("/hang", outcome), AsyncQueue::Deferred, 1);
  std::promise<void> done;
  queue.perform({id}, [&] { done.set_value(); });
  ASSERT_TRUE(server.awaitRequests(1));
  // Its transfer is running on the queue's thread.
  EXPECT_THROW(queue.remove(id), std::invalid_argument);
  EXPECT_THROW(queue.perform(id), std::invalid_argument);
  server.releaseHangs();
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(outcome.calls, 1);
  drain(queue);
  queue.remove(id);
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(AsyncQueueTest, StartDelayHoldsRequestsBack) {
  tltest::FakeClock clock;
  server.route("/late", tltest::replyWith(200, "late"));
  AsyncQueue queue(false, log, TransferLimits(), clock);
  Outcome outcome;
  queue.addRequest(get("/late", outcome), AsyncQueue::Immediate, TimingEvent::kOneShotRemove);
  queue.start(milliseconds(5000));
  const auto waits = clock.waitCount();
  clock.advance(milliseconds(4900));
  ASSERT_TRUE(clock.awaitWaits(waits + 1));
  EXPECT_EQ(server.requestCount(), 0u);
  clock.advance(milliseconds(100));
  ASSERT_TRUE(outcome.await());
  EXPECT_EQ(outcome.body, "late");
}

TEST_F(AsyncQueueTest, BadConfigurationIsLoggedAndNeverReported) {
  AsyncQueue queue(true, log);
  Outcome outcome;
  auto config = get("/x", outcome);
  config->setOption(static_cast<CURLoption>(99999), 1L);
  const int id = queue.addRequest(std::move(config), AsyncQueue::Immediate, 1);
  drain(queue);
  queue.perform({id}, nullptr);
  drain(queue);
  EXPECT_TRUE(listener.contains(
      "Could not configure Http Request, invalid configuration. Exception: Exception in "
      "HttpRequest::setOption(), Could not set option 99999 : error code 48"));
  EXPECT_EQ(outcome.calls, 0);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(AsyncQueueTest, ThrowingCallbacksDoNotStopTheQueue) {
  server.route("/t", tltest::replyWith(200, "t"));
  AsyncQueue queue(true, log);
  auto throwing = std::make_unique<Configuration>(
      server.url("/t"),
      std::make_unique<Writer<std::stringstream>>(
          [](const std::string&, long) { throw std::runtime_error("boom"); }, nullptr),
      log);
  const int id = queue.addRequest(std::move(throwing), AsyncQueue::Immediate, 1);
  bool doneRan = false;
  queue.perform({id}, [&] { doneRan = true; });
  queue.registerFunction([] { throw 42; }, milliseconds(0));
  Outcome after;
  queue.addRequest(get("/t", after), AsyncQueue::Immediate, 1);
  ASSERT_TRUE(after.await());
  drain(queue);
  EXPECT_FALSE(doneRan);
  EXPECT_TRUE(listener.contains("Exception on the queue thread: boom"));
  EXPECT_TRUE(listener.contains("Unknown exception on the queue thread"));
}

TEST_F(AsyncQueueTest, StalledServerIsAbandonedAfterTheLowSpeedTimeOut) {
  server.route("/stall", tltest::hangingReply());
  TransferLimits limits;
  limits.lowSpeedTime = std::chrono::seconds(1);
  AsyncQueue queue(true, log, limits);
  Outcome stalled;
  queue.addRequest(get("/stall", stalled), AsyncQueue::Immediate, 1);
  ASSERT_TRUE(stalled.await());
  EXPECT_EQ(stalled.error, 28);
}

TEST_F(AsyncQueueTest, DestructionAbortsARunningTransfer) {
  server.route("/stall", tltest::hangingReply());
  Outcome stalled;
  {
    AsyncQueue queue(true, log);  // default limits: a minute
    queue.addRequest(get("/stall", stalled), AsyncQueue::Immediate, 1);
    ASSERT_TRUE(server.awaitRequests(1));
  }
  EXPECT_EQ(stalled.calls, 1);
  EXPECT_EQ(stalled.error, 42);
}

TEST_F(AsyncQueueTest, RunningRequestRefusesPerformAndRemoveFromItsOwnCallback) {
  server.route("/r", tltest::replyWith(200, "r"));
  AsyncQueue queue(true, log);
  std::promise<std::string> refusals;
  int id = 0;
  const auto refusal = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  auto config = std::make_unique<Configuration>(
      server.url("/r"),
      std::make_unique<Writer<std::stringstream>>(
          [&](const std::string&, long) {
            refusals.set_value(refusal([&] { queue.perform(id); }) + " / " +
                               refusal([&] { queue.remove(id); }));
          },
          nullptr),
      log);
  id = queue.addRequest(std::move(config), AsyncQueue::Deferred, 1);
  queue.perform(id);
  EXPECT_EQ(refusals.get_future().get(),
            "Cannot replace an event that is currently in progress / Cannot cancel an event "
            "currently in progress");
  drain(queue);
  EXPECT_EQ(queue.size(), 1u);  // still there, and free to go now
  queue.remove(id);
  EXPECT_EQ(queue.size(), 0u);
}

TEST(QueueElementTest, IdsWrapToZeroBeforeTheLargestInt) {
  QueueElement::idCounter = INT_MAX - 1;
  std::vector<int> ids;
  for (int i = 0; i < 3; ++i) {
    ids.push_back(QueueElement(nullptr, 1, Log(nullptr, nullptr), nullptr, nullptr).id());
  }
  EXPECT_EQ(ids, (std::vector<int>{INT_MAX - 1, 0, 1}));
}

}  // namespace
}  // namespace tembrolexinsdk::Http
