#include "core/runtime/thrift_params.h"

#include <stdexcept>

namespace tembrolexinsdk {

namespace {

std::vector<signed char> CopyBytes(std::size_t size, const void* data) {
  if (size == 0) return {};
  if (data == nullptr) {
    throw std::invalid_argument("ThriftParams: null data with a non-zero size");
  }
  const signed char* begin = static_cast<const signed char*>(data);
  return std::vector<signed char>(begin, begin + size);
}

}  // namespace

ThriftParams::ThriftParams(int msgType, std::size_t size, const void* data)
    : msgType_(msgType),
      data_(CopyBytes(size, data)),
      description_("Msg type: " + std::to_string(msgType)) {}

IProcessorEventParams* ThriftParams::clone() const { return new ThriftParams(*this); }

std::string ThriftParams::GetParamsDescription() const { return description_; }

}  // namespace tembrolexinsdk
