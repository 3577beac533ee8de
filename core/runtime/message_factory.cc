#include "core/runtime/message_factory.h"

#include <cstdint>
#include <limits>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/transport/TBufferTransports.h>

#include "core/runtime/configuration_parameter.h"

namespace tembrolexinsdk {

using ::apache::thrift::protocol::TBinaryProtocol;
using ::apache::thrift::protocol::TProtocolException;
using ::apache::thrift::transport::TMemoryBuffer;

std::unique_ptr<ThriftParams> ThriftParamsFactory::serialise(int typeId,
                                                             const ::apache::thrift::TBase& msg) {
  // A growable buffer (1024 bytes to begin with) and the protocol's default
  // settings: nesting limit 64, no message header.
  auto buffer = std::make_shared<TMemoryBuffer>();
  TBinaryProtocol protocol(buffer);
  msg.write(&protocol);
  std::uint8_t* bytes = nullptr;
  std::uint32_t size = 0;
  buffer->getBuffer(&bytes, &size);
  return std::make_unique<ThriftParams>(typeId, size, bytes);
}

void ThriftParamsFactory::deserialise(const ThriftParams& params, ::apache::thrift::TBase& msg) {
  const auto& data = params.getData();
  if (data.size() > std::numeric_limits<std::int32_t>::max()) {
    throw TProtocolException(TProtocolException::SIZE_LIMIT, "payload too large");
  }
  // Observe the payload's bytes in place; the observe policy never writes to
  // them, so casting the constness away is safe.
  auto* bytes = reinterpret_cast<std::uint8_t*>(const_cast<signed char*>(data.data()));
  auto buffer = std::make_shared<TMemoryBuffer>(bytes, static_cast<std::uint32_t>(data.size()),
                                                TMemoryBuffer::OBSERVE);
  TBinaryProtocol protocol(buffer);
  // Every string byte and every container element occupies at least one byte
  // of the payload, so no honest length exceeds the payload's length. Without
  // these bounds a few corrupt bytes announcing 2^31 elements would make the
  // reader allocate gigabytes before noticing that the data ends. (A limit of
  // 0 means "unlimited" to Thrift, hence at least 1.)
  const std::int32_t limit = data.empty() ? 1 : static_cast<std::int32_t>(data.size());
  protocol.setStringSizeLimit(limit);
  protocol.setContainerSizeLimit(limit);
  msg.read(&protocol);
}

std::unique_ptr<ConfigurationMap> ThriftConversions::convert(const ConfigurationMapSignal& signal) {
  ConfigurationMap working;
  for (const auto& [key, param] : signal.config) {
    switch (param.type) {
      case ConfigParamType::ConfigParam_Bool: {
        ConfigurationParameter<bool> value(param.boolValue);
        working.set(key, &value);
        break;
      }
      case ConfigParamType::ConfigParam_Int: {
        ConfigurationParameter<int> value(param.intValue);
        working.set(key, &value);
        break;
      }
      case ConfigParamType::ConfigParam_Double: {
        ConfigurationParameter<double> value(param.doubleValue);
        working.set(key, &value);
        break;
      }
      case ConfigParamType::ConfigParam_LongLong: {
        ConfigurationParameter<long long> value(param.longlongValue);
        working.set(key, &value);
        break;
      }
      case ConfigParamType::ConfigParam_String: {
        ConfigurationParameter<std::string> value(param.stringValue);
        working.set(key, &value);
        break;
      }
      default:
        // Unknown kinds (negative ones included) are left out.
        break;
    }
  }
  return std::make_unique<ConfigurationMap>(working);
}

}  // namespace tembrolexinsdk
