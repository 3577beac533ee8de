// Message generator: predicts the code word that a transmitter of a scheme
// sends at a given time, and interprets a received timed code word (its
// send time and the period it belongs to).
//
// Times are 64-bit milliseconds since 1970 UTC. Each algorithm counts code
// words of duration D (the scheme's code word duration) from the start of a
// period:
//   0  Vorsel message words: periods of 2^20 minutes from the base time
//   3, 5  heartbeat / alternating words: the cycle kind's calendar period
//      (1 day, 2 week from Monday, 3 month, 4 quarter, 5 year)
//   4  Vorsel TV words: periods of D × 2^21 from the base time
//   6, 7  periods of 1024 × D (6) or 2048 × D (7) from 1970
// Only the calendar periods have an end; the others end at kNoPeriodEnd.
//
// Ownership: the state borrows its message parameters and scheme record,
// which must outlive it. Thread safety: a state is used by one thread; the
// functions that take no state are pure.

#ifndef TL_CORE_DECODER_MESSAGE_GENERATOR_H_
#define TL_CORE_DECODER_MESSAGE_GENERATOR_H_

#include <cstdint>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

constexpr int32_t kMessageQueueLength = 16;
constexpr uint32_t kNoPodcastId = 0xFFFFFFFFu;

struct MessageGeneratorState {
  int32_t id;          // station / TV / track id; negative: nothing to predict
  uint32_t podcastId;  // kNoPodcastId when unset
  // Algorithm 0: the cycle of message types, ended by the first -1. Other
  // algorithms: queued values handed out by getNextCodeWordMs.
  int32_t messageQueue[kMessageQueueLength];
  int32_t algorithm;
  int32_t cycleKind;                    // period kind for algorithms 3 and 5
  const MessageParams* messageParams;   // borrowed, may be null
  const SchemeConfig* scheme;           // borrowed
};

// id 0, no podcast id, cycle kind 0, and by scheme: 5 algorithm 0 with the
// type cycle 1, 3, 1, 4; 13 and 18 algorithm 4; 16 algorithm 3 with the
// params' heartbeat cycle (5 without params); others algorithm 1. Returns 0,
// or -1 for a null state.
int32_t msgGeneratorInit(MessageGeneratorState* state, const MessageParams* params,
                         const SchemeConfig* scheme);
void setToHeartBeat(MessageGeneratorState* state, int32_t cycleKind);
// Sets the podcast id and the type cycle 4, 5, 1, 3.
void setToPodCast(MessageGeneratorState* state, uint32_t podcastId);
// All queue entries to -1, except for algorithm 0.
void clearMsgQueue(MessageGeneratorState* state);
// 1 when any queue entry is not -1.
int32_t anyMessagesInQueue(const MessageGeneratorState* state);

// The state's code word duration D in ms (0 without a scheme).
int64_t generatorCodewordDurationMs(const MessageGeneratorState* state);

// Period of time t for the state's algorithm (and cycle kind). Returns 1 and
// fills start and end (either may be null), or 0 when D ≤ 0, t is outside
// ±kMaxTimeMs or the state is null. Algorithms without a period give start 0; cycle kind 0 gives start
// 0; unknown cycle kinds give t in whole seconds.
int32_t getPeriodBounds(const MessageGeneratorState* state, int64_t t, int64_t* start,
                        int64_t* end);
// The period start alone, or -1.
int64_t getPeriodStart(const MessageGeneratorState* state, int64_t t);

// Predicts the word sent at *timeMs and writes the word's start time back.
// Returns the word, or -1 for no word (a word that would run past its
// period's end, a negative id, a missing base, D ≤ 0, an algorithm without
// predictions).
int64_t getContinuousCodeWordMs(MessageGeneratorState* state, int64_t* timeMs);
// The same with the time as whole seconds and milliseconds (both written
// back).
int64_t getContinuousCodeWord(MessageGeneratorState* state, int64_t* seconds, int32_t* millis);

// Algorithms 3 … 7: the prediction at timeMs. Algorithm 0: the queue is cut
// after its first -1, then the prediction. Others: pops the first queued
// value that is not -1 (-2 clears the queue and gives -2; an empty queue
// gives -1).
int64_t getNextCodeWordMs(MessageGeneratorState* state, int64_t timeMs);
int64_t getNextCodeWord(MessageGeneratorState* state, int64_t seconds, int32_t millis);

// By the state's algorithm: 3 heartbeat, 4 Vorsel TV, 7
// event-engine-2 next word, 8 word + step; -1 otherwise.
int64_t incrementCodeWord(const MessageGeneratorState* state, int64_t word, int32_t step);

struct CodewordInterpretation {
  uint64_t codeword;
  int32_t algorithm;
  int32_t id;          // -1 when not filled
  int32_t counter;     // -1 when not filled
  int32_t periodKind;  // 0 unless a heartbeat word
  int64_t wordTime;    // -1 when not filled
  int64_t readyTime;   // -1 when not filled
  int64_t periodStart; // -1 when not filled
};

// Interprets a received word of algorithm 3, 4 or 7 at time `now`: its id,
// counter, send time, the time it was ready (send time + D + the scheme's
// last position alignment / 4) and its period start, falling back one period
// when the word could not yet have been received. Returns the period start;
// returns the word itself for other algorithms and for an algorithm-7 value
// below 0x3e000000 (whose algorithm field becomes 1), and -1 when D ≤ 0.
// `out` may be null.
int64_t interpretCodeword(int64_t word, int64_t now, int32_t algorithm, const SchemeConfig* scheme,
                          CodewordInterpretation* out);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_MESSAGE_GENERATOR_H_
