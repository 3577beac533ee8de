// Messenger: the platform layer's view of the core's message bus. It sends
// platform messages onto the bus and fans the messages that the bus hands
// back out to platform receivers registered by message type.
//
// Every message the bus delivers reaches the platform after the core's own
// listeners, on the bus thread, one message at a time -- including the
// messages the platform itself sent. Receivers of a type are called in
// registration order; a receiver registered twice is called twice.
//
// Ownership: the bus is not owned (by default the process-wide one). Receivers
// are not owned; a receiver must stay alive until its last unregister call
// has returned.
//
// Thread safety: every operation may be called from any thread, including
// from inside a receiver. Delivery works on a snapshot of the receiver list
// and holds no lock while a receiver runs, so registering never waits for a
// delivery. unregisterReceiver() waits for calls of that receiver that run on
// other threads, so once it returns the receiver is not called again and may
// be destroyed; it does not wait for a call on its own thread. A receiver may
// even destroy the Messenger from inside its call (by dropping the last
// reference): the delivery then ends after that call. Never call it
// while holding a lock that the receiver's onReceive takes, and never from a
// thread that the running receiver waits for (the main queue, when the
// receiver runs blocks there synchronously).
#ifndef TL_PLATFORM_RUNTIME_MESSENGER_H_
#define TL_PLATFORM_RUNTIME_MESSENGER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_messenger.h"
#include "platform/runtime/tl_thrift_params.h"

namespace tembrolexinplatform {

class Messenger {
 public:
  // Over the process-wide bus.
  Messenger();
  // Over `bus` (a private bus in tests); installs this object's delivery as
  // the bus's platform callback, replacing any earlier one.
  explicit Messenger(tembrolexinsdk::IMessenger* bus);
  // Stops taking deliveries (waiting for one in progress on another thread;
  // a delivery on this thread ends after the receiver running now). Does not
  // stop the bus.
  ~Messenger();
  Messenger(const Messenger&) = delete;
  Messenger& operator=(const Messenger&) = delete;

  // Appends `receiver` to the list of `type`. Null is ignored.
  void registerReceiver(IThriftMessageReceiver* receiver, int32_t type);
  // Removes every entry of `receiver` from the list of `type`, then waits for
  // its calls for that type on other threads. Unknown pairs change nothing.
  // The same as removeReceiver followed by waitForCalls.
  void unregisterReceiver(IThriftMessageReceiver* receiver, int32_t type);
  // The two steps of unregisterReceiver, for a caller that must not hold its
  // own lock while it waits: removing never waits (a call of `receiver`
  // already under way on another thread runs to its end, so the receiver
  // must stay alive until waitForCalls has returned); waiting waits for the
  // calls of `receiver` for `type` on other threads, as unregisterReceiver
  // does, and never for one on the calling thread.
  void removeReceiver(IThriftMessageReceiver* receiver, int32_t type);
  void waitForCalls(IThriftMessageReceiver* receiver, int32_t type);

  // Copies the envelope into a core message and queues it on the bus with
  // the sender name. Returns at once.
  void send(const TLThriftParams& message, const std::string& sender);
  // Wraps and sends a message object; false (and logged) for an object
  // without a type id.
  bool sendMessage(const ::apache::thrift::TBase& message, const std::string& sender);

  // Delivery of one message to the receivers of its type (the bus thread
  // calls it; tests may call it directly).
  void receiveThriftMessage(const TLThriftParams& message, const std::string& sender);

  // Stops the bus: messages already queued are delivered, nothing after.
  void stop();
  // Delivers nothing more to any receiver, as the destructor does, without
  // waiting: a receiver call under way ends, and no other one begins.
  // Final; registering still works, but nothing is delivered.
  void close();
  tembrolexinsdk::IMessenger* getCppMessenger() const { return bus_; }

  // Whether the calling thread is delivering a message to a receiver of
  // any Messenger (the bus thread, inside a receiver's call).
  static bool callerDelivering();

  // How many entries the list of `type` holds.
  std::size_t receiverCount(int32_t type) const;

 private:
  struct Call {
    IThriftMessageReceiver* receiver;
    int32_t type;
    std::thread::id thread;
  };
  // Everything a delivery touches, shared with the deliveries in progress
  // so that it outlives a Messenger destroyed from inside one of them.
  struct State {
    tembrolexin::Mutex mutex;
    tembrolexin::CondVar callEnded;
    std::map<int32_t, std::vector<IThriftMessageReceiver*>> receivers;
    std::vector<Call> calls;
    bool closed = false;
    bool isRegisteredLocked(IThriftMessageReceiver* receiver, int32_t type) const;
  };

  tembrolexinsdk::IMessenger* const bus_;
  const std::shared_ptr<State> state_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_MESSENGER_H_
