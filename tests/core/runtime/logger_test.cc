#include "core/runtime/logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/log_helpers.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"
#include "schema/tembrolexin_types.h"
#include "tests/support/recording_messenger.h"

namespace tembrolexinsdk {
namespace {

using tltest::RecordingMessenger;

constexpr char kRemoved[] = "Message removed: invalid UTF-8 string";

// One line as it left the Logger: the bus message's name and the LogSignal.
struct Line {
  std::string busName;
  int logType;
  std::string message;
  std::string sender;
};

std::vector<Line> linesOf(const RecordingMessenger& bus) {
  std::vector<Line> lines;
  for (const auto& sent : bus.sent()) {
    EXPECT_EQ(sent.params->getMsgType(), 8);
    auto signal = ThriftParamsFactory::readThriftParams<LogSignal>(*sent.params);
    if (!signal) continue;
    lines.push_back(Line{sent.senderName, static_cast<int>(signal->logType), signal->message,
                         signal->sender});
  }
  return lines;
}

void log(Logger& logger, const std::string& sender, LogLevel level, const std::string& text) {
  const LogParams params(level, text);
  logger.Log(sender, &params);
}

std::vector<std::string> messages(const std::vector<Line>& lines) {
  std::vector<std::string> texts;
  for (const Line& line : lines) texts.push_back(line.message);
  return texts;
}

TEST(LoggerTest, ProcessWideInstanceIsOneAndTheSame) {
  Logger* first = Logger::getInstance();
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(first, Logger::getInstance());
}

TEST(LoggerTest, BacklogWaitsForTheBusAndLeavesInOrderBeforeTheNextLine) {
  RecordingMessenger bus;
  Logger logger;
  log(logger, "a", LogLevel::Info, "one");
  log(logger, "b", LogLevel::Error, "two");
  logger.Log("c", nullptr);  // ignored
  log(logger, "c", LogLevel::Debug, "three");
  EXPECT_EQ(logger.backlogSize(), 3u);

  logger.registerMessenger(&bus);
  EXPECT_EQ(bus.sentCount(), 0u);  // registration alone sends nothing
  EXPECT_EQ(bus.listeners(8), std::vector<IMessengerListener*>{logger.getWatcher()});

  log(logger, "d", LogLevel::Warning, "four");
  EXPECT_EQ(logger.backlogSize(), 0u);
  const std::vector<Line> lines = linesOf(bus);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(messages(lines), (std::vector<std::string>{"one", "two", "three", "four"}));
  EXPECT_EQ(lines[1].sender, "b");
  EXPECT_EQ(lines[1].logType, 4);
  EXPECT_EQ(logger.getWatcher()->size(), 4);
}

// Levels by number, so that test names and messages show the number.
class LoggerLevelTest : public ::testing::TestWithParam<int> {
 protected:
  LogLevel level() const { return static_cast<LogLevel>(GetParam()); }
};

TEST_P(LoggerLevelTest, LineTravelsAsLogSignalWithLevelTextAndSenderTwice) {
  RecordingMessenger bus;
  Logger logger;
  logger.registerMessenger(&bus);
  log(logger, "AudioDecoder", level(), "started: 3 processors");
  const std::vector<Line> lines = linesOf(bus);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].busName, "AudioDecoder");
  EXPECT_EQ(lines[0].sender, "AudioDecoder");
  EXPECT_EQ(lines[0].logType, GetParam());
  EXPECT_EQ(lines[0].message, "started: 3 processors");  // no time, level or name added
}

INSTANTIATE_TEST_SUITE_P(AllLevels, LoggerLevelTest,
                         ::testing::Range(0, 6),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Level" + std::to_string(info.param);
                         });

TEST(LoggerTest, LevelNumbersAreTheSchemaLogTypes) {
  EXPECT_EQ(static_cast<int>(LogLevel::Trace), LogType::Trace);
  EXPECT_EQ(static_cast<int>(LogLevel::Debug), LogType::Debug);
  EXPECT_EQ(static_cast<int>(LogLevel::Info), LogType::Info);
  EXPECT_EQ(static_cast<int>(LogLevel::Warning), LogType::Warning);
  EXPECT_EQ(static_cast<int>(LogLevel::Error), LogType::Error);
  EXPECT_EQ(static_cast<int>(LogLevel::Assert), LogType::Assert);
}

TEST(LoggerTest, InvalidTextIsReplacedAndLevelAndSenderKept) {
  RecordingMessenger bus;
  Logger logger;
  logger.registerMessenger(&bus);
  log(logger, "rec", LogLevel::Error, "bad \x1B[0m colour");
  const std::vector<Line> lines = linesOf(bus);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, kRemoved);
  EXPECT_EQ(lines[0].logType, 4);
  EXPECT_EQ(lines[0].sender, "rec");
}

TEST(LoggerTest, NullBusIsRefused) {
  Logger logger;
  try {
    logger.registerMessenger(nullptr);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Messenger is a nullptr");
  }
  log(logger, "x", LogLevel::Info, "still collecting");
  EXPECT_EQ(logger.backlogSize(), 1u);
}

TEST(LoggerTest, SecondBusIsRefusedAndLinesKeepGoingToTheFirst) {
  RecordingMessenger first, second;
  Logger logger;
  logger.registerMessenger(&first);
  try {
    logger.registerMessenger(&second);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "log listener already registered");
  }
  log(logger, "x", LogLevel::Info, "line");
  EXPECT_EQ(first.sentCount(), 1u);
  EXPECT_EQ(second.sentCount(), 0u);
  EXPECT_TRUE(second.listeners(8).empty());
}

TEST(LoggerTest, SameBusTwiceKeepsOneWatcherRegistration) {
  RecordingMessenger bus;
  Logger logger;
  logger.registerMessenger(&bus);
  logger.registerMessenger(&bus);
  EXPECT_EQ(bus.registerCalls(), 2);
  EXPECT_EQ(bus.listeners(8).size(), 1u);
  log(logger, "x", LogLevel::Info, "line");
  EXPECT_EQ(bus.deliverPending(), 1u);
  EXPECT_EQ(logger.getWatcher()->size(), 0);  // counted down once, not twice
}

TEST(LoggerTest, DetachedLoggerCollectsAgainAndHandsTheBacklogToTheNextBus) {
  RecordingMessenger first, second;
  Logger logger;
  logger.registerMessenger(&first);
  log(logger, "x", LogLevel::Info, "to first");
  logger.detachMessenger(&second);  // not its bus: nothing changes
  log(logger, "x", LogLevel::Info, "to first again");
  logger.detachMessenger(&first);
  EXPECT_TRUE(first.listeners(8).empty());
  log(logger, "x", LogLevel::Info, "kept");
  EXPECT_EQ(first.sentCount(), 2u);
  EXPECT_EQ(logger.backlogSize(), 1u);
  logger.registerMessenger(&second);
  log(logger, "x", LogLevel::Info, "next");
  EXPECT_EQ(messages(linesOf(second)), (std::vector<std::string>{"kept", "next"}));
}

// Lines logged before any bus: the backlog keeps the first kMaxBacklogLines
// in order, then one Warning tells how many it dropped, once.
struct BacklogBoundCase {
  const char* name;
  std::size_t logged;  // lines logged before the bus
};

void PrintTo(const BacklogBoundCase& c, std::ostream* os) { *os << c.name; }

class LoggerBacklogBoundTest : public ::testing::TestWithParam<BacklogBoundCase> {};

TEST_P(LoggerBacklogBoundTest, KeepsTheFirstLinesAndTellsHowManyItDropped) {
  constexpr std::size_t kBound = Logger::kMaxBacklogLines;
  const std::size_t kept = std::min(GetParam().logged, kBound), dropped = GetParam().logged - kept;
  RecordingMessenger bus;
  Logger logger;
  for (std::size_t i = 0; i < GetParam().logged; ++i) {
    log(logger, "reader", LogLevel::Warning, "line " + std::to_string(i));
  }
  EXPECT_EQ(logger.backlogSize(), kept);
  EXPECT_EQ(logger.droppedLines(), dropped);

  logger.registerMessenger(&bus);
  log(logger, "app", LogLevel::Info, "next");
  const std::vector<Line> lines = linesOf(bus);
  ASSERT_EQ(lines.size(), kept + (dropped > 0) + 1);
  for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(lines[i].message, "line " + std::to_string(i));
  if (dropped > 0) {
    EXPECT_EQ(lines[kBound].sender, "Logger");
    EXPECT_EQ(lines[kBound].logType, 3);
    EXPECT_EQ(lines[kBound].message, "Log lines dropped: " + std::to_string(dropped) +
                                         " (only the first " + std::to_string(kBound) +
                                         " lines logged while no bus took them were kept)");
  }
  EXPECT_EQ(lines.back().message, "next");
  EXPECT_EQ(logger.droppedLines(), 0u);
  logger.detachMessenger(&bus);  // the next time without a bus counts afresh
  log(logger, "reader", LogLevel::Warning, "again");
  EXPECT_EQ(logger.backlogSize(), 1u);
  EXPECT_EQ(logger.droppedLines(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Backlogs, LoggerBacklogBoundTest,
    ::testing::Values(BacklogBoundCase{"UpToTheBound", Logger::kMaxBacklogLines},
                      BacklogBoundCase{"OnePastTheBound", Logger::kMaxBacklogLines + 1},
                      BacklogBoundCase{"ThreeTimesTheBound", 3 * Logger::kMaxBacklogLines}),
    [](const auto& info) { return std::string(info.param.name); });

// logWithLogger holds the log stream's mutex around Logger::Log: the line
// reaches the sink with the mutex released, before the call returns. In a
// process of its own, whose Logger never had a bus.
void logWithLoggerToTheSink() {
  static std::vector<std::string> seen;  // each line with whether the stream was held
  Logger::getInstance()->setLineSink([](const std::string& sender, const LogParams& params) {
    seen.push_back(std::to_string(static_cast<int>(params.getLevel())) + " " + sender + ": " +
                   params.getMessage() +
                   (logpieces::insideLogWithLogger() ? " (stream held)" : ""));
  });
  logWithLogger<LogLevel::Warning>(nullptr, "cut off after ", 12, " bytes");
  EXPECT_EQ(seen, std::vector<std::string>{"3 <Unknown object>: cut off after 12 bytes"});
  std::fflush(nullptr);
  std::_Exit(::testing::Test::HasFailure() ? 1 : 0);
}

TEST(LoggerLineSinkTest, LogWithLoggerHandsItsLineOnWithTheStreamLockReleased) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(logWithLoggerToTheSink(), ::testing::ExitedWithCode(0), "");
}

// Lines logged while the bus is being registered: once one more line has
// been logged after registration, every line has left, each exactly once and
// in each thread's own order.
TEST(LoggerTest, NoLineIsStrandedWhenRegistrationRacesWithLogging) {
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  static_assert(kThreads * kEach <= Logger::kMaxBacklogLines);
  RecordingMessenger bus;
  Logger logger;
  std::atomic<int> logged{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        log(logger, std::to_string(t), LogLevel::Info, std::to_string(i));
        logged.fetch_add(1);
      }
    });
  }
  while (logged.load() < kThreads * kEach / 3) std::this_thread::yield();
  logger.registerMessenger(&bus);
  for (auto& thread : threads) thread.join();
  log(logger, "main", LogLevel::Info, "last");

  const std::vector<Line> lines = linesOf(bus);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach + 1));
  EXPECT_EQ(lines.back().message, "last");
  std::vector<int> next(kThreads, 0);
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const int t = std::stoi(lines[i].sender);
    EXPECT_EQ(std::stoi(lines[i].message), next[t]++) << "thread " << t;
  }
  EXPECT_EQ(logger.backlogSize(), 0u);
}

// A bus that goes away while threads keep logging without pause: detaching
// waits only for the lines already on their way to that bus, never for the
// lines that arrive after it (which go to the backlog), so it ends.
TEST(LoggerTest, DetachEndsWhileOtherThreadsKeepLogging) {
  constexpr int kThreads = 8;
  RecordingMessenger bus;
  Logger logger;
  logger.registerMessenger(&bus);
  std::atomic<bool> quit{false};
  std::atomic<int> started{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      started.fetch_add(1);
      while (!quit.load()) log(logger, "busy", LogLevel::Info, "line");
    });
  }
  while (started.load() < kThreads) std::this_thread::yield();
  auto detached = std::async(std::launch::async, [&] { logger.detachMessenger(&bus); });
  const bool ended = detached.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  quit = true;
  for (auto& thread : threads) thread.join();
  detached.wait();
  EXPECT_TRUE(ended) << "detachMessenger waited for lines that never go to its bus";
  EXPECT_TRUE(bus.listeners(8).empty());
}

struct Utf8Case {
  std::string name;
  std::string bytes;
  bool valid;         // the whole text, NUL bytes included
  bool validAsCText;  // up to the first NUL
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class StringCheckerTest : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(StringCheckerTest, JudgesEveryByte) {
  const Utf8Case& c = GetParam();
  EXPECT_EQ(StringChecker::isValidUTF8(c.bytes.data(), c.bytes.size()), c.valid);
  EXPECT_EQ(StringChecker::isValidUTF8(c.bytes.c_str()), c.validAsCText);
  EXPECT_EQ(StringChecker::makeUTF8(c.bytes), c.valid ? c.bytes : std::string(kRemoved));
  EXPECT_EQ(LogParams(LogLevel::Info, c.bytes).getMessage(),
            c.valid ? c.bytes : std::string(kRemoved));
  // Escaped, every text passes whole and holds no NUL; an acceptable one
  // without NUL stays as it is.
  const std::string escaped = StringChecker::escapeBytes(c.bytes);
  EXPECT_EQ(StringChecker::makeUTF8(escaped), escaped);
  EXPECT_EQ(escaped.find('\0'), std::string::npos);
  if (c.valid && c.bytes.find('\0') == std::string::npos) {
    EXPECT_EQ(escaped, c.bytes);
  }
}

std::string bytes(std::initializer_list<unsigned char> list) {
  return std::string(list.begin(), list.end());
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, StringCheckerTest,
    ::testing::Values(
        Utf8Case{"Empty", "", true, true},
        Utf8Case{"PrintableAscii", " ~Hello, world!", true, true},
        Utf8Case{"TabLineFeedReturn", "a\tb\nc\rd", true, true},
        Utf8Case{"Bell", "ring\x07", false, false},
        Utf8Case{"Escape", "\x1B[0m", false, false},
        Utf8Case{"Delete", bytes({0x7F}), false, false},
        Utf8Case{"StartOfHeading", bytes({0x01}), false, false},
        Utf8Case{"LoneContinuation", bytes({0x80}), false, false},
        Utf8Case{"OverlongNul", bytes({0xC0, 0x80}), false, false},
        Utf8Case{"OverlongC1", bytes({0xC1, 0xBF}), false, false},
        Utf8Case{"OverlongThreeBytes", bytes({0xE0, 0x80, 0x80}), false, false},
        Utf8Case{"Surrogate", bytes({0xED, 0xA0, 0x80}), false, false},
        Utf8Case{"AboveMaximum", bytes({0xF4, 0x90, 0x80, 0x80}), false, false},
        Utf8Case{"F5Lead", bytes({0xF5, 0x80, 0x80, 0x80}), false, false},
        Utf8Case{"FFByte", bytes({0xFF}), false, false},
        Utf8Case{"Copyright", bytes({0xC2, 0xA9}), true, true},
        Utf8Case{"Euro", bytes({0xE2, 0x82, 0xAC}), true, true},
        Utf8Case{"Emoji", bytes({0xF0, 0x9F, 0x98, 0x80}), true, true},
        Utf8Case{"FirstThreeByte", bytes({0xE0, 0xA0, 0x80}), true, true},
        Utf8Case{"LastBeforeSurrogates", bytes({0xED, 0x9F, 0xBF}), true, true},
        Utf8Case{"LastCodePoint", bytes({0xF4, 0x8F, 0xBF, 0xBF}), true, true},
        Utf8Case{"TruncatedTwoByte", bytes({'a', 0xC2}), false, false},
        Utf8Case{"TruncatedThreeByte", bytes({0xE2, 0x82}), false, false},
        Utf8Case{"ContinuationOutOfRange", bytes({0xE2, 0x28, 0xA1}), false, false},
        Utf8Case{"ValidAfterNulKeptWhole", std::string("ab\0cd", 5), true, true},
        Utf8Case{"InvalidAfterNul", std::string("ab\0\xFF", 4), false, true},
        Utf8Case{"ControlAfterNul", std::string("ok\0\x07", 4), false, true},
        Utf8Case{"NulCutsASequence", std::string("\xC2\0\xA9", 3), false, false}),
    [](const ::testing::TestParamInfo<Utf8Case>& info) { return info.param.name; });

TEST(StringCheckerTest, NullIsNotValid) {
  EXPECT_FALSE(StringChecker::isValidUTF8(nullptr));
}

// The bytes an app gave, as a log or failure text quotes them: each byte of
// no acceptable character, and NUL, as \xNN.
TEST(StringCheckerTest, EscapeBytesWritesUnacceptableBytesInHex) {
  const std::pair<std::string, std::string> rows[] = {
      {"lat\xE9in", "lat\\xE9in"},  // Latin-1
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x07\x7F\x1B[0m", "\\x07\\x7F\\x1B[0m"},
      {"\xE2\x82" "x", "\\xE2\\x82x"},  // a sequence cut short
      {"\xC0\x80", "\\xC0\\x80"},        // overlong
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},  // surrogate
      {"\xC3\xA9 \xE2\x82\xAC\t\n\r", "\xC3\xA9 \xE2\x82\xAC\t\n\r"},
      {"back\\xE9slash", "back\\xE9slash"},  // as it stands
      {"", ""}};
  for (const auto& [bytes, text] : rows) EXPECT_EQ(StringChecker::escapeBytes(bytes), text);
}

struct TimeCase {
  std::string name;
  long long microseconds;
  std::string text;
};

void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.name; }

class TimeStringTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeStringTest, TimeOfDayInUtcWithPlainMilliseconds) {
  using Micros = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;
  EXPECT_EQ(Logger::TimeString(Micros(std::chrono::microseconds(GetParam().microseconds))),
            GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TimeStringTest,
    ::testing::Values(TimeCase{"FiveMilliseconds", 5000, "00:00:00.5"},
                      TimeCase{"FortyFiveMilliseconds", 45000, "00:00:00.45"},
                      TimeCase{"HalfPastTwelve", ((12 * 60 + 30) * 60 + 15) * 1000000LL + 450000, "12:30:15.450"},
                      TimeCase{"WholeSecond", 1000000, "00:00:01.0"},
                      TimeCase{"LastMicrosecond", 999999, "00:00:00.999"},
                      TimeCase{"TruncatedMicroseconds", 1999, "00:00:00.1"},
                      TimeCase{"EndOfDay", 86399 * 1000000LL + 1000, "23:59:59.1"},
                      // Day 20000 after the epoch, 01:01:01 and 7.999 ms.
                      TimeCase{"LaterDay", (20000LL * 86400 + 3661) * 1000000 + 7999, "01:01:01.7"}),
    [](const ::testing::TestParamInfo<TimeCase>& info) { return info.param.name; });

TEST(LogQueueWatcherTest, CountsUpOnLogAndDownOnDelivery) {
  LogQueueWatcher watcher;
  const ThriftParams any(8, 0, nullptr);
  watcher.onReceive("x", any);  // delivered before it was counted
  EXPECT_EQ(watcher.size(), -1);
  EXPECT_TRUE(watcher.await());  // nothing in flight: no endless wait for 0
  watcher.onLog();
  watcher.onLog();
  EXPECT_EQ(watcher.size(), 1);
  watcher.onReceive("x", any);
  EXPECT_EQ(watcher.size(), 0);
  EXPECT_TRUE(watcher.await());  // nothing in flight: at once
}

// A bus whose thread delivers what is queued just as the watcher leaves it.
class DeliversWhileUnregistering : public RecordingMessenger {
 public:
  void unregisterListener(int typeId, IMessengerListener* listener) override {
    deliverPending();
    RecordingMessenger::unregisterListener(typeId, listener);
  }
};

// A line delivered while the Logger detaches from its bus must not leave the
// count one too low: the next bus's lines would then look delivered at once.
TEST(LogQueueWatcherTest, DetachingDuringADeliveryKeepsTheCountRight) {
  DeliversWhileUnregistering first;
  RecordingMessenger second;
  Logger logger;
  logger.registerMessenger(&first);
  log(logger, "x", LogLevel::Info, "in flight while detaching");
  logger.detachMessenger(&first);
  EXPECT_EQ(logger.getWatcher()->size(), 0);
  logger.registerMessenger(&second);
  log(logger, "x", LogLevel::Info, "in flight on the second bus");
  EXPECT_EQ(logger.getWatcher()->size(), 1);
  EXPECT_FALSE(logger.getWatcher()->await(std::chrono::milliseconds(0)));
}

TEST(LogQueueWatcherTest, AwaitHonoursItsLimitWhenNothingIsDelivered) {
  RecordingMessenger bus;
  Logger logger;
  logger.registerMessenger(&bus);
  log(logger, "x", LogLevel::Info, "in flight");
  EXPECT_FALSE(logger.getWatcher()->await(std::chrono::milliseconds(20)));
  EXPECT_EQ(bus.deliverPending(), 1u);
  EXPECT_TRUE(logger.getWatcher()->await(std::chrono::milliseconds(0)));
}

class Gate : public IMessengerListener {
 public:
  Gate() : opened_(promise_.get_future()) {}
  void open() { promise_.set_value(); }
  void onReceive(const std::string&, const ThriftParams&) override { opened_.wait(); }

 private:
  std::promise<void> promise_;
  std::shared_future<void> opened_;
};

TEST(LogQueueWatcherTest, AwaitReturnsAfterTheBusDeliveredEveryLineAndAPause) {
  Messenger bus;
  Gate gate;
  bus.registerListener(8, &gate);  // ahead of the watcher: holds deliveries
  {
    Logger logger;
    logger.registerMessenger(&bus);
    for (int i = 0; i < 3; ++i) log(logger, "x", LogLevel::Info, "line");
    std::atomic<bool> returned{false};
    std::promise<void> entering;
    auto waiter = std::async(std::launch::async, [&] {
      entering.set_value();
      const auto start = std::chrono::steady_clock::now();
      const bool quiet = logger.getWatcher()->await();
      returned = true;
      return std::make_pair(quiet, std::chrono::steady_clock::now() - start);
    });
    entering.get_future().wait();
    // Let the waiter settle into its wait: nothing can be delivered meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned.load());
    gate.open();
    const auto [quiet, waited] = waiter.get();
    EXPECT_TRUE(quiet);
    EXPECT_GE(waited, std::chrono::milliseconds(10));
    EXPECT_EQ(logger.getWatcher()->size(), 0);
    logger.detachMessenger(&bus);
  }
  bus.unregisterListener(8, &gate);
}

TEST(LogQueueWatcherTest, AwaitOnTheBusThreadReturnsAtOnce) {
  Messenger bus;
  Logger logger;
  logger.registerMessenger(&bus);
  Gate gate;
  std::promise<std::pair<bool, std::int64_t>> answered;
  struct Waiter : IMessengerListener {
    Logger* logger;
    std::promise<std::pair<bool, std::int64_t>>* answered;
    void onReceive(const std::string&, const ThriftParams&) override {
      // A line is in flight behind this message: waiting here would never end.
      const bool quiet = logger->getWatcher()->await();
      answered->set_value({quiet, logger->getWatcher()->size()});
    }
  } waiter;
  waiter.logger = &logger;
  waiter.answered = &answered;
  bus.registerListener(7, &gate);  // holds the bus until the line is counted
  bus.registerListener(7, &waiter);
  bus.send("x", std::make_unique<ThriftParams>(7, 0, nullptr));
  log(logger, "x", LogLevel::Info, "queued behind");
  gate.open();
  const auto [quiet, inFlight] = answered.get_future().get();
  EXPECT_FALSE(quiet);
  EXPECT_EQ(inFlight, 1);
  bus.unregisterListener(7, &gate);
  bus.unregisterListener(7, &waiter);
  logger.detachMessenger(&bus);
}

TEST(LogQueueWatcherTest, AwaitReturnsAtOnceOnceTheBusHasStopped) {
  Messenger bus;
  Logger logger;
  logger.registerMessenger(&bus);
  std::promise<void> exited;
  bus.setCallbacks(nullptr, [](void* p) { static_cast<std::promise<void>*>(p)->set_value(); },
                   &exited);
  bus.stop();
  exited.get_future().wait();
  log(logger, "x", LogLevel::Info, "never delivered");
  EXPECT_EQ(logger.getWatcher()->size(), 1);
  EXPECT_FALSE(logger.getWatcher()->await());  // no limit, yet no hang
  logger.detachMessenger(&bus);
  // A forgotten bus's lines are no longer followed.
  EXPECT_EQ(logger.getWatcher()->size(), 0);
  EXPECT_TRUE(logger.getWatcher()->await());
}

}  // namespace
}  // namespace tembrolexinsdk
