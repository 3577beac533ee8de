#include "core/runtime/engine_refs.h"

#include <mutex>
#include <set>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {
namespace enginerefs {
namespace {

struct Registry {
  tembrolexin::Mutex mutex;
  std::set<std::string> names;
};

// Never destroyed: names may be read while the process exits.
Registry& registry() {
  static Registry* instance = new Registry();
  return *instance;
}

}  // namespace

void registerName(const std::string& name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.names.insert(name);
}

std::vector<std::string> names() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return {r.names.begin(), r.names.end()};
}

}  // namespace enginerefs
}  // namespace tembrolexinsdk
