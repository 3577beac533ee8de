// Run-time questions the platform layer asks about itself: which classes
// exist (TLRuntime), which bundle a class belongs to
// (runtimeBundleIdentifierForClass) and the core's up-time (TLCppUptime).
//
// TLRuntime: C++ has no class list to walk, so every class that others find
// at run time registers itself at start-up (a static registrar in its source
// file, or the app before it first uses the library) with its name, its
// superclasses, the protocols its own declaration adopts, the bundle it
// ships in and an object for the code that finds it (the engine factory's
// row, for engines). The first query takes a snapshot of what is registered
// and answers from it for the life of the process: a class registered after
// it is never returned. The snapshot lists the app's classes
// (registerClass) before the library's own (registerLibraryClass), each in
// registration order, so the first class the app registers for a protocol
// is found before the library's.
//
//   TLRuntime::registerClass({"MyTrigger", {"TLEngine"}, {"TLTriggerEngine"}, "", row});
//   for (const TLRuntimeClass* c : TLRuntime::classesImplementingProtocol("TLTriggerEngine")) ...
//
// The unit-test host is a process in which a class named "XCTestCase" is
// registered; there runtimeBundleIdentifierForClass answers the bundle of
// the class itself where it names one.
//
// Thread safety: every function may be called from any thread; the snapshot
// is taken once, under a one-time guard, and never changes.
#ifndef TL_PLATFORM_RUNTIME_TL_RUNTIME_H_
#define TL_PLATFORM_RUNTIME_TL_RUNTIME_H_

#include <any>
#include <cstdint>
#include <string>
#include <vector>

namespace tembrolexinplatform {

struct TLRuntimeClass {
  std::string name;
  // Nearest first; the class itself not included.
  std::vector<std::string> superclasses;
  // What the class's own declaration adopts (not its superclasses').
  std::vector<std::string> protocols;
  // The identifier of the bundle the class ships in; empty: the app's main
  // bundle.
  std::string bundleIdentifier;
  // For the code that finds the class; the registrant decides what it holds.
  std::any classObject;
};

class TLRuntime {
 public:
  TLRuntime() = delete;

  // The name of the class whose presence marks the unit-test host.
  static constexpr const char* kTestHostClassName = "XCTestCase";

  // Adds an app's class (or a library's, behind every app class). False,
  // and nothing added, once the snapshot has been taken.
  static bool registerClass(TLRuntimeClass runtimeClass);
  static bool registerLibraryClass(TLRuntimeClass runtimeClass);

  // Every class of the snapshot that has `className` among its
  // superclasses (the class itself not included), in snapshot order.
  static std::vector<const TLRuntimeClass*> classesOfType(const std::string& className);
  // Every class of the snapshot whose own declaration adopts `protocol`, in
  // snapshot order.
  static std::vector<const TLRuntimeClass*> classesImplementingProtocol(const std::string& protocol);
  // The class of the snapshot with that name, or null.
  static const TLRuntimeClass* classNamed(const std::string& className);
  // Whether the snapshot holds a class named kTestHostClassName.
  static bool underTestHost();

  // The same queries over a given class list, in its order (what the
  // process-wide snapshot answers from).
  class Snapshot {
   public:
    explicit Snapshot(std::vector<TLRuntimeClass> classes) : classes_(std::move(classes)) {}
    std::vector<const TLRuntimeClass*> classesOfType(const std::string& className) const;
    std::vector<const TLRuntimeClass*> classesImplementingProtocol(const std::string& protocol) const;
    const TLRuntimeClass* classNamed(const std::string& className) const;
    bool underTestHost() const { return classNamed(kTestHostClassName) != nullptr; }
    // Under the test host the bundle `className` ships in, when it names
    // one; else `mainBundleIdentifier`.
    std::string bundleIdentifierForClass(const std::string& className,
                                         const std::string& mainBundleIdentifier) const;

   private:
    std::vector<TLRuntimeClass> classes_;
  };

  // The process's snapshot, taken on first use.
  static const Snapshot& snapshot();
};

// Under the unit-test host, the identifier of the bundle holding the class
// named `className` (when it names one); else the app's main bundle
// identifier (PlatformEnvironment::bundleIdentifier).
std::string runtimeBundleIdentifierForClass(const std::string& className);

class TLCppUptime {
 public:
  TLCppUptime() = delete;
  // The core's up-time in milliseconds since boot, the base of every steady
  // time stamp of the system.
  static int64_t getCppUptime();
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_TL_RUNTIME_H_
