#include "core/decoder/vorselt_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/scheme_config_reader.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace tembrolexinsdk {
namespace {

std::string dataFile(const char* name) { return std::string(TL_TEST_DATA_DIR) + "/" + name; }

struct ContextDeleter {
  void operator()(VorselTContext* c) const { TembrolexinVorselT_Close(c); }
};
using ContextPtr = std::unique_ptr<VorselTContext, ContextDeleter>;

struct ListDeleter {
  void operator()(CandidateStations* l) const { deleteCandidateStations(l); }
};
using ListPtr = std::unique_ptr<CandidateStations, ListDeleter>;

std::vector<int32_t> noOptions() { return std::vector<int32_t>(kVorselTOptionCount, -1); }

// Feeds `count` samples of `block`-sample pieces of silence or noise ending
// at successive times; returns the time of the last block.
int64_t feed(VorselTContext* ctx, const std::vector<int16_t>& samples, int64_t startTime,
             int32_t block, std::vector<VorselTResult>* published = nullptr,
             int32_t* fullDecodes = nullptr) {
  const int32_t n = TembrolexinVorselT_NEncodingSchemes(ctx);
  const int32_t fs = TembrolexinVorselT_FsIn(ctx);
  std::vector<PerformanceData> perf(static_cast<size_t>(n));
  std::vector<VorselTResult> results(static_cast<size_t>(n));
  int64_t t = startTime;
  for (size_t s = 0; s < samples.size(); s += static_cast<size_t>(block)) {
    const size_t len = std::min(static_cast<size_t>(block), samples.size() - s);
    std::vector<int16_t> piece(samples.begin() + static_cast<std::ptrdiff_t>(s),
                               samples.begin() + static_cast<std::ptrdiff_t>(s + len));
    t = startTime + static_cast<int64_t>(s + len) * 1000 / fs;
    TembrolexinVorselT_ProcessData(ctx, piece.data(), static_cast<int32_t>(len), perf.data(), t,
                                   results.data());
    for (int32_t i = 0; i < n; ++i) {
      if (fullDecodes != nullptr && perf[i].msg >= 0) ++*fullDecodes;
      if (published != nullptr && (results[i].encoderID >= 0 || results[i].firstCodeword >= 0))
        published->push_back(results[i]);
    }
  }
  return t;
}

int64_t flush(VorselTContext* ctx, int64_t time) {
  std::vector<PerformanceData> perf(static_cast<size_t>(TembrolexinVorselT_NEncodingSchemes(ctx)));
  return TembrolexinVorselT_ProcessData(ctx, nullptr, 0, perf.data(), time, nullptr);
}

std::vector<int16_t> noise(int32_t count, uint32_t seed) {
  const std::vector<double> n = tltest::makeNoise(tltest::NoiseKind::kWhite, static_cast<size_t>(count), seed);
  std::vector<int16_t> out(n.size());
  for (size_t i = 0; i < n.size(); ++i) out[i] = tltest::saturate16(n[i] * 2000);
  return out;
}

// A time 40 days after the base time of the timed layouts.
constexpr int64_t kStart = kVorselBaseTimeMs + 40LL * 86400000;

// ---------------------------------------------------------------------------
// Initialisation and options.

TEST(VorselTInit, RefusesBadConfigurationWithTheLibraryText) {
  EXPECT_EQ(TembrolexinVorselT_Init(dataFile("no_such_file.cfg").c_str()), nullptr);
  EXPECT_NE(std::string(TembrolexinVorselT_GetErrorMsg()), "");
  TembrolexinVorselT_Close(nullptr);
  EXPECT_EQ(TembrolexinVorselT_NEncodingSchemes(nullptr), 0);
  EXPECT_EQ(TembrolexinVorselT_FsIn(nullptr), 0);
  EXPECT_EQ(TembrolexinVorselT_resultsUnpublished(nullptr), 0);
}

TEST(VorselTInit, SchemesWithoutPartialSearchOnlyRunTheLibrary) {
  ContextPtr ctx(TembrolexinVorselT_Init(dataFile("scheme_t5_vc.cfg").c_str()));
  ASSERT_NE(ctx, nullptr) << TembrolexinVorselT_GetErrorMsg();
  ASSERT_EQ(ctx->schemeCount, 1);
  EXPECT_EQ(ctx->searches[0], nullptr);
  std::vector<int16_t> block = noise(1024, 3);
  PerformanceData perf{};
  VorselTResult result{};
  result.encoderID = 7;
  result.firstCodeword = 8;
  EXPECT_EQ(TembrolexinVorselT_ProcessData(ctx.get(), block.data(), 1024, &perf, kStart, &result), -1);
  EXPECT_EQ(result.encoderID, -1);
  EXPECT_EQ(result.firstCodeword, -1);
  EXPECT_EQ(TembrolexinVorselT_FlushResults(ctx.get(), &result, kStart + 1000), 0);
  EXPECT_EQ(TembrolexinVorselT_resultsUnpublished(ctx.get()), 0);
  EXPECT_EQ(TembrolexinVorselT_ProcessData(ctx.get(), block.data(), 1024, nullptr, kStart, &result), -1);
  EXPECT_EQ(TembrolexinVorselT_ProcessData(nullptr, block.data(), 1024, &perf, kStart, &result), -1);
}

struct HistoryCase {
  const char* name;
  int64_t seconds;
  int32_t slots;
};

class HistoryLength : public ::testing::TestWithParam<HistoryCase> {};

// T1: a slot is 16 ms (128 eighths); the window 1248 slots; a word 35 symbols.
TEST_P(HistoryLength, ViewsHoldTheAskedLength) {
  const HistoryCase& c = GetParam();
  ContextPtr ctx(TembrolexinVorselT_InitWithHistoryLength(dataFile("scheme_t1_vt.cfg").c_str(), c.seconds));
  ASSERT_NE(ctx, nullptr) << TembrolexinVorselT_GetErrorMsg();
  ASSERT_NE(ctx->searches[0], nullptr);
  EXPECT_EQ(ctx->searches[0]->historySlots, c.slots);
  EXPECT_EQ(getMatchedFilterBufferLength(ctx->library, 0), c.slots);
}

INSTANTIATE_TEST_SUITE_P(Cases, HistoryLength,
                         ::testing::Values(HistoryCase{"Default", -1, 37500},
                                           HistoryCase{"TwoMinutes", 120, 7500},
                                           HistoryCase{"ShorterThanTheWindow", 1, 1248},
                                           HistoryCase{"ClampedToAnHour", 10000000000LL, 225000}),
                         [](const ::testing::TestParamInfo<HistoryCase>& i) { return i.param.name; });

TEST(VorselTOptions, ConversionWithAndWithoutAnArray) {
  int32_t a[kStageOptionCount], b[kStageOptionCount];
  int64_t l[kListOptionCount];
  convertVorselTOptions(nullptr, a, b, l);
  for (int i = 0; i < kStageOptionCount; ++i) {
    EXPECT_EQ(a[i], -1);
    EXPECT_EQ(b[i], -1);
  }
  for (int i = 0; i < kListOptionCount; ++i) EXPECT_EQ(l[i], -1);

  std::vector<int32_t> o = noOptions();
  o[kOptPersistence] = 7;
  o[kOptMaxOffsetPast] = 20;
  o[kOptMaxOffsetFuture] = 4;
  o[kOptRiseThreshold] = 90;
  o[kOptMaxOffsetPastCW] = 2;
  o[kOptRiseThresholdCW] = 12;
  o[kOptTimeShiftThreshold] = 3;
  o[kOptMaxListeningDuration] = 2000000;  // 2e9 ms needs 64 bits
  o[kOptFastReaction] = 1;
  convertVorselTOptions(o.data(), a, b, l);
  const int32_t wantA[] = {7000, -1000, 1, 20, 4, 90};
  const int32_t wantB[] = {7000, -1000, 1, 2, -1, 12};
  const int64_t wantL[] = {3000, -1000, 2000000000LL};
  for (int i = 0; i < kStageOptionCount; ++i) {
    EXPECT_EQ(a[i], wantA[i]) << i;
    EXPECT_EQ(b[i], wantB[i]) << i;
  }
  for (int i = 0; i < kListOptionCount; ++i) EXPECT_EQ(l[i], wantL[i]) << i;

  // Persistence and gap fill beyond an hour are clamped before multiplying.
  o[kOptPersistence] = 2000000000;
  o[kOptGapFill] = 5000;
  convertVorselTOptions(o.data(), a, b, l);
  EXPECT_EQ(a[0], 3600000);
  EXPECT_EQ(a[1], 3600000);
}

TEST(VorselTOptions, InitWithOptionsReachesStagesAndResultList) {
  std::vector<int32_t> o = noOptions();
  o[kOptRiseThreshold] = 80;
  o[kOptRiseThresholdCW] = 15;
  o[kOptPublishDelay] = 5;
  ContextPtr ctx(TembrolexinVorselT_InitWithOptions(dataFile("scheme_t1_vt.cfg").c_str(), 60, o.data()));
  ASSERT_NE(ctx, nullptr);
  const PartialSearchRecord* r = ctx->searches[0];
  EXPECT_EQ(r->stageA->riseThreshold, 80);
  EXPECT_EQ(r->stageB->riseThreshold, 15);
  EXPECT_EQ(r->results.publishDelay, 5000);
  EXPECT_EQ(r->results.timeShiftThreshold, 1000);
  EXPECT_EQ(r->anchors.publishDelay, 180000);
  EXPECT_EQ(r->stageB->history, r->stageA->history);

  ContextPtr fast(TembrolexinVorselT_InitFastReaction(dataFile("scheme_t1_vt.cfg").c_str()));
  ASSERT_NE(fast, nullptr);
  EXPECT_EQ(fast->searches[0]->stageA->fastReaction, 1);
  EXPECT_EQ(searchStageWindow(fast->searches[0]->stageA), 59 * 16);
  EXPECT_EQ(fast->searches[0]->stageA->stepDivisor, 3);
  EXPECT_NE(fast->searches[0]->stageB->history, fast->searches[0]->stageA->history);
  // Stage B keeps its full window (78 symbols) and step divisor.
  EXPECT_EQ(searchStageWindow(fast->searches[0]->stageB), 78 * 16);
  EXPECT_EQ(fast->searches[0]->stageB->stepDivisor, 4);
}

// Three T1 schemes in one context.
std::string threeSchemes() {
  const std::string f = dataFile("scheme_t1_vt.cfg");
  return f + " " + f + " " + f;
}

TEST(VorselTOptions, SetOptionsReachesOneOrEveryScheme) {
  ContextPtr ctx(TembrolexinVorselT_InitWithHistoryLength(threeSchemes().c_str(), 30));
  ASSERT_NE(ctx, nullptr) << TembrolexinVorselT_GetErrorMsg();
  ASSERT_EQ(ctx->schemeCount, 3);
  std::vector<int32_t> o = noOptions();
  o[kOptRiseThreshold] = 55;
  o[kOptTimeShiftThreshold] = 2;
  TembrolexinVorselT_setOptions(ctx.get(), -1, o.data());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ctx->searches[i]->stageA->riseThreshold, 55) << i;
    EXPECT_EQ(ctx->searches[i]->results.timeShiftThreshold, 2000) << i;
  }
  o[kOptRiseThreshold] = 66;
  TembrolexinVorselT_setOptions(ctx.get(), 1, o.data());
  EXPECT_EQ(ctx->searches[0]->stageA->riseThreshold, 55);
  EXPECT_EQ(ctx->searches[1]->stageA->riseThreshold, 66);
  EXPECT_EQ(ctx->searches[2]->stageA->riseThreshold, 55);
  // Out of range and null are ignored.
  TembrolexinVorselT_setOptions(ctx.get(), 3, o.data());
  TembrolexinVorselT_setOptions(ctx.get(), -2, o.data());
  TembrolexinVorselT_setOptions(nullptr, 0, o.data());
}

TEST(VorselTOptions, StagesAreRebuiltOnlyWhenTheWindowChanges) {
  ContextPtr ctx(TembrolexinVorselT_InitWithHistoryLength(dataFile("scheme_t1_vt.cfg").c_str(), 10));
  ASSERT_NE(ctx, nullptr);
  PartialSearchRecord* r = ctx->searches[0];
  EXPECT_EQ(r->historySlots, 1248);
  std::vector<int32_t> o = noOptions();
  o[kOptRiseThreshold] = 70;
  o[kOptGapFill] = 4;
  o[kOptMaxOffsetPast] = 12;
  const PartialSearchStage* before = r->stageA;
  TembrolexinVorselT_setOptions(ctx.get(), 0, o.data());
  EXPECT_EQ(r->stageA, before);
  EXPECT_EQ(r->stageA->gapFill, 4000);
  EXPECT_EQ(r->stageA->maxOffsetPastOption, 12);
  EXPECT_EQ(r->stageA->maxOffsetPast, 12000);  // offsets take effect at once

  // 20 s persistence: F = (40000 + 128) / 256 = 156 symbols, 2496 slots,
  // longer than the views: they are taken again.
  o = noOptions();
  o[kOptPersistence] = 20;
  TembrolexinVorselT_setOptions(ctx.get(), 0, o.data());
  EXPECT_NE(r->stageA, before);
  EXPECT_EQ(searchStageWindow(r->stageA), 2496);
  EXPECT_EQ(r->stageA->riseThreshold, 70);  // earlier options stay
  EXPECT_EQ(r->stageA->maxOffsetPast, 12000);
  EXPECT_EQ(r->stageB->history, r->stageA->history);
  EXPECT_EQ(r->historySlots, 2496);
  EXPECT_EQ(getMatchedFilterBufferLength(ctx->library, 0), 2496);

  // Fast reaction alone also rebuilds.
  before = r->stageA;
  o = noOptions();
  o[kOptFastReaction] = 1;
  TembrolexinVorselT_setOptions(ctx.get(), 0, o.data());
  EXPECT_NE(r->stageA, before);
  EXPECT_EQ(r->stageA->stepDivisor, 3);
  // Searching still works after the rebuild.
  feed(ctx.get(), noise(8000 * 3, 5), kStart, 1024);
}

TEST(VorselTCandidates, StationsAndSequencesGoToTheirSchemes) {
  const std::string text = dataFile("scheme_t1_vt.cfg") + " " + dataFile("scheme_t3_ch8.cfg");
  ContextPtr ctx(TembrolexinVorselT_InitWithHistoryLength(text.c_str(), 30));
  ASSERT_NE(ctx, nullptr) << TembrolexinVorselT_GetErrorMsg();
  ListPtr stations(createCandidateStations(2));
  ListPtr ranges(createCandidateStations(2));
  TembrolexinVorselT_CandidateStations(ctx.get(), stations.get());
  TembrolexinVorselT_CodewordSequences(ctx.get(), ranges.get());
  EXPECT_EQ(ctx->searches[0]->candidates, stations.get());
  EXPECT_EQ(ctx->searches[1]->candidates, ranges.get());
  TembrolexinVorselT_CandidateStations(ctx.get(), nullptr);
  EXPECT_EQ(ctx->searches[0]->candidates, nullptr);
  EXPECT_EQ(ctx->searches[1]->candidates, ranges.get());
}

// ---------------------------------------------------------------------------
// Gaps and flushing.

class VorselTGaps : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_.reset(TembrolexinVorselT_InitWithHistoryLength(dataFile("scheme_t1_vt.cfg").c_str(), 10));
    ASSERT_NE(ctx_, nullptr);
    // Two blocks of 1024 samples (128 ms): lastDelta 128.
    last_ = feed(ctx_.get(), noise(2048, 9), kStart, 1024);
    ASSERT_EQ(ctx_->lastDelta, 128);
  }
  void block(int64_t time) {
    std::vector<int16_t> b = noise(1024, 10);
    PerformanceData perf{};
    TembrolexinVorselT_ProcessData(ctx_.get(), b.data(), 1024, &perf, time, nullptr);
  }
  ContextPtr ctx_;
  int64_t last_ = 0;
};

TEST_F(VorselTGaps, FlushFillsUpToTheMarginAndTheNextBlockTheRest) {
  flush(ctx_.get(), last_ + 2000);  // margin: half the 1000 ms threshold
  EXPECT_EQ(ctx_->gapSamplesFilled, 1500 * 8);
  EXPECT_EQ(ctx_->gapPending, 1);
  EXPECT_EQ(ctx_->lastTime, last_ + 1500);
  block(last_ + 2128);  // starts at last + 2000
  EXPECT_EQ(ctx_->gapSamplesFilled, 2000 * 8);
  EXPECT_EQ(ctx_->gapPending, 0);
  EXPECT_EQ(ctx_->lastTime, last_ + 2128);
  EXPECT_EQ(ctx_->lastDelta, 128);
}

TEST_F(VorselTGaps, SecondFlushFillsOnlyPastTheMarginAgain) {
  flush(ctx_.get(), last_ + 2000);
  flush(ctx_.get(), last_ + 2000);
  EXPECT_EQ(ctx_->gapSamplesFilled, 1500 * 8);
  flush(ctx_.get(), last_ + 2001);
  EXPECT_EQ(ctx_->gapSamplesFilled, 1501 * 8);
}

TEST_F(VorselTGaps, NoFillWithoutANormalBlockDuration) {
  block(last_);  // the same time again: lastDelta 0
  EXPECT_EQ(ctx_->lastDelta, 0);
  flush(ctx_.get(), last_ + 5000);
  EXPECT_EQ(ctx_->gapSamplesFilled, 0);
  EXPECT_EQ(ctx_->gapPending, 0);
}

TEST_F(VorselTGaps, LongPauseIsCappedAtHistoryPlusOneWindow) {
  // History and window are 1248 slots of 16 ms each: 39936 ms of silence at
  // most, 319488 samples.
  flush(ctx_.get(), last_ + 1000);
  EXPECT_EQ(ctx_->gapSamplesFilled, 500 * 8);
  block(last_ + 3600000 + 128);
  EXPECT_EQ(ctx_->gapSamplesFilled, 500 * 8 + 319488);
  EXPECT_EQ(ctx_->lastTime, last_ + 3600000 + 128);
  // The search's clock followed.
  EXPECT_GE(ctx_->searches[0]->stageA->lastTime, last_ + 3600000);
}

TEST_F(VorselTGaps, PauseBelowTheCapIsFilledWhole) {
  flush(ctx_.get(), last_ + 1000);
  block(last_ + 30000 + 128);
  EXPECT_EQ(ctx_->gapSamplesFilled, 30000 * 8);
}

TEST_F(VorselTGaps, FlushWithNothingPendingForgetsTheHistory) {
  PartialSearchRecord* r = ctx_->searches[0];
  // Something in the rings and an anchor.
  feed(ctx_.get(), noise(8000, 11), last_, 1024);
  PartialResultItem* anchor = newPartialResultItem(&r->anchors);
  anchor->codeword = 3;
  EXPECT_EQ(TembrolexinVorselT_resultsUnpublished(ctx_.get()), 1);
  bool any = false;
  for (int32_t j = 0; j < 4; ++j)
    for (int32_t k = 0; k < 200; ++k) any = any || CircularBufferCharAt(&r->historyViews[0][j], k) != 0;
  ASSERT_TRUE(any);
  VorselTResult result{};
  EXPECT_EQ(TembrolexinVorselT_FlushResults(ctx_.get(), &result, last_ + 2000), 0);
  for (int32_t j = 0; j < 4; ++j)
    for (int32_t k = 0; k < r->historySlots; ++k)
      ASSERT_EQ(CircularBufferCharAt(&r->historyViews[0][j], k), 0);
  EXPECT_EQ(countPartialResultHits(&r->anchors), 0);
  EXPECT_EQ(TembrolexinVorselT_resultsUnpublished(ctx_.get()), 0);
}

TEST_F(VorselTGaps, FlushPublishesPendingResultsAndCountsThem) {
  PartialSearchRecord* r = ctx_->searches[0];
  PartialResultItem* item = newPartialResultItem(&r->results);
  item->codeword = 4321;
  item->timeShift = 8 * 2000;
  item->startTime = 8 * (last_ - 5000);
  item->stopTime = 8 * (last_ - 1000);
  item->metricInit = 150;
  item->metricNMerge = 1;
  EXPECT_EQ(TembrolexinVorselT_resultsUnpublished(ctx_.get()), 1);
  VorselTResult result{};
  EXPECT_EQ(TembrolexinVorselT_FlushResults(ctx_.get(), &result, last_), 1);
  EXPECT_EQ(result.encoderID, 4321);
  EXPECT_EQ(result.timeShift, 2000);
  EXPECT_EQ(result.encodingScheme, 13);
  EXPECT_EQ(countPartialResultHits(&r->results), 0);
  EXPECT_EQ(TembrolexinVorselT_FlushResults(nullptr, &result, last_), 0);
}

// ---------------------------------------------------------------------------
// End to end: generator audio below the level where full decoding works.
//
// Measured with this generator (depth 0.3, white host, white noise added in
// band, seven words): T1, T3 and T4 fully decode every word at -3 dB in-band
// SNR, fewer than half at -5 dB and at most one at -6 dB. The search runs 5
// to 6 dB below -3 dB, where no word decodes in full.
constexpr int32_t kWords = 7;

enum class Kind { kVorselTv, kHeartbeat, kSequence };

struct EndToEndCase {
  const char* name;
  const char* file;
  Kind kind;
  int64_t origin;     // start of the words' period
  double snrDb;
  bool expectFull;    // full decoding works at this level
  int64_t lag;        // ms the station is received after it sends
  int32_t persistence;  // s, -1 for the default
  bool fastReaction = false;
};

struct SchemeFile {
  SchemeConfig* list = nullptr;
  MessageParams* params = nullptr;
  ~SchemeFile() {
    freeSchemeConfigList(list);
    freeMessageParams(params);
  }
};

class VorselTEndToEnd : public ::testing::TestWithParam<EndToEndCase> {};

constexpr int32_t kStation = 1234;
constexpr int32_t kDecoy = 1301;

TEST_P(VorselTEndToEnd, PublishesTheSentCandidateAtItsTimeShift) {
  const EndToEndCase& c = GetParam();
  SchemeFile scheme;
  scheme.list = readSchemeConfig(dataFile(c.file).c_str(), &scheme.params);
  ASSERT_NE(scheme.list, nullptr);
  const int32_t rate = scheme.list->rateCode * 1000;
  const int32_t pb = scheme.list->positionCount * schemeBandCount(scheme.list);
  const int64_t symbol = scheme.list->symbolDuration / 4;
  const int64_t d = (codewordChannelBitCount(&scheme.list->codec) + pb - 1) / pb * symbol;
  // 40 days into the period; heartbeat words count by the day, from the
  // day range's first counter, so twelve hours into it.
  const int64_t j0 = (c.kind == Kind::kHeartbeat ? 12LL * 3600000 : 40LL * 86400000) / d + 3;
  std::vector<int64_t> values;
  const int64_t firstSequence = createEventEngine2CodeWord(77, 300);
  for (int32_t k = 0; k < kWords; ++k) {
    switch (c.kind) {
      case Kind::kVorselTv:
        values.push_back(createVorselTvCodeWord(kStation, static_cast<int32_t>(j0 + k)));
        break;
      case Kind::kHeartbeat:
        values.push_back(createHeartBeat2CodeWord(
            kStation, static_cast<int32_t>(kHeartbeatDayCounter + j0 + k)));
        break;
      case Kind::kSequence:
        values.push_back(firstSequence + k);
        break;
    }
  }
  tltest::GeneratorOptions o;
  o.depth = 0.3;
  o.seed = 5;
  o.leadIn = rate * 4;
  o.tail = rate * 6;
  tltest::GeneratedSignal sig = tltest::generateSignal(*scheme.list, values, o);
  tltest::addNoise(&sig.samples, rate, c.snrDb, tltest::NoiseKind::kWhite, 9, 100,
                   rate / 2 - 100);
  // The first word is sent at origin + j0 * D and received lag ms later, at
  // sample leadIn.
  const int64_t firstWordCaller = c.origin + j0 * d + c.lag;
  const int64_t t0 = firstWordCaller - 4000;

  std::vector<int32_t> options = noOptions();
  options[kOptPersistence] = c.persistence;
  options[kOptFastReaction] = c.fastReaction ? 1 : -1;
  ContextPtr ctx(TembrolexinVorselT_InitWithOptions(dataFile(c.file).c_str(), 120, options.data()));
  ASSERT_NE(ctx, nullptr) << TembrolexinVorselT_GetErrorMsg();
  ListPtr list(createCandidateStations(4));
  if (c.kind == Kind::kSequence) {
    addCodewordSequence(list.get(), createEventEngine2CodeWord(78, 300), 20);  // decoy track
    addCodewordSequence(list.get(), firstSequence, 20);
    TembrolexinVorselT_CodewordSequences(ctx.get(), list.get());
  } else {
    addCandidateStation(list.get(), kDecoy, c.lag);
    addCandidateStation(list.get(), kStation, 0);
    addCandidateStation(list.get(), kDecoy + 1, 0);
    TembrolexinVorselT_CandidateStations(ctx.get(), list.get());
  }
  std::vector<VorselTResult> published;
  int32_t full = 0;
  const int64_t end = feed(ctx.get(), sig.samples, t0, 1024, &published, &full);
  VorselTResult last{};
  if (TembrolexinVorselT_FlushResults(ctx.get(), &last, end) == 1) published.push_back(last);

  if (c.expectFull) {
    EXPECT_GE(full, kWords - 1);
  } else {
    EXPECT_EQ(full, 0) << "not below the full-decoding level";
  }
  ASSERT_FALSE(published.empty());
  const int64_t step = symbol / scheme.list->phaseCount;
  int32_t withWords = 0;
  for (const VorselTResult& r : published) {
    EXPECT_EQ(r.encodingScheme, scheme.list->scheme);
    if (c.kind == Kind::kSequence) {
      EXPECT_EQ(r.encoderID, -1);
      EXPECT_EQ(r.firstCodeword, firstSequence);
      EXPECT_LE(std::abs(r.timeSeqStart - firstWordCaller), step) << r.timeSeqStart - firstWordCaller;
    } else {
      EXPECT_EQ(r.encoderID, kStation);  // never a decoy
      EXPECT_LE(std::abs(r.timeShift - c.lag), step) << r.timeShift;
    }
    EXPECT_LE(r.startTime, r.stopTime);
    if (r.nCodewords > 0) ++withWords;
  }
  // The last publication spans most of the sent words.
  const VorselTResult& final = published.back();
  EXPECT_LE(final.startTime, firstWordCaller + d);
  EXPECT_GE(final.stopTime, firstWordCaller + (kWords - 1) * d);
  // Full decodes become anchors whose stretch stage B confirms.
  if (c.expectFull) {
    EXPECT_GT(withWords, 0);
  } else {
    EXPECT_EQ(withWords, 0);
  }
}

// 2026-01-01 00:00 UTC: the start of the day the heartbeat words count from.
constexpr int64_t kYear2026 = 1767225600000LL;

INSTANTIATE_TEST_SUITE_P(
    Cases, VorselTEndToEnd,
    ::testing::Values(
        EndToEndCase{"T1StationMode", "scheme_t1_vt.cfg", Kind::kVorselTv, kVorselBaseTimeMs, -8.0,
                     false, 2000, -1},
        EndToEndCase{"T4Heartbeat", "scheme_t4_cs4.cfg", Kind::kHeartbeat, kYear2026, -9.0, false,
                     -3000, -1},
        // Ranges search a 3 s persistence by default; the processor's
        // 10 s lets the search reach as far below full decoding as the others.
        EndToEndCase{"T3Ranges", "scheme_t3_ch8.cfg", Kind::kSequence, kYear2026, -8.0, false, 0, 10},
        EndToEndCase{"T1AnchorDrivesStageB", "scheme_t1_vt.cfg", Kind::kVorselTv, kVorselBaseTimeMs,
                     0.0, true, 2000, -1},
        EndToEndCase{"T1FastReactionAnchors", "scheme_t1_vt.cfg", Kind::kVorselTv,
                     kVorselBaseTimeMs, 0.0, true, 2000, -1, true},
        // Anchors of the sequence scheme: stage B searches their time line.
        EndToEndCase{"T3AnchorsDriveStageB", "scheme_t3_ch8.cfg", Kind::kSequence, kYear2026, 0.0,
                     true, 0, 10}),
    [](const ::testing::TestParamInfo<EndToEndCase>& i) { return i.param.name; });


// Every fully decoded word becomes an anchor, and only a refine clears one;
// anchors that no search can use any more are dropped, so the list of a
// decoder that runs for days stays as short as its history is long: with a
// 30 s history, at most span / code-word duration + 2 hit anchors (the span
// being the history and one stage B window), and in real time all of them
// stop within the span before the newest block. Fed faster than it plays,
// the caller's clock hardly moves, and the count alone bounds the list.
struct AnchorCase {
  const char* name;
  bool realTime;  // the caller's clock moves with the audio; else 1 ms a block
};

class VorselTAnchors : public ::testing::TestWithParam<AnchorCase> {};

TEST_P(VorselTAnchors, ListStaysWithinTheSearchableSpan) {
  SchemeFile scheme;
  scheme.list = readSchemeConfig(dataFile("scheme_t2_vtw.cfg").c_str(), &scheme.params);
  ASSERT_NE(scheme.list, nullptr);
  std::vector<int64_t> words;
  for (int32_t k = 0; k < 20; ++k) words.push_back(createVorselTvCodeWord(kStation, 1000 + k));
  tltest::GeneratorOptions o;
  o.seed = 4;
  tltest::GeneratedSignal clip = tltest::generateSignal(*scheme.list, words, o);
  tltest::addNoise(&clip.samples, clip.rateHz, 10, tltest::NoiseKind::kWhite, 5, 100,
                   clip.rateHz / 2 - 100);

  ContextPtr ctx(TembrolexinVorselT_InitWithHistoryLength(dataFile("scheme_t2_vtw.cfg").c_str(), 30));
  ASSERT_NE(ctx, nullptr) << TembrolexinVorselT_GetErrorMsg();
  const PartialSearchRecord* r = ctx->searches[0];
  ASSERT_NE(r, nullptr);
  const SchemeConfig* sc = r->stageA->scheme;
  const int64_t step8 = (static_cast<int64_t>(sc->symbolDuration / 4) * 8) / sc->phaseCount;
  const int64_t spanMs =
      (static_cast<int64_t>(r->historySlots) + searchStageWindow(r->stageB)) * step8 / 8;
  EncodingSchemeInfo info{};
  ASSERT_EQ(TembrolexinVorselT_GetSchemeInfo(ctx.get(), 0, &info), 1);

  const int32_t fs = TembrolexinVorselT_FsIn(ctx.get());
  std::vector<PerformanceData> perf(1);
  int64_t t = kVorselBaseTimeMs + 40LL * 86400000;
  int32_t full = 0;
  int32_t mostHits = 0;
  std::vector<int16_t> block(2048);
  const size_t total = clip.samples.size() * 8;  // several minutes, well past the history
  for (size_t at = 0; at + block.size() <= total; at += block.size()) {
    for (size_t i = 0; i < block.size(); ++i) block[i] = clip.samples[(at + i) % clip.samples.size()];
    t += GetParam().realTime ? static_cast<int64_t>(block.size()) * 1000 / fs : 1;
    TembrolexinVorselT_ProcessData(ctx.get(), block.data(), static_cast<int32_t>(block.size()),
                                   perf.data(), t, nullptr);
    if (perf[0].msg >= 0) ++full;
    int32_t hits = 0;
    for (int32_t k = 0; k < r->anchors.length; ++k) {
      const PartialResultItem* a = r->anchors.items[k];
      if (!isPartialResultHit(a)) continue;
      ++hits;
      ASSERT_GE(a->stopTime / 8, t - spanMs) << "an anchor older than any search can use";
    }
    mostHits = std::max(mostHits, hits);
  }
  EXPECT_GT(full, 100);  // anchors kept coming
  EXPECT_LE(mostHits, spanMs / info.codewordDuration + 2);
  EXPECT_LE(r->anchors.length, 64);
}

INSTANTIATE_TEST_SUITE_P(Clocks, VorselTAnchors,
                         ::testing::Values(AnchorCase{"PlaysInRealTime", true},
                                           AnchorCase{"FedFasterThanItPlays", false}),
                         [](const ::testing::TestParamInfo<AnchorCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tembrolexinsdk
