// HeartbeatEngine: the sync engine "HEARTBEAT", which follows stations that
// send heartbeat code words (an 11-bit station id and a 21-bit counter of
// code-word periods). A station's position is the time since the start of
// the current UTC year; its sequences give event times as wall-clock seconds
// since the epoch. Counters 0 ... 1679999 count words from January 1;
// 1680000 ... 1859999 from the 1st of the month, 1860000 ... 1899999 from
// Monday and 1900000 and above from the start of the day (a transmitter
// whose words are too short for a year counts by a shorter period), each
// in the latest such period in which the word has already ended.
//
// Sequences: EventData of engine type 4 (consumed as processor events). On
// HeartbeatAffirm it reports the stations it knows as HeartbeatPriority
// (candidate stations).
//
// The static code-word helpers need no engine: the partial codeword
// processor uses them to build the words it searches for. They are pure and
// thread-safe. See SyncEngine for ownership and threads.
#ifndef TL_CORE_ENGINES_HEARTBEAT_ENGINE_H_
#define TL_CORE_ENGINES_HEARTBEAT_ENGINE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "core/engines/sync_engine.h"

namespace tembrolexinsdk {

class HeartbeatEngine : public SyncEngine {
 public:
  static constexpr const char* engineName = "HEARTBEAT";

  // The accepted code-word range [cycleMin, cycleMax]: the words of station
  // 0, counter 0 and of station 1679999, counter 0. A word keeps only the
  // station's low 11 bits, so cycleMax is the word of station 639.
  static constexpr int64_t cycleMin = 0;
  static constexpr int64_t cycleMax = int64_t{1679999 & 0x7ff} << 21;

  HeartbeatEngine(IProcessorListener* listener, IMessenger* messenger,
                  Environment environment = Environment());

  // The heartbeat code word of (station, counter), as the decoding core
  // builds it.
  static int64_t createHearbeat2CodeWord(int station, int counter);
  // The width of the accepted range, cycleMax - cycleMin (1340080128).
  static int64_t numberOfHeartbeatEngineStationIds();

 protected:
  bool splitCodeword(int64_t codeword, int64_t& id, int64_t& offset) const override;
  // A counter's range says which period it counts from (the year, the
  // month, the week from Monday or the day, UTC); the position is still
  // the time since the start of the word's year.
  int64_t wordStart(int64_t counter, int64_t durationMs) const override;
  bool eventPosition(double seconds, int64_t& position, int64_t& epochPosition) const override;
  Json::Value priorityEntry(int64_t id) const override;
  std::unique_ptr<IProcessorEventParams> priorities(std::string text) const override;
  bool handleOwnEvent(const IProcessorEventParams* params, bool& consumed) override;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_HEARTBEAT_ENGINE_H_
