#include "platform/engines/analytics_engine.h"
#include "platform/engines/tl_content_engine.h"
#include "platform/engines/tl_engine.h"
#include "platform/engines/tl_event_engine.h"

namespace tembrolexinplatform {

// One row per built-in engine class, in the order the factory tries them.
std::vector<TLEngine::EngineClass> TLEngine::builtInEngineClasses() {
  return {
      {TLEngineType::kContent, TLContentEngine::kEngineName,
       [] { return TLContentEngine::sharedEngine(); }},
      {TLEngineType::kEvent, TLEventEngine::kEngineName, [] { return TLEventEngine::sharedEngine(); }},
      {TLEngineType::kAnalytics, TLAnalyticsEngine::kEngineName, [] { return TLAnalyticsEngine::sharedEngine(); }},
  };
}

}  // namespace tembrolexinplatform
