#include "core/decoder/scheme_config_reader.h"

#include "core/decoder/text_utils.h"

namespace tembrolexinsdk {

SchemeConfig* readSchemeConfig(const char* token, MessageParams** messageParams) {
  (void)token;
  if (messageParams) *messageParams = nullptr;
  tembrolexinSetErrorText("Scheme configuration reader not available");
  return nullptr;
}

SchemeConfig* parseSchemeConfigText(const char* text, int32_t length,
                                    MessageParams** messageParams) {
  (void)text;
  (void)length;
  if (messageParams) *messageParams = nullptr;
  tembrolexinSetErrorText("Scheme configuration reader not available");
  return nullptr;
}

}  // namespace tembrolexinsdk
