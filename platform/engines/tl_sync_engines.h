// TLEventEngine2 ("EVENT2") and TLHeartbeatEngine ("HEARTBEAT"): the
// platform halves of the core's two sync engines. The app registers event
// sequences here; each registration leaves as one EventData message (bus
// type 1) tagged with the engine's type (2 EVENT2, 4 HEARTBEAT) and sent
// under the engine's name. The core follows the stream and answers with
// SyncEngineSignal messages (type 28), which come back through
// processEventParams and reach the app's delegate as value objects
// (sync_engine_values.h) on the main queue. Priority lists go to the core as
// configuration keys through the decoder that connected the engine.
// Registrations and priorities given before a decoder connected wait for it
// and go out, in the order given, when it connects (EngineContext).
//
//   auto engine = TLEventEngine2::sharedEngine();
//   decoder->connectEngineDelegate(myDelegate, TLEngineType::kEvent2);
//   engine->registerEventSequenceWithID(4242, eventsJson, 10.0);
//
// Run state: each engine starts when made. stop (and pause, which is the
// same) makes it drop desync, timed-event and tick signals until the next
// sync signal, which starts it again. isPaused is the negation of isRunning.
// Each engine acts only on signals tagged with its own engine type.
//
// The core makes its engines when the decoder initialises. Each engine keeps
// the sequences it has registered (a removal drops one) and, when the
// decoder that connected it reports its initialisation, sends them again:
// a registration made before then, whose message found no core engine,
// still arrives, and the core keeps a stream's first sequence, so those it
// already holds stay as they are.
//
// Registration answers false, with an error, when nothing can be sent: a
// sync time-out that is not a number, a bundle file that cannot be read or
// is not ASCII text (an empty text would make the core delete the
// registration), a text the core's sequence reader refuses (code 14,
// "Failed to parse JSON event sequence", the reader's reason as the
// underlying error, and a Warning), or too many registrations already
// waiting for a decoder. Otherwise it answers true, connected or not; an
// empty text (or a negative time-out) removes the stream's sequence. An
// event with a negative time (it never fires) and a text that is not UTF-8
// are logged at Warning.
//
// Thread safety: every operation may be called from any thread. Signals
// arrive on the bus thread; each delegate call runs on the main queue while
// the delivering thread waits for it.
#ifndef TL_PLATFORM_ENGINES_TL_SYNC_ENGINES_H_
#define TL_PLATFORM_ENGINES_TL_SYNC_ENGINES_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/engines/engine_context.h"
#include "platform/engines/sync_engine_values.h"
#include "platform/engines/tl_engine.h"
#include "platform/runtime/event_params.h"

namespace tembrolexinplatform {

class TLEventEngine2Delegate : public TLEngineDelegate {
 public:
  virtual void onEventEngineEvent(const TLEventEngine2Event& event) = 0;
};

class TLHeartbeatEngineDelegate : public TLEngineDelegate {
 public:
  virtual void onHeartbeatEngineEvent(const TLHeartbeatEngineEvent& event) = 0;
};

// What the two engines share.
class TLSyncEngine : public TLEngine {
 public:
  // Registers `events` for the stream; `syncSecs` is truncated toward zero
  // (held at the 64-bit range). `error`, when given, is cleared on success.
  bool registerEventSequenceWithID(int64_t mediaStreamId, const std::string& events,
                                   double syncSecs, std::optional<TLError>* error = nullptr);
  // The same with the text of `fileName` in the app's resource folder.
  bool registerEventSequenceWithIDFromBundleFile(int64_t mediaStreamId, const std::string& fileName,
                                                 double syncSecs,
                                                 std::optional<TLError>* error = nullptr);

  void pause() override { stop(); }
  bool isPaused() const override { return !isRunning(); }

  std::shared_ptr<TLEngineDelegate> delegate() const override;
  void setDelegate(std::shared_ptr<TLEngineDelegate> delegate) override;
  std::string engineName() const override { return name_; }
  void setEngineParameters(const TLEngineParameters&) override {}
  // Takes TLThriftParams envelopes of SyncEngineSignal of this engine's type.
  void processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                          const std::string& processorName) override;
  // Held for sending (what waits for it goes out); no registrations.
  void setMessenger(std::shared_ptr<Messenger> messenger) override {
    context_.setMessenger(std::move(messenger));
  }

  // The decoder whose configure() carries the priorities (what waits for
  // it goes out).
  void setDecoder(std::weak_ptr<IEngineDecoder> decoder) override {
    context_.setDecoder(std::move(decoder));
  }
  // Sends the kept registrations again (the core's engines exist now).
  void decoderInitialised() override;
  // Test seam: the dispatcher (main queue, clock).
  void setDispatcher(Dispatcher* dispatcher) { context_.setDispatcher(dispatcher); }

 protected:
  TLSyncEngine(const char* name, int32_t engineType) : name_(name), engineType_(engineType) {}

  bool sendEventData(int64_t mediaStreamId, const std::string& amId, const std::string& events,
                     double syncSecs, std::optional<TLError>* error);
  // The ASCII text of a resource file, or nothing (and `error` set).
  static std::optional<std::string> readBundleFile(const std::string& fileName,
                                                   std::optional<TLError>* error);

  virtual bool takesEvents(const TLEngineDelegate& delegate) const = 0;
  // Builds the value object and calls the delegate on the main queue;
  // `elapsed` is milliseconds since the core made the signal.
  virtual void deliver(const SyncEngineSignal& signal, const std::shared_ptr<TLEngineDelegate>& d,
                       int64_t elapsed) = 0;

  EngineContext context_;

 private:
  // One registered stream's sequence as sent.
  struct Registration {
    int64_t mediaStreamId;
    std::string amId;  // a stream known by its audio-match id when not empty
    std::string events;
    int64_t timeoutSecs;
    bool sameStream(const Registration& other) const {
      return amId.empty() ? other.amId.empty() && mediaStreamId == other.mediaStreamId
                          : amId == other.amId;
    }
  };
  // Whether the core's sequence reader takes `events` (error set and
  // logged when not); logs what it takes but will never fire.
  bool acceptedByCore(const std::string& stream, const std::string& events,
                      std::optional<TLError>* error) const;
  // One EventData through the context; false when it cannot wait.
  bool send(const Registration& registration);

  const std::string name_;
  const int32_t engineType_;
  mutable tembrolexin::Mutex mutex_;
  std::shared_ptr<TLEngineDelegate> delegate_;
  // Held while a registration is recorded and sent, so that sending again
  // keeps the order the app gave. Sending under it cannot deadlock: the
  // context only queues the message on the bus (or keeps it), and a queued
  // decoder call it runs on the way only sends or sets values; nothing
  // that holds the context's, the bus's or the decoder's locks comes back
  // here (decoderInitialised is called by the decoder with no lock held).
  // What is logged meanwhile reaches the log once it is released.
  tembrolexin::Mutex registrationsMutex_;
  std::vector<Registration> registrations_;  // in the order registered
};

class TLEventEngine2 final : public TLSyncEngine {
 public:
  static constexpr const char* kEngineName = "EVENT2";
  static constexpr int32_t kEngineType = 2;

  // The one engine of the process, made (and started) on first use; never
  // destroyed.
  static std::shared_ptr<TLEventEngine2> sharedEngine();

  // Registration for a stream known by its audio-match id (stream id -1).
  bool registerEventSequenceWithAudioMatchID(const std::string& amId, const std::string& events,
                                             double syncSecs,
                                             std::optional<TLError>* error = nullptr);
  bool registerEventSequenceWithAudioMatchIDFromBundleFile(const std::string& amId,
                                                           const std::string& fileName,
                                                           double syncSecs,
                                                           std::optional<TLError>* error = nullptr);
  // Configures both track-priority keys with the rows' JSON; null does
  // nothing.
  void setPrioritySettings(const TLEventEngine2Priority* priorities);

 private:
  TLEventEngine2() : TLSyncEngine(kEngineName, kEngineType) {}
  bool takesEvents(const TLEngineDelegate& delegate) const override;
  void deliver(const SyncEngineSignal& signal, const std::shared_ptr<TLEngineDelegate>& d,
               int64_t elapsed) override;
};

class TLHeartbeatEngine final : public TLSyncEngine {
 public:
  static constexpr const char* kEngineName = "HEARTBEAT";
  static constexpr int32_t kEngineType = 4;

  static std::shared_ptr<TLHeartbeatEngine> sharedEngine();

  // Configures the candidate-station key with the rows' JSON; null does
  // nothing.
  void setPrioritySettings(const TLHeartbeatPriority* priorities);

 private:
  TLHeartbeatEngine() : TLSyncEngine(kEngineName, kEngineType) {}
  bool takesEvents(const TLEngineDelegate& delegate) const override;
  void deliver(const SyncEngineSignal& signal, const std::shared_ptr<TLEngineDelegate>& d,
               int64_t elapsed) override;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TL_SYNC_ENGINES_H_
