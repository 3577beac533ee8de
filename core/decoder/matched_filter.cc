#include "core/decoder/matched_filter.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "core/decoder/convolutional_code.h"
#include "core/decoder/vector_clones.h"

namespace tembrolexinsdk {

int64_t truncatedQuotient(int64_t a, int64_t b) {
  // Below 2^52 both convert exactly, and the correctly rounded quotient
  // cannot cross an integer: a/b lies at least 1/b from any integer it is
  // not, more than the rounding error |a/b|·2^-53 when |a| < 2^53.
  constexpr int64_t kExact = int64_t{1} << 52;
  if (a > -kExact && a < kExact && b > 0 && b < kExact) {
    return static_cast<int64_t>(static_cast<double>(a) / static_cast<double>(b));
  }
  return a / b;
}

namespace {

inline int32_t samplesOf(int32_t q, int32_t rateCode) {
  return quarterMsToSamples(q, rateCode);
}

inline int64_t abs64(int64_t v) { return v < 0 ? -v : v; }

inline int32_t clampInt32(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

inline int16_t clampInt16(int64_t v) {
  if (v > 32767) return 32767;
  if (v < -32768) return -32768;
  return static_cast<int16_t>(v);
}

template <typename T>
inline T* ringSlots(const CircularBuffer& ring) {
  return reinterpret_cast<T*>(ring.base);
}

template <typename T>
inline int32_t ringNewest(const CircularBuffer& ring) {
  return static_cast<int32_t>(reinterpret_cast<T*>(ring.current) -
                              ringSlots<T>(ring));
}

// Exchange push on a typed ring (the ring's element size equals sizeof(T)).
template <typename T>
inline T ringPush(CircularBuffer* ring, T value) {
  T* slot = reinterpret_cast<T*>(ring->current) + 1;
  if (slot >= ringSlots<T>(*ring) + ring->count) slot = ringSlots<T>(*ring);
  const T old = *slot;
  *slot = value;
  ring->current = reinterpret_cast<uint8_t*>(slot);
  return old;
}

// The value written `back` pushes before the newest (0 <= back < count).
template <typename T>
inline T ringBack(const CircularBuffer& ring, int32_t back) {
  int32_t idx = ringNewest<T>(ring) - back;
  if (idx < 0) idx += ring.count;
  return ringSlots<T>(ring)[idx];
}

// Σ values[newest − k] · pulse[k] over min(slots, pulseLength) entries, newest
// with the first pulse entry, in two contiguous pieces of the ring.
int64_t pulseCorrelation(const CircularBuffer& ring, const int16_t* pulse,
                         int32_t pulseLength) {
  const int32_t* v = ringSlots<int32_t>(ring);
  const int32_t n = pulseLength < ring.count ? pulseLength : ring.count;
  int32_t idx = ringNewest<int32_t>(ring);
  int64_t c = 0;
  int32_t k = 0;
  for (; k < n && idx >= 0; ++k, --idx) c += static_cast<int64_t>(v[idx]) * pulse[k];
  for (idx = ring.count - 1; k < n; ++k, --idx) {
    c += static_cast<int64_t>(v[idx]) * pulse[k];
  }
  return c;
}

// Emission of one integrated value v (and its magnitude sum w in form 2):
// energy stays the sum of the magnitudes held in the ring.
inline void emit(MatchedFilter* f, int32_t i, int64_t v64, int64_t w64) {
  const int32_t v = clampInt32(v64);
  const int32_t old = ringPush<int32_t>(&f->stepValues[i], v);
  if (f->form == 2) {
    const int32_t w = clampInt32(w64);
    const int32_t oldW = ringPush<int32_t>(&f->absStepValues[i], w);
    f->energy[i] += w;
    f->energy[i] -= oldW;
  } else {
    f->energy[i] += abs64(v);
    f->energy[i] -= abs64(old);
  }
}

// One phase step for position i; returns the magnitude of the soft symbol
// that leaves the code-word window.
inline int32_t phaseStep(MatchedFilter* f, int32_t i, int32_t sign) {
  const int64_t c = pulseCorrelation(f->stepValues[i], f->pulse, f->pulseLength);
  const int64_t e = f->energy[i];
  const int64_t r64 = e == 0 ? c : truncatedQuotient(c + e / 2, e);
  const int16_t r = clampInt16(r64);
  const int16_t before = ringPush<int16_t>(&f->correlations[i], r);
  int32_t d = static_cast<int32_t>(r) - before;
  if (sign < 0) d = -d;
  if (f->form == 1) d /= 2;
  if (d > 127) d = 127;
  if (d < -128) d = -128;
  // The symbol leaving one code word's window (align + N·F − 1 steps before
  // the newest), read explicitly so that the window stays one code word long
  // even when the ring has been enlarged.
  CircularBuffer* soft = &f->softSymbols[i];
  const int64_t back =
      static_cast<int64_t>(f->align[i]) + static_cast<int64_t>(f->phaseCount) *
                                               f->framesPerCodeword - 1;
  int8_t leaving = 0;
  if (soft->base != nullptr) {
    if (back < soft->count) {
      leaving = ringBack<int8_t>(*soft, static_cast<int32_t>(back));
    } else {
      leaving = CircularBufferCharAt(soft, back);  // a ring made shorter
    }
    ringPush<int8_t>(soft, static_cast<int8_t>(d));
  }
  return leaving < 0 ? -static_cast<int32_t>(leaving) : leaving;
}

void freeRings(CircularBuffer* rings, int32_t count,
               void (*close)(CircularBuffer*)) {
  if (rings == nullptr) return;
  for (int32_t i = 0; i < count; ++i) close(&rings[i]);
  free(rings);
}

int16_t* buildPulse(int32_t symbolSamples, int32_t phaseCount, int32_t form,
                    int32_t* length) {
  const int32_t half = symbolSamples / 2;
  int32_t step = symbolSamples / phaseCount;
  int32_t start = step / 2;
  if (form == 0) {
    step = 1;
    start = 0;
  }
  int32_t n = 0;
  for (int32_t t = start; t < half; t += step) ++n;
  int16_t* pulse = static_cast<int16_t*>(calloc(n > 0 ? n : 1, sizeof(int16_t)));
  if (pulse == nullptr) return nullptr;
  int32_t k = 0;
  for (int32_t t = start; t < half; t += step) {
    const float s = sinf(static_cast<float>(t) * 3.14159f / static_cast<float>(half));
    pulse[k++] = static_cast<int16_t>(floorf(s * 128.0f + 0.5f));
  }
  *length = n;
  return pulse;
}

}  // namespace

int32_t matchedFilterInputLength(const SchemeConfig* config, int32_t rateCode) {
  if (config == nullptr || config->positionCount < 1 ||
      config->positionLags == nullptr) {
    return 0;
  }
  const int64_t l =
      static_cast<int64_t>(samplesOf(config->comparisonDelay, rateCode)) +
      samplesOf(config->positionLags[config->positionCount - 1], rateCode);
  return l < 0 || l >= INT32_MAX ? 0 : static_cast<int32_t>(l);
}

int32_t matchedFilterEchoDelays(const SchemeConfig* config, int32_t rateCode,
                                int32_t position, int32_t* aDelay,
                                int32_t* bDelay) {
  if (aDelay != nullptr) *aDelay = -1;
  if (bDelay != nullptr) *bDelay = -1;
  if (config == nullptr || position < 0 || position >= config->positionCount ||
      config->positionLags == nullptr) {
    return 0;
  }
  const int32_t length = matchedFilterInputLength(config, rateCode);
  const int32_t lag = samplesOf(config->positionLags[position], rateCode);
  const int32_t d = samplesOf(config->comparisonDelay, rateCode);
  const int64_t a = static_cast<int64_t>(length) - lag;
  const int64_t b = a - d;
  if (d < 0 || lag < 0 || a > length || b < 0) return 0;
  if (aDelay != nullptr) *aDelay = static_cast<int32_t>(a);
  if (bDelay != nullptr) *bDelay = static_cast<int32_t>(b);
  return 1;
}

int32_t matchedFilterAlignSteps(const SchemeConfig* config, int32_t rateCode,
                                int32_t position) {
  if (config == nullptr || position < 0 || position >= config->positionCount ||
      config->positionAlignments == nullptr) {
    return 0;
  }
  const int32_t symbol = samplesOf(config->symbolDuration, rateCode);
  if (symbol <= 0) return 0;
  const int64_t a = static_cast<int64_t>(samplesOf(
                        config->positionAlignments[config->positionCount - 1 - position],
                        rateCode)) *
                    config->phaseCount / symbol;
  return a < 0 ? 0 : clampInt32(a);
}

MatchedFilter* matchedFilterCreate(const SchemeConfig* config, int32_t rateCode) {
  if (config == nullptr || config->positionCount < 1 || config->phaseCount < 2 ||
      config->positionLags == nullptr || config->positionAlignments == nullptr ||
      rateCode <= 0) {
    return nullptr;
  }
  const int32_t p = config->positionCount;
  const int32_t n = config->phaseCount;
  const int32_t symbol = samplesOf(config->symbolDuration, rateCode);
  const int32_t form = config->unitForm;
  const int32_t framesPerCodeword = schemeFramesPerCodeword(config);
  if (symbol / n < 1 || framesPerCodeword < 1 || form < 0 || form > 2) {
    return nullptr;
  }
  const int32_t length = matchedFilterInputLength(config, rateCode);
  if (length < 0 || length > INT32_MAX - kMatchedFilterBlock) return nullptr;

  MatchedFilter* f = static_cast<MatchedFilter*>(calloc(1, sizeof(MatchedFilter)));
  if (f == nullptr) return nullptr;
  f->rateCode = rateCode;
  f->config = config;
  f->positionCount = p;
  f->phaseCount = n;
  f->form = form;
  f->shift = rateCode < 9 ? 10 : 11;
  f->stepLength = symbol / n;
  f->inputLength = length;
  f->framesPerCodeword = framesPerCodeword;
  f->stepCountdown = f->stepLength;

  f->historyCapacity = length + kMatchedFilterBlock;
  f->historyFill = length;
  f->history = static_cast<int16_t*>(
      calloc(static_cast<size_t>(f->historyCapacity), sizeof(int16_t)));
  bool ok = f->history != nullptr;
  const size_t np = static_cast<size_t>(p);
  f->accumulator = static_cast<int64_t*>(calloc(np, sizeof(int64_t)));
  f->absAccumulator = static_cast<int64_t*>(calloc(np, sizeof(int64_t)));
  f->energy = static_cast<int64_t*>(calloc(np, sizeof(int64_t)));
  f->stepValues = static_cast<CircularBuffer*>(calloc(np, sizeof(CircularBuffer)));
  f->correlations = static_cast<CircularBuffer*>(calloc(np, sizeof(CircularBuffer)));
  f->softSymbols = static_cast<CircularBuffer*>(calloc(np, sizeof(CircularBuffer)));
  f->align = static_cast<int32_t*>(calloc(np, sizeof(int32_t)));
  f->aDelay = static_cast<int32_t*>(calloc(np, sizeof(int32_t)));
  f->bDelay = static_cast<int32_t*>(calloc(np, sizeof(int32_t)));
  if (form == 2) {
    f->absStepValues = static_cast<CircularBuffer*>(calloc(np, sizeof(CircularBuffer)));
    ok = ok && f->absStepValues != nullptr;
  }
  ok = ok && f->accumulator && f->absAccumulator && f->energy && f->stepValues &&
       f->correlations && f->softSymbols && f->align && f->aDelay && f->bDelay;
  if (ok) f->pulse = buildPulse(symbol, n, form, &f->pulseLength);
  ok = ok && f->pulse != nullptr;

  const int32_t stepSlots = form == 0 ? symbol / 2 : n / 2;
  for (int32_t i = 0; ok && i < p; ++i) {
    ok = matchedFilterEchoDelays(config, rateCode, i, &f->aDelay[i], &f->bDelay[i]) != 0;
    f->align[i] = matchedFilterAlignSteps(config, rateCode, i);
    const int64_t softSlots =
        static_cast<int64_t>(f->align[i]) + static_cast<int64_t>(n) * framesPerCodeword;
    ok = ok && softSlots <= INT32_MAX &&
         CircularBufferLongInit2(&f->stepValues[i], nullptr, stepSlots) &&
         CircularBufferShortInit2(&f->correlations[i], nullptr, n / 2) &&
         CircularBufferCharInit2(&f->softSymbols[i], nullptr,
                                 static_cast<int32_t>(softSlots));
    if (ok && form == 2) {
      ok = CircularBufferLongInit2(&f->absStepValues[i], nullptr, n / 2) != 0;
    }
  }
  if (!ok) {
    matchedFilterFree(f);
    return nullptr;
  }
  return f;
}

void matchedFilterFree(MatchedFilter* filter) {
  if (filter == nullptr) return;
  const int32_t p = filter->positionCount;
  free(filter->history);
  freeRings(filter->stepValues, p, CircularBufferLongClose);
  freeRings(filter->absStepValues, p, CircularBufferLongClose);
  freeRings(filter->correlations, p, CircularBufferShortClose);
  freeRings(filter->softSymbols, p, CircularBufferCharClose);
  free(filter->accumulator);
  free(filter->absAccumulator);
  free(filter->energy);
  free(filter->align);
  free(filter->aDelay);
  free(filter->bDelay);
  free(filter->pulse);
  free(filter);
}

TL_VECTOR_CLONES
int32_t matchedFilterProcess(MatchedFilter* f, int16_t* frame, int32_t frameLength,
                             int32_t band, int32_t bandCount) {
  if (f == nullptr || frame == nullptr || bandCount < 1 || band < 0 ||
      band >= frameLength) {
    return 0;
  }
  const int32_t p = f->positionCount;
  const int32_t sign = schemeBandSign(f->config, band);
  const int32_t shift = f->shift;
  const int32_t round = 1 << (shift - 1);
  const int32_t length = f->inputLength;
  int32_t steps = 0;
  for (int32_t j = band; j < frameLength;) {
    // A pass: the band's samples up to the next phase step, the end of the
    // frame or the block limit, whichever comes first.
    int32_t n = (frameLength - 1 - j) / bandCount + 1;
    if (n > f->stepCountdown) n = f->stepCountdown;
    if (n > kMatchedFilterBlock) n = kMatchedFilterBlock;
    if (n < 1) n = 1;
    if (f->historyFill + n > f->historyCapacity) {
      memmove(f->history, f->history + f->historyFill - length,
              static_cast<size_t>(length) * sizeof(int16_t));
      f->historyFill = length;
    }
    int16_t* xs = f->history + f->historyFill;
    if (bandCount == 2) {
      // A constant stride, which GCC vectorises (a variable one stays scalar).
      for (int32_t t = 0; t < n; ++t) xs[t] = frame[j + 2 * t];
    } else {
      for (int32_t t = 0; t < n; ++t) xs[t] = frame[j + t * bandCount];
    }

    if (f->form == 0) {
      // Every sample is emitted: sample by sample, position by position.
      for (int32_t t = 0; t < n; ++t) {
        const int32_t x = xs[t];
        for (int32_t i = 0; i < p; ++i) {
          const int32_t d = xs[t - f->aDelay[i]] / 2 - xs[t - f->bDelay[i]] / 2;
          f->accumulator[i] += (d * x + round) >> shift;
          emit(f, i, f->accumulator[i], 0);
          f->accumulator[i] = 0;
        }
      }
    } else {
      for (int32_t i = 0; i < p; ++i) {
        const int16_t* as = xs - f->aDelay[i];
        const int16_t* bs = xs - f->bDelay[i];
        // |d·x| <= 2^30, so a product is at most 2^20 after the shift and
        // the sum of one pass (at most kMatchedFilterBlock of them) stays
        // below 2^31.
        int32_t sum = 0;
        int32_t absSum = 0;
        if (f->form == 2) {
          for (int32_t t = 0; t < n; ++t) {
            // Each halved toward zero; the difference fits 16 bits.
            const int16_t d = static_cast<int16_t>(as[t] / 2 - bs[t] / 2);
            const int32_t prod = (static_cast<int32_t>(d) * xs[t] + round) >> shift;
            sum += prod;
            absSum += prod < 0 ? -prod : prod;
          }
          f->absAccumulator[i] += absSum;
        } else {
          for (int32_t t = 0; t < n; ++t) {
            const int16_t d = static_cast<int16_t>(as[t] / 2 - bs[t] / 2);
            sum += (static_cast<int32_t>(d) * xs[t] + round) >> shift;
          }
        }
        f->accumulator[i] += sum;
      }
    }
    f->historyFill += n;
    f->stepCountdown -= n;
    j += n * bandCount;
    if (f->stepCountdown > 0) continue;

    int64_t frameValue = 0;
    for (int32_t i = 0; i < p; ++i) {
      if (f->form != 0) {
        emit(f, i, f->accumulator[i], f->absAccumulator[i]);
        f->accumulator[i] = 0;
        f->absAccumulator[i] = 0;
      }
      frameValue -= phaseStep(f, i, sign);
    }
    // The k-th step's slot; its input sample has already been consumed.
    frame[band + steps * bandCount] = clampInt16(frameValue);
    ++steps;
    f->stepCountdown = f->stepLength;
  }
  return steps;
}

CircularBuffer* matchedFilterSoftSymbols(MatchedFilter* filter, int32_t newLength) {
  if (filter == nullptr) return nullptr;
  if (newLength > 0) {
    for (int32_t i = 0; i < filter->positionCount; ++i) {
      CircularBufferCharClose(&filter->softSymbols[i]);
      if (!CircularBufferCharInit2(&filter->softSymbols[i], nullptr, newLength)) {
        return nullptr;
      }
    }
  }
  return filter->softSymbols;
}

int32_t matchedFilterSoftSymbolLength(const MatchedFilter* filter) {
  if (filter == nullptr) return 0;
  int32_t longest = 0;
  for (int32_t i = 0; i < filter->positionCount; ++i) {
    if (filter->softSymbols[i].count > longest) longest = filter->softSymbols[i].count;
  }
  return longest;
}

int32_t matchedFilterSamplesSinceStep(const MatchedFilter* filter) {
  if (filter == nullptr) return 0;
  return filter->stepLength - filter->stepCountdown;
}

// ---------------------------------------------------------------------------
// Hamming correlator.

HammingCorrelator* hammingCorrelatorCreate(const SchemeConfig* config,
                                           int32_t windowLength) {
  if (config == nullptr || windowLength < 1 || config->phaseCount < 1) {
    return nullptr;
  }
  HammingCorrelator* h =
      static_cast<HammingCorrelator*>(calloc(1, sizeof(HammingCorrelator)));
  if (h == nullptr) return nullptr;
  h->config = config;
  h->windowLength = windowLength;
  h->phaseCount = config->phaseCount;
  h->window = static_cast<int32_t*>(calloc(static_cast<size_t>(windowLength), sizeof(int32_t)));
  h->accumulators =
      static_cast<int32_t*>(calloc(static_cast<size_t>(h->phaseCount), sizeof(int32_t)));
  if (h->window == nullptr || h->accumulators == nullptr) {
    hammingCorrelatorFree(h);
    return nullptr;
  }
  for (int32_t k = 0; k < windowLength; ++k) {
    // A window of one entry has no period: its only entry is the centre.
    const float c = windowLength > 1
                        ? cosf(static_cast<float>(k) * 6.283f /
                               static_cast<float>(windowLength - 1))
                        : 1.0f;
    h->window[k] = static_cast<int32_t>((0.54f - 0.46f * c) * 128.0f);
  }
  return h;
}

void hammingCorrelatorFree(HammingCorrelator* correlator) {
  if (correlator == nullptr) return;
  free(correlator->window);
  free(correlator->accumulators);
  free(correlator);
}

int32_t maxIndex(const int32_t* values, int32_t length) {
  if (values == nullptr || length < 2) return 0;
  int32_t best = 0;
  for (int32_t i = 1; i < length; ++i) {
    if (values[i] > values[best]) best = i;
  }
  return best;
}

int32_t partialCorrelate(HammingCorrelator* h, CircularBuffer* const* rings,
                         int8_t* output, const int32_t* newest, int32_t halfShift) {
  if (h == nullptr || rings == nullptr || newest == nullptr) return -1;
  const SchemeConfig* config = h->config;
  const int32_t n = h->phaseCount;
  const int32_t w = h->windowLength;
  const int32_t p = config->positionCount;
  const int32_t bands = schemeBandCount(config);
  const int32_t rate = schemeBandRate(config, 0);
  memset(h->accumulators, 0, static_cast<size_t>(n) * sizeof(int32_t));

  auto softAt = [](const CircularBuffer& ring, int64_t index) -> int32_t {
    if (ring.base == nullptr || ring.count < 1) return 0;
    int64_t i = index % ring.count;
    if (i < 0) i += ring.count;
    return reinterpret_cast<const int8_t*>(ring.base)[i];
  };

  if (w >= 2) {
    for (int32_t b = 0; b < bands; ++b) {
      if (rings[b] == nullptr) continue;
      for (int32_t j = 0; j < p; ++j) {
        const int32_t g = matchedFilterAlignSteps(config, rate, j);
        int32_t phase = ((-g) % n + n) % n;
        for (int32_t k = 0; k <= w - 2; ++k) {
          const int64_t s = softAt(rings[b][j], static_cast<int64_t>(newest[j]) - k);
          const int64_t v = static_cast<int64_t>(h->window[k]) * s;
          h->accumulators[phase] = clampInt32(h->accumulators[phase] + abs64(v));
          if (++phase == n) phase = 0;
        }
      }
    }
  }
  int32_t best = maxIndex(h->accumulators, n);
  if (halfShift) best = (best + n / 2) % n;

  const int32_t symbols = w / n;
  if (output != nullptr && symbols >= 1) {
    const int32_t g0 = matchedFilterAlignSteps(config, rate, 0);
    for (int32_t b = 0; b < bands; ++b) {
      for (int32_t j = 0; j < p; ++j) {
        const int32_t g = matchedFilterAlignSteps(config, rate, j);
        int64_t e = static_cast<int64_t>(w - n) + g + ((n - g0) >> 1);
        int64_t t = static_cast<int64_t>(w - n) + g + best;
        for (int32_t m = 0; m < symbols; ++m, e -= n, t -= n) {
          int32_t value = 0;
          if (e >= 0 && e < w && rings[b] != nullptr) {
            value = static_cast<int32_t>(
                (static_cast<int64_t>(h->window[e]) *
                 softAt(rings[b][j], static_cast<int64_t>(newest[j]) - t)) / 128);
          }
          if (value > 127) value = 127;
          if (value < -128) value = -128;
          output[b * p + j + static_cast<int64_t>(m) * p * bands] =
              static_cast<int8_t>(value);
        }
      }
    }
  }
  return best;
}

const int16_t* softMetricTable() {
  static const struct Table {
    int16_t values[256];
    Table() {
      for (int s = 0; s < 256; ++s) values[s] = static_cast<int16_t>(convSoftMetric(s));
    }
  } table;
  return table.values;
}

}  // namespace tembrolexinsdk
