#include "core/decoder/matched_filter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/decoder/convolutional_code.h"
#include "tests/core/decoder/param_names.h"

namespace tembrolexinsdk {
namespace {

// A scheme record built by hand, owning its arrays through vectors.
struct TestScheme {
  std::vector<int32_t> lags;
  std::vector<int32_t> alignments;
  std::vector<int32_t> signs;
  std::vector<int32_t> bandRates;
  SubBandBank bank{};
  SchemeConfig config{};

  // rate code, S (quarter ms), N, form, lags, alignments, D, coded length C
  // (as bitsPerSymbol × 1 symbol × 1 generator).
  TestScheme(int32_t rate, int32_t symbol, int32_t phases, int32_t form,
             std::vector<int32_t> lagsQ, std::vector<int32_t> alignQ,
             int32_t delayQ, int32_t codedLength)
      : lags(std::move(lagsQ)), alignments(std::move(alignQ)) {
    config.rateCode = rate;
    config.symbolDuration = symbol;
    config.phaseCount = phases;
    config.unitForm = form;
    config.positionCount = static_cast<int32_t>(lags.size());
    config.positionLags = lags.data();
    config.positionAlignments = alignments.data();
    config.comparisonDelay = delayQ;
    config.codec.bitsPerSymbol = codedLength;
    config.codec.codeSymbols = 1;
    config.codec.conv.generatorCount = 1;
  }
  void twoBands(int32_t bandRate, int32_t sign0, int32_t sign1) {
    signs = {sign0, sign1};
    bandRates = {bandRate, bandRate};
    bank.bandCount = 2;
    bank.signs = signs.data();
    bank.rateCodes = bandRates.data();
    config.subBandBank = &bank;
  }
};

struct FilterDeleter {
  void operator()(MatchedFilter* f) const { matchedFilterFree(f); }
};
using FilterPtr = std::unique_ptr<MatchedFilter, FilterDeleter>;

// ---------------------------------------------------------------------------
// Durations.

struct SamplesCase {
  int32_t q, rate, samples;
};

class SamplesTest : public ::testing::TestWithParam<SamplesCase> {};

TEST_P(SamplesTest, QuarterMillisecondsToSamples) {
  const SamplesCase& c = GetParam();
  EXPECT_EQ(quarterMsToSamples(c.q, c.rate), c.samples);
}

// (441·40 + 20) / 40 = 441; (441·3 + 40) / 80 = 17; q·r / 4 otherwise.
INSTANTIATE_TEST_SUITE_P(
    RateCodes, SamplesTest,
    ::testing::Values(SamplesCase{40, 44, 441}, SamplesCase{3, 22, 17},
                      SamplesCase{41, 22, 226}, SamplesCase{1, 44, 11},
                      SamplesCase{40, 8, 80}, SamplesCase{40, 16, 160},
                      SamplesCase{40, 32, 320}, SamplesCase{40, 48, 480},
                      SamplesCase{3, 8, 6}, SamplesCase{1, 16, 4}),
    [](const ::testing::TestParamInfo<SamplesCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"q", p.q}, {"rate", p.rate}});
    });

TEST(MatchedFilterTest, StepLengthFollowsTheBandRate) {
  TestScheme s(44, 40, 9, 2, {4}, {0}, 4, 8);
  FilterPtr f(matchedFilterCreate(&s.config, 44));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->stepLength, 49);  // 441 / 9
  EXPECT_EQ(f->shift, 11);
  FilterPtr g(matchedFilterCreate(&s.config, 8));
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->stepLength, 8);  // 80 / 9
  EXPECT_EQ(g->shift, 10);
}

// ---------------------------------------------------------------------------
// Pulse.

struct PulseCase {
  int32_t rate, symbolQ, phases;
  std::vector<int16_t> pulse;
};

class PulseTest : public ::testing::TestWithParam<PulseCase> {};

// floor(sin(t · 3.14159 / H) · 128 + 0.5) at t = step/2, step/2 + step, ...
TEST_P(PulseTest, HalfSineGoldenValues) {
  const PulseCase& c = GetParam();
  TestScheme s(c.rate, c.symbolQ, c.phases, 2, {4}, {0}, 4, 8);
  FilterPtr f(matchedFilterCreate(&s.config, c.rate));
  ASSERT_NE(f, nullptr);
  std::vector<int16_t> pulse(f->pulse, f->pulse + f->pulseLength);
  EXPECT_EQ(pulse, c.pulse);
  EXPECT_EQ(f->stepValues[0].count, c.phases / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Symbols, PulseTest,
    ::testing::Values(
        // samples(40) at 8 kHz = 80: step 5, start 2, H 40.
        PulseCase{8, 40, 16, {20, 67, 104, 124, 126, 109, 75, 30}},
        // samples(256) at 16 kHz = 1024: step 64, start 32, H 512.
        PulseCase{16, 256, 16, {25, 71, 106, 126, 126, 106, 71, 25}}),
    [](const ::testing::TestParamInfo<PulseCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"rate", p.rate}, {"q", p.symbolQ}});
    });

TEST(PulseTest, FormZeroHasOneEntryPerSampleOfHalfASymbol) {
  TestScheme s(8, 40, 16, 0, {4}, {0}, 4, 8);
  FilterPtr f(matchedFilterCreate(&s.config, 8));
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->pulseLength, 40);
  EXPECT_EQ(f->pulse[0], 0);
  EXPECT_EQ(f->pulse[20], 128);  // sin(π/2)
  EXPECT_EQ(f->stepValues[0].count, 40);
}

// ---------------------------------------------------------------------------
// Echo delays and creation.

// Rate 8: D = 4 q → 8 samples, lags 4, 8, 12 q → 8, 16, 24; L = 32.
TEST(EchoDelayTest, DelaysFromTheInputRingLength) {
  TestScheme s(8, 40, 16, 2, {4, 8, 12}, {0, 0, 0}, 4, 8);
  EXPECT_EQ(matchedFilterInputLength(&s.config, 8), 32);
  const int32_t wantA[] = {24, 16, 8}, wantB[] = {16, 8, 0};
  for (int32_t i = 0; i < 3; ++i) {
    int32_t a = 0, b = 0;
    ASSERT_EQ(matchedFilterEchoDelays(&s.config, 8, i, &a, &b), 1);
    EXPECT_EQ(a, wantA[i]) << i;
    EXPECT_EQ(b, wantB[i]) << i;
  }
  int32_t a = 0, b = 0;
  EXPECT_EQ(matchedFilterEchoDelays(&s.config, 8, 3, &a, &b), 0);
  EXPECT_EQ(a, -1);
  EXPECT_EQ(b, -1);
  EXPECT_EQ(matchedFilterEchoDelays(&s.config, 8, -1, &a, &b), 0);
  EXPECT_EQ(matchedFilterEchoDelays(nullptr, 8, 0, &a, &b), 0);
  // A lag of 0 reaches the full ring length.
  TestScheme z(8, 40, 16, 2, {0, 12}, {0, 0}, 4, 8);
  ASSERT_EQ(matchedFilterEchoDelays(&z.config, 8, 0, &a, &b), 1);
  EXPECT_EQ(a, 32);
  EXPECT_EQ(b, 24);
  // Lags that are not ascending would need a delay below 0.
  TestScheme bad(8, 40, 16, 2, {12, 4}, {0, 0}, 4, 8);
  EXPECT_EQ(matchedFilterEchoDelays(&bad.config, 8, 0, &a, &b), 0);
  EXPECT_EQ(matchedFilterCreate(&bad.config, 8), nullptr);
}

TEST(MatchedFilterTest, CreationRefusesConfigurationsItCannotServe) {
  TestScheme noPositions(8, 40, 16, 2, {}, {}, 4, 8);
  EXPECT_EQ(matchedFilterCreate(&noPositions.config, 8), nullptr);
  TestScheme onePhase(8, 40, 1, 2, {4}, {0}, 4, 8);
  EXPECT_EQ(matchedFilterCreate(&onePhase.config, 8), nullptr);
  TestScheme shortStep(8, 2, 16, 2, {4}, {0}, 4, 8);  // 4 samples, 16 steps
  EXPECT_EQ(matchedFilterCreate(&shortStep.config, 8), nullptr);
  TestScheme noCode(8, 40, 16, 2, {4}, {0}, 4, 0);
  EXPECT_EQ(matchedFilterCreate(&noCode.config, 8), nullptr);
  TestScheme badForm(8, 40, 16, 3, {4}, {0}, 4, 8);
  EXPECT_EQ(matchedFilterCreate(&badForm.config, 8), nullptr);
  EXPECT_EQ(matchedFilterCreate(nullptr, 8), nullptr);
  matchedFilterFree(nullptr);
}

// align(i) = samples(alignments[P−1−i]) · N / samples(S); soft rings hold
// align(i) + N·F slots. Rate 8, S 40 q (80 samples), N 16, alignments 0, 10,
// 20 q (0, 20, 40 samples) → align 8, 4, 0; C = 7 over P = 3 → F = 3.
TEST(MatchedFilterTest, SoftSymbolRingLengthsAndResize) {
  TestScheme s(8, 40, 16, 2, {4, 8, 12}, {0, 10, 20}, 4, 7);
  FilterPtr f(matchedFilterCreate(&s.config, 8));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->framesPerCodeword, 3);
  EXPECT_EQ(f->align[0], 8);
  EXPECT_EQ(f->align[1], 4);
  EXPECT_EQ(f->align[2], 0);
  EXPECT_EQ(f->softSymbols[0].count, 56);
  EXPECT_EQ(f->softSymbols[2].count, 48);
  EXPECT_EQ(matchedFilterSoftSymbolLength(f.get()), 56);
  EXPECT_EQ(matchedFilterSoftSymbols(f.get(), 0), f->softSymbols);
  ASSERT_EQ(matchedFilterSoftSymbols(f.get(), 100), f->softSymbols);
  EXPECT_EQ(matchedFilterSoftSymbolLength(f.get()), 100);
  EXPECT_EQ(matchedFilterSoftSymbols(nullptr, 5), nullptr);
  EXPECT_EQ(matchedFilterSoftSymbolLength(nullptr), 0);
}

// ---------------------------------------------------------------------------
// Demodulation.

TEST(MatchedFilterTest, SilentBandGivesZeroSoftSymbols) {
  TestScheme s(8, 40, 16, 2, {4, 8}, {0, 0}, 4, 8);
  FilterPtr f(matchedFilterCreate(&s.config, 8));
  std::vector<int16_t> frame(800, 0);
  EXPECT_EQ(matchedFilterProcess(f.get(), frame.data(), 800, 0, 1), 160);
  for (int32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(f->energy[i], 0);
    for (int32_t k = 0; k < f->softSymbols[i].count; ++k) {
      EXPECT_EQ(CircularBufferCharAt(&f->softSymbols[i], k), 0);
    }
  }
}

// N = 16 and samples(S) = 80: a step every 5 samples. Frames of 12 band
// samples complete 2 (steps at 5, 10), 2 (at 3, 8) and 3 (at 1, 6, 11) steps.
TEST(MatchedFilterTest, StepTimingAcrossFramesAndBands) {
  TestScheme s(16, 20, 16, 2, {4}, {0}, 4, 8);  // 80 samples at 16 kHz
  s.twoBands(16, 1, 1);
  FilterPtr f(matchedFilterCreate(&s.config, 16));
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->stepLength, 5);
  const int32_t want[] = {2, 2, 3};
  const int32_t sinceStep[] = {2, 4, 1};
  for (int r = 0; r < 3; ++r) {
    std::vector<int16_t> frame(24, 555);  // 12 samples for each of 2 bands
    ASSERT_EQ(matchedFilterProcess(f.get(), frame.data(), 24, 1, 2), want[r]) << r;
    EXPECT_EQ(matchedFilterSamplesSinceStep(f.get()), sinceStep[r]) << r;
    for (int32_t j = 0; j < 24; ++j) {
      // Band 1's k-th step slot (1 + 2k) carries the detector value 0.
      const bool stepSlot = j % 2 == 1 && (j - 1) / 2 < want[r];
      EXPECT_EQ(frame[j], stepSlot ? 0 : 555) << r << " " << j;
    }
  }
  std::vector<int16_t> tiny(1, 0);
  EXPECT_EQ(matchedFilterProcess(f.get(), tiny.data(), 1, 1, 2), 0);  // band >= length
}

// Drives one position's correlation ring to a known r' and lets a silent
// step (energy 0, c = 0, r = 0) turn it into d = −r'.
int8_t softAfterSilentStep(TestScheme& s, int16_t previous, int32_t band) {
  FilterPtr f(matchedFilterCreate(&s.config, s.config.rateCode));
  EXPECT_NE(f, nullptr);
  for (int32_t k = 0; k < f->correlations[0].count; ++k) {
    CircularBufferShortPush(&f->correlations[0], previous);
  }
  const int32_t bands = s.config.subBandBank ? 2 : 1;
  std::vector<int16_t> frame(f->stepLength * bands, 0);
  EXPECT_EQ(matchedFilterProcess(f.get(), frame.data(),
                                 static_cast<int32_t>(frame.size()), band, bands),
            1);
  return CircularBufferCharAt(&f->softSymbols[0], 0);
}

struct ClampCase {
  int32_t form;
  int32_t sign;
  int16_t previous;
  int8_t soft;
};

class SoftSymbolClampTest : public ::testing::TestWithParam<ClampCase> {};

TEST_P(SoftSymbolClampTest, ChangeIsSignedHalvedInFormOneAndClamped) {
  const ClampCase& c = GetParam();
  TestScheme s(8, 40, 16, c.form, {4}, {0}, 4, 8);
  s.twoBands(8, 1, c.sign);
  EXPECT_EQ(softAfterSilentStep(s, c.previous, 1), c.soft);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, SoftSymbolClampTest,
    ::testing::Values(ClampCase{2, 1, -300, 127},   // +300 → 127
                      ClampCase{2, 1, 300, -128},   // −300 → −128
                      ClampCase{2, -1, -300, -128},  // negative band sign
                      ClampCase{2, -1, 300, 127},
                      ClampCase{2, 1, 100, -100},
                      ClampCase{2, -1, 100, 100},
                      ClampCase{1, 1, -300, 127},   // 150 → 127
                      ClampCase{1, 1, 100, -50},    // halved toward zero
                      ClampCase{1, 1, 3, -1},
                      ClampCase{1, -1, 3, 1},
                      ClampCase{0, 1, 100, -100}),
    [](const ::testing::TestParamInfo<ClampCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"form", p.form}, {"sign", p.sign}, {"previous", p.previous}});
    });

// P = 1, N = 4, F = 1, align 0: the window is 4 steps. Two steps of +127
// (from r' = −300) and two of 0; each step's detector value is minus the
// magnitude of the symbol 3 steps before the newest, which leaves.
TEST(MatchedFilterTest, LeavingSymbolIsReadOneCodeWordBack) {
  TestScheme s(8, 8, 4, 2, {4}, {0}, 4, 1);  // 16 samples per symbol, step 4
  FilterPtr f(matchedFilterCreate(&s.config, 8));
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->stepLength, 4);
  ASSERT_EQ(f->softSymbols[0].count, 4);

  auto runSteps = [&](int32_t steps) {
    std::vector<int16_t> frame(4 * steps, 0);
    EXPECT_EQ(matchedFilterProcess(f.get(), frame.data(), 4 * steps, 0, 1), steps);
    std::vector<int16_t> values;
    for (int32_t k = 0; k < steps; ++k) values.push_back(frame[k]);  // slot k
    return values;
  };
  auto primeRise = [&] {
    for (int k = 0; k < 2; ++k) CircularBufferShortPush(&f->correlations[0], -300);
  };
  primeRise();
  EXPECT_EQ(runSteps(7), (std::vector<int16_t>{0, 0, 0, 0, -127, -127, 0}));

  // Enlarged history (as the partial-codeword decoder does): the window is
  // still one code word, not the ring's 40 slots.
  ASSERT_NE(matchedFilterSoftSymbols(f.get(), 40), nullptr);
  primeRise();
  EXPECT_EQ(runSteps(7), (std::vector<int16_t>{0, 0, 0, 0, -127, -127, 0}));
}

// One position, echo delays a = 8, b = 0 (lag 4 q, D 4 q at 8 kHz): with
// x = 1000 after a = 2000 samples ago, d = 2000/2 − 1000/2 = 500 and each
// product is (500 · 1000 + 512) >> 10 = 488 (shift 10 below 9 kHz).
TEST(MatchedFilterTest, ProductOfSampleAndEchoDifference) {
  TestScheme s(8, 40, 16, 2, {4}, {0}, 4, 8);
  FilterPtr f(matchedFilterCreate(&s.config, 8));
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->aDelay[0], 8);
  ASSERT_EQ(f->bDelay[0], 0);
  std::vector<int16_t> frame(12, 2000);
  for (int j = 8; j < 12; ++j) frame[j] = 1000;
  // Samples 0..7 of 2000 meet a = 0 (ring start): d = −1000, product
  // (−1000 · 2000 + 512) >> 10 = −1953 each; sample 8 (x = 1000, a = 2000,
  // b = 1000) gives 488; samples 9..11 likewise.
  matchedFilterProcess(f.get(), frame.data(), 12, 0, 1);
  // Steps after samples 5 and 10: step 1 = 5 · −1953; step 2 = 3 · −1953 +
  // 2 · 488; the remaining two products wait in the accumulator.
  EXPECT_EQ(CircularBufferLongAt(&f->stepValues[0], 1), -9765);
  EXPECT_EQ(CircularBufferLongAt(&f->stepValues[0], 0), -5859 + 976);
  EXPECT_EQ(f->accumulator[0], 2 * 488);
  EXPECT_EQ(f->absAccumulator[0], 2 * 488);
  EXPECT_EQ(f->energy[0], 9765 + 5859 + 976);
}

// ---------------------------------------------------------------------------
// Hamming correlator.

TEST(HammingCorrelatorTest, WindowValues) {
  TestScheme s(8, 8, 4, 2, {4}, {0}, 4, 1);
  HammingCorrelator* h = hammingCorrelatorCreate(&s.config, 5);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->window[0], 10);  // (0.54 − 0.46) · 128 = 10.24
  EXPECT_EQ(h->window[1], 69);  // cos(1.57075) ≈ 0: 0.54 · 128 = 69.1
  hammingCorrelatorFree(h);
  EXPECT_EQ(hammingCorrelatorCreate(&s.config, 0), nullptr);
  HammingCorrelator* one = hammingCorrelatorCreate(&s.config, 1);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->window[0], 10);
  hammingCorrelatorFree(one);
  hammingCorrelatorFree(nullptr);
}

// N = 4, W = 8, one band and position, align 0: k = 0 .. 6 walk phases
// 0, 1, 2, 3, 0, 1, 2 over ring slots 15, 14, ... Strong symbols (100) at
// k = 2 and 6 make phase 2 best. Output, oldest first: e = t = 6, then 2:
// w[6] · ring[9] / 128 = 32 · 100 / 128 = 25 and w[2] · ring[13] / 128 =
// 82 · 100 / 128 = 64 (w[2] = 82.2 and w[6] = 32.4 truncated).
TEST(HammingCorrelatorTest, FindsStrongestPhaseAndWritesWeightedSymbols) {
  TestScheme s(8, 8, 4, 2, {4}, {0}, 4, 1);
  HammingCorrelator* h = hammingCorrelatorCreate(&s.config, 8);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->window[2], 82);
  EXPECT_EQ(h->window[6], 32);
  CircularBuffer* ring = CircularBufferCharCreate2(nullptr, 16);
  int8_t* slots = reinterpret_cast<int8_t*>(ring->base);
  for (int i = 0; i < 16; ++i) slots[i] = 1;
  slots[13] = 100;
  slots[9] = -100;  // magnitudes count
  CircularBuffer* rings[1] = {ring};
  const int32_t newest[1] = {15};
  int8_t out[2] = {0, 0};
  EXPECT_EQ(partialCorrelate(h, rings, out, newest, 0), 2);
  EXPECT_EQ(out[0], -25);
  EXPECT_EQ(out[1], 64);
  EXPECT_EQ(partialCorrelate(h, rings, out, newest, 1), 0);  // (2 + 2) mod 4
  EXPECT_EQ(partialCorrelate(nullptr, rings, out, newest, 0), -1);
  CircularBufferCharDelete(ring);
  hammingCorrelatorFree(h);
}

TEST(MaxIndexTest, FirstLargestWins) {
  const int32_t v[] = {3, 7, 7, 1};
  EXPECT_EQ(maxIndex(v, 4), 1);
  EXPECT_EQ(maxIndex(v, 1), 0);
  EXPECT_EQ(maxIndex(v, 0), 0);
  const int32_t neg[] = {-5, -2, -9};
  EXPECT_EQ(maxIndex(neg, 3), 1);
}

TEST(SoftMetricTableTest, IsTheViterbiBranchMetricTable) {
  const int16_t* t = softMetricTable();
  ASSERT_NE(t, nullptr);
  for (int s : {0, 1, 64, 128, 200, 255}) EXPECT_EQ(t[s], convSoftMetric(s)) << s;
}

// The energy normalisation's quotient: exactly the integer division,
// including quotients just below an integer and operands beyond 2^52.
struct QuotientCase {
  const char* name;
  int64_t a;
  int64_t b;
  int64_t expected;
};

class QuotientTest : public ::testing::TestWithParam<QuotientCase> {};

TEST_P(QuotientTest, TruncatesTowardZero) {
  EXPECT_EQ(truncatedQuotient(GetParam().a, GetParam().b), GetParam().expected);
}

constexpr int64_t kB = (int64_t{1} << 40) + 3;

INSTANTIATE_TEST_SUITE_P(
    Operands, QuotientTest,
    ::testing::Values(QuotientCase{"Small", 7, 2, 3}, QuotientCase{"SmallNegative", -7, 2, -3},
                      QuotientCase{"Exact", -6, 3, -2}, QuotientCase{"Zero", 0, 5, 0},
                      QuotientCase{"JustBelowAnInteger", 4095 * kB - 1, kB, 4094},
                      QuotientCase{"JustAboveMinusAnInteger", -(4095 * kB - 1), kB, -4094},
                      QuotientCase{"LargestExactOperand", (int64_t{1} << 52) - 1, 1,
                                   (int64_t{1} << 52) - 1},
                      QuotientCase{"BeyondTheDoubleRange", (int64_t{1} << 60) + 1, 3,
                                   384307168202282325}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuotientTest, MatchesTheIntegerDivisionNearEveryInteger) {
  uint64_t state = 88172645463325252ull;  // xorshift64
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int i = 0; i < 200000; ++i) {
    const int64_t b = static_cast<int64_t>(next() >> (12 + next() % 51)) + 1;
    const int64_t limit = ((int64_t{1} << 52) - 2) / b;
    const int64_t k = limit == 0 ? 0 : static_cast<int64_t>(next() % static_cast<uint64_t>(limit));
    const int64_t a = (k * b + static_cast<int64_t>(next() % 3) - 1) * (i % 2 == 0 ? 1 : -1);
    ASSERT_EQ(truncatedQuotient(a, b), a / b) << a << " / " << b;
  }
}

}  // namespace
}  // namespace tembrolexinsdk
