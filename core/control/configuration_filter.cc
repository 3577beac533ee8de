#include "core/control/configuration_filter.h"

namespace tembrolexinsdk {

namespace {
// Never destroyed (threads still running at exit may use them).
const std::string& kWildcard = *new std::string("*_meta_");
}

bool configurationKeyMatches(const std::string& key, const std::string& name) {
  const size_t n = name.size();
  if (key.size() >= n && key.compare(0, n, name) == 0) return true;
  if (key.size() > n) {
    const size_t p = key.rfind('_', n);
    if (p != std::string::npos && p + 1 >= n && key.compare(0, p, name, 0, p) == 0) return true;
  }
  return key.find(kWildcard) != std::string::npos;
}

std::unique_ptr<ConfigurationMap> filterConfigMap(const ConfigurationMap* map,
                                                  const std::string& name) {
  auto out = std::make_unique<ConfigurationMap>();
  if (map == nullptr) return out;
  for (const auto& [key, value] : *map) {
    if (!configurationKeyMatches(key, name)) continue;
    if (key.find(kWildcard) != std::string::npos && map->count(name + key.substr(1)) != 0) {
      continue;
    }
    out->set(key, value);
  }
  return out;
}

}  // namespace tembrolexinsdk
