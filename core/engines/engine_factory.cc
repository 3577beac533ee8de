#include "core/engines/engine_factory.h"

#include <map>
#include <mutex>

#include "core/engines/content_engine.h"
#include "core/engines/event_engine2.h"
#include "core/engines/heartbeat_engine.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/configuration_map.h"
#include "core/runtime/configuration_parameter.h"

namespace tembrolexinsdk {
namespace enginefactory {

namespace {

struct Table {
  tembrolexin::Mutex mutex;
  std::map<std::string, Creator> creators{
      {EventEngine2::engineName,
       [](IProcessorListener* l, IMessenger* m, DB::Database*) {
         return std::make_unique<EventEngine2>(l, m);
       }},
      {HeartbeatEngine::engineName,
       [](IProcessorListener* l, IMessenger* m, DB::Database*) {
         return std::make_unique<HeartbeatEngine>(l, m);
       }},
      {ContentEngine::engineName,
       [](IProcessorListener* l, IMessenger* m, DB::Database* d) {
         return std::make_unique<ContentEngine>(l, m, d);
       }},
  };
};

// Never destroyed: engines may be created while the process exits.
Table& table() {
  static Table* instance = new Table();
  return *instance;
}

}  // namespace

void registerEngineType(const std::string& type, Creator creator) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  t.creators[type] = std::move(creator);
}

}  // namespace enginefactory

void IEngine::addEngineForMap(std::map<std::string, std::unique_ptr<IEngine>>& engines,
                              const ConfigurationMap* entry, IProcessorListener* listener,
                              IMessenger* messenger, DB::Database* database) {
  if (entry == nullptr) return;
  const auto it = entry->find("type");
  if (it == entry->end()) return;
  const auto* type = dynamic_cast<const ConfigurationParameter<std::string>*>(it->second);
  if (type == nullptr || engines.count(type->value) != 0) return;
  enginefactory::Creator creator;
  {
    enginefactory::Table& t = enginefactory::table();
    std::lock_guard lock(t.mutex);
    const auto found = t.creators.find(type->value);
    if (found == t.creators.end()) return;
    creator = found->second;
  }
  std::unique_ptr<IEngine> engine = creator(listener, messenger, database);
  if (!engine) return;
  engine->setEngineParameters(entry);
  engines.emplace(type->value, std::move(engine));
}

}  // namespace tembrolexinsdk
