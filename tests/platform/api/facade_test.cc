// The decoder facade over a private bus, with the core's side played by the
// test at the bus level: start-up messages, delegates on the global queue,
// start and stop, codeword routing to engines with the confidence rule, the
// analytics reports, and network time against a loopback SNTP server.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/base_audio_processor.h"
#include "core/control/processor_handles.h"
#include "core/runtime/messenger.h"
#include "platform/api/tl_decoder.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/api/facade_probe.h"
#include "tests/schema/wire.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "tests/support/udp_test_server.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;
using tl_test::Bytes;
using tl_test::Hex;

using tltest::Record;

using AppDelegate = tltest::RecordingDecoderDelegate;

class IdProvidingDelegate : public AppDelegate, public TLDeviceIdProviderDecoderDelegate {
 public:
  using AppDelegate::AppDelegate;
};

using TriggerEngine = tltest::RecordingEngine<0>;
using AnalyticsEngine = tltest::RecordingEngine<1>;

// The stand-ins replace the built-in TRIGGER and ANALYTICS engines in this
// executable: registered before main, so before any class look-up.
const bool kStandInsRegistered =
    TLEngine::registerEngineClass(
        {TLEngineType::kTrigger, "TRIGGER", [] { return TriggerEngine::sharedEngine(); }}) &&
    TLEngine::registerEngineClass(
        {TLEngineType::kAnalytics, "ANALYTICS", [] { return AnalyticsEngine::sharedEngine(); }});

class FacadeTest : public testing::Test {
 protected:
  FacadeTest() {
    PlatformEnvironment env;
    env.documentsFolder = dir_.file("Documents");
    env.bundleIdentifier = "com.example.app";
    env.keyStoreFolder = dir_.file("keys");
    env.userDefaultsFile = dir_.file("defaults.json");
    PlatformEnvironment::install(env);
    EXPECT_TRUE(kStandInsRegistered);
    TriggerEngine::sharedEngine()->record.clear();
    AnalyticsEngine::sharedEngine()->record.clear();
    dispatcher_.mainQueue()->bindToCurrentThread();
  }

  std::shared_ptr<TLDecoder> makeDecoder(
      tembrolexinsdk::IMessenger& bus, uint16_t ntpPort = 1,
      std::function<int(unsigned char*, std::size_t)> randomBytes = {}) {
    TLDecoder::Options options;
    options.randomBytes = std::move(randomBytes);
    options.bus = &bus;
    options.coreBridge = {};
    options.dispatcher = &dispatcher_;
    options.ntpPort = ntpPort;
    return TLDecoder::create(options);
  }
  // The identities of two starts, each of which reads the defaults file
  // afresh.
  std::vector<std::string> udidsOfTwoStarts() {
    std::vector<std::string> udids;
    for (int start = 0; start < 2; ++start) {
      tembrolexinsdk::Messenger bus;
      tltest::BusProbe core(bus, {35});
      auto decoder = makeDecoder(bus);
      EXPECT_EQ(core.waitFor(1).size(), 1u);
      udids.push_back(decoder->udid());
      PlatformEnvironment env = PlatformEnvironment::current();
      const std::string file = env.userDefaultsFile;
      env.userDefaultsFile = dir_.file("elsewhere.json");
      PlatformEnvironment::install(env);
      UserDefaults::standard();
      env.userDefaultsFile = file;
      PlatformEnvironment::install(env);
    }
    return udids;
  }
  // A report of the core, under the core's sender name.
  template <typename T>
  void coreSends(tembrolexinsdk::IMessenger& bus, const T& message) {
    MessageEnvelope e = MessageEnvelope::wrap(message);
    bus.send("TembrolexinSDK", std::make_unique<tembrolexinsdk::ThriftParams>(
                                   e.msgType(), e.data().size(), e.data().data()));
  }
  // Runs the main queue (where the SNTP client reports) until `done`, which
  // may turn true on another thread; at most 10 s.
  bool pumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
      dispatcher_.mainQueue()->drain();
      if (done()) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }
  static SDKStatusSignal status(int32_t s) {
    SDKStatusSignal m;
    m.__set_status(s);
    return m;
  }
  static CodewordSignal codeword(int64_t msg, const std::string& ref, int32_t sync, int32_t scheme) {
    CodewordSignal c;
    c.__set_sender("Decoder-P");
    c.__set_msg(msg);
    c.__set_engineRef(ref);
    c.__set_syncState(sync);
    c.__set_sigScheme(scheme);
    return c;
  }

  tltest::TempDir dir_;
  tltest::FakeClock clock_;
  Dispatcher dispatcher_{Dispatcher::Options{&clock_, TimerMode::kManual, 2, false}};
  Record app_;
  Record& trigger_ = TriggerEngine::sharedEngine()->record;
  Record& analytics_ = AnalyticsEngine::sharedEngine()->record;
};

TEST_F(FacadeTest, StartUpSendsInitDataThenAnEmptyMapAndKeepsTheIdentity) {
  std::string firstUdid;
  for (int launch = 0; launch < 2; ++launch) {
    tembrolexinsdk::Messenger bus;
    tltest::BusProbe core(bus, {30, 35});
    auto decoder = makeDecoder(bus);
    const auto got = core.waitFor(2);
    ASSERT_EQ(got.size(), 2u);
    const std::string udid = decoder->udid();
    ASSERT_EQ(udid.size(), 16u);
    EXPECT_EQ(udid.find_first_not_of("0123456789abcdef"), std::string::npos);
    if (launch == 0) firstUdid = udid;
    EXPECT_EQ(udid, firstUdid);  // the second launch finds the stored one
    const std::string folder = dir_.file("Documents/TL");
    EXPECT_EQ(got[0].type, 35);
    InitData init;
    ASSERT_TRUE(parseMessage(got[0].bytes, init));
    EXPECT_EQ(init.sampleRates, 0x3FFE);
    EXPECT_EQ(init.filePath, folder);
    EXPECT_EQ(init.externalFilePath, folder);
    EXPECT_EQ(init.packageName, "com.example.app");
    EXPECT_EQ(init.udId, udid);
    EXPECT_FALSE(init.__isset.deviceId);
    EXPECT_EQ(got[1].type, 30);
    EXPECT_EQ(Hex(got[1].bytes), Hex(Bytes("0d 0001 0b 0c 00000000 08 0002 00000000 00")));
    EXPECT_EQ(got[1].sender, "SDKPrivateObjcpp");
  }
  EXPECT_EQ(UserDefaults(dir_.file("defaults.json")).stringForKey("PluginIdentityUdid"), firstUdid);
}

// A value of the app's too large for the defaults file is refused without
// costing the values after it: the app's next one and the identity a fresh
// data folder gets are both in the file, and the next start keeps it.
TEST_F(FacadeTest, AValueRefusedForItsSizeCostsNeitherTheNextOneNorTheIdentity) {
  const std::string defaultsFile = dir_.file("defaults.json");
  EXPECT_FALSE(UserDefaults::standard()->setString("appBlob", std::string(17000000, 'x')));
  EXPECT_TRUE(UserDefaults::standard()->setString("appSetting", "on"));
  const std::vector<std::string> udids = udidsOfTwoStarts();
  EXPECT_EQ(udids[1], udids[0]);
  const UserDefaults stored(defaultsFile);
  EXPECT_EQ(stored.stringForKey("PluginIdentityUdid"), udids[0]);
  EXPECT_EQ(stored.stringForKey("appSetting"), "on");
  EXPECT_FALSE(stored.hasValueForKey("appBlob"));
}

// The app's values leave 954 of the file's 16 MiB to the library: a value
// that fits leaves the identity (45 bytes in the file) its room, and one
// that would leave less is refused.
TEST_F(FacadeTest, AnAppValueAtItsBoundLeavesTheIdentityItsRoom) {
  // {\n  "appBlob" : "<n bytes>"\n}\n is n + 21 bytes long.
  const std::size_t atBound = 16777216 - 954 - 21;
  EXPECT_TRUE(UserDefaults::standard()->setString("appBlob", std::string(atBound, 'x')));
  EXPECT_FALSE(UserDefaults::standard()->setString("appBlob", std::string(16777216 - 44 - 21, 'x')));
  const std::vector<std::string> udids = udidsOfTwoStarts();
  EXPECT_EQ(udids[0].size(), 16u);
  EXPECT_EQ(udids[1], udids[0]);
  const UserDefaults stored(dir_.file("defaults.json"));
  EXPECT_EQ(stored.stringForKey("PluginIdentityUdid"), udids[0]);
  EXPECT_EQ(stored.stringForKey("appBlob")->size(), atBound);
}

// Integers the app keeps under keys ending as the plug-ins' sequence numbers
// are held to the app's bound like any other value of its: they fill the
// file to 16 MiB less 954, and the identity, then every listed plug-in's
// sequence number at its largest, still fit.
TEST_F(FacadeTest, TheAppsIntegersUnderSequenceNumberKeysLeaveTheReserveAlone) {
  // {\n  "appBlob" : "<n bytes>"\n}\n is n + 21 bytes long;
  // ,\n  "app<i>_meta_sequenceNum" : 1 adds 31 for i < 10.
  const std::size_t appBound = 16777216 - 954;
  ASSERT_TRUE(
      UserDefaults::standard()->setString("appBlob", std::string(appBound - 21 - 10 * 31, 'x')));
  int accepted = 0;
  for (int i = 0; i < 12; ++i) {
    accepted +=
        UserDefaults::standard()->setInteger("app" + std::to_string(i) + "_meta_sequenceNum", 1);
  }
  EXPECT_FALSE(UserDefaults::standard()->setInteger("tembrolexin_Unlisted_meta_sequenceNum", 1));
  EXPECT_EQ(accepted, 10);
  EXPECT_EQ(std::filesystem::file_size(dir_.file("defaults.json")), appBound);
  const std::vector<std::string> udids = udidsOfTwoStarts();
  EXPECT_EQ(udids[1], udids[0]);
  for (std::string_view plugin : UserDefaults::kReservedSequencePlugins) {
    EXPECT_TRUE(
        UserDefaults::standard()->setInteger(std::string(plugin) + "_meta_sequenceNum", INT64_MIN))
        << plugin;
  }
  const UserDefaults stored(dir_.file("defaults.json"));
  EXPECT_EQ(stored.stringForKey("PluginIdentityUdid"), udids[0]);
  EXPECT_EQ(stored.integerForKey("tembrolexin_EchoModPlugin_meta_sequenceNum"), INT64_MIN);
}

// A stored identity the decoder may or may not keep.
struct StoredIdentityCase {
  std::string name;
  std::string stored;   // JSON text
  std::string used;     // the identity the core gets
  std::string warning;  // what the Warning says the stored one is; "" for none
};
void PrintTo(const StoredIdentityCase& c, std::ostream* os) { *os << c.name; }

class FacadeIdentityTest : public FacadeTest,
                           public testing::WithParamInterface<StoredIdentityCase> {};

// Warnings about the identity (a folder without extended attributes adds
// one of its own).
struct IdentityWarnings : TLLoggerDelegate {
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    if (params.level == 3 && params.message.find("identity") != std::string::npos) {
      texts.add(sender + ": " + params.message);
    }
  }
  Record texts;
};

TEST_P(FacadeIdentityTest, AnIdentityTheCoreCannotCarryIsReplacedAnyOtherKept) {
  const StoredIdentityCase& c = GetParam();
  const std::string defaultsFile = dir_.file("defaults.json");
  tltest::writeFile(defaultsFile, "{\"PluginIdentityUdid\": " + c.stored + "}");
  auto warnings = std::make_shared<IdentityWarnings>();
  TLLogger::sharedLogger().setDelegate(warnings);
  tembrolexinsdk::Messenger bus;
  tltest::BusProbe core(bus, {35});
  auto decoder = makeDecoder(bus, 1, [](unsigned char* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(0xa1 + i);
    return 0;
  });
  const auto got = core.waitFor(1);
  TLLogger::sharedLogger().unsetDelegate();
  ASSERT_EQ(got.size(), 1u);
  InitData init;
  ASSERT_TRUE(parseMessage(got[0].bytes, init));
  EXPECT_EQ(init.udId, c.used);
  EXPECT_EQ(UserDefaults(defaultsFile).stringForKey("PluginIdentityUdid"), c.used);
  const std::string warning = "-[TLDecoder init]: The stored device identity "
                              "(PluginIdentityUdid) is " + c.warning + "; a new one replaces it";
  EXPECT_EQ(warnings->texts.texts(), std::vector<std::string>(c.warning.empty() ? 0 : 1, warning));
}

INSTANTIATE_TEST_SUITE_P(
    Stored, FacadeIdentityTest,
    testing::Values(
        StoredIdentityCase{"Empty", "\"\"", "a1a2a3a4a5a6a7a8", "empty"},
        StoredIdentityCase{"ThreeHundredCharacters", "\"" + std::string(300, 'f') + "\"",
                           "a1a2a3a4a5a6a7a8", "300 bytes long, more than 64"},
        StoredIdentityCase{"SixtyFiveCharacters", "\"" + std::string(65, '0') + "\"",
                           "a1a2a3a4a5a6a7a8", "65 bytes long, more than 64"},
        StoredIdentityCase{"SixtyFourCharacters", "\"" + std::string(64, '0') + "\"",
                           std::string(64, '0'), ""},
        StoredIdentityCase{"AnotherForm", "\"Device 7/\xc3\xa9\"", "Device 7/\xc3\xa9", ""},
        StoredIdentityCase{"ANumber", "42", "a1a2a3a4a5a6a7a8", "not a text"},
        StoredIdentityCase{"Null", "null", "a1a2a3a4a5a6a7a8", "not a text"},
        StoredIdentityCase{"AnObject", "{}", "a1a2a3a4a5a6a7a8", "not a text"},
        StoredIdentityCase{"Latin1NotUtf8", "\"Device \xe9t\xe9\"", "a1a2a3a4a5a6a7a8",
                           "not valid UTF-8 text"}),
    [](const auto& info) { return info.param.name; });

TEST_F(FacadeTest, DelegatesGetDeviceIdAndNotificationsOnTheGlobalQueue) {
  tembrolexinsdk::Messenger bus;
  tltest::BusProbe core(bus, {35, 36});
  auto decoder = makeDecoder(bus);
  core.waitFor(1);
  decoder->addDelegate(std::make_shared<IdProvidingDelegate>(app_));  // sends nothing
  decoder->addDelegate(nullptr);
  decoder->addDelegate(std::make_shared<AppDelegate>(app_));
  auto got = core.waitFor(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Hex(got[1].bytes), Hex(Bytes("08 0004 ffffffff 00")));

  EXPECT_FALSE(decoder->isListening());
  coreSends(bus, status(0));
  auto seen = app_.waitFor(2);
  EXPECT_EQ(seen, (std::vector<std::string>{"initialised", "initialised"}));  // not on our thread

  decoder->startDecoding();
  got = core.waitFor(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(Hex(got[2].bytes), Hex(Bytes("08 0001 00000000 02 0002 00 00")));
  coreSends(bus, status(1));
  app_.waitFor(4);
  EXPECT_TRUE(decoder->isListening());
  decoder->stopDecoding();
  coreSends(bus, status(2));
  app_.waitFor(6);
  EXPECT_FALSE(decoder->isListening());

  FailureSignal failure;
  failure.__set_descriptionString("microphone gone");
  coreSends(bus, failure);
  seen = app_.waitFor(8);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "failed:microphone gone"), 2);
}

// A delegate call queued before the release and not yet run is dropped:
// the app hears nothing from the decoder once it has let it go.
TEST_F(FacadeTest, ADelegateCallQueuedBeforeTheReleaseIsDropped) {
  tembrolexinsdk::Messenger bus;
  auto decoder = makeDecoder(bus);
  decoder->addDelegate(std::make_shared<AppDelegate>(app_));
  // Both threads of the global queue wait, so the call stays queued.
  std::promise<void> go;
  std::shared_future<void> released = go.get_future().share();
  for (int i = 0; i < 2; ++i) dispatcher_.globalQueue()->async([released] { released.wait(); });
  decoder->notifyStartListening();  // as the status listener does
  decoder.reset();
  go.set_value();
  dispatcher_.globalQueue()->shutDown();  // runs what it holds, then joins
  EXPECT_EQ(app_.texts(), std::vector<std::string>{});
}

// The Error lines of the library, each as "<sender>: <text>".
struct ErrorLines : TLLoggerDelegate {
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    if (params.level == 4) texts.add(sender + ": " + params.message);
  }
  Record texts;
};

// Releasing a decoder stops its bus for good: a decoder made on it later
// hears nothing, and says so once as it is made.
TEST_F(FacadeTest, ADecoderMadeOnABusStoppedForGoodSaysItWillHearNothing) {
  auto errors = std::make_shared<ErrorLines>();
  TLLogger::sharedLogger().setDelegate(errors);
  tembrolexinsdk::Messenger bus;
  makeDecoder(bus).reset();
  EXPECT_EQ(errors->texts.texts(), std::vector<std::string>{});
  auto next = makeDecoder(bus);
  next->startDecoding();
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_EQ(errors->texts.texts(),
            std::vector<std::string>{"-[TLDecoder init]: The message bus was stopped for good by "
                                     "the release of a decoder on it: this decoder will hear "
                                     "nothing"});
}

TEST_F(FacadeTest, CodewordsReachTheirEngineAndMoveTheConfidence) {
  tembrolexinsdk::Messenger bus;
  auto decoder = makeDecoder(bus);
  decoder->addDelegate(std::make_shared<IdProvidingDelegate>(app_));
  auto trigger = decoder->connectEngineDelegate(nullptr, TLEngineType::kTrigger);
  ASSERT_EQ(trigger, TriggerEngine::sharedEngine());
  EXPECT_EQ(TriggerEngine::sharedEngine()->messenger.get(), &decoder->messenger());
  decoder->connectEngineDelegate(nullptr, TLEngineType::kAnalytics);
  // Whether the start-up map reached the engines depends on timing; a marker
  // sent now arrives after it.
  coreSends(bus, SyncEngineSignal());
  ASSERT_TRUE(trigger_.waitForText("message:TembrolexinSDK:28"));
  ASSERT_TRUE(analytics_.waitForText("message:TembrolexinSDK:28"));
  trigger_.clear();
  analytics_.clear();

  // (sync, scheme): 3/7 raises 1 -> 3; 4/9 another scheme cannot raise;
  // 2/9 lowers to 2 and 9 becomes the scheme; 1 never counts; a negative
  // scheme never counts.
  coreSends(bus, codeword(11, "TRIGGER", 3, 7));
  coreSends(bus, codeword(12, "TRIGGER", 4, 9));
  coreSends(bus, codeword(13, "NOBODY", 2, 9));
  coreSends(bus, codeword(14, "CONFIDENCE", 1, 9));
  coreSends(bus, codeword(15, "TRIGGER", 4, -1));
  EXPECT_EQ(trigger_.waitFor(3),
            (std::vector<std::string>{"codeword:Decoder-P:11", "codeword:Decoder-P:12",
                                      "codeword:Decoder-P:15"}));
  EXPECT_EQ(analytics_.waitFor(1), (std::vector<std::string>{"codeword:Decoder-P:14"}));
  auto seen = app_.waitFor(2);
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()),
            (std::set<std::string>{"confidence:3", "confidence:2"}));
  EXPECT_EQ(decoder->currentConfidence(), 2);

  // Other reports: the analytics role gets status, level and support; other
  // message types reach every connected engine under the bus sender name.
  ProcessorStatusSignal ps;
  ps.__set_status(1);
  ps.__set_statusDescription("Listening");
  coreSends(bus, ps);
  AudioSignal level;
  level.__set_audioLevel(-30);
  coreSends(bus, level);
  auto support = status(4);
  support.__set_sampleRate(6);
  coreSends(bus, support);
  coreSends(bus, SyncEngineSignal());
  EXPECT_EQ(analytics_.waitFor(5),
            (std::vector<std::string>{"codeword:Decoder-P:14", "status:TembrolexinSDK:Listening",
                                      "level:-30", "support:6", "message:TembrolexinSDK:28"}));
  EXPECT_EQ(trigger_.waitFor(4).back(), "message:TembrolexinSDK:28");

  decoder->disconnectEngineDelegate(trigger);
  coreSends(bus, codeword(16, "TRIGGER", 2, 9));
  coreSends(bus, SyncEngineSignal());
  analytics_.waitFor(6);
  EXPECT_EQ(trigger_.texts().size(), 4u);
  // A type that no engine class serves (every named type has one built in).
  EXPECT_EQ(decoder->connectEngineDelegate(nullptr, static_cast<TLEngineType>(101)), nullptr);
  seen = app_.waitFor(3);
  EXPECT_EQ(seen.back(), "failed:No engine is available for the requested engine type.");
}

TEST_F(FacadeTest, PluginsTravelAsRegistryKeysNeverAsAddresses) {
  namespace handles = tembrolexinsdk::processorhandles;
  tembrolexinsdk::Messenger bus;
  tltest::BusProbe core(bus, {35});
  auto decoder = makeDecoder(bus);
  core.waitFor(1);
  std::vector<TLPlugin> plugins(3);
  auto* audio = new tembrolexinsdk::BaseAudioProcessor("audio", tembrolexinsdk::SampleRate_16000,
                                                       false, 250ms);
  plugins[0].audioProcessor.reset(audio);
  plugins[1].processor = std::make_unique<tembrolexinsdk::BaseAudioProcessor>(
      "generic", tembrolexinsdk::SampleRate_8000, false, 250ms);
  // plugins[2] is empty: nothing to hand over.
  decoder->initWithPlugins(std::move(plugins));
  auto got = core.waitFor(2);
  ASSERT_EQ(got.size(), 2u);
  InitData init;
  ASSERT_TRUE(parseMessage(got[1].bytes, init));
  EXPECT_FALSE(init.__isset.deviceId || init.__isset.filePath || init.__isset.udId);
  ASSERT_EQ(init.audioProcessorPlugins.size(), 1u);
  ASSERT_EQ(init.processorPlugins.size(), 1u);
  const int64_t audioKey = *init.audioProcessorPlugins.begin();
  EXPECT_NE(audioKey, static_cast<int64_t>(reinterpret_cast<intptr_t>(audio)));
  // A key of the other kind, or one already taken, gives nothing.
  EXPECT_EQ(handles::take(audioKey), nullptr);
  auto back = handles::takeAudio(audioKey);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back.get(), audio);
  EXPECT_EQ(handles::takeAudio(audioKey), nullptr);
  EXPECT_EQ(handles::take(*init.processorPlugins.begin())->GetName(), "generic");
}

class NtpRecord : public NTPReceiver {
 public:
  explicit NtpRecord(Record& r) : r_(r) {}
  void onNTPUpdate(const std::optional<NTPResult>& result) override {
    r_.add(result ? "ntp:" + result->ntpSource() : "ntp:none");
  }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

TEST_F(FacadeTest, NetworkTimeFallsBackOnceThenReportsNothing) {
  tltest::UdpTestServer server([](const std::string& request) {
    return std::vector<std::string>{tltest::sntpReply(request, 1000, 1000)};
  });
  tembrolexinsdk::Messenger bus;
  tltest::BusProbe core(bus, {34});
  auto decoder = makeDecoder(bus, server.port());
  Record receivers;
  decoder->registerNTPReceiver(std::make_shared<NtpRecord>(receivers));

  // Primary "" cannot be sent to; the fallback answers.
  decoder->setNTPServers({"", "127.0.0.1"});
  coreSends(bus, status(3));
  ASSERT_TRUE(pumpUntil([&] { return !core.messages().empty(); }));
  auto got = core.messages();
  ASSERT_EQ(got.size(), 1u);
  NTPInfoSignal info;
  ASSERT_TRUE(parseMessage(got[0].bytes, info));
  EXPECT_EQ(info.inTransmitTimestamp, 1000);
  EXPECT_EQ(info.rawNTP.size(), 48u);
  EXPECT_EQ(receivers.waitFor(1), (std::vector<std::string>{"ntp:127.0.0.1"}));

  // Both fail: one signal with no field set, and the receivers get none,
  // once, even when the pending time-out fires afterwards.
  decoder->setNTPServers({"", ""});
  coreSends(bus, status(3));
  ASSERT_TRUE(pumpUntil([&] { return core.messages().size() == 2; }));
  clock_.advance(5s);
  dispatcher_.timers().pump();
  dispatcher_.mainQueue()->drain();
  got = core.messages();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Hex(got[1].bytes), "00");
  EXPECT_EQ(receivers.waitFor(2), (std::vector<std::string>{"ntp:127.0.0.1", "ntp:none"}));
}

TEST_F(FacadeTest, AsksDuringARoundShareItsOneRequest) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  tltest::UdpTestServer server([&](const std::string& request) {
    released.wait_for(5s);
    return std::vector<std::string>{tltest::sntpReply(request, 1000, 1000)};
  });
  tembrolexinsdk::Messenger bus;
  tltest::BusProbe core(bus, {34});
  tltest::BusProbe marker(bus, {99});
  auto decoder = makeDecoder(bus, server.port());
  decoder->setNTPServers({"127.0.0.1"});
  // Three processors ask while the server has not answered yet: one before
  // the request is out (and the main queue heard it was sent), two after
  // it; the marker behind them is heard once the bus thread has handled
  // them.
  coreSends(bus, status(3));
  ASSERT_TRUE(server.awaitRequests(1));
  const auto sentBy = std::chrono::steady_clock::now() + 50ms;
  pumpUntil([&] { return std::chrono::steady_clock::now() > sentBy; });
  coreSends(bus, status(3));
  coreSends(bus, status(3));
  bus.send("Test", std::make_unique<tembrolexinsdk::ThriftParams>(99, 0, nullptr));
  ASSERT_EQ(marker.waitFor(1).size(), 1u);
  decoder->updateNTP();  // and so does the app
  release.set_value();
  ASSERT_TRUE(pumpUntil([&] { return !core.messages().empty(); }));
  dispatcher_.mainQueue()->drain();
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(core.messages().size(), 1u);
}

// A server that answered with a kiss-of-death is left out of the rounds for
// the back-off. One loopback server plays both hosts ("localhost" reaches
// 127.0.0.1 first); its first reply is the kiss, every later one a time.
struct KissCase {
  const char* name;
  std::vector<std::string> servers;
  // After the kissed round, a round within the back-off, and one after it.
  std::vector<std::string> heard;
  std::vector<std::size_t> datagrams;  // sent in all, after each round
};
void PrintTo(const KissCase& c, std::ostream* os) { *os << c.name; }
class FacadeKissTest : public FacadeTest, public testing::WithParamInterface<KissCase> {};

TEST_P(FacadeKissTest, KissedServerIsSkippedUntilItsBackOffEnds) {
  const KissCase& c = GetParam();
  tltest::UdpTestServer server([&](const std::string& request) {
    std::string reply = tltest::sntpReply(request, 1000, 1000);
    if (server.requests().size() == 1) {
      reply[1] = 0;  // stratum 0
      reply.replace(12, 4, "RATE");
    }
    return std::vector<std::string>{reply};
  });
  tembrolexinsdk::Messenger bus;
  tltest::BusProbe core(bus, {34});
  auto decoder = makeDecoder(bus, server.port());
  Record receivers;
  decoder->registerNTPReceiver(std::make_shared<NtpRecord>(receivers));
  decoder->setNTPServers(c.servers);
  for (std::size_t round = 0; round < 3; ++round) {
    if (round == 2) clock_.advance(TLDecoder::kKissOfDeathBackOff);
    decoder->updateNTP();
    ASSERT_TRUE(pumpUntil([&] { return core.messages().size() == round + 1; })) << round;
    EXPECT_EQ(server.requests().size(), c.datagrams[round]) << round;
  }
  EXPECT_EQ(receivers.waitFor(3), c.heard);
}

INSTANTIATE_TEST_SUITE_P(Servers, FacadeKissTest,
                         testing::Values(KissCase{"OtherServerAskedMeanwhile",
                                                  {"localhost", "127.0.0.1"},
                                                  {"ntp:127.0.0.1", "ntp:127.0.0.1",
                                                   "ntp:localhost"},
                                                  {2, 3, 4}},
                                         KissCase{"LoneServerRoundFailsUnsent",
                                                  {"127.0.0.1"},
                                                  {"ntp:none", "ntp:none", "ntp:127.0.0.1"},
                                                  {1, 1, 2}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- On the process-wide bus ------------------------------------------------

// A decoder of the app's on the process-wide bus, its data in `dir`, its
// delegate recording into `app`.
std::shared_ptr<TLDecoder> decoderOnTheProcessBus(const tltest::TempDir& dir,
                                                  Dispatcher& dispatcher, Record& app) {
  PlatformEnvironment env;
  env.documentsFolder = dir.file("Documents");
  env.bundleIdentifier = "com.example.app";
  env.keyStoreFolder = dir.file("keys");
  env.userDefaultsFile = dir.file("defaults.json");
  PlatformEnvironment::install(env);
  TLDecoder::Options options;
  options.coreBridge = {};
  options.dispatcher = &dispatcher;
  auto decoder = TLDecoder::create(options);
  decoder->addDelegate(std::make_shared<AppDelegate>(app));
  return decoder;
}

// The core's status report `status`, played on the process-wide bus.
void playCoreStatus(int32_t status) {
  SDKStatusSignal m;
  m.__set_status(status);
  MessageEnvelope e = MessageEnvelope::wrap(m);
  tembrolexinsdk::getMessenger()->send(
      "TembrolexinSDK",
      std::make_unique<tembrolexinsdk::ThriftParams>(e.msgType(), e.data().size(), e.data().data()));
}

// An app's decoder made with create() on the process-wide bus, with the
// core's status reports played on that bus. Connecting the CONTENT engine
// must not hand the bus to another decoder: the app keeps hearing start and
// stop, and isListening follows them. Ends the process: 0 when all held.
void connectContentThenStartAndStop() {
  tltest::TempDir dir;
  Dispatcher dispatcher(Dispatcher::Options{});
  Record app;
  auto decoder = decoderOnTheProcessBus(dir, dispatcher, app);
  ASSERT_NE(decoder->connectEngineDelegate(nullptr, TLEngineType::kContent), nullptr);

  playCoreStatus(1);
  ASSERT_TRUE(app.waitForText("started"));
  EXPECT_TRUE(decoder->isListening());
  playCoreStatus(2);
  ASSERT_TRUE(app.waitForText("stopped"));
  EXPECT_FALSE(decoder->isListening());
  std::fflush(nullptr);
  // Without static destructors: the bus thread and the decoder live on.
  std::_Exit(testing::Test::HasFailure() ? 1 : 0);
}

// Listening, as the core reported on the process-wide bus; then that bus
// stops, so the core's report of the stop cannot arrive, and the app shuts
// the library down: its delegate still hears stoppedListening, once, and
// isListening() is false. Ends the process: 0 when all held.
void shutDownWhileTheCoreCannotReport() {
  tltest::TempDir dir;
  Dispatcher dispatcher(Dispatcher::Options{});
  Record app;
  auto decoder = decoderOnTheProcessBus(dir, dispatcher, app);
  playCoreStatus(1);
  ASSERT_TRUE(app.waitForText("started"));
  ASSERT_TRUE(decoder->isListening());
  tembrolexinsdk::Messenger* bus = tembrolexinsdk::getMessenger();
  bus->stop();
  while (!bus->isStopped()) std::this_thread::sleep_for(1ms);

  TLDecoder::shutdown();
  EXPECT_FALSE(decoder->isListening());
  // What the shutdown handed to the delegates has been queued by now.
  dispatcher.shutDown();
  const std::vector<std::string> heard = app.texts();
  EXPECT_EQ(std::count(heard.begin(), heard.end(), "stopped"), 1);
  std::fflush(nullptr);
  std::_Exit(testing::Test::HasFailure() ? 1 : 0);
}

// Stopping the process-wide bus is final, so each scenario runs in a process
// of its own (the threadsafe style starts this executable again for it).
TEST(FacadeOnTheProcessBusTest, ContentEngineLeavesTheBusToTheDecoderThatConnectedIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(connectContentThenStartAndStop(), testing::ExitedWithCode(0), "");
}

TEST(FacadeOnTheProcessBusTest, ShutdownTellsOfTheStopThatTheCoreCannotReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(shutDownWhileTheCoreCannotReport(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tembrolexinplatform
