#include "core/decoder/scheme_config.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/decoder/encoding_schemes.h"
#include "core/decoder/scheme_config_reader.h"
#include "core/decoder/text_utils.h"
#include "tests/core/decoder/param_names.h"

namespace tembrolexinsdk {
namespace {

TEST(EncodingSchemes, NamesById) {
  const char* longName = nullptr;
  const char* shortName = nullptr;
  getEncodingSchemeNames(13, &longName, &shortName);
  EXPECT_STREQ(longName, "VorselT");
  EXPECT_STREQ(shortName, "VT");
  getEncodingSchemeNames(14, &longName, &shortName);
  EXPECT_STREQ(longName, "ConsumerDB");
  EXPECT_STREQ(shortName, "CDB");
  for (int32_t id : {4, 6, 7, 8, 12, 17, 19, -1}) {
    getEncodingSchemeNames(id, &longName, &shortName);
    EXPECT_STREQ(longName, "???") << id;
    EXPECT_STREQ(shortName, "?") << id;
  }
  getEncodingSchemeNames(5, nullptr, &shortName);
  EXPECT_STREQ(shortName, "VC");
}

struct NameCase {
  const char* name;
  int32_t id;
};

class SchemeByName : public ::testing::TestWithParam<NameCase> {};

TEST_P(SchemeByName, LooksUpLongThenShortNamesIgnoringCase) {
  EXPECT_EQ(getEncodingScheme(GetParam().name), GetParam().id) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, SchemeByName,
    ::testing::Values(NameCase{"vorselt", 13}, NameCase{"VTW", 18}, NameCase{"vtw", 18},
                      NameCase{"CH4", 10}, NameCase{"ConsumerH8", 15}, NameCase{"cs1", 11},
                      NameCase{"VC", 5}, NameCase{"cdb", 14}, NameCase{"nothing", -1},
                      NameCase{"???", -1}, NameCase{"?", -1}, NameCase{"", -1},
                      NameCase{nullptr, -1}),
    [](const ::testing::TestParamInfo<NameCase>& info) {
      const auto& p = info.param;
      return tltest::indexedName(info.index, p.name);
    });

TEST(EncodingSchemes, PredicatesAndFamilies) {
  for (int32_t id = 0; id < 25; ++id) {
    const bool partial = id == 13 || id == 15 || id == 16 || id == 18;
    EXPECT_EQ(isPartialCodewordScheme(id), partial ? 1 : 0) << id;
    EXPECT_EQ(isCodewordSequenceScheme(id), id == 15 ? 1 : 0) << id;
  }
  EXPECT_EQ(schemesDiffer(10, 15), 0);
  EXPECT_EQ(schemesDiffer(13, 11), 1);
  EXPECT_EQ(schemesDiffer(6, 6), 0);
  EXPECT_EQ(schemesDiffer(6, 5), 1);
  EXPECT_EQ(schemesDiffer(5, 18), 0);
  EXPECT_EQ(schemesDiffer(11, 16), 0);
  EXPECT_EQ(schemesDiffer(9, 14), 0);
  EXPECT_EQ(schemesDiffer(99, 99), 0);
  EXPECT_EQ(schemesDiffer(99, 98), 1);
  EXPECT_EQ(schemesDiffer(12, 9), 1);
}

struct SamplesCase {
  int32_t q, rate, samples;
};

class QuarterMs : public ::testing::TestWithParam<SamplesCase> {};

TEST_P(QuarterMs, ConvertsWithTruncation) {
  const SamplesCase& c = GetParam();
  EXPECT_EQ(quarterMsToSamples(c.q, c.rate), c.samples) << c.q << " at " << c.rate;
}

INSTANTIATE_TEST_SUITE_P(Rates, QuarterMs,
                         ::testing::Values(SamplesCase{40, 44, 441}, SamplesCase{1, 44, 11},
                                           SamplesCase{40, 22, 221}, SamplesCase{1, 22, 6},
                                           SamplesCase{1024, 8, 2048}, SamplesCase{512, 16, 2048},
                                           SamplesCase{3, 8, 6}, SamplesCase{1, 16, 4},
                                           SamplesCase{5, 48, 60}, SamplesCase{INT32_MAX, 48, INT32_MAX}),
    [](const ::testing::TestParamInfo<SamplesCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"q", p.q}, {"rate", p.rate}});
    });

TEST(SchemeConfig, RateCodesToHertz) {
  EXPECT_EQ(rateCodeToHertz(22), 22050);
  EXPECT_EQ(rateCodeToHertz(44), 44100);
  EXPECT_EQ(rateCodeToHertz(16), 16000);
}

struct List {
  SchemeConfig* list = nullptr;
  MessageParams* params = nullptr;
  explicit List(const char* file) {
    list = readSchemeConfig((std::string(TL_TEST_DATA_DIR) + "/" + file).c_str(), &params);
  }
  ~List() {
    freeSchemeConfigList(list);
    freeMessageParams(params);
  }
};

TEST(UnitConversion, ScaleAndOffsetExampleRoundTrips) {
  List t3("scheme_t3_ch8.cfg");
  ASSERT_NE(t3.list, nullptr) << tembrolexinErrorText();
  SchemeConfig* c = t3.list;
  ASSERT_NE(c->unitScale, nullptr);
  EXPECT_FLOAT_EQ(c->unitScale[0], 0.5f);
  EXPECT_FLOAT_EQ(c->unitScale[1], -10.0f);
  c->syncThresholds[0] = 20;
  c->syncThresholds[1] = 25;
  ASSERT_EQ(convertSchemeConfigUnits(c, 2), 1);
  EXPECT_EQ(c->unitForm, 2);
  EXPECT_EQ(c->syncThresholds[0], 60);   // 20 / 0.5 + 10 / 0.5
  EXPECT_EQ(c->syncThresholds[1], 70);
  EXPECT_EQ(c->messageCurves.high.points[0].y, 140);  // 60 -> 140
  EXPECT_EQ(c->signalCurves.low.points[1].y, 40);     // 10 -> 40
  EXPECT_EQ(c->messageCurves.high.points[1].x, 100);  // x is not a strength
  ASSERT_EQ(convertSchemeConfigUnits(c, 2), 1);       // second time: nothing changes
  EXPECT_EQ(c->syncThresholds[0], 60);
  ASSERT_EQ(convertSchemeConfigUnits(c, 1), 1);
  EXPECT_EQ(c->unitForm, 1);
  EXPECT_EQ(c->syncThresholds[0], 20);
  EXPECT_EQ(c->messageCurves.high.points[0].y, 60);
  EXPECT_EQ(convertSchemeConfigUnits(c, 3), 0);
}

TEST(UnitConversion, WithoutScaleOnlyTheFormChanges) {
  List mixed("scheme_mixed_8k_16k.cfg");
  ASSERT_NE(mixed.list, nullptr) << tembrolexinErrorText();
  ASSERT_EQ(convertSchemeConfigUnits(mixed.list, 2), 1);
  for (SchemeConfig* c = mixed.list; c; c = c->next) {
    EXPECT_EQ(c->unitForm, 2);
    EXPECT_EQ(c->syncThresholds[0], 20);
    EXPECT_EQ(c->syncThresholds[1], 40);
  }
  EXPECT_EQ(convertSchemeConfigUnits(nullptr, 2), 1);
}

TEST(UnitConversion, NearZeroScaleIsRefusedAndResultsAreClamped) {
  List t3("scheme_t3_ch8.cfg");
  ASSERT_NE(t3.list, nullptr) << tembrolexinErrorText();
  SchemeConfig* c = t3.list;
  const float scale = c->unitScale[0];
  c->unitScale[0] = 0.000001f;
  c->syncThresholds[0] = 7;
  EXPECT_EQ(convertSchemeConfigUnits(c, 2), 0);
  EXPECT_EQ(c->unitForm, 1);
  EXPECT_EQ(c->syncThresholds[0], 7);
  EXPECT_EQ(isNearZero(0.000009f), 1);
  EXPECT_EQ(isNearZero(-0.000009f), 1);
  EXPECT_EQ(isNearZero(0.00001f), 0);
  c->unitScale[0] = 0.00002f;
  c->unitScale[1] = 0.0f;
  c->syncThresholds[0] = -100000;
  c->syncThresholds[1] = 100000;
  EXPECT_EQ(convertSchemeConfigUnits(c, 2), 1);
  EXPECT_EQ(c->syncThresholds[0], INT32_MIN);
  EXPECT_EQ(c->syncThresholds[1], INT32_MAX);
  c->unitScale[0] = scale;
}

TEST(SchemeTables, ScaleTurnsBothTablesIntoRoundedIntegers) {
  List t1("scheme_t1_vt.cfg");
  ASSERT_NE(t1.list, nullptr) << tembrolexinErrorText();
  SchemeConfig* c = t1.list;
  c->curveTable[1] = -0.5f;
  scaleSchemeTimes(c, 3);
  EXPECT_EQ(schemeTableInt(c->curveTable, 0), 0);
  EXPECT_EQ(schemeTableInt(c->curveTable, 1), -1);  // floor(-1.5 + 0.5)
  EXPECT_EQ(schemeTableInt(c->curveTable, 2), 3);
  EXPECT_EQ(schemeTableInt(c->curveTable, 3), 5);   // floor(4.5 + 0.5)
  EXPECT_EQ(schemeTableInt(c->levelTable, 10), 30);
  scaleSchemeTimes(nullptr, 3);
}

TEST(SchemeTables, InterpolationKeepsOldEntriesAndFollowsCatmullRom) {
  List t1("scheme_t1_vt.cfg");
  ASSERT_NE(t1.list, nullptr) << tembrolexinErrorText();
  SchemeConfig* c = t1.list;
  // A linear table stays linear with the extrapolated end points.
  c->curveTable[0] = 0.0f;
  c->curveTable[1] = 1.0f;
  c->curveTable[2] = 2.0f;
  c->curveTableLength = 3;
  ASSERT_EQ(interpolateSchemeTable(c, 4), 1);
  ASSERT_EQ(c->curveTableLength, 9);
  EXPECT_EQ(c->curveTableOwned, 1);
  for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(c->curveTable[i], i * 0.25f) << i;
  // {0, 1, 4} refined by 2: the midpoints by hand are 0.375 and 2.375.
  c->curveTable[0] = 0.0f;
  c->curveTable[4] = 1.0f;
  c->curveTable[8] = 4.0f;
  float table[3] = {0.0f, 1.0f, 4.0f};
  std::memcpy(c->curveTable, table, sizeof table);
  c->curveTableLength = 3;
  ASSERT_EQ(interpolateSchemeTable(c, 2), 1);
  ASSERT_EQ(c->curveTableLength, 5);
  EXPECT_FLOAT_EQ(c->curveTable[0], 0.0f);
  EXPECT_FLOAT_EQ(c->curveTable[1], 0.375f);
  EXPECT_FLOAT_EQ(c->curveTable[2], 1.0f);
  EXPECT_FLOAT_EQ(c->curveTable[3], 2.375f);
  EXPECT_FLOAT_EQ(c->curveTable[4], 4.0f);
  ASSERT_EQ(interpolateSchemeTable(c, 1), 1);  // a copy
  EXPECT_EQ(c->curveTableLength, 5);
  EXPECT_FLOAT_EQ(c->curveTable[3], 2.375f);
  ASSERT_EQ(interpolateSchemeTable(c, 0), 1);  // nothing happens
  EXPECT_EQ(c->curveTableLength, 5);
  c->curveTableLength = 1;
  ASSERT_EQ(interpolateSchemeTable(c, 8), 1);
  EXPECT_EQ(c->curveTableLength, 1);
  EXPECT_FLOAT_EQ(c->curveTable[0], 0.0f);
}

TEST(SchemeTables, RootTakesTheBandCountthRoot) {
  List t2("scheme_t2_vtw.cfg");
  ASSERT_NE(t2.list, nullptr) << tembrolexinErrorText();
  rootSchemeTable(t2.list);
  EXPECT_FLOAT_EQ(t2.list->levelTable[4], 2.0f);
  EXPECT_FLOAT_EQ(t2.list->levelTable[9], 3.0f);
  List t1("scheme_t1_vt.cfg");
  rootSchemeTable(t1.list);
  EXPECT_FLOAT_EQ(t1.list->levelTable[9], 9.0f);
}

TEST(SchemeConfig, DerivedValuesAndInfo) {
  List t5("scheme_t5_vc.cfg");
  ASSERT_NE(t5.list, nullptr) << tembrolexinErrorText();
  EXPECT_EQ(schemeCodedLength(t5.list), 62);
  EXPECT_EQ(schemeFramesPerCodeword(t5.list), 31);
  EncodingSchemeInfo info;
  fillEncodingSchemeInfo(t5.list, &info);
  EXPECT_EQ(info.scheme, 5);
  EXPECT_STREQ(info.name, "VorselC");
  EXPECT_STREQ(info.shortName, "VC");
  EXPECT_EQ(info.codewordDuration, 31 * 1024 / 4);
  EXPECT_EQ(info.codewordOffset, 1);  // (4 + 0) / 4
  List t2("scheme_t2_vtw.cfg");
  ASSERT_NE(t2.list, nullptr);
  EXPECT_EQ(schemeFramesPerCodeword(t2.list), 20);  // 160 / (2 x 4)
  EXPECT_EQ(schemeBandRate(t2.list, 0), 8);
  EXPECT_EQ(schemeBandRate(t5.list, 0), 8);
  EXPECT_EQ(schemeBandSign(t5.list, 0), 1);
  EXPECT_EQ(schemeBandCount(nullptr), 0);
  EXPECT_EQ(schemeConfigCount(nullptr), 0);
  EXPECT_EQ(schemeConfigAt(t5.list, -1), nullptr);
  freeSchemeConfigList(nullptr);
  freeMessageParams(nullptr);
}

}  // namespace
}  // namespace tembrolexinsdk
