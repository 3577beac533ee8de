#include "core/audio/audio_sample_check.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinsdk {
namespace {

using std::chrono::seconds;

// Runs the checks on a fake clock: step() advances it and fires what is due.
class SampleCheckTest : public testing::Test {
 protected:
  void Make(AudioSampleCheckPeriods periods = {}) {
    check_ = std::make_unique<AudioSampleCheck>([this] { return listening_.load(); }, clock_,
                                                TimingMode::kManual, periods);
    check_->setSampleRateAndBufferFrames(SampleRate_8000, 1024);
  }
  void Step(seconds s) {
    clock_.advance(s);
    check_->timing().pump();
  }
  // The texts of the captured "MissingAudioCheck" lines, "<level> <text>".
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    for (const auto& line : capture_.matching("MissingAudioCheck")) {
      EXPECT_EQ(line.sender, "AudioSampleCheck");
      out.push_back(std::to_string(line.level) + " " + line.message);
    }
    return out;
  }
  std::string UpTime() { return std::to_string(clock_.upTimeMillis()); }

  tltest::LogCapture capture_;
  tltest::FakeClock clock_;
  std::atomic<bool> listening_{true};
  std::unique_ptr<AudioSampleCheck> check_;
};

TEST_F(SampleCheckTest, ShortCheckTolerance) {
  Make();
  Step(seconds(9));
  EXPECT_TRUE(Lines().empty());
  Step(seconds(1));
  const std::string entered = UpTime();
  // 8000 Hz, 1024 frames: 40000 expected per 5 s, tolerance 8 buffers = 8192.
  for (int samples : {32768, 31807, 48193, 48192, 31808}) {
    check_->samplesReceived(samples);
    Step(seconds(5));
  }
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{
                "2 MissingAudioCheck: Check: StateListening entered (currentTime = " + entered +
                    ")",
                "2 MissingAudioCheck: Avg: StateListening entered",
                "3 MissingAudioCheck: Check: Too few samples received: 31807 vs expected 40000: "
                "missing samples: 8193",
                "3 MissingAudioCheck: Check: Too many samples received: 48193 vs expected 40000: "
                "extra samples: 8193"}));
}

TEST_F(SampleCheckTest, NotListeningResetsAndResumesWithAMark) {
  listening_ = false;
  Make();
  check_->samplesReceived(5000);
  Step(seconds(10));
  listening_ = true;
  check_->samplesReceived(5000);
  Step(seconds(5));
  const std::string resumed = UpTime();
  check_->samplesReceived(40000);
  Step(seconds(5));
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "1 MissingAudioCheck: Check: not listening",
                         "1 MissingAudioCheck: Avg: not listening",
                         "2 MissingAudioCheck: Check: StateListening entered (currentTime = " +
                             resumed + ")"}));
}

TEST_F(SampleCheckTest, AverageBlocksAndLongestDelay) {
  Make({seconds(10), seconds(5), seconds(20)});
  Step(seconds(10));
  // 8000 short by 8000 in the first window (within tolerance, but the
  // longest delay), then full windows, then 8000 short again.
  for (int samples : {32000, 40000, 40000, 32000}) {
    check_->samplesReceived(samples);
    Step(seconds(5));
  }
  for (int i = 0; i < 4; ++i) {
    check_->samplesReceived(40000);
    Step(seconds(5));
  }
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2],
            "3 MissingAudioCheck: Avg: Potential gap or delay detected: received 144000 vs "
            "expected 160000 samples: 16000 samples too few (10%), or 2 s");
  EXPECT_EQ(lines[3],
            "2 MissingAudioCheck: BLOCK: missing 16000 (10%, 2 s), TOTAL: missing 16000 (10%, 2 "
            "s); longest delay: 8000 (1 s)");
  EXPECT_EQ(lines[4],
            "3 MissingAudioCheck: Avg: Potential gap or delay detected: received 304000 vs "
            "expected 320000 samples: 16000 samples too few (5%), or 2 s");
  EXPECT_EQ(lines[5],
            "2 MissingAudioCheck: BLOCK: missing 0 (0%, 0 s), TOTAL: missing 16000 (5%, 2 s); "
            "longest delay: 8000 (1 s)");
}

struct SlackCase {
  const char* name;
  int64_t total;
  const char* warning;  // prefix of the warning, or "" for none
};

class AverageSlackTest : public SampleCheckTest, public testing::WithParamInterface<SlackCase> {};

TEST_P(AverageSlackTest, FourBuffersOfSlack) {
  Make({seconds(10), seconds(1000), seconds(20)});
  Step(seconds(10));
  check_->samplesReceived(static_cast<int>(GetParam().total));
  Step(seconds(20));
  std::vector<std::string> warnings;
  for (const auto& line : Lines()) {
    if (line[0] == '3') warnings.push_back(line);
  }
  if (std::string(GetParam().warning).empty()) {
    EXPECT_TRUE(warnings.empty());
  } else {
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(GetParam().warning, 0), 0u) << warnings[0];
  }
}

// 20 s at 8000 Hz: 160000 expected, slack 4 x 1024.
INSTANTIATE_TEST_SUITE_P(
    Edges, AverageSlackTest,
    testing::Values(
        SlackCase{"AtLowerEdge", 155904, ""},
        SlackCase{"OneBelow", 155903,
                  "3 MissingAudioCheck: Avg: Potential gap or delay detected: received 155903 vs "
                  "expected 160000 samples: 4097 samples too few ("},
        SlackCase{"AtUpperEdge", 164096, ""},
        SlackCase{"OneAbove", 164097,
                  "3 MissingAudioCheck: Avg: Overflow samples: 164097 vs expected 160000: extra "
                  "samples: 4097"}),
    [](const testing::TestParamInfo<SlackCase>& info) { return std::string(info.param.name); });

TEST_F(SampleCheckTest, NoRateAndNoFramesNeverDivide) {
  Make({seconds(10), seconds(5), seconds(20)});
  check_->setSampleRateAndBufferFrames(SampleRate_NotAvailable, 0);
  Step(seconds(10));
  Step(seconds(5));
  Step(seconds(5));
  Step(seconds(5));
  check_->samplesReceived(100);
  Step(seconds(5));
  // At 30 s the average (registered first) runs before the short check.
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2],
            "3 MissingAudioCheck: Avg: Overflow samples: 100 vs expected 0: extra samples: 100");
  EXPECT_EQ(lines[3],
            "2 MissingAudioCheck: BLOCK: missing -100 (0%, 0 s), TOTAL: missing -100 (0%, 0 s); "
            "longest delay: 0 (0 s)");
  EXPECT_EQ(lines[4],
            "3 MissingAudioCheck: Check: Too many samples received: 100 vs expected 0: extra "
            "samples: 100");
}

TEST(SampleCheckThreadTest, CountsFromAnotherThreadWhileChecking) {
  tltest::FakeClock clock;
  std::atomic<bool> listening{true};
  AudioSampleCheck check([&] { return listening.load(); }, clock, TimingMode::kThreaded,
                         {std::chrono::milliseconds(1), std::chrono::milliseconds(1),
                          std::chrono::milliseconds(1)});
  std::thread capture([&] {
    for (int i = 0; i < 2000; ++i) {
      check.samplesReceived(1024);
      check.setSampleRateAndBufferFrames(SampleRate_16000, 1024);
    }
  });
  for (int i = 0; i < 50; ++i) clock.advance(std::chrono::milliseconds(2));
  capture.join();
}

}  // namespace
}  // namespace tembrolexinsdk
