// TLPluginEngine ("PLUGIN"): hands each configuration map that the bus
// delivers (ConfigurationMapSignal, type 30: the maps the app and the engines
// send to the core's plug-ins, and any a plug-in reports) to the app's
// delegate as a dictionary, dated on arrival. Entries the app cannot
// be given a value for (a type outside 0 to 4, or no value of that type) are
// left out. No state besides the delegate; always "running".
//
// Thread safety: maps arrive on the bus thread; the delegate call runs on the
// main queue while the delivering thread waits for it. Every operation may
// be called from any thread.
#ifndef TL_PLATFORM_ENGINES_TL_PLUGIN_ENGINE_H_
#define TL_PLATFORM_ENGINES_TL_PLUGIN_ENGINE_H_

#include <memory>
#include <mutex>
#include <string>

#include "core/runtime/checked_mutex.h"
#include "platform/engines/engine_context.h"
#include "platform/engines/tl_engine.h"
#include "platform/runtime/thrift_converter.h"

namespace tembrolexinplatform {

class TLPluginEngineDelegate : public TLEngineDelegate {
 public:
  virtual void dataReceived(const ConfigDictionary& data, TLDate atTime) = 0;
};

class TLPluginEngine final : public TLEngine {
 public:
  static constexpr const char* kEngineName = "PLUGIN";

  // The one engine of the process, made on first use; never destroyed.
  static std::shared_ptr<TLPluginEngine> sharedEngine();

  void start() override {}
  void pause() override {}
  void stop() override {}
  bool isRunning() const override { return true; }
  bool isPaused() const override { return true; }

  std::shared_ptr<TLEngineDelegate> delegate() const override;
  void setDelegate(std::shared_ptr<TLEngineDelegate> delegate) override;
  std::string engineName() const override { return kEngineName; }
  void setEngineParameters(const TLEngineParameters&) override {}
  // Takes TLThriftParams envelopes of type 30 only.
  void processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                          const std::string& processorName) override;

  // Test seam: the dispatcher whose main queue runs the delegate call and
  // whose clock dates it.
  void setDispatcher(Dispatcher* dispatcher) { context_.setDispatcher(dispatcher); }

 private:
  TLPluginEngine() = default;

  EngineContext context_;
  mutable tembrolexin::Mutex mutex_;
  std::shared_ptr<TLEngineDelegate> delegate_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TL_PLUGIN_ENGINE_H_
