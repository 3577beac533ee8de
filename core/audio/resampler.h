// Sample rates and the Resampler.
//
// The static helpers convert SampleRate flags and masks to hertz and text,
// choose the capture rate and buffer length for what the audio processors
// need, and tell which pairs of rates the Resampler converts. They are pure
// and thread-safe.
//
// A Resampler converts one continuous stream of 16-bit mono audio, buffer by
// buffer and in place, from the recorder's rate to the rate a processor
// needs, with the decoding core's rate conversion filters. The filter keeps
// the tail of each buffer for the next one, so one Resampler serves exactly
// one stream. It owns its filters and frees them when destroyed.
//
// Thread safety: a Resampler is not locked; one thread uses it at a time.
#ifndef TL_CORE_AUDIO_RESAMPLER_H_
#define TL_CORE_AUDIO_RESAMPLER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "core/runtime/i_named_object.h"
#include "core/runtime/sample_rate.h"

namespace tembrolexinsdk {

struct ResamplingFilter;

// The flag whose frequency is exactly `hz`. Throws CustomRecorderException
// "Cannot handle provided sample rate" for any other value.
SampleRate convertValueToSampleRate(int hz);

class Resampler : public INamedObject {
 public:
  // Frequency of a single flag; 0 for 0, 1 and anything that is not one flag.
  static int ConvertSampleRateToHzInt(SampleRate rate);
  // "8kHz", ... "192kHz" for a flag, "<not available>" for 0,
  // "<refused permission by the user>" for 1, and "8kHz" for any other value.
  static std::string ConvertSampleRateToString(SampleRate rate);
  // For each set bit from the lowest up: "user refused permission, " for bit
  // 0, the rate's text followed by ", " for the others (bits above 192 kHz
  // name no rate and are left out); "" for 0.
  static std::string ConvertSampleRatesToString(unsigned short rates);
  // Logs `label` + " " + the mask's text at Info under the sender's name.
  static void LogSampleRates(const INamedObject* sender, const std::string& label,
                             unsigned short rates);
  // The capture rate for the processors' `required` mask among the
  // recorder's `available` mask, and the capture buffer length in frames.
  // `frames` is set to 1024 first; the result is 0 (frames left at 1024)
  // when no available rate serves the first required rate of 48, 24, 16 and
  // 8 kHz (in that order), or when none of those is required.
  static SampleRate ChooseSampleRateAndBufferFrames(unsigned short required,
                                                    unsigned short available,
                                                    unsigned short& frames);
  // Whether a Resampler converts `from` to `to`.
  static bool CanConvertSampleRate(SampleRate from, SampleRate to);
  // The capture rates ChooseSampleRateAndBufferFrames may choose (8, 16, 24,
  // 32, 44.1 and 48 kHz): the rates an app-fed recorder may have.
  static unsigned short CaptureRates();

  // A converter from the recorder's rate `from` to the processor's rate
  // `to`. Equal rates pass through. Create one only for pairs that
  // CanConvertSampleRate accepts; for any other pair the converter logs
  // "Cannot convert from ..." at Assert and outputs nothing.
  Resampler(SampleRate from, SampleRate to);
  ~Resampler() override;

  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  const std::string& GetName() const override;

  // Converts `count` samples in place and returns the number of samples now
  // at the start of the buffer: `count` unchanged when passing through, about
  // count / D when decimating by D. Interpolating by 3 (8 kHz to 24 kHz)
  // needs room for 3 x count samples; as the result must fit 16 bits, at
  // most the first 21845 samples of a longer buffer are converted there.
  unsigned short ResampleBufferInPlace(short* samples, unsigned short count);
  // The same conversion from `input` into `output`, which is `input` itself
  // or a buffer that does not overlap it, with room for what the conversion
  // in place would leave (count samples; 3 x count when interpolating).
  // `input` stays as it was, so a caller need not copy it first.
  unsigned short ResampleBuffer(const short* input, unsigned short count, short* output);

  bool isPassThrough() const { return passThrough_; }
  // 1 passing through, D decimating by D, -3 interpolating by 3, 0 when the
  // band-pass converter is used (or nothing converts the pair).
  int32_t factor() const { return factor_; }

 private:
  struct FilterCloser {
    void operator()(ResamplingFilter* filter) const;
  };
  struct BandPassCloser {
    void operator()(ResamplingFilter* filter) const;
  };

  bool passThrough_ = false;
  // Declared before bandPass_, so the band-pass converter is closed first.
  std::unique_ptr<ResamplingFilter, FilterCloser> filter_;
  std::unique_ptr<ResamplingFilter, BandPassCloser> bandPass_;
  const int16_t* coefficients_ = nullptr;  // owned by the decoding core
  int32_t tapCount_ = 0;
  int32_t factor_ = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_RESAMPLER_H_
