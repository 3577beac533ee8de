// Releasing on the app's main thread while a thread of the library's waits
// for that thread to take a delegate call (TRIGGER's word on the bus thread,
// an EVENT engine's timed event, a core line the log delegate shows there).
// The main queue drops a call not taken within 2 s (the library's own waits
// 5 s): a release must return at once, the teardown end once it is pumped.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/messenger.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_event_engine.h"
#include "platform/engines/tl_trigger_engine.h"
#include "platform/messages/message_envelope.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/engines/line_hook.h"
#include "tests/platform/runtime/bus_probe.h"
#include "tests/support/fake_clock.h"
#include "tests/support/hang_guard.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

// What the app's TRIGGER and EVENT delegates heard on the main queue:
// "word:<n>", "track:<id>", "synced:<id>", "timed:<id>". Each holds a copy
// of the test's record, which shares it.
struct WordsHeard : TLCodewordReceivedDelegate {
  explicit WordsHeard(tltest::Record& r) : r(r) {}
  void codewordReceived(int64_t cw, TLDate) override { r.add("word:" + std::to_string(cw)); }
  tltest::Record r;
};
struct EventsHeard : TLEventEngineDelegate {
  explicit EventsHeard(tltest::Record& r) : r(r) {}
  void eventEngineDetectedTrack(const std::optional<std::string>& v, TLDate) override {
    r.add("track:" + v.value_or("nil"));
    if (inTrack) inTrack();
  }
  void eventEngineDetectedTimedEvent(const std::optional<std::string>& v, TLDate) override {
    r.add("timed:" + v.value_or("nil"));
  }
  void eventEngineSynchronised(const std::optional<std::string>& v, TLDate) override {
    r.add("synced:" + v.value_or("nil"));
  }
  tltest::Record r;
  std::function<void()> inTrack;
};

class ReleaseOnTheMainThreadTest;

struct MainThreadCase {
  std::string name;
  // Whether the teardown has ended as the step returns (none: either).
  std::optional<bool> tornDownAtReturn;
  std::vector<std::string> heard;
  // Gives the app its only reference and returns the app's step that lets
  // it go: the release, or a method under which the log delegate releases.
  std::function<std::function<void()>(ReleaseOnTheMainThreadTest&)> arrange;
};

class ReleaseOnTheMainThreadTest : public testing::TestWithParam<MainThreadCase> {
 public:
  ReleaseOnTheMainThreadTest() {
    dispatcher_.mainQueue()->bindToCurrentThread();
    PlatformEnvironment::install(PlatformEnvironment{});  // no folders: nothing written
    trigger_->setDispatcher(&dispatcher_);
    TLLogger::sharedLogger().setDelegate(
        std::make_shared<LineHook>([this](const std::string& line) { onLine(line); }));
  }
  ~ReleaseOnTheMainThreadTest() override {
    TLLogger::sharedLogger().unsetDelegate();
    PlatformEnvironment::install(saved_);
    trigger_->setMessenger(nullptr);
    trigger_->setDelegate(nullptr);
    trigger_->setDispatcher(nullptr);
  }

  // The app's log delegate: shows "probe" on its main thread, waiting.
  void onLine(const std::string& line) {
    if (line == "Torn down") tornDown_.open();
    if (line == "probe")
      dispatcher_.mainQueue()->syncWithin([] {}, tembrolexinsdk::Clock::real(), 2s);
    if (std::this_thread::get_id() == main_ && line == dropOnLine && !dropped.exchange(true)) {
      decoder.reset();
    }
  }
  // A decoder on the test's bus; its end opens tornDown_.
  void makeDecoder() {
    TLDecoder::Options options;
    options.bus = &bus_;
    options.coreBridge = [this](tembrolexinsdk::IMessenger*) {
      return std::shared_ptr<void>(this, [this](void*) { tornDown_.open(); });
    };
    options.dispatcher = &dispatcher_;
    decoder = TLDecoder::create(std::move(options));
    ASSERT_EQ(decoder->connectEngineDelegate(words, TLEngineType::kTrigger), trigger_);
  }
  // The core's word for TRIGGER, which the bus thread hands to this thread.
  void wordForTriggerWaits(int64_t msg) {
    CodewordSignal c;
    c.__set_sender("Decoder-P");
    c.__set_msg(msg);
    c.__set_engineRef("TRIGGER");
    c.__set_syncState(1);
    coreSendsAndWaits(c);
  }
  // The core's line "probe", which the log delegate shows on this thread.
  void coreLineWaits() {
    LogSignal line;
    line.__set_logType(2);
    line.__set_message("probe");
    coreSendsAndWaits(line);
  }
  // Until a thread of the library's waits for what `message` has queued.
  template <typename T>
  void coreSendsAndWaits(const T& message) {
    const MessageEnvelope e = MessageEnvelope::wrap(message);
    bus_.send("TembrolexinSDK", std::make_unique<tembrolexinsdk::ThriftParams>(
                                    e.msgType(), e.data().size(), e.data().data()));
    callQueued();
  }
  // An EVENT engine on track 1001 that heard the sync word; "a" is due as it syncs.
  void makeEventEngine() {
    event = TLEventEngine::create(dispatcher_, clock_);
    ASSERT_TRUE(
        event->registerEventSequence(1001, R"({"events": [{"id": "a", "time": 20.16}]})", 30));
    event->setDelegate(events);
    eventHears(31744);
  }
  void eventHears(int64_t cw) {
    TLCodewordEventParams::Fields f;
    f.msg = cw;
    f.codewordDuration = 10080;
    event->processEventParams(std::make_shared<TLCodewordEventParams>(f, clock_.upTimeMillis(), 0),
                              "decoder");
  }
  // Until a thread of the library's waits for a call queued to this thread.
  void callQueued() {
    MainQueue::waitUnlessAwaited([] { return false; });
  }
  // Pumps the main queue until `done`, at most 5 s.
  void pumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (!done() && std::chrono::steady_clock::now() < end) {
      dispatcher_.mainQueue()->drain();
      std::this_thread::sleep_for(1ms);
    }
  }
  bool tornDown() { return tornDown_.wait(0ms); }

  std::shared_ptr<TLDecoder> decoder;
  std::shared_ptr<TLEventEngine> event;
  std::string dropOnLine;  // the log delegate drops the decoder on it
  std::atomic<bool> dropped{false};
  tltest::Record heard;
  const std::shared_ptr<WordsHeard> words = std::make_shared<WordsHeard>(heard);
  const std::shared_ptr<EventsHeard> events = std::make_shared<EventsHeard>(heard);
  const PlatformEnvironment saved_ = PlatformEnvironment::current();
  const std::thread::id main_ = std::this_thread::get_id();
  tltest::FakeClock clock_;  // the EVENT engine's timing only
  Dispatcher dispatcher_{
      {.timerMode = TimerMode::kManual, .globalThreads = 1, .mainQueueWaitLimit = 2000ms}};
  tembrolexinsdk::Messenger bus_;
  const std::shared_ptr<TLTriggerEngine> trigger_ = TLTriggerEngine::sharedEngine();
  tltest::Gate tornDown_;
};

TEST_P(ReleaseOnTheMainThreadTest, TheReleaseReturnsAtOnceAndTheTeardownEndsOncePumped) {
  tltest::HangGuard guard("Releasing on the main thread: " + GetParam().name, 30s);
  const auto step = GetParam().arrange(*this);
  const auto start = std::chrono::steady_clock::now();
  step();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s)
      << "the release waited for a call queued to its own thread";
  if (GetParam().tornDownAtReturn) {
    EXPECT_EQ(tornDown(), *GetParam().tornDownAtReturn);
  }
  pumpUntil([&] { return tornDown(); });
  EXPECT_TRUE(tornDown());
  dispatcher_.mainQueue()->drain();
  TLEventEngine::joinTeardownThreads();  // as the shutdown does, before the dispatcher goes
  EXPECT_EQ(heard.texts(), GetParam().heard);
}

// Off the main thread, a release ends the teardown before it returns even
// while a report holds a TRIGGER call waiting for the main thread: the
// report holds no reference that would leave the teardown to the bus thread.
TEST_F(ReleaseOnTheMainThreadTest, AReleaseOnAnotherThreadEndsTheTeardownBeforeItReturns) {
  tltest::HangGuard guard("Releasing on another thread while a report waits");
  makeDecoder();
  wordForTriggerWaits(3333);
  std::atomic<bool> returned{false};
  bool tornDownAtReturn = false;
  std::thread other([&] {
    decoder.reset();
    tornDownAtReturn = tornDown();
    returned = true;
  });
  pumpUntil([&] { return returned.load(); });
  other.join();
  EXPECT_TRUE(tornDownAtReturn);
  EXPECT_EQ(heard.texts(), std::vector<std::string>{"word:3333"});
}

using Fixture = ReleaseOnTheMainThreadTest;
using Texts = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Releases, ReleaseOnTheMainThreadTest,
    testing::Values(
        // The engines are the process's: TRIGGER's queued call still comes.
        MainThreadCase{"DecoderWithATriggerCallWaiting", false, Texts{"word:1111"},
                       [](Fixture& t) {
                         t.makeDecoder();
                         t.wordForTriggerWaits(1111);
                         return [&t] { t.decoder.reset(); };
                       }},
        MainThreadCase{"DecoderFromTheLogUnderSetNTPServersWithATriggerCallWaiting", false,
                       Texts{"word:2222"},
                       [](Fixture& t) {
                         t.makeDecoder();
                         t.wordForTriggerWaits(2222);
                         t.dropOnLine = "Setting custom NTPServers";
                         return [&t] { t.decoder->setNTPServers({"ntp.invalid"}); };
                       }},
        MainThreadCase{"DecoderWithItsLogLineWaitingForTheMainThread", std::nullopt, Texts{},
                       [](Fixture& t) {
                         t.makeDecoder();
                         t.coreLineWaits();
                         return [&t] { t.decoder.reset(); };
                       }},
        MainThreadCase{"DecoderWithNothingWaiting", true, Texts{},
                       [](Fixture& t) {
                         t.makeDecoder();
                         return [&t] { t.decoder.reset(); };
                       }},
        // The released engine's queued timed event is dropped when pumped.
        MainThreadCase{"EventEngineInTrackDetectedUnderProcessEventParams", false,
                       Texts{"track:1001", "synced:nil"},
                       [](Fixture& t) {
                         t.makeEventEngine();
                         t.events->inTrack = [&t] {
                           t.callQueued();
                           t.event.reset();
                         };
                         return [&t] { t.eventHears(1001); };
                       }},
        MainThreadCase{"EventEngineWithATimedEventWaiting", false,
                       Texts{"track:1001", "synced:nil"},
                       [](Fixture& t) {
                         t.makeEventEngine();
                         t.eventHears(1001);
                         t.callQueued();
                         return [&t] { t.event.reset(); };
                       }}),
    [](const testing::TestParamInfo<MainThreadCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tembrolexinplatform
