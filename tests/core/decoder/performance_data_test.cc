#include "core/decoder/performance_data.h"
#include "tests/core/decoder/param_names.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace tembrolexinsdk {
namespace {

PerformanceData reset() {
  PerformanceData d;
  performanceDataReset(&d);
  return d;
}

TEST(PerformanceData, ResetGivesEveryUnsetValue) {
  PerformanceData d;
  std::memset(&d, 0x55, sizeof d);
  EXPECT_EQ(performanceDataReset(&d), &d);
  EXPECT_EQ(d.syncState, -1);
  EXPECT_EQ(d.meanSignalStrength, -1);
  EXPECT_EQ(d.meanVolume, -1);
  EXPECT_EQ(d.currentSignalStrength, -1);
  EXPECT_EQ(d.currentVolume, -1);
  EXPECT_EQ(d.bitSlicePosSig, -1);
  EXPECT_EQ(d.sigConfidence, 0);
  EXPECT_EQ(d.sigScheme, -1);
  EXPECT_EQ(d.msg, -1);
  EXPECT_EQ(d.nFecErrors, -1);
  EXPECT_EQ(d.msgSignalStrength95pc, -1);
  EXPECT_EQ(d.msgVolume, -1);
  EXPECT_EQ(d.bitSlicePosMsg, -1);
  EXPECT_EQ(d.cwSampleNo, -1);
  EXPECT_EQ(d.msgConfidence, 0);
  EXPECT_EQ(d.msgScheme, -1);
  EXPECT_EQ(performanceDataReset(nullptr), nullptr);
}

TEST(PerformanceData, HalfResetsTouchOnlyTheirHalf) {
  PerformanceData d = reset();
  d.syncState = 1;
  d.msg = 7;
  d.msgConfidence = 3;
  d.sigConfidence = 2;
  PerformanceData sig = d;
  performanceDataResetSig(&sig);
  EXPECT_EQ(sig.syncState, -1);
  EXPECT_EQ(sig.sigConfidence, 0);
  EXPECT_EQ(sig.msg, 7);
  EXPECT_EQ(sig.msgConfidence, 3);
  PerformanceData msg = d;
  performanceDataResetMsg(&msg);
  EXPECT_EQ(msg.msg, -1);
  EXPECT_EQ(msg.msgConfidence, 0);
  EXPECT_EQ(msg.syncState, 1);
  PerformanceData many[3];
  many[2].msg = 5;
  performanceDataResetN(many, 3);
  EXPECT_EQ(many[2].msg, -1);
}

TEST(PerformanceData, SigCopyTakesMsgConfidenceOnlyWhenUnset) {
  PerformanceData source = reset();
  source.syncState = 2;
  source.meanSignalStrength = 30;
  source.meanVolume = 60;
  source.currentSignalStrength = 31;
  source.currentVolume = 61;
  source.bitSlicePosSig = 4;
  source.sigConfidence = 2;
  source.sigScheme = 13;
  source.msgConfidence = 3;
  source.msg = 99;
  PerformanceData destination = reset();
  copyPerformanceDataSig(&source, &destination);
  EXPECT_EQ(destination.syncState, 2);
  EXPECT_EQ(destination.meanVolume, 60);
  EXPECT_EQ(destination.currentVolume, 61);
  EXPECT_EQ(destination.sigScheme, 13);
  EXPECT_EQ(destination.msgConfidence, 3);
  EXPECT_EQ(destination.msg, -1);
  destination.msgConfidence = 1;
  copyPerformanceDataSig(&source, &destination);
  EXPECT_EQ(destination.msgConfidence, 1);
}

PerformanceData message(int64_t msg, int16_t errors, int16_t strength) {
  PerformanceData d = reset();
  d.msg = msg;
  d.nFecErrors = errors;
  d.msgSignalStrength95pc = strength;
  d.msgVolume = 50;
  d.bitSlicePosMsg = 3;
  d.cwSampleNo = 1234;
  d.msgConfidence = 2;
  d.msgScheme = 16;
  return d;
}

struct MsgCase {
  const char* name;
  PerformanceData best;
  PerformanceData candidate;
  int32_t replaced;
};

class MessageMerge : public ::testing::TestWithParam<MsgCase> {};

TEST_P(MessageMerge, FollowsErrorsThenStrength) {
  MsgCase c = GetParam();
  PerformanceData best = c.best;
  EXPECT_EQ(getBestMsg(&best, &c.candidate), c.replaced);
  const PerformanceData& expected = c.replaced ? c.candidate : c.best;
  EXPECT_EQ(best.msg, expected.msg);
  EXPECT_EQ(best.nFecErrors, expected.nFecErrors);
  EXPECT_EQ(best.cwSampleNo, expected.cwSampleNo);
  EXPECT_EQ(best.msgScheme, expected.msgScheme);
  EXPECT_EQ(best.syncState, c.best.syncState);  // the signal half is not touched
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MessageMerge,
    ::testing::Values(MsgCase{"NoErrorCount", message(1, 0, 10), message(5, -1, 90), 0},
                      MsgCase{"NegativeMsg", reset(), message(-1, 0, 90), 0},
                      MsgCase{"BestEmpty", reset(), message(5, 3, 1), 1},
                      MsgCase{"BestMsgWithoutCount", message(1, -1, 10), message(5, 3, 1), 1},
                      MsgCase{"FewerErrors", message(1, 2, 90), message(5, 1, 10), 1},
                      MsgCase{"MoreErrors", message(1, 1, 10), message(5, 2, 90), 0},
                      MsgCase{"SameErrorsStronger", message(1, 1, 10), message(5, 1, 11), 1},
                      MsgCase{"SameErrorsTie", message(1, 1, 10), message(5, 1, 10), 0}),
    [](const auto& info) { return std::string(info.param.name); });

PerformanceData signal(int32_t state, int16_t mean) {
  PerformanceData d = reset();
  d.syncState = state;
  d.meanSignalStrength = mean;
  d.sigScheme = 100 + state;
  return d;
}

struct SigCase {
  int32_t bestState;
  int16_t bestMean;
  int32_t candidateState;
  int16_t candidateMean;
  int32_t replaced;
};

class SignalMerge : public ::testing::TestWithParam<SigCase> {};

TEST_P(SignalMerge, RanksOneAboveTwoAboveZeroAboveNone) {
  const SigCase& c = GetParam();
  PerformanceData best = signal(c.bestState, c.bestMean);
  const PerformanceData candidate = signal(c.candidateState, c.candidateMean);
  EXPECT_EQ(getBestSig(&best, &candidate), c.replaced);
  EXPECT_EQ(best.syncState, c.replaced ? c.candidateState : c.bestState);
  EXPECT_EQ(best.meanSignalStrength, c.replaced ? c.candidateMean : c.bestMean);
}

// The full table of state pairs; equal states compare the mean strength.
INSTANTIATE_TEST_SUITE_P(
    StateTable, SignalMerge,
    ::testing::Values(
        SigCase{-1, 0, -1, 5, 1}, SigCase{-1, 5, -1, 5, 0}, SigCase{-1, 9, 0, 0, 1},
        SigCase{-1, 9, 1, 0, 1}, SigCase{-1, 9, 2, 0, 1},
        SigCase{0, 40, -1, 99, 0}, SigCase{0, 40, 0, 40, 0}, SigCase{0, 40, 0, 41, 1},
        SigCase{0, 40, 1, 0, 1}, SigCase{0, 40, 2, 0, 1},
        SigCase{1, 0, -1, 99, 0}, SigCase{1, 0, 0, 99, 0}, SigCase{1, 0, 2, 99, 0},
        SigCase{1, 5, 1, 6, 1},
        SigCase{2, 40, -1, 99, 0}, SigCase{2, 40, 0, 99, 0}, SigCase{2, 99, 1, 0, 1},
        SigCase{2, 40, 2, 39, 0}, SigCase{2, 40, 2, 41, 1},
        SigCase{7, 0, 1, 99, 0}),
    [](const ::testing::TestParamInfo<SigCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"best", p.bestState}, {"mean", p.bestMean}, {"candidate", p.candidateState}, {"mean", p.candidateMean}});
    });

TEST(PerformanceData, BestMergeCombinesHalvesOfDifferentSchemes) {
  PerformanceData best = reset();
  PerformanceData a = message(11, 0, 20);
  a.syncState = 0;
  a.meanSignalStrength = 5;
  PerformanceData b = reset();
  b.syncState = 1;
  b.meanSignalStrength = 1;
  b.msgConfidence = 4;
  getBestPerformanceData(&best, &a);
  getBestPerformanceData(&best, &b);
  EXPECT_EQ(best.msg, 11);
  EXPECT_EQ(best.syncState, 1);
  EXPECT_EQ(best.msgConfidence, 2);  // already set by the message of a
  PerformanceData bests[2] = {reset(), reset()};
  PerformanceData candidates[2] = {a, b};
  getBestPerformanceDataN(bests, candidates, 2);
  EXPECT_EQ(bests[0].msg, 11);
  EXPECT_EQ(bests[1].syncState, 1);
  EXPECT_EQ(bests[1].msgConfidence, 4);  // taken with the signal half
}

TEST(PerformanceData, IncrementCwSampleNoOnlyForRecordsWithACodeWord) {
  PerformanceData d[3] = {message(5, 0, 1), reset(), message(0, -1, 1)};
  d[2].cwSampleNo = INT32_MAX - 1;
  incrementCwSampleNo(d, 3, 100);
  EXPECT_EQ(d[0].cwSampleNo, 1334);
  EXPECT_EQ(d[1].cwSampleNo, -1);
  EXPECT_EQ(d[2].cwSampleNo, INT32_MAX);  // saturates
}

VorselTResult result(int32_t scheme, int32_t q, int32_t merges, int64_t span, int32_t codewords = 0) {
  VorselTResult r{};
  clearVorselTResult(&r);
  r.encoderID = 7;
  r.encodingScheme = scheme;
  r.metricInit = q;
  r.metricNMerge = merges;
  r.startTime = 1000000;
  r.stopTime = 1000000 + span;
  r.nCodewords = codewords;
  return r;
}

struct FalsePositiveCase {
  int32_t scheme, q, merges;
  int64_t span;
  int32_t codewords;
  int32_t dropped;
};

class FalsePositive : public ::testing::TestWithParam<FalsePositiveCase> {};

TEST_P(FalsePositive, FollowsTheScoreSpanLine) {
  const FalsePositiveCase& c = GetParam();
  const VorselTResult r = result(c.scheme, c.q, c.merges, c.span, c.codewords);
  EXPECT_EQ(vorselTResultFalsePositive(&r), c.dropped)
      << "scheme " << c.scheme << " q " << c.q << " span " << c.span;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FalsePositive,
    ::testing::Values(
        FalsePositiveCase{13, 0, 0, 0, 1, 0},        // a decoded code word always stays
        FalsePositiveCase{13, 150, 1, 0, 0, 0},      // score above 149
        FalsePositiveCase{13, 120, 3, 0, 0, 0},      // more than two merges
        FalsePositiveCase{13, 110, 1, 100000, 0, 1}, // below 111 at any span
        FalsePositiveCase{13, 123, 1, 15000, 0, 1}, FalsePositiveCase{13, 124, 1, 15000, 0, 0},
        FalsePositiveCase{13, 148, 1, 5001, 0, 1}, FalsePositiveCase{13, 149, 1, 5001, 0, 0},
        FalsePositiveCase{13, 111, 1, 15001, 0, 0}, FalsePositiveCase{13, 149, 1, 5000, 0, 1},
        FalsePositiveCase{13, 149, 2, -5, 0, 1},
        // Scheme 18 gets 15 points of allowance, whatever its context index.
        FalsePositiveCase{18, 138, 1, 15000, 0, 1}, FalsePositiveCase{18, 139, 1, 15000, 0, 0},
        FalsePositiveCase{18, 164, 1, 0, 0, 1}, FalsePositiveCase{18, 165, 1, 0, 0, 0},
        FalsePositiveCase{(2 << 24) | 18, 139, 1, 15000, 0, 0},
        FalsePositiveCase{(2 << 24) | 18, 138, 1, 15000, 0, 1},
        FalsePositiveCase{(2 << 24) | 13, 139, 1, 5001, 0, 1}),
    [](const ::testing::TestParamInfo<FalsePositiveCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"scheme", p.scheme}, {"score", p.q}, {"merges", p.merges}, {"span", p.span}, {"words", p.codewords}});
    });

TEST(VorselTResult, ClearKeepsStaleFields) {
  VorselTResult r = result(13, 130, 1, 9000, 2);
  r.startTimeFinal = true;
  r.stopTimeFinal = true;
  r.firstCodeword = 77;
  clearVorselTResult(&r);
  EXPECT_EQ(r.encoderID, -1);
  EXPECT_EQ(r.firstCodeword, -1);
  EXPECT_FALSE(r.startTimeFinal);
  EXPECT_FALSE(r.stopTimeFinal);
  EXPECT_EQ(r.metricInit, 130);
  EXPECT_EQ(r.nCodewords, 2);
  clearVorselTResult(nullptr);
  EXPECT_EQ(vorselTResultFalsePositive(nullptr), 0);
}

TEST(VorselTResult, ExtremeTimesDoNotOverflow) {
  VorselTResult r = result(13, 130, 1, 0);
  r.startTime = INT64_MIN;
  r.stopTime = INT64_MAX;
  EXPECT_EQ(vorselTResultFalsePositive(&r), 0);  // a huge span lets 111 and above stand
  r.startTime = INT64_MAX;
  r.stopTime = INT64_MIN;
  EXPECT_EQ(vorselTResultFalsePositive(&r), 1);
}

TEST(CandidateStations, BoundedListOfStationsAndRanges) {
  CandidateStations* list = createCandidateStations(2);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->capacity, 2);
  EXPECT_EQ(list->count, 0);
  EXPECT_EQ(list->entries[1].stationId, 0);
  EXPECT_EQ(addCandidateStation(list, 42, 1500), 1);
  EXPECT_EQ(addCandidateStation(list, 43, -20), 1);
  EXPECT_EQ(addCandidateStation(list, 44, 0), 0);
  EXPECT_EQ(list->count, 2);
  EXPECT_EQ(list->entries[1].stationId, 43);
  EXPECT_EQ(list->entries[1].lagMs, -20);
  deleteCandidateStations(list);

  list = createCandidateStations(3);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(addCodewordSequence(list, 100, 10), 1);
  EXPECT_EQ(addCodewordSequence(list, 105, 20), 1);
  EXPECT_EQ(list->entries[0].offset, 0);
  EXPECT_EQ(getCodewordSequence(list, 99), nullptr);
  EXPECT_EQ(getCodewordSequence(list, 100), &list->entries[0]);
  EXPECT_EQ(getCodewordSequence(list, 109), &list->entries[0]);
  EXPECT_EQ(getCodewordSequence(list, 110), &list->entries[1]);  // first + number is outside the first
  EXPECT_EQ(getCodewordSequence(list, 125), nullptr);
  EXPECT_EQ(addCodewordSequence(list, INT64_MAX - 1, 5), 1);
  EXPECT_EQ(getCodewordSequence(list, INT64_MAX), &list->entries[2]);
  EXPECT_EQ(getCodewordSequence(nullptr, 5), nullptr);
  deleteCandidateStations(list);
  deleteCandidateStations(nullptr);
  EXPECT_EQ(createCandidateStations(-1), nullptr);
  CandidateStations* empty = createCandidateStations(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(addCandidateStation(empty, 1, 1), 0);
  deleteCandidateStations(empty);
}

}  // namespace
}  // namespace tembrolexinsdk
