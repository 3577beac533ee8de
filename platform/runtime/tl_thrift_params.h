// TLThriftParams: the platform's envelope of one bus message (its type id and
// its bytes), as a processor event; and IThriftMessageReceiver, the role of
// everything that takes bus messages by type.
//
// Immutable after construction; any number of threads may read one envelope.
#ifndef TL_PLATFORM_RUNTIME_TL_THRIFT_PARAMS_H_
#define TL_PLATFORM_RUNTIME_TL_THRIFT_PARAMS_H_

#include <cstdint>
#include <memory>
#include <string>

#include <thrift/TBase.h>

#include "platform/messages/message_envelope.h"
#include "platform/runtime/event_params.h"

namespace tembrolexinplatform {

class TLThriftParams : public TLProcessorEventParams {
 public:
  // Keeps both; the bytes are not checked.
  TLThriftParams(int32_t msgType, std::string data) : envelope_(msgType, std::move(data)) {}
  explicit TLThriftParams(MessageEnvelope envelope) : envelope_(std::move(envelope)) {}

  // The envelope of a message object of the type table; for anything else
  // logs Error "No TLThriftParams implemented for class <name>" and returns
  // null.
  static std::unique_ptr<TLThriftParams> initWithMessage(const ::apache::thrift::TBase& msg);

  // A new message read from the bytes, or null for another type or bytes
  // that do not parse (MessageEnvelope::newMessageOfType).
  template <typename T>
    requires HasMessageTypeId<T>
  std::unique_ptr<T> newMessageOfType() const {
    return envelope_.newMessageOfType<T>();
  }

  int32_t msgType() const { return envelope_.msgType(); }
  const std::string& data() const { return envelope_.data(); }
  const MessageEnvelope& envelope() const { return envelope_; }

 private:
  MessageEnvelope envelope_;
};

// Takes bus messages of the types it registered for. Called on the bus's
// delivery thread, one message at a time.
class IThriftMessageReceiver {
 public:
  virtual ~IThriftMessageReceiver() = default;
  virtual void onReceive(const TLThriftParams& message, const std::string& sender) = 0;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_TL_THRIFT_PARAMS_H_
