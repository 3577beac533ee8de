#include "core/decoder/partial_search.h"

#include <cstdlib>
#include <cstring>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/encoding_schemes.h"

namespace tembrolexinsdk {

namespace {

// Longest window a stage accepts, in phase steps (keeps the correlator and
// window buffers bounded whatever the options say).
constexpr int64_t kMaxWindowSlots = int64_t{1} << 22;
// Most words one candidate may predict, and the largest range count.
constexpr int64_t kMaxPredictedWords = 1 << 16;
// Lags beyond this (about 35 000 years) are taken as this. A lag may be a
// whole date: stage B of the sequence scheme searches the time line whose
// zero is the start of its range's first word, in ms since 1970. Eight times
// the bound still leaves room in 64 bits for the sums built on it.
constexpr int64_t kMaxLagMs = int64_t{1} << 50;

int64_t floorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

uint8_t toUnsignedSoft(int32_t s) {
  int32_t v = 2 * s + 128;
  if (v < 0) v = 0;
  if (v > 255) v = 255;
  return static_cast<uint8_t>(v);
}

struct MetricPairs {
  int16_t values[512];
  MetricPairs() {
    const int16_t* m = softMetricTable();
    for (int s = 0; s < 256; ++s) {
      values[2 * s] = static_cast<int16_t>(m[s] < -20 ? -20 : m[s]);
      values[2 * s + 1] = static_cast<int16_t>(m[255 - s] < -20 ? -20 : m[255 - s]);
    }
  }
};

const MetricPairs& metricPairs() {
  static const MetricPairs pairs;
  return pairs;
}

// Running-sum correlation of `window` with predicted bits starting at
// predicted index `base`; indices outside 0 .. total-1 and bits of 255 are
// unknown and add 0. Minimum: latest index on ties; maximum: first.
int32_t riseCore(const uint8_t* window, const uint8_t* predicted, int64_t base, int64_t total,
                 int32_t count, int32_t* minIndexOut, int32_t* maxIndexOut) {
  const int16_t* pairs = metricPairs().values;
  int64_t lo = -base;
  if (lo < 0) lo = 0;
  if (lo > count) lo = count;
  int64_t hi = total - base;
  if (hi > count) hi = count;
  if (hi < lo) hi = lo;
  int32_t c = 0, minV = 0, maxV = 0;
  int32_t minI = -1, maxI = -1;
  // Leading unknown run: the sum stays at 0, which ties the minimum.
  if (lo > 0) minI = static_cast<int32_t>(lo - 1);
  const uint8_t* p = predicted + base;
  for (int32_t i = static_cast<int32_t>(lo); i < hi; ++i) {
    const uint8_t bit = p[i];
    if (bit <= 1) c += pairs[2 * window[i] + bit];
    if (c <= minV) {
      minV = c;
      minI = i;
    }
    if (c > maxV) {
      maxV = c;
      maxI = i;
    }
  }
  if (hi < count && c <= minV) minI = count - 1;
  if (minIndexOut != nullptr) *minIndexOut = minI;
  if (maxIndexOut != nullptr) *maxIndexOut = maxI;
  return maxI > minI ? maxV - minV : minV - maxV;
}

void stageDefaults(PartialSearchStage* s, int32_t scheme, bool stageB) {
  s->persistence = scheme == kSchemeConsumerS4 ? 6000 : (scheme == kSchemeConsumerH8 ? 3000 : 10000);
  s->gapFill = 10000;
  s->fastReaction = 0;
  if (isCodewordSequenceScheme(scheme) && !stageB) {
    // Stage A of the sequence scheme searches code-word ranges. Its stage B
    // refines around an anchor whose start is known to the word, so it
    // searches that one candidate time line in station mode, +-1 s.
    s->maxOffsetPastOption = -1;
    s->maxOffsetFutureOption = -1;
  } else {
    s->maxOffsetPastOption = stageB ? 1 : 31;
    s->maxOffsetFutureOption = stageB ? 1 : 10;
  }
  s->riseThreshold = stageB ? 10 : 100;
}

// The offsets in ms and the mode from the offset options: a negative past
// offset means range mode.
void applyOffsets(PartialSearchStage* s) {
  const uint8_t rangeMode = s->maxOffsetPastOption < 0 ? 1 : 0;
  const int32_t past = rangeMode ? 0 : s->maxOffsetPastOption * 1000;
  const int32_t future =
      rangeMode || s->maxOffsetFutureOption < 0 ? 0 : s->maxOffsetFutureOption * 1000;
  if (rangeMode != s->rangeMode || past != s->maxOffsetPast || future != s->maxOffsetFuture) {
    s->havePrevious = 0;  // the word times and shifts cached for a candidate
  }
  s->rangeMode = rangeMode;
  s->maxOffsetPast = past;
  s->maxOffsetFuture = future;
}

// Stores the non-negative options; 1 when persistence and fast reaction are
// unchanged.
int32_t applyOptions(PartialSearchStage* s, const int32_t* options) {
  if (options == nullptr) return 1;
  int32_t unchanged = 1;
  if (options[0] >= 0) {
    const int32_t v = static_cast<int32_t>(clamp64(options[0], 0, kMaxStageOptionMs));
    if (v != s->persistence) unchanged = 0;
    s->persistence = v;
  }
  if (options[1] >= 0) s->gapFill = static_cast<int32_t>(clamp64(options[1], 0, kMaxStageOptionMs));
  if (options[2] >= 0) {
    const int32_t v = options[2] != 0 ? 1 : 0;
    if (v != s->fastReaction) unchanged = 0;
    s->fastReaction = v;
  }
  if (options[3] >= 0) s->maxOffsetPastOption = static_cast<int32_t>(
      clamp64(options[3], 0, kMaxStageOffsetSeconds));
  if (options[4] >= 0) s->maxOffsetFutureOption = static_cast<int32_t>(
      clamp64(options[4], 0, kMaxStageOffsetSeconds));
  if (options[5] >= 0) s->riseThreshold = options[5];
  applyOffsets(s);
  return unchanged;
}

void freeOwnBuffers(PartialSearchStage* s) {
  free(s->window);
  free(s->predicted);
  free(s->positionIndex);
  free(s->alignPerPosition);
  free(s->place);
  free(s->rawWindow);
  free(s->wordBits);
}

// Window length, correlator and buffers from the options. `shared` is stage
// A's correlator that stage B may share, or null.
int32_t buildGeometry(PartialSearchStage* s, const PartialSearchStage* stageA) {
  const SchemeConfig* sc = s->scheme;
  s->positionCount = sc->positionCount;
  s->bandCount = schemeBandCount(sc);
  s->phaseCount = sc->phaseCount;
  s->symbolMs = sc->symbolDuration / 4;
  if (s->positionCount < 1 || s->bandCount < 1 || s->phaseCount < 1 || s->symbolMs < 1) return 0;
  s->phaseStep8 = (static_cast<int64_t>(s->symbolMs) * 8) / s->phaseCount;
  if (s->phaseStep8 < 1) return 0;
  s->channelBits = codewordChannelBitCount(&sc->codec);
  const int32_t pb = s->positionCount * s->bandCount;
  if (s->channelBits < 1) return 0;
  s->wordSymbols = (s->channelBits + pb - 1) / pb;
  s->wordStride = s->wordSymbols * pb;
  s->codewordMs = static_cast<int64_t>(s->wordSymbols) * s->symbolMs;
  s->alignSteps = matchedFilterAlignSteps(sc, schemeBandRate(sc, 0), 0);
  if (s->alignSteps < 0) s->alignSteps = 0;

  int64_t f = (2 * static_cast<int64_t>(s->persistence) + sc->symbolDuration / 8) / s->symbolMs;
  if (f < 1) f = 1;
  int64_t used = f;
  s->stepDivisor = 4;
  // Fast reaction shortens stage A's window only; stage B always searches
  // its own full window.
  if (s->fastReaction && stageA == nullptr) {
    used = (3 * f + 2) / 4;
    if (used < 1) used = 1;
    s->stepDivisor = 3;
  }
  const int64_t fullSlots = f * s->phaseCount;
  if (fullSlots > kMaxWindowSlots) return 0;
  s->windowSlots = static_cast<int32_t>(used * s->phaseCount);
  s->windowBits = static_cast<int32_t>(used * pb);
  applyOffsets(s);

  if (stageA != nullptr && !stageA->fastReaction && stageA->windowSlots == s->windowSlots &&
      stageA->history != nullptr) {
    s->history = stageA->history;
  } else {
    s->history = hammingCorrelatorCreate(sc, static_cast<int32_t>(fullSlots));
    if (s->history == nullptr) return 0;
    if (s->windowSlots < fullSlots) {
      // Keep the last windowSlots coefficients of the full window.
      memmove(s->history->window, s->history->window + (fullSlots - s->windowSlots),
              static_cast<size_t>(s->windowSlots) * sizeof(int32_t));
      s->history->windowLength = s->windowSlots;
    }
  }

  s->window = static_cast<uint8_t*>(calloc(static_cast<size_t>(s->windowBits), 1));
  s->rawWindow = static_cast<int8_t*>(calloc(static_cast<size_t>(s->windowBits), 1));
  s->positionIndex = static_cast<int32_t*>(calloc(static_cast<size_t>(s->positionCount), sizeof(int32_t)));
  s->alignPerPosition =
      static_cast<int32_t*>(calloc(static_cast<size_t>(s->positionCount), sizeof(int32_t)));
  s->place = static_cast<uint8_t*>(calloc(static_cast<size_t>(s->positionCount), 1));
  s->wordBits = static_cast<uint8_t*>(calloc(static_cast<size_t>(s->channelBits), 1));
  if (s->window == nullptr || s->rawWindow == nullptr || s->positionIndex == nullptr ||
      s->alignPerPosition == nullptr || s->place == nullptr || s->wordBits == nullptr) {
    return 0;
  }
  for (int32_t j = 0; j < s->positionCount; ++j) {
    s->alignPerPosition[j] = matchedFilterAlignSteps(sc, schemeBandRate(sc, 0), j);
    int32_t place = j;
    if (sc->positionOrders != nullptr && sc->positionOrderCount > 0) place = sc->positionOrders[j];
    if (place < 0 || place >= s->positionCount) place = j;
    s->place[j] = static_cast<uint8_t>(place);
  }
  s->cursor = 0;
  s->lastTime = 0;
  s->candidateIndex = -1;
  s->currentItem = nullptr;
  s->havePrevious = 0;
  return 1;
}

int32_t hasGenerator(const PartialSearchStage* s) {
  return s->generator != nullptr && s->generator->algorithm != kMsgAlgoPlain;
}

int64_t stepWord(const PartialSearchStage* s, int64_t word, int32_t step) {
  if (word < 0) return -1;
  if (!hasGenerator(s)) {
    const int64_t next = word + step;
    return next < 0 ? -1 : next;
  }
  if (s->generator->algorithm == kMsgAlgoHeartbeat) return getNextHeartbeat2CodeWord(word, step);
  return getNextVorselTvCodeWord(word, step);
}

// Encodes `word` into wordBits; 0 when the word is unknown.
int32_t encodeWord(PartialSearchStage* s, int64_t word) {
  if (word < 0) return 0;
  return encodeCodeword(s->codec, static_cast<uint64_t>(word), s->wordBits) > 0 ? 1 : 0;
}

// Predicted bit of symbol f, band b, position j of the word in wordBits.
inline uint8_t wordBit(const PartialSearchStage* s, int32_t f, int32_t b, int32_t j) {
  const int32_t pb = s->positionCount * s->bandCount;
  const int32_t idx = f * pb + b * s->positionCount + s->place[j];
  return idx < s->channelBits ? s->wordBits[idx] : kUnknownBit;
}

// Lays the word in wordBits (or an unknown word) out at predicted word `w`.
void layWord(PartialSearchStage* s, int32_t w, int32_t known) {
  uint8_t* out = s->predicted + static_cast<int64_t>(w) * s->wordStride;
  if (!known) {
    memset(out, kUnknownBit, static_cast<size_t>(s->wordStride));
    return;
  }
  const int32_t p = s->positionCount;
  int32_t i = 0;
  for (int32_t f = 0; f < s->wordSymbols; ++f)
    for (int32_t b = 0; b < s->bandCount; ++b)
      for (int32_t j = 0; j < p; ++j) out[i++] = wordBit(s, f, b, j);
}

int32_t reservePredicted(PartialSearchStage* s, int32_t words) {
  if (words <= s->predictedCapacity) return 1;
  const size_t bytes = static_cast<size_t>(words) * static_cast<size_t>(s->wordStride);
  uint8_t* grown = static_cast<uint8_t*>(malloc(bytes));
  if (grown == nullptr) return 0;
  memset(grown, 1, bytes);
  free(s->predicted);
  s->predicted = grown;
  s->predictedCapacity = words;
  return 1;
}

int64_t windowMs(const PartialSearchStage* s) { return s->windowSlots * s->phaseStep8 / 8; }

// Predicts the words of candidate `entry`; returns the code word an item of
// this candidate carries, or -1 when nothing could be predicted.
int64_t predictCandidate(PartialSearchStage* s, const CandidateStation& entry, int32_t* rangeCount) {
  *rangeCount = 0;
  const int64_t d = s->codewordMs;
  if (s->rangeMode) {
    const int32_t count = static_cast<int32_t>(clamp64(entry.codewordCount, 0, kMaxPredictedWords));
    *rangeCount = count;
    s->wordCount = count + 2;
    s->firstWordTime = s->cursor;
    if (!(s->havePrevious && s->previousRangeCount == count)) {
      s->firstShift = s->wordSymbols - s->windowBits / (s->positionCount * s->bandCount);
      s->lastShift = s->wordSymbols * (count + 1);
      s->previousRangeCount = count;
      s->havePrevious = 1;
    }
    if (!reservePredicted(s, s->wordCount)) return -1;
    layWord(s, 0, 0);
    for (int32_t i = 0; i < count; ++i) layWord(s, i + 1, encodeWord(s, entry.firstCodeword + i));
    layWord(s, count + 1, 0);
    return entry.firstCodeword;
  }

  const int64_t lag = clamp64(entry.lagMs, -kMaxLagMs, kMaxLagMs);
  const int64_t w0 = s->cursor - lag - windowMs(s);
  const bool generator = hasGenerator(s);
  if (!(s->havePrevious && s->previousLag == lag)) {
    int64_t ft;
    if (generator) {
      ft = w0;
      const int32_t savedId = s->generator->id;
      s->generator->id = 0;
      getContinuousCodeWordMs(s->generator, &ft);
      s->generator->id = savedId;  // ft stays w0 where the generator has no word
    } else {
      ft = floorDiv(w0 + d - 1, d) * d;
    }
    while (ft > w0 - s->maxOffsetPast) ft -= d;
    const int64_t limit = s->cursor - lag + s->maxOffsetFuture;
    int64_t words = ft < limit ? (limit - ft + d - 1) / d : 0;
    if (words > kMaxPredictedWords) words = kMaxPredictedWords;
    s->wordCount = static_cast<int32_t>(words);
    s->firstWordTime = ft;
    s->firstShift = static_cast<int32_t>((w0 - ft - s->maxOffsetPast) / s->symbolMs);
    s->lastShift = s->firstShift + (s->maxOffsetPast + s->maxOffsetFuture) / s->symbolMs;
    s->previousLag = lag;
    s->havePrevious = 1;
  }
  if (!reservePredicted(s, s->wordCount)) return -1;
  if (!generator) {
    const int64_t first = static_cast<int64_t>(entry.stationId) + floorDiv(s->firstWordTime, d);
    for (int32_t i = 0; i < s->wordCount; ++i) {
      const int64_t w = first + i;
      layWord(s, i, w >= 0 ? encodeWord(s, w) : 0);
    }
    return entry.stationId;
  }
  // Every candidate is encoded for its own id.
  s->generator->id = entry.stationId;
  int64_t word = -1;
  for (int32_t i = 0; i < s->wordCount; ++i) {
    if (i == 0 || word < 0) {
      int64_t t = s->firstWordTime + static_cast<int64_t>(i) * d;
      word = getContinuousCodeWordMs(s->generator, &t);
    } else {
      word = stepWord(s, word, 1);
    }
    layWord(s, i, encodeWord(s, word));
  }
  return s->generator->id;
}

void fillItem(PartialSearchStage* s, PartialResultItem* item, int32_t score, int32_t candidate,
              int64_t codeword, int32_t rangeCount, int32_t k, int32_t minI, int32_t maxI) {
  const int32_t pb = s->positionCount * s->bandCount;
  item->metricInit = score;
  item->metricSum = 0;
  item->metricNMerge = 1;
  item->nCodewords = 0;
  item->candidateIndex = candidate;
  item->codeword = codeword;
  item->rangeCount = rangeCount;
  const int64_t align8 = s->alignSteps * s->phaseStep8;
  const int64_t sym8 = 8 * static_cast<int64_t>(s->symbolMs);
  if (s->rangeMode) {
    item->timeShift = 8 * s->firstWordTime - s->bestPhase * s->phaseStep8 -
                      (k - static_cast<int64_t>(s->firstShift)) * sym8 - align8;
  } else {
    item->timeShift = 8 * (s->cursor - s->firstWordTime) - k * sym8 -
                      (s->bestPhase + static_cast<int64_t>(s->windowSlots)) * s->phaseStep8 - align8;
  }
  const int32_t mid = ((minI < 0 ? 0 : minI) + (maxI < 0 ? 0 : maxI)) / 2 / pb;
  const int32_t n = item->positionCount < s->positionCount ? item->positionCount : s->positionCount;
  for (int32_t j = 0; j < n; ++j) {
    item->positions[j] = s->positionIndex[j] + mid * s->phaseCount - s->bestPhase - s->windowSlots;
  }
  const int64_t rel = static_cast<int64_t>(mid) * s->phaseCount - s->bestPhase - s->windowSlots;
  item->startTime = rel * s->phaseStep8 + 8 * s->cursor;
  item->stopTime = item->startTime;
  item->startFinal = 0;
  item->stopFinal = 0;
}

int32_t viewsValid(const PartialSearchStage* s, CircularBuffer* const* views) {
  if (views == nullptr) return 0;
  for (int32_t b = 0; b < s->bandCount; ++b) {
    if (views[b] == nullptr) return 0;
    for (int32_t j = 0; j < s->positionCount; ++j) {
      if (views[b][j].base == nullptr || views[b][j].count < 1) return 0;
    }
  }
  return 1;
}

int32_t ringSlots(const PartialSearchStage* s, CircularBuffer* const* views) {
  int32_t slots = views[0][0].count;
  for (int32_t b = 0; b < s->bandCount; ++b)
    for (int32_t j = 0; j < s->positionCount; ++j)
      if (views[b][j].count < slots) slots = views[b][j].count;
  return slots;
}

}  // namespace

const int16_t* partialMetricPairs() { return metricPairs().values; }

int32_t partialRiseScore(const uint8_t* window, const uint8_t* bits, int32_t count,
                         int32_t* minIndex, int32_t* maxIndex) {
  if (window == nullptr || bits == nullptr || count < 0) return 0;
  return riseCore(window, bits, 0, count, count, minIndex, maxIndex);
}

// ---------------------------------------------------------------------------
// Stages.

PartialSearchStage* createSearchStage(const SchemeConfig* scheme, const MessageParams* messageParams,
                                      const int32_t* options) {
  if (scheme == nullptr) return nullptr;
  (void)metricPairs();
  PartialSearchStage* s = static_cast<PartialSearchStage*>(calloc(1, sizeof(PartialSearchStage)));
  if (s == nullptr) return nullptr;
  s->scheme = scheme;
  stageDefaults(s, scheme->scheme, false);
  applyOptions(s, options);
  s->codec = createCodewordCodec(&scheme->codec, 1);
  s->generator = static_cast<MessageGeneratorState*>(calloc(1, sizeof(MessageGeneratorState)));
  if (s->codec == nullptr || s->generator == nullptr ||
      msgGeneratorInit(s->generator, messageParams, scheme) != 0 || !buildGeometry(s, nullptr)) {
    deleteSearchStage(s);
    return nullptr;
  }
  return s;
}

PartialSearchStage* cloneSearchStage(PartialSearchStage* stageA, const int32_t* options) {
  if (stageA == nullptr) return nullptr;
  PartialSearchStage* s = static_cast<PartialSearchStage*>(calloc(1, sizeof(PartialSearchStage)));
  if (s == nullptr) return nullptr;
  s->scheme = stageA->scheme;
  s->isClone = 1;
  s->codec = stageA->codec;
  s->generator = stageA->generator;
  stageDefaults(s, s->scheme->scheme, true);
  applyOptions(s, options);
  if (!buildGeometry(s, stageA)) {
    if (s->history == stageA->history) s->history = nullptr;
    deleteClonedSearchStage(s);
    return nullptr;
  }
  return s;
}

void deleteSearchStage(PartialSearchStage* s) {
  if (s == nullptr) return;
  deleteCodewordCodec(s->codec);
  free(s->generator);
  hammingCorrelatorFree(s->history);
  freeOwnBuffers(s);
  free(s);
}

void deleteClonedSearchStage(PartialSearchStage* s) {
  if (s == nullptr) return;
  hammingCorrelatorFree(s->history);
  freeOwnBuffers(s);
  free(s);
}

int32_t setSearchStageOptions(PartialSearchStage* stage, const int32_t* options) {
  if (stage == nullptr) return 0;
  return applyOptions(stage, options);
}

int32_t searchStageStep(const PartialSearchStage* s) {
  return s == nullptr || s->stepDivisor < 1 ? 0 : s->windowSlots / s->stepDivisor;
}

int32_t searchStageWindow(const PartialSearchStage* s) { return s == nullptr ? 0 : s->windowSlots; }

int64_t searchStageStepMs(const PartialSearchStage* s) {
  return s == nullptr ? 0 : searchStageStep(s) * s->phaseStep8 / 8;
}

PartialResultItem* searchPartialCodewords(PartialSearchStage* s, int64_t t,
                                          CircularBuffer* const* views,
                                          const CandidateStations* candidates,
                                          PartialResultList* list, int32_t* refine, int32_t pass) {
  if (refine != nullptr) *refine = 0;
  if (s == nullptr || list == nullptr) return nullptr;
  const int64_t previous = s->lastTime;
  s->lastTime = t;
  const int64_t stepMs = searchStageStepMs(s) > 0 ? searchStageStepMs(s) : 1;
  if (s->cursor == 0) {
    s->cursor = t + stepMs;
    return nullptr;
  }
  if (t < previous) {
    // The caller's clock went back: start the schedule again from here
    // rather than waiting for the old cursor.
    if (s->currentItem != nullptr && s->currentItem->codeword == -2) clearPartialResultItem(s->currentItem);
    s->currentItem = nullptr;
    s->candidateIndex = -1;
    s->cursor = t + stepMs;
    return nullptr;
  }
  int32_t count = 0;
  if (candidates != nullptr && candidates->entries != nullptr) {
    count = candidates->count;
    if (count > candidates->capacity) count = candidates->capacity;
    if (count < 0) count = 0;
  }
  if (!viewsValid(s, views)) return nullptr;
  const int64_t slot8 = s->phaseStep8;

  if (s->candidateIndex < 0 || s->candidateIndex >= count) {
    if (t < s->cursor) return nullptr;
    // A cursor whose window has left the history (after a long pause) moves
    // on by whole steps instead of reading slots that were overwritten.
    int64_t room = ringSlots(s, views) - s->windowSlots - 2 * s->phaseCount;
    if (room < 0) room = 0;
    const int64_t behind = (t - s->cursor) * 8 / slot8;
    if (behind > room) {
      const int64_t excessMs = (behind - room) * slot8 / 8;
      s->cursor += (excessMs + stepMs - 1) / stepMs * stepMs;
    }
    // An item left pending by a sweep that never ended (the candidate list
    // was replaced by a shorter one) goes back to the list.
    if (s->currentItem != nullptr && s->currentItem->codeword == -2) clearPartialResultItem(s->currentItem);
    s->currentItem = nullptr;
    if (count == 0) {
      s->candidateIndex = -1;
      if (refine != nullptr) *refine = 1;
      s->cursor += stepMs;
      return nullptr;
    }
    s->candidateIndex = 0;
  }

  int64_t tests = 1;
  if (count > 1 && t > previous) {
    const int64_t num = 2 * static_cast<int64_t>(count) * (t - previous);
    tests = (num + stepMs - 1) / stepMs;
    if (tests < 1) tests = 1;
  }
  if (tests > count - s->candidateIndex) tests = count - s->candidateIndex;

  for (int32_t j = 0; j < s->positionCount; ++j) {
    const int32_t newest = CircularBufferIndexBack(&views[0][j], 0);
    s->positionIndex[j] = static_cast<int32_t>(newest - (t - s->cursor) * 8 / slot8);
  }

  if (s->candidateIndex == 0) {
    s->bestPhase = partialCorrelate(s->history, views, s->rawWindow, s->positionIndex, pass);
    if (s->bestPhase < 0) s->bestPhase = 0;
    for (int32_t i = 0; i < s->windowBits; ++i) s->window[i] = toUnsignedSoft(s->rawWindow[i]);
    s->currentItem = newPartialResultItem(list);
    if (s->currentItem == nullptr) return nullptr;
    markPartialResultPending(s->currentItem);
    s->havePrevious = 0;
  }
  if (s->currentItem == nullptr) {
    s->candidateIndex = -1;
    return nullptr;
  }

  for (int64_t n = 0; n < tests; ++n) {
    const int32_t c = s->candidateIndex++;
    int32_t rangeCount = 0;
    const int64_t codeword = predictCandidate(s, candidates->entries[c], &rangeCount);
    if (codeword < 0) continue;
    const int64_t total = static_cast<int64_t>(s->wordCount) * s->wordStride;
    const int32_t pb = s->positionCount * s->bandCount;
    for (int32_t k = s->firstShift; k <= s->lastShift; ++k) {
      int32_t minI = -1, maxI = -1;
      const int32_t score = riseCore(s->window, s->predicted, static_cast<int64_t>(k) * pb, total,
                                     s->windowBits, &minI, &maxI);
      if (score < s->riseThreshold || score <= s->currentItem->metricInit) continue;
      fillItem(s, s->currentItem, score, c, codeword, rangeCount, k, minI, maxI);
    }
  }

  if (s->candidateIndex >= count) {
    if (refine != nullptr) *refine = 1;
    s->cursor += stepMs;
    PartialResultItem* item = s->currentItem;
    s->currentItem = nullptr;
    return item;
  }
  return nullptr;
}

int32_t extendPartialResult(PartialSearchStage* s, CircularBuffer* const* views,
                            PartialResultItem* item, int32_t backwards) {
  if (!isPartialResultHit(item)) return 0;
  const uint8_t flag = backwards ? item->startFinal : item->stopFinal;
  if (flag) return flag;
  if (s == nullptr || !viewsValid(s, views)) return 0;
  const int64_t d = s->codewordMs;
  const int64_t sym8 = 8 * static_cast<int64_t>(s->symbolMs);
  const int64_t now8 = 8 * s->lastTime;
  const int32_t slots = ringSlots(s, views);
  const int32_t q = s->wordSymbols;
  const int16_t* pairs = metricPairs().values;
  const bool generator = hasGenerator(s);

  // The symbol just outside the stretch, in the candidate's time line.
  const int64_t edge8 = backwards ? item->startTime - sym8 : item->stopTime;
  const int64_t st = floorDiv(edge8 - item->timeShift + 4, 8);
  const int64_t halfSym = s->symbolMs / 2;
  int64_t word;
  int64_t wordStart;
  if (generator) {
    wordStart = st - d + 1 + halfSym;
    s->generator->id = static_cast<int32_t>(clamp64(item->codeword, -1, INT32_MAX));
    word = getContinuousCodeWordMs(s->generator, &wordStart);
  } else {
    const int64_t idx = floorDiv(st + halfSym, d);
    wordStart = idx * d;
    word = item->codeword + idx;
    if (word < 0) word = -1;
  }
  int32_t f = static_cast<int32_t>(clamp64(floorDiv(st - wordStart + halfSym, s->symbolMs), 0, q - 1));
  int32_t known = encodeWord(s, word);

  int64_t walked = 0;  // symbols since the last move
  int64_t tested = 0;  // symbols since the walk began
  for (;;) {
    if ((walked + 1) * s->symbolMs > s->gapFill) {
      if (backwards) item->startFinal = 1; else item->stopFinal = 1;
      return 1;
    }
    const int64_t symStart8 = backwards ? item->startTime - (walked + 1) * sym8
                                        : item->stopTime + walked * sym8;
    const int64_t back = floorDiv(now8 - symStart8 + s->phaseStep8 / 2, s->phaseStep8) - s->phaseCount;
    int32_t sum = 0;
    for (int32_t j = 0; j < s->positionCount; ++j) {
      const int64_t b = back + s->alignPerPosition[j];
      if (b < 0 || b >= slots) return 0;  // the history is used up
    }
    if (known) {
      for (int32_t band = 0; band < s->bandCount; ++band) {
        for (int32_t j = 0; j < s->positionCount; ++j) {
          const uint8_t bit = wordBit(s, f, band, j);
          if (bit > 1) continue;
          const int8_t soft = CircularBufferCharAt(&views[band][j], back + s->alignPerPosition[j]);
          sum += pairs[2 * toUnsignedSoft(soft) + bit];
        }
      }
    }
    ++tested;
    if (sum >= 1) {
      const int64_t moved = walked + 1;
      if (backwards) {
        item->startTime -= moved * sym8;
      } else {
        item->stopTime += moved * sym8;
        for (int32_t j = 0; j < item->positionCount; ++j)
          item->positions[j] = static_cast<int32_t>(item->positions[j] + moved * s->phaseCount);
      }
      item->metricSum += sum;
      walked = 0;
    } else {
      ++walked;
    }
    // Next symbol further out; crossing a word boundary predicts the next
    // word out.
    f += backwards ? -1 : 1;
    if (f < 0 || f >= q) {
      f = f < 0 ? q - 1 : 0;
      wordStart += backwards ? -d : d;
      if (word >= 0) {
        word = stepWord(s, word, backwards ? -1 : 1);
      } else if (generator) {
        int64_t t2 = wordStart;
        word = getContinuousCodeWordMs(s->generator, &t2);
      } else {
        word = item->codeword + floorDiv(wordStart, d);
        if (word < 0) word = -1;
      }
      known = encodeWord(s, word);
    }
  }
}

// ---------------------------------------------------------------------------
// Items and lists.

PartialResultItem* createPartialResultItem(int32_t positionCount) {
  if (positionCount < 0) return nullptr;
  PartialResultItem* item = static_cast<PartialResultItem*>(calloc(1, sizeof(PartialResultItem)));
  if (item == nullptr) return nullptr;
  item->positions = static_cast<int32_t*>(
      calloc(static_cast<size_t>(positionCount > 0 ? positionCount : 1), sizeof(int32_t)));
  if (item->positions == nullptr) {
    free(item);
    return nullptr;
  }
  item->positionCount = positionCount;
  clearPartialResultItem(item);
  return item;
}

void deletePartialResultItem(PartialResultItem* item) {
  if (item == nullptr) return;
  free(item->positions);
  free(item);
}

void clearPartialResultItem(PartialResultItem* item) {
  if (item == nullptr) return;
  item->codeword = -1;
  item->candidateIndex = -1;
  item->metricInit = 0;
  item->metricSum = 0;
  item->metricNMerge = 0;
  item->nCodewords = 0;
}

int32_t isPartialResultHit(const PartialResultItem* item) {
  return item != nullptr && item->codeword >= 0 ? 1 : 0;
}

void markPartialResultPending(PartialResultItem* item) {
  if (item != nullptr) item->codeword = -2;
}

int32_t createPartialResultList(PartialResultList* list, int32_t length, int32_t positionCount,
                                const int64_t* options) {
  if (list == nullptr) return 0;
  memset(list, 0, sizeof(*list));
  if (length < 1) length = 1;
  list->timeShiftThreshold = kDefaultTimeShiftThreshold;
  list->publishDelay = kDefaultPublishDelay;
  list->maxListeningDuration = kDefaultMaxListeningDuration;
  setPartialResultListOptions(list, options);
  list->items = static_cast<PartialResultItem**>(calloc(static_cast<size_t>(length), sizeof(PartialResultItem*)));
  if (list->items == nullptr) return 0;
  for (int32_t i = 0; i < length; ++i) {
    list->items[i] = createPartialResultItem(positionCount);
    if (list->items[i] == nullptr) {
      list->length = i;
      deletePartialResultList(list);
      return 0;
    }
  }
  list->length = length;
  return 1;
}

void deletePartialResultList(PartialResultList* list) {
  if (list == nullptr) return;
  for (int32_t i = 0; i < list->length; ++i) deletePartialResultItem(list->items[i]);
  free(list->items);
  list->items = nullptr;
  list->length = 0;
}

void clearPartialResultList(PartialResultList* list) {
  if (list == nullptr) return;
  for (int32_t i = 0; i < list->length; ++i) clearPartialResultItem(list->items[i]);
}

int32_t setPartialResultListOptions(PartialResultList* list, const int64_t* options) {
  if (list == nullptr) return 0;
  if (options == nullptr) return 1;
  if (options[0] >= 0) list->timeShiftThreshold = clamp64(options[0], 0, kMaxListOptionMs);
  if (options[1] >= 0) list->publishDelay = clamp64(options[1], 0, kMaxListOptionMs);
  if (options[2] >= 0) list->maxListeningDuration = clamp64(options[2], 0, kMaxListOptionMs);
  return 1;
}

int32_t countPartialResultHits(const PartialResultList* list) {
  if (list == nullptr) return 0;
  int32_t hits = 0;
  for (int32_t i = 0; i < list->length; ++i) hits += isPartialResultHit(list->items[i]);
  return hits;
}

PartialResultItem* newPartialResultItem(PartialResultList* list) {
  if (list == nullptr) return nullptr;
  for (int32_t i = 0; i < list->length; ++i) {
    if (list->items[i]->codeword == -1) return list->items[i];
  }
  const int32_t positions = list->length > 0 ? list->items[0]->positionCount : 0;
  const int64_t grown = list->length > 0 ? 2 * static_cast<int64_t>(list->length) : 1;
  if (grown > INT32_MAX) return nullptr;
  PartialResultItem** items = static_cast<PartialResultItem**>(
      realloc(list->items, static_cast<size_t>(grown) * sizeof(PartialResultItem*)));
  if (items == nullptr) return nullptr;
  list->items = items;
  const int32_t first = list->length;
  for (int64_t i = first; i < grown; ++i) {
    items[i] = createPartialResultItem(positions);
    if (items[i] == nullptr) {
      list->length = static_cast<int32_t>(i);
      return i > first ? items[first] : nullptr;
    }
  }
  list->length = static_cast<int32_t>(grown);
  return items[first];
}

int32_t mergePartialResults(PartialResultList* list) {
  if (list == nullptr) return 0;
  const int64_t threshold8 = list->timeShiftThreshold * 8;
  int32_t merges = 0;
  for (;;) {
    int32_t pass = 0;
    for (int32_t i = 0; i < list->length; ++i) {
      PartialResultItem* a = list->items[i];
      if (!isPartialResultHit(a)) continue;
      for (int32_t j = i + 1; j < list->length; ++j) {
        PartialResultItem* b = list->items[j];
        if (!isPartialResultHit(b) || b->codeword != a->codeword) continue;
        const int64_t diff = a->timeShift - b->timeShift;
        if ((diff < 0 ? -diff : diff) > threshold8) continue;
        const bool overlap = (a->startTime >= b->startTime && a->startTime <= b->stopTime) ||
                             (b->startTime >= a->startTime && b->startTime <= a->stopTime);
        if (!overlap) continue;
        a->metricNMerge += b->metricNMerge;
        a->nCodewords += b->nCodewords;
        if (b->metricInit > a->metricInit) a->metricInit = b->metricInit;
        if (b->metricSum > a->metricSum) a->metricSum = b->metricSum;
        if (b->startTime < a->startTime && a->startFinal != 2) {
          a->startTime = b->startTime;
          a->startFinal = b->startFinal;
        }
        const uint8_t stopFinal = (a->stopFinal && b->stopFinal) ? 1 : 0;
        if (b->stopTime > a->stopTime) {
          a->stopTime = b->stopTime;
          const int32_t n = a->positionCount < b->positionCount ? a->positionCount : b->positionCount;
          for (int32_t k = 0; k < n; ++k) a->positions[k] = b->positions[k];
          a->timeShift = b->timeShift;
        }
        a->stopFinal = stopFinal;
        clearPartialResultItem(b);
        ++pass;
      }
    }
    merges += pass;
    if (pass == 0) return merges;
  }
}

namespace {

void fillResult(VorselTResult* r, const PartialResultItem* item, int32_t scheme) {
  if (isCodewordSequenceScheme(scheme & 0xFFFFFF)) {
    r->encoderID = -1;
    r->firstCodeword = item->codeword;
    r->timeSeqStart = item->timeShift / 8;
  } else {
    r->encoderID = static_cast<int32_t>(clamp64(item->codeword, -1, INT32_MAX));
    r->firstCodeword = -1;
    r->timeShift = item->timeShift / 8;  // toward zero: -12 eighths publish as -1 ms
  }
  r->startTime = item->startTime / 8;
  r->stopTime = item->stopTime / 8;
  r->startTimeFinal = item->startFinal != 0;
  r->stopTimeFinal = item->stopFinal != 0;
  r->encodingScheme = scheme;
  r->metricInit = item->metricInit;
  r->metricSum = item->metricSum;
  r->metricNMerge = item->metricNMerge;
  r->nCodewords = item->nCodewords;
}

}  // namespace

PartialResultItem* publishVorselTResults(PartialResultList* list, VorselTResult* result, int64_t t,
                                         int32_t scheme, int32_t* falsePositive) {
  if (falsePositive != nullptr) *falsePositive = 0;
  if (result == nullptr) return nullptr;
  clearVorselTResult(result);
  if (list == nullptr) return nullptr;
  PartialResultItem* latest = nullptr;
  for (int32_t i = 0; i < list->length; ++i) {
    PartialResultItem* item = list->items[i];
    if (!isPartialResultHit(item)) continue;
    if (item->stopFinal && 8 * t - item->stopTime >= 8 * list->publishDelay) {
      fillResult(result, item, scheme);
      if (falsePositive != nullptr) *falsePositive = vorselTResultFalsePositive(result);
      clearPartialResultItem(item);
      return item;
    }
    if (list->maxListeningDuration > 0 &&
        8 * t - item->startTime >= 8 * (list->maxListeningDuration + list->publishDelay)) {
      fillResult(result, item, scheme);
      const int64_t cut = t - list->publishDelay;
      const int64_t oldStop = floorDiv(item->stopTime, 8);
      result->stopTime = cut;
      result->stopTimeFinal = true;
      const int64_t a = cut - result->startTime;
      const int64_t l = a + (oldStop - cut);
      int64_t share = l > 0 ? (a * item->nCodewords + l / 2) / l : 0;
      share = clamp64(share, 0, item->nCodewords);
      result->nCodewords = static_cast<int32_t>(share);
      item->nCodewords -= static_cast<int32_t>(share);
      item->startTime = 8 * cut;
      item->startFinal = 2;
      if (item->stopTime < item->startTime) item->stopTime = item->startTime;
      if (falsePositive != nullptr) *falsePositive = vorselTResultFalsePositive(result);
      return item;
    }
    if (latest == nullptr || item->stopTime > latest->stopTime) latest = item;
  }
  if (latest == nullptr) return nullptr;
  fillResult(result, latest, scheme);
  result->stopTimeFinal = false;
  if (falsePositive != nullptr) *falsePositive = vorselTResultFalsePositive(result);
  return latest;
}

}  // namespace tembrolexinsdk
