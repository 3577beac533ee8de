#include "platform/runtime/decoder_errors.h"

#include <array>
#include <utility>

namespace tembrolexinplatform {

std::optional<std::string> TLDecoderErrors::debugDesciptionForCode(int64_t code) {
  static constexpr std::array<std::pair<int64_t, const char*>, 11> kTable = {{
      {0, "No error"},
      {1, "Unknown error"},
      {10, "The mic is not available"},
      {11, "The user did not allow the app to use the mic"},
      {12, "Could not parse the events file"},
      {13, "No events were found in the XML"},
      {14, "No events were found in the JSON"},
      {15, "The heartbeat engine desynchronised"},
      {16, "AudioDecoder hasn't been initialized on time"},
      {17, "IOSAudioRecoder exception"},
      {18, "Cannot convert sample rates"},
  }};
  for (const auto& [c, text] : kTable) {
    if (c == code) return std::string(text);
  }
  return std::nullopt;
}

}  // namespace tembrolexinplatform
