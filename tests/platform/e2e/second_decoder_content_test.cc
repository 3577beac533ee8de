// The CONTENT engine on a second decoder. The app connected the content
// engine to its first decoder (whose core has no cache) and set its content
// server there; then it makes a second decoder with create(), whose core
// runs the cache, and connects the engine to it. The second cache must hear
// the server and the requests the first decoder heard: it asks the loopback
// server for the bundle list, the package download fails, and the app hears
// bundleDownloadFailed. Each core lives on a private bus; the process-wide
// content engine needs a process of its own.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_content_engine.h"
#include "tests/platform/e2e/e2e_app.h"
#include "tests/platform/engines/trigger_core_fixture.h"
#include "tests/support/http_test_server.h"

namespace tltest {
namespace {

using namespace std::chrono_literals;
using namespace tembrolexinplatform;

// The app's content delegate: "failed:<bundle>:<file name>" per failed
// download.
class ContentApp : public TLContentEngineDelegate {
 public:
  explicit ContentApp(Record& r) : r_(r) {}
  void messageReceived(const std::optional<Json::Value>&, std::shared_ptr<TLBundle>) override {}
  void contentEngineDidFail(int64_t, std::shared_ptr<TLBundle>,
                            std::shared_ptr<TLBundleAction>) override {}
  void bundleDownloadFailed(const std::string& bundleId, const std::string& file) override {
    r_.add("failed:" + bundleId + ":" + file.substr(file.find_last_of('/') + 1));
  }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

TEST(SecondDecoderContent, ItsCacheAsksForTheListAndReportsAFailedDownload) {
  TempDir docs;
  ScopedPlatformEnvironment environment(docs);
  HttpTestServer server;
  server.route("/pkg/b1.db.gz", replyWith(404, "gone"));
  server.route("/list", replyWith(200, R"({"files":[{"cdn_url":")" + server.url("/pkg/b1.db.gz") +
                                           R"(","_id":"X","version":1,"format_version":3}]})"));

  Dispatcher dispatcher(Dispatcher::Options{});
  dispatcher.mainQueue()->bindToCurrentThread();
  NotificationCenter notes;
  shareContentEngineOptions(dispatcher, notes, docs.path());

  Record app;
  auto contentApp = std::make_shared<ContentApp>(app);
  TriggerCore firstCore, secondCore;
  std::shared_ptr<TLDecoder> first = TLDecoder::create(firstCore.options());
  first->addDelegate(std::make_shared<AppDelegate>(app));
  ASSERT_TRUE(app.waitForText("initialised"));
  auto engine = std::dynamic_pointer_cast<TLContentEngine>(
      first->connectEngineDelegate(contentApp, TLEngineType::kContent));
  ASSERT_NE(engine, nullptr);
  engine->setUrl(server.url("/list"), 2);

  std::shared_ptr<TLDecoder> second = TLDecoder::create(secondCore.options());
  second->configure({{"AudioDecoder_plugins", std::string("libCacheEngine.so")}});
  second->addDelegate(std::make_shared<AppDelegate>(app));
  ASSERT_EQ(second->connectEngineDelegate(contentApp, TLEngineType::kContent), engine);
  EXPECT_TRUE(
      dispatcher.mainQueue()->runUntil([&] { return app.contains("failed:X:b1.db.gz"); }, 30s));
  EXPECT_EQ(server.requestCount(), 2u);  // the list and the package, once each

  engine->setMessenger(nullptr);
  second->disconnectEngineDelegate(engine);
}

}  // namespace
}  // namespace tltest
