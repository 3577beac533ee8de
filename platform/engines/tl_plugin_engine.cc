#include "platform/engines/tl_plugin_engine.h"

#include <utility>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_thrift_params.h"

namespace tembrolexinplatform {

namespace {

// One entry per entry of the map, its value read by the parameter's type
// from the field of that type, set or not (an unset field reads as its
// default: false, 0, 0.0 or the empty text); a type outside 0 to 4 gives no
// entry.
ConfigDictionary dictionaryOf(const ConfigurationMapSignal& map) {
  ConfigDictionary out;
  for (const auto& [key, p] : map.config) {
    switch (p.type) {
      case 0:
        out.emplace(key, static_cast<bool>(p.boolValue));
        break;
      case 1:
        out.emplace(key, static_cast<int32_t>(p.intValue));
        break;
      case 2:
        out.emplace(key, static_cast<double>(p.doubleValue));
        break;
      case 3:
        out.emplace(key, static_cast<int64_t>(p.longlongValue));
        break;
      case 4:
        out.emplace(key, p.stringValue);
        break;
      default:
        break;
    }
  }
  return out;
}

}  // namespace

std::shared_ptr<TLPluginEngine> TLPluginEngine::sharedEngine() {
  // Never destroyed: bus threads may still deliver during exit.
  static auto* engine = new std::shared_ptr<TLPluginEngine>(new TLPluginEngine());
  return *engine;
}

std::shared_ptr<TLEngineDelegate> TLPluginEngine::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void TLPluginEngine::setDelegate(std::shared_ptr<TLEngineDelegate> delegate) {
  // The delegate let go of is the app's: it ends after the lock is released.
  std::shared_ptr<TLEngineDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(delegate_, std::move(delegate));
}

void TLPluginEngine::processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                                        const std::string& /*processorName*/) {
  auto envelope = std::dynamic_pointer_cast<const TLThriftParams>(event);
  if (!envelope || envelope->msgType() != kMessageTypeId<ConfigurationMapSignal>) return;
  std::unique_ptr<ConfigurationMapSignal> map = envelope->newMessageOfType<ConfigurationMapSignal>();
  if (!map) return;
  auto receiver = std::dynamic_pointer_cast<TLPluginEngineDelegate>(delegate());
  if (!receiver) return;
  const ConfigDictionary data = dictionaryOf(*map);
  const TLDate now = context_.now();
  context_.safeDispatch().safeDispatchSyncOnMainQueue([&] { receiver->dataReceived(data, now); },
                                                     kEngineName);
}

}  // namespace tembrolexinplatform
