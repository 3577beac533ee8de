#include "platform/messages/message_frame.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tembrolexinplatform {

namespace {

// What a set field adds to the running hash before its value does.
constexpr uint64_t kSetFieldMark = 2654435761u;
constexpr uint64_t kCanonicalNaNBits = 0x7ff8000000000000u;

template <typename T>
struct IsStruct : std::false_type {};
template <typename M>
struct IsStruct<kind::Struct<M>> : std::true_type {};

template <typename K>
constexpr bool kIsInteger =
    std::is_same_v<K, kind::I16> || std::is_same_v<K, kind::I32> || std::is_same_v<K, kind::I64>;

// ---------------------------------------------------------------- hashing

uint64_t bytesHash(const std::string& bytes) {
  uint64_t h = 0;
  for (unsigned char c : bytes) h = h * 31 + c;
  return h;
}

uint64_t doubleHash(double v) {
  // Values that compare equal hash alike: -0.0 and 0.0, and 2.0 like the
  // integer 2 would. Only NaN is unequal to itself; its payloads are merged.
  if (std::isnan(v)) return kCanonicalNaNBits;
  if (v == std::trunc(v) && v >= -0x1p63 && v < 0x1p63) {
    return static_cast<uint64_t>(static_cast<int64_t>(v));
  }
  return std::bit_cast<uint64_t>(v);
}

template <typename E, typename V>
uint64_t containerHash(kind::List<E>, const V& list);
template <typename E, typename V>
uint64_t containerHash(kind::Set<E>, const V& set);
template <typename KK, typename VK, typename V>
uint64_t containerHash(kind::Map<KK, VK>, const V& map);

template <typename K, typename V>
uint64_t valueHash(const V& v) {
  if constexpr (std::is_same_v<K, kind::Bool>) {
    return v ? 1 : 0;
  } else if constexpr (kIsInteger<K>) {
    return static_cast<uint64_t>(static_cast<int64_t>(v));
  } else if constexpr (std::is_same_v<K, kind::Double>) {
    return doubleHash(v);
  } else if constexpr (std::is_same_v<K, kind::String> || std::is_same_v<K, kind::Binary>) {
    return bytesHash(v);
  } else if constexpr (IsStruct<K>::value) {
    return messageHash(v);
  } else {
    return containerHash(K{}, v);
  }
}

template <typename E, typename V>
uint64_t containerHash(kind::List<E>, const V& list) {
  uint64_t h = 1;
  for (const auto& e : list) h = h * 31 + valueHash<E>(e);
  return h;
}

template <typename E, typename V>
uint64_t containerHash(kind::Set<E>, const V& set) {
  uint64_t h = 0;
  for (const auto& e : set) h += valueHash<E>(e);
  return h;
}

template <typename KK, typename VK, typename V>
uint64_t containerHash(kind::Map<KK, VK>, const V& map) {
  uint64_t h = 0;
  for (const auto& [key, value] : map) h += valueHash<KK>(key) ^ valueHash<VK>(value);
  return h;
}

// ---------------------------------------------------------------- text form

template <typename Int>
void appendInteger(Int v, std::string& out) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, result.ptr);
}

void appendDouble(double v, std::string& out) {
  // "%f" without the locale: the largest double takes 309 digits before the
  // point.
  char buf[400];
  auto result = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
  out.append(buf, result.ptr);
}

void appendBytes(const std::string& bytes, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '<';
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && i % 4 == 0) out += ' ';
    const auto c = static_cast<unsigned char>(bytes[i]);
    out += kHex[c >> 4];
    out += kHex[c & 0xf];
  }
  out += '>';
}

template <typename K, typename V>
void appendText(const V& v, std::string& out);
template <typename M>
void appendMessage(const M& msg, std::string& out);

template <typename E, typename V>
void appendElements(const V& container, std::string& out) {
  bool first = true;
  for (const auto& e : container) {
    if (!first) out += ',';
    first = false;
    appendText<E>(e, out);
  }
}

template <typename E, typename V>
void appendContainer(kind::List<E>, const V& list, std::string& out) {
  out += '[';
  appendElements<E>(list, out);
  out += ']';
}

template <typename E, typename V>
void appendContainer(kind::Set<E>, const V& set, std::string& out) {
  out += '{';
  appendElements<E>(set, out);
  out += '}';
}

template <typename KK, typename VK, typename V>
void appendContainer(kind::Map<KK, VK>, const V& map, std::string& out) {
  out += '{';
  bool first = true;
  for (const auto& [key, value] : map) {
    if (!first) out += ',';
    first = false;
    appendText<KK>(key, out);
    out += ':';
    appendText<VK>(value, out);
  }
  out += '}';
}

template <typename M>
void appendMessage(const M& msg, std::string& out) {
  out += MessageFields<M>::kName;
  out += '(';
  bool first = true;
  MessageFields<M>::forEachField(msg, [&](auto field, const auto& value, bool, auto) {
    if (!first) out += ',';
    first = false;
    out += field.name;
    out += ':';
    appendText<typename decltype(field)::Kind>(value, out);
  });
  out += ')';
}

template <typename K, typename V>
void appendText(const V& v, std::string& out) {
  if constexpr (std::is_same_v<K, kind::Bool>) {
    out += v ? '1' : '0';
  } else if constexpr (kIsInteger<K>) {
    appendInteger(v, out);
  } else if constexpr (std::is_same_v<K, kind::Double>) {
    appendDouble(v, out);
  } else if constexpr (std::is_same_v<K, kind::String>) {
    out += '"';
    out += v;
    out += '"';
  } else if constexpr (std::is_same_v<K, kind::Binary>) {
    out += '"';
    appendBytes(v, out);
    out += '"';
  } else if constexpr (IsStruct<K>::value) {
    appendMessage(v, out);
  } else {
    appendContainer(K{}, v, out);
  }
}

// ---------------------------------------------------------------- base64

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t n = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64[n >> 18];
    out += kBase64[n >> 12 & 63];
    out += kBase64[n >> 6 & 63];
    out += kBase64[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kBase64[n >> 18];
    out += kBase64[n >> 12 & 63];
    out += rest == 2 ? kBase64[n >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

int base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Padded base64 only, as base64Encode writes it; bits beyond the last byte
// must be zero, so every byte string has exactly one accepted text.
std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int pad = 0;
    if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
    uint32_t n = 0;
    for (int j = 0; j < 4; ++j) {
      int d = 0;
      if (j < 4 - pad) {
        d = base64Digit(text[i + j]);
        if (d < 0) return std::nullopt;
      }
      n = n << 6 | static_cast<uint32_t>(d);
    }
    out += static_cast<char>(n >> 16);
    if (pad == 2) {
      if ((n & 0xffff) != 0) return std::nullopt;
    } else {
      out += static_cast<char>(n >> 8 & 0xff);
      if (pad == 1) {
        if ((n & 0xff) != 0) return std::nullopt;
      } else {
        out += static_cast<char>(n & 0xff);
      }
    }
  }
  return out;
}

// ---------------------------------------------------------------- archiving

template <typename K, typename V>
Json::Value archiveValue(const V& v);
template <typename E, typename V>
Json::Value archiveContainer(kind::List<E>, const V& list);
template <typename E, typename V>
Json::Value archiveContainer(kind::Set<E>, const V& set);
template <typename KK, typename VK, typename V>
Json::Value archiveContainer(kind::Map<KK, VK>, const V& map);

template <typename M>
Json::Value archiveObject(const M& msg) {
  Json::Value out(Json::objectValue);
  MessageFields<M>::forEachField(msg, [&](auto field, const auto& value, bool isSet, auto) {
    if (!isSet) return;
    out[std::string(field.name)] = archiveValue<typename decltype(field)::Kind>(value);
  });
  return out;
}

template <typename K, typename V>
Json::Value archiveValue(const V& v) {
  if constexpr (std::is_same_v<K, kind::Bool>) {
    return Json::Value(v);
  } else if constexpr (std::is_same_v<K, kind::I16> || std::is_same_v<K, kind::I32>) {
    return Json::Value(static_cast<Json::Int>(v));
  } else if constexpr (std::is_same_v<K, kind::I64>) {
    return Json::Value(static_cast<Json::Int64>(v));
  } else if constexpr (std::is_same_v<K, kind::Double>) {
    if (std::isnan(v)) return Json::Value("NaN");
    if (std::isinf(v)) return Json::Value(v > 0 ? "Infinity" : "-Infinity");
    return Json::Value(v);
  } else if constexpr (std::is_same_v<K, kind::String>) {
    return Json::Value(v);
  } else if constexpr (std::is_same_v<K, kind::Binary>) {
    return Json::Value(base64Encode(v));
  } else if constexpr (IsStruct<K>::value) {
    return archiveObject(v);
  } else {
    return archiveContainer(K{}, v);
  }
}

template <typename E, typename V>
Json::Value archiveElements(const V& container) {
  Json::Value out(Json::arrayValue);
  for (const auto& e : container) out.append(archiveValue<E>(e));
  return out;
}

template <typename E, typename V>
Json::Value archiveContainer(kind::List<E>, const V& list) {
  return archiveElements<E>(list);
}

template <typename E, typename V>
Json::Value archiveContainer(kind::Set<E>, const V& set) {
  return archiveElements<E>(set);
}

template <typename KK, typename VK, typename V>
Json::Value archiveContainer(kind::Map<KK, VK>, const V& map) {
  static_assert(std::is_same_v<KK, kind::String>, "an archived map is a JSON object: string keys");
  Json::Value out(Json::objectValue);
  for (const auto& [key, value] : map) out[key] = archiveValue<VK>(value);
  return out;
}

// ---------------------------------------------------------------- unarchiving

// The doubles that JSON has no number for, by the names they are archived
// under.
std::optional<double> nonFiniteDouble(std::string_view name) {
  if (name == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (name == "Infinity") return std::numeric_limits<double>::infinity();
  if (name == "-Infinity") return -std::numeric_limits<double>::infinity();
  return std::nullopt;
}

// Where a value sits in the archive, for the error text; built only on
// failure.
struct Path {
  const Path* parent;
  std::string_view field;  // a field's name, or empty
  std::string_view key;    // a map key, when `field` is empty and isKey
  std::size_t index = 0;   // an element, when `field` is empty and !isKey
  bool isKey = false;

  std::string text() const {
    std::string out = parent ? parent->text() : std::string();
    if (!field.empty()) {
      if (!out.empty()) out += '.';
      out += field;
    } else if (isKey) {
      out += "[\"";
      out += key;
      out += "\"]";
    } else if (parent) {
      out += '[';
      appendInteger(index, out);
      out += ']';
    }
    return out;
  }
};

class Unarchiver {
 public:
  const std::string& error() const { return error_; }

  template <typename M>
  bool decodeMessage(const Json::Value& in, const Path& path, M& out) {
    if (!in.isObject()) return fail(path, "expected a JSON object");
    bool ok = true;
    MessageFields<M>::forEachField(out, [&](auto field, auto& value, bool, auto setFlag) {
      if (!ok) return;
      const Json::Value* v = in.find(field.name.data(), field.name.data() + field.name.size());
      if (v == nullptr) return;
      Storage<typename decltype(field)::Kind> decoded{};
      if (!decodeValue<typename decltype(field)::Kind>(*v, Path{&path, field.name, {}}, decoded)) {
        ok = false;
        return;
      }
      value = std::move(decoded);
      setFlag(out, true);
    });
    return ok;
  }

 private:
  template <typename K, typename V>
  bool decodeValue(const Json::Value& in, const Path& path, V& out) {
    if constexpr (std::is_same_v<K, kind::Bool>) {
      if (!in.isBool()) return fail(path, "expected true or false");
      out = in.asBool();
      return true;
    } else if constexpr (std::is_same_v<K, kind::I16>) {
      if (!in.isInt() || in.asInt() < std::numeric_limits<int16_t>::min() ||
          in.asInt() > std::numeric_limits<int16_t>::max()) {
        return fail(path, "expected a 16-bit integer");
      }
      out = static_cast<int16_t>(in.asInt());
      return true;
    } else if constexpr (std::is_same_v<K, kind::I32>) {
      if (!in.isInt()) return fail(path, "expected a 32-bit integer");
      out = in.asInt();
      return true;
    } else if constexpr (std::is_same_v<K, kind::I64>) {
      if (!in.isInt64()) return fail(path, "expected a 64-bit integer");
      out = in.asInt64();
      return true;
    } else if constexpr (std::is_same_v<K, kind::Double>) {
      if (in.isNumeric()) {
        out = in.asDouble();
        return true;
      }
      if (in.isString()) {
        if (std::optional<double> named = nonFiniteDouble(in.asString())) {
          out = *named;
          return true;
        }
      }
      return fail(path, "expected a number");
    } else if constexpr (std::is_same_v<K, kind::String>) {
      if (in.isNull()) return true;
      if (!in.isString()) return fail(path, "expected a string");
      out = in.asString();
      return true;
    } else if constexpr (std::is_same_v<K, kind::Binary>) {
      if (in.isNull()) return true;
      if (!in.isString()) return fail(path, "expected base64 text");
      std::optional<std::string> bytes = base64Decode(in.asString());
      if (!bytes) return fail(path, "expected base64 text");
      out = std::move(*bytes);
      return true;
    } else if constexpr (IsStruct<K>::value) {
      if (in.isNull()) return true;
      return decodeMessage(in, path, out);
    } else {
      if (in.isNull()) return true;
      return decodeContainer(K{}, in, path, out);
    }
  }

  template <typename E, typename V>
  bool decodeContainer(kind::List<E>, const Json::Value& in, const Path& path, V& out) {
    if (!in.isArray()) return fail(path, "expected an array");
    out.reserve(in.size());
    for (Json::ArrayIndex i = 0; i < in.size(); ++i) {
      Storage<E> e{};
      if (!decodeValue<E>(in[i], Path{&path, {}, {}, i}, e)) return false;
      out.push_back(std::move(e));
    }
    return true;
  }

  template <typename E, typename V>
  bool decodeContainer(kind::Set<E>, const Json::Value& in, const Path& path, V& out) {
    if (!in.isArray()) return fail(path, "expected an array");
    for (Json::ArrayIndex i = 0; i < in.size(); ++i) {
      Storage<E> e{};
      if (!decodeValue<E>(in[i], Path{&path, {}, {}, i}, e)) return false;
      out.insert(std::move(e));
    }
    return true;
  }

  template <typename KK, typename VK, typename V>
  bool decodeContainer(kind::Map<KK, VK>, const Json::Value& in, const Path& path, V& out) {
    static_assert(std::is_same_v<KK, kind::String>,
                  "an archived map is a JSON object: string keys");
    if (!in.isObject()) return fail(path, "expected a JSON object");
    for (auto it = in.begin(); it != in.end(); ++it) {
      const std::string key = it.name();
      Storage<VK> v{};
      if (!decodeValue<VK>(*it, Path{&path, {}, key, 0, true}, v)) return false;
      out.emplace(key, std::move(v));
    }
    return true;
  }

  bool fail(const Path& path, std::string_view what) {
    error_ = path.text();
    if (error_.empty()) error_ = "the archive";
    error_ += ": ";
    error_ += what;
    return false;
  }

  std::string error_;
};

}  // namespace

template <PlatformMessage T>
uint64_t messageHash(const T& msg) noexcept {
  uint64_t h = 17;
  MessageFields<T>::forEachField(msg, [&h](auto field, const auto& value, bool isSet, auto) {
    h = (h * 31) ^ (isSet ? kSetFieldMark : 0);
    if (isSet) h = (h * 31) ^ valueHash<typename decltype(field)::Kind>(value);
  });
  return h;
}

template <PlatformMessage T>
std::string messageDescription(const T& msg) {
  std::string out;
  appendMessage(msg, out);
  return out;
}

template <PlatformMessage T>
Json::Value archiveMessage(const T& msg) {
  return archiveObject(msg);
}

template <PlatformMessage T>
std::optional<T> unarchiveMessage(const Json::Value& archive, std::string* error) {
  T msg;
  Unarchiver unarchiver;
  if (!archive.isObject()) {
    if (error) *error = "the archive is not a JSON object";
    return std::nullopt;
  }
  if (!unarchiver.decodeMessage(archive, Path{nullptr, {}, {}}, msg)) {
    if (error) *error = unarchiver.error();
    return std::nullopt;
  }
  return msg;
}

#define TL_PLATFORM_MESSAGE_FRAME(Class)                        \
  template uint64_t messageHash<Class>(const Class&) noexcept;  \
  template std::string messageDescription<Class>(const Class&); \
  template Json::Value archiveMessage<Class>(const Class&);     \
  template std::optional<Class> unarchiveMessage<Class>(const Json::Value&, std::string*);
TL_PLATFORM_MESSAGE_CLASSES(TL_PLATFORM_MESSAGE_FRAME)
#undef TL_PLATFORM_MESSAGE_FRAME

}  // namespace tembrolexinplatform
