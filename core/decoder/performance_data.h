// Plain records that the decoding core reports to its callers:
// PerformanceData (one per scheme and block: signal measurements and the best
// code word), VorselTResult (one per scheme and block: a code word found by
// the partial-codeword search) and CandidateStations (a bounded list of
// station hints or code-word ranges that the caller fills for that search),
// with the small operations on them.
//
// A negative value means "not set" throughout, except for the confidences,
// whose "not set" value is 0. All functions accept null records and then do
// nothing (or return 0 / null).
//
// Thread safety: plain data; no locking.
#ifndef TL_CORE_DECODER_PERFORMANCE_DATA_H_
#define TL_CORE_DECODER_PERFORMANCE_DATA_H_

#include <cstdint>

namespace tembrolexinsdk {

struct PerformanceData {
  // Signal half.
  int32_t syncState;              // -1 none, 0, 1, 2 (1 best, then 2, then 0)
  int16_t meanSignalStrength;
  int16_t meanVolume;
  int16_t currentSignalStrength;
  int16_t currentVolume;
  int16_t bitSlicePosSig;
  int32_t sigConfidence;          // 0 unset, 1..4
  int32_t sigScheme;              // scheme id, context index in bits 24..31
  // Message half.
  int64_t msg;
  int16_t nFecErrors;
  int16_t msgSignalStrength95pc;
  int16_t msgVolume;
  int16_t bitSlicePosMsg;
  int32_t cwSampleNo;
  int32_t msgConfidence;          // 0 unset, 1..4
  int32_t msgScheme;
};

struct VorselTResult {
  int32_t encoderID;       // -1 when no station result
  int64_t timeShift;       // ms
  int64_t startTime;       // ms
  int64_t stopTime;        // ms
  bool startTimeFinal;
  bool stopTimeFinal;
  int32_t encodingScheme;  // scheme id, context index in bits 24..31
  int32_t metricInit;
  int32_t metricSum;
  int32_t metricNMerge;
  int32_t nCodewords;
  int64_t firstCodeword;   // -1 unless a scheme-15 result
  int64_t timeSeqStart;    // ms
};

// One entry of a CandidateStations list: either a station entry (stationId,
// lagMs) or a code-word range entry (firstCodeword, codewordCount, offset).
struct CandidateStation {
  int32_t stationId;
  int64_t lagMs;
  int64_t firstCodeword;
  int32_t codewordCount;
  int64_t offset;
};

struct CandidateStations {
  int32_t capacity;
  int32_t count;
  CandidateStation* entries;  // capacity entries, zeroed at creation
};

PerformanceData* performanceDataReset(PerformanceData* data);
void performanceDataResetN(PerformanceData* data, int32_t count);
void performanceDataResetSig(PerformanceData* data);
void performanceDataResetMsg(PerformanceData* data);
// 1 when msg and nFecErrors are both not negative.
int32_t performanceDataHasMessage(const PerformanceData* data);

void copyPerformanceData(const PerformanceData* source, PerformanceData* destination);
void copyPerformanceDataN(const PerformanceData* source, PerformanceData* destination,
                          int32_t count);
// Signal half; also msgConfidence when the destination's is 0.
void copyPerformanceDataSig(const PerformanceData* source, PerformanceData* destination);
void copyPerformanceDataMsg(const PerformanceData* source, PerformanceData* destination);

// 1 when the candidate's half replaced the best one's, else 0.
int32_t getBestSig(PerformanceData* best, const PerformanceData* candidate);
int32_t getBestMsg(PerformanceData* best, const PerformanceData* candidate);
// Message merge, then signal merge.
void getBestPerformanceData(PerformanceData* best, const PerformanceData* candidate);
void getBestPerformanceDataN(PerformanceData* best, const PerformanceData* candidate,
                             int32_t count);
// Adds increment to cwSampleNo of each record with msg >= 0 (saturating at
// the int32 limits).
void incrementCwSampleNo(PerformanceData* data, int32_t count, int32_t increment);

// encoderID and firstCodeword to -1, both final flags false; the rest stays.
void clearVorselTResult(VorselTResult* result);
// 1 when the result is to be dropped as a false positive. The 15-point
// allowance applies to scheme 18 whatever the context index in bits 24..31.
int32_t vorselTResultFalsePositive(const VorselTResult* result);

// New list of `capacity` zeroed entries, or null (also for capacity < 0).
CandidateStations* createCandidateStations(int32_t capacity);
void deleteCandidateStations(CandidateStations* list);
// 1 when appended, 0 when the list is full (or null).
int32_t addCandidateStation(CandidateStations* list, int32_t stationId, int64_t lagMs);
int32_t addCodewordSequence(CandidateStations* list, int64_t firstCodeword,
                            int32_t codewordCount);
// The first range entry with first <= codeword < first + count, or null.
const CandidateStation* getCodewordSequence(const CandidateStations* list, int64_t codeword);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_PERFORMANCE_DATA_H_
