#include "core/runtime/signal_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/active_object.h"
#include "core/runtime/state_signal.h"

namespace tembrolexinsdk {
namespace {

// A signal that counts its own deletions, to pin who deletes what.
class CountedSignal : public StateSignal {
 public:
  CountedSignal(int code, std::atomic<int>* deleted) : StateSignal(code), deleted_(deleted) {}
  ~CountedSignal() override { deleted_->fetch_add(1); }

 private:
  std::atomic<int>* deleted_;
};

auto codeIs(int code) {
  return [code](StateSignal* s) { return s->GetCode() == code; };
}

TEST(StateSignalTest, DefaultCodeIsZeroAndSetCodeChangesIt) {
  StateSignal s;
  EXPECT_EQ(s.GetCode(), 0);
  s.SetCode(-7);
  EXPECT_EQ(s.GetCode(), -7);
  EXPECT_EQ(StateSignal(42).GetCode(), 42);
}

TEST(SignalQueueTest, NameIsTheClassNameWhateverTheDescription) {
  SignalQueue unnamed;
  SignalQueue named("ProcessorController");
  EXPECT_EQ(unnamed.GetName(), "SignalQueue");
  EXPECT_EQ(named.GetName(), "SignalQueue");
  EXPECT_EQ(SignalQueue::kName, "SignalQueue");
  EXPECT_EQ(unnamed.description(), "");
  EXPECT_EQ(named.description(), "SignalQueue (ProcessorController)");
}

struct DumpCase {
  std::string name;
  std::vector<int> codes;
  std::string text;
};

void PrintTo(const DumpCase& c, std::ostream* os) { *os << c.name; }

class SignalQueueDumpTest : public ::testing::TestWithParam<DumpCase> {};

TEST_P(SignalQueueDumpTest, DumpListsSizeThenCodesOldestFirst) {
  SignalQueue queue;
  for (int code : GetParam().codes) queue.push(new StateSignal(code));
  EXPECT_EQ(queue.Dump(), GetParam().text);
  EXPECT_EQ(queue.size(), GetParam().codes.size());
  EXPECT_EQ(queue.empty(), GetParam().codes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SignalQueueDumpTest,
    ::testing::Values(
        DumpCase{"Empty", {}, "Signal Queue Size: 0\n"},
        DumpCase{"One", {3}, "Signal Queue Size: 1\nSignal number: 3\n"},
        DumpCase{"Three", {5, 2, 5},
                 "Signal Queue Size: 3\nSignal number: 5\nSignal number: 2\nSignal number: 5\n"},
        DumpCase{"NegativeAndLarge", {-1, 0, 123456},
                 "Signal Queue Size: 3\nSignal number: -1\nSignal number: 0\n"
                 "Signal number: 123456\n"}),
    [](const ::testing::TestParamInfo<DumpCase>& info) { return info.param.name; });

TEST(SignalQueueTest, TakesOldestMatchAndLeavesTheRestInOrder) {
  SignalQueue queue;
  auto* first5 = new StateSignal(5);
  auto* the2 = new StateSignal(2);
  auto* second5 = new StateSignal(5);
  queue.push(first5);
  queue.push(the2);
  queue.push(second5);

  std::unique_ptr<StateSignal> got(queue.waitForMatch(codeIs(5)));
  EXPECT_EQ(got.get(), first5);
  EXPECT_EQ(queue.Dump(), "Signal Queue Size: 2\nSignal number: 2\nSignal number: 5\n");

  got.reset(queue.checkForSignal(codeIs(5)));
  EXPECT_EQ(got.get(), second5);
  got.reset(queue.checkForSignal(codeIs(2)));
  EXPECT_EQ(got.get(), the2);
  EXPECT_TRUE(queue.empty());
}

TEST(SignalQueueTest, CheckForSignalReturnsNullAndKeepsRejectedSignals) {
  SignalQueue queue;
  queue.push(new StateSignal(1));
  queue.push(new StateSignal(2));
  int calls = 0;
  StateSignal* got = queue.checkForSignal([&calls](StateSignal*) {
    ++calls;
    return false;
  });
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(calls, 2);  // every queued signal was offered, oldest first
  EXPECT_EQ(queue.Dump(), "Signal Queue Size: 2\nSignal number: 1\nSignal number: 2\n");
  EXPECT_EQ(SignalQueue().checkForSignal(codeIs(0)), nullptr);
}

// The queue reuses the slots of taken signals. Pushes, takes from the front
// and from the middle, and filtered clears, checked against a plain list
// after every step, so an off-by-one in the reuse shows as a wrong order.
TEST(SignalQueueTest, SlotReuseKeepsArrivalOrderAgainstAListModel) {
  SignalQueue queue;
  std::deque<int> model;
  std::atomic<int> deleted{0};
  uint32_t rng = 12345;
  auto next = [&rng](uint32_t n) {
    rng = rng * 1103515245u + 12345u;
    return (rng >> 16) % n;
  };
  for (int step = 0; step < 4000; ++step) {
    const int code = static_cast<int>(next(4));
    switch (next(8)) {
      case 0:
      case 1:
      case 2:
      case 3:
        queue.push(new CountedSignal(code, &deleted));
        model.push_back(code);
        break;
      case 4:
      case 5:
      case 6: {
        std::unique_ptr<StateSignal> got(queue.checkForSignal(codeIs(code)));
        auto it = std::find(model.begin(), model.end(), code);
        ASSERT_EQ(got != nullptr, it != model.end()) << "step " << step;
        if (got) model.erase(it);
        break;
      }
      default:
        if (next(8) == 0) {
          queue.clear(codeIs(code));
          model.erase(std::remove(model.begin(), model.end(), code), model.end());
        }
    }
    std::string expected = "Signal Queue Size: " + std::to_string(model.size()) + "\n";
    for (int c : model) expected += "Signal number: " + std::to_string(c) + "\n";
    ASSERT_EQ(queue.Dump(), expected) << "step " << step;
    ASSERT_EQ(queue.size(), model.size());
    ASSERT_EQ(queue.empty(), model.empty());
  }
}

TEST(SignalQueueTest, NullPushIsIgnored) {
  SignalQueue queue;
  queue.push(nullptr);
  EXPECT_TRUE(queue.empty());
}

TEST(SignalQueueTest, SignalPushedBeforeTheWaitIsFoundAtOnce) {
  SignalQueue queue;
  queue.push(new StateSignal(9));
  std::unique_ptr<StateSignal> got = queue.takeMatch(codeIs(9));
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->GetCode(), 9);
}

TEST(SignalQueueTest, WaitBlocksUntilAMatchingPushWhileOthersAccumulate) {
  SignalQueue queue;
  std::atomic<bool> returned{false};
  std::promise<int> result;
  std::thread consumer([&] {
    std::unique_ptr<StateSignal> got = queue.takeMatch(codeIs(7));
    returned = true;
    result.set_value(got->GetCode());
  });
  queue.push(new StateSignal(1));
  queue.push(new StateSignal(2));
  // The non-matching pushes woke the consumer, which must have gone back to
  // waiting. (Only a wrong early return can make this fail.)
  EXPECT_FALSE(returned.load());
  queue.push(new StateSignal(7));
  EXPECT_EQ(result.get_future().get(), 7);
  consumer.join();
  EXPECT_EQ(queue.Dump(), "Signal Queue Size: 2\nSignal number: 1\nSignal number: 2\n");
}

TEST(SignalQueueTest, DroppedSignalsAreDeletedAndTakenOnesAreNot) {
  std::atomic<int> deleted{0};
  {
    SignalQueue queue;
    for (int code : {1, 2, 3, 2, 1}) queue.push(new CountedSignal(code, &deleted));
    std::unique_ptr<StateSignal> taken = queue.takeMatch(codeIs(3));
    EXPECT_EQ(deleted, 0);

    queue.clear(codeIs(2));
    EXPECT_EQ(deleted, 2);
    EXPECT_EQ(queue.Dump(), "Signal Queue Size: 2\nSignal number: 1\nSignal number: 1\n");

    queue.clear();
    EXPECT_EQ(deleted, 4);
    EXPECT_TRUE(queue.empty());

    queue.push(new CountedSignal(8, &deleted));
    taken.reset();
    EXPECT_EQ(deleted, 5);
  }
  // The queue's destructor deleted what was still queued.
  EXPECT_EQ(deleted, 6);
}

TEST(SignalQueueTest, ClosedQueueDeletesWhatItHoldsAndWhatArrives) {
  std::atomic<int> deleted{0};
  SignalQueue queue;
  queue.push(new CountedSignal(1, &deleted));
  EXPECT_FALSE(queue.closed());
  queue.close();
  EXPECT_TRUE(queue.closed());
  EXPECT_EQ(deleted, 1);
  queue.push(new CountedSignal(2, &deleted));
  EXPECT_EQ(deleted, 2);
  EXPECT_EQ(queue.size(), 0u);
}

// Several producers push while one consumer asks for one exact code at a
// time, in an order that differs from the arrival order, so it waits again and
// again with other signals queued. A lost wake-up hangs the test.
TEST(SignalQueueTest, ManyProducersOneConsumerLosesNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 2000;
  SignalQueue queue;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&queue, p] {
      for (int i = 0; i < kPerProducer; ++i) queue.push(new StateSignal(p * kPerProducer + i));
    });
  }
  // Round robin over the producers: each producer's codes arrive in order, so
  // every wanted code arrives eventually.
  for (int i = 0; i < kPerProducer; ++i) {
    for (int p = kProducers - 1; p >= 0; --p) {
      std::unique_ptr<StateSignal> got = queue.takeMatch(codeIs(p * kPerProducer + i));
      ASSERT_EQ(got->GetCode(), p * kPerProducer + i);
    }
  }
  for (auto& t : producers) t.join();
  EXPECT_TRUE(queue.empty());
}

// The consumer ends the queue's life as soon as it has taken the signal,
// while the push that brought it may still be waking it (it wakes after
// releasing the lock). ThreadSanitizer reports a wake-up that is not ordered
// before the queue's destruction; AddressSanitizer, one that lands after it.
TEST(SignalQueueTest, QueueDeletedRightAfterTheTakeOutlivesThePush) {
  for (int round = 0; round < 500; ++round) {
    auto queue = std::make_unique<SignalQueue>();
    SignalQueue* target = queue.get();
    std::thread consumer([owned = std::move(queue)]() mutable {
      std::unique_ptr<StateSignal> got;
      while (!(got = owned->tryTakeMatch(codeIs(7)))) std::this_thread::yield();
      owned.reset();
    });
    target->push(new StateSignal(7));
    consumer.join();
  }
}

// A small active component: counts "add" signals; "pause" switches to a state
// that takes only "resume" and quit, so adds wait in the queue meanwhile.
class Counter : public ActiveObject<Counter> {
 public:
  enum Code { kAdd = 1, kPause = 2, kResume = 3, kReport = 4, kThrow = 5, kQuit = 9 };

  // Carries a promise that the component fulfils with its count.
  class ReportSignal : public StateSignal {
   public:
    ReportSignal() : StateSignal(kReport) {}
    std::promise<std::vector<int>> promise;
  };

  // What the thread reports about itself; outlives the counter.
  struct Journal {
    std::vector<std::string> failures;
    bool endStepRan = false;
  };

  explicit Counter(Journal* journal = nullptr)
      : ActiveObject(&Counter::stateRunning, &Counter::stateDone, kQuit, "Counter"),
        journal_(journal) {
    startThread();
  }
  ~Counter() override { quitAndJoin(); }

  std::vector<int> report() {
    auto* signal = new ReportSignal;
    auto future = signal->promise.get_future();
    pushSignal(signal);
    return future.get();
  }

 private:
  void stateRunning() {
    serveState(&Counter::stateRunning, {kAdd, kPause, kReport, kThrow, kQuit},
               [this](StateSignal& s) {
                 switch (s.GetCode()) {
                   case kAdd: seen_.push_back(kAdd); break;
                   case kPause: seen_.push_back(kPause); setState(&Counter::statePaused); break;
                   case kReport: static_cast<ReportSignal&>(s).promise.set_value(seen_); break;
                   case kThrow: throw std::runtime_error("bad signal");
                   case kQuit: setState(&Counter::stateDone); break;
                 }
               });
  }
  void statePaused() {
    serveState(&Counter::statePaused, {kResume, kQuit}, [this](StateSignal& s) {
      seen_.push_back(s.GetCode());
      setState(s.GetCode() == kResume ? &Counter::stateRunning : &Counter::stateDone);
    });
  }
  void stateDone() {}

  void onStateFailure(const std::exception* error) override {
    if (journal_) journal_->failures.push_back(error ? error->what() : "unknown");
  }
  void onThreadEnd() override {
    if (journal_) journal_->endStepRan = true;
  }

  Journal* const journal_;
  std::vector<int> seen_;
};

TEST(ActiveObjectTest, SignalsThatAStateRejectsWaitForTheNextState) {
  auto counter = std::make_unique<Counter>();
  counter->pushSignal(new StateSignal(Counter::kAdd));
  counter->pushSignal(new StateSignal(Counter::kPause));
  counter->pushSignal(new StateSignal(Counter::kAdd));
  counter->pushSignal(new StateSignal(Counter::kAdd));
  counter->pushSignal(new StateSignal(Counter::kResume));
  EXPECT_EQ(counter->report(), (std::vector<int>{1, 2, 3, 1, 1}));
}

TEST(ActiveObjectTest, ExceptionInAStateIsReportedAndTheLoopGoesOn) {
  Counter::Journal journal;
  auto counter = std::make_unique<Counter>(&journal);
  counter->pushSignal(new StateSignal(Counter::kThrow));
  counter->pushSignal(new StateSignal(Counter::kAdd));
  EXPECT_EQ(counter->report(), (std::vector<int>{1}));
  counter->quit();
  counter->quit();  // left behind, deleted with the queue
  counter.reset();  // joins: the journal is complete now
  EXPECT_EQ(journal.failures, std::vector<std::string>{"bad signal"});
  EXPECT_TRUE(journal.endStepRan);
}

TEST(ActiveObjectTest, QuitFromAPausedStateEndsTheThread) {
  Counter counter;
  counter.pushSignal(new StateSignal(Counter::kPause));
  // Destructor pushes quit, which the paused state accepts; joining returns.
}

TEST(ActiveThreadTest, FinishOnItsOwnThreadDetachesInsteadOfDeadlocking) {
  std::promise<void> started;
  std::promise<bool> joined;
  auto* thread = new ActiveThread;
  auto gate = started.get_future();
  thread->start([&, thread] {
    gate.wait();
    EXPECT_TRUE(thread->isCurrent());
    joined.set_value(thread->finish());
    delete thread;  // destroying it from its own thread must not abort
  });
  EXPECT_FALSE(thread->isCurrent());
  started.set_value();
  EXPECT_FALSE(joined.get_future().get());
}

TEST(ActiveThreadTest, FinishJoinsFromAnotherThreadAndIsIdempotent) {
  ActiveThread thread;
  EXPECT_FALSE(thread.finish());  // never started
  std::atomic<bool> ran{false};
  thread.start([&ran] { ran = true; });
  EXPECT_TRUE(thread.finish());
  EXPECT_TRUE(ran);
  EXPECT_FALSE(thread.finish());
}

}  // namespace
}  // namespace tembrolexinsdk
