// The settings that processor controllers read from a configuration map: the
// "_meta_" keys, looked up under the processor's name first and then under
// "*", and withheld from the processor itself.
//
// Stateless functions; the maps are used by one thread at a time.
#ifndef TL_CORE_CONTROL_CONTROLLER_SETTINGS_H_
#define TL_CORE_CONTROL_CONTROLLER_SETTINGS_H_

#include <memory>
#include <string>

#include "core/runtime/configuration_map.h"
#include "core/runtime/i_named_object.h"

namespace tembrolexinsdk {
namespace controllersettings {

enum class Enabled { kEnabled = 0, kDisabled = 1, kUnspecified = 2 };

// The value of processorName + suffix, or else of "*" + suffix; null when
// neither key is present.
const IConfigurationParameter* lookUp(const ConfigurationMap& map, const std::string& processorName,
                                      const std::string& suffix);

// What "_meta_enabled" says: a bool value decides; a missing key or a value
// of another type is kUnspecified.
Enabled enabledSetting(const ConfigurationMap& map, const std::string& processorName);

// A copy of every entry whose key does not contain "_meta_". Logs Debug
// "filtering parameters for " + controllerName and one "parameter: <key>,
// value: <value>" line per kept entry, under `sender`.
std::unique_ptr<ConfigurationMap> withoutMetaKeys(const ConfigurationMap& map,
                                                  const INamedObject* sender,
                                                  const std::string& controllerName);

}  // namespace controllersettings
}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_CONTROLLER_SETTINGS_H_
