// The fixed table of encoding scheme ids, their long and short names and
// families, and the small predicates on scheme ids that the decoder and its
// callers use. Pure functions over constant data: safe from any thread.
#ifndef TL_CORE_DECODER_ENCODING_SCHEMES_H_
#define TL_CORE_DECODER_ENCODING_SCHEMES_H_

#include <cstdint>

namespace tembrolexinsdk {

// Lowest and highest id of the scheme table.
constexpr int32_t kFirstEncodingScheme = 5;
constexpr int32_t kLastEncodingScheme = 18;

// Scheme ids with a name in the table.
constexpr int32_t kSchemeVorselC = 5;
constexpr int32_t kSchemeConsumerH1 = 9;
constexpr int32_t kSchemeConsumerH4 = 10;
constexpr int32_t kSchemeConsumerS1 = 11;
constexpr int32_t kSchemeVorselT = 13;
constexpr int32_t kSchemeConsumerDB = 14;
constexpr int32_t kSchemeConsumerH8 = 15;
constexpr int32_t kSchemeConsumerS4 = 16;
constexpr int32_t kSchemeVorselTW = 18;

// What the library reports about one configured scheme (filled on request by
// fillEncodingSchemeInfo). The texts point into the scheme's configuration
// record and stay valid as long as that record.
struct EncodingSchemeInfo {
  int32_t scheme;
  const char* name;
  const char* shortName;
  int64_t codewordDuration;  // ms
  int64_t codewordOffset;    // ms
};

// Long and short name of a scheme id: "???" and "?" for an id without a name
// or outside 5..18. Either out pointer may be null. The texts are constants.
void getEncodingSchemeNames(int32_t scheme, const char** longName, const char** shortName);

// Id of the first named row (ascending ids) whose long or short name equals
// `name` ignoring case (long name tried first); -1 when none or name is null.
int32_t getEncodingScheme(const char* name);

// Family id of a scheme: the table's family for named ids, the id itself
// otherwise.
int32_t encodingSchemeFamily(int32_t scheme);

// 1 for 13, 15, 16, 18; else 0.
int32_t isPartialCodewordScheme(int32_t scheme);
// 1 for 15; else 0.
int32_t isCodewordSequenceScheme(int32_t scheme);
// 0 when the two ids are of the same family, else 1.
int32_t schemesDiffer(int32_t a, int32_t b);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_ENCODING_SCHEMES_H_
