// The partial-codeword decoder: the entry points through which the audio
// processors use the decoding core.
//
// It wraps one decoder library context (decoder_library.h). For every scheme
// that is a partial-codeword scheme (13, 15, 16, 18) it keeps a search record:
// two partial-search stages (partial_search.h), a list of pending results, a
// list of anchors made from fully decoded code words and views of the
// channel's soft-symbol history. Each block runs the library, turns decoded
// code words into anchors, runs the search over the newest history and
// publishes at most one VorselTResult per scheme. Pauses between blocks are
// filled with silence so that the search's time line stays continuous.
//
//   VorselTContext* ctx = TembrolexinVorselT_InitWithHistoryLength(config, 120);
//   TembrolexinVorselT_CandidateStations(ctx, stations);   // caller keeps it
//   std::vector<PerformanceData> perf(TembrolexinVorselT_NEncodingSchemes(ctx));
//   std::vector<VorselTResult> found(perf.size());
//   TembrolexinVorselT_ProcessData(ctx, block, count, perf.data(), endMs,
//                                  found.data());          // per block
//   TembrolexinVorselT_Close(ctx);
//
// Options: 12 int32 values, each -1 when not given (indices below). Times are
// seconds and are clamped to one hour (persistence, gap fill, offsets,
// history length); the result-list values are 64-bit milliseconds inside.
//
// Ownership: the context owns the library context and its search records.
// Candidate lists are borrowed: the caller keeps them alive until it has
// replaced them or closed the context. Block and result arrays hold one
// record per configured scheme.
//
// Thread safety: a context is used by one thread at a time (the audio
// processor's worker); nothing here locks or starts threads.
#ifndef TL_CORE_DECODER_VORSELT_DECODER_H_
#define TL_CORE_DECODER_VORSELT_DECODER_H_

#include <cstdint>

#include "core/decoder/decoder_library.h"
#include "core/decoder/partial_search.h"
#include "core/decoder/performance_data.h"

namespace tembrolexinsdk {

// Indices of the options array.
enum VorselTOption : int32_t {
  kOptPersistence = 0,
  kOptGapFill = 1,
  kOptMaxOffsetPast = 2,
  kOptMaxOffsetFuture = 3,
  kOptRiseThreshold = 4,
  kOptMaxOffsetPastCW = 5,
  kOptMaxOffsetFutureCW = 6,
  kOptRiseThresholdCW = 7,
  kOptTimeShiftThreshold = 8,
  kOptPublishDelay = 9,
  kOptMaxListeningDuration = 10,
  kOptFastReaction = 11,
  kVorselTOptionCount = 12,
};

// Default history length when none is given: ten minutes.
constexpr int64_t kDefaultHistorySeconds = 600;
// Longest history length accepted: one hour.
constexpr int64_t kMaxHistorySeconds = 3600;
// Longest stretch of silence fed in one piece while filling a gap.
constexpr int64_t kMaxGapChunkMs = 10000;

struct PartialSearchRecord {
  DecoderLibraryContext* library;
  int32_t schemeIndex;
  const CandidateStations* candidates;  // borrowed, may be null
  PartialSearchStage* stageA;
  PartialSearchStage* stageB;
  CircularBuffer** historyViews;        // one array of P rings per band
  int32_t bandCount;
  int32_t historySlots;                 // slots of the views
  PartialResultList results;
  PartialResultList anchors;
};

struct VorselTContext {
  DecoderLibraryContext* library;
  int32_t schemeCount;
  PartialSearchRecord** searches;       // schemeCount, null for other schemes
  int16_t* silence;
  int32_t silenceCapacity;              // samples
  int32_t gapPending;
  int64_t lastTime;                     // ms of the previous block, 0 first
  int64_t lastDelta;                    // ms between the last two blocks
  PerformanceData* savedPerformance;    // schemeCount
  int64_t historySeconds;               // the history length asked for
  int64_t gapSamplesFilled;             // silence fed so far (diagnostics)
};

// Converts an options array (or null) into the six values of stage A and of
// stage B and the three of the result list (seconds to milliseconds,
// clamped; without an array every value is -1).
void convertVorselTOptions(const int32_t* options, int32_t* stageA, int32_t* stageB,
                           int64_t* list);

extern "C" {

VorselTContext* TembrolexinVorselT_Init(const char* config);
// History length in seconds; negative means the default of ten minutes.
VorselTContext* TembrolexinVorselT_InitWithHistoryLength(const char* config,
                                                         int64_t historySeconds);
// Options all -1 except FastReaction = 1.
VorselTContext* TembrolexinVorselT_InitFastReaction(const char* config);
// The common body: `options` holds kVorselTOptionCount values or is null.
VorselTContext* TembrolexinVorselT_InitWithOptions(const char* config, int64_t historySeconds,
                                                   const int32_t* options);
void TembrolexinVorselT_Close(VorselTContext* context);

// Station hints for every scheme but the sequence scheme 15; code-word
// ranges for scheme 15. Null clears the list.
void TembrolexinVorselT_CandidateStations(VorselTContext* context,
                                          const CandidateStations* stations);
void TembrolexinVorselT_CodewordSequences(VorselTContext* context,
                                          const CandidateStations* sequences);

// Runs one block ending at `timeMs` (null samples: a flush that fills the
// pause with silence). `performance` (required) and `results` (may be null)
// hold one record per scheme. Returns msg of the first scheme's record, -1
// for bad arguments, -999 when memory runs out.
int64_t TembrolexinVorselT_ProcessData(VorselTContext* context, int16_t* samples, int32_t count,
                                       PerformanceData* performance, int64_t timeMs,
                                       VorselTResult* results);
// Publishes everything pending; returns the number of results published.
// When nothing was pending the history and the anchors are forgotten.
int32_t TembrolexinVorselT_FlushResults(VorselTContext* context, VorselTResult* results,
                                        int64_t timeMs);
// 1 when any scheme holds an unpublished result or anchor.
int32_t TembrolexinVorselT_resultsUnpublished(const VorselTContext* context);
// Applies options to scheme `index`, or to every scheme with -1.
void TembrolexinVorselT_setOptions(VorselTContext* context, int32_t index, const int32_t* options);

int32_t TembrolexinVorselT_GetSchemeInfo(const VorselTContext* context, int32_t index,
                                         EncodingSchemeInfo* info);
int32_t TembrolexinVorselT_FsIn(const VorselTContext* context);
int32_t TembrolexinVorselT_NEncodingSchemes(const VorselTContext* context);
const char* TembrolexinVorselT_GetErrorMsg(void);

}  // extern "C"

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_VORSELT_DECODER_H_
