#include "core/runtime/log.h"
#include "core/runtime/log_helpers.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <functional>
#include <ios>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/logger.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {
namespace {

constexpr char kRemoved[] = "Message removed: invalid UTF-8 string";

class Named : public INamedObject {
 public:
  explicit Named(std::string name) : name_(std::move(name)) {}
  const std::string& GetName() const override { return name_; }

 private:
  std::string name_;
};

// A processor listener that records the log events it is handed.
class RecordingListener : public IProcessorListener {
 public:
  struct Event {
    const INamedObject* sender;
    LogLevel level;
    std::string text;
  };

  void onProcessorEvent(const INamedObject*, const IProcessorEventParams*) override {}
  void onLogEvent(const INamedObject* sender, const LogParams* params) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(Event{sender, params->getLevel(), params->getMessage()});
  }
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {}
  void onFailed(const FailureParams&) override {}
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override { return nullptr; }

  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> result;
    for (const Event& e : events()) result.push_back(e.text);
    return result;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

// ---- Log front -----------------------------------------------------------

TEST(LogTest, EmptyTextProducesNothing) {
  RecordingListener listener;
  Log withListener(&listener, nullptr);
  Log without(nullptr, nullptr);
  withListener.send(LogLevel::Error, "");
  without.send(LogLevel::Error, "");
  withListener.debug();
  EXPECT_TRUE(listener.events().empty());
  EXPECT_EQ(without.backlogSize(), 0u);
}

TEST(LogTest, LinesCarryTheProcessorPrefixTheLevelAndTheSender) {
  RecordingListener listener;
  Named sender("CacheProcessor");
  Log log(&listener, &sender);
  log.send(LogLevel::Warning, "disk low");
  log.debug("a", 1);
  log.info("b", 2);
  log.warning("c", 3);
  log.error("d", 4);
  const auto events = listener.events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].text, "(processor) - disk low");
  EXPECT_EQ(events[0].level, LogLevel::Warning);
  EXPECT_EQ(events[0].sender, &sender);
  EXPECT_EQ(events[1].text, "(processor) - a1");
  EXPECT_EQ(events[1].level, LogLevel::Debug);
  EXPECT_EQ(events[2].level, LogLevel::Info);
  EXPECT_EQ(events[3].level, LogLevel::Warning);
  EXPECT_EQ(events[4].text, "(processor) - d4");
  EXPECT_EQ(events[4].level, LogLevel::Error);
}

TEST(LogTest, BacklogIsHandedOverOldestFirstWithTheSenderOfThatMoment) {
  RecordingListener listener;
  Named early("early"), late("late");
  Log log(nullptr, &early);
  log.info("one");
  log.error("two");
  EXPECT_EQ(log.backlogSize(), 2u);
  log.registerSender(&late);
  log.registerListener(&listener);
  EXPECT_EQ(log.backlogSize(), 0u);
  log.info("three");
  const auto events = listener.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(listener.texts(), (std::vector<std::string>{"(processor) - one", "(processor) - two",
                                                        "(processor) - three"}));
  EXPECT_EQ(events[0].sender, &late);
  EXPECT_EQ(events[1].level, LogLevel::Error);
}

TEST(LogTest, NullListenerSendsLinesBackIntoTheBacklog) {
  RecordingListener first, second;
  Log log(&first, nullptr);
  log.info("a");
  log.registerListener(nullptr);
  log.info("b");
  log.info("c");
  EXPECT_EQ(log.backlogSize(), 2u);
  EXPECT_EQ(first.texts(), std::vector<std::string>{"(processor) - a"});
  log.registerListener(&second);
  EXPECT_EQ(second.texts(), (std::vector<std::string>{"(processor) - b", "(processor) - c"}));
}

TEST(LogTest, CopiesShareListenerAndSenderButNotTheBacklog) {
  RecordingListener listener;
  Named sender("s");
  Log pending(nullptr, &sender);
  pending.info("waiting");
  Log copy(pending);
  EXPECT_EQ(copy.sender(), &sender);
  EXPECT_EQ(copy.backlogSize(), 0u);

  Log live(&listener, &sender);
  Log liveCopy(live);
  liveCopy.info("from copy");
  ASSERT_EQ(listener.events().size(), 1u);
  EXPECT_EQ(listener.events()[0].sender, &sender);

  // Assignment takes over listener and sender and keeps its own backlog.
  pending = live;
  EXPECT_EQ(pending.listener(), &listener);
  EXPECT_EQ(pending.backlogSize(), 1u);
}

TEST(LogTest, SwapExchangesListenersAndSendersOnly) {
  RecordingListener l1, l2;
  Named s1("1"), s2("2");
  Log a(&l1, &s1), b(nullptr, &s2);
  b.info("kept");
  swap(a, b);
  EXPECT_EQ(a.listener(), nullptr);
  EXPECT_EQ(a.sender(), &s2);
  EXPECT_EQ(b.listener(), &l1);
  EXPECT_EQ(b.sender(), &s1);
  EXPECT_EQ(b.backlogSize(), 1u);
  EXPECT_EQ(a.backlogSize(), 0u);
}

TEST(LogTest, InvalidTextReplacesTheWholeLineWithoutPrefix) {
  RecordingListener listener;
  Log log(&listener, nullptr);
  log.error("bad byte \xFF");
  EXPECT_EQ(listener.texts(), std::vector<std::string>{kRemoved});
}

TEST(LogTest, ListenerAndSendFromManyThreadsIsSafe) {
  RecordingListener listener;
  Log log(nullptr, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log] {
      for (int i = 0; i < 100; ++i) log.info(i);
    });
  }
  log.registerListener(&listener);
  for (auto& thread : threads) thread.join();
  log.registerListener(&listener);  // whatever a racing line left behind
  EXPECT_EQ(listener.events().size(), 400u);
  EXPECT_EQ(log.backlogSize(), 0u);
}

// ---- logWithLogger -------------------------------------------------------

// The process-wide Logger on the process-wide bus, with a collector of its
// lines that runs before the watcher, so that await() means "collected".
class LogWithLoggerTest : public ::testing::Test {
 protected:
  struct Collector : IMessengerListener {
    struct Line {
      std::string busName;
      int level;
      std::string message;
      std::string sender;
    };
    void onReceive(const std::string& name, const ThriftParams& params) override {
      auto signal = ThriftParamsFactory::readThriftParams<LogSignal>(params);
      std::lock_guard<std::mutex> lock(mutex);
      lines.push_back(Line{name, static_cast<int>(signal->logType), signal->message,
                           signal->sender});
    }
    std::vector<Line> take() {
      EXPECT_TRUE(Logger::getInstance()->getWatcher()->await(std::chrono::seconds(10)));
      std::lock_guard<std::mutex> lock(mutex);
      return std::move(lines);
    }
    std::mutex mutex;
    std::vector<Line> lines;
  };

  void SetUp() override {
    getMessenger()->registerListener(8, &collector_);
    // Registering the same bus again moves the watcher behind the collector.
    Logger::getInstance()->registerMessenger(getMessenger());
    Logger::getInstance()->getWatcher()->await(std::chrono::seconds(10));
    collector_.take();
  }
  void TearDown() override { getMessenger()->unregisterListener(8, &collector_); }

  std::vector<std::string> texts() {
    std::vector<std::string> result;
    for (const auto& line : collector_.take()) result.push_back(line.message);
    return result;
  }

  Collector collector_;
};

TEST_F(LogWithLoggerTest, NullSenderTravelsAsUnknownObject) {
  logWithLogger<LogLevel::Error>(nullptr, "no sender");
  Named named("Timing");
  logWithLogger<LogLevel::Assert>(&named, "named");
  const auto lines = collector_.take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].busName, "<Unknown object>");
  EXPECT_EQ(lines[0].sender, "<Unknown object>");
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].message, "no sender");
  EXPECT_EQ(lines[1].busName, "Timing");
  EXPECT_EQ(lines[1].sender, "Timing");
  EXPECT_EQ(lines[1].level, 5);
}

struct PiecesCase {
  std::string name;
  std::function<void()> logLine;
  std::string text;
};

void PrintTo(const PiecesCase& c, std::ostream* os) { *os << c.name; }

class LogPiecesTest : public LogWithLoggerTest,
                      public ::testing::WithParamInterface<PiecesCase> {};

TEST_P(LogPiecesTest, PiecesAreJoinedWithoutSeparators) {
  GetParam().logLine();
  EXPECT_EQ(texts(), std::vector<std::string>{GetParam().text});
}

constexpr auto kInfo = [](const auto&... pieces) {
  logWithLogger<LogLevel::Info>(nullptr, pieces...);
};

INSTANTIATE_TEST_SUITE_P(
    Table, LogPiecesTest,
    ::testing::Values(
        PiecesCase{"TextNumberTextBool", [] { kInfo("ab", 3, "cd", true); }, "ab3cd1"},
        PiecesCase{"False", [] { kInfo(false); }, "0"},
        PiecesCase{"StdString", [] { kInfo(std::string("x"), std::string("y")); }, "xy"},
        PiecesCase{"Half", [] { kInfo(0.5); }, "0.5"},
        PiecesCase{"HundredMillion", [] { kInfo(100000000.0); }, "1e+08"},
        PiecesCase{"Small", [] { kInfo(0.00000025); }, "2.5e-07"},
        PiecesCase{"SixDigits", [] { kInfo(1234567.0); }, "1.23457e+06"},
        PiecesCase{"FloatTenth", [] { kInfo(0.1f); }, "0.1"},
        PiecesCase{"Integers",
                   [] {
                     kInfo(static_cast<unsigned short>(65535), " ", -5L, " ", 7u, " ",
                           18446744073709551615ULL, " ", -9223372036854775807LL - 1);
                   },
                   "65535 -5 7 18446744073709551615 -9223372036854775808"},
        PiecesCase{"Pointer", [] { kInfo(reinterpret_cast<const void*>(0x1f)); }, "0x1f"},
        PiecesCase{"NullCString", [] { kInfo("a", static_cast<const char*>(nullptr), "b"); },
                   "a(null)b"},
        PiecesCase{"JsonText", [] { kInfo("v=", Json::Value("hi")); }, "v=\"hi\""},
        PiecesCase{"JsonNumber", [] { kInfo(Json::Value(42)); }, "42"},
        PiecesCase{"InvalidUtf8", [] { kInfo("x", "\xC0\x80"); }, kRemoved}),
    [](const ::testing::TestParamInfo<PiecesCase>& info) { return info.param.name; });

// A piece that writes half of itself and then fails.
struct Bomb {};
std::ostream& operator<<(std::ostream& stream, const Bomb&) {
  stream << "partial";
  throw std::runtime_error("bomb");
}

TEST_F(LogWithLoggerTest, SharedStreamIsEmptiedAndResetEvenWhenAPieceThrows) {
  EXPECT_THROW(logWithLogger<LogLevel::Info>(nullptr, "before ", Bomb{}), std::runtime_error);
  logWithLogger<LogLevel::Info>(nullptr, std::hex, 255);
  logWithLogger<LogLevel::Info>(nullptr, 255, " ", 1.5);
  EXPECT_EQ(texts(), (std::vector<std::string>{"ff", "255 1.5"}));
  EXPECT_EQ(Logger::sLogStream.str(), "");
  EXPECT_EQ(&Logger::sLogStream, &Logger::logStream());
}

// A sender whose name lookup logs: must not deadlock on the stream mutex.
class ChattySender : public INamedObject {
 public:
  const std::string& GetName() const override {
    logWithLogger<LogLevel::Debug>(nullptr, "asked for my name");
    return name_;
  }

 private:
  std::string name_ = "Chatty";
};

TEST_F(LogWithLoggerTest, LoggingWhileComposingALineDoesNotDeadlock) {
  ChattySender chatty;
  logWithLogger<LogLevel::Info>(&chatty, "outer");
  EXPECT_EQ(texts(), (std::vector<std::string>{"asked for my name", "outer"}));
}

TEST_F(LogWithLoggerTest, EightThreadsNeverMixTheirPieces) {
  static constexpr int kThreads = 8;
  static constexpr int kLines = 100;
  std::vector<std::unique_ptr<Named>> senders;
  for (int t = 0; t < kThreads; ++t) senders.push_back(std::make_unique<Named>("T" + std::to_string(t)));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, sender = senders[t].get()] {
      for (int i = 0; i < kLines; ++i) {
        logWithLogger<LogLevel::Debug>(sender, "thread ", t, " line ", i, " of ", kLines, '.');
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = collector_.take();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const auto& line : lines) {
    const int t = std::stoi(line.sender.substr(1));
    ASSERT_EQ(line.message, "thread " + std::to_string(t) + " line " + std::to_string(next[t]) +
                                " of 100.");
    EXPECT_EQ(line.busName, line.sender);
    ++next[t];
  }
}

}  // namespace
}  // namespace tembrolexinsdk
