// Readable names for parameterised decoder tests, so that a case keeps its
// name from build to build (ctest -R can pick it, test histories follow it).
// Header-only; every function is pure.
#ifndef TESTS_CORE_DECODER_PARAM_NAMES_H_
#define TESTS_CORE_DECODER_PARAM_NAMES_H_

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace tltest {

// "k7_g2": each label followed by its value, a minus sign written as "m".
inline std::string paramName(std::initializer_list<std::pair<const char*, int64_t>> fields) {
  std::string name;
  for (const auto& [label, value] : fields) {
    if (!name.empty()) name += '_';
    name += label;
    if (value < 0) name += 'm';
    name += std::to_string(value < 0 ? -static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
  }
  return name;
}

// The letters and digits of `text`, every other run of characters as one
// '_', without leading or trailing '_', at most `limit` characters. A test
// configuration's file name loses its "scheme_" and ".cfg".
inline std::string textName(std::string text, size_t limit = 40) {
  if (text.rfind("scheme_", 0) == 0 && text.size() > 11 &&
      text.compare(text.size() - 4, 4, ".cfg") == 0) {
    text = text.substr(7, text.size() - 11);
  }
  std::string name;
  for (char ch : text) {
    if (std::isalnum(static_cast<unsigned char>(ch))) {
      name += ch;
    } else if (!name.empty() && name.back() != '_') {
      name += '_';
    }
    if (name.size() >= limit) break;
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name;
}

// "c3_hint": the case's index with a hint from its text, for tables whose
// texts alone may be empty or alike.
inline std::string indexedName(size_t index, const char* text) {
  std::string name = "c" + std::to_string(index);
  const std::string hint = text != nullptr ? textName(text, 32) : "null";
  if (!hint.empty()) name += "_" + hint;
  return name;
}

}  // namespace tltest

#endif  // TESTS_CORE_DECODER_PARAM_NAMES_H_
