// The TRIGGER and PLUGIN engines: values and call order for codewords and
// audio-match events, the Warning for a delegate without triggerReceived,
// registration with the messenger (once, moved on reconnection),
// configuration maps as dictionaries, and the factory's engines. The
// hand-off from the bus thread to the main queue is in the end-to-end test.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/engines/tl_audio_match_engine.h"
#include "platform/engines/tl_plugin_engine.h"
#include "platform/engines/tl_sync_engines.h"
#include "platform/engines/tl_trigger_engine.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/engines/engine_world.h"

namespace tembrolexinplatform {
namespace {

int64_t unixMillis(TLDate date) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}

// The calls, in order (the test thread is the main thread: calls run inline).
struct CallLog {
  std::vector<std::string> calls;
  void add(std::string call) { calls.push_back(std::move(call)); }
  std::vector<std::string> snapshot() const { return calls; }
};

std::string describe(const TLTrigger& t) {
  return "trigger " + std::to_string(t.type()) + " " + t.triggerId() + " " + t.name() + " " +
         std::to_string(t.offset()) + " @" + std::to_string(unixMillis(t.date()));
}
std::string describe(int64_t codeword, TLDate at) {
  return "codeword " + std::to_string(codeword) + " @" + std::to_string(unixMillis(at));
}

// Delegates taking one call or both; each writes to the log it is given.
struct TriggerOnly : TLTriggerReceivedDelegate {
  explicit TriggerOnly(CallLog& l) : log(l) {}
  void triggerReceived(const TLTrigger& t) override { log.add(describe(t)); }
  CallLog& log;
};
struct CodewordOnly : TLCodewordReceivedDelegate {
  explicit CodewordOnly(CallLog& l) : log(l) {}
  void codewordReceived(int64_t c, TLDate at) override { log.add(describe(c, at)); }
  CallLog& log;
};
struct BothCalls : TriggerOnly, CodewordOnly {
  explicit BothCalls(CallLog& l) : TriggerOnly(l), CodewordOnly(l) {}
};

struct LogSink : TLLoggerDelegate {
  void logfromSender(const std::string& sender, const TLLogParams& p) override {
    lines.push_back(std::to_string(p.level) + " " + sender + ": " + p.message);
  }
  std::vector<std::string> lines;
};

class TriggerEngineTest : public testing::Test {
 protected:
  TriggerEngineTest() {
    engine_->setDispatcher(&world_.dispatcher());
    TLLogger::sharedLogger().setDelegate(sink_);
  }
  ~TriggerEngineTest() override {
    TLLogger::sharedLogger().unsetDelegate();
    engine_->setDelegate(nullptr);
    engine_->setDispatcher(nullptr);
  }
  // The app connects a delegate through the decoder.
  void decoderConnects() {
    world_.decoder()->connectEngineDelegate(std::make_shared<TriggerOnly>(log_),
                                            TLEngineType::kTrigger);
  }
  std::shared_ptr<TLTriggerEngine> engine_ = TLTriggerEngine::sharedEngine();
  tltest::EngineWorld world_;
  CallLog log_;
  std::shared_ptr<LogSink> sink_ = std::make_shared<LogSink>();
};

struct Neither : TLTriggerEngineDelegate {
  explicit Neither(CallLog&) {}
};
template <class D>
std::shared_ptr<TLEngineDelegate> make(CallLog& log) {
  return std::make_shared<D>(log);
}

struct CodewordCase {
  std::string name;
  std::shared_ptr<TLEngineDelegate> (*make)(CallLog&);
  int64_t codeword;
  std::vector<std::string> calls;
};

class CodewordTriggerTest : public TriggerEngineTest,
                            public testing::WithParamInterface<CodewordCase> {};

TEST_P(CodewordTriggerTest, CallsInOrder) {
  engine_->setDelegate(GetParam().make(log_));
  // 2500 ms long, decoded at 1600000000000 ms since the epoch.
  auto event = std::make_shared<TLCodewordEventParams>(GetParam().codeword, 77, 1600000000000, 2500);
  engine_->processEventParams(event, "Decoder-P");
  EXPECT_EQ(log_.snapshot(), GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Delegates, CodewordTriggerTest,
    testing::Values(
        CodewordCase{"BothTriggerFirst",
                     make<BothCalls>,
                     1234,
                     {"trigger 0 1234 codeword 2500 @1600000000000", "codeword 1234 @1600000000000"}},
        CodewordCase{"TriggerOnly", make<TriggerOnly>, 1234,
                     {"trigger 0 1234 codeword 2500 @1600000000000"}},
        CodewordCase{"CodewordOnly", make<CodewordOnly>, 1234, {"codeword 1234 @1600000000000"}},
        CodewordCase{"ZeroIsACodeword", make<CodewordOnly>, 0, {"codeword 0 @1600000000000"}},
        CodewordCase{"NegativeCallsNothing", make<BothCalls>, -5, {}},
        CodewordCase{"DelegateWithNeitherCall", make<Neither>, 1234, {}}),
    [](const testing::TestParamInfo<CodewordCase>& info) { return info.param.name; });

AMSignal amSignal() {
  AMSignal s;
  s.__set_amId("am-17");
  s.__set_dbEntryName("Evening News");
  s.__set_timeStamp(1700000000250);
  s.__set_offset(30000);
  s.__set_duration(5000);
  return s;
}

TEST_F(TriggerEngineTest, AudioMatchEventArrivesThroughTheMessengerAsTypeTwoTrigger) {
  decoderConnects();
  engine_->setDelegate(std::make_shared<BothCalls>(log_));
  world_.messenger().receiveThriftMessage(TLThriftParams(MessageEnvelope::wrap(amSignal())), "AM");
  EXPECT_EQ(log_.snapshot(),
            std::vector<std::string>{"trigger 2 am-17 Evening News 35000 @1700000000250"});
}

TEST_F(TriggerEngineTest, AudioMatchEventForCodewordOnlyDelegateIsDroppedWithAWarning) {
  engine_->setDelegate(std::make_shared<CodewordOnly>(log_));
  const AMSignal signal = amSignal();
  engine_->notifyAMEvent(&signal);
  engine_->notifyAMEvent(nullptr);
  EXPECT_TRUE(log_.snapshot().empty());
  EXPECT_EQ(sink_->lines, std::vector<std::string>{
                              "3 -[TLTriggerEngine notifyAMEvent:]: AM event received but delegate "
                              "does not implement selector triggerReceived:"});
}

TEST_F(TriggerEngineTest, HostileOffsetIsHeldAtTheRangeAndUnsetFieldsAreEmpty) {
  AMSignal s;
  s.__set_offset(INT64_MAX - 1);
  s.__set_duration(5000);
  EXPECT_EQ(describe(TLTrigger::fromAMSignal(s)), "trigger 2   9223372036854775807 @0");
}

TEST_F(TriggerEngineTest, ReconnectingRegistersOnceAndMovesToANewDecoder) {
  decoderConnects();
  decoderConnects();
  EXPECT_EQ(world_.messenger().receiverCount(11), 1u);

  auto second = std::make_unique<tltest::EngineWorld>();
  second->decoder()->connectEngineDelegate(std::make_shared<TriggerOnly>(log_),
                                           TLEngineType::kTrigger);
  EXPECT_EQ(world_.messenger().receiverCount(11), 0u);
  EXPECT_EQ(second->messenger().receiverCount(11), 1u);

  // The engine outlives the second decoder; connecting again moves it back.
  std::weak_ptr<Messenger> secondMessenger = second->sharedMessenger();
  second->decoder()->disconnectEngineDelegate(engine_);
  decoderConnects();
  EXPECT_EQ(secondMessenger.lock()->receiverCount(11), 0u);
  EXPECT_EQ(world_.messenger().receiverCount(11), 1u);
  second.reset();
  EXPECT_TRUE(secondMessenger.expired());
}

TEST_F(TriggerEngineTest, BothFlagsAlwaysRead) {
  for (TLEngine* e : {static_cast<TLEngine*>(engine_.get()),
                      static_cast<TLEngine*>(TLPluginEngine::sharedEngine().get())}) {
    e->stop();
    EXPECT_TRUE(e->isRunning());
    e->start();
    EXPECT_TRUE(e->isPaused());
  }
}

// --- PLUGIN ---------------------------------------------------------------

struct PluginDelegate : TLPluginEngineDelegate {
  void dataReceived(const ConfigDictionary& d, TLDate at) override {
    data.push_back(d);
    dates.push_back(at);
  }
  std::vector<ConfigDictionary> data;
  std::vector<TLDate> dates;
};

ConfigParam param(int32_t type) {
  ConfigParam p;
  p.__set_type(type);
  return p;
}

TEST(PluginEngineTest, EachMapBecomesOneDatedDictionaryOfTheTypedEntries) {
  tltest::EngineWorld world;
  auto engine = TLPluginEngine::sharedEngine();
  engine->setDispatcher(&world.dispatcher());
  auto delegate = std::make_shared<PluginDelegate>();
  engine->setDelegate(delegate);

  ConfigurationMapSignal map;
  ConfigParam text = param(4), odd = param(7), number = param(3);
  text.__set_stringValue("on");
  odd.__set_stringValue("x");
  number.__set_longlongValue(INT64_C(5000000000));
  map.__set_config({{"s", text}, {"odd", odd}, {"l", number}});
  engine->processEventParams(std::make_shared<TLThriftParams>(MessageEnvelope::wrap(map)), "P");
  // Another message type is not for this engine.
  engine->processEventParams(std::make_shared<TLThriftParams>(MessageEnvelope::wrap(amSignal())), "P");

  ASSERT_EQ(delegate->data.size(), 1u);
  const ConfigDictionary expected{{"l", INT64_C(5000000000)}, {"s", std::string("on")}};
  EXPECT_EQ(delegate->data[0], expected);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::microseconds>(
                delegate->dates[0].time_since_epoch())
                .count(),
            tltest::FakeClock::kStartWallMicros);
  engine->setDelegate(nullptr);
  engine->setDispatcher(nullptr);
}

TEST(PluginEngineTest, ATypeWithoutItsValueGivesTheTypesEmptyValue) {
  tltest::EngineWorld world;
  auto engine = TLPluginEngine::sharedEngine();
  engine->setDispatcher(&world.dispatcher());
  auto delegate = std::make_shared<PluginDelegate>();
  engine->setDelegate(delegate);

  // Each type set, no value field set; another type's field set beside it
  // is not read.
  ConfigParam wrongField = param(1);
  wrongField.__set_stringValue("12");
  ConfigurationMapSignal map;
  map.__set_config({{"b", param(0)}, {"i", param(1)}, {"d", param(2)}, {"l", param(3)},
                    {"s", param(4)}, {"x", param(5)}, {"w", wrongField}});
  engine->processEventParams(std::make_shared<TLThriftParams>(MessageEnvelope::wrap(map)), "P");

  ASSERT_EQ(delegate->data.size(), 1u);
  const ConfigDictionary expected{{"b", false},          {"i", int32_t{0}},     {"d", 0.0},
                                  {"l", int64_t{0}},     {"s", std::string()}, {"w", int32_t{0}}};
  EXPECT_EQ(delegate->data[0], expected);
  engine->setDelegate(nullptr);
  engine->setDispatcher(nullptr);
}

// --- Factory ----------------------------------------------------------------

struct FactoryCase {
  std::string name;
  TLEngineType type;
  std::function<std::shared_ptr<TLEngine>()> shared;
};

class FactoryTest : public testing::TestWithParam<FactoryCase> {};

TEST_P(FactoryTest, HandsOutTheSharedEngineUnderItsName) {
  auto a = TLEngine::getEngineOfType(GetParam().type);
  auto b = TLEngine::getEngineOfType(GetParam().type);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, GetParam().shared());
  EXPECT_EQ(a->engineName(), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    BuiltIns, FactoryTest,
    testing::Values(
        FactoryCase{"EVENT2", TLEngineType::kEvent2, [] { return TLEventEngine2::sharedEngine(); }},
        FactoryCase{"HEARTBEAT", TLEngineType::kHeartbeat,
                    [] { return TLHeartbeatEngine::sharedEngine(); }},
        FactoryCase{"TRIGGER", TLEngineType::kTrigger, [] { return TLTriggerEngine::sharedEngine(); }},
        FactoryCase{"PLUGIN", TLEngineType::kPlugin, [] { return TLPluginEngine::sharedEngine(); }},
        FactoryCase{"AUDIOMATCH", TLEngineType::kAudioMatch,
                    [] { return TLAudioMatchEngine::sharedEngine(); }}),
    [](const testing::TestParamInfo<FactoryCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tembrolexinplatform
