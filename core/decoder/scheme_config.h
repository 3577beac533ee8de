// Scheme configuration records of the decoding core.
//
// A SchemeConfig describes one encoding scheme to decode: rate, frame and
// symbol timing, the error-correcting code (CodewordCodecParams), detection
// thresholds and acceptance curves. The configuration reader
// (scheme_config_reader.h) builds a linked list of them together with one
// MessageParams record; every stage of a decoding channel borrows its
// scheme's record and never frees it.
//
// Ownership: every array of a record built by the reader is malloc'ed and
// freed by freeSchemeConfigList (ownsArrays set). positionLags,
// positionAlignments and levelTable are freed in every case. The sub-band
// bank, its arrays and each band's rate-entry list are malloc'ed and freed
// with the record (the coefficient tables that rate entries point to are
// constants and never freed). The codec's arrays are freed when its own
// ownsArrays flag is set.
//
// Every record that the reader returns has passed its checks: the counts and
// arrays agree, so stages may index them without further range tests (see
// docs/decoder-config.md for the exact rules).
//
// Thread safety: plain data; a record is used by one thread at a time.
#ifndef TL_CORE_DECODER_SCHEME_CONFIG_H_
#define TL_CORE_DECODER_SCHEME_CONFIG_H_

#include <cstdint>

#include "core/decoder/encoding_schemes.h"

namespace tembrolexinsdk {

// ---------------------------------------------------------------------------
// Code part.

// Largest number of punctured positions of the binary block code.
constexpr int32_t kMaxPuncturedPositions = 16;

// Largest number of convolutional generators a record carries.
constexpr int32_t kMaxConvGenerators = 16;

// Inner convolutional code: constraint length K (register bits including the
// newest, 2..16), wrap length L (trellis steps), generator count G and the
// generator masks (bit 0 taps the newest input bit, bit K-1 the oldest; both
// are set in every mask).
struct ConvolutionalCodeParams {
  int32_t constraintLength;                 // K
  int32_t wrapLength;                       // L
  int32_t generatorCount;                   // G
  uint32_t generators[kMaxConvGenerators];  // first G entries used
};

// The error-correcting code of a scheme (the codec reads it, never frees it).
struct CodewordCodecParams {
  int32_t bitsPerSymbol;       // m: 1 binary block code, 2..8 Reed-Solomon
  int32_t infoSymbols;         // k
  int32_t codeSymbols;         // n (<= 31)
  uint64_t* generatorRows;     // k rows (binary code only), else null
  uint64_t* checkColumns;      // n columns (binary code only), else null
  int32_t errorLimit;
  int32_t invertParity;        // flag
  uint8_t* symbolOrder;        // n entries, a permutation of 0..n-1
  int32_t* puncturedPositions; // ascending, binary code only; null when none
  int32_t puncturedCount;
  int32_t convBlockCount;
  int32_t* convBlockLengths;   // convBlockCount entries adding up to n
  ConvolutionalCodeParams conv;
  int32_t interleaverColumns;  // C
  int32_t interleaverRows;     // R; R * C == n * m * G
  uint16_t* interleaverTable;  // R entries or null
  int32_t ownsArrays;          // flag: the arrays above belong to the record
};

// ---------------------------------------------------------------------------
// Band layout.

// One entry of a band filter's rate table; a list ends with rateCode 0.
struct BandRateEntry {
  int32_t rateCode;
  const int16_t* coefficients;  // constant table, never freed
  int32_t tapCount;
};

// Band layout of a scheme that names one. rateTables holds bandCount list
// pointers (null until the front end builds the tables).
struct SubBandBank {
  int32_t bandCount;
  int32_t* signs;              // bandCount entries, +1 or -1
  int32_t* rateCodes;          // bandCount entries, band rate codes
  BandRateEntry** rateTables;  // bandCount entries, each malloc'ed or null
};

// ---------------------------------------------------------------------------
// Acceptance curves.

struct CurvePoint {
  int32_t x;
  int32_t y;
};

// A curve: count points with strictly increasing x; count is 0 (absent) or
// at least 2.
struct SchemeCurve {
  CurvePoint* points;
  int32_t count;
};

struct CurvePair {
  SchemeCurve high;
  SchemeCurve low;
};

// ---------------------------------------------------------------------------
// Message parameters of one configuration text (shared by its schemes).

// Period kinds of timed code words.
constexpr int32_t kPeriodDay = 1;
constexpr int32_t kPeriodWeek = 2;
constexpr int32_t kPeriodMonth = 3;
constexpr int32_t kPeriodQuarter = 4;
constexpr int32_t kPeriodYear = 5;

struct MessageParams {
  uint32_t heartBeatCycle;  // period kind of heartbeat words (0..5)
  int64_t counterBase[6];   // indexed by period kind 1..5; entry 0 unused (0)
  int64_t algorithm6Base;
  int64_t algorithm7Base;
};

// A new record with the defaults: heartBeatCycle 5 (a year), counter bases
// 1900000 (day), 1860000 (week), 1680000 (month), 0 (quarter), 0 (year),
// both algorithm bases 0. Null when memory runs out.
MessageParams* createMessageParams();
void freeMessageParams(MessageParams* params);  // null allowed

// ---------------------------------------------------------------------------
// The scheme record.

constexpr int32_t kLevelTableSize = 11;

struct SchemeConfig {
  int32_t scheme;
  char* name;
  char* shortName;
  int32_t rateCode;            // 8, 16, 22, 32, 44, 48
  CodewordCodecParams codec;
  int32_t positionCount;       // P
  int32_t symbolDuration;      // S, quarter ms
  int32_t* positionLags;       // P entries, quarter ms, ascending
  int32_t* positionAlignments; // P entries, quarter ms, ascending
  int32_t comparisonDelay;     // D, quarter ms
  int32_t positionOrderCount;  // 0 means one order (identity)
  uint8_t* positionOrders;     // positionOrderCount * P entries, or null
  SubBandBank* subBandBank;    // null: one band at rateCode, sign +1
  float* levelTable;           // kLevelTableSize entries (int32 after scaling)
  int32_t longPreFilter;       // flag
  uint8_t curveTableOwned;     // flag
  float* curveTable;           // curveTableLength entries or null
  int32_t curveTableLength;
  int32_t unitForm;            // 0, 1 or 2
  int32_t phaseCount;          // N
  int32_t syncThresholds[2];   // t0 <= t1, strength values
  CurvePair messageCurves;
  CurvePair signalCurves;
  float* unitScale;            // two values {s, o}, or null when absent
  SchemeConfig* next;
  uint8_t ownsArrays;          // flag
};

// ---------------------------------------------------------------------------
// Derived values (null-safe; 0 for a null record).

// Samples of a duration of q quarter milliseconds at a rate code:
// (441q+20)/40 at 44, (441q+40)/80 at 22, q*r/4 otherwise, truncating.
// Computed in 64 bits and clamped to the int32 range.
int32_t quarterMsToSamples(int32_t q, int32_t rateCode);

// Rate in Hz of a rate code: 22050 for 22, 44100 for 44, else code * 1000.
int32_t rateCodeToHertz(int32_t rateCode);

// Band count B: the bank's band count, 1 without a bank.
int32_t schemeBandCount(const SchemeConfig* config);
// Rate code of band b: the bank's band rate, rateCode without a bank.
int32_t schemeBandRate(const SchemeConfig* config, int32_t band);
// Sign of band b: the bank's sign, +1 without a bank.
int32_t schemeBandSign(const SchemeConfig* config, int32_t band);
// Coded length C = m * n * G (soft symbols per code word).
int32_t schemeCodedLength(const SchemeConfig* config);
// Frames per code word F = ceil(C / (B * P)); 0 when B * P is 0.
int32_t schemeFramesPerCodeword(const SchemeConfig* config);

// ---------------------------------------------------------------------------
// List operations.

int32_t schemeConfigCount(const SchemeConfig* list);
// The index-th record (0 is the head); null when the list is shorter.
SchemeConfig* schemeConfigAt(SchemeConfig* list, int32_t index);
void freeSchemeConfigList(SchemeConfig* list);

// 1 when |value| < 0.00001.
int32_t isNearZero(float value);

// Converts every record of the list to form 1 or 2 (see scheme_config.cc).
// A record whose scale is near zero is left unconverted. Returns 1 when
// every record is in the target form afterwards, 0 otherwise (also for a
// target other than 1 or 2).
int32_t convertSchemeConfigUnits(SchemeConfig* list, int32_t form);

// curveTable and levelTable become int32 values floor(x * factor + 0.5),
// stored in place of the floats (read them back with schemeTableInt).
void scaleSchemeTimes(SchemeConfig* config, int32_t factor);
// Refines curveTable by the factor (Catmull-Rom); 1 on success or when there
// is nothing to do, 0 when memory runs out (the record is then unchanged).
int32_t interpolateSchemeTable(SchemeConfig* config, int32_t factor);
// levelTable values to the power 1 / band count.
void rootSchemeTable(SchemeConfig* config);
// Reads entry i of a table that scaleSchemeTimes turned into integers.
int32_t schemeTableInt(const float* table, int32_t index);

void fillEncodingSchemeInfo(const SchemeConfig* config, EncodingSchemeInfo* info);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_SCHEME_CONFIG_H_
