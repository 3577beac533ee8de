#include "core/decoder/text_utils.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <locale.h>
#include <stdlib.h>

namespace tembrolexinsdk {

namespace {

// One error text per thread: contexts on different threads never see each
// other's failures, and reading it never races with a writer.
thread_local char gErrorText[kDecoderErrorTextSize];

int foldCase(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int32_t safeLength(const char* span, int32_t length) { return (span && length > 0) ? length : 0; }

// ---------------------------------------------------------------------------
// Markup classes of the XML-like reader.

enum Markup {
  kNone,
  kOpenTag,     // "<" not followed by "!", "?", "/"
  kCloseTag,    // "</"
  kCdataStart,  // "<![CDATA["
  kDeclaration, // "<!" otherwise
  kSelfEnd,     // "/>" (at the ">")
  kCdataEnd,    // "]]>" (at the ">")
  kTagEnd,      // ">" otherwise
};

constexpr char kCdataOpen[] = "<![CDATA[";
constexpr int32_t kCdataOpenLength = 9;

// Class of the markup at position i, and how far a forward scan moves past
// it (markup that begins with "<" is skipped whole; ">" moves one on).
Markup markupAt(const char* s, int32_t length, int32_t i, int32_t* advance) {
  *advance = 1;
  const char c = s[i];
  if (c == '<') {
    if (i + 1 >= length) return kOpenTag;
    const char d = s[i + 1];
    if (d == '/') {
      *advance = 2;
      return kCloseTag;
    }
    if (d == '?') {
      *advance = 2;
      return kNone;
    }
    if (d == '!') {
      if (length - i >= kCdataOpenLength && std::memcmp(s + i, kCdataOpen, kCdataOpenLength) == 0) {
        *advance = kCdataOpenLength;
        return kCdataStart;
      }
      if (length - i >= 4 && s[i + 2] == '-' && s[i + 3] == '-') {
        *advance = 4;
        return kNone;
      }
      *advance = 2;
      return kDeclaration;
    }
    return kOpenTag;
  }
  if (c == '>') {
    if (i >= 1 && s[i - 1] == '/') return kSelfEnd;
    if (i >= 2 && s[i - 1] == ']' && s[i - 2] == ']') return kCdataEnd;
    if (i >= 2 && s[i - 1] == '-' && s[i - 2] == '-') return kNone;
    if (i >= 1 && s[i - 1] == '?') return kNone;
    return kTagEnd;
  }
  return kNone;
}

// Position of the first markup at or after `from`, with its class; -1 when
// none.
int32_t nextMarkup(const char* s, int32_t length, int32_t from, Markup* kind) {
  int32_t i = from;
  while (i < length) {
    int32_t advance;
    Markup m = markupAt(s, length, i, &advance);
    if (m != kNone) {
      *kind = m;
      return i;
    }
    i += advance;
  }
  return -1;
}

// Position of the ">" that ends the CDATA section starting at `from`
// (scanning from after "<![CDATA["), or -1.
int32_t cdataEnd(const char* s, int32_t length, int32_t from) {
  for (int32_t i = from + kCdataOpenLength; i < length; ++i) {
    if (s[i] == '>' && i >= 2 && s[i - 1] == ']' && s[i - 2] == ']' &&
        i - 2 >= from + kCdataOpenLength) {
      return i;
    }
  }
  return -1;
}

struct SectionSpan {
  int32_t start;         // "<" of the opening tag
  int32_t nameStart;
  int32_t nameLength;
  int32_t attrStart;     // text after the name up to the tag end
  int32_t attrLength;
  int32_t contentStart;  // untrimmed
  int32_t contentLength;
  int32_t end;           // one past the section's last ">"
};

int32_t readSection(const char* s, int32_t length, SectionSpan* out) {
  if (length <= 0) return kXmlNoSection;
  Markup kind;
  int32_t p = nextMarkup(s, length, 0, &kind);
  if (p < 0) return kXmlNoSection;
  if (kind != kOpenTag) return kXmlNotOpeningTag;
  if (p + 1 >= length) return kXmlLoneOpen;
  int32_t j = p + 1;
  while (j < length && !isSpace(s[j]) && s[j] != '/') {
    int32_t advance;
    if (markupAt(s, length, j, &advance) != kNone) break;
    ++j;
  }
  out->start = p;
  out->nameStart = p + 1;
  out->nameLength = j - (p + 1);
  Markup endKind;
  int32_t g = nextMarkup(s, length, j, &endKind);
  if (g < 0 || (endKind != kTagEnd && endKind != kSelfEnd)) return kXmlBadTagEnd;
  out->attrStart = j;
  out->attrLength = (endKind == kSelfEnd ? g - 1 : g) - j;
  if (endKind == kSelfEnd) {
    out->contentStart = g + 1;
    out->contentLength = 0;
    out->end = g + 1;
    return kXmlSection;
  }
  const int32_t contentStart = g + 1;
  int32_t depth = 0;
  int32_t k = contentStart;
  int32_t closeAt = -1;
  Markup closeKind = kNone;
  while (k < length) {
    int32_t advance;
    Markup m = markupAt(s, length, k, &advance);
    if (m == kCdataStart) {
      int32_t e = cdataEnd(s, length, k);
      if (e < 0) return kXmlUnterminated;
      k = e + 1;
      continue;
    }
    if (m == kOpenTag) {
      ++depth;
    } else if (m == kCloseTag || m == kSelfEnd) {
      if (depth == 0) {
        closeAt = k;
        closeKind = m;
        break;
      }
      --depth;
    }
    k += advance;
  }
  if (closeAt < 0) return kXmlUnterminated;
  if (closeKind == kSelfEnd) return kXmlNameMismatch;  // a stray "/>" where "</name>" belongs
  int32_t gt = -1;
  for (int32_t i = closeAt + 2; i < length; ++i) {
    if (s[i] == '>') {
      gt = i;
      break;
    }
  }
  if (gt < 0) return kXmlClosingTagOpen;
  int32_t closeNameEnd = gt;
  while (closeNameEnd > closeAt + 2 && isSpace(s[closeNameEnd - 1])) --closeNameEnd;
  const int32_t closeNameLength = closeNameEnd - (closeAt + 2);
  if (closeNameLength != out->nameLength ||
      std::memcmp(s + closeAt + 2, s + out->nameStart, static_cast<size_t>(closeNameLength)) != 0) {
    return kXmlNameMismatch;
  }
  out->contentStart = contentStart;
  out->contentLength = closeAt - contentStart;
  out->end = gt + 1;
  return kXmlSection;
}

bool nameMatches(const char* name, int32_t nameLength, const char* want, int32_t wantLength) {
  if (wantLength == 0) return true;
  return nameLength == wantLength && tembrolexin_strncmpi(name, want, wantLength) == 0;
}

// Finds the first section named by path (all levels first match). Returns
// false when absent; *found gets offsets relative to span.
bool findPath(const char* span, int32_t length, const char* path, const char** base,
              SectionSpan* found) {
  const char* cur = span;
  int32_t curLength = length;
  const char* p = path ? path : "";
  bool any = false;
  while (true) {
    const char* slash = std::strchr(p, '/');
    const int32_t nameLength = static_cast<int32_t>(slash ? slash - p : std::strlen(p));
    bool matched = false;
    const char* levelSpan = cur;
    int32_t levelLength = curLength;
    SectionSpan sec;
    while (levelLength > 0) {
      if (readSection(levelSpan, levelLength, &sec) != kXmlSection) break;
      if (nameMatches(levelSpan + sec.nameStart, sec.nameLength, p, nameLength)) {
        matched = true;
        break;
      }
      levelSpan += sec.end;
      levelLength -= sec.end;
    }
    if (!matched) return false;
    any = true;
    *base = levelSpan;
    *found = sec;
    if (!slash) break;
    cur = levelSpan + sec.contentStart;
    curLength = sec.contentLength;
    p = slash + 1;
  }
  return any;
}

// Calls fn(content, contentLength) for every section that the path reaches
// (every match at every level), or for the span itself with an empty path.
template <typename Fn>
void forEachPathSection(const char* span, int32_t length, const char* path, Fn&& fn,
                        int32_t level = 0) {
  if (!path || !*path) {
    fn(span, length);
    return;
  }
  if (level > kXmlMaxDepth) return;
  const char* slash = std::strchr(path, '/');
  const int32_t nameLength = static_cast<int32_t>(slash ? slash - path : std::strlen(path));
  const char* levelSpan = span;
  int32_t levelLength = length;
  SectionSpan sec;
  while (levelLength > 0) {
    if (readSection(levelSpan, levelLength, &sec) != kXmlSection) break;
    if (nameMatches(levelSpan + sec.nameStart, sec.nameLength, path, nameLength)) {
      const char* content = levelSpan + sec.contentStart;
      if (slash) {
        forEachPathSection(content, sec.contentLength, slash + 1, fn, level + 1);
      } else {
        fn(content, sec.contentLength);
      }
    }
    levelSpan += sec.end;
    levelLength -= sec.end;
  }
}

// Pieces are cut at blank, comma, '<', tab and newline, and also at carriage
// return for numbers as well as words (texts written with CR LF line ends).
bool isSeparator(char c, bool /*words*/) {
  return c == ' ' || c == ',' || c == '<' || c == '\t' || c == '\n' || c == '\r';
}

// Calls fn(piece, pieceLength) for each piece of the span.
template <typename Fn>
void forEachPiece(const char* s, int32_t length, bool words, Fn&& fn) {
  int32_t i = 0;
  while (i < length) {
    while (i < length && isSeparator(s[i], words)) ++i;
    const int32_t start = i;
    while (i < length && !isSeparator(s[i], words)) ++i;
    if (i > start) fn(s + start, i - start);
  }
}

// ---------------------------------------------------------------------------
// Numbers.

struct Conversion {
  int size;   // bytes of the destination
  char kind;  // 'd' 'u' 'x' 'f' (float) 'F' (double)
  bool baseFromText;
};

bool parseFormat(const char* format, Conversion* conv) {
  if (!format || format[0] != '%') return false;
  const char* f = format + 1;
  int size = 4;
  bool isLong = false;
  if (f[0] == 'h' && f[1] == 'h') {
    size = 1;
    f += 2;
  } else if (f[0] == 'h') {
    size = 2;
    f += 1;
  } else if (f[0] == 'l' && f[1] == 'l') {
    size = 8;
    f += 2;
  } else if (f[0] == 'l') {
    size = static_cast<int>(sizeof(long));
    isLong = true;
    f += 1;
  }
  const char c = f[0];
  if (c == '\0' || f[1] != '\0') return false;
  conv->baseFromText = false;
  switch (c) {
    case 'd':
    case 'i':
    case 'x':
    case 'X':
      conv->kind = 'd';
      conv->baseFromText = true;
      break;
    case 'u':
      conv->kind = 'u';
      break;
    case 'f':
    case 'e':
    case 'g':
    case 'E':
    case 'G':
      if (size != 4 && !isLong) return false;
      conv->kind = isLong ? 'F' : 'f';
      size = isLong ? 8 : 4;
      break;
    default:
      return false;
  }
  conv->size = size;
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Stores the low `size` bytes of value (little-endian order of the host).
void storeInteger(void* dest, uint64_t value, int size) {
  switch (size) {
    case 1: {
      uint8_t v = static_cast<uint8_t>(value);
      std::memcpy(dest, &v, 1);
      break;
    }
    case 2: {
      uint16_t v = static_cast<uint16_t>(value);
      std::memcpy(dest, &v, 2);
      break;
    }
    case 4: {
      uint32_t v = static_cast<uint32_t>(value);
      std::memcpy(dest, &v, 4);
      break;
    }
    default:
      std::memcpy(dest, &value, 8);
      break;
  }
}

// strtod in the "C" locale.
double strtodC(const char* text, char** end) {
  static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(text, end, cLocale);
}

int32_t scanNumber(const char* s, int32_t length, const Conversion& conv, void* dest,
                   int32_t* consumed) {
  int32_t i = 0;
  while (i < length && isSpace(s[i])) ++i;
  if (i >= length) return -1;
  if (conv.kind == 'f' || conv.kind == 'F') {
    char buffer[64];
    int32_t n = length - i;
    if (n > 63) n = 63;
    std::memcpy(buffer, s + i, static_cast<size_t>(n));
    buffer[n] = '\0';
    char* endPtr = nullptr;
    // Configuration texts always write "." as the decimal point, whatever
    // locale the host program installed.
    const double value = strtodC(buffer, &endPtr);
    if (endPtr == buffer || !std::isfinite(value)) return 0;
    if (conv.kind == 'f') {
      if (std::fabs(value) > 3.4028234e38) return 0;
      const float f = static_cast<float>(value);
      if (dest) std::memcpy(dest, &f, sizeof f);
    } else if (dest) {
      std::memcpy(dest, &value, sizeof value);
    }
    if (consumed) *consumed = i + static_cast<int32_t>(endPtr - buffer);
    return 1;
  }
  bool hex = false;
  bool negative = false;
  if (conv.baseFromText && length - i >= 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  } else if (s[i] == '+' || s[i] == '-') {
    negative = s[i] == '-';
    ++i;
  }
  const int bits = conv.size * 8;
  const uint64_t limitUnsigned = bits >= 64 ? UINT64_MAX : ((uint64_t{1} << bits) - 1);
  uint64_t value = 0;
  int32_t digits = 0;
  bool overflow = false;
  const uint64_t base = hex ? 16 : 10;
  while (i < length) {
    const int d = hex ? hexDigit(s[i]) : ((s[i] >= '0' && s[i] <= '9') ? s[i] - '0' : -1);
    if (d < 0) break;
    if (value > (UINT64_MAX - static_cast<uint64_t>(d)) / base) overflow = true;
    value = value * base + static_cast<uint64_t>(d);
    ++digits;
    ++i;
  }
  if (digits == 0 || overflow) return 0;
  uint64_t stored;
  if (hex || conv.kind == 'u') {
    if (negative || value > limitUnsigned) return 0;
    stored = value;
  } else {
    const uint64_t maxPositive = limitUnsigned >> 1;  // 2^(bits-1) - 1
    if (negative) {
      if (value > maxPositive + 1) return 0;
      stored = ~value + 1;  // two's complement negation
    } else {
      if (value > maxPositive) return 0;
      stored = value;
    }
  }
  if (dest) storeInteger(dest, stored, conv.size);
  if (consumed) *consumed = i;
  return 1;
}

// ---------------------------------------------------------------------------
// Base64.

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct ReverseTable {
  int8_t value[256];
};

constexpr ReverseTable makeReverseTable() {
  ReverseTable table{};
  for (int i = 0; i < 256; ++i) table.value[i] = -1;
  for (int i = 0; i < 64; ++i) table.value[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int8_t>(i);
  return table;
}

// Constant: decoding on several threads at once is safe.
constexpr ReverseTable kBase64Reverse = makeReverseTable();

int64_t encodedLength(int64_t n) { return (n + 2) / 3 * 4; }

}  // namespace

// ---------------------------------------------------------------------------
// Error text.

int32_t tembrolexinSetErrorText(const char* format, ...) {
  if (!format) {
    gErrorText[0] = '\0';
    return 0;
  }
  va_list args;
  va_start(args, format);
  int n = vsnprintf(gErrorText, sizeof gErrorText, format, args);
  va_end(args);
  return n < 0 ? 0 : n;
}

const char* tembrolexinErrorText() { return gErrorText; }

// ---------------------------------------------------------------------------
// Strings.

int32_t tembrolexin_strcmpi(const char* a, const char* b) {
  if (!a) a = "";
  if (!b) b = "";
  for (;; ++a, ++b) {
    int ca = foldCase(static_cast<unsigned char>(*a));
    int cb = foldCase(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

int32_t tembrolexin_strncmpi(const char* a, const char* b, int32_t n) {
  if (n <= 0) return 0;
  if (!a) a = "";
  if (!b) b = "";
  for (int32_t i = 0; i < n; ++i) {
    int ca = foldCase(static_cast<unsigned char>(a[i]));
    int cb = foldCase(static_cast<unsigned char>(b[i]));
    if (ca != cb || ca == 0) return ca - cb;
  }
  return 0;
}

const char* tembrolexin_strstri(const char* text, const char* pattern) {
  if (!text) return nullptr;
  if (!pattern || !*pattern) return text;
  const size_t n = std::strlen(pattern);
  for (const char* t = text; *t; ++t) {
    if (tembrolexin_strncmpi(t, pattern, static_cast<int32_t>(n)) == 0) return t;
  }
  return nullptr;
}

int32_t sscanf_hex_dec_n(const char* text, int32_t length, const char* format, void* dest,
                         int32_t* consumed) {
  if (consumed) *consumed = 0;
  Conversion conv;
  length = safeLength(text, length);
  if (!parseFormat(format, &conv)) return 0;
  int32_t used = 0;
  int32_t result = scanNumber(text ? text : "", length, conv, dest, &used);
  if (result == 1 && consumed) *consumed = used;
  return result;
}

int32_t sscanf_hex_dec(const char* text, const char* format, void* dest) {
  if (!text) return -1;
  const size_t n = std::strlen(text);
  return sscanf_hex_dec_n(text, n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n), format, dest,
                          nullptr);
}

const char* stripDirectory(const char* path) {
  if (!path) return path;
  const char* result = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\') result = p + 1;
  }
  return result;
}

int32_t stripFileName(const char* path) {
  if (!path) return 0;
  int32_t index = 0;
  for (int32_t i = 0; path[i]; ++i) {
    if (path[i] == '/' || path[i] == '\\') index = i;
  }
  return index;
}

const char* strtrim(const char* span, int32_t* length) {
  if (!length) return span;
  int32_t n = safeLength(span, *length);
  int32_t start = 0;
  while (start < n && isSpace(span[start])) ++start;
  while (n > start && isSpace(span[n - 1])) --n;
  *length = n - start;
  return span ? span + start : span;
}

char** breakIntoTokens(char* text, int32_t* count) {
  if (count) *count = 0;
  if (!text) return nullptr;
  const size_t n = std::strlen(text);
  char** tokens = static_cast<char**>(calloc(n + 1, sizeof(char*)));
  if (!tokens) return nullptr;
  int32_t found = 0;
  size_t r = 0;
  size_t w = 0;
  while (r < n) {
    while (r < n && isSpace(text[r])) text[r++] = '\0';
    if (r >= n) break;
    // Tokens are compacted in place (a kept blank drops its backslash), so
    // the write position never passes the read position.
    w = r;
    char* start = text + w;
    bool quoted = false;
    while (r < n && (quoted || !isSpace(text[r]))) {
      if (text[r] == '"') quoted = !quoted;
      if (text[r] == '\\' && r + 1 < n && text[r + 1] == ' ') ++r;
      text[w++] = text[r++];
    }
    // Everything from the token's end to the next token (the blanks and
    // what compaction left behind) becomes zeros.
    for (size_t z = w; z < r; ++z) text[z] = '\0';
    size_t len = static_cast<size_t>(text + w - start);
    if (len > 0 && start[0] == '"') {
      while (len >= 2 && start[0] == '"' && start[len - 1] == '"') {
        start[len - 1] = '\0';
        ++start;
        len -= 2;
      }
    }
    tokens[found++] = start;
  }
  if (count) *count = found;
  return tokens;
}

char** breakIntoTokensFromConst(const char* text, int32_t* count, char** copy) {
  if (count) *count = 0;
  if (copy) *copy = nullptr;
  if (!text || !copy) return nullptr;
  const size_t n = std::strlen(text);
  char* duplicate = static_cast<char*>(malloc(n + 1));
  if (!duplicate) return nullptr;
  std::memcpy(duplicate, text, n + 1);
  char** tokens = breakIntoTokens(duplicate, count);
  if (!tokens) {
    free(duplicate);
    return nullptr;
  }
  *copy = duplicate;
  return tokens;
}

void deleteTokens(char** tokens) { free(tokens); }

void deleteTokensFromConst(char** tokens, char* copy) {
  free(tokens);
  free(copy);
}

const char* getFirstToken(const char* span, int32_t* length, char* token, int32_t tokenCapacity,
                          const char* separators) {
  if (token && tokenCapacity > 0) token[0] = '\0';
  if (!length) return span;
  const int32_t n = safeLength(span, *length);
  const char* seps = separators ? separators : "";
  auto isSep = [&](char c) { return c != '\0' && std::strchr(seps, c) != nullptr; };
  int32_t i = 0;
  while (i < n && isSep(span[i])) ++i;
  const int32_t start = i;
  while (i < n && !isSep(span[i])) ++i;
  if (token && tokenCapacity > 0) {
    int32_t copyLength = i - start;
    if (copyLength > tokenCapacity - 1) copyLength = tokenCapacity - 1;
    std::memcpy(token, span + start, static_cast<size_t>(copyLength));
    token[copyLength] = '\0';
  }
  while (i < n && isSep(span[i])) ++i;
  *length = n - i;
  return span ? span + i : span;
}

const char* getFirstToken2(const char* text, char* token, int32_t tokenCapacity,
                           const char* separators) {
  if (!text) {
    if (token && tokenCapacity > 0) token[0] = '\0';
    return text;
  }
  const size_t n = std::strlen(text);
  int32_t length = n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
  return getFirstToken(text, &length, token, tokenCapacity, separators);
}

int32_t copySection(const char* span, int32_t length, char* out, int32_t outCapacity) {
  if (!out || outCapacity <= 0) return 0;
  int32_t n = length;
  const char* start = strtrim(span, &n);
  if (n > outCapacity - 1) n = outCapacity - 1;
  if (n > 0) std::memcpy(out, start, static_cast<size_t>(n));
  out[n] = '\0';
  return n;
}

// ---------------------------------------------------------------------------
// Base64.

int32_t tembrolexin_base64_encode(const uint8_t* in, char* out, int32_t n) {
  if (n <= 0) return 0;
  const int64_t total = encodedLength(n);
  if (total > INT32_MAX) return 0;
  if (out && in) {
    int32_t o = 0;
    int32_t i = 0;
    for (; i + 2 < n; i += 3) {
      const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
      out[o++] = kBase64Alphabet[(v >> 18) & 63];
      out[o++] = kBase64Alphabet[(v >> 12) & 63];
      out[o++] = kBase64Alphabet[(v >> 6) & 63];
      out[o++] = kBase64Alphabet[v & 63];
    }
    if (i < n) {
      const uint32_t v = (uint32_t{in[i]} << 16) | (i + 1 < n ? uint32_t{in[i + 1]} << 8 : 0);
      out[o++] = kBase64Alphabet[(v >> 18) & 63];
      out[o++] = kBase64Alphabet[(v >> 12) & 63];
      out[o++] = i + 1 < n ? kBase64Alphabet[(v >> 6) & 63] : '=';
      out[o++] = '=';
    }
  }
  return static_cast<int32_t>(total);
}

int32_t tembrolexin_base64_decode(const char* text, uint8_t* out, int32_t textLength,
                                  int32_t outCapacity) {
  textLength = safeLength(text, textLength);
  uint32_t bits = 0;
  int32_t bitCount = 0;
  int32_t written = 0;
  for (int32_t i = 0; i < textLength; ++i) {
    const int8_t v = kBase64Reverse.value[static_cast<unsigned char>(text[i])];
    if (v < 0) continue;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      if (out && written < outCapacity) {
        out[written] = static_cast<uint8_t>(bits >> bitCount);
      } else if (out) {
        break;
      }
      ++written;
      bits &= (1u << bitCount) - 1;
    }
  }
  return written;
}

char* tembrolexin_createToBase64(const uint8_t* in, int32_t length, int32_t* outLength) {
  if (outLength) *outLength = 0;
  if (!in || length <= 0) return nullptr;
  const int32_t n = tembrolexin_base64_encode(in, nullptr, length);
  if (n <= 0) return nullptr;
  char* out = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
  if (!out) return nullptr;
  tembrolexin_base64_encode(in, out, length);
  out[n] = '\0';
  if (outLength) *outLength = n;
  return out;
}

uint8_t* tembrolexin_createFromBase64(const char* text, int32_t length, int32_t* outLength) {
  if (outLength) *outLength = 0;
  length = safeLength(text, length);
  int64_t symbols = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (kBase64Reverse.value[static_cast<unsigned char>(text[i])] >= 0) ++symbols;
  }
  const int64_t bytes = symbols * 6 / 8;
  if (bytes <= 0) return nullptr;
  uint8_t* out = static_cast<uint8_t*>(malloc(static_cast<size_t>(bytes)));
  if (!out) return nullptr;
  const int32_t n = tembrolexin_base64_decode(text, out, length, static_cast<int32_t>(bytes));
  if (outLength) *outLength = n;
  return out;
}

int32_t tembrolexin_convertToBase64(uint8_t** buffer, int32_t* length) {
  if (!buffer || !length || !*buffer) return 0;
  int32_t n = 0;
  char* encoded = tembrolexin_createToBase64(*buffer, *length, &n);
  if (!encoded) return 0;
  free(*buffer);
  *buffer = reinterpret_cast<uint8_t*>(encoded);
  *length = n;
  return 1;
}

int32_t tembrolexin_convertFromBase64(uint8_t** buffer, int32_t* length) {
  if (!buffer || !length || !*buffer) return 0;
  int32_t n = 0;
  uint8_t* decoded =
      tembrolexin_createFromBase64(reinterpret_cast<const char*>(*buffer), *length, &n);
  if (!decoded) return 0;
  free(*buffer);
  *buffer = decoded;
  *length = n;
  return 1;
}

// ---------------------------------------------------------------------------
// XML-like reader.

const char* getNextSectionXmlCheckValidity(const char* span, int32_t length,
                                           const char** contentStart, int32_t* nameLength,
                                           int32_t* contentLength, const char** sectionStart,
                                           int32_t* sectionLength, int32_t* errorCode) {
  length = safeLength(span, length);
  SectionSpan sec;
  const int32_t code = readSection(span, length, &sec);
  if (errorCode) *errorCode = code;
  if (code != kXmlSection) {
    if (contentStart) *contentStart = nullptr;
    if (nameLength) *nameLength = 0;
    if (contentLength) *contentLength = 0;
    if (sectionStart) *sectionStart = nullptr;
    if (sectionLength) *sectionLength = 0;
    return nullptr;
  }
  int32_t n = sec.contentLength;
  const char* content = strtrim(span + sec.contentStart, &n);
  if (contentStart) *contentStart = content;
  if (contentLength) *contentLength = n;
  if (nameLength) *nameLength = sec.nameLength;
  if (sectionStart) *sectionStart = span + sec.start;
  if (sectionLength) *sectionLength = sec.end - sec.start;
  return span + sec.nameStart;
}

const char* getNextSectionXml(const char* span, int32_t length, const char** contentStart,
                              int32_t* nameLength, int32_t* contentLength,
                              const char** sectionStart, int32_t* sectionLength) {
  return getNextSectionXmlCheckValidity(span, length, contentStart, nameLength, contentLength,
                                        sectionStart, sectionLength, nullptr);
}

const char* getSectionNameXml(const char* span, int32_t length, int32_t* nameLength) {
  return getNextSectionXml(span, length, nullptr, nameLength, nullptr, nullptr, nullptr);
}

int32_t skipNextSectionXml(const char** span, int32_t* length) {
  if (!span || !length) return 0;
  const int32_t n = safeLength(*span, *length);
  SectionSpan sec;
  if (readSection(*span, n, &sec) != kXmlSection) return 0;
  int32_t i = sec.end;
  while (i < n && isSpace((*span)[i])) ++i;
  *span += i;
  *length = n - i;
  return *length > 0 ? 1 : 0;
}

const char* getNextAttrXml(const char* span, int32_t length, const char** name,
                           int32_t* nameLength, int32_t* valueLength, int32_t* consumed) {
  if (name) *name = nullptr;
  if (nameLength) *nameLength = 0;
  if (valueLength) *valueLength = 0;
  if (consumed) *consumed = 0;
  const int32_t n = safeLength(span, length);
  int32_t i = 0;
  while (i < n && isSpace(span[i])) ++i;
  const int32_t nameStart = i;
  while (i < n && !isSpace(span[i]) && span[i] != '=') ++i;
  const int32_t nameEnd = i;
  if (nameEnd == nameStart) return nullptr;
  while (i < n && isSpace(span[i])) ++i;
  if (i >= n || span[i] != '=') return nullptr;
  ++i;
  while (i < n && span[i] != '"') ++i;
  if (i >= n) return nullptr;
  const int32_t valueStart = ++i;
  while (i < n && span[i] != '"') ++i;
  if (i >= n) return nullptr;
  if (name) *name = span + nameStart;
  if (nameLength) *nameLength = nameEnd - nameStart;
  if (valueLength) *valueLength = i - valueStart;
  if (consumed) *consumed = i + 1;
  return span + valueStart;
}

const char* getAttrXml(const char* span, int32_t length, const char* path, const char* attrName,
                       int32_t* outLength) {
  if (outLength) *outLength = 0;
  length = safeLength(span, length);
  const char* base = span;
  SectionSpan sec;
  if (path && *path) {
    if (!findPath(span, length, path, &base, &sec)) return nullptr;
  } else if (readSection(span, length, &sec) != kXmlSection) {
    return nullptr;
  }
  const char* attrs = base + sec.attrStart;
  int32_t attrsLength = sec.attrLength;
  if (!attrName || !*attrName) {
    const char* trimmed = strtrim(attrs, &attrsLength);
    if (attrsLength == 0) return nullptr;
    if (outLength) *outLength = attrsLength;
    return trimmed;
  }
  const int32_t wantLength = static_cast<int32_t>(std::strlen(attrName));
  while (attrsLength > 0) {
    const char* name;
    int32_t nameLength, valueLength, consumed;
    const char* value =
        getNextAttrXml(attrs, attrsLength, &name, &nameLength, &valueLength, &consumed);
    if (!value) return nullptr;
    if (nameLength == wantLength && tembrolexin_strncmpi(name, attrName, wantLength) == 0) {
      if (outLength) *outLength = valueLength;
      return value;
    }
    attrs += consumed;
    attrsLength -= consumed;
  }
  return nullptr;
}

const char* getSectionXml(const char* span, int32_t length, const char* path, int32_t* outLength) {
  if (outLength) *outLength = 0;
  length = safeLength(span, length);
  const char* base;
  SectionSpan sec;
  if (!findPath(span, length, path, &base, &sec)) return nullptr;
  int32_t n = sec.contentLength;
  const char* content = strtrim(base + sec.contentStart, &n);
  if (outLength) *outLength = n;
  return content;
}

const char* getSectionXmlIncludingTags(const char* span, int32_t length, const char* path,
                                       int32_t* outLength) {
  if (outLength) *outLength = 0;
  length = safeLength(span, length);
  const char* base;
  SectionSpan sec;
  if (!findPath(span, length, path, &base, &sec)) return nullptr;
  if (outLength) *outLength = sec.end - sec.start;
  return base + sec.start;
}

int32_t fillNFieldsStrict(const char* span, int32_t length, const char* path, void* dest,
                          int32_t capacity, int32_t elementSize, const char* format,
                          int32_t* rejected) {
  if (rejected) *rejected = 0;
  length = safeLength(span, length);
  Conversion conv;
  if (!parseFormat(format, &conv) || elementSize < 0) return 0;
  if (elementSize > conv.size) elementSize = conv.size;
  int32_t found = 0;
  int32_t bad = 0;
  forEachPathSection(span, length, path, [&](const char* content, int32_t contentLength) {
    const char* stripped = stripCdataTags(content, &contentLength);
    forEachPiece(stripped, contentLength, false, [&](const char* piece, int32_t pieceLength) {
      uint64_t value = 0;
      int32_t used = 0;
      if (scanNumber(piece, pieceLength, conv, &value, &used) != 1) {
        ++bad;
        return;
      }
      if (used != pieceLength) ++bad;
      if (dest && found < capacity) {
        std::memcpy(static_cast<uint8_t*>(dest) + static_cast<int64_t>(found) * elementSize,
                    &value, static_cast<size_t>(elementSize));
      }
      if (found < INT32_MAX) ++found;
    });
  });
  if (rejected) *rejected = bad;
  return found;
}

int32_t fillNFields(const char* span, int32_t length, const char* path, void* dest,
                    int32_t capacity, int32_t elementSize, const char* format) {
  return fillNFieldsStrict(span, length, path, dest, capacity, elementSize, format, nullptr);
}

int32_t fillNWords(const char* span, int32_t length, const char* path, char** dest,
                   int32_t capacity) {
  length = safeLength(span, length);
  int32_t found = 0;
  forEachPathSection(span, length, path, [&](const char* content, int32_t contentLength) {
    const char* stripped = stripCdataTags(content, &contentLength);
    forEachPiece(stripped, contentLength, true, [&](const char* piece, int32_t pieceLength) {
      if (dest && found < capacity) {
        char* word = static_cast<char*>(malloc(static_cast<size_t>(pieceLength) + 1));
        if (word) {
          std::memcpy(word, piece, static_cast<size_t>(pieceLength));
          word[pieceLength] = '\0';
        }
        dest[found] = word;
      }
      if (found < INT32_MAX) ++found;
    });
  });
  return found;
}

void freeWords(char** words, int32_t count) {
  if (!words) return;
  for (int32_t i = 0; i < count; ++i) free(words[i]);
}

void* assignFillNFields(const char* span, int32_t length, const char* path, int32_t elementSize,
                        const char* format, int32_t* count) {
  if (count) *count = 0;
  if (elementSize <= 0) return nullptr;
  const int32_t n = fillNFields(span, length, path, nullptr, 0, elementSize, format);
  if (n <= 0) return nullptr;
  void* array = calloc(static_cast<size_t>(n), static_cast<size_t>(elementSize));
  if (!array) return nullptr;
  const int32_t stored = fillNFields(span, length, path, array, n, elementSize, format);
  if (count) *count = stored < n ? stored : n;
  return array;
}

char** assignFillNWords(const char* span, int32_t length, const char* path, int32_t* count) {
  if (count) *count = 0;
  const int32_t n = fillNWords(span, length, path, nullptr, 0);
  if (n <= 0) return nullptr;
  char** words = static_cast<char**>(calloc(static_cast<size_t>(n), sizeof(char*)));
  if (!words) return nullptr;
  const int32_t stored = fillNWords(span, length, path, words, n);
  if (count) *count = stored < n ? stored : n;
  return words;
}

const char* stripCdataTags(const char* span, int32_t* length) {
  if (!length) return span;
  const char* s = strtrim(span, length);
  int32_t n = *length;
  if (n >= kCdataOpenLength + 3 && std::memcmp(s, kCdataOpen, kCdataOpenLength) == 0 &&
      s[n - 1] == '>' && s[n - 2] == ']' && s[n - 3] == ']') {
    int32_t inner = n - kCdataOpenLength - 3;
    s = strtrim(s + kCdataOpenLength, &inner);
    *length = inner;
  }
  return s;
}

namespace {

int32_t walkValidity(const char* s, int32_t length, int32_t depth) {
  if (depth > kXmlMaxDepth) return kXmlTooDeep;
  int32_t result = kXmlNoSection;
  int32_t pos = 0;
  while (pos < length) {
    Markup kind;
    const int32_t m = nextMarkup(s, length, pos, &kind);
    if (m < 0) break;
    if (kind == kCdataStart) {
      const int32_t e = cdataEnd(s, length, m);
      if (e < 0) return kXmlUnterminated;
      pos = e + 1;
      continue;
    }
    SectionSpan sec;
    const int32_t code = readSection(s + m, length - m, &sec);
    if (code == kXmlNoSection) break;
    if (code != kXmlSection) return code;
    const int32_t inner = walkValidity(s + m + sec.contentStart, sec.contentLength, depth + 1);
    if (inner != kXmlNoSection && inner != kXmlSection) return inner;
    result = kXmlSection;
    pos = m + sec.end;
  }
  return result;
}

}  // namespace

int32_t checkXmlValidity(const char* span, int32_t length, int32_t* code) {
  const int32_t result = walkValidity(span, safeLength(span, length), 0);
  if (code) *code = result;
  return result;
}

int32_t isXmlValid(int32_t code) { return (code == kXmlNoSection || code == kXmlSection) ? 1 : 0; }

int32_t isXmlNotFileName(const char* text) {
  if (!text) return 0;
  while (isSpace(*text)) ++text;
  return *text == '<' ? 1 : 0;
}

}  // namespace tembrolexinsdk
