// The event-sequence text of the sync engines ("EVENT2", "HEARTBEAT"): one
// JSON object with an "events" array of {"id", "time"} (seconds, a number
// that may have a fraction) and a "ticks" array of {"id", "period"} (whole
// seconds). Either array may be missing; other keys are ignored.
//
// One reader for both sides: the core's engines register what it gives, and
// the platform's engines ask it before they send a text, so that a text the
// core would refuse is refused to the app at once, with the same reason.
//
// Refused: text that does not parse (also nesting beyond the reader's limit),
// a document that is not an object, "events" or "ticks" that are not arrays,
// an element that is not an object, an id that is not text, number or bool,
// and a time or period that is not a finite number within kMaxSeconds.
// Elements without an id or a time (period) are skipped, as the engines
// skip them. Numbers are read whatever the process's locale.
//
// Pure function; any thread.
#ifndef TL_CORE_RUNTIME_EVENT_SEQUENCE_TEXT_H_
#define TL_CORE_RUNTIME_EVENT_SEQUENCE_TEXT_H_

#include <optional>
#include <string>
#include <vector>

namespace tembrolexinsdk {

struct EventSequenceText {
  // Largest |seconds| accepted: keeps every derived millisecond value, and
  // the calendar arithmetic on it, well inside 64 bits.
  static constexpr double kMaxSeconds = 1e12;

  struct Entry {
    std::string id;  // the JSON id as text ("7" for 7)
    double seconds;  // an event's time, a tick's period
  };
  std::vector<Entry> events;  // in the text's order
  std::vector<Entry> ticks;
};

// The sequence of `json`, or nothing with the reason in `error` (when not
// null), e.g. "\"time\" of event 3 is not a finite number".
std::optional<EventSequenceText> parseEventSequenceText(const std::string& json,
                                                        std::string* error);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_EVENT_SEQUENCE_TEXT_H_
