#include "core/decoder/detection.h"

#include <stdlib.h>
#include <string.h>

#include "core/decoder/codeword_layouts.h"

namespace tembrolexinsdk {
namespace {

inline int32_t absSymbol(int8_t s) { return s < 0 ? -static_cast<int32_t>(s) : s; }

// Index of the first largest of n values (n >= 1).
int32_t firstMaximum(const int32_t* values, int32_t n) {
  int32_t best = 0;
  for (int32_t i = 1; i < n; ++i) {
    if (values[i] > values[best]) best = i;
  }
  return best;
}

// 1 when (x, y) lies below the curve's segment that covers x. A curve of one
// point is the horizontal line through it.
bool belowCurve(const SchemeCurve& curve, int32_t x, int32_t y) {
  if (curve.count == 1) return y < curve.points[0].y;
  int32_t i = 0;
  while (curve.count - 1 - i > 1 && curve.points[i + 1].x < x) ++i;
  const CurvePoint& p0 = curve.points[i];
  const CurvePoint& p1 = curve.points[i + 1];
  // 64-bit products: the same result as 32-bit ones wherever those do not
  // overflow, and no undefined behaviour where they would.
  const int64_t lhs = static_cast<int64_t>(p1.y - p0.y) * (static_cast<int64_t>(x) - p0.x);
  const int64_t rhs = (static_cast<int64_t>(y) - p0.y) * static_cast<int64_t>(p1.x - p0.x);
  return lhs > rhs;
}

bool curveValid(const SchemeCurve& curve) {
  return curve.count == 0 || (curve.count > 0 && curve.points != nullptr);
}

// cur - e phase difference brought into -N/2 .. N/2.
int32_t phaseDifference(int32_t a, int32_t b, int32_t n) {
  int32_t d = a - b;
  if (n <= 0) return d;
  d %= n;
  if (d > n / 2) d -= n;
  if (d < -(n / 2)) d += n;
  return d;
}

// Whether `older`, attempted k code words before `cur`, carries the word that
// the scheme's transmitter sent k words before cur's.
bool relationHolds(int32_t scheme, int64_t cur, int64_t older, int32_t k) {
  switch (scheme) {
    case kSchemeVorselT:
    case kSchemeVorselTW:
      return getNextVorselTvCodeWord(cur, -k) == older;
    case kSchemeConsumerH8:
      return cur - k == older;
    case kSchemeConsumerS4:
      return getNextHeartbeat2CodeWord(cur, -k) == older;
    case kSchemeVorselC: {
      const VorselCodewordFields c = interpretVorselCodeWord(cur, 0);
      const VorselCodewordFields e = interpretVorselCodeWord(older, 0);
      if (!c.valid || !e.valid) return false;
      if (e.stationLow < 0 || c.stationLow != e.stationLow) return false;
      if (c.stationHigh >= 0 && e.stationHigh >= 0 && c.stationHigh != e.stationHigh) {
        return false;
      }
      if (c.minutesLow >= 0 && e.minutesLow >= 0) {
        int32_t d = c.minutesLow - e.minutesLow;
        if (d < 0) d += 1024;
        const int32_t want = k / 2;
        if (d < want - 1 || d > want + 1) return false;
      }
      if (c.minutesHigh >= 0 && e.minutesHigh >= 0 && c.minutesHigh != e.minutesHigh) {
        return false;
      }
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Detector.

int32_t detectorShiftFor(int32_t framesPerCodeword) {
  if (framesPerCodeword < 105) return 3;
  int32_t shift = 3;
  int32_t f = framesPerCodeword / 7;
  int32_t before;
  do {
    ++shift;
    before = f;
    f /= 2;
  } while (before > 29);
  return shift;
}

Detector* detectorCreate(const SchemeConfig* config) {
  if (config == nullptr || config->phaseCount < 2 || config->positionCount < 1) return nullptr;
  const int32_t frames = schemeFramesPerCodeword(config);
  if (frames < 1) return nullptr;
  Detector* d = static_cast<Detector*>(calloc(1, sizeof(Detector)));
  if (d == nullptr) return nullptr;
  d->config = config;
  d->phaseCount = config->phaseCount;
  d->framesPerCodeword = frames;
  d->positionCount = config->positionCount;
  d->bandCount = schemeBandCount(config);
  d->averages = static_cast<int32_t*>(calloc(d->phaseCount, sizeof(int32_t)));
  d->sums = static_cast<int32_t*>(calloc(d->phaseCount, sizeof(int32_t)));
  if (d->averages == nullptr || d->sums == nullptr) {
    detectorFree(d);
    return nullptr;
  }
  d->shift = detectorShiftFor(frames);
  return d;
}

void detectorFree(Detector* detector) {
  if (detector == nullptr) return;
  free(detector->averages);
  free(detector->sums);
  free(detector);
}

void detectorClearSums(Detector* detector) {
  if (detector == nullptr) return;
  memset(detector->sums, 0, sizeof(int32_t) * detector->phaseCount);
}

int32_t detectorProcess(Detector* d, MatchedFilter* const* filters, int32_t steps,
                        int32_t bandCount, PerformanceData* data, const int16_t* frame) {
  if (d == nullptr || filters == nullptr || steps < 1 || bandCount < 1 || frame == nullptr) {
    return 0;
  }
  const int32_t n = d->phaseCount;
  const int32_t perStep = d->positionCount * d->bandCount;
  const int32_t divisor = perStep > 0 ? perStep : 1;
  int32_t decisions = 0;
  for (int32_t t = 0; t < steps; ++t) {
    const int32_t back = steps - 1 - t;
    int32_t e = 0;
    int32_t leaving = 0;
    for (int32_t b = 0; b < bandCount; ++b) {
      const MatchedFilter* f = filters[b];
      if (f == nullptr) continue;
      for (int32_t i = 0; i < f->positionCount; ++i) {
        e += absSymbol(CircularBufferCharAt(&f->softSymbols[i], back + f->align[i]));
      }
      leaving += frame[t * bandCount + b];
    }
    const int32_t e16 = static_cast<int16_t>(e);
    int32_t& sum = d->sums[d->phase];
    sum = static_cast<int32_t>(static_cast<uint32_t>(sum) + static_cast<uint32_t>(e16) +
                               static_cast<uint32_t>(leaving));
    int32_t& avg = d->averages[d->phase];
    avg = avg + (e16 >> d->shift) - (avg >> d->shift);

    int32_t decisionCheck = d->decisionPhase + n / 2;
    decisionCheck %= n;
    if (d->phase == decisionCheck) {
      d->bestAveragePhase = firstMaximum(d->averages, n);
      d->bestAverage = d->averages[d->bestAveragePhase] / divisor;
      d->bestSumPhase = firstMaximum(d->sums, n);
      d->bestSum = d->sums[d->bestSumPhase] / divisor;
      d->decisionPhase = d->bestSumPhase;
    }
    if (d->phase == d->decisionPhase) ++decisions;

    if (++d->phase >= n) {
      d->phase = 0;
      if (data != nullptr) {
        const SchemeConfig* c = d->config;
        if (d->bestAverage <= c->syncThresholds[0]) {
          data->syncState = 0;
        } else if (d->bestAverage <= c->syncThresholds[1]) {
          data->syncState = 2;
        } else {
          data->syncState = 1;
        }
        data->currentSignalStrength = static_cast<int16_t>(d->bestAverage);
        data->meanSignalStrength = static_cast<int16_t>(d->bestSum / d->framesPerCodeword);
        data->bitSlicePosSig = static_cast<int16_t>(d->decisionPhase);
        data->sigScheme = c->scheme;
      }
    }
  }
  return decisions;
}

// ---------------------------------------------------------------------------
// 95 % strength.

SymbolStatistics* symbolStatisticsCreate(const SchemeConfig* config) {
  if (config == nullptr) return nullptr;
  const int64_t total = static_cast<int64_t>(schemeFramesPerCodeword(config)) *
                        config->positionCount * schemeBandCount(config);
  if (total < 20 || total > INT32_MAX) return nullptr;
  SymbolStatistics* s = static_cast<SymbolStatistics*>(calloc(1, sizeof(SymbolStatistics)));
  if (s == nullptr) return nullptr;
  s->total = static_cast<int32_t>(total);
  s->rank = s->total / 20;
  s->largest = static_cast<int16_t*>(calloc(s->rank, sizeof(int16_t)));
  if (s->largest == nullptr) {
    free(s);
    return nullptr;
  }
  return s;
}

void symbolStatisticsFree(SymbolStatistics* statistics) {
  if (statistics == nullptr) return;
  free(statistics->largest);
  free(statistics);
}

int32_t symbolStrength95(SymbolStatistics* s, const int8_t* symbols) {
  if (s == nullptr || symbols == nullptr || s->rank < 1) return -1;
  const int32_t k = s->rank;
  int16_t* list = s->largest;
  for (int32_t j = 0; j < s->total; ++j) {
    const int16_t m = static_cast<int16_t>(absSymbol(symbols[j]));
    int32_t at = j < k ? j : k;
    while (at > 0 && m > list[at - 1]) --at;
    if (at < k) {
      const int32_t last = (j < k ? j : k - 1);  // last slot that receives a value
      for (int32_t x = last; x > at; --x) list[x] = list[x - 1];
      list[at] = m;
    }
  }
  return list[k - 1];
}

// ---------------------------------------------------------------------------
// Acceptance.

int32_t gradeAgainstCurves(const CurvePair* curves, int32_t x, int32_t y) {
  if (curves == nullptr || curves->high.count < 1 || curves->high.points == nullptr) return 4;
  if (!belowCurve(curves->high, x, y)) return 1;
  if (curves->low.count < 1 || curves->low.points == nullptr) return 4;
  return belowCurve(curves->low, x, y) ? 3 : 2;
}

AcceptanceState* acceptanceCreate(const SchemeConfig* config) {
  if (config == nullptr || !curveValid(config->messageCurves.high) ||
      !curveValid(config->messageCurves.low) || !curveValid(config->signalCurves.high) ||
      !curveValid(config->signalCurves.low)) {
    return nullptr;
  }
  AcceptanceState* a = static_cast<AcceptanceState*>(calloc(1, sizeof(AcceptanceState)));
  if (a == nullptr) return nullptr;
  a->period = schemeFramesPerCodeword(config) / 2;
  a->messageCurves = config->messageCurves;
  a->signalCurves = config->signalCurves;
  return a;
}

void acceptanceFree(AcceptanceState* state) { free(state); }

void acceptanceApply(AcceptanceState* a, PerformanceData* data) {
  if (a == nullptr || data == nullptr) return;
  data->sigConfidence = 0;
  int32_t messageGrade = 4;  // a word reported from the history keeps its grade
  if (data->msgConfidence != 4) {
    data->msgConfidence = 0;
    messageGrade = 0;
    if (data->msg >= 0) {
      messageGrade = gradeAgainstCurves(&a->messageCurves, data->msgVolume,
                                        data->msgSignalStrength95pc);
      data->msgConfidence = messageGrade;
      a->lastMessageConfidence = messageGrade;
    }
  }
  if (data->meanSignalStrength < 0) return;
  if (++a->counter >= a->period) {
    data->sigConfidence =
        gradeAgainstCurves(&a->signalCurves, data->meanVolume, data->meanSignalStrength);
    if (messageGrade != 4) data->msgConfidence = a->lastMessageConfidence;
    a->lastMessageConfidence = 0;
    a->counter = 0;
  }
}

// ---------------------------------------------------------------------------
// Result history.

namespace {

const ResultHistoryEntry kEmptyEntry = {-1, kHistoryNothing, 0xFFFFFFFFu, -1, -1};

inline int32_t slotBack(const ResultHistory* h, int32_t back) {
  int32_t slot = h->newest - back;
  if (slot < 0) slot += h->capacity;
  return slot;
}

}  // namespace

ResultHistory* resultHistoryCreate(const SchemeConfig* config) {
  if (config == nullptr) return nullptr;
  const int32_t frames = schemeFramesPerCodeword(config);
  if (frames < 1 || frames > INT32_MAX / 5) return nullptr;
  ResultHistory* h = static_cast<ResultHistory*>(calloc(1, sizeof(ResultHistory)));
  if (h == nullptr) return nullptr;
  h->config = config;
  h->capacity = 5 * frames;
  h->entries =
      static_cast<ResultHistoryEntry*>(malloc(sizeof(ResultHistoryEntry) * h->capacity));
  if (h->entries == nullptr) {
    free(h);
    return nullptr;
  }
  for (int32_t i = 0; i < h->capacity; ++i) h->entries[i] = kEmptyEntry;
  h->newest = h->capacity - 1;
  h->lookBack = 4;
  h->codeWordTime = frames;
  h->symbolSamples = quarterMsToSamples(config->symbolDuration, schemeBandRate(config, 0));
  h->phaseCount = config->phaseCount;
  h->binaryCode = config->codec.bitsPerSymbol == 1 ? 1 : 0;
  return h;
}

void resultHistoryFree(ResultHistory* history) {
  if (history == nullptr) return;
  free(history->entries);
  free(history);
}

void resultHistoryAdvance(ResultHistory* h, int32_t samples) {
  if (h == nullptr || samples < 1) return;
  h->inputSamples += samples;
  const int64_t rate = h->config->rateCode;
  const int64_t bands = schemeBandCount(h->config);
  if (rate < 1 || bands < 1) return;
  h->clock = (rate / bands) * h->inputSamples / rate;
}

const ResultHistoryEntry* resultHistoryEntry(const ResultHistory* h, int32_t back) {
  if (h == nullptr || back < 0 || back >= h->capacity) return nullptr;
  return &h->entries[slotBack(h, back)];
}

void resultHistoryAdd(ResultHistory* h, int32_t offset, int32_t phase,
                      const CodewordDecodeResult* result) {
  if (h == nullptr || result == nullptr) return;
  ResultHistoryEntry entry;
  entry.value = static_cast<int64_t>(result->value);
  entry.mask = result->errorMask;
  entry.phase = phase;
  entry.position = h->clock - offset;
  if (entry.value >= 0 && result->errors >= 0) {
    entry.state = kHistoryAccepted;
  } else if (result->errors == -1 && result->errorMask != 0xFFFFFFFFu && !h->binaryCode) {
    // Rejected by itself, but the Reed-Solomon decoder got far enough to say
    // which symbols it would have corrected: a candidate for confirmation.
    // A failed syndrome check of the binary code says nothing of the kind
    // (its mask is always 0), and confirming such words between nearly
    // equal neighbours would turn misaligned attempts into reported words.
    entry.state = kHistoryWeak;
  } else {
    entry.state = kHistoryNothing;
  }
  h->newest = h->newest + 1 >= h->capacity ? 0 : h->newest + 1;
  ResultHistoryEntry& cur = h->entries[h->newest];
  cur = entry;
  if (cur.state == kHistoryNothing) return;

  const int32_t f = h->codeWordTime;
  const int32_t half = h->symbolSamples / 2;
  const int32_t n = h->phaseCount;
  for (int32_t k = 1; k <= h->lookBack; ++k) {
    const int64_t expected = cur.position - static_cast<int64_t>(k) * f * h->symbolSamples;
    int32_t back = k * f;
    if (back >= h->capacity) back = h->capacity - 1;
    while (h->entries[slotBack(h, back)].position < expected - half && back > f / 2) --back;
    while (h->entries[slotBack(h, back)].position > expected + half &&
           back < h->capacity - f / 2) {
      ++back;
      if (back >= h->capacity) {
        back = h->capacity - 1;
        break;
      }
    }
    for (int32_t c = back - 1; c <= back + 1; ++c) {
      if (c < 1 || c >= h->capacity) continue;
      ResultHistoryEntry& e = h->entries[slotBack(h, c)];
      if (e.state == kHistoryNothing) continue;
      if (e.state != kHistoryWeak && cur.state != kHistoryWeak) continue;
      const int32_t d = phaseDifference(cur.phase, e.phase, n);
      if (d > 2 * k || d < -2 * k) continue;
      if (!relationHolds(h->config->scheme, cur.value, e.value, k)) continue;
      if (e.state == kHistoryWeak) e.state = kHistoryConfirmed;
      if (cur.state == kHistoryWeak) cur.state = kHistoryConfirmed;
    }
  }
}

int32_t resultHistoryReport(ResultHistory* h, PerformanceData* data) {
  if (h == nullptr || data == nullptr) return 0;
  for (int32_t back = h->capacity - 1; back >= 0; --back) {
    ResultHistoryEntry& e = h->entries[slotBack(h, back)];
    if (e.state != kHistoryConfirmed) continue;
    const int32_t f = h->codeWordTime;
    const uint32_t mask =
        f >= 32 ? e.mask : (f <= 0 ? 0u : (e.mask & ((1u << f) - 1u)));
    data->msg = e.value;
    data->msgConfidence = 4;
    data->msgScheme = h->config->scheme;
    data->msgSignalStrength95pc = 0;
    data->nFecErrors = static_cast<int16_t>(__builtin_popcount(mask));
    data->bitSlicePosMsg = static_cast<int16_t>(e.phase);
    const int64_t since = h->clock - e.position;
    data->cwSampleNo = since > INT32_MAX ? INT32_MAX : static_cast<int32_t>(since);
    e.state = kHistoryAccepted;
    return 1;
  }
  return 0;
}

}  // namespace tembrolexinsdk
