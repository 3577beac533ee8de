#include "core/runtime/error_text.h"

#include <string.h>

namespace tembrolexin {

namespace {
// strerror_r comes in two forms; each overload takes the one the C library
// declares.
[[maybe_unused]] const char* pick(int rc, const char* buffer) { return rc == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* pick(const char* text, const char*) { return text; }
}  // namespace

std::string errorText(int error) {
  char buffer[256] = {};
  const char* text = pick(::strerror_r(error, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(error);
  return text;
}

}  // namespace tembrolexin
