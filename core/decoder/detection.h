// Detection and acceptance stages of a decoding channel.
//
//   Detector          finds the phase step at which a channel's soft symbols
//                     are strongest, says how strong the signal is and when a
//                     code word may be decoded (a decision point)
//   SymbolStatistics  the strength that the strongest 5 % of one code word's
//                     soft symbols reach
//   AcceptanceState   grades signal and message against the scheme's two
//                     curve pairs into confidences 1 to 4
//   ResultHistory     the last 5F decode attempts, so that a word that is
//                     weak by itself can be confirmed by an earlier word that
//                     stands in the scheme's expected relation to it
//
// F, P, B and N are a scheme's frames per code word, positions per band, band
// count and phase steps per symbol (scheme_config.h).
//
// Ownership: every record comes from its create function (null when memory
// runs out or the scheme cannot be served) and goes to its free function,
// which accepts null. Records borrow their SchemeConfig, which must outlive
// them.
//
// Thread safety: none; the records belong to one channel and its thread.
#ifndef TL_CORE_DECODER_DETECTION_H_
#define TL_CORE_DECODER_DETECTION_H_

#include <cstdint>

#include "core/decoder/codeword_codec.h"
#include "core/decoder/matched_filter.h"
#include "core/decoder/performance_data.h"
#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

// ---------------------------------------------------------------------------
// Detector.

struct Detector {
  const SchemeConfig* config;
  int32_t phaseCount;       // N
  int32_t framesPerCodeword;  // F
  int32_t positionCount;    // P
  int32_t bandCount;        // B
  int32_t* averages;        // N: smoothed strength per phase
  int32_t* sums;            // N: one code word's strength per phase
  int32_t bestAveragePhase;
  int32_t bestSumPhase;
  int32_t decisionPhase;
  int32_t phase;            // current phase step, 0 .. N-1
  int32_t bestAverage;      // per position
  int32_t bestSum;          // per position
  int32_t shift;            // smoothing shift of the averages
};

// The smoothing shift for F frames per code word: 3 below 105, then one more
// per halving of F / 7 until it is at most 29 (105 gives 4, 210 gives 5).
int32_t detectorShiftFor(int32_t framesPerCodeword);

// Null when memory runs out or the scheme has fewer than 2 phase steps, no
// positions or no frames.
Detector* detectorCreate(const SchemeConfig* config);
void detectorFree(Detector* detector);

// Runs the detector over the `steps` phase steps that the channel's
// `bandCount` matched filters (filters[b]) completed in the last frame. The
// frame holds, at slot t*B + b, the value that band b's filter left for step
// t (minus the magnitudes of the symbols that left the code-word window).
// Writes the signal half of `data` each time the phase wraps. Returns the
// number of decision points passed.
int32_t detectorProcess(Detector* detector, MatchedFilter* const* filters,
                        int32_t steps, int32_t bandCount,
                        PerformanceData* data, const int16_t* frame);

// Clears the windowed sums (the soft-symbol rings they summarise were
// emptied).
void detectorClearSums(Detector* detector);

// ---------------------------------------------------------------------------
// 95 % strength.

struct SymbolStatistics {
  int32_t total;     // T = F * P * B
  int32_t rank;      // K = T / 20
  int16_t* largest;  // K magnitudes 0 .. 128, descending
};

// Null when memory runs out or T is below 20.
SymbolStatistics* symbolStatisticsCreate(const SchemeConfig* config);
void symbolStatisticsFree(SymbolStatistics* statistics);
// The K-th largest magnitude among the T soft symbols (|-128| counts as
// 128, the strongest). -1 for null arguments.
int32_t symbolStrength95(SymbolStatistics* statistics, const int8_t* symbols);

// ---------------------------------------------------------------------------
// Acceptance.

// Grade of the point (x, y) against a curve pair: 1 on or above the high
// curve, 2 below it but on or above the low curve, 3 below both, 4 when the
// high curve (or, for a point below the high curve, the low curve) has no
// points.
int32_t gradeAgainstCurves(const CurvePair* curves, int32_t x, int32_t y);

struct AcceptanceState {
  int32_t lastMessageConfidence;
  int32_t counter;
  int32_t period;  // F / 2
  CurvePair messageCurves;
  CurvePair signalCurves;
};

AcceptanceState* acceptanceCreate(const SchemeConfig* config);
void acceptanceFree(AcceptanceState* state);
// Sets sigConfidence and msgConfidence of `data`; a message reported from the
// history (msgConfidence 4) keeps its grade.
void acceptanceApply(AcceptanceState* state, PerformanceData* data);

// ---------------------------------------------------------------------------
// Result history.

// Entry states.
constexpr int32_t kHistoryNothing = 0;
constexpr int32_t kHistoryWeak = 1;       // rejected by itself, mask usable
constexpr int32_t kHistoryAccepted = 2;   // accepted, or already reported
constexpr int32_t kHistoryConfirmed = 3;  // weak, confirmed by the history

struct ResultHistoryEntry {
  int64_t value;     // -1 when none
  int32_t state;
  uint32_t mask;     // the decoder's errorMask
  int32_t phase;
  int64_t position;  // band-sample clock at the code word's end
};

struct ResultHistory {
  const SchemeConfig* config;
  ResultHistoryEntry* entries;  // capacity entries, a ring
  int32_t capacity;             // 5F
  int32_t newest;               // slot of the newest entry
  int32_t lookBack;             // 4
  int32_t codeWordTime;         // F
  int32_t symbolSamples;        // samples(S) at the band rate
  int32_t phaseCount;           // N
  int32_t binaryCode;           // 1: the outer code is the binary (syndrome) code
  int64_t inputSamples;         // channel-rate samples consumed so far
  int64_t clock;                // band samples consumed so far
};

ResultHistory* resultHistoryCreate(const SchemeConfig* config);
void resultHistoryFree(ResultHistory* history);
// Adds `samples` channel-rate samples to the band-sample clock. The clock is
// kept from the running total, so blocks of odd length lose nothing.
void resultHistoryAdvance(ResultHistory* history, int32_t samples);
// Records one decode attempt whose code word ended `offset` band samples ago
// at `phase`, and confirms weak words that stand in the scheme's relation to
// an earlier attempt.
void resultHistoryAdd(ResultHistory* history, int32_t offset, int32_t phase,
                      const CodewordDecodeResult* result);
// Reports the oldest confirmed word into the message half of `data` (grade 4)
// and marks it reported. 1 when a word was reported, else 0.
int32_t resultHistoryReport(ResultHistory* history, PerformanceData* data);
// The entry `back` attempts before the newest (0 = newest); null outside
// 0 .. capacity-1.
const ResultHistoryEntry* resultHistoryEntry(const ResultHistory* history,
                                             int32_t back);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_DETECTION_H_
