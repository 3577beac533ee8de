// EventEngine2: the sync engine "EVENT2". It plays event sequences against
// tracks of EVENT2 code words (a 14-bit track id and an 11-bit offset under a
// fixed prefix, 0x3e000000 to 0x3fffffff) and against audio matches.
//
// Sequences: EventData of engine type 2, from the bus or as processor events
// (consumed). Positions: a code word of track T at offset O (meant for
// "EVENT2") is the position codewordDuration x (O + 1) in track T; an audio
// match is offset + duration in its match id. On EventEngine2Affirm it
// reports the tracks it knows as EventEngine2Priority.
//
// The static code-word helpers need no engine: the partial codeword
// processor uses them to build the words it searches for. They are pure and
// thread-safe. See SyncEngine for ownership and threads.
#ifndef TL_CORE_ENGINES_EVENT_ENGINE2_H_
#define TL_CORE_ENGINES_EVENT_ENGINE2_H_

#include <cstdint>
#include <memory>
#include <string>

#include "core/engines/sync_engine.h"

namespace tembrolexinsdk {

class EventEngine2 : public SyncEngine {
 public:
  static constexpr const char* engineName = "EVENT2";

  EventEngine2(IProcessorListener* listener, IMessenger* messenger,
               Environment environment = Environment());

  // The EVENT2 code word of (track, offset), as the decoding core builds it.
  static int64_t createEventEngine2CodeWord(int track, int offset);
  // The number of track ids: the track of the highest EVENT2 word, 16383.
  static int numberOfEventEngine2TrackIds();

 protected:
  bool splitCodeword(int64_t codeword, int64_t& id, int64_t& offset) const override;
  bool eventPosition(double seconds, int64_t& position, int64_t& epochPosition) const override;
  Json::Value priorityEntry(int64_t id) const override;
  std::unique_ptr<IProcessorEventParams> priorities(std::string text) const override;
  bool handleOwnEvent(const IProcessorEventParams* params, bool& consumed) override;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_EVENT_ENGINE2_H_
