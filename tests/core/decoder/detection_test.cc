#include "core/decoder/detection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "core/decoder/codeword_layouts.h"

namespace tembrolexinsdk {
namespace {

// A hand-built scheme record: one binary code word of `coded` bits (m = 1,
// G = 1), P positions, N phase steps, optional two-band bank.
struct TestScheme {
  SchemeConfig cfg{};
  std::vector<int32_t> lags;
  std::vector<int32_t> aligns;
  std::vector<CurvePoint> msgHigh, msgLow, sigHigh, sigLow;
  SubBandBank bank{};
  int32_t signs[2] = {1, -1};
  int32_t rates[2] = {8, 8};

  TestScheme(int32_t scheme, int32_t coded, int32_t positions, int32_t phases,
             int32_t symbolQuarterMs = 16, int32_t rateCode = 8, int32_t bands = 1) {
    cfg.scheme = scheme;
    cfg.rateCode = rateCode;
    cfg.codec.bitsPerSymbol = 1;
    cfg.codec.codeSymbols = coded;
    cfg.codec.conv.generatorCount = 1;
    cfg.positionCount = positions;
    cfg.symbolDuration = symbolQuarterMs;
    for (int32_t i = 0; i < positions; ++i) {
      lags.push_back(4 + 4 * i);
      aligns.push_back(0);
    }
    cfg.positionLags = lags.data();
    cfg.positionAlignments = aligns.data();
    cfg.comparisonDelay = 4;
    cfg.phaseCount = phases;
    cfg.unitForm = 2;
    cfg.syncThresholds[0] = 100;
    cfg.syncThresholds[1] = 200;
    if (bands == 2) {
      bank.bandCount = 2;
      bank.signs = signs;
      rates[0] = rates[1] = rateCode / 2;
      bank.rateCodes = rates;
      cfg.subBandBank = &bank;
    }
  }
  void setAlignments(std::vector<int32_t> a) {
    aligns = std::move(a);
    cfg.positionAlignments = aligns.data();
  }
  void setCurves(std::vector<CurvePoint> mh, std::vector<CurvePoint> ml,
                 std::vector<CurvePoint> sh, std::vector<CurvePoint> sl) {
    msgHigh = std::move(mh);
    msgLow = std::move(ml);
    sigHigh = std::move(sh);
    sigLow = std::move(sl);
    cfg.messageCurves = {{msgHigh.data(), static_cast<int32_t>(msgHigh.size())},
                         {msgLow.data(), static_cast<int32_t>(msgLow.size())}};
    cfg.signalCurves = {{sigHigh.data(), static_cast<int32_t>(sigHigh.size())},
                        {sigLow.data(), static_cast<int32_t>(sigLow.size())}};
  }
};

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using DetectorPtr = std::unique_ptr<Detector, Deleter<Detector, detectorFree>>;
using FilterPtr = std::unique_ptr<MatchedFilter, Deleter<MatchedFilter, matchedFilterFree>>;
using StatsPtr =
    std::unique_ptr<SymbolStatistics, Deleter<SymbolStatistics, symbolStatisticsFree>>;
using AcceptancePtr =
    std::unique_ptr<AcceptanceState, Deleter<AcceptanceState, acceptanceFree>>;
using HistoryPtr = std::unique_ptr<ResultHistory, Deleter<ResultHistory, resultHistoryFree>>;

PerformanceData freshRecord() {
  PerformanceData d;
  performanceDataReset(&d);
  return d;
}

// Stands in for the matched filters of a channel: pushes one soft symbol per
// position and band per phase step, exactly as the filters do, and leaves in
// the frame the negated magnitudes of the symbols that leave the window.
struct FakeBands {
  std::vector<FilterPtr> filters;
  std::vector<MatchedFilter*> raw;

  FakeBands(const SchemeConfig& cfg, int32_t bands, int32_t ringLength = 0) {
    for (int32_t b = 0; b < bands; ++b) {
      filters.emplace_back(matchedFilterCreate(&cfg, schemeBandRate(&cfg, b)));
      EXPECT_NE(filters.back(), nullptr);
      if (ringLength > 0) {
        EXPECT_NE(matchedFilterSoftSymbols(filters.back().get(), ringLength), nullptr);
      }
      raw.push_back(filters.back().get());
    }
  }
  // One phase step: symbols[b * P + i]; fills frame slot t * B + b.
  void step(const std::vector<int8_t>& symbols, std::vector<int16_t>& frame, int32_t t) {
    const int32_t bands = static_cast<int32_t>(raw.size());
    for (int32_t b = 0; b < bands; ++b) {
      MatchedFilter* f = raw[b];
      int32_t leaving = 0;
      for (int32_t i = 0; i < f->positionCount; ++i) {
        const int8_t back = CircularBufferCharAt(&f->softSymbols[i],
                                                 f->align[i] + int64_t{f->phaseCount} *
                                                     f->framesPerCodeword - 1);
        leaving += std::abs(static_cast<int32_t>(back));
        CircularBufferCharPush(&f->softSymbols[i], symbols[b * f->positionCount + i]);
      }
      frame[t * bands + b] = static_cast<int16_t>(-leaving);
    }
  }
};

// ---------------------------------------------------------------------------
// Detector.

TEST(DetectorShift, FollowsTheFrameCountRule) {
  const struct {
    int32_t frames;
    int32_t shift;
  } rows[] = {{1, 3}, {35, 3}, {104, 3}, {105, 4}, {209, 4}, {210, 5}, {419, 5}, {420, 6}};
  for (const auto& r : rows) EXPECT_EQ(detectorShiftFor(r.frames), r.shift) << r.frames;
}

TEST(Detector, RefusesSchemesItCannotServe) {
  TestScheme one(13, 20, 1, 1);
  EXPECT_EQ(detectorCreate(&one.cfg), nullptr);  // a single phase step
  TestScheme none(13, 0, 1, 4);
  EXPECT_EQ(detectorCreate(&none.cfg), nullptr);  // no frames
  EXPECT_EQ(detectorCreate(nullptr), nullptr);
  detectorFree(nullptr);
}

// Strength at the decision check against t0 = 100, t1 = 200.
TEST(Detector, SyncStateFromTheBestAverage) {
  const struct {
    int32_t strength;
    int32_t state;
  } rows[] = {{0, 0}, {100, 0}, {101, 2}, {150, 2}, {200, 2}, {201, 1}};
  for (const auto& r : rows) {
    TestScheme s(13, 20, 1, 4);
    DetectorPtr d(detectorCreate(&s.cfg));
    FakeBands bands(s.cfg, 1);
    // Phase 2 is the decision check (decision phase 0 + N/2); the strongest
    // average sits at phase 0, which the coming steps do not touch.
    d->phase = 2;
    d->averages[0] = r.strength;
    std::vector<int16_t> frame(1);
    PerformanceData data = freshRecord();
    bands.step({0}, frame, 0);
    detectorProcess(d.get(), bands.raw.data(), 1, 1, &data, frame.data());
    EXPECT_EQ(data.syncState, -1) << "the signal half is written when the phase wraps";
    bands.step({0}, frame, 0);
    detectorProcess(d.get(), bands.raw.data(), 1, 1, &data, frame.data());
    EXPECT_EQ(data.syncState, r.state) << r.strength;
    EXPECT_EQ(data.currentSignalStrength, r.strength);
    EXPECT_EQ(data.sigScheme, 13);
  }
}

// N = 4, one position; a symbol of 100 at every step of phase 1. The first
// step counts (phase 0 is the initial decision phase); the check at phase 2
// moves the decision to phase 1, so later decision points fall on steps
// 5, 9, 13, ...
TEST(Detector, DecisionPointsFollowTheStrongestPhase) {
  TestScheme s(13, 20, 1, 4);
  std::vector<int32_t> expected;
  for (int32_t step = 0; step < 24; ++step) {
    expected.push_back(step == 0 || (step >= 5 && (step - 5) % 4 == 0) ? 1 : 0);
  }
  for (int32_t perCall : {1, 3, 4}) {
    DetectorPtr d(detectorCreate(&s.cfg));
    FakeBands bands(s.cfg, 1);
    std::vector<int32_t> got;
    PerformanceData data = freshRecord();
    for (int32_t step = 0; step < 24; step += perCall) {
      std::vector<int16_t> frame(perCall);
      for (int32_t t = 0; t < perCall; ++t) {
        bands.step({static_cast<int8_t>((step + t) % 4 == 1 ? 100 : 0)}, frame, t);
      }
      got.push_back(detectorProcess(d.get(), bands.raw.data(), perCall, 1, &data, frame.data()));
    }
    std::vector<int32_t> want;
    for (int32_t step = 0; step < 24; step += perCall) {
      int32_t n = 0;
      for (int32_t t = 0; t < perCall; ++t) n += expected[step + t];
      want.push_back(n);
    }
    EXPECT_EQ(got, want) << perCall << " steps per call";
    EXPECT_EQ(d->decisionPhase, 1);
    EXPECT_EQ(data.bitSlicePosSig, 1);
    // Six steps of phase 1 with 100 each, all still inside the 20-symbol
    // window by the last check (step 23): 600, divided by F = 20.
    EXPECT_EQ(data.meanSignalStrength, 30);
  }
}

TEST(Detector, TiedPhasesTakeTheLowest) {
  TestScheme s(13, 20, 1, 4);
  DetectorPtr d(detectorCreate(&s.cfg));
  FakeBands bands(s.cfg, 1);
  PerformanceData data = freshRecord();
  std::vector<int16_t> frame(1);
  for (int32_t step = 0; step < 8; ++step) {
    bands.step({static_cast<int8_t>(step % 4 == 1 || step % 4 == 3 ? -60 : 0)}, frame, 0);
    detectorProcess(d.get(), bands.raw.data(), 1, 1, &data, frame.data());
  }
  EXPECT_EQ(d->decisionPhase, 1);
  EXPECT_EQ(d->bestAveragePhase, 1);
}

// sums[phase] is at every step the sum of |soft symbol| over one code word's
// window at that phase: F symbols N steps apart per position and band,
// starting align(i) steps back. Saturated symbols (-128) included.
void checkWindowSums(TestScheme& s, int32_t bands, int32_t ringLength) {
  DetectorPtr d(detectorCreate(&s.cfg));
  FakeBands fake(s.cfg, bands, ringLength);
  std::mt19937 rng(1234 + ringLength);
  std::uniform_int_distribution<int> value(-128, 127);
  PerformanceData data = freshRecord();
  const int32_t p = s.cfg.positionCount;
  const int32_t n = s.cfg.phaseCount;
  const int32_t f = schemeFramesPerCodeword(&s.cfg);
  for (int32_t call = 0; call < 150; ++call) {
    const int32_t steps = 1 + call % 5;
    std::vector<int16_t> frame(steps * bands);
    for (int32_t t = 0; t < steps; ++t) {
      std::vector<int8_t> symbols(bands * p);
      for (auto& v : symbols) v = static_cast<int8_t>(call % 7 == 0 ? -128 : value(rng));
      fake.step(symbols, frame, t);
    }
    detectorProcess(d.get(), fake.raw.data(), steps, bands, &data, frame.data());
    const int32_t lastPhase = (d->phase + n - 1) % n;
    int64_t window = 0;
    for (MatchedFilter* filter : fake.raw) {
      for (int32_t i = 0; i < p; ++i) {
        for (int32_t j = 0; j < f; ++j) {
          window += std::abs(static_cast<int32_t>(
              CircularBufferCharAt(&filter->softSymbols[i], filter->align[i] + int64_t{j} * n)));
        }
      }
    }
    // The window sum holds for the phase of the newest step.
    ASSERT_EQ(d->sums[lastPhase], window) << "call " << call;
  }
}

TEST(Detector, WindowSumInvariantOnRandomStreams) {
  TestScheme one(13, 24, 3, 4);  // F = 8
  one.setAlignments({0, 4, 8});   // align(i) = 2, 1, 0 steps at N = 4
  checkWindowSums(one, 1, 0);
  TestScheme two(18, 24, 3, 4, 16, 16, 2);  // F = 4, two bands at 8 kHz
  two.setAlignments({0, 4, 8});
  checkWindowSums(two, 2, 0);
}

TEST(Detector, WindowSumInvariantWithEnlargedRings) {
  TestScheme one(13, 24, 3, 4);
  one.setAlignments({0, 4, 8});
  checkWindowSums(one, 1, 100);
  TestScheme two(18, 24, 3, 4, 16, 16, 2);
  checkWindowSums(two, 2, 61);
}

// ---------------------------------------------------------------------------
// 95 % strength.

TEST(SymbolStrength95, KthLargestMagnitude) {
  const struct {
    int32_t total;
    std::vector<int8_t> head;  // the rest of the T symbols are 0
    int32_t expected;
  } rows[] = {
      {20, {}, 0},
      {20, {5, -9, 3}, 9},                 // K = 1: the largest
      {20, {127, -128}, 128},              // saturated is the strongest
      {40, {-128, 3, -7, 7, 2}, 7},        // K = 2: 128, 7
      {40, {127, -128}, 127},
      {40, {-128, -128, 127}, 128},
      {60, {1, 2, 3, 4, 5, 6}, 4},         // K = 3: 6, 5, 4
      {60, {-50, 50, -50, 10}, 50},
      {59, {1, 2, 3, 4, 5, 6}, 5},         // T = 59: K = 2
  };
  for (const auto& r : rows) {
    TestScheme s(13, r.total, 1, 4);
    StatsPtr stats(symbolStatisticsCreate(&s.cfg));
    ASSERT_NE(stats, nullptr);
    std::vector<int8_t> symbols(r.total, 0);
    std::copy(r.head.begin(), r.head.end(), symbols.begin());
    EXPECT_EQ(symbolStrength95(stats.get(), symbols.data()), r.expected) << r.total;
    // Order does not matter.
    std::reverse(symbols.begin(), symbols.end());
    EXPECT_EQ(symbolStrength95(stats.get(), symbols.data()), r.expected) << r.total;
  }
}

TEST(SymbolStrength95, AgreesWithASortOnRandomWords) {
  TestScheme s(13, 140, 4, 16);  // T = 140, K = 7
  StatsPtr stats(symbolStatisticsCreate(&s.cfg));
  ASSERT_NE(stats, nullptr);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> value(-128, 127);
  for (int round = 0; round < 50; ++round) {
    std::vector<int8_t> symbols(140);
    for (auto& v : symbols) v = static_cast<int8_t>(value(rng));
    std::vector<int> mags;
    for (int8_t v : symbols) mags.push_back(std::abs(static_cast<int>(v)));
    std::sort(mags.rbegin(), mags.rend());
    EXPECT_EQ(symbolStrength95(stats.get(), symbols.data()), mags[6]);
  }
}

TEST(SymbolStrength95, RefusesWordsBelowTwentySymbols) {
  TestScheme s(13, 19, 1, 4);
  EXPECT_EQ(symbolStatisticsCreate(&s.cfg), nullptr);
  EXPECT_EQ(symbolStrength95(nullptr, nullptr), -1);
}

// ---------------------------------------------------------------------------
// Acceptance.

TEST(GradeAgainstCurves, Table) {
  std::vector<CurvePoint> high = {{0, 60}, {100, 30}};
  std::vector<CurvePoint> low = {{0, 30}, {100, 10}};
  std::vector<CurvePoint> bent = {{0, 60}, {50, 40}, {100, 40}};
  const CurvePair pair = {{high.data(), 2}, {low.data(), 2}};
  const CurvePair highOnly = {{high.data(), 2}, {nullptr, 0}};
  const CurvePair none = {{nullptr, 0}, {low.data(), 2}};
  const CurvePair bentPair = {{bent.data(), 3}, {low.data(), 2}};
  const struct {
    const CurvePair* curves;
    int32_t x, y, grade;
  } rows[] = {
      {&pair, 50, 45, 1},      // exactly on the high curve
      {&pair, 50, 46, 1},
      {&pair, 50, 44, 2},
      {&pair, 50, 20, 2},      // exactly on the low curve
      {&pair, 50, 19, 3},
      {&pair, 150, 15, 1},     // beyond the last point: the last segment extended
      {&pair, 150, 14, 2},
      {&pair, -50, 75, 1},     // before the first point
      {&pair, -50, 74, 2},
      {&highOnly, 50, 44, 4},  // below the high curve, no low curve
      {&highOnly, 50, 45, 1},
      {&none, 50, 0, 4},       // no high curve
      {&bentPair, 75, 40, 1},  // second segment is flat
      {&bentPair, 75, 39, 2},
      {&bentPair, 50, 40, 1},  // x on a point: the earlier segment
      {&bentPair, 25, 49, 2},  // first segment: 50 at x = 25
      {&bentPair, 25, 50, 1},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(gradeAgainstCurves(r.curves, r.x, r.y), r.grade) << r.x << "," << r.y;
  }
}

struct AcceptanceFixture : ::testing::Test {
  TestScheme s{13, 20, 1, 4};  // F = 20: period 10
  AcceptancePtr a;
  void SetUp() override {
    s.setCurves({{0, 60}, {100, 30}}, {{0, 30}, {100, 10}}, {{0, 50}, {100, 25}},
                {{0, 25}, {100, 10}});
    a.reset(acceptanceCreate(&s.cfg));
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->period, 10);
  }
  PerformanceData record(int64_t msg, int16_t msg95, int16_t meanStrength) {
    PerformanceData d = freshRecord();
    d.msg = msg;
    d.nFecErrors = msg >= 0 ? 0 : -1;
    d.msgVolume = 50;
    d.msgSignalStrength95pc = msg95;
    d.meanVolume = 50;
    d.meanSignalStrength = meanStrength;
    return d;
  }
};

TEST_F(AcceptanceFixture, MessageGradedAtOnceAndRepeatedAtThePeriod) {
  PerformanceData d = record(77, 44, 40);  // message: below high (45), above low (20)
  acceptanceApply(a.get(), &d);
  EXPECT_EQ(d.msgConfidence, 2);
  EXPECT_EQ(d.sigConfidence, 0);
  for (int call = 2; call <= 9; ++call) {
    d = record(-1, -1, 40);
    acceptanceApply(a.get(), &d);
    EXPECT_EQ(d.msgConfidence, 0) << call;
    EXPECT_EQ(d.sigConfidence, 0) << call;
  }
  d = record(-1, -1, 40);  // 10th call: signal graded, last message repeated
  acceptanceApply(a.get(), &d);
  EXPECT_EQ(d.sigConfidence, 1);  // 40 >= 37.5 at x = 50
  EXPECT_EQ(d.msgConfidence, 2);
  for (int call = 1; call <= 10; ++call) {  // the next period had no message
    d = record(-1, -1, 20);
    acceptanceApply(a.get(), &d);
  }
  EXPECT_EQ(d.sigConfidence, 2);
  EXPECT_EQ(d.msgConfidence, 0);
}

TEST_F(AcceptanceFixture, HistoryGradeSurvivesThePeriodCall) {
  for (int call = 1; call <= 9; ++call) {
    PerformanceData d = record(-1, -1, 40);
    acceptanceApply(a.get(), &d);
  }
  PerformanceData d = record(99, 0, 40);
  d.msgConfidence = 4;  // reported from the history
  acceptanceApply(a.get(), &d);
  EXPECT_EQ(d.msgConfidence, 4);
  EXPECT_EQ(d.sigConfidence, 1);
}

TEST_F(AcceptanceFixture, NoSignalMeasurementNoCounting) {
  for (int call = 1; call <= 25; ++call) {
    PerformanceData d = record(-1, -1, -1);
    acceptanceApply(a.get(), &d);
    EXPECT_EQ(d.sigConfidence, 0);
  }
  EXPECT_EQ(a->counter, 0);
}

// ---------------------------------------------------------------------------
// Result history. F = 8 (a word of 8 one-bit symbols on one position),
// S = 16 quarter ms at 8 kHz: 32 samples per symbol, N = 16.

CodewordDecodeResult accepted(int64_t value) {
  return {static_cast<uint64_t>(value), 0, 0};
}
CodewordDecodeResult weak(int64_t value, uint32_t mask) {
  return {static_cast<uint64_t>(value), -1, mask};
}
CodewordDecodeResult rejected() { return {0x1234, -1, 0xFFFFFFFFu}; }

// A history of F = `frames` attempts per word, behind a Reed-Solomon code of
// 2-bit symbols, or behind the binary code when `bitsPerSymbol` is 1.
struct HistoryFixture {
  TestScheme s;
  HistoryPtr h;
  explicit HistoryFixture(int32_t scheme, int32_t frames = 8, int32_t bitsPerSymbol = 2)
      : s(scheme, frames / bitsPerSymbol, 1, 16) {
    s.cfg.codec.bitsPerSymbol = bitsPerSymbol;
    h.reset(resultHistoryCreate(&s.cfg));
  }
  // One attempt per symbol: the clock moves one symbol, then the attempt.
  void attempt(const CodewordDecodeResult& r, int32_t phase = 3, int32_t offset = 0) {
    resultHistoryAdvance(h.get(), 32);
    resultHistoryAdd(h.get(), offset, phase, &r);
  }
  void fill(int32_t count) {
    for (int32_t i = 0; i < count; ++i) attempt(rejected());
  }
};

TEST(ResultHistory, FreshHistoryHoldsFiveWordsOfEmptyEntries) {
  HistoryFixture f(13);
  ASSERT_NE(f.h, nullptr);
  EXPECT_EQ(f.h->capacity, 40);
  EXPECT_EQ(f.h->symbolSamples, 32);
  for (int32_t back = 0; back < 40; ++back) {
    const ResultHistoryEntry* e = resultHistoryEntry(f.h.get(), back);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->value, -1);
    EXPECT_EQ(e->state, 0);
    EXPECT_EQ(e->mask, 0xFFFFFFFFu);
    EXPECT_EQ(e->phase, -1);
    EXPECT_EQ(e->position, -1);
  }
  EXPECT_EQ(resultHistoryEntry(f.h.get(), 40), nullptr);
}

TEST(ResultHistory, EntryStates) {
  const struct {
    int32_t bitsPerSymbol;
    CodewordDecodeResult result;
    int32_t state;
  } rows[] = {
      {2, accepted(5), 2},
      {2, {5, 1, 0x2}, 2},
      {2, weak(5, 0x6), 1},        // rejected by itself, mask usable
      {2, weak(5, 0), 1},          // rejected with no symbol marked
      {2, rejected(), 0},          // the Reed-Solomon decoder gave up
      {2, {0xFFFFFFFFFFFFFFFFull, 0, 0}, 0},  // value -1: nothing
      {1, accepted(5), 2},
      {1, {5, 1, 0}, 2},
      {1, weak(5, 0), 0},          // a failed syndrome check: nothing usable
      {1, rejected(), 0},
  };
  for (const auto& r : rows) {
    HistoryFixture f(5, 8, r.bitsPerSymbol);
    f.attempt(r.result, 3, 5);
    const ResultHistoryEntry* e = resultHistoryEntry(f.h.get(), 0);
    EXPECT_EQ(e->state, r.state) << r.bitsPerSymbol << "-bit symbols, errors " << r.result.errors;
    EXPECT_EQ(e->position, 32 - 5);
    EXPECT_EQ(e->phase, 3);
  }
}

struct Relation {
  const char* name;
  int32_t scheme;
  std::function<int64_t(int32_t)> word;  // the word sent at word index j
};

std::vector<Relation> relations() {
  return {
      {"VorselT", 13, [](int32_t j) { return createVorselTvCodeWord(4242, 1000 + j); }},
      {"VorselTW", 18, [](int32_t j) { return createVorselTvCodeWord(77, j - 4); }},  // wraps below 0
      {"ConsumerH8", 15, [](int32_t j) { return int64_t{5000} + j; }},
      {"ConsumerS4", 16, [](int32_t j) { return createHeartBeat2CodeWord(1500, 1900010 + j); }},
      // Type 1: station low in field A, minutes low in field B; words every
      // half minute, so the minutes move by one every two words.
      {"VorselC", 5,
       [](int32_t j) { return (int64_t{1} << 20) | (int64_t{321} << 10) | ((1022 + j / 2) % 1024); }},
  };
}

// A weak word is confirmed by the word sent k words earlier (k = 1 .. 4),
// found exactly k * F attempts back or one attempt either side.
TEST(ResultHistory, ConfirmsAWeakWordByEachFamilysRelation) {
  for (const Relation& rel : relations()) {
    for (int32_t k = 1; k <= 4; ++k) {
      for (int32_t skew : {-1, 0, 1}) {
        HistoryFixture f(rel.scheme);
        f.fill(2);
        // An accepted word, then k*F - 1 + skew empty attempts, then the
        // weak word. Only the accepted one's clock position matters.
        const int32_t index = 2;
        f.attempt(accepted(rel.word(index)), 4);
        f.fill(k * 8 - 1 + skew);
        f.attempt(weak(rel.word(index + k), 0x0105), 5);
        const ResultHistoryEntry* cur = resultHistoryEntry(f.h.get(), 0);
        EXPECT_EQ(cur->state, 3) << rel.name << " k=" << k << " skew=" << skew;
        resultHistoryAdvance(f.h.get(), 64);
        PerformanceData d = freshRecord();
        ASSERT_EQ(resultHistoryReport(f.h.get(), &d), 1) << rel.name << " k=" << k;
        EXPECT_EQ(d.msg, rel.word(index + k));
        EXPECT_EQ(d.msgConfidence, 4);
        EXPECT_EQ(d.msgScheme, rel.scheme);
        EXPECT_EQ(d.msgSignalStrength95pc, 0);
        EXPECT_EQ(d.nFecErrors, 2);  // mask 0x105, lowest 8 bits: 0x05
        EXPECT_EQ(d.bitSlicePosMsg, 5);
        EXPECT_EQ(d.cwSampleNo, 64);
        // Reported once only.
        EXPECT_EQ(resultHistoryReport(f.h.get(), &d), 0);
        EXPECT_EQ(resultHistoryEntry(f.h.get(), 0)->state, 2);
      }
    }
  }
}

TEST(ResultHistory, AWeakOlderWordIsConfirmedByAnAcceptedNewerOne) {
  HistoryFixture f(15);
  f.attempt(weak(700, 0x1), 2);
  f.fill(7);
  f.attempt(accepted(701), 2);
  EXPECT_EQ(resultHistoryEntry(f.h.get(), 8)->state, 3);
  EXPECT_EQ(resultHistoryEntry(f.h.get(), 0)->state, 2);
  PerformanceData d = freshRecord();
  ASSERT_EQ(resultHistoryReport(f.h.get(), &d), 1);
  EXPECT_EQ(d.msg, 700);
  EXPECT_EQ(d.cwSampleNo, 8 * 32);
  EXPECT_EQ(d.nFecErrors, 1);
}

TEST(ResultHistory, NoConfirmation) {
  const struct {
    const char* why;
    int32_t scheme;
    CodewordDecodeResult older, newer;
    int32_t olderPhase, newerPhase;
    int32_t gap;  // attempts between them
  } rows[] = {
      {"both accepted", 15, accepted(700), accepted(701), 2, 2, 7},
      {"wrong relation", 15, accepted(700), weak(702, 0), 2, 2, 7},
      {"phase moved more than 2k", 15, accepted(700), weak(701, 0), 2, 5, 7},
      {"scheme without a relation", 10, accepted(700), weak(701, 0), 2, 2, 7},
      {"too far from the expected position", 15, accepted(700), weak(701, 0), 2, 2, 12},
      {"older attempt gave nothing", 15, rejected(), weak(701, 0), 2, 2, 7},
      {"VorselC station differs", 5, accepted((1 << 20) | (321 << 10) | 10),
       weak((1 << 20) | (320 << 10) | 10, 0), 2, 2, 7},
      {"VorselC minutes too far", 5, accepted((1 << 20) | (321 << 10) | 10),
       weak((1 << 20) | (321 << 10) | 13, 0), 2, 2, 7},
      {"VorselC invalid type", 5, accepted((9 << 20) | (321 << 10) | 10),
       weak((9 << 20) | (321 << 10) | 10, 0), 2, 2, 7},
  };
  for (const auto& r : rows) {
    HistoryFixture f(r.scheme);
    f.attempt(r.older, r.olderPhase);
    f.fill(r.gap);
    f.attempt(r.newer, r.newerPhase);
    PerformanceData d = freshRecord();
    EXPECT_EQ(resultHistoryReport(f.h.get(), &d), 0) << r.why;
    EXPECT_EQ(d.msg, -1) << r.why;
  }
}

// The binary code's rejections are never confirmed, not even by an accepted
// neighbour in the VorselC relation.
TEST(ResultHistory, BinaryCodeRejectionsAreNeverConfirmed) {
  const int64_t older = (int64_t{1} << 20) | (int64_t{321} << 10) | 10;
  HistoryFixture f(5, 8, 1);
  f.attempt(accepted(older), 2);
  f.fill(7);
  f.attempt(weak(older, 0), 2);
  f.fill(7);
  f.attempt(accepted(older + 1), 2);
  EXPECT_EQ(resultHistoryEntry(f.h.get(), 8)->state, 0);
  PerformanceData d = freshRecord();
  EXPECT_EQ(resultHistoryReport(f.h.get(), &d), 0);
  EXPECT_EQ(d.msg, -1);
}

TEST(ResultHistory, PhaseDifferenceWrapsAroundTheSymbol) {
  HistoryFixture f(15);
  f.attempt(accepted(700), 15);
  f.fill(7);
  f.attempt(weak(701, 0), 1);  // 1 - 15 = -14, i.e. +2 of 16: within 2k = 2
  EXPECT_EQ(resultHistoryEntry(f.h.get(), 0)->state, 3);
}

TEST(ResultHistory, OldestConfirmedWordIsReportedFirst) {
  HistoryFixture f(15);
  f.attempt(accepted(700), 2);
  f.fill(7);
  f.attempt(weak(701, 0), 2);
  f.fill(7);
  f.attempt(weak(702, 0), 2);
  PerformanceData d = freshRecord();
  ASSERT_EQ(resultHistoryReport(f.h.get(), &d), 1);
  EXPECT_EQ(d.msg, 701);
  ASSERT_EQ(resultHistoryReport(f.h.get(), &d), 1);
  EXPECT_EQ(d.msg, 702);
  EXPECT_EQ(resultHistoryReport(f.h.get(), &d), 0);
}

TEST(ResultHistory, ErrorCountOfWideMasksCountsEveryBit) {
  // F = 40 (40 one-bit symbols): "the lowest F bits" of a 32-bit mask are all
  // of them.
  HistoryFixture f(15, 40);
  ASSERT_EQ(f.h->capacity, 200);
  f.attempt(accepted(700), 2);
  f.fill(39);
  f.attempt(weak(701, 0x80000001u), 2);
  PerformanceData d = freshRecord();
  ASSERT_EQ(resultHistoryReport(f.h.get(), &d), 1);
  EXPECT_EQ(d.nFecErrors, 2);
}

TEST(ResultHistory, ClockIsSixtyFourBitsAndKeepsOddRemainders) {
  HistoryFixture f(15);
  resultHistoryAdvance(f.h.get(), INT32_MAX);
  resultHistoryAdvance(f.h.get(), INT32_MAX);
  resultHistoryAdvance(f.h.get(), 2);
  EXPECT_EQ(f.h->clock, int64_t{1} << 32);

  TestScheme two(18, 16, 1, 16, 16, 16, 2);  // two bands: one band sample per pair
  HistoryPtr h(resultHistoryCreate(&two.cfg));
  for (int i = 0; i < 7; ++i) resultHistoryAdvance(h.get(), 1);
  EXPECT_EQ(h->clock, 3);
  resultHistoryAdvance(h.get(), 0);
  resultHistoryAdvance(h.get(), -5);
  EXPECT_EQ(h->clock, 3);
}

}  // namespace
}  // namespace tembrolexinsdk
