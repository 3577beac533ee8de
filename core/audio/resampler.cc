#include "core/audio/resampler.h"

namespace tembrolexinsdk {

// The texts live with SampleRate in the runtime, so that runtime code (such
// as the sample-rate conversion exception) can name rates without depending
// on the audio library.
std::string Resampler::ConvertSampleRateToString(SampleRate rate) {
  return SampleRateToString(rate);
}

std::string Resampler::ConvertSampleRatesToString(unsigned short rates) {
  return SampleRatesToString(rates);
}

}  // namespace tembrolexinsdk
