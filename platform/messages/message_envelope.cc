#include "platform/messages/message_envelope.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <utility>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

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
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return false;
    // Observe the bytes in place; the observe policy never writes to them.
    auto* data = reinterpret_cast<std::uint8_t*>(const_cast<char*>(bytes.data()));
    auto buffer = std::make_shared<TMemoryBuffer>(data, static_cast<std::uint32_t>(bytes.size()),
                                                  TMemoryBuffer::OBSERVE);
    TBinaryProtocol protocol(buffer);
    // Every string byte and container element takes at least one byte of
    // input, so no honest length exceeds the input's length (0 would mean
    // "unlimited" to Thrift, hence at least 1).
    const auto limit = static_cast<int32_t>(bytes.empty() ? 1 : bytes.size());
    protocol.setStringSizeLimit(limit);
    protocol.setContainerSizeLimit(limit);
    msg.read(&protocol);
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
