#include "core/decoder/front_end.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/decoder/text_utils.h"
#include "tests/core/decoder/param_names.h"

namespace tembrolexinsdk {
namespace {

struct MeterDeleter {
  void operator()(LevelMeter* m) const { levelMeterFree(m); }
};
struct PreFilterDeleter {
  void operator()(PreFilter* f) const { preFilterFree(f); }
};
struct HolderDeleter {
  void operator()(SampleHolder* h) const { sampleHolderFree(h); }
};
struct BankDeleter {
  void operator()(SubBandBank* b) const { subBandBankFree(b); }
};
using MeterPtr = std::unique_ptr<LevelMeter, MeterDeleter>;
using PreFilterPtr = std::unique_ptr<PreFilter, PreFilterDeleter>;
using HolderPtr = std::unique_ptr<SampleHolder, HolderDeleter>;
using BankPtr = std::unique_ptr<SubBandBank, BankDeleter>;

// A bank as the configuration reader leaves it: malloc'ed, with signs.
BankPtr makeBank(int32_t bands) {
  auto* bank = static_cast<SubBandBank*>(calloc(1, sizeof(SubBandBank)));
  bank->bandCount = bands;
  if (bands > 0) {
    bank->signs = static_cast<int32_t*>(calloc(bands, sizeof(int32_t)));
    for (int32_t b = 0; b < bands; ++b) bank->signs[b] = b % 2 ? -1 : 1;
  }
  return BankPtr(bank);
}

// Feeds `seconds` of a square wave of amplitude `amp` (mean square amp²) in
// blocks of 777 samples, so every window straddles block boundaries.
void feedSecond(LevelMeter* m, int16_t amp, int32_t rateCode) {
  std::vector<int16_t> second(rateCode * 1000);
  for (size_t i = 0; i < second.size(); ++i) {
    second[i] = static_cast<int16_t>(i % 2 ? -amp : amp);
  }
  for (size_t at = 0; at < second.size(); at += 777) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(777, second.size() - at));
    levelMeterProcess(m, second.data() + at, n);
  }
}

PerformanceData reportOf(const LevelMeter* m, int16_t signal, int16_t msg95) {
  PerformanceData d;
  performanceDataReset(&d);
  d.currentSignalStrength = signal;
  d.msgSignalStrength95pc = msg95;
  levelMeterReport(m, &d);
  return d;
}

// ---------------------------------------------------------------------------
// Level meter.

// Hand values: 10·log10 of the mean square, truncated: 200² → 46.02 → 46,
// silence → 0, 3000² → 69.54 → 69, 20² → 26.02 → 26. The smoothed level
// steps by (L >> 2) − (cur >> 2): 0 → 11 → 9 → 24 → 24.
TEST(LevelMeterTest, WindowsAcrossBlocksHistoryAndSmoothing) {
  MeterPtr m(levelMeterCreate(8, 3000));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->windowLength, 8000);
  EXPECT_EQ(m->historyLength, 3);

  feedSecond(m.get(), 200, 8);
  EXPECT_EQ(m->levelSum, 46);
  EXPECT_EQ(m->currentLevel, 11);
  feedSecond(m.get(), 0, 8);  // a silent second records 0 dB
  EXPECT_EQ(m->levelSum, 46);
  EXPECT_EQ(m->currentLevel, 9);
  EXPECT_EQ(CircularBufferShortAt(&m->history, 0), 0);
  feedSecond(m.get(), 3000, 8);
  EXPECT_EQ(m->levelSum, 115);
  EXPECT_EQ(m->currentLevel, 24);
  feedSecond(m.get(), 20, 8);  // the 46 leaves the 3-slot history
  EXPECT_EQ(m->levelSum, 95);
  EXPECT_EQ(m->currentLevel, 24);

  PerformanceData d = reportOf(m.get(), 7, -1);
  EXPECT_EQ(d.currentVolume, 24);
  EXPECT_EQ(d.meanVolume, 31);  // 95 / 3
  EXPECT_EQ(d.msgVolume, -1);
  d = reportOf(m.get(), -1, 12);
  EXPECT_EQ(d.currentVolume, -1);
  EXPECT_EQ(d.meanVolume, -1);
  EXPECT_EQ(d.msgVolume, 31);
}

TEST(LevelMeterTest, PartialWindowWaitsForTheRest) {
  MeterPtr m(levelMeterCreate(16, 1000));
  std::vector<int16_t> x(15999, 200);
  levelMeterProcess(m.get(), x.data(), 15999);
  EXPECT_EQ(m->levelSum, 0);
  EXPECT_EQ(m->samplesLeft, 1);
  levelMeterProcess(m.get(), x.data(), 0);  // nothing
  levelMeterProcess(m.get(), x.data(), -5);
  EXPECT_EQ(m->samplesLeft, 1);
  levelMeterProcess(m.get(), x.data(), 1);
  EXPECT_EQ(m->levelSum, 46);
  EXPECT_EQ(m->samplesLeft, 16000);
}

// The most negative sample squared is 2^30: 10·log10(2^30) = 90.3 → 90.
TEST(LevelMeterTest, FullScaleNegativeInput) {
  MeterPtr m(levelMeterCreate(22, 2000));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->windowLength, 22000);
  std::vector<int16_t> x(22000, -32768);
  levelMeterProcess(m.get(), x.data(), 22000);
  EXPECT_EQ(m->levelSum, 90);
  EXPECT_EQ(CircularBufferShortAt(&m->history, 0), 90);
}

TEST(LevelMeterTest, CreationLimits) {
  EXPECT_EQ(levelMeterCreate(16, 999), nullptr);  // no history slot
  EXPECT_EQ(levelMeterCreate(16, 0), nullptr);
  EXPECT_EQ(levelMeterCreate(0, 5000), nullptr);
  EXPECT_EQ(levelMeterCreate(-8, 5000), nullptr);
  MeterPtr m(levelMeterCreate(44, 4999));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->windowLength, 44000);
  EXPECT_EQ(m->historyLength, 4);
  levelMeterFree(nullptr);
  levelMeterProcess(nullptr, nullptr, 3);
  levelMeterReport(nullptr, nullptr);
}

// ---------------------------------------------------------------------------
// Pre-filter.

struct PreFilterCase {
  int32_t rateCode;
  int32_t longFlag;
  std::vector<int16_t> impulseResponse;  // of an impulse of 4
};

class PreFilterChoiceTest : public ::testing::TestWithParam<PreFilterCase> {};

TEST_P(PreFilterChoiceTest, ImpulseGivesCoefficientsInOrder) {
  const PreFilterCase& c = GetParam();
  PreFilterPtr f(preFilterCreate(c.rateCode, c.longFlag));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->shift, 2);
  std::vector<int16_t> x(c.impulseResponse.size() + 2, 0);
  x[0] = 4;
  EXPECT_EQ(preFilterProcess(f.get(), x.data(), static_cast<int32_t>(x.size())),
            f.get());
  std::vector<int16_t> want = c.impulseResponse;
  want.push_back(0);
  want.push_back(0);
  EXPECT_EQ(x, want);
}

INSTANTIATE_TEST_SUITE_P(
    Choice, PreFilterChoiceTest,
    ::testing::Values(PreFilterCase{16, 1, {1, 1, -1, -2, -1, 1, 1}},
                      PreFilterCase{16, 0, {1, -2, 1}},
                      PreFilterCase{8, 1, {1, -2, 1}},
                      PreFilterCase{32, 1, {1, -2, 1}},
                      PreFilterCase{44, 0, {1, -2, 1}}),
    [](const ::testing::TestParamInfo<PreFilterCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"rate", p.rateCode}, {"long", p.longFlag}});
    });

TEST(PreFilterTest, DcSettlesToZeroAfterTwoSamples) {
  PreFilterPtr f(preFilterCreate(8, 0));
  std::vector<int16_t> x(6, 1000);
  preFilterProcess(f.get(), x.data(), 6);
  EXPECT_EQ(x, (std::vector<int16_t>{250, -250, 0, 0, 0, 0}));
}

TEST(PreFilterTest, ArithmeticShiftAndWrapWithoutSaturation) {
  PreFilterPtr f(preFilterCreate(8, 0));
  int16_t one[1] = {-1};
  preFilterProcess(f.get(), one, 1);
  EXPECT_EQ(one[0], -1);  // -1 >> 2 = -1 (arithmetic)

  // Long filter at its worst case: sum 262140, >> 2 = 65535, low 16 bits -1.
  PreFilterPtr g(preFilterCreate(16, 1));
  std::vector<int16_t> x = {32767, 32767, -32768, -32768, -32768, 32767, 32767};
  preFilterProcess(g.get(), x.data(), 7);
  EXPECT_EQ(x[6], -1);
}

TEST(PreFilterTest, StateCarriesAcrossBlocksAndEmptyBlocksChangeNothing) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> dist(-32768, 32767);
  std::vector<int16_t> x(101);
  for (auto& v : x) v = static_cast<int16_t>(dist(rng));
  std::vector<int16_t> whole = x;
  PreFilterPtr a(preFilterCreate(16, 1));
  preFilterProcess(a.get(), whole.data(), 101);
  PreFilterPtr b(preFilterCreate(16, 1));
  std::vector<int16_t> split = x;
  int32_t at = 0;
  for (int32_t n : {1, 0, 6, 13, 0, 81}) {
    preFilterProcess(b.get(), split.data() + at, n);
    at += n;
  }
  EXPECT_EQ(split, whole);
  EXPECT_EQ(preFilterProcess(nullptr, x.data(), 3), nullptr);
  preFilterFree(nullptr);
}

// ---------------------------------------------------------------------------
// Frame cutter.

TEST(FrameCutterTest, TwoBandGroupsCarryTheOddSample) {
  HolderPtr h(sampleHolderCreate(2));
  int16_t block1[5] = {1, 2, 3, 4, 5};
  int16_t* in = block1;
  int32_t remaining = 5, out = -1;
  int16_t* frame = cutFrame(h.get(), &in, &remaining, &out);
  EXPECT_EQ(frame, block1);
  EXPECT_EQ(out, 4);
  EXPECT_EQ(remaining, 0);
  EXPECT_EQ(in, block1 + 5);
  EXPECT_EQ(h->fill, 1);

  int16_t block2[3] = {6, 7, 8};
  in = block2;
  remaining = 3;
  frame = cutFrame(h.get(), &in, &remaining, &out);
  ASSERT_EQ(frame, h->samples);
  EXPECT_EQ(out, 2);
  EXPECT_EQ(frame[0], 5);  // last of the previous block leads the pair
  EXPECT_EQ(frame[1], 6);
  EXPECT_EQ(remaining, 2);
  frame = cutFrame(h.get(), &in, &remaining, &out);
  EXPECT_EQ(frame, block2 + 1);
  EXPECT_EQ(out, 2);
  EXPECT_EQ(remaining, 0);
  EXPECT_EQ(h->fill, 0);
}

TEST(FrameCutterTest, SingleSampleWaitsForItsPartner) {
  HolderPtr h(sampleHolderCreate(2));
  int16_t a[1] = {9};
  int16_t* in = a;
  int32_t remaining = 1, out = -1;
  EXPECT_EQ(cutFrame(h.get(), &in, &remaining, &out), nullptr);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(remaining, 0);
  EXPECT_EQ(h->fill, 1);
  int16_t b[1] = {10};
  in = b;
  remaining = 1;
  EXPECT_EQ(cutFrame(h.get(), &in, &remaining, &out), h->samples);
  EXPECT_EQ(out, 2);
}

TEST(FrameCutterTest, OneBandBlockIsOneFrame) {
  HolderPtr h(sampleHolderCreate(1));
  int16_t a[7] = {};
  int16_t* in = a;
  int32_t remaining = 7, out = 0;
  EXPECT_EQ(cutFrame(h.get(), &in, &remaining, &out), a);
  EXPECT_EQ(out, 7);
  EXPECT_EQ(remaining, 0);
  EXPECT_EQ(sampleHolderCreate(0), nullptr);
  EXPECT_EQ(cutFrame(h.get(), &in, &remaining, &out), nullptr);  // nothing left
  EXPECT_EQ(out, 0);
  sampleHolderFree(nullptr);
}

// ---------------------------------------------------------------------------
// Band tables and filters.

struct BandTableCase {
  int32_t rateCode, taps, lowSum;
};

class BandTableTest : public ::testing::TestWithParam<BandTableCase> {};

TEST_P(BandTableTest, LowPassSymmetricWithPublishedSumAndHighIsComplement) {
  const BandTableCase& c = GetParam();
  int32_t taps = 0, highTaps = 0;
  const int16_t* low = bandLowPassTable(c.rateCode, &taps);
  const int16_t* high = bandHighPassTable(c.rateCode, &highTaps);
  ASSERT_NE(low, nullptr);
  ASSERT_NE(high, nullptr);
  ASSERT_EQ(taps, c.taps);
  ASSERT_EQ(highTaps, c.taps);
  const int32_t centre = (taps - 1) / 2;
  for (int32_t k = 0; k < taps; ++k) {
    EXPECT_EQ(low[k], low[taps - 1 - k]) << k;
    EXPECT_EQ(high[k], k == centre ? 256 - low[k] : -low[k]) << k;
  }
  EXPECT_EQ(std::accumulate(low, low + taps, 0), c.lowSum);
  EXPECT_EQ(std::accumulate(high, high + taps, 0), 256 - c.lowSum);
}

INSTANTIATE_TEST_SUITE_P(Rates, BandTableTest,
                         ::testing::Values(BandTableCase{16, 27, 258},
                                           BandTableCase{32, 53, 254},
                                           BandTableCase{44, 73, 254},
                                           BandTableCase{48, 79, 253}),
    [](const ::testing::TestParamInfo<BandTableCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"rate", p.rateCode}});
    });

TEST(BandTableTest, PublishedCentresAndHalfBandZeros) {
  int32_t taps = 0;
  const int16_t* t27 = bandLowPassTable(16, &taps);
  EXPECT_EQ(t27[13], 128);
  EXPECT_EQ(t27[12], 81);
  for (int k = 1; k < 13; k += 2) EXPECT_EQ(t27[k], 0) << k;  // half-band
  EXPECT_EQ(bandLowPassTable(22, &taps), nullptr);
  EXPECT_EQ(taps, 0);
  EXPECT_EQ(bandLowPassTable(48, nullptr)[39], 43);
  EXPECT_EQ(bandLowPassTable(44, nullptr)[36], 46);
  EXPECT_EQ(bandLowPassTable(32, nullptr)[26], 64);
}

class BandFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bank_ = makeBank(2);
    ASSERT_EQ(subBandBankInit(bank_.get(), 16), 1);
  }
  void TearDown() override {
    bandFilterClear(&low_);
    bandFilterClear(&high_);
  }
  BankPtr bank_;
  BandFilter low_{};
  BandFilter high_{};
};

TEST_F(BandFilterTest, RateSelectionAndGroupDelay) {
  bandFilterInit(&low_, bank_->rateTables[0]);
  EXPECT_EQ(low_.tapCount, -1);
  EXPECT_EQ(low_.currentRate, 0);
  EXPECT_EQ(low_.ownsDelayLine, 1);
  EXPECT_EQ(bandFilterDelay(&low_), -1);
  EXPECT_EQ(bandFilterSetRate(&low_, 48, 2), 39);
  EXPECT_EQ(low_.tapCount, 79);
  EXPECT_EQ(low_.delayLine.count, 79);
  EXPECT_EQ(bandFilterSetRate(&low_, 48, 2), 39);  // same rate: at once
  EXPECT_EQ(bandFilterSetRate(&low_, 16, 2), 13);
  EXPECT_EQ(low_.delayLine.count, 27);
  EXPECT_EQ(bandFilterSetRate(&low_, 8, 2), -1);  // not in the table
  EXPECT_EQ(low_.coefficients, nullptr);
  EXPECT_EQ(bandFilterDelay(&low_), -1);

  bandFilterInit(&high_, bank_->rateTables[1]);
  bandFilterSetOwnsDelayLine(&high_, 0);
  EXPECT_EQ(bandFilterSetRate(&high_, 44, 2), 36);
  EXPECT_EQ(high_.delayLine.base, nullptr);  // a non-owner has no line
}

TEST_F(BandFilterTest, SharedDelayLineReusedOnlyWhenLargeEnough) {
  CircularBuffer* small = CircularBufferShortCreate2(nullptr, 20);
  CircularBuffer* big = CircularBufferShortCreate2(nullptr, 80);
  bandFilterInit(&low_, bank_->rateTables[0]);
  bandFilterSetSharedDelayLine(&low_, small);
  EXPECT_EQ(bandFilterSetRate(&low_, 16, 2), -1);  // 27 taps > 20 slots
  bandFilterSetSharedDelayLine(&low_, big);
  EXPECT_EQ(bandFilterSetRate(&low_, 32, 2), 26);
  EXPECT_EQ(low_.delayLine.base, big->base);
  EXPECT_EQ(low_.delayLine.ownsStorage, 0);
  bandFilterClear(&low_);  // must not free the shared storage
  EXPECT_EQ(low_.tapCount, -1);
  EXPECT_EQ(low_.rateTable, nullptr);
  EXPECT_EQ(low_.sharedDelayLine, nullptr);
  CircularBufferShortDelete(small);
  CircularBufferShortDelete(big);
}

TEST_F(BandFilterTest, NullTableKnowsNoRate) {
  bandFilterInit(&low_, nullptr);
  EXPECT_EQ(bandFilterSetRate(&low_, 16, 2), -1);
}

// Oracle: each output pair j is the plain convolution of the whole input at
// sample 2j + 1 (zeros before the start), shifted by 8 and wrapped to 16 bits.
std::vector<int16_t> splitOracle(const std::vector<int16_t>& x, const int16_t* lo,
                                 const int16_t* hi, int32_t taps) {
  std::vector<int16_t> y;
  for (size_t n = 1; n < x.size(); n += 2) {
    int32_t sl = 0, sh = 0;
    for (int32_t k = 0; k < taps && static_cast<int64_t>(n) - k >= 0; ++k) {
      sl += lo[k] * x[n - k];
      sh += hi[k] * x[n - k];
    }
    y.push_back(static_cast<int16_t>(sl >> 8));
    y.push_back(static_cast<int16_t>(sh >> 8));
  }
  return y;
}

class BandSplitOracleTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(BandSplitOracleTest, MatchesConvolutionThroughFrameCutterWithOddBlocks) {
  const int32_t rate = GetParam();
  BankPtr bank = makeBank(2);
  ASSERT_EQ(subBandBankInit(bank.get(), rate), 1);
  BandFilter lo{}, hi{};
  bandFilterInit(&lo, bank->rateTables[0]);
  bandFilterInit(&hi, bank->rateTables[1]);
  bandFilterSetOwnsDelayLine(&lo, 1);
  bandFilterSetOwnsDelayLine(&hi, 0);
  const int32_t delay = bandFilterSetRate(&lo, rate, 2);
  ASSERT_GT(delay, 0);
  ASSERT_EQ(bandFilterSetRate(&hi, rate, 2), delay);

  std::mt19937 rng(rate);
  std::uniform_int_distribution<int> dist(-32768, 32767);
  std::vector<int16_t> x(1001);
  for (auto& v : x) v = static_cast<int16_t>(dist(rng));

  HolderPtr holder(sampleHolderCreate(2));
  std::vector<int16_t> got;
  std::vector<int16_t> stream = x;
  size_t at = 0;
  std::uniform_int_distribution<int> len(0, 37);
  while (at < stream.size()) {
    int32_t n = std::min<int32_t>(len(rng) | 1, static_cast<int32_t>(stream.size() - at));
    int16_t* in = stream.data() + at;
    int32_t remaining = n;
    while (remaining > 0) {
      int32_t count = 0;
      int16_t* frame = cutFrame(holder.get(), &in, &remaining, &count);
      if (frame == nullptr) continue;
      ASSERT_EQ(count % 2, 0);
      bandSplit(&lo, &hi, frame, count);
      got.insert(got.end(), frame, frame + count);
    }
    at += n;
  }
  EXPECT_EQ(got, splitOracle(x, lo.coefficients, hi.coefficients, lo.tapCount));
  bandFilterClear(&lo);
  bandFilterClear(&hi);
}

INSTANTIATE_TEST_SUITE_P(Rates, BandSplitOracleTest, ::testing::Values(16, 32, 44),
    [](const ::testing::TestParamInfo<int32_t>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"rate", p}});
    });

TEST(BandSplitTest, OddCountPushesLastSampleWithoutOutput) {
  BankPtr bank = makeBank(2);
  ASSERT_EQ(subBandBankInit(bank.get(), 16), 1);
  BandFilter lo{}, hi{};
  bandFilterInit(&lo, bank->rateTables[0]);
  bandFilterInit(&hi, bank->rateTables[1]);
  bandFilterSetOwnsDelayLine(&hi, 0);
  bandFilterSetRate(&lo, 16, 2);
  bandFilterSetRate(&hi, 16, 2);
  int16_t a[3] = {0, 0, 256};
  EXPECT_EQ(bandSplit(&lo, &hi, a, 3), &lo);
  EXPECT_EQ(a[2], 256);  // untouched, but in the delay line
  EXPECT_EQ(CircularBufferShortAt(&lo.delayLine, 0), 256);
  // Next pair (0, 0): the 256 sits at k = 2, so low = low[2] = -3.
  int16_t b[2] = {0, 0};
  bandSplit(&lo, &hi, b, 2);
  EXPECT_EQ(b[0], -3);
  EXPECT_EQ(b[1], 3);
  bandFilterClear(&lo);
  bandFilterClear(&hi);
}

// ---------------------------------------------------------------------------
// Sub-band bank.

struct BankRateCase {
  int32_t channelRate, bandRate;
};

class SubBandBankRateTest : public ::testing::TestWithParam<BankRateCase> {};

TEST_P(SubBandBankRateTest, TwoBandsGetHalfRateAndFourEntryLists) {
  const BankRateCase& c = GetParam();
  BankPtr bank = makeBank(2);
  ASSERT_EQ(subBandBankInit(bank.get(), c.channelRate), 1);
  EXPECT_EQ(bank->rateCodes[0], c.bandRate);
  EXPECT_EQ(bank->rateCodes[1], c.bandRate);
  EXPECT_EQ(bank->signs[1], -1);  // the configured signs stay
  ASSERT_NE(bank->rateTables, nullptr);
  const int32_t rates[] = {16, 32, 44, 48, 0};
  const int32_t taps[] = {27, 53, 73, 79, 0};
  for (int b = 0; b < 2; ++b) {
    for (int e = 0; e < 5; ++e) {
      EXPECT_EQ(bank->rateTables[b][e].rateCode, rates[e]);
      EXPECT_EQ(bank->rateTables[b][e].tapCount, taps[e]);
    }
  }
  EXPECT_EQ(bank->rateTables[0][0].coefficients[13], 128);
  EXPECT_EQ(bank->rateTables[1][0].coefficients[13], 128);
  EXPECT_EQ(bank->rateTables[1][0].coefficients[12], -81);
}

INSTANTIATE_TEST_SUITE_P(Rates, SubBandBankRateTest,
                         ::testing::Values(BankRateCase{16, 8}, BankRateCase{32, 16},
                                           BankRateCase{44, 22}),
    [](const ::testing::TestParamInfo<BankRateCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"rate", p.channelRate}});
    });

TEST(SubBandBankTest, UnsupportedRateAndBandCountFailWithErrorText) {
  for (int32_t rate : {8, 22, 48}) {
    BankPtr bank = makeBank(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(subBandBankInit(bank.get(), rate), 0) << rate;
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR, unsupported sample rate\n");
    EXPECT_STREQ(tembrolexinErrorText(), "ERROR, unsupported sample rate");
  }
  for (int32_t bands : {0, 3}) {
    BankPtr bank = makeBank(bands);
    testing::internal::CaptureStdout();
    EXPECT_EQ(subBandBankInit(bank.get(), 16), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error, frequency banding only implemented at 2 bands currently\n");
    EXPECT_STREQ(tembrolexinErrorText(),
                 "Error, frequency banding only implemented at 2 bands currently");
  }
  BankPtr one = makeBank(1);
  testing::internal::CaptureStdout();
  subBandBankBuildTables(one.get());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error, frequency banding only implemented at 2 bands currently\n");
  EXPECT_EQ(one->rateTables, nullptr);
}

TEST(SubBandBankTest, OneBandTakesChannelRateAndPlusSign) {
  BankPtr bank = makeBank(1);
  bank->signs[0] = -1;
  ASSERT_EQ(subBandBankInit(bank.get(), 48), 1);
  EXPECT_EQ(bank->rateCodes[0], 48);
  EXPECT_EQ(bank->signs[0], 1);
  subBandBankFree(nullptr);
}

TEST(SubBandBankTest, RebuildingTablesDoesNotLeak) {
  BankPtr bank = makeBank(2);
  ASSERT_EQ(subBandBankInit(bank.get(), 16), 1);
  subBandBankBuildTables(bank.get());  // ASan would flag a lost list
  ASSERT_EQ(subBandBankInit(bank.get(), 32), 1);
  EXPECT_EQ(bank->rateCodes[0], 16);
}

}  // namespace
}  // namespace tembrolexinsdk
