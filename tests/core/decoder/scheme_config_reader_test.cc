#include "core/decoder/scheme_config_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/text_utils.h"
#include "tests/core/decoder/param_names.h"
#include "tests/support/comma_locale.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

std::string dataPath(const std::string& name) { return std::string(TL_TEST_DATA_DIR) + "/" + name; }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Loaded {
  SchemeConfig* list = nullptr;
  MessageParams* params = nullptr;
  ~Loaded() {
    freeSchemeConfigList(list);
    freeMessageParams(params);
  }
};

// What every loaded record must satisfy, whatever the file.
void expectComplete(const SchemeConfig* c) {
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->unitForm, 1);
  EXPECT_EQ(c->ownsArrays, 1);
  EXPECT_EQ(c->codec.ownsArrays, 1);
  ASSERT_NE(c->name, nullptr);
  ASSERT_NE(c->shortName, nullptr);
  ASSERT_NE(c->positionLags, nullptr);
  ASSERT_NE(c->positionAlignments, nullptr);
  ASSERT_NE(c->levelTable, nullptr);
  ASSERT_NE(c->codec.symbolOrder, nullptr);
  ASSERT_NE(c->codec.convBlockLengths, nullptr);
  int32_t sum = 0;
  for (int32_t b = 0; b < c->codec.convBlockCount; ++b) sum += c->codec.convBlockLengths[b];
  EXPECT_EQ(sum, c->codec.codeSymbols);
  EXPECT_EQ(c->codec.interleaverRows * c->codec.interleaverColumns, schemeCodedLength(c));
  EXPECT_EQ(c->codec.invertParity, 1);
  const int32_t symbolSamples = quarterMsToSamples(c->symbolDuration, schemeBandRate(c, 0));
  // Audio processors hand over blocks of 1024 input samples: symbols last at
  // least two blocks.
  EXPECT_GE(symbolSamples * schemeBandCount(c), 2048);
}

struct ConfigCase {
  const char* file;
  int32_t schemeCount;
  int32_t scheme;
  const char* shortName;
  int32_t rateCode;
  int32_t bands;
  int32_t m, k, n;
  int32_t frames;
  int32_t orders;
};

class TestConfigurations : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(TestConfigurations, LoadIntoCompleteRecords) {
  const ConfigCase& tc = GetParam();
  Loaded loaded;
  loaded.list = readSchemeConfig(dataPath(tc.file).c_str(), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << tembrolexinErrorText();
  ASSERT_NE(loaded.params, nullptr);
  EXPECT_EQ(schemeConfigCount(loaded.list), tc.schemeCount);
  for (SchemeConfig* c = loaded.list; c; c = c->next) expectComplete(c);
  const SchemeConfig* c = schemeConfigAt(loaded.list, tc.schemeCount - 1);
  EXPECT_EQ(c->scheme, tc.scheme);
  EXPECT_STREQ(c->shortName, tc.shortName);
  EXPECT_EQ(c->rateCode, tc.rateCode);
  EXPECT_EQ(schemeBandCount(c), tc.bands);
  EXPECT_EQ(c->codec.bitsPerSymbol, tc.m);
  EXPECT_EQ(c->codec.infoSymbols, tc.k);
  EXPECT_EQ(c->codec.codeSymbols, tc.n);
  EXPECT_EQ(schemeFramesPerCodeword(c), tc.frames);
  EXPECT_EQ(c->positionOrderCount, tc.orders);
  EXPECT_EQ(loaded.params->counterBase[kPeriodDay], 1900000);
  EXPECT_EQ(loaded.params->counterBase[kPeriodWeek], 1860000);
  EXPECT_EQ(loaded.params->counterBase[kPeriodMonth], 1680000);
}

INSTANTIATE_TEST_SUITE_P(
    Files, TestConfigurations,
    ::testing::Values(ConfigCase{"scheme_t1_vt.cfg", 1, 13, "VT", 8, 1, 5, 8, 14, 35, 0},
                      ConfigCase{"scheme_t1_vt_aligned.cfg", 1, 13, "VT", 8, 1, 5, 8, 14, 35, 0},
                      ConfigCase{"scheme_t2_vtw.cfg", 1, 18, "VTW", 16, 2, 5, 8, 16, 20, 0},
                      ConfigCase{"scheme_t3_ch8.cfg", 1, 15, "CH8", 8, 1, 5, 6, 12, 30, 0},
                      ConfigCase{"scheme_t4_cs4.cfg", 1, 16, "CS4", 16, 1, 4, 8, 14, 28, 2},
                      ConfigCase{"scheme_t5_vc.cfg", 1, 5, "VC", 8, 1, 1, 24, 31, 31, 0},
                      ConfigCase{"scheme_t5_vc_punctured.cfg", 1, 5, "VC", 8, 1, 1, 24, 31, 31, 0},
                      ConfigCase{"scheme_mixed_8k_16k.cfg", 2, 16, "CS4", 16, 1, 4, 8, 14, 28, 2},
                      ConfigCase{"scheme_ch4_plain.cfg", 1, 10, "CH4", 16, 2, 5, 8, 16, 20, 0}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) {
      const auto& p = info.param;
      return tltest::textName(p.file);
    });

// Every shipped file with a heartbeat scheme (id 16) counts its words by a
// period whose counter range holds all of them, counted from the range's
// first counter: a receiver reads a counter by its range, so one past it
// would be dated in another kind of period. The ranges and the longest
// period of each kind, from the heartbeat counter layout; a quarter has no
// range of its own.
TEST(ShippedSchemeFiles, HeartbeatPeriodHoldsItsWords) {
  struct Range {
    int64_t first, last, longestMs;
  };
  constexpr int64_t kDayMs = 86400000;
  const std::map<uint32_t, Range> ranges = {{kPeriodDay, {1900000, 2097151, kDayMs}},
                                            {kPeriodWeek, {1860000, 1899999, 7 * kDayMs}},
                                            {kPeriodMonth, {1680000, 1859999, 31 * kDayMs}},
                                            {kPeriodYear, {0, 1679999, 366 * kDayMs}}};
  std::set<std::string> checked;
  for (const auto& entry : std::filesystem::directory_iterator(TL_TEST_DATA_DIR)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("scheme_", 0) != 0 || entry.path().extension() != ".cfg") continue;
    Loaded loaded;
    loaded.list = readSchemeConfig(entry.path().c_str(), &loaded.params);
    ASSERT_NE(loaded.list, nullptr) << name << ": " << tembrolexinErrorText();
    for (const SchemeConfig* c = loaded.list; c; c = c->next) {
      if (c->scheme != 16) continue;
      checked.insert(name);
      const uint32_t kind = loaded.params->heartBeatCycle;
      const auto range = ranges.find(kind);
      ASSERT_TRUE(range != ranges.end()) << name << ": period kind " << kind << " has no range";
      const int64_t d = schemeCodewordDurationMs(c);
      ASSERT_GT(d, 0) << name;
      const int64_t words = range->second.longestMs / d;
      EXPECT_EQ(loaded.params->counterBase[kind], range->second.first) << name;
      EXPECT_LE(range->second.first + words - 1, range->second.last)
          << name << ": " << words << " words of " << d << " ms in period kind " << kind;
    }
  }
  const std::set<std::string> known = {"scheme_mixed_8k_16k.cfg", "scheme_t4_cs4.cfg",
                                       "scheme_t4_cs4_falling.cfg"};
  EXPECT_TRUE(std::includes(checked.begin(), checked.end(), known.begin(), known.end()))
      << testing::PrintToString(checked);
}

}  // namespace
}  // namespace tembrolexinsdk

namespace tembrolexinsdk {
namespace {

// A configuration text derived from a test configuration by replacing one
// piece of text.
struct Mutation {
  const char* file;
  const char* from;
  const char* to;
  const char* error;  // expected part of the error text
};

std::string mutate(const Mutation& m) {
  std::string text = readFile(dataPath(m.file));
  const size_t at = text.find(m.from);
  if (at == std::string::npos) return std::string();
  text.replace(at, std::strlen(m.from), m.to);
  return text;
}

class Rejections : public ::testing::TestWithParam<Mutation> {};

TEST_P(Rejections, FailWithAnErrorNamingTheField) {
  const Mutation& m = GetParam();
  const std::string text = mutate(m);
  ASSERT_FALSE(text.empty()) << "mutation source not found: " << m.from;
  tembrolexinSetErrorText("untouched");
  MessageParams* params = reinterpret_cast<MessageParams*>(0x1);
  SchemeConfig* list = parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &params);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(params, nullptr);
  freeSchemeConfigList(list);
  EXPECT_NE(std::string(tembrolexinErrorText()).find(m.error), std::string::npos)
      << "error text: " << tembrolexinErrorText();
}

constexpr const char* kT1 = "scheme_t1_vt.cfg";
constexpr const char* kT2 = "scheme_t2_vtw.cfg";
constexpr const char* kT4 = "scheme_t4_cs4.cfg";
constexpr const char* kT5 = "scheme_t5_vc.cfg";
constexpr const char* kT5P = "scheme_t5_vc_punctured.cfg";
constexpr const char* kT1Order = "0 3 6 9 12 1 4 7 10 13 2 5 8 11";

INSTANTIATE_TEST_SUITE_P(
    Rules, Rejections,
    ::testing::Values(
        // Rates and bands.
        Mutation{kT1, "<rateCode>8<", "<rateCode>12<", "(id 13): rateCode: 12 is not supported"},
        Mutation{kT1, "<rateCode>8</rateCode>", "<rateCode>8</rateCode><bandSigns>1 -1</bandSigns>",
                 "bandSigns: two bands need rate code 16, 32 or 44, not 8"},
        Mutation{kT2, "<rateCode>16<", "<rateCode>48<", "bandSigns: two bands need rate code"},
        Mutation{kT2, "<bandSigns>1 -1<", "<bandSigns>1 -1 1<", "bandSigns: 3 bands"},
        Mutation{kT2, "<bandSigns>1 -1<", "<bandSigns>1 0<", "bandSigns: a band sign must be"},
        // Positions and their arrays.
        Mutation{kT1, "<positionCount>4<", "<positionCount>0<", "positionCount: value out of range 1..64"},
        Mutation{kT1, "<positionLags>4 12 20 28<", "<positionLags>4 12 20<",
                 "positionLags: 3 values where 4 are required"},
        Mutation{"scheme_t1_vt_aligned.cfg", "0 32 64 96", "0 32 64",
                 "positionAlignments: 3 values where 4 are required"},
        Mutation{kT1, "<positionLags>4 12", "<positionLags>-4 12", "positionLags: value out of range"},
        Mutation{kT1, "<positionLags>4 12 20 28<", "<positionLags>12 4 20 28<",
                 "positionLags: lags must be ascending"},
        Mutation{"scheme_t1_vt_aligned.cfg", "0 32 64 96", "-32 0 32 64",
                 "positionAlignments: value out of range"},
        // Falling alignments are fine until the first one (position P-1's
        // g(P-1) = 9 steps, with g(0) = 0) leaves the partial search's window.
        Mutation{"scheme_t1_vt_falling.cfg", "384 256 128 0", "600 256 128 0",
                 "positionAlignments: alignments spread over more than half a symbol"},
        Mutation{"scheme_t1_vt_aligned.cfg", "0 32 64 96", "0 0 0 2000",
                 "positionAlignments: alignments spread over more than half a symbol"},
        // Phase steps and symbol timing.
        Mutation{kT1, "<phaseCount>16<", "<phaseCount>1<", "phaseCount: value out of range 2..256"},
        Mutation{kT1, "<phaseCount>16<", "<phaseCount>15<", "phaseCount: 15 phase steps, an even number"},
        Mutation{kT1, "<symbolDuration>1024<", "<symbolDuration>4<",
                 "symbolDuration: 8 samples per symbol, fewer than 16 phase steps"},
        Mutation{kT1, "<symbolDuration>1024<", "<symbolDuration>15<",
                 "symbolDuration: pulse table of 15 entries, 8 needed"},
        Mutation{kT1, "<symbolDuration>1024<", "<symbolDuration>100<",
                 "symbolDuration: a code word lasts less than one second"},
        Mutation{kT1, "<comparisonDelay>4<", "<comparisonDelay>0<",
                 "comparisonDelay: value out of range 1..40000"},
        // Frames per code word.
        Mutation{kT1, "<positionCount>4<", "<positionCount>70<", "positionCount: value out of range"},
        // Curves.
        Mutation{kT1, "<high>0 60 100 30<", "<high>0 60<",
                 "messageCurves/high: a curve needs at least two points"},
        Mutation{kT1, "<low>0 25 100 10<", "<low>0 25 0 10<", "signalCurves/low: x values must increase"},
        Mutation{kT1, "<high>0 60 100 30<", "<high>0 60 100<",
                 "messageCurves/high: points need an x and a y value each"},
        Mutation{kT1, "<high>0 60 100 30<", "<high>0 60 100 40000<", "messageCurves/high: value out of range"},
        // Position orders.
        Mutation{kT4, "<order>1 0 3 2<", "<order>1 1 3 2<",
                 "positionOrders: order 2 is not a permutation of 0..3"},
        Mutation{kT4, "<order>0 1 2 3<", "<order>0 1 2<", "positionOrders: order 1 has 3 entries"},
        Mutation{kT4, "<order>0 1 2 3</order>", "<orders>0 1 2 3</orders>", "orders: unknown field"},
        // Reed-Solomon limits.
        Mutation{kT1, "<bitsPerSymbol>5<", "<bitsPerSymbol>0<", "bitsPerSymbol: value out of range 1..8"},
        Mutation{kT1, "<bitsPerSymbol>5<", "<bitsPerSymbol>9<", "bitsPerSymbol: value out of range 1..8"},
        Mutation{kT1, "<codeSymbols>14<", "<codeSymbols>32<", "codeSymbols: value out of range 1..31"},
        Mutation{kT4, "<codeSymbols>14<", "<codeSymbols>16<", "codeSymbols: 16 symbols exceed 2^m - 1 = 15"},
        Mutation{kT1, "<infoSymbols>8<", "<infoSymbols>15<",
                 "infoSymbols: 15 information symbols exceed 14 code symbols"},
        Mutation{kT1, "<bitsPerSymbol>5</bitsPerSymbol>\n      <infoSymbols>8<",
                 "<bitsPerSymbol>8</bitsPerSymbol><infoSymbols>9<",
                 "infoSymbols: 72 bits do not fit a 64-bit code word"},
        Mutation{kT1, "<errorLimit>1<", "<errorLimit>15<", "errorLimit: value out of range 0..14"},
        Mutation{kT1, "<convBlockLengths>14<", "<convBlockLengths>7 6<",
                 "convBlockLengths: block lengths add up to 13, not 14 symbols"},
        Mutation{kT1, "<convBlockLengths>14<", "<convBlockLengths>14 0<", "convBlockLengths: value out of range"},
        Mutation{kT1, "<interleaverRows>14<", "<interleaverRows>13<",
                 "interleaverRows: rows x columns must equal the 140 coded bits"},
        Mutation{kT1, kT1Order, "3 3 6 9 12 1 4 7 10 13 2 5 8 11",
                 "symbolOrder: not a permutation of the code symbols"},
        Mutation{kT1, kT1Order, "0 3 6 9 12 1 4 7 10 13 2 5 8",
                 "symbolOrder: 13 values where 14 are required"},
        Mutation{kT1, "<interleaverColumns>10</interleaverColumns>",
                 "<interleaverColumns>10</interleaverColumns><interleaverTable>0</interleaverTable>",
                 "interleaverTable: only with one interleaver column"},
        Mutation{kT1, "<interleaverRows>14</interleaverRows>\n      <interleaverColumns>10</interleaverColumns>",
                 "<interleaverRows>4</interleaverRows><interleaverColumns>35</interleaverColumns>"
                 "<interleaverTable>0 1 2 3</interleaverTable>",
                 "interleaverTable: only with one interleaver column"},
        Mutation{kT1, "<bitsPerSymbol>5<", "<generatorRows>1</generatorRows><bitsPerSymbol>5<",
                 "generatorRows: only for the binary code"},
        // Binary code limits.
        Mutation{kT5, "0x03000001 0x05000002", "0x03000003 0x05000002",
                 "generatorRows: row 0 is not systematic"},
        Mutation{kT5, "0x03000001 0x05000002", "0x83000001 0x05000002",
                 "generatorRows: row 0 has bits beyond 31 code bits"},
        Mutation{kT5, "0x1C400000 0x1D800000", "0x1C400000", "generatorRows: 23 rows where 24 are required"},
        Mutation{kT5, "<generatorRows>", "<checkColumns>1 2 3</checkColumns><generatorRows>",
                 "checkColumns: 3 columns where 31 are required"},
        Mutation{kT5P, "<puncturedPositions>29 30<",
                 "<puncturedPositions>0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16<",
                 "puncturedPositions: 17 positions, at most 16 allowed"},
        Mutation{kT5P, "<puncturedPositions>29 30<", "<puncturedPositions>30 29<",
                 "puncturedPositions: positions must be ascending and distinct"},
        Mutation{kT5P, "<puncturedPositions>29 30<", "<puncturedPositions>29 31<",
                 "puncturedPositions: value out of range 0..30"},
        // Convolutional code.
        Mutation{kT1, "<generators>0x79 0x5B<", "<generators>0x78 0x5B<",
                 "generators: generator 0 must tap bits 0 and 6"},
        Mutation{kT1, "<generators>0x79 0x5B<", "<generators>0x79 0x1B<",
                 "generators: generator 1 must tap bits 0 and 6"},
        Mutation{kT1, "<constraintLength>7<", "<constraintLength>17<",
                 "constraintLength: value out of range 2..16"},
        Mutation{kT1, "<constraintLength>7<", "<constraintLength>1<",
                 "constraintLength: value out of range 2..16"},
        Mutation{kT1, "<wrapLength>24<", "<wrapLength>200<",
                 "wrapLength: block 0 would overflow the 16-bit Viterbi metrics (47600)"},
        // Units and thresholds.
        Mutation{kT1, "<syncThresholds>20 40<", "<syncThresholds>40 20<",
                 "syncThresholds: needs two values t0 <= t1"},
        Mutation{"scheme_t3_ch8.cfg", "<unitScale>0.5 -10<", "<unitScale>0.000001 -10<",
                 "unitScale: scale must be positive and not near zero"},
        Mutation{"scheme_t3_ch8.cfg", "<unitScale>0.5 -10<", "<unitScale>0.001 -10<",
                 "unitScale: converted strength values leave -32767..32767"},
        Mutation{"scheme_t3_ch8.cfg", "<unitScale>0.5 -10<", "<unitScale>0.5 nan<",
                 "unitScale: not a list of finite numbers"},
        Mutation{kT1, "<levelTable>0 1 2 3 4 5 6 7 8 9 10<", "<levelTable>0 1 2<",
                 "levelTable: 3 values where 11 are required"},
        // Text-level rules.
        Mutation{kT1, "</codec>", "", "text: not valid XML (reader code 5)"},
        Mutation{kT1, "<rateCode>8<", "<rateCod>8<", "not valid XML"},
        Mutation{kT1, "<rateCode>8</rateCode>", "<rateCod>8</rateCod>", "rateCod: unknown field"},
        Mutation{kT1, "<rateCode>8</rateCode>", "<rateCode>8</rateCode><rateCode>8</rateCode>",
                 "rateCode: given more than once"},
        Mutation{kT1, "<syncThresholds>20 40</syncThresholds>", "", "syncThresholds: missing"},
        Mutation{kT1, "<rateCode>8<", "<rateCode>8x<", "rateCode: not a list of integers"},
        Mutation{kT1, "<rateCode>8<", "<rateCode>8 16<", "rateCode: expects exactly one integer"},
        Mutation{kT1, "<rateCode>8</rateCode>", "<rateCode>8</rateCode> stray",
                 "scheme: unexpected text between sections"},
        Mutation{kT1, "id=\"13\"", "id=\"300\"", "id: not a scheme id 0..255"},
        Mutation{kT1, "id=\"13\" name=\"VorselT\" shortName=\"VT\"", "name=\"Nothing\"",
                 "id: missing, and no known scheme name given"},
        Mutation{kT1, "<heartBeatCycle>5<", "<heartBeatCycle>6<", "heartBeatCycle: value out of range 0..5"},
        Mutation{kT1, "<counterBases>1900000 1860000 1680000 0 0<", "<counterBases>1 2<",
                 "counterBases: needs five values"},
        Mutation{kT1, "<decoderConfig>", "<decoderConfigs>", "not valid XML"},
        Mutation{kT1, "</decoderConfig>", "</decoderConfig><!-- never closed",
                 "text: a comment is not closed"}),
    [](const ::testing::TestParamInfo<Mutation>& info) {
      const auto& p = info.param;
      return tltest::indexedName(info.index, p.error);
    });

// Replaces the codec section of T5 (binary code, P = 2).
std::string withT5Codec(const std::string& codec) {
  std::string text = readFile(dataPath(kT5));
  const size_t from = text.find("<codec>");
  const size_t to = text.find("</codec>") + std::strlen("</codec>");
  text.replace(from, to - from, "<codec>" + codec + "</codec>");
  return text;
}

// The fractional tables of every test configuration, as read.
std::vector<float> fractionalFields(const SchemeConfig* list) {
  std::vector<float> out;
  for (const SchemeConfig* c = list; c; c = c->next) {
    if (c->unitScale) out.insert(out.end(), c->unitScale, c->unitScale + 2);
    out.insert(out.end(), c->levelTable, c->levelTable + kLevelTableSize);
    if (c->curveTable) out.insert(out.end(), c->curveTable, c->curveTable + c->curveTableLength);
  }
  return out;
}

// A host program that installs a comma-decimal locale still loads every
// configuration, with the same values.
TEST(SchemeConfigReader, EveryTestConfigurationReadsAlikeUnderACommaLocale) {
  for (const auto& entry : std::filesystem::directory_iterator(TL_TEST_DATA_DIR)) {
    if (entry.path().extension() != ".cfg") continue;
    const std::string path = entry.path().string();
    Loaded plain;
    plain.list = readSchemeConfig(path.c_str(), &plain.params);
    ASSERT_NE(plain.list, nullptr) << path << ": " << tembrolexinErrorText();
    tltest::CommaDecimalLocale locale;
    if (!locale.available()) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    Loaded comma;
    comma.list = readSchemeConfig(path.c_str(), &comma.params);
    ASSERT_NE(comma.list, nullptr) << path << ": " << tembrolexinErrorText();
    EXPECT_EQ(fractionalFields(comma.list), fractionalFields(plain.list)) << path;
  }
}

TEST(SchemeConfigReader, CodeWordsOfFewerThanTwoFramesOrTwentySoftSymbolsAreRefused) {
  const std::string common =
      "<errorLimit>0</errorLimit><invertParity>1</invertParity><constraintLength>2</constraintLength>"
      "<wrapLength>4</wrapLength><generators>0x3 0x3</generators><interleaverColumns>1</interleaverColumns>";
  MessageParams* params = nullptr;
  // C = 1 x 1 x 2 = 2 coded bits over P = 2 positions: one frame.
  std::string text = withT5Codec(common +
                                 "<bitsPerSymbol>1</bitsPerSymbol><infoSymbols>1</infoSymbols>"
                                 "<codeSymbols>1</codeSymbols><generatorRows>0x1</generatorRows>"
                                 "<interleaverRows>2</interleaverRows>");
  EXPECT_EQ(parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &params), nullptr);
  EXPECT_STREQ(tembrolexinErrorText(),
               "Scheme configuration: scheme 1 (id 5): codec: a code word spans 1 frames, at least 2 needed");
  // C = 4 x 2 = 8: four frames, but only 8 soft symbols.
  text = withT5Codec(common +
                     "<bitsPerSymbol>1</bitsPerSymbol><infoSymbols>2</infoSymbols>"
                     "<codeSymbols>4</codeSymbols><generatorRows>0x5 0xA</generatorRows>"
                     "<interleaverRows>8</interleaverRows>");
  EXPECT_EQ(parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &params), nullptr);
  EXPECT_STREQ(tembrolexinErrorText(),
               "Scheme configuration: scheme 1 (id 5): codec: fewer than 20 soft symbols per code word");
  EXPECT_EQ(params, nullptr);
}

TEST(SchemeConfigReader, InterleaverTableNeedsUniquePositionsBelowTheCodedLength) {
  auto withTable = [](const std::string& table) {
    std::string text = readFile(dataPath(kT1));
    const std::string from = "<interleaverRows>14</interleaverRows>\n      <interleaverColumns>10</interleaverColumns>";
    text.replace(text.find(from), from.size(),
                 "<interleaverRows>140</interleaverRows><interleaverColumns>1</interleaverColumns>"
                 "<interleaverTable>" + table + "</interleaverTable>");
    return text;
  };
  std::string reversed;
  for (int i = 139; i >= 0; --i) reversed += std::to_string(i) + " ";
  Loaded loaded;
  std::string text = withTable(reversed);
  loaded.list = parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << tembrolexinErrorText();
  ASSERT_NE(loaded.list->codec.interleaverTable, nullptr);
  EXPECT_EQ(loaded.list->codec.interleaverTable[0], 139);
  EXPECT_EQ(loaded.list->codec.interleaverTable[139], 0);

  MessageParams* params = nullptr;
  text = withTable("5 " + reversed.substr(reversed.find(' ') + 1));  // 139 replaced by a second 5
  EXPECT_EQ(parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &params), nullptr);
  EXPECT_STREQ(tembrolexinErrorText(),
               "Scheme configuration: scheme 1 (id 13): interleaverTable: entries must be unique");
  text = withTable("140 " + reversed.substr(reversed.find(' ') + 1));
  EXPECT_EQ(parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &params), nullptr);
  EXPECT_STREQ(tembrolexinErrorText(),
               "Scheme configuration: scheme 1 (id 13): interleaverTable: value out of range 0..139");
  text = withTable("0 1 2");
  EXPECT_EQ(parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &params), nullptr);
  EXPECT_STREQ(tembrolexinErrorText(),
               "Scheme configuration: scheme 1 (id 13): interleaverTable: 3 values where 140 are required");
}

TEST(SchemeConfigReader, IdIsAuthoritativeAndNamesDefaultFromTheTable) {
  std::string text = readFile(dataPath(kT1));
  text.replace(text.find("name=\"VorselT\" shortName=\"VT\""), 29, "name=\"VorselC\"");
  Loaded loaded;
  loaded.list = parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << tembrolexinErrorText();
  EXPECT_EQ(loaded.list->scheme, 13);
  EXPECT_STREQ(loaded.list->name, "VorselT");
  EXPECT_STREQ(loaded.list->shortName, "VT");
}

TEST(SchemeConfigReader, NameAloneSelectsTheIdAndKeepsItsSpelling) {
  std::string text = readFile(dataPath(kT1));
  text.replace(text.find("id=\"13\" name=\"VorselT\""), 22, "name=\"vorselt\"");
  Loaded loaded;
  loaded.list = parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << tembrolexinErrorText();
  EXPECT_EQ(loaded.list->scheme, 13);
  EXPECT_STREQ(loaded.list->name, "vorselt");
}

TEST(SchemeConfigReader, T1HoldsEveryFieldAsWritten) {
  Loaded loaded;
  loaded.list = readSchemeConfig(dataPath("scheme_t1_vt_aligned.cfg").c_str(), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << tembrolexinErrorText();
  const SchemeConfig* c = loaded.list;
  EXPECT_STREQ(c->name, "VorselT");
  EXPECT_EQ(c->symbolDuration, 1024);
  EXPECT_EQ(c->phaseCount, 16);
  EXPECT_EQ(c->comparisonDelay, 4);
  EXPECT_EQ(c->subBandBank, nullptr);
  const int32_t lags[] = {4, 12, 20, 28};
  const int32_t alignments[] = {0, 32, 64, 96};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(c->positionLags[i], lags[i]);
    EXPECT_EQ(c->positionAlignments[i], alignments[i]);
  }
  EXPECT_EQ(c->syncThresholds[0], 20);
  EXPECT_EQ(c->syncThresholds[1], 40);
  EXPECT_EQ(c->unitScale, nullptr);
  ASSERT_EQ(c->messageCurves.high.count, 2);
  EXPECT_EQ(c->messageCurves.high.points[1].x, 100);
  EXPECT_EQ(c->messageCurves.high.points[1].y, 30);
  ASSERT_EQ(c->curveTableLength, 4);
  EXPECT_FLOAT_EQ(c->curveTable[3], 1.5f);
  EXPECT_FLOAT_EQ(c->levelTable[10], 10.0f);
  const CodewordCodecParams& k = c->codec;
  EXPECT_EQ(k.errorLimit, 1);
  EXPECT_EQ(k.symbolOrder[1], 3);
  EXPECT_EQ(k.symbolOrder[13], 11);
  EXPECT_EQ(k.generatorRows, nullptr);
  EXPECT_EQ(k.checkColumns, nullptr);
  EXPECT_EQ(k.puncturedCount, 0);
  EXPECT_EQ(k.convBlockCount, 1);
  EXPECT_EQ(k.conv.constraintLength, 7);
  EXPECT_EQ(k.conv.wrapLength, 24);
  EXPECT_EQ(k.conv.generatorCount, 2);
  EXPECT_EQ(k.conv.generators[0], 0x79u);
  EXPECT_EQ(k.conv.generators[1], 0x5Bu);
  EXPECT_EQ(k.interleaverRows, 14);
  EXPECT_EQ(k.interleaverColumns, 10);
  EXPECT_EQ(k.interleaverTable, nullptr);
  EncodingSchemeInfo info;
  fillEncodingSchemeInfo(c, &info);
  EXPECT_EQ(info.codewordDuration, 35 * 1024 / 4);  // 8960 ms
  EXPECT_EQ(info.codewordOffset, (4 + 96) / 4);
}

TEST(SchemeConfigReader, BinaryCheckColumnsAreDerivedFromASystematicGenerator) {
  Loaded loaded;
  loaded.list = readSchemeConfig(dataPath("scheme_t5_vc_punctured.cfg").c_str(), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << tembrolexinErrorText();
  const CodewordCodecParams& k = loaded.list->codec;
  ASSERT_NE(k.checkColumns, nullptr);
  // Row 0 is 0x03000001: information bit 0 with parity bits 0 and 1.
  EXPECT_EQ(k.checkColumns[0], 0x3u);
  EXPECT_EQ(k.checkColumns[24], 0x1u);
  EXPECT_EQ(k.checkColumns[30], 0x40u);
  // Every code word has a zero syndrome.
  for (int32_t i = 0; i < k.infoSymbols; ++i) {
    uint64_t syndrome = 0;
    for (int32_t j = 0; j < k.codeSymbols; ++j) {
      if ((k.generatorRows[i] >> j) & 1) syndrome ^= k.checkColumns[j];
    }
    EXPECT_EQ(syndrome, 0u) << "row " << i;
  }
  ASSERT_EQ(k.puncturedCount, 2);
  EXPECT_EQ(k.puncturedPositions[0], 29);
  EXPECT_EQ(k.puncturedPositions[1], 30);
  EXPECT_EQ(k.conv.generators[0], 0x13u);
  EXPECT_EQ(k.conv.generators[1], 0x1Du);
}

TEST(SchemeConfigReader, TwoBandBankHalvesTheRateAndKeepsTheSigns) {
  Loaded loaded;
  loaded.list = readSchemeConfig(dataPath(kT2).c_str(), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << tembrolexinErrorText();
  const SubBandBank* bank = loaded.list->subBandBank;
  ASSERT_NE(bank, nullptr);
  EXPECT_EQ(bank->bandCount, 2);
  EXPECT_EQ(bank->signs[0], 1);
  EXPECT_EQ(bank->signs[1], -1);
  EXPECT_EQ(bank->rateCodes[0], 8);
  EXPECT_EQ(bank->rateCodes[1], 8);
  ASSERT_NE(bank->rateTables, nullptr);
  EXPECT_EQ(bank->rateTables[0], nullptr);
  EXPECT_EQ(schemeBandSign(loaded.list, 1), -1);
}

TEST(SchemeConfigReader, MixedRateTextKeepsTheOrderOfItsSchemes) {
  Loaded loaded;
  loaded.list = readSchemeConfig(dataPath("scheme_mixed_8k_16k.cfg").c_str(), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << tembrolexinErrorText();
  ASSERT_EQ(schemeConfigCount(loaded.list), 2);
  EXPECT_EQ(schemeConfigAt(loaded.list, 0)->rateCode, 8);
  EXPECT_EQ(schemeConfigAt(loaded.list, 1)->rateCode, 16);
  EXPECT_EQ(schemeConfigAt(loaded.list, 2), nullptr);
}

TEST(SchemeConfigReader, MessageParamsDefaultWhenAbsent) {
  std::string text = readFile(dataPath(kT1));
  const size_t from = text.find("<messageParams>");
  const size_t to = text.find("</messageParams>") + std::strlen("</messageParams>");
  text.erase(from, to - from);
  Loaded loaded;
  loaded.list = parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << tembrolexinErrorText();
  EXPECT_EQ(loaded.params->heartBeatCycle, 5u);
  EXPECT_EQ(loaded.params->counterBase[kPeriodDay], 1900000);
  EXPECT_EQ(loaded.params->counterBase[kPeriodYear], 0);
}

TEST(SchemeConfigReader, CommentedOutFieldsAreNotRead) {
  std::string text = readFile(dataPath(kT1));
  text.replace(text.find("<rateCode>8</rateCode>"), 22,
               "<!-- <rateCode>16</rateCode> --><rateCode>8</rateCode>");
  Loaded loaded;
  loaded.list = parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << tembrolexinErrorText();
  EXPECT_EQ(loaded.list->rateCode, 8);
}

TEST(SchemeConfigReader, TokenIsTextOrFileName) {
  const std::string text = readFile(dataPath(kT1));
  Loaded fromText;
  fromText.list = readSchemeConfig(("  \n" + text).c_str(), &fromText.params);
  EXPECT_NE(fromText.list, nullptr) << tembrolexinErrorText();

  tltest::TempDir dir;
  MessageParams* params = nullptr;
  EXPECT_EQ(readSchemeConfig(dir.file("absent.cfg").c_str(), &params), nullptr);
  EXPECT_EQ(std::string(tembrolexinErrorText()),
            "Scheme configuration: cannot open file " + dir.file("absent.cfg"));

  const std::string big = dir.file("big.cfg");
  {
    std::ofstream out(big, std::ios::binary);
    out << text << std::string(kMaxSchemeConfigFileSize, ' ');
  }
  EXPECT_EQ(readSchemeConfig(big.c_str(), &params), nullptr);
  EXPECT_NE(std::string(tembrolexinErrorText()).find("is larger than 1048576 bytes"), std::string::npos);
  EXPECT_EQ(params, nullptr);
}

TEST(SchemeConfigReader, ByteOrderMarkIsSkipped) {
  const std::string text = "\xEF\xBB\xBF" + readFile(dataPath(kT1));
  Loaded loaded;
  loaded.list = parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &loaded.params);
  EXPECT_NE(loaded.list, nullptr) << tembrolexinErrorText();
}

TEST(SchemeConfigReader, TextWithAZeroByteOrNothingIsRefused) {
  MessageParams* params = nullptr;
  const char withZero[] = "<decoderConfig>\0</decoderConfig>";
  EXPECT_EQ(parseSchemeConfigText(withZero, sizeof withZero - 1, &params), nullptr);
  EXPECT_STREQ(tembrolexinErrorText(), "Scheme configuration: text: contains a zero byte");
  EXPECT_EQ(parseSchemeConfigText("<decoderConfig></decoderConfig>", 31, &params), nullptr);
  EXPECT_STREQ(tembrolexinErrorText(), "Scheme configuration: scheme: no scheme configured");
  EXPECT_EQ(parseSchemeConfigText("", 0, &params), nullptr);
  EXPECT_EQ(readSchemeConfig(nullptr, &params), nullptr);
}

}  // namespace
}  // namespace tembrolexinsdk
