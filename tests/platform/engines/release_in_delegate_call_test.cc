// What the app does with its decoder and engines from inside an engine's
// delegate call: the bus thread that delivered the message waits for that
// call on the main queue (bound to the test's thread here), so nothing done
// there may wait for the bus thread. Each test ends the process, failing,
// if its thread hangs.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_content_engine.h"
#include "platform/engines/tl_trigger_engine.h"
#include "platform/messages/message_envelope.h"
#include "platform/net/reachability.h"
#include "platform/runtime/local_notifications.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/runtime/bus_probe.h"
#include "tests/support/hang_guard.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

template <typename T>
void sendAsTheCore(tembrolexinsdk::IMessenger& bus, const T& message) {
  const MessageEnvelope e = MessageEnvelope::wrap(message);
  bus.send("TembrolexinSDK", std::make_unique<tembrolexinsdk::ThriftParams>(
                                 e.msgType(), e.data().size(), e.data().data()));
}

CodewordSignal wordForTrigger(int64_t msg) {
  CodewordSignal c;
  c.__set_sender("Decoder-P");
  c.__set_msg(msg);
  c.__set_engineRef("TRIGGER");
  c.__set_syncState(1);
  return c;
}

class ReleaseInsideADelegateCallTest : public testing::Test {
 protected:
  ReleaseInsideADelegateCallTest() {
    dispatcher_.mainQueue()->bindToCurrentThread();
    engine_->setDispatcher(&dispatcher_);
  }
  ~ReleaseInsideADelegateCallTest() override {
    engine_->setMessenger(nullptr);
    engine_->setDelegate(nullptr);
    engine_->setDispatcher(nullptr);
  }
  // Runs the main queue until `done`, at most 10 s.
  bool pumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
      dispatcher_.mainQueue()->drain();
      if (done()) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  Dispatcher dispatcher_{Dispatcher::Options{&tembrolexinsdk::Clock::real(), TimerMode::kManual, 1,
                                             false}};
  const std::shared_ptr<TLTriggerEngine> engine_ = TLTriggerEngine::sharedEngine();
};

// A one-shot app: done once a code word has arrived, it drops its decoder
// there. Called on the main queue only.
class OneShotApp : public TLCodewordReceivedDelegate {
 public:
  void codewordReceived(int64_t codeword, TLDate) override {
    heard.push_back(codeword);
    decoder.reset();  // the last reference
  }
  std::shared_ptr<TLDecoder> decoder;
  std::vector<int64_t> heard;
};

TEST_F(ReleaseInsideADelegateCallTest, ADecoderReleasedInCodewordReceivedIsTornDownOnceItReturned) {
  tltest::HangGuard guard("Releasing the decoder inside codewordReceived");
  tembrolexinsdk::Messenger bus;
  TLDecoder::Options options;
  options.bus = &bus;
  options.coreBridge = {};
  options.dispatcher = &dispatcher_;
  auto app = std::make_shared<OneShotApp>();
  app->decoder = TLDecoder::create(options);
  ASSERT_EQ(app->decoder->connectEngineDelegate(app, TLEngineType::kTrigger), engine_);
  const std::weak_ptr<Messenger> messenger = app->decoder->sharedMessenger();
  ASSERT_EQ(TLLogger::sharedLogger().messenger(), messenger.lock());
  // Code words reach TRIGGER through the decoder: once the engine lets go
  // of the decoder's Messenger, the bridge alone holds it, until the end of
  // the decoder's teardown.
  engine_->setMessenger(nullptr);

  // The second word is queued before the first reaches the app.
  sendAsTheCore(bus, wordForTrigger(1111));
  sendAsTheCore(bus, wordForTrigger(2222));
  EXPECT_TRUE(pumpUntil([&] { return bus.isStopped() && messenger.expired(); }));
  EXPECT_EQ(app->heard, std::vector<int64_t>{1111});
  EXPECT_EQ(TLLogger::sharedLogger().messenger(), nullptr);
}

// Connects TRIGGER to another decoder's Messenger from inside the
// triggerReceived of an audio match, which the delivery to the engine's own
// receiver waits for. Called on the main queue only.
class ReconnectingApp : public TLTriggerReceivedDelegate {
 public:
  void triggerReceived(const TLTrigger& trigger) override {
    heard.push_back(trigger.triggerId());
    TLTriggerEngine::sharedEngine()->setMessenger(next);
  }
  std::shared_ptr<Messenger> next;
  std::vector<std::string> heard;
};

TEST_F(ReleaseInsideADelegateCallTest, AnEngineMovesToAnotherMessengerInsideItsOwnDelegateCall) {
  tltest::HangGuard guard("Moving TRIGGER to another Messenger inside triggerReceived");
  tembrolexinsdk::Messenger busA, busB;
  auto first = std::make_shared<Messenger>(&busA);
  auto app = std::make_shared<ReconnectingApp>();
  app->next = std::make_shared<Messenger>(&busB);
  engine_->setDelegate(app);
  engine_->setMessenger(first);

  AMSignal match;
  match.__set_amId("am-7");
  sendAsTheCore(busA, match);
  EXPECT_TRUE(pumpUntil([&] { return !app->heard.empty(); }));
  EXPECT_EQ(app->heard, std::vector<std::string>{"am-7"});
  EXPECT_EQ(first->receiverCount(kMessageTypeId<AMSignal>), 0u);
  EXPECT_EQ(app->next->receiverCount(kMessageTypeId<AMSignal>), 1u);
}

// The app holds its only reference to a decoder, or to a CONTENT engine of
// its own, and drops it inside a call into the app that one of its methods
// makes and then goes on from: a log line, actionWillOpen, or TRIGGER's
// codewordReceived. It then gives the teardown 200 ms, as long as one on a
// thread of the library's takes.
// The method must run to its end on what it holds, and the teardown come
// only after it.
class DroppingApp : public TLContentEngineDelegate,
                    public TLLoggerDelegate,
                    public std::enable_shared_from_this<DroppingApp> {
 public:
  void drop() {
    decoder.reset();
    content.reset();
    dropped = true;
    tornDownInsideTheCall = tornDown.wait(200ms);
  }
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    if (std::this_thread::get_id() != caller_ || dropped) return;
    if (sender + ": " + params.message == dropOnLine) drop();
  }
  bool actionWillOpen(const std::shared_ptr<TLBundleAction>&) override {
    drop();
    return true;
  }
  void messageReceived(const std::optional<Json::Value>&, std::shared_ptr<TLBundle>) override {}
  void contentEngineDidFail(int64_t, std::shared_ptr<TLBundle>,
                            std::shared_ptr<TLBundleAction>) override {}

  // Gone once the decoder's or the engine's teardown has freed it.
  std::shared_ptr<void> sentinel() {
    return std::shared_ptr<void>(new int(0), [gate = &tornDown](void* p) {
      delete static_cast<int*>(p);
      gate->open();
    });
  }

  std::shared_ptr<TLDecoder> decoder;
  std::shared_ptr<TLContentEngine> content;
  std::string dropOnLine;  // "<sender>: <text>" of the line to drop on
  bool dropped = false;
  bool tornDownInsideTheCall = false;
  tltest::Gate tornDown;

 private:
  const std::thread::id caller_ = std::this_thread::get_id();
};

// TRIGGER's delegate that has the app drop what it holds.
struct DropsOnWord : TLCodewordReceivedDelegate {
  explicit DropsOnWord(DroppingApp& app) : app(app) {}
  void codewordReceived(int64_t, TLDate) override { app.drop(); }
  DroppingApp& app;
};

class ReleaseInsideAMethodTest;

struct MethodCase {
  std::string name;
  // Makes what the app then holds alone and returns the method's call,
  // made through the app's reference.
  std::function<std::function<void()>(ReleaseInsideAMethodTest&, DroppingApp&)> arrange;
};

class ReleaseInsideAMethodTest : public testing::TestWithParam<MethodCase> {
 protected:
  ReleaseInsideAMethodTest() {
    dispatcher_.mainQueue()->bindToCurrentThread();
    // No folders: the decoder writes nothing.
    PlatformEnvironment::install(PlatformEnvironment{});
    TLLogger::sharedLogger().setDelegate(app_);
  }
  ~ReleaseInsideAMethodTest() override {
    TLLogger::sharedLogger().unsetDelegate();
    PlatformEnvironment::install(saved_);
    auto trigger = TLTriggerEngine::sharedEngine();
    trigger->setMessenger(nullptr);
    trigger->setDelegate(nullptr);
    trigger->setDispatcher(nullptr);
  }

 public:
  std::shared_ptr<TLDecoder> decoder() {
    TLDecoder::Options options;
    options.bus = &bus_;
    options.coreBridge = [sentinel = app_->sentinel()](tembrolexinsdk::IMessenger*) {
      return sentinel;
    };
    options.dispatcher = &dispatcher_;
    return TLDecoder::create(std::move(options));
  }
  std::shared_ptr<TLContentEngine> contentEngine() {
    TLContentEngine::Options o;
    o.configure = [sentinel = app_->sentinel()](const ConfigDictionary&) {};
    o.dispatcher = &dispatcher_;
    o.webViewHost = [] { return nullptr; };
    o.notifications = std::make_shared<InProcessNotificationCenter>(dispatcher_, nullptr);
    o.notificationCenter = &notes_;
    o.reachability = Reachability::withSource(std::make_unique<FakeReachabilitySource>(), notes_);
    o.documentsFolder = "/docs";
    return TLContentEngine::create(std::move(o));
  }
  // TRIGGER calls its delegate on this test's main queue, at once.
  void triggerOnThisThread() { TLTriggerEngine::sharedEngine()->setDispatcher(&dispatcher_); }

 protected:
  const PlatformEnvironment saved_ = PlatformEnvironment::current();
  Dispatcher dispatcher_{Dispatcher::Options{&tembrolexinsdk::Clock::real(), TimerMode::kManual, 1,
                                             false}};
  NotificationCenter notes_;
  tembrolexinsdk::Messenger bus_;
  const std::shared_ptr<DroppingApp> app_ = std::make_shared<DroppingApp>();
};

TEST_P(ReleaseInsideAMethodTest, TheMethodEndsBeforeTheTeardown) {
  tltest::HangGuard guard("Releasing inside " + GetParam().name);
  const std::function<void()> call = GetParam().arrange(*this, *app_);
  call();
  EXPECT_TRUE(app_->dropped);
  EXPECT_FALSE(app_->tornDownInsideTheCall);
  EXPECT_TRUE(app_->tornDown.wait());
}

INSTANTIATE_TEST_SUITE_P(
    Methods, ReleaseInsideAMethodTest,
    testing::Values(
        MethodCase{"DecoderStartDecoding",
                   [](ReleaseInsideAMethodTest& t, DroppingApp& app) -> std::function<void()> {
                     app.decoder = t.decoder();
                     app.dropOnLine =
                         "-[TLDecoder startDecoding]: startDecoding ENTRY (not recording)";
                     return [&app] { app.decoder->startDecoding(); };
                   }},
        MethodCase{"DecoderConnectEngineDelegate",
                   [](ReleaseInsideAMethodTest& t, DroppingApp& app) -> std::function<void()> {
                     app.decoder = t.decoder();
                     app.dropOnLine = "-[TLDecoder connectEngineDelegate:toEngineType:]: entry";
                     return [&app] {
                       app.decoder->connectEngineDelegate(nullptr, TLEngineType::kTrigger);
                     };
                   }},
        MethodCase{"ContentOpenBundleAction",
                   [](ReleaseInsideAMethodTest& t, DroppingApp& app) -> std::function<void()> {
                     app.content = t.contentEngine();
                     app.content->setDelegate(app.shared_from_this());
                     TLBundleAction::Fields fields;
                     fields.actionId = "a1";
                     auto action = std::make_shared<TLBundleAction>(nullptr, fields);
                     return [&app, action] { app.content->openBundleAction(action); };
                   }},
        MethodCase{"DecoderAudioProcessorWithNameRaisedEvent",
                   [](ReleaseInsideAMethodTest& t, DroppingApp& app) -> std::function<void()> {
                     app.decoder = t.decoder();
                     t.triggerOnThisThread();
                     app.decoder->connectEngineDelegate(std::make_shared<DropsOnWord>(app),
                                                        TLEngineType::kTrigger);
                     auto word = std::make_shared<TLCodewordEventParams>(
                         TLCodewordEventParams::Fields{
                             .syncState = 3, .msg = 77, .sigScheme = 2, .engineRef = "TRIGGER"},
                         1, 2);
                     return [&app, word] {
                       app.decoder->audioProcessorWithNameRaisedEvent("Decoder-P", word);
                     };
                   }},
        MethodCase{"ContentOnBundlesUpdated",
                   [](ReleaseInsideAMethodTest& t, DroppingApp& app) -> std::function<void()> {
                     app.content = t.contentEngine();
                     app.dropOnLine =
                         "-[TimedActionScheduler updateBundles:]: TimedActionScheduler "
                         "updateBundles";
                     return [&app] { app.content->onBundlesUpdated({}); };
                   }}),
    [](const testing::TestParamInfo<MethodCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tembrolexinplatform
