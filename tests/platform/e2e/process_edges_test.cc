// The process's edges, each scenario in a process of its own (threadsafe
// death tests): exit() while another thread makes a decoder; after
// shutdown(), a decoder made then and the core's lines, whose bus has
// stopped; a child made by fork() once the library runs.
#include <fcntl.h>
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
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/log_helpers.h"
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
  // Kept for good: their threads go on while the process exits.
  static auto* kept = new std::vector<std::shared_ptr<TLDecoder>>(2);
  auto makeOne = [options](std::size_t slot) { (*kept)[slot] = TLDecoder::create(options); };
  if (making != Making::kFirstDecoderHeld) makeOne(0);  // the one in question is not the first
  // The decoder in question keeps its keys in a folder of its own.
  env.keyStoreFolder = dir->file("keys-in-question");
  PlatformEnvironment::install(env);
  gExitCheck = new ExitCheck{privateKeyFile(env.keyStoreFolder),
                             making != Making::kDecoderMadeInTheExit};
  TLDecoder::StartUpSeams seams;
  if (making == Making::kDecoderMadeInTheExit) {
    // Made on another thread once the exit has begun, and waited for there.
    seams.awaitingStartUps = [makeOne] { std::thread(makeOne, 1).join(); };
    TLDecoder::setStartUpSeams(seams);
  } else {
    auto* hand = new Hand();
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
      makeOne(1);
      std::unique_lock<std::mutex> lock(hand->mutex);
      hand->cv.wait(lock, [] { return false; });  // parks until the process ends
    }).detach();
    std::unique_lock<std::mutex> lock(hand->mutex);
    if (!hand->cv.wait_for(lock, 10s, [hand] { return hand->held; })) {
      ADD_FAILURE() << "the start-up never reached its key work";
      endScenario();
    }
  }
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

// After shutdown(): a decoder made then makes no key pair, neither as it is
// made nor when asked to start, and says it will not decode; the core's
// lines, which no bus takes any more, reach the log's sink (here the app's
// log delegate) on the logging thread before the logging call returns.
void afterTheShutdown() {
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
  tembrolexinsdk::logWithLogger<tembrolexinsdk::LogLevel::Warning>(nullptr, "cut off: ", 44,
                                                                   " bytes missing");
  EXPECT_TRUE(log.contains("3 <Unknown object>: cut off: 44 bytes missing"))
      << testing::PrintToString(log.texts());
  endScenario();
}

TEST(AfterTheShutdownTest, ANewDecoderMakesNoKeysAndCoreLinesReachTheLogAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(afterTheShutdown(), testing::ExitedWithCode(0), "");
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

struct ChildEnd {
  int status = -1;  // the raw wait status
  std::string err;
};

// Forks a child that runs `body` (which exits) with its standard error going
// to a pipe; kills it when it has not ended within 10 s.
ChildEnd runForkedChild(void (*body)()) {
  ChildEnd end;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return end;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDERR_FILENO);
    body();
  }
  ::close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (::waitpid(pid, &end.status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &end.status, 0);
      end.err = "(hung) ";
    }
    std::this_thread::sleep_for(1ms);
  }
  char buffer[1024];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    end.err.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  return end;
}

// The status the child exits with. Under AddressSanitizer the child ends
// with it (_exit) once the library's exit handler and the bus's exit guard,
// registered after this handler, have run: LeakSanitizer's check at the
// very end would wait for ever for allocator locks that other threads of
// the parent held as the child was made.
int gChildStatus = 0;
const pid_t kTestProcess = ::getpid();
void endTheChildBeforeTheLeakCheck() {
#if defined(__SANITIZE_ADDRESS__)
  if (::getpid() != kTestProcess) ::_exit(gChildStatus);
#endif
}

void exitInTheChild() {
  gChildStatus = 3;
  std::exit(3);
}

void shutDownInTheChild() {
  TLDecoder::shutdown();
  gChildStatus = 4;
  std::exit(4);
}

// The library started in this process (the shared decoder over the real
// core), then a child.
void forkWithTheLibraryStarted(const ForkCase& c) {
  std::atexit(endTheChildBeforeTheLeakCheck);
  TempDir dir;
  installEnvironment(dir);
  auto decoder = TLDecoder::sharedDecoder();
  const ChildEnd end = runForkedChild(c.child);
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

}  // namespace
}  // namespace tltest
