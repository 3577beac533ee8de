#include "core/decoder/decoder_channel.h"

#include <stdlib.h>
#include <string.h>

#include "core/decoder/text_utils.h"

namespace tembrolexinsdk {
namespace {

// floor(log2(v)) for v >= 1.
int32_t floorLog2(int32_t v) { return 31 - __builtin_clz(static_cast<uint32_t>(v)); }

DecoderChannel* failChannel(DecoderChannel* channel, const SchemeConfig* config,
                            const char* what) {
  tembrolexinSetErrorText("Cannot create the decoder channel of scheme %d: %s",
                          config != nullptr ? config->scheme : -1, what);
  deleteDecoderChannel(channel);
  return nullptr;
}

// Reads the code word that ended at the last decision point out of the
// soft-symbol rings, decodes it in every position order and merges the
// results into `data`. `bestPosition` receives the clock position of the
// word that `data` now holds.
void decodeAtDecision(DecoderChannel* ch, PerformanceData* data, int64_t* bestPosition) {
  const Detector* det = ch->detector;
  const int32_t n = ch->phaseCount;
  // Steps since the decision step: `phase` has already moved past it. The
  // decision step's own symbols (the newest at that step) are the ones the
  // detector found strongest, so the word is read there.
  int32_t o = det->phase - det->decisionPhase - 1;
  while (o < 0) o += n;
  const int32_t b = ch->bandCount;
  const int32_t p = ch->positionCount;
  const int32_t f = ch->framesPerCodeword;
  const MatchedFilter* last = ch->matchedFilters[b - 1];
  const int32_t offset = ch->stepLength * (o + 1) - last->stepCountdown;  // o steps + since
  const SchemeConfig* cfg = ch->config;
  for (int32_t k = 0; k < ch->orderCount; ++k) {
    for (int32_t band = 0; band < b; ++band) {
      const MatchedFilter* filter = ch->matchedFilters[band];
      for (int32_t frame = 0; frame < f; ++frame) {
        int8_t* row = ch->assembly + (static_cast<int64_t>(frame) * b + band) * p;
        const int64_t back = o + static_cast<int64_t>(f - 1 - frame) * n;
        for (int32_t pos = 0; pos < p; ++pos) {
          const int32_t place = cfg->positionOrders != nullptr && cfg->positionOrderCount > 0
                                    ? cfg->positionOrders[k * p + pos]
                                    : pos;
          row[place] = CircularBufferCharAt(&filter->softSymbols[pos], back + filter->align[pos]);
        }
      }
    }
    CodewordDecodeResult result;
    decodeCodeword(ch->codec, ch->assembly, &result);
    resultHistoryAdd(ch->resultHistory, offset, det->decisionPhase, &result);
    PerformanceData candidate;
    performanceDataReset(&candidate);
    const int64_t value = static_cast<int64_t>(result.value);
    if (value >= 0 && result.errors >= 0) {
      candidate.msg = value;
      candidate.nFecErrors = result.errors;
      candidate.msgSignalStrength95pc =
          static_cast<int16_t>(symbolStrength95(ch->symbolStatistics, ch->assembly));
      candidate.msgScheme = cfg->scheme + k * 256;
      candidate.bitSlicePosMsg = static_cast<int16_t>(det->decisionPhase);
      candidate.cwSampleNo = offset;
      if (getBestMsg(data, &candidate)) *bestPosition = ch->resultHistory->clock - offset;
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Gain normaliser.

BlockNormaliser* createBlockNormaliser(int32_t period, int32_t averageCount) {
  if (period < 1 || period > INT16_MAX || averageCount < 1) return nullptr;
  BlockNormaliser* n = static_cast<BlockNormaliser*>(calloc(1, sizeof(BlockNormaliser)));
  if (n == nullptr) return nullptr;
  n->period = static_cast<int16_t>(period);
  n->averageCount = averageCount;
  if (!initRunningAverageShort2(&n->average, nullptr, averageCount)) {
    free(n);
    return nullptr;
  }
  return n;
}

void deleteBlockNormaliser(BlockNormaliser* normaliser) {
  if (normaliser == nullptr) return;
  closeRunningAverageShort(&normaliser->average);
  free(normaliser);
}

namespace {

constexpr int32_t kNormaliseTile = 256;

// Scales n contiguous samples by 2^shift, saturating those above limit to
// ±32767, and returns the larger of peak and their largest magnitude.
int32_t scaleStretch(int16_t* x, int32_t n, int32_t shift, int32_t limit, int32_t peak) {
  for (int32_t k = 0; k < n; ++k) {
    const int32_t v = x[k];
    const int32_t m = v < 0 ? -v : v;
    peak = m > peak ? m : peak;
    const int32_t clipped = v > 0 ? 32767 : -32767;
    x[k] = static_cast<int16_t>(m > limit ? clipped : v * (1 << shift));
  }
  return peak;
}

// scaleStretch over t samples `stride` apart, through a contiguous tile
// (t <= kNormaliseTile).
inline int32_t scaleThroughTile(int16_t* x, int32_t t, int64_t stride, int32_t shift,
                                int32_t limit, int32_t peak) {
  int16_t tile[kNormaliseTile];
  for (int32_t k = 0; k < t; ++k) tile[k] = x[k * stride];
  peak = scaleStretch(tile, t, shift, limit, peak);
  for (int32_t k = 0; k < t; ++k) x[k * stride] = tile[k];
  return peak;
}

}  // namespace

void blockNormalise(BlockNormaliser* nz, int16_t* samples, int32_t count, int32_t stride) {
  if (nz == nullptr || samples == nullptr || count < 1 || stride < 1) return;
  int32_t peak = nz->peak;
  int32_t counter = nz->counter;
  int32_t shift = nz->shift;
  int32_t limit = 32767 >> shift;
  int16_t* x = samples;
  // The gain changes only at the end of a period, so each stretch up to the
  // next one is a plain loop (vectorised for one band).
  for (int32_t i = 0; i < count;) {
    const int32_t left = nz->period - counter;
    const int32_t n = left > 0 && left < count - i ? left : count - i;
    if (stride == 1) {
      peak = scaleStretch(x, n, shift, limit, peak);
      x += n;
    } else {
      // One band of several: through a contiguous tile, so that the
      // stretch loop still vectorises.
      for (int32_t done = 0; done < n;) {
        const int32_t t = n - done < kNormaliseTile ? n - done : kNormaliseTile;
        // A literal stride of 2 makes the copies constant-stride, which GCC
        // vectorises (a variable stride stays scalar).
        peak = stride == 2 ? scaleThroughTile(x, t, 2, shift, limit, peak)
                           : scaleThroughTile(x, t, stride, shift, limit, peak);
        x += static_cast<int64_t>(t) * stride;
        done += t;
      }
    }
    i += n;
    counter += n;
    if (counter == nz->period) {
      int16_t headroom;
      if (peak >= 4096) {
        headroom = 0;
      } else if (peak >= 1) {
        headroom = static_cast<int16_t>(12 - floorLog2(peak));
      } else {
        headroom = 13;
      }
      int16_t smoothed;
      getRunningAverageShort(&headroom, &smoothed, 1, &nz->average);
      shift = smoothed < 0 ? 0 : (smoothed > 13 ? 13 : smoothed);
      limit = 32767 >> shift;
      peak = 0;
      counter = 0;
    }
  }
  nz->peak = peak;
  nz->counter = counter;
  nz->shift = static_cast<int16_t>(shift);
}

// ---------------------------------------------------------------------------
// Channel.

DecoderChannel* createDecoderChannel(const SchemeConfig* config, int32_t rateHz, int32_t mode) {
  if (config == nullptr) {
    tembrolexinSetErrorText("Cannot create a decoder channel without a scheme configuration");
    return nullptr;
  }
  if (rateHz / 1000 != config->rateCode) {
    tembrolexinSetErrorText(
        "Cannot create the decoder channel of scheme %d: rate %d Hz does not match rate code %d",
        config->scheme, rateHz, config->rateCode);
    return nullptr;
  }
  DecoderChannel* ch = static_cast<DecoderChannel*>(calloc(1, sizeof(DecoderChannel)));
  if (ch == nullptr) return failChannel(nullptr, config, "Malloc failure");
  ch->config = config;
  ch->bandCount = schemeBandCount(config);
  ch->framesPerCodeword = schemeFramesPerCodeword(config);
  ch->positionCount = config->positionCount;
  ch->phaseCount = config->phaseCount;
  ch->orderCount = config->positionOrderCount > 0 && config->positionOrders != nullptr
                       ? config->positionOrderCount
                       : 1;
  const int32_t b = ch->bandCount;
  if (b < 1 || b > 2 || ch->framesPerCodeword < 1 || ch->positionCount < 1 ||
      ch->phaseCount < 2) {
    return failChannel(ch, config, "unsupported band, position or phase layout");
  }

  ch->codedLength = schemeCodedLength(config);
  ch->codec = createCodewordCodec(&config->codec, mode != 0);
  if (ch->codec == nullptr) return failChannel(ch, config, "the code word codec was refused");
  ch->detector = detectorCreate(config);
  if (ch->detector == nullptr) return failChannel(ch, config, "the detector was refused");
  ch->preFilter = preFilterCreate(config->rateCode, config->longPreFilter);
  if (ch->preFilter == nullptr) return failChannel(ch, config, "Malloc failure");
  const int64_t messageMs =
      static_cast<int64_t>(ch->framesPerCodeword) * config->symbolDuration / 4;
  ch->levelMeter = levelMeterCreate(
      config->rateCode, messageMs > INT32_MAX ? INT32_MAX : static_cast<int32_t>(messageMs));
  if (ch->levelMeter == nullptr) {
    return failChannel(ch, config, "the level meter needs a code word of at least one second");
  }
  ch->symbolStatistics = symbolStatisticsCreate(config);
  if (ch->symbolStatistics == nullptr) {
    return failChannel(ch, config, "a code word needs at least 20 soft symbols");
  }
  ch->acceptance = acceptanceCreate(config);
  if (ch->acceptance == nullptr) return failChannel(ch, config, "Malloc failure");
  // Only a real split needs the bank's tables; a one-band bank just carries
  // the band's sign, which initialising it would reset to +1.
  if (config->subBandBank != nullptr && config->subBandBank->bandCount > 1 &&
      !subBandBankInit(config->subBandBank, config->rateCode)) {
    return failChannel(ch, config, "the sub-band bank does not support this rate");
  }
  ch->bandRate = schemeBandRate(config, 0);

  ch->matchedFilters = static_cast<MatchedFilter**>(calloc(b, sizeof(MatchedFilter*)));
  ch->normalisers = static_cast<BlockNormaliser**>(calloc(b, sizeof(BlockNormaliser*)));
  if (ch->matchedFilters == nullptr || ch->normalisers == nullptr) {
    return failChannel(ch, config, "Malloc failure");
  }
  for (int32_t band = 0; band < b; ++band) {
    const int32_t rate = schemeBandRate(config, band);
    ch->matchedFilters[band] = matchedFilterCreate(config, rate);
    if (ch->matchedFilters[band] == nullptr) {
      return failChannel(ch, config, "the matched filter was refused");
    }
    const int32_t period = (rate * 256) / b;
    ch->normalisers[band] = createBlockNormaliser(period, 16 / b);
    if (ch->normalisers[band] == nullptr) {
      return failChannel(ch, config, "the gain normaliser was refused");
    }
  }
  ch->stepLength = ch->matchedFilters[0]->stepLength;

  ch->frameCutter = sampleHolderCreate(b);
  if (ch->frameCutter == nullptr) return failChannel(ch, config, "Malloc failure");
  if (b > 1) {
    ch->bandFilters = static_cast<BandFilter*>(calloc(b, sizeof(BandFilter)));
    if (ch->bandFilters == nullptr) return failChannel(ch, config, "Malloc failure");
    for (int32_t band = 0; band < b; ++band) {
      bandFilterInit(&ch->bandFilters[band], config->subBandBank->rateTables[band]);
      bandFilterSetOwnsDelayLine(&ch->bandFilters[band], band == 0 ? 1 : 0);
      if (bandFilterSetRate(&ch->bandFilters[band], config->rateCode, 2) < 0) {
        return failChannel(ch, config, "the band filter has no table for this rate");
      }
    }
  }

  ch->ownsWorkAreas = mode;
  if (mode != 0) {
    ch->assembly = static_cast<int8_t*>(
        calloc(static_cast<size_t>(ch->framesPerCodeword) * ch->positionCount * b, 1));
    if (ch->assembly == nullptr) return failChannel(ch, config, "Malloc failure");
  }
  ch->resultHistory = resultHistoryCreate(config);
  if (ch->resultHistory == nullptr) return failChannel(ch, config, "Malloc failure");
  return ch;
}

void deleteDecoderChannel(DecoderChannel* ch) {
  if (ch == nullptr) return;
  detectorFree(ch->detector);
  deleteCodewordCodec(ch->codec);
  preFilterFree(ch->preFilter);
  const int32_t b = ch->bandCount;
  if (ch->matchedFilters != nullptr) {
    for (int32_t band = 0; band < b; ++band) matchedFilterFree(ch->matchedFilters[band]);
    free(ch->matchedFilters);
  }
  if (ch->normalisers != nullptr) {
    for (int32_t band = 0; band < b; ++band) deleteBlockNormaliser(ch->normalisers[band]);
    free(ch->normalisers);
  }
  sampleHolderFree(ch->frameCutter);
  if (ch->bandFilters != nullptr) {
    for (int32_t band = 0; band < b; ++band) bandFilterClear(&ch->bandFilters[band]);
    free(ch->bandFilters);
  }
  levelMeterFree(ch->levelMeter);
  symbolStatisticsFree(ch->symbolStatistics);
  acceptanceFree(ch->acceptance);
  if (ch->ownsWorkAreas) free(ch->assembly);
  resultHistoryFree(ch->resultHistory);
  free(ch);
}

int32_t assignChannelScratchPad(DecoderChannel* ch, void* pad) {
  if (ch == nullptr) return 0;
  const int32_t count = ch->framesPerCodeword * ch->positionCount * ch->bandCount;
  // A channel with its own work areas only reports what a pad would need.
  void* target = ch->ownsWorkAreas ? nullptr : pad;
  void* assembly = nullptr;
  const int32_t assemblyBytes = assignScratchPad2(&assembly, count, 1, target, 0, 4);
  if (target != nullptr) ch->assembly = static_cast<int8_t*>(assembly);
  const int32_t codecBytes = assignCodecScratchPad(
      ch->codec, target != nullptr ? static_cast<uint8_t*>(target) + assemblyBytes : nullptr);
  return assemblyBytes + codecBytes;
}

int64_t processDecoderChannel(DecoderChannel* ch, int16_t* samples, int32_t count,
                              PerformanceData* data) {
  if (ch == nullptr || data == nullptr) return -1;
  if (samples == nullptr || count < 0) count = 0;
  levelMeterProcess(ch->levelMeter, samples, count);
  preFilterProcess(ch->preFilter, samples, count);
  performanceDataReset(data);

  const int32_t b = ch->bandCount;
  const int32_t chunkLimit = ch->stepLength * b;
  int64_t bestPosition = -1;
  int32_t decisions = 0;
  int16_t* input = samples;
  int32_t remaining = count;
  while (remaining > 0) {
    int32_t frameLength = 0;
    int16_t* frame = cutFrame(ch->frameCutter, &input, &remaining, &frameLength);
    if (frame == nullptr) continue;  // the cutter holds the rest of a group
    for (int32_t at = 0; at < frameLength; at += chunkLimit) {
      // At most one phase step per piece, so that each decision point is
      // decoded before the rings move on.
      const int32_t chunk = frameLength - at < chunkLimit ? frameLength - at : chunkLimit;
      int16_t* piece = frame + at;
      if (b == 2) bandSplit(&ch->bandFilters[0], &ch->bandFilters[1], piece, chunk);
      for (int32_t band = 0; band < b; ++band) {
        blockNormalise(ch->normalisers[band], piece + band, chunk / b, b);
      }
      int32_t steps = 0;
      for (int32_t band = 0; band < b; ++band) {
        steps = matchedFilterProcess(ch->matchedFilters[band], piece, chunk, band, b);
      }
      resultHistoryAdvance(ch->resultHistory, chunk);
      if (steps < 1) continue;
      const int32_t passed =
          detectorProcess(ch->detector, ch->matchedFilters, steps, b, data, piece);
      if (passed > 0 && ch->assembly != nullptr) {
        decisions += passed;
        decodeAtDecision(ch, data, &bestPosition);
      }
    }
  }
  if (decisions > 0) {
    if (!performanceDataHasMessage(data)) {
      resultHistoryReport(ch->resultHistory, data);
    } else if (bestPosition >= 0) {
      const int64_t since = ch->resultHistory->clock - bestPosition;
      data->cwSampleNo = since > INT32_MAX ? INT32_MAX : static_cast<int32_t>(since);
    }
  }
  levelMeterReport(ch->levelMeter, data);
  acceptanceApply(ch->acceptance, data);
  return data->msg;
}

void clearDecoderChannelHistory(DecoderChannel* ch) {
  if (ch == nullptr || ch->matchedFilters == nullptr) return;
  for (int32_t band = 0; band < ch->bandCount; ++band) {
    MatchedFilter* f = ch->matchedFilters[band];
    if (f == nullptr) continue;
    for (int32_t i = 0; i < f->positionCount; ++i) {
      CircularBuffer* ring = &f->softSymbols[i];
      if (ring->base == nullptr) continue;
      memset(ring->base, 0, static_cast<size_t>(ring->count) * ring->elementSize);
      ring->current = ring->base;
    }
  }
  detectorClearSums(ch->detector);
}

CircularBuffer* decoderChannelSoftSymbols(DecoderChannel* ch, int32_t band, int32_t length) {
  if (ch == nullptr || band < 0 || band >= ch->bandCount || ch->matchedFilters == nullptr) {
    return nullptr;
  }
  CircularBuffer* rings = matchedFilterSoftSymbols(ch->matchedFilters[band], length);
  if (length > 0) detectorClearSums(ch->detector);
  return rings;
}

}  // namespace tembrolexinsdk
