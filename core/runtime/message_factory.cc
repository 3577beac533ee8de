#include "core/runtime/message_factory.h"

#include <cstdint>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "core/runtime/configuration_parameter.h"
#include "schema/bounded_read.h"

namespace tembrolexinsdk {

using ::apache::thrift::protocol::TBinaryProtocol;
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
  readBounded(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), msg);
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
      case ConfigParamType::ConfigParam_OtherKind: {
        // Only the rules that name a value of the wrong kind look at it.
        OtherKindConfigurationParameter value(param.stringValue);
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
