// Returning from main at any moment of the decoder's life: the app of
// exit_app_main.cc runs as a child process that returns from main at each
// moment, with the main queue on the library's thread and bound to main's,
// several times over. Every run ends by itself with status 0, and the
// analytics record files it leaves hold whole JSON lines only, a CODEWORD
// line for every word the app heard, and, once decoding had started, the
// start and the stop of decoding. In "calling", app threads still call in
// while main returns: nothing they reach may be destroyed by the exit
// handlers (under ThreadSanitizer or AddressSanitizer such a use fails the
// child).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
};

// Runs the exit app with `args` and collects its standard output; kills it
// after `limit` (a hang).
ChildRun runChild(const std::vector<std::string>& args, std::chrono::seconds limit) {
  ChildRun run;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  std::vector<char*> argv;
  std::vector<std::string> owned = args;
  owned.insert(owned.begin(), TL_EXIT_APP);
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
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
  return run;
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

struct Moment {
  const char* name;
  bool decodingStarted;  // the start of decoding is on record for certain
};

void PrintTo(const Moment& moment, std::ostream* os) { *os << moment.name; }

class ExitTest : public testing::TestWithParam<Moment> {};

TEST_P(ExitTest, ReturningFromMainEndsTheProcessCleanlyAndKeepsEveryRecord) {
  const Moment moment = GetParam();
  const int rounds = std::getenv("TL_EXIT_ROUNDS") ? std::atoi(std::getenv("TL_EXIT_ROUNDS")) : 2;
  for (const char* mode : {"own", "bound"}) {
    for (int round = 0; round < rounds; ++round) {
      SCOPED_TRACE(std::string(moment.name) + " " + mode + " round " + std::to_string(round));
      TempDir dir;
      const ChildRun run = runChild({moment.name, mode, dir.path()}, 120s);
      ASSERT_FALSE(run.hung) << run.out;
      ASSERT_TRUE(WIFEXITED(run.status))
          << "signal " << (WIFSIGNALED(run.status) ? WTERMSIG(run.status) : 0) << "\n" << run.out;
      ASSERT_EQ(WEXITSTATUS(run.status), 0) << run.out;
      ASSERT_NE(run.out.find("return\n"), std::string::npos) << run.out;

      std::set<int64_t> heard;
      for (std::size_t at = run.out.find("word "); at != std::string::npos;
           at = run.out.find("word ", at + 1)) {
        heard.insert(std::atoll(run.out.c_str() + at + 5));
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
                                         Moment{"shutdown", true}, Moment{"calling", false}),
                         [](const testing::TestParamInfo<Moment>& info) {
                           std::string name = info.param.name;
                           name[0] = static_cast<char>(std::toupper(name[0]));
                           return name;
                         });

}  // namespace
}  // namespace tltest
