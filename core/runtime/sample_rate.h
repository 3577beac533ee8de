// SampleRate: the bit mask of audio sample rates that recorders offer and
// audio processors ask for. Each rate is one bit; a set of rates is the OR of
// its bits. The value 1 is not a rate: it means that the user refused
// microphone permission; 0 means that no rate is available.
//
// The text helpers are stateless and thread-safe.
#ifndef TL_CORE_RUNTIME_SAMPLE_RATE_H_
#define TL_CORE_RUNTIME_SAMPLE_RATE_H_

#include <string>

namespace tembrolexinsdk {

enum SampleRate : unsigned short {
  SampleRate_NotAvailable = 0,
  SampleRate_RefusedPermission = 1,
  SampleRate_8000 = 2,
  SampleRate_11025 = 4,
  SampleRate_12000 = 8,
  SampleRate_16000 = 16,
  SampleRate_22050 = 32,
  SampleRate_24000 = 64,
  SampleRate_32000 = 128,
  SampleRate_44100 = 256,
  SampleRate_48000 = 512,
  SampleRate_64000 = 1024,
  SampleRate_88200 = 2048,
  SampleRate_96000 = 4096,
  SampleRate_192000 = 8192,
};

// Frequency in Hz of a single rate bit; 0 for 0, 1 and anything that is not
// exactly one rate bit.
constexpr int SampleRateToHz(SampleRate rate) {
  switch (rate) {
    case SampleRate_8000: return 8000;
    case SampleRate_11025: return 11025;
    case SampleRate_12000: return 12000;
    case SampleRate_16000: return 16000;
    case SampleRate_22050: return 22050;
    case SampleRate_24000: return 24000;
    case SampleRate_32000: return 32000;
    case SampleRate_44100: return 44100;
    case SampleRate_48000: return 48000;
    case SampleRate_64000: return 64000;
    case SampleRate_88200: return 88200;
    case SampleRate_96000: return 96000;
    case SampleRate_192000: return 192000;
    default: return 0;
  }
}

// The rate bit whose frequency is exactly `hz`, or SampleRate_NotAvailable.
constexpr SampleRate SampleRateFromHz(int hz) {
  for (unsigned bit = 2; bit <= SampleRate_192000; bit <<= 1) {
    SampleRate rate = static_cast<SampleRate>(bit);
    if (SampleRateToHz(rate) == hz) return rate;
  }
  return SampleRate_NotAvailable;
}

// Text of one value: "8kHz", "44.1kHz", ... for the rate bits,
// "<refused permission by the user>" for 1 and "<not available>" for 0. Any
// other value (several bits at once) is not one rate and also gives
// "<not available>". Never fails.
std::string SampleRateToString(SampleRate rate);

// Text of a set of rates: for each set bit from the lowest up,
// "user refused permission, " for bit 0 and the rate's text plus ", " for the
// others, so a non-empty result ends in ", ". Bits above 192000 Hz name no
// rate and are left out. The empty text for 0. Never fails.
std::string SampleRatesToString(unsigned short rates);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_SAMPLE_RATE_H_
