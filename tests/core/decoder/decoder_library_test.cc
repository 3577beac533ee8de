#include "core/decoder/decoder_library.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/signal/signal_generator.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

std::string dataFile(const std::string& name) {
  return std::string(TL_TEST_DATA_DIR) + "/" + name;
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct ContextDeleter {
  void operator()(DecoderLibraryContext* c) const { Tembrolexin_Close(c); }
};
using ContextPtr = std::unique_ptr<DecoderLibraryContext, ContextDeleter>;

ContextPtr open(const std::string& config, int64_t mode = 1) {
  return ContextPtr(Tembrolexin_Init2(config.c_str(), mode));
}

std::string withRate(const std::string& file, int32_t from, int32_t to) {
  std::string text = readText(dataFile(file));
  const std::string a = "<rateCode>" + std::to_string(from) + "</rateCode>";
  text.replace(text.find(a), a.size(), "<rateCode>" + std::to_string(to) + "</rateCode>");
  return text;
}

// ---------------------------------------------------------------------------
// Fixed texts.

TEST(DecoderLibrary, VersionBanner) {
  EXPECT_STREQ(Tembrolexin_GetVersionNumber(),
               "Tembrolexin Decoder Library\nVersion            : v1.4\n");
}

TEST(DecoderLibrary, ErrorTextKeepsTheFirst199Characters) {
  const std::string long_text(300, 'x');
  EXPECT_EQ(Tembrolexin_SetErrorMsg(long_text.c_str()), 300);
  EXPECT_EQ(std::string(Tembrolexin_GetErrorMsg()), long_text.substr(0, 199));
  EXPECT_EQ(Tembrolexin_SetErrorMsg("50% done %s"), 11);  // never a format
  EXPECT_STREQ(Tembrolexin_GetErrorMsg(), "50% done %s");
  EXPECT_EQ(Tembrolexin_SetErrorMsg(nullptr), 0);
  EXPECT_STREQ(Tembrolexin_GetErrorMsg(), "");
}

TEST(DecoderLibrary, ValidEncodingSchemeNames) {
  const struct {
    const char* name;
    int32_t valid;
  } rows[] = {{"VorselT", 1}, {"vorselt", 1}, {"VTW", 1},    {"vc", 1},
              {"ConsumerH8", 1}, {"Vorsel", 0}, {"", 0},    {"VT ", 0}};
  for (const auto& r : rows) EXPECT_EQ(Tembrolexin_ValidEncodingSchemeName(r.name), r.valid) << r.name;
  EXPECT_EQ(Tembrolexin_ValidEncodingSchemeName(nullptr), 0);
}

// ---------------------------------------------------------------------------
// Init2.

TEST(DecoderLibraryInit, RefusedConfigurationsSayWhy) {
  tltest::TempDir dir;
  {
    std::ofstream(dir.file("t1_32k.cfg")) << withRate("scheme_t2_vtw.cfg", 16, 32);
    std::ofstream(dir.file("t2_48k.cfg")) << withRate("scheme_t2_vtw.cfg", 16, 48);
    std::ofstream(dir.file("t3_16k.cfg")) << withRate("scheme_t3_ch8.cfg", 8, 16);
  }
  const std::string mix =
      "Unsupported mix of sample rates: all schemes need one rate, or 8 and 16 kHz together";
  const struct {
    std::string config;
    std::string error;  // exact, or a prefix when ending in '*'
  } rows[] = {
      {"", "The decoder configuration names no encoding scheme"},
      {"  \n\t ", "The decoder configuration names no encoding scheme"},
      {dataFile("scheme_t1_vt.cfg") + " " + dir.file("t1_32k.cfg"), mix},
      {dataFile("scheme_t2_vtw.cfg") + " " + dir.file("t1_32k.cfg"), mix},
      {dataFile("scheme_t1_vt.cfg") + " " + dataFile("scheme_t2_vtw.cfg") + " " +
           dir.file("t1_32k.cfg"),
       mix},
      {dir.file("t2_48k.cfg"), "Scheme configuration: *"},
      {dir.file("missing.cfg"), "*"},
  };
  for (const auto& r : rows) {
    Tembrolexin_SetErrorMsg("");
    EXPECT_EQ(open(r.config), nullptr) << r.config;
    const std::string got = Tembrolexin_GetErrorMsg();
    if (!r.error.empty() && r.error.back() == '*') {
      EXPECT_EQ(got.rfind(r.error.substr(0, r.error.size() - 1), 0), 0u) << got;
      EXPECT_FALSE(got.empty()) << r.config;
    } else {
      EXPECT_EQ(got, r.error) << r.config;
    }
  }
  Tembrolexin_SetErrorMsg("");
  EXPECT_EQ(Tembrolexin_Init2(nullptr, 1), nullptr);
  EXPECT_STREQ(Tembrolexin_GetErrorMsg(), "No decoder configuration given");
  // Schemes of one rate, and 8 with 16 kHz, are served.
  EXPECT_NE(open(dataFile("scheme_t1_vt.cfg") + " " + dataFile("scheme_t3_ch8.cfg")), nullptr);
  EXPECT_NE(open(dataFile("scheme_t1_vt.cfg") + " " + dir.file("t3_16k.cfg")), nullptr);
  EXPECT_NE(open(dir.file("t1_32k.cfg")), nullptr);
}

TEST(DecoderLibraryInit, AnXmlTextIsOneTokenWhiteSpaceAndAll) {
  const std::string text = " \n\t" + readText(dataFile("scheme_mixed_8k_16k.cfg"));
  ContextPtr ctx = open(text);
  ASSERT_NE(ctx, nullptr) << Tembrolexin_GetErrorMsg();
  EXPECT_EQ(Tembrolexin_NEncodingSchemes(ctx.get()), 2);
  EXPECT_EQ(Tembrolexin_FsIn(ctx.get()), 16000);
  EXPECT_NE(ctx->resampler, nullptr);
  // The schemes of one token share one MessageParams record.
  EXPECT_EQ(getSchemeMessageParams(ctx.get(), 0), getSchemeMessageParams(ctx.get(), 1));
  EXPECT_NE(getSchemeMessageParams(ctx.get(), 0), nullptr);
}

TEST(DecoderLibraryInit, FileListKeepsTheOrderOfItsFiles) {
  ContextPtr ctx = open(dataFile("scheme_t3_ch8.cfg") + "\n" + dataFile("scheme_t1_vt.cfg") +
                        "   " + dataFile("scheme_t5_vc.cfg"));
  ASSERT_NE(ctx, nullptr) << Tembrolexin_GetErrorMsg();
  ASSERT_EQ(Tembrolexin_NEncodingSchemes(ctx.get()), 3);
  EXPECT_EQ(getEchoModParameters(ctx.get(), 0)->scheme, 15);
  EXPECT_EQ(getEchoModParameters(ctx.get(), 1)->scheme, 13);
  EXPECT_EQ(getEchoModParameters(ctx.get(), 2)->scheme, 5);
  EXPECT_EQ(getEchoModParameters(ctx.get(), 3), nullptr);
  EXPECT_EQ(getEchoModParameters(ctx.get(), -1), nullptr);
  EXPECT_NE(getSchemeMessageParams(ctx.get(), 0), getSchemeMessageParams(ctx.get(), 1));
  EXPECT_EQ(getSchemeMessageParams(ctx.get(), 3), nullptr);
  EXPECT_EQ(Tembrolexin_FsIn(ctx.get()), 8000);
  EXPECT_EQ(ctx->resampler, nullptr);
  // Every record is in form 2.
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(getEchoModParameters(ctx.get(), i)->unitForm, 2);
}

// ---------------------------------------------------------------------------
// Queries.

TEST(DecoderLibrary, SchemeInfo) {
  const struct {
    const char* file;
    int32_t scheme;
    const char* name;
    const char* shortName;
    int64_t duration;  // F * S / 4
    int64_t offset;    // (D + largest alignment) / 4
  } rows[] = {
      {"scheme_t1_vt.cfg", 13, "VorselT", "VT", 35 * 1024 / 4, 1},
      {"scheme_t1_vt_aligned.cfg", 13, "VorselT", "VT", 35 * 1024 / 4, (4 + 96) / 4},
      {"scheme_t1_vt_falling.cfg", 13, "VorselT", "VT", 35 * 1024 / 4, (4 + 384) / 4},
      {"scheme_t2_vtw.cfg", 18, "VorselTW", "VTW", 20 * 512 / 4, 1},
      {"scheme_t5_vc.cfg", 5, "VorselC", "VC", 31 * 1024 / 4, 1},
  };
  for (const auto& r : rows) {
    ContextPtr ctx = open(dataFile(r.file));
    ASSERT_NE(ctx, nullptr);
    EncodingSchemeInfo info{};
    ASSERT_EQ(Tembrolexin_GetSchemeInfo(ctx.get(), 0, &info), 1);
    EXPECT_EQ(info.scheme, r.scheme);
    EXPECT_STREQ(info.name, r.name);
    EXPECT_STREQ(info.shortName, r.shortName);
    EXPECT_EQ(info.codewordDuration, r.duration) << r.file;
    EXPECT_EQ(info.codewordOffset, r.offset) << r.file;
    EncodingSchemeInfo untouched{};
    untouched.scheme = 77;
    EXPECT_EQ(Tembrolexin_GetSchemeInfo(ctx.get(), 1, &untouched), 0);
    EXPECT_EQ(Tembrolexin_GetSchemeInfo(ctx.get(), -1, &untouched), 0);
    EXPECT_EQ(untouched.scheme, 77);
  }
  EncodingSchemeInfo info{};
  EXPECT_EQ(Tembrolexin_GetSchemeInfo(nullptr, 0, &info), 0);
  EXPECT_EQ(Tembrolexin_NEncodingSchemes(nullptr), 0);
  EXPECT_EQ(Tembrolexin_FsIn(nullptr), 0);
}

TEST(DecoderLibrary, MatchedFilterAccessors) {
  ContextPtr ctx = open(dataFile("scheme_t1_vt_aligned.cfg"));
  ASSERT_NE(ctx, nullptr);
  // N * F = 16 * 35, plus the largest alignment: 96 quarter ms = 192
  // samples, 192 * 16 / 2048 = 1 step.
  EXPECT_EQ(getMatchedFilterBufferLength(ctx.get(), 0), 561);
  EXPECT_EQ(getMatchedFilterBufferLength(ctx.get(), 1), 0);
  std::vector<int16_t> samples(100, 0);
  PerformanceData record;
  Tembrolexin_ProcessData(ctx.get(), samples.data(), 100, &record);
  // A phase step is 128 samples: 100 samples since the last, at 8 per ms.
  EXPECT_EQ(getMsSinceLastMatchedFilterBufferOutput(ctx.get(), 0), 12);
  EXPECT_EQ(getMsSinceLastMatchedFilterBufferOutput(ctx.get(), 1), 0);
  EXPECT_EQ(getMatchedFilterBuffer(ctx.get(), 0, 1, 0), nullptr);
  EXPECT_EQ(getMatchedFilterBuffer(ctx.get(), 1, 0, 0), nullptr);
  EXPECT_EQ(getMatchedFilterBuffer(ctx.get(), 0, 0, -5), nullptr);
  CircularBuffer* rings = getMatchedFilterBuffer(ctx.get(), 0, 0, 2000);
  ASSERT_NE(rings, nullptr);
  EXPECT_EQ(rings[0].count, 2000);
  EXPECT_EQ(getMatchedFilterBufferLength(ctx.get(), 0), 2000);
}

// ---------------------------------------------------------------------------
// ProcessData.

TEST(DecoderLibraryProcess, RefusesBadArguments) {
  ContextPtr ctx = open(dataFile("scheme_t1_vt.cfg"));
  ASSERT_NE(ctx, nullptr);
  int16_t samples[4] = {};
  PerformanceData record;
  EXPECT_EQ(Tembrolexin_ProcessData(nullptr, samples, 4, &record), -1);
  EXPECT_EQ(Tembrolexin_ProcessData(ctx.get(), samples, 4, nullptr), -1);
  EXPECT_EQ(Tembrolexin_ProcessData(ctx.get(), nullptr, 4, &record), -1);
  EXPECT_EQ(Tembrolexin_ProcessData(ctx.get(), samples, -1, &record), -1);
  EXPECT_EQ(Tembrolexin_ProcessData(ctx.get(), nullptr, 0, &record), -1);  // empty block
  Tembrolexin_Close(nullptr);
}

std::vector<int16_t> noise(size_t n, uint32_t seed) {
  std::vector<int16_t> v(n);
  uint32_t x = seed;
  for (auto& s : v) {
    x = x * 1664525u + 1013904223u;
    s = static_cast<int16_t>(static_cast<int32_t>(x >> 16) - 32768) / 8;
  }
  return v;
}

// The index of each record's scheme goes into bits 24 to 31 of its scheme
// ids; unset ids stay negative.
TEST(DecoderLibraryProcess, SchemeIdsCarryTheirIndex) {
  const std::string t1 = dataFile("scheme_t1_vt.cfg");
  ContextPtr ctx = open(t1 + " " + t1 + " " + t1);
  ASSERT_NE(ctx, nullptr);
  std::vector<int16_t> block = noise(4096, 3);  // two symbols: the phase wraps
  std::vector<PerformanceData> records(3);
  Tembrolexin_ProcessData(ctx.get(), block.data(), 4096, records.data());
  for (int32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(records[i].sigScheme, 13 | (i << 24)) << i;
    EXPECT_EQ(records[i].msgScheme, -1) << i;
  }
}

TEST(DecoderLibraryProcess, CallersSamplesComeBackAsDocumented) {
  const std::vector<int16_t> input = noise(2048, 5);
  {  // one scheme: filtered in place
    ContextPtr ctx = open(dataFile("scheme_t1_vt.cfg"));
    std::vector<int16_t> block = input;
    PerformanceData record;
    Tembrolexin_ProcessData(ctx.get(), block.data(), 2048, &record);
    EXPECT_NE(block, input);
  }
  {  // several schemes of one rate: unchanged
    ContextPtr ctx = open(dataFile("scheme_t1_vt.cfg") + " " + dataFile("scheme_t3_ch8.cfg"));
    std::vector<int16_t> block = input;
    std::vector<PerformanceData> records(2);
    Tembrolexin_ProcessData(ctx.get(), block.data(), 2048, records.data());
    EXPECT_EQ(block, input);
  }
  {  // 8 and 16 kHz: the first half holds the decimated block
    ContextPtr ctx = open(dataFile("scheme_mixed_8k_16k.cfg"));
    std::vector<int16_t> block = input;
    std::vector<PerformanceData> records(2);
    Tembrolexin_ProcessData(ctx.get(), block.data(), 2048, records.data());
    EXPECT_NE(std::vector<int16_t>(block.begin(), block.begin() + 1024),
              std::vector<int16_t>(input.begin(), input.begin() + 1024));
    EXPECT_EQ(std::vector<int16_t>(block.begin() + 1024, block.end()),
              std::vector<int16_t>(input.begin() + 1024, input.end()));
  }
}

// Words of a mode-0 context need a scratch pad: without one it measures but
// decodes nothing; with one it decodes what a mode-1 context decodes.
TEST(DecoderLibraryProcess, ScratchPadServesEveryChannel) {
  const std::string config = dataFile("scheme_t1_vt.cfg") + " " + dataFile("scheme_t3_ch8.cfg");
  ContextPtr own = open(config, 1);
  ContextPtr padded = open(config, 0);
  ContextPtr padless = open(config, 0);
  ASSERT_TRUE(own && padded && padless);
  const int32_t need = Tembrolexin_AssignScratchPad(padded.get(), nullptr);
  EXPECT_GT(need, 140);
  EXPECT_EQ(Tembrolexin_AssignScratchPad(own.get(), nullptr), need);
  std::vector<uint32_t> pad((need + 3) / 4);
  EXPECT_EQ(Tembrolexin_AssignScratchPad(padded.get(), pad.data()), need);
  EXPECT_EQ(Tembrolexin_AssignScratchPad(nullptr, pad.data()), 0);

  tltest::GeneratorOptions options;
  options.leadIn = 3000;
  options.tail = 4096;
  const int64_t word = createVorselTvCodeWord(99, 4);
  const tltest::GeneratedSignal signal =
      tltest::generateSignal(*getEchoModParameters(own.get(), 0), {word}, options);
  auto run = [&](DecoderLibraryContext* ctx) {
    std::vector<int64_t> got;
    std::vector<PerformanceData> records(2);
    for (size_t at = 0; at + 1024 <= signal.samples.size(); at += 1024) {
      std::vector<int16_t> block(signal.samples.begin() + at, signal.samples.begin() + at + 1024);
      const int64_t best = Tembrolexin_ProcessData(ctx, block.data(), 1024, records.data());
      if (best >= 0) got.push_back(best);
    }
    return got;
  };
  EXPECT_EQ(run(own.get()), std::vector<int64_t>{word});
  EXPECT_EQ(run(padded.get()), std::vector<int64_t>{word});
  EXPECT_TRUE(run(padless.get()).empty());
}

TEST(DecoderLibraryProcess, ClearHistoryEmptiesEveryChannelsRings) {
  ContextPtr ctx = open(dataFile("scheme_t1_vt.cfg") + " " + dataFile("scheme_t3_ch8.cfg"));
  std::vector<int16_t> block = noise(20000, 8);
  std::vector<PerformanceData> records(2);
  Tembrolexin_ProcessData(ctx.get(), block.data(), 20000, records.data());
  clearHistory(ctx.get());
  clearHistory(nullptr);
  for (int32_t i = 0; i < 2; ++i) {
    const CircularBuffer* rings = getMatchedFilterBuffer(ctx.get(), i, 0, 0);
    for (int32_t p = 0; p < getEchoModParameters(ctx.get(), i)->positionCount; ++p) {
      for (int32_t s = 0; s < rings[p].count; ++s) ASSERT_EQ(rings[p].base[s], 0);
    }
  }
}

// ---------------------------------------------------------------------------
// Interpretation.

TEST(DecoderLibraryInterpret, EventEngineWordsUseTimeZero) {
  ContextPtr ctx = open(dataFile("scheme_t3_ch8.cfg"));
  ASSERT_NE(ctx, nullptr);
  // D = 30 * 1024 / 4 = 7680 ms, periods of 2048 * D from 1970. At time 0
  // offset 5 would be ready only at 5 * D + D: the word belongs to the
  // period before, which starts at -2048 * D = -15728640 ms; the word time
  // is -15728640 + 5 * 7680 = -15690240 ms = 1969-12-31 19:38:29.760.
  const int64_t word = createEventEngine2CodeWord(3, 5);
  CodewordInterpretation record;
  EXPECT_EQ(Tembrolexin_interpretCodeword(ctx.get(), 0, word, &record), -15728640);
  EXPECT_EQ(record.id, 3);
  EXPECT_EQ(record.counter, 5);
  EXPECT_EQ(record.wordTime, -15690240);
  char text[64];
  EXPECT_EQ(Tembrolexin_interpretCodewordStr(ctx.get(), 0, word, text, sizeof text), 12);
  EXPECT_STREQ(text, "Track ID 3, time 19:38:29.760");
}

TEST(DecoderLibraryInterpret, TextsAreBoundedByTheBuffer) {
  ContextPtr ctx = open(dataFile("scheme_t3_ch8.cfg"));
  const int64_t word = createEventEngine2CodeWord(3, 5);
  char text[32];
  std::memset(text, '#', sizeof text);
  EXPECT_EQ(Tembrolexin_interpretCodewordStr(ctx.get(), 0, word, text, 10), 9);
  EXPECT_STREQ(text, "Track ID ");
  EXPECT_EQ(text[10], '#');
  std::memset(text, '#', sizeof text);
  EXPECT_EQ(Tembrolexin_interpretCodewordStr(ctx.get(), 0, word, text, 1), 0);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(text[1], '#');
  EXPECT_EQ(Tembrolexin_interpretCodewordStr(ctx.get(), 0, word, text, 0), 0);
  EXPECT_EQ(text[1], '#');
  EXPECT_EQ(Tembrolexin_interpretCodewordStr(ctx.get(), 1, word, text, 32), 0);  // no scheme 1
  EXPECT_STREQ(text, "");
  EXPECT_EQ(Tembrolexin_interpretCodewordStr(ctx.get(), 0, word, nullptr, 32), 0);
}

TEST(DecoderLibraryInterpret, PlainNumbersAreBursts) {
  ContextPtr ctx = open(dataFile("scheme_ch4_plain.cfg"));
  ASSERT_NE(ctx, nullptr);
  char text[16];
  EXPECT_EQ(Tembrolexin_interpretCodewordStr(ctx.get(), 0, 0x5A5A00, text, sizeof text), 5);
  EXPECT_STREQ(text, "burst");
  EXPECT_EQ(Tembrolexin_interpretCodewordStr(ctx.get(), 0, 0x5A5A00, text, 4), 3);
  EXPECT_STREQ(text, "bur");
  CodewordInterpretation record;
  EXPECT_EQ(Tembrolexin_interpretCodeword(ctx.get(), 5, 1, &record), -1);
  EXPECT_EQ(Tembrolexin_interpretCodeword(ctx.get(), 0, 1, nullptr), -1);
}

TEST(DecoderLibraryInterpret, VorselTvWordsNameTheirStationAndDate) {
  ContextPtr ctx = open(dataFile("scheme_t1_vt.cfg"));
  char text[80];
  Tembrolexin_interpretCodewordStr(ctx.get(), 0, createVorselTvCodeWord(123456, 77), text,
                                   sizeof text);
  EXPECT_TRUE(std::regex_match(
      text, std::regex(R"(Station ID 123456, time \d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3})")))
      << text;
}

}  // namespace
}  // namespace tembrolexinsdk
