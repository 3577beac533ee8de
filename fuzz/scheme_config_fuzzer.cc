// libFuzzer target for the XML-like reader and the scheme configuration
// reader: any bytes as a configuration text, in an exactly sized buffer.
// Built by fuzz/CMakeLists.txt when the compiler supports -fsanitize=fuzzer;
// scripts/fuzz.sh builds and runs it (seeded with tests/data).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/decoder/scheme_config.h"
#include "core/decoder/scheme_config_reader.h"
#include "core/decoder/text_utils.h"

using namespace tembrolexinsdk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const int32_t length = static_cast<int32_t>(size);
  // An exactly sized copy: the readers must never look past its end.
  std::unique_ptr<char[]> span(new char[size ? size : 1]);
  if (size) std::memcpy(span.get(), data, size);
  const char* s = span.get();
  int32_t code = 0;
  checkXmlValidity(s, length, &code);
  int32_t found = 0;
  getSectionXml(s, length, "decoderConfig/scheme/codec", &found);
  getAttrXml(s, length, "decoderConfig/scheme", "id", &found);
  int32_t values[8];
  fillNFields(s, length, "decoderConfig/scheme/positionLags", values, 8, 4, "%d");
  MessageParams* params = nullptr;
  SchemeConfig* list = parseSchemeConfigText(s, length, &params);
  if (list) {
    convertSchemeConfigUnits(list, 2);
    for (SchemeConfig* c = list; c; c = c->next) {
      EncodingSchemeInfo info;
      fillEncodingSchemeInfo(c, &info);
      interpolateSchemeTable(c, 4);
    }
  }
  freeSchemeConfigList(list);
  freeMessageParams(params);
  return 0;
}
