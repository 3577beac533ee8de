// The command-line tools as a user runs them: tl_gen's checks of every
// value, --help of every tool, generator audio decoded by tl_decode (at 48 kHz
// stereo, with today's date for words sent just now), and tl_decode's memory
// staying the same for a long recording.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/tools/tool_run.h"

namespace tltest {
namespace {

const std::string kVtw = std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg";

// ---- tl_gen's values ---------------------------------------------------------------------

struct GenCase {
  const char* name;
  std::vector<std::string> args;  // "OUT" stands for the output file
  int status;
  const char* error;  // the whole of standard error
};

class GenValueTest : public ::testing::TestWithParam<GenCase> {};

TEST_P(GenValueTest, BadValuesAreNamed) {
  const GenCase& c = GetParam();
  TempDir dir;
  std::vector<std::string> args;
  for (const std::string& a : c.args) args.push_back(a == "OUT" ? dir.file("out.wav") : a);
  const ToolRun run = runTool(TL_GEN_PATH, args, dir);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.errors, c.error);
  EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Gen, GenValueTest,
    ::testing::Values(
        GenCase{"SnrNotANumber",
                {"--snr", "abc", kVtw, "OUT", "1"},
                1,
                "tl_gen: --snr abc: not a signal-to-noise ratio from -100 to 200 dB\n"},
        GenCase{"DepthNegative",
                {"--depth", "-1", kVtw, "OUT", "1"},
                1,
                "tl_gen: --depth -1: the echo depth lies above 0 and at most 1\n"},
        GenCase{"DepthAboveOne",
                {"--depth", "5", kVtw, "OUT", "1"},
                1,
                "tl_gen: --depth 5: the echo depth lies above 0 and at most 1\n"},
        GenCase{"DepthZero",
                {"--depth", "0", kVtw, "OUT", "1"},
                1,
                "tl_gen: --depth 0: the echo depth lies above 0 and at most 1\n"},
        GenCase{"LeadInNotFinite",
                {"--lead-in", "nan", kVtw, "OUT", "1"},
                1,
                "tl_gen: --lead-in nan: not a number of seconds from 0 to 3600\n"},
        GenCase{"SeedBeyond32Bits",
                {"--seed", "4294967296", kVtw, "OUT", "1"},
                1,
                "tl_gen: --seed 4294967296: the seed lies from 0 to 4294967295\n"},
        GenCase{"ChannelsNine",
                {"--channels", "9", kVtw, "OUT", "1"},
                1,
                "tl_gen: --channels 9: the channel count lies from 1 to 8\n"},
        // VorselTW stations have 19 bits: 99999999 would be cut to another
        // station.
        GenCase{"StationBeyond19Bits",
                {"--timed", "now", "4", "--id", "99999999", kVtw, "OUT"},
                1,
                "tl_gen: --id 99999999: station ids of this scheme lie from 0 to 524287 "
                "(19 bits)\n"},
        GenCase{"TimedCountZero",
                {"--timed", "now", "0", "--id", "1", kVtw, "OUT"},
                1,
                "tl_gen: --timed now 0: the count of words lies from 1 to 10000\n"},
        // A 41-bit word does not fit the 40-bit VTW word.
        GenCase{"WordOf41Bits",
                {kVtw, "OUT", "0x10000000000"},
                1,
                "tl_gen: 0x10000000000: does not fit this scheme's 40-bit code words "
                "(0 to 1099511627775)\n"},
        GenCase{"WordNotANumber",
                {kVtw, "OUT", "12ab"},
                1,
                "tl_gen: 12ab: not a code word (decimal or 0x-hexadecimal)\n"},
        GenCase{"RateNeitherCaptureNorScheme",
                {"--rate", "22050", kVtw, "OUT", "1"},
                1,
                "tl_gen: --rate 22050: renders at 44100 or 48000 Hz or at the scheme's own "
                "16000 Hz\n"},
        GenCase{"SchemeBeyondTheConfiguration",
                {"--scheme", "1", kVtw, "OUT", "1"},
                1,
                "tl_gen: --scheme 1: the configuration has 1 scheme(s)\n"}),
    [](const ::testing::TestParamInfo<GenCase>& info) { return info.param.name; });

TEST(GenTest, TheSchemesOwnRateIsAcceptedAndRendersAsWithoutRate) {
  TempDir dir;
  const ToolRun plain = runTool(TL_GEN_PATH, {kVtw, dir.file("plain.wav"), "0xffffffffff"}, dir);
  ASSERT_EQ(plain.status, 0) << plain.errors;
  const ToolRun own =
      runTool(TL_GEN_PATH, {"--rate", "16000", kVtw, dir.file("own.wav"), "0xffffffffff"}, dir);
  ASSERT_EQ(own.status, 0) << own.errors;
  EXPECT_EQ(own.out, plain.out);
  EXPECT_NE(own.out.find("0xffffffffff"), std::string::npos);  // the largest 40-bit word
  EXPECT_EQ(readFile(dir.file("own.wav")), readFile(dir.file("plain.wav")));
}

uint32_t le32(const std::string& b, std::size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
         static_cast<uint8_t>(b[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}
uint16_t le16(const std::string& b, std::size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

TEST(GenTest, StereoAt48kHzHasTheHeaderOfItsFormatAndTwoEqualChannels) {
  TempDir dir;
  const ToolRun run = runTool(
      TL_GEN_PATH, {"--rate", "48000", "--channels", "2", kVtw, dir.file("s.wav"), "4242"}, dir);
  ASSERT_EQ(run.status, 0) << run.errors;
  const std::string wav = readFile(dir.file("s.wav"));
  ASSERT_GT(wav.size(), 44u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(le32(wav, 4), wav.size() - 8);
  EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(le32(wav, 16), 16u);
  EXPECT_EQ(le16(wav, 20), 1u);         // PCM
  EXPECT_EQ(le16(wav, 22), 2u);         // channels
  EXPECT_EQ(le32(wav, 24), 48000u);     // rate
  EXPECT_EQ(le32(wav, 28), 192000u);    // 48000 frames of 4 bytes a second
  EXPECT_EQ(le16(wav, 32), 4u);         // bytes per frame
  EXPECT_EQ(le16(wav, 34), 16u);        // bits
  EXPECT_EQ(wav.substr(36, 4), "data");
  EXPECT_EQ(le32(wav, 40), wav.size() - 44);
  EXPECT_EQ((wav.size() - 44) % 4, 0u);
  bool equal = true;
  for (std::size_t at = 44; at + 4 <= wav.size(); at += 4) equal &= le16(wav, at) == le16(wav, at + 2);
  EXPECT_TRUE(equal);
}

// ---- --help ------------------------------------------------------------------------------

struct HelpCase {
  const char* name;
  const char* path;
  const char* usage;  // how stdout begins
};

class HelpTest : public ::testing::TestWithParam<HelpCase> {};

TEST_P(HelpTest, PrintsTheUsageOnStandardOutputAndSucceeds) {
  TempDir dir;
  const ToolRun run = runTool(GetParam().path, {"--help"}, dir);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind(GetParam().usage, 0), 0u) << run.out;
  EXPECT_EQ(run.errors, "");
}

INSTANTIATE_TEST_SUITE_P(
    Tools, HelpTest,
    ::testing::Values(HelpCase{"Gen", TL_GEN_PATH, "usage: tl_gen "},
                      HelpCase{"Decode", TL_DECODE_PATH, "usage: tl_decode "},
                      HelpCase{"CoreDemo", TL_CORE_DEMO_PATH, "usage: tl_core_demo "},
                      HelpCase{"DecodeWavExample", DECODE_WAV_PATH, "usage: decode_wav "}),
    [](const ::testing::TestParamInfo<HelpCase>& info) { return info.param.name; });

// ---- tl_decode on generator audio --------------------------------------------------------

// The words of tl_gen's or tl_decode's listing: the first 0x… field of each
// line.
std::vector<std::string> wordsOf(const std::string& listing) {
  std::vector<std::string> words;
  std::istringstream in(listing);
  static const std::regex word("0x[0-9a-f]{10}");
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, word)) words.push_back(m.str());
  }
  return words;
}

// Read, converted from 48 kHz and decoded block by block, in two block sizes:
// the words sent, in order.
TEST(DecodeToolTest, StereoAt48kHzGivesTheWordsSent) {
  TempDir dir;
  const ToolRun gen = runTool(TL_GEN_PATH,
                              {"--snr", "10", "--rate", "48000", "--channels", "2", kVtw,
                               dir.file("w.wav"), "8896119484", "8896119485", "0x2123456789"},
                              dir);
  ASSERT_EQ(gen.status, 0) << gen.errors;
  const std::vector<std::string> sent = {"0x02124002bc", "0x02124002bd", "0x2123456789"};
  ASSERT_EQ(wordsOf(gen.out), sent);
  for (const char* block : {"1024", "1000"}) {
    const ToolRun run = runTool(TL_DECODE_PATH, {"--block", block, kVtw, dir.file("w.wav")}, dir);
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(wordsOf(run.out), sent) << "block " << block << "\n" << run.out;
  }
}

// A recording cut off (its data chunk claims 1000 bytes more than the file
// holds) is decoded as far as it goes, and tl_decode says what is missing.
TEST(DecodeToolTest, CutOffRecordingGivesItsWordsAndAWarning) {
  TempDir dir;
  const std::string path = dir.file("cut.wav");
  const ToolRun gen = runTool(TL_GEN_PATH, {"--snr", "10", kVtw, path, "8896119484"}, dir);
  ASSERT_EQ(gen.status, 0) << gen.errors;
  std::string wav;
  {
    std::ifstream in(path, std::ios::binary);
    wav.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::size_t size = wav.find("data") + 4;
  const uint32_t held = static_cast<uint32_t>(wav.size() - size - 4);
  const uint32_t claimed = held + 1000;
  for (int i = 0; i < 4; ++i) wav[size + i] = static_cast<char>(claimed >> (8 * i));
  std::ofstream(path, std::ios::binary | std::ios::trunc) << wav;

  const ToolRun run = runTool(TL_DECODE_PATH, {kVtw, path}, dir);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(wordsOf(run.out), std::vector<std::string>{"0x02124002bc"}) << run.out;
  const std::string warning = "tl_decode: warning: " + path +
                              " is cut off: 1000 bytes of its data chunk are missing (it claims " +
                              std::to_string(claimed) + ", the file holds " + std::to_string(held) +
                              "); what is there is read\n";
  EXPECT_EQ(run.errors.substr(0, warning.size()), warning);  // then the summary
}

// "tl_gen --timed now" then an immediate decode, as the README shows it: the
// words are dated when they were sent, today, not a period earlier.
TEST(DecodeToolTest, WordsSentJustNowCarryTodaysDate) {
  TempDir dir;
  const std::time_t before = std::time(nullptr);
  const ToolRun gen = runTool(
      TL_GEN_PATH, {"--snr", "10", "--timed", "now", "4", "--id", "4242", kVtw, dir.file("n.wav")},
      dir);
  ASSERT_EQ(gen.status, 0) << gen.errors;
  const ToolRun run = runTool(TL_DECODE_PATH, {kVtw, dir.file("n.wav")}, dir);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(wordsOf(run.out), wordsOf(gen.out));
  static const std::regex stamp(
      R"(Station ID 4242, time (\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d)\.\d{3})");
  int dated = 0;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(line, m, stamp)) << line;
    std::tm parts{};
    parts.tm_mday = std::stoi(m[1]);
    parts.tm_mon = std::stoi(m[2]) - 1;
    parts.tm_year = std::stoi(m[3]) - 1900;
    parts.tm_hour = std::stoi(m[4]);
    parts.tm_min = std::stoi(m[5]);
    parts.tm_sec = std::stoi(m[6]);
    const std::time_t sent = timegm(&parts);
    // Four words of 2.56 s, the last ending 2 s or more before tl_gen ran.
    EXPECT_LE(sent, before) << line;
    EXPECT_GE(sent, before - 20) << line;
    ++dated;
  }
  EXPECT_EQ(dated, 4);
}

// Heartbeat words of 3584 ms: a day holds 24107 of them (counters from
// 1900000), a year about 8.8 million, more than its 1680000 counters. CS4 as
// shipped counts by the day; a copy that names the year makes tl_gen fall
// back to the day and say so. Either way the decoder dates the words today,
// and tl_decode prints a day counter's time of day.
struct HeartbeatCase {
  const char* name;
  bool yearCounted;    // the copy whose heartBeatCycle names the year
  const char* errors;  // tl_gen's standard error
};

class HeartbeatGenTest : public ::testing::TestWithParam<HeartbeatCase> {};

TEST_P(HeartbeatGenTest, WordsSentJustNowAreDatedNow) {
  const HeartbeatCase& c = GetParam();
  TempDir dir;
  std::string cs4 = std::string(TL_TEST_DATA_DIR) + "/scheme_t4_cs4.cfg";
  if (c.yearCounted) {
    std::ifstream in(cs4);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string day = "<heartBeatCycle>1<";
    const std::size_t at = text.find(day);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, day.size(), "<heartBeatCycle>5<");
    cs4 = dir.file("year.cfg");
    std::ofstream(cs4) << text;
  }
  const std::time_t before = std::time(nullptr);
  const ToolRun gen =
      runTool(TL_GEN_PATH, {"--timed", "now", "3", "--id", "5", cs4, dir.file("h.wav")}, dir);
  ASSERT_EQ(gen.status, 0) << gen.errors;
  EXPECT_EQ(gen.errors, c.errors);
  const ToolRun run = runTool(TL_DECODE_PATH, {cs4, dir.file("h.wav")}, dir);
  ASSERT_EQ(run.status, 0) << run.errors;
  ASSERT_EQ(wordsOf(run.out), wordsOf(gen.out));
  static const std::regex stamp(R"(0x([0-9a-f]+)  Station ID 5, time (\d\d):(\d\d):(\d\d)\.\d{3})");
  int dated = 0;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(line, m, stamp)) << line;
    const int64_t counter = std::stoll(m[1], nullptr, 16) & 0x1fffff;
    ASSERT_GE(counter, 1900000) << line;
    const int64_t sentOfDay = std::stoi(m[2]) * 3600 + std::stoi(m[3]) * 60 + std::stoi(m[4]);
    EXPECT_EQ(sentOfDay, (counter - 1900000) * 3584 / 1000) << line;
    // Three words, the last ending 2 s or more before tl_gen ran (a word
    // sent just before midnight has the previous day's time of day).
    const int64_t agoS = (before % 86400 - sentOfDay + 86400) % 86400;
    EXPECT_LE(agoS, 20) << line;
    ++dated;
  }
  EXPECT_EQ(dated, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Cs4, HeartbeatGenTest,
    ::testing::Values(HeartbeatCase{"AsShippedByTheDay", false, ""},
                      HeartbeatCase{"YearCountedCopyFallsBackToTheDay", true,
                                    "tl_gen: heartbeat words of 3584 ms overflow the counters of "
                                    "period kind 5: counted by period kind 1\n"}),
    [](const ::testing::TestParamInfo<HeartbeatCase>& info) { return info.param.name; });

// Memory stays the same whatever the recording's length: two and a half
// minutes of 48 kHz samples (14 MB, which a whole-file reader would hold
// about three times over) take no more than a tenth of them.
TEST(DecodeToolTest, MemoryDoesNotGrowWithTheRecording) {
  TempDir dir;
  auto writeSilence = [&](const std::string& name, std::size_t samples) {
    std::ofstream out(dir.file(name), std::ios::binary);
    const std::vector<char> zeros(2 * 48000, 0);
    for (std::size_t left = samples; left > 0;) {
      const std::size_t n = std::min<std::size_t>(left, 48000);
      out.write(zeros.data(), static_cast<std::streamsize>(2 * n));
      left -= n;
    }
  };
  writeSilence("short.raw", 48000 * 2);
  writeSilence("long.raw", 48000 * 150);
  const ToolRun shortRun = runTool(TL_DECODE_PATH, {"--raw", "48000", kVtw, dir.file("short.raw")}, dir);
  const ToolRun longRun = runTool(TL_DECODE_PATH, {"--raw", "48000", kVtw, dir.file("long.raw")}, dir);
  ASSERT_EQ(shortRun.status, 0) << shortRun.errors;
  ASSERT_EQ(longRun.status, 0) << longRun.errors;
  EXPECT_EQ(longRun.errors, "tl_decode: 0 word(s) in 150.0 s of audio\n");
  EXPECT_LT(longRun.maxRssKb - shortRun.maxRssKb, 1400) << shortRun.maxRssKb << " kB, then "
                                                         << longRun.maxRssKb << " kB";
}

// ---- the example app ----------------------------------------------------------------------

struct ExampleCase {
  const char* name;
  std::vector<std::string> genArgs;  // tl_gen's options before the scheme
  const char* scheme;                // the example's CONFIG
  int status;
  std::vector<std::string> words;    // the example's codeword lines, in order
};

class DecodeWavTest : public ::testing::TestWithParam<ExampleCase> {};

// VTW words 4242 and 4243 (station 0) rendered at 16 kHz, or at 48 kHz in
// stereo which the recorder takes at that rate; and a scheme that no
// built-in plug-in runs (CS4 at 16 kHz), which the example reports.
TEST_P(DecodeWavTest, PrintsTheWordsOrSaysItDecodedNothing) {
  const ExampleCase& c = GetParam();
  TempDir dir;
  std::vector<std::string> gen = c.genArgs;
  for (const std::string& a : {kVtw, dir.file("w.wav"), std::string("4242"), std::string("4243")}) {
    gen.push_back(a);
  }
  ASSERT_EQ(runTool(TL_GEN_PATH, gen, dir).status, 0);
  const ToolRun run = runTool(
      DECODE_WAV_PATH,
      {std::string(TL_TEST_DATA_DIR) + "/" + c.scheme, dir.file("w.wav"), dir.file("data")}, dir);
  EXPECT_EQ(run.status, c.status) << run.out;
  std::vector<std::string> words;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("codeword ", 0) == 0) words.push_back(line);
  }
  EXPECT_EQ(words, c.words);
  if (c.status != 0) {
    EXPECT_NE(run.errors.find("decode_wav: nothing decoded " + dir.file("w.wav")),
              std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Example, DecodeWavTest,
    ::testing::Values(
        ExampleCase{"MonoAtTheSchemesRate",
                    {"--snr", "10", "--seed", "3", "--lead-in", "2"},
                    "scheme_t2_vtw.cfg",
                    0,
                    {"codeword 4242 engine TRIGGER", "codeword 4243 engine TRIGGER"}},
        ExampleCase{"StereoAt48kHz",
                    {"--snr", "10", "--seed", "3", "--lead-in", "2", "--rate", "48000",
                     "--channels", "2"},
                    "scheme_t2_vtw.cfg",
                    0,
                    {"codeword 4242 engine TRIGGER", "codeword 4243 engine TRIGGER"}},
        ExampleCase{"SchemeNoPluginRuns", {}, "scheme_t4_cs4.cfg", 1, {}}),
    [](const ::testing::TestParamInfo<ExampleCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tltest
