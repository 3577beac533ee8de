#include "core/decoder/rate_conversion.h"
#include "tests/core/decoder/param_names.h"
#include "tests/core/decoder/per_sample_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

namespace tembrolexinsdk {
namespace {

struct FilterDeleter {
  void operator()(ResamplingFilter* f) const { resamplingFilterClose(f); }
};
using FilterPtr = std::unique_ptr<ResamplingFilter, FilterDeleter>;

FilterPtr fixedFilter(int32_t ratio, const int16_t* table, int32_t taps) {
  return FilterPtr(resamplingFilterInit(1, 1, &ratio, table, taps));
}

// ---------------------------------------------------------------------------
// Integer-ratio (Q8) tables.

struct IntegerTableCase {
  int32_t from, to;
  int32_t taps;
  int32_t sum;
  int16_t first, centre;  // first tap; tap at (taps - 1) / 2
};

class IntegerTableTest : public ::testing::TestWithParam<IntegerTableCase> {};

TEST_P(IntegerTableTest, SymmetricWithPublishedLengthSumAndCentre) {
  const IntegerTableCase& c = GetParam();
  int32_t taps = -1;
  const int16_t* t = getFilterCoefficients(c.from, c.to, &taps);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(taps, c.taps);
  for (int32_t k = 0; k < taps; ++k) EXPECT_EQ(t[k], t[taps - 1 - k]) << k;
  EXPECT_EQ(std::accumulate(t, t + taps, 0), c.sum);
  EXPECT_EQ(t[0], c.first);
  EXPECT_EQ(t[(taps - 1) / 2], c.centre);
}

// Sums from the published halves: 2 × (half without centre) + centre for odd
// lengths, 2 × half for even ones.
INSTANTIATE_TEST_SUITE_P(
    Tables, IntegerTableTest,
    ::testing::Values(IntegerTableCase{16, 8, 37, 238, -1, 122},
                      IntegerTableCase{24, 8, 54, 236, -1, 78},
                      IntegerTableCase{32, 8, 72, 236, -1, 59},
                      IntegerTableCase{48, 8, 107, 241, -1, 41},
                      IntegerTableCase{8, 24, 60, 716, 1, 233},
                      IntegerTableCase{16000, 8000, 37, 238, -1, 122},
                      IntegerTableCase{44100, 22050, 37, 238, -1, 122}),
    [](const ::testing::TestParamInfo<IntegerTableCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"from", p.from}, {"to", p.to}});
    });

TEST(IntegerTableTest, PairsWithoutTableGiveNullAndZeroTaps) {
  const int32_t pairs[][2] = {{15, 3}, {5, 1}, {8, 8}, {16, 3}, {8, 16},
                              {8, 32}, {0, 8}, {8, 0}, {-16, 8}, {16, -8}};
  for (const auto& p : pairs) {
    int32_t taps = 99;
    EXPECT_EQ(getFilterCoefficients(p[0], p[1], &taps), nullptr)
        << p[0] << "->" << p[1];
    EXPECT_EQ(taps, 0);
  }
  EXPECT_EQ(getFilterCoefficients(15, 3, nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Band-pass tables.

struct BandPassCase {
  int32_t from, to, taps;
  bool integer;
  int32_t ratio;  // integer mode
  float fractional;
};

class BandPassTest : public ::testing::TestWithParam<BandPassCase> {};

TEST_P(BandPassTest, KnownPairBuildsFilterOfPublishedShape) {
  const BandPassCase& c = GetParam();
  FilterPtr f(DecoderBandPassInit(c.from, c.to));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->tapCount, c.taps);
  ASSERT_NE(f->floatCoefficients, nullptr);
  EXPECT_EQ(f->fixedCoefficients, nullptr);
  EXPECT_EQ(f->integerRatio, c.integer ? 1 : 0);
  if (c.integer) {
    EXPECT_EQ(f->ratio, c.ratio);
  } else {
    EXPECT_FLOAT_EQ(f->fractionalRatio, c.fractional);
  }
  const float* t = f->floatCoefficients;
  for (int32_t k = 0; k < c.taps; ++k) EXPECT_EQ(t[k], t[c.taps - 1 - k]) << k;
  const double sum = std::accumulate(t, t + c.taps, 0.0);
  if (c.taps == 2) {
    EXPECT_EQ(t[0], 0.5f);
  } else {
    EXPECT_GE(sum, -0.03);
    EXPECT_LE(sum, 0.014);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, BandPassTest,
    ::testing::Values(BandPassCase{8000, 8000, 31, true, 1, 0},
                      BandPassCase{16000, 8000, 65, true, 2, 0},
                      BandPassCase{22050, 8000, 89, false, 0, 2.75625f},
                      BandPassCase{24000, 8000, 97, true, 3, 0},
                      BandPassCase{32000, 8000, 127, true, 4, 0},
                      BandPassCase{44100, 8000, 175, false, 0, 5.5125f},
                      BandPassCase{48000, 8000, 192, true, 6, 0},
                      BandPassCase{16000, 16000, 65, true, 1, 0},
                      BandPassCase{22050, 16000, 89, false, 0, 1.378125f},
                      BandPassCase{24000, 16000, 97, false, 0, 1.5f},
                      BandPassCase{32000, 16000, 127, true, 2, 0},
                      BandPassCase{44100, 16000, 175, false, 0, 2.75625f},
                      BandPassCase{48000, 16000, 191, true, 3, 0},
                      BandPassCase{44100, 22050, 2, true, 2, 0}),
    [](const ::testing::TestParamInfo<BandPassCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"from", p.from}, {"to", p.to}});
    });

TEST(BandPassTest, SameRateTablesKeepPublishedCentreTaps) {
  FilterPtr f8(DecoderBandPassInit(8000, 8000));
  ASSERT_NE(f8, nullptr);
  EXPECT_EQ(f8->floatCoefficients[14], -0.163391f);
  EXPECT_EQ(f8->floatCoefficients[15], 0.827591f);
  EXPECT_EQ(f8->floatCoefficients[16], -0.163391f);
  FilterPtr f16(DecoderBandPassInit(16000, 16000));
  ASSERT_NE(f16, nullptr);
  EXPECT_EQ(f16->floatCoefficients[32], 0.917905f);
}

TEST(BandPassTest, UnknownPairsAreRefused) {
  const int32_t pairs[][2] = {{22050, 22050}, {0, 8000},     {8000, 0},
                              {44100, 11025}, {48000, 44100}, {8000, 16000},
                              {-8000, 8000},  {96000, 16000}};
  for (const auto& p : pairs) {
    EXPECT_EQ(DecoderBandPassInit(p[0], p[1]), nullptr) << p[0] << "->" << p[1];
  }
}

TEST(BandPassTest, FixedPointOnlyFor48000To8000) {
  FilterPtr f(DecoderBandPassInitFixedPoint(48000, 8000));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->tapCount, 101);
  ASSERT_NE(f->fixedCoefficients, nullptr);
  EXPECT_EQ(f->ratio, 6);
  const int16_t* t = f->fixedCoefficients;
  for (int k = 0; k < 101; ++k) EXPECT_EQ(t[k], t[100 - k]) << k;
  EXPECT_EQ(std::accumulate(t, t + 101, 0), 0);
  EXPECT_EQ(DecoderBandPassInitFixedPoint(48000, 16000), nullptr);
  EXPECT_EQ(DecoderBandPassInitFixedPoint(16000, 8000), nullptr);
}

TEST(BandPassTest, IPhoneDoorAcceptsOnly16000To8000) {
  FilterPtr f(DecoderBandPassInit_iPhone(16000, 8000));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->tapCount, 65);
  EXPECT_EQ(f->ratio, 2);
  EXPECT_EQ(DecoderBandPassInit_iPhone(8000, 8000), nullptr);
  EXPECT_EQ(DecoderBandPassInit_iPhone(44100, 8000), nullptr);
}

// The band-pass passes a tone inside the code band and rejects a hum below
// it (44 100 Hz -> 8000 Hz, the resampler's commonest path).
TEST(BandPassTest, PassesCodeBandAndRejectsLowHum) {
  auto rmsOut = [](double hz) {
    FilterPtr f(DecoderBandPassInit(44100, 8000));
    std::vector<int16_t> x(44100);
    for (size_t n = 0; n < x.size(); ++n) {
      x[n] = static_cast<int16_t>(10000.0 * std::sin(2 * M_PI * hz * n / 44100));
    }
    const int32_t out = DecoderBandPassProcess(f.get(), x.data(), 44100);
    double e = 0;
    for (int32_t n = 1000; n < out; ++n) e += double(x[n]) * x[n];
    return std::sqrt(e / (out - 1000));
  };
  EXPECT_GT(rmsOut(2000.0), 0.8 * 10000 / std::sqrt(2.0));
  EXPECT_LT(rmsOut(60.0), 0.02 * 10000 / std::sqrt(2.0));
}

// ---------------------------------------------------------------------------
// Creation.

TEST(ResamplingFilterInitTest, RefusesBadArguments) {
  const int16_t table[4] = {64, 64, 64, 64};
  const int32_t two = 2, zero = 0, upFive = -5;
  const float minusOne = -1.0f, nan = NAN;
  EXPECT_EQ(resamplingFilterInit(1, 1, &two, nullptr, 4), nullptr);
  EXPECT_EQ(resamplingFilterInit(1, 1, nullptr, table, 4), nullptr);
  EXPECT_EQ(resamplingFilterInit(1, 1, &two, table, 0), nullptr);
  EXPECT_EQ(resamplingFilterInit(1, 1, &zero, table, 4), nullptr);
  EXPECT_EQ(resamplingFilterInit(1, 1, &upFive, table, 4), nullptr);
  EXPECT_EQ(resamplingFilterInit(0, 1, &minusOne, table, 4), nullptr);
  EXPECT_EQ(resamplingFilterInit(0, 1, &nan, table, 4), nullptr);
  resamplingFilterClose(nullptr);
  DecoderBandPassClose(nullptr);
}

// ---------------------------------------------------------------------------
// Decimation.

TEST(DecimationTest, ByTwoCountsAndPhaseAcrossBlocks) {
  // c[0] weighs the oldest sample: the output is the sample two back.
  const int16_t oldest[3] = {256, 0, 0};
  FilterPtr f = fixedFilter(2, oldest, 3);
  int16_t a[5] = {10, 20, 30, 40, 50};
  ASSERT_EQ(resamplingFilterProcess(f.get(), a, 5), 2);
  EXPECT_EQ(a[0], 0);   // history 0, 10, 20
  EXPECT_EQ(a[1], 20);  // history 20, 30, 40
  int16_t b[1] = {60};
  ASSERT_EQ(resamplingFilterProcess(f.get(), b, 1), 1);  // phase carried
  EXPECT_EQ(b[0], 40);
  int16_t c[1] = {70};
  EXPECT_EQ(resamplingFilterProcess(f.get(), c, 1), 0);
}

TEST(DecimationTest, NewestSampleTakesLastCoefficient) {
  const int16_t newest[3] = {0, 0, 256};
  FilterPtr f = fixedFilter(2, newest, 3);
  int16_t a[4] = {10, 20, 30, 40};
  ASSERT_EQ(resamplingFilterProcess(f.get(), a, 4), 2);
  EXPECT_EQ(a[0], 20);
  EXPECT_EQ(a[1], 40);
}

TEST(DecimationTest, FixedPointTruncatesTowardZeroAndClamps) {
  const int16_t unit[1] = {1};
  FilterPtr f = fixedFilter(1, unit, 1);
  int16_t a[3] = {-300, 300, -255};
  ASSERT_EQ(resamplingFilterProcess(f.get(), a, 3), 3);
  EXPECT_EQ(a[0], -1);  // -300 / 256 = -1.17 -> -1, not -2
  EXPECT_EQ(a[1], 1);
  EXPECT_EQ(a[2], 0);
  const int16_t gain4[1] = {1024};
  FilterPtr g = fixedFilter(1, gain4, 1);
  int16_t b[2] = {30000, -30000};
  ASSERT_EQ(resamplingFilterProcess(g.get(), b, 2), 2);
  EXPECT_EQ(b[0], 32767);
  EXPECT_EQ(b[1], -32768);
}

TEST(DecimationTest, FloatTruncatesTowardZeroAndClamps) {
  const float half[1] = {0.5f};
  const int32_t one = 1;
  FilterPtr f(resamplingFilterInit(1, 0, &one, half, 1));
  int16_t a[2] = {-3, 3};
  ASSERT_EQ(resamplingFilterProcess(f.get(), a, 2), 2);
  EXPECT_EQ(a[0], -1);
  EXPECT_EQ(a[1], 1);
  const float four[1] = {4.0f};
  FilterPtr g(resamplingFilterInit(1, 0, &one, four, 1));
  int16_t b[2] = {30000, -30000};
  ASSERT_EQ(resamplingFilterProcess(g.get(), b, 2), 2);
  EXPECT_EQ(b[0], 32767);
  EXPECT_EQ(b[1], -32768);
}

// A one-tap filter with the 22050 -> 8000 ratio picks the input at each
// instant the phase passes 2.75625: phases 3, 6, 9, 12, 14, 17, 20 (counted
// by hand from 1.0 steps with the remainder kept), also across blocks.
TEST(DecimationTest, FractionalPhaseCarriesAcrossBlocks) {
  const float unit[1] = {1.0f};
  const float ratio = 22050.0f / 8000.0f;
  for (int split : {20, 7, 1, 13}) {
    FilterPtr f(resamplingFilterInit(0, 0, &ratio, unit, 1));
    std::vector<int16_t> x(20);
    std::iota(x.begin(), x.end(), 1);
    std::vector<int16_t> out;
    for (int start = 0; start < 20; start += split) {
      const int n = std::min(split, 20 - start);
      const int32_t got = resamplingFilterProcess(f.get(), x.data() + start, n);
      out.insert(out.end(), x.begin() + start, x.begin() + start + got);
    }
    EXPECT_EQ(out, (std::vector<int16_t>{3, 6, 9, 12, 14, 17, 20})) << split;
  }
}

TEST(DecimationTest, From44100To8000GivesEightThousandPerSecond) {
  FilterPtr f(DecoderBandPassInit(44100, 8000));
  ASSERT_NE(f, nullptr);
  std::vector<int16_t> block(1000);
  int64_t inputs = 0, outputs = 0;
  uint32_t seed = 1;
  for (int second = 1; second <= 5; ++second) {
    while (inputs < 44100 * second) {
      seed = seed * 1103515245u + 12345u;
      const int32_t n = static_cast<int32_t>(
          std::min<int64_t>(1 + (seed >> 16) % 1000, 44100 * second - inputs));
      outputs += resamplingFilterProcess(f.get(), block.data(), n);
      inputs += n;
    }
    EXPECT_NEAR(outputs, 8000 * second, 1) << second;
  }
}

// The 2:1 table has a gain of 238/256 at 0 Hz: a steady 1000 comes out as
// 1000 × 238 / 256 = 929.69, truncated to 929, once the history is full.
TEST(DecimationTest, IntegerTableGainAtZeroHertz) {
  int32_t taps = 0;
  const int16_t* t = getFilterCoefficients(16, 8, &taps);
  FilterPtr f = fixedFilter(2, t, taps);
  std::vector<int16_t> x(200, 1000);
  ASSERT_EQ(resamplingFilterProcess(f.get(), x.data(), 200), 100);
  EXPECT_EQ(x[99], 929);
  EXPECT_EQ(x[19], 929);  // output 20 follows input 40, history full
}

TEST(DecimationTest, EdgeCounts) {
  const int16_t unit[1] = {256};
  FilterPtr f = fixedFilter(1, unit, 1);
  int16_t a[1] = {5};
  EXPECT_EQ(resamplingFilterProcess(f.get(), a, 0), 0);
  EXPECT_EQ(resamplingFilterProcess(f.get(), a, -3), 0);
  EXPECT_EQ(resamplingFilterProcess(nullptr, a, 1), 0);
  EXPECT_EQ(resamplingFilterProcessBounded(f.get(), a, 2, 1), -1);
  // A record without a table hands the count back untouched.
  ResamplingFilter bare{};
  EXPECT_EQ(resamplingFilterProcess(&bare, a, 1), 1);
  EXPECT_EQ(a[0], 5);
}

// ---------------------------------------------------------------------------
// Interpolation.

// u = 3 over a 6-tap table c = 256 × {1..6}: the history holds 2 samples and
// y_p = h_old · c[2 − p] + h_new · c[5 − p].
TEST(InterpolationTest, ByThreeInPlaceWithHandValues) {
  const int16_t c[6] = {256, 512, 768, 1024, 1280, 1536};
  FilterPtr f = fixedFilter(-3, c, 6);
  std::vector<int16_t> buf(30, 0);
  for (int i = 0; i < 10; ++i) buf[i] = static_cast<int16_t>(10 * (i + 1));
  ASSERT_EQ(resamplingFilterProcess(f.get(), buf.data(), 10), 30);
  const std::vector<int16_t> first(buf.begin(), buf.begin() + 9);
  EXPECT_EQ(first, (std::vector<int16_t>{60, 50, 40,       // 0, 10
                                         150, 120, 90,     // 10, 20
                                         240, 190, 140}));  // 20, 30
  // Last input 100 with 90 before it.
  EXPECT_EQ(buf[27], 90 * 3 + 100 * 6);
  EXPECT_EQ(buf[28], 90 * 2 + 100 * 5);
  EXPECT_EQ(buf[29], 90 * 1 + 100 * 4);
}

TEST(InterpolationTest, NeverWritesPastCapacity) {
  const int16_t c[6] = {256, 512, 768, 1024, 1280, 1536};
  FilterPtr f = fixedFilter(-3, c, 6);
  std::vector<int16_t> buf(31, 7);
  EXPECT_EQ(resamplingFilterProcessBounded(f.get(), buf.data(), 10, 29), -1);
  for (int16_t v : buf) EXPECT_EQ(v, 7);
  EXPECT_EQ(resamplingFilterProcessBounded(f.get(), buf.data(), 10, 30), 30);
  EXPECT_EQ(buf[30], 7);
}

TEST(InterpolationTest, PublishedTableKeepsDcLevel) {
  int32_t taps = 0;
  const int16_t* t = getFilterCoefficients(8, 24, &taps);
  ASSERT_EQ(taps, 60);
  FilterPtr f = fixedFilter(-3, t, taps);
  std::vector<int16_t> buf(300, 0);
  std::fill(buf.begin(), buf.begin() + 100, 1000);
  ASSERT_EQ(resamplingFilterProcess(f.get(), buf.data(), 100), 300);
  // Each phase sums every third tap: the three phase gains add up to 716.
  const int32_t s = buf[297] + buf[298] + buf[299];
  EXPECT_NEAR(s, 716 * 1000 / 256, 3);
}


// ---------------------------------------------------------------------------
// The block filter against the per-sample reference: every pair a resampler
// converts, the decoding core's own 16 -> 8 kHz converter and the remaining
// band-pass and interpolation set-ups, fed in blocks of several sizes, must
// give the reference's outputs bit for bit.

enum class Table { kInteger, kBandPass, kFixedBandPass, kFloatUp3, kFloatUp1, kFixedUp1 };

struct ExactCase {
  int32_t from, to;
  Table table;
  int32_t block;
};

// 60 float taps of mixed sign and size, for float interpolation set-ups that
// no front door builds.
const float* floatTestTaps() {
  static float taps[60];
  for (int k = 0; k < 60; ++k) taps[k] = 0.37f * std::sin(0.61f * k) + (k % 7) * 0.011f;
  return taps;
}

// The filter's arguments as the front doors derive them.
struct FilterArgs {
  int32_t integerRatio = 1;
  int32_t fixedPoint = 1;
  int32_t intRatio = 0;
  float fracRatio = 0.0f;
  const void* table = nullptr;
  int32_t taps = 0;
  const void* ratio() const {
    return integerRatio ? static_cast<const void*>(&intRatio) : static_cast<const void*>(&fracRatio);
  }
};

FilterArgs argsFor(const ExactCase& c) {
  FilterArgs a;
  switch (c.table) {
    case Table::kInteger: {
      const int16_t* t = getFilterCoefficients(c.from, c.to, &a.taps);
      a.table = t;
      a.intRatio = c.from > c.to ? c.from / c.to : -(c.to / c.from);
      break;
    }
    case Table::kBandPass:
      for (const BandPassTable* t = kBandPassTables; t->fromHz != 0; ++t) {
        if (t->fromHz != c.from || t->toHz != c.to) continue;
        a.fixedPoint = 0;
        a.table = t->coefficients;
        a.taps = t->tapCount;
        if (c.from % c.to == 0) {
          a.intRatio = c.from / c.to;
        } else {
          a.integerRatio = 0;
          a.fracRatio = static_cast<float>(c.from) / static_cast<float>(c.to);
        }
      }
      break;
    case Table::kFixedBandPass:
      a.table = kBandPassFixed48000To8000Table;
      a.taps = kBandPassFixed48000To8000TapCount;
      a.intRatio = 6;
      break;
    case Table::kFloatUp3:
    case Table::kFloatUp1:
      a.fixedPoint = 0;
      a.table = floatTestTaps();
      a.taps = 60;
      a.intRatio = c.table == Table::kFloatUp3 ? -3 : -1;
      break;
    case Table::kFixedUp1:
      a.table = getFilterCoefficients(16, 8, &a.taps);
      a.intRatio = -1;
      break;
  }
  return a;
}

// Tones near full scale under noise, with clipped stretches, so that sums
// reach the clamps and every tap matters.
std::vector<int16_t> testSignal(size_t n) {
  std::vector<int16_t> x(n);
  uint32_t seed = 12345;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = static_cast<double>(static_cast<int32_t>(seed >> 16) - 32768) * 0.3;
    double v = 21000.0 * std::sin(0.0071 * i + 0.000002 * i * i) + noise;
    if ((i / 3000) % 5 == 4) v = (i % 97 < 48) ? 40000.0 : -40000.0;
    x[i] = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, v)));
  }
  return x;
}

class BlockFilterExactTest : public ::testing::TestWithParam<ExactCase> {};

TEST_P(BlockFilterExactTest, MatchesPerSampleReferenceBitForBit) {
  const ExactCase& c = GetParam();
  const FilterArgs a = argsFor(c);
  ASSERT_NE(a.table, nullptr);
  const int32_t u = a.integerRatio && a.intRatio < 0 ? -a.intRatio : 1;
  const std::vector<int16_t> input = testSignal(40000);

  tltest::PerSampleFilter reference(a.integerRatio, a.fixedPoint, a.ratio(), a.table, a.taps);
  ASSERT_TRUE(reference.valid());
  std::vector<int16_t> expected(input.size() * u);
  std::copy(input.begin(), input.end(), expected.begin());
  expected.resize(reference.process(expected.data(), static_cast<int32_t>(input.size())));

  FilterPtr f(resamplingFilterInit(a.integerRatio, a.fixedPoint, a.ratio(), a.table, a.taps));
  ASSERT_NE(f, nullptr);
  std::vector<int16_t> got;
  std::vector<int16_t> block(static_cast<size_t>(c.block) * u);
  for (size_t at = 0; at < input.size(); at += c.block) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(c.block, input.size() - at));
    std::copy_n(input.begin() + static_cast<ptrdiff_t>(at), n, block.begin());
    const int32_t out = resamplingFilterProcess(f.get(), block.data(), n);
    got.insert(got.end(), block.begin(), block.begin() + out);
  }
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], expected[i]) << "output " << i;
}

std::vector<ExactCase> exactCases() {
  const struct {
    int32_t from, to;
    Table table;
  } setups[] = {
      // The resampler's pairs: Q8 tables for the integer ratios ...
      {48000, 24000, Table::kInteger}, {48000, 16000, Table::kInteger},
      {48000, 12000, Table::kInteger}, {48000, 8000, Table::kInteger},
      {44100, 22050, Table::kInteger}, {44100, 11025, Table::kInteger},
      {32000, 16000, Table::kInteger}, {32000, 8000, Table::kInteger},
      {24000, 12000, Table::kInteger}, {24000, 8000, Table::kInteger},
      {22050, 11025, Table::kInteger}, {16000, 8000, Table::kInteger},
      {8000, 24000, Table::kInteger},
      // ... and band-pass filters for the others (the decoding core's
      // 16 -> 8 kHz converter is the Q8 pair above).
      {44100, 8000, Table::kBandPass}, {44100, 16000, Table::kBandPass},
      // Every other band-pass table: integer and fractional ratios, the
      // same-rate filters and the two-tap one.
      {8000, 8000, Table::kBandPass}, {16000, 8000, Table::kBandPass},
      {22050, 8000, Table::kBandPass}, {24000, 8000, Table::kBandPass},
      {32000, 8000, Table::kBandPass}, {48000, 8000, Table::kBandPass},
      {16000, 16000, Table::kBandPass}, {22050, 16000, Table::kBandPass},
      {24000, 16000, Table::kBandPass}, {32000, 16000, Table::kBandPass},
      {48000, 16000, Table::kBandPass}, {44100, 22050, Table::kBandPass},
      {48000, 8000, Table::kFixedBandPass},
      // Interpolation with float taps, and by 1 with either kind.
      {8000, 24000, Table::kFloatUp3}, {8000, 8000, Table::kFloatUp1},
      {16000, 16000, Table::kFixedUp1},
  };
  std::vector<ExactCase> cases;
  for (const auto& s : setups) {
    for (int32_t block : {1, 7, 160, 6144}) cases.push_back({s.from, s.to, s.table, block});
  }
  return cases;
}

const char* tableName(Table t) {
  switch (t) {
    case Table::kInteger: return "q8";
    case Table::kBandPass: return "bandpass";
    case Table::kFixedBandPass: return "q8bandpass";
    case Table::kFloatUp3: return "floatup";
    case Table::kFloatUp1: return "floatone";
    case Table::kFixedUp1: return "q8one";
  }
  return "?";
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, BlockFilterExactTest, ::testing::ValuesIn(exactCases()),
    [](const ::testing::TestParamInfo<ExactCase>& info) {
      const auto& p = info.param;
      return std::string(tableName(p.table)) + "_" +
             tltest::paramName({{"from", p.from}, {"to", p.to}, {"block", p.block}});
    });

}  // namespace
}  // namespace tembrolexinsdk
