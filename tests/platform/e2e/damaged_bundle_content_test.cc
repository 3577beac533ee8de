// Damaged bundles wait in the cache's Acquired folder when the app starts:
// one whose actions.json was cut short in its second action, one whose
// actions name an entry page the bundle lacks (it installs, without
// actions), and four whose manifests give a version below 0 (-2, -0.5,
// -1e30, -2147483649). The cache installs them all; the app's content
// delegate hears bundlesDidUpdate naming the first two, the first with the
// action read whole before the cut, the second with none; the others are
// left out rather than holding them back. The process-wide content engine
// needs a process of its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_content_engine.h"
#include "tests/platform/e2e/e2e_app.h"
#include "tests/platform/engines/trigger_core_fixture.h"

namespace tltest {
namespace {

using namespace std::chrono_literals;
using namespace tembrolexinplatform;

// The app's content delegate: one "bundles:" line per bundlesDidUpdate,
// each bundle as id[action ids], by id.
class ContentApp : public TLContentEngineDelegate {
 public:
  explicit ContentApp(Record& r) : r_(r) {}
  void messageReceived(const std::optional<Json::Value>&, std::shared_ptr<TLBundle>) override {}
  void contentEngineDidFail(int64_t, std::shared_ptr<TLBundle>,
                            std::shared_ptr<TLBundleAction>) override {}
  void bundlesDidUpdate(const TLBundleList& bundles) override {
    std::map<std::string, std::string> byId;
    for (const auto& b : bundles) {
      std::string ids;
      for (const auto& a : b->getActions().value_or(std::vector<std::shared_ptr<TLBundleAction>>{})) {
        ids += (ids.empty() ? "" : ",") + a->actionId();
      }
      byId[b->bundleId()] = ids;
    }
    std::string line = "bundles:";
    for (const auto& [id, ids] : byId) line += " " + id + "[" + ids + "]";
    r_.add(line);
  }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

void writeBundle(const std::string& folder, const std::string& id, bool withPage,
                 const std::string& actions, const std::string& version = "1") {
  writeFile(folder + "/manifest.json",
            R"({"id":")" + id + R"(","version":)" + version +
                R"(,"validFrom":"2020-01-01 00:00:00",)"
            R"("validTo":"2099-01-01 00:00:00","assets":{)" +
                (withPage ? R"("html":["index.html"])" : "") + "}}");
  writeFile(folder + "/formatVersion.txt", "3");
  writeFile(folder + "/actions.json", actions);
  if (withPage) writeFile(folder + "/index.html", "<html><head></head><body></body></html>");
}

TEST(DamagedBundleContent, EveryListableBundleReachesTheApp) {
  TempDir docs;
  ScopedPlatformEnvironment environment(docs);
  const std::string acquired = docs.path() + "/TL/tembrolexin_CacheProcessor/Assets/Acquired/";
  writeBundle(acquired + "cut", "cut", true,
              R"({"entryPoint":"index.html","triggerEngine":[{"scheme":"T2","actions":[)"
              R"({"id":"a1","codeword":4242},{"id":"a2","codew)");
  writeBundle(acquired + "nopage", "nopage", false,
              R"({"entryPoint":"index.html","triggerEngine":[{"scheme":"T2","actions":[)"
              R"({"id":"b1","codeword":77}]}]})");
  for (const char* version : {"-2", "-0.5", "-1e30", "-2147483649"}) {
    writeBundle(acquired + "old" + version, std::string("old") + version, true,
                R"({"entryPoint":"index.html","triggerEngine":[{"scheme":"T2","actions":[)"
                R"({"id":"c1","codeword":78}]}]})",
                version);
  }

  Dispatcher dispatcher(Dispatcher::Options{});
  dispatcher.mainQueue()->bindToCurrentThread();
  NotificationCenter notes;
  shareContentEngineOptions(dispatcher, notes, docs.path());

  Record app;
  auto contentApp = std::make_shared<ContentApp>(app);
  TriggerCore core;
  std::shared_ptr<TLDecoder> decoder = TLDecoder::create(core.options());
  decoder->configure({{"AudioDecoder_plugins", std::string("libCacheEngine.so")}});
  decoder->addDelegate(std::make_shared<AppDelegate>(app));
  ASSERT_TRUE(app.waitForText("initialised"));
  auto engine = std::dynamic_pointer_cast<TLContentEngine>(
      decoder->connectEngineDelegate(contentApp, TLEngineType::kContent));
  ASSERT_NE(engine, nullptr);

  const std::string expected = "bundles: cut[a1] nopage[]";
  EXPECT_TRUE(dispatcher.mainQueue()->runUntil([&] { return app.contains(expected); }, 30s))
      << ::testing::PrintToString(app.texts());

  engine->setMessenger(nullptr);
  decoder->disconnectEngineDelegate(engine);
}

}  // namespace
}  // namespace tltest
