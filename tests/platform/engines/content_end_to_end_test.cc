// A bundle from a loopback content server to the page shown, through the
// whole system: the content engine asks the cache for the server's bundles,
// the cache downloads and installs the package, the core's content engine
// configures its trigger action, generator audio carrying the trigger code
// word is fed to the decoder, and the web engine double is asked to load the
// bundle's entry page with the action as initial state.

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/decoder/codeword_layouts.h"
#include "core/runtime/gzip_file.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_content_engine.h"
#include "tests/platform/engines/recording_web_engine.h"
#include "tests/platform/engines/trigger_core_fixture.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The package of a bundle "X" whose action "a1" is triggered by `word`.
std::string packBundle(const std::string& dbPath, int64_t word) {
  const std::map<std::string, std::string> files = {
      {"manifest.json", R"({"id":"X","version":1,"validFrom":"2020-01-01 00:00:00",)"
                        R"("validTo":"2099-01-01 00:00:00","assets":{"html":["index.html"]}})"},
      {"formatVersion.txt", "3"},
      {"index.html", "<html><head><title>X</title></head><body>X</body></html>"},
      {"actions.json", R"({"entryPoint":"index.html","triggerEngine":[{"scheme":"T2",)"
                       R"("actions":[{"id":"a1","codeword":)" + std::to_string(word) + "}]}]}"}};
  std::string sql = "CREATE TABLE assets (name TEXT, type TEXT, data BLOB);";
  for (const auto& [name, text] : files) {
    sql += "INSERT INTO assets VALUES ('" + name + "', 'other', '" + text + "');";
  }
  sqlite3* db = nullptr;
  sqlite3_open(dbPath.c_str(), &db);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  const std::string gz = tembrolexin::gzip::zip_file(dbPath, -1);
  std::ifstream in(gz, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The app: its decoder and content delegates write what they hear, from any
// thread.
class App : public TLDecoderDelegate, public TLContentEngineDelegate {
 public:
  void initialisationDidComplete() override { add("initialised"); }
  void startedListening() override { add("started"); }
  void stoppedListening() override {}
  void failedWithError(const std::string& d) override { add("failed:" + d); }
  void confidenceChangedTo(int64_t) override {}
  void messageReceived(const std::optional<Json::Value>&, std::shared_ptr<TLBundle>) override {}
  void contentEngineDidFail(int64_t code, std::shared_ptr<TLBundle>,
                            std::shared_ptr<TLBundleAction>) override {
    add("contentFailed:" + std::to_string(code));
  }
  void bundlesDidUpdate(const TLBundleList& bundles) override {
    for (const auto& b : bundles) add("bundle:" + b->bundleId());
  }
  void actionDidOpen(const std::shared_ptr<TLBundleAction>& a) override {
    add("opened:" + a->actionId());
  }

  bool has(const std::string& t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(texts_.begin(), texts_.end(), t) != texts_.end();
  }
  bool waitFor(const std::string& t) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, 30s,
                        [&] { return std::find(texts_.begin(), texts_.end(), t) != texts_.end(); });
  }

 private:
  void add(std::string t) {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(std::move(t));
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> texts_;
};

TEST(ContentEndToEndTest, TriggerWordInAudioShowsTheBundlesEntryPage) {
  tltest::TempDir docs, scratch;
  tltest::ScopedPlatformEnvironment environment(docs);
  tltest::TriggerCore core;
  const int64_t word = tembrolexinsdk::createVorselTvCodeWord(4242, 700);
  const tltest::GeneratedSignal signal = core.oneWord(word);
  ASSERT_FALSE(signal.samples.empty());

  tltest::HttpTestServer server;
  server.route("/pkg/b1.db.gz", tltest::replyWith(200, packBundle(scratch.file("b1.db"), word)));
  server.route("/list", tltest::replyWith(200, R"({"files":[{"cdn_url":")" +
                                                   server.url("/pkg/b1.db.gz") +
                                                   R"(","_id":"X","version":1,"format_version":3}]})"));

  Dispatcher dispatcher({&tembrolexinsdk::Clock::real(), TimerMode::kManual, 2, false});
  dispatcher.mainQueue()->bindToCurrentThread();
  NotificationCenter notes;
  auto web = std::make_shared<tltest::RecordingWebEngine::Log>();
  auto host = TLWKWebView::create(std::make_unique<tltest::RecordingWebEngine>(web),
                                  {&dispatcher, &notes, docs.path()});
  auto app = std::make_shared<App>();
  {
    std::shared_ptr<TLDecoder> decoder = TLDecoder::create(core.options());
    ASSERT_TRUE(core.useCustomRecorder());
    decoder->configure({{"AudioDecoder_plugins", std::string("libCacheEngine.so")}});
    decoder->addDelegate(app);
    ASSERT_TRUE(app->waitFor("initialised"));

    std::weak_ptr<TLDecoder> weakDecoder = decoder;
    TLContentEngine::Options engineOptions;
    engineOptions.configure = [weakDecoder](const ConfigDictionary& d) {
      if (auto strong = weakDecoder.lock()) strong->configure(d);
    };
    engineOptions.dispatcher = &dispatcher;
    engineOptions.webViewHost = [host] { return host; };
    engineOptions.notifications = std::make_shared<InProcessNotificationCenter>(dispatcher, nullptr);
    engineOptions.notificationCenter = &notes;
    engineOptions.reachability = Reachability::withSource(
        std::make_unique<FakeReachabilitySource>(kFlagReachable), notes);
    engineOptions.documentsFolder = docs.path();
    TLContentEngine::setSharedOptions(engineOptions);
    auto engine =
        std::dynamic_pointer_cast<TLContentEngine>(decoder->connectEngineDelegate(app, TLEngineType::kContent));
    ASSERT_NE(engine, nullptr);
    engine->setUrl(server.url("/list"), 2);
    EXPECT_TRUE(dispatcher.mainQueue()->runUntil([&] { return app->has("bundle:X"); }, 30s));

    decoder->startDecoding();
    ASSERT_TRUE(app->waitFor("started"));
    ASSERT_TRUE(core.feed(signal.samples));
    const std::string page =
        docs.path() + "/TL/tembrolexin_CacheProcessor/Assets/Ready/b1/index.html";
    EXPECT_TRUE(dispatcher.mainQueue()->runUntil([&] { return app->has("opened:a1"); }, 30s));
    dispatcher.mainQueue()->drain();
    const auto calls = web->take();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0], "create:sendMessage,sendMessageInternal,closeView");
    EXPECT_EQ(calls[1], "load:" + page + "|" + docs.path());
    EXPECT_EQ(calls[2], "attach");
    // A trigger is no position in a media stream: no timeInTrack.
    EXPECT_EQ(calls[3],
              "eval:window.addEventListener('load', function() { tembrolexin.setInitialState("
              "{netStatus: '{\"id\":\"ReachableViaWiFi\"}', action: {\n  \"id\" : \"a1\",\n  "
              "\"timestamp\" : 0\n} }); } );");
    // The installed page carries the script bridge.
    std::ifstream in(page);
    const std::string html((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(html.find("tembrolexin = (function()"), std::string::npos);

    decoder->stopDecoding();
    engine->setMessenger(nullptr);
    decoder->disconnectEngineDelegate(engine);
  }
}

}  // namespace
}  // namespace tembrolexinplatform
