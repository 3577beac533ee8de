// The platform layer's message classes and their message type ids.
//
// Every schema struct exists a second time for the platform layer, in the
// namespace tembrolexinplatform, generated from a copy of the core's IDL that
// the build derives mechanically (cmake/DerivePlatformIdl.cmake). The field
// ids and wire types are the core's; what differs:
//   - every field is optional: it is written only when its __isset flag is
//     set (every __set_x sets it), and a reader accepts any field missing.
//     That includes ConfigParam.type, which the core requires; whoever builds
//     a ConfigParam here sets it (see validateConfigParam);
//   - enum-typed fields are plain int32_t holding the enum's value, so values
//     outside the enum's table are read, kept and written unchanged;
//   - equality compares the flags, and the values of set fields only.
// Hash, text form and keyed archive: message_frame.h (Thrift's own
// operator<< remains, a debugging form).
//
// The type id travels beside a message's bytes (MessageEnvelope), never inside
// them. 33 structs have an id; 2, 3, 24 and 27 belong to none, and ConfigParam
// has none: it only travels inside ConfigurationMapSignal.
//
// The compile-time table (MessageTypeId) and the run-time lookups below are
// immutable; any thread may use them at any time. Message objects themselves
// hold no locks: build one on one thread, then only read it.
#ifndef TL_PLATFORM_MESSAGES_MESSAGE_TYPES_H_
#define TL_PLATFORM_MESSAGES_MESSAGE_TYPES_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <thrift/TBase.h>

#include "platform/messages/platform_messages_types.h"

namespace tembrolexinplatform {

// X-macro over every message with a type id: X(StructName, id).
#define TL_PLATFORM_MESSAGE_TYPES(X) \
  X(EventData, 1)                    \
  X(ContentSignal, 4)                \
  X(DownloadStatusSignal, 5)         \
  X(PartialCodewordSignal, 6)        \
  X(PowerDetectorMsg, 7)             \
  X(LogSignal, 8)                    \
  X(CodewordSignal, 9)               \
  X(AudioSignal, 10)                 \
  X(AMSignal, 11)                    \
  X(NotificationData, 12)            \
  X(BackgroundData, 13)              \
  X(SignDataRequest, 14)             \
  X(SignedData, 15)                  \
  X(AssetMessage, 16)                \
  X(AssetInfo, 17)                   \
  X(AssetInfoList, 18)               \
  X(AssetAction, 19)                 \
  X(AssetActionList, 20)             \
  X(StringRequest, 21)               \
  X(AMDBSignal, 22)                  \
  X(ProcessorStatusSignal, 23)       \
  X(RecorderEvent, 25)               \
  X(JavascriptMessage, 26)           \
  X(SyncEngineSignal, 28)            \
  X(CheckedFilePreparedEventSignal, 29) \
  X(ConfigurationMapSignal, 30)      \
  X(FailureSignal, 31)               \
  X(GPSInfoSignal, 32)               \
  X(GSMInfoSignal, 33)               \
  X(NTPInfoSignal, 34)               \
  X(InitData, 35)                    \
  X(InstructionSignal, 36)           \
  X(SDKStatusSignal, 37)

// Primary template left undefined: a struct without an id (ConfigParam) fails
// HasMessageTypeId instead of yielding a made-up number.
template <typename T>
struct MessageTypeId;

#define TL_PLATFORM_MESSAGE_TYPE_ID(Struct, Id) \
  template <>                                   \
  struct MessageTypeId<Struct> {                \
    static constexpr int32_t value = Id;        \
  };
TL_PLATFORM_MESSAGE_TYPES(TL_PLATFORM_MESSAGE_TYPE_ID)
#undef TL_PLATFORM_MESSAGE_TYPE_ID

template <typename T>
concept HasMessageTypeId = requires { MessageTypeId<T>::value; };

template <typename T>
inline constexpr int32_t kMessageTypeId = MessageTypeId<T>::value;

// Every type id that names a message, ascending (33 entries).
const std::vector<int32_t>& allMessageTypeIds();

// A new message with every flag clear, of the struct that `typeId` names;
// null for an id that names none.
std::unique_ptr<::apache::thrift::TBase> newMessageForTypeId(int32_t typeId);

// The struct name for `typeId` ("CodewordSignal"); empty for an id that
// names none.
std::string_view messageNameForTypeId(int32_t typeId);

// The type id of a message object of this layer; nullopt for anything else
// (a ConfigParam, a core struct).
std::optional<int32_t> messageTypeIdOf(const ::apache::thrift::TBase& msg);

// Throws TProtocolException (kind INVALID_DATA) with the text
// "Required field 'type' is not set." when param.type is not set; the core's
// reader refuses such a ConfigParam, so every builder checks before sending.
// Nothing else in this layer requires a field.
void validateConfigParam(const ConfigParam& param);

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_MESSAGES_MESSAGE_TYPES_H_
