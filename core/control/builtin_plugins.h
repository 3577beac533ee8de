// The decoder plug-ins built into the system, by library file name. No
// library is loaded at run time: each known name makes its processor; unknown
// names are skipped without a message. The engines that live outside the
// engine library are registered here too.
//
// Stateless; any thread.
#ifndef TL_CORE_CONTROL_BUILTIN_PLUGINS_H_
#define TL_CORE_CONTROL_BUILTIN_PLUGINS_H_

#include <memory>
#include <string>
#include <vector>

#include "core/runtime/i_processor.h"

namespace tembrolexinsdk {
namespace builtinplugins {

std::vector<std::unique_ptr<IAudioProcessor>> loadAudioPlugins(
    const std::string& libraryPath, const std::vector<std::string>& names);
std::vector<std::unique_ptr<IProcessor>> loadProcessorPlugins(
    const std::string& libraryPath, const std::vector<std::string>& names);
// Makes the engines beyond the built-in sync engines creatable by type
// (IEngine::addEngineForMap). Once per process; later calls do nothing.
void registerEngines();

}  // namespace builtinplugins
}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_BUILTIN_PLUGINS_H_
