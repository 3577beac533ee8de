// The process's edges, each scenario in a process of its own (threadsafe
// death tests): exit() while another thread makes a decoder; after
// shutdown(), a decoder made then and the core's lines, whose bus has
// stopped; a child made by fork() once the library runs.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
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

// The key file of the decoder made during the exit, and whether it should be
// on the disk once the library's exit handler has run. Never freed: the last
// exit handler reads them after static objects are gone.
const std::string* gKeyFile = nullptr;
bool gKeysExpected = true;

// Registered before the library's handler, so it runs after it (and after
// OpenSSL's clean-up, registered before the library's too).
void lastExitHandler() {
  if (gKeyFile == nullptr) return;
  const bool made = std::filesystem::exists(*gKeyFile);
  if (made == gKeysExpected) return;
  std::fprintf(stderr, "%s\n",
               made ? "a decoder made during the exit made its key pair"
                    : "the exit ended while a decoder's start-up was still making its key pair");
  std::fflush(stderr);
  std::_Exit(99);
}

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
  // Kept for good: their threads go on while the process exits.
  static auto* kept = new std::vector<std::shared_ptr<TLDecoder>>(2);
  TLDecoder::Options options;
  options.coreBridge = {};
  auto makeOne = [options](std::size_t slot) { (*kept)[slot] = TLDecoder::create(options); };
  if (making != Making::kFirstDecoderHeld) makeOne(0);  // the one in question is not the first
  // The decoder in question keeps its keys in a folder of its own.
  env.keyStoreFolder = dir->file("keys-in-question");
  PlatformEnvironment::install(env);
  gKeyFile = new std::string(privateKeyFile(env.keyStoreFolder));
  gKeysExpected = making != Making::kDecoderMadeInTheExit;
  TLDecoder::StartUpSeams seams;
  if (making == Making::kDecoderMadeInTheExit) {
    // Made on another thread once the exit has begun, and waited for there.
    seams.awaitingStartUps = [makeOne] { std::thread(makeOne, 1).join(); };
    TLDecoder::setStartUpSeams(seams);
  } else {
    // Held before its key work until the exit waits for start-ups. Never
    // freed: the held thread may still wait on them as the process ends.
    auto* held = new Gate();
    auto* released = new Gate();
    seams.beforeKeyWork = [held, released] {
      held->open();
      released->wait(24h);
    };
    seams.awaitingStartUps = [released] { released->open(); };
    TLDecoder::setStartUpSeams(seams);
    std::thread([makeOne] {
      makeOne(1);
      for (;;) ::pause();  // parks until the process ends
    }).detach();
    if (!held->wait(10s)) {
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
  EXPECT_EXIT(exitWhileADecoderIsMade(GetParam().making), testing::ExitedWithCode(kAppStatus), "");
}

INSTANTIATE_TEST_SUITE_P(
    Makings, ExitWhileMakingTest,
    testing::Values(ExitCase{"FirstDecoderHeldBeforeItsKeys", Making::kFirstDecoderHeld},
                    ExitCase{"LaterDecoderHeldBeforeItsKeys", Making::kLaterDecoderHeld},
                    ExitCase{"DecoderMadeOnceTheExitBegan", Making::kDecoderMadeInTheExit}),
    [](const auto& info) { return std::string(info.param.name); });

// The app's log lines of a sender, as "<level> <sender>: <text>".
struct LogRecorder : TLLoggerDelegate {
  explicit LogRecorder(Record& r) : r(r) {}
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    r.add(std::to_string(params.level) + " " + sender + ": " + params.message);
  }
  Record r;  // a copy: shares the test's record and keeps it alive
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
  EXPECT_TRUE(
      log.contains("4 -[TLDecoder init]: The library has shut down: this decoder "
                   "will not decode"));
  EXPECT_TRUE(
      log.contains("4 -[TLDecoder startDecoding]: startDecoding refused: the library "
                   "has shut down"));
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

struct ForkCase {
  const char* name;
  bool shutsDown;          // whether the child calls shutdown() before it exits
  int status;              // what the child exits with
  const char* stderrText;  // what the child writes to standard error
};

void PrintTo(const ForkCase& c, std::ostream* os) { *os << c.name; }

constexpr const char* kChildShutdownLine =
    "ERR: +[TLDecoder shutdown]: shutdown() ignored: this process is a child made by fork(), and "
    "the library belongs to its parent (its threads, the files it writes and its locks); a child "
    "uses the library only after exec\n";

// The status the child exits with; under AddressSanitizer it ends with it
// (_exit) once the library's exit handler and the bus's exit guard,
// registered after this one, have run: LeakSanitizer's check at the very end
// would wait for ever for allocator locks the parent's other threads held.
int gChildStatus = 0;
const pid_t kTestProcess = ::getpid();
void endTheChildBeforeTheLeakCheck() {
#if defined(__SANITIZE_ADDRESS__)
  if (::getpid() != kTestProcess) ::_exit(gChildStatus);
#endif
}

// The library started in this process (the shared decoder over the real
// core), then a child, its standard error going to a pipe, that ends by
// exit(); it is killed when it has not ended within 10 s.
void forkWithTheLibraryStarted(const ForkCase& c) {
  std::atexit(endTheChildBeforeTheLeakCheck);
  TempDir dir;
  installEnvironment(dir);
  auto decoder = TLDecoder::sharedDecoder();
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDERR_FILENO);
    if (c.shutsDown) TLDecoder::shutdown();
    gChildStatus = c.status;
    std::exit(c.status);
  }
  ::close(fds[1]);
  int status = -1;
  std::string err;
  for (const auto end = std::chrono::steady_clock::now() + 10s;
       ::waitpid(pid, &status, WNOHANG) == 0; std::this_thread::sleep_for(1ms)) {
    if (std::chrono::steady_clock::now() > end && ::kill(pid, SIGKILL) == 0) err = "(hung) ";
  }
  char buffer[1024];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) err.append(buffer, n);
  EXPECT_TRUE(WIFEXITED(status)) << err;
  EXPECT_EQ(WEXITSTATUS(status), c.status) << err;
  EXPECT_EQ(err, c.stderrText);
  endScenario();
}

class ForkedChildTest : public testing::TestWithParam<ForkCase> {};

TEST_P(ForkedChildTest, EndsWithItsStatusWithoutWaitingForTheParentsLibrary) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(forkWithTheLibraryStarted(GetParam()), testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Children, ForkedChildTest,
                         testing::Values(ForkCase{"ExitInTheChild", false, 3, ""},
                                         ForkCase{"ShutdownInTheChild", true, 4,
                                                  kChildShutdownLine}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tltest
