// Returning from main at any moment of the decoder's life: the app of
// exit_app_main.cc runs as a child process that returns from main at each
// moment, with the main queue on the library's thread and bound to main's,
// several times over. Every run ends by itself with status 0, and the
// analytics record files it leaves hold whole JSON lines only, a CODEWORD
// line for every word the app heard, and, once decoding had started, the
// start and the stop of decoding. In "calling", app threads still call in
// while main returns: nothing they reach may be destroyed by the exit
// handlers (under ThreadSanitizer or AddressSanitizer such a use fails the
// child). An app that calls exit() from inside a delegate call that the bus
// thread waits for ends at once with its own status, and one that calls
// TLDecoder::shutdown() there has it refused and goes on; one that calls
// exit() from a call into it while main runs TLDecoder::shutdown() ends with
// its status too. The EVENT engine's timing thread, once its track is
// synchronised, ends with the shutdown (an app's or the exit's) and is
// joined: no thread is left unjoined, which ThreadSanitizer reports as a leak
// and fails the child. And once the exit has begun, no call enters the app
// on any path (the app of exit_calls_app_main.cc).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "tests/support/temp_dir.h"

namespace tltest {
namespace {

using namespace std::chrono_literals;

struct ChildRun {
  bool hung = false;
  int status = -1;  // the raw wait status
  std::string out;
  // From the first "exit" line of the output to the child's end.
  std::optional<std::chrono::steady_clock::duration> sinceExitLine;
};

// Runs `app` with `args` and collects its standard output (and, with
// `withStderr`, its standard error in the same stream); kills it after
// `limit` (a hang).
ChildRun runChild(const char* app, const std::vector<std::string>& args,
                  std::chrono::seconds limit, bool withStderr = false) {
  ChildRun run;
  std::optional<std::chrono::steady_clock::time_point> exitLineAt;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  std::vector<char*> argv;
  std::vector<std::string> owned = args;
  owned.insert(owned.begin(), app);
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    if (withStderr) ::dup2(pipeFds[1], STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  const auto end = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  bool open = true;
  while (open) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.hung = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd p{pipeFds[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) open = false;
    else run.out.append(buffer, static_cast<std::size_t>(n));
    if (!exitLineAt && ("\n" + run.out).find("\nexit\n") != std::string::npos) {
      exitLineAt = std::chrono::steady_clock::now();
    }
  }
  ::close(pipeFds[0]);
  // The pipe closes at the child's end; a child that closed it and then hung
  // would still be waited for here, within the same limit.
  while (true) {
    const pid_t done = ::waitpid(pid, &run.status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > end) {
      run.hung = true;
      ::kill(pid, SIGKILL);
    }
    std::this_thread::sleep_for(5ms);
  }
  if (exitLineAt) run.sinceExitLine = std::chrono::steady_clock::now() - *exitLineAt;
  return run;
}

// The lines of `out` that begin with `prefix`, without it.
std::vector<std::string> linesAfter(const std::string& out, const std::string& prefix) {
  std::vector<std::string> found;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    if (out.compare(start, prefix.size(), prefix) == 0) {
      found.push_back(out.substr(start + prefix.size(), end - start - prefix.size()));
    }
    start = end + 1;
  }
  return found;
}

// The record lines of every analytics file in `folder`, parsed; a line that
// is not one whole JSON object is returned as {"broken": line}.
std::vector<Json::Value> recordLines(const std::string& folder) {
  std::vector<Json::Value> lines;
  std::error_code error;
  // In the order written: names differ only in their time and number.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("sdk_", 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string text = readFile(folder + "/" + name);
    if (!text.empty() && text.back() != '\n') {
      Json::Value broken;
      broken["broken"] = "no line end at the end of " + name;
      lines.push_back(broken);
    }
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      start = end + 1;
      Json::Value value;
      Json::CharReaderBuilder builder;
      std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
      std::string errors;
      if (!reader->parse(line.data(), line.data() + line.size(), &value, &errors) ||
          !value.isObject()) {
        value = Json::Value();
        value["broken"] = line;
      }
      lines.push_back(value);
    }
  }
  return lines;
}

// "exit-in-word" -> "ExitInWord".
std::string camelCase(const char* text) {
  std::string name;
  bool upper = true;
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '-') {
      upper = true;
      continue;
    }
    name += upper ? static_cast<char>(std::toupper(*p)) : *p;
    upper = false;
  }
  return name;
}

// An app's exit() ends the process this soon after its "exit" line: nothing
// of the library's holds it.
constexpr auto kExitWithin = 2s;

// The refusal of a shutdown() made inside a delegate call that the bus
// thread waits for, as the default log writes it.
constexpr const char* kShutdownRefused =
    "ERR: +[TLDecoder shutdown]: shutdown() refused: called from inside a delegate call that a "
    "thread of the library waits for, which the shutdown would wait for in turn; call it after "
    "the delegate call has returned\n";

constexpr const char* kShutdownBegins = "INF: +[TLDecoder shutdown]: Shutting the library down\n";

struct Moment {
  const char* name;
  bool decodingStarted;  // the start of decoding is on record for certain
  // Nonzero: the app ends by exit() with this status (after an "exit"
  // line) instead of returning 0 from main.
  int exitStatus = 0;
  // A line the library logs (the child's standard error is collected too),
  // and one it logs later.
  const char* logged = nullptr;
  const char* loggedLater = nullptr;
  // Run with the main queue on the library's thread only (main's thread
  // cannot pump the call while it runs the shutdown).
  bool ownQueueOnly = false;
};

void PrintTo(const Moment& moment, std::ostream* os) { *os << moment.name; }

class ExitTest : public testing::TestWithParam<Moment> {};

TEST_P(ExitTest, ReturningFromMainEndsTheProcessCleanlyAndKeepsEveryRecord) {
  const Moment moment = GetParam();
  const int rounds = std::getenv("TL_EXIT_ROUNDS") ? std::atoi(std::getenv("TL_EXIT_ROUNDS")) : 2;
  for (const char* mode : {"own", "bound"}) {
    if (moment.ownQueueOnly && std::string(mode) == "bound") continue;
    for (int round = 0; round < rounds; ++round) {
      SCOPED_TRACE(std::string(moment.name) + " " + mode + " round " + std::to_string(round));
      TempDir dir;
      const ChildRun run = runChild(TL_EXIT_APP, {moment.name, mode, dir.path()}, 120s,
                                    moment.logged != nullptr);
      ASSERT_FALSE(run.hung) << run.out;
      ASSERT_TRUE(WIFEXITED(run.status))
          << "signal " << (WIFSIGNALED(run.status) ? WTERMSIG(run.status) : 0) << "\n" << run.out;
      ASSERT_EQ(WEXITSTATUS(run.status), moment.exitStatus) << run.out;
      if (moment.exitStatus == 0) {
        ASSERT_NE(run.out.find("return\n"), std::string::npos) << run.out;
      } else {
        ASSERT_TRUE(run.sinceExitLine) << run.out;
        EXPECT_LT(*run.sinceExitLine, kExitWithin) << run.out;
      }
      if (moment.logged != nullptr) {
        const std::size_t at = run.out.find(moment.logged);
        EXPECT_NE(at, std::string::npos) << run.out;
        if (moment.loggedLater != nullptr) {
          const std::size_t later = run.out.find(moment.loggedLater);
          EXPECT_NE(later, std::string::npos) << run.out;
          EXPECT_LT(at, later) << run.out;
        }
      }

      std::set<int64_t> heard;
      for (const std::string& word : linesAfter(run.out, "word ")) {
        heard.insert(std::atoll(word.c_str()));
      }
      std::set<int64_t> recorded;
      std::vector<std::string> statuses;
      for (const Json::Value& line : recordLines(dir.file("Documents/TL/Analytics"))) {
        ASSERT_FALSE(line.isMember("broken")) << line["broken"].asString();
        if (line["id"] == "CODEWORD") recorded.insert(line["msg"].asInt64());
        if (line["id"] == "DECODINGSTATUS") statuses.push_back(line["status"].asString());
      }
      for (int64_t word : heard) EXPECT_EQ(recorded.count(word), 1u) << word;
      if (moment.decodingStarted) {
        ASSERT_FALSE(statuses.empty());
        EXPECT_EQ(statuses.front(), "start");
        EXPECT_EQ(statuses.back(), "stop");
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Moments, ExitTest,
                         testing::Values(Moment{"created", false}, Moment{"started", false},
                                         Moment{"listening", true}, Moment{"decoding", true},
                                         Moment{"stopping", true}, Moment{"stopped", true},
                                         // The shutdown's first line comes before
                                         // those of the core it stops.
                                         Moment{"shutdown", true, 0, kShutdownBegins,
                                                "INF: AudioDecoder: resetting AudioDecoder state"},
                                         Moment{"calling", false},
                                         Moment{"exit-in-word", true, 42},
                                         Moment{"shutdown-in-word", true, 0, kShutdownRefused},
                                         Moment{"exit-in-word-in-shutdown", true, 42, nullptr,
                                                nullptr, true},
                                         Moment{"exit-in-stopped-in-shutdown", true, 42},
                                         Moment{"exit-in-log-in-shutdown", true, 42},
                                         Moment{"event-synced-shutdown", true},
                                         Moment{"exit-in-timed-event", true, 42},
                                         Moment{"exit-in-timing-log-in-shutdown", true, 42},
                                         // The EVENT delegate, called while main's
                                         // shutdown runs.
                                         Moment{"exit-in-track-in-shutdown", true, 42, nullptr,
                                                nullptr, true},
                                         Moment{"exit-in-synced-in-shutdown", true, 42, nullptr,
                                                nullptr, true},
                                         Moment{"exit-in-ended-in-shutdown", true, 42, nullptr,
                                                nullptr, true},
                                         Moment{"exit-in-interrupted-in-shutdown", true, 42,
                                                nullptr, nullptr, true}),
                         [](const testing::TestParamInfo<Moment>& info) {
                           return camelCase(info.param.name);
                         });

// Once the exit has begun, nothing of the app's is entered: the app of
// exit_calls_app_main.cc has a call reach it after that on each path, and
// reports any call that enters it ("late ..."). Every run ends by itself with
// its `status` (one the app exits with ends within 2 s of
// its "exit" line); the library kept the late calls out ("refused N"), and
// the texts of `inOrder` appear in that order (the library's lines, on
// standard error, go to the same stream).
struct LateCall {
  const char* path;
  std::vector<const char*> inOrder;
  int status = 0;
};

void PrintTo(const LateCall& c, std::ostream* os) { *os << c.path; }

class ExitCallsTest : public testing::TestWithParam<LateCall> {};

TEST_P(ExitCallsTest, NoCallEntersTheAppOnceTheExitHasBegun) {
  const LateCall& c = GetParam();
  TempDir dir;
  const ChildRun run = runChild(TL_EXIT_CALLS_APP, {c.path, dir.path()}, 120s, true);
  ASSERT_FALSE(run.hung) << run.out;
  ASSERT_TRUE(WIFEXITED(run.status))
      << "signal " << (WIFSIGNALED(run.status) ? WTERMSIG(run.status) : 0) << "\n" << run.out;
  EXPECT_EQ(WEXITSTATUS(run.status), c.status) << run.out;
  if (c.status != 0) {
    ASSERT_TRUE(run.sinceExitLine) << run.out;
    EXPECT_LT(*run.sinceExitLine, kExitWithin) << run.out;
  }
  EXPECT_EQ(run.out.find("late "), std::string::npos) << run.out;
  const std::size_t refused = run.out.find("\nrefused ");
  ASSERT_NE(refused, std::string::npos) << run.out;
  EXPECT_GE(std::atoi(run.out.c_str() + refused + 9), 1) << run.out;
  std::size_t at = 0;
  for (const char* text : c.inOrder) {
    at = run.out.find(text, at);
    ASSERT_NE(at, std::string::npos) << "\"" << text << "\" in order in\n" << run.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ExitCallsTest,
    testing::Values(
        LateCall{"decoder", {"return\n", "Shutting the library down"}},
        LateCall{"engine", {"return\n"}},
        LateCall{"ntp", {"return\n"}},
        LateCall{"recorder", {"return\n"}},
        // The shutdown's own lines go to the default log instead.
        LateCall{"log",
                 {"return\n", "INF: +[TLDecoder shutdown]: Shutting the library down\n",
                  "INF: +[TLDecoder shutdown]: The library has shut down\n"}},
        LateCall{"inline", {"return\n"}},
        LateCall{"exit-in-call", {"exit\n", "The library has shut down"}},
        LateCall{"exit-pumping", {"exit\n", "The library has shut down"}},
        // The call that runs as main returns ends before the shutdown.
        LateCall{"running", {"return\n", "call ended\n", "Shutting the library down"}},
        // The action is not opened; the close goes on as if the app agreed.
        LateCall{"content", {"return\n", "close goes on\n"}},
        // exit() from the app's log delegate on a thread of the library's
        // (the network-time client's own queue): once the shutdown lets that
        // queue go on it, and on a line logged after the decoder's
        // network-time lock, which the shutdown takes, was held.
        LateCall{"exit-after-throw", {"exit\n", "The library has shut down"}, 43},
        LateCall{"exit-on-backoff", {"exit\n", "The library has shut down"}, 43},
        // exit() from the log delegate on a line of the app's own shutdown,
        // which holds the lock that the exit's shutdown takes.
        LateCall{"exit-in-shutdown", {"exit\n", "The library has shut down"}, 43},
        // exit() from the log delegate on a line the network manager logs while
        // a question to it waits on the bus, whose delivery the shutdown waits for.
        LateCall{"exit-on-upload-line", {"exit\n", "The library has shut down"}, 43},
        // shutdown() from the content engine's actionWillOpen, on the bus
        // thread, which the shutdown stops: refused.
        LateCall{"shutdown-in-action",
                 {"ERR: +[TLDecoder shutdown]: shutdown() refused: called from inside a call on "
                  "the library's bus thread, which the shutdown would stop and wait for; call it "
                  "after the call has returned\n",
                  "not shut down\n", "return\n", "Shutting the library down"}}),
    [](const testing::TestParamInfo<LateCall>& info) { return camelCase(info.param.path); });

}  // namespace
}  // namespace tltest
