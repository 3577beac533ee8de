#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/audio/alsa_capture_source.h"
#include "core/audio/audio_file_reader.h"
#include "core/audio/capture_source_factory.h"
#include "core/audio/delayed_executor.h"
#include "core/audio/file_capture_source.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

using std::chrono::milliseconds;

// Collects what a source delivers; lets the test wait (bounded, real time)
// for a number of buffers.
class CollectingSink : public ICaptureSink {
 public:
  void onCapture(const int16_t* samples, std::size_t count, const CaptureStamp& stamp) override {
    std::lock_guard<std::mutex> lock(mutex_);
    buffers_.emplace_back(samples, samples + count);
    stamps_.push_back(stamp);
    cv_.notify_all();
  }
  bool await(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return buffers_.size() >= n; });
  }
  std::vector<std::vector<int16_t>> buffers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffers_;
  }
  std::vector<CaptureStamp> stamps() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stamps_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::vector<int16_t>> buffers_;
  std::vector<CaptureStamp> stamps_;
};

void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void put16(std::vector<unsigned char>& b, unsigned v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void put32(std::vector<unsigned char>& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
void putTag(std::vector<unsigned char>& b, const char* tag) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(tag[i]));
}

struct WavSpec {
  unsigned format = 1;
  unsigned channels = 1;
  uint32_t rate = 16000;
  unsigned bits = 16;
  bool dataFirst = false;
  bool withData = true;
  int32_t dataSizeDelta = 0;  // claimed size minus the real one
  bool extraChunk = false;    // an odd-sized chunk before "fmt "
};

std::vector<unsigned char> makeWav(const WavSpec& s, const std::vector<int16_t>& interleaved) {
  std::vector<unsigned char> fmt;
  put16(fmt, s.format);
  put16(fmt, s.channels);
  put32(fmt, s.rate);
  put32(fmt, s.rate * s.channels * s.bits / 8);
  put16(fmt, s.channels * s.bits / 8);
  put16(fmt, s.bits);
  if (s.format == 0xFFFE) {
    put16(fmt, 22);
    put16(fmt, s.bits);
    put32(fmt, 0);
    put16(fmt, 1);  // PCM sub-format
    fmt.resize(fmt.size() + 14, 0);
  }
  std::vector<unsigned char> data;
  for (int16_t v : interleaved) put16(data, static_cast<uint16_t>(v));
  std::vector<unsigned char> b;
  putTag(b, "RIFF");
  put32(b, 0);
  putTag(b, "WAVE");
  auto chunk = [&](const char* tag, const std::vector<unsigned char>& body, int32_t delta) {
    putTag(b, tag);
    put32(b, static_cast<uint32_t>(static_cast<int64_t>(body.size()) + delta));
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() & 1) b.push_back(0);
  };
  if (s.extraChunk) chunk("LIST", {1, 2, 3}, 0);
  if (s.dataFirst && s.withData) chunk("data", data, s.dataSizeDelta);
  chunk("fmt ", fmt, 0);
  if (!s.dataFirst && s.withData) chunk("data", data, s.dataSizeDelta);
  return b;
}

std::vector<int16_t> ramp(int n, int from = 1) {
  std::vector<int16_t> v;
  for (int i = 0; i < n; ++i) v.push_back(static_cast<int16_t>(from + i));
  return v;
}

struct ReaderCase {
  const char* name;
  WavSpec desc;
  std::vector<int16_t> interleaved;
  int rate;                       // expected rateHz()
  std::vector<int16_t> expected;  // mono samples read
};

class AudioFileReaderTest : public testing::TestWithParam<ReaderCase> {};

TEST_P(AudioFileReaderTest, ReadsMonoSamples) {
  tltest::TempDir dir;
  writeBytes(dir.file("a.wav"), makeWav(GetParam().desc, GetParam().interleaved));
  AudioFileReader reader(dir.file("a.wav"));
  EXPECT_EQ(reader.rateHz(), GetParam().rate);
  std::vector<int16_t> out(64, 7);
  const std::size_t n = reader.read(out.data(), out.size());
  out.resize(n);
  EXPECT_EQ(out, GetParam().expected);
  EXPECT_EQ(reader.read(out.data(), 1), 0u);
  reader.rewind();
  EXPECT_EQ(reader.read(out.data(), 1), GetParam().expected.empty() ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Wav, AudioFileReaderTest,
    testing::Values(
        ReaderCase{"Mono", {}, {1, -2, 32767, -32768}, 16000, {1, -2, 32767, -32768}},
        // Channels are averaged, truncating toward zero.
        ReaderCase{"StereoAveraged", {.channels = 2, .rate = 44100}, {10, 20, -3, 0, 100, 101},
                   44100, {15, -1, 100}},
        ReaderCase{"Extensible", {.format = 0xFFFE, .rate = 48000}, {5, 6}, 48000, {5, 6}},
        ReaderCase{"SkipsOddSizedChunk", {.extraChunk = true}, {9, 8, 7}, 16000, {9, 8, 7}},
        // A recording cut short claims more data than there is.
        ReaderCase{"DataSizeBeyondEnd", {.dataSizeDelta = 1000}, {4, 5, 6}, 16000, {4, 5, 6}},
        ReaderCase{"DataSizeShort", {.dataSizeDelta = -3}, {4, 5, 6}, 16000, {4}}),
    [](const testing::TestParamInfo<ReaderCase>& info) { return info.param.name; });

// The size of a WAV file's last "data" chunk, as writers leave it.
struct DataSizeCase {
  const char* name;
  uint32_t size;                  // of the chunk holding samples 4, 5, 6 (6 bytes)
  bool chunkAfter;                // a "LIST" chunk follows the samples
  std::vector<int16_t> expected;  // mono samples read
  const char* warning;            // after "Audio file <path> is cut off: "; null: none
};

class WavDataSizeTest : public testing::TestWithParam<DataSizeCase> {};

TEST_P(WavDataSizeTest, ReadsWhatIsThereAndWarnsOfWhatIsMissing) {
  const DataSizeCase& c = GetParam();
  tltest::TempDir dir;
  std::vector<unsigned char> wav =
      makeWav({}, c.expected.empty() ? std::vector<int16_t>{} : std::vector<int16_t>{4, 5, 6});
  const std::size_t size = wav.size() - (c.expected.empty() ? 4 : 10);  // the data chunk's size
  for (int i = 0; i < 4; ++i) wav[size + i] = static_cast<unsigned char>(c.size >> (8 * i));
  if (c.chunkAfter) wav.insert(wav.end(), {'L', 'I', 'S', 'T', 2, 0, 0, 0, 'a', 'b'});
  writeBytes(dir.file("w.wav"), wav);
  tltest::LogCapture log;
  AudioFileReader reader(dir.file("w.wav"));
  std::vector<int16_t> out(8);
  out.resize(reader.read(out.data(), out.size()));
  EXPECT_EQ(out, c.expected);
  const auto lines = log.matching(" is cut off: ");
  if (c.warning == nullptr) {
    EXPECT_TRUE(lines.empty());
    return;
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].sender, "AudioFileReader");
  EXPECT_EQ(lines[0].message, "Audio file " + dir.file("w.wav") + " is cut off: " + c.warning);
}

constexpr const char* kCutOff =
    "1000 bytes of its \"data\" chunk are missing (it claims 1006, the file holds 6); what is "
    "there is read";

INSTANTIATE_TEST_SUITE_P(
    Wav, WavDataSizeTest,
    testing::Values(DataSizeCase{"CutOff", 1006, false, {4, 5, 6}, kCutOff},
                    // Streaming writers that cannot go back to fill the size in.
                    DataSizeCase{"StreamedUnknownSize", 0xFFFFFFFF, false, {4, 5, 6}, nullptr},
                    DataSizeCase{"StreamedZeroSize", 0, false, {4, 5, 6}, nullptr},
                    DataSizeCase{"EmptyFollowedByChunk", 0, true, {}, nullptr},
                    DataSizeCase{"ExactSizeFollowedByChunk", 6, true, {4, 5, 6}, nullptr}),
    [](const testing::TestParamInfo<DataSizeCase>& info) { return info.param.name; });

struct BadWavCase {
  const char* name;
  WavSpec desc;
  const char* reason;
};

class BadWavTest : public testing::TestWithParam<BadWavCase> {};

TEST_P(BadWavTest, RefusedWithReason) {
  tltest::TempDir dir;
  writeBytes(dir.file("b.wav"), makeWav(GetParam().desc, {1, 2}));
  try {
    AudioFileReader reader(dir.file("b.wav"));
    FAIL() << "accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot read audio file " + dir.file("b.wav") + ": " + GetParam().reason);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Refused, BadWavTest,
    testing::Values(BadWavCase{"Compressed", {.format = 3}, "not PCM (format 3)"},
                    BadWavCase{"EightBit", {.bits = 8}, "8-bit samples, not 16-bit"},
                    BadWavCase{"NoChannels", {.channels = 0}, "0 channels"},
                    BadWavCase{"NoRate", {.rate = 0}, "sample rate 0"},
                    BadWavCase{"DataBeforeFormat", {.dataFirst = true}, "\"data\" before \"fmt \""},
                    BadWavCase{"NoData", {.withData = false}, "no \"data\" chunk"}),
    [](const testing::TestParamInfo<BadWavCase>& info) { return info.param.name; });

TEST(AudioFileReaderRawTest, HeaderlessSamplesInHostOrderWithoutRate) {
  tltest::TempDir dir;
  const std::vector<int16_t> samples = {300, -1, 7};
  std::ofstream(dir.file("r.raw"), std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()), 6)
      .write("x", 1);  // an odd last byte is no sample
  AudioFileReader reader(dir.file("r.raw"), AudioFileReader::Accept::kWavOrRaw);
  EXPECT_EQ(reader.rateHz(), 0);
  EXPECT_EQ(reader.frameCount(), 3u);
  std::vector<int16_t> out(8);
  out.resize(reader.read(out.data(), out.size()));
  EXPECT_EQ(out, samples);
}

// Files that are no recording: refused with the file's name and the reason,
// never read as a rate of 0.
struct UnreadableCase {
  const char* name;
  const char* content;  // null: no such file; "/": a folder
  AudioFileReader::Accept accept;
  const char* reason;
};

class UnreadableFileTest : public testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableFileTest, RefusedNamingFileAndReason) {
  tltest::TempDir dir;
  const std::string path = dir.file("f.wav");
  const char* content = GetParam().content;
  if (content != nullptr && std::string(content) == "/") {
    std::filesystem::create_directory(path);
  } else if (content != nullptr) {
    std::ofstream(path, std::ios::binary) << content;
  }
  try {
    AudioFileReader reader(path, GetParam().accept);
    FAIL() << "accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot read audio file " + path + ": " + GetParam().reason);
  }
}

using A = AudioFileReader::Accept;
INSTANTIATE_TEST_SUITE_P(
    Refused, UnreadableFileTest,
    testing::Values(
        UnreadableCase{"Missing", nullptr, A::kWav,
                       "it does not open (No such file or directory)"},
        UnreadableCase{"MissingRaw", nullptr, A::kWavOrRaw,
                       "it does not open (No such file or directory)"},
        UnreadableCase{"Folder", "/", A::kWavOrRaw, "it is a folder"},
        UnreadableCase{"Empty", "", A::kWav, "the file is empty"},
        UnreadableCase{"EmptyRaw", "", A::kWavOrRaw, "the file is empty"},
        UnreadableCase{"Text", "word 1\nword 2\n", A::kWav,
                       "not a WAV file (it does not start with a RIFF \"WAVE\" header)"},
        UnreadableCase{"RiffOfAnotherKind", "RIFF1234AVI LIST", A::kWav,
                       "not a WAV file (it does not start with a RIFF \"WAVE\" header)"}),
    [](const testing::TestParamInfo<UnreadableCase>& info) { return info.param.name; });

class FileCaptureSourceTest : public testing::Test {
 protected:
  std::string writeRaw(const std::vector<int16_t>& samples) {
    const std::string path = dir_.file("rec.raw");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()),
               static_cast<std::streamsize>(samples.size() * 2));
    return path;
  }
  int64_t nanos(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  }

  tltest::TempDir dir_;
  tltest::FakeClock clock_;
  CollectingSink sink_;
};

TEST_F(FileCaptureSourceTest, PacedBuffersThenSilenceAndStopHalts) {
  // 250 samples at 8 kHz in buffers of 100 (12.5 ms each).
  FileCaptureSource source(writeRaw(ramp(250)), {}, clock_);
  EXPECT_EQ(source.availableRates(), 0x3FFE);
  ASSERT_EQ(source.open(8000, 100, 3, &sink_), 0);
  const int64_t start = nanos(clock_.steadyNow());
  ASSERT_EQ(source.start(), 0);
  ASSERT_TRUE(clock_.awaitDeadline(clock_.steadyNow() + std::chrono::microseconds(12500)));
  EXPECT_TRUE(sink_.buffers().empty());  // not due yet
  for (int i = 1; i <= 4; ++i) {
    clock_.advance(std::chrono::microseconds(12500));
    ASSERT_TRUE(sink_.await(i));
  }
  const auto buffers = sink_.buffers();
  ASSERT_EQ(buffers.size(), 4u);
  EXPECT_EQ(buffers[0], ramp(100, 1));
  EXPECT_EQ(buffers[1], ramp(100, 101));
  std::vector<int16_t> third = ramp(50, 201);
  third.resize(100, 0);  // the recording ends; silence follows
  EXPECT_EQ(buffers[2], third);
  EXPECT_EQ(buffers[3], std::vector<int16_t>(100, 0));
  const auto stamps = sink_.stamps();
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    EXPECT_TRUE(stamps[i].hostTimeValid);
    EXPECT_EQ(stamps[i].hostTime, start + static_cast<int64_t>(i) * 12500000) << i;
  }
  ASSERT_EQ(source.stop(), 0);
  clock_.advance(milliseconds(100));
  source.close();
  EXPECT_EQ(sink_.buffers().size(), 4u);
}

TEST_F(FileCaptureSourceTest, FastLoopDeliversWithoutTimePassing) {
  FileCaptureSource source(writeRaw(ramp(150)), {.paced = false, .loop = true}, clock_);
  ASSERT_EQ(source.open(16000, 100, 5, &sink_), 0);
  ASSERT_EQ(source.start(), 0);
  ASSERT_TRUE(sink_.await(3));
  source.close();
  const auto buffers = sink_.buffers();
  std::vector<int16_t> second = ramp(50, 101);
  const auto again = ramp(50, 1);
  second.insert(second.end(), again.begin(), again.end());
  EXPECT_EQ(buffers[0], ramp(100, 1));
  EXPECT_EQ(buffers[1], second);
  EXPECT_EQ(buffers[2], ramp(100, 51));
}

TEST_F(FileCaptureSourceTest, WavOffersOnlyItsOwnRate) {
  writeBytes(dir_.file("w.wav"), makeWav({.rate = 44100}, ramp(10)));
  FileCaptureSource source(dir_.file("w.wav"), {}, clock_);
  EXPECT_EQ(source.availableRates(), 256);
  EXPECT_EQ(source.open(16000, 100, 5, &sink_), -22);
  EXPECT_EQ(source.start(), WorkerCaptureSource::kNotOpen);
  EXPECT_EQ(source.open(44100, 100, 5, &sink_), 0);
}

// ALSA's "null" device exists without a sound card, so the real ALSA path
// runs in CI.
TEST(AlsaCaptureSourceTest, NullDeviceCapturesSilenceUntilStopped) {
  AlsaCaptureSource source("null");
  EXPECT_EQ(source.describe(), "alsa:null");
  EXPECT_NE(source.availableRates() & 16, 0);
  CollectingSink sink;
  ASSERT_EQ(source.open(16000, 256, 4, &sink), 0);
  ASSERT_EQ(source.start(), 0);
  ASSERT_TRUE(sink.await(3));
  ASSERT_EQ(source.stop(), 0);
  const std::size_t atStop = sink.buffers().size();
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  for (std::size_t i = 0; i < atStop; ++i) {
    const auto buffer = sink.buffers()[i];
    EXPECT_GT(buffer.size(), 0u);
    EXPECT_LE(buffer.size(), 256u);
    EXPECT_EQ(buffer, std::vector<int16_t>(buffer.size(), 0));
    EXPECT_TRUE(sink.stamps()[i].hostTimeValid);
    EXPECT_LT(sink.stamps()[i].hostTime, now);
  }
  // Started again, it goes on; closed, it stays silent.
  ASSERT_EQ(source.start(), 0);
  ASSERT_TRUE(sink.await(atStop + 1));
  source.close();
  const std::size_t atClose = sink.buffers().size();
  EXPECT_EQ(source.start(), WorkerCaptureSource::kNotOpen);
  EXPECT_EQ(sink.buffers().size(), atClose);
}

// A missing device: asked directly it refuses; as the platform's default
// device it answers every rate and opens (so an app-fed decoder initialises),
// but its start fails with kNoDevice and its description says why, once per
// reason in the log.
TEST(AlsaCaptureSourceTest, MissingDeviceFailsAtOnceOrAtTheStartOfTheDefaultDevice) {
  AlsaCaptureSource missing("hw:97");
  EXPECT_THROW(missing.availableRates(), std::runtime_error);
  CollectingSink sink;
  EXPECT_LT(missing.open(16000, 256, 4, &sink), 0);

  tltest::LogCapture log;
  auto source = makeDefaultDeviceSource("hw:97");
  EXPECT_EQ(source->describe(), "alsa:hw:97");
  EXPECT_EQ(source->availableRates(), 0x3FFE);
  const std::string reason = "Cannot open ALSA capture device hw:97: " +
                             AlsaCaptureSource::statusText(missing.open(16000, 256, 4, &sink));
  EXPECT_EQ(source->describe(), "alsa:hw:97, which does not open (" + reason + ")");
  ASSERT_EQ(source->open(16000, 160, 5, &sink), ICaptureSource::kOk);
  EXPECT_EQ(source->start(), ICaptureSource::kNoDevice);
  EXPECT_EQ(source->availableRates(), 0x3FFE);  // asked again: no second line
  source->close();
  EXPECT_TRUE(sink.buffers().empty());
  const auto lines = log.matching("No audio capture device opens (");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].message,
            "No audio capture device opens (" + reason + "); capture from it fails until one does");
}

struct SpecCase {
  const char* name;
  const char* text;
  bool valid;
  CaptureSourceSpec::Kind kind;
  const char* target;
  bool paced;
  bool loop;
};

class CaptureSourceSpecTest : public testing::TestWithParam<SpecCase> {};

TEST_P(CaptureSourceSpecTest, Parses) {
  const auto desc = parseCaptureSourceSpec(GetParam().text);
  ASSERT_EQ(desc.has_value(), GetParam().valid);
  if (!desc) return;
  EXPECT_EQ(desc->kind, GetParam().kind);
  EXPECT_EQ(desc->target, GetParam().target);
  EXPECT_EQ(desc->fileOptions.paced, GetParam().paced);
  EXPECT_EQ(desc->fileOptions.loop, GetParam().loop);
}

using K = CaptureSourceSpec::Kind;
INSTANTIATE_TEST_SUITE_P(
    Texts, CaptureSourceSpecTest,
    testing::Values(SpecCase{"Alsa", "alsa:hw:1,0", true, K::Alsa, "hw:1,0", true, false},
                    SpecCase{"File", "file:/tmp/a:b.wav", true, K::File, "/tmp/a:b.wav", true, false},
                    SpecCase{"FileLoop", "file+loop:x.raw", true, K::File, "x.raw", true, true},
                    SpecCase{"FileFastLoop", "file+fast+loop:x", true, K::File, "x", false, true},
                    SpecCase{"Silence", "silence", true, K::Silence, "", true, false},
                    SpecCase{"EmptyPath", "file:", false, K::File, "", true, false},
                    SpecCase{"UnknownOption", "file+slow:x", false, K::File, "", true, false},
                    SpecCase{"TwiceLoop", "file+loop+loop:x", false, K::File, "", true, false},
                    SpecCase{"UnknownKind", "pulse:x", false, K::File, "", true, false},
                    SpecCase{"NoColon", "alsa", false, K::File, "", true, false}),
    [](const testing::TestParamInfo<SpecCase>& info) { return info.param.name; });

TEST(CaptureSourceFactoryTest, OverrideChoosesSourceAndUnreadableFileFailsTheStart) {
  tltest::LogCapture log;
  EXPECT_EQ(createPlatformCaptureSource("alsa:null")->describe(), "alsa:null");
  // An unreadable file opens as nothing and fails the start, naming why.
  const std::string reason =
      "Cannot read audio file /nonexistent/x.wav: it does not open (No such file or directory)";
  auto unreadable = createPlatformCaptureSource("file+fast:/nonexistent/x.wav");
  EXPECT_EQ(unreadable->describe(),
            "file:/nonexistent/x.wav, which does not open (" + reason + ")");
  EXPECT_EQ(unreadable->availableRates(), 0x3FFE);
  CollectingSink sink;
  ASSERT_EQ(unreadable->open(16000, 160, 5, &sink), ICaptureSource::kOk);
  EXPECT_EQ(unreadable->start(), ICaptureSource::kNoDevice);
  unreadable->close();
  EXPECT_TRUE(sink.buffers().empty());
  // Only noted (Debug): the failed start is what the decoder reports.
  const auto noted = log.matching(reason + "; starting capture fails");
  ASSERT_EQ(noted.size(), 1u);
  EXPECT_EQ(noted[0].level, 1);
  EXPECT_EQ(noted[0].sender, "CaptureSource");
  EXPECT_EQ(createPlatformCaptureSource("bogus")->describe(), "alsa:default");
  EXPECT_EQ(log.matching("TL_AUDIO_SOURCE \"bogus\" is not").size(), 1u);
  // A Latin-1 path: its byte escaped where it is quoted, so that the
  // failure still reaches the app whole.
  EXPECT_EQ(createPlatformCaptureSource("file:/nonexistent/lat\xE9in.wav")->describe(),
            "file:/nonexistent/lat\\xE9in.wav, which does not open (Cannot read audio file "
            "/nonexistent/lat\\xE9in.wav: it does not open (No such file or directory))");
  EXPECT_EQ(log.matching("/nonexistent/lat\\xE9in.wav: it does not open").size(), 1u);
}

TEST(ThreadDelayedExecutorTest, RunsTasksInDueOrderAndDropsPendingOnDestruction) {
  tltest::FakeClock clock;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<int> ran;
  auto record = [&](int n) {
    return [&, n] {
      std::lock_guard<std::mutex> lock(mutex);
      ran.push_back(n);
      cv.notify_all();
    };
  };
  {
    ThreadDelayedExecutor executor(clock);
    executor.runAfter(milliseconds(500), record(2));
    executor.runAfter(milliseconds(100), record(1));
    executor.runAfter(milliseconds(500), record(3));
    executor.runAfter(milliseconds(5000), record(9));
    clock.advance(milliseconds(499));
    {
      std::unique_lock<std::mutex> lock(mutex);
      ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return ran.size() == 1; }));
    }
    clock.advance(milliseconds(1));
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return ran.size() == 3; }));
  }
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace tembrolexinsdk
