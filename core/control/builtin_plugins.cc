#include "core/control/builtin_plugins.h"

#include <mutex>

#include "core/analytics/analytics_engine.h"
#include "core/assets/cache_processor.h"

namespace tembrolexinsdk {
namespace builtinplugins {

std::vector<std::unique_ptr<IAudioProcessor>> loadAudioPlugins(
    const std::string&, const std::vector<std::string>&) {
  return {};
}

std::vector<std::unique_ptr<IProcessor>> loadProcessorPlugins(
    const std::string&, const std::vector<std::string>& names) {
  std::vector<std::unique_ptr<IProcessor>> out;
  for (const std::string& name : names) {
    if (name == "libCacheEngine.so") out.push_back(std::make_unique<CacheProcessor>());
  }
  return out;
}

void registerEngines() {
  static std::once_flag once;
  std::call_once(once, [] { registerAnalyticsEngineType(); });
}

}  // namespace builtinplugins
}  // namespace tembrolexinsdk
