// HeartbeatEngine: the sync engine "HEARTBEAT", which follows stations that
// send heartbeat code words (an 11-bit station id and a 21-bit counter).
//
// The static code-word helpers need no engine: the partial codeword
// processor uses them to build the words it searches for. They are pure and
// thread-safe.
#ifndef TL_CORE_ENGINES_HEARTBEAT_ENGINE_H_
#define TL_CORE_ENGINES_HEARTBEAT_ENGINE_H_

#include <cstdint>

namespace tembrolexinsdk {

class HeartbeatEngine {
 public:
  // The accepted code-word range [cycleMin, cycleMax): the words of station
  // 0, counter 0 and of station 1679999, counter 0. A word keeps only the
  // station's low 11 bits, so cycleMax is the word of station 639.
  static constexpr int64_t cycleMin = 0;
  static constexpr int64_t cycleMax = int64_t{1679999 & 0x7ff} << 21;

  // The heartbeat code word of (station, counter), as the decoding core
  // builds it.
  static int64_t createHearbeat2CodeWord(int station, int counter);
  // The width of the accepted range, cycleMax - cycleMin (1340080128).
  static int64_t numberOfHeartbeatEngineStationIds();
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_HEARTBEAT_ENGINE_H_
