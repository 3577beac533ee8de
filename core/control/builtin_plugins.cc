#include "core/control/builtin_plugins.h"

#include <mutex>

#include "core/analytics/analytics_engine.h"

namespace tembrolexinsdk {
namespace builtinplugins {

std::vector<std::unique_ptr<IAudioProcessor>> loadAudioPlugins(
    const std::string&, const std::vector<std::string>&) {
  return {};
}

std::vector<std::unique_ptr<IProcessor>> loadProcessorPlugins(const std::string&,
                                                              const std::vector<std::string>&) {
  return {};
}

void registerEngines() {
  static std::once_flag once;
  std::call_once(once, [] { registerAnalyticsEngineType(); });
}

}  // namespace builtinplugins
}  // namespace tembrolexinsdk
