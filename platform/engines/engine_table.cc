#include "platform/engines/analytics_engine.h"
#include "platform/engines/tl_audio_match_engine.h"
#include "platform/engines/tl_content_engine.h"
#include "platform/engines/tl_engine.h"
#include "platform/engines/tl_event_engine.h"
#include "platform/engines/tl_plugin_engine.h"
#include "platform/engines/tl_sync_engines.h"
#include "platform/engines/tl_trigger_engine.h"

namespace tembrolexinplatform {

// One row per built-in engine class, in the order the factory tries them.
std::vector<TLEngine::EngineClass> TLEngine::builtInEngineClasses() {
  return {
      {TLEngineType::kContent, TLContentEngine::kEngineName,
       [] { return TLContentEngine::sharedEngine(); }},
      {TLEngineType::kEvent, TLEventEngine::kEngineName, [] { return TLEventEngine::sharedEngine(); }},
      {TLEngineType::kAnalytics, TLAnalyticsEngine::kEngineName, [] { return TLAnalyticsEngine::sharedEngine(); }},
      {TLEngineType::kEvent2, TLEventEngine2::kEngineName, [] { return TLEventEngine2::sharedEngine(); }},
      {TLEngineType::kHeartbeat, TLHeartbeatEngine::kEngineName,
       [] { return TLHeartbeatEngine::sharedEngine(); }},
      {TLEngineType::kTrigger, TLTriggerEngine::kEngineName, [] { return TLTriggerEngine::sharedEngine(); }},
      {TLEngineType::kPlugin, TLPluginEngine::kEngineName, [] { return TLPluginEngine::sharedEngine(); }},
      {TLEngineType::kAudioMatch, TLAudioMatchEngine::kEngineName,
       [] { return TLAudioMatchEngine::sharedEngine(); }},
  };
}

}  // namespace tembrolexinplatform
