// The ANALYTICS engine: what reaches the app's delegate (and on which
// thread), prepared files turned into uploads per plug-in, and the app's
// commands passed to the facade and the network manager.

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/engines/analytics_engine.h"
#include "platform/messages/message_envelope.h"
#include "tests/platform/net/fake_transport.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

struct AppDelegate : TLAnalyticsEngineDelegate {
  void processorWithNameRaisedEvent(const std::string& name,
                                    std::shared_ptr<const TLProcessorEventParams> event) override {
    calls.push_back("event " + name);
    events.push_back(event);
  }
  void processorWithNameChangedStatus(const std::string& name,
                                      std::shared_ptr<const TLGenericStatusParams> status) override {
    calls.push_back("status " + name + " " + status->statusDescription());
  }
  void levelMeasured(int16_t level) override { calls.push_back("level " + std::to_string(level)); }
  void audioSupport(int32_t rates) override { calls.push_back("support " + std::to_string(rates)); }
  int32_t currentNetworkConnectionType() override { return 1; }
  std::vector<std::string> calls;
  std::vector<std::shared_ptr<const TLProcessorEventParams>> events;
};

struct SignalDelegate : AppDelegate, TLAnalyticsAudioSignalReceiver {
  void audioSignalReceived(const TLAudioSignal& s) override {
    calls.push_back("signal " + std::to_string(s.numberOfInvalidSamples()));
  }
};

struct Commands : IEngineDecoder {
  void configure(const ConfigDictionary&) override { log.push_back("configure"); }
  void setDeviceId(int32_t id) override { log.push_back("setDeviceId " + std::to_string(id)); }
  void prepareData() override { log.push_back("prepareData"); }
  void updateNTP() override { log.push_back("updateNTP"); }
  void registerNTPReceiver(std::shared_ptr<NTPReceiver>) override { log.push_back("register"); }
  void unRegisterNTPReceiver(const std::shared_ptr<NTPReceiver>&) override { log.push_back("unregister"); }
  void setNTPServers(std::vector<std::string> s) override { log.push_back("servers " + s.at(1)); }
  std::vector<std::string> log;
};

std::shared_ptr<const TLProcessorEventParams> envelope(const ::apache::thrift::TBase& message) {
  return TLThriftParams::initWithMessage(message);
}

CheckedFilePreparedEventSignal prepared(const std::string& path) {
  CheckedFilePreparedEventSignal message;
  message.__set_mPathsToPreparedFilesWithChecks({{path, std::string("\x0f", 1)}});
  return message;
}

class AnalyticsEngineTest : public testing::Test {
 protected:
  AnalyticsEngineTest() {
    dispatcher.mainQueue()->bindToCurrentThread();
    network->setSecureServerURL("https://srv", 0, 3, true, 300000, nullptr);
  }

  tltest::TempDir dir;
  tltest::FakeClock clock;
  AppCallGate appCalls;
  Dispatcher dispatcher{[this] {
    Dispatcher::Options options{&clock, TimerMode::kManual, 1, false};
    options.appCalls = &appCalls;
    return options;
  }()};
  std::shared_ptr<tltest::FakeTransport> transport = std::make_shared<tltest::FakeTransport>();
  std::shared_ptr<TLNetworkManager> network = TLNetworkManager::create({&dispatcher, transport});
  std::shared_ptr<Commands> commands = std::make_shared<Commands>();
  std::shared_ptr<TLAnalyticsEngine> engine = TLAnalyticsEngine::create(
      {&dispatcher, network, commands,
       TLPluginFileManager::Options{nullptr, std::make_shared<UserDefaults>(dir.file("defaults.json")),
                                    dir.file("keys")}});
};

TEST_F(AnalyticsEngineTest, DelegateHearsEverythingOnTheMainQueueInOrder) {
  auto app = std::make_shared<SignalDelegate>();
  engine->setDelegate(app);
  PartialCodewordSignal partial;
  partial.__set_pluginName("tembrolexin_DB");
  partial.__set_encoderID(12);
  partial.__set_nCodewords(3);
  AudioSignal audio;
  audio.__set_audioLevel(-17);
  audio.__set_numberInvalidSamples(4);
  StringRequest unrelated;
  unrelated.__set_messageType(0);

  // From the bus thread: nothing runs until the main queue is pumped.
  std::thread bus([&] {
    engine->processEventParams(envelope(partial), "tembrolexin_DB");
    engine->processEventParams(envelope(unrelated), "X");
    engine->audioProcessorWithNameRaisedStatus("P", std::make_shared<TLGenericStatusParams>("Idle"));
    engine->audioDecoderAudioSignal(TLAudioSignal(audio));
    engine->handleAudioSupport(0x3FFE);
  });
  bus.join();
  EXPECT_TRUE(app->calls.empty());
  dispatcher.mainQueue()->drain();
  EXPECT_EQ(app->calls, (std::vector<std::string>{"event tembrolexin_DB", "status P Idle", "level -17",
                                                  "signal 4", "support 16382"}));
  auto params = std::dynamic_pointer_cast<const TLPartialCodewordParams>(app->events.at(0));
  ASSERT_TRUE(params);
  EXPECT_EQ(params->pluginName(), "tembrolexin_DB");
  EXPECT_EQ(params->encoderID(), 12);
  EXPECT_EQ(params->nCodewords(), 3);
}

TEST_F(AnalyticsEngineTest, OnlyAConformingDelegateIsCalledOrAsked) {
  auto plain = std::make_shared<TLEngineDelegate>();
  engine->setDelegate(plain);
  AudioSignal audio;
  engine->audioDecoderAudioSignal(TLAudioSignal(audio));
  engine->handleAudioSupport(2);
  EXPECT_EQ(engine->currentConnectionType(), 0);

  // A delegate without audioSignalReceived still hears the level.
  auto app = std::make_shared<AppDelegate>();
  engine->setDelegate(app);
  engine->audioDecoderAudioSignal(TLAudioSignal(audio));
  EXPECT_EQ(app->calls, (std::vector<std::string>{"level 0"}));
  EXPECT_EQ(engine->currentConnectionType(), 1);

  // Asked on the network code's threads, so it passes the gate itself.
  appCalls.close(std::chrono::nanoseconds(0));
  EXPECT_EQ(engine->currentConnectionType(), 0);
  EXPECT_EQ(appCalls.refusedCount(), 1u);
}

TEST_F(AnalyticsEngineTest, PreparedFilesBecomeUploadsPerPluginOnceDeviceIdIsSet) {
  engine->setDelegate(std::make_shared<AppDelegate>());
  const std::string file = dir.file("f.zip");
  std::ofstream(file) << "data";
  // No device id yet: ignored.
  engine->processEventParams(envelope(prepared(file)), "tembrolexin_TestPlugin");
  EXPECT_EQ(network->totalRequests(), 0);

  engine->setDeviceId(77);
  EXPECT_EQ(commands->log, (std::vector<std::string>{"setDeviceId 77"}));
  engine->processEventParams(envelope(prepared(file)), "tembrolexin_TestPlugin");
  engine->processEventParams(envelope(prepared(file)), "tembrolexin_Fingerprint");
  engine->processEventParams(envelope(prepared(file)), "tembrolexin_TestPlugin");
  EXPECT_EQ(engine->fileManagerCount(), 2u);
  EXPECT_EQ(network->uploadRequestsForPlugin("tembrolexin_TestPlugin"), 2);
  EXPECT_EQ(network->uploadRequestsForPlugin("tembrolexin_Fingerprint"), 1);
  // Each plug-in numbers its own uploads; the engine's delegate answers the
  // connection type.
  auto live = transport->live();
  ASSERT_EQ(live.size(), 2u);
  for (const auto& c : live) {
    EXPECT_NE(c->desc.body.find("name=\"tl_upload_seq\"\r\n\r\n1\r\n"), std::string::npos);
    EXPECT_NE(c->desc.body.find("name=\"tl_enduser_id\"\r\n\r\n77\r\n"), std::string::npos);
    EXPECT_NE(c->desc.body.find("name=\"tl_nettype\"\r\n\r\n1\r\n"), std::string::npos);
  }
  EXPECT_EQ(engine->fileManagerForPlugin("tembrolexin_TestPlugin")->nextSequenceNumber(), 3);
  EXPECT_EQ(engine->fileManagerForPlugin("tembrolexin_Fingerprint")->nextSequenceNumber(), 2);
}

TEST_F(AnalyticsEngineTest, CommandsBeforeADecoderConnectsReachItInOrder) {
  auto unconnected = TLAnalyticsEngine::create({&dispatcher, network, nullptr, {}});
  unconnected->setDeviceId(5);
  unconnected->prepareData();
  unconnected->setNTPServers({"a", "b"});
  auto decoder = std::make_shared<Commands>();
  unconnected->setDecoder(decoder);
  unconnected->updateNTP();
  EXPECT_EQ(decoder->log,
            (std::vector<std::string>{"setDeviceId 5", "prepareData", "servers b", "updateNTP"}));
  EXPECT_EQ(unconnected->deviceId(), 5);
}

TEST_F(AnalyticsEngineTest, AppCommandsReachFacadeAndNetworkManager) {
  engine->prepareData();
  engine->updateNTP();
  engine->registerNTPReceiver(nullptr);
  engine->unRegisterNTPReceiver(nullptr);
  engine->setNTPServers({"a.example", "b.example"});
  EXPECT_EQ(commands->log,
            (std::vector<std::string>{"prepareData", "updateNTP", "register", "unregister", "servers b.example"}));
  engine->setSecureServerURL("https://uploads.example", 2, 5, false, 1000);
  EXPECT_EQ(network->secureServerURL(), "https://uploads.example");
  EXPECT_EQ(engine->engineName(), "ANALYTICS");
}

}  // namespace
}  // namespace tembrolexinplatform
