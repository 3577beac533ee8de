// Partial-codeword search: recognises code words of known candidates in the
// matched filter's soft-symbol history when they are too weak to decode in
// full.
//
// A search stage predicts the code words a candidate sends (with the message
// generator, or as a range of consecutive code words), re-encodes them into
// channel bits with the scheme's codec and correlates those bits against a
// window of soft symbols taken at the best phase of the history. A good
// correlation becomes a PartialResultItem (candidate, time shift, start and
// stop, quality metrics); items are kept in PartialResultLists, extended code
// word by code word, merged and finally published as VorselTResult records.
//
// Units: times marked x8 are eighths of a millisecond; other times are
// milliseconds. A phase step lasts (S/4 * 8) / N eighths (S the symbol
// duration in quarter milliseconds, N the phase count).
//
// Stage options, in this order (a negative value keeps the current one):
//   0 persistence (ms), 1 gapFill (ms), 2 fastReaction (flag),
//   3 maxOffsetPast (s), 4 maxOffsetFuture (s), 5 riseThreshold.
// Persistence, gap fill and the offsets are clamped to one hour. A negative
// maxOffsetPast puts the stage into range mode (candidates are code-word
// ranges); stage A of the sequence scheme 15 is in range mode by default, its
// stage B in station mode (+-1 s around the anchor's time line). Offsets take
// effect when set; persistence and fast reaction when the stage is built.
// Fast reaction shortens stage A's window to (3F + 2) / 4 symbols with a
// step of a third of it; stage B always searches its full window.
// Result-list options (64-bit, ms; negative keeps the default):
//   0 timeShiftThreshold (1000), 1 publishDelay (180000),
//   2 maxListeningDuration (3600000).
//
// Ownership: createSearchStage makes stage A, which owns its codec, message
// generator, correlator and buffers; cloneSearchStage makes stage B, which
// shares stage A's codec and generator (and its correlator when the windows
// agree and stage A has no fast reaction). Delete stage B first
// (deleteClonedSearchStage, after clearing its `history` when it equals stage
// A's), then stage A. The scheme record and message parameters are borrowed
// and must outlive the stages. Items belong to their list.
//
// Thread safety: none; stages and lists are used by the one thread that owns
// the partial-codeword decoder. The shared metric table is rebuilt with the
// same values whenever a stage A is created.
#ifndef TL_CORE_DECODER_PARTIAL_SEARCH_H_
#define TL_CORE_DECODER_PARTIAL_SEARCH_H_

#include <cstdint>

#include "core/decoder/circular_buffer.h"
#include "core/decoder/codeword_codec.h"
#include "core/decoder/matched_filter.h"
#include "core/decoder/message_generator.h"
#include "core/decoder/performance_data.h"
#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

constexpr int32_t kStageOptionCount = 6;
constexpr int32_t kListOptionCount = 3;
// Largest persistence, gap fill and offset: one hour.
constexpr int64_t kMaxStageOptionMs = 3600000;
constexpr int32_t kMaxStageOffsetSeconds = 3600;
// List options beyond this (about 31 years) are taken as this.
constexpr int64_t kMaxListOptionMs = int64_t{1000000000000};
constexpr int64_t kDefaultTimeShiftThreshold = 1000;
constexpr int64_t kDefaultPublishDelay = 180000;
constexpr int64_t kDefaultMaxListeningDuration = 3600000;
// Predicted bit that nothing is known about.
constexpr uint8_t kUnknownBit = 255;

struct PartialResultItem {
  int64_t codeword;       // station id / code word; -1 empty, -2 being filled
  int64_t timeShift;      // x8
  int32_t rangeCount;
  int32_t metricInit;
  int32_t metricSum;
  int32_t metricNMerge;
  int32_t nCodewords;
  int32_t candidateIndex; // -1 when empty
  int64_t startTime;      // x8
  int64_t stopTime;       // x8
  uint8_t startFinal;     // 0, 1, or 2 when cut at publication
  uint8_t stopFinal;
  int32_t* positions;     // positionCount history indices
  int32_t positionCount;
};

struct PartialResultList {
  PartialResultItem** items;
  int32_t length;
  int64_t timeShiftThreshold;    // ms
  int64_t publishDelay;          // ms
  int64_t maxListeningDuration;  // ms
};

struct PartialSearchStage {
  const SchemeConfig* scheme;         // borrowed
  CodewordCodec* codec;               // stage B: stage A's
  int32_t windowBits;                 // P * B * F
  int32_t windowSlots;                // N * F
  int32_t stepDivisor;                // 4, or 3 for stage A with fast reaction
  int32_t maxOffsetPast;              // ms
  int32_t maxOffsetFuture;            // ms
  HammingCorrelator* history;
  MessageGeneratorState* generator;   // stage B: stage A's
  uint8_t* window;                    // windowBits unsigned soft values
  uint8_t* predicted;                 // predictedCapacity words, stride below
  int32_t predictedCapacity;          // words
  int32_t* positionIndex;             // P history indices at the cursor
  int64_t lastTime;                   // ms
  int64_t cursor;                     // ms; 0 before the first call
  int32_t candidateIndex;             // -1 at creation
  int32_t wordCount;
  int64_t firstWordTime;              // ms
  int32_t firstShift;
  int32_t lastShift;
  int32_t bestPhase;
  PartialResultItem* currentItem;
  // Options.
  int32_t persistence;                // ms
  int32_t gapFill;                    // ms
  int32_t fastReaction;
  int32_t maxOffsetPastOption;        // s; negative: range mode
  int32_t maxOffsetFutureOption;      // s
  int32_t riseThreshold;
  // Working state.
  uint8_t isClone;                    // stage B
  uint8_t rangeMode;
  int32_t positionCount;              // P
  int32_t bandCount;                  // B
  int32_t phaseCount;                 // N
  int32_t symbolMs;                   // S / 4
  int64_t phaseStep8;                 // (S/4 * 8) / N
  int32_t wordSymbols;                // Q = ceil(channel bits / (P * B))
  int32_t wordStride;                 // Q * P * B predicted bits per word
  int32_t channelBits;                // R * C
  int64_t codewordMs;                 // D = Q * S/4
  int32_t alignSteps;                 // last alignment in whole phase steps
  int32_t* alignPerPosition;          // P: align(j) in phase steps
  uint8_t* place;                     // P: place of position j (order 0)
  int8_t* rawWindow;                  // windowBits, the correlator's output
  uint8_t* wordBits;                  // channelBits, one encoded word
  int32_t havePrevious;               // a previous candidate's prediction
  int64_t previousLag;
  int32_t previousRangeCount;
};

// ---- stages ----

// Stage A of a partial-codeword scheme, or null (bad record, memory).
// `options` holds kStageOptionCount values or is null.
PartialSearchStage* createSearchStage(const SchemeConfig* scheme,
                                      const MessageParams* messageParams,
                                      const int32_t* options);
// Stage B from stage A with its own options (defaults: offsets 1 s, rise
// threshold 10), or null.
PartialSearchStage* cloneSearchStage(PartialSearchStage* stageA, const int32_t* options);
void deleteSearchStage(PartialSearchStage* stage);
void deleteClonedSearchStage(PartialSearchStage* stage);

// Stores every non-negative option (clamped); returns 1 when neither
// persistence nor fast reaction changed, else 0 (also for a null stage).
// Window-dependent values change only when the stages are built again.
int32_t setSearchStageOptions(PartialSearchStage* stage, const int32_t* options);
// windowSlots / stepDivisor and windowSlots (phase steps); 0 for null.
int32_t searchStageStep(const PartialSearchStage* stage);
int32_t searchStageWindow(const PartialSearchStage* stage);
// One search step in ms.
int64_t searchStageStepMs(const PartialSearchStage* stage);

// One call at time `t` (ms, the time of the newest history slot). `views`
// holds one array of P soft-symbol rings per band. Returns the sweep's item
// when a sweep ends (a hit, or a pending item without a hit), else null.
// `refine` (may be null) is set when a sweep ended. `pass` 1 shifts the
// correlator's phase by half a symbol.
PartialResultItem* searchPartialCodewords(PartialSearchStage* stage, int64_t t,
                                          CircularBuffer* const* views,
                                          const CandidateStations* candidates,
                                          PartialResultList* list, int32_t* refine,
                                          int32_t pass);

// Extends a hit item backwards (start) or forwards (stop) symbol by symbol
// through the history. Returns 1 when the walk met a gap longer than the
// gap fill (the flag is then set), the flag itself when it was already set,
// 0 for a non-hit or when the history ran out.
int32_t extendPartialResult(PartialSearchStage* stage, CircularBuffer* const* views,
                            PartialResultItem* item, int32_t backwards);

// The shared table: entry 2s + b is the metric of unsigned soft value s when
// bit b was sent, never below -20.
const int16_t* partialMetricPairs();
// Rise score of correlating `window` (count unsigned soft values) with
// `bits` (count predicted bits, 255 unknown). minIndex/maxIndex may be null.
int32_t partialRiseScore(const uint8_t* window, const uint8_t* bits, int32_t count,
                         int32_t* minIndex, int32_t* maxIndex);

// ---- items and lists ----

PartialResultItem* createPartialResultItem(int32_t positionCount);
void deletePartialResultItem(PartialResultItem* item);
void clearPartialResultItem(PartialResultItem* item);
int32_t isPartialResultHit(const PartialResultItem* item);
void markPartialResultPending(PartialResultItem* item);

// Fills `list` with `length` (at least 1) empty items; 1, or 0 with nothing
// kept when memory runs out. `options` holds kListOptionCount values or is
// null.
int32_t createPartialResultList(PartialResultList* list, int32_t length,
                                int32_t positionCount, const int64_t* options);
void deletePartialResultList(PartialResultList* list);
void clearPartialResultList(PartialResultList* list);
// Stores the non-negative options; 1, or 0 for a null list.
int32_t setPartialResultListOptions(PartialResultList* list, const int64_t* options);
int32_t countPartialResultHits(const PartialResultList* list);
// The first empty item, doubling the list when none is; null only when
// memory runs out.
PartialResultItem* newPartialResultItem(PartialResultList* list);
int32_t mergePartialResults(PartialResultList* list);
// Clears `result`, then publishes at most one hit item into it at time t
// (ms), in list order:
//   1. an item whose stop is final and lies publishDelay or more before t is
//      published and cleared;
//   2. with maxListeningDuration > 0, an item that started at least
//      maxListeningDuration + publishDelay before t is cut at t -
//      publishDelay: the result ends there (stop final), the item goes on
//      from there (start final 2) and nCodewords is shared in proportion;
//   3. otherwise the item that stops latest is published and kept, its stop
//      reported as not final.
// `scheme` (with the context index in bits 24..31) selects the sequence
// form (firstCodeword / timeSeqStart) for scheme 15. Returns the item, or
// null. `falsePositive` (may be null) receives vorselTResultFalsePositive of
// the published result (0 when nothing was published).
PartialResultItem* publishVorselTResults(PartialResultList* list, VorselTResult* result,
                                         int64_t t, int32_t scheme,
                                         int32_t* falsePositive = nullptr);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_PARTIAL_SEARCH_H_
