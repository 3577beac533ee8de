// IEngine: a reaction engine. The decoder offers every processor event to its
// engines in turn; engines react to events and configuration. Engines are
// driven from the decoder's thread; implementations synchronise whatever
// their own threads share.
#ifndef TL_CORE_RUNTIME_I_ENGINE_H_
#define TL_CORE_RUNTIME_I_ENGINE_H_

#include <map>
#include <memory>
#include <string>

#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {

class ConfigurationMap;
class IMessenger;
class IProcessorListener;
namespace DB {
class Database;
}

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

  // Creates the engine that the entry's text value "type" names ("EVENT2",
  // "HEARTBEAT", and the types registered with enginefactory, see
  // core/engines/engine_factory.h), hands it the whole entry through
  // setEngineParameters and adds it to `engines` under that name. Nothing
  // happens for a null entry, a missing or non-text type, an unknown type
  // (names are case-sensitive) or a type already in `engines`. Exceptions of
  // the engine's constructor or setEngineParameters reach the caller, and
  // nothing is added. `listener` and `messenger` go to every engine,
  // `database` to the engines that keep data. Defined in tl_engines.
  static void addEngineForMap(std::map<std::string, std::unique_ptr<IEngine>>& engines,
                              const ConfigurationMap* entry, IProcessorListener* listener,
                              IMessenger* messenger, DB::Database* database);
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_ENGINE_H_
