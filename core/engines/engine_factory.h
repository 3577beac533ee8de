// The engine types that IEngine::addEngineForMap can create. "EVENT2",
// "HEARTBEAT" and "CONTENT" (which needs the decoder's store) are built in;
// other engines (the analytics engine) are added by whoever links them,
// before engines are created.
//
// Thread safety: registration and creation may run on any thread; the table
// has its own mutex (a creator runs without it).
#ifndef TL_CORE_ENGINES_ENGINE_FACTORY_H_
#define TL_CORE_ENGINES_ENGINE_FACTORY_H_

#include <functional>
#include <memory>
#include <string>

#include "core/runtime/database.h"
#include "core/runtime/i_engine.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/i_processor_listener.h"

namespace tembrolexinsdk {
namespace enginefactory {

using Creator = std::function<std::unique_ptr<IEngine>(
    IProcessorListener* listener, IMessenger* messenger, DB::Database* database)>;

// Adds or replaces the creator of engine type `type`.
void registerEngineType(const std::string& type, Creator creator);

}  // namespace enginefactory
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_ENGINE_FACTORY_H_
