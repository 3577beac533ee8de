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
// number. originalOffset() takes a byte of the prepared text back to the text
// given, so a reader's complaint names the byte the caller sees. Immutable
// after construction; any thread may use its own object.
#ifndef TL_CORE_RUNTIME_JSON_TEXT_H_
#define TL_CORE_RUNTIME_JSON_TEXT_H_

#include <cstddef>
#include <string>
#include <vector>

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
  // False when a rewritten number stood as an object's key ({1.5: 2}): such
  // a text is not JSON, as the reader finds of {1: 2}; `root` is then only
  // partly restored and must not be used.
  [[nodiscard]] bool restore(Json::Value& root) const;
  // The byte of the given text that byte `prepared` of text() stands for; a
  // byte of a rewritten number stands for that number's byte (its quotes
  // and marker for its first).
  std::size_t originalOffset(std::size_t prepared) const;
  // Where the first rewritten number followed by ':' stands in the given
  // text (0 when there is none).
  std::size_t numberKeyOffset() const { return numberKey_; }
  // For texts that hold one value and nothing more: the byte of the given
  // text where something other than white space and comments follows
  // `root`, the value a JsonCpp reader has just read from text() (before
  // restore(), which loses where it ended); std::string::npos when nothing
  // does. An unterminated block comment counts as something.
  std::size_t extraAfter(const Json::Value& root) const;

 private:
  // One number written as a marked string.
  struct Rewrite {
    std::size_t prepared;  // where its opening quote stands in text_
    std::size_t original;  // where the number stands in the given text
    std::size_t length;    // of the number
  };
  std::string text_;
  char marker_ = 0;  // 0: nothing was rewritten
  std::vector<Rewrite> rewrites_;  // in text order
  std::size_t numberKey_ = 0;
};

// The reader's first complaint about a text: its message and the byte of the
// text as given where the complaint begins.
struct JsonTextError {
  std::string message;
  std::size_t offset = 0;
};

// Json::Reader::parse(text, root, collectComments) through LocaleFreeJson.
// When the text is refused, `firstError` (if given) gets the reader's first
// complaint, or is left as it is when the reader names none. Throws what the
// reader throws (nesting beyond its limit).
bool parseJsonText(const std::string& text, Json::Value& root, bool collectComments = true,
                   JsonTextError* firstError = nullptr);

// The complaint of a text with more than white space and comments after
// its value, as JsonCpp's strict reader words it.
inline constexpr char kExtraAfterJsonValue[] = "Extra non-whitespace after JSON value.";

// parseJsonText for the values an app sets up the decoder with, which hold
// one JSON value and nothing more: a text with anything but white space and
// comments after its value is refused, `firstError` (if given) then naming
// kExtraAfterJsonValue and the byte where the rest starts ("[] hello":
// byte 3). Readers of stored files, server replies and pages keep
// parseJsonText, which reads up to the first value.
bool parseWholeJsonText(const std::string& text, Json::Value& root, bool collectComments = true,
                        JsonTextError* firstError = nullptr);

// How the set-up readers tell an app why its text is not JSON: "not JSON:
// MESSAGE (byte N)", or "not JSON" when the reader named nothing.
std::string describeJsonTextError(const JsonTextError& error);

// The same whole-text reading through JsonCpp's CharReader with its default
// settings (comments and trailing commas allowed), for the set-up values
// that have always been read so. False when the text is not JSON, nests
// beyond the reader's limit or holds more than white space and comments
// after its value; `problem` (if given) then says why: "not JSON: MESSAGE"
// with the reader's first complaint, or "not JSON: Extra non-whitespace
// after JSON value. (byte N)".
bool readWholeJsonValue(const std::string& text, Json::Value& root, std::string* problem = nullptr);

// `value` indented by two spaces, UTF-8 kept as is, written through a
// stream in the classic locale.
std::string prettyJsonText(const Json::Value& value);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_JSON_TEXT_H_
