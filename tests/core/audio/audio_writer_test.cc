#include "core/audio/audio_writer.h"

#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tembrolexinsdk
