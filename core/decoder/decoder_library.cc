#include "core/decoder/decoder_library.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "core/decoder/scheme_config_reader.h"
#include "core/decoder/text_utils.h"

namespace tembrolexinsdk {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool validIndex(const DecoderLibraryContext* context, int32_t index) {
  return context != nullptr && index >= 0 && index < context->schemeCount &&
         context->channels != nullptr && context->channels[index] != nullptr;
}

SchemeConfig* schemeAt(const DecoderLibraryContext* context, int32_t index) {
  if (context == nullptr || index < 0 || index >= context->schemeCount) return nullptr;
  return schemeConfigAt(context->schemes, index);
}

DecoderLibraryContext* failInit(DecoderLibraryContext* context) {
  Tembrolexin_Close(context);
  return nullptr;
}

// Appends one token's schemes to the context. False with the error text set.
bool addToken(DecoderLibraryContext* context, const char* token, SchemeConfig** tail) {
  MessageParams* params = nullptr;
  SchemeConfig* list = readSchemeConfig(token, &params);
  if (list == nullptr) {
    freeMessageParams(params);
    return false;
  }
  const int32_t added = schemeConfigCount(list);
  if (added < 1) {
    freeMessageParams(params);
    return true;
  }
  MessageParams** grown = static_cast<MessageParams**>(
      realloc(context->messageParams,
              sizeof(MessageParams*) * static_cast<size_t>(context->schemeCount + added)));
  if (grown == nullptr) {
    tembrolexinSetErrorText("Malloc failure");
    freeSchemeConfigList(list);
    freeMessageParams(params);
    return false;
  }
  context->messageParams = grown;
  for (int32_t i = 0; i < added; ++i) grown[context->schemeCount + i] = params;
  context->schemeCount += added;
  if (*tail == nullptr) {
    context->schemes = list;
  } else {
    (*tail)->next = list;
  }
  SchemeConfig* last = list;
  while (last->next != nullptr) last = last->next;
  *tail = last;
  return true;
}

// One common rate, or exactly the pair 8 and 16 kHz.
bool ratesServable(const SchemeConfig* list, bool* mixed) {
  bool has8 = false, has16 = false, other = false;
  const int32_t first = list->rateCode;
  bool allSame = true;
  for (const SchemeConfig* s = list; s != nullptr; s = s->next) {
    if (s->rateCode != first) allSame = false;
    if (s->rateCode == 8) {
      has8 = true;
    } else if (s->rateCode == 16) {
      has16 = true;
    } else {
      other = true;
    }
  }
  *mixed = has8 && has16;
  return allSame || (has8 && has16 && !other);
}

int32_t clampToInt32(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace

extern "C" {

DecoderLibraryContext* Tembrolexin_Init2(const char* config, int64_t mode) {
  DecoderLibraryContext* context =
      static_cast<DecoderLibraryContext*>(calloc(1, sizeof(DecoderLibraryContext)));
  if (context == nullptr) {
    tembrolexinSetErrorText("Malloc failure\n");
    return nullptr;
  }
  if (config == nullptr) {
    tembrolexinSetErrorText("No decoder configuration given");
    return failInit(context);
  }
  const char* first = config;
  while (*first != '\0' && isBlank(*first)) ++first;

  SchemeConfig* tail = nullptr;
  if (*first == '<') {
    // One XML configuration text, white space and all.
    if (!addToken(context, config, &tail)) return failInit(context);
  } else {
    int32_t count = 0;
    char* copy = nullptr;
    char** tokens = breakIntoTokensFromConst(config, &count, &copy);
    if (tokens == nullptr) {
      free(copy);
      tembrolexinSetErrorText("Malloc failure\n");
      return failInit(context);
    }
    for (int32_t i = 0; i < count; ++i) {
      if (!addToken(context, tokens[i], &tail)) {
        deleteTokensFromConst(tokens, copy);
        return failInit(context);
      }
    }
    deleteTokensFromConst(tokens, copy);
  }

  if (context->schemeCount < 1) {
    tembrolexinSetErrorText("The decoder configuration names no encoding scheme");
    return failInit(context);
  }
  bool mixed = false;
  if (!ratesServable(context->schemes, &mixed)) {
    tembrolexinSetErrorText(
        "Unsupported mix of sample rates: all schemes need one rate, or 8 and 16 kHz together");
    return failInit(context);
  }
  context->channels =
      static_cast<DecoderChannel**>(calloc(context->schemeCount, sizeof(DecoderChannel*)));
  if (context->channels == nullptr) {
    tembrolexinSetErrorText("Malloc failure");
    return failInit(context);
  }
  convertSchemeConfigUnits(context->schemes, 2);
  const int32_t channelMode = mode != 0 ? 1 : 0;
  int32_t index = 0;
  for (SchemeConfig* s = context->schemes; s != nullptr; s = s->next, ++index) {
    context->channels[index] = createDecoderChannel(s, s->rateCode * 1000, channelMode);
    if (context->channels[index] == nullptr) return failInit(context);
  }
  if (mixed) {
    int32_t taps = 0;
    const int16_t* table = getFilterCoefficients(16, 8, &taps);
    const int32_t ratio = 2;
    context->resampler = resamplingFilterInit(1, 1, &ratio, table, taps);
    if (context->resampler == nullptr) {
      tembrolexinSetErrorText("Cannot create the 16 to 8 kHz resampling filter");
      return failInit(context);
    }
  }
  return context;
}

void Tembrolexin_Close(DecoderLibraryContext* context) {
  if (context == nullptr) return;
  free(context->inputCopy);
  if (context->channels != nullptr) {
    for (int32_t i = 0; i < context->schemeCount; ++i) deleteDecoderChannel(context->channels[i]);
    free(context->channels);
  }
  resamplingFilterClose(context->resampler);
  if (context->messageParams != nullptr) {
    for (int32_t i = context->schemeCount - 1; i >= 0; --i) {
      if (i == 0 || context->messageParams[i] != context->messageParams[i - 1]) {
        freeMessageParams(context->messageParams[i]);
      }
    }
    free(context->messageParams);
  }
  freeSchemeConfigList(context->schemes);
  free(context);
}

int32_t Tembrolexin_AssignScratchPad(DecoderLibraryContext* context, void* pad) {
  if (context == nullptr || context->channels == nullptr) return 0;
  int32_t largest = 0;
  for (int32_t i = 0; i < context->schemeCount; ++i) {
    const int32_t need = assignChannelScratchPad(context->channels[i], pad);
    if (need > largest) largest = need;
  }
  return largest;
}

int64_t Tembrolexin_ProcessData(DecoderLibraryContext* context, int16_t* samples,
                                int32_t count, PerformanceData* records) {
  if (context == nullptr || records == nullptr || context->schemeCount < 1 ||
      context->channels == nullptr || count < 0 || (count > 0 && samples == nullptr)) {
    return -1;
  }
  const int32_t schemes = context->schemeCount;
  const bool several = schemes > 1;
  if (several && context->inputCopyCapacity < count) {
    free(context->inputCopy);
    context->inputCopy = static_cast<int16_t*>(malloc(sizeof(int16_t) * static_cast<size_t>(count)));
    if (context->inputCopy == nullptr) {
      context->inputCopyCapacity = 0;
      return -999;
    }
    context->inputCopyCapacity = count;
  }
  if (several && count > 0) memcpy(context->inputCopy, samples, sizeof(int16_t) * count);

  PerformanceData best;
  performanceDataReset(&best);
  int32_t passRate = context->resampler != nullptr ? 16 : context->schemes->rateCode;
  int32_t n = count;
  for (;;) {
    int32_t index = 0;
    for (SchemeConfig* s = context->schemes; s != nullptr; s = s->next, ++index) {
      if (s->rateCode != passRate) continue;
      PerformanceData* record = &records[index];
      performanceDataReset(record);
      processDecoderChannel(context->channels[index], samples, n, record);
      const uint32_t tag = static_cast<uint32_t>(index) << 24;
      if (record->sigScheme >= 0) {
        record->sigScheme = static_cast<int32_t>(static_cast<uint32_t>(record->sigScheme) | tag);
      }
      if (record->msgScheme >= 0) {
        record->msgScheme = static_cast<int32_t>(static_cast<uint32_t>(record->msgScheme) | tag);
      }
      getBestPerformanceData(&best, record);
      if (several && n > 0) memcpy(samples, context->inputCopy, sizeof(int16_t) * n);
      // Samples counted from the end of the word, in input samples.
      if (record->cwSampleNo >= 0) {
        const int32_t inputK = Tembrolexin_FsIn(context) / 1000;
        const int32_t perBand = s->rateCode / schemeBandCount(s);
        if (perBand > 0) {
          record->cwSampleNo =
              clampToInt32(static_cast<int64_t>(record->cwSampleNo) * (inputK / perBand));
        }
      }
    }
    if (passRate == 16 && context->resampler != nullptr) {
      n = resamplingFilterProcess(context->resampler, samples, n);
      if (n > 0) memcpy(context->inputCopy, samples, sizeof(int16_t) * n);
      passRate = 8;
      continue;
    }
    break;
  }
  return best.msg;
}

int32_t Tembrolexin_FsIn(const DecoderLibraryContext* context) {
  if (context == nullptr) return 0;
  int32_t highest = 0;
  for (const SchemeConfig* s = context->schemes; s != nullptr; s = s->next) {
    const int32_t hz = rateCodeToHertz(s->rateCode);
    if (hz > highest) highest = hz;
  }
  return highest;
}

int32_t Tembrolexin_NEncodingSchemes(const DecoderLibraryContext* context) {
  return context != nullptr ? context->schemeCount : 0;
}

int32_t Tembrolexin_GetSchemeInfo(const DecoderLibraryContext* context, int32_t index,
                                  EncodingSchemeInfo* info) {
  const SchemeConfig* s = schemeAt(context, index);
  if (s == nullptr || info == nullptr) return 0;
  fillEncodingSchemeInfo(s, info);
  return 1;
}

const char* Tembrolexin_GetErrorMsg(void) { return tembrolexinErrorText(); }

int32_t Tembrolexin_SetErrorMsg(const char* text) {
  return tembrolexinSetErrorText("%s", text != nullptr ? text : "");
}

const char* Tembrolexin_GetVersionNumber(void) { return kDecoderVersionBanner; }

int32_t Tembrolexin_ValidEncodingSchemeName(const char* name) {
  return getEncodingScheme(name) >= 0 ? 1 : 0;
}

int64_t Tembrolexin_interpretCodeword(const DecoderLibraryContext* context, int32_t index,
                                      int64_t codeword, CodewordInterpretation* result) {
  const SchemeConfig* s = schemeAt(context, index);
  if (s == nullptr || result == nullptr) return -1;
  const int32_t algorithm = encScheme2DefaultMsgAlgoDecoder(s->scheme);
  const int64_t now =
      algorithm == kMsgAlgoEventEngine2 ? 0 : static_cast<int64_t>(time(nullptr)) * 1000;
  return interpretCodeword(codeword, now, algorithm, s, result);
}

int32_t Tembrolexin_interpretCodewordStr(const DecoderLibraryContext* context, int32_t index,
                                         int64_t codeword, char* text, int32_t size) {
  if (text == nullptr || size < 1) return 0;
  text[0] = '\0';
  if (schemeAt(context, index) == nullptr) return 0;
  CodewordInterpretation record;
  Tembrolexin_interpretCodeword(context, index, codeword, &record);
  if (record.id < 0) {
    const int written = snprintf(text, static_cast<size_t>(size), "burst");
    return written < size ? written : size - 1;
  }
  const int head = snprintf(text, static_cast<size_t>(size), "%s ID %d, time ",
                            record.algorithm == kMsgAlgoEventEngine2 ? "Track" : "Station",
                            record.id);
  if (head < 0) return 0;
  if (head >= size - 1) return size - 1;
  return getCodewordDateStr(record.wordTime, record.algorithm, record.periodKind, text + head,
                            size - head);
}

}  // extern "C"

CircularBuffer* getMatchedFilterBuffer(DecoderLibraryContext* context, int32_t index,
                                       int32_t band, int32_t length) {
  if (!validIndex(context, index) || length < 0) return nullptr;
  return decoderChannelSoftSymbols(context->channels[index], band, length);
}

int32_t getMatchedFilterBufferLength(const DecoderLibraryContext* context, int32_t index) {
  if (!validIndex(context, index)) return 0;
  return matchedFilterSoftSymbolLength(context->channels[index]->matchedFilters[0]);
}

int32_t getMsSinceLastMatchedFilterBufferOutput(const DecoderLibraryContext* context,
                                                int32_t index) {
  if (!validIndex(context, index)) return 0;
  const DecoderChannel* ch = context->channels[index];
  const int32_t perBand = ch->config->rateCode / ch->bandCount;
  if (perBand == 0) return 0;
  return matchedFilterSamplesSinceStep(ch->matchedFilters[0]) / perBand;
}

SchemeConfig* getEchoModParameters(DecoderLibraryContext* context, int32_t index) {
  return schemeAt(context, index);
}

MessageParams* getSchemeMessageParams(DecoderLibraryContext* context, int32_t index) {
  if (context == nullptr || index < 0 || index >= context->schemeCount ||
      context->messageParams == nullptr) {
    return nullptr;
  }
  return context->messageParams[index];
}

void clearHistory(DecoderLibraryContext* context) {
  if (context == nullptr || context->channels == nullptr) return;
  for (int32_t i = 0; i < context->schemeCount; ++i) {
    clearDecoderChannelHistory(context->channels[i]);
  }
}

}  // namespace tembrolexinsdk
