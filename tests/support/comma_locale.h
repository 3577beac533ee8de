// Installs a comma-decimal locale (de_DE.UTF-8) as the process's global C and
// C++ locale while it lives, as a host program might, and puts the previous
// global locale back afterwards. available() is false when the system lacks
// the locale (scripts/bootstrap.sh generates it). Not thread-safe: the global
// locale belongs to the whole process; one per test.
#ifndef TL_TESTS_SUPPORT_COMMA_LOCALE_H_
#define TL_TESTS_SUPPORT_COMMA_LOCALE_H_

#include <locale>

namespace tltest {

class CommaDecimalLocale {
 public:
  CommaDecimalLocale();
  ~CommaDecimalLocale();
  CommaDecimalLocale(const CommaDecimalLocale&) = delete;
  CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;

  bool available() const { return available_; }

 private:
  std::locale previous_;
  bool available_ = false;
};

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_COMMA_LOCALE_H_
