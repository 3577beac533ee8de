// Conversion between the app's configuration dictionary and the
// ConfigurationMapSignal that the core takes.
//
// The app's values are texts and numbers; a number's C++ type plays the part
// of its kind: bool and signed char become ConfigParam_Bool, int32_t
// ConfigParam_Int, double ConfigParam_Double, int64_t ConfigParam_LongLong,
// std::string ConfigParam_String. Any other kind (float, int16_t, uint64_t,
// or an UnsupportedConfigValue standing for an array, a dictionary or a
// date) cannot be typed: it is logged at Error ("Failed to determine the
// type of a configuration parameter"). The keys that take texts and hear a
// value of another kind as a mistake of its own ("AudioDecoder_plugins",
// "AudioDecoder_engines", "<processor name>_DecoderDescriptors",
// "<processor name>_CandidateStations") still get it, as ConfigParam_OtherKind
// with a description that names the kind and the value (describeOtherKind),
// so that the app hears what became of it; any other key is left out. No
// ConfigParam without a type ever reaches the core (which would refuse the
// whole map).
//
// Stateless; thread-safe.
#ifndef TL_PLATFORM_RUNTIME_THRIFT_CONVERTER_H_
#define TL_PLATFORM_RUNTIME_THRIFT_CONVERTER_H_

#include <cstdint>
#include <map>
#include <string>
#include <variant>

#include "platform/messages/message_types.h"

namespace tembrolexinplatform {

// A value of a kind the core cannot take; `kind` names it for the caller
// ("array", "dictionary", "date").
struct UnsupportedConfigValue {
  std::string kind;
  friend bool operator==(const UnsupportedConfigValue&, const UnsupportedConfigValue&) = default;
};

using ConfigValue = std::variant<std::string, bool, signed char, int32_t, double, int64_t, float,
                                 int16_t, uint64_t, UnsupportedConfigValue>;
using ConfigDictionary = std::map<std::string, ConfigValue>;

class ThriftConverter {
 public:
  ThriftConverter() = delete;

  // One entry per key whose value can be typed, with `type` and the matching
  // value field set, and one ConfigParam_OtherKind entry per value of
  // another kind under a key that hears it; target Target_Cpp (0).
  static ConfigurationMapSignal convertWithDictionary(const ConfigDictionary& dictionary);
  // The kind and value of a value that cannot be typed, as the decoder's
  // texts name a value of the wrong kind ("... is not a text but a float:
  // 2.5"): "a float: 2.5" (six significant digits, as for a decimal number),
  // "a short: 7", "an unsigned 64-bit number: 18446744073709551615",
  // "a value of kind "array"" (or "a value of another kind" when `kind` is
  // empty); empty for a value that can be typed.
  static std::string describeOtherKind(const ConfigValue& value);
  // One entry per ConfigParam whose type is 0 to 4 and whose matching value
  // field is set: bool, int32_t, double, int64_t or std::string.
  static ConfigDictionary convertWithConfigurationMapSignal(const ConfigurationMapSignal& signal);
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_THRIFT_CONVERTER_H_
