// The web view host over a recording web engine: what it loads and
// evaluates for each event, closing with the 200 ms re-creation, script
// messages and links.

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/engines/tl_wk_web_view.h"
#include "platform/runtime/url_opener.h"
#include "tests/platform/engines/content_fixtures.h"
#include "tests/platform/engines/recording_web_engine.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

class ContentDelegate : public TLWebViewContentDelegate {
 public:
  bool canWebViewClose(const std::shared_ptr<TLBundle>&) override { return true; }
  void notifyCloseWebview(const std::shared_ptr<TLBundle>& b) override {
    calls.push_back("closed:" + (b ? b->bundleId() : std::string("none")));
  }
  void sendMessage(const std::string& m, int64_t level, const std::string& id) override {
    calls.push_back("message:" + std::to_string(level) + ":" + id + ":" + m);
  }
  std::string getCurrentNetworkStatusString() override { return "{\"id\":\"ReachableViaWiFi\"}"; }
  Lines calls;
};

class Opener : public URLOpener {
 public:
  bool canOpenURL(const std::string& url) override { return url.rfind("https:", 0) == 0; }
  bool openURL(const std::string& url) override {
    opened.push_back(url);
    return true;
  }
  Lines opened;
};

class WebViewTest : public testing::Test {
 protected:
  void SetUp() override {
    host = TLWKWebView::create(std::make_unique<tltest::RecordingWebEngine>(log),
                               {&m.dispatcher, &center, "/docs"});
    host->setDelegate(delegate);
    m.run();
    ASSERT_EQ(log->take(), Lines{"create:sendMessage,sendMessageInternal,closeView"});
    URLOpener::setShared(opener);
  }
  void TearDown() override { URLOpener::setShared(nullptr); }
  void showPage() {
    host->emit("action", "{\"id\":\"a1\"}", "/docs/b1/index.html", bundle);
    m.run();
    log->take();
  }

  tltest::ManualDispatch m;
  NotificationCenter center;
  std::shared_ptr<tltest::RecordingWebEngine::Log> log =
      std::make_shared<tltest::RecordingWebEngine::Log>();
  std::shared_ptr<ContentDelegate> delegate = std::make_shared<ContentDelegate>();
  std::shared_ptr<Opener> opener = std::make_shared<Opener>();
  std::shared_ptr<TLBundle> bundle = std::make_shared<TLBundle>("b1");
  std::shared_ptr<TLWKWebView> host;
};

TEST_F(WebViewTest, ActionLoadsThePageWithItsInitialStateThenEmitsIntoIt) {
  EXPECT_EQ(TLWKWebView::sharedTLWKWebview(), host);
  host->emit("message", "1", std::nullopt, nullptr);  // nothing shown: dropped
  host->emit("netStatus", "{}", "", nullptr);
  host->emit("action", "{\"id\":\"a1\"}", "/docs/b1/index.html", bundle);
  EXPECT_EQ(host->currentURL(), "/docs/b1/index.html");  // on the calling thread
  EXPECT_EQ(host->currentBundle(), bundle);
  m.run();
  EXPECT_EQ(log->take(),
            (Lines{"load:/docs/b1/index.html|/docs", "attach",
                   "eval:window.addEventListener('load', function() { "
                   "tembrolexin.setInitialState({netStatus: '{\"id\":\"ReachableViaWiFi\"}', "
                   "action: {\"id\":\"a1\"} }); } );"}));

  host->emit("action", "{\"id\":\"a2\"}", "/docs/b1/index.html", bundle);
  host->emit("netStatus", "{\"id\":\"NotReachable\"}", std::nullopt, nullptr);
  host->emit("loadData-k", "\"v\"", "", nullptr);
  host->emit("message", "1", "/docs/other.html", bundle);  // another page: dropped
  host->emit("x\");alert(1);(\"", "2", std::nullopt, nullptr);
  m.run();
  EXPECT_EQ(log->take(), (Lines{"eval:tembrolexin.emit(\"action\",{\"id\":\"a2\"});",
                                "eval:tembrolexin.emit(\"netStatus\",{\"id\":\"NotReachable\"});",
                                "eval:tembrolexin.emit(\"loadData-k\",\"v\");",
                                "eval:tembrolexin.emit(\"x\\\");alert(1);(\\\"\",2);"}));
}

// Closing itself is tested through the content engine.
TEST_F(WebViewTest, ActionWithinThe200msAfterACloseGetsAFreshViewFirst) {
  showPage();
  host->closeWebView();
  log->take();
  host->emit("action", "{\"id\":\"a1\"}", "/docs/b1/index.html", bundle);
  m.run(50ms);
  Lines calls = log->take();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], "create:sendMessage,sendMessageInternal,closeView");
  EXPECT_EQ(calls[1], "load:/docs/b1/index.html|/docs");
  m.run(150ms);
  EXPECT_TRUE(log->take().empty());  // no second view over the page
  EXPECT_EQ(delegate->calls, Lines{"closed:b1"});
  EXPECT_EQ(host->currentURL(), "/docs/b1/index.html");
}

TEST_F(WebViewTest, ScriptMessagesReachTheEngineWithTheirLevelAndOpenURLs) {
  log->client->didReceiveScriptMessage("sendMessage", "{\"a\":1}");  // no bundle yet
  EXPECT_TRUE(delegate->calls.empty());
  showPage();
  log->client->didReceiveScriptMessage("sendMessage", "{\"a\":1}");
  log->client->didReceiveScriptMessage("sendMessageInternal",
                                       "{\"key\":\"k\",\"action\":\"loadData\"}");
  log->client->didReceiveScriptMessage("sendMessage",
                                       "{\"action\":\"openURL\",\"value\":\"https://e.test/x\"}");
  log->client->didReceiveScriptMessage("sendMessage", "not json");
  log->client->didReceiveScriptMessage("other", "{}");
  EXPECT_EQ(delegate->calls,
            (Lines{"message:1:b1:{\"a\":1}", "message:0:b1:{\"key\":\"k\",\"action\":\"loadData\"}",
                   "message:1:b1:{\"action\":\"openURL\",\"value\":\"https://e.test/x\"}",
                   "message:1:b1:not json"}));
  EXPECT_EQ(opener->opened, Lines{"https://e.test/x"});
}

TEST_F(WebViewTest, LinksBundleLinksPostAndOthersGoToTheOpener) {
  Lines posted;
  center.addObserver(TL_BUNDLE_OPEN_NOTIFICATION_NAME, [&](const Notification& n) {
    EXPECT_EQ(std::any_cast<std::shared_ptr<TLWKWebView>>(n.object), host);
    posted.push_back(n.userInfo.at(TL_BUNDLE_OPEN_ACTION_ID));
  });
  EXPECT_TRUE(log->client->decidePolicyForNavigation("file:///docs/b1/next.html", false));
  EXPECT_TRUE(log->client->decidePolicyForNavigation("bundle://open/b7", true));
  EXPECT_FALSE(log->client->decidePolicyForNavigation("https://e.test/", true));
  EXPECT_FALSE(log->client->decidePolicyForNavigation("sms:123", true));
  URLOpener::setShared(nullptr);
  EXPECT_FALSE(log->client->decidePolicyForNavigation("https://e.test/2", true));
  EXPECT_EQ(posted, Lines{"b7"});
  EXPECT_EQ(opener->opened, Lines{"https://e.test/"});
}

TEST_F(WebViewTest, PagesLoadFromATemporaryCopyWhenTheEngineNeedsIt) {
  tltest::TempDir docs, tmp;
  auto write = [](const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
  };
  write(docs.file("b1/index.html"), "one");
  write(docs.file("b1/img/a.txt"), "a");
  write(docs.file("b2/page.html"), "two");
  TLCopyAssets2TmpDir copier(tmp.path());
  auto log2 = std::make_shared<tltest::RecordingWebEngine::Log>();
  auto copying = TLWKWebView::create(std::make_unique<tltest::RecordingWebEngine>(log2),
                                     {&m.dispatcher, &center, docs.path(), &copier});
  copying->emit("action", "{}", docs.file("b1/index.html"), bundle);
  m.run();
  const std::string www = tmp.file("www");
  EXPECT_EQ(log2->take()[1], "load:" + www + "/index.html|" + www);
  EXPECT_TRUE(std::filesystem::exists(www + "/img/a.txt"));

  copying->emit("action", "{}", docs.file("b2/page.html"), bundle);  // replaces the copy
  m.run();
  EXPECT_EQ(log2->take()[0], "load:" + www + "/page.html|" + www);
  EXPECT_FALSE(std::filesystem::exists(www + "/index.html"));

  copying->emit("action", "{}", docs.file("b3/missing.html"), bundle);
  m.run();
  EXPECT_TRUE(log2->take().empty());
  EXPECT_EQ(copying->currentURL(), "");  // the next action tries again
  TLCopyAssets2TmpDir::Error error;
  EXPECT_FALSE(copier.copyFrom(docs.file("none"), www, &error));
  EXPECT_EQ(error.domain, "TestDomainTODO");
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.description, docs.file("none") + " file does not exist.");
  EXPECT_TRUE(std::filesystem::exists(www + "/page.html"));
}

}  // namespace
}  // namespace tembrolexinplatform
