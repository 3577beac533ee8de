// RecordingMessenger: an IMessenger for tests that records what is sent
// instead of running a bus thread. send() only records; sendSync() records
// and delivers on the caller's thread; deliverPending() delivers what send()
// recorded, in order, on the caller's thread. Listener registration follows
// the bus's rules (re-registering moves a listener to the end). Thread-safe;
// listeners run without its mutex held.
#ifndef TL_TESTS_SUPPORT_RECORDING_MESSENGER_H_
#define TL_TESTS_SUPPORT_RECORDING_MESSENGER_H_

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/i_messenger.h"
#include "core/runtime/thrift_params.h"

namespace tltest {

class RecordingMessenger : public tembrolexinsdk::IMessenger {
 public:
  struct Sent {
    std::string senderName;
    std::shared_ptr<const tembrolexinsdk::ThriftParams> params;
    bool sync = false;
  };

  void send(const std::string& senderName,
            std::unique_ptr<tembrolexinsdk::ThriftParams> params) override;
  void sendSync(const std::string& senderName,
                std::unique_ptr<tembrolexinsdk::ThriftParams> params) override;
  void registerListener(int typeId, tembrolexinsdk::IMessengerListener* listener) override;
  void unregisterListener(int typeId, tembrolexinsdk::IMessengerListener* listener) override;
  void setCallbacks(MessageCallback messageCallback, ExitCallback exitCallback,
                    void* context) override;
  void stop() override;

  // Every message handed over so far, oldest first.
  std::vector<Sent> sent() const;
  std::size_t sentCount() const;
  // The listeners of `typeId` in registration order.
  std::vector<tembrolexinsdk::IMessengerListener*> listeners(int typeId) const;
  int registerCalls() const;
  int stopCalls() const;

  // Delivers the messages recorded by send() that were not delivered yet.
  // Returns how many.
  std::size_t deliverPending();

 private:
  void deliver(const Sent& message);

  mutable std::mutex mutex_;
  std::vector<Sent> sent_;
  std::size_t delivered_ = 0;
  std::map<int, std::vector<tembrolexinsdk::IMessengerListener*>> listeners_;
  int registerCalls_ = 0;
  int stopCalls_ = 0;
};

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_RECORDING_MESSENGER_H_
