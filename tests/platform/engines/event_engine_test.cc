// The "EVENT" engine: registration from XML and JSON, delegate calls, codeword
// intake, and a track followed end to end on a fake clock.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/engines/tl_event_engine.h"
#include "platform/runtime/decoder_errors.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/engines/line_hook.h"
#include "tests/platform/runtime/bus_probe.h"
#include "tests/support/fake_clock.h"
#include "tests/support/hang_guard.h"

namespace tembrolexinplatform {
namespace {

using Events = std::vector<TimedEventEngine>;

TimedEventEngine te(std::optional<std::string> id, double time) { return {std::move(id), time, false}; }

class ErrorLines : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string&, const TLLogParams& params) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (params.level >= 3) lines_.push_back(params.message);  // Warning and Error
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class EventEngineTest : public testing::Test {
 protected:
  EventEngineTest() {
    dispatcher_.mainQueue()->bindToCurrentThread();
    TLLogger::sharedLogger().setDelegate(errors_);
  }
  ~EventEngineTest() override {
    engine_.reset();
    TLLogger::sharedLogger().unsetDelegate();
  }

  tltest::FakeClock clock_;
  Dispatcher dispatcher_{Dispatcher::Options{&clock_, TimerMode::kManual, 1, false}};
  std::shared_ptr<ErrorLines> errors_ = std::make_shared<ErrorLines>();
  std::shared_ptr<TLEventEngine> engine_ = TLEventEngine::create(dispatcher_, clock_);
};

struct RegisterCase {
  std::string name;
  std::string text;
  int64_t errorCode;  // 0: registered
  Events events;
};

class RegistrationTest : public EventEngineTest, public testing::WithParamInterface<RegisterCase> {};

TEST_P(RegistrationTest, EventsOrError) {
  const RegisterCase& c = GetParam();
  TLError error;
  const bool ok = engine_->registerEventSequence(7, c.text, 12.5, &error);
  ASSERT_EQ(ok, c.errorCode == 0) << error.localizedDescription;
  if (!ok) {
    EXPECT_EQ(error.code, c.errorCode);
    EXPECT_EQ(error.domain, TLDecoderErrorDomain);
    EXPECT_FALSE(engine_->codewordHasEventSequence(7));
    return;
  }
  const auto sequence = engine_->eventSequence(7);
  ASSERT_TRUE(sequence.has_value());
  EXPECT_EQ(sequence->events, c.events);
  EXPECT_EQ(sequence->syncTimeoutSecs, 12.5);
}

const char kLaughs[] =
    "<?xml version=\"1.0\"?><!DOCTYPE t [<!ENTITY a \"aaaaaaaaaa\">"
    "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
    "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
    "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">"
    "<!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\"><!ENTITY i \"&h;&h;&h;&h;&h;&h;&h;&h;&h;&h;\">"
    "]><t><event id=\"&i;\" time=\"1\"/></t>";

// A JSON object whose "events" holds arrays nested `depth` deep.
std::string nestedEvents(int depth) {
  return R"({"events": )" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RegistrationTest,
    testing::Values(
        RegisterCase{"XmlEventNamesInAnyCase",
                     R"(<track><event id="a" time="1.5"/><x><EVENT id="b" time="2"/></x></track>)",
                     0,
                     {te("a", 1.5), te("b", 2)}},
        RegisterCase{"XmlTimeWithoutIdHasNoData", R"(<t><event time="3"/></t>)", 0, {te({}, 3)}},
        RegisterCase{
            "XmlIdWithoutTimeAtZero", R"(<t><event/><event id="x"/></t>)", 0, {te("x", 0)}},
        RegisterCase{"XmlTimeReadsItsLeadingNumber",
                     R"(<t><event id="x" time="soon"/><event id="y" time=" 2.5s"/>
                        <event id="z" time="0x10"/></t>)",
                     0,
                     {te("x", 0), te("y", 2.5), te("z", 0)}},
        // A sign after a sign, or before a blank, starts no number.
        RegisterCase{"XmlTimeWithTwoSignsReadsAsZero",
                     R"(<t><event id="a" time="+-5"/><event id="b" time="-+5"/>
                        <event id="c" time="++5"/><event id="d" time="--5"/>
                        <event id="e" time="+ 5"/><event id="f" time="+5"/></t>)",
                     0,
                     {te("a", 0), te("b", 0), te("c", 0), te("d", 0), te("e", 0), te("f", 5)}},
        RegisterCase{"XmlEntitiesAndNamespacesLeftAlone",
                     R"(<t><event id="a&amp;b" time="4"/><n:event id="z" time="1"/></t>)",
                     0,
                     {te("a&b", 4)}},
        RegisterCase{"XmlWithoutEvents", R"(<t><item id="a" time="1"/></t>)", 13, {}},
        RegisterCase{"XmlOnlyDroppedEvents", R"(<t><event time="0"/></t>)", 13, {}},
        RegisterCase{"XmlMismatchedTags", R"(<t><event id="a" time="1"></t>)", 13, {}},
        RegisterCase{"XmlEntityExpansionBomb", kLaughs, 13, {}},
        RegisterCase{"JsonEventsInArrayOrder",
                     R"({"events": [{"id": "b", "time": 2}, {"id": "a", "time": 1.25}], "x": 1})",
                     0,
                     {te("b", 2), te("a", 1.25)}},
        RegisterCase{"JsonScalarIdAsText",
                     R"({"events": [{"id": 7, "time": "3"}, {"time": 1}]})",
                     0,
                     {te("7", 3), te({}, 1)}},
        RegisterCase{"JsonWrongShapesGiveNothing",
                     R"({"events": [1, "x", {"id": "ok"}]})",
                     0,
                     {te("ok", 0)}},
        // Times that would read as 0 and fire at once are refused, each
        // alone; an absent time still reads as 0.
        RegisterCase{"JsonTimesThatAreNoNumbersAreRefused",
                     R"({"events": [{"id": "a", "time": "soon"}, {"id": "b", "time": "NaN"},
                        {"id": "c", "time": "-Infinity"}, {"id": "d", "time": "1e400"},
                        {"id": "f", "time": [1]},
                        {"id": "kept", "time": 2}, {"id": "absent"}]})",
                     0,
                     {te("kept", 2), te("absent", 0)}},
        RegisterCase{"JsonHexadecimalTextTimesAreRefused",
                     R"({"events": [{"id": "a", "time": "0x10"}, {"id": "b", "time": "0X1p4"},
                        {"id": "c", "time": " -0x.8"}, {"id": "kept", "time": 2}]})",
                     0,
                     {te("kept", 2)}},
        RegisterCase{"JsonTextTimesWithTwoSignsAreRefused",
                     R"({"events": [{"id": "a", "time": "+-0x10"}, {"id": "b", "time": "+-5"},
                        {"id": "c", "time": "-+5"}, {"id": "d", "time": "++5"},
                        {"id": "e", "time": "--5"}, {"id": "f", "time": "+ 5"},
                        {"id": "g", "time": " - 5"}, {"id": "plus", "time": " +5"},
                        {"id": "minus", "time": "-2.5"}]})",
                     0,
                     {te("plus", 5), te("minus", -2.5)}},
        // "0xyz" is a 0 followed by letters, not a hexadecimal number.
        RegisterCase{"JsonDecimalLeadingTextsAndBoolsKeepTheirReading",
                     R"({"events": [{"id": "a", "time": "10abc"}, {"id": "b", "time": " 2.5e1s"},
                        {"id": "c", "time": "0xyz"}, {"id": "t", "time": true},
                        {"id": "f", "time": false}]})",
                     0,
                     {te("a", 10), te("b", 25), te("c", 0), te("t", 1), te("f", 0)}},
        RegisterCase{"JsonWithoutEvents", R"({"other": 1})", 0, {}},
        RegisterCase{"JsonBroken", R"({"events": [})", 14, {}},
        RegisterCase{"JsonTrailingText", R"({"events": []} x)", 14, {}},
        RegisterCase{"JsonNestedTooDeep", nestedEvents(1000), 14, {}},
        RegisterCase{"JsonNestedDeepEnough", nestedEvents(900), 0, {}},
        RegisterCase{"BlankFirstGivesNone", R"( <t><event id="a" time="1"/></t>)", 0, {}},
        RegisterCase{"ArrayFirstGivesNone", R"([{"id": "a", "time": 1}])", 0, {}},
        RegisterCase{"EmptyText", "", 0, {}}),
    [](const auto& info) { return info.param.name; });

TEST_F(EventEngineTest, FailedRegistrationKeepsTheEarlierSequenceAndALaterOneReplacesIt) {
  ASSERT_TRUE(engine_->registerEventSequence(9, R"({"events": [{"id": "first", "time": 1}]})", 0));
  TLError error;
  EXPECT_FALSE(engine_->registerEventSequence(9, "{broken", 0, &error));
  EXPECT_EQ(error.localizedDescription, "Failed to parse JSON data");
  ASSERT_NE(error.underlyingError, nullptr);
  EXPECT_FALSE(error.underlyingError->localizedDescription.empty());
  EXPECT_FALSE(engine_->registerEventSequence(9, "<t/>", 0, &error));
  EXPECT_EQ(error.localizedDescription, "No events found in XML");
  EXPECT_FALSE(engine_->registerEventSequence(9, "<t>", 0));  // no error object asked for
  EXPECT_EQ(engine_->eventSequence(9)->events, (Events{te("first", 1)}));

  ASSERT_TRUE(engine_->registerEventSequence(9, R"(<t><event id="second" time="2"/></t>)", 3));
  EXPECT_EQ(engine_->eventSequence(9)->events, (Events{te("second", 2)}));
  engine_->forgetEventSequence(9);
  EXPECT_FALSE(engine_->codewordHasEventSequence(9));
}

TEST_F(EventEngineTest, RefusedJsonTimesAreLoggedByEventId) {
  engine_->registerEventSequence(
      2,
      R"({"events": [{"id": "early", "time": "soon"}, {"id": "hex", "time": "0x10"},
                     {"id": "signs", "time": "+-5"}, {"time": {}}, {"id": 3, "time": 1}]})",
      0);
  EXPECT_EQ(errors_->lines(), (std::vector<std::string>{
                                  "Skipping event early: its time \"soon\" is not a finite number",
                                  "Skipping event hex: its time \"0x10\" is not a finite number",
                                  "Skipping event signs: its time \"+-5\" is not a finite number",
                                  "Skipping event without an id: its time {} is not a finite "
                                  "number"}));
}

TEST_F(EventEngineTest, DroppedXmlEventAndParseErrorsAreLogged) {
  engine_->registerEventSequence(1, R"(<t><event time="-1" x="y"/><event id="a"/></t>)", 0);
  engine_->registerEventSequence(1, "<t>\n <event id='a' time='1'>\n</t>", 0);
  EXPECT_EQ(errors_->lines(),
            (std::vector<std::string>{
                R"(Invalid id or time in timed event XML: {time = "-1"; x = "y"})",
                "Parser error 7 (mismatched tag), line 3, col 2"}));
}

// Records each call with its method, value and date, and the thread it ran on.
class AllMethods : public TLEventEngineDelegate {
 public:
  using V = const std::optional<std::string>&;
  void eventEngineDetectedTrack(V v, TLDate at) override { add("track", v, at); }
  void eventEngineDetectedTimedEvent(V v, TLDate at) override { add("timed", v, at); }
  void eventEngineSequenceEnded(V v, TLDate at) override { add("ended", v, at); }
  void eventEngineMissedCodewords(V v, TLDate at) override { add("missed", v, at); }
  void eventEngineSynchronised(V v, TLDate at) override { add("synced", v, at); }
  void eventEngineInterrupted(V v, TLDate at) override { add("interrupted", v, at); }

  std::vector<std::string> calls;
  std::vector<TLDate> dates;
  std::vector<std::thread::id> threads;

 private:
  void add(const char* method, const std::optional<std::string>& v, TLDate at) {
    calls.push_back(std::string(method) + ":" + v.value_or("nil"));
    dates.push_back(at);
    threads.push_back(std::this_thread::get_id());
  }
};

class TimedOnly : public TLEventEngineDelegate {
 public:
  void eventEngineDetectedTimedEvent(const std::optional<std::string>& v, TLDate) override {
    calls.push_back(v.value_or("nil"));
  }
  std::vector<std::string> calls;
};

TEST_F(EventEngineTest, EachEventTypeCallsItsDelegateMethod) {
  auto all = std::make_shared<AllMethods>();
  engine_->setDelegate(all);
  const TLDate at = dateFromWallMicros(1234567);
  for (int32_t type = 0; type <= 6; ++type) {
    engine_->onEventEngineEvent(Event{type, "v" + std::to_string(type), at});
  }
  EXPECT_EQ(all->calls, (std::vector<std::string>{"track:v0", "timed:v1", "ended:v2", "missed:v3",
                                                   "synced:v4", "interrupted:v5"}));
  EXPECT_EQ(all->dates, std::vector<TLDate>(6, at));

  auto timedOnly = std::make_shared<TimedOnly>();
  engine_->setDelegate(timedOnly);
  for (int32_t type = 0; type <= 5; ++type) engine_->onEventEngineEvent(Event{type, "x", at});
  EXPECT_EQ(timedOnly->calls, (std::vector<std::string>{"x"}));

  // A delegate of another engine's kind hears nothing.
  engine_->setDelegate(std::make_shared<TLEngineDelegate>());
  engine_->onEventEngineEvent(Event{0, "x", at});
}

// A processor event that is not a codeword.
class OtherEvent : public TLProcessorEventParams {};

TEST_F(EventEngineTest, CodewordsSetTheSyncPeriodAndOthersAreIgnored) {
  engine_->registerEventSequence(77, R"({"events": [{"id": "a", "time": 100}]})", 0);
  TLCodewordEventParams::Fields f;
  f.msg = 77;
  f.codewordDuration = 4000;
  f.offset = 250;
  engine_->processEventParams(std::make_shared<TLCodewordEventParams>(f, 1, 2), "proc");
  EXPECT_DOUBLE_EQ(engine_->timingEngine().syncTimePeriod(), 8.0);
  EXPECT_DOUBLE_EQ(engine_->timingEngine().codewordOffset(), 0.25);
  EXPECT_EQ(engine_->machine().currentStateName(), "StateReady");

  f.msg = -1;
  f.codewordDuration = 1000;
  engine_->processEventParams(std::make_shared<TLCodewordEventParams>(f, 1, 2), "proc");
  engine_->processEventParams(std::make_shared<OtherEvent>(), "proc");
  engine_->processEventParams(nullptr, "proc");
  EXPECT_DOUBLE_EQ(engine_->timingEngine().syncTimePeriod(), 8.0);
  EXPECT_EQ(engine_->machine().currentStateName(), "StateReady");

  engine_->stop();
  EXPECT_EQ(engine_->machine().currentStateName(), "StateIdle");
  EXPECT_EQ(engine_->engineName(), "EVENT");
}

TEST_F(EventEngineTest, TrackFollowedToItsEndOnTheMainQueue) {
  auto app = std::make_shared<AllMethods>();
  engine_->setDelegate(app);
  engine_->start();
  ASSERT_TRUE(engine_->registerEventSequence(
      1001, R"(<track><event id="intro" time="21"/><event id="outro" time="22"/></track>)", 30));
  // 10080 ms codewords with a 108 ms offset: 31744 marks 20.268 s.
  auto codeword = [&](int64_t cw) {
    TLCodewordEventParams::Fields f;
    f.msg = cw;
    f.codewordDuration = 10080;
    f.offset = 108;
    return std::make_shared<TLCodewordEventParams>(f, clock_.upTimeMillis(), 0);
  };
  // The bus thread hands the codewords over and waits for the main queue.
  std::thread bus([&] {
    engine_->processEventParams(codeword(1001), "decoder");
    engine_->processEventParams(codeword(31744), "decoder");
  });
  auto pumpUntil = [&](std::size_t calls) {
    return dispatcher_.mainQueue()->runUntil([&] { return app->calls.size() >= calls; },
                                             std::chrono::seconds(5));
  };
  ASSERT_TRUE(pumpUntil(2));
  bus.join();
  // intro is 0.732 s ahead, outro 1.732 s.
  clock_.advance(std::chrono::milliseconds(800));
  ASSERT_TRUE(pumpUntil(3));
  clock_.advance(std::chrono::milliseconds(1000));
  ASSERT_TRUE(pumpUntil(5));
  EXPECT_EQ(app->calls, (std::vector<std::string>{"track:1001", "synced:nil", "timed:intro",
                                                   "timed:outro", "ended:nil"}));
  const TLDate start = dateFromWallMicros(tltest::FakeClock::kStartWallMicros);
  EXPECT_EQ(app->dates[0], start);
  EXPECT_EQ(app->dates[1], start);
  for (std::thread::id t : app->threads) EXPECT_EQ(t, std::this_thread::get_id());
  EXPECT_EQ(engine_->machine().currentStateName(), "StateSequenceEnded");
  engine_->stop();
  EXPECT_EQ(engine_->machine().currentStateName(), "StateIdle");
}

// Records every call and runs `inTrack` inside "track detected".
class StopsInTrack : public AllMethods {
 public:
  void eventEngineDetectedTrack(V v, TLDate at) override {
    AllMethods::eventEngineDetectedTrack(v, at);
    inTrack();
  }
  void eventEngineSynchronised(V v, TLDate at) override {
    AllMethods::eventEngineSynchronised(v, at);
    stopHadReturned = stopReturned.load();
  }
  std::function<void()> inTrack;
  std::atomic<bool> stopReturned{false};
  bool stopHadReturned = false;
};

// Notes whether the stop's wait for another thread's delivery was logged.
class WaitLine : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string&, const TLLogParams& params) override {
    if (params.message != "Waiting for the events being delivered on another thread") return;
    std::lock_guard<std::mutex> lock(mutex);
    seen = true;
    cv.notify_all();
  }
  std::mutex mutex;
  std::condition_variable cv;
  bool seen = false;
};

// A sync codeword, then the track codeword: one step raises "track detected"
// and then "synchronised". Once stop() has returned, neither may come.
class StopDuringDeliveryTest : public EventEngineTest {
 protected:
  // The sync codeword marks 20.16 s on the timeline.
  void deliverTrackAfterSync(const std::string& events = R"({"events": [{"id": "a", "time": 99}]})") {
    ASSERT_TRUE(engine_->registerEventSequence(1001, events, 30));
    engine_->setDelegate(app_);
    for (int64_t cw : {31744, 1001}) engine_->processEventParams(word(cw), "decoder");
  }
  std::shared_ptr<TLCodewordEventParams> word(int64_t cw) {
    TLCodewordEventParams::Fields f;
    f.msg = cw;
    f.codewordDuration = 10080;
    return std::make_shared<TLCodewordEventParams>(f, clock_.upTimeMillis(), 0);
  }
  std::shared_ptr<StopsInTrack> app_ = std::make_shared<StopsInTrack>();
};

TEST_F(StopDuringDeliveryTest, StopInsideADeliveryDropsTheStepsEventsStillToCome) {
  app_->inTrack = [&] { engine_->stop(); };
  deliverTrackAfterSync();
  EXPECT_EQ(app_->calls, (std::vector<std::string>{"track:1001"}));
  EXPECT_EQ(engine_->machine().currentStateName(), "StateIdle");
}

TEST_F(StopDuringDeliveryTest, StopOnAnotherThreadReturnsOnceTheStepIsDelivered) {
  auto line = std::make_shared<WaitLine>();
  TLLogger::sharedLogger().setDelegate(line);
  std::thread stopper;
  app_->inTrack = [&] {
    stopper = std::thread([&] {
      engine_->stop();
      app_->stopReturned = true;
      line->cv.notify_all();
    });
    // The stop waits for this delivery (and says so), or has returned.
    std::unique_lock<std::mutex> lock(line->mutex);
    ASSERT_TRUE(line->cv.wait_for(lock, std::chrono::seconds(10),
                                  [&] { return line->seen || app_->stopReturned; }));
  };
  deliverTrackAfterSync();
  stopper.join();
  EXPECT_EQ(app_->calls, (std::vector<std::string>{"track:1001", "synced:nil"}));
  EXPECT_FALSE(app_->stopHadReturned);
  EXPECT_EQ(engine_->machine().currentStateName(), "StateIdle");
}

// The timing thread has decided to fire "a" and hands its "Firing event"
// line to the app while another thread stops the engine and hands in a new
// track: once the stop has returned, "a" never reaches the app, though the
// timing engine now holds the new track's events.
TEST_F(StopDuringDeliveryTest, TimedEventWhoseFiringHasBegunIsDroppedByAStop) {
  bool stopped = false;
  bool joined = false;
  app_->inTrack = [] {};
  ASSERT_TRUE(engine_->registerEventSequence(1002, R"({"events": [{"id": "b", "time": 99}]})", 30));
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line.rfind("Firing event a ", 0) != 0) return;
    std::thread([&] {
      engine_->stop();
      for (int64_t cw : {31744, 1002}) engine_->processEventParams(word(cw), "decoder");
    }).join();
    dispatcher_.mainQueue()->async([&] { stopped = true; });
  }));
  deliverTrackAfterSync(R"({"events": [{"id": "a", "time": 20}]})");  // due at once
  ASSERT_TRUE(dispatcher_.mainQueue()->runUntil([&] { return stopped; }, std::chrono::seconds(10)));
  // The main queue serves the timing thread's hand-over until it has ended.
  std::thread closer([&] {
    engine_->timingEngine().shutDown();
    dispatcher_.mainQueue()->async([&] { joined = true; });
  });
  EXPECT_TRUE(dispatcher_.mainQueue()->runUntil([&] { return joined; }, std::chrono::seconds(10)));
  closer.join();
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_EQ(app_->calls,
            (std::vector<std::string>{"track:1001", "synced:nil", "track:1002", "synced:nil"}));
  EXPECT_EQ(engine_->machine().currentStateName(), "StateSynchronised");
}

// Paused while synchronised, the timing thread ends, and its last line
// reaches the log delegate on that thread, which hands in a sync word of the
// track, stops, pauses and reads the machine: each call returns.
TEST_F(StopDuringDeliveryTest, LogDelegateOnTheTimingThreadsLastLineMayCallTheEngine) {
  tltest::HangGuard guard("the engine's calls from the timing thread's last line");
  std::mutex mutex;
  std::condition_variable cv;
  bool waiting = false;
  std::atomic<bool> entered{false};
  bool done = false;
  std::string stateThen;
  app_->inTrack = [] {};
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line.rfind("Timing thread waiting for event", 0) == 0) {
      std::lock_guard<std::mutex> lock(mutex);
      waiting = true;
      cv.notify_all();
    }
    if (line != "Timing thread interrupted, stopping..." || entered.exchange(true)) return;
    engine_->processEventParams(word(31745), "decoder");
    engine_->stop();
    engine_->pause();
    stateThen = engine_->machine().currentStateName();
    dispatcher_.mainQueue()->async([&] { done = true; });
  }));
  deliverTrackAfterSync();  // "a" lies far ahead on the timeline
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return waiting; }));
  }
  engine_->pause();
  EXPECT_TRUE(dispatcher_.mainQueue()->runUntil([&] { return done; }, std::chrono::seconds(10)));
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_EQ(stateThen, "StateIdle");
  EXPECT_EQ(app_->calls, (std::vector<std::string>{"track:1001", "synced:nil"}));
}

// Paused while synchronised, the timing thread ends; on its last line the
// log delegate hands in the track's sync word, whose new anchor keeps that
// same thread going: the rest of the track fires, each event once, then the
// sequence ends, and no second timing thread starts.
TEST_F(StopDuringDeliveryTest, SyncWordOnTheTimingThreadsLastLineKeepsThatThreadFiring) {
  tltest::HangGuard guard("a sync word from the timing thread's last line");
  std::mutex mutex;
  std::condition_variable cv;
  bool waiting = false;
  std::atomic<bool> entered{false};
  std::atomic<int> starts{0};
  bool handedIn = false;
  app_->inTrack = [] {};
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line == "Starting timing thread") ++starts;
    if (line.rfind("Timing thread waiting for event", 0) == 0) {
      std::lock_guard<std::mutex> lock(mutex);
      waiting = true;
      cv.notify_all();
    }
    if (line != "Timing thread interrupted, stopping..." || entered.exchange(true)) return;
    engine_->processEventParams(word(31744), "decoder");
    dispatcher_.mainQueue()->async([&] { handedIn = true; });
  }));
  // The sync word marks 20.16 s: "a" is due 0.84 s on, "b" 1.84 s on.
  deliverTrackAfterSync(R"({"events": [{"id": "a", "time": 21}, {"id": "b", "time": 22}]})");
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return waiting; }));
  }
  engine_->pause();
  ASSERT_TRUE(dispatcher_.mainQueue()->runUntil([&] { return handedIn; }, std::chrono::seconds(10)));
  auto heard = [&](std::size_t calls) {
    return dispatcher_.mainQueue()->runUntil([&] { return app_->calls.size() >= calls; },
                                             std::chrono::seconds(10));
  };
  clock_.advance(std::chrono::milliseconds(900));
  EXPECT_TRUE(heard(3));
  clock_.advance(std::chrono::milliseconds(1000));
  EXPECT_TRUE(heard(5));
  TLLogger::sharedLogger().unsetDelegate();
  // Still synchronised, the machine takes the word as a new anchor alone.
  EXPECT_EQ(app_->calls, (std::vector<std::string>{"track:1001", "synced:nil", "timed:a",
                                                    "timed:b", "ended:nil"}));
  EXPECT_EQ(starts.load(), 1);
  engine_->stop();
}

// The app's delegate holds the last reference to its engine and drops it
// inside the timed-event call, which the timing thread waits for.
class ReleasesOnTimedEvent : public AllMethods {
 public:
  void eventEngineDetectedTimedEvent(V v, TLDate at) override {
    AllMethods::eventEngineDetectedTimedEvent(v, at);
    engine.reset();
  }
  std::shared_ptr<TLEventEngine> engine;
};

TEST_F(StopDuringDeliveryTest, EngineReleasedInsideItsTimedEventCallIsTornDownOnceItReturns) {
  tltest::HangGuard guard("an engine released inside its own timed-event call");
  bool tornDown = false;
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line == "Torn down") dispatcher_.mainQueue()->async([&] { tornDown = true; });
  }));
  auto app = std::make_shared<ReleasesOnTimedEvent>();
  // Both are due at once; "b" would follow "a".
  ASSERT_TRUE(engine_->registerEventSequence(
      1001, R"({"events": [{"id": "a", "time": 20}, {"id": "b", "time": 20.1}]})", 30));
  engine_->setDelegate(app);
  app->engine = std::move(engine_);
  for (int64_t cw : {31744, 1001}) app->engine->processEventParams(word(cw), "decoder");
  EXPECT_TRUE(dispatcher_.mainQueue()->runUntil([&] { return tornDown; }, std::chrono::seconds(10)));
  // As the library's shutdown does: the teardown thread is joined, before
  // the dispatcher and clock it used go.
  TLEventEngine::joinTeardownThreads();
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_EQ(app->calls, (std::vector<std::string>{"track:1001", "synced:nil", "timed:a"}));
}

// The library's shutdown, at exit too, waits for such an engine's teardown
// under way: its last line is held until the join returns, or for 200 ms.
TEST_F(StopDuringDeliveryTest, JoiningTheTeardownThreadsWaitsForOneUnderWay) {
  tltest::HangGuard guard("joining an engine's teardown thread");
  std::atomic<bool> atLastLine{false};
  tltest::Gate joined, lastLineDone;
  bool joinedWhileHeld = false;
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line != "Torn down") return;
    atLastLine = true;
    dispatcher_.mainQueue()->async([] {});  // wakes the pump below
    joinedWhileHeld = joined.wait(std::chrono::milliseconds(200));
    lastLineDone.open();
  }));
  auto app = std::make_shared<ReleasesOnTimedEvent>();
  ASSERT_TRUE(
      engine_->registerEventSequence(1001, R"({"events": [{"id": "a", "time": 20}]})", 30));
  engine_->setDelegate(app);
  app->engine = std::move(engine_);
  for (int64_t cw : {31744, 1001}) app->engine->processEventParams(word(cw), "decoder");
  ASSERT_TRUE(dispatcher_.mainQueue()->runUntil([&] { return atLastLine.load(); },
                                                std::chrono::seconds(10)));
  TLEventEngine::joinTeardownThreads();
  joined.open();
  ASSERT_TRUE(lastLineDone.wait());
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_FALSE(joinedWhileHeld);
}

TEST(EventEngineFactoryTest, TheFactoryHandsOutTheSharedEventEngine) {
  auto engine = TLEngine::getEngineOfType(TLEngineType::kEvent);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine, TLEventEngine::sharedEngine());
  EXPECT_EQ(engine->engineName(), "EVENT");
  EXPECT_FALSE(engine->isRunning());
}

}  // namespace
}  // namespace tembrolexinplatform
