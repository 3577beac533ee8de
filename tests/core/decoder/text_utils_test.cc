#include "core/decoder/text_utils.h"
#include "tests/core/decoder/param_names.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tembrolexinsdk {
namespace {

// An exactly sized heap copy, so that a read past the span's end is caught by
// the address sanitizer.
struct ExactSpan {
  explicit ExactSpan(const std::string& text) : data(new char[text.size() ? text.size() : 1]), length(static_cast<int32_t>(text.size())) {
    std::memcpy(data.get(), text.data(), text.size());
  }
  std::unique_ptr<char[]> data;
  int32_t length;
};

TEST(Strings, CaseInsensitiveComparisonFoldsOnlyLetters) {
  EXPECT_EQ(tembrolexin_strcmpi("VorselT", "vorselt"), 0);
  EXPECT_EQ(tembrolexin_strcmpi("[", "a"), '[' - 'a');
  EXPECT_EQ(tembrolexin_strcmpi("[", "A"), '[' - 'a');  // lower-case order
  EXPECT_GT(tembrolexin_strcmpi("b", "A"), 0);
  EXPECT_LT(tembrolexin_strcmpi("ab", "abc"), 0);
  EXPECT_EQ(tembrolexin_strncmpi("abcX", "ABCY", 3), 0);
  EXPECT_NE(tembrolexin_strncmpi("abcX", "ABCY", 4), 0);
  EXPECT_EQ(tembrolexin_strncmpi("x", "y", 0), 0);
  EXPECT_EQ(tembrolexin_strncmpi("ab", "AB", 10), 0);  // stops at the terminator
  const char* text = "Hello World";
  EXPECT_EQ(tembrolexin_strstri(text, "WORLD"), text + 6);
  EXPECT_EQ(tembrolexin_strstri(text, ""), text);
  EXPECT_EQ(tembrolexin_strstri(text, "planet"), nullptr);
}

TEST(Strings, HexOrDecimalIsDecidedByTheText) {
  const char format[] = "%d";
  int32_t value = 0;
  EXPECT_EQ(sscanf_hex_dec(" 0x1F", format, &value), 1);
  EXPECT_EQ(value, 31);
  EXPECT_STREQ(format, "%d");  // never written
  EXPECT_EQ(sscanf_hex_dec("17", format, &value), 1);
  EXPECT_EQ(value, 17);
  EXPECT_EQ(sscanf_hex_dec("-2147483648", "%d", &value), 1);
  EXPECT_EQ(value, INT32_MIN);
  EXPECT_EQ(sscanf_hex_dec("0xFFFFFFFF", "%d", &value), 1);
  EXPECT_EQ(value, -1);  // all 32 bits
  value = 5;
  EXPECT_EQ(sscanf_hex_dec("2147483648", "%d", &value), 0);  // does not fit: not stored
  EXPECT_EQ(value, 5);
  EXPECT_EQ(sscanf_hex_dec("0x100000000", "%x", &value), 0);
  EXPECT_EQ(sscanf_hex_dec("abc", "%d", &value), 0);
  EXPECT_EQ(sscanf_hex_dec("   ", "%d", &value), -1);
  EXPECT_EQ(sscanf_hex_dec("12", "%q", &value), 0);
  uint8_t byte = 0;
  EXPECT_EQ(sscanf_hex_dec("0xFF", "%hhx", &byte), 1);
  EXPECT_EQ(byte, 0xFF);
  int64_t wide = 0;
  EXPECT_EQ(sscanf_hex_dec("0x7FFFFFFFFFFFFFFF", "%lld", &wide), 1);
  EXPECT_EQ(wide, INT64_MAX);
  float f = 0;
  EXPECT_EQ(sscanf_hex_dec("1.5e2", "%f", &f), 1);
  EXPECT_FLOAT_EQ(f, 150.0f);
  EXPECT_EQ(sscanf_hex_dec("inf", "%f", &f), 0);
  // On a span, nothing past its length is read.
  ExactSpan span("123456");
  int32_t consumed = 0;
  EXPECT_EQ(sscanf_hex_dec_n(span.data.get(), 3, "%d", &value, &consumed), 1);
  EXPECT_EQ(value, 123);
  EXPECT_EQ(consumed, 3);
  ExactSpan number("2.5");
  EXPECT_EQ(sscanf_hex_dec_n(number.data.get(), number.length, "%f", &f, &consumed), 1);
  EXPECT_FLOAT_EQ(f, 2.5f);
}

TEST(Strings, FileNameParts) {
  EXPECT_STREQ(stripDirectory("a/b\\c.txt"), "c.txt");
  EXPECT_STREQ(stripDirectory("plain"), "plain");
  EXPECT_EQ(stripFileName("a/b\\c.txt"), 3);
  EXPECT_EQ(stripFileName("plain"), 0);
}

TEST(Strings, TrimAndCopySection) {
  const char* text = "  ab  ";
  int32_t length = 6;
  EXPECT_EQ(strtrim(text, &length), text + 2);
  EXPECT_EQ(length, 2);
  length = 3;
  strtrim("   ", &length);
  EXPECT_EQ(length, 0);
  char out[8];
  EXPECT_EQ(copySection(" \thi there \n", 12, out, sizeof out), 7);
  EXPECT_STREQ(out, "hi ther");  // truncated to the capacity
  EXPECT_EQ(copySection("xyz", 3, out, 2), 1);
  EXPECT_STREQ(out, "x");
}

std::vector<std::string> tokens(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  int32_t count = 0;
  char** list = breakIntoTokens(buffer.data(), &count);
  std::vector<std::string> out;
  for (int32_t i = 0; i < count; ++i) out.emplace_back(list[i]);
  deleteTokens(list);
  return out;
}

TEST(Tokens, QuotesGroupAndBackslashKeepsABlank) {
  EXPECT_EQ(tokens("a \"b c\" d"), (std::vector<std::string>{"a", "b c", "d"}));
  EXPECT_EQ(tokens("x\\ y  z"), (std::vector<std::string>{"x y", "z"}));
  EXPECT_EQ(tokens("\"\"q\"\""), (std::vector<std::string>{"q"}));
  EXPECT_EQ(tokens("\""), (std::vector<std::string>{"\""}));
  EXPECT_EQ(tokens("  \t\n "), std::vector<std::string>{});
  EXPECT_EQ(tokens("one.cfg\ntwo.cfg"), (std::vector<std::string>{"one.cfg", "two.cfg"}));
  const char* text = "p q";
  char* copy = nullptr;
  int32_t count = 0;
  char** list = breakIntoTokensFromConst(text, &count, &copy);
  ASSERT_EQ(count, 2);
  EXPECT_STREQ(list[1], "q");
  EXPECT_STREQ(text, "p q");
  deleteTokensFromConst(list, copy);
}

TEST(Tokens, FirstTokenSkipsSeparators) {
  ExactSpan span("  ab,cd");
  int32_t length = span.length;
  char token[8];
  const char* rest = getFirstToken(span.data.get(), &length, token, sizeof token, " ,");
  EXPECT_STREQ(token, "ab");
  EXPECT_EQ(rest, span.data.get() + 5);
  EXPECT_EQ(length, 2);
  rest = getFirstToken(rest, &length, token, 2, " ,");
  EXPECT_STREQ(token, "c");  // capacity 2
  EXPECT_EQ(length, 0);
  rest = getFirstToken2("  last", nullptr, 0, " ");
  EXPECT_STREQ(rest, "");
}

TEST(Base64, EncodesWithPadding) {
  char out[16];
  EXPECT_EQ(tembrolexin_base64_encode(reinterpret_cast<const uint8_t*>("abc"), out, 3), 4);
  EXPECT_EQ(std::string(out, 4), "YWJj");
  EXPECT_EQ(tembrolexin_base64_encode(reinterpret_cast<const uint8_t*>("ab"), out, 2), 4);
  EXPECT_EQ(std::string(out, 4), "YWI=");
  EXPECT_EQ(tembrolexin_base64_encode(reinterpret_cast<const uint8_t*>("a"), out, 1), 4);
  EXPECT_EQ(std::string(out, 4), "YQ==");
  EXPECT_EQ(tembrolexin_base64_encode(nullptr, nullptr, 7), 12);
  EXPECT_EQ(tembrolexin_base64_encode(nullptr, nullptr, 0), 0);
}

TEST(Base64, DecodeSkipsForeignCharactersAndRespectsTheCapacity) {
  uint8_t out[4] = {0, 0, 0xEE, 0xEE};
  EXPECT_EQ(tembrolexin_base64_decode("Y W\nI=", out, 6, 4), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 2), "ab");
  EXPECT_EQ(tembrolexin_base64_decode("YWJjZGVm", out, 8, 2), 2);
  EXPECT_EQ(out[2], 0xEE);  // nothing written past the capacity
  EXPECT_EQ(tembrolexin_base64_decode("YWJjZGVm", nullptr, 8, 0), 6);  // counting only
}

TEST(Base64, CreateAndConvertRoundTripEveryByte) {
  std::vector<uint8_t> bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
  int32_t encodedLength = 0;
  char* encoded = tembrolexin_createToBase64(bytes.data(), 256, &encodedLength);
  ASSERT_NE(encoded, nullptr);
  EXPECT_EQ(encodedLength, 344);
  EXPECT_EQ(static_cast<int32_t>(std::strlen(encoded)), 344);
  int32_t decodedLength = 0;
  uint8_t* decoded = tembrolexin_createFromBase64(encoded, encodedLength, &decodedLength);
  ASSERT_NE(decoded, nullptr);
  ASSERT_EQ(decodedLength, 256);
  EXPECT_EQ(std::memcmp(decoded, bytes.data(), 256), 0);
  free(encoded);
  free(decoded);
  EXPECT_EQ(tembrolexin_createFromBase64("====", 4, &decodedLength), nullptr);
  EXPECT_EQ(tembrolexin_createToBase64(bytes.data(), 0, &encodedLength), nullptr);

  uint8_t* buffer = static_cast<uint8_t*>(malloc(2));
  buffer[0] = 'a';
  buffer[1] = 'b';
  int32_t length = 2;
  ASSERT_EQ(tembrolexin_convertToBase64(&buffer, &length), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "YWI=");
  ASSERT_EQ(tembrolexin_convertFromBase64(&buffer, &length), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "ab");
  free(buffer);
  uint8_t* none = nullptr;
  EXPECT_EQ(tembrolexin_convertToBase64(&none, &length), 0);
}

struct XmlCase {
  const char* text;
  int32_t code;
};

class SectionCodes : public ::testing::TestWithParam<XmlCase> {};

TEST_P(SectionCodes, ReaderReturnsItsCode) {
  ExactSpan span(GetParam().text);
  int32_t code = -1;
  const char* name = getNextSectionXmlCheckValidity(span.data.get(), span.length, nullptr, nullptr,
                                                    nullptr, nullptr, nullptr, &code);
  EXPECT_EQ(code, GetParam().code) << GetParam().text;
  EXPECT_EQ(name != nullptr, GetParam().code == kXmlSection);
}

INSTANTIATE_TEST_SUITE_P(
    Crafted, SectionCodes,
    ::testing::Values(XmlCase{"", 1}, XmlCase{"  plain text ", 1},
                      XmlCase{"<!-- only a comment -->", 1}, XmlCase{"<?xml version=\"1.0\"?>", 1},
                      XmlCase{"<a>x</a>", 2}, XmlCase{"<a/>", 2}, XmlCase{"<a b=\"1\"/>", 2},
                      XmlCase{"<a><![CDATA[</a>]]></a>", 2}, XmlCase{"<a><b/><c>1</c></a>", 2},
                      XmlCase{"</a>", 3}, XmlCase{"text > more", 3}, XmlCase{"<!DOCTYPE x>", 3},
                      XmlCase{"<a <b>", 4}, XmlCase{"<a", 4}, XmlCase{"<a>text", 5},
                      XmlCase{"<a><![CDATA[ x", 5}, XmlCase{"<a><b>x</b>", 5}, XmlCase{"abc <", 6},
                      XmlCase{"<a>x</a", 7}, XmlCase{"<a>x</b>", 8}, XmlCase{"<a>x</A>", 8},
                      XmlCase{"<a>x/></a>", 8}),
    [](const ::testing::TestParamInfo<XmlCase>& info) {
      const auto& p = info.param;
      return tltest::indexedName(info.index, p.text);
    });

TEST(Xml, SectionOutputsCoverNameContentAndExtent) {
  ExactSpan span("  <scheme id=\"5\"> <x>1</x> </scheme> tail");
  const char* content;
  const char* section;
  int32_t nameLength, contentLength, sectionLength;
  const char* name = getNextSectionXml(span.data.get(), span.length, &content, &nameLength,
                                       &contentLength, &section, &sectionLength);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::string(name, nameLength), "scheme");
  EXPECT_EQ(std::string(content, contentLength), "<x>1</x>");
  EXPECT_EQ(section, span.data.get() + 2);
  EXPECT_EQ(std::string(section, sectionLength), "<scheme id=\"5\"> <x>1</x> </scheme>");
  int32_t length = 0;
  const char* first = getSectionNameXml(span.data.get(), span.length, &length);
  EXPECT_EQ(std::string(first, length), "scheme");
}

TEST(Xml, ValidityWalksNestedSectionsWithADepthLimit) {
  struct Case {
    std::string text;
    int32_t code;
  } cases[] = {
      {"<a><b>x</b><c/></a><d>y</d>", 2},
      {"just text", 1},
      {"<a><b>x</c></a>", 8},
      {"<a><b><![CDATA[<]]></b></a>", 2},
      {"<a>1 > 0</a>", 3},
  };
  for (const Case& c : cases) {
    ExactSpan span(c.text);
    int32_t code = 0;
    EXPECT_EQ(checkXmlValidity(span.data.get(), span.length, &code), c.code) << c.text;
    EXPECT_EQ(code, c.code);
  }
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "<a>";
  for (int i = 0; i < 40; ++i) deep += "</a>";
  ExactSpan span(deep);
  EXPECT_EQ(checkXmlValidity(span.data.get(), span.length, nullptr), kXmlTooDeep);
  std::string shallow;
  for (int i = 0; i < kXmlMaxDepth; ++i) shallow += "<a>";
  for (int i = 0; i < kXmlMaxDepth; ++i) shallow += "</a>";
  ExactSpan ok(shallow);
  EXPECT_EQ(checkXmlValidity(ok.data.get(), ok.length, nullptr), kXmlSection);
  EXPECT_EQ(isXmlValid(1), 1);
  EXPECT_EQ(isXmlValid(2), 1);
  for (int32_t code : {0, 3, 4, 5, 6, 7, 8, 9, -1}) EXPECT_EQ(isXmlValid(code), 0) << code;
}

TEST(Xml, PathsDescendByNameIgnoringCase) {
  ExactSpan span("<r><s>1</s><t><u> 2 </u></t><t><u>3</u></t></r>");
  int32_t length = 0;
  const char* found = getSectionXml(span.data.get(), span.length, "r/t/u", &length);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::string(found, length), "2");
  found = getSectionXml(span.data.get(), span.length, "R/T/U", &length);
  EXPECT_EQ(std::string(found, length), "2");
  found = getSectionXml(span.data.get(), span.length, "/s", &length);  // empty name: first section
  EXPECT_EQ(std::string(found, length), "1");
  EXPECT_EQ(getSectionXml(span.data.get(), span.length, "r/v", &length), nullptr);
  EXPECT_EQ(length, 0);
  found = getSectionXmlIncludingTags(span.data.get(), span.length, "r/s", &length);
  EXPECT_EQ(std::string(found, length), "<s>1</s>");
  int32_t values[4] = {0, 0, 0, 0};
  EXPECT_EQ(fillNFields(span.data.get(), span.length, "r/t/u", values, 4, 4, "%d"), 2);
  EXPECT_EQ(values[0], 2);
  EXPECT_EQ(values[1], 3);  // every section that the path reaches
}

TEST(Xml, AttributesOfTheOpeningTag) {
  ExactSpan span("<scheme id=\"13\" name = \"VT\">x</scheme>");
  int32_t length = 0;
  const char* value = getAttrXml(span.data.get(), span.length, "", "ID", &length);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::string(value, length), "13");
  value = getAttrXml(span.data.get(), span.length, "", "name", &length);
  EXPECT_EQ(std::string(value, length), "VT");
  EXPECT_EQ(getAttrXml(span.data.get(), span.length, "", "rate", &length), nullptr);
  EXPECT_EQ(length, 0);
  value = getAttrXml(span.data.get(), span.length, "", "", &length);
  EXPECT_EQ(std::string(value, length), "id=\"13\" name = \"VT\"");
  ExactSpan nested("<root><scheme id=\"9\"/></root>");
  value = getAttrXml(nested.data.get(), nested.length, "root/scheme", "id", &length);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::string(value, length), "9");
  const char* name;
  int32_t nameLength, consumed;
  EXPECT_EQ(getNextAttrXml("id=13", 5, &name, &nameLength, &length, &consumed), nullptr);
  EXPECT_EQ(getNextAttrXml("id", 2, &name, &nameLength, &length, &consumed), nullptr);
  EXPECT_EQ(getNextAttrXml("id=\"open", 8, &name, &nameLength, &length, &consumed), nullptr);
  value = getNextAttrXml(" a=\"1\" b=\"2\"", 12, &name, &nameLength, &length, &consumed);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::string(name, nameLength), "a");
  EXPECT_EQ(consumed, 6);
}

TEST(Xml, FillNFieldsStoresAtMostTheCapacity) {
  ExactSpan span("<v>1, 2 0x10\t-4</v><v>5</v>");
  int32_t values[4] = {0, 0, 0, 77};
  EXPECT_EQ(fillNFields(span.data.get(), span.length, "v", values, 3, 4, "%d"), 5);
  EXPECT_EQ(values[0], 1);
  EXPECT_EQ(values[1], 2);
  EXPECT_EQ(values[2], 16);
  EXPECT_EQ(values[3], 77);
  EXPECT_EQ(fillNFields(span.data.get(), span.length, "v", nullptr, 0, 4, "%d"), 5);
  int16_t shorts[2];
  EXPECT_EQ(fillNFields(span.data.get(), span.length, "v", shorts, 2, 2, "%d"), 5);
  EXPECT_EQ(shorts[1], 2);
  int32_t rejected = 0;
  ExactSpan bad("<v>1 x 2 3y</v>");
  EXPECT_EQ(fillNFieldsStrict(bad.data.get(), bad.length, "v", nullptr, 0, 4, "%d", &rejected), 3);
  EXPECT_EQ(rejected, 2);
  ExactSpan plain("7 8");
  EXPECT_EQ(fillNFields(plain.data.get(), plain.length, "", values, 4, 4, "%d"), 2);
  int32_t count = 0;
  int32_t* array = static_cast<int32_t*>(assignFillNFields(span.data.get(), span.length, "v", 4, "%d", &count));
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(array[4], 5);
  free(array);
  ExactSpan empty("<v></v>");
  EXPECT_EQ(assignFillNFields(empty.data.get(), empty.length, "v", 4, "%d", &count), nullptr);
  EXPECT_EQ(count, 0);
  ExactSpan cdata("<v><![CDATA[ 4 5 ]]></v>");
  EXPECT_EQ(fillNFields(cdata.data.get(), cdata.length, "v", values, 4, 4, "%d"), 2);
  EXPECT_EQ(values[1], 5);
}

TEST(Xml, FillNWordsCopiesWords) {
  ExactSpan span("<w>alpha beta\r\ngamma</w>");
  char* words[2] = {nullptr, nullptr};
  EXPECT_EQ(fillNWords(span.data.get(), span.length, "w", words, 2), 3);
  EXPECT_STREQ(words[0], "alpha");
  EXPECT_STREQ(words[1], "beta");
  freeWords(words, 2);
  int32_t count = 0;
  char** all = assignFillNWords(span.data.get(), span.length, "w", &count);
  ASSERT_EQ(count, 3);
  EXPECT_STREQ(all[2], "gamma");
  freeWords(all, count);
  free(all);
}

TEST(Xml, StripCdataAndSkipSections) {
  const char* text = "  <![CDATA[  inner text ]]>  ";
  int32_t length = static_cast<int32_t>(std::strlen(text));
  const char* inner = stripCdataTags(text, &length);
  EXPECT_EQ(std::string(inner, length), "inner text");
  length = 5;
  const char* trimmed = stripCdataTags(" abc ", &length);
  EXPECT_EQ(std::string(trimmed, length), "abc");
  ExactSpan span("<a/> <b>1</b>");
  const char* cursor = span.data.get();
  length = span.length;
  EXPECT_EQ(skipNextSectionXml(&cursor, &length), 1);
  EXPECT_EQ(std::string(cursor, length), "<b>1</b>");
  EXPECT_EQ(skipNextSectionXml(&cursor, &length), 0);
  EXPECT_EQ(length, 0);
}

TEST(Xml, FileNameOrText) {
  EXPECT_EQ(isXmlNotFileName("   <decoderConfig/>"), 1);
  EXPECT_EQ(isXmlNotFileName("one.cfg two.cfg"), 0);
  EXPECT_EQ(isXmlNotFileName(""), 0);
  EXPECT_EQ(isXmlNotFileName(nullptr), 0);
}

TEST(ErrorText, KeepsTheFirst199Characters) {
  const std::string longText(300, 'x');
  EXPECT_EQ(tembrolexinSetErrorText("%s", longText.c_str()), 300);
  EXPECT_EQ(std::string(tembrolexinErrorText()), longText.substr(0, 199));
  tembrolexinSetErrorText("Malloc failure\n");
  EXPECT_STREQ(tembrolexinErrorText(), "Malloc failure\n");
}

}  // namespace
}  // namespace tembrolexinsdk
