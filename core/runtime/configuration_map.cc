#include "core/runtime/configuration_map.h"

#include <memory>
#include <set>
#include <utility>

namespace tembrolexinsdk {

ConfigurationMap::ConfigurationMap(const Map& adopted) : ConfigurationMap() {
  std::set<const IConfigurationParameter*> seen;
  for (const auto& [key, value] : adopted) {
    if (value == nullptr) continue;
    if (seen.insert(value).second) {
      map_.emplace(key, value);
    }
  }
  // A value object listed under several keys is owned once; the other keys
  // get copies of it, so no object is ever deleted twice.
  for (const auto& [key, value] : adopted) {
    if (value == nullptr || map_.count(key) != 0) continue;
    std::unique_ptr<const IConfigurationParameter> copy(value->cloneParam());
    map_.emplace(key, copy.get());
    copy.release();
  }
}

// Delegating constructors: should a copy throw part-way, the map is already
// constructed, so its destructor releases what has been stored so far.
ConfigurationMap::ConfigurationMap(const ConfigurationMap& other) : ConfigurationMap() {
  for (const auto& [key, value] : other.map_) {
    std::unique_ptr<const IConfigurationParameter> copy(value->cloneParam());
    map_.emplace(key, copy.get());
    copy.release();
  }
}

ConfigurationMap::ConfigurationMap(ConfigurationMap&& other) noexcept : map_(std::move(other.map_)) {
  other.map_.clear();
}

ConfigurationMap& ConfigurationMap::operator=(ConfigurationMap other) noexcept {
  map_.swap(other.map_);
  return *this;
}

ConfigurationMap::~ConfigurationMap() {
  for (auto& entry : map_) delete entry.second;
}

IProcessorEventParams* ConfigurationMap::clone() const { return new ConfigurationMap(*this); }

std::string ConfigurationMap::GetParamsDescription() const { return GetValueAsString(); }

IConfigurationParameter* ConfigurationMap::cloneParam() const {
  return new ConfigurationMap(*this);
}

std::string ConfigurationMap::GetValueAsString() const {
  std::string text = "(";
  bool first = true;
  for (const auto& [key, value] : map_) {
    if (!first) text += ",";
    first = false;
    text += key;
    text += " : ";
    text += value->GetValueAsString();
  }
  text += ")";
  return text;
}

bool ConfigurationMap::operator!=(const IConfigurationParameter* other) const {
  const auto* that = dynamic_cast<const ConfigurationMap*>(other);
  if (that == nullptr) return true;
  if (map_.size() != that->map_.size()) return true;
  for (auto mine = map_.begin(), theirs = that->map_.begin(); mine != map_.end();
       ++mine, ++theirs) {
    if (mine->first != theirs->first) return true;
    if (*mine->second != theirs->second) return true;
  }
  return false;
}

void ConfigurationMap::set(const std::string& key, const IConfigurationParameter* value) {
  if (value == nullptr) return;
  // Copy first: `value` may be the very object held under `key`.
  std::unique_ptr<const IConfigurationParameter> copy(value->cloneParam());
  auto it = map_.find(key);
  if (it != map_.end()) {
    const IConfigurationParameter* old = it->second;
    it->second = copy.release();
    delete old;
  } else {
    map_.emplace(key, copy.get());
    copy.release();
  }
}

void ConfigurationMap::adopt(const std::string& key,
                             std::unique_ptr<const IConfigurationParameter> value) {
  if (value == nullptr) return;
  // The slot is made first; should that throw, `value` still owns the object.
  auto [it, inserted] = map_.try_emplace(key, nullptr);
  const IConfigurationParameter* old = inserted ? nullptr : it->second;
  it->second = value.release();
  if (old != it->second) delete old;
}

}  // namespace tembrolexinsdk
