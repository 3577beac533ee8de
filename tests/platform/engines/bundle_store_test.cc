// The bundle store and its value objects, and the timed action scheduler over
// the in-process notification centre on manual timers.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/engines/timed_action_scheduler.h"
#include "platform/engines/tl_bundle.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/engines/content_fixtures.h"

namespace tembrolexinplatform {
namespace {

using tltest::ActionSpec;

class Listener : public BundleStoreDelegate {
 public:
  void onBundlesUpdated(const TLBundleList& bundles) override {
    calls++;
    last = bundles;
  }
  std::atomic<int> calls{0};
  TLBundleList last;
};

class BundleStoreTest : public testing::Test {
 protected:
  std::shared_ptr<Listener> listener = std::make_shared<Listener>();
  BundleStore store{listener, "/docs"};
};

TEST_F(BundleStoreTest, ActionsFirstWaitForInfoThenNotifyOnce) {
  store.updateActions(tltest::actionList("b1", {{"a1"}}));
  auto b = store.getBundleById("b1");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->version(), -1);
  EXPECT_FALSE(b->ready());
  EXPECT_EQ(listener->calls, 0);

  store.updateBundles(tltest::infoList({tltest::info("b1", 0)}));
  EXPECT_EQ(listener->calls, 1);
  ASSERT_EQ(listener->last.size(), 1u);
  EXPECT_EQ(listener->last[0], b);  // same object, updated in place
  EXPECT_EQ(b->title(), "Title b1");
  EXPECT_DOUBLE_EQ(b->validFrom(), 1.5);
  EXPECT_DOUBLE_EQ(b->validTo(), 2000.25);
  EXPECT_EQ(b->folderPath(), "/docs/TL/Assets/Ready/b1");
  EXPECT_EQ(b->getActionById("a1")->getBundle(), b);
}

TEST_F(BundleStoreTest, InfoWithoutActionsDefersAndRemovalNeverNotifiesAnEmptyStore) {
  store.updateBundles(tltest::infoList({tltest::info("b1"), tltest::info("b2")}));
  store.updateActions(tltest::actionList("b1", {{"a1"}}));
  EXPECT_EQ(listener->calls, 0);  // b2 has no actions yet
  store.updateActions(tltest::actionList("b2", {}));
  EXPECT_EQ(listener->calls, 1);  // an empty list counts

  store.updateBundles(tltest::infoList({tltest::info("b2")}));
  ASSERT_EQ(store.bundles().size(), 1u);
  EXPECT_EQ(store.bundles()[0]->bundleId(), "b2");
  EXPECT_EQ(listener->calls, 3);  // once for the removal, once for the update

  store.updateBundles(tltest::infoList({}));
  EXPECT_TRUE(store.bundles().empty());
  EXPECT_EQ(listener->calls, 3);
}

TEST_F(BundleStoreTest, BundleWithoutAnIdIsLeftOutRatherThanHoldingBackTheOthers) {
  store.updateBundles(tltest::infoList({tltest::info("b1"), tltest::info("")}));
  AssetActionList actions = tltest::actionList("b1", {{"a1"}});
  actions.assetActionMap[""];
  store.updateActions(actions);
  EXPECT_EQ(listener->calls, 1);
  ASSERT_EQ(listener->last.size(), 1u);
  EXPECT_EQ(listener->last[0]->bundleId(), "b1");
}

// A bundle that can never be ready as its info stands is left out, with a
// Warning naming its folder once its info has arrived; its actions come first.
struct LeftOutCase {
  std::string name;
  std::string id;
  int32_t version;
  std::string warning;
};

struct Warnings : TLLoggerDelegate {
  void logfromSender(const std::string&, const TLLogParams& p) override {
    if (p.level == 3) lines.push_back(p.message);
  }
  std::vector<std::string> lines;
};

class LeftOutTest : public BundleStoreTest, public testing::WithParamInterface<LeftOutCase> {};

TEST_P(LeftOutTest, TheOtherBundleIsHeardAndTheWarningNamesTheFolder) {
  auto warnings = std::make_shared<Warnings>();
  TLLogger::sharedLogger().setDelegate(warnings);
  AssetActionList actions = tltest::actionList("b1", {{"a1"}});
  actions.assetActionMap[GetParam().id];
  store.updateActions(actions);
  EXPECT_EQ(warnings->lines, std::vector<std::string>{});  // no folder known yet

  AssetInfo odd = tltest::info(GetParam().id, GetParam().version);
  odd.__set_assetFolderPath("/docs/TL/Assets/Ready/odd");
  store.updateBundles(tltest::infoList({tltest::info("b1"), odd}));
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_EQ(warnings->lines, std::vector<std::string>{GetParam().warning});
  ASSERT_EQ(listener->calls, 1);
  EXPECT_EQ(listener->last, TLBundleList{store.getBundleById("b1")});

  // A bundle whose info has not arrived yet still holds the others back.
  store.updateActions(tltest::actionList("b3", {}));
  EXPECT_EQ(listener->calls, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Bundles, LeftOutTest,
    testing::Values(
        LeftOutCase{"NoId", "", 1,
                    "The bundle in /docs/TL/Assets/Ready/odd has no id in its manifest and is not "
                    "listed"},
        LeftOutCase{"VersionMinusOne", "old", -1,
                    "The bundle old in /docs/TL/Assets/Ready/odd has version -1 in its manifest, "
                    "below 0, and is not listed"},
        LeftOutCase{"VersionMinusTwo", "old", -2,
                    "The bundle old in /docs/TL/Assets/Ready/odd has version -2 in its manifest, "
                    "below 0, and is not listed"},
        // What the core reads for -0.5, -1e30, -2147483649 (and -2147483648).
        LeftOutCase{"VersionBelowZeroNotA32BitInteger", "old", -2147483647 - 1,
                    "The bundle old in /docs/TL/Assets/Ready/odd has a version below 0 in its "
                    "manifest and is not listed"}),
    [](const auto& info) { return info.param.name; });

struct EngineCase {
  std::string name;
  int32_t assetEngine;
  int64_t actionEngine;
};

class EngineTableTest : public testing::TestWithParam<EngineCase> {};

TEST_P(EngineTableTest, AssetEngineMapsToActionEngine) {
  auto listener = std::make_shared<Listener>();
  BundleStore store(listener, "/docs");
  store.updateActions(tltest::actionList("b", {{"a", GetParam().assetEngine}}));
  auto a = store.getBundleById("b")->getActionById("a");
  EXPECT_EQ(a->engine(), GetParam().actionEngine);
  EXPECT_EQ(a->isDefault(), GetParam().actionEngine == 3);
  EXPECT_EQ(store.getBundleById("b")->getDefaultAction() == a, GetParam().actionEngine == 3);
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineTableTest,
                         testing::Values(EngineCase{"Default", 0, 3}, EngineCase{"Trigger", 1, 0},
                                         EngineCase{"Event2", 2, 1}, EngineCase{"Schedule", 3, 2},
                                         EngineCase{"Heartbeat", 4, 4},
                                         EngineCase{"Unknown", 77, 4}),
                         [](const auto& info) { return info.param.name; });

struct PathCase {
  std::string name;
  std::string documents;
  std::string absolute;
  std::string relative;
};

class EntryPointTest : public testing::TestWithParam<PathCase> {};

TEST_P(EntryPointTest, DocumentsFolderIsStripped) {
  EXPECT_EQ(BundleStore::relativeEntryPoint(GetParam().absolute, GetParam().documents),
            GetParam().relative);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, EntryPointTest,
    testing::Values(
        PathCase{"BelowDocuments", "/home/u/Documents", "/home/u/Documents/TL/Assets/Ready/b/i.html",
                 "TL/Assets/Ready/b/i.html"},
        PathCase{"TrailingSlash", "/home/u/Documents/", "/home/u/Documents/x/i.html", "x/i.html"},
        PathCase{"SiblingFolderKeptWhole", "/home/u/Documents", "/home/u/Documents2/i.html",
                 "/home/u/Documents2/i.html"},
        PathCase{"OutsideKeptWhole", "/home/u/Documents", "/srv/b/i.html", "/srv/b/i.html"},
        PathCase{"DocumentsItself", "/home/u/Documents", "/home/u/Documents", "/home/u/Documents"}),
    [](const auto& info) { return info.param.name; });

TEST(BundleActionJsonTest, TimeInTrackOnlyWhenKnown) {
  auto bundle = std::make_shared<TLBundle>("b");
  TLBundleAction::Fields f;
  f.actionId = "a\"1";
  f.timeStamp = 700000000123;
  TLBundleAction action(bundle, f);
  EXPECT_EQ(action.getJSON(), "{\n  \"id\" : \"a\\\"1\",\n  \"timestamp\" : 700000000123\n}");
  action.setTimeInTrack(0);
  EXPECT_EQ(action.getJSON(),
            "{\n  \"id\" : \"a\\\"1\",\n  \"timeInTrack\" : 0,\n  \"timestamp\" : 700000000123\n}");
  bundle.reset();
  EXPECT_EQ(action.getBundle(), nullptr);
}

// The bus thread replaces bundles and actions while another thread reads.
TEST(BundleStoreThreadsTest, ReadersSeeWholeObjectsWhileTheBusThreadUpdates) {
  auto listener = std::make_shared<Listener>();
  BundleStore store(listener, "/docs");
  std::atomic<bool> done{false};
  std::thread bus([&] {
    for (int i = 0; i < 300; ++i) {
      store.updateBundles(tltest::infoList({tltest::info("b", i)}));
      store.updateActions(tltest::actionList("b", {{"a" + std::to_string(i % 3)}}));
    }
    done = true;
  });
  while (!done) {
    auto b = store.getBundleById("b");
    auto actions = b ? b->getActions() : std::nullopt;
    if (actions && !actions->empty()) {
      EXPECT_NE((*actions)[0]->getJSON(), "");
    }
  }
  bus.join();
  EXPECT_EQ(listener->calls, 599);  // the first info had no actions yet
}

// --- Timed action scheduler ------------------------------------------------------

class SchedulerTest : public testing::Test {
 protected:
  void SetUp() override {
    center = std::make_shared<InProcessNotificationCenter>(
        m.dispatcher, [this](const LocalNotificationRequest& r) { delivered.push_back(r.identifier); });
    scheduler = TimedActionScheduler::create(center, m.clock);
  }
  std::vector<LocalNotificationRequest> pending() {
    std::vector<LocalNotificationRequest> out;
    center->getPendingNotificationRequests([&](auto v) { out = std::move(v); });
    return out;
  }
  TLBundleList bundlesWith(const std::vector<ActionSpec>& specs) {
    store.updateBundles(tltest::infoList({tltest::info("b1")}));
    store.updateActions(tltest::actionList("b1", specs));
    return store.bundles();
  }

  tltest::ManualDispatch m;
  std::shared_ptr<InProcessNotificationCenter> center;
  std::shared_ptr<TimedActionScheduler> scheduler;
  std::vector<std::string> delivered;
  BundleStore store{std::weak_ptr<BundleStoreDelegate>(), "/docs"};
};

TEST_F(SchedulerTest, PostsThirtyFutureScheduledActionsInFireOrder) {
  const int64_t now = m.nowSeconds();
  std::vector<ActionSpec> specs;
  for (int i = 31; i >= 1; --i) specs.push_back({"s" + std::to_string(i), 3, now + i * 60});
  specs.push_back({"past", 3, now - 1});
  specs.push_back({"done", 3, now + 5, true});
  specs.push_back({"trigger", 1, now + 5});
  scheduler->updateBundles(bundlesWith(specs));

  auto p = pending();
  ASSERT_EQ(p.size(), 30u);
  EXPECT_EQ(p.front().identifier, "n-s1");
  EXPECT_EQ(p.back().identifier, "n-s30");  // s31, the latest, is left out
  EXPECT_DOUBLE_EQ(*p.front().delaySeconds, 60.0);
  const std::map<std::string, std::string> userInfo = {
      {"value", "s1"},          {"key", "action"},
      {"url", "TL/Assets/Ready/b1/index.html"},
      {"TYPE", "IContentEngine"}, {"uid", "n-s1"},
      {"assetId", "b1"},        {"NotificationTag", "SCHEDULE"}};
  EXPECT_EQ(p.front().userInfo, userInfo);

  m.run(std::chrono::seconds(61));
  EXPECT_EQ(delivered, std::vector<std::string>{"n-s1"});
  EXPECT_EQ(pending().size(), 29u);
}

TEST_F(SchedulerTest, UpdateWithdrawsOnlyItsOwnAndReplacesTheSet) {
  const int64_t now = m.nowSeconds();
  center->addNotificationRequest({"own", "t", "b", "default", {{"key", "action"}}, 10.0}, {});
  scheduler->updateBundles(bundlesWith({{"s1", 3, now + 100}, {"s2", 3, now + 200}}));
  scheduler->updateBundles(bundlesWith({{"s2", 3, now + 200}}));
  auto p = pending();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].identifier, "own");
  EXPECT_EQ(p[1].identifier, "n-s2");

  scheduler->updateBundles({});
  p = pending();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].identifier, "own");
  m.run(std::chrono::seconds(300));
  EXPECT_EQ(delivered, std::vector<std::string>{"own"});
}

// A centre that answers its pending list later, as a system centre may.
class DeferredCenter : public LocalNotificationCenter {
 public:
  explicit DeferredCenter(std::shared_ptr<LocalNotificationCenter> inner) : inner_(inner) {}
  void addNotificationRequest(const LocalNotificationRequest& r, AddCompletion c) override {
    inner_->addNotificationRequest(r, std::move(c));
  }
  void getPendingNotificationRequests(PendingCompletion c) override {
    answers.push_back([this, c] { inner_->getPendingNotificationRequests(c); });
  }
  void removePendingNotificationRequests(const std::vector<std::string>& ids) override {
    inner_->removePendingNotificationRequests(ids);
  }
  std::vector<std::function<void()>> answers;

 private:
  std::shared_ptr<LocalNotificationCenter> inner_;
};

TEST_F(SchedulerTest, OverlappingUpdatesRunInTurnAndOnlyTheLatestWaitingOne) {
  const int64_t now = m.nowSeconds();
  auto deferred = std::make_shared<DeferredCenter>(center);
  auto s = TimedActionScheduler::create(deferred, m.clock);
  s->updateBundles(bundlesWith({{"s1", 3, now + 100}}));
  s->updateBundles(bundlesWith({{"s2", 3, now + 100}}));
  s->updateBundles(bundlesWith({{"s3", 3, now + 100}}));
  ASSERT_EQ(deferred->answers.size(), 1u);  // the others wait
  deferred->answers[0]();
  ASSERT_EQ(deferred->answers.size(), 2u);  // s2 was overtaken by s3
  deferred->answers[1]();
  EXPECT_EQ(deferred->answers.size(), 2u);
  auto p = pending();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].identifier, "n-s3");
  deferred->answers.clear();  // they hold the scheduler
}

TEST_F(SchedulerTest, SameIdentifierReplacesAndBadRequestsAreRefused) {
  std::vector<std::string> errors;
  auto record = [&](const std::string& e) { errors.push_back(e); };
  center->addNotificationRequest({"x", "first", "", "default", {}, 5.0}, record);
  center->addNotificationRequest({"x", "second", "", "default", {}, std::nullopt}, record);
  center->addNotificationRequest({"", "t", "", "default", {}, 1.0}, record);
  center->addNotificationRequest({"y", "t", "", "default", {}, -1.0}, record);
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_EQ(errors[0], "");
  EXPECT_EQ(errors[1], "");
  EXPECT_NE(errors[2], "");
  EXPECT_NE(errors[3], "");
  m.run();
  EXPECT_EQ(delivered, std::vector<std::string>{"x"});
  m.run(std::chrono::seconds(10));
  EXPECT_EQ(delivered.size(), 1u);  // the first "x" was replaced
}

}  // namespace
}  // namespace tembrolexinplatform
