// The decoder's error domain and the English descriptions of its error codes
// (for logs and debugging).
//
// Stateless apart from a constant table; thread-safe.
#ifndef TL_PLATFORM_RUNTIME_DECODER_ERRORS_H_
#define TL_PLATFORM_RUNTIME_DECODER_ERRORS_H_

#include <cstdint>
#include <optional>
#include <string>

namespace tembrolexinplatform {

// The error domain of every decoder error object.
inline constexpr char TLDecoderErrorDomain[] = "com.tembrolexin.TLDecoderErrorDomain";

class TLDecoderErrors {
 public:
  TLDecoderErrors() = delete;
  // The description of `code`, or nothing for a code outside the table
  // (0, 1 and 10 to 18).
  static std::optional<std::string> debugDesciptionForCode(int64_t code);
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_DECODER_ERRORS_H_
