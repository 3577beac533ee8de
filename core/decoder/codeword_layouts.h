// Code word layouts: what the bits of a code word mean for each message
// algorithm, the creators and interpreters of every word kind, and the
// times at which timed words are sent.
//
//   heartbeat word (32 bits):   station (11, bits 21–31) | counter (21)
//   Vorsel TV word (40 bits):   id (19, bits 21–39)      | counter (21)
//   event-engine-2 (30 bits):   0x3e000000 | track (14, bits 11–24) | offset (11)
//   Vorsel message (24 bits):   type (4, bits 20–23) | field A (10) | field B (10)
//
// Times are milliseconds since 1970-01-01 00:00:00 UTC in 64 bits (valid
// beyond 2038); calendar arithmetic is UTC. Timed layouts count from the
// base time 2009-01-01 00:00:00 UTC. A code word duration D of 0 or less
// (or above 2^40 ms) makes every time rule return -1.
//
// Thread safety: pure functions, safe from any thread.

#ifndef TL_CORE_DECODER_CODEWORD_LAYOUTS_H_
#define TL_CORE_DECODER_CODEWORD_LAYOUTS_H_

#include <cstdint>

#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

// Base time of the timed layouts, seconds and milliseconds since 1970.
constexpr int64_t kVorselBaseTimeSeconds = 1230768000;
constexpr int64_t kVorselBaseTimeMs = kVorselBaseTimeSeconds * 1000;
// Times the time rules accept: |t| ≤ 2^53 ms (about 285 000 years), so that
// period arithmetic cannot overflow; other times give -1.
constexpr int64_t kMaxTimeMs = int64_t{1} << 53;
// "No period end": the largest millisecond value.
constexpr int64_t kNoPeriodEnd = INT64_MAX;

// Message algorithms.
constexpr int32_t kMsgAlgoVorsel = 0;
constexpr int32_t kMsgAlgoPlain = 1;
constexpr int32_t kMsgAlgoHeartbeat = 3;
constexpr int32_t kMsgAlgoVorselTv = 4;
constexpr int32_t kMsgAlgoAlternating = 5;
constexpr int32_t kMsgAlgoAlternating6 = 6;
constexpr int32_t kMsgAlgoEventEngine2 = 7;
constexpr int32_t kMsgAlgoCounter = 8;

// Heartbeat counter ranges: counters from each first value count code word
// durations from the start of the current year, month, week or day.
constexpr int32_t kHeartbeatMonthCounter = 1680000;
constexpr int32_t kHeartbeatWeekCounter = 1860000;
constexpr int32_t kHeartbeatDayCounter = 1900000;

constexpr int64_t kEventEngine2Marker = 0x3e000000;
// Vorsel message words repeat every 2^20 minutes from the base time.
constexpr int64_t kVorselMessagePeriodMs = (int64_t{1} << 20) * 60000;

int64_t getVorselBaseTime();  // seconds

// Default algorithm of a scheme id, and back.
int32_t encScheme2DefaultMsgAlgoDecoder(int32_t scheme);
int32_t msgAlgo2DefaultEncScheme(int32_t algorithm);

// Code word duration D of a scheme in milliseconds: frames per code word
// times the symbol duration, divided by 4. 0 for null.
int64_t schemeCodewordDurationMs(const SchemeConfig* scheme);

// ---- heartbeat words ----
int64_t createHeartBeat2CodeWord(int32_t station, int32_t counter);
int64_t createHeartbeatCodeWord(int32_t station, int32_t counter);  // same
void interpretHeartbeat2CodeWord(int64_t word, int32_t* station, int32_t* counter);
// Same station, counter + step modulo 2^21.
int64_t getNextHeartbeat2CodeWord(int64_t word, int32_t step);

// ---- Vorsel TV words ----
int64_t createVorselTvCodeWord(int32_t id, int32_t counter);
void interpretVorselTvCodeWord(int64_t word, int32_t* id, int32_t* counter);
// Bits 21–39 kept, counter + step modulo 2^21.
int64_t getNextVorselTvCodeWord(int64_t word, int32_t step);

// ---- event-engine-2 words ----
int64_t createEventEngine2CodeWord(int32_t track, int32_t offset);
void interpretEventEngine2CodeWord(int64_t word, int32_t* track, int32_t* offset);
// Same track, offset + step modulo 2048.
int64_t getNextEventEngine2CodeWord(int64_t word, int32_t step);

// ---- Vorsel message words ----

// Field kinds of the Vorsel message layout.
constexpr int32_t kFieldMinutesLow = 0;
constexpr int32_t kFieldMinutesHighOrPodcastLow = 1;
constexpr int32_t kFieldStationLow = 2;
constexpr int32_t kFieldStationHigh = 3;
constexpr int32_t kFieldMinutesHighOrPodcastLow4 = 4;
constexpr int32_t kFieldPodcastHigh = 5;
constexpr int32_t kFieldNone = 6;

struct VorselCodewordFields {
  int32_t minutesLow;
  int32_t minutesHigh;
  int32_t stationLow;
  int32_t stationHigh;
  int32_t podcastLow;
  int32_t podcastHigh;
  int32_t valid;  // 0 for an invalid type, or kind 5 outside podcast mode
  int32_t type;
};

// Splits a Vorsel message word; fields not carried stay -1.
VorselCodewordFields interpretVorselCodeWord(int64_t word, int32_t podcastMode);

// Field kinds of a message type (kinds 6 and 6 for types outside 0 … 5).
void getMsgFieldKinds(int32_t type, int32_t* kindA, int32_t* kindB);

// Returns the type (word >> 20) and fills the two field kinds and the two
// 10-bit fields (either array may be null; each holds two entries).
int32_t getMsgFields(int64_t word, int32_t* kinds, int32_t* fields);

// value = type << 20 with the station's fields where the type's kinds 2 and
// 3 sit; mask = 0xF00000, plus 0xFFC00 for a station field A and 0x3FF for a
// station field B. Returns 1 for types 0 … 5 and 0 otherwise (types 6 … 15
// still get their value and mask; other types get 0 and 0).
int32_t getStationMask(int32_t type, int32_t station, int64_t* value, int64_t* mask);

// ---- times ----

// Time of a Vorsel TV word: base + counter × D, moved by whole periods of
// D × 2^21 to the latest such time not after now. -1 when D ≤ 0.
int64_t getVorselTvStartTime(int64_t word, int32_t* id, int64_t now, int64_t durationMs);

// Time of a heartbeat word: the start of now's year, month, week (Monday)
// or day, by the counter's range, plus the rebased counter × D. -1 when
// D ≤ 0.
int64_t getHeartbeat2CodeWordTime(int64_t word, int32_t* station, int64_t now,
                                  int64_t durationMs);

// By scheme: Vorsel TV words for 13 and 18, heartbeat words for 16, -1 for
// the others.
int64_t getCodewordStartTime(int32_t scheme, int64_t word, int32_t* id, int64_t now,
                             int64_t durationMs);

// Calendar helpers (UTC): start of the day, week (Monday), month, quarter and
// year that hold t.
int64_t utcDayStart(int64_t t);
int64_t utcWeekStart(int64_t t);
int64_t utcMonthStart(int64_t t);
int64_t utcQuarterStart(int64_t t);
int64_t utcYearStart(int64_t t);
// t moved by whole months (keeps the day of month; used on month starts).
int64_t utcAddMonths(int64_t monthStart, int32_t months);

// Formats `time` (UTC) for the algorithm and heartbeat period kind and
// appends ".mmm". The date part takes at most size - 5 characters; the text
// never exceeds `size` bytes including its terminator. Returns the number of
// characters written (0 for a null text or size < 1).
int32_t getCodewordDateStr(int64_t time, int32_t algorithm, int32_t periodKind, char* text,
                           int32_t size);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_CODEWORD_LAYOUTS_H_
