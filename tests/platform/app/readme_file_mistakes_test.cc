// An app's mistakes with audio files reach it within 10 s, naming the file
// and the reason: the README's reader refuses a file it cannot read, and a
// TL_AUDIO_SOURCE file that cannot be read fails the start (never a
// startedListening on silence), logged once at Error under a named sender.
// Each case runs in a child process of its own, since the process-wide
// decoder is made once per process.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/audio/audio_file_reader.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/app/readme_app.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;
using Clock = std::chrono::steady_clock;

enum class Road { kReader, kCaptureSource };

struct MistakeCase {
  const char* name;
  Road road;
  const char* content;  // the file's bytes; null: no file
  const char* reason;   // after "Cannot read audio file <path>: "
};

// The log lines that mention `part`, as "log <level> <sender>: <text>".
class LinesAbout : public TLLoggerDelegate {
 public:
  explicit LinesAbout(std::string part) : part_(std::move(part)) {}
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    if (params.message.find(part_) == std::string::npos) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back("log " + std::to_string(params.level) + " " + sender + ": " + params.message);
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  const std::string part_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// What the child heard, one text a line, and the milliseconds it took.
std::string runScenario(const MistakeCase& c, const TempDir& dir, const std::string& path) {
  const auto start = Clock::now();
  Heard heard;
  auto log = std::make_shared<LinesAbout>(path);
  if (c.road == Road::kReader) {
    try {
      tembrolexinsdk::AudioFileReader reader(path);
      heard.add("read at " + std::to_string(reader.rateHz()), false);
    } catch (const std::exception& e) {
      heard.add(std::string("refused:") + e.what(), false);
    }
  } else {
    ::setenv("TL_AUDIO_SOURCE", ("file:" + path).c_str(), 1);
    TLLogger::sharedLogger().setDelegate(log);
    installApp(dir, "com.example.mistakes");
    auto decoder = TLDecoder::sharedDecoder();
    decoder->addDelegate(std::make_shared<App>(heard));
    decoder->startDecoding();
    // The decoder's line on the failure is the last about the file.
    auto ended = [&] {
      for (const std::string& t : heard.texts()) {
        if (t == "listening") return true;
        if (t.rfind("failed:", 0) == 0) {
          for (const std::string& l : log->lines()) {
            if (l.find("AudioDecoder failure") != std::string::npos) return true;
          }
        }
      }
      return false;
    };
    const auto limit = start + std::chrono::seconds(10);
    while (!ended() && Clock::now() < limit) {
      Dispatcher::shared().mainQueue()->runUntil(ended, std::chrono::milliseconds(20));
    }
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::string report = "ms " + std::to_string(ms.count()) + "\n";
  if (c.road == Road::kCaptureSource) {
    // Whatever follows a failure at once (a startedListening would).
    Dispatcher::shared().mainQueue()->runUntil([] { return false; },
                                               std::chrono::milliseconds(500));
  }
  for (const std::string& t : heard.texts()) report += t + "\n";
  for (const std::string& l : log->lines()) report += l + "\n";
  return report;
}

class FileMistakeTest : public testing::TestWithParam<MistakeCase> {};

TEST_P(FileMistakeTest, TheAppHearsTheFileAndTheReasonWithinTenSeconds) {
  const MistakeCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.file("audio.wav");
  if (c.content != nullptr) std::ofstream(path, std::ios::binary) << c.content;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    const std::string report = runScenario(c, dir, path);
    const ssize_t written = ::write(fds[1], report.data(), report.size());
    ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  ::close(fds[1]);
  std::string report;
  const auto limit = Clock::now() + std::chrono::seconds(20);
  for (char buffer[4096];;) {
    pollfd p{fds[0], POLLIN, 0};
    if (Clock::now() >= limit || ::poll(&p, 1, 100) < 0) break;
    if (p.revents == 0) continue;
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    report.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  ::kill(child, SIGKILL);  // ended by now unless it hangs
  int status = 0;
  ::waitpid(child, &status, 0);
  // The report opens with "ms <milliseconds>"; without it the child hung (our
  // SIGKILL after 20 s), died or could not write.
  long ms = -1;
  const bool reported =
      report.rfind("ms ", 0) == 0 &&
      std::from_chars(report.data() + 3, report.data() + report.size(), ms).ec == std::errc();
  ASSERT_TRUE(reported) << "no report from the child, which "
                        << (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL
                                ? "hung and was killed after 20 s"
                            : WIFSIGNALED(status)
                                ? "died of signal " + std::to_string(WTERMSIG(status))
                                : "ended with status " + std::to_string(WEXITSTATUS(status)))
                        << "; it sent \"" << report << "\"";

  const std::string cause = "Cannot read audio file " + path + ": " + c.reason;
  const std::string expected =
      c.road == Road::kReader ? "refused:" + cause + "\n"
                              : "failed:Failed to start audio recorder, result: -19 (file:" + path +
                                    ", which does not open (" + cause + "))\n";
  EXPECT_NE(report.find(expected), std::string::npos) << report;
  if (c.road == Road::kCaptureSource) {
    // One Error line, naming its sender; Info and Debug lines name theirs.
    std::vector<std::string> errors;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("log 4 ", 0) == 0 || line.rfind("log 5 ", 0) == 0) errors.push_back(line);
      EXPECT_EQ(line.find("<Unknown object>"), std::string::npos) << line;
    }
    EXPECT_EQ(errors, std::vector<std::string>{"log 4 AudioDecoder: AudioDecoder failure: " +
                                               expected.substr(7, expected.size() - 8)})
        << report;
  }
  EXPECT_EQ(report.find("listening"), std::string::npos) << report;
  EXPECT_LT(ms, 10000) << report;
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, FileMistakeTest,
    testing::Values(MistakeCase{"ReaderGivenText", Road::kReader, "word 1\nword 2\n",
                                "not a WAV file (it does not start with a RIFF \"WAVE\" header)"},
                    MistakeCase{"ReaderGivenEmptyFile", Road::kReader, "", "the file is empty"},
                    MistakeCase{"ReaderGivenMissingFile", Road::kReader, nullptr,
                                "it does not open (No such file or directory)"},
                    MistakeCase{"CaptureFileMissing", Road::kCaptureSource, nullptr,
                                "it does not open (No such file or directory)"},
                    MistakeCase{"CaptureFileEmpty", Road::kCaptureSource, "", "the file is empty"}),
    [](const testing::TestParamInfo<MistakeCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tltest

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
