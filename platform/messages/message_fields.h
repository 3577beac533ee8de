// The field table of every platform message class, as the build generates it
// from the message IDL (cmake/GenerateMessageFields.cmake writes
// "platform/messages/platform_messages_fields.h", which message_frame.h
// includes): for each class, its name and, in field-id order, every field's
// id, schema name and wire kind, with its storage and is-set flag.
//
//   MessageFields<GPSInfoSignal>::forEachField(msg,
//       [](auto field, auto& value, bool isSet, auto setFlag) { ... });
//
// `field` is a Field<Kind> (decltype(field)::Kind is one of the kinds below),
// `value` the stored member (const when `msg` is), `isSet` its flag, and
// `setFlag(msg, on)` sets or clears the flag (for a mutable `msg` only).
// Enumerations are i32 in this layer, so their kind is I32.
//
// Each specialisation also holds the class's all-fields initialiser, named
// after its first field, with one argument per field in id order; it stores
// every argument and marks every field set (an empty string or container
// too). `initWithAllFields` points to it in every class.
//
//   GPSInfoSignal gps = MessageFields<GPSInfoSignal>::initWithLongitude(8.54, 47.37);
//
// Compile-time only; nothing here holds state.
#ifndef TL_PLATFORM_MESSAGES_MESSAGE_FIELDS_H_
#define TL_PLATFORM_MESSAGES_MESSAGE_FIELDS_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tembrolexinplatform {

// The wire kinds of a field; containers and structs name their parts.
namespace kind {
struct Bool {};
struct I16 {};
struct I32 {};
struct I64 {};
struct Double {};
struct String {};
struct Binary {};  // raw bytes, held in a std::string like a string
template <typename Element>
struct List {};
template <typename Element>
struct Set {};
template <typename Key, typename Value>
struct Map {};
template <typename Message>
struct Struct {};
}  // namespace kind

// The C++ type that holds a value of a kind (what the Thrift compiler makes
// of it).
template <typename Kind>
struct StorageOf;
template <>
struct StorageOf<kind::Bool> {
  using type = bool;
};
template <>
struct StorageOf<kind::I16> {
  using type = int16_t;
};
template <>
struct StorageOf<kind::I32> {
  using type = int32_t;
};
template <>
struct StorageOf<kind::I64> {
  using type = int64_t;
};
template <>
struct StorageOf<kind::Double> {
  using type = double;
};
template <>
struct StorageOf<kind::String> {
  using type = std::string;
};
template <>
struct StorageOf<kind::Binary> {
  using type = std::string;
};
template <typename E>
struct StorageOf<kind::List<E>> {
  using type = std::vector<typename StorageOf<E>::type>;
};
template <typename E>
struct StorageOf<kind::Set<E>> {
  using type = std::set<typename StorageOf<E>::type>;
};
template <typename K, typename V>
struct StorageOf<kind::Map<K, V>> {
  using type = std::map<typename StorageOf<K>::type, typename StorageOf<V>::type>;
};
template <typename M>
struct StorageOf<kind::Struct<M>> {
  using type = M;
};
template <typename Kind>
using Storage = typename StorageOf<Kind>::type;

// One field of a class: its id and its name exactly as the schema spells it.
template <typename K>
struct Field {
  using Kind = K;
  int16_t id;
  std::string_view name;
};

// Specialised by the generated header for every message class; undefined for
// anything else.
template <typename T>
struct MessageFields;

template <typename T>
concept PlatformMessage = requires {
  MessageFields<T>::kName;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_MESSAGES_MESSAGE_FIELDS_H_
