// PartialCodewordProcessor: the per-decoder companion of the base audio
// processor for the decoding core's partial-codeword search.
//
// It decides how a decoder is set up (wait for candidate stations, fast
// reaction, which EVENT2 tracks or heartbeat stations to search first),
// turns the candidate-stations and event-engine-sequences JSON of the
// configuration into the decoding core's CandidateStations lists, and after
// every decoder run turns the decoder's VorselTResult into
// PartialCodewordSignal messages (type 6), one per engine reference.
//
// Log lines go through the process-wide Logger with the sender name
// "PartialCodewordProcessor" and begin with "(" + plug-in name + ")".
//
// Ownership: the lists it returns belong to the caller, who keeps each list
// alive for as long as the decoder it was handed to uses it.
// Thread safety: none; one decoder entry uses it from one thread.
#ifndef TL_CORE_AUDIO_PARTIAL_CODEWORD_PROCESSOR_H_
#define TL_CORE_AUDIO_PARTIAL_CODEWORD_PROCESSOR_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/audio/echo_decoder_descriptor.h"
#include "core/decoder/performance_data.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/thrift_params.h"

namespace tembrolexinsdk {

struct CandidateStationsDeleter {
  void operator()(CandidateStations* list) const { deleteCandidateStations(list); }
};
using CandidateStationsPtr = std::unique_ptr<CandidateStations, CandidateStationsDeleter>;

class PartialCodewordProcessor : public INamedObject {
 public:
  // How a decoder is set up.
  struct DecoderSetup {
    bool waitingForConfiguration = false;  // wait for candidate stations
    bool fastReaction = false;
    CandidateStationsPtr list;             // sequences or stations; may be null
  };

  // At most this many code words (or stations) are put on a priority list.
  static constexpr int64_t kMaxPriorityCodewords = 200;

  explicit PartialCodewordProcessor(std::string pluginName);
  ~PartialCodewordProcessor() override = default;

  const std::string& GetName() const override;

  // Forgets what was published: stop time and sequence start 0, idle.
  void setup();

  // "tembrolexin_VorselT" and "tembrolexin_VorselTW" wait for candidate
  // stations; a descriptor with "EVENT2" (else "HEARTBEAT") gets its priority
  // list, fast reaction, and enables publishing; any other runs plainly.
  DecoderSetup configurationForDecoder(const EchoDecoderDescriptor& descriptor,
                                       const std::string& pluginName);
  // The first 50 words of every EVENT2 track held in the descriptor's
  // "EVENT2" ranges, up to 200 words; null when no track is.
  CandidateStationsPtr selectEventEngineSequences(const EchoDecoderDescriptor& descriptor,
                                                  const std::string& pluginName);
  // Each heartbeat station (0..2047) whose whole counter span lies in the
  // "HEARTBEAT" ranges, up to 200 stations; null when none does.
  CandidateStationsPtr selectHeartbeatStations(const EchoDecoderDescriptor& descriptor,
                                               const std::string& pluginName);
  // A JSON array of {"id", "lag" (seconds)} to a station list; enables
  // publishing. Throws std::invalid_argument "Invalid JSON input" when the
  // text is not JSON (also one with more than white space and comments after
  // its value) or not an array; `problem` (if given) then says why, as
  // readWholeJsonValue words it ("not JSON: Extra non-whitespace after JSON
  // value. (byte 24)"), or "not a list". Missing or non-numeric members
  // read 0.
  CandidateStationsPtr parseCandidateStations(const std::string& json,
                                              const std::string& pluginName,
                                              std::string* problem = nullptr);
  // A JSON array of {"trackId", "secondsIn", "durationSecs"} to a sequence
  // list of at most 200 code words in all (`codewordDurationMs` per word);
  // enables publishing. Null, and nothing changes, when the text is not a
  // JSON array (nested beyond the reader's limit, too) or the descriptor has
  // no "EVENT2" range. Text after the array is ignored.
  CandidateStationsPtr parseEventEngineSequences(const std::string& json,
                                                 const EchoDecoderDescriptor& descriptor,
                                                 int64_t codewordDurationMs,
                                                 const std::string& pluginName);

  // The record the decoder fills on each run.
  VorselTResult* result() { return &result_; }
  // Turns the current result into serialised PartialCodewordSignal messages
  // (type 6), in ascending engine reference order; empty when nothing is to
  // be published. `systemTimeMs` and `steadyTimeMs` stamp the messages.
  std::vector<std::unique_ptr<ThriftParams>> processPartialResult(
      const EchoDecoderDescriptor& descriptor, int64_t systemTimeMs, int64_t steadyTimeMs,
      int64_t codewordDurationMs);

  int64_t lastSystemTime() const { return lastSystemTime_; }
  int64_t lastSteadyTime() const { return lastSteadyTime_; }
  bool isIdle() const { return idle_; }
  bool isEnabled() const { return enabled_; }

 private:
  VorselTResult result_{};
  int64_t lastSystemTime_ = 0;
  int64_t lastSteadyTime_ = 0;
  int64_t lastStopTime_ = 0;
  int64_t lastSequenceStart_ = 0;
  bool idle_ = true;
  bool enabled_ = false;
  std::string pluginName_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_PARTIAL_CODEWORD_PROCESSOR_H_
