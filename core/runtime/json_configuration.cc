#include "core/runtime/json_configuration.h"

#include <exception>
#include <new>
#include <set>
#include <utility>

#include <json/json.h>

#include "core/runtime/configuration_parameter.h"
#include "core/runtime/json_text.h"

namespace tembrolexinsdk {

// --- ConfigurationVector ---------------------------------------------------

// Delegating constructors: should a copy throw part-way, the vector is
// already constructed, so its destructor releases what has been stored.
ConfigurationVector::ConfigurationVector(const Values& adopted) : ConfigurationVector() {
  values_.reserve(adopted.size());
  std::set<const IConfigurationParameter*> seen;
  for (const IConfigurationParameter* value : adopted) {
    if (value == nullptr) continue;
    if (seen.insert(value).second) {
      values_.push_back(value);
    } else {
      std::unique_ptr<const IConfigurationParameter> copy(value->cloneParam());
      values_.push_back(copy.get());
      copy.release();
    }
  }
}

ConfigurationVector::ConfigurationVector(const ConfigurationVector& other)
    : ConfigurationVector() {
  values_.reserve(other.values_.size());
  for (const IConfigurationParameter* value : other.values_) {
    std::unique_ptr<const IConfigurationParameter> copy(value->cloneParam());
    values_.push_back(copy.get());
    copy.release();
  }
}

ConfigurationVector::ConfigurationVector(ConfigurationVector&& other) noexcept
    : values_(std::move(other.values_)) {
  other.values_.clear();
}

ConfigurationVector& ConfigurationVector::operator=(ConfigurationVector other) noexcept {
  values_.swap(other.values_);
  return *this;
}

ConfigurationVector::~ConfigurationVector() {
  for (const IConfigurationParameter* value : values_) delete value;
}

IConfigurationParameter* ConfigurationVector::cloneParam() const {
  return new ConfigurationVector(*this);
}

std::string ConfigurationVector::GetValueAsString() const {
  std::string text = "[";
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (i != 0) text += ",";
    text += values_[i]->GetValueAsString();
  }
  text += "]";
  return text;
}

bool ConfigurationVector::operator!=(const IConfigurationParameter* other) const {
  const auto* that = dynamic_cast<const ConfigurationVector*>(other);
  if (that == nullptr) return true;
  if (values_.size() != that->values_.size()) return true;
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (*values_[i] != that->values_[i]) return true;
  }
  return false;
}

void ConfigurationVector::append(const IConfigurationParameter* value) {
  if (value == nullptr) return;
  std::unique_ptr<const IConfigurationParameter> copy(value->cloneParam());
  values_.push_back(copy.get());
  copy.release();
}

// --- JSONMap ---------------------------------------------------------------

std::unique_ptr<ConfigurationMap> JSONMap::mapFromJSON(std::string text) {
  Json::Value root;
  bool parsed = false;
  try {
    parsed = parseJsonText(text, root, /*collectComments=*/true);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    // The reader throws, rather than failing, on nesting beyond its depth
    // limit: that is malformed input like any other.
    parsed = false;
  }
  if (!parsed || !root.isObject()) return std::make_unique<ConfigurationMap>();
  return mapFromObject(root);
}

std::unique_ptr<ConfigurationMap> JSONMap::mapFromObject(const Json::Value& object) {
  auto map = std::make_unique<ConfigurationMap>();
  if (!object.isObject()) return map;
  for (auto it = object.begin(); it != object.end(); ++it) {
    // it.name() keeps member names whole, embedded zero bytes included. The
    // built value is made for this map alone, so the map takes it as it is:
    // copying it in would copy every nested level again at each level above,
    // which costs depth times size for a deeply nested text.
    map->adopt(it.name(), genericParamFromGenericValue(*it));
  }
  return map;
}

std::unique_ptr<ConfigurationVector> JSONMap::vectorFromArray(const Json::Value& array) {
  if (!array.isArray()) return std::make_unique<ConfigurationVector>();
  ConfigurationVector::Values built;
  built.reserve(array.size());
  try {
    for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
      built.push_back(genericParamFromGenericValue(array[i]).release());
    }
  } catch (...) {
    for (const IConfigurationParameter* value : built) delete value;
    throw;
  }
  // The list adopts the built elements themselves.
  return std::make_unique<ConfigurationVector>(built);
}

std::unique_ptr<IConfigurationParameter> JSONMap::paramFromValue(const Json::Value& value) {
  if (value.isObject() || value.isArray()) return genericParamFromGenericValue(value);
  if (value.isBool()) return std::make_unique<ConfigurationParameter<bool>>(value.asBool());
  if (value.isInt64()) {
    return std::make_unique<ConfigurationParameter<long long>>(
        static_cast<long long>(value.asInt64()));
  }
  if (value.isNumeric()) {
    return std::make_unique<ConfigurationParameter<double>>(value.asDouble());
  }
  return std::make_unique<ConfigurationParameter<std::string>>(value.asString());
}

std::unique_ptr<IConfigurationParameter> JSONMap::genericParamFromGenericValue(
    const Json::Value& value) {
  if (value.isObject()) return mapFromObject(value);
  if (value.isArray()) return vectorFromArray(value);
  return paramFromValue(value);
}

}  // namespace tembrolexinsdk
