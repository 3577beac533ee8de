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

// What kind of value `value` is, and the value, for the texts that tell an
// app a key holds another kind than it takes: "a boolean: true", "an
// integer: 5", "a decimal number: 2.5", "a text", or "a value of another
// kind" (a map, null).
std::string describeConfigurationValue(const IConfigurationParameter* value);

extern template class ConfigurationParameter<std::string>;
extern template class ConfigurationParameter<bool>;
extern template class ConfigurationParameter<int>;
extern template class ConfigurationParameter<long long>;
extern template class ConfigurationParameter<double>;

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_CONFIGURATION_PARAMETER_H_
