#include "platform/engines/tl_engine.h"

#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

struct Registry {
  std::mutex mutex;
  bool builtInsAdded = false;
  std::vector<TLEngine::EngineClass> classes;
};

Registry& registry() {
  static Registry* r = new Registry();  // used by engines during exit
  return *r;
}

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
  std::lock_guard<std::recursive_mutex> lock(flagsMutex_);
  return running_;
}

bool TLEngine::isPaused() const {
  std::lock_guard<std::recursive_mutex> lock(flagsMutex_);
  return paused_;
}

void TLEngine::setRunning(bool running) {
  std::lock_guard<std::recursive_mutex> lock(flagsMutex_);
  running_ = running;
}

void TLEngine::setPaused(bool paused) {
  std::lock_guard<std::recursive_mutex> lock(flagsMutex_);
  paused_ = paused;
}

void TLEngine::setMessenger(std::shared_ptr<Messenger> /*messenger*/) {}

void TLEngine::setDecoder(std::weak_ptr<IEngineDecoder> /*decoder*/) {}

void TLEngine::registerEngineClass(EngineClass engineClass) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.classes.push_back(std::move(engineClass));
}

std::shared_ptr<TLEngine> TLEngine::getEngineOfType(TLEngineType type) {
  Registry& r = registry();
  EngineClass found;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.builtInsAdded) {
      r.builtInsAdded = true;
      for (EngineClass& c : builtInEngineClasses()) r.classes.push_back(std::move(c));
    }
    for (const EngineClass& c : r.classes) {
      if (c.type == type && c.sharedEngine) {
        found = c;
        break;
      }
    }
  }
  if (!found.sharedEngine) return nullptr;
  TLLogger::debugInMethod("+[TLEngine getEngineOfType:]", __LINE__, "engine:%s",
                          found.engineName.c_str());
  std::shared_ptr<TLEngine> engine = found.sharedEngine();
  if (engine) engine->setEngineParameters({});
  return engine;
}

}  // namespace tembrolexinplatform
