// TLTriggerEngine ("TRIGGER"): hands every decoded codeword routed to it and
// every audio-match event (AMSignal, bus type 11) to the app's delegate as a
// TLTrigger, and codewords also as a plain codeword call. It keeps no state
// of its own besides its delegate and messenger; it is always "running".
//
//   auto engine = decoder->connectEngineDelegate(myDelegate, TLEngineType::kTrigger);
//
// The delegate takes either call or both by deriving from the matching role:
// TLTriggerReceivedDelegate (triggerReceived) and TLCodewordReceivedDelegate
// (codewordReceived). An audio-match event for a delegate without
// triggerReceived is logged at Warning and dropped.
//
// Thread safety: events arrive on the bus thread; each delegate call runs on
// the main queue while the delivering thread waits for it (inline when the
// caller is the main thread). Every operation may be called from any thread.
#ifndef TL_PLATFORM_ENGINES_TL_TRIGGER_ENGINE_H_
#define TL_PLATFORM_ENGINES_TL_TRIGGER_ENGINE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/runtime/checked_mutex.h"
#include "platform/engines/engine_context.h"
#include "platform/engines/tl_engine.h"
#include "platform/runtime/event_params.h"
#include "platform/runtime/tl_thrift_params.h"

namespace tembrolexinplatform {

// One trigger as the app sees it. Immutable.
class TLTrigger {
 public:
  static constexpr int64_t kCodewordType = 0;
  static constexpr int64_t kAudioMatchType = 2;

  TLTrigger(int64_t type, std::string triggerId, std::string name, int64_t offset, TLDate date)
      : type_(type), triggerId_(std::move(triggerId)), name_(std::move(name)), offset_(offset),
        date_(date) {}

  // Type 0, the codeword in decimal, "codeword", the codeword's duration and
  // its system time stamp.
  static TLTrigger fromCodeword(const TLCodewordEventParams& codeword);
  // Type 2, amId, dbEntryName, offset + duration (held at the 64-bit range)
  // and timeStamp; unset fields count as empty or 0.
  static TLTrigger fromAMSignal(const AMSignal& signal);

  int64_t type() const { return type_; }
  const std::string& triggerId() const { return triggerId_; }
  const std::string& name() const { return name_; }
  int64_t offset() const { return offset_; }
  TLDate date() const { return date_; }

 private:
  int64_t type_;
  std::string triggerId_;
  std::string name_;
  int64_t offset_;
  TLDate date_;
};

class TLTriggerEngineDelegate : public TLEngineDelegate {};

class TLTriggerReceivedDelegate : public virtual TLTriggerEngineDelegate {
 public:
  virtual void triggerReceived(const TLTrigger& trigger) = 0;
};

class TLCodewordReceivedDelegate : public virtual TLTriggerEngineDelegate {
 public:
  virtual void codewordReceived(int64_t codeword, TLDate atTime) = 0;
};

class TLTriggerEngine final : public TLEngine, public IThriftMessageReceiver {
 public:
  static constexpr const char* kEngineName = "TRIGGER";

  // The one engine of the process, made on first use; never destroyed.
  static std::shared_ptr<TLTriggerEngine> sharedEngine();

  // No run state: start, pause and stop do nothing; both flags read true.
  void start() override {}
  void pause() override {}
  void stop() override {}
  bool isRunning() const override { return true; }
  bool isPaused() const override { return true; }

  std::shared_ptr<TLEngineDelegate> delegate() const override;
  void setDelegate(std::shared_ptr<TLEngineDelegate> delegate) override;
  std::string engineName() const override { return kEngineName; }
  void setEngineParameters(const TLEngineParameters&) override {}
  // Codeword events go to notifyFullCodeword; anything else is ignored.
  void processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                          const std::string& processorName) override;
  // Registers for AMSignal (11) with the messenger, once per messenger.
  void setMessenger(std::shared_ptr<Messenger> messenger) override;

  // An AMSignal goes to notifyAMEvent; other types are ignored.
  void onReceive(const TLThriftParams& message, const std::string& sender) override;

  // A codeword of 0 or more: triggerReceived, then codewordReceived, each
  // when the delegate takes it. A negative codeword calls nothing.
  void notifyFullCodeword(const TLCodewordEventParams& codeword);
  // triggerReceived with the audio-match trigger, or the Warning.
  void notifyAMEvent(const AMSignal* signal);

  // Test seam: the dispatcher whose main queue runs the delegate calls.
  void setDispatcher(Dispatcher* dispatcher) { context_.setDispatcher(dispatcher); }

 private:
  TLTriggerEngine();

  EngineContext context_;
  mutable tembrolexin::Mutex mutex_;
  std::shared_ptr<TLEngineDelegate> delegate_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TL_TRIGGER_ENGINE_H_
