// ThriftParams: the payload of every bus message. A message type id and the
// bytes of one schema struct in Thrift's binary encoding (exactly what the
// struct's write produced: no envelope, no length prefix, no type id).
//
// Immutable after construction, so any number of threads may read one payload
// at the same time while its owner keeps it alive. It is owned by a
// std::unique_ptr from creation (ThriftParamsFactory) to delivery (the bus);
// listeners receive a const reference valid only for their call.
//
// A ThriftParams is also an IProcessorEventParams, so a processor can report
// an already serialised message as an event.
#ifndef TL_CORE_RUNTIME_THRIFT_PARAMS_H_
#define TL_CORE_RUNTIME_THRIFT_PARAMS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {

class ThriftParams : public IProcessorEventParams {
 public:
  // Copies `size` bytes from `data` (none when `size` is 0; `data` may then be
  // null). The bytes are not validated. Throws std::invalid_argument when
  // `data` is null but `size` is not 0.
  ThriftParams(int msgType, std::size_t size, const void* data);
  ThriftParams(const ThriftParams& other) = default;
  ThriftParams& operator=(const ThriftParams&) = delete;
  ~ThriftParams() override = default;

  // A new payload with the same type id and a copy of the bytes.
  IProcessorEventParams* clone() const override;
  // "Msg type: " followed by the type id in decimal.
  std::string GetParamsDescription() const override;

  int getMsgType() const { return msgType_; }
  const std::vector<signed char>& getData() const { return data_; }

 private:
  const int msgType_;
  const std::vector<signed char> data_;
  const std::string description_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_THRIFT_PARAMS_H_
