#include "core/decoder/front_end.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <cstddef>

#include "core/decoder/symmetric_table.h"
#include "core/decoder/text_utils.h"
#include "core/decoder/vector_clones.h"

namespace tembrolexinsdk {
namespace {

// ---------------------------------------------------------------------------
// Ring helpers over int16 rings (elementSize 2).

inline int16_t* slots(const CircularBuffer& ring) {
  return reinterpret_cast<int16_t*>(ring.base);
}
inline int32_t newestIndex(const CircularBuffer& ring) {
  return static_cast<int32_t>(reinterpret_cast<int16_t*>(ring.current) -
                              slots(ring));
}
inline void pushSample(CircularBuffer* ring, int16_t sample) {
  int16_t* slot = reinterpret_cast<int16_t*>(ring->current) + 1;
  if (slot >= slots(*ring) + ring->count) slot = slots(*ring);
  *slot = sample;
  ring->current = reinterpret_cast<uint8_t*>(slot);
}

// Copies the ring's slots into `out`, oldest first (the newest last).
void ringToLinear(const CircularBuffer& ring, int16_t* out) {
  const int16_t* x = slots(ring);
  const int32_t n = ring.count;
  const int32_t oldest = newestIndex(ring) + 1 < n ? newestIndex(ring) + 1 : 0;
  memcpy(out, x + oldest, static_cast<size_t>(n - oldest) * sizeof(int16_t));
  memcpy(out + (n - oldest), x, static_cast<size_t>(oldest) * sizeof(int16_t));
}

// Leaves the ring as `pushed` pushes would, given the values of the last
// min(pushed, count) of them in `last` (oldest first): the earlier pushes
// are all overwritten, so only the position has to move past them.
void ringAfterPushes(CircularBuffer* ring, const int16_t* last, int64_t pushed) {
  const int32_t n = ring->count;
  const int32_t kept = pushed < n ? static_cast<int32_t>(pushed) : n;
  const int32_t skip = static_cast<int32_t>((pushed - kept) % n);
  int32_t idx = newestIndex(*ring) + skip;
  if (idx >= n) idx -= n;
  ring->current = reinterpret_cast<uint8_t*>(slots(*ring) + idx);
  for (int32_t j = 0; j < kept; ++j) pushSample(ring, last[j]);
}

// Σ c[k] · x[n − k], k = 0 .. taps − 1, with the newest sample x[n] at k = 0,
// over a ring of at least `taps` int16 slots. Runs in two contiguous pieces:
// from the newest slot down to the first, then from the last slot down.
int32_t convolveNewestFirst(const CircularBuffer& ring, const int16_t* c,
                            int32_t taps) {
  const int16_t* x = slots(ring);
  int32_t idx = newestIndex(ring);
  int32_t sum = 0;
  int32_t k = 0;
  for (; k < taps && idx >= 0; ++k, --idx) sum += c[k] * x[idx];
  for (idx = ring.count - 1; k < taps; ++k, --idx) sum += c[k] * x[idx];
  return sum;
}

// ---------------------------------------------------------------------------
// Pre-filter tables.

const int32_t kShortPreFilter[3] = {1, -2, 1};
const int32_t kLongPreFilter[7] = {1, 1, -1, -2, -1, 1, 1};

// acc[q] = Σ over the runs of c · src[q], q < n, in 32-bit sums that wrap
// like the per-sample sums they replace. Two runs share a pass over the
// outputs (one coefficient each, so the products stay 16 × 16 bits).
struct TapRun {
  int16_t c;
  const int16_t* src;
};

TL_VECTOR_CLONES
void sumTapRuns(const TapRun* runs, int32_t count, uint32_t* acc, int32_t n) {
  for (int32_t q = 0; q < n; ++q) acc[q] = 0;
  int32_t t = 0;
  for (; t + 1 < count; t += 2) {
    const int16_t c0 = runs[t].c;
    const int16_t c1 = runs[t + 1].c;
    const int16_t* s0 = runs[t].src;
    const int16_t* s1 = runs[t + 1].src;
    for (int32_t q = 0; q < n; ++q) {
      acc[q] += static_cast<uint32_t>(c0 * s0[q]) + static_cast<uint32_t>(c1 * s1[q]);
    }
  }
  if (t < count) {
    const int16_t c0 = runs[t].c;
    const int16_t* s0 = runs[t].src;
    for (int32_t q = 0; q < n; ++q) acc[q] += static_cast<uint32_t>(c0 * s0[q]);
  }
}

bool fitsInt16(const int32_t* c, int32_t n) {
  for (int32_t k = 0; k < n; ++k) {
    if (c[k] < -32768 || c[k] > 32767) return false;
  }
  return true;
}

// Block-wise pre-filter: the line's samples and a block of input laid out
// in one run, so that each tap is one pass over consecutive samples.
constexpr int32_t kPreFilterMaxTaps = 16;
constexpr int32_t kPreFilterBlock = 256;

void preFilterBlockwise(PreFilter* filter, int16_t* samples, int32_t count) {
  const int32_t taps = filter->tapCount;
  const int32_t* c = filter->coefficients;
  const int32_t shift = filter->shift;
  int16_t stream[kPreFilterMaxTaps + kPreFilterBlock];
  uint32_t acc[kPreFilterBlock];
  // stream[0 .. taps-1]: the line, oldest first; the block follows. Output j
  // reads its newest sample at taps + j and tap k at taps + j - k.
  ringToLinear(filter->delayLine, stream);
  TapRun runs[kPreFilterMaxTaps];
  for (int32_t k = 0; k < taps; ++k) {
    runs[k].c = static_cast<int16_t>(c[k]);  // 16-bit tables only (see caller)
    runs[k].src = stream + taps - k;
  }
  for (int32_t done = 0; done < count;) {
    const int32_t n = count - done < kPreFilterBlock ? count - done : kPreFilterBlock;
    int16_t* io = samples + done;
    memcpy(stream + taps, io, static_cast<size_t>(n) * sizeof(int16_t));
    sumTapRuns(runs, taps, acc, n);
    for (int32_t j = 0; j < n; ++j) {
      io[j] = static_cast<int16_t>(static_cast<int32_t>(acc[j]) >> shift);  // low bits kept
    }
    memmove(stream, stream + n, static_cast<size_t>(taps) * sizeof(int16_t));
    done += n;
  }
  ringAfterPushes(&filter->delayLine, stream + (count < taps ? taps - count : 0), count);
}

// ---------------------------------------------------------------------------
// Band splitter tables: low-pass halves (up to and including the centre) in
// Q8, mirrored into whole tables; the high band is the complement.

template <size_t N>
constexpr std::array<int16_t, N> complement(const std::array<int16_t, N>& low) {
  std::array<int16_t, N> high{};
  for (size_t i = 0; i < N; ++i) high[i] = static_cast<int16_t>(-low[i]);
  high[(N - 1) / 2] = static_cast<int16_t>(256 - low[(N - 1) / 2]);
  return high;
}

constexpr int16_t kLow27Half[] = {2, 0, -3, 0, 5, 0, -8, 0, 14, 0, -26, 0, 81,
                                  128};
constexpr int16_t kLow53Half[] = {2,  1,  0,  -1, -2,  -1,  0,  1,  2,
                                  2,  0,  -3, -4, -3,  0,   4,  7,  6,
                                  0,  -8, -13, -11, 0, 19, 40, 57, 64};
constexpr int16_t kLow73Half[] = {
    2,  1,  0,  0,  -1, -1, -1, -1, 0,  0,  1,  2,  2,  1,  0,  -2, -3, -3, -3,
    -1, 1,  3,  5,  5,  3,  0,  -4, -8, -10, -8, -4, 5, 15, 27, 37, 44, 46};
constexpr int16_t kLow79Half[] = {
    1,  0,  0,  0,  -1, -1, -1, -1, -1, 0,  1,  1,  2,  2,  1,  0,  -1, -2, -3, -3,
    -2, 0,  2,  4,  5,  4,  3,  0,  -3, -7, -9, -8, -6, 0,  8,  17, 27, 35, 41, 43};

constexpr std::array<int16_t, 27> kLow27 = mirror<27>(kLow27Half);
constexpr std::array<int16_t, 53> kLow53 = mirror<53>(kLow53Half);
constexpr std::array<int16_t, 73> kLow73 = mirror<73>(kLow73Half);
constexpr std::array<int16_t, 79> kLow79 = mirror<79>(kLow79Half);
constexpr std::array<int16_t, 27> kHigh27 = complement(kLow27);
constexpr std::array<int16_t, 53> kHigh53 = complement(kLow53);
constexpr std::array<int16_t, 73> kHigh73 = complement(kLow73);
constexpr std::array<int16_t, 79> kHigh79 = complement(kLow79);

struct BandTable {
  int32_t rateCode;
  const int16_t* low;
  const int16_t* high;
  int32_t taps;
};
const BandTable kBandTables[] = {
    {16, kLow27.data(), kHigh27.data(), 27},
    {32, kLow53.data(), kHigh53.data(), 53},
    {44, kLow73.data(), kHigh73.data(), 73},
    {48, kLow79.data(), kHigh79.data(), 79},
};
constexpr int32_t kBandTableCount = 4;

// ---------------------------------------------------------------------------
// Block-wise band split.

// Output pairs per block; the stack arrays below are sized by it.
constexpr int32_t kSplitBlockPairs = 128;

bool tapListValid(const BandFilter* f) {
  return f->coefficients != nullptr && f->tapCount >= 1 &&
         f->tapCount <= kBandFilterMaxFastTaps && f->tapListFor == f->coefficients &&
         f->tapListCount == f->tapCount;
}

void buildTapList(BandFilter* f) {
  f->tapListFor = nullptr;
  f->tapListCount = 0;
  f->nonZeroCount = 0;
  if (f->coefficients == nullptr || f->tapCount < 1 ||
      f->tapCount > kBandFilterMaxFastTaps) {
    return;
  }
  for (int32_t k = 0; k < f->tapCount; ++k) {
    if (f->coefficients[k] != 0) f->nonZeroTaps[f->nonZeroCount++] = static_cast<uint8_t>(k);
  }
  f->tapListFor = f->coefficients;
  f->tapListCount = f->tapCount;
}

// high[k] = -low[k] for every k except the centre of an odd table, where
// high = 256 - low; then Σ high[k] x[n-k] = 256 x[n-centre] - Σ low[k] x[n-k].
// Checked once per pair of tables.
bool highIsComplement(BandFilter* low, const BandFilter* high) {
  if (low->complementFor == high->coefficients && low->complementTaps == high->tapCount) {
    return low->isComplement != 0;
  }
  bool same = low->tapCount == high->tapCount && (low->tapCount & 1) == 1;
  const int32_t centre = (low->tapCount - 1) / 2;
  for (int32_t k = 0; same && k < low->tapCount; ++k) {
    const int32_t want = k == centre ? 256 - low->coefficients[k] : -low->coefficients[k];
    same = high->coefficients[k] == want;
  }
  low->complementFor = high->coefficients;
  low->complementTaps = high->tapCount;
  low->isComplement = same ? 1 : 0;
  return same;
}

// The listed taps of a filter as runs over the stream, which is held as its
// even and its odd positions so that for one tap consecutive outputs read a
// contiguous run: output q's newest sample sits at position h + 2q + 1, its
// tap k at u + 2q with u = h + 1 - k.
int32_t splitTapRuns(const BandFilter* f, const int16_t* even, const int16_t* odd,
                     int32_t history, TapRun* runs) {
  for (int32_t t = 0; t < f->nonZeroCount; ++t) {
    const int32_t k = f->nonZeroTaps[t];
    const int32_t u = history + 1 - k;
    runs[t].c = f->coefficients[k];
    runs[t].src = ((u & 1) != 0 ? odd : even) + (u >> 1);
  }
  return f->nonZeroCount;
}

void splitBlockwise(BandFilter* low, const BandFilter* high, bool complement,
                    int16_t* pairs, int32_t count) {
  CircularBuffer* line = &low->delayLine;
  const int32_t h = line->count;  // the whole line is kept as history
  constexpr int32_t kHalfHistory = (kBandFilterMaxFastTaps + 1) / 2;
  int16_t evenStore[kHalfHistory + kSplitBlockPairs + 1];
  int16_t oddStore[kHalfHistory + kSplitBlockPairs + 1];
  int16_t* const even = evenStore;
  int16_t* const odd = oddStore;
  uint32_t lowAcc[kSplitBlockPairs];
  uint32_t highAcc[kSplitBlockPairs];
  int16_t linear[kBandFilterMaxFastTaps];

  ringToLinear(*line, linear);
  for (int32_t j = 0; j < h; ++j) {
    if ((j & 1) != 0) {
      odd[j >> 1] = linear[j];
    } else {
      even[j >> 1] = linear[j];
    }
  }
  // Stream positions h + 2q and h + 2q + 1 of the block's q-th pair.
  int16_t* firstOf = ((h & 1) != 0 ? odd : even) + (h >> 1);
  int16_t* secondOf = ((h & 1) != 0 ? even : odd) + ((h + 1) >> 1);
  TapRun lowRuns[kBandFilterMaxFastTaps];
  TapRun highRuns[kBandFilterMaxFastTaps];
  const int32_t lowRunCount = splitTapRuns(low, even, odd, h, lowRuns);
  const int32_t highRunCount = complement ? 0 : splitTapRuns(high, even, odd, h, highRuns);
  const int32_t centre = (high->tapCount - 1) / 2;
  const int32_t centreU = h + 1 - centre;
  const int16_t* centreSrc = ((centreU & 1) != 0 ? odd : even) + (centreU >> 1);

  const int32_t pairCount = count / 2;
  for (int32_t done = 0; done < pairCount;) {
    const int32_t np =
        pairCount - done < kSplitBlockPairs ? pairCount - done : kSplitBlockPairs;
    int16_t* io = pairs + 2 * done;
    for (int32_t q = 0; q < np; ++q) {
      firstOf[q] = io[2 * q];
      secondOf[q] = io[2 * q + 1];
    }
    sumTapRuns(lowRuns, lowRunCount, lowAcc, np);
    if (complement) {
      for (int32_t q = 0; q < np; ++q) {
        highAcc[q] = static_cast<uint32_t>(static_cast<int32_t>(centreSrc[q]) * 256) - lowAcc[q];
      }
    } else {
      sumTapRuns(highRuns, highRunCount, highAcc, np);
    }
    for (int32_t q = 0; q < np; ++q) {
      io[2 * q] = static_cast<int16_t>(static_cast<int32_t>(lowAcc[q]) >> 8);
      io[2 * q + 1] = static_cast<int16_t>(static_cast<int32_t>(highAcc[q]) >> 8);
    }
    // The last h positions become the history; the block is even, so each
    // position keeps its parity.
    memmove(even, even + np, static_cast<size_t>((h + 1) / 2) * sizeof(int16_t));
    memmove(odd, odd + np, static_cast<size_t>(h / 2) * sizeof(int16_t));
    done += np;
  }
  for (int32_t j = 0; j < h; ++j) linear[j] = (j & 1) != 0 ? odd[j >> 1] : even[j >> 1];
  const int64_t pushed = 2 * static_cast<int64_t>(pairCount);
  const int32_t kept = pushed < h ? static_cast<int32_t>(pushed) : h;
  ringAfterPushes(line, linear + (h - kept), pushed);
  if ((count & 1) != 0) pushSample(line, pairs[count - 1]);
}

const char kUnsupportedRate[] = "ERROR, unsupported sample rate";
const char kUnsupportedBanding[] =
    "Error, frequency banding only implemented at 2 bands currently";

// The banding errors go to standard output (as the library always did) and
// into the library's error text, so a caller of the library can read them.
void reportBandingError(const char* text) {
  printf("%s\n", text);
  tembrolexinSetErrorText("%s", text);
}

void freeRateTables(SubBandBank* bank) {
  if (bank->rateTables == nullptr) return;
  for (int32_t b = 0; b < bank->bandCount; ++b) free(bank->rateTables[b]);
  free(bank->rateTables);
  bank->rateTables = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Level meter.

LevelMeter* levelMeterCreate(int32_t rateCode, int32_t messageMs) {
  if (rateCode <= 0 || rateCode > 192) return nullptr;
  const int32_t historyLength = messageMs / 1000;
  if (historyLength < 1) return nullptr;
  LevelMeter* meter = static_cast<LevelMeter*>(calloc(1, sizeof(LevelMeter)));
  if (meter == nullptr) return nullptr;
  if (!CircularBufferShortInit2(&meter->history, nullptr, historyLength)) {
    free(meter);
    return nullptr;
  }
  meter->windowLength = rateCode * 1000;
  meter->samplesLeft = meter->windowLength;
  meter->historyLength = historyLength;
  return meter;
}

void levelMeterFree(LevelMeter* meter) {
  if (meter == nullptr) return;
  CircularBufferShortClose(&meter->history);
  free(meter);
}

TL_VECTOR_CLONES
void levelMeterProcess(LevelMeter* meter, const int16_t* samples,
                       int32_t count) {
  if (meter == nullptr || samples == nullptr) return;
  for (int32_t i = 0; i < count;) {
    // The rest of the window, or of the block, in one run.
    int32_t run = count - i < meter->samplesLeft ? count - i : meter->samplesLeft;
    if (run < 1) run = 1;
    int64_t sum = 0;
    for (int32_t j = i; j < i + run; ++j) {
      const int32_t x = samples[j];
      sum += x * x;  // at most 2^30: fits int32 before widening
    }
    meter->sumOfSquares += sum;
    meter->samplesLeft -= run;
    i += run;
    if (meter->samplesLeft > 0) continue;

    const int64_t mean64 = meter->sumOfSquares / meter->windowLength;
    const float mean = static_cast<float>(static_cast<int32_t>(mean64));
    // A silent window would take log10(0) = -inf to an integer, which is
    // undefined: it is recorded as 0 dB (the low 16 bits of the saturated
    // value). A mean of at most 2^30 keeps the level within 0 .. 91 dB.
    int32_t level = 0;
    if (mean > 0.0f) level = static_cast<int32_t>(10.0f * log10f(mean));
    const int16_t oldest =
        CircularBufferShortPush(&meter->history, static_cast<int16_t>(level));
    meter->levelSum = static_cast<int16_t>(meter->levelSum + level - oldest);
    meter->currentLevel = static_cast<int16_t>(
        meter->currentLevel + (level >> 2) - (meter->currentLevel >> 2));
    meter->sumOfSquares = 0;
    meter->samplesLeft = meter->windowLength;
  }
}

void levelMeterReport(const LevelMeter* meter, PerformanceData* data) {
  if (meter == nullptr || data == nullptr || meter->historyLength < 1) return;
  const int16_t mean = static_cast<int16_t>(meter->levelSum / meter->historyLength);
  if (data->currentSignalStrength != -1) {
    data->currentVolume = meter->currentLevel;
    data->meanVolume = mean;
  }
  if (data->msgSignalStrength95pc != -1) data->msgVolume = mean;
}

// ---------------------------------------------------------------------------
// Pre-filter.

PreFilter* preFilterCreate(int32_t rateCode, int32_t longFilter) {
  PreFilter* filter = static_cast<PreFilter*>(calloc(1, sizeof(PreFilter)));
  if (filter == nullptr) return nullptr;
  const bool useLong = rateCode == 16 && longFilter != 0;
  filter->tapCount = useLong ? 7 : 3;
  filter->coefficients = useLong ? kLongPreFilter : kShortPreFilter;
  filter->shift = 2;
  if (!CircularBufferShortInit2(&filter->delayLine, nullptr, filter->tapCount)) {
    free(filter);
    return nullptr;
  }
  return filter;
}

void preFilterFree(PreFilter* filter) {
  if (filter == nullptr) return;
  CircularBufferShortClose(&filter->delayLine);
  free(filter);
}

PreFilter* preFilterProcess(PreFilter* filter, int16_t* samples,
                            int32_t count) {
  if (filter == nullptr || samples == nullptr || count < 1) return filter;
  const int16_t* x = slots(filter->delayLine);
  const int32_t taps = filter->tapCount;
  if (taps >= 1 && taps <= kPreFilterMaxTaps && filter->delayLine.count == taps &&
      fitsInt16(filter->coefficients, taps)) {
    preFilterBlockwise(filter, samples, count);
    return filter;
  }
  for (int32_t i = 0; i < count; ++i) {
    pushSample(&filter->delayLine, samples[i]);
    int32_t idx = newestIndex(filter->delayLine);
    int32_t sum = 0;
    for (int32_t k = 0; k < taps; ++k) {
      sum += filter->coefficients[k] * x[idx];
      if (--idx < 0) idx = taps - 1;
    }
    samples[i] = static_cast<int16_t>(sum >> filter->shift);  // low bits kept
  }
  return filter;
}

// ---------------------------------------------------------------------------
// Frame cutter.

SampleHolder* sampleHolderCreate(int32_t capacity) {
  if (capacity < 1) return nullptr;
  SampleHolder* holder =
      static_cast<SampleHolder*>(calloc(1, sizeof(SampleHolder)));
  if (holder == nullptr) return nullptr;
  holder->samples = static_cast<int16_t*>(
      calloc(static_cast<size_t>(capacity), sizeof(int16_t)));
  if (holder->samples == nullptr) {
    free(holder);
    return nullptr;
  }
  holder->capacity = capacity;
  return holder;
}

void sampleHolderFree(SampleHolder* holder) {
  if (holder == nullptr) return;
  free(holder->samples);
  free(holder);
}

int16_t* cutFrame(SampleHolder* holder, int16_t** input, int32_t* remaining,
                  int32_t* outCount) {
  if (outCount != nullptr) *outCount = 0;
  if (holder == nullptr || input == nullptr || remaining == nullptr ||
      outCount == nullptr || *remaining < 1 || *input == nullptr) {
    return nullptr;
  }
  const int32_t n = holder->capacity;
  if (holder->fill == 0) {
    const int32_t k = (*remaining / n) * n;
    int16_t* frame = *input;
    *outCount = k;
    *input += k;
    *remaining -= k;
    while (*remaining > 0) {  // fewer than n left: keep them for next time
      holder->samples[holder->fill++] = **input;
      ++*input;
      --*remaining;
    }
    return k > 0 ? frame : nullptr;
  }
  while (holder->fill < n && *remaining > 0) {
    holder->samples[holder->fill++] = **input;
    ++*input;
    --*remaining;
  }
  if (holder->fill < n) return nullptr;
  *outCount = n;
  holder->fill = 0;
  return holder->samples;
}

// ---------------------------------------------------------------------------
// Band filters.

void bandFilterInit(BandFilter* filter, const BandRateEntry* rateTable) {
  if (filter == nullptr) return;
  memset(filter, 0, sizeof(*filter));
  filter->tapCount = -1;
  filter->ownsDelayLine = 1;
  if (rateTable == nullptr) return;
  size_t entries = 1;  // the ending entry
  while (rateTable[entries - 1].rateCode != 0) ++entries;
  filter->rateTable =
      static_cast<BandRateEntry*>(malloc(entries * sizeof(BandRateEntry)));
  if (filter->rateTable != nullptr) {
    memcpy(filter->rateTable, rateTable, entries * sizeof(BandRateEntry));
  }
}

void bandFilterClear(BandFilter* filter) {
  if (filter == nullptr) return;
  if (filter->ownsDelayLine) CircularBufferGenericClose(&filter->delayLine);
  free(filter->rateTable);
  memset(filter, 0, sizeof(*filter));
  filter->tapCount = -1;
  filter->ownsDelayLine = 1;
}

void bandFilterSetSharedDelayLine(BandFilter* filter, CircularBuffer* line) {
  if (filter != nullptr) filter->sharedDelayLine = line;
}

void bandFilterSetOwnsDelayLine(BandFilter* filter, int32_t owns) {
  if (filter != nullptr) filter->ownsDelayLine = owns;
}

int32_t bandFilterDelay(const BandFilter* filter) {
  if (filter == nullptr || filter->tapCount < 0) return -1;
  if (filter->tapCount == 0) return 0;
  return (filter->tapCount - 1) / 2;
}

int32_t bandFilterSetRate(BandFilter* filter, int32_t rateCode,
                          int32_t elementSize) {
  if (filter == nullptr) return -1;
  if (rateCode == filter->currentRate) return bandFilterDelay(filter);
  filter->currentRate = rateCode;
  filter->tapCount = -1;
  filter->coefficients = nullptr;
  for (const BandRateEntry* e = filter->rateTable; e != nullptr && e->rateCode != 0;
       ++e) {
    if (e->rateCode == rateCode) {
      filter->tapCount = e->tapCount;
      filter->coefficients = e->coefficients;
      break;
    }
  }
  buildTapList(filter);
  if (!filter->ownsDelayLine) return bandFilterDelay(filter);

  if (filter->delayLine.base != nullptr) {
    CircularBufferGenericClose(&filter->delayLine);
  }
  if (filter->tapCount < 1 || elementSize < 1) return -1;
  if (filter->sharedDelayLine == nullptr) {
    if (!CircularBufferGenericInit2(&filter->delayLine, nullptr,
                                    filter->tapCount, elementSize)) {
      return -1;
    }
    return bandFilterDelay(filter);
  }
  const CircularBuffer* shared = filter->sharedDelayLine;
  const int64_t have = static_cast<int64_t>(shared->count) * shared->elementSize;
  if (shared->base == nullptr ||
      have < static_cast<int64_t>(filter->tapCount) * elementSize) {
    return -1;
  }
  if (!CircularBufferGenericInit2(&filter->delayLine, shared->base,
                                  filter->tapCount, elementSize)) {
    return -1;
  }
  return bandFilterDelay(filter);
}

BandFilter* bandSplit(BandFilter* low, BandFilter* high, int16_t* pairs,
                      int32_t count) {
  if (low == nullptr || high == nullptr || pairs == nullptr ||
      low->delayLine.base == nullptr || low->delayLine.elementSize != 2 ||
      low->coefficients == nullptr || high->coefficients == nullptr) {
    return low;
  }
  CircularBuffer* line = &low->delayLine;
  if (count < 1) return low;
  if (line->count <= kBandFilterMaxFastTaps && tapListValid(low) && tapListValid(high) &&
      low->tapCount <= line->count && high->tapCount <= line->count) {
    splitBlockwise(low, high, highIsComplement(low, high), pairs, count);
    return low;
  }
  // Both tables must fit the shared delay line.
  const int32_t lowTaps = low->tapCount < line->count ? low->tapCount : line->count;
  const int32_t highTaps = high->tapCount < line->count ? high->tapCount : line->count;
  int32_t i = 0;
  for (; i + 1 < count; i += 2) {
    pushSample(line, pairs[i]);
    pushSample(line, pairs[i + 1]);
    const int32_t lowOut = convolveNewestFirst(*line, low->coefficients, lowTaps) >> 8;
    const int32_t highOut = convolveNewestFirst(*line, high->coefficients, highTaps) >> 8;
    pairs[i] = static_cast<int16_t>(lowOut);
    pairs[i + 1] = static_cast<int16_t>(highOut);
  }
  if (i < count) pushSample(line, pairs[i]);
  return low;
}

// ---------------------------------------------------------------------------
// Sub-band bank.

const int16_t* bandLowPassTable(int32_t rateCode, int32_t* tapCount) {
  for (int32_t i = 0; i < kBandTableCount; ++i) {
    if (kBandTables[i].rateCode == rateCode) {
      if (tapCount != nullptr) *tapCount = kBandTables[i].taps;
      return kBandTables[i].low;
    }
  }
  if (tapCount != nullptr) *tapCount = 0;
  return nullptr;
}

const int16_t* bandHighPassTable(int32_t rateCode, int32_t* tapCount) {
  for (int32_t i = 0; i < kBandTableCount; ++i) {
    if (kBandTables[i].rateCode == rateCode) {
      if (tapCount != nullptr) *tapCount = kBandTables[i].taps;
      return kBandTables[i].high;
    }
  }
  if (tapCount != nullptr) *tapCount = 0;
  return nullptr;
}

void subBandBankBuildTables(SubBandBank* bank) {
  if (bank == nullptr) return;
  if (bank->bandCount != 2) {
    reportBandingError(kUnsupportedBanding);
    return;
  }
  freeRateTables(bank);
  BandRateEntry** lists =
      static_cast<BandRateEntry**>(calloc(2, sizeof(BandRateEntry*)));
  if (lists == nullptr) return;
  for (int32_t b = 0; b < 2; ++b) {
    lists[b] = static_cast<BandRateEntry*>(
        calloc(kBandTableCount + 1, sizeof(BandRateEntry)));
    if (lists[b] == nullptr) {
      free(lists[0]);
      free(lists);
      return;
    }
    for (int32_t i = 0; i < kBandTableCount; ++i) {
      lists[b][i].rateCode = kBandTables[i].rateCode;
      lists[b][i].coefficients = b == 0 ? kBandTables[i].low : kBandTables[i].high;
      lists[b][i].tapCount = kBandTables[i].taps;
    }
  }
  bank->rateTables = lists;
}

int32_t subBandBankInit(SubBandBank* bank, int32_t rateCode) {
  if (bank == nullptr) return 0;
  if (bank->bandCount != 1 && bank->bandCount != 2) {
    reportBandingError(kUnsupportedBanding);
    return 0;
  }
  if (bank->rateCodes == nullptr) {
    bank->rateCodes = static_cast<int32_t*>(calloc(
        static_cast<size_t>(bank->bandCount), sizeof(int32_t)));
    if (bank->rateCodes == nullptr) return 0;
  }
  if (bank->bandCount == 1) {
    if (bank->signs == nullptr) {
      bank->signs = static_cast<int32_t*>(calloc(1, sizeof(int32_t)));
      if (bank->signs == nullptr) return 0;
    }
    bank->rateCodes[0] = rateCode;
    bank->signs[0] = 1;
    return 1;
  }
  int32_t bandRate = 0;
  switch (rateCode) {
    case 16: bandRate = 8; break;
    case 32: bandRate = 16; break;
    case 44: bandRate = 22; break;
    default:
      reportBandingError(kUnsupportedRate);
      return 0;
  }
  bank->rateCodes[0] = bandRate;
  bank->rateCodes[1] = bandRate;
  subBandBankBuildTables(bank);
  return bank->rateTables != nullptr ? 1 : 0;
}

void subBandBankFree(SubBandBank* bank) {
  if (bank == nullptr) return;
  freeRateTables(bank);
  free(bank->signs);
  free(bank->rateCodes);
  free(bank);
}

}  // namespace tembrolexinsdk
