// Value types of the EVENT engine: the events its state machine raises, the
// sync anchors that tie the up-time to a track's timeline, and the timed
// events of a registered track.
//
// Plain values; no locks. Whoever holds one guards it.
#ifndef TL_PLATFORM_ENGINES_EVENT_TYPES_H_
#define TL_PLATFORM_ENGINES_EVENT_TYPES_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tembrolexinplatform {

// A wall-clock date.
using TLDate = std::chrono::system_clock::time_point;

inline TLDate dateFromWallMicros(int64_t micros) {
  return TLDate(std::chrono::duration_cast<TLDate::duration>(std::chrono::microseconds(micros)));
}

// What the state machine raises (eventType).
enum : int32_t {
  kEventTrackDetected = 0,     // value: the track codeword as decimal text
  kEventTimedEvent = 1,        // value: the timed event's data
  kEventSequenceEnded = 2,
  kEventMissedCodewords = 3,   // stamped when the missed-codeword timer was armed
  kEventSynchronised = 4,
  kEventInterrupted = 5,
};

struct Event {
  int32_t eventType = 0;
  std::optional<std::string> eventValue;
  TLDate eventTimestamp;
};

// Ties a moment of the up-time (seconds) to a position on the track's
// timeline (seconds).
struct SyncAnchor {
  double anchorTime = 0;
  double syncTime = 0;
  friend bool operator==(const SyncAnchor&, const SyncAnchor&) = default;
};

// One timed event of a track: its data (none when registered without an
// id) and its time on the track's timeline in seconds.
struct TimedEventEngine {
  std::optional<std::string> eventData;
  double eventTime = 0;
  bool eventTriggered = false;
  friend bool operator==(const TimedEventEngine&, const TimedEventEngine&) = default;
};

// The timed events registered for one track, in registration order, and the
// seconds without a codeword after which a synchronised track is given up
// (0: never).
struct EventSequence {
  std::vector<TimedEventEngine> events;
  double syncTimeoutSecs = 0;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_EVENT_TYPES_H_
