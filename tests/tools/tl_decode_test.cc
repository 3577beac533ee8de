#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/tools/tool_run.h"
#include "tools/signal/wav_file.h"

namespace tltest {
namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void chunk(Bytes& b, const char* id, const Bytes& body, bool pad) {
  b.insert(b.end(), id, id + 4);
  put32(b, static_cast<uint32_t>(body.size()));
  b.insert(b.end(), body.begin(), body.end());
  if (pad && body.size() % 2 == 1) b.push_back(0);
}

// A mono 8 kHz 16-bit WAV with an odd-sized "LIST" chunk before its data of
// samples 1, -2, 300.
Bytes wavWithOddChunk(bool pad) {
  Bytes fmt;
  put16(fmt, 1);      // PCM
  put16(fmt, 1);      // channels
  put32(fmt, 8000);   // rate
  put32(fmt, 16000);  // bytes per second
  put16(fmt, 2);      // block align
  put16(fmt, 16);     // bits
  Bytes data;
  for (int16_t s : {int16_t{1}, int16_t{-2}, int16_t{300}}) put16(data, static_cast<uint16_t>(s));
  Bytes body = {'W', 'A', 'V', 'E'};
  chunk(body, "fmt ", fmt, pad);
  chunk(body, "LIST", {'a', 'b', 'c'}, pad);
  chunk(body, "data", data, pad);
  Bytes wav = {'R', 'I', 'F', 'F'};
  put32(wav, static_cast<uint32_t>(body.size()));
  wav.insert(wav.end(), body.begin(), body.end());
  return wav;
}

class OddChunkTest : public ::testing::TestWithParam<bool> {};

TEST_P(OddChunkTest, DataAfterAnOddChunkIsFoundWithOrWithoutThePadByte) {
  Audio audio;
  std::string error;
  ASSERT_TRUE(parseWav(wavWithOddChunk(GetParam()), &audio, &error)) << error;
  EXPECT_EQ(audio.rateHz, 8000);
  EXPECT_EQ(audio.samples, (std::vector<int16_t>{1, -2, 300}));
}

INSTANTIATE_TEST_SUITE_P(Wav, OddChunkTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Padded" : "PadByteMissing";
                         });

// A WAV file: a "fmt " chunk, an odd-sized "LIST" chunk (with or without its
// pad byte), and a data chunk of `interleaved` samples that declares
// `extraDeclared` bytes more than the file holds (a recording cut short).
Bytes makeWav(uint16_t channels, uint32_t rate, const std::vector<int16_t>& interleaved,
              bool pad = true, uint32_t extraDeclared = 0) {
  Bytes fmt;
  put16(fmt, 1);
  put16(fmt, channels);
  put32(fmt, rate);
  put32(fmt, rate * 2 * channels);
  put16(fmt, static_cast<uint16_t>(2 * channels));
  put16(fmt, 16);
  Bytes data;
  for (int16_t v : interleaved) put16(data, static_cast<uint16_t>(v));
  Bytes body = {'W', 'A', 'V', 'E'};
  chunk(body, "fmt ", fmt, pad);
  chunk(body, "LIST", {'a', 'b', 'c'}, pad);
  body.insert(body.end(), {'d', 'a', 't', 'a'});
  put32(body, static_cast<uint32_t>(data.size()) + extraDeclared);
  body.insert(body.end(), data.begin(), data.end());
  Bytes wav = {'R', 'I', 'F', 'F'};
  put32(wav, static_cast<uint32_t>(body.size()));
  wav.insert(wav.end(), body.begin(), body.end());
  return wav;
}

// `wav` (made by makeWav) with its data chunk's size set to `size`, and a
// "LIST" chunk after the samples when `chunkAfter`.
Bytes withDataSize(Bytes wav, uint32_t size, bool chunkAfter = false) {
  const uint8_t tag[] = {'d', 'a', 't', 'a'};
  const auto at = std::search(wav.begin(), wav.end(), tag, tag + 4) + 4;
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(size >> (8 * i));
  if (chunkAfter) chunk(wav, "LIST", {'a', 'b'}, true);
  return wav;
}

struct StreamCase {
  const char* name;
  Bytes wav;
  int32_t rateHz;
  int32_t channels;
  std::vector<int16_t> mono;  // mixed by hand: the channels' sum / count, toward 0
  const char* warning = "";   // after "<path> is cut off: "
};

class SampleStreamTest : public ::testing::TestWithParam<StreamCase> {};

// Read two samples at a time, a file gives what parseWav gives for the
// whole.
TEST_P(SampleStreamTest, BlockByBlockGivesTheWholeFilesSamples) {
  const StreamCase& c = GetParam();
  TempDir dir;
  std::ofstream(dir.file("in.wav"), std::ios::binary)
      .write(reinterpret_cast<const char*>(c.wav.data()), static_cast<std::streamsize>(c.wav.size()));
  Audio whole;
  std::string error;
  ASSERT_TRUE(parseWav(c.wav, &whole, &error)) << error;
  EXPECT_EQ(whole.samples, c.mono);

  SampleStream stream;
  ASSERT_TRUE(stream.openWav(dir.file("in.wav"), &error)) << error;
  EXPECT_EQ(stream.rateHz(), c.rateHz);
  EXPECT_EQ(stream.channels(), c.channels);
  EXPECT_EQ(stream.frameCount(), c.mono.size());
  std::vector<int16_t> read;
  int16_t block[2];
  for (std::size_t n; (n = stream.read(block, 2)) > 0;) read.insert(read.end(), block, block + n);
  EXPECT_EQ(read, c.mono);
  EXPECT_EQ(stream.error(), "");
  EXPECT_EQ(stream.warning(),
            *c.warning == '\0' ? "" : dir.file("in.wav") + " is cut off: " + c.warning);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Wav, SampleStreamTest,
    ::testing::Values(
        StreamCase{"MonoAfterPaddedOddChunk", makeWav(1, 8000, {1, -2, 300, 4, 5}), 8000, 1,
                   {1, -2, 300, 4, 5}},
        StreamCase{"MonoAfterOddChunkWithoutPad", makeWav(1, 8000, {1, -2, 300}, false), 8000, 1,
                   {1, -2, 300}},
        StreamCase{"StereoMixed", makeWav(2, 48000, {100, 300, -5, -7, 1, 2}), 48000, 2,
                   {200, -6, 1}},
        StreamCase{"StereoCutShort", makeWav(2, 44100, {10, 20, -30, -40, 7, 8}, true, 40), 44100,
                   2, {15, -35, 7},
                   "40 bytes of its data chunk are missing (it claims 52, the file holds 12); "
                   "what is there is read"},
        // Streaming writers that cannot go back to fill the size in.
        StreamCase{"StreamedUnknownSize", withDataSize(makeWav(1, 8000, {1, -2, 300}), 0xFFFFFFFF),
                   8000, 1, {1, -2, 300}},
        StreamCase{"StreamedZeroSize", withDataSize(makeWav(1, 8000, {1, -2, 300}), 0), 8000, 1,
                   {1, -2, 300}},
        StreamCase{"EmptyFollowedByChunk", withDataSize(makeWav(1, 8000, {}), 0, true), 8000, 1,
                   {}}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; });
// clang-format on

TEST(SampleStreamRawTest, LittleEndianSamplesAndNoOddLastByte) {
  TempDir dir;
  const char bytes[] = {1, 0, '\xfe', '\xff', 7};
  std::ofstream(dir.file("in.raw"), std::ios::binary).write(bytes, sizeof bytes);
  SampleStream stream;
  std::string error;
  ASSERT_TRUE(stream.openRaw(dir.file("in.raw"), 22050, &error)) << error;
  EXPECT_EQ(stream.rateHz(), 22050);
  int16_t out[4] = {};
  ASSERT_EQ(stream.read(out, 4), 2u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], -2);
  EXPECT_EQ(stream.read(out, 4), 0u);
}

TEST(SampleStreamRawTest, NotAWavFileIsNamed) {
  TempDir dir;
  std::ofstream(dir.file("x.wav"), std::ios::binary) << "RIFX0000WAVE";
  SampleStream stream;
  std::string error;
  EXPECT_FALSE(stream.openWav(dir.file("x.wav"), &error));
  EXPECT_EQ(error, dir.file("x.wav") + ": not a WAV file (no RIFF/WAVE header)");
}

// ---- the tool itself --------------------------------------------------------------------

ToolRun runDecode(const std::vector<std::string>& args, const TempDir& dir) {
  return runTool(TL_DECODE_PATH, args, dir);
}

std::string config() { return std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg"; }

TEST(DecodeToolTest, FolderOrPipeAsTheRecordingIsAClearErrorWithCode2) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
  for (const std::string& input : {dir.path(), dir.file("pipe")}) {
    const ToolRun run = runDecode({config(), input}, dir);
    EXPECT_EQ(run.status, 2) << input;
    EXPECT_EQ(run.errors, "tl_decode: " + input + " is not a regular file\n");
  }
}

TEST(DecodeToolTest, OutOfRangeNumbersAreUsageErrors) {
  TempDir dir;
  std::ofstream(dir.file("silence.raw"), std::ios::binary) << std::string(64, '\0');
  const struct {
    const char* option;
    const char* value;
    const char* message;
  } cases[] = {{"--raw", "99999999999", "tl_decode: --raw needs a rate of 1 to 1000000 Hz\n"},
               {"--raw", "0", "tl_decode: --raw needs a rate of 1 to 1000000 Hz\n"},
               {"--block", "4294967297", "tl_decode: --block needs 1 to 1048576 samples\n"}};
  for (const auto& c : cases) {
    const ToolRun run = runDecode({c.option, c.value, config(), dir.file("silence.raw")}, dir);
    EXPECT_EQ(run.status, 1) << c.option << " " << c.value;
    EXPECT_EQ(run.errors.rfind(c.message, 0), 0u) << run.errors;
  }
}

}  // namespace
}  // namespace tltest
