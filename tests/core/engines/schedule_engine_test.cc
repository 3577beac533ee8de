#include "core/engines/schedule_engine.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/engines/content_actions.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

CachedActionParams bundle(const std::string& id, const std::string& json,
                          bool unconfigure = false) {
  return CachedActionParams(id, id + "_name", json, "/ready/" + id, unconfigure);
}

// One "scheduleEngine" item with actions (id, timestamps...).
std::string scheduleDoc(const std::string& actions) {
  return R"({"entryPoint": "start.html", "scheduleEngine": [{"actions": [)" + actions + "]}]}";
}

std::vector<std::string> describe(const std::vector<WebAction>& actions) {
  std::vector<std::string> out;
  for (const WebAction& a : actions) {
    out.push_back(a.bundleId + "/" + a.id + "@" + std::to_string(a.scheduleTimestamp) +
                  (a.completed ? "+" : ""));
  }
  return out;
}

class ScheduleEngineTest : public ::testing::Test {
 protected:
  tltest::TempDir dir;
  DB::Database store{dir.file("audiodecoder.db"), "audiodecoder"};
  ScheduleEngine engine{&store};
};

TEST_F(ScheduleEngineTest, OneTimestampGivesOneScheduledAction) {
  const auto p = bundle("b1", scheduleDoc(
      R"({"id": "a1", "notification": {"text": "Go", "title": "Now", "delay": 9},
          "timestamps": ["2020-01-02 03:04:05"]})"));
  engine.configureAction(&p);
  const std::vector<WebAction> actions = engine.actions();
  ASSERT_EQ(actions.size(), 1u);
  const WebAction& a = actions[0];
  // 2020-01-01 is day 18262 of the epoch: 18262 * 86400 + 86400 + 3*3600 + 4*60 + 5.
  EXPECT_EQ(a.scheduleTimestamp, 1577934245);
  EXPECT_EQ(a.trigger, "scheduled");
  EXPECT_EQ(a.notificationId, "b1a11577934245");
  EXPECT_EQ(a.engine, EngineType::SCHEDULE);
  EXPECT_EQ(a.scheme, "");
  EXPECT_EQ(a.delay, 0);  // "delay" is not read for scheduled actions
  EXPECT_EQ(a.entryPoint, "start.html");
  EXPECT_EQ(a.notificationText, "Go");
  EXPECT_EQ(a.notificationTitle, "Now");
  EXPECT_EQ(a.toJson(),
            "{\n\t\"engine\" : \"SCHEDULE\",\n\t\"id\" : \"a1\",\n\t\"timestamp\" : 0,\n"
            "\t\"trigger\" : \"scheduled\"\n}\n");
}

TEST_F(ScheduleEngineTest, ReconfigureReplacesUnconfigureRemovesOthersKeepOrder) {
  const auto a = bundle("a", scheduleDoc(R"({"id": "x", "timestamps": ["1970-01-01 00:00:10"]})"));
  const auto b = bundle("b", scheduleDoc(R"({"id": "y", "timestamps": ["1970-01-01 00:00:20",
                                             "1970-01-01 00:00:30"]}, {"id": "e", "timestamps": []})"));
  const auto c = bundle("c", scheduleDoc(R"({"id": "z", "timestamps": ["1970-01-01 00:01:00"]})"));
  for (const auto* p : {&a, &b, &c, &b}) engine.configureAction(p);
  EXPECT_EQ(describe(engine.actions()),
            (std::vector<std::string>{"a/x@10", "c/z@60", "b/y@20", "b/y@30"}));
  const auto gone = bundle("b", "", true);
  engine.configureAction(&gone);
  EXPECT_EQ(describe(engine.actions()), (std::vector<std::string>{"a/x@10", "c/z@60"}));
}

TEST_F(ScheduleEngineTest, CompletionMarksEveryTimestampAndIsReadFromTheStore) {
  ASSERT_TRUE(store.insert(contentengine::getActionIdentifier("b", "done"), true));
  const auto p = bundle("b", scheduleDoc(
      R"({"id": "y", "timestamps": ["1970-01-01 00:00:01", "1970-01-01 00:00:02",
                                    "1970-01-01 00:00:03"]},
         {"id": "done", "timestamps": ["1970-01-01 00:00:04"]})"));
  engine.configureAction(&p);
  engine.completeAction("b", "y");
  engine.completeAction("other", "done");
  EXPECT_EQ(describe(engine.actions()),
            (std::vector<std::string>{"b/y@1+", "b/y@2+", "b/y@3+", "b/done@4+"}));
}

TEST_F(ScheduleEngineTest, BadDocumentsAreReportedAndKeepWhatWasRead) {
  tltest::LogCapture log;
  const auto old = bundle("b", scheduleDoc(R"({"id": "old", "timestamps": ["1970-01-01 00:00:01"]})"));
  engine.configureAction(&old);
  const auto unparsable = bundle("b", "{not json");
  engine.configureAction(&unparsable);
  EXPECT_TRUE(engine.actions().empty());
  // A timestamp list holding an object: the first action stays.
  const auto wrongType = bundle("b", scheduleDoc(
      R"({"id": "ok", "timestamps": ["1970-01-01 00:00:05"]}, {"id": "bad", "timestamps": [{}]})"));
  engine.configureAction(&wrongType);
  EXPECT_EQ(describe(engine.actions()), (std::vector<std::string>{"b/ok@5"}));
  EXPECT_EQ(log.matching("Could not parse actions list for b_name: b").size(), 2u);
}

TEST(ScheduleEngineConstruction, NullStoreThrows) {
  try {
    ScheduleEngine engine(nullptr);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to initialise Schedule Engine. No database provided.");
  }
}

TEST(ScheduleEngineFill, TwoBundlesGiveTwoListsInOrder) {
  std::vector<WebAction> actions;
  for (const char* id : {"p", "q", "r"}) {
    actions.emplace_back("scheduled", "", EngineType::SCHEDULE, id, "e", id[0] == 'q' ? "B2" : "B1",
                         0, "", "", "", 7, false, -1, -1);
  }
  actions.emplace_back("", "", static_cast<WebAction::Engine>(0), "home", "", "B2", 0, "", "", "",
                       0, false, -1, -1);
  AssetActionList list;
  contentengine::fillActionList(list, actions);
  ASSERT_EQ(list.assetActionMap.size(), 2u);
  ASSERT_EQ(list.assetActionMap["B1"].size(), 2u);
  EXPECT_EQ(list.assetActionMap["B1"][0].actionID, "p");
  EXPECT_EQ(list.assetActionMap["B1"][1].actionID, "r");
  ASSERT_EQ(list.assetActionMap["B2"].size(), 2u);
  EXPECT_EQ(list.assetActionMap["B2"][0].actionID, "q");
  EXPECT_EQ(list.assetActionMap["B2"][0].scheduleEngineActionTimestamp, 7);
  EXPECT_EQ(list.assetActionMap["B2"][1].json,
            "{\n\t\"engine\" : \"UNKNOWN\",\n\t\"id\" : \"home\",\n\t\"timestamp\" : 0,\n"
            "\t\"trigger\" : \"\"\n}\n");
}

}  // namespace
}  // namespace tembrolexinsdk
