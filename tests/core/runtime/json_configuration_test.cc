#include "core/runtime/json_configuration.h"

#include <cmath>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "core/runtime/configuration_parameter.h"

namespace tembrolexinsdk {
namespace {

template <typename T>
const T* As(const IConfigurationParameter* p) {
  auto* typed = dynamic_cast<const ConfigurationParameter<T>*>(p);
  return typed ? &typed->value : nullptr;
}

struct EmptyCase {
  const char* name;
  std::string text;
};

class JsonGivesEmptyMapTest : public testing::TestWithParam<EmptyCase> {};

TEST_P(JsonGivesEmptyMapTest, EmptyMap) {
  std::unique_ptr<ConfigurationMap> map;
  ASSERT_NO_THROW(map = JSONMap::mapFromJSON(GetParam().text));
  ASSERT_NE(map, nullptr);
  EXPECT_TRUE(map->empty());
  EXPECT_EQ(map->GetValueAsString(), "()");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonGivesEmptyMapTest,
    testing::Values(EmptyCase{"EmptyObject", "{}"}, EmptyCase{"ArrayOfNumbers", "[1, 2, 3]"},
                    EmptyCase{"NotJson", "this is not json"}, EmptyCase{"EmptyText", ""},
                    EmptyCase{"Null", "null"}, EmptyCase{"Number", "42"},
                    EmptyCase{"String", "\"text\""}, EmptyCase{"Truncated", "{\"a\": [1, 2"},
                    EmptyCase{"TrailingComma", "{\"a\": 1,}"},
                    EmptyCase{"UnquotedKey", "{a: 1}"},
                    // Deeper than the reader's nesting limit: the reader throws
                    // rather than failing, and that must not escape.
                    EmptyCase{"DeepArrays", "{\"a\":" + std::string(100000, '[')},
                    EmptyCase{"DeepArraysClosed",
                              "{\"a\":" + std::string(5000, '[') + std::string(5000, ']') + "}"},
                    EmptyCase{"DeepObjects", [] {
                                std::string s;
                                for (int i = 0; i < 5000; ++i) s += "{\"k\":";
                                s += "1";
                                s += std::string(5000, '}');
                                return s;
                              }()}),
    [](const testing::TestParamInfo<EmptyCase>& info) { return info.param.name; });

struct ScalarCase {
  const char* name;
  std::string json;  // the member's value as written
  std::string kind;  // "bool", "long long", "double", "string"
  std::string text;  // GetValueAsString of the value
};

class JsonScalarTest : public testing::TestWithParam<ScalarCase> {};

TEST_P(JsonScalarTest, Kind) {
  auto map = JSONMap::mapFromJSON("{\"m\": " + GetParam().json + "}");
  ASSERT_EQ(map->count("m"), 1u) << GetParam().json;
  const IConfigurationParameter* p = map->at("m");
  std::string kind = As<bool>(p)        ? "bool"
                     : As<long long>(p) ? "long long"
                     : As<double>(p)    ? "double"
                     : As<std::string>(p) ? "string"
                     : As<int>(p)       ? "int"
                                        : "other";
  EXPECT_EQ(kind, GetParam().kind);
  EXPECT_EQ(p->GetValueAsString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Members, JsonScalarTest,
    testing::Values(
        ScalarCase{"True", "true", "bool", "1"}, ScalarCase{"False", "false", "bool", "0"},
        ScalarCase{"Integer", "3", "long long", "3"},
        ScalarCase{"IntegralFraction", "3.0", "long long", "3"},
        ScalarCase{"IntegralExponent", "1e3", "long long", "1000"},
        ScalarCase{"Negative", "-42", "long long", "-42"},
        ScalarCase{"BeyondInt", "4294967296", "long long", "4294967296"},
        ScalarCase{"Int64Max", "9223372036854775807", "long long", "9223372036854775807"},
        ScalarCase{"Int64Min", "-9223372036854775808", "long long", "-9223372036854775808"},
        ScalarCase{"TwoToThe63", "9223372036854775808", "double", "9.22337e+18"},
        ScalarCase{"UInt64Max", "18446744073709551615", "double", "1.84467e+19"},
        ScalarCase{"Fraction", "3.5", "double", "3.5"},
        ScalarCase{"Huge", "1e300", "double", "1e+300"},
        ScalarCase{"String", "\"a b\"", "string", "a b"},
        ScalarCase{"EscapedString", "\"\\u00e9\\n\"", "string", "\xc3\xa9\n"},
        ScalarCase{"Null", "null", "string", ""}),
    [](const testing::TestParamInfo<ScalarCase>& info) { return info.param.name; });

TEST(JsonConfigurationTest, ArraysBecomeVectors) {
  auto map = JSONMap::mapFromJSON(R"({"list": [1, "a", [true]], "empty": []})");
  auto* list = dynamic_cast<const ConfigurationVector*>(map->at("list"));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->GetValueAsString(), "[1,a,[1]]");
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ(*As<long long>(list->at(0)), 1);
  EXPECT_EQ(*As<std::string>(list->at(1)), "a");
  auto* inner = dynamic_cast<const ConfigurationVector*>(list->at(2));
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(*As<bool>(inner->at(0)), true);
  EXPECT_THROW(list->at(3), std::out_of_range);
  EXPECT_EQ(map->at("empty")->GetValueAsString(), "[]");
}

TEST(JsonConfigurationTest, NestedObjectsBecomeNestedMaps) {
  auto map = JSONMap::mapFromJSON(
      R"({"z": 1, "engines": {"type": "CONTENT", "opts": {"on": false}}, "a": [{"x": 2}]})");
  auto* engines = dynamic_cast<const ConfigurationMap*>(map->at("engines"));
  ASSERT_NE(engines, nullptr);
  EXPECT_EQ(*As<std::string>(engines->at("type")), "CONTENT");
  EXPECT_EQ(map->GetValueAsString(),
            "(a : [(x : 2)],engines : (opts : (on : 0),type : CONTENT),z : 1)");
}

TEST(JsonConfigurationTest, CommentsAndOddKeysAreAccepted) {
  auto map = JSONMap::mapFromJSON(
      "// leading comment\n{ /* inline */ \"B\": 1, \"a\": 2, \"\": 3, \"a\\u0000b\": 4 }");
  ASSERT_EQ(map->size(), 4u);
  std::string keys;
  for (const auto& entry : *map) keys += "[" + entry.first + "]";
  EXPECT_EQ(keys, std::string("[][B][a][a\0b]", 13));
}

TEST(JsonConfigurationTest, DuplicateMembersKeepTheLast) {
  auto map = JSONMap::mapFromJSON(R"({"k": 1, "k": "two"})");
  ASSERT_EQ(map->size(), 1u);
  EXPECT_EQ(*As<std::string>(map->at("k")), "two");
}

TEST(JsonConfigurationTest, CopyingAMapWithAVectorCopiesTheElements) {
  auto original = JSONMap::mapFromJSON(R"({"v": [1, {"n": [2.5]}], "s": "x"})");
  auto copy = std::make_unique<ConfigurationMap>(*original);
  EXPECT_FALSE(*original != copy.get());
  EXPECT_NE(copy->at("v"), original->at("v"));
  auto* origVector = dynamic_cast<const ConfigurationVector*>(original->at("v"));
  auto* copyVector = dynamic_cast<const ConfigurationVector*>(copy->at("v"));
  ASSERT_TRUE(origVector && copyVector);
  EXPECT_NE(origVector->at(0), copyVector->at(0));
  original.reset();
  EXPECT_EQ(copy->GetValueAsString(), "(s : x,v : [1,(n : [2.5])])");
}

TEST(JsonConfigurationTest, VectorInequality) {
  auto vectors = JSONMap::mapFromJSON(
      R"({"a": [1, 2], "b": [1, 2], "c": [1, 2.0], "d": [1], "e": [1, 3], "f": {"0": 1}})");
  auto* a = dynamic_cast<const ConfigurationVector*>(vectors->at("a"));
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(*a != vectors->at("b"));
  EXPECT_FALSE(*a != vectors->at("c"));  // 2.0 is an integral value: long long 2
  EXPECT_TRUE(*a != vectors->at("d"));
  EXPECT_TRUE(*a != vectors->at("e"));
  EXPECT_TRUE(*a != vectors->at("f"));
  EXPECT_TRUE(*a != nullptr);
  EXPECT_FALSE(*a != a);
  // A list holding NaN differs even from itself, as NaN does.
  ConfigurationParameter<double> nan(std::nan(""));
  ConfigurationVector withNaN;
  withNaN.append(&nan);
  EXPECT_TRUE(withNaN != &withNaN);
  ConfigurationMap mapWithNaN;
  mapWithNaN.set("n", &nan);
  EXPECT_TRUE(mapWithNaN != &mapWithNaN);
}

TEST(JsonConfigurationTest, VectorOwnership) {
  ConfigurationParameter<int> one(1);
  ConfigurationVector list;
  list.append(&one);
  list.append(nullptr);
  EXPECT_EQ(list.size(), 1u);
  EXPECT_NE(list.at(0), &one);

  auto* shared = new ConfigurationParameter<int>(7);
  ConfigurationVector adopted(ConfigurationVector::Values{shared, nullptr, shared});
  ASSERT_EQ(adopted.size(), 2u);  // null left out; the repeated object copied
  EXPECT_EQ(adopted.at(0), shared);
  EXPECT_NE(adopted.at(1), shared);
  EXPECT_EQ(adopted.GetValueAsString(), "[7,7]");

  std::unique_ptr<IConfigurationParameter> clone(adopted.cloneParam());
  EXPECT_FALSE(adopted != clone.get());
  ConfigurationVector assigned;
  assigned = adopted;
  EXPECT_EQ(assigned.GetValueAsString(), "[7,7]");
  ConfigurationVector moved(std::move(assigned));
  EXPECT_TRUE(assigned.empty());  // NOLINT(bugprone-use-after-move): documented state
  EXPECT_EQ(moved.size(), 2u);
}

TEST(JsonConfigurationTest, ValueLevelEntryPoints) {
  Json::Value object(Json::objectValue);
  object["n"] = 5;
  Json::Value array(Json::arrayValue);
  array.append("s");
  array.append(Json::Value());

  auto generic = JSONMap::genericParamFromGenericValue(object);
  EXPECT_NE(dynamic_cast<ConfigurationMap*>(generic.get()), nullptr);
  EXPECT_EQ(JSONMap::genericParamFromGenericValue(array)->GetValueAsString(), "[s,]");
  EXPECT_EQ(JSONMap::genericParamFromGenericValue(Json::Value(2.25))->GetValueAsString(), "2.25");

  // Values of the wrong shape give empty results rather than failing.
  EXPECT_TRUE(JSONMap::mapFromObject(array)->empty());
  EXPECT_TRUE(JSONMap::mapFromObject(Json::Value(1))->empty());
  EXPECT_TRUE(JSONMap::vectorFromArray(object)->empty());
  EXPECT_TRUE(JSONMap::vectorFromArray(Json::Value("x"))->empty());
  EXPECT_EQ(JSONMap::paramFromValue(object)->GetValueAsString(), "(n : 5)");
  EXPECT_EQ(JSONMap::paramFromValue(Json::Value(Json::UInt64(1) << 63))->GetValueAsString(),
            "9.22337e+18");
}

}  // namespace
}  // namespace tembrolexinsdk

namespace tembrolexinsdk {
namespace {

TEST(JsonConfigurationTest, NestingWithinTheReadersLimitIsKept) {
  std::string text = "{\"a\":" + std::string(500, '[') + "7" + std::string(500, ']') + "}";
  auto map = JSONMap::mapFromJSON(text);
  ASSERT_EQ(map->count("a"), 1u);
  EXPECT_EQ(map->at("a")->GetValueAsString(),
            std::string(500, '[') + "7" + std::string(500, ']'));
}

}  // namespace
}  // namespace tembrolexinsdk
