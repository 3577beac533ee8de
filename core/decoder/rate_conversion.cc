#include "core/decoder/rate_conversion.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <cstddef>

#include "core/decoder/symmetric_table.h"
#include "core/decoder/vector_clones.h"

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

// Σ c[k] · x[k] for k < n, n a multiple of 8 (the Q8 taps are padded):
// integer sums are exact in any order, so the compiler may split the loop
// into vector lanes as it likes.
TL_INLINE_IN_CLONES int32_t fixedDot(const int16_t* __restrict c, const int16_t* __restrict x,
                                     int32_t n) {
  int32_t sum = 0;
  for (int32_t k = 0; k < n; ++k) sum += static_cast<int32_t>(c[k]) * x[k];
  return sum;
}

// Σ c[k] · x[k] for k < n in eight partial sums, combined in a fixed order.
TL_INLINE_IN_CLONES float floatDot(const float* c, const int16_t* x, int32_t n) {
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

// A float dot product over a whole history `x` of n samples (oldest first)
// whose newest sample a ring of n slots would hold at slot `newest`: summed
// as the ring's two contiguous pieces, the older piece first.
TL_INLINE_IN_CLONES float floatWindowSum(const float* c, const int16_t* x, int32_t n,
                                         int32_t newest) {
  const int32_t older = n - newest - 1;
  return floatDot(c, x, older) + floatDot(c + older, x + older, n - older);
}

// The same for one output phase of a float interpolation: one running sum,
// oldest sample first.
TL_INLINE_IN_CLONES float floatRunningSum(const float* c, const int16_t* x, int32_t n) {
  float sum = 0.0f;
  for (int32_t k = 0; k < n; ++k) sum += c[k] * static_cast<float>(x[k]);
  return sum;
}

// Four dot products with the same taps over x, x + step, x + 2·step and
// x + 3·step: one load of the taps serves four outputs, and the four sums
// run side by side.
TL_INLINE_IN_CLONES void fixedDot4(const int16_t* __restrict c, const int16_t* __restrict x,
                                   int32_t step, int32_t n, int32_t* __restrict sums) {
  const int16_t* x1 = x + step;
  const int16_t* x2 = x1 + step;
  const int16_t* x3 = x2 + step;
  int32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  for (int32_t k = 0; k < n; ++k) {
    const int32_t ck = c[k];
    s0 += ck * x[k];
    s1 += ck * x1[k];
    s2 += ck * x2[k];
    s3 += ck * x3[k];
  }
  sums[0] = s0;
  sums[1] = s1;
  sums[2] = s2;
  sums[3] = s3;
}

// Q8 gain: divide by 256, truncating toward zero.
inline int16_t fromQ8(int32_t sum) { return clampToInt16(sum / 256); }

TL_INLINE_IN_CLONES int16_t fixedOutput(const int16_t* taps, const int16_t* x, int32_t n) {
  return fromQ8(fixedDot(taps, x, n));
}

// Appends `count` inputs behind the history, runs `convert` over them and
// keeps the newest window - 1 inputs as the history, block by block. The
// inputs of a block are copied out before any of its outputs is written, so
// outputs may go to the caller's buffer in place as long as they stay behind
// the inputs still to be read.
template <typename Convert>
TL_INLINE_IN_CLONES void throughLine(ResamplingFilter* f, const int16_t* input, int32_t count,
                                     Convert&& convert) {
  const int32_t keep = f->window - 1;
  for (int32_t done = 0; done < count;) {
    const int32_t n = count - done < kResamplingBlock ? count - done : kResamplingBlock;
    memcpy(f->line + keep, input + done, static_cast<size_t>(n) * sizeof(int16_t));
    convert(done, n);
    memmove(f->line, f->line + n, static_cast<size_t>(keep) * sizeof(int16_t));
    done += n;
  }
}

TL_INLINE_IN_CLONES int32_t decimate(ResamplingFilter* f, const int16_t* input, int16_t* buffer,
                                     int32_t count) {
  int32_t out = 0;
  const int32_t window = f->window;
  // Input j of a block is line[window - 1 + j]; its output reads the window
  // that ends there, line[j .. j + window).
  if (f->fixedTaps != nullptr && f->integerRatio) {
    const int16_t* taps = f->fixedTaps;
    const int32_t r = f->ratio;
    throughLine(f, input, count, [&](int32_t, int32_t n) TL_INLINE_LAMBDA {
      // The first output of the block falls on the input that completes the
      // ratio; then every r-th input.
      int32_t j = r - 1 - f->phase;
      for (; j + 3 * r < n; j += 4 * r) {
        int32_t sums[4];
        fixedDot4(taps, f->line + j, r, window, sums);
        for (int32_t q = 0; q < 4; ++q) buffer[out++] = fromQ8(sums[q]);
      }
      for (; j < n; j += r) buffer[out++] = fixedOutput(taps, f->line + j, window);
      f->phase = (f->phase + n) % r;
    });
    return out;
  }
  const int32_t slots = f->historySlots;
  throughLine(f, input, count, [&](int32_t, int32_t n) TL_INLINE_LAMBDA {
    for (int32_t j = 0; j < n; ++j) {
      if (++f->ringNewest == slots) f->ringNewest = 0;
      if (f->integerRatio) {
        if (++f->phase != f->ratio) continue;
        f->phase = 0;
      } else {
        f->fractionalPhase += 1.0f;
        if (!(f->fractionalPhase >= f->fractionalRatio)) continue;
        f->fractionalPhase -= f->fractionalRatio;
      }
      // out <= inputs read: the output never overtakes the input to be read.
      if (f->fixedTaps != nullptr) {
        buffer[out++] = fixedOutput(f->fixedTaps, f->line + j, window);
      } else {
        buffer[out++] = floatToInt16(
            floatWindowSum(f->floatCoefficients, f->line + j, slots, f->ringNewest));
      }
    }
  });
  return out;
}

TL_INLINE_IN_CLONES int32_t interpolate(ResamplingFilter* f, const int16_t* input, int16_t* buffer,
                                        int32_t count, int32_t u) {
  if (input == buffer) {
    // In place: the inputs move to the tail; outputs i·u .. i·u + u − 1 then
    // never overwrite an input that has not been read yet.
    const int32_t tail = count * (u - 1);
    memmove(buffer + tail, buffer, static_cast<size_t>(count) * sizeof(int16_t));
    input = buffer + tail;
  }
  const int32_t window = f->window;
  const int32_t slots = f->historySlots;
  throughLine(f, input, count, [&](int32_t first, int32_t n) TL_INLINE_LAMBDA {
    int16_t* out = buffer + static_cast<ptrdiff_t>(first) * u;
    for (int32_t j = 0; j < n; ++j) {
      if (++f->ringNewest == slots) f->ringNewest = 0;
      const int16_t* x = f->line + j;
      for (int32_t p = 0; p < u; ++p) {
        if (f->fixedTaps != nullptr) {
          *out++ = fixedOutput(f->fixedTaps + static_cast<ptrdiff_t>(p) * window, x, window);
        } else if (f->floatTaps != nullptr) {
          *out++ = floatToInt16(
              floatRunningSum(f->floatTaps + static_cast<ptrdiff_t>(p) * slots, x, slots));
        } else {  // u == 1: the table itself, summed as a whole history
          *out++ = floatToInt16(floatWindowSum(f->floatCoefficients, x, slots, f->ringNewest));
        }
      }
    }
  });
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
  int32_t u = 1;  // outputs per input
  float fracRatio = 0.0f;
  if (integerRatio) {
    intRatio = *static_cast<const int32_t*>(ratio);
    if (intRatio == 0 || intRatio == INT32_MIN) return nullptr;
    if (intRatio < 0) {
      u = -intRatio;
      slots = tapCount / u;
      if (slots < 1) return nullptr;
    }
  } else {
    fracRatio = *static_cast<const float*>(ratio);
    if (!(fracRatio >= 0.0f) || isinf(fracRatio)) return nullptr;
  }

  ResamplingFilter* f =
      static_cast<ResamplingFilter*>(calloc(1, sizeof(ResamplingFilter)));
  if (f == nullptr) return nullptr;
  f->tapCount = tapCount;
  f->integerRatio = integerRatio ? 1 : 0;
  f->ratio = intRatio;
  f->fractionalRatio = fracRatio;
  f->historySlots = slots;
  // A new ring history holds its newest sample in its last slot.
  f->ringNewest = slots - 1;
  f->window = slots;
  bool ok = true;
  if (fixedPoint) {
    const int16_t* c = static_cast<const int16_t*>(coefficients);
    f->fixedCoefficients = c;
    f->window = (slots + 7) / 8 * 8;
    const int32_t pad = f->window - slots;
    // Output phase p of an interpolation takes c[(u − 1 − p) + j·u] for the
    // j-th oldest input; decimation (u = 1) takes the table as it is.
    f->fixedTaps = static_cast<int16_t*>(
        calloc(static_cast<size_t>(f->window) * static_cast<size_t>(u), sizeof(int16_t)));
    ok = f->fixedTaps != nullptr;
    for (int32_t p = 0; ok && p < u; ++p) {
      int16_t* taps = f->fixedTaps + static_cast<ptrdiff_t>(p) * f->window + pad;
      for (int32_t j = 0; j < slots; ++j) taps[j] = c[(u - 1 - p) + j * u];
    }
  } else {
    const float* c = static_cast<const float*>(coefficients);
    f->floatCoefficients = c;
    if (u > 1) {
      f->floatTaps = static_cast<float*>(
          calloc(static_cast<size_t>(slots) * static_cast<size_t>(u), sizeof(float)));
      ok = f->floatTaps != nullptr;
      for (int32_t p = 0; ok && p < u; ++p) {
        for (int32_t j = 0; j < slots; ++j) f->floatTaps[p * slots + j] = c[(u - 1 - p) + j * u];
      }
    }
  }
  if (ok) {
    f->line = static_cast<int16_t*>(
        calloc(static_cast<size_t>(f->window - 1 + kResamplingBlock), sizeof(int16_t)));
    ok = f->line != nullptr;
  }
  if (!ok) {
    resamplingFilterClose(f);
    return nullptr;
  }
  return f;
}

void resamplingFilterClose(ResamplingFilter* filter) {
  if (filter == nullptr) return;
  free(filter->line);
  free(filter->fixedTaps);
  free(filter->floatTaps);
  free(filter);
}

int32_t resamplingFilterProcessBounded(ResamplingFilter* filter,
                                       int16_t* buffer, int32_t count,
                                       int32_t capacity) {
  return resamplingFilterProcessInto(filter, buffer, count, buffer, capacity);
}

TL_VECTOR_CLONES
int32_t resamplingFilterProcessInto(ResamplingFilter* filter, const int16_t* input, int32_t count,
                                    int16_t* output, int32_t capacity) {
  if (filter == nullptr || input == nullptr || output == nullptr || count < 1) return 0;
  if ((filter->floatCoefficients == nullptr &&
       filter->fixedCoefficients == nullptr) ||
      filter->line == nullptr) {
    if (input != output) {
      if (count > capacity) return -1;
      memcpy(output, input, static_cast<size_t>(count) * sizeof(int16_t));
    }
    return count;
  }
  if (filter->integerRatio && filter->ratio < 0) {
    const int32_t u = -filter->ratio;
    if (static_cast<int64_t>(count) * u > capacity) return -1;
    return interpolate(filter, input, output, count, u);
  }
  if (count > capacity) return -1;
  return decimate(filter, input, output, count);
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
