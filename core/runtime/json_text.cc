#include "core/runtime/json_text.h"

#include <json/json.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <locale>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace tembrolexinsdk {

namespace {

bool isNumberChar(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// True when `token` is a number JsonCpp would read through a stream: one
// with a fraction or exponent, or an integer beyond 64 bits. Malformed tokens
// are left alone, for the reader to refuse.
bool needsRewrite(const std::string& token) {
  const char* first = token.data();
  const char* last = first + token.size();
  double value = 0;
  const auto parsed = std::from_chars(first, last, value);
  if (parsed.ec != std::errc() || parsed.ptr != last) return false;
  if (token.find_first_of(".eE") != std::string::npos) return true;
  std::int64_t asSigned = 0;
  std::uint64_t asUnsigned = 0;
  const auto s = std::from_chars(first, last, asSigned);
  const auto u = std::from_chars(first, last, asUnsigned);
  return !(s.ec == std::errc() && s.ptr == last) && !(u.ec == std::errc() && u.ptr == last);
}

// A control character that the text holds neither raw nor as a \u escape;
// 0 when every one of them is there.
char freeMarker(const std::string& text) {
  for (char c = 1; c < 32; ++c) {
    if (c == '\t' || c == '\n' || c == '\r') continue;
    if (text.find(c) != std::string::npos) continue;
    char escape[7];
    std::snprintf(escape, sizeof escape, "\\u%04x", c);
    char upper[7];
    std::snprintf(upper, sizeof upper, "\\u%04X", c);
    if (text.find(escape) != std::string::npos || text.find(upper) != std::string::npos) continue;
    return c;
  }
  return 0;
}

// False when a marked string is an object's key.
bool restoreValue(Json::Value& value, char marker) {
  if (value.isObject()) {
    for (const std::string& key : value.getMemberNames()) {
      if (!key.empty() && key[0] == marker) return false;
    }
  }
  if (value.isObject() || value.isArray()) {
    for (Json::Value& child : value) {
      if (!restoreValue(child, marker)) return false;
    }
    return true;
  }
  if (!value.isString()) return true;
  const char* begin = nullptr;
  const char* end = nullptr;
  if (!value.getString(&begin, &end) || end - begin < 2 || begin[0] != marker) return true;
  double number = 0;
  std::from_chars(begin + 1, end, number);
  value = Json::Value(number);
  return true;
}

}  // namespace

LocaleFreeJson::LocaleFreeJson(const std::string& text) {
  const char marker = freeMarker(text);
  if (marker == 0) {
    text_ = text;
    return;
  }
  text_.reserve(text.size());
  bool rewrote = false;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {  // a string, with its escapes, as it is
      size_t j = i + 1;
      while (j < text.size() && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
      j = std::min(j + 1, text.size());
      text_.append(text, i, j - i);
      i = j;
    } else if (c == '/' && i + 1 < text.size() && (text[i + 1] == '/' || text[i + 1] == '*')) {
      const bool line = text[i + 1] == '/';
      size_t j = text.find(line ? "\n" : "*/", i + 2);
      j = j == std::string::npos ? text.size() : j + (line ? 1 : 2);
      text_.append(text, i, j - i);
      i = j;
    } else if ((c >= '0' && c <= '9') || c == '-') {
      size_t j = i + 1;
      while (j < text.size() && isNumberChar(text[j])) ++j;
      const std::string token = text.substr(i, j - i);
      if (needsRewrite(token)) {
        rewrites_.push_back(Rewrite{text_.size(), i, token.size()});
        const size_t next = text.find_first_not_of(" \t\r\n", j);
        if (numberKey_ == 0 && next != std::string::npos && text[next] == ':') numberKey_ = i;
        text_ += '"';
        text_ += marker;
        text_ += token;
        text_ += '"';
        rewrote = true;
      } else {
        text_ += token;
      }
      i = j;
    } else {
      text_ += c;
      ++i;
    }
  }
  marker_ = rewrote ? marker : 0;
}

std::size_t LocaleFreeJson::originalOffset(std::size_t prepared) const {
  // Each rewrite adds its two quotes and its marker.
  std::size_t added = 0;
  for (const Rewrite& r : rewrites_) {
    if (prepared < r.prepared) break;
    const std::size_t end = r.prepared + r.length + 3;
    if (prepared < end) {
      const std::size_t into = prepared - r.prepared;
      return r.original + std::min(into < 2 ? 0 : into - 2, r.length - 1);
    }
    added += 3;
  }
  return prepared - added;
}

std::size_t LocaleFreeJson::extraAfter(const Json::Value& root) const {
  // JsonCpp's readers skip the same white space and comments between values.
  std::size_t i = std::min<std::size_t>(static_cast<std::size_t>(root.getOffsetLimit()),
                                        text_.size());
  while (i < text_.size()) {
    const char c = text_[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '/' && i + 1 < text_.size() && text_[i + 1] == '/') {
      const std::size_t end = text_.find('\n', i + 2);
      i = end == std::string::npos ? text_.size() : end + 1;
    } else if (c == '/' && i + 1 < text_.size() && text_[i + 1] == '*') {
      const std::size_t end = text_.find("*/", i + 2);
      if (end == std::string::npos) return originalOffset(i);
      i = end + 2;
    } else {
      return originalOffset(i);
    }
  }
  return std::string::npos;
}

bool LocaleFreeJson::restore(Json::Value& root) const {
  return marker_ == 0 || restoreValue(root, marker_);
}

namespace {

bool parse(const std::string& text, Json::Value& root, bool collectComments,
           JsonTextError* firstError, bool whole) {
  const LocaleFreeJson prepared(text);
  Json::Reader reader;
  if (!reader.parse(prepared.text(), root, collectComments)) {
    if (firstError != nullptr) {
      const auto errors = reader.getStructuredErrors();
      if (!errors.empty()) {
        const auto start = std::max<std::ptrdiff_t>(errors.front().offset_start, 0);
        firstError->message = errors.front().message;
        firstError->offset = prepared.originalOffset(static_cast<std::size_t>(start));
      }
    }
    return false;
  }
  if (whole) {
    if (const std::size_t extra = prepared.extraAfter(root); extra != std::string::npos) {
      if (firstError != nullptr) *firstError = {kExtraAfterJsonValue, extra};
      return false;
    }
  }
  if (!prepared.restore(root)) {
    if (firstError != nullptr) {
      *firstError = {"Missing '}' or object member name", prepared.numberKeyOffset()};
    }
    return false;
  }
  return true;
}

}  // namespace

bool parseJsonText(const std::string& text, Json::Value& root, bool collectComments,
                   JsonTextError* firstError) {
  return parse(text, root, collectComments, firstError, /*whole=*/false);
}

bool parseWholeJsonText(const std::string& text, Json::Value& root, bool collectComments,
                        JsonTextError* firstError) {
  return parse(text, root, collectComments, firstError, /*whole=*/true);
}

std::string describeJsonTextError(const JsonTextError& error) {
  if (error.message.empty()) return "not JSON";
  return "not JSON: " + error.message + " (byte " + std::to_string(error.offset) + ")";
}

bool readWholeJsonValue(const std::string& text, Json::Value& root, std::string* problem) {
  const auto refuse = [problem](std::string why) {
    if (problem != nullptr) *problem = std::move(why);
    return false;
  };
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  const LocaleFreeJson prepared(text);
  const std::string& json = prepared.text();
  std::string errors;
  Json::Value value;
  try {
    if (!reader->parse(json.data(), json.data() + json.size(), &value, &errors)) {
      // "* Line 1, Column 3\n  MESSAGE\n...": the first message, without the
      // place, which stands in the rewritten text.
      const std::size_t start = errors.find("\n  ");
      if (start == std::string::npos) return refuse("not JSON");
      const std::size_t end = errors.find('\n', start + 3);
      return refuse("not JSON: " + errors.substr(start + 3, end == std::string::npos
                                                                ? std::string::npos
                                                                : end - start - 3));
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    return refuse(std::string("not JSON: ") + e.what());  // nested beyond the reader's limit
  }
  if (const std::size_t extra = prepared.extraAfter(value); extra != std::string::npos) {
    return refuse(describeJsonTextError({kExtraAfterJsonValue, extra}));
  }
  if (!prepared.restore(value)) {
    return refuse(describeJsonTextError({"Missing '}' or object member name",
                                         prepared.numberKeyOffset()}));
  }
  root = std::move(value);
  return true;
}

std::string prettyJsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  std::ostringstream out;
  out.imbue(std::locale::classic());
  std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  writer->write(value, &out);
  return out.str();
}

}  // namespace tembrolexinsdk
