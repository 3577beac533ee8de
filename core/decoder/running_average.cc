#include "core/decoder/running_average.h"

namespace tembrolexinsdk {

namespace {

int32_t floorLog2(int32_t count) {
  int32_t shift = -1;
  for (uint32_t c = static_cast<uint32_t>(count); c != 0; c >>= 1) ++shift;
  return shift;
}

// 32-bit sums wrap instead of overflowing.
int32_t wrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t wrapSub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

int32_t initInteger(RunningAverage* average, int32_t ok, int32_t count) {
  average->sum = 0;
  average->shift = ok ? floorLog2(count) : -1;
  return ok;
}

}  // namespace

int32_t initRunningAverageShort2(RunningAverage* average, int16_t* storage, int32_t count) {
  if (!average) return 0;
  return initInteger(average, CircularBufferShortInit2(&average->buffer, storage, count), count);
}

int32_t initRunningAverageLong2(RunningAverage* average, int32_t* storage, int32_t count) {
  if (!average) return 0;
  return initInteger(average, CircularBufferLongInit2(&average->buffer, storage, count), count);
}

int32_t initRunningAverageFloat2(RunningAverageFloat* average, float* storage, int32_t count) {
  if (!average) return 0;
  const int32_t ok = CircularBufferFloatInit2(&average->buffer, storage, count);
  average->sum = 0.0f;
  average->reciprocal = ok ? 1.0f / static_cast<float>(count) : 0.0f;
  return ok;
}

void getRunningAverageShort(const int16_t* in, int16_t* out, int32_t n, RunningAverage* average) {
  if (!in || !out || n < 1) return;
  const bool ready = average && average->buffer.base && average->shift >= 0;
  for (int32_t i = 0; i < n; ++i) {
    if (!ready) {
      out[i] = 0;
      continue;
    }
    const int16_t x = in[i];
    average->sum = wrapAdd(average->sum, x);
    const int16_t oldest = CircularBufferShortPush(&average->buffer, x);
    average->sum = wrapSub(average->sum, oldest);
    out[i] = static_cast<int16_t>(average->sum >> average->shift);
  }
}

void getRunningAverageLong(const int32_t* in, int32_t* out, int32_t n, RunningAverage* average) {
  if (!in || !out || n < 1) return;
  const bool ready = average && average->buffer.base && average->shift >= 0;
  for (int32_t i = 0; i < n; ++i) {
    if (!ready) {
      out[i] = 0;
      continue;
    }
    const int32_t x = in[i];
    average->sum = wrapAdd(average->sum, x);
    const int32_t oldest = CircularBufferLongPush(&average->buffer, x);
    average->sum = wrapSub(average->sum, oldest);
    out[i] = average->sum >> average->shift;
  }
}

void getRunningAverageFloat(const float* in, float* out, int32_t n,
                            RunningAverageFloat* average) {
  if (!in || !out || n < 1) return;
  const bool ready = average && average->buffer.base;
  for (int32_t i = 0; i < n; ++i) {
    if (!ready) {
      out[i] = 0.0f;
      continue;
    }
    const float x = in[i];
    average->sum += x;
    average->sum -= CircularBufferFloatPush(&average->buffer, x);
    out[i] = average->sum * average->reciprocal;
  }
}

void closeRunningAverageShort(RunningAverage* average) {
  if (average) CircularBufferShortClose(&average->buffer);
}
void closeRunningAverageLong(RunningAverage* average) {
  if (average) CircularBufferLongClose(&average->buffer);
}
void closeRunningAverageFloat(RunningAverageFloat* average) {
  if (average) CircularBufferFloatClose(&average->buffer);
}

}  // namespace tembrolexinsdk
