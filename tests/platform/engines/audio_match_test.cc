// The AUDIOMATCH engine: the commands it sends, holding add commands until
// the plug-in confirms them and sending them once more on its Request, the
// results it reports on the main queue, and the configuration keys.

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/engines/tl_audio_match_engine.h"
#include "tests/platform/engines/engine_world.h"

namespace tembrolexinplatform {
namespace {

struct ResultLog : TLAudioMatchEngineDelegate {
  void onSuccessfulAction(int action, const TLAudioMatchDatabase& db) override {
    calls.push_back("ok " + std::to_string(action) + " " + db.getFullPath());
  }
  void onFailedAction(int action, const TLAudioMatchDatabase& db, int error,
                      const std::string& description) override {
    calls.push_back("failed " + std::to_string(action) + " " + db.getFullPath() + " " +
                    std::to_string(error) + " " + description);
  }
  void onDatabaseListReceived(const std::vector<TLAudioMatchDatabase>& dbs) override {
    std::string text = "list";
    for (const auto& db : dbs) text += " " + db.getFilename();
    calls.push_back(text);
  }
  std::vector<std::string> calls;
};

AMDBSignal answer(int32_t action, std::vector<std::string> paths, int32_t code = 0,
                  std::string description = "") {
  AMDBSignal a;
  a.__set_action(action);
  a.__set_filepaths(std::move(paths));
  a.__set_errorCode(code);
  a.__set_errorDescription(std::move(description));
  return a;
}

// A command as the engine sends it: preference Copy, no error.
AMDBSignal command(int32_t action, const std::string& path) {
  AMDBSignal c = answer(action, {path});
  c.__set_preference(0);
  return c;
}

class AudioMatchTest : public testing::Test {
 protected:
  AudioMatchTest() {
    engine_->setDispatcher(&world_.dispatcher());
    engine_->setDecoder(world_.decoder());
    engine_->setMessenger(world_.sharedMessenger());
    engine_->setDelegate(log_);
    // Leftovers of earlier tests on the shared engine go with a Request.
    engine_->onReceive(TLThriftParams(MessageEnvelope::wrap(answer(0, {}))), "Hybrid");
    world_.markStart();
  }
  ~AudioMatchTest() override {
    engine_->setDelegate(nullptr);
    engine_->setDispatcher(nullptr);
    engine_->setDecoder({});
  }
  // What the plug-in answers, through the messenger.
  void plugin(const AMDBSignal& a) {
    world_.messenger().receiveThriftMessage(TLThriftParams(MessageEnvelope::wrap(a)), "Hybrid");
  }
  std::vector<AMDBSignal> sent() { return world_.sent<AMDBSignal>("AUDIOMATCH"); }
  // Runs the delegate calls waiting in the test host's block queue.
  void runDelegateCalls() {
    while (TLBlockQueue::sharedBlockQueue().popAndDoBlock()) {
    }
  }

  tltest::EngineWorld world_{/*testHost=*/true};
  std::shared_ptr<TLAudioMatchEngine> engine_ = TLAudioMatchEngine::sharedEngine();
  std::shared_ptr<ResultLog> log_ = std::make_shared<ResultLog>();
};

TEST_F(AudioMatchTest, AddIsSentHeldAndSentOnceMoreOnTheFirstRequestOnly) {
  const TLAudioMatchDatabase db = engine_->addDatabase("/data/dbs/news.amdb");
  EXPECT_EQ(db.getFilename(), "news.amdb");
  EXPECT_EQ(engine_->heldCommandCount(), 1u);
  plugin(answer(0, {}));
  plugin(answer(0, {}));

  const auto s = sent();
  ASSERT_EQ(s.size(), 2u);
  const AMDBSignal expected = command(1, "/data/dbs/news.amdb");
  EXPECT_EQ(s[0], expected);
  EXPECT_EQ(s[1], expected);
  EXPECT_EQ(engine_->heldCommandCount(), 0u);
  const std::vector<ConfigDictionary> configured{{{"tembrolexin_Fingerprint_uselive", false}}};
  EXPECT_EQ(world_.configurations(), configured);
}

TEST_F(AudioMatchTest, ConfirmationDropsTheHeldAddByFileNameOnly) {
  engine_->addDatabase("/data/a/news.amdb");
  engine_->addDatabase("/data/a/sport.amdb");
  plugin(answer(5, {"/plugin/copies/news.amdb"}));
  EXPECT_EQ(engine_->heldCommandCount(), 1u);
  plugin(answer(0, {}));
  const auto s = sent();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[2].filepaths, std::vector<std::string>{"/data/a/sport.amdb"});
}

TEST_F(AudioMatchTest, BeforeADecoderConnectsCommandsAndKeysWaitThenGoOutInOrderBeforeTheScheme) {
  engine_->setMessenger(nullptr);
  engine_->setDecoder({});
  engine_->addDatabase("/data/late.amdb");
  engine_->useLiveDatabaseAtAddress("https://db.example.com/live", 2.5, 10.25);
  engine_->removeDatabase(TLAudioMatchDatabase("/data/old.amdb"));
  EXPECT_TRUE(world_.sendOrder().empty());

  // Connected as an app connects it: the add, its uselive NO, the live
  // keys and the removal, then the scheme of the new connection.
  world_.decoder()->connectEngineDelegate(log_, TLEngineType::kAudioMatch);
  EXPECT_EQ(world_.sendOrder(),
            (std::vector<std::string>{"AUDIOMATCH:22", "SDKPrivateObjcpp:30", "SDKPrivateObjcpp:30",
                                      "AUDIOMATCH:22", "SDKPrivateObjcpp:30"}));
  const auto keys = world_.configurations();
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[0], (ConfigDictionary{{"tembrolexin_Fingerprint_uselive", false}}));
  EXPECT_EQ(keys[1].at("tembrolexin_Fingerprint_dbrefresh"), ConfigValue(int64_t{2500}));
  EXPECT_EQ(keys[2], (ConfigDictionary{{"tembrolexin_Fingerprint_scheme", int32_t{22}}}));
  const auto s = sent();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0], command(1, "/data/late.amdb"));
  EXPECT_EQ(s[1].filepaths, std::vector<std::string>{"old.amdb"});
  // The add is still held for the plug-in's Request.
  EXPECT_EQ(engine_->heldCommandCount(), 1u);
  plugin(answer(0, {}));
  ASSERT_EQ(sent().size(), 3u);
  EXPECT_EQ(sent()[2], command(1, "/data/late.amdb"));
}

TEST_F(AudioMatchTest, RemovalCarriesTheFileNameAndListingOnlyTheAction) {
  engine_->removeDatabase(TLAudioMatchDatabase("/data/dbs/news.amdb/"));
  engine_->requestDatabaseList();
  const auto s = sent();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0], command(2, "news.amdb"));
  AMDBSignal listing;
  listing.__set_action(3);
  EXPECT_EQ(s[1], listing);  // no other field set
  EXPECT_EQ(engine_->heldCommandCount(), 0u);
}

struct ResultCase {
  std::string name;
  AMDBSignal answer;
  std::vector<std::string> calls;
};

class ResultTest : public AudioMatchTest, public testing::WithParamInterface<ResultCase> {};

TEST_P(ResultTest, ReportsOnTheMainQueue) {
  plugin(GetParam().answer);
  EXPECT_TRUE(log_->calls.empty());  // queued, not yet run
  runDelegateCalls();
  EXPECT_EQ(log_->calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ResultTest,
    testing::Values(
        ResultCase{"AddComplete", answer(5, {"/p/news.amdb"}), {"ok 0 /p/news.amdb"}},
        ResultCase{"RemoveComplete", answer(6, {"news.amdb"}), {"ok 1 news.amdb"}},
        ResultCase{"AddFailedCode3", answer(5, {"/p/x.amdb"}, 3, "disk full"),
                   {"failed 0 /p/x.amdb 2 disk full"}},
        ResultCase{"RemoveFailedCode4", answer(6, {"x.amdb"}, 4, "busy"), {"failed 1 x.amdb 3 busy"}},
        ResultCase{"Code5ReportsNothing", answer(5, {"/p/x.amdb"}, 5), {}},
        ResultCase{"NoPathReportsNothing", answer(5, {}), {}},
        ResultCase{"List", answer(4, {"/p/b.amdb", "/p/a.amdb"}), {"list b.amdb a.amdb"}},
        ResultCase{"OwnCommandEchoedIsIgnored", answer(1, {"/p/x.amdb"}), {}}),
    [](const testing::TestParamInfo<ResultCase>& info) { return info.param.name; });

TEST(AudioMatchConnectionTest, EachNewDecoderGetsTheSchemeKeyOnceWhenItConnects) {
  tltest::EngineWorld world;
  auto engine = TLAudioMatchEngine::sharedEngine();
  world.decoder()->connectEngineDelegate(nullptr, TLEngineType::kAudioMatch);
  const std::vector<ConfigDictionary> once{{{"tembrolexin_Fingerprint_scheme", int32_t{22}}}};
  EXPECT_EQ(world.configurations(), once);
  engine->setDecoder(world.decoder());  // the same decoder again
  EXPECT_EQ(world.configurations(), once);
}

TEST_F(AudioMatchTest, LiveDatabaseAndSchemeKeys) {
  engine_->useLiveDatabaseAtAddress("https://db.example.com/live", 2.5, 10.25);
  engine_->useLiveDatabaseAtAddress("https://db.example.com/live", std::nan(""), 1);
  engine_->setEngineParameters({{"ignored", "x"}});
  const std::vector<ConfigDictionary> expected{
      {{"tembrolexin_Fingerprint_uselive", true},
       {"tembrolexin_Fingerprint_dburl", std::string("https://db.example.com/live")},
       {"tembrolexin_Fingerprint_dbrefresh", int64_t{2500}},
       {"tembrolexin_Fingerprint_liveWindow", int64_t{10250}}},
      {{"tembrolexin_Fingerprint_scheme", int32_t{22}}}};
  EXPECT_EQ(world_.configurations(), expected);
}

}  // namespace
}  // namespace tembrolexinplatform
