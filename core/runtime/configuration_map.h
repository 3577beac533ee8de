// ConfigurationMap: an ordered map from text keys (byte order) to
// configuration values. It owns every value it holds: `set` stores its own
// copy, the destructor deletes them, and no two maps share a value object.
// A map is itself a configuration value (maps nest) and a processor event
// (a processor may report a whole configuration).
//
// Null values are never stored: `set` with a null value leaves the map as it
// was, and null entries of an adopted plain map are left out.
//
// Not synchronised: one thread at a time. Threads exchange configuration as
// copies.
#ifndef TL_CORE_RUNTIME_CONFIGURATION_MAP_H_
#define TL_CORE_RUNTIME_CONFIGURATION_MAP_H_

#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "core/runtime/i_configuration_parameter.h"
#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {

class ConfigurationMap : public IProcessorEventParams, public IConfigurationParameter {
 public:
  using Map = ConfigurationParameters;
  using iterator = Map::iterator;
  using const_iterator = Map::const_iterator;

  ConfigurationMap() = default;
  // Takes ownership of the value objects of `adopted` as they are (no copy);
  // the caller must not delete them afterwards. A value object that appears
  // under several keys is adopted once and copied for the others.
  explicit ConfigurationMap(const Map& adopted);
  // Deep copy: every value is copied with its cloneParam.
  ConfigurationMap(const ConfigurationMap& other);
  // Leaves `other` empty.
  ConfigurationMap(ConfigurationMap&& other) noexcept;
  // Takes a copy (or the moved map) and swaps contents with it.
  ConfigurationMap& operator=(ConfigurationMap other) noexcept;
  ~ConfigurationMap() override;

  // IProcessorEventParams: a deep copy that the caller owns.
  IProcessorEventParams* clone() const override;
  // The same text as GetValueAsString.
  std::string GetParamsDescription() const override;

  // IConfigurationParameter: a deep copy that the caller owns.
  IConfigurationParameter* cloneParam() const override;
  // "(" then "key : value" for each entry in key order, separated by ",",
  // then ")": e.g. (a : 1,b : -3), (outer : (x : 1)), ().
  std::string GetValueAsString() const override;
  // True when `other` is null, not a ConfigurationMap, of another size, or
  // differs in some key or value (walking both in key order).
  bool operator!=(const IConfigurationParameter* other) const override;

  // Stores a copy (cloneParam) of `value` under `key`, replacing and deleting
  // the value held so far. The caller keeps `value`. A null value changes
  // nothing.
  void set(const std::string& key, const IConfigurationParameter* value);
  // Stores `value` itself (no copy) under `key`, replacing and deleting the
  // value held so far. For builders that made the value for this map only:
  // nested values are not copied again at every level. A null value changes
  // nothing. Should storing fail (memory), `value` is still released.
  void adopt(const std::string& key, std::unique_ptr<const IConfigurationParameter> value);

  // The held value; throws std::out_of_range when `key` is missing. The value
  // stays owned by the map.
  const IConfigurationParameter* at(const std::string& key) const { return map_.at(key); }
  const_iterator find(const std::string& key) const { return map_.find(key); }
  std::size_t count(const std::string& key) const { return map_.count(key); }
  std::size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }

  iterator begin() { return map_.begin(); }
  iterator end() { return map_.end(); }
  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }

  // The plain map of keys and (map-owned) values, e.g. for IProcessor::Configure.
  const Map& parameters() const { return map_; }

 private:
  Map map_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_CONFIGURATION_MAP_H_
