#include "core/audio/audio_writer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/resampler.h"
#include "core/audio/volume_measurer.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/file_info.h"
#include "tests/core/audio/recording_listener.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

using Steady = std::chrono::steady_clock;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

TEST(AudioWriterTest, TwoBuffersOneFileNamedAfterTheFirst) {
  tltest::TempDir dir;
  tltest::RecordingListener listener;
  AudioWriter writer(Log(&listener, nullptr), dir.path(), true);
  std::vector<short> buffer(1024);
  for (int i = 0; i < 1024; ++i) buffer[i] = static_cast<short>(i * 64 - 32768);
  const Steady::time_point first(std::chrono::milliseconds(123456789));
  writer.write(buffer.data(), 1024, first);
  writer.write(buffer.data(), 1024, first + std::chrono::milliseconds(128));
  writer.close();
  const std::string path = dir.file("HybridAudioSamples.123456789.raw");
  const std::string bytes = ReadAll(path);
  ASSERT_EQ(bytes.size(), 4096u);
  // Little-endian 16-bit samples: sample 1 is -32704 = 0x8040.
  EXPECT_EQ(static_cast<unsigned char>(bytes[2]), 0x40);
  EXPECT_EQ(static_cast<unsigned char>(bytes[3]), 0x80);
  EXPECT_EQ(bytes.substr(0, 2048), bytes.substr(2048));
  EXPECT_EQ(listener.matching("Start recording"),
            (std::vector<std::string>{"(processor) - Start recording to file: " + path}));
}

TEST(AudioWriterTest, OffWritesNothingAndEmptyBufferOpens) {
  tltest::TempDir dir;
  tltest::RecordingListener listener;
  AudioWriter writer(Log(&listener, nullptr), dir.path(), false);
  short sample = 5;
  writer.write(&sample, 1, Steady::time_point(std::chrono::milliseconds(1)));
  EXPECT_TRUE(tembrolexin::DirInfo(dir.path()).list(tembrolexin::DirInfo::kFiles).empty());
  writer.toggleRecording(true);
  writer.write(&sample, 0, Steady::time_point(std::chrono::milliseconds(2)));
  writer.toggleRecording(false);
  writer.write(&sample, 1, Steady::time_point(std::chrono::milliseconds(3)));
  writer.close();
  EXPECT_EQ(ReadAll(dir.file("HybridAudioSamples.2.raw")), "");
}

TEST(AudioWriterTest, UnopenableFileIsLoggedOnEveryWrite) {
  tltest::TempDir dir;
  tltest::RecordingListener listener;
  AudioWriter writer(Log(&listener, nullptr), dir.file("missing/folder"), true);
  short sample = 5;
  writer.write(&sample, 1, Steady::time_point(std::chrono::milliseconds(1)));
  writer.write(&sample, 1, Steady::time_point(std::chrono::milliseconds(2)));
  EXPECT_EQ(listener.matching("Couldn't open").size(), 2u);
  EXPECT_EQ(listener.lines().back().level, LogLevel::Warning);
}

TEST(AudioWriterTest, OutputFolderDropsOnlyEarlierRecordings) {
  tltest::TempDir dir;
  for (const char* name : {"a.raw", ".hidden", "HybridAudioSamples.17.raw",
                           "HybridAudioSamples.17.raw.md5", "HybridAudioSamples.x.raw",
                           "fingerprints.db"}) {
    Touch(dir.file(name));
  }
  tltest::RecordingListener listener;
  AudioWriter writer(Log(&listener, nullptr), "", true);
  writer.setOutputFolder(dir.path());  // recording: nothing goes
  EXPECT_TRUE(tembrolexin::FileInfo(dir.file("HybridAudioSamples.17.raw")).exists());
  writer.toggleRecording(false);
  writer.setOutputFolder(dir.path());
  EXPECT_FALSE(tembrolexin::FileInfo(dir.file("HybridAudioSamples.17.raw")).exists());
  for (const char* kept : {"a.raw", ".hidden", "HybridAudioSamples.17.raw.md5",
                           "HybridAudioSamples.x.raw", "fingerprints.db"}) {
    EXPECT_TRUE(tembrolexin::FileInfo(dir.file(kept)).exists()) << kept;
  }
  writer.setOutputFolder(dir.file("absent"));  // a missing folder is no error
}

AudioIntegrity Integrity(int32_t first, int32_t last, int32_t length, bool repeated) {
  AudioIntegrity a;
  a.firstIndex = first;
  a.lastIndex = last;
  a.length = length;
  a.repeatedBuffer = repeated;
  return a;
}

void ExpectIntegrity(const AudioIntegrity& got, const AudioIntegrity& want) {
  EXPECT_EQ(got.firstIndex, want.firstIndex);
  EXPECT_EQ(got.lastIndex, want.lastIndex);
  EXPECT_EQ(got.length, want.length);
  EXPECT_EQ(got.repeatedBuffer, want.repeatedBuffer);
}

TEST(VolumeMeasurerTest, RunsOfEqualSamples) {
  VolumeMeasurer meter(SampleRate_8000);
  const short ending[] = {9, 1};
  meter.ProcessBuffer(ending, 2);
  meter.getAudioIntegrityCheck();
  const short run[] = {5, 5, 5, 7};
  meter.ProcessBuffer(run, 4);
  ExpectIntegrity(meter.getAudioIntegrityCheck(), Integrity(0, 2, 2, false));
  // The longer of two runs; a run still open at the end is reported with
  // last index -2 when it is the longest.
  const short two[] = {1, 1, 2, 3, 3, 3, 4, 6, 6, 6, 6};
  meter.ProcessBuffer(two, 11);
  ExpectIntegrity(meter.getAudioIntegrityCheck(), Integrity(7, -2, 3, false));
  const short none[] = {2, 3, 4};
  meter.ProcessBuffer(none, 3);
  // The open run of 6s ends at the first sample: last index 0.
  ExpectIntegrity(meter.getAudioIntegrityCheck(), Integrity(-2, 0, 3, false));
  meter.ProcessBuffer(none, 0);
  ExpectIntegrity(meter.getAudioIntegrityCheck(), Integrity(-2, -2, 0, false));
}

TEST(VolumeMeasurerTest, RepeatedBufferAndOpenRun) {
  VolumeMeasurer meter(SampleRate_8000);
  std::vector<short> same(1024, 300);
  meter.ProcessBuffer(same.data(), 1024);
  meter.getAudioIntegrityCheck();
  meter.ProcessBuffer(same.data(), 1024);
  const AudioIntegrity a = meter.getAudioIntegrityCheck();
  EXPECT_TRUE(a.repeatedBuffer);
  EXPECT_EQ(a.firstIndex, -1);  // began in the previous buffer
  EXPECT_EQ(a.lastIndex, -2);   // still open
  // One probe differs (probe 5 sits at 5 * (1024 / 12) = 425).
  same[425] = 301;
  meter.ProcessBuffer(same.data(), 1024);
  EXPECT_FALSE(meter.getAudioIntegrityCheck().repeatedBuffer);
}

TEST(VolumeMeasurerTest, MetersKeepTheirOwnProbes) {
  VolumeMeasurer a(SampleRate_8000);
  VolumeMeasurer b(SampleRate_8000);
  std::vector<short> x(120, 1000), y(120, -1000);
  a.ProcessBuffer(x.data(), 120);
  b.ProcessBuffer(y.data(), 120);
  a.ProcessBuffer(x.data(), 120);
  EXPECT_TRUE(a.getAudioIntegrityCheck().repeatedBuffer);
  EXPECT_EQ(a.getAudioIntegrityCheck().firstIndex, -2);  // cleared by the call before
}

TEST(VolumeMeasurerTest, VolumeMovesOncePerSecondOfSamples) {
  VolumeMeasurer meter(SampleRate_8000);
  // +-1000: mean square 1e6, 60 dB; each window moves the level by
  // v - v/4 (arithmetic shift) + 60/4.
  std::vector<short> tone(1024);
  for (int i = 0; i < 1024; ++i) tone[i] = i % 2 ? 1000 : -1000;
  for (int i = 0; i < 7; ++i) meter.ProcessBuffer(tone.data(), 1024);
  EXPECT_EQ(meter.getCurrentVolume(), 0);
  meter.ProcessBuffer(tone.data(), 1024);  // 8192 >= 8000 samples
  EXPECT_EQ(meter.getCurrentVolume(), 15);
  for (int i = 0; i < 8; ++i) meter.ProcessBuffer(tone.data(), 1024);
  EXPECT_EQ(meter.getCurrentVolume(), 27);  // 15 - 3 + 15; 16384 >= 16000
  VolumeMeasurer noRate(SampleRate_NotAvailable);
  for (int i = 0; i < 20; ++i) noRate.ProcessBuffer(tone.data(), 1024);
  EXPECT_EQ(noRate.getCurrentVolume(), 0);
}

// The meter as it was written first, one sample at a time: the block-wise
// meter must give the same level and integrity after every buffer.
class PerSampleMeter {
 public:
  explicit PerSampleMeter(int32_t window) : window_(window), countdown_(window) {}
  void process(const short* samples, int32_t count) {
    runFirst_ = -2;
    bool endedInThisBuffer = false;
    for (int32_t k = 0; k < count; ++k) {
      const int16_t sample = samples[k];
      if (sample == lastSample_) {
        if (runFirst_ == -2) runFirst_ = k - 1;
        ++runLength_;
      } else if (runLength_ > 0) {
        const int32_t last = k == 0 ? 0 : k - 1;
        if (!endedInThisBuffer || runLength_ > longest.length) {
          longest.firstIndex = runFirst_;
          longest.lastIndex = last;
          longest.length = runLength_;
          endedInThisBuffer = true;
        }
        runFirst_ = -2;
        runLength_ = 0;
      }
      sumOfSquares_ += static_cast<int64_t>(sample) * sample;
      if (window_ > 0 && --countdown_ <= 0) {
        const int64_t mean = sumOfSquares_ / window_;
        const int dB = mean > 0 ? static_cast<int>(10.0f * std::log10(static_cast<float>(mean))) : 0;
        volume = static_cast<int16_t>(volume - (volume >> 2) + (dB >> 2));
        countdown_ = window_;
        sumOfSquares_ = 0;
      }
      lastSample_ = sample;
    }
    if (runLength_ > longest.length) {
      longest.firstIndex = runFirst_;
      longest.lastIndex = -2;
      longest.length = runLength_;
    }
  }
  AudioIntegrity take() {
    const AudioIntegrity result = longest;
    longest = AudioIntegrity();
    return result;
  }
  int16_t volume = 0;
  AudioIntegrity longest;

 private:
  int32_t window_;
  int32_t countdown_;
  int64_t sumOfSquares_ = 0;
  int32_t runFirst_ = -2;
  int32_t runLength_ = 0;
  int16_t lastSample_ = 0;
};

struct MeterCase {
  const char* name;
  SampleRate rate;
  int frames;
};

class VolumeMeasurerBlockTest : public ::testing::TestWithParam<MeterCase> {};

// Loud and quiet noise with runs of equal samples placed at random, across
// stretch and buffer boundaries, and some silence: level and integrity match
// the per-sample meter buffer by buffer.
TEST_P(VolumeMeasurerBlockTest, SameAsPerSampleMeter) {
  const MeterCase& c = GetParam();
  VolumeMeasurer meter(c.rate);
  PerSampleMeter reference(Resampler::ConvertSampleRateToHzInt(c.rate));
  uint32_t seed = 12345;
  const auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  std::vector<short> buffer(static_cast<size_t>(c.frames));
  for (int n = 0; n < 200000 / c.frames + 40; ++n) {
    const int amplitude = (n / 7) % 3 == 0 ? 32767 : 40;
    for (auto& s : buffer) {
      s = static_cast<short>(static_cast<int>(next() % (2u * amplitude + 1)) - amplitude);
    }
    for (int runs = static_cast<int>(next() % 4); runs > 0; --runs) {
      const size_t at = next() % buffer.size();
      const size_t length = std::min<size_t>(buffer.size() - at, 1 + next() % 150);
      std::fill_n(buffer.begin() + static_cast<std::ptrdiff_t>(at), length, buffer[at]);
    }
    if (n % 11 == 5) std::fill(buffer.begin(), buffer.end(), 0);
    meter.ProcessBuffer(buffer.data(), static_cast<unsigned short>(buffer.size()));
    reference.process(buffer.data(), c.frames);
    const AudioIntegrity got = meter.getAudioIntegrityCheck();
    const AudioIntegrity want = reference.take();
    ASSERT_EQ(meter.getCurrentVolume(), reference.volume) << "buffer " << n;
    ASSERT_EQ(got.firstIndex, want.firstIndex) << "buffer " << n;
    ASSERT_EQ(got.lastIndex, want.lastIndex) << "buffer " << n;
    ASSERT_EQ(got.length, want.length) << "buffer " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    RatesAndBuffers, VolumeMeasurerBlockTest,
    ::testing::Values(MeterCase{"8kHz_1", SampleRate_8000, 1},
                      MeterCase{"16kHz_7", SampleRate_16000, 7},
                      MeterCase{"44k1_63", SampleRate_44100, 63},
                      MeterCase{"48kHz_64", SampleRate_48000, 64},
                      MeterCase{"48kHz_65", SampleRate_48000, 65},
                      MeterCase{"48kHz_480", SampleRate_48000, 480},
                      MeterCase{"48kHz_6144", SampleRate_48000, 6144},
                      MeterCase{"NoRate_1000", SampleRate_NotAvailable, 1000}),
    [](const ::testing::TestParamInfo<MeterCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tembrolexinsdk
