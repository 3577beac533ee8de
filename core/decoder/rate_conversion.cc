#include "core/decoder/rate_conversion.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <cstddef>

#include "core/decoder/symmetric_table.h"

namespace tembrolexinsdk {
namespace {

constexpr int16_t kDecimate2Half[] = {-1, -4, -5, -1, 3,  2,  -4, -3, 4,  5,
                                      -5, -8, 6,  14, -6, -26, 6, 81, 122};
constexpr int16_t kDecimate3Half[] = {-1, -3, -3, -3, -1, 1,  2,  1,  -1,
                                      -3, -2, 1,  4,  3,  -1, -5, -6, 0,
                                      7,  9,  2,  -10, -17, -8, 20, 54, 78};
constexpr int16_t kDecimate4Half[] = {
    -1, -2, -2, -3, -2, -1, 0,  1,  2,  1,  0,   -1,  -2, -2, -1, 1,  3,  3,
    2,  -1, -4, -5, -3, 1,  5,  7,  6,  0,  -7,  -12, -12, -4, 12, 31, 49, 59};
constexpr int16_t kDecimate6Half[] = {
    -1, -1, -1, -2, -2, -2, -1, -1, 0,  0,  1,  1,  1,  1,  1,  0,  -1, -1,
    -2, -1, -1, 0,  1,  1,  2,  2,  2,  1,  0,  -2, -3, -3, -3, -2, 0,  2,
    4,  5,  5,  3,  1,  -2, -5, -8, -9, -7, -4, 2,  10, 19, 27, 34, 39, 41};
constexpr int16_t kInterpolate3Half[] = {
    1,  1,  -1, -4, -8,  -10, -9,  -3, 4,  7,  3,  -4, -9,  -6,  4,
    12, 10, -2, -16, -17, 0,  22, 28, 6, -31, -51, -23, 59, 162, 233};

constexpr std::array<int16_t, 37> kDecimate2 = mirror<37>(kDecimate2Half);
constexpr std::array<int16_t, 54> kDecimate3 = mirror<54>(kDecimate3Half);
constexpr std::array<int16_t, 72> kDecimate4 = mirror<72>(kDecimate4Half);
constexpr std::array<int16_t, 107> kDecimate6 = mirror<107>(kDecimate6Half);
constexpr std::array<int16_t, 60> kInterpolate3 = mirror<60>(kInterpolate3Half);

// Narrowing of a filter output: clamped to the 16-bit range, never wrapped.
inline int16_t clampToInt16(int32_t v) {
  if (v > 32767) return 32767;
  if (v < -32768) return -32768;
  return static_cast<int16_t>(v);
}

// Float to 16 bits: truncation toward zero after clamping, so that out of
// range values (and NaN, which becomes 0) never reach an undefined
// conversion.
inline int16_t floatToInt16(float v) {
  if (!(v == v)) return 0;
  if (v >= 32767.0f) return 32767;
  if (v <= -32768.0f) return -32768;
  return static_cast<int16_t>(v);
}

inline int16_t* ringBase(const CircularBuffer& ring) {
  return reinterpret_cast<int16_t*>(ring.base);
}
inline int16_t* ringCurrent(const CircularBuffer& ring) {
  return reinterpret_cast<int16_t*>(ring.current);
}

// Pushes one sample into an int16 ring: advance `current` (wrapping) and
// store the sample there over the oldest one.
inline void pushSample(CircularBuffer* ring, int16_t sample) {
  int16_t* slot = ringCurrent(*ring) + 1;
  if (slot >= ringBase(*ring) + ring->count) slot = ringBase(*ring);
  *slot = sample;
  ring->current = reinterpret_cast<decltype(ring->current)>(slot);
}

// The two contiguous pieces of the history, oldest first: [first, first +
// firstLength) then [second, second + secondLength).
struct HistoryPieces {
  const int16_t* first;
  int32_t firstLength;
  const int16_t* second;
  int32_t secondLength;
};

inline HistoryPieces historyPieces(const CircularBuffer& ring) {
  const int16_t* base = ringBase(ring);
  const int32_t newest = static_cast<int32_t>(ringCurrent(ring) - base);
  HistoryPieces pieces;
  pieces.first = base + newest + 1;
  pieces.firstLength = ring.count - newest - 1;
  pieces.second = base;
  pieces.secondLength = newest + 1;
  return pieces;
}

// Σ c[k] · x[k] for k < n, in eight lanes so that the compiler turns the
// lanes into one vector multiply-add (integer sums are exact in any order).
inline int32_t fixedDot(const int16_t* c, const int16_t* x, int32_t n) {
  int32_t lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int32_t k = 0;
  for (; k + 8 <= n; k += 8) {
    for (int32_t j = 0; j < 8; ++j) {
      lanes[j] += static_cast<int32_t>(c[k + j]) * x[k + j];
    }
  }
  int32_t sum = 0;
  for (; k < n; ++k) sum += static_cast<int32_t>(c[k]) * x[k];
  for (int32_t j = 0; j < 8; ++j) sum += lanes[j];
  return sum;
}

// Σ c[k·stride] · h[k] over the history, oldest with c[0].
int32_t fixedSum(const HistoryPieces& h, const int16_t* c, int32_t stride) {
  if (stride == 1) {
    return fixedDot(c, h.first, h.firstLength) +
           fixedDot(c + h.firstLength, h.second, h.secondLength);
  }
  int32_t sum = 0;
  for (int32_t k = 0; k < h.firstLength; ++k) {
    sum += static_cast<int32_t>(c[k * stride]) * h.first[k];
  }
  c += h.firstLength * stride;
  for (int32_t k = 0; k < h.secondLength; ++k) {
    sum += static_cast<int32_t>(c[k * stride]) * h.second[k];
  }
  return sum;
}

// The same for float tables, in eight partial sums (vectorisable).
inline float floatDot(const float* c, const int16_t* x, int32_t n) {
  float lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int32_t k = 0;
  for (; k + 8 <= n; k += 8) {
    for (int32_t j = 0; j < 8; ++j) lanes[j] += c[k + j] * static_cast<float>(x[k + j]);
  }
  float sum = 0.0f;
  for (; k < n; ++k) sum += c[k] * static_cast<float>(x[k]);
  return sum + (((lanes[0] + lanes[4]) + (lanes[1] + lanes[5])) +
                ((lanes[2] + lanes[6]) + (lanes[3] + lanes[7])));
}

float floatSum(const HistoryPieces& h, const float* c, int32_t stride) {
  if (stride == 1) {
    return floatDot(c, h.first, h.firstLength) +
           floatDot(c + h.firstLength, h.second, h.secondLength);
  }
  float sum = 0.0f;
  for (int32_t k = 0; k < h.firstLength; ++k) {
    sum += c[k * stride] * static_cast<float>(h.first[k]);
  }
  c += h.firstLength * stride;
  for (int32_t k = 0; k < h.secondLength; ++k) {
    sum += c[k * stride] * static_cast<float>(h.second[k]);
  }
  return sum;
}

// One output from the current history. `offset` and `stride` select the
// coefficients: c[offset + j·stride] for the j-th oldest sample.
inline int16_t filterOutput(const ResamplingFilter* f, int32_t offset,
                            int32_t stride) {
  const HistoryPieces h = historyPieces(f->history);
  if (f->fixedCoefficients != nullptr) {
    // Q8 gain: divide by 256, truncating toward zero.
    return clampToInt16(fixedSum(h, f->fixedCoefficients + offset, stride) /
                        256);
  }
  return floatToInt16(floatSum(h, f->floatCoefficients + offset, stride));
}

int32_t decimate(ResamplingFilter* f, int16_t* buffer, int32_t count) {
  int32_t out = 0;
  for (int32_t i = 0; i < count; ++i) {
    pushSample(&f->history, buffer[i]);
    if (f->integerRatio) {
      if (++f->phase != f->ratio) continue;
      f->phase = 0;
    } else {
      f->fractionalPhase += 1.0f;
      if (!(f->fractionalPhase >= f->fractionalRatio)) continue;
      f->fractionalPhase -= f->fractionalRatio;
    }
    // out <= i: the output never overtakes the input still to be read.
    buffer[out++] = filterOutput(f, 0, 1);
  }
  return out;
}

int32_t interpolate(ResamplingFilter* f, int16_t* buffer, int32_t count,
                    int32_t u) {
  // Move the inputs to the tail; output i·u .. i·u + u − 1 then never
  // overwrites an input that has not been read yet.
  const int32_t tail = count * (u - 1);
  memmove(buffer + tail, buffer, static_cast<size_t>(count) * sizeof(int16_t));
  for (int32_t i = 0; i < count; ++i) {
    pushSample(&f->history, buffer[tail + i]);
    for (int32_t p = 0; p < u; ++p) {
      buffer[i * u + p] = filterOutput(f, u - 1 - p, u);
    }
  }
  return count * u;
}

ResamplingFilter* bandPassFilterFor(int32_t fromHz, int32_t toHz) {
  if (fromHz <= 0 || toHz <= 0) return nullptr;
  for (const BandPassTable* t = kBandPassTables; t->fromHz != 0; ++t) {
    if (t->fromHz != fromHz || t->toHz != toHz) continue;
    const uint16_t from16 = static_cast<uint16_t>(fromHz);
    const uint16_t to16 = static_cast<uint16_t>(toHz);
    if (from16 % to16 == 0) {
      const int32_t ratio = from16 / to16;
      return resamplingFilterInit(1, 0, &ratio, t->coefficients, t->tapCount);
    }
    const float ratio = static_cast<float>(fromHz) / static_cast<float>(toHz);
    return resamplingFilterInit(0, 0, &ratio, t->coefficients, t->tapCount);
  }
  return nullptr;
}

}  // namespace


ResamplingFilter* resamplingFilterInit(int32_t integerRatio, int32_t fixedPoint,
                                       const void* ratio,
                                       const void* coefficients,
                                       int32_t tapCount) {
  if (ratio == nullptr || coefficients == nullptr || tapCount < 1) {
    return nullptr;
  }
  int32_t slots = tapCount;
  int32_t intRatio = 0;
  float fracRatio = 0.0f;
  if (integerRatio) {
    intRatio = *static_cast<const int32_t*>(ratio);
    if (intRatio == 0 || intRatio == INT32_MIN) return nullptr;
    if (intRatio < 0) {
      slots = tapCount / -intRatio;
      if (slots < 1) return nullptr;
    }
  } else {
    fracRatio = *static_cast<const float*>(ratio);
    if (!(fracRatio >= 0.0f) || isinf(fracRatio)) return nullptr;
  }

  ResamplingFilter* f =
      static_cast<ResamplingFilter*>(calloc(1, sizeof(ResamplingFilter)));
  if (f == nullptr) return nullptr;
  if (!CircularBufferShortInit2(&f->history, nullptr, slots)) {
    free(f);
    return nullptr;
  }
  f->tapCount = tapCount;
  if (fixedPoint) {
    f->fixedCoefficients = static_cast<const int16_t*>(coefficients);
  } else {
    f->floatCoefficients = static_cast<const float*>(coefficients);
  }
  f->integerRatio = integerRatio ? 1 : 0;
  f->ratio = intRatio;
  f->fractionalRatio = fracRatio;
  return f;
}

void resamplingFilterClose(ResamplingFilter* filter) {
  if (filter == nullptr) return;
  CircularBufferShortClose(&filter->history);
  free(filter);
}

int32_t resamplingFilterProcessBounded(ResamplingFilter* filter,
                                       int16_t* buffer, int32_t count,
                                       int32_t capacity) {
  if (filter == nullptr || buffer == nullptr || count < 1) return 0;
  if (filter->floatCoefficients == nullptr &&
      filter->fixedCoefficients == nullptr) {
    return count;
  }
  if (filter->integerRatio && filter->ratio < 0) {
    const int32_t u = -filter->ratio;
    if (static_cast<int64_t>(count) * u > capacity) return -1;
    return interpolate(filter, buffer, count, u);
  }
  if (count > capacity) return -1;
  return decimate(filter, buffer, count);
}

int32_t resamplingFilterProcess(ResamplingFilter* filter, int16_t* buffer,
                                int32_t count) {
  if (filter == nullptr || count < 1) return 0;
  int64_t capacity = count;
  if (filter->integerRatio && filter->ratio < 0) {
    capacity = static_cast<int64_t>(count) * -static_cast<int64_t>(filter->ratio);
  }
  // An output count that int32 cannot hold is refused rather than wrapped.
  if (capacity > INT32_MAX) return 0;
  const int32_t n = resamplingFilterProcessBounded(
      filter, buffer, count, static_cast<int32_t>(capacity));
  return n < 0 ? 0 : n;
}

const int16_t* getFilterCoefficients(int32_t from, int32_t to,
                                     int32_t* tapCount) {
  const int16_t* table = nullptr;
  int32_t taps = 0;
  if (from > 0 && to > 0) {
    if (from % to == 0) {
      switch (from / to) {
        case 2: table = kDecimate2.data(); taps = 37; break;
        case 3: table = kDecimate3.data(); taps = 54; break;
        case 4: table = kDecimate4.data(); taps = 72; break;
        case 6: table = kDecimate6.data(); taps = 107; break;
        default: break;
      }
    }
    if (table == nullptr && to % from == 0 && to / from == 3) {
      table = kInterpolate3.data();
      taps = 60;
    }
  }
  if (tapCount != nullptr) *tapCount = taps;
  return table;
}

ResamplingFilter* DecoderBandPassInit(int32_t fromHz, int32_t toHz) {
  return bandPassFilterFor(fromHz, toHz);
}

ResamplingFilter* DecoderBandPassInitFixedPoint(int32_t fromHz, int32_t toHz) {
  if (fromHz != 48000 || toHz != 8000) return nullptr;
  const int32_t ratio = 6;
  return resamplingFilterInit(1, 1, &ratio, kBandPassFixed48000To8000Table,
                              kBandPassFixed48000To8000TapCount);
}

ResamplingFilter* DecoderBandPassInit_iPhone(int32_t fromHz, int32_t toHz) {
  if (fromHz != 16000 || toHz != 8000) return nullptr;
  return bandPassFilterFor(fromHz, toHz);
}

int32_t DecoderBandPassProcess(ResamplingFilter* filter, int16_t* buffer,
                               int32_t count) {
  return resamplingFilterProcess(filter, buffer, count);
}

void DecoderBandPassClose(ResamplingFilter* filter) {
  resamplingFilterClose(filter);
}

}  // namespace tembrolexinsdk
