// What every platform message class offers besides its wire form: its hash,
// its text form and keyed archiving, written once over the field tables that
// the build generates from the message IDL (message_fields.h). Equality is
// the classes' own operator==: flags must match, and only the values of set
// fields are compared, so two messages that differ only in the stored values
// of unset fields are equal -- and hash alike.
//
// Hash: h = 17; for each field in id order, h = h*31 ^ (2654435761 when the
// field is set, else 0), then for a set field h = h*31 ^ (the value's hash),
// all in unsigned 64-bit arithmetic with wrap-around. The value hashes:
//   bool                 1 or 0
//   i16, i32, i64, enum  the value, sign-extended to 64 bits
//   double               an integral value that fits an i64 as that integer
//                        (so 2.0 as 2, -0.0 as 0); any NaN as
//                        0x7ff8000000000000; otherwise its IEEE 754 bits
//   string, binary       g = 0, then g = g*31 + byte for every byte
//   list                 g = 1, then g = g*31 + (element hash) in order
//   set                  the sum of the element hashes
//   map                  the sum over entries of (key hash ^ value hash)
//   struct               its own message hash
// Hashes are for use inside the process only.
//
// Text form: "ClassName(field:value,field:value,...)" with every field in id
// order, set or not, showing the stored value. bool and the integers in
// decimal (a bool as 1 or 0), a double with six decimals ("%f": 0.500000,
// nan, inf), a string between double quotes as it is, binary as its bytes in
// hex, four bytes to a group, between angle brackets and double quotes
// ("<e3000102 03>"), a list as "[a,b]", a set as "{a,b}" (ascending), a map
// as "{key:value,...}" (ascending keys), elements in the text of their kind,
// and a nested message in its own text form. An SDKStatusSignal reads
// "SDKStatusSignal(status:0,sampleRate:0)" when new. Numbers ignore the
// locale. The text is for people: nothing parses it.
//
// Keyed archive: a JSON object whose keys are the schema's field names
// ("engineRef", "LAC"), holding only the set fields: bool as true/false,
// the integers as JSON integers, a double as a JSON number (NaN and the
// infinities, which JSON has no number for, as the strings "NaN",
// "Infinity" and "-Infinity"), a string as a JSON string of the same bytes,
// binary as base64 text (RFC 4648, padded), a list or set as an array, a map
// as an object keyed by the map's keys, a nested message as its own archive.
// Unarchiving starts from a new message and sets the flag of every field
// whose key is present; a string, binary, container or nested message whose
// value is null comes out empty but set. Keys that name no field are
// ignored. A value of the wrong JSON type, an integer out of its field's
// range or bad base64 refuse the whole archive, with the path of the value
// at fault ("config[\"k\"].intValue: expected a 32-bit integer").
//
// Every function here is reentrant and touches only its arguments.
#ifndef TL_PLATFORM_MESSAGES_MESSAGE_FRAME_H_
#define TL_PLATFORM_MESSAGES_MESSAGE_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <json/value.h>

#include "platform/messages/message_fields.h"
#include "platform/messages/platform_messages_fields.h"

namespace tembrolexinplatform {

template <PlatformMessage T>
uint64_t messageHash(const T& msg) noexcept;

template <PlatformMessage T>
std::string messageDescription(const T& msg);

template <PlatformMessage T>
Json::Value archiveMessage(const T& msg);

// The message the archive holds; nullopt, with the reason in `*error` when
// given, for an archive that is not a JSON object or holds a value that its
// field cannot take.
template <PlatformMessage T>
std::optional<T> unarchiveMessage(const Json::Value& archive, std::string* error = nullptr);

}  // namespace tembrolexinplatform

// Message objects as keys of unordered containers.
template <typename T>
requires tembrolexinplatform::PlatformMessage<T>
struct std::hash<T> {
  std::size_t operator()(const T& msg) const noexcept {
    return static_cast<std::size_t>(tembrolexinplatform::messageHash(msg));
  }
};

#endif  // TL_PLATFORM_MESSAGES_MESSAGE_FRAME_H_
