#include "core/control/controller_settings.h"

#include "core/runtime/configuration_parameter.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {
namespace controllersettings {

const IConfigurationParameter* lookUp(const ConfigurationMap& map, const std::string& processorName,
                                      const std::string& suffix) {
  auto it = map.find(processorName + suffix);
  if (it == map.end()) it = map.find("*" + suffix);
  return it == map.end() ? nullptr : it->second;
}

Enabled enabledSetting(const ConfigurationMap& map, const std::string& processorName) {
  const auto* flag = dynamic_cast<const ConfigurationParameter<bool>*>(
      lookUp(map, processorName, "_meta_enabled"));
  if (flag == nullptr) return Enabled::kUnspecified;
  return flag->value ? Enabled::kEnabled : Enabled::kDisabled;
}

std::unique_ptr<ConfigurationMap> withoutMetaKeys(const ConfigurationMap& map,
                                                  const INamedObject* sender,
                                                  const std::string& controllerName) {
  logWithLogger<LogLevel::Debug>(sender, "filtering parameters for ", controllerName);
  auto filtered = std::make_unique<ConfigurationMap>();
  for (const auto& [key, value] : map) {
    if (key.find("_meta_") != std::string::npos) continue;
    filtered->set(key, value);
    logWithLogger<LogLevel::Debug>(sender, "parameter: ", key,
                                   ", value: ", value->GetValueAsString());
  }
  return filtered;
}

}  // namespace controllersettings
}  // namespace tembrolexinsdk
