// The process's edges, each scenario in a process of its own (the threadsafe
// death-test style starts this executable again for it):
//  - exit() while another thread makes a decoder: a start-up held just before
//    its key pair is made until the exit's shutdown waits for it ends first,
//    so the process ends with the app's status and the key pair is on the
//    disk by the app's last exit handler (which runs after OpenSSL's own
//    clean-up); a decoder made once the exit or shutdown() has begun makes
//    no key pair and says it will not decode;
//  - a child made by fork() once the library runs: its exit() ends with its
//    status, its shutdown() returns with an Error line on standard error;
//  - the core's lines with no bus: before the first decoder the backlog
//    keeps the first Logger::kMaxBacklogLines and the decoder's log tells
//    how many were dropped; after shutdown() they reach the log's sink at
//    once (the app's log delegate, else standard error).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/log_helpers.h"
#include "core/runtime/logger.h"
#include "platform/runtime/data_signer.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/e2e/e2e_app.h"

namespace tltest {
namespace {

using namespace std::chrono_literals;
using namespace tembrolexinplatform;

// Ends a scenario's process: 0 when every expectation held.
[[noreturn]] void endScenario() {
  std::fflush(nullptr);
  std::_Exit(testing::Test::HasFailure() ? 1 : 0);
}

// The key pair's private key file in the key store `folder`.
std::string privateKeyFile(const std::string& folder) {
  return SecurityKeys(folder).keyPath(SecurityKeys::kPrivateTag);
}

// --- exit() while a decoder is being made -------------------------------------

// What the app's last exit handler checks: whether the key file of the
// decoder made during the exit should be on the disk by then. Never freed:
// the handler runs after static objects are gone.
struct ExitCheck {
  std::string keyFile;
  bool keysExpected = true;
};
ExitCheck* gExitCheck = nullptr;

// Registered before the library's handler, so it runs after it (and after
// OpenSSL's clean-up, registered before the library's too).
void lastExitHandler() {
  if (gExitCheck == nullptr) return;
  const bool made = std::filesystem::exists(gExitCheck->keyFile);
  if (made == gExitCheck->keysExpected) return;
  std::fprintf(stderr, "%s\n",
               made ? "a decoder made during the exit made its key pair"
                    : "the exit ended while a decoder's start-up was still making its key pair");
  std::fflush(stderr);
  std::_Exit(99);
}

// A hand-over between a thread held in a seam and the one that lets it go.
// Never freed: the held thread may still wait on it as the process ends.
struct Hand {
  std::mutex mutex;
  std::condition_variable cv;
  bool held = false;
  bool released = false;
};

enum class Making { kFirstDecoderHeld, kLaterDecoderHeld, kDecoderMadeInTheExit };

struct ExitCase {
  const char* name;
  Making making;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

constexpr int kAppStatus = 7;

// Makes a decoder as the case says and calls exit(kAppStatus) on the main
// thread.
void exitWhileADecoderIsMade(Making making) {
  std::atexit(lastExitHandler);
  static TempDir* dir = new TempDir();  // the exit does not delete it
  PlatformEnvironment env = installEnvironment(*dir);
  TLDecoder::Options options;
  options.coreBridge = {};
  if (making != Making::kFirstDecoderHeld) {
    // Made and set up before the exit: the one in question is not the
    // first.
    static auto* earlier = new std::shared_ptr<TLDecoder>(TLDecoder::create(options));
    ASSERT_TRUE(std::filesystem::exists(privateKeyFile(env.keyStoreFolder)));
    (void)earlier;
  }
  // The decoder in question keeps its keys in a folder of its own.
  env.keyStoreFolder = dir->file("keys-of-the-decoder-in-question");
  PlatformEnvironment::install(env);
  gExitCheck = new ExitCheck{privateKeyFile(env.keyStoreFolder),
                             making != Making::kDecoderMadeInTheExit};

  auto* hand = new Hand();
  auto makeOne = [options] {
    // Kept: the exit goes on while this thread parks.
    new std::shared_ptr<TLDecoder>(TLDecoder::create(options));
  };
  TLDecoder::StartUpSeams seams;
  if (making == Making::kDecoderMadeInTheExit) {
    // Made on another thread once the exit has begun, and waited for here.
    seams.awaitingStartUps = [makeOne] {
      std::thread maker(makeOne);
      maker.join();
    };
  } else {
    seams.beforeKeyWork = [hand] {
      std::unique_lock<std::mutex> lock(hand->mutex);
      hand->held = true;
      hand->cv.notify_all();
      hand->cv.wait(lock, [hand] { return hand->released; });
    };
    seams.awaitingStartUps = [hand] {
      std::lock_guard<std::mutex> lock(hand->mutex);
      hand->released = true;
      hand->cv.notify_all();
    };
    TLDecoder::setStartUpSeams(seams);
    std::thread([makeOne, hand] {
      makeOne();
      std::unique_lock<std::mutex> lock(hand->mutex);
      hand->cv.wait(lock, [] { return false; });  // parks until the process ends
    }).detach();
    std::unique_lock<std::mutex> lock(hand->mutex);
    if (!hand->cv.wait_for(lock, 10s, [hand] { return hand->held; })) {
      ADD_FAILURE() << "the start-up never reached its key work";
      endScenario();
    }
  }
  if (making == Making::kDecoderMadeInTheExit) TLDecoder::setStartUpSeams(seams);
  std::fflush(nullptr);
  std::exit(kAppStatus);
}

class ExitWhileMakingTest : public testing::TestWithParam<ExitCase> {};

TEST_P(ExitWhileMakingTest, TheProcessEndsWithTheAppsStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitWhileADecoderIsMade(GetParam().making), testing::ExitedWithCode(kAppStatus),
              "");
}

INSTANTIATE_TEST_SUITE_P(
    Makings, ExitWhileMakingTest,
    testing::Values(ExitCase{"FirstDecoderHeldBeforeItsKeys", Making::kFirstDecoderHeld},
                    ExitCase{"LaterDecoderHeldBeforeItsKeys", Making::kLaterDecoderHeld},
                    ExitCase{"DecoderMadeOnceTheExitBegan", Making::kDecoderMadeInTheExit}),
    [](const testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

// The app's log lines of a sender, as "<level> <sender>: <text>".
class LogRecorder : public TLLoggerDelegate {
 public:
  explicit LogRecorder(Record& r) : r_(r) {}
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    r_.add(std::to_string(params.level) + " " + sender + ": " + params.message);
  }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

// shutdown(), then a decoder: it makes no key pair, neither as it is made
// nor when asked to start, and says it will not decode.
void makeADecoderAfterTheShutdown() {
  TempDir dir;
  const PlatformEnvironment env = installEnvironment(dir);
  Record log;
  TLLogger::sharedLogger().setDelegate(std::make_shared<LogRecorder>(log));
  TLDecoder::shutdown();
  TLDecoder::Options options;
  options.coreBridge = {};
  auto decoder = TLDecoder::create(options);
  decoder->startDecoding();
  EXPECT_FALSE(std::filesystem::exists(privateKeyFile(env.keyStoreFolder)));
  EXPECT_FALSE(std::filesystem::exists(env.documentsFolder + "/TL"));
  EXPECT_TRUE(log.contains("4 -[TLDecoder init]: The library has shut down: this decoder will "
                           "not decode"));
  EXPECT_TRUE(log.contains("4 -[TLDecoder startDecoding]: startDecoding refused: the library has "
                           "shut down"));
  endScenario();
}

TEST(ShutDownLibraryTest, ADecoderMadeAfterwardsMakesNoKeysAndSaysItWillNotDecode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(makeADecoderAfterTheShutdown(), testing::ExitedWithCode(0), "");
}

// --- A child made by fork() ----------------------------------------------------

struct ForkCase {
  const char* name;
  void (*child)();  // runs in the child, which ends by exit()
  int status;
  const char* stderrText;  // what the child writes to standard error
};

void PrintTo(const ForkCase& c, std::ostream* os) { *os << c.name; }

constexpr const char* kChildShutdownLine =
    "ERR: +[TLDecoder shutdown]: shutdown() ignored: this process is a child made by fork(), and "
    "the library belongs to its parent (its threads, the files it writes and its locks); a child "
    "uses the library only after exec\n";

// How long a child may take to end: it waits for nothing of the library's.
constexpr auto kChildEndsWithin = 5s;

struct ChildEnd {
  bool hung = false;
  int status = -1;  // the raw wait status
  std::string err;
};

// Forks a child that runs `body` with its standard error going to a pipe;
// kills it when it has not ended within kChildEndsWithin.
ChildEnd runForkedChild(void (*body)()) {
  ChildEnd end;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return end;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDERR_FILENO);
    body();
    ::_exit(125);  // not reached: the body exits
  }
  ::close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() + kChildEndsWithin;
  char buffer[1024];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fds[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      end.hung = true;
      break;
    }
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;  // the child has ended (or closed its standard error)
    end.err.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  while (!end.hung && ::waitpid(pid, &end.status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) end.hung = true;
    else std::this_thread::sleep_for(1ms);
  }
  if (end.hung) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &end.status, 0);
  }
  return end;
}

void exitInTheChild() { std::exit(3); }

void shutDownInTheChild() {
  TLDecoder::shutdown();
  std::exit(4);
}

// The library started in this process (the shared decoder over the real
// core), then a child.
void forkWithTheLibraryStarted(const ForkCase& c) {
  TempDir dir;
  installEnvironment(dir);
  auto decoder = TLDecoder::sharedDecoder();
  const ChildEnd end = runForkedChild(c.child);
  EXPECT_FALSE(end.hung) << end.err;
  EXPECT_TRUE(WIFEXITED(end.status)) << end.err;
  EXPECT_EQ(WEXITSTATUS(end.status), c.status) << end.err;
  EXPECT_EQ(end.err, c.stderrText);
  endScenario();
}

class ForkedChildTest : public testing::TestWithParam<ForkCase> {};

TEST_P(ForkedChildTest, EndsWithItsStatusWithoutWaitingForTheParentsLibrary) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(forkWithTheLibraryStarted(GetParam()), testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Children, ForkedChildTest,
    testing::Values(ForkCase{"ExitInTheChild", exitInTheChild, 3, ""},
                    ForkCase{"ShutdownInTheChild", shutDownInTheChild, 4, kChildShutdownLine}),
    [](const testing::TestParamInfo<ForkCase>& info) { return std::string(info.param.name); });

// --- The core's lines with no bus ---------------------------------------------

using tembrolexinsdk::LogLevel;
using tembrolexinsdk::Logger;
using tembrolexinsdk::logWithLogger;

// More lines than the backlog keeps before the first decoder, then a
// decoder over the real core: the app's log delegate hears the first
// kMaxBacklogLines in order, then one Warning with the count of the others,
// then what comes after.
void linesPastTheBoundThenADecoder() {
  constexpr std::size_t kBound = Logger::kMaxBacklogLines;
  constexpr std::size_t kPast = 25;
  Record log;
  TLLogger::sharedLogger().setDelegate(std::make_shared<LogRecorder>(log));
  for (std::size_t i = 0; i < kBound + kPast; ++i) {
    logWithLogger<LogLevel::Warning>(nullptr, "before the decoder ", i);
  }
  EXPECT_EQ(Logger::getInstance()->backlogSize(), kBound);
  EXPECT_EQ(Logger::getInstance()->droppedLines(), kPast);

  TempDir dir;
  installEnvironment(dir);
  auto decoder = TLDecoder::sharedDecoder();
  logWithLogger<LogLevel::Warning>(nullptr, "after the decoder");
  ASSERT_TRUE(log.waitForText("3 <Unknown object>: after the decoder"));

  std::vector<std::string> heard;
  for (const std::string& line : log.texts()) {
    if (line.rfind("3 <Unknown object>: ", 0) == 0 || line.rfind("3 Logger: ", 0) == 0) {
      heard.push_back(line);
    }
  }
  ASSERT_EQ(heard.size(), kBound + 2);
  for (std::size_t i = 0; i < kBound; ++i) {
    ASSERT_EQ(heard[i], "3 <Unknown object>: before the decoder " + std::to_string(i));
  }
  // The count takes in the lines the core's making logs before it has its
  // bus too (Debug lines of its set-up), which found the backlog full.
  const std::string told = "3 Logger: Log lines dropped: ";
  const std::string kept = " (only the first " + std::to_string(kBound) +
                           " lines logged while no bus took them were kept)";
  ASSERT_EQ(heard[kBound].rfind(told, 0), 0u) << heard[kBound];
  ASSERT_GT(heard[kBound].size(), told.size() + kept.size()) << heard[kBound];
  EXPECT_EQ(heard[kBound].substr(heard[kBound].size() - kept.size()), kept);
  EXPECT_GE(std::stoul(heard[kBound].substr(told.size())), kPast) << heard[kBound];
  EXPECT_EQ(Logger::getInstance()->backlogSize(), 0u);
  endScenario();
}

TEST(CoreLinesWithoutBusTest, TheBacklogKeepsItsBoundAndTheDecoderTellsTheCount) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(linesPastTheBoundThenADecoder(), testing::ExitedWithCode(0), "");
}

// Standard error's text while `body` runs.
template <typename Body>
std::string standardErrorOf(Body body) {
  std::fflush(stderr);
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(fds[1], STDERR_FILENO);
  ::close(fds[1]);
  body();
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text;
  char buffer[1024];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  return text;
}

// After shutdown() the core's lines reach the log's sink on the logging
// thread, before the logging call returns: the app's log delegate, and
// standard error once the app has unset it.
void coreLinesAfterTheShutdown() {
  TempDir dir;
  installEnvironment(dir);
  auto decoder = TLDecoder::sharedDecoder();
  Record log;
  TLLogger::sharedLogger().setDelegate(std::make_shared<LogRecorder>(log));
  TLDecoder::shutdown();
  logWithLogger<LogLevel::Warning>(nullptr, "cut off: ", 44, " bytes missing");
  EXPECT_TRUE(log.contains("3 <Unknown object>: cut off: 44 bytes missing"))
      << testing::PrintToString(log.texts());
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_EQ(standardErrorOf([] { logWithLogger<LogLevel::Error>(nullptr, "to standard error"); }),
            "ERR: <Unknown object>: to standard error\n");
  endScenario();
}

TEST(CoreLinesWithoutBusTest, AfterTheShutdownTheyReachTheLogsSinkAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(coreLinesAfterTheShutdown(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tltest
