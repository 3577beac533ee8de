#include "core/runtime/messenger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/log_helpers.h"
#include "core/runtime/logger.h"
#include "core/runtime/thrift_params.h"

namespace tembrolexinsdk {
namespace {

std::unique_ptr<ThriftParams> message(int type, const std::string& payload) {
  return std::make_unique<ThriftParams>(type, payload.size(), payload.data());
}

std::string payloadOf(const ThriftParams& params) {
  return std::string(params.getData().begin(), params.getData().end());
}

// Everything that receivers saw, in the order they saw it.
class Journal {
 public:
  void add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Writes "<name> <sender>:<type>:<payload>" for each message, then runs its
// hook (which may throw).
class JournalListener : public IMessengerListener {
 public:
  JournalListener(std::string name, Journal* journal) : name_(std::move(name)), journal_(journal) {}
  void onReceive(const std::string& sender, const ThriftParams& params) override {
    journal_->add(name_ + " " + sender + ":" + std::to_string(params.getMsgType()) + ":" +
                  payloadOf(params));
    if (hook) hook(sender, params);
  }
  std::function<void(const std::string&, const ThriftParams&)> hook;

 private:
  std::string name_;
  Journal* journal_;
};

// Context of the platform callbacks.
struct Platform {
  explicit Platform(Journal* j) : journal(j) {}
  Journal* journal;
  std::promise<std::thread::id> exited;
  std::atomic<int> exitCalls{0};
};

void onMessage(const std::string& sender, const ThriftParams* params, void* context) {
  static_cast<Platform*>(context)->journal->add("callback " + sender + ":" +
                                                std::to_string(params->getMsgType()) + ":" +
                                                payloadOf(*params));
}

void onExit(void* context) {
  auto* platform = static_cast<Platform*>(context);
  if (platform->exitCalls.fetch_add(1) == 0) platform->exited.set_value(std::this_thread::get_id());
}

// Waits until the bus has delivered everything queued before this call.
void flush(Messenger& bus) {
  constexpr int kMarker = 9999;
  struct Marker : IMessengerListener {
    std::promise<void> seen;
    void onReceive(const std::string&, const ThriftParams&) override { seen.set_value(); }
  } marker;
  bus.registerListener(kMarker, &marker);
  bus.send("flush", message(kMarker, ""));
  marker.seen.get_future().wait();
  bus.unregisterListener(kMarker, &marker);
}

// A payload that counts its destruction.
class CountedParams : public ThriftParams {
 public:
  CountedParams(int type, std::atomic<int>* destroyed) : ThriftParams(type, 0, nullptr), destroyed_(destroyed) {}
  ~CountedParams() override { destroyed_->fetch_add(1); }

 private:
  std::atomic<int>* destroyed_;
};

TEST(MessengerTest, NameIsMessenger) {
  Messenger bus;
  EXPECT_EQ(bus.GetName(), "Messenger");
}

TEST(MessengerTest, DeliversInSendOrderToListenersInRegistrationOrderThenTheCallback) {
  Journal journal;
  Platform platform(&journal);
  JournalListener a("A", &journal), b("B", &journal), other("C", &journal);
  Messenger bus;
  bus.setCallbacks(&onMessage, &onExit, &platform);
  bus.registerListener(5, &a);
  bus.registerListener(5, &b);
  bus.registerListener(6, &other);
  bus.send("s1", message(5, "one"));
  bus.send("s2", message(6, "two"));
  bus.send("s3", message(5, "three"));
  bus.send("s4", message(7, "nobody"));
  bus.stop();
  platform.exited.get_future().wait();
  EXPECT_EQ(journal.lines(), (std::vector<std::string>{
                                 "A s1:5:one", "B s1:5:one", "callback s1:5:one",
                                 "C s2:6:two", "callback s2:6:two",
                                 "A s3:5:three", "B s3:5:three", "callback s3:5:three",
                                 "callback s4:7:nobody"}));
}

TEST(MessengerTest, ReRegistrationMovesAListenerToTheEndAndNeverDoublesIt) {
  Journal journal;
  JournalListener a("A", &journal), b("B", &journal);
  Messenger bus;
  bus.registerListener(1, &a);
  bus.registerListener(1, &a);  // twice: still one delivery
  bus.send("x", message(1, "m1"));
  flush(bus);
  bus.registerListener(1, &b);
  bus.registerListener(1, &a);  // A moves behind B
  bus.send("x", message(1, "m2"));
  flush(bus);
  bus.unregisterListener(1, &b);
  bus.unregisterListener(2, &a);  // not registered for 2: changes nothing
  bus.send("x", message(1, "m3"));
  flush(bus);
  EXPECT_EQ(journal.lines(), (std::vector<std::string>{"A x:1:m1", "B x:1:m2", "A x:1:m2",
                                                       "A x:1:m3"}));
}

TEST(MessengerTest, MessageWithoutReceiversIsFreedInItsTurnAndNullMessagesAreIgnored) {
  Journal journal;
  JournalListener other("C", &journal);
  std::atomic<int> destroyed{0};
  Messenger bus;
  bus.registerListener(4, &other);
  bus.send("x", std::make_unique<CountedParams>(3, &destroyed));
  bus.send("x", nullptr);
  bus.sendSync("x", nullptr);
  flush(bus);  // the bus still delivers after the null messages
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_TRUE(journal.lines().empty());
  bus.unregisterListener(4, &other);
}

TEST(MessengerTest, StopDeliversWhatWasQueuedCallsExitOnTheBusThreadAndDropsTheRest) {
  Journal journal;
  Platform platform(&journal);
  JournalListener a("A", &journal);
  std::atomic<int> destroyed{0};
  Messenger bus;
  bus.setCallbacks(nullptr, &onExit, &platform);
  bus.registerListener(1, &a);
  std::thread::id busThread;
  a.hook = [&busThread](const std::string&, const ThriftParams&) {
    busThread = std::this_thread::get_id();
  };
  bus.send("x", message(1, "before"));
  bus.stop();
  bus.send("x", message(1, "after"));
  bus.send("x", std::make_unique<CountedParams>(1, &destroyed));
  EXPECT_EQ(platform.exited.get_future().get(), busThread);
  EXPECT_TRUE(bus.isStopped());
  EXPECT_EQ(destroyed, 1);  // dropped with the queue when the thread ended
  bus.send("x", std::make_unique<CountedParams>(1, &destroyed));
  EXPECT_EQ(destroyed, 2);  // destroyed at once, nothing piles up
  bus.stop();               // a second stop is harmless
  EXPECT_EQ(platform.exitCalls, 1);
  EXPECT_EQ(journal.lines(), std::vector<std::string>{"A x:1:before"});

  // sendSync still delivers on the caller's thread.
  a.hook = nullptr;
  bus.sendSync("y", message(1, "sync"));
  EXPECT_EQ(journal.lines().back(), "A y:1:sync");
}

TEST(MessengerTest, DestroyingARunningBusDropsUndeliveredMessages) {
  std::atomic<int> destroyed{0};
  std::promise<void> gate;
  std::shared_future<void> opened(gate.get_future());
  Journal journal;
  JournalListener blocker("B", &journal);
  blocker.hook = [opened](const std::string&, const ThriftParams&) { opened.wait(); };
  {
    Messenger bus;
    bus.registerListener(1, &blocker);
    bus.send("x", message(1, "held"));
    bus.stop();
    bus.send("x", std::make_unique<CountedParams>(2, &destroyed));
    gate.set_value();
  }
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(journal.lines(), std::vector<std::string>{"B x:1:held"});
}

struct ThrowCase {
  std::string name;
  std::function<void()> raise;
  std::string text;
};

void PrintTo(const ThrowCase& c, std::ostream* os) { *os << c.name; }

class MessengerThrowTest : public ::testing::TestWithParam<ThrowCase> {};

// A throwing listener costs only its own delivery: the listeners after it and
// the callback still get the message, and the bus goes on.
TEST_P(MessengerThrowTest, ThrowingListenerIsReportedAndTheRestStillReceive) {
  Journal journal;
  Platform platform(&journal);
  JournalListener a("A", &journal), b("B", &journal);
  a.hook = [raise = GetParam().raise](const std::string&, const ThriftParams& params) {
    if (payloadOf(params) == "bad") raise();
  };
  testing::internal::CaptureStdout();
  {
    Messenger bus;
    bus.setCallbacks(&onMessage, &onExit, &platform);
    bus.registerListener(1, &a);
    bus.registerListener(1, &b);
    bus.send("x", message(1, "bad"));
    bus.send("x", message(1, "good"));
    bus.stop();
    platform.exited.get_future().wait();
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), GetParam().text);
  EXPECT_EQ(journal.lines(), (std::vector<std::string>{"A x:1:bad", "B x:1:bad", "callback x:1:bad",
                                                       "A x:1:good", "B x:1:good",
                                                       "callback x:1:good"}));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MessengerThrowTest,
    ::testing::Values(
        ThrowCase{"StandardException", [] { throw std::runtime_error("disk full"); },
                  "thread died, reason: disk full"},
        ThrowCase{"EmptyDescription", [] { throw std::logic_error(""); }, "thread died, reason: "},
        ThrowCase{"NotAStandardException", [] { throw 42; }, "thread died for unknown reason."}),
    [](const ::testing::TestParamInfo<ThrowCase>& info) { return info.param.name; });

TEST(MessengerTest, ThrowingCallbackIsReportedAndTheBusGoesOn) {
  Journal journal;
  JournalListener a("A", &journal);
  testing::internal::CaptureStdout();
  {
    Messenger bus;
    bus.setCallbacks([](const std::string&, const ThriftParams*, void*) {
      throw std::runtime_error("callback");
    }, nullptr, nullptr);
    bus.registerListener(1, &a);
    bus.send("x", message(1, "m1"));
    bus.send("x", message(1, "m2"));
    flush(bus);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "thread died, reason: callbackthread died, reason: callbackthread died, reason: callback");
  EXPECT_EQ(journal.lines(), (std::vector<std::string>{"A x:1:m1", "A x:1:m2"}));
}

TEST(MessengerTest, SendSyncDeliversOnTheCallerAndPropagatesTheFirstException) {
  Journal journal;
  Platform platform(&journal);
  JournalListener a("A", &journal), b("B", &journal);
  std::thread::id seenOn;
  a.hook = [](const std::string&, const ThriftParams&) { throw std::runtime_error("first"); };
  b.hook = [&seenOn](const std::string&, const ThriftParams&) {
    seenOn = std::this_thread::get_id();
    throw std::runtime_error("second");
  };
  Messenger bus;
  bus.setCallbacks(&onMessage, nullptr, &platform);
  bus.registerListener(4, &a);
  bus.registerListener(4, &b);
  testing::internal::CaptureStdout();
  try {
    bus.sendSync("me", message(4, "now"));
    ADD_FAILURE() << "sendSync swallowed the listener's exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "first");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(seenOn, std::this_thread::get_id());
  EXPECT_EQ(journal.lines(), (std::vector<std::string>{"A me:4:now", "B me:4:now",
                                                       "callback me:4:now"}));
}

TEST(MessengerTest, ListenersMaySendAndRegisterFromInsideADelivery) {
  Journal journal;
  JournalListener a("A", &journal), late("L", &journal), second("S", &journal);
  Messenger bus;
  std::promise<void> queuedSent;
  std::shared_future<void> bothQueued(queuedSent.get_future());
  a.hook = [&](const std::string&, const ThriftParams& params) {
    if (payloadOf(params) != "first") return;
    bothQueued.wait();  // "queued" is on the bus before anything is sent here
    bus.send("A", message(2, "from inside"));  // queues behind "queued"
    bus.registerListener(1, &late);             // only for later messages
    bus.sendSync("A", message(2, "sync inside"));
  };
  std::promise<void> innerArrived;
  second.hook = [&innerArrived](const std::string&, const ThriftParams& params) {
    if (payloadOf(params) == "from inside") innerArrived.set_value();
  };
  bus.registerListener(1, &a);
  bus.registerListener(2, &second);
  bus.send("x", message(1, "first"));
  bus.send("x", message(1, "queued"));
  queuedSent.set_value();
  innerArrived.get_future().wait();
  EXPECT_EQ(journal.lines(), (std::vector<std::string>{
                                 "A x:1:first", "S A:2:sync inside", "A x:1:queued",
                                 "L x:1:queued", "S A:2:from inside"}));
}

TEST(MessengerTest, UnregisterFromAnotherThreadWaitsForTheRunningCall) {
  Journal journal;
  JournalListener slow("S", &journal);
  std::promise<void> entered, gate;
  std::shared_future<void> opened(gate.get_future());
  std::atomic<bool> callFinished{false};
  slow.hook = [&](const std::string&, const ThriftParams&) {
    entered.set_value();
    opened.wait();
    callFinished = true;
  };
  Messenger bus;
  bus.registerListener(1, &slow);
  bus.send("x", message(1, "m"));
  entered.get_future().wait();
  std::atomic<bool> finishedWhenUnregistered{false};
  std::thread other([&] {
    bus.unregisterListener(1, &slow);
    finishedWhenUnregistered = callFinished.load();
  });
  // Give the other thread the chance to reach its wait before the call ends.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  gate.set_value();
  other.join();
  EXPECT_TRUE(finishedWhenUnregistered);
  bus.send("x", message(1, "after"));
  flush(bus);
  EXPECT_EQ(journal.lines(), std::vector<std::string>{"S x:1:m"});
}

TEST(MessengerTest, UnregisterOnTheDeliveringThreadDoesNotWaitAndSkipsLaterListeners) {
  Journal journal;
  JournalListener self("Self", &journal), victim("Victim", &journal), next("Next", &journal);
  Messenger bus;
  self.hook = [&](const std::string&, const ThriftParams&) {
    bus.unregisterListener(1, &self);    // own call: must not wait for itself
    bus.unregisterListener(1, &victim);  // may be destroyed now: not called
  };
  bus.registerListener(1, &self);
  bus.registerListener(1, &victim);
  bus.registerListener(1, &next);
  bus.send("x", message(1, "m1"));
  bus.send("x", message(1, "m2"));
  flush(bus);
  EXPECT_EQ(journal.lines(), (std::vector<std::string>{"Self x:1:m1", "Next x:1:m1",
                                                       "Next x:1:m2"}));
}

// setCallbacks while the bus thread reads them: clean under ThreadSanitizer.
TEST(MessengerTest, SetCallbacksWhileDeliveringIsSafe) {
  Journal journal;
  Platform platform(&journal);
  {
    Messenger bus;
    std::thread setter([&] {
      for (int i = 0; i < 200; ++i) {
        bus.setCallbacks(i % 2 ? &onMessage : nullptr, nullptr, &platform);
      }
    });
    for (int i = 0; i < 200; ++i) bus.send("x", message(1, "m"));
    setter.join();
    bus.setCallbacks(&onMessage, nullptr, &platform);
    bus.send("x", message(1, "last"));
  }  // delivers everything queued, then joins
  EXPECT_EQ(journal.lines().back(), "callback x:1:last");
}

TEST(MessengerTest, ManySendersKeepTheirOwnOrder) {
  constexpr int kSenders = 4;
  constexpr int kEach = 500;
  std::mutex mutex;
  std::vector<int> last(kSenders, -1);
  std::atomic<int> outOfOrder{0}, received{0};
  struct Counter : IMessengerListener {
    std::function<void(const ThriftParams&)> fn;
    void onReceive(const std::string&, const ThriftParams& p) override { fn(p); }
  } counter;
  counter.fn = [&](const ThriftParams& p) {
    const std::string text = payloadOf(p);
    const int sender = text[0] - '0';
    const int index = std::stoi(text.substr(2));
    std::lock_guard<std::mutex> lock(mutex);
    if (index != last[sender] + 1) ++outOfOrder;
    last[sender] = index;
    ++received;
  };
  Messenger bus;
  bus.registerListener(1, &counter);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&bus, s] {
      for (int i = 0; i < kEach; ++i) {
        bus.send("s", message(1, std::to_string(s) + ":" + std::to_string(i)));
      }
    });
  }
  for (auto& t : senders) t.join();
  flush(bus);
  EXPECT_EQ(received, kSenders * kEach);
  EXPECT_EQ(outOfOrder, 0);
}

// Fresh processes: the process-wide bus is created by these very calls, and
// the process must end cleanly at exit while threads still log and send.
class MessengerProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(MessengerProcessTest, FirstCallsFromTwoThreadsGetOneInstance) {
  EXPECT_EXIT(
      {
        std::promise<void> go;
        std::shared_future<void> start(go.get_future());
        Messenger* fromGet = nullptr;
        Messenger* fromInstance = nullptr;
        std::thread t1([&] { start.wait(); fromGet = getMessenger(); });
        std::thread t2([&] { start.wait(); fromInstance = Messenger::getInstance(); });
        go.set_value();
        t1.join();
        t2.join();
        std::exit(fromGet != nullptr && fromGet == fromInstance && fromGet == getMessenger() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(MessengerProcessTest, DestroyedBusDetachesFromTheProcessWideLogger) {
  EXPECT_EXIT(
      {
        Logger* logger = Logger::getInstance();
        auto bus = std::make_unique<Messenger>();
        logger->registerMessenger(bus.get());
        const LogParams line(LogLevel::Info, "line");
        logger->Log("t", &line);
        bus.reset();            // must leave the Logger without a dangling bus
        logger->Log("t", &line);  // kept, not sent to a dead bus
        bool ok = logger->backlogSize() == 1;
        logger->registerMessenger(getMessenger());  // free for another bus
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(MessengerProcessTest, ExitWithThreadsStillLoggingAndSendingIsClean) {
  EXPECT_EXIT(
      {
        Logger::getInstance()->registerMessenger(getMessenger());
        std::atomic<int> rounds{0};
        for (int t = 0; t < 4; ++t) {
          std::thread([&rounds, t] {
            for (;;) {
              logWithLogger<LogLevel::Info>(nullptr, "thread ", t);
              IMessenger::sendMessage("spam", message(1, "x"));
              rounds.fetch_add(1);
            }
          }).detach();
        }
        while (rounds.load() < 200) std::this_thread::yield();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(MessengerProcessTest, ExitCalledOnTheBusThreadDoesNotDeadlock) {
  EXPECT_EXIT(
      {
        struct Quitter : IMessengerListener {
          void onReceive(const std::string&, const ThriftParams&) override { std::exit(0); }
        };
        static Quitter quitter;
        getMessenger()->registerListener(1, &quitter);
        IMessenger::sendMessage("x", message(1, "bye"));
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tembrolexinsdk
