#include "core/decoder/scheme_config.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tembrolexinsdk {

namespace {

// Float to int32 by truncation toward zero, clamped to the int32 range (NaN
// gives 0): conversions of configuration values never overflow.
int32_t clampTruncate(float value) {
  if (!(value == value)) return 0;
  if (value >= 2147483648.0f) return INT32_MAX;
  if (value <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int32_t clampFloor(float value) {
  if (!(value == value)) return 0;
  return clampTruncate(std::floor(value));
}

void freeSubBandBank(SubBandBank* bank) {
  if (!bank) return;
  if (bank->rateTables) {
    for (int32_t i = 0; i < bank->bandCount; ++i) free(bank->rateTables[i]);
  }
  free(bank->rateTables);
  free(bank->signs);
  free(bank->rateCodes);
  free(bank);
}

void freeCodecArrays(CodewordCodecParams* codec) {
  if (!codec->ownsArrays) return;
  free(codec->generatorRows);
  free(codec->checkColumns);
  free(codec->symbolOrder);
  free(codec->puncturedPositions);
  free(codec->convBlockLengths);
  free(codec->interleaverTable);
}

void freeRecord(SchemeConfig* config) {
  freeCodecArrays(&config->codec);
  freeSubBandBank(config->subBandBank);
  if (config->ownsArrays) {
    free(config->name);
    free(config->shortName);
    free(config->positionOrders);
    free(config->unitScale);
    free(config->messageCurves.high.points);
    free(config->messageCurves.low.points);
    free(config->signalCurves.high.points);
    free(config->signalCurves.low.points);
  }
  free(config->positionLags);
  free(config->positionAlignments);
  free(config->levelTable);
  if (config->curveTableOwned || config->ownsArrays) free(config->curveTable);
  free(config);
}

template <typename Fn>
void forEachStrength(SchemeConfig* config, Fn fn) {
  config->syncThresholds[0] = fn(config->syncThresholds[0]);
  config->syncThresholds[1] = fn(config->syncThresholds[1]);
  SchemeCurve* curves[4] = {&config->messageCurves.high, &config->messageCurves.low,
                            &config->signalCurves.high, &config->signalCurves.low};
  for (SchemeCurve* curve : curves) {
    if (!curve->points) continue;
    for (int32_t i = 0; i < curve->count; ++i) curve->points[i].y = fn(curve->points[i].y);
  }
}

void storeInt(float* table, int32_t index, int32_t value) {
  std::memcpy(&table[index], &value, sizeof value);
}

}  // namespace

MessageParams* createMessageParams() {
  MessageParams* params = static_cast<MessageParams*>(calloc(1, sizeof(MessageParams)));
  if (!params) return nullptr;
  params->heartBeatCycle = kPeriodYear;
  params->counterBase[kPeriodDay] = 1900000;
  params->counterBase[kPeriodWeek] = 1860000;
  params->counterBase[kPeriodMonth] = 1680000;
  params->counterBase[kPeriodQuarter] = 0;
  params->counterBase[kPeriodYear] = 0;
  return params;
}

void freeMessageParams(MessageParams* params) { free(params); }

int32_t quarterMsToSamples(int32_t q, int32_t rateCode) {
  int64_t samples;
  if (rateCode == 44) {
    samples = (441 * static_cast<int64_t>(q) + 20) / 40;
  } else if (rateCode == 22) {
    samples = (441 * static_cast<int64_t>(q) + 40) / 80;
  } else {
    samples = static_cast<int64_t>(q) * rateCode / 4;
  }
  if (samples > INT32_MAX) return INT32_MAX;
  if (samples < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(samples);
}

int32_t rateCodeToHertz(int32_t rateCode) {
  if (rateCode == 22) return 22050;
  if (rateCode == 44) return 44100;
  int64_t hz = static_cast<int64_t>(rateCode) * 1000;
  if (hz > INT32_MAX) return INT32_MAX;
  if (hz < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(hz);
}

int32_t schemeBandCount(const SchemeConfig* config) {
  if (!config) return 0;
  if (!config->subBandBank) return 1;
  return config->subBandBank->bandCount;
}

int32_t schemeBandRate(const SchemeConfig* config, int32_t band) {
  if (!config) return 0;
  const SubBandBank* bank = config->subBandBank;
  if (!bank || !bank->rateCodes || band < 0 || band >= bank->bandCount) return config->rateCode;
  return bank->rateCodes[band];
}

int32_t schemeBandSign(const SchemeConfig* config, int32_t band) {
  if (!config) return 0;
  const SubBandBank* bank = config->subBandBank;
  if (!bank || !bank->signs || band < 0 || band >= bank->bandCount) return 1;
  return bank->signs[band] < 0 ? -1 : 1;
}

int32_t schemeCodedLength(const SchemeConfig* config) {
  if (!config) return 0;
  int64_t c = static_cast<int64_t>(config->codec.bitsPerSymbol) * config->codec.codeSymbols *
              config->codec.conv.generatorCount;
  if (c < 0 || c > INT32_MAX) return 0;
  return static_cast<int32_t>(c);
}

int32_t schemeFramesPerCodeword(const SchemeConfig* config) {
  if (!config) return 0;
  int64_t per = static_cast<int64_t>(schemeBandCount(config)) * config->positionCount;
  if (per <= 0) return 0;
  int64_t c = schemeCodedLength(config);
  return static_cast<int32_t>((c + per - 1) / per);
}

int32_t schemeConfigCount(const SchemeConfig* list) {
  int32_t n = 0;
  for (; list; list = list->next) ++n;
  return n;
}

SchemeConfig* schemeConfigAt(SchemeConfig* list, int32_t index) {
  if (index < 0) return nullptr;
  for (; list && index > 0; --index) list = list->next;
  return list;
}

void freeSchemeConfigList(SchemeConfig* list) {
  while (list) {
    SchemeConfig* next = list->next;
    freeRecord(list);
    list = next;
  }
}

int32_t isNearZero(float value) { return std::fabs(value) < 0.00001f ? 1 : 0; }

int32_t convertSchemeConfigUnits(SchemeConfig* list, int32_t form) {
  if (form != 1 && form != 2) return 0;
  int32_t allConverted = 1;
  for (SchemeConfig* config = list; config; config = config->next) {
    if (config->unitForm == form) continue;
    const int32_t from = config->unitForm;
    if (config->unitScale && (from == 1 || from == 2)) {
      const float s = config->unitScale[0];
      const float o = config->unitScale[1];
      if (isNearZero(s) || !std::isfinite(s) || !std::isfinite(o)) {
        allConverted = 0;  // refused: the record keeps its form and values
        continue;
      }
      if (form == 2) {
        const float inverse = 1.0f / s;
        const float offset = -o / s;
        forEachStrength(config, [&](int32_t v) {
          return clampTruncate(static_cast<float>(v) * inverse + offset + 0.5f);
        });
      } else {
        forEachStrength(config, [&](int32_t v) {
          return clampTruncate(o + s * static_cast<float>(v) + 0.5f);
        });
      }
    }
    config->unitForm = form;
  }
  return allConverted;
}

void scaleSchemeTimes(SchemeConfig* config, int32_t factor) {
  if (!config) return;
  const float f = static_cast<float>(factor);
  if (config->curveTable) {
    for (int32_t i = 0; i < config->curveTableLength; ++i) {
      storeInt(config->curveTable, i, clampFloor(config->curveTable[i] * f + 0.5f));
    }
  }
  if (config->levelTable) {
    for (int32_t i = 0; i < kLevelTableSize; ++i) {
      storeInt(config->levelTable, i, clampFloor(config->levelTable[i] * f + 0.5f));
    }
  }
}

int32_t schemeTableInt(const float* table, int32_t index) {
  if (!table || index < 0) return 0;
  int32_t value;
  std::memcpy(&value, &table[index], sizeof value);
  return value;
}

int32_t interpolateSchemeTable(SchemeConfig* config, int32_t factor) {
  if (!config || factor < 1 || !config->curveTable || config->curveTableLength < 1) return 1;
  const int32_t n = config->curveTableLength;
  const float* old = config->curveTable;
  const int64_t newLength = static_cast<int64_t>(n - 1) * factor + 1;
  if (newLength > (1 << 24)) return 0;  // refuse tables beyond 16 M entries
  float* table = static_cast<float*>(malloc(static_cast<size_t>(newLength) * sizeof(float)));
  if (!table) return 0;
  for (int32_t k = 0; k < n; ++k) table[static_cast<int64_t>(k) * factor] = old[k];
  for (int32_t k = 0; k + 1 < n; ++k) {
    const float p1 = old[k];
    const float p2 = old[k + 1];
    const float p0 = k > 0 ? old[k - 1] : 2.0f * old[0] - old[1];
    const float p3 = k + 2 < n ? old[k + 2] : 2.0f * old[k + 1] - old[k];
    for (int32_t j = 1; j < factor; ++j) {
      const float t = static_cast<float>(j) / static_cast<float>(factor);
      const float value = p1 + t * (p2 - p0) / 2.0f +
                          t * t * (p0 - 2.5f * p1 + 2.0f * p2 - p3 / 2.0f) +
                          t * t * t * (p3 / 2.0f - p0 / 2.0f + 1.5f * p1 - 1.5f * p2);
      table[static_cast<int64_t>(k) * factor + j] = value;
    }
  }
  if (config->ownsArrays || config->curveTableOwned) free(config->curveTable);
  config->curveTable = table;
  config->curveTableLength = static_cast<int32_t>(newLength);
  config->curveTableOwned = 1;
  return 1;
}

void rootSchemeTable(SchemeConfig* config) {
  if (!config || !config->levelTable) return;
  const int32_t bands = schemeBandCount(config);
  if (bands < 1) return;
  const float exponent = 1.0f / static_cast<float>(bands);
  for (int32_t i = 0; i < kLevelTableSize; ++i) {
    config->levelTable[i] = std::pow(config->levelTable[i], exponent);
  }
}

void fillEncodingSchemeInfo(const SchemeConfig* config, EncodingSchemeInfo* info) {
  if (!config || !info) return;
  info->scheme = config->scheme;
  info->name = config->name;
  info->shortName = config->shortName;
  info->codewordDuration =
      static_cast<int64_t>(schemeFramesPerCodeword(config)) * config->symbolDuration / 4;
  int32_t largest = 0;
  if (config->positionAlignments) {
    for (int32_t i = 0; i < config->positionCount; ++i) {
      if (i == 0 || config->positionAlignments[i] > largest) largest = config->positionAlignments[i];
    }
  }
  info->codewordOffset = (static_cast<int64_t>(config->comparisonDelay) + largest) / 4;
}

}  // namespace tembrolexinsdk
