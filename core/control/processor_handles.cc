#include "core/control/processor_handles.h"

#include <map>
#include <mutex>
#include <utility>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {
namespace processorhandles {

namespace {

struct Registry {
  tembrolexin::Mutex mutex;
  int64_t next = 1;
  std::map<int64_t, std::unique_ptr<IProcessor>> generic;
  std::map<int64_t, std::unique_ptr<IAudioProcessor>> audio;
};

// Never destroyed: processors parked at exit are left to the process.
Registry& registry() {
  static Registry* instance = new Registry();
  return *instance;
}

template <typename P>
int64_t parkIn(std::map<int64_t, std::unique_ptr<P>> Registry::*table, std::unique_ptr<P> p) {
  if (!p) return 0;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const int64_t handle = r.next++;
  (r.*table)[handle] = std::move(p);
  return handle;
}

template <typename P>
std::unique_ptr<P> takeFrom(std::map<int64_t, std::unique_ptr<P>> Registry::*table,
                            int64_t handle) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = (r.*table).find(handle);
  if (it == (r.*table).end()) return nullptr;
  std::unique_ptr<P> p = std::move(it->second);
  (r.*table).erase(it);
  return p;
}

}  // namespace

int64_t park(std::unique_ptr<IProcessor> processor) {
  return parkIn(&Registry::generic, std::move(processor));
}
int64_t parkAudio(std::unique_ptr<IAudioProcessor> processor) {
  return parkIn(&Registry::audio, std::move(processor));
}
std::unique_ptr<IProcessor> take(int64_t handle) { return takeFrom(&Registry::generic, handle); }
std::unique_ptr<IAudioProcessor> takeAudio(int64_t handle) {
  return takeFrom(&Registry::audio, handle);
}
std::size_t parked() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.generic.size() + r.audio.size();
}

}  // namespace processorhandles
}  // namespace tembrolexinsdk
