#include "core/control/builtin_plugins.h"

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

}  // namespace builtinplugins
}  // namespace tembrolexinsdk
