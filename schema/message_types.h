// Message type ids of the schema structs.
//
// The type id travels beside a serialised struct in the bus payload, never
// inside its bytes; both the core and the platform layer dispatch on it, so the
// numbers below are part of the wire contract. Ids 2, 3, 24 and 27 are unused.
// ConfigParam has no id: it only travels inside ConfigurationMapSignal.
//
// Usage:
//   static_assert(kMessageTypeId<CodewordSignal> == 9);
//   template <HasMessageTypeId T> void send(const T& msg);
//
// Compile-time only; no state, thread-safe.

#ifndef TL_SCHEMA_MESSAGE_TYPES_H_
#define TL_SCHEMA_MESSAGE_TYPES_H_

#include <cstdint>

#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

// Primary template: left undefined so that a struct without an id (ConfigParam)
// fails HasMessageTypeId instead of yielding a made-up number.
template <typename T>
struct MessageTypeId;

#define TL_SCHEMA_MESSAGE_TYPE_ID(Struct, Id)   \
  template <>                                   \
  struct MessageTypeId<Struct> {                \
    static constexpr int32_t value = Id;        \
  }

TL_SCHEMA_MESSAGE_TYPE_ID(EventData, 1);
TL_SCHEMA_MESSAGE_TYPE_ID(ContentSignal, 4);
TL_SCHEMA_MESSAGE_TYPE_ID(DownloadStatusSignal, 5);
TL_SCHEMA_MESSAGE_TYPE_ID(PartialCodewordSignal, 6);
TL_SCHEMA_MESSAGE_TYPE_ID(PowerDetectorMsg, 7);
TL_SCHEMA_MESSAGE_TYPE_ID(LogSignal, 8);
TL_SCHEMA_MESSAGE_TYPE_ID(CodewordSignal, 9);
TL_SCHEMA_MESSAGE_TYPE_ID(AudioSignal, 10);
TL_SCHEMA_MESSAGE_TYPE_ID(AMSignal, 11);
TL_SCHEMA_MESSAGE_TYPE_ID(NotificationData, 12);
TL_SCHEMA_MESSAGE_TYPE_ID(BackgroundData, 13);
TL_SCHEMA_MESSAGE_TYPE_ID(SignDataRequest, 14);
TL_SCHEMA_MESSAGE_TYPE_ID(SignedData, 15);
TL_SCHEMA_MESSAGE_TYPE_ID(AssetMessage, 16);
TL_SCHEMA_MESSAGE_TYPE_ID(AssetInfo, 17);
TL_SCHEMA_MESSAGE_TYPE_ID(AssetInfoList, 18);
TL_SCHEMA_MESSAGE_TYPE_ID(AssetAction, 19);
TL_SCHEMA_MESSAGE_TYPE_ID(AssetActionList, 20);
TL_SCHEMA_MESSAGE_TYPE_ID(StringRequest, 21);
TL_SCHEMA_MESSAGE_TYPE_ID(AMDBSignal, 22);
TL_SCHEMA_MESSAGE_TYPE_ID(ProcessorStatusSignal, 23);
TL_SCHEMA_MESSAGE_TYPE_ID(RecorderEvent, 25);
TL_SCHEMA_MESSAGE_TYPE_ID(JavascriptMessage, 26);
TL_SCHEMA_MESSAGE_TYPE_ID(SyncEngineSignal, 28);
TL_SCHEMA_MESSAGE_TYPE_ID(CheckedFilePreparedEventSignal, 29);
TL_SCHEMA_MESSAGE_TYPE_ID(ConfigurationMapSignal, 30);
TL_SCHEMA_MESSAGE_TYPE_ID(FailureSignal, 31);
TL_SCHEMA_MESSAGE_TYPE_ID(GPSInfoSignal, 32);
TL_SCHEMA_MESSAGE_TYPE_ID(GSMInfoSignal, 33);
TL_SCHEMA_MESSAGE_TYPE_ID(NTPInfoSignal, 34);
TL_SCHEMA_MESSAGE_TYPE_ID(InitData, 35);
TL_SCHEMA_MESSAGE_TYPE_ID(InstructionSignal, 36);
TL_SCHEMA_MESSAGE_TYPE_ID(SDKStatusSignal, 37);

#undef TL_SCHEMA_MESSAGE_TYPE_ID

// True for every schema struct that travels on its own under a type id.
template <typename T>
concept HasMessageTypeId = requires { MessageTypeId<T>::value; };

template <typename T>
inline constexpr int32_t kMessageTypeId = MessageTypeId<T>::value;

}  // namespace tembrolexinsdk

#endif  // TL_SCHEMA_MESSAGE_TYPES_H_
