#include "core/decoder/performance_data.h"

#include <cstdlib>

namespace tembrolexinsdk {

PerformanceData* performanceDataReset(PerformanceData* data) {
  if (!data) return data;
  performanceDataResetSig(data);
  performanceDataResetMsg(data);
  return data;
}

void performanceDataResetN(PerformanceData* data, int32_t count) {
  if (!data) return;
  for (int32_t i = 0; i < count; ++i) performanceDataReset(&data[i]);
}

void performanceDataResetSig(PerformanceData* data) {
  if (!data) return;
  data->syncState = -1;
  data->meanSignalStrength = -1;
  data->meanVolume = -1;
  data->currentSignalStrength = -1;
  data->currentVolume = -1;
  data->bitSlicePosSig = -1;
  data->sigConfidence = 0;
  data->sigScheme = -1;
}

void performanceDataResetMsg(PerformanceData* data) {
  if (!data) return;
  data->msg = -1;
  data->nFecErrors = -1;
  data->msgSignalStrength95pc = -1;
  data->msgVolume = -1;
  data->bitSlicePosMsg = -1;
  data->cwSampleNo = -1;
  data->msgConfidence = 0;
  data->msgScheme = -1;
}

int32_t performanceDataHasMessage(const PerformanceData* data) {
  return (data && data->msg >= 0 && data->nFecErrors >= 0) ? 1 : 0;
}

void copyPerformanceData(const PerformanceData* source, PerformanceData* destination) {
  if (!source || !destination) return;
  *destination = *source;
}

void copyPerformanceDataN(const PerformanceData* source, PerformanceData* destination,
                          int32_t count) {
  if (!source || !destination) return;
  for (int32_t i = 0; i < count; ++i) destination[i] = source[i];
}

void copyPerformanceDataSig(const PerformanceData* source, PerformanceData* destination) {
  if (!source || !destination) return;
  destination->syncState = source->syncState;
  destination->meanSignalStrength = source->meanSignalStrength;
  destination->meanVolume = source->meanVolume;
  destination->currentSignalStrength = source->currentSignalStrength;
  destination->currentVolume = source->currentVolume;
  destination->bitSlicePosSig = source->bitSlicePosSig;
  destination->sigConfidence = source->sigConfidence;
  destination->sigScheme = source->sigScheme;
  if (destination->msgConfidence == 0) destination->msgConfidence = source->msgConfidence;
}

void copyPerformanceDataMsg(const PerformanceData* source, PerformanceData* destination) {
  if (!source || !destination) return;
  destination->msg = source->msg;
  destination->nFecErrors = source->nFecErrors;
  destination->msgSignalStrength95pc = source->msgSignalStrength95pc;
  destination->msgVolume = source->msgVolume;
  destination->bitSlicePosMsg = source->bitSlicePosMsg;
  destination->cwSampleNo = source->cwSampleNo;
  destination->msgConfidence = source->msgConfidence;
  destination->msgScheme = source->msgScheme;
}

int32_t getBestSig(PerformanceData* best, const PerformanceData* candidate) {
  if (!best || !candidate) return 0;
  const int32_t b = best->syncState;
  const int32_t c = candidate->syncState;
  bool replace;
  if (b == c) {
    replace = candidate->meanSignalStrength > best->meanSignalStrength;
  } else {
    // Ranking 1 > 2 > 0 > -1; a best of 1 (or an unknown state) stays.
    replace = b == -1 || (b == 2 && c == 1) || (b == 0 && c != -1);
  }
  if (replace) copyPerformanceDataSig(candidate, best);
  return replace ? 1 : 0;
}

int32_t getBestMsg(PerformanceData* best, const PerformanceData* candidate) {
  if (!best || !candidate || !performanceDataHasMessage(candidate)) return 0;
  bool replace = !performanceDataHasMessage(best) ||
                 candidate->nFecErrors < best->nFecErrors ||
                 (candidate->nFecErrors == best->nFecErrors &&
                  candidate->msgSignalStrength95pc > best->msgSignalStrength95pc);
  if (replace) copyPerformanceDataMsg(candidate, best);
  return replace ? 1 : 0;
}

void getBestPerformanceData(PerformanceData* best, const PerformanceData* candidate) {
  getBestMsg(best, candidate);
  getBestSig(best, candidate);
}

void getBestPerformanceDataN(PerformanceData* best, const PerformanceData* candidate,
                             int32_t count) {
  if (!best || !candidate) return;
  for (int32_t i = 0; i < count; ++i) getBestPerformanceData(&best[i], &candidate[i]);
}

void incrementCwSampleNo(PerformanceData* data, int32_t count, int32_t increment) {
  if (!data) return;
  for (int32_t i = 0; i < count; ++i) {
    if (data[i].msg < 0) continue;
    int64_t value = static_cast<int64_t>(data[i].cwSampleNo) + increment;
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    data[i].cwSampleNo = static_cast<int32_t>(value);
  }
}

void clearVorselTResult(VorselTResult* result) {
  if (!result) return;
  result->encoderID = -1;
  result->firstCodeword = -1;
  result->startTimeFinal = false;
  result->stopTimeFinal = false;
}

int32_t vorselTResultFalsePositive(const VorselTResult* result) {
  if (!result) return 0;
  // Only the scheme id bits: the context index sits in bits 24..31.
  int64_t q = result->metricInit;
  if ((result->encodingScheme & 0xFFFFFF) == 18) q -= 15;
  if (result->nCodewords > 0) return 0;
  if (q > 149 || result->metricNMerge > 2) return 0;
  int64_t span;
  if (__builtin_sub_overflow(result->stopTime, result->startTime, &span)) {
    span = result->stopTime > result->startTime ? INT64_MAX : INT64_MIN;
  }
  if (q < 111 || span < 5001) return 1;
  if (span <= 15000 && 115000 - 23 * span >= 9000 * q - 1341000) return 1;
  return 0;
}

CandidateStations* createCandidateStations(int32_t capacity) {
  if (capacity < 0) return nullptr;
  CandidateStations* list = static_cast<CandidateStations*>(calloc(1, sizeof(CandidateStations)));
  if (!list) return nullptr;
  if (capacity > 0) {
    list->entries =
        static_cast<CandidateStation*>(calloc(static_cast<size_t>(capacity), sizeof(CandidateStation)));
    if (!list->entries) {
      free(list);
      return nullptr;
    }
  }
  list->capacity = capacity;
  return list;
}

void deleteCandidateStations(CandidateStations* list) {
  if (!list) return;
  free(list->entries);
  free(list);
}

int32_t addCandidateStation(CandidateStations* list, int32_t stationId, int64_t lagMs) {
  if (!list || !list->entries || list->count < 0 || list->count >= list->capacity) return 0;
  CandidateStation& entry = list->entries[list->count++];
  entry = CandidateStation{};
  entry.stationId = stationId;
  entry.lagMs = lagMs;
  return 1;
}

int32_t addCodewordSequence(CandidateStations* list, int64_t firstCodeword,
                            int32_t codewordCount) {
  if (!list || !list->entries || list->count < 0 || list->count >= list->capacity) return 0;
  CandidateStation& entry = list->entries[list->count++];
  entry = CandidateStation{};
  entry.firstCodeword = firstCodeword;
  entry.codewordCount = codewordCount;
  entry.offset = 0;
  return 1;
}

const CandidateStation* getCodewordSequence(const CandidateStations* list, int64_t codeword) {
  if (!list || !list->entries) return nullptr;
  const int32_t count = list->count < list->capacity ? list->count : list->capacity;
  for (int32_t i = 0; i < count; ++i) {
    const CandidateStation& entry = list->entries[i];
    if (codeword < entry.firstCodeword || entry.codewordCount <= 0) continue;
    const uint64_t distance =
        static_cast<uint64_t>(codeword) - static_cast<uint64_t>(entry.firstCodeword);
    if (distance < static_cast<uint64_t>(entry.codewordCount)) return &entry;
  }
  return nullptr;
}

}  // namespace tembrolexinsdk
