#include "core/decoder/scheme_config_reader.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/decoder/text_utils.h"
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
  EXPECT_EQ(loaded.params->heartBeatCycle, 5u);
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
                      ConfigCase{"scheme_ch4_plain.cfg", 1, 10, "CH4", 16, 2, 5, 8, 16, 20, 0}));

}  // namespace
}  // namespace tembrolexinsdk
