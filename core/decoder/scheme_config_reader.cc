#include "core/decoder/scheme_config_reader.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/decoder/text_utils.h"

namespace tembrolexinsdk {

namespace {

// Bounds that keep every later stage's buffers and arithmetic small.
constexpr int32_t kMaxSchemes = 64;
constexpr int32_t kMaxSchemeId = 255;  // msgScheme adds order * 256, bits 24..31 hold the index
constexpr int32_t kMaxPositions = 64;
constexpr int32_t kMaxPhaseCount = 256;
constexpr int32_t kMaxQuarterMs = 40000;  // 10 s
constexpr int32_t kMaxPositionOrders = 255;
constexpr int32_t kMaxStrength = 32767;
constexpr int32_t kMaxCurvePoints = 256;
constexpr int32_t kMaxCurveTable = 4096;
constexpr int32_t kMaxCodeSymbols = 31;
constexpr int32_t kMinConstraint = 2;
constexpr int32_t kMaxConstraint = 16;
constexpr int32_t kMetricLimit = 32768;
constexpr int64_t kMaxCounter = 2097151;  // 21-bit counters

const char* const kSchemeFields[] = {
    "rateCode",       "bandSigns",          "positionCount", "symbolDuration",
    "phaseCount",     "comparisonDelay",    "positionLags",  "positionAlignments",
    "positionOrders", "longPreFilter",      "syncThresholds", "unitScale",
    "messageCurves",  "signalCurves",       "levelTable",    "curveTable",
    "codec",
};
const char* const kCodecFields[] = {
    "bitsPerSymbol",      "infoSymbols",      "codeSymbols",      "errorLimit",
    "invertParity",       "symbolOrder",      "generatorRows",    "checkColumns",
    "puncturedPositions", "convBlockLengths", "constraintLength", "wrapLength",
    "generators",         "interleaverRows",  "interleaverColumns", "interleaverTable",
};
const char* const kMessageFields[] = {
    "heartBeatCycle", "counterBases", "algorithm6Base", "algorithm7Base",
};
const char* const kCurveFields[] = {"high", "low"};
const char* const kOrderFields[] = {"order"};
const char* const kRootFields[] = {"messageParams", "scheme"};

template <size_t N>
constexpr int32_t countOf(const char* const (&)[N]) {
  static_assert(N <= 32, "checkChildren counts at most 32 field names");
  return static_cast<int32_t>(N);
}

// A span of the configuration text.
struct Span {
  const char* text;
  int32_t length;
};

// Error reporting: every message starts with the place it refers to.
struct Where {
  int32_t index;   // scheme's place in the text (1-based), 0 outside schemes
  int32_t scheme;  // id once known, else -1
};

void fail(const Where& where, const char* field, const char* what) {
  if (where.index > 0) {
    tembrolexinSetErrorText("Scheme configuration: scheme %d (id %d): %s: %s", where.index,
                            where.scheme, field, what);
  } else {
    tembrolexinSetErrorText("Scheme configuration: %s: %s", field, what);
  }
}

void failf(const Where& where, const char* field, const char* format, long long a,
           long long b = 0) {
  char what[128];
  snprintf(what, sizeof what, format, a, b);
  fail(where, field, what);
}

bool isSpaceChar(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Checks that a section's content holds only known child sections, each at
// most once, and nothing but white space between them.
bool checkChildren(Span content, const char* const* names, int32_t nameCount, bool repeatable,
                   const Where& where, const char* owner) {
  const char* s = content.text;
  int32_t n = content.length;
  int32_t seen[32] = {0};
  if (nameCount > 32) return false;
  while (n > 0) {
    while (n > 0 && isSpaceChar(*s)) {
      ++s;
      --n;
    }
    if (n == 0) break;
    const char* contentStart;
    const char* sectionStart;
    int32_t nameLength, contentLength, sectionLength, code;
    const char* name = getNextSectionXmlCheckValidity(s, n, &contentStart, &nameLength,
                                                      &contentLength, &sectionStart,
                                                      &sectionLength, &code);
    if (!name || sectionStart != s) {
      fail(where, owner, "unexpected text between sections");
      return false;
    }
    int32_t match = -1;
    for (int32_t i = 0; i < nameCount; ++i) {
      if (static_cast<int32_t>(std::strlen(names[i])) == nameLength &&
          tembrolexin_strncmpi(name, names[i], nameLength) == 0) {
        match = i;
        break;
      }
    }
    if (match < 0) {
      char field[48];
      const int32_t shown = nameLength < 40 ? nameLength : 40;
      snprintf(field, sizeof field, "%.*s", static_cast<int>(shown), name);
      fail(where, field, "unknown field");
      return false;
    }
    if (!repeatable && ++seen[match] > 1) {
      fail(where, names[match], "given more than once");
      return false;
    }
    s += sectionLength;
    n -= sectionLength;
  }
  return true;
}

bool hasField(Span span, const char* field) {
  int32_t length;
  return getSectionXmlIncludingTags(span.text, span.length, field, &length) != nullptr;
}

Span fieldContent(Span span, const char* field) {
  Span out{nullptr, 0};
  out.text = getSectionXml(span.text, span.length, field, &out.length);
  return out;
}

// Reads a list of 64-bit integers (decimal, or hexadecimal with "0x") into a
// new array; *count gets the number. False with the error set for bad
// numbers or values outside lo..hi, or more than maxCount values.
bool readIntegers(Span span, const char* field, int64_t lo, int64_t hi, int32_t maxCount,
                  int64_t** values, int32_t* count, const Where& where,
                  const char* label = nullptr) {
  const char* path = field;
  if (label) field = label;
  *values = nullptr;
  *count = 0;
  int32_t rejected = 0;
  const int32_t n = fillNFieldsStrict(span.text, span.length, path, nullptr, 0, 8, "%lld",
                                      &rejected);
  if (rejected > 0) {
    fail(where, field, "not a list of integers");
    return false;
  }
  if (n > maxCount) {
    failf(where, field, "%lld values, at most %lld allowed", n, maxCount);
    return false;
  }
  if (n == 0) return true;
  int64_t* array = static_cast<int64_t*>(calloc(static_cast<size_t>(n), sizeof(int64_t)));
  if (!array) {
    fail(where, field, "Malloc failure");
    return false;
  }
  fillNFieldsStrict(span.text, span.length, path, array, n, 8, "%lld", nullptr);
  for (int32_t i = 0; i < n; ++i) {
    if (array[i] < lo || array[i] > hi) {
      free(array);
      failf(where, field, "value out of range %lld..%lld", lo, hi);
      return false;
    }
  }
  *values = array;
  *count = n;
  return true;
}

// Unsigned 64-bit words (for generator rows and check columns).
bool readWords(Span span, const char* field, int32_t maxCount, uint64_t** values, int32_t* count,
               const Where& where) {
  *values = nullptr;
  *count = 0;
  int32_t rejected = 0;
  const int32_t n = fillNFieldsStrict(span.text, span.length, field, nullptr, 0, 8, "%llx",
                                      &rejected);
  if (rejected > 0) {
    fail(where, field, "not a list of unsigned integers");
    return false;
  }
  if (n > maxCount) {
    failf(where, field, "%lld values, at most %lld allowed", n, maxCount);
    return false;
  }
  if (n == 0) return true;
  uint64_t* array = static_cast<uint64_t*>(calloc(static_cast<size_t>(n), sizeof(uint64_t)));
  if (!array) {
    fail(where, field, "Malloc failure");
    return false;
  }
  fillNFieldsStrict(span.text, span.length, field, array, n, 8, "%llx", nullptr);
  *values = array;
  *count = n;
  return true;
}

bool readFloats(Span span, const char* field, int32_t maxCount, float** values, int32_t* count,
                const Where& where) {
  *values = nullptr;
  *count = 0;
  int32_t rejected = 0;
  const int32_t n =
      fillNFieldsStrict(span.text, span.length, field, nullptr, 0, 4, "%f", &rejected);
  if (rejected > 0) {
    fail(where, field, "not a list of finite numbers");
    return false;
  }
  if (n > maxCount) {
    failf(where, field, "%lld values, at most %lld allowed", n, maxCount);
    return false;
  }
  if (n == 0) return true;
  float* array = static_cast<float*>(calloc(static_cast<size_t>(n), sizeof(float)));
  if (!array) {
    fail(where, field, "Malloc failure");
    return false;
  }
  fillNFieldsStrict(span.text, span.length, field, array, n, 4, "%f", nullptr);
  *values = array;
  *count = n;
  return true;
}

// One integer field. Absent: *value = fallback when not required.
bool readScalar(Span span, const char* field, int64_t lo, int64_t hi, bool required,
                int64_t fallback, int64_t* value, const Where& where) {
  if (!hasField(span, field)) {
    if (required) {
      fail(where, field, "missing");
      return false;
    }
    *value = fallback;
    return true;
  }
  int64_t* values;
  int32_t count;
  if (!readIntegers(span, field, INT64_MIN, INT64_MAX, 1 << 20, &values, &count, where)) {
    return false;
  }
  const int64_t v = count == 1 ? values[0] : 0;
  free(values);
  if (count != 1) {
    fail(where, field, "expects exactly one integer");
    return false;
  }
  if (v < lo || v > hi) {
    failf(where, field, "value out of range %lld..%lld", lo, hi);
    return false;
  }
  *value = v;
  return true;
}

bool readInt32(Span span, const char* field, int32_t lo, int32_t hi, bool required,
               int32_t fallback, int32_t* value, const Where& where) {
  int64_t v;
  if (!readScalar(span, field, lo, hi, required, fallback, &v, where)) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

// An int32 array of exactly `expected` entries (when present), copied into a
// new array.
bool readInt32Array(Span span, const char* field, int32_t lo, int32_t hi, int32_t expected,
                    int32_t** out, const Where& where) {
  *out = nullptr;
  int64_t* values;
  int32_t count;
  if (!readIntegers(span, field, lo, hi, 1 << 16, &values, &count, where)) return false;
  if (count != expected) {
    free(values);
    failf(where, field, "%lld values where %lld are required", count, expected);
    return false;
  }
  int32_t* array =
      static_cast<int32_t*>(calloc(static_cast<size_t>(expected > 0 ? expected : 1), sizeof(int32_t)));
  if (!array) {
    free(values);
    fail(where, field, "Malloc failure");
    return false;
  }
  for (int32_t i = 0; i < count; ++i) array[i] = static_cast<int32_t>(values[i]);
  free(values);
  *out = array;
  return true;
}

bool isPermutation(const uint8_t* order, int32_t n) {
  bool used[256] = {false};
  for (int32_t i = 0; i < n; ++i) {
    if (order[i] >= n || used[order[i]]) return false;
    used[order[i]] = true;
  }
  return true;
}

char* duplicateText(const char* text, int32_t length) {
  char* copy = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, text, static_cast<size_t>(length));
  copy[length] = '\0';
  return copy;
}

SchemeConfig* newRecord() {
  SchemeConfig* config = static_cast<SchemeConfig*>(calloc(1, sizeof(SchemeConfig)));
  if (!config) return nullptr;
  config->ownsArrays = 1;
  config->codec.ownsArrays = 1;
  config->unitForm = 1;
  return config;
}

// ---------------------------------------------------------------------------
// Pieces of a scheme.

bool readNames(Span section, SchemeConfig* config, Where* where) {
  int32_t length = 0;
  const char* idText = getAttrXml(section.text, section.length, "", "id", &length);
  int32_t nameLength = 0;
  const char* name = getAttrXml(section.text, section.length, "", "name", &nameLength);
  int32_t shortLength = 0;
  const char* shortName = getAttrXml(section.text, section.length, "", "shortName", &shortLength);
  char nameBuffer[64] = "";
  char shortBuffer[64] = "";
  if (name) copySection(name, nameLength, nameBuffer, sizeof nameBuffer);
  if (shortName) copySection(shortName, shortLength, shortBuffer, sizeof shortBuffer);
  int32_t id = -1;
  if (idText) {
    int64_t value = 0;
    int32_t consumed = 0;
    int32_t trimmedLength = length;
    const char* trimmed = strtrim(idText, &trimmedLength);
    if (sscanf_hex_dec_n(trimmed, trimmedLength, "%lld", &value, &consumed) != 1 ||
        consumed != trimmedLength || value < 0 || value > kMaxSchemeId) {
      failf(*where, "id", "not a scheme id 0..%lld", kMaxSchemeId);
      return false;
    }
    id = static_cast<int32_t>(value);
  } else {
    id = name ? getEncodingScheme(nameBuffer) : -1;
    if (id < 0 && shortName) id = getEncodingScheme(shortBuffer);
    if (id < 0) {
      fail(*where, "id", "missing, and no known scheme name given");
      return false;
    }
  }
  where->scheme = id;
  config->scheme = id;
  // The id is authoritative: a name that does not name this id is replaced
  // by the table's names.
  const char* tableLong;
  const char* tableShort;
  getEncodingSchemeNames(id, &tableLong, &tableShort);
  const char* useName = (name && nameBuffer[0] && getEncodingScheme(nameBuffer) == id) ? nameBuffer : tableLong;
  const char* useShort =
      (shortName && shortBuffer[0] && getEncodingScheme(shortBuffer) == id) ? shortBuffer : tableShort;
  config->name = duplicateText(useName, static_cast<int32_t>(std::strlen(useName)));
  config->shortName = duplicateText(useShort, static_cast<int32_t>(std::strlen(useShort)));
  if (!config->name || !config->shortName) {
    fail(*where, "name", "Malloc failure");
    return false;
  }
  return true;
}

bool readBands(Span scheme, SchemeConfig* config, const Where& where) {
  if (!hasField(scheme, "bandSigns")) return true;
  int64_t* signs;
  int32_t count;
  if (!readIntegers(scheme, "bandSigns", -1, 1, 1 << 16, &signs, &count, where)) return false;
  bool ok = true;
  if (count < 1 || count > 2) {
    failf(where, "bandSigns", "%lld bands, only 1 or 2 are supported", count);
    ok = false;
  }
  for (int32_t i = 0; ok && i < count; ++i) {
    if (signs[i] == 0) {
      fail(where, "bandSigns", "a band sign must be +1 or -1");
      ok = false;
    }
  }
  const int32_t rate = config->rateCode;
  if (ok && count == 2 && rate != 16 && rate != 32 && rate != 44) {
    failf(where, "bandSigns", "two bands need rate code 16, 32 or 44, not %lld", rate);
    ok = false;
  }
  if (!ok) {
    free(signs);
    return false;
  }
  SubBandBank* bank = static_cast<SubBandBank*>(calloc(1, sizeof(SubBandBank)));
  if (bank) {
    bank->signs = static_cast<int32_t*>(calloc(static_cast<size_t>(count), sizeof(int32_t)));
    bank->rateCodes = static_cast<int32_t*>(calloc(static_cast<size_t>(count), sizeof(int32_t)));
    bank->rateTables =
        static_cast<BandRateEntry**>(calloc(static_cast<size_t>(count), sizeof(BandRateEntry*)));
  }
  if (!bank || !bank->signs || !bank->rateCodes || !bank->rateTables) {
    if (bank) {
      free(bank->signs);
      free(bank->rateCodes);
      free(bank->rateTables);
      free(bank);
    }
    free(signs);
    fail(where, "bandSigns", "Malloc failure");
    return false;
  }
  bank->bandCount = count;
  const int32_t bandRate = count == 1 ? rate : (rate == 16 ? 8 : rate == 32 ? 16 : 22);
  for (int32_t i = 0; i < count; ++i) {
    bank->signs[i] = static_cast<int32_t>(signs[i]);
    bank->rateCodes[i] = bandRate;
  }
  free(signs);
  config->subBandBank = bank;
  return true;
}

bool readCurve(Span pair, const char* field, const char* pairName, SchemeCurve* curve,
               const Where& where) {
  char label[48];
  snprintf(label, sizeof label, "%s/%s", pairName, field);
  if (!hasField(pair, field)) return true;
  int64_t* values;
  int32_t count;
  if (!readIntegers(pair, field, -kMaxStrength, kMaxStrength, 2 * kMaxCurvePoints, &values, &count,
                    where, label)) {
    return false;
  }
  if (count % 2 != 0) {
    free(values);
    fail(where, label, "points need an x and a y value each");
    return false;
  }
  const int32_t points = count / 2;
  if (points == 1) {
    free(values);
    fail(where, label, "a curve needs at least two points");
    return false;
  }
  for (int32_t i = 1; i < points; ++i) {
    if (values[2 * i] <= values[2 * (i - 1)]) {
      free(values);
      fail(where, label, "x values must increase");
      return false;
    }
  }
  if (points == 0) {
    free(values);
    return true;
  }
  curve->points = static_cast<CurvePoint*>(calloc(static_cast<size_t>(points), sizeof(CurvePoint)));
  if (!curve->points) {
    free(values);
    fail(where, label, "Malloc failure");
    return false;
  }
  for (int32_t i = 0; i < points; ++i) {
    curve->points[i].x = static_cast<int32_t>(values[2 * i]);
    curve->points[i].y = static_cast<int32_t>(values[2 * i + 1]);
  }
  curve->count = points;
  free(values);
  return true;
}

bool readCurvePair(Span scheme, const char* field, CurvePair* pair, const Where& where) {
  if (!hasField(scheme, field)) return true;
  Span content = fieldContent(scheme, field);
  if (!checkChildren(content, kCurveFields, countOf(kCurveFields), false, where, field)) {
    return false;
  }
  return readCurve(content, "high", field, &pair->high, where) &&
         readCurve(content, "low", field, &pair->low, where);
}

bool readPositionOrders(Span scheme, SchemeConfig* config, const Where& where) {
  if (!hasField(scheme, "positionOrders")) return true;
  Span content = fieldContent(scheme, "positionOrders");
  if (!checkChildren(content, kOrderFields, countOf(kOrderFields), true, where, "positionOrders")) {
    return false;
  }
  const int32_t p = config->positionCount;
  // Count the orders first, then read each one on its own.
  int32_t orders = 0;
  {
    const char* s = content.text;
    int32_t n = content.length;
    const char* sectionStart;
    int32_t sectionLength;
    while (n > 0 && getNextSectionXml(s, n, nullptr, nullptr, nullptr, &sectionStart,
                                      &sectionLength)) {
      ++orders;
      const int32_t skip = static_cast<int32_t>(sectionStart - s) + sectionLength;
      s += skip;
      n -= skip;
    }
  }
  if (orders < 1 || orders > kMaxPositionOrders) {
    failf(where, "positionOrders", "%lld orders, 1..%lld allowed", orders, kMaxPositionOrders);
    return false;
  }
  uint8_t* table = static_cast<uint8_t*>(calloc(static_cast<size_t>(orders) * p, 1));
  if (!table) {
    fail(where, "positionOrders", "Malloc failure");
    return false;
  }
  const char* s = content.text;
  int32_t n = content.length;
  for (int32_t k = 0; k < orders; ++k) {
    const char* sectionStart;
    const char* orderContent;
    int32_t sectionLength, orderLength;
    getNextSectionXml(s, n, &orderContent, nullptr, &orderLength, &sectionStart, &sectionLength);
    int64_t* values;
    int32_t count;
    if (!readIntegers(Span{orderContent, orderLength}, "", 0, kMaxPositions - 1, 1 << 16, &values,
                      &count, where, "positionOrders")) {
      free(table);
      return false;
    }
    bool ok = count == p;
    for (int32_t i = 0; ok && i < p; ++i) table[k * p + i] = static_cast<uint8_t>(values[i]);
    free(values);
    if (!ok) {
      failf(where, "positionOrders", "order %lld has %lld entries", k + 1, count);
      free(table);
      return false;
    }
    if (!isPermutation(table + k * p, p)) {
      failf(where, "positionOrders", "order %lld is not a permutation of 0..%lld", k + 1, p - 1);
      free(table);
      return false;
    }
    const int32_t skip = static_cast<int32_t>(sectionStart - s) + sectionLength;
    s += skip;
    n -= skip;
  }
  config->positionOrders = table;
  config->positionOrderCount = orders;
  return true;
}

bool ascending(const int32_t* values, int32_t count) {
  for (int32_t i = 1; i < count; ++i) {
    if (values[i] < values[i - 1]) return false;
  }
  return true;
}

// Timing checks at every band rate: the matched filter's rings, its pulse
// table and the partial search's window indices depend on them.
bool checkTiming(SchemeConfig* config, const Where& where) {
  const int32_t bands = schemeBandCount(config);
  const int32_t n = config->phaseCount;
  const int32_t p = config->positionCount;
  for (int32_t b = 0; b < bands; ++b) {
    const int32_t rate = schemeBandRate(config, b);
    const int32_t symbol = quarterMsToSamples(config->symbolDuration, rate);
    if (symbol < n) {
      failf(where, "symbolDuration", "%lld samples per symbol, fewer than %lld phase steps",
            symbol, n);
      return false;
    }
    const int32_t step = symbol / n;
    const int32_t half = symbol / 2;
    int32_t pulse = 0;
    for (int32_t t = step / 2; t < half; t += step) ++pulse;
    if (pulse != n / 2) {
      failf(where, "symbolDuration", "pulse table of %lld entries, %lld needed", pulse, n / 2);
      return false;
    }
    if (quarterMsToSamples(config->comparisonDelay, rate) < 1) {
      fail(where, "comparisonDelay", "shorter than one sample");
      return false;
    }
    const int32_t g0 = static_cast<int32_t>(
        static_cast<int64_t>(n) * quarterMsToSamples(config->positionAlignments[p - 1], rate) /
        symbol);
    for (int32_t j = 0; j < p; ++j) {
      const int32_t gj = static_cast<int32_t>(
          static_cast<int64_t>(n) *
          quarterMsToSamples(config->positionAlignments[p - 1 - j], rate) / symbol);
      const int32_t e = gj + ((n - g0) >> 1);
      if (e < 0 || e > n - 1) {
        fail(where, "positionAlignments", "alignments spread over more than half a symbol");
        return false;
      }
    }
  }
  const int32_t frames = schemeFramesPerCodeword(config);
  if (frames < 2) {
    failf(where, "codec", "a code word spans %lld frames, at least 2 needed", frames);
    return false;
  }
  if (static_cast<int64_t>(frames) * p * bands < 20) {
    fail(where, "codec", "fewer than 20 soft symbols per code word");
    return false;
  }
  if (static_cast<int64_t>(frames) * config->symbolDuration / 4 < 1000) {
    fail(where, "symbolDuration", "a code word lasts less than one second (zero level history)");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Codec.

bool readCodec(Span scheme, SchemeConfig* config, const Where& where) {
  if (!hasField(scheme, "codec")) {
    fail(where, "codec", "missing");
    return false;
  }
  Span codec = fieldContent(scheme, "codec");
  if (!checkChildren(codec, kCodecFields, countOf(kCodecFields), false, where, "codec")) {
    return false;
  }
  CodewordCodecParams* c = &config->codec;
  if (!readInt32(codec, "bitsPerSymbol", 1, 8, true, 0, &c->bitsPerSymbol, where) ||
      !readInt32(codec, "codeSymbols", 1, kMaxCodeSymbols, true, 0, &c->codeSymbols, where) ||
      !readInt32(codec, "infoSymbols", 1, kMaxCodeSymbols, true, 0, &c->infoSymbols, where)) {
    return false;
  }
  const int32_t m = c->bitsPerSymbol;
  const int32_t n = c->codeSymbols;
  const int32_t k = c->infoSymbols;
  if (m >= 2 && n > (1 << m) - 1) {
    failf(where, "codeSymbols", "%lld symbols exceed 2^m - 1 = %lld", n, (1 << m) - 1);
    return false;
  }
  if (k > n) {
    failf(where, "infoSymbols", "%lld information symbols exceed %lld code symbols", k, n);
    return false;
  }
  if (k * m > 64) {
    failf(where, "infoSymbols", "%lld bits do not fit a 64-bit code word", k * m);
    return false;
  }
  if (!readInt32(codec, "errorLimit", 0, n, true, 0, &c->errorLimit, where) ||
      !readInt32(codec, "invertParity", 0, 1, true, 0, &c->invertParity, where)) {
    return false;
  }
  // Symbol order: a permutation of 0..n-1 (identity when absent).
  c->symbolOrder = static_cast<uint8_t*>(calloc(static_cast<size_t>(n), 1));
  if (!c->symbolOrder) {
    fail(where, "symbolOrder", "Malloc failure");
    return false;
  }
  if (hasField(codec, "symbolOrder")) {
    int32_t* order;
    if (!readInt32Array(codec, "symbolOrder", 0, 255, n, &order, where)) return false;
    for (int32_t i = 0; i < n; ++i) c->symbolOrder[i] = static_cast<uint8_t>(order[i]);
    free(order);
    if (!isPermutation(c->symbolOrder, n)) {
      fail(where, "symbolOrder", "not a permutation of the code symbols");
      return false;
    }
  } else {
    for (int32_t i = 0; i < n; ++i) c->symbolOrder[i] = static_cast<uint8_t>(i);
  }
  // Binary block code.
  const bool binary = m == 1;
  const char* binaryOnly[] = {"generatorRows", "checkColumns", "puncturedPositions"};
  if (!binary) {
    for (const char* field : binaryOnly) {
      if (hasField(codec, field)) {
        fail(where, field, "only for the binary code (bitsPerSymbol 1)");
        return false;
      }
    }
  } else {
    int32_t count;
    if (!hasField(codec, "generatorRows")) {
      fail(where, "generatorRows", "missing");
      return false;
    }
    if (!readWords(codec, "generatorRows", 64, &c->generatorRows, &count, where)) return false;
    if (count != k) {
      failf(where, "generatorRows", "%lld rows where %lld are required", count, k);
      return false;
    }
    const uint64_t infoMask = (uint64_t{1} << k) - 1;  // k <= n <= 31
    for (int32_t i = 0; i < k; ++i) {
      if (c->generatorRows[i] >> n) {
        failf(where, "generatorRows", "row %lld has bits beyond %lld code bits", i, n);
        return false;
      }
      if ((c->generatorRows[i] & infoMask) != (uint64_t{1} << i)) {
        failf(where, "generatorRows", "row %lld is not systematic", i);
        return false;
      }
    }
    if (hasField(codec, "checkColumns")) {
      if (!readWords(codec, "checkColumns", 64, &c->checkColumns, &count, where)) return false;
      if (count != n) {
        failf(where, "checkColumns", "%lld columns where %lld are required", count, n);
        return false;
      }
      for (int32_t i = 0; i < k; ++i) {
        uint64_t syndrome = 0;
        for (int32_t j = 0; j < n; ++j) {
          if ((c->generatorRows[i] >> j) & 1) syndrome ^= c->checkColumns[j];
        }
        if (syndrome != 0) {
          failf(where, "checkColumns", "row %lld of the generator fails the check", i);
          return false;
        }
      }
    } else {
      // The parity-check matrix of a systematic code [I | A] is [A^T | I].
      c->checkColumns = static_cast<uint64_t*>(calloc(static_cast<size_t>(n), sizeof(uint64_t)));
      if (!c->checkColumns) {
        fail(where, "checkColumns", "Malloc failure");
        return false;
      }
      for (int32_t j = 0; j < n; ++j) {
        c->checkColumns[j] = j < k ? (c->generatorRows[j] >> k) : (uint64_t{1} << (j - k));
      }
    }
    if (hasField(codec, "puncturedPositions")) {
      int64_t* values;
      if (!readIntegers(codec, "puncturedPositions", 0, n - 1, 1 << 16, &values, &count, where)) {
        return false;
      }
      if (count > kMaxPuncturedPositions) {
        free(values);
        failf(where, "puncturedPositions", "%lld positions, at most %lld allowed", count,
              kMaxPuncturedPositions);
        return false;
      }
      for (int32_t i = 1; i < count; ++i) {
        if (values[i] <= values[i - 1]) {
          free(values);
          fail(where, "puncturedPositions", "positions must be ascending and distinct");
          return false;
        }
      }
      if (count > 0) {
        c->puncturedPositions =
            static_cast<int32_t*>(calloc(static_cast<size_t>(count), sizeof(int32_t)));
        if (!c->puncturedPositions) {
          free(values);
          fail(where, "puncturedPositions", "Malloc failure");
          return false;
        }
        for (int32_t i = 0; i < count; ++i) c->puncturedPositions[i] = static_cast<int32_t>(values[i]);
      }
      c->puncturedCount = count;
      free(values);
    }
  }
  // Convolutional code.
  if (!readInt32(codec, "constraintLength", kMinConstraint, kMaxConstraint, true, 0,
                 &c->conv.constraintLength, where) ||
      !readInt32(codec, "wrapLength", 0, 4096, true, 0, &c->conv.wrapLength, where)) {
    return false;
  }
  const int32_t kc = c->conv.constraintLength;
  {
    int64_t* masks;
    int32_t count;
    if (!hasField(codec, "generators")) {
      fail(where, "generators", "missing");
      return false;
    }
    if (!readIntegers(codec, "generators", 0, (int64_t{1} << kc) - 1, kMaxConvGenerators, &masks,
                      &count, where)) {
      return false;
    }
    if (count < 1) {
      free(masks);
      fail(where, "generators", "at least one generator needed");
      return false;
    }
    for (int32_t i = 0; i < count; ++i) {
      if (!(masks[i] & 1) || !((masks[i] >> (kc - 1)) & 1)) {
        free(masks);
        failf(where, "generators", "generator %lld must tap bits 0 and %lld", i, kc - 1);
        return false;
      }
      c->conv.generators[i] = static_cast<uint32_t>(masks[i]);
    }
    c->conv.generatorCount = count;
    free(masks);
  }
  const int32_t g = c->conv.generatorCount;
  // Blocks of the inner code.
  if (hasField(codec, "convBlockLengths")) {
    int64_t* lengths;
    int32_t count;
    if (!readIntegers(codec, "convBlockLengths", 1, n, n, &lengths, &count, where)) return false;
    int64_t sum = 0;
    for (int32_t i = 0; i < count; ++i) sum += lengths[i];
    if (count < 1 || sum != n) {
      free(lengths);
      failf(where, "convBlockLengths", "block lengths add up to %lld, not %lld symbols", sum, n);
      return false;
    }
    c->convBlockLengths = static_cast<int32_t*>(calloc(static_cast<size_t>(count), sizeof(int32_t)));
    if (!c->convBlockLengths) {
      free(lengths);
      fail(where, "convBlockLengths", "Malloc failure");
      return false;
    }
    for (int32_t i = 0; i < count; ++i) c->convBlockLengths[i] = static_cast<int32_t>(lengths[i]);
    c->convBlockCount = count;
    free(lengths);
  } else {
    c->convBlockLengths = static_cast<int32_t*>(calloc(1, sizeof(int32_t)));
    if (!c->convBlockLengths) {
      fail(where, "convBlockLengths", "Malloc failure");
      return false;
    }
    c->convBlockLengths[0] = n;
    c->convBlockCount = 1;
  }
  for (int32_t b = 0; b < c->convBlockCount; ++b) {
    const int64_t steps =
        static_cast<int64_t>(m) * c->convBlockLengths[b] + 2LL * c->conv.wrapLength + kc - 1;
    if (steps * g * 50 >= kMetricLimit) {
      failf(where, "wrapLength", "block %lld would overflow the 16-bit Viterbi metrics (%lld)", b,
            steps * g * 50);
      return false;
    }
  }
  // Interleaver.
  if (!readInt32(codec, "interleaverRows", 1, 1 << 16, true, 0, &c->interleaverRows, where) ||
      !readInt32(codec, "interleaverColumns", 1, 1 << 16, true, 0, &c->interleaverColumns,
                 where)) {
    return false;
  }
  const int64_t coded = static_cast<int64_t>(n) * m * g;
  if (static_cast<int64_t>(c->interleaverRows) * c->interleaverColumns != coded) {
    failf(where, "interleaverRows", "rows x columns must equal the %lld coded bits", coded);
    return false;
  }
  if (hasField(codec, "interleaverTable")) {
    if (c->interleaverColumns != 1) {
      fail(where, "interleaverTable", "only with one interleaver column");
      return false;
    }
    int32_t* table;
    if (!readInt32Array(codec, "interleaverTable", 0, static_cast<int32_t>(coded - 1),
                        c->interleaverRows, &table, where)) {
      return false;
    }
    c->interleaverTable =
        static_cast<uint16_t*>(calloc(static_cast<size_t>(c->interleaverRows), sizeof(uint16_t)));
    bool* used = static_cast<bool*>(calloc(static_cast<size_t>(coded), sizeof(bool)));
    if (!c->interleaverTable || !used) {
      free(table);
      free(used);
      fail(where, "interleaverTable", "Malloc failure");
      return false;
    }
    bool unique = true;
    for (int32_t i = 0; i < c->interleaverRows; ++i) {
      if (used[table[i]]) unique = false;
      used[table[i]] = true;
      c->interleaverTable[i] = static_cast<uint16_t>(table[i]);
    }
    free(table);
    free(used);
    if (!unique) {
      fail(where, "interleaverTable", "entries must be unique");
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Units.

bool checkStrengthRange(const SchemeConfig* config, const Where& where) {
  if (!config->unitScale) return true;
  const float s = config->unitScale[0];
  const float o = config->unitScale[1];
  const float inverse = 1.0f / s;
  const float offset = -o / s;
  auto inRange = [&](int32_t v) {
    const float f = static_cast<float>(v) * inverse + offset + 0.5f;
    return f > -kMaxStrength - 1.0f && f < kMaxStrength + 1.0f;
  };
  bool ok = inRange(config->syncThresholds[0]) && inRange(config->syncThresholds[1]);
  const SchemeCurve* curves[4] = {&config->messageCurves.high, &config->messageCurves.low,
                                  &config->signalCurves.high, &config->signalCurves.low};
  for (const SchemeCurve* curve : curves) {
    for (int32_t i = 0; ok && i < curve->count; ++i) ok = inRange(curve->points[i].y);
  }
  if (!ok) fail(where, "unitScale", "converted strength values leave -32767..32767");
  return ok;
}

bool readUnits(Span scheme, SchemeConfig* config, const Where& where) {
  {
    int64_t* values;
    int32_t count;
    if (!hasField(scheme, "syncThresholds")) {
      fail(where, "syncThresholds", "missing");
      return false;
    }
    if (!readIntegers(scheme, "syncThresholds", -kMaxStrength, kMaxStrength, 16, &values, &count,
                      where)) {
      return false;
    }
    bool ok = count == 2 && values[0] <= values[1];
    if (ok) {
      config->syncThresholds[0] = static_cast<int32_t>(values[0]);
      config->syncThresholds[1] = static_cast<int32_t>(values[1]);
    }
    free(values);
    if (!ok) {
      fail(where, "syncThresholds", "needs two values t0 <= t1");
      return false;
    }
  }
  if (hasField(scheme, "unitScale")) {
    float* values;
    int32_t count;
    if (!readFloats(scheme, "unitScale", 16, &values, &count, where)) return false;
    if (count != 2) {
      free(values);
      fail(where, "unitScale", "needs a scale and an offset");
      return false;
    }
    if (isNearZero(values[0]) || values[0] < 0.0f) {
      free(values);
      fail(where, "unitScale", "scale must be positive and not near zero");
      return false;
    }
    config->unitScale = values;
  }
  return true;
}

// ---------------------------------------------------------------------------
// One scheme section.

SchemeConfig* readScheme(Span section, Span scheme, int32_t index) {
  Where where{index, -1};
  SchemeConfig* config = newRecord();
  if (!config) {
    fail(where, "scheme", "Malloc failure");
    return nullptr;
  }
  auto bail = [&]() -> SchemeConfig* {
    freeSchemeConfigList(config);
    return nullptr;
  };
  if (!readNames(section, config, &where)) return bail();
  if (!checkChildren(scheme, kSchemeFields, countOf(kSchemeFields), false, where, "scheme")) {
    return bail();
  }
  if (!readInt32(scheme, "rateCode", 0, 1000, true, 0, &config->rateCode, where)) return bail();
  const int32_t rate = config->rateCode;
  if (rate != 8 && rate != 16 && rate != 22 && rate != 32 && rate != 44 && rate != 48) {
    failf(where, "rateCode", "%lld is not supported (8, 16, 22, 32, 44, 48)", rate);
    return bail();
  }
  if (!readBands(scheme, config, where)) return bail();
  if (!readInt32(scheme, "positionCount", 1, kMaxPositions, true, 0, &config->positionCount,
                 where) ||
      !readInt32(scheme, "symbolDuration", 1, kMaxQuarterMs, true, 0, &config->symbolDuration,
                 where) ||
      !readInt32(scheme, "phaseCount", 2, kMaxPhaseCount, true, 0, &config->phaseCount, where) ||
      !readInt32(scheme, "comparisonDelay", 1, kMaxQuarterMs, true, 0, &config->comparisonDelay,
                 where) ||
      !readInt32(scheme, "longPreFilter", 0, 1, false, 0, &config->longPreFilter, where)) {
    return bail();
  }
  if (config->phaseCount % 2 != 0) {
    failf(where, "phaseCount", "%lld phase steps, an even number is needed", config->phaseCount);
    return bail();
  }
  const int32_t p = config->positionCount;
  if (!hasField(scheme, "positionLags")) {
    fail(where, "positionLags", "missing");
    return bail();
  }
  if (!readInt32Array(scheme, "positionLags", 0, kMaxQuarterMs, p, &config->positionLags, where)) {
    return bail();
  }
  if (!ascending(config->positionLags, p)) {
    fail(where, "positionLags", "lags must be ascending");
    return bail();
  }
  if (hasField(scheme, "positionAlignments")) {
    if (!readInt32Array(scheme, "positionAlignments", 0, kMaxQuarterMs, p,
                        &config->positionAlignments, where)) {
      return bail();
    }
  } else {
    config->positionAlignments = static_cast<int32_t*>(calloc(static_cast<size_t>(p), sizeof(int32_t)));
    if (!config->positionAlignments) {
      fail(where, "positionAlignments", "Malloc failure");
      return bail();
    }
  }
  if (!readPositionOrders(scheme, config, where)) return bail();
  if (!readCodec(scheme, config, where)) return bail();
  if (!checkTiming(config, where)) return bail();
  if (!readUnits(scheme, config, where)) return bail();
  if (!readCurvePair(scheme, "messageCurves", &config->messageCurves, where) ||
      !readCurvePair(scheme, "signalCurves", &config->signalCurves, where)) {
    return bail();
  }
  if (!checkStrengthRange(config, where)) return bail();
  {
    float* values = nullptr;
    int32_t count = 0;
    if (hasField(scheme, "levelTable")) {
      if (!readFloats(scheme, "levelTable", kLevelTableSize + 1, &values, &count, where)) {
        return bail();
      }
      if (count != kLevelTableSize) {
        free(values);
        failf(where, "levelTable", "%lld values where %lld are required", count, kLevelTableSize);
        return bail();
      }
      config->levelTable = values;
    } else {
      config->levelTable = static_cast<float*>(calloc(kLevelTableSize, sizeof(float)));
      if (!config->levelTable) {
        fail(where, "levelTable", "Malloc failure");
        return bail();
      }
    }
  }
  if (hasField(scheme, "curveTable")) {
    if (!readFloats(scheme, "curveTable", kMaxCurveTable, &config->curveTable,
                    &config->curveTableLength, where)) {
      return bail();
    }
  }
  return config;
}

bool readMessageParams(Span root, MessageParams* params) {
  if (!hasField(root, "messageParams")) return true;
  Where where{0, -1};
  Span content = fieldContent(root, "messageParams");
  if (!checkChildren(content, kMessageFields, countOf(kMessageFields), false, where,
                     "messageParams")) {
    return false;
  }
  int64_t value;
  if (!readScalar(content, "heartBeatCycle", 0, kPeriodYear, false, params->heartBeatCycle, &value,
                  where)) {
    return false;
  }
  params->heartBeatCycle = static_cast<uint32_t>(value);
  if (hasField(content, "counterBases")) {
    int64_t* bases;
    int32_t count;
    if (!readIntegers(content, "counterBases", 0, kMaxCounter, 16, &bases, &count, where)) {
      return false;
    }
    if (count != 5) {
      free(bases);
      fail(where, "counterBases", "needs five values: day, week, month, quarter, year");
      return false;
    }
    for (int32_t i = 0; i < 5; ++i) params->counterBase[i + 1] = bases[i];
    free(bases);
  }
  if (!readScalar(content, "algorithm6Base", 0, INT64_MAX, false, params->algorithm6Base, &value,
                  where)) {
    return false;
  }
  params->algorithm6Base = value;
  if (!readScalar(content, "algorithm7Base", 0, INT64_MAX, false, params->algorithm7Base, &value,
                  where)) {
    return false;
  }
  params->algorithm7Base = value;
  return true;
}

// Replaces comments and processing instructions by blanks (same length), so
// that nothing written inside them is read as a field. False for one that is
// never closed.
bool blankComments(char* text, int32_t length) {
  for (int32_t i = 0; i + 1 < length; ++i) {
    if (text[i] != '<') continue;
    const bool comment = i + 3 < length && text[i + 1] == '!' && text[i + 2] == '-' &&
                         text[i + 3] == '-';
    const bool instruction = text[i + 1] == '?';
    if (!comment && !instruction) continue;
    int32_t end = -1;
    for (int32_t j = i + (comment ? 4 : 2); j < length; ++j) {
      if (comment && j >= i + 6 && text[j] == '>' && text[j - 1] == '-' && text[j - 2] == '-') {
        end = j;
        break;
      }
      if (instruction && text[j] == '>' && text[j - 1] == '?') {
        end = j;
        break;
      }
    }
    if (end < 0) return false;
    std::memset(text + i, ' ', static_cast<size_t>(end - i + 1));
    i = end;
  }
  return true;
}

}  // namespace

SchemeConfig* parseSchemeConfigText(const char* text, int32_t length,
                                    MessageParams** messageParams) {
  if (messageParams) *messageParams = nullptr;
  const Where top{0, -1};
  if (!messageParams) {
    fail(top, "reader", "no place for the message parameters");
    return nullptr;
  }
  if (!text || length <= 0) {
    fail(top, "text", "empty");
    return nullptr;
  }
  for (int32_t i = 0; i < length; ++i) {
    if (text[i] == '\0') {
      fail(top, "text", "contains a zero byte");
      return nullptr;
    }
  }
  char* copy = duplicateText(text, length);
  if (!copy) {
    tembrolexinSetErrorText("Malloc failure");
    return nullptr;
  }
  SchemeConfig* head = nullptr;
  SchemeConfig* tail = nullptr;
  MessageParams* params = nullptr;
  bool ok = true;
  int32_t code = 0;
  // A UTF-8 byte order mark in front of the text is not content.
  if (length >= 3 && std::memcmp(copy, "\xEF\xBB\xBF", 3) == 0) std::memset(copy, ' ', 3);
  if (!blankComments(copy, length)) {
    fail(top, "text", "a comment is not closed");
    ok = false;
  } else if (!isXmlValid(checkXmlValidity(copy, length, &code))) {
    failf(top, "text", "not valid XML (reader code %lld)", code);
    ok = false;
  }
  Span whole{copy, length};
  Span root{nullptr, 0};
  if (ok) {
    // One root section named decoderConfig and nothing else.
    const char* const rootName[] = {"decoderConfig"};
    if (!checkChildren(whole, rootName, 1, false, top, "text")) {
      ok = false;
    } else if (!hasField(whole, "decoderConfig")) {
      fail(top, "decoderConfig", "missing");
      ok = false;
    } else {
      root = fieldContent(whole, "decoderConfig");
      ok = checkChildren(root, kRootFields, countOf(kRootFields), true, top, "decoderConfig");
    }
  }
  if (ok) {
    params = createMessageParams();
    if (!params) {
      tembrolexinSetErrorText("Malloc failure");
      ok = false;
    }
  }
  if (ok) {
    int32_t length2 = 0;
    int32_t sections = 0;
    if (getSectionXmlIncludingTags(root.text, root.length, "messageParams", &length2)) {
      // A second messageParams section would be silently ignored: refuse it.
      const char* s = root.text;
      int32_t n = root.length;
      const char* nameStart;
      const char* sectionStart;
      int32_t nameLength, sectionLength;
      while (n > 0 && (nameStart = getNextSectionXml(s, n, nullptr, &nameLength, nullptr,
                                                     &sectionStart, &sectionLength))) {
        if (nameLength == 13 && tembrolexin_strncmpi(nameStart, "messageParams", 13) == 0) {
          ++sections;
        }
        const int32_t skip = static_cast<int32_t>(sectionStart - s) + sectionLength;
        s += skip;
        n -= skip;
      }
    }
    if (sections > 1) {
      fail(top, "messageParams", "given more than once");
      ok = false;
    } else {
      ok = readMessageParams(root, params);
    }
  }
  if (ok) {
    const char* s = root.text;
    int32_t n = root.length;
    int32_t index = 0;
    const char* nameStart;
    const char* contentStart;
    const char* sectionStart;
    int32_t nameLength, contentLength, sectionLength;
    while (ok && n > 0 &&
           (nameStart = getNextSectionXml(s, n, &contentStart, &nameLength, &contentLength,
                                          &sectionStart, &sectionLength))) {
      const int32_t skip = static_cast<int32_t>(sectionStart - s) + sectionLength;
      if (nameLength == 6 && tembrolexin_strncmpi(nameStart, "scheme", 6) == 0) {
        ++index;
        if (index > kMaxSchemes) {
          failf(top, "scheme", "more than %lld schemes", kMaxSchemes);
          ok = false;
          break;
        }
        SchemeConfig* config =
            readScheme(Span{sectionStart, sectionLength}, Span{contentStart, contentLength}, index);
        if (!config) {
          ok = false;
          break;
        }
        if (tail) {
          tail->next = config;
        } else {
          head = config;
        }
        tail = config;
      }
      s += skip;
      n -= skip;
    }
    if (ok && !head) {
      fail(top, "scheme", "no scheme configured");
      ok = false;
    }
  }
  free(copy);
  if (!ok) {
    freeSchemeConfigList(head);
    freeMessageParams(params);
    return nullptr;
  }
  *messageParams = params;
  return head;
}

SchemeConfig* readSchemeConfig(const char* token, MessageParams** messageParams) {
  if (messageParams) *messageParams = nullptr;
  if (!token) {
    tembrolexinSetErrorText("Scheme configuration: no configuration given");
    return nullptr;
  }
  if (isXmlNotFileName(token)) {
    const size_t n = std::strlen(token);
    if (n > static_cast<size_t>(INT32_MAX)) {
      tembrolexinSetErrorText("Scheme configuration: text too long");
      return nullptr;
    }
    return parseSchemeConfigText(token, static_cast<int32_t>(n), messageParams);
  }
  FILE* file = fopen(token, "rb");
  if (!file) {
    tembrolexinSetErrorText("Scheme configuration: cannot open file %s", token);
    return nullptr;
  }
  char* buffer = static_cast<char*>(malloc(static_cast<size_t>(kMaxSchemeConfigFileSize) + 1));
  if (!buffer) {
    fclose(file);
    tembrolexinSetErrorText("Malloc failure");
    return nullptr;
  }
  const size_t read = fread(buffer, 1, static_cast<size_t>(kMaxSchemeConfigFileSize) + 1, file);
  const bool readError = ferror(file) != 0;
  fclose(file);
  SchemeConfig* result = nullptr;
  if (readError) {
    tembrolexinSetErrorText("Scheme configuration: cannot read file %s", token);
  } else if (read > static_cast<size_t>(kMaxSchemeConfigFileSize)) {
    tembrolexinSetErrorText("Scheme configuration: file %s is larger than %d bytes", token,
                            kMaxSchemeConfigFileSize);
  } else {
    result = parseSchemeConfigText(buffer, static_cast<int32_t>(read), messageParams);
  }
  free(buffer);
  return result;
}

}  // namespace tembrolexinsdk
