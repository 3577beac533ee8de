// Resampler: converts audio between the sample rates of SampleRate.
//
// The static text helpers name rates for log lines and error messages; they
// are stateless and thread-safe.
#ifndef TL_CORE_AUDIO_RESAMPLER_H_
#define TL_CORE_AUDIO_RESAMPLER_H_

#include <string>

#include "core/runtime/sample_rate.h"

namespace tembrolexinsdk {

class Resampler {
 public:
  // "8kHz", "11.025kHz", ... "192kHz" for a rate bit,
  // "<refused permission by the user>" for 1, "<not available>" for 0 (and
  // for any value that is not one rate). Never fails.
  static std::string ConvertSampleRateToString(SampleRate rate);
  // For each bit set in `rates`, lowest first: "user refused permission, "
  // for bit 0, the rate's text and ", " for the others; "" for 0. Never
  // fails.
  static std::string ConvertSampleRatesToString(unsigned short rates);
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_RESAMPLER_H_
