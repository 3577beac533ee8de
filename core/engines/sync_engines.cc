// The two sync engines: what sets EVENT2 and HEARTBEAT apart on the shared
// frame.
#include <cmath>

#include "core/decoder/codeword_layouts.h"
#include "core/engines/event_engine2.h"
#include "core/engines/heartbeat_engine.h"
#include "core/engines/sync_engine_signal.h"
#include "core/runtime/control_messages.h"

namespace tembrolexinsdk {

EventEngine2::EventEngine2(IProcessorListener* listener, IMessenger* messenger,
                           Environment environment)
    : SyncEngine(Traits{engineName, EngineType::EVENT2,
                        "Succesfully registered event sequence for trackId "},
                 listener, messenger, environment) {}

bool EventEngine2::splitCodeword(int64_t codeword, int64_t& id, int64_t& offset) const {
  if ((static_cast<uint64_t>(codeword) >> 25) != 31) return false;
  int32_t track = 0;
  int32_t at = 0;
  tembrolexinsdk::interpretEventEngine2CodeWord(codeword, &track, &at);
  id = track;
  offset = at;
  return true;
}

bool EventEngine2::eventPosition(double seconds, int64_t& position, int64_t& epochPosition) const {
  position = static_cast<int64_t>(std::trunc(seconds * 1000.0));
  epochPosition = -1;
  return position >= 1;
}

Json::Value EventEngine2::priorityEntry(int64_t id) const {
  Json::Value entry(Json::objectValue);
  entry["trackId"] = Json::Int64(id);
  entry["secondsIn"] = 0;
  entry["durationSecs"] = 300;
  return entry;
}

std::unique_ptr<IProcessorEventParams> EventEngine2::priorities(std::string text) const {
  return std::make_unique<EventEngine2Priority>(std::move(text));
}

bool EventEngine2::handleOwnEvent(const IProcessorEventParams* params, bool& consumed) {
  if (EventEngine2Affirm::Cast(params) != nullptr) {
    selectPriorities();
    consumed = true;
    return true;
  }
  if (const auto* match = AMEvent::Cast(params)) {
    synchronise(MediaStream::audioMatch(match->amId), match->offset + match->duration,
                upTimeMillis());
    return true;
  }
  return false;
}

HeartbeatEngine::HeartbeatEngine(IProcessorListener* listener, IMessenger* messenger,
                                 Environment environment)
    : SyncEngine(Traits{engineName, EngineType::HEARTBEAT,
                        "Successfully registered event sequence for trackId "},
                 listener, messenger, environment) {}

bool HeartbeatEngine::splitCodeword(int64_t codeword, int64_t& id, int64_t& offset) const {
  if (codeword < cycleMin || codeword > cycleMax) return false;
  int32_t station = 0;
  int32_t counter = 0;
  interpretHeartbeat2CodeWord(codeword, &station, &counter);
  id = station;
  offset = counter;
  return true;
}

int64_t HeartbeatEngine::wordStart(int64_t counter, int64_t durationMs) const {
  int64_t (*periodStart)(int64_t) = nullptr;
  int64_t rebased = counter;
  if (counter >= kHeartbeatDayCounter) {
    periodStart = &utcDayStart;
    rebased -= kHeartbeatDayCounter;
  } else if (counter >= kHeartbeatWeekCounter) {
    periodStart = &utcWeekStart;
    rebased -= kHeartbeatWeekCounter;
  } else if (counter >= kHeartbeatMonthCounter) {
    periodStart = &utcMonthStart;
    rebased -= kHeartbeatMonthCounter;
  }
  // Year counters are the time since January 1 as they stand; so is any
  // counter of words too long for the shorter periods.
  constexpr int64_t kDayMs = 86400000;
  if (periodStart == nullptr || durationMs <= 0 || durationMs > kDayMs) {
    return SyncEngine::wordStart(counter, durationMs);
  }
  const int64_t now = clock().wallMicros() / 1000;
  int64_t start = periodStart(now);
  int64_t word = start + rebased * durationMs;
  if (word + durationMs > now) {
    // Not yet ended in this period: it was sent in the one before.
    start = periodStart(start - 1);
    word = start + rebased * durationMs;
  }
  return word - utcYearStart(word);
}

bool HeartbeatEngine::eventPosition(double seconds, int64_t& position,
                                    int64_t& epochPosition) const {
  epochPosition = static_cast<int64_t>(std::trunc(seconds * 1000.0));
  if (epochPosition < 1) return false;
  position = epochPosition - syncengine::startOfUtcYear(epochPosition / 1000) * 1000;
  return true;
}

Json::Value HeartbeatEngine::priorityEntry(int64_t id) const {
  Json::Value entry(Json::objectValue);
  entry["id"] = Json::Int64(id);
  entry["lag"] = 0;
  return entry;
}

std::unique_ptr<IProcessorEventParams> HeartbeatEngine::priorities(std::string text) const {
  return std::make_unique<HeartbeatPriority>(std::move(text));
}

bool HeartbeatEngine::handleOwnEvent(const IProcessorEventParams* params, bool& consumed) {
  if (HeartbeatAffirm::Cast(params) == nullptr) return false;
  selectPriorities();
  consumed = true;
  return true;
}

}  // namespace tembrolexinsdk
