#include "core/engines/engine_factory.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "core/engines/event_engine2.h"
#include "core/engines/heartbeat_engine.h"
#include "core/runtime/configuration_map.h"
#include "core/runtime/configuration_parameter.h"
#include "tests/support/recording_messenger.h"

namespace tembrolexinsdk {
namespace {

// Remembers the entry it was given.
class KeepingEngine : public IEngine {
 public:
  const std::string& GetName() const override { return name_; }
  void setEngineParameters(const ConfigurationMap* parameters) override {
    parameters_ = parameters->GetValueAsString();
  }
  const IProcessorEventParams* processEventParams(const IProcessorEventParams* p) override {
    return p;
  }
  void Configure(const ConfigurationParameters*) override {}
  std::string parameters_;

 private:
  const std::string name_ = "KEEP";
};

ConfigurationMap entry(const IConfigurationParameter* type, const std::string& extra = "") {
  ConfigurationMap map;
  if (type != nullptr) map.set("type", type);
  const ConfigurationParameter<std::string> value("x");
  if (!extra.empty()) map.set(extra, &value);
  return map;
}

TEST(EngineFactoryTest, CreatesEachKnownTypeOnceByExactName) {
  tltest::RecordingMessenger bus;
  std::map<std::string, std::unique_ptr<IEngine>> engines;
  const ConfigurationParameter<std::string> event2("EVENT2"), heartbeat("HEARTBEAT"),
      lower("event2"), content("NO_SUCH_ENGINE"), keep("KEEP");
  const ConfigurationParameter<int> number(2);
  for (const IConfigurationParameter* type :
       std::initializer_list<const IConfigurationParameter*>{&lower, &content, &number, nullptr}) {
    const ConfigurationMap map = entry(type);
    IEngine::addEngineForMap(engines, &map, nullptr, &bus, nullptr);
  }
  IEngine::addEngineForMap(engines, nullptr, nullptr, &bus, nullptr);
  EXPECT_TRUE(engines.empty());

  const ConfigurationMap e2 = entry(&event2), hb = entry(&heartbeat);
  IEngine::addEngineForMap(engines, &e2, nullptr, &bus, nullptr);
  IEngine* first = engines.at("EVENT2").get();
  IEngine::addEngineForMap(engines, &e2, nullptr, &bus, nullptr);
  IEngine::addEngineForMap(engines, &hb, nullptr, &bus, nullptr);
  EXPECT_EQ(engines.at("EVENT2").get(), first);
  EXPECT_NE(dynamic_cast<EventEngine2*>(first), nullptr);
  EXPECT_NE(dynamic_cast<HeartbeatEngine*>(engines.at("HEARTBEAT").get()), nullptr);
  EXPECT_EQ(bus.listeners(1).size(), 2u);

  enginefactory::registerEngineType("KEEP", [](IProcessorListener*, IMessenger*, DB::Database*) {
    return std::make_unique<KeepingEngine>();
  });
  const ConfigurationMap k = entry(&keep, "url");
  IEngine::addEngineForMap(engines, &k, nullptr, &bus, nullptr);
  EXPECT_EQ(static_cast<KeepingEngine*>(engines.at("KEEP").get())->parameters_,
            "(type : KEEP,url : x)");
}

}  // namespace
}  // namespace tembrolexinsdk
