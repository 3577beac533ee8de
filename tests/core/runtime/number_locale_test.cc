// Numbers in texts are read and written with "." as the decimal point even
// when the host program installed a comma-decimal locale.
#include <gtest/gtest.h>
#include <json/json.h>

#include <ostream>
#include <string>

#include "core/runtime/json_configuration.h"
#include "core/runtime/json_text.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/time_text.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/comma_locale.h"

namespace tembrolexinsdk {
namespace {

#define TL_REQUIRE_COMMA_LOCALE(locale) \
  if (!(locale).available()) GTEST_SKIP() << "de_DE.UTF-8 is not installed"

struct JsonCase {
  const char* name;
  const char* json;
  const char* map;  // the map's text form
};

void PrintTo(const JsonCase& c, std::ostream* os) { *os << c.name; }

class CommaLocaleJsonTest : public ::testing::TestWithParam<JsonCase> {};

TEST_P(CommaLocaleJsonTest, ReadsNumbersWithADecimalPoint) {
  tltest::CommaDecimalLocale locale;
  TL_REQUIRE_COMMA_LOCALE(locale);
  EXPECT_EQ(JSONMap::mapFromJSON(GetParam().json)->GetValueAsString(), GetParam().map);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CommaLocaleJsonTest,
    ::testing::Values(
        JsonCase{"Fraction", R"({"a": 0.5})", "(a : 0.5)"},
        JsonCase{"ExponentAndNegative", R"({"a": [1e3, -2.25, 7]})", "(a : [1000,-2.25,7])"},
        JsonCase{"NestedAndCommented", "{\"o\": {\"x\": 1.5} /* 2.5 */, // 3.5\n \"y\": 0.125}",
                 "(o : (x : 1.5),y : 0.125)"},
        JsonCase{"NumbersInsideStringsStayText", R"({"s": "0.5", "t": "a\"1.5"})",
                 "(s : 0.5,t : a\"1.5)"},
        JsonCase{"BeyondSixtyFourBits", R"({"big": 18446744073709551616})", "(big : 1.84467e+19)"},
        JsonCase{"TextHoldingEveryCandidateMarkerStillParses",
                 R"({"s": "\u0001\u0002\u0003\u0004\u0005\u0006\u0007\u0008\u000b\u000c\u000e)"
                 R"(\u000f\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a)"
                 R"(\u001b\u001c\u001d\u001e\u001f", "n": 2})",
                 "(n : 2,s : \x01\x02\x03\x04\x05\x06\x07\x08\x0b\x0c\x0e\x0f\x10\x11\x12\x13"
                 "\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f)"},
        JsonCase{"MalformedNumberIsStillRefused", R"({"a": 1.2.3})", "()"}),
    [](const ::testing::TestParamInfo<JsonCase>& info) { return info.param.name; });

// A string that starts with the marker the rewriting would pick first stays
// a string.
TEST(LocaleFreeJsonTest, StringsOfTheInputAreNeverTakenForNumbers) {
  tltest::CommaDecimalLocale locale;
  TL_REQUIRE_COMMA_LOCALE(locale);
  Json::Value root;
  ASSERT_TRUE(parseJsonText(R"({"s": "\u00011.5", "d": 0.25})", root));
  EXPECT_EQ(root["s"].asString(), "\x01" "1.5");
  ASSERT_TRUE(root["d"].isDouble());
  EXPECT_EQ(root["d"].asDouble(), 0.25);
}

// The reader's first complaint names the byte of the text as given, though
// the reader saw numbers rewritten as longer strings before it.
struct FirstErrorCase {
  const char* name;
  const char* json;
  const char* message;
  std::size_t offset;
};

void PrintTo(const FirstErrorCase& c, std::ostream* os) { *os << c.name; }

class JsonFirstErrorTest : public ::testing::TestWithParam<FirstErrorCase> {};

TEST_P(JsonFirstErrorTest, NamesTheByteOfTheGivenText) {
  Json::Value root;
  JsonTextError error;
  ASSERT_FALSE(parseJsonText(GetParam().json, root, true, &error));
  EXPECT_EQ(error.message, GetParam().message);
  EXPECT_EQ(error.offset, GetParam().offset);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonFirstErrorTest,
    ::testing::Values(FirstErrorCase{"NothingRewritten", R"({"a": tru})",
                                     "Syntax error: value, object or array expected.", 6},
                      FirstErrorCase{"AfterTwoRewrittenNumbers", R"([0.5, 1e3, ])",
                                     "Syntax error: value, object or array expected.", 11},
                      FirstErrorCase{"AtARewrittenNumber", R"({"a" 1.5})",
                                     "Missing ':' after object member name", 5},
                      // A number is no key, whether the reader sees it or
                      // it reaches the reader rewritten as a string.
                      FirstErrorCase{"IntegerKey", R"({"a": 1, 2: 3})",
                                     "Missing '}' or object member name", 9},
                      FirstErrorCase{"RewrittenNumberKey", R"({"a": 1, 2.5 : 3})",
                                     "Missing '}' or object member name", 9}),
    [](const ::testing::TestParamInfo<FirstErrorCase>& info) { return info.param.name; });

// The app's set-up values hold one JSON value and nothing more: only white
// space and comments may follow it, else the text is refused, naming the
// byte of the given text where the rest starts. Other readers take the
// first value and leave the rest.
struct WholeTextCase {
  const char* name;
  std::string json;
  std::size_t extraAt;  // npos: the text is taken
};

void PrintTo(const WholeTextCase& c, std::ostream* os) { *os << c.name; }

class WholeJsonTextTest : public ::testing::TestWithParam<WholeTextCase> {};

TEST_P(WholeJsonTextTest, OnlyWhiteSpaceAndCommentsFollowTheValue) {
  const WholeTextCase& c = GetParam();
  const bool taken = c.extraAt == std::string::npos;
  Json::Value root;
  JsonTextError error;
  EXPECT_EQ(parseWholeJsonText(c.json, root, true, &error), taken);
  std::string problem;
  EXPECT_EQ(readWholeJsonValue(c.json, root, &problem), taken);
  if (!taken) {
    EXPECT_EQ(error.message, "Extra non-whitespace after JSON value.");
    EXPECT_EQ(error.offset, c.extraAt);
    EXPECT_EQ(problem, "not JSON: Extra non-whitespace after JSON value. (byte " +
                           std::to_string(c.extraAt) + ")");
  }
  EXPECT_TRUE(parseJsonText(c.json, root));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WholeJsonTextTest,
    ::testing::Values(
        WholeTextCase{"WhiteSpaceAfter", "[1] \n\t\r ", std::string::npos},
        WholeTextCase{"CommentsAfter", "[1] // note\n/* more */ ", std::string::npos},
        WholeTextCase{"LineCommentToTheEnd", "{} // note", std::string::npos},
        WholeTextCase{"WordAfterAList", "[1, 2] hello", 7},
        WholeTextCase{"TwoListsBackToBack", "[][]", 2},
        WholeTextCase{"TwoObjects", R"({"a": 1} {"b": 2})", 9},
        // Bytes of the text as given, though the reader saw the numbers
        // rewritten as longer strings.
        WholeTextCase{"AfterRewrittenNumbers", "[0.5, 1e3] x", 11},
        WholeTextCase{"AfterARewrittenRoot", "2.5 x", 4},
        WholeTextCase{"NulAfterAList", std::string("[]\0", 3), 2},
        WholeTextCase{"UnterminatedComment", "[] /* note", 3}),
    [](const ::testing::TestParamInfo<WholeTextCase>& info) { return info.param.name; });

// The reader of the values that JsonCpp's CharReader has always read keeps
// its leniency (a trailing comma) and says why it refuses a text; a text
// nested beyond the reader's limit is refused, not thrown.
TEST(WholeJsonTextTest, CharReaderValuesKeepTheirReading) {
  Json::Value root;
  std::string problem;
  EXPECT_TRUE(readWholeJsonValue("[1,]", root, &problem));
  EXPECT_EQ(root.size(), 1u);
  EXPECT_FALSE(parseWholeJsonText("[1,]", root));
  const std::pair<std::string, std::string> refused[] = {
      {"[1,] x", "not JSON: Extra non-whitespace after JSON value. (byte 5)"},
      {"[{", "not JSON: Missing '}' or object member name"},
      {std::string(2000, '['), "not JSON: Exceeded stackLimit in readValue()."},
      {R"({"a": 1, 2.5: 3})", "not JSON: Missing '}' or object member name (byte 9)"}};
  for (const auto& [text, why] : refused) {
    EXPECT_FALSE(readWholeJsonValue(text, root, &problem)) << text;
    EXPECT_EQ(problem, why) << text;
  }
}

TEST(CommaLocaleTest, TimeTextsAndLogLinesUseADecimalPoint) {
  tltest::CommaDecimalLocale locale;
  TL_REQUIRE_COMMA_LOCALE(locale);
  EXPECT_EQ(tembrolexin::convertTimeSeconds("1:02:03.5"), 3723.5f);
  EXPECT_EQ(tembrolexin::convertTimeSeconds("2.25"), 2.25f);
  EXPECT_EQ(tembrolexin::convertTimeMs("0.7"), 700u);
  tltest::LogCapture log;
  logWithLogger<LogLevel::Info>(nullptr, "ratio=", 0.5, " of ", 12345);
  const auto lines = log.matching("ratio=");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "ratio=0.5 of 12345");
}

}  // namespace
}  // namespace tembrolexinsdk
