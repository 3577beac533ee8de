// VolumeMeasurer: a smoothed volume level of the captured audio and an
// integrity check of its samples (the longest run of equal consecutive
// samples, and whether a buffer repeats the previous one), for the decoder's
// AudioSignal messages.
//
// The level is 10·log10 of the mean square of the raw samples over one
// second of audio (full scale about 90 dB, silence 0), smoothed with weight
// 1/4 once per second of samples, whatever the buffer size.
//
// Thread safety: none; one thread at a time (the capture thread). Every meter
// keeps its own state.
#ifndef TL_CORE_AUDIO_VOLUME_MEASURER_H_
#define TL_CORE_AUDIO_VOLUME_MEASURER_H_

#include <array>
#include <cstdint>

#include "core/runtime/sample_rate.h"

namespace tembrolexinsdk {

// The longest run of equal consecutive samples of one buffer: indexes of its
// first and last sample (-1 first: it began in the previous buffer; -2 last:
// it had not ended with the buffer; both -2 and length 0: no run), the
// number of repeats, and whether the buffer repeats the previous one.
struct AudioIntegrity {
  int32_t firstIndex = -2;
  int32_t lastIndex = -2;
  int32_t length = 0;
  bool repeatedBuffer = false;
};

class VolumeMeasurer {
 public:
  explicit VolumeMeasurer(SampleRate rate);

  void ProcessBuffer(const short* samples, unsigned short count);
  int16_t getCurrentVolume() const { return volume_; }
  // The state of the buffers since the last call; clears the longest run.
  AudioIntegrity getAudioIntegrityCheck();

 private:
  static constexpr int kProbes = 12;

  int32_t window_;
  int16_t volume_ = 0;
  int32_t countdown_;
  int64_t sumOfSquares_ = 0;
  int32_t runFirst_ = -2;
  int32_t runLast_ = -2;
  int32_t runLength_ = 0;
  AudioIntegrity longest_;
  std::array<int16_t, kProbes> probes_{};
  int16_t lastSample_ = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_VOLUME_MEASURER_H_
