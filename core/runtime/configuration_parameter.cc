#include "core/runtime/configuration_parameter.h"

#include <locale>
#include <sstream>

#include "core/runtime/logger.h"

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

IConfigurationParameter* OtherKindConfigurationParameter::cloneParam() const {
  return new OtherKindConfigurationParameter(description);
}

std::string OtherKindConfigurationParameter::GetValueAsString() const { return description; }

bool OtherKindConfigurationParameter::operator!=(const IConfigurationParameter* other) const {
  const auto* same = dynamic_cast<const OtherKindConfigurationParameter*>(other);
  return same == nullptr || description != same->description;
}

std::string describeConfigurationValue(const IConfigurationParameter* value) {
  if (const auto* b = dynamic_cast<const ConfigurationParameter<bool>*>(value)) {
    return b->value ? "a boolean: true" : "a boolean: false";
  }
  if (const auto* i = dynamic_cast<const ConfigurationParameter<int>*>(value)) {
    return "an integer: " + ToText(i->value);
  }
  if (const auto* l = dynamic_cast<const ConfigurationParameter<long long>*>(value)) {
    return "an integer: " + ToText(l->value);
  }
  if (const auto* d = dynamic_cast<const ConfigurationParameter<double>*>(value)) {
    return "a decimal number: " + ToText(d->value);
  }
  if (dynamic_cast<const ConfigurationParameter<std::string>*>(value) != nullptr) return "a text";
  if (const auto* other = dynamic_cast<const OtherKindConfigurationParameter*>(value)) {
    // The description may quote the app's bytes (the name of a kind).
    if (!other->description.empty()) return StringChecker::escapeBytes(other->description);
  }
  return "a value of another kind";
}

template class ConfigurationParameter<std::string>;
template class ConfigurationParameter<bool>;
template class ConfigurationParameter<int>;
template class ConfigurationParameter<long long>;
template class ConfigurationParameter<double>;

}  // namespace tembrolexinsdk
