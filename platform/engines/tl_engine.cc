#include "platform/engines/tl_engine.h"

#include "core/runtime/checked_mutex.h"
#include "core/runtime/engine_refs.h"
#include "platform/runtime/tl_logger.h"
#include "platform/runtime/tl_runtime.h"

namespace tembrolexinplatform {

namespace {

TLRuntimeClass runtimeClassOf(TLEngine::EngineClass engineClass) {
  TLRuntimeClass c;
  c.name = engineClass.className.empty() ? engineClass.engineName : engineClass.className;
  c.superclasses = {"TLEngine"};
  c.protocols = {"TLEngine", TLEngine::protocolOfType(engineClass.type)};
  c.classObject = std::move(engineClass);
  return c;
}

// The built-in engines register as library classes before main, so they are
// in TLRuntime's snapshot whenever it is taken.
const bool kBuiltInsRegistered = [] {
  bool all = true;
  for (TLEngine::EngineClass& c : TLEngine::builtInEngineClasses()) {
    tembrolexinsdk::enginerefs::registerName(c.engineName);
    all = TLRuntime::registerLibraryClass(runtimeClassOf(std::move(c))) && all;
  }
  return all;
}();

}  // namespace

void TLEngine::start() {
  if (isRunning()) return;
  setRunning(true);
  setPaused(false);
}

void TLEngine::pause() { setPaused(isRunning()); }

void TLEngine::stop() {
  setPaused(false);
  setRunning(false);
}

bool TLEngine::isRunning() const {
  std::lock_guard lock(flagsMutex_);
  return running_;
}

bool TLEngine::isPaused() const {
  std::lock_guard lock(flagsMutex_);
  return paused_;
}

void TLEngine::setRunning(bool running) {
  std::lock_guard lock(flagsMutex_);
  running_ = running;
}

void TLEngine::setPaused(bool paused) {
  std::lock_guard lock(flagsMutex_);
  paused_ = paused;
}

void TLEngine::setMessenger(std::shared_ptr<Messenger> /*messenger*/) {}

void TLEngine::setDecoder(std::weak_ptr<IEngineDecoder> /*decoder*/) {}

std::string TLEngine::protocolOfType(TLEngineType type) {
  switch (type) {
    case TLEngineType::kContent: return "TLContentEngine";
    case TLEngineType::kEvent: return "TLEventEngine";
    case TLEngineType::kEvent2: return "TLEventEngine2";
    case TLEngineType::kHeartbeat: return "TLHeartbeatEngine";
    case TLEngineType::kTrigger: return "TLTriggerEngine";
    case TLEngineType::kPlugin: return "TLPluginEngine";
    case TLEngineType::kAnalytics: return "TLAnalyticsEngine";
    case TLEngineType::kAudioMatch: return "TLAudioMatchEngine";
  }
  return "TLEngineType" + std::to_string(static_cast<int>(type));
}

bool TLEngine::registerEngineClass(EngineClass engineClass) {
  const std::string name = engineClass.engineName;
  if (TLRuntime::registerClass(runtimeClassOf(std::move(engineClass)))) {
    tembrolexinsdk::enginerefs::registerName(name);
    return true;
  }
  TLLogger::warnInMethod("+[TLEngine registerEngineClass:]", __LINE__,
                         "Engine class %s registered after the classes were looked up: never found",
                         name.c_str());
  return false;
}

std::shared_ptr<TLEngine> TLEngine::getEngineOfType(TLEngineType type) {
  if (!kBuiltInsRegistered) {
    TLLogger::errorInMethod("+[TLEngine getEngineOfType:]", __LINE__,
                            "Built-in engines were looked up before they registered");
  }
  const std::vector<const TLRuntimeClass*> classes =
      TLRuntime::classesImplementingProtocol(protocolOfType(type));
  if (classes.empty()) return nullptr;
  const auto* found = std::any_cast<EngineClass>(&classes.front()->classObject);
  if (found == nullptr || !found->sharedEngine) return nullptr;
  TLLogger::debugInMethod("+[TLEngine getEngineOfType:]", __LINE__, "engine:%s",
                          found->engineName.c_str());
  std::shared_ptr<TLEngine> engine = found->sharedEngine();
  if (engine) engine->setEngineParameters({});
  return engine;
}

}  // namespace tembrolexinplatform
