// Messenger: the core's message bus. Senders on any thread hand a message
// over with send() and return at once; the bus thread delivers the messages
// one at a time, in the order in which they were sent, first to the listeners
// registered for the message's type id (in registration order), then to the
// platform layer's message callback.
//
// getMessenger() / Messenger::getInstance() give the process-wide bus. A
// Messenger may also be constructed on its own (tests use private buses).
// Stopping a bus is final: messages sent afterwards are destroyed at once.
//
// Ownership: the bus owns each message from send() until its delivery ends;
// listeners and the callback see it only for the duration of their call. The
// bus does not own its listeners.
//
// Thread safety: every public operation may be called from any thread,
// including from inside a listener on the bus thread. The listener table and
// the callbacks are guarded by one mutex that is never held while a listener
// or a callback runs.
//
// unregisterListener() blocks: it waits until calls of that listener for
// that type id that are running on other threads have returned, so an object
// may unregister itself (in its destructor, say) and then be destroyed. It
// does not wait for a call on its own thread, so a listener may unregister
// from inside its own onReceive. The rule for callers: never call
// unregisterListener() while holding a lock that the listener's onReceive
// takes; the running call would wait for that lock and unregistering for the
// call, for ever.
#ifndef TL_CORE_RUNTIME_MESSENGER_H_
#define TL_CORE_RUNTIME_MESSENGER_H_

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/active_object.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/state_signal.h"
#include "core/runtime/thrift_params.h"

namespace tembrolexinsdk {

class Messenger : public IMessenger, public INamedObject, private ActiveObject<Messenger> {
 public:
  // One queued message: code 0, the sender name and the owned message.
  class MessageSignal : public StateSignal {
   public:
    MessageSignal(const std::string& senderName, std::unique_ptr<ThriftParams> params)
        : StateSignal(kMessageCode), senderName_(senderName), params_(std::move(params)) {}
    const std::string& senderName() const { return senderName_; }
    const ThriftParams& params() const { return *params_; }

   private:
    const std::string senderName_;
    const std::unique_ptr<ThriftParams> params_;
  };

  static constexpr int kMessageCode = 0;
  static constexpr int kStopCode = 1;

  // The process-wide bus, created by the first call from any thread (other
  // first callers wait for it). At process exit it detaches from the Logger,
  // delivers what was queued and joins its thread; its storage stays valid, so
  // threads that still send at that point have their messages destroyed.
  // Throws std::system_error when the bus thread cannot be started.
  static Messenger* getInstance();
  // Shuts the process-wide bus down now, as at exit, if it was made:
  // delivers what is queued, then joins the bus thread (from the bus thread
  // itself it only stops taking messages). Final and idempotent.
  static void shutdownInstance();

  // A private bus with its own thread. Throws std::system_error when the
  // thread cannot be started.
  Messenger();
  // Detaches from the Logger, queues the stop signal and joins the thread
  // (detaches when called on the bus thread itself, e.g. by exit()).
  // Messages queued before the destructor's stop signal are delivered first;
  // messages behind an earlier stop() are destroyed undelivered.
  ~Messenger() override;

  // Queues the message and returns. A null message is ignored; after the bus
  // has stopped, the message is destroyed at once.
  void send(const std::string& senderName, std::unique_ptr<ThriftParams> params) override;

  // Delivers on the calling thread before returning. Every listener and the
  // callback get the message even when one of them throws; the first
  // exception is then rethrown to the caller. A null message is ignored.
  void sendSync(const std::string& senderName, std::unique_ptr<ThriftParams> params) override;

  // Appends `listener` to the list of `typeId`; an already registered
  // listener moves to the end. Null is ignored. Affects later messages only.
  void registerListener(int typeId, IMessengerListener* listener) override;

  // Removes `listener` from the list of `typeId`, then waits for its calls
  // for that type that run on other threads (never call it holding a lock
  // that the listener's onReceive takes). After it returns, the bus does not
  // call `listener` for `typeId` again.
  void unregisterListener(int typeId, IMessengerListener* listener) override;

  // Stores the platform callbacks and their context (guarded; may be called
  // at any time, and a null callback removes one).
  void setCallbacks(MessageCallback messageCallback, ExitCallback exitCallback,
                    void* context) override;

  // Queues the stop signal behind every message already queued. Once the bus
  // thread takes it, it calls the exit callback and ends for good.
  void stop() override;

  // "Messenger".
  const std::string& GetName() const override;

  // Whether the calling thread is this bus's thread.
  bool isBusThread() const { return onOwnThread(); }
  // Whether the bus thread has taken the stop signal (and so delivers no
  // more queued messages).
  bool isStopped() const { return stopped_.load(); }
  // Whether a stop was asked for (stop(), or the shutdown): from then on the
  // bus is stopped for good, though its thread may still be delivering what
  // was queued before.
  bool isStopping() const { return stopAsked_.load(); }

 private:
  friend class ActiveObject<Messenger>;

  // Which listener runs for which type id on which thread, so that
  // unregisterListener() can wait for it.
  struct Call {
    IMessengerListener* listener;
    int typeId;
    std::thread::id thread;
  };

  // Shuts the process-wide bus down at exit, without freeing it; not in a
  // child made by fork(), where the bus's thread is the parent's.
  class ExitGuard {
   public:
    explicit ExitGuard(Messenger* bus) : bus_(bus) {}
    ~ExitGuard();

   private:
    Messenger* bus_;
  };

  void stateIdle();
  void stateDone();
  void onStateFailure(const std::exception* error) override;
  void onThreadEnd() override;

  // Delivers one message on the calling thread. With `rethrow` the first
  // exception of a listener or the callback is rethrown once all have run;
  // without it each is reported on the standard output.
  void passMessage(const std::string& senderName, const ThriftParams& params, bool rethrow);
  bool isRegisteredLocked(int typeId, IMessengerListener* listener) const;
  // Tells the log watchers among the listeners of LogSignal that this bus
  // delivers no more, so that their await() stops waiting.
  void notifyLogWatchers();
  // Stops and joins (or detaches on the bus thread); idempotent.
  void shutdown();

  const std::string name_ = "Messenger";
  MessageCallback messageCallback_ = nullptr;
  ExitCallback exitCallback_ = nullptr;
  void* context_ = nullptr;
  mutable tembrolexin::Mutex listenerMutex_;
  tembrolexin::CondVar callEnded_;
  std::map<int, std::vector<IMessengerListener*>> listeners_;
  std::vector<Call> calls_;
  std::atomic<bool> stopped_{false};
  std::atomic<bool> stopAsked_{false};
};

// The process-wide bus; the same object as Messenger::getInstance().
Messenger* getMessenger();

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_MESSENGER_H_
