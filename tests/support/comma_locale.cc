#include "tests/support/comma_locale.h"

#include <stdexcept>

namespace tltest {

CommaDecimalLocale::CommaDecimalLocale() {
  try {
    // A named locale also becomes the C library's locale (setlocale).
    previous_ = std::locale::global(std::locale("de_DE.UTF-8"));
    available_ = true;
  } catch (const std::runtime_error&) {
    available_ = false;
  }
}

CommaDecimalLocale::~CommaDecimalLocale() {
  if (available_) std::locale::global(previous_);
}

}  // namespace tltest
