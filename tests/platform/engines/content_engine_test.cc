// The content engine over the real web view host (on a recording web
// engine), the in-process notification centre on manual timers, a fake
// reachability source and a private bus: creation, bundles, content signals,
// opened notifications, page messages and the core's answers, downloads,
// platform information, network changes and closing.

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "core/runtime/messenger.h"
#include "platform/engines/tl_content_engine.h"
#include "platform/runtime/platform_environment.h"
#include "tests/platform/engines/content_fixtures.h"
#include "tests/platform/engines/recording_web_engine.h"
#include "tests/platform/runtime/bus_probe.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using tltest::ActionSpec;

class RecordingDelegate : public TLContentEngineDelegate {
 public:
  void messageReceived(const std::optional<Json::Value>& m, std::shared_ptr<TLBundle> b) override {
    Json::StreamWriterBuilder compact;
    compact["indentation"] = "";
    calls.push_back("message:" + (m ? Json::writeString(compact, *m) : std::string("nil")) + "|" +
                    (b ? b->bundleId() : "none"));
  }
  void contentEngineDidFail(int64_t code, std::shared_ptr<TLBundle> b,
                            std::shared_ptr<TLBundleAction> a) override {
    calls.push_back("fail:" + std::to_string(code) + ":" + (b ? b->bundleId() : "none") + ":" +
                    (a ? a->actionId() : "none"));
  }
  void bundleDownloadPending(const std::string& id, const std::string& f) override {
    calls.push_back("pending:" + id + ":" + f);
  }
  void bundleDownloadComplete(const std::string& id, const std::string& f) override {
    calls.push_back("complete:" + id + ":" + f);
  }
  void bundleDownloadFailed(const std::string& id, const std::string& f) override {
    calls.push_back("failed:" + id + ":" + f);
  }
  void bundlesDidUpdate(const TLBundleList& b) override {
    calls.push_back("updated:" + std::to_string(b.size()));
  }
  bool actionWillOpen(const std::shared_ptr<TLBundleAction>& a) override {
    calls.push_back("willOpen:" + a->actionId());
    if (willOpen == "throw") throw std::runtime_error("boom");
    return willOpen == "yes";
  }
  void actionDidOpen(const std::shared_ptr<TLBundleAction>& a) override {
    calls.push_back("didOpen:" + a->actionId());
  }
  bool bundleWillClose(const std::shared_ptr<TLBundle>& b) override {
    calls.push_back("willClose:" + (b ? b->bundleId() : "none"));
    return allowClose;
  }
  void bundleDidClose(const std::shared_ptr<TLBundle>& b) override {
    calls.push_back("didClose:" + (b ? b->bundleId() : "none"));
  }
  Lines take() { return std::exchange(calls, {}); }
  Lines calls;
  std::string willOpen = "yes";
  bool allowClose = true;
};

class NotADelegate : public TLEngineDelegate {};

// One "key=value" line per entry, booleans as YES and NO.
Lines describe(const ConfigDictionary& d) {
  Lines lines;
  for (const auto& [k, v] : d) {
    std::string text;
    if (auto b = std::get_if<bool>(&v)) text = *b ? "YES" : "NO";
    if (auto s = std::get_if<std::string>(&v)) text = *s;
    lines.push_back(k + "=" + text);
  }
  return lines;
}

// A decoder that records the configuration it is given.
struct ConfigurationLog : IEngineDecoder {
  void configure(const ConfigDictionary& d) override {
    for (std::string& line : describe(d)) lines.push_back(std::move(line));
  }
  void setDeviceId(int32_t) override {}
  void prepareData() override {}
  void updateNTP() override {}
  void registerNTPReceiver(std::shared_ptr<NTPReceiver>) override {}
  void unRegisterNTPReceiver(const std::shared_ptr<NTPReceiver>&) override {}
  void setNTPServers(std::vector<std::string>) override {}
  Lines lines;
};

std::shared_ptr<const TLProcessorEventParams> envelope(const ::apache::thrift::TBase& m) {
  return std::shared_ptr<const TLProcessorEventParams>(TLThriftParams::initWithMessage(m));
}

ContentSignal actionSignal(const std::string& bundle, const std::string& action, int64_t inTrack) {
  ContentSignal s;
  s.__set_bundleId(bundle);
  s.__set_actionId(action);
  s.__set_emitKey("action");
  s.__set_timeInTrack(inTrack);
  return s;
}

class ContentEngineTest : public testing::Test {
 protected:
  void SetUp() override {
    saved = PlatformEnvironment::current();
    PlatformEnvironment env = saved;
    env.bundleIdentifier = "com.example.app";
    env.appVersion = "1.2";
    env.locale = "en_GB";
    PlatformEnvironment::install(env);
    center = std::make_shared<InProcessNotificationCenter>(
        m.dispatcher, [this](const LocalNotificationRequest& r) { delivered.push_back(r); });
    auto source = std::make_unique<FakeReachabilitySource>(kFlagReachable);
    fakeNet = source.get();
    reachability = Reachability::withSource(std::move(source), notes);
    host = TLWKWebView::create(std::make_unique<tltest::RecordingWebEngine>(web),
                               {&m.dispatcher, &notes, "/docs"});
    engine = makeEngine([this] { return host; });
    engine->setDelegate(delegate);
    engine->setMessenger(messenger);
    m.run();
    web->take();
  }
  void TearDown() override { PlatformEnvironment::install(saved); }

  // `throughDecoder`: configuration goes to the decoder that connects the
  // engine, not to `configured`.
  std::shared_ptr<TLContentEngine> makeEngine(
      std::function<std::shared_ptr<TLWKWebViewProtocol>()> hostFn, bool throughDecoder = false) {
    TLContentEngine::Options o;
    if (!throughDecoder) {
      o.configure = [this](const ConfigDictionary& d) {
        for (std::string& line : describe(d)) configured.push_back(std::move(line));
      };
    }
    o.dispatcher = &m.dispatcher;
    o.webViewHost = std::move(hostFn);
    o.notifications = center;
    o.notificationCenter = &notes;
    o.reachability = reachability;
    o.documentsFolder = "/docs";
    o.clock = &m.clock;
    o.deviceProfile = "iPhone9,3";
    o.osVersion = "16.4.1";
    return TLContentEngine::create(std::move(o));
  }
  // Bundle b1 with the given actions, delivered as the bus would.
  void bundles(const std::vector<ActionSpec>& specs, TLContentEngine* to = nullptr) {
    to = to ? to : engine.get();
    to->onReceive(*TLThriftParams::initWithMessage(tltest::infoList({tltest::info("b1")})), "");
    to->onReceive(*TLThriftParams::initWithMessage(tltest::actionList("b1", specs)), "");
    m.run();
  }
  std::vector<LocalNotificationRequest> pending() {
    std::vector<LocalNotificationRequest> out;
    center->getPendingNotificationRequests([&](auto v) { out = std::move(v); });
    return out;
  }
  template <typename T>
  std::vector<T> sent(int type, std::size_t count) {
    std::vector<T> out;
    for (const auto& msg : probe.waitFor(count)) {
      if (msg.type != type) continue;
      EXPECT_EQ(msg.sender, "IContentEngine");
      out.push_back(*MessageEnvelope(type, msg.bytes).newMessageOfType<T>());
    }
    return out;
  }

  PlatformEnvironment saved;
  tltest::ManualDispatch m;
  NotificationCenter notes;
  std::shared_ptr<InProcessNotificationCenter> center;
  std::vector<LocalNotificationRequest> delivered;
  FakeReachabilitySource* fakeNet = nullptr;
  std::shared_ptr<Reachability> reachability;
  std::shared_ptr<tltest::RecordingWebEngine::Log> web =
      std::make_shared<tltest::RecordingWebEngine::Log>();
  std::shared_ptr<TLWKWebView> host;
  tembrolexinsdk::Messenger bus;
  tltest::BusProbe probe{bus, {12, 16, 26}};
  std::shared_ptr<Messenger> messenger = std::make_shared<Messenger>(&bus);
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  Lines configured;
  std::shared_ptr<TLContentEngine> engine;
};

TEST_F(ContentEngineTest, CreationAsksForBundleInformationAndRegistersOnce) {
  EXPECT_EQ(configured, (Lines{"tembrolexin_CacheProcessor_assetsInfoRequest=YES",
                               "tembrolexin_CacheProcessor_assetsInfoRequest=NO",
                               "CONTENT_assetsInfoRequest=YES", "CONTENT_assetsInfoRequest=NO"}));
  EXPECT_EQ(engine->currentNetworkStatus(), ReachableViaWiFi);
  EXPECT_EQ(engine->downloadPolicy(), 2);
  engine->setMessenger(messenger);
  for (int type : {18, 20, 26}) EXPECT_EQ(messenger->receiverCount(type), 1u) << type;
}

TEST_F(ContentEngineTest, RequestsMadeBeforeADecoderConnectsGoToItInOrder) {
  auto decoder = std::make_shared<ConfigurationLog>();
  auto late = makeEngine([this] { return host; }, /*throughDecoder=*/true);
  late->prepareBundle("/bundles/b1");
  EXPECT_TRUE(decoder->lines.empty());
  late->setDecoder(decoder);
  EXPECT_EQ(decoder->lines, (Lines{"tembrolexin_CacheProcessor_assetsInfoRequest=YES",
                                   "tembrolexin_CacheProcessor_assetsInfoRequest=NO",
                                   "CONTENT_assetsInfoRequest=YES", "CONTENT_assetsInfoRequest=NO",
                                   "tembrolexin_CacheProcessor_assetsPath=/bundles/b1"}));
  late->downloadBundles();  // connected: at once
  EXPECT_EQ(decoder->lines.size(), 7u);
  EXPECT_EQ(configured.size(), 4u);  // the fixture's engine heard none of it
}

// A decoder that takes over from an earlier one has a cache that heard
// nothing: it gets the platform information last set, the requests for
// bundle information and, as the policy allows, a download. Connecting the
// same decoder again sends nothing.
TEST_F(ContentEngineTest, DecoderTakingOverHearsTheBundleSettingsAgain) {
  auto first = std::make_shared<ConfigurationLog>();
  auto second = std::make_shared<ConfigurationLog>();
  auto late = makeEngine([this] { return host; }, /*throughDecoder=*/true);
  late->setDecoder(first);
  late->setUrl("http://content.example/list", 2);
  const Lines heard = first->lines;
  ASSERT_EQ(heard.size(), 7u);
  late->setDecoder(first);
  late->setDecoder(second);
  EXPECT_EQ(first->lines, heard);
  EXPECT_EQ(second->lines, (Lines{heard[4], "tembrolexin_CacheProcessor_assetsInfoRequest=YES",
                                  "tembrolexin_CacheProcessor_assetsInfoRequest=NO",
                                  "CONTENT_assetsInfoRequest=YES", "CONTENT_assetsInfoRequest=NO",
                                  "tembrolexin_CacheProcessor_downloadNow=YES",
                                  "tembrolexin_CacheProcessor_downloadNow=NO"}));
}

TEST_F(ContentEngineTest, BundleUpdateRunsTheSchedulerThenTellsTheApp) {
  bundles({ActionSpec("s1", 3, m.nowSeconds() + 60)});
  EXPECT_EQ(delegate->take(), Lines{"updated:1"});
  ASSERT_EQ(pending().size(), 1u);
  EXPECT_EQ(pending()[0].userInfo.at("NotificationTag"), "SCHEDULE");
}

TEST_F(ContentEngineTest, ActionWithoutNotificationOpensItsPageWithTimeInTrack) {
  bundles({ActionSpec("a1")});
  delegate->take();
  engine->processEventParams(envelope(actionSignal("b1", "a1", 1234)), "CONTENT");
  EXPECT_EQ(delegate->calls, Lines{"willOpen:a1"});  // synchronous
  m.run();
  EXPECT_EQ(delegate->take(), (Lines{"willOpen:a1", "didOpen:a1"}));
  Lines calls = web->take();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0], "load:/docs/TL/Assets/Ready/b1/index.html|/docs");
  EXPECT_EQ(calls[2],
            "eval:window.addEventListener('load', function() { tembrolexin.setInitialState("
            "{netStatus: '{\"id\":\"ReachableViaWiFi\"}', action: {\n  \"id\" : \"a1\",\n  "
            "\"timeInTrack\" : 1234,\n  \"timestamp\" : 0\n} }); } );");

  // Non-action keys go to the page shown.
  ContentSignal status;
  status.__set_emitKey("decoderStatus");
  status.__set_emitValue("{\"s\":1}");
  engine->processEventParams(envelope(status), "CONTENT");
  m.run();
  EXPECT_EQ(web->take(), Lines{"eval:tembrolexin.emit(\"decoderStatus\",{\"s\":1});"});
}

TEST_F(ContentEngineTest, LifecycleListenerBlocksOrThrows) {
  bundles({ActionSpec("a1")});
  delegate->take();
  delegate->willOpen = "no";
  engine->processEventParams(envelope(actionSignal("b1", "a1", 0)), "CONTENT");
  m.run();
  EXPECT_EQ(delegate->take(), Lines{"willOpen:a1"});
  EXPECT_TRUE(web->take().empty());
  delegate->willOpen = "throw";
  engine->openBundleAction(engine->getBundleById("b1")->getActionById("a1"));
  m.run();
  EXPECT_EQ(delegate->take(), (Lines{"willOpen:a1", "didOpen:a1"}));
  // A manual open stamps the action in milliseconds since 2001-01-01.
  EXPECT_EQ(engine->getBundleById("b1")->getActionById("a1")->timeStamp(),
            m.clock.wallMicros() / 1000 - 978307200000LL);
  EXPECT_EQ(web->take().size(), 3u);
}

struct NotifyCase {
  std::string name;
  std::string title;
  std::string text;
  int64_t delay;
  std::string body;
  std::optional<double> posted;
};

class ContentNotificationTest : public ContentEngineTest,
                                public testing::WithParamInterface<NotifyCase> {};

TEST_P(ContentNotificationTest, ActionWithANotificationIsPosted) {
  const NotifyCase& c = GetParam();
  bundles({ActionSpec("a1").withNotification(c.title, c.text, c.delay)});
  engine->processEventParams(envelope(actionSignal("b1", "a1", 0)), "CONTENT");
  m.run();
  EXPECT_TRUE(web->take().empty());
  auto p = pending();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].identifier, "n-a1");
  EXPECT_EQ(p[0].title, c.title);
  EXPECT_EQ(p[0].body, c.body);
  EXPECT_EQ(p[0].delaySeconds, c.posted);
  const std::map<std::string, std::string> userInfo = {
      {"key", "action"}, {"value", "a1"}, {"url", "TL/Assets/Ready/b1/index.html"},
      {"TYPE", "IContentEngine"}, {"uid", "n-a1"}, {"assetId", "b1"}};
  EXPECT_EQ(p[0].userInfo, userInfo);
  m.run();
  EXPECT_EQ(delivered.size(), c.posted ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Notifications, ContentNotificationTest,
    testing::Values(NotifyCase{"TextWithoutTitleAtOnce", "", "Hello", 0, "Hello", std::nullopt},
                    NotifyCase{"TitleWithoutTextGetsDefaultBody", "Hi", "", 30,
                               "We heard something you may be interested in!", 30.0}),
    [](const auto& info) { return info.param.name; });

TEST_F(ContentEngineTest, UnknownBundleOrActionReportsCodeOneAndOpensNothing) {
  bundles({ActionSpec("a1")});
  delegate->take();
  engine->processEventParams(envelope(actionSignal("nope", "a1", 0)), "CONTENT");
  engine->processEventParams(envelope(actionSignal("b1", "nope", 0)), "CONTENT");
  m.run();
  EXPECT_EQ(delegate->take(), (Lines{"fail:1:none:none", "fail:1:b1:none"}));
  EXPECT_TRUE(web->take().empty());
}

TEST_F(ContentEngineTest, NoHostReportsCodeZeroAndPostsNothing) {
  auto hostless = makeEngine([] { return nullptr; });
  hostless->setDelegate(delegate);
  bundles({ActionSpec("a1"), ActionSpec("a2").withNotification("t", "x", 0)}, hostless.get());
  delegate->take();
  hostless->processEventParams(envelope(actionSignal("b1", "a1", 0)), "CONTENT");
  hostless->processEventParams(envelope(actionSignal("b1", "a2", 0)), "CONTENT");
  m.run();
  EXPECT_EQ(delegate->take(), (Lines{"willOpen:a1", "fail:0:b1:none"}));
  EXPECT_TRUE(pending().empty());
  EXPECT_TRUE(delivered.empty());
}

TEST_F(ContentEngineTest, OpenedNotificationsOpenTheActionAndTellTheCore) {
  bundles({ActionSpec("a1")});
  delegate->take();
  engine->webViewEmit({{"key", "action"}, {"value", "nope"}, {"assetId", "b1"}, {"uid", "u0"}});
  engine->webViewEmit({{"key", "action"}, {"value", "a1"}, {"assetId", "gone"}, {"uid", "u1"}});
  engine->webViewEmit({{"key", "action"},
                       {"value", "a1"},
                       {"assetId", "b1"},
                       {"uid", "u2"},
                       {"url", "TL/Assets/Ready/b1/index.html"}});
  m.run();
  // actionWillOpen is synchronous; the failure was queued.
  EXPECT_EQ(delegate->take(), (Lines{"willOpen:a1", "fail:2:none:none", "didOpen:a1"}));
  EXPECT_EQ(web->take().size(), 3u);
  const auto data = sent<NotificationData>(12, 1);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].notificationId, "u2");
  EXPECT_EQ(data[0].type, "action");
  EXPECT_EQ(data[0].url, "TL/Assets/Ready/b1/index.html");
  EXPECT_EQ(data[0].value, "a1");
}

TEST_F(ContentEngineTest, PageMessagesGoToTheAppOrTheCoreAndAnswersComeBack) {
  bundles({ActionSpec("a1")});
  engine->processEventParams(envelope(actionSignal("b1", "a1", 0)), "CONTENT");
  m.run();
  delegate->take();
  web->take();
  web->client->didReceiveScriptMessage("sendMessage", "{\"a\":1}");
  web->client->didReceiveScriptMessage("sendMessage", "not json");
  web->client->didReceiveScriptMessage("sendMessageInternal",
                                       "{\"key\":\"k\",\"action\":\"loadData\"}");
  m.run();
  EXPECT_EQ(delegate->take(),
            (Lines{"message:{\"a\":1}|b1", "fail:2:b1:none", "message:nil|b1"}));
  const auto assetMessages = sent<AssetMessage>(16, 4);
  ASSERT_EQ(assetMessages.size(), 3u);
  EXPECT_EQ(assetMessages[1].assetId, "b1");
  EXPECT_EQ(assetMessages[1].messageJson, "not json");
  const auto requests = sent<JavascriptMessage>(26, 4);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].messageType, 0);
  EXPECT_EQ(requests[0].bundleId, "b1");
  EXPECT_EQ(requests[0].messageContent, "{\"key\":\"k\",\"action\":\"loadData\"}");
  EXPECT_TRUE(requests[0].__isset.key);
  EXPECT_EQ(requests[0].key, "");

  for (int type : {1, 2, 0}) {
    JavascriptMessage answer;
    answer.__set_messageType(type);
    answer.__set_key("k");
    answer.__set_messageContent("{\"success\":true}");
    engine->onReceive(*TLThriftParams::initWithMessage(answer), "CONTENT");
  }
  m.run();
  EXPECT_EQ(web->take(), (Lines{"eval:tembrolexin.emit(\"loadData-k\",{\"success\":true});",
                                "eval:tembrolexin.emit(\"storeData-k\",{\"success\":true});"}));
}

TEST_F(ContentEngineTest, WithoutAContentDelegateOnlyTheAssetMessageIsSent) {
  engine->setDelegate(std::make_shared<NotADelegate>());
  engine->sendMessage("{\"key\":\"k\",\"action\":\"loadData\"}", 0, "b1");
  engine->sendMessage("[1]", 1, "b1");
  engine->sendMessage("last", 1, "b1");
  EXPECT_EQ(sent<AssetMessage>(16, 3).size(), 3u);
  EXPECT_TRUE(sent<JavascriptMessage>(26, 3).empty());
}

TEST_F(ContentEngineTest, DownloadStatusCallsTheMatchingCallback) {
  for (int type : {0, 1, 2, 3, 9}) {
    DownloadStatusSignal s;
    s.__set_downloadStatusType(type);
    s.__set_assetId("b" + std::to_string(type));
    s.__set_filename("/f" + std::to_string(type));
    engine->processEventParams(envelope(s), "tembrolexin_CacheProcessor");
  }
  m.run();
  EXPECT_EQ(delegate->take(), (Lines{"pending:b0:/f0", "complete:b2:/f2", "failed:b3:/f3"}));
}

TEST_F(ContentEngineTest, PlatformInformationAndDownloadPolicy) {
  configured.clear();
  Json::Value extra;
  extra["device"] = "replaced";
  extra["user"] = 7;
  engine->setUrl("https://cms.test/list", 1, extra);  // Wi-Fi: downloads
  ASSERT_EQ(configured.size(), 3u);
  const std::string prefix = "tembrolexin_CacheProcessor_platformInfo=";
  ASSERT_EQ(configured[0].rfind(prefix, 0), 0u);
  Json::Value sentInfo;
  ASSERT_TRUE(Json::Reader().parse(configured[0].substr(prefix.size()), sentInfo));
  Json::Value expected;
  expected["app"]["id"] = "com.example.app";
  expected["app"]["version"] = "Version 1.2";
  expected["device"] = "replaced";
  expected["location"]["lat"] = 0.0;
  expected["location"]["lon"] = 0.0;
  expected["location"]["country"] = "UK";
  expected["url"] = "https://cms.test/list";
  expected["user"] = 7;
  EXPECT_EQ(sentInfo, expected);
  EXPECT_TRUE(sentInfo["location"]["lat"].isDouble());
  EXPECT_EQ(Lines(configured.begin() + 1, configured.end()),
            (Lines{"tembrolexin_CacheProcessor_downloadNow=YES",
                   "tembrolexin_CacheProcessor_downloadNow=NO"}));
  const Json::Value info = engine->platformInfo(std::nullopt);
  EXPECT_FALSE(info.isMember("url"));
  EXPECT_EQ(Json::writeString(Json::StreamWriterBuilder(), info["device"]),
            "{\n\t\"locale\" : \"en_GB\",\n\t\"os\" : \"16.4.1\",\n\t\"platform\" : \"ios\","
            "\n\t\"profile\" : \"iPhone9,3\"\n}");

  configured.clear();
  fakeNet->setFlags(kFlagReachable | kFlagIsWWAN);  // policy 1 and WWAN: no download
  engine->setUrl(std::nullopt, 0);
  EXPECT_EQ(configured.size(), 1u);
}

struct NetCase {
  std::string name;
  int64_t policy;
  uint32_t from;
  uint32_t to;
  bool emitted;
  bool downloads;
};

class NetworkChangeTest : public ContentEngineTest,
                          public testing::WithParamInterface<NetCase> {};

TEST_P(NetworkChangeTest, StatusChangeReachesThePageAndMayDownload) {
  const NetCase& c = GetParam();
  fakeNet->setFlags(c.from);
  engine->setUrl(std::nullopt, c.policy);
  bundles({ActionSpec("a1")});
  engine->processEventParams(envelope(actionSignal("b1", "a1", 0)), "CONTENT");
  m.run();
  web->take();
  configured.clear();
  fakeNet->setFlags(c.to);
  m.run();
  const Lines scripts = web->take();
  EXPECT_EQ(!scripts.empty(), c.emitted);
  if (c.emitted) {
    EXPECT_EQ(scripts[0].rfind("eval:tembrolexin.emit(\"netStatus\",{\"id\":\"", 0), 0u);
  }
  EXPECT_EQ(!configured.empty(), c.downloads);
}

constexpr uint32_t kR = kFlagReachable, kW = kFlagReachable | kFlagIsWWAN;
INSTANTIATE_TEST_SUITE_P(
    Changes, NetworkChangeTest,
    testing::Values(NetCase{"ComesOnlineAnyConnection", 2, 0, kW, true, true},
                    NetCase{"UnchangedEmitsNothing", 2, kR, kR, false, false},
                    NetCase{"GoesOffline", 2, kR, 0, true, false},
                    NetCase{"WifiOnlyEveryWifiReport", 1, kR, kR, false, true},
                    NetCase{"WifiOnlyIgnoresWwan", 1, 0, kW, true, false},
                    NetCase{"NoAutomaticDownload", 0, 0, kR, true, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(ContentEngineTest, CloseAsksTheAppAndReportsAfterTheViewWent) {
  bundles({ActionSpec("a1")});
  engine->processEventParams(envelope(actionSignal("b1", "a1", 0)), "CONTENT");
  m.run();
  delegate->take();
  web->take();
  delegate->allowClose = false;
  web->client->didReceiveScriptMessage("closeView", "Closing webview!");
  m.run(300ms);
  EXPECT_EQ(delegate->take(), Lines{"willClose:b1"});
  EXPECT_EQ(host->currentURL(), "/docs/TL/Assets/Ready/b1/index.html");
  EXPECT_TRUE(web->take().empty());
  delegate->allowClose = true;
  engine->closeWebview();
  m.run();
  EXPECT_EQ(delegate->take(), Lines{"willClose:b1"});
  EXPECT_EQ(web->take(), Lines{"remove"});
  EXPECT_EQ(host->currentURL(), "");
  m.run(199ms);
  EXPECT_TRUE(delegate->calls.empty());
  m.run(1ms);
  EXPECT_EQ(delegate->take(), Lines{"didClose:b1"});
  EXPECT_EQ(web->take(), Lines{"create:sendMessage,sendMessageInternal,closeView"});
}

}  // namespace
}  // namespace tembrolexinplatform
