#include "core/decoder/partial_search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/scheme_config_reader.h"

namespace tembrolexinsdk {
namespace {

struct LoadedScheme {
  SchemeConfig* list = nullptr;
  MessageParams* params = nullptr;
  ~LoadedScheme() {
    freeSchemeConfigList(list);
    freeMessageParams(params);
  }
};

std::unique_ptr<LoadedScheme> load(const char* file) {
  auto loaded = std::make_unique<LoadedScheme>();
  const std::string path = std::string(TL_TEST_DATA_DIR) + "/" + file;
  loaded->list = readSchemeConfig(path.c_str(), &loaded->params);
  return loaded;
}

struct StageDeleter {
  void operator()(PartialSearchStage* s) const { deleteSearchStage(s); }
};
using StagePtr = std::unique_ptr<PartialSearchStage, StageDeleter>;

std::vector<int32_t> opts(int32_t persistence, int32_t gapFill, int32_t fast, int32_t past,
                          int32_t future, int32_t rise) {
  return {persistence, gapFill, fast, past, future, rise};
}

// ---------------------------------------------------------------------------
// Stage arithmetic.

struct GeometryCase {
  const char* name;
  const char* file;
  std::vector<int32_t> options;  // empty: defaults
  int32_t windowSymbols;         // F (or F' with fast reaction)
  int32_t stepDivisor;
  int32_t maxOffsetPast;         // ms
  int32_t maxOffsetFuture;       // ms
  int32_t riseThreshold;
  int32_t rangeMode;
};

class StageGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(StageGeometry, WindowStepAndOffsets) {
  const GeometryCase& c = GetParam();
  auto scheme = load(c.file);
  ASSERT_NE(scheme->list, nullptr);
  StagePtr a(createSearchStage(scheme->list, scheme->params,
                               c.options.empty() ? nullptr : c.options.data()));
  ASSERT_NE(a, nullptr);
  const int32_t n = scheme->list->phaseCount;
  const int32_t pb = scheme->list->positionCount * schemeBandCount(scheme->list);
  EXPECT_EQ(searchStageWindow(a.get()), n * c.windowSymbols);
  EXPECT_EQ(a->windowBits, pb * c.windowSymbols);
  EXPECT_EQ(a->stepDivisor, c.stepDivisor);
  EXPECT_EQ(searchStageStep(a.get()), n * c.windowSymbols / c.stepDivisor);
  EXPECT_EQ(a->maxOffsetPast, c.maxOffsetPast);
  EXPECT_EQ(a->maxOffsetFuture, c.maxOffsetFuture);
  EXPECT_EQ(a->riseThreshold, c.riseThreshold);
  EXPECT_EQ(a->rangeMode, c.rangeMode);
  EXPECT_EQ(a->candidateIndex, -1);
  EXPECT_EQ(a->cursor, 0);
  ASSERT_NE(a->history, nullptr);
  EXPECT_EQ(a->history->windowLength, n * c.windowSymbols);
}

// T1: S 1024 (256 ms), N 16. F = (2p + 128) / 256.
// T4: S 512 (128 ms), default persistence 6000: F = (12000 + 64) / 128 = 94.
// T3: scheme 15, persistence 3000: F = (6000 + 128) / 256 = 23, range mode.
INSTANTIATE_TEST_SUITE_P(
    Cases, StageGeometry,
    ::testing::Values(
        GeometryCase{"T1Defaults", "scheme_t1_vt.cfg", {}, 78, 4, 31000, 10000, 100, 0},
        GeometryCase{"T1FastReaction", "scheme_t1_vt.cfg", opts(-1, -1, 1, -1, -1, -1), 59, 3,
                     31000, 10000, 100, 0},
        // 2 * 1280 + 128 = 2688 -> 10 symbols; fast: (30 + 2) / 4 = 8.
        GeometryCase{"T1TenSymbolsFast", "scheme_t1_vt.cfg", opts(1280, -1, 1, -1, -1, -1), 8, 3,
                     31000, 10000, 100, 0},
        GeometryCase{"T1TenSymbols", "scheme_t1_vt.cfg", opts(1280, -1, 0, 2, 3, 50), 10, 4, 2000,
                     3000, 50, 0},
        // Half a symbol rounds up: 2 * 1216 + 128 = 2560 -> exactly 10.
        GeometryCase{"T1RoundsToNearest", "scheme_t1_vt.cfg", opts(1216, -1, 0, -1, -1, -1), 10, 4,
                     31000, 10000, 100, 0},
        GeometryCase{"T1TinyPersistence", "scheme_t1_vt.cfg", opts(0, -1, 0, -1, -1, -1), 1, 4,
                     31000, 10000, 100, 0},
        // Offsets beyond an hour are clamped to an hour.
        GeometryCase{"T1OffsetsClamped", "scheme_t1_vt.cfg",
                     opts(-1, -1, -1, 2000000000, 100000, -1), 78, 4, 3600000, 3600000, 100, 0},
        GeometryCase{"T4Defaults", "scheme_t4_cs4.cfg", {}, 94, 4, 31000, 10000, 100, 0},
        GeometryCase{"T3RangeMode", "scheme_t3_ch8.cfg", {}, 23, 4, 0, 0, 100, 1},
        // Given offsets replace the sequence scheme's defaults too: station mode.
        GeometryCase{"T3OffsetsGiven", "scheme_t3_ch8.cfg", opts(-1, -1, -1, 5, 2, -1), 23, 4, 5000,
                     2000, 100, 0}),
    [](const ::testing::TestParamInfo<GeometryCase>& info) { return info.param.name; });

TEST(PartialSearchStage, FastReactionKeepsTheLastCoefficientsOfTheFullWindow) {
  auto scheme = load("scheme_t1_vt.cfg");
  ASSERT_NE(scheme->list, nullptr);
  const std::vector<int32_t> fast = opts(-1, -1, 1, -1, -1, -1);
  StagePtr a(createSearchStage(scheme->list, scheme->params, fast.data()));
  ASSERT_NE(a, nullptr);
  HammingCorrelator* full = hammingCorrelatorCreate(scheme->list, 1248);
  ASSERT_NE(full, nullptr);
  ASSERT_EQ(a->history->windowLength, 944);
  for (int k : {0, 1, 300, 943}) EXPECT_EQ(a->history->window[k], full->window[304 + k]) << k;
  hammingCorrelatorFree(full);
}

// Stage B: the full window and step divisor 4 whatever stage A's fast
// reaction; it shares stage A's codec and generator always, and its
// correlator only when stage A has the same full window.
struct CloneCase {
  const char* name;
  const char* file;
  std::vector<int32_t> options;  // for both stages; empty: defaults
  int32_t windowSymbols;         // stage B's F
  int32_t maxOffsetPast;         // ms
  int32_t maxOffsetFuture;       // ms
  int32_t rangeMode;
  bool sharesCorrelator;
};

class CloneGeometry : public ::testing::TestWithParam<CloneCase> {};

TEST_P(CloneGeometry, FullWindowAndOffsets) {
  const CloneCase& c = GetParam();
  auto scheme = load(c.file);
  ASSERT_NE(scheme->list, nullptr);
  const int32_t* o = c.options.empty() ? nullptr : c.options.data();
  StagePtr a(createSearchStage(scheme->list, scheme->params, o));
  ASSERT_NE(a, nullptr);
  PartialSearchStage* b = cloneSearchStage(a.get(), o);
  ASSERT_NE(b, nullptr);
  const int32_t n = scheme->list->phaseCount;
  EXPECT_EQ(searchStageWindow(b), n * c.windowSymbols);
  EXPECT_EQ(b->stepDivisor, 4);
  EXPECT_EQ(searchStageStep(b), n * c.windowSymbols / 4);
  ASSERT_NE(b->history, nullptr);
  EXPECT_EQ(b->history->windowLength, n * c.windowSymbols);
  EXPECT_EQ(b->maxOffsetPast, c.maxOffsetPast);
  EXPECT_EQ(b->maxOffsetFuture, c.maxOffsetFuture);
  EXPECT_EQ(b->rangeMode, c.rangeMode);
  EXPECT_EQ(b->riseThreshold, 10);
  EXPECT_EQ(b->codec, a->codec);
  EXPECT_EQ(b->generator, a->generator);
  EXPECT_EQ(b->history == a->history, c.sharesCorrelator);
  if (b->history == a->history) b->history = nullptr;  // stage A owns it
  deleteClonedSearchStage(b);
}

// T1: F = 78 (1248 slots); stage A with fast reaction has 59 (944 slots).
// T3, scheme 15: F = 23; stage B in station mode, +-1 s by default.
INSTANTIATE_TEST_SUITE_P(
    Cases, CloneGeometry,
    ::testing::Values(
        CloneCase{"T1Defaults", "scheme_t1_vt.cfg", {}, 78, 1000, 1000, 0, true},
        CloneCase{"T1FastReaction", "scheme_t1_vt.cfg", opts(-1, -1, 1, -1, -1, -1), 78, 1000,
                  1000, 0, false},
        CloneCase{"T3StationMode", "scheme_t3_ch8.cfg", {}, 23, 1000, 1000, 0, true},
        CloneCase{"T3OffsetsGiven", "scheme_t3_ch8.cfg", opts(-1, -1, -1, 3, 2, -1), 23, 3000, 2000,
                  0, true}),
    [](const ::testing::TestParamInfo<CloneCase>& info) { return info.param.name; });

TEST(PartialSearchStage, SetOptionsReportsWhetherTheWindowChanges) {
  auto scheme = load("scheme_t1_vt.cfg");
  ASSERT_NE(scheme->list, nullptr);
  StagePtr a(createSearchStage(scheme->list, scheme->params, nullptr));
  ASSERT_NE(a, nullptr);
  struct Step {
    std::vector<int32_t> options;
    int32_t result;
    int32_t persistence, gapFill, fast, past, rise;
  };
  const std::vector<Step> steps = {
      {opts(-1, -1, -1, -1, -1, -1), 1, 10000, 10000, 0, 31, 100},
      {opts(10000, 5000, 0, 7, -1, 20), 1, 10000, 5000, 0, 7, 20},
      {opts(8000, -1, -1, -1, -1, -1), 0, 8000, 5000, 0, 7, 20},
      {opts(-1, -1, 1, -1, -1, -1), 0, 8000, 5000, 1, 7, 20},
      {opts(-1, -1, 5, -1, -1, -1), 1, 8000, 5000, 1, 7, 20},  // any non-zero is on
      {opts(2000000000, 2000000000, -1, -1, -1, -1), 0, 3600000, 3600000, 1, 7, 20},
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    EXPECT_EQ(setSearchStageOptions(a.get(), s.options.data()), s.result) << i;
    EXPECT_EQ(a->persistence, s.persistence) << i;
    EXPECT_EQ(a->gapFill, s.gapFill) << i;
    EXPECT_EQ(a->fastReaction, s.fast) << i;
    EXPECT_EQ(a->maxOffsetPastOption, s.past) << i;
    EXPECT_EQ(a->riseThreshold, s.rise) << i;
  }
  // The window keeps its length until the stage is built again.
  EXPECT_EQ(searchStageWindow(a.get()), 1248);
  EXPECT_EQ(setSearchStageOptions(nullptr, steps[0].options.data()), 0);
}

TEST(PartialSearchStage, RejectsMissingScheme) {
  EXPECT_EQ(createSearchStage(nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(cloneSearchStage(nullptr, nullptr), nullptr);
  deleteSearchStage(nullptr);
  deleteClonedSearchStage(nullptr);
  EXPECT_EQ(searchStageStep(nullptr), 0);
  EXPECT_EQ(searchStageWindow(nullptr), 0);
}

// ---------------------------------------------------------------------------
// Metrics.

TEST(PartialMetricPairs, FollowTheBranchMetricsClampedAtMinusTwenty) {
  const int16_t* m = partialMetricPairs();
  struct Row {
    int s;
    int zero;  // metric when 0 was sent
    int one;   // metric when 1 was sent
  };
  // M: 0-90 -> 4, 126-130 -> 0, 140-143 -> -3, 109-118 -> 2, 198-200 -> -22,
  // 255 -> -50.
  for (const Row& r : std::vector<Row>{{0, 4, -20},
                                       {255, -20, 4},
                                       {128, 0, 0},
                                       {127, 0, 0},
                                       {140, -3, 2},
                                       {200, -20, 4},
                                       {115, 2, -3}}) {
    EXPECT_EQ(m[2 * r.s], r.zero) << r.s;
    EXPECT_EQ(m[2 * r.s + 1], r.one) << r.s;
  }
}

struct RiseCase {
  const char* name;
  std::vector<uint8_t> window;
  std::vector<uint8_t> bits;
  int32_t score;
  int32_t minIndex;
  int32_t maxIndex;
};

class RiseScore : public ::testing::TestWithParam<RiseCase> {};

TEST_P(RiseScore, SignAndTies) {
  const RiseCase& c = GetParam();
  int32_t minI = -9, maxI = -9;
  EXPECT_EQ(partialRiseScore(c.window.data(), c.bits.data(), static_cast<int32_t>(c.window.size()),
                             &minI, &maxI),
            c.score);
  EXPECT_EQ(minI, c.minIndex);
  EXPECT_EQ(maxI, c.maxIndex);
}

std::vector<uint8_t> repeat(std::vector<uint8_t> a, int n, std::vector<uint8_t> b = {}, int m = 0) {
  std::vector<uint8_t> out;
  for (int i = 0; i < n; ++i) out.insert(out.end(), a.begin(), a.end());
  for (int i = 0; i < m; ++i) out.insert(out.end(), b.begin(), b.end());
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RiseScore,
    ::testing::Values(
        // Ten right bits at +4: rises from 0 to 40.
        RiseCase{"OnlyRising", repeat({0}, 10), repeat({0}, 10), 40, -1, 9},
        // Only falling (-20 each): the maximum never moves, the score is negative.
        RiseCase{"OnlyFalling", repeat({255}, 6), repeat({0}, 6), -120, 5, -1},
        // Falls to -100, climbs back to 0 only: still negative.
        RiseCase{"FallThenBackToZero", repeat({255}, 30), repeat({0}, 5, {1}, 25), -100, 4, -1},
        // Falls to -100 at index 4, then 30 rights reach +20: 120.
        RiseCase{"FallThenRise", repeat({255}, 35), repeat({0}, 5, {1}, 30), 120, 4, 34},
        // Unknown bits add nothing; the flat sum ties the minimum at the last index.
        RiseCase{"AllUnknown", repeat({0}, 4), repeat({255}, 4), 0, 3, -1},
        // 4, 8, then flat: the maximum keeps the first index of the tie.
        RiseCase{"MaximumFirstOnTies", repeat({0}, 4), {0, 0, 255, 255}, 8, -1, 1},
        // 0, 0, then +4: the minimum takes the latest index of its tie.
        RiseCase{"MinimumLatestOnTies", {0, 0, 0}, {255, 255, 0}, 4, 1, 2}),
    [](const ::testing::TestParamInfo<RiseCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Items and lists.

TEST(PartialResultList, NewItemTakesTheFirstEmptyAndDoublesTheList) {
  PartialResultList list;
  ASSERT_EQ(createPartialResultList(&list, 0, 4, nullptr), 1);
  EXPECT_EQ(list.length, 1);
  EXPECT_EQ(list.timeShiftThreshold, 1000);
  EXPECT_EQ(list.publishDelay, 180000);
  EXPECT_EQ(list.maxListeningDuration, 3600000);
  PartialResultItem* first = newPartialResultItem(&list);
  EXPECT_EQ(first, list.items[0]);
  EXPECT_EQ(newPartialResultItem(&list), first);  // still empty
  markPartialResultPending(first);
  EXPECT_FALSE(isPartialResultHit(first));
  PartialResultItem* second = newPartialResultItem(&list);
  EXPECT_EQ(list.length, 2);
  EXPECT_EQ(second, list.items[1]);
  EXPECT_EQ(second->positionCount, 4);
  second->codeword = 5;
  PartialResultItem* third = newPartialResultItem(&list);
  EXPECT_EQ(list.length, 4);
  EXPECT_EQ(third, list.items[2]);
  EXPECT_EQ(list.items[3]->codeword, -1);
  EXPECT_EQ(countPartialResultHits(&list), 1);
  clearPartialResultList(&list);
  EXPECT_EQ(countPartialResultHits(&list), 0);
  EXPECT_EQ(first->codeword, -1);
  deletePartialResultList(&list);
  EXPECT_EQ(list.length, 0);
}

TEST(PartialResultList, OptionsKeepDefaultsForNegativeValues) {
  PartialResultList list;
  const int64_t given[3] = {-1000, 5000, 0};
  ASSERT_EQ(createPartialResultList(&list, 3, 2, given), 1);
  EXPECT_EQ(list.length, 3);
  EXPECT_EQ(list.timeShiftThreshold, 1000);
  EXPECT_EQ(list.publishDelay, 5000);
  EXPECT_EQ(list.maxListeningDuration, 0);
  const int64_t more[3] = {250, -1, int64_t{1} << 62};
  EXPECT_EQ(setPartialResultListOptions(&list, more), 1);
  EXPECT_EQ(list.timeShiftThreshold, 250);
  EXPECT_EQ(list.publishDelay, 5000);
  EXPECT_EQ(list.maxListeningDuration, kMaxListOptionMs);
  EXPECT_EQ(setPartialResultListOptions(nullptr, more), 0);
  deletePartialResultList(&list);
}

struct ItemSpec {
  int64_t codeword;
  int64_t timeShift;  // x8
  int64_t start, stop;  // x8
  int32_t metricInit = 0, metricSum = 0, nMerge = 1, nCodewords = 0;
  uint8_t startFinal = 0, stopFinal = 0;
};

void setItem(PartialResultItem* item, const ItemSpec& s, int32_t tag) {
  item->codeword = s.codeword;
  item->timeShift = s.timeShift;
  item->startTime = s.start;
  item->stopTime = s.stop;
  item->metricInit = s.metricInit;
  item->metricSum = s.metricSum;
  item->metricNMerge = s.nMerge;
  item->nCodewords = s.nCodewords;
  item->startFinal = s.startFinal;
  item->stopFinal = s.stopFinal;
  item->candidateIndex = 0;
  for (int32_t j = 0; j < item->positionCount; ++j) item->positions[j] = tag * 100 + j;
}

struct MergeCase {
  const char* name;
  std::vector<ItemSpec> items;
  int32_t merges;
  int32_t hitsAfter;
};

class MergeRules : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeRules, MergesOnlyCloseOverlappingSameWords) {
  const MergeCase& c = GetParam();
  PartialResultList list;
  ASSERT_EQ(createPartialResultList(&list, static_cast<int32_t>(c.items.size()), 2, nullptr), 1);
  for (size_t i = 0; i < c.items.size(); ++i) setItem(list.items[i], c.items[i], static_cast<int>(i));
  EXPECT_EQ(mergePartialResults(&list), c.merges);
  EXPECT_EQ(countPartialResultHits(&list), c.hitsAfter);
  deletePartialResultList(&list);
}

// Threshold 1000 ms = 8000 eighths.
INSTANTIATE_TEST_SUITE_P(
    Cases, MergeRules,
    ::testing::Values(
        MergeCase{"ExactlyAtThresholdAndTouching", {{7, 0, 0, 800}, {7, 8000, 800, 1600}}, 1, 1},
        MergeCase{"OneMillisecondBeyond", {{7, 0, 0, 800}, {7, 8008, 800, 1600}}, 0, 2},
        MergeCase{"NegativeDifference", {{7, 8000, 0, 800}, {7, 0, 400, 1600}}, 1, 1},
        MergeCase{"OtherCodeword", {{7, 0, 0, 800}, {8, 0, 0, 800}}, 0, 2},
        MergeCase{"SpansApart", {{7, 0, 0, 800}, {7, 0, 801, 1600}}, 0, 2},
        MergeCase{"EmptyItemsIgnored", {{-1, 0, 0, 800}, {7, 0, 0, 800}}, 0, 1},
        // c overlaps b only; a meets the merged c in a second pass.
        MergeCase{"SecondPass", {{7, 0, 120, 240}, {7, 0, 0, 80}, {7, 0, 40, 160}}, 2, 1}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return info.param.name; });

TEST(MergeRules, MergedItemCombinesMetricsSpanAndFlags) {
  PartialResultList list;
  ASSERT_EQ(createPartialResultList(&list, 2, 2, nullptr), 1);
  ItemSpec a{9, 100, 400, 800, 150, 20, 1, 2, 0, 1};
  ItemSpec b{9, 200, 100, 1200, 120, 60, 3, 1, 1, 0};
  setItem(list.items[0], a, 1);
  setItem(list.items[1], b, 2);
  EXPECT_EQ(mergePartialResults(&list), 1);
  const PartialResultItem* m = list.items[0];
  EXPECT_EQ(m->metricNMerge, 4);
  EXPECT_EQ(m->nCodewords, 3);
  EXPECT_EQ(m->metricInit, 150);
  EXPECT_EQ(m->metricSum, 60);
  EXPECT_EQ(m->startTime, 100);  // b starts earlier
  EXPECT_EQ(m->startFinal, 1);
  EXPECT_EQ(m->stopTime, 1200);  // b stops later: its stop, positions, shift
  EXPECT_EQ(m->timeShift, 200);
  EXPECT_EQ(m->positions[0], 200);
  EXPECT_EQ(m->positions[1], 201);
  EXPECT_EQ(m->stopFinal, 0);  // 1 AND 0
  EXPECT_EQ(list.items[1]->codeword, -1);

  // A start cut at publication (2) is kept.
  ItemSpec c{9, 0, 400, 800};
  c.startFinal = 2;
  c.stopFinal = 1;
  ItemSpec d{9, 0, 100, 600};
  d.stopFinal = 1;
  setItem(list.items[0], c, 1);
  setItem(list.items[1], d, 2);
  EXPECT_EQ(mergePartialResults(&list), 1);
  EXPECT_EQ(list.items[0]->startTime, 400);
  EXPECT_EQ(list.items[0]->startFinal, 2);
  EXPECT_EQ(list.items[0]->stopTime, 800);
  EXPECT_EQ(list.items[0]->positions[0], 100);
  EXPECT_EQ(list.items[0]->stopFinal, 1);
  deletePartialResultList(&list);
}

// ---------------------------------------------------------------------------
// Publication.

class Publication : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(createPartialResultList(&list_, 3, 2, nullptr), 1); }
  void TearDown() override { deletePartialResultList(&list_); }
  PartialResultList list_;
  VorselTResult result_{};
  static constexpr int64_t kT = 10000000;  // ms
};

TEST_F(Publication, FinalStopOldEnoughIsPublishedAndCleared) {
  ItemSpec s{42, 8 * 1234, 8 * (kT - 200000), 8 * (kT - 180000), 130, 40, 2, 1, 1, 1};
  setItem(list_.items[1], s, 1);
  int32_t fp = -1;
  PartialResultItem* item = publishVorselTResults(&list_, &result_, kT, 13 | (1 << 24), &fp);
  EXPECT_EQ(item, list_.items[1]);
  EXPECT_EQ(item->codeword, -1);  // cleared
  EXPECT_EQ(result_.encoderID, 42);
  EXPECT_EQ(result_.firstCodeword, -1);
  EXPECT_EQ(result_.timeShift, 1234);
  EXPECT_EQ(result_.startTime, kT - 200000);
  EXPECT_EQ(result_.stopTime, kT - 180000);
  EXPECT_TRUE(result_.startTimeFinal);
  EXPECT_TRUE(result_.stopTimeFinal);
  EXPECT_EQ(result_.encodingScheme, 13 | (1 << 24));
  EXPECT_EQ(result_.metricInit, 130);
  EXPECT_EQ(result_.metricSum, 40);
  EXPECT_EQ(result_.metricNMerge, 2);
  EXPECT_EQ(result_.nCodewords, 1);
  EXPECT_EQ(fp, 0);  // backed by a decoded code word
}

// Time shifts are published in milliseconds truncated toward zero.
TEST_F(Publication, TimeShiftsTruncateTowardZero) {
  const struct {
    int32_t scheme;
    int64_t eighths;
    int64_t ms;
  } rows[] = {{13, -12, -1}, {13, -7, 0}, {13, -16, -2}, {13, 12, 1}, {15, -12, -1}, {15, -17, -2}};
  for (const auto& r : rows) {
    ItemSpec s{42, r.eighths, 8 * (kT - 200000), 8 * (kT - 180000), 130, 40, 2, 1, 1, 1};
    setItem(list_.items[0], s, 0);
    ASSERT_EQ(publishVorselTResults(&list_, &result_, kT, r.scheme), list_.items[0]);
    EXPECT_EQ(r.scheme == 15 ? result_.timeSeqStart : result_.timeShift, r.ms)
        << "scheme " << r.scheme << ", " << r.eighths << " eighths";
  }
}

TEST_F(Publication, LatestStopIsOfferedAndKeptWhenNotYetFinal) {
  // Final, but one millisecond too recent for rule 1.
  ItemSpec a{42, 0, 8 * (kT - 200000), 8 * (kT - 179999), 100, 0, 1, 0, 0, 1};
  ItemSpec b{43, 0, 8 * (kT - 200000), 8 * (kT - 100000), 100, 0, 1, 0, 0, 0};
  ItemSpec c{44, 0, 8 * (kT - 200000), 8 * (kT - 100000), 100, 0, 1, 0, 0, 0};
  setItem(list_.items[0], a, 0);
  setItem(list_.items[1], b, 1);
  setItem(list_.items[2], c, 2);
  int32_t fp = -1;
  PartialResultItem* item = publishVorselTResults(&list_, &result_, kT, 16, &fp);
  EXPECT_EQ(item, list_.items[1]);  // ties keep the earlier item
  EXPECT_EQ(result_.encoderID, 43);
  EXPECT_FALSE(result_.stopTimeFinal);
  EXPECT_EQ(countPartialResultHits(&list_), 3);
  EXPECT_EQ(fp, 1);  // score 100, one match, no code word
  // Offered again next time.
  EXPECT_EQ(publishVorselTResults(&list_, &result_, kT, 16), list_.items[1]);
}

TEST_F(Publication, LongListeningIsCutAndSharesCodewords) {
  // Start exactly maxListeningDuration + publishDelay before t; the old stop
  // 400 s after the cut: a = 3600000, L = 4000000, 10 words -> (36e6 + 2e6)
  // / 4e6 = 9 for the result, 1 stays.
  const int64_t cut = kT - 180000;
  ItemSpec s{42, 0, 8 * (kT - 3780000), 8 * (cut + 400000), 200, 0, 1, 10, 0, 0};
  setItem(list_.items[0], s, 0);
  PartialResultItem* item = publishVorselTResults(&list_, &result_, kT, 13);
  ASSERT_EQ(item, list_.items[0]);
  EXPECT_EQ(result_.startTime, kT - 3780000);
  EXPECT_EQ(result_.stopTime, cut);
  EXPECT_TRUE(result_.stopTimeFinal);
  EXPECT_EQ(result_.nCodewords, 9);
  EXPECT_EQ(item->nCodewords, 1);
  EXPECT_EQ(item->startTime, 8 * cut);
  EXPECT_EQ(item->startFinal, 2);
  EXPECT_EQ(item->codeword, 42);  // still pending
}

TEST_F(Publication, OneMillisecondShortOfTheListeningLimitIsNotCut) {
  ItemSpec s{42, 0, 8 * (kT - 3779999), 8 * kT, 200, 0, 1, 10, 0, 0};
  setItem(list_.items[0], s, 0);
  publishVorselTResults(&list_, &result_, kT, 13);
  EXPECT_FALSE(result_.stopTimeFinal);
  EXPECT_EQ(result_.nCodewords, 10);
  EXPECT_EQ(list_.items[0]->startFinal, 0);
}

TEST_F(Publication, NoListeningLimitNeverCuts) {
  const int64_t none[3] = {-1, -1, 0};
  setPartialResultListOptions(&list_, none);
  ItemSpec s{42, 0, 0, 8 * kT, 200, 0, 1, 10, 0, 0};
  setItem(list_.items[0], s, 0);
  publishVorselTResults(&list_, &result_, kT, 13);
  EXPECT_EQ(result_.encoderID, 42);
  EXPECT_FALSE(result_.stopTimeFinal);
  EXPECT_EQ(list_.items[0]->startFinal, 0);
}

TEST_F(Publication, SequenceSchemeFillsFirstCodewordAndSequenceStart) {
  ItemSpec s{0x3e001805, 8 * 5000, 8 * 100, 8 * 900, 150, 0, 1, 0, 0, 0};
  setItem(list_.items[0], s, 0);
  publishVorselTResults(&list_, &result_, kT, 15 | (2 << 24));
  EXPECT_EQ(result_.encoderID, -1);
  EXPECT_EQ(result_.firstCodeword, 0x3e001805);
  EXPECT_EQ(result_.timeSeqStart, 5000);
  EXPECT_EQ(result_.encodingScheme, 15 | (2 << 24));
}

TEST_F(Publication, NothingToPublishClearsTheResult) {
  result_.encoderID = 5;
  result_.firstCodeword = 6;
  int32_t fp = -1;
  EXPECT_EQ(publishVorselTResults(&list_, &result_, kT, 13, &fp), nullptr);
  EXPECT_EQ(result_.encoderID, -1);
  EXPECT_EQ(result_.firstCodeword, -1);
  EXPECT_EQ(fp, 0);
  EXPECT_EQ(publishVorselTResults(nullptr, &result_, kT, 13), nullptr);
  EXPECT_EQ(publishVorselTResults(&list_, nullptr, kT, 13), nullptr);
}

// ---------------------------------------------------------------------------
// Searching a synthetic history.
//
// The history holds one soft symbol per phase step (16 ms for T1), as the
// matched filter writes it: a symbol's value appears in the step that ends
// the symbol, at every position, ±60 for channel bit 1 / 0, and 0 elsewhere.

class SyntheticHistory {
 public:
  SyntheticHistory(const SchemeConfig* scheme, int32_t slots)
      : scheme_(scheme), p_(scheme->positionCount), slots_(slots), rings_(p_) {
    for (auto& r : rings_) CircularBufferCharInit2(&r, nullptr, slots);
    views_[0] = rings_.data();
    codec_ = createCodewordCodec(&scheme->codec, 1);
    symbolMs_ = scheme->symbolDuration / 4;
    stepMs_ = symbolMs_ / scheme->phaseCount;
    const int32_t pb = p_;
    const int32_t bits = codewordChannelBitCount(&scheme->codec);
    wordSymbols_ = (bits + pb - 1) / pb;
  }
  ~SyntheticHistory() {
    for (auto& r : rings_) CircularBufferCharClose(&r);
    deleteCodewordCodec(codec_);
  }
  CircularBuffer* const* views() const { return views_; }
  int64_t codewordMs() const { return int64_t{wordSymbols_} * symbolMs_; }

  // word(k): the word whose station start is origin + k * D, or -1.
  using WordAt = std::function<int64_t(int64_t k)>;

  // Pushes steps up to and including time `until` (ms, a multiple of the
  // step). Signal: words of `wordAt` on the station grid `origin`, received
  // `lag` ms later, present from caller time `from` to `to`.
  void fill(int64_t until, int64_t origin, int64_t lag, WordAt wordAt, int64_t from, int64_t to) {
    if (newest_ == 0) newest_ = until - int64_t{slots_} * stepMs_;  // one ring back
    for (int64_t t = newest_ + stepMs_; t <= until; t += stepMs_) {
      const int64_t end = t - lag;  // station time at the end of this step
      int8_t values[8] = {0};
      // The symbol whose end falls into this step.
      const int64_t into = end - origin - floorDiv(end - origin, symbolMs_) * symbolMs_;
      const int64_t symbolEnd = end - into;
      if (into < stepMs_ && symbolEnd - symbolMs_ + lag >= from && symbolEnd + lag <= to) {
        const int64_t start = symbolEnd - symbolMs_;
        const int64_t k = floorDiv(start - origin, codewordMs());
        const int32_t f = static_cast<int32_t>((start - origin - k * codewordMs()) / symbolMs_);
        const int64_t word = wordAt(k);
        if (word >= 0) {
          const std::vector<uint8_t>& b = bitsOf(word);
          for (int32_t j = 0; j < p_ && j < 8; ++j) {
            const size_t idx = static_cast<size_t>(f * p_ + j);
            if (idx < b.size()) values[j] = b[idx] ? 60 : -60;
          }
        }
      }
      for (int32_t j = 0; j < p_; ++j) CircularBufferCharPush(&rings_[j], values[j]);
      newest_ = t;
    }
  }

 private:
  static int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0))) --q;
    return q;
  }
  const std::vector<uint8_t>& bitsOf(int64_t word) {
    auto it = cache_.find(word);
    if (it != cache_.end()) return it->second;
    std::vector<uint8_t> b(codewordChannelBitCount(&scheme_->codec));
    encodeCodeword(codec_, static_cast<uint64_t>(word), b.data());
    return cache_.emplace(word, std::move(b)).first->second;
  }

  const SchemeConfig* scheme_;
  int32_t p_;
  int32_t slots_;
  std::vector<CircularBuffer> rings_;
  CircularBuffer* views_[1];
  CodewordCodec* codec_;
  int64_t symbolMs_ = 0, stepMs_ = 0;
  int32_t wordSymbols_ = 0;
  int64_t newest_ = 0;
  std::map<int64_t, std::vector<uint8_t>> cache_;
};

// A time on T1's 16 ms step grid, 40 days after the base time.
constexpr int64_t kNow = kVorselBaseTimeMs + 40LL * 86400000;
constexpr int32_t kStation = 4321;

SyntheticHistory::WordAt vorselTvWords(int32_t id) {
  return [id](int64_t k) { return createVorselTvCodeWord(id, static_cast<int32_t>(k & 0x1fffff)); };
}

struct StationCase {
  const char* name;
  int64_t trueLag;       // ms the audio reaches the receiver after the station sends it
  int64_t candidateLag;  // ms the candidate list says
  bool found;
};

class StationSearch : public ::testing::TestWithParam<StationCase> {};

TEST_P(StationSearch, FindsTheStationAtItsTimeShift) {
  const StationCase& c = GetParam();
  auto scheme = load("scheme_t1_vt.cfg");
  ASSERT_NE(scheme->list, nullptr);
  StagePtr a(createSearchStage(scheme->list, scheme->params, nullptr));
  ASSERT_NE(a, nullptr);
  SyntheticHistory history(scheme->list, 8000);
  CandidateStations* list = createCandidateStations(2);
  addCandidateStation(list, kStation, c.candidateLag);
  PartialResultList results;
  ASSERT_EQ(createPartialResultList(&results, 1, 4, nullptr), 1);

  int32_t refine = -1;
  history.fill(kNow, kVorselBaseTimeMs, c.trueLag, vorselTvWords(kStation), 0, INT64_MAX);
  EXPECT_EQ(searchPartialCodewords(a.get(), kNow, history.views(), list, &results, &refine, 0),
            nullptr);
  EXPECT_EQ(refine, 0);
  EXPECT_EQ(a->cursor, kNow + 4992);  // one step: 312 slots of 16 ms
  // Not yet at the cursor: nothing happens.
  const int64_t t2 = kNow + 4992 - 16;
  history.fill(t2, kVorselBaseTimeMs, c.trueLag, vorselTvWords(kStation), 0, INT64_MAX);
  EXPECT_EQ(searchPartialCodewords(a.get(), t2, history.views(), list, &results, &refine, 0), nullptr);
  EXPECT_EQ(a->candidateIndex, -1);
  const int64_t t3 = kNow + 4992;
  history.fill(t3, kVorselBaseTimeMs, c.trueLag, vorselTvWords(kStation), 0, INT64_MAX);
  PartialResultItem* item =
      searchPartialCodewords(a.get(), t3, history.views(), list, &results, &refine, 0);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(refine, 1);
  EXPECT_EQ(a->cursor, kNow + 2 * 4992);
  if (!c.found) {
    EXPECT_FALSE(isPartialResultHit(item));
    EXPECT_EQ(item->codeword, -2);
  } else {
    ASSERT_TRUE(isPartialResultHit(item));
    EXPECT_EQ(item->codeword, kStation);
    EXPECT_EQ(item->candidateIndex, 0);
    EXPECT_EQ(item->metricNMerge, 1);
    EXPECT_GE(item->metricInit, 100);
    EXPECT_NEAR(static_cast<double>(item->timeShift), 8.0 * c.trueLag, 8 * 16) << item->timeShift;
    EXPECT_EQ(item->startTime, item->stopTime);
    // The matched stretch lies inside the window that ends at the cursor.
    EXPECT_LE(item->startTime, 8 * t3);
    EXPECT_GE(item->startTime, 8 * (t3 - 20000));
  }
  deletePartialResultList(&results);
  deleteCandidateStations(list);
}

INSTANTIATE_TEST_SUITE_P(
    Lags, StationSearch,
    ::testing::Values(StationCase{"OnTime", 0, 0, true},
                      StationCase{"LateOnGrid", 5008, 0, true},
                      StationCase{"LateOffGrid", 5003, 0, true},
                      StationCase{"EarlyWithinFuture", -4000, 0, true},
                      StationCase{"CandidateLagMatches", 60000, 60000, true},
                      StationCase{"LateAtThePastLimit", 30000, 0, true},
                      StationCase{"TooLate", 45000, 0, false},
                      StationCase{"TooEarly", -16000, 0, false}),
    [](const ::testing::TestParamInfo<StationCase>& info) { return info.param.name; });

TEST(PartialSearch, DecoyStationFindsNothingAndEveryCandidateIsEncodedForItsOwnId) {
  auto scheme = load("scheme_t1_vt.cfg");
  ASSERT_NE(scheme->list, nullptr);
  StagePtr a(createSearchStage(scheme->list, scheme->params, nullptr));
  SyntheticHistory history(scheme->list, 8000);
  // The decoy comes first with the same lag: the true station must not
  // reuse the decoy's bits.
  CandidateStations* list = createCandidateStations(2);
  addCandidateStation(list, kStation + 77, 0);
  addCandidateStation(list, kStation, 0);
  PartialResultList results;
  ASSERT_EQ(createPartialResultList(&results, 1, 4, nullptr), 1);
  history.fill(kNow, kVorselBaseTimeMs, 0, vorselTvWords(kStation), 0, INT64_MAX);
  searchPartialCodewords(a.get(), kNow, history.views(), list, &results, nullptr, 0);
  const int64_t t = kNow + 4992;
  history.fill(t, kVorselBaseTimeMs, 0, vorselTvWords(kStation), 0, INT64_MAX);
  PartialResultItem* item = searchPartialCodewords(a.get(), t, history.views(), list, &results, nullptr, 0);
  ASSERT_TRUE(isPartialResultHit(item));
  EXPECT_EQ(item->codeword, kStation);
  EXPECT_EQ(item->candidateIndex, 1);

  // Only the decoy: nothing.
  CandidateStations* decoy = createCandidateStations(1);
  addCandidateStation(decoy, kStation + 77, 0);
  clearPartialResultItem(item);
  const int64_t t2 = t + 4992;
  history.fill(t2, kVorselBaseTimeMs, 0, vorselTvWords(kStation), 0, INT64_MAX);
  item = searchPartialCodewords(a.get(), t2, history.views(), decoy, &results, nullptr, 0);
  ASSERT_NE(item, nullptr);
  EXPECT_FALSE(isPartialResultHit(item));
  deletePartialResultList(&results);
  deleteCandidateStations(list);
  deleteCandidateStations(decoy);
}

TEST(PartialSearch, CandidatesPerCallFollowElapsedTime) {
  auto scheme = load("scheme_t1_vt.cfg");
  StagePtr a(createSearchStage(scheme->list, scheme->params, nullptr));
  SyntheticHistory history(scheme->list, 4000);
  CandidateStations* list = createCandidateStations(10);
  for (int i = 0; i < 10; ++i) addCandidateStation(list, 100 + i, 0);
  PartialResultList results;
  ASSERT_EQ(createPartialResultList(&results, 1, 4, nullptr), 1);
  auto silent = [](int64_t) { return int64_t{-1}; };
  history.fill(kNow, 0, 0, silent, 0, 0);
  searchPartialCodewords(a.get(), kNow, history.views(), list, &results, nullptr, 0);
  // 500 ms after the previous call: ceil(2 * 10 * 500 / 4992) = 3.
  int64_t t = kNow + 4992 - 500;
  history.fill(t, 0, 0, silent, 0, 0);
  searchPartialCodewords(a.get(), t, history.views(), list, &results, nullptr, 0);
  EXPECT_EQ(a->candidateIndex, -1);  // cursor not reached
  t += 500;
  history.fill(t, 0, 0, silent, 0, 0);
  int32_t refine = -1;
  EXPECT_EQ(searchPartialCodewords(a.get(), t, history.views(), list, &results, &refine, 0), nullptr);
  EXPECT_EQ(a->candidateIndex, 3);
  EXPECT_EQ(refine, 0);
  // 96 ms: ceil(1920 / 4992) = 1; no time at all: still 1.
  struct Call {
    int64_t dt;
    int32_t index;
  };
  for (const Call& call : {Call{96, 4}, Call{0, 5}, Call{2496, 10}}) {
    t += call.dt;
    history.fill(t, 0, 0, silent, 0, 0);
    PartialResultItem* item =
        searchPartialCodewords(a.get(), t, history.views(), list, &results, &refine, 0);
    EXPECT_EQ(a->candidateIndex, call.index);
    EXPECT_EQ(item != nullptr, call.index == 10);
  }
  EXPECT_EQ(refine, 1);
  EXPECT_EQ(a->cursor, kNow + 2 * 4992);
  deletePartialResultList(&results);
  deleteCandidateStations(list);
}

TEST(PartialSearch, NoCandidatesEndsTheSweepWithoutAnItem) {
  auto scheme = load("scheme_t1_vt.cfg");
  StagePtr a(createSearchStage(scheme->list, scheme->params, nullptr));
  SyntheticHistory history(scheme->list, 4000);
  PartialResultList results;
  ASSERT_EQ(createPartialResultList(&results, 1, 4, nullptr), 1);
  CandidateStations* empty = createCandidateStations(4);
  auto silent = [](int64_t) { return int64_t{-1}; };
  history.fill(kNow, 0, 0, silent, 0, 0);
  int32_t refine = -1;
  searchPartialCodewords(a.get(), kNow, history.views(), nullptr, &results, &refine, 0);
  history.fill(kNow + 4992, 0, 0, silent, 0, 0);
  for (const CandidateStations* list : {static_cast<const CandidateStations*>(nullptr),
                                        static_cast<const CandidateStations*>(empty)}) {
    const int64_t cursor = a->cursor;
    EXPECT_EQ(searchPartialCodewords(a.get(), cursor, history.views(), list, &results, &refine, 0),
              nullptr);
    EXPECT_EQ(refine, 1);
    EXPECT_EQ(a->cursor, cursor + 4992);
    history.fill(cursor + 4992, 0, 0, silent, 0, 0);
  }
  EXPECT_EQ(countPartialResultHits(&results), 0);
  EXPECT_EQ(results.items[0]->codeword, -1);
  deletePartialResultList(&results);
  deleteCandidateStations(empty);
}

TEST(PartialSearch, ClockGoingBackRestartsTheScheduleAndFreesThePendingItem) {
  auto scheme = load("scheme_t1_vt.cfg");
  StagePtr a(createSearchStage(scheme->list, scheme->params, nullptr));
  SyntheticHistory history(scheme->list, 4000);
  CandidateStations* list = createCandidateStations(10);
  for (int i = 0; i < 10; ++i) addCandidateStation(list, 100 + i, 0);
  PartialResultList results;
  ASSERT_EQ(createPartialResultList(&results, 1, 4, nullptr), 1);
  auto silent = [](int64_t) { return int64_t{-1}; };
  history.fill(kNow + 4992, 0, 0, silent, 0, 0);
  searchPartialCodewords(a.get(), kNow, history.views(), list, &results, nullptr, 0);
  searchPartialCodewords(a.get(), kNow + 4900, history.views(), list, &results, nullptr, 0);
  searchPartialCodewords(a.get(), kNow + 4992, history.views(), list, &results, nullptr, 0);
  ASSERT_EQ(a->candidateIndex, 1);  // ceil(2 * 10 * 92 / 4992)
  ASSERT_EQ(results.items[0]->codeword, -2);  // the sweep's pending item
  EXPECT_EQ(searchPartialCodewords(a.get(), kNow - 60000, history.views(), list, &results, nullptr, 0),
            nullptr);
  EXPECT_EQ(a->cursor, kNow - 60000 + 4992);
  EXPECT_EQ(a->candidateIndex, -1);
  EXPECT_EQ(results.items[0]->codeword, -1);
  // A shorter list while a sweep runs: the sweep counts as ended and its
  // pending item is freed when the next sweep starts.
  searchPartialCodewords(a.get(), kNow - 60000 + 4900, history.views(), list, &results, nullptr, 0);
  searchPartialCodewords(a.get(), kNow - 60000 + 4992, history.views(), list, &results, nullptr, 0);
  ASSERT_EQ(a->candidateIndex, 1);
  ASSERT_EQ(results.items[0]->codeword, -2);
  list->count = 1;
  searchPartialCodewords(a.get(), kNow - 60000 + 5000, history.views(), list, &results, nullptr, 0);
  EXPECT_EQ(results.length, 1);  // the freed item was taken again
  deletePartialResultList(&results);
  deleteCandidateStations(list);
}

TEST(PartialSearch, CursorLeftBehindTheHistoryMovesOnByWholeSteps) {
  auto scheme = load("scheme_t1_vt.cfg");
  StagePtr a(createSearchStage(scheme->list, scheme->params, nullptr));
  SyntheticHistory history(scheme->list, 2000);  // 32 s of history
  PartialResultList results;
  ASSERT_EQ(createPartialResultList(&results, 1, 4, nullptr), 1);
  CandidateStations* list = createCandidateStations(1);
  addCandidateStation(list, kStation, 0);
  history.fill(kNow, kVorselBaseTimeMs, 0, vorselTvWords(kStation), 0, INT64_MAX);
  searchPartialCodewords(a.get(), kNow, history.views(), list, &results, nullptr, 0);
  // An hour later the history holds only the last 32 s.
  const int64_t later = kNow + 3600000;
  history.fill(later, kVorselBaseTimeMs, 0, vorselTvWords(kStation), 0, INT64_MAX);
  PartialResultItem* item = searchPartialCodewords(a.get(), later, history.views(), list, &results, nullptr, 0);
  ASSERT_NE(item, nullptr);
  EXPECT_TRUE(isPartialResultHit(item));
  EXPECT_EQ((a->cursor - (kNow + 4992)) % 4992, 0);
  EXPECT_GT(a->cursor, later - 32000 + 20000);
  EXPECT_LE(a->cursor, later + 4992);
  deletePartialResultList(&results);
  deleteCandidateStations(list);
}

// Range mode on T3: event-engine-2 words of one track, consecutive offsets.
TEST(PartialSearch, RangeModeFindsTheSequenceStart) {
  auto scheme = load("scheme_t3_ch8.cfg");
  ASSERT_NE(scheme->list, nullptr);
  StagePtr a(createSearchStage(scheme->list, scheme->params, nullptr));
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->rangeMode, 1);
  SyntheticHistory history(scheme->list, 8000);
  const int64_t first = createEventEngine2CodeWord(12, 100);
  const int32_t count = 6;
  const int64_t d = history.codewordMs();  // 30 symbols of 256 ms
  ASSERT_EQ(d, 7680);
  const int64_t seqStart = kNow - 3 * d - 512;  // caller time of the first word
  auto words = [&](int64_t k) { return k >= 0 && k < count ? first + k : int64_t{-1}; };
  CandidateStations* list = createCandidateStations(2);
  addCodewordSequence(list, first + 1000, count);  // a range that is not sent
  addCodewordSequence(list, first, count);
  PartialResultList results;
  ASSERT_EQ(createPartialResultList(&results, 1, 4, nullptr), 1);
  history.fill(kNow, seqStart, 0, words, seqStart, seqStart + count * d);
  searchPartialCodewords(a.get(), kNow, history.views(), list, &results, nullptr, 0);
  const int64_t step = searchStageStepMs(a.get());
  EXPECT_EQ(step, 92 * 16 * 1 / 1);  // 23 * 16 / 4 = 92 slots of 16 ms
  history.fill(kNow + step, seqStart, 0, words, seqStart, seqStart + count * d);
  PartialResultItem* item =
      searchPartialCodewords(a.get(), kNow + step, history.views(), list, &results, nullptr, 0);
  ASSERT_TRUE(isPartialResultHit(item));
  EXPECT_EQ(item->codeword, first);
  EXPECT_EQ(item->rangeCount, count);
  EXPECT_EQ(item->candidateIndex, 1);
  EXPECT_NEAR(static_cast<double>(item->timeShift), 8.0 * seqStart, 8 * 16);

  VorselTResult r{};
  publishVorselTResults(&results, &r, kNow + step, 15);
  EXPECT_EQ(r.firstCodeword, first);
  EXPECT_NEAR(static_cast<double>(r.timeSeqStart), static_cast<double>(seqStart), 16);
  deletePartialResultList(&results);
  deleteCandidateStations(list);
}

// ---------------------------------------------------------------------------
// Extension.

TEST(PartialSearch, ExtensionWalksToTheSignalEdgesAndStopsAtGaps) {
  auto scheme = load("scheme_t1_vt.cfg");
  StagePtr a(createSearchStage(scheme->list, scheme->params, nullptr));
  SyntheticHistory history(scheme->list, 12000);  // 192 s
  CandidateStations* list = createCandidateStations(1);
  addCandidateStation(list, kStation, 0);
  PartialResultList results;
  ASSERT_EQ(createPartialResultList(&results, 1, 4, nullptr), 1);
  // Signal on the symbol grid from 60 s before kNow to 30 s after.
  const int64_t from = kNow - 60000 - ((kNow - 60000 - kVorselBaseTimeMs) % 256);
  const int64_t to = from + 90 * 1024;
  auto fill = [&](int64_t until) { history.fill(until, kVorselBaseTimeMs, 0, vorselTvWords(kStation), from, to); };
  fill(kNow);
  searchPartialCodewords(a.get(), kNow, history.views(), list, &results, nullptr, 0);
  fill(kNow + 4992);
  PartialResultItem* item =
      searchPartialCodewords(a.get(), kNow + 4992, history.views(), list, &results, nullptr, 0);
  ASSERT_TRUE(isPartialResultHit(item));
  ASSERT_NEAR(static_cast<double>(item->timeShift), 0.0, 8 * 16);

  // Backwards: over the start of the signal, then 40 silent symbols exceed
  // the 10 s gap fill.
  EXPECT_EQ(extendPartialResult(a.get(), history.views(), item, 1), 1);
  EXPECT_EQ(item->startFinal, 1);
  EXPECT_EQ(item->startTime, 8 * from);
  EXPECT_GT(item->metricSum, 0);
  EXPECT_EQ(extendPartialResult(a.get(), history.views(), item, 1), 1);  // already final

  // Forwards: the history ends while the signal goes on.
  EXPECT_EQ(extendPartialResult(a.get(), history.views(), item, 0), 0);
  EXPECT_EQ(item->stopFinal, 0);
  const int64_t t = kNow + 4992;
  EXPECT_EQ(item->stopTime, 8 * (t - (t - from) % 256));  // the last whole symbol
  const int32_t sum = item->metricSum;
  const int32_t position = item->positions[0];
  // Later the signal ends and more than 10 s of silence follow.
  fill(to + 12000);
  a->lastTime = to + 12000;
  EXPECT_EQ(extendPartialResult(a.get(), history.views(), item, 0), 1);
  EXPECT_EQ(item->stopFinal, 1);
  EXPECT_EQ(item->stopTime, 8 * to);
  EXPECT_GT(item->metricSum, sum);
  EXPECT_GT(item->positions[0], position);

  // Not a hit: nothing.
  PartialResultItem* empty = createPartialResultItem(4);
  EXPECT_EQ(extendPartialResult(a.get(), history.views(), empty, 1), 0);
  deletePartialResultItem(empty);
  deletePartialResultList(&results);
  deleteCandidateStations(list);
}

}  // namespace
}  // namespace tembrolexinsdk
