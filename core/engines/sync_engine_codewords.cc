// The static code-word helpers of the two sync engines.
#include "core/decoder/codeword_layouts.h"
#include "core/engines/event_engine2.h"
#include "core/engines/heartbeat_engine.h"

namespace tembrolexinsdk {

int64_t EventEngine2::createEventEngine2CodeWord(int track, int offset) {
  return tembrolexinsdk::createEventEngine2CodeWord(track, offset);
}

int EventEngine2::numberOfEventEngine2TrackIds() {
  int32_t track = 0;
  interpretEventEngine2CodeWord(0x3ffffffe, &track, nullptr);
  return track;
}

int64_t HeartbeatEngine::createHearbeat2CodeWord(int station, int counter) {
  return createHeartBeat2CodeWord(station, counter);
}

int64_t HeartbeatEngine::numberOfHeartbeatEngineStationIds() { return cycleMax - cycleMin; }

}  // namespace tembrolexinsdk
