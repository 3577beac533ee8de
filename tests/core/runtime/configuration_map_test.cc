#include "core/runtime/configuration_map.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/configuration_parameter.h"
#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {
namespace {

// A value that counts its live instances, to check who deletes what.
class Tracked : public IConfigurationParameter {
 public:
  explicit Tracked(int v) : value(v) { ++live; }
  Tracked(const Tracked& other) : IConfigurationParameter(other), value(other.value) { ++live; }
  ~Tracked() override { --live; }
  IConfigurationParameter* cloneParam() const override { return new Tracked(*this); }
  std::string GetValueAsString() const override { return "t" + std::to_string(value); }
  bool operator!=(const IConfigurationParameter* other) const override {
    auto* t = dynamic_cast<const Tracked*>(other);
    return t == nullptr || t->value != value;
  }
  int value;
  static int live;
};
int Tracked::live = 0;

class ConfigurationMapTest : public testing::Test {
 protected:
  void SetUp() override { Tracked::live = 0; }
  void TearDown() override { EXPECT_EQ(Tracked::live, 0) << "values leaked or double-freed"; }
};

template <typename T>
const T* As(const IConfigurationParameter* p) {
  auto* typed = dynamic_cast<const ConfigurationParameter<T>*>(p);
  return typed ? &typed->value : nullptr;
}

TEST_F(ConfigurationMapTest, SetKeepsACopyAndReplacingReleasesTheOldOne) {
  ConfigurationMap map;
  {
    Tracked first(1);
    map.set("k", &first);
    EXPECT_EQ(Tracked::live, 2);
  }
  // The caller's object is gone; the map still holds its own copy.
  EXPECT_EQ(Tracked::live, 1);
  EXPECT_EQ(map.at("k")->GetValueAsString(), "t1");

  auto second = std::make_unique<Tracked>(2);
  map.set("k", second.get());
  second.reset();
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(Tracked::live, 1) << "the first copy must be released on replacement";
  EXPECT_EQ(map.at("k")->GetValueAsString(), "t2");
}

TEST_F(ConfigurationMapTest, SetWithItsOwnValueUnderTheSameKey) {
  ConfigurationMap map;
  Tracked value(7);
  map.set("k", &value);
  map.set("k", map.at("k"));  // copy before delete
  EXPECT_EQ(map.at("k")->GetValueAsString(), "t7");
  EXPECT_EQ(Tracked::live, 2);
}

TEST_F(ConfigurationMapTest, NullValuesAreNeverStored) {
  ConfigurationMap map;
  map.set("k", nullptr);
  EXPECT_EQ(map.count("k"), 0u);
  ConfigurationParameter<int> five(5);
  map.set("k", &five);
  map.set("k", nullptr);
  ASSERT_EQ(map.count("k"), 1u);
  EXPECT_EQ(*As<int>(map.at("k")), 5);

  ConfigurationMap adopted(ConfigurationMap::Map{{"a", nullptr}, {"b", new Tracked(1)}});
  EXPECT_EQ(adopted.size(), 1u);
  EXPECT_EQ(adopted.GetValueAsString(), "(b : t1)");
  EXPECT_TRUE(map != nullptr);
}

TEST_F(ConfigurationMapTest, AdoptsTheGivenObjectsAndDeletesExactlyThose) {
  auto* a = new Tracked(1);
  auto* b = new Tracked(2);
  {
    ConfigurationMap map(ConfigurationMap::Map{{"a", a}, {"b", b}});
    EXPECT_EQ(Tracked::live, 2) << "adoption must not copy";
    EXPECT_EQ(map.at("a"), a);
    EXPECT_EQ(map.at("b"), b);
  }
  EXPECT_EQ(Tracked::live, 0);
}

TEST_F(ConfigurationMapTest, AnObjectListedTwiceIsOwnedOnce) {
  auto* shared = new Tracked(3);
  {
    ConfigurationMap map(ConfigurationMap::Map{{"a", shared}, {"b", shared}});
    EXPECT_EQ(map.size(), 2u);
    EXPECT_NE(map.at("a"), map.at("b"));
    EXPECT_EQ(map.GetValueAsString(), "(a : t3,b : t3)");
  }
  EXPECT_EQ(Tracked::live, 0);
}

TEST_F(ConfigurationMapTest, AdoptStoresTheObjectItselfAndReleasesWhatItReplaces) {
  ConfigurationMap map;
  auto first = std::make_unique<Tracked>(1);
  const Tracked* firstRaw = first.get();
  map.adopt("k", std::move(first));
  EXPECT_EQ(Tracked::live, 1) << "adoption must not copy";
  EXPECT_EQ(map.at("k"), firstRaw);

  map.adopt("k", std::make_unique<Tracked>(2));
  EXPECT_EQ(Tracked::live, 1) << "the replaced value must be released";
  EXPECT_EQ(map.GetValueAsString(), "(k : t2)");

  map.adopt("k", nullptr);
  map.adopt("n", nullptr);
  EXPECT_EQ(map.GetValueAsString(), "(k : t2)");

  // Handing back the very object the map holds keeps it (and frees nothing).
  map.adopt("k", std::unique_ptr<const IConfigurationParameter>(map.at("k")));
  EXPECT_EQ(Tracked::live, 1);
  EXPECT_EQ(map.GetValueAsString(), "(k : t2)");
}

TEST_F(ConfigurationMapTest, CopiesAreDeepAndIndependent) {
  ConfigurationMap inner;
  Tracked t(1);
  inner.set("x", &t);
  ConfigurationMap outer;
  outer.set("inner", &inner);
  outer.set("t", &t);
  EXPECT_EQ(Tracked::live, 1 + 1 + 2);

  std::unique_ptr<IProcessorEventParams> asEvent(outer.clone());
  std::unique_ptr<IConfigurationParameter> asParam(outer.cloneParam());
  ConfigurationMap copied(outer);
  ConfigurationMap assigned;
  assigned = outer;
  EXPECT_EQ(Tracked::live, 4 + 4 * 2);

  auto* eventMap = dynamic_cast<ConfigurationMap*>(asEvent.get());
  ASSERT_NE(eventMap, nullptr);
  for (const IConfigurationParameter* c :
       std::vector<const IConfigurationParameter*>{eventMap, asParam.get(), &copied, &assigned}) {
    EXPECT_FALSE(outer != c);
    EXPECT_FALSE(*c != &outer);
    EXPECT_NE(dynamic_cast<const ConfigurationMap*>(c)->at("t"), outer.at("t"));
  }
  // Replacing a value of the original leaves the copies alone.
  Tracked other(9);
  outer.set("t", &other);
  EXPECT_TRUE(outer != &copied);
  EXPECT_EQ(copied.at("t")->GetValueAsString(), "t1");
}

TEST_F(ConfigurationMapTest, AssignmentReleasesThePreviousContents) {
  ConfigurationMap target(ConfigurationMap::Map{{"old", new Tracked(1)}});
  ConfigurationMap source(ConfigurationMap::Map{{"new", new Tracked(2)}});
  target = source;
  EXPECT_EQ(Tracked::live, 2);
  EXPECT_EQ(target.GetValueAsString(), "(new : t2)");
  ConfigurationMap& alias = target;
  target = alias;  // self-assignment loses nothing
  EXPECT_EQ(target.GetValueAsString(), "(new : t2)");
  EXPECT_EQ(Tracked::live, 2);
  target = ConfigurationMap();
  EXPECT_EQ(Tracked::live, 1);
  EXPECT_TRUE(target.empty());

  ConfigurationMap moved(std::move(source));
  EXPECT_EQ(moved.size(), 1u);
  EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): documented state
  EXPECT_EQ(Tracked::live, 1);
}

TEST_F(ConfigurationMapTest, LookUps) {
  ConfigurationParameter<int> minus3(-3);
  ConfigurationMap map;
  map.set("b", &minus3);
  EXPECT_EQ(map.count("b"), 1u);
  EXPECT_EQ(map.count("a"), 0u);
  EXPECT_EQ(map.find("a"), map.end());
  ASSERT_NE(map.find("b"), map.end());
  EXPECT_EQ(map.find("b")->first, "b");
  EXPECT_EQ(*As<int>(map.find("b")->second), -3);
  EXPECT_THROW(map.at("a"), std::out_of_range);
  EXPECT_THROW(map.at(""), std::out_of_range);
}

TEST_F(ConfigurationMapTest, IteratesInByteOrderOfKeys) {
  ConfigurationParameter<bool> v(true);
  ConfigurationMap map;
  for (const char* key : {"b", "ab", "a", "B", "", "\xc3\xa9", "a\x7f"}) map.set(key, &v);
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  // Bytes compare unsigned: 0xc3 sorts after every ASCII byte; a prefix comes
  // first.
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab", "a\x7f", "b", "\xc3\xa9"}));
}

struct MapTextCase {
  const char* name;
  std::function<std::unique_ptr<ConfigurationMap>()> build;
  std::string text;
};

class MapTextTest : public testing::TestWithParam<MapTextCase> {};

TEST_P(MapTextTest, TextIsTheSameForBothDescriptions) {
  auto map = GetParam().build();
  EXPECT_EQ(map->GetValueAsString(), GetParam().text);
  EXPECT_EQ(map->GetParamsDescription(), GetParam().text);
}

template <typename T>
ConfigurationParameter<T> V(T v) {
  return ConfigurationParameter<T>(std::move(v));
}

INSTANTIATE_TEST_SUITE_P(
    Maps, MapTextTest,
    testing::Values(
        MapTextCase{"Empty", [] { return std::make_unique<ConfigurationMap>(); }, "()"},
        MapTextCase{"TwoScalars",
                    [] {
                      auto m = std::make_unique<ConfigurationMap>();
                      auto b = V(-3);
                      auto a = V(true);
                      m->set("b", &b);
                      m->set("a", &a);
                      return m;
                    },
                    "(a : 1,b : -3)"},
        MapTextCase{"Nested",
                    [] {
                      ConfigurationMap inner;
                      auto x = V(1LL);
                      inner.set("x", &x);
                      auto m = std::make_unique<ConfigurationMap>();
                      m->set("outer", &inner);
                      ConfigurationMap empty;
                      m->set("e", &empty);
                      return m;
                    },
                    "(e : (),outer : (x : 1))"},
        MapTextCase{"AllKinds",
                    [] {
                      auto m = std::make_unique<ConfigurationMap>();
                      auto d = V(0.1);
                      auto s = V(std::string("x y"));
                      auto i = V(2147483647);
                      m->set("d", &d);
                      m->set("s", &s);
                      m->set("i", &i);
                      return m;
                    },
                    "(d : 0.1,i : 2147483647,s : x y)"}),
    [](const testing::TestParamInfo<MapTextCase>& info) { return info.param.name; });

TEST_F(ConfigurationMapTest, Inequality) {
  auto build = [](auto value) {
    ConfigurationMap m;
    auto a = V(std::string("same"));
    m.set("a", &a);
    m.set("b", &value);
    return m;
  };
  ConfigurationMap int5 = build(V(5));
  ConfigurationMap int5Again = build(V(5));
  ConfigurationMap longLong5 = build(V(5LL));
  ConfigurationMap int6 = build(V(6));
  ConfigurationParameter<int> scalar(5);

  EXPECT_FALSE(int5 != &int5Again);
  EXPECT_FALSE(int5 != &int5);
  EXPECT_TRUE(int5 != &longLong5);
  EXPECT_TRUE(int5 != &int6);
  EXPECT_TRUE(int5 != &scalar);
  EXPECT_TRUE(scalar != &int5);
  EXPECT_TRUE(int5 != nullptr);
  EXPECT_FALSE(ConfigurationMap() != std::make_unique<ConfigurationMap>().get());

  ConfigurationMap otherKey;
  auto a = V(std::string("same"));
  auto c = V(5);
  otherKey.set("a", &a);
  otherKey.set("c", &c);
  EXPECT_TRUE(int5 != &otherKey);

  ConfigurationMap fewer;
  fewer.set("a", &a);
  EXPECT_TRUE(int5 != &fewer);
  EXPECT_TRUE(fewer != &int5);
}

TEST_F(ConfigurationMapTest, ParametersExposeThePlainMapForConfigure) {
  ConfigurationParameter<int> one(1);
  ConfigurationMap map;
  map.set("p", &one);
  const ConfigurationParameters& plain = map.parameters();
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(plain.at("p"), map.at("p"));
}

}  // namespace
}  // namespace tembrolexinsdk
