#include "platform/messages/message_envelope.h"

#include <cstdint>
#include <exception>
#include <utility>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "schema/bounded_read.h"

namespace tembrolexinplatform {

using ::apache::thrift::protocol::TBinaryProtocol;
using ::apache::thrift::transport::TMemoryBuffer;

std::string serializeMessage(const ::apache::thrift::TBase& msg) {
  auto buffer = std::make_shared<TMemoryBuffer>();
  TBinaryProtocol protocol(buffer);
  msg.write(&protocol);
  return buffer->getBufferAsString();
}

bool parseMessage(const std::string& bytes, ::apache::thrift::TBase& msg) noexcept {
  try {
    // The core never writes a negative count; should one come, no element
    // is read and the container is simply empty.
    tembrolexinsdk::readBounded(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                                msg, tembrolexinsdk::NegativeCount::kEmpty);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

MessageEnvelope::MessageEnvelope(int32_t msgType, std::string data)
    : msgType_(msgType), data_(std::move(data)) {}

std::optional<MessageEnvelope> MessageEnvelope::wrapAny(const ::apache::thrift::TBase& msg) {
  std::optional<int32_t> id = messageTypeIdOf(msg);
  if (!id) return std::nullopt;
  return MessageEnvelope(*id, serializeMessage(msg));
}

std::unique_ptr<::apache::thrift::TBase> MessageEnvelope::newMessageOfType(int32_t typeId) const {
  if (typeId != msgType_) return nullptr;
  std::unique_ptr<::apache::thrift::TBase> msg = newMessageForTypeId(typeId);
  if (!msg || !parseMessage(data_, *msg)) return nullptr;
  return msg;
}

}  // namespace tembrolexinplatform
