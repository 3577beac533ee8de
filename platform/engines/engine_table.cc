#include "platform/engines/analytics_engine.h"
#include "platform/engines/tl_audio_match_engine.h"
#include "platform/engines/tl_content_engine.h"
#include "platform/engines/tl_engine.h"
#include "platform/engines/tl_event_engine.h"
#include "platform/engines/tl_plugin_engine.h"
#include "platform/engines/tl_sync_engines.h"
#include "platform/engines/tl_trigger_engine.h"

namespace tembrolexinplatform {

// One row per built-in engine class, in the order they register with
// TLRuntime.
std::vector<TLEngine::EngineClass> TLEngine::builtInEngineClasses() {
  return {
      {TLEngineType::kContent, TLContentEngine::kEngineName,
       [] { return TLContentEngine::sharedEngine(); }, "TLContentEngine"},
      {TLEngineType::kEvent, TLEventEngine::kEngineName,
       [] { return TLEventEngine::sharedEngine(); }, "TLEventEngine"},
      {TLEngineType::kAnalytics, TLAnalyticsEngine::kEngineName,
       [] { return TLAnalyticsEngine::sharedEngine(); }, "TLAnalyticsEngine"},
      {TLEngineType::kEvent2, TLEventEngine2::kEngineName,
       [] { return TLEventEngine2::sharedEngine(); }, "TLEventEngine2"},
      {TLEngineType::kHeartbeat, TLHeartbeatEngine::kEngineName,
       [] { return TLHeartbeatEngine::sharedEngine(); }, "TLHeartbeatEngine"},
      {TLEngineType::kTrigger, TLTriggerEngine::kEngineName,
       [] { return TLTriggerEngine::sharedEngine(); }, "TLTriggerEngine"},
      {TLEngineType::kPlugin, TLPluginEngine::kEngineName,
       [] { return TLPluginEngine::sharedEngine(); }, "TLPluginEngine"},
      {TLEngineType::kAudioMatch, TLAudioMatchEngine::kEngineName,
       [] { return TLAudioMatchEngine::sharedEngine(); }, "TLAudioMatchEngine"},
  };
}

}  // namespace tembrolexinplatform
