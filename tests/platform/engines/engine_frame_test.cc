// The engine base's run state, the engine factory, and the bound on what
// an engine keeps for a decoder that has not connected.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/engines/engine_context.h"
#include "platform/engines/tl_engine.h"
#include "platform/runtime/tl_logger.h"
#include "platform/runtime/tl_runtime.h"

namespace tembrolexinplatform {
namespace {

class PlainEngine : public TLEngine {
 public:
  static std::shared_ptr<PlainEngine> sharedEngine() {
    static std::shared_ptr<PlainEngine> engine(new PlainEngine());
    return engine;
  }
  std::shared_ptr<TLEngineDelegate> delegate() const override { return delegate_; }
  void setDelegate(std::shared_ptr<TLEngineDelegate> d) override { delegate_ = std::move(d); }
  std::string engineName() const override { return "PLUGIN"; }
  void setEngineParameters(const TLEngineParameters& p) override {
    ++parameterCalls;
    lastParameters = p;
  }
  void processEventParams(std::shared_ptr<const TLProcessorEventParams>,
                          const std::string&) override {}
  int parameterCalls = 0;
  TLEngineParameters lastParameters{{"stale", "x"}};

 private:
  PlainEngine() = default;
  std::shared_ptr<TLEngineDelegate> delegate_;
};

struct RunCase {
  std::string name;
  std::vector<std::string> steps;
  bool running;
  bool paused;
};

class RunStateTest : public testing::TestWithParam<RunCase> {};

TEST_P(RunStateTest, FlagsFollowTheSteps) {
  auto engine = PlainEngine::sharedEngine();
  engine->stop();
  for (const std::string& step : GetParam().steps) {
    if (step == "start") engine->start();
    if (step == "pause") engine->pause();
    if (step == "stop") engine->stop();
  }
  EXPECT_EQ(engine->isRunning(), GetParam().running);
  EXPECT_EQ(engine->isPaused(), GetParam().paused);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RunStateTest,
    testing::Values(RunCase{"Fresh", {}, false, false},
                    RunCase{"Started", {"start"}, true, false},
                    RunCase{"PauseOnStoppedEngineStaysUnpaused", {"pause"}, false, false},
                    RunCase{"PausedRunning", {"start", "pause"}, true, true},
                    RunCase{"StartOnRunningEngineKeepsPause", {"start", "pause", "start"}, true, true},
                    RunCase{"StopClearsBoth", {"start", "pause", "stop"}, false, false},
                    RunCase{"RestartAfterStop", {"start", "pause", "stop", "start"}, true, false}),
    [](const testing::TestParamInfo<RunCase>& info) { return info.param.name; });

// Engine types no built-in class serves, so the tests of the built-in
// engines in this executable never meet PlainEngine.
constexpr TLEngineType kPlainType = static_cast<TLEngineType>(100);
constexpr TLEngineType kUnservedType = static_cast<TLEngineType>(101);

// Engine classes register before main, so before any class look-up; a later
// class of the same type never wins over the first.
const bool kPlainRegistered =
    TLEngine::registerEngineClass(
        {kPlainType, "PLUGIN", [] { return PlainEngine::sharedEngine(); }, "PlainEngine"}) &&
    TLEngine::registerEngineClass({kPlainType, "OTHER", [] { return nullptr; }});

TEST(EngineFactoryTest, SameSharedEngineEachTimeWithFreshEmptyParameters) {
  ASSERT_TRUE(kPlainRegistered);
  auto engine = PlainEngine::sharedEngine();
  engine->stop();  // the run-state cases share this engine and may leave it running
  const int before = engine->parameterCalls;
  auto a = TLEngine::getEngineOfType(kPlainType);
  auto b = TLEngine::getEngineOfType(kPlainType);
  EXPECT_EQ(a.get(), engine.get());
  EXPECT_EQ(a, b);
  EXPECT_EQ(engine->parameterCalls, before + 2);
  EXPECT_TRUE(engine->lastParameters.empty());
  EXPECT_FALSE(a->isRunning());  // the factory does not start it
}

TEST(EngineFactoryTest, TypeWithoutAClassGivesNothing) {
  EXPECT_EQ(TLEngine::getEngineOfType(kUnservedType), nullptr);
}

TEST(EngineFactoryTest, EnginesAreRuntimeClassesFoundByTheProtocolOfTheirType) {
  ASSERT_TRUE(kPlainRegistered);
  // The app's class first, then the eight built-in ones in table order.
  std::vector<std::string> names;
  for (const TLRuntimeClass* c : TLRuntime::classesOfType("TLEngine")) names.push_back(c->name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "PlainEngine", "OTHER", "TLContentEngine", "TLEventEngine",
                       "TLAnalyticsEngine", "TLEventEngine2", "TLHeartbeatEngine",
                       "TLTriggerEngine", "TLPluginEngine", "TLAudioMatchEngine"}));
  const auto triggers = TLRuntime::classesImplementingProtocol("TLTriggerEngine");
  ASSERT_EQ(triggers.size(), 1u);
  EXPECT_EQ(triggers[0]->protocols, (std::vector<std::string>{"TLEngine", "TLTriggerEngine"}));
  EXPECT_EQ(TLEngine::protocolOfType(TLEngineType::kEvent2), "TLEventEngine2");
  EXPECT_EQ(TLEngine::protocolOfType(kPlainType), "TLEngineType100");
  // Too late now: never found.
  EXPECT_FALSE(TLEngine::registerEngineClass({kUnservedType, "LATE", [] { return nullptr; }}));
  EXPECT_EQ(TLEngine::getEngineOfType(kUnservedType), nullptr);
}

// Counts configurations and keeps the last value of key "n".
struct CountingDecoder : IEngineDecoder {
  void configure(const ConfigDictionary& d) override {
    values.push_back(std::get<int32_t>(d.at("n")));
  }
  void setDeviceId(int32_t) override {}
  void prepareData() override {}
  void updateNTP() override {}
  void registerNTPReceiver(std::shared_ptr<NTPReceiver>) override {}
  void unRegisterNTPReceiver(const std::shared_ptr<NTPReceiver>&) override {}
  void setNTPServers(std::vector<std::string>) override {}
  std::vector<int32_t> values;
};

// Keeps the Warning lines and calls back into the context on each.
struct WarningSink : TLLoggerDelegate {
  explicit WarningSink(EngineContext& context) : context(context) {}
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    if (params.level != 3) return;
    warnings.push_back(sender + ": " + params.message);
    waitingSeen = context.waitingCount();
  }
  EngineContext& context;
  std::size_t waitingSeen = 0;
  std::vector<std::string> warnings;
};

TEST(EngineContextTest, KeepsABoundedNumberOfSettingsForADecoderThatHasNotConnected) {
  EngineContext context;
  const int32_t limit = static_cast<int32_t>(EngineContext::kMaxWaiting);
  for (int32_t n = 0; n < limit; ++n) ASSERT_TRUE(context.configure({{"n", n}}, "test"));
  // The refusal is logged once the context's lock is released: the app's
  // log delegate may call back in, or exit().
  auto log = std::make_shared<WarningSink>(context);
  TLLogger::sharedLogger().setDelegate(log);
  EXPECT_FALSE(context.configure({{"n", limit}}, "test"));  // refused, not kept
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_EQ(log->warnings,
            (std::vector<std::string>{
                "test: 1024 settings already wait for a decoder to connect: not kept"}));
  EXPECT_EQ(log->waitingSeen, EngineContext::kMaxWaiting);
  EXPECT_EQ(context.waitingCount(), EngineContext::kMaxWaiting);

  auto decoder = std::make_shared<CountingDecoder>();
  context.setDecoder(decoder);
  ASSERT_EQ(decoder->values.size(), EngineContext::kMaxWaiting);
  EXPECT_EQ(decoder->values.front(), 0);
  EXPECT_EQ(decoder->values.back(), limit - 1);
  EXPECT_EQ(context.waitingCount(), 0u);
  // Once the decoder is gone, settings wait again for the next one.
  decoder.reset();
  EXPECT_TRUE(context.configure({{"n", -1}}, "test"));
  EXPECT_EQ(context.waitingCount(), 1u);
}

}  // namespace
}  // namespace tembrolexinplatform
