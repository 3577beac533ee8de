// The decoding core's small text toolkit: case-insensitive comparison, token
// splitting, trimming, number parsing in decimal or hexadecimal, file-name
// helpers, base64, a light reader of XML-like text, and the process-wide
// error text of the decoder library.
//
// Everything works on byte strings. Functions that take a span and a length
// never read at or past span + length, and functions that write take the
// capacity of their destination and never write past it. Null spans and
// negative lengths are treated as empty.
//
// Thread safety: all functions are reentrant except the error text, which is
// one unguarded process-wide buffer (last writer wins).
#ifndef TL_CORE_DECODER_TEXT_UTILS_H_
#define TL_CORE_DECODER_TEXT_UTILS_H_

#include <cstdint>

namespace tembrolexinsdk {

// ---------------------------------------------------------------------------
// Error text: 200 bytes per thread, formatted and truncated to 199
// characters; each thread reads only what its own calls wrote. Never
// cleared. Returns the number of characters the formatted text had.
constexpr int32_t kDecoderErrorTextSize = 200;
int32_t tembrolexinSetErrorText(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
const char* tembrolexinErrorText();

// ---------------------------------------------------------------------------
// Strings. Null texts compare as empty.

// Difference of the first differing characters after folding A..Z to lower
// case (as unsigned bytes); 0 when equal.
int32_t tembrolexin_strcmpi(const char* a, const char* b);
// The same over at most n characters; 0 for n <= 0.
int32_t tembrolexin_strncmpi(const char* a, const char* b, int32_t n);
// First case-insensitive occurrence of pattern; text itself for an empty
// pattern; null when none.
const char* tembrolexin_strstri(const char* text, const char* pattern);

// Parses one number from a zero-terminated text with a scanf-like format and
// stores it at dest. Supported conversions: %d %i %u %x %X with the length
// modifiers hh, h, (none), l, ll; %f %e %g (float) and %lf (double). When the
// format ends in d, x or X, leading white space is skipped and the text
// decides the base: "0x" prefix reads hexadecimal, anything else decimal.
// A value that does not fit the conversion's type is not stored. Returns 1
// when a number was stored, 0 when none could be read, -1 for a text that is
// empty or only white space. The format is never written.
int32_t sscanf_hex_dec(const char* text, const char* format, void* dest);
// The same on a span; `consumed` (may be null) receives the number of
// characters read, leading white space included (0 when nothing stored).
int32_t sscanf_hex_dec_n(const char* text, int32_t length, const char* format, void* dest,
                         int32_t* consumed);

// Pointer just after the last '/' or '\\', or the path itself.
const char* stripDirectory(const char* path);
// Index of the last '/' or '\\' (0 when there is none).
int32_t stripFileName(const char* path);

// First non-space character of the span; *length is reduced by the white
// space cut at both ends.
const char* strtrim(const char* span, int32_t* length);

// Cuts the text in place at white space (quotes group, backslash-blank keeps
// a blank) and returns a malloc'ed array of pointers to the tokens, with
// *count set. Null when memory runs out (count 0).
char** breakIntoTokens(char* text, int32_t* count);
// The same on a malloc'ed copy of the text, whose address goes to *copy.
char** breakIntoTokensFromConst(const char* text, int32_t* count, char** copy);
void deleteTokens(char** tokens);
void deleteTokensFromConst(char** tokens, char* copy);

// Skips separators, copies the first token into `token` (at most
// tokenCapacity - 1 characters plus the terminating zero; token may be null),
// and returns the position after the separators that follow it; *length is
// reduced accordingly.
const char* getFirstToken(const char* span, int32_t* length, char* token, int32_t tokenCapacity,
                          const char* separators);
const char* getFirstToken2(const char* text, char* token, int32_t tokenCapacity,
                           const char* separators);
// Copies the span without leading and trailing white space, zero-terminated,
// truncated to outCapacity - 1; returns the copied length.
int32_t copySection(const char* span, int32_t length, char* out, int32_t outCapacity);

// ---------------------------------------------------------------------------
// Base64 (standard alphabet, '=' padding, no line breaks).

// Encoded length of n bytes; with out (of at least that capacity) writes it.
int32_t tembrolexin_base64_encode(const uint8_t* in, char* out, int32_t n);
// Decodes textLength characters, skipping everything outside the alphabet;
// writes at most outCapacity bytes; returns the number of bytes decoded.
int32_t tembrolexin_base64_decode(const char* text, uint8_t* out, int32_t textLength,
                                  int32_t outCapacity);
// New malloc'ed buffers (the text is zero-terminated); null for an empty
// result or when memory runs out.
char* tembrolexin_createToBase64(const uint8_t* in, int32_t length, int32_t* outLength);
uint8_t* tembrolexin_createFromBase64(const char* text, int32_t length, int32_t* outLength);
// Replace a malloc'ed buffer by its encoding / decoding; 1 on success (the
// old buffer is freed), 0 otherwise (the buffer is untouched).
int32_t tembrolexin_convertToBase64(uint8_t** buffer, int32_t* length);
int32_t tembrolexin_convertFromBase64(uint8_t** buffer, int32_t* length);

// ---------------------------------------------------------------------------
// XML-like reader.

// Result codes of the section reader.
constexpr int32_t kXmlNoSection = 1;
constexpr int32_t kXmlSection = 2;
constexpr int32_t kXmlNotOpeningTag = 3;
constexpr int32_t kXmlBadTagEnd = 4;
constexpr int32_t kXmlUnterminated = 5;
constexpr int32_t kXmlLoneOpen = 6;
constexpr int32_t kXmlClosingTagOpen = 7;
constexpr int32_t kXmlNameMismatch = 8;
// Sections nested deeper than kXmlMaxDepth (checkXmlValidity only).
constexpr int32_t kXmlTooDeep = 9;
constexpr int32_t kXmlMaxDepth = 32;

// Reads the first section of the span. Returns its name (not terminated)
// with nameLength, the trimmed content, and the whole section's extent; null
// with *errorCode 1 or 3..8 when there is none. Every out pointer may be null.
// A name runs from after '<' to white space, markup or '/'. Comments and
// processing instructions are not markup: tags written inside them count.
const char* getNextSectionXmlCheckValidity(const char* span, int32_t length,
                                           const char** contentStart, int32_t* nameLength,
                                           int32_t* contentLength, const char** sectionStart,
                                           int32_t* sectionLength, int32_t* errorCode);
const char* getNextSectionXml(const char* span, int32_t length, const char** contentStart,
                              int32_t* nameLength, int32_t* contentLength,
                              const char** sectionStart, int32_t* sectionLength);
const char* getSectionNameXml(const char* span, int32_t length, int32_t* nameLength);
// Moves past the next section and the white space after it; 1 while text
// remains, 0 when the span is used up or holds no readable section.
int32_t skipNextSectionXml(const char** span, int32_t* length);

// Reads the next attribute (name="value") of a tag's attribute text. Returns
// the value (not terminated) or null when there is none or it is malformed;
// *consumed receives the characters read up to and including the closing
// quote.
const char* getNextAttrXml(const char* span, int32_t length, const char** name,
                           int32_t* nameLength, int32_t* valueLength, int32_t* consumed);
// Value of attribute attrName (ignoring case) in the opening tag of the
// section that path names (empty path: the tag at the start of the span);
// with an empty attribute name, the tag's whole attribute text, trimmed.
// Null with *length 0 when absent.
const char* getAttrXml(const char* span, int32_t length, const char* path, const char* attrName,
                       int32_t* outLength);
// Content (trimmed) of the section that a '/'-separated path names; null with
// *outLength 0 when absent. Names compare ignoring case; an empty name
// takes the first section of its level.
const char* getSectionXml(const char* span, int32_t length, const char* path, int32_t* outLength);
const char* getSectionXmlIncludingTags(const char* span, int32_t length, const char* path,
                                       int32_t* outLength);

// Number of numbers found in every section that path reaches (every match
// at every level; the span itself for an empty path); the first `capacity`
// of them are stored (each value's first elementSize bytes) when dest is not
// null. Pieces are cut at blank, comma, '<', tab, newline and carriage
// return; a CDATA wrapper around a section's content is removed first.
int32_t fillNFields(const char* span, int32_t length, const char* path, void* dest,
                    int32_t capacity, int32_t elementSize, const char* format);
// The same; *rejected (may be null) receives the number of pieces that were
// not a number, or a number that did not fit, or had trailing characters.
// fillNFields counts a piece when a number could be read from its start.
int32_t fillNFieldsStrict(const char* span, int32_t length, const char* path, void* dest,
                          int32_t capacity, int32_t elementSize, const char* format,
                          int32_t* rejected);
// Number of words (cut as above); the first
// `capacity` are stored as malloc'ed zero-terminated copies (free them with
// freeWords). A word that cannot be copied is stored as null.
int32_t fillNWords(const char* span, int32_t length, const char* path, char** dest,
                   int32_t capacity);
void freeWords(char** words, int32_t count);
// New malloc'ed arrays sized by a counting pass; null (count 0) when none.
void* assignFillNFields(const char* span, int32_t length, const char* path, int32_t elementSize,
                        const char* format, int32_t* count);
char** assignFillNWords(const char* span, int32_t length, const char* path, int32_t* count);

// The span without surrounding white space and, when wrapped in
// "<![CDATA[" "]]>", without the wrapper and the white space inside it.
const char* stripCdataTags(const char* span, int32_t* length);

// Walks every section and its content recursively (at most kXmlMaxDepth
// levels); *code (may be null) is the first error code met, else 1 or 2.
// Returns the same code.
int32_t checkXmlValidity(const char* span, int32_t length, int32_t* code);
int32_t isXmlValid(int32_t code);
// 1 when the first non-space character is '<'.
int32_t isXmlNotFileName(const char* text);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_TEXT_UTILS_H_
