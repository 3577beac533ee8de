#include "core/runtime/configuration_parameter.h"

#include <cmath>
#include <limits>
#include <locale>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/runtime/configuration_map.h"

namespace tembrolexinsdk {
namespace {

using Owned = std::unique_ptr<IConfigurationParameter>;

struct TextCase {
  const char* name;
  std::shared_ptr<IConfigurationParameter> value;
  std::string text;
};

class ParameterTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(ParameterTextTest, GetValueAsString) {
  EXPECT_EQ(GetParam().value->GetValueAsString(), GetParam().text);
}

template <typename T>
std::shared_ptr<IConfigurationParameter> P(T v) {
  return std::make_shared<ConfigurationParameter<T>>(std::move(v));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ParameterTextTest,
    testing::Values(
        TextCase{"BoolTrue", P(true), "1"}, TextCase{"BoolFalse", P(false), "0"},
        TextCase{"IntZero", P(0), "0"}, TextCase{"IntNegative", P(-3), "-3"},
        TextCase{"IntMin", P(std::numeric_limits<int>::min()), "-2147483648"},
        TextCase{"LongLongMax", P(9223372036854775807LL), "9223372036854775807"},
        TextCase{"LongLongMin", P(std::numeric_limits<long long>::min()),
                 "-9223372036854775808"},
        TextCase{"DoubleHalf", P(0.5), "0.5"}, TextCase{"DoubleTwo", P(2.0), "2"},
        TextCase{"DoubleTenth", P(0.1), "0.1"},
        TextCase{"DoubleSixDigits", P(123456.0), "123456"},
        TextCase{"DoubleExponentHigh", P(1234567.0), "1.23457e+06"},
        TextCase{"DoubleExponentLow", P(0.00001), "1e-05"},
        TextCase{"DoubleSmallPlain", P(0.0001), "0.0001"},
        TextCase{"DoubleNegative", P(-2.5), "-2.5"},
        TextCase{"StringPlain", P(std::string("abc")), "abc"},
        TextCase{"StringEmpty", P(std::string()), ""},
        // Every byte, embedded zero and non-UTF-8 bytes included.
        TextCase{"StringBytes", P(std::string("a\0\xff", 3)), std::string("a\0\xff", 3)}),
    [](const testing::TestParamInfo<TextCase>& info) { return info.param.name; });

struct CompareCase {
  const char* name;
  std::shared_ptr<IConfigurationParameter> a;
  std::shared_ptr<IConfigurationParameter> b;
  bool differ;
};

class ParameterCompareTest : public testing::TestWithParam<CompareCase> {};

TEST_P(ParameterCompareTest, Inequality) {
  EXPECT_EQ(*GetParam().a != GetParam().b.get(), GetParam().differ);
  EXPECT_EQ(*GetParam().b != GetParam().a.get(), GetParam().differ);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Pairs, ParameterCompareTest,
    testing::Values(
        CompareCase{"SameInt", P(5), P(5), false}, CompareCase{"OtherInt", P(5), P(6), true},
        CompareCase{"IntAgainstLongLong", P(1), P(1LL), true},
        CompareCase{"BoolAgainstInt", P(true), P(1), true},
        CompareCase{"LongLongAgainstDouble", P(3LL), P(3.0), true},
        CompareCase{"SameString", P(std::string("ab")), P(std::string("ab")), false},
        CompareCase{"StringPrefix", P(std::string("ab")), P(std::string("abc")), true},
        CompareCase{"StringEmbeddedZero", P(std::string("a\0b", 3)), P(std::string("a\0c", 3)),
                    true},
        CompareCase{"SameDouble", P(0.1), P(0.1), false},
        CompareCase{"ZeroAndNegativeZero", P(0.0), P(-0.0), false},
        CompareCase{"NaNs", P(kNaN), P(kNaN), true},
        CompareCase{"SameBool", P(false), P(false), false}),
    [](const testing::TestParamInfo<CompareCase>& info) { return info.param.name; });

TEST(ConfigurationParameterTest, NullAndSelfComparison) {
  ConfigurationParameter<int> one(1);
  EXPECT_TRUE(one != nullptr);
  EXPECT_FALSE(one != &one);
  ConfigurationParameter<double> nan(kNaN);
  EXPECT_TRUE(nan != &nan);  // IEEE: NaN differs from itself
}

TEST(ConfigurationParameterTest, CloneIsIndependentAndOfTheSameKind) {
  ConfigurationParameter<std::string> original("text");
  Owned copy(original.cloneParam());
  auto* typed = dynamic_cast<ConfigurationParameter<std::string>*>(copy.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->value, "text");
  EXPECT_FALSE(original != copy.get());
  original.value = "changed";
  EXPECT_EQ(typed->value, "text");
  EXPECT_TRUE(original != copy.get());
}

// How a text tells an app what kind of value a key holds.
TEST(ConfigurationParameterTest, DescribedWithKindAndValue) {
  const ConfigurationMap map;
  const std::pair<std::shared_ptr<IConfigurationParameter>, std::string> rows[] = {
      {P(true), "a boolean: true"},
      {P(false), "a boolean: false"},
      {P(5), "an integer: 5"},
      {P(-9223372036854775807LL), "an integer: -9223372036854775807"},
      {P(2.5), "a decimal number: 2.5"},
      {P(std::string("5")), "a text"},
      // Another kind, as its description came; the app's bytes escaped.
      {std::make_shared<OtherKindConfigurationParameter>("a float: 2.5"), "a float: 2.5"},
      {std::make_shared<OtherKindConfigurationParameter>("a value of kind \"lat\xE9in\""),
       "a value of kind \"lat\\xE9in\""},
      {std::make_shared<OtherKindConfigurationParameter>(""), "a value of another kind"}};
  for (const auto& [value, text] : rows) EXPECT_EQ(describeConfigurationValue(value.get()), text);
  EXPECT_EQ(describeConfigurationValue(&map), "a value of another kind");
  EXPECT_EQ(describeConfigurationValue(nullptr), "a value of another kind");
}

// A locale whose decimal mark is a comma and that groups thousands.
struct CommaDecimal : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(ConfigurationParameterTest, TextsIgnoreTheGlobalLocale) {
  std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
  std::string half = ConfigurationParameter<double>(0.5).GetValueAsString();
  std::string large = ConfigurationParameter<double>(123456.0).GetValueAsString();
  std::string count = ConfigurationParameter<long long>(1234567).GetValueAsString();
  std::locale::global(previous);
  EXPECT_EQ(half, "0.5");
  EXPECT_EQ(large, "123456");
  EXPECT_EQ(count, "1234567");
}

}  // namespace
}  // namespace tembrolexinsdk
