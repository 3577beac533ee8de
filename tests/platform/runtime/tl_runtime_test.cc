// Run-time class queries over a snapshot taken once, the bundle identifier
// of a class in and out of the unit-test host, and the core's up-time.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/clock.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/tl_runtime.h"

namespace tembrolexinplatform {
namespace {

std::vector<std::string> names(const std::vector<const TLRuntimeClass*>& classes) {
  std::vector<std::string> out;
  for (const TLRuntimeClass* c : classes) out.push_back(c->name);
  return out;
}

// Base <- Middle <- Leaf, plus an unrelated class; Middle adopts P itself,
// Leaf inherits it without declaring it, Other declares P and Q.
TLRuntime::Snapshot hierarchy(bool testHost) {
  std::vector<TLRuntimeClass> classes{
      {"Base", {}, {}, "", {}},
      {"Middle", {"Base"}, {"P"}, "com.example.middle", {}},
      {"Leaf", {"Middle", "Base"}, {}, "", {}},
      {"Other", {}, {"P", "Q"}, "com.example.other", {}},
  };
  if (testHost) classes.push_back({TLRuntime::kTestHostClassName, {}, {}, "", {}});
  return TLRuntime::Snapshot(std::move(classes));
}

struct QueryCase {
  std::string name;
  bool byProtocol;
  std::string argument;
  std::vector<std::string> expected;
};

class SnapshotQueryTest : public testing::TestWithParam<QueryCase> {};

TEST_P(SnapshotQueryTest, AnswersInSnapshotOrder) {
  const TLRuntime::Snapshot snapshot = hierarchy(false);
  const QueryCase& c = GetParam();
  const auto found = c.byProtocol ? snapshot.classesImplementingProtocol(c.argument)
                                  : snapshot.classesOfType(c.argument);
  EXPECT_EQ(names(found), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, SnapshotQueryTest,
    testing::Values(QueryCase{"SubclassesAtAnyDepthNotTheClassItself", false, "Base",
                              {"Middle", "Leaf"}},
                    QueryCase{"OneLevelDown", false, "Middle", {"Leaf"}},
                    QueryCase{"ClassWithoutSubclasses", false, "Leaf", {}},
                    QueryCase{"UnknownClass", false, "Nowhere", {}},
                    QueryCase{"OwnDeclarationsOnly", true, "P", {"Middle", "Other"}},
                    QueryCase{"SecondProtocolOfAClass", true, "Q", {"Other"}},
                    QueryCase{"ProtocolNobodyAdopts", true, "R", {}}),
    [](const testing::TestParamInfo<QueryCase>& info) { return info.param.name; });

struct BundleCase {
  std::string name;
  bool testHost;
  std::string className;
  std::string expected;
};

class BundleIdentifierTest : public testing::TestWithParam<BundleCase> {};

TEST_P(BundleIdentifierTest, MainBundleUnlessTheTestHostKnowsTheClassBundle) {
  const BundleCase& c = GetParam();
  EXPECT_EQ(hierarchy(c.testHost).bundleIdentifierForClass(c.className, "com.example.app"),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, BundleIdentifierTest,
    testing::Values(BundleCase{"AppClassOutsideTheTestHost", false, "Middle", "com.example.app"},
                    BundleCase{"UnknownClassOutsideTheTestHost", false, "Nowhere", "com.example.app"},
                    BundleCase{"ClassWithABundleUnderTheTestHost", true, "Other",
                               "com.example.other"},
                    BundleCase{"ClassWithoutABundleUnderTheTestHost", true, "Leaf",
                               "com.example.app"},
                    BundleCase{"UnknownClassUnderTheTestHost", true, "Nowhere", "com.example.app"}),
    [](const testing::TestParamInfo<BundleCase>& info) { return info.param.name; });

// Registered before main, the library's class first: the app's still comes
// first in the snapshot.
const bool kRegistered =
    TLRuntime::registerLibraryClass({"LibraryWidget", {}, {"TLRuntimeTestWidget"}, "", {}}) &&
    TLRuntime::registerClass({"AppWidget", {}, {"TLRuntimeTestWidget"}, "com.example.tests", 7});

TEST(ProcessRuntimeTest, SnapshotTakenOnceAppClassesFirstLaterClassesNeverSeen) {
  ASSERT_TRUE(kRegistered);
  const auto widgets = TLRuntime::classesImplementingProtocol("TLRuntimeTestWidget");
  EXPECT_EQ(names(widgets), (std::vector<std::string>{"AppWidget", "LibraryWidget"}));
  EXPECT_EQ(std::any_cast<int>(widgets[0]->classObject), 7);

  EXPECT_FALSE(TLRuntime::registerClass({"LateWidget", {}, {"TLRuntimeTestWidget"}, "", {}}));
  EXPECT_EQ(TLRuntime::classesImplementingProtocol("TLRuntimeTestWidget").size(), 2u);
  EXPECT_EQ(TLRuntime::classNamed("LateWidget"), nullptr);

  // Not the test host: every class answers the app's own bundle.
  EXPECT_FALSE(TLRuntime::underTestHost());
  PlatformEnvironment env = PlatformEnvironment::current();
  const PlatformEnvironment saved = env;
  env.bundleIdentifier = "com.example.main";
  PlatformEnvironment::install(env);
  EXPECT_EQ(runtimeBundleIdentifierForClass("AppWidget"), "com.example.main");
  EXPECT_EQ(runtimeBundleIdentifierForClass("TLDecoder"), "com.example.main");
  PlatformEnvironment::install(saved);
}

TEST(CppUptimeTest, IsTheCoreUpTime) {
  const int64_t before = tembrolexinsdk::uptime::getUpTime();
  const int64_t now = TLCppUptime::getCppUptime();
  const int64_t after = tembrolexinsdk::uptime::getUpTime();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
  EXPECT_GT(now, 0);
}

}  // namespace
}  // namespace tembrolexinplatform
