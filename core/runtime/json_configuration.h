// Configuration from JSON text: JSONMap turns a JSON object into a
// ConfigurationMap (objects nest as maps, arrays become ConfigurationVector
// lists, scalars become ConfigurationParameter<T> values). Parsing is
// JsonCpp's.
//
// JSONMap is stateless: any thread may call it. A ConfigurationVector is a
// plain value, used by one thread at a time.
#ifndef TL_CORE_RUNTIME_JSON_CONFIGURATION_H_
#define TL_CORE_RUNTIME_JSON_CONFIGURATION_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/runtime/configuration_map.h"
#include "core/runtime/i_configuration_parameter.h"

namespace Json {
class Value;
}  // namespace Json

namespace tembrolexinsdk {

// A list-valued configuration value. Owns its elements; never holds null.
class ConfigurationVector : public IConfigurationParameter {
 public:
  using Values = std::vector<const IConfigurationParameter*>;

  ConfigurationVector() = default;
  // Takes ownership of the given element objects as they are (no copy); null
  // elements are left out. An object listed more than once is owned once and
  // copied for its other positions.
  explicit ConfigurationVector(const Values& adopted);
  // Deep copy: every element is copied with its cloneParam.
  ConfigurationVector(const ConfigurationVector& other);
  // Leaves `other` empty.
  ConfigurationVector(ConfigurationVector&& other) noexcept;
  ConfigurationVector& operator=(ConfigurationVector other) noexcept;
  ~ConfigurationVector() override;

  // A new vector holding a copy of every element, in order.
  IConfigurationParameter* cloneParam() const override;
  // "[" then the elements' texts joined by "," then "]"; "[]" when empty.
  std::string GetValueAsString() const override;
  // True when `other` is null, not a ConfigurationVector, of another length,
  // or differs at some position by the element's own operator!=.
  bool operator!=(const IConfigurationParameter* other) const override;

  // Appends a copy (cloneParam) of `value`; the caller keeps `value`. A null
  // value changes nothing.
  void append(const IConfigurationParameter* value);

  std::size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  // The element at `index` (owned by the vector); throws std::out_of_range
  // past the end.
  const IConfigurationParameter* at(std::size_t index) const { return values_.at(index); }
  Values::const_iterator begin() const { return values_.begin(); }
  Values::const_iterator end() const { return values_.end(); }

 private:
  Values values_;
};

class JSONMap {
 public:
  JSONMap() = delete;

  // The map of the text's top-level object. Text that does not parse
  // (including nesting beyond the parser's depth limit), a null root, or a
  // root that is an array or a scalar all give an empty map. Comments are
  // accepted. Never throws except for memory exhaustion.
  static std::unique_ptr<ConfigurationMap> mapFromJSON(std::string text);
  // One entry per member of `object`; a value that is not an object gives an
  // empty map.
  static std::unique_ptr<ConfigurationMap> mapFromObject(const Json::Value& object);
  // One element per item of `array`; a value that is not an array gives an
  // empty list.
  static std::unique_ptr<ConfigurationVector> vectorFromArray(const Json::Value& array);
  // A scalar: bool -> bool; a number with an integral value that fits a
  // signed 64-bit integer -> long long; any other number -> double; a string
  // -> std::string; null -> empty std::string. An object or array given here
  // is converted as genericParamFromGenericValue does.
  static std::unique_ptr<IConfigurationParameter> paramFromValue(const Json::Value& value);
  // Any value: objects through mapFromObject, arrays through vectorFromArray,
  // the rest through paramFromValue.
  static std::unique_ptr<IConfigurationParameter> genericParamFromGenericValue(
      const Json::Value& value);
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_JSON_CONFIGURATION_H_
