#include "core/runtime/sample_rate.h"

namespace tembrolexinsdk {

std::string SampleRateToString(SampleRate rate) {
  switch (rate) {
    case SampleRate_NotAvailable: return "<not available>";
    case SampleRate_RefusedPermission: return "<refused permission by the user>";
    case SampleRate_8000: return "8kHz";
    case SampleRate_11025: return "11.025kHz";
    case SampleRate_12000: return "12kHz";
    case SampleRate_16000: return "16kHz";
    case SampleRate_22050: return "22.05kHz";
    case SampleRate_24000: return "24kHz";
    case SampleRate_32000: return "32kHz";
    case SampleRate_44100: return "44.1kHz";
    case SampleRate_48000: return "48kHz";
    case SampleRate_64000: return "64kHz";
    case SampleRate_88200: return "88.2kHz";
    case SampleRate_96000: return "96kHz";
    case SampleRate_192000: return "192kHz";
  }
  return "<not available>";
}

std::string SampleRatesToString(unsigned short rates) {
  std::string text;
  if (rates & SampleRate_RefusedPermission) text += "user refused permission, ";
  for (unsigned bit = SampleRate_8000; bit <= SampleRate_192000; bit <<= 1) {
    if (rates & bit) {
      text += SampleRateToString(static_cast<SampleRate>(bit));
      text += ", ";
    }
  }
  return text;
}

}  // namespace tembrolexinsdk
