#include "core/control/builtin_plugins.h"

#include <memory>
#include <mutex>

#include "core/analytics/analytics_engine.h"
#include "core/assets/cache_processor.h"
#include "core/audio/plugin_loader.h"

namespace tembrolexinsdk {
namespace builtinplugins {

void registerAll() {
  static std::once_flag once;
  std::call_once(once, [] {
    PluginRegistry::instance().registerProcessor(
        "libCacheEngine.so", [] { return std::make_unique<CacheProcessor>(); });
    registerAnalyticsEngineType();
  });
}

}  // namespace builtinplugins
}  // namespace tembrolexinsdk
