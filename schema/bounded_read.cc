#include "schema/bounded_read.h"

#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/protocol/TVirtualProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "schema/tembrolexin_types.h"

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
  BudgetedProtocol(std::shared_ptr<TMemoryBuffer> buffer, std::uint64_t budget,
                   NegativeCount negativeCount)
      : TVirtualProtocol<BudgetedProtocol, TBinaryProtocol>(std::move(buffer)),
        left_(budget),
        negativeCount_(negativeCount) {}

  // The container headers are read here rather than by the base class, which
  // throws for every negative count.
  std::uint32_t readListBegin(TType& elemType, std::uint32_t& size) {
    std::uint32_t n = readType(elemType);
    n += readCount(size);
    ::apache::thrift::protocol::TList list(elemType, size);
    checkReadBytesAvailable(list);
    charge(size, elementBytes(elemType));
    return n;
  }
  std::uint32_t readSetBegin(TType& elemType, std::uint32_t& size) {
    std::uint32_t n = readType(elemType);
    n += readCount(size);
    ::apache::thrift::protocol::TSet set(elemType, size);
    checkReadBytesAvailable(set);
    charge(size, elementBytes(elemType) + kTreeNodeBytes);
    return n;
  }
  std::uint32_t readMapBegin(TType& keyType, TType& valType, std::uint32_t& size) {
    std::uint32_t n = readType(keyType);
    n += readType(valType);
    n += readCount(size);
    ::apache::thrift::protocol::TMap map(keyType, valType, size);
    checkReadBytesAvailable(map);
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

  std::uint32_t readType(TType& type) {
    std::int8_t code = 0;
    const std::uint32_t n = readByte(code);
    type = static_cast<TType>(code);
    return n;
  }

  std::uint32_t readCount(std::uint32_t& size) {
    std::int32_t count = 0;
    const std::uint32_t n = readI32(count);
    if (count < 0) {
      if (negativeCount_ == NegativeCount::kReject) {
        throw TProtocolException(TProtocolException::NEGATIVE_SIZE);
      }
      count = 0;
    } else if (container_limit_ != 0 && count > container_limit_) {
      throw TProtocolException(TProtocolException::SIZE_LIMIT);
    }
    size = static_cast<std::uint32_t>(count);
    return n;
  }

  std::uint64_t left_;
  NegativeCount negativeCount_;
};

}  // namespace

void readBounded(const std::uint8_t* bytes, std::size_t size, ::apache::thrift::TBase& msg,
                 NegativeCount negativeCount) {
  if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw TProtocolException(TProtocolException::SIZE_LIMIT, "payload too large");
  }
  // Observe the bytes in place; the observe policy never writes to them, so
  // casting the constness away is safe.
  auto buffer = std::make_shared<TMemoryBuffer>(const_cast<std::uint8_t*>(bytes),
                                                static_cast<std::uint32_t>(size),
                                                TMemoryBuffer::OBSERVE);
  BudgetedProtocol protocol(buffer, kReadMemoryFloor + kReadMemoryPerByte * size, negativeCount);
  // Every string byte and every container element occupies at least one byte
  // of the input, so no honest length exceeds the input's length. Without
  // these bounds a few corrupt bytes announcing 2^31 elements would make the
  // reader allocate gigabytes before noticing that the data ends. (A limit of
  // 0 means "unlimited" to Thrift, hence at least 1.)
  const std::int32_t limit = size == 0 ? 1 : static_cast<std::int32_t>(size);
  protocol.setStringSizeLimit(limit);
  protocol.setContainerSizeLimit(limit);
  msg.read(&protocol);
}

}  // namespace tembrolexinsdk
