#include "platform/engines/tl_plugin_engine.h"

#include "platform/api/tl_thrift_params.h"

namespace tembrolexinplatform {

std::shared_ptr<TLPluginEngine> TLPluginEngine::sharedEngine() {
  // Never destroyed: bus threads may still deliver during exit.
  static auto* engine = new std::shared_ptr<TLPluginEngine>(new TLPluginEngine());
  return *engine;
}

std::shared_ptr<TLEngineDelegate> TLPluginEngine::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_;
}

void TLPluginEngine::setDelegate(std::shared_ptr<TLEngineDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

void TLPluginEngine::processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                                        const std::string& /*processorName*/) {
  auto envelope = std::dynamic_pointer_cast<const TLThriftParams>(event);
  if (!envelope || envelope->msgType() != kMessageTypeId<ConfigurationMapSignal>) return;
  std::unique_ptr<ConfigurationMapSignal> map = envelope->newMessageOfType<ConfigurationMapSignal>();
  if (!map) return;
  auto receiver = std::dynamic_pointer_cast<TLPluginEngineDelegate>(delegate());
  if (!receiver) return;
  const ConfigDictionary data = ThriftConverter::convertWithConfigurationMapSignal(*map);
  const TLDate now = context_.now();
  context_.safeDispatch().safeDispatchSyncOnMainQueue([&] { receiver->dataReceived(data, now); });
}

}  // namespace tembrolexinplatform
