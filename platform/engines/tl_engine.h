// TLEngine: the base of every engine an app can connect a delegate to, and
// the factory that turns an engine type into the shared engine object.
//
// An engine is a process-wide singleton with a fixed engine name. The decoder
// facade asks the factory for the engine of a type when the app connects a
// delegate, gives the engine the platform Messenger and the delegate, keeps it
// under its name, and hands it processor events through processEventParams:
// the codeword events meant for it (by engine name) and the bus messages of
// other types (TLThriftParams envelopes, which it decodes as it needs).
//
// Writing an engine:
//   class TLTriggerEngine : public TLEngine {
//    public:
//     static std::shared_ptr<TLTriggerEngine> sharedEngine();  // once-only
//     std::string engineName() const override { return "TRIGGER"; }
//     ...delegate, setDelegate, setEngineParameters, processEventParams...
//   };
// and a row for it in the table of built-in engines (engine_table.cc):
//   {TLEngineType::kTrigger, "TRIGGER", [] { return TLTriggerEngine::sharedEngine(); },
//    "TLTriggerEngine"}
// The factory finds engine classes through TLRuntime, where each registers
// at start-up.
//
// Run state: start sets running (and clears paused) only when not running;
// pause sets paused to the current running flag; stop clears paused, then
// running. Engines may override the three.
//
// Thread safety: the run flags are guarded by the engine's own lock (each
// read or write on its own); processEventParams arrives on the bus thread;
// the factory may be used from any thread. Engines call
// their app delegates on the main queue, never synchronously while the
// caller holds a lock the main thread may wait for.
#ifndef TL_PLATFORM_ENGINES_TL_ENGINE_H_
#define TL_PLATFORM_ENGINES_TL_ENGINE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/event_params.h"

namespace tembrolexinplatform {

class Messenger;
class IEngineDecoder;

// The engine an app names when it connects a delegate.
enum class TLEngineType {
  kContent,     // "CONTENT"
  kEvent,       // "EVENT"
  kEvent2,      // "EVENT2"
  kHeartbeat,   // "HEARTBEAT"
  kTrigger,     // "TRIGGER"
  kPlugin,      // "PLUGIN"
  kAnalytics,   // "ANALYTICS"
  kAudioMatch,  // "AUDIOMATCH"
};

// The empty role of every engine delegate; each engine's delegate protocol
// derives from it, and engines test for it with dynamic_pointer_cast.
class TLEngineDelegate {
 public:
  virtual ~TLEngineDelegate() = default;
};

using TLEngineParameters = std::map<std::string, std::string>;

class TLEngine {
 public:
  virtual ~TLEngine() = default;
  TLEngine(const TLEngine&) = delete;
  TLEngine& operator=(const TLEngine&) = delete;

  virtual void start();
  virtual void pause();
  virtual void stop();
  virtual bool isRunning() const;
  virtual bool isPaused() const;

  virtual std::shared_ptr<TLEngineDelegate> delegate() const = 0;
  // Held strongly; null clears it.
  virtual void setDelegate(std::shared_ptr<TLEngineDelegate> delegate) = 0;
  virtual std::string engineName() const = 0;
  // Called by the factory each time it hands the engine out.
  virtual void setEngineParameters(const TLEngineParameters& parameters) = 0;
  // A processor event: a TLCodewordEventParams or a TLThriftParams envelope,
  // with the name of the processor that raised it.
  virtual void processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                                  const std::string& processorName) = 0;
  // The platform Messenger, shared: an engine outlives the decoder that
  // connected it, and keeps the Messenger alive while it holds it. Does
  // nothing here; engines that take or send bus messages keep it.
  virtual void setMessenger(std::shared_ptr<Messenger> messenger);
  // The decoder that connected the engine (held weakly: the decoder keeps
  // the engine). Engines that configure the core keep it; does nothing here.
  virtual void setDecoder(std::weak_ptr<IEngineDecoder> decoder);
  // The decoder that connected the engine has initialised: the core's
  // engines exist from now on. Does nothing here; engines whose messages
  // only a core engine takes send what it may have missed.
  virtual void decoderInitialised() {}

  // One engine class as the factory knows it: the classObject of its
  // TLRuntime class.
  struct EngineClass {
    TLEngineType type;
    std::string engineName;
    std::function<std::shared_ptr<TLEngine>()> sharedEngine;
    // The class's name for TLRuntime; empty: the engine name.
    std::string className{};
  };

  // The shared engine of the first TLRuntime class that adopts the protocol
  // of `type` (protocolOfType) and carries an EngineClass, after Debug
  // "engine:<name>" and setEngineParameters with an empty dictionary; null
  // when no class serves the type. Does not start it.
  static std::shared_ptr<TLEngine> getEngineOfType(TLEngineType type);
  // Registers an app's engine class with TLRuntime (a subclass of "TLEngine"
  // adopting "TLEngine" and the protocol of its type), found before the
  // built-in ones. Only classes registered before TLRuntime's first query
  // are ever found: register at start-up. False (and a Warning) when too
  // late.
  static bool registerEngineClass(EngineClass engineClass);
  // The protocol an app names when it connects a delegate to an engine of
  // `type`: "TLContentEngine", "TLEventEngine", ... ("TLEngineType<n>" for a
  // value outside the enumeration).
  static std::string protocolOfType(TLEngineType type);
  // The built-in engines (engine_table.cc), registered with TLRuntime before
  // main.
  static std::vector<EngineClass> builtInEngineClasses();

 protected:
  TLEngine() = default;
  void setRunning(bool running);
  void setPaused(bool paused);

 private:
  mutable tembrolexin::RecursiveMutex flagsMutex_;
  bool running_ = false;
  bool paused_ = false;
};

// What the decoder facade tells the ANALYTICS engine besides processor
// events; the engine under "ANALYTICS" gets these only when it takes this
// role.
class TLAnalyticsEngineRole {
 public:
  virtual ~TLAnalyticsEngineRole() = default;
  virtual void audioProcessorWithNameRaisedStatus(
      const std::string& processorName, std::shared_ptr<const TLGenericStatusParams> status) = 0;
  virtual void audioDecoderAudioSignal(const TLAudioSignal& signal) = 0;
  virtual void handleAudioSupport(int32_t sampleRate) = 0;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TL_ENGINE_H_
