#include "core/decoder/text_utils.h"

#include <cstdarg>
#include <cstdio>

namespace tembrolexinsdk {

namespace {
char gErrorText[kDecoderErrorTextSize];

int foldCase(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
}  // namespace

int32_t tembrolexinSetErrorText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(gErrorText, sizeof gErrorText, format ? format : "", args);
  va_end(args);
  return n < 0 ? 0 : n;
}

const char* tembrolexinErrorText() { return gErrorText; }

int32_t tembrolexin_strcmpi(const char* a, const char* b) {
  if (!a) a = "";
  if (!b) b = "";
  for (;; ++a, ++b) {
    int ca = foldCase(static_cast<unsigned char>(*a));
    int cb = foldCase(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

}  // namespace tembrolexinsdk
