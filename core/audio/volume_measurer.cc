#include "core/audio/volume_measurer.h"

#include <algorithm>
#include <cmath>

#include "core/audio/resampler.h"
#include "core/decoder/vector_clones.h"

namespace tembrolexinsdk {

VolumeMeasurer::VolumeMeasurer(SampleRate rate)
    : window_(Resampler::ConvertSampleRateToHzInt(rate)), countdown_(window_) {}

TL_VECTOR_CLONES
void VolumeMeasurer::ProcessBuffer(const short* samples, unsigned short count) {
  if (samples == nullptr) count = 0;
  longest_.repeatedBuffer = count != 0;
  runFirst_ = -2;
  runLast_ = -2;

  const int step = count / kProbes;
  for (int i = 0; i < kProbes && count != 0; ++i) {
    const int16_t probe = samples[i * step];
    if (probe != probes_[i]) longest_.repeatedBuffer = false;
    probes_[i] = probe;
  }

  // The mean square, one window of samples at a time.
  if (window_ > 0) {
    for (int32_t k = 0; k < count;) {
      const int32_t n = std::min<int32_t>(count - k, countdown_);
      int64_t sum = 0;
      for (int32_t i = k; i < k + n; ++i) sum += static_cast<int32_t>(samples[i]) * samples[i];
      sumOfSquares_ += sum;
      countdown_ -= n;
      k += n;
      if (countdown_ <= 0) {
        const int64_t mean = sumOfSquares_ / window_;
        const int dB = mean > 0 ? static_cast<int>(10.0f * std::log10(static_cast<float>(mean))) : 0;
        volume_ = static_cast<int16_t>(volume_ - (volume_ >> 2) + (dB >> 2));
        countdown_ = window_;
        sumOfSquares_ = 0;
      }
    }
  }

  // Runs of equal samples. Most audio has none: a stretch in which no sample
  // equals the one before it, with no run open, changes nothing but the last
  // sample, so it is checked with one pass that the compiler vectorises.
  constexpr int32_t kStretch = 64;
  bool endedInThisBuffer = false;
  for (int32_t begin = 0; begin < count; begin += kStretch) {
    const int32_t end = std::min<int32_t>(count, begin + kStretch);
    if (runLength_ == 0) {
      // An int, not a bool: GCC vectorises an OR over ints only.
      int equal = samples[begin] == lastSample_;
      for (int32_t k = begin + 1; k < end; ++k) equal |= samples[k] == samples[k - 1];
      if (equal == 0) {
        lastSample_ = samples[end - 1];
        continue;
      }
    }
    for (int32_t k = begin; k < end; ++k) {
      const int16_t sample = samples[k];
      if (sample == lastSample_) {
        if (runFirst_ == -2) runFirst_ = k - 1;
        ++runLength_;
      } else if (runLength_ > 0) {
        runLast_ = k == 0 ? 0 : k - 1;
        if (!endedInThisBuffer || runLength_ > longest_.length) {
          longest_.firstIndex = runFirst_;
          longest_.lastIndex = runLast_;
          longest_.length = runLength_;
          endedInThisBuffer = true;
        }
        runFirst_ = -2;
        runLast_ = -2;
        runLength_ = 0;
      }
      lastSample_ = sample;
    }
  }
  if (runLength_ > longest_.length) {
    longest_.firstIndex = runFirst_;
    longest_.lastIndex = -2;
    longest_.length = runLength_;
  }
}

AudioIntegrity VolumeMeasurer::getAudioIntegrityCheck() {
  const AudioIntegrity result = longest_;
  longest_.firstIndex = -2;
  longest_.lastIndex = -2;
  longest_.length = 0;
  return result;
}

}  // namespace tembrolexinsdk
