// The message factory: serialises schema structs into bus payloads and reads
// them back, and converts a received configuration into a ConfigurationMap.
//
// Stateless: every call builds its own transport and protocol, so any thread
// may call these at any time. Thrift's exceptions pass through uncaught.
#ifndef TL_CORE_RUNTIME_MESSAGE_FACTORY_H_
#define TL_CORE_RUNTIME_MESSAGE_FACTORY_H_

#include <memory>
#include <type_traits>

#include "core/runtime/configuration_map.h"
#include "core/runtime/thrift_params.h"
#include "schema/message_types.h"

namespace tembrolexinsdk {

class ThriftParamsFactory {
 public:
  ThriftParamsFactory() = delete;

  // A new payload of T's type id holding exactly the bytes that msg.write
  // produced. Exists for every struct with a type id except NotificationData,
  // which the core never sends (and never for ConfigParam, which has no id).
  // Throws std::bad_alloc when memory runs out.
  template <typename T>
    requires HasMessageTypeId<T> && (!std::is_same_v<T, NotificationData>)
  static std::unique_ptr<ThriftParams> createThriftParams(const T& msg) {
    return serialise(kMessageTypeId<T>, msg);
  }

  // The struct held by `params` when its type id is T's; an empty pointer,
  // without looking at the bytes, for any other id. Malformed bytes throw
  // Thrift's TTransportException (the data ends too soon) or
  // TProtocolException (negative or oversized lengths, nesting beyond 64
  // levels, a missing required field, containers that would need more
  // memory than the budget). String and container lengths are bounded by the
  // payload's own length, and the containers' elements by a memory budget of
  // 64 bytes per payload byte (plus 64 KiB), charged at each element's
  // in-memory size, so a corrupt payload cannot make the reader allocate more
  // than a small multiple of its size (schema/bounded_read.h). Bytes after the
  // struct's stop byte are ignored. `params` only needs to live for the call.
  template <typename T>
    requires HasMessageTypeId<T>
  static std::unique_ptr<T> readThriftParams(const ThriftParams& params) {
    if (params.getMsgType() != kMessageTypeId<T>) return nullptr;
    auto msg = std::make_unique<T>();
    deserialise(params, *msg);
    return msg;
  }

 private:
  static std::unique_ptr<ThriftParams> serialise(int typeId, const ::apache::thrift::TBase& msg);
  static void deserialise(const ThriftParams& params, ::apache::thrift::TBase& msg);
};

class ThriftConversions {
 public:
  ThriftConversions() = delete;

  // A new ConfigurationMap with one value per entry of signal.config whose
  // type is known (bool, int, double, long long, string; an other-kind entry
  // as an OtherKindConfigurationParameter of its stringValue), taken from the
  // matching value field whether or not its is-set flag is raised. Entries of
  // any other type are left out. signal.target is not looked at.
  static std::unique_ptr<ConfigurationMap> convert(const ConfigurationMapSignal& signal);
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_MESSAGE_FACTORY_H_
