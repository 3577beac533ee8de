// Matched filter and demodulator of the decoding core.
//
// The code is carried as echoes added to ordinary audio: for symbol position
// i the signal holds copies delayed by aDelay(i) and bDelay(i) samples, with
// opposite signs and an amplitude that follows the symbol's modulation. For
// every sample the filter correlates the sample with the difference of those
// two delayed samples, integrates the products over phase steps, correlates
// the last half symbol against a half-sine pulse, normalises by energy and
// takes the change over half a symbol as a signed 8-bit soft symbol
// (positive: channel bit 1) per symbol position and phase step.
//
// The same module holds the Hamming-window correlator with which the
// partial-codeword search finds the best phase in the soft-symbol history.
//
// Ownership: MatchedFilter and HammingCorrelator records come from their
// create functions (null when memory runs out or the configuration cannot be
// served) and go to their free functions, which accept null. A filter
// borrows its SchemeConfig, which must outlive it.
//
// Thread safety: none; a filter is used by its channel's thread only.
#ifndef TL_CORE_DECODER_MATCHED_FILTER_H_
#define TL_CORE_DECODER_MATCHED_FILTER_H_

#include <stdint.h>

#include "core/decoder/circular_buffer.h"
#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

// Echo delays of symbol position `position` at `rateCode`, in samples before
// the current sample: with L = samples(D) + samples(lag[P-1]) the input
// ring's length, a is the sample written L - lag(i) samples ago and b the one
// written L - lag(i) - samples(D) samples ago (the newer of the two). The
// decoder and the test signal generator both take the delays from here.
// Returns 1, or 0 (delays set to -1) for a null record, a position outside
// 0 .. P-1, or lags that would put a delay outside 0 .. L.
int32_t matchedFilterEchoDelays(const SchemeConfig* config, int32_t rateCode,
                                int32_t position, int32_t* aDelay,
                                int32_t* bDelay);

// L of the above (samples); 0 for a record without positions.
int32_t matchedFilterInputLength(const SchemeConfig* config, int32_t rateCode);

// align(i) = samples(positionAlignments[P-1-i]) * N / samples(S): how many
// phase steps position i's symbol grid starts before the word grid.
int32_t matchedFilterAlignSteps(const SchemeConfig* config, int32_t rateCode,
                                int32_t position);

// Band samples that matchedFilterProcess takes in one pass (at most one
// phase step's worth); it also bounds the 32-bit partial sums of a pass.
constexpr int32_t kMatchedFilterBlock = 1024;

struct MatchedFilter {
  int32_t rateCode;
  const SchemeConfig* config;
  int32_t positionCount;   // P
  int32_t phaseCount;      // N
  int32_t form;            // unitForm: 0, 1 or 2
  int32_t shift;           // 10 below 9 kHz, else 11
  int32_t stepLength;      // samples(S) / N
  int32_t inputLength;     // L
  int32_t framesPerCodeword;  // F
  // The band's recent samples, oldest first, the newest at
  // history[historyFill - 1]; zeros stand for the samples before the first.
  // An echo is read a fixed distance back (at most L), so each block of new
  // samples is appended behind at least L older ones; when the buffer runs
  // full, the last L slide to its front. Capacity L + kMatchedFilterBlock.
  int16_t* history;
  int32_t historyFill;
  int32_t historyCapacity;
  // Per position (arrays of P). Accumulators and energies are 64-bit so that
  // long steps at full scale cannot overflow.
  int64_t* accumulator;
  int64_t* absAccumulator;   // form 2 only
  int64_t* energy;
  CircularBuffer* stepValues;     // int32: N/2 slots (samples(S)/2 in form 0)
  CircularBuffer* absStepValues;  // int32: N/2 slots, form 2 only
  CircularBuffer* correlations;   // int16: N/2 slots
  CircularBuffer* softSymbols;    // int8: align(i) + N*F slots
  int32_t* align;                 // align(i), phase steps
  int32_t* aDelay;                // echo delays, samples
  int32_t* bDelay;
  int16_t* pulse;
  int32_t pulseLength;
  int32_t stepCountdown;   // samples left until the next phase step
};

// A filter for one band at `rateCode`. Null when memory runs out or the
// configuration has no positions, a phase count below 2, a step shorter than
// one sample, echo delays outside the input ring or no soft symbols per code
// word.
MatchedFilter* matchedFilterCreate(const SchemeConfig* config,
                                   int32_t rateCode);
void matchedFilterFree(MatchedFilter* filter);

// Runs the band's samples of one frame (frame[band], frame[band + B], ...)
// through the filter; soft symbols of a band whose sign in the sub-band bank
// is negative are negated. For every phase step k completed in this frame, the
// sample slot frame[band + k*B] is overwritten with minus the sum of the
// magnitudes of the soft symbols that left the code-word window at that step
// (the detector reads it). Returns the number of phase steps completed; 0
// when the band index is not below the frame length.
int32_t matchedFilterProcess(MatchedFilter* filter, int16_t* frame,
                             int32_t frameLength, int32_t band,
                             int32_t bandCount);

// The array of P soft-symbol rings. With newLength > 0 every ring is made
// anew, empty, with that many slots; null when one cannot be made.
CircularBuffer* matchedFilterSoftSymbols(MatchedFilter* filter,
                                         int32_t newLength);
// The largest slot count among the soft-symbol rings (0 for no positions).
int32_t matchedFilterSoftSymbolLength(const MatchedFilter* filter);
// Samples since the last phase step: samples(S) / N - stepCountdown.
int32_t matchedFilterSamplesSinceStep(const MatchedFilter* filter);

// a / b truncated toward zero, exactly as the integer division (b != 0); a
// double division where that is exact, being several times quicker than a
// 64-bit one. Used for the energy normalisation of every phase step.
int64_t truncatedQuotient(int64_t a, int64_t b);

// ---------------------------------------------------------------------------
// Hamming-window correlator of the partial-codeword search.

struct HammingCorrelator {
  const SchemeConfig* config;
  int32_t windowLength;   // W
  int32_t* window;        // W entries
  int32_t phaseCount;     // N
  int32_t* accumulators;  // N entries
};

// Null when memory runs out or W or N is below 1.
HammingCorrelator* hammingCorrelatorCreate(const SchemeConfig* config,
                                           int32_t windowLength);
void hammingCorrelatorFree(HammingCorrelator* correlator);

// Finds the phase at which the soft symbols of the last W - 1 steps are
// strongest (window-weighted, over every band and position) and writes, per
// band and position, the soft symbols of W / N successive symbols at that
// phase into `output` (B * P * (W / N) values). `rings` holds one array of P
// soft-symbol rings per band, `newest` the newest slot index per position.
// Returns the best phase; with halfShift it is moved by N / 2. Returns -1 for
// null arguments. Window indices that would fall outside 0 .. W-1 write 0.
int32_t partialCorrelate(HammingCorrelator* correlator,
                         CircularBuffer* const* rings, int8_t* output,
                         const int32_t* newest, int32_t halfShift);

// Position of the first largest element; 0 for a length below 2.
int32_t maxIndex(const int32_t* values, int32_t length);

// The 256 soft metrics of the Viterbi decoder, indexed by an unsigned soft
// value (the score of an expected 0).
const int16_t* softMetricTable();

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_MATCHED_FILTER_H_
