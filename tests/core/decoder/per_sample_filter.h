// The rate conversion filter as it was first written: one sample at a time
// through a ring history, each output a dot product over the ring's two
// contiguous pieces. Kept as the reference that the block filter of
// rate_conversion.cc must match bit for bit (same tables, same phase rule,
// same float summation order).
//
// Thread safety: none; one filter per thread.
#ifndef TL_TESTS_CORE_DECODER_PER_SAMPLE_FILTER_H_
#define TL_TESTS_CORE_DECODER_PER_SAMPLE_FILTER_H_

#include <stdint.h>
#include <string.h>

#include "core/decoder/circular_buffer.h"

namespace tltest {

class PerSampleFilter {
 public:
  // Same arguments as resamplingFilterInit; valid() is false where it would
  // return null.
  PerSampleFilter(int32_t integerRatio, int32_t fixedPoint, const void* ratio,
                  const void* coefficients, int32_t tapCount) {
    if (ratio == nullptr || coefficients == nullptr || tapCount < 1) return;
    int32_t slots = tapCount;
    if (integerRatio) {
      ratio_ = *static_cast<const int32_t*>(ratio);
      if (ratio_ == 0) return;
      if (ratio_ < 0) slots = tapCount / -ratio_;
      if (slots < 1) return;
    } else {
      fractionalRatio_ = *static_cast<const float*>(ratio);
      if (!(fractionalRatio_ >= 0.0f)) return;
    }
    if (!tembrolexinsdk::CircularBufferShortInit2(&history_, nullptr, slots)) return;
    integerRatio_ = integerRatio != 0;
    if (fixedPoint) {
      fixed_ = static_cast<const int16_t*>(coefficients);
    } else {
      float_ = static_cast<const float*>(coefficients);
    }
    valid_ = true;
  }
  ~PerSampleFilter() { tembrolexinsdk::CircularBufferShortClose(&history_); }
  PerSampleFilter(const PerSampleFilter&) = delete;
  PerSampleFilter& operator=(const PerSampleFilter&) = delete;

  bool valid() const { return valid_; }

  // In place, as resamplingFilterProcess.
  int32_t process(int16_t* buffer, int32_t count) {
    if (!valid_ || count < 1) return 0;
    if (integerRatio_ && ratio_ < 0) return interpolate(buffer, count, -ratio_);
    return decimate(buffer, count);
  }

 private:
  struct Pieces {
    const int16_t* first;
    int32_t firstLength;
    const int16_t* second;
    int32_t secondLength;
  };

  static int16_t clampToInt16(int32_t v) {
    if (v > 32767) return 32767;
    if (v < -32768) return -32768;
    return static_cast<int16_t>(v);
  }
  static int16_t floatToInt16(float v) {
    if (!(v == v)) return 0;
    if (v >= 32767.0f) return 32767;
    if (v <= -32768.0f) return -32768;
    return static_cast<int16_t>(v);
  }

  void push(int16_t sample) {
    int16_t* base = reinterpret_cast<int16_t*>(history_.base);
    int16_t* slot = reinterpret_cast<int16_t*>(history_.current) + 1;
    if (slot >= base + history_.count) slot = base;
    *slot = sample;
    history_.current = reinterpret_cast<uint8_t*>(slot);
  }

  Pieces pieces() const {
    const int16_t* base = reinterpret_cast<const int16_t*>(history_.base);
    const int32_t newest =
        static_cast<int32_t>(reinterpret_cast<const int16_t*>(history_.current) - base);
    return Pieces{base + newest + 1, history_.count - newest - 1, base, newest + 1};
  }

  static int32_t fixedDot(const int16_t* c, const int16_t* x, int32_t n) {
    int32_t lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int32_t k = 0;
    for (; k + 8 <= n; k += 8) {
      for (int32_t j = 0; j < 8; ++j) lanes[j] += static_cast<int32_t>(c[k + j]) * x[k + j];
    }
    int32_t sum = 0;
    for (; k < n; ++k) sum += static_cast<int32_t>(c[k]) * x[k];
    for (int32_t j = 0; j < 8; ++j) sum += lanes[j];
    return sum;
  }

  static int32_t fixedSum(const Pieces& h, const int16_t* c, int32_t stride) {
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

  static float floatDot(const float* c, const int16_t* x, int32_t n) {
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

  static float floatSum(const Pieces& h, const float* c, int32_t stride) {
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

  int16_t output(int32_t offset, int32_t stride) const {
    const Pieces h = pieces();
    if (fixed_ != nullptr) return clampToInt16(fixedSum(h, fixed_ + offset, stride) / 256);
    return floatToInt16(floatSum(h, float_ + offset, stride));
  }

  int32_t decimate(int16_t* buffer, int32_t count) {
    int32_t out = 0;
    for (int32_t i = 0; i < count; ++i) {
      push(buffer[i]);
      if (integerRatio_) {
        if (++phase_ != ratio_) continue;
        phase_ = 0;
      } else {
        fractionalPhase_ += 1.0f;
        if (!(fractionalPhase_ >= fractionalRatio_)) continue;
        fractionalPhase_ -= fractionalRatio_;
      }
      buffer[out++] = output(0, 1);
    }
    return out;
  }

  int32_t interpolate(int16_t* buffer, int32_t count, int32_t u) {
    const int32_t tail = count * (u - 1);
    memmove(buffer + tail, buffer, static_cast<size_t>(count) * sizeof(int16_t));
    for (int32_t i = 0; i < count; ++i) {
      push(buffer[tail + i]);
      for (int32_t p = 0; p < u; ++p) buffer[i * u + p] = output(u - 1 - p, u);
    }
    return count * u;
  }

  tembrolexinsdk::CircularBuffer history_{};
  const float* float_ = nullptr;
  const int16_t* fixed_ = nullptr;
  bool integerRatio_ = false;
  bool valid_ = false;
  int32_t ratio_ = 0;
  float fractionalRatio_ = 0.0f;
  int32_t phase_ = 0;
  float fractionalPhase_ = 0.0f;
};

}  // namespace tltest

#endif  // TL_TESTS_CORE_DECODER_PER_SAMPLE_FILTER_H_
