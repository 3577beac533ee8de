// Running averages over a ring of the last `count` values. The sum is divided
// by the largest power of two not above count (an arithmetic shift), so the
// average is exact for power-of-two counts; values not yet pushed count as
// zero. The float kind multiplies by 1 / count. Sums wrap in 32 bits.
//
// Storage given by the caller is zeroed and used in place (never freed). A
// count of 0 is refused at init.
//
// Thread safety: none.
#ifndef TL_CORE_DECODER_RUNNING_AVERAGE_H_
#define TL_CORE_DECODER_RUNNING_AVERAGE_H_

#include <cstdint>

#include "core/decoder/circular_buffer.h"

namespace tembrolexinsdk {

// Short and long kinds.
struct RunningAverage {
  CircularBuffer buffer;
  int32_t sum;
  int32_t shift;  // floor(log2(count)), -1 when not initialised
};

struct RunningAverageFloat {
  CircularBuffer buffer;
  float sum;
  float reciprocal;  // 1 / count
};

// 1, or 0 when there is no storage (count < 1 or allocation failed).
int32_t initRunningAverageShort2(RunningAverage* average, int16_t* storage, int32_t count);
int32_t initRunningAverageLong2(RunningAverage* average, int32_t* storage, int32_t count);
int32_t initRunningAverageFloat2(RunningAverageFloat* average, float* storage, int32_t count);

// Pushes n values and writes n averages; in and out may be the same array.
// An average without storage writes zeros.
void getRunningAverageShort(const int16_t* in, int16_t* out, int32_t n, RunningAverage* average);
void getRunningAverageLong(const int32_t* in, int32_t* out, int32_t n, RunningAverage* average);
void getRunningAverageFloat(const float* in, float* out, int32_t n,
                            RunningAverageFloat* average);

void closeRunningAverageShort(RunningAverage* average);
void closeRunningAverageLong(RunningAverage* average);
void closeRunningAverageFloat(RunningAverageFloat* average);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_RUNNING_AVERAGE_H_
