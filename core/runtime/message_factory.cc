#include "core/runtime/message_factory.h"

#include <cstdint>
#include <limits>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/protocol/TVirtualProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "core/runtime/configuration_parameter.h"

namespace tembrolexinsdk {

using ::apache::thrift::protocol::TBinaryProtocol;
using ::apache::thrift::protocol::TProtocolException;
using ::apache::thrift::protocol::TType;
using ::apache::thrift::protocol::TVirtualProtocol;
using ::apache::thrift::transport::TMemoryBuffer;

namespace {

// Structs that the schema puts into containers; a struct element is charged
// as the largest of them. A new container of structs adds its element here.
constexpr std::size_t kStructElementBytes =
    std::max({sizeof(AssetAction), sizeof(AssetInfo), sizeof(ConfigParam)});
// Colour and three links of a std::set / std::map node.
constexpr std::size_t kTreeNodeBytes = 32;

// What one element of `type` takes in memory once read (an upper bound).
std::uint64_t elementBytes(TType type) {
  using namespace ::apache::thrift::protocol;
  switch (type) {
    case T_BOOL:
    case T_BYTE: return 1;
    case T_I16: return 2;
    case T_I32: return 4;
    case T_I64:
    case T_DOUBLE: return 8;
    case T_STRING: return sizeof(std::string);
    case T_LIST: return sizeof(std::vector<char>);
    case T_SET: return sizeof(std::set<char>);
    case T_MAP: return sizeof(std::map<char, char>);
    case T_STRUCT: return kStructElementBytes;
    default: return 1;  // the binary reader rejects the type anyway
  }
}

// The binary reader with a memory budget: every container charges its
// announced element count times the elements' in-memory size before the
// generated code sizes the container, and reading fails once the total passes
// the budget. A one-byte empty struct can become hundreds of bytes in a list,
// which the byte-count limits alone do not see.
class BudgetedProtocol : public TVirtualProtocol<BudgetedProtocol, TBinaryProtocol> {
 public:
  BudgetedProtocol(std::shared_ptr<TMemoryBuffer> buffer, std::uint64_t budget)
      : TVirtualProtocol<BudgetedProtocol, TBinaryProtocol>(std::move(buffer)), left_(budget) {}

  std::uint32_t readListBegin(TType& elemType, std::uint32_t& size) {
    const std::uint32_t n = TBinaryProtocol::readListBegin(elemType, size);
    charge(size, elementBytes(elemType));
    return n;
  }
  std::uint32_t readSetBegin(TType& elemType, std::uint32_t& size) {
    const std::uint32_t n = TBinaryProtocol::readSetBegin(elemType, size);
    charge(size, elementBytes(elemType) + kTreeNodeBytes);
    return n;
  }
  std::uint32_t readMapBegin(TType& keyType, TType& valType, std::uint32_t& size) {
    const std::uint32_t n = TBinaryProtocol::readMapBegin(keyType, valType, size);
    charge(size, elementBytes(keyType) + elementBytes(valType) + kTreeNodeBytes);
    return n;
  }

 private:
  void charge(std::uint32_t count, std::uint64_t each) {
    // count < 2^31 and each < 2^16, so the product cannot overflow.
    const std::uint64_t cost = static_cast<std::uint64_t>(count) * each;
    if (cost > left_) {
      throw TProtocolException(TProtocolException::SIZE_LIMIT,
                               "payload would need too much memory");
    }
    left_ -= cost;
  }

  std::uint64_t left_;
};

}  // namespace

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
  // Containers may cost kMemoryPerPayloadByte bytes of memory per payload
  // byte (plus a little for tiny payloads); honest messages need well under a
  // third of that, since every element the schema writes is several bytes.
  constexpr std::uint64_t kMemoryPerPayloadByte = 64;
  constexpr std::uint64_t kMemoryFloor = 64 * 1024;
  BudgetedProtocol protocol(buffer, kMemoryFloor + kMemoryPerPayloadByte * data.size());
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
