// IEngine: a reaction engine. The decoder offers every processor event to its
// engines in turn; engines react to events and configuration. Engines are
// driven from the decoder's thread; implementations synchronise whatever
// their own threads share.
#ifndef TL_CORE_RUNTIME_I_ENGINE_H_
#define TL_CORE_RUNTIME_I_ENGINE_H_

#include <string>

#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {

class ConfigurationMap;

class IEngine : public INamedObject {
 public:
  ~IEngine() override = default;

  const std::string& GetName() const override = 0;
  // The engine's entry of the engine list, given once at creation; valid only
  // for the call.
  virtual void setEngineParameters(const ConfigurationMap* parameters) = 0;
  // What to offer the next engine: `params` itself when this engine leaves the
  // event alone, null when it consumed it (or another object, owned by this
  // engine, valid until the next call).
  virtual const IProcessorEventParams* processEventParams(const IProcessorEventParams* params) = 0;
  // A later configuration meant for this engine; valid only for the call.
  virtual void Configure(const ConfigurationParameters* configuration) = 0;
  virtual void setFilePath(const std::string& path) { (void)path; }
  virtual void start() {}
  virtual void stop() {}
  virtual bool isEnabled() const { return true; }
  virtual bool isBusy() const { return false; }
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_ENGINE_H_
