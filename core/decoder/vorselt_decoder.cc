#include "core/decoder/vorselt_decoder.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/encoding_schemes.h"

namespace tembrolexinsdk {

namespace {

int64_t clampSeconds(int64_t v) { return v > kMaxHistorySeconds ? kMaxHistorySeconds : v; }

// Seconds to milliseconds: negative stays negative (-1 s is -1000 ms).
int32_t secondsToMs32(int32_t v) {
  if (v < 0) return v < -2000000 ? -2000000000 : v * 1000;
  return static_cast<int32_t>(clampSeconds(v) * 1000);
}

int64_t phaseStep8(const SchemeConfig* sc) {
  if (sc == nullptr || sc->phaseCount < 1) return 1;
  const int64_t step = (static_cast<int64_t>(sc->symbolDuration / 4) * 8) / sc->phaseCount;
  return step < 1 ? 1 : step;
}

int32_t schemeIdAt(VorselTContext* ctx, int32_t i) {
  const SchemeConfig* sc = getEchoModParameters(ctx->library, i);
  return sc == nullptr ? -1 : sc->scheme;
}

void freeViews(PartialSearchRecord* r) {
  // The rings belong to the channels; only the array of pointers is ours.
  free(r->historyViews);
  r->historyViews = nullptr;
}

// Takes every band's history view with `slots` slots (the rings are made
// anew, empty). 1, or 0 when one cannot be made.
int32_t takeViews(PartialSearchRecord* r, int32_t slots) {
  if (r->historyViews == nullptr) {
    r->historyViews = static_cast<CircularBuffer**>(
        calloc(static_cast<size_t>(r->bandCount), sizeof(CircularBuffer*)));
    if (r->historyViews == nullptr) return 0;
  }
  for (int32_t b = 0; b < r->bandCount; ++b) {
    r->historyViews[b] = getMatchedFilterBuffer(r->library, r->schemeIndex, b, slots);
    if (r->historyViews[b] == nullptr) return 0;
  }
  r->historySlots = slots;
  return 1;
}

// History slots for a history length in seconds (negative: the default).
int64_t historySlotsFor(const PartialSearchRecord* r, int64_t seconds) {
  const SchemeConfig* sc = r->stageA->scheme;
  const int64_t h8 = 8000 * (seconds < 0 ? kDefaultHistorySeconds : clampSeconds(seconds));
  int64_t slots = h8 / phaseStep8(sc);
  if (slots < searchStageWindow(r->stageA)) slots = searchStageWindow(r->stageA);
  const int64_t word = static_cast<int64_t>(r->stageA->wordSymbols) * sc->phaseCount + r->stageA->alignSteps;
  if (slots < word) slots = word;
  return slots;
}

void freeStages(PartialSearchRecord* r) {
  if (r->stageB != nullptr && r->stageA != nullptr && r->stageB->history == r->stageA->history) {
    r->stageB->history = nullptr;
  }
  deleteClonedSearchStage(r->stageB);
  deleteSearchStage(r->stageA);
  r->stageA = nullptr;
  r->stageB = nullptr;
}

void freeRecord(PartialSearchRecord* r) {
  if (r == nullptr) return;
  freeViews(r);
  freeStages(r);
  deletePartialResultList(&r->results);
  deletePartialResultList(&r->anchors);
  free(r);
}

int32_t buildStages(PartialSearchRecord* r, const int32_t* optionsA, const int32_t* optionsB) {
  const SchemeConfig* sc = getEchoModParameters(r->library, r->schemeIndex);
  const MessageParams* mp = getSchemeMessageParams(r->library, r->schemeIndex);
  r->stageA = createSearchStage(sc, mp, optionsA);
  if (r->stageA == nullptr) return 0;
  r->stageB = cloneSearchStage(r->stageA, optionsB);
  return r->stageB != nullptr ? 1 : 0;
}

PartialSearchRecord* firstRecord(const VorselTContext* ctx) {
  for (int32_t i = 0; i < ctx->schemeCount; ++i)
    if (ctx->searches[i] != nullptr) return ctx->searches[i];
  return nullptr;
}

void clearPending(PartialResultList* list) {
  for (int32_t i = 0; i < list->length; ++i)
    if (list->items[i]->codeword == -2) clearPartialResultItem(list->items[i]);
}

// Publishes one result per scheme into `results` (nothing without an
// array); `items` (may be null) receives the published items.
void collectResults(VorselTContext* ctx, VorselTResult* results, int64_t time,
                    PartialResultItem** items) {
  if (results == nullptr) return;
  for (int32_t i = 0; i < ctx->schemeCount; ++i) {
    clearVorselTResult(&results[i]);
    PartialResultItem* item = nullptr;
    PartialSearchRecord* r = ctx->searches[i];
    if (r != nullptr) {
      const int32_t scheme = schemeIdAt(ctx, i) | static_cast<int32_t>(static_cast<uint32_t>(i) << 24);
      item = publishVorselTResults(&r->results, &results[i], time, scheme);
    }
    if (items != nullptr) items[i] = item;
  }
}

void extendAndMerge(PartialSearchRecord* r) {
  for (int32_t k = 0; k < r->results.length; ++k)
    extendPartialResult(r->stageA, r->historyViews, r->results.items[k], 0);
  mergePartialResults(&r->results);
}

// The longest stretch behind the newest audio that a search of the record
// can read, in milliseconds: its history views and one stage B window.
int64_t searchableSpanMs(const PartialSearchRecord* r) {
  const int64_t slots = static_cast<int64_t>(r->historySlots) + searchStageWindow(r->stageB);
  return slots * phaseStep8(r->stageA->scheme) / 8;
}

// Clears the anchors that a search can no longer use, so that the anchor
// list of a decoder that runs for days stays as short as its history is
// long (anchors are otherwise cleared only when a refine takes them):
// - anchors that stop more than the searchable span before `time`;
// - with `codewordMs` (before an anchor is added): the oldest ones, until
//   fewer than span / code-word duration + 2 remain. Words come at most once
//   a code-word duration of audio, so older anchors lie behind the history
//   in audio even when the caller's clock says otherwise (audio fed faster
//   than it plays).
void dropStaleAnchors(PartialSearchRecord* r, int64_t time, int64_t codewordMs = 0) {
  const int64_t span = searchableSpanMs(r);
  const int64_t oldest8 = (time - span) * 8;
  int32_t hits = 0;
  for (int32_t k = 0; k < r->anchors.length; ++k) {
    PartialResultItem* a = r->anchors.items[k];
    if (!isPartialResultHit(a)) continue;
    if (a->stopTime < oldest8) {
      clearPartialResultItem(a);
    } else {
      ++hits;
    }
  }
  if (codewordMs <= 0) return;
  for (const int64_t room = span / codewordMs + 2; hits >= room; --hits) {
    PartialResultItem* oldest = nullptr;
    for (int32_t k = 0; k < r->anchors.length; ++k) {
      PartialResultItem* a = r->anchors.items[k];
      if (isPartialResultHit(a) && (oldest == nullptr || a->stopTime < oldest->stopTime)) {
        oldest = a;
      }
    }
    clearPartialResultItem(oldest);
  }
}

// Turns a fully decoded code word of record i into an anchor.
void makeAnchor(VorselTContext* ctx, PartialSearchRecord* r, const PerformanceData& perf,
                int64_t time) {
  if (perf.msg < 0 || perf.cwSampleNo < 0) return;
  const SchemeConfig* sc = getEchoModParameters(ctx->library, r->schemeIndex);
  const int32_t fsk = Tembrolexin_FsIn(ctx->library) / 1000;
  if (sc == nullptr || fsk < 1) return;
  EncodingSchemeInfo info;
  if (!Tembrolexin_GetSchemeInfo(ctx->library, r->schemeIndex, &info)) return;
  const int64_t duration = info.codewordDuration;
  if (duration < 1) return;
  const int64_t end = time - perf.cwSampleNo / fsk;
  int64_t start;
  int64_t codeword;
  int32_t rangeCount = 0;
  if (isCodewordSequenceScheme(sc->scheme)) {
    const CandidateStation* range = getCodewordSequence(r->candidates, perf.msg);
    if (range == nullptr) return;
    start = (perf.msg - range->firstCodeword) * duration;
    codeword = range->firstCodeword;
    rangeCount = range->codewordCount;
  } else {
    int32_t id = -1;
    start = getCodewordStartTime(sc->scheme, perf.msg, &id, end, duration);
    if (start < 0 || id < 0) return;
    codeword = id;
  }
  dropStaleAnchors(r, time, duration);
  PartialResultItem* a = newPartialResultItem(&r->anchors);
  if (a == nullptr) return;
  const int64_t lastAlign = sc->positionCount > 0 ? sc->positionAlignments[sc->positionCount - 1] : 0;
  const int64_t frames = schemeFramesPerCodeword(sc);
  const int64_t half = searchStageWindow(r->stageB) * phaseStep8(sc) / 2;
  a->codeword = codeword;
  a->rangeCount = rangeCount;
  a->timeShift = (end - start - (lastAlign / 4 + frames * sc->symbolDuration / 4)) * 8;
  a->startTime = (end - duration) * 8 + half;
  a->stopTime = end * 8 + half;
  a->startFinal = 0;
  a->stopFinal = 0;
  a->metricNMerge = 1;
}

// Searches an anchor's stretch with stage B; 1 when it found a hit.
void refineWithAnchor(PartialSearchRecord* r, PartialResultItem* anchor, int64_t now) {
  CandidateStation entry;
  memset(&entry, 0, sizeof(entry));
  if (r->stageB->rangeMode) {
    entry.firstCodeword = anchor->codeword;
    entry.codewordCount = anchor->rangeCount;
  } else {
    entry.stationId = static_cast<int32_t>(anchor->codeword);
    entry.lagMs = anchor->timeShift / 8;
  }
  CandidateStations one{1, 1, &entry};
  int64_t stepMs = searchStageStepMs(r->stageB);
  if (stepMs < 1) stepMs = 1;
  int32_t found = 0;
  for (int32_t pass = 0; pass < 2 && !found; ++pass) {
    int64_t t = anchor->stopTime / 8;
    const int64_t start = anchor->startTime / 8;
    while (t > start) {
      r->stageB->cursor = t;
      PartialResultItem* item =
          searchPartialCodewords(r->stageB, now, r->historyViews, &one, &r->results, nullptr, pass);
      if (isPartialResultHit(item)) {
        extendPartialResult(r->stageA, r->historyViews, item, 1);
        item->metricNMerge = 1;
        item->nCodewords = 1;
        found = 1;
        if (item->startTime / 8 < t) t = item->startTime / 8;
      } else if (item != nullptr) {
        clearPartialResultItem(item);  // a pending item without a hit
      }
      t -= stepMs;
    }
  }
}

void searchScheme(VorselTContext* ctx, PartialSearchRecord* r, int64_t time) {
  const int64_t m = getMsSinceLastMatchedFilterBufferOutput(ctx->library, r->schemeIndex);
  const int64_t now = time - m;
  int32_t refine = 0;
  PartialResultItem* item = searchPartialCodewords(r->stageA, now, r->historyViews, r->candidates,
                                                   &r->results, &refine, 0);
  if (item != nullptr) {
    if (isPartialResultHit(item)) {
      extendPartialResult(r->stageA, r->historyViews, item, 1);
    } else {
      clearPartialResultItem(item);
    }
  }
  if (!refine) return;
  for (int32_t k = 0; k < r->anchors.length; ++k) {
    PartialResultItem* anchor = r->anchors.items[k];
    if (!isPartialResultHit(anchor) || anchor->stopTime / 8 > now) continue;
    refineWithAnchor(r, anchor, now);
    clearPartialResultItem(anchor);
    mergePartialResults(&r->results);
    return;
  }
  extendAndMerge(r);
}

int64_t processBlock(VorselTContext* ctx, int16_t* samples, int32_t count, PerformanceData* perf,
                     int64_t time, VorselTResult* results);

// Fills the time from lastTime to `time` (less a margin when not resuming)
// with silence. Returns the last block result, -1 when nothing was filled,
// -999 when the silence cannot be allocated.
int64_t fillGap(VorselTContext* ctx, PerformanceData* perf, int64_t time, int32_t resuming) {
  const PartialSearchRecord* first = firstRecord(ctx);
  if (first == nullptr || ctx->lastTime == 0 || ctx->lastDelta < 1) return -1;
  const int64_t margin = resuming ? 0 : first->results.timeShiftThreshold / 2;
  if (time - ctx->lastTime <= margin) return -1;
  const int64_t fs = Tembrolexin_FsIn(ctx->library);
  if (fs < 1) return -1;
  int64_t gap = (time - ctx->lastTime - margin) * fs / 1000;
  int64_t marginSamples = margin * fs / 1000;
  if (marginSamples > INT32_MAX) marginSamples = INT32_MAX;
  ctx->gapPending = 1;
  if (gap == 0) {
    incrementCwSampleNo(perf, ctx->schemeCount, static_cast<int32_t>(marginSamples));
    return -1;
  }
  // Only the newest history plus one search window can matter: longer
  // pauses move the clock over the rest instead of feeding it silence.
  int64_t capMs = 0;
  for (int32_t i = 0; i < ctx->schemeCount; ++i) {
    const PartialSearchRecord* r = ctx->searches[i];
    if (r == nullptr) continue;
    const int64_t step8 = phaseStep8(r->stageA->scheme);
    const int64_t ms = (static_cast<int64_t>(r->historySlots) + searchStageWindow(r->stageA)) * step8 / 8;
    if (ms > capMs) capMs = ms;
  }
  const int64_t cap = capMs * fs / 1000;
  int64_t running = ctx->lastTime;
  if (gap > cap) {
    running += (gap - cap) * 1000 / fs;
    gap = cap;
  }
  int64_t limit = ctx->lastDelta;
  if (limit > kMaxGapChunkMs) limit = kMaxGapChunkMs;
  limit = limit * fs / 1000;
  if (limit < 1) limit = 1;
  int64_t result = -1;
  while (gap > 0) {
    const int32_t chunk = static_cast<int32_t>(gap < limit ? gap : limit);
    if (ctx->silenceCapacity < chunk) {
      free(ctx->silence);
      ctx->silence = static_cast<int16_t*>(calloc(static_cast<size_t>(chunk), sizeof(int16_t)));
      if (ctx->silence == nullptr) {
        ctx->silenceCapacity = 0;
        return -999;
      }
      ctx->silenceCapacity = chunk;
    } else {
      memset(ctx->silence, 0, static_cast<size_t>(chunk) * sizeof(int16_t));
    }
    running += static_cast<int64_t>(chunk) * 1000 / fs;
    copyPerformanceDataN(perf, ctx->savedPerformance, ctx->schemeCount);
    result = processBlock(ctx, ctx->silence, chunk, perf, running, nullptr);
    incrementCwSampleNo(ctx->savedPerformance, ctx->schemeCount, chunk);
    getBestPerformanceDataN(perf, ctx->savedPerformance, ctx->schemeCount);
    ctx->gapSamplesFilled += chunk;
    gap -= chunk;
  }
  incrementCwSampleNo(perf, ctx->schemeCount, static_cast<int32_t>(marginSamples));
  return result;
}

int64_t processBlock(VorselTContext* ctx, int16_t* samples, int32_t count, PerformanceData* perf,
                     int64_t time, VorselTResult* results) {
  performanceDataResetN(perf, ctx->schemeCount);
  if (results != nullptr)
    for (int32_t i = 0; i < ctx->schemeCount; ++i) clearVorselTResult(&results[i]);
  if (samples == nullptr) {
    const int64_t r = fillGap(ctx, perf, time, 0);
    collectResults(ctx, results, time, nullptr);
    return r;
  }
  const int32_t fs = Tembrolexin_FsIn(ctx->library);
  if (ctx->gapPending && samples != ctx->silence) {
    const int64_t blockStart = fs > 0 ? time - static_cast<int64_t>(count) * 1000 / fs : time;
    fillGap(ctx, perf, blockStart, 1);
    ctx->gapPending = 0;
  }
  if (ctx->lastTime != 0) ctx->lastDelta = time - ctx->lastTime;
  ctx->lastTime = time;
  const int64_t best = Tembrolexin_ProcessData(ctx->library, samples, count, perf);
  for (int32_t i = 0; i < ctx->schemeCount; ++i) {
    PartialSearchRecord* r = ctx->searches[i];
    if (r == nullptr) continue;
    dropStaleAnchors(r, time);
    makeAnchor(ctx, r, perf[i], time);
    searchScheme(ctx, r, time);
  }
  collectResults(ctx, results, time, nullptr);
  if (best == -999) return -999;
  return ctx->schemeCount > 0 ? perf[0].msg : -1;
}

void applyOptions(VorselTContext* ctx, int32_t index, const int32_t* options) {
  if (index < 0 || index >= ctx->schemeCount) return;
  PartialSearchRecord* r = ctx->searches[index];
  if (r == nullptr) return;
  int32_t a[kStageOptionCount], b[kStageOptionCount];
  int64_t l[kListOptionCount];
  convertVorselTOptions(options, a, b, l);
  const int32_t unchangedA = setSearchStageOptions(r->stageA, a);
  const int32_t unchangedB = setSearchStageOptions(r->stageB, b);
  if (!unchangedA || !unchangedB) {
    // Build both stages again with every option they hold now.
    auto current = [](const PartialSearchStage* s, int32_t* o) {
      o[0] = s->persistence;
      o[1] = s->gapFill;
      o[2] = s->fastReaction;
      o[3] = s->maxOffsetPastOption;
      o[4] = s->maxOffsetFutureOption;
      o[5] = s->riseThreshold;
    };
    current(r->stageA, a);
    current(r->stageB, b);
    PartialSearchRecord fresh = *r;
    fresh.stageA = nullptr;
    fresh.stageB = nullptr;
    if (buildStages(&fresh, a, b)) {
      freeStages(r);
      r->stageA = fresh.stageA;
      r->stageB = fresh.stageB;
      clearPending(&r->results);
      // A longer window than the views hold needs longer views.
      const int64_t needed = historySlotsFor(r, ctx->historySeconds);
      if (needed > r->historySlots && needed <= INT32_MAX) {
        const int32_t old = r->historySlots;
        if (!takeViews(r, static_cast<int32_t>(needed))) takeViews(r, old);
      }
    } else {
      freeStages(&fresh);
    }
  }
  if (!setPartialResultListOptions(&r->results, l)) {
    // The stages must not keep an item of the old list.
    for (PartialSearchStage* s : {r->stageA, r->stageB}) {
      s->currentItem = nullptr;
      s->candidateIndex = -1;
    }
    deletePartialResultList(&r->results);
    createPartialResultList(&r->results, 1, r->stageA->positionCount, l);
  }
}

}  // namespace

void convertVorselTOptions(const int32_t* o, int32_t* a, int32_t* b, int64_t* l) {
  for (int32_t i = 0; i < kStageOptionCount; ++i) a[i] = b[i] = -1;
  for (int32_t i = 0; i < kListOptionCount; ++i) l[i] = -1;
  if (o == nullptr) return;
  a[0] = b[0] = secondsToMs32(o[kOptPersistence]);
  a[1] = b[1] = secondsToMs32(o[kOptGapFill]);
  a[2] = b[2] = o[kOptFastReaction];
  a[3] = o[kOptMaxOffsetPast];
  a[4] = o[kOptMaxOffsetFuture];
  a[5] = o[kOptRiseThreshold];
  b[3] = o[kOptMaxOffsetPastCW];
  b[4] = o[kOptMaxOffsetFutureCW];
  b[5] = o[kOptRiseThresholdCW];
  l[0] = static_cast<int64_t>(o[kOptTimeShiftThreshold]) * 1000;
  l[1] = static_cast<int64_t>(o[kOptPublishDelay]) * 1000;
  l[2] = static_cast<int64_t>(o[kOptMaxListeningDuration]) * 1000;
}

extern "C" {

VorselTContext* TembrolexinVorselT_InitWithOptions(const char* config, int64_t historySeconds,
                                                   const int32_t* options) {
  VorselTContext* ctx = static_cast<VorselTContext*>(calloc(1, sizeof(VorselTContext)));
  if (ctx == nullptr) {
    Tembrolexin_SetErrorMsg("Malloc failure");
    return nullptr;
  }
  ctx->historySeconds = historySeconds < 0 ? -1 : clampSeconds(historySeconds);
  ctx->library = Tembrolexin_Init2(config, 1);
  if (ctx->library == nullptr) {
    TembrolexinVorselT_Close(ctx);
    return nullptr;
  }
  ctx->schemeCount = Tembrolexin_NEncodingSchemes(ctx->library);
  ctx->searches = static_cast<PartialSearchRecord**>(
      calloc(static_cast<size_t>(ctx->schemeCount > 0 ? ctx->schemeCount : 1), sizeof(PartialSearchRecord*)));
  ctx->savedPerformance = static_cast<PerformanceData*>(
      calloc(static_cast<size_t>(ctx->schemeCount > 0 ? ctx->schemeCount : 1), sizeof(PerformanceData)));
  if (ctx->searches == nullptr || ctx->savedPerformance == nullptr) {
    Tembrolexin_SetErrorMsg("Malloc failure");
    TembrolexinVorselT_Close(ctx);
    return nullptr;
  }
  int32_t a[kStageOptionCount], b[kStageOptionCount];
  int64_t l[kListOptionCount];
  convertVorselTOptions(options, a, b, l);
  for (int32_t i = 0; i < ctx->schemeCount; ++i) {
    if (!isPartialCodewordScheme(schemeIdAt(ctx, i))) continue;
    PartialSearchRecord* r = static_cast<PartialSearchRecord*>(calloc(1, sizeof(PartialSearchRecord)));
    if (r == nullptr) {
      Tembrolexin_SetErrorMsg("Malloc failure");
      TembrolexinVorselT_Close(ctx);
      return nullptr;
    }
    ctx->searches[i] = r;
    r->library = ctx->library;
    r->schemeIndex = i;
    r->bandCount = schemeBandCount(getEchoModParameters(ctx->library, i));
    if (!buildStages(r, a, b)) {
      Tembrolexin_SetErrorMsg("Failure creating partial-codeword search");
      TembrolexinVorselT_Close(ctx);
      return nullptr;
    }
    const int64_t slots = historySlotsFor(r, ctx->historySeconds);
    if (slots > INT32_MAX || !takeViews(r, static_cast<int32_t>(slots))) {
      Tembrolexin_SetErrorMsg("Failure setting history length");
      TembrolexinVorselT_Close(ctx);
      return nullptr;
    }
    if (!createPartialResultList(&r->results, 1, r->stageA->positionCount, l) ||
        !createPartialResultList(&r->anchors, 1, r->stageA->positionCount, nullptr)) {
      Tembrolexin_SetErrorMsg("Malloc failure");
      TembrolexinVorselT_Close(ctx);
      return nullptr;
    }
  }
  performanceDataResetN(ctx->savedPerformance, ctx->schemeCount);
  return ctx;
}

VorselTContext* TembrolexinVorselT_Init(const char* config) {
  return TembrolexinVorselT_InitWithOptions(config, -1, nullptr);
}

VorselTContext* TembrolexinVorselT_InitWithHistoryLength(const char* config, int64_t historySeconds) {
  return TembrolexinVorselT_InitWithOptions(config, historySeconds, nullptr);
}

VorselTContext* TembrolexinVorselT_InitFastReaction(const char* config) {
  int32_t options[kVorselTOptionCount];
  for (int32_t& o : options) o = -1;
  options[kOptFastReaction] = 1;
  return TembrolexinVorselT_InitWithOptions(config, -1, options);
}

void TembrolexinVorselT_Close(VorselTContext* ctx) {
  if (ctx == nullptr) return;
  Tembrolexin_Close(ctx->library);
  if (ctx->searches != nullptr) {
    for (int32_t i = 0; i < ctx->schemeCount; ++i) freeRecord(ctx->searches[i]);
  }
  free(ctx->searches);
  free(ctx->silence);
  free(ctx->savedPerformance);
  free(ctx);
}

void TembrolexinVorselT_CandidateStations(VorselTContext* ctx, const CandidateStations* stations) {
  if (ctx == nullptr) return;
  for (int32_t i = 0; i < ctx->schemeCount; ++i) {
    if (ctx->searches[i] != nullptr && !isCodewordSequenceScheme(schemeIdAt(ctx, i)))
      ctx->searches[i]->candidates = stations;
  }
}

void TembrolexinVorselT_CodewordSequences(VorselTContext* ctx, const CandidateStations* sequences) {
  if (ctx == nullptr) return;
  for (int32_t i = 0; i < ctx->schemeCount; ++i) {
    if (ctx->searches[i] != nullptr && isCodewordSequenceScheme(schemeIdAt(ctx, i)))
      ctx->searches[i]->candidates = sequences;
  }
}

int64_t TembrolexinVorselT_ProcessData(VorselTContext* ctx, int16_t* samples, int32_t count,
                                       PerformanceData* performance, int64_t timeMs,
                                       VorselTResult* results) {
  if (ctx == nullptr || performance == nullptr || count < 0) return -1;
  return processBlock(ctx, samples, count, performance, timeMs, results);
}

int32_t TembrolexinVorselT_FlushResults(VorselTContext* ctx, VorselTResult* results, int64_t timeMs) {
  if (ctx == nullptr || results == nullptr) return 0;
  for (int32_t i = 0; i < ctx->schemeCount; ++i)
    if (ctx->searches[i] != nullptr) extendAndMerge(ctx->searches[i]);
  PartialResultItem** items = static_cast<PartialResultItem**>(
      calloc(static_cast<size_t>(ctx->schemeCount > 0 ? ctx->schemeCount : 1), sizeof(PartialResultItem*)));
  if (items == nullptr) return 0;
  collectResults(ctx, results, timeMs, items);
  int32_t published = 0;
  for (int32_t i = 0; i < ctx->schemeCount; ++i) {
    if (items[i] == nullptr) continue;
    clearPartialResultItem(items[i]);
    ++published;
  }
  free(items);
  if (published > 0) return published;
  clearHistory(ctx->library);
  for (int32_t i = 0; i < ctx->schemeCount; ++i)
    if (ctx->searches[i] != nullptr) clearPartialResultList(&ctx->searches[i]->anchors);
  return 0;
}

int32_t TembrolexinVorselT_resultsUnpublished(const VorselTContext* ctx) {
  if (ctx == nullptr) return 0;
  for (int32_t i = 0; i < ctx->schemeCount; ++i) {
    const PartialSearchRecord* r = ctx->searches[i];
    if (r == nullptr) continue;
    if (countPartialResultHits(&r->anchors) > 0 || countPartialResultHits(&r->results) > 0) return 1;
  }
  return 0;
}

void TembrolexinVorselT_setOptions(VorselTContext* ctx, int32_t index, const int32_t* options) {
  if (ctx == nullptr) return;
  if (index == -1) {
    for (int32_t i = 0; i < ctx->schemeCount; ++i) applyOptions(ctx, i, options);
  } else {
    applyOptions(ctx, index, options);
  }
}

int32_t TembrolexinVorselT_GetSchemeInfo(const VorselTContext* ctx, int32_t index,
                                         EncodingSchemeInfo* info) {
  return ctx == nullptr ? 0 : Tembrolexin_GetSchemeInfo(ctx->library, index, info);
}

int32_t TembrolexinVorselT_FsIn(const VorselTContext* ctx) {
  return ctx == nullptr ? 0 : Tembrolexin_FsIn(ctx->library);
}

int32_t TembrolexinVorselT_NEncodingSchemes(const VorselTContext* ctx) {
  return ctx == nullptr ? 0 : Tembrolexin_NEncodingSchemes(ctx->library);
}

const char* TembrolexinVorselT_GetErrorMsg(void) { return Tembrolexin_GetErrorMsg(); }

}  // extern "C"

}  // namespace tembrolexinsdk
