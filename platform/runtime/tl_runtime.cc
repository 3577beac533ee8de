#include "platform/runtime/tl_runtime.h"

#include <algorithm>
#include <mutex>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "platform/runtime/platform_environment.h"

namespace tembrolexinplatform {

namespace {

struct Registry {
  tembrolexin::Mutex mutex;
  bool taken = false;
  std::vector<TLRuntimeClass> appClasses;
  std::vector<TLRuntimeClass> libraryClasses;
};

Registry& registry() {
  static Registry* r = new Registry();  // registrars may run before anything else
  return *r;
}

bool add(TLRuntimeClass runtimeClass, bool library) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.taken) return false;
  (library ? r.libraryClasses : r.appClasses).push_back(std::move(runtimeClass));
  return true;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

bool TLRuntime::registerClass(TLRuntimeClass runtimeClass) {
  return add(std::move(runtimeClass), false);
}

bool TLRuntime::registerLibraryClass(TLRuntimeClass runtimeClass) {
  return add(std::move(runtimeClass), true);
}

const TLRuntime::Snapshot& TLRuntime::snapshot() {
  static const Snapshot* taken = [] {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.taken = true;
    std::vector<TLRuntimeClass> classes = std::move(r.appClasses);
    for (TLRuntimeClass& c : r.libraryClasses) classes.push_back(std::move(c));
    r.appClasses.clear();
    r.libraryClasses.clear();
    return new Snapshot(std::move(classes));  // never destroyed: answers during exit
  }();
  return *taken;
}

std::vector<const TLRuntimeClass*> TLRuntime::classesOfType(const std::string& className) {
  return snapshot().classesOfType(className);
}

std::vector<const TLRuntimeClass*> TLRuntime::classesImplementingProtocol(
    const std::string& protocol) {
  return snapshot().classesImplementingProtocol(protocol);
}

const TLRuntimeClass* TLRuntime::classNamed(const std::string& className) {
  return snapshot().classNamed(className);
}

bool TLRuntime::underTestHost() { return snapshot().underTestHost(); }

std::vector<const TLRuntimeClass*> TLRuntime::Snapshot::classesOfType(
    const std::string& className) const {
  std::vector<const TLRuntimeClass*> found;
  for (const TLRuntimeClass& c : classes_) {
    if (contains(c.superclasses, className)) found.push_back(&c);
  }
  return found;
}

std::vector<const TLRuntimeClass*> TLRuntime::Snapshot::classesImplementingProtocol(
    const std::string& protocol) const {
  std::vector<const TLRuntimeClass*> found;
  for (const TLRuntimeClass& c : classes_) {
    if (contains(c.protocols, protocol)) found.push_back(&c);
  }
  return found;
}

const TLRuntimeClass* TLRuntime::Snapshot::classNamed(const std::string& className) const {
  for (const TLRuntimeClass& c : classes_) {
    if (c.name == className) return &c;
  }
  return nullptr;
}

std::string TLRuntime::Snapshot::bundleIdentifierForClass(
    const std::string& className, const std::string& mainBundleIdentifier) const {
  if (underTestHost()) {
    const TLRuntimeClass* c = classNamed(className);
    if (c != nullptr && !c->bundleIdentifier.empty()) return c->bundleIdentifier;
  }
  return mainBundleIdentifier;
}

std::string runtimeBundleIdentifierForClass(const std::string& className) {
  return TLRuntime::snapshot().bundleIdentifierForClass(
      className, PlatformEnvironment::current().bundleIdentifier);
}

int64_t TLCppUptime::getCppUptime() { return tembrolexinsdk::uptime::getUpTime(); }

}  // namespace tembrolexinplatform
