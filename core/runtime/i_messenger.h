// The message bus interfaces. IMessenger is implemented by the core's bus
// (Messenger); IMessengerListener by everything that receives bus messages.
//
// Every operation of IMessenger may be called from any thread. Listeners are
// called on the delivering thread (the bus thread, or the caller's thread for
// sendSync) and see a message only for the duration of onReceive.
#ifndef TL_CORE_RUNTIME_I_MESSENGER_H_
#define TL_CORE_RUNTIME_I_MESSENGER_H_

#include <memory>
#include <string>

#include "core/runtime/thrift_params.h"

namespace tembrolexinsdk {

class IMessengerListener {
 public:
  virtual ~IMessengerListener() = default;
  // One message of a type this listener registered for. Copy what you keep.
  virtual void onReceive(const std::string& senderName, const ThriftParams& params) = 0;
};

class IMessenger {
 public:
  // Called after the listeners for every delivered message; `params` is valid
  // only for the call.
  using MessageCallback = void (*)(const std::string& senderName, const ThriftParams* params,
                                   void* context);
  // Called on the bus thread when it ends.
  using ExitCallback = void (*)(void* context);

  virtual ~IMessenger() = default;
  // Queues the message and returns at once; the bus takes ownership.
  virtual void send(const std::string& senderName, std::unique_ptr<ThriftParams> params) = 0;
  // Delivers the message on the caller's thread before returning.
  virtual void sendSync(const std::string& senderName, std::unique_ptr<ThriftParams> params) = 0;
  // Listeners are not owned and must outlive their registration.
  virtual void registerListener(int typeId, IMessengerListener* listener) = 0;
  // Waits for the listener's calls running on other threads (see
  // messenger.h): never call it holding a lock that onReceive takes.
  virtual void unregisterListener(int typeId, IMessengerListener* listener) = 0;
  virtual void setCallbacks(MessageCallback messageCallback, ExitCallback exitCallback,
                            void* context) = 0;
  virtual void stop() = 0;

  // Hands the message to send() of the process-wide bus (defined with the
  // bus itself).
  static void sendMessage(const std::string& senderName, std::unique_ptr<ThriftParams> params);
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_MESSENGER_H_
