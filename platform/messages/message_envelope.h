// MessageEnvelope: one platform message as its type id and its bytes in
// Thrift's binary encoding (exactly what the message's write produced: no
// header, no length prefix, no type id inside the bytes) -- the form in which
// messages cross to the core's bus and back.
//
// Usage:
//   MessageEnvelope out = MessageEnvelope::wrap(signal);      // typed
//   std::unique_ptr<CodewordSignal> cw = in.newMessageOfType<CodewordSignal>();
//   if (!cw) return;  // another type, or bytes that do not parse
//
// Immutable after construction; any number of threads may read one envelope
// at the same time. Reading never throws: a receiver asks for the type it
// expects and gets null for anything else.
#ifndef TL_PLATFORM_MESSAGES_MESSAGE_ENVELOPE_H_
#define TL_PLATFORM_MESSAGES_MESSAGE_ENVELOPE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <thrift/TBase.h>

#include "platform/messages/message_types.h"

namespace tembrolexinplatform {

// The bytes that msg.write produces with the binary protocol. Throws Thrift's
// TProtocolException for a string or container too long for a 32-bit length,
// std::bad_alloc when memory runs out.
std::string serializeMessage(const ::apache::thrift::TBase& msg);

// Fills `msg` (expected fresh) from `bytes`; false, with `msg` partly filled,
// when the bytes end inside a value or hold a negative string length or an
// oversized length. A container announced with a negative count reads as an
// empty container, its field set. Lengths are bounded by the size of `bytes` and the containers' elements by
// a memory budget (schema/bounded_read.h), so corrupt input cannot make the
// reader allocate more than a small multiple of it. Bytes after the stop byte
// are ignored. Never throws.
bool parseMessage(const std::string& bytes, ::apache::thrift::TBase& msg) noexcept;

class MessageEnvelope {
 public:
  // Keeps both as given; the bytes are not checked.
  MessageEnvelope(int32_t msgType, std::string data);

  // The envelope of a message with a type id.
  template <typename T>
    requires HasMessageTypeId<T>
  static MessageEnvelope wrap(const T& msg) {
    return MessageEnvelope(kMessageTypeId<T>, serializeMessage(msg));
  }

  // The envelope of any message object of this layer; nullopt for an object
  // without a type id (a ConfigParam, a core struct).
  static std::optional<MessageEnvelope> wrapAny(const ::apache::thrift::TBase& msg);

  int32_t msgType() const { return msgType_; }
  const std::string& data() const { return data_; }

  // A new message read from the bytes when the envelope's type is T's; null
  // for another type, without looking at the bytes, and null when the bytes
  // do not parse. Each call yields a new object.
  template <typename T>
    requires HasMessageTypeId<T>
  std::unique_ptr<T> newMessageOfType() const {
    if (msgType_ != kMessageTypeId<T>) return nullptr;
    auto msg = std::make_unique<T>();
    if (!parseMessage(data_, *msg)) return nullptr;
    return msg;
  }

  // The same by id: a new message of the struct that `typeId` names, or null
  // (another type, an id that names no struct, bytes that do not parse).
  std::unique_ptr<::apache::thrift::TBase> newMessageOfType(int32_t typeId) const;

 private:
  int32_t msgType_;
  std::string data_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_MESSAGES_MESSAGE_ENVELOPE_H_
