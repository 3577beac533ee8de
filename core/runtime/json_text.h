// Reading and writing JSON text whatever locale the host program installed.
//
// JsonCpp reads numbers with a fraction or an exponent through a stream in
// the process's global C++ locale, so a host that installs a comma-decimal
// locale (de_DE.UTF-8, say) makes "0.5" unreadable and the whole text fails.
// LocaleFreeJson rewrites every such number, outside strings and comments, as
// a marked string before JsonCpp sees the text, and restore() turns the
// marked strings back into the numbers, read with std::from_chars. Integers
// that fit 64 bits are left to JsonCpp, which reads them without a stream.
//
//   LocaleFreeJson prepared(text);
//   if (reader.parse(prepared.text(), root)) prepared.restore(root);
//
// The marker is a control character that occurs nowhere in the text (neither
// raw nor as a \u escape), so no string of the input is ever taken for a
// number. Immutable after construction; any thread may use its own object.
#ifndef TL_CORE_RUNTIME_JSON_TEXT_H_
#define TL_CORE_RUNTIME_JSON_TEXT_H_

#include <string>

namespace Json {
class Value;
}  // namespace Json

namespace tembrolexinsdk {

class LocaleFreeJson {
 public:
  explicit LocaleFreeJson(const std::string& text);

  // The text to hand to a JsonCpp reader.
  const std::string& text() const { return text_; }
  // Replaces every marked string in `root` (at any depth) by its number.
  void restore(Json::Value& root) const;

 private:
  std::string text_;
  char marker_ = 0;  // 0: nothing was rewritten
};

// Json::Reader::parse(text, root, collectComments) through LocaleFreeJson.
// Throws what the reader throws (nesting beyond its limit).
bool parseJsonText(const std::string& text, Json::Value& root, bool collectComments = true);

// `value` indented by two spaces, UTF-8 kept as is, written through a
// stream in the classic locale.
std::string prettyJsonText(const Json::Value& value);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_JSON_TEXT_H_
