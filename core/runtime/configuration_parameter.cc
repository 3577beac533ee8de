#include "core/runtime/configuration_parameter.h"

#include <locale>
#include <sstream>

namespace tembrolexinsdk {

namespace {

std::string ToText(const std::string& v) { return v; }
std::string ToText(bool v) { return v ? "1" : "0"; }
std::string ToText(int v) { return std::to_string(v); }
std::string ToText(long long v) { return std::to_string(v); }
std::string ToText(double v) {
  // The stream's default form, independent of the process's global locale.
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << v;
  return out.str();
}

}  // namespace

template <typename T>
IConfigurationParameter* ConfigurationParameter<T>::cloneParam() const {
  return new ConfigurationParameter<T>(value);
}

template <typename T>
std::string ConfigurationParameter<T>::GetValueAsString() const {
  return ToText(value);
}

template <typename T>
bool ConfigurationParameter<T>::operator!=(const IConfigurationParameter* other) const {
  const auto* same = dynamic_cast<const ConfigurationParameter<T>*>(other);
  if (same == nullptr) return true;
  return value != same->value;
}

template class ConfigurationParameter<std::string>;
template class ConfigurationParameter<bool>;
template class ConfigurationParameter<int>;
template class ConfigurationParameter<long long>;
template class ConfigurationParameter<double>;

}  // namespace tembrolexinsdk
