// EventEngine2: the sync engine "EVENT2", which plays event sequences
// against tracks of EVENT2 code words (a 14-bit track id and an 11-bit
// offset under a fixed prefix).
//
// The static code-word helpers need no engine: the partial codeword
// processor uses them to build the words it searches for. They are pure and
// thread-safe.
#ifndef TL_CORE_ENGINES_EVENT_ENGINE2_H_
#define TL_CORE_ENGINES_EVENT_ENGINE2_H_

#include <cstdint>

namespace tembrolexinsdk {

class EventEngine2 {
 public:
  // The EVENT2 code word of (track, offset), as the decoding core builds it.
  static int64_t createEventEngine2CodeWord(int track, int offset);
  // The number of track ids: the track of the highest EVENT2 word, 16383.
  static int numberOfEventEngine2TrackIds();
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_EVENT_ENGINE2_H_
