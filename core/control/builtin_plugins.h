// The assembly of the decoder's plug-ins and engines: the plug-in loader
// (core/audio/plugin_loader.h) builds the audio plug-ins itself; the
// processors and engines that live outside the audio and engine libraries
// join here, once per process: the bundle cache's "libCacheEngine.so" row of
// the plug-in registry and the analytics engine type "SDKANALYTICS".
//
// Thread safety: any thread; registration happens once.
#ifndef TL_CORE_CONTROL_BUILTIN_PLUGINS_H_
#define TL_CORE_CONTROL_BUILTIN_PLUGINS_H_

namespace tembrolexinsdk {
namespace builtinplugins {

// Fills the plug-in registry and the engine factory; later calls do nothing.
void registerAll();

}  // namespace builtinplugins
}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_BUILTIN_PLUGINS_H_
