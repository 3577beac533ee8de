// The engine names a decoder descriptor's code-word range may route words to
// ("TRIGGER", "ANALYTICS", ...). The layer that owns the engines registers
// their names; a processor reading descriptors warns about a range naming
// none of them, whose words would go nowhere.
//
// Thread safety: locked; any thread.
#ifndef TL_CORE_RUNTIME_ENGINE_REFS_H_
#define TL_CORE_RUNTIME_ENGINE_REFS_H_

#include <string>
#include <vector>

namespace tembrolexinsdk {
namespace enginerefs {

void registerName(const std::string& name);
// Every registered name, sorted; empty while none is registered (nothing is
// known, so nothing can be checked).
std::vector<std::string> names();

}  // namespace enginerefs
}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_ENGINE_REFS_H_
