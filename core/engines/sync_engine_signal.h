// The message of the sync engines: a SyncEngineSignal (message type 28) for
// a sync, a desync, a timed event or a tick of a media stream.
//
// Stateless and thread-safe.
#ifndef TL_CORE_ENGINES_SYNC_ENGINE_SIGNAL_H_
#define TL_CORE_ENGINES_SYNC_ENGINE_SIGNAL_H_

#include <cstdint>
#include <memory>
#include <string>

#include "core/engines/media_stream.h"
#include "core/runtime/clock.h"
#include "core/runtime/thrift_params.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {
namespace syncengine {

// The serialised signal for the caller to own:
// - mediaStreamId for a stream of another kind than 0, mediaStreamAMId for
//   kind 0; signalType amevent for kind 0, else codeword;
// - eventId when not empty; originalUpTime from `clock`;
// - millisecondsInMediaStream = positionMs;
// - millisecondsSinceEpochInMediaStream = epochPositionMs, except that a
//   position of at least 1 without an epoch position (< 0) is placed in the
//   current UTC year: positionMs + the start of that year;
// - millisecondsSinceEpochDeviceTime, only when referenceMs >= 0:
//   positionMs - clockMs + the wall clock now (ms since the epoch).
std::unique_ptr<ThriftParams> generateSyncEngineSignalThriftParam(
    EngineType::type engineType, const MediaStream& stream, EventType::type eventType,
    int64_t positionMs, const std::string& eventId, int64_t referenceMs, int64_t clockMs,
    int64_t epochPositionMs, const Clock& clock = Clock::real());

// The start of the UTC year of `secondsSinceEpoch`, in seconds since the
// epoch.
int64_t startOfUtcYear(int64_t secondsSinceEpoch);

}  // namespace syncengine
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_SYNC_ENGINE_SIGNAL_H_
