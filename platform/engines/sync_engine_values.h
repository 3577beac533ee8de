// Value objects of the EVENT2 and HEARTBEAT engines: the events their
// delegates receive and the priority lists the app passes to the core.
//
// TLEventEngine2Event: one event of a followed track. eventType tells how
// the track is identified (0 by an audio-match id, 1 by a codeword stream
// id), eventStatus what happened (0 sync, 1 desync, 2 timed event, 3 tick),
// eventId the track's id as text, event "Sync", "Desync" or the timed
// event's or tick's id, timeInTrack milliseconds into the track at delivery.
//
// TLHeartbeatEngineEvent: one event of a followed station: eventType as
// eventStatus above, stationId in decimal, timeInYear milliseconds since the
// start of the station's year, millisecondsSinceEpoch the station's timeline
// as Unix milliseconds, millisecondsSinceEpochDeviceTime the device time the
// core stamped (-1 for sync and desync).
//
// TLEventEngine2Priority / TLHeartbeatPriority: ordered rows rendered by
// jsonPriorities() as a pretty-printed JSON array, one object per row in the
// order added ("trackId", "secondsIn", "durationSecs", resp. "id", "lag"),
// for example
//   [
//     {
//       "id" : 7,
//       "lag" : 2
//     }
//   ]
// and "[]" for no rows.
//
// Events are immutable. A priority object is filled on one thread, then only
// read.
#ifndef TL_PLATFORM_ENGINES_SYNC_ENGINE_VALUES_H_
#define TL_PLATFORM_ENGINES_SYNC_ENGINE_VALUES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/engines/engine_context.h"

namespace tembrolexinplatform {

// "Sync" for 0, "Desync" for 1, "UnexpectedEvent" for anything else.
std::string syncEventName(int64_t status);

class TLEventEngine2Event {
 public:
  static constexpr int64_t kAudioMatchStream = 0;
  static constexpr int64_t kCodewordStream = 1;

  // Sync and desync: the event text follows from `status`.
  static TLEventEngine2Event initWithId(std::string id, int64_t type, int64_t timeInTrack,
                                        int64_t status, TLDate date);
  // Timed events and ticks: the event text is given.
  static TLEventEngine2Event initWithEvent(std::string event, std::string id, int64_t timeInTrack,
                                           int64_t type, TLDate date, int64_t status);

  int64_t eventType() const { return eventType_; }
  int64_t eventStatus() const { return eventStatus_; }
  const std::string& eventId() const { return eventId_; }
  const std::string& event() const { return event_; }
  TLDate date() const { return date_; }
  int64_t timeInTrack() const { return timeInTrack_; }

 private:
  TLEventEngine2Event(int64_t type, int64_t status, std::string id, std::string event, TLDate date,
                      int64_t timeInTrack)
      : eventType_(type), eventStatus_(status), eventId_(std::move(id)), event_(std::move(event)),
        date_(date), timeInTrack_(timeInTrack) {}

  int64_t eventType_;
  int64_t eventStatus_;
  std::string eventId_;
  std::string event_;
  TLDate date_;
  int64_t timeInTrack_;
};

class TLHeartbeatEngineEvent {
 public:
  static TLHeartbeatEngineEvent initWithId(std::string stationId, int64_t timeInYear,
                                           int64_t msecsSinceEpoch, int64_t status, TLDate date,
                                           int64_t msecsSinceEpochDeviceTime);
  static TLHeartbeatEngineEvent initWithEvent(std::string event, std::string stationId,
                                              int64_t timeInYear, int64_t msecsSinceEpoch,
                                              int64_t type, TLDate date,
                                              int64_t msecsSinceEpochDeviceTime);

  int64_t eventType() const { return eventType_; }
  const std::string& stationId() const { return stationId_; }
  const std::string& event() const { return event_; }
  TLDate date() const { return date_; }
  int64_t timeInYear() const { return timeInYear_; }
  int64_t millisecondsSinceEpoch() const { return millisecondsSinceEpoch_; }
  int64_t millisecondsSinceEpochDeviceTime() const { return millisecondsSinceEpochDeviceTime_; }

 private:
  TLHeartbeatEngineEvent(int64_t type, std::string stationId, std::string event, TLDate date,
                         int64_t timeInYear, int64_t msecsSinceEpoch, int64_t deviceTime)
      : eventType_(type), stationId_(std::move(stationId)), event_(std::move(event)), date_(date),
        timeInYear_(timeInYear), millisecondsSinceEpoch_(msecsSinceEpoch),
        millisecondsSinceEpochDeviceTime_(deviceTime) {}

  int64_t eventType_;
  std::string stationId_;
  std::string event_;
  TLDate date_;
  int64_t timeInYear_;
  int64_t millisecondsSinceEpoch_;
  int64_t millisecondsSinceEpochDeviceTime_;
};

struct TrackSetting {
  int64_t trackId = 0;
  int64_t secondsIn = 0;
  int64_t durationSecs = 0;
};

class TLEventEngine2Priority {
 public:
  void addTrackId(int64_t trackId, int64_t secondsIn, int64_t duration) {
    rows_.push_back({trackId, secondsIn, duration});
  }
  const std::vector<TrackSetting>& rows() const { return rows_; }
  std::string jsonPriorities() const;

 private:
  std::vector<TrackSetting> rows_;
};

struct StationSetting {
  int64_t stationId = 0;
  int64_t lag = 0;
};

class TLHeartbeatPriority {
 public:
  void addStationId(int64_t stationId, int64_t lag) { rows_.push_back({stationId, lag}); }
  const std::vector<StationSetting>& rows() const { return rows_; }
  std::string jsonPriorities() const;

 private:
  std::vector<StationSetting> rows_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_SYNC_ENGINE_VALUES_H_
