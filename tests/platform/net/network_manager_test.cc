// The network manager over a scripted transport on virtual time: queueing,
// back-off sequences per retry class, the server's attempt step, giving up,
// head re-queueing, stop / retryNow, the server-comms alert, uploads waiting
// for a server URL, and the StringRequest answer. Timers are manual; the main
// queue is the test thread's.

#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/messages/message_envelope.h"
#include "platform/net/network_manager.h"
#include "tests/platform/net/fake_transport.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_messenger.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;
using Connection = tltest::FakeTransport::Connection;

struct Outcome {
  bool final;
  int32_t code;
  FormParams params;
  std::string data;
};

struct Owner : TLNetworkManagerDelegate {
  void requestComplete(const std::string&, const FormParams& params, int32_t code, const std::string&,
                       const std::string& data, const std::string&) override {
    outcomes.push_back({true, code, params, data});
  }
  void requestFailed(const std::string&, const FormParams& params, int32_t code, const std::string&,
                     const std::string& data, const std::string&) override {
    outcomes.push_back({false, code, params, data});
  }
  std::vector<Outcome> outcomes;
};

// Told from the main queue and from whichever thread queues an upload.
struct Status : TLUploadStatusDelegate {
  void httpRequestFailed(int32_t delay) override {
    std::lock_guard<std::mutex> lock(mutex);
    delays.push_back(delay);
  }
  void serverCommsAlert(bool raised) override {
    std::lock_guard<std::mutex> lock(mutex);
    alerts.push_back(raised);
  }
  void uploadComplete() override {
    std::lock_guard<std::mutex> lock(mutex);
    ++completes;
  }
  void logsUploadState(int32_t n) override {
    std::lock_guard<std::mutex> lock(mutex);
    states.push_back(n);
  }
  std::mutex mutex;
  std::vector<int32_t> delays;
  std::vector<bool> alerts;
  int completes = 0;
  std::vector<int32_t> states;
};

struct NetType : TLNetworkTypeDelegate {
  int32_t currentConnectionType() override { return type; }
  int32_t type = 2;
};

constexpr char kPlugin[] = "tembrolexin_TestPlugin";

class NetworkManagerTest : public testing::Test {
 protected:
  NetworkManagerTest() {
    dispatcher.mainQueue()->bindToCurrentThread();
    manager->setUploadStatusDelegate(status);
    manager->setNetworkTypeDelegate(netType);
  }
  ~NetworkManagerTest() override { manager->cancelAll(); }

  void configure(int64_t alertHours = 0, int32_t maxAttempts = 3, bool deleteAfter = true,
                 int32_t backoffMs = 300000, std::shared_ptr<Messenger> messenger = nullptr) {
    manager->setSecureServerURL("https://srv", alertHours, maxAttempts, deleteAfter, backoffMs, messenger);
  }
  void upload(const std::string& tag, const std::string& plugin = kPlugin) {
    manager->requestUpload(plugin, FormParams{{"tag", tag}, {"tl_upload_ts", std::string()}}, owner);
  }
  void advance(std::chrono::seconds d) {
    clock.advance(d);
    dispatcher.timers().pump();
    dispatcher.mainQueue()->drain();
  }
  // The one connection on the wire.
  std::shared_ptr<Connection> onWire() {
    auto live = transport->live();
    return live.size() == 1 ? live[0] : nullptr;
  }
  static std::string field(const std::shared_ptr<Connection>& c, const std::string& name) {
    const std::string& body = c->desc.body;
    std::string marker = "name=\"" + name + "\"\r\n\r\n";
    std::size_t at = body.find(marker);
    if (at == std::string::npos) return "<none>";
    at += marker.size();
    return body.substr(at, body.find("\r\n", at) - at);
  }

  tltest::FakeClock clock;
  Dispatcher dispatcher{Dispatcher::Options{&clock, TimerMode::kManual, 1, false}};
  std::shared_ptr<tltest::FakeTransport> transport = std::make_shared<tltest::FakeTransport>();
  std::shared_ptr<TLNetworkManager> manager =
      TLNetworkManager::create(TLNetworkManager::Options{&dispatcher, transport});
  std::shared_ptr<Owner> owner = std::make_shared<Owner>();
  std::shared_ptr<Status> status = std::make_shared<Status>();
  std::shared_ptr<NetType> netType = std::make_shared<NetType>();
};

struct BackoffCase {
  std::string name;
  int32_t connectionType;  // 0: no network-type source
  int32_t status;          // 0: a transport failure (-1004)
  std::vector<int32_t> delays;
};

class BackoffTest : public NetworkManagerTest, public testing::WithParamInterface<BackoffCase> {};

TEST_P(BackoffTest, DelaysDoubleUpToTheClassLimit) {
  const BackoffCase& c = GetParam();
  if (c.connectionType == 0) manager->setNetworkTypeDelegate(nullptr);
  netType->type = c.connectionType;
  configure();
  upload("a");
  for (int32_t delay : c.delays) {
    auto wire = onWire();
    ASSERT_TRUE(wire);
    if (c.status == 0) {
      wire->fail(kURLErrorCannotConnectToHost);
    } else {
      wire->respond(c.status);
    }
    EXPECT_EQ(manager->serverCommsResumeTimeStamp(), delay);
    EXPECT_EQ(manager->getRequestState(), 1);
    // Not a second earlier.
    advance(std::chrono::seconds(delay - 1));
    EXPECT_FALSE(onWire());
    advance(1s);
  }
  EXPECT_EQ(status->delays, c.delays);
  // Without the server's attempt number the attempt never grows.
  EXPECT_EQ(field(onWire(), "upload_attempt"), "1");
  EXPECT_EQ(owner->outcomes.size(), c.delays.size());
  EXPECT_FALSE(owner->outcomes.back().final);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, BackoffTest,
    testing::Values(BackoffCase{"FailureOnType2", 2, 0, {30, 60, 120, 240, 480, 960, 1800, 1800}},
                    BackoffCase{"FailureOnType1", 1, 0, {30, 60, 120, 240, 480, 600, 600}},
                    BackoffCase{"FailureWithoutSource", 0, 0, {30, 60, 120, 240, 480, 960, 1800}},
                    BackoffCase{"MakerHeaderMissing", 1, 200, {600, 1200, 2400, 4800, 7200, 7200}},
                    BackoffCase{"NotFound", 2, 404, {600, 1200}},
                    BackoffCase{"ServerError", 1, 500, {600, 1200, 2400, 4800, 7200, 7200}}),
    [](const testing::TestParamInfo<BackoffCase>& info) { return info.param.name; });

TEST_F(NetworkManagerTest, ServerAttemptStepUsesBackoffSettingThenDoubles) {
  configure(0, 3, true, 45000);
  upload("a");
  onWire()->respond(500, {{"NextUploadAttempt", "2"}});
  EXPECT_EQ(status->delays, (std::vector<int32_t>{45}));
  advance(45s);
  auto retry = onWire();
  ASSERT_TRUE(retry);
  EXPECT_EQ(field(retry, "upload_attempt"), "2");
  EXPECT_EQ(field(retry, "tl_upload_ts"), "2026-12-06 00:00:45");
  // The same number again: no step, so the back-off doubles from 45.
  retry->respond(500, {{"NextUploadAttempt", "2"}});
  EXPECT_EQ(status->delays, (std::vector<int32_t>{45, 90}));
}

TEST_F(NetworkManagerTest, GivenUpPastMaxAttemptsWithDeletionRule) {
  for (bool deleteAfter : {false, true}) {
    configure(0, 3, deleteAfter);
    upload("a");
    onWire()->respond(500, {{"NextUploadAttempt", "4"}}, "body");
    ASSERT_FALSE(owner->outcomes.empty());
    const Outcome& last = owner->outcomes.back();
    EXPECT_TRUE(last.final);
    EXPECT_EQ(last.code, 400);
    EXPECT_EQ(last.data, "");
    ASSERT_TRUE(last.params.get("deleteAfterMaxUploadAttempts"));
    EXPECT_EQ(std::get<bool>(*last.params.get("deleteAfterMaxUploadAttempts")), deleteAfter);
    EXPECT_EQ(manager->getRequestState(), 2);
    EXPECT_EQ(manager->serverCommsResumeTimeStamp(), 0);
    EXPECT_EQ(manager->uploadRequestsForPlugin(kPlugin), 0);
  }
  EXPECT_EQ(status->completes, 2);
  EXPECT_TRUE(status->delays.empty());
}

TEST_F(NetworkManagerTest, RetryTakesTheHeadAndQueuesSendInParallel) {
  configure();
  upload("first");
  upload("second");
  upload("other", "tembrolexin_Fingerprint");
  ASSERT_EQ(transport->live().size(), 2u);  // one per queue
  EXPECT_EQ(manager->uploadRequests(), 3);
  auto first = transport->connections[0];
  EXPECT_EQ(first->desc.url, "https://srv/uploadModuleData");
  first->fail(kURLErrorTimedOut);
  EXPECT_EQ(manager->uploadRequestsForPlugin(kPlugin), 2);
  advance(30s);
  auto retried = transport->last();
  EXPECT_EQ(field(retried, "tag"), "first");
  retried->ok();
  EXPECT_EQ(field(transport->last(), "tag"), "second");
  EXPECT_EQ(owner->outcomes.back().code, 200);
}

TEST_F(NetworkManagerTest, NewUploadSendsTheWaitingRequestAtOnce) {
  configure();
  upload("a");
  onWire()->respond(503);
  EXPECT_FALSE(onWire());
  upload("b");
  auto wire = onWire();
  ASSERT_TRUE(wire);
  EXPECT_EQ(field(wire, "tag"), "a");
  // The pending timer was cancelled by that run: nothing more at 600 s.
  wire->ok();
  transport->last()->ok();
  std::size_t made = transport->count();
  advance(600s);
  EXPECT_EQ(transport->count(), made);
}

TEST_F(NetworkManagerTest, StopKeepsRequestsAndRetryNowRestarts) {
  configure();
  upload("a");
  onWire()->fail(kURLErrorCannotConnectToHost);
  advance(30s);
  auto wire = onWire();
  ASSERT_TRUE(wire);
  manager->stop();
  EXPECT_TRUE(wire->cancelled);
  EXPECT_EQ(manager->totalRequests(), 1);
  EXPECT_EQ(manager->serverCommsResumeTimeStamp(), 30);
  manager->retryNow();
  EXPECT_EQ(manager->serverCommsResumeTimeStamp(), 0);
  ASSERT_TRUE(onWire());
  EXPECT_EQ(field(onWire(), "tag"), "a");
  // The cancelled connection's late answer changes nothing.
  wire->cancelled = false;
  wire->ok();
  EXPECT_EQ(manager->totalRequests(), 1);
}

TEST_F(NetworkManagerTest, ServerCommsAlertAfterTimeoutWithoutCompletion) {
  configure(2);
  upload("a");
  onWire()->ok();
  advance(7199s);
  EXPECT_TRUE(status->alerts.empty());
  advance(1s);
  EXPECT_EQ(status->alerts, (std::vector<bool>{true}));
  advance(7200s);
  EXPECT_EQ(status->alerts, (std::vector<bool>{true}));  // raised once
  upload("b");
  onWire()->respond(204);
  EXPECT_EQ(status->alerts, (std::vector<bool>{true, false}));

  configure(0);
  upload("c");
  onWire()->ok();
  advance(100000s);
  EXPECT_EQ(status->alerts, (std::vector<bool>{true, false}));
}

TEST_F(NetworkManagerTest, UploadsWaitForServerUrlAndUnknownPluginsAreRefused) {
  upload("a");
  upload("dbg", kDebugPluginName);
  upload("x", "tembrolexin_Unknown");
  EXPECT_EQ(transport->count(), 0u);
  EXPECT_EQ(manager->uploadRequests(), 2);
  EXPECT_EQ(manager->debugUploadRequests(), 1);
  EXPECT_EQ(status->states, (std::vector<int32_t>{1, 2}));
  configure();
  ASSERT_EQ(transport->live().size(), 2u);
  EXPECT_EQ(transport->connections[0]->desc.url, "https://srv/uploadModuleData");
  EXPECT_EQ(transport->connections[1]->desc.url, "https://srv/uploaddbg");
}

TEST_F(NetworkManagerTest, ConnectionThatCannotBeMadeFailsAtOnce) {
  configure();
  transport->refuseNext = true;
  upload("a");
  ASSERT_EQ(owner->outcomes.size(), 1u);
  EXPECT_EQ(owner->outcomes[0].code, -1);
  EXPECT_EQ(status->delays, (std::vector<int32_t>{30}));
  // A request for a full URL goes to queue 4, without the maker-header test.
  manager->requestForURL("http://other/x", {}, owner);
  EXPECT_EQ(manager->requestsForType(4), 1);
  for (auto& c : transport->live()) {
    if (c->desc.url == "http://other/x") c->respond(200);
  }
  EXPECT_EQ(owner->outcomes.back().code, 200);
}

TEST_F(NetworkManagerTest, UploadsQueuedOnTheBusThreadWhileMainAnswers) {
  configure();
  constexpr int kUploads = 40;
  std::thread bus([&] {
    for (int i = 0; i < kUploads; ++i) upload(std::to_string(i), i % 2 ? kPlugin : "tembrolexin_FPServer");
  });
  int answered = 0;
  for (int spins = 0; answered < kUploads && spins < 100000; ++spins) {
    for (auto& c : transport->live()) {
      c->ok();
      ++answered;
    }
    std::this_thread::yield();
  }
  bus.join();
  EXPECT_EQ(answered, kUploads);
  EXPECT_EQ(manager->uploadRequests(), 0);
  EXPECT_EQ(owner->outcomes.size(), static_cast<std::size_t>(kUploads));
}

TEST_F(NetworkManagerTest, AnswersStringRequestsWithTheServerUrl) {
  tltest::RecordingMessenger bus;
  auto messenger = std::make_shared<Messenger>(&bus);
  configure(0, 3, true, 300000, messenger);
  auto deliver = [&](int32_t messageType) {
    StringRequest request;
    request.__set_messageType(messageType);
    request.__set_contentType(1);
    messenger->receiveThriftMessage(TLThriftParams(MessageEnvelope::wrap(request)), "CONTENT");
  };
  deliver(1);  // a Response is not answered
  EXPECT_EQ(bus.sentCount(), 0u);
  deliver(0);
  ASSERT_EQ(bus.sentCount(), 1u);
  auto sent = bus.sent()[0];
  EXPECT_EQ(sent.senderName, "TLNetworkManager");
  const auto& bytes = sent.params->getData();
  auto answer = MessageEnvelope(sent.params->getMsgType(), std::string(bytes.begin(), bytes.end()))
                    .newMessageOfType<StringRequest>();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->messageType, 1);
  EXPECT_EQ(answer->contentType, 1);
  EXPECT_EQ(answer->response, "https://srv");
  configure(0, 3, true, 300000, nullptr);
  EXPECT_EQ(messenger->receiverCount(21), 0u);
}

TEST_F(NetworkManagerTest, HoldsItsMessengerUntilReplaced) {
  tltest::RecordingMessenger bus;
  auto messenger = std::make_shared<Messenger>(&bus);
  const std::weak_ptr<Messenger> held = messenger;
  configure(0, 3, true, 300000, messenger);
  messenger.reset();  // its maker lets go: the manager keeps it, and answers through it
  ASSERT_FALSE(held.expired());
  StringRequest request;
  request.__set_messageType(0);
  held.lock()->receiveThriftMessage(TLThriftParams(MessageEnvelope::wrap(request)), "CONTENT");
  EXPECT_EQ(bus.sentCount(), 1u);
  // Replacing it unregisters from it and lets it go.
  auto next = std::make_shared<Messenger>(&bus);
  configure(0, 3, true, 300000, next);
  EXPECT_TRUE(held.expired());
  EXPECT_EQ(next->receiverCount(21), 1u);
  configure(0, 3, true, 300000, nullptr);
  EXPECT_EQ(next->receiverCount(21), 0u);
}

}  // namespace
}  // namespace tembrolexinplatform
