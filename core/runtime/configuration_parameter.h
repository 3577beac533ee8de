// ConfigurationParameter<T>: one scalar configuration value. Instantiated for
// exactly std::string, bool, int, long long and double; the kind of a value is
// its class (readers dynamic_cast to the ConfigurationParameter<T> they want).
//
// Plain values: not synchronised, used by one thread at a time.
#ifndef TL_CORE_RUNTIME_CONFIGURATION_PARAMETER_H_
#define TL_CORE_RUNTIME_CONFIGURATION_PARAMETER_H_

#include <string>
#include <type_traits>
#include <utility>

#include "core/runtime/i_configuration_parameter.h"

namespace tembrolexinsdk {

template <typename T>
class ConfigurationParameter : public IConfigurationParameter {
  static_assert(std::is_same_v<T, std::string> || std::is_same_v<T, bool> ||
                    std::is_same_v<T, int> || std::is_same_v<T, long long> ||
                    std::is_same_v<T, double>,
                "configuration values are string, bool, int, long long or double");

 public:
  explicit ConfigurationParameter(T v) : value(std::move(v)) {}
  ~ConfigurationParameter() override = default;

  // A new ConfigurationParameter<T> with the same value; the caller owns it.
  IConfigurationParameter* cloneParam() const override;
  // string: unchanged; bool: "1"/"0"; int, long long: decimal; double: the
  // default stream form (six significant digits, e.g. 0.1, 2, 1.23457e+06).
  std::string GetValueAsString() const override;
  // True when `other` is null, is not a ConfigurationParameter<T> of this very
  // T, or holds a different value (IEEE comparison for doubles: NaN differs
  // from everything).
  bool operator!=(const IConfigurationParameter* other) const override;

  T value;
};

// A value of a kind that no ConfigurationParameter<T> holds: one the app
// gave for a key whose rule names a value of the wrong kind (a float, a
// short, an unsigned 64-bit number, an array), which arrives as its
// description ("a float: 2.5") so that the rule can name it. No reader
// takes it as a value of its own kind.
class OtherKindConfigurationParameter : public IConfigurationParameter {
 public:
  explicit OtherKindConfigurationParameter(std::string d) : description(std::move(d)) {}
  ~OtherKindConfigurationParameter() override = default;

  IConfigurationParameter* cloneParam() const override;
  // The description.
  std::string GetValueAsString() const override;
  // True unless `other` is an OtherKindConfigurationParameter with the same
  // description.
  bool operator!=(const IConfigurationParameter* other) const override;

  std::string description;
};

// What kind of value `value` is, and the value, for the texts that tell an
// app a key holds another kind than it takes: "a boolean: true", "an
// integer: 5", "a decimal number: 2.5", "a text", an
// OtherKindConfigurationParameter's description (bytes that are not UTF-8
// escaped), or "a value of another kind" (a map, null, an empty
// description).
std::string describeConfigurationValue(const IConfigurationParameter* value);

extern template class ConfigurationParameter<std::string>;
extern template class ConfigurationParameter<bool>;
extern template class ConfigurationParameter<int>;
extern template class ConfigurationParameter<long long>;
extern template class ConfigurationParameter<double>;

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_CONFIGURATION_PARAMETER_H_
