// EngineContext: what an engine is connected to besides its delegate -- the
// platform Messenger it takes or sends bus messages through, the dispatcher
// whose main queue runs its delegate calls (and whose clock dates them), and
// the decoder whose configure() carries its configuration keys.
//
// An engine owns one context. The messenger and the decoder come from the
// decoder facade when the app connects a delegate; the dispatcher defaults
// to Dispatcher::shared() (tests give their own).
//
// Registration for bus messages is idempotent: switching to the messenger
// already held changes nothing, switching to another moves every
// registration of the engine from the old messenger to the new one, so a
// reconnected delegate never sees a message twice.
//
// What an engine sends (configuration keys and other decoder calls through
// the decoder, bus messages through the messenger) goes out in the order
// each thread gives it; across threads no order is promised. Once a decoder
// is connected (for a message, once a messenger is held), each call sends
// its own item itself: the decoder has it (or the messenger has queued the
// message) when the call returns, and none is refused. What is given before
// the engine is connected -- no decoder (or it is gone) for a decoder call,
// no messenger for a message -- waits, and goes out when they connect,
// still in that order: an item waits while any item before it waits. At
// most kMaxWaiting items wait for a connection; beyond that an item is
// refused with a Warning.
//
// The one exception to "in effect at return": while a connection
// (setDecoder, setMessenger) sends the items that waited, a call from any
// thread goes behind them without waiting, and the connecting call sends it
// before it returns. An item that throws there (the app's log delegate
// throwing on one of its lines) does not stop the others: the exception
// passes out of the connecting call once every item is sent.
//
// Ownership: the messenger is shared (an engine outlives the decoder that
// connected it). The dispatcher is not owned and must outlive the engine's
// use of it. The decoder is held weakly.
//
// Thread safety: every operation may be called from any thread. A switch
// of messengers never waits for a delivery: the old messenger's call of the
// receiver that is under way on another thread (one that waits for the
// main queue, where the app may be switching) runs to its end, while the
// receiver, which outlives the context, stays valid. Only the destructor
// waits for such a call, holding no lock. No lock is held while an item
// runs in the decoder or on the messenger, and no call waits for an item
// another thread is running: that thread may be inside the app, on a line
// its item logs, waiting for this one. So the app's log delegate may call
// the engine again on such a line: on a call of its own thread, the new
// item runs at once, inside the one under way, as a call of the decoder
// made from that line would; on a line of a connection's sending, it goes
// behind the queue.
#ifndef TL_PLATFORM_ENGINES_ENGINE_CONTEXT_H_
#define TL_PLATFORM_ENGINES_ENGINE_CONTEXT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <thrift/TBase.h>

#include "core/runtime/checked_mutex.h"
#include "platform/engines/engine_decoder.h"
#include "platform/runtime/messenger.h"
#include "platform/runtime/safe_dispatch.h"
#include "platform/runtime/thrift_converter.h"

namespace tembrolexinplatform {

using TLDate = std::chrono::system_clock::time_point;

// A date from Unix milliseconds.
inline TLDate dateFromUnixMillis(int64_t ms) { return TLDate(std::chrono::milliseconds(ms)); }

class EngineContext {
 public:
  static constexpr std::size_t kMaxWaiting = 1024;

  // `receiver` is registered for `types` with each messenger held; it must
  // outlive the context (it is the engine owning it).
  EngineContext(IThriftMessageReceiver* receiver, std::vector<int32_t> types);
  EngineContext() : EngineContext(nullptr, {}) {}
  // Unregisters from the messenger held, waiting for the receiver's call
  // under way on another thread.
  ~EngineContext();
  EngineContext(const EngineContext&) = delete;
  EngineContext& operator=(const EngineContext&) = delete;

  // Holds `messenger` (null holds none), moves the registrations to it and
  // sends the messages waiting for one. Never waits for a delivery, so it
  // may be called from inside a delegate call that a delivery of the old
  // messenger to this engine waits for.
  void setMessenger(std::shared_ptr<Messenger> messenger);
  std::shared_ptr<Messenger> messenger() const;

  void setDispatcher(Dispatcher* dispatcher);
  Dispatcher& dispatcher() const;
  SafeDispatch safeDispatch() const { return SafeDispatch(dispatcher()); }
  // Now, on the dispatcher's clock.
  TLDate now() const;
  int64_t upTimeMillis() const;

  // Holds `decoder` and sends what waits for it. True when `decoder` is
  // another decoder than the one held.
  bool setDecoder(std::weak_ptr<IEngineDecoder> decoder);
  // The decoder set, while it lives.
  std::shared_ptr<IEngineDecoder> decoder() const;

  // Sends `configuration` through the decoder's configure(), or keeps it
  // until a decoder connects. False (and a Warning naming `method`) only
  // when it cannot wait.
  bool configure(const ConfigDictionary& configuration, const char* method);
  // Calls `call` with the decoder, or keeps it until a decoder connects.
  bool withDecoder(std::function<void(IEngineDecoder&)> call, const char* method);
  // Sends `message` through the messenger under `sender`, or keeps it until
  // a messenger is held. False (and logged) for an object without a type id
  // or when it cannot wait.
  bool sendMessage(const ::apache::thrift::TBase& message, const std::string& sender,
                   const char* method);
  // How many items wait for a connection.
  std::size_t waitingCount() const;

 private:
  // A decoder call, or a message with its sender.
  struct Item {
    std::function<void(IEngineDecoder&)> call;
    std::shared_ptr<const TLThriftParams> message;
    std::string sender;
  };
  // Holds `messenger` and moves the registrations to it; the messenger held
  // before, when it changed.
  std::shared_ptr<Messenger> switchTo(std::shared_ptr<Messenger> messenger);
  // Sends `item` now, when connected and nothing waits; else queues it.
  bool enqueue(Item item, const char* method);
  static void send(const Item& item, IEngineDecoder* decoder, Messenger* messenger);
  // Sends waiting items in order until one finds no one to go to, unless
  // another connection is sending them: that one then takes them too.
  // Rethrows the first exception an item threw, once the others are sent.
  void sendWaiting();

  IThriftMessageReceiver* const receiver_;
  const std::vector<int32_t> types_;

  // Serialises messenger switches, so two of them never interleave their
  // remove and register steps; never held by a delivery, nor while waiting
  // for one.
  tembrolexin::Mutex switchMutex_;
  mutable tembrolexin::Mutex mutex_;
  // Whether a connection is sending the waiting items: one at a time, so
  // they leave in order, and every item given meanwhile goes behind them.
  bool flushing_ = false;
  std::shared_ptr<Messenger> messenger_;
  Dispatcher* dispatcher_ = nullptr;
  std::weak_ptr<IEngineDecoder> decoder_;
  std::deque<Item> waiting_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_ENGINE_CONTEXT_H_
