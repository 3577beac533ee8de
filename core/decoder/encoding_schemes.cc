#include "core/decoder/encoding_schemes.h"

#include "core/decoder/text_utils.h"

namespace tembrolexinsdk {

namespace {

struct SchemeRow {
  int32_t id;
  const char* longName;
  const char* shortName;
  int32_t family;
};

// Ids 5..18 in ascending order; unnamed ids carry "???" / "?" and are their
// own family.
constexpr SchemeRow kSchemeTable[] = {
    {5, "VorselC", "VC", 5},      {6, "???", "?", 6},           {7, "???", "?", 7},
    {8, "???", "?", 8},           {9, "ConsumerH1", "CH1", 9},  {10, "ConsumerH4", "CH4", 9},
    {11, "ConsumerS1", "CS1", 11}, {12, "???", "?", 12},        {13, "VorselT", "VT", 5},
    {14, "ConsumerDB", "CDB", 9}, {15, "ConsumerH8", "CH8", 9}, {16, "ConsumerS4", "CS4", 11},
    {17, "???", "?", 17},         {18, "VorselTW", "VTW", 5},
};

const SchemeRow* findRow(int32_t scheme) {
  if (scheme < kFirstEncodingScheme || scheme > kLastEncodingScheme) return nullptr;
  return &kSchemeTable[scheme - kFirstEncodingScheme];
}

bool isNamed(const SchemeRow& row) { return row.longName[0] != '?'; }

}  // namespace

void getEncodingSchemeNames(int32_t scheme, const char** longName, const char** shortName) {
  const SchemeRow* row = findRow(scheme);
  if (longName) *longName = row ? row->longName : "???";
  if (shortName) *shortName = row ? row->shortName : "?";
}

int32_t getEncodingScheme(const char* name) {
  if (!name) return -1;
  for (const SchemeRow& row : kSchemeTable) {
    if (!isNamed(row)) continue;
    if (tembrolexin_strcmpi(row.longName, name) == 0) return row.id;
    if (tembrolexin_strcmpi(row.shortName, name) == 0) return row.id;
  }
  return -1;
}

int32_t encodingSchemeFamily(int32_t scheme) {
  const SchemeRow* row = findRow(scheme);
  return row ? row->family : scheme;
}

int32_t isPartialCodewordScheme(int32_t scheme) {
  return (scheme == kSchemeVorselT || scheme == kSchemeConsumerH8 ||
          scheme == kSchemeConsumerS4 || scheme == kSchemeVorselTW)
             ? 1
             : 0;
}

int32_t isCodewordSequenceScheme(int32_t scheme) { return scheme == kSchemeConsumerH8 ? 1 : 0; }

int32_t schemesDiffer(int32_t a, int32_t b) {
  return encodingSchemeFamily(a) == encodingSchemeFamily(b) ? 0 : 1;
}

}  // namespace tembrolexinsdk
