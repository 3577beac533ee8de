#include "core/engines/sync_engine_signal.h"

#include <ctime>

#include "core/runtime/message_factory.h"
#include "core/runtime/time_text.h"

namespace tembrolexinsdk {
namespace syncengine {

int64_t startOfUtcYear(int64_t secondsSinceEpoch) {
  const std::time_t t = static_cast<std::time_t>(secondsSinceEpoch);
  std::tm parts{};
  if (gmtime_r(&t, &parts) == nullptr) return 0;
  return tembrolexin::TimeUtilities::stringToUTCTime(std::to_string(parts.tm_year + 1900) +
                                                     "-01-01 00:00:00");
}

std::unique_ptr<ThriftParams> generateSyncEngineSignalThriftParam(
    EngineType::type engineType, const MediaStream& stream, EventType::type eventType,
    int64_t positionMs, const std::string& eventId, int64_t referenceMs, int64_t clockMs,
    int64_t epochPositionMs, const Clock& clock) {
  SyncEngineSignal signal;
  if (stream.kind != MediaStream::kAudioMatch) {
    signal.__set_mediaStreamId(stream.id);
  } else {
    signal.__set_mediaStreamAMId(stream.amId);
  }
  if (!eventId.empty()) signal.__set_eventId(eventId);
  signal.__set_signalType(stream.kind == MediaStream::kAudioMatch ? SignalType::amevent
                                                                  : SignalType::codeword);
  signal.__set_engineType(engineType);
  signal.__set_eventType(eventType);
  signal.__set_originalUpTime(clock.upTimeMillis());
  signal.__set_millisecondsInMediaStream(positionMs);
  const int64_t wallMillis = clock.wallMicros() / 1000;
  int64_t epochPosition = epochPositionMs;
  if (positionMs >= 1 && epochPositionMs < 0) {
    epochPosition = positionMs + startOfUtcYear(clock.wallMicros() / 1000000) * 1000;
  }
  signal.__set_millisecondsSinceEpochInMediaStream(epochPosition);
  if (referenceMs >= 0) {
    signal.__set_millisecondsSinceEpochDeviceTime(positionMs - clockMs + wallMillis);
  }
  return ThriftParamsFactory::createThriftParams(signal);
}

}  // namespace syncengine
}  // namespace tembrolexinsdk
