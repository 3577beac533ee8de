// Channel front end of the decoding core: the stages every block of 16-bit
// samples passes before matched filtering.
//
//   LevelMeter   loudness of the raw input in dB, one value per second
//   PreFilter    short high-pass FIR, in place
//   SampleHolder frame cutter handing out whole groups of band samples
//   BandFilter   two-band splitter (a low-pass and its complement) turning
//                each input pair into one low-band and one high-band sample
//   SubBandBank  band layout of a scheme and its coefficient tables (the
//                record itself is declared in scheme_config.h)
//
// Ownership: each record comes from its create function (null when memory
// runs out) and goes to its free function, which accepts null. BandFilter
// records are embedded by the caller: bandFilterInit starts one, and
// bandFilterClear releases what it holds.
//
// Thread safety: none. A channel's stages are used by one thread at a time;
// the coefficient tables are constant and may be read from any thread.
#ifndef TL_CORE_DECODER_FRONT_END_H_
#define TL_CORE_DECODER_FRONT_END_H_

#include <stdint.h>

#include "core/decoder/circular_buffer.h"
#include "core/decoder/performance_data.h"
#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

// ---------------------------------------------------------------------------
// Level meter.

struct LevelMeter {
  int32_t windowLength;   // samples per measurement: one second
  int32_t samplesLeft;    // counts down from windowLength
  int64_t sumOfSquares;
  CircularBuffer history;  // int16 dB values, one per completed window
  int32_t historyLength;
  int16_t currentLevel;   // smoothed level, dB
  int16_t levelSum;       // sum of the values held in history
};

// A meter for a channel at `rateCode` (kHz code) whose messages last
// `messageMs` milliseconds. Null when memory runs out, when the rate code is
// not positive, or when the message is shorter than one second (no history).
LevelMeter* levelMeterCreate(int32_t rateCode, int32_t messageMs);
void levelMeterFree(LevelMeter* meter);
// Measures `count` samples; windows run across calls. count < 1 does nothing.
void levelMeterProcess(LevelMeter* meter, const int16_t* samples,
                       int32_t count);
// Fills the volume fields of `data` (see front_end.cc).
void levelMeterReport(const LevelMeter* meter, PerformanceData* data);

// ---------------------------------------------------------------------------
// Pre-filter.

struct PreFilter {
  int32_t tapCount;               // 3 or 7
  const int32_t* coefficients;    // constant table
  int32_t shift;                  // 2
  CircularBuffer delayLine;       // int16, tapCount slots
};

// The 7-tap filter for rate code 16 with `longFilter` set, else the 3-tap
// one. Null when memory runs out.
PreFilter* preFilterCreate(int32_t rateCode, int32_t longFilter);
void preFilterFree(PreFilter* filter);
// Filters `count` samples in place (low 16 bits kept, no saturation) and
// returns the filter. count < 1 does nothing.
PreFilter* preFilterProcess(PreFilter* filter, int16_t* samples,
                            int32_t count);

// ---------------------------------------------------------------------------
// Frame cutter.

struct SampleHolder {
  int16_t* samples;  // capacity entries
  int32_t fill;
  int32_t capacity;
};
typedef SampleHolder FrameCutter;

// A holder for groups of `capacity` samples (the band count, at least 1).
SampleHolder* sampleHolderCreate(int32_t capacity);
void sampleHolderFree(SampleHolder* holder);

// Hands out the next frame of whole groups from *input / *remaining (both
// advanced past what was consumed). Returns the frame's first sample and
// sets *outCount, or returns null with *outCount 0 when the holder still
// waits for the rest of a group. A frame from the holder is the holder's
// own array.
int16_t* cutFrame(SampleHolder* holder, int16_t** input, int32_t* remaining,
                  int32_t* outCount);

// ---------------------------------------------------------------------------
// Band filters.

// Longest table (and delay line) that the block-wise splitter handles;
// longer ones go through the plain per-pair convolution.
constexpr int32_t kBandFilterMaxFastTaps = 128;

struct BandFilter {
  CircularBuffer delayLine;          // int16 samples (generic ring)
  int32_t currentRate;               // 0 until set
  const int16_t* coefficients;       // null until set
  int32_t tapCount;                  // -1 until set
  CircularBuffer* sharedDelayLine;   // storage this filter may reuse, or null
  int32_t ownsDelayLine;             // initially 1
  BandRateEntry* rateTable;          // private copy incl. the ending entry
  // Indices of the non-zero taps of `coefficients`, listed when the rate is
  // set so that the splitter skips the zero taps (half of a half-band
  // table). Valid only while tapListFor == coefficients and tapListCount ==
  // tapCount (at most kBandFilterMaxFastTaps).
  const int16_t* tapListFor;
  int32_t tapListCount;
  int32_t nonZeroCount;
  uint8_t nonZeroTaps[kBandFilterMaxFastTaps];
  // Whether the high-band table last split against this one is its
  // complement (see bandSplit); remembered per table.
  const int16_t* complementFor;
  int32_t complementTaps;
  int32_t isComplement;
};

// Starts `filter` with a private copy of `rateTable` (may be null). When the
// copy cannot be allocated, the filter knows no rates.
void bandFilterInit(BandFilter* filter, const BandRateEntry* rateTable);
// Closes an owned delay line, frees the copied table and returns every field
// to its initial value.
void bandFilterClear(BandFilter* filter);
void bandFilterSetSharedDelayLine(BandFilter* filter, CircularBuffer* line);
void bandFilterSetOwnsDelayLine(BandFilter* filter, int32_t owns);
// Selects the table of `rateCode`. Returns the group delay in samples, or -1
// for an unknown rate or a failed (or too small shared) delay line.
int32_t bandFilterSetRate(BandFilter* filter, int32_t rateCode,
                          int32_t elementSize);
// (tapCount - 1) / 2; 0 for no taps, -1 while unset.
int32_t bandFilterDelay(const BandFilter* filter);

// Splits interleaved input pairs in place into (low, high) pairs at half the
// rate, both bands reading the low filter's delay line. An odd last sample is
// only pushed into the delay line. Returns `low`.
//
// The sums are the plain 32-bit convolutions; tables of up to
// kBandFilterMaxFastTaps taps are run block-wise over the non-zero taps, and
// a high band that is the complement of the low band (high[k] = -low[k],
// centre 256 - low) is taken as 256 x[centre] minus the low sum, which is
// the same integer.
BandFilter* bandSplit(BandFilter* low, BandFilter* high, int16_t* pairs,
                      int32_t count);

// ---------------------------------------------------------------------------
// Sub-band bank.

// Sets the band rates (and, for one band, the sign +1) for a channel at
// `rateCode` and builds the tables. Returns 1, or 0 for an unsupported
// layout or rate (with the error text set) or when memory runs out.
int32_t subBandBankInit(SubBandBank* bank, int32_t rateCode);
// Gives both bands of a two-band bank their rate-entry lists (16, 32, 44 and
// 48 kHz). Any other band count only reports the error.
void subBandBankBuildTables(SubBandBank* bank);
// Frees the signs, rates, every band's list, the list array and the bank.
void subBandBankFree(SubBandBank* bank);

// The low-pass table of the band splitter for an input rate code (16, 32,
// 44 or 48) and its tap count; null and 0 for any other code. The high band
// is its complement.
const int16_t* bandLowPassTable(int32_t rateCode, int32_t* tapCount);
const int16_t* bandHighPassTable(int32_t rateCode, int32_t* tapCount);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_FRONT_END_H_
