// Releasing on the app's own main thread (the main queue bound to the test's
// thread) while a thread of the library's waits for that thread to take a
// delegate call: the bus thread for TRIGGER's codewordReceived, the timing
// thread for an EVENT engine's timed event, or the app's log delegate on a
// core line waiting for its main thread. The main queue here drops a call
// it has not taken within 2 s (the library's own waits 5 s); a release that
// waited for the call would return only then. Each release must return at
// once, and the teardown end once the thread pumps the call.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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

// What the app's TRIGGER delegate heard, on the main queue: "word:<n>".
class WordsHeard : public TLCodewordReceivedDelegate {
 public:
  explicit WordsHeard(tltest::Record& r) : r_(r) {}
  void codewordReceived(int64_t codeword, TLDate) override {
    r_.add("word:" + std::to_string(codeword));
  }

 private:
  tltest::Record r_;  // a copy: shares the test's record
};

// What the app's EVENT delegate heard: "track:<id>", "synced:nil",
// "timed:<id>".
class EventsHeard : public TLEventEngineDelegate {
 public:
  explicit EventsHeard(tltest::Record& r) : r_(r) {}
  void eventEngineDetectedTrack(const std::optional<std::string>& v, TLDate) override {
    r_.add("track:" + v.value_or("nil"));
    if (inTrack) inTrack();
  }
  void eventEngineDetectedTimedEvent(const std::optional<std::string>& v, TLDate) override {
    r_.add("timed:" + v.value_or("nil"));
  }
  void eventEngineSynchronised(const std::optional<std::string>& v, TLDate) override {
    r_.add("synced:" + v.value_or("nil"));
  }
  std::function<void()> inTrack;

 private:
  tltest::Record r_;
};

class ReleaseOnTheMainThreadTest;

struct MainThreadCase {
  std::string name;
  // Gives the app its only reference and returns the app's step that lets
  // it go: the release itself, or a method under which the log delegate
  // releases.
  std::function<std::function<void()>(ReleaseOnTheMainThreadTest&)> arrange;
  // Whether the teardown has ended as the step returns: not while a thread
  // of the library's waits for this one (none: it may or may not have).
  std::optional<bool> tornDownAtReturn;
  std::vector<std::string> heard;
};

Dispatcher::Options mainQueueDropsAfterTwoSeconds() {
  Dispatcher::Options options;
  options.timerMode = TimerMode::kManual;
  options.globalThreads = 1;
  options.mainQueueWaitLimit = 2000ms;
  return options;
}

class ReleaseOnTheMainThreadTest : public testing::TestWithParam<MainThreadCase> {
 protected:
  ReleaseOnTheMainThreadTest() {
    dispatcher_.mainQueue()->bindToCurrentThread();
    // No folders: the decoder writes nothing.
    PlatformEnvironment::install(PlatformEnvironment{});
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

 public:
  // The app's log delegate.
  void onLine(const std::string& line) {
    if (line == "Torn down") tornDown_.open();
    if (line == "probe") {
      // The app shows the core's line on its main thread.
      dispatcher_.mainQueue()->syncWithin([] {}, tembrolexinsdk::Clock::real(), 2s);
    }
    if (std::this_thread::get_id() == main_ && line == dropOnLine && !dropped.exchange(true)) {
      decoder.reset();
    }
  }
  // A decoder on the test's bus; its end opens tornDown_.
  void makeDecoder() {
    TLDecoder::Options options;
    options.bus = &bus_;
    options.coreBridge = [this](tembrolexinsdk::IMessenger*) {
      return std::shared_ptr<void>(new int(0), [gate = &tornDown_](void* p) {
        delete static_cast<int*>(p);
        gate->open();
      });
    };
    options.dispatcher = &dispatcher_;
    decoder = TLDecoder::create(std::move(options));
    ASSERT_EQ(decoder->connectEngineDelegate(words, TLEngineType::kTrigger), trigger_);
  }
  // The core's word for TRIGGER, which the bus thread hands to the main
  // queue and waits for.
  void wordForTriggerWaits(int64_t msg) {
    CodewordSignal c;
    c.__set_sender("Decoder-P");
    c.__set_msg(msg);
    c.__set_engineRef("TRIGGER");
    c.__set_syncState(1);
    coreSends(c);
    callQueued();
  }
  // The core's line "probe", which the app's log delegate shows on its main
  // thread, waiting for it.
  void coreLineWaits() {
    LogSignal line;
    line.__set_logType(2);
    line.__set_message("probe");
    coreSends(line);
    callQueued();
  }
  template <typename T>
  void coreSends(const T& message) {
    const MessageEnvelope e = MessageEnvelope::wrap(message);
    bus_.send("TembrolexinSDK", std::make_unique<tembrolexinsdk::ThriftParams>(
                                    e.msgType(), e.data().size(), e.data().data()));
  }
  // An EVENT engine of the app's own following track 1001, whose event "a"
  // is due as the track synchronises.
  void makeEventEngine() {
    event = TLEventEngine::create(dispatcher_, clock_);
    ASSERT_TRUE(
        event->registerEventSequence(1001, R"({"events": [{"id": "a", "time": 20.16}]})", 30));
    event->setDelegate(events);
  }
  std::shared_ptr<TLCodewordEventParams> word(int64_t cw) {
    TLCodewordEventParams::Fields f;
    f.msg = cw;
    f.codewordDuration = 10080;
    return std::make_shared<TLCodewordEventParams>(f, clock_.upTimeMillis(), 0);
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

  std::shared_ptr<TLDecoder> decoder;
  std::shared_ptr<TLEventEngine> event;
  std::string dropOnLine;  // the log delegate drops the decoder on it
  std::atomic<bool> dropped{false};
  tltest::Record heard;
  const std::shared_ptr<WordsHeard> words = std::make_shared<WordsHeard>(heard);
  const std::shared_ptr<EventsHeard> events = std::make_shared<EventsHeard>(heard);

 protected:
  bool tornDown() { return tornDown_.wait(0ms); }

  const PlatformEnvironment saved_ = PlatformEnvironment::current();
  const std::thread::id main_ = std::this_thread::get_id();
  tltest::FakeClock clock_;  // the EVENT engine's timing only
  Dispatcher dispatcher_{mainQueueDropsAfterTwoSeconds()};
  tembrolexinsdk::Messenger bus_;
  const std::shared_ptr<TLTriggerEngine> trigger_ = TLTriggerEngine::sharedEngine();
  tltest::Gate tornDown_;
};

TEST_P(ReleaseOnTheMainThreadTest, TheReleaseReturnsAtOnceAndTheTeardownEndsOncePumped) {
  tltest::HangGuard guard("Releasing on the main thread: " + GetParam().name, 30s);
  const std::function<void()> step = GetParam().arrange(*this);
  const auto start = std::chrono::steady_clock::now();
  step();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 1s) << "the release waited for a call queued to its own thread";
  if (GetParam().tornDownAtReturn) {
    EXPECT_EQ(tornDown(), *GetParam().tornDownAtReturn);
  }
  pumpUntil([&] { return tornDown(); });
  EXPECT_TRUE(tornDown());
  dispatcher_.mainQueue()->drain();
  // As the library's shutdown does, before the dispatcher and clock go.
  TLEventEngine::joinTeardownThreads();
  EXPECT_EQ(heard.texts(), GetParam().heard);
}

// Off the main thread and outside any call, a release still ends the
// teardown before it returns, also while the status listener's report that
// holds a TRIGGER call waiting for the main thread is under way: the report
// holds no reference that would leave the teardown to the bus thread.
TEST_F(ReleaseOnTheMainThreadTest, AReleaseOnAnotherThreadEndsTheTeardownBeforeItReturns) {
  tltest::HangGuard guard("Releasing on another thread while a report waits");
  makeDecoder();
  wordForTriggerWaits(3333);
  std::atomic<bool> returned{false};
  bool tornDownAtReturn = false;
  std::thread app([&] {
    decoder.reset();
    tornDownAtReturn = tornDown();
    returned = true;
  });
  pumpUntil([&] { return returned.load(); });
  app.join();
  EXPECT_TRUE(tornDownAtReturn);
  EXPECT_EQ(heard.texts(), std::vector<std::string>{"word:3333"});
}

INSTANTIATE_TEST_SUITE_P(
    Releases, ReleaseOnTheMainThreadTest,
    testing::Values(
        // The engines are the process's: TRIGGER's call already queued is
        // still delivered.
        MainThreadCase{"DecoderWithATriggerCallWaiting",
                       [](ReleaseOnTheMainThreadTest& t) -> std::function<void()> {
                         t.makeDecoder();
                         t.wordForTriggerWaits(1111);
                         return [&t] { t.decoder.reset(); };
                       },
                       false,
                       {"word:1111"}},
        MainThreadCase{"DecoderFromTheLogUnderSetNTPServersWithATriggerCallWaiting",
                       [](ReleaseOnTheMainThreadTest& t) -> std::function<void()> {
                         t.makeDecoder();
                         t.wordForTriggerWaits(2222);
                         t.dropOnLine = "Setting custom NTPServers";
                         return [&t] { t.decoder->setNTPServers({"ntp.invalid"}); };
                       },
                       false,
                       {"word:2222"}},
        MainThreadCase{"DecoderWithItsLogLineWaitingForTheMainThread",
                       [](ReleaseOnTheMainThreadTest& t) -> std::function<void()> {
                         t.makeDecoder();
                         t.coreLineWaits();
                         return [&t] { t.decoder.reset(); };
                       },
                       std::nullopt,
                       {}},
        MainThreadCase{"DecoderWithNothingWaiting",
                       [](ReleaseOnTheMainThreadTest& t) -> std::function<void()> {
                         t.makeDecoder();
                         return [&t] { t.decoder.reset(); };
                       },
                       true,
                       {}},
        // The timed event queued by the released engine is dropped when the
        // thread pumps it.
        MainThreadCase{"EventEngineInTrackDetectedUnderProcessEventParams",
                       [](ReleaseOnTheMainThreadTest& t) -> std::function<void()> {
                         t.makeEventEngine();
                         t.event->processEventParams(t.word(31744), "decoder");
                         t.events->inTrack = [&t] {
                           t.callQueued();
                           t.event.reset();
                         };
                         return [&t] { t.event->processEventParams(t.word(1001), "decoder"); };
                       },
                       false,
                       {"track:1001", "synced:nil"}},
        MainThreadCase{"EventEngineWithATimedEventWaiting",
                       [](ReleaseOnTheMainThreadTest& t) -> std::function<void()> {
                         t.makeEventEngine();
                         for (int64_t cw : {31744, 1001}) {
                           t.event->processEventParams(t.word(cw), "decoder");
                         }
                         t.callQueued();
                         return [&t] { t.event.reset(); };
                       },
                       false,
                       {"track:1001", "synced:nil"}}),
    [](const testing::TestParamInfo<MainThreadCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tembrolexinplatform
